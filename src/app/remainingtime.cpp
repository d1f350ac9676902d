#include "app/remainingtime.h"

#include <algorithm>
#include <cmath>

void CRemainingTime::Add(double seconds, double fraction)
{
    fraction = std::clamp(fraction, 0.0, 1.0);
    // The first step began with the scan; a later one when the fraction
    // fell back.
    if (!m_started || (!m_samples.empty() && fraction < m_samples.back().fraction)) {
        m_samples.clear();
        m_stepStart = m_started ? seconds : std::min(seconds, 0.0);
        m_started = true;
        m_shown = -1;
    }
    m_samples.push_back({seconds, fraction});
    while (m_samples.size() > 2 && m_samples[1].seconds <= seconds - kWindowSeconds) m_samples.pop_front();

    const double running = seconds - m_stepStart;
    if (running < kSettleSeconds || fraction <= 0) return;
    // The window's speed; a window without progress (a stall, or a step
    // whose figure moves rarely) falls back to the step's average.
    const Sample& oldest = m_samples.front();
    double rate = 0;
    if (seconds - oldest.seconds >= kSettleSeconds && fraction > oldest.fraction)
        rate = (fraction - oldest.fraction) / (seconds - oldest.seconds);
    else
        rate = fraction / running;
    if (rate <= 0) return;
    const double measured = (1.0 - fraction) / rate;
    if (m_shown < 0) {
        m_shown = measured;
    } else {
        // What was shown, counted down since, moved an eighth of the way
        // towards what is measured now: a burst or a stall of a few seconds
        // moves it by a second or two, a lasting change of speed within
        // half a minute.
        const double counted = std::max(m_shown - (seconds - m_shownAt), 0.0);
        m_shown = counted + (measured - counted) / 8.0;
    }
    m_shownAt = seconds;
}

int64_t CRemainingTime::Seconds() const
{
    if (m_shown < 0) return -1;
    return static_cast<int64_t>(std::llround(std::min(m_shown, 1e12)));
}
