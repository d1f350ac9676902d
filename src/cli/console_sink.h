// The command line's event sink: counts photos and, on a terminal, keeps a
// live progress line on standard error.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

#include "volphotorev/operation.h"

// Said once when the scan's reads fail so often that the drive seems to die.
inline const char* const kFailingDriveText =
    "lumivista-cli: warning: many reads fail: this drive seems to be failing, and every read may make it "
    "worse. Stop the scan (Ctrl-C), copy the drive first with 'lumivista-cli image', then scan the copy.\n";

class CConsoleSink : public IEventSink {
public:
    // `live`: draw the progress line on `out` (a terminal); otherwise silent.
    // `stop`: answered as a stop request once set (Ctrl-C); may be null.
    CConsoleSink(bool live, FILE* out, const std::atomic<bool>* stop);

    int Notify(uint32_t code, int32_t value, void* data, uint32_t reserved) override;
    // Ends the progress line.
    void Finish();

    int Found() const { return m_found; }
    // Bar position 0..100, as the scan page computes it.
    int Percent() const { return m_percent; }
    int Steps() const { return m_steps; }
    bool Stopped() const { return m_stop && m_stop->load(); }
    // True once the scan said the drive seems to be failing.
    bool DriveFailing() const { return m_failing; }

    // "hh:mm:ss", the hours counted within the day.
    static std::string ClockText(int64_t seconds);
    // The progress line for the given state; a remaining time is shown only
    // once the bar has moved.
    static std::string ProgressText(int step, int steps, int percent, int found, int64_t elapsed);

private:
    void Draw(bool force);

    bool m_live;
    FILE* m_out;
    const std::atomic<bool>* m_stop;
    std::time_t m_start;
    std::time_t m_lastDraw = 0;
    int m_lastPercent = -1;
    bool m_drawn = false;
    int64_t m_total = 0;  // units of the current step
    int64_t m_done = 0;
    int m_percent = 0;
    int m_found = 0;
    int m_step = 0;
    int m_steps = 0;
    bool m_failing = false;
};
