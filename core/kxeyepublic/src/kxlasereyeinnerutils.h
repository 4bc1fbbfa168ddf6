// Laser inner utilities: the raw frame layout, point decoding with after-processing, the
// extended trailer, export of a frame, and the per-version counter and time-stamp tables.
// Pure computation over memory; nothing here talks to a camera.
#pragma once

#include <cstdint>

// One entry of the depth compensation table: a point whose Z lies in [fFrom, fTo) gets fAdd
// added. The device builds the table at open; result blocks share it without copying.
struct SKxCompensateEntry {
    float fFrom;
    float fTo;
    float fAdd;
};
static_assert(sizeof(SKxCompensateEntry) == 12, "compensation entry is 12 bytes");

// Per-version time base: counter wrap, time-stamp wrap and the length of one time-stamp tick.
// A raw value smaller than its predecessor has wrapped; the step is then
// wrap + current - previous.
struct SKxLaserEyeTimeBase {
    int32_t nFrameCounterRange;  // counter wrap (2^n; 0: the counter does not wrap by a range)
    int32_t nTimeStampRange;     // time-stamp wrap (largest raw value of the field)
    double dTickSeconds;         // seconds per time-stamp tick
};

// Number of entries of KxLaserEyeTimeBase: hardware versions 0 to 8.
static const int c_nKxLaserEyeTimeBaseCount = 9;

// Indexed by hardware version 0 to 8.
extern const SKxLaserEyeTimeBase KxLaserEyeTimeBase[c_nKxLaserEyeTimeBaseCount];

// Counter wrap of the version; 0 for a version outside 0 to 8 (a caller error, logged).
int32_t GetFrameCounterRange(int nVersion);
// Time-stamp wrap of the version; 0 for a version outside 0 to 8 (a caller error, logged).
int32_t GetTimeStampRange(int nVersion);
// Seconds per time-stamp tick of the version; 0.0 for a version outside 0 to 8.
double GetTimeStampTick(int nVersion);
