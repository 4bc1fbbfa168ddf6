// Memory block: forwarding to the wrapped buffer, pool-aware release, the camera buffer given
// back exactly once.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "../core/frame_builder.h"
#include "kxlasereyeresultblock.h"
#include "results_helpers.h"

using KxResultsTest::CountingPool;
using KxResultsTest::MockCamera;
using ::testing::StrictMock;

TEST(MemBlock, WrapsTheBufferWithoutCopy) {
    std::vector<uint8_t> buffer(32800, 1);
    StrictMock<MockCamera> camera;
    CKxLaserEyeMemBlock* pBlock = nullptr;
    EXPECT_FALSE(CreateLaserEyeMemBlock(&camera, buffer.data(), 32800, 4, nullptr));
    ASSERT_TRUE(CreateLaserEyeMemBlock(&camera, buffer.data(), 32800, 4, &pBlock));
    SKxMemData data{};
    EXPECT_EQ(0, pBlock->GetData(&data));
    EXPECT_EQ(buffer.data(), data.pData);
    EXPECT_EQ(32800u, data.nLength);
    pBlock->EndAccess();
    EXPECT_CALL(camera, ReleaseFrameBuffer(4u)).Times(1);
    pBlock->Release();
}

// The result block holds the memory block; the buffer goes back when the last reference goes,
// whoever drops it, and never twice.
TEST(MemBlock, BufferReturnedOnceWhenLastReferenceGoes) {
    KxTestFrame::SFrame f;
    f.SetPoint(0, 256, 100000, 0, 0);
    f.SetCount(1, 1);
    StrictMock<MockCamera> camera;
    CKxLaserEyeMemBlock* pMem = nullptr;
    ASSERT_TRUE(CreateLaserEyeMemBlock(&camera, f.bytes.data(), 32800, 7, &pMem));
    auto* pPool = new CountingPool();
    CKxLaserEyeResultBlock* pResult = nullptr;
    ASSERT_TRUE(CreateLaserEyeResultBlock(nullptr, nullptr, pMem, nullptr, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0,
                                          nullptr, pPool, &pResult));
    pMem->Release();  // the capture pipeline drops its own reference
    int32_t n = 0;
    EXPECT_NE(nullptr, pResult->GetPointData(0, &n));
    EXPECT_EQ(1, n);
    pResult->AddRef();  // the application keeps the block a while
    pResult->Release();
    testing::Mock::VerifyAndClearExpectations(&camera);

    EXPECT_CALL(camera, ReleaseFrameBuffer(7u)).Times(1);
    pResult->Release();
    testing::Mock::VerifyAndClearExpectations(&camera);
    pPool->Release();
}

TEST(MemBlock, ResetGivesTheBufferBackEarlyAndOnlyOnce) {
    std::vector<uint8_t> buffer(64, 0);
    StrictMock<MockCamera> camera;
    CKxLaserEyeMemBlock* pBlock = nullptr;
    ASSERT_TRUE(CreateLaserEyeMemBlock(&camera, buffer.data(), 64, 2, &pBlock));
    EXPECT_CALL(camera, ReleaseFrameBuffer(2u)).Times(1);
    pBlock->Reset();
    testing::Mock::VerifyAndClearExpectations(&camera);
    SKxMemData data{reinterpret_cast<uint8_t*>(1), 1};
    EXPECT_NE(0, pBlock->GetData(&data)) << "nothing to forward to after Reset";
    EXPECT_EQ(nullptr, data.pData);
    EXPECT_EQ(0u, data.nLength);
    pBlock->Reset();
    pBlock->Release();  // no second ReleaseFrameBuffer (StrictMock)
}

TEST(MemBlock, NoCameraOrNoIndexReturnsNothing) {
    std::vector<uint8_t> buffer(64, 0);
    StrictMock<MockCamera> camera;
    CKxLaserEyeMemBlock* pBlock = nullptr;
    ASSERT_TRUE(CreateLaserEyeMemBlock(nullptr, buffer.data(), 64, 2, &pBlock));
    pBlock->Release();
    ASSERT_TRUE(CreateLaserEyeMemBlock(&camera, buffer.data(), 64, -1, &pBlock));
    pBlock->Release();
}

// From 2 references to 1 a pooled block goes back to its pool, once; from 1 to 0 it is destroyed.
TEST(MemBlock, PoolAwareRelease) {
    std::vector<uint8_t> buffer(64, 0);
    StrictMock<MockCamera> camera;
    CountingPool* pPool = new CountingPool();
    CKxLaserEyeMemBlock* pBlock = nullptr;
    ASSERT_TRUE(CreateLaserEyeMemBlock(&camera, buffer.data(), 64, 9, &pBlock));
    pBlock->m_pIPool = pPool;
    pBlock->AddRef();
    pBlock->AddRef();
    EXPECT_EQ(2, pBlock->Release());
    EXPECT_TRUE(pPool->m_recycled.empty());
    EXPECT_EQ(1, pBlock->Release());
    ASSERT_EQ(1u, pPool->m_recycled.size());
    EXPECT_EQ(pBlock, pPool->m_recycled[0]);
    EXPECT_CALL(camera, ReleaseFrameBuffer(9u)).Times(1);
    EXPECT_EQ(0, pBlock->Release());
    EXPECT_EQ(1u, pPool->m_recycled.size());
    pPool->Release();
}

TEST(MemBlock, TimeIsMonotonicNanoseconds) {
    std::vector<uint8_t> buffer(64, 0);
    CKxLaserEyeMemBlock* pBlock = nullptr;
    ASSERT_TRUE(CreateLaserEyeMemBlock(nullptr, buffer.data(), 64, -1, &pBlock));
    const uint64_t t0 = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                  std::chrono::steady_clock::now().time_since_epoch())
                                                  .count());
    const uint64_t a = pBlock->GetTime();
    const uint64_t b = pBlock->GetTime();
    EXPECT_LE(t0, a);
    EXPECT_LE(a, b);
    EXPECT_LT(a - t0, 1000000000ull) << "nanoseconds of the same clock";
    pBlock->Release();
}

namespace {
// Owner of a camera object, like the device's camera holder: deletes it with the last reference.
class CameraOwner : public IKxUnknown {
public:
    CameraOwner(IOrEyeCamera* pCamera, bool& bDeleted) : m_pCamera(pCamera), m_bDeleted(bDeleted) {}
    ~CameraOwner() override {
        delete m_pCamera;
        m_bDeleted = true;
    }

private:
    IOrEyeCamera* m_pCamera;
    bool& m_bDeleted;
};
}  // namespace

// The block keeps the camera's owner from creation to Reset, and gives the buffer back before
// it lets go of the owner (whose last reference deletes the camera).
TEST(MemBlock, KeepAliveHoldsTheCameraUntilTheBufferIsBack) {
    std::vector<uint8_t> buffer(64, 0);
    auto* pCamera = new StrictMock<MockCamera>();
    bool bDeleted = false;
    auto* pOwner = new CameraOwner(pCamera, bDeleted);
    CKxLaserEyeMemBlock* pBlock = nullptr;
    ASSERT_TRUE(CreateLaserEyeMemBlock(pCamera, buffer.data(), 64, 3, &pBlock, pOwner));
    pOwner->Release();  // the device closed: the block's reference is the last one
    EXPECT_FALSE(bDeleted);
    EXPECT_CALL(*pCamera, ReleaseFrameBuffer(3u)).WillOnce([&](unsigned int) {
        EXPECT_FALSE(bDeleted) << "buffer given back to a deleted camera";
        return 0;
    });
    pBlock->Reset();
    EXPECT_TRUE(bDeleted);
    pBlock->Reset();    // nothing left to give back or release
    pBlock->Release();
}
