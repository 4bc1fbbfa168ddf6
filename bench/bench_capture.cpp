// The capture pipeline as an application sees it: a device opened on the local virtual camera,
// continuous capture, and a data callback that decodes format 1 and lets the block go. Two
// frame sources stand behind the device's camera object (installed through the camera
// library's test factory, which forwards every other operation to a real virtual-camera
// session):
// - "virtual": the virtual camera itself, with its frame-rate cap lifted and asked for its
//   highest rate; it renders every frame of its scene, so its own cost limits the rate;
// - "replay": the same camera's frame, grabbed once and handed to the pipeline again and again
//   from a small buffer pool as fast as the pipeline takes it, so that only the pipeline and
//   the decoding are measured.
// Reported per run: frames per second delivered to the callback, time per frame spent in the
// frame-event function apart from decoding (the pipeline), decoding time per frame, process
// CPU time per frame, frames lost by the pipeline (handed to the frame-event function but never
// delivered), frames the camera dropped, buffers not returned, and the share of one core that
// 1100 frames per second (the fastest rate of the frame-rate tables) would cost.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "kxkernel.h"
#include "kxlasereyedevice.h"
#include "oreyeapi.h"
#include "oreyeapi_testsupport.h"

namespace {

typedef std::chrono::steady_clock Clock;

const int c_nFormat = 1;
const unsigned int c_nLaserBytes = 32800;
const unsigned int c_nReplayBuffers = 8;
const int c_nFastestTableRate = 1100;

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

double ProcessCpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
}

// What one capture run saw. Written on the camera's thread, read after StopCapture.
struct SStats {
    std::atomic<uint64_t> nFramesIn{0};       // frames handed to the frame-event function
    std::atomic<int64_t> nFrameFnNs{0};       // time inside the frame-event function
    std::atomic<uint64_t> nDelivered{0};      // OnLaserResult calls
    std::atomic<int64_t> nDecodeNs{0};        // time inside GetPointData + GetPixelData
    std::atomic<uint64_t> nIndexGaps{0};      // frames missing from the frame index sequence
    std::atomic<uint64_t> nShortFrames{0};    // frames that decoded to no point
    std::atomic<int32_t> nLastPoints{0};
    uint64_t nLastIndex = 0;
    bool bHaveIndex = false;
    void Reset() {
        nFramesIn = 0;
        nFrameFnNs = 0;
        nDelivered = 0;
        nDecodeNs = 0;
        nIndexGaps = 0;
        nShortFrames = 0;
        nLastPoints = 0;
        bHaveIndex = false;
    }
};
SStats g_stats;

// Frames count only while the gate is open. Before StopCapture the benchmark closes it and waits
// until no counted frame is inside the frame-event function, so that frames arriving while the
// capture stops (which the device rightly hands back undelivered) are not taken for lost ones.
std::atomic<bool> g_bGateOpen{false};
std::atomic<int> g_nCountedInFlight{0};

// Hands one frame to the device's frame-event function, timing and counting it.
void DeliverFrame(OrEyeFrameCallback pfn, void* pBuffer, unsigned int nLength, unsigned int nId, void* pDevice) {
    g_nCountedInFlight.fetch_add(1);
    if (!g_bGateOpen.load()) {
        g_nCountedInFlight.fetch_sub(1);
        pfn(c_nOrEyeEventFrame, 0, pBuffer, nLength, nId, pDevice);
        return;
    }
    g_stats.nFramesIn.fetch_add(1, std::memory_order_relaxed);
    const int64_t t0 = NowNs();
    pfn(c_nOrEyeEventFrame, 0, pBuffer, nLength, nId, pDevice);
    g_stats.nFrameFnNs.fetch_add(NowNs() - t0, std::memory_order_relaxed);
    g_nCountedInFlight.fetch_sub(1);
}

void CloseGate() {
    g_bGateOpen.store(false);
    while (g_nCountedInFlight.load() != 0) std::this_thread::yield();
}

enum class ESource { Virtual, Replay };

// The device's camera object: forwards to a real virtual-camera session, except for the frame
// delivery, which it times (and, for the replay source, performs itself).
class CBenchCamera : public IOrEyeCamera {
public:
    CBenchCamera(IOrEyeCamera* pReal, ESource eSource) : m_pReal(pReal), m_eSource(eSource) {}
    ~CBenchCamera() override {
        StopReplay();
        delete m_pReal;
    }

    uint64_t m_nReplayDropped = 0;
    std::atomic<uint64_t> m_nReplayOut{0}, m_nReplayBack{0}, m_nReplayBad{0};

    int SetFrameCallback(int nEnable, OrEyeFrameCallback pfn, void* pContext) override {
        {
            std::lock_guard<std::mutex> lock(m_mtx);
            m_pfn = nEnable ? pfn : nullptr;
            m_pContext = nEnable ? pContext : nullptr;
        }
        if (nEnable && pfn) return m_pReal->SetFrameCallback(1, &CBenchCamera::Trampoline, this);
        return m_pReal->SetFrameCallback(nEnable, nullptr, nullptr);
    }
    int EnableStream(int nOn) override {
        if (m_eSource == ESource::Virtual) return m_pReal->EnableStream(nOn);
        if (nOn) return StartReplay();
        StopReplay();
        return c_nOrEyeOK;
    }
    int ReleaseFrameBuffer(unsigned int nId) override {
        if (m_eSource == ESource::Virtual) return m_pReal->ReleaseFrameBuffer(nId);
        if (nId >= c_nReplayBuffers || !m_abOut[nId].exchange(false)) {
            ++m_nReplayBad;
            return c_nOrEyeBadArgument;
        }
        ++m_nReplayBack;
        return c_nOrEyeOK;
    }
    int SetParam(int nId, const void* pData, int nLength) override {
        // The device sends the rate of its frame-rate table at capture start; the benchmark asks
        // for the camera's highest.
        if (nId == 34 && nLength == 2 && m_eSource == ESource::Virtual) {
            const uint16_t nMax = 2000;
            return m_pReal->SetParam(nId, &nMax, 2);
        }
        return m_pReal->SetParam(nId, pData, nLength);
    }

    // Everything else goes to the real session.
    int GetVersionText(char* a, int b) override { return m_pReal->GetVersionText(a, b); }
    int ListDevices(unsigned char* a) override { return m_pReal->ListDevices(a); }
    int InitDevice(int a, int b, int c, int d, const char* e) override { return m_pReal->InitDevice(a, b, c, d, e); }
    int WaitStreamFrame(unsigned char** a, unsigned int* b, unsigned int* c, unsigned int d) override {
        return m_pReal->WaitStreamFrame(a, b, c, d);
    }
    int GrabFrame(unsigned char** a, unsigned int* b, unsigned int* c, unsigned int d) override {
        return m_pReal->GrabFrame(a, b, c, d);
    }
    int GetParam(int a, void* b, int c) override { return m_pReal->GetParam(a, b, c); }
    int WriteRegister(int a, unsigned int b, const void* c, int d) override { return m_pReal->WriteRegister(a, b, c, d); }
    int GetQMatrix(double* a) override { return m_pReal->GetQMatrix(a); }
    int WriteProduct(int a, const void* b, int c) override { return m_pReal->WriteProduct(a, b, c); }
    int ReadProduct(int a, void* b, int c) override { return m_pReal->ReadProduct(a, b, c); }
    int SetROI(int a, int b, int c, int d, int e, int f) override { return m_pReal->SetROI(a, b, c, d, e, f); }
    int SetROIMode(int a) override { return m_pReal->SetROIMode(a); }
    int EnableDevice(int a) override { return m_pReal->EnableDevice(a); }
    int SetTriggerN(unsigned int a, unsigned int b) override { return m_pReal->SetTriggerN(a, b); }
    int SetImageTransfer(int a, unsigned int b, unsigned int c) override { return m_pReal->SetImageTransfer(a, b, c); }
    int WriteStorage(unsigned int a, const void* b, unsigned int c) override { return m_pReal->WriteStorage(a, b, c); }
    int ReadStorage(unsigned int a, void* b, unsigned int c) override { return m_pReal->ReadStorage(a, b, c); }
    int Search(const unsigned char* a, const unsigned char* b, unsigned char* c) override {
        return m_pReal->Search(a, b, c);
    }
    int SelectDevice(const unsigned char* a) override { return m_pReal->SelectDevice(a); }
    int ExecuteCustomCommand(const unsigned short* a, void* b) override { return m_pReal->ExecuteCustomCommand(a, b); }
    int SetLocalIP(const char* a, int b) override { return m_pReal->SetLocalIP(a, b); }
    int SetOptionEx(int a, int b, int c) override { return m_pReal->SetOptionEx(a, b, c); }
    int SetOption(int a, int b) override { return m_pReal->SetOption(a, b); }
    int ExtendedCommand(int a, void* b, int c, void* d, int e) override { return m_pReal->ExtendedCommand(a, b, c, d, e); }
    int SyncROI(int a, int b, int c, int d, int e, int f) override { return m_pReal->SyncROI(a, b, c, d, e, f); }
    int SetFeature(int a, int b, int c) override { return m_pReal->SetFeature(a, b, c); }

private:
    // Times every frame event on its way into the device.
    static void Trampoline(int nEvent, int nParam, void* pBuffer, unsigned int nLength, unsigned int nId,
                           void* pContext) {
        CBenchCamera* self = static_cast<CBenchCamera*>(pContext);
        OrEyeFrameCallback pfn;
        void* pDevice;
        {
            std::lock_guard<std::mutex> lock(self->m_mtx);
            pfn = self->m_pfn;
            pDevice = self->m_pContext;
        }
        if (pfn == nullptr) {
            if (nEvent == c_nOrEyeEventFrame) self->ReleaseFrameBuffer(nId);
            return;
        }
        if (nEvent != c_nOrEyeEventFrame) {
            pfn(nEvent, nParam, pBuffer, nLength, nId, pDevice);
            return;
        }
        DeliverFrame(pfn, pBuffer, nLength, nId, pDevice);
    }

    int StartReplay() {
        StopReplay();
        // One real frame of the camera, as it stands now (ROIs set by the device's Open).
        m_vecBuffers.assign(c_nReplayBuffers, std::vector<uint8_t>(c_nLaserBytes));
        unsigned char* apDest[3] = {nullptr, nullptr, m_vecBuffers[0].data()};
        unsigned int nLength = 0, nFrameId = 0;
        const int nResult = m_pReal->GrabFrame(apDest, &nLength, &nFrameId, 2000);
        if (nResult != c_nOrEyeOK) return nResult;
        for (unsigned int i = 1; i < c_nReplayBuffers; ++i) m_vecBuffers[i] = m_vecBuffers[0];
        for (auto& b : m_abOut) b = false;
        m_bRun = true;
        m_thReplay = std::thread(&CBenchCamera::ReplayLoop, this);
        return c_nOrEyeOK;
    }
    void StopReplay() {
        m_bRun = false;
        if (m_thReplay.joinable()) m_thReplay.join();
    }

    static uint32_t Word(const uint8_t* p, int n) {
        uint32_t v;
        std::memcpy(&v, p + 32768 + 4 * n, 4);
        return v;
    }
    static void SetWord(uint8_t* p, int n, uint32_t v) { std::memcpy(p + 32768 + 4 * n, &v, 4); }

    // Counter and time stamp of frame n as a version 7 or 8 camera packs them: one frame per
    // 100 ticks, so that the pipeline sees a steady stream.
    static void Stamp(uint8_t* p, uint64_t n) {
        const uint32_t nTs = static_cast<uint32_t>((n * 100) % 536870911u);
        const uint32_t nCnt = static_cast<uint32_t>(n % 4096);
        SetWord(p, 5, (nTs & 0x7FFFFu) | (nCnt << 19));
        SetWord(p, 7, (Word(p, 7) & 0x00FFFFFFu) | (((nTs >> 19) & 0xFFu) << 24));
        SetWord(p, 4, (Word(p, 4) & 0x9FFFFFFFu) | (((nTs >> 27) & 0x3u) << 29));
    }

    void ReplayLoop() {
        uint64_t n = 0;
        unsigned int nNext = 0;
        while (m_bRun.load(std::memory_order_relaxed)) {
            OrEyeFrameCallback pfn;
            void* pDevice;
            {
                std::lock_guard<std::mutex> lock(m_mtx);
                pfn = m_pfn;
                pDevice = m_pContext;
            }
            if (pfn == nullptr || !g_bGateOpen.load(std::memory_order_relaxed)) {
                std::this_thread::yield();
                continue;
            }
            const unsigned int nId = nNext;
            nNext = (nNext + 1) % c_nReplayBuffers;
            if (m_abOut[nId].exchange(true)) {
                ++m_nReplayDropped;  // every buffer held: the frame is lost at the camera
                ++n;
                continue;
            }
            ++m_nReplayOut;
            Stamp(m_vecBuffers[nId].data(), n++);
            DeliverFrame(pfn, m_vecBuffers[nId].data(), c_nLaserBytes, nId, pDevice);
        }
    }

    IOrEyeCamera* m_pReal;
    ESource m_eSource;
    std::mutex m_mtx;
    OrEyeFrameCallback m_pfn = nullptr;
    void* m_pContext = nullptr;
    std::vector<std::vector<uint8_t>> m_vecBuffers;
    std::atomic<bool> m_abOut[c_nReplayBuffers] = {};
    std::atomic<bool> m_bRun{false};
    std::thread m_thReplay;
};

ESource g_eSource = ESource::Virtual;
CBenchCamera* g_pCamera = nullptr;  // the device's, while open

IOrEyeCamera* BenchFactory(OREYEAPI_TYPE eType) {
    // The library's own session behind ours: its factory, briefly.
    OrEyeTest::SetFactory(OrEyeTest::Factory());
    IOrEyeCamera* pReal = CreateOrEyeApi(eType);
    OrEyeTest::SetFactory(&BenchFactory);
    if (pReal == nullptr) return nullptr;
    g_pCamera = new CBenchCamera(pReal, g_eSource);
    return g_pCamera;
}

// Decodes format 1 of every frame and checks the frame index sequence.
class CDecodeCallback : public IKxLaserDataCallBack {
public:
    void OnLaserResult(IKxLaserEyeResultBlock* pBlock) override {
        const int64_t t0 = NowNs();
        int32_t nCount = 0, nPixels = 0;
        const void* pPoints = pBlock->GetPointData(c_nFormat, &nCount);
        const void* pPixelData = pBlock->GetPixelData(c_nFormat, &nPixels);
        benchmark::DoNotOptimize(pPoints);
        benchmark::DoNotOptimize(pPixelData);
        g_stats.nDecodeNs.fetch_add(NowNs() - t0, std::memory_order_relaxed);
        if (nCount <= 0) g_stats.nShortFrames.fetch_add(1, std::memory_order_relaxed);
        g_stats.nLastPoints.store(nCount, std::memory_order_relaxed);
        const uint64_t nIndex = pBlock->GetFrameIndex();
        if (g_stats.bHaveIndex && nIndex > g_stats.nLastIndex + 1)
            g_stats.nIndexGaps.fetch_add(nIndex - g_stats.nLastIndex - 1, std::memory_order_relaxed);
        g_stats.nLastIndex = nIndex;
        g_stats.bHaveIndex = true;
        g_stats.nDelivered.fetch_add(1, std::memory_order_relaxed);
    }
};

struct SDeviceSetup {
    SKxNLEyeDeviceInfoEx info{};
    bool bFound = false;
    IKxMemPool* pMemPool = nullptr;
    IKxSurfacePool* pSurfacePool = nullptr;

    SDeviceSetup() {
        IKxEyeDeviceEnumrator* pEnum = nullptr;
        if (KxCreateLaserEyeDeviceEnumrator(&pEnum)) {
            pEnum->SearchDevice(c_nKxSearchLocal);
            std::vector<SKxNLEyeDeviceInfoEx> vec;
            pEnum->GetDeviceInfoList(vec);
            pEnum->Release();
            if (!vec.empty()) {
                info = vec[0];
                bFound = true;
            }
        }
        KxKernel::KxCreateMemPool(&pMemPool);
        KxKernel::KxCreateSurfacePool(&pSurfacePool);
    }
};

void BM_Capture(benchmark::State& state, ESource eSource, double dSeconds, uint64_t nMaxFrames) {
    static SDeviceSetup s_setup;
    if (!s_setup.bFound) {
        state.SkipWithError("no virtual camera found");
        return;
    }
    g_eSource = eSource;
    OrEyeTest::SetFactory(&BenchFactory);
    IKxLaserEyeDevice* pDevice = nullptr;
    KxCreateLaserEyeDevice(&s_setup.info, s_setup.pSurfacePool, s_setup.pMemPool, &pDevice);
    const int32_t nOpen = pDevice ? pDevice->Open(0) : -1;
    OrEyeTest::SetFactory(OrEyeTest::Factory());
    if (nOpen != 0) {
        if (pDevice) pDevice->Release();
        state.SkipWithError("the device did not open");
        return;
    }
    CDecodeCallback callback;
    OrEyeTest::Counters c0{}, c1{};
    if (eSource == ESource::Virtual) c0 = OrEyeTest::VirtualCamera(0)->GetCounters();
    double dCpu = 0, dWall = 0;
    int32_t nStart = 0, nStop = 0;
    for (auto _ : state) {
        g_stats.Reset();
        const double dCpu0 = ProcessCpuSeconds();
        const auto t0 = Clock::now();
        g_bGateOpen.store(true);
        nStart = pDevice->StartCapture(0, &callback, nullptr);
        const auto tEnd = t0 + std::chrono::duration<double>(dSeconds);
        while (nStart == 0 && Clock::now() < tEnd && g_stats.nDelivered.load() < nMaxFrames)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        CloseGate();
        nStop = nStart == 0 ? pDevice->StopCapture() : 0;
        dWall = std::chrono::duration<double>(Clock::now() - t0).count();
        dCpu = ProcessCpuSeconds() - dCpu0;
        state.SetIterationTime(dWall);
    }
    uint64_t nCameraDropped = 0, nBuffersNotBack = 0, nBadReleases = 0;
    if (eSource == ESource::Virtual) {
        c1 = OrEyeTest::VirtualCamera(0)->GetCounters();
        nCameraDropped = c1.nFramesDropped - c0.nFramesDropped;
        nBuffersNotBack = (c1.nBuffersOut - c0.nBuffersOut) - (c1.nBuffersReturned - c0.nBuffersReturned);
        nBadReleases = c1.nBadReleases - c0.nBadReleases;
    } else if (g_pCamera) {
        nCameraDropped = g_pCamera->m_nReplayDropped;
        nBuffersNotBack = g_pCamera->m_nReplayOut - g_pCamera->m_nReplayBack;
        nBadReleases = g_pCamera->m_nReplayBad;
    }
    pDevice->Close();
    pDevice->Release();
    g_pCamera = nullptr;
    if (nStart != 0 || nStop != 0) {
        state.SkipWithError("capture did not start or stop");
        return;
    }

    const double nIn = static_cast<double>(g_stats.nFramesIn.load());
    const double nDelivered = static_cast<double>(g_stats.nDelivered.load());
    if (nDelivered == 0) {
        state.SkipWithError("no frame delivered");
        return;
    }
    const double dPipelineUs = (g_stats.nFrameFnNs.load() - g_stats.nDecodeNs.load()) / 1000.0 / nIn;
    const double dDecodeUs = g_stats.nDecodeNs.load() / 1000.0 / nDelivered;
    state.SetItemsProcessed(static_cast<int64_t>(nDelivered));
    state.counters["fps"] = nDelivered / dWall;
    state.counters["frames"] = nDelivered;
    state.counters["points_per_frame"] = g_stats.nLastPoints.load();
    state.counters["pipeline_us_per_frame"] = dPipelineUs;
    state.counters["decode_us_per_frame"] = dDecodeUs;
    state.counters["cpu_us_per_frame"] = dCpu * 1e6 / nDelivered;
    state.counters["core_pct_at_1100fps"] = (dPipelineUs + dDecodeUs) * c_nFastestTableRate / 1e4;
    // From CPU time: for the replay source nearly all of it is pipeline and decoding.
    state.counters["core_pct_at_1100fps_cpu"] = dCpu * 1e6 / nDelivered * c_nFastestTableRate / 1e4;
    state.counters["fps_per_core"] = nDelivered / dCpu;
    state.counters["lost_by_pipeline"] = nIn - nDelivered;
    state.counters["frames_without_points"] = static_cast<double>(g_stats.nShortFrames.load());
    state.counters["camera_dropped"] = static_cast<double>(nCameraDropped);
    state.counters["index_gaps"] = static_cast<double>(g_stats.nIndexGaps.load());
    state.counters["buffers_not_back"] = static_cast<double>(nBuffersNotBack);
    state.counters["bad_releases"] = static_cast<double>(nBadReleases);
}

}  // namespace

int main(int argc, char** argv) {
    // One laser camera without a swing motor, its 200 frames per second cap lifted. An
    // application's own configuration, if set, is kept.
    setenv("KXEYE_VIRTUAL_CAMERAS", R"([{"version": 8, "swing_motor": false, "unlimited_rate": true}])", 0);
    OrEyeTest::ReloadVirtualCameras();
    benchmark::RegisterBenchmark("capture/virtual", BM_Capture, ESource::Virtual, 2.0, 1000000)
        ->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("capture/replay", BM_Capture, ESource::Replay, 2.0, 100000)
        ->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
