// The desktop's way to the drives: listed from the disk service's properties
// without opening anything, opened read-only through it when the user
// presses Next, following cards and sticks as they come and go. The service
// is python3-dbusmock on a private bus, its media image files.
#include <QPushButton>
#include <QTreeWidget>

#include <atomic>
#include <cerrno>
#include <thread>

#include "apptest.h"
#include "realdisk.h"
#include "udisksmock.h"
#include "app/analyzeeventsink.h"
#include "app/dlgscan.h"
#include "app/dlgseldrive.h"
#include "app/dlgseloperation.h"
#include "app/driveevents.h"
#include "app/lumivistadlg.h"
#include "app/pngbutton.h"
#include "app/udisksdrivesource.h"
#include "io/deviceio.h"
#include "taskmgr/taskmgr.h"

namespace {

// What the fake scan "finds": one photo, so that it ends on the result page
// (a scan that finds nothing goes back to the drives).
std::vector<PhotoItem> OnePhoto()
{
    PhotoItem item;
    item.name = u"IMG_0001.JPG";
    item.size = 1000;
    item.runs = {PhotoRun{0, 100, 2}, PhotoRun{}};
    return {item};
}

QJsonObject Drive(const QString& name, const std::string& image, const QString& bus, const QString& vendor,
                  const QString& model, const QString& serial)
{
    return QJsonObject{{"name", name},   {"image", QString::fromStdString(image)},
                       {"bus", bus},     {"vendor", vendor},
                       {"model", model}, {"serial", serial}};
}

// Images made once per program: a GPT disk with two partitions and a stick
// formatted without a partition table.
struct Images {
    testutil::TempDir dir;
    std::string gpt = dir / "gpt.img";
    std::string stick = dir / "stick.img";
    bool ok = testutil::Run("truncate -s 64M '" + gpt + "' && printf 'label: gpt\\nsize=20M\\nsize=20M\\n' | sfdisk -q '" +
                            gpt + "' && truncate -s 48M '" + stick + "' && mkfs.fat -F 32 -n STICK '" + stick +
                            "' >/dev/null") == 0;
};

const Images& TestImages()
{
    static Images images;
    return images;
}

// The machine of these tests: an internal GPT disk, a USB card reader with
// the camera card in it, an SD slot without a card.
QJsonArray Machine()
{
    return QJsonArray{
        QJsonObject{{"name", "sda"}, {"image", QString::fromStdString(TestImages().gpt)}, {"bus", ""},
                    {"vendor", "ATA"}, {"model", "Samsung SSD 860"}, {"serial", "S3Z1NB0K"}, {"system", true}},
        Drive("sdb", Card().image, "usb", "Generic", "SD/MMC", "000001"),
        Drive("mmcblk0", "", "sdio", "", "SD Card Slot", "0x1234"),
    };
}

#define REQUIRE_MOCK(mock)                                                             \
    do {                                                                               \
        REQUIRE_CARD();                                                                \
        if (!UDisksMock::Available()) QSKIP("dbus-daemon or python3-dbusmock missing"); \
        QVERIFY(TestImages().ok);                                                      \
        QVERIFY2((mock).Ready(), "the disk service stand-in did not start");           \
    } while (0)

// The program's own task manager behind the service's drives, the user's
// answers played by the test.
struct DesktopMachine {
    explicit DesktopMachine(UDisksMock& mock) : real(), drives(mock.Bus())
    {
        Services().drives = &drives;
    }
    ~DesktopMachine() { Services().drives = nullptr; }

    RealMachine real;
    CUDisksDriveSource drives;
};

struct Wizard {
    Wizard() { frame.show(); }
    QPushButton* Next() { return frame.findChild<QPushButton*>("1007", Qt::FindDirectChildrenOnly); }
    QString Page() { return frame.CurrentPage() ? frame.CurrentPage()->objectName() : QString(); }
    CDlgSelDrive* DrivePage() { return qobject_cast<CDlgSelDrive*>(frame.CurrentPage()); }
    QStringList Rows()
    {
        QStringList rows;
        if (!DrivePage()) return rows;
        QTreeWidget* list = DrivePage()->DriveList();
        for (int i = 0; i < list->topLevelItemCount(); ++i)
            rows << list->topLevelItem(i)->text(0) + QStringLiteral(" | ") + list->topLevelItem(i)->text(2);
        return rows;
    }
    void ToDrives()
    {
        qobject_cast<CDlgSelOperation*>(frame.CurrentPage())->RecoverButton()->click();
        QTRY_COMPARE(Page(), QString("129"));
    }
    // Selects the first row whose text holds `text`.
    bool Select(const QString& text)
    {
        QTreeWidget* list = DrivePage()->DriveList();
        for (int i = 0; i < list->topLevelItemCount(); ++i)
            if (list->topLevelItem(i)->text(0).contains(text)) {
                list->setCurrentItem(list->topLevelItem(i));
                return true;
            }
        return false;
    }

    CLumivistaDlg frame;
};

}  // namespace

class TestUDisksDriveSource : public QObject {
    Q_OBJECT
private slots:
    void listsDrivesWithoutOpeningThem()
    {
        UDisksMock mock(Machine());
        REQUIRE_MOCK(mock);
        DesktopMachine machine(mock);
        CUDisksDriveSource& drives = machine.drives;

        // The empty SD slot is left out; the internal disk comes first.
        QCOMPARE(drives.GetDiskCount(), 2);
        IDisk* internal = drives.GetDiskByIndex(0);
        IDisk* reader = drives.GetDiskByIndex(1);
        QCOMPARE(internal->GetDevicePath(), std::string("/dev/sda"));
        QCOMPARE(internal->GetModel(), std::string("ATA Samsung SSD 860"));
        QCOMPARE(internal->GetSerialNumber(), std::string("S3Z1NB0K"));
        QCOMPARE(internal->GetInterfaceType(), std::string("SCSI"));
        QCOMPARE(internal->GetMediaType(), std::string("Fixed hard disk media"));
        QCOMPARE(reader->GetDevicePath(), std::string("/dev/sdb"));
        QCOMPARE(reader->GetModel(), std::string("Generic SD/MMC"));
        QCOMPARE(reader->GetInterfaceType(), std::string("USB"));
        QCOMPARE(reader->GetMediaType(), std::string("Removable Media"));
        QCOMPARE(reader->GetTotalSectors(), static_cast<uint64_t>(QFileInfo(QString::fromStdString(Card().image)).size() / 512));

        // The card's partition as sfdisk and blkid see it (the oracle).
        const std::string dump = testutil::Capture("sfdisk --dump '" + Card().image + "' | grep start=");
        const uint64_t start = std::stoull(dump.substr(dump.find("start=") + 6));
        const uint64_t size = std::stoull(dump.substr(dump.find("size=") + 5));
        CPartition* card = reader->FindPartition(1);
        QVERIFY(card);
        QCOMPARE(card->GetOff(), start);
        QCOMPARE(card->GetLen(), size);
        QCOMPARE(card->GetFs(), static_cast<int32_t>(FS_FAT32));
        QCOMPARE(QString::fromStdString(card->GetVolLabel()),
                 QString::fromStdString(testutil::Capture("blkid -p -s LABEL -o value -O " + std::to_string(start * 512) +
                                                          " '" + Card().image + "'"))
                     .trimmed());
        QCOMPARE(card->GetKernelName(), std::string("sdb1"));
        // The GPT disk's two partitions, and the free space after them.
        QVERIFY(internal->FindPartition(1) && internal->FindPartition(2));
        QCOMPARE(internal->FindPartition(2)->GetOff(), uint64_t{2048 + 20 * 2048});
        bool gap = false;
        for (int k = 0; k < internal->LoadPartition(); ++k)
            gap = gap || internal->GetPartition(k)->GetFs() == FS_UNALLOCATED;
        QVERIFY(gap);

        // The page shows them, and a refresh lists them again: no device
        // was opened, so nobody was asked for a password.
        {
            Wizard wizard;
            wizard.ToDrives();
            const QStringList rows = {"sda1:  (Raw) | ATA Samsung SSD 860", "sda2:  (Raw) | ATA Samsung SSD 860",
                                      " (Unallocated) | ATA Samsung SSD 860", "sdb1: CAMERA (FAT32) | Generic SD/MMC"};
            QCOMPARE(wizard.Rows(), rows);
            wizard.DrivePage()->findChild<QPushButton*>("1008")->click();
            QCOMPARE(wizard.Rows(), rows);
            QVERIFY(machine.real.prompts.asked.empty());
        }
        QCOMPARE(mock.OpenCalls("sda"), QStringList());
        QCOMPARE(mock.OpenCalls("sdb"), QStringList());
    }

    void nextOpensTheDiskReadOnlyOnce()
    {
        UDisksMock mock(Machine());
        REQUIRE_MOCK(mock);
        DesktopMachine machine(mock);
        CFakeTaskBackend tasks;
        tasks.SetPhotos(OnePhoto());
        Services().tasks = &tasks;
        Wizard wizard;
        wizard.ToDrives();
        QVERIFY(wizard.Select("CAMERA"));
        QVERIFY(machine.drives.NeedsOpening(g_pSelectedPartition));
        wizard.Next()->click();
        QTRY_COMPARE(tasks.scans.load(), 1);

        // The scan reads the card through the descriptor the service gave:
        // the same bytes as the image, and no way to write.
        IPartition* scanned = tasks.lastPartition.load();
        QVERIFY(scanned && !machine.drives.NeedsOpening(scanned));
        CDisk* disk = scanned->GetDisk();
        QCOMPARE(disk->GetDevicePath(), std::string("/dev/sdb"));
        QCOMPARE(scanned->GetFs(), static_cast<int32_t>(FS_FAT32));
        std::vector<uint8_t> sector(512), expected = testutil::ReadFileBytes(Card().image);
        QCOMPARE(DeviceReadSectorsEx(disk->GetHandle(), scanned->GetOff(), 1, sector.data()), 1);
        QVERIFY(std::equal(sector.begin(), sector.end(), expected.begin() + scanned->GetOff() * 512));
        int err = 0;
        QCOMPARE(disk->GetHandle()->WriteAt(0, sector.data(), 512, &err), int64_t{-1});
        QCOMPARE(err, EBADF);
        QVERIFY(!Platform().Open("/dev/sdb", false, &err));
        QCOMPARE(err, EACCES);

        // Back to the drives and the same card again: no second request.
        tasks.Finish();
        QTRY_COMPARE(wizard.Page(), QString("144"));
        machine.real.prompts.answer = QMessageBox::Yes;
        wizard.frame.OnHome();
        wizard.ToDrives();
        QVERIFY(wizard.Select("CAMERA"));
        wizard.Next()->click();
        QTRY_COMPARE(tasks.scans.load(), 2);
        tasks.Finish();
        QTRY_COMPARE(wizard.Page(), QString("144"));
        QCOMPARE(mock.OpenCalls("sdb"), QStringList{"OpenDevice r"});
        QCOMPARE(mock.OpenCalls("sda"), QStringList());
        Services().tasks = nullptr;
        wizard.frame.OnHome();
    }

    void refusalsSayWhatToDo_data()
    {
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("says");
        QTest::newRow("no agent") << "org.freedesktop.UDisks2.Error.NotAuthorizedCanObtain"
                                  << "no authentication agent";
        QTest::newRow("cancelled") << "org.freedesktop.UDisks2.Error.NotAuthorizedDismissed" << "was cancelled";
        QTest::newRow("refused") << "org.freedesktop.UDisks2.Error.NotAuthorized" << "did not allow";
        QTest::newRow("no medium") << "org.freedesktop.UDisks2.Error.Failed"
                                   << "Error opening device /dev/sdb: No medium found";
    }

    void refusalsSayWhatToDo()
    {
        QFETCH(QString, error);
        QFETCH(QString, says);
        UDisksMock mock(Machine());
        REQUIRE_MOCK(mock);
        DesktopMachine machine(mock);
        QVERIFY(mock.Call("SetOpenError", {error, QStringLiteral("Error opening device /dev/sdb: No medium found")}));
        Wizard wizard;
        wizard.ToDrives();
        QVERIFY(wizard.Select("CAMERA"));
        wizard.Next()->click();
        QTRY_COMPARE(machine.real.prompts.asked.size(), size_t{1});
        const QString text = machine.real.prompts.asked.front().text;
        QVERIFY2(text.contains(says), qPrintable(text));
        QVERIFY2(text.contains("\"Open Image...\"") && text.contains("sudo"), qPrintable(text));
        // Still on the drives, ready for another try.
        QCOMPARE(wizard.Page(), QString("129"));
        QVERIFY(wizard.Next()->isEnabled() && wizard.DrivePage()->isEnabled());
        QCOMPARE(mock.OpenCalls("sdb"), QStringList{"OpenDevice r"});
    }

    void slowPasswordDialogKeepsTheWindowLive()
    {
        UDisksMock mock(Machine());
        REQUIRE_MOCK(mock);
        DesktopMachine machine(mock);
        CFakeTaskBackend tasks;
        tasks.SetPhotos(OnePhoto());
        Services().tasks = &tasks;
        QVERIFY(mock.Call("SetOpenDelay", {1.5}));
        Wizard wizard;
        wizard.ToDrives();
        QVERIFY(wizard.Select("CAMERA"));
        wizard.Next()->click();
        // The answer is awaited, not blocked on: events run meanwhile.
        QVERIFY(!wizard.Next()->isEnabled());
        int ticks = 0;
        QTimer timer;
        QObject::connect(&timer, &QTimer::timeout, [&ticks] { ++ticks; });
        timer.start(100);
        QTRY_COMPARE(tasks.scans.load(), 1);
        QVERIFY2(ticks >= 5, qPrintable(QString::number(ticks)));
        QVERIFY(CUDisksClient::kOpenTimeoutMs > 25000);
        tasks.Finish();
        QTRY_COMPARE(wizard.Page(), QString("144"));
        Services().tasks = nullptr;
    }

    void listFollowsDrivesComingAndGoing()
    {
        UDisksMock mock(Machine());
        REQUIRE_MOCK(mock);
        DesktopMachine machine(mock);
        Wizard wizard;
        wizard.ToDrives();
        QCOMPARE(wizard.Rows().filter("STICK").size(), 0);
        QVERIFY(wizard.Select("CAMERA"));

        // A stick plugged in, a card into the empty slot.
        const QJsonObject stick = Drive("sdc", TestImages().stick, "usb", "SanDisk", "Cruzer Blade", "4C5300");
        QVERIFY(mock.Call("AddDrive", {QString::fromUtf8(QJsonDocument(stick).toJson(QJsonDocument::Compact))}));
        QTRY_VERIFY2(wizard.Rows().filter("STICK (FAT32) | SanDisk Cruzer Blade").size() == 1, qPrintable(wizard.Rows().join("\n")));
        QVERIFY(mock.Call("InsertCard", {QStringLiteral("mmcblk0"), QString::fromStdString(TestImages().stick)}));
        QTRY_COMPARE(wizard.Rows().filter("STICK (FAT32) | SD Card Slot").size(), 1);
        // The selection stayed on the camera card.
        QVERIFY(g_pSelectedPartition);
        QCOMPARE(QString::fromStdString(g_pSelectedPartition->GetVolLabel()), QString("CAMERA"));

        // The card out of the reader, the stick pulled.
        QVERIFY(mock.Call("RemoveCard", {QStringLiteral("sdb")}));
        QTRY_COMPARE(wizard.Rows().filter("Generic SD/MMC").size(), 0);
        QVERIFY(mock.Call("RemoveDrive", {QStringLiteral("sdc")}));
        QTRY_COMPARE(wizard.Rows().filter("SanDisk").size(), 0);
        QCOMPARE(wizard.Rows().filter("SD Card Slot").size(), 1);
        // None of it asked the user anything or opened anything.
        QVERIFY(machine.real.prompts.asked.empty());
        QCOMPARE(mock.OpenCalls("mmcblk0"), QStringList());
    }

    void cardPulledDuringScanKeepsWhatWasFound()
    {
        UDisksMock mock(Machine());
        REQUIRE_MOCK(mock);
        DesktopMachine machine(mock);
        // The scan stalls after its first photo, as on a slow card, until
        // the page stops it.
        CHookedTasks tasks(Services().tasks);
        ITaskBackend* real = Services().tasks;
        Services().tasks = &tasks;
        std::atomic<CAnalyzeEventSink*> sink{nullptr};
        std::atomic<bool> stalled{false};
        tasks.onEvent = [&](uint32_t code) {
            if (code != PHOTO_FOUND || stalled.exchange(true)) return;
            for (int i = 0; i < 1000 && !(sink.load() && sink.load()->IsStopped()); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        };
        Wizard wizard;
        wizard.ToDrives();
        QVERIFY(wizard.Select("CAMERA"));
        wizard.Next()->click();
        QTRY_COMPARE(wizard.Page(), QString("143"));
        sink = qobject_cast<CDlgScan*>(wizard.frame.CurrentPage())->GetSink();
        QTRY_VERIFY(stalled.load());

        QVERIFY(mock.Call("RemoveCard", {QStringLiteral("sdb")}));
        QTRY_COMPARE(wizard.Page(), QString("144"));
        QTRY_COMPARE(machine.real.prompts.asked.size(), size_t{1});
        QVERIFY(machine.real.prompts.asked.front().text.contains("removed during the scan"));
        // The photo found before the card went is there to recover.
        QVERIFY(tasks.GetPhotoItems(Jpg, -1, -1, nullptr) + tasks.GetPhotoItems(Png, -1, -1, nullptr) +
                    tasks.GetPhotoItems(Gif, -1, -1, nullptr) + tasks.GetPhotoItems(Bmp, -1, -1, nullptr) >=
                1);
        Services().tasks = real;
        machine.real.prompts.answer = QMessageBox::Yes;
        wizard.frame.OnHome();
    }
};

LUMIVISTA_TEST_MAIN(TestUDisksDriveSource)
#include "test_udisksdrivesource.moc"
