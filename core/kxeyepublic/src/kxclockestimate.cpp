#include "kxclockestimate.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <utility>
#include <vector>

void CKxClockEstimate::Reset() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_nFirst = m_nCount = 0;
    m_nLastCameraNs = 0;
    m_nSamples = 0;
    m_nPivotNs = 0;
    m_dSlope = m_dIntercept = m_dSpreadNs = m_dSlopeErr = 0;
    m_bDrift = false;
}

void CKxClockEstimate::Add(int64_t nCameraNs, int64_t nArrivalNs, SKxHostTime* pOut) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_nSamples > 0 && nCameraNs < m_nLastCameraNs) {
            // The camera's clock went back (a restarted camera): the old line says nothing now.
            m_nFirst = m_nCount = 0;
            m_nSamples = 0;
            m_bDrift = false;
        }
        m_nLastCameraNs = nCameraNs;
        ++m_nSamples;
        const int64_t nIndex = nCameraNs / c_nBucketNs;
        const int64_t nDelay = nArrivalNs - nCameraNs;
        SBucket* pLast = m_nCount ? &m_asBuckets[(m_nFirst + m_nCount - 1) % c_nBuckets] : nullptr;
        if (pLast && pLast->nIndex == nIndex) {
            if (nDelay < pLast->nDelayNs) {
                pLast->nCameraNs = nCameraNs;
                pLast->nDelayNs = nDelay;
            }
        } else {
            if (m_nCount == c_nBuckets) {
                m_nFirst = (m_nFirst + 1) % c_nBuckets;
                --m_nCount;
            }
            m_asBuckets[(m_nFirst + m_nCount) % c_nBuckets] = SBucket{nIndex, nCameraNs, nDelay};
            ++m_nCount;
        }
        Refit();
    }
    Map(nCameraNs, nArrivalNs, pOut);
}

void CKxClockEstimate::Refit() {
    // In coordinates around the newest bucket, so that nanoseconds since boot keep their
    // precision in doubles.
    const SBucket& newest = m_asBuckets[(m_nFirst + m_nCount - 1) % c_nBuckets];
    const SBucket& oldest = m_asBuckets[m_nFirst];
    m_nPivotNs = newest.nCameraNs;
    const int64_t nBase = newest.nDelayNs;
    m_bDrift = m_nCount >= 3 && newest.nCameraNs - oldest.nCameraNs >= c_nDriftSpanNs;
    // The drift: the line under every bucket's fastest frame that lies highest at their mean
    // time (it minimises the summed distance above it), i.e. the edge of their lower convex
    // hull over that mean. Unlike a least-squares fit it does not tilt when the delay's floor
    // steps up for a while (bigger frames, a busier host): only the lower edge decides.
    double dSlope = 0;
    if (m_bDrift) {
        std::vector<std::pair<double, double>> vecHull;
        vecHull.reserve(static_cast<size_t>(m_nCount));
        double dMeanX = 0;
        for (int i = 0; i < m_nCount; ++i) {
            const SBucket& b = m_asBuckets[(m_nFirst + i) % c_nBuckets];
            const double x = static_cast<double>(b.nCameraNs - m_nPivotNs);
            const double y = static_cast<double>(b.nDelayNs - nBase);
            dMeanX += x;
            // Buckets come in camera-time order, each later than the last: a monotone chain
            // keeps the lower hull.
            while (vecHull.size() >= 2) {
                const std::pair<double, double>& a = vecHull[vecHull.size() - 2];
                const std::pair<double, double>& h = vecHull.back();
                if ((h.first - a.first) * (y - a.second) - (h.second - a.second) * (x - a.first) > 0) break;
                vecHull.pop_back();
            }
            vecHull.emplace_back(x, y);
        }
        dMeanX /= m_nCount;
        for (size_t k = 0; k + 1 < vecHull.size(); ++k) {
            if (vecHull[k + 1].first >= dMeanX || k + 2 == vecHull.size()) {
                dSlope = (vecHull[k + 1].second - vecHull[k].second) / (vecHull[k + 1].first - vecHull[k].first);
                break;
            }
        }
    }
    const double n = m_nCount;
    // Laid under the fastest frames: the line touches the lowest of them.
    double dLow = 0;
    bool bFirst = true;
    std::vector<double> vecAbove;
    vecAbove.reserve(static_cast<size_t>(m_nCount));
    for (int i = 0; i < m_nCount; ++i) {
        const SBucket& b = m_asBuckets[(m_nFirst + i) % c_nBuckets];
        const double r = static_cast<double>(b.nDelayNs - nBase) - dSlope * static_cast<double>(b.nCameraNs - m_nPivotNs);
        if (bFirst || r < dLow) dLow = r;
        bFirst = false;
        vecAbove.push_back(r);
    }
    for (double& r : vecAbove) r -= dLow;
    std::nth_element(vecAbove.begin(), vecAbove.begin() + static_cast<long>(vecAbove.size() / 2), vecAbove.end());
    m_dSpreadNs = vecAbove[vecAbove.size() / 2];
    m_dSlope = dSlope;
    m_dIntercept = static_cast<double>(nBase) + dLow;
    // The slope's standard error from the scatter about the line, over the camera time spanned.
    m_dSlopeErr = 0;
    if (m_bDrift && m_nCount > 2) {
        double dSse = 0, dSx = 0, dSxx = 0;
        for (int i = 0; i < m_nCount; ++i) {
            const SBucket& b = m_asBuckets[(m_nFirst + i) % c_nBuckets];
            const double x = static_cast<double>(b.nCameraNs - m_nPivotNs);
            const double r = static_cast<double>(b.nDelayNs) - m_dIntercept - dSlope * x - m_dSpreadNs;
            dSse += r * r;
            dSx += x;
            dSxx += x * x;
        }
        const double dSxxCentred = dSxx - dSx * dSx / n;
        if (dSxxCentred > 0) m_dSlopeErr = std::sqrt(dSse / (n - 2) / dSxxCentred);
    }
}

void CKxClockEstimate::Map(int64_t nCameraNs, int64_t nArrivalNs, SKxHostTime* pOut) const {
    if (pOut == nullptr) return;
    std::lock_guard<std::mutex> lock(m_mutex);
    SKxHostTime t{};
    t.nArrivalNs = nArrivalNs;
    if (m_nCount == 0) {
        t.nHostNs = nArrivalNs;
        t.nState = 0;
    } else {
        const double x = static_cast<double>(nCameraNs - m_nPivotNs);
        t.nHostNs = nCameraNs + static_cast<int64_t>(std::llround(m_dIntercept + m_dSlope * x));
        t.nState = m_bDrift ? 2 : 1;
        t.nDriftPpb = static_cast<int32_t>(std::llround(std::max(-2e9, std::min(2e9, m_dSlope * 1e9))));
        t.nSamples = static_cast<uint32_t>(std::min<uint64_t>(m_nSamples, 0xFFFFFFFFu));
        // Typical scatter of the fastest frames above the line, plus what the slope's error makes
        // of the distance from the newest bucket.
        const double dUnc = m_dSpreadNs + m_dSlopeErr * std::fabs(x);
        t.nUncertaintyNs = static_cast<uint32_t>(std::min(dUnc, 4.0e9));
    }
    // The same instant on the wall clock, through the steady clock's distance from now.
    const int64_t nSteadyNow = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count();
    const int64_t nSystemNowUs = std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count();
    t.nSystemUs = nSystemNowUs - (nSteadyNow - t.nHostNs) / 1000;
    *pOut = t;
}
