#include "kxeyeemulator.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <thread>

extern char** environ;

using namespace OrWire;

namespace {
const size_t c_nKeptFrames = 4096;                  // frames kept for resend requests
const size_t c_nKeptBytes = 96u * 1024u * 1024u;    // and at most this many bytes of them
const uint32_t c_nBroadcast = 0xFFFFFFFFu;
// What one peer can make the camera send (docs/security.md).
const unsigned int c_nSearchesPerSender = 10;     // search answers per second to one sender
const unsigned int c_nSearchesInAll = 200;        // and to all senders together
const unsigned int c_nRefusalsPerSender = 10;     // -10008 / -10002 answers likewise
const unsigned int c_nRefusalsInAll = 200;
const size_t c_nRateSenders = 4096;               // senders remembered for that
const uint64_t c_nResendBytesPerSecond = 128ull * 1024 * 1024;  // resent stream bytes per camera

uint32_t FromLastOctetFirst(const uint8_t* p) {
    return static_cast<uint32_t>(p[3]) << 24 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[1]) << 8 | p[0];
}
void ToLastOctetFirst(uint32_t n, uint8_t* p) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(n >> (8 * i));
}
void ToFirstOctetFirst(uint32_t n, uint8_t* p) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(n >> (24 - 8 * i));
}
std::string MacText(const uint8_t* m) {
    char sz[18];
    snprintf(sz, sizeof sz, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
    return sz;
}
int PrefixLength(uint32_t nMask) {
    int n = 0;
    while (nMask & 0x80000000u) {
        ++n;
        nMask <<= 1;
    }
    return n;
}
int RunIp(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    std::vector<std::string> full = {"ip"};
    full.insert(full.end(), args.begin(), args.end());
    for (auto& s : full) argv.push_back(const_cast<char*>(s.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    // Quiet: the emulator's output is its own log lines.
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    const int nSpawn = posix_spawnp(&pid, "ip", &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (nSpawn != 0) return -1;
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// The virtual camera's fault gate knows the operations by the library's own numbering.
OrEyeTest::Op GateOp(uint16_t nOp) {
    switch (nOp) {
    case Op_Connect: return OrEyeTest::Op_InitDevice;
    case Op_GetVersionText: return OrEyeTest::Op_GetVersionText;
    case Op_SetParam: return OrEyeTest::Op_SetParam;
    case Op_GetParam: return OrEyeTest::Op_GetParam;
    case Op_WriteRegister: return OrEyeTest::Op_WriteRegister;
    case Op_GetQMatrix: return OrEyeTest::Op_GetQMatrix;
    case Op_WriteProduct: return OrEyeTest::Op_WriteProduct;
    case Op_ReadProduct: return OrEyeTest::Op_ReadProduct;
    case Op_SetROI: return OrEyeTest::Op_SetROI;
    case Op_SetROIMode: return OrEyeTest::Op_SetROIMode;
    case Op_EnableDevice: return OrEyeTest::Op_EnableDevice;
    case Op_SetTriggerN: return OrEyeTest::Op_SetTriggerN;
    case Op_SetImageTransfer: return OrEyeTest::Op_SetImageTransfer;
    case Op_WriteStorage: return OrEyeTest::Op_WriteStorage;
    case Op_ReadStorage: return OrEyeTest::Op_ReadStorage;
    case Op_ExecuteCustomCommand: return OrEyeTest::Op_ExecuteCustomCommand;
    case Op_SetOptionEx: return OrEyeTest::Op_SetOptionEx;
    case Op_SetOption: return OrEyeTest::Op_SetOption;
    case Op_ExtendedCommand: return OrEyeTest::Op_ExtendedCommand;
    case Op_SyncROI: return OrEyeTest::Op_SyncROI;
    case Op_SetFeature: return OrEyeTest::Op_SetFeature;
    case Op_EnableStream: return OrEyeTest::Op_EnableStream;
    case Op_GrabFrame: return OrEyeTest::Op_GrabFrame;
    default: return OrEyeTest::Op_Count;
    }
}
}  // namespace

struct CKxEyeEmulator::SCamera {
    int nIndex = 0;
    CKxEyeEmulator* pOwner = nullptr;
    std::shared_ptr<COrVirtualCamera> p;
    SEmuCameraConfig cfg;
    std::mutex mtx;  // everything below, shared with the camera's stream thread
    uint32_t nDestIp = 0;  // 0: the controlling host
    uint32_t nNewIp = 0;   // address being taken
    bool bSession = false;
    uint32_t nHost = 0;
    uint16_t nHostPort = 0, nStreamPort = 0;
    uint64_t nSession = 0;     // the holder's key: every request of the session carries it
    uint64_t nStreamKey = 0;   // carried by every stream packet of the session
    uint32_t nCookie = 0;      // the stream's destination echoes it to confirm
    bool bConfirmed = false;   // the destination confirmed, from nConfirmedIp:nStreamPort
    uint32_t nConfirmedIp = 0;
    int64_t tResendSecond = 0; // resent bytes this second
    uint64_t nResendBytes = 0;
    unsigned int nHostMtu = 1500;
    int64_t tLast = 0;
    bool bHaveLast = false;
    uint32_t nLastRequest = 0;
    std::vector<uint8_t> vecLastReply;
    uint32_t nNextFrameId = 1;
    std::deque<std::shared_ptr<SSentFrame>> deqSent;
    size_t nSentBytes = 0;
    std::vector<uint8_t> vecStage;  // parts of a large SetParam
    std::mutex mtxReplay;
    std::thread thReplay;
    std::atomic<bool> bReplayRun{false};
};

std::atomic<bool> CKxEyeEmulator::s_bQuiet{false};

void CKxEyeEmulator::Log(const char* pszFormat, ...) {
    if (s_bQuiet) return;
    char sz[512];
    va_list ap;
    va_start(ap, pszFormat);
    vsnprintf(sz, sizeof sz, pszFormat, ap);
    va_end(ap);
    fprintf(stdout, "kxeye-emulator: %s\n", sz);
    fflush(stdout);
}

void CKxEyeEmulator::Refuse(const char* pszFormat, ...) {
    char sz[480];
    va_list ap;
    va_start(ap, pszFormat);
    const bool bWrite = m_thrRefused.Line(sz, sizeof sz, "datagrams refused", pszFormat, ap);
    va_end(ap);
    if (bWrite) Log("%s", sz);
}

CKxEyeEmulator::CKxEyeEmulator(const std::string& strInterface, int nHeartbeatMs, const SEmuFaults& faults, int nReplay,
                               double dReplayRate)
    : m_strInterface(strInterface),
      m_nHeartbeatMs(nHeartbeatMs),
      m_nReplay(nReplay),
      m_dReplayRate(dReplayRate),
      m_sFaults(faults),
      m_ratesSearch(c_nSearchesPerSender, c_nSearchesInAll),
      m_ratesRefusal(c_nRefusalsPerSender, c_nRefusalsInAll) {}

CKxEyeEmulator::~CKxEyeEmulator() {
    for (auto& c : m_vecCameras) {
        StopReplay(*c);
        c->p->EnableStream(c.get(), 0);
        c->p->DetachSession(c.get());
    }
}

bool CKxEyeEmulator::Start(const std::vector<SEmuCameraConfig>& vecCameras, std::string* pErr) {
    if (!OrNet::FindCardByName(m_strInterface, &m_sCard)) {
        // A card without an address yet is fine: the cameras bring theirs.
        if (RunIp({"link", "show", "dev", m_strInterface}) != 0) {
            *pErr = "no card " + m_strInterface;
            return false;
        }
    }
    // A camera moved within its subnet gets its new address beside the old one; without this the
    // kernel drops the new (secondary) address together with the old (primary) one.
    if (FILE* f = fopen(("/proc/sys/net/ipv4/conf/" + m_strInterface + "/promote_secondaries").c_str(), "w")) {
        fputs("1", f);
        fclose(f);
    }
    if (vecCameras.size() == 1) SetCardMac(vecCameras[0].abyMac);
    for (size_t i = 0; i < vecCameras.size(); ++i) SetCardAddress(0, vecCameras[i].nIp, vecCameras[i].nNetmask);
    if (!OrNet::FindCardByName(m_strInterface, &m_sCard)) {
        *pErr = "card " + m_strInterface + " has no IPv4 address";
        return false;
    }
    if (!m_sockControl.Open(0, c_nControlPort, m_strInterface)) {
        *pErr = "cannot open the control port on " + m_strInterface;
        return false;
    }
    // The one request thread answers without waiting: an answer that finds the queue full is
    // dropped (the host asks again), so that no peer can stall the camera by flooding it.
    m_sockControl.SetNoWait(true);
    if (!m_sockStream.Open(0, 0, m_strInterface) || !m_sockStream.SetDontFragment()) {
        *pErr = "cannot open the stream socket on " + m_strInterface;
        return false;
    }
    m_sockStream.SetSendBuffer(8 * 1024 * 1024);
    // Resend requests come in bursts while the stream runs; they wait here while the main thread
    // is not scheduled instead of being turned away.
    m_sockControl.SetReceiveBuffer(4 * 1024 * 1024);
    for (size_t i = 0; i < vecCameras.size(); ++i) AddCamera(i, vecCameras[i]);
    return true;
}

void CKxEyeEmulator::AddCamera(size_t i, const SEmuCameraConfig& cfg) {
    auto cam = std::make_unique<SCamera>();
    cam->nIndex = static_cast<int>(i);
    cam->pOwner = this;
    cam->cfg = cfg;
    cam->p = std::make_shared<COrVirtualCamera>(static_cast<int>(i), cam->cfg.sVirtual);
    uint8_t abyIp[4];
    ToLastOctetFirst(cam->cfg.nIp, abyIp);
    cam->p->SetParam(4, abyIp, 4);
    cam->p->SetParam(2, cam->cfg.abyMac, 6);
    cam->p->SetFrameCallback(cam.get(), 1, &CKxEyeEmulator::FrameCallback, cam.get());
    Log("camera %zu: %s/%d mac %s on %s, mtu %u", i, OrNet::FormatIPv4(cam->cfg.nIp).c_str(),
        PrefixLength(cam->cfg.nNetmask), MacText(cam->cfg.abyMac).c_str(), m_strInterface.c_str(), m_sCard.nMtu);
    m_vecCameras.push_back(std::move(cam));
}

void CKxEyeEmulator::StartDetached(const std::vector<SEmuCameraConfig>& vecCameras) {
    m_bDetached = true;
    s_bQuiet = true;
    m_sCard.nAddress = vecCameras.empty() ? 0 : vecCameras[0].nIp;
    m_sCard.nNetmask = vecCameras.empty() ? 0 : vecCameras[0].nNetmask;
    for (size_t i = 0; i < vecCameras.size(); ++i) AddCamera(i, vecCameras[i]);
}

CKxEyeEmulator::SCameraState CKxEyeEmulator::StateForTests(size_t nCamera) {
    SCameraState st;
    if (nCamera >= m_vecCameras.size()) return st;
    SCamera& cam = *m_vecCameras[nCamera];
    std::lock_guard<std::mutex> lock(cam.mtx);
    st.nIp = cam.cfg.nIp;
    st.nSession = cam.bSession ? cam.nSession : 0;
    return st;
}

void CKxEyeEmulator::SetCardAddress(uint32_t nOld, uint32_t nNew, uint32_t nMask) {
    char szPrefix[16];
    snprintf(szPrefix, sizeof szPrefix, "/%d", PrefixLength(nMask));
    const std::string strPrefix = szPrefix;
    if (nOld != 0) Ip({"addr", "del", OrNet::FormatIPv4(nOld) + strPrefix, "dev", m_strInterface});
    // "replace" leaves an address already on the card in peace.
    Ip({"addr", "replace", OrNet::FormatIPv4(nNew) + strPrefix, "dev", m_strInterface});
}

void CKxEyeEmulator::SetCardMac(const uint8_t* pbyMac) {
    Ip({"link", "set", "dev", m_strInterface, "address", MacText(pbyMac)});
}

int CKxEyeEmulator::Ip(const std::vector<std::string>& args) { return m_bDetached ? 0 : RunIp(args); }

bool CKxEyeEmulator::Chance(double dRatio) {
    if (dRatio <= 0.0) return false;
    if (dRatio >= 1.0) return true;
    return std::uniform_real_distribution<double>(0.0, 1.0)(m_rng) < dRatio;
}

bool CKxEyeEmulator::ApplyFaultCommand(const std::string& strLine) {
    std::istringstream in(strLine);
    std::string strWord;
    in >> strWord;
    bool bMute = false;
    {
        std::lock_guard<std::mutex> lock(m_mtxFaults);
        SEmuFaults& f = m_sFaults;
        if (strWord == "drop") in >> f.dDrop;
        else if (strWord == "duplicate") in >> f.dDuplicate;
        else if (strWord == "reorder") in >> f.dReorder;
        else if (strWord == "delay") in >> f.dDelay >> f.nDelayMs;
        else if (strWord == "busy") in >> f.nBusy;
        else if (strWord == "die") f.nDieAfterFrames = 0;
        else if (strWord == "mute") {
            std::string strOn;
            in >> strOn;
            f.bMute = strOn != "off";
        } else if (strWord == "clear") f = SEmuFaults();
        else return false;
        bMute = f.bMute;
    }
    Log("fault: %s", strLine.c_str());
    if (strWord == "die") {
        Log("dying on request");
        _exit(3);
    }
    // The streams stop without the fault lock: a stream thread takes it for every frame it sends,
    // and joining that thread while holding it would wait for ever. A frame already under way
    // sends nothing once the mute is in place (SendPackets).
    if (bMute)
        for (auto& c : m_vecCameras) {
            StopReplay(*c);
            c->p->EnableStream(c.get(), 0);
        }
    return true;
}

void CKxEyeEmulator::Run(const std::atomic<bool>* pStop) {
    // Requests in batches: while a stream runs, resend requests come thousands a second, and a
    // main thread that was not scheduled for a while catches up in a few calls, not one per
    // request.
    constexpr int c_nBatch = 16;
    std::vector<std::vector<uint8_t>> vecBufs(c_nBatch, std::vector<uint8_t>(65536));
    OrNet::CUdpSocket::SBatchItem aItems[c_nBatch];
    int64_t tCheck = OrNet::NowMs();
    while (!pStop->load()) {
        for (int i = 0; i < c_nBatch; ++i) aItems[i] = {vecBufs[i].data(), vecBufs[i].size(), 0, {}, 0};
        const int n = m_sockControl.ReceiveBatch(aItems, c_nBatch, 50);
        for (int i = 0; i < n; ++i) {
            const OrNet::CUdpSocket::SBatchItem& it = aItems[i];
            const size_t nSeg = it.nSegment ? it.nSegment : it.nSize;
            for (size_t nAt = 0; nAt < it.nSize && nSeg > 0; nAt += nSeg)
                HandleDatagram(it.p + nAt, std::min(nSeg, it.nSize - nAt), it.info);
        }
        const int64_t tNow = OrNet::NowMs();
        if (tNow - tCheck >= 50) {
            tCheck = tNow;
            CheckSessions();
        }
    }
    for (auto& c : m_vecCameras) DropSession(*c, "emulator stopping");
    Log("%llu datagram(s) refused", static_cast<unsigned long long>(m_thrRefused.Count()));
}

void CKxEyeEmulator::HandleDatagram(const uint8_t* p, size_t n, const OrNet::SDatagramInfo& info) {
    {
        std::lock_guard<std::mutex> lock(m_mtxFaults);
        if (m_sFaults.bMute) return;
    }
    SHeader h;
    const EResult e = DecodeHeader(p, n, &h);
    if (getenv("KXEYE_EMULATOR_TRACE"))
        Log("datagram %zu bytes from %s:%u to %s if %d", n, OrNet::FormatIPv4(info.nFrom).c_str(), info.nFromPort,
            OrNet::FormatIPv4(info.nTo).c_str(), info.nIfIndex);
    if (e != Ok) {
        Refuse("refused %zu bytes from %s:%u: %s", n, OrNet::FormatIPv4(info.nFrom).c_str(), info.nFromPort,
               ResultName(e));
        return;
    }
    if (h.nType == Type_SearchRequest) {
        if (n != c_nHeaderBytes) {
            Refuse("refused a search request of %zu bytes from %s:%u", n, OrNet::FormatIPv4(info.nFrom).c_str(),
                   info.nFromPort);
            return;
        }
        if (!m_ratesSearch.Take(info.nFrom, OrNet::NowMs())) {
            Refuse("search from %s:%u not answered: too many this second", OrNet::FormatIPv4(info.nFrom).c_str(),
                   info.nFromPort);
            return;
        }
        HandleSearch(h, info);
        return;
    }
    // The camera addressed: by its address, or, for a broadcast, by its device identifier.
    SCamera* pCam = nullptr;
    for (auto& c : m_vecCameras) {
        const bool bIdMatch = memcmp(h.abyDeviceId, c->cfg.abyDeviceId, 8) == 0;
        if (info.nTo == c->cfg.nIp && (bIdMatch || IsAnyDevice(h.abyDeviceId))) pCam = c.get();
        else if (info.nTo != c->cfg.nIp && bIdMatch) pCam = c.get();
    }
    if (pCam == nullptr) {
        Refuse("refused %zu bytes from %s:%u: for no camera here", n, OrNet::FormatIPv4(info.nFrom).c_str(),
               info.nFromPort);
        return;
    }
    if (h.nType == Type_ControlRequest) {
        SControlRequest r;
        const EResult er = DecodeControlRequest(p, n, &h, &r);
        if (er != Ok) {
            Refuse("camera %d: refused request from %s: %s", pCam->nIndex, OrNet::FormatIPv4(info.nFrom).c_str(),
                   ResultName(er));
            return;
        }
        HandleControl(*pCam, h, r, info);
    } else if (h.nType == Type_ResendRequest) {
        SResendRequest r;
        const EResult er = DecodeResendRequest(p, n, &h, &r);
        if (er != Ok) {
            Refuse("camera %d: refused resend request from %s: %s", pCam->nIndex,
                   OrNet::FormatIPv4(info.nFrom).c_str(), ResultName(er));
            return;
        }
        HandleResend(*pCam, h, r, info);
    } else if (h.nType == Type_StreamConfirm) {
        uint32_t nCookie = 0;
        const EResult er = DecodeStreamConfirm(p, n, &h, &nCookie);
        if (er != Ok) {
            Refuse("camera %d: refused stream confirmation from %s: %s", pCam->nIndex,
                   OrNet::FormatIPv4(info.nFrom).c_str(), ResultName(er));
            return;
        }
        HandleStreamConfirm(*pCam, h, nCookie, info);
    } else {
        Refuse("refused %zu bytes from %s:%u: type %u", n, OrNet::FormatIPv4(info.nFrom).c_str(), info.nFromPort,
               static_cast<unsigned>(h.nType));
    }
}

void CKxEyeEmulator::HandleSearch(const SHeader& h, const OrNet::SDatagramInfo& info) {
    for (auto& c : m_vecCameras) {
        const bool bToMe = info.nTo == c->cfg.nIp || info.nTo == c_nBroadcast ||
                           info.nTo == ((c->cfg.nIp & c->cfg.nNetmask) | ~c->cfg.nNetmask);
        if (!bToMe) continue;
        if (!IsAnyDevice(h.abyDeviceId) && memcmp(h.abyDeviceId, c->cfg.abyDeviceId, 8) != 0) continue;
        SSearchInfo si;
        ToFirstOctetFirst(c->cfg.nIp, si.abyIp);
        uint8_t ab[6];
        c->p->GetParam(5, ab, 4);
        ToFirstOctetFirst(FromLastOctetFirst(ab), si.abyDestIp);
        c->p->GetParam(2, si.abyMac, 6);
        c->p->GetParam(3, si.abyDestMac, 6);
        const SOrVirtualConfig& v = c->cfg.sVirtual;
        const uint32_t nVer = static_cast<uint32_t>(v.nVersion);
        memcpy(si.abyInfo1, &nVer, 4);
        const uint16_t nW = static_cast<uint16_t>(v.nWidth), nH = static_cast<uint16_t>(v.nHeight);
        memcpy(si.abyInfo1 + 4, &nW, 2);
        memcpy(si.abyInfo1 + 6, &nH, 2);
        memcpy(si.abyInfo2, v.strSerial.data(), std::min<size_t>(8, v.strSerial.size()));
        memcpy(si.abyDeviceId, c->cfg.abyDeviceId, 8);
        ToFirstOctetFirst(c->cfg.nNetmask, si.abyNetmask);
        std::vector<uint8_t> msg;
        EncodeSearchReply(msg, h.nRequestId, si);
        ReplyTo(*c, info, msg);
        uint64_t nAnswered = 0;
        if (m_thrSearch.Take(&nAnswered))
            Log("camera %d: search from %s:%u answered (%llu so far)", c->nIndex, OrNet::FormatIPv4(info.nFrom).c_str(),
                info.nFromPort, static_cast<unsigned long long>(nAnswered));
    }
}

// A host on the camera's subnet gets the answer directly; any other host by broadcast on the
// card, so that a camera with a foreign address is still reached and can be moved.
void CKxEyeEmulator::ReplyTo(SCamera& cam, const OrNet::SDatagramInfo& info, const std::vector<uint8_t>& msg) {
    const bool bSameNet = (info.nFrom & cam.cfg.nNetmask) == (cam.cfg.nIp & cam.cfg.nNetmask);
    const bool bSent = m_sockControl.SendTo(msg.data(), msg.size(), bSameNet ? info.nFrom : c_nBroadcast,
                                            info.nFromPort, 0, cam.cfg.nIp);
    if (getenv("KXEYE_EMULATOR_TRACE"))
        Log("answer %zu bytes to %s:%u from %s: %s", msg.size(), OrNet::FormatIPv4(bSameNet ? info.nFrom : c_nBroadcast).c_str(),
            info.nFromPort, OrNet::FormatIPv4(cam.cfg.nIp).c_str(), bSent ? "sent" : strerror(errno));
}

CKxEyeEmulator::EAdmit CKxEyeEmulator::AdmitControl(SCamera& cam, const SHeader& h, const SControlRequest& r,
                                                     const OrNet::SDatagramInfo& info) {
    // Under cam.mtx. The key decides; the address and port must be the holder's as well, so
    // that a key seen on the wire is of no use from another host.
    if (!cam.bSession) return r.nOp == Op_Connect ? Admit_Connect : Admit_NoSession;
    const bool bKey = h.nSession == cam.nSession;
    if (bKey && cam.nHost == info.nFrom && cam.nHostPort == info.nFromPort)
        return r.nOp == Op_Connect ? Admit_Connect : Admit_Session;
    // The holder may take the camera again from a new port (its program was restarted with the
    // key kept); without the key nobody takes a held camera before its heartbeat runs out.
    if (bKey && r.nOp == Op_Connect && cam.nHost == info.nFrom) return Admit_Connect;
    return Admit_Denied;
}

bool CKxEyeEmulator::CRates::SRate::Take(int64_t tNowMs, unsigned int nPerSecond) {
    if (tNowMs - tStart >= 1000) {
        tStart = tNowMs;
        n = 0;
    }
    return ++n <= nPerSecond;
}

bool CKxEyeEmulator::CRates::Take(uint32_t nFrom, int64_t tNowMs) {
    if (m_map.size() >= c_nRateSenders && m_map.count(nFrom) == 0) {
        // Many senders (or forged ones): forget those not heard from this second.
        for (auto it = m_map.begin(); it != m_map.end();)
            it = tNowMs - it->second.tStart >= 1000 ? m_map.erase(it) : std::next(it);
        if (m_map.size() >= c_nRateSenders) return false;
    }
    // A sender over its own share does not use up everybody's.
    return m_map[nFrom].Take(tNowMs, m_nPerSender) && m_sAll.Take(tNowMs, m_nInAll);
}

void CKxEyeEmulator::HandleControl(SCamera& cam, const SHeader& h, const SControlRequest& r,
                                   const OrNet::SDatagramInfo& info) {
    const int64_t tNow = OrNet::NowMs();
    SHeader hr;
    hr.nRequestId = h.nRequestId;
    hr.nNonce = h.nNonce;
    memcpy(hr.abyDeviceId, cam.cfg.abyDeviceId, 8);
    SControlReply rep;
    rep.nOp = r.nOp;
    std::vector<uint8_t> data, msg;
    bool bAddressChange = false;
    {
        std::unique_lock<std::mutex> lock(cam.mtx);
        const EAdmit eAdmit = AdmitControl(cam, h, r, info);
        if (eAdmit == Admit_Session) {
            // Only a request of the session keeps it alive.
            cam.tLast = tNow;
            hr.nSession = cam.nSession;
            // A request sent again because its answer was lost: the same answer, not a second run.
            if (cam.bHaveLast && cam.nLastRequest == h.nRequestId) {
                msg = cam.vecLastReply;
                lock.unlock();
                ReplyTo(cam, info, msg);
                return;
            }
        } else if (eAdmit == Admit_Denied || eAdmit == Admit_NoSession) {
            const uint32_t nHolder = cam.nHost;
            const uint16_t nHolderPort = cam.nHostPort;
            lock.unlock();
            hr.nStatus = eAdmit == Admit_Denied ? c_nStatusAccessDenied : c_nOrEyeNotInitialised;
            if (eAdmit == Admit_Denied) {
                // Who holds the camera, so that the refused host can say so (A:P).
                rep.anValue[0] = static_cast<int32_t>(nHolder);
                rep.anValue[1] = nHolderPort;
            }
            if (m_ratesRefusal.Take(info.nFrom, tNow)) {
                EncodeControlReply(msg, hr, rep);
                ReplyTo(cam, info, msg);
            }
            if (eAdmit == Admit_Denied)
                Refuse("camera %d: refused %s:%u, %s:%u has control", cam.nIndex, OrNet::FormatIPv4(info.nFrom).c_str(),
                       info.nFromPort, OrNet::FormatIPv4(nHolder).c_str(), nHolderPort);
            return;
        }
    }
    bool bBusy = false;
    if (r.nOp != Op_Connect && r.nOp != Op_Heartbeat && r.nOp != Op_Disconnect) {
        std::lock_guard<std::mutex> lock(m_mtxFaults);
        if (m_sFaults.nBusy > 0) {
            --m_sFaults.nBusy;
            bBusy = true;
        }
    }
    if (bBusy) {
        hr.nStatus = c_nOrEyeRetry;
        Log("camera %d: busy answer to op %u", cam.nIndex, r.nOp);
    } else {
        hr.nStatus = Execute(cam, r, info, &rep, &data);
        if (r.nOp == Op_Connect && hr.nStatus == c_nOrEyeOK) {
            std::lock_guard<std::mutex> lock(cam.mtx);
            hr.nSession = cam.nSession;
        }
        bAddressChange = hr.nStatus == c_nOrEyeOK && r.nOp == Op_SetParam &&
                         (r.anArg[0] == 2 || r.anArg[0] == 4) && r.nOffset + r.nData == r.nTotal;
    }
    rep.pData = data.data();
    rep.nData = static_cast<uint32_t>(data.size());
    EncodeControlReply(msg, hr, rep);
    {
        std::lock_guard<std::mutex> lock(cam.mtx);
        if (cam.bSession && cam.nHost == info.nFrom && cam.nHostPort == info.nFromPort && hr.nSession == cam.nSession) {
            cam.bHaveLast = true;
            cam.nLastRequest = h.nRequestId;
            cam.vecLastReply = msg;
        }
    }
    // A new address is on the card before the answer leaves (from the old one), so that the
    // host's first ARP request for it is answered; the old address goes after the answer.
    uint32_t nOldIp = 0;
    if (bAddressChange) nOldIp = TakeNewAddress(cam);
    ReplyTo(cam, info, msg);
    if (nOldIp != 0) {
        Ip({"addr", "del", OrNet::FormatIPv4(nOldIp) + "/" + std::to_string(PrefixLength(cam.cfg.nNetmask)), "dev",
               m_strInterface});
        std::lock_guard<std::mutex> lock(cam.mtx);
        cam.cfg.nIp = cam.nNewIp;
    }
    if (hr.nStatus == c_nOrEyeOK && r.nOp == Op_SetParam && r.anArg[0] == 5) {
        uint8_t ab[4];
        cam.p->GetParam(5, ab, 4);
        std::lock_guard<std::mutex> lock(cam.mtx);
        cam.nDestIp = FromLastOctetFirst(ab);
    }
    if (r.nOp == Op_Disconnect) DropSession(cam, "host let go");
}

int CKxEyeEmulator::Execute(SCamera& cam, const SControlRequest& r, const OrNet::SDatagramInfo& info,
                            SControlReply* pReply, std::vector<uint8_t>* pData) {
    COrVirtualCamera& v = *cam.p;
    const int32_t* a = r.anArg;
    const OrEyeTest::Op eGate = GateOp(r.nOp);
    if (eGate != OrEyeTest::Op_Count) {
        const int nGate = v.Gate(eGate);
        if (nGate != c_nOrEyeOK) return nGate;
    }
    switch (r.nOp) {
    case Op_Connect: {
        std::lock_guard<std::mutex> lock(cam.mtx);
        cam.bSession = true;
        cam.nHost = info.nFrom;
        cam.nHostPort = info.nFromPort;
        cam.nStreamPort = static_cast<uint16_t>(a[0]);
        cam.nHostMtu = a[1] > 0 ? static_cast<unsigned int>(a[1]) : 1500u;
        cam.tLast = OrNet::NowMs();
        cam.bHaveLast = false;
        // A new session: new keys from the system's random source, and the stream waits until
        // its destination confirms.
        cam.nSession = OrNet::RandomNonZero64();
        cam.nStreamKey = OrNet::RandomNonZero64();
        cam.nCookie = static_cast<uint32_t>(OrNet::RandomNonZero64());
        cam.bConfirmed = false;
        cam.nConfirmedIp = 0;
        SConnectInfo ci;
        ci.nStreamKey = cam.nStreamKey;
        ci.nCookie = cam.nCookie;
        ci.nStreamPort = m_sockStream.LocalPort();
        pData->assign(c_nConnectInfoBytes, 0);
        EncodeConnectInfo(pData->data(), ci);
        pReply->anValue[0] = static_cast<int32_t>(m_sCard.nMtu);
        Log("camera %d: %s:%u takes control, stream to port %u from port %u", cam.nIndex,
            OrNet::FormatIPv4(info.nFrom).c_str(), info.nFromPort, cam.nStreamPort, m_sockStream.LocalPort());
        return c_nOrEyeOK;
    }
    case Op_Disconnect:
    case Op_Heartbeat:
        return c_nOrEyeOK;
    case Op_GetVersionText: {
        const int n = std::clamp(a[0], 1, 4096);
        pData->assign(static_cast<size_t>(n), 0);
        return v.VersionText(reinterpret_cast<char*>(pData->data()), n);
    }
    case Op_SetParam: {
        if (r.nTotal == r.nData && r.nOffset == 0) return v.SetParam(a[0], r.pData, static_cast<int>(r.nData));
        // A large value in parts: gathered, then set whole with its last part.
        if (r.nTotal > 4u * 1024u * 1024u) return c_nOrEyeBadArgument;
        if (r.nOffset == 0) cam.vecStage.assign(r.nTotal, 0);
        if (cam.vecStage.size() != r.nTotal) return c_nOrEyeBadArgument;
        // The part lies inside what was gathered so far, whatever the decoder let through.
        if (static_cast<uint64_t>(r.nOffset) + r.nData > cam.vecStage.size()) return c_nOrEyeBadArgument;
        if (r.nData) memcpy(cam.vecStage.data() + r.nOffset, r.pData, r.nData);
        if (r.nOffset + r.nData < r.nTotal) return c_nOrEyeOK;
        const int nRet = v.SetParam(a[0], cam.vecStage.data(), static_cast<int>(r.nTotal));
        cam.vecStage.clear();
        return nRet;
    }
    case Op_GetParam: {
        // a[1]: whole length asked by the caller; [offset, offset + a[2]) goes back.
        if (a[1] <= 0 || a[1] > 4 * 1024 * 1024 || a[2] < 0 || static_cast<uint64_t>(r.nOffset) + a[2] > static_cast<uint64_t>(a[1]))
            return c_nOrEyeBadArgument;
        std::vector<uint8_t> whole(static_cast<size_t>(a[1]));
        const int nRet = v.GetParam(a[0], whole.data(), a[1]);
        if (nRet == c_nOrEyeOK) pData->assign(whole.begin() + r.nOffset, whole.begin() + r.nOffset + a[2]);
        return nRet;
    }
    case Op_WriteRegister:
        return v.WriteRegister(a[0], static_cast<unsigned int>(a[1]), r.pData, static_cast<int>(r.nData));
    case Op_GetQMatrix: {
        double ad[16] = {};
        const int nRet = v.GetQMatrix(ad);
        if (nRet == c_nOrEyeOK) pData->assign(reinterpret_cast<uint8_t*>(ad), reinterpret_cast<uint8_t*>(ad) + sizeof ad);
        return nRet;
    }
    case Op_WriteProduct:
        return v.WriteProduct(a[0], r.pData, static_cast<int>(r.nData));
    case Op_ReadProduct: {
        if (a[1] <= 0 || a[1] > 65536) return c_nOrEyeBadArgument;
        pData->assign(static_cast<size_t>(a[1]), 0);
        return v.ReadProduct(a[0], pData->data(), a[1]);
    }
    case Op_SetROI: return v.SetROI(a[0], a[1], a[2], a[3], a[4], a[5]);
    case Op_SyncROI: return v.SetROI(a[0], a[1], a[2], a[3], a[4], a[5]);
    case Op_SetROIMode: return v.SetROIMode(a[0]);
    case Op_EnableDevice: return v.EnableDevice(a[0]);
    case Op_SetTriggerN: return v.SetTriggerN(static_cast<unsigned int>(a[0]), static_cast<unsigned int>(a[1]));
    case Op_SetImageTransfer: {
        // The host's pool is the host's; the camera keeps a small pool of its own frames.
        const SOrVirtualConfig& c = cam.cfg.sVirtual;
        const unsigned int nBytes = a[0] ? 2u * c.nWidth * c.nHeight + c_nOrEyeLaserBytes : c_nOrEyeLaserBytes;
        return v.SetImageTransfer(a[0], 4, nBytes);
    }
    case Op_WriteStorage:
        return v.WriteStorage(static_cast<unsigned int>(a[0]), r.pData, r.nData);
    case Op_ReadStorage: {
        if (a[1] < 0 || static_cast<uint32_t>(a[1]) > c_nMaxControlData - 64) return c_nOrEyeBadArgument;
        pData->assign(static_cast<size_t>(a[1]), 0);
        return v.ReadStorage(static_cast<unsigned int>(a[0]), pData->data(), static_cast<unsigned int>(a[1]));
    }
    case Op_ExecuteCustomCommand: {
        if (r.nData != 10) return c_nOrEyeBadArgument;
        unsigned short aw[5];
        memcpy(aw, r.pData, 10);
        uint32_t nReply = 0;
        const int nRet = v.ExecuteCustomCommand(aw, &nReply);
        pReply->anValue[0] = static_cast<int32_t>(nReply);
        return nRet;
    }
    case Op_SetOptionEx: return v.SetOptionEx(a[0], a[1], a[2]);
    case Op_SetOption: return v.SetOption(a[0], a[1]);
    case Op_SetFeature: return v.SetFeature(a[0], a[1], a[2]);
    case Op_ExtendedCommand: return v.ExtendedCommand(a[0], nullptr, a[1], nullptr, a[2]);
    case Op_EnableStream: {
        if (m_nReplay > 0) {
            if (a[0]) StartReplay(cam);
            else StopReplay(cam);
            Log("camera %d: replay stream %s", cam.nIndex, a[0] ? "on" : "off");
            return c_nOrEyeOK;
        }
        const int nRet = v.EnableStream(&cam, a[0]);
        Log("camera %d: stream %s", cam.nIndex, a[0] ? "on" : "off");
        return nRet;
    }
    case Op_GrabFrame: {
        auto pFrame = std::make_shared<std::vector<uint8_t>>();
        unsigned int nId = 0;
        const int nRet = GrabInto(cam, pFrame.get(), &nId);
        if (nRet != c_nOrEyeOK) return nRet;
        uint32_t nFrameId = 0;
        {
            std::lock_guard<std::mutex> lock(cam.mtx);
            nFrameId = cam.nNextFrameId;
        }
        SendFrame(cam, pFrame, c_nStreamFlagGrab);
        pReply->anValue[0] = static_cast<int32_t>(nFrameId);
        pReply->anValue[1] = static_cast<int32_t>(nId);
        return c_nOrEyeOK;
    }
    default:
        return c_nOrEyeNotSupported;
    }
}

// Puts a new camera address on the card (the old one stays until the answer has left) and a
// new MAC on it; answers the old address when the address changed, else 0.
uint32_t CKxEyeEmulator::TakeNewAddress(SCamera& cam) {
    uint8_t ab[6];
    uint32_t nOld = 0;
    cam.p->GetParam(4, ab, 4);
    const uint32_t nNew = FromLastOctetFirst(ab);
    if (nNew != cam.cfg.nIp && nNew != 0) {
        Log("camera %d: address %s -> %s", cam.nIndex, OrNet::FormatIPv4(cam.cfg.nIp).c_str(),
            OrNet::FormatIPv4(nNew).c_str());
        SetCardAddress(0, nNew, cam.cfg.nNetmask);
        nOld = cam.cfg.nIp;
        cam.nNewIp = nNew;
    }
    cam.p->GetParam(2, ab, 6);
    if (memcmp(ab, cam.cfg.abyMac, 6) != 0) {
        Log("camera %d: mac %s -> %s", cam.nIndex, MacText(cam.cfg.abyMac).c_str(), MacText(ab).c_str());
        if (m_vecCameras.size() == 1) SetCardMac(ab);
        memcpy(cam.cfg.abyMac, ab, 6);
    }
    return nOld;
}

void CKxEyeEmulator::DropSession(SCamera& cam, const char* pszWhy) {
    {
        std::lock_guard<std::mutex> lock(cam.mtx);
        if (!cam.bSession) return;
        cam.bSession = false;
        cam.bHaveLast = false;
        cam.nSession = 0;
        cam.nStreamKey = 0;
        cam.bConfirmed = false;
        Log("camera %d: %s:%u loses control (%s), stream stopped", cam.nIndex,
            OrNet::FormatIPv4(cam.nHost).c_str(), cam.nHostPort, pszWhy);
    }
    StopReplay(cam);
    cam.p->EnableStream(&cam, 0);
}

void CKxEyeEmulator::CheckSessions() {
    const int64_t tNow = OrNet::NowMs();
    for (auto& c : m_vecCameras) {
        bool bSilent = false;
        {
            std::lock_guard<std::mutex> lock(c->mtx);
            bSilent = c->bSession && tNow - c->tLast > m_nHeartbeatMs;
        }
        if (bSilent) DropSession(*c, "heartbeat missed");
    }
}

// ---- streaming ------------------------------------------------------------------------------

void CKxEyeEmulator::FrameCallback(int nEvent, int, void* pBuffer, unsigned int nLength, unsigned int nBufferId,
                                   void* pContext) {
    if (nEvent != c_nOrEyeEventFrame) return;
    SCamera& cam = *static_cast<SCamera*>(pContext);
    cam.pOwner->SendFrame(cam, static_cast<const uint8_t*>(pBuffer), nLength, 0);
    cam.p->ReleaseFrameBuffer(nBufferId);
}

bool CKxEyeEmulator::StreamTarget(SCamera& cam, uint32_t* pnTo, uint16_t* pnPort, uint16_t* pnStride, uint64_t* pnKey) {
    std::lock_guard<std::mutex> lock(cam.mtx);
    if (!cam.bSession) return false;
    uint32_t nTo = cam.nDestIp ? cam.nDestIp : cam.nHost;
    // A destination off the camera's subnet has no route: the card's broadcast still reaches it.
    if (nTo != c_nBroadcast && (nTo & cam.cfg.nNetmask) != (cam.cfg.nIp & cam.cfg.nNetmask)) nTo = c_nBroadcast;
    // A unicast destination gets the stream only once it said it wants it (the cookie of the
    // Connect answer, from its stream port): a forged Connect in a bystander's name cannot turn
    // the stream onto the bystander.
    if (nTo != c_nBroadcast && !(cam.bConfirmed && cam.nConfirmedIp == nTo)) {
        uint64_t n = 0;
        if (m_thrHeld.Take(&n))
            Log("camera %d: stream held: %s has not confirmed it (%llu frames so far)", cam.nIndex,
                OrNet::FormatIPv4(nTo).c_str(), static_cast<unsigned long long>(n));
        return false;
    }
    *pnTo = nTo;
    *pnPort = cam.nStreamPort;
    *pnStride = StreamStride(m_sCard.nMtu, cam.nHostMtu);
    *pnKey = cam.nStreamKey;
    return true;
}

void CKxEyeEmulator::SendFrame(SCamera& cam, const uint8_t* p, uint32_t nBytes, uint16_t nFlags) {
    SendFrame(cam, std::make_shared<const std::vector<uint8_t>>(p, p + nBytes), nFlags);
}

void CKxEyeEmulator::SPacer::Wait(size_t nBytes) {
    const auto tNow = std::chrono::steady_clock::now();
    // Behind after a wake-up came late: the next batches go at once until the rate is made up,
    // but never more than 10 ms of them, a burst the receiver's socket buffer takes.
    if (tNow - tNext > std::chrono::milliseconds(10)) tNext = tNow - std::chrono::milliseconds(10);
    if (tNext > tNow) std::this_thread::sleep_until(tNext);
    tNext += std::chrono::nanoseconds(static_cast<int64_t>(dNsPerByte * static_cast<double>(nBytes)));
}

void CKxEyeEmulator::SendFrame(SCamera& cam, std::shared_ptr<const std::vector<uint8_t>> pData, uint16_t nFlags,
                               SPacer* pPacer) {
    auto f = std::make_shared<SSentFrame>();
    f->nFlags = nFlags;
    f->pData = std::move(pData);
    const uint32_t nBytes = static_cast<uint32_t>(f->pData->size());
    {
        std::lock_guard<std::mutex> lock(cam.mtx);
        f->nFrameId = cam.nNextFrameId++;
        cam.deqSent.push_back(f);
        cam.nSentBytes += nBytes;
        while (cam.deqSent.size() > c_nKeptFrames || (cam.nSentBytes > c_nKeptBytes && cam.deqSent.size() > 1)) {
            cam.nSentBytes -= cam.deqSent.front()->pData->size();
            cam.deqSent.pop_front();
        }
    }
    uint32_t nTo = 0;
    uint16_t nPort = 0, nStride = 0;
    uint64_t nKey = 0;
    if (!StreamTarget(cam, &nTo, &nPort, &nStride, &nKey)) return;
    SendPackets(cam, *f, 0, PacketCount(nBytes, nStride), false, pPacer);
    const uint64_t nSent = ++m_nFramesSent;
    int nDie;
    {
        std::lock_guard<std::mutex> lock(m_mtxFaults);
        nDie = m_sFaults.nDieAfterFrames;
    }
    if (nDie >= 0 && nSent >= static_cast<uint64_t>(nDie)) {
        Log("dying after %llu frames", static_cast<unsigned long long>(nSent));
        _exit(3);
    }
}

void CKxEyeEmulator::SendPackets(SCamera& cam, const SSentFrame& f, uint32_t nFirst, uint32_t nCount, bool bResent,
                                 SPacer* pPacer) {
    uint32_t nTo = 0;
    uint16_t nPort = 0, nStride = 0;
    uint64_t nKey = 0;
    if (!StreamTarget(cam, &nTo, &nPort, &nStride, &nKey)) return;
    const uint32_t nBytes = static_cast<uint32_t>(f.pData->size());
    const uint32_t nTotal = PacketCount(nBytes, nStride);
    SEmuFaults faults;
    {
        std::lock_guard<std::mutex> lock(m_mtxFaults);
        faults = m_sFaults;
    }
    if (faults.bMute) return;  // a mute camera sends nothing, also while its stream winds down
    const bool bFaults = faults.dDrop > 0 || faults.dDuplicate > 0 || faults.dReorder > 0 ||
                         (faults.dDelay > 0 && faults.nDelayMs > 0);
    // Packets go out in batches of up to 64 per system call; the headers live beside them.
    constexpr int c_nBatch = 64;
    uint8_t aHeaders[c_nBatch][c_nStreamHeaderBytes];
    OrNet::CUdpSocket::SSendItem aItems[c_nBatch];
    int nQueued = 0;
    auto flush = [&] {
        if (nQueued == 0) return;
        if (pPacer) {
            // Frame bytes, headers not counted: the rate is one of frames.
            size_t nBatchBytes = 0;
            for (int i = 0; i < nQueued; ++i) nBatchBytes += aItems[i].n2;
            pPacer->Wait(nBatchBytes);
        }
        m_sockStream.SendBatch(aItems, nQueued, nTo, nPort, cam.cfg.nIp);
        nQueued = 0;
    };
    auto queue = [&](const uint8_t* hdr, const uint8_t* p, size_t n) {
        if (nQueued == c_nBatch) flush();
        memcpy(aHeaders[nQueued], hdr, c_nStreamHeaderBytes);
        aItems[nQueued] = {aHeaders[nQueued], c_nStreamHeaderBytes, p, n};
        ++nQueued;
    };
    struct SHeld {
        bool b = false;
        uint8_t hdr[c_nStreamHeaderBytes];
        const uint8_t* p = nullptr;
        size_t n = 0;
    } held;
    for (uint32_t i = nFirst; i < nFirst + nCount && i < nTotal; ++i) {
        SStreamHeader s;
        s.nFlags = static_cast<uint16_t>(f.nFlags | (bResent ? c_nStreamFlagResent : 0));
        s.nFrameId = f.nFrameId;
        s.nIndex = i;
        s.nCount = nTotal;
        s.nOffset = i * nStride;
        s.nFrameBytes = nBytes;
        s.nStride = nStride;
        s.nPayload = static_cast<uint16_t>(i + 1 < nTotal ? nStride : nBytes - s.nOffset);
        s.nKey = nKey;
        uint8_t hdr[c_nStreamHeaderBytes];
        EncodeStreamHeader(hdr, s);
        const uint8_t* pPay = f.pData->data() + s.nOffset;
        bool bDrop = false, bDup = false, bHold = false, bDelay = false;
        if (bFaults) {
            std::lock_guard<std::mutex> lock(m_mtxFaults);
            bDrop = Chance(faults.dDrop);
            bDup = Chance(faults.dDuplicate);
            bHold = !held.b && Chance(faults.dReorder);
            bDelay = faults.nDelayMs > 0 && Chance(faults.dDelay);
        }
        if (bDrop) continue;
        if (bDelay) {
            flush();
            std::this_thread::sleep_for(std::chrono::milliseconds(faults.nDelayMs));
        }
        if (bHold) {
            held.b = true;
            memcpy(held.hdr, hdr, sizeof hdr);
            held.p = pPay;
            held.n = s.nPayload;
            continue;
        }
        queue(hdr, pPay, s.nPayload);
        if (bDup) queue(hdr, pPay, s.nPayload);
        if (held.b) {
            queue(held.hdr, held.p, held.n);
            held.b = false;
        }
    }
    if (held.b) queue(held.hdr, held.p, held.n);
    flush();
}

const char* CKxEyeEmulator::AdmitResend(SCamera& cam, const SHeader& h, const SResendRequest& r,
                                        const OrNet::SDatagramInfo& info, std::shared_ptr<SSentFrame>* pFrame) {
    uint16_t nStride = 0;
    {
        std::lock_guard<std::mutex> lock(cam.mtx);
        // Only the holder's stream socket, with the session's key. It does not keep the session
        // alive: only control requests do.
        if (!cam.bSession || h.nSession != cam.nSession || cam.nHost != info.nFrom || cam.nStreamPort != info.nFromPort)
            return "not from the session";
        nStride = StreamStride(m_sCard.nMtu, cam.nHostMtu);
        // Requests are for recent frames: look from the newest.
        for (auto it = cam.deqSent.rbegin(); it != cam.deqSent.rend(); ++it)
            if ((*it)->nFrameId == r.nFrameId) {
                *pFrame = *it;
                break;
            }
    }
    if (!*pFrame) return "";  // too old: the host gives the frame up
    // Each packet of the frame at most once (the decoder refused overlaps), inside the frame.
    const uint32_t nPackets = PacketCount(static_cast<uint32_t>((*pFrame)->pData->size()), nStride);
    uint64_t nAsked = 0;
    for (uint32_t i = 0; i < r.nRanges; ++i) {
        if (static_cast<uint64_t>(r.asRange[i].nFirst) + r.asRange[i].nCount > nPackets) return "a range outside the frame";
        nAsked += r.asRange[i].nCount;
    }
    const uint64_t nBytes = std::min<uint64_t>(nAsked * nStride, (*pFrame)->pData->size());
    std::lock_guard<std::mutex> lock(cam.mtx);
    const int64_t tNow = OrNet::NowMs();
    if (tNow - cam.tResendSecond >= 1000) {
        cam.tResendSecond = tNow;
        cam.nResendBytes = 0;
    }
    if (cam.nResendBytes + nBytes > c_nResendBytesPerSecond) return "over the resend budget of this second";
    cam.nResendBytes += nBytes;
    return nullptr;
}

void CKxEyeEmulator::HandleResend(SCamera& cam, const SHeader& h, const SResendRequest& r,
                                  const OrNet::SDatagramInfo& info) {
    std::shared_ptr<SSentFrame> f;
    const char* pszWhy = AdmitResend(cam, h, r, info, &f);
    if (pszWhy != nullptr) {
        if (*pszWhy != '\0')
            Refuse("camera %d: refused resend request from %s:%u: %s", cam.nIndex, OrNet::FormatIPv4(info.nFrom).c_str(),
                   info.nFromPort, pszWhy);
        return;
    }
    for (uint32_t i = 0; i < r.nRanges; ++i) SendPackets(cam, *f, r.asRange[i].nFirst, r.asRange[i].nCount, true);
}

void CKxEyeEmulator::HandleStreamConfirm(SCamera& cam, const SHeader& h, uint32_t nCookie,
                                         const OrNet::SDatagramInfo& info) {
    {
        std::lock_guard<std::mutex> lock(cam.mtx);
        if (cam.bSession && h.nSession == cam.nSession && nCookie == cam.nCookie && info.nFromPort == cam.nStreamPort) {
            if (!cam.bConfirmed || cam.nConfirmedIp != info.nFrom)
                Log("camera %d: stream destination %s:%u confirmed", cam.nIndex, OrNet::FormatIPv4(info.nFrom).c_str(),
                    info.nFromPort);
            cam.bConfirmed = true;
            cam.nConfirmedIp = info.nFrom;
            return;
        }
    }
    Refuse("camera %d: refused stream confirmation from %s:%u", cam.nIndex, OrNet::FormatIPv4(info.nFrom).c_str(),
           info.nFromPort);
}

// One frame of the camera made at once, in the stream's layout (left, right, laser part).
int CKxEyeEmulator::GrabInto(SCamera& cam, std::vector<uint8_t>* pFrame, unsigned int* pnId) {
    const SOrVirtualConfig& c = cam.cfg.sVirtual;
    const size_t nImage = static_cast<size_t>(c.nWidth) * c.nHeight;
    std::vector<uint8_t> left(nImage), right(nImage), laser(c_nOrEyeLaserBytes);
    unsigned char* apDest[3] = {left.data(), right.data(), laser.data()};
    unsigned int nLength = 0;
    const int nRet = cam.p->GrabFrame(apDest, &nLength, pnId, 1000);
    if (nRet != c_nOrEyeOK) return nRet;
    const size_t nImg = (nLength - c_nOrEyeLaserBytes) / 2;
    pFrame->clear();
    pFrame->reserve(nLength);
    pFrame->insert(pFrame->end(), left.begin(), left.begin() + static_cast<long>(nImg));
    pFrame->insert(pFrame->end(), right.begin(), right.begin() + static_cast<long>(nImg));
    pFrame->insert(pFrame->end(), laser.begin(), laser.end());
    return c_nOrEyeOK;
}

void CKxEyeEmulator::StartReplay(SCamera& cam) {
    std::lock_guard<std::mutex> lock(cam.mtxReplay);
    if (cam.thReplay.joinable()) return;
    cam.bReplayRun = true;
    cam.thReplay = std::thread(&CKxEyeEmulator::ReplayThread, this, &cam);
}

void CKxEyeEmulator::StopReplay(SCamera& cam) {
    std::lock_guard<std::mutex> lock(cam.mtxReplay);
    cam.bReplayRun = false;
    if (cam.thReplay.joinable()) cam.thReplay.join();
}

void CKxEyeEmulator::ReplayThread(SCamera* pCam) {
    SCamera& cam = *pCam;
    std::vector<std::shared_ptr<const std::vector<uint8_t>>> vecFrames;
    for (int i = 0; i < m_nReplay && cam.bReplayRun; ++i) {
        auto p = std::make_shared<std::vector<uint8_t>>();
        unsigned int nId = 0;
        if (GrabInto(cam, p.get(), &nId) != c_nOrEyeOK) break;
        vecFrames.push_back(p);
    }
    if (vecFrames.empty()) return;
    Log("camera %d: replaying %zu frames of %zu bytes", cam.nIndex, vecFrames.size(), vecFrames[0]->size());
    SPacer pacer;
    SPacer* pPacer = nullptr;
    if (m_dReplayRate > 0) {
        // Paced: each frame's packets spread over its frame period, batch by batch, as a camera
        // streaming at that rate sends them. Sleeps of tens of microseconds must not be
        // stretched by the default timer slack.
        prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
        pacer.dNsPerByte = 1e9 / (m_dReplayRate * static_cast<double>(vecFrames[0]->size()));
        pacer.tNext = std::chrono::steady_clock::now();
        pPacer = &pacer;
    }
    for (size_t i = 0; cam.bReplayRun; ++i) SendFrame(cam, vecFrames[i % vecFrames.size()], 0, pPacer);
}
