#include "app/thumbnail.h"

#include <QBuffer>
#include <QByteArray>
#include <QImageReader>
#include <QPainter>

#include <algorithm>

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

QRect ScaledPlacement(QSize fullSize, double pixelRatio)
{
    const QRect place = ThumbnailPlacement(fullSize);
    if (pixelRatio == 1.0) return place;
    return QRect(static_cast<int>(place.x() * pixelRatio), static_cast<int>(place.y() * pixelRatio),
                 static_cast<int>(place.width() * pixelRatio), static_cast<int>(place.height() * pixelRatio));
}

}  // namespace

QImage DecodeForThumbnail(const void* bytes, uint32_t count, QSize* fullSize, double pixelRatio)
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

QImage FitIntoThumbnail(const QImage& picture, QSize fullSize, double pixelRatio)
{
    pixelRatio = std::clamp(pixelRatio, 1.0, 4.0);
    QImage canvas(static_cast<int>(kThumbnailWidth * pixelRatio), static_cast<int>(kThumbnailHeight * pixelRatio),
                  QImage::Format_RGB32);
    canvas.setDevicePixelRatio(pixelRatio);
    canvas.fill(Qt::white);
    const QRect place = ScaledPlacement(fullSize, pixelRatio);
    if (picture.isNull() || place.isEmpty()) return canvas;
    // Averaging over premultiplied pixels, so transparent parts lend no
    // colour to their neighbours; then over white.
    const QImage scaled = picture.convertToFormat(QImage::Format_ARGB32_Premultiplied)
                              .scaled(place.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    // Drawn pixel for pixel, whatever the canvas's ratio.
    canvas.setDevicePixelRatio(1.0);
    {
        QPainter painter(&canvas);
        painter.drawImage(place.topLeft(), scaled);
    }
    canvas.setDevicePixelRatio(pixelRatio);
    return canvas;
}
