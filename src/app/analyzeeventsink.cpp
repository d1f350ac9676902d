#include "app/analyzeeventsink.h"

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
            m_page->SetDriveInfo(
                QStringLiteral("Capacity: %1").arg(FormatSizeText(SectorsToBytes(partition->GetLen()))),
                QStringLiteral("File System: %1").arg(GetFsTypeName(partition->GetFs())),
                QStringLiteral("Free Space: %1").arg(FormatSizeText(SectorsToBytes(partition->GetFreeSec()))));
        }
        break;
    case CURRENT_TASK_FINISHED:
        LV_LOG(LOG_WARNING, "%s", "Current Task Finish!\n");
        SetBar(100);
        break;
    case INIT_CURRENT_PROGRESS:
        m_total = data ? *static_cast<const int64_t*>(data) : 0;
        m_done = 0;
        SetBar(2);
        break;
    case UPDATE_CURRENT_PROGRESS:
        if (data && __builtin_add_overflow(m_done, *static_cast<const int64_t*>(data), &m_done))
            m_done = INT64_MAX;
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
