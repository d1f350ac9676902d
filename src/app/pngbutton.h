// Push buttons drawn from pictures: the logo and Help buttons of the frame
// and the home page's "Recover Now".
#pragma once

#include <QColor>
#include <QImage>
#include <QPushButton>

#include <memory>

// What a skinned button looks like at the moment.
enum DrawState : int { DRAW_NORMAL = 0, DRAW_HOT = 1, DRAW_PRESSED = 2, DRAW_DISABLED = 3 };

// Brightens a picture the way a hot button shows it: every colour channel
// times 1.05 plus 5 % of full scale, clamped; alpha unchanged.
QImage ApplyHotMatrix(const QImage& image);

class PngButton : public QPushButton {
    Q_OBJECT
public:
    explicit PngButton(QWidget* parent = nullptr);
    ~PngButton() override;

    // Takes the picture; null leaves the button without one.
    void SetImage(std::unique_ptr<QImage> image);
    const QImage* GetImage() const { return m_image.get(); }
    void SetCaptionColor(QColor color);
    QColor GetCaptionColor() const { return m_captionColor; }
    bool IsHot() const { return m_hot; }
    // The state the next paint draws: pressed, then focus (drawn hot), then
    // disabled, then hot, else normal.
    DrawState GetDrawState() const;

    // Takes the picture's size for the button, keeping its position.
    virtual void SizeToImage();
    // Draws the picture for a state onto (0, 0, button width, button height).
    virtual void DrawImage(QPainter& painter, DrawState state) = 0;
    // Draws the caption into `rect`.
    virtual void DrawLabel(QPainter& painter, const QRect& rect) = 0;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

    QColor m_captionColor{0, 0, 0};
    bool m_hot = false;
    int m_imageWidth = 0;
    int m_imageHeight = 0;
    int m_buttonWidth = 0;
    int m_buttonHeight = 0;
    std::unique_ptr<QImage> m_image;

private:
    void SetHot(bool hot);
    void DrawFocus(QPainter& painter);
};

// A picture alone, the same in every state; its caption is never drawn. The
// hand cursor shows over it while it is enabled.
class CIconButton : public PngButton {
    Q_OBJECT
public:
    explicit CIconButton(QWidget* parent = nullptr);
    void DrawImage(QPainter& painter, DrawState state) override;
    void DrawLabel(QPainter& painter, const QRect& rect) override;

protected:
    void changeEvent(QEvent* event) override;
};

// A picture that brightens while hot, with its caption centred over it in
// the caption colour.
class CPngButton2 : public PngButton {
    Q_OBJECT
public:
    explicit CPngButton2(QWidget* parent = nullptr);
    void DrawImage(QPainter& painter, DrawState state) override;
    void DrawLabel(QPainter& painter, const QRect& rect) override;

    // Where the caption goes; a left of -1 centres it on the whole button.
    void SetTextRect(int left, int top, int right, int bottom);

private:
    int m_textLeft = -1;
    int m_textTop = -1;
    int m_textRight = -1;
    int m_textBottom = -1;
    QImage m_hotImage;        // the picture through the hot matrix, made on first use
    qint64 m_hotSource = 0;   // cacheKey of the picture m_hotImage was made from
};
