// The X offset of the after-processing in the float formats is a single-precision addition:
// float(X) + float(dXOffset). The other reading, the offset added in double and the sum rounded
// once, gives a different float for these values; the double formats add in double.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "frame_builder.h"
#include "kxlasereyeinnerutils.h"

namespace {

// X = 1.234 mm and an offset of 5.55: the two readings differ in the last bit of the float.
const int32_t c_nRawX = 1234;  // thousandths of a millimetre
const double c_dXOffset = 5.55;

double DecodedX(int nFormat) {
    KxTestFrame::SFrame f;
    f.SetPoint(0, 256, 100000, 2000, c_nRawX);
    SKxLaserResultAfterProcParam param;
    param.dXOffset = c_dXOffset;
    const double adOffset[3] = {0, 0, 0};
    std::vector<uint8_t> points(KxPointRecordSize(nFormat) * 4, 0), pixels(KxPixelRecordSize(nFormat) * 4, 0);
    EXPECT_EQ(1, DecodeLaserPoints(nFormat, f.bytes.data(), 1, nullptr, 0, param, KX_CONV_THOUSANDTHS, 0,
                                   adOffset, 0, 0, 0, points.data(), pixels.data()));
    if (nFormat == 0) {
        SKxLaserPoint3D0 p;
        std::memcpy(&p, points.data(), sizeof(p));
        return p.dX;
    }
    if (nFormat == 6) {
        SKxLaserPoint3D p;
        std::memcpy(&p, points.data(), sizeof(p));
        return p.dX;
    }
    float fX = 0.0f;  // every float record starts with x
    std::memcpy(&fX, points.data(), sizeof(fX));
    return fX;
}

class XOffsetPrecision : public ::testing::TestWithParam<int> {};

}  // namespace

TEST_P(XOffsetPrecision, FloatFormatsAddTheOffsetInSingle) {
    const float fX = static_cast<float>(c_nRawX / 1000.0);
    const float fSingle = fX + static_cast<float>(c_dXOffset);
    const float fDouble = static_cast<float>(static_cast<double>(fX) + c_dXOffset);
    ASSERT_NE(fSingle, fDouble) << "the values no longer tell the two readings apart";
    EXPECT_EQ(static_cast<double>(fSingle), DecodedX(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Formats, XOffsetPrecision, ::testing::Values(1, 2, 3, 4, 5));

TEST(XOffsetPrecision, DoubleFormatsAddTheOffsetInDouble) {
    for (const int nFormat : {0, 6}) {
        EXPECT_EQ(c_nRawX / 1000.0 + c_dXOffset, DecodedX(nFormat)) << nFormat;
    }
}
