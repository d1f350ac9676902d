#include <QDesktopServices>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QTreeWidget>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "apptest.h"
#include "realdisk.h"
#include "resultpage.h"
#include "app/appconfig.h"
#include "app/dlgrecoverprogress.h"
#include "app/dlgscan.h"
#include "app/dlgseldrive.h"
#include "app/dlgseloperation.h"
#include "app/lumivistaapp.h"
#include "app/lumivistadlg.h"
#include "app/pngbutton.h"
#include "app/transparentstatic.h"
#include "app/wizardevents.h"

namespace {

const QString kCancelScan = QStringLiteral("Are are sure to cancel scan?");
const QString kReturnHome = QStringLiteral("Are are sure to return to home page?");
const QString kExit = QStringLiteral("Are are sure to exit?");

// Records the addresses the desktop would open.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    UrlCatcher()
    {
        for (const char* scheme : {"file", "http", "https"})
            QDesktopServices::setUrlHandler(QLatin1String(scheme), this, "open");
    }
    ~UrlCatcher() override
    {
        for (const char* scheme : {"file", "http", "https"}) QDesktopServices::unsetUrlHandler(QLatin1String(scheme));
    }
    QList<QUrl> opened;

public slots:
    void open(const QUrl& url) { opened << url; }
};

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

// A frame on a stand-in machine, shown.
struct Wizard {
    Wizard() { frame.show(); }

    QWidget* Control(const char* id) { return frame.findChild<QWidget*>(id, Qt::FindDirectChildrenOnly); }
    QPushButton* Button(const char* id) { return qobject_cast<QPushButton*>(Control(id)); }
    QString NextCaption() { return Button("1007")->text(); }
    QString Page() { return frame.CurrentPage() ? frame.CurrentPage()->objectName() : QString(); }
    bool Shown(const char* id) { return !Control(id)->isHidden(); }

    void RecoverNow()
    {
        auto* home = qobject_cast<CDlgSelOperation*>(frame.CurrentPage());
        QVERIFY(home);
        home->RecoverButton()->click();
        QTRY_COMPARE(Page(), QString("129"));
    }
    QTreeWidget* DriveList()
    {
        auto* drives = qobject_cast<CDlgSelDrive*>(frame.CurrentPage());
        return drives ? drives->DriveList() : nullptr;
    }
    // The stand-in scan finds one photo unless told otherwise.
    void StartScan(FakeMachine& machine, std::vector<PhotoItem> photos = OnePhoto())
    {
        machine.tasks.SetPhotos(std::move(photos));
        const int before = machine.tasks.scans.load();
        RecoverNow();
        Button("1007")->click();
        QCOMPARE(Page(), QString("143"));
        QTRY_COMPARE(machine.tasks.scans.load(), before + 1);
    }
    static std::vector<PhotoItem> OnePhoto()
    {
        PhotoItem item;
        item.name = u"IMG_0001.JPG";
        item.size = 1000;
        item.runs = {PhotoRun{0, 100, 2}, PhotoRun{}};
        return {item};
    }
    void ReachResults(FakeMachine& machine)
    {
        StartScan(machine);
        machine.tasks.Finish();
        QTRY_COMPARE(Page(), QString("144"));
    }

    CLumivistaDlg frame;
};

}  // namespace

class TestLumivistaDlg : public QObject {
    Q_OBJECT
private slots:
    void startsOnHomePage()
    {
        FakeMachine machine;
        Wizard wizard;
        CLumivistaDlg& frame = wizard.frame;
        QCOMPARE(frame.windowTitle(), QString("Lumivista"));
        QCOMPARE(frame.size(), QSize(DlgUnits().X(373), DlgUnits().Y(224)));
        QCOMPARE(frame.CurrentPageIndex(), 0);
        QCOMPARE(wizard.Page(), QString("130"));
        // The page lies exactly over the hidden placeholder.
        QVERIFY(!wizard.Shown("1002"));
        QCOMPARE(frame.CurrentPage()->geometry(), wizard.Control("1002")->geometry());
        QCOMPARE(wizard.Control("1002")->geometry(), DlgUnits().Rect(6, 30, 360, 167));
        // Footer: only the web link.
        for (const char* id : {"1008", "1005", "1006", "1007"}) QVERIFY2(!wizard.Shown(id), id);
        QVERIFY(wizard.Shown("1016"));
        QVERIFY(qobject_cast<QLabel*>(wizard.Control("1016"))->text().contains(HomeLinkText()));
        // Header.
        auto* logo = qobject_cast<CIconButton*>(wizard.Control("1009"));
        QVERIFY(logo && !logo->isEnabled());
        QCOMPARE(logo->size(), QSize(48, 48));
        QCOMPARE(logo->pos(), QPoint(DlgUnits().X(12), DlgUnits().Y(7)));
        auto* help = qobject_cast<CIconButton*>(wizard.Control("1004"));
        QVERIFY(help && help->isEnabled());
        QCOMPARE(help->size(), QSize(16, 16));
        QCOMPARE(help->cursor().shape(), Qt::PointingHandCursor);
        auto* title = qobject_cast<CTransparentStatic*>(wizard.Control("1010"));
        QCOMPARE(title->text(), QString("Lumivista"));
        QVERIFY(title->font().bold());
        QCOMPARE(title->font().pixelSize(), PointsToPixels(14));
        QCOMPARE(CLumivistaApp::MainWnd(), &frame);
    }

    void pageFlowAndCaptions()
    {
        FakeMachine machine;
        Wizard wizard;
        wizard.RecoverNow();
        QCOMPARE(wizard.frame.CurrentPageIndex(), 1);
        for (const char* id : {"1008", "1005", "1006", "1007"}) QVERIFY2(wizard.Shown(id), id);
        QVERIFY(!wizard.Shown("1016"));
        QVERIFY(wizard.Button("1006")->isEnabled());
        QCOMPARE(wizard.NextCaption(), QString("Next"));

        // Back and Home from the drive page go home.
        wizard.Button("1006")->click();
        QCOMPARE(wizard.Page(), QString("130"));
        QVERIFY(wizard.Shown("1016"));
        wizard.RecoverNow();
        wizard.Button("1005")->click();
        QCOMPARE(wizard.Page(), QString("130"));
        QCOMPARE(wizard.frame.CurrentPageIndex(), 0);

        // Drive page -> scan page: the selected partition is scanned.
        wizard.RecoverNow();
        wizard.DriveList()->setCurrentItem(wizard.DriveList()->topLevelItem(3));
        IPartition* chosen = g_pSelectedPartition;
        machine.tasks.SetPhotos(Wizard::OnePhoto());
        wizard.Button("1007")->click();
        QCOMPARE(wizard.Page(), QString("143"));
        QCOMPARE(wizard.NextCaption(), QString("Cancel"));
        QVERIFY(wizard.frame.IsScanRunning());
        QVERIFY(wizard.Button("1006")->isEnabled());
        QTRY_COMPARE(machine.tasks.scans.load(), 1);
        QCOMPARE(machine.tasks.lastPartition.load(), chosen);

        // The scan's end shows the result page.
        machine.tasks.Finish();
        QTRY_COMPARE(wizard.Page(), QString("144"));
        QCOMPARE(wizard.frame.CurrentPageIndex(), 3);
        QVERIFY(!wizard.frame.IsScanRunning());
        QCOMPARE(wizard.NextCaption(), QString("Recover"));
        QVERIFY(wizard.Button("1006")->isEnabled());
        for (const char* id : {"1008", "1005", "1006", "1007"}) QVERIFY2(wizard.Shown(id), id);
        QVERIFY(machine.prompts.asked.empty());
    }

    // Back on the result page asks, then returns to the drive page with the
    // scanned drive selected; the results are released.
    void backFromResultsAsksAndReleases()
    {
        FakeMachine machine;
        Wizard wizard;
        wizard.ReachResults(machine);
        IPartition* scanned = g_pSelectedPartition;
        QVERIFY(scanned);

        const QString back = "Are you sure to go back to the drive list? The photos found will be dropped.";
        machine.prompts.answer = QMessageBox::No;
        wizard.Button("1006")->click();
        QCOMPARE(wizard.Page(), QString("144"));
        QCOMPARE(machine.tasks.clears.load(), 0);
        machine.prompts.answer = QMessageBox::Yes;
        wizard.Button("1006")->click();
        QCOMPARE(wizard.Page(), QString("129"));
        QCOMPARE(wizard.frame.CurrentPageIndex(), 1);
        QCOMPARE(g_pSelectedPartition, scanned);
        QCOMPARE(wizard.NextCaption(), QString("Next"));
        QCOMPARE(machine.prompts.Texts(), QStringList({back, back}));
        QTRY_COMPARE(machine.tasks.clears.load(), 1);
    }

    // Enter presses the page's main button; Space is no longer needed.
    void enterPressesTheMainButton()
    {
        FakeMachine machine;
        Wizard wizard;
        auto* home = qobject_cast<CDlgSelOperation*>(wizard.frame.CurrentPage());
        QVERIFY(home->RecoverButton()->isDefault());
        QTest::keyClick(&wizard.frame, Qt::Key_Return);
        QTRY_COMPARE(wizard.Page(), QString("129"));
        QVERIFY(wizard.Button("1007")->isDefault());
        machine.tasks.SetPhotos(Wizard::OnePhoto());
        wizard.DriveList()->setFocus();
        QTest::keyClick(wizard.DriveList(), Qt::Key_Return);  // in the list, too
        QCOMPARE(wizard.Page(), QString("143"));
        QVERIFY(!wizard.Button("1007")->isDefault());  // "Cancel" is no default
        QTest::keyClick(&wizard.frame, Qt::Key_Return);
        QVERIFY(machine.prompts.asked.empty());
        machine.tasks.Finish();
        QTRY_COMPARE(wizard.Page(), QString("144"));
        QVERIFY(wizard.Button("1007")->isDefault());
        MessageCounter counter(WM_RECOVER_SELECTED);
        wizard.frame.CurrentPage()->installEventFilter(&counter);
        QTest::keyClick(&wizard.frame, Qt::Key_Enter);
        QTRY_COMPARE(counter.count, 1);
    }

    // Escape asks before the program ends, on the home and drive pages too;
    // the close box there still closes at once.
    void escapeAsksOnEveryPage()
    {
        FakeMachine machine;
        for (bool drivePage : {false, true}) {
            Wizard wizard;
            if (drivePage) wizard.RecoverNow();
            machine.prompts.asked.clear();
            machine.prompts.answer = QMessageBox::No;
            QTest::keyClick(&wizard.frame, Qt::Key_Escape);
            QCOMPARE(machine.prompts.Texts(), QStringList({kExit}));
            QVERIFY(wizard.frame.isVisible());
            machine.prompts.answer = QMessageBox::Yes;
            QTest::keyClick(&wizard.frame, Qt::Key_Escape);
            QVERIFY(!wizard.frame.isVisible());
        }
    }

    // With no program to open the user guide or the web page, the user is
    // told where they are.
    void helpWithoutALauncherIsReported()
    {
        FakeMachine machine;
        Services().openUrl = [](const QUrl&) { return false; };
        Wizard wizard;
        qobject_cast<CIconButton*>(wizard.Control("1004"))->click();
        emit qobject_cast<QLabel*>(wizard.Control("1016"))->linkActivated(HomeUrl().toString());
        QCOMPARE(machine.prompts.asked.size(), size_t(2));
        QVERIFY(machine.prompts.asked[0].text.startsWith("The user guide could not be opened"));
        QVERIFY(machine.prompts.asked[0].text.contains(HelpUrl().isLocalFile() ? HelpUrl().toLocalFile()
                                                                               : HelpUrl().toString()));
        QVERIFY(machine.prompts.asked[1].text.endsWith(HomeUrl().toString()));
        QCOMPARE(machine.prompts.asked[1].icon, QMessageBox::Warning);
    }

    // The window can be made larger: the page, its lists and the footer
    // follow; it never gets smaller than its template.
    void largerWindowGivesTheListsRoom()
    {
        FakeMachine machine;
        Wizard wizard;
        wizard.RecoverNow();
        const QSize base = wizard.frame.size();
        QCOMPARE(wizard.frame.minimumSize(), base);
        QTreeWidget* list = wizard.DriveList();
        const QSize listBefore = list->size();
        const QRect nextBefore = wizard.Button("1007")->geometry();
        wizard.frame.resize(base + QSize(300, 200));
        QTRY_COMPARE(wizard.frame.size(), base + QSize(300, 200));
        QCOMPARE(wizard.frame.CurrentPage()->geometry(), wizard.Control("1002")->geometry());
        QCOMPARE(list->size(), listBefore + QSize(300, 200));
        // The footer keeps to the bottom, centred; the drive page's buttons
        // stay below the list.
        QCOMPARE(wizard.Button("1007")->geometry(), nextBefore.translated(150, 200));
        auto* flash = wizard.frame.CurrentPage()->findChild<QPushButton*>("1007");
        QVERIFY(flash->geometry().top() >= list->geometry().bottom());
        QVERIFY(flash->geometry().bottom() < wizard.frame.CurrentPage()->height());
        for (const char* id : {"1005", "1006", "1007"})
            QVERIFY(wizard.Button(id)->geometry().bottom() < wizard.frame.height());
        // A new page takes the present size at once.
        wizard.Button("1006")->click();
        QCOMPARE(wizard.frame.CurrentPage()->size(), wizard.Control("1002")->size());
    }

    // On a small screen (a scale factor of 2 on 1280 x 800 leaves 640 x 400
    // logical pixels) the font shrinks until the whole window fits, footer
    // buttons included.
    void fontFitsTheWindowOnSmallScreens()
    {
        QCOMPARE(FittingDialogPoints(QSize(1280, 770)), 10);
        for (QSize screen : {QSize(640, 370), QSize(683, 384), QSize(800, 450)}) {
            const int points = FittingDialogPoints(screen);
            const DialogUnits units(MakeDialogFont(points));
            QVERIFY2(units.X(373) <= screen.width() && units.Y(224) <= screen.height(),
                     qPrintable(QString("%1x%2: %3").arg(screen.width()).arg(screen.height()).arg(points)));
            if (points < 10) {
                const DialogUnits larger(MakeDialogFont(points + 1));
                QVERIFY(larger.X(373) + 16 > screen.width() || larger.Y(224) + 48 > screen.height());
            }
        }
        QVERIFY(FittingDialogPoints(QSize(640, 370)) < 10);
        QCOMPARE(DialogPoints(), FittingDialogPoints(QGuiApplication::primaryScreen()->availableGeometry().size()));
    }

    // A drive with a saved scan: Next asks whether to go on with it. A
    // finished one opens the result page at once with its photos; an
    // unfinished one goes on or starts afresh as answered; Cancel stays.
    void savedScanIsContinuedOrStartedAfresh()
    {
        struct Case {
            const char* what;
            bool finished;
            QMessageBox::StandardButton answer;
            bool readable;
            QString page;          // where the wizard ends up
            int scans;             // scans started
            bool continueAsked;    // SetContinueSavedScan(true)
            const char* question;  // a phrase of the question
        };
        const Case cases[] = {
            {"finished, shown", true, QMessageBox::Yes, true, "144", 0, false, "was scanned on"},
            {"finished, scanned again", true, QMessageBox::No, true, "143", 1, false, "was scanned on"},
            {"finished but unreadable", true, QMessageBox::Yes, false, "129", 0, false, "was scanned on"},
            {"stopped, continued", false, QMessageBox::Yes, true, "143", 1, true, "was stopped before it ended"},
            {"stopped, afresh", false, QMessageBox::No, true, "143", 1, false, "was stopped before it ended"},
            {"stopped, cancelled", false, QMessageBox::Cancel, true, "129", 0, false, "was stopped before it ended"},
        };
        for (const Case& c : cases) {
            FakeMachine machine;
            PhotoItem photo;
            photo.name = u"IMG_0001.JPG";
            photo.size = 1000;
            photo.runs = {{100, 2}, {0, 0}};
            machine.tasks.SetPhotos({photo, photo});
            machine.tasks.savedScan = SavedScan{c.finished, 2, 1765000000};
            machine.tasks.savedScanReadable = c.readable;
            machine.prompts.answer = c.answer;
            Wizard wizard;
            wizard.RecoverNow();
            wizard.Button("1007")->click();
            QVERIFY2(!machine.prompts.asked.empty(), c.what);
            const auto& q = machine.prompts.asked[0];
            QVERIFY2(q.text.contains(c.question) && q.text.contains("2 photos"), qPrintable(q.text));
            QCOMPARE(q.buttons, QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
            QCOMPARE(wizard.Page(), c.page);
            QTRY_COMPARE(machine.tasks.scans.load(), c.scans);
            QCOMPARE(machine.tasks.continueSavedScan.load(), c.continueAsked);
            QCOMPARE(machine.tasks.savedScanLoads, c.finished && c.answer == QMessageBox::Yes ? 1 : 0);
            if (c.page == "144") {
                QCOMPARE(wizard.NextCaption(), QString("Recover"));
                QCOMPARE(machine.tasks.GetPhotoItems(Jpg, -1, -1, nullptr), 2);
            }
            if (!c.readable) {
                QCOMPARE(machine.prompts.asked.size(), size_t(2));
                QVERIFY(machine.prompts.asked[1].text.contains("could not be read"));
            }
            if (c.scans) {
                machine.tasks.Finish();
                QTRY_COMPARE(wizard.Page(), QString("144"));
            }
        }
    }

    void nextWithoutDriveAsksForOne()
    {
        FakeMachine machine;
        Wizard wizard;
        wizard.RecoverNow();
        wizard.DriveList()->clearSelection();
        QVERIFY(!g_pSelectedPartition);
        wizard.Button("1007")->click();
        QCOMPARE(machine.prompts.Texts(), QStringList({"Please select a drive."}));
        QCOMPARE(machine.prompts.asked[0].icon, QMessageBox::Warning);
        QCOMPARE(machine.prompts.asked[0].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QCOMPARE(wizard.Page(), QString("129"));
        QCOMPARE(wizard.NextCaption(), QString("Next"));
        QVERIFY(!wizard.frame.IsScanRunning());
        QCOMPARE(machine.tasks.scans.load(), 0);
    }

    // During a scan Home, Back, the close box and Escape ask whether to
    // stop it; No changes nothing, Yes stops the scan and goes where asked
    // once it has returned. Next ("Cancel") asks the same and shows what
    // was found.
    void whileScanningEveryControlAsksToStop()
    {
        FakeMachine machine;
        Wizard wizard;
        wizard.StartScan(machine);
        machine.prompts.answer = QMessageBox::No;
        wizard.Button("1005")->click();
        wizard.Button("1006")->click();
        wizard.Button("1007")->click();
        wizard.frame.close();
        QTest::keyClick(&wizard.frame, Qt::Key_Escape);
        QCOMPARE(machine.prompts.Texts(), QStringList({kCancelScan, kCancelScan, kCancelScan, kExit, kExit}));
        for (const CFakePrompts::Asked& asked : machine.prompts.asked) {
            QCOMPARE(asked.icon, QMessageBox::Question);
            QCOMPARE(asked.buttons, QMessageBox::Yes | QMessageBox::No);
        }
        QTest::qWait(50);
        QCOMPARE(wizard.Page(), QString("143"));
        QVERIFY(wizard.frame.isVisible());
        QVERIFY(wizard.frame.IsScanRunning());
        QCOMPARE(machine.tasks.stoppedScans.load(), 0);

        // Yes on Next: the result page follows the scan's end.
        machine.prompts.answer = QMessageBox::Yes;
        wizard.Button("1007")->click();
        QCOMPARE(wizard.Page(), QString("143"));  // not before the scan has returned
        QTRY_COMPARE(wizard.Page(), QString("144"));
        QCOMPARE(machine.tasks.stoppedScans.load(), 1);
        QCOMPARE(wizard.NextCaption(), QString("Recover"));
    }

    void stoppingAScanWithHomeOrBack()
    {
        FakeMachine machine;
        Wizard wizard;
        // Home: the home page, and the photos found so far are released.
        wizard.StartScan(machine);
        wizard.Button("1005")->click();
        QTRY_COMPARE(wizard.Page(), QString("130"));
        QCOMPARE(machine.tasks.stoppedScans.load(), 1);
        QVERIFY(!wizard.frame.IsScanRunning());
        QTRY_COMPARE(machine.tasks.clears.load(), 1);

        // Back: the drive page, the scanned drive still selected.
        wizard.RecoverNow();
        wizard.DriveList()->setCurrentItem(wizard.DriveList()->topLevelItem(2));
        IPartition* chosen = g_pSelectedPartition;
        machine.tasks.SetPhotos(Wizard::OnePhoto());
        wizard.Button("1007")->click();
        QTRY_COMPARE(machine.tasks.scans.load(), 2);
        wizard.Button("1006")->click();
        // While the scan winds down there is nothing more to press.
        QVERIFY(!wizard.Button("1007")->isEnabled() || wizard.Page() == "129");
        QTRY_COMPARE(wizard.Page(), QString("129"));
        QCOMPARE(g_pSelectedPartition, chosen);
        QCOMPARE(wizard.NextCaption(), QString("Next"));
        QVERIFY(wizard.Button("1007")->isEnabled());
        QCOMPARE(machine.prompts.Texts(), QStringList({kCancelScan, kCancelScan}));
    }

    // Closing the window during a scan asks, stops the scan and closes once
    // the scan thread has returned: the page it uses outlives it.
    void closingDuringAScanStopsItFirst()
    {
        FakeMachine machine;
        Wizard wizard;
        wizard.StartScan(machine);
        wizard.frame.close();
        QCOMPARE(machine.prompts.Texts(), QStringList({kExit}));
        QTRY_VERIFY(!wizard.frame.isVisible());
        QCOMPARE(machine.tasks.stoppedScans.load(), 1);
        QVERIFY(!wizard.frame.IsScanRunning());
        QCOMPARE(wizard.frame.result(), int(QDialog::Rejected));
    }

    // Closing the window during a recovery: no modal dialog holds the window
    // (the system would drop its close box unanswered), the controls around
    // the dialog take no input, and closing asks, stops the recovery after
    // the photo being written and ends the program with no more messages.
    void closingDuringARecoveryStopsItFirst()
    {
        FakeMachine machine;
        UrlCatcher urls;
        std::vector<PhotoItem> photos = Photos(Jpg, 3, 1000);
        for (const PhotoItem& item : photos) machine.tasks.photoBytes[item.name] = std::vector<uint8_t>(item.size, 7);
        Wizard wizard;
        wizard.StartScan(machine, photos);
        machine.tasks.Finish();
        QTRY_COMPARE(wizard.Page(), QString("144"));
        auto* results = qobject_cast<CDlgScanResult*>(wizard.frame.CurrentPage());
        QVERIFY(results);
        for (int i = 0; i < 3; ++i) results->ToggleEntry(i);
        QCOMPARE(results->TickedCount(), 3);
        Services().folderOnPartition = [](const std::string&, IPartition*) { return 0; };

        CHookedTasks hooked(Services().tasks);
        Services().tasks = &hooked;
        std::mutex mutex;
        std::condition_variable wake;
        bool open = false;
        std::atomic<int> reads{0};
        hooked.onRead = [&](PhotoItem*) {
            // Thumbnails are read on the window's thread; the recovery's own.
            if (QThread::currentThread() == qApp->thread() || ++reads != 1) return;
            std::unique_lock<std::mutex> lock(mutex);
            wake.wait(lock, [&] { return open; });
        };
        auto release = [&] {
            std::lock_guard<std::mutex> lock(mutex);
            open = true;
            wake.notify_all();
        };
        const auto letGo = qScopeGuard(release);  // also when a check fails
        testutil::TempDir out;
        machine.prompts.folders = {QString::fromStdString(out.path())};
        machine.prompts.answer = QMessageBox::Yes;

        // The checks run inside the recovery's loop, once the thread reads.
        bool checked = false;
        QTimer poll;
        connect(&poll, &QTimer::timeout, [&] {
            auto* dialog = wizard.frame.findChild<CDlgRecoverProgress*>();
            if (!dialog || !dialog->isVisible() || reads.load() == 0) return;
            poll.stop();
            const auto go = qScopeGuard(release);
            QVERIFY(!dialog->isModal());
            QCOMPARE(QApplication::activeModalWidget(), nullptr);
            for (const char* id : {"1005", "1006", "1007"}) QVERIFY(!wizard.Button(id)->isEnabled());
            QVERIFY(!results->Tree()->isEnabled());
            QVERIFY(dialog->isEnabled());
            wizard.frame.close();
            QVERIFY(dialog->IsCancelled());
            wizard.frame.close();  // asked once only
            checked = true;
        });
        poll.start(10);
        wizard.Button("1007")->click();
        QTRY_VERIFY(!wizard.frame.isVisible());
        QVERIFY(checked);
        QCOMPARE(wizard.frame.result(), int(QDialog::Rejected));
        QCOMPARE(machine.prompts.Texts(),
                 QStringList({"Photos are being recovered. Are you sure to stop the recovery and exit? The photos "
                              "saved so far stay in the folder."}));
        QCOMPARE(reads.load(), 1);
        const QDir folder(QString::fromStdString(out.path()) + "/" +
                          QDir(QString::fromStdString(out.path())).entryList(QDir::Dirs | QDir::NoDotAndDotDot).value(0));
        QCOMPARE(folder.entryList(QDir::Files), QStringList({"P1"}));
        QVERIFY(urls.opened.isEmpty());
    }

    // The scan may end while a question about it is open: the question
    // closes (answered No), and the result page follows.
    void scanEndingWhileCancelQuestionIsOpen()
    {
        FakeMachine machine;
        Wizard wizard;
        wizard.StartScan(machine);
        machine.prompts.answer = QMessageBox::Yes;
        machine.prompts.whileOpen = [&] {
            machine.tasks.Finish();
            QTRY_COMPARE(machine.prompts.dismissed, 1);
        };
        wizard.Button("1007")->click();
        QTRY_COMPARE(wizard.Page(), QString("144"));
        QCOMPARE(machine.prompts.dismissed, 1);
        QCOMPARE(machine.tasks.stoppedScans.load(), 0);
        QCOMPARE(wizard.NextCaption(), QString("Recover"));
    }

    // A scan that finds nothing says so and leads back to the drive page,
    // the scanned drive selected; so does one cancelled before a find.
    void scanThatFindsNothing()
    {
        FakeMachine machine;
        Wizard wizard;
        wizard.StartScan(machine, {});
        IPartition* scanned = g_pSelectedPartition;
        machine.tasks.Finish();
        QTRY_COMPARE(wizard.Page(), QString("129"));
        QCOMPARE(machine.prompts.Texts(),
                 QStringList({"No photos were found on sda1: System (NTFS). Please choose another drive, or scan the "
                              "whole disk if it is listed."}));
        QCOMPARE(machine.prompts.asked[0].icon, QMessageBox::Information);
        QCOMPARE(g_pSelectedPartition, scanned);
        QCOMPARE(wizard.NextCaption(), QString("Next"));
        QVERIFY(!wizard.frame.IsScanRunning());

        machine.prompts.asked.clear();
        machine.tasks.SetPhotos({});
        wizard.Button("1007")->click();
        QTRY_COMPARE(machine.tasks.scans.load(), 2);
        wizard.Button("1007")->click();  // Cancel, Yes
        QTRY_COMPARE(wizard.Page(), QString("129"));
        QCOMPARE(machine.prompts.Texts(),
                 QStringList({kCancelScan, "The scan was cancelled before any photo was found."}));
    }

    void recoverIsPostedToTheResultPage()
    {
        FakeMachine machine;
        Wizard wizard;
        wizard.ReachResults(machine);
        MessageCounter counter(WM_RECOVER_SELECTED);
        wizard.frame.CurrentPage()->installEventFilter(&counter);
        wizard.Button("1007")->click();
        QTRY_COMPARE(counter.count, 1);
        QCOMPARE(wizard.Page(), QString("144"));
        // Nothing is ticked on the page: it says so.
        QCOMPARE(machine.prompts.Texts(), QStringList({"Please select the photos you want to recover."}));
    }

    void homeFromResultsAsksAndReleases()
    {
        FakeMachine machine;
        Wizard wizard;
        wizard.ReachResults(machine);

        machine.prompts.answer = QMessageBox::No;
        wizard.Button("1005")->click();
        QCOMPARE(machine.prompts.Texts(), QStringList({kReturnHome}));
        QCOMPARE(machine.prompts.asked[0].icon, QMessageBox::Question);
        QCOMPARE(wizard.Page(), QString("144"));
        QCOMPARE(machine.tasks.clears.load(), 0);

        machine.prompts.answer = QMessageBox::Yes;
        wizard.Button("1005")->click();
        QCOMPARE(wizard.Page(), QString("130"));
        QCOMPARE(wizard.NextCaption(), QString("Next"));
        QTRY_COMPARE(machine.tasks.clears.load(), 1);
    }

    void nextScanWaitsForTheRelease()
    {
        FakeMachine machine;
        Wizard wizard;
        wizard.ReachResults(machine);
        machine.tasks.HoldClear();
        const auto unhold = qScopeGuard([&] { machine.tasks.ReleaseClear(); });  // before the frame waits
        wizard.Button("1005")->click();
        QCOMPARE(wizard.Page(), QString("130"));  // the release runs in the background
        QCOMPARE(machine.tasks.clears.load(), 0);
        wizard.RecoverNow();
        std::thread release([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            machine.tasks.ReleaseClear();
        });
        wizard.Button("1007")->click();  // waits for the release
        release.join();
        QCOMPARE(machine.tasks.clears.load(), 1);
        QTRY_COMPARE(machine.tasks.scans.load(), 2);
        QCOMPARE(machine.tasks.clearsAtLastScan.load(), 1);
        machine.tasks.Finish();
        QTRY_COMPARE(wizard.Page(), QString("144"));
    }

    void closeAsksOnlyOnResultPage()
    {
        FakeMachine machine;
        {
            Wizard wizard;
            wizard.RecoverNow();
            wizard.frame.reject();
            QVERIFY(!wizard.frame.isVisible());
            QVERIFY(machine.prompts.asked.empty());
        }
        {
            Wizard wizard;
            wizard.ReachResults(machine);
            machine.prompts.answer = QMessageBox::No;
            QTest::keyClick(&wizard.frame, Qt::Key_Escape);
            QCOMPARE(machine.prompts.Texts(), QStringList({kExit}));
            QVERIFY(wizard.frame.isVisible());
            machine.prompts.answer = QMessageBox::Yes;
            wizard.frame.close();
            QCOMPARE(machine.prompts.asked.size(), size_t(2));
            QVERIFY(!wizard.frame.isVisible());
            QCOMPARE(wizard.frame.result(), int(QDialog::Rejected));
        }
    }

    // A double click on "Recover Now" asks twice for the next page; only the
    // first counts.
    void doubleClickOnRecoverNowStopsAtDrivePage()
    {
        FakeMachine machine;
        Wizard wizard;
        auto* home = qobject_cast<CDlgSelOperation*>(wizard.frame.CurrentPage());
        home->RecoverButton()->click();
        home->RecoverButton()->click();
        QTRY_COMPARE(wizard.Page(), QString("129"));
        QTest::qWait(20);
        QCOMPARE(wizard.Page(), QString("129"));
        QCOMPARE(wizard.frame.CurrentPageIndex(), 1);
        QCOMPARE(machine.tasks.scans.load(), 0);
    }

    void helpAndLinkOpenTheirAddresses()
    {
        FakeMachine machine;
        UrlCatcher urls;
        Wizard wizard;
        qobject_cast<CIconButton*>(wizard.Control("1004"))->click();
        auto* link = qobject_cast<QLabel*>(wizard.Control("1016"));
        emit link->linkActivated(HomeUrl().toString());
        QCOMPARE(urls.opened, QList<QUrl>({HelpUrl(), HomeUrl()}));
        QVERIFY(HomeUrl().isValid());
        QVERIFY(HelpUrl().isValid());
    }

    void aboutItemShowsAboutBox()
    {
        FakeMachine machine;
        Wizard wizard;
        QMenu* menu = wizard.frame.HeaderMenu();
        QCOMPARE(menu->actions().size(), 1);
        QAction* about = menu->actions().first();
        QCOMPARE(about->text(), QString("&About Lumivista..."));
        QCOMPARE(about->data().toInt(), IDM_ABOUTBOX);
        QString shown;
        QTimer::singleShot(0, [&] {
            if (QWidget* box = QApplication::activeModalWidget()) {
                shown = box->windowTitle();
                box->close();
            }
        });
        about->trigger();
        QCOMPARE(shown, QString("About Lumivista"));
    }
};

LUMIVISTA_TEST_MAIN(TestLumivistaDlg)
#include "test_lumivistadlg.moc"
