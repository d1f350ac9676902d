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

private:
    CDlgScan* m_page;  // not owned
    std::atomic<uint8_t> m_stop{0};
};
