#include "app/transparentstatic.h"

#include <QFontMetrics>
#include <QPainter>

CTransparentStatic::CTransparentStatic(const QString& text, QWidget* parent) : QWidget(parent), m_text(text) {}

void CTransparentStatic::setText(const QString& text)
{
    m_text = text;
    update();
}

void CTransparentStatic::SetTextColor(QColor color)
{
    m_textColor = color;
    update();
}

void CTransparentStatic::SetStyleBits(unsigned style)
{
    m_style = style;
    update();
}

void CTransparentStatic::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    DrawContent(painter, QRect());
}

void CTransparentStatic::DrawContent(QPainter& painter, const QRect& rect)
{
    QString text = m_text;
    const QRect area = rect.isEmpty() ? this->rect() : rect;

    int flags = 0;
    if (m_style & SS_CENTER)
        flags |= Qt::AlignHCenter;
    else if (m_style & SS_RIGHT)
        flags |= Qt::AlignRight;
    else
        flags |= Qt::AlignLeft;
    flags |= (m_style & SS_CENTERIMAGE) ? Qt::AlignVCenter : Qt::AlignTop;
    if (!(m_style & SS_NOPREFIX)) flags |= Qt::TextShowMnemonic;
    if (!(m_style & (0x000C | SS_CENTERIMAGE | SS_WORDELLIPSIS))) flags |= Qt::TextWordWrap;

    painter.setFont(font());
    if (m_style & SS_WORDELLIPSIS) {
        const bool pathOnly = (m_style & SS_WORDELLIPSIS) == SS_PATHELLIPSIS;
        text = QFontMetrics(font()).elidedText(text, pathOnly ? Qt::ElideMiddle : Qt::ElideRight, area.width());
    }
    painter.setPen(m_textColor);
    painter.drawText(area, flags, text);
}

CStaticLine::CStaticLine(QWidget* parent) : CTransparentStatic(QString(), parent)
{
    m_pen = QPen(QColor(170, 170, 170), 1, Qt::SolidLine, Qt::FlatCap);
}

void CStaticLine::DrawContent(QPainter& painter, const QRect& rect)
{
    // Edges as the window system counts them: right and bottom exclusive. A
    // flat cap leaves the end point undrawn.
    const int left = rect.left();
    const int top = rect.top();
    const int right = left + width();
    const int bottom = top + height();
    const int middle = top + (bottom - top) / 2;
    if (right <= left) return;
    painter.setPen(m_pen);
    painter.drawLine(left, middle, right, middle);
}
