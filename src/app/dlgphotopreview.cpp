#include "app/dlgphotopreview.h"

#include <QBuffer>
#include <QDateTime>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QImageReader>
#include <QKeyEvent>
#include <QLabel>
#include <QLocale>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include <algorithm>
#include <memory>
#include <new>

#include "app/backend.h"
#include "app/drivetext.h"
#include "app/photoview.h"
#include "app/uifont.h"
#include "taskmgr/recoverfiles.h"

void CPreviewCanvas::SetPicture(const QImage& picture, const QString& missing)
{
    m_picture = picture;
    m_missing = missing;
    update();
}

void CPreviewCanvas::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), QColor(0x30, 0x30, 0x30));
    if (m_picture.isNull()) {
        painter.setPen(Qt::white);
        painter.drawText(rect(), Qt::AlignCenter | Qt::TextWordWrap, m_missing);
        return;
    }
    // Scaled to fit, never past the picture's own size.
    const QSize room = size() * devicePixelRatioF();
    QSize target = m_picture.size();
    if (target.width() > room.width() || target.height() > room.height())
        target = target.scaled(room, Qt::KeepAspectRatio);
    const QSizeF logical = QSizeF(target) / devicePixelRatioF();
    const QRectF place(QPointF((width() - logical.width()) / 2, (height() - logical.height()) / 2), logical);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(place, m_picture);
}

CDlgPhotoPreview::CDlgPhotoPreview(std::vector<PhotoItem*> items, int index, IPartition* partition, QWidget* owner)
    : QDialog(owner), m_items(std::move(items)), m_partition(partition)
{
    setObjectName(QStringLiteral("preview"));
    setFont(DialogFont());
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMaximizeButtonHint |
                   Qt::WindowCloseButtonHint);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 6);
    m_canvas = new CPreviewCanvas(this);
    layout->addWidget(m_canvas, 1);
    auto* row = new QHBoxLayout();
    row->setContentsMargins(8, 0, 8, 0);
    m_previous = new QPushButton(QStringLiteral("< Previous"), this);
    m_caption = new QLabel(this);
    m_caption->setAlignment(Qt::AlignCenter);
    m_caption->setTextFormat(Qt::PlainText);
    m_next = new QPushButton(QStringLiteral("Next >"), this);
    auto* close = new QPushButton(QStringLiteral("Close"), this);
    // The keys belong to the picture: the buttons are for the mouse.
    for (QPushButton* button : {m_previous, m_next, close}) {
        button->setAutoDefault(false);
        button->setFocusPolicy(Qt::NoFocus);
    }
    m_canvas->setFocusPolicy(Qt::StrongFocus);
    m_canvas->setFocus();
    row->addWidget(m_previous);
    row->addWidget(m_caption, 1);
    row->addWidget(m_next);
    row->addWidget(close);
    layout->addLayout(row);
    connect(m_previous, &QPushButton::clicked, this, [this] { Show(m_index - 1); });
    connect(m_next, &QPushButton::clicked, this, [this] { Show(m_index + 1); });
    connect(close, &QPushButton::clicked, this, &QDialog::accept);

    // Most of the screen, as a photo viewer opens.
    if (const QScreen* screen = owner ? owner->screen() : QGuiApplication::primaryScreen())
        resize(screen->availableGeometry().size() * 4 / 5);
    Show(index);
}

QImage CDlgPhotoPreview::Decode(PhotoItem* item, QSize* fullSize) const
{
    *fullSize = QSize();
    ITaskBackend* tasks = Services().tasks;
    const uint64_t length = item ? PhotoBufferSize(*item) : 0;
    if (!tasks || length == 0 || length > kMaxRecoveredPhotoBytes) return QImage();
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[length]());
    if (!buffer || tasks->ReadPhotoData(item, m_partition, buffer.get(), static_cast<uint32_t>(length)) < 0)
        return QImage();
    QByteArray data = QByteArray::fromRawData(reinterpret_cast<const char*>(buffer.get()),
                                              static_cast<qsizetype>(item->size));
    QBuffer device(&data);
    if (!device.open(QIODevice::ReadOnly)) return QImage();
    QImageReader reader(&device);
    reader.setDecideFormatFromContent(true);
    reader.setAutoTransform(true);
    const QSize full = reader.size();
    *fullSize = full;
    // No more pixels than the screen can show: a camera photo decodes
    // several times faster at a reduced size.
    const QScreen* screen = this->screen();
    const QSize room = screen ? screen->availableGeometry().size() * screen->devicePixelRatio() : QSize(1920, 1080);
    if (full.isValid() && (full.width() > room.width() || full.height() > room.height()))
        reader.setScaledSize(full.scaled(room, Qt::KeepAspectRatio));
    QImage picture = reader.read();
    if (picture.isNull()) return QImage();
    if (!fullSize->isValid()) *fullSize = picture.size();
    return picture;
}

void CDlgPhotoPreview::Show(int index)
{
    if (m_items.empty()) return;
    index = std::clamp(index, 0, static_cast<int>(m_items.size()) - 1);
    if (index == m_index) return;
    m_index = index;
    PhotoItem* item = m_items[static_cast<size_t>(index)];
    m_picture = Decode(item, &m_fullSize);
    m_canvas->SetPicture(m_picture, QStringLiteral("No preview is available for this photo: its bytes on the drive "
                                                   "are not a picture this program can show."));
    setWindowTitle(QStringLiteral("%1 - Lumivista").arg(QString::fromStdString(Utf16ToUtf8(item->name))));
    m_caption->setText(Caption());
    m_previous->setEnabled(index > 0);
    m_next->setEnabled(index + 1 < static_cast<int>(m_items.size()));
}

QString CDlgPhotoPreview::Caption() const
{
    if (m_index < 0) return QString();
    const PhotoItem& item = *m_items[static_cast<size_t>(m_index)];
    QStringList parts;
    parts << QString::fromStdString(Utf16ToUtf8(item.name));
    if (m_fullSize.isValid()) parts << QStringLiteral("%1 x %2").arg(m_fullSize.width()).arg(m_fullSize.height());
    parts << FormatSizeText(item.size);
    parts << (IsDeletedPhoto(item) ? QStringLiteral("deleted") : QStringLiteral("still on the drive"));
    if (const int64_t time = PhotoTime(item); time != 0)
        parts << QLocale().toString(QDateTime::fromSecsSinceEpoch(time), QLocale::ShortFormat);
    parts << QStringLiteral("%1 of %2").arg(m_index + 1).arg(m_items.size());
    return parts.join(QStringLiteral("  |  "));
}

void CDlgPhotoPreview::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Left:
    case Qt::Key_Up:
    case Qt::Key_Backspace:
        Show(m_index - 1);
        return;
    case Qt::Key_Right:
    case Qt::Key_Down:
    case Qt::Key_Space:
        Show(m_index + 1);
        return;
    case Qt::Key_PageUp:
        Show(m_index - 10);
        return;
    case Qt::Key_PageDown:
        Show(m_index + 10);
        return;
    case Qt::Key_Home:
        Show(0);
        return;
    case Qt::Key_End:
        Show(static_cast<int>(m_items.size()) - 1);
        return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        accept();
        return;
    default:
        QDialog::keyPressEvent(event);
    }
}
