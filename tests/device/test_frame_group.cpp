// The frame-group helper's pairing: streams of frames with known encoder counts or host times
// fed per device, the groups it forms, what it leaves unpaired, and that every frame goes back.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "kxlasereyegroup.h"

namespace {

std::atomic<int> g_nLive{0};

// A frame with an encoder count and a host time, nothing else.
class CFakeBlock : public IKxLaserEyeResultBlockEx {
public:
    CFakeBlock(uint32_t nCount, int64_t nHostNs, uint64_t nIndex) : m_nCount(nCount), m_nHostNs(nHostNs), m_nIndex(nIndex) {
        ++g_nLive;
    }
    ~CFakeBlock() override { --g_nLive; }
    bool GetSurfaces(IKxSurface**, IKxSurface**) override { return false; }
    void ReservedSlot4(void*) override {}
    uint64_t GetFrameIndex() override { return m_nIndex; }
    uint64_t GetTimeStamp() override { return 0; }
    void SetAfterProcParam(const SKxLaserResultAfterProcParam&) override {}
    uint32_t GetRawTimeStamp() override { return 0; }
    uint32_t GetRawFrameCounter() override { return 0; }
    uint32_t GetEncoderCount() override { return m_nCount; }
    float GetAngle(bool* pb) override {
        if (pb) *pb = false;
        return 0;
    }
    void SetUserFlag(bool) override {}
    bool GetUserFlag() override { return false; }
    bool IsSweepEnd() override { return false; }
    int32_t GetOffsets(double*, double*) override { return 0; }
    const void* GetPointData(int32_t, int32_t* pn) override {
        if (pn) *pn = 0;
        return nullptr;
    }
    const void* GetPixelData(int32_t, int32_t* pn) override {
        if (pn) *pn = 0;
        return nullptr;
    }
    int32_t ReservedSlot18(int32_t, void*, void*) override { return -1; }
    bool IsFrameConsistent() override { return true; }
    int32_t ReservedSlot20() override { return 0; }
    void SaveToFile(const char*) override {}
    uint32_t GetRawPointCount() override { return 0; }
    void GetExtendedInfo(void*, void*) override {}
    int32_t ReservedSlot24() override { return 0; }
    bool ReservedSlot25() override { return false; }
    int32_t GetHostTime(SKxHostTime* p) override {
        *p = SKxHostTime();
        p->nHostNs = m_nHostNs;
        p->nState = 2;
        return 0;
    }
    uint32_t m_nCount;
    int64_t m_nHostNs;
    uint64_t m_nIndex;
};

class CGroups : public IKxFrameGroupHandler {
public:
    void OnFrameGroup(IKxLaserEyeResultBlock* const* pp, uint32_t n, const SKxFrameGroupInfo& info) override {
        std::vector<uint32_t> vec;
        for (uint32_t i = 0; i < n; ++i) {
            CFakeBlock* p = static_cast<CFakeBlock*>(pp[i]);
            vec.push_back(info.nPairedBy == c_nKxPairByHostTime ? static_cast<uint32_t>(p->m_nHostNs / 1000) : p->m_nCount);
        }
        std::lock_guard<std::mutex> lock(m);
        groups.push_back(vec);
        spreads.push_back(info.nSpread);
        nPairedBy = info.nPairedBy;
    }
    std::mutex m;
    std::vector<std::vector<uint32_t>> groups;
    std::vector<int64_t> spreads;
    int32_t nPairedBy = 0;
};

// Feeds the streams interleaved (device by device, frame by frame) and stops.
void FeedAll(CKxFrameGroup& group, const std::vector<std::vector<uint32_t>>& streams, bool bHostTime) {
    ASSERT_EQ(0, group.StartFed());
    size_t nMost = 0;
    for (const auto& s : streams) nMost = std::max(nMost, s.size());
    for (size_t k = 0; k < nMost; ++k)
        for (size_t i = 0; i < streams.size(); ++i) {
            if (k >= streams[i].size()) continue;
            const uint32_t v = streams[i][k];
            CFakeBlock* p = new CFakeBlock(bHostTime ? 7 : v, bHostTime ? int64_t(v) * 1000 : 0, k + 1);
            group.Feed(i, p);
            p->Release();
        }
    // Stop groups whatever is still waiting: the result does not depend on the thread's timing.
    group.Stop();
}

struct PairCase {
    const char* pszName;
    int32_t nPairBy;
    int64_t nMaxSpread;
    std::vector<std::vector<uint32_t>> streams;
    std::vector<std::vector<uint32_t>> expected;  // groups, in order
};

void PrintTo(const PairCase& c, std::ostream* os) { *os << c.pszName; }

class FrameGroupPairing : public ::testing::TestWithParam<PairCase> {};

}  // namespace

TEST_P(FrameGroupPairing, FormsTheNearestGroupsAndGivesEveryFrameBack) {
    const PairCase& c = GetParam();
    CGroups handler;
    SKxFrameGroupOptions opts;
    opts.nPairBy = c.nPairBy;
    opts.nMaxSpread = c.nMaxSpread;
    {
        CKxFrameGroup group(std::vector<IKxLaserEyeDevice*>(c.streams.size(), nullptr), &handler, opts);
        FeedAll(group, c.streams, c.nPairBy == c_nKxPairByHostTime);
        uint64_t nFed = 0, nAccounted = 0;
        for (size_t i = 0; i < c.streams.size(); ++i) {
            SKxFrameGroupStats st;
            ASSERT_TRUE(group.GetStats(i, &st));
            EXPECT_EQ(c.streams[i].size(), st.nFrames);
            EXPECT_EQ(c.expected.size(), st.nGrouped) << "device " << i;
            nFed += st.nFrames;
            nAccounted += st.nGrouped + st.nUnpaired;
        }
        EXPECT_EQ(nFed, nAccounted) << "every frame is grouped or counted unpaired";
    }
    EXPECT_EQ(c.expected, handler.groups);
    EXPECT_EQ(0, g_nLive.load()) << "a frame was never given back";
}

INSTANTIATE_TEST_SUITE_P(
    Streams, FrameGroupPairing,
    ::testing::Values(
        // Two cameras on one encoder, one ahead by a count now and then.
        PairCase{"EncoderInStep", c_nKxPairByEncoder, 0,
                 {{100, 101, 102, 103, 104}, {100, 102, 102, 103, 105}},
                 {{100, 100}, {101, 102}, {102, 102}, {103, 103}, {104, 105}}},
        // The second camera lost a frame: the anchor's frame in the hole goes alone, the later
        // pairs are not shifted by one.
        PairCase{"PartnerLostAFrame", c_nKxPairByEncoder, 0,
                 {{10, 20, 30, 40}, {11, 31, 41}},
                 {{10, 11}, {30, 31}, {40, 41}}},
        // The same with a bound on the spread: the hole's frames stay unpaired.
        PairCase{"PartnerLostFramesBounded", c_nKxPairByEncoder, 5,
                 {{10, 20, 30, 40, 50}, {10, 50, 60}},
                 {{10, 10}, {50, 50}}},
        // Cameras half a step apart (a little more): they pair in step from the first frame,
        // rather than the anchor's first frame going alone to save a few counts of spread.
        PairCase{"HalfAStepApart", c_nKxPairByEncoder, 0,
                 {{0, 50, 100, 150, 200}, {26, 76, 126, 176, 226}},
                 {{0, 26}, {50, 76}, {100, 126}, {150, 176}, {200, 226}}},
        // A standing belt: equal counts pair frame by frame, none dropped.
        PairCase{"StandingBelt", c_nKxPairByEncoder, 0,
                 {{7, 7, 7, 7}, {7, 7, 7, 7}, {7, 7, 7, 7}},
                 {{7, 7, 7}, {7, 7, 7}, {7, 7, 7}, {7, 7, 7}}},
        // The 29-bit count wraps between frames.
        PairCase{"EncoderWraps", c_nKxPairByEncoder, 3,
                 {{0x1FFFFFFE, 0x1FFFFFFF, 0, 1, 2}, {0x1FFFFFFF, 0, 1, 2, 3}},
                 {{0x1FFFFFFF, 0x1FFFFFFF}, {0, 0}, {1, 1}, {2, 2}}},
        // No encoder: by host time (microseconds here).
        PairCase{"HostTime", c_nKxPairByHostTime, 300000,
                 {{1000, 2000, 3000, 4000}, {1100, 2150, 2900, 4100, 5000}},
                 {{1000, 1100}, {2000, 2150}, {3000, 2900}, {4000, 4100}}}),
    [](const ::testing::TestParamInfo<PairCase>& i) { return i.param.pszName; });

TEST(FrameGroupLimits, APartnerThatNeverComesHoldsNoMoreThanTheBound) {
    CGroups handler;
    SKxFrameGroupOptions opts;
    opts.nPairBy = c_nKxPairByEncoder;
    opts.nMaxPending = 4;
    {
        CKxFrameGroup group(std::vector<IKxLaserEyeDevice*>(2, nullptr), &handler, opts);
        ASSERT_EQ(0, group.StartFed());
        for (uint32_t k = 0; k < 50; ++k) {
            CFakeBlock* p = new CFakeBlock(k, 0, k + 1);
            group.Feed(0, p);
            p->Release();
        }
        for (int i = 0; i < 100 && g_nLive.load() > 4; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_LE(g_nLive.load(), 4) << "frames held beyond the pending bound";
        group.Stop();
        SKxFrameGroupStats st;
        ASSERT_TRUE(group.GetStats(0, &st));
        EXPECT_EQ(50u, st.nUnpaired);
        EXPECT_EQ(0u, group.GetGroupCount());
    }
    EXPECT_EQ(0, g_nLive.load());
}

TEST(FrameGroupLimits, AutoChoosesTheEncoderOnlyWhenItMoves) {
    for (bool bMoving : {true, false}) {
        CGroups handler;
        CKxFrameGroup group(std::vector<IKxLaserEyeDevice*>(2, nullptr), &handler);
        ASSERT_EQ(0, group.StartFed());
        for (uint32_t k = 0; k < 20; ++k)
            for (size_t i = 0; i < 2; ++i) {
                CFakeBlock* p = new CFakeBlock(bMoving ? 100 + k : 100, 1000000 + int64_t(k) * 1000000, k + 1);
                group.Feed(i, p);
                p->Release();
            }
        group.Stop();
        EXPECT_EQ(bMoving ? c_nKxPairByEncoder : c_nKxPairByHostTime, group.GetPairedBy());
        EXPECT_EQ(20u, group.GetGroupCount());
    }
    EXPECT_EQ(0, g_nLive.load());
    // Fewer than two devices, or no handler, is refused.
    CKxFrameGroup one(std::vector<IKxLaserEyeDevice*>(1, nullptr), nullptr);
    EXPECT_EQ(-79000, one.StartFed());
}
