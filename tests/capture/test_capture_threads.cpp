// The frame-event function on the camera's own thread against application threads: start/stop
// cycles under load, a callback that stops the capture itself, frame loss while the application
// holds every buffer, and no delivery once StopCapture has returned. Run under ThreadSanitizer
// by the tsan stage of scripts/test.sh.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "capture_harness.h"
#include "kxkernel_testsupport.h"

using namespace CaptureTest;

namespace {

const unsigned int c_nPeriodUs = 100;

class Streaming : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, h.Open());
        h.cam->StartThread(4, c_nPeriodUs);
    }
    void TearDown() override {
        rec.ReleaseHeld();
        h.Release();  // Close: stream off, camera deleted with its thread
    }
    Harness h;
    Recorder rec;
};

}  // namespace

TEST_F(Streaming, StartStopCyclesUnderLoadReturnEveryBuffer) {
    std::atomic<bool> bRun{true};
    // Another application thread: parameters, state queries and pulls while capture cycles.
    std::thread other([&] {
        int i = 0;
        while (bRun) {
            h.dev->IsCapturing();
            h.dev->EnableTriggerFilter((++i & 1) != 0);
            const int32_t nExpose = h.dev->SetExpose(0, 100 + (i & 7));
            EXPECT_TRUE(nExpose == 0 || nExpose == KX_E_BUSY) << nExpose;
            IKxLaserEyeResultBlock* pBlock = nullptr;
            if (h.dev->GetLaserResult(&pBlock, 10) == 0) pBlock->Release();
            std::this_thread::yield();
        }
    });
    // The application keeps every third block for a while and drops it on its own thread.
    std::atomic<int> nSeen{0};
    rec.onBlock = [&](IKxLaserEyeResultBlock*) { rec.bHold = (++nSeen % 3) == 0; };
    for (int cycle = 0; cycle < 25; ++cycle) {
        ASSERT_EQ(0, h.dev->StartCapture(0, &rec, nullptr));
        const size_t nBefore = rec.Count();
        WaitFor([&] { return rec.Count() >= nBefore + 3; }, 2000);
        ASSERT_EQ(0, h.dev->StopCapture());
        rec.ReleaseHeld();
    }
    bRun = false;
    other.join();
    EXPECT_GT(rec.Count(), 25u);
    EXPECT_EQ(0u, h.cam->Outstanding());
    EXPECT_EQ(0u, h.cam->BadReleases());
}

TEST_F(Streaming, NothingIsDeliveredOnceStopCaptureReturned) {
    std::atomic<bool> bStopped{false};
    std::atomic<int> nLate{0};
    rec.onBlock = [&](IKxLaserEyeResultBlock*) {
        // A slow callback widens the window between the capturing test and the delivery.
        std::this_thread::sleep_for(std::chrono::microseconds(300));
        if (bStopped) ++nLate;
    };
    for (int cycle = 0; cycle < 10; ++cycle) {
        bStopped = false;
        ASSERT_EQ(0, h.dev->StartCapture(0, &rec, nullptr));
        const size_t nBefore = rec.Count();
        WaitFor([&] { return rec.Count() >= nBefore + 2; }, 2000);
        ASSERT_EQ(0, h.dev->StopCapture());
        bStopped = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(0, nLate.load());
    EXPECT_EQ(0u, h.cam->Outstanding());
}

TEST_F(Streaming, CallbackMayStopTheCaptureItself) {
    std::atomic<int> nStopResult{1};
    rec.onBlock = [&](IKxLaserEyeResultBlock*) {
        if (h.dev->IsCapturing()) nStopResult = h.dev->StopCapture();
    };
    ASSERT_EQ(0, h.dev->StartCapture(0, &rec, nullptr));
    ASSERT_TRUE(WaitFor([&] { return nStopResult.load() != 1; }));
    EXPECT_EQ(0, nStopResult.load());
    EXPECT_FALSE(h.dev->IsCapturing());
    const size_t nCount = rec.Count();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(nCount, rec.Count());
    // And starts again normally.
    ASSERT_EQ(0, h.dev->StartCapture(0, &rec, nullptr));
    EXPECT_TRUE(WaitFor([&] { return rec.Count() > nCount; }));
    h.dev->StopCapture();
    EXPECT_EQ(0u, h.cam->Outstanding());
}

TEST_F(Streaming, HeldBuffersMakeTheCameraDropFramesAndTheIndexShowsTheGap) {
    rec.bHold = true;
    ASSERT_EQ(0, h.dev->StartCapture(0, &rec, nullptr));
    // Four buffers, all held: the camera drops instead of blocking.
    ASSERT_TRUE(WaitFor([&] { return h.cam->Dropped() >= 5; }));
    EXPECT_EQ(4u, rec.Count());
    EXPECT_EQ(4u, h.cam->Outstanding());
    rec.bHold = false;
    rec.ReleaseHeld();
    ASSERT_TRUE(WaitFor([&] { return rec.Count() >= 8; }));
    ASSERT_EQ(0, h.dev->StopCapture());
    const std::vector<Seen> seen = rec.Frames();
    bool bGap = false;
    for (size_t i = 1; i < seen.size(); ++i) {
        EXPECT_GT(seen[i].nIndex, seen[i - 1].nIndex);
        EXPECT_GT(seen[i].nTimeUs, seen[i - 1].nTimeUs);
        if (seen[i].nIndex - seen[i - 1].nIndex > 1) bGap = true;
    }
    EXPECT_TRUE(bGap);
    EXPECT_EQ(0u, h.cam->Outstanding());
    EXPECT_EQ(0u, h.cam->BadReleases());
}

TEST_F(Streaming, ReleasingACapturingDeviceStopsCleanly) {
    ASSERT_EQ(0, h.dev->StartCapture(0, &rec, nullptr));
    ASSERT_TRUE(WaitFor([&] { return rec.Count() >= 3; }));
    h.Release();
    const size_t nCount = rec.Count();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(nCount, rec.Count());
}

namespace {

// An event handler that stays inside its first call until told to go on, then writes to
// itself; its destructor reports when it ran.
class HeldHandler : public IKxDeviceEventHandler {
public:
    HeldHandler(std::atomic<bool>& bEntered, std::atomic<bool>& bGo, std::atomic<bool>& bDestroyed)
        : m_bEntered(bEntered), m_bGo(bGo), m_bDestroyed(bDestroyed) {}
    ~HeldHandler() override { m_bDestroyed = true; }
    void OnDeviceEvent(IKxDevice*, int32_t nEvent) override {
        m_bEntered = true;
        while (!m_bGo) std::this_thread::yield();
        m_nLast = nEvent;
    }

private:
    std::atomic<bool>& m_bEntered;
    std::atomic<bool>& m_bGo;
    std::atomic<bool>& m_bDestroyed;
    int32_t m_nLast = 0;
};

}  // namespace

TEST_F(Streaming, HandlerReplacedDuringItsEventLivesUntilTheCallEnds) {
    std::atomic<bool> bEntered{false}, bGo{false}, bDestroyed{false};
    auto* pHandler = new HeldHandler(bEntered, bGo, bDestroyed);
    ASSERT_EQ(0, h.dev->SetEventHandler(pHandler));
    pHandler->Release();  // the device holds the only reference now
    // Camera event 0 on the camera's thread reaches the handler as event 1.
    std::thread camera([&] { CKxLaserEyeDevice::FrameEventThunk(0, 0, nullptr, 0, 0, h.impl); });
    ASSERT_TRUE(WaitFor([&] { return bEntered.load(); }));
    EXPECT_EQ(0, h.dev->SetEventHandler(nullptr));
    EXPECT_FALSE(bDestroyed) << "the handler was deleted while its event was running";
    bGo = true;
    camera.join();
    // The call's own reference was the last one.
    EXPECT_TRUE(bDestroyed);
}

TEST_F(Streaming, CachedROIsAndEncodeModeAgainstTheFrameThread) {
    // Version 8 frames move the cached ROIs (ROI follow) on the camera's thread; this thread
    // reads, refreshes and switches what the frame thread reads at the same time.
    std::atomic<int> nSeen{0};
    rec.onBlock = [&](IKxLaserEyeResultBlock*) { ++nSeen; };
    ASSERT_EQ(0, h.dev->StartCapture(0, &rec, nullptr));
    ASSERT_TRUE(WaitFor([&] { return nSeen.load() >= 2; }));
    auto* dev = static_cast<CKxLaserEyeDevice*>(h.dev);
    const uint64_t nProduced = h.cam->Produced();
    // At least 300 rounds, and on until the frame thread has run alongside: its wait rounds up
    // to the system timer's tick on Windows.
    const auto tLimit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (int i = 0; i < 300 || (h.cam->Produced() <= nProduced + 5 && std::chrono::steady_clock::now() < tLimit);
         ++i) {
        SKxNLROIRect sLeft{}, sRight{};
        ASSERT_EQ(0, h.dev->GetDetectROI(&sLeft, &sRight));
        EXPECT_EQ(640, sLeft.right - sLeft.left);  // the follow keeps the width
        EXPECT_EQ(640, sRight.right - sRight.left);
        ASSERT_EQ(0, h.dev->SyncDetectROI());
        ASSERT_EQ(0, dev->SetEncodeMode(i % 2 == 0 ? 2 : 1));
        EXPECT_EQ(i % 2 == 0 ? 2 : 1, dev->GetEncodeMode());
        if (i % 16 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    EXPECT_GT(h.cam->Produced(), nProduced + 5) << "the frame thread hardly ran meanwhile";
    ASSERT_EQ(0, h.dev->StopCapture());
    EXPECT_EQ(0u, h.cam->BadReleases());
}

TEST_F(Streaming, ImageModeSwitchesAreRefusedWhileCapturing) {
    // The frame thread reads the cached image mode for every frame; a switch from this thread
    // while it runs must neither reach the camera nor change what the frames are read as.
    std::atomic<int> nSeen{0};
    std::atomic<int> nWithImages{0};
    rec.onBlock = [&](IKxLaserEyeResultBlock* pBlock) {
        ++nSeen;
        IKxSurface* pL = nullptr;
        IKxSurface* pR = nullptr;
        if (pBlock->GetSurfaces(&pL, &pR)) ++nWithImages;
        if (pL) pL->Release();
        if (pR) pR->Release();
    };
    ASSERT_FALSE(h.impl->IsDebugModeOn());
    ASSERT_EQ(0, h.dev->StartCapture(0, &rec, nullptr));
    ASSERT_TRUE(WaitFor([&] { return nSeen.load() >= 2; }));
    KxLogCapture log;
    const uint64_t nProduced = h.cam->Produced();
    const auto tLimit = std::chrono::steady_clock::now() + std::chrono::seconds(5);  // as above
    for (int i = 0; i < 200 || (h.cam->Produced() <= nProduced + 5 && std::chrono::steady_clock::now() < tLimit);
         ++i) {
        EXPECT_EQ(KX_E_BUSY, h.impl->SwitchDebug(i % 2 == 0 ? 1 : 0));
        EXPECT_FALSE(h.impl->IsDebugModeOn());
        if (i % 16 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    EXPECT_GT(h.cam->Produced(), nProduced + 5) << "the frame thread hardly ran meanwhile";
    EXPECT_TRUE(log.HasLine(c_nKxLogError, "CKxLaserEyeDevice::SwitchDebug Capturing"));
    ASSERT_EQ(0, h.dev->StopCapture());
    EXPECT_EQ(0, nWithImages.load());
    // Stopped, the same switch goes through.
    EXPECT_EQ(0, h.impl->SwitchDebug(1));
    EXPECT_TRUE(h.impl->IsDebugModeOn());
    EXPECT_EQ(0u, h.cam->BadReleases());
}
