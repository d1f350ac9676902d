#include "app/udisksdrivesource.h"

#include "app/driveevents.h"
#include "io/deviceio.h"
#include "io/diskmgr.h"
#include "io/dpt.h"
#include "io/log.h"
#include "io/platform/frontend_checks.h"
#include "io/platform/platform.h"
#include "io/volmgr.h"

namespace {

std::string BaseName(const QString& device) { return device.mid(device.lastIndexOf(QLatin1Char('/')) + 1).toStdString(); }

// The interface names the disk manager gives, from the bus the service
// reports or else from the kernel's name of the disk.
std::string InterfaceType(const UDisksDisk& info)
{
    if (info.connectionBus == QLatin1String("usb")) return "USB";
    if (info.connectionBus == QLatin1String("sdio")) return "SD";
    if (info.connectionBus == QLatin1String("ieee1394")) return "1394";
    const std::string name = BaseName(info.device);
    if (name.rfind("mmcblk", 0) == 0) return "SD";
    if (name.rfind("nvme", 0) == 0) return "NVMe";
    if (name.rfind("hd", 0) == 0) return "ATA";
    return "SCSI";
}

std::string ModelText(const UDisksDisk& info)
{
    if (info.vendor.isEmpty()) return info.model.toStdString();
    if (info.model.isEmpty()) return info.vendor.toStdString();
    return (info.vendor + QLatin1Char(' ') + info.model).toStdString();
}

WmiDiskInfor DiskRecord(const UDisksDisk& info, int diskNo)
{
    WmiDiskInfor rec;
    rec.TotalHeads = 255;
    rec.DeviceID = info.device.toStdString();
    rec.Index = static_cast<uint32_t>(diskNo);
    rec.InterfaceType = InterfaceType(info);
    rec.MediaType = info.removable ? "Removable Media" : "Fixed hard disk media";
    rec.Model = ModelText(info);
    rec.SerialNumber = info.serial.toStdString();
    return rec;
}

std::unique_ptr<CPartition> MakeEntry(CDisk* disk, const ParInfor& infor, const QString& device)
{
    auto par = std::make_unique<CPartition>(disk);
    par->SetInfor(infor);
    par->SetKernelName(BaseName(device));
    par->SetVolumeName(device.toStdString());
    par->SetDevName(device.toStdString());
    return par;
}

uint64_t FreeSectors(const QString& mountPoint)
{
    return mountPoint.isEmpty() ? 0 : Win_GetVolumeFreeSectors(mountPoint.toStdString());
}

}  // namespace

int CUDisksDriveSource::FsCode(const QString& idType, const QString& idVersion)
{
    if (idType == QLatin1String("ntfs")) return FS_NTFS;
    if (idType == QLatin1String("vfat")) {
        if (idVersion == QLatin1String("FAT32")) return FS_FAT32;
        if (idVersion == QLatin1String("FAT16")) return FS_FAT16;
        if (idVersion == QLatin1String("FAT12")) return FS_FAT12;
    }
    return FS_UNKNOWN;
}

std::unique_ptr<CDisk> CUDisksDriveSource::ListedDisk(const UDisksDisk& info, int diskNo)
{
    const WmiDiskInfor rec = DiskRecord(info, diskNo);
    auto disk = std::make_unique<CDisk>();
    disk->m_diskNo = diskNo;
    disk->m_devicePath = rec.DeviceID;
    disk->m_devName = rec.DeviceID;
    disk->m_kernelName = BaseName(info.device);
    disk->m_model = rec.Model;
    disk->m_serialNumber = rec.SerialNumber;
    disk->m_interfaceType = rec.InterfaceType;
    disk->m_mediaType = rec.MediaType;
    DiskGeometry g;
    ImageGeometry(info.size, g);  // what listing needs; the real figures come when the disk is opened
    disk->m_heads = g.TracksPerCylinder;
    disk->m_sectorsPerTrack = g.SectorsPerTrack;
    disk->m_cylinders = g.Cylinders;
    disk->m_bytesPerSector = g.BytesPerSector;
    disk->m_totalSectors = info.size / SECTOR_SIZE;
    disk->m_parStyle = info.tableType == QLatin1String("dos")   ? PARSTYLE_MBR
                       : info.tableType == QLatin1String("gpt") ? PARSTYLE_GPT
                                                                : PARSTYLE_RAW;

    CDisk* d = disk.get();
    if (info.tableType.isEmpty()) {
        ParInfor whole;
        whole.Len = disk->m_totalSectors;
        if (!info.idType.isEmpty()) {
            // A file system on the whole disk, as many cards and sticks have.
            whole.Fs = FsCode(info.idType, info.idVersion);
            whole.VolLabel = info.idLabel.toStdString();
            whole.DriveRoot = info.mountPoint.toStdString();
            whole.FreeSec = FreeSectors(info.mountPoint);
            disk->m_partitions.push_back(MakeEntry(d, whole, info.device));
        } else {
            whole.Fs = FS_WHOLE_DISK;
            whole.VolLabel = "Unknown Disk";
            auto par = std::make_unique<CPartition>(d);
            par->SetInfor(whole);
            disk->m_partitions.push_back(std::move(par));
        }
        return disk;
    }

    PartitionList list;
    uint64_t extOff = 0, extLen = 0;
    for (const UDisksPartition& p : info.partitions) {
        ParInfor infor;
        infor.Off = p.offset / SECTOR_SIZE;
        infor.Len = p.size / SECTOR_SIZE;
        infor.HiddenSec = infor.Off;
        infor.PartNo = static_cast<int32_t>(p.number);
        infor.Type = p.container ? PAR_EXTENDED : p.contained ? PAR_LOGICAL : PAR_PRIMARY;
        infor.Fs = p.container ? FS_EXTENDED : FsCode(p.idType, p.idVersion);
        infor.VolLabel = p.idLabel.toStdString();
        infor.DriveRoot = p.mountPoint.toStdString();
        infor.FreeSec = FreeSectors(p.mountPoint);
        if (p.container) {
            extOff = infor.Off;
            extLen = infor.Len;
        }
        auto par = MakeEntry(d, infor, p.device);
        if (p.bootable) par->SetActive(1);
        list.push_back(std::move(par));
    }
    CDpt dpt(d);
    if (dpt.FillGaps(list, disk->m_totalSectors, extOff, extLen) < 0) {
        ParInfor whole;
        whole.Len = disk->m_totalSectors;
        whole.Fs = FS_WHOLE_DISK;
        whole.VolLabel = "Bad DPT Disk";
        disk->m_state |= DISKSTATE_BAD_DPT;
        auto par = std::make_unique<CPartition>(d);
        par->SetInfor(whole);
        list.clear();
        list.push_back(std::move(par));
    }
    disk->m_partitions = std::move(list);
    return disk;
}

CUDisksDriveSource::CUDisksDriveSource(QDBusConnection bus) : m_client(std::move(bus))
{
    // Only the images go through the disk manager: it must never open the
    // machine's disks itself.
    SetDiskSources(false, ImageFiles());
    QObject::connect(&m_client, &CUDisksClient::diskGone, &m_client,
                     [this](const QString& device) { OnDiskGone(device); });
    // The listed disks are rebuilt first, then the pages refill from them.
    QObject::connect(&m_client, &CUDisksClient::disksChanged, &m_client, [this] {
        Rebuild();
        emit DriveEvents().drivesChanged();
    });
    m_client.Reload();
    Rebuild();
}

CUDisksDriveSource::~CUDisksDriveSource()
{
    for (const auto& [device, opened] : m_opened) Platform().ReleaseAdoptedDescriptor(device);
}

int CUDisksDriveSource::GetDiskCount()
{
    return static_cast<int>(m_listed.size()) + CDiskMgr::Instance().GetDiskCount();
}

IDisk* CUDisksDriveSource::GetDiskByIndex(int index)
{
    if (index < 0) return nullptr;
    if (static_cast<size_t>(index) < m_listed.size()) return m_listed[static_cast<size_t>(index)].get();
    return CDiskMgr::Instance().GetDiskByIndex(index - static_cast<int>(m_listed.size()));
}

void CUDisksDriveSource::Rebuild()
{
    m_listed.clear();
    m_info = m_client.Disks();
    for (size_t i = 0; i < m_info.size(); ++i) m_listed.push_back(ListedDisk(m_info[i], 1000 + static_cast<int>(i)));
}

void CUDisksDriveSource::Refresh()
{
    m_client.Reload();
    Rebuild();
    CDiskMgr& images = CDiskMgr::Instance();
    images.ReleaseAllDisk();
    images.LoadAllDisk();
}

int CUDisksDriveSource::AddImage(const std::string& path)
{
    const int index = CDiskMgr::Instance().AddImage(path);
    return index < 0 ? -1 : static_cast<int>(m_listed.size()) + index;
}

int CUDisksDriveSource::ListedIndex(IPartition* partition)
{
    auto* concrete = dynamic_cast<CPartition*>(partition);
    if (!concrete) return -1;
    for (size_t i = 0; i < m_listed.size(); ++i)
        if (concrete->GetDisk() == m_listed[i].get()) return static_cast<int>(i);
    return -1;
}

bool CUDisksDriveSource::NeedsOpening(IPartition* partition)
{
    return ListedIndex(partition) >= 0;
}

IPartition* CUDisksDriveSource::PartitionToRead(OpenedDisk& opened, const ParInfor& want,
                                                const std::string& kernelName, const std::string& volumeName)
{
    // The disk manager's own reading of the disk, where it has the same entry.
    for (int k = 0; k < opened.disk->GetPartitionCount(); ++k) {
        CPartition* par = opened.disk->GetPartition(k);
        if (!par || par->GetOff() != want.Off || par->GetLen() != want.Len || par->GetFs() == FS_EXTENDED) continue;
        // Mounts are the service's knowledge, not the disk's.
        if (par->GetDriveRoot().empty() && !want.DriveRoot.empty()) {
            par->SetDriveRoot(want.DriveRoot);
            par->SetFreeSec(want.FreeSec);
        }
        if (par->GetVolumeName().empty()) par->SetVolumeName(volumeName);
        if (par->GetVolLabel().empty()) par->SetVolLabel(want.VolLabel);
        return par;
    }
    // An entry it does not list (a partition of a GPT disk): read as listed.
    auto par = std::make_unique<CPartition>(opened.disk.get());
    par->SetInfor(want);
    par->SetKernelName(kernelName);
    par->SetVolumeName(volumeName);
    par->SetDevName(volumeName);
    opened.extra.push_back(std::move(par));
    return opened.extra.back().get();
}

void CUDisksDriveSource::OpenForReading(IPartition* partition, std::function<void(const DiskOpenResult&)> done)
{
    const int index = ListedIndex(partition);
    if (index < 0) {
        IDriveSource::OpenForReading(partition, std::move(done));
        return;
    }
    // Whoever used the disks retired earlier has let go of them by now: the
    // user is choosing a drive again.
    m_retired.clear();

    auto* listed = static_cast<CPartition*>(partition);
    ParInfor want;
    listed->GetInfor(want);
    const std::string kernelName = listed->GetKernelName();
    const std::string volumeName = listed->GetVolumeName();
    const UDisksDisk info = m_info[static_cast<size_t>(index)];
    const std::string device = info.device.toStdString();

    auto open = m_opened.find(device);
    if (open != m_opened.end() && Platform().HasAdoptedDescriptor(device)) {
        DiskOpenResult result;
        result.status = DiskOpenResult::Opened;
        result.partition = PartitionToRead(open->second, want, kernelName, volumeName);
        done(result);
        return;
    }

    m_client.OpenForReading(info.blockPath, [this, info, device, want, kernelName, volumeName,
                                              done = std::move(done)](const UDisksOpenReply& reply) {
        DiskOpenResult result;
        switch (reply.result) {
        case UDisksOpenReply::Opened: break;
        case UDisksOpenReply::NoAgent: result.status = DiskOpenResult::NoAgent; break;
        case UDisksOpenReply::Dismissed: result.status = DiskOpenResult::Dismissed; break;
        case UDisksOpenReply::NotAuthorized: result.status = DiskOpenResult::NotAuthorized; break;
        case UDisksOpenReply::NoService: result.status = DiskOpenResult::NoService; break;
        case UDisksOpenReply::Failed: result.status = DiskOpenResult::Failed; break;
        }
        result.detail = reply.message.toStdString();
        if (reply.result != UDisksOpenReply::Opened) {
            done(result);
            return;
        }
        int err = 0;
        if (Platform().AdoptReadOnlyDescriptor(device, reply.fd.fileDescriptor(), &err) != 0) {
            result.status = DiskOpenResult::Failed;
            result.detail = Platform().ErrorText(err);
            done(result);
            return;
        }
        std::unique_ptr<CDisk> disk = CDiskMgr::OpenDisk(DiskRecord(info, m_nextDiskNo++));
        if (!disk) {
            Platform().ReleaseAdoptedDescriptor(device);
            result.status = DiskOpenResult::Failed;
            result.detail = "the drive could not be read";
            done(result);
            return;
        }
        LOG_T("%s opened through the disk service, %llu sectors\n", device.c_str(),
              static_cast<unsigned long long>(disk->GetTotalSectors()));
        auto old = m_opened.find(device);
        if (old != m_opened.end()) {
            m_retired.push_back(std::move(old->second));
            m_opened.erase(old);
        }
        OpenedDisk& opened = m_opened[device];
        opened.disk = std::move(disk);
        result.status = DiskOpenResult::Opened;
        result.detail.clear();
        result.partition = PartitionToRead(opened, want, kernelName, volumeName);
        done(result);
    });
}

void CUDisksDriveSource::OnDiskGone(const QString& device)
{
    const std::string path = device.toStdString();
    auto open = m_opened.find(path);
    if (open != m_opened.end()) {
        // Its descriptor reads the medium that went: the next choice of this
        // drive opens it anew.
        Platform().ReleaseAdoptedDescriptor(path);
        m_retired.push_back(std::move(open->second));
        m_opened.erase(open);
    }
    emit DriveEvents().driveGone(device);
}

std::unique_ptr<CUDisksDriveSource> InstallUDisksDrives(AppServices& services)
{
    if (HasDiskRights()) return nullptr;
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!CUDisksClient::ServiceAvailable(bus)) {
        LOG_W("the system's disk service is not there: drives are opened directly\n");
        return nullptr;
    }
    auto drives = std::make_unique<CUDisksDriveSource>(bus);
    services.drives = drives.get();
    LOG_T("drives are listed and opened through the system's disk service\n");
    return drives;
}
