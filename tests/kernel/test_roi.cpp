// ROI rules of the sensor: validity table and the moves FormatDetectROI makes.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "kxkernel.h"

namespace {

SKxVideoResolution Res(uint32_t w, uint32_t h) {
    SKxVideoResolution r;
    memset(&r, 0, sizeof(r));
    r.nFrameWidth = w;
    r.nFrameHeight = h;
    return r;
}

SKxNLROIRect Rect(int32_t l, int32_t r, int32_t t, int32_t b) {
    SKxNLROIRect x = {l, r, t, b};
    return x;
}

// x, y, width, height
SKxNLROIRect At(int32_t x, int32_t y, int32_t w, int32_t h) { return Rect(x, x + w, y, y + h); }

struct RoiCase {
    const char* pszWhat;
    uint32_t nW, nH;
    SKxNLROIRect left, right;
    int nExpected;
};

void PrintTo(const RoiCase& c, std::ostream* os) { *os << c.pszWhat; }

class RoiValidityTest : public ::testing::TestWithParam<RoiCase> {};

TEST_P(RoiValidityTest, Rule) {
    const RoiCase c = GetParam();
    EXPECT_EQ(c.nExpected, KxDetectUtils::IsValidDetectROI(c.left, c.right, Res(c.nW, c.nH), 0x122, NULL));
}

INSTANTIATE_TEST_SUITE_P(
    Table, RoiValidityTest,
    ::testing::Values(
        // Pairs the device and applications rely on.
        RoiCase{"open default 1280", 1280, 1024, Rect(0, 1280, 0, 896), Rect(0, 1280, 0, 896), 0},
        RoiCase{"open default 1536", 1536, 2048, Rect(0, 1536, 0, 1920), Rect(0, 1536, 0, 1920), 0},
        RoiCase{"600x1000 at 352 on 1280", 1280, 1024, At(352, 0, 600, 1000), At(352, 0, 600, 1000), 0},
        RoiCase{"600x1000 at 352 on 1536", 1536, 2048, At(352, 0, 600, 1000), At(352, 0, 600, 1000), 0},
        RoiCase{"300x1100 on 1536x2048", 1536, 2048, At(0, 0, 300, 1100), At(64, 0, 300, 1100), 0},
        RoiCase{"centred 620 at 320", 1280, 1024, At(320, 10, 620, 900), At(320, 20, 620, 900), 0},
        RoiCase{"minimum 64x8", 1280, 1024, At(1216, 1016, 64, 8), At(0, 0, 64, 8), 0},
        // One refusal each.
        RoiCase{"left empty", 1280, 1024, At(0, 0, 0, 100), At(0, 0, 0, 100), c_nKxRoiEmpty},
        RoiCase{"left inverted", 1280, 1024, Rect(640, 320, 0, 100), Rect(640, 320, 0, 100), c_nKxRoiEmpty},
        RoiCase{"right zero height", 1280, 1024, At(0, 0, 64, 8), At(0, 5, 64, 0), c_nKxRoiEmpty},
        RoiCase{"300x1100 on 1280x1024", 1280, 1024, At(0, 0, 300, 1100), At(0, 0, 300, 1100), c_nKxRoiOutside},
        RoiCase{"past right edge", 1280, 1024, At(1248, 0, 64, 100), At(1248, 0, 64, 100), c_nKxRoiOutside},
        RoiCase{"negative top", 1280, 1024, At(0, -1, 64, 100), At(0, -1, 64, 100), c_nKxRoiOutside},
        RoiCase{"negative left", 1280, 1024, At(-32, 0, 64, 100), At(-32, 0, 64, 100), c_nKxRoiOutside},
        RoiCase{"right ROI outside", 1280, 1024, At(0, 0, 64, 100), At(0, 1000, 64, 100), c_nKxRoiOutside},
        RoiCase{"huge edges no overflow", 1280, 1024, Rect(INT_MIN, INT_MAX, 0, 8), Rect(0, 64, 0, 8),
                c_nKxRoiOutside},
        RoiCase{"zero frame", 0, 0, At(0, 0, 64, 8), At(0, 0, 64, 8), c_nKxRoiOutside},
        RoiCase{"left edge 340", 1280, 1024, At(340, 0, 600, 100), At(352, 0, 600, 100), c_nKxRoiAlignLeft},
        RoiCase{"right ROI left edge 16", 1280, 1024, At(0, 0, 600, 100), At(16, 0, 600, 100), c_nKxRoiAlignLeft},
        RoiCase{"width 602", 1280, 1024, At(0, 0, 602, 100), At(0, 0, 602, 100), c_nKxRoiAlignWidth},
        RoiCase{"width 60", 1280, 1024, At(0, 0, 60, 100), At(0, 0, 60, 100), c_nKxRoiTooSmall},
        RoiCase{"height 7", 1280, 1024, At(0, 0, 64, 7), At(0, 0, 64, 7), c_nKxRoiTooSmall},
        RoiCase{"right narrower", 1280, 1024, At(0, 0, 600, 100), At(0, 0, 596, 100), c_nKxRoiSizeMismatch},
        RoiCase{"right lower", 1280, 1024, At(0, 0, 600, 100), At(0, 0, 600, 104), c_nKxRoiSizeMismatch}));

TEST(RoiCodes, AreDistinctAndNonZero) {
    const int codes[] = {c_nKxRoiEmpty, c_nKxRoiOutside, c_nKxRoiAlignLeft, c_nKxRoiAlignWidth,
                         c_nKxRoiSizeMismatch, c_nKxRoiTooSmall, c_nKxRoiNullArgument};
    const size_t n = sizeof(codes) / sizeof(codes[0]);
    for (size_t i = 0; i < n; ++i) {
        EXPECT_NE(0, codes[i]);
        for (size_t j = i + 1; j < n; ++j) EXPECT_NE(codes[i], codes[j]);
    }
}

struct FormatCase {
    const char* pszWhat;
    uint32_t nW, nH;
    SKxNLROIRect left, right;
    SKxNLROIRect wantLeft, wantRight;
};

void PrintTo(const FormatCase& c, std::ostream* os) { *os << c.pszWhat; }

class RoiFormatTest : public ::testing::TestWithParam<FormatCase> {};

TEST_P(RoiFormatTest, MovesOntoNearestValidPair) {
    const FormatCase c = GetParam();
    SKxNLROIRect l = c.left, r = c.right;
    const SKxVideoResolution res = Res(c.nW, c.nH);
    EXPECT_EQ(0, KxDetectUtils::FormatDetectROI(res, l, r, 1, 0x122, 0, NULL));
    EXPECT_EQ(0, KxDetectUtils::IsValidDetectROI(l, r, res, 0x122, NULL));
    EXPECT_EQ(0, memcmp(&c.wantLeft, &l, sizeof(l)))
        << "left " << l.left << "," << l.right << "," << l.top << "," << l.bottom;
    EXPECT_EQ(0, memcmp(&c.wantRight, &r, sizeof(r)))
        << "right " << r.left << "," << r.right << "," << r.top << "," << r.bottom;
}

INSTANTIATE_TEST_SUITE_P(
    Table, RoiFormatTest,
    ::testing::Values(
        FormatCase{"valid pair untouched", 1280, 1024, At(352, 0, 600, 1000), At(320, 0, 600, 1000),
                   At(352, 0, 600, 1000), At(320, 0, 600, 1000)},
        FormatCase{"remainder 16 down, 17 up", 1280, 1024, At(336, 0, 600, 100), At(369, 0, 600, 100),
                   At(320, 0, 600, 100), At(384, 0, 600, 100)},
        FormatCase{"right takes left size", 1280, 1024, At(0, 0, 256, 200), Rect(640, 1000, 50, 60),
                   At(0, 0, 256, 200), At(640, 50, 256, 200)},
        FormatCase{"width to multiple of 4 and minimum", 1280, 1024, At(0, 0, 30, 3), At(0, 0, 30, 3),
                   At(0, 0, 64, 8), At(0, 0, 64, 8)},
        FormatCase{"clamped inside at the right edge", 1280, 1024, At(1200, 900, 200, 300),
                   At(1250, 1000, 200, 300), At(1056, 724, 200, 300), At(1056, 724, 200, 300)},
        FormatCase{"negative edges clamped", 1280, 1024, At(-50, -20, 128, 64), At(-10, -5, 128, 64),
                   At(0, 0, 128, 64), At(0, 0, 128, 64)},
        FormatCase{"wider than frame", 1280, 1024, Rect(-100, 2000, 0, 2000), Rect(0, 5, 0, 5),
                   At(0, 0, 1280, 1024), At(0, 0, 1280, 1024)},
        FormatCase{"swing work distance", 1536, 2048, At(96, 0, 416, 1500), At(1120, 0, 416, 1500),
                   At(96, 0, 416, 1500), At(1120, 0, 416, 1500)}));

TEST(RoiFormat, FrameTooSmallIsRefused) {
    SKxNLROIRect l = At(0, 0, 64, 8), r = l;
    EXPECT_EQ(c_nKxRoiTooSmall, KxDetectUtils::FormatDetectROI(Res(32, 1024), l, r, 1, 0, 0, NULL));
    EXPECT_EQ(c_nKxRoiTooSmall, KxDetectUtils::FormatDetectROI(Res(0, 0), l, r, 1, 0, 0, NULL));
}

}  // namespace
