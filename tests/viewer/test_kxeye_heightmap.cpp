// kxeye scan's height map to scale on the virtual camera: the box of the scene measures its real
// size in the map's cells, and the legend panel stands beside the map.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#define STB_IMAGE_IMPLEMENTATION
#include "stb_image.h"

#include "kxeyeheightmap.h"
#include "tools/kxeye_run.h"

namespace {

class KxEyeHeightMapScan : public KxEyeRunTest {};

// The virtual scene carries a box 140 mm long in the travel direction, 100 mm wide (Y -120 to
// -20) and 30 mm high (top 370 mm from the camera), on a belt 400 mm away.
TEST_F(KxEyeHeightMapScan, TheBoxMeasuresItsRealSizeInTheMap) {
    const std::string strOut = (m_dir / "box").string();
    // 8 s at 100 mm/s: at least one whole box passes. Cells of 1 mm for easy counting.
    const SKxEyeRun run = RunProgram(KXEYE_PATH, {"scan", "0", "--seconds", "8", "--cell", "1", "--json", "--out", strOut});
    ASSERT_EQ(run.nExit, 0) << run.strErr;
    const nlohmann::json j = nlohmann::json::parse(run.strOut);
    const nlohmann::json& m = j["heightMap"];
    ASSERT_EQ(m["kind"], "scale") << m.dump();
    ASSERT_DOUBLE_EQ(m["cellSize"].get<double>(), 1.0);
    EXPECT_EQ(m["across"], "y");
    EXPECT_EQ(m["down"], "x");
    EXPECT_NEAR(m["z"]["min"].get<double>(), 360.0, 1.0);  // the dome's top
    EXPECT_NEAR(m["z"]["max"].get<double>(), 400.0, 1.0);  // the belt
    int w = 0, h = 0, n = 0;
    unsigned char* p = stbi_load(m["path"].get<std::string>().c_str(), &w, &h, &n, 3);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(w, m["width"].get<int>());
    EXPECT_EQ(h, m["height"].get<int>());
    const int nCols = m["columns"], nRows = m["rows"];
    ASSERT_GT(w, nCols) << "the legend panel stands beside the map";
    // The box top's colour: Z 370 on the scale from the scan's Z range.
    const double dMin = m["z"]["min"], dMax = m["z"]["max"];
    uint8_t abyBox[3];
    KxEyeHeightColour((370.0 - dMin) / (dMax - dMin), abyBox);
    auto isBox = [&](int x, int y) {
        const unsigned char* q = p + (static_cast<size_t>(y) * w + x) * 3;
        for (int i = 0; i < 3; ++i)
            if (std::abs(q[i] - abyBox[i]) > 12) return false;
        return true;
    };
    // Longest stretch of box cells down one column (travel) and across one row (the line); a gap
    // of a few cells (frames the loaded machine lost) does not end a stretch.
    const int c_nGap = 8;
    auto longest = [&](int nLines, int nLength, bool bDown) {
        int nBest = 0;
        for (int a = 0; a < nLines; ++a) {
            int nFirst = -1, nLast = -1;
            for (int b = 0; b < nLength; ++b) {
                if (!(bDown ? isBox(a, b) : isBox(b, a))) continue;
                if (nFirst < 0 || b - nLast > c_nGap) nFirst = b;
                nLast = b;
                nBest = std::max(nBest, nLast - nFirst + 1);
            }
        }
        return nBest;
    };
    const int nLongestDown = longest(nCols, nRows, true);
    const int nLongestAcross = longest(nRows, nCols, false);
    stbi_image_free(p);
    EXPECT_NEAR(nLongestDown, 140, 4) << "box length along the travel, in 1 mm cells";
    EXPECT_NEAR(nLongestAcross, 100, 4) << "box width along the line, in 1 mm cells";
}

TEST_F(KxEyeHeightMapScan, ColumnsMapStaysAvailableAndCellIsChecked) {
    const SKxEyeRun cols = RunProgram(KXEYE_PATH, {"scan", "0", "--frames", "5", "--height-map", "columns", "--json",
                                                   "--out", (m_dir / "c").string()});
    ASSERT_EQ(cols.nExit, 0) << cols.strErr;
    const nlohmann::json j = nlohmann::json::parse(cols.strOut);
    EXPECT_EQ(j["heightMap"]["kind"], "columns");
    EXPECT_EQ(j["heightMap"]["height"], 5);
    for (const char* pszBad : {"0", "-1", "abc", "1e9"}) {
        const SKxEyeRun bad = RunProgram(KXEYE_PATH, {"scan", "0", "--frames", "1", "--cell", pszBad, "--out",
                                                      (m_dir / "b").string()});
        EXPECT_EQ(bad.nExit, 2) << pszBad;
    }
    const SKxEyeRun kind = RunProgram(KXEYE_PATH, {"scan", "0", "--frames", "1", "--height-map", "grey", "--out",
                                                   (m_dir / "b").string()});
    EXPECT_EQ(kind.nExit, 2);
}

}  // namespace
