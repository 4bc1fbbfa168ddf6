// Point decoding: worked examples, every format against the scalar reference, bad input.
#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "frame_builder.h"
#include "kxlasereyeinnerutils.h"
#include "reference_decoder.h"

using KxTestFrame::SFrame;

namespace {

// Output arrays sized exactly for nCount records, so that ASan sees any write past them. The
// bytes start as a pattern so that "not written" bytes can be compared too.
struct SOutput {
    std::vector<uint8_t> points, pixels;
    SOutput(int nFormat, int nCount, uint8_t byFill = 0xA5)
        : points(KxPointRecordSize(nFormat) * (nCount > 0 ? nCount : 1), byFill),
          pixels(KxPixelRecordSize(nFormat) * (nCount > 0 ? nCount : 1), byFill) {}
};

struct SDecodeCall {
    int nFormat = 0;
    int nCount = 1;
    EKxCoordConversion eConv = KX_CONV_THOUSANDTHS;
    SKxLaserResultAfterProcParam param;
    std::vector<SKxCompensateEntry> comp;
    int32_t nRightOffset = 0;
    double adOffset[3] = {0, 0, 0};
    uint32_t nColOrigin = 0, nRowOrigin = 0, nFocal = 0;

    int Run(const SFrame& f, SOutput& out) const {
        return DecodeLaserPoints(nFormat, f.bytes.data(), nCount, comp.empty() ? nullptr : comp.data(),
                                 static_cast<uint32_t>(comp.size()), param, eConv, nRightOffset, adOffset,
                                 nColOrigin, nRowOrigin, nFocal, out.points.data(), out.pixels.data());
    }
    int RunReference(const SFrame& f, SOutput& out) const {
        return KxReference::Decode(nFormat, f.bytes.data(), nCount,
                                   comp.empty() ? nullptr
                                                : reinterpret_cast<const KxReference::SCompEntry*>(comp.data()),
                                   static_cast<unsigned>(comp.size()), param, eConv == KX_CONV_DISPARITY,
                                   nRightOffset, adOffset, nColOrigin, nRowOrigin, nFocal,
                                   out.points.data(), out.pixels.data());
    }
};

const SKxLaserPoint3D0* Points0(const SOutput& o) {
    return reinterpret_cast<const SKxLaserPoint3D0*>(o.points.data());
}
const SKxLaserPixel0* Pixels0(const SOutput& o) {
    return reinterpret_cast<const SKxLaserPixel0*>(o.pixels.data());
}

}  // namespace

// Version 1, default parameters: a record with Z 100000, Y 0 and X -5000 is (-5, 0, 100), in
// every format, with its image positions from the trailer origins.
TEST(DecodeWorkedExamples, Version1RecordInEveryFormat) {
    SFrame f;
    f.SetPoint(0, 2560, 100000, 0, -5000);
    for (int nFormat = 0; nFormat <= 6; ++nFormat) {
        SCOPED_TRACE(nFormat);
        SDecodeCall call;
        call.nFormat = nFormat;
        call.nRightOffset = 3;
        call.nColOrigin = 200 * 1024;
        call.nRowOrigin = 100 * 1024;
        call.nFocal = 1000 * 1024;
        SOutput out(nFormat, 1);
        ASSERT_EQ(1, call.Run(f, out));
        double x, y, z;
        if (nFormat == 0 || nFormat == 6) {
            const double* pd = reinterpret_cast<const double*>(out.points.data() + (nFormat == 0 ? 8 : 0));
            x = pd[0], y = pd[1], z = pd[2];
        } else {
            const float* pf = reinterpret_cast<const float*>(out.points.data());
            x = pf[0], y = pf[1], z = pf[2];
        }
        EXPECT_EQ(-5.0, x);
        EXPECT_EQ(0.0, y);
        EXPECT_EQ(100.0, z);
        const uint8_t* pPix = out.pixels.data() + (nFormat == 0 ? 4 : 0);
        int32_t an[4];
        std::memcpy(an, pPix, 16);
        EXPECT_EQ(150, an[0]);  // (204800 + (-0.05 * 1024000 + 512)) / 1024 = 150.5
        EXPECT_EQ(100, an[1]);  // (102400 + 512) / 1024 = 100.5
        EXPECT_EQ(150 - 10 + 3, an[2]);
        EXPECT_EQ(100, an[3]);
    }
}

TEST(DecodeWorkedExamples, Version0DisparityKeepsPositiveDepthOnly) {
    SFrame f;
    f.SetPoint(0, 512, -2048, 0, 0);  // sign bit set: -2048 / 512 / -2 = 2
    f.SetPoint(1, 512, 2048, 0, 0);   // 2048 / 512 / -2 = -2: dropped
    SDecodeCall call;
    call.eConv = KX_CONV_DISPARITY;
    call.nCount = 2;
    SOutput out(0, 2);
    ASSERT_EQ(1, call.Run(f, out));
    EXPECT_EQ(2.0, Points0(out)[0].dZ);
}

TEST(DecodeWorkedExamples, DepthBelowZeroAfterOffsetIsDropped) {
    SFrame f;
    f.SetPoint(0, 256, 1000, 1, 0);  // z 1.0 - 1.001 = -0.001: dropped
    f.SetPoint(1, 256, 1000, 2, 0);  // z 1.0 - 1.0 = 0: kept
    for (int nFormat : {0, 1, 6}) {
        SCOPED_TRACE(nFormat);
        SDecodeCall drop, keep;
        drop.nFormat = keep.nFormat = nFormat;
        drop.adOffset[2] = -1.001;
        keep.adOffset[2] = -1.0;
        SOutput o1(nFormat, 1), o2(nFormat, 2);
        EXPECT_EQ(0, drop.Run(f, o1));
        keep.nCount = 2;
        EXPECT_EQ(2, keep.Run(f, o2));
    }
}

TEST(DecodeWorkedExamples, StepTwoOverTenPointsIndexesOutputPositions) {
    SFrame f;
    for (int i = 0; i < 10; ++i) f.SetPoint(i, 256, 100000, 0, i * 1000);
    SDecodeCall call;
    call.nCount = 10;
    call.param.nStep = 2;
    SOutput out(0, 10);
    ASSERT_EQ(5, call.Run(f, out));
    for (int k = 0; k < 5; ++k) {
        EXPECT_EQ(k, Points0(out)[k].nIndex);
        EXPECT_EQ(k, Pixels0(out)[k].nIndex);
        EXPECT_EQ(2.0 * k, Points0(out)[k].dX);  // raw points 0, 2, 4, 6, 8
    }
}

TEST(DecodeWorkedExamples, NonPositiveStepCountsAsOne) {
    SFrame f;
    for (int i = 0; i < 4; ++i) f.SetPoint(i, 256, 100000, 0, i * 1000);
    for (int nStep : {0, -3}) {
        SDecodeCall call;
        call.nCount = 4;
        call.param.nStep = nStep;
        SOutput out(0, 4);
        EXPECT_EQ(4, call.Run(f, out)) << nStep;
    }
}

// Y values -1, 0, 0.5, 5 with bounds [-1, 1]: 0x2 drops the closed interval, 0x1 alone drops
// everything outside the open one; with 0x3 only the first rule applies.
TEST(DecodeWorkedExamples, FilterFlags) {
    SFrame f;
    const int64_t anY[4] = {-1000, 0, 500, 5000};
    for (int i = 0; i < 4; ++i) f.SetPoint(i, 256, 100000, anY[i], 0);
    struct Case {
        int32_t nFlags;
        std::vector<double> kept;
    };
    const Case cases[] = {
        {0x0, {-1.0, 0.0, 0.5, 5.0}},
        {0x1, {0.0, 0.5}},
        {0x2, {5.0}},
        {0x3, {5.0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.nFlags);
        SDecodeCall call;
        call.nCount = 4;
        call.param.nFilterFlags = c.nFlags;
        call.param.dYMin = -1.0;
        call.param.dYMax = 1.0;
        SOutput out(0, 4);
        const int n = call.Run(f, out);
        ASSERT_EQ(static_cast<int>(c.kept.size()), n);
        for (int k = 0; k < n; ++k) EXPECT_EQ(c.kept[k], Points0(out)[k].dY);
    }
}

// Filtering sees the unmirrored Y: keep 1 < Y < 3, then negate.
TEST(DecodeWorkedExamples, MirroringComesAfterFiltering) {
    SFrame f;
    f.SetPoint(0, 256, 100000, 2000, 0);
    f.SetPoint(1, 256, 100000, -2000, 0);
    SDecodeCall call;
    call.nCount = 2;
    call.param.nFilterFlags = c_nKxFilterYInside;
    call.param.dYMin = 1.0;
    call.param.dYMax = 3.0;
    call.param.nMirrorY = 1;
    SOutput out(0, 2);
    ASSERT_EQ(1, call.Run(f, out));
    EXPECT_EQ(-2.0, Points0(out)[0].dY);
}

// The first matching entry wins; the interval is closed below and open above.
TEST(DecodeWorkedExamples, CompensationTakesFirstMatchingEntry) {
    SFrame f;
    f.SetPoint(0, 256, 100000, 0, 0);  // z 100
    f.SetPoint(1, 256, 50000, 0, 0);   // z 50
    f.SetPoint(2, 256, 300000, 0, 0);  // z 300: no entry
    SDecodeCall call;
    call.nCount = 3;
    call.comp = {{0.f, 50.f, 1.f}, {50.f, 150.f, 2.f}, {100.f, 200.f, 4.f}};
    SOutput out(0, 3);
    ASSERT_EQ(3, call.Run(f, out));
    EXPECT_EQ(102.0, Points0(out)[0].dZ);
    EXPECT_EQ(52.0, Points0(out)[1].dZ);
    EXPECT_EQ(300.0, Points0(out)[2].dZ);
}

// Transform, then the X offset, then the reference-X window on the transformed X.
TEST(DecodeWorkedExamples, TransformThenXOffsetThenWindow) {
    SFrame f;
    f.SetPoint(0, 256, 100000, 2000, 1000);  // (1, 2, 100)
    f.SetPoint(1, 256, 100000, 9000, 1000);  // (1, 9, 100): X' 19 is outside the window
    SDecodeCall call;
    call.nCount = 2;
    SKxLaserResultAfterProcParam& p = call.param;
    p.bTransform = true;
    const double r[9] = {0, 1, 0, 1, 0, 0, 0, 0, 1};  // swap X and Y
    std::memcpy(p.adRotate, r, sizeof r);
    p.dRefZ = 150.0;
    p.dScaleZ = 2.0;
    p.dXOffset = 10.0;
    p.dRefX = 12.0;
    p.dRefXRange = 1.0;
    SOutput out(0, 2);
    ASSERT_EQ(1, call.Run(f, out));
    EXPECT_EQ(12.0, Points0(out)[0].dX);   // y 2 + 10
    EXPECT_EQ(1.0, Points0(out)[0].dY);    // x
    EXPECT_EQ(100.0, Points0(out)[0].dZ);  // (150 - 100) * 2
}

// The reference-X window (part of the transform) is closed: a point exactly on an edge
// (|x' - refX| == range) is kept, one a thousandth beyond is refused; in a double format (0)
// and a float format (1).
TEST(DecodeWorkedExamples, ReferenceXWindowKeepsItsEdges) {
    SFrame f;
    f.SetPoint(0, 256, 100000, 0, 5000);  // x 5: on the upper edge
    f.SetPoint(1, 256, 100000, 0, 5001);  // x 5.001: beyond
    f.SetPoint(2, 256, 100000, 0, 3000);  // x 3: on the lower edge
    f.SetPoint(3, 256, 100000, 0, 2999);  // x 2.999: beyond
    for (int nFormat : {0, 1}) {
        SCOPED_TRACE(nFormat);
        SDecodeCall call;
        call.nFormat = nFormat;
        call.nCount = 4;
        SKxLaserResultAfterProcParam& p = call.param;
        p.bTransform = true;  // the window belongs to the transform
        const double r[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
        std::memcpy(p.adRotate, r, sizeof r);
        p.dRefZ = 200.0;
        p.dScaleZ = 1.0;
        p.dRefX = 4.0;
        p.dRefXRange = 1.0;
        SOutput out(nFormat, 4);
        ASSERT_EQ(2, call.Run(f, out));
        if (nFormat == 0) {
            EXPECT_EQ(5.0, Points0(out)[0].dX);
            EXPECT_EQ(3.0, Points0(out)[1].dX);
        } else {
            float af[6];
            std::memcpy(af, out.points.data(), sizeof af);
            EXPECT_EQ(5.0f, af[0]);
            EXPECT_EQ(3.0f, af[3]);
        }
    }
}

// A record with h = 0 (version 0) or Z = 0 divides by zero: the image positions are defined
// (INT32_MIN), nothing traps.
TEST(DecodeWorkedExamples, DivisionByZeroGivesDefinedPositions) {
    SFrame f;
    f.SetPoint(0, 0, -2048, 5, 7);
    SDecodeCall call;
    call.eConv = KX_CONV_DISPARITY;
    call.nRightOffset = 5;
    SOutput out(0, 1);
    const int n = call.Run(f, out);
    ASSERT_EQ(1, n);  // z = +inf is not below 0
    EXPECT_EQ(INT32_MIN, Pixels0(out)[0].nLeftCol);
    EXPECT_EQ(INT32_MIN, Pixels0(out)[0].nLeftRow);
    EXPECT_EQ(INT32_MIN + 5, Pixels0(out)[0].nRightCol);
}

TEST(DecodeBadInput, WritesNothingAndReturnsZero) {
    SFrame f;
    for (int i = 0; i < 2048; ++i) f.SetPoint(i, 256, 100000, 0, 0);
    SOutput out(0, 2048, 0x5A);
    const std::vector<uint8_t> before = out.points;
    SKxLaserResultAfterProcParam p;
    const uint8_t* r = f.bytes.data();
    uint8_t* a = out.points.data();
    uint8_t* b = out.pixels.data();
    EXPECT_EQ(0, DecodeLaserPoints(7, r, 10, nullptr, 0, p, KX_CONV_THOUSANDTHS, 0, nullptr, 0, 0, 0, a, b));
    EXPECT_EQ(0, DecodeLaserPoints(-1, r, 10, nullptr, 0, p, KX_CONV_THOUSANDTHS, 0, nullptr, 0, 0, 0, a, b));
    EXPECT_EQ(0, DecodeLaserPoints(0, r, 0, nullptr, 0, p, KX_CONV_THOUSANDTHS, 0, nullptr, 0, 0, 0, a, b));
    EXPECT_EQ(0, DecodeLaserPoints(0, r, 2049, nullptr, 0, p, KX_CONV_THOUSANDTHS, 0, nullptr, 0, 0, 0, a, b));
    EXPECT_EQ(0, DecodeLaserPoints(0, nullptr, 10, nullptr, 0, p, KX_CONV_THOUSANDTHS, 0, nullptr, 0, 0, 0, a, b));
    EXPECT_EQ(0, DecodeLaserPoints(0, r, 10, nullptr, 0, p, KX_CONV_THOUSANDTHS, 0, nullptr, 0, 0, 0, nullptr, b));
    EXPECT_EQ(0, DecodeLaserPoints(0, r, 10, nullptr, 0, p, static_cast<EKxCoordConversion>(5), 0, nullptr, 0, 0,
                                   0, a, b));
    EXPECT_EQ(before, out.points);
    // The whole area: all 2048 records.
    EXPECT_EQ(2048, DecodeLaserPoints(0, r, 2048, nullptr, 0, p, KX_CONV_THOUSANDTHS, 0, nullptr, 0, 0, 0, a, b));
}

TEST(DecodeFormats, SizesAndConversions) {
    const uint32_t anBlock[7] = {106496, 57344, 65536, 65536, 65536, 98304, 98304};
    for (int nFormat = 0; nFormat <= 6; ++nFormat) EXPECT_EQ(anBlock[nFormat], KxOutputBlockSize(nFormat));
    EXPECT_EQ(0u, KxOutputBlockSize(7));
    EXPECT_EQ(0u, KxOutputBlockSize(-1));
    EKxCoordConversion e = KX_CONV_THOUSANDTHS;
    ASSERT_TRUE(KxConversionOfVersion(0, &e));
    EXPECT_EQ(KX_CONV_DISPARITY, e);
    for (uint32_t v = 1; v <= 8; ++v) {
        ASSERT_TRUE(KxConversionOfVersion(v, &e));
        EXPECT_EQ(KX_CONV_THOUSANDTHS, e);
    }
    EXPECT_FALSE(KxConversionOfVersion(9, &e));
}

// ---------------------------------------------------------------------------------------------
// Every format, both conversions and every parameter switch against the scalar reference, byte
// for byte (bytes that are not written included).

namespace {

// Parameters: format, instruction-set level of the decoder (levels the processor lacks are
// skipped; every level must give the reference's bytes).
class DecodeVersusReference : public ::testing::TestWithParam<std::tuple<int, int>> {
protected:
    std::mt19937 rng{12345u + static_cast<unsigned>(std::get<0>(GetParam()))};

    void SetUp() override {
        const int nLevel = std::get<1>(GetParam());
        if (KxDecodeLevelLimit(nLevel) != nLevel) GTEST_SKIP() << "level " << nLevel << " not on this processor";
    }
    void TearDown() override { KxDecodeLevelLimit(-1); }

    uint32_t U32() { return rng(); }
    int Int(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }
    double Real(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); }
    bool Chance(double p) { return std::bernoulli_distribution(p)(rng); }

    SFrame RandomFrame(bool bDisparity, int nCount) {
        SFrame f;
        for (int i = 0; i < nCount; ++i) {
            if (Chance(0.03)) {  // arbitrary bytes now and then
                f.SetRecord(i, static_cast<int32_t>(U32()), U32(), U32(), U32());
                continue;
            }
            int32_t h = Int(-40000, 40000);
            if (Chance(0.02)) h = 0;
            int64_t z, y, x;
            if (bDisparity) {
                // values near -2 * h * coordinate
                z = -static_cast<int64_t>(h) * Int(-50, 400);
                y = static_cast<int64_t>(h) * Int(-300, 300);
                x = static_cast<int64_t>(h) * Int(-300, 300);
                z = std::max<int64_t>(-0x7FFFFFFF, std::min<int64_t>(0x7FFFFFFF, z));
            } else {
                z = Int(-50000, 2000000);
                y = Int(-600000, 600000);
                x = Int(-600000, 600000);
            }
            if (Chance(0.02)) z = 0;
            f.SetPoint(i, h, z, y, x);
        }
        return f;
    }

    SKxLaserResultAfterProcParam RandomParam() {
        SKxLaserResultAfterProcParam p;
        p.bTransform = Chance(0.5);
        if (p.bTransform) {
            const double a = Real(-3.2, 3.2);
            const double rot[9] = {std::cos(a), -std::sin(a), Real(-0.1, 0.1), std::sin(a), std::cos(a),
                                   Real(-0.1, 0.1), Real(-0.1, 0.1), Real(-0.1, 0.1), Real(0.5, 1.5)};
            std::memcpy(p.adRotate, rot, sizeof rot);
            p.dRefZ = Real(-100, 2000);
            p.dScaleZ = Real(-2, 2);
            p.dRefX = Real(-300, 300);
            p.dRefXRange = Chance(0.2) ? 1e9 : Real(0, 600);
        }
        static const int32_t s_anBits[6] = {0x1, 0x2, 0x10, 0x20, 0x100, 0x200};
        p.nFilterFlags = 0;
        if (Chance(0.7))
            for (int32_t b : s_anBits)
                if (Chance(0.4)) p.nFilterFlags |= b;
        auto bounds = [&](double& lo, double& hi, double s) {
            lo = Real(-s, s);
            hi = lo + Real(0, s);
        };
        bounds(p.dYMin, p.dYMax, 400);
        bounds(p.dZMin, p.dZMax, 1500);
        bounds(p.dXMin, p.dXMax, 400);
        p.dXOffset = Chance(0.5) ? 0.0 : Real(-50, 50);
        p.nMirrorY = Chance(0.4) ? 1 : (Chance(0.2) ? 2 : 0);
        p.nStep = Chance(0.5) ? 1 : Int(-1, 5);
        return p;
    }
};

}  // namespace

TEST_P(DecodeVersusReference, BitIdenticalOnGeneratedFrames) {
    const int nFormat = std::get<0>(GetParam());
    int nKeptTotal = 0, nSampledTotal = 0;
    for (int nFrame = 0; nFrame < 60; ++nFrame) {
        const bool bDisparity = nFrame % 2 == 1;
        const int nCount = nFrame < 4 ? 2048 : Int(1, 2048);
        const SFrame f = RandomFrame(bDisparity, nCount);
        SDecodeCall call;
        call.nFormat = nFormat;
        call.nCount = nCount;
        call.eConv = bDisparity ? KX_CONV_DISPARITY : KX_CONV_THOUSANDTHS;
        call.param = nFrame < 2 ? SKxLaserResultAfterProcParam() : RandomParam();
        if (Chance(0.5)) {
            float lo = static_cast<float>(Real(-10, 200));
            for (int k = Int(1, 6); k > 0; --k) {
                const float hi = lo + static_cast<float>(Real(0, 400));
                call.comp.push_back({lo, hi, static_cast<float>(Real(-3, 3))});
                lo = static_cast<float>(Real(-10, 1500));
            }
        }
        call.nRightOffset = Int(-300, 300);
        if (Chance(0.7))
            for (double& d : call.adOffset) d = Real(-20, 20);
        call.nColOrigin = U32() & 0x3FFFFF;
        call.nRowOrigin = U32() & 0x3FFFFF;
        call.nFocal = U32() & 0x1FFFFFF;

        SOutput mine(nFormat, nCount), ref(nFormat, nCount);
        const int n = call.Run(f, mine);
        const int nRef = call.RunReference(f, ref);
        ASSERT_EQ(nRef, n) << "frame " << nFrame;
        nKeptTotal += n;
        nSampledTotal += (nCount - 1) / std::max(1, call.param.nStep) + 1;
        const size_t nPoint = KxPointRecordSize(nFormat) * n, nPixel = KxPixelRecordSize(nFormat) * n;
        ASSERT_EQ(0, std::memcmp(ref.points.data(), mine.points.data(), nPoint)) << "frame " << nFrame;
        ASSERT_EQ(0, std::memcmp(ref.pixels.data(), mine.pixels.data(), nPixel)) << "frame " << nFrame;
        // Nothing is written past the records returned, dropped points included.
        ASSERT_TRUE(std::all_of(mine.points.begin() + nPoint, mine.points.end(), [](uint8_t b) { return b == 0xA5; }))
            << "frame " << nFrame;
        ASSERT_TRUE(std::all_of(mine.pixels.begin() + nPixel, mine.pixels.end(), [](uint8_t b) { return b == 0xA5; }))
            << "frame " << nFrame;
    }
    // The generated frames must exercise both roads: kept and dropped points.
    EXPECT_GT(nKeptTotal, nSampledTotal / 5);
    EXPECT_LT(nKeptTotal, nSampledTotal);
}

// Frames of plausible points where whole runs of records are kept (the common case of a real
// camera), with here and there a single dropped point, so that both ways of placing the kept
// records meet in one frame.
TEST_P(DecodeVersusReference, BitIdenticalWhenWholeRunsAreKept) {
    const int nFormat = std::get<0>(GetParam());
    static const int s_anCounts[] = {2048, 2047, 256, 257, 513, 1000};
    for (int nCase = 0; nCase < 12; ++nCase) {
        const bool bDisparity = nCase % 2 == 1;
        const int nCount = s_anCounts[nCase % 6];
        SFrame f;
        for (int i = 0; i < nCount; ++i) {
            const int32_t h = Int(20000, 90000);
            const int64_t z = Int(200000, 600000), y = Int(-300000, 300000), x = Int(-300000, 300000);
            const bool bDrop = nCase >= 6 && Chance(0.002);
            if (bDisparity) {
                // value = raw / h / -2: a negative raw gives a positive coordinate
                f.SetPoint(i, h, (bDrop ? 1 : -1) * (z / 1000) * 2 * h, -(y / 1000) * 2 * h, -(x / 1000) * 2 * h);
            } else {
                f.SetPoint(i, h, bDrop ? -z : z, y, x);
            }
        }
        SDecodeCall call;
        call.nFormat = nFormat;
        call.nCount = nCount;
        call.eConv = bDisparity ? KX_CONV_DISPARITY : KX_CONV_THOUSANDTHS;
        if (nCase % 3 == 2) {
            call.param.bTransform = true;
            const double rot[9] = {0.99, 0.01, 0.1, 0.0, 1.0, 0.0, -0.1, 0.0, 0.99};
            std::memcpy(call.param.adRotate, rot, sizeof rot);
            call.param.dRefZ = 900;
            call.param.dScaleZ = 1.5;
            call.param.dRefXRange = 1e6;
            call.param.nMirrorY = 1;
            call.param.dXOffset = 3.25;
            call.comp.push_back({0.0f, 400.0f, 0.5f});
        }
        call.nRightOffset = 17;
        call.adOffset[0] = 1.5;
        call.adOffset[2] = -0.25;
        call.nColOrigin = 768 * 1024;
        call.nRowOrigin = 1024 * 1024;
        call.nFocal = 1920 * 1024;

        SOutput mine(nFormat, nCount), ref(nFormat, nCount);
        const int n = call.Run(f, mine);
        ASSERT_EQ(call.RunReference(f, ref), n) << "case " << nCase;
        if (nCase < 6) {
            ASSERT_EQ(nCount, n) << "case " << nCase;
        }
        ASSERT_EQ(0, std::memcmp(ref.points.data(), mine.points.data(), KxPointRecordSize(nFormat) * n)) << "case " << nCase;
        ASSERT_EQ(0, std::memcmp(ref.pixels.data(), mine.pixels.data(), KxPixelRecordSize(nFormat) * n)) << "case " << nCase;
    }
}

// A long compensation table whose entries overlap, with points that take an entry near its end
// or none at all, and NaN coordinates (h = 0 in the disparity conversion) among them: the walk
// through the table must stop only when every kept point has its first matching entry.
TEST_P(DecodeVersusReference, LongCompensationTableAndNaNPoints) {
    const int nFormat = std::get<0>(GetParam());
    for (int nCase = 0; nCase < 4; ++nCase) {
        const bool bDisparity = nCase % 2 == 1;
        const int nCount = nCase < 2 ? 2048 : 300;
        SFrame f;
        for (int i = 0; i < nCount; ++i) {
            const int32_t h = i % 97 == 5 ? 0 : 25600;
            const int64_t z = 100000 + 997 * i;  // 100 mm up to about 2100 mm
            if (bDisparity) {
                f.SetPoint(i, h, -(z / 1000) * 2 * 25600, (i % 11) * 2 * 25600, -(i % 13) * 2 * 25600);
            } else {
                f.SetPoint(i, h, z, (i % 11) * 1000, -(i % 13) * 1000);
            }
        }
        SDecodeCall call;
        call.nFormat = nFormat;
        call.nCount = nCount;
        call.eConv = bDisparity ? KX_CONV_DISPARITY : KX_CONV_THOUSANDTHS;
        // 60 entries of 30 mm from 100 mm, each overlapped by the next one; the last ends at
        // 1900 mm, so the deepest points take none.
        for (int k = 0; k < 60; ++k)
            call.comp.push_back({100.0f + 30.0f * k, 145.0f + 30.0f * k, 0.125f * static_cast<float>(k % 7) - 0.375f});
        call.comp.back().fTo = 1900.0f;
        if (nCase >= 2) {
            call.param.nFilterFlags = c_nKxFilterYOutside | c_nKxFilterZInside | c_nKxFilterXInside;
            call.param.dYMin = 2.0;
            call.param.dYMax = 4.0;
            call.param.dZMin = 150.0;
            call.param.dZMax = 1000.0;
            call.param.dXMin = -12.5;
            call.param.dXMax = 6.5;
            call.param.nMirrorY = 1;
        }
        call.nFocal = 1920 * 1024;
        SOutput mine(nFormat, nCount), ref(nFormat, nCount);
        const int n = call.Run(f, mine);
        ASSERT_EQ(call.RunReference(f, ref), n) << "case " << nCase;
        ASSERT_GT(n, nCount / 4) << "case " << nCase;
        ASSERT_EQ(0, std::memcmp(ref.points.data(), mine.points.data(), KxPointRecordSize(nFormat) * n)) << "case " << nCase;
        ASSERT_EQ(0, std::memcmp(ref.pixels.data(), mine.pixels.data(), KxPixelRecordSize(nFormat) * n)) << "case " << nCase;
    }
}

INSTANTIATE_TEST_SUITE_P(AllFormats, DecodeVersusReference,
                         ::testing::Combine(::testing::Range(0, 7), ::testing::Range(0, 3)),
                         [](const ::testing::TestParamInfo<std::tuple<int, int>>& info) {
                             return "format" + std::to_string(std::get<0>(info.param)) + "_level" +
                                    std::to_string(std::get<1>(info.param));
                         });

// The level limit answers the level in use: never above the request, back to the widest with -1.
TEST(DecodeFormats, LevelLimit) {
    const int nHighest = KxDecodeLevelLimit(-1);
    EXPECT_GE(nHighest, 0);
    EXPECT_LE(nHighest, 2);
    for (int n = 0; n <= 3; ++n) EXPECT_EQ(std::min(n, nHighest), KxDecodeLevelLimit(n));
    EXPECT_EQ(nHighest, KxDecodeLevelLimit(-1));
}

// Formats 2, 3 and 4 share one layout and produce the same bytes.
TEST(DecodeFormats, TwoThreeFourAreIdentical) {
    SFrame f;
    for (int i = 0; i < 100; ++i) f.SetPoint(i, 300 + i, 100000 + i * 37, i * 11 - 500, 700 - i * 13);
    std::vector<uint8_t> first;
    for (int nFormat = 2; nFormat <= 4; ++nFormat) {
        SDecodeCall call;
        call.nFormat = nFormat;
        call.nCount = 100;
        SOutput out(nFormat, 100);
        ASSERT_EQ(100, call.Run(f, out));
        std::vector<uint8_t> all = out.points;
        all.insert(all.end(), out.pixels.begin(), out.pixels.end());
        if (first.empty()) first = all;
        EXPECT_EQ(first, all) << nFormat;
    }
}
