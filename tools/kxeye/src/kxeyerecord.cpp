// kxeye record. The SDK hands an application decoded result blocks, not the camera's bytes, so
// the recorder opens the camera through the SDK (which reads its information block, windows and
// parameter page as for any capture) and then takes the raw frames from the camera object the
// device holds (GetCoreEye), with its own frame callback in place of the device's.
#include "kxeyerecord.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <vector>

#include <unistd.h>

#include "kxclockestimate.h"
#include "kxeyecodes.h"
#include "kxeyecommands.h"
#include "kxeyerecording.h"
#include "kxlaserinfo.h"
#include "kxlasereyeinnerutils.h"
#include "oreyeapi.h"

namespace {

std::atomic<bool> g_bRecordInterrupted{false};
extern "C" void OnRecordInterrupt(int) { g_bRecordInterrupted = true; }

// Removes the unfinished file unless told the recording is complete.
class CTempFile {
public:
    explicit CTempFile(std::string strPath) : m_strPath(std::move(strPath)) {}
    ~CTempFile() {
        if (!m_bKept) std::remove(m_strPath.c_str());
    }
    void Keep() { m_bKept = true; }
    const std::string& Path() const { return m_strPath; }

private:
    std::string m_strPath;
    bool m_bKept = false;
};

struct SQueuedFrame {
    const uint8_t* pData = nullptr;
    unsigned int nLength = 0;
    unsigned int nBufferId = 0;
    std::chrono::steady_clock::time_point tArrived;
};

// Frames from the camera's thread to the writing thread; each buffer stays the camera's until
// it is given back with ReleaseFrameBuffer.
class CFrameQueue {
public:
    static void OnFrame(int nEvent, int, void* pBuffer, unsigned int nLength, unsigned int nBufferId, void* pContext) {
        if (nEvent != c_nOrEyeEventFrame || pBuffer == nullptr) return;
        CFrameQueue* p = static_cast<CFrameQueue*>(pContext);
        SQueuedFrame f;
        f.pData = static_cast<const uint8_t*>(pBuffer);
        f.nLength = nLength;
        f.nBufferId = nBufferId;
        f.tArrived = std::chrono::steady_clock::now();
        std::lock_guard<std::mutex> lock(p->m_mtx);
        p->m_dqFrames.push_back(f);
        p->m_cv.notify_one();
    }
    bool Pop(SQueuedFrame& f, std::chrono::steady_clock::duration tWait) {
        std::unique_lock<std::mutex> lock(m_mtx);
        // Short slices, so that an interrupt is seen soon.
        const auto tEnd = std::chrono::steady_clock::now() + tWait;
        while (m_dqFrames.empty()) {
            if (g_bRecordInterrupted || std::chrono::steady_clock::now() >= tEnd) return false;
            m_cv.wait_for(lock, std::chrono::milliseconds(100));
        }
        f = m_dqFrames.front();
        m_dqFrames.pop_front();
        return true;
    }

private:
    std::mutex m_mtx;
    std::condition_variable m_cv;
    std::deque<SQueuedFrame> m_dqFrames;
};

// Reads the header fields from the opened camera; false with the reason and its code.
bool ReadHeader(IKxLaserEyeDevice* pDev, IOrEyeCamera* pCamera, bool bImages, KxEyeRecording::SHeader& h,
                std::string& strError, int32_t& nCode) {
    std::memset(&h, 0, sizeof(h));
    h.nHwVersion = pDev->GetHWVersion();
    const int32_t nRes = pDev->GetVideoResolution(&h.nWidth, &h.nHeight);
    if (nRes != KX_OK) {
        strError = "GetVideoResolution failed: " + KxEyeFormatCode(nCode = nRes);
        return false;
    }
    h.nFlags = bImages ? KxEyeRecording::c_nFlagImages : 0;
    const int nInfo = pCamera->GetParam(54, h.abyInfo, static_cast<int>(KxEyeRecording::c_nInfoBytes));
    if (nInfo != c_nOrEyeOK) {
        strError = "the camera's information block cannot be read: " + KxEyeFormatCode(nCode = nInfo);
        return false;
    }
    const int32_t nQ = pDev->GetQMatrix(h.adQ);
    if (nQ != KX_OK) {
        strError = "GetQMatrix failed: " + KxEyeFormatCode(nCode = nQ);
        return false;
    }
    const int nPage = pCamera->ReadStorage(KxEyeRecording::c_nParamPageAddress, h.abyParamPage,
                                           KxEyeRecording::c_nParamPageBytes);
    if (nPage != c_nOrEyeOK) {
        // The device goes on without its parameter page too; the replay then has none either.
        std::memset(h.abyParamPage, 0xFF, sizeof(h.abyParamPage));
        std::cerr << "kxeye: warning: the parameter page cannot be read (" << KxEyeFormatCode(nPage)
                  << "); recorded as erased\n";
    }
    return true;
}

}  // namespace

CLI::App* KxEyeAddRecordCommand(CLI::App& app, SKxEyeRecordOptions& opts) {
    CLI::App* pRecord = app.add_subcommand("record", "write raw frames and what decoding them needs to a recording file");
    pRecord->add_option("camera", opts.strCamera, "camera: index in the list, serial number, device ID, connect text, IP address or MAC")->required();
    pRecord->add_option("--out", opts.strOut, "recording file to write")->required();
    CLI::Option* pFrames = pRecord->add_option("--frames", opts.nFrames, "number of frames")->check(CLI::Range(1, 1000000));
    CLI::Option* pSeconds =
        pRecord->add_option("--seconds", opts.dSeconds, "recording time in seconds")->check(CLI::PositiveNumber);
    pFrames->excludes(pSeconds);
    pRecord->add_flag("--images", opts.bImages, "also record the left and right images");
    pRecord->add_option("--timeout", opts.dTimeout, "give up after this many seconds without a frame (default 5)")
        ->check(CLI::PositiveNumber);
    pRecord->add_flag("--json", opts.bJson, "print the result as JSON (one schema per command, see docs/kxeye.md)");
    return pRecord;
}

int KxEyeRecord(EKxEyeSource eSource, const SKxEyeRecordOptions& opts) {
    // With --json every outcome is one object on stdout: the file and its facts, or the reason
    // nothing was written with the code behind it (null when no SDK or camera call failed).
    ordered_json j;
    j["camera"] = nullptr;
    j["file"] = nullptr;
    auto fail = [&](const std::string& strText, int nExit, const int32_t* pnCode = nullptr) {
        std::cerr << "kxeye: " << strText << "\n";
        if (opts.bJson) {
            j["error"] = strText;
            j["code"] = pnCode ? ordered_json(*pnCode) : ordered_json(nullptr);
            j["meaning"] = pnCode ? ordered_json(KxEyeCodeMeaning(*pnCode)) : ordered_json(nullptr);
            KxEyePrintJson(j);
        }
        return nExit;
    };
    if (opts.nFrames <= 0 && !(opts.dSeconds > 0)) return fail("record needs --frames N or --seconds S", c_nKxEyeExitUsage);
    // The file is written under a temporary name beside the target, so a failed or cut-off
    // recording never takes the target's name; opened before capture, so an unwritable place
    // is found at once.
    CTempFile temp(opts.strOut + ".tmp" + std::to_string(getpid()));
    KxEyeRecording::CWriter writer;
    KxEyeRecording::SHeader h;
    std::memset(&h, 0, sizeof(h));
    h.nWidth = 64;
    h.nHeight = 256;
    std::string strError;
    if (!writer.Open(temp.Path(), h, strError)) return fail(strError, c_nKxEyeExitFailure);

    CKxEyeSession session;
    if (!session.Open(eSource, opts.strCamera)) {
        const int32_t nCode = session.FailureCode();
        if (opts.bJson) {
            j["error"] = session.FailureText();
            j["code"] = nCode;
            j["meaning"] = KxEyeCodeMeaning(nCode);
            KxEyePrintJson(j);
        }
        return c_nKxEyeExitFailure;
    }
    j["camera"] = KxEyeCameraJson(session);
    IKxLaserEyeDevice* pDev = session.Device();
    IOrEyeCamera* pCamera = pDev->GetCoreEye();
    if (pCamera == nullptr) return fail("the device has no camera object", c_nKxEyeExitFailure);
    if (opts.bImages) {
        pDev->SetDebugMode(true);
        const int32_t nApply = pDev->ApplyDebugMode();
        if (nApply != KX_OK)
            return fail("images cannot be switched on: " + KxEyeFormatCode(nApply), c_nKxEyeExitFailure, &nApply);
    }
    int32_t nHeaderCode = KX_OK;
    if (!ReadHeader(pDev, pCamera, opts.bImages, h, strError, nHeaderCode))
        return fail(strError, c_nKxEyeExitFailure, &nHeaderCode);
    uint32_t nImageW = 0, nImageH = 0;
    if (opts.bImages) {
        SKxNLROIRect sLeft{}, sRight{};
        const int32_t nRoi = pDev->GetDetectROI(&sLeft, &sRight);
        if (nRoi != KX_OK || sLeft.right <= sLeft.left || sLeft.bottom <= sLeft.top)
            return fail("the detection window cannot be read: " + KxEyeFormatCode(nRoi), c_nKxEyeExitFailure, &nRoi);
        nImageW = static_cast<uint32_t>(sLeft.right - sLeft.left);
        nImageH = static_cast<uint32_t>(sLeft.bottom - sLeft.top);
    }
    if (!writer.Open(temp.Path(), h, strError))  // again, now with the camera's header
        return fail(strError, c_nKxEyeExitFailure);

    // Frames straight from the camera, every one it streams: its frame callback hands each
    // buffer to this thread, which writes it and gives it back. The device's own frame function
    // is off meanwhile, so that it does not see (and complain about) frames outside a capture.
    CFrameQueue queue;
    pCamera->SetFrameCallback(1, &CFrameQueue::OnFrame, &queue);
    const int nStream = pCamera->EnableStream(1);
    if (nStream != c_nOrEyeOK) {
        pCamera->SetFrameCallback(0, nullptr, nullptr);
        const int32_t nCode = nStream;
        return fail("the stream cannot be switched on: " + KxEyeFormatCode(nStream), c_nKxEyeExitFailure, &nCode);
    }
    struct sigaction sa{}, saOld{};
    sa.sa_handler = OnRecordInterrupt;
    sigemptyset(&sa.sa_mask);
    g_bRecordInterrupted = false;
    struct sigaction saOldTerm{};
    sigaction(SIGINT, &sa, &saOld);
    sigaction(SIGTERM, &sa, &saOldTerm);

    const auto tStart = std::chrono::steady_clock::now();
    const auto tEnd = tStart + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                   std::chrono::duration<double>(opts.dSeconds));
    const auto tWait = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(std::min(opts.dTimeout, 3600.0)));
    const size_t nImage = static_cast<size_t>(nImageW) * nImageH;
    bool bFirst = true;
    auto tFirst = tStart;
    CKxClockEstimate clock;
    uint32_t nPrevRaw = 0;
    uint64_t nTicks = 0;
    const double dTick = GetTimeStampTick(static_cast<int>(h.nHwVersion));
    int nExit = c_nKxEyeExitOk;
    std::string strLoopError;
    while (!g_bRecordInterrupted) {
        if (opts.nFrames > 0 ? writer.Frames() >= static_cast<uint64_t>(opts.nFrames)
                             : std::chrono::steady_clock::now() >= tEnd)
            break;
        SQueuedFrame f;
        if (!queue.Pop(f, tWait)) {
            if (g_bRecordInterrupted) break;
            char sz[64];
            std::snprintf(sz, sizeof(sz), "%g", opts.dTimeout);
            strLoopError = std::string("no frame within ") + sz + " s";
            nExit = c_nKxEyeExitFailure;
            break;
        }
        const uint64_t nExpected = 2ull * nImage + c_nOrEyeLaserBytes;
        bool bWritten = false;
        if (f.nLength != nExpected) {
            strLoopError = "a frame of " + std::to_string(f.nLength) + " bytes, expected " + std::to_string(nExpected);
        } else {
            const auto tNow = f.tArrived;
            if (bFirst) tFirst = tNow;
            const uint64_t nHostUs = static_cast<uint64_t>(
                std::chrono::duration_cast<std::chrono::microseconds>(tNow - tFirst).count());
            // The camera's time stamp carried onto the host clock, as the SDK's capture does.
            const uint32_t nRaw = KxTrailerTimeStamp(f.pData + 2 * nImage, h.nHwVersion);
            if (!bFirst) {
                const uint32_t nWrap = static_cast<uint32_t>(GetTimeStampRange(static_cast<int>(h.nHwVersion)));
                nTicks += nRaw >= nPrevRaw ? nRaw - nPrevRaw
                                           : (nWrap >= nPrevRaw ? nWrap - nPrevRaw + nRaw : nRaw - nPrevRaw);
            }
            nPrevRaw = nRaw;
            bFirst = false;
            const int64_t nArrivalNs =
                std::chrono::duration_cast<std::chrono::nanoseconds>(tNow.time_since_epoch()).count();
            SKxHostTime sTime{};
            clock.Add(static_cast<int64_t>(static_cast<double>(nTicks) * dTick * 1e9), nArrivalNs, &sTime);
            const int64_t nClockUs = std::max<int64_t>(std::min<int64_t>((sTime.nHostNs - nArrivalNs) / 1000, 0), INT32_MIN);
            bWritten = writer.Add(nHostUs, nImageW, nImageH, nImage ? f.pData : nullptr,
                                  nImage ? f.pData + nImage : nullptr, f.pData + 2 * nImage, strError,
                                  static_cast<int32_t>(nClockUs));
            if (!bWritten) strLoopError = temp.Path() + ": " + strError;
        }
        pCamera->ReleaseFrameBuffer(f.nBufferId);
        if (!bWritten) {
            nExit = c_nKxEyeExitFailure;
            break;
        }
    }
    // Stream off and callback gone before the queue goes; buffers still queued go back.
    pCamera->EnableStream(0);
    pCamera->SetFrameCallback(0, nullptr, nullptr);
    SQueuedFrame f;
    while (queue.Pop(f, std::chrono::steady_clock::duration::zero())) pCamera->ReleaseFrameBuffer(f.nBufferId);
    sigaction(SIGINT, &saOld, nullptr);
    sigaction(SIGTERM, &saOldTerm, nullptr);
    session.Close();

    if (nExit != c_nKxEyeExitOk) return fail(strLoopError, nExit);
    if (writer.Frames() == 0) return fail("no frame recorded; nothing written", c_nKxEyeExitFailure);
    if (!writer.Finish(strError)) return fail(temp.Path() + ": " + strError, c_nKxEyeExitFailure);
    std::error_code ec;
    std::filesystem::rename(temp.Path(), opts.strOut, ec);
    if (ec) return fail("cannot rename " + temp.Path() + " to " + opts.strOut + ": " + ec.message(), c_nKxEyeExitFailure);
    temp.Keep();
    const uintmax_t nBytes = std::filesystem::file_size(opts.strOut, ec);
    if (opts.bJson) {
        j["file"] = opts.strOut;
        j["frames"] = writer.Frames();
        j["bytes"] = ec ? uintmax_t(0) : nBytes;
        j["hardwareVersion"] = h.nHwVersion;
        j["width"] = h.nWidth;
        j["height"] = h.nHeight;
        j["images"] = opts.bImages;
        j["interrupted"] = g_bRecordInterrupted.load();
        KxEyePrintJson(j);
    } else {
        std::printf("recording: %s (%u frames, %ju bytes)\n", opts.strOut.c_str(), writer.Frames(),
                    ec ? uintmax_t(0) : nBytes);
        std::printf("hardware version: %u\nsensor: %u x %u\nimages: %s\n", h.nHwVersion, h.nWidth, h.nHeight,
                    opts.bImages ? "yes" : "no");
    }
    if (g_bRecordInterrupted) {
        // As scan: the file is complete, with the frames captured until the interrupt.
        std::cerr << "kxeye: interrupted; the recording holds the frames captured so far\n";
        return c_nKxEyeExitInterrupted;
    }
    return c_nKxEyeExitOk;
}
