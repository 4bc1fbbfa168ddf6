// A hostile third machine on the camera's LAN: host, camera, a forger and a bystander on one
// bridge (namespaces, documentation addresses). The forger sends from any address and port
// with a raw socket; every flood is bounded in count and time. Each test asserts what the
// application and the camera see: no forged byte in a frame or a reply, the session kept, the
// stream going on, the bystander receiving nothing, the counters saying what was refused.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <regex>
#include <thread>

#include "oreyeapi.h"
#include "oreyeapi_testsupport.h"
#include "support/kxemulab.h"
#include "support/kxwireclient.h"

using namespace std::chrono_literals;
using kxtest::IPv4;
using kxtest::ReadFile;
using kxtest::WaitFor;

namespace {
const uint32_t c_nHost = IPv4(192, 0, 2, 1), c_nCamera = IPv4(192, 0, 2, 10), c_nForger = IPv4(192, 0, 2, 66),
               c_nBystander = IPv4(192, 0, 2, 77), c_nBroadcast = 0xFFFFFFFFu;
const uint8_t c_abyWireId[8] = {0x4b, 0x58, 0, 0, 0, 0, 0, 0x10};
const char* const c_pszMarker = "FORGED--";

long ResidentBytes() {
    std::ifstream in("/proc/self/statm");
    long nPages = 0, nResident = 0;
    in >> nPages >> nResident;
    return nResident * sysconf(_SC_PAGESIZE);
}

// Frames handed on: their count, their lengths, and whether any carried the forger's marker.
struct SFrames {
    IOrEyeCamera* pCamera = nullptr;
    std::atomic<uint64_t> nFrames{0}, nMarked{0}, nOddLength{0}, nEvent7{0};
    static void Callback(int nEvent, int, void* pBuffer, unsigned int nLength, unsigned int nBufferId, void* pContext) {
        SFrames* p = static_cast<SFrames*>(pContext);
        if (nEvent == c_nOrEyeEventError7) ++p->nEvent7;
        if (nEvent != c_nOrEyeEventFrame) return;
        const char* pc = static_cast<const char*>(pBuffer);
        if (std::search(pc, pc + nLength, c_pszMarker, c_pszMarker + 8) != pc + nLength) ++p->nMarked;
        if (nLength != c_nOrEyeLaserBytes) ++p->nOddLength;
        p->pCamera->ReleaseFrameBuffer(nBufferId);
        ++p->nFrames;
    }
};

class Hostile : public kxtest::EmulatorTest {
protected:
    void SetUp() override {
        EmulatorTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        const std::string sw = m_pLab->AddNamespace("switch");
        m_forger = m_pLab->AddNamespace("forger");
        m_bystander = m_pLab->AddNamespace("bystander");
        m_pLab->Link(m_host, "eth0", "192.0.2.1/24", sw, "p1", "");
        m_pLab->Link(m_cam, "eth0", "", sw, "p2", "");
        m_pLab->Link(m_forger, "eth0", "192.0.2.66/24", sw, "p3", "");
        m_pLab->Link(m_bystander, "eth0", "192.0.2.77/24", sw, "p4", "");
        ASSERT_EQ(0, m_pLab->Exec(sw, "sh -c 'ip link add br0 type bridge && for p in p1 p2 p3 p4; do ip link set $p "
                                      "master br0; done && ip link set br0 up'"));
        m_fifo = m_dir + "/faults";
        StartEmulator(R"([{"ip": "192.0.2.10/24", "mac": "02:4b:58:00:00:10", "wire_id": "4b58000000000010"}])",
                      {"--heartbeat-ms", "1000", "--fault-fifo", m_fifo});
    }
    void TearDown() override {
        if (m_p) {
            kxtest::CInNetns in(m_host);
            m_p->EnableStream(0);
            m_p->SetFrameCallback(0, nullptr, nullptr);
            m_p.reset();
        }
        EmulatorTest::TearDown();
    }
    // The host's camera object, connected; streaming into m_frames at 200 frames/s when asked.
    void OpenHost(bool bStream) {
        kxtest::CInNetns in(m_host);
        m_p.reset(CreateOrEyeApi(OREYEAPI_TYPE_ETHERNET));
        ASSERT_EQ(m_p->InitDevice(1536, 2048, 0, 5, "192.0.2.10"), c_nOrEyeOK);
        std::smatch m;
        const std::string strLog = ReadFile(m_log);
        ASSERT_TRUE(std::regex_search(
            strLog, m, std::regex(R"(192\.0\.2\.1:(\d+) takes control, stream to port (\d+) from port (\d+))")))
            << strLog;
        m_nHostControl = static_cast<uint16_t>(std::stoi(m[1]));
        m_nHostStream = static_cast<uint16_t>(std::stoi(m[2]));
        m_nCameraStream = static_cast<uint16_t>(std::stoi(m[3]));
        if (!bStream) return;
        m_frames.pCamera = m_p.get();
        const uint16_t nRate = 200;
        ASSERT_EQ(m_p->SetParam(34, &nRate, 2), c_nOrEyeOK);
        ASSERT_EQ(m_p->SetFrameCallback(1, &SFrames::Callback, &m_frames), c_nOrEyeOK);
        ASSERT_EQ(m_p->EnableStream(1), c_nOrEyeOK);
        ASSERT_TRUE(WaitFor([&] { return m_frames.nFrames >= 20; }, 5s));
    }
    OrEyeTest::EthernetStats Stats() {
        OrEyeTest::EthernetStats s{};
        EXPECT_TRUE(OrEyeTest::GetEthernetStats(m_p.get(), &s));
        return s;
    }
    void Fault(const std::string& line) {
        std::ofstream f(m_fifo);
        f << line << std::endl;
    }
    // The stream still brings frames.
    void ExpectStreamGoesOn() {
        const uint64_t n = m_frames.nFrames;
        EXPECT_TRUE(WaitFor([&] { return m_frames.nFrames >= n + 50; }, 5s)) << "the stream stopped";
    }
    static std::vector<uint8_t> Reply(uint32_t nId, uint16_t nOp, int32_t nStatus, const std::vector<uint8_t>& data) {
        OrWire::SHeader h;
        h.nRequestId = nId;
        h.nStatus = nStatus;
        memcpy(h.abyDeviceId, c_abyWireId, 8);
        OrWire::SControlReply r;
        r.nOp = nOp;
        r.pData = data.data();
        r.nData = static_cast<uint32_t>(data.size());
        std::vector<uint8_t> v;
        OrWire::EncodeControlReply(v, h, r);
        return v;
    }
    static std::vector<uint8_t> Request(uint16_t nOp, std::vector<int32_t> args, const std::vector<uint8_t>& data = {}) {
        static uint32_t s_nId = 0x1000;  // a new id each: a repeated id only repeats its answer
        OrWire::SHeader h;
        h.nRequestId = ++s_nId;
        memcpy(h.abyDeviceId, c_abyWireId, 8);
        OrWire::SControlRequest r;
        r.nOp = nOp;
        for (size_t i = 0; i < args.size(); ++i) r.anArg[i] = args[i];
        r.pData = data.data();
        r.nData = r.nTotal = static_cast<uint32_t>(data.size());
        std::vector<uint8_t> v;
        OrWire::EncodeControlRequest(v, h, r);
        return v;
    }

    std::string m_forger, m_bystander, m_fifo;
    std::unique_ptr<IOrEyeCamera> m_p;
    SFrames m_frames;
    uint16_t m_nHostControl = 0, m_nHostStream = 0, m_nCameraStream = 0;
};

// Forged stream packets from the camera's own address and stream port: frames far ahead, frames
// of the next ids with the forger's bytes, single grabs naming 64 MiB frames. None reaches a
// frame, the stream goes on, no memory grows.
TEST_F(Hostile, ForgedStreamPacketsReachNoFrame) {
    OpenHost(true);
    const OrEyeTest::EthernetStats s0 = Stats();
    const long nRss0 = ResidentBytes();
    uint64_t nSent = 0;
    {
        kxtest::CInNetns in(m_forger);
        kxtest::CForger forger;
        ASSERT_TRUE(forger.Ok());
        std::vector<uint8_t> payload(2000);
        for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(c_pszMarker[i % 8]);
        auto packet = [&](uint32_t nId, uint32_t nIndex, uint32_t nFrameBytes, uint16_t nFlags) {
            OrWire::SStreamHeader s;
            s.nFlags = nFlags;
            s.nFrameId = nId;
            s.nIndex = nIndex;
            s.nStride = OrWire::StreamStride(1500, 1500);
            s.nFrameBytes = nFrameBytes;
            s.nCount = OrWire::PacketCount(nFrameBytes, s.nStride);
            s.nOffset = nIndex * s.nStride;
            s.nPayload = static_cast<uint16_t>(nIndex + 1 < s.nCount ? s.nStride : nFrameBytes - s.nOffset);
            std::vector<uint8_t> v(OrWire::c_nStreamHeaderBytes);
            OrWire::EncodeStreamHeader(v.data(), s);
            v.insert(v.end(), payload.begin(), payload.begin() + s.nPayload);
            if (forger.Send(c_nCamera, m_nCameraStream, c_nHost, m_nHostStream, v)) ++nSent;
        };
        packet(0x7FFF0000u, 0, 2000, 0);  // far ahead: once ended the stream
        for (uint32_t nId = 1; nId <= 2000; ++nId) {  // every id the stream has had or will soon
            packet(nId, 0, 2000, 0);
            packet(nId, 1, 2000, 0);
            if (nId % 100 == 0) std::this_thread::sleep_for(5ms);
        }
        for (uint32_t nId = 0; nId < 12; ++nId) packet(0x60000000u + nId, 0, OrWire::c_nMaxFrameBytes, OrWire::c_nStreamFlagGrab);
    }
    ExpectStreamGoesOn();
    const OrEyeTest::EthernetStats s1 = Stats();
    EXPECT_EQ(m_frames.nMarked, 0u) << "a frame carried the forger's bytes";
    EXPECT_EQ(m_frames.nOddLength, 0u) << "a frame of the forger's size was handed on";
    EXPECT_LT(ResidentBytes() - nRss0, 64L << 20);
    EXPECT_GT(s1.nRefusedKey - s0.nRefusedKey, nSent / 2) << "refusals counted";
    EXPECT_EQ(s1.nFramesIncomplete, s0.nFramesIncomplete);
}

// Forged answers from the camera's address to the host's control port, for every request id a
// counting host would use: the calls never take them, and an outage is not hidden.
TEST_F(Hostile, ForgedRepliesReachNoCall) {
    OpenHost(false);
    double q0[16];
    ASSERT_EQ(m_p->GetQMatrix(q0), c_nOrEyeOK);
    std::atomic<bool> bStop{false};
    std::atomic<uint16_t> nOp{OrWire::Op_GetQMatrix};
    std::thread th([&] {
        kxtest::CInNetns in(m_forger);
        kxtest::CForger forger;
        std::vector<uint8_t> q(16 * sizeof(double));
        for (int i = 0; i < 16; ++i) {
            const double d = 7.0 + i;
            memcpy(q.data() + 8 * i, &d, 8);
        }
        const auto tEnd = std::chrono::steady_clock::now() + 8s;
        for (uint32_t n = 0; n < 40000 && !bStop && std::chrono::steady_clock::now() < tEnd; ++n) {
            const uint16_t op = nOp;
            const std::vector<uint8_t> v = Reply(1 + n % 400, op, 0, op == OrWire::Op_GetQMatrix ? q : std::vector<uint8_t>());
            forger.Send(c_nCamera, OrWire::c_nControlPort, c_nHost, m_nHostControl, v);
            if (n % 20 == 19) std::this_thread::sleep_for(2ms);
        }
    });
    for (int i = 0; i < 20; ++i) {
        double q[16];
        const int n = m_p->GetQMatrix(q);
        ASSERT_EQ(n, c_nOrEyeOK);
        EXPECT_EQ(memcmp(q, q0, sizeof q), 0) << "a forged calibration was taken";
    }
    // The camera goes silent; forged "0" answers to heartbeats must not hide it.
    nOp = OrWire::Op_Heartbeat;
    m_frames.pCamera = m_p.get();
    ASSERT_EQ(m_p->SetFrameCallback(1, &SFrames::Callback, &m_frames), c_nOrEyeOK);
    Fault("mute on");
    EXPECT_TRUE(WaitFor([&] { return m_frames.nEvent7 > 0; }, 4s)) << "the outage was hidden";
    bStop = true;
    th.join();
    const OrEyeTest::EthernetStats s = Stats();
    EXPECT_GT(s.nStaleReplies + s.nRefusedReplies, 0u) << "refusals counted";
    Fault("mute off");
}

// The holder's session cannot be ended, taken or kept alive by forged requests.
TEST_F(Hostile, SessionCannotBeTakenOrKeptByForgery) {
    OpenHost(false);
    uint8_t abyMac0[6];
    ASSERT_EQ(m_p->GetParam(2, abyMac0, 6), c_nOrEyeOK);
    {
        kxtest::CInNetns in(m_forger);
        kxtest::CForger forger;
        // Disconnect in the host's name: from its address and control port, and sprayed over
        // 2048 other ports; then the camera's MAC by broadcast, in the host's name.
        const std::vector<uint8_t> bye = Request(OrWire::Op_Disconnect, {});
        forger.Send(c_nHost, m_nHostControl, c_nCamera, OrWire::c_nControlPort, bye);
        for (uint16_t nPort = 32768; nPort < 32768 + 2048; ++nPort) {
            forger.Send(c_nHost, nPort, c_nCamera, OrWire::c_nControlPort, bye);
            if (nPort % 256 == 0) std::this_thread::sleep_for(2ms);
        }
        const std::vector<uint8_t> mac = {0x02, 0x66, 0x66, 0x66, 0x66, 0x66};
        forger.Send(c_nHost, m_nHostControl, c_nBroadcast, OrWire::c_nControlPort, Request(OrWire::Op_SetParam, {2}, mac));
        std::this_thread::sleep_for(200ms);
        // The forger asks for the camera in its own name: held by the host.
        kxtest::CWireClient c(c_nCamera);
        EXPECT_EQ(c.Connect(), c_nOrEyeAccessDenied);
        EXPECT_EQ(c.Request(OrWire::Op_SetParam, {4}, {99, 2, 0, 192}), c_nOrEyeAccessDenied);
    }
    uint8_t abyMac[6];
    EXPECT_EQ(m_p->GetParam(2, abyMac, 6), c_nOrEyeOK) << "the host lost its camera";
    EXPECT_EQ(memcmp(abyMac, abyMac0, 6), 0) << "the forger changed the camera's MAC";
    m_p.reset();

    // A holder that died (a client that goes silent) loses the camera, whatever the forger sends
    // in its name meanwhile: resend requests on its stream port and on others.
    uint16_t nDeadStream = 0;
    {
        kxtest::CInNetns in(m_bystander);
        kxtest::CWireClient dead(c_nCamera);
        ASSERT_EQ(dead.Connect(), 0);
        nDeadStream = dead.StreamPort();
    }
    {
        kxtest::CInNetns in(m_forger);
        kxtest::CForger forger;
        OrWire::SHeader h;
        memcpy(h.abyDeviceId, c_abyWireId, 8);
        OrWire::SResendRequest r;
        r.nFrameId = 1;
        r.nRanges = 1;
        r.asRange[0] = {0, 1};
        std::vector<uint8_t> v;
        OrWire::EncodeResendRequest(v, h, r);
        const auto tEnd = std::chrono::steady_clock::now() + 2500ms;
        while (std::chrono::steady_clock::now() < tEnd &&
               ReadFile(m_log).find("heartbeat missed") == std::string::npos) {
            forger.Send(c_nBystander, nDeadStream, c_nCamera, OrWire::c_nControlPort, v);
            forger.Send(c_nBystander, 40000, c_nCamera, OrWire::c_nControlPort, v);
            std::this_thread::sleep_for(50ms);
        }
    }
    EXPECT_NE(ReadFile(m_log).find("192.0.2.77"), std::string::npos);
    EXPECT_TRUE(WaitFor([&] { return ReadFile(m_log).find("heartbeat missed") != std::string::npos; }, 500ms))
        << "forged resend requests kept a dead host's session: " << ReadFile(m_log);
}

// Resend requests in the host's name, and a Connect plus heartbeats in a bystander's name:
// neither the host nor the bystander receives anything for them.
TEST_F(Hostile, ResendsAndStreamsGoOnlyToTheSession) {
    OpenHost(true);
    const OrEyeTest::EthernetStats s0 = Stats();
    {
        kxtest::CInNetns in(m_forger);
        kxtest::CForger forger;
        OrWire::SHeader h;
        memcpy(h.abyDeviceId, c_abyWireId, 8);
        OrWire::SResendRequest r;
        r.nRanges = OrWire::c_nMaxResendRanges;
        for (uint32_t i = 0; i < r.nRanges; ++i) r.asRange[i] = {0, 23};
        std::vector<uint8_t> v;
        for (uint32_t nId = 1; nId <= 1500; ++nId) {
            r.nFrameId = nId;
            OrWire::EncodeResendRequest(v, h, r);
            forger.Send(c_nHost, m_nHostStream, c_nCamera, OrWire::c_nControlPort, v);
            if (nId % 50 == 0) std::this_thread::sleep_for(5ms);
        }
    }
    ExpectStreamGoesOn();
    const OrEyeTest::EthernetStats s1 = Stats();
    EXPECT_LT(s1.nPacketsResent + s1.nPacketsDuplicate - s0.nPacketsResent - s0.nPacketsDuplicate, 100u)
        << "the camera resent frames for the forger";
    m_p->EnableStream(0);
    m_p->SetFrameCallback(0, nullptr, nullptr);
    m_p.reset();  // the camera is idle now

    // The bystander listens on the port the forged Connect names.
    kxtest::CInNetns inBystander(m_bystander);
    const int fd = kxtest::UdpSocket(0, 6666);
    {
        kxtest::CInNetns in(m_forger);
        kxtest::CForger forger;
        forger.Send(c_nBystander, 5555, c_nCamera, OrWire::c_nControlPort, Request(OrWire::Op_Connect, {6666, 1500}));
        std::this_thread::sleep_for(50ms);
        for (int i = 0; i < 15; ++i) {
            forger.Send(c_nBystander, 5555, c_nCamera, OrWire::c_nControlPort, Request(OrWire::Op_EnableStream, {1}));
            forger.Send(c_nBystander, 5555, c_nCamera, OrWire::c_nControlPort, Request(OrWire::Op_Heartbeat, {}));
            std::this_thread::sleep_for(100ms);
        }
    }
    EXPECT_EQ(kxtest::CountDatagrams(fd, 300), 0) << "the bystander was sent a stream";
    close(fd);
}

// A storm of forged searches from many addresses: the camera keeps serving its host, and its log
// stays short.
TEST_F(Hostile, SearchStormLeavesTheSessionServed) {
    OpenHost(false);
    std::atomic<bool> bStop{false};
    std::thread th([&] {
        kxtest::CInNetns in(m_forger);
        kxtest::CForger forger;
        std::vector<uint8_t> v;
        OrWire::EncodeSearchRequest(v, 1, nullptr);
        std::mt19937 rng(5);
        const auto tEnd = std::chrono::steady_clock::now() + 2s;
        for (int n = 0; n < 20000 && !bStop && std::chrono::steady_clock::now() < tEnd; ++n) {
            const uint32_t nFrom = IPv4(192, 0, 2, 100 + rng() % 100);
            forger.Send(nFrom, static_cast<uint16_t>(1024 + rng() % 60000), n % 2 ? c_nBroadcast : c_nCamera,
                        OrWire::c_nControlPort, v);
            if (n % 100 == 99) std::this_thread::sleep_for(1ms);
        }
    });
    int nFailures = 0;
    for (int i = 0; i < 20; ++i) {
        uint8_t b[4];
        if (m_p->GetParam(4, b, 4) != c_nOrEyeOK) ++nFailures;
        std::this_thread::sleep_for(50ms);
    }
    bStop = true;
    th.join();
    for (int i = 0; i < 5; ++i) {
        uint8_t b[4];
        if (m_p->GetParam(4, b, 4) != c_nOrEyeOK) ++nFailures;
    }
    EXPECT_EQ(nFailures, 0) << "the host lost its camera to the storm";
    size_t nLines = 0;
    const std::string strLog = ReadFile(m_log);
    for (size_t at = strLog.find('\n'); at != std::string::npos; at = strLog.find('\n', at + 1)) ++nLines;
    EXPECT_LT(nLines, 400u) << "the log was flooded";
}

}  // namespace
