// Device enumerator against GoogleMock cameras: local listing table parsing, the small smart eye
// probe, search order and the record list.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "../data/kxmockcamera.h"
#include "kxlasereyedevice.h"
#include "kxlasereyedeviceenumrator.h"
#include "kxnetbackendmemory.h"
#include "kxnetworkutils.h"
#include "oreyeapi_testsupport.h"

using ::testing::_;
using ::testing::IsNull;
using ::testing::NiceMock;
using ::testing::Return;

namespace {

const char c_szTestID[] = "{33799CCD-4B94-4344-A347-D8B0BEE3FE1C}";

struct ListEntry {
    uint32_t nVersion;
    int8_t nNumber;
    std::string connect;  // up to 32 bytes, written without terminator when 32 long
    int32_t nKind;
    uint32_t nWidth, nHeight;
};

void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Fills a 308-byte listing table; nCountByte overrides the count byte when not 0.
void FillTable(uint8_t* pTable, const std::vector<ListEntry>& entries, int nCountByte = 0) {
    pTable[0] = static_cast<uint8_t>(nCountByte != 0 ? nCountByte : static_cast<int>(entries.size()));
    for (size_t i = 0; i < entries.size() && i < 4; ++i) {
        uint8_t* e = pTable + 4 + i * 76;
        const ListEntry& x = entries[i];
        Put32(e + 0, x.nVersion);
        e[4] = static_cast<uint8_t>(x.nNumber);
        std::memcpy(e + 5, x.connect.data(), std::min<size_t>(x.connect.size(), 32));
        Put32(e + 40, static_cast<uint32_t>(x.nKind));
        Put32(e + 44, x.nWidth);
        Put32(e + 48, x.nHeight);
    }
}

// Hands out mock cameras per access type and counts how many were created and destroyed.
class Cameras {
public:
    Cameras() {
        OrEyeTest::SetFactory([this](OREYEAPI_TYPE eType) -> IOrEyeCamera* {
            auto it = m_setup.find(eType);
            if (it == m_setup.end()) return nullptr;
            auto* pCam = new NiceMock<KxMockCamera>();
            ++m_nCreated;
            pCam->m_onDestroyed = [this]() { ++m_nDestroyed; };
            it->second(*pCam);
            return pCam;
        });
    }
    ~Cameras() { OrEyeTest::SetFactory(OrEyeTest::Factory()); }

    void Local(const std::vector<ListEntry>& entries, int nCountByte = 0) {
        m_setup[OREYEAPI_TYPE_LOCAL] = [entries, nCountByte](KxMockCamera& cam) {
            EXPECT_CALL(cam, ListDevices(_)).WillOnce([entries, nCountByte](unsigned char* pTable) {
                FillTable(pTable, entries, nCountByte);
                return 0;
            });
        };
    }
    void SmallSmartEye(int nInit, int nRead, const char* pszProduct16) {
        std::string product(pszProduct16, 16);
        m_setup[OREYEAPI_TYPE_SMALL_SMART_EYE] = [=](KxMockCamera& cam) {
            EXPECT_CALL(cam, InitDevice(960, 1280, 2, 0, IsNull())).WillOnce(Return(nInit));
            if (nInit != 0) {
                EXPECT_CALL(cam, ReadProduct(_, _, _)).Times(0);
                return;
            }
            EXPECT_CALL(cam, ReadProduct(2, _, 16)).WillOnce([=](int, void* p, int n) {
                std::memcpy(p, product.data(), static_cast<size_t>(n));
                return nRead;
            });
        };
    }

    int m_nCreated = 0;
    int m_nDestroyed = 0;

private:
    std::map<OREYEAPI_TYPE, std::function<void(KxMockCamera&)>> m_setup;
};

std::vector<SKxNLEyeDeviceInfoEx> Search(CKxEyeDeviceEnumrator& e, int nFlags) {
    EXPECT_EQ(0, e.SearchDevice(nFlags));
    std::vector<SKxNLEyeDeviceInfoEx> list;
    e.GetDeviceInfoList(list);
    return list;
}

bool IsGuid(const char* psz) {
    return std::strlen(psz) == 38 && psz[0] == '{' && psz[37] == '}' && psz[9] == '-' && psz[14] == '-';
}

const ListEntry c_laser5{0x7008, 5, "local:laser5", 3, 1536, 2048};
const ListEntry c_laser6{7, 6, "local:laser6", 3, 1280, 1024};
const ListEntry c_smart2{6, 2, "local:smart2", 4, 960, 1280};

}  // namespace

TEST(LocalListing, OneLaserYieldsTheCameraAndItsTestCopy) {
    Cameras cams;
    cams.Local({c_laser5});
    CKxEyeDeviceEnumrator e;
    const auto list = Search(e, c_nKxSearchLocal);
    ASSERT_EQ(2u, list.size());
    const SKxNLEyeDeviceInfoEx& r = list[0];
    EXPECT_EQ(KX_DEVICE_TYPE_LASER_EYE, r.eDeviceType);
    EXPECT_EQ(0x2121u, r.nDeviceFlags);
    EXPECT_STREQ("OrvikEye-Laser-5", r.szDeviceName);
    EXPECT_TRUE(IsGuid(r.szDeviceID)) << r.szDeviceID;
    EXPECT_STREQ("KxNLDsec", r.szModuleTag);
    EXPECT_STREQ("local:laser5", r.szConnectText);
    EXPECT_STREQ("local:laser5", r.szProductInfo);
    EXPECT_EQ(1536u, r.sVideoRes.nFrameWidth);
    EXPECT_EQ(2048u, r.sVideoRes.nFrameHeight);
    EXPECT_EQ(8u, r.sVideoRes.nVersion);  // low 12 bits of 0x7008
    EXPECT_EQ(4096u, r.sVideoRes.nFrameCounterRange);
    EXPECT_EQ(536870911u, r.sVideoRes.nTimeStampRange);
    EXPECT_EQ(1, r.bDeviceInfoValid);
    EXPECT_EQ(0u, r.nNetInfoValid);

    const SKxNLEyeDeviceInfoEx& t = list[1];
    EXPECT_STREQ(c_szTestID, t.szDeviceID);
    EXPECT_STREQ("OrvikEye-L[5][Test]", t.szDeviceName);
    // Otherwise the same record.
    SKxNLEyeDeviceInfoEx a = r, b = t;
    std::memset(a.szDeviceID, 0, 64);
    std::memset(b.szDeviceID, 0, 64);
    std::memset(a.szDeviceName, 0, 64);
    std::memset(b.szDeviceName, 0, 64);
    EXPECT_EQ(0, std::memcmp(&a, &b, sizeof(a)));

    EXPECT_EQ(1, cams.m_nCreated);
    EXPECT_EQ(1, cams.m_nDestroyed);
}

TEST(LocalListing, TwoLasersAndASmartEye) {
    Cameras cams;
    cams.Local({c_laser5, c_smart2, c_laser6, ListEntry{3, 9, "other", 7, 640, 480}});
    CKxEyeDeviceEnumrator e;
    const auto list = Search(e, c_nKxSearchLocal);
    ASSERT_EQ(5u, list.size());
    EXPECT_STREQ("OrvikEye-Laser-5", list[0].szDeviceName);
    EXPECT_STREQ("OrvikEye-L[5][Test]", list[1].szDeviceName);
    EXPECT_STREQ("OrvikEye-Smart-2", list[2].szDeviceName);
    EXPECT_EQ(KX_DEVICE_TYPE_SMART_EYE, list[2].eDeviceType);
    EXPECT_EQ(0x2211u, list[2].nDeviceFlags);
    EXPECT_EQ(4096u, list[2].sVideoRes.nFrameCounterRange);
    EXPECT_EQ(524287u, list[2].sVideoRes.nTimeStampRange);
    EXPECT_STREQ("OrvikEye-Laser-6", list[3].szDeviceName);
    // A kind the SDK does not know: listed, but without type, flags or name.
    EXPECT_EQ(0, list[4].eDeviceType);
    EXPECT_EQ(0u, list[4].nDeviceFlags);
    EXPECT_STREQ("", list[4].szDeviceName);
    EXPECT_EQ(256u, list[4].sVideoRes.nFrameCounterRange);
    // Every record but the test copy has its own fresh ID.
    EXPECT_STRNE(list[0].szDeviceID, list[2].szDeviceID);
    EXPECT_STRNE(list[0].szDeviceID, list[3].szDeviceID);
    EXPECT_STRNE(list[3].szDeviceID, list[4].szDeviceID);
}

TEST(LocalListing, TwoLasersYieldThreeRecords) {
    Cameras cams;
    cams.Local({c_laser5, c_laser6});
    CKxEyeDeviceEnumrator e;
    const auto list = Search(e, c_nKxSearchLocal);
    ASSERT_EQ(3u, list.size());
    EXPECT_STREQ("OrvikEye-Laser-5", list[0].szDeviceName);
    EXPECT_STREQ(c_szTestID, list[1].szDeviceID);
    EXPECT_STREQ("OrvikEye-Laser-6", list[2].szDeviceName);
}

struct CountCase {
    int nCountByte;
    size_t nEntries;   // entries written into the table
    size_t nRecords;   // records expected
};

class ListingCount : public ::testing::TestWithParam<CountCase> {};

// The table holds 4 entries: a larger count is clamped to them (never read past the table), a
// count below 1 lists nothing.
TEST_P(ListingCount, ReadsOnlyWhatTheTableHolds) {
    const CountCase& c = GetParam();
    std::vector<ListEntry> entries;
    for (size_t i = 0; i < c.nEntries; ++i)
        entries.push_back(ListEntry{8, static_cast<int8_t>(i), "x", 4, 960, 1280});
    Cameras cams;
    cams.Local(entries, c.nCountByte);
    CKxEyeDeviceEnumrator e;
    EXPECT_EQ(c.nRecords, Search(e, c_nKxSearchLocal).size());
}

INSTANTIATE_TEST_SUITE_P(Counts, ListingCount,
                         ::testing::Values(CountCase{4, 4, 4}, CountCase{5, 4, 4}, CountCase{127, 4, 4},
                                           CountCase{-1, 4, 0}, CountCase{-128, 4, 0}, CountCase{0x100, 4, 0},
                                           CountCase{2, 4, 2}));

TEST(LocalListing, EdgeValuesOfAnEntry) {
    // A 32-byte connect text without terminator, a negative device number and a version past the
    // per-version table.
    const std::string connect32 = "0123456789abcdef0123456789ABCDEF";
    Cameras cams;
    cams.Local({ListEntry{0xF009, -3, connect32, 3, 1536, 2048}});
    CKxEyeDeviceEnumrator e;
    const auto list = Search(e, c_nKxSearchLocal);
    ASSERT_EQ(2u, list.size());
    EXPECT_EQ(connect32, std::string(list[0].szConnectText));
    EXPECT_STREQ("OrvikEye-Laser--3", list[0].szDeviceName);
    EXPECT_STREQ("OrvikEye-L[-3][Test]", list[1].szDeviceName);
    EXPECT_EQ(9u, list[0].sVideoRes.nVersion);
    EXPECT_EQ(0u, list[0].sVideoRes.nFrameCounterRange);
    EXPECT_EQ(0u, list[0].sVideoRes.nTimeStampRange);
}

TEST(SmallSmartEye, ProbeBuildsOneRecord) {
    Cameras cams;
    cams.SmallSmartEye(0, 0, "SMARTEYE00000001");  // 16 bytes, no terminator
    CKxEyeDeviceEnumrator e;
    const auto list = Search(e, c_nKxSearchSmallSmartEye);
    ASSERT_EQ(1u, list.size());
    const SKxNLEyeDeviceInfoEx& r = list[0];
    EXPECT_EQ(KX_DEVICE_TYPE_SMART_EYE, r.eDeviceType);
    EXPECT_EQ(0x1212u, r.nDeviceFlags);
    EXPECT_STREQ("OrvikEye-Small-Smart-Eth", r.szDeviceName);
    EXPECT_STREQ("SMARTEYE00000001", r.szProductInfo);  // nothing of an earlier text behind it
    EXPECT_EQ(960u, r.sVideoRes.nFrameWidth);
    EXPECT_EQ(1280u, r.sVideoRes.nFrameHeight);
    EXPECT_EQ(0u, r.sVideoRes.nVersion);
    EXPECT_EQ(2147483647u, r.sVideoRes.nFrameCounterRange);
    EXPECT_EQ(2147483647u, r.sVideoRes.nTimeStampRange);
    EXPECT_TRUE(IsGuid(r.szDeviceID));
    EXPECT_STREQ("KxNLDsec", r.szModuleTag);
    EXPECT_STREQ("", r.szConnectText);
    EXPECT_EQ(1, r.bDeviceInfoValid);
    EXPECT_EQ(1, cams.m_nDestroyed);
}

TEST(SmallSmartEye, NothingWhenTheProbeFails) {
    for (auto answers : {std::make_pair(-10004, 0), std::make_pair(0, -10001)}) {
        Cameras cams;
        cams.SmallSmartEye(answers.first, answers.second, "SMARTEYE00000001");
        CKxEyeDeviceEnumrator e;
        EXPECT_TRUE(Search(e, c_nKxSearchSmallSmartEye).empty());
        EXPECT_EQ(1, cams.m_nDestroyed);
    }
    Cameras none;  // no camera object at all
    CKxEyeDeviceEnumrator e;
    EXPECT_TRUE(Search(e, c_nKxSearchLocal | c_nKxSearchEthernet | c_nKxSearchSmallSmartEye).empty());
}

TEST(Search, SourcesRunInOrderAndEachSearchStartsEmpty) {
    Cameras cams;
    cams.Local({c_laser5});
    cams.SmallSmartEye(0, 0, "SMARTEYE00000001");
    CKxEyeDeviceEnumrator e;
    // The flags in any combination give local records first, then the small smart eye.
    auto list = Search(e, c_nKxSearchSmallSmartEye | c_nKxSearchEthernet | c_nKxSearchLocal);
    ASSERT_EQ(3u, list.size());
    EXPECT_STREQ("OrvikEye-Laser-5", list[0].szDeviceName);
    EXPECT_STREQ("OrvikEye-L[5][Test]", list[1].szDeviceName);
    EXPECT_STREQ("OrvikEye-Small-Smart-Eth", list[2].szDeviceName);
    // Bit 0x1 names no source.
    EXPECT_TRUE(Search(e, 0x1).empty());
    list = Search(e, c_nKxSearchLocal);
    EXPECT_EQ(2u, list.size());
    EXPECT_TRUE(Search(e, 0).empty());
    EXPECT_EQ(0, e.GetDeviceInfo(nullptr, 0));
    EXPECT_EQ(cams.m_nCreated, cams.m_nDestroyed);
}

TEST(RecordList, CountQueryAndPartialCopies) {
    Cameras cams;
    cams.Local({c_laser5, c_laser6});
    CKxEyeDeviceEnumrator e;
    ASSERT_EQ(3u, Search(e, c_nKxSearchLocal).size());
    std::vector<SKxNLEyeDeviceInfoEx> list;
    e.GetDeviceInfoList(list);

    SKxNLEyeDeviceInfoEx out[5];
    std::memset(out, 0xAB, sizeof(out));
    EXPECT_EQ(3, e.GetDeviceInfo(out, 0));
    EXPECT_EQ(3, e.GetDeviceInfo(out, -1));
    EXPECT_EQ(3, e.GetDeviceInfo(nullptr, 5));
    EXPECT_EQ(0xAB, reinterpret_cast<uint8_t*>(out)[0]);

    EXPECT_EQ(3, e.GetDeviceInfo(out, 2));
    EXPECT_EQ(0, std::memcmp(out, list.data(), 2 * sizeof(SKxNLEyeDeviceInfoEx)));
    EXPECT_EQ(0xAB, reinterpret_cast<uint8_t*>(&out[2])[0]);

    EXPECT_EQ(3, e.GetDeviceInfo(out, 5));
    EXPECT_EQ(0, std::memcmp(out, list.data(), 3 * sizeof(SKxNLEyeDeviceInfoEx)));
    EXPECT_EQ(0xAB, reinterpret_cast<uint8_t*>(&out[3])[0]);

    // The list replaces whatever the caller's vector held.
    std::vector<SKxNLEyeDeviceInfoEx> junk(7);
    e.GetDeviceInfoList(junk);
    EXPECT_EQ(3u, junk.size());
}

TEST(RecordList, LookUpAndUpdateByID) {
    Cameras cams;
    cams.Local({c_laser5});
    CKxEyeDeviceEnumrator e;
    const auto list = Search(e, c_nKxSearchLocal);
    ASSERT_EQ(2u, list.size());

    SKxNLEyeDeviceInfoEx r;
    EXPECT_EQ(0, e.GetDeviceInfoByID(list[0].szDeviceID, &r));
    EXPECT_EQ(0, std::memcmp(&r, &list[0], sizeof(r)));
    EXPECT_EQ(0, e.GetDeviceInfoByID(c_szTestID, &r));
    EXPECT_STREQ("OrvikEye-L[5][Test]", r.szDeviceName);

    std::string lower = c_szTestID;
    for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    const std::string prefix = std::string(c_szTestID).substr(0, 20);
    const uint8_t byIP[4] = {192, 0, 2, 17};
    for (const char* pszID : {"", "{00000000-0000-0000-0000-000000000000}", lower.c_str(), prefix.c_str()}) {
        EXPECT_EQ(-79964, e.GetDeviceInfoByID(pszID, &r)) << pszID;
        EXPECT_EQ(-79964, e.UpdateDeviceIP(pszID, byIP)) << pszID;
    }
    EXPECT_EQ(-79964, e.GetDeviceInfoByID(nullptr, &r));
    EXPECT_EQ(-79964, e.UpdateDeviceIP(nullptr, byIP));

    EXPECT_EQ(0, e.UpdateDeviceIP(c_szTestID, byIP));
    EXPECT_EQ(0, e.GetDeviceInfoByID(c_szTestID, &r));
    EXPECT_STREQ("192.0.2.17", r.szIPAddress);
    EXPECT_STREQ("192.0.2.17", r.szEyeIP);
    EXPECT_EQ(0, e.GetDeviceInfoByID(list[0].szDeviceID, &r));
    EXPECT_STREQ("", r.szIPAddress);  // only the first record with that ID changes
}

TEST(Export, CreatesAnEnumeratorWithOneReference) {
    EXPECT_FALSE(KxCreateLaserEyeDeviceEnumrator(nullptr));
    IKxEyeDeviceEnumrator* p = nullptr;
    ASSERT_TRUE(KxCreateLaserEyeDeviceEnumrator(&p));
    ASSERT_NE(nullptr, p);
    EXPECT_NE(nullptr, dynamic_cast<CKxEyeDeviceEnumrator*>(p));
    EXPECT_FALSE(p->IsDeviceOnline(nullptr));
    EXPECT_FALSE(p->Reserved9());
    EXPECT_EQ(1, p->AddRef());
    EXPECT_EQ(1, p->Release());
    EXPECT_EQ(0, p->Release());
}

// ---- against the virtual camera ----

namespace {
void UseVirtualCameras(const char* pszConfig) {
    setenv("KXEYE_VIRTUAL_CAMERAS", pszConfig, 1);
    ASSERT_GT(OrEyeTest::ReloadVirtualCameras(), 0);
}
}  // namespace

TEST(VirtualListing, OneAndTwoLaserEyes) {
    UseVirtualCameras("[{\"version\": 8}]");
    CKxEyeDeviceEnumrator e;
    auto list = Search(e, c_nKxSearchLocal);
    ASSERT_EQ(2u, list.size());
    EXPECT_STREQ("OrvikEye-Laser-0", list[0].szDeviceName);
    EXPECT_STREQ("virtual:0", list[0].szConnectText);
    EXPECT_EQ(8u, list[0].sVideoRes.nVersion);
    EXPECT_STREQ("OrvikEye-L[0][Test]", list[1].szDeviceName);

    UseVirtualCameras("[{\"version\": 8}, {\"version\": 6, \"swing_motor\": false}, {\"kind\": \"smart\"}]");
    // The Ethernet source sees a host without cards here: no search ever leaves a test that
    // does not run inside its own network namespace.
    CKxMemoryNetBackend noCards;
    IKxNetBackend* pOldBackend = KxNetworkUtils::SetBackend(&noCards);
    list = Search(e, c_nKxSearchLocal | c_nKxSearchEthernet | c_nKxSearchSmallSmartEye);
    KxNetworkUtils::SetBackend(pOldBackend);
    ASSERT_EQ(5u, list.size());
    EXPECT_STREQ("OrvikEye-Laser-0", list[0].szDeviceName);
    EXPECT_STREQ("OrvikEye-L[0][Test]", list[1].szDeviceName);
    EXPECT_STREQ("OrvikEye-Laser-1", list[2].szDeviceName);
    EXPECT_EQ(524287u, list[2].sVideoRes.nTimeStampRange);
    EXPECT_STREQ("OrvikEye-Smart-2", list[3].szDeviceName);
    EXPECT_STREQ("OrvikEye-Small-Smart-Eth", list[4].szDeviceName);
    EXPECT_EQ(1, list[4].bDeviceInfoValid);
    unsetenv("KXEYE_VIRTUAL_CAMERAS");
    OrEyeTest::ReloadVirtualCameras();
}

// An application goes from search to a working device: every local laser record opens with the
// camera it names, and closes again.
TEST(VirtualListing, LocalRecordsOpenAsDevices) {
    UseVirtualCameras("[{\"version\": 8}, {\"version\": 7, \"swing_motor\": false}]");
    IKxEyeDeviceEnumrator* pEnum = nullptr;
    ASSERT_TRUE(KxCreateLaserEyeDeviceEnumrator(&pEnum));
    EXPECT_EQ(0, pEnum->SearchDevice(c_nKxSearchLocal));
    std::vector<SKxNLEyeDeviceInfoEx> list;
    pEnum->GetDeviceInfoList(list);
    ASSERT_EQ(3u, list.size());
    SKxNLEyeDeviceInfoEx second;
    ASSERT_EQ(0, pEnum->GetDeviceInfoByID(list[2].szDeviceID, &second));
    for (const SKxNLEyeDeviceInfoEx* pInfo : {&list[0], &list[1], &second}) {
        IKxLaserEyeDevice* pDevice = nullptr;
        ASSERT_TRUE(KxCreateLaserEyeDevice(pInfo, nullptr, nullptr, &pDevice));
        EXPECT_EQ(0, pDevice->Open(0)) << pInfo->szDeviceName;
        EXPECT_TRUE(pDevice->IsOpen());
        EXPECT_EQ(pInfo->sVideoRes.nVersion, pDevice->GetHWVersion());
        uint32_t nWidth = 0, nHeight = 0;
        EXPECT_EQ(0, pDevice->GetVideoResolution(&nWidth, &nHeight));
        EXPECT_EQ(1536u, nWidth);
        // The device reaches the camera of its record: the identity item tells which.
        char szSerial[9] = {};
        ASSERT_EQ(0, pDevice->GetCoreEye()->ReadProduct(4, szSerial, 8));
        EXPECT_STREQ(pInfo == &second ? "VC000002" : "VC000001", szSerial);
        pDevice->Close();
        EXPECT_FALSE(pDevice->IsOpen());
        EXPECT_EQ(0, pDevice->Release());
    }
    EXPECT_EQ(0, pEnum->Release());
    unsetenv("KXEYE_VIRTUAL_CAMERAS");
    OrEyeTest::ReloadVirtualCameras();
}
