// Per-version time base, extended trailer, after-processing equality, export text and paths.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <sstream>
#include <string>

#include "kxlasereyeinnerutils.h"

TEST(TimeBase, EveryVersion) {
    struct Row {
        int nVersion;
        int32_t nCounter, nTimeStamp;
        double dTick;
    };
    const Row rows[] = {
        {0, 0, 2147483647, 8.5e-9}, {1, 0, 2147483647, 1e-8}, {2, 0, 2147483647, 1e-8},
        {3, 256, 8388607, 1e-6},    {4, 4096, 524287, 1e-5},  {5, 4096, 524287, 1e-5},
        {6, 4096, 524287, 1e-5},    {7, 4096, 536870911, 1e-5}, {8, 4096, 536870911, 1e-5},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.nVersion);
        EXPECT_EQ(r.nCounter, GetFrameCounterRange(r.nVersion));
        EXPECT_EQ(r.nTimeStamp, GetTimeStampRange(r.nVersion));
        EXPECT_EQ(r.dTick, GetTimeStampTick(r.nVersion));
        EXPECT_EQ(r.dTick, KxLaserEyeTimeBase[r.nVersion].dTickSeconds);
    }
}

TEST(TimeBase, VersionOutsideTableAnswersZero) {
    for (int v : {9, 100, -1}) {
        EXPECT_EQ(0, GetFrameCounterRange(v));
        EXPECT_EQ(0, GetTimeStampRange(v));
        EXPECT_EQ(0.0, GetTimeStampTick(v));
    }
}

namespace {
void PutRecord(uint8_t* p, uint32_t w0, uint32_t w1, uint32_t w2, uint32_t w3) {
    const uint32_t w[4] = {w0, w1, w2, w3};
    std::memcpy(p, w, 16);
}
}  // namespace

TEST(ExtendedTrailer, ConstantsByBitPattern) {
    EXPECT_EQ(503599612297216.0f, KxFloatFromBits(c_nKxInputScaleBits));
    EXPECT_EQ(3.1415925f, KxFloatFromBits(c_nKxPiBits));
}

TEST(ExtendedTrailer, KnownWords) {
    uint8_t rec[144];
    std::memset(rec, 0xEE, sizeof rec);  // words that are not read hold junk
    PutRecord(rec + 0, 3, 0, 0, 0x5800);               // level 1, edge, 5 + 0.5
    PutRecord(rec + 16, 2, 0, 0xFFFFFFFF, 0xFFFFF000);  // level 0, edge, -1
    PutRecord(rec + 32, 1, 1, 0, 0);                   // level 1, no edge, the scale itself
    PutRecord(rec + 48, 0, 0, 1, 0);                   // 2^32 / 4096 = 1048576
    PutRecord(rec + 64, 0xFFFFFFFC, 0, 0, 0x400);      // upper bits ignored; 0.25
    // Directions: word 3 of record 5, word 2 of record 6, word 1 of record 7.
    const uint32_t anDir[3] = {2147483648u, 0u, 1073741824u};
    std::memcpy(rec + 80 + 12, &anDir[0], 4);
    std::memcpy(rec + 96 + 8, &anDir[1], 4);
    std::memcpy(rec + 112 + 4, &anDir[2], 4);

    SKxInputInfo info[5];
    float afTilt[3] = {-1, -1, -1};
    DecodeExtendedTrailer(rec, info, afTilt);
    struct Expect {
        float fValue;
        int32_t nLevel;
        bool bEdge;
    };
    const Expect e[5] = {{5.5f, 1, true}, {-1.0f, 0, true}, {503599612297216.0f, 1, false},
                         {1048576.0f, 0, false}, {0.25f, 0, false}};
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(e[i].fValue, info[i].fInputValue);
        EXPECT_EQ(e[i].nLevel, info[i].nInputLevel);
        EXPECT_EQ(e[i].bEdge, info[i].bInputEdge);
    }
    EXPECT_EQ(0.0f, afTilt[0]);
    EXPECT_NEAR(90.0, afTilt[1], 1e-4);
    EXPECT_NEAR(60.0, afTilt[2], 1e-4);
}

// ---------------------------------------------------------------------------------------------

TEST(AfterProcParam, Defaults) {
    SKxLaserResultAfterProcParam p;
    EXPECT_FALSE(p.bTransform);
    for (double d : p.adRotate) EXPECT_EQ(0.0, d);
    EXPECT_EQ(0, p.nFilterFlags);
    EXPECT_EQ(0, p.nMirrorY);
    EXPECT_EQ(1, p.nStep);
    EXPECT_FALSE(p.bReserved1);
    EXPECT_TRUE(p.bReserved4);
    EXPECT_EQ(0.0, p.dXOffset);
    EXPECT_EQ(0.0, p.dAuxOffset);
}

TEST(AfterProcParam, IsEqual) {
    typedef SKxLaserResultAfterProcParam P;
    struct Case {
        const char* pszName;
        int32_t nFlags;  // filter flags of both records
        void (*change)(P&);
        bool bEqual;
    };
    const Case cases[] = {
        {"identical", 0x100, [](P&) {}, true},
        {"bReserved4 only", 0x100, [](P& p) { p.bReserved4 = false; }, true},
        {"dXMax by 1e-9 with 0x100", 0x100, [](P& p) { p.dXMax += 1e-9; }, true},
        {"dXMax by 1e-7 with 0x100", 0x100, [](P& p) { p.dXMax += 1e-7; }, false},
        {"dRefX by 1e-9", 0x100, [](P& p) { p.dRefX += 1e-9; }, true},
        {"dScaleZ by 1e-7", 0x100, [](P& p) { p.dScaleZ += 1e-7; }, false},
        {"dXOffset by 1e-6", 0x100, [](P& p) { p.dXOffset += 1e-6; }, false},
        {"dAuxOffset by 1e-6", 0x100, [](P& p) { p.dAuxOffset += 1e-6; }, false},
        {"rotation by the last bit", 0x100, [](P& p) { p.adRotate[4] = std::nextafter(1.0, 2.0); }, false},
        {"transform switch", 0x100, [](P& p) { p.bTransform = true; }, false},
        {"step", 0x100, [](P& p) { p.nStep = 2; }, false},
        {"mirror", 0x100, [](P& p) { p.nMirrorY = 1; }, false},
        {"bReserved1", 0x100, [](P& p) { p.bReserved1 = true; }, false},
        {"nReserved2", 0x100, [](P& p) { p.nReserved2 = 7; }, false},
        {"nReserved3", 0x100, [](P& p) { p.nReserved3 = 7; }, false},
        {"filter flags", 0x100, [](P& p) { p.nFilterFlags = 0x200; }, false},
        {"X bounds without filter bits", 0, [](P& p) { p.dXMax = 99; }, true},
        {"Y bounds with only X bits", 0x100, [](P& p) { p.dYMin = -5; }, true},
        // Every filtered axis counts, not only the first: a changed Z range with Y and Z
        // filters on must decode again.
        {"Z bounds with Y and Z bits", 0x11, [](P& p) { p.dZMax = 50; }, false},
        {"X bounds with Y, Z and X bits", 0x222, [](P& p) { p.dXMin = -11; }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszName);
        P a;
        a.nFilterFlags = c.nFlags;
        a.adRotate[4] = 1.0;
        a.dXMin = -10;
        a.dXMax = 10;
        P b = a;
        c.change(b);
        EXPECT_EQ(c.bEqual, a.IsEqual(b));
        EXPECT_EQ(c.bEqual, b.IsEqual(a));
    }
}

TEST(AfterProcParam, AssignmentCopiesEveryField) {
    SKxLaserResultAfterProcParam a, b;
    b.bReserved4 = false;
    b.nReserved3 = 9;
    b.dZMax = 3.5;
    a = b;
    EXPECT_FALSE(a.bReserved4);
    EXPECT_EQ(9, a.nReserved3);
    EXPECT_EQ(3.5, a.dZMax);
}

// ---------------------------------------------------------------------------------------------

TEST(Export, TextInDefaultNotation) {
    SKxLaserPoint3D0 pts[3] = {};
    pts[0].dX = -5.0, pts[0].dY = 0.0, pts[0].dZ = 100.0;
    pts[1].dX = 1234567.0, pts[1].dY = 0.1, pts[1].dZ = 1e-7;
    pts[2].dX = 3.14159265, pts[2].dY = -2.5, pts[2].dZ = 250.125;
    std::ostringstream os;
    KxWrite3DText(os, 96, 4000000000u, 14400, pts, 3);
    EXPECT_EQ("LeftPicROI_X:96\nRightPicROI_X:4000000000\nAngle:14400\n"
              "{-5,0,100}\n{1.23457e+06,0.1,1e-07}\n{3.14159,-2.5,250.125}\n",
              os.str());
}

TEST(Export, ComposedPathThatDoesNotFitIsRefused) {
    char sz[256];
    ASSERT_TRUE(KxComposeExportPath("/tmp", "frame", "_3D.txt", sz, sizeof sz));
    EXPECT_STREQ("/tmp/frame_3D.txt", sz);
    const std::string dir(255 - 1 - 5 - 7, 'd');  // exactly 255 characters in all
    ASSERT_TRUE(KxComposeExportPath(dir.c_str(), "frame", "_3D.txt", sz, sizeof sz));
    EXPECT_EQ(255u, std::strlen(sz));
    const std::string longer = dir + "d";
    EXPECT_FALSE(KxComposeExportPath(longer.c_str(), "frame", "_3D.txt", sz, sizeof sz));
    EXPECT_STREQ("", sz);
    EXPECT_FALSE(KxComposeExportPath(nullptr, "frame", "_3D.txt", sz, sizeof sz));
}
