// Two profilers facing each other, served by one emulator: aligned by kxeye align, scanned
// together by kxeye scan into one cloud whose box has its true size. Root only (network
// namespaces); skipped elsewhere. Everything stays inside the lab.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "kxeye_ply.h"
#include "support/kxemulab.h"

namespace {

// The facing pair of docs/multi-camera.md: 350 mm up, rolled 30 degrees toward each other.
const char* const c_pszFacingPair = R"([
 {"ip": "192.0.2.10/24", "mac": "02:4b:58:00:00:10", "pose": {"x": -272, "z": 350, "roll": -30}},
 {"ip": "192.0.2.11/24", "mac": "02:4b:58:00:00:11", "pose": {"x": 132, "z": 350, "roll": 30}}])";

using SVertex = SKxEyePlyVertex;

bool ReadCameraPly(const std::string& strPath, std::vector<SVertex>& vec) {
    return KxEyeParseCameraPly(kxtest::ReadFile(strPath), vec);
}

double Median(std::vector<double> v) {
    if (v.empty()) return NAN;
    std::nth_element(v.begin(), v.begin() + static_cast<long>(v.size() / 2), v.end());
    return v[v.size() / 2];
}

class MultiCameraE2E : public kxtest::EmulatorTest {
protected:
    int Kxeye(const std::vector<std::string>& vecArgs, std::string* pOut) {
        std::string strCmd = "sh -c \"env KXEYE_VIRTUAL_CARDS='*' timeout 120 " KXEYE_PATH;
        for (const std::string& a : vecArgs) strCmd += " '" + a + "'";
        strCmd += " 2>" + m_dir + "/kxeye.err </dev/null\"";
        return m_pLab->Exec(m_host, strCmd, pOut);
    }
};

}  // namespace

TEST_F(MultiCameraE2E, FacingPairAlignsAndScansIntoOneBoxOfItsTrueSize) {
    m_pLab->Link(m_host, "eth0", "192.0.2.1/24", m_cam, "eth0", "");
    StartEmulator(c_pszFacingPair);
    const std::string strAlign = m_dir + "/align.json";

    // Alignment: both cameras scan the scene's box at their 20 frames/s, taking turns (the second
    // exposes 5 ms after the first).
    std::string strOut;
    ASSERT_EQ(0, Kxeye({"align", "192.0.2.10", "192.0.2.11", "--out", strAlign, "--stagger", "5000", "--json"}, &strOut))
        << strOut << kxtest::ReadFile(m_dir + "/kxeye.err");
    const nlohmann::json a = nlohmann::json::parse(strOut, nullptr, false);
    ASSERT_FALSE(a.is_discarded()) << strOut;
    for (const auto& c : a["cameras"]) {
        std::printf("[ measured ] alignment residual of %s: %.3f mm\n", c.value("camera", "?").c_str(),
                    c["residual"].get<double>());
        EXPECT_LE(c["residual"].get<double>(), 0.5) << c.dump();
    }

    // The synchronised scan: one cloud in the world frame.
    const std::string strScan = m_dir + "/scan";
    ASSERT_EQ(0, Kxeye({"scan", "192.0.2.10", "192.0.2.11", "--align", strAlign, "--stagger", "5000", "--seconds", "8",
                        "--out", strScan, "--json"},
                       &strOut))
        << strOut << kxtest::ReadFile(m_dir + "/kxeye.err");
    const nlohmann::json s = nlohmann::json::parse(strOut, nullptr, false);
    ASSERT_FALSE(s.is_discarded()) << strOut;
    EXPECT_EQ("encoder", s["pairedBy"]);
    for (const auto& c : s["cameras"]) EXPECT_LE(c["unpaired"].get<uint64_t>(), 3u + c["frames"].get<uint64_t>() / 30) << c.dump();
    std::printf("[ measured ] pairing spread mean %.3f mm, max %.3f mm over %llu groups\n",
                s["pairingSpread"]["mean"].get<double>(), s["pairingSpread"]["max"].get<double>(),
                static_cast<unsigned long long>(s["groups"].get<uint64_t>()));

    std::vector<SVertex> vec;
    ASSERT_TRUE(ReadCameraPly(strScan + "/scan.ply", vec));
    // The box: its top (Z near 30) from both cameras, its long sides (Z 5 to 25) one from each
    // camera. The scene repeats every 600 mm and the scan starts wherever the belt is, so the
    // dome's and the ramp's surfaces also cross Z 30 (a ring, a line). Runs of top points along
    // the travel: the box is the run with the most points that spans most of the box's width
    // and starts and ends inside the scan.
    std::vector<std::pair<float, float>> vecTop;  // travel, X
    float fMinY = INFINITY, fMaxY = -INFINITY;
    for (const SVertex& v : vec) {
        fMinY = std::min(fMinY, v.y);
        fMaxY = std::max(fMaxY, v.y);
        if (std::fabs(v.z - 30.0f) < 1.0f) vecTop.emplace_back(v.y, v.x);
    }
    ASSERT_GT(vecTop.size(), 1000u);
    std::sort(vecTop.begin(), vecTop.end());
    float fY0 = 0, fY1 = 0;
    size_t nBest = 0;
    float fMinX = INFINITY, fMaxX = -INFINITY;
    for (size_t i = 0, nStart = 0; i < vecTop.size(); ++i) {
        fMinX = std::min(fMinX, vecTop[i].second);
        fMaxX = std::max(fMaxX, vecTop[i].second);
        if (i + 1 < vecTop.size() && vecTop[i + 1].first - vecTop[i].first < 20) continue;
        if (vecTop[nStart].first > fMinY + 20 && vecTop[i].first < fMaxY - 20 && fMaxX - fMinX > 80 &&
            i + 1 - nStart > nBest) {
            nBest = i + 1 - nStart;
            fY0 = vecTop[nStart].first;
            fY1 = vecTop[i].first;
        }
        nStart = i + 1;
        fMinX = INFINITY;
        fMaxX = -INFINITY;
    }
    ASSERT_LT(fY0, fY1) << "no whole box along the travel";
    std::vector<double> vecTopZ, vecBeltZ, vecSideX;
    std::vector<float> vecTopX;
    for (const SVertex& v : vec) {
        if (v.y < fY0 + 10 || v.y > fY1 - 10) continue;
        if (std::fabs(v.z - 30.0f) < 1.0f) {
            vecTopZ.push_back(v.z);
            vecTopX.push_back(v.x);
        } else if (std::fabs(v.z) < 1.0f) {
            vecBeltZ.push_back(v.z);
        } else if (v.z > 5 && v.z < 25) {
            vecSideX.push_back(v.x);
        }
    }
    ASSERT_FALSE(vecTopX.empty());
    // The sides either side of the top's middle.
    std::nth_element(vecTopX.begin(), vecTopX.begin() + static_cast<long>(vecTopX.size() / 2), vecTopX.end());
    const float fMidX = vecTopX[vecTopX.size() / 2];
    std::vector<double> vecLeftX, vecRightX;
    for (double x : vecSideX) (x < fMidX ? vecLeftX : vecRightX).push_back(x);
    ASSERT_FALSE(vecLeftX.empty()) << "no side face seen";
    ASSERT_FALSE(vecRightX.empty()) << "no side face seen";
    const double dLength = fY1 - fY0;
    const double dWidth = Median(vecRightX) - Median(vecLeftX);
    const double dHeight = Median(vecTopZ) - (vecBeltZ.empty() ? 0.0 : Median(vecBeltZ));
    std::printf("[ measured ] merged box: %.2f x %.2f x %.2f mm (true 140 x 100 x 30)\n", dLength, dWidth, dHeight);
    // Profiles 5 mm apart along the travel (20 frames/s); the tilted lines of the two cameras
    // put top points between them, and the length comes out within 1.5 mm (logged).
    EXPECT_NEAR(140.0, dLength, 1.5);
    EXPECT_NEAR(100.0, dWidth, 0.5);
    EXPECT_NEAR(30.0, dHeight, 0.5);
}
