// Runs the built kxeye (and the minimal capture example) against the embedded virtual camera
// and checks what they print and the files they write.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
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

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

const char* const c_pszTestCopyID = "{33799CCD-4B94-4344-A347-D8B0BEE3FE1C}";

struct SRun {
    int nExit = -1;
    std::string strOut;
    std::string strErr;
};

std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class KxEyeTool : public ::testing::Test {
protected:
    void SetUp() override {
        char szTemplate[] = "/tmp/kxeye-test-XXXXXX";
        ASSERT_NE(mkdtemp(szTemplate), nullptr);
        m_dir = szTemplate;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }

    // Runs a program with the default virtual camera, or with the given camera configuration;
    // stdout and stderr kept apart.
    SRun RunProgram(const std::string& strProgram, const std::vector<std::string>& vecArgs,
                    const std::string& strCameras = "") {
        std::string strCmd = "env ";
        if (strCameras.empty()) {
            strCmd += "-u KXEYE_VIRTUAL_CAMERAS ";
        } else {
            strCmd += "KXEYE_VIRTUAL_CAMERAS=";
            strCmd += Quote(strCameras);
            strCmd += ' ';
        }
        strCmd += Quote(strProgram);
        for (const std::string& a : vecArgs) {
            strCmd += ' ';
            strCmd += Quote(a);
        }
        const fs::path errPath = m_dir / "stderr.txt";
        strCmd += " 2>";
        strCmd += Quote(errPath.string());
        strCmd += " </dev/null";
        SRun run;
        FILE* pPipe = popen(strCmd.c_str(), "r");
        if (!pPipe) return run;
        char szBuffer[4096];
        size_t n;
        while ((n = fread(szBuffer, 1, sizeof(szBuffer), pPipe)) > 0) run.strOut.append(szBuffer, n);
        const int nStatus = pclose(pPipe);
        run.nExit = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
        run.strErr = ReadFile(errPath);
        return run;
    }
    SRun Kxeye(const std::vector<std::string>& vecArgs, const std::string& strCameras = "") {
        return RunProgram(KXEYE_PATH, vecArgs, strCameras);
    }

    fs::path m_dir;
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
long long ReadPly(const std::string& strPath, std::vector<float>* pvecXYZ = nullptr) {
    const std::string strData = ReadFile(strPath);
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
    const std::string strText = ReadFile(out / "snapshot_3D.txt");
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
    const SRun run = Kxeye({"scan", "0", "--frames", "30", "--out", out.string()});
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

#ifdef MINIMAL_CAPTURE_PATH
TEST_F(KxEyeTool, MinimalCaptureRunsAndTheReadmeQuotesIt) {
    const SRun run = RunProgram(MINIMAL_CAPTURE_PATH, {});
    ASSERT_EQ(run.nExit, 0) << run.strOut << run.strErr;
    EXPECT_GT(FindNumber(run.strOut, "frames"), 0) << run.strOut;
    EXPECT_THAT(run.strOut, HasSubstr(" points, first at ("));

    const std::string strExample = ReadFile(fs::path(KX_SOURCE_DIR) / "examples" / "minimal_capture.cpp");
    const std::string strReadme = ReadFile(fs::path(KX_SOURCE_DIR) / "README.md");
    ASSERT_FALSE(strExample.empty());
    EXPECT_NE(strReadme.find("```cpp\n" + strExample + "```"), std::string::npos)
        << "README.md must quote examples/minimal_capture.cpp whole, as it stands";
}
#endif

}  // namespace
