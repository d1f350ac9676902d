// Stand-in disks, drive source and task backend for the tests and the
// screenshot renderer: no device is opened and nothing is read.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <QMessageBox>
#include <QString>
#include <QStringList>

#include "app/backend.h"
#include "app/prompts.h"

// A disk whose identity and partitions are set by hand.
class CFakeDisk : public IDisk {
public:
    CFakeDisk(std::string interfaceType, std::string model, std::string kernelName);

    // Appends a partition; `number` 0 for gaps and whole-disk entries.
    CPartition* AddPartition(int fs, uint64_t sectors, const std::string& label, int number);
    int LoadPartitionCalls() const { return m_loadCalls; }

    int LoadPartition() override;
    CPartition* GetPartition(int index) override;
    CPartition* FindPartition(int number) override;
    std::string GetDevicePath() override { return "/dev/" + m_kernelName; }
    std::string GetDevName() override { return m_kernelName; }
    std::string GetSerialNumber() override { return "FAKE0001"; }
    std::string GetInterfaceType() override { return m_interfaceType; }
    std::string GetModel() override { return m_model; }
    std::string GetMediaType() override { return m_interfaceType == "USB" ? "Removable Media" : "Fixed hard disk media"; }
    int GetDiskNo() override { return 0; }
    uint64_t GetTotalSectors() override;
    int GetHeads() override { return 255; }
    int GetSectorsPerTrack() override { return 63; }
    uint64_t GetCylinders() override { return GetTotalSectors() / (255 * 63); }
    int GetBytesPerSector() override { return 512; }
    int GetParStyle() override { return PARSTYLE_MBR; }
    int GetState() override { return 0; }
    int IsBasicMbr() override { return 1; }

private:
    std::string m_interfaceType;
    std::string m_model;
    std::string m_kernelName;
    uint64_t m_nextOffset = 2048;
    int m_loadCalls = 0;
    std::vector<std::unique_ptr<CPartition>> m_partitions;
};

class CFakeDriveSource : public IDriveSource {
public:
    using Builder = std::function<void(CFakeDriveSource&)>;
    // `enumerate` makes the machine's disks, at once and on every Refresh.
    explicit CFakeDriveSource(Builder enumerate = {});

    CFakeDisk* AddDisk(std::string interfaceType, std::string model, std::string kernelName);
    // An image file AddImage will accept, and the disk it becomes.
    void AllowImage(const std::string& path, std::function<void(CFakeDisk&)> build);
    void SetDeniedDiskCount(int count) { m_denied = count; }
    // An image file AddImage refuses, and why.
    void RefuseImage(const std::string& path, std::string reason) { m_refusedImages[path] = std::move(reason); }
    // Disks the enumeration could not open.
    std::vector<UnopenedDisk> unopened;
    int RefreshCount() const { return m_refreshes; }

    int GetDiskCount() override { return static_cast<int>(m_disks.size()); }
    IDisk* GetDiskByIndex(int index) override;
    void Refresh() override;
    int AddImage(const std::string& path) override;
    int GetDeniedDiskCount() override { return m_denied; }
    std::string GetLastImageError() override { return m_lastImageError; }
    std::vector<UnopenedDisk> GetUnopenedDisks() override { return unopened; }

private:
    int OpenImage(const std::string& path);

    Builder m_enumerate;
    std::vector<std::unique_ptr<CFakeDisk>> m_disks;
    std::map<std::string, std::function<void(CFakeDisk&)>> m_allowedImages;
    std::vector<std::string> m_openImages;
    std::map<std::string, std::string> m_refusedImages;
    std::string m_lastImageError;
    int m_denied = 0;
    int m_refreshes = 0;
};

// A scan that reports through the sink until Finish() or until the sink
// answers stop, then stores the photos it was given.
class CFakeTaskBackend : public ITaskBackend {
public:
    int RecoverPhotos(IPartition* partition, IEventSink* sink) override;
    int GetPhotoItems(int32_t category, int32_t first, int32_t count, PhotoItem** out) override;
    int ReadPhotoData(PhotoItem* item, IPartition* partition, void* buffer, uint32_t size) override;
    void Clear() override;
    int FindSavedScan(IPartition* partition, SavedScan& out) override;
    void SetContinueSavedScan(bool resume) override { continueSavedScan = resume; }
    // Gives the photos SetPhotos set, as the saved scan's.
    int LoadSavedScan(IPartition* partition) override;

    // Lets a running (or the next) scan end normally.
    void Finish();
    // Photos the next scan "finds".
    void SetPhotos(std::vector<PhotoItem> photos) { m_nextPhotos = std::move(photos); }
    // While held, Clear waits until released: to see who waits for it.
    void HoldClear();
    void ReleaseClear();

    std::atomic<int> scans{0};           // RecoverPhotos calls started
    std::atomic<int> stoppedScans{0};    // scans the sink stopped
    std::atomic<int> clears{0};          // Clear calls finished
    std::atomic<int> clearsAtLastScan{-1};  // clears finished when the last scan began
    std::atomic<IPartition*> lastPartition{nullptr};
    std::atomic<int> reads{0};  // ReadPhotoData calls
    // The saved scan FindSavedScan reports for `savedScanPartition` (for
    // every partition when that is null), if any.
    std::optional<SavedScan> savedScan;
    IPartition* savedScanPartition = nullptr;
    bool savedScanReadable = true;
    int savedScanLoads = 0;
    std::atomic<bool> continueSavedScan{false};  // the last SetContinueSavedScan
    // Bytes ReadPhotoData gives for photos of that name; zeros for others.
    std::map<std::u16string, std::vector<uint8_t>> photoBytes;

private:
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_finish = false;
    std::vector<PhotoItem> m_nextPhotos;
    CPhotoItemsMgr m_store;
    bool m_holdClear = false;
};

// Answers message boxes and file dialogs in the user's place and records
// what was asked.
class CFakePrompts : public IPromptService {
public:
    struct Asked {
        QString text;
        QMessageBox::Icon icon;
        QMessageBox::StandardButtons buttons;
    };

    QMessageBox::StandardButton MessageBox(QWidget* parent, const QString& text, QMessageBox::Icon icon,
                                           QMessageBox::StandardButtons buttons) override;
    QString ChooseImageFile(QWidget* parent) override;
    QString ChooseFolder(QWidget* parent, const QString& title) override;
    QString ChooseImageSaveFile(QWidget* parent, const QString& suggestedName) override;
    // Makes the box open now answer No (or Ok); counted.
    void DismissQuestion() override;

    int dismissed = 0;
    // Answer to Yes/No questions (Ok boxes always get Ok).
    QMessageBox::StandardButton answer = QMessageBox::Yes;
    // Runs before a question is answered, as if events happened while the
    // box was open.
    std::function<void()> whileOpen;
    QString imageFile;  // what the file dialog returns
    QString saveImageFile;  // what the save dialog for an image returns
    QString suggestedImageName;  // what it was offered
    std::vector<Asked> asked;
    // What the folder dialog returns, one per call; cancelled when none is left.
    QStringList folders;
    QStringList folderTitles;  // the titles it was shown with

    QStringList Texts() const;

private:
    int m_open = 0;             // boxes open now
    bool m_dismissedNow = false;  // the innermost one was dismissed
};

// A demonstration machine: an internal SATA disk (system NTFS, data NTFS,
// an extended container with a FAT32 logical drive) and a USB stick with
// one FAT32 partition labelled PHOTOS.
void AddDemoDisks(CFakeDriveSource& source);
