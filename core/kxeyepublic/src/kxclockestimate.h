// CKxClockEstimate: maps a camera's own frame time onto the host's steady clock with a running
// estimate of offset and drift, from the frames' time stamps against their arrival.
//
// The arrival of a frame is its camera time plus a delay that is never negative and varies
// (sending, the network, scheduling). The frames that came fastest show the fixed part of that
// delay best, so the estimate follows the lower edge of (arrival - camera time): the fastest
// frame of each bucket of camera time, and the line under all of them that lies highest at
// their mean time (the drift and the offset). What it maps to is "when a frame with no queueing delay would have
// arrived": the camera's own delay from exposure to sending and the shortest transfer stay in
// the offset; only hardware time sync could take them out.
#pragma once

#include <cstdint>
#include <mutex>

// By path: the device library's own class header has the same name.
#include "../../../include/kxlasereyedevice.h"

class CKxClockEstimate {
public:
    // Camera time spanned by one bucket, and how many buckets the line is fitted over.
    static const int64_t c_nBucketNs = 50000000;  // 50 ms
    static const int c_nBuckets = 200;            // 10 s
    // Drift is estimated once the buckets span this much camera time.
    static const int64_t c_nDriftSpanNs = 1000000000;  // 1 s

    CKxClockEstimate() { Reset(); }

    // Forgets everything: the camera time base starts again (a new capture).
    void Reset();

    // One frame: camera time in nanoseconds (any origin, increasing), arrival on the host's
    // steady clock in nanoseconds. Fills *pOut with the frame's host time from everything seen
    // so far, this frame included. Frames whose camera time goes back start the estimate anew.
    void Add(int64_t nCameraNs, int64_t nArrivalNs, SKxHostTime* pOut);

    // Maps a camera time with the current estimate (nState 0 when there is none).
    void Map(int64_t nCameraNs, int64_t nArrivalNs, SKxHostTime* pOut) const;

private:
    struct SBucket {
        int64_t nIndex;      // camera time / bucket length
        int64_t nCameraNs;   // the fastest frame of the bucket
        int64_t nDelayNs;    // its arrival - camera time
    };
    void Refit();

    mutable std::mutex m_mutex;
    SBucket m_asBuckets[c_nBuckets];
    int m_nFirst = 0, m_nCount = 0;
    int64_t m_nLastCameraNs = 0;
    uint64_t m_nSamples = 0;
    // host = m_nOriginNs + camera + m_dSlope * (camera - m_nPivotNs) + m_dIntercept
    int64_t m_nPivotNs = 0;
    double m_dSlope = 0, m_dIntercept = 0;
    double m_dSpreadNs = 0;  // how far above the line the buckets' fastest frames lie (median)
    double m_dSlopeErr = 0;  // standard error of the slope
    bool m_bDrift = false;
};
