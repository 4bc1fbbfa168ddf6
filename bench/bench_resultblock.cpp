// The result block's life per frame, as the capture pipeline and an application live it:
// wrap the camera buffer in a memory block, create the result block over it, decode one format,
// release, and see the buffer back at the camera. The global allocation functions are replaced
// to count heap allocations per frame, by phase. Output arrays come from the kernel's memory
// pool; a frame whose arrays are not the block the pool handed out before counts as a new one.
#include <benchmark/benchmark.h>

#include <cstring>
#include <set>
#include <vector>

#include "bench_alloc_count.h"
#include "bench_frame.h"
#include "kxkernel.h"
#include "kxlasereyeinnerutils.h"
#include "kxlasereyeresultblock.h"
#include "oreyeapi.h"

namespace {

const uint32_t c_nVersion = 8;
const int c_nFormat = 1;

// A camera that only takes its frame buffers back, and counts them.
class CBufferCamera : public IOrEyeCamera {
public:
    uint64_t m_nReleased = 0;
    int ReleaseFrameBuffer(unsigned int) override {
        ++m_nReleased;
        return c_nOrEyeOK;
    }
    int GetVersionText(char*, int) override { return c_nOrEyeNotSupported; }
    int ListDevices(unsigned char*) override { return c_nOrEyeNotSupported; }
    int InitDevice(int, int, int, int, const char*) override { return c_nOrEyeNotSupported; }
    int SetFrameCallback(int, OrEyeFrameCallback, void*) override { return c_nOrEyeNotSupported; }
    int EnableStream(int) override { return c_nOrEyeNotSupported; }
    int WaitStreamFrame(unsigned char**, unsigned int*, unsigned int*, unsigned int) override {
        return c_nOrEyeNotSupported;
    }
    int GrabFrame(unsigned char**, unsigned int*, unsigned int*, unsigned int) override {
        return c_nOrEyeNotSupported;
    }
    int SetParam(int, const void*, int) override { return c_nOrEyeNotSupported; }
    int GetParam(int, void*, int) override { return c_nOrEyeNotSupported; }
    int WriteRegister(int, unsigned int, const void*, int) override { return c_nOrEyeNotSupported; }
    int GetQMatrix(double*) override { return c_nOrEyeNotSupported; }
    int WriteProduct(int, const void*, int) override { return c_nOrEyeNotSupported; }
    int ReadProduct(int, void*, int) override { return c_nOrEyeNotSupported; }
    int SetROI(int, int, int, int, int, int) override { return c_nOrEyeNotSupported; }
    int SetROIMode(int) override { return c_nOrEyeNotSupported; }
    int EnableDevice(int) override { return c_nOrEyeNotSupported; }
    int SetTriggerN(unsigned int, unsigned int) override { return c_nOrEyeNotSupported; }
    int SetImageTransfer(int, unsigned int, unsigned int) override { return c_nOrEyeNotSupported; }
    int WriteStorage(unsigned int, const void*, unsigned int) override { return c_nOrEyeNotSupported; }
    int ReadStorage(unsigned int, void*, unsigned int) override { return c_nOrEyeNotSupported; }
    int Search(const unsigned char*, const unsigned char*, unsigned char*) override {
        return c_nOrEyeNotSupported;
    }
    int SelectDevice(const unsigned char*) override { return c_nOrEyeNotSupported; }
    int ExecuteCustomCommand(const unsigned short*, void*) override { return c_nOrEyeNotSupported; }
    int SetLocalIP(const char*, int) override { return c_nOrEyeNotSupported; }
    int SetOptionEx(int, int, int) override { return c_nOrEyeNotSupported; }
    int SetOption(int, int) override { return c_nOrEyeNotSupported; }
    int ExtendedCommand(int, void*, int, void*, int) override { return c_nOrEyeNotSupported; }
    int SyncROI(int, int, int, int, int, int) override { return c_nOrEyeNotSupported; }
    int SetFeature(int, int, int) override { return c_nOrEyeNotSupported; }
};

struct SFixture {
    std::vector<uint8_t> frame = KxBench::MakeFrame(false, c_nVersion);
    std::vector<SKxCompensateEntry> comp;  // a device without compensation data
    CBufferCamera camera;
    IKxMemPool* pPool = nullptr;

    SFixture() { KxKernel::KxCreateMemPool(&pPool); }
    ~SFixture() {
        if (pPool) pPool->Release();
    }

    // Wrap and create, as the frame-event function does; the caller owns the block.
    CKxLaserEyeResultBlock* Create(uint64_t nFrame) {
        CKxLaserEyeMemBlock* pMem = nullptr;
        CreateLaserEyeMemBlock(&camera, frame.data(), static_cast<unsigned int>(frame.size()),
                               static_cast<int>(nFrame & 0xFF), &pMem);
        CKxLaserEyeResultBlock* pBlock = nullptr;
        CreateLaserEyeResultBlock(nullptr, nullptr, pMem, comp.empty() ? nullptr : comp.data(),
                                  static_cast<uint32_t>(comp.size()), 1000, static_cast<uint32_t>(nFrame),
                                  nFrame * 909, nFrame, 0, 0, 0, 768, c_nVersion, 0,
                                  KxBench::c_adCoordOffset, pPool, &pBlock);
        pMem->Release();  // the block holds its own reference
        return pBlock;
    }
};

// bDecode: read format 1 (points and pixels) between creation and release. nPoints: the
// frame's point count (2047; 1 leaves everything of the life but the per-point work).
void BM_Life(benchmark::State& state, bool bDecode, int nPoints) {
    SFixture fx;
    fx.frame[32768 + 15] = static_cast<uint8_t>((nPoints << 20) >> 24);  // trailer word 3, bits 20-31
    fx.frame[32768 + 14] = static_cast<uint8_t>((fx.frame[32768 + 14] & 0x0F) | ((nPoints & 0xF) << 4));
    // One frame before timing: the pool makes its output block once.
    const void* pFirst = nullptr;
    {
        CKxLaserEyeResultBlock* pBlock = fx.Create(0);
        int32_t n = 0;
        pFirst = pBlock->GetPointData(c_nFormat, &n);
        pBlock->Release();
    }
    std::set<const void*> setArrays{pFirst};
    uint64_t nNewArrays = 0, nFrame = 1;
    uint64_t nAllocCreate = 0, nAllocDecode = 0, nAllocRelease = 0;
    const uint64_t nReleasedBefore = fx.camera.m_nReleased;
    int32_t nCount = 0;
    for (auto _ : state) {
        const uint64_t a0 = KxBench::HeapAllocations();
        CKxLaserEyeResultBlock* pBlock = fx.Create(nFrame++);
        const uint64_t a1 = KxBench::HeapAllocations();
        if (bDecode) {
            const void* pPoints = pBlock->GetPointData(c_nFormat, &nCount);
            const void* pPixels = pBlock->GetPixelData(c_nFormat, &nCount);
            benchmark::DoNotOptimize(pPixels);
            if (setArrays.insert(pPoints).second) ++nNewArrays;
        }
        const uint64_t a2 = KxBench::HeapAllocations();
        pBlock->Release();
        const uint64_t a3 = KxBench::HeapAllocations();
        nAllocCreate += a1 - a0;
        nAllocDecode += a2 - a1;
        nAllocRelease += a3 - a2;
    }
    const double dFrames = static_cast<double>(state.iterations());
    if (fx.camera.m_nReleased - nReleasedBefore != static_cast<uint64_t>(state.iterations())) {
        state.SkipWithError("a frame buffer did not go back to the camera exactly once");
        return;
    }
    if (bDecode && nCount != nPoints) {
        state.SkipWithError("the frame did not decode to all its points");
        return;
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["allocs_per_frame"] = (nAllocCreate + nAllocDecode + nAllocRelease) / dFrames;
    state.counters["allocs_create"] = nAllocCreate / dFrames;
    state.counters["allocs_decode"] = nAllocDecode / dFrames;
    state.counters["allocs_release"] = nAllocRelease / dFrames;
    state.counters["new_output_arrays"] = static_cast<double>(nNewArrays);
}

// The decode alone, into arrays of the same size: subtracted from the life with decoding.
void BM_DecodeOnly(benchmark::State& state) {
    const std::vector<uint8_t> frame = KxBench::MakeFrame(false, c_nVersion);
    std::vector<double> out(KxOutputBlockSize(c_nFormat) / sizeof(double) + 1);
    uint8_t* pPoints = reinterpret_cast<uint8_t*>(out.data());
    uint8_t* pPixels = pPoints + KxBench::c_nFramePoints * KxPointRecordSize(c_nFormat);
    const SKxLaserResultAfterProcParam param;
    for (auto _ : state) {
        int n = DecodeLaserPoints(c_nFormat, frame.data(), KxBench::c_nFramePoints, nullptr, 0, param,
                                  KX_CONV_THOUSANDTHS, 0, KxBench::c_adCoordOffset,
                                  KxTrailerColumnOrigin(frame.data()), KxTrailerRowOrigin(frame.data()),
                                  KxTrailerFocalLength(frame.data()), pPoints, pPixels);
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK_CAPTURE(BM_Life, with_decode, true, KxBench::c_nFramePoints)
    ->Name("resultblock/life_with_decode/format:1")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DecodeOnly)->Name("resultblock/decode_only/format:1")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Life, one_point, true, 1)
    ->Name("resultblock/life_with_decode_one_point/format:1")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Life, without_decode, false, KxBench::c_nFramePoints)
    ->Name("resultblock/life_without_decode")->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
