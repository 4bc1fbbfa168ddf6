// Continuous capture against the virtual camera of the camera library, for several hardware
// versions: ordered blocks whose 64-bit index and microsecond time keep rising across the
// camera's own counter and timestamp wraps, every buffer back after stop and release, the
// trigger filter and the offline road.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <string>

#include "capture_harness.h"
#include "kxkernel_testsupport.h"
#include "oreyeapi_testsupport.h"

using namespace CaptureTest;

namespace {

// Cameras configured so that their timestamp wraps about 1.5 s after they are made (and the
// counters of versions 3 to 8 soon after the first frames): late enough for a slow Open under
// ThreadSanitizer on a loaded machine to come first, well inside the test's 10 s wait.
struct VirtualCase {
    const char* pszName;
    int nIndex;
    uint32_t nVersion;
};

const char* const c_szCameras =
    "["
    "{\"version\": 1, \"start_timestamp\": 1997483647, \"swing_motor\": false},"
    "{\"version\": 3, \"start_timestamp\": 6888607, \"start_counter\": 250, \"swing_motor\": false},"
    "{\"version\": 4, \"start_timestamp\": 374287, \"start_counter\": 4090, \"swing_motor\": false},"
    "{\"version\": 8, \"start_timestamp\": 536720911, \"start_counter\": 4090, \"swing_motor\": false}"
    "]";

class VirtualCapture : public ::testing::TestWithParam<VirtualCase>, protected VirtualRig {
protected:
    static void TearDownTestSuite() { Unlist(); }
    void SetUp() override {
        // Fresh cameras for every test: their clocks start now, so the wraps come during it.
        // The detect ROI is small enough for the table rate to allow 180 frames per second.
        Open(c_szCameras, 4, GetParam().nIndex, GetParam().nVersion);
        if (dev) dev->SetEventHandler(&events);
    }
    void TearDown() override {
        rec.ReleaseHeld();
        Close();
    }

    Events events;
    Recorder rec;
};

}  // namespace

TEST_P(VirtualCapture, BlocksStayOrderedAcrossTheCameraWraps) {
    // The application keeps the first three blocks: their buffers stay out meanwhile.
    std::atomic<int> nSeen{0};
    rec.onBlock = [&](IKxLaserEyeResultBlock*) { rec.bHold = ++nSeen <= 3; };
    ASSERT_EQ(0, dev->StartCapture(0, &rec, nullptr));
    // Until ten frames after the camera's timestamp wrapped.
    const auto wrappedAndTen = [&] {
        const std::vector<Seen> v = rec.Frames();
        for (size_t i = 1; i < v.size(); ++i)
            if (v[i].nRawTimestamp < v[i - 1].nRawTimestamp) return v.size() >= i + 10;
        return false;
    };
    ASSERT_TRUE(WaitFor(wrappedAndTen, 10000)) << rec.Count() << " frames, no wrap";
    ASSERT_EQ(0, dev->StopCapture());
    EXPECT_EQ(3u, ctl->GetCounters().nBuffersHeld);
    const std::vector<Seen> seen = rec.Frames();
    bool bTimestampWrapped = false;
    for (size_t i = 1; i < seen.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_GT(seen[i].nTimeUs, seen[i - 1].nTimeUs);
        if (GetParam().nVersion >= 3) {
            EXPECT_GT(seen[i].nIndex, seen[i - 1].nIndex);
        }
        if (seen[i].nRawTimestamp < seen[i - 1].nRawTimestamp) bTimestampWrapped = true;
    }
    EXPECT_TRUE(bTimestampWrapped) << "the camera's timestamp never wrapped during the capture";
    // The index counts every frame the camera made since the first delivery (drops included).
    if (GetParam().nVersion >= 3) {
        EXPECT_GE(seen.back().nIndex - seen.front().nIndex, seen.size() - 1);
    }
    rec.ReleaseHeld();
    EXPECT_EQ(0u, ctl->GetCounters().nBuffersHeld);
}

TEST_P(VirtualCapture, TriggerFilterDeliversOnlyTriggeredFrames) {
    ctl->SetTriggerPattern({true, true, false, true, false, false});
    dev->EnableTriggerFilter(true);
    ASSERT_EQ(0, dev->StartCapture(0, &rec, nullptr));
    ASSERT_TRUE(WaitFor([&] { return rec.Count() >= 12; }, 10000));
    ASSERT_EQ(0, dev->StopCapture());
    const std::vector<int32_t> codes = events.Codes();
    ASSERT_FALSE(codes.empty());
    // Alternating on/off changes, starting with "on", one event per change.
    for (size_t i = 0; i < codes.size(); ++i) EXPECT_EQ(i % 2 == 0 ? 15 : 16, codes[i]) << i;
    // A pattern of 6 frames with 3 on: about half the frames made were delivered (drops aside).
    const OrEyeTest::Counters c = ctl->GetCounters();
    EXPECT_LE(rec.Count(), (c.nFramesDelivered + 1) / 2 + 2);
}

TEST_P(VirtualCapture, OfflineCameraEndsInOfflineAnswers) {
    ASSERT_EQ(0, dev->StartCapture(0, &rec, nullptr));
    ASSERT_TRUE(WaitFor([&] { return rec.Count() >= 2; }, 10000));
    ctl->SetOffline(true);
    // The stream's event 7 reaches the handler as event 4, and the device is offline from then on.
    ASSERT_TRUE(WaitFor([&] {
        for (int32_t e : events.Codes())
            if (e == 4) return true;
        return false;
    }));
    IKxLaserEyeResultBlock* pBlock = nullptr;
    EXPECT_EQ(KX_E_OFFLINE, dev->GetLaserResult(&pBlock, 200));
    EXPECT_EQ(KX_E_OFFLINE, dev->StopCapture());
    ctl->SetOffline(false);
    EXPECT_EQ(KX_E_OFFLINE, dev->SetFrameRate(100));
}

// The camera lost mid-capture ("-10030 from now on"): one event 4 and one "Device Is Offline",
// then every operation answers KX_E_OFFLINE at once, without a camera call or a log line per
// call; StopCapture and Close end the capture all the same; Close and Open take the camera back.
TEST_P(VirtualCapture, LossLeavesACleanStateAndCloseOpenTakesTheCameraBack) {
    ASSERT_EQ(0, dev->StartCapture(0, &rec, nullptr));
    ASSERT_TRUE(WaitFor([&] { return rec.Count() >= 2; }, 10000));
    KxLogCapture log;
    ctl->SetOffline(true);
    ASSERT_TRUE(WaitFor([&] { return !events.Codes().empty(); }));
    SKxNLROIRect roi{0, 512, 0, 256};
    uint8_t abyData[16] = {};
    const std::vector<std::pair<const char*, std::function<int32_t()>>> ops = {
        {"SetExpose", [&] { return dev->SetExpose(0, 100); }},
        {"SetLaserThres", [&] { return dev->SetLaserThres(10); }},
        {"SetDetectROI", [&] { return dev->SetDetectROI(&roi, &roi); }},
        {"SetFrameRate", [&] { return dev->SetFrameRate(50); }},
        {"SetTriggerMode", [&] { return dev->SetTriggerMode(0); }},
        {"SetCameraGain", [&] { return dev->SetCameraGain(0, 100); }},
        {"ReadCustomData", [&] { return dev->ReadCustomData(0, abyData, sizeof abyData); }},
        {"StartCapture", [&] { return dev->StartCapture(0, &rec, nullptr); }},
        {"Detect", [&] { IKxLaserEyeResultBlock* p = nullptr; return dev->Detect(&p); }},
    };
    for (int nRound = 0; nRound < 3; ++nRound)
        for (const auto& op : ops) EXPECT_EQ(KX_E_OFFLINE, op.second()) << op.first;
    EXPECT_FALSE(dev->CheckOnline());
    EXPECT_TRUE(dev->IsCapturing());  // until the application stops it
    EXPECT_EQ(KX_E_OFFLINE, dev->StopCapture());
    EXPECT_FALSE(dev->IsCapturing());
    EXPECT_EQ(KX_E_OFFLINE, dev->StopCapture());
    EXPECT_EQ(std::vector<int32_t>{4}, events.Codes());
    EXPECT_EQ(std::vector<std::string>{"Device Is Offline"}, log.Lines(c_nKxLogError));
    dev->Close();
    EXPECT_FALSE(dev->IsCapturing());
    ctl->SetOffline(false);
    ASSERT_EQ(0, dev->Open(0));
    rec.ReleaseHeld();
    const size_t nBefore = rec.Count();
    ASSERT_EQ(0, dev->StartCapture(0, &rec, nullptr));
    EXPECT_TRUE(WaitFor([&] { return rec.Count() >= nBefore + 5; }, 10000));
    EXPECT_EQ(0, dev->StopCapture());
}

// A camera that vanished mid-stream cannot be told to stop: StopCapture answers the offline
// code but ends the capture all the same, also without it Close does; once the camera is back, a
// re-opened device starts from idle and streams again instead of only swapping its callback.
TEST_P(VirtualCapture, ReopenAfterAFailedStopCaptureStreamsAgain) {
    ASSERT_EQ(0, dev->StartCapture(0, &rec, nullptr));
    ASSERT_TRUE(WaitFor([&] { return rec.Count() >= 2; }, 10000));
    ctl->SetOffline(true);
    ASSERT_TRUE(WaitFor([&] { return !events.Codes().empty(); }));
    EXPECT_EQ(KX_E_OFFLINE, dev->StopCapture());
    EXPECT_FALSE(dev->IsCapturing());
    dev->Close();
    EXPECT_FALSE(dev->IsOpen());
    EXPECT_FALSE(dev->IsCapturing());
    ctl->SetOffline(false);
    ASSERT_EQ(0, dev->Open(0));
    EXPECT_FALSE(dev->IsCapturing());
    rec.ReleaseHeld();
    const size_t nBefore = rec.Count();
    ASSERT_EQ(0, dev->StartCapture(0, &rec, nullptr));
    EXPECT_TRUE(WaitFor([&] { return rec.Count() >= nBefore + 5; }, 10000));
    EXPECT_EQ(0, dev->StopCapture());
}

// Reconnecting on, the camera lost mid-capture ("-10030 from now on") and back a moment later:
// one event 4, KX_E_OFFLINE meanwhile, then the device opens it again, writes the exposure,
// threshold and frame rate back, resumes the capture into the same callback and raises event 30
// with the frames missed; the frame index goes on with that gap.
TEST_P(VirtualCapture, ReconnectTakesTheCameraBackAndResumes) {
    IKxLaserEyeDeviceReconnect* re = static_cast<IKxLaserEyeDeviceReconnect*>(dev);
    EXPECT_FALSE(re->IsReconnectEnabled());
    ASSERT_EQ(0, dev->SetExpose(0, 345));
    ASSERT_EQ(0, dev->SetLaserThres(66));
    ASSERT_EQ(0, re->EnableReconnect(true, 50, 0));
    ASSERT_EQ(0, dev->StartCapture(0, &rec, nullptr));
    ASSERT_TRUE(WaitFor([&] { return rec.Count() >= 5; }, 10000));
    ctl->SetOffline(true);
    ASSERT_TRUE(WaitFor([&] { return !events.Codes().empty(); }));
    EXPECT_EQ(KX_E_OFFLINE, dev->SetGap(1));
    const size_t nAtLoss = rec.Count();
    ctl->Reset();  // the camera comes back as it starts: its settings gone
    ctl->SetOffline(false);
    ASSERT_TRUE(WaitFor([&] {
        for (int32_t e : events.Codes())
            if (e == c_nKxEventReconnected) return true;
        return false;
    }, 10000));
    ASSERT_TRUE(WaitFor([&] { return rec.Count() >= nAtLoss + 5; }, 10000));
    EXPECT_TRUE(dev->IsCapturing());
    SKxReconnectState st{};
    ASSERT_EQ(0, re->GetReconnectState(&st));
    EXPECT_EQ(1u, st.nLosses);
    EXPECT_EQ(1u, st.nReconnects);
    EXPECT_EQ(0u, st.nState);
    ASSERT_EQ(0, dev->StopCapture());
    const std::vector<Seen> seen = rec.Frames();
    if (GetParam().nVersion >= 3) {
        EXPECT_EQ(seen[nAtLoss].nIndex - seen[nAtLoss - 1].nIndex, st.nFramesMissed + 1);
    }
    EXPECT_EQ((std::vector<int32_t>{c_nKxEventOffline, c_nKxEventReconnected}), events.Codes());
    std::vector<uint8_t> v;
    ASSERT_TRUE(ctl->GetLastParam(48, &v));  // the threshold, written back
    ASSERT_EQ(2u, v.size());
    EXPECT_EQ(66, v[0] | v[1] << 8);
    ASSERT_TRUE(ctl->GetLastRegister(1, 0, &v));  // the exposure register
    ASSERT_EQ(4u, v.size());
    EXPECT_EQ(345, v[2] | v[3] << 8);
    ASSERT_EQ(0, re->EnableReconnect(false, 0, 0));
}

// Close of a capturing device whose camera is lost ends the capture: IsCapturing is false after it.
TEST_P(VirtualCapture, CloseAfterALossEndsTheCapture) {
    ASSERT_EQ(0, dev->StartCapture(0, &rec, nullptr));
    ASSERT_TRUE(WaitFor([&] { return rec.Count() >= 2; }, 10000));
    ctl->SetOffline(true);
    ASSERT_TRUE(WaitFor([&] { return !events.Codes().empty(); }));
    dev->Close();
    EXPECT_FALSE(dev->IsOpen());
    EXPECT_FALSE(dev->IsCapturing());
    ctl->SetOffline(false);
}

// Close and Open on one thread while another calls operations that reach the camera: an
// operation that found the device open must not use a camera object Close has let go of.
TEST_P(VirtualCapture, CloseWhileAnotherThreadCallsTheCamera) {
    std::atomic<bool> bStop{false};
    std::atomic<int> nCalls{0};
    std::thread caller([&] {
        while (!bStop.load()) {
            double q[16];
            SKxEyeVersionInfo v;
            const int32_t an[] = {dev->GetQMatrix(q), dev->SetFrameRate(100), dev->GetVersion(&v),
                                  dev->SetLaserThres(50), dev->CheckOnline() ? 0 : KX_E_NOT_OPEN};
            for (int32_t n : an) EXPECT_TRUE(n == 0 || n == KX_E_NOT_OPEN || n == KX_E_NOT_SUPPORTED) << n;
            ++nCalls;
        }
    });
    // At least 20 rounds, and until the other thread has made 50 rounds of calls (at most 3 s).
    const auto tEnd = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    for (int i = 0; i < 20 || (nCalls.load() < 50 && std::chrono::steady_clock::now() < tEnd); ++i) {
        dev->Close();
        EXPECT_EQ(0, dev->Open(0));
    }
    bStop = true;
    caller.join();
    EXPECT_GE(nCalls.load(), 50);
}

TEST_P(VirtualCapture, PullWhileCapturingGivesRisingFrames) {
    ASSERT_EQ(0, dev->StartCapture(0, &rec, nullptr));
    uint64_t nPrevTime = 0;
    for (int i = 0; i < 3; ++i) {
        IKxLaserEyeResultBlock* pBlock = nullptr;
        ASSERT_EQ(0, dev->GetLaserResult(&pBlock, 2000));
        ASSERT_NE(nullptr, pBlock);
        if (i > 0) {
            EXPECT_GT(pBlock->GetTimeStamp(), nPrevTime);
        }
        nPrevTime = pBlock->GetTimeStamp();
        int nCount = 0;
        pBlock->GetPointData(1, &nCount);
        EXPECT_GT(nCount, 0) << "raw points " << pBlock->GetRawPointCount();
        pBlock->Release();
    }
    ASSERT_EQ(0, dev->StopCapture());
}

TEST_P(VirtualCapture, DynamicRoiLeavesARoiTheCameraTakesAgain) {
    if (GetParam().nVersion < 5) GTEST_SKIP() << "no dynamic ROI below version 5";
    // Off the line and 520 wide, so that centring it on the line needs a real move.
    const SKxNLROIRect roi{0, 520, 512, 1536};
    ASSERT_EQ(0, dev->SetDetectROI(&roi, &roi));
    ASSERT_EQ(0, dev->EnableDynamicROI(true));
    ASSERT_EQ(0, dev->StartCapture(0, &rec, nullptr));
    ASSERT_TRUE(WaitFor([&] { return rec.Count() >= 3; }, 10000));
    ASSERT_EQ(0, dev->StopCapture());
    ASSERT_EQ(0, dev->EnableDynamicROI(false));

    SKxNLROIRect sLeft{}, sRight{};
    ASSERT_EQ(0, dev->GetDetectROI(&sLeft, &sRight));
    EXPECT_NE(0, sLeft.left) << "the camera never moved the ROI";
    EXPECT_EQ(520, sLeft.right - sLeft.left);
    EXPECT_EQ(0, sLeft.left % 32) << sLeft.left;
    EXPECT_EQ(0, sRight.left % 32) << sRight.left;
    EXPECT_EQ(0, dev->SetDetectROI(&sLeft, &sRight));
    std::vector<uint8_t> vecRate;
    ASSERT_TRUE(ctl->GetLastParam(34, &vecRate));

    // A new Open keeps both ROIs and the frame rate.
    dev->Close();
    ASSERT_EQ(0, dev->Open(0));
    SKxNLROIRect sLeft2{}, sRight2{};
    ASSERT_EQ(0, dev->GetDetectROI(&sLeft2, &sRight2));
    EXPECT_EQ(sLeft.left, sLeft2.left);
    EXPECT_EQ(sLeft.right, sLeft2.right);
    EXPECT_EQ(sLeft.top, sLeft2.top);
    EXPECT_EQ(sLeft.bottom, sLeft2.bottom);
    EXPECT_EQ(sRight.left, sRight2.left);
    EXPECT_EQ(sRight.right, sRight2.right);
    std::vector<uint8_t> vecRate2;
    ASSERT_TRUE(ctl->GetLastParam(34, &vecRate2));
    EXPECT_EQ(vecRate, vecRate2);
}

INSTANTIATE_TEST_SUITE_P(Versions, VirtualCapture,
                         ::testing::Values(VirtualCase{"v1", 0, 1}, VirtualCase{"v3", 1, 3},
                                           VirtualCase{"v4", 2, 4}, VirtualCase{"v8", 3, 8}),
                         [](const ::testing::TestParamInfo<VirtualCase>& info) {
                             return std::string(info.param.pszName);
                         });

namespace {

// The scene's belt moves 100 mm/s under an encoder of 10 counts per mm.
const double c_dCountsPerUs = 100.0 * 10.0 / 1000000.0;

class EncoderTravel : public ::testing::TestWithParam<uint32_t>, protected VirtualRig {
protected:
    static void TearDownTestSuite() { Unlist(); }
    void SetUp() override {
        // One camera of the version under test (the listing holds at most four).
        Open("[{\"version\": " + std::to_string(GetParam()) + ", \"swing_motor\": false}]", 1, 0, GetParam());
    }
    void TearDown() override {
        rec.ReleaseHeld();
        Close();
    }
    Recorder rec;
};

}  // namespace

TEST_P(EncoderTravel, CountRisesByTheScenesSteps) {
    ASSERT_EQ(0, dev->StartCapture(0, &rec, nullptr));
    ASSERT_TRUE(WaitFor([&] { return rec.Count() >= 12; }, 10000));
    ASSERT_EQ(0, dev->StopCapture());
    const std::vector<Seen> seen = rec.Frames();
    // The device's own encoder manager, configured for this version, counts the words.
    KxPositionEncoderManager& encoder = static_cast<CKxLaserEyeDevice*>(dev)->m_encoder;
    ASSERT_EQ(0, encoder.SetPulsePerRound(1));
    encoder.ResetCounter();
    auto count = [&](uint32_t nWord) {
        SKxEncoderSample sample{nWord, 0, 0, 0, 0, nullptr};
        EXPECT_EQ(0, encoder.ProcessSample(&sample));
        return encoder.GetTotalPulses();
    };
    const int64_t nFirst = count(seen.front().nEncoder);
    for (size_t i = 1; i < seen.size(); ++i) {
        SCOPED_TRACE(i);
        const double dExpected = static_cast<double>(seen[i].nTimeUs - seen[i - 1].nTimeUs) * c_dCountsPerUs;
        const int64_t nBefore = encoder.GetTotalPulses();
        const int64_t nStep = count(seen[i].nEncoder) - nBefore;
        EXPECT_NEAR(dExpected, static_cast<double>(nStep), 2.0) << seen[i - 1].nEncoder << " -> " << seen[i].nEncoder;
    }
    const double dTravel = static_cast<double>(seen.back().nTimeUs - seen.front().nTimeUs) * c_dCountsPerUs;
    EXPECT_NEAR(dTravel, static_cast<double>(encoder.GetTotalPulses() - nFirst), 2.0);
    EXPECT_GT(encoder.GetTotalPulses() - nFirst, 0);
}

INSTANTIATE_TEST_SUITE_P(Versions, EncoderTravel, ::testing::Range(0u, 9u),
                         [](const ::testing::TestParamInfo<uint32_t>& info) {
                             std::string name = "v";
                             name += std::to_string(info.param);
                             return name;
                         });
