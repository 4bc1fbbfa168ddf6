#include "orwire.h"

#include <cstring>

namespace OrWire {
namespace {
void Put16(std::vector<uint8_t>& v, uint16_t x) {
    v.push_back(static_cast<uint8_t>(x));
    v.push_back(static_cast<uint8_t>(x >> 8));
}
void Put32(std::vector<uint8_t>& v, uint32_t x) {
    for (int i = 0; i < 4; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}
void PutBytes(std::vector<uint8_t>& v, const uint8_t* p, size_t n) {
    if (n) v.insert(v.end(), p, p + n);
}
void Set16(uint8_t* p, uint16_t x) {
    p[0] = static_cast<uint8_t>(x);
    p[1] = static_cast<uint8_t>(x >> 8);
}
void Set32(uint8_t* p, uint32_t x) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(x >> (8 * i));
}
uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
void Put64(std::vector<uint8_t>& v, uint64_t x) {
    for (int i = 0; i < 8; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}
void Set64(uint8_t* p, uint64_t x) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(x >> (8 * i));
}
uint64_t Get64(const uint8_t* p) { return static_cast<uint64_t>(Get32(p)) | static_cast<uint64_t>(Get32(p + 4)) << 32; }

void PutHeader(std::vector<uint8_t>& out, uint8_t nType, const SHeader& h) {
    out.clear();
    Put32(out, c_nControlMagic);
    out.push_back(c_nVersion);
    out.push_back(nType);
    Put16(out, h.nFlags);
    Put32(out, h.nRequestId);
    Put32(out, static_cast<uint32_t>(h.nStatus));
    PutBytes(out, h.abyDeviceId, 8);
    Put64(out, h.nSession);
    Put32(out, h.nNonce);
}

// Header of a control datagram of the expected type; `*pBody` is the rest.
EResult CheckHeader(const uint8_t* p, size_t n, uint8_t nType, SHeader* pHeader) {
    const EResult e = DecodeHeader(p, n, pHeader);
    if (e != Ok) return e;
    return pHeader->nType == nType ? Ok : BadType;
}
}  // namespace

const char* ResultName(EResult e) {
    switch (e) {
    case Ok: return "ok";
    case Truncated: return "truncated";
    case Oversized: return "oversized";
    case Foreign: return "foreign";
    case BadVersion: return "bad version";
    case BadType: return "bad type";
    case Inconsistent: return "inconsistent";
    }
    return "?";
}

bool IsAnyDevice(const uint8_t* pbyDeviceId8) {
    for (int i = 0; i < 8; ++i)
        if (pbyDeviceId8[i] != 0xFF) return false;
    return true;
}

void EncodeSearchRequest(std::vector<uint8_t>& out, uint32_t nRequestId, const uint8_t* pbyDeviceId8) {
    SHeader h;
    h.nRequestId = nRequestId;
    if (pbyDeviceId8) memcpy(h.abyDeviceId, pbyDeviceId8, 8);
    PutHeader(out, Type_SearchRequest, h);
}

void EncodeSearchReply(std::vector<uint8_t>& out, uint32_t nRequestId, const SSearchInfo& info) {
    SHeader h;
    h.nRequestId = nRequestId;
    memcpy(h.abyDeviceId, info.abyDeviceId, 8);
    PutHeader(out, Type_SearchReply, h);
    PutBytes(out, info.abyIp, 4);
    PutBytes(out, info.abyDestIp, 4);
    PutBytes(out, info.abyMac, 6);
    PutBytes(out, info.abyDestMac, 6);
    PutBytes(out, info.abyInfo1, 8);
    PutBytes(out, info.abyInfo2, 8);
    PutBytes(out, info.abyDeviceId, 8);
    PutBytes(out, info.abyNetmask, 4);
}

void EncodeControlRequest(std::vector<uint8_t>& out, const SHeader& h, const SControlRequest& r) {
    PutHeader(out, Type_ControlRequest, h);
    Put16(out, r.nOp);
    Put16(out, r.nFlags);
    for (int i = 0; i < 6; ++i) Put32(out, static_cast<uint32_t>(r.anArg[i]));
    Put32(out, r.nOffset);
    Put32(out, r.nTotal);
    Put32(out, r.nData);
    PutBytes(out, r.pData, r.nData);
}

void EncodeControlReply(std::vector<uint8_t>& out, const SHeader& h, const SControlReply& r) {
    PutHeader(out, Type_ControlReply, h);
    Put16(out, r.nOp);
    Put16(out, 0);
    Put32(out, static_cast<uint32_t>(r.anValue[0]));
    Put32(out, static_cast<uint32_t>(r.anValue[1]));
    Put32(out, r.nData);
    PutBytes(out, r.pData, r.nData);
}

void EncodeResendRequest(std::vector<uint8_t>& out, const SHeader& h, const SResendRequest& r) {
    PutHeader(out, Type_ResendRequest, h);
    Put32(out, r.nFrameId);
    Put32(out, r.nRanges);
    for (uint32_t i = 0; i < r.nRanges && i < c_nMaxResendRanges; ++i) {
        Put32(out, r.asRange[i].nFirst);
        Put32(out, r.asRange[i].nCount);
    }
}

void EncodeStreamConfirm(std::vector<uint8_t>& out, const SHeader& h, uint32_t nCookie) {
    PutHeader(out, Type_StreamConfirm, h);
    Put32(out, nCookie);
}

void EncodeConnectInfo(uint8_t* p, const SConnectInfo& c) {
    Set64(p, c.nStreamKey);
    Set32(p + 8, c.nCookie);
    Set16(p + 12, c.nStreamPort);
    Set16(p + 14, 0);
}

bool DecodeConnectInfo(const uint8_t* p, size_t n, SConnectInfo* pInfo) {
    if (p == nullptr || n != c_nConnectInfoBytes) return false;
    pInfo->nStreamKey = Get64(p);
    pInfo->nCookie = Get32(p + 8);
    pInfo->nStreamPort = Get16(p + 12);
    return pInfo->nStreamPort != 0;
}

void EncodeStreamHeader(uint8_t* p, const SStreamHeader& s) {
    Set32(p, c_nStreamMagic);
    p[4] = c_nVersion;
    p[5] = Type_StreamData;
    Set16(p + 6, s.nFlags);
    Set32(p + 8, s.nFrameId);
    Set32(p + 12, s.nIndex);
    Set32(p + 16, s.nCount);
    Set32(p + 20, s.nOffset);
    Set32(p + 24, s.nFrameBytes);
    Set16(p + 28, s.nStride);
    Set16(p + 30, s.nPayload);
    Set64(p + 32, s.nKey);
}

uint16_t StreamStride(unsigned int nCameraMtu, unsigned int nHostMtu) {
    const unsigned int nMtu = nCameraMtu < nHostMtu ? nCameraMtu : nHostMtu;
    const unsigned int nHeaders = c_nIpUdpBytes + static_cast<unsigned int>(c_nStreamHeaderBytes);
    const unsigned int nStride = nMtu > nHeaders + 64 ? nMtu - nHeaders : 512u;
    return static_cast<uint16_t>(nStride < 65000u ? nStride : 65000u);
}

uint32_t PacketCount(uint32_t nFrameBytes, uint16_t nMaxPayload) {
    if (nMaxPayload == 0) return 0;
    if (nFrameBytes == 0) return 1;
    return (nFrameBytes + nMaxPayload - 1u) / nMaxPayload;
}

EResult DecodeHeader(const uint8_t* p, size_t n, SHeader* pHeader) {
    if (p == nullptr || n < 4) return Truncated;
    if (Get32(p) != c_nControlMagic) return Foreign;
    if (n < c_nHeaderBytes) return Truncated;
    if (n > c_nMaxDatagram) return Oversized;
    if (p[4] != c_nVersion) return BadVersion;
    pHeader->nType = p[5];
    pHeader->nFlags = Get16(p + 6);
    pHeader->nRequestId = Get32(p + 8);
    pHeader->nStatus = static_cast<int32_t>(Get32(p + 12));
    memcpy(pHeader->abyDeviceId, p + 16, 8);
    pHeader->nSession = Get64(p + 24);
    pHeader->nNonce = Get32(p + 32);
    switch (pHeader->nType) {
    case Type_SearchRequest:
    case Type_SearchReply:
    case Type_ControlRequest:
    case Type_ControlReply:
    case Type_ResendRequest:
    case Type_StreamConfirm:
        return Ok;
    default:
        return BadType;
    }
}

EResult DecodeSearchReply(const uint8_t* p, size_t n, SHeader* pHeader, SSearchInfo* pInfo) {
    EResult e = CheckHeader(p, n, Type_SearchReply, pHeader);
    if (e != Ok) return e;
    if (n < c_nHeaderBytes + c_nSearchInfoBytes) return Truncated;
    if (n > c_nHeaderBytes + c_nSearchInfoBytes) return Oversized;
    const uint8_t* b = p + c_nHeaderBytes;
    memcpy(pInfo->abyIp, b, 4);
    memcpy(pInfo->abyDestIp, b + 4, 4);
    memcpy(pInfo->abyMac, b + 8, 6);
    memcpy(pInfo->abyDestMac, b + 14, 6);
    memcpy(pInfo->abyInfo1, b + 20, 8);
    memcpy(pInfo->abyInfo2, b + 28, 8);
    memcpy(pInfo->abyDeviceId, b + 36, 8);
    memcpy(pInfo->abyNetmask, b + 44, 4);
    // The header names the camera that answers: it must be the one described.
    if (memcmp(pHeader->abyDeviceId, pInfo->abyDeviceId, 8) != 0) return Inconsistent;
    return Ok;
}

EResult DecodeControlRequest(const uint8_t* p, size_t n, SHeader* pHeader, SControlRequest* pReq) {
    EResult e = CheckHeader(p, n, Type_ControlRequest, pHeader);
    if (e != Ok) return e;
    if (n < c_nHeaderBytes + c_nRequestFixedBytes) return Truncated;
    const uint8_t* b = p + c_nHeaderBytes;
    pReq->nOp = Get16(b);
    pReq->nFlags = Get16(b + 2);
    for (int i = 0; i < 6; ++i) pReq->anArg[i] = static_cast<int32_t>(Get32(b + 4 + 4 * i));
    pReq->nOffset = Get32(b + 28);
    pReq->nTotal = Get32(b + 32);
    pReq->nData = Get32(b + 36);
    const size_t nRest = n - c_nHeaderBytes - c_nRequestFixedBytes;
    if (pReq->nData > nRest) return Truncated;
    if (pReq->nData < nRest) return Oversized;
    pReq->pData = pReq->nData ? b + c_nRequestFixedBytes : nullptr;
    if (pReq->nOp < Op_Connect || pReq->nOp > Op_Last) return Inconsistent;
    // A part lies inside its whole transfer, always: a whole of 0 bytes has no part but the
    // empty one at 0, and no whole is larger than a camera keeps.
    if (static_cast<uint64_t>(pReq->nOffset) + pReq->nData > pReq->nTotal) return Inconsistent;
    if (pReq->nTotal > c_nMaxFrameBytes) return Oversized;
    return Ok;
}

EResult DecodeControlReply(const uint8_t* p, size_t n, SHeader* pHeader, SControlReply* pReply) {
    EResult e = CheckHeader(p, n, Type_ControlReply, pHeader);
    if (e != Ok) return e;
    if (n < c_nHeaderBytes + c_nReplyFixedBytes) return Truncated;
    const uint8_t* b = p + c_nHeaderBytes;
    pReply->nOp = Get16(b);
    pReply->anValue[0] = static_cast<int32_t>(Get32(b + 4));
    pReply->anValue[1] = static_cast<int32_t>(Get32(b + 8));
    pReply->nData = Get32(b + 12);
    const size_t nRest = n - c_nHeaderBytes - c_nReplyFixedBytes;
    if (pReply->nData > nRest) return Truncated;
    if (pReply->nData < nRest) return Oversized;
    pReply->pData = pReply->nData ? b + c_nReplyFixedBytes : nullptr;
    if (pReply->nOp < Op_Connect || pReply->nOp > Op_Last) return Inconsistent;
    return Ok;
}

EResult DecodeResendRequest(const uint8_t* p, size_t n, SHeader* pHeader, SResendRequest* pReq) {
    EResult e = CheckHeader(p, n, Type_ResendRequest, pHeader);
    if (e != Ok) return e;
    if (n < c_nHeaderBytes + 8) return Truncated;
    const uint8_t* b = p + c_nHeaderBytes;
    pReq->nFrameId = Get32(b);
    pReq->nRanges = Get32(b + 4);
    if (pReq->nRanges == 0 || pReq->nRanges > c_nMaxResendRanges) return Inconsistent;
    const size_t nNeed = c_nHeaderBytes + 8 + 8 * static_cast<size_t>(pReq->nRanges);
    if (n < nNeed) return Truncated;
    if (n > nNeed) return Oversized;
    for (uint32_t i = 0; i < pReq->nRanges; ++i) {
        pReq->asRange[i].nFirst = Get32(b + 8 + 8 * i);
        pReq->asRange[i].nCount = Get32(b + 12 + 8 * i);
        if (pReq->asRange[i].nCount == 0 || pReq->asRange[i].nCount > c_nMaxPackets ||
            pReq->asRange[i].nFirst >= c_nMaxPackets)
            return Inconsistent;
    }
    // No packet named twice: ranges in order, each after the end of the one before.
    for (uint32_t i = 1; i < pReq->nRanges; ++i)
        if (pReq->asRange[i].nFirst < pReq->asRange[i - 1].nFirst + pReq->asRange[i - 1].nCount) return Inconsistent;
    return Ok;
}

EResult DecodeStreamConfirm(const uint8_t* p, size_t n, SHeader* pHeader, uint32_t* pnCookie) {
    EResult e = CheckHeader(p, n, Type_StreamConfirm, pHeader);
    if (e != Ok) return e;
    if (n < c_nHeaderBytes + c_nStreamConfirmBytes) return Truncated;
    if (n > c_nHeaderBytes + c_nStreamConfirmBytes) return Oversized;
    *pnCookie = Get32(p + c_nHeaderBytes);
    return Ok;
}

EResult DecodeStreamPacket(const uint8_t* p, size_t n, SStreamHeader* s, const uint8_t** ppPayload) {
    if (p == nullptr || n < 4) return Truncated;
    if (Get32(p) != c_nStreamMagic) return Foreign;
    if (n < c_nStreamHeaderBytes) return Truncated;
    if (p[4] != c_nVersion) return BadVersion;
    if (p[5] != Type_StreamData) return BadType;
    s->nFlags = Get16(p + 6);
    s->nFrameId = Get32(p + 8);
    s->nIndex = Get32(p + 12);
    s->nCount = Get32(p + 16);
    s->nOffset = Get32(p + 20);
    s->nFrameBytes = Get32(p + 24);
    s->nStride = Get16(p + 28);
    s->nPayload = Get16(p + 30);
    s->nKey = Get64(p + 32);
    const size_t nRest = n - c_nStreamHeaderBytes;
    if (s->nPayload > nRest) return Truncated;
    if (s->nPayload < nRest) return Oversized;
    if (s->nFrameBytes > c_nMaxFrameBytes || s->nCount > c_nMaxPackets) return Oversized;
    // Every byte has one place: packet i starts at i x stride and only the last is shorter.
    if (s->nStride == 0 || s->nCount == 0 || s->nIndex >= s->nCount) return Inconsistent;
    if (PacketCount(s->nFrameBytes, s->nStride) != s->nCount) return Inconsistent;
    if (static_cast<uint64_t>(s->nIndex) * s->nStride != s->nOffset) return Inconsistent;
    const uint32_t nExpect = s->nIndex + 1 < s->nCount ? s->nStride : s->nFrameBytes - s->nOffset;
    if (s->nPayload != nExpect) return Inconsistent;
    *ppPayload = p + c_nStreamHeaderBytes;
    return Ok;
}

}  // namespace OrWire
