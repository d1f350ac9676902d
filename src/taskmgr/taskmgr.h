// The one door to the scanning machinery: disks, photo scans, found photos.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <string>

#include "io/disk.h"
#include "taskmgr/task.h"
#include "volphotorev/operation.h"
#include "volphotorev/photoitems.h"

class CScanSession;

class ITaskMgr {
public:
    virtual ~ITaskMgr() = default;
    // Number of disks the disk manager knows.
    virtual int GetDiskCount() = 0;
    // The disk at that list position, or null.
    virtual CDisk* GetDiskByIndex(uint32_t index) = 0;
    // The first disk whose GetDiskNo is `diskNo`, or null.
    virtual CDisk* GetDiskByNo(int diskNo) = 0;
    // The disk's layout as the pending tasks will leave it. With `out` null:
    // the number of records; else the number copied (at most `capacity`).
    // -1 for an unknown disk.
    virtual int GetDiskLayout(int diskNo, ParInfor* out, int capacity) = 0;
    // Cloning and wiping are not provided: these answer failure.
    virtual bool CopyDiskLayout(int srcDiskNo, int dstDiskNo, int mode) = 0;
    virtual int AddDiskCloneTask(int32_t a, int32_t b, int32_t c, int32_t d) = 0;
    virtual int AddDiskWipeTask(int32_t a, int32_t b) = 0;
    // Scans the partition for photos into a new, empty store. 0 or negative.
    virtual int RecoverPhotos(IPartition* partition, IEventSink* sink) = 0;
    // Scans the partition as RecoverPhotos does, saved as it runs into
    // `session` (not owned), whose photos the new store starts with and
    // whose choice of types it keeps. A finished session is not scanned
    // again (0 at once, no events); an unfinished one goes on where it was
    // saved. -1 without any event when the session is of another drive or
    // its photos cannot be read (the reason is logged).
    virtual int RecoverPhotosWithSession(IPartition* partition, IEventSink* sink, CScanSession* session) {
        (void)partition, (void)sink, (void)session;
        return -1;
    }
    // Replaces the store with the photos a session holds, without scanning:
    // 0, or -1 with the reason in `error` (the store is then empty).
    virtual int LoadSession(CScanSession* session, std::string& error) {
        (void)session;
        error = "not provided";
        return -1;
    }
    // The types and smallest size the next scans keep (default: everything).
    virtual void SetPhotoChoice(const PhotoChoice& choice) { (void)choice; }
    // With `out` null: the number of found photos of the category (0 before
    // any scan). Else the number of item pointers written from `first`.
    virtual int GetPhotoItems(int32_t category, int32_t first, int32_t count, PhotoItem** out) = 0;
    // Reads the photo's runs from the partition's disk into `buffer` (`size`
    // bytes): run bytes go to fileSector * 512; an item with inline data
    // gives those bytes instead. Runs without a place on the disk (holes)
    // read as zeros. 0 when every run was read; -1 for a null
    // argument, a short read, or a run that does not fit in the buffer (then
    // nothing is written past `size`).
    virtual int ReadPhotoData(PhotoItem* item, IPartition* partition, void* buffer, uint32_t size) = 0;
    // Destroys the store and the first pending task.
    virtual void RemovePendingTask() = 0;
    // Runs and destroys the pending tasks in order, stopping at the first
    // negative result. The result of the last task run, 0 when none ran.
    virtual int RunTasks(IEventSink* sink) = 0;
    // Destroys the store and every pending task.
    virtual void Clear() = 0;
};

class CTaskMgr : public ITaskMgr {
public:
    CTaskMgr() = default;
    ~CTaskMgr() override;
    CTaskMgr(const CTaskMgr&) = delete;
    CTaskMgr& operator=(const CTaskMgr&) = delete;

    int GetDiskCount() override;
    CDisk* GetDiskByIndex(uint32_t index) override;
    CDisk* GetDiskByNo(int diskNo) override;
    int GetDiskLayout(int diskNo, ParInfor* out, int capacity) override;
    bool CopyDiskLayout(int srcDiskNo, int dstDiskNo, int mode) override;
    int AddDiskCloneTask(int32_t a, int32_t b, int32_t c, int32_t d) override;
    int AddDiskWipeTask(int32_t a, int32_t b) override;
    int RecoverPhotos(IPartition* partition, IEventSink* sink) override;
    int RecoverPhotosWithSession(IPartition* partition, IEventSink* sink, CScanSession* session) override;
    int LoadSession(CScanSession* session, std::string& error) override;
    void SetPhotoChoice(const PhotoChoice& choice) override { m_choice = choice; }
    int GetPhotoItems(int32_t category, int32_t first, int32_t count, PhotoItem** out) override;
    int ReadPhotoData(PhotoItem* item, IPartition* partition, void* buffer, uint32_t size) override;
    void RemovePendingTask() override;
    int RunTasks(IEventSink* sink) override;
    void Clear() override;

    // The store the running scan fills; null before the first scan.
    IPhotoItmesMgr* GetPhotoItemsMgr() { return m_items.get(); }

private:
    std::list<std::unique_ptr<ITask>> m_tasks;
    std::unique_ptr<IPhotoItmesMgr> m_items;
    PhotoChoice m_choice;
};

// The process-wide task manager, created on first call.
ITaskMgr* GetTaskMgr();

// The disk's layout now: one record per partition, in the disk's order.
std::vector<ParInfor> CurrentDiskLayout(CDisk* disk);
