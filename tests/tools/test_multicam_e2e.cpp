// Two profilers facing each other, served by one emulator: aligned by kxeye align, scanned
// together by kxeye scan into one cloud whose box has its true size. Root only (network
// namespaces); skipped elsewhere. Everything stays inside the lab.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
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

    // Alignment: both cameras scan the scene's box (100 frames/s, taking turns: half a period).
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
    // The box: its top (Z near 30) from both cameras, its long sides (X near the top's edges,
    // Z 5 to 25) one from each camera. One whole box along the travel: the first run of top
    // points that starts and ends inside the scan.
    std::vector<float> vecTopY;
    for (const SVertex& v : vec)
        if (std::fabs(v.z - 30.0f) < 1.0f) vecTopY.push_back(v.y);
    ASSERT_GT(vecTopY.size(), 1000u);
    std::sort(vecTopY.begin(), vecTopY.end());
    float fY0 = 0, fY1 = 0;
    size_t nStart = 0;
    for (size_t i = 1; i <= vecTopY.size(); ++i) {
        if (i < vecTopY.size() && vecTopY[i] - vecTopY[i - 1] < 20) continue;
        if (nStart > 0 && i < vecTopY.size()) {
            fY0 = vecTopY[nStart];
            fY1 = vecTopY[i - 1];
            break;
        }
        nStart = i;
    }
    ASSERT_LT(fY0, fY1) << "no whole box along the travel";
    std::vector<double> vecTopZ, vecBeltZ, vecLeftX, vecRightX;
    std::vector<float> vecTopX;
    for (const SVertex& v : vec) {
        if (v.y < fY0 + 10 || v.y > fY1 - 10) continue;
        if (std::fabs(v.z - 30.0f) < 1.0f) {
            vecTopZ.push_back(v.z);
            vecTopX.push_back(v.x);
        } else if (std::fabs(v.z) < 1.0f) {
            vecBeltZ.push_back(v.z);
        } else if (v.z > 5 && v.z < 25) {
            (v.x < -70 ? vecLeftX : vecRightX).push_back(v.x);
        }
    }
    ASSERT_FALSE(vecTopX.empty());
    ASSERT_FALSE(vecLeftX.empty()) << "no side face seen";
    ASSERT_FALSE(vecRightX.empty()) << "no side face seen";
    const double dLength = fY1 - fY0;
    const double dWidth = Median(vecRightX) - Median(vecLeftX);
    const double dHeight = Median(vecTopZ) - (vecBeltZ.empty() ? 0.0 : Median(vecBeltZ));
    std::printf("[ measured ] merged box: %.2f x %.2f x %.2f mm (true 140 x 100 x 30)\n", dLength, dWidth, dHeight);
    // The travel is sampled every frame (1 mm at 100 frames/s): the length is good to a step.
    EXPECT_NEAR(140.0, dLength, 1.5);
    EXPECT_NEAR(100.0, dWidth, 0.5);
    EXPECT_NEAR(30.0, dHeight, 0.5);
}
