// The system's disk service, UDisks2, over D-Bus: the machine's disks and
// partitions read from the service's properties alone (no device is opened,
// so listing never asks for a password), kept up to date as drives come and
// go, and a disk opened for reading through the service, which asks the
// desktop's authentication agent for the administrator's password.
#pragma once

#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

struct UDisksPartition {
    QString objectPath;
    QString device;          // /dev/sdb1
    uint32_t number = 0;
    QString type;            // "0x0c" on an MBR disk, a type GUID on a GPT disk
    uint64_t offset = 0;     // bytes from the start of the disk
    uint64_t size = 0;       // bytes
    bool bootable = false;   // the MBR's active flag
    bool container = false;  // an MBR extended container
    bool contained = false;  // a logical partition inside it
    QString idType;          // "vfat", "ntfs", "exfat"... as blkid names it
    QString idVersion;       // "FAT32"...
    QString idLabel;
    QString mountPoint;      // the first one, empty when not mounted
};

// A block device with a drive behind it: a disk, card or stick.
struct UDisksDisk {
    QString blockPath;       // the Block object, for OpenDevice
    QString drivePath;
    QString device;          // /dev/sdb
    QString vendor, model, serial;
    QString connectionBus;   // "usb", "sdio", "ieee1394" or empty
    bool removable = false;  // the drive or its medium
    uint64_t size = 0;       // bytes; 0 when no medium is in the drive
    QString tableType;       // "dos", "gpt" or empty
    QString idType, idVersion, idLabel, mountPoint;  // a file system on the whole disk
    std::vector<UDisksPartition> partitions;          // by offset
};

// The service's objects as GetManagedObjects gives them: object path ->
// interface -> property -> value.
using UDisksObjects = std::map<QString, std::map<QString, QVariantMap>>;

// The disks worth listing, by device name (sda < sdb < sdaa < mmcblk0...):
// block devices with a drive and a medium, that the service does not ask to
// hide, neither partitions nor optical discs, with their partitions.
std::vector<UDisksDisk> DisksFromObjects(const UDisksObjects& objects);

// How opening a disk through the service ended.
struct UDisksOpenReply {
    enum Result {
        Opened,         // fd holds a read-only descriptor of the disk
        NoAgent,        // no authentication agent could ask for the password
        Dismissed,      // the user cancelled the password dialog
        NotAuthorized,  // refused (wrong password, or not allowed at all)
        NoService,      // the service did not answer
        Failed,         // the service could not open it; message says why
    };
    Result result = Failed;
    QDBusUnixFileDescriptor fd;
    QString errorName;
    QString message;
};

class CUDisksClient : public QObject {
    Q_OBJECT
public:
    static constexpr const char* kService = "org.freedesktop.UDisks2";
    // A person may take minutes over the password dialog: the call waits
    // this long, not D-Bus's default of 25 seconds.
    static constexpr int kOpenTimeoutMs = 30 * 60 * 1000;
    // Signals of one event (a card going in: its size, then its partitions)
    // are taken together after this quiet time.
    static constexpr int kSettleMs = 600;

    explicit CUDisksClient(QDBusConnection bus, QObject* parent = nullptr);

    // Whether the service runs on this bus or can be started there.
    static bool ServiceAvailable(QDBusConnection bus);

    // Reads every object again (waits at most a few seconds). False when the
    // service does not answer; the last list is kept then.
    bool Reload();
    const std::vector<UDisksDisk>& Disks() const { return m_disks; }

    // Asks the service to open the disk's block device for reading only,
    // without waiting: `done` runs on this object's thread when the answer
    // (or the time-out) comes.
    void OpenForReading(const QString& blockPath, std::function<void(const UDisksOpenReply&)> done);

signals:
    // The list changed (after the settle delay and a reload).
    void disksChanged();
    // A disk listed before is gone, or its medium was taken out or changed.
    void diskGone(const QString& device);

private slots:
    void OnSignal();
    void OnPropertiesChanged(const QString& interface, const QVariantMap& changed, const QStringList& invalidated);
    void OnSettled();

private:
    QDBusConnection m_bus;
    std::vector<UDisksDisk> m_disks;
    QTimer m_settle;
};
