// libFuzzer targets for the wire parsers of the Ethernet path, one per parser (chosen by
// KX_WIRE_PARSER at build time). Besides never crashing, an accepted datagram must encode back
// to exactly the bytes it was decoded from, and a stream packet must place its payload inside
// its frame.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "orwire.h"

using namespace OrWire;

namespace {
void Check(bool b) {
    if (!b) abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* p, size_t n) {
    std::vector<uint8_t> out;
#if KX_WIRE_PARSER != 4
    SHeader h;
#endif
#if KX_WIRE_PARSER == 1
    SControlRequest r;
    if (DecodeControlRequest(p, n, &h, &r) == Ok) {
        EncodeControlRequest(out, h, r);
        Check(out.size() == n && memcmp(out.data(), p, n) == 0);
        // Every part lies inside its whole transfer.
        Check(static_cast<uint64_t>(r.nOffset) + r.nData <= r.nTotal);
    }
#elif KX_WIRE_PARSER == 2
    SControlReply r;
    if (DecodeControlReply(p, n, &h, &r) == Ok) {
        EncodeControlReply(out, h, r);
        // The reserved half-word after the operation is not kept.
        const size_t nOp = c_nHeaderBytes + 2;
        Check(out.size() == n && memcmp(out.data(), p, nOp) == 0 &&
              memcmp(out.data() + nOp + 2, p + nOp + 2, n - nOp - 2) == 0);
    }
    SSearchInfo info;
    if (DecodeSearchReply(p, n, &h, &info) == Ok) {
        EncodeSearchReply(out, h.nRequestId, info);
        // A search reply keeps the id and the body; flags, status, session and nonce are not its.
        Check(out.size() == n && memcmp(out.data() + 8, p + 8, 4) == 0 && memcmp(out.data() + 16, p + 16, 8) == 0 &&
              memcmp(out.data() + c_nHeaderBytes, p + c_nHeaderBytes, n - c_nHeaderBytes) == 0);
    }
#elif KX_WIRE_PARSER == 3
    SResendRequest r;
    if (DecodeResendRequest(p, n, &h, &r) == Ok) {
        EncodeResendRequest(out, h, r);
        Check(out.size() == n && memcmp(out.data() + 16, p + 16, n - 16) == 0);
    }
    uint32_t nCookie = 0;
    if (DecodeStreamConfirm(p, n, &h, &nCookie) == Ok) {
        EncodeStreamConfirm(out, h, nCookie);
        Check(out.size() == n && memcmp(out.data() + 8, p + 8, n - 8) == 0);
    }
#elif KX_WIRE_PARSER == 4
    SStreamHeader s;
    const uint8_t* pPayload = nullptr;
    if (DecodeStreamPacket(p, n, &s, &pPayload) == Ok) {
        Check(s.nIndex < s.nCount && static_cast<uint64_t>(s.nOffset) + s.nPayload <= s.nFrameBytes);
        Check(pPayload + s.nPayload == p + n);
        uint8_t hdr[c_nStreamHeaderBytes];
        EncodeStreamHeader(hdr, s);
        Check(memcmp(hdr, p, c_nStreamHeaderBytes) == 0);
    }
#else
#error "KX_WIRE_PARSER names no parser"
#endif
    return 0;
}
