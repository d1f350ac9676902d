// The scan page's estimate of the time a step has left: the speed of the last
// half minute of progress, followed smoothly, so that the figure counts down
// steadily instead of jumping with every burst or stall of the disk.
#pragma once

#include <cstdint>
#include <deque>

class CRemainingTime {
public:
    // Seconds of the past the speed is measured over.
    static constexpr double kWindowSeconds = 30;
    // No estimate before a step has run this long.
    static constexpr double kSettleSeconds = 3;

    // One sample, once a second or so: seconds since the scan began and the
    // fraction of the current step done (0 to 1). A fraction below the one
    // before starts a new step, whose estimate starts afresh.
    void Add(double seconds, double fraction);
    // Whole seconds left, or -1 while there is nothing to estimate from.
    int64_t Seconds() const;

private:
    struct Sample {
        double seconds;
        double fraction;
    };
    std::deque<Sample> m_samples;  // the window, oldest first
    double m_stepStart = 0;
    bool m_started = false;
    double m_shown = -1;   // the estimate as last shown, seconds
    double m_shownAt = 0;  // when it was
};
