// Memory and surface pools (reuse, recycling from other threads, pool released while blocks are
// held) and the custom wrappers.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "kxkernel.h"

namespace {

class MemPoolTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(KxKernel::KxCreateMemPool(&m_pPool)); }
    void TearDown() override {
        if (m_pPool != NULL) m_pPool->Release();
    }
    IKxMemBlock* Alloc(unsigned int n) {
        IKxMemBlock* p = NULL;
        EXPECT_EQ(KX_OK, m_pPool->Allocate(n, &p));
        return p;
    }
    IKxMemPool* m_pPool = NULL;
};

TEST_F(MemPoolTest, BlockGivesRequestedSizeAndPoolHoldsItsOwnReference) {
    IKxMemBlock* p = Alloc(1000);
    ASSERT_TRUE(p != NULL);
    EXPECT_EQ(m_pPool, p->m_pIPool);
    EXPECT_EQ(2, p->GetRefCount());
    SKxMemData d;
    ASSERT_EQ(KX_OK, p->GetData(&d));
    EXPECT_EQ(1000u, d.nLength);
    memset(d.pData, 0x5A, d.nLength);  // the whole length is writable (ASan checks)
    EXPECT_EQ(KX_OK, p->EndAccess());
    EXPECT_EQ(KX_E_NULL_ARGUMENT, p->GetData(NULL));
    EXPECT_EQ(1, p->Release());  // back in the pool, not destroyed
}

TEST_F(MemPoolTest, SteadyUseAtOneSizeReusesOneBlock) {
    IKxMemBlock* first = Alloc(4096);
    SKxMemData d0;
    first->GetData(&d0);
    first->Release();
    for (int i = 0; i < 1000; ++i) {
        IKxMemBlock* p = Alloc(4096);
        ASSERT_EQ(first, p);
        SKxMemData d;
        p->GetData(&d);
        ASSERT_EQ(d0.pData, d.pData);
        p->Release();
    }
}

TEST_F(MemPoolTest, ReusesSmallestLargeEnoughBlockAndKeepsHeldOnesApart) {
    IKxMemBlock* big = Alloc(8000);
    IKxMemBlock* mid = Alloc(2000);
    IKxMemBlock* held = Alloc(2000);
    big->Release();
    mid->Release();
    IKxMemBlock* p = Alloc(1500);
    EXPECT_EQ(mid, p);  // smallest that fits
    SKxMemData d;
    p->GetData(&d);
    EXPECT_EQ(1500u, d.nLength);
    IKxMemBlock* q = Alloc(1500);
    EXPECT_EQ(big, q);
    IKxMemBlock* r = Alloc(1500);
    EXPECT_TRUE(r != held && r != big && r != mid);  // a held block is never handed out twice
    p->Release();
    q->Release();
    r->Release();
    held->Release();
}

TEST_F(MemPoolTest, BlocksRecycledFromOtherThreads) {
    // Producer allocates, consumers release on their own threads, as a result block would be.
    const int kBlocks = 2000;
    std::vector<IKxMemBlock*> queue;
    std::mutex m;
    std::atomic<bool> done(false);
    std::set<IKxMemBlock*> seen;
    std::vector<std::thread> consumers;
    for (int t = 0; t < 2; ++t)
        consumers.push_back(std::thread([&] {
            for (;;) {
                IKxMemBlock* p = NULL;
                {
                    std::lock_guard<std::mutex> lock(m);
                    if (!queue.empty()) {
                        p = queue.back();
                        queue.pop_back();
                    } else if (done) {
                        return;
                    }
                }
                if (p != NULL) p->Release();
                else std::this_thread::yield();
            }
        }));
    for (int i = 0; i < kBlocks; ++i) {
        IKxMemBlock* p = Alloc(512 + (i % 3) * 512);
        seen.insert(p);
        SKxMemData d;
        p->GetData(&d);
        d.pData[0] = static_cast<uint8_t>(i);
        for (;;) {
            std::lock_guard<std::mutex> lock(m);
            if (queue.size() < 8) {  // bounded hand-over, as a capture queue would be
                queue.push_back(p);
                break;
            }
        }
    }
    done = true;
    for (size_t i = 0; i < consumers.size(); ++i) consumers[i].join();
    // At most 11 blocks are held at once (8 queued, 2 being released, 1 new), each of three
    // sizes: the pool never needs more than that however long it runs.
    EXPECT_LE(seen.size(), 33u);
}

TEST_F(MemPoolTest, PoolReleasedWhileBlocksHeldKeepsThemUsable) {
    IKxMemBlock* held = Alloc(256);
    IKxMemBlock* freed = Alloc(128);
    freed->Release();
    m_pPool->Release();
    m_pPool = NULL;
    SKxMemData d;
    ASSERT_EQ(KX_OK, held->GetData(&d));
    memset(d.pData, 1, d.nLength);  // ASan: still ours
    // Released from another thread; pool and block go without leaks (LeakSanitizer checks).
    std::thread([held] { held->Release(); }).join();
}

TEST_F(MemPoolTest, BadCallsAnswerCodes) {
    EXPECT_EQ(KX_E_NULL_ARGUMENT, m_pPool->Allocate(10, NULL));
    EXPECT_EQ(KX_E_NULL_ARGUMENT, m_pPool->Recycle(NULL));
    IKxMemBlock* p = Alloc(10);
    EXPECT_EQ(KX_E_BUSY, m_pPool->Recycle(p));  // still held by us
    IKxMemBlock* foreign = NULL;
    unsigned char buf[4];
    ASSERT_TRUE(KxCreateCustomMemBlock(buf, sizeof(buf), &foreign));
    EXPECT_EQ(KX_E_NOT_FOUND, m_pPool->Recycle(foreign));
    foreign->Release();
    p->Release();
    IKxMemBlock* zero = Alloc(0);  // a zero-size request is a valid empty block
    ASSERT_TRUE(zero != NULL);
    zero->Release();
    EXPECT_FALSE(KxKernel::KxCreateMemPool(NULL));
}

TEST(CustomMemBlock, WrapsWithoutCopyAndChecksArguments) {
    unsigned char buf[16] = {1, 2, 3};
    IKxMemBlock* p = NULL;
    ASSERT_TRUE(KxCreateCustomMemBlock(buf, sizeof(buf), &p));
    SKxMemData d;
    ASSERT_EQ(KX_OK, p->GetData(&d));
    EXPECT_EQ(buf, d.pData);
    EXPECT_EQ(16u, d.nLength);
    EXPECT_TRUE(p->m_pIPool == NULL);
    const uint64_t t1 = p->GetTime();
    EXPECT_LE(t1, p->GetTime());
    EXPECT_EQ(0, p->Release());
    EXPECT_FALSE(KxCreateCustomMemBlock(buf, 16, NULL));
    p = reinterpret_cast<IKxMemBlock*>(1);
    EXPECT_FALSE(KxCreateCustomMemBlock(NULL, 16, &p));
    EXPECT_TRUE(p == NULL);
}

// ---- surfaces ----

TEST(SurfacePool, ReusesBySizeAndDescribesImage) {
    IKxSurfacePool* pool = NULL;
    ASSERT_TRUE(KxKernel::KxCreateSurfacePool(&pool));
    IKxSurface* s = NULL;
    ASSERT_EQ(KX_OK, pool->AllocSurface(640, 480, c_nKxPixelFormatGray8, 32, 16, &s));
    EXPECT_EQ(1, s->GetRefCount());
    SKxNLImageData img;
    ASSERT_EQ(KX_OK, s->GetImageData(&img));
    EXPECT_EQ(640, img.nWidth);
    EXPECT_EQ(480, img.nHeight);
    EXPECT_EQ(32, img.nX);
    EXPECT_EQ(16, img.nY);
    EXPECT_EQ(640u * 480u, img.nSize);
    EXPECT_EQ(c_nKxPixelFormatGray8, img.nPixelFormat);
    EXPECT_EQ(8, img.nBits);
    EXPECT_EQ(1, img.nChannels);
    uint8_t* px = NULL;
    ASSERT_EQ(KX_OK, s->Lock(&px));
    EXPECT_EQ(img.pData, px);
    memset(px, 0x11, img.nSize);
    s->Unlock();
    EXPECT_EQ(KX_OK, s->SetOrigin(5, 6));
    s->GetImageData(&img);
    EXPECT_EQ(5, img.nX);
    EXPECT_EQ(6, img.nY);
    IKxSurface* sBefore = s;
    EXPECT_EQ(0, s->Release());  // back to the pool

    IKxSurface* other = NULL;
    ASSERT_EQ(KX_OK, pool->AllocSurface(320, 240, c_nKxPixelFormatGray8, 0, 0, &other));
    EXPECT_NE(sBefore, other);  // another size gets its own surface
    IKxSurface* again = NULL;
    ASSERT_EQ(KX_OK, pool->AllocSurface(640, 480, c_nKxPixelFormatGray8, 1, 2, &again));
    EXPECT_EQ(sBefore, again);
    again->GetImageData(&img);
    EXPECT_EQ(1, img.nX);  // the new description's origin
    EXPECT_EQ(2, img.nY);
    EXPECT_EQ(1, again->GetRefCount());
    again->Release();
    other->Release();
    pool->Release();
}

TEST(SurfacePool, ReleasedFromOtherThreadsAndAfterPoolDropped) {
    IKxSurfacePool* pool = NULL;
    ASSERT_TRUE(KxKernel::KxCreateSurfacePool(&pool));
    std::vector<std::thread> threads;
    std::mutex m;
    std::set<IKxSurface*> seen;
    for (int t = 0; t < 2; ++t)
        threads.push_back(std::thread([&] {
            for (int i = 0; i < 300; ++i) {
                IKxSurface* s = NULL;
                ASSERT_EQ(KX_OK, pool->AllocSurface(64, 64, c_nKxPixelFormatGray8, 0, 0, &s));
                s->AddRef();
                std::thread([s] {
                    s->Release();
                }).join();
                {
                    std::lock_guard<std::mutex> lock(m);
                    seen.insert(s);
                }
                s->Release();
            }
        }));
    for (size_t i = 0; i < threads.size(); ++i) threads[i].join();
    EXPECT_LE(seen.size(), 2u);

    IKxSurface* held = NULL;
    ASSERT_EQ(KX_OK, pool->AllocSurface(100, 10, c_nKxPixelFormatGray8, 0, 0, &held));
    pool->Release();
    uint8_t* px = NULL;
    held->Lock(&px);
    memset(px, 3, 1000);  // ASan: pixels still alive after the pool was dropped
    held->Unlock();
    held->Release();
}

TEST(SurfacePool, BadRequestsRefused) {
    IKxSurfacePool* pool = NULL;
    ASSERT_TRUE(KxKernel::KxCreateSurfacePool(&pool));
    IKxSurface* s = reinterpret_cast<IKxSurface*>(1);
    EXPECT_EQ(KX_E_NULL_ARGUMENT, pool->AllocSurface(10, 10, c_nKxPixelFormatGray8, 0, 0, NULL));
    EXPECT_EQ(KX_E_NOT_SUPPORTED, pool->AllocSurface(10, 10, 3, 0, 0, &s));
    EXPECT_TRUE(s == NULL);
    EXPECT_EQ(KX_E_OUT_OF_RANGE, pool->AllocSurface(0, 10, c_nKxPixelFormatGray8, 0, 0, &s));
    EXPECT_EQ(KX_E_OUT_OF_RANGE, pool->AllocSurface(10, -1, c_nKxPixelFormatGray8, 0, 0, &s));
    EXPECT_EQ(KX_E_OUT_OF_RANGE, pool->AllocSurface(70000, 70000, c_nKxPixelFormatGray8, 0, 0, &s));
    EXPECT_EQ(KX_E_NULL_ARGUMENT, pool->Recycle(NULL));
    ASSERT_EQ(KX_OK, pool->AllocSurface(10, 10, c_nKxPixelFormatGray8, 0, 0, &s));
    EXPECT_EQ(KX_E_BUSY, pool->Recycle(s));  // the application still holds it
    s->Release();
    pool->Release();
    EXPECT_FALSE(KxKernel::KxCreateSurfacePool(NULL));
}

TEST(CustomSurface, WrapsCallerMemoryWithoutCopy) {
    uint8_t pixels[32 * 8];
    SKxNLImageData img = {pixels, sizeof(pixels), 64, 100, 32, 8, c_nKxPixelFormatGray8, 8, 1};
    IKxSurface* s = NULL;
    ASSERT_TRUE(KxCreateCustomSurface(img, &s));
    uint8_t* px = NULL;
    ASSERT_EQ(KX_OK, s->Lock(&px));
    EXPECT_EQ(pixels, px);
    EXPECT_EQ(KX_E_NULL_ARGUMENT, s->Lock(NULL));
    s->Unlock();
    s->SetOrigin(7, 9);
    SKxNLImageData out;
    s->GetImageData(&out);
    EXPECT_EQ(pixels, out.pData);
    EXPECT_EQ(7, out.nX);
    EXPECT_EQ(9, out.nY);
    EXPECT_EQ(32, out.nWidth);
    EXPECT_EQ(KX_E_NULL_ARGUMENT, s->GetImageData(NULL));
    EXPECT_EQ(0, s->Release());
}

TEST(CustomSurface, RefusesDescriptionsThatDoNotCoverTheirPixels) {
    uint8_t pixels[100];
    IKxSurface* s = NULL;
    SKxNLImageData img = {pixels, 100, 0, 0, 10, 10, c_nKxPixelFormatGray8, 8, 1};
    EXPECT_FALSE(KxCreateCustomSurface(img, NULL));
    img.nSize = 99;
    EXPECT_FALSE(KxCreateCustomSurface(img, &s));
    img.nSize = 100;
    img.pData = NULL;
    EXPECT_FALSE(KxCreateCustomSurface(img, &s));
    img.pData = pixels;
    img.nWidth = -10;
    EXPECT_FALSE(KxCreateCustomSurface(img, &s));
    EXPECT_TRUE(s == NULL);
}

}  // namespace
