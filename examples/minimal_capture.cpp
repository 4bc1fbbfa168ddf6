// The smallest program that captures: search, create, open, capture, decode, stop, release.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "kxkernel.h"
#include "kxlasereyedevice.h"

// Called on the camera library's thread once per frame; the block is valid during the call.
class CPrintPoints : public IKxLaserDataCallBack {
public:
    std::atomic<int> nFrames{0};
    void OnLaserResult(IKxLaserEyeResultBlock* pBlock) override {
        int32_t nCount = 0;
        const auto* pPoints =
            static_cast<const SKxLaserPoint3F*>(pBlock->GetPointData(c_nKxFormatFloat, &nCount));
        if (nFrames++ < 3 && pPoints && nCount > 0)
            std::printf("frame %llu: %d points, first at (%.3f, %.3f, %.3f)\n",
                        (unsigned long long)pBlock->GetFrameIndex(), nCount, pPoints[0].fX,
                        pPoints[0].fY, pPoints[0].fZ);
    }
};

int main() {
    IKxEyeDeviceEnumrator* pEnum = nullptr;
    if (!KxCreateLaserEyeDeviceEnumrator(&pEnum)) return 1;
    pEnum->SearchDevice(c_nKxSearchLocal);  // the embedded virtual camera
    std::vector<SKxNLEyeDeviceInfoEx> vecInfos;
    pEnum->GetDeviceInfoList(vecInfos);
    pEnum->Release();
    if (vecInfos.empty()) {
        std::printf("no camera found\n");
        return 1;
    }

    IKxMemPool* pMemPool = nullptr;
    IKxSurfacePool* pSurfacePool = nullptr;
    KxKernel::KxCreateMemPool(&pMemPool);
    KxKernel::KxCreateSurfacePool(&pSurfacePool);
    IKxLaserEyeDevice* pDevice = nullptr;
    KxCreateLaserEyeDevice(&vecInfos[0], pSurfacePool, pMemPool, &pDevice);

    CPrintPoints callback;  // outlives the device, which calls it
    int32_t nResult = pDevice->Open(0);
    if (nResult == 0) nResult = pDevice->StartCapture(0, &callback, nullptr);
    if (nResult == 0) {
        for (int i = 0; i < 500 && callback.nFrames < 20; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        nResult = pDevice->StopCapture();
    }
    std::printf("frames: %d, result: %d\n", callback.nFrames.load(), nResult);

    pDevice->Close();
    pDevice->Release();
    pSurfacePool->Release();
    pMemPool->Release();
    return nResult == 0 && callback.nFrames > 0 ? 0 : 1;
}
