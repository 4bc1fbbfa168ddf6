// scan with several cameras: all captured at once through the SDK's frame groups (paired by the
// shared encoder, or by host time without one), each camera's profiles placed with its pose from
// an alignment file, written as one PLY cloud with a camera index per point and one height map
// to scale. The group's thread decodes and queues; the main thread writes.
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
#include <memory>
#include <mutex>
#include <optional>

#include "kxeyealign.h"
#include "kxeyecodes.h"
#include "kxeyecommands.h"
#include "kxeyefile.h"
#include "kxeyeheightmap.h"
#include "kxeyeoutput.h"
#include "kxlasereyegroup.h"

namespace {

using Clock = std::chrono::steady_clock;
const size_t c_nQueueLimit = 64;
const int64_t c_nEncoderRange = int64_t(1) << 29;

std::atomic<bool> g_bGroupInterrupted{false};
extern "C" void OnGroupInterrupt(int) { g_bGroupInterrupted = true; }

int64_t CountStep(uint32_t nFrom, uint32_t nTo) {
    int64_t n = (static_cast<int64_t>(nTo & 0x1FFFFFFFu) - static_cast<int64_t>(nFrom & 0x1FFFFFFFu)) % c_nEncoderRange;
    if (n < 0) n += c_nEncoderRange;
    if (n >= c_nEncoderRange / 2) n -= c_nEncoderRange;
    return n;
}

struct SGroupProfile {
    uint32_t nEncoderCount = 0;
    uint64_t nFrameIndex = 0;
    std::vector<SKxEyePoint> vecPoints;
};
struct SGroup {
    int32_t nPairedBy = 0;
    int64_t nSpread = 0;
    std::vector<SGroupProfile> vecProfiles;  // one per camera
};

// Group's thread: decode each camera's frame with its own after-processing, queue for the writer.
class CGroupSink : public IKxFrameGroupHandler {
public:
    CGroupSink(int32_t nFormat, std::vector<SKxLaserResultAfterProcParam> vecParams, uint64_t nLimit)
        : m_nFormat(nFormat), m_vecParams(std::move(vecParams)), m_nLimit(nLimit) {}

    void OnFrameGroup(IKxLaserEyeResultBlock* const* ppBlocks, uint32_t nCount, const SKxFrameGroupInfo& info) override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_bAccepting || m_nAccepted >= m_nLimit) return;
        }
        SGroup g;
        g.nPairedBy = info.nPairedBy;
        g.nSpread = info.nSpread;
        g.vecProfiles.resize(nCount);
        for (uint32_t i = 0; i < nCount && i < m_vecParams.size(); ++i) {
            SGroupProfile& p = g.vecProfiles[i];
            p.nEncoderCount = ppBlocks[i]->GetEncoderCount();
            p.nFrameIndex = ppBlocks[i]->GetFrameIndex();
            ppBlocks[i]->SetAfterProcParam(m_vecParams[i]);
            KxEyeReadBlock(ppBlocks[i], m_nFormat, p.vecPoints);
        }
        std::unique_lock<std::mutex> lock(m_mutex);
        // A slow disk holds the group's thread; the group then gives frames back (counted
        // unpaired) rather than growing.
        m_cvRoom.wait(lock, [&] { return !m_bAccepting || m_queue.size() < c_nQueueLimit; });
        if (!m_bAccepting || m_nAccepted >= m_nLimit) return;
        ++m_nAccepted;
        m_tLast = Clock::now();
        m_queue.push_back(std::move(g));
        lock.unlock();
        m_cvData.notify_all();
    }
    bool Pop(SGroup& g, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_cvData.wait_for(lock, timeout, [&] { return !m_queue.empty(); })) return false;
        g = std::move(m_queue.front());
        m_queue.pop_front();
        lock.unlock();
        m_cvRoom.notify_all();
        return true;
    }
    void Stop() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bAccepting = false;
        }
        m_cvRoom.notify_all();
    }
    Clock::time_point LastGroup() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_tLast;
    }

private:
    const int32_t m_nFormat;
    const std::vector<SKxLaserResultAfterProcParam> m_vecParams;
    const uint64_t m_nLimit;
    std::mutex m_mutex;
    std::condition_variable m_cvData, m_cvRoom;
    bool m_bAccepting = true;
    std::deque<SGroup> m_queue;
    uint64_t m_nAccepted = 0;
    Clock::time_point m_tLast = Clock::now();
};

// Which camera went offline first (-1: none).
class CGroupEvents : public IKxDeviceEventHandler {
public:
    explicit CGroupEvents(int nIndex, std::atomic<int>* pLost) : m_nIndex(nIndex), m_pLost(pLost) {}
    void OnDeviceEvent(IKxDevice*, int32_t nEvent) override {
        int nNone = -1;
        if (nEvent == c_nKxEventOffline) m_pLost->compare_exchange_strong(nNone, m_nIndex);
    }

private:
    int m_nIndex;
    std::atomic<int>* m_pLost;
};

}  // namespace

int KxEyeScanGroup(EKxEyeSource eSource, const SKxEyeScanOptions& opts) {
    struct SInterruptGuard {
        struct sigaction saOldInt {}, saOldTerm {};
        SInterruptGuard() {
            struct sigaction sa {};
            sa.sa_handler = OnGroupInterrupt;
            sigemptyset(&sa.sa_mask);
            sa.sa_flags = SA_RESETHAND;
            sigaction(SIGINT, &sa, &saOldInt);
            sigaction(SIGTERM, &sa, &saOldTerm);
        }
        ~SInterruptGuard() {
            sigaction(SIGINT, &saOldInt, nullptr);
            sigaction(SIGTERM, &saOldTerm, nullptr);
        }
    } interruptGuard;
    std::string strError;
    const size_t nCameras = opts.vecCameras.size();
    if (nCameras > 255) {
        std::cerr << "kxeye: at most 255 cameras in one scan\n";
        return c_nKxEyeExitUsage;
    }
    if (!KxEyeCheckOutputDir(opts.strOut, strError)) {
        std::cerr << "kxeye: " << strError << "\n";
        return c_nKxEyeExitFailure;
    }
    std::vector<SKxEyeCameraPose> vecPoses;
    if (!opts.strAlign.empty() && !LoadAlignFile(opts.strAlign, &vecPoses, &strError)) {
        std::cerr << "kxeye: " << strError << "\n";
        return c_nKxEyeExitFailure;
    }
    const bool bAligned = !opts.strAlign.empty();

    // Open every camera; the first that cannot be opened ends the scan before anything runs.
    std::vector<std::unique_ptr<CKxEyeSession>> vecSessions;
    std::vector<IKxLaserEyeDevice*> vecDevices;
    std::vector<SKxLaserResultAfterProcParam> vecParams;
    std::vector<double> vecTravelOffset;
    ordered_json j;
    j["cameras"] = ordered_json::array();
    for (size_t i = 0; i < nCameras; ++i) {
        vecSessions.push_back(std::make_unique<CKxEyeSession>());
        CKxEyeSession& s = *vecSessions.back();
        if (!s.Open(eSource, opts.vecCameras[i])) {
            std::cerr << "kxeye: camera " << i << " (" << opts.vecCameras[i] << ") could not be opened\n";
            return KxEyeOpenFailed(s, opts.bJson);
        }
        ordered_json jCam = KxEyeCameraJson(s);
        jCam["given"] = opts.vecCameras[i];
        if (!KxEyeApplyRunSettings(s.Device(), opts.sRun, jCam, !opts.bJson)) {
            if (opts.bJson) KxEyePrintJson(jCam);
            return c_nKxEyeExitFailure;
        }
        if (opts.nStaggerUs > 0) {
            // Taking turns: a trigger delay of i steps after the frame instant all cameras share.
            const uint64_t nDelay = static_cast<uint64_t>(opts.nStaggerUs) * i;
            // At most 255 cameras of at most 1 s each: within 32 bits.
            const int32_t nCode = s.Device()->SetTriggerN(0, static_cast<uint32_t>(nDelay));
            jCam["triggerDelayUs"] = nDelay;
            if (nCode != KX_OK) {
                std::cerr << "kxeye: camera " << opts.vecCameras[i] << ": trigger delay " << nDelay
                          << " us refused: " << KxEyeFormatCode(nCode) << "\n";
                return c_nKxEyeExitFailure;
            }
        }
        SKxLaserResultAfterProcParam param = opts.sParam;
        double dOffset = 0;
        if (bAligned) {
            const SKxEyeCameraPose* pPose = FindPose(vecPoses, opts.vecCameras[i], s.Identity().strSerial);
            if (pPose == nullptr) {
                std::cerr << "kxeye: camera " << opts.vecCameras[i] << " (serial " << s.Identity().strSerial
                          << ") is not in " << opts.strAlign << "; run kxeye align with it first\n";
                return c_nKxEyeExitFailure;
            }
            PoseToAfterProc(*pPose, &param, &dOffset);
            jCam["pose"] = {{"rotation", std::vector<double>(pPose->r, pPose->r + 9)},
                            {"translation", std::vector<double>(pPose->t, pPose->t + 3)},
                            {"residualMm", pPose->residual}};
        }
        vecParams.push_back(param);
        vecTravelOffset.push_back(dOffset);
        vecDevices.push_back(s.Device());
        j["cameras"].push_back(jCam);
    }

    CKxEyeOutputDir outDir(opts.strOut);
    const std::string strPly = (std::filesystem::path(opts.strOut) / "scan.ply").string();
    const std::string strPng = (std::filesystem::path(opts.strOut) / "scan.png").string();
    CKxEyePlyWriter ply;
    if (!outDir.Create(strError) || !ply.Open(strPly)) {
        std::cerr << "kxeye: " << (strError.empty() ? ply.Error() : strError) << "\n";
        return c_nKxEyeExitFailure;
    }

    std::atomic<int> nLostCamera{-1};
    std::vector<CKxEyeRef<CGroupEvents>> vecEvents;
    for (size_t i = 0; i < nCameras; ++i) {
        vecEvents.emplace_back(new CGroupEvents(static_cast<int>(i), &nLostCamera));
        vecDevices[i]->SetEventHandler(vecEvents.back().Get());
    }

    const uint64_t nLimit = opts.nFrames > 0 ? static_cast<uint64_t>(opts.nFrames) : UINT64_MAX;
    CGroupSink sink(opts.nFormat, vecParams, nLimit);
    SKxFrameGroupOptions groupOpts;
    groupOpts.nPairBy = opts.strTravel == "encoder" ? c_nKxPairByEncoder
                        : (opts.strTravel == "frame" || opts.strTravel == "none") ? c_nKxPairByHostTime
                                                                                   : c_nKxPairByAuto;
    // Declared after the sink and the devices' sessions: Stop (in its destructor at the latest)
    // ends every callback into the sink before they go.
    CKxFrameGroup group(vecDevices, &sink, groupOpts);
    const int32_t nStart = group.Start();
    if (nStart != KX_OK) {
        ply.Abort();
        std::cerr << "kxeye: StartCapture failed: " << KxEyeFormatCode(nStart) << "\n";
        return c_nKxEyeExitFailure;
    }

    const double dMmPerCount = opts.dTravelScale > 0 ? opts.dTravelScale
                                                      : KxEyeMmPerCount(opts.dWheelRadius, opts.nPulsesPerRound);
    const double dFrameStep = opts.dTravelScale > 0 ? opts.dTravelScale : opts.dFrameStep;
    std::optional<CKxEyeHeightGrid> grid;
    std::vector<std::string> vecComments = {"units mm", "one cloud of " + std::to_string(nCameras) + " cameras; camera = index in the command line"};
    vecComments.push_back(bAligned ? "world frame of " + opts.strAlign + ": X across the belt, Y along the travel, Z up"
                                   : "no alignment: each camera's own coordinates, travel added");
    bool bBegun = false, bWriteFailed = false;
    uint64_t nGroups = 0;
    std::vector<uint64_t> vecPoints(nCameras, 0);
    // Travel: the shared encoder's count unwrapped from the first group's anchor count, or
    // the anchor's frame index when the groups are paired by time.
    bool bHaveOrigin = false;
    uint32_t nOriginCount = 0;
    uint64_t nOriginIndex = 0;
    std::vector<int64_t> vecPulses(nCameras, 0);
    std::vector<uint32_t> vecLastCount(nCameras, 0);
    std::vector<int> vecAlongX(nCameras, -1);  // unaligned: is the line along X (travel goes to Y)?
    double dSpreadSum = 0, dSpreadMax = 0;
    int32_t nPairedBy = 0;
    double dTravelLength = 0;

    auto write = [&](SGroup& g) -> bool {
        nPairedBy = g.nPairedBy;
        const bool bEncoder = g.nPairedBy == c_nKxPairByEncoder;
        if (!bHaveOrigin) {
            bHaveOrigin = true;
            nOriginCount = g.vecProfiles[0].nEncoderCount;
            nOriginIndex = g.vecProfiles[0].nFrameIndex;
            for (size_t i = 0; i < nCameras; ++i) {
                vecPulses[i] = CountStep(nOriginCount, g.vecProfiles[i].nEncoderCount);
                vecLastCount[i] = g.vecProfiles[i].nEncoderCount;
            }
        }
        const double dSpread = bEncoder ? static_cast<double>(g.nSpread) * dMmPerCount : static_cast<double>(g.nSpread) / 1000.0;
        dSpreadSum += dSpread;
        dSpreadMax = std::max(dSpreadMax, dSpread);
        if (!bBegun) {
            bBegun = true;
            char sz[160];
            std::snprintf(sz, sizeof sz, bEncoder ? "travel encoder: %.9g mm per count" : "travel frame: %.9g mm per frame of camera 0",
                          bEncoder ? dMmPerCount : dFrameStep);
            vecComments.push_back(sz);
            if (!ply.Begin(vecComments, true)) return false;
            double dCell = opts.dCell > 0 ? opts.dCell : 0.5;
            grid.emplace(dCell);
            grid->SetHeightsUp(bAligned);
        }
        for (size_t i = 0; i < nCameras; ++i) {
            SGroupProfile& p = g.vecProfiles[i];
            double dTravel;
            if (bEncoder) {
                vecPulses[i] += CountStep(vecLastCount[i], p.nEncoderCount);
                vecLastCount[i] = p.nEncoderCount;
                dTravel = static_cast<double>(vecPulses[i]) * dMmPerCount;
            } else {
                dTravel = static_cast<double>(g.vecProfiles[0].nFrameIndex - nOriginIndex) * dFrameStep;
            }
            if (i == 0) dTravelLength = dTravel;
            dTravel += vecTravelOffset[i];
            if (!bAligned && vecAlongX[i] < 0 && p.vecPoints.size() >= 2) {
                float fMinX = p.vecPoints[0].fX, fMaxX = fMinX, fMinY = p.vecPoints[0].fY, fMaxY = fMinY;
                for (const SKxEyePoint& pt : p.vecPoints) {
                    fMinX = std::min(fMinX, pt.fX);
                    fMaxX = std::max(fMaxX, pt.fX);
                    fMinY = std::min(fMinY, pt.fY);
                    fMaxY = std::max(fMaxY, pt.fY);
                }
                vecAlongX[i] = (fMaxX - fMinX) >= (fMaxY - fMinY) ? 1 : 0;
            }
            // Aligned: W's Y is the travel. Otherwise the coordinate across the line, as a
            // single camera's scan does.
            const bool bToY = bAligned || vecAlongX[i] == 1;
            const float fShift = static_cast<float>(dTravel);
            for (SKxEyePoint& pt : p.vecPoints) {
                if (bToY) pt.fY += fShift;
                else pt.fX += fShift;
                grid->Add(bToY ? pt.fX : pt.fY, bToY ? pt.fY : pt.fX, pt.fZ);
            }
            vecPoints[i] += p.vecPoints.size();
            if (!ply.Add(p.vecPoints, static_cast<uint8_t>(i))) return false;
        }
        ++nGroups;
        return true;
    };

    const Clock::time_point tStart = Clock::now();
    bool bStalled = false;
    SGroup g;
    while (!g_bGroupInterrupted && !(opts.nFrames > 0 && nGroups >= nLimit)) {
        if (sink.Pop(g, std::chrono::milliseconds(100)) && !write(g)) {
            bWriteFailed = true;
            break;
        }
        const Clock::time_point tNow = Clock::now();
        if (opts.nFrames <= 0 && std::chrono::duration<double>(tNow - tStart).count() >= opts.dSeconds) break;
        if (nLostCamera.load() >= 0) break;
        const Clock::time_point tRef = nGroups ? sink.LastGroup() : tStart;
        if (std::chrono::duration<double>(tNow - tRef).count() > opts.dTimeout) {
            bStalled = true;
            break;
        }
    }
    const double dWall = std::chrono::duration<double>(Clock::now() - tStart).count();
    // The sink first: a group waiting for room in it would hold the group's thread, which the
    // stop joins. Then what was queued is written.
    sink.Stop();
    const int32_t nStop = group.Stop();
    while (!bWriteFailed && !(opts.nFrames > 0 && nGroups >= nLimit) && sink.Pop(g, std::chrono::milliseconds(0))) {
        if (!write(g)) bWriteFailed = true;
    }
    const int nLost = nLostCamera.load();
    int nExit = c_nKxEyeExitOk;
    if (nStop != KX_OK && !(nLost >= 0 && nStop == KX_E_OFFLINE)) {
        std::cerr << "kxeye: StopCapture failed: " << KxEyeFormatCode(nStop) << "\n";
        nExit = c_nKxEyeExitFailure;
    }
    if (bStalled) {
        std::cerr << "kxeye: no group of frames for " << opts.dTimeout << " s; stopped after " << nGroups << "\n";
        nExit = c_nKxEyeExitFailure;
    }
    if (nLost >= 0)
        std::cerr << "kxeye: camera " << opts.vecCameras[static_cast<size_t>(nLost)]
                  << " went offline; writing the groups captured so far\n";
    if (g_bGroupInterrupted) std::cerr << "kxeye: interrupted; writing the groups captured so far\n";

    for (size_t i = 0; i < nCameras; ++i) {
        SKxFrameGroupStats st{};
        group.GetStats(i, &st);
        ordered_json& c = j["cameras"][i];
        c["frames"] = st.nFrames;
        c["framesLost"] = st.nLost;
        c["unpaired"] = st.nUnpaired;
        c["points"] = vecPoints[i];
    }
    j["groups"] = nGroups;
    const bool bByEncoder = nPairedBy == c_nKxPairByEncoder;
    j["pairedBy"] = nGroups == 0 ? "none" : bByEncoder ? "encoder" : "host time";
    j["pairingSpread"] = {{"mean", nGroups ? dSpreadSum / static_cast<double>(nGroups) : 0.0},
                          {"max", dSpreadMax},
                          {"unit", bByEncoder ? "mm" : "us"}};
    j["travel"] = dTravelLength;
    j["aligned"] = bAligned;
    j["seconds"] = dWall;
    j["interrupted"] = g_bGroupInterrupted.load();
    j["lost"] = nLost >= 0;

    const bool bText = !opts.bJson;
    auto printSummary = [&] {
        if (!bText) return;
        for (size_t i = 0; i < nCameras; ++i) {
            const ordered_json& c = j["cameras"][i];
            std::printf("camera %zu (%s): %llu frames, %llu lost, %llu unpaired, %llu points\n", i,
                        opts.vecCameras[i].c_str(), static_cast<unsigned long long>(c["frames"].get<uint64_t>()),
                        static_cast<unsigned long long>(c["framesLost"].get<uint64_t>()),
                        static_cast<unsigned long long>(c["unpaired"].get<uint64_t>()),
                        static_cast<unsigned long long>(c["points"].get<uint64_t>()));
        }
        std::printf("groups: %llu, paired by %s, spread mean %.3f %s, max %.3f %s\n",
                    static_cast<unsigned long long>(nGroups), j["pairedBy"].get<std::string>().c_str(),
                    j["pairingSpread"]["mean"].get<double>(), bByEncoder ? "mm" : "us", dSpreadMax,
                    bByEncoder ? "mm" : "us");
    };
    if (nGroups == 0 || bWriteFailed || !bBegun) {
        ply.Abort();
        printSummary();
        if (bWriteFailed) std::cerr << "kxeye: " << ply.Error() << "\n";
        else std::cerr << "kxeye: no group of frames captured; nothing written\n";
        if (opts.bJson) KxEyePrintJson(j);
        return nLost >= 0 && !bWriteFailed ? c_nKxEyeExitLost : c_nKxEyeExitFailure;
    }
    SKxEyeHeightMapInfo map;
    if (!ply.Finish() || !KxEyeWriteHeightMap(*grid, 0, strPng, map, strError)) {
        printSummary();
        std::cerr << "kxeye: " << (strError.empty() ? ply.Error() : strError) << "\n";
        if (opts.bJson) KxEyePrintJson(j);
        return c_nKxEyeExitFailure;
    }
    outDir.Keep();
    j["pointCloud"] = {{"path", strPly}, {"points", ply.Count()}, {"units", "mm"}, {"cameraIndex", true}};
    j["heightMap"] = {{"path", strPng},       {"width", map.nWidth},  {"height", map.nHeight}, {"kind", "scale"},
                      {"cellSize", map.dCell}, {"columns", map.nColumns}, {"rows", map.nRows},
                      {"origin", {{"x", map.dX0}, {"y", map.dY0}}}, {"z", {{"min", map.dMinZ}, {"max", map.dMaxZ}}}};
    if (bText) {
        printSummary();
        std::printf("point cloud: %s (%llu points, mm, camera index per point)\n", strPly.c_str(),
                    static_cast<unsigned long long>(ply.Count()));
        std::printf("height map: %s (%u x %u cells of %.6g mm, Z %.2f to %.2f mm)\n", strPng.c_str(), map.nColumns,
                    map.nRows, map.dCell, map.dMinZ, map.dMaxZ);
    } else {
        KxEyePrintJson(j);
    }
    if (nExit == c_nKxEyeExitOk && g_bGroupInterrupted) nExit = c_nKxEyeExitInterrupted;
    if (nExit == c_nKxEyeExitOk && nLost >= 0) nExit = c_nKxEyeExitLost;
    return nExit;
}
