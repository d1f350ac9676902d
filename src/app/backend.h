// What the wizard needs of the layers below it, as two small interfaces:
// the drives it lists and the photo tasks it runs. The program installs the
// disk manager and task manager behind them; tests install stand-ins.
#pragma once

#include <QUrl>

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "io/disk.h"
#include "io/partition.h"
#include "volphotorev/operation.h"
#include "volphotorev/photoitems.h"

class IPromptService;

// How opening a listed disk for reading ended.
struct DiskOpenResult {
    enum Status {
        Opened,         // `partition` is the one to scan
        NoAgent,        // nothing in this session can ask for the password
        Dismissed,      // the user cancelled the password dialog
        NotAuthorized,  // the system refused
        NoService,      // the system's disk service did not answer
        Failed,         // `detail` says why
    };
    Status status = Failed;
    IPartition* partition = nullptr;  // owned by the drive source, valid for the rest of the process
    std::string detail;
};

class IDriveSource {
public:
    virtual ~IDriveSource() = default;
    // Disks in enumeration order, images last. The disks and their partitions
    // stay valid until the next Refresh.
    virtual int GetDiskCount() = 0;
    virtual IDisk* GetDiskByIndex(int index) = 0;  // null when out of range
    // Drops every disk object and enumerates again; disk images opened with
    // AddImage are opened again.
    virtual void Refresh() = 0;
    // Opens a disk image file as one more disk. Its index, or negative when
    // the file cannot be opened or read.
    virtual int AddImage(const std::string& path) = 0;
    // Disks the last enumeration found but could not open for lack of
    // permission.
    virtual int GetDeniedDiskCount() = 0;
    // Why the last AddImage failed, to follow "cannot open FILE: "
    // ("permission denied", "no such file or directory", a file smaller
    // than a sector); empty when there is nothing more to say.
    virtual std::string GetLastImageError() { return {}; }
    // Every disk the last enumeration found but could not open, and why.
    struct UnopenedDisk {
        std::string device;  // "/dev/sdb"
        std::string reason;  // "no medium found"; empty when it opened but could not be measured
        bool denied = false; // refused for lack of permission
    };
    virtual std::vector<UnopenedDisk> GetUnopenedDisks() { return {}; }

    // Whether the partition's disk was listed without being opened (from a
    // system service), so that it must be opened with OpenForReading before
    // anything reads it.
    virtual bool NeedsOpening(IPartition* /*partition*/) { return false; }
    // Opens the disk of a listed partition for reading without waiting for
    // it: `done` runs later, on the user-interface thread, with the
    // partition to read in place of the listed one (which a refresh may
    // have dropped by then).
    virtual void OpenForReading(IPartition* partition, std::function<void(const DiskOpenResult&)> done)
    {
        DiskOpenResult result;
        result.status = DiskOpenResult::Opened;
        result.partition = partition;
        done(result);
    }
    // Whether the list follows drives coming and going on its own;
    // DriveEvents() then tells of each change.
    virtual bool FollowsChanges() { return false; }
};

// A scan of a drive saved earlier, which the wizard can go on with.
struct SavedScan {
    bool finished = false;   // ran to its end: its photos can be shown at once
    int64_t photos = 0;      // photos it had found
    std::time_t saved = 0;   // when it was last saved
};

class ITaskBackend {
public:
    virtual ~ITaskBackend() = default;
    // Scans the partition for photos, reporting through `sink`, into a new
    // photo store. 0 when the scan ran to its end, negative when it failed or
    // the sink stopped it. Runs on the scan thread.
    virtual int RecoverPhotos(IPartition* partition, IEventSink* sink) = 0;
    // The photo types and smallest size the next scans keep.
    virtual void SetPhotoChoice(const PhotoChoice& choice) { (void)choice; }
    // With `out` null, first -1 and count -1: the number of photos of the
    // category. Otherwise the number of pointers written to `out`.
    virtual int GetPhotoItems(int32_t category, int32_t first, int32_t count, PhotoItem** out) = 0;
    // Reads the photo's bytes into `buffer` (at least its size rounded up to
    // whole sectors). Negative on failure.
    virtual int ReadPhotoData(PhotoItem* item, IPartition* partition, void* buffer, uint32_t size) = 0;
    // Drops the photo store and every task.
    virtual void Clear() = 0;

    // Scans are saved as they run, one per drive, so that a scan stopped or
    // lost goes on later. 1 with `out` when the partition has a saved scan,
    // 0 when it has none (or only one that cannot be used).
    virtual int FindSavedScan(IPartition* partition, SavedScan& out)
    {
        (void)partition;
        (void)out;
        return 0;
    }
    // Whether the next RecoverPhotos goes on with the partition's saved scan
    // (true) or starts afresh, replacing it (false, the default).
    virtual void SetContinueSavedScan(bool resume) { (void)resume; }
    // Puts the photos of the partition's finished saved scan into a new
    // photo store without scanning. 0, or negative when it cannot be read.
    virtual int LoadSavedScan(IPartition* partition)
    {
        (void)partition;
        return -1;
    }
};

// Free space of the file system holding a folder, as this user may fill it.
struct FreeSpace {
    bool known = true;  // false: the file system reports no figure
    int64_t bytes = 0;  // 0 when the query failed
};

// The services the wizard's windows use; none is owned here. A null drive
// source lists no drives, a null task backend finds nothing, a null prompt
// service shows real message boxes, and null queries ask the system.
struct AppServices {
    IDriveSource* drives = nullptr;
    ITaskBackend* tasks = nullptr;
    IPromptService* prompts = nullptr;
    std::function<FreeSpace(const std::string& folder)> freeSpace;
    std::function<std::time_t()> clock;
    // 1 when the folder lies on the partition's own device, 0 when not, -1
    // when the folder cannot be examined.
    std::function<int(const std::string& folder, IPartition* partition)> folderOnPartition;
    // 0 when photos can be written into the folder, else -1 and the reason.
    std::function<int(const std::string& folder, std::string& reason)> folderWritable;
    // Whether the program runs with the rights that opening disks needs.
    std::function<bool()> diskRights;
    // Opens an address (a folder, the user guide, a web page) with the
    // desktop's program for it; false when there is none.
    std::function<bool(const QUrl& url)> openUrl;
};

AppServices& Services();

// Installs the disk manager and task manager of this process.
void InstallSystemBackends(AppServices& services);

// The installed queries, or the system's.
FreeSpace QueryFreeSpace(const std::string& folder);
std::time_t CurrentTime();
// The system's answer compares the device of the folder's file system with
// the partition's block device (for a gap or a whole-disk entry, with the
// disk's and its partitions'); a disk image's partitions are never it.
int FolderIsOnPartition(const std::string& folder, IPartition* partition);
int CheckFolderForPhotos(const std::string& folder, std::string& reason);
bool RunsWithDiskRights();
bool OpenWithDesktop(const QUrl& url);
