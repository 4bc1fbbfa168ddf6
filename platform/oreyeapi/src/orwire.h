// Wire formats of the Ethernet access path (docs/protocol.md), shared by the library's Ethernet
// camera object and by kxeye-emulator so that the two can never disagree. Pure functions only:
// encoders append bytes to a vector, decoders check a received datagram completely (magic,
// version, type, every length) and hand back views into it. No sockets here.
#ifndef ORWIRE_H
#define ORWIRE_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace OrWire {

// "KXEW" and "KXES" as the first four bytes of a control and of a stream datagram.
constexpr uint32_t c_nControlMagic = 0x5745584Bu;
constexpr uint32_t c_nStreamMagic = 0x5345584Bu;
// 2: session keys in control datagrams and stream packets, the stream confirmation.
constexpr uint8_t c_nVersion = 2;
constexpr uint16_t c_nControlPort = 51200;  // the camera's control port

constexpr size_t c_nHeaderBytes = 36;
constexpr size_t c_nStreamHeaderBytes = 40;
constexpr size_t c_nSearchInfoBytes = 48;
constexpr size_t c_nRequestFixedBytes = 40;
constexpr size_t c_nReplyFixedBytes = 16;
// A control datagram never exceeds this; bigger transfers go in parts with an offset.
constexpr size_t c_nMaxDatagram = 65000;
constexpr size_t c_nMaxControlData = c_nMaxDatagram - c_nHeaderBytes - c_nRequestFixedBytes;
// Chunk the library uses for storage, parameter and identity data.
constexpr uint32_t c_nControlChunk = 32768;
constexpr uint32_t c_nMaxResendRanges = 32;
constexpr uint32_t c_nMaxFrameBytes = 64u * 1024u * 1024u;
constexpr uint32_t c_nMaxPackets = 1u << 20;
// Connect reply data: stream key, stream confirmation cookie, the camera's stream source port.
constexpr size_t c_nConnectInfoBytes = 16;
constexpr size_t c_nStreamConfirmBytes = 4;
// IPv4 (20) and UDP (8) headers in front of every datagram.
constexpr unsigned int c_nIpUdpBytes = 28;

enum EType : uint8_t {
    Type_SearchRequest = 1,
    Type_SearchReply = 2,
    Type_ControlRequest = 3,
    Type_ControlReply = 4,
    Type_ResendRequest = 5,
    Type_StreamConfirm = 6,  // from the stream's destination: "I asked for this stream"
    Type_StreamData = 16,
};

// Camera operations carried by control requests.
enum EOp : uint16_t {
    Op_Connect = 1,
    Op_Disconnect = 2,
    Op_Heartbeat = 3,
    Op_GetVersionText = 4,
    Op_SetParam = 5,
    Op_GetParam = 6,
    Op_WriteRegister = 7,
    Op_GetQMatrix = 8,
    Op_WriteProduct = 9,
    Op_ReadProduct = 10,
    Op_SetROI = 11,
    Op_SetROIMode = 12,
    Op_EnableDevice = 13,
    Op_SetTriggerN = 14,
    Op_SetImageTransfer = 15,
    Op_WriteStorage = 16,
    Op_ReadStorage = 17,
    Op_ExecuteCustomCommand = 18,
    Op_SetOptionEx = 19,
    Op_SetOption = 20,
    Op_ExtendedCommand = 21,
    Op_SyncROI = 22,
    Op_SetFeature = 23,
    Op_EnableStream = 24,
    Op_GrabFrame = 25,
    Op_Last = Op_GrabFrame
};

// Codes only the wire gives (the camera's own codes pass through unchanged).
constexpr int32_t c_nStatusAccessDenied = -10008;  // another host controls the camera

// Stream packet flags.
constexpr uint16_t c_nStreamFlagGrab = 0x1;    // a single grab, not a stream frame
constexpr uint16_t c_nStreamFlagResent = 0x2;  // sent again on a resend request

enum EResult {
    Ok = 0,
    Truncated,      // shorter than its header or than its lengths say
    Oversized,      // longer than its lengths say, or a length above the limits
    Foreign,        // not our magic
    BadVersion,
    BadType,
    Inconsistent,   // fields that contradict each other
};
const char* ResultName(EResult e);

struct SHeader {
    uint8_t nType = 0;
    uint16_t nFlags = 0;
    uint32_t nRequestId = 0;
    int32_t nStatus = 0;
    uint8_t abyDeviceId[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};  // all 0xFF: any
    uint64_t nSession = 0;  // the session key of the Connect reply; 0 outside a session
    uint32_t nNonce = 0;    // chosen by the host per request; the reply echoes it
};

// What a Connect reply gives the host besides its MTU (the reply's data).
struct SConnectInfo {
    uint64_t nStreamKey = 0;     // every stream packet of the session carries it
    uint32_t nCookie = 0;        // the stream's destination echoes it in a stream confirmation
    uint16_t nStreamPort = 0;    // the camera's stream source port
};

// What a camera tells about itself in a search reply. Addresses first octet first.
struct SSearchInfo {
    uint8_t abyIp[4] = {};
    uint8_t abyDestIp[4] = {};
    uint8_t abyMac[6] = {};
    uint8_t abyDestMac[6] = {};
    uint8_t abyInfo1[8] = {};
    uint8_t abyInfo2[8] = {};
    uint8_t abyDeviceId[8] = {};
    uint8_t abyNetmask[4] = {};
};

struct SControlRequest {
    uint16_t nOp = 0;
    uint16_t nFlags = 0;
    int32_t anArg[6] = {};
    uint32_t nOffset = 0;  // of this part inside the whole transfer
    uint32_t nTotal = 0;   // bytes of the whole transfer
    const uint8_t* pData = nullptr;
    uint32_t nData = 0;
};

struct SControlReply {
    uint16_t nOp = 0;
    int32_t anValue[2] = {};
    const uint8_t* pData = nullptr;
    uint32_t nData = 0;
};

struct SResendRange {
    uint32_t nFirst = 0;
    uint32_t nCount = 0;
};

struct SResendRequest {
    uint32_t nFrameId = 0;
    uint32_t nRanges = 0;
    SResendRange asRange[c_nMaxResendRanges];
};

struct SStreamHeader {
    uint16_t nFlags = 0;
    uint32_t nFrameId = 0;
    uint32_t nIndex = 0;
    uint32_t nCount = 0;
    uint32_t nOffset = 0;
    uint32_t nFrameBytes = 0;
    uint16_t nStride = 0;   // payload bytes of every packet but the last
    uint16_t nPayload = 0;  // payload bytes of this packet
    uint64_t nKey = 0;      // the session's stream key
};

// Encoders: append one whole datagram to `out` (cleared first).
void EncodeSearchRequest(std::vector<uint8_t>& out, uint32_t nRequestId, const uint8_t* pbyDeviceId8);
void EncodeSearchReply(std::vector<uint8_t>& out, uint32_t nRequestId, const SSearchInfo& info);
void EncodeControlRequest(std::vector<uint8_t>& out, const SHeader& h, const SControlRequest& r);
void EncodeControlReply(std::vector<uint8_t>& out, const SHeader& h, const SControlReply& r);
void EncodeResendRequest(std::vector<uint8_t>& out, const SHeader& h, const SResendRequest& r);
void EncodeStreamConfirm(std::vector<uint8_t>& out, const SHeader& h, uint32_t nCookie);
void EncodeConnectInfo(uint8_t* pOut16, const SConnectInfo& c);
// The 40-byte stream header (the payload follows it in the same datagram).
void EncodeStreamHeader(uint8_t* pOut32, const SStreamHeader& s);
// The payload bytes of every stream packet but a frame's last: the path's MTU (the smaller of
// the camera card's and the host card's) less the IPv4, UDP and stream headers. Both sides use
// it, so that the host knows the one stride a packet of its session may have.
uint16_t StreamStride(unsigned int nCameraMtu, unsigned int nHostMtu);
// Packet count and stride of a frame cut for a payload of at most nMaxPayload bytes.
uint32_t PacketCount(uint32_t nFrameBytes, uint16_t nMaxPayload);

// Decoders: check the whole datagram. The views point into `p`.
EResult DecodeHeader(const uint8_t* p, size_t n, SHeader* pHeader);
EResult DecodeSearchReply(const uint8_t* p, size_t n, SHeader* pHeader, SSearchInfo* pInfo);
EResult DecodeControlRequest(const uint8_t* p, size_t n, SHeader* pHeader, SControlRequest* pReq);
EResult DecodeControlReply(const uint8_t* p, size_t n, SHeader* pHeader, SControlReply* pReply);
// Ranges inside the packet count, none overlapping another (checked here only against the
// limits; the camera checks them against the frame).
EResult DecodeResendRequest(const uint8_t* p, size_t n, SHeader* pHeader, SResendRequest* pReq);
EResult DecodeStreamConfirm(const uint8_t* p, size_t n, SHeader* pHeader, uint32_t* pnCookie);
bool DecodeConnectInfo(const uint8_t* p, size_t n, SConnectInfo* pInfo);
EResult DecodeStreamPacket(const uint8_t* p, size_t n, SStreamHeader* pStream, const uint8_t** ppPayload);

bool IsAnyDevice(const uint8_t* pbyDeviceId8);

}  // namespace OrWire

#endif
