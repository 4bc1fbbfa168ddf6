// The alignment file: what the writer writes the reader takes back; every fault of a file is
// refused with its reason; the after-processing record of a pose; picking a camera's pose.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "kxeyealign.h"

namespace {

using ::testing::HasSubstr;

class AlignFile : public ::testing::Test {
protected:
    void SetUp() override {
        char sz[] = "/tmp/kxeye-align-XXXXXX";
        ASSERT_NE(mkdtemp(sz), nullptr);
        m_strDir = sz;
    }
    void TearDown() override {
        std::remove(Path().c_str());
        rmdir(m_strDir.c_str());
    }
    std::string Path() const { return m_strDir + "/align.json"; }
    std::string Write(const std::string& text) {
        std::ofstream(Path(), std::ios::binary) << text;
        return Path();
    }
    std::string m_strDir;
};

SKxEyeCameraPose DefaultPose() {
    SKxEyeCameraPose p;
    p.camera = "virtual:0";
    p.serial = "VC000001";
    const double r[9] = {0, 1, 0, 1, 0, 0, 0, 0, -1};
    std::copy(r, r + 9, p.r);
    p.t[2] = 400;
    p.residual = 0.05;
    p.pointsUsed = 1234;
    return p;
}

// A pose rolled by a degrees about the travel, as a camera on the belt has.
SKxEyeCameraPose RolledPose(const std::string& camera, const std::string& serial, double dDeg) {
    SKxEyeCameraPose p;
    p.camera = camera;
    p.serial = serial;
    const double c = std::cos(dDeg * M_PI / 180), s = std::sin(dDeg * M_PI / 180);
    const double r[9] = {0, c, s, 1, 0, 0, 0, s, -c};
    std::copy(r, r + 9, p.r);
    p.t[0] = 150.25;
    p.t[1] = -3.5;
    p.t[2] = 380.125;
    p.residual = 0.125;
    p.pointsUsed = 99;
    return p;
}

TEST_F(AlignFile, WhatIsWrittenIsReadBackExactly) {
    const std::vector<SKxEyeCameraPose> vecPoses = {DefaultPose(), RolledPose("192.0.2.11", "EM000002", -37.0)};
    Write(KxEyeAlignFileText(KxEyeSceneTarget(), vecPoses));
    std::vector<SKxEyeCameraPose> vecRead;
    std::string strReason;
    ASSERT_TRUE(LoadAlignFile(Path(), &vecRead, &strReason)) << strReason;
    ASSERT_EQ(2u, vecRead.size());
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(vecPoses[i].camera, vecRead[i].camera);
        EXPECT_EQ(vecPoses[i].serial, vecRead[i].serial);
        for (int k = 0; k < 9; ++k) EXPECT_EQ(vecPoses[i].r[k], vecRead[i].r[k]) << i << " r" << k;
        for (int k = 0; k < 3; ++k) EXPECT_EQ(vecPoses[i].t[k], vecRead[i].t[k]) << i << " t" << k;
        EXPECT_EQ(vecPoses[i].residual, vecRead[i].residual);
        EXPECT_EQ(vecPoses[i].pointsUsed, vecRead[i].pointsUsed);
    }
    // The file names its kind, units and frame.
    std::ifstream in(Path());
    const std::string strText((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_THAT(strText, HasSubstr("\"format\": \"kxeye-align\""));
    EXPECT_THAT(strText, HasSubstr("\"world\": \"X across the belt, Y along the travel, Z up\""));
    EXPECT_THAT(strText, HasSubstr("\"residual_mm\": 0.05"));
}

TEST_F(AlignFile, EveryFaultIsRefusedWithItsReason) {
    const std::string strHead = R"({"format": "kxeye-align", "version": 1, "units": "mm", "cameras": [)";
    const std::string strCam = R"({"camera": "virtual:0", "serial": "VC000001", "translation": [0, 0, 400], )";
    struct SCase {
        std::string strText;
        std::string strReason;
    };
    const std::vector<SCase> vecCases = {
        {R"({"format": "kxeye-align", "version": 1, "cameras": [})", "not valid JSON"},
        {"[1, 2]", "must be a JSON object"},
        {R"({"format": "kxeye-transform", "version": 1, "cameras": []})", "not an alignment file"},
        {R"({"format": "kxeye-align", "version": 2, "cameras": []})", ".version: must be 1 (got 2)"},
        {R"({"format": "kxeye-align", "version": 1, "units": "inch", "cameras": []})", ".units: must be \"mm\""},
        {R"({"format": "kxeye-align", "version": 1, "camera": []})", ": unknown key \"camera\""},
        {R"({"format": "kxeye-align", "version": 1, "cameras": []})", ".cameras: must be a list of at least one"},
        {strHead + R"({"camera": "virtual:0", "rotation": [0,1,0,1,0,0,0,0,-1], "translation": [0,0,400]}]})",
         ".cameras[0]: missing \"serial\""},
        {strHead + R"({"camera": "virtual:0", "serial": "A", "rotation": [0,1,0,1,0,0,0,0,-1]}]})",
         ".cameras[0]: missing \"translation\""},
        {strHead + strCam + R"("rotation": [0,1,0,1,0,0,0,0]}]})", ".cameras[0].rotation: must be 9 numbers"},
        {strHead + strCam + R"("rotation": [0,1,0,1,0,0,0,0,"-1"]}]})", ".cameras[0].rotation: must be 9 numbers"},
        // Scaled by 1.0005: not orthonormal.
        {strHead + strCam + R"("rotation": [0,1.0005,0,1.0005,0,0,0,0,-1.0005]}]})",
         ".cameras[0].rotation: not a rotation: its rows are not orthonormal"},
        // Z not negated: a mirror.
        {strHead + strCam + R"("rotation": [0,1,0,1,0,0,0,0,1]}]})", ".cameras[0].rotation: not a rotation: a mirror"},
        // The camera's X to W's X: the camera would stand across the belt.
        {strHead + strCam + R"("rotation": [1,0,0,0,1,0,0,0,1]}]})",
         ".cameras[0].rotation: maps the camera's X (the travel) to (1.0000, 0.0000, 0.0000), 90.00 degrees from W's Y"},
        // Yawed by 5 degrees about W's Z.
        {strHead + strCam +
             R"("rotation": [0.0871557427,0.9961946981,0,0.9961946981,-0.0871557427,0,0,0,-1]}]})",
         "5.00 degrees from W's Y"},
        {strHead + R"({"camera": "virtual:0", "serial": "A", "rotation": [0,1,0,1,0,0,0,0,-1], "translation": [0,0]}]})",
         ".cameras[0].translation: must be 3 numbers"},
        {strHead + strCam + R"("rotation": [0,1,0,1,0,0,0,0,-1], "residual_mm": -1}]})",
         ".cameras[0].residual_mm: must be a number from 0"},
        {strHead + strCam + R"("rotation": [0,1,0,1,0,0,0,0,-1], "points_used": 1.5}]})",
         ".cameras[0].points_used: must be a whole number"},
        {strHead + strCam + R"("rotation": [0,1,0,1,0,0,0,0,-1], "roll": 3}]})", ".cameras[0]: unknown key \"roll\""},
        {strHead + R"({"camera": "", "serial": "A", "rotation": [0,1,0,1,0,0,0,0,-1], "translation": [0,0,400]}]})",
         ".cameras[0].camera: must not be empty"},
        {strHead + strCam + R"("rotation": [0,1,0,1,0,0,0,0,-1]}, )" + strCam +
             R"("rotation": [0,1,0,1,0,0,0,0,-1]}]})",
         ".cameras[1]: camera \"virtual:0\" is also"},
        {strHead + strCam + R"("rotation": [0,1,0,1,0,0,0,0,-1]}, )" +
             R"({"camera": "virtual:1", "serial": "vc000001", "translation": [0, 0, 400], "rotation": [0,1,0,1,0,0,0,0,-1]}]})",
         ".cameras[1]: serial \"vc000001\" is also"},
        {R"({"format": "kxeye-align", "version": 1, "target": {"shape": "ball"}, "cameras": []})",
         ".target.shape: must be \"box\""},
    };
    for (const SCase& c : vecCases) {
        Write(c.strText);
        std::vector<SKxEyeCameraPose> vecRead = {DefaultPose()};
        std::string strReason;
        EXPECT_FALSE(LoadAlignFile(Path(), &vecRead, &strReason)) << c.strText;
        EXPECT_THAT(strReason, HasSubstr(c.strReason)) << c.strText;
        EXPECT_THAT(strReason, HasSubstr(Path())) << c.strText;
        EXPECT_EQ(1u, vecRead.size()) << "a refused file leaves the list alone: " << c.strText;
    }
    std::vector<SKxEyeCameraPose> vecRead;
    std::string strReason;
    EXPECT_FALSE(LoadAlignFile(m_strDir + "/missing.json", &vecRead, &strReason));
    EXPECT_THAT(strReason, HasSubstr("cannot read " + m_strDir + "/missing.json: No such file or directory"));
}

TEST_F(AlignFile, AHandWrittenMinimalFileIsTaken) {
    // Four decimals of a 30 degree roll; no residual, no target.
    Write(R"({"format": "kxeye-align", "version": 1, "cameras": [{"camera": "1", "serial": "",
              "rotation": [0, 0.866, 0.5, 1, 0, 0, 0, 0.5, -0.866], "translation": [10, 0, 390]}]})");
    std::vector<SKxEyeCameraPose> vecRead;
    std::string strReason;
    ASSERT_TRUE(LoadAlignFile(Path(), &vecRead, &strReason)) << strReason;
    ASSERT_EQ(1u, vecRead.size());
    EXPECT_EQ(0.866, vecRead[0].r[1]);
    EXPECT_EQ(0.0, vecRead[0].residual);
}

// The record maps a camera point c to w = R c + t (t.y left to the travel), through the decode's
// own formula: X' = r0·c + dXOffset, Y' = r1·c, Z' = (dRefZ - r2·c) · dScaleZ.
TEST(AlignAfterProc, TheRecordAppliesThePose) {
    for (double dRoll : {0.0, 30.0, -45.0}) {
        const SKxEyeCameraPose p = RolledPose("0", "S", dRoll);
        SKxLaserResultAfterProcParam param;
        param.nStep = 3;
        param.nFilterFlags = c_nKxFilterZInside;
        param.dZMax = 77;
        double dTravel = 0;
        PoseToAfterProc(p, &param, &dTravel);
        EXPECT_TRUE(param.bTransform);
        EXPECT_EQ(p.t[1], dTravel);
        EXPECT_EQ(0.0, param.dRefX);
        EXPECT_GE(param.dRefXRange, 1e9);
        // Fields beyond the transform stay as the caller set them.
        EXPECT_EQ(3, param.nStep);
        EXPECT_EQ(c_nKxFilterZInside, param.nFilterFlags);
        EXPECT_EQ(77, param.dZMax);
        const double c[3] = {1.5, -80.0, 410.0};
        const double* a = param.adRotate;
        const double x = a[0] * c[0] + a[1] * c[1] + a[2] * c[2] + param.dXOffset;
        const double y = a[3] * c[0] + a[4] * c[1] + a[5] * c[2] + dTravel;
        const double z = (param.dRefZ - (a[6] * c[0] + a[7] * c[1] + a[8] * c[2])) * param.dScaleZ;
        const double w[3] = {x, y, z};
        for (int i = 0; i < 3; ++i) {
            const double dWant = p.r[3 * i] * c[0] + p.r[3 * i + 1] * c[1] + p.r[3 * i + 2] * c[2] + p.t[i];
            EXPECT_NEAR(dWant, w[i], 1e-9) << "roll " << dRoll << " axis " << i;
        }
    }
}

TEST(AlignFindPose, BySerialFirstThenByCameraText) {
    const std::vector<SKxEyeCameraPose> vecAll = {RolledPose("virtual:0", "VC000001", 0),
                                                  RolledPose("virtual:1", "VC000002", 30),
                                                  RolledPose("2", "", 45)};
    struct SCase {
        const char* pszCamera;
        const char* pszSerial;
        int nWant;  // index, -1 none
    };
    const SCase aCases[] = {
        {"virtual:0", "VC000001", 0},
        {"virtual:0", "vc000002", 1},  // the serial wins over the text; case ignored
        {"virtual:1", "", 1},
        {"virtual:1", "NOPE", 1},      // an unknown serial falls back to the text
        {"2", "", 2},
        {"3", "", -1},
        {"", "", -1},                  // an empty serial matches no empty serial
    };
    for (const SCase& c : aCases) {
        const SKxEyeCameraPose* p = FindPose(vecAll, c.pszCamera, c.pszSerial);
        if (c.nWant < 0) EXPECT_EQ(nullptr, p) << c.pszCamera << " " << c.pszSerial;
        else EXPECT_EQ(&vecAll[static_cast<size_t>(c.nWant)], p) << c.pszCamera << " " << c.pszSerial;
    }
}

TEST(AlignTarget, ATargetFileIsReadStrictly) {
    SKxEyeAlignTarget t;
    std::string strReason;
    ASSERT_TRUE(ParseAlignTarget(R"({"shape": "box", "length": 200, "width": 80.5, "height": 40})", "t.json", &t,
                                 &strReason))
        << strReason;
    EXPECT_EQ(200, t.dLength);
    EXPECT_EQ(80.5, t.dWidth);
    EXPECT_EQ(40, t.dHeight);
    EXPECT_EQ(0, t.dOriginX);
    EXPECT_EQ(0, t.dPeriod);
    ASSERT_TRUE(ParseAlignTarget(R"({"name": "jig", "shape": "box", "length": 50, "width": 50, "height": 10,
                                     "origin": [5, -7], "period": 500})",
                                 "t.json", &t, &strReason))
        << strReason;
    EXPECT_EQ("jig", t.name);
    EXPECT_EQ(-7, t.dOriginY);
    EXPECT_EQ(500, t.dPeriod);
    const std::pair<const char*, const char*> aBad[] = {
        {R"({"shape": "box", "length": 200, "width": 80})", "t.json: missing \"height\""},
        {R"({"shape": "box", "length": 0, "width": 80, "height": 40})", "t.json.length: must be a number from 1"},
        {R"({"shape": "box", "length": 200, "widht": 80, "height": 40})", "t.json: unknown key \"widht\""},
        {R"({"shape": "box", "length": "200", "width": 80, "height": 40})", "t.json.length: must be a number"},
        {R"({"shape": "box", "length": 200, "width": 80, "height": 40, "period": 100})",
         "t.json.period: must be 0 (none) or at least the length"},
        {R"({"shape": "box", "length": 200, "width": 80, "height": 40, "origin": [1]})", "t.json.origin: must be 2"},
        {R"({"length": 200, "width": 80, "height": 40})", "t.json: missing \"shape\""},
        {R"(box)", "t.json: not valid JSON"},
    };
    for (const auto& c : aBad) {
        EXPECT_FALSE(ParseAlignTarget(c.first, "t.json", &t, &strReason)) << c.first;
        EXPECT_THAT(strReason, HasSubstr(c.second)) << c.first;
    }
}

}  // namespace
