#include "app/imageload.h"

#include <QBitmap>
#include <QByteArrayView>
#include <QFile>

#include "io/log.h"

// Outside any namespace, as the resource initialiser requires.
static int InitAppResources()
{
    Q_INIT_RESOURCE(app);
    return 0;
}

namespace {

// The resources live in a static library whose initialiser the linker would
// drop; register them on first use instead.
void EnsureResources()
{
    static const int done = InitAppResources();
    (void)done;
}

QByteArray ReadResource(const QString& path)
{
    EnsureResources();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return QByteArray();
    return file.readAll();
}

}  // namespace

std::unique_ptr<QImage> LoadImageFromMemory(uint32_t count, const void* bytes)
{
    if (!bytes) return nullptr;
    auto image = std::make_unique<QImage>();
    if (count > 0)
        image->loadFromData(QByteArrayView(static_cast<const char*>(bytes), static_cast<qsizetype>(count)));
    return image;
}

std::unique_ptr<QImage> LoadPngResource(int id)
{
    const QByteArray data = ReadResource(QStringLiteral(":/PNG/%1").arg(id));
    if (data.isEmpty()) {
        LOG_E("no PNG resource %d\n", id);
        return nullptr;
    }
    return LoadImageFromMemory(static_cast<uint32_t>(data.size()), data.constData());
}

QPixmap LoadBitmapResource(int id, QColor transparent)
{
    const QByteArray data = ReadResource(QStringLiteral(":/BITMAP/%1").arg(id));
    QPixmap pixmap;
    if (data.isEmpty() || !pixmap.loadFromData(data, "BMP")) {
        LOG_E("no bitmap resource %d\n", id);
        return QPixmap();
    }
    pixmap.setMask(pixmap.createMaskFromColor(transparent, Qt::MaskInColor));
    return pixmap;
}

QPixmap LoadAppIcon()
{
    QPixmap pixmap;
    pixmap.loadFromData(ReadResource(QStringLiteral(":/ICON/137")), "PNG");
    return pixmap;
}
