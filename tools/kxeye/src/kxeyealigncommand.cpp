// kxeye align: scans the known target with every camera at once, solves each camera's pose in W
// and writes the alignment file (docs/multi-camera.md).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>
#include <thread>

#include "kxeyealign.h"
#include "kxeyealigncommand.h"
#include "kxeyecodes.h"
#include "kxeyecommands.h"
#include "kxeyefile.h"
#include "kxeyeoutput.h"

namespace {

using Clock = std::chrono::steady_clock;
// Encoder counts wrap at 29 bits.
const int64_t c_nEncoderRange = int64_t(1) << 29;
// Points kept per camera: far more than one pass of the box needs, and a bound on the memory.
const size_t c_nMaxPoints = 8000000;

int64_t SignedStep(int64_t nFrom, int64_t nTo) {
    int64_t n = (nTo - nFrom) % c_nEncoderRange;
    if (n < 0) n += c_nEncoderRange;
    if (n >= c_nEncoderRange / 2) n -= c_nEncoderRange;
    return n;
}

// One camera's profiles as they come: each with its encoder count, kept in camera coordinates.
class CAlignCallback : public IKxLaserDataCallBack {
public:
    struct SProfile {
        uint32_t nCount;
        std::vector<SKxEyePoint> vecPoints;
    };
    void OnLaserResult(IKxLaserEyeResultBlock* pBlock) override {
        if (!pBlock) return;
        SProfile p;
        p.nCount = pBlock->GetEncoderCount();
        pBlock->SetAfterProcParam(SKxLaserResultAfterProcParam());
        KxEyeReadBlock(pBlock, c_nKxFormatFloat, p.vecPoints);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_bAccepting) return;
        if (m_nFrames == 0) m_nFirst = p.nCount;
        else m_nUnwrapped += SignedStep(m_nLast, p.nCount);
        m_nLast = p.nCount;
        m_nMin = std::min(m_nMin, m_nUnwrapped);
        m_nMax = std::max(m_nMax, m_nUnwrapped);
        ++m_nFrames;
        m_tLast = Clock::now();
        if (m_nPoints + p.vecPoints.size() > c_nMaxPoints) return;
        m_nPoints += p.vecPoints.size();
        m_vecUnwrapped.push_back(m_nUnwrapped);
        m_vecProfiles.push_back(std::move(p));
    }
    void Stop() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bAccepting = false;
    }
    struct SState {
        uint64_t nFrames;
        int64_t nSpan;  // counts between the least and the most travel seen
        Clock::time_point tLast;
    };
    SState State() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return {m_nFrames, m_nMax - m_nMin, m_tLast};
    }
    // After Stop: the cloud with the travel (count * dMmPerCount, from count nBase, which every
    // camera shares) added to camera X.
    std::vector<KxEyeVec3> Cloud(int64_t nBase, double dMmPerCount) const {
        std::vector<KxEyeVec3> vec;
        vec.reserve(m_nPoints);
        const int64_t nFirst = nBase + SignedStep(nBase, m_nFirst);
        for (size_t i = 0; i < m_vecProfiles.size(); ++i) {
            const double dTravel = static_cast<double>(nFirst + m_vecUnwrapped[i]) * dMmPerCount;
            for (const SKxEyePoint& pt : m_vecProfiles[i].vecPoints)
                vec.push_back({pt.fX + dTravel, static_cast<double>(pt.fY), static_cast<double>(pt.fZ)});
        }
        return vec;
    }
    uint32_t FirstCount() const { return m_nFirst; }
    uint64_t Frames() const { return m_nFrames; }

private:
    std::mutex m_mutex;
    bool m_bAccepting = true;
    uint64_t m_nFrames = 0;
    uint32_t m_nFirst = 0, m_nLast = 0;
    int64_t m_nUnwrapped = 0, m_nMin = 0, m_nMax = 0;
    size_t m_nPoints = 0;
    Clock::time_point m_tLast = Clock::now();
    std::vector<SProfile> m_vecProfiles;
    std::vector<int64_t> m_vecUnwrapped;
};

struct SCamera {
    std::string strCamera;
    std::unique_ptr<CKxEyeSession> session;
    std::unique_ptr<CAlignCallback> callback;
    bool bCapturing = false;
    std::string strFailure;  // why this camera has no pose
    SKxEyeAlignResult result;
};

std::string RotationText(const double* r) {
    char sz[160];
    std::snprintf(sz, sizeof(sz), "[%.5f %.5f %.5f; %.5f %.5f %.5f; %.5f %.5f %.5f]", r[0], r[1], r[2], r[3], r[4],
                  r[5], r[6], r[7], r[8]);
    return sz;
}

// Every camera's cloud carried into W by its pose, as one PLY: to look at the alignment.
bool WriteWorldCloud(const SKxEyeAlignOptions& opts, const std::vector<SCamera>& vecCams,
                     const std::vector<SKxEyeCameraPose>& vecPoses, int64_t nBase, double dPeriod,
                     std::string& strError) {
    CKxEyePlyWriter ply;
    // Y as the travel from the scan's start (whole periods of a repeating scene), so that the
    // floats keep their precision however long the encoder has run.
    const double dTravel0 = static_cast<double>(nBase) * opts.dMmPerCount;
    const double dShift = dPeriod > 0 ? std::round(dTravel0 / dPeriod) * dPeriod : dTravel0;
    char szShift[96];
    std::snprintf(szShift, sizeof(szShift), "Y shifted by %.3f mm (travel from the scan's start)", -dShift);
    if (!ply.Open(opts.strCloud) ||
        !ply.Begin({"units mm", "world: X across the belt, Y along the travel, Z up", szShift})) {
        strError = ply.Error();
        return false;
    }
    size_t nPose = 0;
    for (const SCamera& c : vecCams) {
        const SKxEyeCameraPose& p = vecPoses[nPose++];
        std::vector<SKxEyePoint> vecOut;
        for (const KxEyeVec3& q : c.callback->Cloud(nBase, opts.dMmPerCount)) {
            SKxEyePoint pt{};
            pt.fX = static_cast<float>(p.r[0] * q[0] + p.r[1] * q[1] + p.r[2] * q[2] + p.t[0]);
            pt.fY = static_cast<float>(p.r[3] * q[0] + p.r[4] * q[1] + p.r[5] * q[2] + p.t[1] - dShift);
            pt.fZ = static_cast<float>(p.r[6] * q[0] + p.r[7] * q[1] + p.r[8] * q[2] + p.t[2]);
            vecOut.push_back(pt);
        }
        if (!ply.Add(vecOut)) break;
    }
    if (ply.Failed() || !ply.Finish()) {
        strError = ply.Error();
        ply.Abort();
        return false;
    }
    if (!opts.bJson)
        std::printf("world cloud: %s (%llu points, mm)\n", opts.strCloud.c_str(), static_cast<unsigned long long>(ply.Count()));
    return true;
}

}  // namespace

CLI::App* KxEyeAddAlignCommand(CLI::App& app, SKxEyeAlignOptions& opts) {
    CLI::App* p = app.add_subcommand(
        "align", "scan a known target (the scene's box, or --target FILE) with every camera at once and write each "
                 "camera's pose in one world frame");
    p->add_option("cameras", opts.vecCameras,
                  "cameras, as for scan: index, serial number, connect text (virtual:0), IP address or MAC")
        ->required();
    p->add_option("--target", opts.strTarget,
                  "JSON file of the target: {\"shape\": \"box\", \"length\": L, \"width\": W, \"height\": H} in mm "
                  "(default: the virtual scene's box, 140 x 100 x 30)")
        ->check(CLI::ExistingFile);
    p->add_option("--out", opts.strOut, "the alignment file to write (default align.json)");
    p->add_option("--travel", opts.dTravel,
                  "belt travel to scan, in mm (default 800: a whole box passes in a scene repeating every 600 mm)")
        ->check(CLI::Range(1.0, 100000.0));
    p->add_option("--mm-per-count", opts.dMmPerCount, "belt travel per encoder count in mm (default 0.1)")
        ->check(CLI::Range(1e-6, 10000.0));
    p->add_option("--timeout", opts.dTimeout,
                  "give up on a camera after this many seconds without a frame or without belt travel (default 5)")
        ->check(CLI::Range(0.1, 1e6));
    p->add_option("--stagger", opts.nStaggerUs,
                  "microseconds between the exposures of one camera and the next (SetTriggerN(0, i x US)), so that "
                  "cameras facing each other take turns (default 0: triggers left alone)")
        ->check(CLI::Range(0, 1000000));
    p->add_option("--cloud", opts.strCloud,
                  "also write every camera's cloud carried into the world frame, as one PLY (to look at the alignment)");
    p->add_flag("--json", opts.bJson, "print the result as JSON (see docs/kxeye.md)");
    p->footer("Example: kxeye align virtual:0 virtual:1 --out align.json");
    return p;
}

int KxEyeAlign(EKxEyeSource eSource, const SKxEyeAlignOptions& opts) {
    SKxEyeAlignTarget target = KxEyeSceneTarget();
    std::string strError;
    if (!opts.strTarget.empty() && !LoadAlignTarget(opts.strTarget, &target, &strError)) {
        std::cerr << "kxeye: --target " << strError << "\n";
        return c_nKxEyeExitUsage;
    }
    for (size_t i = 0; i < opts.vecCameras.size(); ++i)
        for (size_t k = 0; k < i; ++k)
            if (opts.vecCameras[i] == opts.vecCameras[k]) {
                std::cerr << "kxeye: camera \"" << opts.vecCameras[i] << "\" is named twice\n";
                return c_nKxEyeExitUsage;
            }
    // The file's folder must be there before the belt is scanned for seconds.
    {
        const std::filesystem::path dir = std::filesystem::path(opts.strOut).parent_path();
        std::error_code ec;
        if (!dir.empty() && !std::filesystem::is_directory(dir, ec)) {
            std::cerr << "kxeye: cannot write " << opts.strOut << ": no folder " << dir.string() << "\n";
            return c_nKxEyeExitFailure;
        }
    }
    // An address or a MAC can only be an Ethernet camera; with local ones beside it, both paths.
    if (eSource == EKxEyeSource::Local) {
        const size_t nNet = static_cast<size_t>(
            std::count_if(opts.vecCameras.begin(), opts.vecCameras.end(), KxEyeNamesNetworkCamera));
        if (nNet > 0) eSource = nNet == opts.vecCameras.size() ? EKxEyeSource::Ethernet : EKxEyeSource::All;
    }

    std::vector<SCamera> vecCams(opts.vecCameras.size());
    ordered_json j;
    j["target"] = ordered_json::parse(KxEyeAlignFileText(target, {}))["target"];
    for (size_t i = 0; i < vecCams.size(); ++i) {
        SCamera& c = vecCams[i];
        c.strCamera = opts.vecCameras[i];
        c.session = std::make_unique<CKxEyeSession>();
        c.callback = std::make_unique<CAlignCallback>();
        if (!c.session->Open(eSource, c.strCamera)) {
            c.strFailure = "cannot be opened: " + c.session->FailureText();
            continue;
        }
    }
    // Every camera at once, so that all of them see the same box pass; with --stagger each
    // exposes that much later than the one before, so that facing lasers do not blind each other.
    for (size_t i = 0; i < vecCams.size(); ++i) {
        SCamera& c = vecCams[i];
        if (!c.strFailure.empty()) continue;
        if (opts.nStaggerUs > 0) {
            const int32_t nSet = c.session->Device()->SetTriggerN(0, static_cast<uint32_t>(i * opts.nStaggerUs));
            if (nSet != KX_OK) {
                c.strFailure = "SetTriggerN (--stagger) failed: " + KxEyeFormatCode(nSet);
                continue;
            }
        }
        const int32_t nStart = c.session->Device()->StartCapture(0, c.callback.get(), nullptr);
        if (nStart != KX_OK) c.strFailure = "StartCapture failed: " + KxEyeFormatCode(nStart);
        else c.bCapturing = true;
    }
    const Clock::time_point tStart = Clock::now();
    const int64_t nWantCounts = static_cast<int64_t>(std::ceil(opts.dTravel / opts.dMmPerCount));
    std::vector<int64_t> vecLastSpan(vecCams.size(), 0);
    std::vector<Clock::time_point> vecSpanSince(vecCams.size(), tStart);
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const Clock::time_point tNow = Clock::now();
        bool bAllDone = true;
        for (size_t i = 0; i < vecCams.size(); ++i) {
            SCamera& c = vecCams[i];
            if (!c.bCapturing || !c.strFailure.empty()) continue;
            const CAlignCallback::SState st = c.callback->State();
            if (st.nSpan >= nWantCounts) continue;
            bAllDone = false;
            const Clock::time_point tFrame = st.nFrames ? st.tLast : tStart;
            if (std::chrono::duration<double>(tNow - tFrame).count() > opts.dTimeout) {
                char sz[128];
                std::snprintf(sz, sizeof(sz), "no frame for %g s (%llu frame(s) in all)", opts.dTimeout,
                              static_cast<unsigned long long>(st.nFrames));
                c.strFailure = sz;
                continue;
            }
            if (st.nSpan != vecLastSpan[i]) {
                vecLastSpan[i] = st.nSpan;
                vecSpanSince[i] = tNow;
            } else if (std::chrono::duration<double>(tNow - vecSpanSince[i]).count() > opts.dTimeout) {
                char sz[160];
                std::snprintf(sz, sizeof(sz),
                              "the belt did not move for %g s (encoder travel %.1f of %g mm): align needs the belt running",
                              opts.dTimeout, static_cast<double>(st.nSpan) * opts.dMmPerCount, opts.dTravel);
                c.strFailure = sz;
            }
        }
        if (bAllDone) break;
    }
    for (SCamera& c : vecCams) {
        if (!c.bCapturing) continue;
        c.callback->Stop();
        const int32_t nStop = c.session->Device()->StopCapture();
        if (nStop != KX_OK && c.strFailure.empty()) c.strFailure = "StopCapture failed: " + KxEyeFormatCode(nStop);
    }
    // The travel of every camera from one count (the first camera's first), so that they agree.
    int64_t nBase = -1;
    for (const SCamera& c : vecCams)
        if (c.bCapturing && c.callback->Frames() > 0 && nBase < 0) nBase = c.callback->FirstCount();
    std::vector<SKxEyeCameraPose> vecPoses;
    bool bAll = true;
    j["cameras"] = ordered_json::array();
    for (SCamera& c : vecCams) {
        if (c.strFailure.empty()) {
            c.result = KxEyeSolveAlignment(c.callback->Cloud(nBase, opts.dMmPerCount), target);
            if (!c.result.bOk) c.strFailure = c.result.strReason;
        }
        ordered_json jc;
        jc["camera"] = c.strCamera;
        const std::string strSerial = c.session->Device() ? c.session->Identity().strSerial : std::string();
        jc["serial"] = c.session->Device() ? ordered_json(strSerial) : ordered_json(nullptr);
        jc["frames"] = c.callback->Frames();
        jc["aligned"] = c.strFailure.empty();
        if (!c.strFailure.empty()) {
            bAll = false;
            jc["reason"] = c.strFailure;
            if (!opts.bJson) std::printf("camera %s: not aligned: %s\n", c.strCamera.c_str(), c.strFailure.c_str());
            j["cameras"].push_back(jc);
            continue;
        }
        SKxEyeCameraPose pose;
        pose.camera = c.strCamera;
        pose.serial = strSerial;
        std::copy(c.result.r, c.result.r + 9, pose.r);
        std::copy(c.result.t, c.result.t + 3, pose.t);
        pose.residual = c.result.dResidual;
        pose.pointsUsed = c.result.nPointsUsed;
        vecPoses.push_back(pose);
        j["cameras"].push_back(jc);
    }
    KxEyeFoldTravel(vecPoses, target.dPeriod);
    size_t nPose = 0;
    for (size_t i = 0; i < vecCams.size(); ++i) {
        const SCamera& c = vecCams[i];
        if (!c.strFailure.empty()) continue;
        const SKxEyeCameraPose& p = vecPoses[nPose++];
        const SKxEyeAlignResult& r = c.result;
        ordered_json& jc = j["cameras"][i];
        jc["residual"] = p.residual;
        jc["pointsUsed"] = p.pointsUsed;
        jc["faces"] = {{"top", r.anFacePoints[0]}, {"-x", r.anFacePoints[1]}, {"+x", r.anFacePoints[2]},
                       {"-y", r.anFacePoints[3]}, {"+y", r.anFacePoints[4]}, {"topEdges", r.bTopEdges}};
        jc["rotation"] = std::vector<double>(p.r, p.r + 9);
        jc["translation"] = std::vector<double>(p.t, p.t + 3);
        // As the virtual camera's pose key: positive roll turns the camera's view toward -X.
        jc["roll"] = std::atan2(-p.r[2], p.r[1]) * 180 / M_PI;
        if (opts.bJson) continue;
        std::printf("camera %s (serial %s): residual %.3f mm, %llu points used (top %llu, sides %llu, ends %llu%s), "
                    "%llu frames\n",
                    c.strCamera.c_str(), p.serial.empty() ? "?" : p.serial.c_str(), p.residual,
                    static_cast<unsigned long long>(p.pointsUsed), static_cast<unsigned long long>(r.anFacePoints[0]),
                    static_cast<unsigned long long>(r.anFacePoints[1] + r.anFacePoints[2]),
                    static_cast<unsigned long long>(r.anFacePoints[3] + r.anFacePoints[4]),
                    r.bTopEdges ? ": the top's long edges" : "", static_cast<unsigned long long>(c.callback->Frames()));
        std::printf("  rotation %s, translation (%.3f, %.3f, %.3f) mm, roll %.2f degrees\n", RotationText(p.r).c_str(),
                    p.t[0], p.t[1], p.t[2], jc["roll"].get<double>());
    }
    int nExit = c_nKxEyeExitOk;
    j["file"] = nullptr;
    if (!bAll) {
        if (!opts.bJson) std::cerr << "kxeye: not every camera was aligned; " << opts.strOut << " not written\n";
        nExit = c_nKxEyeExitFailure;
    } else {
        CKxEyeOutFile file;
        const std::string strText = KxEyeAlignFileText(target, vecPoses);
        if (!file.Open(opts.strOut) || !file.Write(strText.data(), strText.size()) || !file.Commit()) {
            std::cerr << "kxeye: " << file.Error() << "\n";
            nExit = c_nKxEyeExitFailure;
        } else {
            j["file"] = opts.strOut;
            if (!opts.strCloud.empty() && !WriteWorldCloud(opts, vecCams, vecPoses, nBase, target.dPeriod, strError)) {
                std::cerr << "kxeye: " << strError << "\n";
                nExit = c_nKxEyeExitFailure;
            }
            if (!opts.bJson)
                std::printf("alignment: %s (%zu camera%s)\n", opts.strOut.c_str(), vecPoses.size(),
                            vecPoses.size() == 1 ? "" : "s");
        }
    }
    if (opts.bJson) KxEyePrintJson(j);
    return nExit;
}
