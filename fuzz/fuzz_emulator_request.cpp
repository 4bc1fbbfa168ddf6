// libFuzzer target for the camera's request handler (kxeye-emulator's, detached from any card):
// every datagram a peer may send, from the holder of the session or from anyone, with or
// without the session's key. Nothing may crash, overflow or hang; the camera must stay able to
// answer. Input: a byte of flags, then datagrams, each behind a 16-bit length.
//   flags bit 0: from the holder's address (else another host's), bit 1: the session's key put
//   into the header, bit 2: from the holder's stream port, bit 3: sent to the broadcast address.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "kxeyeemulator.h"

using namespace OrWire;

namespace {
const uint32_t c_nCamera = 0xC000020Au;  // 192.0.2.10
const uint32_t c_nHolder = 0xC0000201u, c_nOther = 0xC0000242u;
const uint16_t c_nHolderPort = 40000, c_nHolderStream = 40002;

CKxEyeEmulator& Emulator() {
    static CKxEyeEmulator* p = [] {
        auto* e = new CKxEyeEmulator("fuzz0", 1000, SEmuFaults());
        SEmuCameraConfig c;
        c.nIp = c_nCamera;
        c.nNetmask = 0xFFFFFF00u;
        const uint8_t mac[6] = {0x02, 0x4b, 0x58, 0, 0, 0x10};
        memcpy(c.abyMac, mac, 6);
        memcpy(c.abyDeviceId, "KX\x02\x4b\x58\x00\x00\x10", 8);
        e->StartDetached({c});
        return e;
    }();
    return *p;
}

void TakeSession(CKxEyeEmulator& e) {
    static uint32_t s_nId = 1;
    SHeader h;
    h.nRequestId = s_nId++;
    SControlRequest r;
    r.nOp = Op_Connect;
    r.anArg[0] = c_nHolderStream;
    r.anArg[1] = 1500;
    std::vector<uint8_t> v;
    EncodeControlRequest(v, h, r);
    OrNet::SDatagramInfo info;
    info.nFrom = c_nHolder;
    info.nFromPort = c_nHolderPort;
    info.nTo = e.StateForTests(0).nIp;
    e.Feed(v.data(), v.size(), info);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* p, size_t n) {
    if (n < 1) return 0;
    CKxEyeEmulator& e = Emulator();
    if (e.StateForTests(0).nSession == 0) TakeSession(e);
    const uint8_t nFlags = p[0];
    size_t nAt = 1;
    for (int nDatagrams = 0; nDatagrams < 4 && nAt + 2 <= n; ++nDatagrams) {
        const size_t nLen = std::min<size_t>(static_cast<size_t>(p[nAt] | p[nAt + 1] << 8), n - nAt - 2);
        std::vector<uint8_t> v(p + nAt + 2, p + nAt + 2 + nLen);
        nAt += 2 + nLen;
        const CKxEyeEmulator::SCameraState st = e.StateForTests(0);
        if ((nFlags & 2) && v.size() >= c_nHeaderBytes)
            for (int i = 0; i < 8; ++i) v[24 + i] = static_cast<uint8_t>(st.nSession >> (8 * i));
        OrNet::SDatagramInfo info;
        info.nFrom = (nFlags & 1) ? c_nHolder : c_nOther;
        info.nFromPort = (nFlags & 4) ? c_nHolderStream : c_nHolderPort;
        info.nTo = (nFlags & 8) ? 0xFFFFFFFFu : st.nIp;
        e.Feed(v.data(), v.size(), info);
    }
    return 0;
}
