// Pull road and single shots: GetLaserResult while capturing, Detect and GetImage with their
// trigger, dynamic-ROI and registration dance, the offline answer, and the operations on a
// device that is not open.
#include <gtest/gtest.h>

#include <string>

#include "capture_harness.h"
#include "kxkernel_testsupport.h"

using namespace CaptureTest;
using FakeCam::FrameTrailer;

namespace {

class PullRoad : public ::testing::Test {
protected:
    void SetUp() override {
        cfg.bDynamicROI = true;  // version 8: dynamic ROI on, trigger mode 0
        h.reset(new Harness(cfg));
        ASSERT_EQ(0, h->Open());
        h->dev->SetEventHandler(&events);
    }
    void TearDown() override { h.reset(); }

    std::vector<uint16_t> RegisterValues(int nTarget) {
        std::vector<uint16_t> v;
        for (auto& r : h->cam->vecRegisters)
            if (r.first == nTarget) v.push_back(r.second);
        return v;
    }
    std::vector<uint16_t> ParamValues(int nId) {
        std::vector<uint16_t> v;
        for (auto& p : h->cam->vecParams)
            if (p.first == nId) v.push_back(p.second);
        return v;
    }

    FakeCam::Config cfg;
    std::unique_ptr<Harness> h;
    Events events;
};

}  // namespace

TEST_F(PullRoad, GetLaserResultKeepsContinuityWithoutTheJumpCheck) {
    IKxLaserEyeResultBlock* pBlock = nullptr;
    EXPECT_EQ(KX_E_NOT_CAPTURING, h->dev->GetLaserResult(&pBlock, 100));
    EXPECT_EQ(nullptr, pBlock);

    Recorder rec;
    ASSERT_EQ(0, h->dev->StartCapture(0, &rec, nullptr));
    KxLogCapture log;
    const uint32_t ts[] = {1000, 1100, 1200, 1450};
    const uint64_t expectedUs[] = {0, 1000, 2000, 4500};
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        h->cam->grabFrame.nTimestamp = ts[i];
        h->cam->grabFrame.nCounter = 4094 + i;  // wraps after the second frame
        h->cam->grabFrame.nEncoderTimer = 400;  // ignored by the pull road
        ASSERT_EQ(0, h->dev->GetLaserResult(&pBlock, 100));
        ASSERT_NE(nullptr, pBlock);
        EXPECT_EQ(ts[i], pBlock->GetRawTimeStamp());
        EXPECT_EQ(expectedUs[i], pBlock->GetTimeStamp());
        EXPECT_EQ(static_cast<uint64_t>(i), pBlock->GetFrameIndex());
        EXPECT_EQ(0u, pBlock->GetEncoderCount());
        pBlock->Release();
    }
    EXPECT_TRUE(log.Lines(c_nKxLogWarning).empty());
    EXPECT_EQ(0, h->dev->StopCapture());
}

TEST_F(PullRoad, DetectForcesTriggerAndDynamicROIThenRestoresThem) {
    const size_t nCallbackCallsAtOpen = h->cam->vecCallbackCalls.size();
    h->cam->grabFrame.nTimestamp = 777;
    h->cam->grabFrame.nLeftX = 32;
    h->cam->grabFrame.nRightX = 64;
    IKxLaserEyeResultBlock* pBlock = nullptr;
    ASSERT_EQ(0, h->dev->Detect(&pBlock));
    ASSERT_NE(nullptr, pBlock);
    EXPECT_EQ(777u, pBlock->GetRawTimeStamp());
    EXPECT_EQ(0u, pBlock->GetTimeStamp());
    EXPECT_EQ(0u, pBlock->GetFrameIndex());
    // Image mode was switched on for the shot and stays on; the images came with the frame.
    EXPECT_TRUE(h->dev->IsDebugModeOn());
    IKxSurface* pL = nullptr;
    IKxSurface* pR = nullptr;
    ASSERT_TRUE(pBlock->GetSurfaces(&pL, &pR));
    SKxNLImageData d{};
    pL->GetImageData(&d);
    // The surfaces' origins follow the ROI edges the frame reported.
    EXPECT_EQ(32, d.nX);
    pR->GetImageData(&d);
    EXPECT_EQ(64, d.nX);
    pL->Release();
    pR->Release();
    pBlock->Release();

    // Trigger mode 1 for the shot, then the saved mode 0 again.
    EXPECT_EQ((std::vector<uint16_t>{1, 0}), RegisterValues(13));
    int32_t nMode = -1;
    ASSERT_EQ(0, h->dev->GetTriggerMode(&nMode));
    EXPECT_EQ(0, nMode);
    // Dynamic ROI off for the shot, on again after it.
    EXPECT_EQ((std::vector<uint16_t>{0, 2}), ParamValues(51));
    EXPECT_TRUE(h->dev->IsDynamicROIEnabled(nullptr));
    // The frame-event function was unregistered for the shot and registered again.
    std::vector<std::pair<int, bool>> calls(h->cam->vecCallbackCalls.begin() + nCallbackCallsAtOpen,
                                            h->cam->vecCallbackCalls.end());
    EXPECT_EQ((std::vector<std::pair<int, bool>>{{0, false}, {1, true}}), calls);
    // The device captures normally afterwards.
    Recorder rec;
    ASSERT_EQ(0, h->dev->StartCapture(0, &rec, nullptr));
    FrameTrailer f;
    f.nLeftX = 32;
    f.nRightX = 64;
    h->cam->Push(f, h->ImageBytes());
    EXPECT_EQ(1u, rec.Count());
    h->dev->StopCapture();
}

TEST_F(PullRoad, DetectWithoutDetectDebugLeavesImagesOff) {
    h->dev->EnableDetectDebug(false);
    IKxLaserEyeResultBlock* pBlock = nullptr;
    ASSERT_EQ(0, h->dev->Detect(&pBlock));
    EXPECT_FALSE(h->dev->IsDebugModeOn());
    IKxSurface* pL = nullptr;
    IKxSurface* pR = nullptr;
    EXPECT_FALSE(pBlock->GetSurfaces(&pL, &pR));
    pBlock->Release();
}

TEST_F(PullRoad, GetImageHandsOutBothImagesOfTheFrame) {
    h->cam->nImageFill = 0x21;
    IKxSurface* pL = nullptr;
    IKxSurface* pR = nullptr;
    ASSERT_EQ(0, h->dev->GetImage(&pL, &pR, 500));
    ASSERT_NE(nullptr, pL);
    ASSERT_NE(nullptr, pR);
    SKxNLImageData dl{}, dr{};
    pL->GetImageData(&dl);
    pR->GetImageData(&dr);
    EXPECT_EQ(640, dl.nWidth);
    EXPECT_EQ(480, dl.nHeight);
    ASSERT_NE(nullptr, dl.pData);
    ASSERT_NE(nullptr, dr.pData);
    EXPECT_EQ(0x21, dl.pData[0]);
    EXPECT_EQ(0x21, dl.pData[640 * 480 - 1]);
    EXPECT_EQ(static_cast<uint8_t>(~0x21), dr.pData[0]);
    EXPECT_EQ(static_cast<uint8_t>(~0x21), dr.pData[640 * 480 - 1]);
    // The caller holds the only references: the block is gone.
    EXPECT_EQ(0, pL->Release());
    EXPECT_EQ(0, pR->Release());
    EXPECT_TRUE(h->dev->IsDebugModeOn());
}

TEST_F(PullRoad, SingleShotsAreRefusedWhileCapturing) {
    Recorder rec;
    ASSERT_EQ(0, h->dev->StartCapture(0, &rec, nullptr));
    KxLogCapture log;
    IKxLaserEyeResultBlock* pBlock = nullptr;
    EXPECT_EQ(KX_E_BUSY, h->dev->Detect(&pBlock));
    EXPECT_TRUE(log.HasLine(c_nKxLogError, "CKxLaserEyeDevice::Detect Capturing"));
    IKxSurface* pL = nullptr;
    IKxSurface* pR = nullptr;
    EXPECT_EQ(KX_E_BUSY, h->dev->GetImage(&pL, &pR, 100));
    EXPECT_TRUE(log.HasLine(c_nKxLogError, "CKxLaserEyeDevice::GetImage Capturing"));
    EXPECT_FALSE(h->dev->CheckOnline());
    EXPECT_TRUE(log.HasLine(c_nKxLogError, "CKxLaserEyeDevice::CheckOnline Capturing"));
    h->dev->StopCapture();
    EXPECT_TRUE(h->dev->CheckOnline());
}

TEST_F(PullRoad, OfflineAnswerMakesTheDeviceOfflineForGood) {
    KxLogCapture log;
    h->cam->vecGrabResults = {KX_E_CAMERA_OFFLINE};
    IKxLaserEyeResultBlock* pBlock = nullptr;
    EXPECT_EQ(KX_E_CAMERA_OFFLINE, h->dev->Detect(&pBlock));
    EXPECT_EQ(nullptr, pBlock);
    EXPECT_EQ(std::vector<int32_t>{4}, events.Codes());
    EXPECT_TRUE(log.HasLine(c_nKxLogError, "Device Is Offline"));
    // Offline from now on, even though the camera answers again.
    Recorder rec;
    EXPECT_EQ(KX_E_OFFLINE, h->dev->StartCapture(0, &rec, nullptr));
    EXPECT_EQ(KX_E_OFFLINE, h->dev->Detect(&pBlock));
    EXPECT_EQ(KX_E_OFFLINE, h->dev->SetExpose(0, 100));
}

TEST_F(PullRoad, OfflineWhilePullingAnswersOfflineAfterwards) {
    Recorder rec;
    ASSERT_EQ(0, h->dev->StartCapture(0, &rec, nullptr));
    h->cam->vecGrabResults = {KX_E_CAMERA_OFFLINE};
    IKxLaserEyeResultBlock* pBlock = nullptr;
    EXPECT_EQ(KX_E_CAMERA_OFFLINE, h->dev->GetLaserResult(&pBlock, 100));
    EXPECT_EQ(KX_E_OFFLINE, h->dev->GetLaserResult(&pBlock, 100));
    EXPECT_EQ(std::vector<int32_t>{4}, events.Codes());
}

TEST_F(PullRoad, TransientAnswersAreRetried) {
    h->cam->vecGrabResults = {KX_E_CAMERA_RETRY, KX_E_CAMERA_RETRY};
    KxLogCapture log;
    IKxLaserEyeResultBlock* pBlock = nullptr;
    ASSERT_EQ(0, h->dev->Detect(&pBlock));
    pBlock->Release();
    char sz[64];
    std::snprintf(sz, sizeof(sz), "Device %p: Failed Times %d", static_cast<void*>(h->impl), 2);
    EXPECT_TRUE(log.HasLine(c_nKxLogWarning, sz));
}

TEST_F(PullRoad, ImageModeOperations) {
    EXPECT_FALSE(h->dev->GetDebugMode());
    ASSERT_EQ(0, h->dev->SetDebugMode(true));
    EXPECT_TRUE(h->dev->GetDebugMode());
    EXPECT_FALSE(h->dev->IsDebugModeOn());  // requested, not yet applied
    ASSERT_EQ(0, h->dev->ApplyDebugMode());
    EXPECT_TRUE(h->dev->IsDebugModeOn());
    // Restore at stop: switch now to mode 0, and again at the end of a capture.
    ASSERT_EQ(0, h->dev->ConfigDebugCapture(true, 0));
    EXPECT_FALSE(h->dev->IsDebugModeOn());
    Recorder rec;
    ASSERT_EQ(0, h->dev->StartCapture(0, &rec, nullptr));  // applies the request: images on
    EXPECT_TRUE(h->dev->IsDebugModeOn());
    // The frame layout must not change under a running stream.
    EXPECT_EQ(KX_E_BUSY, h->dev->ApplyDebugMode());
    ASSERT_EQ(0, h->dev->StopCapture());
    EXPECT_FALSE(h->dev->IsDebugModeOn());
    // A flag without a switch only stores.
    EXPECT_EQ(0, h->dev->ConfigDebugCapture(false, 1));
    EXPECT_FALSE(h->dev->IsDebugModeOn());
}

TEST(CaptureNotOpen, OperationsAnswerWithoutACamera) {
    Harness h;
    SKxNLEyeDeviceInfoEx info;
    std::memset(&info, 0, sizeof(info));
    info.sVideoRes.nVersion = 8;
    IKxLaserEyeDevice* dev = nullptr;
    ASSERT_TRUE(KxCreateLaserEyeDevice(&info, h.pSurfacePool, h.pMemPool, &dev));
    Recorder rec;
    IKxLaserEyeResultBlock* pBlock = nullptr;
    IKxSurface* pL = nullptr;
    IKxSurface* pR = nullptr;
    EXPECT_EQ(KX_E_NOT_OPEN, dev->StartCapture(0, &rec, nullptr));
    EXPECT_FALSE(dev->IsCapturing());
    EXPECT_EQ(KX_E_NOT_OPEN, dev->StopCapture());
    EXPECT_EQ(KX_E_NOT_OPEN, static_cast<CKxLaserEyeDevice*>(dev)->StopDevice());
    EXPECT_EQ(KX_E_NOT_CAPTURING, dev->GetLaserResult(&pBlock, 10));
    EXPECT_EQ(KX_E_NOT_OPEN, dev->Detect(&pBlock));
    EXPECT_EQ(KX_E_NOT_OPEN, dev->GetImage(&pL, &pR, 10));
    EXPECT_EQ(KX_E_NOT_OPEN, dev->ApplyDebugMode());
    EXPECT_EQ(KX_E_NOT_OPEN, dev->ConfigDebugCapture(true, 1));
    EXPECT_EQ(KX_E_NOT_OPEN, dev->SetDebugMode(true));
    EXPECT_FALSE(dev->CheckOnline());
    EXPECT_EQ(KX_E_NULL_ARGUMENT, dev->Detect(nullptr));
    EXPECT_EQ(KX_E_NULL_ARGUMENT, dev->GetLaserResult(nullptr, 10));
    dev->Release();
}

TEST_F(PullRoad, StopDeviceStopsTheStreamAndTheCapture) {
    Recorder rec;
    ASSERT_EQ(0, h->dev->StartCapture(0, &rec, nullptr));
    KxLogCapture log;
    EXPECT_EQ(0, h->impl->StopDevice());
    EXPECT_TRUE(log.HasLine(c_nKxLogState, "StopCapture"));
    EXPECT_FALSE(h->dev->IsCapturing());
    EXPECT_EQ((std::vector<int>{1, 0, 0}), h->cam->vecStreamCalls);
}
