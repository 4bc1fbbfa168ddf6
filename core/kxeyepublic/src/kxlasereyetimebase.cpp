// Per-version time base of the laser eye frames.
#include "kxkernel.h"
#include "kxlasereyeinnerutils.h"

// Versions 3 to 8 wrap at the largest raw value of their time-stamp field (2^n - 1); versions
// 0 to 2 use the whole 32-bit word but wrap at 2147483647. Counter wraps are 2^n.
const SKxLaserEyeTimeBase KxLaserEyeTimeBase[c_nKxLaserEyeTimeBaseCount] = {
    {0, 2147483647, 8.5e-9},  // 0
    {0, 2147483647, 1e-8},    // 1
    {0, 2147483647, 1e-8},    // 2
    {256, 8388607, 1e-6},     // 3
    {4096, 524287, 1e-5},     // 4
    {4096, 524287, 1e-5},     // 5
    {4096, 524287, 1e-5},     // 6
    {4096, 536870911, 1e-5},  // 7
    {4096, 536870911, 1e-5},  // 8
};

namespace {
const SKxLaserEyeTimeBase* FindTimeBase(int nVersion, const char* pszCaller) {
    if (nVersion < 0 || nVersion >= c_nKxLaserEyeTimeBaseCount) {
        KxLogUtils::PrintLog(c_nKxLogError, "%s Invalid Version %d", pszCaller, nVersion);
        return nullptr;
    }
    return &KxLaserEyeTimeBase[nVersion];
}
}  // namespace

int32_t GetFrameCounterRange(int nVersion) {
    const SKxLaserEyeTimeBase* p = FindTimeBase(nVersion, "GetFrameCounterRange");
    return p ? p->nFrameCounterRange : 0;
}

int32_t GetTimeStampRange(int nVersion) {
    const SKxLaserEyeTimeBase* p = FindTimeBase(nVersion, "GetTimeStampRange");
    return p ? p->nTimeStampRange : 0;
}

double GetTimeStampTick(int nVersion) {
    const SKxLaserEyeTimeBase* p = FindTimeBase(nVersion, "GetTimeStampTick");
    return p ? p->dTickSeconds : 0.0;
}
