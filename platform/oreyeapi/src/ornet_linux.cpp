// Linux side of the Ethernet path's seam: getifaddrs for the cards, ioctl for MTU and MAC,
// UDP sockets with IP_PKTINFO so that the card of every datagram is known and a broadcast goes
// out through the card asked for (no privilege needed).
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "ornet.h"

namespace OrNet {
namespace {
void ReadLinkDetails(SCard* c) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    ifreq ifr{};
    snprintf(ifr.ifr_name, IFNAMSIZ, "%s", c->strName.c_str());
    if (ioctl(fd, SIOCGIFMTU, &ifr) == 0 && ifr.ifr_mtu > 0) c->nMtu = static_cast<unsigned int>(ifr.ifr_mtu);
    if (ioctl(fd, SIOCGIFHWADDR, &ifr) == 0) memcpy(c->abyMac, ifr.ifr_hwaddr.sa_data, 6);
    close(fd);
}

void FillAddress(sockaddr_in* sa, uint32_t nAddress, uint16_t nPort) {
    memset(sa, 0, sizeof(*sa));
    sa->sin_family = AF_INET;
    sa->sin_addr.s_addr = htonl(nAddress);
    sa->sin_port = htons(nPort);
}

// Control message asking for the outgoing card and source address.
struct SPktInfoControl {
    alignas(cmsghdr) unsigned char buf[CMSG_SPACE(sizeof(in_pktinfo))];
};

// Room for the arrival card and address, and the segment size of joined datagrams.
struct SRecvControl {
    alignas(cmsghdr) unsigned char buf[CMSG_SPACE(sizeof(in_pktinfo)) + CMSG_SPACE(sizeof(int))];
};

void ReadInfo(msghdr* msg, const sockaddr_in& from, SDatagramInfo* pInfo, size_t* pnSegment = nullptr) {
    pInfo->nFrom = ntohl(from.sin_addr.s_addr);
    pInfo->nFromPort = ntohs(from.sin_port);
    pInfo->nTo = 0;
    pInfo->nIfIndex = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(msg); c != nullptr; c = CMSG_NXTHDR(msg, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo pi;
            memcpy(&pi, CMSG_DATA(c), sizeof(pi));
            pInfo->nTo = ntohl(pi.ipi_addr.s_addr);
            pInfo->nIfIndex = pi.ipi_ifindex;
        } else if (c->cmsg_level == SOL_UDP && c->cmsg_type == UDP_GRO && pnSegment != nullptr) {
            int nSeg = 0;
            memcpy(&nSeg, CMSG_DATA(c), sizeof nSeg);
            *pnSegment = nSeg > 0 ? static_cast<size_t>(nSeg) : 0;
        }
    }
}
}  // namespace

bool RandomBytes(void* p, size_t n) {
    uint8_t* pb = static_cast<uint8_t*>(p);
    while (n > 0) {
        const ssize_t r = getrandom(pb, n, 0);
        if (r < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        pb += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::vector<SCard> ListCards() {
    std::vector<SCard> vec;
    ifaddrs* pList = nullptr;
    if (getifaddrs(&pList) != 0) return vec;
    for (ifaddrs* p = pList; p != nullptr; p = p->ifa_next) {
        if (p->ifa_addr == nullptr || p->ifa_addr->sa_family != AF_INET) continue;
        if ((p->ifa_flags & IFF_UP) == 0 || (p->ifa_flags & IFF_LOOPBACK) != 0) continue;
        SCard c;
        c.strName = p->ifa_name;
        c.nIndex = static_cast<int>(if_nametoindex(p->ifa_name));
        c.nAddress = ntohl(reinterpret_cast<sockaddr_in*>(p->ifa_addr)->sin_addr.s_addr);
        if (p->ifa_netmask) c.nNetmask = ntohl(reinterpret_cast<sockaddr_in*>(p->ifa_netmask)->sin_addr.s_addr);
        c.nBroadcast = (c.nAddress & c.nNetmask) | ~c.nNetmask;
        ReadLinkDetails(&c);
        vec.push_back(c);
    }
    freeifaddrs(pList);
    return vec;
}

bool ParseIPv4(const char* psz, uint32_t* pnAddress) {
    if (psz == nullptr) return false;
    in_addr a{};
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
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
}

bool CUdpSocket::Open(uint32_t nAddress, uint16_t nPort, const std::string& strDevice) {
    Close();
    m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) return false;
    const int one = 1;
    setsockopt(m_fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    setsockopt(m_fd, IPPROTO_IP, IP_PKTINFO, &one, sizeof one);
    if (nPort != 0) setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (!strDevice.empty() &&
        setsockopt(m_fd, SOL_SOCKET, SO_BINDTODEVICE, strDevice.c_str(),
                   static_cast<socklen_t>(strDevice.size())) != 0) {
        Close();
        return false;
    }
    sockaddr_in sa;
    FillAddress(&sa, nAddress, nPort);
    if (bind(m_fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        Close();
        return false;
    }
    return true;
}

uint16_t CUdpSocket::LocalPort() const {
    sockaddr_in sa{};
    socklen_t n = sizeof sa;
    if (m_fd < 0 || getsockname(m_fd, reinterpret_cast<sockaddr*>(&sa), &n) != 0) return 0;
    return ntohs(sa.sin_port);
}

bool CUdpSocket::SetDontFragment() {
    const int v = IP_PMTUDISC_DO;
    return setsockopt(m_fd, IPPROTO_IP, IP_MTU_DISCOVER, &v, sizeof v) == 0;
}

int CUdpSocket::SetReceiveBuffer(int nBytes) {
    // The forcing form lifts the system cap when the process may do so; else the plain form.
    if (setsockopt(m_fd, SOL_SOCKET, SO_RCVBUFFORCE, &nBytes, sizeof nBytes) != 0)
        setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &nBytes, sizeof nBytes);
    int nGot = 0;
    socklen_t n = sizeof nGot;
    getsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &nGot, &n);
    return nGot / 2;  // the system reports twice the payload room it grants
}

int CUdpSocket::SetSendBuffer(int nBytes) {
    if (setsockopt(m_fd, SOL_SOCKET, SO_SNDBUFFORCE, &nBytes, sizeof nBytes) != 0)
        setsockopt(m_fd, SOL_SOCKET, SO_SNDBUF, &nBytes, sizeof nBytes);
    int nGot = 0;
    socklen_t n = sizeof nGot;
    getsockopt(m_fd, SOL_SOCKET, SO_SNDBUF, &nGot, &n);
    return nGot / 2;
}

bool CUdpSocket::SendTo(const void* p, size_t n, uint32_t nTo, uint16_t nPort, int nIfIndex, uint32_t nSource) {
    return SendTo2(p, n, nullptr, 0, nTo, nPort, nIfIndex, nSource);
}

bool CUdpSocket::SendTo2(const void* p1, size_t n1, const void* p2, size_t n2, uint32_t nTo,
                         uint16_t nPort, int nIfIndex, uint32_t nSource) {
    if (m_fd < 0) return false;
    sockaddr_in sa;
    FillAddress(&sa, nTo, nPort);
    iovec iov[2] = {{const_cast<void*>(p1), n1}, {const_cast<void*>(p2), n2}};
    msghdr msg{};
    msg.msg_name = &sa;
    msg.msg_namelen = sizeof sa;
    msg.msg_iov = iov;
    msg.msg_iovlen = n2 ? 2 : 1;
    SPktInfoControl ctl{};
    if (nIfIndex != 0 || nSource != 0) {
        msg.msg_control = ctl.buf;
        msg.msg_controllen = sizeof ctl.buf;
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = IPPROTO_IP;
        c->cmsg_type = IP_PKTINFO;
        c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo pi{};
        pi.ipi_ifindex = nIfIndex;
        pi.ipi_spec_dst.s_addr = htonl(nSource);
        memcpy(CMSG_DATA(c), &pi, sizeof pi);
    }
    const auto tGiveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(c_nSendStallMs);
    for (;;) {
        // Never a wait inside the kernel (a full send buffer would block there for as long as
        // the card does not drain): the wait for room is the bounded one below, or none.
        const ssize_t r = sendmsg(m_fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r >= 0) return true;
        if (errno == EINTR) continue;
        if ((errno == ENOBUFS || errno == EAGAIN) && m_bNoWait) return false;
        if (errno == ENOBUFS || errno == EAGAIN) {
            // The card's queue is full: wait for room rather than lose the datagram here, but
            // not for ever (a card that never drains must not hang the caller).
            if (std::chrono::steady_clock::now() >= tGiveUp) {
                ReportSendStall(1);
                return false;
            }
            pollfd pfd{m_fd, POLLOUT, 0};
            poll(&pfd, 1, 10);
            continue;
        }
        return false;
    }
}

bool CUdpSocket::SendBatch(const SSendItem* pItems, int nCount, uint32_t nTo, uint16_t nPort, uint32_t nSource) {
    if (m_fd < 0) return false;
    // Runs of datagrams of one size go out as one buffer the kernel cuts into datagrams (UDP
    // segmentation offload): the route, the headers and the socket accounting are paid once per
    // run instead of once per datagram, which is most of a sender's cost. The datagrams on the
    // wire are the same. Where the system or the card refuses it, plain batches take over.
    constexpr int c_nMaxMsgs = 64;
    constexpr int c_nMaxSegments = 64;    // the kernel's own limit is at least this
    constexpr size_t c_nMaxGsoBytes = 65507;  // one IPv4 datagram's payload at most
    sockaddr_in sa;
    FillAddress(&sa, nTo, nPort);
    struct SCtl {
        alignas(cmsghdr) unsigned char buf[CMSG_SPACE(sizeof(in_pktinfo)) + CMSG_SPACE(sizeof(uint16_t))];
    };
    mmsghdr amsg[c_nMaxMsgs];
    SCtl actl[c_nMaxMsgs];
    int anItems[c_nMaxMsgs];  // items carried by each message
    std::vector<iovec> vecIov(static_cast<size_t>(2 * (nCount < c_nMaxMsgs * c_nMaxSegments ? nCount : c_nMaxMsgs * c_nMaxSegments)));
    auto tGiveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(c_nSendStallMs);
    for (int nDone = 0; nDone < nCount;) {
        // Build up to c_nMaxMsgs messages from the items not yet sent.
        int nMsgs = 0;
        size_t nIov = 0;
        for (int i = nDone; i < nCount && nMsgs < c_nMaxMsgs;) {
            const size_t nSeg = pItems[i].n1 + pItems[i].n2;
            int nRun = 1;
            if (!m_bNoGso && nSeg > 0) {
                const size_t nFit = c_nMaxGsoBytes / nSeg;
                const int nLimit = static_cast<int>(nFit < c_nMaxSegments ? nFit : c_nMaxSegments);
                // Equal sizes; only the run's last datagram may be shorter.
                while (nRun < nLimit && i + nRun < nCount && nIov + 2 * static_cast<size_t>(nRun + 1) <= vecIov.size()) {
                    const size_t n = pItems[i + nRun].n1 + pItems[i + nRun].n2;
                    if (n > nSeg) break;
                    ++nRun;
                    if (n < nSeg) break;
                }
            }
            if (nIov + 2 * static_cast<size_t>(nRun) > vecIov.size()) break;
            mmsghdr& m = amsg[nMsgs];
            memset(&m, 0, sizeof m);
            m.msg_hdr.msg_name = &sa;
            m.msg_hdr.msg_namelen = sizeof sa;
            m.msg_hdr.msg_iov = &vecIov[nIov];
            for (int k = 0; k < nRun; ++k) {
                const SSendItem& it = pItems[i + k];
                vecIov[nIov++] = {const_cast<void*>(it.p1), it.n1};
                if (it.n2) vecIov[nIov++] = {const_cast<void*>(it.p2), it.n2};
            }
            m.msg_hdr.msg_iovlen = static_cast<size_t>(&vecIov[0] + nIov - static_cast<iovec*>(m.msg_hdr.msg_iov));
            size_t nCtl = 0;
            memset(actl[nMsgs].buf, 0, sizeof actl[nMsgs].buf);
            m.msg_hdr.msg_control = actl[nMsgs].buf;
            m.msg_hdr.msg_controllen = sizeof actl[nMsgs].buf;
            cmsghdr* c = CMSG_FIRSTHDR(&m.msg_hdr);
            if (nSource != 0) {
                c->cmsg_level = IPPROTO_IP;
                c->cmsg_type = IP_PKTINFO;
                c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
                in_pktinfo pi{};
                pi.ipi_spec_dst.s_addr = htonl(nSource);
                memcpy(CMSG_DATA(c), &pi, sizeof pi);
                nCtl += CMSG_SPACE(sizeof(in_pktinfo));
                c = CMSG_NXTHDR(&m.msg_hdr, c);
            }
            if (nRun > 1) {
                c->cmsg_level = SOL_UDP;
                c->cmsg_type = UDP_SEGMENT;
                c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
                const uint16_t nGso = static_cast<uint16_t>(nSeg);
                memcpy(CMSG_DATA(c), &nGso, sizeof nGso);
                nCtl += CMSG_SPACE(sizeof(uint16_t));
            }
            m.msg_hdr.msg_controllen = nCtl;
            if (nCtl == 0) m.msg_hdr.msg_control = nullptr;
            anItems[nMsgs++] = nRun;
            i += nRun;
        }
        const int r = sendmmsg(m_fd, amsg, static_cast<unsigned int>(nMsgs), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r > 0) {
            for (int k = 0; k < r; ++k) nDone += anItems[k];
            tGiveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(c_nSendStallMs);
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r == 0 || errno == ENOBUFS || errno == EAGAIN) {
            // The card's queue is full: wait for room rather than lose the datagrams here, but
            // not for ever: without progress for the stall limit the rest is given up.
            if (std::chrono::steady_clock::now() >= tGiveUp) {
                ReportSendStall(nCount - nDone);
                return false;
            }
            pollfd pfd{m_fd, POLLOUT, 0};
            poll(&pfd, 1, 10);
            continue;
        }
        if (!m_bNoGso && anItems[0] > 1 && (errno == EIO || errno == EINVAL || errno == ENOPROTOOPT || errno == EOPNOTSUPP)) {
            // No segmentation offload on this path (a card without checksum offload answers
            // EIO): one datagram per message from now on.
            m_bNoGso = true;
            continue;
        }
        return false;
    }
    return true;
}

int CUdpSocket::Receive(void* p, size_t n, int nTimeoutMs, SDatagramInfo* pInfo) {
    if (m_fd < 0) return -1;
    pollfd pfd{m_fd, POLLIN, 0};
    int r;
    do {
        r = poll(&pfd, 1, nTimeoutMs);
    } while (r < 0 && errno == EINTR);
    if (r <= 0) return r;
    sockaddr_in from{};
    iovec iov{p, n};
    SPktInfoControl ctl{};
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = ctl.buf;
    msg.msg_controllen = sizeof ctl.buf;
    const ssize_t got = recvmsg(m_fd, &msg, MSG_DONTWAIT);
    if (got < 0) return (errno == EAGAIN || errno == EINTR) ? 0 : -1;
    // A datagram larger than the buffer was cut: -2, so that the caller counts and drops it.
    if (pInfo) ReadInfo(&msg, from, pInfo);
    if (msg.msg_flags & MSG_TRUNC) return -2;
    return static_cast<int>(got);
}

int CUdpSocket::ReceiveBatch(SBatchItem* pItems, int nCount, int nTimeoutMs) {
    if (m_fd < 0 || nCount <= 0) return -1;
    constexpr int c_nMax = 64;
    if (nCount > c_nMax) nCount = c_nMax;
    if (!m_bGroAsked) {
        // Datagrams of one sender may come in runs of one size joined in one buffer (receive
        // offload): one copy and one slot for up to 64 KiB instead of one per datagram. Only
        // this call knows how to split them, so the socket asks for it on its first batch.
        m_bGroAsked = true;
        const int one = 1;
        setsockopt(m_fd, SOL_UDP, UDP_GRO, &one, sizeof one);
    }
    pollfd pfd{m_fd, POLLIN, 0};
    int r;
    do {
        r = poll(&pfd, 1, nTimeoutMs);
    } while (r < 0 && errno == EINTR);
    if (r <= 0) return r;
    mmsghdr amsg[c_nMax];
    iovec aiov[c_nMax];
    sockaddr_in afrom[c_nMax];
    SRecvControl actl[c_nMax];
    for (int i = 0; i < nCount; ++i) {
        aiov[i] = {pItems[i].p, pItems[i].nCapacity};
        memset(&amsg[i], 0, sizeof amsg[i]);
        amsg[i].msg_hdr.msg_name = &afrom[i];
        amsg[i].msg_hdr.msg_namelen = sizeof afrom[i];
        amsg[i].msg_hdr.msg_iov = &aiov[i];
        amsg[i].msg_hdr.msg_iovlen = 1;
        amsg[i].msg_hdr.msg_control = actl[i].buf;
        amsg[i].msg_hdr.msg_controllen = sizeof actl[i].buf;
    }
    const int got = recvmmsg(m_fd, amsg, static_cast<unsigned int>(nCount), MSG_DONTWAIT, nullptr);
    if (got < 0) return (errno == EAGAIN || errno == EINTR) ? 0 : -1;
    for (int i = 0; i < got; ++i) {
        // A cut datagram keeps size 0 and is refused by the decoder as truncated.
        pItems[i].nSize = (amsg[i].msg_hdr.msg_flags & MSG_TRUNC) ? 0 : amsg[i].msg_len;
        pItems[i].nSegment = 0;
        ReadInfo(&amsg[i].msg_hdr, afrom[i], &pItems[i].info, &pItems[i].nSegment);
        if (pItems[i].nSegment >= pItems[i].nSize) pItems[i].nSegment = 0;
    }
    return got;
}

}  // namespace OrNet
