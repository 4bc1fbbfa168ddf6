// Shared pieces of the capture tests: a device opened on the scripted camera, a data callback
// and an event handler that record what reaches the application.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fakecamera.h"
#include "kxkernel.h"
#include "kxlasereyedevice.h"  // the device class (src/)
#include "oreyeapi_testsupport.h"

namespace CaptureTest {

// What the application saw of one delivered block.
struct Seen {
    uint32_t nRawTimestamp;
    uint32_t nRawCounter;
    uint64_t nTimeUs;
    uint64_t nIndex;
    uint32_t nEncoder;
    bool bAngleValid;
    float fAngle;
    bool bSurfaces;
};

class Recorder : public IKxLaserDataCallBack {
public:
    // Keep a reference on every block (the application holding its frames).
    std::atomic<bool> bHold{false};
    std::function<void(IKxLaserEyeResultBlock*)> onBlock;

    void OnLaserResult(IKxLaserEyeResultBlock* pBlock) override {
        Seen s{};
        s.nRawTimestamp = pBlock->GetRawTimeStamp();
        s.nRawCounter = pBlock->GetRawFrameCounter();
        s.nTimeUs = pBlock->GetTimeStamp();
        s.nIndex = pBlock->GetFrameIndex();
        s.nEncoder = pBlock->GetEncoderCount();
        s.fAngle = pBlock->GetAngle(&s.bAngleValid);
        IKxSurface* pL = nullptr;
        IKxSurface* pR = nullptr;
        s.bSurfaces = pBlock->GetSurfaces(&pL, &pR);
        if (pL) pL->Release();
        if (pR) pR->Release();
        if (onBlock) onBlock(pBlock);
        std::lock_guard<std::mutex> lock(m);
        seen.push_back(s);
        if (bHold) {
            pBlock->AddRef();
            held.push_back(pBlock);
        }
    }
    std::vector<Seen> Frames() {
        std::lock_guard<std::mutex> lock(m);
        return seen;
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(m);
        return seen.size();
    }
    void ReleaseHeld() {
        std::vector<IKxLaserEyeResultBlock*> v;
        {
            std::lock_guard<std::mutex> lock(m);
            v.swap(held);
        }
        for (auto* p : v) p->Release();
    }
    ~Recorder() override { ReleaseHeld(); }

private:
    std::mutex m;
    std::vector<Seen> seen;
    std::vector<IKxLaserEyeResultBlock*> held;
};

class Events : public IKxDeviceEventHandler {
public:
    void OnDeviceEvent(IKxDevice*, int32_t nEvent) override {
        std::lock_guard<std::mutex> lock(m);
        codes.push_back(nEvent);
    }
    std::vector<int32_t> Codes() {
        std::lock_guard<std::mutex> lock(m);
        return codes;
    }

private:
    std::mutex m;
    std::vector<int32_t> codes;
};

// The record of a camera of the local access path: listing flags, resolution, version, no ID.
inline SKxNLEyeDeviceInfoEx LocalRecord(const char* pszConnect, int nWidth, int nHeight, uint32_t nVersion) {
    SKxNLEyeDeviceInfoEx info;
    std::memset(&info, 0, sizeof(info));
    info.eDeviceType = KX_DEVICE_TYPE_LASER_EYE;
    info.nDeviceFlags = c_nKxFlagLocal | c_nKxFlagLaser | c_nKxFlagLaser2;
    info.sVideoRes.nFrameWidth = nWidth;
    info.sVideoRes.nFrameHeight = nHeight;
    info.sVideoRes.nVersion = nVersion;
    std::memset(info.byDeviceID, 0xFF, sizeof(info.byDeviceID));
    std::snprintf(info.szConnectText, sizeof(info.szConnectText), "%s", pszConnect);
    return info;
}

// A device opened on a scripted camera.
class Harness {
public:
    explicit Harness(const FakeCam::Config& cfg = FakeCam::Config()) : m_cfg(cfg) {
        KxKernel::KxCreateMemPool(&pMemPool);
        KxKernel::KxCreateSurfacePool(&pSurfacePool);
    }
    ~Harness() {
        Release();
        OrEyeTest::SetFactory(OrEyeTest::Factory());
        if (pMemPool) pMemPool->Release();
        if (pSurfacePool) pSurfacePool->Release();
    }

    // Creates and opens the device; answers Open's code.
    int32_t Open() {
        OrEyeTest::SetFactory([this](OREYEAPI_TYPE) -> IOrEyeCamera* {
            cam = make ? make(m_cfg) : new FakeCam::Camera(m_cfg);
            return cam;
        });
        const SKxNLEyeDeviceInfoEx info = LocalRecord("fake:0", m_cfg.nWidth, m_cfg.nHeight, m_cfg.nVersion);
        if (!KxCreateLaserEyeDevice(&info, pSurfacePool, pMemPool, &dev)) return -1;
        impl = static_cast<CKxLaserEyeDevice*>(dev);
        return dev->Open(0);
    }
    void Release() {
        if (dev) dev->Release();
        dev = nullptr;
        impl = nullptr;
        cam = nullptr;
    }

    // Left ROI image bytes (one image).
    uint32_t ImageBytes() const {
        return static_cast<uint32_t>(m_cfg.nRoiWidth) * static_cast<uint32_t>(m_cfg.nRoiHeight);
    }

    // Makes the camera at Open instead of a plain scripted camera (a derived one), when set.
    std::function<FakeCam::Camera*(const FakeCam::Config&)> make;
    IKxMemPool* pMemPool = nullptr;
    IKxSurfacePool* pSurfacePool = nullptr;
    IKxLaserEyeDevice* dev = nullptr;
    CKxLaserEyeDevice* impl = nullptr;
    FakeCam::Camera* cam = nullptr;  // owned by the device from Open to Close

private:
    FakeCam::Config m_cfg;
};

// A device on a virtual camera of the local access path, with its pools: the cameras listed from
// a configuration text, one of them opened as a given version, its detect ROI around the optical
// axis (where the line is) at 200 frames/s. Close checks that every buffer the camera lent came
// back; Unlist (at the end of a suite) empties the listing again.
class VirtualRig {
public:
    void Open(const std::string& strConfig, int nCameras, int nIndex, uint32_t nVersion) {
        OrEyeTest::SetFactory(OrEyeTest::Factory());
        setenv("KXEYE_VIRTUAL_CAMERAS", strConfig.c_str(), 1);
        ASSERT_EQ(nCameras, OrEyeTest::ReloadVirtualCameras());
        KxKernel::KxCreateMemPool(&pMem);
        KxKernel::KxCreateSurfacePool(&pSurfaces);
        ctl = OrEyeTest::VirtualCamera(nIndex);
        ASSERT_NE(nullptr, ctl);
        const SKxNLEyeDeviceInfoEx info =
            LocalRecord(("virtual:" + std::to_string(nIndex)).c_str(), 1536, 2048, nVersion);
        ASSERT_TRUE(KxCreateLaserEyeDevice(&info, pSurfaces, pMem, &dev));
        ASSERT_EQ(0, dev->Open(0));
        const SKxNLROIRect roi{512, 1024, 512, 1536};
        ASSERT_EQ(0, dev->SetDetectROI(&roi, &roi));
        ASSERT_EQ(0, dev->SetFrameRate(200));
    }
    // Call after the application let go of the blocks it kept.
    void Close() {
        if (dev) dev->Release();
        dev = nullptr;
        if (ctl) {
            const OrEyeTest::Counters c = ctl->GetCounters();
            EXPECT_EQ(c.nBuffersOut, c.nBuffersReturned);
            EXPECT_EQ(0u, c.nBuffersHeld);
            EXPECT_EQ(0u, c.nBadReleases);
            ctl->Reset();
        }
        ctl = nullptr;
        if (pMem) pMem->Release();
        if (pSurfaces) pSurfaces->Release();
        pMem = nullptr;
        pSurfaces = nullptr;
    }
    static void Unlist() {
        unsetenv("KXEYE_VIRTUAL_CAMERAS");
        OrEyeTest::ReloadVirtualCameras();
    }

    IKxMemPool* pMem = nullptr;
    IKxSurfacePool* pSurfaces = nullptr;
    OrEyeTest::IVirtualCameraControl* ctl = nullptr;
    IKxLaserEyeDevice* dev = nullptr;
};

// Polls cond for up to nMs milliseconds.
inline bool WaitFor(const std::function<bool()>& cond, int nMs = 5000) {
    const auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMs);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > tEnd) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Process-wide setting switched for one test.
class ScopedCentreROI {
public:
    explicit ScopedCentreROI(bool bOn) : m_old(*KxGlobalSetting::GetSetting()) {
        SKxGlobalSetting s = m_old;
        s.byCenterROI = bOn ? 1 : 0;
        KxGlobalSetting::SetSetting(s);
    }
    ~ScopedCentreROI() { KxGlobalSetting::SetSetting(m_old); }

private:
    SKxGlobalSetting m_old;
};

}  // namespace CaptureTest
