// A camera of the wire protocol made by hand on a loopback address, for tests of the library's
// stream receiver that need no root: it answers the control requests a capture needs (Connect
// with a session, heartbeats, image transfer, stream on and off, single grabs), records the
// resend requests and stream confirmations it gets, and sends whatever stream packets a test
// makes, from its stream socket or from anywhere else.
//
//   CFakeCamera cam;                       // on 127.0.0.x, port 51200
//   IOrEyeCamera* p = CreateOrEyeApi(OREYEAPI_TYPE_ETHERNET);
//   p->InitDevice(0, 0, 0, 0, cam.Address().c_str());
//   cam.SendFrame(1, Bytes(5000));         // all its packets, in order
#pragma once

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "orwire.h"

namespace kxtest {

class CFakeCamera {
public:
    static constexpr unsigned int c_nMtu = 1500;

    CFakeCamera() {
        // A loopback address of its own, so that test programs running side by side do not meet.
        for (unsigned int i = 0; i < 250 && m_fdControl < 0; ++i) {
            const uint32_t nIp = (127u << 24) | (1u + (static_cast<unsigned>(getpid()) + i) % 250u) << 8 | 77u;
            const int fd = Socket(nIp, OrWire::c_nControlPort);
            if (fd >= 0) {
                m_fdControl = fd;
                m_nIp = nIp;
            }
        }
        m_fdStream = Socket(m_nIp, 0);
        m_th = std::thread([this] { Serve(); });
    }
    ~CFakeCamera() {
        m_bQuit = true;
        m_th.join();
        close(m_fdControl);
        close(m_fdStream);
    }
    CFakeCamera(const CFakeCamera&) = delete;
    CFakeCamera& operator=(const CFakeCamera&) = delete;

    bool Ok() const { return m_fdControl >= 0 && m_fdStream >= 0; }
    uint32_t Ip() const { return m_nIp; }
    std::string Address() const {
        char sz[16];
        snprintf(sz, sizeof sz, "%u.%u.%u.%u", m_nIp >> 24, (m_nIp >> 16) & 255, (m_nIp >> 8) & 255, m_nIp & 255);
        return sz;
    }
    uint16_t Stride() const { return OrWire::StreamStride(c_nMtu, c_nMtu); }
    uint64_t StreamKey() const { return m_nStreamKey; }

    // A socket on this camera's address or another, for packets from elsewhere.
    static int Socket(uint32_t nIp, uint16_t nPort) {
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(nPort);
        sa.sin_addr.s_addr = htonl(nIp);
        if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
            close(fd);
            return -1;
        }
        return fd;
    }

    // One packet of a frame as the camera cuts it; `edit` may change the header before it goes.
    void SendPacket(uint32_t nFrameId, uint32_t nIndex, const std::vector<uint8_t>& frame, uint16_t nFlags = 0,
                    const std::function<void(OrWire::SStreamHeader&)>& edit = nullptr, int fdFrom = -1) {
        OrWire::SStreamHeader s;
        s.nFlags = nFlags;
        s.nFrameId = nFrameId;
        s.nIndex = nIndex;
        s.nStride = Stride();
        s.nFrameBytes = static_cast<uint32_t>(frame.size());
        s.nCount = OrWire::PacketCount(s.nFrameBytes, s.nStride);
        s.nOffset = nIndex * s.nStride;
        s.nPayload = static_cast<uint16_t>(nIndex + 1 < s.nCount ? s.nStride : s.nFrameBytes - s.nOffset);
        s.nKey = m_nStreamKey;
        if (edit) edit(s);
        std::vector<uint8_t> pkt(OrWire::c_nStreamHeaderBytes);
        OrWire::EncodeStreamHeader(pkt.data(), s);
        const size_t nAt = std::min<size_t>(s.nOffset, frame.size());
        pkt.insert(pkt.end(), frame.begin() + static_cast<long>(nAt),
                   frame.begin() + static_cast<long>(std::min<size_t>(nAt + s.nPayload, frame.size())));
        pkt.resize(OrWire::c_nStreamHeaderBytes + s.nPayload);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(m_nHostStreamPort);
        to.sin_addr.s_addr = htonl(m_nHost);
        sendto(fdFrom >= 0 ? fdFrom : m_fdStream, pkt.data(), pkt.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    uint32_t Packets(size_t nFrameBytes) const { return OrWire::PacketCount(static_cast<uint32_t>(nFrameBytes), Stride()); }
    // Every packet of the frame but those in `skip`, in order.
    void SendFrame(uint32_t nFrameId, const std::vector<uint8_t>& frame, const std::vector<uint32_t>& skip = {},
                   uint16_t nFlags = 0) {
        for (uint32_t i = 0; i < Packets(frame.size()); ++i)
            if (std::find(skip.begin(), skip.end(), i) == skip.end()) SendPacket(nFrameId, i, frame, nFlags);
    }

    // Resend requests received so far.
    std::vector<OrWire::SResendRequest> Resends() {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_vecResends;
    }
    bool WaitResends(size_t n, int nMs) {
        std::unique_lock<std::mutex> lock(m_mtx);
        return m_cv.wait_for(lock, std::chrono::milliseconds(nMs), [&] { return m_vecResends.size() >= n; });
    }
    int Confirms() const { return m_nConfirms.load(); }
    // What the GrabFrame operation does before it answers (send the grab's packets), and the
    // frame id its answer names.
    void OnGrab(uint32_t nFrameId, std::function<void()> fn) {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_nGrabId = nFrameId;
        m_fnGrab = std::move(fn);
    }

private:
    void Serve() {
        std::vector<uint8_t> buf(65536), msg;
        while (!m_bQuit) {
            pollfd pfd{m_fdControl, POLLIN, 0};
            if (poll(&pfd, 1, 20) <= 0) continue;
            sockaddr_in from{};
            socklen_t nFrom = sizeof from;
            const ssize_t n = recvfrom(m_fdControl, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &nFrom);
            if (n <= 0) continue;
            OrWire::SHeader h;
            if (OrWire::DecodeHeader(buf.data(), static_cast<size_t>(n), &h) != OrWire::Ok) continue;
            if (h.nType == OrWire::Type_ResendRequest) {
                OrWire::SResendRequest r;
                if (OrWire::DecodeResendRequest(buf.data(), static_cast<size_t>(n), &h, &r) == OrWire::Ok &&
                    h.nSession == m_nSession) {
                    std::lock_guard<std::mutex> lock(m_mtx);
                    m_vecResends.push_back(r);
                    m_cv.notify_all();
                }
                continue;
            }
            if (h.nType == OrWire::Type_StreamConfirm) {
                ++m_nConfirms;
                continue;
            }
            OrWire::SControlRequest r;
            if (OrWire::DecodeControlRequest(buf.data(), static_cast<size_t>(n), &h, &r) != OrWire::Ok) continue;
            OrWire::SHeader hr;
            hr.nRequestId = h.nRequestId;
            hr.nNonce = h.nNonce;
            hr.nSession = m_nSession;
            OrWire::SControlReply rep;
            rep.nOp = r.nOp;
            uint8_t abyInfo[OrWire::c_nConnectInfoBytes];
            if (r.nOp == OrWire::Op_Connect) {
                m_nHost = ntohl(from.sin_addr.s_addr);
                m_nHostStreamPort = static_cast<uint16_t>(r.anArg[0]);
                hr.nSession = m_nSession;
                OrWire::SConnectInfo ci;
                ci.nStreamKey = m_nStreamKey;
                ci.nCookie = 99;
                sockaddr_in sa{};
                socklen_t ns = sizeof sa;
                getsockname(m_fdStream, reinterpret_cast<sockaddr*>(&sa), &ns);
                ci.nStreamPort = ntohs(sa.sin_port);
                OrWire::EncodeConnectInfo(abyInfo, ci);
                rep.anValue[0] = static_cast<int32_t>(c_nMtu);
                rep.pData = abyInfo;
                rep.nData = sizeof abyInfo;
            } else if (r.nOp == OrWire::Op_GrabFrame) {
                std::function<void()> fn;
                {
                    std::lock_guard<std::mutex> lock(m_mtx);
                    fn = m_fnGrab;
                    rep.anValue[0] = static_cast<int32_t>(m_nGrabId);
                }
                if (fn) fn();
            }
            OrWire::EncodeControlReply(msg, hr, rep);
            sendto(m_fdControl, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr*>(&from), nFrom);
        }
    }

    int m_fdControl = -1, m_fdStream = -1;
    uint32_t m_nIp = 0;
    std::atomic<bool> m_bQuit{false};
    std::thread m_th;
    const uint64_t m_nSession = 0x5E55105E55105E55ull;
    const uint64_t m_nStreamKey = 0x57AEA3C0FFEE0001ull;
    std::atomic<uint32_t> m_nHost{0};
    std::atomic<uint16_t> m_nHostStreamPort{0};
    std::mutex m_mtx;
    std::condition_variable m_cv;
    std::vector<OrWire::SResendRequest> m_vecResends;
    std::atomic<int> m_nConfirms{0};
    uint32_t m_nGrabId = 0;
    std::function<void()> m_fnGrab;
};

}  // namespace kxtest
