// The one reference-counting implementation shared by every class.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "kxunknown.h"

namespace {
std::atomic<int> g_nDestroyed{0};
class CCounted : public IKxUnknown {
public:
    ~CCounted() override { ++g_nDestroyed; }
};
}  // namespace

TEST(RefCount, AddRefAnswersCountBeforeReleaseAfter) {
    g_nDestroyed = 0;
    CCounted* p = new CCounted;
    EXPECT_EQ(p->AddRef(), 1);
    EXPECT_EQ(p->GetRefCount(), 2);
    EXPECT_EQ(p->Release(), 1);
    EXPECT_EQ(g_nDestroyed, 0);
    EXPECT_EQ(p->Release(), 0);
    EXPECT_EQ(g_nDestroyed, 1);
}

TEST(RefCount, ManyThreadsDestroyExactlyOnce) {
    g_nDestroyed = 0;
    for (int round = 0; round < 50; ++round) {
        CCounted* p = new CCounted;
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([p] {
                for (int i = 0; i < 1000; ++i) {
                    p->AddRef();
                    p->Release();
                }
                p->AddRef();
            });
        }
        for (auto& t : threads) t.join();
        EXPECT_EQ(p->GetRefCount(), 5);
        std::vector<std::thread> releasers;
        for (int t = 0; t < 5; ++t) releasers.emplace_back([p] { p->Release(); });
        for (auto& t : releasers) t.join();
    }
    EXPECT_EQ(g_nDestroyed, 50);
}
