#include <QLabel>

#include "apptest.h"
#include "app/dlgseloperation.h"
#include "app/pngbutton.h"
#include "app/wizardevents.h"

namespace {

// Counts the wizard messages a widget receives.
class MessageCounter : public QObject {
public:
    explicit MessageCounter(int message) : m_message(message) {}
    int count = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (static_cast<int>(event->type()) == m_message) ++count;
        return false;
    }

private:
    int m_message;
};

}  // namespace

class TestDlgSelOperation : public QObject {
    Q_OBJECT
private slots:
    void layoutAndFonts()
    {
        QWidget frame;
        CDlgSelOperation page(&frame);
        page.InitPage();
        QCOMPARE(page.objectName(), QString("130"));
        QCOMPARE(page.size(), QSize(DlgUnits().X(360), DlgUnits().Y(167)));
        const QString texts[][2] = {
            {"1014", "What is Lumivista?"},
            {"1015", "Lumivista is used to recover your deleted or lost photos from hard drive, flash drive and "
                     "camera SD card."},
            {"1017", "When to use Lumivista?"},
            {"1018", "1. Recover deleted photos."},
            {"1019", "2. Get lost photos back due to accidentally format."},
            {"1020", "3. Recover photos from crashed drives."},
        };
        for (const auto& [id, text] : texts) {
            auto* label = page.findChild<QLabel*>(id);
            QVERIFY2(label, qPrintable(id));
            QCOMPARE(label->text(), text);
        }
        for (const char* heading : {"1014", "1017"}) {
            const QFont font = page.findChild<QLabel*>(heading)->font();
            QVERIFY(font.bold());
            QCOMPARE(font.pixelSize(), PointsToPixels(10));
        }
        QCOMPARE(page.findChild<QLabel*>("1018")->geometry(), DlgUnits().Rect(17, 66, 265, 10));
    }

    void recoverNowButton()
    {
        QWidget frame;
        CDlgSelOperation page(&frame);
        page.InitPage();
        CPngButton2* button = page.RecoverButton();
        QCOMPARE(button->objectName(), QString("1000"));
        QCOMPARE(button->text(), QString("Recover Now"));
        // Placed by the template, then sized to its 290 x 70 picture.
        QCOMPARE(button->geometry(), QRect(DlgUnits().X(96), DlgUnits().Y(124), 290, 70));
        QVERIFY(button->font().bold());
        QCOMPARE(button->font().pixelSize(), PointsToPixels(14));
        QCOMPARE(button->GetCaptionColor(), QColor(255, 255, 255));
        QCOMPARE(button->cursor().shape(), Qt::PointingHandCursor);
    }

    void recoverNowAsksTheFrameForTheNextPage()
    {
        QWidget frame;
        MessageCounter counter(WM_SHOW_NEXT_PAGE);
        frame.installEventFilter(&counter);
        CDlgSelOperation page(&frame);
        page.InitPage();
        frame.show();
        QTest::mouseClick(page.RecoverButton(), Qt::LeftButton);
        // Posted, not sent.
        QCOMPARE(counter.count, 0);
        QTRY_COMPARE(counter.count, 1);
    }
};

LUMIVISTA_TEST_MAIN(TestDlgSelOperation)
#include "test_dlgseloperation.moc"
