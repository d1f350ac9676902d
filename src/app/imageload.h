// Pictures from the program's resources and from photo bytes.
#pragma once

#include <QImage>
#include <QPixmap>

#include <cstdint>
#include <memory>

// Decodes JPEG, PNG, GIF or BMP bytes. Null only when `bytes` is null; data
// that does not decode yields an image whose width and height are 0.
std::unique_ptr<QImage> LoadImageFromMemory(uint32_t count, const void* bytes);

// The PNG picture compiled in under `id` (141, 142, 144, 150), or null when
// there is none.
std::unique_ptr<QImage> LoadPngResource(int id);

// The bitmap compiled in under `id` (131, 139) with every pixel of
// `transparent` made see-through; a null pixmap when there is none.
QPixmap LoadBitmapResource(int id, QColor transparent);

// The window icon (137).
QPixmap LoadAppIcon();
