#include "cli/console_sink.h"

CConsoleSink::CConsoleSink(bool live, FILE* out, const std::atomic<bool>* stop)
    : m_live(live), m_out(out), m_stop(stop), m_start(std::time(nullptr)) {}

std::string CConsoleSink::ClockText(int64_t s) {
    if (s < 0) s = 0;
    const int64_t h = s / 3600 - (s / 86400) * 24;
    const int64_t m = s / 60 - (s / 3600) * 60;
    const int64_t sec = s - (s / 60) * 60;
    char text[80];
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld", static_cast<long long>(h), static_cast<long long>(m),
                  static_cast<long long>(sec));
    return text;
}

std::string CConsoleSink::ProgressText(int step, int steps, int percent, int found, int64_t elapsed) {
    std::string remaining = "calculating...";
    if (percent > 0) remaining = ClockText((100 - percent) * elapsed / percent);
    char text[256];
    std::snprintf(text, sizeof text, "step %d of %d %3d%%  found %d photo%s  elapsed %s  remaining %s", step, steps,
                  percent, found, found == 1 ? "" : "s", ClockText(elapsed).c_str(), remaining.c_str());
    return text;
}

int CConsoleSink::Notify(uint32_t code, int32_t value, void* data, uint32_t) {
    switch (code) {
    case INIT_TASK_COUNT:
        m_steps = value;
        break;
    case ALL_TASKS_FINISHED:
    case CURRENT_TASK_FINISHED:
        m_percent = 100;
        Draw(true);
        break;
    case CURRENT_TASK_START:
        ++m_step;
        if (m_step > m_steps) m_steps = m_step;
        break;
    case INIT_CURRENT_PROGRESS:
        m_total = data ? *static_cast<const int64_t*>(data) : 0;
        m_done = 0;
        m_percent = 2;
        Draw(true);
        break;
    case UPDATE_CURRENT_PROGRESS: {
        if (data) m_done += *static_cast<const int64_t*>(data);
        int p = 2;
        if (m_total > 0) {
            const double d = static_cast<double>(m_done) / static_cast<double>(m_total) * 100.0;
            p = d > 99.0 ? 99 : d < 2.0 ? 2 : static_cast<int>(d);
        }
        m_percent = p;
        Draw(false);
        break;
    }
    case PHOTO_FOUND:
        m_found += value;
        Draw(false);
        break;
    case DRIVE_FAILING:
        m_failing = true;
        if (m_out) {
            if (m_drawn) std::fputc('\n', m_out);
            std::fputs(kFailingDriveText, m_out);
            std::fflush(m_out);
        }
        break;
    default:
        break;
    }
    return Stopped() ? -1 : 0;
}

void CConsoleSink::Draw(bool force) {
    if (!m_live || !m_out) return;
    const std::time_t now = std::time(nullptr);
    // Once a second, or when the percentage moves.
    if (!force && now == m_lastDraw && m_percent == m_lastPercent) return;
    m_lastDraw = now;
    m_lastPercent = m_percent;
    const std::string line = ProgressText(m_step, m_steps, m_percent, m_found, static_cast<int64_t>(now - m_start));
    std::fprintf(m_out, "\r%s\033[K", line.c_str());
    std::fflush(m_out);
    m_drawn = true;
}

void CConsoleSink::Finish() {
    if (m_live && m_out && m_drawn) {
        Draw(true);
        std::fputc('\n', m_out);
        std::fflush(m_out);
    }
}
