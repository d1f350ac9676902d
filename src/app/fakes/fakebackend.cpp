#include "app/fakes/fakebackend.h"

#include <algorithm>
#include <cctype>
#include <cstring>

CFakeDisk::CFakeDisk(std::string interfaceType, std::string model, std::string kernelName)
    : m_interfaceType(std::move(interfaceType)), m_model(std::move(model)), m_kernelName(std::move(kernelName))
{
}

CPartition* CFakeDisk::AddPartition(int fs, uint64_t sectors, const std::string& label, int number)
{
    auto partition = std::make_unique<CPartition>();
    ParInfor infor;
    infor.Off = m_nextOffset;
    infor.Len = sectors;
    infor.Fs = fs;
    infor.PartNo = number;
    infor.VolLabel = label;
    infor.Type = number > 4 ? PAR_LOGICAL : (fs == FS_EXTENDED ? PAR_EXTENDED : PAR_PRIMARY);
    partition->SetInfor(infor);
    if (number > 0) {
        const bool digitLast = !m_kernelName.empty() && std::isdigit(static_cast<unsigned char>(m_kernelName.back()));
        partition->SetKernelName(m_kernelName + (digitLast ? "p" : "") + std::to_string(number));
        partition->SetVolumeName("/dev/" + partition->GetKernelName());
    }
    if (fs != FS_EXTENDED) m_nextOffset += sectors;
    m_partitions.push_back(std::move(partition));
    return m_partitions.back().get();
}

int CFakeDisk::LoadPartition()
{
    ++m_loadCalls;
    return static_cast<int>(m_partitions.size());
}

CPartition* CFakeDisk::GetPartition(int index)
{
    if (index < 0 || index >= static_cast<int>(m_partitions.size())) return nullptr;
    return m_partitions[index].get();
}

CPartition* CFakeDisk::FindPartition(int number)
{
    for (auto& p : m_partitions)
        if (p->GetPartNo() == number) return p.get();
    return nullptr;
}

uint64_t CFakeDisk::GetTotalSectors()
{
    return m_nextOffset;
}

CFakeDriveSource::CFakeDriveSource(Builder enumerate) : m_enumerate(std::move(enumerate))
{
    if (m_enumerate) m_enumerate(*this);
}

CFakeDisk* CFakeDriveSource::AddDisk(std::string interfaceType, std::string model, std::string kernelName)
{
    m_disks.push_back(std::make_unique<CFakeDisk>(std::move(interfaceType), std::move(model), std::move(kernelName)));
    return m_disks.back().get();
}

void CFakeDriveSource::AllowImage(const std::string& path, std::function<void(CFakeDisk&)> build)
{
    m_allowedImages[path] = std::move(build);
}

IDisk* CFakeDriveSource::GetDiskByIndex(int index)
{
    if (index < 0 || index >= static_cast<int>(m_disks.size())) return nullptr;
    return m_disks[index].get();
}

void CFakeDriveSource::Refresh()
{
    ++m_refreshes;
    m_disks.clear();
    if (m_enumerate) m_enumerate(*this);
    for (const std::string& path : m_openImages) OpenImage(path);
}

int CFakeDriveSource::OpenImage(const std::string& path)
{
    auto it = m_allowedImages.find(path);
    if (it == m_allowedImages.end()) return -1;
    const std::string name = path.substr(path.find_last_of('/') + 1);
    CFakeDisk* disk = AddDisk("Image", "Disk image " + name, name + "#");
    it->second(*disk);
    return static_cast<int>(m_disks.size()) - 1;
}

int CFakeDriveSource::AddImage(const std::string& path)
{
    m_lastImageError.clear();
    if (auto refused = m_refusedImages.find(path); refused != m_refusedImages.end()) {
        m_lastImageError = refused->second;
        return -1;
    }
    const int index = OpenImage(path);
    if (index >= 0) m_openImages.push_back(path);
    return index;
}

int CFakeTaskBackend::RecoverPhotos(IPartition* partition, IEventSink* sink)
{
    clearsAtLastScan = clears.load();
    lastPartition = partition;
    ++scans;
    // The photos are "found" at once: a scan stopped later keeps them, as a
    // real one keeps what it found before the stop.
    m_store = CPhotoItemsMgr();
    for (const PhotoItem& photo : m_nextPhotos) m_store.AddItem(std::make_unique<PhotoItem>(photo));
    if (sink->Notify(INIT_TASK_COUNT, 1, nullptr, 0) < 0) {
        ++stoppedScans;
        return -1;
    }
    const char16_t name[] = u"DCIM";
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (m_wake.wait_for(lock, std::chrono::milliseconds(5), [this] { return m_finish; })) {
                m_finish = false;
                break;
            }
        }
        if (sink->Notify(CURRENT_FILE_NAME, 0, const_cast<char16_t*>(name), 0) < 0) {
            ++stoppedScans;
            return -1;
        }
    }
    sink->Notify(ALL_TASKS_FINISHED, 0, nullptr, 0);
    return 0;
}

void CFakeTaskBackend::Finish()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_finish = true;
    m_wake.notify_all();
}

int CFakeTaskBackend::FindSavedScan(IPartition* partition, SavedScan& out)
{
    if (!savedScan || (savedScanPartition && partition != savedScanPartition)) return 0;
    out = *savedScan;
    return 1;
}

int CFakeTaskBackend::LoadSavedScan(IPartition* partition)
{
    ++savedScanLoads;
    if (!savedScan || (savedScanPartition && partition != savedScanPartition) || !savedScanReadable) return -1;
    m_store = CPhotoItemsMgr();
    for (const PhotoItem& photo : m_nextPhotos) m_store.AddItem(std::make_unique<PhotoItem>(photo));
    return 0;
}

int CFakeTaskBackend::GetPhotoItems(int32_t category, int32_t first, int32_t count, PhotoItem** out)
{
    return m_store.GetItems(category, first, count, out);
}

int CFakeTaskBackend::ReadPhotoData(PhotoItem* item, IPartition*, void* buffer, uint32_t size)
{
    ++reads;
    if (!item || !buffer || size < item->size) return -1;
    std::memset(buffer, 0, item->size);
    auto it = photoBytes.find(item->name);
    if (it != photoBytes.end()) std::memcpy(buffer, it->second.data(), std::min<size_t>(it->second.size(), item->size));
    return static_cast<int>(item->size);
}

void CFakeTaskBackend::Clear()
{
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_wake.wait(lock, [this] { return !m_holdClear; });
    }
    m_store = CPhotoItemsMgr();
    ++clears;
}

void CFakeTaskBackend::HoldClear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_holdClear = true;
}

void CFakeTaskBackend::ReleaseClear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_holdClear = false;
    m_wake.notify_all();
}

QMessageBox::StandardButton CFakePrompts::MessageBox(QWidget*, const QString& text, QMessageBox::Icon icon,
                                                     QMessageBox::StandardButtons buttons)
{
    asked.push_back({text, icon, buttons});
    ++m_open;
    m_dismissedNow = false;
    if (whileOpen) whileOpen();
    --m_open;
    const bool dismissedNow = m_dismissedNow;
    m_dismissedNow = false;
    if ((buttons & QMessageBox::Cancel) && answer == QMessageBox::Cancel && !dismissedNow) return QMessageBox::Cancel;
    if (buttons & QMessageBox::Yes)
        return answer == QMessageBox::Yes && !dismissedNow ? QMessageBox::Yes : QMessageBox::No;
    return QMessageBox::Ok;
}

void CFakePrompts::DismissQuestion()
{
    if (m_open == 0) return;
    ++dismissed;
    m_dismissedNow = true;
}

QString CFakePrompts::ChooseImageFile(QWidget*)
{
    return imageFile;
}

QString CFakePrompts::ChooseImageSaveFile(QWidget*, const QString& suggestedName)
{
    suggestedImageName = suggestedName;
    return saveImageFile;
}

QString CFakePrompts::ChooseFolder(QWidget*, const QString& title)
{
    folderTitles << title;
    if (folders.isEmpty()) return QString();
    return folders.takeFirst();
}

QStringList CFakePrompts::Texts() const
{
    QStringList texts;
    for (const Asked& a : asked) texts << a.text;
    return texts;
}

void AddDemoDisks(CFakeDriveSource& source)
{
    CFakeDisk* internal = source.AddDisk("SCSI", "Samsung SSD 870 EVO 500GB", "sda");
    internal->AddPartition(FS_NTFS, 1024000, "System", 1);
    internal->AddPartition(FS_NTFS, 420000000, "Data", 2);
    internal->AddPartition(FS_EXTENDED, 155000000, "", 3);
    internal->AddPartition(FS_FAT32, 155000000, "BACKUP", 5);
    CFakeDisk* stick = source.AddDisk("USB", "SanDisk Ultra USB 3.0", "sdb");
    stick->AddPartition(FS_FAT32, 30310400, "PHOTOS", 1);
}
