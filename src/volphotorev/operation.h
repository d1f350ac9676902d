// Long-running work on a partition and the sink that watches it.
#pragma once

#include <cstdint>

enum EventCode : uint32_t {
    INIT_TASK_COUNT = 0,          // value: number of steps
    ALL_TASKS_FINISHED = 1,
    CURRENT_TASK_START = 2,       // data: the IPartition worked on
    CURRENT_TASK_FINISHED = 3,
    INIT_CURRENT_PROGRESS = 5,    // data: int64_t* total units of this step
    UPDATE_CURRENT_PROGRESS = 6,  // data: int64_t* units done since the previous report
    CURRENT_FILE_NAME = 8,        // data: zero-terminated char16_t name
    RESERVED_FILE_NAME = 9,       // data: zero-terminated char16_t string
    CREATE_VSS = 11,
    QUERY_VSS = 12,
    PHOTO_FOUND = 13,             // value: photos just stored (1; a resumed scan first reports those saved before)
    DRIVE_FAILING = 14,           // value: failed reads so far; sent once per scan when reads
                                  // fail so often that the drive seems to be dying
    FREE_SECTORS_KNOWN = 15,      // data: int64_t* sectors the file system marks free
    RAW_SCAN_POSITION = 16,       // data: const RawScanPosition*, a point the raw scan could go
                                  // on from; sent after each progress report and at the end
};

// A point a raw scan can go on from and give the same photos as if it had
// never stopped: every photo that starts before `next` has been found (and
// stored or left out) and every photo found so far starts before it. A scan
// resumed there looks at no sector before `next`, nor before `skipUntil`,
// and numbers its photos on from `photosFound`.
struct RawScanPosition {
    int64_t next = 0;          // sector, 0 <= next <= the partition's sectors
    int64_t skipUntil = 0;     // sectors before it belong to a whole photo already stored
    int64_t photosFound = 0;   // photos named so far, those left out by the choice of types too
    int64_t photosStored = 0;  // of which the store kept this many
};

class IEventSink {
public:
    virtual ~IEventSink() = default;
    // Handles the event, then answers 0 to go on or a negative value to stop.
    // `data` is valid only during the call.
    virtual int Notify(uint32_t code, int32_t value, void* data, uint32_t reserved) = 0;
};

class IOperation {
public:
    // Runs the whole operation once. 0 when it ran to its end, negative when
    // it failed or was stopped. `sink` must not be null.
    virtual int Do(IEventSink* sink) = 0;
    // Destroys the operation.
    virtual void Release() { delete this; }

protected:
    virtual ~IOperation() = default;
};
