// The drive source of a desktop session: the machine's disks as the system's
// disk service (UDisks2) lists them, opened through it, with the password
// asked once, only when a drive is chosen; disk images beside them through
// the disk manager.
#pragma once

#include <QDBusConnection>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/backend.h"
#include "app/udisks.h"

class CUDisksDriveSource : public IDriveSource {
public:
    explicit CUDisksDriveSource(QDBusConnection bus);
    ~CUDisksDriveSource() override;

    int GetDiskCount() override;
    IDisk* GetDiskByIndex(int index) override;
    void Refresh() override;
    int AddImage(const std::string& path) override;
    int GetDeniedDiskCount() override { return 0; }
    bool NeedsOpening(IPartition* partition) override;
    void OpenForReading(IPartition* partition, std::function<void(const DiskOpenResult&)> done) override;
    bool FollowsChanges() override { return true; }

    CUDisksClient& Client() { return m_client; }

    // The disk the service's answer describes, with its partitions and the
    // gaps between them, built from properties alone (nothing is opened).
    static std::unique_ptr<CDisk> ListedDisk(const UDisksDisk& info, int diskNo);
    // The file-system code of a file system as blkid names it.
    static int FsCode(const QString& idType, const QString& idVersion);

private:
    // A disk opened through the service, kept with its descriptor for the
    // session, and partitions made for entries the disk manager's own
    // reading of the disk does not have.
    struct OpenedDisk {
        std::unique_ptr<CDisk> disk;
        std::vector<std::unique_ptr<CPartition>> extra;
    };

    void Rebuild();
    void OnDiskGone(const QString& device);
    int ListedIndex(IPartition* partition);
    static IPartition* PartitionToRead(OpenedDisk& opened, const ParInfor& want, const std::string& kernelName,
                                       const std::string& volumeName);

    CUDisksClient m_client;
    std::vector<UDisksDisk> m_info;             // what the listed disks were built from
    std::vector<std::unique_ptr<CDisk>> m_listed;
    std::map<std::string, OpenedDisk> m_opened;  // by device path
    // Opened disks whose medium went or that were opened again: pages may
    // still point at them until the user chooses a drive again.
    std::vector<OpenedDisk> m_retired;
    int m_nextDiskNo = 2000;
};

// Installs the service's drive source when this process lacks the rights to
// open disks itself and the service is there (a desktop session); root, and
// a system without the service, keep the disk manager's direct access. The
// caller keeps the source while it is installed; null when none was.
std::unique_ptr<CUDisksDriveSource> InstallUDisksDrives(AppServices& services);
