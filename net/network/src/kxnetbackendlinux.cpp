// Linux backend of the host network utilities (see kxnetbackendlinux.h and docs/network.md).
#include "kxnetbackendlinux.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <limits.h>
#include <linux/if_packet.h>
#include <linux/neighbour.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <netlink/cache.h>
#include <netlink/netlink.h>
#include <netlink/route/neighbour.h>
#include <netlink/route/nexthop.h>
#include <netlink/route/route.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <system_error>

#include "kxkernel.h"
#include "kxnetworkutils.h"

namespace {

// libnl folds EPERM and EACCES into NLE_PERM: the host wants CAP_NET_ADMIN.
int MapNl(int nErr) {
    if (nErr >= 0) return c_nKxNetOk;
    if (nErr == -NLE_PERM) return c_nKxNetAccessDenied;
    return nErr;
}

class CNlSocket {
public:
    CNlSocket() {
        m_pSock = nl_socket_alloc();
        if (m_pSock != nullptr && (m_nErr = nl_connect(m_pSock, NETLINK_ROUTE)) < 0) {
            nl_socket_free(m_pSock);
            m_pSock = nullptr;
        }
        if (m_pSock == nullptr && m_nErr == 0) m_nErr = -NLE_NOMEM;
    }
    ~CNlSocket() {
        if (m_pSock != nullptr) nl_socket_free(m_pSock);
    }
    CNlSocket(const CNlSocket&) = delete;
    CNlSocket& operator=(const CNlSocket&) = delete;
    nl_sock* Get() const { return m_pSock; }
    int Error() const { return m_nErr; }

private:
    nl_sock* m_pSock = nullptr;
    int m_nErr = 0;
};

struct CCacheGuard {
    nl_cache* p = nullptr;
    ~CCacheGuard() {
        if (p != nullptr) nl_cache_free(p);
    }
};

struct CAddrGuard {
    nl_addr* p = nullptr;
    explicit CAddrGuard(nl_addr* a) : p(a) {}
    ~CAddrGuard() {
        if (p != nullptr) nl_addr_put(p);
    }
    CAddrGuard(const CAddrGuard&) = delete;
    CAddrGuard& operator=(const CAddrGuard&) = delete;
};

struct CFd {
    int fd = -1;
    ~CFd() {
        if (fd >= 0) close(fd);
    }
};

void MaskFromPrefix(unsigned int nPrefix, uint8_t* pbyMask) {
    uint32_t n = nPrefix == 0 ? 0 : (nPrefix >= 32 ? 0xFFFFFFFFu : ~((1u << (32 - nPrefix)) - 1));
    pbyMask[0] = static_cast<uint8_t>(n >> 24);
    pbyMask[1] = static_cast<uint8_t>(n >> 16);
    pbyMask[2] = static_cast<uint8_t>(n >> 8);
    pbyMask[3] = static_cast<uint8_t>(n);
}

int PrefixFromMask(const uint8_t* pbyMask) {
    int n = 0;
    for (int i = 0; i < 4; ++i)
        for (int b = 7; b >= 0; --b)
            if (pbyMask[i] & (1 << b)) ++n;
    return n;
}

bool CopyIPv4(nl_addr* pAddr, uint8_t* pbyOut) {
    if (pAddr == nullptr || nl_addr_get_family(pAddr) != AF_INET || nl_addr_get_len(pAddr) != 4) return false;
    memcpy(pbyOut, nl_addr_get_binary_addr(pAddr), 4);
    return true;
}

// The IPv4 routes of the main table, as the kernel has them.
int ForEachMainRoute(nl_sock* pSock, const std::function<void(rtnl_route*)>& fn);

bool IsMainUnicast(rtnl_route* pRoute) {
    return rtnl_route_get_family(pRoute) == AF_INET && rtnl_route_get_table(pRoute) == RT_TABLE_MAIN &&
           rtnl_route_get_type(pRoute) == RTN_UNICAST;
}

int ForEachMainRoute(nl_sock* pSock, const std::function<void(rtnl_route*)>& fn) {
    CCacheGuard cache;
    int nErr = rtnl_route_alloc_cache(pSock, AF_INET, 0, &cache.p);
    if (nErr < 0) return MapNl(nErr);
    for (nl_object* p = nl_cache_get_first(cache.p); p != nullptr; p = nl_cache_get_next(p)) {
        rtnl_route* pRoute = reinterpret_cast<rtnl_route*>(p);
        if (IsMainUnicast(pRoute)) fn(pRoute);
    }
    return c_nKxNetOk;
}

// A route as a row: the first next hop's card; next hop its gateway, or for a route on the link
// its preferred source (the card's own address, which is how SetRouteInfo writes it).
bool RouteToRow(rtnl_route* pRoute, SKxRouteRow& row) {
    nl_addr* pDst = rtnl_route_get_dst(pRoute);
    if (pDst == nullptr || nl_addr_get_family(pDst) != AF_INET) return false;
    if (nl_addr_get_len(pDst) == 4) memcpy(row.byDest, nl_addr_get_binary_addr(pDst), 4);
    MaskFromPrefix(nl_addr_get_prefixlen(pDst), row.byMask);
    rtnl_nexthop* pHop = rtnl_route_get_nnexthops(pRoute) > 0 ? rtnl_route_nexthop_n(pRoute, 0) : nullptr;
    if (pHop != nullptr) {
        row.nIfIndex = static_cast<uint32_t>(rtnl_route_nh_get_ifindex(pHop));
        if (!CopyIPv4(rtnl_route_nh_get_gateway(pHop), row.byNextHop))
            CopyIPv4(rtnl_route_get_pref_src(pRoute), row.byNextHop);
    }
    row.nMetric = rtnl_route_get_priority(pRoute);
    switch (rtnl_route_get_protocol(pRoute)) {
        case RTPROT_STATIC: row.nProto = c_nKxRouteProtoNetMgmt; break;
        case RTPROT_KERNEL: row.nProto = 2; break;  // local: a connected route
        default: row.nProto = 1; break;
    }
    return true;
}

bool ReadText(const std::string& strPath, std::string& strOut) {
    std::ifstream in(strPath);
    if (!in) return false;
    std::getline(in, strOut);
    return !in.bad();
}

// A card name that cannot climb out of /sys/class/net.
bool SafeName(const char* pszName) {
    return pszName != nullptr && pszName[0] != '\0' && strchr(pszName, '/') == nullptr &&
           strcmp(pszName, ".") != 0 && strcmp(pszName, "..") != 0 && strlen(pszName) < IF_NAMESIZE;
}

std::string ErrorText(int nErrno) { return std::generic_category().message(nErrno); }

// Whether pbyIP is one of the addresses of the card nIndex.
bool IsOwnAddress(uint32_t nIndex, const uint8_t* pbyIP) {
    ifaddrs* pList = nullptr;
    if (getifaddrs(&pList) != 0) return false;
    bool bOwn = false;
    for (ifaddrs* p = pList; p != nullptr && !bOwn; p = p->ifa_next) {
        if (p->ifa_addr == nullptr || p->ifa_addr->sa_family != AF_INET) continue;
        std::string name(p->ifa_name);
        name = name.substr(0, name.find(':'));  // "eth0:1" is a label of eth0
        if (if_nametoindex(name.c_str()) != nIndex) continue;
        const sockaddr_in* pIn = reinterpret_cast<const sockaddr_in*>(p->ifa_addr);
        bOwn = memcmp(&pIn->sin_addr, pbyIP, 4) == 0;
    }
    freeifaddrs(pList);
    return bOwn;
}

}  // namespace

IKxNetBackend* KxPlatformNetBackend() {
    static CKxLinuxNetBackend s_backend;
    return &s_backend;
}

uint32_t CKxLinuxNetBackend::ReadSpeed(const std::string& strName) const {
    if (!SafeName(strName.c_str())) return 0;
    std::string text;
    if (!ReadText(m_strSysfs + "/class/net/" + strName + "/speed", text)) return 0;
    char* pEnd = nullptr;
    long n = strtol(text.c_str(), &pEnd, 10);
    if (pEnd == text.c_str() || n <= 0 || n > static_cast<long>(UINT32_MAX)) return 0;
    return static_cast<uint32_t>(n);
}

bool CKxLinuxNetBackend::ListCards(std::vector<SKxNetCardRow>& vecCards) {
    ifaddrs* pList = nullptr;
    if (getifaddrs(&pList) != 0) return false;
    auto cardOf = [&vecCards](const std::string& name) -> SKxNetCardRow& {
        for (SKxNetCardRow& c : vecCards)
            if (c.strName == name) return c;
        vecCards.emplace_back();
        vecCards.back().strName = name;
        vecCards.back().strDescription = name;
        vecCards.back().nIndex = if_nametoindex(name.c_str());
        return vecCards.back();
    };
    for (ifaddrs* p = pList; p != nullptr; p = p->ifa_next) {
        if (p->ifa_name == nullptr) continue;
        std::string name(p->ifa_name);
        name = name.substr(0, name.find(':'));
        SKxNetCardRow& card = cardOf(name);
        if (p->ifa_flags & IFF_LOOPBACK) card.bLoopback = true;
        if (p->ifa_addr == nullptr) continue;
        if (p->ifa_addr->sa_family == AF_PACKET) {
            const sockaddr_ll* pLl = reinterpret_cast<const sockaddr_ll*>(p->ifa_addr);
            card.nIndex = static_cast<uint32_t>(pLl->sll_ifindex);
            card.nMACLength = std::min<uint32_t>(pLl->sll_halen, sizeof(card.byMAC));
            memcpy(card.byMAC, pLl->sll_addr, card.nMACLength);
        } else if (p->ifa_addr->sa_family == AF_INET) {
            SKxNetCardAddress addr{};
            memcpy(addr.byIP, &reinterpret_cast<const sockaddr_in*>(p->ifa_addr)->sin_addr, 4);
            if (p->ifa_netmask != nullptr)
                memcpy(addr.byMask, &reinterpret_cast<const sockaddr_in*>(p->ifa_netmask)->sin_addr, 4);
            card.vecAddresses.push_back(addr);
        }
    }
    freeifaddrs(pList);

    // Default gateways through each card, lowest metric first.
    CNlSocket sock;
    if (sock.Get() != nullptr) {
        struct SGateway {
            uint32_t nIndex, nMetric;
            std::array<uint8_t, 4> by;
        };
        std::vector<SGateway> vecGw;
        ForEachMainRoute(sock.Get(), [&vecGw](rtnl_route* pRoute) {
            SKxRouteRow row;
            if (!RouteToRow(pRoute, row) || row.byMask[0] != 0 || row.byMask[3] != 0) return;
            static const uint8_t c_byZero[4] = {0, 0, 0, 0};
            if (memcmp(row.byDest, c_byZero, 4) != 0 || memcmp(row.byNextHop, c_byZero, 4) == 0) return;
            rtnl_nexthop* pHop = rtnl_route_nexthop_n(pRoute, 0);
            if (pHop == nullptr || rtnl_route_nh_get_gateway(pHop) == nullptr) return;
            SGateway gw{row.nIfIndex, row.nMetric, {}};
            memcpy(gw.by.data(), row.byNextHop, 4);
            vecGw.push_back(gw);
        });
        std::stable_sort(vecGw.begin(), vecGw.end(),
                         [](const SGateway& a, const SGateway& b) { return a.nMetric < b.nMetric; });
        for (const SGateway& gw : vecGw)
            for (SKxNetCardRow& card : vecCards)
                if (card.nIndex == gw.nIndex) card.vecGateways.push_back(gw.by);
    }
    for (SKxNetCardRow& card : vecCards) card.nSpeedMbps = ReadSpeed(card.strName);
    return true;
}

// Physical: the card's sysfs `device` leads to a device on a PCI or USB bus (a virtio card sits
// below its PCI function). Loopback, veth, bridges, tunnels have no `device` at all.
bool CKxLinuxNetBackend::IsVirtualCard(const char* pszName) {
    if (!SafeName(pszName)) return false;
    std::string strCard = m_strSysfs + "/class/net/" + pszName;
    struct stat st;
    if (lstat(strCard.c_str(), &st) != 0) return false;  // no such card: nothing known
    char szReal[PATH_MAX];
    if (realpath((strCard + "/device").c_str(), szReal) == nullptr) return true;
    char szRoot[PATH_MAX];
    std::string strRoot = realpath(m_strSysfs.c_str(), szRoot) != nullptr ? szRoot : m_strSysfs;
    std::string strDir = szReal;
    while (strDir.size() > strRoot.size() && strDir.compare(0, strRoot.size(), strRoot) == 0) {
        char szSub[PATH_MAX];
        if (realpath((strDir + "/subsystem").c_str(), szSub) != nullptr) {
            std::string strSub = szSub;
            std::string strBus = strSub.substr(strSub.rfind('/') + 1);
            if (strBus == "pci" || strBus == "usb") return false;
        }
        strDir = strDir.substr(0, strDir.rfind('/'));
    }
    return true;
}

int CKxLinuxNetBackend::ReadArpTable(std::vector<SKxArpRow>& vecRows) {
    CNlSocket sock;
    if (sock.Get() == nullptr) return MapNl(sock.Error());
    CCacheGuard cache;
    int nErr = rtnl_neigh_alloc_cache(sock.Get(), &cache.p);
    if (nErr < 0) return MapNl(nErr);
    for (nl_object* p = nl_cache_get_first(cache.p); p != nullptr; p = nl_cache_get_next(p)) {
        rtnl_neigh* pNeigh = reinterpret_cast<rtnl_neigh*>(p);
        SKxArpRow row;
        if (!CopyIPv4(rtnl_neigh_get_dst(pNeigh), row.byIP)) continue;
        row.nIndex = static_cast<uint32_t>(rtnl_neigh_get_ifindex(pNeigh));
        nl_addr* pLl = rtnl_neigh_get_lladdr(pNeigh);
        if (pLl != nullptr && nl_addr_get_len(pLl) <= sizeof(row.byMAC)) {
            row.nMACLength = nl_addr_get_len(pLl);
            memcpy(row.byMAC, nl_addr_get_binary_addr(pLl), row.nMACLength);
        }
        int nState = rtnl_neigh_get_state(pNeigh);
        if (nState & NUD_PERMANENT)
            row.nType = c_nKxArpStatic;
        else if (nState & NUD_NOARP)
            row.nType = c_nKxArpOther;
        else if (nState & (NUD_INCOMPLETE | NUD_FAILED))
            row.nType = c_nKxArpInvalid;
        else
            row.nType = c_nKxArpDynamic;
        vecRows.push_back(row);
    }
    return c_nKxNetOk;
}

int CKxLinuxNetBackend::WriteNeighbour(const SKxArpRow& row, int nFlags) {
    CNlSocket sock;
    if (sock.Get() == nullptr) return MapNl(sock.Error());
    rtnl_neigh* pNeigh = rtnl_neigh_alloc();
    if (pNeigh == nullptr) return -NLE_NOMEM;
    CAddrGuard dst(nl_addr_build(AF_INET, row.byIP, 4));
    CAddrGuard ll(nl_addr_build(AF_UNSPEC, row.byMAC, row.nMACLength));
    int nErr = -NLE_NOMEM;
    if (dst.p != nullptr && (nFlags == 0 || ll.p != nullptr)) {
        rtnl_neigh_set_family(pNeigh, AF_INET);
        rtnl_neigh_set_ifindex(pNeigh, static_cast<int>(row.nIndex));
        rtnl_neigh_set_dst(pNeigh, dst.p);
        if (nFlags != 0) {
            rtnl_neigh_set_lladdr(pNeigh, ll.p);
            // A static entry is a permanent neighbour; a dynamic one is reachable and ages.
            rtnl_neigh_set_state(pNeigh, row.nType == c_nKxArpStatic ? NUD_PERMANENT : NUD_REACHABLE);
            nErr = rtnl_neigh_add(sock.Get(), pNeigh, nFlags);
        } else {
            nErr = rtnl_neigh_delete(sock.Get(), pNeigh, 0);
        }
    }
    rtnl_neigh_put(pNeigh);
    return MapNl(nErr);
}

int CKxLinuxNetBackend::CreateArpRow(const SKxArpRow& row) { return WriteNeighbour(row, NLM_F_CREATE | NLM_F_EXCL); }

int CKxLinuxNetBackend::UpdateArpRow(const SKxArpRow& row) {
    return WriteNeighbour(row, NLM_F_CREATE | NLM_F_REPLACE);
}

int CKxLinuxNetBackend::DeleteArpRow(const SKxArpRow& row) { return WriteNeighbour(row, 0); }

int CKxLinuxNetBackend::ReadRouteTable(std::vector<SKxRouteRow>& vecRows) {
    CNlSocket sock;
    if (sock.Get() == nullptr) return MapNl(sock.Error());
    return ForEachMainRoute(sock.Get(), [&vecRows](rtnl_route* pRoute) {
        SKxRouteRow row;
        if (RouteToRow(pRoute, row)) vecRows.push_back(row);
    });
}

int CKxLinuxNetBackend::CreateRoute(const SKxRouteRow& row) {
    CNlSocket sock;
    if (sock.Get() == nullptr) return MapNl(sock.Error());
    rtnl_route* pRoute = rtnl_route_alloc();
    rtnl_nexthop* pHop = rtnl_route_nh_alloc();
    CAddrGuard dst(nl_addr_build(AF_INET, row.byDest, 4));
    CAddrGuard hop(nl_addr_build(AF_INET, row.byNextHop, 4));
    int nErr = -NLE_NOMEM;
    if (pRoute != nullptr && pHop != nullptr && dst.p != nullptr && hop.p != nullptr) {
        nl_addr_set_prefixlen(dst.p, PrefixFromMask(row.byMask));
        rtnl_route_set_family(pRoute, AF_INET);
        rtnl_route_set_table(pRoute, RT_TABLE_MAIN);
        rtnl_route_set_type(pRoute, RTN_UNICAST);
        rtnl_route_set_dst(pRoute, dst.p);
        rtnl_route_set_priority(pRoute, row.nMetric);
        rtnl_route_set_protocol(pRoute, row.nProto == c_nKxRouteProtoNetMgmt ? RTPROT_STATIC : RTPROT_BOOT);
        rtnl_route_nh_set_ifindex(pHop, static_cast<int>(row.nIfIndex));
        // Linux takes no gateway that is the host's own address: such a next hop means the
        // destination is on the card's link, with the card's address as source.
        if (IsOwnAddress(row.nIfIndex, row.byNextHop)) {
            rtnl_route_set_scope(pRoute, RT_SCOPE_LINK);
            rtnl_route_set_pref_src(pRoute, hop.p);
        } else {
            rtnl_route_set_scope(pRoute, RT_SCOPE_UNIVERSE);
            rtnl_route_nh_set_gateway(pHop, hop.p);
        }
        rtnl_route_add_nexthop(pRoute, pHop);
        pHop = nullptr;  // the route owns it now
        nErr = rtnl_route_add(sock.Get(), pRoute, NLM_F_CREATE | NLM_F_EXCL);
    }
    if (pHop != nullptr) rtnl_route_nh_free(pHop);
    if (pRoute != nullptr) rtnl_route_put(pRoute);
    return MapNl(nErr);
}

int CKxLinuxNetBackend::DeleteRoute(const SKxRouteRow& row) {
    CNlSocket sock;
    if (sock.Get() == nullptr) return MapNl(sock.Error());
    // Delete the kernel's own object that this row was read from, so that scope, type and next
    // hops match exactly.
    int nResult = -NLE_OBJ_NOTFOUND;
    int nErr = ForEachMainRoute(sock.Get(), [&](rtnl_route* pRoute) {
        SKxRouteRow seen;
        if (nResult != -NLE_OBJ_NOTFOUND || !RouteToRow(pRoute, seen)) return;
        if (memcmp(seen.byDest, row.byDest, 4) != 0 || memcmp(seen.byMask, row.byMask, 4) != 0 ||
            seen.nIfIndex != row.nIfIndex || seen.nMetric != row.nMetric ||
            memcmp(seen.byNextHop, row.byNextHop, 4) != 0)
            return;
        nResult = MapNl(rtnl_route_delete(sock.Get(), pRoute, 0));
    });
    return nErr != c_nKxNetOk ? nErr : nResult;
}

int CKxLinuxNetBackend::GetBestInterface(const uint8_t* pbyIP, uint32_t* pnIndex) {
    CNlSocket sock;
    if (sock.Get() == nullptr) return MapNl(sock.Error());
    CAddrGuard dst(nl_addr_build(AF_INET, pbyIP, 4));
    if (dst.p == nullptr) return -NLE_NOMEM;
    rtnl_route* pRoute = nullptr;
    int nErr = rtnl_route_lookup(sock.Get(), dst.p, &pRoute);
    if (nErr < 0) return MapNl(nErr);
    int nResult = -NLE_OBJ_NOTFOUND;
    if (rtnl_route_get_nnexthops(pRoute) > 0) {
        int nIndex = rtnl_route_nh_get_ifindex(rtnl_route_nexthop_n(pRoute, 0));
        if (nIndex > 0) {
            *pnIndex = static_cast<uint32_t>(nIndex);
            nResult = c_nKxNetOk;
        }
    }
    rtnl_route_put(pRoute);
    return nResult;
}

// The metric of the card's connected route (the one the kernel made for its subnet); 0 when
// the card has none.
int CKxLinuxNetBackend::GetInterfaceMetric(uint32_t nIndex, uint32_t* pnMetric) {
    CNlSocket sock;
    if (sock.Get() == nullptr) return MapNl(sock.Error());
    bool bFound = false;
    uint32_t nBest = 0;
    int nErr = ForEachMainRoute(sock.Get(), [&](rtnl_route* pRoute) {
        if (rtnl_route_get_protocol(pRoute) != RTPROT_KERNEL || rtnl_route_get_scope(pRoute) != RT_SCOPE_LINK) return;
        if (rtnl_route_get_nnexthops(pRoute) < 1) return;
        if (static_cast<uint32_t>(rtnl_route_nh_get_ifindex(rtnl_route_nexthop_n(pRoute, 0))) != nIndex) return;
        uint32_t n = rtnl_route_get_priority(pRoute);
        if (!bFound || n < nBest) nBest = n;
        bFound = true;
    });
    if (nErr != c_nKxNetOk) return nErr;
    *pnMetric = nBest;
    return c_nKxNetOk;
}

bool CKxLinuxNetBackend::Echo(const uint8_t* pbyIP, uint16_t nIdentifier, int nTimeoutMs) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(nTimeoutMs);
    // The datagram socket needs no privilege where ping_group_range admits our group; the raw
    // socket needs CAP_NET_RAW.
    CFd sock;
    bool bRaw = false;
    sock.fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
    int nDgramErr = sock.fd < 0 ? errno : 0;
    if (sock.fd < 0) {
        sock.fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
        if (sock.fd < 0) {
            int nRawErr = errno;
            KxLogUtils::PrintLog(c_nKxLogError, "KxNetworkUtils::PingHost No ICMP Socket (datagram: %s, raw: %s)",
                                 ErrorText(nDgramErr).c_str(), ErrorText(nRawErr).c_str());
            return false;
        }
        bRaw = true;
    }

    uint8_t byRequest[8] = {8, 0, 0, 0, 0, 0, 0, 0};
    memcpy(byRequest + 4, &nIdentifier, 2);
    uint16_t nExpected = 0;  // the identifier field as it goes out, compared as raw bytes
    if (!bRaw) {
        // The kernel puts the socket's port into the identifier field: bind to ours, or learn
        // the one it chose.
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(nIdentifier);
        if (bind(sock.fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            local.sin_port = 0;
            if (bind(sock.fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return false;
        }
        socklen_t nLen = sizeof local;
        if (getsockname(sock.fd, reinterpret_cast<sockaddr*>(&local), &nLen) != 0) return false;
        memcpy(byRequest + 4, &local.sin_port, 2);
    }
    memcpy(&nExpected, byRequest + 4, 2);
    uint16_t nSum = KxNetworkUtils::CalcChecksum(byRequest, sizeof byRequest);
    memcpy(byRequest + 2, &nSum, 2);

    sockaddr_in to{};
    to.sin_family = AF_INET;
    memcpy(&to.sin_addr, pbyIP, 4);
    if (sendto(sock.fd, byRequest, sizeof byRequest, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) !=
        static_cast<ssize_t>(sizeof byRequest))
        return false;

    // Wait until the deadline for our answer; replies to others, other hosts and other ICMP
    // traffic (a raw socket sees all of it) are passed over.
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left < 0) left = 0;
        pollfd pfd{sock.fd, POLLIN, 0};
        int nReady = poll(&pfd, 1, static_cast<int>(std::min<long long>(left, INT_MAX)));
        if (nReady < 0 && errno == EINTR) continue;
        if (nReady <= 0) return false;
        uint8_t byBuf[1024];
        sockaddr_in from{};
        socklen_t nFrom = sizeof from;
        ssize_t n = recvfrom(sock.fd, byBuf, sizeof byBuf, 0, reinterpret_cast<sockaddr*>(&from), &nFrom);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return false;
        }
        size_t nHeader = 0;
        if (bRaw) {
            if (n < 20) continue;
            nHeader = static_cast<size_t>(byBuf[0] & 0x0F) * 4;  // IPv4 header with its options
        }
        if (static_cast<size_t>(n) < nHeader + 8) continue;
        const uint8_t* pIcmp = byBuf + nHeader;
        uint16_t nId;
        memcpy(&nId, pIcmp + 4, 2);
        if (pIcmp[0] == 0 && pIcmp[1] == 0 && nId == nExpected && memcmp(&from.sin_addr, pbyIP, 4) == 0) return true;
    }
}
