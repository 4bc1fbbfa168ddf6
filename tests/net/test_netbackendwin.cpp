// The Windows backend on the host it runs on: the card list, the ARP and route tables read
// through the IP Helper and checked against the IP Helper's other views, the registry rule for
// virtual cards over keys of our own, and writes only where nothing leaves the host. Features
// the host lacks (Wine: no network class key, CreateIpNetEntry that writes nothing,
// GetIpInterfaceEntry that aborts, no raw sockets without rights) are probed at run time and
// the test is skipped with the reason.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>

#include <cstdio>
#include <cstring>
#include <list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kxkernel_testsupport.h"
#include "kxnetbackendwin.h"
#include "kxnetworkutils.h"

namespace {

// ---- registry rule ------------------------------------------------------------------------------

struct SPnPCase {
    const char* pszId;
    bool bVirtual;
};

class PnPRuleTest : public ::testing::TestWithParam<SPnPCase> {};

TEST_P(PnPRuleTest, VirtualUnlessPciOrUsb) {
    EXPECT_EQ(GetParam().bVirtual, CKxWinNetBackend::IsVirtualPnPInstanceId(GetParam().pszId)) << GetParam().pszId;
}

INSTANTIATE_TEST_SUITE_P(Ids, PnPRuleTest,
                         ::testing::Values(SPnPCase{"PCI\\VEN_8086&DEV_15B8&SUBSYS_86721043\\3&11583659&0&FE", false},
                                           SPnPCase{"USB\\VID_0BDA&PID_8153\\000001", false},
                                           SPnPCase{"ROOT\\NET\\0000", true},
                                           SPnPCase{"SWD\\MSRRAS\\MS_NDISWANIP", true},
                                           SPnPCase{"pci\\ven_8086", true},  // the system writes the bus in capitals
                                           SPnPCase{"", true}));

// Network class keys of our own below HKEY_CURRENT_USER, removed afterwards.
class RegistryRuleTest : public ::testing::Test {
protected:
    void SetUp() override {
        char sz[128];
        snprintf(sz, sizeof sz, "Software\\KxLaserEyeTests\\%lu\\Network", GetCurrentProcessId());
        m_strKey = sz;
    }
    void TearDown() override {
        std::string strRoot = m_strKey.substr(0, m_strKey.rfind('\\'));
        RegDeleteTreeA(HKEY_CURRENT_USER, strRoot.c_str());
    }
    void Card(const char* pszName, const char* pszId) {
        std::string strPath = m_strKey + "\\" + pszName + "\\Connection";
        HKEY h = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, strPath.c_str(), 0, nullptr, 0, KEY_WRITE,
                                                 nullptr, &h, nullptr));
        if (pszId != nullptr)
            RegSetValueExA(h, "PnPInstanceId", 0, REG_SZ, reinterpret_cast<const BYTE*>(pszId),
                           static_cast<DWORD>(strlen(pszId) + 1));
        RegCloseKey(h);
    }
    std::string m_strKey;
};

TEST_F(RegistryRuleTest, IdentityFromTheConnectionKey) {
    const char* c_pszPci = "{6E3FA1C0-0000-4000-8000-000000000001}";
    const char* c_pszUsb = "{6E3FA1C0-0000-4000-8000-000000000002}";
    const char* c_pszSoft = "{6E3FA1C0-0000-4000-8000-000000000003}";
    const char* c_pszNoValue = "{6E3FA1C0-0000-4000-8000-000000000004}";
    Card(c_pszPci, "PCI\\VEN_8086&DEV_15B8\\3&11583659&0&FE");
    Card(c_pszUsb, "USB\\VID_0BDA&PID_8153\\000001");
    Card(c_pszSoft, "ROOT\\NET\\0000");
    Card(c_pszNoValue, nullptr);
    CKxWinNetBackend backend(m_strKey, false);

    std::string strId;
    ASSERT_TRUE(backend.ReadPnPInstanceId(c_pszUsb, strId));
    EXPECT_EQ("USB\\VID_0BDA&PID_8153\\000001", strId);
    EXPECT_FALSE(backend.IsVirtualCard(c_pszPci));
    EXPECT_FALSE(backend.IsVirtualCard(c_pszUsb));
    EXPECT_TRUE(backend.IsVirtualCard(c_pszSoft));
    EXPECT_FALSE(backend.IsVirtualCard(c_pszNoValue));  // nothing known: listed
    EXPECT_FALSE(backend.IsVirtualCard("{6E3FA1C0-0000-4000-8000-00000000FFFF}"));
    EXPECT_FALSE(backend.IsVirtualCard(""));
    EXPECT_FALSE(backend.IsVirtualCard(nullptr));
    EXPECT_FALSE(backend.IsVirtualCard(std::string(300, 'x').c_str()));  // does not fit the key path
    // Without the class key at all, every answer is false.
    CKxWinNetBackend none(m_strKey + "\\Missing", false);
    EXPECT_FALSE(none.IsVirtualCard(c_pszSoft));
}

TEST(NetWinRegistry, SystemKeyGivesTheRuleForEveryCard) {
    HKEY h = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, CKxWinNetBackend::c_pszNetworkKey, 0, KEY_READ, &h) != ERROR_SUCCESS)
        GTEST_SKIP() << "this registry has no network class key (Wine keeps none)";
    RegCloseKey(h);
    CKxWinNetBackend backend;
    std::vector<SKxNetCardRow> vecCards;
    ASSERT_TRUE(backend.ListCards(vecCards));
    for (const SKxNetCardRow& card : vecCards) {
        std::string strId;
        bool bKnown = backend.ReadPnPInstanceId(card.strName.c_str(), strId);
        EXPECT_EQ(bKnown && CKxWinNetBackend::IsVirtualPnPInstanceId(strId.c_str()),
                  backend.IsVirtualCard(card.strName.c_str()))
            << card.strName;
    }
}

// ---- cards --------------------------------------------------------------------------------------

std::string Text(const uint8_t* pbyIP) {
    char sz[16];
    KxNetworkUtils::IPToString(pbyIP, sz);
    return sz;
}

// The adapters as GetAdaptersAddresses sees them (another view than GetAdaptersInfo).
struct SAdapterView {
    uint32_t nIndex;
    std::vector<uint8_t> vecMAC;
    std::vector<std::string> vecAddresses;
};

std::vector<SAdapterView> AdapterAddresses() {
    std::vector<SAdapterView> vec;
    ULONG nSize = 16 * 1024;
    std::vector<uint8_t> buf;
    ULONG r = ERROR_BUFFER_OVERFLOW;
    for (int i = 0; i < 4 && r == ERROR_BUFFER_OVERFLOW; ++i) {
        buf.assign(nSize, 0);
        r = GetAdaptersAddresses(AF_INET, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER,
                                 nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buf.data()), &nSize);
    }
    if (r != NO_ERROR) return vec;
    for (auto* p = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buf.data()); p != nullptr; p = p->Next) {
        SAdapterView v;
        v.nIndex = p->IfIndex;
        v.vecMAC.assign(p->PhysicalAddress, p->PhysicalAddress + p->PhysicalAddressLength);
        for (auto* u = p->FirstUnicastAddress; u != nullptr; u = u->Next) {
            const sockaddr_in* sa = reinterpret_cast<const sockaddr_in*>(u->Address.lpSockaddr);
            v.vecAddresses.push_back(Text(reinterpret_cast<const uint8_t*>(&sa->sin_addr)));
        }
        vec.push_back(v);
    }
    return vec;
}

TEST(NetWinCards, CardsAgreeWithTheAdapterAddressesView) {
    CKxWinNetBackend backend;
    std::vector<SKxNetCardRow> vecCards;
    ASSERT_TRUE(backend.ListCards(vecCards));
    std::vector<SAdapterView> vecView = AdapterAddresses();
    for (const SKxNetCardRow& card : vecCards) {
        SCOPED_TRACE(card.strName + " " + card.strDescription);
        EXPECT_FALSE(card.strName.empty());
        const SAdapterView* pView = nullptr;
        for (const SAdapterView& v : vecView)
            if (v.nIndex == card.nIndex) pView = &v;
        ASSERT_NE(nullptr, pView) << "index " << card.nIndex;
        ASSERT_EQ(pView->vecMAC.size(), card.nMACLength);
        EXPECT_EQ(0, memcmp(pView->vecMAC.data(), card.byMAC, card.nMACLength));
        for (const SKxNetCardAddress& a : card.vecAddresses) {
            if (Text(a.byIP) == "0.0.0.0") continue;  // a card without an address says so; no record
            bool bSeen = false;
            for (const std::string& s : pView->vecAddresses) bSeen = bSeen || s == Text(a.byIP);
            EXPECT_TRUE(bSeen) << Text(a.byIP);
        }
        MIB_IFROW row;
        memset(&row, 0, sizeof row);
        row.dwIndex = card.nIndex;
        if (GetIfEntry(&row) == NO_ERROR) {
            EXPECT_EQ(row.dwSpeed / 1000000u, card.nSpeedMbps);
        }
    }
}

TEST(NetWinCards, OneRecordPerAddressOfEveryPhysicalCard) {
    KxNetworkUtils::SetBackend(nullptr);
    CKxWinNetBackend backend;
    std::vector<SKxNetCardRow> vecCards;
    ASSERT_TRUE(backend.ListCards(vecCards));
    std::list<SKxNetCardInfo> lst;
    bool bAny = KxNetworkUtils::GetNetCardInfo(lst);
    EXPECT_EQ(bAny, !lst.empty());
    size_t nWant = 0;
    for (const SKxNetCardRow& card : vecCards) {
        if (card.bLoopback || backend.IsVirtualCard(card.strName.c_str()) || card.nMACLength != 6) continue;
        for (const SKxNetCardAddress& a : card.vecAddresses) {
            static const uint8_t c_byZero[4] = {0, 0, 0, 0};
            if (memcmp(a.byIP, c_byZero, 4) == 0) continue;
            ++nWant;
            bool bFound = false;
            for (const SKxNetCardInfo& info : lst)
                if (info.nIndex == card.nIndex && memcmp(info.byIP, a.byIP, 4) == 0) {
                    bFound = true;
                    EXPECT_EQ(0, memcmp(info.byMask, a.byMask, 4));
                    EXPECT_EQ(0, memcmp(info.byMAC, card.byMAC, 6));
                    EXPECT_EQ(card.strDescription.substr(0, sizeof info.szDescription - 1), info.szDescription);
                }
            EXPECT_TRUE(bFound) << card.strName << " " << Text(a.byIP);
        }
    }
    EXPECT_EQ(nWant, lst.size());
}

// ---- tables -------------------------------------------------------------------------------------

TEST(NetWinTables, ArpRowsAsTheIpHelperHasThem) {
    CKxWinNetBackend backend;
    std::vector<SKxArpRow> vecRows;
    ASSERT_EQ(c_nKxNetOk, backend.ReadArpTable(vecRows));
    // The same table in one large read of our own.
    std::vector<uint8_t> buf(256 * 1024);
    ULONG nSize = static_cast<ULONG>(buf.size());
    DWORD r = GetIpNetTable(reinterpret_cast<MIB_IPNETTABLE*>(buf.data()), &nSize, FALSE);
    if (r == ERROR_NO_DATA) {
        EXPECT_TRUE(vecRows.empty());
        return;
    }
    ASSERT_EQ(static_cast<DWORD>(NO_ERROR), r);
    const MIB_IPNETTABLE* pTable = reinterpret_cast<const MIB_IPNETTABLE*>(buf.data());
    ASSERT_EQ(pTable->dwNumEntries, vecRows.size());
    for (DWORD i = 0; i < pTable->dwNumEntries; ++i) {
        const MIB_IPNETROW& row = pTable->table[i];
        in_addr a;
        a.s_addr = row.dwAddr;
        char sz[16];
        inet_ntop(AF_INET, &a, sz, sizeof sz);
        EXPECT_EQ(std::string(sz), Text(vecRows[i].byIP));  // first octet first
        EXPECT_EQ(row.dwIndex, vecRows[i].nIndex);
        EXPECT_EQ(row.dwType, vecRows[i].nType);
        EXPECT_EQ(row.dwPhysAddrLen, vecRows[i].nMACLength);
    }
}

TEST(NetWinTables, RouteRowsAndAnExistingRouteIsKeptWithoutWrites) {
    CKxWinNetBackend backend;
    std::vector<SKxRouteRow> vecRows;
    ASSERT_EQ(c_nKxNetOk, backend.ReadRouteTable(vecRows));
    ASSERT_FALSE(vecRows.empty()) << "a host without routes";
    // A destination with exactly one usable route: SetRouteInfo finds it and changes nothing
    // (with a second route to it, that one would be deleted: not on this host).
    for (const SKxRouteRow& row : vecRows) {
        if (row.nMetric == 0xFFFFFFFFu) continue;
        int nSame = 0;
        for (const SKxRouteRow& other : vecRows) nSame += memcmp(other.byDest, row.byDest, 4) == 0;
        if (nSame != 1) continue;
        SKxNetCardInfo card;
        memset(&card, 0, sizeof card);
        card.nIndex = row.nIfIndex;
        memcpy(card.byIP, row.byNextHop, 4);
        KxNetworkUtils::SetBackend(nullptr);
        EXPECT_TRUE(KxNetworkUtils::SetRouteInfo(&card, row.byDest)) << Text(row.byDest);
        std::vector<SKxRouteRow> vecAfter;
        ASSERT_EQ(c_nKxNetOk, backend.ReadRouteTable(vecAfter));
        EXPECT_EQ(vecRows.size(), vecAfter.size());
        return;
    }
    GTEST_SKIP() << "no destination with a single route in this table";
}

TEST(NetWinRoute, BestInterfaceForAnAddressOnACardsSubnet) {
    CKxWinNetBackend backend;
    std::vector<SKxNetCardRow> vecCards;
    ASSERT_TRUE(backend.ListCards(vecCards));
    int nChecked = 0;
    for (const SKxNetCardRow& card : vecCards) {
        for (const SKxNetCardAddress& a : card.vecAddresses) {
            // Subnets with room for a second host only.
            if (Text(a.byIP) == "0.0.0.0" || a.byMask[3] >= 254) continue;
            // The subnet's first or second host address, not the card's own (a lookup only:
            // nothing is sent).
            uint8_t byPeer[4];
            for (int i = 0; i < 4; ++i) byPeer[i] = static_cast<uint8_t>(a.byIP[i] & a.byMask[i]);
            byPeer[3] = static_cast<uint8_t>(byPeer[3] | 1);
            if (memcmp(byPeer, a.byIP, 4) == 0) byPeer[3] = static_cast<uint8_t>((byPeer[3] & ~1) | 2);
            uint32_t nIndex = 0;
            ASSERT_EQ(c_nKxNetOk, backend.GetBestInterface(byPeer, &nIndex)) << Text(byPeer);
            bool bSameSubnet = false;  // several cards on one subnet: any of them may be chosen
            for (const SKxNetCardRow& other : vecCards)
                for (const SKxNetCardAddress& o : other.vecAddresses)
                    if (other.nIndex == nIndex && memcmp(o.byMask, a.byMask, 4) == 0) {
                        bool bSame = true;
                        for (int i = 0; i < 4; ++i) bSame = bSame && (o.byIP[i] & o.byMask[i]) == (a.byIP[i] & a.byMask[i]);
                        bSameSubnet = bSameSubnet || bSame;
                    }
            EXPECT_TRUE(bSameSubnet) << Text(byPeer) << " went to interface " << nIndex;
            ++nChecked;
        }
    }
    if (nChecked == 0) GTEST_SKIP() << "no card with an address";
}

// ---- writes that stay on the host ---------------------------------------------------------------

TEST(NetWinArp, StaticEntryWrittenFoundAndDeleted) {
    CKxWinNetBackend backend;
    std::vector<SKxNetCardRow> vecCards;
    ASSERT_TRUE(backend.ListCards(vecCards));
    if (vecCards.empty()) GTEST_SKIP() << "no card to write an ARP entry on";
    // 203.0.113.0/24 is for documentation: an entry for it sends nothing and reaches nobody.
    SKxArpRow row;
    row.nIndex = vecCards[0].nIndex;
    const uint8_t byIP[4] = {203, 0, 113, 77};
    const uint8_t byMAC[6] = {0x02, 0x00, 0x5e, 0x10, 0x20, 0x30};
    memcpy(row.byIP, byIP, 4);
    memcpy(row.byMAC, byMAC, 6);
    row.nMACLength = 6;
    row.nType = c_nKxArpStatic;
    int nResult = backend.CreateArpRow(row);
    if (nResult == c_nKxNetAccessDenied) GTEST_SKIP() << "ARP writes need administrator rights";
    ASSERT_EQ(c_nKxNetOk, nResult);
    auto present = [&] {
        std::vector<SKxArpRow> vec;
        backend.ReadArpTable(vec);
        for (const SKxArpRow& r : vec)
            if (r.nIndex == row.nIndex && memcmp(r.byIP, byIP, 4) == 0 && memcmp(r.byMAC, byMAC, 6) == 0) return true;
        return false;
    };
    if (!present()) GTEST_SKIP() << "CreateIpNetEntry answered success but wrote nothing (a stub, as in Wine)";
    SKxNetCardInfo card;
    memset(&card, 0, sizeof card);
    card.nIndex = row.nIndex;
    KxNetworkUtils::SetBackend(nullptr);
    EXPECT_TRUE(KxNetworkUtils::SetArpInfo(&card, byIP, byMAC, true));  // already there: no write
    EXPECT_TRUE(KxNetworkUtils::DeleteArpInfo(&card, byIP, byMAC));
    EXPECT_FALSE(present());
}

// GetIpInterfaceEntry alone, in a child process: where it aborts (Wine), only the child dies.
TEST(NetWinProbe, DISABLED_InterfaceMetric) {
    CKxWinNetBackend backend;
    uint32_t nMetric = 0;
    const uint8_t byLoopback[4] = {127, 0, 0, 1};
    uint32_t nIndex = 0;
    ASSERT_EQ(c_nKxNetOk, backend.GetBestInterface(byLoopback, &nIndex));
    ASSERT_EQ(c_nKxNetOk, backend.GetInterfaceMetric(nIndex, &nMetric));
}

bool ChildPasses(const char* pszFilter) {
    char szExe[MAX_PATH];
    if (GetModuleFileNameA(nullptr, szExe, sizeof szExe) == 0) return false;
    std::string strCmd = std::string("\"") + szExe + "\" --gtest_also_run_disabled_tests --gtest_filter=" + pszFilter;
    STARTUPINFOA si;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    std::vector<char> vecCmd(strCmd.begin(), strCmd.end());
    vecCmd.push_back('\0');
    if (!CreateProcessA(nullptr, vecCmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return false;
    DWORD nExit = 1;
    if (WaitForSingleObject(pi.hProcess, 60000) == WAIT_OBJECT_0) GetExitCodeProcess(pi.hProcess, &nExit);
    else TerminateProcess(pi.hProcess, 1);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return nExit == 0;
}

TEST(NetWinRoute, InterfaceMetricOfTheBestInterface) {
    if (!ChildPasses("NetWinProbe.DISABLED_InterfaceMetric"))
        GTEST_SKIP() << "GetIpInterfaceEntry does not work on this host (Wine aborts in it)";
    CKxWinNetBackend backend;
    const uint8_t byLoopback[4] = {127, 0, 0, 1};
    uint32_t nIndex = 0, nMetric = 0xFFFFFFFFu;
    ASSERT_EQ(c_nKxNetOk, backend.GetBestInterface(byLoopback, &nIndex));
    EXPECT_EQ(c_nKxNetOk, backend.GetInterfaceMetric(nIndex, &nMetric));
    EXPECT_NE(0xFFFFFFFFu, nMetric);
}

TEST(NetWinPing, LoopbackAnswers) {
    {
        WSADATA data;
        ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &data));
        SOCKET s = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
        bool bRaw = s != INVALID_SOCKET;
        if (bRaw) closesocket(s);
        WSACleanup();
        if (!bRaw) GTEST_SKIP() << "raw ICMP sockets need administrator rights here";
    }
    // Loopback only: nothing may leave this host.
    const uint8_t byLoopback[4] = {127, 0, 0, 1};
    KxNetworkUtils::SetBackend(nullptr);
    EXPECT_TRUE(KxNetworkUtils::PingHost(byLoopback, 2));
}

}  // namespace
