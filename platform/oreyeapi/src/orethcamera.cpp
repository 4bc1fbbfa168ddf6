// Ethernet camera object: search, addressing, the control session and the camera operations.
// The stream side is in orethstream.cpp.
#include "orethcamera.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "orlog.h"

using namespace OrWire;
using Orvik::utilSystem::LogLevel_Debug;
using Orvik::utilSystem::LogLevel_Info;
using Orvik::utilSystem::LogLevel_Warning;

namespace {
const uint32_t c_nBroadcast = 0xFFFFFFFFu;

uint32_t FromFirstOctetFirst(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}
uint32_t FromLastOctetFirst(const uint8_t* p) {
    return static_cast<uint32_t>(p[3]) << 24 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[1]) << 8 | p[0];
}
// Search entry form: a 32-bit value whose lowest byte is the last octet.
void PutEntryAddress(uint8_t* p, uint32_t n) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(n >> (8 * i));
}
bool SameNet(uint32_t a, uint32_t b, uint32_t nMask) { return nMask != 0 && (a & nMask) == (b & nMask); }
}  // namespace

// Request ids start at a random value: a reply cannot be forged by counting from 1.
COrEthLink::COrEthLink() : m_nNextRequest(static_cast<uint32_t>(OrNet::RandomNonZero64())) {}

COrEthLink::~COrEthLink() { StopThreads(); }

void COrEthLink::StartThreads() {
    if (m_thStream.joinable()) return;
    m_bQuit = false;
    std::shared_ptr<COrEthLink> self = shared_from_this();
    m_thStream = std::thread([self] { self->StreamThread(); });
    m_thHeartbeat = std::thread([self] { self->HeartbeatThread(); });
}

void COrEthLink::StopThreads() {
    {
        std::lock_guard<std::mutex> lock(m_mtxQuit);
        m_bQuit = true;
    }
    m_cvQuit.notify_all();
    m_cvFrame.notify_all();
    for (std::thread* p : {&m_thStream, &m_thHeartbeat}) {
        if (!p->joinable()) continue;
        // Deleted from its own thread (a callback let the last reference go): that thread ends
        // by itself once it sees the quit flag.
        if (p->get_id() == std::this_thread::get_id())
            p->detach();
        else
            p->join();
    }
}

void COrEthLink::Shutdown() {
    if (m_bConnected.load() && !m_bOffline.load() && !m_bSessionLost.load()) {
        // Let go of the camera at once so that another host may take it; one short try.
        std::vector<uint8_t> msg;
        SControlRequest r;
        r.nOp = Op_Disconnect;
        std::lock_guard<std::mutex> lock(m_mtxControl);
        SExpect e;
        EncodeControlRequest(msg, NextHeader(&e, Op_Disconnect), r);
        SendControl(msg);
    }
    m_bConnected = false;
    StopThreads();
}

// ---- search and addressing ------------------------------------------------------------------

int COrEthLink::SetLocalIP(const char* pszIP, int nLength) {
    if (pszIP == nullptr || nLength <= 0) return c_nOrEyeBadArgument;
    std::string strIP(pszIP, strnlen(pszIP, static_cast<size_t>(nLength)));
    uint32_t nAddr = 0;
    OrNet::SCard card;
    if (!OrNet::ParseIPv4(strIP.c_str(), &nAddr) || !OrNet::FindCardByAddress(nAddr, &card)) {
        OrLog::Print(LogLevel_Warning, "SetLocalIP: no card with address \"%s\"", strIP.c_str());
        return c_nOrEyeNoDevice;
    }
    std::lock_guard<std::mutex> lock(m_mtxControl);
    m_sLocalCard = card;
    m_bLocalCard = true;
    return c_nOrEyeOK;
}

int COrEthLink::SelectDevice(const unsigned char* pbyID8) {
    if (pbyID8 == nullptr) return c_nOrEyeBadArgument;
    std::lock_guard<std::mutex> lock(m_mtxControl);
    memcpy(m_abySelected, pbyID8, 8);
    m_bSelected = !IsAnyDevice(m_abySelected);
    return c_nOrEyeOK;
}

namespace {
// Whether two answers tell the same about a camera (a repeated answer, not a second one).
bool SameAnswer(const SSearchInfo& a, const SSearchInfo& b) {
    return memcmp(a.abyIp, b.abyIp, 4) == 0 && memcmp(a.abyDestIp, b.abyDestIp, 4) == 0 &&
           memcmp(a.abyMac, b.abyMac, 6) == 0 && memcmp(a.abyDestMac, b.abyDestMac, 6) == 0 &&
           memcmp(a.abyInfo1, b.abyInfo1, 8) == 0 && memcmp(a.abyInfo2, b.abyInfo2, 8) == 0 &&
           memcmp(a.abyDeviceId, b.abyDeviceId, 8) == 0 && memcmp(a.abyNetmask, b.abyNetmask, 4) == 0;
}
std::string MacText(const uint8_t* p) {
    char sz[18];
    snprintf(sz, sizeof sz, "%02x:%02x:%02x:%02x:%02x:%02x", p[0], p[1], p[2], p[3], p[4], p[5]);
    return sz;
}
const size_t c_nSearchAnswersMax = 256;  // distinct answers held per search (a flood gets no more)
const int c_nConflictLinesMax = 8;       // conflict lines per search; the count says the rest
}  // namespace

int COrEthLink::Search(const unsigned char* pbyIP4, unsigned char* pResult484) {
    if (pbyIP4 == nullptr || pResult484 == nullptr) return c_nOrEyeBadArgument;
    memset(pResult484, 0, c_nOrEyeSearchBytes);
    const uint32_t nTarget = FromLastOctetFirst(pbyIP4);
    std::vector<OrNet::SCard> vecCards;
    bool bBroadcast = true;
    {
        std::lock_guard<std::mutex> lock(m_mtxControl);
        OrNet::SCard own;
        if (nTarget == c_nBroadcast) {
            // Through the card chosen with SetLocalIP, else through every card.
            if (m_bLocalCard) vecCards.push_back(m_sLocalCard);
            else vecCards = OrNet::ListCards();
        } else if (OrNet::FindCardByAddress(nTarget, &own)) {
            vecCards.push_back(own);  // a card's own address: search through that card
        } else {
            bBroadcast = false;       // one camera's address: a unicast probe
            if (m_bLocalCard) vecCards.push_back(m_sLocalCard);
        }
    }
    OrNet::CUdpSocket sock;
    if (!sock.Open(0, 0)) return c_nOrEyeIoError;
    const uint32_t nRequest = 0x5EA00000u | (static_cast<uint32_t>(OrNet::NowMs()) & 0xFFFFF);
    std::vector<uint8_t> msg;
    EncodeSearchRequest(msg, nRequest, nullptr);
    if (bBroadcast) {
        for (const OrNet::SCard& c : vecCards) sock.SendTo(msg.data(), msg.size(), c_nBroadcast, c_nControlPort, c.nIndex, c.nAddress);
    } else {
        sock.SendTo(msg.data(), msg.size(), nTarget, c_nControlPort, vecCards.empty() ? 0 : vecCards[0].nIndex);
    }
    // Each answer with the place of its card in the card list: the list, not the arrival, orders
    // the entries, so that the first entry of a camera does not depend on which card was quicker.
    std::vector<std::pair<size_t, SHit>> vecHits;
    uint64_t nIgnored = 0, nConflicts = 0;
    std::vector<uint8_t> buf(2048);
    const int64_t tEnd = OrNet::NowMs() + c_nSearchMs;
    for (;;) {
        const int64_t tLeft = tEnd - OrNet::NowMs();
        if (tLeft <= 0) break;
        OrNet::SDatagramInfo info;
        const int n = sock.Receive(buf.data(), buf.size(), static_cast<int>(tLeft), &info);
        if (n <= 0) continue;
        SHeader h;
        SHit hit;
        if (DecodeSearchReply(buf.data(), static_cast<size_t>(n), &h, &hit.info) != Ok || h.nRequestId != nRequest) {
            ++nIgnored;
            continue;
        }
        hit.nIfIndex = info.nIfIndex;
        hit.nFrom = info.nFrom;
        // Anyone on the LAN can answer: the sender must be the camera it describes...
        if (info.nFrom != FromFirstOctetFirst(hit.info.abyIp)) {
            ++nIgnored;
            continue;
        }
        // ...and the answer must come through a card that was searched (a broadcast may come
        // back on another one; a unicast probe through the chosen card only).
        size_t nRank = 0;
        if (!vecCards.empty()) {
            const auto it = std::find_if(vecCards.begin(), vecCards.end(),
                                         [&](const OrNet::SCard& c) { return c.nIndex == info.nIfIndex; });
            if (it == vecCards.end()) {
                ++nIgnored;
                continue;
            }
            nRank = static_cast<size_t>(it - vecCards.begin());
        }
        bool bRepeat = false;
        for (const auto& e : vecHits) {
            if (e.second.nIfIndex != hit.nIfIndex) continue;
            if (SameAnswer(e.second.info, hit.info)) {
                bRepeat = true;
                break;
            }
        }
        if (bRepeat) continue;
        // A second, different answer for one camera (same MAC, or same identifier with another
        // MAC) through this card: both are kept, apart, and the application is told; which one
        // is true cannot be known here.
        for (const auto& e : vecHits) {
            if (e.second.nIfIndex != hit.nIfIndex) continue;
            const bool bSameMac = memcmp(e.second.info.abyMac, hit.info.abyMac, 6) == 0;
            const bool bSameId = !IsAnyDevice(hit.info.abyDeviceId) &&
                                 memcmp(e.second.info.abyDeviceId, hit.info.abyDeviceId, 8) == 0;
            if (!bSameMac && !bSameId) continue;
            if (++nConflicts <= c_nConflictLinesMax)
                OrLog::Print(LogLevel_Warning,
                             "Search: two different answers for one camera through card %d: %s %s and %s %s; both "
                             "listed",
                             hit.nIfIndex, OrNet::FormatIPv4(FromFirstOctetFirst(e.second.info.abyIp)).c_str(),
                             MacText(e.second.info.abyMac).c_str(),
                             OrNet::FormatIPv4(FromFirstOctetFirst(hit.info.abyIp)).c_str(),
                             MacText(hit.info.abyMac).c_str());
            break;
        }
        if (vecHits.size() < c_nSearchAnswersMax) vecHits.emplace_back(nRank, hit);
        else ++nIgnored;
    }
    // Card list order, then by MAC, address and identifier: the same cameras give the same
    // entries in the same order, however their answers arrived.
    std::stable_sort(vecHits.begin(), vecHits.end(), [](const std::pair<size_t, SHit>& a, const std::pair<size_t, SHit>& b) {
        if (a.first != b.first) return a.first < b.first;
        if (a.second.nIfIndex != b.second.nIfIndex) return a.second.nIfIndex < b.second.nIfIndex;
        const int nMac = memcmp(a.second.info.abyMac, b.second.info.abyMac, 6);
        if (nMac != 0) return nMac < 0;
        const int nIp = memcmp(a.second.info.abyIp, b.second.info.abyIp, 4);
        if (nIp != 0) return nIp < 0;
        return memcmp(&a.second.info, &b.second.info, sizeof(SSearchInfo)) < 0;
    });
    if (vecHits.size() > c_nOrEyeSearchMaxEntries) {
        OrLog::Print(LogLevel_Warning, "Search: %llu answers, only the first %u listed", static_cast<unsigned long long>(vecHits.size()),
                     static_cast<unsigned>(c_nOrEyeSearchMaxEntries));
        vecHits.resize(c_nOrEyeSearchMaxEntries);
    }
    const int32_t nCount = static_cast<int32_t>(vecHits.size());
    memcpy(pResult484, &nCount, 4);
    std::vector<SHit> vecKept;
    for (size_t i = 0; i < vecHits.size(); ++i) {
        uint8_t* e = pResult484 + 4 + c_nOrEyeSearchEntryBytes * i;
        const SSearchInfo& s = vecHits[i].second.info;
        PutEntryAddress(e, FromFirstOctetFirst(s.abyIp));
        PutEntryAddress(e + 4, FromFirstOctetFirst(s.abyDestIp));
        memcpy(e + 8, s.abyMac, 6);
        memcpy(e + 14, s.abyDestMac, 6);
        memcpy(e + 20, s.abyInfo1, 8);
        memcpy(e + 28, s.abyInfo2, 8);
        memcpy(e + 36, s.abyDeviceId, 8);
        const int32_t nIf = vecHits[i].second.nIfIndex;
        memcpy(e + 44, &nIf, 4);
        vecKept.push_back(vecHits[i].second);
    }
    if (nIgnored > 0 || nConflicts > 0)
        OrLog::Print(LogLevel_Info, "Search: %d camera(s); %llu answer(s) ignored, %llu conflicting", nCount,
                     static_cast<unsigned long long>(nIgnored), static_cast<unsigned long long>(nConflicts));
    else
        OrLog::Print(LogLevel_Debug, "Search: %d camera(s)", nCount);
    {
        std::lock_guard<std::mutex> lockStream(m_mtxStream);
        m_sStats.nSearchIgnored += nIgnored;
        m_sStats.nSearchConflicts += nConflicts;
    }
    std::lock_guard<std::mutex> lock(m_mtxControl);
    m_vecHits = vecKept;
    return c_nOrEyeOK;
}

int COrEthLink::InitDevice(const char* pszConnect) {
    uint32_t nIp = 0, nMask = 0;
    uint8_t abyId[8];
    memset(abyId, 0xFF, 8);
    int nIfIndex = 0;
    bool bFound = false;
    if (pszConnect != nullptr && *pszConnect != '\0' && OrNet::ParseIPv4(pszConnect, &nIp)) {
        bFound = true;
        // An address on no card's subnet (a new camera; the connect text of a camera without
        // identifier): the card it answers through, from a search, unless a card was chosen.
        bool bLocalCard;
        {
            std::lock_guard<std::mutex> lock(m_mtxControl);
            bLocalCard = m_bLocalCard;
        }
        const std::vector<OrNet::SCard> vecCards = bLocalCard ? std::vector<OrNet::SCard>() : OrNet::ListCards();
        if (!bLocalCard && std::none_of(vecCards.begin(), vecCards.end(),
                                        [&](const OrNet::SCard& c) { return SameNet(c.nAddress, nIp, c.nNetmask); })) {
            std::vector<uint8_t> result(c_nOrEyeSearchBytes);
            const uint8_t abyAll[4] = {0xFF, 0xFF, 0xFF, 0xFF};
            Search(abyAll, result.data());
            std::lock_guard<std::mutex> lock(m_mtxControl);
            for (const SHit& h : m_vecHits)
                if (FromFirstOctetFirst(h.info.abyIp) == nIp) {
                    nIfIndex = h.nIfIndex;
                    break;
                }
        }
    } else {
        bool bSelected, bLocalCard;
        int nLocalIndex;
        uint8_t abySel[8];
        std::vector<SHit> vecHits;
        {
            std::lock_guard<std::mutex> lock(m_mtxControl);
            bSelected = m_bSelected;
            bLocalCard = m_bLocalCard;
            nLocalIndex = m_sLocalCard.nIndex;
            memcpy(abySel, m_abySelected, 8);
            vecHits = m_vecHits;
        }
        // The entries that may be meant: the selected identifier (or any), through the chosen
        // card when one was. They name one camera only when they all tell the same camera (one
        // camera seen through several cards: the first card of the list); otherwise the object
        // does not guess.
        int nCameras = 0;
        auto pick = [&](const std::vector<SHit>& v) {
            const SHit* pFirst = nullptr;
            nCameras = 0;
            for (const SHit& h : v) {
                if (bSelected && memcmp(h.info.abyDeviceId, abySel, 8) != 0) continue;
                if (bLocalCard && h.nIfIndex != nLocalIndex) continue;
                if (pFirst == nullptr) {
                    pFirst = &h;
                    nCameras = 1;
                } else if (nCameras == 1 && (h.nIfIndex == pFirst->nIfIndex ||  // two different answers
                                             memcmp(h.info.abyMac, pFirst->info.abyMac, 6) != 0 ||
                                             memcmp(h.info.abyIp, pFirst->info.abyIp, 4) != 0 ||
                                             memcmp(h.info.abyDeviceId, pFirst->info.abyDeviceId, 8) != 0)) {
                    nCameras = 2;
                }
            }
            if (nCameras != 1) return false;
            nIp = FromFirstOctetFirst(pFirst->info.abyIp);
            nMask = FromFirstOctetFirst(pFirst->info.abyNetmask);
            memcpy(abyId, pFirst->info.abyDeviceId, 8);
            nIfIndex = pFirst->nIfIndex;
            return true;
        };
        bFound = pick(vecHits);
        if (!bFound && nCameras == 0) {
            std::vector<uint8_t> result(c_nOrEyeSearchBytes);
            const uint8_t abyAll[4] = {0xFF, 0xFF, 0xFF, 0xFF};
            Search(abyAll, result.data());
            std::lock_guard<std::mutex> lock(m_mtxControl);
            vecHits = m_vecHits;
            bFound = pick(vecHits);
        }
        if (!bFound && nCameras > 1) {
            OrLog::Print(LogLevel_Warning, "InitDevice: several cameras answer%s; none is chosen (connect text or "
                         "SelectDevice names one)", bSelected ? " for the selected identifier" : "");
            return c_nOrEyeNoDevice;
        }
    }
    if (!bFound) {
        OrLog::Print(LogLevel_Warning, "InitDevice: no camera found for \"%s\"", pszConnect ? pszConnect : "");
        return c_nOrEyeNoDevice;
    }
    if (!m_sockControl.IsOpen() && !m_sockControl.Open(0, 0)) return c_nOrEyeIoError;
    {
        std::lock_guard<std::mutex> lock(m_mtxStream);
        if (!m_sockStream.IsOpen()) {
            if (!m_sockStream.Open(0, 0)) return c_nOrEyeIoError;
        }
    }
    {
        std::lock_guard<std::mutex> lock(m_mtxControl);
        OrNet::SCard card;
        bool bCard = false;
        if (m_bLocalCard) {
            card = m_sLocalCard;
            bCard = true;
        } else if (nIfIndex != 0) {
            bCard = OrNet::FindCardByIndex(nIfIndex, &card);
        } else {
            for (const OrNet::SCard& c : OrNet::ListCards())
                if (SameNet(c.nAddress, nIp, c.nNetmask)) {
                    card = c;
                    bCard = true;
                    break;
                }
        }
        m_sCard = bCard ? card : OrNet::SCard();
        if (!bCard) m_sCard.nIndex = 0;
        m_nCameraIp = nIp;
        m_nCameraMask = nMask;
        memcpy(m_abyCameraId, abyId, 8);
        // A camera outside the card's subnet is spoken to by broadcast through the card.
        m_bBroadcastControl = bCard && !SameNet(card.nAddress, nIp, card.nNetmask) && !IsAnyDevice(abyId);
    }
    // Large receive buffer: a few frames at least; say so when the system grants less.
    {
        std::lock_guard<std::mutex> lock(m_mtxStream);
        const int nAsk = std::max(64 * 1024 * 1024, static_cast<int>(std::min<uint64_t>(4ull * m_nPoolBytes, 1u << 30)));
        const int nGot = m_sockStream.SetReceiveBuffer(nAsk);
        if (nGot < nAsk)
            OrLog::Print(LogLevel_Warning, "stream receive buffer %d bytes, asked %d (raise net.core.rmem_max)", nGot, nAsk);
    }
    SReply rep;
    m_anConnectArgs[0] = static_cast<int32_t>(m_sockStream.LocalPort());
    m_anConnectArgs[1] = static_cast<int32_t>(m_sCard.nIndex ? m_sCard.nMtu : 1500);
    m_bSessionLost = false;
    const int nRet = Call(Op_Connect, {m_anConnectArgs[0], m_anConnectArgs[1]}, nullptr, 0, &rep);
    m_nHostMtu = static_cast<uint32_t>(m_anConnectArgs[1]);
    m_nCameraMtu = nRet == c_nOrEyeOK && rep.anValue[0] > 0 ? static_cast<uint32_t>(rep.anValue[0]) : 0u;
    if (nRet == c_nOrEyeAccessDenied) {
        OrLog::Print(LogLevel_Warning, "InitDevice: camera %s is controlled by %s:%u (another program or host)",
                     OrNet::FormatIPv4(nIp).c_str(), OrNet::FormatIPv4(static_cast<uint32_t>(rep.anValue[0])).c_str(),
                     static_cast<unsigned>(rep.anValue[1]) & 0xFFFFu);
        return nRet;
    }
    if (nRet != c_nOrEyeOK) {
        OrLog::Print(LogLevel_Warning, "InitDevice: camera %s answers %d", OrNet::FormatIPv4(nIp).c_str(), nRet);
        return nRet;
    }
    SConnectInfo ci;
    if (rep.nSession == 0 || !DecodeConnectInfo(rep.vecData.data(), rep.vecData.size(), &ci)) {
        OrLog::Print(LogLevel_Warning, "InitDevice: camera %s gave no session", OrNet::FormatIPv4(nIp).c_str());
        return c_nOrEyeIoError;
    }
    {
        std::lock_guard<std::mutex> lock(m_mtxControl);
        m_nSession = rep.nSession;
        m_sConnectInfo = ci;
    }
    {
        std::lock_guard<std::mutex> lock(m_mtxStream);
        m_nStreamSource = nIp;
        m_nStreamSourcePort = ci.nStreamPort;
        m_nStreamKey = ci.nStreamKey;
        m_nStreamSession = rep.nSession;
        m_nStride = StreamStride(m_nCameraMtu.load(), m_nHostMtu.load());
        memcpy(m_abyStreamId, m_abyCameraId, 8);
        m_nStreamIfIndex = m_sCard.nIndex;
        m_bAnyDone = false;  // a new session: frame ids are anchored by its first frame
        m_tLastInWindow = 0;
    }
    SendStreamConfirm();
    m_bConnected = true;
    m_bOffline = false;
    m_bEvent7Sent = false;
    StartThreads();
    OrLog::Print(LogLevel_Info, "InitDevice: connected to %s through %s", OrNet::FormatIPv4(nIp).c_str(),
                 m_sCard.strName.empty() ? "the route" : m_sCard.strName.c_str());
    return c_nOrEyeOK;
}

// ---- control exchange -----------------------------------------------------------------------

bool COrEthLink::SendControl(const std::vector<uint8_t>& msg) {
    if (m_bBroadcastControl)
        return m_sockControl.SendTo(msg.data(), msg.size(), c_nBroadcast, c_nControlPort, m_sCard.nIndex, m_sCard.nAddress);
    return m_sockControl.SendTo(msg.data(), msg.size(), m_nCameraIp, c_nControlPort, m_sCard.nIndex);
}

SHeader COrEthLink::NextHeader(SExpect* pExpect, uint16_t nOp) {
    SHeader h;
    h.nRequestId = m_nNextRequest++;
    // A random value per request that the reply must echo: where replies go by broadcast (a
    // camera on another subnet) the id alone would be seen and predicted by anyone.
    h.nNonce = static_cast<uint32_t>(OrNet::RandomNonZero64());
    h.nSession = m_nSession;
    memcpy(h.abyDeviceId, m_abyCameraId, 8);
    pExpect->nRequestId = h.nRequestId;
    pExpect->nNonce = h.nNonce;
    pExpect->nOp = nOp;
    return h;
}

void COrEthLink::SendStreamConfirm() {
    std::lock_guard<std::mutex> lock(m_mtxControl);
    if (m_nSession == 0) return;
    SHeader h;
    h.nSession = m_nSession;
    memcpy(h.abyDeviceId, m_abyCameraId, 8);
    std::vector<uint8_t> msg;
    EncodeStreamConfirm(msg, h, m_sConnectInfo.nCookie);
    // From the stream socket: the camera streams only to an address and port that said so.
    if (m_bBroadcastControl)
        m_sockStream.SendTo(msg.data(), msg.size(), c_nBroadcast, c_nControlPort, m_sCard.nIndex, m_sCard.nAddress);
    else
        m_sockStream.SendTo(msg.data(), msg.size(), m_nCameraIp, c_nControlPort, m_sCard.nIndex);
}

int COrEthLink::Call(uint16_t nOp, std::initializer_list<int32_t> args, const void* pData, uint32_t nData,
                     SReply* pReply, uint32_t nOffset, uint32_t nTotal) {
    if (!m_sockControl.IsOpen()) return c_nOrEyeNotInitialised;
    // The camera dropped this session: nothing is sent until InitDevice takes control again.
    if (nOp != Op_Connect && m_bSessionLost.load()) return c_nOrEyeOffline;
    if (nData > c_nMaxControlData) return c_nOrEyeBadArgument;
    SControlRequest r;
    r.nOp = nOp;
    int i = 0;
    for (int32_t a : args)
        if (i < 6) r.anArg[i++] = a;
    r.pData = static_cast<const uint8_t*>(pData);
    r.nData = nData;
    r.nOffset = nOffset;
    r.nTotal = nTotal ? nTotal : nOffset + nData;
    std::vector<uint8_t> msg;
    int nRet;
    {
        std::lock_guard<std::mutex> lock(m_mtxControl);
        SExpect e;
        EncodeControlRequest(msg, NextHeader(&e, nOp), r);
        nRet = Exchange(msg, e, pReply);
        if (nRet == c_nOrEyeNotInitialised && nOp != Op_Connect && m_bConnected.load()) {
            // The camera forgot this host (it restarted, or the host was silent too long). Taking
            // control again behind the application's back would leave it with a camera whose
            // stream, image mode and destination are no longer what it set: it is told instead,
            // and opens the camera again.
            if (!m_bSessionLost.exchange(true))
                OrLog::Print(LogLevel_Warning, "camera %s dropped this host's session: offline until opened again",
                             OrNet::FormatIPv4(m_nCameraIp).c_str());
            SetOffline(nullptr);
            nRet = c_nOrEyeOffline;
        }
    }
    // Event 7 goes out without the control lock: the application may call in from it.
    if (m_bEvent7Pending.exchange(false)) RaiseEvent(c_nOrEyeEventError7, c_nOrEyeOffline, nullptr, 0, 0);
    return nRet;
}

// Under m_mtxControl. Only the camera, from its address and control port, answering this very
// request (id, random value, operation) and, inside a session, knowing its key.
COrEthLink::EReplyVerdict COrEthLink::AcceptReply(const uint8_t* p, size_t n, const OrNet::SDatagramInfo& info,
                                                  const SExpect& e, SHeader* pHeader, SControlReply* pReply) const {
    if (DecodeControlReply(p, n, pHeader, pReply) != Ok) return Reply_Malformed;
    if (info.nFrom != m_nCameraIp || info.nFromPort != c_nControlPort) return Reply_Refused;
    if (pHeader->nRequestId != e.nRequestId) return Reply_Stale;
    if (pHeader->nNonce != e.nNonce || pReply->nOp != e.nOp) return Reply_Refused;
    if (!IsAnyDevice(m_abyCameraId) && memcmp(pHeader->abyDeviceId, m_abyCameraId, 8) != 0) return Reply_Refused;
    // A success inside a session carries its key; a refusal need not (the camera may not know it).
    if (e.nOp != Op_Connect && m_nSession != 0 && pHeader->nStatus == 0 && pHeader->nSession != m_nSession)
        return Reply_Refused;
    return Reply_Accept;
}

// Under m_mtxControl: send, wait for the answer to this request, send again on silence.
int COrEthLink::Exchange(const std::vector<uint8_t>& msg, const SExpect& e, SReply* pReply) {
    std::vector<uint8_t> buf(c_nMaxDatagram + 1);
    for (int nSend = 0; nSend < c_nSends && !m_bQuit.load(); ++nSend) {
        if (!SendControl(msg)) return c_nOrEyeIoError;
        const int64_t tEnd = OrNet::NowMs() + c_nReplyTimeoutMs;
        for (;;) {
            const int64_t tLeft = tEnd - OrNet::NowMs();
            if (tLeft <= 0) break;
            OrNet::SDatagramInfo info;
            const int n = m_sockControl.Receive(buf.data(), buf.size(), static_cast<int>(tLeft), &info);
            if (n <= 0) continue;
            SHeader h;
            SControlReply rep;
            const EReplyVerdict v = AcceptReply(buf.data(), static_cast<size_t>(n), info, e, &h, &rep);
            if (v != Reply_Accept) {
                std::lock_guard<std::mutex> lock(m_mtxStream);
                if (v == Reply_Malformed) ++m_sStats.nIgnored;
                else if (v == Reply_Stale) ++m_sStats.nStaleReplies;
                else ++m_sStats.nRefusedReplies;
                continue;
            }
            // Reached by address: the camera's answer tells its identifier.
            if (IsAnyDevice(m_abyCameraId)) memcpy(m_abyCameraId, h.abyDeviceId, 8);
            if (pReply) {
                pReply->nSession = h.nSession;
                pReply->anValue[0] = rep.anValue[0];
                pReply->anValue[1] = rep.anValue[1];
                pReply->vecData.assign(rep.pData, rep.pData + rep.nData);
            }
            if (m_bOffline.exchange(false))
                OrLog::Print(LogLevel_Info, "camera %s answers again", OrNet::FormatIPv4(m_nCameraIp).c_str());
            return h.nStatus;
        }
    }
    if (!m_bQuit.load()) SetOffline("does not answer");
    return c_nOrEyeOffline;
}

// The stream stops and the application hears of it once (event 7); pszWhy, when given, is
// logged the first time.
void COrEthLink::SetOffline(const char* pszWhy) {
    if (m_bOffline.exchange(true) && pszWhy != nullptr) return;
    if (pszWhy != nullptr)
        OrLog::Print(LogLevel_Warning, "camera %s %s: offline", OrNet::FormatIPv4(m_nCameraIp).c_str(), pszWhy);
    {
        std::lock_guard<std::mutex> lock(m_mtxStream);
        m_bStreamOn = false;
        for (auto& f : m_mapFrames) DropFrame(f.second);
        m_mapFrames.clear();
        m_setPending.clear();
    }
    m_cvFrame.notify_all();
    if (!m_bEvent7Sent.exchange(true)) m_bEvent7Pending = true;
}

void COrEthLink::HeartbeatThread() {
    std::unique_lock<std::mutex> lock(m_mtxQuit);
    while (!m_bQuit) {
        m_cvQuit.wait_for(lock, std::chrono::milliseconds(c_nHeartbeatMs), [&] { return m_bQuit.load(); });
        if (m_bQuit) break;
        // Also while offline: the first answer tells that the camera is back. Not once the
        // camera dropped the session: only InitDevice takes it again.
        if (!m_bConnected || m_bSessionLost) continue;
        lock.unlock();
        // The stream's destination says again that it wants the stream (a camera that lost the
        // confirmation, or whose destination changed, finds it within a heartbeat).
        if (Call(Op_Heartbeat, {}) == c_nOrEyeOK) SendStreamConfirm();
        lock.lock();
    }
}

// ---- operations with parts ------------------------------------------------------------------

int COrEthLink::GetParam(int nId, void* pData, int nLength) {
    if (pData == nullptr || nLength <= 0) return c_nOrEyeBadArgument;
    uint8_t* p = static_cast<uint8_t*>(pData);
    for (uint32_t nOff = 0; nOff < static_cast<uint32_t>(nLength);) {
        const uint32_t nPart = std::min(c_nControlChunk, static_cast<uint32_t>(nLength) - nOff);
        SReply rep;
        const int nRet = Call(Op_GetParam, {nId, nLength, static_cast<int32_t>(nPart)}, nullptr, 0, &rep, nOff,
                              static_cast<uint32_t>(nLength));
        if (nRet != c_nOrEyeOK) return nRet;
        if (rep.vecData.size() != nPart) return c_nOrEyeIoError;
        memcpy(p + nOff, rep.vecData.data(), nPart);
        nOff += nPart;
    }
    return c_nOrEyeOK;
}

int COrEthLink::SetParam(int nId, const void* pData, int nLength) {
    if (pData == nullptr || nLength <= 0) return c_nOrEyeBadArgument;
    const uint8_t* p = static_cast<const uint8_t*>(pData);
    int nRet = c_nOrEyeOK;
    for (uint32_t nOff = 0; nOff < static_cast<uint32_t>(nLength);) {
        const uint32_t nPart = std::min(c_nControlChunk, static_cast<uint32_t>(nLength) - nOff);
        nRet = Call(Op_SetParam, {nId}, p + nOff, nPart, nullptr, nOff, static_cast<uint32_t>(nLength));
        if (nRet != c_nOrEyeOK) return nRet;
        nOff += nPart;
    }
    if (nId == 34 && nLength >= 2) m_nFrameRate = static_cast<unsigned int>(p[0] | p[1] << 8);
    if (nId == 4 && nLength == 4) {
        // The camera moved: speak to it at its new address from now on.
        std::lock_guard<std::mutex> lock(m_mtxControl);
        m_nCameraIp = FromLastOctetFirst(p);
        {
            std::lock_guard<std::mutex> lockStream(m_mtxStream);
            m_nStreamSource = m_nCameraIp;
        }
        if (m_sCard.nIndex != 0)
            m_bBroadcastControl = !SameNet(m_sCard.nAddress, m_nCameraIp, m_sCard.nNetmask) && !IsAnyDevice(m_abyCameraId);
    }
    return nRet;
}

int COrEthLink::ReadStorage(unsigned int nAddress, void* pData, unsigned int nLength) {
    if (pData == nullptr) return c_nOrEyeBadArgument;
    uint8_t* p = static_cast<uint8_t*>(pData);
    for (uint32_t nOff = 0; nOff < nLength || nLength == 0;) {
        const uint32_t nPart = std::min(c_nControlChunk, nLength - nOff);
        SReply rep;
        const int nRet = Call(Op_ReadStorage, {static_cast<int32_t>(nAddress + nOff), static_cast<int32_t>(nPart)},
                              nullptr, 0, &rep);
        if (nRet != c_nOrEyeOK) return nRet;
        if (rep.vecData.size() != nPart) return c_nOrEyeIoError;
        if (nPart) memcpy(p + nOff, rep.vecData.data(), nPart);
        nOff += nPart;
        if (nLength == 0) break;
    }
    return c_nOrEyeOK;
}

int COrEthLink::WriteStorage(unsigned int nAddress, const void* pData, unsigned int nLength) {
    if (pData == nullptr) return c_nOrEyeBadArgument;
    const uint8_t* p = static_cast<const uint8_t*>(pData);
    for (uint32_t nOff = 0; nOff < nLength || nLength == 0;) {
        const uint32_t nPart = std::min(c_nControlChunk, nLength - nOff);
        const int nRet = Call(Op_WriteStorage, {static_cast<int32_t>(nAddress + nOff)}, p + nOff, nPart);
        if (nRet != c_nOrEyeOK) return nRet;
        nOff += nPart;
        if (nLength == 0) break;
    }
    return c_nOrEyeOK;
}

// ---- the camera object ----------------------------------------------------------------------

#define OR_ETH_NEED_CONNECTION() \
    do {                         \
        if (!m_pLink->IsConnected()) return c_nOrEyeNotInitialised; \
    } while (0)

COrEthCamera::COrEthCamera() : m_pLink(std::make_shared<COrEthLink>()) {}

COrEthCamera::~COrEthCamera() { m_pLink->Shutdown(); }

int COrEthCamera::GetVersionText(char* pszText, int nLength) {
    if (pszText == nullptr || nLength <= 0) return c_nOrEyeBadArgument;
    if (!m_pLink->IsConnected()) {
        snprintf(pszText, static_cast<size_t>(nLength), "OrEyeApi Ethernet 1.0");
        return c_nOrEyeOK;
    }
    COrEthLink::SReply rep;
    const int nRet = m_pLink->Call(Op_GetVersionText, {nLength}, nullptr, 0, &rep);
    if (nRet != c_nOrEyeOK) return nRet;
    const size_t n = std::min(rep.vecData.size(), static_cast<size_t>(nLength));
    memcpy(pszText, rep.vecData.data(), n);
    pszText[nLength - 1] = '\0';
    return c_nOrEyeOK;
}

int COrEthCamera::InitDevice(int, int, int, int, const char* pszConnect) { return m_pLink->InitDevice(pszConnect); }

int COrEthCamera::SetFrameCallback(int nEnable, OrEyeFrameCallback pfn, void* pContext) {
    OR_ETH_NEED_CONNECTION();
    return m_pLink->SetFrameCallback(nEnable, pfn, pContext);
}
int COrEthCamera::EnableStream(int nOn) {
    OR_ETH_NEED_CONNECTION();
    return m_pLink->EnableStream(nOn);
}
int COrEthCamera::WaitStreamFrame(unsigned char* apDest[3], unsigned int* pnLength, unsigned int* pnFrameId,
                                  unsigned int nTimeoutMs) {
    OR_ETH_NEED_CONNECTION();
    return m_pLink->WaitStreamFrame(apDest, pnLength, pnFrameId, nTimeoutMs);
}
int COrEthCamera::GrabFrame(unsigned char* apDest[3], unsigned int* pnLength, unsigned int* pnFrameId,
                            unsigned int nTimeoutMs) {
    OR_ETH_NEED_CONNECTION();
    return m_pLink->GrabFrame(apDest, pnLength, pnFrameId, nTimeoutMs);
}
int COrEthCamera::SetParam(int nId, const void* pData, int nLength) {
    OR_ETH_NEED_CONNECTION();
    return m_pLink->SetParam(nId, pData, nLength);
}
int COrEthCamera::GetParam(int nId, void* pData, int nLength) {
    OR_ETH_NEED_CONNECTION();
    return m_pLink->GetParam(nId, pData, nLength);
}
int COrEthCamera::WriteRegister(int nTarget, unsigned int nAddress, const void* pData, int nLength) {
    OR_ETH_NEED_CONNECTION();
    if (pData == nullptr || nLength <= 0) return c_nOrEyeBadArgument;
    return m_pLink->Call(Op_WriteRegister, {nTarget, static_cast<int32_t>(nAddress)}, pData, static_cast<uint32_t>(nLength));
}
int COrEthCamera::GetQMatrix(double* pdQ16) {
    OR_ETH_NEED_CONNECTION();
    if (pdQ16 == nullptr) return c_nOrEyeBadArgument;
    COrEthLink::SReply rep;
    const int nRet = m_pLink->Call(Op_GetQMatrix, {}, nullptr, 0, &rep);
    if (nRet != c_nOrEyeOK) return nRet;
    if (rep.vecData.size() != 16 * sizeof(double)) return c_nOrEyeIoError;
    memcpy(pdQ16, rep.vecData.data(), rep.vecData.size());
    return c_nOrEyeOK;
}
int COrEthCamera::WriteProduct(int nItem, const void* pData, int nLength) {
    OR_ETH_NEED_CONNECTION();
    if (pData == nullptr || nLength <= 0 || static_cast<uint32_t>(nLength) > c_nControlChunk) return c_nOrEyeBadArgument;
    return m_pLink->Call(Op_WriteProduct, {nItem}, pData, static_cast<uint32_t>(nLength));
}
int COrEthCamera::ReadProduct(int nItem, void* pData, int nLength) {
    OR_ETH_NEED_CONNECTION();
    if (pData == nullptr || nLength <= 0 || static_cast<uint32_t>(nLength) > c_nControlChunk) return c_nOrEyeBadArgument;
    COrEthLink::SReply rep;
    const int nRet = m_pLink->Call(Op_ReadProduct, {nItem, nLength}, nullptr, 0, &rep);
    if (nRet != c_nOrEyeOK) return nRet;
    if (rep.vecData.size() != static_cast<size_t>(nLength)) return c_nOrEyeIoError;
    memcpy(pData, rep.vecData.data(), rep.vecData.size());
    return c_nOrEyeOK;
}
int COrEthCamera::SetROI(int nLeftX, int nLeftY, int nRightX, int nRightY, int nWidth, int nHeight) {
    OR_ETH_NEED_CONNECTION();
    return m_pLink->Call(Op_SetROI, {nLeftX, nLeftY, nRightX, nRightY, nWidth, nHeight});
}
int COrEthCamera::SyncROI(int nLeftX, int nLeftY, int nRightX, int nRightY, int nWidth, int nHeight) {
    OR_ETH_NEED_CONNECTION();
    return m_pLink->Call(Op_SyncROI, {nLeftX, nLeftY, nRightX, nRightY, nWidth, nHeight});
}
int COrEthCamera::SetROIMode(int nOn) {
    OR_ETH_NEED_CONNECTION();
    return m_pLink->Call(Op_SetROIMode, {nOn});
}
int COrEthCamera::EnableDevice(int nOn) {
    OR_ETH_NEED_CONNECTION();
    return m_pLink->Call(Op_EnableDevice, {nOn});
}
int COrEthCamera::SetTriggerN(unsigned int nA, unsigned int nB) {
    OR_ETH_NEED_CONNECTION();
    return m_pLink->Call(Op_SetTriggerN, {static_cast<int32_t>(nA), static_cast<int32_t>(nB)});
}
int COrEthCamera::SetImageTransfer(int nOn, unsigned int nBufferCount, unsigned int nFrameBytes) {
    OR_ETH_NEED_CONNECTION();
    return m_pLink->SetImageTransfer(nOn, nBufferCount, nFrameBytes);
}
int COrEthCamera::WriteStorage(unsigned int nAddress, const void* pData, unsigned int nLength) {
    OR_ETH_NEED_CONNECTION();
    return m_pLink->WriteStorage(nAddress, pData, nLength);
}
int COrEthCamera::ReadStorage(unsigned int nAddress, void* pData, unsigned int nLength) {
    OR_ETH_NEED_CONNECTION();
    return m_pLink->ReadStorage(nAddress, pData, nLength);
}
int COrEthCamera::Search(const unsigned char* pbyIP4, const unsigned char*, unsigned char* pResult484) {
    return m_pLink->Search(pbyIP4, pResult484);
}
int COrEthCamera::SelectDevice(const unsigned char* pbyID8) { return m_pLink->SelectDevice(pbyID8); }
int COrEthCamera::ReleaseFrameBuffer(unsigned int nBufferId) {
    // No connection needed: a buffer must always be able to go home.
    return m_pLink->ReleaseFrameBuffer(nBufferId);
}
int COrEthCamera::ExecuteCustomCommand(const unsigned short* pRecord5, void* pReply) {
    OR_ETH_NEED_CONNECTION();
    if (pRecord5 == nullptr || pReply == nullptr) return c_nOrEyeBadArgument;
    COrEthLink::SReply rep;
    const int nRet = m_pLink->Call(Op_ExecuteCustomCommand, {}, pRecord5, 10, &rep);
    if (nRet == c_nOrEyeOK) {
        const uint32_t n = static_cast<uint32_t>(rep.anValue[0]);
        memcpy(pReply, &n, 4);
    }
    return nRet;
}
int COrEthCamera::SetLocalIP(const char* pszIP, int nLength) { return m_pLink->SetLocalIP(pszIP, nLength); }
int COrEthCamera::SetOptionEx(int nFlag, int nValue, int nValue2) {
    OR_ETH_NEED_CONNECTION();
    return m_pLink->Call(Op_SetOptionEx, {nFlag, nValue, nValue2});
}
int COrEthCamera::SetOption(int nFlag, int nValue) {
    OR_ETH_NEED_CONNECTION();
    return m_pLink->Call(Op_SetOption, {nFlag, nValue});
}
int COrEthCamera::ExtendedCommand(int nA, void*, int nC, void*, int nE) {
    OR_ETH_NEED_CONNECTION();
    return m_pLink->Call(Op_ExtendedCommand, {nA, nC, nE});
}
int COrEthCamera::SetFeature(int nFlag, int nA, int nB) {
    OR_ETH_NEED_CONNECTION();
    return m_pLink->Call(Op_SetFeature, {nFlag, nA, nB});
}
