// kxeye align on the embedded virtual camera: the default camera comes out at the default pose;
// what cannot be aligned is named with its reason and writes nothing.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>

#include <nlohmann/json.hpp>

#include "kxeye_run.h"
#include "kxeyealign.h"

namespace {

using ::testing::HasSubstr;

class KxEyeAlign : public KxEyeRunTest {};

TEST_F(KxEyeAlign, TheDefaultCameraComesOutAtTheDefaultPose) {
    const std::string strFile = (m_dir / "align.json").string();
    const SKxEyeRun run = Kxeye({"align", "virtual:0", "--out", strFile});
    ASSERT_EQ(0, run.nExit) << run.strOut << run.strErr;
    EXPECT_THAT(run.strOut, HasSubstr("camera virtual:0 (serial VC000001): residual "));
    EXPECT_THAT(run.strOut, HasSubstr("alignment: " + strFile + " (1 camera)"));
    std::vector<SKxEyeCameraPose> vecPoses;
    std::string strReason;
    ASSERT_TRUE(LoadAlignFile(strFile, &vecPoses, &strReason)) << strReason;
    ASSERT_EQ(1u, vecPoses.size());
    const SKxEyeCameraPose& p = vecPoses[0];
    EXPECT_EQ("virtual:0", p.camera);
    EXPECT_EQ("VC000001", p.serial);
    const double r[9] = {0, 1, 0, 1, 0, 0, 0, 0, -1};
    for (int k = 0; k < 9; ++k) EXPECT_NEAR(r[k], p.r[k], 1e-4) << "r" << k;
    EXPECT_NEAR(0, p.t[0], 0.05);
    EXPECT_NEAR(0, p.t[1], 0.2);
    EXPECT_NEAR(400, p.t[2], 0.05);
    EXPECT_LE(p.residual, 0.2);
    EXPECT_GT(p.pointsUsed, 10000u);
}

// The pairs of docs/multi-camera.md: each camera's pose comes back as its pose key says.
TEST_F(KxEyeAlign, TheFacingAndTheSideBySidePairComeOutAtTheirPoses) {
    struct SCam {
        double x, z, roll;
    };
    struct SCase {
        const char* pszName;
        const char* pszCameras;
        std::vector<std::string> vecExtra;
        SCam a[2];
        double dTolMm;
    };
    const SCase aCases[] = {
        {"facing", R"([{"pose": {"x": -272, "z": 350, "roll": -30}}, {"pose": {"x": 132, "z": 350, "roll": 30}}])",
         {"--stagger", "2000"}, {{-272, 350, -30}, {132, 350, 30}}, 0.05},
        // A narrow top: the roll is looser, so the place too (docs/multi-camera.md).
        {"side by side", R"([{"pose": {"x": -230}}, {"pose": {"x": 90}}])", {}, {{-230, 400, 0}, {90, 400, 0}}, 0.5},
    };
    for (const SCase& c : aCases) {
        const std::string strFile = (m_dir / "align.json").string();
        std::vector<std::string> vecArgs = {"align", "virtual:0", "virtual:1", "--out", strFile};
        vecArgs.insert(vecArgs.end(), c.vecExtra.begin(), c.vecExtra.end());
        const SKxEyeRun run = Kxeye(vecArgs, c.pszCameras);
        ASSERT_EQ(0, run.nExit) << c.pszName << "\n" << run.strOut << run.strErr;
        std::vector<SKxEyeCameraPose> vecPoses;
        std::string strReason;
        ASSERT_TRUE(LoadAlignFile(strFile, &vecPoses, &strReason)) << strReason;
        ASSERT_EQ(2u, vecPoses.size());
        for (size_t i = 0; i < 2; ++i) {
            const SKxEyeCameraPose& p = vecPoses[i];
            const double dRoll = c.a[i].roll * M_PI / 180;
            const double r[9] = {0, std::cos(dRoll), -std::sin(dRoll), 1, 0, 0, 0, -std::sin(dRoll), -std::cos(dRoll)};
            for (int k = 0; k < 9; ++k) EXPECT_NEAR(r[k], p.r[k], 0.004) << c.pszName << " camera " << i << " r" << k;
            EXPECT_NEAR(c.a[i].x, p.t[0], c.dTolMm) << c.pszName << " camera " << i;
            EXPECT_NEAR(0, p.t[1], 0.2) << c.pszName << " camera " << i;
            EXPECT_NEAR(c.a[i].z, p.t[2], c.dTolMm) << c.pszName << " camera " << i;
            EXPECT_LE(p.residual, 0.2) << c.pszName << " camera " << i;
        }
        std::filesystem::remove(strFile);
    }
}

TEST_F(KxEyeAlign, WhatCannotBeAlignedIsNamedAndNothingIsWritten) {
    const std::string strFile = (m_dir / "align.json").string();
    const std::string strTarget = (m_dir / "target.json").string();
    std::ofstream(strTarget) << R"({"shape": "box", "length": 140, "width": 100})";
    struct SCase {
        std::vector<std::string> vecArgs;
        int nExit;
        const char* pszOut;
        const char* pszErr;
    };
    const std::vector<SCase> vecCases = {
        // Too short a scan for a whole box to pass.
        {{"align", "virtual:0", "--travel", "30", "--out", strFile}, 1,
         "camera virtual:0: not aligned: no box 140.0 x 100.0 x 30.0 mm in view", "not written"},
        {{"align", "virtual:0", "--target", strTarget, "--out", strFile}, 2, "",
         "kxeye: --target " },
        {{"align", "virtual:0", "virtual:0", "--out", strFile}, 2, "", "camera \"virtual:0\" is named twice"},
        {{"align", "virtual:0", "virtual:3", "--travel", "30", "--out", strFile}, 1,
         "camera virtual:3: not aligned: cannot be opened", "not written"},
    };
    for (const SCase& c : vecCases) {
        const SKxEyeRun run = Kxeye(c.vecArgs);
        EXPECT_EQ(c.nExit, run.nExit) << c.vecArgs[2] << "\n" << run.strOut << run.strErr;
        EXPECT_THAT(run.strOut, HasSubstr(c.pszOut)) << c.vecArgs[2];
        EXPECT_THAT(run.strErr, HasSubstr(c.pszErr)) << c.vecArgs[2];
        EXPECT_FALSE(std::filesystem::exists(strFile)) << c.vecArgs[2];
    }
    // The target's fault is told.
    EXPECT_THAT(Kxeye({"align", "0", "--target", strTarget}).strErr, HasSubstr(strTarget + ": missing \"height\""));
    // --json: one object, the camera's reason in it.
    const SKxEyeRun run = Kxeye({"align", "virtual:0", "--travel", "30", "--out", strFile, "--json"});
    EXPECT_EQ(1, run.nExit);
    const nlohmann::json j = nlohmann::json::parse(run.strOut);
    EXPECT_TRUE(j["file"].is_null());
    ASSERT_EQ(1u, j["cameras"].size());
    EXPECT_EQ(false, j["cameras"][0]["aligned"]);
    EXPECT_THAT(j["cameras"][0]["reason"].get<std::string>(), HasSubstr("no box 140.0 x 100.0 x 30.0 mm in view"));
    EXPECT_EQ(140.0, j["target"]["length"]);
}

}  // namespace
