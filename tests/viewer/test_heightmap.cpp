// The height map to scale: points in mm into a grid of square cells, nearest Z per cell, the
// resolution halved when the cells would pass the limit, and the PNG with its legend.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#define STB_IMAGE_IMPLEMENTATION
#include "stb_image.h"

#include "kxeyeheightmap.h"

namespace fs = std::filesystem;

namespace {

struct SPoint {
    double dAcross, dDown;
    float fZ;
};

// Rows of the extracted grid, "." for an empty cell, else the Z rounded.
std::vector<std::string> Picture(const CKxEyeHeightGrid& grid, uint32_t nFill = 0) {
    const std::vector<float> vec = grid.Extract(nFill);
    std::vector<std::string> out;
    for (uint32_t r = 0; r < grid.Rows(); ++r) {
        std::string s;
        for (uint32_t c = 0; c < grid.Columns(); ++c) {
            const float f = vec[r * grid.Columns() + c];
            s += std::isnan(f) ? std::string(".") : std::to_string(std::lround(f));
        }
        out.push_back(s);
    }
    return out;
}

struct SCase {
    const char* pszName;
    double dCell;
    std::vector<SPoint> vecPoints;
    int64_t nFirstColumn, nFirstRow;
    std::vector<std::string> vecPicture;
};

void PrintTo(const SCase& c, std::ostream* pOs) { *pOs << c.pszName; }

class HeightGrid : public ::testing::TestWithParam<SCase> {};

TEST_P(HeightGrid, KnownCloudGivesKnownGrid) {
    const SCase& c = GetParam();
    CKxEyeHeightGrid grid(c.dCell);
    for (const SPoint& p : c.vecPoints) grid.Add(p.dAcross, p.dDown, p.fZ);
    EXPECT_EQ(grid.FirstColumn(), c.nFirstColumn);
    EXPECT_EQ(grid.FirstRow(), c.nFirstRow);
    EXPECT_THAT(Picture(grid), ::testing::ElementsAreArray(c.vecPicture));
    EXPECT_EQ(grid.Halvings(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HeightGrid,
    ::testing::Values(
        // 1 mm cells: a point at 2.5 mm falls in cell 2 (2 mm to 3 mm).
        SCase{"one_mm_cells", 1.0, {{0.2, 0.2, 5}, {2.5, 0.9, 7}, {1.0, 1.0, 3}}, 0, 0, {"5.7", ".3."}},
        // Two points in one cell: the nearer (smaller Z) is what is seen from above.
        SCase{"nearest_wins", 0.5, {{0.1, 0.1, 9}, {0.4, 0.4, 4}, {0.6, 0.1, 8}}, 0, 0, {"48"}},
        // Negative coordinates floor: -0.1 mm is cell -1, not 0.
        SCase{"negative_coordinates", 1.0, {{-0.1, -0.1, 1}, {0.1, 0.1, 2}}, -1, -1, {"1.", ".2"}},
        // Cells in mm whatever the point count: 40 points over 2 mm across are two cells.
        SCase{"to_scale", 1.0,
              [] {
                  std::vector<SPoint> v;
                  for (int i = 0; i < 40; ++i) v.push_back({i * 0.05, 0.5, i < 20 ? 1.0f : 2.0f});
                  return v;
              }(),
              0, 0, {"12"}},
        // Far points grow the grid in every direction, keeping what was there.
        SCase{"grows", 2.0, {{0, 0, 1}, {-70, 0, 2}, {70, 0, 3}, {0, 80, 4}, {0, -90, 5}}, -35, -45, [] {
                  std::vector<std::string> v(86, std::string(71, '.'));
                  v[0][35] = '5';
                  v[45][35] = '1';
                  v[45][0] = '2';
                  v[45][70] = '3';
                  v[85][35] = '4';
                  return v;
              }()}),
    [](const ::testing::TestParamInfo<SCase>& info) { return std::string(info.param.pszName); });

TEST(HeightGridLimits, HalvesTheResolutionInsteadOfGrowingPastTheLimit) {
    // 64 cells at most: a 20 mm line at 1 mm cells over 20 mm of travel needs 400, so the cell
    // doubles until it fits; whole cells merge, nearest Z kept.
    CKxEyeHeightGrid grid(1.0, 64);
    for (int r = 0; r < 20; ++r)
        for (int c = 0; c < 20; ++c) grid.Add(c + 0.5, r + 0.5, static_cast<float>(100 + r * 20 + c));
    EXPECT_GE(grid.Halvings(), 2u);
    EXPECT_EQ(grid.Cell(), std::pow(2.0, grid.Halvings()));
    EXPECT_LE(static_cast<uint64_t>(grid.Columns()) * grid.Rows(), 64u);
    EXPECT_EQ(grid.Columns(), static_cast<uint32_t>(std::ceil(20.0 / grid.Cell())));
    // Cell (0, 0) holds the nearest of the block it covers: the first point.
    EXPECT_EQ(grid.At(0, 0), 100.0f);
    EXPECT_EQ(grid.Points(), 400u);
}

TEST(HeightGridLimits, SkipsWhatIsNoMeasurement) {
    CKxEyeHeightGrid grid(1.0);
    grid.Add(NAN, 0, 1);
    grid.Add(0, INFINITY, 1);
    grid.Add(0, 0, NAN);
    grid.Add(1e9, 0, 1);  // a broken transform must not make the map coarse
    EXPECT_TRUE(grid.Empty());
    EXPECT_EQ(grid.Skipped(), 4u);
}

TEST(HeightGridFill, GapsBetweenProfilesFillFromTheNearerProfile) {
    // Profiles 3 mm apart at 1 mm cells: of the two empty rows between them the upper takes the
    // profile above, the lower the profile below; a longer gap (a lost stretch) stays empty.
    CKxEyeHeightGrid grid(1.0);
    for (double dDown : {0.5, 3.5, 12.5, 16.5}) grid.Add(0.5, dDown, static_cast<float>(dDown + 0.5));
    EXPECT_THAT(Picture(grid, 3), ::testing::ElementsAre("1", "1", "4", "4", ".", ".", ".", ".", ".", ".", ".", ".",
                                                         "13", "13", "17", "17", "17"));
    EXPECT_THAT(Picture(grid, 0), ::testing::Contains(std::string(".")));
}

TEST(HeightMapCell, AutoCellFollowsTheSpacingAndTheTravel) {
    EXPECT_DOUBLE_EQ(KxEyeAutoCell(0.073, 0), 0.073);
    EXPECT_DOUBLE_EQ(KxEyeAutoCell(0.0731, 0.1), 0.074);   // two significant digits, rounded up
    EXPECT_DOUBLE_EQ(KxEyeAutoCell(0.07, 3.2), 0.8);       // a quarter of the travel per profile
    EXPECT_DOUBLE_EQ(KxEyeAutoCell(0, 0), 1.0);
    EXPECT_DOUBLE_EQ(KxEyeAutoCell(NAN, -1), 1.0);
}

TEST(HeightMapPng, ColoursByHeightWithALegend) {
    const fs::path dir = fs::path(::testing::TempDir()) / "kxeye-heightmap-test";
    fs::remove_all(dir);
    fs::create_directories(dir);
    // A 100 x 50 mm plate at Z 400 with a 20 x 10 mm block at Z 380 on it, at 0.5 mm cells.
    CKxEyeHeightGrid grid(0.5);
    for (double y = 0.25; y < 50; y += 0.5)
        for (double x = 0.25; x < 100; x += 0.5)
            grid.Add(x, y, (x > 40 && x < 60 && y > 20 && y < 30) ? 380.0f : 400.0f);
    SKxEyeHeightMapInfo info;
    std::string strError;
    const std::string strPath = (dir / "map.png").string();
    ASSERT_TRUE(KxEyeWriteHeightMap(grid, 0, strPath, info, strError)) << strError;
    EXPECT_EQ(info.nColumns, 200u);
    EXPECT_EQ(info.nRows, 100u);
    EXPECT_DOUBLE_EQ(info.dCell, 0.5);
    EXPECT_DOUBLE_EQ(info.dMinZ, 380.0);
    EXPECT_DOUBLE_EQ(info.dMaxZ, 400.0);
    int w = 0, h = 0, n = 0;
    unsigned char* p = stbi_load(strPath.c_str(), &w, &h, &n, 3);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(static_cast<uint32_t>(w), info.nWidth);
    EXPECT_EQ(static_cast<uint32_t>(h), info.nHeight);
    EXPECT_GT(static_cast<uint32_t>(w), info.nColumns) << "a legend panel beside the map";
    auto px = [&](int x, int y) {
        const unsigned char* q = p + (static_cast<size_t>(y) * w + x) * 3;
        return std::vector<int>{q[0], q[1], q[2]};
    };
    uint8_t near[3], far[3];
    KxEyeHeightColour(0, near);
    KxEyeHeightColour(1, far);
    EXPECT_EQ(px(100, 50), (std::vector<int>{near[0], near[1], near[2]})) << "the block, nearest, red";
    EXPECT_EQ(px(10, 10), (std::vector<int>{far[0], far[1], far[2]})) << "the plate, farthest";
    // The legend's bar starts with the nearest colour.
    EXPECT_EQ(px(info.nColumns + 10, 30), (std::vector<int>{near[0], near[1], near[2]}));
    // Below the map (the panel is taller than 100 rows) nothing of the map is drawn.
    EXPECT_EQ(px(10, 150), (std::vector<int>{40, 40, 40}));
    stbi_image_free(p);
    fs::remove_all(dir);
}

}  // namespace
