// Result block: creation and references, decode cache, bad frames, trailer switch, getters.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "../core/frame_builder.h"
#include "kxkernel.h"
#include "kxkernel_testsupport.h"
#include "kxlasereyeresultblock.h"
#include "results_helpers.h"

using KxResultsTest::CountingPool;
using KxResultsTest::FrameBlock;
using KxTestFrame::SFrame;

namespace {

// A version 1 frame of n points along X, all at Z = 100.
SFrame LineFrame(int n, uint32_t nVersion = 1) {
    SFrame f;
    for (int i = 0; i < n; ++i) f.SetPoint(i, 2560, 100000, 0, i * 1000);
    f.SetCount(static_cast<uint32_t>(n), nVersion);
    f.SetWord(0, 200 * 1024);
    f.SetWord(1, 100 * 1024);
    f.SetWord(2, 1000 * 1024);
    return f;
}

class ResultBlockTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_savedSetting = *KxGlobalSetting::GetSetting();
        SetExtendedTrailer(false);
        m_pPool = new CountingPool();
    }
    void TearDown() override {
        if (m_pBlock != nullptr) m_pBlock->Release();
        if (m_pFrame != nullptr) {
            EXPECT_EQ(0, m_pFrame->m_nOpen) << "frame access left open";
            m_pFrame->Release();
        }
        for (auto* p : m_pPool->m_blocks) EXPECT_EQ(0, p->m_nOpen) << "output access left open";
        m_pPool->Release();
        KxGlobalSetting::SetSetting(m_savedSetting);
    }
    static void SetExtendedTrailer(bool bOn) {
        SKxGlobalSetting s = *KxGlobalSetting::GetSetting();
        s.byExtendedTrailer = bOn ? 1 : 0;
        KxGlobalSetting::SetSetting(s);
    }
    void Create(const std::vector<uint8_t>& bytes, uint32_t nVersion = 1, IKxMemPool* pPool = nullptr,
                bool bUsePool = true, const SKxCompensateEntry* pComp = nullptr, uint32_t nComp = 0,
                uint32_t nAngle = 65535) {
        m_pFrame = new FrameBlock(bytes);
        const double adOffset[3] = {0, 0, 0};
        ASSERT_TRUE(CreateLaserEyeResultBlock(nullptr, nullptr, m_pFrame, pComp, nComp, 1, 2, 3, 4, 5, nAngle, 96,
                                              128, nVersion, 3, adOffset,
                                              bUsePool ? (pPool ? pPool : m_pPool) : nullptr, &m_pBlock));
    }
    // Decodes seen so far: every decode begins one access to the frame; creation began one.
    int Decodes() const { return m_pFrame->m_nGetData - 1; }

    SKxGlobalSetting m_savedSetting{};
    CountingPool* m_pPool = nullptr;
    FrameBlock* m_pFrame = nullptr;
    CKxLaserEyeResultBlock* m_pBlock = nullptr;
};

}  // namespace

TEST_F(ResultBlockTest, DecodesVersion1WorkedExample) {
    SFrame f;
    f.SetPoint(0, 2560, 100000, 0, -5000);
    f.SetCount(1, 1);
    Create(f.bytes);
    int32_t n = -1;
    const auto* p = static_cast<const SKxLaserPoint3D0*>(m_pBlock->GetPointData(0, &n));
    ASSERT_EQ(1, n);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(0, p[0].nIndex);
    EXPECT_EQ(-5.0, p[0].dX);
    EXPECT_EQ(0.0, p[0].dY);
    EXPECT_EQ(100.0, p[0].dZ);
    // The second array follows the first, sized for the whole raw count.
    const auto* q = static_cast<const SKxLaserPixel0*>(m_pBlock->GetPixelData(0, &n));
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(p) + 1 * sizeof(SKxLaserPoint3D0), reinterpret_cast<const uint8_t*>(q));
    EXPECT_EQ(1u, m_pBlock->GetRawPointCount());
}

TEST_F(ResultBlockTest, DecodeCache) {
    Create(LineFrame(10).bytes);
    int32_t n = 0;
    ASSERT_NE(nullptr, m_pBlock->GetPointData(0, &n));
    EXPECT_EQ(10, n);
    EXPECT_EQ(1, Decodes());
    m_pBlock->GetPointData(0, &n);
    EXPECT_EQ(1, Decodes()) << "format 0 twice decodes once";
    ASSERT_NE(nullptr, m_pBlock->GetPixelData(0, &n));
    EXPECT_EQ(1, Decodes()) << "pixels after points of the same format share the decode";

    m_pBlock->GetPointData(1, &n);
    EXPECT_EQ(2, Decodes()) << "another format decodes again";

    SKxLaserResultAfterProcParam p;
    p.dXOffset = 1e-9;  // equal within 1e-8
    m_pBlock->SetAfterProcParam(p);
    m_pBlock->GetPointData(1, &n);
    EXPECT_EQ(2, Decodes()) << "an equal record keeps the cache";

    p.nStep = 2;
    m_pBlock->SetAfterProcParam(p);
    const auto* pts = static_cast<const SKxLaserPoint3F*>(m_pBlock->GetPointData(1, &n));
    EXPECT_EQ(3, Decodes()) << "a changed step decodes again";
    ASSERT_EQ(5, n);
    EXPECT_EQ(2.0f, pts[1].fX);
}

// Output blocks come from the pool in the format's fixed size and are reused while large
// enough; a larger need hands the old block back to the pool.
TEST_F(ResultBlockTest, OutputBlockReuse) {
    Create(LineFrame(10).bytes);
    int32_t n = 0;
    m_pBlock->GetPointData(1, &n);
    m_pBlock->GetPointData(2, &n);  // 65536 > 57344: new block
    m_pBlock->GetPointData(1, &n);  // fits: reused
    m_pBlock->GetPointData(0, &n);  // 106496: new block
    m_pBlock->GetPointData(6, &n);  // fits
    EXPECT_EQ((std::vector<unsigned int>{57344, 65536, 106496}), m_pPool->m_sizes);
    EXPECT_EQ(2u, m_pPool->m_recycled.size());
    m_pBlock->Release();
    m_pBlock = nullptr;
    EXPECT_EQ(3u, m_pPool->m_recycled.size()) << "the last output block goes back on destruction";
}

TEST_F(ResultBlockTest, BadTrailerCountYieldsNothingForEveryFormat) {
    struct Case {
        uint32_t nVersion, nCount;
    };
    for (Case c : {Case{1, 0}, Case{1, 2048}, Case{3, 5000}, Case{7, 0}, Case{8, 2048}}) {
        SCOPED_TRACE(testing::Message() << "version " << c.nVersion << " count " << c.nCount);
        SFrame f = LineFrame(10, c.nVersion);
        f.SetCount(c.nCount, c.nVersion);
        Create(f.bytes, c.nVersion);
        for (int nFormat = 0; nFormat <= 6; ++nFormat) {
            int32_t n = -1;
            EXPECT_EQ(nullptr, m_pBlock->GetPointData(nFormat, &n));
            EXPECT_EQ(0, n);
            EXPECT_EQ(nullptr, m_pBlock->GetPixelData(nFormat, &n));
        }
        m_pBlock->Release();
        m_pBlock = nullptr;
        m_pFrame->Release();
        m_pFrame = nullptr;
    }
}

TEST_F(ResultBlockTest, BadFormatsYieldNothing) {
    Create(LineFrame(10).bytes);
    for (int nFormat : {7, -1, 100}) {
        int32_t n = -1;
        EXPECT_EQ(nullptr, m_pBlock->GetPointData(nFormat, &n));
        EXPECT_EQ(0, n);
    }
    EXPECT_TRUE(m_pPool->m_sizes.empty());
    int32_t n = 0;
    EXPECT_NE(nullptr, m_pBlock->GetPointData(0, &n));
    EXPECT_NE(nullptr, m_pBlock->GetPointData(0, nullptr)) << "null count pointer: no crash";
}

TEST_F(ResultBlockTest, VersionAboveEightChangesNothing) {
    Create(LineFrame(10).bytes, 9);
    KxLogCapture log;
    EXPECT_EQ(KX_E_BAD_VERSION, m_pBlock->Decode(0));
    EXPECT_TRUE(log.Contains(c_nKxLogError, "CKxLaserEyeResultBlock::Decode Invalid Version 9"));
    int32_t n = -1;
    EXPECT_EQ(nullptr, m_pBlock->GetPointData(0, &n));
    EXPECT_EQ(0, n);
    EXPECT_EQ(0, Decodes());
}

TEST_F(ResultBlockTest, ShortFrameIsNotRead) {
    std::vector<uint8_t> bytes = LineFrame(10).bytes;
    bytes.resize(32799);
    Create(bytes);
    EXPECT_EQ(0u, m_pBlock->GetRawPointCount());
    int32_t n = -1;
    EXPECT_EQ(nullptr, m_pBlock->GetPointData(0, &n));
    EXPECT_EQ(0, n);
    EXPECT_FALSE(m_pBlock->IsFrameConsistent());
}

TEST_F(ResultBlockTest, NoPoolOrFailingPoolGivesNoPoints) {
    Create(LineFrame(10).bytes, 1, nullptr, false);
    int32_t n = -1;
    {
        KxLogCapture log;
        EXPECT_EQ(nullptr, m_pBlock->GetPointData(0, &n));
        EXPECT_TRUE(log.Contains(c_nKxLogError, "CKxLaserEyeResultBlock::Decode No Memory Pool"));
    }
    EXPECT_EQ(0, n);
    m_pBlock->Release();
    m_pBlock = nullptr;
    m_pFrame->Release();
    m_pFrame = nullptr;

    m_pPool->m_bFail = true;
    Create(LineFrame(10).bytes);
    EXPECT_EQ(nullptr, m_pBlock->GetPointData(0, &n));
    EXPECT_EQ(0, n);
}

TEST_F(ResultBlockTest, RawPointCountByVersion) {
    SFrame f = LineFrame(10);
    f.SetWord(3, (37u << 20) | 0xFFFFF);  // versions 7 and 8: bits 20-31 of word 3
    f.SetWord(4, 12);                      // below 7: word 4
    for (uint32_t v : {0u, 6u}) {
        Create(f.bytes, v);
        EXPECT_EQ(12u, m_pBlock->GetRawPointCount()) << v;
        m_pBlock->Release();
        m_pBlock = nullptr;
        m_pFrame->Release();
        m_pFrame = nullptr;
    }
    for (uint32_t v : {7u, 8u}) {
        Create(f.bytes, v);
        EXPECT_EQ(37u, m_pBlock->GetRawPointCount()) << v;
        m_pBlock->Release();
        m_pBlock = nullptr;
        m_pFrame->Release();
        m_pFrame = nullptr;
    }
}

// With the trailer switch on, the last nine records are the extended trailer.
TEST_F(ResultBlockTest, ExtendedTrailer) {
    SetExtendedTrailer(true);
    SFrame f = LineFrame(20);
    // Record 11 is input record 0: level 1, edge, value 5.5.
    f.SetRecord(11, 3, 0, 0, 0x5800);
    // Record 16 (trailer record 5), word 3: direction cos 1 -> 0 degrees; record 17 word 2: 0 -> 90.
    f.SetRecord(16, 0, 0, 0, 2147483648u);
    f.SetRecord(17, 0, 0, 0, 0);
    f.SetRecord(18, 0, 1073741824u, 0, 0);
    Create(f.bytes);
    int32_t n = 0;
    m_pBlock->GetPointData(0, &n);
    EXPECT_EQ(11, n);
    SKxInputInfo info[5];
    float afTilt[3];
    m_pBlock->GetExtendedInfo(info, afTilt);
    EXPECT_EQ(5.5f, info[0].fInputValue);
    EXPECT_EQ(1, info[0].nInputLevel);
    EXPECT_TRUE(info[0].bInputEdge);
    EXPECT_EQ(0.0f, afTilt[0]);
    EXPECT_NEAR(90.0, afTilt[1], 1e-4);
    EXPECT_NEAR(60.0, afTilt[2], 1e-4);
}

TEST_F(ResultBlockTest, ExtendedTrailerWithFewerThanNineRecordsYieldsNoPoints) {
    SetExtendedTrailer(true);
    Create(LineFrame(8).bytes);
    int32_t n = -1;
    EXPECT_EQ(nullptr, m_pBlock->GetPointData(0, &n));
    EXPECT_EQ(0, n);
}

TEST_F(ResultBlockTest, AngleAndSweepEnd) {
    struct Case {
        uint32_t nAngle;
        bool bValid;
        float fAngle;
        bool bSweepEnd;
    };
    for (Case c : {Case{14400, false, 0.0f, true}, Case{900, true, 90.0f, false}, Case{65535, false, 0.0f, false},
                   Case{1, true, 0.1f, false}}) {
        SCOPED_TRACE(c.nAngle);
        Create(LineFrame(1).bytes, 1, nullptr, true, nullptr, 0, c.nAngle);
        bool bValid = !c.bValid;
        EXPECT_EQ(c.fAngle, m_pBlock->GetAngle(&bValid));
        EXPECT_EQ(c.bValid, bValid);
        EXPECT_EQ(c.bSweepEnd, m_pBlock->IsSweepEnd());
        m_pBlock->Release();
        m_pBlock = nullptr;
        m_pFrame->Release();
        m_pFrame = nullptr;
    }
}

TEST_F(ResultBlockTest, FrameConsistency) {
    struct Case {
        uint32_t nVersion, w5, w6;
        bool bConsistent;
    };
    const Case cases[] = {
        {3, 0x123u << 19, 0x123u << 19, true},
        {3, (0x123u << 19) | 0x7FFFF | 0x80000000u, 0x123u << 19, true},  // bits outside 19-30 ignored
        {6, 0x123u << 19, 0x124u << 19, false},
        {7, 0x123u << 19, 0x124u << 19, true},  // not compared from version 7 on
    };
    for (const Case& c : cases) {
        SFrame f = LineFrame(1, c.nVersion);
        f.SetWord(5, c.w5);
        f.SetWord(6, c.w6);
        Create(f.bytes, c.nVersion);
        EXPECT_EQ(c.bConsistent, m_pBlock->IsFrameConsistent()) << c.nVersion;
        m_pBlock->Release();
        m_pBlock = nullptr;
        m_pFrame->Release();
        m_pFrame = nullptr;
    }
}

TEST_F(ResultBlockTest, GettersAndOffsets) {
    Create(LineFrame(1).bytes);
    EXPECT_EQ(1u, m_pBlock->GetRawTimeStamp());
    EXPECT_EQ(2u, m_pBlock->GetRawFrameCounter());
    EXPECT_EQ(3u, m_pBlock->GetTimeStamp());
    EXPECT_EQ(4u, m_pBlock->GetFrameIndex());
    EXPECT_EQ(5u, m_pBlock->GetEncoderCount());
    EXPECT_TRUE(m_pBlock->GetUserFlag());
    m_pBlock->SetUserFlag(false);
    EXPECT_FALSE(m_pBlock->GetUserFlag());
    SKxLaserResultAfterProcParam p;
    p.dXOffset = 2.5;
    p.dAuxOffset = -7.25;
    m_pBlock->SetAfterProcParam(p);
    double dX = 0, dAux = 0;
    EXPECT_EQ(0, m_pBlock->GetOffsets(&dX, &dAux));
    EXPECT_EQ(2.5, dX);
    EXPECT_EQ(-7.25, dAux);
    EXPECT_EQ(-1, m_pBlock->ReservedSlot18(0, nullptr, nullptr));
    EXPECT_EQ(0, m_pBlock->ReservedSlot20());
    EXPECT_FALSE(m_pBlock->ReservedSlot25());
    IKxLaserEyeResultBlock* pI = m_pBlock;
    EXPECT_FALSE(pI->ReservedSlot27(nullptr));
}

// ---------------------------------------------------------------------------------------------

TEST(ResultBlockCreation, ReferencesAndSurfaces) {
    std::vector<uint8_t> pixels(16 * 8, 7);
    IKxSurface* pLeft = KxResultsTest::GraySurface(pixels, 16, 8);
    IKxSurface* pRight = KxResultsTest::GraySurface(pixels, 16, 8);
    auto* pFrame = new FrameBlock(LineFrame(1).bytes);
    auto* pPool = new CountingPool();
    const double adOffset[3] = {1, 2, 3};
    CKxLaserEyeResultBlock* pBlock = nullptr;

    EXPECT_FALSE(CreateLaserEyeResultBlock(pLeft, pRight, nullptr, nullptr, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0,
                                           adOffset, pPool, &pBlock));
    EXPECT_FALSE(CreateLaserEyeResultBlock(pLeft, pRight, pFrame, nullptr, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0,
                                           adOffset, pPool, nullptr));
    EXPECT_EQ(1, pFrame->GetRefCount());

    ASSERT_TRUE(CreateLaserEyeResultBlock(pLeft, pRight, pFrame, nullptr, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0,
                                          adOffset, pPool, &pBlock));
    EXPECT_EQ(1, pBlock->GetRefCount());
    EXPECT_EQ(2, pFrame->GetRefCount());
    EXPECT_EQ(2, pPool->GetRefCount());
    EXPECT_EQ(2, pLeft->GetRefCount());

    IKxSurface* pL = nullptr;
    IKxSurface* pR = nullptr;
    ASSERT_TRUE(pBlock->GetSurfaces(&pL, &pR));
    EXPECT_EQ(pLeft, pL);
    EXPECT_EQ(pRight, pR);
    EXPECT_EQ(3, pLeft->GetRefCount());
    EXPECT_EQ(3, pRight->GetRefCount());
    pL->Release();
    pR->Release();

    pBlock->Release();
    EXPECT_EQ(1, pFrame->GetRefCount());
    EXPECT_EQ(1, pPool->GetRefCount());
    EXPECT_EQ(1, pLeft->GetRefCount());

    // Without images: false, out-parameters untouched.
    ASSERT_TRUE(CreateLaserEyeResultBlock(pLeft, nullptr, pFrame, nullptr, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0,
                                          nullptr, pPool, &pBlock));
    IKxSurface* const pSentinel = reinterpret_cast<IKxSurface*>(0x10);
    pL = pR = pSentinel;
    EXPECT_FALSE(pBlock->GetSurfaces(&pL, &pR));
    EXPECT_EQ(pSentinel, pL);
    EXPECT_EQ(pSentinel, pR);
    pBlock->Release();

    pLeft->Release();
    pRight->Release();
    pFrame->Release();
    pPool->Release();
}

// With the compensation table and the coordinate offset given at creation.
TEST(ResultBlockCreation, UsesTableAndOffset) {
    SFrame f = LineFrame(2);
    const SKxCompensateEntry comp[1] = {{100.f, 120.f, 0.5f}};
    const double adOffset[3] = {1.0, 2.0, 10.0};
    auto* pFrame = new FrameBlock(f.bytes);
    auto* pPool = new CountingPool();
    CKxLaserEyeResultBlock* pBlock = nullptr;
    ASSERT_TRUE(CreateLaserEyeResultBlock(nullptr, nullptr, pFrame, comp, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0,
                                          adOffset, pPool, &pBlock));
    int32_t n = 0;
    const auto* p = static_cast<const SKxLaserPoint3D*>(pBlock->GetPointData(6, &n));
    ASSERT_EQ(2, n);
    EXPECT_EQ(2.0, p[1].dX);
    EXPECT_EQ(2.0, p[1].dY);
    EXPECT_EQ(110.5, p[1].dZ);
    pBlock->Release();
    pFrame->Release();
    pPool->Release();
}

// The kernel's own pool works as the device's pool.
TEST(ResultBlockCreation, WithKernelPool) {
    IKxMemPool* pPool = nullptr;
    ASSERT_TRUE(KxKernel::KxCreateMemPool(&pPool));
    auto* pFrame = new FrameBlock(LineFrame(100).bytes);
    CKxLaserEyeResultBlock* pBlock = nullptr;
    ASSERT_TRUE(CreateLaserEyeResultBlock(nullptr, nullptr, pFrame, nullptr, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0,
                                          nullptr, pPool, &pBlock));
    for (int nFormat = 0; nFormat <= 6; ++nFormat) {
        int32_t n = 0;
        EXPECT_NE(nullptr, pBlock->GetPointData(nFormat, &n));
        EXPECT_EQ(100, n);
    }
    pBlock->Release();
    pFrame->Release();
    pPool->Release();
}

namespace {
// Owner of a compensation table, like the device's: the table dies with the last reference.
class TableOwner : public IKxUnknown {
public:
    explicit TableOwner(bool& bDeleted) : m_bDeleted(bDeleted) {}
    ~TableOwner() override { m_bDeleted = true; }
    std::vector<SKxCompensateEntry> vecTable{{100.f, 120.f, 0.5f}};

private:
    bool& m_bDeleted;
};
}  // namespace

// The block keeps the table's owner for its whole life, so it decodes with the table after
// everyone else let go of it.
TEST(ResultBlockCreation, KeepAliveHoldsTheTableForTheBlocksLife) {
    bool bDeleted = false;
    auto* pOwner = new TableOwner(bDeleted);
    auto* pFrame = new FrameBlock(LineFrame(2).bytes);
    auto* pPool = new CountingPool();
    CKxLaserEyeResultBlock* pBlock = nullptr;
    ASSERT_TRUE(CreateLaserEyeResultBlock(nullptr, nullptr, pFrame, pOwner->vecTable.data(), 1, 0, 0, 0, 0, 0, 0,
                                          0, 0, 1, 0, nullptr, pPool, &pBlock, pOwner));
    pOwner->Release();  // the device is gone
    EXPECT_FALSE(bDeleted);
    int32_t n = 0;
    const auto* p = static_cast<const SKxLaserPoint3D*>(pBlock->GetPointData(6, &n));
    ASSERT_EQ(2, n);
    EXPECT_EQ(100.5, p[1].dZ);
    pBlock->Release();
    EXPECT_TRUE(bDeleted);
    pFrame->Release();
    pPool->Release();
}
