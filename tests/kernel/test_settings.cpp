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
                                           EnvCase{"KXEYE_CENTER_ROI", 8}, EnvCase{"KXEYE_VIRTUAL_CARDS", 9}));

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
