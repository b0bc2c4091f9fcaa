#pragma once

#include <algorithm>
#include <mutex>

#include "ISimClock.h"

namespace simtest {

// A clock that only the test moves on. A wait moves it on too, at once: to the time waited for, or
// by the time-out when that comes first (taken as simulated time: the time scale is ignored). So
// motion tests never sleep, and every time they see is exact.
class CManualSimClock final : public simstage::ISimClock {
public:
    double NowS() override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_nowS;
    }
    void SetTimeScale(double) override {}
    void WaitUntil(double untilS, std::uint32_t timeoutMs) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const double limitS = timeoutMs == simstage::c_noTimeLimit ? untilS : m_nowS + timeoutMs / 1000.0;
        m_nowS = std::max(m_nowS, std::min(untilS, limitS));
    }
    void Advance(double seconds)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_nowS += seconds;
    }

private:
    std::mutex m_mutex;
    double m_nowS = 0.0;
};

} // namespace simtest
