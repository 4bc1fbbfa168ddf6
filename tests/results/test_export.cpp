// SaveToFile: raw bytes, 3D text and both images, read back.
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#define STB_IMAGE_IMPLEMENTATION
#include <stb/stb_image.h>

#include "../core/frame_builder.h"
#include "kxkernel.h"
#include "kxlasereyeresultblock.h"
#include "results_helpers.h"

using KxResultsTest::CountingPool;
using KxResultsTest::FrameBlock;

namespace {

class ExportTest : public ::testing::Test {
protected:
    void SetUp() override {
        char szTemplate[] = "/tmp/kxresults_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(szTemplate));
        m_dir = szTemplate;
    }
    void TearDown() override {
        for (const std::string& name : Files()) std::remove((m_dir + "/" + name).c_str());
        rmdir(m_dir.c_str());
    }
    std::vector<std::string> Files() const {
        std::vector<std::string> out;
        if (DIR* d = opendir(m_dir.c_str())) {
            while (dirent* e = readdir(d))
                if (e->d_name[0] != '.') out.push_back(e->d_name);
            closedir(d);
        }
        return out;
    }
    static std::string Read(const std::string& path) {
        std::ifstream is(path, std::ios::binary);
        std::stringstream ss;
        ss << is.rdbuf();
        return ss.str();
    }
    std::string m_dir;
};

}  // namespace

TEST_F(ExportTest, WritesRawTextAndImages) {
    KxTestFrame::SFrame f;
    f.SetPoint(0, 256, 100000, 0, -5000);
    f.SetPoint(1, 256, -1000, 0, 0);  // dropped
    f.SetPoint(2, 256, 123456, 789, 1);
    f.SetCount(3, 1);
    std::vector<uint8_t> left(6 * 4), right(6 * 4);
    for (size_t i = 0; i < left.size(); ++i) {
        left[i] = static_cast<uint8_t>(i * 10);
        right[i] = static_cast<uint8_t>(255 - i);
    }
    IKxSurface* pLeft = KxResultsTest::GraySurface(left, 6, 4);
    IKxSurface* pRight = KxResultsTest::GraySurface(right, 6, 4);
    auto* pFrame = new FrameBlock(f.bytes);
    auto* pPool = new CountingPool();
    CKxLaserEyeResultBlock* pBlock = nullptr;
    ASSERT_TRUE(CreateLaserEyeResultBlock(pLeft, pRight, pFrame, nullptr, 0, 0, 0, 0, 0, 0, 900, 96, 160, 1, 0,
                                          nullptr, pPool, &pBlock));
    int32_t n = 0;
    pBlock->GetPointData(1, &n);

    const std::string file = m_dir + "/frame.bin";
    pBlock->SaveToFile(file.c_str());

    EXPECT_EQ(std::string(f.bytes.begin(), f.bytes.end()), Read(file));
    EXPECT_EQ("LeftPicROI_X:96\nRightPicROI_X:160\nAngle:900\n{-5,0,100}\n{0.001,0.789,123.456}\n",
              Read(m_dir + "/frame_3D.txt"));

    const std::pair<const char*, const std::vector<uint8_t>*> images[] = {{"/frame_L.png", &left},
                                                                          {"/frame_R.png", &right}};
    for (const auto& img : images) {
        int w = 0, h = 0, c = 0;
        unsigned char* p = stbi_load((m_dir + img.first).c_str(), &w, &h, &c, 1);
        ASSERT_NE(nullptr, p) << img.first;
        EXPECT_EQ(6, w);
        EXPECT_EQ(4, h);
        EXPECT_EQ(*img.second, std::vector<uint8_t>(p, p + w * h)) << img.first;
        stbi_image_free(p);
    }
    // The read of format 0 replaced the cache like any read.
    EXPECT_NE(nullptr, pBlock->GetPixelData(0, &n));
    EXPECT_EQ(2, n);

    pBlock->Release();
    pLeft->Release();
    pRight->Release();
    pFrame->Release();
    pPool->Release();
}

TEST_F(ExportTest, WithoutImagesWritesNoPng) {
    KxTestFrame::SFrame f;
    f.SetCount(0, 1);
    auto* pFrame = new FrameBlock(f.bytes);
    CKxLaserEyeResultBlock* pBlock = nullptr;
    ASSERT_TRUE(CreateLaserEyeResultBlock(nullptr, nullptr, pFrame, nullptr, 0, 0, 0, 0, 0, 0, 65535, 1, 2, 1, 0,
                                          nullptr, nullptr, &pBlock));
    pBlock->SaveToFile((m_dir + "/empty.raw").c_str());
    EXPECT_EQ("LeftPicROI_X:1\nRightPicROI_X:2\nAngle:65535\n", Read(m_dir + "/empty_3D.txt"));
    auto files = Files();
    std::sort(files.begin(), files.end());
    EXPECT_EQ((std::vector<std::string>{"empty.raw", "empty_3D.txt"}), files);
    pBlock->Release();
    pFrame->Release();
}

// A name whose composed export paths would not fit is refused: no file with a cut name appears.
TEST_F(ExportTest, NameTooLongForTheExportPathsIsRefused) {
    KxTestFrame::SFrame f;
    f.SetCount(0, 1);
    std::vector<uint8_t> left(4, 1);
    IKxSurface* pLeft = KxResultsTest::GraySurface(left, 2, 2);
    auto* pFrame = new FrameBlock(f.bytes);
    CKxLaserEyeResultBlock* pBlock = nullptr;
    ASSERT_TRUE(CreateLaserEyeResultBlock(pLeft, nullptr, pFrame, nullptr, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0,
                                          nullptr, nullptr, &pBlock));
    // "<dir>/<name>_3D.txt" is one character past 255; "<dir>/<name>_L.png" fits exactly.
    const size_t nName = 255 - (m_dir.size() + 1) - 7 + 1;
    const std::string name(nName, 'n');
    pBlock->SaveToFile((m_dir + "/" + name).c_str());
    auto files = Files();
    std::sort(files.begin(), files.end());
    EXPECT_EQ((std::vector<std::string>{name, name + "_L.png"}), files) << "no text file with a cut name";
    // One more character: the image path does not fit either.
    std::remove((m_dir + "/" + name + "_L.png").c_str());
    pBlock->SaveToFile((m_dir + "/" + name + "m").c_str());
    files = Files();
    std::sort(files.begin(), files.end());
    EXPECT_EQ((std::vector<std::string>{name, name + "m"}), files);
    pBlock->SaveToFile(nullptr);  // no crash
    pBlock->Release();
    pLeft->Release();
    pFrame->Release();
}
