// The library's own log lines, filtered by Orvik::utilSystem::Logger's level.
#ifndef ORLOG_H
#define ORLOG_H

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>

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
    // Counts one occurrence; when its line is to be written, formats it into sz (past the first
    // 100 with " (N <what> so far)" after it) and answers true.
    bool Line(char* sz, size_t nSize, const char* pszWhat, const char* pszFormat, va_list ap)
        __attribute__((format(printf, 5, 0))) {
        uint64_t n = 0;
        if (!Take(&n)) return false;
        const int nLen = vsnprintf(sz, nSize, pszFormat, ap);
        if (n > c_nFirst && nLen >= 0 && static_cast<size_t>(nLen) < nSize)
            snprintf(sz + nLen, nSize - static_cast<size_t>(nLen), " (%llu %s so far)", static_cast<unsigned long long>(n),
                     pszWhat);
        return true;
    }

private:
    std::atomic<uint64_t> m_n{0};
};
}  // namespace OrLog

#endif
