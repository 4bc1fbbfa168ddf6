// Helpers of the tests of virtual cameras in one world: the scene as the docs tell it, a point
// on its surface, the world's encoder count behind a frame's field, a frame's points in the world
// through the camera's true transform, and the poses of the pairs the docs give.
#ifndef WORLD_FIXTURE_H
#define WORLD_FIXTURE_H

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <vector>

#include "vcam_fixture.h"

namespace worldtest {

// The scene as docs/virtual-camera.md tells it (belt x along the travel, y across).
inline double Scene(double x, double y) {
    x = std::fmod(x, 600.0);
    if (x < 0) x += 600.0;
    if (x >= 40 && x < 180 && y >= -120 && y < -20) return 30.0;
    const double r2 = (x - 260) * (x - 260) + (y - 60) * (y - 60);
    if (r2 < 3600.0) return 40.0 * std::sqrt(1.0 - r2 / 3600.0);
    if (x >= 320 && x < 560 && std::fabs(y) <= 150) return 25.0 * (x - 320) / 240.0;
    return 0.0;
}

// On the scene's surface within tol: the height lies between the lowest and highest scene
// heights of the neighbourhood, so that points on a face count too.
inline bool OnSurface(const double w[3], double tol) {
    double lo = 1e9, hi = -1e9;
    for (int i = -2; i <= 2; ++i)
        for (int j = -2; j <= 2; ++j) {
            const double h = Scene(w[1] + tol * i / 2.0, w[0] + tol * j / 2.0);
            lo = std::min(lo, h);
            hi = std::max(hi, h);
        }
    return w[2] >= lo - tol && w[2] <= hi + tol;
}

inline int64_t HostNow() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The full encoder count behind a frame's 29-bit field: the one nearest the world's count now.
inline int64_t FullCount(uint32_t nField) {
    const int64_t nNow = static_cast<int64_t>(static_cast<uint64_t>(HostNow()) / 1000000u);
    const int64_t nWrap = int64_t(1) << 29;
    int64_t n = nNow - ((nNow - static_cast<int64_t>(nField)) % nWrap + nWrap) % nWrap;
    if (nNow - n > nWrap / 2) n += nWrap;
    return n;
}

// A frame's points in the world frame through the camera's true transform.
inline std::vector<std::array<double, 3>> WorldPoints(const uint8_t* pLaser, const OrEyeTest::Pose& pose) {
    double R[9], t[3];
    OrEyeTest::PoseTransform(pose, R, t);
    const double dTravel = FullCount(DecodeTrailer(pLaser, 8).nEncoderOrAngle) / 10.0;
    std::vector<std::array<double, 3>> v;
    for (const DecodedPoint& p : DecodePoints(pLaser, 8, 0)) {
        const double c[3] = {p.x + dTravel, p.y, p.z};
        std::array<double, 3> w;
        for (int i = 0; i < 3; ++i) w[i] = R[3 * i] * c[0] + R[3 * i + 1] * c[1] + R[3 * i + 2] * c[2] + t[i];
        v.push_back(w);
    }
    return v;
}

struct Pair {
    const char* pszName;
    OrEyeTest::Pose a, b;
    bool bFacing;
};
// The poses docs/multi-camera.md gives.
inline const Pair c_aPairs[] = {
    {"Facing", {-272, 0, 350, -30}, {132, 0, 350, 30}, true},
    {"SideBySide", {-230, 0, 400, 0}, {90, 0, 400, 0}, false},
};

inline void PrintTo(const Pair& p, std::ostream* os) { *os << p.pszName; }

struct Seen {
    int nPoints = 0, nOff = 0, nTop = 0, nFaceLow = 0, nFaceHigh = 0;
    double dTopSum = 0, dFaceLowSum = 0, dFaceHighSum = 0, dMinX = 1e9, dMaxX = -1e9;
    void Add(const std::array<double, 3>& w) {
        ++nPoints;
        if (!OnSurface(w.data(), 0.3)) ++nOff;
        dMinX = std::min(dMinX, w[0]);
        dMaxX = std::max(dMaxX, w[0]);
        double bx = std::fmod(w[1], 600.0);
        if (bx < 0) bx += 600.0;
        if (bx < 45 || bx > 175) return;  // the box's long sides and top, away from its ends
        if (std::fabs(w[2] - 30.0) < 0.3 && w[0] > -119 && w[0] < -21) {
            ++nTop;
            dTopSum += w[2];
        } else if (w[2] > 2 && w[2] < 28 && std::fabs(w[0] + 120) < 0.5) {
            ++nFaceLow;
            dFaceLowSum += w[0];
        } else if (w[2] > 2 && w[2] < 28 && std::fabs(w[0] + 20) < 0.5) {
            ++nFaceHigh;
            dFaceHighSum += w[0];
        }
    }
};

}  // namespace worldtest

#endif
