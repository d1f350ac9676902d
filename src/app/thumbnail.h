// Thumbnails of found photos: the picture scaled into 120 x 90 pixels,
// centred on white, its proportions kept.
#pragma once

#include <QImage>
#include <QString>
#include <QSize>

#include <cstdint>

constexpr int kThumbnailWidth = 120;
constexpr int kThumbnailHeight = 90;

// Decodes photo bytes for a thumbnail: JPEG, PNG, GIF, BMP, TIFF and WebP
// through Qt's image readers, HEIC and AVIF through libheif, a camera RAW
// file through its largest embedded JPEG preview. A JPEG is
// decoded at the smallest of 1/2, 1/4 or 1/8 of its size that still holds
// twice the thumbnail's pixels each way, which spares most of the work for
// camera photos. The
// picture's full size, read from its header, goes to *fullSize. A null image
// when the bytes do not decode.
// `pixelRatio`: the screen's device pixels per logical pixel, for which the
// thumbnail is wanted.
QImage DecodeForThumbnail(const void* bytes, uint32_t count, QSize* fullSize, double pixelRatio = 1.0);

// Draws a picture whose full size is `fullSize` (the picture itself may be a
// reduced decode of it) into a white 120 x 90 canvas: scaled by the smaller
// of 120 / width and 90 / height and centred on the other axis. With a
// `pixelRatio` above 1 the canvas has that many device pixels per logical
// one (240 x 180 for 2), so the thumbnail is sharp on such a screen.
QImage FitIntoThumbnail(const QImage& picture, QSize fullSize, double pixelRatio = 1.0);

// The picture shown for a photo that does not decode: `placeholder` with
// the photo's type ("RAW", "HEIC") written across its lower part.
QImage TypeIcon(const QImage& placeholder, const QString& typeName);

// Where FitIntoThumbnail puts a picture of that size.
QRect ThumbnailPlacement(QSize fullSize);
