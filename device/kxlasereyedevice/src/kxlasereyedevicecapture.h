// Pieces of the capture pipeline shared by the push road (kxlasereyedeviceframe.cpp, the
// camera library's thread) and the application-side operations (kxlasereyedevicecapture.cpp).
#pragma once

#include <cstdint>

#include "kxlasereyedevice.h"

namespace KxCaptureUtils {

// Raw per-frame words of the laser trailer, read once.
struct SKxFrameWords {
    uint32_t nTimestamp;     // raw timestamp, packed per hardware version
    uint32_t nCounter;       // raw frame counter (0 for versions 0 to 2)
    uint32_t nEncoderTimer;  // trailer word 4 bits 0-28
    uint32_t nWord6Value;    // trailer word 6 bits 0-28 (0-18 below version 7): swing angle or encoder count
    bool bTriggerOn;         // trigger status of the frame
};

// Reads the words above from a whole laser part (32800 bytes).
SKxFrameWords ReadFrameWords(const uint8_t* pLaser, uint32_t nVersion);

// Moves the cached ROIs to the left edges the frame reports (versions 5 and above): the left
// ROI keeps its width, the right ROI takes the left ROI's width. The caller holds
// m_frameStateMutex.
void FollowROI(CKxLaserEyeDevice& dev, const uint8_t* pLaser);

// Adds one frame to the per-capture sums and answers the frame's time in microseconds and its
// 64-bit index. bPush selects the push road's rules (the first frame's time from the encoder
// timer, the jump check); the pull road only stores the first frame's raw values. The caller
// holds m_frameStateMutex.
void AdvanceContinuity(CKxLaserEyeDevice& dev, const SKxFrameWords& words, uint32_t nEncoderTimer,
                       bool bPush, uint64_t* pnTimeUs, uint64_t* pnFrameIndex);

// Ticks to microseconds, rounded half away from zero.
uint64_t TicksToMicroseconds(uint64_t nTicks, uint32_t nVersion);

// Resets the per-capture members; the caller holds m_frameStateMutex.
void ResetContinuity(CKxLaserEyeDevice& dev);

// True while the calling thread is inside the device's frame-event function (an application
// callback that stops the capture must not wait for itself).
bool IsInFrameEvent();

// Waits until no frame is being built (bBuildingOnly) or handled at all. Answers false when the
// frames did not drain within the bound (a callback that never returns).
bool WaitFramesDrained(CKxLaserEyeDevice& dev, bool bBuildingOnly);

}  // namespace KxCaptureUtils
