// Test peers that speak the Ethernet wire protocol byte by byte:
//
//   CWireClient: a hand-made host with its own control and stream sockets (made in the network
//   namespace of the thread that constructs it), which takes a session with Connect and sends
//   requests with the session's key, or without it.
//   CForger: a third machine's raw socket that sends any UDP datagram from any source address
//   and port (root; used inside the namespace lab only).
//
//   kxtest::CWireClient c(IPv4(192, 0, 2, 10));
//   ASSERT_EQ(c.Connect(), 0);
//   EXPECT_EQ(c.Request(OrWire::Op_EnableStream, {1}), 0);
//   EXPECT_GT(c.StreamPackets(300), 0);
#pragma once

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "orwire.h"

namespace kxtest {

constexpr uint32_t IPv4(unsigned a, unsigned b, unsigned c, unsigned d) { return a << 24 | b << 16 | c << 8 | d; }

inline sockaddr_in SockAddr(uint32_t nIp, uint16_t nPort) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(nPort);
    sa.sin_addr.s_addr = htonl(nIp);
    return sa;
}

inline int UdpSocket(uint32_t nBind = 0, uint16_t nPort = 0) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa = SockAddr(nBind, nPort);
    bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    return fd;
}

inline uint16_t LocalPort(int fd) {
    sockaddr_in sa{};
    socklen_t n = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &n);
    return ntohs(sa.sin_port);
}

// Datagrams that reach fd within nMs (each read and thrown away).
inline int CountDatagrams(int fd, int nMs) {
    int n = 0;
    uint8_t buf[65536];
    const auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMs);
    while (std::chrono::steady_clock::now() < tEnd) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, 20) > 0 && recv(fd, buf, sizeof buf, 0) >= 0) ++n;
    }
    return n;
}

class CWireClient {
public:
    explicit CWireClient(uint32_t nCamera) : m_nCamera(nCamera), m_fdControl(UdpSocket()), m_fdStream(UdpSocket()) {}
    ~CWireClient() {
        close(m_fdControl);
        close(m_fdStream);
    }
    CWireClient(const CWireClient&) = delete;
    CWireClient& operator=(const CWireClient&) = delete;

    // The status of the answer; -1 without an answer within 1 s, -2 for a malformed one.
    int Request(uint16_t nOp, std::vector<int32_t> args, const std::vector<uint8_t>& data = {},
                std::vector<uint8_t>* pReplyData = nullptr, bool bWithKey = true) {
        OrWire::SHeader h;
        h.nRequestId = m_nNextId++;
        h.nNonce = h.nRequestId * 2654435761u;
        h.nSession = bWithKey ? m_nSession : 0;
        OrWire::SControlRequest r;
        r.nOp = nOp;
        for (size_t i = 0; i < args.size() && i < 6; ++i) r.anArg[i] = args[i];
        r.pData = data.data();
        r.nData = static_cast<uint32_t>(data.size());
        r.nTotal = r.nData;
        std::vector<uint8_t> msg;
        OrWire::EncodeControlRequest(msg, h, r);
        const sockaddr_in cam = SockAddr(m_nCamera, OrWire::c_nControlPort);
        sendto(m_fdControl, msg.data(), msg.size(), 0, reinterpret_cast<const sockaddr*>(&cam), sizeof cam);
        std::vector<uint8_t> buf(65536);
        const auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(1000);
        while (std::chrono::steady_clock::now() < tEnd) {
            pollfd pfd{m_fdControl, POLLIN, 0};
            if (poll(&pfd, 1, 50) <= 0) continue;
            const ssize_t got = recv(m_fdControl, buf.data(), buf.size(), 0);
            OrWire::SHeader hr;
            OrWire::SControlReply rep;
            if (got <= 0) continue;
            if (OrWire::DecodeControlReply(buf.data(), static_cast<size_t>(got), &hr, &rep) != OrWire::Ok) return -2;
            if (hr.nRequestId != h.nRequestId) continue;
            if (pReplyData) pReplyData->assign(rep.pData, rep.pData + rep.nData);
            m_nLastReplySession = hr.nSession;
            return hr.nStatus;
        }
        return -1;
    }
    // Takes control (the stream to this client's stream socket) and confirms the stream.
    int Connect(int32_t nMtu = 1500) {
        std::vector<uint8_t> data;
        const int n = Request(OrWire::Op_Connect, {static_cast<int32_t>(StreamPort()), nMtu}, {}, &data);
        if (n != 0) return n;
        m_nSession = m_nLastReplySession;
        if (!OrWire::DecodeConnectInfo(data.data(), data.size(), &m_sInfo)) return -2;
        Confirm();
        return 0;
    }
    void Confirm() {
        OrWire::SHeader h;
        h.nSession = m_nSession;
        std::vector<uint8_t> msg;
        OrWire::EncodeStreamConfirm(msg, h, m_sInfo.nCookie);
        const sockaddr_in cam = SockAddr(m_nCamera, OrWire::c_nControlPort);
        sendto(m_fdStream, msg.data(), msg.size(), 0, reinterpret_cast<const sockaddr*>(&cam), sizeof cam);
    }
    int StreamPackets(int nMs) { return CountDatagrams(m_fdStream, nMs); }
    uint16_t StreamPort() const { return LocalPort(m_fdStream); }
    uint16_t ControlPort() const { return LocalPort(m_fdControl); }
    uint64_t Session() const { return m_nSession; }
    const OrWire::SConnectInfo& Info() const { return m_sInfo; }
    int StreamFd() const { return m_fdStream; }

private:
    uint32_t m_nCamera;
    int m_fdControl, m_fdStream;
    uint32_t m_nNextId = 1;
    uint64_t m_nSession = 0, m_nLastReplySession = 0;
    OrWire::SConnectInfo m_sInfo;
};

class CForger {
public:
    // A raw socket on card `strCard` of the current namespace.
    explicit CForger(const std::string& strCard = "eth0") {
        m_fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW);
        const int one = 1;
        setsockopt(m_fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
        setsockopt(m_fd, SOL_SOCKET, SO_BINDTODEVICE, strCard.c_str(), static_cast<socklen_t>(strCard.size()));
    }
    ~CForger() {
        if (m_fd >= 0) close(m_fd);
    }
    CForger(const CForger&) = delete;
    CForger& operator=(const CForger&) = delete;
    bool Ok() const { return m_fd >= 0; }

    // One UDP datagram from nFrom:nFromPort to nTo:nToPort (the kernel fills the IP checksum).
    bool Send(uint32_t nFrom, uint16_t nFromPort, uint32_t nTo, uint16_t nToPort, const std::vector<uint8_t>& payload) {
        std::vector<uint8_t> pkt(sizeof(iphdr) + sizeof(udphdr) + payload.size());
        iphdr ip{};
        ip.version = 4;
        ip.ihl = 5;
        ip.ttl = 64;
        ip.protocol = IPPROTO_UDP;
        ip.tot_len = htons(static_cast<uint16_t>(pkt.size()));
        ip.saddr = htonl(nFrom);
        ip.daddr = htonl(nTo);
        udphdr udp{};
        udp.source = htons(nFromPort);
        udp.dest = htons(nToPort);
        udp.len = htons(static_cast<uint16_t>(sizeof(udphdr) + payload.size()));
        udp.check = 0;  // none: allowed for IPv4
        memcpy(pkt.data(), &ip, sizeof ip);
        memcpy(pkt.data() + sizeof ip, &udp, sizeof udp);
        if (!payload.empty()) memcpy(pkt.data() + sizeof ip + sizeof udp, payload.data(), payload.size());
        const sockaddr_in to = SockAddr(nTo, nToPort);
        return sendto(m_fd, pkt.data(), pkt.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
               static_cast<ssize_t>(pkt.size());
    }

private:
    int m_fd = -1;
};

}  // namespace kxtest
