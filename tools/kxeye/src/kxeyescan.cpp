// scan: continuous capture through the data callback, then a PLY cloud, a PNG height map and a
// summary. The callback runs on the camera library's thread; it only decodes and queues, and
// all file work happens after StopCapture.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <mutex>

#include "kxeyecodes.h"
#include "kxeyecommands.h"
#include "kxeyeoutput.h"

namespace {

using Clock = std::chrono::steady_clock;

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
            if (!m_bAccepting || m_vecProfiles.size() >= m_nLimit) return;
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
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_bAccepting || m_vecProfiles.size() >= m_nLimit) return;
            if (!m_vecProfiles.empty() && profile.nFrameIndex > m_vecProfiles.back().nFrameIndex)
                m_nLost += profile.nFrameIndex - m_vecProfiles.back().nFrameIndex - 1;
            m_nPoints += profile.vecPoints.size();
            m_vecProfiles.push_back(std::move(profile));
            m_tLast = Clock::now();
        }
        m_cv.notify_all();
    }

    // Waits up to the timeout for a change; answers the number of profiles.
    size_t Wait(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(m_mutex);
        const size_t nBefore = m_vecProfiles.size();
        m_cv.wait_for(lock, timeout, [&] { return m_vecProfiles.size() != nBefore; });
        return m_vecProfiles.size();
    }

    struct SProgress {
        size_t nFrames;
        uint64_t nLost;
        uint64_t nPoints;
        Clock::time_point tLast;
    };
    SProgress Progress() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return {m_vecProfiles.size(), m_nLost, m_nPoints, m_tLast};
    }

    // Stops accepting and hands over what was collected.
    std::vector<SProfile> Take(uint64_t& nLost) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bAccepting = false;
        nLost = m_nLost;
        return std::move(m_vecProfiles);
    }

private:
    const int32_t m_nFormat;
    const SKxLaserResultAfterProcParam m_sParam;
    const uint64_t m_nLimit;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_bAccepting = true;
    std::vector<SProfile> m_vecProfiles;
    uint64_t m_nLost = 0;
    uint64_t m_nPoints = 0;
    Clock::time_point m_tLast = Clock::now();
};

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

}  // namespace

int KxEyeScan(EKxEyeSource eSource, const SKxEyeScanOptions& opts) {
    const std::string strPly = (std::filesystem::path(opts.strOut) / "scan.ply").string();
    const std::string strPng = (std::filesystem::path(opts.strOut) / "scan.png").string();
    std::error_code ec;
    std::filesystem::create_directories(opts.strOut, ec);
    if (ec || !std::filesystem::is_directory(opts.strOut)) {
        std::cerr << "kxeye: cannot create output folder \"" << opts.strOut << "\": " << ec.message() << "\n";
        return c_nKxEyeExitFailure;
    }
    const uint64_t nLimit = opts.nFrames > 0 ? static_cast<uint64_t>(opts.nFrames) : UINT64_MAX;
    // Declared before the session: the camera library may still be inside the callback until
    // the device is closed.
    CScanCallback callback(opts.nFormat, opts.sParam, nLimit);
    CKxEyeSession session;
    if (!session.Open(eSource, opts.strCamera)) return c_nKxEyeExitFailure;
    IKxLaserEyeDevice* pDev = session.Device();
    uint32_t nWidth = 0, nHeight = 0;
    pDev->GetVideoResolution(&nWidth, &nHeight);

    const bool bTerminal = isatty(STDERR_FILENO) != 0;
    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    struct sigaction saOld {};
    sigaction(SIGINT, &sa, &saOld);

    const int32_t nStart = pDev->StartCapture(0, &callback, nullptr);
    if (nStart != KX_OK) {
        sigaction(SIGINT, &saOld, nullptr);
        std::cerr << "kxeye: StartCapture failed: " << KxEyeFormatCode(nStart) << "\n";
        return c_nKxEyeExitFailure;
    }
    const Clock::time_point tStart = Clock::now();
    Clock::time_point tLastProgress = tStart;
    bool bStalled = false;
    while (!g_bInterrupted) {
        const size_t nFrames = callback.Wait(std::chrono::milliseconds(100));
        const Clock::time_point tNow = Clock::now();
        const double dElapsed = std::chrono::duration<double>(tNow - tStart).count();
        if (opts.nFrames > 0 && nFrames >= nLimit) break;
        if (opts.nFrames <= 0 && dElapsed >= opts.dSeconds) break;
        const CScanCallback::SProgress progress = callback.Progress();
        const Clock::time_point tRef = progress.nFrames ? progress.tLast : tStart;
        if (std::chrono::duration<double>(tNow - tRef).count() > opts.dTimeout) {
            bStalled = true;
            break;
        }
        if (bTerminal && tNow - tLastProgress >= std::chrono::milliseconds(250)) {
            tLastProgress = tNow;
            std::fprintf(stderr, "\rframes %zu  rate %.1f/s  lost %llu  points/frame %.0f   ", progress.nFrames,
                         dElapsed > 0 ? progress.nFrames / dElapsed : 0.0,
                         static_cast<unsigned long long>(progress.nLost),
                         progress.nFrames ? static_cast<double>(progress.nPoints) / progress.nFrames : 0.0);
        }
    }
    const double dWall = std::chrono::duration<double>(Clock::now() - tStart).count();
    if (bTerminal) std::fprintf(stderr, "\n");
    const int32_t nStop = pDev->StopCapture();
    sigaction(SIGINT, &saOld, nullptr);
    uint64_t nLost = 0;
    std::vector<SProfile> vecProfiles = callback.Take(nLost);
    int nExit = c_nKxEyeExitOk;
    if (nStop != KX_OK) {
        std::cerr << "kxeye: StopCapture failed: " << KxEyeFormatCode(nStop) << "\n";
        nExit = c_nKxEyeExitFailure;
    }
    if (bStalled) {
        std::cerr << "kxeye: no frame for " << opts.dTimeout << " s; stopped after " << vecProfiles.size()
                  << " frame(s)\n";
        nExit = c_nKxEyeExitFailure;
    }
    if (g_bInterrupted) std::cerr << "kxeye: interrupted; writing the frames captured so far\n";

    // Summary.
    const size_t nFrames = vecProfiles.size();
    uint64_t nPoints = 0;
    double dDecodeSum = 0, dDecodeMax = 0;
    size_t nMinPoints = SIZE_MAX, nMaxPoints = 0;
    for (const SProfile& p : vecProfiles) {
        nPoints += p.vecPoints.size();
        dDecodeSum += p.dDecodeUs;
        dDecodeMax = std::max(dDecodeMax, p.dDecodeUs);
        nMinPoints = std::min(nMinPoints, p.vecPoints.size());
        nMaxPoints = std::max(nMaxPoints, p.vecPoints.size());
    }
    double dRate = 0;
    if (nFrames >= 2 && vecProfiles.back().nTimeStampUs > vecProfiles.front().nTimeStampUs) {
        dRate = (nFrames - 1) * 1e6 / static_cast<double>(vecProfiles.back().nTimeStampUs - vecProfiles.front().nTimeStampUs);
    } else if (dWall > 0) {
        dRate = nFrames / dWall;
    }
    std::printf("frames: %zu\n", nFrames);
    std::printf("frames lost: %llu\n", static_cast<unsigned long long>(nLost));
    std::printf("mean rate: %.1f frames/s\n", dRate);
    std::printf("points per frame: %.1f (min %zu, max %zu)\n", nFrames ? static_cast<double>(nPoints) / nFrames : 0.0,
                nFrames ? nMinPoints : 0, nMaxPoints);
    std::printf("decode time per frame: %.1f us (max %.1f us)\n", nFrames ? dDecodeSum / nFrames : 0.0, dDecodeMax);
    if (nFrames == 0) {
        std::cerr << "kxeye: no frame captured; nothing written\n";
        return c_nKxEyeExitFailure;
    }

    // Point cloud: the travel position goes across the laser line.
    std::string strTravel = opts.strTravel;
    if (strTravel == "auto") {
        const bool bEncoderMoved = std::any_of(vecProfiles.begin(), vecProfiles.end(), [&](const SProfile& p) {
            return p.nEncoderCount != vecProfiles.front().nEncoderCount;
        });
        strTravel = bEncoderMoved ? "encoder" : "frame";
    }
    const bool bAlongX = LineAlongX(vecProfiles);
    std::vector<SKxEyePoint> vecCloud;
    vecCloud.reserve(nPoints);
    for (const SProfile& p : vecProfiles) {
        double dTravel = 0;
        if (strTravel == "encoder")
            dTravel = static_cast<double>(p.nEncoderCount) - static_cast<double>(vecProfiles.front().nEncoderCount);
        else if (strTravel == "frame")
            dTravel = static_cast<double>(p.nFrameIndex - vecProfiles.front().nFrameIndex);
        const float fShift = static_cast<float>(dTravel * opts.dTravelScale);
        for (SKxEyePoint pt : p.vecPoints) {
            if (bAlongX) pt.fY += fShift;
            else pt.fX += fShift;
            vecCloud.push_back(pt);
        }
    }
    if (!KxEyeWritePly(strPly, vecCloud)) {
        std::fprintf(stderr, "kxeye: cannot write %s: %s\n", strPly.c_str(), std::strerror(errno));
        return c_nKxEyeExitFailure;
    }
    std::printf("travel axis: %s\n", strTravel.c_str());
    std::printf("point cloud: %s (%zu points)\n", strPly.c_str(), vecCloud.size());

    // Height map: one row per profile, one column per image column (or row) along the line.
    std::vector<std::vector<SKxEyePoint>> vecRows;
    vecRows.reserve(nFrames);
    for (SProfile& p : vecProfiles) vecRows.push_back(std::move(p.vecPoints));
    const bool bAlongColumns = KxEyeLineAlongColumns(vecRows);
    const int32_t nMapWidth = static_cast<int32_t>(bAlongColumns ? nWidth : nHeight);
    std::vector<uint8_t> vecPixels = KxEyeHeightMap(vecRows, nMapWidth, !bAlongColumns);
    if (!KxEyeWriteGreyPng(strPng, vecPixels, nMapWidth, static_cast<int32_t>(vecRows.size()))) {
        std::fprintf(stderr, "kxeye: cannot write %s\n", strPng.c_str());
        return c_nKxEyeExitFailure;
    }
    std::printf("height map: %s (%d x %zu)\n", strPng.c_str(), nMapWidth, vecRows.size());
    return nExit;
}
