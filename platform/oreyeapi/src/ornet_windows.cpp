// Windows side of the Ethernet path's seam: the IP Helper's adapter list for the cards, Windows
// Sockets for UDP with IP_PKTINFO (WSARecvMsg, WSASendMsg) so that the card of every datagram is
// known and a datagram leaves from the card asked for. Windows Sockets start once per process.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mswsock.h>
#include <windows.h>
#include <iphlpapi.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>

#include "ornet.h"

namespace OrNet {
namespace {

// WSAStartup once for the life of the process; the extension functions are read with it.
struct SWinsock {
    bool bStarted = false;
    LPFN_WSARECVMSG pfnRecvMsg = nullptr;
    LPFN_WSASENDMSG pfnSendMsg = nullptr;
};

const SWinsock& Winsock() {
    static SWinsock s;
    static std::once_flag once;
    std::call_once(once, [] {
        WSADATA data;
        s.bStarted = WSAStartup(MAKEWORD(2, 2), &data) == 0;
        if (!s.bStarted) return;
        SOCKET probe = socket(AF_INET, SOCK_DGRAM, 0);
        if (probe == INVALID_SOCKET) return;
        GUID recvId = WSAID_WSARECVMSG, sendId = WSAID_WSASENDMSG;
        DWORD n = 0;
        WSAIoctl(probe, SIO_GET_EXTENSION_FUNCTION_POINTER, &recvId, sizeof recvId, &s.pfnRecvMsg,
                 sizeof s.pfnRecvMsg, &n, nullptr, nullptr);
        WSAIoctl(probe, SIO_GET_EXTENSION_FUNCTION_POINTER, &sendId, sizeof sendId, &s.pfnSendMsg,
                 sizeof s.pfnSendMsg, &n, nullptr, nullptr);
        closesocket(probe);
    });
    return s;
}

SOCKET AsSocket(int fd) { return fd < 0 ? INVALID_SOCKET : static_cast<SOCKET>(fd); }

void FillAddress(sockaddr_in* sa, uint32_t nAddress, uint16_t nPort) {
    memset(sa, 0, sizeof(*sa));
    sa->sin_family = AF_INET;
    sa->sin_addr.s_addr = htonl(nAddress);
    sa->sin_port = htons(nPort);
}

struct SPktInfoControl {
    alignas(WSACMSGHDR) char buf[WSA_CMSG_SPACE(sizeof(IN_PKTINFO))];
};

void ReadInfo(WSAMSG* msg, const sockaddr_in& from, SDatagramInfo* pInfo) {
    pInfo->nFrom = ntohl(from.sin_addr.s_addr);
    pInfo->nFromPort = ntohs(from.sin_port);
    pInfo->nTo = 0;
    pInfo->nIfIndex = 0;
    for (WSACMSGHDR* c = WSA_CMSG_FIRSTHDR(msg); c != nullptr; c = WSA_CMSG_NXTHDR(msg, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            IN_PKTINFO pi;
            memcpy(&pi, WSA_CMSG_DATA(c), sizeof pi);
            pInfo->nTo = ntohl(pi.ipi_addr.s_addr);
            pInfo->nIfIndex = static_cast<int>(pi.ipi_ifindex);
        }
    }
}

// Waits until the socket is readable; 1 ready, 0 timeout, -1 error.
int WaitReadable(SOCKET s, int nTimeoutMs) {
    WSAPOLLFD pfd;
    pfd.fd = s;
    pfd.events = POLLRDNORM;
    pfd.revents = 0;
    int r = WSAPoll(&pfd, 1, nTimeoutMs < 0 ? -1 : nTimeoutMs);
    return r < 0 ? -1 : (r == 0 ? 0 : 1);
}
}  // namespace

bool RandomBytes(void* p, size_t n) {
    // This runtime's random_device is the system's source (rand_s, that is RtlGenRandom), not a
    // seeded generator; it throws when the source fails.
    try {
        std::random_device rd;
        uint8_t* pb = static_cast<uint8_t*>(p);
        while (n > 0) {
            const unsigned int nValue = rd();
            const size_t nTake = n < sizeof nValue ? n : sizeof nValue;
            memcpy(pb, &nValue, nTake);
            pb += nTake;
            n -= nTake;
        }
        return true;
    } catch (...) {
        return false;
    }
}

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::vector<SCard> ListCards() {
    std::vector<SCard> vec;
    // Two-call pattern; the buffer belongs to the vector, the list may grow between the calls.
    std::vector<uint8_t> buf;
    ULONG nSize = 0;
    DWORD r = GetAdaptersInfo(nullptr, &nSize);
    for (int nRound = 0; nRound < 4 && r == ERROR_BUFFER_OVERFLOW; ++nRound) {
        buf.assign(nSize, 0);
        r = GetAdaptersInfo(reinterpret_cast<IP_ADAPTER_INFO*>(buf.data()), &nSize);
    }
    if (r != NO_ERROR || buf.empty()) return vec;
    for (const IP_ADAPTER_INFO* p = reinterpret_cast<const IP_ADAPTER_INFO*>(buf.data()); p != nullptr; p = p->Next) {
        if (p->Type == MIB_IF_TYPE_LOOPBACK) continue;
        MIB_IFROW row;
        memset(&row, 0, sizeof row);
        row.dwIndex = p->Index;
        unsigned int nMtu = 1500;
        if (GetIfEntry(&row) == NO_ERROR) {
            if (row.dwOperStatus != IF_OPER_STATUS_OPERATIONAL && row.dwOperStatus != IF_OPER_STATUS_CONNECTED)
                continue;
            if (row.dwMtu > 0) nMtu = row.dwMtu;
        }
        for (const IP_ADDR_STRING* a = &p->IpAddressList; a != nullptr; a = a->Next) {
            SCard c;
            if (!ParseIPv4(a->IpAddress.String, &c.nAddress) || c.nAddress == 0) continue;
            ParseIPv4(a->IpMask.String, &c.nNetmask);
            c.strName = p->AdapterName;
            c.nIndex = static_cast<int>(p->Index);
            c.nBroadcast = (c.nAddress & c.nNetmask) | ~c.nNetmask;
            c.nMtu = nMtu;
            if (p->AddressLength == 6) memcpy(c.abyMac, p->Address, 6);
            vec.push_back(c);
        }
    }
    return vec;
}

bool ParseIPv4(const char* psz, uint32_t* pnAddress) {
    if (psz == nullptr) return false;
    in_addr a;
    if (inet_pton(AF_INET, psz, &a) != 1) return false;
    *pnAddress = ntohl(a.s_addr);
    return true;
}

std::string FormatIPv4(uint32_t n) {
    char sz[16];
    snprintf(sz, sizeof sz, "%u.%u.%u.%u", n >> 24, (n >> 16) & 0xFF, (n >> 8) & 0xFF, n & 0xFF);
    return sz;
}

CUdpSocket::~CUdpSocket() { Close(); }

void CUdpSocket::Close() {
    if (m_fd >= 0) closesocket(AsSocket(m_fd));
    m_fd = -1;
}

bool CUdpSocket::Open(uint32_t nAddress, uint16_t nPort, const std::string& strDevice) {
    Close();
    if (!Winsock().bStarted) return false;
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) return false;
    // Socket handles are small kernel handles: they fit the seam's int.
    m_fd = static_cast<int>(s);
    const DWORD one = 1;
    const char* pOne = reinterpret_cast<const char*>(&one);
    setsockopt(s, SOL_SOCKET, SO_BROADCAST, pOne, sizeof one);
    setsockopt(s, IPPROTO_IP, IP_PKTINFO, pOne, sizeof one);
    if (nPort != 0) setsockopt(s, SOL_SOCKET, SO_REUSEADDR, pOne, sizeof one);
    if (!strDevice.empty()) {
        // No binding to a card here: unicast and broadcast leave through it (IP_UNICAST_IF takes
        // the index in network order); what arrives is told apart by its card (IP_PKTINFO).
        SCard card;
        if (!FindCardByName(strDevice, &card)) {
            Close();
            return false;
        }
        DWORD nIndex = htonl(static_cast<u_long>(card.nIndex));
        setsockopt(s, IPPROTO_IP, IP_UNICAST_IF, reinterpret_cast<const char*>(&nIndex), sizeof nIndex);
    }
    sockaddr_in sa;
    FillAddress(&sa, nAddress, nPort);
    if (bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        Close();
        return false;
    }
    return true;
}

uint16_t CUdpSocket::LocalPort() const {
    sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    int n = sizeof sa;
    if (m_fd < 0 || getsockname(AsSocket(m_fd), reinterpret_cast<sockaddr*>(&sa), &n) != 0) return 0;
    return ntohs(sa.sin_port);
}

bool CUdpSocket::SetDontFragment() {
    const DWORD one = 1;
    return setsockopt(AsSocket(m_fd), IPPROTO_IP, IP_DONTFRAGMENT, reinterpret_cast<const char*>(&one), sizeof one) == 0;
}

namespace {
int SetBuffer(SOCKET s, int nOption, int nBytes) {
    setsockopt(s, SOL_SOCKET, nOption, reinterpret_cast<const char*>(&nBytes), sizeof nBytes);
    int nGot = 0, n = sizeof nGot;
    getsockopt(s, SOL_SOCKET, nOption, reinterpret_cast<char*>(&nGot), &n);
    return nGot;  // Windows reports the payload room itself
}
}  // namespace

int CUdpSocket::SetReceiveBuffer(int nBytes) { return SetBuffer(AsSocket(m_fd), SO_RCVBUF, nBytes); }
int CUdpSocket::SetSendBuffer(int nBytes) { return SetBuffer(AsSocket(m_fd), SO_SNDBUF, nBytes); }

bool CUdpSocket::SendTo(const void* p, size_t n, uint32_t nTo, uint16_t nPort, int nIfIndex, uint32_t nSource) {
    return SendTo2(p, n, nullptr, 0, nTo, nPort, nIfIndex, nSource);
}

bool CUdpSocket::SendTo2(const void* p1, size_t n1, const void* p2, size_t n2, uint32_t nTo, uint16_t nPort,
                         int nIfIndex, uint32_t nSource) {
    if (m_fd < 0) return false;
    SOCKET s = AsSocket(m_fd);
    sockaddr_in sa;
    FillAddress(&sa, nTo, nPort);
    WSABUF aBuf[2] = {{static_cast<ULONG>(n1), static_cast<CHAR*>(const_cast<void*>(p1))},
                      {static_cast<ULONG>(n2), static_cast<CHAR*>(const_cast<void*>(p2))}};
    const DWORD nBufs = n2 ? 2 : 1;
    const auto tGiveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(c_nSendStallMs);
    for (;;) {
        DWORD nSent = 0;
        int r;
        if (nIfIndex != 0 || nSource != 0) {
            const SWinsock& ws = Winsock();
            if (ws.pfnSendMsg == nullptr) return false;  // the card asked for cannot be honoured
            SPktInfoControl ctl;
            memset(&ctl, 0, sizeof ctl);
            WSAMSG msg;
            memset(&msg, 0, sizeof msg);
            msg.name = reinterpret_cast<sockaddr*>(&sa);
            msg.namelen = sizeof sa;
            msg.lpBuffers = aBuf;
            msg.dwBufferCount = nBufs;
            msg.Control.buf = ctl.buf;
            msg.Control.len = sizeof ctl.buf;
            WSACMSGHDR* c = WSA_CMSG_FIRSTHDR(&msg);
            c->cmsg_level = IPPROTO_IP;
            c->cmsg_type = IP_PKTINFO;
            c->cmsg_len = WSA_CMSG_LEN(sizeof(IN_PKTINFO));
            IN_PKTINFO pi;
            memset(&pi, 0, sizeof pi);
            pi.ipi_ifindex = static_cast<ULONG>(nIfIndex);
            pi.ipi_addr.s_addr = htonl(nSource);
            memcpy(WSA_CMSG_DATA(c), &pi, sizeof pi);
            r = ws.pfnSendMsg(s, &msg, 0, &nSent, nullptr, nullptr);
        } else {
            r = WSASendTo(s, aBuf, nBufs, &nSent, 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa, nullptr, nullptr);
        }
        if (r == 0) return true;
        const int nErr = WSAGetLastError();
        if (nErr == WSAEINTR) continue;
        if ((nErr == WSAENOBUFS || nErr == WSAEWOULDBLOCK) && m_bNoWait) return false;
        if (nErr == WSAENOBUFS || nErr == WSAEWOULDBLOCK) {
            // The card's queue is full: wait for room rather than lose the datagram here, but
            // not for ever (a card that never drains must not hang the caller).
            if (std::chrono::steady_clock::now() >= tGiveUp) {
                ReportSendStall(1);
                return false;
            }
            Sleep(1);
            continue;
        }
        return false;
    }
}

bool CUdpSocket::SendBatch(const SSendItem* pItems, int nCount, uint32_t nTo, uint16_t nPort, uint32_t nSource) {
    // Windows has no many-datagram send: one call per datagram.
    for (int i = 0; i < nCount; ++i)
        if (!SendTo2(pItems[i].p1, pItems[i].n1, pItems[i].p2, pItems[i].n2, nTo, nPort, 0, nSource)) return false;
    return true;
}

namespace {
// One datagram that is already waiting: its size, 0 when none, -1 on error, -2 when cut.
int ReceiveOne(SOCKET s, void* p, size_t n, SDatagramInfo* pInfo) {
    const SWinsock& ws = Winsock();
    sockaddr_in from;
    memset(&from, 0, sizeof from);
    WSABUF buf = {static_cast<ULONG>(n), static_cast<CHAR*>(p)};
    SPktInfoControl ctl;
    memset(&ctl, 0, sizeof ctl);
    WSAMSG msg;
    memset(&msg, 0, sizeof msg);
    msg.name = reinterpret_cast<sockaddr*>(&from);
    msg.namelen = sizeof from;
    msg.lpBuffers = &buf;
    msg.dwBufferCount = 1;
    msg.Control.buf = ctl.buf;
    msg.Control.len = sizeof ctl.buf;
    DWORD nGot = 0;
    int r;
    if (ws.pfnRecvMsg != nullptr) {
        r = ws.pfnRecvMsg(s, &msg, &nGot, nullptr, nullptr);
    } else {
        int nFrom = sizeof from;
        DWORD nFlags = 0;
        r = WSARecvFrom(s, &buf, 1, &nGot, &nFlags, reinterpret_cast<sockaddr*>(&from), &nFrom, nullptr, nullptr);
        msg.Control.len = 0;
        msg.dwFlags = nFlags;
    }
    if (r != 0) {
        const int nErr = WSAGetLastError();
        // A datagram larger than the buffer was cut: -2, so that the caller counts and drops it.
        if (nErr == WSAEMSGSIZE) {
            if (pInfo) ReadInfo(&msg, from, pInfo);
            return -2;
        }
        // A port-unreachable answer to an earlier send surfaces here; it is no datagram.
        if (nErr == WSAEWOULDBLOCK || nErr == WSAEINTR || nErr == WSAECONNRESET) return 0;
        return -1;
    }
    if (pInfo) ReadInfo(&msg, from, pInfo);
    if (msg.dwFlags & MSG_TRUNC) return -2;
    return static_cast<int>(nGot);
}
}  // namespace

int CUdpSocket::Receive(void* p, size_t n, int nTimeoutMs, SDatagramInfo* pInfo) {
    if (m_fd < 0) return -1;
    const int r = WaitReadable(AsSocket(m_fd), nTimeoutMs);
    if (r <= 0) return r;
    return ReceiveOne(AsSocket(m_fd), p, n, pInfo);
}

int CUdpSocket::ReceiveBatch(SBatchItem* pItems, int nCount, int nTimeoutMs) {
    if (m_fd < 0 || nCount <= 0) return -1;
    const SOCKET s = AsSocket(m_fd);
    int r = WaitReadable(s, nTimeoutMs);
    if (r <= 0) return r;
    int nGot = 0;
    while (nGot < nCount) {
        if (nGot > 0 && WaitReadable(s, 0) <= 0) break;
        const int n = ReceiveOne(s, pItems[nGot].p, pItems[nGot].nCapacity, &pItems[nGot].info);
        if (n == -1) return nGot > 0 ? nGot : -1;
        if (n == 0) break;
        // A cut datagram keeps size 0 and is refused by the decoder as truncated.
        pItems[nGot].nSize = n < 0 ? 0 : static_cast<size_t>(n);
        ++nGot;
    }
    return nGot;
}

}  // namespace OrNet
