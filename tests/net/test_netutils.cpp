// Host network utilities without the host: texts, subnet arithmetic, the checksum, and the ARP,
// route and card rules over in-memory tables (tests/net/test_netbackendlinux.cpp has the Linux card
// rule, test_netbackendwin.cpp the Windows backend).
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kxkernel_testsupport.h"
#include "kxnetbackendmemory.h"
#include "kxnetworkutils.h"

namespace {

using namespace KxNetworkUtils;

// ---- texts ------------------------------------------------------------------------------------

struct IPCase {
    const char* text;
    bool ok;
    uint8_t by[4];
};

class StringToIPTest : public ::testing::TestWithParam<IPCase> {};

TEST_P(StringToIPTest, ParsesOrLeavesTheBytesAlone) {
    const IPCase& c = GetParam();
    uint8_t by[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    EXPECT_EQ(c.ok, StringToIP(c.text, by)) << c.text;
    const uint8_t untouched[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    EXPECT_EQ(0, memcmp(by, c.ok ? c.by : untouched, 4)) << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, StringToIPTest,
    ::testing::Values(IPCase{"192.168.1.1", true, {192, 168, 1, 1}}, IPCase{"1.2", true, {1, 2, 0, 0}},
                      IPCase{"", true, {0, 0, 0, 0}}, IPCase{"256", true, {0, 0, 0, 0}},
                      IPCase{"300.1.1.1", true, {44, 1, 1, 1}}, IPCase{"255.255.255.255", true, {255, 255, 255, 255}},
                      IPCase{"...", true, {0, 0, 0, 0}}, IPCase{"192.168.1.1.5", false, {}},
                      IPCase{"....", false, {}}, IPCase{"1.2.3.x", false, {}}, IPCase{" 1.2.3.4", false, {}},
                      IPCase{"-1.2.3.4", false, {}}));

struct MACCase {
    const char* text;
    bool ok;
    uint8_t by[6];
};

class StringToMACTest : public ::testing::TestWithParam<MACCase> {};

TEST_P(StringToMACTest, ParsesOrLeavesTheBytesAlone) {
    const MACCase& c = GetParam();
    uint8_t by[6] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
    EXPECT_EQ(c.ok, StringToMAC(c.text, by)) << c.text;
    const uint8_t untouched[6] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
    EXPECT_EQ(0, memcmp(by, c.ok ? c.by : untouched, 6)) << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, StringToMACTest,
    ::testing::Values(MACCase{"00:1A:2b:3c:4d:5e", true, {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}},
                      MACCase{"ff:ff:ff:ff:ff:ff", true, {0xff, 0xff, 0xff, 0xff, 0xff, 0xff}},
                      MACCase{"0:1a:2b:3c:4d:5e", false, {}},     // 16 characters
                      MACCase{"00:1a:2b:3c:4d:5e:", false, {}},   // 18
                      MACCase{"00-1a-2b-3c-4d-5e", false, {}}, MACCase{"00:1a:2b:3c:4d:5g", false, {}},
                      MACCase{"-1:1a:2b:3c:4d:5e", false, {}},    // a sign is no hex digit
                      MACCase{" 1:1a:2b:3c:4d:5e", false, {}}, MACCase{"", false, {}}));

TEST(NetTexts, FormatsBothWaysAndNullsAreRefused) {
    uint8_t by[4];
    char sz[16];
    ASSERT_TRUE(StringToIP("192.168.1.1", by));
    IPToString(by, sz);
    EXPECT_STREQ("192.168.1.1", sz);
    const uint8_t byMax[4] = {255, 255, 255, 255};
    IPToString(byMax, sz);
    EXPECT_STREQ("255.255.255.255", sz);
    const uint8_t byMAC[6] = {0x00, 0x1A, 0x2B, 0xFF, 0x0d, 0x5e};
    char szMAC[18];
    MACToString(byMAC, szMAC);
    EXPECT_STREQ("00:1a:2b:ff:0d:5e", szMAC);  // lower case
    EXPECT_FALSE(StringToIP(nullptr, by));
    EXPECT_FALSE(StringToIP("1.2.3.4", nullptr));
    EXPECT_FALSE(StringToMAC(nullptr, by));
    IPToString(nullptr, sz);
    MACToString(nullptr, szMAC);
    EXPECT_STREQ("00:1a:2b:ff:0d:5e", szMAC);
}

// ---- subnet arithmetic --------------------------------------------------------------------------

struct ConfigCase {
    const char *ip, *mask, *gateway;
    int code;
};

class CheckIPConfigTest : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(CheckIPConfigTest, Code) {
    const ConfigCase& c = GetParam();
    uint8_t ip[4], mask[4], gw[4];
    ASSERT_TRUE(StringToIP(c.ip, ip) && StringToIP(c.mask, mask) && StringToIP(c.gateway, gw));
    int n = 12345;
    EXPECT_EQ(c.code == 0, CheckIPConfig(ip, mask, gw, &n));
    EXPECT_EQ(c.code, n) << c.ip << " " << c.mask << " " << c.gateway;
    EXPECT_EQ(c.code == 0, CheckIPConfig(ip, mask, gw, nullptr));
}

INSTANTIATE_TEST_SUITE_P(
    Codes, CheckIPConfigTest,
    ::testing::Values(ConfigCase{"192.168.1.10", "255.255.255.0", "192.168.1.1", 0},
                      ConfigCase{"192.168.1.10", "255.255.255.0", "10.0.0.1", 0},  // gateway may lie outside
                      ConfigCase{"192.168.1.0", "255.255.255.0", "192.168.1.1", -69991},
                      ConfigCase{"192.168.1.255", "255.255.255.0", "192.168.1.1", -69991},
                      ConfigCase{"127.0.0.1", "255.0.0.0", "127.0.0.2", -69991},
                      ConfigCase{"255.255.255.255", "255.255.255.0", "192.168.1.1", -69991},
                      ConfigCase{"192.168.1.10", "255.255.255.0", "192.168.1.255", -69990},
                      ConfigCase{"192.168.1.10", "255.255.255.0", "192.168.1.0", -69990},
                      ConfigCase{"192.168.1.10", "255.255.255.0", "255.255.255.255", -69990},
                      ConfigCase{"192.168.1.10", "255.255.255.0", "127.0.0.1", -69990},
                      ConfigCase{"192.168.1.10", "0.255.255.255", "192.168.1.1", -69992},
                      ConfigCase{"192.168.1.0", "0.0.0.0", "192.168.1.0", -69992},  // mask first
                      ConfigCase{"203.0.113.5", "255.255.255.252", "203.0.113.6", 0},
                      ConfigCase{"203.0.113.7", "255.255.255.252", "203.0.113.6", -69991}));

TEST(NetConfig, NullArgumentsGiveTheCodeOfTheMissingPart) {
    const uint8_t ip[4] = {192, 0, 2, 10}, mask[4] = {255, 255, 255, 0}, gw[4] = {192, 0, 2, 1};
    int n = 0;
    EXPECT_FALSE(CheckIPConfig(ip, nullptr, gw, &n));
    EXPECT_EQ(-69992, n);
    EXPECT_FALSE(CheckIPConfig(nullptr, mask, gw, &n));
    EXPECT_EQ(-69991, n);
    EXPECT_FALSE(CheckIPConfig(ip, mask, nullptr, &n));
    EXPECT_EQ(-69990, n);
}

struct SubnetCase {
    const char *ip, *mask, *network, *broadcast;
};

class SubnetTest : public ::testing::TestWithParam<SubnetCase> {};

TEST_P(SubnetTest, NetworkAndBroadcast) {
    const SubnetCase& c = GetParam();
    char sz[16] = {};
    ASSERT_TRUE(GetNetworkAddress(c.ip, c.mask, sz));
    EXPECT_STREQ(c.network, sz);
    ASSERT_TRUE(GetBroadcastAddress(c.ip, c.mask, sz));
    EXPECT_STREQ(c.broadcast, sz);
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, SubnetTest,
    ::testing::Values(SubnetCase{"192.168.1.77", "255.255.255.0", "192.168.1.0", "192.168.1.255"},
                      SubnetCase{"198.51.100.77", "255.255.255.192", "198.51.100.64", "198.51.100.127"},
                      SubnetCase{"10.1.2.3", "255.0.0.0", "10.0.0.0", "10.255.255.255"},
                      SubnetCase{"203.0.113.9", "255.255.255.255", "203.0.113.9", "203.0.113.9"},
                      SubnetCase{"203.0.113.9", "0.0.0.0", "0.0.0.0", "255.255.255.255"}));

TEST(NetSubnet, TextsThatDoNotParseAnswerFalseAndWriteNothing) {
    char sz[16] = "unchanged";
    EXPECT_FALSE(GetNetworkAddress("1.2.3.4.5", "255.0.0.0", sz));
    EXPECT_FALSE(GetBroadcastAddress("1.2.3.4", "255.x.0.0", sz));
    EXPECT_FALSE(GetBroadcastAddress(nullptr, "255.0.0.0", sz));
    EXPECT_FALSE(GetNetworkAddress("1.2.3.4", "255.0.0.0", nullptr));
    EXPECT_STREQ("unchanged", sz);
}

// ---- checksum -------------------------------------------------------------------------------------

TEST(NetChecksum, Rfc1071ExampleAndOddLengths) {
    // RFC 1071's own example: the words sum to 0xddf2 (network order), the checksum is 0x220d.
    const uint8_t by[8] = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
    uint16_t n = CalcChecksum(by, 8);
    uint8_t stored[2];
    memcpy(stored, &n, 2);
    EXPECT_EQ(0x22, stored[0]);
    EXPECT_EQ(0x0d, stored[1]);

    // Odd length: the last byte counts as the first byte of a zero-padded word.
    const uint8_t odd[3] = {0x12, 0x34, 0x56};
    const uint8_t padded[4] = {0x12, 0x34, 0x56, 0x00};
    EXPECT_EQ(CalcChecksum(padded, 4), CalcChecksum(odd, 3));
    n = CalcChecksum(odd, 3);
    memcpy(stored, &n, 2);
    EXPECT_EQ(0x97, stored[0]);  // ~(0x1234 + 0x5600) = ~0x6834, in network order
    EXPECT_EQ(0xcb, stored[1]);

    // A message that carries its checksum sums to zero.
    uint8_t echo[9] = {8, 0, 0, 0, 0x12, 0x34, 0, 1, 0x7f};
    n = CalcChecksum(echo, 9);
    memcpy(echo + 2, &n, 2);
    EXPECT_EQ(0, CalcChecksum(echo, 9));

    EXPECT_EQ(0xFFFF, CalcChecksum(by, 0));
    EXPECT_EQ(0xFFFF, CalcChecksum(nullptr, 8));
    const uint8_t carry[4] = {0xff, 0xff, 0xff, 0xff};  // carries fold back in
    EXPECT_EQ(0x0000, CalcChecksum(carry, 4));
}

// ---- ARP rules over in-memory tables ----------------------------------------------------------

const uint8_t kIP[4] = {192, 0, 2, 10};
const uint8_t kMAC[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x0a};
const uint8_t kOtherMAC[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x0b};
const uint8_t kBroadcastMAC[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};

SKxArpRow Arp(uint32_t nIndex, const char* ip, const uint8_t* mac, uint32_t nType) {
    SKxArpRow r;
    r.nIndex = nIndex;
    StringToIP(ip, r.byIP);
    memcpy(r.byMAC, mac, 6);
    r.nMACLength = 6;
    r.nType = nType;
    return r;
}

class NetTablesTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_pPrevious = SetBackend(&m_mem);
        memset(&m_card, 0, sizeof m_card);
        m_card.nIndex = 7;
        StringToIP("192.0.2.1", m_card.byIP);
        StringToIP("255.255.255.0", m_card.byMask);
    }
    void TearDown() override { SetBackend(m_pPrevious); }

    std::vector<CKxMemoryNetBackend::EOp> Ops() const {
        std::vector<CKxMemoryNetBackend::EOp> v;
        for (const auto& c : m_mem.vecChanges) v.push_back(c.eOp);
        return v;
    }

    CKxMemoryNetBackend m_mem;
    IKxNetBackend* m_pPrevious = nullptr;
    SKxNetCardInfo m_card;
};

using Op = CKxMemoryNetBackend::EOp;

TEST_F(NetTablesTest, WantedEntryPresentWritesNothing) {
    m_mem.vecArp = {Arp(7, "192.0.2.10", kMAC, c_nKxArpStatic)};
    EXPECT_TRUE(BindArp(&m_card, kIP, kMAC));
    EXPECT_TRUE(m_mem.vecChanges.empty());
}

struct ArpRuleCase {
    const char* name;
    std::vector<SKxArpRow> rows;
    bool bStatic;
    std::vector<Op> ops;          // changes in order
    std::vector<size_t> deleted;  // which rows were deleted, by position
};

class ArpRuleTest : public NetTablesTest, public ::testing::WithParamInterface<ArpRuleCase> {};

TEST_P(ArpRuleTest, RowsDeletedAndTheWrite) {
    const ArpRuleCase& c = GetParam();
    m_mem.vecArp = c.rows;
    EXPECT_TRUE(SetArpInfo(&m_card, kIP, kMAC, c.bStatic)) << c.name;
    EXPECT_EQ(c.ops, Ops()) << c.name;
    size_t d = 0;
    for (const auto& ch : m_mem.vecChanges) {
        if (ch.eOp != Op::eArpDelete) continue;
        ASSERT_LT(d, c.deleted.size()) << c.name;
        EXPECT_EQ(0, memcmp(&ch.arp, &c.rows[c.deleted[d++]], sizeof(SKxArpRow))) << c.name;
    }
    EXPECT_EQ(c.deleted.size(), d) << c.name;
    // The last change writes the wanted entry.
    const SKxArpRow& w = m_mem.vecChanges.back().arp;
    EXPECT_EQ(7u, w.nIndex);
    EXPECT_EQ(0, memcmp(w.byIP, kIP, 4));
    EXPECT_EQ(0, memcmp(w.byMAC, kMAC, 6));
    EXPECT_EQ(6u, w.nMACLength);
    EXPECT_EQ(c.bStatic ? c_nKxArpStatic : c_nKxArpDynamic, w.nType);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ArpRuleTest,
    ::testing::Values(
        ArpRuleCase{"empty table: create", {}, true, {Op::eArpCreate}, {}},
        ArpRuleCase{"same entry, other MAC: update, nothing deleted",
                    {Arp(7, "192.0.2.10", kOtherMAC, c_nKxArpStatic)}, true, {Op::eArpUpdate}, {}},
        ArpRuleCase{"same address on another card: deleted, then create",
                    {Arp(8, "192.0.2.10", kMAC, c_nKxArpStatic)}, true, {Op::eArpDelete, Op::eArpCreate}, {0}},
        ArpRuleCase{"same address, other type, other MAC: deleted",
                    {Arp(7, "192.0.2.10", kOtherMAC, c_nKxArpDynamic)}, true, {Op::eArpDelete, Op::eArpCreate}, {0}},
        ArpRuleCase{"same address, other type, same MAC: deleted",
                    {Arp(7, "192.0.2.10", kMAC, c_nKxArpDynamic)}, true, {Op::eArpDelete, Op::eArpCreate}, {0}},
        ArpRuleCase{"same MAC at another address (the camera's old one): deleted",
                    {Arp(7, "192.0.2.99", kMAC, c_nKxArpDynamic)}, true, {Op::eArpDelete, Op::eArpCreate}, {0}},
        ArpRuleCase{"same MAC on another card and type: deleted",
                    {Arp(3, "198.51.100.4", kMAC, c_nKxArpStatic)}, false, {Op::eArpDelete, Op::eArpCreate}, {0}},
        ArpRuleCase{"other address, other MAC: kept", {Arp(7, "192.0.2.11", kOtherMAC, c_nKxArpStatic)}, true,
                    {Op::eArpCreate}, {}},
        ArpRuleCase{"dynamic wanted, same dynamic entry with another MAC: update",
                    {Arp(7, "192.0.2.10", kOtherMAC, c_nKxArpDynamic)}, false, {Op::eArpUpdate}, {}},
        ArpRuleCase{"update with the old rows of the camera cleared first",
                    {Arp(7, "192.0.2.10", kOtherMAC, c_nKxArpStatic), Arp(7, "192.0.2.50", kMAC, c_nKxArpDynamic),
                     Arp(9, "192.0.2.10", kOtherMAC, c_nKxArpDynamic)},
                    true, {Op::eArpDelete, Op::eArpDelete, Op::eArpUpdate}, {1, 2}}));

TEST_F(NetTablesTest, BroadcastMACRowsAreNeverDeleted) {
    m_mem.vecArp = {Arp(7, "192.0.2.255", kBroadcastMAC, c_nKxArpStatic),
                    Arp(8, "198.51.100.255", kBroadcastMAC, c_nKxArpStatic)};
    EXPECT_TRUE(BindArp(&m_card, kIP, kBroadcastMAC));
    EXPECT_EQ(std::vector<Op>{Op::eArpCreate}, Ops());
}

TEST_F(NetTablesTest, RefusedWritesAnswerFalseWithTheirLine) {
    {
        KxLogCapture capture;
        m_mem.nWriteArpResult = c_nKxNetAccessDenied;
        EXPECT_FALSE(BindArp(&m_card, kIP, kMAC));
        EXPECT_TRUE(capture.HasLine(c_nKxLogState, "ERROR ACCESS DENIED"));
        EXPECT_EQ(1u, capture.Count());
    }
    {
        KxLogCapture capture;
        m_mem.nWriteArpResult = -19;
        EXPECT_FALSE(BindArp(&m_card, kIP, kMAC));
        EXPECT_TRUE(capture.HasLine(c_nKxLogError, "Set Arp Info Failed -19"));
    }
    {
        KxLogCapture capture;
        m_mem.nWriteArpResult = 0;
        m_mem.nReadArpResult = 122;
        m_mem.vecChanges.clear();
        EXPECT_FALSE(BindArp(&m_card, kIP, kMAC));
        EXPECT_FALSE(DeleteArpInfo(&m_card, kIP, kMAC));
        EXPECT_TRUE(m_mem.vecChanges.empty());
    }
    EXPECT_FALSE(SetArpInfo(nullptr, kIP, kMAC, true));
    EXPECT_FALSE(SetArpInfo(&m_card, nullptr, kMAC, true));
    EXPECT_FALSE(SetArpInfo(&m_card, kIP, nullptr, true));
    EXPECT_FALSE(DeleteArpInfo(nullptr, kIP, kMAC));
    EXPECT_FALSE(SetRouteInfo(nullptr, kIP));
    EXPECT_FALSE(SetRouteInfo(&m_card, nullptr));
}

TEST_F(NetTablesTest, DeleteTakesOnlyTheExactRowAndReportsARefusal) {
    m_mem.vecArp = {Arp(7, "192.0.2.10", kMAC, c_nKxArpStatic), Arp(8, "192.0.2.10", kMAC, c_nKxArpStatic),
                    Arp(7, "192.0.2.10", kOtherMAC, c_nKxArpDynamic), Arp(7, "192.0.2.11", kMAC, c_nKxArpStatic)};
    auto kept = std::vector<SKxArpRow>(m_mem.vecArp.begin() + 1, m_mem.vecArp.end());
    EXPECT_TRUE(DeleteArpInfo(&m_card, kIP, kMAC));
    ASSERT_EQ(kept.size(), m_mem.vecArp.size());
    for (size_t i = 0; i < kept.size(); ++i) EXPECT_EQ(0, memcmp(&kept[i], &m_mem.vecArp[i], sizeof(SKxArpRow)));
    m_mem.vecArp.clear();
    EXPECT_TRUE(DeleteArpInfo(&m_card, kIP, kMAC));  // empty table: nothing to do

    // The host refuses: the entry is still there, so the answer is false.
    m_mem.vecArp = {Arp(7, "192.0.2.10", kMAC, c_nKxArpStatic)};
    m_mem.nWriteArpResult = c_nKxNetAccessDenied;
    KxLogCapture capture;
    EXPECT_FALSE(DeleteArpInfo(&m_card, kIP, kMAC));
    EXPECT_TRUE(capture.HasLine(c_nKxLogState, "ERROR ACCESS DENIED"));
}

// ---- route rules ------------------------------------------------------------------------------

SKxRouteRow Route(uint32_t nIf, const char* dest, const char* mask, const char* hop, uint32_t nMetric) {
    SKxRouteRow r;
    r.nIfIndex = nIf;
    StringToIP(dest, r.byDest);
    StringToIP(mask, r.byMask);
    StringToIP(hop, r.byNextHop);
    r.nMetric = nMetric;
    r.nProto = c_nKxRouteProtoNetMgmt;
    return r;
}

TEST_F(NetTablesTest, RouteKeptOthersForTheCameraDeletedMetricPlusOne) {
    SKxRouteRow mine = Route(7, "192.0.2.10", "255.255.255.255", "192.0.2.1", 26);
    SKxRouteRow otherCard = Route(8, "192.0.2.10", "255.255.255.255", "198.51.100.1", 5);
    SKxRouteRow otherHop = Route(7, "192.0.2.10", "255.255.255.255", "192.0.2.254", 5);
    SKxRouteRow invalid = Route(7, "192.0.2.10", "255.255.255.255", "192.0.2.1", 0xFFFFFFFFu);
    SKxRouteRow unrelated = Route(7, "192.0.2.11", "255.255.255.255", "192.0.2.1", 5);

    // Present: kept, the others for the camera deleted, nothing created.
    m_mem.vecRoutes = {otherCard, mine, unrelated, otherHop};
    EXPECT_TRUE(SetRouteInfo(&m_card, kIP));
    ASSERT_EQ((std::vector<Op>{Op::eRouteDelete, Op::eRouteDelete}), Ops());
    EXPECT_EQ(0, memcmp(&m_mem.vecChanges[0].route, &otherCard, sizeof otherCard));
    EXPECT_EQ(0, memcmp(&m_mem.vecChanges[1].route, &otherHop, sizeof otherHop));

    // Absent (a row with metric 0xFFFFFFFF does not count): created with the best card's metric + 1.
    m_mem.vecChanges.clear();
    m_mem.vecRoutes = {invalid, unrelated};
    m_mem.nBestIndex = 7;
    m_mem.nMetric = 25;
    EXPECT_TRUE(SetRouteInfo(&m_card, kIP));
    ASSERT_EQ((std::vector<Op>{Op::eRouteDelete, Op::eRouteCreate}), Ops());
    const SKxRouteRow& made = m_mem.vecChanges[1].route;
    EXPECT_EQ(7u, made.nIfIndex);
    EXPECT_EQ(0, memcmp(made.byDest, kIP, 4));
    const uint8_t ones[4] = {255, 255, 255, 255};
    EXPECT_EQ(0, memcmp(made.byMask, ones, 4));
    EXPECT_EQ(0, memcmp(made.byNextHop, m_card.byIP, 4));
    EXPECT_EQ(26u, made.nMetric);
    EXPECT_EQ(c_nKxRouteProtoNetMgmt, made.nProto);

    // Second call finds it.
    m_mem.vecChanges.clear();
    EXPECT_TRUE(SetRouteInfo(&m_card, kIP));
    EXPECT_TRUE(m_mem.vecChanges.empty());
}

TEST_F(NetTablesTest, RouteFailuresAnswerFalseWithTheirLines) {
    {
        KxLogCapture capture;
        m_mem.nBestResult = 1168;
        EXPECT_FALSE(SetRouteInfo(&m_card, kIP));
        EXPECT_TRUE(capture.HasLine(c_nKxLogError, "Get Route Info Failed 1168"));
    }
    {
        KxLogCapture capture;
        m_mem.nBestResult = 0;
        m_mem.nMetricResult = 87;
        EXPECT_FALSE(SetRouteInfo(&m_card, kIP));
        EXPECT_TRUE(capture.HasLine(c_nKxLogError, "Get Route Info Failed 87"));
    }
    {
        KxLogCapture capture;
        m_mem.nMetricResult = 0;
        m_mem.nWriteRouteResult = c_nKxNetAccessDenied;
        EXPECT_FALSE(SetRouteInfo(&m_card, kIP));
        EXPECT_TRUE(capture.HasLine(c_nKxLogState, "NetWork ACCESS DENIED"));
    }
    {
        KxLogCapture capture;
        m_mem.nWriteRouteResult = 160;
        EXPECT_FALSE(SetRouteInfo(&m_card, kIP));
        EXPECT_EQ(0u, capture.Count());  // other refusals are not logged
        m_mem.nReadRouteResult = 122;
        m_mem.vecChanges.clear();
        EXPECT_FALSE(SetRouteInfo(&m_card, kIP));
        EXPECT_TRUE(m_mem.vecChanges.empty());
    }
}

// ---- card list --------------------------------------------------------------------------------

SKxNetCardRow Card(const char* name, uint32_t nIndex, std::vector<std::pair<const char*, const char*>> addrs,
                   std::vector<const char*> gateways = {}, uint32_t nMACLength = 6) {
    SKxNetCardRow c;
    c.strName = name;
    c.strDescription = std::string("card ") + name;
    c.nIndex = nIndex;
    for (int i = 0; i < 6; ++i) c.byMAC[i] = static_cast<uint8_t>(nIndex * 16 + i);
    c.nMACLength = nMACLength;
    for (auto& a : addrs) {
        SKxNetCardAddress x{};
        StringToIP(a.first, x.byIP);
        StringToIP(a.second, x.byMask);
        c.vecAddresses.push_back(x);
    }
    for (const char* g : gateways) {
        std::array<uint8_t, 4> by;
        StringToIP(g, by.data());
        c.vecGateways.push_back(by);
    }
    c.nSpeedMbps = 1000;
    return c;
}

class NetCardsTest : public NetTablesTest {
protected:
    void TearDown() override {
        KxGlobalSetting::SetVirtualCards(nullptr);
        NetTablesTest::TearDown();
    }
    std::vector<std::string> Listed() {
        std::list<SKxNetCardInfo> lst;
        bool b = GetNetCardInfo(lst);
        EXPECT_EQ(b, !lst.empty());
        std::vector<std::string> v;
        char ip[16];
        for (const auto& c : lst) {
            IPToString(c.byIP, ip);
            v.push_back(std::string(c.szDescription) + "/" + ip);
        }
        return v;
    }
};

TEST_F(NetCardsTest, OneRecordPerAddressWithTheCardsIdentity) {
    m_mem.vecCards = {Card("eth0", 2, {{"192.0.2.1", "255.255.255.0"}, {"0.0.0.0", "0.0.0.0"},
                                       {"198.51.100.1", "255.255.255.0"}},
                           {"198.51.100.254", "192.0.2.254"})};
    std::list<SKxNetCardInfo> lst;
    EXPECT_TRUE(GetNetCardInfo(lst));
    ASSERT_EQ(2u, lst.size());
    const SKxNetCardInfo& a = lst.front();
    const SKxNetCardInfo& b = lst.back();
    char sz[18];
    EXPECT_EQ(2u, a.nIndex);
    EXPECT_EQ(2u, b.nIndex);
    EXPECT_STREQ("card eth0", a.szDescription);
    EXPECT_STREQ("card eth0", b.szDescription);
    EXPECT_EQ(0, memcmp(a.byMAC, b.byMAC, 6));
    MACToString(a.byMAC, sz);
    EXPECT_STREQ("20:21:22:23:24:25", sz);
    IPToString(a.byMask, sz);
    EXPECT_STREQ("255.255.255.0", sz);
    // Each address gets the gateway of its own subnet.
    IPToString(a.byGateway, sz);
    EXPECT_STREQ("192.0.2.254", sz);
    IPToString(b.byGateway, sz);
    EXPECT_STREQ("198.51.100.254", sz);
    EXPECT_EQ(1000u, a.nSpeed);
    // Appends to what the list held.
    EXPECT_TRUE(GetNetCardInfo(lst));
    EXPECT_EQ(4u, lst.size());
}

TEST_F(NetCardsTest, GatewaysOutsideEverySubnetPairInStep) {
    m_mem.vecCards = {Card("eth0", 2, {{"192.0.2.1", "255.255.255.0"}, {"198.51.100.1", "255.255.255.0"}},
                           {"203.0.113.1"})};
    std::list<SKxNetCardInfo> lst;
    ASSERT_TRUE(GetNetCardInfo(lst));
    ASSERT_EQ(2u, lst.size());
    char sz[16];
    IPToString(lst.front().byGateway, sz);
    EXPECT_STREQ("203.0.113.1", sz);
    IPToString(lst.back().byGateway, sz);
    EXPECT_STREQ("0.0.0.0", sz);
}

TEST_F(NetCardsTest, VirtualCardsOnlyWhenTheSettingNamesThem) {
    m_mem.vecCards = {Card("eth0", 2, {{"192.0.2.1", "255.255.255.0"}}),
                      Card("veth1", 5, {{"198.51.100.1", "255.255.255.0"}}),
                      Card("br0", 6, {{"203.0.113.1", "255.255.255.0"}}),
                      Card("lo", 1, {{"127.0.0.1", "255.0.0.0"}}),
                      Card("tun0", 7, {{"203.0.113.9", "255.255.255.255"}}, {}, 0)};
    m_mem.vecCards[3].bLoopback = true;
    m_mem.setVirtual = {"veth1", "br0", "lo", "tun0"};
    KxGlobalSetting::SetVirtualCards(nullptr);
    EXPECT_EQ((std::vector<std::string>{"card eth0/192.0.2.1"}), Listed());
    KxGlobalSetting::SetVirtualCards("br0");
    EXPECT_EQ((std::vector<std::string>{"card eth0/192.0.2.1", "card br0/203.0.113.1"}), Listed());
    KxGlobalSetting::SetVirtualCards(" veth1 ,br0");
    EXPECT_EQ((std::vector<std::string>{"card eth0/192.0.2.1", "card veth1/198.51.100.1", "card br0/203.0.113.1"}),
              Listed());
    // "*": every virtual card but loopback; a card without a 6-byte MAC never gives a record.
    KxGlobalSetting::SetVirtualCards("*");
    EXPECT_EQ((std::vector<std::string>{"card eth0/192.0.2.1", "card veth1/198.51.100.1", "card br0/203.0.113.1"}),
              Listed());
    KxGlobalSetting::SetVirtualCards("*,lo");
    EXPECT_EQ(4u, Listed().size());
    m_mem.vecCards.erase(m_mem.vecCards.begin());
    KxGlobalSetting::SetVirtualCards(nullptr);
    std::list<SKxNetCardInfo> lst;
    EXPECT_FALSE(GetNetCardInfo(lst));
}

TEST_F(NetCardsTest, VirtualQuestionGoesToTheBackend) {
    m_mem.setVirtual = {"veth1"};
    EXPECT_TRUE(IsVirtualNetCard("veth1"));
    EXPECT_FALSE(IsVirtualNetCard("eth0"));
    EXPECT_FALSE(IsVirtualNetCard(""));
    EXPECT_FALSE(IsVirtualNetCard(nullptr));
}

TEST_F(NetCardsTest, PingIsBoundedByItsTimeoutAndRefusesNull) {
    m_mem.setAlive = {0x0a0200c0u};  // 192.0.2.10 as it lies in memory
    EXPECT_TRUE(PingHost(kIP, 2));
    EXPECT_EQ(2000, m_mem.nLastEchoTimeoutMs);
    const uint8_t other[4] = {192, 0, 2, 11};
    EXPECT_FALSE(PingHost(other, -5));
    EXPECT_EQ(0, m_mem.nLastEchoTimeoutMs);
    EXPECT_FALSE(PingHost(other, 1 << 30));
    EXPECT_EQ(INT_MAX, m_mem.nLastEchoTimeoutMs);
    m_mem.nLastEchoTimeoutMs = -1;
    EXPECT_FALSE(PingHost(nullptr, 1));
    EXPECT_EQ(-1, m_mem.nLastEchoTimeoutMs);
}

}  // namespace
