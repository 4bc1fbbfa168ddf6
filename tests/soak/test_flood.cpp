// Flood: a third host on the camera's segment sends malformed and foreign datagrams at the
// camera's control port and at the host's control and stream ports while a stream runs. The
// stream goes on, and every bad datagram that was not lost in a full socket buffer is counted:
// by the library (ignored packets, stale replies) and by the emulator ("N datagram(s) refused").
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cinttypes>
#include <cstring>
#include <random>
#include <sstream>
#include <regex>

#include "orwire.h"
#include "soak/soak_support.h"
#include "support/kxemulab.h"

using namespace std::chrono_literals;

namespace {

using kxtest::ReadFile;
using kxtest::WaitFor;

struct SFrames {
    IOrEyeCamera* pCamera = nullptr;
    std::atomic<uint64_t> nFrames{0};
    static void Callback(int nEvent, int, void*, unsigned int, unsigned int nBufferId, void* pContext) {
        SFrames* p = static_cast<SFrames*>(pContext);
        if (nEvent != c_nOrEyeEventFrame) return;
        p->pCamera->ReleaseFrameBuffer(nBufferId);
        ++p->nFrames;
    }
};

// Receive-buffer overflows of a namespace's UDP sockets so far (those datagrams reach nobody).
uint64_t UdpBufferErrors(kxtest::CNetLab& lab, const std::string& ns) {
    std::string out;
    lab.Exec(ns, "cat /proc/net/snmp", &out);
    std::istringstream in(out);
    std::string strHead, strValues, line;
    while (std::getline(in, line)) {
        if (line.rfind("Udp: ", 0) != 0) continue;
        if (strHead.empty()) strHead = line;
        else strValues = line;
    }
    std::istringstream h(strHead), v(strValues);
    std::string strName, strValue;
    while (h >> strName && v >> strValue)
        if (strName == "RcvbufErrors") return std::stoull(strValue);
    return 0;
}

class Flood : public kxtest::EmulatorTest {};

TEST_F(Flood, BadDatagramsAreCountedAndTheStreamGoesOn) {
    // One segment: host, camera and a stranger on a bridge.
    const std::string sw = m_pLab->AddNamespace("switch"), stranger = m_pLab->AddNamespace("stranger");
    m_pLab->Link(m_host, "eth0", "192.0.2.1/24", sw, "p1", "");
    m_pLab->Link(m_cam, "eth0", "", sw, "p2", "");
    m_pLab->Link(stranger, "eth0", "192.0.2.66/24", sw, "p3", "");
    ASSERT_EQ(0, m_pLab->Exec(sw, "sh -c 'ip link add br0 type bridge && ip link set p1 master br0 && "
                                  "ip link set p2 master br0 && ip link set p3 master br0 && ip link set br0 up'"));
    const pid_t pid = StartEmulator(R"([{"ip": "192.0.2.10/24", "mac": "02:4b:58:00:00:10", "unlimited_rate": true}])");

    std::unique_ptr<IOrEyeCamera> p;
    SFrames frames;
    {
        kxtest::CInNetns in(m_host);
        p.reset(CreateOrEyeApi(OREYEAPI_TYPE_ETHERNET));
        ASSERT_EQ(p->InitDevice(1536, 2048, 0, 5, "192.0.2.10"), c_nOrEyeOK);
        frames.pCamera = p.get();
        const uint16_t nRate = 200;
        ASSERT_EQ(p->SetParam(34, &nRate, 2), c_nOrEyeOK);
        ASSERT_EQ(p->SetFrameCallback(1, &SFrames::Callback, &frames), c_nOrEyeOK);
        ASSERT_EQ(p->EnableStream(1), c_nOrEyeOK);
    }
    ASSERT_TRUE(WaitFor([&] { return frames.nFrames >= 20; }, 5s));
    // The host's ports, as the camera saw them when the host took control.
    std::smatch m;
    const std::string strLog = ReadFile(m_log);
    ASSERT_TRUE(std::regex_search(strLog, m, std::regex(R"(192\.0\.2\.1:(\d+) takes control, stream to port (\d+))")))
        << strLog;
    const uint16_t nHostControl = static_cast<uint16_t>(std::stoi(m[1])), nHostStream = static_cast<uint16_t>(std::stoi(m[2]));

    OrEyeTest::EthernetStats s0{};
    ASSERT_TRUE(OrEyeTest::GetEthernetStats(p.get(), &s0));
    const uint64_t nHostErrors0 = UdpBufferErrors(*m_pLab, m_host), nCamErrors0 = UdpBufferErrors(*m_pLab, m_cam);
    const uint64_t nFrames0 = frames.nFrames;

    // The flood: kinds of bad datagrams in turn, paced, bounded in count.
    constexpr int c_nRounds = 1500;
    uint64_t nToCamera = 0, nToHostStream = 0, nToHostControl = 0;
    {
        kxtest::CInNetns in(stranger);
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
        auto to = [](const char* pszIp, uint16_t nPort) {
            sockaddr_in sa{};
            sa.sin_family = AF_INET;
            sa.sin_port = htons(nPort);
            inet_pton(AF_INET, pszIp, &sa.sin_addr);
            return sa;
        };
        const sockaddr_in camera = to("192.0.2.10", OrWire::c_nControlPort), hostStream = to("192.0.2.1", nHostStream),
                          hostControl = to("192.0.2.1", nHostControl);
        std::mt19937 rng(23);
        auto send = [&](const std::vector<uint8_t>& msg, const sockaddr_in& sa, uint64_t* pn) {
            if (sendto(fd, msg.data(), msg.size(), 0, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) > 0) ++*pn;
        };
        auto noise = [&](size_t nMax) {
            std::vector<uint8_t> v(1 + rng() % nMax);
            for (auto& b : v) b = static_cast<uint8_t>(rng());
            return v;
        };
        for (int i = 0; i < c_nRounds; ++i) {
            std::vector<uint8_t> msg;
            OrWire::SHeader h;
            h.nRequestId = rng();
            // At the camera: noise, a cut header with our magic, a request from a host without
            // control, a resend request from it, a control request with lying lengths.
            send(noise(1400), camera, &nToCamera);
            msg = noise(40);
            const uint32_t nMagic = OrWire::c_nControlMagic;
            memcpy(msg.data(), &nMagic, std::min<size_t>(4, msg.size()));
            msg.resize(std::min<size_t>(msg.size(), OrWire::c_nHeaderBytes - 1));
            send(msg, camera, &nToCamera);
            OrWire::SControlRequest r;
            r.nOp = OrWire::Op_GetParam;
            r.anArg[0] = 54;
            OrWire::EncodeControlRequest(msg, h, r);
            send(msg, camera, &nToCamera);
            OrWire::SResendRequest rr;
            rr.nFrameId = rng();
            rr.nRanges = 1;
            rr.asRange[0] = {0, 4};
            OrWire::EncodeResendRequest(msg, h, rr);
            send(msg, camera, &nToCamera);
            OrWire::EncodeControlRequest(msg, h, r);
            msg.resize(msg.size() - 3);
            send(msg, camera, &nToCamera);
            // At the host's stream port: noise, and whole stream packets from a stranger.
            send(noise(1400), hostStream, &nToHostStream);
            OrWire::SStreamHeader sh;
            sh.nFrameId = rng();
            sh.nCount = 4;
            sh.nIndex = rng() % 4;
            sh.nFrameBytes = 4000;
            sh.nStride = 1000;
            sh.nPayload = 1000;
            sh.nOffset = sh.nIndex * 1000;
            msg.assign(OrWire::c_nStreamHeaderBytes + 1000, 0xAB);
            OrWire::EncodeStreamHeader(msg.data(), sh);
            send(msg, hostStream, &nToHostStream);
            // At the host's control port: noise and answers to requests never made.
            send(noise(200), hostControl, &nToHostControl);
            OrWire::SControlReply rep;
            h.nRequestId = 0x40000000u + rng() % 1000000;
            OrWire::EncodeControlReply(msg, h, rep);
            send(msg, hostControl, &nToHostControl);
            if (i % 25 == 24) std::this_thread::sleep_for(10ms);
        }
        close(fd);
    }
    const uint64_t nFramesDuring = frames.nFrames - nFrames0;
    // The stream goes on; the control replies queued at the host are read with the next heartbeat.
    EXPECT_TRUE(WaitFor([&] { return frames.nFrames >= nFrames0 + nFramesDuring + 100; }, 5s));
    std::this_thread::sleep_for(1200ms);
    OrEyeTest::EthernetStats s1{};
    ASSERT_TRUE(OrEyeTest::GetEthernetStats(p.get(), &s1));
    const uint64_t nHostLost = UdpBufferErrors(*m_pLab, m_host) - nHostErrors0;
    {
        kxtest::CInNetns in(m_host);
        EXPECT_EQ(p->EnableStream(0), c_nOrEyeOK);
        p->SetFrameCallback(0, nullptr, nullptr);
        p.reset();
    }
    EXPECT_EQ(m_pLab->Stop(pid, SIGTERM), 0);
    const uint64_t nCamLost = UdpBufferErrors(*m_pLab, m_cam) - nCamErrors0;
    const std::string strEnd = ReadFile(m_log);
    ASSERT_TRUE(std::regex_search(strEnd, m, std::regex(R"((\d+) datagram\(s\) refused)"))) << strEnd;
    const uint64_t nRefused = std::stoull(m[1]);

    const uint64_t nIgnored = s1.nPacketsIgnored - s0.nPacketsIgnored,
                   nStale = s1.nStaleReplies - s0.nStaleReplies + s1.nRefusedReplies - s0.nRefusedReplies;
    printf("flood: %d rounds; camera: %" PRIu64 " sent, %" PRIu64 " refused, %" PRIu64 " lost in full buffers; host: %" PRIu64
           " + %" PRIu64 " sent, %" PRIu64 " ignored, %" PRIu64 " stale replies, %" PRIu64
           " lost in full buffers; %" PRIu64 " frames during the flood, resent %" PRIu64 "\n",
           c_nRounds, nToCamera, nRefused, nCamLost, nToHostStream, nToHostControl, nIgnored, nStale, nHostLost,
           nFramesDuring, s1.nPacketsResent - s0.nPacketsResent);
    // The log keeps the first 100 refusals, then every 1000th, and the total.
    size_t nLines = 0;
    std::istringstream lines(strEnd);
    for (std::string line; std::getline(lines, line);)
        if (line.find("refused") != std::string::npos) ++nLines;
    EXPECT_LE(nLines, 100 + nRefused / 1000 + 1);
    EXPECT_GT(nFramesDuring, 0u);
    EXPECT_EQ(s1.nFramesIncomplete - s0.nFramesIncomplete, 0u) << "no frame lost to the flood";
    // Every bad datagram counted once, none taken for good.
    EXPECT_LE(nRefused, nToCamera);
    EXPECT_GE(nRefused + nCamLost, nToCamera);
    EXPECT_LE(nIgnored + nStale, nToHostStream + nToHostControl);
    EXPECT_GE(nIgnored + nStale + nHostLost, nToHostStream + nToHostControl);
}

}  // namespace
