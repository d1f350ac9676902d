#include "apptest.h"
#include "app/transparentstatic.h"

namespace {

const QRgb kBackground = qRgb(255, 0, 255);

// A parent with a loud background, so that whatever the control leaves
// unpainted shows it.
struct Canvas {
    Canvas()
    {
        parent.setAutoFillBackground(true);
        QPalette palette = parent.palette();
        palette.setColor(QPalette::Window, QColor(kBackground));
        parent.setPalette(palette);
        parent.resize(400, 300);
    }
    QImage Grab(QWidget* child)
    {
        return parent.grab(child->geometry()).toImage().convertToFormat(QImage::Format_RGB32);
    }
    QWidget parent;
};

int CountPixels(const QImage& image, const std::function<bool(QRgb)>& match)
{
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (match(image.pixel(x, y))) ++count;
    return count;
}

bool Ink(QRgb p)
{
    return (p & 0xFFFFFF) != (kBackground & 0xFFFFFF);
}

}  // namespace

class TestTransparentStatic : public QObject {
    Q_OBJECT
private slots:
    void separatorIsOneGreyLineAtTheMiddle_data()
    {
        QTest::addColumn<int>("height");
        QTest::addColumn<int>("middle");
        QTest::newRow("8") << 8 << 4;
        QTest::newRow("9") << 9 << 4;
        QTest::newRow("16") << 16 << 8;
    }
    void separatorIsOneGreyLineAtTheMiddle()
    {
        QFETCH(int, height);
        QFETCH(int, middle);
        Canvas canvas;
        CStaticLine line(&canvas.parent);
        line.setGeometry(10, 10, 120, height);
        const QImage image = canvas.Grab(&line);
        auto at = [](int x, int y, QRgb rgb) { return QString("%1,%2: %3").arg(x).arg(y).arg(rgb & 0xFFFFFF, 6, 16); };
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < 120; ++x)
                QCOMPARE(at(x, y, image.pixel(x, y)), at(x, y, y == middle ? qRgb(170, 170, 170) : kBackground));
    }

    void textHasNoBackground()
    {
        Canvas canvas;
        CTransparentStatic title(QStringLiteral("Lumivista"), &canvas.parent);
        title.setFont(CreateBoldFont(14));
        title.SetTextColor(QColor(0, 0, 0));
        title.setGeometry(10, 10, 200, 30);
        const QImage image = canvas.Grab(&title);
        QCOMPARE(image.pixel(199, 29) & 0xFFFFFF, kBackground & 0xFFFFFF);
        QVERIFY(CountPixels(image, [](QRgb p) { return (p & 0xFFFFFF) == 0; }) > 20);
        // Nothing but text over the parent: no pixel has green in it.
        QCOMPARE(CountPixels(image, [](QRgb p) { return qGreen(p) > 0; }), 0);
    }

    void styleBitsPlaceText()
    {
        Canvas canvas;
        CTransparentStatic text(QStringLiteral("Hi"), &canvas.parent);
        text.setGeometry(0, 0, 300, 40);
        auto inkLeft = [&] {
            const QImage image = canvas.Grab(&text);
            for (int x = 0; x < image.width(); ++x)
                for (int y = 0; y < image.height(); ++y)
                    if (Ink(image.pixel(x, y))) return x;
            return -1;
        };
        const int left = inkLeft();
        text.SetStyleBits(SS_CENTER);
        const int centre = inkLeft();
        text.SetStyleBits(SS_RIGHT);
        const int right = inkLeft();
        QVERIFY(left >= 0 && left < 5);
        QVERIFY(centre > 130 && centre < 150);
        QVERIFY(right > 280);
    }

    void longTextWrapsUnlessSingleLine()
    {
        Canvas canvas;
        CTransparentStatic text(QStringLiteral("one two three four five six seven eight nine ten"), &canvas.parent);
        text.setGeometry(0, 0, 80, 200);
        auto inkRows = [&] {
            const QImage image = canvas.Grab(&text);
            int last = -1;
            for (int y = 0; y < image.height(); ++y)
                for (int x = 0; x < image.width(); ++x)
                    if (Ink(image.pixel(x, y))) last = y;
            return last;
        };
        const int lineHeight = QFontMetrics(text.font()).height();
        QVERIFY(inkRows() > 2 * lineHeight);
        text.SetStyleBits(SS_CENTERIMAGE);
        QVERIFY(inkRows() < 100 + lineHeight);
        text.SetStyleBits(SS_ENDELLIPSIS);
        QVERIFY(inkRows() < lineHeight);
    }
};

LUMIVISTA_TEST_MAIN(TestTransparentStatic)
#include "test_transparentstatic.moc"
