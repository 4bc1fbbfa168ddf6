// A full raw laser frame for the benchmarks: 2047 points of a plausible scene (a line across a
// conveyor about 400 mm away), for the thousandths conversion (versions 1 to 8) or the
// disparity conversion (version 0), with the trailer's camera constants filled in.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "kxlasereyerecords.h"

namespace KxBench {

const int c_nFramePoints = 2047;
const uint32_t c_nFrameBytes = 32800;
const double c_dFocal = 1920.0;  // pixels
const double c_dCx = 768.0, c_dCy = 1024.0;

inline void PutLe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

inline uint32_t SignMag(int64_t v) {
    return v < 0 ? (0x80000000u | static_cast<uint32_t>(-v)) : static_cast<uint32_t>(v);
}

// bDisparity: raw values as a version-0 camera sends them (value = raw / h / -2).
inline std::vector<uint8_t> MakeFrame(bool bDisparity, uint32_t nVersion) {
    std::vector<uint8_t> frame(c_nFrameBytes, 0);
    for (int i = 0; i < c_nFramePoints; ++i) {
        const double dRow = 40.0 + i;  // one point per sensor row
        const double z = 400.0 - 30.0 * std::sin(i * 0.01) - (i % 300 < 60 ? 25.0 : 0.0);
        const double y = (dRow - c_dCy) / c_dFocal * z;
        const double x = 12.0 * std::cos(i * 0.003) + 0.5 * (i % 7);
        const int32_t h = static_cast<int32_t>(std::lround(c_dFocal * 60.0 / z * 256.0));
        uint8_t* rec = frame.data() + 16 * i;
        PutLe32(rec, static_cast<uint32_t>(h));
        auto raw = [&](double v) -> int64_t {
            return bDisparity ? -std::llround(v * 2.0) * h : std::llround(v * 1000.0);
        };
        PutLe32(rec + 4, SignMag(raw(z)));
        PutLe32(rec + 8, SignMag(raw(y)));
        PutLe32(rec + 12, SignMag(raw(x)));
    }
    uint8_t* t = frame.data() + 32768;
    PutLe32(t + 0, static_cast<uint32_t>(c_dCx * 1024));
    PutLe32(t + 4, static_cast<uint32_t>(c_dCy * 1024));
    PutLe32(t + 8, static_cast<uint32_t>(c_dFocal * 1024));
    if (nVersion >= 7) {
        PutLe32(t + 12, static_cast<uint32_t>(c_nFramePoints) << 20);
    } else {
        PutLe32(t + 16, static_cast<uint32_t>(c_nFramePoints));
    }
    return frame;
}

// Everything on: transform with a small rotation, the reference-X window, range filters on all
// three axes, mirroring, X offset. Nearly every point of MakeFrame passes, so that the work per
// frame stays that of a full frame.
inline SKxLaserResultAfterProcParam AllOnParams() {
    SKxLaserResultAfterProcParam p;
    const double a = 5.0 * 3.14159265358979 / 180.0;
    const double r[9] = {std::cos(a), 0.0, std::sin(a), 0.0, 1.0, 0.0, -std::sin(a), 0.0, std::cos(a)};
    p.bTransform = true;
    for (int i = 0; i < 9; ++i) p.adRotate[i] = r[i];
    p.dRefX = 30.0;
    p.dRefXRange = 200.0;
    p.dRefZ = 500.0;
    p.dScaleZ = 1.0;
    p.nFilterFlags = 0x1 | 0x10 | 0x200;  // keep Y and Z inside, drop an X band
    p.dYMin = -1000.0;
    p.dYMax = 1000.0;
    p.dZMin = -1000.0;
    p.dZMax = 1000.0;
    p.dXMin = 1000.0;
    p.dXMax = 1001.0;
    p.dXOffset = 2.5;
    p.nMirrorY = 1;
    return p;
}

// A short depth compensation table, as a device builds from its camera's data.
struct SCompEntry {
    float fFrom, fTo, fAdd;
};
inline std::vector<SCompEntry> CompTable() {
    return {{300.0f, 360.0f, 0.25f}, {360.0f, 385.0f, -0.125f}, {385.0f, 405.0f, 0.5f},
            {405.0f, 450.0f, -0.375f}};
}

const double c_adCoordOffset[3] = {1.5, -2.0, 0.5};

}  // namespace KxBench
