// A scripted camera for the capture tests: it answers Open with a configurable information
// block, keeps the ROIs, image mode, trigger mode and dynamic ROI in step with what the device
// sends, and hands crafted frames to the registered frame-event function, keeping count of every
// buffer it hands out and gets back. An optional streaming thread feeds frames from a small
// buffer pool, dropping a frame (and advancing the counter) when every buffer is held.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "kxlaserinfo.h"
#include "oreyeapi.h"

namespace FakeCam {

const unsigned int c_nLaserBytes = 32800;

// Trailer words of one crafted laser part.
struct FrameTrailer {
    uint32_t nTimestamp = 0;
    uint32_t nCounter = 0;
    uint32_t nEncoderTimer = 0;  // versions 7 and 8: word 4 bits 0-28
    uint32_t nWord6 = 0;         // encoder count or swing angle
    bool bTriggerOff = false;
    uint32_t nLeftX = 0;         // word 7 bits 0-11
    uint32_t nRightX = 0;        // word 7 bits 12-23
    uint32_t nPointCount = 0;
};

inline void PutLe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// Packs the trailer the way a camera of hardware version nVersion does.
inline void WriteTrailer(uint8_t* pLaser, uint32_t nVersion, const FrameTrailer& f) {
    uint32_t w[8] = {};
    w[0] = f.bTriggerOff ? 0x80000000u : 0;
    w[6] = f.nWord6;
    w[7] = (f.nLeftX & 0xFFFu) | ((f.nRightX & 0xFFFu) << 12);
    if (nVersion <= 2) {
        w[5] = f.nTimestamp;
        w[4] = f.nPointCount;
    } else if (nVersion == 3) {
        w[5] = (f.nTimestamp & 0x7FFFFFu) | ((f.nCounter & 0xFFu) << 23);
        w[4] = f.nPointCount;
    } else if (nVersion <= 6) {
        w[5] = (f.nTimestamp & 0x7FFFFu) | ((f.nCounter & 0xFFFu) << 19);
        w[4] = f.nPointCount;
    } else {
        w[5] = (f.nTimestamp & 0x7FFFFu) | ((f.nCounter & 0xFFFu) << 19);
        w[7] |= ((f.nTimestamp >> 19) & 0xFFu) << 24;
        w[4] = (f.nEncoderTimer & 0x1FFFFFFFu) | (((f.nTimestamp >> 27) & 0x3u) << 29);
        w[3] = (f.nPointCount & 0xFFFu) << 20;
    }
    for (int i = 0; i < 8; ++i) PutLe32(pLaser + 32768 + 4 * i, w[i]);
}

struct Config {
    uint32_t nVersion = 8;
    uint32_t nWidth = 1280;
    uint32_t nHeight = 1024;
    int nRoiLeft = 0, nRoiWidth = 640, nRoiTop = 0, nRoiHeight = 480;
    uint8_t nTriggerMode = 0;
    bool bDynamicROI = false;
    bool bSwingMotor = false;  // parameter 58: fitted, on, sweep mode 1
};

class Camera : public IOrEyeCamera {
public:
    explicit Camera(const Config& cfg) : m_cfg(cfg) {
        using namespace KxLaserInfo;
        SetWord(m_info, c_nWordTriggerDynRoi,
                static_cast<uint16_t>(cfg.nTriggerMode | ((cfg.bDynamicROI ? 2 : 0) << 8)));
        SetWord(m_info, c_nWordExposure, 100);
        SetWord(m_info, c_nWordDeviceType, 2);
        SetWord(m_info, c_nWordVersion, static_cast<uint16_t>(cfg.nVersion));
        SetWord(m_info, c_nWordWidth, static_cast<uint16_t>(cfg.nWidth));
        SetWord(m_info, c_nWordHeight, static_cast<uint16_t>(cfg.nHeight));
        SetWord(m_info, c_nWordFlags, cfg.bSwingMotor ? c_nFlagSwingMotor : 0);
        SetRoiWords(cfg.nRoiLeft, cfg.nRoiTop, cfg.nRoiLeft, cfg.nRoiTop, cfg.nRoiWidth, cfg.nRoiHeight);
        SetWord(m_info, c_nWordThreshold, 30);
    }
    ~Camera() override { StopThread(); }

    // ---- scripting and bookkeeping ----
    std::mutex m;
    std::vector<int> vecStreamCalls;              // EnableStream arguments
    std::vector<std::pair<int, bool>> vecCallbackCalls;  // SetFrameCallback (enable, non-null)
    std::vector<std::pair<int, uint16_t>> vecParams;     // SetParam id, 16-bit value
    std::vector<std::pair<int, uint16_t>> vecRegisters;  // WriteRegister target, 16-bit value
    std::vector<int> vecGrabResults;              // scripted answers of the next grabs
    std::vector<std::vector<int>> vecSetROI;      // SetROI arguments
    std::vector<uint16_t> vecMotorCodes;          // custom-command register codes
    FrameTrailer grabFrame;                          // trailer of grabbed frames
    uint8_t nImageFill = 0x5A;                    // left image byte; right is its complement

    uint8_t Word(unsigned int n) { return static_cast<uint8_t>(KxLaserInfo::GetWord(m_info, n)); }
    uint16_t Word16(unsigned int n) {
        std::lock_guard<std::mutex> lock(m);
        return KxLaserInfo::GetWord(m_info, n);
    }

    // Buffers handed out and not yet returned, returned in all, and returned more than once.
    size_t Outstanding() {
        std::lock_guard<std::mutex> lock(m);
        return m_mapOut.size();
    }
    uint64_t Returned() {
        std::lock_guard<std::mutex> lock(m);
        return m_nReturned;
    }
    uint64_t BadReleases() {
        std::lock_guard<std::mutex> lock(m);
        return m_nBadReleases;
    }
    uint64_t Produced() const { return m_nProduced.load(); }
    uint64_t Dropped() const { return m_nDropped.load(); }

    // Hands one crafted frame to the registered frame-event function on the calling thread and
    // answers its buffer id. nImageBytes bytes of images go in front of the laser part.
    unsigned int Push(const FrameTrailer& f, uint32_t nImageBytes = 0, bool bNullBuffer = false,
                      unsigned int nLength = 0) {
        std::vector<uint8_t>* pBuf = nullptr;
        unsigned int nId = 0;
        OrEyeFrameCallback pfn = nullptr;
        void* pCtx = nullptr;
        {
            std::lock_guard<std::mutex> lock(m);
            nId = m_nNextId++;
            auto buf = std::make_unique<std::vector<uint8_t>>(2 * nImageBytes + c_nLaserBytes, 0);
            std::fill(buf->begin(), buf->begin() + nImageBytes, nImageFill);
            std::fill(buf->begin() + nImageBytes, buf->begin() + 2 * nImageBytes,
                      static_cast<uint8_t>(~nImageFill));
            WriteTrailer(buf->data() + 2 * nImageBytes, m_cfg.nVersion, f);
            pBuf = buf.get();
            m_mapOut[nId] = std::move(buf);
            pfn = m_pfn;
            pCtx = m_pCtx;
        }
        if (pfn) {
            pfn(c_nOrEyeEventFrame, 0, bNullBuffer ? nullptr : pBuf->data(),
                nLength ? nLength : static_cast<unsigned int>(pBuf->size()), nId, pCtx);
        }
        return nId;
    }
    // A notification event to the frame-event function.
    void Notify(int nEvent) {
        OrEyeFrameCallback pfn;
        void* pCtx;
        {
            std::lock_guard<std::mutex> lock(m);
            pfn = m_pfn;
            pCtx = m_pCtx;
        }
        if (pfn) pfn(nEvent, 0, nullptr, 0, 0, pCtx);
    }

    // Streaming thread: while the stream is on, one frame every nPeriodUs from a pool of
    // nBuffers; with every buffer held the frame is dropped and its counter step is lost.
    void StartThread(unsigned int nBuffers, unsigned int nPeriodUs) {
        m_nPoolSize = nBuffers;
        m_nPeriodUs = nPeriodUs;
        m_bThreadRun = true;
        m_thread = std::thread([this] { ThreadMain(); });
    }
    void StopThread() {
        {
            std::lock_guard<std::mutex> lock(m);
            m_bThreadRun = false;
        }
        m_cv.notify_all();
        if (m_thread.joinable()) m_thread.join();
    }

    // ---- IOrEyeCamera ----
    int GetVersionText(char* p, int n) override {
        if (p && n > 0) std::snprintf(p, static_cast<size_t>(n), "fake 1.0");
        return 0;
    }
    int ListDevices(unsigned char*) override { return c_nOrEyeNotSupported; }
    int InitDevice(int, int, int, int, const char*) override { return 0; }
    int SetFrameCallback(int nEnable, OrEyeFrameCallback pfn, void* pCtx) override {
        std::lock_guard<std::mutex> lock(m);
        vecCallbackCalls.emplace_back(nEnable, pfn != nullptr);
        m_pfn = nEnable ? pfn : nullptr;
        m_pCtx = nEnable ? pCtx : nullptr;
        return 0;
    }
    int EnableStream(int nOn) override {
        {
            std::lock_guard<std::mutex> lock(m);
            vecStreamCalls.push_back(nOn);
            m_bStreaming = nOn != 0;
        }
        m_cv.notify_all();
        // Stream off waits for the frame being delivered, as camera libraries do.
        if (!nOn && std::this_thread::get_id() != m_thread.get_id()) {
            std::unique_lock<std::mutex> lock(m);
            m_cv.wait(lock, [this] { return !m_bDelivering; });
        }
        return 0;
    }
    int WaitStreamFrame(unsigned char* apDest[3], unsigned int* pnLength, unsigned int* pnId,
                        unsigned int) override {
        return Fill(apDest, pnLength, pnId);
    }
    int GrabFrame(unsigned char* apDest[3], unsigned int* pnLength, unsigned int* pnId,
                  unsigned int) override {
        return Fill(apDest, pnLength, pnId);
    }
    int SetParam(int nId, const void* pData, int nLength) override {
        std::lock_guard<std::mutex> lock(m);
        uint16_t v = 0;
        if (pData && nLength >= 2) std::memcpy(&v, pData, 2);
        vecParams.emplace_back(nId, v);
        if (nId == 51) {
            uint16_t w0 = KxLaserInfo::GetWord(m_info, 0);
            KxLaserInfo::SetWord(m_info, 0, static_cast<uint16_t>((w0 & 0xFF) | (v << 8)));
        }
        return 0;
    }
    int GetParam(int nId, void* pData, int nLength) override {
        std::lock_guard<std::mutex> lock(m);
        if (!pData) return c_nOrEyeBadArgument;
        std::memset(pData, 0, static_cast<size_t>(nLength));
        if (nId == 54 && nLength == 52) {
            std::memcpy(pData, m_info, 52);
            return 0;
        }
        if (nId == 58) {
            if (!m_cfg.bSwingMotor) return 0;
            const uint16_t w = 0x7;
            std::memcpy(pData, &w, 2);
            return 0;
        }
        return 0;
    }
    int WriteRegister(int nTarget, unsigned int, const void* pData, int nLength) override {
        std::lock_guard<std::mutex> lock(m);
        uint16_t v = 0;
        if (pData && nLength >= 2) std::memcpy(&v, pData, 2);
        vecRegisters.emplace_back(nTarget, v);
        if (nTarget == 1 && pData && nLength >= 4) {
            uint16_t nExpose = 0;
            std::memcpy(&nExpose, static_cast<const uint8_t*>(pData) + 2, 2);
            KxLaserInfo::SetWord(m_info, KxLaserInfo::c_nWordExposure, nExpose);
        }
        if (nTarget == 13) {
            uint16_t w0 = KxLaserInfo::GetWord(m_info, 0);
            KxLaserInfo::SetWord(m_info, 0, static_cast<uint16_t>((w0 & 0xFF00) | (v & 0xFF)));
        }
        return 0;
    }
    int GetQMatrix(double* p) override {
        if (p) std::memset(p, 0, 16 * sizeof(double));
        return 0;
    }
    int WriteProduct(int, const void*, int) override { return 0; }
    int ReadProduct(int, void*, int) override { return 0; }
    int SetROI(int lx, int ly, int rx, int ry, int w, int h) override {
        std::lock_guard<std::mutex> lock(m);
        vecSetROI.push_back({lx, ly, rx, ry, w, h});
        SetRoiWords(lx, ly, rx, ry, w, h);
        return 0;
    }
    int SetROIMode(int) override { return 0; }
    int EnableDevice(int) override { return 0; }
    int SetTriggerN(unsigned int, unsigned int) override { return 0; }
    int SetImageTransfer(int nOn, unsigned int, unsigned int) override {
        std::lock_guard<std::mutex> lock(m);
        KxLaserInfo::SetWord(m_info, KxLaserInfo::c_nWordImageMode, nOn ? 1 : 0);
        return 0;
    }
    int WriteStorage(unsigned int, const void*, unsigned int) override { return 0; }
    int ReadStorage(unsigned int, void* p, unsigned int n) override {
        if (p) std::memset(p, 0, n);
        return 0;
    }
    int Search(const unsigned char*, const unsigned char*, unsigned char*) override {
        return c_nOrEyeNotSupported;
    }
    int SelectDevice(const unsigned char*) override { return 0; }
    int ReleaseFrameBuffer(unsigned int nId) override {
        {
            std::lock_guard<std::mutex> lock(m);
            auto it = m_mapOut.find(nId);
            if (it == m_mapOut.end()) {
                ++m_nBadReleases;
                return c_nOrEyeBadArgument;
            }
            m_mapOut.erase(it);
            ++m_nReturned;
        }
        m_cv.notify_all();
        return 0;
    }
    // Swing motor controller: idle and valid status, sweep bit follows start and stop.
    int ExecuteCustomCommand(const unsigned short* pRec, void* pReply) override {
        std::lock_guard<std::mutex> lock(m);
        uint32_t nReply = 0;
        const uint16_t nCode = pRec[1];
        vecMotorCodes.push_back(nCode);
        switch (nCode) {
            case 1: m_bSweeping = true; break;
            case 2: m_bSweeping = false; break;
            case 15: nReply = 0x8000u | (m_bSweeping ? 0x2u : 0u); break;
            case 27: nReply = 900; break;
            case 36: nReply = 20; break;
            case 32: nReply = 3600; break;
            case 31: nReply = 100; break;
            case 28: nReply = 100; break;
            case 29: nReply = 500; break;
            default: break;
        }
        if (pReply) std::memcpy(pReply, &nReply, 4);
        return 0;
    }
    int SetLocalIP(const char*, int) override { return 0; }
    int SetOptionEx(int, int, int) override { return 0; }
    int SetOption(int, int) override { return 0; }
    int ExtendedCommand(int, void*, int, void*, int) override { return 0; }
    int SyncROI(int, int, int, int, int, int) override { return 0; }
    int SetFeature(int, int, int) override { return 0; }

private:
    void SetRoiWords(int lx, int ly, int rx, int ry, int w, int h) {
        using namespace KxLaserInfo;
        const int v[8] = {lx, lx + w, ly, ly + h, rx, rx + w, ry, ry + h};
        for (int i = 0; i < 8; ++i) SetWord(m_info, c_nWordLeftRoi + i, static_cast<uint16_t>(v[i]));
    }

    int Fill(unsigned char* apDest[3], unsigned int* pnLength, unsigned int* pnId) {
        std::lock_guard<std::mutex> lock(m);
        if (!vecGrabResults.empty()) {
            const int nCode = vecGrabResults.front();
            vecGrabResults.erase(vecGrabResults.begin());
            if (nCode != 0) return nCode;
        }
        using namespace KxLaserInfo;
        const uint32_t nW = GetWord(m_info, c_nWordLeftRoi + 1) - GetWord(m_info, c_nWordLeftRoi);
        const uint32_t nH = GetWord(m_info, c_nWordLeftRoi + 3) - GetWord(m_info, c_nWordLeftRoi + 2);
        if (apDest[0]) std::memset(apDest[0], nImageFill, nW * nH);
        if (apDest[1]) std::memset(apDest[1], static_cast<uint8_t>(~nImageFill), nW * nH);
        std::memset(apDest[2], 0, c_nLaserBytes);
        WriteTrailer(apDest[2], m_cfg.nVersion, grabFrame);
        if (pnLength) *pnLength = c_nLaserBytes + (apDest[0] ? 2 * nW * nH : 0);
        if (pnId) *pnId = 0;
        ++m_nProduced;
        return 0;
    }

    void ThreadMain() {
        uint32_t nCounter = 0;
        uint32_t nTimestamp = 1000;
        std::unique_lock<std::mutex> lock(m);
        while (m_bThreadRun) {
            m_cv.wait_for(lock, std::chrono::microseconds(m_nPeriodUs));
            if (!m_bThreadRun) break;
            if (!m_bStreaming || !m_pfn) continue;
            ++m_nProduced;
            FrameTrailer f;
            f.nCounter = nCounter++ & 0xFFFu;
            f.nTimestamp = nTimestamp;
            nTimestamp += 100;
            if (m_mapOut.size() >= m_nPoolSize) {
                ++m_nDropped;
                continue;
            }
            const unsigned int nId = m_nNextId++;
            auto buf = std::make_unique<std::vector<uint8_t>>(c_nLaserBytes, 0);
            WriteTrailer(buf->data(), m_cfg.nVersion, f);
            uint8_t* pData = buf->data();
            m_mapOut[nId] = std::move(buf);
            OrEyeFrameCallback pfn = m_pfn;
            void* pCtx = m_pCtx;
            m_bDelivering = true;
            lock.unlock();
            pfn(c_nOrEyeEventFrame, 0, pData, c_nLaserBytes, nId, pCtx);
            lock.lock();
            m_bDelivering = false;
            m_cv.notify_all();
        }
    }

    Config m_cfg;
    uint8_t m_info[52] = {};
    OrEyeFrameCallback m_pfn = nullptr;
    void* m_pCtx = nullptr;
    std::map<unsigned int, std::unique_ptr<std::vector<uint8_t>>> m_mapOut;
    unsigned int m_nNextId = 1;
    uint64_t m_nReturned = 0;
    uint64_t m_nBadReleases = 0;
    bool m_bSweeping = false;
    bool m_bStreaming = false;
    bool m_bDelivering = false;
    std::atomic<uint64_t> m_nProduced{0};
    std::atomic<uint64_t> m_nDropped{0};
    std::condition_variable m_cv;
    std::thread m_thread;
    bool m_bThreadRun = false;
    unsigned int m_nPoolSize = 4;
    unsigned int m_nPeriodUs = 200;
};

}  // namespace FakeCam
