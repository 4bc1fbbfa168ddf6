// The operating system seam of the Ethernet path: UDP sockets and the host's cards. Everything
// above it (codecs, sessions, reassembly) is plain C++. Addresses are IPv4 in host order
// (a.b.c.d is a << 24 | b << 16 | c << 8 | d).
#ifndef ORNET_H
#define ORNET_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace OrNet {

struct SCard {
    std::string strName;
    int nIndex = 0;
    uint32_t nAddress = 0;
    uint32_t nNetmask = 0;
    uint32_t nBroadcast = 0;
    unsigned int nMtu = 1500;
    uint8_t abyMac[6] = {};
};

// IPv4 cards that are up, loopback left out.
std::vector<SCard> ListCards();
// The first card that `match` takes; the same on every system, over its own ListCards.
template <typename Match>
bool FindCard(Match match, SCard* pCard) {
    for (const SCard& c : ListCards())
        if (match(c)) {
            *pCard = c;
            return true;
        }
    return false;
}
inline bool FindCardByAddress(uint32_t nAddress, SCard* pCard) {
    return FindCard([&](const SCard& c) { return c.nAddress == nAddress; }, pCard);
}
inline bool FindCardByIndex(int nIndex, SCard* pCard) {
    return FindCard([&](const SCard& c) { return c.nIndex == nIndex; }, pCard);
}
inline bool FindCardByName(const std::string& strName, SCard* pCard) {
    return FindCard([&](const SCard& c) { return c.strName == strName; }, pCard);
}

// A send waits for room in the card's queue at most this long without progress; then the
// datagrams are given up (false) and one line says so, so that a card that never drains cannot
// hang a caller. Lines are thinned out (the first 100, then every 1000th with the count). Both
// systems' sockets use it.
constexpr int c_nSendStallMs = 1000;
inline void ReportSendStall(int nDatagrams) {
    static std::atomic<uint64_t> s_nStalls{0};
    const uint64_t n = ++s_nStalls;
    if (n <= 100 || n % 1000 == 0)
        fprintf(stderr, "ornet: no room to send for %d ms: %d datagram(s) given up (%llu time(s))\n", c_nSendStallMs,
                nDatagrams, static_cast<unsigned long long>(n));
}

bool ParseIPv4(const char* psz, uint32_t* pnAddress);
std::string FormatIPv4(uint32_t nAddress);

struct SDatagramInfo {
    uint32_t nFrom = 0;      // sender address
    uint16_t nFromPort = 0;
    uint32_t nTo = 0;        // address the datagram was sent to (may be a broadcast)
    int nIfIndex = 0;        // card it came through
};

class CUdpSocket {
public:
    CUdpSocket() = default;
    ~CUdpSocket();
    CUdpSocket(const CUdpSocket&) = delete;
    CUdpSocket& operator=(const CUdpSocket&) = delete;

    // Bound to (address, port); port 0 picks one. Broadcast allowed, arrival card and address
    // reported. An empty device name binds to no card.
    bool Open(uint32_t nAddress, uint16_t nPort, const std::string& strDevice = "");
    void Close();
    bool IsOpen() const { return m_fd >= 0; }
    uint16_t LocalPort() const;
    // Don't-fragment on every datagram sent (stream packets must fit the path).
    bool SetDontFragment();
    // Sends never wait for room: a datagram that finds the socket's queue full is dropped and
    // the send answers false (a server whose one thread must not be stalled by one peer).
    void SetNoWait(bool bNoWait) { m_bNoWait = bNoWait; }
    // Asks for a receive or send buffer; answers what the system granted.
    int SetReceiveBuffer(int nBytes);
    int SetSendBuffer(int nBytes);

    // Sends through card nIfIndex (0: by the route) from nSource (0: the card's own).
    bool SendTo(const void* p, size_t n, uint32_t nTo, uint16_t nPort, int nIfIndex = 0,
                uint32_t nSource = 0);
    // Two parts in one datagram (header and payload), without copying them together.
    bool SendTo2(const void* p1, size_t n1, const void* p2, size_t n2, uint32_t nTo, uint16_t nPort,
                 int nIfIndex = 0, uint32_t nSource = 0);
    // Several two-part datagrams to one destination in one system call (stream packets).
    struct SSendItem {
        const void* p1;
        size_t n1;
        const void* p2;
        size_t n2;
    };
    bool SendBatch(const SSendItem* pItems, int nCount, uint32_t nTo, uint16_t nPort, uint32_t nSource = 0);
    // Waits up to nTimeoutMs (negative: forever) for one datagram. Answers its size, 0 on
    // timeout, -1 on error, -2 for a datagram larger than the buffer (dropped).
    int Receive(void* p, size_t n, int nTimeoutMs, SDatagramInfo* pInfo);

    struct SBatchItem {
        uint8_t* p;
        size_t nCapacity;
        size_t nSize;
        SDatagramInfo info;
        // 0: the buffer holds one datagram. Else it holds several datagrams of one sender, each
        // nSegment bytes but the last, which may be shorter (the system joined them). The
        // caller sets it to 0 before the call, so an implementation that never joins
        // datagrams need not touch it.
        size_t nSegment;
    };
    // Up to `count` buffers of datagrams in one system call after waiting up to nTimeoutMs for
    // the first. Give buffers of 64 KiB so that joined datagrams fit.
    int ReceiveBatch(SBatchItem* pItems, int nCount, int nTimeoutMs);

    int Fd() const { return m_fd; }

private:
    int m_fd = -1;
    bool m_bNoGso = false;      // the system refused segmentation offload: plain batches
    bool m_bGroAsked = false;   // receive offload asked for (first ReceiveBatch)
    bool m_bNoWait = false;
};

// Monotonic milliseconds.
int64_t NowMs();

// Fills p with bytes of the system's random source (session keys, cookies, request ids);
// false when the source failed.
bool RandomBytes(void* p, size_t n);
// A random 64-bit value that is never 0 (0 means "no session" on the wire). Should the system's
// source fail, the clock and the address of a local stand in: worse, but never a fixed value.
inline uint64_t RandomNonZero64() {
    uint64_t n = 0;
    for (int nTry = 0; n == 0; ++nTry) {
        if (nTry >= 3 || !RandomBytes(&n, sizeof n))
            n = static_cast<uint64_t>(NowMs()) * 0x9E3779B97F4A7C15ull ^ reinterpret_cast<uintptr_t>(&n);
    }
    return n;
}

}  // namespace OrNet

#endif
