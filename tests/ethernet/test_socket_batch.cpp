// The socket seam's batched calls on Linux, over loopback: datagrams sent in batches (the kernel
// joins runs of one size into one buffer and cuts them again) arrive one by one, in order, byte
// for byte, whatever the mix of sizes; a receiver that takes joined buffers splits them right.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "ornet.h"

namespace {
constexpr uint32_t c_nLoopback = 0x7F000001u;
constexpr size_t c_nHeader = 32;

struct SBatchCase {
    const char* pszName;
    std::vector<size_t> vecPayloads;  // payload bytes of each datagram, in sending order
};

void PrintTo(const SBatchCase& c, std::ostream* os) { *os << c.pszName; }

std::vector<size_t> Repeat(size_t nBytes, int nCount) { return std::vector<size_t>(static_cast<size_t>(nCount), nBytes); }

std::vector<size_t> Join(std::initializer_list<std::vector<size_t>> parts) {
    std::vector<size_t> v;
    for (const auto& p : parts) v.insert(v.end(), p.begin(), p.end());
    return v;
}

// Every byte tells the datagram and its place in it, so that a split at the wrong place shows.
uint8_t ByteOf(size_t nDatagram, size_t nAt) { return static_cast<uint8_t>(nDatagram * 131 + nAt * 7 + 1); }

class SocketBatch : public testing::TestWithParam<SBatchCase> {};

TEST_P(SocketBatch, DatagramsArriveWholeInOrder) {
    const SBatchCase& c = GetParam();
    OrNet::CUdpSocket rx, tx;
    ASSERT_TRUE(rx.Open(c_nLoopback, 0));
    ASSERT_TRUE(tx.Open(c_nLoopback, 0));
    rx.SetReceiveBuffer(8 * 1024 * 1024);
    std::vector<std::vector<uint8_t>> vecBufs(8, std::vector<uint8_t>(65536));
    OrNet::CUdpSocket::SBatchItem aItems[8];
    // The receiver is waiting before the stream begins, as the library's stream thread is.
    for (int i = 0; i < 8; ++i) aItems[i] = {vecBufs[i].data(), vecBufs[i].size(), 0, {}, 0};
    ASSERT_EQ(rx.ReceiveBatch(aItems, 8, 0), 0);
    // Header and payload live apart, as the camera sends them.
    std::vector<std::vector<uint8_t>> vecHeaders, vecPayloads;
    std::vector<OrNet::CUdpSocket::SSendItem> vecItems;
    for (size_t i = 0; i < c.vecPayloads.size(); ++i) {
        std::vector<uint8_t> h(c_nHeader), p(c.vecPayloads[i]);
        for (size_t k = 0; k < h.size(); ++k) h[k] = ByteOf(i, k);
        for (size_t k = 0; k < p.size(); ++k) p[k] = ByteOf(i, c_nHeader + k);
        vecHeaders.push_back(std::move(h));
        vecPayloads.push_back(std::move(p));
    }
    for (size_t i = 0; i < c.vecPayloads.size(); ++i)
        vecItems.push_back({vecHeaders[i].data(), c_nHeader, vecPayloads[i].data(), vecPayloads[i].size()});
    ASSERT_TRUE(tx.SendBatch(vecItems.data(), static_cast<int>(vecItems.size()), c_nLoopback, rx.LocalPort()));

    std::vector<std::vector<uint8_t>> vecGot;
    int nJoined = 0;
    const auto tEnd = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (vecGot.size() < c.vecPayloads.size() && std::chrono::steady_clock::now() < tEnd) {
        for (int i = 0; i < 8; ++i) aItems[i] = {vecBufs[i].data(), vecBufs[i].size(), 0, {}, 0};
        const int n = rx.ReceiveBatch(aItems, 8, 100);
        ASSERT_GE(n, 0);
        for (int i = 0; i < n; ++i) {
            const auto& it = aItems[i];
            EXPECT_EQ(it.info.nFrom, c_nLoopback);
            EXPECT_EQ(it.info.nFromPort, tx.LocalPort());
            if (it.nSegment == 0) {
                vecGot.emplace_back(it.p, it.p + it.nSize);
                continue;
            }
            ++nJoined;
            for (size_t nAt = 0; nAt < it.nSize; nAt += it.nSegment)
                vecGot.emplace_back(it.p + nAt, it.p + nAt + std::min(it.nSegment, it.nSize - nAt));
        }
    }
    ASSERT_EQ(vecGot.size(), c.vecPayloads.size());
    for (size_t i = 0; i < vecGot.size(); ++i) {
        std::vector<uint8_t> want = vecHeaders[i];
        want.insert(want.end(), vecPayloads[i].begin(), vecPayloads[i].end());
        ASSERT_EQ(vecGot[i], want) << "datagram " << i;
    }
    // Runs of one size went out joined and came in joined (else the split was never tried).
    if (c.vecPayloads.size() >= 8) {
        EXPECT_GT(nJoined, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Mixes, SocketBatch,
    testing::Values(
        // A laser frame at MTU 1500: 22 full packets and a shorter last one.
        SBatchCase{"LaserFrameAtMtu1500", Join({Repeat(1440, 22), {1120}})},
        // More datagrams than one call's messages, runs longer than one joined buffer holds.
        SBatchCase{"ManyFullPackets", Repeat(1440, 300)},
        // A size change inside a run, a longer datagram after a shorter one, lone datagrams,
        // a header without payload.
        SBatchCase{"MixedSizes", Join({Repeat(1000, 5), {600}, Repeat(1000, 3), {1200}, {10}, {0}, Repeat(8940, 9), {17}})},
        // Jumbo packets: only seven fit one joined buffer.
        SBatchCase{"JumboPackets", Join({Repeat(8940, 40), {4000}})}),
    [](const testing::TestParamInfo<SBatchCase>& i) { return std::string(i.param.pszName); });
}  // namespace
