// Virtual cameras that share one world: poses (facing pair, side-by-side pair) whose decoded
// points land on the scene through the cameras' true transforms, one belt encoder latched by
// every camera at the same host instant, and lasers that blind a neighbour exposing at the same
// time unless a trigger delay puts the exposures apart.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "world_fixture.h"

namespace {
using namespace worldtest;

std::string PoseJson(const OrEyeTest::Pose& p, double dY) {
    char sz[160];
    snprintf(sz, sizeof(sz), "{\"version\": 8, \"swing_motor\": false, \"pose\": {\"x\": %g, \"y\": %.3f, \"z\": %g, \"roll\": %g}}",
             p.dX, dY, p.dZ, p.dRoll);
    return sz;
}

class WorldPair : public ::testing::TestWithParam<Pair> {
protected:
    // Both cameras of the pair, moved together along the travel so that the box is under their
    // lines now (a common shift along the belt leaves the pair as it is).
    void Open(double dLead = 0.0) {
        const double dNow = OrEyeTest::WorldTravelMm(HostNow());
        const double dY = 110.0 - std::fmod(dNow + dLead, 600.0);
        const Pair& p = GetParam();
        std::string strJson = "[";
        strJson += PoseJson(p.a, dY);
        strJson += ", ";
        strJson += PoseJson(p.b, dY);
        strJson += "]";
        ConfigureCameras(strJson);
        for (int i = 0; i < 2; ++i) {
            m_apCam[i].reset(CreateOrEyeApi(OREYEAPI_TYPE_LOCAL));
            ASSERT_NE(nullptr, m_apCam[i]);
            ASSERT_EQ(c_nOrEyeOK, m_apCam[i]->InitDevice(0, 0, 0, 3, i == 0 ? "virtual:0" : "virtual:1"));
            ASSERT_TRUE(OrEyeTest::VirtualCamera(i)->GetPose(&m_aPose[i]));
        }
    }
    void TearDown() override {
        for (auto& p : m_apCam) p.reset();
        unsetenv("KXEYE_VIRTUAL_CAMERAS");
    }
    std::unique_ptr<IOrEyeCamera> m_apCam[2];
    OrEyeTest::Pose m_aPose[2];
};

// Every decoded point of both cameras lies on the scene when mapped with the camera's true
// transform; both see the box top at its height, the facing pair one long side each (and the box
// between them at its width), the side-by-side pair more of the belt together than either alone.
TEST_P(WorldPair, PointsLandOnTheSceneThroughTheTrueTransforms) {
    Open();
    const Pair& pair = GetParam();
    Seen seen[2];
    std::vector<uint8_t> laser(32800);
    unsigned char* apDest[3] = {nullptr, nullptr, laser.data()};
    const auto tEnd = std::chrono::steady_clock::now() + std::chrono::seconds(20);  // bound only
    const auto enough = [&] {
        for (int i = 0; i < 2; ++i) {
            if (seen[i].nTop < 200) return false;
            if (pair.bFacing && (i == 0 ? seen[i].nFaceLow : seen[i].nFaceHigh) < 50) return false;
        }
        return true;
    };
    while (!enough() && std::chrono::steady_clock::now() < tEnd) {
        for (int i = 0; i < 2; ++i) {
            ASSERT_EQ(c_nOrEyeOK, m_apCam[i]->GrabFrame(apDest, nullptr, nullptr, 1000));
            for (const auto& w : WorldPoints(laser.data(), m_aPose[i])) seen[i].Add(w);
        }
    }
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i == 0 ? "camera 0" : "camera 1");
        EXPECT_GT(seen[i].nPoints, 1000);
        EXPECT_EQ(0, seen[i].nOff) << "points off the scene";
        ASSERT_GE(seen[i].nTop, 200) << "the box top was not seen";
        EXPECT_NEAR(30.0, seen[i].dTopSum / seen[i].nTop, 0.02);
    }
    if (pair.bFacing) {
        // Each camera sees the long side facing it, not the far one.
        ASSERT_GE(seen[0].nFaceLow, 50);
        ASSERT_GE(seen[1].nFaceHigh, 50);
        EXPECT_EQ(0, seen[0].nFaceHigh);
        EXPECT_EQ(0, seen[1].nFaceLow);
        const double dWidth = seen[1].dFaceHighSum / seen[1].nFaceHigh - seen[0].dFaceLowSum / seen[0].nFaceLow;
        EXPECT_NEAR(100.0, dWidth, 0.3);
    } else {
        // Across a wide belt: together they cover what neither covers alone, overlapping over the box.
        EXPECT_LT(seen[0].dMinX, -420.0);
        EXPECT_GT(seen[1].dMaxX, 250.0);
        EXPECT_LT(seen[0].dMaxX, seen[1].dMaxX - 300.0);
        EXPECT_GT(seen[0].dMaxX, seen[1].dMinX + 40.0);  // they overlap over the box top
    }
}

INSTANTIATE_TEST_SUITE_P(Pairs, WorldPair, ::testing::ValuesIn(c_aPairs),
                         [](const ::testing::TestParamInfo<Pair>& i) { return std::string(i.param.pszName); });

// Frames of streaming cameras, laser part only.
struct Sink {
    std::mutex mtx;
    std::vector<std::vector<uint8_t>> vecFrames;
    IOrEyeCamera* pCam = nullptr;
    static void Callback(int nEvent, int, void* pBuffer, unsigned int nLength, unsigned int nId, void* pCtx) {
        if (nEvent != c_nOrEyeEventFrame) return;
        Sink* s = static_cast<Sink*>(pCtx);
        {
            std::lock_guard<std::mutex> lock(s->mtx);
            const uint8_t* p = static_cast<uint8_t*>(pBuffer) + nLength - 32800;
            s->vecFrames.emplace_back(p, p + 32800);
        }
        s->pCam->ReleaseFrameBuffer(nId);
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(mtx);
        return vecFrames.size();
    }
};

class WorldStream : public WorldPair {
protected:
    // Streams both cameras at the rate, camera 1 with the trigger delay, until each has n frames.
    void Stream(uint16_t nRate, unsigned int nDelayUs, size_t n, const std::function<bool()>& more = nullptr) {
        for (int i = 0; i < 2; ++i) {
            m_aSink[i].pCam = m_apCam[i].get();
            ASSERT_EQ(c_nOrEyeOK, m_apCam[i]->SetParam(34, &nRate, 2));
            ASSERT_EQ(c_nOrEyeOK, m_apCam[i]->SetTriggerN(0, i == 1 ? nDelayUs : 0));
            ASSERT_EQ(c_nOrEyeOK, m_apCam[i]->SetFrameCallback(1, &Sink::Callback, &m_aSink[i]));
        }
        for (int i = 0; i < 2; ++i) ASSERT_EQ(c_nOrEyeOK, m_apCam[i]->EnableStream(1));
        for (int k = 0; k < 1000 && (m_aSink[0].Count() < n || m_aSink[1].Count() < n || (more && more())); ++k)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        for (int i = 0; i < 2; ++i) ASSERT_EQ(c_nOrEyeOK, m_apCam[i]->EnableStream(0));
        for (int i = 0; i < 2; ++i) ASSERT_GE(m_aSink[i].vecFrames.size(), n);
    }
    Sink m_aSink[2];
};

// Both cameras latch one encoder: a frame's count is the world's count at the instant its own
// timestamp maps to on the host's clock, and frames of both cameras at one instant carry one count.
TEST_P(WorldStream, OneEncoderLatchedByEveryCamera) {
    Open();
    // A busy machine skips grid instants; stream until both cameras met at five of them.
    const auto hostNs = [](const std::vector<uint8_t>& f, const OrEyeTest::ClockTruth& truth) {
        double dTicks = DecodeTrailer(f.data(), 8).nTimestamp;  // unwrapped next to now
        const double dNowTicks = OrEyeTest::TicksAt(truth, HostNow());
        while (dTicks + truth.nTimestampWrap < dNowTicks + 1) dTicks += truth.nTimestampWrap;
        return OrEyeTest::HostNsAt(truth, dTicks);
    };
    const auto common = [&] {
        std::set<int64_t> set[2];
        for (int i = 0; i < 2; ++i) {
            const OrEyeTest::ClockTruth truth = OrEyeTest::VirtualCamera(i)->GetClockTruth();
            std::lock_guard<std::mutex> lock(m_aSink[i].mtx);
            for (const auto& f : m_aSink[i].vecFrames) set[i].insert(std::llround(hostNs(f, truth) / 1e7));
        }
        int n = 0;
        for (int64_t g : set[0]) n += static_cast<int>(set[1].count(g));
        return n;
    };
    Stream(100, 0, 12, [&] { return common() < 5; });
    std::map<int64_t, uint32_t> mapCount[2];  // grid instant (10 ms steps) -> count
    for (int i = 0; i < 2; ++i) {
        const OrEyeTest::ClockTruth truth = OrEyeTest::VirtualCamera(i)->GetClockTruth();
        for (const auto& f : m_aSink[i].vecFrames) {
            const DecodedTrailer d = DecodeTrailer(f.data(), 8);
            const double dHostNs = hostNs(f, truth);
            const int64_t nGrid = std::llround(dHostNs / 1e7);
            // On the 100 frames per second grid of the host's clock, within a tick.
            EXPECT_NEAR(dHostNs, nGrid * 1e7, 20e3) << "camera " << i;
            const uint32_t nWorld = OrEyeTest::WorldEncoderCount(nGrid * 10000000ll) & 0x1FFFFFFF;
            EXPECT_EQ(nWorld, d.nEncoderOrAngle) << "camera " << i;
            mapCount[i][nGrid] = d.nEncoderOrAngle;
        }
    }
    int nCommon = 0;
    for (const auto& e : mapCount[0]) {
        auto it = mapCount[1].find(e.first);
        if (it == mapCount[1].end()) continue;
        ++nCommon;
        EXPECT_EQ(e.second, it->second);
    }
    EXPECT_GE(nCommon, 5);
}

// Exposures at the same instants: each camera's frames carry points off the scene where the
// other's laser line shows in its picture. Half a frame period of trigger delay: clean frames.
// (Side by side the two laser planes coincide, so a foreign spot triangulates onto the scene.)
class WorldBlinding : public WorldStream {};
TEST_P(WorldBlinding, LasersBlindANeighbourExposingAtTheSameTime) {
    for (const unsigned int nDelayUs : {0u, 10000u}) {
        char szTrace[48];
        snprintf(szTrace, sizeof(szTrace), "trigger delay %u us", nDelayUs);
        SCOPED_TRACE(szTrace);
        Open();
        for (auto& s : m_aSink) s.vecFrames.clear();
        const auto together = [&] {
            std::set<uint32_t> set0;
            int n = 0;
            {
                std::lock_guard<std::mutex> lock(m_aSink[0].mtx);
                for (const auto& f : m_aSink[0].vecFrames) set0.insert(DecodeTrailer(f.data(), 8).nEncoderOrAngle);
            }
            std::lock_guard<std::mutex> lock(m_aSink[1].mtx);
            for (const auto& f : m_aSink[1].vecFrames) n += static_cast<int>(set0.count(DecodeTrailer(f.data(), 8).nEncoderOrAngle));
            return n;
        };
        Stream(50, nDelayUs, 6, [&] { return nDelayUs == 0 && together() < 3; });
        // Frames of both at one instant (one encoder count) were made while both streamed.
        std::set<uint32_t> setCounts[2];
        for (int i = 0; i < 2; ++i)
            for (const auto& f : m_aSink[i].vecFrames) setCounts[i].insert(DecodeTrailer(f.data(), 8).nEncoderOrAngle);
        for (int i = 0; i < 2; ++i) {
            int nTogether = 0, nBlinded = 0;
            for (const auto& f : m_aSink[i].vecFrames) {
                Seen s;
                for (const auto& w : WorldPoints(f.data(), m_aPose[i])) s.Add(w);
                if (nDelayUs != 0) {
                    EXPECT_EQ(0, s.nOff) << "camera " << i;
                    continue;
                }
                if (setCounts[1 - i].count(DecodeTrailer(f.data(), 8).nEncoderOrAngle) == 0) continue;
                ++nTogether;
                if (s.nOff >= 20) ++nBlinded;
            }
            if (nDelayUs == 0) {
                EXPECT_GE(nTogether, 3) << "camera " << i;
                EXPECT_EQ(nTogether, nBlinded) << "camera " << i;
            }
        }
        TearDown();
    }
}

INSTANTIATE_TEST_SUITE_P(Pairs, WorldStream, ::testing::ValuesIn(c_aPairs),
                         [](const ::testing::TestParamInfo<Pair>& i) { return std::string(i.param.pszName); });
INSTANTIATE_TEST_SUITE_P(Pairs, WorldBlinding, ::testing::Values(c_aPairs[0]),
                         [](const ::testing::TestParamInfo<Pair>& i) { return std::string(i.param.pszName); });

TEST(WorldPoseConfig, PoseIsCheckedStrictly) {
    const struct {
        const char* pszJson;
        const char* pszReason;
    } aCases[] = {
        {"[{\"pose\": {\"x\": 1, \"rol\": 3}}]", "camera 0.pose: unknown key \"rol\""},
        {"[{\"pose\": {\"z\": 50}}]", "camera 0.pose.z: must be 100 to 2000 (got 50)"},
        {"[{\"pose\": {\"roll\": -90}}]", "camera 0.pose.roll: must be -80 to 80 (got -90)"},
        {"[{\"pose\": {\"x\": \"0\"}}]", "camera 0.pose.x: must be a number (got \"0\")"},
        {"[{\"pose\": [0, 0, 400, 0]}]",
         "camera 0.pose: must be an object {\"x\", \"y\", \"z\", \"roll\"} (got [0,0,400,0])"},
    };
    for (const auto& c : aCases) {
        setenv("KXEYE_VIRTUAL_CAMERAS", c.pszJson, 1);
        EXPECT_LT(OrEyeTest::ReloadVirtualCameras(), 0) << c.pszJson;
        char sz[300] = {};
        EXPECT_EQ(c_nOrEyeBadArgument, OrEyeCheckVirtualCameras(sz, sizeof(sz)));
        EXPECT_EQ(std::string("KXEYE_VIRTUAL_CAMERAS: ") + c.pszReason, sz);
    }
    // An empty pose is the default pose in the shared world; no pose, the camera's own belt.
    ConfigureCameras("[{\"pose\": {}}, {}]");
    OrEyeTest::Pose p{};
    EXPECT_TRUE(OrEyeTest::VirtualCamera(0)->GetPose(&p));
    EXPECT_EQ(0.0, p.dX);
    EXPECT_EQ(400.0, p.dZ);
    EXPECT_FALSE(OrEyeTest::VirtualCamera(1)->GetPose(&p));
    unsetenv("KXEYE_VIRTUAL_CAMERAS");
    EXPECT_GT(OrEyeTest::ReloadVirtualCameras(), 0);
}

// The true transform is a proper rotation that maps the camera's X (the travel) to the world's Y.
TEST(WorldPoseConfig, TrueTransformIsAProperRotationKeepingTheTravel) {
    for (const double dRoll : {-80.0, -30.0, 0.0, 12.5, 80.0}) {
        double R[9], t[3];
        OrEyeTest::PoseTransform(OrEyeTest::Pose{1, 2, 300, dRoll}, R, t);
        const double det = R[0] * (R[4] * R[8] - R[5] * R[7]) - R[1] * (R[3] * R[8] - R[5] * R[6]) +
                           R[2] * (R[3] * R[7] - R[4] * R[6]);
        EXPECT_NEAR(1.0, det, 1e-12);
        EXPECT_EQ(0.0, R[0]);
        EXPECT_EQ(1.0, R[3]);
        EXPECT_EQ(0.0, R[6]);
        EXPECT_EQ(300.0, t[2]);
    }
}

}  // namespace
