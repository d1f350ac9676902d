// The scan page's event sink: turns a scan's events into what the page shows,
// and stops the scan when asked.
#pragma once

#include <atomic>
#include <cstdint>

#include "volphotorev/operation.h"

class CDlgScan;

class CAnalyzeEventSink : public IEventSink {
public:
    explicit CAnalyzeEventSink(CDlgScan* page);

    // Runs on the scan thread. Answers -1 once the stop flag is set, else 0.
    int Notify(uint32_t code, int32_t value, void* data, uint32_t reserved) override;

    // From the user-interface thread: the scan stops at its next event.
    void SetStop() { m_stop.store(1); }
    bool IsStopped() const { return m_stop.load() != 0; }

    int64_t TotalUnits() const { return m_total; }
    int64_t DoneUnits() const { return m_done; }
    int FoundTotal() const { return m_found; }
    // How far the current step is, 0 to 1, finer than the bar; any thread.
    double StepFraction() const { return static_cast<double>(m_stepMillionths.load()) / 1e6; }

    // The bar position for a step's progress: done over total in percent,
    // truncated and kept within 2..99 (a step without a total stays at 2).
    // Only the end of a step or of the scan shows 100.
    static int ProgressPercent(int64_t done, int64_t total);

private:
    void SetBar(int position);

    CDlgScan* m_page;  // not owned
    std::atomic<uint8_t> m_stop{0};
    int64_t m_total = 0;
    int64_t m_done = 0;
    int m_found = 0;
    int m_bar = -1;  // last position given to the page
    int64_t m_freeSectors = -1;  // as the file system counts them, once known
    std::atomic<int64_t> m_stepMillionths{0};
};
