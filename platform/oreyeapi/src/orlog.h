// The library's own log lines, filtered by Orvik::utilSystem::Logger's level.
#ifndef ORLOG_H
#define ORLOG_H

#include <atomic>
#include <cstdint>

#include "oreyeapi.h"

namespace OrLog {
void Print(Orvik::utilSystem::LogLevel eLevel, const char* pszFormat, ...)
    __attribute__((format(printf, 2, 3)));

// A log line that a packet can cause, held to the first 100 times and then every 1000th (with
// the count), so that a flood of packets cannot flood the log. The library and the emulator use
// the same rule.
class CThrottle {
public:
    static constexpr uint64_t c_nFirst = 100;
    static constexpr uint64_t c_nEvery = 1000;
    // Counts one occurrence; true when its line is to be written, with *pnCount the count so far.
    bool Take(uint64_t* pnCount) {
        const uint64_t n = ++m_n;
        *pnCount = n;
        return n <= c_nFirst || n % c_nEvery == 0;
    }
    uint64_t Count() const { return m_n.load(); }

private:
    std::atomic<uint64_t> m_n{0};
};
}  // namespace OrLog

#endif
