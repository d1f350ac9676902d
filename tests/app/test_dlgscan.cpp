#include <QDateTime>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTreeWidget>

#include <cmath>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "apptest.h"
#include "realdisk.h"
#include "app/analyzeeventsink.h"
#include "app/dlgscan.h"
#include "app/dlgscanresult.h"
#include "app/dlgseldrive.h"
#include "app/dlgseloperation.h"
#include "app/drivetext.h"
#include "app/lumivistadlg.h"
#include "app/pngbutton.h"
#include "app/remainingtime.h"

namespace {

// Holds the scan thread at one event until the test lets it go on.
class Gate {
public:
    void Hold()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_reached = true;
        m_wake.wait(lock, [this] { return m_open; });
    }
    bool Reached()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_reached;
    }
    void Open()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = true;
        m_wake.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_reached = false;
    bool m_open = false;
};

class MessageCounter : public QObject {
public:
    int count = 0;
    intptr_t lastWParam = 1;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (static_cast<int>(event->type()) == WM_SCAN_FINISHED) {
            ++count;
            lastWParam = static_cast<CWizardEvent*>(event)->WParam();
        }
        return false;
    }
};

struct Wizard {
    Wizard() { frame.show(); }
    QPushButton* Button(const char* id)
    {
        return frame.findChild<QPushButton*>(QLatin1String(id), Qt::FindDirectChildrenOnly);
    }
    QString Page() { return frame.CurrentPage() ? frame.CurrentPage()->objectName() : QString(); }
    CDlgScan* ScanPage() { return qobject_cast<CDlgScan*>(frame.CurrentPage()); }
    QString ScanText(const char* id) { return ScanPage()->findChild<QLabel*>(id)->text(); }
    // Home page -> drive page, and the row of the given text selected.
    bool ChooseDrive(const QString& text)
    {
        qobject_cast<CDlgSelOperation*>(frame.CurrentPage())->RecoverButton()->click();
        if (!QTest::qWaitFor([&] { return Page() == QLatin1String("129"); })) return false;
        QTreeWidget* list = qobject_cast<CDlgSelDrive*>(frame.CurrentPage())->DriveList();
        for (int i = 0; i < list->topLevelItemCount(); ++i)
            if (list->topLevelItem(i)->text(0) == text) {
                list->setCurrentItem(list->topLevelItem(i));
                return true;
            }
        return false;
    }

    CLumivistaDlg frame;
};

int ResultPhotoCount(CDlgScanResult* page)
{
    int photos = 0;
    QTreeWidget* tree = page->Tree();
    for (QTreeWidgetItemIterator it(tree); *it; ++it)
        if (const PhotoBlock* block = CDlgScanResult::BlockOf(*it)) photos += block->Size();
    return photos;
}

}  // namespace

class TestDlgScan : public QObject {
    Q_OBJECT
private slots:
    void hmsCountsHoursWithinTheDay()
    {
        QCOMPARE(CDlgScan::FormatHms(0), QString("00:00:00"));
        QCOMPARE(CDlgScan::FormatHms(60), QString("00:01:00"));
        QCOMPARE(CDlgScan::FormatHms(3661), QString("01:01:01"));
        QCOMPARE(CDlgScan::FormatHms(25 * 3600), QString("01:00:00"));
        QCOMPARE(CDlgScan::FormatHms(86399), QString("23:59:59"));
    }

    void elapsedAndRemainingTimes()
    {
        FakeMachine machine;
        QWidget frame;
        CDlgScan page(&frame);  // not opened: no scan runs
        QLabel* elapsed = page.findChild<QLabel*>("1034");
        QLabel* remaining = page.findChild<QLabel*>("1035");
        const qint64 now = QDateTime::currentSecsSinceEpoch();

        // Until the bar moves, no estimate.
        page.SetStartTime(now - 60);
        page.OnTimer();
        QCOMPARE(elapsed->text(), QString("Elapsed Time: 00:01:00"));
        QCOMPARE(remaining->text(), QString("Remaining Time: Calcuating..."));

        // Half done after a minute: another minute.
        page.ProgressBar()->setValue(50);
        page.SetStartTime(now - 61);
        page.OnTimer();
        QCOMPARE(remaining->text(), QString("Remaining Time: 00:01:01"));

        page.SetStartTime(now - 25 * 3600);
        page.OnTimer();
        QCOMPARE(elapsed->text(), QString("Elapsed Time: 01:00:00"));

        // The end of the scan leaves no estimate standing.
        page.ScanEnded();
        QCOMPARE(remaining->text(), QString("Remaining Time: 00:00:00"));

        // Nor does a scan that ends before there was anything to estimate
        // from, while the page still reads "Calcuating...".
        CDlgScan quick(&frame);
        QLabel* quickRemaining = quick.findChild<QLabel*>("1035");
        quick.SetStartTime(QDateTime::currentSecsSinceEpoch() - 1);
        quick.OnTimer();
        QCOMPARE(quickRemaining->text(), QString("Remaining Time: Calcuating..."));
        quick.ScanEnded();
        QCOMPARE(quickRemaining->text(), QString("Remaining Time: 00:00:00"));
    }

    // A steady step whose progress comes in bursts (a disk that stalls and
    // catches up): the estimate counts down steadily, close to the truth,
    // where the plain ratio of one second jumps about.
    void remainingTimeIsSmoothed()
    {
        CRemainingTime estimate;
        QCOMPARE(estimate.Seconds(), int64_t(-1));
        const double total = 300;  // the step takes five minutes
        int64_t previous = -1;
        int maxJump = 0;
        for (int t = 0; t <= 280; ++t) {
            // Nothing for 4 s, then 4 s' worth at once.
            const double fraction = std::floor(t / 4.0) * 4.0 / total;
            estimate.Add(t, fraction);
            const int64_t left = estimate.Seconds();
            if (t < 3) {
                QCOMPARE(left, int64_t(-1));  // a few seconds first
                continue;
            }
            if (t >= 40) {
                QVERIFY2(std::abs(left - (total - t)) <= 12, qPrintable(QString("%1: %2").arg(t).arg(left)));
                if (previous >= 0) maxJump = std::max(maxJump, static_cast<int>(std::abs(left - (previous - 1))));
            }
            previous = left;
        }
        QVERIFY2(maxJump <= 6, qPrintable(QString::number(maxJump)));

        // A new step (the fraction falls back) starts afresh.
        estimate.Add(281, 0.01);
        QCOMPARE(estimate.Seconds(), int64_t(-1));
        estimate.Add(285, 0.05);
        QVERIFY(estimate.Seconds() >= 0);

        // A stall after steady progress: the step's average carries on.
        CRemainingTime stalled;
        for (int t = 0; t <= 60; ++t) stalled.Add(t, t / 120.0);
        for (int t = 61; t <= 100; ++t) stalled.Add(t, 0.5);
        QVERIFY(stalled.Seconds() > 0);
    }

    void pageLayout()
    {
        FakeMachine machine;
        QWidget frame;
        CDlgScan page(&frame);
        page.InitPage();
        QCOMPARE(page.ProgressBar()->objectName(), QString("1020"));
        QCOMPARE(page.ProgressBar()->geometry(), DlgUnits().Rect(7, 144, 346, 13));
        QCOMPARE(page.ProgressBar()->maximum(), 100);
        QCOMPARE(page.ProgressBar()->value(), 0);
        QVERIFY(page.findChild<QLabel*>("1038")->isHidden());
        QCOMPARE(page.findChild<QLabel*>("1035")->geometry(), DlgUnits().Rect(199, 105, 131, 13));
        machine.tasks.Finish();
    }

    // The scan thread's word that the drive seems to fail shows a warning
    // that suggests copying the drive first.
    void failingDriveIsShown()
    {
        FakeMachine machine;
        QWidget frame;
        CDlgScan page(&frame);
        page.InitPage();
        frame.show();
        QVERIFY(page.FailingLabel()->isHidden());
        std::thread scan([&page] { page.GetSink()->Notify(DRIVE_FAILING, 300, nullptr, 0); });
        scan.join();
        QTRY_VERIFY(!page.FailingLabel()->isHidden());
        QCOMPARE(page.FailingLabel()->text(), kDriveFailingText);
        QVERIFY(kDriveFailingText.contains("\"Save Image...\""));
        QCOMPARE(page.FailingLabel()->geometry(), DlgUnits().Rect(7, 124, 346, 19));
        machine.tasks.Finish();
    }

    // A real card, scanned through the page: the drive's figures and the
    // found count on the page, WM_SCAN_FINISHED with the scan's result, and
    // the result page with every photo found.
    void realScanReachesTheResultPage()
    {
        REQUIRE_CARD();
        RealMachine machine;
        QVERIFY(machine.Open(Card().image));
        CHookedTasks hooked(Services().tasks);
        Services().tasks = &hooked;
        Gate atEnd;
        hooked.onEvent = [&](uint32_t code) {
            if (code == ALL_TASKS_FINISHED) atEnd.Hold();
        };

        Wizard wizard;
        MessageCounter finished;
        wizard.frame.installEventFilter(&finished);
        QVERIFY(wizard.ChooseDrive("card.img#1: CAMERA (FAT32)"));
        wizard.Button("1007")->click();
        QCOMPARE(wizard.Page(), QString("143"));
        QCOMPARE(wizard.ScanText("1022"), QString("Scanning drive card.img#1: CAMERA (FAT32) ..."));

        QTRY_VERIFY(atEnd.Reached());
        QTRY_COMPARE(wizard.ScanText("1030"), QString("Capacity: 39.00 MB"));
        QCOMPARE(wizard.ScanText("1031"), QString("File System: FAT32"));
        // The card's free space as the FAT counts it (the image is mounted
        // nowhere), not 0.
        const std::string listing =
            testutil::Capture("MTOOLS_SKIP_CHECK=1 mdir -i '" + Card().image + "@@1048576' ::/");
        const QRegularExpressionMatch free =
            QRegularExpression("([0-9 ]+) bytes free").match(QString::fromStdString(listing));
        QVERIFY2(free.hasMatch(), listing.c_str());
        const qint64 freeBytes = free.captured(1).remove(' ').toLongLong();
        QTRY_COMPARE(wizard.ScanText("1032"), "Free Space: " + FormatSizeText(freeBytes));
        QVERIFY(freeBytes > 0);
        QTRY_COMPARE(wizard.ScanPage()->ProgressBar()->value(), 100);  // the step's end
        const int found = static_cast<int>(AllPhotos(Services().tasks).size());
        QVERIFY(found >= 10);  // 9 live files named as photos and the deleted one
        wizard.ScanPage()->OnTimer();
        QCOMPARE(wizard.ScanText("1033"), QString("Found Photos: %1").arg(found));
        QCOMPARE(finished.count, 0);

        atEnd.Open();
        QTRY_COMPARE(wizard.Page(), QString("144"));
        QCOMPARE(finished.count, 1);
        QCOMPARE(finished.lastWParam, intptr_t(0));
        QVERIFY(!wizard.frame.IsScanRunning());
        QCOMPARE(ResultPhotoCount(qobject_cast<CDlgScanResult*>(wizard.frame.CurrentPage())), found);
    }

    void cancellingARealScan()
    {
        REQUIRE_CARD();
        RealMachine machine;
        QVERIFY(machine.Open(Card().image));
        CHookedTasks hooked(Services().tasks);
        Services().tasks = &hooked;
        Gate atFirstPhoto;
        std::atomic<int> photos{0};
        hooked.onEvent = [&](uint32_t code) {
            if (code == PHOTO_FOUND && ++photos == 1) atFirstPhoto.Hold();
        };

        Wizard wizard;
        QVERIFY(wizard.ChooseDrive("card.img#1: CAMERA (FAT32)"));
        wizard.Button("1007")->click();
        QTRY_VERIFY(atFirstPhoto.Reached());
        QCOMPARE(wizard.Button("1007")->text(), QString("Cancel"));

        // No: the scan goes on.
        machine.prompts.answer = QMessageBox::No;
        wizard.Button("1007")->click();
        QCOMPARE(machine.prompts.Texts(), QStringList({"Are are sure to cancel scan?"}));
        QVERIFY(!wizard.ScanPage()->GetSink()->IsStopped());

        // Yes: the next event stops it, and the result page shows what was
        // found until then.
        machine.prompts.answer = QMessageBox::Yes;
        wizard.Button("1007")->click();
        QVERIFY(wizard.ScanPage()->GetSink()->IsStopped());
        QCOMPARE(wizard.Page(), QString("143"));
        atFirstPhoto.Open();
        QTRY_COMPARE(wizard.Page(), QString("144"));
        QCOMPARE(photos.load(), 1);
        const int kept = static_cast<int>(AllPhotos(Services().tasks).size());
        QVERIFY(kept <= 1);
        QCOMPARE(ResultPhotoCount(qobject_cast<CDlgScanResult*>(wizard.frame.CurrentPage())), kept);
        QCOMPARE(wizard.Button("1007")->text(), QString("Recover"));
    }

    void scanThreadThatCannotStartLeadsBack()
    {
        FakeMachine machine;
        CDlgScan::SetThreadFactory([](std::function<void()>) -> std::thread {
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        });
        const auto restore = qScopeGuard([] { CDlgScan::SetThreadFactory(nullptr); });
        Wizard wizard;
        QVERIFY(wizard.ChooseDrive("sdb1: PHOTOS (FAT32)"));
        wizard.Button("1007")->click();
        QCOMPARE(machine.prompts.asked.size(), size_t(1));
        QVERIFY(machine.prompts.asked[0].text.startsWith("The scan could not be started"));
        QCOMPARE(machine.prompts.asked[0].icon, QMessageBox::Critical);
        QCOMPARE(wizard.Page(), QString("129"));
        QCOMPARE(wizard.Button("1007")->text(), QString("Next"));
        QVERIFY(!wizard.frame.IsScanRunning());
        QCOMPARE(machine.tasks.scans.load(), 0);
        // Nothing comes later, and the user can go on as before.
        QTest::qWait(50);
        QCOMPARE(wizard.Page(), QString("129"));
        wizard.Button("1006")->click();
        QCOMPARE(wizard.Page(), QString("130"));
    }
};

LUMIVISTA_TEST_MAIN(TestDlgScan)
#include "test_dlgscan.moc"
