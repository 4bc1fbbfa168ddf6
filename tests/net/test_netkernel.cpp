// Host network utilities against the kernel's own tables, inside lab namespaces only: the card
// list and its setting, static neighbours, host routes, the echo probe, and refusals without
// the rights. Card details that come from /sys are checked through kxnettool started inside
// the namespace (a thread that enters a namespace keeps the process's /sys).
#include <net/if.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kxkernel_testsupport.h"
#include "kxnetbackendlinux.h"
#include "kxnetworkutils.h"
#include "support/kxnetlab.h"

namespace {

using namespace KxNetworkUtils;

// The Linux backend with its writes counted.
class CCountingBackend : public CKxLinuxNetBackend {
public:
    int nWrites = 0;
    int CreateArpRow(const SKxArpRow& r) override { ++nWrites; return CKxLinuxNetBackend::CreateArpRow(r); }
    int UpdateArpRow(const SKxArpRow& r) override { ++nWrites; return CKxLinuxNetBackend::UpdateArpRow(r); }
    int DeleteArpRow(const SKxArpRow& r) override { ++nWrites; return CKxLinuxNetBackend::DeleteArpRow(r); }
    int CreateRoute(const SKxRouteRow& r) override { ++nWrites; return CKxLinuxNetBackend::CreateRoute(r); }
    int DeleteRoute(const SKxRouteRow& r) override { ++nWrites; return CKxLinuxNetBackend::DeleteRoute(r); }
};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> v;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        if (end > pos) v.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    return v;
}

const std::string kTool = KX_NETTOOL_PATH;

// host: kxa0 192.0.2.1/24 (+203.0.113.1/24, default route via 192.0.2.254) to peer 192.0.2.10,
// kxb0 198.51.100.1/24 to peer 198.51.100.10.
class NetKernelTest : public ::testing::Test {
protected:
    void SetUp() override {
        KX_REQUIRE_NETLAB();
        m_lab.reset(new kxtest::CNetLab);
        m_host = m_lab->AddNamespace("host");
        m_peer = m_lab->AddNamespace("peer");
        m_lab->Link(m_host, "kxa0", "192.0.2.1/24", m_peer, "kxp0", "192.0.2.10/24", "02:00:00:00:0a:01");
        m_lab->Link(m_host, "kxb0", "198.51.100.1/24", m_peer, "kxp1", "198.51.100.10/24", "02:00:00:00:0b:01");
        ASSERT_EQ(0, m_lab->Exec(m_host, "ip addr add 203.0.113.1/24 dev kxa0"));
        ASSERT_EQ(0, m_lab->Exec(m_host, "ip route add default via 192.0.2.254 dev kxa0"));
        m_pPrevious = SetBackend(&m_counting);
    }
    void TearDown() override {
        if (m_lab) SetBackend(m_pPrevious);
        m_lab.reset();
    }

    // A card record as the list would give it, made inside the host namespace.
    SKxNetCardInfo HostCard(const char* name, const char* ip) {
        kxtest::CInNetns in(m_host);
        SKxNetCardInfo card;
        memset(&card, 0, sizeof card);
        card.nIndex = if_nametoindex(name);
        StringToIP(ip, card.byIP);
        StringToIP("255.255.255.0", card.byMask);
        return card;
    }
    std::string HostShell(const std::string& line) {
        std::string out;
        m_lab->Exec(m_host, line, &out);
        return out;
    }

    std::unique_ptr<kxtest::CNetLab> m_lab;
    std::string m_host, m_peer;
    CCountingBackend m_counting;
    IKxNetBackend* m_pPrevious = nullptr;
};

TEST_F(NetKernelTest, VethCardsListedOnlyWhenTheSettingNamesThem) {
    std::string out;
    // veth cards have no bus behind them: not listed, and nothing else is there.
    EXPECT_EQ(1, m_lab->Exec(m_host, "env -u KXEYE_VIRTUAL_CARDS " + kTool + " cards", &out)) << out;
    EXPECT_EQ("", out);

    ASSERT_EQ(0, m_lab->Exec(m_host, "env KXEYE_VIRTUAL_CARDS=kxa0,kxb0 " + kTool + " cards", &out)) << out;
    std::string index = HostShell("cat /sys/class/net/kxa0/ifindex");
    index = index.substr(0, index.find('\n'));
    std::vector<std::string> got = Lines(out);
    // Two addresses on kxa0 give two records with one index, MAC and description; the default
    // gateway belongs to the address of its subnet. veth links report 10000 Mbit/s.
    ASSERT_EQ(3u, got.size()) << out;
    EXPECT_EQ(index + "|kxa0|192.0.2.1|255.255.255.0|192.0.2.254|02:00:00:00:0a:01|10000", got[0]);
    EXPECT_EQ(index + "|kxa0|203.0.113.1|255.255.255.0|0.0.0.0|02:00:00:00:0a:01|10000", got[1]);
    EXPECT_NE(got[2].find("|kxb0|198.51.100.1|255.255.255.0|0.0.0.0|02:00:00:00:0b:01|10000"), std::string::npos)
        << got[2];

    ASSERT_EQ(0, m_lab->Exec(m_host, "env KXEYE_VIRTUAL_CARDS=kxb0 " + kTool + " cards", &out)) << out;
    ASSERT_EQ(1u, Lines(out).size()) << out;
    EXPECT_NE(out.find("|kxb0|"), std::string::npos);

    // "*" lists every virtual card but loopback.
    ASSERT_EQ(0, m_lab->Exec(m_host, "env KXEYE_VIRTUAL_CARDS='*' " + kTool + " cards", &out)) << out;
    EXPECT_EQ(3u, Lines(out).size()) << out;
    EXPECT_EQ(out.find("127.0.0.1"), std::string::npos);
}

TEST_F(NetKernelTest, BindArpLeavesAPermanentNeighbourWrittenOnceAndDeleteRemovesIt) {
    SKxNetCardInfo card = HostCard("kxa0", "192.0.2.1");
    uint8_t ip[4], mac[6];
    StringToIP("192.0.2.20", ip);
    StringToMAC("02:00:00:00:00:20", mac);
    {
        kxtest::CInNetns in(m_host);
        EXPECT_TRUE(BindArp(&card, ip, mac));
    }
    EXPECT_EQ(1, m_counting.nWrites);
    std::string neigh = HostShell("ip neigh show 192.0.2.20");
    EXPECT_NE(neigh.find("192.0.2.20 dev kxa0 lladdr 02:00:00:00:00:20 PERMANENT"), std::string::npos) << neigh;

    // The same entry again: no write.
    {
        kxtest::CInNetns in(m_host);
        EXPECT_TRUE(SetArpInfo(&card, ip, mac, true));
    }
    EXPECT_EQ(1, m_counting.nWrites);

    // The camera moves to another card: the old entry goes, the new one is written.
    SKxNetCardInfo other = HostCard("kxb0", "198.51.100.1");
    {
        kxtest::CInNetns in(m_host);
        EXPECT_TRUE(BindArp(&other, ip, mac));
    }
    neigh = HostShell("ip neigh show 192.0.2.20");
    EXPECT_EQ(1u, Lines(neigh).size()) << neigh;
    EXPECT_NE(neigh.find("dev kxb0 lladdr 02:00:00:00:00:20 PERMANENT"), std::string::npos) << neigh;

    {
        kxtest::CInNetns in(m_host);
        EXPECT_TRUE(DeleteArpInfo(&other, ip, mac));
    }
    EXPECT_EQ("", HostShell("ip neigh show 192.0.2.20"));
}

TEST_F(NetKernelTest, LearntAndUnresolvedEntriesGiveWayToTheStaticOne) {
    // A learnt (dynamic) entry with the old MAC, and an entry that never resolved (no MAC).
    ASSERT_EQ(0, m_lab->Exec(m_host, "ip neigh add 192.0.2.50 lladdr 02:00:00:00:00:49 dev kxa0 nud stale"));
    ASSERT_EQ(0, m_lab->Exec(m_host, "ip neigh add 192.0.2.51 dev kxa0 nud failed"));
    SKxNetCardInfo card = HostCard("kxa0", "192.0.2.1");
    uint8_t ip50[4], ip51[4], mac[6];
    StringToIP("192.0.2.50", ip50);
    StringToIP("192.0.2.51", ip51);
    StringToMAC("02:00:00:00:00:50", mac);
    {
        kxtest::CInNetns in(m_host);
        EXPECT_TRUE(BindArp(&card, ip50, mac));
    }
    std::string neigh = HostShell("ip neigh show 192.0.2.50");
    EXPECT_EQ(1u, Lines(neigh).size()) << neigh;
    EXPECT_NE(neigh.find("lladdr 02:00:00:00:00:50 PERMANENT"), std::string::npos) << neigh;
    // The camera moves to .51: its entry at .50 (same MAC) goes, the unresolved one is replaced.
    {
        kxtest::CInNetns in(m_host);
        EXPECT_TRUE(BindArp(&card, ip51, mac));
    }
    EXPECT_EQ("", HostShell("ip neigh show 192.0.2.50"));
    neigh = HostShell("ip neigh show 192.0.2.51");
    EXPECT_NE(neigh.find("192.0.2.51 dev kxa0 lladdr 02:00:00:00:00:50 PERMANENT"), std::string::npos) << neigh;
}

TEST_F(NetKernelTest, CardThatNoLongerExistsIsRefusedWithTheLine) {
    SKxNetCardInfo card = HostCard("kxa0", "192.0.2.1");
    card.nIndex = 999999;
    uint8_t ip[4], mac[6];
    StringToIP("192.0.2.21", ip);
    StringToMAC("02:00:00:00:00:21", mac);
    KxLogCapture capture;
    {
        kxtest::CInNetns in(m_host);
        EXPECT_FALSE(BindArp(&card, ip, mac));
        EXPECT_FALSE(SetRouteInfo(&card, ip));
    }
    EXPECT_TRUE(capture.Contains(c_nKxLogError, "Set Arp Info Failed "));
    EXPECT_EQ("", HostShell("ip neigh show 192.0.2.21"));
    EXPECT_EQ("", HostShell("ip route show 192.0.2.21"));
}

TEST_F(NetKernelTest, SetRouteInfoLeavesOneHostRouteThroughTheCardAndIsIdempotent) {
    ASSERT_EQ(0, m_lab->Exec(m_host, "ip route add 192.0.2.30/32 dev kxb0 metric 5"));
    SKxNetCardInfo card = HostCard("kxa0", "192.0.2.1");
    uint8_t ip[4];
    StringToIP("192.0.2.30", ip);
    {
        kxtest::CInNetns in(m_host);
        EXPECT_TRUE(SetRouteInfo(&card, ip));
    }
    EXPECT_EQ(2, m_counting.nWrites);  // the route through kxb0 deleted, ours created
    std::string routes = HostShell("ip route show 192.0.2.30");
    ASSERT_EQ(1u, Lines(routes).size()) << routes;
    // Metric: the card's connected route has 0, so 1.
    EXPECT_NE(routes.find("192.0.2.30 dev kxa0 proto static scope link src 192.0.2.1 metric 1"), std::string::npos)
        << routes;
    {
        kxtest::CInNetns in(m_host);
        EXPECT_TRUE(SetRouteInfo(&card, ip));
    }
    EXPECT_EQ(2, m_counting.nWrites);
    EXPECT_EQ(routes, HostShell("ip route show 192.0.2.30"));
    // And the host reaches the peer's address over it.
    std::string get = HostShell("ip route get 192.0.2.30");
    EXPECT_NE(get.find("dev kxa0 src 192.0.2.1"), std::string::npos) << get;
}

TEST_F(NetKernelTest, PingAnswersForThePeerAndTimesOutForAnUnusedAddress) {
    uint8_t peer[4], unused[4], peerOtherNet[4];
    StringToIP("192.0.2.10", peer);
    StringToIP("192.0.2.99", unused);
    StringToIP("198.51.100.10", peerOtherNet);
    kxtest::CInNetns in(m_host);
    EXPECT_TRUE(PingHost(peer, 2));
    EXPECT_TRUE(PingHost(peerOtherNet, 2));
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(PingHost(unused, 1));
    double sec = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(sec, 0.9);
    EXPECT_LT(sec, 2.0);  // bounded by its timeout
}

TEST_F(NetKernelTest, RepliesToAnotherProbeAreNoAnswer) {
    // A raw ICMP socket sees every reply that reaches the namespace: while one probe waits for
    // an address that never answers, another probe's replies from the peer arrive at it too.
    uint8_t peer[4], unused[4];
    StringToIP("192.0.2.10", peer);
    StringToIP("192.0.2.99", unused);
    std::atomic<bool> bStarted{false};
    bool bUnused = true;
    std::thread waiter([&] {
        kxtest::CInNetns in(m_host);
        bStarted = true;
        bUnused = PingHost(unused, 2);
    });
    while (!bStarted) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    int nAnswered = 0;
    {
        kxtest::CInNetns in(m_host);
        for (int i = 0; i < 4; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            nAnswered += PingHost(peer, 1) ? 1 : 0;
        }
    }
    waiter.join();
    EXPECT_EQ(4, nAnswered);
    EXPECT_FALSE(bUnused);
}

TEST_F(NetKernelTest, PingWithoutRawSocketUsesTheDatagramSocketOrSaysWhyNot) {
    const std::string noRaw = "setpriv --inh-caps=-all --bounding-set=-net_raw " + kTool;
    std::string out;
    // Where ping_group_range leaves us out (the default "1 0"), there is no socket at all.
    ASSERT_EQ(0, m_lab->Exec(m_host, "env KXEYE_LOG_LEVEL=4 " + noRaw + " ping 192.0.2.10 1", &out)) << out;
    EXPECT_NE(out.find("result=0"), std::string::npos) << out;
    EXPECT_NE(out.find("[kx E] KxNetworkUtils::PingHost No ICMP Socket (datagram: "), std::string::npos) << out;

    ASSERT_EQ(0, m_lab->Exec(m_host, "sysctl -qw net.ipv4.ping_group_range='0 2147483647'"));
    ASSERT_EQ(0, m_lab->Exec(m_host, noRaw + " ping 192.0.2.10 2", &out)) << out;
    EXPECT_NE(out.find("result=1"), std::string::npos) << out;
    ASSERT_EQ(0, m_lab->Exec(m_host, noRaw + " ping 192.0.2.99 1", &out)) << out;
    EXPECT_NE(out.find("result=0"), std::string::npos) << out;
}

TEST_F(NetKernelTest, BindArpWithoutNetAdminAnswersFalseWithTheAccessDeniedLine) {
    std::string out;
    ASSERT_EQ(0, m_lab->Exec(m_host,
                             "env KXEYE_LOG_LEVEL=4 setpriv --inh-caps=-all --bounding-set=-net_admin " + kTool +
                                 " bindarp kxa0 192.0.2.40 02:00:00:00:00:40",
                             &out))
        << out;
    EXPECT_NE(out.find("result=0"), std::string::npos) << out;
    EXPECT_NE(out.find("[kx S] ERROR ACCESS DENIED"), std::string::npos) << out;
    EXPECT_EQ("", HostShell("ip neigh show 192.0.2.40"));
    // The same with the right: done.
    ASSERT_EQ(0, m_lab->Exec(m_host, kTool + " bindarp kxa0 192.0.2.40 02:00:00:00:00:40", &out)) << out;
    EXPECT_NE(out.find("result=1"), std::string::npos) << out;
    EXPECT_NE(HostShell("ip neigh show 192.0.2.40").find("PERMANENT"), std::string::npos);
}

}  // namespace
