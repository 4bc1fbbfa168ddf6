// Ethernet access path (CreateOrEyeApi(3)): IOrEyeCamera calls mapped onto the messages of
// docs/protocol.md. The camera object is a thin shell around a link object that its threads
// (stream receiver, heartbeat) share, so that the object may be deleted on any thread, its own
// stream thread included (the last result block of a frame can release it there).
#ifndef ORETHCAMERA_H
#define ORETHCAMERA_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "orbasecamera.h"
#include "orlog.h"
#include "ornet.h"
#include "orwire.h"

class COrEthLink : public std::enable_shared_from_this<COrEthLink> {
public:
    // Timing of the control channel and the stream (docs/protocol.md).
    static constexpr int c_nReplyTimeoutMs = 200;
    static constexpr int c_nSends = 4;
    static constexpr int c_nHeartbeatMs = 500;
    static constexpr int c_nSearchMs = 300;
    static constexpr int c_nQuietMs = 5;         // no packet this long: ask for the missing ones
    static constexpr int c_nResendGapMs = 20;     // rounds of one frame at most this far apart
    static constexpr int c_nResendGapMinMs = 2;   // and at least this far
    static constexpr int c_nResendRounds = 2;
    static constexpr int c_nFrameRetentionMs = 250;
    static constexpr int c_nGatherUs = 250;      // pause after a small batch of stream datagrams
    // Frame ids taken only this far ahead of the newest frame handed on: a packet cannot make
    // the receiver wait for, or skip to, a frame far in the future.
    static constexpr uint32_t c_nFrameWindow = 4096;
    // A stream that brings no frame for this long (or five frame periods at the rate last set,
    // whichever is longer) while the session lives is told to the application once (event 0);
    // the next frame is told again (event 10).
    static constexpr int c_nStallMs = 2000;

    struct SReply {
        uint64_t nSession = 0;  // the reply header's session key
        int32_t anValue[2] = {};
        std::vector<uint8_t> vecData;
    };
    struct SHit {
        OrWire::SSearchInfo info;
        int nIfIndex = 0;
        uint32_t nFrom = 0;
    };
    struct SStats {
        uint64_t nComplete = 0, nIncomplete = 0, nUnderrun = 0, nTooLarge = 0;
        uint64_t nPackets = 0, nResent = 0, nDuplicates = 0, nIgnored = 0, nResendRequests = 0;
        uint64_t nStaleReplies = 0;
        // What the gates refused (docs/security.md).
        uint64_t nRefusedSource = 0;    // stream packets from another address, port or card
        uint64_t nRefusedKey = 0;       // stream packets without this session's stream key
        uint64_t nRefusedShape = 0;     // another stride, or a frame larger than configured
        uint64_t nRefusedWindow = 0;    // frame ids outside the window
        uint64_t nRefusedGrab = 0;      // single-grab packets nobody waits for
        uint64_t nConflicts = 0;        // frames dropped: a copy of a packet with other bytes
        uint64_t nRefusedReplies = 0;   // control replies from elsewhere, or forged for the request
        uint64_t nSearchIgnored = 0;    // search answers left out (wrong sender, card or request)
        uint64_t nSearchConflicts = 0;  // second, different answers for one camera (both kept)
    };

    COrEthLink();
    ~COrEthLink();
    void Shutdown();

    // Control.
    int Search(const unsigned char* pbyIP4, unsigned char* pResult484);
    int SetLocalIP(const char* pszIP, int nLength);
    int SelectDevice(const unsigned char* pbyID8);
    int InitDevice(const char* pszConnect);
    bool IsConnected() const { return m_bConnected.load(); }
    int Call(uint16_t nOp, std::initializer_list<int32_t> args, const void* pData = nullptr, uint32_t nData = 0,
             SReply* pReply = nullptr, uint32_t nOffset = 0, uint32_t nTotal = 0);
    int GetParam(int nId, void* pData, int nLength);
    int SetParam(int nId, const void* pData, int nLength);
    int ReadStorage(unsigned int nAddress, void* pData, unsigned int nLength);
    int WriteStorage(unsigned int nAddress, const void* pData, unsigned int nLength);

    // Stream.
    int SetFrameCallback(int nEnable, OrEyeFrameCallback pfn, void* pContext);
    int EnableStream(int nOn);
    int SetImageTransfer(int nOn, unsigned int nBufferCount, unsigned int nFrameBytes);
    int ReleaseFrameBuffer(unsigned int nBufferId);
    int WaitStreamFrame(unsigned char* apDest[3], unsigned int* pnLength, unsigned int* pnFrameId,
                        unsigned int nTimeoutMs);
    int GrabFrame(unsigned char* apDest[3], unsigned int* pnLength, unsigned int* pnFrameId,
                  unsigned int nTimeoutMs);
    SStats Stats();
    uint32_t HostMtu() const { return m_nHostMtu.load(); }
    uint32_t CameraMtu() const { return m_nCameraMtu.load(); }

private:
    struct SBuffer {
        std::vector<uint8_t> vecData;
        bool bOut = false;       // with the application
        bool bBusy = false;      // a frame is being put together in it
        bool bRetired = false;   // from an earlier pool: freed when it is free
    };
    struct SFrame {
        uint32_t nId = 0;
        bool bIgnore = false;    // no buffer for it: its packets are thrown away
        bool bGrab = false;
        unsigned int nBufferId = 0;
        uint8_t* p = nullptr;
        uint32_t nBytes = 0, nCount = 0, nGot = 0;
        uint16_t nStride = 0;
        std::vector<uint8_t> vecHave;
        int64_t tFirst = 0, tLast = 0, tResend = 0, tFirstResend = 0;  // microseconds
        int nRounds = 0;
        bool bTurnSampled = false;  // an answer to the last round came
    };

    // What a control reply must match: the request it answers.
    struct SExpect {
        uint32_t nRequestId = 0;
        uint32_t nNonce = 0;
        uint16_t nOp = 0;
    };
    // Stale: the answer to an earlier request; Refused: from elsewhere, or for this request's
    // id without its nonce, operation, camera or key (forged).
    enum EReplyVerdict { Reply_Accept, Reply_Malformed, Reply_Stale, Reply_Refused };
    // The one gate of control replies (under m_mtxControl).
    EReplyVerdict AcceptReply(const uint8_t* p, size_t n, const OrNet::SDatagramInfo& info, const SExpect& e,
                              OrWire::SHeader* pHeader, OrWire::SControlReply* pReply) const;
    enum EPacketVerdict { Packet_Accept, Packet_Malformed, Packet_Source, Packet_Key, Packet_Shape, Packet_Window,
                          Packet_Grab, Packet_Old };
    // The one gate of stream packets (under m_mtxStream).
    EPacketVerdict AcceptPacket(const uint8_t* p, size_t n, const OrNet::SDatagramInfo& info, int64_t tNow,
                                OrWire::SStreamHeader* pStream, const uint8_t** ppPayload);
    // A request of this session: header with the session key and a fresh id and nonce.
    OrWire::SHeader NextHeader(SExpect* pExpect, uint16_t nOp);
    int Exchange(const std::vector<uint8_t>& msg, const SExpect& e, SReply* pReply);
    void SendStreamConfirm();
    bool SendControl(const std::vector<uint8_t>& msg);
    void SetOffline(const char* pszWhy);
    // False when no callback is set (the event is not delivered).
    bool RaiseEvent(int nEvent, int nParam, void* pBuffer, unsigned int nLength, unsigned int nBufferId);
    void HeartbeatThread();
    void StreamThread();
    void OnPacket(const uint8_t* p, size_t n, const OrNet::SDatagramInfo& info, int64_t tNow);
    void Maintain(int64_t tNow);
    void DeliverReady(int64_t tNow);
    void DropFrame(SFrame& f);
    void DropGrabFrames();
    // Logs a line a packet caused, held back by its throttle.
    void LogThrottled(OrLog::CThrottle& thr, const char* pszFormat, ...) __attribute__((format(printf, 3, 4)));
    bool TakeBuffer(uint32_t nBytes, unsigned int* pnId, uint8_t** pp);
    void SendResend(SFrame& f, int64_t tNow);
    int64_t ResendGapUs() const;
    void StartThreads();
    void StopThreads();

    // Control state.
    std::mutex m_mtxControl;  // one exchange at a time
    OrNet::CUdpSocket m_sockControl;
    uint32_t m_nNextRequest = 1;
    bool m_bLocalCard = false;
    OrNet::SCard m_sLocalCard;
    bool m_bSelected = false;
    uint8_t m_abySelected[8] = {};
    std::vector<SHit> m_vecHits;
    std::atomic<bool> m_bConnected{false};
    std::atomic<bool> m_bOffline{false};
    std::atomic<bool> m_bEvent7Pending{false};
    // The camera dropped this host's session (it restarted, or the host was silent too long):
    // every operation answers offline until InitDevice takes control again.
    std::atomic<bool> m_bSessionLost{false};
    std::atomic<bool> m_bEvent7Sent{false};  // event 7 goes out once per session
    uint64_t m_nSession = 0;            // this session's key, from the Connect reply
    OrWire::SConnectInfo m_sConnectInfo;
    uint32_t m_nCameraIp = 0;
    uint32_t m_nCameraMask = 0;
    uint8_t m_abyCameraId[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    OrNet::SCard m_sCard;  // card the camera is reached through (nIndex 0: by route)
    bool m_bBroadcastControl = false;
    int32_t m_anConnectArgs[2] = {};  // stream port, host MTU
    std::atomic<uint32_t> m_nHostMtu{0};    // the host MTU of the last Connect
    std::atomic<uint32_t> m_nCameraMtu{0};  // the camera card's MTU from its Connect answer

    // Callback.
    std::mutex m_mtxCallback;
    std::condition_variable m_cvCallback;
    OrEyeFrameCallback m_pfn = nullptr;
    void* m_pContext = nullptr;
    int m_nInFlight = 0;

    // Threads.
    std::atomic<bool> m_bQuit{false};
    std::mutex m_mtxQuit;
    std::condition_variable m_cvQuit;
    std::thread m_thStream, m_thHeartbeat;

    // Stream (m_mtxStream).
    std::mutex m_mtxStream;
    std::condition_variable m_cvFrame;
    OrNet::CUdpSocket m_sockStream;
    uint32_t m_nStreamSource = 0;  // the camera's address: packets from elsewhere are foreign
    uint16_t m_nStreamSourcePort = 0;  // and its stream port
    uint64_t m_nStreamKey = 0;         // this session's stream key
    uint64_t m_nStreamSession = 0;     // the session key, for resend requests
    uint32_t m_nTooLargeId = 0;        // the last frame counted too large (once per frame)
    int64_t m_tLastFrame = 0;          // the last frame handed on, or the stream switched on (us)
    bool m_bStallTold = false;         // event 0 went out for this stall
    std::atomic<unsigned int> m_nFrameRate{0};  // frames per second last set (0: not set)
    uint16_t m_nStride = 0;            // the stride the camera cuts frames with
    int64_t m_tLastInWindow = 0;       // last packet inside the frame window (microseconds)
    bool m_bGrabAwaited = false;       // a GrabFrame waits: its packets are taken
    uint32_t m_nGrabId = 0;            // the grab's frame id, from its first packet
    std::vector<uint8_t> m_vecGrab;    // the grab's buffer, of the configured frame size
    OrLog::CThrottle m_thrTooLarge, m_thrConflict, m_thrWindow;
    uint8_t m_abyStreamId[8] = {};
    int m_nStreamIfIndex = 0;
    bool m_bStreamOn = false;
    std::map<unsigned int, std::unique_ptr<SBuffer>> m_mapBuffers;
    // Buffers of the pool neither out, busy nor retired: a frame takes one without a search.
    std::vector<unsigned int> m_vecFree;
    unsigned int m_nLive = 0;  // buffers of the pool not retired
    unsigned int m_nNextBufferId = 1;
    unsigned int m_nPoolCount = 8;
    unsigned int m_nPoolBytes = c_nOrEyeLaserBytes;
    std::map<uint32_t, SFrame> m_mapFrames;
    // Frames still missing packets that may be asked for: the resend pass looks at these only,
    // not at every frame waiting for its turn to be handed on.
    std::set<uint32_t> m_setPending;
    uint32_t m_nNewestId = 0;  // newest frame begun
    bool m_bAnyDone = false;
    uint32_t m_nLastDone = 0;
    SStats m_sStats;
    bool m_bCaughtUp = true;   // the last batch drained the socket
    int64_t m_nTurnUs = 5000;  // smoothed time from a resend request to its first packet
    int m_nWaiters = 0;
    uint64_t m_nWaitSeq = 0;
    std::vector<uint8_t> m_vecWaitFrame;
    uint32_t m_nWaitFrameId = 0;
    std::map<uint32_t, std::vector<uint8_t>> m_mapGrabs;  // completed grabs by frame id
};

class COrEthCamera : public COrBaseCamera {
public:
    COrEthCamera();
    ~COrEthCamera() override;

    int GetVersionText(char* pszText, int nLength) override;
    int InitDevice(int nWidth, int nHeight, int nA, int nMode, const char* pszConnect) override;
    int SetFrameCallback(int nEnable, OrEyeFrameCallback pfn, void* pContext) override;
    int EnableStream(int nOn) override;
    int WaitStreamFrame(unsigned char* apDest[3], unsigned int* pnLength, unsigned int* pnFrameId,
                        unsigned int nTimeoutMs) override;
    int GrabFrame(unsigned char* apDest[3], unsigned int* pnLength, unsigned int* pnFrameId,
                  unsigned int nTimeoutMs) override;
    int SetParam(int nId, const void* pData, int nLength) override;
    int GetParam(int nId, void* pData, int nLength) override;
    int WriteRegister(int nTarget, unsigned int nAddress, const void* pData, int nLength) override;
    int GetQMatrix(double* pdQ16) override;
    int WriteProduct(int nItem, const void* pData, int nLength) override;
    int ReadProduct(int nItem, void* pData, int nLength) override;
    int SetROI(int nLeftX, int nLeftY, int nRightX, int nRightY, int nWidth, int nHeight) override;
    int SetROIMode(int nOn) override;
    int EnableDevice(int nOn) override;
    int SetTriggerN(unsigned int nA, unsigned int nB) override;
    int SetImageTransfer(int nOn, unsigned int nBufferCount, unsigned int nFrameBytes) override;
    int WriteStorage(unsigned int nAddress, const void* pData, unsigned int nLength) override;
    int ReadStorage(unsigned int nAddress, void* pData, unsigned int nLength) override;
    int Search(const unsigned char* pbyIP4, const unsigned char* pbyMAC6, unsigned char* pResult484) override;
    int SelectDevice(const unsigned char* pbyID8) override;
    int ReleaseFrameBuffer(unsigned int nBufferId) override;
    int ExecuteCustomCommand(const unsigned short* pRecord5, void* pReply) override;
    int SetLocalIP(const char* pszIP, int nLength) override;
    int SetOptionEx(int nFlag, int nValue, int nValue2) override;
    int SetOption(int nFlag, int nValue) override;
    int ExtendedCommand(int nA, void* pB, int nC, void* pD, int nE) override;
    int SyncROI(int nLeftX, int nLeftY, int nRightX, int nRightY, int nWidth, int nHeight) override;
    int SetFeature(int nFlag, int nA, int nB) override;

    COrEthLink::SStats Stats() { return m_pLink->Stats(); }
    uint32_t HostMtu() const { return m_pLink->HostMtu(); }
    uint32_t CameraMtu() const { return m_pLink->CameraMtu(); }

private:
    std::shared_ptr<COrEthLink> m_pLink;
};

#endif
