// The command line's view of an imaging: a live progress line on a terminal,
// a stop on Ctrl-C, and the closing summary.
#pragma once

#include <atomic>
#include <cstdio>
#include <string>

#include "taskmgr/diskimaging.h"

class CConsoleImagingObserver : public IImagingObserver {
public:
    // `live`: draw the progress line on `out` (a terminal). `stop`: answered
    // as a stop request once set; may be null.
    CConsoleImagingObserver(bool live, FILE* out, const std::atomic<bool>* stop);
    int OnProgress(const ImagingProgress& p) override;
    // Ends the progress line.
    void Finish();

    // "Copying pass 1  1.50 MB of 4.00 MB (37%)  bad areas 2 (4.00 KB)  12.0 MB/s  last good read 0 s ago"
    static std::string ProgressText(const ImagingProgress& p);
    // "2.00 MB/s", "512 B/s".
    static std::string RateText(double bytesPerSecond);

private:
    bool m_live;
    FILE* m_out;
    const std::atomic<bool>* m_stop;
    double m_lastDraw = -1;
    bool m_drawn = false;
};
