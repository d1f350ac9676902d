// Fonts of the wizard and the dialog-unit grid its windows are laid out on.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

// Logical pixels per inch of the screen (96 when there is no screen).
int LogPixelsY();

// Pixel height of a font of `points` points on this screen, rounded the way
// the dialog manager does it: trunc(LOGPIXELSY x points / 72 + 0.5).
int PointsToPixels(int points);

// "Tahoma" when the system has it, otherwise the default sans-serif face,
// at `points` points.
QFont MakeDialogFont(int points, bool bold = false);

// The windows' font: Tahoma 10, or smaller when the wizard would not fit on
// the screen at 10 points (a high scale factor on a small screen).
QFont DialogFont();

// The point size DialogFont has, and its ratio to 10: the other fonts and
// the pictures of the skinned buttons follow it.
int DialogPoints();
double UiScale();

// The largest point size from 10 down to 6 at which the wizard's window
// (373 x 224 dialog units and its frame) fits into `available` pixels.
int FittingDialogPoints(QSize available);

// A bold Tahoma of `points` points (the title and the home page's fonts),
// scaled as DialogFont is.
QFont CreateBoldFont(int points);

// Converts dialog units to pixels from a font, as dialog templates are
// converted: horizontally units x average character width / 4, vertically
// units x character cell height / 8, each rounded to the nearest pixel.
class DialogUnits {
public:
    explicit DialogUnits(const QFont& font);
    int X(int units) const;
    int Y(int units) const;
    QRect Rect(int x, int y, int width, int height) const;
    int BaseX() const { return m_baseX; }
    int BaseY() const { return m_baseY; }

private:
    int m_baseX = 1;  // average width of a letter, pixels
    int m_baseY = 1;  // cell height (ascent + descent), pixels
};

// The grid of DialogFont().
const DialogUnits& DlgUnits();
