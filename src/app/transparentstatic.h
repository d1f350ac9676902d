// Static controls that draw no background: the frame's title and the
// separator line above its buttons.
#pragma once

#include <QColor>
#include <QPen>
#include <QString>
#include <QWidget>

// Static-control style bits that change how the text is drawn.
enum StaticStyle : unsigned {
    SS_CENTER = 0x0001,
    SS_RIGHT = 0x0002,
    SS_NOPREFIX = 0x0080,
    SS_CENTERIMAGE = 0x0200,
    SS_ENDELLIPSIS = 0x4000,
    SS_PATHELLIPSIS = 0x8000,
    SS_WORDELLIPSIS = 0xC000,
};

class CTransparentStatic : public QWidget {
    Q_OBJECT
public:
    explicit CTransparentStatic(const QString& text = QString(), QWidget* parent = nullptr);

    QString text() const { return m_text; }
    void setText(const QString& text);
    void SetTextColor(QColor color);
    QColor GetTextColor() const { return m_textColor; }
    void SetStyleBits(unsigned style);
    unsigned GetStyleBits() const { return m_style; }

    // Draws the text into `rect` (the client area when empty) and nothing
    // else, so the parent shows through.
    virtual void DrawContent(QPainter& painter, const QRect& rect);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString m_text;
    QColor m_textColor{0, 0, 0};
    unsigned m_style = 0;
};

// A 1-pixel grey line across the control at its vertical middle.
class CStaticLine : public CTransparentStatic {
    Q_OBJECT
public:
    explicit CStaticLine(QWidget* parent = nullptr);
    void DrawContent(QPainter& painter, const QRect& rect) override;

private:
    QPen m_pen;
};
