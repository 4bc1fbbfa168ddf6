// The camera-to-host clock estimate: offset and drift recovered from frames whose arrival lags
// their time stamp by a delay that is never negative and often large.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>

#include "kxclockestimate.h"

namespace {

struct ClockCase {
    const char* pszName;
    double dPpm;          // the camera's clock runs this much fast
    int64_t nOffsetNs;    // host steady time at camera time 0
    double dMeanDelayUs;  // mean of the random delay above the fixed one
    double dRate;         // frames per second
    double dDriftTolPpm;  // how closely the drift comes out over 4 s
    double dStepUs;       // the delay's floor rises by this much for the last 1.5 s (bigger
                          // frames, a busier host): the line must stay on the lower edge
};

// Host time at which a frame with camera time c was made.
int64_t TrueHost(const ClockCase& c, int64_t nCameraNs) {
    return c.nOffsetNs + static_cast<int64_t>(std::llround(static_cast<double>(nCameraNs) / (1.0 + c.dPpm * 1e-6)));
}

void PrintTo(const ClockCase& c, std::ostream* os) { *os << c.pszName; }

class ClockEstimate : public ::testing::TestWithParam<ClockCase> {};

}  // namespace

TEST_P(ClockEstimate, FollowsOffsetAndDriftUnderTheDelays) {
    const ClockCase& c = GetParam();
    const int64_t nFixedNs = 80000;  // the shortest path from exposure to the library
    std::mt19937_64 rng(42);
    std::exponential_distribution<double> delay(1.0 / (c.dMeanDelayUs * 1000.0));
    CKxClockEstimate est;
    SKxHostTime t{};
    const int64_t nStepNs = static_cast<int64_t>(1e9 / c.dRate);
    int64_t nCamera = 123456789;
    double dWorst = 0;
    for (int64_t nElapsed = 0; nElapsed <= 4000000000ll; nElapsed += nStepNs, nCamera += nStepNs) {
        const int64_t nStep = nElapsed >= 2500000000ll ? static_cast<int64_t>(c.dStepUs * 1000.0) : 0;
        const int64_t nArrival = TrueHost(c, nCamera) + nFixedNs + nStep + static_cast<int64_t>(delay(rng));
        est.Add(nCamera, nArrival, &t);
        ASSERT_GE(t.nArrivalNs, t.nHostNs - 1) << "the estimate never maps a frame after its own arrival";
        if (nElapsed >= 2000000000ll) {
            const double dErr = std::fabs(static_cast<double>(t.nHostNs - (TrueHost(c, nCamera) + nFixedNs)));
            dWorst = std::max(dWorst, dErr);
        }
    }
    EXPECT_EQ(2u, t.nState);
    // Drift (the sign: a fast camera clock maps to fewer host ns); slow frames blur it more.
    EXPECT_NEAR(-c.dPpm * 1000.0, t.nDriftPpb, c.dDriftTolPpm * 1000.0);
    // From 2 s on, every frame lands within 50 us of when it would have come with no delay.
    EXPECT_LT(dWorst, 50000.0) << "worst error " << dWorst / 1000.0 << " us";
    EXPECT_GT(t.nUncertaintyNs, 0u);
    EXPECT_LT(t.nUncertaintyNs, 200000u);
    RecordProperty("worst_error_us", std::to_string(dWorst / 1000.0));
}

INSTANTIATE_TEST_SUITE_P(Clocks, ClockEstimate,
                         ::testing::Values(ClockCase{"Exact", 0, 5000000000ll, 200, 1000, 2, 0},
                                           ClockCase{"Fast100ppm", 100, 5000000000ll, 200, 1000, 2, 0},
                                           ClockCase{"Slow250ppm", -250, 77000000000ll, 500, 200, 5, 0},
                                           ClockCase{"HeavyDelays", 40, 1000000000ll, 3000, 1000, 20, 0},
                                           ClockCase{"FloorStepsUp", 500, 2000000000ll, 100, 200, 5, 500}),
                         [](const ::testing::TestParamInfo<ClockCase>& i) { return i.param.pszName; });

TEST(ClockEstimateStates, StartsFromArrivalAndStartsOverWhenTheCameraClockGoesBack) {
    CKxClockEstimate est;
    SKxHostTime t{};
    est.Map(1000, 5000, &t);
    EXPECT_EQ(0u, t.nState) << "nothing seen yet";
    EXPECT_EQ(5000, t.nHostNs);
    est.Add(1000000, 9000000, &t);
    EXPECT_EQ(1u, t.nState) << "one frame: offset only";
    EXPECT_EQ(9000000, t.nHostNs);
    for (int i = 1; i <= 60; ++i) est.Add(1000000 + i * 50000000ll, 9000000 + i * 50000000ll, &t);
    EXPECT_EQ(2u, t.nState) << "3 s of frames: drift too";
    // A restarted camera: its clock begins again near 0, with a new offset.
    est.Add(2000, 900000000000ll, &t);
    EXPECT_EQ(1u, t.nState);
    EXPECT_EQ(1u, t.nSamples);
    EXPECT_EQ(900000000000ll, t.nHostNs);
}
