// kxeye-emulator: network cameras on one card. Each camera is the library's own virtual camera
// behind the wire protocol of docs/protocol.md; this class only carries messages between the
// two (control session, search, streaming with resends, fault injection).
#ifndef KXEYEEMULATOR_H
#define KXEYEEMULATOR_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "orlog.h"
#include "ornet.h"
#include "orvirtualcamera.h"
#include "orwire.h"

// Faults on the stream and on control, from the command line or at run time.
struct SEmuFaults {
    double dDrop = 0.0;       // ratio of stream packets not sent
    double dDuplicate = 0.0;  // ratio sent twice
    double dReorder = 0.0;    // ratio held back behind the next packet
    double dDelay = 0.0;      // ratio of packets sent late
    int nDelayMs = 0;         // how late
    bool bMute = false;       // no answer to anything; the stream stops
    unsigned int nBusy = 0;   // next n commands answer -10014
    int nDieAfterFrames = -1; // exit at once after that many frames were sent
};

struct SEmuCameraConfig {
    SOrVirtualConfig sVirtual;
    uint32_t nIp = 0;
    uint32_t nNetmask = 0xFFFFFF00u;
    uint8_t abyMac[6] = {};
    uint8_t abyDeviceId[8] = {};
};

class CKxEyeEmulator {
public:
    // nReplay > 0: on stream on, render that many frames once and send them round and round
    // (benchmarks), dReplayRate frames per second, or as fast as the link takes them when 0;
    // nReplay 0: the virtual camera's own stream.
    CKxEyeEmulator(const std::string& strInterface, int nHeartbeatMs, const SEmuFaults& faults, int nReplay = 0,
                   double dReplayRate = 0.0);
    ~CKxEyeEmulator();

    // Opens the card's sockets and puts each camera's address (and MAC, with one camera) on it.
    bool Start(const std::vector<SEmuCameraConfig>& vecCameras, std::string* pErr);
    // For the request handler's fuzz target: the cameras without a card, sockets or log (nothing
    // is sent, no address changes), and the requests handed in directly.
    void StartDetached(const std::vector<SEmuCameraConfig>& vecCameras);
    void Feed(const uint8_t* p, size_t n, const OrNet::SDatagramInfo& info) { HandleDatagram(p, n, info); }
    struct SCameraState {
        uint32_t nIp = 0;
        uint64_t nSession = 0;  // 0: nobody holds the camera
    };
    SCameraState StateForTests(size_t nCamera);
    // Serves until *pStop turns true.
    void Run(const std::atomic<bool>* pStop);
    // A run-time fault command ("drop 0.01", "busy 3", "mute on", "die", ...); false if unknown.
    bool ApplyFaultCommand(const std::string& strLine);

    static void Log(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));
    static std::atomic<bool> s_bQuiet;  // no log lines (the fuzz target)
    // Datagrams refused so far (malformed, foreign, for no camera of ours, from a host without
    // control); Run logs the total when it ends.
    uint64_t RefusedDatagrams() const { return m_thrRefused.Count(); }

private:
    struct SCamera;
    struct SSentFrame {
        uint32_t nFrameId;
        uint16_t nFlags;
        std::shared_ptr<const std::vector<uint8_t>> pData;  // shared by replayed frames
    };
    // Spreads a replayed stream evenly at a byte rate.
    struct SPacer {
        double dNsPerByte = 0.0;
        std::chrono::steady_clock::time_point tNext;
        void Wait(size_t nBytes);  // until these bytes may go
    };

    void HandleDatagram(const uint8_t* p, size_t n, const OrNet::SDatagramInfo& info);
    // What a request may do, decided in one place before anything else reads it.
    enum EAdmit {
        Admit_Session,    // from the host that holds the camera, with its key: runs
        Admit_Connect,    // a Connect to a camera nobody holds, or from the holder with its key
        Admit_Denied,     // the camera is held by another host (or the key is wrong): -10008
        Admit_NoSession,  // nobody holds the camera: -10002
    };
    EAdmit AdmitControl(SCamera& cam, const OrWire::SHeader& h, const OrWire::SControlRequest& r,
                        const OrNet::SDatagramInfo& info);
    // A resend request: from the holder's stream socket with the key, ranges inside a frame the
    // camera still has, within the resend budget. Null: admitted (*pFrame empty when the frame
    // is no longer kept); "": nothing to do; else why it was refused.
    const char* AdmitResend(SCamera& cam, const OrWire::SHeader& h, const OrWire::SResendRequest& r,
                            const OrNet::SDatagramInfo& info, std::shared_ptr<SSentFrame>* pFrame);
    void HandleStreamConfirm(SCamera& cam, const OrWire::SHeader& h, uint32_t nCookie, const OrNet::SDatagramInfo& info);
    void HandleSearch(const OrWire::SHeader& h, const OrNet::SDatagramInfo& info);
    void HandleControl(SCamera& cam, const OrWire::SHeader& h, const OrWire::SControlRequest& r,
                       const OrNet::SDatagramInfo& info);
    void HandleResend(SCamera& cam, const OrWire::SHeader& h, const OrWire::SResendRequest& r,
                      const OrNet::SDatagramInfo& info);
    int Execute(SCamera& cam, const OrWire::SControlRequest& r, const OrNet::SDatagramInfo& info,
                OrWire::SControlReply* pReply, std::vector<uint8_t>* pData);
    void ReplyTo(SCamera& cam, const OrNet::SDatagramInfo& info, const std::vector<uint8_t>& msg);
    void CheckSessions();
    void DropSession(SCamera& cam, const char* pszWhy);
    uint32_t TakeNewAddress(SCamera& cam);
    void SetCardAddress(uint32_t nOld, uint32_t nNew, uint32_t nMask);
    void SetCardMac(const uint8_t* pbyMac);
    int Ip(const std::vector<std::string>& args);  // `ip` on the card; nothing when detached
    void AddCamera(size_t nIndex, const SEmuCameraConfig& cfg);

    // Streaming (camera's stream thread, and the main thread for grabs and resends).
    static void FrameCallback(int nEvent, int nParam, void* pBuffer, unsigned int nLength,
                              unsigned int nBufferId, void* pContext);
    void SendFrame(SCamera& cam, const uint8_t* p, uint32_t nBytes, uint16_t nFlags);
    void SendFrame(SCamera& cam, std::shared_ptr<const std::vector<uint8_t>> pData, uint16_t nFlags,
                   SPacer* pPacer = nullptr);
    int GrabInto(SCamera& cam, std::vector<uint8_t>* pFrame, unsigned int* pnId);
    void StartReplay(SCamera& cam);
    void StopReplay(SCamera& cam);
    void ReplayThread(SCamera* pCam);
    void SendPackets(SCamera& cam, const SSentFrame& f, uint32_t nFirst, uint32_t nCount, bool bResent,
                     SPacer* pPacer = nullptr);
    bool StreamTarget(SCamera& cam, uint32_t* pnTo, uint16_t* pnPort, uint16_t* pnStride, uint64_t* pnKey);
    bool Chance(double dRatio);
    // Counts a refused datagram and logs why: the first 100 in full, then every 1000th, so that a
    // flood of bad packets cannot flood the log.
    void Refuse(const char* pszFormat, ...) __attribute__((format(printf, 2, 3)));

    bool m_bDetached = false;
    const std::string m_strInterface;
    const int m_nHeartbeatMs;
    const int m_nReplay;
    const double m_dReplayRate;
    OrNet::SCard m_sCard;
    OrNet::CUdpSocket m_sockControl;
    OrNet::CUdpSocket m_sockStream;
    std::vector<std::unique_ptr<SCamera>> m_vecCameras;
    std::mutex m_mtxFaults;
    SEmuFaults m_sFaults;
    std::mt19937 m_rng{12345};
    std::atomic<uint64_t> m_nFramesSent{0};
    OrLog::CThrottle m_thrRefused;  // refusals: counted, their lines held back
    OrLog::CThrottle m_thrSearch;   // "search answered" lines
    OrLog::CThrottle m_thrHeld;     // "stream held" lines
    // Answers per second, per sender and in all, so that no sender (nor a crowd of forged
    // ones) makes the camera send more than a bounded amount. Main thread only.
    class CRates {
    public:
        CRates(unsigned int nPerSender, unsigned int nInAll) : m_nPerSender(nPerSender), m_nInAll(nInAll) {}
        bool Take(uint32_t nFrom, int64_t tNowMs);

    private:
        struct SRate {
            int64_t tStart = 0;
            unsigned int n = 0;
            bool Take(int64_t tNowMs, unsigned int nPerSecond);
        };
        const unsigned int m_nPerSender, m_nInAll;
        std::unordered_map<uint32_t, SRate> m_map;
        SRate m_sAll;
    };
    CRates m_ratesSearch;   // search answers
    CRates m_ratesRefusal;  // -10008 / -10002 answers
};

#endif
