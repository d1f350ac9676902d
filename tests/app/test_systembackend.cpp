#include <QTreeWidget>

#include <fstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "apptest.h"
#include "realdisk.h"
#include "app/drivetext.h"
#include "app/dlgseldrive.h"

namespace {

std::vector<uint8_t> Bytes(const std::string& path)
{
    return testutil::ReadFileBytes(path);
}

class NullSinkForScan : public IEventSink {
public:
    int found = 0;
    int Notify(uint32_t code, int32_t value, void*, uint32_t) override
    {
        if (code == PHOTO_FOUND) found += value;
        return 0;
    }
};

}  // namespace

class TestSystemBackend : public QObject {
    Q_OBJECT
private slots:
    // The program's drive source is the disk manager: images are opened as
    // disks, kept across refreshes, and listed on the drive page.
    void imagesAreDisks()
    {
        REQUIRE_CARD();
        RealMachine machine;
        IDriveSource* drives = Services().drives;
        QCOMPARE(drives->GetDiskCount(), 0);
        QCOMPARE(drives->GetDeniedDiskCount(), 0);
        QCOMPARE(drives->AddImage(Card().image + ".missing"), -1);
        QCOMPARE(drives->GetLastImageError(), std::string("no such file or directory"));
        QCOMPARE(drives->AddImage(Card().image), 0);
        QCOMPARE(drives->AddImage(Card().image), 0);
        QCOMPARE(drives->GetDiskCount(), 1);
        drives->Refresh();
        QCOMPARE(drives->GetDiskCount(), 1);
        IDisk* disk = drives->GetDiskByIndex(0);
        QVERIFY(disk);
        QCOMPARE(disk->GetDevicePath(), Card().image);
        QVERIFY(!drives->GetDiskByIndex(1));

        QWidget frame;
        CDlgSelDrive page(&frame);
        page.InitPage();
        QTreeWidget* list = page.DriveList();
        QStringList rows;
        for (int i = 0; i < list->topLevelItemCount(); ++i)
            rows << list->topLevelItem(i)->text(0) + " | " + list->topLevelItem(i)->text(1) + " | " +
                        list->topLevelItem(i)->text(2);
        QVERIFY2(rows.contains("card.img#1: CAMERA (FAT32) | 39.00 MB | card.img"), qPrintable(rows.join("\n")));
        QVERIFY(machine.prompts.asked.empty());
    }

    // A scan through the task manager finds the card's photos by category,
    // and reads their bytes back as they were written.
    // Every scan is saved as it runs: a finished one is found for its drive
    // and gives the same photos without scanning; scanning afresh replaces it.
    void scansAreSavedAndFoundAgain()
    {
        REQUIRE_CARD();
        RealMachine machine;
        IPartition* partition = machine.Open(Card().image);
        QVERIFY(partition);
        ITaskBackend* tasks = Services().tasks;
        SavedScan saved;
        QCOMPARE(tasks->FindSavedScan(partition, saved), 0);
        NullSinkForScan sink;
        QCOMPARE(tasks->RecoverPhotos(partition, &sink), 0);
        int counts[kPhotoCategoryCount];
        int total = 0;
        for (int c = 0; c < kPhotoCategoryCount; ++c) total += counts[c] = tasks->GetPhotoItems(c, -1, -1, nullptr);
        QVERIFY(total >= 10);
        QCOMPARE(tasks->FindSavedScan(partition, saved), 1);
        QVERIFY(saved.finished);
        QCOMPARE(saved.photos, int64_t(total));
        QVERIFY(std::abs(saved.saved - std::time(nullptr)) < 600);
        tasks->Clear();
        QCOMPARE(tasks->LoadSavedScan(partition), 0);
        for (int c = 0; c < kPhotoCategoryCount; ++c) QCOMPARE(tasks->GetPhotoItems(c, -1, -1, nullptr), counts[c]);
        // The saved scans live in the user's data folder, one file per drive.
        const std::string folder = machine.dataHome / "lumivista/sessions";
        QCOMPARE(testutil::Capture("ls '" + folder + "' | wc -l"), std::string("1\n"));
        tasks->SetContinueSavedScan(false);
        QCOMPARE(tasks->RecoverPhotos(partition, &sink), 0);
        QCOMPARE(testutil::Capture("ls '" + folder + "' | wc -l"), std::string("1\n"));
        QCOMPARE(tasks->FindSavedScan(partition, saved), 1);
        QCOMPARE(saved.photos, int64_t(total));
    }

    void scanFindsTheCardsPhotos()
    {
        REQUIRE_CARD();
        RealMachine machine;
        IPartition* partition = machine.Open(Card().image);
        QVERIFY(partition);
        ITaskBackend* tasks = Services().tasks;
        NullSinkForScan sink;
        QCOMPARE(tasks->RecoverPhotos(partition, &sink), 0);
        QCOMPARE(tasks->GetPhotoItems(Jpg, -1, -1, nullptr), 7);  // 5 live, the broken one, the deleted one
        QCOMPARE(tasks->GetPhotoItems(Png, -1, -1, nullptr), 1);
        QCOMPARE(tasks->GetPhotoItems(Bmp, -1, -1, nullptr), 1);
        QCOMPARE(tasks->GetPhotoItems(Gif, -1, -1, nullptr), 1);
        QVERIFY(sink.found >= 10);

        int compared = 0;
        for (PhotoItem* item : AllPhotos(tasks)) {
            auto original = Card().originals.find(NameOf(item));
            if (original == Card().originals.end()) continue;
            const std::vector<uint8_t> want = Bytes(original->second);
            QCOMPARE(size_t(item->size), want.size());
            const uint64_t length = PhotoBufferSize(*item);
            std::vector<uint8_t> buffer(length);
            QVERIFY(tasks->ReadPhotoData(item, partition, buffer.data(), static_cast<uint32_t>(length)) >= 0);
            QVERIFY(std::equal(want.begin(), want.end(), buffer.begin()));
            ++compared;
        }
        QCOMPARE(compared, 9);

        tasks->Clear();
        QCOMPARE(tasks->GetPhotoItems(Jpg, -1, -1, nullptr), 0);
    }

    void scannedDeviceNames()
    {
        CPartition sdb1;
        ParInfor infor;
        infor.PartNo = 1;
        sdb1.SetInfor(infor);
        sdb1.SetKernelName("sdb1");
        QCOMPARE(ScannedDeviceName(&sdb1), QString("sdb1"));
        CPartition image;
        image.SetInfor(infor);
        image.SetKernelName("card.img#1");
        QCOMPARE(ScannedDeviceName(&image), QString());
        QCOMPARE(ScannedDeviceName(nullptr), QString());
        QCOMPARE(FolderIsOnPartition("/tmp", &image), 0);  // an image's partition never holds a folder
    }

    // The folder's file system is compared with the partition's device.
    void folderOnTheScannedDevice()
    {
        testutil::TempDir dir;
        struct stat st {};
        QCOMPARE(stat(dir.path().c_str(), &st), 0);
        std::ifstream uevent("/sys/dev/block/" + std::to_string(major(st.st_dev)) + ":" +
                             std::to_string(minor(st.st_dev)) + "/uevent");
        std::string line, name;
        while (std::getline(uevent, line))
            if (line.rfind("DEVNAME=", 0) == 0) name = line.substr(8);
        struct stat node {};
        if (name.empty() || stat(("/dev/" + name).c_str(), &node) != 0 || !S_ISBLK(node.st_mode))
            QSKIP("the temporary folder is on no block device");
        CPartition holding;
        ParInfor infor;
        infor.PartNo = 1;
        holding.SetInfor(infor);
        holding.SetKernelName(name);
        QCOMPARE(FolderIsOnPartition(dir.path(), &holding), 1);
        CPartition other;
        other.SetInfor(infor);
        other.SetKernelName("loop7");
        QCOMPARE(FolderIsOnPartition(dir.path(), &other), 0);
        QCOMPARE(FolderIsOnPartition(dir.path() + "/missing", &holding), -1);
    }
};

LUMIVISTA_TEST_MAIN(TestSystemBackend)
#include "test_systembackend.moc"
