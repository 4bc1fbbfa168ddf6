// The virtual camera's frames: the scene (a conveyor carrying a few shapes through the laser
// plane), point records, trailer words per hardware version, images, and the streaming road
// with its bounded pool of frame buffers.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>

#include "orlog.h"
#include "orvirtualcamera.h"

using Orvik::utilSystem::LogLevel_Debug;
using Orvik::utilSystem::LogLevel_Info;

namespace {
const double c_dBeltSpeed = 100.0;      // mm per second
const double c_dCountsPerMm = 10.0;     // encoder counts per mm of travel
const double c_dLaserX = -150.0;        // laser origin beside the camera, mm
const double c_dScenePeriod = 600.0;    // the shapes repeat every this many mm of travel
const double c_dTallest = 40.0;         // height of the tallest shape (the dome), mm
const uint8_t c_nBackground = 16;
const uint8_t c_nLine = 255;

struct STimeBase {
    uint32_t nCounterWrap, nTimestampWrap;
    double dTick;
};
const STimeBase c_asTimeBase[9] = {
    {0, 2147483647u, 8.5e-9}, {0, 2147483647u, 1e-8}, {0, 2147483647u, 1e-8},
    {256, 8388607u, 1e-6},    {4096, 524287u, 1e-5},  {4096, 524287u, 1e-5},
    {4096, 524287u, 1e-5},    {4096, 536870911u, 1e-5}, {4096, 536870911u, 1e-5}};

// Height of the scene above the belt at belt position x (along the travel) and y (across).
double SceneHeight(double dX, double dY) {
    double x = std::fmod(dX, c_dScenePeriod);
    if (x < 0) x += c_dScenePeriod;
    if (x >= 40 && x < 180 && dY >= -120 && dY < -20) return 30.0;  // box
    const double dR2 = (x - 260) * (x - 260) + (dY - 60) * (dY - 60);
    if (dR2 < 60.0 * 60.0) return 40.0 * std::sqrt(1.0 - dR2 / 3600.0);  // dome
    if (x >= 320 && x < 560 && std::fabs(dY) <= 150) return 25.0 * (x - 320) / 240.0;  // ramp
    return 0.0;
}

// Depth (distance from the camera) at which the laser, travelling down its plane along the
// sensor row's ray (Y = v x depth), first meets the scene: belt, shape tops and shape faces.
// Steps from above the tallest shape to the depth the scene shows below the current point
// while that point is in the air, and closes in on a face by halving once it is inside a shape,
// so that a top is found up to its edges and a face where the line climbs it.
double SurfaceDepth(double dBelt, double dTanA, double v, double dTravel) {
    auto surface = [&](double z) { return dBelt - SceneHeight(c_dLaserX + z * dTanA + dTravel, v * z); };
    double zAir = dBelt - c_dTallest - 1.0;  // above every shape: in the air
    double z = zAir;
    for (int k = 0; k < 16; ++k) {
        const double dSurface = surface(z);
        if (z >= dSurface) break;
        zAir = z;
        z = dSurface;
    }
    if (z <= surface(z) + 1e-9) return z;
    // Inside a shape: its face lies between the last point in the air and this one.
    double zIn = z;
    for (int k = 0; k < 40 && zIn - zAir > 1e-6; ++k) {
        const double zMid = 0.5 * (zAir + zIn);
        if (zMid >= surface(zMid)) zIn = zMid;
        else zAir = zMid;
    }
    return zIn;
}

// A posed camera's frame in the world: w = R c + t (the camera's cloud at travel 0).
struct SPoseFrame {
    double r[9];
    double t[3];
};
SPoseFrame PoseFrame(const SOrPose& p) {
    SPoseFrame f;
    const OrEyeTest::Pose q{p.dX, p.dY, p.dZ, p.dRoll};
    OrEyeTest::PoseTransform(q, f.r, f.t);
    return f;
}

const double c_dMaxDepth = 3000.0;  // lines that meet the belt farther give no point

// First entry of the line p(Z) = p0 + Z d into the convex solid {p : n_i . p <= c_i}, or a
// negative value when the line misses it.
double EnterConvex(const double p0[3], const double d[3], const double (*an)[4], int nPlanes) {
    double zIn = -1e300, zOut = 1e300;
    for (int i = 0; i < nPlanes; ++i) {
        const double nd = an[i][0] * d[0] + an[i][1] * d[1] + an[i][2] * d[2];
        const double rest = an[i][3] - (an[i][0] * p0[0] + an[i][1] * p0[1] + an[i][2] * p0[2]);
        if (nd == 0.0) {
            if (rest < 0.0) return -1.0;
        } else if (nd < 0.0) {
            zIn = std::max(zIn, rest / nd);
        } else {
            zOut = std::min(zOut, rest / nd);
        }
    }
    return zIn <= zOut ? zIn : -1.0;
}

// For a camera standing at a pose: the depth at which the line of sensor row v in the laser
// plane (camera X = laser x + depth x tan a, camera Y = v x depth) first meets the scene coming
// down from above: the belt, a top, or a face it runs into. The shapes are convex solids (box,
// half an ellipsoid, a wedge), so the line meets each exactly; the scene repeats along the
// travel and only the periods the line passes over count. False when the line never comes down
// to the belt within reach (it points sideways or up).
bool PosedSurfaceDepth(const SPoseFrame& f, double dTanA, double v, double dTravel, double* pdZ) {
    // The line in belt coordinates (x along the travel, y across, height): p0 + Z d.
    const double c0[3] = {c_dLaserX, 0.0, 0.0}, cd[3] = {dTanA, v, 1.0};
    double w0[3], wd[3];
    for (int i = 0; i < 3; ++i) {
        w0[i] = f.r[3 * i] * c0[0] + f.r[3 * i + 1] * c0[1] + f.r[3 * i + 2] * c0[2] + f.t[i];
        wd[i] = f.r[3 * i] * cd[0] + f.r[3 * i + 1] * cd[1] + f.r[3 * i + 2] * cd[2];
    }
    const double p0[3] = {w0[1] + dTravel, w0[0], w0[2]}, d[3] = {wd[1], wd[0], wd[2]};
    if (d[2] > -1e-6) return false;
    const double zBelt = -p0[2] / d[2];
    if (zBelt > c_dMaxDepth || zBelt <= 0.0) return false;
    const double zTop = std::max((c_dTallest + 1.0 - p0[2]) / d[2], 0.0);
    double zHit = zBelt;
    static const double c_aBox[6][4] = {{-1, 0, 0, -40}, {1, 0, 0, 180}, {0, -1, 0, 120},
                                        {0, 1, 0, -20},  {0, 0, -1, 0},  {0, 0, 1, 30}};
    static const double c_aRamp[6][4] = {{-1, 0, 0, -320}, {1, 0, 0, 560}, {0, -1, 0, 150},
                                         {0, 1, 0, 150},   {0, 0, -1, 0},  {-25, 0, 240, -8000}};
    const double x1 = p0[0] + zTop * d[0], x2 = p0[0] + zBelt * d[0];
    const long k0 = static_cast<long>(std::floor(std::min(x1, x2) / c_dScenePeriod));
    const long k1 = static_cast<long>(std::floor(std::max(x1, x2) / c_dScenePeriod));
    for (long k = k0; k <= k1; ++k) {
        const double q[3] = {p0[0] - static_cast<double>(k) * c_dScenePeriod, p0[1], p0[2]};
        for (const double z : {EnterConvex(q, d, c_aBox, 6), EnterConvex(q, d, c_aRamp, 6)})
            if (z >= zTop && z < zHit) zHit = z;
        // The dome: ((x - 260)^2 + (y - 60)^2) / 60^2 + h^2 / 40^2 <= 1, above the belt.
        const double e[3] = {(q[0] - 260.0) / 60.0, (q[1] - 60.0) / 60.0, q[2] / 40.0};
        const double g[3] = {d[0] / 60.0, d[1] / 60.0, d[2] / 40.0};
        const double A = g[0] * g[0] + g[1] * g[1] + g[2] * g[2];
        const double B = 2.0 * (e[0] * g[0] + e[1] * g[1] + e[2] * g[2]);
        const double C = e[0] * e[0] + e[1] * e[1] + e[2] * e[2] - 1.0;
        const double D = B * B - 4.0 * A * C;
        if (D > 0.0) {
            const double z = (-B - std::sqrt(D)) / (2.0 * A);
            if (z >= zTop && z < zHit && q[2] + z * d[2] >= 0.0) zHit = z;
        }
    }
    *pdZ = zHit;
    return true;
}

uint32_t SignMagnitude(long long n) {
    const uint32_t nMag = static_cast<uint32_t>(std::min<long long>(std::llabs(n), 0x7FFFFFFF));
    return n < 0 ? (nMag | 0x80000000u) : nMag;
}

void PutU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

struct SPoint {
    int nRow, nCol, nRightCol;
    int32_t nH;
    double dX, dY, dZ;
};
}  // namespace

unsigned int COrVirtualCamera::FrameBytes() const {
    const unsigned int nW = static_cast<unsigned int>(m_sLeft.nRight - m_sLeft.nLeft);
    const unsigned int nH = static_cast<unsigned int>(m_sLeft.nBottom - m_sLeft.nTop);
    return (m_bImages ? 2 * nW * nH : 0) + c_nOrEyeLaserBytes;
}

namespace {
// Raw timestamp, counter and encoder count of a laser part, per hardware version.
struct STimeWords {
    uint32_t nTs, nCnt, nEnc;
};
uint32_t GetU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
STimeWords ReadTimeWords(const uint8_t* pLaser, int nVer) {
    const uint8_t* t = pLaser + 32768;
    const uint32_t t4 = GetU32(t + 16), t5 = GetU32(t + 20), t6 = GetU32(t + 24), t7 = GetU32(t + 28);
    STimeWords w{};
    if (nVer <= 2) {
        w.nTs = t5;
    } else if (nVer == 3) {
        w.nTs = t5 & 0x7FFFFF;
        w.nCnt = (t5 >> 23) & 0xFF;
    } else if (nVer <= 6) {
        w.nTs = t5 & 0x7FFFF;
        w.nCnt = (t5 >> 19) & 0xFFF;
    } else {
        w.nTs = (((t4 >> 29) & 0x3) << 27) | (((t7 >> 24) & 0xFF) << 19) | (t5 & 0x7FFFF);
        w.nCnt = (t5 >> 19) & 0xFFF;
    }
    w.nEnc = nVer >= 7 ? (t6 & 0x1FFFFFFF) : (t6 & 0x7FFFF);
    return w;
}
void WriteTimeWords(uint8_t* pLaser, int nVer, const STimeWords& w, bool bEncoder) {
    uint8_t* t = pLaser + 32768;
    uint32_t t4 = GetU32(t + 16), t5 = GetU32(t + 20), t6 = GetU32(t + 24), t7 = GetU32(t + 28);
    if (nVer <= 2) {
        t5 = w.nTs;
    } else if (nVer == 3) {
        t5 = (w.nTs & 0x7FFFFF) | ((w.nCnt & 0xFF) << 23) | (t5 & 0x80000000u);
    } else {
        t5 = (w.nTs & 0x7FFFF) | ((w.nCnt & 0xFFF) << 19) | (t5 & 0x80000000u);
        if (nVer >= 7) {
            t4 = (t4 & 0x9FFFFFFFu) | (((w.nTs >> 27) & 0x3) << 29);
            t7 = (t7 & 0x00FFFFFFu) | (((w.nTs >> 19) & 0xFF) << 24);
        }
    }
    if (bEncoder) t6 = nVer >= 7 ? ((t6 & ~0x1FFFFFFFu) | (w.nEnc & 0x1FFFFFFF)) : ((t6 & ~0x7FFFFu) | (w.nEnc & 0x7FFFF));
    if (nVer < 7) t6 = (t6 & ~0x7FF80000u) | (t5 & 0x7FF80000u);  // word 5's bits 19-30 again
    PutU32(t + 16, t4);
    PutU32(t + 20, t5);
    PutU32(t + 24, t6);
    PutU32(t + 28, t7);
}
// (b - a) in a field that wraps at nWrap (0: a plain 32-bit field).
uint32_t Ahead(uint32_t a, uint32_t b, uint32_t nWrap) {
    if (nWrap == 0) return b - a;
    return static_cast<uint32_t>((static_cast<uint64_t>(b) + nWrap - a % nWrap) % nWrap);
}
uint32_t Plus(uint32_t a, uint64_t nAdd, uint32_t nWrap) {
    if (nWrap == 0) return static_cast<uint32_t>(a + nAdd);
    return static_cast<uint32_t>((a + nAdd) % nWrap);
}
}  // namespace

void COrVirtualCamera::ReplayFrameLocked() {
    const std::vector<KxEyeRecording::SFrame>& vecFrames = m_cfg.pRecording->vecFrames;
    const KxEyeRecording::SFrame& f = vecFrames[static_cast<size_t>(m_nProducedCount % vecFrames.size())];
    ++m_nCounter;
    ++m_nProducedCount;
    AdvanceMotor(std::chrono::steady_clock::now());
    // Images have the size of the current window; the recorded ones when they match it, else an
    // empty picture (the recording has none, or the window changed since).
    const unsigned int nW = static_cast<unsigned int>(m_sLeft.nRight - m_sLeft.nLeft);
    const unsigned int nH = static_cast<unsigned int>(m_sLeft.nBottom - m_sLeft.nTop);
    const unsigned int nImage = m_bImages ? nW * nH : 0;
    m_nFrameLength = 2 * nImage + c_nOrEyeLaserBytes;
    if (m_vecFrame.size() < m_nFrameLength) m_vecFrame.resize(m_nFrameLength);
    if (nImage) {
        if (f.nImageWidth == nW && f.nImageHeight == nH) {
            memcpy(m_vecFrame.data(), f.vecLeft.data(), nImage);
            memcpy(m_vecFrame.data() + nImage, f.vecRight.data(), nImage);
        } else {
            memset(m_vecFrame.data(), c_nBackground, 2 * nImage);
        }
    }
    // The laser part as recorded, trailer words included: points, counters, timestamps and
    // encoder count replay exactly.
    uint8_t* pLaser = m_vecFrame.data() + 2 * nImage;
    memcpy(pLaser, f.vecLaser.data(), c_nOrEyeLaserBytes);
    const uint64_t nPass = (m_nProducedCount - 1) / vecFrames.size();
    if (nPass > 0) {
        // Later passes go on where the recording ended: timestamp, counter and (without the
        // swing, where word 6 is the angle) the encoder count advance by the recording's span
        // plus one step per pass, as if the scene came round again.
        const int nVer = m_cfg.nVersion;
        const STimeBase& tb = c_asTimeBase[nVer];
        const uint32_t nEncWrap = nVer >= 7 ? 0x20000000u : 0x80000u;
        const STimeWords first = ReadTimeWords(vecFrames.front().vecLaser.data(), nVer);
        const STimeWords last = ReadTimeWords(vecFrames.back().vecLaser.data(), nVer);
        STimeWords step{static_cast<uint32_t>(0.05 / tb.dTick), 1, 0};  // one frame at 20 per second
        if (vecFrames.size() >= 2) {
            const STimeWords prev = ReadTimeWords(vecFrames[vecFrames.size() - 2].vecLaser.data(), nVer);
            step = STimeWords{Ahead(prev.nTs, last.nTs, tb.nTimestampWrap), Ahead(prev.nCnt, last.nCnt, tb.nCounterWrap),
                              Ahead(prev.nEnc, last.nEnc, nEncWrap)};
        }
        const uint64_t nTsSpan = static_cast<uint64_t>(Ahead(first.nTs, last.nTs, tb.nTimestampWrap)) + step.nTs;
        const uint64_t nCntSpan = static_cast<uint64_t>(Ahead(first.nCnt, last.nCnt, tb.nCounterWrap)) + step.nCnt;
        const uint64_t nEncSpan = static_cast<uint64_t>(Ahead(first.nEnc, last.nEnc, nEncWrap)) + step.nEnc;
        STimeWords w = ReadTimeWords(pLaser, nVer);
        w.nTs = Plus(w.nTs, nPass * nTsSpan, tb.nTimestampWrap);
        w.nCnt = Plus(w.nCnt, nPass * nCntSpan, tb.nCounterWrap);
        w.nEnc = Plus(w.nEnc, nPass * nEncSpan, nEncWrap);
        const bool bSwing = m_cfg.bSwingMotor && (m_nSwingMode & 0x1) != 0;
        WriteTimeWords(pLaser, nVer, w, !bSwing);
    }
    ++m_nFrameSeq;
    m_cvFrame.notify_all();
}

void COrVirtualCamera::ProduceFrameLocked(std::chrono::steady_clock::time_point tNow) {
    if (m_cfg.pRecording) {
        ReplayFrameLocked();
        return;
    }
    const double dSeconds = std::chrono::duration<double>(tNow - m_tCreated).count();
    const int nVer = std::min(std::max(m_cfg.nVersion, 0), 8);
    const STimeBase& tb = c_asTimeBase[nVer];
    // The camera's own clock: its oscillator may run fast or slow against the host's.
    const double dOwnSeconds = m_cfg.dClockPpm != 0.0 ? dSeconds * (1.0 + m_cfg.dClockPpm * 1e-6) : dSeconds;
    const uint64_t nTicks = m_cfg.nStartTimestamp + static_cast<uint64_t>(dOwnSeconds / tb.dTick);
    const uint32_t nTs = static_cast<uint32_t>(nTicks % tb.nTimestampWrap);
    const uint32_t nCnt = tb.nCounterWrap ? (m_nCounter % tb.nCounterWrap) : 0;
    const uint64_t nFrameNo = m_nProducedCount;
    ++m_nCounter;
    ++m_nProducedCount;
    AdvanceMotor(tNow);

    const OrEyeTest::Geometry g = GetGeometry();
    // The belt keeps the host's time: from the camera's making, or in the shared world from the
    // steady clock's epoch, so that every camera of the host sees the same belt at one instant.
    const int64_t nWorldNs = std::chrono::duration_cast<std::chrono::nanoseconds>(tNow.time_since_epoch()).count();
    const double dTravel = m_cfg.bWorld ? OrEyeTest::WorldTravelMm(nWorldNs) : c_dBeltSpeed * dSeconds;
    const bool bSwing = m_cfg.bSwingMotor && (m_nSwingMode & 0x1) != 0;
    double dAlpha = std::atan(-c_dLaserX / g.dBelt);
    if (bSwing) dAlpha += (m_sMotor.dPos / 10.0 - 37.5) * 0.5 * M_PI / 180.0;
    const double dTanA = std::tan(dAlpha);

    // The laser line: one point per sensor row of the window.
    std::vector<SPoint> vecLine;
    vecLine.reserve(static_cast<size_t>(m_sLeft.nBottom - m_sLeft.nTop));
    // Put the point on the centre of its pixel, so that decoding finds exactly this pixel.
    const auto pointAt = [&](int r, double v, double z, double x) {
        const long nCol = std::lround(g.dCx + g.dFocal * x / z);
        SPoint p;
        p.nRow = r;
        p.nCol = static_cast<int>(nCol);
        p.dZ = z;
        p.dX = (nCol - g.dCx) / g.dFocal * z;
        p.dY = v * z;
        p.nH = static_cast<int32_t>(std::lround(g.dFocal * g.dBaseline / z * 256.0));
        p.nRightCol = p.nCol - static_cast<int>(std::trunc(p.nH / 256.0)) + g.nFixedDisparity;
        return p;
    };
    if (!m_cfg.bWorld) {
        for (int r = m_sLeft.nTop; r < m_sLeft.nBottom; ++r) {
            const double v = (r - g.dCy) / g.dFocal;
            const double z = SurfaceDepth(g.dBelt, dTanA, v, dTravel);
            const double x = c_dLaserX + z * dTanA;
            vecLine.push_back(pointAt(r, v, z, x));
        }
    } else {
        const SPoseFrame f = PoseFrame(m_cfg.sPose);
        // Rows where another camera's laser line shows in this camera's picture while both
        // expose: the camera takes that spot for its own line (true) or loses the row (false).
        std::map<int, bool> mapBlind;
        std::map<int, SPoint> mapBlindPoint;
        const int64_t nExposureNs = static_cast<int64_t>(m_nExposure) * 1000;
        for (const SOrWorldCamera& o : OrVirtualWorld::Others(this)) {
            if (o.nPeriodNs <= 0 || nWorldNs < o.nStreamFromNs || nWorldNs > o.nStreamUntilNs) continue;
            // The other camera's exposure nearest before the end of ours, on its own grid.
            const int64_t nEnd = nWorldNs + nExposureNs;
            int64_t n = (nEnd - o.nPhaseNs) / o.nPeriodNs;
            if (nEnd - o.nPhaseNs < 0 && (nEnd - o.nPhaseNs) % o.nPeriodNs != 0) --n;
            bool bOverlap = false;
            for (int64_t k = n; k >= n - 1 && !bOverlap; --k) {
                const int64_t nStart = k * o.nPeriodNs + o.nPhaseNs;
                bOverlap = nStart < nEnd && nStart + o.nExposureNs > nWorldNs;
            }
            if (!bOverlap) continue;
            const SPoseFrame fo = PoseFrame(o.sPose);
            for (int ro = o.nTop; ro < o.nBottom; ++ro) {
                const double vo = (ro - o.dCy) / o.dFocal;
                double zo = 0;
                if (!PosedSurfaceDepth(fo, o.dTanA, vo, dTravel, &zo)) continue;
                const double co[3] = {c_dLaserX + zo * o.dTanA, vo * zo, zo};
                double w[3], d[3], c[3];
                for (int i = 0; i < 3; ++i)
                    w[i] = fo.r[3 * i] * co[0] + fo.r[3 * i + 1] * co[1] + fo.r[3 * i + 2] * co[2] + fo.t[i];
                for (int i = 0; i < 3; ++i) d[i] = w[i] - f.t[i];
                for (int i = 0; i < 3; ++i) c[i] = f.r[i] * d[0] + f.r[3 + i] * d[1] + f.r[6 + i] * d[2];  // R^T
                if (c[2] <= 1.0) continue;
                const int r = static_cast<int>(std::lround(g.dCy + g.dFocal * c[1] / c[2]));
                if (r < m_sLeft.nTop || r >= m_sLeft.nBottom || mapBlind.count(r)) continue;
                const double u = c[0] / c[2];
                const long nCol = std::lround(g.dCx + g.dFocal * u);
                if (nCol < m_sLeft.nLeft || nCol >= m_sLeft.nRight) continue;
                // The camera triangulates the foreign spot on its own laser plane.
                const double uc = (nCol - g.dCx) / g.dFocal;
                const double z = uc - dTanA != 0.0 ? c_dLaserX / (uc - dTanA) : -1.0;
                const bool bTaken = z > 1.0 && z < c_dMaxDepth;
                mapBlind[r] = bTaken;
                if (bTaken) mapBlindPoint[r] = pointAt(r, (r - g.dCy) / g.dFocal, z, uc * z);
            }
        }
        for (int r = m_sLeft.nTop; r < m_sLeft.nBottom; ++r) {
            auto it = mapBlind.find(r);
            if (it != mapBlind.end()) {
                if (it->second) vecLine.push_back(mapBlindPoint[r]);
                continue;
            }
            const double v = (r - g.dCy) / g.dFocal;
            double z = 0;
            if (!PosedSurfaceDepth(f, dTanA, v, dTravel, &z)) continue;
            const double x = c_dLaserX + z * dTanA;
            vecLine.push_back(pointAt(r, v, z, x));
        }
    }
    // Dynamic ROI (version 5 on): the windows follow the line sideways.
    if (m_nDynRoi == 2 && nVer >= 5 && !vecLine.empty()) {
        std::vector<int> vecL, vecR;
        for (const SPoint& p : vecLine) {
            vecL.push_back(p.nCol);
            vecR.push_back(p.nRightCol);
        }
        std::nth_element(vecL.begin(), vecL.begin() + vecL.size() / 2, vecL.end());
        std::nth_element(vecR.begin(), vecR.begin() + vecR.size() / 2, vecR.end());
        // The windows move on the ROI rule's grid of left edges (multiples of 32 columns), so
        // that a moved ROI read back from the camera is one the camera takes again.
        const int c_nGrid = 32;
        const int nW = m_sLeft.nRight - m_sLeft.nLeft;
        const int nMax = std::max(static_cast<int>(m_cfg.nWidth) - nW, 0) / c_nGrid * c_nGrid;
        const auto place = [&](int nCentre) {
            const int nLeft = std::max(nCentre - nW / 2, 0);
            return std::min((nLeft + c_nGrid / 2) / c_nGrid * c_nGrid, nMax);
        };
        const int nL = place(vecL[vecL.size() / 2]);
        const int nR = place(vecR[vecR.size() / 2]);
        m_sLeft.nLeft = nL;
        m_sLeft.nRight = nL + nW;
        m_sRight.nLeft = nR;
        m_sRight.nRight = nR + nW;
        SyncInfoBlock();
    }

    const unsigned int nW = static_cast<unsigned int>(m_sLeft.nRight - m_sLeft.nLeft);
    const unsigned int nH = static_cast<unsigned int>(m_sLeft.nBottom - m_sLeft.nTop);
    const unsigned int nImage = m_bImages ? nW * nH : 0;
    m_nFrameLength = 2 * nImage + c_nOrEyeLaserBytes;
    if (m_vecFrame.size() < m_nFrameLength) m_vecFrame.resize(m_nFrameLength);
    uint8_t* pLeft = m_vecFrame.data();
    uint8_t* pRight = pLeft + nImage;
    uint8_t* pLaser = pRight + nImage;
    if (nImage) memset(pLeft, c_nBackground, 2 * nImage);
    memset(pLaser, 0, c_nOrEyeLaserBytes);

    uint32_t nPoints = 0;
    for (const SPoint& p : vecLine) {
        if (nPoints >= 2047) break;  // a count of 2048 or more means "no points" to the reader
        if (p.nCol < m_sLeft.nLeft || p.nCol >= m_sLeft.nRight) continue;
        if (p.nRightCol < m_sRight.nLeft || p.nRightCol >= m_sRight.nLeft + static_cast<int>(nW)) continue;
        if (p.nRow < m_sRight.nTop || p.nRow >= m_sRight.nTop + static_cast<int>(nH)) continue;
        uint8_t* pRec = pLaser + 16 * nPoints;
        long long nZ, nY, nX;
        if (nVer == 0) {  // value = raw / h / -2
            nZ = -std::llround(p.dZ * 2.0 * p.nH);
            nY = -std::llround(p.dY * 2.0 * p.nH);
            nX = -std::llround(p.dX * 2.0 * p.nH);
        } else {  // thousandths of a millimetre
            nZ = std::llround(p.dZ * 1000.0);
            nY = std::llround(p.dY * 1000.0);
            nX = std::llround(p.dX * 1000.0);
        }
        PutU32(pRec, static_cast<uint32_t>(p.nH));
        PutU32(pRec + 4, SignMagnitude(nZ));
        PutU32(pRec + 8, SignMagnitude(nY));
        PutU32(pRec + 12, SignMagnitude(nX));
        if (nImage) {
            pLeft[static_cast<size_t>(p.nRow - m_sLeft.nTop) * nW + (p.nCol - m_sLeft.nLeft)] = c_nLine;
            pRight[static_cast<size_t>(p.nRow - m_sRight.nTop) * nW + (p.nRightCol - m_sRight.nLeft)] = c_nLine;
        }
        ++nPoints;
    }

    // Trailer.
    bool bTriggerOn = true;
    if (!m_vecTrigger.empty()) bTriggerOn = m_vecTrigger[nFrameNo % m_vecTrigger.size()];
    uint32_t nCountRaw;
    double dSincePulse;
    if (m_cfg.bWorld) {  // in whole nanoseconds, so that every camera latches the same count
        nCountRaw = OrEyeTest::WorldEncoderCount(nWorldNs);
        dSincePulse = static_cast<double>(static_cast<uint64_t>(nWorldNs) % 1000000u) * 1e-9;
    } else {
        nCountRaw = static_cast<uint32_t>(dTravel * c_dCountsPerMm);
        dSincePulse = (dTravel * c_dCountsPerMm - nCountRaw) / (c_dCountsPerMm * c_dBeltSpeed);
    }
    const uint32_t nEncTimer = static_cast<uint32_t>(std::min(dSincePulse / tb.dTick, 536870911.0));
    uint32_t aT[8] = {};
    aT[0] = (static_cast<uint32_t>(g.dCx * 1024.0) & 0x3FFFFF) | (bTriggerOn ? 0 : 0x80000000u);
    aT[1] = static_cast<uint32_t>(g.dCy * 1024.0) & 0x3FFFFF;
    aT[2] = static_cast<uint32_t>(g.dFocal * 1024.0) & 0x1FFFFFF;
    if (nVer >= 7) {
        aT[3] = nPoints << 20;
        aT[4] = (nEncTimer & 0x1FFFFFFF) | (((nTs >> 27) & 0x3) << 29);
        aT[5] = (nTs & 0x7FFFF) | ((nCnt & 0xFFF) << 19);
    } else {
        aT[4] = nPoints;
        if (nVer <= 2)
            aT[5] = nTs;
        else if (nVer == 3)
            aT[5] = (nTs & 0x7FFFFF) | ((nCnt & 0xFF) << 23);
        else
            aT[5] = (nTs & 0x7FFFF) | ((nCnt & 0xFFF) << 19);
    }
    uint32_t nWord6;
    if (bSwing) {
        nWord6 = m_sMotor.bEndMark ? 14400u : static_cast<uint32_t>(std::lround(m_sMotor.dPos));
        m_sMotor.bEndMark = false;
    } else {
        nWord6 = nCountRaw;  // forward travel: direction bit clear
    }
    if (nVer >= 7)
        aT[6] = nWord6 & 0x1FFFFFFF;
    else  // 19-bit count, and the 12-bit frame number again for the consistency check
        aT[6] = (nWord6 & 0x7FFFF) | (aT[5] & 0x7FF80000u);
    aT[7] = (static_cast<uint32_t>(m_sLeft.nLeft) & 0xFFF) | ((static_cast<uint32_t>(m_sRight.nLeft) & 0xFFF) << 12);
    if (nVer >= 7) aT[7] |= ((nTs >> 19) & 0xFF) << 24;
    for (int i = 0; i < 8; ++i) PutU32(pLaser + 32768 + 4 * i, aT[i]);
    ++m_nFrameSeq;
    m_cvFrame.notify_all();
}

OrEyeTest::ClockTruth COrVirtualCamera::GetClockTruth() {
    const int nVer = std::min(std::max(m_cfg.nVersion, 0), 8);
    OrEyeTest::ClockTruth c;
    c.nHostNsAtStart = std::chrono::duration_cast<std::chrono::nanoseconds>(m_tCreated.time_since_epoch()).count();
    c.nStartTimestamp = m_cfg.nStartTimestamp;
    c.dPpm = m_cfg.dClockPpm;
    c.dTick = c_asTimeBase[nVer].dTick;
    c.nTimestampWrap = c_asTimeBase[nVer].nTimestampWrap;
    c.bRecording = m_cfg.pRecording != nullptr;
    return c;
}

// ---- frame delivery -------------------------------------------------------------------------

int COrVirtualCamera::CopyFrame(unsigned char* apDest[3], unsigned int* pnLength, unsigned int* pnFrameId) {
    const unsigned int nImage = (m_nFrameLength - c_nOrEyeLaserBytes) / 2;
    if (nImage) {
        if (apDest[0]) memcpy(apDest[0], m_vecFrame.data(), nImage);
        if (apDest[1]) memcpy(apDest[1], m_vecFrame.data() + nImage, nImage);
    }
    memcpy(apDest[2], m_vecFrame.data() + 2 * nImage, c_nOrEyeLaserBytes);
    if (pnLength) *pnLength = m_nFrameLength;
    if (pnFrameId) *pnFrameId = m_nCounter - 1;
    return c_nOrEyeOK;
}

int COrVirtualCamera::WaitStreamFrame(unsigned char* apDest[3], unsigned int* pnLength,
                                      unsigned int* pnFrameId, unsigned int nTimeoutMs) {
    if (apDest == nullptr || apDest[2] == nullptr) return c_nOrEyeBadArgument;
    std::unique_lock<std::mutex> lock(m_mtx);
    if (!m_bStreamRun) return c_nOrEyeNotSupported;  // the stream is off
    const uint64_t nSeen = m_nFrameSeq;
    const bool bGot = m_cvFrame.wait_for(lock, std::chrono::milliseconds(nTimeoutMs), [&] {
        return m_nFrameSeq != nSeen || m_bOffline || !m_bStreamRun;
    });
    if (m_bOffline) return c_nOrEyeOffline;
    if (!bGot || m_nFrameSeq == nSeen) return c_nOrEyeTimeout;
    return CopyFrame(apDest, pnLength, pnFrameId);
}

int COrVirtualCamera::GrabFrame(unsigned char* apDest[3], unsigned int* pnLength,
                                unsigned int* pnFrameId, unsigned int nTimeoutMs) {
    if (apDest == nullptr || apDest[2] == nullptr) return c_nOrEyeBadArgument;
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        if (!m_bStreamRun) {
            ProduceFrameLocked(std::chrono::steady_clock::now());
            return CopyFrame(apDest, pnLength, pnFrameId);
        }
    }
    // While streaming, a grab takes the next streamed frame.
    return WaitStreamFrame(apDest, pnLength, pnFrameId, nTimeoutMs);
}

int COrVirtualCamera::ReleaseFrameBuffer(unsigned int nBufferId) {
    std::lock_guard<std::mutex> lock(m_mtx);
    auto it = m_mapBuffers.find(nBufferId);
    if (it == m_mapBuffers.end() || !it->second->bOut) {
        ++m_nBadRelease;
        OrLog::Print(Orvik::utilSystem::LogLevel_Warning,
                     "virtual camera %d: ReleaseFrameBuffer(%u) of a buffer not handed out", m_nIndex,
                     nBufferId);
        return c_nOrEyeBadArgument;
    }
    it->second->bOut = false;
    ++m_nBufBack;
    if (it->second->bRetired) m_mapBuffers.erase(it);
    return c_nOrEyeOK;
}

int COrVirtualCamera::SetImageTransfer(int nOn, unsigned int nBufferCount, unsigned int nFrameBytes) {
    if (nBufferCount == 0 || nBufferCount > 4096 || nFrameBytes < c_nOrEyeLaserBytes)
        return c_nOrEyeBadArgument;
    if (static_cast<uint64_t>(nBufferCount) * nFrameBytes > (1ull << 30)) return c_nOrEyeOutOfRange;
    std::lock_guard<std::mutex> lock(m_mtx);
    m_bImages = nOn != 0;
    m_nPoolCount = nBufferCount;
    m_nPoolBytes = nFrameBytes;
    for (auto it = m_mapBuffers.begin(); it != m_mapBuffers.end();) {
        if (it->second->bOut) {
            it->second->bRetired = true;
            ++it;
        } else {
            it = m_mapBuffers.erase(it);
        }
    }
    SyncInfoBlock();
    return c_nOrEyeOK;
}

int COrVirtualCamera::SetFrameCallback(const void* pOwner, int nEnable, OrEyeFrameCallback pfn, void* pContext) {
    std::unique_lock<std::mutex> lock(m_mtx);
    if (nEnable && pfn) {
        m_pfnCallback = pfn;
        m_pCallbackContext = pContext;
        m_pCallbackOwner = pOwner;
        return c_nOrEyeOK;
    }
    m_pfnCallback = nullptr;
    m_pCallbackContext = nullptr;
    m_pCallbackOwner = nullptr;
    // After this returns the old function is no longer running (unless asked from inside it).
    if (std::this_thread::get_id() != m_idStream)
        m_cvIdle.wait(lock, [&] { return m_nInFlight == 0; });
    return c_nOrEyeOK;
}

int COrVirtualCamera::EnableStream(const void* pOwner, int nOn) {
    std::unique_lock<std::mutex> lock(m_mtx);
    if (nOn) {
        if (m_bStreamRun) {
            m_pStreamOwner = pOwner;
            return c_nOrEyeOK;
        }
        StopStream(lock);  // joins a thread that ended by itself
        m_bStreamRun = true;
        m_pStreamOwner = pOwner;
        PublishWorldLocked();
        m_thStream = std::thread(&COrVirtualCamera::StreamThread, this);
        m_idStream = m_thStream.get_id();
        OrLog::Print(LogLevel_Info, "virtual camera %d: stream on", m_nIndex);
        return c_nOrEyeOK;
    }
    StopStream(lock);
    m_pStreamOwner = nullptr;
    return c_nOrEyeOK;
}

void COrVirtualCamera::StopStream(std::unique_lock<std::mutex>& lock) {
    m_bStreamRun = false;
    PublishWorldLocked();
    m_cvIdle.notify_all();
    m_cvFrame.notify_all();
    if (!m_thStream.joinable()) return;
    if (std::this_thread::get_id() == m_thStream.get_id()) {
        // Asked from the frame callback: the thread ends after the callback returns.
        m_thStream.detach();
        return;
    }
    std::thread th(std::move(m_thStream));
    lock.unlock();
    th.join();
    lock.lock();
    m_idStream = std::thread::id();
}

void COrVirtualCamera::DetachSession(const void* pOwner) {
    std::unique_lock<std::mutex> lock(m_mtx);
    if (m_pStreamOwner == pOwner) {
        StopStream(lock);
        m_pStreamOwner = nullptr;
    }
    if (m_pCallbackOwner == pOwner) {
        m_pfnCallback = nullptr;
        m_pCallbackContext = nullptr;
        m_pCallbackOwner = nullptr;
        if (std::this_thread::get_id() != m_idStream)
            m_cvIdle.wait(lock, [&] { return m_nInFlight == 0; });
    }
}

bool COrVirtualCamera::IsStreaming() {
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_bStreamRun;
}

void COrVirtualCamera::RaiseEvent(int nEvent, int nParam) {
    std::unique_lock<std::mutex> lock(m_mtx);
    OrEyeFrameCallback pfn = m_pfnCallback;
    void* pContext = m_pCallbackContext;
    if (pfn == nullptr) return;
    ++m_nInFlight;
    lock.unlock();
    pfn(nEvent, nParam, nullptr, 0, 0, pContext);
    lock.lock();
    --m_nInFlight;
    m_cvIdle.notify_all();
}

void COrVirtualCamera::SetOffline(bool bOffline) {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_bOffline = bOffline;
    PublishWorldLocked();
    m_cvIdle.notify_all();
    m_cvFrame.notify_all();
}

void COrVirtualCamera::FrameGridLocked(int64_t* pnPeriodNs, int64_t* pnPhaseNs) const {
    unsigned int nRate = m_nFrameRate ? m_nFrameRate : 20;
    if (!m_cfg.bUnlimitedRate) nRate = std::min(nRate, c_nMaxRate);
    *pnPeriodNs = 1000000000ll / nRate;
    // The trigger delay (SetTriggerN's second value, microseconds) shifts the grid.
    *pnPhaseNs = static_cast<int64_t>(m_nTrigB) * 1000 % *pnPeriodNs;
}

void COrVirtualCamera::PublishWorldLocked() {
    if (!m_cfg.bWorld) return;
    SOrWorldCamera w;
    w.pId = this;
    w.sPose = m_cfg.sPose;
    if (m_bStreamRun && !m_bOffline) {
        if (m_nStreamUntilNs != INT64_MAX) {  // the stream just went on
            m_nStreamFromNs =
                std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
                    .count();
            m_nStreamUntilNs = INT64_MAX;
        }
    } else if (m_nStreamUntilNs == INT64_MAX) {  // it just stopped after its last frame
        m_nStreamUntilNs = m_nLastMadeNs >= m_nStreamFromNs ? m_nLastMadeNs : m_nStreamFromNs - 1;
    }
    w.nStreamFromNs = m_nStreamFromNs;
    w.nStreamUntilNs = m_nStreamUntilNs;
    FrameGridLocked(&w.nPeriodNs, &w.nPhaseNs);
    w.nExposureNs = static_cast<int64_t>(m_nExposure) * 1000;
    const OrEyeTest::Geometry g = GetGeometry();
    w.dFocal = g.dFocal;
    w.dCx = g.dCx;
    w.dCy = g.dCy;
    // The laser's angle without the swing: a swinging neighbour blinds where its line stood still.
    w.dTanA = -c_dLaserX / g.dBelt;
    w.nTop = m_sLeft.nTop;
    w.nBottom = m_sLeft.nBottom;
    OrVirtualWorld::Publish(w);
}

void COrVirtualCamera::StreamThread() {
    std::unique_lock<std::mutex> lock(m_mtx);
    auto tNext = std::chrono::steady_clock::now();
    while (m_bStreamRun) {
        unsigned int nRate = m_nFrameRate ? m_nFrameRate : 20;
        if (!m_cfg.bUnlimitedRate) nRate = std::min(nRate, c_nMaxRate);
        const auto tPeriod = std::chrono::nanoseconds(1000000000ll / nRate);
        tNext += tPeriod;
        const auto tNow = std::chrono::steady_clock::now();
        if (tNext + std::chrono::seconds(1) < tNow) tNext = tNow;  // far behind: do not burst
        if (m_cfg.bWorld) {
            // World cameras expose on a grid of the shared clock (period from the frame rate,
            // phase from the trigger delay), the next instant of it after the last frame's.
            int64_t nPeriod = 0, nPhase = 0;
            FrameGridLocked(&nPeriod, &nPhase);
            const int64_t nNow =
                std::chrono::duration_cast<std::chrono::nanoseconds>(tNow.time_since_epoch()).count();
            const int64_t nFrom = std::max(nNow, m_nLastGridNs);
            int64_t nGrid = (nFrom - nPhase) / nPeriod * nPeriod + nPhase;
            while (nGrid <= nFrom) nGrid += nPeriod;
            m_nLastGridNs = nGrid;
            tNext = std::chrono::steady_clock::time_point(std::chrono::nanoseconds(nGrid));
        }
        if (!m_cfg.bUnlimitedRate || tNext > tNow || m_cfg.bWorld)
            m_cvIdle.wait_until(lock, tNext, [&] { return !m_bStreamRun || m_bOffline; });
        if (!m_bStreamRun) break;
        if (m_bOffline) {
            // The camera went away: tell the application once and stop.
            m_bStreamRun = false;
            PublishWorldLocked();
            m_cvFrame.notify_all();
            OrEyeFrameCallback pfn = m_pfnCallback;
            void* pContext = m_pCallbackContext;
            if (pfn) {
                ++m_nInFlight;
                lock.unlock();
                pfn(c_nOrEyeEventError7, c_nOrEyeOffline, nullptr, 0, 0, pContext);
                lock.lock();
                --m_nInFlight;
                m_cvIdle.notify_all();
            }
            OrLog::Print(LogLevel_Info, "virtual camera %d: offline, stream stopped", m_nIndex);
            break;
        }
        if (m_cfg.bWorld) m_nLastMadeNs = m_nLastGridNs;
        ProduceFrameLocked(m_cfg.bWorld ? tNext : std::chrono::steady_clock::now());
        OrEyeFrameCallback pfn = m_pfnCallback;
        if (pfn == nullptr) continue;
        // A free buffer of the pool, or a new one while the pool is not full.
        SBuffer* pBuf = nullptr;
        unsigned int nId = 0, nLive = 0;
        for (auto& b : m_mapBuffers) {
            if (b.second->bRetired) continue;
            ++nLive;
            if (!b.second->bOut && pBuf == nullptr) {
                pBuf = b.second.get();
                nId = b.first;
            }
        }
        if (pBuf == nullptr && nLive < m_nPoolCount) {
            nId = m_nNextBufferId++;
            if (m_nNextBufferId == 0) m_nNextBufferId = 1;
            auto p = std::make_unique<SBuffer>();
            pBuf = p.get();
            m_mapBuffers[nId] = std::move(p);
        }
        if (pBuf == nullptr) {
            ++m_nDropped;
            OrLog::Print(LogLevel_Debug, "virtual camera %d: no free buffer, frame dropped", m_nIndex);
            continue;
        }
        const unsigned int nSize = std::max(m_nPoolBytes, m_nFrameLength);
        if (pBuf->vecData.size() < nSize) pBuf->vecData.resize(nSize);
        memcpy(pBuf->vecData.data(), m_vecFrame.data(), m_nFrameLength);
        pBuf->bOut = true;
        ++m_nBufOut;
        ++m_nDelivered;
        ++m_nInFlight;
        void* pContext = m_pCallbackContext;
        uint8_t* pData = pBuf->vecData.data();
        const unsigned int nLength = m_nFrameLength;
        lock.unlock();
        pfn(c_nOrEyeEventFrame, 0, pData, nLength, nId, pContext);
        lock.lock();
        --m_nInFlight;
        m_cvIdle.notify_all();
    }
}
