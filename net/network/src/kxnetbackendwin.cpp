// Windows backend of the host network utilities (see kxnetbackendwin.h and docs/windows.md).
#include "kxnetbackendwin.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
#include <netioapi.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "kxkernel.h"
#include "kxnetworkutils.h"

namespace {

// The table may grow between the size call and the fetch: a few more rounds before giving up.
const int c_nReadRounds = 4;

// Two-call read of an IP Helper table: size first, then the fetch into a buffer owned by the
// vector, so that it is freed on every road. ERROR_NO_DATA is an empty table, not a failure.
template <typename TTable, typename TCall>
int ReadTable(TCall call, std::vector<uint8_t>& vecBuffer) {
    for (int nRound = 0; nRound < c_nReadRounds; ++nRound) {
        ULONG nSize = vecBuffer.empty() ? 0 : static_cast<ULONG>(vecBuffer.size());
        DWORD nResult = call(vecBuffer.empty() ? nullptr : reinterpret_cast<TTable*>(vecBuffer.data()), &nSize);
        if (nResult == NO_ERROR) return c_nKxNetOk;  // an empty buffer here is an empty table
        if (nResult == ERROR_NO_DATA) {
            vecBuffer.clear();
            return c_nKxNetOk;
        }
        if (nResult != ERROR_INSUFFICIENT_BUFFER) return static_cast<int>(nResult);
        vecBuffer.assign(nSize, 0);
    }
    return ERROR_INSUFFICIENT_BUFFER;
}

DWORD AddressOf(const uint8_t* pbyIP) {
    DWORD n;
    memcpy(&n, pbyIP, 4);  // network order: the first octet first in memory
    return n;
}

void StoreAddress(DWORD n, uint8_t* pbyIP) { memcpy(pbyIP, &n, 4); }

bool ParseAddress(const char* psz, uint8_t* pbyIP) {
    return psz != nullptr && psz[0] != '\0' && KxNetworkUtils::StringToIP(psz, pbyIP);
}

MIB_IPNETROW ToNetRow(const SKxArpRow& row) {
    MIB_IPNETROW r;
    memset(&r, 0, sizeof r);
    r.dwIndex = row.nIndex;
    r.dwPhysAddrLen = row.nMACLength <= sizeof r.bPhysAddr ? row.nMACLength : sizeof r.bPhysAddr;
    memcpy(r.bPhysAddr, row.byMAC, r.dwPhysAddrLen);
    r.dwAddr = AddressOf(row.byIP);
    r.dwType = row.nType;
    return r;
}

MIB_IPFORWARDROW ToForwardRow(const SKxRouteRow& row) {
    MIB_IPFORWARDROW r;
    memset(&r, 0, sizeof r);
    r.dwForwardIfIndex = row.nIfIndex;
    r.dwForwardDest = AddressOf(row.byDest);
    r.dwForwardMask = AddressOf(row.byMask);
    r.dwForwardNextHop = AddressOf(row.byNextHop);
    r.dwForwardMetric1 = row.nMetric;
    r.dwForwardProto = row.nProto;
    return r;
}

// One Windows Sockets start per call, its cleanup on every road.
class CWsaSession {
public:
    CWsaSession() {
        WSADATA data;
        m_bStarted = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    ~CWsaSession() {
        if (m_bStarted) WSACleanup();
    }
    CWsaSession(const CWsaSession&) = delete;
    CWsaSession& operator=(const CWsaSession&) = delete;
    bool Started() const { return m_bStarted; }

private:
    bool m_bStarted = false;
};

class CSocket {
public:
    explicit CSocket(SOCKET s) : m_s(s) {}
    ~CSocket() {
        if (m_s != INVALID_SOCKET) closesocket(m_s);
    }
    CSocket(const CSocket&) = delete;
    CSocket& operator=(const CSocket&) = delete;
    SOCKET Get() const { return m_s; }

private:
    SOCKET m_s;
};

class CRegKey {
public:
    CRegKey() = default;
    ~CRegKey() {
        if (m_h != nullptr) RegCloseKey(m_h);
    }
    CRegKey(const CRegKey&) = delete;
    CRegKey& operator=(const CRegKey&) = delete;
    bool Open(HKEY hParent, const char* pszPath) {
        return RegOpenKeyExA(hParent, pszPath, 0, KEY_READ, &m_h) == ERROR_SUCCESS;
    }
    HKEY Get() const { return m_h; }

private:
    HKEY m_h = nullptr;
};

}  // namespace

const char* const CKxWinNetBackend::c_pszNetworkKey =
    "SYSTEM\\CurrentControlSet\\Control\\Network\\{4D36E972-E325-11CE-BFC1-08002BE10318}";

IKxNetBackend* KxPlatformNetBackend() {
    static CKxWinNetBackend s_backend;
    return &s_backend;
}

bool CKxWinNetBackend::ListCards(std::vector<SKxNetCardRow>& vecCards) {
    std::vector<uint8_t> vecBuffer;
    // GetAdaptersInfo answers ERROR_BUFFER_OVERFLOW where the table calls answer
    // ERROR_INSUFFICIENT_BUFFER; one reader for both.
    auto call = [](IP_ADAPTER_INFO* p, ULONG* pn) -> DWORD {
        DWORD r = GetAdaptersInfo(p, pn);
        return r == ERROR_BUFFER_OVERFLOW ? static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER) : r;
    };
    int nResult = ReadTable<IP_ADAPTER_INFO>(call, vecBuffer);
    if (nResult != c_nKxNetOk) return false;
    if (vecBuffer.empty()) return true;
    for (const IP_ADAPTER_INFO* p = reinterpret_cast<const IP_ADAPTER_INFO*>(vecBuffer.data()); p != nullptr;
         p = p->Next) {
        SKxNetCardRow card;
        card.strName = p->AdapterName;
        card.nIndex = p->Index;
        card.strDescription = p->Description;
        card.nMACLength = p->AddressLength;
        memcpy(card.byMAC, p->Address, p->AddressLength <= sizeof card.byMAC ? p->AddressLength : sizeof card.byMAC);
        card.bLoopback = p->Type == MIB_IF_TYPE_LOOPBACK;
        for (const IP_ADDR_STRING* a = &p->IpAddressList; a != nullptr; a = a->Next) {
            SKxNetCardAddress addr;
            memset(&addr, 0, sizeof addr);
            if (!ParseAddress(a->IpAddress.String, addr.byIP)) continue;
            ParseAddress(a->IpMask.String, addr.byMask);
            card.vecAddresses.push_back(addr);
        }
        // Gateways stay in step with the addresses: an empty entry keeps its place as 0.0.0.0.
        for (const IP_ADDR_STRING* g = &p->GatewayList; g != nullptr; g = g->Next) {
            std::array<uint8_t, 4> gw = {0, 0, 0, 0};
            ParseAddress(g->IpAddress.String, gw.data());
            card.vecGateways.push_back(gw);
        }
        while (!card.vecGateways.empty() && card.vecGateways.back() == std::array<uint8_t, 4>{0, 0, 0, 0})
            card.vecGateways.pop_back();
        MIB_IFROW ifRow;
        memset(&ifRow, 0, sizeof ifRow);
        ifRow.dwIndex = p->Index;
        card.nSpeedMbps = GetIfEntry(&ifRow) == NO_ERROR ? ifRow.dwSpeed / 1000000u : 0;
        vecCards.push_back(card);
    }
    return true;
}

bool CKxWinNetBackend::IsVirtualPnPInstanceId(const char* pszId) {
    if (pszId == nullptr) return false;
    return strstr(pszId, "PCI") == nullptr && strstr(pszId, "USB") == nullptr;
}

bool CKxWinNetBackend::ReadPnPInstanceId(const char* pszName, std::string& strId) const {
    if (pszName == nullptr || pszName[0] == '\0') return false;
    CRegKey network, connection;
    if (!network.Open(m_bLocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER, m_strNetworkKey.c_str())) return false;
    char szSub[260];
    int n = snprintf(szSub, sizeof szSub, "%s\\Connection", pszName);
    if (n < 0 || n >= static_cast<int>(sizeof szSub)) return false;  // a name that does not fit names no card
    if (!connection.Open(network.Get(), szSub)) return false;
    char szId[250];
    DWORD nType = 0, nSize = sizeof szId - 1;
    if (RegQueryValueExA(connection.Get(), "PnPInstanceId", nullptr, &nType, reinterpret_cast<BYTE*>(szId), &nSize) !=
            ERROR_SUCCESS ||
        (nType != REG_SZ && nType != REG_EXPAND_SZ))
        return false;
    szId[nSize < sizeof szId ? nSize : sizeof szId - 1] = '\0';  // the value need not end in a terminator
    strId = szId;
    return true;
}

bool CKxWinNetBackend::IsVirtualCard(const char* pszName) {
    std::string strId;
    if (!ReadPnPInstanceId(pszName, strId)) return false;
    return IsVirtualPnPInstanceId(strId.c_str());
}

int CKxWinNetBackend::ReadArpTable(std::vector<SKxArpRow>& vecRows) {
    std::vector<uint8_t> vecBuffer;
    auto call = [](MIB_IPNETTABLE* p, ULONG* pn) { return GetIpNetTable(p, pn, FALSE); };
    int nResult = ReadTable<MIB_IPNETTABLE>(call, vecBuffer);
    if (nResult != c_nKxNetOk || vecBuffer.empty()) return nResult;
    const MIB_IPNETTABLE* pTable = reinterpret_cast<const MIB_IPNETTABLE*>(vecBuffer.data());
    for (DWORD i = 0; i < pTable->dwNumEntries; ++i) {
        const MIB_IPNETROW& r = pTable->table[i];
        SKxArpRow row;
        row.nIndex = r.dwIndex;
        StoreAddress(r.dwAddr, row.byIP);
        row.nMACLength = r.dwPhysAddrLen <= sizeof row.byMAC ? r.dwPhysAddrLen : sizeof row.byMAC;
        memcpy(row.byMAC, r.bPhysAddr, row.nMACLength);
        row.nType = r.dwType;
        vecRows.push_back(row);
    }
    return c_nKxNetOk;
}

int CKxWinNetBackend::CreateArpRow(const SKxArpRow& row) {
    MIB_IPNETROW r = ToNetRow(row);
    return static_cast<int>(CreateIpNetEntry(&r));
}

int CKxWinNetBackend::UpdateArpRow(const SKxArpRow& row) {
    MIB_IPNETROW r = ToNetRow(row);
    return static_cast<int>(SetIpNetEntry(&r));
}

int CKxWinNetBackend::DeleteArpRow(const SKxArpRow& row) {
    MIB_IPNETROW r = ToNetRow(row);
    return static_cast<int>(DeleteIpNetEntry(&r));
}

int CKxWinNetBackend::ReadRouteTable(std::vector<SKxRouteRow>& vecRows) {
    std::vector<uint8_t> vecBuffer;
    auto call = [](MIB_IPFORWARDTABLE* p, ULONG* pn) { return GetIpForwardTable(p, pn, FALSE); };
    int nResult = ReadTable<MIB_IPFORWARDTABLE>(call, vecBuffer);
    if (nResult != c_nKxNetOk || vecBuffer.empty()) return nResult;
    const MIB_IPFORWARDTABLE* pTable = reinterpret_cast<const MIB_IPFORWARDTABLE*>(vecBuffer.data());
    for (DWORD i = 0; i < pTable->dwNumEntries; ++i) {
        const MIB_IPFORWARDROW& r = pTable->table[i];
        SKxRouteRow row;
        row.nIfIndex = r.dwForwardIfIndex;
        StoreAddress(r.dwForwardDest, row.byDest);
        StoreAddress(r.dwForwardMask, row.byMask);
        StoreAddress(r.dwForwardNextHop, row.byNextHop);
        row.nMetric = r.dwForwardMetric1;
        row.nProto = r.dwForwardProto;
        vecRows.push_back(row);
    }
    return c_nKxNetOk;
}

int CKxWinNetBackend::CreateRoute(const SKxRouteRow& row) {
    MIB_IPFORWARDROW r = ToForwardRow(row);
    return static_cast<int>(CreateIpForwardEntry(&r));
}

int CKxWinNetBackend::DeleteRoute(const SKxRouteRow& row) {
    MIB_IPFORWARDROW r = ToForwardRow(row);
    return static_cast<int>(DeleteIpForwardEntry(&r));
}

int CKxWinNetBackend::GetBestInterface(const uint8_t* pbyIP, uint32_t* pnIndex) {
    DWORD nIndex = 0;
    DWORD nResult = ::GetBestInterface(AddressOf(pbyIP), &nIndex);
    if (nResult == NO_ERROR) *pnIndex = nIndex;
    return static_cast<int>(nResult);
}

int CKxWinNetBackend::GetInterfaceMetric(uint32_t nIndex, uint32_t* pnMetric) {
    MIB_IPINTERFACE_ROW row;
    memset(&row, 0, sizeof row);  // the row's key is all GetIpInterfaceEntry reads
    row.Family = AF_INET;
    row.InterfaceIndex = nIndex;
    DWORD nResult = GetIpInterfaceEntry(&row);
    if (nResult == NO_ERROR) *pnMetric = row.Metric;
    return static_cast<int>(nResult);
}

bool CKxWinNetBackend::Echo(const uint8_t* pbyIP, uint16_t nIdentifier, int nTimeoutMs) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(nTimeoutMs);
    CWsaSession wsa;
    if (!wsa.Started()) return false;
    CSocket sock(socket(AF_INET, SOCK_RAW, IPPROTO_ICMP));
    if (sock.Get() == INVALID_SOCKET) {
        KxLogUtils::PrintLog(c_nKxLogError, "KxNetworkUtils::PingHost No ICMP Socket (%d)", WSAGetLastError());
        return false;
    }
    uint8_t byRequest[8] = {8, 0, 0, 0, 0, 0, 0, 0};
    memcpy(byRequest + 4, &nIdentifier, 2);  // host order, compared as raw bytes on the way back
    uint16_t nSum = KxNetworkUtils::CalcChecksum(byRequest, sizeof byRequest);
    memcpy(byRequest + 2, &nSum, 2);

    sockaddr_in to;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    memcpy(&to.sin_addr, pbyIP, 4);
    if (sendto(sock.Get(), reinterpret_cast<const char*>(byRequest), sizeof byRequest, 0,
               reinterpret_cast<const sockaddr*>(&to), sizeof to) != static_cast<int>(sizeof byRequest))
        return false;

    // Our own request (seen on loopback), replies to others and other ICMP traffic are passed over
    // until the deadline.
    for (;;) {
        long long nLeft = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (nLeft < 0) nLeft = 0;
        fd_set set;
        FD_ZERO(&set);
        FD_SET(sock.Get(), &set);
        timeval tv;
        tv.tv_sec = static_cast<long>(nLeft / 1000);
        tv.tv_usec = static_cast<long>((nLeft % 1000) * 1000);
        if (select(0, &set, nullptr, nullptr, &tv) <= 0) return false;
        char byBuf[1024];
        sockaddr_in from;
        int nFrom = sizeof from;
        int n = recvfrom(sock.Get(), byBuf, sizeof byBuf, 0, reinterpret_cast<sockaddr*>(&from), &nFrom);
        if (n < 20) {
            if (n < 0 && WSAGetLastError() != WSAEMSGSIZE) return false;
            continue;
        }
        size_t nHeader = static_cast<size_t>(byBuf[0] & 0x0F) * 4;  // the IPv4 header with its options
        if (static_cast<size_t>(n) < nHeader + 8) continue;
        const uint8_t* pIcmp = reinterpret_cast<const uint8_t*>(byBuf) + nHeader;
        if (pIcmp[0] == 0 && pIcmp[1] == 0 && memcmp(pIcmp + 4, &nIdentifier, 2) == 0 &&
            memcmp(&from.sin_addr, pbyIP, 4) == 0)
            return true;
    }
}
