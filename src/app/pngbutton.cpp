#include "app/pngbutton.h"

#include <QEnterEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPen>

#include "app/uifont.h"

#include <algorithm>
#include <cmath>

QImage ApplyHotMatrix(const QImage& image)
{
    QImage out = image.convertToFormat(QImage::Format_ARGB32);
    auto brighten = [](int c) {
        return std::clamp(static_cast<int>(std::lround(c * 1.05 + 0.05 * 255.0)), 0, 255);
    };
    for (int y = 0; y < out.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < out.width(); ++x) {
            const QRgb p = line[x];
            line[x] = qRgba(brighten(qRed(p)), brighten(qGreen(p)), brighten(qBlue(p)), qAlpha(p));
        }
    }
    return out;
}

PngButton::PngButton(QWidget* parent) : QPushButton(parent)
{
    setMouseTracking(true);
    setAttribute(Qt::WA_NoSystemBackground);
}

PngButton::~PngButton() = default;

void PngButton::SetImage(std::unique_ptr<QImage> image)
{
    m_image = std::move(image);
    update();
}

void PngButton::SetCaptionColor(QColor color)
{
    m_captionColor = color;
    update();
}

DrawState PngButton::GetDrawState() const
{
    if (isDown()) return DRAW_PRESSED;
    if (hasFocus()) return DRAW_HOT;
    if (!isEnabled()) return DRAW_DISABLED;
    if (m_hot) return DRAW_HOT;
    return DRAW_NORMAL;
}

void PngButton::SizeToImage()
{
    if (!m_image) return;
    // With a smaller dialog font (a small screen) the pictures shrink too.
    const double scale = std::min(UiScale(), 1.0);
    m_imageWidth = static_cast<int>(m_image->width() * scale + 0.5);
    m_imageHeight = static_cast<int>(m_image->height() * scale + 0.5);
    m_buttonWidth = m_imageWidth;
    m_buttonHeight = m_imageHeight;
    setGeometry(x(), y(), m_buttonWidth, m_buttonHeight);
}

void PngButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    DrawImage(painter, GetDrawState());
    DrawLabel(painter, QRect(0, 0, m_buttonWidth, m_buttonHeight));
    if (hasFocus()) DrawFocus(painter);
}

// The keyboard focus: a dotted frame just inside the edge, drawn by the
// button itself (some styles draw none unless the focus came by Tab), light
// under dark dots so that it shows on any picture.
void PngButton::DrawFocus(QPainter& painter)
{
    const QRectF frame = QRectF(rect()).adjusted(2.5, 2.5, -2.5, -2.5);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(QColor(255, 255, 255, 200), 1, Qt::SolidLine));
    painter.drawRect(frame);
    painter.setPen(QPen(QColor(0, 0, 0, 220), 1, Qt::DotLine));
    painter.drawRect(frame);
    painter.restore();
}

void PngButton::SetHot(bool hot)
{
    if (m_hot == hot) return;
    m_hot = hot;
    update();
}

void PngButton::mouseMoveEvent(QMouseEvent* event)
{
    SetHot(true);
    QPushButton::mouseMoveEvent(event);
}

void PngButton::enterEvent(QEnterEvent* event)
{
    SetHot(true);
    QPushButton::enterEvent(event);
}

void PngButton::leaveEvent(QEvent* event)
{
    SetHot(false);
    QPushButton::leaveEvent(event);
}

// The second press of a double click is an ordinary press, so a double click
// counts as two clicks.
void PngButton::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        mousePressEvent(event);
    else
        QPushButton::mouseDoubleClickEvent(event);
}

CIconButton::CIconButton(QWidget* parent) : PngButton(parent)
{
    setCursor(Qt::PointingHandCursor);
}

void CIconButton::DrawImage(QPainter& painter, DrawState)
{
    if (!m_image) return;
    painter.drawImage(QRect(0, 0, m_buttonWidth, m_buttonHeight), *m_image);
}

void CIconButton::DrawLabel(QPainter&, const QRect&) {}

// A disabled button takes no mouse input, so it shows the ordinary pointer.
void CIconButton::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::EnabledChange) {
        if (isEnabled())
            setCursor(Qt::PointingHandCursor);
        else
            unsetCursor();
    }
    PngButton::changeEvent(event);
}

CPngButton2::CPngButton2(QWidget* parent) : PngButton(parent) {}

void CPngButton2::SetTextRect(int left, int top, int right, int bottom)
{
    m_textLeft = left;
    m_textTop = top;
    m_textRight = right;
    m_textBottom = bottom;
    update();
}

void CPngButton2::DrawImage(QPainter& painter, DrawState state)
{
    if (!m_image) return;
    const QRect target(0, 0, m_buttonWidth, m_buttonHeight);
    if (state == DRAW_HOT) {
        if (m_hotImage.isNull() || m_hotSource != m_image->cacheKey()) {
            m_hotImage = ApplyHotMatrix(*m_image);
            m_hotSource = m_image->cacheKey();
        }
        painter.drawImage(target, m_hotImage);
    } else {
        painter.drawImage(target, *m_image);
    }
}

void CPngButton2::DrawLabel(QPainter& painter, const QRect& rect)
{
    const QString caption = text();
    if (caption.isEmpty()) return;
    painter.setFont(font());
    const QRect layout = m_textLeft != -1 ? QRect(QPoint(m_textLeft, m_textTop), QPoint(m_textRight - 1, m_textBottom - 1))
                                          : rect;
    const int flags = Qt::AlignHCenter | Qt::TextWordWrap;
    const QRect measured = painter.boundingRect(layout, flags, caption);
    const QRect target(layout.left() + (layout.width() - measured.width()) / 2,
                       layout.top() + (layout.height() - measured.height()) / 2, measured.width(),
                       measured.height());
    painter.setPen(m_captionColor);
    painter.drawText(target, flags, caption);
}
