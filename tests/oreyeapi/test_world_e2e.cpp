// Virtual cameras of two emulators, each in its own network namespace, share one world: the
// poses pass through the emulator's configuration, both cameras see the scene from their places
// (every point on it through the true transforms), and both latch the world's encoder count at
// the instant they make a frame. Root only; skipped elsewhere.
#include <cstdio>

#include "support/kxemulab.h"
#include "world_fixture.h"

namespace {
using namespace worldtest;

class WorldE2E : public kxtest::EmulatorTest {
protected:
    void SetUp() override {
        EmulatorTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        m_cam2 = m_pLab->AddNamespace("cam2");
        m_pLab->Link(m_host, "eth0", "192.0.2.1/24", m_cam, "eth0", "");
        m_pLab->Link(m_host, "eth1", "198.51.100.1/24", m_cam2, "eth0", "");
    }
    std::string m_cam2;
};

std::string CameraJson(const char* pszIp, const char* pszMac, const OrEyeTest::Pose& p, double dY) {
    char sz[300];
    snprintf(sz, sizeof(sz),
             "[{\"ip\": \"%s\", \"mac\": \"%s\", \"version\": 8, \"swing_motor\": false, "
             "\"pose\": {\"x\": %g, \"y\": %.3f, \"z\": %g, \"roll\": %g}}]",
             pszIp, pszMac, p.dX, dY, p.dZ, p.dRoll);
    return sz;
}

TEST_F(WorldE2E, EmulatorsInTwoNamespacesShareTheBeltAndItsEncoder) {
    const Pair& pair = c_aPairs[0];  // the facing pair
    // The pair placed along the belt so that the box reaches the lines about when both serve.
    const double dY = 110.0 - std::fmod(OrEyeTest::WorldTravelMm(HostNow()) + 150.0, 600.0);
    StartEmulator(CameraJson("192.0.2.10/24", "02:4b:58:00:00:10", pair.a, dY));
    StartEmulator(CameraJson("198.51.100.10/24", "02:4b:58:00:00:11", pair.b, dY), {}, "eth0", m_cam2);
    kxtest::CInNetns in(m_host);
    const char* const apszIp[2] = {"192.0.2.10", "198.51.100.10"};
    const OrEyeTest::Pose aPose[2] = {{pair.a.dX, dY, pair.a.dZ, pair.a.dRoll}, {pair.b.dX, dY, pair.b.dZ, pair.b.dRoll}};
    std::unique_ptr<IOrEyeCamera> apCam[2];
    for (int i = 0; i < 2; ++i) {
        apCam[i].reset(CreateOrEyeApi(OREYEAPI_TYPE_ETHERNET));
        ASSERT_EQ(c_nOrEyeOK, apCam[i]->InitDevice(1536, 2048, 0, 5, apszIp[i]));
    }
    Seen seen[2];
    int nFrames = 0;
    std::vector<uint8_t> laser(c_nOrEyeLaserBytes);
    unsigned char* apDest[3] = {nullptr, nullptr, laser.data()};
    const auto tEnd = std::chrono::steady_clock::now() + std::chrono::seconds(20);  // bound only
    const auto enough = [&] {
        return seen[0].nTop >= 200 && seen[1].nTop >= 200 && seen[0].nFaceLow >= 50 && seen[1].nFaceHigh >= 50;
    };
    while (!enough() && std::chrono::steady_clock::now() < tEnd) {
        for (int i = 0; i < 2; ++i) {
            const int64_t nBefore = HostNow();
            ASSERT_EQ(c_nOrEyeOK, apCam[i]->GrabFrame(apDest, nullptr, nullptr, 2000));
            const int64_t nAfter = HostNow();
            // The other process latched the world's count of an instant between the two.
            const uint32_t nMask = 0x1FFFFFFF;
            const uint32_t nLo = OrEyeTest::WorldEncoderCount(nBefore) & nMask;
            const uint32_t nHi = OrEyeTest::WorldEncoderCount(nAfter) & nMask;
            const uint32_t nCount = DecodeTrailer(laser.data(), 8).nEncoderOrAngle;
            EXPECT_LE((nCount - nLo) & nMask, (nHi - nLo) & nMask) << "camera " << i;
            for (const auto& w : WorldPoints(laser.data(), aPose[i])) seen[i].Add(w);
            ++nFrames;
        }
    }
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(0, seen[i].nOff) << "camera " << i << ": points off the scene";
        EXPECT_GE(seen[i].nTop, 200) << "camera " << i << ": the box top";
        if (seen[i].nTop > 0) {
            EXPECT_NEAR(30.0, seen[i].dTopSum / seen[i].nTop, 0.02);
        }
    }
    ASSERT_GE(seen[0].nFaceLow, 50);
    ASSERT_GE(seen[1].nFaceHigh, 50);
    EXPECT_NEAR(100.0, seen[1].dFaceHighSum / seen[1].nFaceHigh - seen[0].dFaceLowSum / seen[0].nFaceLow, 0.3);
    printf("world e2e: %d frames grabbed from two emulators\n", nFrames);
}

}  // namespace
