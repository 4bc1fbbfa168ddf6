// The socket seam of the Ethernet path on this system: datagrams over loopback with their
// arrival address and card, two-part sends, batches, cut datagrams and time-outs. Nothing is
// sent anywhere but 127.0.0.1.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ornet.h"

namespace {

const uint32_t c_nLoopback = 0x7F000001u;

class OrNetLoopback : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(rx.Open(c_nLoopback, 0));
        ASSERT_TRUE(tx.Open(c_nLoopback, 0));
        nPort = rx.LocalPort();
        ASSERT_NE(0, nPort);
    }
    OrNet::CUdpSocket rx, tx;
    uint16_t nPort = 0;
};

TEST_F(OrNetLoopback, DatagramArrivesWithSenderAddressAndCard) {
    const char c_szText[] = "laser eye";
    ASSERT_TRUE(tx.SendTo(c_szText, sizeof c_szText, c_nLoopback, nPort));
    char buf[64] = {};
    OrNet::SDatagramInfo info;
    ASSERT_EQ(static_cast<int>(sizeof c_szText), rx.Receive(buf, sizeof buf, 2000, &info));
    EXPECT_STREQ(c_szText, buf);
    EXPECT_EQ(c_nLoopback, info.nFrom);
    EXPECT_EQ(tx.LocalPort(), info.nFromPort);
    EXPECT_EQ(c_nLoopback, info.nTo);  // the arrival address (IP_PKTINFO)
    EXPECT_NE(0, info.nIfIndex);
}

TEST_F(OrNetLoopback, TwoPartsMakeOneDatagramAndASourceCanBeGiven) {
    const uint8_t byHead[4] = {1, 2, 3, 4};
    const uint8_t byBody[3] = {5, 6, 7};
    ASSERT_TRUE(tx.SendTo2(byHead, sizeof byHead, byBody, sizeof byBody, c_nLoopback, nPort, 0, c_nLoopback));
    uint8_t buf[16] = {};
    OrNet::SDatagramInfo info;
    ASSERT_EQ(7, rx.Receive(buf, sizeof buf, 2000, &info));
    const uint8_t byWant[7] = {1, 2, 3, 4, 5, 6, 7};
    EXPECT_EQ(0, memcmp(byWant, buf, 7));
    EXPECT_EQ(c_nLoopback, info.nFrom);
}

TEST_F(OrNetLoopback, BatchesInOrderAndCutDatagramsMarked) {
    std::vector<uint8_t> small(8, 0xAB), large(600, 0xCD);
    OrNet::CUdpSocket::SSendItem items[3] = {
        {small.data(), 4, small.data() + 4, 4}, {large.data(), large.size(), nullptr, 0}, {small.data(), 2, nullptr, 0}};
    ASSERT_TRUE(tx.SendBatch(items, 3, c_nLoopback, nPort));
    std::vector<std::vector<uint8_t>> bufs(4, std::vector<uint8_t>(64));
    OrNet::CUdpSocket::SBatchItem got[4];
    for (int i = 0; i < 4; ++i) got[i] = {bufs[i].data(), bufs[i].size(), 0, {}, 0};
    int n = 0;
    // Loopback delivers at once, but a batch may be split over calls.
    for (int nTry = 0; n < 3 && nTry < 10; ++nTry) {
        const int r = rx.ReceiveBatch(got + n, 4 - n, 2000);
        ASSERT_GE(r, 0);
        n += r;
    }
    ASSERT_EQ(3, n);
    EXPECT_EQ(8u, got[0].nSize);
    EXPECT_EQ(0u, got[1].nSize);  // 600 bytes into 64: cut, size 0
    EXPECT_EQ(2u, got[2].nSize);
    EXPECT_EQ(c_nLoopback, got[2].info.nFrom);
}

TEST_F(OrNetLoopback, CutDatagramAndTimeout) {
    std::vector<uint8_t> large(600, 0x11);
    ASSERT_TRUE(tx.SendTo(large.data(), large.size(), c_nLoopback, nPort));
    uint8_t buf[16];
    EXPECT_EQ(-2, rx.Receive(buf, sizeof buf, 2000, nullptr));
    EXPECT_EQ(0, rx.Receive(buf, sizeof buf, 20, nullptr));  // nothing more
}

TEST(OrNetClosed, ClosedSocketRefusesEverything) {
    OrNet::CUdpSocket s;
    EXPECT_FALSE(s.IsOpen());
    EXPECT_FALSE(s.SendTo("x", 1, c_nLoopback, 9));
    char c;
    EXPECT_EQ(-1, s.Receive(&c, 1, 0, nullptr));
    EXPECT_EQ(0, s.LocalPort());
}

TEST(OrNetText, AddressesBothWays) {
    uint32_t n = 0;
    ASSERT_TRUE(OrNet::ParseIPv4("192.0.2.17", &n));
    EXPECT_EQ(0xC0000211u, n);
    EXPECT_EQ("192.0.2.17", OrNet::FormatIPv4(n));
    EXPECT_FALSE(OrNet::ParseIPv4("192.0.2", &n));
    EXPECT_FALSE(OrNet::ParseIPv4(nullptr, &n));
}

TEST(OrNetCards, LoopbackIsNotACardAndCardsHaveAddresses) {
    for (const OrNet::SCard& c : OrNet::ListCards()) {
        EXPECT_NE(c_nLoopback, c.nAddress) << c.strName;
        EXPECT_NE(0u, c.nAddress) << c.strName;
        EXPECT_EQ((c.nAddress & c.nNetmask) | ~c.nNetmask, c.nBroadcast) << c.strName;
        OrNet::SCard byName;
        EXPECT_TRUE(OrNet::FindCardByName(c.strName, &byName));
    }
}

}  // namespace
