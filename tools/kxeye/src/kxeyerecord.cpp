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

#include "kxeyecodes.h"
#include "kxeyecommands.h"
#include "kxeyerecording.h"
#include "kxlaserinfo.h"
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

// Reads the header fields from the opened camera; false with a message on stderr.
bool ReadHeader(IKxLaserEyeDevice* pDev, IOrEyeCamera* pCamera, bool bImages, KxEyeRecording::SHeader& h) {
    std::memset(&h, 0, sizeof(h));
    h.nHwVersion = pDev->GetHWVersion();
    const int32_t nRes = pDev->GetVideoResolution(&h.nWidth, &h.nHeight);
    if (nRes != KX_OK) {
        std::cerr << "kxeye: GetVideoResolution failed: " << KxEyeFormatCode(nRes) << "\n";
        return false;
    }
    h.nFlags = bImages ? KxEyeRecording::c_nFlagImages : 0;
    const int nInfo = pCamera->GetParam(54, h.abyInfo, static_cast<int>(KxEyeRecording::c_nInfoBytes));
    if (nInfo != c_nOrEyeOK) {
        std::cerr << "kxeye: the camera's information block cannot be read: " << KxEyeFormatCode(nInfo) << "\n";
        return false;
    }
    const int32_t nQ = pDev->GetQMatrix(h.adQ);
    if (nQ != KX_OK) {
        std::cerr << "kxeye: GetQMatrix failed: " << KxEyeFormatCode(nQ) << "\n";
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
    pRecord->add_option("camera", opts.strCamera, "camera: index in the list, device ID or IP address")->required();
    pRecord->add_option("--out", opts.strOut, "recording file to write")->required();
    CLI::Option* pFrames = pRecord->add_option("--frames", opts.nFrames, "number of frames")->check(CLI::Range(1, 1000000));
    CLI::Option* pSeconds =
        pRecord->add_option("--seconds", opts.dSeconds, "recording time in seconds")->check(CLI::PositiveNumber);
    pFrames->excludes(pSeconds);
    pRecord->add_flag("--images", opts.bImages, "also record the left and right images");
    pRecord->add_option("--timeout", opts.dTimeout, "give up after this many seconds without a frame (default 5)")
        ->check(CLI::PositiveNumber);
    return pRecord;
}

int KxEyeRecord(EKxEyeSource eSource, const SKxEyeRecordOptions& opts) {
    if (opts.nFrames <= 0 && !(opts.dSeconds > 0)) {
        std::cerr << "kxeye: record needs --frames N or --seconds S\n";
        return c_nKxEyeExitUsage;
    }
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
    if (!writer.Open(temp.Path(), h, strError)) {
        std::cerr << "kxeye: " << strError << "\n";
        return c_nKxEyeExitFailure;
    }

    CKxEyeSession session;
    if (!session.Open(eSource, opts.strCamera)) return c_nKxEyeExitFailure;
    IKxLaserEyeDevice* pDev = session.Device();
    IOrEyeCamera* pCamera = pDev->GetCoreEye();
    if (pCamera == nullptr) {
        std::cerr << "kxeye: the device has no camera object\n";
        return c_nKxEyeExitFailure;
    }
    if (opts.bImages) {
        pDev->SetDebugMode(true);
        const int32_t nApply = pDev->ApplyDebugMode();
        if (nApply != KX_OK) {
            std::cerr << "kxeye: images cannot be switched on: " << KxEyeFormatCode(nApply) << "\n";
            return c_nKxEyeExitFailure;
        }
    }
    if (!ReadHeader(pDev, pCamera, opts.bImages, h)) return c_nKxEyeExitFailure;
    uint32_t nImageW = 0, nImageH = 0;
    if (opts.bImages) {
        SKxNLROIRect sLeft{}, sRight{};
        const int32_t nRoi = pDev->GetDetectROI(&sLeft, &sRight);
        if (nRoi != KX_OK || sLeft.right <= sLeft.left || sLeft.bottom <= sLeft.top) {
            std::cerr << "kxeye: the detection window cannot be read: " << KxEyeFormatCode(nRoi) << "\n";
            return c_nKxEyeExitFailure;
        }
        nImageW = static_cast<uint32_t>(sLeft.right - sLeft.left);
        nImageH = static_cast<uint32_t>(sLeft.bottom - sLeft.top);
    }
    if (!writer.Open(temp.Path(), h, strError)) {  // again, now with the camera's header
        std::cerr << "kxeye: " << strError << "\n";
        return c_nKxEyeExitFailure;
    }

    // Frames straight from the camera, every one it streams: its frame callback hands each
    // buffer to this thread, which writes it and gives it back. The device's own frame function
    // is off meanwhile, so that it does not see (and complain about) frames outside a capture.
    CFrameQueue queue;
    pCamera->SetFrameCallback(1, &CFrameQueue::OnFrame, &queue);
    const int nStream = pCamera->EnableStream(1);
    if (nStream != c_nOrEyeOK) {
        pCamera->SetFrameCallback(0, nullptr, nullptr);
        std::cerr << "kxeye: the stream cannot be switched on: " << KxEyeFormatCode(nStream) << "\n";
        return c_nKxEyeExitFailure;
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
    int nExit = c_nKxEyeExitOk;
    while (!g_bRecordInterrupted) {
        if (opts.nFrames > 0 ? writer.Frames() >= static_cast<uint64_t>(opts.nFrames)
                             : std::chrono::steady_clock::now() >= tEnd)
            break;
        SQueuedFrame f;
        if (!queue.Pop(f, tWait)) {
            if (g_bRecordInterrupted) break;
            std::cerr << "kxeye: no frame within " << opts.dTimeout << " s\n";
            nExit = c_nKxEyeExitFailure;
            break;
        }
        const uint64_t nExpected = 2ull * nImage + c_nOrEyeLaserBytes;
        bool bWritten = false;
        if (f.nLength != nExpected) {
            std::cerr << "kxeye: a frame of " << f.nLength << " bytes, expected " << nExpected << "\n";
        } else {
            const auto tNow = f.tArrived;
            if (bFirst) tFirst = tNow;
            bFirst = false;
            const uint64_t nHostUs = static_cast<uint64_t>(
                std::chrono::duration_cast<std::chrono::microseconds>(tNow - tFirst).count());
            bWritten = writer.Add(nHostUs, nImageW, nImageH, nImage ? f.pData : nullptr,
                                  nImage ? f.pData + nImage : nullptr, f.pData + 2 * nImage, strError);
            if (!bWritten) std::cerr << "kxeye: " << temp.Path() << ": " << strError << "\n";
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

    if (nExit != c_nKxEyeExitOk) return nExit;
    if (writer.Frames() == 0) {
        std::cerr << "kxeye: no frame recorded; nothing written\n";
        return c_nKxEyeExitFailure;
    }
    if (!writer.Finish(strError)) {
        std::cerr << "kxeye: " << temp.Path() << ": " << strError << "\n";
        return c_nKxEyeExitFailure;
    }
    std::error_code ec;
    std::filesystem::rename(temp.Path(), opts.strOut, ec);
    if (ec) {
        std::cerr << "kxeye: cannot rename " << temp.Path() << " to " << opts.strOut << ": " << ec.message() << "\n";
        return c_nKxEyeExitFailure;
    }
    temp.Keep();
    const uintmax_t nBytes = std::filesystem::file_size(opts.strOut, ec);
    std::printf("recording: %s (%u frames, %ju bytes)\n", opts.strOut.c_str(), writer.Frames(), ec ? uintmax_t(0) : nBytes);
    std::printf("hardware version: %u\nsensor: %u x %u\nimages: %s\n", h.nHwVersion, h.nWidth, h.nHeight,
                opts.bImages ? "yes" : "no");
    if (g_bRecordInterrupted) {
        // As scan: the file is complete, with the frames captured until the interrupt.
        std::cerr << "kxeye: interrupted; the recording holds the frames captured so far\n";
        return c_nKxEyeExitInterrupted;
    }
    return c_nKxEyeExitOk;
}
