#include "app/analyzeeventsink.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "app/dlgscan.h"
#include "app/drivetext.h"
#include "io/log.h"
#include "io/partition.h"

CAnalyzeEventSink::CAnalyzeEventSink(CDlgScan* page) : m_page(page) {}

int CAnalyzeEventSink::ProgressPercent(int64_t done, int64_t total)
{
    if (total <= 0) return 2;
    const double percent = std::trunc(static_cast<double>(done) / static_cast<double>(total) * 100.0);
    if (percent > 99) return 99;
    if (percent < 2) return 2;
    return static_cast<int>(percent);
}

void CAnalyzeEventSink::SetBar(int position)
{
    // Progress comes far more often than the bar can move.
    if (position == m_bar) return;
    m_bar = position;
    if (m_page) m_page->SetProgress(position);
}

int CAnalyzeEventSink::Notify(uint32_t code, int32_t value, void* data, uint32_t)
{
    switch (code) {
    case ALL_TASKS_FINISHED:
        SetBar(100);
        break;
    case CURRENT_TASK_START:
        if (data && m_page) {
            auto* partition = static_cast<IPartition*>(data);
            // A volume mounted here has the system's figure; otherwise the
            // file system's own count comes once it has been read, and a
            // partition without one has no free space to tell.
            QString freeSpace;
            if (m_freeSectors >= 0)
                freeSpace = FormatSizeText(SectorsToBytes(static_cast<uint64_t>(m_freeSectors)));
            else if (!partition->GetDriveRoot().empty())
                freeSpace = FormatSizeText(SectorsToBytes(partition->GetFreeSec()));
            else
                freeSpace = QStringLiteral("Unknown");
            m_page->SetDriveInfo(
                QStringLiteral("Capacity: %1").arg(FormatSizeText(SectorsToBytes(partition->GetLen()))),
                QStringLiteral("File System: %1").arg(GetFsTypeName(partition->GetFs())),
                QStringLiteral("Free Space: %1").arg(freeSpace));
        }
        break;
    case FREE_SECTORS_KNOWN:
        if (data) {
            m_freeSectors = std::max<int64_t>(*static_cast<const int64_t*>(data), 0);
            if (m_page)
                m_page->SetFreeSpace(QStringLiteral("Free Space: %1")
                                         .arg(FormatSizeText(SectorsToBytes(static_cast<uint64_t>(m_freeSectors)))));
        }
        break;
    case CURRENT_TASK_FINISHED:
        LV_LOG(LOG_WARNING, "%s", "Current Task Finish!\n");
        m_stepMillionths.store(1000000);
        SetBar(100);
        break;
    case INIT_CURRENT_PROGRESS:
        m_total = data ? *static_cast<const int64_t*>(data) : 0;
        m_done = 0;
        m_stepMillionths.store(0);
        SetBar(2);
        break;
    case UPDATE_CURRENT_PROGRESS:
        if (data && __builtin_add_overflow(m_done, *static_cast<const int64_t*>(data), &m_done))
            m_done = INT64_MAX;
        if (m_total > 0)
            m_stepMillionths.store(static_cast<int64_t>(
                std::clamp(static_cast<double>(m_done) / static_cast<double>(m_total), 0.0, 1.0) * 1e6));
        SetBar(ProgressPercent(m_done, m_total));
        break;
    case PHOTO_FOUND:
        m_found += value;
        if (m_page) m_page->SetFoundCount(m_found);
        break;
    case DRIVE_FAILING:
        if (m_page) m_page->ShowDriveFailing();
        break;
    default:
        break;
    }
    return IsStopped() ? -1 : 0;
}
