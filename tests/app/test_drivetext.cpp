#include <limits>

#include "apptest.h"
#include "app/drivetext.h"

class TestDriveText : public QObject {
    Q_OBJECT
private slots:
    void sizeText_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("3.75 GB") << qint64(4026531840) << "3.75 GB";
        QTest::newRow("one MB") << qint64(1048576) << "1.00 MB";
        QTest::newRow("KB") << qint64(1536) << "1.50 KB";
        QTest::newRow("bytes") << qint64(512) << "512.00 byte";
        QTest::newRow("zero") << qint64(0) << "0.00 byte";
        // Each unit starts at one whole; the rounding of the format may then
        // show 1024 of the smaller unit.
        QTest::newRow("GB-1") << qint64(1073741823) << "1024.00 MB";
        QTest::newRow("GB") << qint64(1073741824) << "1.00 GB";
        QTest::newRow("MB-1") << qint64(1048575) << "1024.00 KB";
        QTest::newRow("KB-1") << qint64(1023) << "1023.00 byte";
        QTest::newRow("one KB") << qint64(1024) << "1.00 KB";
        QTest::newRow("largest") << std::numeric_limits<qint64>::max() << "8589934592.00 GB";
        QTest::newRow("negative") << qint64(-5) << "-5.00 byte";
    }
    void sizeText()
    {
        QFETCH(qint64, bytes);
        QFETCH(QString, text);
        QCOMPARE(FormatSizeText(bytes), text);
    }

    void fsTypeName_data()
    {
        QTest::addColumn<int>("fs");
        QTest::addColumn<QString>("name");
        QTest::newRow("6") << 6 << "FAT16";
        QTest::newRow("14") << 14 << "FAT16";
        QTest::newRow("7") << 7 << "NTFS";
        QTest::newRow("11") << 11 << "FAT32";
        QTest::newRow("12") << 12 << "FAT32";
        QTest::newRow("239") << 239 << "Unallocated";
        QTest::newRow("255") << 255 << "Raw";
        QTest::newRow("FAT12") << 1 << "FAT12";
        QTest::newRow("exFAT") << int(FS_EXFAT) << "exFAT";
        QTest::newRow("extended") << 5 << "Unknown";
        QTest::newRow("13") << 13 << "Unknown";
        QTest::newRow("whole disk") << 4095 << "Unknown";
        QTest::newRow("negative") << -1 << "Unknown";
    }
    void fsTypeName()
    {
        QFETCH(int, fs);
        QFETCH(QString, name);
        QCOMPARE(GetFsTypeName(fs), name);
    }

    void driveText()
    {
        ParInfor infor;
        infor.Fs = FS_FAT32;
        infor.VolLabel = "PHOTOS";
        QCOMPARE(FormatDriveText(infor, "sdb1"), QString("sdb1: PHOTOS (FAT32)"));
        infor.Fs = FS_EXFAT;
        infor.VolLabel = "CARD";
        QCOMPARE(FormatDriveText(infor, "sdb1"), QString("sdb1: CARD (exFAT)"));
        infor.Fs = FS_FAT32;
        infor.VolLabel = "PHOTOS";
        // A device name without a label leaves two blanks before the bracket.
        infor.VolLabel.clear();
        QCOMPARE(FormatDriveText(infor, "sdb1"), QString("sdb1:  (FAT32)"));
        // Without a device name the text starts with the label.
        infor.VolLabel = "PHOTOS";
        QCOMPARE(FormatDriveText(infor, ""), QString("PHOTOS (FAT32)"));
        ParInfor whole;
        whole.Fs = FS_WHOLE_DISK;
        whole.VolLabel = "Removable Media";
        QCOMPARE(FormatDriveText(whole, ""), QString("Removable Media (Unknown)"));
        // The mount point is not part of the text.
        infor.DriveRoot = "/media/user/PHOTOS";
        QCOMPARE(FormatDriveText(infor, "mmcblk0p1"), QString("mmcblk0p1: PHOTOS (FAT32)"));
        // Labels are UTF-8.
        infor.VolLabel = "FÉRIAS";
        QCOMPARE(FormatDriveText(infor, "sdc1"), QString::fromUtf8("sdc1: FÉRIAS (FAT32)"));
    }

    void driveTextOfPartitionUsesKernelName()
    {
        CPartition partition;
        ParInfor infor;
        infor.Fs = FS_NTFS;
        infor.VolLabel = "Data";
        partition.SetInfor(infor);
        partition.SetKernelName("nvme0n1p2");
        QCOMPARE(FormatDriveText(static_cast<IPartition*>(&partition)), QString("nvme0n1p2: Data (NTFS)"));
        QCOMPARE(FormatDriveText(static_cast<IPartition*>(nullptr)), QString());
    }

    void sectorsToBytesSaturates()
    {
        QCOMPARE(SectorsToBytes(0), int64_t(0));
        QCOMPARE(SectorsToBytes(7864320), int64_t(4026531840));
        const uint64_t largest = static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) / 512;
        QCOMPARE(SectorsToBytes(largest), static_cast<int64_t>(largest * 512));
        QCOMPARE(SectorsToBytes(largest + 1), std::numeric_limits<int64_t>::max());
        QCOMPARE(SectorsToBytes(std::numeric_limits<uint64_t>::max()), std::numeric_limits<int64_t>::max());
    }
};

LUMIVISTA_TEST_MAIN(TestDriveText)
#include "test_drivetext.moc"
