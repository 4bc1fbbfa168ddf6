// Position encoder manager: wrap-aware counting, direction, reverse, speeds and codes.
#include <gtest/gtest.h>

#include <cmath>

#include "kxpositionencodermanager.h"

namespace {

const uint32_t c_nBackwards = 0x80000000u;

class EncoderTest : public ::testing::Test {
protected:
    void SetUp() override {
        m.SetErrorBase(-82000);
        m.SetPulsePerRound(1000);
        m.SetWheelRadius(10.0);
    }
    double Position(uint32_t nWord) {
        SKxEncoderPosition pos{0, 0.0};
        SKxEncoderSample s{nWord, 0, 0, 0, 1, &pos};
        EXPECT_EQ(0, m.ProcessSample(&s));
        return pos.dPosition;
    }
    KxPositionEncoderManager m;
};

TEST(EncoderDefaults, FreshManagerAndCodes) {
    KxPositionEncoderManager m;
    double dLinear = -1, dAngular = -1, dRadius = -1;
    int nPulses = 0, nBits = 0;
    m.GetSpeeds(&dLinear, &dAngular);
    m.GetWheelRadius(&dRadius);
    m.GetPulsePerRound(&nPulses);
    m.GetCounterBits(&nBits);
    EXPECT_EQ(0.0, dLinear);
    EXPECT_EQ(0.0, dAngular);
    EXPECT_EQ(0.0, dRadius);
    EXPECT_EQ(2000, nPulses);
    EXPECT_EQ(29, nBits);
    EXPECT_EQ(0x20000000u, m.GetCounterRange());
    // Null outputs are skipped, not reported.
    EXPECT_EQ(0, m.GetSpeeds(nullptr, nullptr));
    m.SetErrorBase(-82000);
    EXPECT_EQ(0, m.ConvertCode(0));
    EXPECT_EQ(-81999, m.ConvertCode(1));
    EXPECT_EQ(-81998, m.ConvertCode(2));
}

TEST_F(EncoderTest, CircumferenceUsesTheFixedConstant) {
    EXPECT_EQ(6.2831852 * 10.0, m.GetCircumference());
    EXPECT_NE(2.0 * 3.14159265358979323846 * 10.0, m.GetCircumference());
}

TEST_F(EncoderTest, CountsForwardAcrossTheWrap) {
    Position(0x1FFFFFF0u);
    const int64_t nBefore = m.GetTotalPulses();
    Position(0x10u);
    EXPECT_EQ(0x20, m.GetTotalPulses() - nBefore);
    EXPECT_EQ(0x10u, m.GetLastCount());
}

TEST_F(EncoderTest, DirectionBitCountsBackwardsAndReverseNegatesThePosition) {
    EXPECT_DOUBLE_EQ(100.0 / 1000.0 * m.GetCircumference(), Position(100));
    // Backwards: a count of 150 after 100 takes 50 pulses away.
    EXPECT_DOUBLE_EQ(50.0 / 1000.0 * m.GetCircumference(), Position(150 | c_nBackwards));
    EXPECT_EQ(50, m.GetTotalPulses());
    // Reverse negates the position, the accumulated pulses stay as counted.
    m.SetReverse(true);
    EXPECT_TRUE(m.IsReverse());
    EXPECT_DOUBLE_EQ(-60.0 / 1000.0 * m.GetCircumference(), Position(160));
    EXPECT_EQ(60, m.GetTotalPulses());
}

TEST_F(EncoderTest, ZeroPulsesPerRoundStopsBothSampleOperations) {
    m.SetPulsePerRound(0);
    SKxEncoderSample s{100, 200, 0, 10, 0, nullptr};
    testing::internal::CaptureStdout();
    EXPECT_EQ(-81998, m.ProcessSample(&s));
    EXPECT_EQ("PulsePerRound Is 0!!!\n", testing::internal::GetCapturedStdout());
    testing::internal::CaptureStdout();
    EXPECT_EQ(-81998, m.ProcessSamplePair(&s));
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    EXPECT_EQ(0, m.GetTotalPulses());
    EXPECT_EQ(0, m.ProcessSample(nullptr));
}

TEST_F(EncoderTest, NineteenBitCountFieldLeavesTheFrameNumberOutAndWrapsAtItsRange) {
    EXPECT_EQ(0, m.SetCountField(19));
    EXPECT_EQ(0x80000u, m.GetCounterRange());
    EXPECT_EQ(0x7FFFFu, m.GetCountMask());
    // Bits 19 to 30 of the words (the frame number of older cameras) change too: not counted.
    Position(0x7FFF0u | (0x123u << 19));
    const int64_t nBefore = m.GetTotalPulses();
    Position(0x10u | (0x124u << 19));
    EXPECT_EQ(0x20, m.GetTotalPulses() - nBefore);
    Position(0x30u | (0x125u << 19) | c_nBackwards);
    EXPECT_EQ(0x20 - 0x20, m.GetTotalPulses() - nBefore);
    EXPECT_EQ(-81999, m.SetCountField(0));
    EXPECT_EQ(-81999, m.SetCountField(32));
    EXPECT_EQ(0x80000u, m.GetCounterRange());
}

TEST_F(EncoderTest, CounterBitsOutsideOneTo62AreRefused) {
    EXPECT_EQ(-81999, m.SetCounterBits(0));
    EXPECT_EQ(-81999, m.SetCounterBits(63));
    EXPECT_EQ(0x20000000u, m.GetCounterRange());
    EXPECT_EQ(0, m.SetCounterBits(16));
    EXPECT_EQ(0x10000u, m.GetCounterRange());
}

TEST_F(EncoderTest, PairGivesSpeedsAndInterpolatedPositions) {
    SKxEncoderPosition entries[3] = {{1000, 0}, {1500, 0}, {2000, 0}};
    SKxEncoderSample s{0, 500, 1000, 2000, 3, entries};
    ASSERT_EQ(0, m.ProcessSamplePair(&s));
    const double dPos1 = 500.0 / 1000.0 * m.GetCircumference();
    double dLinear = 0, dAngular = 0;
    m.GetSpeeds(&dLinear, &dAngular);
    EXPECT_DOUBLE_EQ(dPos1 * 1000000.0 / 1000.0, dLinear);
    EXPECT_DOUBLE_EQ(500.0 * 360.0 * 1000000.0 / (1000.0 * 1000.0), dAngular);
    EXPECT_DOUBLE_EQ(0.0, entries[0].dPosition);
    EXPECT_DOUBLE_EQ(dPos1 / 2, entries[1].dPosition);
    EXPECT_DOUBLE_EQ(dPos1, entries[2].dPosition);
    // ResetCounter clears count and speeds, and keeps the last direction.
    SKxEncoderSample back{500, 400 | c_nBackwards, 0, 10, 0, nullptr};
    m.ProcessSamplePair(&back);
    EXPECT_EQ(1u, m.GetLastDir());
    m.ResetCounter();
    m.GetSpeeds(&dLinear, &dAngular);
    EXPECT_EQ(0.0, dLinear);
    EXPECT_EQ(0.0, dAngular);
    EXPECT_EQ(0, m.GetTotalPulses());
    EXPECT_EQ(1u, m.GetLastDir());
}

TEST_F(EncoderTest, PairWithoutForwardTimeDividesByTheLargestSpan) {
    SKxEncoderSample s{0, 1000, 5000, 5000, 0, nullptr};
    ASSERT_EQ(0, m.ProcessSamplePair(&s));
    double dLinear = 0;
    m.GetSpeeds(&dLinear, nullptr);
    EXPECT_DOUBLE_EQ(m.GetCircumference() * 1000000.0 / 4294967295.0, dLinear);
}

// A forward span of exactly 2^32 µs has zero low bits: it counts as the largest span, so the
// speeds stay finite and the entries are interpolated over it (not divided by zero).
TEST_F(EncoderTest, PairSpanningExactly2To32MicrosecondsGivesTheLargestSpanSpeed) {
    SKxEncoderPosition entries[1] = {{1000ull + (1ull << 31), 0}};
    SKxEncoderSample s{0, 1000, 1000, 1000 + (1ull << 32), 1, entries};
    ASSERT_EQ(0, m.ProcessSamplePair(&s));
    double dLinear = 0, dAngular = 0;
    m.GetSpeeds(&dLinear, &dAngular);
    EXPECT_TRUE(std::isfinite(dLinear));
    EXPECT_TRUE(std::isfinite(dAngular));
    EXPECT_DOUBLE_EQ(m.GetCircumference() * 1000000.0 / 4294967295.0, dLinear);
    EXPECT_DOUBLE_EQ(1000.0 * 360.0 * 1000000.0 / (1000.0 * 4294967295.0), dAngular);
    EXPECT_TRUE(std::isfinite(entries[0].dPosition));
}

TEST_F(EncoderTest, AngularSpeedDoesNotWrapOnLongSpans) {
    // 1000 pulses per round times 5 s in microseconds exceeds 32 bits.
    SKxEncoderSample s{0, 1000, 0, 5000000, 0, nullptr};
    ASSERT_EQ(0, m.ProcessSamplePair(&s));
    double dAngular = 0;
    m.GetSpeeds(nullptr, &dAngular);
    EXPECT_DOUBLE_EQ(72.0, dAngular);  // one round in 5 s
}

}  // namespace
