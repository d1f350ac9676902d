#include "app/uifont.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QRawFont>
#include <QScreen>

#include <algorithm>
#include <cmath>

namespace {

const QString& TahomaFamily()
{
    static const QString family =
        QFontDatabase::hasFamily(QStringLiteral("Tahoma")) ? QStringLiteral("Tahoma") : QString();
    return family;
}

int MulDiv(int a, int b, int c)
{
    const long long p = static_cast<long long>(a) * b;
    return static_cast<int>(p >= 0 ? (p + c / 2) / c : (p - c / 2) / c);
}

int BigEndian16(const QByteArray& table, int offset)
{
    return (static_cast<unsigned char>(table[offset]) << 8) | static_cast<unsigned char>(table[offset + 1]);
}

// Cell height as the dialog manager sees it: the font's Windows ascent and
// descent from its OS/2 table, each scaled and rounded. Faces without that
// table fall back to the toolkit's own ascent + descent.
int CellHeight(const QFont& font)
{
    const QRawFont raw = QRawFont::fromFont(font);
    if (raw.isValid() && raw.unitsPerEm() > 0) {
        const QByteArray os2 = raw.fontTable("OS/2");
        if (os2.size() >= 78) {
            const double scale = raw.pixelSize() / raw.unitsPerEm();
            const int ascent = static_cast<int>(std::lround(BigEndian16(os2, 74) * scale));
            const int descent = static_cast<int>(std::lround(BigEndian16(os2, 76) * scale));
            if (ascent + descent > 0) return ascent + descent;
        }
    }
    return QFontMetrics(font).height();
}

}  // namespace

int LogPixelsY()
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    const double dpi = screen ? screen->logicalDotsPerInchY() : 96.0;
    return dpi > 0 ? static_cast<int>(std::lround(dpi)) : 96;
}

int PointsToPixels(int points)
{
    return static_cast<int>(LogPixelsY() * points / 72.0 + 0.5);
}

namespace {

QFont FontOfPixels(int pixels, bool bold)
{
    const QString& family = TahomaFamily();
    QFont font(family.isEmpty() ? QStringLiteral("Sans Serif") : family);
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(std::max(pixels, 1));
    font.setBold(bold);
    return font;
}

// Room the window manager's frame and title bar take around the window.
constexpr int kFrameWidth = 16;
constexpr int kFrameHeight = 48;

}  // namespace

QFont MakeDialogFont(int points, bool bold)
{
    return FontOfPixels(PointsToPixels(points), bold);
}

int FittingDialogPoints(QSize available)
{
    for (int points = 10; points > 6; --points) {
        const DialogUnits units(MakeDialogFont(points));
        if (units.X(373) + kFrameWidth <= available.width() && units.Y(224) + kFrameHeight <= available.height())
            return points;
    }
    return 6;
}

int DialogPoints()
{
    static const int points = [] {
        const QScreen* screen = QGuiApplication::primaryScreen();
        return screen ? FittingDialogPoints(screen->availableGeometry().size()) : 10;
    }();
    return points;
}

double UiScale()
{
    return DialogPoints() / 10.0;
}

QFont DialogFont()
{
    return MakeDialogFont(DialogPoints());
}

QFont CreateBoldFont(int points)
{
    if (DialogPoints() == 10) return MakeDialogFont(points, true);
    return FontOfPixels(static_cast<int>(LogPixelsY() * points * UiScale() / 72.0 + 0.5), true);
}

DialogUnits::DialogUnits(const QFont& font)
{
    const QFontMetrics metrics(font);
    const int cx = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    m_baseX = (cx / 26 + 1) / 2;
    m_baseY = CellHeight(font);
    if (m_baseX < 1) m_baseX = 1;
    if (m_baseY < 1) m_baseY = 1;
}

int DialogUnits::X(int units) const { return MulDiv(units, m_baseX, 4); }
int DialogUnits::Y(int units) const { return MulDiv(units, m_baseY, 8); }

QRect DialogUnits::Rect(int x, int y, int width, int height) const
{
    return QRect(X(x), Y(y), X(width), Y(height));
}

const DialogUnits& DlgUnits()
{
    static const DialogUnits units(DialogFont());
    return units;
}
