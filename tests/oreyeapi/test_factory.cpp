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

TEST(OrEyeFactory, EthernetPathNotYetOffered) {
    EXPECT_EQ(nullptr, CreateOrEyeApi(OREYEAPI_TYPE_ETHERNET));
    EXPECT_EQ(nullptr, CreateOrEyeApi(static_cast<OREYEAPI_TYPE>(7)));
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
