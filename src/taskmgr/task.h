// A unit of work the task manager keeps pending and runs.
#pragma once

#include <cstdint>
#include <vector>

#include "io/partition.h"

class IEventSink;
class ITaskMgr;

class ITask {
public:
    virtual ~ITask() = default;
    // Prepares the task (tasks that change a disk's layout); -1 here.
    virtual int Do() { return -1; }
    // Runs the task, reporting through `sink`. 0 or negative; -1 here.
    virtual int Run(IEventSink* sink) {
        (void)sink;
        return -1;
    }

    int GetDiskNo() const { return m_diskNo; }
    int GetPartNo() const { return m_partNo; }
    const std::vector<ParInfor>& GetLayoutBefore() const { return m_layoutBefore; }
    // The disk's layout once the task has run.
    const std::vector<ParInfor>& GetLayoutAfter() const { return m_layoutAfter; }

protected:
    int32_t m_diskNo = -1;
    int32_t m_partNo = -1;  // -1 for a task on a whole disk
    std::vector<ParInfor> m_layoutBefore;
    std::vector<ParInfor> m_layoutAfter;
    ITaskMgr* m_taskMgr = nullptr;  // owns the task
};
