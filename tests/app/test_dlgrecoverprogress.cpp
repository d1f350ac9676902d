#include <QCheckBox>
#include <QDateTime>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSet>
#include <QTimer>

#include <condition_variable>
#include <csignal>
#include <ctime>
#include <mutex>
#include <set>
#include <sys/resource.h>
#include <system_error>

#include "apptest.h"
#include "realdisk.h"
#include "resultpage.h"
#include "app/dlgrecoverprogress.h"
#include "app/drivetext.h"

namespace {

const QString kChooseFolder = QStringLiteral("Please select a folder to save your recovered photos.");
const QString kRecovered = QStringLiteral("Selected photos have been successfully recovered.");

// Records the folders the desktop would open.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    UrlCatcher() { QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "open"); }
    ~UrlCatcher() override { QDesktopServices::unsetUrlHandler(QStringLiteral("file")); }
    QList<QUrl> opened;

public slots:
    void open(const QUrl& url) { opened << url; }
};

// Today at that local time.
std::time_t At(int hour, int minute, int second)
{
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_sec = second;
    local.tm_isdst = -1;
    return std::mktime(&local);
}

// The last message the user was shown, or nothing.
QString Said(const CFakePrompts& prompts)
{
    return prompts.asked.empty() ? QString() : prompts.asked.back().text;
}

QStringList FilesIn(const QString& folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
}

QByteArray ReadAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A real card scanned into the program's task manager, on the result page.
struct RealResults {
    RealResults()
    {
        partition = machine.Open(Card().image);
        g_pSelectedPartition = partition;
        NullSink sink;
        scanned = partition && Services().tasks->RecoverPhotos(partition, &sink) == 0;
        page = std::make_unique<ResultPage>();
        Services().clock = [] { return At(15, 7, 9); };
    }
    // Ticks the photos of these names through the page, or all of them
    // through the tree's root.
    void Tick(const std::set<std::string>& names = {})
    {
        if (names.empty()) {
            page->ClickCheckBox(page->Node("Photos"));
            QTRY_VERIFY(page->page.TickedCount() > 0);
            return;
        }
        for (QTreeWidgetItemIterator it(page->Tree()); *it; ++it) {
            if (!CDlgScanResult::BlockOf(*it)) continue;
            page->Tree()->setCurrentItem(*it);
            for (int i = 0; i < page->Rows(); ++i)
                if (names.count(NameOf(page->page.ShownItems()[static_cast<size_t>(i)]))) page->page.ToggleEntry(i);
        }
    }
    void Recover()
    {
        const size_t before = machine.prompts.asked.size();
        const int titles = machine.prompts.folderTitles.size();
        PostWizardMessage(&page->page, WM_RECOVER_SELECTED);
        QTRY_VERIFY(machine.prompts.asked.size() > before || machine.prompts.folderTitles.size() > titles);
        QCoreApplication::processEvents();
    }

    RealMachine machine;
    UrlCatcher urls;  // the folder is never really opened
    IPartition* partition = nullptr;
    bool scanned = false;
    std::unique_ptr<ResultPage> page;
    testutil::TempDir out;
};

// Stand-in photos with real bytes, on the result page.
struct FakeResults {
    explicit FakeResults(std::vector<PhotoItem> photos)
    {
        for (const PhotoItem& item : photos)
            machine.tasks.photoBytes[item.name] = std::vector<uint8_t>(item.size, static_cast<uint8_t>(item.size));
        Store(machine, std::move(photos));
        g_pSelectedPartition = machine.drives.GetDiskByIndex(1)->GetPartition(0);  // sdb1
        page = std::make_unique<ResultPage>();
        Services().clock = [] { return At(15, 7, 9); };
        Services().folderOnPartition = [](const std::string&, IPartition*) { return 0; };
    }
    void TickAll()
    {
        page->ClickCheckBox(page->Node("Photos"));
        QTRY_VERIFY(page->page.TickedCount() > 0);
    }
    void Recover()
    {
        const size_t before = machine.prompts.asked.size();
        const int titles = machine.prompts.folderTitles.size();
        PostWizardMessage(&page->page, WM_RECOVER_SELECTED);
        QTRY_VERIFY(machine.prompts.asked.size() > before || machine.prompts.folderTitles.size() > titles);
        QCoreApplication::processEvents();
    }

    FakeMachine machine;
    UrlCatcher urls;  // the folder is never really opened
    std::unique_ptr<ResultPage> page;
    testutil::TempDir out;
};

// Calls back when the recovery dialog is being shown, before its modal loop
// handles any event (at once), or from inside that loop (deferred).
class DialogWatcher : public QObject {
public:
    enum When { AtOnce, Deferred };
    DialogWatcher(QObject* page, std::function<void(CDlgRecoverProgress*)> shown, When when = Deferred)
        : m_shown(std::move(shown)), m_when(when)
    {
        page->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::ChildPolished) {
            auto* dialog = qobject_cast<CDlgRecoverProgress*>(static_cast<QChildEvent*>(event)->child());
            if (dialog && m_when == AtOnce) m_shown(dialog);
            if (dialog && m_when == Deferred) QTimer::singleShot(0, dialog, [this, dialog] { m_shown(dialog); });
        }
        return false;
    }

private:
    std::function<void(CDlgRecoverProgress*)> m_shown;
    When m_when;
};

// A recovered file's name without the number a clash gave it.
std::string Unnumbered(const QString& name)
{
    static const QRegularExpression numbered(QStringLiteral("^[0-9]+_(.+)$"));
    const QRegularExpressionMatch match = numbered.match(name);
    return (match.hasMatch() ? match.captured(1) : name).toStdString();
}

QString Out(const testutil::TempDir& dir)
{
    return QString::fromStdString(dir.path());
}

}  // namespace

class TestDlgRecoverProgress : public QObject {
    Q_OBJECT
private slots:
    void progressPosition()
    {
        QCOMPARE(CDlgRecoverProgress::ProgressPosition(0, 1000, 0, 4), 0);
        QCOMPARE(CDlgRecoverProgress::ProgressPosition(500, 1000, 2, 4), 50);
        QCOMPARE(CDlgRecoverProgress::ProgressPosition(999, 1000, 3, 4), 99);
        QCOMPARE(CDlgRecoverProgress::ProgressPosition(1000, 1000, 4, 4), 100);
        QCOMPARE(CDlgRecoverProgress::ProgressPosition(5000, 1000, 4, 4), 100);
        QCOMPARE(CDlgRecoverProgress::ProgressPosition(int64_t(1) << 62, int64_t(1) << 62, 1, 1), 100);
        // Ticked photos of no bytes at all: counted by photos, never divided by 0.
        QCOMPARE(CDlgRecoverProgress::ProgressPosition(0, 0, 1, 4), 25);
        QCOMPARE(CDlgRecoverProgress::ProgressPosition(0, 0, 4, 4), 100);
        QCOMPARE(CDlgRecoverProgress::ProgressPosition(0, 0, 0, 0), 0);
    }

    void nothingTickedAsksForPhotos()
    {
        FakeResults r(Photos(Jpg, 3));
        r.Recover();
        QCOMPARE(r.machine.prompts.Texts(), QStringList({"Please select the photos you want to recover."}));
        QCOMPARE(r.machine.prompts.asked[0].icon, QMessageBox::Warning);
        QVERIFY(r.machine.prompts.folderTitles.isEmpty());
    }

    void cancelledBrowserAndInvalidFolders()
    {
        FakeResults r(Photos(Jpg, 3));
        r.TickAll();
        r.Recover();  // no folder chosen
        QCOMPARE(r.machine.prompts.folderTitles.size(), 1);
        QVERIFY(r.machine.prompts.asked.empty());

        r.machine.prompts.folders = {Out(r.out) + "/missing"};
        r.Recover();
        QCOMPARE(r.machine.prompts.Texts(), QStringList({"Please select a valid folder."}));
        QCOMPARE(r.machine.prompts.asked[0].icon, QMessageBox::Critical);
        QVERIFY(FilesIn(Out(r.out)).isEmpty());
    }

    // A folder on the scanned drive: the browser's title warns, and the user
    // is asked whether to choose again; Yes browses again, No goes on.
    void folderOnTheScannedDrive()
    {
        FakeResults r(Photos(Jpg, 2, 700));
        testutil::TempDir other;
        const std::string onDrive = r.out.path();
        Services().folderOnPartition = [&](const std::string& folder, IPartition* partition) {
            return folder == onDrive && partition == g_pSelectedPartition ? 1 : 0;
        };
        r.TickAll();
        r.machine.prompts.folders = {Out(r.out), Out(r.out)};
        int questions = 0;
        r.machine.prompts.whileOpen = [&] {
            if (++questions == 2) r.machine.prompts.answer = QMessageBox::No;
        };
        r.machine.prompts.answer = QMessageBox::Yes;
        r.Recover();
        const QString folder = Out(r.out) + "/Recovered Photos(03-07-09)";
        QTRY_VERIFY(r.machine.prompts.Texts().contains(RecoveredText(folder)));

        const QString title = kChooseFolder +
                              "\n \rWarning: You are recovering photos from sdb1 drive, do not save photos to this drive.";
        QCOMPARE(r.machine.prompts.folderTitles, QStringList({title, title}));
        const QString question =
            "You are recovering photos from sdb1 drive, we do not recommend you to save recovered photos to this "
            "drive. Do you want to reselect save folder?";
        QCOMPARE(r.machine.prompts.Texts(), QStringList({question, question, RecoveredText(folder)}));
        QCOMPARE(r.machine.prompts.asked[0].icon, QMessageBox::Question);
        QCOMPARE(r.machine.prompts.asked[2].icon, QMessageBox::Information);
        QCOMPARE(FilesIn(folder), QStringList({"P1", "P2"}));
        QCOMPARE(r.urls.opened, QList<QUrl>({QUrl::fromLocalFile(folder)}));
    }

    void freeSpaceMustExceedTheTickedBytes()
    {
        FakeResults r(Photos(Jpg, 3, 1024));
        r.TickAll();
        QCOMPARE(r.page->page.TickedBytes(), int64_t(3072));
        std::string asked;
        Services().freeSpace = [&](const std::string& folder) {
            asked = folder;
            return FreeSpace{true, 3072};
        };
        r.machine.prompts.folders = {Out(r.out)};
        r.Recover();
        QCOMPARE(asked, r.out.path());
        QCOMPARE(r.machine.prompts.Texts(),
                 QStringList({"The drive of selected folder doesnot have enough free space (only 3.00 KB available), "
                              "please select another folder or dis-select some photos."}));
        QCOMPARE(r.machine.prompts.asked[0].icon, QMessageBox::Critical);
        QVERIFY(FilesIn(Out(r.out)).isEmpty());

        // A failed query counts as no space at all.
        Services().freeSpace = [](const std::string&) { return FreeSpace{true, 0}; };
        r.machine.prompts.folders = {Out(r.out)};
        r.Recover();
        QVERIFY(r.machine.prompts.asked.back().text.contains("(only 0.00 byte available)"));
        QVERIFY(FilesIn(Out(r.out)).isEmpty());

        // One byte more is enough.
        Services().freeSpace = [](const std::string&) { return FreeSpace{true, 3073}; };
        r.machine.prompts.folders = {Out(r.out)};
        r.Recover();
        QTRY_VERIFY(Said(r.machine.prompts).startsWith(kRecovered));

        // A file system without a figure is not checked.
        Services().freeSpace = [](const std::string&) { return FreeSpace{false, 0}; };
        Services().clock = [] { return At(15, 7, 10); };
        r.machine.prompts.folders = {Out(r.out)};
        r.Recover();
        QTRY_VERIFY(Said(r.machine.prompts).startsWith(kRecovered));
        QCOMPARE(FilesIn(Out(r.out)), QStringList({"Recovered Photos(03-07-09)", "Recovered Photos(03-07-10)"}));
    }

    void folderIsNamedAfterTheTime()
    {
        FakeResults r(Photos(Png, 1, 300));
        r.TickAll();
        Services().clock = [] { return At(0, 5, 0); };
        r.machine.prompts.folders = {Out(r.out)};
        r.Recover();
        QTRY_VERIFY(Said(r.machine.prompts).startsWith(kRecovered));
        QCOMPARE(FilesIn(Out(r.out)), QStringList({"Recovered Photos(00-05-00)"}));

        // Something else in the way of the folder.
        Services().clock = [] { return At(12, 30, 0); };
        QFile blocker(Out(r.out) + "/Recovered Photos(12-30-00)");
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        r.machine.prompts.folders = {Out(r.out)};
        r.Recover();
        QCOMPARE(r.machine.prompts.asked.back().text,
                 "Create folder failed, please retry.\n\nReason: cannot create " + Out(r.out) +
                     "/Recovered Photos(12-30-00): File exists.");
        QCOMPARE(r.machine.prompts.asked.back().icon, QMessageBox::Critical);
    }

    // With the box ticked, each photo goes into its folder path; the file
    // gets the photo's time either way.
    void keepFoldersWhenAskedAndTimes()
    {
        std::vector<PhotoItem> photos = Photos(Jpg, 3, 700);
        photos[0].folder = u"DCIM/100CANON";
        photos[1].folder = u"Trip to Rome/Day 2";
        for (PhotoItem& p : photos) p.mtime = 1700000000;
        for (bool keep : {false, true}) {
            FakeResults r(photos);
            QVERIFY(!r.page->page.KeepFoldersBox()->isChecked());  // off unless asked
            r.page->page.KeepFoldersBox()->setChecked(keep);
            r.TickAll();
            Services().clock = [keep] { return At(10, keep ? 1 : 0, 0); };
            r.machine.prompts.folders = {Out(r.out)};
            r.Recover();
            QTRY_VERIFY(Said(r.machine.prompts).startsWith(kRecovered));
            const QString folder = Out(r.out) + (keep ? "/Recovered Photos(10-01-00)" : "/Recovered Photos(10-00-00)");
            const QStringList expected = keep ? QStringList({"DCIM/100CANON/P1", "Trip to Rome/Day 2/P2", "P3"})
                                              : QStringList({"P1", "P2", "P3"});
            for (const QString& path : expected) {
                const QFileInfo info(folder + "/" + path);
                QVERIFY2(info.isFile(), qPrintable(path));
                QCOMPARE(info.lastModified().toSecsSinceEpoch(), qint64(1700000000));
            }
            if (!keep) QCOMPARE(FilesIn(folder), QStringList({"P1", "P2", "P3"}));
        }
    }

    // A folder that takes no files is refused with the system's reason,
    // before free space is looked at; nothing is created.
    void folderThatTakesNoFiles()
    {
        FakeResults r(Photos(Jpg, 2, 700));
        r.TickAll();
        bool spaceAsked = false;
        Services().freeSpace = [&](const std::string&) {
            spaceAsked = true;
            return FreeSpace{true, 1 << 20};
        };
        for (const char* reason : {"read-only file system", "permission denied"}) {
            Services().folderWritable = [reason](const std::string&, std::string& why) {
                why = reason;
                return -1;
            };
            r.machine.prompts.folders = {Out(r.out)};
            r.Recover();
            QCOMPARE(Said(r.machine.prompts), QString("Cannot save photos in \"%1\": %2. Please select another folder.")
                                                  .arg(Out(r.out), reason));
            QCOMPARE(r.machine.prompts.asked.back().icon, QMessageBox::Critical);
        }
        QVERIFY(!spaceAsked);
        QVERIFY(FilesIn(Out(r.out)).isEmpty());
    }

    // No file manager to show the folder in: the user is told where it is.
    void folderThatCannotBeShown()
    {
        FakeResults r(Photos(Jpg, 1, 700));
        r.TickAll();
        Services().openUrl = [](const QUrl&) { return false; };
        r.machine.prompts.folders = {Out(r.out)};
        r.Recover();
        const QString folder = Out(r.out) + "/Recovered Photos(03-07-09)";
        QTRY_COMPARE(r.machine.prompts.Texts(), QStringList({RecoveredText(folder), FolderNotShownText(folder)}));
        QCOMPARE(r.machine.prompts.asked.back().icon, QMessageBox::Warning);
    }

    // Two photos of the same name: NAME and n_NAME; the counter goes on in
    // the next recovery into the same folder (the same second).
    void clashingNamesGetTheRunningNumber()
    {
        REQUIRE_CARD();
        RealResults r;
        QVERIFY(r.scanned);
        r.Tick({"IMG_0104.JPG"});
        QCOMPARE(r.page->page.TickedCount(), 2);
        r.machine.prompts.folders = {Out(r.out)};
        r.Recover();
        QTRY_VERIFY(Said(r.machine.prompts).startsWith(kRecovered));
        const QString folder = Out(r.out) + "/Recovered Photos(03-07-09)";
        QStringList files = FilesIn(folder);
        QCOMPARE(files.size(), 2);
        QVERIFY(files.contains("IMG_0104.JPG"));
        files.removeAll("IMG_0104.JPG");
        QVERIFY2(files[0].endsWith("_IMG_0104.JPG"), qPrintable(files[0]));
        // The first clash of this program (the functions run in order).
        const int n = files[0].section('_', 0, 0).toInt();
        QCOMPARE(n, 1);

        r.machine.prompts.folders = {Out(r.out)};
        r.Recover();
        QTRY_VERIFY(Said(r.machine.prompts).startsWith(kRecovered));
        const QStringList want = {QString("%1_IMG_0104.JPG").arg(n), QString("%1_IMG_0104.JPG").arg(n + 1),
                                  QString("%1_IMG_0104.JPG").arg(n + 2), "IMG_0104.JPG"};
        const QStringList got = FilesIn(folder);
        QCOMPARE(QSet<QString>(got.begin(), got.end()), QSet<QString>(want.begin(), want.end()));
        const QByteArray original = ReadAll(QString::fromStdString(Card().originals.at("IMG_0104.JPG")));
        for (const QString& name : FilesIn(folder)) QCOMPARE(ReadAll(folder + "/" + name), original);
    }

    // Everything on the card comes back byte for byte, the deleted photo
    // included, and the folder is opened.
    void recoveredPhotosEqualTheOriginals()
    {
        REQUIRE_CARD();
        RealResults r;
        QVERIFY(r.scanned);
        r.Tick();
        const int ticked = r.page->page.TickedCount();
        r.machine.prompts.folders = {Out(r.out)};
        r.Recover();
        const QString folder = Out(r.out) + "/Recovered Photos(03-07-09)";
        QTRY_COMPARE(Said(r.machine.prompts),
                     "Selected photos have been successfully recovered. They are in \"" + folder + "\".");
        QCOMPARE(r.machine.prompts.asked.back().icon, QMessageBox::Information);
        QCOMPARE(r.urls.opened, QList<QUrl>({QUrl::fromLocalFile(folder)}));

        const QStringList files = FilesIn(folder);
        QCOMPARE(files.size(), ticked);
        int originals = 0;
        bool deletedOne = false;
        const QByteArray deleted = ReadAll(QString::fromStdString(Card().deletedSource));
        for (const QString& name : files) {
            const QByteArray got = ReadAll(folder + "/" + name);
            auto original = Card().originals.find(Unnumbered(name));
            if (original != Card().originals.end()) {
                QCOMPARE(got, ReadAll(QString::fromStdString(original->second)));
                ++originals;
            } else if (got.size() >= deleted.size() && got.left(deleted.size()) == deleted) {
                deletedOne = true;  // found by the raw scan, under its number
            }
        }
        QCOMPARE(originals, 9);
        QVERIFY(deletedOne);
        // The page and its ticks stay for another recovery.
        QCOMPARE(r.page->page.TickedCount(), ticked);
    }

    void cancelStopsAfterTheCurrentPhoto()
    {
        REQUIRE_CARD();
        RealResults r;
        QVERIFY(r.scanned);
        CHookedTasks hooked(Services().tasks);
        Services().tasks = &hooked;
        r.Tick();
        std::atomic<int> reads{0};
        ResultPage* page = r.page.get();
        hooked.onRead = [&](PhotoItem*) {
            if (++reads != 1) return;
            SendToWindow(&page->page, [page] {
                auto* dialog = page->page.findChild<CDlgRecoverProgress*>();
                if (dialog) dialog->CancelButton()->click();
            });
        };
        r.machine.prompts.folders = {Out(r.out)};
        r.Recover();
        QTRY_VERIFY(!page->page.findChild<CDlgRecoverProgress*>());
        QCOMPARE(reads.load(), 1);
        // No success message: how many were saved, and where.
        const QString folder = Out(r.out) + "/Recovered Photos(03-07-09)";
        QCOMPARE(r.machine.prompts.Texts(),
                 QStringList({QString("The recovery was cancelled. 1 of the %1 selected photos has been saved in \"%2\".")
                                  .arg(page->page.TickedCount())
                                  .arg(folder)}));
        QVERIFY(r.urls.opened.isEmpty());
        // The photo being written was finished; it stays.
        QCOMPARE(FilesIn(folder).size(), 1);
    }

    // While the thread runs, Escape and the close box ask whether to stop;
    // No goes on, Enter does nothing.
    void dialogWhileRecovering()
    {
        FakeResults r(Photos(Jpg, 2, 1536));
        r.TickAll();
        CHookedTasks hooked(Services().tasks);
        Services().tasks = &hooked;
        std::mutex mutex;
        std::condition_variable wake;
        bool open = false;
        std::atomic<bool> reading{false};
        hooked.onRead = [&](PhotoItem*) {
            reading = true;
            std::unique_lock<std::mutex> lock(mutex);
            wake.wait(lock, [&] { return open; });
        };
        CDlgRecoverProgress* seen = nullptr;
        auto release = [&] {
            std::lock_guard<std::mutex> lock(mutex);
            open = true;
            wake.notify_all();
        };
        DialogWatcher watcher(&r.page->page, [&](CDlgRecoverProgress* dialog) {
            const auto letGo = qScopeGuard(release);  // also when a check fails
            seen = dialog;
            QTRY_VERIFY(reading.load());
            QVERIFY(dialog->isVisible());
            QCOMPARE(dialog->windowTitle(), QString("Recovering Photos"));
            QCOMPARE(dialog->findChild<QLabel*>("1037")->text(), QString("Recovering 2 photos (3.00 KB)"));
            QCOMPARE(dialog->size(), QSize(DlgUnits().X(242), DlgUnits().Y(49)));
            QCOMPARE(dialog->CancelButton()->geometry(), DlgUnits().Rect(189, 33, 47, 12));
            r.machine.prompts.answer = QMessageBox::No;
            QTest::keyClick(dialog, Qt::Key_Escape);
            QTest::keyClick(dialog, Qt::Key_Return);
            dialog->close();
            QVERIFY(dialog->isVisible());
            QVERIFY(!dialog->IsCancelled());
        });
        r.machine.prompts.folders = {Out(r.out)};
        r.Recover();
        QTRY_VERIFY(Said(r.machine.prompts).startsWith(kRecovered));
        QVERIFY(seen);
        const QString stop = "Are you sure to stop the recovery? The photos saved so far stay in the folder.";
        QCOMPARE(r.machine.prompts.Texts(),
                 QStringList({stop, stop, RecoveredText(Out(r.out) + "/Recovered Photos(03-07-09)")}));
    }

    // Closing the dialog and saying Yes stops the recovery after the photo
    // being written, and the user is told how many were saved and where.
    void closingStopsTheRecovery()
    {
        FakeResults r(Photos(Jpg, 3, 1536));
        r.TickAll();
        CHookedTasks hooked(Services().tasks);
        Services().tasks = &hooked;
        std::atomic<int> reads{0};
        ResultPage* page = r.page.get();
        hooked.onRead = [&](PhotoItem*) {
            if (++reads != 1) return;
            SendToWindow(&page->page, [page] {
                if (auto* dialog = page->page.findChild<CDlgRecoverProgress*>()) dialog->close();
            });
        };
        r.machine.prompts.answer = QMessageBox::Yes;
        r.machine.prompts.folders = {Out(r.out)};
        r.Recover();
        QTRY_VERIFY(!page->page.findChild<CDlgRecoverProgress*>());
        const QString folder = Out(r.out) + "/Recovered Photos(03-07-09)";
        QTRY_COMPARE(Said(r.machine.prompts),
                     QString("The recovery was cancelled. 1 of the 3 selected photos has been saved in \"%1\".")
                         .arg(folder));
        QCOMPARE(FilesIn(folder), QStringList({"P1"}));
    }

    void threadThatCannotStart()
    {
        FakeResults r(Photos(Jpg, 1));
        r.TickAll();
        CDlgRecoverProgress::SetThreadFactory([](std::function<void()>) -> std::thread {
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        });
        const auto restore = qScopeGuard([] { CDlgRecoverProgress::SetThreadFactory(nullptr); });
        bool stayed = false;
        DialogWatcher watcher(&r.page->page, [&](CDlgRecoverProgress* dialog) {
            QTest::qWait(100);
            stayed = dialog->isVisible() && dialog->ProgressBar()->value() == 0;
            dialog->close();  // the user gives up
        });
        r.machine.prompts.folders = {Out(r.out)};
        r.Recover();
        QTRY_VERIFY(!r.page->page.findChild<CDlgRecoverProgress*>());
        QVERIFY(stayed);
        QVERIFY(r.machine.prompts.asked.empty());
    }

    // Names from a damaged drive never lead outside the new folder.
    void hostileNamesStayInsideTheFolder()
    {
        std::vector<PhotoItem> photos = Photos(Jpg, 5, 600);
        photos[0].name = u"../x.jpg";
        photos[1].name = u"..";
        photos[2].name = u"/etc/passwd";
        photos[3].name = std::u16string(u"a\0b.jpg", 7);
        photos[4].name = u"\xD800.jpg";  // an unpaired surrogate
        FakeResults r(photos);
        r.TickAll();
        testutil::TempDir parent;
        const QString chosen = Out(parent) + "/chosen";
        QVERIFY(QDir().mkpath(chosen));
        r.machine.prompts.folders = {chosen};
        r.Recover();
        QTRY_VERIFY(Said(r.machine.prompts).startsWith(kRecovered));
        QCOMPARE(FilesIn(Out(parent)), QStringList({"chosen"}));
        QCOMPARE(FilesIn(chosen), QStringList({"Recovered Photos(03-07-09)"}));
        const QStringList files = FilesIn(chosen + "/Recovered Photos(03-07-09)");
        QCOMPARE(files.size(), 5);
        for (const QString& name : files) {
            QVERIFY2(!name.contains('/') && name != ".." && name != ".", qPrintable(name));
            QCOMPARE(QFileInfo(chosen + "/Recovered Photos(03-07-09)/" + name).size(), qint64(600));
        }
    }

    // A photo the folder's drive has no room for is a failure: the user is
    // told, and no half-written file stays.
    void writeFailureIsNoSuccess()
    {
        FakeResults r(Photos(Jpg, 2, 200000, "BIG") + Photos(Jpg, 1, 500, "SMALL"));
        r.TickAll();
        struct rlimit old {};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &old), 0);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit small = old;
        small.rlim_cur = 100000;  // files may not grow past 100 kB
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
        auto undo = [&] {
            setrlimit(RLIMIT_FSIZE, &old);
            std::signal(SIGXFSZ, oldHandler);
        };
        auto restore = qScopeGuard(undo);
        r.machine.prompts.folders = {Out(r.out)};
        r.Recover();
        QTRY_VERIFY(!r.machine.prompts.asked.empty());
        restore.dismiss();
        undo();
        const CFakePrompts::Asked& told = r.machine.prompts.asked.back();
        QCOMPARE(told.icon, QMessageBox::Warning);
        QVERIFY2(told.text.startsWith("1 of the 3 selected photos have been recovered. 2 could not"),
                 qPrintable(told.text));
        const QString folder = Out(r.out) + "/Recovered Photos(03-07-09)";
        QCOMPARE(FilesIn(folder), QStringList({"SMALL1"}));
        QCOMPARE(r.urls.opened, QList<QUrl>({QUrl::fromLocalFile(folder)}));
    }

    void photosOfNoBytes()
    {
        FakeResults r(Photos(Gif, 3, 0));
        r.TickAll();
        QCOMPARE(r.page->page.TickedBytes(), int64_t(0));
        int last = -1;
        DialogWatcher watcher(
            &r.page->page,
            [&](CDlgRecoverProgress* dialog) {
                connect(dialog->ProgressBar(), &QProgressBar::valueChanged, [&](int v) { last = v; });
            },
            DialogWatcher::AtOnce);
        r.machine.prompts.folders = {Out(r.out)};
        r.Recover();
        QTRY_VERIFY(!r.machine.prompts.asked.empty());
        QCOMPARE(last, 100);
    }
};

LUMIVISTA_TEST_MAIN(TestDlgRecoverProgress)
#include "test_dlgrecoverprogress.moc"
