// Result blocks the application keeps after the device's Close and last Release: they still
// decode with the device's compensation table, still show their images, and give their camera
// buffer back exactly once, to a camera object that lives until the last of them lets go.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "capture_harness.h"
#include "kxlasereyerecords.h"
#include "oreyeapi_testsupport.h"

using namespace CaptureTest;

namespace {

// One version 8 camera whose compensation adds 5000 mm to every depth: a decode that did not
// use the table (or used a stale one) shows at once.
const char* const c_szCamera =
    "[{\"version\": 8, \"swing_motor\": false, \"compensation\": [[1000, 5000]]}]";
const float c_fCompensation = 5000.0f;

// Decodes and reads everything an application can of a block whose device is gone.
void ExpectUsable(IKxLaserEyeResultBlock* pBlock, bool bImages) {
    int32_t nCount = 0;
    const auto* pPoints = static_cast<const SKxLaserPoint3F*>(pBlock->GetPointData(1, &nCount));
    ASSERT_NE(nullptr, pPoints);
    ASSERT_GT(nCount, 0);
    for (int32_t i = 0; i < nCount; ++i) {
        // The belt lies 400 mm away; everything seen is nearer.
        ASSERT_GT(pPoints[i].fZ, c_fCompensation) << i;
        ASSERT_LT(pPoints[i].fZ, c_fCompensation + 400.5f) << i;
    }
    IKxSurface* pLeft = nullptr;
    IKxSurface* pRight = nullptr;
    ASSERT_EQ(bImages, pBlock->GetSurfaces(&pLeft, &pRight));
    if (!bImages) return;
    for (IKxSurface* pSurface : {pLeft, pRight}) {
        SKxNLImageData image{};
        ASSERT_EQ(0, pSurface->GetImageData(&image));
        uint8_t* pPixels = nullptr;
        ASSERT_EQ(0, pSurface->Lock(&pPixels));
        ASSERT_NE(nullptr, pPixels);
        // The laser line is drawn at 255 on a background of 16.
        int nLine = 0;
        for (int32_t i = 0; i < image.nWidth * image.nHeight; ++i) nLine += pPixels[i] == 255;
        EXPECT_GT(nLine, 0);
        pSurface->Unlock();
        pSurface->Release();
    }
}

// How the application lets go of the device while it still keeps blocks.
enum class EEnd { CloseWhileCapturing, StopThenClose, ReleaseWhileCapturing };

struct EndCase {
    const char* pszName;
    EEnd eEnd;
};

class KeptBlocks : public ::testing::Test, protected VirtualRig {
protected:
    static void TearDownTestSuite() { Unlist(); }
    void SetUp() override { Open(c_szCamera, 1, 0, 8); }
    void TearDown() override {
        ReleaseKept();
        Close();
    }
    void ReleaseKept() {
        std::vector<IKxLaserEyeResultBlock*> v;
        {
            std::lock_guard<std::mutex> lock(m);
            v.swap(kept);
        }
        for (IKxLaserEyeResultBlock* p : v) p->Release();
    }
    std::vector<IKxLaserEyeResultBlock*> Kept() {
        std::lock_guard<std::mutex> lock(m);
        return kept;
    }

    Recorder rec;
    std::mutex m;
    std::vector<IKxLaserEyeResultBlock*> kept;
};

class KeptCaptureBlocks : public KeptBlocks, public ::testing::WithParamInterface<EndCase> {};

}  // namespace

TEST_P(KeptCaptureBlocks, OutliveTheDeviceAndGiveTheirBuffersBackOnce) {
    ASSERT_EQ(0, dev->SetDebugMode(true));  // images too: surfaces over the camera buffer
    rec.onBlock = [&](IKxLaserEyeResultBlock* pBlock) {
        std::lock_guard<std::mutex> lock(m);
        if (kept.size() < 3) {
            pBlock->AddRef();
            kept.push_back(pBlock);
        }
    };
    ASSERT_EQ(0, dev->StartCapture(0, &rec, nullptr));
    ASSERT_TRUE(WaitFor([&] { return rec.Count() >= 5; }, 10000));

    switch (GetParam().eEnd) {
        case EEnd::CloseWhileCapturing:
            dev->Close();
            break;
        case EEnd::StopThenClose:
            ASSERT_EQ(0, dev->StopCapture());
            dev->Close();
            break;
        case EEnd::ReleaseWhileCapturing:
            break;
    }
    dev->Release();
    dev = nullptr;

    // The camera object lives on for the kept blocks, but streams no more and calls no one.
    EXPECT_FALSE(ctl->IsStreaming());
    const size_t nDelivered = rec.Count();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(nDelivered, rec.Count());
    ASSERT_EQ(3u, ctl->GetCounters().nBuffersHeld);

    const std::vector<IKxLaserEyeResultBlock*> v = Kept();
    ASSERT_EQ(3u, v.size());
    for (IKxLaserEyeResultBlock* pBlock : v) {
        SCOPED_TRACE(pBlock->GetFrameIndex());
        ExpectUsable(pBlock, true);
    }
    ReleaseKept();
    const OrEyeTest::Counters c = ctl->GetCounters();
    EXPECT_EQ(0u, c.nBuffersHeld);
    EXPECT_EQ(c.nBuffersOut, c.nBuffersReturned);
    EXPECT_EQ(0u, c.nBadReleases);
}

INSTANTIATE_TEST_SUITE_P(Ends, KeptCaptureBlocks,
                         ::testing::Values(EndCase{"CloseWhileCapturing", EEnd::CloseWhileCapturing},
                                           EndCase{"StopThenClose", EEnd::StopThenClose},
                                           EndCase{"ReleaseWhileCapturing", EEnd::ReleaseWhileCapturing}),
                         [](const ::testing::TestParamInfo<EndCase>& info) {
                             return std::string(info.param.pszName);
                         });

TEST_F(KeptBlocks, DetectBlockDecodesAfterTheDeviceIsGone) {
    IKxLaserEyeResultBlock* pBlock = nullptr;
    ASSERT_EQ(0, dev->Detect(&pBlock));
    ASSERT_NE(nullptr, pBlock);
    {
        std::lock_guard<std::mutex> lock(m);
        kept.push_back(pBlock);
    }
    dev->Close();
    dev->Release();
    dev = nullptr;
    ExpectUsable(pBlock, true);
}

// A surface kept after its result block holds the camera buffer its pixels lie in: the buffer
// goes back only when the surface goes too, so the camera can never overwrite what it shows.
TEST_F(KeptBlocks, KeptSurfaceHoldsItsCameraBuffer) {
    ASSERT_EQ(0, dev->SetDebugMode(true));
    std::vector<IKxSurface*> surfaces;
    rec.onBlock = [&](IKxLaserEyeResultBlock* pBlock) {
        std::lock_guard<std::mutex> lock(m);
        if (!surfaces.empty()) return;
        IKxSurface* pLeft = nullptr;
        IKxSurface* pRight = nullptr;
        if (!pBlock->GetSurfaces(&pLeft, &pRight)) return;
        pRight->Release();
        surfaces.push_back(pLeft);
    };
    ASSERT_EQ(0, dev->StartCapture(0, &rec, nullptr));
    ASSERT_TRUE(WaitFor([&] { return rec.Count() >= 5; }, 10000));
    ASSERT_EQ(0, dev->StopCapture());
    dev->Close();
    dev->Release();
    dev = nullptr;

    std::vector<IKxSurface*> v;
    {
        std::lock_guard<std::mutex> lock(m);
        v.swap(surfaces);
    }
    ASSERT_EQ(1u, v.size());
    EXPECT_EQ(1u, ctl->GetCounters().nBuffersHeld);
    SKxNLImageData image{};
    ASSERT_EQ(0, v[0]->GetImageData(&image));
    int nLine = 0;
    for (int32_t i = 0; i < image.nWidth * image.nHeight; ++i) nLine += image.pData[i] == 255;
    EXPECT_GT(nLine, 0);
    v[0]->Release();
    EXPECT_EQ(0u, ctl->GetCounters().nBuffersHeld);
}
