#include <QPushButton>
#include <QTreeWidget>

#include <cstring>

#include "apptest.h"
#include "app/dlgseldrive.h"
#include "io/platform/memory_handle.h"
#include "io/rescuemap.h"
#include "testutil.h"

namespace {

const QString kNoDrives = QStringLiteral(
    "No available drives. Please attach your flash drive to your computer and make sure it has been recognized by "
    "the system.");

QStringList RowTexts(QTreeWidget* list, int column = 0)
{
    QStringList texts;
    for (int i = 0; i < list->topLevelItemCount(); ++i) texts << list->topLevelItem(i)->text(column);
    return texts;
}

QList<int> RowImages(QTreeWidget* list)
{
    QList<int> images;
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        images << list->topLevelItem(i)->data(0, ROLE_IMAGE).toInt();
    return images;
}

// A drive page on a frame-sized parent, shown.
struct DrivePage {
    DrivePage() : page(&frame)
    {
        frame.resize(800, 500);
        page.InitPage();
        frame.show();
    }
    QPushButton* Button(const char* id) { return page.findChild<QPushButton*>(id); }
    QTreeWidget* List() { return page.DriveList(); }

    QWidget frame;
    CDlgSelDrive page;
};

void OnlyInternalDisk(CFakeDriveSource& source)
{
    CFakeDisk* disk = source.AddDisk("SCSI", "WDC WD10EZEX", "sda");
    disk->AddPartition(FS_NTFS, 2048000, "Windows", 1);
}

}  // namespace

class TestDlgSelDrive : public QObject {
    Q_OBJECT
private slots:
    void usbInterfaceTest()
    {
        QVERIFY(IsUsbInterface("USB"));
        QVERIFY(IsUsbInterface("usb"));
        QVERIFY(IsUsbInterface("UsB 3.0"));
        QVERIFY(!IsUsbInterface("US"));
        QVERIFY(!IsUsbInterface(""));
        QVERIFY(!IsUsbInterface("SCSI"));
        QVERIFY(!IsUsbInterface(" USB"));
    }

    void listsEveryPartitionButExtendedContainers()
    {
        FakeMachine machine;
        DrivePage drives;
        QTreeWidget* list = drives.List();
        QCOMPARE(list->objectName(), QString("1001"));
        QCOMPARE(list->headerItem()->text(0), QString("Drive"));
        QCOMPARE(list->headerItem()->text(1), QString("Capacity"));
        QCOMPARE(list->headerItem()->text(2), QString("Information"));
        // Drive and capacity are as wide as their texts; every cell's full
        // text is in its tooltip.
        const QFontMetrics metrics(list->font());
        for (int column = 0; column < 2; ++column) {
            int widest = 0;
            for (const QString& text : RowTexts(list, column)) widest = std::max(widest, metrics.horizontalAdvance(text));
            QVERIFY2(list->columnWidth(column) >= widest + (column == 0 ? 32 : 0), qPrintable(QString::number(column)));
        }
        QVERIFY(list->columnWidth(0) + list->columnWidth(1) <= list->width() * 2 / 3);
        for (int column = 0; column < 3; ++column)
            QCOMPARE(list->topLevelItem(1)->toolTip(column), list->topLevelItem(1)->text(column));
        QCOMPARE(RowTexts(list),
                 QStringList({"sda1: System (NTFS)", "sda2: Data (NTFS)", "sda5: BACKUP (FAT32)",
                              "sdb1: PHOTOS (FAT32)"}));
        QCOMPARE(RowTexts(list, 1), QStringList({"500.00 MB", "200.27 GB", "73.91 GB", "14.45 GB"}));
        QCOMPARE(RowTexts(list, 2), QStringList({"Samsung SSD 870 EVO 500GB", "Samsung SSD 870 EVO 500GB",
                                                 "Samsung SSD 870 EVO 500GB", "SanDisk Ultra USB 3.0"}));
        QCOMPARE(RowImages(list), QList<int>({0, 0, 0, 1}));
        QVERIFY(!list->topLevelItem(3)->icon(0).isNull());
        // The first row is selected and published.
        QVERIFY(list->topLevelItem(0)->isSelected());
        QCOMPARE(g_pSelectedPartition, CDlgSelDrive::PartitionOf(list->topLevelItem(0)));
        QCOMPARE(g_pSelectedPartition->GetVolLabel(), std::string("System"));
        QVERIFY(machine.prompts.asked.empty());
    }

    void flashOnlyFilterAndCaptions()
    {
        FakeMachine machine;
        DrivePage drives;
        QPushButton* flash = drives.Button("1007");
        QCOMPARE(flash->text(), QString("Show Only Flash Drives"));

        flash->click();
        QVERIFY(drives.page.IsFlashOnly());
        QCOMPARE(flash->text(), QString("Show all Drives"));
        QCOMPARE(RowTexts(drives.List()), QStringList({"sdb1: PHOTOS (FAT32)"}));
        QCOMPARE(RowImages(drives.List()), QList<int>({1}));
        QCOMPARE(g_pSelectedPartition->GetVolLabel(), std::string("PHOTOS"));

        flash->click();
        QVERIFY(!drives.page.IsFlashOnly());
        QCOMPARE(flash->text(), QString("Show only Flash Drives"));
        QCOMPARE(drives.List()->topLevelItemCount(), 4);
        QCOMPARE(g_pSelectedPartition->GetVolLabel(), std::string("System"));
        QVERIFY(machine.prompts.asked.empty());
    }

    void flashOnlyWithoutUsbDiskEmptiesTheList()
    {
        FakeMachine machine(OnlyInternalDisk);
        DrivePage drives;
        QCOMPARE(drives.List()->topLevelItemCount(), 1);
        drives.Button("1007")->click();
        QCOMPARE(drives.List()->topLevelItemCount(), 0);
        QVERIFY(!g_pSelectedPartition);
        QCOMPARE(machine.prompts.Texts(), QStringList({kNoDrives}));
        QCOMPARE(machine.prompts.asked[0].icon, QMessageBox::Warning);
        QCOMPARE(machine.prompts.asked[0].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    }

    void noDisksAndNoPermission()
    {
        {
            FakeMachine machine([](CFakeDriveSource&) {});
            DrivePage drives;
            QCOMPARE(drives.List()->topLevelItemCount(), 0);
            QCOMPARE(machine.prompts.Texts(), QStringList({kNoDrives}));
        }
        const std::vector<IDriveSource::UnopenedDisk> refused = {{"/dev/sda", "permission denied", true},
                                                                  {"/dev/sdc", "no medium found", false}};
        {
            FakeMachine machine([](CFakeDriveSource&) {});
            Services().diskRights = [] { return false; };
            machine.drives.unopened = refused;
            DrivePage drives;
            QCOMPARE(machine.prompts.asked.size(), size_t(1));
            QVERIFY(machine.prompts.asked[0].text.contains("administrator rights"));
            QVERIFY(machine.prompts.asked[0].text.contains("sudo"));
        }
        // Root has the rights already: the reasons are what helps.
        {
            FakeMachine machine([](CFakeDriveSource&) {});
            Services().diskRights = [] { return true; };
            machine.drives.unopened = refused;
            DrivePage drives;
            QCOMPARE(machine.prompts.Texts(),
                     QStringList({"No available drives. These disks could not be opened: /dev/sda (permission "
                                  "denied), /dev/sdc (no medium found). You can still open a disk image file with "
                                  "\"Open Image...\"."}));
        }
        {
            FakeMachine machine([](CFakeDriveSource&) {});
            Services().diskRights = [] { return false; };
            machine.drives.unopened = {refused[1]};
            DrivePage drives;
            QCOMPARE(machine.prompts.Texts(),
                     QStringList({"No available drives. The disk /dev/sdc could not be opened: no medium found. You "
                                  "can still open a disk image file with \"Open Image...\"."}));
        }
    }

    void wholeDiskEntryIsOneRow()
    {
        FakeMachine machine([](CFakeDriveSource& source) {
            CFakeDisk* card = source.AddDisk("USB", "Generic SD Reader", "sdc");
            card->AddPartition(FS_WHOLE_DISK, 62333952, "Removable Media", 0);
        });
        DrivePage drives;
        QCOMPARE(RowTexts(drives.List()), QStringList({"Removable Media (Unknown)"}));
        QCOMPARE(RowTexts(drives.List(), 1), QStringList({"29.72 GB"}));
    }

    void selectionFollowsTheList()
    {
        FakeMachine machine;
        DrivePage drives;
        QTreeWidget* list = drives.List();
        list->setCurrentItem(list->topLevelItem(3));
        QCOMPARE(g_pSelectedPartition->GetVolLabel(), std::string("PHOTOS"));

        // A click below the last row deselects.
        const QPoint empty(20, list->viewport()->height() - 3);
        QVERIFY(!list->itemAt(empty));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, empty);
        QVERIFY(list->selectedItems().isEmpty());
        QVERIFY(!g_pSelectedPartition);

        // Clicking a row selects it again.
        const QRect row = list->visualItemRect(list->topLevelItem(1));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, row.center());
        QCOMPARE(g_pSelectedPartition->GetVolLabel(), std::string("Data"));
    }

    void refreshEnumeratesAgain()
    {
        FakeMachine machine;
        DrivePage drives;
        IPartition* before = g_pSelectedPartition;
        QVERIFY(before);
        drives.Button("1007")->click();  // flash only
        drives.Button("1008")->click();
        QCOMPARE(machine.drives.RefreshCount(), 1);
        // The flag survives the refresh; the rows are the new disks'.
        QCOMPARE(RowTexts(drives.List()), QStringList({"sdb1: PHOTOS (FAT32)"}));
        QCOMPARE(g_pSelectedPartition, CDlgSelDrive::PartitionOf(drives.List()->topLevelItem(0)));
        QCOMPARE(g_pSelectedPartition, machine.drives.GetDiskByIndex(1)->GetPartition(0));
    }

    void openImageAddsAndSelectsIt()
    {
        FakeMachine machine;
        machine.drives.AllowImage("/data/card.img", [](CFakeDisk& disk) {
            disk.AddPartition(FS_FAT32, 3906250, "CAMERA", 1);
        });
        DrivePage drives;
        QPushButton* open = drives.Button("1009");
        QCOMPARE(open->text(), QString("Open Image..."));
        QCOMPARE(open->geometry(), DlgUnits().Rect(183, 143, 83, 16));

        // Cancelling the file dialog changes nothing.
        open->click();
        QCOMPARE(drives.List()->topLevelItemCount(), 4);

        drives.Button("1007")->click();  // flash only: the image shows all the same
        machine.prompts.imageFile = "/data/card.img";
        open->click();
        QVERIFY(drives.page.IsFlashOnly());
        QCOMPARE(drives.Button("1007")->text(), QString("Show all Drives"));
        QCOMPARE(RowTexts(drives.List()), QStringList({"sdb1: PHOTOS (FAT32)", "card.img#1: CAMERA (FAT32)"}));
        QCOMPARE(drives.List()->selectedItems().value(0)->text(0), QString("card.img#1: CAMERA (FAT32)"));
        QCOMPARE(g_pSelectedPartition->GetVolLabel(), std::string("CAMERA"));

        // Images stay in the list across a refresh, and with every drive.
        drives.Button("1008")->click();
        QCOMPARE(RowTexts(drives.List()).last(), QString("card.img#1: CAMERA (FAT32)"));
        drives.Button("1007")->click();
        QCOMPARE(drives.List()->topLevelItemCount(), 5);
        QCOMPARE(RowTexts(drives.List()).last(), QString("card.img#1: CAMERA (FAT32)"));
        QVERIFY(machine.prompts.asked.empty());
    }

    // Flash only with nothing but an image: the image is listed, and nobody
    // is asked to attach a flash drive.
    void flashOnlyKeepsImagesWithoutUsbDisks()
    {
        FakeMachine machine(OnlyInternalDisk);
        machine.drives.AllowImage("/data/card.img", [](CFakeDisk& disk) {
            disk.AddPartition(FS_FAT32, 3906250, "CAMERA", 1);
        });
        DrivePage drives;
        drives.page.OpenImage("/data/card.img");
        drives.Button("1007")->click();
        QCOMPARE(RowTexts(drives.List()), QStringList({"card.img#1: CAMERA (FAT32)"}));
        QVERIFY(machine.prompts.asked.empty());
    }

    // A card reader's card with a bad area is copied through the real copy
    // engine: the image holds every readable sector, the map tells the bad
    // ones, and the copy is then opened for scanning when the user agrees.
    void saveImageCopiesTheDriveAndOffersToScanIt()
    {
        const uint64_t partSectors = 4096;
        auto bytes = std::make_shared<std::vector<uint8_t>>((2048 + partSectors) * 512);
        for (size_t i = 0; i < bytes->size(); ++i) (*bytes)[i] = static_cast<uint8_t>(i / 512 * 7 + i % 13);
        RegisterMemoryDisk("/dev/sdz", bytes);
        FaultPlan plan;
        plan.unreadable = {{2048 + 1000, 20}};
        SetMemoryDiskFaults("/dev/sdz", plan);
        struct Unregister {
            ~Unregister() { UnregisterMemoryDisk("/dev/sdz"); }
        } unregister;

        FakeMachine machine([partSectors](CFakeDriveSource& source) {
            source.AddDisk("USB", "Card Reader", "sdz")->AddPartition(FS_FAT32, partSectors, "CARD", 1);
        });
        testutil::TempDir dir;
        const QString image = QString::fromStdString(dir / "card.img");
        machine.drives.AllowImage(image.toStdString(), [partSectors](CFakeDisk& disk) {
            disk.AddPartition(FS_FAT32, partSectors, "CARD", 1);
        });
        DrivePage drives;
        QPushButton* save = drives.Button("1011");
        QCOMPARE(save->text(), QString("Save Image..."));
        QCOMPARE(save->geometry(), DlgUnits().Rect(281, 3, 73, 14));

        // Cancelling the file dialog does nothing.
        save->click();
        QCOMPARE(machine.prompts.suggestedImageName, QString("sdz1.img"));
        QVERIFY(machine.prompts.asked.empty());

        machine.prompts.saveImageFile = image;
        machine.prompts.answer = QMessageBox::Yes;
        save->click();
        const QStringList texts = machine.prompts.Texts();
        QCOMPARE(texts.size(), 1);
        QVERIFY2(texts[0].contains("10.00 KB") && texts[0].contains("Scan the image now?"), qPrintable(texts[0]));

        std::vector<uint8_t> want(bytes->begin() + 2048 * 512, bytes->end());
        std::memset(want.data() + 1000 * 512, 0, 20 * 512);
        QVERIFY(testutil::ReadFileBytes(image.toStdString()) == want);
        const std::vector<uint8_t> mapText = testutil::ReadFileBytes(image.toStdString() + ".map");
        CRescueMap map;
        std::string error;
        QCOMPARE(map.Parse(std::string(mapText.begin(), mapText.end()), error), 0);
        QCOMPARE(map.Bytes('-'), uint64_t(20 * 512));
        // The image was opened and its drive selected for the scan.
        QCOMPARE(drives.List()->topLevelItemCount(), 2);
        QCOMPARE(drives.List()->selectedItems().value(0)->text(0), QString("card.img#1: CARD (FAT32)"));

        // Choosing the same file again offers to go on with the copy; No
        // leaves everything as it was.
        machine.prompts.asked.clear();
        machine.prompts.answer = QMessageBox::No;
        drives.List()->setCurrentItem(drives.List()->topLevelItem(0));
        save->click();
        QCOMPARE(machine.prompts.asked.size(), size_t(1));
        QVERIFY(machine.prompts.asked[0].text.contains("already holds a copy"));
    }

    void saveImageRefusesTheDriveItself()
    {
        FakeMachine machine;
        testutil::TempDir dir;
        Services().folderOnPartition = [](const std::string&, IPartition*) { return 1; };
        DrivePage drives;
        machine.prompts.saveImageFile = QString::fromStdString(dir / "copy.img");
        drives.Button("1011")->click();
        QCOMPARE(machine.prompts.asked.size(), size_t(1));
        QVERIFY(machine.prompts.asked[0].text.contains("is on the drive being copied"));
        QVERIFY(!QFile::exists(machine.prompts.saveImageFile));
    }

    void imageThatCannotBeOpenedIsReported()
    {
        FakeMachine machine;
        DrivePage drives;
        IPartition* selected = g_pSelectedPartition;
        machine.drives.RefuseImage("/data/secret.img", "permission denied");
        machine.prompts.imageFile = "/data/secret.img";
        drives.Button("1009")->click();
        machine.prompts.imageFile = "/data/missing.img";  // no reason known
        drives.Button("1009")->click();
        QCOMPARE(machine.prompts.Texts(),
                 QStringList({"Cannot open \"/data/secret.img\" as a disk image: permission denied.",
                              "Cannot open \"/data/missing.img\" as a disk image."}));
        QCOMPARE(machine.prompts.asked[0].icon, QMessageBox::Critical);
        QCOMPARE(drives.List()->topLevelItemCount(), 4);
        QCOMPARE(g_pSelectedPartition, selected);
    }
};

LUMIVISTA_TEST_MAIN(TestDlgSelDrive)
#include "test_dlgseldrive.moc"
