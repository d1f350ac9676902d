#include <QEnterEvent>
#include <QMouseEvent>
#include <QSignalSpy>

#include "apptest.h"
#include "app/pngbutton.h"

namespace {

// A picture with an opaque body colour and one near-white pixel at (0, 0)
// that the hot matrix must clamp.
std::unique_ptr<QImage> TestPicture()
{
    auto image = std::make_unique<QImage>(SolidImage(40, 20, QColor(100, 150, 200)));
    image->setPixelColor(0, 0, QColor(250, 250, 250));
    return image;
}

void Enter(QWidget* widget)
{
    QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
    QCoreApplication::sendEvent(widget, &enter);
}

void Leave(QWidget* widget)
{
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(widget, &leave);
}

void Mouse(QWidget* widget, QEvent::Type type)
{
    const QPointF pos(5, 5);
    QMouseEvent event(type, pos, widget->mapToGlobal(pos), Qt::LeftButton,
                      type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(widget, &event);
}

QImage Grab(QWidget* widget)
{
    return widget->grab().toImage().convertToFormat(QImage::Format_ARGB32);
}

}  // namespace

class TestPngButton : public QObject {
    Q_OBJECT
private slots:
    void hotMatrixBrightensAndClampsKeepingAlpha()
    {
        QImage image(2, 1, QImage::Format_ARGB32);
        image.setPixel(0, 0, qRgba(100, 150, 200, 255));
        image.setPixel(1, 0, qRgba(250, 0, 240, 77));
        const QImage hot = ApplyHotMatrix(image);
        // 1.05 x c + 0.05 x 255
        QCOMPARE(hot.pixel(0, 0), qRgba(118, 170, 223, 255));
        QCOMPARE(hot.pixel(1, 0), qRgba(255, 13, 255, 77));
    }

    void sizesToPictureAndKeepsPosition()
    {
        QWidget parent;
        CPngButton2 button(&parent);
        button.setGeometry(30, 40, 99, 36);
        button.SizeToImage();  // no picture: nothing changes
        QCOMPARE(button.geometry(), QRect(30, 40, 99, 36));
        button.SetImage(TestPicture());
        button.SizeToImage();
        QCOMPARE(button.geometry(), QRect(30, 40, 40, 20));
    }

    void hoverBrightensThroughColourMatrix()
    {
        QWidget parent;
        CPngButton2 button(&parent);
        button.SetImage(TestPicture());
        button.SizeToImage();
        parent.show();

        QCOMPARE(button.GetDrawState(), DRAW_NORMAL);
        QImage plain = Grab(&button);
        QCOMPARE(plain.pixel(10, 10), qRgb(100, 150, 200));

        Enter(&button);
        QVERIFY(button.IsHot());
        QCOMPARE(button.GetDrawState(), DRAW_HOT);
        QImage hot = Grab(&button);
        QCOMPARE(hot.pixel(10, 10), qRgb(118, 170, 223));
        QCOMPARE(hot.pixel(0, 0), qRgb(255, 255, 255));

        // Pressing shows the plain picture even under the mouse.
        button.setDown(true);
        QCOMPARE(button.GetDrawState(), DRAW_PRESSED);
        QCOMPARE(Grab(&button).pixel(10, 10), qRgb(100, 150, 200));
        button.setDown(false);

        Leave(&button);
        QVERIFY(!button.IsHot());
        QCOMPARE(Grab(&button), plain);

        // Hot tracking re-arms on the next move.
        Mouse(&button, QEvent::MouseMove);
        QVERIFY(button.IsHot());
        QCOMPARE(Grab(&button).pixel(10, 10), qRgb(118, 170, 223));
    }

    void disabledStateBeatsHover()
    {
        QWidget parent;
        CPngButton2 button(&parent);
        button.SetImage(TestPicture());
        button.SizeToImage();
        button.setEnabled(false);
        Enter(&button);
        QCOMPARE(button.GetDrawState(), DRAW_DISABLED);
        QCOMPARE(Grab(&button).pixel(10, 10), qRgb(100, 150, 200));
    }

    void disabledLogoLooksTheSame()
    {
        QWidget parent;
        CIconButton logo(&parent);
        logo.SetImage(TestPicture());
        logo.SizeToImage();
        parent.show();
        const QImage enabled = Grab(&logo);
        QCOMPARE(enabled.pixel(10, 10), qRgb(100, 150, 200));
        logo.setEnabled(false);
        QCOMPARE(Grab(&logo), enabled);
        // An icon button does not brighten either.
        logo.setEnabled(true);
        Enter(&logo);
        QVERIFY(logo.IsHot());
        QCOMPARE(Grab(&logo), enabled);
    }

    // The keyboard focus shows on every skinned button: a frame the style
    // draws just inside the edge, gone again when the focus leaves.
    void keyboardFocusIsVisible()
    {
        QWidget parent;
        CIconButton help(&parent);
        help.SetImage(std::make_unique<QImage>(SolidImage(24, 24, QColor(40, 90, 200))));
        help.SizeToImage();
        CPngButton2 recover(&parent);
        recover.SetImage(TestPicture());
        recover.SizeToImage();
        recover.move(40, 0);
        parent.show();
        QVERIFY(QTest::qWaitForWindowExposed(&parent));
        for (PngButton* button : {static_cast<PngButton*>(&help), static_cast<PngButton*>(&recover)}) {
            QCOMPARE(button->focusPolicy(), Qt::StrongFocus);
            parent.setFocus();
            const QImage without = Grab(button);
            button->setFocus(Qt::TabFocusReason);
            QTRY_VERIFY(button->hasFocus());
            const QImage with = Grab(button);
            int changed = 0;
            for (int y = 0; y < with.height(); ++y)
                for (int x = 0; x < with.width(); ++x) changed += with.pixel(x, y) != without.pixel(x, y);
            QVERIFY2(changed > 10, qPrintable(QString::number(changed)));
            // The icon itself stays as it was: only the frame is new.
            if (button == &help) QCOMPARE(with.pixel(12, 12), without.pixel(12, 12));
        }
        help.setFocus(Qt::TabFocusReason);
        QTRY_VERIFY(help.hasFocus());
        const QImage focused = Grab(&help);
        recover.setFocus();
        QTRY_VERIFY(!help.hasFocus());
        QVERIFY(Grab(&help) != focused);
    }

    void iconButtonShowsHandOnlyWhileEnabled()
    {
        CIconButton help;
        QCOMPARE(help.cursor().shape(), Qt::PointingHandCursor);
        help.setEnabled(false);
        QCOMPARE(help.cursor().shape(), Qt::ArrowCursor);
        help.setEnabled(true);
        QCOMPARE(help.cursor().shape(), Qt::PointingHandCursor);
    }

    void iconButtonDrawsNoCaption()
    {
        QWidget parent;
        CIconButton help(&parent);
        help.setText(QStringLiteral("Help"));
        help.SetImage(std::make_unique<QImage>(SolidImage(16, 16, QColor(40, 90, 200))));
        help.SizeToImage();
        const QImage image = Grab(&help);
        for (int y = 0; y < 16; ++y)
            for (int x = 0; x < 16; ++x) QCOMPARE(image.pixel(x, y), qRgb(40, 90, 200));
    }

    void buttonWithoutPictureDrawsNothing()
    {
        QWidget parent;
        CIconButton button(&parent);
        button.SetImage(nullptr);
        button.setText(QStringLiteral("Help"));
        button.resize(24, 24);
        parent.show();
        const QImage image = Grab(&button);
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x) QCOMPARE(qAlpha(image.pixel(x, y)), 0);
    }

    // Windows sends press, release, double click, release; Qt also sends a
    // second press before the double click. Either way: two clicks.
    void doubleClickGivesTwoClicks()
    {
        QWidget parent;
        CPngButton2 button(&parent);
        button.SetImage(TestPicture());
        button.SizeToImage();
        parent.show();
        QSignalSpy clicks(&button, &QPushButton::clicked);

        Mouse(&button, QEvent::MouseButtonPress);
        Mouse(&button, QEvent::MouseButtonRelease);
        Mouse(&button, QEvent::MouseButtonDblClick);
        Mouse(&button, QEvent::MouseButtonRelease);
        QCOMPARE(clicks.count(), 2);

        clicks.clear();
        Mouse(&button, QEvent::MouseButtonPress);
        Mouse(&button, QEvent::MouseButtonRelease);
        Mouse(&button, QEvent::MouseButtonPress);
        Mouse(&button, QEvent::MouseButtonDblClick);
        Mouse(&button, QEvent::MouseButtonRelease);
        QCOMPARE(clicks.count(), 2);
    }

    void captionIsCentredInCaptionColour()
    {
        QWidget parent;
        CPngButton2 button(&parent);
        button.SetImage(std::make_unique<QImage>(SolidImage(200, 60, QColor(30, 120, 30))));
        button.SizeToImage();
        button.setText(QStringLiteral("Recover Now"));
        button.setFont(CreateBoldFont(14));
        button.SetCaptionColor(QColor(255, 255, 255));
        parent.show();

        auto whiteBox = [](const QImage& image) {
            QRect box;
            for (int y = 0; y < image.height(); ++y)
                for (int x = 0; x < image.width(); ++x)
                    if (qGreen(image.pixel(x, y)) > 200 && qRed(image.pixel(x, y)) > 200) box |= QRect(x, y, 1, 1);
            return box;
        };
        const QRect centred = whiteBox(Grab(&button));
        QVERIFY(!centred.isEmpty());
        QVERIFY2(qAbs(centred.center().x() - 100) <= 2, qPrintable(QString::number(centred.center().x())));
        QVERIFY2(qAbs(centred.center().y() - 30) <= 3, qPrintable(QString::number(centred.center().y())));

        // A text rectangle moves the caption to its own centre.
        button.SetTextRect(0, 0, 100, 30);
        const QRect inRect = whiteBox(Grab(&button));
        QVERIFY(!inRect.isEmpty());
        QVERIFY(qAbs(inRect.center().x() - 50) <= 2);
        QVERIFY(inRect.center().y() < 20);
    }
};

LUMIVISTA_TEST_MAIN(TestPngButton)
#include "test_pngbutton.moc"
