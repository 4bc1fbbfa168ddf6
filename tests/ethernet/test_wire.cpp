// Wire codecs: byte layouts, round trips, and every malformed datagram rejected.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "orwire.h"

using namespace OrWire;

namespace {
std::vector<uint8_t> Request(uint16_t nOp, std::vector<uint8_t> data, uint32_t nOffset = 0) {
    SHeader h;
    h.nRequestId = 0x01020304;
    h.nSession = 0x1112131415161718ull;
    h.nNonce = 0xA1A2A3A4u;
    const uint8_t id[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    memcpy(h.abyDeviceId, id, 8);
    SControlRequest r;
    r.nOp = nOp;
    for (int i = 0; i < 6; ++i) r.anArg[i] = -i;
    r.nOffset = nOffset;
    r.nTotal = nOffset + static_cast<uint32_t>(data.size());
    r.pData = data.data();
    r.nData = static_cast<uint32_t>(data.size());
    std::vector<uint8_t> out;
    EncodeControlRequest(out, h, r);
    return out;
}

std::vector<uint8_t> Packet(uint32_t nIndex, uint32_t nFrameBytes, uint16_t nStride) {
    SStreamHeader s;
    s.nFrameId = 77;
    s.nIndex = nIndex;
    s.nCount = PacketCount(nFrameBytes, nStride);
    s.nOffset = nIndex * nStride;
    s.nFrameBytes = nFrameBytes;
    s.nStride = nStride;
    s.nPayload = static_cast<uint16_t>(nIndex + 1 < s.nCount ? nStride : nFrameBytes - s.nOffset);
    s.nKey = 0x2122232425262728ull;
    std::vector<uint8_t> out(c_nStreamHeaderBytes + s.nPayload, 0xAB);
    EncodeStreamHeader(out.data(), s);
    return out;
}
}  // namespace

TEST(Wire, HeaderLayoutIsPinned) {
    std::vector<uint8_t> v = Request(Op_SetParam, {9, 8, 7});
    ASSERT_EQ(v.size(), c_nHeaderBytes + c_nRequestFixedBytes + 3);
    EXPECT_EQ(std::string(v.begin(), v.begin() + 4), "KXEW");
    EXPECT_EQ(v[4], 2);                  // version
    EXPECT_EQ(v[5], Type_ControlRequest);
    EXPECT_EQ(v[8], 0x04);               // request id, little endian
    EXPECT_EQ(v[11], 0x01);
    EXPECT_EQ(v[16], 1);                 // device id
    EXPECT_EQ(v[23], 8);
    EXPECT_EQ(v[24], 0x18);              // session key, little endian
    EXPECT_EQ(v[31], 0x11);
    EXPECT_EQ(v[32], 0xA4);              // nonce
    EXPECT_EQ(v[35], 0xA1);
    EXPECT_EQ(v[36], Op_SetParam);       // op
    EXPECT_EQ(v[36 + 36], 3);            // data length
    EXPECT_EQ(v[36 + 40], 9);            // data
    std::vector<uint8_t> p = Packet(1, 5000, 1400);
    EXPECT_EQ(std::string(p.begin(), p.begin() + 4), "KXES");
    EXPECT_EQ(p[12], 1);                     // packet index
    EXPECT_EQ(p[20] | (p[21] << 8), 1400);   // offset
    EXPECT_EQ(p[28] | (p[29] << 8), 1400);   // stride
    EXPECT_EQ(p[32], 0x28);                  // stream key, little endian
    EXPECT_EQ(p[39], 0x21);
    EXPECT_EQ(p.size(), 40u + 1400u);
}

TEST(Wire, RoundTrips) {
    std::vector<uint8_t> v = Request(Op_WriteStorage, {1, 2, 3, 4}, 100);
    SHeader h;
    SControlRequest r;
    ASSERT_EQ(DecodeControlRequest(v.data(), v.size(), &h, &r), Ok);
    EXPECT_EQ(h.nRequestId, 0x01020304u);
    EXPECT_EQ(h.nSession, 0x1112131415161718ull);
    EXPECT_EQ(h.nNonce, 0xA1A2A3A4u);
    EXPECT_EQ(r.nOp, Op_WriteStorage);
    EXPECT_EQ(r.anArg[5], -5);
    EXPECT_EQ(r.nOffset, 100u);
    ASSERT_EQ(r.nData, 4u);
    EXPECT_EQ(r.pData[3], 4);

    SControlReply rep;
    rep.nOp = Op_GetParam;
    rep.anValue[0] = -7;
    const uint8_t d[2] = {5, 6};
    rep.pData = d;
    rep.nData = 2;
    h.nStatus = -10014;
    EncodeControlReply(v, h, rep);
    SControlReply back;
    SHeader hb;
    ASSERT_EQ(DecodeControlReply(v.data(), v.size(), &hb, &back), Ok);
    EXPECT_EQ(hb.nStatus, -10014);
    EXPECT_EQ(back.anValue[0], -7);
    EXPECT_EQ(back.pData[1], 6);

    SSearchInfo info;
    for (int i = 0; i < 8; ++i) info.abyDeviceId[i] = static_cast<uint8_t>(0x40 + i);
    info.abyIp[0] = 192;
    info.abyMac[5] = 0x11;
    info.abyNetmask[0] = 255;
    EncodeSearchReply(v, 9, info);
    EXPECT_EQ(v.size(), c_nHeaderBytes + c_nSearchInfoBytes);
    SSearchInfo ib;
    ASSERT_EQ(DecodeSearchReply(v.data(), v.size(), &hb, &ib), Ok);
    EXPECT_EQ(ib.abyIp[0], 192);
    EXPECT_EQ(ib.abyMac[5], 0x11);
    EXPECT_EQ(ib.abyDeviceId[7], 0x47);

    SResendRequest rr;
    rr.nFrameId = 12;
    rr.nRanges = 2;
    rr.asRange[0] = {3, 1};
    rr.asRange[1] = {9, 4};
    EncodeResendRequest(v, h, rr);
    SResendRequest rb;
    ASSERT_EQ(DecodeResendRequest(v.data(), v.size(), &hb, &rb), Ok);
    EXPECT_EQ(rb.nRanges, 2u);
    EXPECT_EQ(rb.asRange[1].nFirst, 9u);
    EXPECT_EQ(rb.asRange[1].nCount, 4u);

    std::vector<uint8_t> last = Packet(3, 5000, 1400);
    SStreamHeader s;
    const uint8_t* pay = nullptr;
    ASSERT_EQ(DecodeStreamPacket(last.data(), last.size(), &s, &pay), Ok);
    EXPECT_EQ(s.nCount, 4u);
    EXPECT_EQ(s.nPayload, 5000 - 3 * 1400);
    EXPECT_EQ(pay, last.data() + c_nStreamHeaderBytes);
    EXPECT_EQ(s.nKey, 0x2122232425262728ull);

    EncodeStreamConfirm(v, h, 0xC0FFEE01u);
    uint32_t nCookie = 0;
    ASSERT_EQ(DecodeStreamConfirm(v.data(), v.size(), &hb, &nCookie), Ok);
    EXPECT_EQ(nCookie, 0xC0FFEE01u);
    EXPECT_EQ(hb.nSession, h.nSession);

    SConnectInfo ci;
    ci.nStreamKey = 0x0102030405060708ull;
    ci.nCookie = 77;
    ci.nStreamPort = 40001;
    uint8_t ab[c_nConnectInfoBytes];
    EncodeConnectInfo(ab, ci);
    SConnectInfo cb;
    ASSERT_TRUE(DecodeConnectInfo(ab, sizeof ab, &cb));
    EXPECT_EQ(cb.nStreamKey, ci.nStreamKey);
    EXPECT_EQ(cb.nCookie, 77u);
    EXPECT_EQ(cb.nStreamPort, 40001);
    EXPECT_FALSE(DecodeConnectInfo(ab, sizeof ab - 1, &cb));
}

// Each malformed datagram is named by what a decoder must answer.
TEST(Wire, MalformedDatagramsAreRejected) {
    struct Case {
        const char* name;
        std::function<std::vector<uint8_t>()> make;
        bool bStream;
        EResult expect;
    };
    const std::vector<uint8_t> good = Request(Op_GetParam, {1, 2, 3});
    const size_t H = c_nHeaderBytes;
    // A part that names a whole of 0 bytes, at an offset: the camera would copy it there.
    auto zeroWhole = [&] {
        std::vector<uint8_t> v = Request(Op_SetParam, std::vector<uint8_t>(600, 7), 40000);
        for (int i = 0; i < 4; ++i) v[H + 32 + i] = 0;
        return v;
    };
    const std::vector<uint8_t> pkt = Packet(0, 5000, 1400);
    auto poke = [](std::vector<uint8_t> v, size_t at, uint8_t b) { v[at] = b; return v; };
    const Case cases[] = {
        {"empty", [] { return std::vector<uint8_t>(); }, false, Truncated},
        {"header cut", [&] { return std::vector<uint8_t>(good.begin(), good.begin() + 20); }, false, Truncated},
        {"body cut", [&] { return std::vector<uint8_t>(good.begin(), good.end() - 1); }, false, Truncated},
        {"extra byte", [&] { auto v = good; v.push_back(0); return v; }, false, Oversized},
        {"foreign magic", [&] { return poke(good, 0, 'X'); }, false, Foreign},
        {"older version", [&] { return poke(good, 4, 1); }, false, BadVersion},
        {"newer version", [&] { return poke(good, 4, 3); }, false, BadVersion},
        {"unknown type", [&] { return poke(good, 5, 99); }, false, BadType},
        {"unknown op", [&] { return poke(good, H, 200); }, false, Inconsistent},
        {"data length past end", [&] { return poke(good, H + 39, 0x10); }, false, Truncated},
        {"part beyond total", [&] { return poke(good, H + 32, 1); }, false, Inconsistent},
        {"part in a whole of 0 bytes", zeroWhole, false, Inconsistent},
        {"whole larger than a camera keeps", [&] { return poke(good, H + 35, 0x40); }, false, Oversized},
        {"stream cut", [&] { return std::vector<uint8_t>(pkt.begin(), pkt.end() - 1); }, true, Truncated},
        {"stream extra", [&] { auto v = pkt; v.push_back(0); return v; }, true, Oversized},
        {"stream foreign", [&] { return poke(pkt, 3, 0); }, true, Foreign},
        {"stream index beyond count", [&] { return poke(pkt, 12, 9); }, true, Inconsistent},
        {"stream offset not index x stride", [&] { return poke(pkt, 20, 1); }, true, Inconsistent},
        {"stream count wrong for size", [&] { return poke(pkt, 16, 5); }, true, Inconsistent},
        {"stream frame too big", [&] { return poke(pkt, 27, 0x40); }, true, Oversized},
        {"stream zero stride", [&] { auto v = poke(pkt, 28, 0); return poke(v, 29, 0); }, true, Inconsistent},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> v = c.make();
        if (c.bStream) {
            SStreamHeader s;
            const uint8_t* pay = nullptr;
            EXPECT_EQ(DecodeStreamPacket(v.data(), v.size(), &s, &pay), c.expect) << c.name;
        } else {
            SHeader h;
            SControlRequest r;
            EXPECT_EQ(DecodeControlRequest(v.data(), v.size(), &h, &r), c.expect) << c.name;
        }
    }
    // A control datagram is never taken for a stream packet, nor the other way round.
    SStreamHeader s;
    const uint8_t* pay = nullptr;
    EXPECT_EQ(DecodeStreamPacket(good.data(), good.size(), &s, &pay), Foreign);
    SHeader h;
    EXPECT_EQ(DecodeHeader(pkt.data(), pkt.size(), &h), Foreign);
    // A reply is not a request.
    SControlReply rep;
    EXPECT_EQ(DecodeControlReply(good.data(), good.size(), &h, &rep), BadType);
    // A search reply whose header names another camera than its body.
    SSearchInfo info;
    std::vector<uint8_t> v;
    EncodeSearchReply(v, 1, info);
    v[16] ^= 1;
    SSearchInfo ib;
    EXPECT_EQ(DecodeSearchReply(v.data(), v.size(), &h, &ib), Inconsistent);
    // Resend requests: no range, too many ranges, an empty range.
    SResendRequest rr;
    rr.nRanges = 1;
    rr.asRange[0] = {0, 0};
    EncodeResendRequest(v, h, rr);
    SResendRequest rb;
    EXPECT_EQ(DecodeResendRequest(v.data(), v.size(), &h, &rb), Inconsistent);
    v[H + 4] = 33;
    EXPECT_EQ(DecodeResendRequest(v.data(), v.size(), &h, &rb), Inconsistent);
    // Ranges that name a packet twice, or out of order: one range per missing packet only.
    const SResendRange aOverlap[][2] = {{{3, 4}, {6, 1}}, {{3, 4}, {3, 4}}, {{9, 1}, {3, 1}}};
    for (const auto& pair : aOverlap) {
        rr.nRanges = 2;
        rr.asRange[0] = pair[0];
        rr.asRange[1] = pair[1];
        EncodeResendRequest(v, h, rr);
        EXPECT_EQ(DecodeResendRequest(v.data(), v.size(), &h, &rb), Inconsistent) << pair[1].nFirst;
    }
    rr.asRange[0] = {3, 4};
    rr.asRange[1] = {7, 1};  // right after the first range: fine
    EncodeResendRequest(v, h, rr);
    EXPECT_EQ(DecodeResendRequest(v.data(), v.size(), &h, &rb), Ok);
}

TEST(Wire, StrideIsThePathLessTheHeaders) {
    EXPECT_EQ(StreamStride(1500, 1500), 1500 - 28 - 40);
    EXPECT_EQ(StreamStride(9000, 1500), 1500 - 28 - 40);  // the smaller card decides
    EXPECT_EQ(StreamStride(9000, 9000), 9000 - 28 - 40);
    EXPECT_EQ(StreamStride(0, 1500), 512);                // no MTU known
    EXPECT_EQ(StreamStride(100000, 100000), 65000);
}

TEST(Wire, PacketCountCoversEveryByteOnce) {
    EXPECT_EQ(PacketCount(32800, 1440), 23u);
    EXPECT_EQ(PacketCount(2880, 1440), 2u);
    EXPECT_EQ(PacketCount(2881, 1440), 3u);
    EXPECT_EQ(PacketCount(0, 1440), 1u);
    EXPECT_EQ(PacketCount(10, 0), 0u);
}
