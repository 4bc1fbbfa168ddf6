// Memory reader, path helpers, file writing, PNG export, GUIDs and the signal.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "kxkernel_testsupport.h"

#define STB_IMAGE_IMPLEMENTATION
#include <stb/stb_image.h>

namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream f(path.c_str(), std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

TEST(MemFile, ReadsInOrderAndRefusesShortReadsWithoutConsuming) {
    const uint8_t data[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    CKxMemFile f(data, sizeof(data));
    uint8_t out[8];
    unsigned int n = 4;
    EXPECT_FALSE(f.Read(out, n));  // not open yet
    ASSERT_TRUE(f.Open());
    n = 4;
    ASSERT_TRUE(f.Read(out, n));
    EXPECT_EQ(4u, n);
    EXPECT_EQ(3, out[3]);
    n = 8;
    EXPECT_FALSE(f.Read(out, n));  // only 6 left
    EXPECT_EQ(0u, n);
    EXPECT_EQ(4u, f.Position());
    n = 6;
    ASSERT_TRUE(f.Read(out, n));
    EXPECT_EQ(9, out[5]);
    n = 1;
    EXPECT_FALSE(f.Read(out, n));
    n = 0;
    EXPECT_TRUE(f.Read(out, n));
    n = 1;
    f.Open();
    EXPECT_FALSE(f.Read(NULL, n));
    f.Close();
    n = 1;
    EXPECT_FALSE(f.Read(out, n));

    CKxMemFile none(NULL, 100);
    EXPECT_FALSE(none.Open());
    n = 1;
    EXPECT_FALSE(none.Read(out, n));
}

struct PathCase {
    const char* pszIn;
    const char* pszPath;
    const char* pszName;  // NULL: no name
};

class PathTest : public ::testing::TestWithParam<PathCase> {};

TEST_P(PathTest, SplitsDirectoryAndBareName) {
    const PathCase c = GetParam();
    char path[256], name[256];
    EXPECT_TRUE(KxFilesUtils::GetPurePath(c.pszIn, path, sizeof(path)));
    EXPECT_STREQ(c.pszPath, path);
    EXPECT_EQ(c.pszName != NULL, KxFilesUtils::GetPureName(c.pszIn, name, sizeof(name)));
    EXPECT_STREQ(c.pszName != NULL ? c.pszName : "", name);
}

INSTANTIATE_TEST_SUITE_P(Table, PathTest,
                         ::testing::Values(PathCase{"/data/run1/frame_0001.raw", "/data/run1", "frame_0001"},
                                           PathCase{"out/a.b.c", "out", "a.b"},
                                           PathCase{"C:\\scans\\part.raw", "C:\\scans", "part"},
                                           PathCase{"frame.raw", ".", "frame"},
                                           PathCase{"/frame", "/", "frame"},
                                           PathCase{"dir//x.raw", "dir", "x"},
                                           PathCase{"dir/.hidden", "dir", ".hidden"},
                                           PathCase{"dir/noext", "dir", "noext"},
                                           PathCase{"dir/", "dir", NULL}));

TEST(FilesUtils, SmallBuffersAndNullsFail) {
    char small[4] = "zz";
    EXPECT_FALSE(KxFilesUtils::GetPurePath("/long/directory/x", small, sizeof(small)));
    EXPECT_STREQ("", small);
    EXPECT_FALSE(KxFilesUtils::GetPureName("/d/longname.txt", small, sizeof(small)));
    EXPECT_FALSE(KxFilesUtils::GetPurePath(NULL, small, sizeof(small)));
    EXPECT_FALSE(KxFilesUtils::GetPureName(NULL, small, sizeof(small)));
    EXPECT_FALSE(KxFilesUtils::GetPurePath("a/b", NULL, 10));
    EXPECT_FALSE(KxFilesUtils::GetPureName("a/b", small, 0));
}

TEST(FilesUtils, WriteReplacesOrAppends) {
    const std::string path = ::testing::TempDir() + "kx_write_" + std::to_string(getpid()) + ".bin";
    ASSERT_TRUE(KxFilesUtils::WriteFile(path.c_str(), "hello", 5, false));
    ASSERT_TRUE(KxFilesUtils::WriteFile(path.c_str(), " world", 6, true));
    EXPECT_EQ("hello world", ReadAll(path));
    ASSERT_TRUE(KxFilesUtils::WriteFile(path.c_str(), "new", 3, false));
    EXPECT_EQ("new", ReadAll(path));
    EXPECT_FALSE(KxFilesUtils::WriteFile(NULL, "x", 1, false));
    EXPECT_FALSE(KxFilesUtils::WriteFile(path.c_str(), NULL, 1, false));
    EXPECT_EQ("new", ReadAll(path));  // a refused call leaves the file alone
    {
        KxLogCapture capture;
        EXPECT_FALSE(KxFilesUtils::WriteFile("/nonexistent-dir/x.bin", "x", 1, false));
        EXPECT_TRUE(capture.Contains(c_nKxLogError, "Write File /nonexistent-dir/x.bin Failed"));
    }
    std::remove(path.c_str());
}

class PngTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_pixels.resize(40 * 30);
        for (int y = 0; y < 30; ++y)
            for (int x = 0; x < 40; ++x) m_pixels[y * 40 + x] = static_cast<uint8_t>(x * 6 + y);
        SKxNLImageData img = {m_pixels.data(), static_cast<uint32_t>(m_pixels.size()), 64, 100, 40, 30,
                              c_nKxPixelFormatGray8, 8, 1};
        ASSERT_TRUE(KxCreateCustomSurface(img, &m_pSurface));
        m_path = ::testing::TempDir() + "kx_png_" + std::to_string(getpid()) + ".png";
    }
    void TearDown() override {
        if (m_pSurface) m_pSurface->Release();
        std::remove(m_path.c_str());
    }
    std::vector<uint8_t> m_pixels;
    IKxSurface* m_pSurface = NULL;
    std::string m_path;
};

TEST_F(PngTest, WrittenAndReadBackIdentical) {
    ASSERT_TRUE(KxImageUtils::SaveImage(m_path.c_str(), m_pSurface));
    int w = 0, h = 0, ch = 0;
    unsigned char* px = stbi_load(m_path.c_str(), &w, &h, &ch, 0);
    ASSERT_TRUE(px != NULL);
    EXPECT_EQ(40, w);
    EXPECT_EQ(30, h);
    EXPECT_EQ(1, ch);
    EXPECT_EQ(0, memcmp(px, m_pixels.data(), m_pixels.size()));
    stbi_image_free(px);
}

TEST_F(PngTest, WithResolutionPlacesImageInWholeFrame) {
    SKxVideoResolution res;
    memset(&res, 0, sizeof(res));
    res.nFrameWidth = 128;
    res.nFrameHeight = 120;  // the image (rows 100..129) is cut at the frame's bottom
    ASSERT_TRUE(KxImageUtils::SaveImage(m_path.c_str(), m_pSurface, &res));
    int w = 0, h = 0, ch = 0;
    unsigned char* px = stbi_load(m_path.c_str(), &w, &h, &ch, 0);
    ASSERT_TRUE(px != NULL);
    EXPECT_EQ(128, w);
    EXPECT_EQ(120, h);
    EXPECT_EQ(0, px[0]);
    EXPECT_EQ(m_pixels[0], px[100 * 128 + 64]);
    EXPECT_EQ(m_pixels[19 * 40 + 39], px[119 * 128 + 64 + 39]);
    EXPECT_EQ(0, px[119 * 128 + 64 + 40]);
    stbi_image_free(px);
}

TEST_F(PngTest, UnwritablePathAndBadInputFailCleanly) {
    KxLogCapture capture;
    EXPECT_FALSE(KxImageUtils::SaveImage("/nonexistent-dir/sub/x.png", m_pSurface));
    EXPECT_TRUE(capture.HasLine(c_nKxLogError, "Save Image /nonexistent-dir/sub/x.png Failed"));
    EXPECT_FALSE(KxImageUtils::SaveImage(NULL, m_pSurface));
    EXPECT_FALSE(KxImageUtils::SaveImage(m_path.c_str(), NULL));
    SKxVideoResolution res;
    memset(&res, 0, sizeof(res));
    EXPECT_FALSE(KxImageUtils::SaveImage(m_path.c_str(), m_pSurface, &res));
}

TEST(Guid, FormVersionAndUniqueness) {
    const std::regex form("\\{[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}\\}");
    std::set<std::string> seen;
    for (int i = 0; i < 2000; ++i) {
        char sz[40];
        memset(sz, 'z', sizeof(sz));
        ASSERT_TRUE(KxStringUtils::CreateGUID(sz));
        ASSERT_EQ(38u, strlen(sz));
        ASSERT_TRUE(std::regex_match(sz, form)) << sz;
        seen.insert(sz);
    }
    EXPECT_EQ(2000u, seen.size());
    EXPECT_FALSE(KxStringUtils::CreateGUID(NULL));
}

class SignalTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(KxKernel::KxCreateSignal(&m_pSignal)); }
    void TearDown() override { m_pSignal->Release(); }
    IKxSignal* m_pSignal = NULL;
};

TEST_F(SignalTest, WaitTimesOutWithThreeWhileNotSet) {
    EXPECT_EQ(c_nKxSignalTimeout, m_pSignal->Wait(0));
    EXPECT_EQ(c_nKxSignalTimeout, m_pSignal->Wait(20));
}

TEST_F(SignalTest, SetWakesWaiterOnAnotherThreadAndStaysSet) {
    int32_t nResult = -1;
    std::thread waiter([&] { nResult = m_pSignal->Wait(0xFFFFFFFFu); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    m_pSignal->Set();
    waiter.join();
    EXPECT_EQ(c_nKxSignalSet, nResult);
    EXPECT_EQ(c_nKxSignalSet, m_pSignal->Wait(0));
}

TEST_F(SignalTest, StopWakesWaitersWithStopped) {
    int32_t nResult = -1;
    std::thread waiter([&] { nResult = m_pSignal->Wait(60000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    m_pSignal->NotifyStop();
    waiter.join();
    EXPECT_EQ(c_nKxSignalStopped, nResult);
    m_pSignal->Set();
    EXPECT_EQ(c_nKxSignalSet, m_pSignal->Wait(0));
    EXPECT_FALSE(KxKernel::KxCreateSignal(NULL));
}

}  // namespace
