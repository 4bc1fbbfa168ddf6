// Ethernet source of the enumerator and IsDeviceOnline against GoogleMock cameras and in-memory
// host cards: hits to records, the card of each hit, IDs per MAC, unread cameras, log lines.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "../data/kxmockcamera.h"
#include "kxkernel.h"
#include "kxkernel_testsupport.h"
#include "kxlasereyedeviceenumrator.h"
#include "kxlaserinfo.h"
#include "kxnetbackendmemory.h"
#include "kxnetworkutils.h"
#include "oreyeapi_testsupport.h"

using ::testing::_;
using ::testing::IsNull;
using ::testing::NiceMock;
using ::testing::Return;

namespace {

struct Hit {
    uint8_t byIP[4];
    uint8_t byMAC[6];
    uint8_t byID[8];
    int32_t nIfIndex;
};

// Fills the 484-byte search buffer the way the camera library does.
void FillSearch(uint8_t* p, const std::vector<Hit>& hits, int32_t nCount = -1) {
    std::memset(p, 0, c_nOrEyeSearchBytes);
    const int32_t n = nCount >= 0 ? nCount : static_cast<int32_t>(hits.size());
    std::memcpy(p, &n, 4);
    for (size_t i = 0; i < hits.size() && i < 8; ++i) {
        uint8_t* e = p + 4 + 60 * i;
        for (int b = 0; b < 4; ++b) e[b] = hits[i].byIP[3 - b];
        const uint8_t byDest[4] = {1, 2, 0, 192};  // 192.0.2.1, lowest byte the last octet
        std::memcpy(e + 4, byDest, 4);
        std::memcpy(e + 8, hits[i].byMAC, 6);
        std::memset(e + 14, 0xEE, 6);
        std::memset(e + 20, 0x11, 8);
        std::memset(e + 28, 0x22, 8);
        std::memcpy(e + 36, hits[i].byID, 8);
        std::memcpy(e + 44, &hits[i].nIfIndex, 4);
    }
}

void LaserInfo(uint8_t* p, uint16_t nType, uint16_t nVersion, bool bLarge) {
    std::memset(p, 0, 52);
    auto put = [p](unsigned int w, uint16_t v) { std::memcpy(p + 2 * w, &v, 2); };
    put(KxLaserInfo::c_nWordDeviceType, nType);
    put(KxLaserInfo::c_nWordVersion, nVersion);
    put(KxLaserInfo::c_nWordWidth, 1536);
    put(KxLaserInfo::c_nWordHeight, 2048);
    put(KxLaserInfo::c_nWordFlags, bLarge ? KxLaserInfo::c_nFlagLargeEye : 0);
}

// Camera objects of access type 3 handed out in order: each takes the next setup.
class EthCameras {
public:
    EthCameras() {
        OrEyeTest::SetFactory([this](OREYEAPI_TYPE eType) -> IOrEyeCamera* {
            if (eType != OREYEAPI_TYPE_ETHERNET) return m_other ? m_other(eType) : nullptr;
            if (m_setups.empty()) return nullptr;
            auto* pCam = new NiceMock<KxMockCamera>();
            ++m_nCreated;
            pCam->m_onDestroyed = [this]() { ++m_nDestroyed; };
            auto setup = m_setups.front();
            m_setups.pop_front();
            setup(*pCam);
            return pCam;
        });
    }
    ~EthCameras() { OrEyeTest::SetFactory(OrEyeTest::Factory()); }
    void Add(std::function<void(KxMockCamera&)> setup) { m_setups.push_back(std::move(setup)); }
    // A camera that reads as a laser eye (or the given answers).
    void AddReader(uint16_t nType, bool bLarge, int nInit = 0, int nRead = 0, int nInfo = 0) {
        Add([=](KxMockCamera& cam) {
            EXPECT_CALL(cam, InitDevice(1536, 2048, 0, 5, IsNull())).WillOnce(Return(nInit));
            ON_CALL(cam, ReadProduct(2, _, 16)).WillByDefault([=](int, void* p, int) {
                std::memcpy(p, "SERIAL0123456789", 16);
                return nRead;
            });
            ON_CALL(cam, GetParam(54, _, 52)).WillByDefault([=](int, void* p, int) {
                LaserInfo(static_cast<uint8_t*>(p), nType, 8, bLarge);
                return nInfo;
            });
        });
    }
    int m_nCreated = 0, m_nDestroyed = 0;
    std::function<IOrEyeCamera*(OREYEAPI_TYPE)> m_other;  // the other access types

private:
    std::deque<std::function<void(KxMockCamera&)>> m_setups;
};

// Two host cards in memory: index 5 at 192.0.2.1, index 7 at 198.51.100.1.
class HostCards {
public:
    HostCards() {
        m_backend.vecCards.push_back(Card("eth0", 5, {192, 0, 2, 1}, 0x51));
        m_backend.vecCards.push_back(Card("eth1", 7, {198, 51, 100, 1}, 0x71));
        m_pOld = KxNetworkUtils::SetBackend(&m_backend);
    }
    ~HostCards() { KxNetworkUtils::SetBackend(m_pOld); }
    static SKxNetCardRow Card(const char* pszName, uint32_t nIndex, std::array<uint8_t, 4> ip, uint8_t nMAC) {
        SKxNetCardRow r;
        r.strName = pszName;
        r.strDescription = pszName;
        r.nIndex = nIndex;
        const uint8_t byMAC[6] = {0x02, 0, 0, 0, 0, nMAC};
        std::memcpy(r.byMAC, byMAC, 6);
        r.nMACLength = 6;
        SKxNetCardAddress a;
        std::memcpy(a.byIP, ip.data(), 4);
        const uint8_t byMask[4] = {255, 255, 255, 0};
        std::memcpy(a.byMask, byMask, 4);
        r.vecAddresses.push_back(a);
        return r;
    }
    CKxMemoryNetBackend m_backend;

private:
    IKxNetBackend* m_pOld;
};

class PerCardSetting {
public:
    explicit PerCardSetting(uint8_t nValue) : m_old(*KxGlobalSetting::GetSetting()) {
        SKxGlobalSetting s = m_old;
        s.bySearchPerCard = nValue;
        KxGlobalSetting::SetSetting(s);
    }
    ~PerCardSetting() { KxGlobalSetting::SetSetting(m_old); }

private:
    SKxGlobalSetting m_old;
};

const Hit c_camA{{203, 0, 113, 50}, {0x02, 0x4b, 0x58, 0, 0, 0x40}, {'K', 'X', 2, 0x4b, 0x58, 0, 0, 0x40}, 5};
const Hit c_camAOther{{203, 0, 113, 50}, {0x02, 0x4b, 0x58, 0, 0, 0x40}, {'K', 'X', 2, 0x4b, 0x58, 0, 0, 0x40}, 7};
const Hit c_camB{{192, 0, 2, 10}, {0x02, 0x4b, 0x58, 0, 0, 0x10}, {'K', 'X', 2, 0x4b, 0x58, 0, 0, 0x10}, 9};
const Hit c_camC{{198, 51, 100, 60}, {0x02, 0x4b, 0x58, 0, 0, 0x60}, {'K', 'X', 2, 0x4b, 0x58, 0, 0, 0x60}, 7};

std::vector<SKxNLEyeDeviceInfoEx> Search(CKxEyeDeviceEnumrator& e, int nFlags = c_nKxSearchEthernet) {
    EXPECT_EQ(0, e.SearchDevice(nFlags));
    std::vector<SKxNLEyeDeviceInfoEx> list;
    e.GetDeviceInfoList(list);
    return list;
}

void BroadcastSearcher(EthCameras& cams, const std::vector<Hit>& hits, int nRet = 0) {
    cams.Add([hits, nRet](KxMockCamera& cam) {
        EXPECT_CALL(cam, GetVersionText(_, 128)).WillOnce([](char* p, int) {
            std::strcpy(p, "OrEyeApi 1.0");
            return 0;
        });
        EXPECT_CALL(cam, SetLocalIP(_, _)).Times(0);
        const uint8_t byAll[4] = {255, 255, 255, 255};
        EXPECT_CALL(cam, Search(_, _, _)).WillOnce([hits, nRet, byAll](const unsigned char* ip, const unsigned char* mac, unsigned char* r) {
            EXPECT_EQ(0, std::memcmp(ip, byAll, 4));
            for (int i = 0; i < 6; ++i) EXPECT_EQ(0xFF, mac[i]);
            FillSearch(r, hits);
            return nRet;
        });
    });
}

}  // namespace

TEST(EthernetSearch, BroadcastHitsBecomeRecordsWithTheirCards) {
    HostCards host;
    PerCardSetting setting(0);
    EthCameras cams;
    BroadcastSearcher(cams, {c_camA, c_camAOther, c_camB, c_camC});
    cams.AddReader(2, false);
    cams.AddReader(2, false);
    cams.AddReader(3, true);
    KxLogCapture log;
    CKxEyeDeviceEnumrator e;
    const auto list = Search(e);
    ASSERT_EQ(3u, list.size());
    const SKxNLEyeDeviceInfoEx& a = list[0];
    EXPECT_STREQ("203.0.113.50", a.szIPAddress);
    EXPECT_STREQ("203.0.113.50", a.szEyeIP);
    EXPECT_STREQ("02:4b:58:00:00:40", a.szMACAddress);
    EXPECT_STREQ("02:4b:58:00:00:40", a.szEyeMAC);
    EXPECT_STREQ("192.0.2.1", a.szDestIP);
    EXPECT_STREQ("ee:ee:ee:ee:ee:ee", a.szDestMAC);
    EXPECT_EQ(0, std::memcmp(a.byDeviceID, c_camA.byID, 8));
    EXPECT_EQ(0x11, a.byEyeInfo1[0]);
    EXPECT_EQ(0x22, a.byEyeInfo2[7]);
    EXPECT_EQ(1u, a.nNetInfoValid);
    EXPECT_EQ(5u, a.sNetCardInfo.nIndex);
    EXPECT_EQ(192, a.sNetCardInfo.byIP[0]);
    EXPECT_STREQ("eth0", a.sNetCardInfo.szDescription);
    EXPECT_EQ(KX_DEVICE_TYPE_LASER_EYE, a.eDeviceType);
    EXPECT_EQ(0x1122u, a.nDeviceFlags);
    EXPECT_STREQ("OrvikEye-Laser-Eth", a.szDeviceName);
    EXPECT_STREQ("KxNLDsec", a.szModuleTag);
    EXPECT_STREQ("SERIAL0123456789", a.szProductInfo);
    EXPECT_EQ(8u, a.sVideoRes.nVersion);
    EXPECT_EQ(1536u, a.sVideoRes.nFrameWidth);
    EXPECT_EQ(4096u, a.sVideoRes.nFrameCounterRange);
    EXPECT_EQ(1, a.bDeviceInfoValid);
    // The same camera through the second card: its own card and a different ID.
    EXPECT_EQ(7u, list[1].sNetCardInfo.nIndex);
    EXPECT_STREQ("eth1", list[1].sNetCardInfo.szDescription);
    EXPECT_STRNE(a.szDeviceID, list[1].szDeviceID);
    // A large smart eye through the second card.
    EXPECT_EQ(0x2212u, list[2].nDeviceFlags);
    EXPECT_STREQ("OrvikEye-Smart-Eth", list[2].szDeviceName);
    EXPECT_EQ(7u, list[2].sNetCardInfo.nIndex);
    // An answer through a card that is not listed gets no record (it would have no card).
    for (const auto& r : list) EXPECT_STRNE("192.0.2.10", r.szEyeIP);
    EXPECT_TRUE(log.HasLine(c_nKxLogState, "1 answer(s) through cards not listed ignored"));
    EXPECT_TRUE(log.HasLine(c_nKxLogState, "Version OrEyeApi 1.0"));
    EXPECT_TRUE(log.HasLine(c_nKxLogState, "nSearchRet = 0"));
    EXPECT_EQ(4, cams.m_nCreated);
    EXPECT_EQ(4, cams.m_nDestroyed);

    // Second search of the same enumerator: every record keeps its ID.
    BroadcastSearcher(cams, {c_camA, c_camAOther, c_camB, c_camC});
    for (int i = 0; i < 3; ++i) cams.AddReader(2, false);
    const auto again = Search(e);
    ASSERT_EQ(3u, again.size());
    for (size_t i = 0; i < 3; ++i) EXPECT_STREQ(list[i].szDeviceID, again[i].szDeviceID) << i;
    // A new enumerator: new IDs.
    BroadcastSearcher(cams, {c_camA, c_camAOther, c_camB, c_camC});
    for (int i = 0; i < 3; ++i) cams.AddReader(2, false);
    CKxEyeDeviceEnumrator fresh;
    const auto other = Search(fresh);
    ASSERT_EQ(3u, other.size());
    for (size_t i = 0; i < 3; ++i) EXPECT_STRNE(list[i].szDeviceID, other[i].szDeviceID) << i;
}

struct UnreadCase {
    const char* pszName;
    int nInit, nRead, nInfo;
    const char* pszLog;
    int nLevel;
};

class EthernetUnread : public ::testing::TestWithParam<UnreadCase> {};

// A camera that answered but cannot be read is listed with its addresses, ID and card, so that it
// can be reconfigured.
TEST_P(EthernetUnread, IsListedAsUnknownDevice) {
    const UnreadCase& c = GetParam();
    HostCards host;
    PerCardSetting setting(0);
    EthCameras cams;
    BroadcastSearcher(cams, {c_camA});
    cams.AddReader(2, false, c.nInit, c.nRead, c.nInfo);
    KxLogCapture log;
    CKxEyeDeviceEnumrator e;
    const auto list = Search(e);
    ASSERT_EQ(1u, list.size());
    const SKxNLEyeDeviceInfoEx& r = list[0];
    EXPECT_EQ(0, r.bDeviceInfoValid);
    EXPECT_EQ(0, r.eDeviceType);
    EXPECT_EQ(0u, r.nDeviceFlags);
    EXPECT_STREQ("Unknown Device", r.szDeviceName);
    EXPECT_STREQ("203.0.113.50", r.szEyeIP);
    EXPECT_STREQ("02:4b:58:00:00:40", r.szEyeMAC);
    EXPECT_EQ(5u, r.sNetCardInfo.nIndex);
    EXPECT_EQ(38u, std::strlen(r.szDeviceID));
    EXPECT_TRUE(log.HasLine(c.nLevel, c.pszLog)) << c.pszName;
    EXPECT_EQ(cams.m_nCreated, cams.m_nDestroyed);
}

INSTANTIATE_TEST_SUITE_P(Steps, EthernetUnread,
                         ::testing::Values(UnreadCase{"init", -10004, 0, 0, "Init Device Return -10004", c_nKxLogState},
                                           UnreadCase{"product", 0, -10030, 0, "Read Product Return -10030", c_nKxLogState},
                                           UnreadCase{"laser info", 0, 0, -10030, "Get Laser Info Failed", c_nKxLogError}));

TEST(EthernetSearch, PerCardSearchGoesThroughEveryCard) {
    HostCards host;
    PerCardSetting setting(1);
    EthCameras cams;
    cams.Add([](KxMockCamera& cam) {
        ::testing::InSequence seq;
        EXPECT_CALL(cam, SetLocalIP(::testing::StrEq("192.0.2.1"), 16)).WillOnce(Return(0));
        EXPECT_CALL(cam, Search(_, _, _)).WillOnce([](const unsigned char* ip, const unsigned char* mac, unsigned char* r) {
            const uint8_t byRev[4] = {1, 2, 0, 192};
            EXPECT_EQ(0, std::memcmp(ip, byRev, 4));
            EXPECT_EQ(0x51, mac[5]);
            FillSearch(r, {c_camA});
            return 0;
        });
        EXPECT_CALL(cam, SetLocalIP(::testing::StrEq("198.51.100.1"), 16)).WillOnce(Return(0));
        EXPECT_CALL(cam, Search(_, _, _)).WillOnce([](const unsigned char*, const unsigned char*, unsigned char* r) {
            FillSearch(r, {c_camAOther});
            return -10030;  // this card's answer is not used
        });
    });
    cams.AddReader(2, false);
    KxLogCapture log;
    CKxEyeDeviceEnumrator e;
    const auto list = Search(e);
    ASSERT_EQ(1u, list.size());
    EXPECT_EQ(5u, list[0].sNetCardInfo.nIndex);
    EXPECT_TRUE(log.HasLine(c_nKxLogState, "192.0.2.1 SearchRet = 0"));
    EXPECT_TRUE(log.HasLine(c_nKxLogState, "198.51.100.1 SearchRet = -10030"));
}

TEST(EthernetSearch, NoCardNoCountNoCamera) {
    PerCardSetting setting(0);
    {
        CKxMemoryNetBackend none;
        IKxNetBackend* pOld = KxNetworkUtils::SetBackend(&none);
        EthCameras cams;
        cams.Add([](KxMockCamera& cam) { EXPECT_CALL(cam, Search(_, _, _)).Times(0); });
        KxLogCapture log;
        CKxEyeDeviceEnumrator e;
        EXPECT_TRUE(Search(e).empty());
        EXPECT_TRUE(log.HasLine(c_nKxLogError, "Not Found Network Card"));
        KxNetworkUtils::SetBackend(pOld);
    }
    HostCards host;
    {
        // A count beyond the buffer's 8 entries reads 8; a negative count reads none.
        EthCameras cams;
        cams.Add([](KxMockCamera& cam) {
            EXPECT_CALL(cam, Search(_, _, _)).WillOnce([](const unsigned char*, const unsigned char*, unsigned char* r) {
                std::vector<Hit> hits(8, c_camA);
                for (size_t i = 0; i < hits.size(); ++i) hits[i].byMAC[5] = static_cast<uint8_t>(i);
                FillSearch(r, hits, 1000);
                return 0;
            });
        });
        for (int i = 0; i < 8; ++i) cams.AddReader(2, false);
        CKxEyeDeviceEnumrator e;
        EXPECT_EQ(8u, Search(e).size());
    }
    {
        EthCameras cams;
        cams.Add([](KxMockCamera& cam) {
            EXPECT_CALL(cam, Search(_, _, _)).WillOnce([](const unsigned char*, const unsigned char*, unsigned char* r) {
                FillSearch(r, {c_camA});
                std::memset(r, 0xFF, 4);  // count -1
                return 0;
            });
        });
        CKxEyeDeviceEnumrator e;
        EXPECT_TRUE(Search(e).empty());
    }
    EthCameras none;  // no camera object: nothing, no crash
    CKxEyeDeviceEnumrator e;
    EXPECT_TRUE(Search(e).empty());
}

TEST(EthernetSearch, IsDeviceOnlineSearchesThroughTheRecordsCard) {
    HostCards host;
    PerCardSetting setting(0);  // the check goes card-wise whatever the setting
    SKxNLEyeDeviceInfoEx info;
    {
        EthCameras cams;
        BroadcastSearcher(cams, {c_camAOther});
        cams.AddReader(2, false);
        CKxEyeDeviceEnumrator e;
        const auto list = Search(e);
        ASSERT_EQ(1u, list.size());
        info = list[0];
    }
    struct Case {
        const char* pszName;
        Hit hit;
        int nRet;
        bool bOnline;
    };
    Hit otherMAC = c_camAOther, otherID = c_camAOther, otherIP = c_camAOther;
    otherMAC.byMAC[5] = 0x41;
    otherID.byID[7] = 0x41;
    otherIP.byIP[3] = 51;
    const Case cases[] = {{"same camera", c_camAOther, 0, true},   {"other MAC", otherMAC, 0, false},
                          {"other identifier", otherID, 0, false}, {"other address", otherIP, 0, false},
                          {"search failed", c_camAOther, -10030, false}};
    for (const Case& c : cases) {
        EthCameras cams;
        cams.Add([&c](KxMockCamera& cam) {
            EXPECT_CALL(cam, SetLocalIP(::testing::StrEq("198.51.100.1"), 16)).WillOnce(Return(0));
            EXPECT_CALL(cam, Search(_, _, _)).WillOnce([&c](const unsigned char* ip, const unsigned char*, unsigned char* r) {
                const uint8_t byRev[4] = {1, 100, 51, 198};
                EXPECT_EQ(0, std::memcmp(ip, byRev, 4));
                FillSearch(r, {c.hit});
                return c.nRet;
            });
        });
        CKxEyeDeviceEnumrator e;
        EXPECT_EQ(c.bOnline, e.IsDeviceOnline(&info)) << c.pszName;
        EXPECT_EQ(1, cams.m_nDestroyed);
    }
}

TEST(EthernetSearch, SourcesInOrderLocalEthernetSmallSmartEye) {
    HostCards host;
    PerCardSetting setting(0);
    EthCameras cams;
    BroadcastSearcher(cams, {c_camA});
    cams.AddReader(2, false);
    cams.m_other = [](OREYEAPI_TYPE eType) -> IOrEyeCamera* {
        auto* pCam = new NiceMock<KxMockCamera>();
        if (eType == OREYEAPI_TYPE_LOCAL) {
            ON_CALL(*pCam, ListDevices(_)).WillByDefault([](unsigned char* t) {
                std::memset(t, 0, c_nOrEyeListTableBytes);
                t[0] = 1;
                const uint32_t nVersion = 8, nKind = 3, nWidth = 1536, nHeight = 2048;
                std::memcpy(t + 4, &nVersion, 4);
                std::memcpy(t + 4 + 40, &nKind, 4);
                std::memcpy(t + 4 + 44, &nWidth, 4);
                std::memcpy(t + 4 + 48, &nHeight, 4);
                return 0;
            });
        }
        return pCam;
    };
    CKxEyeDeviceEnumrator e;
    const auto list = Search(e, c_nKxSearchSmallSmartEye | c_nKxSearchEthernet | c_nKxSearchLocal);
    ASSERT_EQ(4u, list.size());
    EXPECT_STREQ("OrvikEye-Laser-0", list[0].szDeviceName);
    EXPECT_STREQ("OrvikEye-L[0][Test]", list[1].szDeviceName);
    EXPECT_STREQ("OrvikEye-Laser-Eth", list[2].szDeviceName);
    EXPECT_STREQ("OrvikEye-Small-Smart-Eth", list[3].szDeviceName);
}

namespace {

// The ID of each record by card index.
std::map<uint32_t, std::string> IDsByCard(const std::vector<SKxNLEyeDeviceInfoEx>& list) {
    std::map<uint32_t, std::string> m;
    for (const auto& r : list) m[r.sNetCardInfo.nIndex] = r.szDeviceID;
    return m;
}

}  // namespace

// One camera through two cards: each record keeps its ID whichever card's answer came first and
// when one card was down for a search; the first record is the one of the first listed card.
TEST(EthernetSearch, IDsFollowMACAndCardNotTheOrderOfAnswers) {
    HostCards host;
    PerCardSetting setting(0);
    EthCameras cams;
    CKxEyeDeviceEnumrator e;
    BroadcastSearcher(cams, {c_camAOther, c_camA});  // eth1's answer first
    cams.AddReader(2, false);
    cams.AddReader(2, false);
    const auto first = Search(e);
    ASSERT_EQ(2u, first.size());
    EXPECT_EQ(5u, first[0].sNetCardInfo.nIndex);  // the card list decides, not the arrival
    const auto ids = IDsByCard(first);
    EXPECT_NE(ids.at(5), ids.at(7));

    BroadcastSearcher(cams, {c_camA, c_camAOther});
    cams.AddReader(2, false);
    cams.AddReader(2, false);
    EXPECT_EQ(ids, IDsByCard(Search(e)));

    BroadcastSearcher(cams, {c_camAOther});  // eth0 down for one search
    cams.AddReader(2, false);
    EXPECT_EQ(ids.at(7), IDsByCard(Search(e)).at(7));

    BroadcastSearcher(cams, {c_camAOther, c_camA});
    cams.AddReader(2, false);
    cams.AddReader(2, false);
    EXPECT_EQ(ids, IDsByCard(Search(e)));

    // A new enumerator whose first search saw the camera through eth1 only: that record keeps
    // its ID when eth0 answers too.
    CKxEyeDeviceEnumrator late;
    BroadcastSearcher(cams, {c_camAOther});
    cams.AddReader(2, false);
    const std::string strOnly = IDsByCard(Search(late)).at(7);
    BroadcastSearcher(cams, {c_camA, c_camAOther});
    cams.AddReader(2, false);
    cams.AddReader(2, false);
    const auto both = IDsByCard(Search(late));
    EXPECT_EQ(strOnly, both.at(7));
    EXPECT_NE(strOnly, both.at(5));
}

// Two new cameras with one address and no identifier: two records, told apart by MAC, each
// naming the camera's address in its connect text. Either could answer a read by that address,
// so neither is read; a camera without identifier at an address of its own is read through its
// card by its address.
TEST(EthernetSearch, CamerasWithoutIdentifierAreRecordsOfTheirOwn) {
    HostCards host;
    PerCardSetting setting(0);
    Hit first{{203, 0, 113, 50}, {0x02, 0x4b, 0x58, 0, 0, 0x41}, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 5};
    Hit second = first;
    second.byMAC[5] = 0x42;
    Hit alone = first;
    alone.byMAC[5] = 0x43;
    alone.byIP[3] = 51;
    EthCameras cams;
    BroadcastSearcher(cams, {alone, second, first});
    for (int i = 0; i < 2; ++i)
        cams.Add([](KxMockCamera& cam) { EXPECT_CALL(cam, InitDevice(_, _, _, _, _)).Times(0); });
    cams.Add([](KxMockCamera& cam) {
        EXPECT_CALL(cam, SelectDevice(_)).Times(0);
        EXPECT_CALL(cam, SetLocalIP(::testing::StrEq("192.0.2.1"), 16)).WillOnce(Return(0));
        EXPECT_CALL(cam, InitDevice(1536, 2048, 0, 5, ::testing::StrEq("203.0.113.51"))).WillOnce(Return(0));
        ON_CALL(cam, GetParam(54, _, 52)).WillByDefault([](int, void* p, int) {
            LaserInfo(static_cast<uint8_t*>(p), 2, 8, false);
            return 0;
        });
    });
    KxLogCapture log;
    CKxEyeDeviceEnumrator e;
    const auto list = Search(e);
    ASSERT_EQ(3u, list.size());
    EXPECT_STREQ("02:4b:58:00:00:41", list[0].szEyeMAC);
    EXPECT_STREQ("02:4b:58:00:00:42", list[1].szEyeMAC);
    EXPECT_STREQ("02:4b:58:00:00:43", list[2].szEyeMAC);
    EXPECT_STRNE(list[0].szDeviceID, list[1].szDeviceID);
    for (int i = 0; i < 2; ++i) {
        EXPECT_STREQ("203.0.113.50", list[i].szConnectText);
        EXPECT_EQ(0, list[i].bDeviceInfoValid);
        EXPECT_EQ(c_nKxFlagEthernet, list[i].nDeviceFlags);
    }
    EXPECT_TRUE(log.HasLine(c_nKxLogState, "Camera 203.0.113.50 (02:4b:58:00:00:41) shares its address with another camera: not read"));
    EXPECT_STREQ("203.0.113.51", list[2].szConnectText);
    EXPECT_EQ(1, list[2].bDeviceInfoValid);
    EXPECT_EQ(cams.m_nCreated, cams.m_nDestroyed);
}

// A camera that this process (or another) holds answers the search but cannot be opened: its
// record stays whole, from the search before or else from the search answer, with the Ethernet
// flag, so that record-based configuration still takes it.
TEST(EthernetSearch, HeldCameraKeepsItsRecord) {
    HostCards host;
    PerCardSetting setting(0);
    EthCameras cams;
    CKxEyeDeviceEnumrator e;
    BroadcastSearcher(cams, {c_camA});
    cams.AddReader(2, false);
    const auto first = Search(e);
    ASSERT_EQ(1u, first.size());
    BroadcastSearcher(cams, {c_camA});
    cams.AddReader(2, false, -10008);
    const auto held = Search(e);
    ASSERT_EQ(1u, held.size());
    EXPECT_STREQ(first[0].szDeviceID, held[0].szDeviceID);
    EXPECT_EQ(KX_DEVICE_TYPE_LASER_EYE, held[0].eDeviceType);
    EXPECT_EQ(0x1122u, held[0].nDeviceFlags);
    EXPECT_STREQ("OrvikEye-Laser-Eth", held[0].szDeviceName);
    EXPECT_EQ(8u, held[0].sVideoRes.nVersion);
    EXPECT_EQ(1536u, held[0].sVideoRes.nFrameWidth);
    EXPECT_EQ(1, held[0].bDeviceInfoValid);

    // Held from the first search on: what the answer tells (info 1: version, width, height).
    CKxEyeDeviceEnumrator fresh;
    BroadcastSearcher(cams, {c_camA});
    cams.AddReader(2, false, -10008);
    const auto answer = Search(fresh);
    ASSERT_EQ(1u, answer.size());
    EXPECT_EQ(c_nKxFlagEthernet, answer[0].nDeviceFlags);
    EXPECT_EQ(0x1111u, answer[0].sVideoRes.nVersion);
    EXPECT_EQ(0x1111u, answer[0].sVideoRes.nFrameWidth);
    EXPECT_EQ(0x1111u, answer[0].sVideoRes.nFrameHeight);
    EXPECT_EQ(0, answer[0].bDeviceInfoValid);
}

// A card with two addresses: the record gets the address on the camera's subnet, and searching
// the card once per address lists the camera once.
TEST(EthernetSearch, CardWithTwoAddressesGivesTheCamerasSubnet) {
    HostCards host;
    SKxNetCardAddress second;
    const uint8_t byIP[4] = {203, 0, 113, 1}, byMask[4] = {255, 255, 255, 0};
    std::memcpy(second.byIP, byIP, 4);
    std::memcpy(second.byMask, byMask, 4);
    host.m_backend.vecCards[0].vecAddresses.push_back(second);
    Hit local = c_camB;  // on the card's first subnet
    local.nIfIndex = 5;
    const uint8_t byFirst[4] = {192, 0, 2, 1};
    for (uint8_t nPerCard : {0, 1}) {
        PerCardSetting setting(nPerCard);
        EthCameras cams;
        if (nPerCard == 0) {
            BroadcastSearcher(cams, {c_camA, local});
        } else {
            cams.Add([local](KxMockCamera& cam) {
                EXPECT_CALL(cam, SetLocalIP(_, _)).Times(3).WillRepeatedly(Return(0));
                ON_CALL(cam, Search(_, _, _)).WillByDefault([local](const unsigned char* ip, const unsigned char*, unsigned char* r) {
                    FillSearch(r, ip[3] == 198 ? std::vector<Hit>{} : std::vector<Hit>{c_camA, local});
                    return 0;
                });
            });
        }
        cams.AddReader(2, false);
        cams.AddReader(2, false);
        CKxEyeDeviceEnumrator e;
        const auto list = Search(e);
        ASSERT_EQ(2u, list.size()) << int(nPerCard);
        for (const auto& r : list) {
            EXPECT_EQ(5u, r.sNetCardInfo.nIndex);
            const bool bLocal = std::strcmp(r.szEyeIP, "192.0.2.10") == 0;
            EXPECT_EQ(0, std::memcmp(r.sNetCardInfo.byIP, bLocal ? byFirst : byIP, 4)) << int(nPerCard) << r.szEyeIP;
        }
    }
}
