// Device-information rules over the laser-information block, and compensation parsing.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "kxkernel.h"
#include "kxlaserinfo.h"

namespace {

using KxLaserInfo::SetWord;

struct InfoCase {
    uint16_t nType, nVersion, nWidth, nHeight, nFlags, nRevision, nModel;
    const char* pszText;
    bool bLarge;
};

class InfoRulesTest : public ::testing::TestWithParam<InfoCase> {};

TEST_P(InfoRulesTest, WordsRoundTripThroughRules) {
    const InfoCase c = GetParam();
    uint8_t by[KxLaserInfo::c_nBytes];
    // Words the rules do not own carry noise: the rules must not read them.
    memset(by, 0xA5, sizeof(by));
    SetWord(by, KxLaserInfo::c_nWordDeviceType, c.nType);
    SetWord(by, KxLaserInfo::c_nWordVersion, c.nVersion);
    SetWord(by, KxLaserInfo::c_nWordWidth, c.nWidth);
    SetWord(by, KxLaserInfo::c_nWordHeight, c.nHeight);
    SetWord(by, KxLaserInfo::c_nWordFlags, c.nFlags);
    SetWord(by, KxLaserInfo::c_nWordRevision, c.nRevision);
    SetWord(by, KxLaserInfo::c_nWordModel, c.nModel);

    EXPECT_EQ(c.nType, KxDeviceUtils::GetDeviceType(by));
    EXPECT_EQ(c.nVersion, KxDeviceUtils::GetDeviceVersion(by));
    SKxVideoResolution res;
    memset(&res, 0x77, sizeof(res));
    EXPECT_TRUE(KxDeviceUtils::GetResolution(by, &res));
    EXPECT_EQ(c.nWidth, res.nFrameWidth);
    EXPECT_EQ(c.nHeight, res.nFrameHeight);
    EXPECT_EQ(0x77777777u, res.nVersion);  // only width and height are written
    EXPECT_EQ(c.bLarge, KxDeviceUtils::IsLargeEye(by));
    char sz[64];
    EXPECT_TRUE(KxDeviceUtils::GetHardwareVersion(by, sz, sizeof(sz)));
    EXPECT_STREQ(c.pszText, sz);
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, InfoRulesTest,
    ::testing::Values(InfoCase{2, 8, 1280, 1024, 0x0, 0x0201, 0, "KXLE-V8-R2.1", false},
                      InfoCase{2, 7, 1536, 2048, 0x3, 0x0100, 0, "KXLE-V7-R1.0", true},
                      InfoCase{3, 0, 960, 1280, 0x2, 0x0A0B, 1200, "KXSE-V0-R10.11-M1200", false},
                      InfoCase{9, 65535, 65535, 65535, 0xFFFF, 0xFFFF, 65535, "KXEY-V65535-R255.255-M65535",
                               true}));

TEST(InfoRules, NullAndShortBuffersFailCleanly) {
    uint8_t by[KxLaserInfo::c_nBytes] = {0};
    SKxVideoResolution res;
    EXPECT_EQ(0, KxDeviceUtils::GetDeviceType(NULL));
    EXPECT_EQ(0, KxDeviceUtils::GetDeviceVersion(NULL));
    EXPECT_FALSE(KxDeviceUtils::GetResolution(NULL, &res));
    EXPECT_FALSE(KxDeviceUtils::GetResolution(by, NULL));
    EXPECT_FALSE(KxDeviceUtils::GetResolution(by, &res));  // a zero frame size says nothing
    EXPECT_FALSE(KxDeviceUtils::IsLargeEye(NULL));
    char sz[8] = "junk";
    EXPECT_FALSE(KxDeviceUtils::GetHardwareVersion(NULL, sz, sizeof(sz)));
    EXPECT_STREQ("", sz);
    EXPECT_FALSE(KxDeviceUtils::GetHardwareVersion(by, NULL, 64));
    EXPECT_FALSE(KxDeviceUtils::GetHardwareVersion(by, sz, 0));
    // Too small a buffer: cut, terminated, reported.
    SetWord(by, KxLaserInfo::c_nWordDeviceType, 2);
    SetWord(by, KxLaserInfo::c_nWordVersion, 8);
    char small[6];
    memset(small, 'z', sizeof(small));
    EXPECT_FALSE(KxDeviceUtils::GetHardwareVersion(by, small, sizeof(small)));
    EXPECT_STREQ("KXLE-", small);
}

// ---- compensation section ----

void PutU32(std::vector<uint8_t>& page, size_t off, uint32_t v) {
    for (int i = 0; i < 4; ++i) page[off + i] = static_cast<uint8_t>(v >> (8 * i));
}
void PutF32(std::vector<uint8_t>& page, size_t off, float f) {
    uint32_t v;
    memcpy(&v, &f, 4);
    PutU32(page, off, v);
}

// A page holding a well-formed section; the checksum is written last unless told otherwise.
std::vector<uint8_t> MakePage(const std::vector<float>& a, const std::vector<float>& b, uint32_t nCount) {
    std::vector<uint8_t> page(KxParamPage::c_nBytes, 0xCD);
    const size_t o = KxParamPage::c_nCompOffset;
    PutU32(page, o, KxParamPage::c_nCompMagic);
    PutU32(page, o + 4, nCount);
    for (size_t i = 0; i < a.size(); ++i) PutF32(page, o + 8 + 4 * i, a[i]);
    for (size_t i = 0; i < b.size(); ++i) PutF32(page, o + 8 + 4 * a.size() + 4 * i, b[i]);
    const size_t nBody = 8 + 4 * a.size() + 4 * b.size();
    uint32_t sum = 0;
    for (size_t i = 0; i < nBody; ++i) sum += page[o + i];
    PutU32(page, o + nBody, sum);
    return page;
}

class CompensationTest : public ::testing::Test {
protected:
    CompensationTest()
        : m_a({100.0f, 250.5f, 400.0f}), m_b({0.5f, -1.25f, 2.0f}), m_page(MakePage(m_a, m_b, 3)) {}
    // Count query as the device makes it (count starts as garbage).
    unsigned int Query(const std::vector<uint8_t>& page, unsigned int nLength) {
        unsigned int n = 12345;
        KxDeviceUtils::ParseCompensateData(page.data(), nLength, NULL, NULL, &n);
        return n;
    }
    std::vector<float> m_a, m_b;
    std::vector<uint8_t> m_page;
};

TEST_F(CompensationTest, CountQueryThenFill) {
    unsigned int n = 0;
    EXPECT_TRUE(KxDeviceUtils::ParseCompensateData(m_page.data(), 4096, NULL, NULL, &n));
    ASSERT_EQ(3u, n);
    float a[3], b[3];
    EXPECT_TRUE(KxDeviceUtils::ParseCompensateData(m_page.data(), 4096, a, b, &n));
    EXPECT_EQ(3u, n);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(m_a[i], a[i]);
        EXPECT_EQ(m_b[i], b[i]);
    }
}

TEST_F(CompensationTest, ArraysTooShortAreNotWritten) {
    float a[2] = {-7, -7}, b[2] = {-7, -7};
    unsigned int n = 2;
    EXPECT_FALSE(KxDeviceUtils::ParseCompensateData(m_page.data(), 4096, a, b, &n));
    EXPECT_EQ(3u, n);
    EXPECT_EQ(-7.0f, a[0]);
    EXPECT_EQ(-7.0f, b[1]);
    n = 3;
    EXPECT_FALSE(KxDeviceUtils::ParseCompensateData(m_page.data(), 4096, a, NULL, &n));
    EXPECT_FALSE(KxDeviceUtils::ParseCompensateData(m_page.data(), 4096, NULL, NULL, NULL));
}

TEST_F(CompensationTest, TruncatedBufferNeverReadPast) {
    // Section ends at 2048 + 8 + 24 + 4 = 2084. Copies to exact-size heap buffers so ASan
    // catches any read past the given length.
    const unsigned int lengths[] = {0, 100, 2048, 2055, 2056, 2083};
    for (size_t i = 0; i < sizeof(lengths) / sizeof(lengths[0]); ++i) {
        std::vector<uint8_t> cut(m_page.begin(), m_page.begin() + lengths[i]);
        unsigned int n = 99;
        EXPECT_FALSE(KxDeviceUtils::ParseCompensateData(cut.empty() ? NULL : cut.data(), lengths[i], NULL, NULL, &n))
            << lengths[i];
        EXPECT_EQ(0u, n) << lengths[i];
    }
    std::vector<uint8_t> exact(m_page.begin(), m_page.begin() + 2084);
    EXPECT_EQ(3u, Query(exact, 2084));
}

TEST_F(CompensationTest, CorruptSectionsGiveZero) {
    struct Case {
        const char* pszWhat;
        std::vector<uint8_t> page;
    };
    std::vector<Case> cases;
    std::vector<uint8_t> p = m_page;
    p[KxParamPage::c_nCompOffset] ^= 1;
    cases.push_back(Case{"bad magic", p});
    p = m_page;
    p[KxParamPage::c_nCompOffset + 8 + 5] ^= 0x10;  // a byte of A[1]
    cases.push_back(Case{"bad checksum", p});
    cases.push_back(Case{"count 0", MakePage({}, {}, 0)});
    cases.push_back(Case{"count above maximum",
                         MakePage(std::vector<float>(65, 1.0f), std::vector<float>(65, 1.0f), 65)});
    cases.push_back(Case{"huge count", MakePage(m_a, m_b, 0xFFFFFFFFu)});
    cases.push_back(Case{"A not rising", MakePage({100.0f, 100.0f, 400.0f}, m_b, 3)});
    cases.push_back(Case{"A falling", MakePage({300.0f, 200.0f, 400.0f}, m_b, 3)});
    cases.push_back(Case{"NaN delta", MakePage(m_a, {0.5f, std::numeric_limits<float>::quiet_NaN(), 1.0f}, 3)});
    cases.push_back(Case{"missing (erased page)", std::vector<uint8_t>(4096, 0xFF)});
    for (size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(0u, Query(cases[i].page, 4096)) << cases[i].pszWhat;
}

TEST_F(CompensationTest, MaximumCountAccepted) {
    std::vector<float> a, b;
    for (unsigned int i = 0; i < KxParamPage::c_nCompMaxEntries; ++i) {
        a.push_back(10.0f * (i + 1));
        b.push_back(0.1f * i);
    }
    EXPECT_EQ(KxParamPage::c_nCompMaxEntries, Query(MakePage(a, b, KxParamPage::c_nCompMaxEntries), 4096));
}

}  // namespace
