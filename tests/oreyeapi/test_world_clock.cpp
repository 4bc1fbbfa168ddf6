// The virtual camera's own clock: raw timestamps follow the configured oscillator error
// ("clock_ppm") against the host's steady clock, as the test-support accessor tells.
#include <chrono>
#include <thread>

#include "vcam_fixture.h"

namespace {

int64_t HostNow() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct ClockCase {
    int nVersion;
    double dPpm;
    uint32_t nStart;
};

void PrintTo(const ClockCase& c, std::ostream* os) {
    *os << "version " << c.nVersion << ", " << c.dPpm << " ppm, start " << c.nStart;
}

class ClockPpm : public VirtualCameraTest, public ::testing::WithParamInterface<ClockCase> {
protected:
    std::string Config() override {
        const ClockCase& c = GetParam();
        char sz[200];
        snprintf(sz, sizeof(sz), "[{\"version\": %d, \"swing_motor\": false, \"clock_ppm\": %.3f, \"start_timestamp\": %u}]",
                 c.nVersion, c.dPpm, c.nStart);
        return sz;
    }
};

// Each frame's raw timestamp lies between the true counts at the host instants just before and
// just after the grab. Frames 0.3 s apart: 1000 ppm is 300 us there, far more than the few
// microseconds a grab of a small window takes, so a camera that ignored the key would fall out.
TEST_P(ClockPpm, RawTimestampsFollowTheTrueMapping) {
    const ClockCase& c = GetParam();
    const OrEyeTest::ClockTruth truth = m_pControl->GetClockTruth();
    EXPECT_EQ(c.nStart, truth.nStartTimestamp);
    EXPECT_DOUBLE_EQ(c.dPpm, truth.dPpm);
    EXPECT_FALSE(truth.bRecording);
    EXPECT_LE(truth.nHostNsAtStart, HostNow());
    ASSERT_EQ(c_nOrEyeOK, m_pCam->SetROI(0, 1000, 0, 1000, 256, 8));  // a quick frame
    std::vector<uint8_t> laser(32800);
    unsigned char* apDest[3] = {nullptr, nullptr, laser.data()};
    for (int i = 0; i < 3; ++i) {
        if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const int64_t nBefore = HostNow();
        ASSERT_EQ(c_nOrEyeOK, m_pCam->GrabFrame(apDest, nullptr, nullptr, 1000));
        const int64_t nAfter = HostNow();
        const uint32_t nTs = DecodeTrailer(laser.data(), c.nVersion).nTimestamp;
        const double dLo = std::floor(OrEyeTest::TicksAt(truth, nBefore)) - 1;
        const double dHi = std::floor(OrEyeTest::TicksAt(truth, nAfter)) + 1;
        // Unwrap the raw value next to the expected range (all cases stay below two wraps).
        double dTs = nTs;
        while (dTs + truth.nTimestampWrap <= dHi) dTs += truth.nTimestampWrap;
        EXPECT_GE(dTs, dLo) << "frame " << i;
        EXPECT_LE(dTs, dHi) << "frame " << i;
        // The inverse mapping agrees.
        const double dHost = OrEyeTest::HostNsAt(truth, dTs);
        EXPECT_GE(dHost, static_cast<double>(nBefore) - 2e9 * truth.dTick);
        EXPECT_LE(dHost, static_cast<double>(nAfter) + 2e9 * truth.dTick);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, ClockPpm,
                         ::testing::Values(ClockCase{8, 1000.0, 0}, ClockCase{8, -1000.0, 123456},
                                           ClockCase{8, 0.0, 0}, ClockCase{1, 250.5, 2147000000u},
                                           ClockCase{4, -1000.0, 0}),
                         [](const ::testing::TestParamInfo<ClockCase>& i) {
                             char sz[32];
                             snprintf(sz, sizeof(sz), "v%d_case%zu", i.param.nVersion, i.index);
                             return std::string(sz);
                         });

TEST(ClockPpmConfig, RangeAndTypeAreChecked) {
    const struct {
        const char* pszJson;
        const char* pszReason;
    } aCases[] = {
        {"[{\"clock_ppm\": 1000.5}]", "camera 0.clock_ppm: must be -1000 to 1000 (got 1000.5)"},
        {"[{\"clock_ppm\": -2000}]", "camera 0.clock_ppm: must be -1000 to 1000 (got -2000)"},
        {"[{\"clock_ppm\": \"5\"}]", "camera 0.clock_ppm: must be a number (got \"5\")"},
    };
    for (const auto& c : aCases) {
        setenv("KXEYE_VIRTUAL_CAMERAS", c.pszJson, 1);
        EXPECT_LT(OrEyeTest::ReloadVirtualCameras(), 0) << c.pszJson;
        char sz[300] = {};
        EXPECT_EQ(c_nOrEyeBadArgument, OrEyeCheckVirtualCameras(sz, sizeof(sz)));
        EXPECT_EQ(std::string("KXEYE_VIRTUAL_CAMERAS: ") + c.pszReason, sz);
    }
    unsetenv("KXEYE_VIRTUAL_CAMERAS");
    EXPECT_GT(OrEyeTest::ReloadVirtualCameras(), 0);
}

}  // namespace
