// The factory behind CreateOrEyeApi and the access paths it offers.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "oreyeapi.h"
#include "oreyeapi_testsupport.h"

namespace {

TEST(OrEyeFactory, TestFactoryReplacesAndRestores) {
    int nCalls = 0;
    OREYEAPI_TYPE eSeen = OREYEAPI_TYPE_LOCAL;
    OrEyeTest::SetFactory([&](OREYEAPI_TYPE e) -> IOrEyeCamera* {
        ++nCalls;
        eSeen = e;
        return nullptr;
    });
    EXPECT_EQ(nullptr, CreateOrEyeApi(OREYEAPI_TYPE_ETHERNET));
    EXPECT_EQ(1, nCalls);
    EXPECT_EQ(OREYEAPI_TYPE_ETHERNET, eSeen);
    OrEyeTest::SetFactory(OrEyeTest::Factory());
    std::unique_ptr<IOrEyeCamera> p(CreateOrEyeApi(OREYEAPI_TYPE_LOCAL));
    EXPECT_NE(nullptr, p);
    EXPECT_EQ(1, nCalls);
}

// The Ethernet object before InitDevice: its version text, and -10002 for every camera
// operation (nothing is sent; the network tests are in tests/ethernet).
TEST(OrEyeFactory, EthernetObjectRefusesUntilConnected) {
    std::unique_ptr<IOrEyeCamera> p(CreateOrEyeApi(OREYEAPI_TYPE_ETHERNET));
    ASSERT_NE(nullptr, p);
    char szText[64] = {};
    ASSERT_EQ(c_nOrEyeOK, p->GetVersionText(szText, sizeof szText));
    EXPECT_STREQ("OrEyeApi Ethernet 1.0", szText);
    uint8_t aby[52];
    EXPECT_EQ(c_nOrEyeNotInitialised, p->GetParam(54, aby, 52));
    EXPECT_EQ(c_nOrEyeNotInitialised, p->EnableStream(1));
    EXPECT_EQ(c_nOrEyeBadArgument, p->ReleaseFrameBuffer(1));
    EXPECT_EQ(c_nOrEyeNoDevice, p->SetLocalIP("203.0.113.254", 16));
    EXPECT_EQ(nullptr, CreateOrEyeApi(static_cast<OREYEAPI_TYPE>(7)));
}

// The stream counters exist for Ethernet camera objects only; before a connection they are 0.
TEST(OrEyeFactory, StreamCountersBelongToTheEthernetPath) {
    std::unique_ptr<IOrEyeCamera> pEth(CreateOrEyeApi(OREYEAPI_TYPE_ETHERNET));
    std::unique_ptr<IOrEyeCamera> pLocal(CreateOrEyeApi(OREYEAPI_TYPE_LOCAL));
    ASSERT_NE(nullptr, pEth);
    ASSERT_NE(nullptr, pLocal);
    SOrEyeStreamCounters s;
    std::memset(&s, 0xAB, sizeof s);
    ASSERT_EQ(c_nOrEyeOK, OrEyeGetStreamCounters(pEth.get(), &s));
    EXPECT_EQ(0u, s.nFramesComplete + s.nFramesIncomplete + s.nFramesDropped + s.nPackets + s.nPacketsResent +
                      s.nResendRequests);
    EXPECT_EQ(0u, s.nHostMtu);
    EXPECT_EQ(0u, s.nCameraMtu);
    EXPECT_EQ(c_nOrEyeNotSupported, OrEyeGetStreamCounters(pLocal.get(), &s));
    EXPECT_EQ(c_nOrEyeBadArgument, OrEyeGetStreamCounters(nullptr, &s));
    EXPECT_EQ(c_nOrEyeBadArgument, OrEyeGetStreamCounters(pEth.get(), nullptr));
}

TEST(OrEyeFactory, SmallSmartEyeAnswersItsProductItem) {
    std::unique_ptr<IOrEyeCamera> p(CreateOrEyeApi(OREYEAPI_TYPE_SMALL_SMART_EYE));
    ASSERT_NE(nullptr, p);
    char szId[17] = {};
    EXPECT_EQ(c_nOrEyeNotInitialised, p->ReadProduct(2, szId, 16));
    ASSERT_EQ(c_nOrEyeOK, p->InitDevice(960, 1280, 2, 0, nullptr));
    ASSERT_EQ(c_nOrEyeOK, p->ReadProduct(2, szId, 16));
    EXPECT_EQ(16u, strnlen(szId, 17));
    EXPECT_EQ(c_nOrEyeBadArgument, p->ReadProduct(2, nullptr, 16));
    EXPECT_EQ(c_nOrEyeBadArgument, p->ReadProduct(4, szId, 8));
}

}  // namespace
