// The C++ side of the Python capture benchmark (bench_python_capture.py): the same capture as
// the Python module's stream, written as an application writes it. Opens the first local camera,
// sets the ROI, captures for the given seconds, reads format 1 points and image positions of
// every block on the application's thread, and prints one JSON line: frames, wall and process
// CPU seconds, frames the camera dropped (frame index gaps), points of the last frame.
//   bench_capture_loop SECONDS LEFT RIGHT TOP BOTTOM
#include <time.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <vector>

#include "kxkernel.h"
#include "kxlasereyedevice.h"

namespace {

double CpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

// Queues the blocks, as the Python stream does, for the application's thread.
class CQueue : public IKxLaserDataCallBack {
public:
    void OnLaserResult(IKxLaserEyeResultBlock* pBlock) override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_queue.size() >= 8) return;
            pBlock->AddRef();
            m_queue.push_back(pBlock);
        }
        m_cv.notify_one();
    }
    IKxLaserEyeResultBlock* Pop(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait_for(lock, timeout, [&] { return !m_queue.empty(); });
        if (m_queue.empty()) return nullptr;
        IKxLaserEyeResultBlock* p = m_queue.front();
        m_queue.pop_front();
        return p;
    }
    void Drain() {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (IKxLaserEyeResultBlock* p : m_queue) p->Release();
        m_queue.clear();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<IKxLaserEyeResultBlock*> m_queue;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: bench_capture_loop SECONDS LEFT RIGHT TOP BOTTOM\n");
        return 2;
    }
    const double dSeconds = std::atof(argv[1]);
    SKxNLROIRect roi{std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[5])};

    IKxEyeDeviceEnumrator* pEnum = nullptr;
    if (!KxCreateLaserEyeDeviceEnumrator(&pEnum)) return 1;
    pEnum->SearchDevice(c_nKxSearchLocal);
    std::vector<SKxNLEyeDeviceInfoEx> vecInfos;
    pEnum->GetDeviceInfoList(vecInfos);
    pEnum->Release();
    if (vecInfos.empty()) return 1;
    IKxMemPool* pMemPool = nullptr;
    IKxSurfacePool* pSurfacePool = nullptr;
    KxKernel::KxCreateMemPool(&pMemPool);
    KxKernel::KxCreateSurfacePool(&pSurfacePool);
    IKxLaserEyeDevice* pDevice = nullptr;
    KxCreateLaserEyeDevice(&vecInfos[0], pSurfacePool, pMemPool, &pDevice);
    CQueue queue;
    int32_t nResult = pDevice->Open(0);
    if (nResult == 0) nResult = pDevice->SetDetectROI(&roi, &roi);
    if (nResult == 0) nResult = pDevice->StartCapture(0, &queue, nullptr);
    if (nResult != 0) {
        std::fprintf(stderr, "bench_capture_loop: %d\n", nResult);
        return 1;
    }
    // The first frame starts the clock, as in the Python run.
    IKxLaserEyeResultBlock* pFirst = queue.Pop(std::chrono::milliseconds(3000));
    if (pFirst == nullptr) return 1;
    uint64_t nFirstIndex = pFirst->GetFrameIndex(), nLastIndex = nFirstIndex;
    pFirst->Release();
    uint64_t nFrames = 0;
    int32_t nPoints = 0;
    double dChecksum = 0;
    const auto t0 = std::chrono::steady_clock::now();
    const double c0 = CpuSeconds();
    double dWall = 0;
    while ((dWall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count()) < dSeconds) {
        IKxLaserEyeResultBlock* pBlock = queue.Pop(std::chrono::milliseconds(1000));
        if (pBlock == nullptr) break;
        const auto* pPoints = static_cast<const SKxLaserPoint3F*>(pBlock->GetPointData(c_nKxFormatFloat, &nPoints));
        const auto* pPixels = static_cast<const SKxLaserPixel*>(pBlock->GetPixelData(c_nKxFormatFloat, &nPoints));
        if (pPoints && pPixels && nPoints > 0) dChecksum += pPoints[0].fZ + pPixels[0].nLeftRow;
        nLastIndex = pBlock->GetFrameIndex();
        pBlock->Release();
        ++nFrames;
    }
    const double dCpu = CpuSeconds() - c0;
    pDevice->StopCapture();
    queue.Drain();
    pDevice->Close();
    pDevice->Release();
    pSurfacePool->Release();
    pMemPool->Release();
    std::printf("{\"frames\": %llu, \"wall\": %.6f, \"cpu\": %.6f, \"camera_dropped\": %lld, \"points\": %d, \"checksum\": %.1f}\n",
                (unsigned long long)nFrames, dWall, dCpu, (long long)(nLastIndex - nFirstIndex) - (long long)nFrames,
                nPoints, dChecksum);
    return 0;
}
