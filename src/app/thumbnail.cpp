#include "app/thumbnail.h"

#include <QBuffer>
#include <QByteArray>
#include <QImageReader>
#include <QPainter>

#include <libheif/heif.h>

#include <algorithm>
#include <memory>
#include <span>

#include "photoformats/photoformat.h"

QRect ThumbnailPlacement(QSize fullSize)
{
    if (fullSize.width() <= 0 || fullSize.height() <= 0) return QRect();
    const float width = static_cast<float>(fullSize.width());
    const float height = static_cast<float>(fullSize.height());
    const float sx = kThumbnailWidth / width;
    const float sy = kThumbnailHeight / height;
    float scale = 0;
    int x = 0;
    int y = 0;
    if (sx > sy) {
        scale = sy;
        x = static_cast<int>((kThumbnailWidth - width * sy) * 0.5f);
    } else {
        scale = sx;
        y = static_cast<int>((kThumbnailHeight - height * sx) * 0.5f);
    }
    return QRect(x, y, static_cast<int>(width * scale), static_cast<int>(height * scale));
}

namespace {

// Where the picture goes on a canvas of `pixelRatio` device pixels per
// logical one.
QRect ScaledPlacement(QSize fullSize, double pixelRatio)
{
    const QRect place = ThumbnailPlacement(fullSize);
    if (pixelRatio == 1.0) return place;
    return QRect(static_cast<int>(place.x() * pixelRatio), static_cast<int>(place.y() * pixelRatio),
                 static_cast<int>(place.width() * pixelRatio), static_cast<int>(place.height() * pixelRatio));
}

// What Qt's image readers decode: JPEG (scaled while decoding), PNG, GIF,
// BMP, and TIFF and WebP through the image-format plugins.
QImage DecodeWithQt(const void* bytes, uint32_t count, QSize* fullSize, double pixelRatio)
{
    if (fullSize) *fullSize = QSize();
    if (!bytes || count == 0) return QImage();
    QByteArray data = QByteArray::fromRawData(static_cast<const char*>(bytes), static_cast<qsizetype>(count));
    QBuffer buffer(&data);
    if (!buffer.open(QIODevice::ReadOnly)) return QImage();
    QImageReader reader(&buffer);
    reader.setDecideFormatFromContent(true);
    reader.setAutoTransform(false);

    const QSize full = reader.size();  // from the header, nothing decoded yet
    if (reader.format() == "jpeg" && full.isValid()) {
        // libjpeg scales by 1/2, 1/4 or 1/8 while decoding: take the largest
        // reduction that still leaves twice the thumbnail's rectangle, so the
        // final smooth scale has at least two source pixels for each one it
        // makes and the result matches a scale of the whole picture.
        const QRect place = ScaledPlacement(full, pixelRatio);
        for (int denom = 8; denom >= 2; denom /= 2) {
            const QSize reduced(full.width() / denom, full.height() / denom);
            if (reduced.width() >= 2 * place.width() && reduced.height() >= 2 * place.height()) {
                reader.setScaledSize(reduced);
                break;
            }
        }
    }
    QImage picture = reader.read();
    if (picture.isNull()) return QImage();
    if (fullSize) *fullSize = full.isValid() ? full : picture.size();
    return picture;
}

// HEIC and AVIF through libheif: the primary image, or the smallest of its
// stored thumbnails that still holds twice the thumbnail's rectangle.
QImage DecodeHeif(const void* bytes, uint32_t count, QSize* fullSize, double pixelRatio)
{
    std::unique_ptr<heif_context, void (*)(heif_context*)> ctx(heif_context_alloc(), heif_context_free);
    if (!ctx || heif_context_read_from_memory_without_copy(ctx.get(), bytes, count, nullptr).code != heif_error_Ok)
        return QImage();
    using Handle = std::unique_ptr<heif_image_handle, void (*)(const heif_image_handle*)>;
    heif_image_handle* raw = nullptr;
    if (heif_context_get_primary_image_handle(ctx.get(), &raw).code != heif_error_Ok) return QImage();
    Handle primary(raw, heif_image_handle_release);
    const QSize full(heif_image_handle_get_width(primary.get()), heif_image_handle_get_height(primary.get()));
    if (full.isEmpty()) return QImage();
    const QRect place = ScaledPlacement(full, pixelRatio);

    Handle best(nullptr, heif_image_handle_release);
    heif_item_id ids[8];
    const int n = heif_image_handle_get_list_of_thumbnail_IDs(primary.get(), ids, 8);
    for (int i = 0; i < n; ++i) {
        heif_image_handle* t = nullptr;
        if (heif_image_handle_get_thumbnail(primary.get(), ids[i], &t).code != heif_error_Ok) continue;
        Handle thumb(t, heif_image_handle_release);
        const int w = heif_image_handle_get_width(t), h = heif_image_handle_get_height(t);
        if (w < 2 * place.width() || h < 2 * place.height()) continue;
        if (!best || w < heif_image_handle_get_width(best.get())) best = std::move(thumb);
    }
    heif_image* image = nullptr;
    if (heif_decode_image(best ? best.get() : primary.get(), &image, heif_colorspace_RGB, heif_chroma_interleaved_RGBA,
                          nullptr)
            .code != heif_error_Ok)
        return QImage();
    std::unique_ptr<heif_image, void (*)(const heif_image*)> decoded(image, heif_image_release);
    int stride = 0;
    const uint8_t* pixels = heif_image_get_plane_readonly(image, heif_channel_interleaved, &stride);
    const int w = heif_image_get_width(image, heif_channel_interleaved);
    const int h = heif_image_get_height(image, heif_channel_interleaved);
    if (!pixels || w <= 0 || h <= 0) return QImage();
    QImage picture = QImage(pixels, w, h, stride, QImage::Format_RGBA8888).copy();
    if (fullSize) *fullSize = full;
    return picture;
}

}  // namespace

QImage DecodeForThumbnail(const void* bytes, uint32_t count, QSize* fullSize, double pixelRatio)
{
    if (fullSize) *fullSize = QSize();
    if (!bytes || count == 0) return QImage();
    const std::span<const uint8_t> all(static_cast<const uint8_t*>(bytes), count);
    const PhotoFormat* format = MatchPhotoFormat(all.first(std::min<size_t>(count, 512)));
    if (format && format->category == Heic) return DecodeHeif(bytes, count, fullSize, pixelRatio);
    if (format && (format->category == Raw || format->category == Tiff)) {
        // A camera's raw file: its largest JPEG preview that decodes (the
        // sensor data itself is no picture Qt can show).
        CMemoryByteSource source(all);
        const StructureResult structure = format->readStructure(source);
        if (PhotoFormatOfResult(*format, structure).category == Raw) {
            for (const ByteRange& preview : EmbeddedJpegs(source)) {
                QImage picture = DecodeWithQt(all.data() + preview.offset, static_cast<uint32_t>(preview.length),
                                              fullSize, pixelRatio);
                if (!picture.isNull()) return picture;
            }
        }
    }
    return DecodeWithQt(bytes, count, fullSize, pixelRatio);
}

QImage FitIntoThumbnail(const QImage& picture, QSize fullSize, double pixelRatio)
{
    pixelRatio = std::clamp(pixelRatio, 1.0, 4.0);
    QImage canvas(static_cast<int>(kThumbnailWidth * pixelRatio), static_cast<int>(kThumbnailHeight * pixelRatio),
                  QImage::Format_RGB32);
    canvas.fill(Qt::white);
    const QRect place = ScaledPlacement(fullSize, pixelRatio);
    if (!picture.isNull() && !place.isEmpty()) {
        // Averaging over premultiplied pixels, so transparent parts lend no
        // colour to their neighbours; then over white, pixel for pixel.
        const QImage scaled = picture.convertToFormat(QImage::Format_ARGB32_Premultiplied)
                                  .scaled(place.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        QPainter painter(&canvas);
        painter.drawImage(place.topLeft(), scaled);
    }
    canvas.setDevicePixelRatio(pixelRatio);
    return canvas;
}

QImage TypeIcon(const QImage& placeholder, const QString& typeName)
{
    QImage icon = placeholder.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    if (icon.isNull() || typeName.isEmpty()) return icon;
    QPainter painter(&icon);
    QFont font = painter.font();
    font.setBold(true);
    font.setPixelSize(std::max(8, icon.height() / 6));
    painter.setFont(font);
    painter.setPen(QColor(90, 90, 90));
    const QRect band(0, icon.height() * 2 / 3, icon.width(), icon.height() / 3);
    painter.drawText(band, Qt::AlignCenter, typeName);
    return icon;
}
