// The Ethernet stream receiver against a hand-made camera on loopback (no root): packets
// dropped, doubled, reordered, late, resent or contradicting, and packets that the receiver's
// gate must refuse. Every delivered frame is compared byte for byte with what the camera cut.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "fake_eth_camera.h"
#include "oreyeapi.h"
#include "oreyeapi_testsupport.h"

using namespace std::chrono_literals;
using kxtest::CFakeCamera;

namespace {

std::vector<uint8_t> Bytes(size_t n, uint32_t nSeed) {
    std::vector<uint8_t> v(n);
    uint32_t x = nSeed * 2654435761u + 1;
    for (auto& b : v) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return v;
}

// Frames handed on by the frame callback, by frame counter of arrival (their bytes), each
// buffer given back at once.
struct SFrames {
    IOrEyeCamera* pCamera = nullptr;
    std::mutex mtx;
    std::condition_variable cv;
    std::vector<std::vector<uint8_t>> vecFrames;
    static void Callback(int nEvent, int, void* pBuffer, unsigned int nLength, unsigned int nBufferId, void* pContext) {
        SFrames* p = static_cast<SFrames*>(pContext);
        if (nEvent != c_nOrEyeEventFrame) return;
        const uint8_t* pb = static_cast<const uint8_t*>(pBuffer);
        {
            std::lock_guard<std::mutex> lock(p->mtx);
            p->vecFrames.emplace_back(pb, pb + nLength);
        }
        p->pCamera->ReleaseFrameBuffer(nBufferId);
        p->cv.notify_all();
    }
    bool Wait(size_t n, std::chrono::milliseconds limit = 2000ms) {
        std::unique_lock<std::mutex> lock(mtx);
        return cv.wait_for(lock, limit, [&] { return vecFrames.size() >= n; });
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(mtx);
        return vecFrames.size();
    }
    std::vector<uint8_t> At(size_t i) {
        std::lock_guard<std::mutex> lock(mtx);
        return vecFrames.at(i);
    }
    // Waits for a frame with exactly these bytes; its place among the frames handed on, or -1.
    long WaitForFrame(const std::vector<uint8_t>& f, std::chrono::milliseconds limit = 2000ms) {
        std::unique_lock<std::mutex> lock(mtx);
        long nAt = -1;
        cv.wait_for(lock, limit, [&] {
            for (size_t i = 0; i < vecFrames.size(); ++i)
                if (vecFrames[i] == f) nAt = static_cast<long>(i);
            return nAt >= 0;
        });
        return nAt;
    }
};

class StreamReceiver : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_cam.Ok()) << "no loopback address for the camera";
        m_p.reset(CreateOrEyeApi(OREYEAPI_TYPE_ETHERNET));
        ASSERT_EQ(m_p->InitDevice(0, 0, 0, 0, m_cam.Address().c_str()), c_nOrEyeOK);
        m_frames.pCamera = m_p.get();
        ASSERT_EQ(m_p->SetFrameCallback(1, &SFrames::Callback, &m_frames), c_nOrEyeOK);
        ASSERT_EQ(m_p->EnableStream(1), c_nOrEyeOK);
    }
    void TearDown() override {
        if (!m_p) return;
        m_p->EnableStream(0);
        m_p->SetFrameCallback(0, nullptr, nullptr);
        m_p.reset();
    }
    OrEyeTest::EthernetStats Stats() {
        OrEyeTest::EthernetStats s{};
        EXPECT_TRUE(OrEyeTest::GetEthernetStats(m_p.get(), &s));
        return s;
    }
    // The next frame goes through whole: the receiver still takes the stream.
    // Frames go on in order, so every frame before it has been handed on or given up then.
    // Answers its place among the frames handed on.
    long ExpectStreamGoesOn(uint32_t nFrameId) {
        const std::vector<uint8_t> f = Bytes(5000, nFrameId);
        m_cam.SendFrame(nFrameId, f);
        const long nAt = m_frames.WaitForFrame(f);
        EXPECT_GE(nAt, 0) << "frame " << nFrameId << " not handed on";
        return nAt;
    }

    CFakeCamera m_cam;
    std::unique_ptr<IOrEyeCamera> m_p;
    SFrames m_frames;
};

// Each case sends one frame of 4 packets (5000 bytes at a stride of 1432) in some way and says
// whether it is handed on; a frame that is handed on has exactly the camera's bytes.
TEST_F(StreamReceiver, EveryFrameHandedOnHasTheCamerasBytes) {
    struct SCase {
        const char* name;
        std::function<void(CFakeCamera&, uint32_t, const std::vector<uint8_t>&)> send;
        bool bHandedOn;
    };
    const SCase cases[] = {
        {"in order", [](CFakeCamera& c, uint32_t id, const std::vector<uint8_t>& f) { c.SendFrame(id, f); }, true},
        {"reordered",
         [](CFakeCamera& c, uint32_t id, const std::vector<uint8_t>& f) {
             for (uint32_t i : {3u, 1u, 0u, 2u}) c.SendPacket(id, i, f);
         },
         true},
        {"a packet doubled",
         [](CFakeCamera& c, uint32_t id, const std::vector<uint8_t>& f) {
             for (uint32_t i : {0u, 1u, 1u, 2u, 3u}) c.SendPacket(id, i, f);
         },
         true},
        {"a packet that contradicts the frame's size",
         [](CFakeCamera& c, uint32_t id, const std::vector<uint8_t>& f) {
             c.SendPacket(id, 0, f);
             std::vector<uint8_t> big(f);
             big.resize(6000);
             c.SendPacket(id, 1, big);
             for (uint32_t i : {1u, 2u, 3u}) c.SendPacket(id, i, f);
         },
         true},
        {"a packet again with other bytes",
         [](CFakeCamera& c, uint32_t id, const std::vector<uint8_t>& f) {
             c.SendFrame(id, f, {3});
             std::vector<uint8_t> g(f);
             g[1432 + 7] ^= 0x40;
             c.SendPacket(id, 1, g);
             c.SendPacket(id, 3, f);
         },
         false},
        {"a forged copy first, the camera's after",
         [](CFakeCamera& c, uint32_t id, const std::vector<uint8_t>& f) {
             std::vector<uint8_t> g(f);
             std::fill(g.begin() + 2864, g.begin() + 4296, 0x5A);
             c.SendPacket(id, 2, g);
             c.SendFrame(id, f);
         },
         false},
    };
    uint32_t nId = 1;
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.name);
        const OrEyeTest::EthernetStats s0 = Stats();
        const size_t n0 = m_frames.Count();
        const std::vector<uint8_t> f = Bytes(5000, nId);
        c.send(m_cam, nId, f);
        const long nNext = ExpectStreamGoesOn(nId + 1);  // also settles the case's frame
        const OrEyeTest::EthernetStats s1 = Stats();
        if (c.bHandedOn) {
            ASSERT_EQ(nNext, static_cast<long>(n0) + 1);
            EXPECT_EQ(m_frames.At(n0), f);
            EXPECT_EQ(s1.nConflicts, s0.nConflicts);
        } else {
            EXPECT_EQ(nNext, static_cast<long>(n0));
            EXPECT_EQ(s1.nConflicts, s0.nConflicts + 1);
        }
        nId += 2;
    }
    // A packet of a frame already handed on: a copy, thrown away.
    const OrEyeTest::EthernetStats s0 = Stats();
    m_cam.SendPacket(1, 2, Bytes(5000, 1));
    ExpectStreamGoesOn(nId);
    EXPECT_EQ(Stats().nPacketsDuplicate, s0.nPacketsDuplicate + 1);
}

// Missing packets are asked for by exactly their indices, in at most two rounds; a resent
// packet completes the frame, and a frame still missing one after the rounds is never handed on.
TEST_F(StreamReceiver, ResendRoundsNameExactlyTheMissingPackets) {
    const std::vector<uint8_t> f = Bytes(20000, 7);  // 14 packets
    ASSERT_EQ(m_cam.Packets(f.size()), 14u);
    m_cam.SendFrame(1, f, {1, 2, 9});
    ASSERT_TRUE(m_cam.WaitResends(1, 2000));
    std::vector<OrWire::SResendRequest> r = m_cam.Resends();
    ASSERT_EQ(r[0].nFrameId, 1u);
    ASSERT_EQ(r[0].nRanges, 2u);
    EXPECT_EQ(r[0].asRange[0].nFirst, 1u);
    EXPECT_EQ(r[0].asRange[0].nCount, 2u);
    EXPECT_EQ(r[0].asRange[1].nFirst, 9u);
    EXPECT_EQ(r[0].asRange[1].nCount, 1u);
    // Two of three come back: the next round names the last one only.
    m_cam.SendPacket(1, 1, f, OrWire::c_nStreamFlagResent);
    m_cam.SendPacket(1, 9, f, OrWire::c_nStreamFlagResent);
    ASSERT_TRUE(m_cam.WaitResends(2, 2000));
    r = m_cam.Resends();
    ASSERT_EQ(r[1].nRanges, 1u);
    EXPECT_EQ(r[1].asRange[0].nFirst, 2u);
    EXPECT_EQ(r[1].asRange[0].nCount, 1u);
    m_cam.SendPacket(1, 2, f, OrWire::c_nStreamFlagResent);
    ASSERT_TRUE(m_frames.Wait(1));
    EXPECT_EQ(m_frames.At(0), f);
    EXPECT_EQ(Stats().nPacketsResent, 3u);

    // A frame whose packet never comes back: two rounds, then given up and counted.
    const std::vector<uint8_t> g = Bytes(20000, 8);
    m_cam.SendFrame(2, g, {5});
    ASSERT_TRUE(m_cam.WaitResends(4, 2000));
    r = m_cam.Resends();
    for (size_t i : {2u, 3u}) {
        EXPECT_EQ(r[i].nFrameId, 2u);
        ASSERT_EQ(r[i].nRanges, 1u);
        EXPECT_EQ(r[i].asRange[0].nFirst, 5u);
        EXPECT_EQ(r[i].asRange[0].nCount, 1u);
    }
    EXPECT_EQ(ExpectStreamGoesOn(3), 1);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(m_cam.Resends().size(), 4u) << "at most two rounds per frame";
    EXPECT_EQ(Stats().nFramesIncomplete, 1u);
    // Its packet arriving after all: late, thrown away.
    m_cam.SendPacket(2, 5, g, OrWire::c_nStreamFlagResent);
    EXPECT_EQ(ExpectStreamGoesOn(4), 2);
}

// What the gate refuses: each case sends a whole frame that must never be handed on, and names
// the counter that says why. The stream goes on after each.
TEST_F(StreamReceiver, GateRefusesPacketsNotOfTheSession) {
    const int fdOtherPort = CFakeCamera::Socket(m_cam.Ip(), 0);
    const int fdOtherAddress = CFakeCamera::Socket(m_cam.Ip() + 1, 0);
    ASSERT_GE(fdOtherPort, 0);
    ASSERT_GE(fdOtherAddress, 0);
    using Edit = std::function<void(OrWire::SStreamHeader&)>;
    struct SCase {
        const char* name;
        Edit edit;
        int fd;
        uint64_t OrEyeTest::EthernetStats::*counter;
    };
    const SCase cases[] = {
        {"another source port", nullptr, fdOtherPort, &OrEyeTest::EthernetStats::nRefusedSource},
        {"another source address", nullptr, fdOtherAddress, &OrEyeTest::EthernetStats::nRefusedSource},
        {"no stream key", [](OrWire::SStreamHeader& s) { s.nKey = 0; }, -1, &OrEyeTest::EthernetStats::nRefusedKey},
        {"another stream key", [](OrWire::SStreamHeader& s) { s.nKey ^= 1; }, -1, &OrEyeTest::EthernetStats::nRefusedKey},
        {"another stride",
         [](OrWire::SStreamHeader& s) {
             s.nStride = 1000;
             s.nCount = OrWire::PacketCount(s.nFrameBytes, 1000);
             s.nOffset = s.nIndex * 1000;
             s.nPayload = static_cast<uint16_t>(s.nIndex + 1 < s.nCount ? 1000 : s.nFrameBytes - s.nOffset);
         },
         -1, &OrEyeTest::EthernetStats::nRefusedShape},
        {"a frame far ahead", [](OrWire::SStreamHeader& s) { s.nFrameId += 100000; }, -1,
         &OrEyeTest::EthernetStats::nRefusedWindow},
        {"a single grab nobody waits for", [](OrWire::SStreamHeader& s) { s.nFlags |= OrWire::c_nStreamFlagGrab; }, -1,
         &OrEyeTest::EthernetStats::nRefusedGrab},
    };
    ExpectStreamGoesOn(1);
    uint32_t nId = 2;
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.name);
        const OrEyeTest::EthernetStats s0 = Stats();
        const size_t n0 = m_frames.Count();
        const std::vector<uint8_t> f = Bytes(5000, 1000 + nId);
        for (uint32_t i = 0; i < 4; ++i) m_cam.SendPacket(nId, i, f, 0, c.edit, c.fd);
        EXPECT_EQ(ExpectStreamGoesOn(nId + 1), static_cast<long>(n0));
        EXPECT_EQ(Stats().*c.counter, s0.*c.counter + 4);
        nId += 2;
    }
    close(fdOtherPort);
    close(fdOtherAddress);
}

// Memory is never sized by a packet: forged single grabs naming 64 MiB frames, each with a new
// frame id, leave the process's size as it was.
TEST_F(StreamReceiver, NoPacketSizesMemory) {
    auto rss = [] {
        std::ifstream in("/proc/self/statm");
        long nPages = 0, nResident = 0;
        in >> nPages >> nResident;
        return nResident * sysconf(_SC_PAGESIZE);
    };
    ExpectStreamGoesOn(1);
    const long n0 = rss();
    const std::vector<uint8_t> f = Bytes(2000, 3);
    for (uint32_t i = 0; i < 64; ++i)
        for (uint16_t nFlags : {OrWire::c_nStreamFlagGrab, uint16_t(0)})
            m_cam.SendPacket(2 + i, 0, f, nFlags, [](OrWire::SStreamHeader& s) {
                s.nFrameBytes = OrWire::c_nMaxFrameBytes;
                s.nCount = OrWire::PacketCount(s.nFrameBytes, s.nStride);
                s.nPayload = s.nStride;
            });
    ExpectStreamGoesOn(100);
    EXPECT_LT(rss() - n0, 16L << 20);
    const OrEyeTest::EthernetStats s = Stats();
    EXPECT_EQ(s.nRefusedGrab, 64u);
    EXPECT_EQ(s.nFramesTooLarge, 64u);
}

// A single grab: its packets are taken while GrabFrame waits, in a buffer of the configured
// frame size; a grab larger than that is refused.
TEST_F(StreamReceiver, SingleGrabIsTakenOnlyWhileAwaited) {
    std::vector<uint8_t> f = Bytes(c_nOrEyeLaserBytes, 11);
    m_cam.OnGrab(40, [&] { m_cam.SendFrame(40, f, {}, OrWire::c_nStreamFlagGrab); });
    std::vector<uint8_t> left(16), right(16), laser(c_nOrEyeLaserBytes);
    unsigned char* apDest[3] = {left.data(), right.data(), laser.data()};
    unsigned int nLength = 0, nFrameId = 0;
    ASSERT_EQ(m_p->GrabFrame(apDest, &nLength, &nFrameId, 1000), c_nOrEyeOK);
    EXPECT_EQ(nLength, f.size());
    EXPECT_EQ(laser, f);

    std::vector<uint8_t> big = Bytes(c_nOrEyeLaserBytes + 1000, 12);
    m_cam.OnGrab(41, [&] { m_cam.SendFrame(41, big, {}, OrWire::c_nStreamFlagGrab); });
    EXPECT_EQ(m_p->GrabFrame(apDest, &nLength, &nFrameId, 1000), c_nOrEyeTimeout);
    EXPECT_GE(Stats().nRefusedShape, m_cam.Packets(big.size()));
}

// A packet can cause a log line only a bounded number of times: frames too large for the
// buffers, 1500 of them, give the first 100 lines and then every 1000th.
TEST_F(StreamReceiver, PerPacketWarningsAreThrottled) {
    const std::vector<uint8_t> big = Bytes(c_nOrEyeLaserBytes + 100, 5);
    testing::internal::CaptureStderr();
    for (uint32_t i = 1; i <= 1500; ++i) {
        m_cam.SendPacket(i, 0, big);
        if (i % 50 == 0) std::this_thread::sleep_for(5ms);  // the socket buffer keeps up
    }
    ExpectStreamGoesOn(1501);
    const std::string err = testing::internal::GetCapturedStderr();
    size_t nLines = 0;
    for (size_t at = err.find("does not fit"); at != std::string::npos; at = err.find("does not fit", at + 1)) ++nLines;
    EXPECT_EQ(Stats().nFramesTooLarge, 1500u);
    EXPECT_EQ(nLines, 101u) << err.substr(0, 2000);
}

}  // namespace
