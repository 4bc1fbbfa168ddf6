// kxeye scan with several cameras: one cloud with a camera index per point, frames paired by the
// shared encoder, every camera's points placed by the alignment file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "kxeye_ply.h"
#include "kxeye_run.h"

namespace {

using SVertex = SKxEyePlyVertex;

bool ReadCameraPly(const std::string& strPath, std::vector<SVertex>& vec) {
    return KxEyeParseCameraPly(KxEyeReadFile(strPath), vec);
}

// Both cameras at the default pose: the world frame is the belt's (X across, Y along, Z up).
const char* const c_pszDefaultPoses = R"({"format": "kxeye-align", "version": 1, "units": "mm",
 "world": "X across the belt, Y along the travel, Z up",
 "cameras": [
  {"camera": "virtual:0", "serial": "", "rotation": [0,1,0, 1,0,0, 0,0,-1], "translation": [0,0,400], "residual_mm": 0, "points_used": 0},
  {"camera": "virtual:1", "serial": "", "rotation": [0,1,0, 1,0,0, 0,0,-1], "translation": [0,0,400], "residual_mm": 0, "points_used": 0}]})";

class KxEyeGroupScan : public KxEyeRunTest {};

}  // namespace

TEST_F(KxEyeGroupScan, TwoCamerasMakeOneAlignedCloudWithTheBoxAtItsSize) {
    const std::string strAlign = (m_dir / "align.json").string();
    std::ofstream(strAlign) << c_pszDefaultPoses;
    const std::string strOut = (m_dir / "both").string();
    // 8 s at 100 mm/s: a whole box passes wherever in the period the scan begins.
    const SKxEyeRun run = Kxeye({"scan", "virtual:0", "virtual:1", "--align", strAlign, "--seconds", "8", "--out",
                                 strOut, "--json"},
                                R"({"count": 2})");
    ASSERT_EQ(0, run.nExit) << run.strOut << run.strErr;
    const nlohmann::json j = nlohmann::json::parse(run.strOut);
    ASSERT_EQ(2u, j["cameras"].size());
    EXPECT_EQ("encoder", j["pairedBy"]);
    const uint64_t nGroups = j["groups"];
    for (const auto& c : j["cameras"]) {
        // Every frame in a group but the few around the start and the stop (and what a loaded
        // machine's scheduling costs the virtual cameras' pace: a few per cent at most).
        EXPECT_LE(c["unpaired"].get<uint64_t>(), 3u + c["frames"].get<uint64_t>() / 30) << c.dump();
        EXPECT_GE(nGroups + 3, c["frames"].get<uint64_t>() - c["unpaired"].get<uint64_t>());
    }
    // One camera period at most apart: 20 frames/s at 100 mm/s.
    EXPECT_LE(j["pairingSpread"]["max"].get<double>(), 5.01);

    std::vector<SVertex> vec;
    ASSERT_TRUE(ReadCameraPly(j["pointCloud"]["path"], vec));
    // The box top (30 mm up) of each camera: its extent along the travel and across, and where.
    for (uint8_t nCam = 0; nCam < 2; ++nCam) {
        std::vector<float> vecY, vecX;
        for (const SVertex& v : vec)
            if (v.nCamera == nCam && std::fabs(v.z - 30.0f) < 0.5f && v.x > -115 && v.x < -25) vecY.push_back(v.y);
        ASSERT_GT(vecY.size(), 1000u) << "camera " << int(nCam);
        std::sort(vecY.begin(), vecY.end());
        // The first whole run of box top along the travel.
        size_t nStart = 0;
        bool bWhole = false;
        for (size_t i = 1; i <= vecY.size() && !bWhole; ++i) {
            if (i < vecY.size() && vecY[i] - vecY[i - 1] < 20) continue;
            if (nStart > 0 && i < vecY.size()) {
                EXPECT_NEAR(vecY[i - 1] - vecY[nStart], 140.0, 6.0) << "camera " << int(nCam);
                bWhole = true;
            }
            nStart = i;
        }
        for (const SVertex& v : vec)
            if (v.nCamera == nCam && std::fabs(v.z - 30.0f) < 0.5f && v.y > vecY.front() + 10 && v.y < vecY.front() + 130)
                vecX.push_back(v.x);
        ASSERT_FALSE(vecX.empty());
        const auto [itMin, itMax] = std::minmax_element(vecX.begin(), vecX.end());
        EXPECT_NEAR(*itMax - *itMin, 100.0, 2.0) << "box width, camera " << int(nCam);
        EXPECT_NEAR((*itMax + *itMin) / 2, -70.0, 2.0) << "box centre across, camera " << int(nCam);
    }
}

TEST_F(KxEyeGroupScan, ACameraMissingFromTheAlignmentIsRefusedBeforeCapturing) {
    const std::string strAlign = (m_dir / "align.json").string();
    std::string strOne = c_pszDefaultPoses;
    strOne.replace(strOne.find("virtual:1"), 9, "virtual:3");
    std::ofstream(strAlign) << strOne;
    const std::string strOut = (m_dir / "refused").string();
    const SKxEyeRun run =
        Kxeye({"scan", "virtual:0", "virtual:1", "--align", strAlign, "--frames", "5", "--out", strOut}, R"({"count": 2})");
    EXPECT_EQ(1, run.nExit);
    EXPECT_NE(std::string::npos, run.strErr.find("virtual:1")) << run.strErr;
    EXPECT_NE(std::string::npos, run.strErr.find("kxeye align")) << run.strErr;
    EXPECT_FALSE(std::filesystem::exists(strOut)) << "nothing is written for a refused scan";
    // Options that take one camera only.
    for (const char* pszOption : {"--reconnect", "--height-map=columns"}) {
        const SKxEyeRun bad =
            Kxeye({"scan", "virtual:0", "virtual:1", pszOption, "--frames", "5", "--out", strOut}, R"({"count": 2})");
        EXPECT_EQ(2, bad.nExit) << pszOption;
        EXPECT_NE(std::string::npos, bad.strErr.find("one camera")) << bad.strErr;
    }
}
