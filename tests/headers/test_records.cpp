// Record layouts that applications copy as raw bytes, and the after-processing equality rule.
#include <gtest/gtest.h>

#include <cstddef>

#include "kxlasereyedevice.h"
#include "kxkernel.h"

TEST(Records, SizesAndOffsets) {
    EXPECT_EQ(sizeof(SKxNLEyeDeviceInfoEx), 1084u);
    EXPECT_EQ(sizeof(SKxNetCardInfo), 284u);
    EXPECT_EQ(sizeof(SKxNLEthernetEyeConfigInfo), 336u);
    EXPECT_EQ(sizeof(SKxVideoResolution), 28u);
    EXPECT_EQ(offsetof(SKxNLEyeDeviceInfoEx, sVideoRes) + offsetof(SKxVideoResolution, nVersion), 520u);
    EXPECT_EQ(offsetof(SKxNLEyeDeviceInfoEx, szEyeIP), 656u);
    EXPECT_EQ(offsetof(SKxNLEyeDeviceInfoEx, szDestMAC), 706u);
    EXPECT_EQ(offsetof(SKxNetCardInfo, byGateway), 274u);
    EXPECT_EQ(sizeof(SKxGlobalSetting), 16u);
    EXPECT_EQ(offsetof(SKxGlobalSetting, bySearchPerCard), 5u);
    EXPECT_EQ(offsetof(SKxGlobalSetting, byExtendedTrailer), 6u);
    EXPECT_EQ(offsetof(SKxGlobalSetting, byCenterROI), 8u);
}

TEST(AfterProcParam, DefaultsAndEquality) {
    SKxLaserResultAfterProcParam a, b;
    EXPECT_EQ(a.nStep, 1);
    EXPECT_TRUE(a.bReserved4);
    EXPECT_FALSE(a.bTransform);
    b.bReserved4 = false;
    EXPECT_TRUE(a.IsEqual(b)) << "bReserved4 is not compared";

    struct Case {
        double dDelta;
        bool bEqual;
    } cases[] = {{1e-9, true}, {1e-7, false}};
    for (const Case& c : cases) {
        SKxLaserResultAfterProcParam x, y;
        x.nFilterFlags = y.nFilterFlags = c_nKxFilterXInside;
        x.dXMax = 5.0;
        y.dXMax = 5.0 + c.dDelta;
        EXPECT_EQ(x.IsEqual(y), c.bEqual) << c.dDelta;
    }
    // Bounds of axes whose flags are clear are not compared; the first flagged axis is.
    SKxLaserResultAfterProcParam y1, y2;
    y1.nFilterFlags = y2.nFilterFlags = c_nKxFilterYInside;
    y2.dZMax = 100.0;
    EXPECT_TRUE(y1.IsEqual(y2));
    y2.dYMin = -1.0;
    EXPECT_FALSE(y1.IsEqual(y2));
    // The rotation matrix is compared bit for bit.
    SKxLaserResultAfterProcParam r1, r2;
    r2.adRotate[4] = 1e-12;
    EXPECT_FALSE(r1.IsEqual(r2));
    r2 = r1;
    r2.nStep = 2;
    EXPECT_FALSE(r1.IsEqual(r2));
}
