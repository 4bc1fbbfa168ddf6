// Push road: frames handed to the frame-event function become ordered result blocks with
// continuous 64-bit time and index; idle, short and filtered frames never reach the application;
// every camera buffer goes back exactly once.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "capture_harness.h"
#include "kxkernel_testsupport.h"

using namespace CaptureTest;
using FakeCam::FrameTrailer;

namespace {

FrameTrailer Frame(uint32_t nTs, uint32_t nCounter, uint32_t nEncoderTimer = 0) {
    FrameTrailer f;
    f.nTimestamp = nTs;
    f.nCounter = nCounter;
    f.nEncoderTimer = nEncoderTimer;
    return f;
}

}  // namespace

// ---- time and index continuity, per hardware version ----

struct ContinuityCase {
    const char* pszName;
    uint32_t nVersion;
    std::vector<FrameTrailer> vecFrames;
    std::vector<uint64_t> vecTimeUs;
    std::vector<uint64_t> vecIndex;
};

class Continuity : public ::testing::TestWithParam<ContinuityCase> {};

TEST_P(Continuity, TimeAndIndexKeepRisingAcrossWraps) {
    const ContinuityCase& c = GetParam();
    FakeCam::Config cfg;
    cfg.nVersion = c.nVersion;
    Harness h(cfg);
    ASSERT_EQ(0, h.Open());
    Recorder rec;
    ASSERT_EQ(0, h.dev->StartCapture(0, &rec, nullptr));
    for (const FrameTrailer& f : c.vecFrames) h.cam->Push(f);
    const std::vector<Seen> seen = rec.Frames();
    ASSERT_EQ(c.vecFrames.size(), seen.size());
    for (size_t i = 0; i < seen.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(c.vecTimeUs[i], seen[i].nTimeUs);
        EXPECT_EQ(c.vecIndex[i], seen[i].nIndex);
        EXPECT_EQ(c.vecFrames[i].nTimestamp, seen[i].nRawTimestamp);
        EXPECT_EQ(c.nVersion <= 2 ? 0u : c.vecFrames[i].nCounter, seen[i].nRawCounter);
    }
    EXPECT_EQ(0, h.dev->StopCapture());
    EXPECT_EQ(0u, h.cam->Outstanding());
    EXPECT_EQ(0u, h.cam->BadReleases());
}

INSTANTIATE_TEST_SUITE_P(
    Versions, Continuity,
    ::testing::Values(
        // Timestamp wrap 524287: 524280 then 10 is a step of 17 ticks of 10 us.
        ContinuityCase{"v4_timestamp_wrap", 4, {Frame(524280, 5), Frame(10, 6)}, {5242800, 5242970}, {0, 1}},
        // Versions 7 and 8 spread the timestamp over three words; both fields wrap together.
        ContinuityCase{"v7_timestamp_and_counter_wrap",
                       7,
                       {Frame(536870900, 4095, 536870900), Frame(5, 0), Frame(105, 1)},
                       {0, 160, 1160},
                       {0, 1, 2}},
        // A counter step above 1 is frames lost on the way; version 3 counters wrap at 256.
        ContinuityCase{"v3_counter_gap_over_wrap", 3, {Frame(100, 254), Frame(200, 1)}, {100, 200}, {0, 3}},
        ContinuityCase{"v6_counter_wrap", 6, {Frame(0, 4094), Frame(1, 4095), Frame(2, 2)}, {0, 10, 20}, {0, 1, 4}},
        // 1250 ticks of 10 ns are 12.5 us: rounded half away from zero.
        ContinuityCase{"v1_microseconds_round_half_away", 1, {Frame(1000, 0), Frame(1250, 0)}, {10, 13}, {0, 0}},
        // 100 ticks of 8.5 ns are 0.85 us.
        // Versions 0 to 2: a camera counting past the 2^31 - 1 wrap rolls over at 2^32; the
        // step is taken in 32 bits (1016 ticks of 10 ns), so the time keeps rising.
        ContinuityCase{"v1_timestamp_32bit_rollover", 1, {Frame(0xFFFFFFF0u, 0), Frame(1000, 0)},
                       {42949673, 42949683}, {0, 0}},
        ContinuityCase{"v0_microseconds_round", 0, {Frame(0, 0), Frame(100, 0)}, {0, 1}, {0, 0}},
        // The first frame's time counts from the encoder timer; a timer past the timestamp is 0.
        ContinuityCase{"v8_first_frame_timer_after", 8, {Frame(1000, 7, 1200), Frame(1100, 8)}, {0, 1000}, {0, 1}},
        ContinuityCase{"v8_first_frame_timer_before", 8, {Frame(1000, 7, 400), Frame(1100, 8)}, {6000, 7000}, {0, 1}}),
    [](const ::testing::TestParamInfo<ContinuityCase>& info) { return std::string(info.param.pszName); });

// ---- the timestamp jump line ----

struct JumpCase {
    const char* pszName;
    std::vector<uint32_t> vecSteps;
    int nJumpAt;  // index into vecSteps of the step that logs; -1: none
};

class JumpLog : public ::testing::TestWithParam<JumpCase> {};

TEST_P(JumpLog, LogsOnlyAStepThatLeavesTheReference) {
    const JumpCase& c = GetParam();
    Harness h;
    ASSERT_EQ(0, h.Open());
    Recorder rec;
    ASSERT_EQ(0, h.dev->StartCapture(0, &rec, nullptr));
    KxLogCapture log;
    uint32_t ts = 5000;
    h.cam->Push(Frame(ts, 0));
    std::string expected;
    for (size_t i = 0; i < c.vecSteps.size(); ++i) {
        const uint32_t prev = ts;
        ts += c.vecSteps[i];
        if (static_cast<int>(i) == c.nJumpAt) {
            char sz[160];
            std::snprintf(sz, sizeof(sz), "Laser Device %p: ErrorTimeStamp %u OriTimeStamp %u PreDelta %u",
                          static_cast<void*>(h.impl), prev, ts, c.vecSteps[0]);
            expected = sz;
        }
        h.cam->Push(Frame(ts, static_cast<uint32_t>(i + 1)));
    }
    const std::vector<std::string> warnings = log.Lines(c_nKxLogWarning);
    if (c.nJumpAt < 0) {
        EXPECT_TRUE(warnings.empty());
    } else {
        ASSERT_EQ(1u, warnings.size());
        EXPECT_EQ(expected, warnings[0]);
    }
    // Every frame is delivered, jump or not.
    EXPECT_EQ(c.vecSteps.size() + 1, rec.Count());
    h.dev->StopCapture();
}

INSTANTIATE_TEST_SUITE_P(Steps, JumpLog,
                         ::testing::Values(JumpCase{"jump_250_after_100", {100, 100, 250}, 2},
                                           JumpCase{"step_190_within", {100, 190}, -1},
                                           // The jump becomes the new reference: 250 then 250 is quiet.
                                           JumpCase{"new_reference", {100, 250, 250}, 1}),
                         [](const ::testing::TestParamInfo<JumpCase>& info) { return std::string(info.param.pszName); });

// ---- frames that go no further ----

class PushRoad : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, h.Open());
        h.dev->SetEventHandler(&events);
    }
    void TearDown() override {
        if (h.dev) h.dev->StopCapture();
        h.Release();
    }
    Harness h;
    Recorder rec;
    Events events;
};

TEST_F(PushRoad, IdleFrameIsReturnedWithTheCloseLine) {
    KxLogCapture log;
    h.cam->Push(Frame(100, 1));
    EXPECT_TRUE(log.HasLine(c_nKxLogError, "Stream Mode Is Close??"));
    EXPECT_EQ(0u, h.cam->Outstanding());
    EXPECT_EQ(1u, h.cam->Returned());
    // After a stop too.
    ASSERT_EQ(0, h.dev->StartCapture(0, &rec, nullptr));
    ASSERT_EQ(0, h.dev->StopCapture());
    h.cam->Push(Frame(200, 2));
    EXPECT_EQ(0u, rec.Count());
    EXPECT_EQ(0u, h.cam->Outstanding());
}

// Reconnecting on: a frame the lost camera object still hands over after its offline event (one
// under way on another thread when the camera went) is given back, not handed on; it would
// otherwise be counted among the frames missed as well.
TEST_F(PushRoad, FrameAfterTheLossIsGivenBackWhileReconnecting) {
    IKxLaserEyeDeviceReconnect* re = static_cast<IKxLaserEyeDeviceReconnect*>(h.dev);
    ASSERT_EQ(0, re->EnableReconnect(true, 60000, 0));  // no attempt within the test
    ASSERT_EQ(0, h.dev->StartCapture(0, &rec, nullptr));
    h.cam->Push(Frame(100, 1));
    h.cam->Push(Frame(200, 2));
    ASSERT_EQ(2u, rec.Count());
    h.cam->Notify(c_nOrEyeEventError7);
    ASSERT_EQ(std::vector<int32_t>{c_nKxEventOffline}, events.Codes());
    h.cam->Push(Frame(300, 3));
    EXPECT_EQ(2u, rec.Count());
    EXPECT_EQ(0u, h.cam->Outstanding());
    EXPECT_EQ(0u, h.cam->BadReleases());
    ASSERT_EQ(0, re->EnableReconnect(false, 0, 0));
    EXPECT_EQ(KX_E_OFFLINE, h.dev->StopCapture());
}

TEST_F(PushRoad, NullAndShortBuffersAreReturnedNotDelivered) {
    ASSERT_EQ(0, h.dev->StartCapture(0, &rec, nullptr));
    h.cam->Push(Frame(100, 1), 0, /*null buffer*/ true);
    h.cam->Push(Frame(200, 2), 0, false, /*length*/ 32799);
    EXPECT_EQ(0u, rec.Count());
    EXPECT_EQ(0u, h.cam->Outstanding());
    EXPECT_EQ(0u, h.cam->BadReleases());
    // An image-mode frame too short for its images is not read past its end.
    h.dev->StopCapture();
    ASSERT_EQ(0, h.dev->SetDebugMode(true));
    ASSERT_EQ(0, h.dev->StartCapture(0, &rec, nullptr));
    h.cam->Push(Frame(300, 3));
    EXPECT_EQ(0u, rec.Count());
    EXPECT_EQ(0u, h.cam->Outstanding());
}

TEST_F(PushRoad, NullCallbackIsRefusedBeforeAnythingStarts) {
    EXPECT_EQ(KX_E_NULL_ARGUMENT, h.dev->StartCapture(0, nullptr, nullptr));
    EXPECT_FALSE(h.dev->IsCapturing());
    EXPECT_TRUE(h.cam->vecStreamCalls.empty());
    // While capturing it leaves the running callback in place.
    ASSERT_EQ(0, h.dev->StartCapture(0, &rec, nullptr));
    EXPECT_EQ(KX_E_NULL_ARGUMENT, h.dev->StartCapture(0, nullptr, nullptr));
    h.cam->Push(Frame(100, 1));
    EXPECT_EQ(1u, rec.Count());
}

TEST_F(PushRoad, SecondStartOnlyReplacesTheCallback) {
    Recorder second;
    ASSERT_EQ(0, h.dev->StartCapture(0, &rec, nullptr));
    h.cam->Push(Frame(100, 1));
    ASSERT_EQ(0, h.dev->StartCapture(0, &second, nullptr));
    h.cam->Push(Frame(200, 2));
    EXPECT_EQ(std::vector<int>{1}, h.cam->vecStreamCalls);
    EXPECT_EQ(1u, rec.Count());
    ASSERT_EQ(1u, second.Count());
    // The capture was not restarted: the sums go on.
    EXPECT_EQ(1u, second.Frames()[0].nIndex);
    EXPECT_EQ(2000u, second.Frames()[0].nTimeUs);
}

TEST_F(PushRoad, EncodeModeTwoDeliversNothing) {
    ASSERT_EQ(0, h.impl->SetEncodeMode(2));
    ASSERT_EQ(0, h.dev->StartCapture(0, &rec, nullptr));
    for (uint32_t i = 0; i < 5; ++i) h.cam->Push(Frame(100 * i, i));
    EXPECT_EQ(0u, rec.Count());
    EXPECT_EQ(0u, h.cam->Outstanding());
    EXPECT_EQ(5u, h.cam->Returned());
}

TEST_F(PushRoad, HeldBlocksHoldTheirBuffersUntilReleased) {
    rec.bHold = true;
    ASSERT_EQ(0, h.dev->StartCapture(0, &rec, nullptr));
    for (uint32_t i = 0; i < 4; ++i) h.cam->Push(Frame(100 * i, i));
    EXPECT_EQ(4u, h.cam->Outstanding());
    EXPECT_EQ(0u, h.cam->Returned());
    ASSERT_EQ(0, h.dev->StopCapture());
    EXPECT_EQ(4u, h.cam->Outstanding());
    rec.ReleaseHeld();
    EXPECT_EQ(0u, h.cam->Outstanding());
    EXPECT_EQ(4u, h.cam->Returned());
    EXPECT_EQ(0u, h.cam->BadReleases());
}

TEST_F(PushRoad, ImagesAndLaserDataWrapTheCameraBuffer) {
    ASSERT_EQ(0, h.dev->SetDebugMode(true));
    std::vector<SKxNLImageData> images;
    std::vector<const uint8_t*> pixels;
    rec.onBlock = [&](IKxLaserEyeResultBlock* pBlock) {
        IKxSurface* pL = nullptr;
        IKxSurface* pR = nullptr;
        ASSERT_TRUE(pBlock->GetSurfaces(&pL, &pR));
        SKxNLImageData d{};
        pL->GetImageData(&d);
        images.push_back(d);
        pR->GetImageData(&d);
        images.push_back(d);
        pL->Release();
        pR->Release();
    };
    ASSERT_EQ(0, h.dev->StartCapture(0, &rec, nullptr));
    ASSERT_TRUE(h.dev->IsDebugModeOn());
    FrameTrailer f = Frame(4321, 9);
    f.nLeftX = 0;
    f.nRightX = 32;
    h.cam->Push(f, h.ImageBytes());
    ASSERT_EQ(1u, rec.Count());
    // The laser part was found behind both images.
    EXPECT_EQ(4321u, rec.Frames()[0].nRawTimestamp);
    EXPECT_EQ(9u, rec.Frames()[0].nRawCounter);
    ASSERT_EQ(2u, images.size());
    // The right image starts W x H bytes after the left one, inside the same buffer.
    EXPECT_EQ(images[0].pData + h.ImageBytes(), images[1].pData);
    EXPECT_EQ(h.ImageBytes(), images[0].nSize);
    EXPECT_EQ(640, images[0].nWidth);
    EXPECT_EQ(480, images[0].nHeight);
    EXPECT_EQ(0, images[0].nX);
    EXPECT_EQ(32, images[1].nX);
    EXPECT_EQ(c_nKxPixelFormatGray8, images[0].nPixelFormat);
    EXPECT_EQ(0u, h.cam->Outstanding());
}

// ---- ROI follow ----

struct FollowCase {
    uint32_t nVersion;
    bool bFollows;
};

class RoiFollow : public ::testing::TestWithParam<FollowCase> {};

TEST_P(RoiFollow, FramesMoveTheCachedROIsFromVersionFive) {
    FakeCam::Config cfg;
    cfg.nVersion = GetParam().nVersion;
    Harness h(cfg);
    ASSERT_EQ(0, h.Open());
    Recorder rec;
    ASSERT_EQ(0, h.dev->StartCapture(0, &rec, nullptr));
    FrameTrailer f = Frame(100, 1);
    f.nLeftX = 64;
    f.nRightX = 96;
    h.cam->Push(f);
    h.dev->StopCapture();
    SKxNLROIRect left{}, right{};
    ASSERT_EQ(0, h.dev->GetDetectROI(&left, &right));
    if (GetParam().bFollows) {
        EXPECT_EQ(64, left.left);
        EXPECT_EQ(64 + 640, left.right);
        EXPECT_EQ(96, right.left);
        EXPECT_EQ(96 + 640, right.right);
    } else {
        EXPECT_EQ(0, left.left);
        EXPECT_EQ(640, left.right);
        EXPECT_EQ(0, right.left);
    }
    EXPECT_EQ(0, left.top);
    EXPECT_EQ(480, left.bottom);
}

INSTANTIATE_TEST_SUITE_P(Versions, RoiFollow,
                         ::testing::Values(FollowCase{4, false}, FollowCase{5, true}, FollowCase{8, true}),
                         [](const ::testing::TestParamInfo<FollowCase>& info) {
                             return "v" + std::to_string(info.param.nVersion);
                         });

// ---- trigger filter ----

TEST_F(PushRoad, TriggerFilterRaisesOncePerChangeAndDropsOffFrames) {
    const bool pattern[] = {true, true, false, false, true, false, true};
    h.dev->EnableTriggerFilter(true);
    ASSERT_EQ(0, h.dev->StartCapture(0, &rec, nullptr));
    uint32_t i = 0;
    for (bool bOn : pattern) {
        FrameTrailer f = Frame(100 * i, i);
        f.bTriggerOff = !bOn;
        h.cam->Push(f);
        ++i;
    }
    const std::vector<Seen> seen = rec.Frames();
    ASSERT_EQ(4u, seen.size());
    const uint32_t onCounters[] = {0, 1, 4, 6};
    for (size_t k = 0; k < seen.size(); ++k) EXPECT_EQ(onCounters[k], seen[k].nRawCounter);
    EXPECT_EQ((std::vector<int32_t>{15, 16, 15, 16, 15}), events.Codes());
    EXPECT_EQ(0u, h.cam->Outstanding());

    // A new capture starts with the trigger inactive: its first "on" frame raises 15 again.
    ASSERT_EQ(0, h.dev->StopCapture());
    ASSERT_EQ(0, h.dev->StartCapture(0, &rec, nullptr));
    h.cam->Push(Frame(0, 0));
    EXPECT_EQ((std::vector<int32_t>{15, 16, 15, 16, 15, 15}), events.Codes());
}

TEST_F(PushRoad, WithoutTriggerFilterEveryFrameIsDelivered) {
    ASSERT_EQ(0, h.dev->StartCapture(0, &rec, nullptr));
    for (uint32_t i = 0; i < 4; ++i) {
        FrameTrailer f = Frame(100 * i, i);
        f.bTriggerOff = (i % 2) == 1;
        h.cam->Push(f);
    }
    EXPECT_EQ(4u, rec.Count());
    EXPECT_TRUE(events.Codes().empty());
}

// ---- other camera events ----

TEST_F(PushRoad, CameraEventsMapToDeviceEvents) {
    KxLogCapture log;
    // 5 and 7 both tell a lost camera: event 4 comes once per loss.
    for (int e : {0, 5, 7, 10, 12, 11}) h.cam->Notify(e);
    EXPECT_EQ((std::vector<int32_t>{1, 4, 17}), events.Codes());
    EXPECT_TRUE(log.HasLine(c_nKxLogState, "Stream Resume"));
    // Without a handler nothing is raised and nothing breaks.
    h.dev->SetEventHandler(nullptr);
    h.cam->Notify(0);
    EXPECT_EQ(3u, events.Codes().size());
}

TEST_F(PushRoad, EncoderWordsTravelWithTheBlock) {
    ASSERT_EQ(0, h.dev->StartCapture(0, &rec, nullptr));
    FrameTrailer f = Frame(100, 1);
    f.nWord6 = 0x80000000u | 123456u;  // direction bit, then the count
    h.cam->Push(f);
    ASSERT_EQ(1u, rec.Count());
    EXPECT_EQ(123456u, rec.Frames()[0].nEncoder);
    // Without the swing the angle is 0, a valid angle.
    EXPECT_TRUE(rec.Frames()[0].bAngleValid);
    EXPECT_EQ(0.0f, rec.Frames()[0].fAngle);
}
