// Runs the built kxeye (and the minimal capture example) against the embedded virtual camera
// and checks what they print and the files they write.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#include "stb_image.h"

#include "kxeye_run.h"
#include "kxeyerecording.h"

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

const char* const c_pszTestCopyID = "{33799CCD-4B94-4344-A347-D8B0BEE3FE1C}";

using SRun = SKxEyeRun;

class KxEyeTool : public KxEyeRunTest {
protected:
    nlohmann::json KxeyeJson(const std::vector<std::string>& vecArgs, int nExit = 0,
                             const std::string& strCameras = "") {
        std::vector<std::string> vec = vecArgs;
        vec.push_back("--json");
        const SRun run = Kxeye(vec, strCameras);
        EXPECT_EQ(run.nExit, nExit) << vecArgs[0] << "\n" << run.strOut << run.strErr;
        const nlohmann::json j = nlohmann::json::parse(run.strOut, nullptr, false);
        EXPECT_FALSE(j.is_discarded()) << vecArgs[0] << ": " << run.strOut;
        return j;
    }
};

// "point cloud: PATH (N points)" and the like.
bool FindFile(const std::string& strOut, const std::string& strWhat, std::string& strPath, std::string& strDetail) {
    const std::regex re(strWhat + ": (\\S+) \\(([^)]*)\\)");
    std::smatch m;
    if (!std::regex_search(strOut, m, re)) return false;
    strPath = m[1];
    strDetail = m[2];
    return true;
}

long long FindNumber(const std::string& strOut, const std::string& strKey) {
    const std::regex re("(^|\\n)" + strKey + ": (-?[0-9.]+)");
    std::smatch m;
    if (!std::regex_search(strOut, m, re)) return -1;
    return std::stoll(m[2]);
}

// Parses a binary little-endian PLY of float x, y, z; answers the vertex count or -1.
long long ReadPly(const std::string& strPath, std::vector<float>* pvecXYZ = nullptr,
                  std::vector<std::string>* pvecComments = nullptr) {
    const std::string strData = KxEyeReadFile(strPath);
    const size_t nEnd = strData.find("end_header\n");
    if (strData.rfind("ply\n", 0) != 0 || nEnd == std::string::npos) return -1;
    std::istringstream header(strData.substr(0, nEnd));
    std::string strLine;
    long long nVertices = -1;
    int nFloats = 0;
    bool bBinary = false;
    while (std::getline(header, strLine)) {
        if (strLine == "format binary_little_endian 1.0") bBinary = true;
        if (strLine.rfind("element vertex ", 0) == 0) nVertices = std::stoll(strLine.substr(15));
        if (strLine.rfind("property float ", 0) == 0) ++nFloats;
        if (pvecComments && strLine.rfind("comment ", 0) == 0) pvecComments->push_back(strLine.substr(8));
    }
    if (!bBinary || nFloats != 3 || nVertices < 0) return -1;
    const size_t nBody = strData.size() - (nEnd + 11);
    if (nBody != static_cast<size_t>(nVertices) * 12) return -1;
    std::vector<float> vec(static_cast<size_t>(nVertices) * 3);
    std::memcpy(vec.data(), strData.data() + nEnd + 11, nBody);
    for (float f : vec) {
        if (!std::isfinite(f)) return -1;
    }
    if (pvecXYZ) *pvecXYZ = std::move(vec);
    return nVertices;
}
long long PlyVertexCount(const std::string& strPath) { return ReadPly(strPath); }

TEST_F(KxEyeTool, ListJsonDescribesTheVirtualCameraAndItsTestCopy) {
    const SRun run = Kxeye({"list", "--json"});
    ASSERT_EQ(run.nExit, 0) << run.strErr;
    const nlohmann::json j = nlohmann::json::parse(run.strOut, nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << run.strOut;
    ASSERT_TRUE(j.is_array());
    ASSERT_GE(j.size(), 2u);
    EXPECT_EQ(j[0]["index"], 0);
    EXPECT_EQ(j[0]["hardwareVersion"], 8);
    EXPECT_EQ(j[0]["width"], 1536);
    EXPECT_EQ(j[0]["height"], 2048);
    EXPECT_EQ(j[0]["valid"], true);
    EXPECT_EQ(j[1]["deviceId"], c_pszTestCopyID);
    EXPECT_THAT(j[1]["name"].get<std::string>(), HasSubstr("[Test]"));

    const SRun table = Kxeye({"list"});
    ASSERT_EQ(table.nExit, 0);
    EXPECT_THAT(table.strOut, HasSubstr("DEVICE ID"));
    EXPECT_THAT(table.strOut, HasSubstr(c_pszTestCopyID));
    EXPECT_THAT(table.strOut, HasSubstr("1536x2048"));
    EXPECT_THAT(table.strOut, HasSubstr(std::to_string(j.size()) + " camera(s)"));
}

TEST_F(KxEyeTool, InfoShowsParametersAndTheSwingMotor) {
    const SRun run = Kxeye({"info", "0", "--json"});
    ASSERT_EQ(run.nExit, 0) << run.strErr;
    const nlohmann::json j = nlohmann::json::parse(run.strOut, nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << run.strOut;
    EXPECT_EQ(j["hardwareVersion"], 8);
    EXPECT_EQ(j["resolution"]["width"], 1536);
    EXPECT_EQ(j["resolution"]["height"], 2048);
    EXPECT_TRUE(j["hardwareVersionText"].is_string());
    EXPECT_TRUE(j["firmwareVersionText"].is_string());
    EXPECT_TRUE(j["exposure"].is_number());
    EXPECT_TRUE(j["laserThreshold"].is_number());
    EXPECT_TRUE(j["triggerMode"].is_number());
    EXPECT_GT(j["leftRoi"]["right"].get<int>(), j["leftRoi"]["left"].get<int>());
    ASSERT_TRUE(j["qMatrix"].is_array());
    EXPECT_EQ(j["qMatrix"].size(), 16u);
    ASSERT_TRUE(j["swingMotor"].is_object()) << j["swingMotor"].dump();
    EXPECT_GT(j["swingMotor"]["maxAngle"].get<int>(), 0);

    // By device ID, and in plain text.
    const SRun text = Kxeye({"info", c_pszTestCopyID});
    ASSERT_EQ(text.nExit, 0) << text.strErr;
    EXPECT_THAT(text.strOut, HasSubstr("laserThreshold: "));
    EXPECT_THAT(text.strOut, HasSubstr("qMatrix:"));
    EXPECT_THAT(text.strOut, HasSubstr("swingMotor:"));
}

TEST_F(KxEyeTool, UnknownCameraFailsWithAMessage) {
    for (const char* pszCamera : {"99", "{00000000-0000-0000-0000-000000000000}", "10.1.2.3"}) {
        const SRun run = Kxeye({"info", pszCamera});
        EXPECT_EQ(run.nExit, 1) << pszCamera;
        EXPECT_THAT(run.strErr, HasSubstr("no camera")) << pszCamera;
    }
}

TEST_F(KxEyeTool, SetReportsEveryItemWithItsCode) {
    struct SCase {
        std::vector<std::string> vecItems;
        int nExit;
        std::vector<std::string> vecLines;
    };
    const std::vector<SCase> vecCases = {
        {{"exposure=300", "threshold=40", "frame-rate=50", "denoise=on"},
         0,
         {"exposure=300: 0 (success)", "threshold=40: 0 (success)", "frame-rate=50: 0 (success)",
          "denoise=on: 0 (success)"}},
        // A refusal does not stop the items after it.
        {{"gain=43", "exposure=200"}, 1, {"gain=43: -79945 (value out of range)", "exposure=200: 0 (success)"}},
        {{"frame-rate=0"}, 1, {"frame-rate=0: -80000 (not supported or not applicable)"}},
        {{"exposure=70000"}, 1, {"exposure=70000: -80000"}},
        {{"gain=480", "trigger=0"}, 0, {"gain=480: 0 (success)", "trigger=0: 0 (success)"}},
    };
    for (const SCase& c : vecCases) {
        std::vector<std::string> vecArgs = {"set", "0"};
        vecArgs.insert(vecArgs.end(), c.vecItems.begin(), c.vecItems.end());
        const SRun run = Kxeye(vecArgs);
        EXPECT_EQ(run.nExit, c.nExit) << c.vecItems[0] << "\n" << run.strOut << run.strErr;
        for (const std::string& strLine : c.vecLines) EXPECT_THAT(run.strOut, HasSubstr(strLine));
    }
}

TEST_F(KxEyeTool, WrongArgumentsPrintUsageAndExitNonZero) {
    const std::string strOut = (m_dir / "out").string();
    const std::vector<std::vector<std::string>> vecCases = {
        {},
        {"bogus"},
        {"list", "--bogus"},
        {"info"},
        {"set", "0"},
        {"set", "0", "gain=70000"},  // does not fit the operation's argument: never truncated
        {"set", "0", "bogus=1"},
        {"set", "0", "exposure"},
        {"set", "0", "roi=1,2,3"},
        {"snapshot", "0"},
        {"scan", "0", "--out", strOut},
        {"scan", "0", "--frames", "5", "--seconds", "1", "--out", strOut},
        {"scan", "0", "--frames", "5", "--out", strOut, "--format", "9"},
        {"scan", "0", "--frames", "5", "--out", strOut, "--step", "0"},
        {"scan", "0", "--frames", "5", "--out", strOut, "--filter", "q:1:2"},
        {"scan", "0", "--frames", "5", "--out", strOut, "--filter", "z:5:1"},
        {"scan", "0", "--frames", "5", "--out", strOut, "--transform", "/nonexistent.json"},
        {"motor", "0"},
        {"motor", "0", "jump"},
        {"motor", "0", "move"},
        {"motor", "0", "move", "nan"},
        {"motor", "0", "range", "10"},
    };
    for (const auto& vecArgs : vecCases) {
        std::string strCase;
        for (const auto& a : vecArgs) strCase += a + " ";
        const SRun run = Kxeye(vecArgs);
        EXPECT_EQ(run.nExit, 2) << strCase << run.strErr;
        EXPECT_THAT(run.strErr, HasSubstr("Usage")) << strCase;
    }
    EXPECT_FALSE(fs::exists(strOut)) << "a refused scan must not touch the output folder";
}

TEST_F(KxEyeTool, SnapshotSavesTheFrameAndAPointCloud) {
    const fs::path out = m_dir / "snap";
    const SRun run = Kxeye({"snapshot", "0", "--out", out.string(), "--images"});
    ASSERT_EQ(run.nExit, 0) << run.strOut << run.strErr;
    std::string strPly, strDetail;
    ASSERT_TRUE(FindFile(run.strOut, "point cloud", strPly, strDetail)) << run.strOut;
    const long long nPoints = std::stoll(strDetail);
    EXPECT_GT(nPoints, 0);
    EXPECT_EQ(PlyVertexCount(strPly), nPoints);
    EXPECT_GE(fs::file_size(out / "snapshot.raw"), 32800u);
    // The text export has three header lines and one line per point.
    const std::string strText = KxEyeReadFile(out / "snapshot_3D.txt");
    EXPECT_THAT(strText, HasSubstr("LeftPicROI_X:"));
    for (const char* pszImage : {"snapshot_L.png", "snapshot_R.png"}) {
        int w = 0, h = 0, comp = 0;
        EXPECT_EQ(stbi_info((out / pszImage).c_str(), &w, &h, &comp), 1) << pszImage;
        EXPECT_GT(w, 0);
        EXPECT_GT(h, 0);
    }
}

TEST_F(KxEyeTool, ScanWritesACloudAHeightMapAndASummary) {
    const fs::path out = m_dir / "scan";
    // The grey map of one image column per pixel, one profile per row (the map to scale is
    // checked in tests/viewer).
    const SRun run = Kxeye({"scan", "0", "--frames", "30", "--height-map", "columns", "--out", out.string()});
    ASSERT_EQ(run.nExit, 0) << run.strOut << run.strErr;
    EXPECT_EQ(FindNumber(run.strOut, "frames"), 30);
    EXPECT_GE(FindNumber(run.strOut, "frames lost"), 0);
    EXPECT_THAT(run.strOut, HasSubstr("mean rate: "));
    EXPECT_THAT(run.strOut, HasSubstr("decode time per frame: "));
    EXPECT_THAT(run.strErr, Not(HasSubstr("\r"))) << "no progress line when not on a terminal";

    std::string strPly, strDetail;
    ASSERT_TRUE(FindFile(run.strOut, "point cloud", strPly, strDetail)) << run.strOut;
    const long long nPoints = std::stoll(strDetail);
    EXPECT_GT(nPoints, 0);
    EXPECT_EQ(PlyVertexCount(strPly), nPoints);

    std::string strPng, strSize;
    ASSERT_TRUE(FindFile(run.strOut, "height map", strPng, strSize)) << run.strOut;
    int nWidth = 0, nHeight = 0;
    ASSERT_EQ(std::sscanf(strSize.c_str(), "%d x %d", &nWidth, &nHeight), 2) << strSize;
    EXPECT_EQ(nHeight, 30);
    int w = 0, h = 0, comp = 0;
    unsigned char* pPixels = stbi_load(strPng.c_str(), &w, &h, &comp, 1);
    ASSERT_NE(pPixels, nullptr) << strPng;
    EXPECT_EQ(w, nWidth);
    EXPECT_EQ(h, nHeight);
    EXPECT_EQ(comp, 1);
    size_t nLit = 0;
    for (int i = 0; i < w * h; ++i) nLit += pPixels[i] != 0;
    stbi_image_free(pPixels);
    EXPECT_GT(nLit, 0u) << "the height map shows the points";
}

TEST_F(KxEyeTool, ScanStepKeepsEveryNthPoint) {
    auto meanPoints = [&](const char* pszStep) {
        const SRun run = Kxeye({"scan", "0", "--frames", "10", "--step", pszStep, "--out", (m_dir / pszStep).string()});
        EXPECT_EQ(run.nExit, 0) << run.strErr;
        const std::regex re("points per frame: ([0-9.]+)");
        std::smatch m;
        return std::regex_search(run.strOut, m, re) ? std::stod(m[1]) : -1.0;
    };
    const double dAll = meanPoints("1");
    const double dHalf = meanPoints("2");
    ASSERT_GT(dAll, 10.0);
    EXPECT_LE(dHalf, dAll / 2 + 1);
    EXPECT_GT(dHalf, 0.0);
}

TEST_F(KxEyeTool, SecondsBoundTheScan) {
    const SRun run = Kxeye({"scan", "0", "--seconds", "0.5", "--out", (m_dir / "s").string()});
    ASSERT_EQ(run.nExit, 0) << run.strErr;
    EXPECT_GT(FindNumber(run.strOut, "frames"), 0);
}

TEST_F(KxEyeTool, FilterAndTransformReachThePoints) {
    auto zRange = [&](const std::vector<std::string>& vecExtra, const char* pszName, float& fMin, float& fMax) {
        std::vector<std::string> vecArgs = {"scan", "0", "--frames", "40", "--travel", "none", "--out",
                                            (m_dir / pszName).string()};
        vecArgs.insert(vecArgs.end(), vecExtra.begin(), vecExtra.end());
        const SRun run = Kxeye(vecArgs);
        EXPECT_EQ(run.nExit, 0) << pszName << run.strErr;
        std::vector<float> vec;
        const long long n = ReadPly((m_dir / pszName / "scan.ply").string(), &vec);
        fMin = 1e30f, fMax = -1e30f;
        for (size_t i = 2; i < vec.size(); i += 3) fMin = std::min(fMin, vec[i]), fMax = std::max(fMax, vec[i]);
        return n;
    };
    float fMin = 0, fMax = 0;
    const long long nAll = zRange({}, "all", fMin, fMax);
    ASSERT_GT(nAll, 0);
    ASSERT_LT(fMin, fMax) << "the scene has relief";
    const float fCut = (fMin + fMax) / 2;

    // Keep strictly inside, and drop inside: the two halves never overlap.
    float fKeepMin = 0, fKeepMax = 0, fDropMin = 0, fDropMax = 0;
    const long long nKeep = zRange({"--filter", "z:-1:" + std::to_string(fCut)}, "keep", fKeepMin, fKeepMax);
    const long long nDrop = zRange({"--filter", "z:-1:" + std::to_string(fCut) + ":drop"}, "drop", fDropMin, fDropMax);
    EXPECT_GT(nKeep, 0);
    EXPECT_LT(nKeep, nAll);
    EXPECT_LT(fKeepMax, fCut);
    if (nDrop > 0) {
        EXPECT_GT(fDropMin, fCut);
    }

    // Identity rotation: Z becomes refZ - Z.
    const fs::path transform = m_dir / "transform.json";
    std::ofstream(transform) << R"({"rotate": [1,0,0, 0,1,0, 0,0,1], "refZ": 1000})";
    float fTMin = 0, fTMax = 0;
    EXPECT_EQ(zRange({"--transform", transform.string()}, "transform", fTMin, fTMax), nAll);
    EXPECT_NEAR(fTMin, 1000 - fMax, 0.01);
    EXPECT_NEAR(fTMax, 1000 - fMin, 0.01);

    std::ofstream(m_dir / "bad.json") << R"({"rotate": [1,0,0]})";
    const SRun bad = Kxeye({"scan", "0", "--frames", "5", "--out", (m_dir / "bad").string(), "--transform",
                            (m_dir / "bad.json").string()});
    EXPECT_EQ(bad.nExit, 2);
    EXPECT_THAT(bad.strErr, HasSubstr("rotate"));
}

TEST_F(KxEyeTool, MotorCommandsReportTheirCodes) {
    struct SCase {
        std::vector<std::string> vecArgs;
        int nExit;
        const char* pszLine;
    };
    const std::vector<SCase> vecCases = {
        {{"status"}, 0, "maxAngle: "},
        {{"move", "10"}, 0, "motor move 10: 0 (success)"},
        {{"center"}, 0, "motor center: 0 (success)"},
        {{"range", "10", "19"}, 1, "motor range 10 19: -79945 (value out of range)"},
        {{"move", "1000"}, 1, "motor move 1000: -79945 (value out of range)"},
    };
    for (const SCase& c : vecCases) {
        std::vector<std::string> vecArgs = {"motor", "0"};
        vecArgs.insert(vecArgs.end(), c.vecArgs.begin(), c.vecArgs.end());
        const SRun run = Kxeye(vecArgs);
        EXPECT_EQ(run.nExit, c.nExit) << c.vecArgs[0] << "\n" << run.strOut << run.strErr;
        EXPECT_THAT(run.strOut, HasSubstr(c.pszLine));
    }
}

TEST_F(KxEyeTool, OtherCamerasAreReportedNotCrashedOn) {
    struct SCase {
        const char* pszCameras;
        std::vector<std::string> vecArgs;
        int nExit;
        const char* pszOut;
        const char* pszErr;
    };
    const std::vector<SCase> vecCases = {
        {R"([{"swing_motor": false}])", {"motor", "0", "status"}, 1, "", "no swing motor: -80000"},
        {R"([{"swing_motor": false}])", {"info", "0"}, 0, "swingMotor: not fitted", ""},
        // Trigger mode is not readable below version 7: shown, not fatal.
        {R"([{"version": 6, "swing_motor": false}])", {"info", "0"}, 0, "triggerMode: n/a: -80000", ""},
        // A camera whose stored parameter block cannot be read still works: warn and go on.
        {R"([{"fail_storage_read": true}])", {"info", "0"}, 0, "laserThreshold: ", "warning: open answered"},
        {R"([{"offline": true}])", {"info", "0"}, 1, "", "no camera"},
        {R"([{}, {"version": 7, "swing_motor": false}])", {"list", "--json"}, 0, "\"hardwareVersion\": 7", ""},
    };
    for (const SCase& c : vecCases) {
        const SRun run = Kxeye(c.vecArgs, c.pszCameras);
        EXPECT_EQ(run.nExit, c.nExit) << c.pszCameras << " " << c.vecArgs[0] << "\n" << run.strOut << run.strErr;
        EXPECT_THAT(run.strOut, HasSubstr(c.pszOut)) << c.pszCameras;
        EXPECT_THAT(run.strErr, HasSubstr(c.pszErr)) << c.pszCameras;
    }
}

TEST_F(KxEyeTool, CodesListsEveryMeaning) {
    const SRun run = Kxeye({"codes"});
    ASSERT_EQ(run.nExit, 0);
    for (const char* psz : {"-79971", "-79988", "-80000", "-10014", "-78003"}) EXPECT_THAT(run.strOut, HasSubstr(psz));
}

// ---- Point cloud to scale ----

// The virtual scene carries a box 140 mm long in the travel direction (belt 40 to 180 mm of
// every 600 mm), 100 mm wide (Y -120 to -20) and 30 mm high, on a belt 400 mm from the camera.
TEST_F(KxEyeTool, ScanCloudMeasuresTheBoxAtItsRealLength) {
    const fs::path out = m_dir / "box";
    // 8 s at 100 mm/s: at least one whole box passes, wherever in the period the scan begins.
    const nlohmann::json j = KxeyeJson({"scan", "0", "--seconds", "8", "--out", out.string()});
    ASSERT_EQ(j["travel"]["axis"], "encoder") << j.dump();
    EXPECT_DOUBLE_EQ(j["travel"]["mmPerStep"].get<double>(), 0.1);
    std::vector<float> vec;
    std::vector<std::string> vecComments;
    ASSERT_GT(ReadPly((out / "scan.ply").string(), &vec, &vecComments), 0);
    EXPECT_THAT(vecComments, ::testing::Contains("units mm"));
    EXPECT_THAT(vecComments, ::testing::Contains("travel encoder: 0.1 mm per count, added to x"));

    // Box top: 370 mm from the camera, well inside the box's Y span (the dome and ramp lie elsewhere).
    float fMinX = 1e30f, fMaxX = -1e30f;
    std::vector<float> vecBoxX;
    for (size_t i = 0; i + 2 < vec.size(); i += 3) {
        fMinX = std::min(fMinX, vec[i]), fMaxX = std::max(fMaxX, vec[i]);
        if (vec[i + 2] < 372.5f && vec[i + 1] > -110 && vec[i + 1] < -30) vecBoxX.push_back(vec[i]);
    }
    ASSERT_FALSE(vecBoxX.empty());
    std::sort(vecBoxX.begin(), vecBoxX.end());
    const double dFrameStep = j["travel"]["length"].get<double>() / (j["frames"].get<double>() - 1);
    int nWhole = 0;
    size_t nStart = 0;
    for (size_t i = 1; i <= vecBoxX.size(); ++i) {
        if (i < vecBoxX.size() && vecBoxX[i] - vecBoxX[i - 1] < 20) continue;
        const float fFirst = vecBoxX[nStart], fLast = vecBoxX[i - 1];
        nStart = i;
        if (fFirst - fMinX < 10 || fMaxX - fLast < 10) continue;  // cut by the scan's start or end
        ++nWhole;
        EXPECT_NEAR(fLast - fFirst, 140.0, dFrameStep + 1.0) << "frame step " << dFrameStep;
    }
    EXPECT_GE(nWhole, 1) << "no whole box in " << fMinX << " .. " << fMaxX;
}

TEST_F(KxEyeTool, TravelStepComesFromTheWheelTheFrameStepOrTheScale) {
    struct SCase {
        std::vector<std::string> vecArgs;
        const char* pszAxis;
        double dStep;
    };
    const std::vector<SCase> vecCases = {
        {{}, "encoder", 0.1},
        {{"--wheel-radius", "63.66197723675813"}, "encoder", 0.2},
        {{"--pulses-per-round", "1000"}, "encoder", 0.2},
        {{"--travel-scale", "0.5"}, "encoder", 0.5},
        {{"--travel", "frame"}, "frame", 1.0},
        {{"--travel", "frame", "--frame-step", "2.5"}, "frame", 2.5},
        {{"--travel", "none"}, "none", 0.0},
    };
    int n = 0;
    for (const SCase& c : vecCases) {
        std::vector<std::string> vecArgs = {"scan", "0", "--frames", "6", "--out", (m_dir / std::to_string(n++)).string()};
        vecArgs.insert(vecArgs.end(), c.vecArgs.begin(), c.vecArgs.end());
        const nlohmann::json j = KxeyeJson(vecArgs);
        EXPECT_EQ(j["travel"]["axis"], c.pszAxis) << vecArgs.back();
        EXPECT_NEAR(j["travel"]["mmPerStep"].get<double>(), c.dStep, 1e-9) << vecArgs.back();
        if (std::string(c.pszAxis) == "frame") {
            // Frame travel counts lost frames too: the index is the camera's own counter.
            const double dFrames = j["frames"].get<double>() - 1 + j["framesLost"].get<double>();
            EXPECT_NEAR(j["travel"]["length"].get<double>(), dFrames * c.dStep, 1e-6);
        }
    }
}

TEST_F(KxEyeTool, AbsurdScaleFactorsAreRefusedReadably) {
    const std::string strOut = (m_dir / "out").string();
    const std::vector<std::vector<std::string>> vecCases = {
        {"--travel-scale", "nan"},  {"--travel-scale", "inf"},   {"--travel-scale", "-1"},
        {"--travel-scale", "0"},    {"--travel-scale", "1e9"},   {"--wheel-radius", "nan"},
        {"--wheel-radius", "0"},    {"--pulses-per-round", "0"}, {"--pulses-per-round", "1.5"},
        {"--frame-step", "inf"},    {"--frames", "-1"},          {"--seconds", "-1"},
        {"--seconds", "nan"},       {"--timeout", "0"},          {"--wheel-radius", "10000", "--pulses-per-round", "1"},
    };
    for (const auto& vecExtra : vecCases) {
        std::vector<std::string> vecArgs = {"scan", "0", "--out", strOut};
        if (vecExtra[0] != "--frames" && vecExtra[0] != "--seconds") vecArgs.insert(vecArgs.end(), {"--frames", "3"});
        vecArgs.insert(vecArgs.end(), vecExtra.begin(), vecExtra.end());
        const SRun run = Kxeye(vecArgs);
        EXPECT_EQ(run.nExit, 2) << vecExtra[0] << " " << vecExtra[1] << run.strErr;
        const std::string strFirst = run.strErr.substr(0, run.strErr.find('\n'));
        EXPECT_THAT(strFirst, HasSubstr(vecExtra[0])) << strFirst;
        // A range is said in plain numbers, never as the largest double written out.
        EXPECT_LT(strFirst.size(), 160u) << strFirst;
    }
    EXPECT_FALSE(fs::exists(strOut));
}

// ---- Outputs a user can trust ----

TEST_F(KxEyeTool, FullDiskFailsEveryKindOfOutput) {
    struct SCase {
        std::vector<std::string> vecArgs;
        const char* pszLinked;  // file name inside the output folder made a link to /dev/full
    };
    const std::vector<SCase> vecCases = {
        {{"scan", "0", "--frames", "40"}, "scan.ply"},
        {{"scan", "0", "--frames", "40"}, "scan.png"},
        {{"snapshot", "0", "--images"}, "snapshot.raw"},
        {{"snapshot", "0", "--images"}, "snapshot_3D.txt"},
        {{"snapshot", "0", "--images"}, "snapshot_L.png"},
        {{"snapshot", "0", "--images"}, "snapshot.ply"},
    };
    int n = 0;
    for (const SCase& c : vecCases) {
        const fs::path out = m_dir / std::to_string(n++);
        fs::create_directories(out);
        fs::create_symlink("/dev/full", out / c.pszLinked);
        std::vector<std::string> vecArgs = c.vecArgs;
        vecArgs.insert(vecArgs.end(), {"--out", out.string()});
        const SRun run = Kxeye(vecArgs);
        EXPECT_EQ(run.nExit, 1) << c.pszLinked << run.strOut << run.strErr;
        EXPECT_THAT(run.strErr, HasSubstr((out / c.pszLinked).string() + ": No space left on device")) << c.pszLinked;
        for (const auto& entry : fs::directory_iterator(out))
            EXPECT_THAT(entry.path().filename().string(), Not(HasSubstr("kxeye-"))) << "temporary left behind";
    }
    // Standard output into a full disk, for a table and for JSON.
    for (const std::vector<std::string>& vecArgs :
         {std::vector<std::string>{"list", "--json"}, {"list"}, {"codes"}, {"info", "0", "--json"}}) {
        const SRun run = RunProgram(KXEYE_PATH, vecArgs, "", "/dev/full");
        EXPECT_EQ(run.nExit, 1) << vecArgs[0];
        EXPECT_THAT(run.strErr, HasSubstr("cannot write the output: No space left on device")) << vecArgs[0];
    }
}

TEST_F(KxEyeTool, OutputFolderIsCheckedFirstAndNothingIsLeftBehind) {
    // A missing camera: no folder is made.
    const fs::path missing = m_dir / "a" / "b";
    for (const char* pszCommand : {"scan", "snapshot"}) {
        std::vector<std::string> vecArgs = {pszCommand, "7", "--out", missing.string()};
        if (std::string(pszCommand) == "scan") vecArgs.insert(vecArgs.end(), {"--frames", "3"});
        const SRun run = Kxeye(vecArgs);
        EXPECT_EQ(run.nExit, 1) << pszCommand;
        EXPECT_THAT(run.strErr, HasSubstr("no camera"));
        EXPECT_FALSE(fs::exists(m_dir / "a")) << pszCommand;
    }
    // A refused setting: nothing captured, nothing made.
    const SRun refused = Kxeye({"scan", "0", "--frames", "3", "--set", "gain=43", "--out", missing.string()});
    EXPECT_EQ(refused.nExit, 1);
    EXPECT_THAT(refused.strOut, HasSubstr("gain=43: -79945"));
    EXPECT_FALSE(fs::exists(m_dir / "a"));
    // A folder that cannot be: refused before the camera is touched.
    std::ofstream(m_dir / "file") << "x";
    const SRun blocked = Kxeye({"scan", "0", "--frames", "3", "--out", (m_dir / "file" / "out").string()});
    EXPECT_EQ(blocked.nExit, 1);
    EXPECT_THAT(blocked.strErr, HasSubstr("is not a folder"));
    EXPECT_THAT(blocked.strOut, Not(HasSubstr("frames:")));
}

// Interrupted by Ctrl-C or SIGTERM, scan and record write what they captured, complete, and
// say so with exit status 3.
TEST_F(KxEyeTool, InterruptedCaptureKeepsItsFilesAndSaysSoInItsExitCode) {
    struct SCase {
        const char* pszCommand;
        int nSignal;
    };
    for (const SCase& c : {SCase{"scan", SIGINT}, SCase{"record", SIGTERM}, SCase{"record", SIGINT}}) {
        SCOPED_TRACE(std::string(c.pszCommand) + " " + strsignal(c.nSignal));
        const bool bScan = std::string(c.pszCommand) == "scan";
        const fs::path out = m_dir / (std::string("int-") + c.pszCommand + std::to_string(c.nSignal));
        const fs::path errPath = m_dir / "int-stderr.txt";
        const fs::path outPath = m_dir / "int-stdout.txt";
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            unsetenv("KXEYE_VIRTUAL_CAMERAS");
            if (!freopen(outPath.c_str(), "w", stdout) || !freopen(errPath.c_str(), "w", stderr)) _exit(99);
            execl(KXEYE_PATH, KXEYE_PATH, c.pszCommand, "0", "--seconds", "60", "--out", out.c_str(),
                  static_cast<char*>(nullptr));
            _exit(98);
        }
        // The scan's folder appears once the camera is open and the capture about to start; the
        // recording's temporary file beside its final name before the camera is opened.
        auto started = [&] {
            if (bScan) return fs::exists(out);
            for (const auto& e : fs::directory_iterator(m_dir))
                if (e.path().filename().string().rfind(out.filename().string() + ".tmp", 0) == 0) return true;
            return false;
        };
        for (int i = 0; i < 200 && !started(); ++i) usleep(50000);
        usleep(bScan ? 1500000 : 3000000);
        kill(pid, c.nSignal);
        int nStatus = 0;
        ASSERT_EQ(waitpid(pid, &nStatus, 0), pid);
        ASSERT_TRUE(WIFEXITED(nStatus)) << "ended by signal " << WTERMSIG(nStatus);
        EXPECT_EQ(WEXITSTATUS(nStatus), 3) << KxEyeReadFile(errPath);
        EXPECT_THAT(KxEyeReadFile(errPath), HasSubstr("interrupted"));
        const std::string strOut = KxEyeReadFile(outPath);
        std::string strFile, strDetail;
        if (bScan) {
            ASSERT_TRUE(FindFile(strOut, "point cloud", strFile, strDetail)) << strOut;
            EXPECT_GT(std::stoll(strDetail), 0);
            EXPECT_EQ(PlyVertexCount(strFile), std::stoll(strDetail));
            EXPECT_TRUE(fs::exists(out / "scan.png"));
        } else {
            ASSERT_TRUE(FindFile(strOut, "recording", strFile, strDetail)) << strOut;
            EXPECT_EQ(strFile, out.string());
            KxEyeRecording::SHeader h;
            std::vector<KxEyeRecording::SFrame> vecFrames;
            std::string strError;
            ASSERT_TRUE(KxEyeRecording::ReadFile(strFile, h, vecFrames, strError)) << strError;
            EXPECT_GT(vecFrames.size(), 0u);
            EXPECT_THAT(strDetail, HasSubstr(std::to_string(vecFrames.size()) + " frames"));
        }
    }
}

// ---- Settings for the run ----

TEST_F(KxEyeTool, CaptureCommandsTakeTheSettingsOfSetForTheirRun) {
    // A window of 1000 rows: at most 1000 points a frame, in a scan and in a snapshot.
    const nlohmann::json scan =
        KxeyeJson({"scan", "0", "--frames", "5", "--set", "roi=0,1536,0,1000", "--out", (m_dir / "s").string()});
    ASSERT_EQ(scan["settings"].size(), 1u);
    EXPECT_EQ(scan["settings"][0]["item"], "roi=0,1536,0,1000");
    EXPECT_EQ(scan["settings"][0]["code"], 0);
    EXPECT_GT(scan["pointsPerFrame"]["max"].get<int>(), 0);
    EXPECT_LE(scan["pointsPerFrame"]["max"].get<int>(), 1000);
    const nlohmann::json full = KxeyeJson({"scan", "0", "--frames", "5", "--out", (m_dir / "f").string()});
    EXPECT_GT(full["pointsPerFrame"]["max"].get<int>(), 1000);

    const nlohmann::json snap =
        KxeyeJson({"snapshot", "--set", "roi=0,1536,0,1000", "--set", "exposure=300", "0", "--out", (m_dir / "p").string()});
    EXPECT_EQ(snap["settings"].size(), 2u);
    EXPECT_GT(snap["points"].get<int>(), 0);
    EXPECT_LE(snap["points"].get<int>(), 1000);

    // The motor's sweep for the run: the line sweeps, so no travel is added.
    const nlohmann::json sweep = KxeyeJson({"scan", "0", "--frames", "5", "--swing", "on", "--sweep-range", "20:40",
                                            "--sweep-speed", "100", "--out", (m_dir / "w").string()});
    ASSERT_EQ(sweep["settings"].size(), 3u) << sweep.dump();
    for (const auto& r : sweep["settings"]) EXPECT_EQ(r["code"], 0) << r.dump();
    EXPECT_EQ(sweep["travel"]["axis"], "none");
    // Without a motor the sweep is refused and nothing is captured.
    const SRun noMotor = Kxeye({"scan", "0", "--frames", "3", "--swing", "on", "--out", (m_dir / "n").string()},
                               R"([{"swing_motor": false}])");
    EXPECT_EQ(noMotor.nExit, 1);
    EXPECT_THAT(noMotor.strOut, HasSubstr("swing motor: -80000"));
    EXPECT_FALSE(fs::exists(m_dir / "n"));
}

// ---- Choosing a camera ----

TEST_F(KxEyeTool, CamerasAreChosenBySerialStoredIdOrConnectText) {
    const char* pszTwo = R"([{}, {"version": 7, "swing_motor": false}])";
    const nlohmann::json list = KxeyeJson({"list"}, 0, pszTwo);
    ASSERT_EQ(list.size(), 3u) << list.dump();
    EXPECT_EQ(list[0]["serial"], "VC000001");
    EXPECT_TRUE(list[0]["testCopyOf"].is_null());
    EXPECT_EQ(list[1]["testCopyOf"], 0) << "the test copy sits at index 1";
    EXPECT_EQ(list[1]["serial"], "VC000001");
    EXPECT_EQ(list[2]["serial"], "VC000002");
    EXPECT_EQ(list[2]["connect"], "virtual:1");
    const SRun table = Kxeye({"list"}, pszTwo);
    EXPECT_THAT(table.strOut, HasSubstr("SERIAL"));
    EXPECT_THAT(table.strOut, HasSubstr("test copy of 0"));

    struct SCase {
        const char* pszCamera;
        int nIndex;
        int nVersion;
    };
    for (const SCase& c : {SCase{"VC000002", 2, 7}, SCase{"vc000002", 2, 7}, SCase{"virtual:1", 2, 7},
                           SCase{"KXVIRTUALCAM0002", 2, 7}, SCase{"VC000001", 0, 8}, SCase{"2", 2, 7}}) {
        const nlohmann::json info = KxeyeJson({"info", c.pszCamera}, 0, pszTwo);
        EXPECT_EQ(info["index"], c.nIndex) << c.pszCamera;
        EXPECT_EQ(info["hardwareVersion"], c.nVersion) << c.pszCamera;
    }
}

// ---- A tool a new user can read ----

TEST_F(KxEyeTool, VersionUnknownCommandsAndHelp) {
    const SRun version = Kxeye({"--version"});
    EXPECT_EQ(version.nExit, 0);
    EXPECT_THAT(version.strOut, HasSubstr("kxeye "));
    EXPECT_THAT(version.strOut, HasSubstr("SDK (KxLaserEyeDevice) "));
    EXPECT_THAT(version.strOut, HasSubstr("camera library: OrEyeApi local"));

    const SRun none = Kxeye({"--source", "local"});
    EXPECT_EQ(none.nExit, 2);
    EXPECT_THAT(none.strErr, HasSubstr("no command given (commands: list, info"));

    const SRun unknown = Kxeye({"--source", "local", "scna", "0"});
    EXPECT_EQ(unknown.nExit, 2);
    EXPECT_THAT(unknown.strErr, HasSubstr("unknown command \"scna\""));

    const SRun help = Kxeye({"--help"});
    EXPECT_EQ(help.nExit, 0);
    EXPECT_THAT(help.strOut, HasSubstr("3 scan or record interrupted"));

    // Each command's help ends with an example of it (and sends nothing anywhere).
    for (const char* pszCommand : {"list", "info", "set", "snapshot", "scan", "motor", "record", "codes", "set-ip",
                                   "set-mac", "bind-host", "reset-dest", "online", "probe", "doctor"}) {
        const SRun one = Kxeye({pszCommand, "--help"});
        EXPECT_EQ(one.nExit, 0) << pszCommand;
        EXPECT_THAT(one.strOut, HasSubstr("Example: kxeye ")) << pszCommand;
        EXPECT_THAT(one.strOut, HasSubstr(std::string(" ") + pszCommand + " ")) << pszCommand;
    }
    // The network commands refuse what no camera can take before searching.
    for (const std::vector<std::string>& vecArgs :
         {std::vector<std::string>{"set-ip", "0", "192.0.2.300"}, std::vector<std::string>{"set-ip", "0", "224.0.0.1"},
          std::vector<std::string>{"set-ip", "0", "255.255.255.255"}, std::vector<std::string>{"set-mac", "0", "0:1a:2b:3c:4d:5e"},
          std::vector<std::string>{"set-mac", "0", "00:00:00:00:00:00"}, std::vector<std::string>{"probe", "1.2.3"}}) {
        const SRun bad = Kxeye(vecArgs);
        EXPECT_EQ(bad.nExit, 2) << vecArgs[0] << " " << vecArgs[2] << "\n" << bad.strErr;
    }
}

TEST_F(KxEyeTool, EveryCommandThatPrintsResultsHasJson) {
    EXPECT_TRUE(KxeyeJson({"list"}).is_array());
    EXPECT_TRUE(KxeyeJson({"codes"}).is_array());
    EXPECT_EQ(KxeyeJson({"codes"})[0]["name"], "KX_OK");
    const nlohmann::json info = KxeyeJson({"info", "0"});
    EXPECT_EQ(info["serial"], "VC000001");
    // A local camera captures at its table's rate for the ROI, whatever it runs at now.
    EXPECT_EQ(info["frameRateAtCapture"], info["frameRateForRoi"]);
    EXPECT_TRUE(info["frameRate"].is_number());
    const nlohmann::json set = KxeyeJson({"set", "0", "exposure=300", "gain=43"}, 1);
    ASSERT_EQ(set["settings"].size(), 2u);
    EXPECT_EQ(set["settings"][1]["code"], -79945);
    EXPECT_EQ(set["camera"]["index"], 0);
    const nlohmann::json snap = KxeyeJson({"snapshot", "0", "--out", (m_dir / "snap").string()});
    EXPECT_TRUE(snap["files"]["raw"].is_string());
    EXPECT_TRUE(snap["files"]["text"].is_string());
    EXPECT_TRUE(snap["files"]["pointCloud"].is_string());
    const nlohmann::json scan = KxeyeJson({"scan", "0", "--frames", "3", "--height-map", "columns", "--out", (m_dir / "scan").string()});
    EXPECT_EQ(scan["frames"], 3);
    EXPECT_EQ(scan["pointCloud"]["units"], "mm");
    EXPECT_EQ(scan["heightMap"]["height"], 3);
    EXPECT_EQ(scan["interrupted"], false);
    EXPECT_TRUE(KxeyeJson({"motor", "0", "status"})["maxAngle"].is_number());
    const nlohmann::json move = KxeyeJson({"motor", "0", "move", "10"});
    EXPECT_EQ(move["code"], 0);
    EXPECT_TRUE(move["position"].is_number());
    const nlohmann::json record = KxeyeJson({"record", "0", "--frames", "2", "--out", (m_dir / "r.kxrec").string()});
    EXPECT_EQ(record["frames"], 2);
    EXPECT_EQ(record["file"], (m_dir / "r.kxrec").string());
    EXPECT_EQ(record["camera"]["serial"], "VC000001");
}

// What really happened, in the JSON too: a camera not found, an address no camera can take.
// Nothing goes on the network: the refusals come before any search, and the local path holds
// only the virtual cameras.
TEST_F(KxEyeTool, FailuresCarryTheirCodeInJson) {
    for (const std::vector<std::string>& vecArgs :
         {std::vector<std::string>{"info", "7"}, std::vector<std::string>{"set", "7", "gain=100"},
          std::vector<std::string>{"snapshot", "7", "--out", (m_dir / "s").string()},
          std::vector<std::string>{"scan", "7", "--frames", "1", "--out", (m_dir / "s").string()},
          std::vector<std::string>{"motor", "7", "status"},
          std::vector<std::string>{"record", "7", "--frames", "1", "--out", (m_dir / "r.kxrec").string()}}) {
        const nlohmann::json j = KxeyeJson(vecArgs, 1);
        EXPECT_TRUE(j["camera"].is_null()) << vecArgs[0];
        EXPECT_EQ(j["code"], -79964) << vecArgs[0];
        EXPECT_EQ(j["meaning"], "not found, or the camera could not be read") << vecArgs[0];
        EXPECT_THAT(j["error"].get<std::string>(), HasSubstr("no camera \"7\"")) << vecArgs[0];
    }
    const nlohmann::json refused = KxeyeJson({"set-ip", "0", "255.255.255.255"}, 2);
    EXPECT_EQ(refused["code"], -69991);
    EXPECT_EQ(refused["operation"], "set-ip");
    EXPECT_TRUE(refused["refused"].is_string());
    EXPECT_TRUE(KxeyeJson({"probe", "127.0.0.1"}, 2).is_array());
    EXPECT_TRUE(KxeyeJson({"probe", "0.1.2.3"}, 2).empty());
}

// The in-process virtual cameras say so in every listing.
TEST_F(KxEyeTool, VirtualCamerasAreMarkedInEveryListing) {
    const nlohmann::json list = KxeyeJson({"list"});
    ASSERT_GE(list.size(), 2u);
    for (const nlohmann::json& r : list) {
        EXPECT_EQ(r["virtual"], true) << r.dump();
        EXPECT_EQ(r["source"], "local");
    }
    const SRun table = Kxeye({"list"});
    EXPECT_THAT(table.strOut, HasSubstr("virtual (in this process, no hardware)"));
    EXPECT_THAT(table.strOut, HasSubstr("virtual, test copy of 0"));
}

#ifdef MINIMAL_CAPTURE_PATH
TEST_F(KxEyeTool, MinimalCaptureRunsAndTheReadmeQuotesIt) {
    const SRun run = RunProgram(MINIMAL_CAPTURE_PATH, {});
    ASSERT_EQ(run.nExit, 0) << run.strOut << run.strErr;
    EXPECT_GT(FindNumber(run.strOut, "frames"), 0) << run.strOut;
    EXPECT_THAT(run.strOut, HasSubstr(" points, first at ("));

    const std::string strExample = KxEyeReadFile(fs::path(KX_SOURCE_DIR) / "examples" / "minimal_capture.cpp");
    const std::string strReadme = KxEyeReadFile(fs::path(KX_SOURCE_DIR) / "README.md");
    ASSERT_FALSE(strExample.empty());
    EXPECT_NE(strReadme.find("```cpp\n" + strExample + "```"), std::string::npos)
        << "README.md must quote examples/minimal_capture.cpp whole, as it stands";
}
#endif

}  // namespace
