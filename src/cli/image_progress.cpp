#include "cli/image_progress.h"

#include <cinttypes>

#include "cli/drivetext.h"

CConsoleImagingObserver::CConsoleImagingObserver(bool live, FILE* out, const std::atomic<bool>* stop)
    : m_live(live), m_out(out), m_stop(stop) {}

std::string CConsoleImagingObserver::RateText(double bps) {
    if (bps < 0) bps = 0;
    char text[48];
    if (bps >= 1e6) std::snprintf(text, sizeof text, "%.1f MB/s", bps / 1e6);
    else if (bps >= 1e3) std::snprintf(text, sizeof text, "%.1f kB/s", bps / 1e3);
    else std::snprintf(text, sizeof text, "%.0f B/s", bps);
    return text;
}

std::string CConsoleImagingObserver::ProgressText(const ImagingProgress& p) {
    const int percent = p.size ? static_cast<int>(static_cast<double>(p.rescued) * 100.0 / static_cast<double>(p.size))
                               : 0;
    char text[320];
    std::snprintf(text, sizeof text, "%s pass %d  %s of %s (%d%%)  bad areas %" PRIu64 " (%s)  %s  last good read %.0f s ago",
                  ImagingPhaseName(p.phase), p.pass, FormatSizeText(static_cast<int64_t>(p.rescued)).c_str(),
                  FormatSizeText(static_cast<int64_t>(p.size)).c_str(), percent, p.badAreas,
                  FormatSizeText(static_cast<int64_t>(p.badBytes)).c_str(), RateText(p.rate).c_str(),
                  p.sinceGoodRead);
    return text;
}

int CConsoleImagingObserver::OnProgress(const ImagingProgress& p) {
    // Twice a second is enough for a person.
    if (m_live && m_out && (m_lastDraw < 0 || p.elapsed - m_lastDraw >= 0.5 || p.phase == MAP_FINISHED)) {
        m_lastDraw = p.elapsed;
        std::fprintf(m_out, "\r%s\033[K", ProgressText(p).c_str());
        std::fflush(m_out);
        m_drawn = true;
    }
    return (m_stop && m_stop->load()) ? -1 : 0;
}

void CConsoleImagingObserver::Finish() {
    if (m_live && m_out && m_drawn) {
        std::fputc('\n', m_out);
        std::fflush(m_out);
    }
}
