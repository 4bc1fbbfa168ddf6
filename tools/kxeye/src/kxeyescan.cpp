// scan: continuous capture through the data callback into a PLY cloud, a PNG height map and a
// summary. The callback (camera library's thread) only decodes and queues; the main thread
// writes each profile to disk as it comes, so memory stays the same whatever the scan length.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <iostream>
#include <limits>
#include <mutex>
#include <optional>

#include <nlohmann/json.hpp>

#include "kxeyecodes.h"
#include "kxeyecommands.h"
#include "kxeyefile.h"
#include "kxeyeheightmap.h"
#include "kxeyenet.h"
#include "kxeyeoutput.h"

using ordered_json = nlohmann::ordered_json;

namespace {

using Clock = std::chrono::steady_clock;

// Profiles decoded but not yet written. When the disk falls behind, the callback waits for room,
// and the camera drops (and counts) frames rather than the tool growing without bound.
const size_t c_nQueueLimit = 64;
// Frames looked at before the travel axis ("auto") and the line direction are settled.
const size_t c_nLookAhead = 32;
// Encoder counts wrap at 29 bits.
const int64_t c_nEncoderRange = int64_t(1) << 29;

struct SProfile {
    uint64_t nFrameIndex = 0;
    uint64_t nTimeStampUs = 0;
    uint32_t nEncoderCount = 0;
    double dDecodeUs = 0;
    std::vector<SKxEyePoint> vecPoints;
};

class CScanCallback : public IKxLaserDataCallBack {
public:
    CScanCallback(int32_t nFormat, const SKxLaserResultAfterProcParam& param, uint64_t nLimit)
        : m_nFormat(nFormat), m_sParam(param), m_nLimit(nLimit) {}

    void OnLaserResult(IKxLaserEyeResultBlock* pBlock) override {
        if (!pBlock) return;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_bAccepting || m_nAccepted >= m_nLimit) return;
        }
        SProfile profile;
        profile.nFrameIndex = pBlock->GetFrameIndex();
        profile.nTimeStampUs = pBlock->GetTimeStamp();
        profile.nEncoderCount = pBlock->GetEncoderCount();
        const Clock::time_point t0 = Clock::now();
        pBlock->SetAfterProcParam(m_sParam);
        KxEyeReadBlock(pBlock, m_nFormat, profile.vecPoints);
        profile.dDecodeUs = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_cvRoom.wait(lock, [&] { return !m_bAccepting || m_queue.size() < c_nQueueLimit; });
            if (!m_bAccepting || m_nAccepted >= m_nLimit) return;
            if (m_nAccepted > 0 && profile.nFrameIndex > m_nLastIndex)
                m_nLost += profile.nFrameIndex - m_nLastIndex - 1;
            m_nLastIndex = profile.nFrameIndex;
            ++m_nAccepted;
            m_tLast = Clock::now();
            if (m_nAccepted == 1) m_tFirst = m_tLast;
            m_queue.push_back(std::move(profile));
        }
        m_cvData.notify_all();
    }

    // Next profile within the timeout; false when none came.
    bool Pop(SProfile& profile, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_cvData.wait_for(lock, timeout, [&] { return !m_queue.empty(); })) return false;
        profile = std::move(m_queue.front());
        m_queue.pop_front();
        lock.unlock();
        m_cvRoom.notify_all();
        return true;
    }

    // No more profiles are taken; a callback waiting for room returns at once.
    void Stop() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bAccepting = false;
        }
        m_cvRoom.notify_all();
    }

    struct SProgress {
        uint64_t nAccepted;
        uint64_t nLost;
        Clock::time_point tFirst, tLast;
    };
    SProgress Progress() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return {m_nAccepted, m_nLost, m_tFirst, m_tLast};
    }

private:
    const int32_t m_nFormat;
    const SKxLaserResultAfterProcParam m_sParam;
    const uint64_t m_nLimit;
    std::mutex m_mutex;
    std::condition_variable m_cvData, m_cvRoom;
    bool m_bAccepting = true;
    std::deque<SProfile> m_queue;
    uint64_t m_nAccepted = 0;
    uint64_t m_nLastIndex = 0;
    uint64_t m_nLost = 0;
    Clock::time_point m_tFirst = Clock::now();
    Clock::time_point m_tLast = Clock::now();
};

// Loss and reconnect events of the device (camera library's thread, or the device's reconnect
// thread), read by the main loop.
class CScanEvents : public IKxDeviceEventHandler {
public:
    void OnDeviceEvent(IKxDevice*, int32_t nEvent) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (nEvent == c_nKxEventOffline && !m_bLost) {
            m_bLost = true;
            m_tLost = Clock::now();
        } else if (nEvent == c_nKxEventReconnected) {
            m_bLost = false;
            ++m_nReconnects;
        } else if (nEvent == c_nKxEventReconnectFailed) {
            m_bGaveUp = true;
        }
    }
    struct SState {
        bool bLost;
        bool bGaveUp;
        uint32_t nReconnects;
        Clock::time_point tLost;
    };
    SState State() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return {m_bLost, m_bGaveUp, m_nReconnects, m_tLost};
    }

private:
    std::mutex m_mutex;
    bool m_bLost = false;
    bool m_bGaveUp = false;
    uint32_t m_nReconnects = 0;
    Clock::time_point m_tLost{};
};

// The camera's address for the loss line: the address the search found, else the name given.
std::string CameraName(IKxLaserEyeDevice* pDev, const std::string& strCamera) {
    const SKxNLEyeDeviceInfoEx* pInfo = pDev->GetDeviceInfo();
    if (pInfo && pInfo->szIPAddress[0] != '\0') {
        char sz[sizeof(pInfo->szIPAddress) + 1] = {};
        std::memcpy(sz, pInfo->szIPAddress, sizeof(pInfo->szIPAddress));
        return sz;
    }
    return strCamera;
}

std::atomic<bool> g_bInterrupted{false};
extern "C" void OnInterrupt(int) { g_bInterrupted = true; }

// Coordinate along the laser line: X when the points of a profile spread more in X than in Y.
bool LineAlongX(const std::vector<SProfile>& vecProfiles) {
    double dColumnSpread = 0, dRowSpread = 0;
    for (const SProfile& p : vecProfiles) {
        if (p.vecPoints.size() < 2) continue;
        auto [itMinX, itMaxX] = std::minmax_element(p.vecPoints.begin(), p.vecPoints.end(),
                                                    [](const SKxEyePoint& a, const SKxEyePoint& b) { return a.fX < b.fX; });
        auto [itMinY, itMaxY] = std::minmax_element(p.vecPoints.begin(), p.vecPoints.end(),
                                                    [](const SKxEyePoint& a, const SKxEyePoint& b) { return a.fY < b.fY; });
        dColumnSpread += static_cast<double>(itMaxX->fX) - itMinX->fX;
        dRowSpread += static_cast<double>(itMaxY->fY) - itMinY->fY;
    }
    return dColumnSpread >= dRowSpread;
}

// Everything written from the profiles: cloud, height map scratch rows and the summary figures.
class CScanSink {
public:
    CScanSink(const SKxEyeScanOptions& opts, uint32_t nWidth, uint32_t nHeight, bool bSwing)
        : m_opts(opts), m_nWidth(nWidth), m_nHeight(nHeight), m_bSwing(bSwing) {
        m_strPly = (std::filesystem::path(opts.strOut) / "scan.ply").string();
        m_strPng = (std::filesystem::path(opts.strOut) / "scan.png").string();
    }
    ~CScanSink() {
        if (m_pScratch) std::fclose(m_pScratch);
    }

    // Opens the cloud under its temporary name and the height scratch file (already unlinked,
    // so that nothing of it outlives the process).
    bool Open(std::string& strError) {
        if (!m_ply.Open(m_strPly)) {
            strError = m_ply.Error();
            return false;
        }
        if (!ColumnMap()) return true;
        std::string strTemplate = (std::filesystem::path(m_opts.strOut) / ".scan-heights.kxeye-XXXXXX").string();
        std::vector<char> vecName(strTemplate.begin(), strTemplate.end());
        vecName.push_back('\0');
        const int fd = ::mkstemp(vecName.data());
        if (fd < 0 || !(m_pScratch = ::fdopen(fd, "w+b"))) {
            strError = std::string("cannot create a scratch file in ") + m_opts.strOut + ": " + std::strerror(errno);
            if (fd >= 0) ::close(fd);
            return false;
        }
        ::unlink(vecName.data());
        return true;
    }

    // False once writing failed.
    bool Add(SProfile&& profile) {
        if (m_bFailed) return false;
        ++m_nFrames;
        m_nPoints += profile.vecPoints.size();
        m_dDecodeSum += profile.dDecodeUs;
        m_dDecodeMax = std::max(m_dDecodeMax, profile.dDecodeUs);
        m_nMinPoints = std::min<uint64_t>(m_nMinPoints, profile.vecPoints.size());
        m_nMaxPoints = std::max<uint64_t>(m_nMaxPoints, profile.vecPoints.size());
        if (m_nFrames == 1) m_nFirstTimeUs = profile.nTimeStampUs;
        m_nLastTimeUs = profile.nTimeStampUs;
        if (!m_bDecided) {
            m_vecLookAhead.push_back(std::move(profile));
            if (m_vecLookAhead.size() >= c_nLookAhead) return Decide();
            return true;
        }
        return Emit(profile);
    }

    // Writes what is left and closes both files; false with the reason when anything failed.
    bool Finish(std::string& strError) {
        if (!m_bDecided && !Decide()) m_bFailed = true;
        if (!m_bFailed && !m_ply.Finish()) m_bFailed = true;
        if (m_bFailed) {
            strError = m_strError.empty() ? m_ply.Error() : m_strError;
            m_ply.Abort();
            return false;
        }
        if (!ColumnMap()) return KxEyeWriteHeightMap(*m_grid, FillRows(), m_strPng, m_sMap, strError);
        if (!WriteHeightMap(strError)) return false;
        return true;
    }

    void Abort() { m_ply.Abort(); }
    const std::string& Error() const { return m_strError.empty() ? m_ply.Error() : m_strError; }

    void Summary(ordered_json& j, double dWall) const {
        double dRate = 0;
        if (m_nFrames >= 2 && m_nLastTimeUs > m_nFirstTimeUs)
            dRate = (m_nFrames - 1) * 1e6 / static_cast<double>(m_nLastTimeUs - m_nFirstTimeUs);
        else if (dWall > 0)
            dRate = m_nFrames / dWall;
        j["frames"] = m_nFrames;
        j["meanRate"] = std::round(dRate * 10) / 10;
        j["pointsPerFrame"] = {{"mean", m_nFrames ? static_cast<double>(m_nPoints) / m_nFrames : 0.0},
                               {"min", m_nFrames ? m_nMinPoints : 0},
                               {"max", m_nMaxPoints}};
        j["decodeUs"] = {{"mean", m_nFrames ? m_dDecodeSum / m_nFrames : 0.0}, {"max", m_dDecodeMax}};
    }
    void Outputs(ordered_json& j) const {
        ordered_json travel;
        travel["axis"] = m_strTravel;
        travel["mmPerStep"] = m_strTravel == "none" ? 0.0 : m_dStep;
        travel["coordinate"] = m_strTravel == "none" ? "" : (m_bAlongX ? "y" : "x");
        travel["length"] = m_dTravel;
        j["travel"] = travel;
        j["pointCloud"] = {{"path", m_strPly}, {"points", m_ply.Count()}, {"units", "mm"}};
        if (ColumnMap()) {
            j["heightMap"] = {{"path", m_strPng}, {"width", m_nMapWidth}, {"height", m_nFrames}, {"kind", "columns"}};
            return;
        }
        // The grid's corner in cloud coordinates: the line coordinate across, the other down.
        const char* pszAcross = m_bAlongX ? "x" : "y";
        const char* pszDown = m_bAlongX ? "y" : "x";
        j["heightMap"] = {{"path", m_strPng}, {"width", m_sMap.nWidth}, {"height", m_sMap.nHeight}, {"kind", "scale"},
                          {"cellSize", m_sMap.dCell}, {"columns", m_sMap.nColumns}, {"rows", m_sMap.nRows},
                          {"across", pszAcross}, {"down", pszDown},
                          {"origin", {{pszAcross, m_sMap.dX0}, {pszDown, m_sMap.dY0}}},
                          {"z", {{"min", m_sMap.dMinZ}, {"max", m_sMap.dMaxZ}}}};
    }
    uint64_t Frames() const { return m_nFrames; }

private:
    bool ColumnMap() const { return m_opts.strHeightMap == "columns"; }
    // Rows between two profiles' rows that the gap fill covers: one travel step.
    uint32_t FillRows() const {
        if (!(m_dTravelPerProfile > 0)) return 0;
        return static_cast<uint32_t>(std::min(256.0, std::ceil(m_dTravelPerProfile / m_grid->Cell())));
    }
    // The grid's cell from the look-ahead: the points' spacing along the line and the travel
    // between profiles (the median of each).
    void ChooseCell() {
        std::vector<double> vecSpacing, vecTravel;
        for (size_t i = 0; i < m_vecLookAhead.size(); ++i) {
            const SProfile& p = m_vecLookAhead[i];
            if (p.vecPoints.size() >= 2) {
                auto [itMin, itMax] = std::minmax_element(
                    p.vecPoints.begin(), p.vecPoints.end(),
                    [&](const SKxEyePoint& a, const SKxEyePoint& b) { return m_bAlongX ? a.fX < b.fX : a.fY < b.fY; });
                const double dSpan = m_bAlongX ? double(itMax->fX) - itMin->fX : double(itMax->fY) - itMin->fY;
                if (std::isfinite(dSpan) && dSpan > 0) vecSpacing.push_back(dSpan / double(p.vecPoints.size() - 1));
            }
            if (i == 0) continue;
            const SProfile& q = m_vecLookAhead[i - 1];
            double dStep = 0;
            if (m_strTravel == "encoder") {
                int64_t n = (static_cast<int64_t>(p.nEncoderCount) - q.nEncoderCount) % c_nEncoderRange;
                if (n < 0) n += c_nEncoderRange;
                if (n >= c_nEncoderRange / 2) n -= c_nEncoderRange;
                dStep = std::fabs(static_cast<double>(n)) * m_dStep;
            } else if (m_strTravel == "frame") {
                dStep = static_cast<double>(p.nFrameIndex - q.nFrameIndex) * m_dStep;
            }
            if (dStep > 0) vecTravel.push_back(dStep);
        }
        auto median = [](std::vector<double>& v) {
            if (v.empty()) return 0.0;
            std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
            return v[v.size() / 2];
        };
        m_dTravelPerProfile = median(vecTravel);
        const double dCell = m_opts.dCell > 0 ? m_opts.dCell : KxEyeAutoCell(median(vecSpacing), m_dTravelPerProfile);
        m_grid.emplace(dCell);
    }

    // Settles the travel axis and the line direction from the look-ahead, then writes it.
    bool Decide() {
        m_bDecided = true;
        m_strTravel = m_opts.strTravel;
        if (m_strTravel == "auto") {
            // A sweeping line moves by itself: no travel to add. Otherwise the encoder when it
            // moved, else the frame index.
            const bool bMoved = std::any_of(m_vecLookAhead.begin(), m_vecLookAhead.end(), [&](const SProfile& p) {
                return p.nEncoderCount != m_vecLookAhead.front().nEncoderCount;
            });
            m_strTravel = m_bSwing ? "none" : bMoved ? "encoder" : "frame";
        }
        if (m_opts.dTravelScale > 0) m_dStep = m_opts.dTravelScale;
        else if (m_strTravel == "encoder") m_dStep = KxEyeMmPerCount(m_opts.dWheelRadius, m_opts.nPulsesPerRound);
        else if (m_strTravel == "frame") m_dStep = m_opts.dFrameStep;
        m_bAlongX = LineAlongX(m_vecLookAhead);
        if (!ColumnMap()) ChooseCell();
        std::vector<std::vector<SKxEyePoint>> vecRows;
        for (const SProfile& p : m_vecLookAhead) vecRows.push_back(p.vecPoints);
        m_bMapAlongColumns = KxEyeLineAlongColumns(vecRows);
        m_nMapWidth = m_bMapAlongColumns ? m_nWidth : m_nHeight;
        m_vecRow.assign(m_nMapWidth, std::numeric_limits<float>::quiet_NaN());
        std::vector<std::string> vecComments = {"units mm"};
        if (m_strTravel == "none") {
            vecComments.push_back("travel none: camera coordinates");
        } else {
            char szLine[160];
            std::snprintf(szLine, sizeof(szLine), "travel %s: %.9g mm per %s, added to %s", m_strTravel.c_str(), m_dStep,
                          m_strTravel == "encoder" ? "count" : "frame", m_bAlongX ? "y" : "x");
            vecComments.push_back(szLine);
        }
        if (!m_ply.Begin(vecComments)) {
            m_bFailed = true;
            return false;
        }
        std::vector<SProfile> vec = std::move(m_vecLookAhead);
        m_vecLookAhead.clear();
        for (SProfile& p : vec) {
            if (!Emit(p)) return false;
        }
        return true;
    }

    bool Emit(SProfile& p) {
        // Travel of this profile in millimetres from the first one.
        if (!m_bHaveFirst) {
            m_bHaveFirst = true;
            m_nFirstIndex = p.nFrameIndex;
            m_nPrevCount = p.nEncoderCount;
        }
        if (m_strTravel == "encoder") {
            // Signed step modulo the 29-bit counter: a wrap counts on, a small step back counts back.
            int64_t nStep = (static_cast<int64_t>(p.nEncoderCount) - m_nPrevCount) % c_nEncoderRange;
            if (nStep < 0) nStep += c_nEncoderRange;
            if (nStep >= c_nEncoderRange / 2) nStep -= c_nEncoderRange;
            m_nPulses += nStep;
            m_nPrevCount = p.nEncoderCount;
            m_dTravel = static_cast<double>(m_nPulses) * m_dStep;
        } else if (m_strTravel == "frame") {
            m_dTravel = static_cast<double>(p.nFrameIndex - m_nFirstIndex) * m_dStep;
        }
        // Height map row before the travel shift: it shows Z only.
        if (ColumnMap()) {
            std::fill(m_vecRow.begin(), m_vecRow.end(), std::numeric_limits<float>::quiet_NaN());
            for (const SKxEyePoint& pt : p.vecPoints) {
                const int32_t nPlace = m_bMapAlongColumns ? pt.nColumn : pt.nRow;
                if (nPlace < 0 || static_cast<uint32_t>(nPlace) >= m_nMapWidth || !std::isfinite(pt.fZ)) continue;
                float& f = m_vecRow[static_cast<size_t>(nPlace)];
                // Nearest point wins: it is what one sees from above.
                if (std::isnan(f) || pt.fZ < f) f = pt.fZ;
                m_fMinZ = std::min(m_fMinZ, pt.fZ);
                m_fMaxZ = std::max(m_fMaxZ, pt.fZ);
            }
            if (!m_vecRow.empty() && std::fwrite(m_vecRow.data(), sizeof(float), m_vecRow.size(), m_pScratch) != m_vecRow.size()) {
                m_strError = std::string("cannot write the height scratch file in ") + m_opts.strOut + ": " + std::strerror(errno);
                m_bFailed = true;
                return false;
            }
        }
        if (m_strTravel != "none") {
            const float fShift = static_cast<float>(m_dTravel);
            for (SKxEyePoint& pt : p.vecPoints) {
                if (m_bAlongX) pt.fY += fShift;
                else pt.fX += fShift;
            }
        }
        if (m_grid) {
            for (const SKxEyePoint& pt : p.vecPoints)
                m_grid->Add(m_bAlongX ? pt.fX : pt.fY, m_bAlongX ? pt.fY : pt.fX, pt.fZ);
        }
        if (!m_ply.Add(p.vecPoints)) {
            m_bFailed = true;
            return false;
        }
        return true;
    }

    // Second pass over the scratch rows: grey from the Z range of the whole scan, row by row.
    bool WriteHeightMap(std::string& strError) {
        CKxEyePngWriter png;
        if (m_nMapWidth == 0 || m_nFrames == 0 || !png.Open(m_strPng, m_nMapWidth, static_cast<uint32_t>(m_nFrames))) {
            strError = png.Error().empty() ? "cannot write " + m_strPng : png.Error();
            return false;
        }
        if (std::fflush(m_pScratch) != 0 || std::fseek(m_pScratch, 0, SEEK_SET) != 0) {
            strError = std::string("cannot read back the height scratch file: ") + std::strerror(errno);
            return false;
        }
        const double dSpan = m_fMaxZ > m_fMinZ ? static_cast<double>(m_fMaxZ) - m_fMinZ : 0.0;
        std::vector<uint8_t> vecGrey(m_nMapWidth);
        for (uint64_t r = 0; r < m_nFrames; ++r) {
            if (std::fread(m_vecRow.data(), sizeof(float), m_vecRow.size(), m_pScratch) != m_vecRow.size()) {
                strError = "cannot read back the height scratch file";
                return false;
            }
            for (size_t c = 0; c < m_vecRow.size(); ++c) {
                const float f = m_vecRow[c];
                // Nearer, so taller, is brighter. Black (0) marks "no point", so the farthest
                // point stays a visible dark grey; a flat scene is white.
                vecGrey[c] = std::isnan(f) ? 0
                                           : static_cast<uint8_t>(std::lround(
                                                 dSpan > 0 ? 48.0 + 207.0 * (m_fMaxZ - f) / dSpan : 255.0));
            }
            if (!png.Row(vecGrey.data())) {
                strError = png.Error();
                return false;
            }
        }
        if (!png.Finish()) {
            strError = png.Error().empty() ? "cannot write " + m_strPng : png.Error();
            return false;
        }
        return true;
    }

    const SKxEyeScanOptions& m_opts;
    const uint32_t m_nWidth, m_nHeight;
    const bool m_bSwing;
    std::string m_strPly, m_strPng, m_strError;
    CKxEyePlyWriter m_ply;
    FILE* m_pScratch = nullptr;
    bool m_bFailed = false;
    bool m_bDecided = false;
    std::vector<SProfile> m_vecLookAhead;
    std::string m_strTravel;
    double m_dStep = 0;
    bool m_bAlongX = true;
    bool m_bMapAlongColumns = true;
    uint32_t m_nMapWidth = 0;
    std::vector<float> m_vecRow;
    float m_fMinZ = std::numeric_limits<float>::max();
    float m_fMaxZ = std::numeric_limits<float>::lowest();
    bool m_bHaveFirst = false;
    uint64_t m_nFirstIndex = 0;
    int64_t m_nPrevCount = 0;
    int64_t m_nPulses = 0;
    double m_dTravel = 0;
    std::optional<CKxEyeHeightGrid> m_grid;  // the map to scale
    double m_dTravelPerProfile = 0;
    SKxEyeHeightMapInfo m_sMap;
    uint64_t m_nFrames = 0;
    uint64_t m_nPoints = 0;
    uint64_t m_nMinPoints = std::numeric_limits<uint64_t>::max();
    uint64_t m_nMaxPoints = 0;
    double m_dDecodeSum = 0, m_dDecodeMax = 0;
    uint64_t m_nFirstTimeUs = 0, m_nLastTimeUs = 0;
};

}  // namespace

double KxEyeMmPerCount(double dWheelRadius, int64_t nPulsesPerRound) {
    return 2.0 * M_PI * dWheelRadius / static_cast<double>(nPulsesPerRound);
}

int KxEyeScan(EKxEyeSource eSource, const SKxEyeScanOptions& opts) {
    // Ctrl-C (or SIGTERM) from here on ends the capture and keeps what came; a second one ends
    // the tool at once.
    struct SInterruptGuard {
        struct sigaction saOldInt {}, saOldTerm {};
        SInterruptGuard() {
            struct sigaction sa {};
            sa.sa_handler = OnInterrupt;
            sigemptyset(&sa.sa_mask);
            sa.sa_flags = SA_RESETHAND;
            sigaction(SIGINT, &sa, &saOldInt);
            sigaction(SIGTERM, &sa, &saOldTerm);
        }
        ~SInterruptGuard() { Restore(); }
        void Restore() {
            sigaction(SIGINT, &saOldInt, nullptr);
            sigaction(SIGTERM, &saOldTerm, nullptr);
        }
    } interruptGuard;
    std::string strError;
    if (!KxEyeCheckOutputDir(opts.strOut, strError)) {
        std::cerr << "kxeye: " << strError << "\n";
        return c_nKxEyeExitFailure;
    }
    const uint64_t nLimit = opts.nFrames > 0 ? static_cast<uint64_t>(opts.nFrames) : UINT64_MAX;
    // Declared before the session: the camera library may still be inside the callback until
    // the device is closed.
    CScanCallback callback(opts.nFormat, opts.sParam, nLimit);
    CKxEyeSession session;
    if (!session.Open(eSource, opts.strCamera)) return KxEyeOpenFailed(session, opts.bJson);
    IKxLaserEyeDevice* pDev = session.Device();
    ordered_json jResult;
    jResult["camera"] = KxEyeCameraJson(session);
    if (!KxEyeApplyRunSettings(pDev, opts.sRun, jResult, !opts.bJson)) {
        if (opts.bJson) KxEyePrintJson(jResult);
        return c_nKxEyeExitFailure;
    }
    uint32_t nWidth = 0, nHeight = 0;
    pDev->GetVideoResolution(&nWidth, &nHeight);

    CKxEyeOutputDir outDir(opts.strOut);
    CScanSink sink(opts, nWidth, nHeight, opts.sRun.strSwing == "on");
    if (!outDir.Create(strError) || !sink.Open(strError)) {
        std::cerr << "kxeye: " << strError << "\n";
        return c_nKxEyeExitFailure;
    }

    const bool bTerminal = isatty(STDERR_FILENO) != 0;
    CKxEyeLiveLine liveLine(bTerminal);

    // A lost camera is told at once (event 4 comes about a second after its last answer), not
    // after the stall timeout; with --reconnect the device takes it back by itself and the scan
    // goes on into the same files.
    CKxEyeRef<CScanEvents> events(new CScanEvents);
    pDev->SetEventHandler(events.Get());
    IKxLaserEyeDeviceReconnect* pReconnect = static_cast<IKxLaserEyeDeviceReconnect*>(pDev);
    if (opts.bReconnect) pReconnect->EnableReconnect(true, 500, static_cast<uint32_t>(opts.dReconnectWait * 1000.0));
    const std::string strCameraName = CameraName(pDev, opts.strCamera);

    IKxSignal* pFinish = nullptr;
    const int32_t nStart = pDev->StartCapture(0, &callback, opts.sRun.strSwing == "on" ? &pFinish : nullptr);
    CKxEyeRef<IKxSignal> finish(pFinish);
    if (nStart != KX_OK) {
        sink.Abort();
        std::cerr << "kxeye: StartCapture failed: " << KxEyeFormatCode(nStart) << "\n";
        return c_nKxEyeExitFailure;
    }
    const Clock::time_point tStart = Clock::now();
    Clock::time_point tLastProgress = tStart;
    bool bStalled = false, bWriteFailed = false, bLost = false, bLossTold = false;
    uint32_t nReconnectsTold = 0;
    uint64_t nOutageLost = 0;  // frames estimated to be lost while the camera was gone for good
    uint64_t nWritten = 0;
    SProfile profile;
    // Frames the camera would have made from the last frame until now, at the scan's own rate.
    auto framesSince = [&](const CScanCallback::SProgress& p, Clock::time_point tNow) -> uint64_t {
        const double dSpan = std::chrono::duration<double>(p.tLast - p.tFirst).count();
        if (p.nAccepted < 2 || dSpan <= 0) return 0;
        const double dRate = static_cast<double>(p.nAccepted - 1) / dSpan;
        return static_cast<uint64_t>(std::llround(std::chrono::duration<double>(tNow - p.tLast).count() * dRate));
    };
    auto done = [&](uint64_t nFrames) { return opts.nFrames > 0 && nFrames >= nLimit; };
    while (!g_bInterrupted && !done(nWritten)) {
        if (callback.Pop(profile, std::chrono::milliseconds(100))) {
            ++nWritten;
            if (!sink.Add(std::move(profile))) {
                bWriteFailed = true;
                break;
            }
        }
        const Clock::time_point tNow = Clock::now();
        const double dElapsed = std::chrono::duration<double>(tNow - tStart).count();
        if (opts.nFrames <= 0 && dElapsed >= opts.dSeconds) break;
        const CScanCallback::SProgress progress = callback.Progress();
        const Clock::time_point tRef = progress.nAccepted ? progress.tLast : tStart;
        const double dSilent = std::chrono::duration<double>(tNow - tRef).count();
        const CScanEvents::SState ev = events->State();
        if (ev.bLost && !bLossTold) {
            bLossTold = true;
            char sz[512];
            snprintf(sz, sizeof sz,
                     "kxeye: camera %s went offline at frame %llu: no answer for %.1f s; check cable and power, then kxeye doctor %s",
                     strCameraName.c_str(), static_cast<unsigned long long>(progress.nAccepted),
                     std::chrono::duration<double>(ev.tLost - tRef).count(), strCameraName.c_str());
            liveLine.Print(sz);
            if (opts.bReconnect) liveLine.Print("kxeye: waiting for the camera to come back (--reconnect)");
        }
        if (ev.nReconnects > nReconnectsTold) {
            nReconnectsTold = ev.nReconnects;
            bLossTold = false;
            SKxReconnectState st{};
            pReconnect->GetReconnectState(&st);
            char sz[512];
            snprintf(sz, sizeof sz, "kxeye: camera %s is back after %.1f s; scan goes on (%llu frame(s) missed)",
                     strCameraName.c_str(), st.nOutageMs / 1000.0, static_cast<unsigned long long>(st.nFramesMissed));
            liveLine.Print(sz);
        }
        if (ev.bLost && (!opts.bReconnect || ev.bGaveUp)) {
            bLost = true;
            nOutageLost = framesSince(progress, tNow);
            break;
        }
        // While the device tries to take the camera back, silence is expected: the bound is the
        // reconnect's own (--reconnect-wait).
        if (!ev.bLost && dSilent > opts.dTimeout) {
            bStalled = true;
            break;
        }
        if (bTerminal && tNow - tLastProgress >= std::chrono::milliseconds(250)) {
            tLastProgress = tNow;
            // A scan takes the laser part of each frame only.
            std::string strLine = KxEyeLiveLine(pDev->GetCoreEye(), nWritten, c_nOrEyeLaserBytes, progress.nLost, dElapsed);
            if (dSilent >= 1.0) strLine += "  no frame for " + std::to_string(static_cast<int>(dSilent)) + " s";
            liveLine.Update(strLine);
        }
    }
    const double dWall = std::chrono::duration<double>(Clock::now() - tStart).count();
    liveLine.End();
    callback.Stop();
    if (opts.bReconnect) pReconnect->EnableReconnect(false, 0, 0);
    // After a loss StopCapture ends the capture all the same and answers the offline code.
    const int32_t nStop = pDev->StopCapture();
    // Profiles queued before the stop are part of the scan.
    while (!bWriteFailed && callback.Pop(profile, std::chrono::milliseconds(0))) {
        ++nWritten;
        if (!sink.Add(std::move(profile))) bWriteFailed = true;
    }
    const bool bInterrupted = g_bInterrupted;
    int nExit = c_nKxEyeExitOk;
    if (nStop != KX_OK && !(bLost && nStop == KX_E_OFFLINE)) {
        std::cerr << "kxeye: StopCapture failed: " << KxEyeFormatCode(nStop) << "\n";
        nExit = c_nKxEyeExitFailure;
    }
    if (bStalled) {
        std::cerr << "kxeye: no frame for " << opts.dTimeout << " s; stopped after " << sink.Frames() << " frame(s)\n";
        nExit = c_nKxEyeExitFailure;
    }
    if (bInterrupted) std::cerr << "kxeye: interrupted; writing the frames captured so far\n";
    if (bLost) std::cerr << "kxeye: camera lost; writing the frames captured so far\n";

    ordered_json& j = jResult;
    sink.Summary(j, dWall);
    // Gaps in the frame index, plus the frames the camera would have made after the last one
    // when it was lost for good (an estimate at the scan's rate).
    j["framesLost"] = callback.Progress().nLost + nOutageLost;
    // Ethernet only: the packets the camera sent again on the host's request (null elsewhere).
    const int64_t nResent = KxEyePacketsResent(pDev->GetCoreEye());
    j["packetsResent"] = nResent >= 0 ? ordered_json(nResent) : ordered_json(nullptr);
    j["interrupted"] = bInterrupted;
    j["stalled"] = bStalled;
    j["lost"] = bLost;
    j["reconnects"] = nReconnectsTold;
    const bool bText = !opts.bJson;
    auto printSummary = [&] {
        if (!bText) return;
        std::printf("frames: %llu\n", static_cast<unsigned long long>(j["frames"].get<uint64_t>()));
        std::printf("frames lost: %llu\n", static_cast<unsigned long long>(j["framesLost"].get<uint64_t>()));
        if (nResent >= 0) std::printf("packets resent: %lld\n", static_cast<long long>(nResent));
        std::printf("mean rate: %.1f frames/s\n", j["meanRate"].get<double>());
        std::printf("points per frame: %.1f (min %llu, max %llu)\n", j["pointsPerFrame"]["mean"].get<double>(),
                    static_cast<unsigned long long>(j["pointsPerFrame"]["min"].get<uint64_t>()),
                    static_cast<unsigned long long>(j["pointsPerFrame"]["max"].get<uint64_t>()));
        std::printf("decode time per frame: %.1f us (max %.1f us)\n", j["decodeUs"]["mean"].get<double>(),
                    j["decodeUs"]["max"].get<double>());
    };
    if (sink.Frames() == 0 || bWriteFailed) {
        sink.Abort();
        printSummary();
        if (bWriteFailed) std::cerr << "kxeye: " << sink.Error() << "\n";
        else std::cerr << "kxeye: no frame captured; nothing written\n";
        if (opts.bJson) KxEyePrintJson(j);
        return bLost && !bWriteFailed ? c_nKxEyeExitLost : c_nKxEyeExitFailure;
    }
    if (!sink.Finish(strError)) {
        printSummary();
        std::cerr << "kxeye: " << strError << "\n";
        if (opts.bJson) KxEyePrintJson(j);
        return c_nKxEyeExitFailure;
    }
    outDir.Keep();
    sink.Outputs(j);
    printSummary();
    if (bText) {
        const ordered_json& t = j["travel"];
        if (t["axis"] == "none")
            std::printf("travel axis: none\n");
        else
            std::printf("travel axis: %s, %.6g mm per %s, added to %s (%.1f mm in all)\n",
                        t["axis"].get<std::string>().c_str(), t["mmPerStep"].get<double>(),
                        t["axis"] == "encoder" ? "count" : "frame", t["coordinate"].get<std::string>().c_str(),
                        t["length"].get<double>());
        std::printf("point cloud: %s (%llu points, mm)\n", j["pointCloud"]["path"].get<std::string>().c_str(),
                    static_cast<unsigned long long>(j["pointCloud"]["points"].get<uint64_t>()));
        const ordered_json& m = j["heightMap"];
        if (m["kind"] == "scale")
            std::printf("height map: %s (%u x %u pixels: %u x %u cells of %.6g mm, Z %.2f to %.2f mm)\n",
                        m["path"].get<std::string>().c_str(), m["width"].get<uint32_t>(), m["height"].get<uint32_t>(),
                        m["columns"].get<uint32_t>(), m["rows"].get<uint32_t>(), m["cellSize"].get<double>(),
                        m["z"]["min"].get<double>(), m["z"]["max"].get<double>());
        else
            std::printf("height map: %s (%u x %llu)\n", m["path"].get<std::string>().c_str(), m["width"].get<uint32_t>(),
                        static_cast<unsigned long long>(m["height"].get<uint64_t>()));
    } else {
        KxEyePrintJson(j);
    }
    if (nExit == c_nKxEyeExitOk && bInterrupted) nExit = c_nKxEyeExitInterrupted;
    if (nExit == c_nKxEyeExitOk && bLost) nExit = c_nKxEyeExitLost;
    return nExit;
}
