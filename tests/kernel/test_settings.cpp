// Settings record: environment switches, the setter, never null.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "kxkernel_testsupport.h"

namespace {

const char* const kVars[] = {"KXEYE_SEARCH_PER_CARD", "KXEYE_EXTENDED_TRAILER", "KXEYE_CENTER_ROI",
                             "KXEYE_VIRTUAL_CARDS"};

class SettingsTest : public ::testing::Test {
protected:
    void TearDown() override {
        for (size_t i = 0; i < sizeof(kVars) / sizeof(kVars[0]); ++i) unsetenv(kVars[i]);
        KxGlobalSetting::ReloadFromEnvironment();
    }
};

TEST_F(SettingsTest, NeverNullAndAllOffWithoutEnvironment) {
    for (size_t i = 0; i < sizeof(kVars) / sizeof(kVars[0]); ++i) unsetenv(kVars[i]);
    KxGlobalSetting::ReloadFromEnvironment();
    const SKxGlobalSetting* p = KxGlobalSetting::GetSetting();
    ASSERT_TRUE(p != NULL);
    SKxGlobalSetting zero;
    memset(&zero, 0, sizeof(zero));
    EXPECT_EQ(0, memcmp(p, &zero, sizeof(zero)));
}

struct EnvCase {
    const char* pszVar;
    size_t nOffset;
};

class SettingsEnvTest : public SettingsTest, public ::testing::WithParamInterface<EnvCase> {};

TEST_P(SettingsEnvTest, EachVariableSetsItsOwnByteOnly) {
    const EnvCase c = GetParam();
    for (size_t i = 0; i < sizeof(kVars) / sizeof(kVars[0]); ++i) unsetenv(kVars[i]);
    const char* const values[] = {"1", "7", "0", "yes"};
    const uint8_t expected[] = {1, 1, 0, 0};
    for (size_t v = 0; v < 4; ++v) {
        setenv(c.pszVar, values[v], 1);
        KxLogCapture capture;
        KxGlobalSetting::ReloadFromEnvironment();
        const uint8_t* p = reinterpret_cast<const uint8_t*>(KxGlobalSetting::GetSetting());
        for (size_t b = 0; b < sizeof(SKxGlobalSetting); ++b)
            EXPECT_EQ(b == c.nOffset ? expected[v] : 0, p[b]) << c.pszVar << "=" << values[v] << " byte " << b;
        // A value that is not a number is reported, not silently taken as off.
        EXPECT_EQ(v == 3, capture.Contains(c_nKxLogWarning, c.pszVar));
    }
}

INSTANTIATE_TEST_SUITE_P(Switches, SettingsEnvTest,
                         ::testing::Values(EnvCase{"KXEYE_SEARCH_PER_CARD", 5}, EnvCase{"KXEYE_EXTENDED_TRAILER", 6},
                                           EnvCase{"KXEYE_CENTER_ROI", 8}));

// KXEYE_VIRTUAL_CARDS names cards (or "*"); the number form of a switch still works.
struct VirtualCardsCase {
    const char* pszValue;
    uint8_t byOn;
    bool bEth0, bVeth1, bBr0;      // listed
    bool bVeth1Named;              // named itself, not only through "*"
};

class VirtualCardsTest : public SettingsTest, public ::testing::WithParamInterface<VirtualCardsCase> {};

TEST_P(VirtualCardsTest, NamesAllOrNone) {
    const VirtualCardsCase c = GetParam();
    for (size_t i = 0; i < sizeof(kVars) / sizeof(kVars[0]); ++i) unsetenv(kVars[i]);
    setenv("KXEYE_VIRTUAL_CARDS", c.pszValue, 1);
    KxLogCapture capture;
    KxGlobalSetting::ReloadFromEnvironment();
    const uint8_t* p = reinterpret_cast<const uint8_t*>(KxGlobalSetting::GetSetting());
    for (size_t b = 0; b < sizeof(SKxGlobalSetting); ++b)
        EXPECT_EQ(b == 9 ? c.byOn : 0, p[b]) << "\"" << c.pszValue << "\" byte " << b;
    EXPECT_EQ(c.bEth0, KxGlobalSetting::IsVirtualCardListed("eth0")) << c.pszValue;
    EXPECT_EQ(c.bVeth1, KxGlobalSetting::IsVirtualCardListed("veth1")) << c.pszValue;
    EXPECT_EQ(c.bBr0, KxGlobalSetting::IsVirtualCardListed("br0")) << c.pszValue;
    EXPECT_EQ(c.bVeth1Named, KxGlobalSetting::IsVirtualCardNamed("veth1")) << c.pszValue;
    EXPECT_FALSE(KxGlobalSetting::IsVirtualCardListed(NULL));
    EXPECT_FALSE(KxGlobalSetting::IsVirtualCardListed(""));
    EXPECT_EQ(0u, capture.Count());
}

INSTANTIATE_TEST_SUITE_P(
    Values, VirtualCardsTest,
    ::testing::Values(VirtualCardsCase{"", 0, false, false, false, false},
                      VirtualCardsCase{"0", 0, false, false, false, false},
                      VirtualCardsCase{"1", 1, true, true, true, false}, VirtualCardsCase{"7", 1, true, true, true, false},
                      VirtualCardsCase{"*", 1, true, true, true, false},
                      VirtualCardsCase{"veth1", 1, false, true, false, true},
                      VirtualCardsCase{" veth1 , br0,", 1, false, true, true, true},
                      VirtualCardsCase{"veth1,*", 1, true, true, true, true},
                      VirtualCardsCase{"veth", 1, false, false, false, false},  // whole names only
                      VirtualCardsCase{" , ", 0, false, false, false, false}));

TEST_F(SettingsTest, VirtualCardsSetInCode) {
    KxGlobalSetting::SetVirtualCards("br0");
    EXPECT_EQ(1, KxGlobalSetting::GetSetting()->byListVirtualCards);
    EXPECT_TRUE(KxGlobalSetting::IsVirtualCardListed("br0"));
    EXPECT_FALSE(KxGlobalSetting::IsVirtualCardListed("veth1"));
    // The record's switch alone, without names, lists every card.
    SKxGlobalSetting s = *KxGlobalSetting::GetSetting();
    s.byListVirtualCards = 0;
    KxGlobalSetting::SetSetting(s);
    EXPECT_FALSE(KxGlobalSetting::IsVirtualCardListed("br0"));
    KxGlobalSetting::SetVirtualCards(NULL);
    s.byListVirtualCards = 1;
    KxGlobalSetting::SetSetting(s);
    EXPECT_TRUE(KxGlobalSetting::IsVirtualCardListed("veth1"));
    KxGlobalSetting::SetVirtualCards("");
    EXPECT_EQ(0, KxGlobalSetting::GetSetting()->byListVirtualCards);
    EXPECT_FALSE(KxGlobalSetting::IsVirtualCardListed("veth1"));
}

TEST_F(SettingsTest, SetterReplacesRecordUntilReload) {
    SKxGlobalSetting s;
    memset(&s, 0, sizeof(s));
    s.byCenterROI = 1;
    s.bySearchPerCard = 1;
    KxGlobalSetting::SetSetting(s);
    EXPECT_EQ(1, KxGlobalSetting::GetSetting()->byCenterROI);
    EXPECT_EQ(1, KxGlobalSetting::GetSetting()->bySearchPerCard);
    EXPECT_EQ(0, KxGlobalSetting::GetSetting()->byExtendedTrailer);
    KxGlobalSetting::ReloadFromEnvironment();
    EXPECT_EQ(0, KxGlobalSetting::GetSetting()->byCenterROI);
}

}  // namespace
