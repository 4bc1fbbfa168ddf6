// Ethernet camera object, stream side: the receiving thread, reassembly by offset into the
// buffers of the bounded pool, resend requests, in-order delivery, the frame callback.
#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <thread>

#include "orethcamera.h"
#include "orlog.h"

using namespace OrWire;
using Orvik::utilSystem::LogLevel_Debug;
using Orvik::utilSystem::LogLevel_Info;
using Orvik::utilSystem::LogLevel_Warning;

namespace {
// Set while this thread runs the application's frame callback.
thread_local int t_nInCallback = 0;

// The stream's clock: resend turnarounds on a LAN are well under a millisecond.
int64_t NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct SDelivery {
    unsigned int nBufferId;
    uint8_t* p;
    uint32_t nBytes;
};
}  // namespace

bool COrEthLink::RaiseEvent(int nEvent, int nParam, void* pBuffer, unsigned int nLength, unsigned int nBufferId) {
    OrEyeFrameCallback pfn;
    void* pContext;
    {
        std::lock_guard<std::mutex> lock(m_mtxCallback);
        pfn = m_pfn;
        pContext = m_pContext;
        if (pfn == nullptr) return false;
        ++m_nInFlight;
    }
    ++t_nInCallback;
    pfn(nEvent, nParam, pBuffer, nLength, nBufferId, pContext);
    --t_nInCallback;
    {
        std::lock_guard<std::mutex> lock(m_mtxCallback);
        --m_nInFlight;
    }
    m_cvCallback.notify_all();
    return true;
}

int COrEthLink::SetFrameCallback(int nEnable, OrEyeFrameCallback pfn, void* pContext) {
    std::unique_lock<std::mutex> lock(m_mtxCallback);
    if (nEnable && pfn) {
        m_pfn = pfn;
        m_pContext = pContext;
        return c_nOrEyeOK;
    }
    m_pfn = nullptr;
    m_pContext = nullptr;
    // After this returns the old function no longer runs (unless asked from inside it).
    if (t_nInCallback == 0) m_cvCallback.wait(lock, [&] { return m_nInFlight == 0; });
    return c_nOrEyeOK;
}

int COrEthLink::EnableStream(int nOn) {
    if (nOn) {
        SendStreamConfirm();
        {
            std::lock_guard<std::mutex> lock(m_mtxStream);
            m_bStreamOn = true;
            m_tLastFrame = NowUs();
            m_bStallTold = false;
        }
        const int nRet = Call(Op_EnableStream, {1});
        if (nRet != c_nOrEyeOK) {
            std::lock_guard<std::mutex> lock(m_mtxStream);
            m_bStreamOn = false;
        }
        return nRet;
    }
    const int nRet = Call(Op_EnableStream, {0});
    {
        // Whatever the camera said, this side stops: frames half put together go back.
        std::lock_guard<std::mutex> lock(m_mtxStream);
        m_bStreamOn = false;
        for (auto it = m_mapFrames.begin(); it != m_mapFrames.end();) {
            if (it->second.bGrab) {
                ++it;
                continue;
            }
            DropFrame(it->second);
            m_setPending.erase(it->first);
            it = m_mapFrames.erase(it);
        }
    }
    m_cvFrame.notify_all();
    return nRet;
}

int COrEthLink::SetImageTransfer(int nOn, unsigned int nBufferCount, unsigned int nFrameBytes) {
    if (nBufferCount == 0 || nBufferCount > 4096 || nFrameBytes < c_nOrEyeLaserBytes) return c_nOrEyeBadArgument;
    if (static_cast<uint64_t>(nBufferCount) * nFrameBytes > (1ull << 30)) return c_nOrEyeOutOfRange;
    const int nRet = Call(Op_SetImageTransfer, {nOn, static_cast<int32_t>(nBufferCount), static_cast<int32_t>(nFrameBytes)});
    if (nRet != c_nOrEyeOK) return nRet;
    std::lock_guard<std::mutex> lock(m_mtxStream);
    m_nPoolCount = nBufferCount;
    m_nPoolBytes = nFrameBytes;
    // Buffers in use stay until they come back; free ones go now.
    for (auto it = m_mapBuffers.begin(); it != m_mapBuffers.end();) {
        if (it->second->bOut || it->second->bBusy) {
            it->second->bRetired = true;
            ++it;
        } else {
            it = m_mapBuffers.erase(it);
        }
    }
    m_vecFree.clear();
    m_nLive = 0;
    return c_nOrEyeOK;
}

int COrEthLink::ReleaseFrameBuffer(unsigned int nBufferId) {
    std::lock_guard<std::mutex> lock(m_mtxStream);
    auto it = m_mapBuffers.find(nBufferId);
    if (it == m_mapBuffers.end() || !it->second->bOut) {
        OrLog::Print(LogLevel_Warning, "ReleaseFrameBuffer(%u) of a buffer not handed out", nBufferId);
        return c_nOrEyeBadArgument;
    }
    it->second->bOut = false;
    if (it->second->bRetired) m_mapBuffers.erase(it);
    else if (!it->second->bBusy) m_vecFree.push_back(nBufferId);
    return c_nOrEyeOK;
}

COrEthLink::SStats COrEthLink::Stats() {
    std::lock_guard<std::mutex> lock(m_mtxStream);
    return m_sStats;
}

// Under m_mtxStream: a free buffer of the pool, or a new one while the pool is not full.
bool COrEthLink::TakeBuffer(uint32_t nBytes, unsigned int* pnId, uint8_t** pp) {
    if (nBytes > m_nPoolBytes) return false;
    while (!m_vecFree.empty()) {
        const unsigned int nId = m_vecFree.back();
        m_vecFree.pop_back();
        auto it = m_mapBuffers.find(nId);
        if (it == m_mapBuffers.end() || it->second->bRetired || it->second->bOut || it->second->bBusy) continue;
        it->second->bBusy = true;
        *pnId = nId;
        *pp = it->second->vecData.data();
        return true;
    }
    if (m_nLive >= m_nPoolCount) return false;
    ++m_nLive;
    auto pBuf = std::make_unique<SBuffer>();
    pBuf->vecData.resize(m_nPoolBytes);
    pBuf->bBusy = true;
    *pnId = m_nNextBufferId++;
    if (m_nNextBufferId == 0) m_nNextBufferId = 1;
    *pp = pBuf->vecData.data();
    m_mapBuffers[*pnId] = std::move(pBuf);
    return true;
}

// Under m_mtxStream: grabs being put together go (their buffer is about to change or to be
// unused), so that no frame points into it.
void COrEthLink::DropGrabFrames() {
    for (auto it = m_mapFrames.begin(); it != m_mapFrames.end();) {
        if (!it->second.bGrab) {
            ++it;
            continue;
        }
        m_setPending.erase(it->first);
        it = m_mapFrames.erase(it);
    }
}

// Under m_mtxStream: the frame's buffer goes back to the pool unused.
void COrEthLink::DropFrame(SFrame& f) {
    if (f.nBufferId == 0) return;
    auto it = m_mapBuffers.find(f.nBufferId);
    if (it != m_mapBuffers.end()) {
        it->second->bBusy = false;
        if (it->second->bRetired && !it->second->bOut) m_mapBuffers.erase(it);
        else if (!it->second->bOut) m_vecFree.push_back(f.nBufferId);
    }
    f.nBufferId = 0;
    f.p = nullptr;
}

void COrEthLink::LogThrottled(OrLog::CThrottle& thr, const char* pszFormat, ...) {
    char sz[480];
    va_list ap;
    va_start(ap, pszFormat);
    const bool bWrite = thr.Line(sz, sizeof sz, "times", pszFormat, ap);
    va_end(ap);
    if (bWrite) OrLog::Print(LogLevel_Warning, "%s", sz);
}

// Under m_mtxStream. A packet is taken only from this session's camera (its address, its stream
// port, the card it is reached through), with the session's stream key, in the stride of the
// session's path, for a frame inside the window after the newest frame handed on; single-grab
// packets only while a GrabFrame waits, for that one grab. Nothing is read from a packet before
// it passed, and nothing here is sized by it.
COrEthLink::EPacketVerdict COrEthLink::AcceptPacket(const uint8_t* p, size_t n, const OrNet::SDatagramInfo& info,
                                                    int64_t tNow, SStreamHeader* s, const uint8_t** ppPayload) {
    if (DecodeStreamPacket(p, n, s, ppPayload) != Ok) return Packet_Malformed;
    if (info.nFrom != m_nStreamSource || info.nFromPort != m_nStreamSourcePort ||
        (m_nStreamIfIndex != 0 && info.nIfIndex != m_nStreamIfIndex))
        return Packet_Source;
    if (m_nStreamKey == 0 || s->nKey != m_nStreamKey) return Packet_Key;
    if (s->nStride != m_nStride) return Packet_Shape;
    const bool bGrab = (s->nFlags & c_nStreamFlagGrab) != 0;
    if (bGrab) {
        if (!m_bGrabAwaited || (m_nGrabId != 0 && m_nGrabId != s->nFrameId)) return Packet_Grab;
        if (s->nFrameBytes > m_vecGrab.size()) return Packet_Shape;
    } else if (!m_bStreamOn) {
        return Packet_Malformed;  // the stream is off: nothing of it is wanted
    }
    if (m_bAnyDone) {
        const int32_t nAhead = static_cast<int32_t>(s->nFrameId - m_nLastDone);
        if (nAhead <= 0) return Packet_Old;
        if (static_cast<uint32_t>(nAhead) > c_nFrameWindow) {
            // Far ahead of the stream. Only when nothing inside the window came for a frame's
            // retention time and nothing is waiting (the receiver was not run while the camera
            // went on) does the stream take up again there.
            if (!m_mapFrames.empty() || tNow - m_tLastInWindow < c_nFrameRetentionMs * 1000) return Packet_Window;
            LogThrottled(m_thrWindow, "stream of camera %s goes on at frame %u after frame %u",
                         OrNet::FormatIPv4(m_nStreamSource).c_str(), s->nFrameId, m_nLastDone);
            m_bAnyDone = false;
        }
    }
    m_tLastInWindow = tNow;
    if (bGrab && m_nGrabId == 0) m_nGrabId = s->nFrameId;
    return Packet_Accept;
}

void COrEthLink::OnPacket(const uint8_t* p, size_t n, const OrNet::SDatagramInfo& info, int64_t tNow) {
    SStreamHeader s;
    const uint8_t* pPayload = nullptr;
    switch (AcceptPacket(p, n, info, tNow, &s, &pPayload)) {
    case Packet_Accept: break;
    case Packet_Malformed: ++m_sStats.nIgnored; return;
    case Packet_Source: ++m_sStats.nIgnored; ++m_sStats.nRefusedSource; return;
    case Packet_Key: ++m_sStats.nIgnored; ++m_sStats.nRefusedKey; return;
    case Packet_Shape: ++m_sStats.nIgnored; ++m_sStats.nRefusedShape; return;
    case Packet_Window: ++m_sStats.nIgnored; ++m_sStats.nRefusedWindow; return;
    case Packet_Grab: ++m_sStats.nIgnored; ++m_sStats.nRefusedGrab; return;
    case Packet_Old: ++m_sStats.nDuplicates; return;  // a frame already handed on or given up
    }
    const bool bGrab = (s.nFlags & c_nStreamFlagGrab) != 0;
    auto it = m_mapFrames.find(s.nFrameId);
    if (it == m_mapFrames.end()) {
        SFrame f;
        f.nId = s.nFrameId;
        f.bGrab = bGrab;
        f.nBytes = s.nFrameBytes;
        f.nCount = s.nCount;
        f.nStride = s.nStride;
        f.tFirst = f.tLast = tNow;
        if (bGrab) {
            f.p = m_vecGrab.data();
        } else if (s.nFrameBytes > m_nPoolBytes) {
            f.bIgnore = true;
            if (m_nTooLargeId != s.nFrameId || m_sStats.nTooLarge == 0) ++m_sStats.nTooLarge;
            m_nTooLargeId = s.nFrameId;
            LogThrottled(m_thrTooLarge, "frame %u of %u bytes does not fit a buffer of %u", s.nFrameId, s.nFrameBytes,
                         m_nPoolBytes);
        } else if (!TakeBuffer(s.nFrameBytes, &f.nBufferId, &f.p)) {
            f.bIgnore = true;
            ++m_sStats.nUnderrun;
        }
        if (!f.bIgnore) {
            // At most a configured frame over the session's stride: bounded by the settings.
            f.vecHave.assign(s.nCount, 0);
            m_setPending.insert(s.nFrameId);
        }
        if (static_cast<int32_t>(s.nFrameId - m_nNewestId) > 0 || m_mapFrames.empty()) m_nNewestId = s.nFrameId;
        it = m_mapFrames.emplace(s.nFrameId, std::move(f)).first;
    }
    SFrame& f = it->second;
    if (f.bIgnore) return;
    if (s.nFrameBytes != f.nBytes || bGrab != f.bGrab) {
        ++m_sStats.nIgnored;  // contradicts the frame's first packet
        return;
    }
    if (f.vecHave[s.nIndex]) {
        if (memcmp(f.p + s.nOffset, pPayload, s.nPayload) == 0) {
            ++m_sStats.nDuplicates;
            return;
        }
        // Two packets for one place with other bytes: one of them is not the camera's, and
        // which one cannot be told. The frame is dropped, never handed on with either.
        ++m_sStats.nConflicts;
        LogThrottled(m_thrConflict, "frame %u: packet %u came twice with other bytes: frame dropped", f.nId,
                     s.nIndex);
        DropFrame(f);
        f.bIgnore = true;
        m_setPending.erase(f.nId);
        return;
    }
    memcpy(f.p + s.nOffset, pPayload, s.nPayload);
    f.vecHave[s.nIndex] = 1;
    if (++f.nGot == f.nCount) m_setPending.erase(f.nId);
    f.tLast = tNow;
    ++m_sStats.nPackets;
    if (s.nFlags & c_nStreamFlagResent) {
        ++m_sStats.nResent;
        if (f.nRounds > 0 && !f.bTurnSampled) {
            // The first answer to this round: how long the camera takes to answer, smoothed.
            f.bTurnSampled = true;
            m_nTurnUs += (tNow - f.tResend - m_nTurnUs) / 8;
        }
    }
}

// Time between two rounds for one frame: a few turnarounds, so that a resent packet lost again
// is asked for while the frames behind it still find buffers; between 2 and 20 ms.
int64_t COrEthLink::ResendGapUs() const {
    return std::clamp<int64_t>(3 * m_nTurnUs + 1000, c_nResendGapMinMs * 1000, c_nResendGapMs * 1000);
}

// Under m_mtxStream: asks the camera once for every packet the frame still misses.
void COrEthLink::SendResend(SFrame& f, int64_t tNow) {
    SResendRequest r;
    r.nFrameId = f.nId;
    for (uint32_t i = 0; i < f.nCount && r.nRanges < c_nMaxResendRanges;) {
        if (f.vecHave[i]) {
            ++i;
            continue;
        }
        uint32_t j = i;
        while (j < f.nCount && !f.vecHave[j]) ++j;
        r.asRange[r.nRanges++] = {i, j - i};
        i = j;
    }
    if (r.nRanges == 0) return;
    SHeader h;
    memcpy(h.abyDeviceId, m_abyStreamId, 8);
    h.nSession = m_nStreamSession;
    std::vector<uint8_t> msg;
    EncodeResendRequest(msg, h, r);
    m_sockStream.SendTo(msg.data(), msg.size(), m_nStreamSource, c_nControlPort, m_nStreamIfIndex);
    if (f.nRounds == 0) f.tFirstResend = tNow;
    ++f.nRounds;
    f.tResend = tNow;
    f.bTurnSampled = false;
    ++m_sStats.nResendRequests;
}

void COrEthLink::Maintain(int64_t tNow) {
    for (auto id = m_setPending.begin(); id != m_setPending.end();) {
        auto e = m_mapFrames.find(*id);
        if (e == m_mapFrames.end() || e->second.bIgnore || e->second.nGot == e->second.nCount) {
            id = m_setPending.erase(id);
            continue;
        }
        ++id;
        SFrame& f = e->second;
        const bool bNewerSeen = static_cast<int32_t>(m_nNewestId - f.nId) > 0;
        const bool bDue = tNow - f.tLast >= c_nQuietMs * 1000 || bNewerSeen;
        // A later round only once the socket is drained: the answer to the last one may be
        // waiting in it behind the stream.
        const bool bSpaced = f.nRounds == 0 || (m_bCaughtUp && tNow - f.tResend >= ResendGapUs());
        // A frame missing half of its packets or more is a broken link, not a loss to mend.
        const bool bWorth = (f.nCount - f.nGot) * 2 < f.nCount || f.nCount <= 2;
        if (bDue && bSpaced && bWorth && f.nRounds < c_nResendRounds) SendResend(f, tNow);
    }
}

void COrEthLink::StreamThread() {
    constexpr int c_nBatch = 32;
    std::vector<std::vector<uint8_t>> vecBufs(c_nBatch, std::vector<uint8_t>(65536));
    OrNet::CUdpSocket::SBatchItem aItems[c_nBatch];
    std::vector<SDelivery> vecOut;
    bool bResumed = false;
    uint32_t nSource = 0;  // the camera's address, for lines written outside the lock
    while (!m_bQuit.load()) {
        for (int i = 0; i < c_nBatch; ++i) aItems[i] = {vecBufs[i].data(), vecBufs[i].size(), 0, {}, 0};
        const int n = m_sockStream.ReceiveBatch(aItems, c_nBatch, c_nQuietMs);
        const int64_t tNow = NowUs();
        // A full batch: more is waiting. Time spent while this thread was not running shows as
        // a backlog, and the answers to resend requests are in it.
        m_bCaughtUp = n < c_nBatch;
        // One received buffer at a time, each followed by the deliveries it made ready: a batch
        // can carry many frames, and their buffers must come back from the application before
        // the frames after them need them.
        for (int i = 0; i < n || i == 0; ++i) {
            vecOut.clear();
            {
                std::lock_guard<std::mutex> lock(m_mtxStream);
                if (i < n) {
                    const OrNet::CUdpSocket::SBatchItem& it = aItems[i];
                    if (it.nSegment == 0) {
                        OnPacket(it.p, it.nSize, it.info, tNow);
                    } else {
                        for (size_t nAt = 0; nAt < it.nSize; nAt += it.nSegment)
                            OnPacket(it.p + nAt, std::min(it.nSegment, it.nSize - nAt), it.info, tNow);
                    }
                }
                if (i + 1 >= n) Maintain(tNow);  // once per batch, after its last buffer
                // Frames go on in frame order; the oldest one waits for its resends or is given up.
                while (!m_mapFrames.empty()) {
                    auto it = m_mapFrames.begin();
                    SFrame& f = it->second;
                    const bool bComplete = !f.bIgnore && f.nGot == f.nCount;
                    if (!f.bIgnore && !bComplete) {
                        // After the last round the frame waits the longest gap (a late answer to
                        // an earlier round cannot be told from the answer to the last), and two
                        // of them since its first round: a camera slow to answer, on a loaded
                        // host, has that long whatever the gap measured before. Only with the
                        // socket drained, else the answer may be in the backlog.
                        const bool bRoundsUsed = f.nRounds >= c_nResendRounds && m_bCaughtUp &&
                                                 tNow - f.tResend >= c_nResendGapMs * 1000 &&
                                                 tNow - f.tFirstResend >= 2 * c_nResendGapMs * 1000;
                        const bool bTooOld = tNow - f.tFirst >= c_nFrameRetentionMs * 1000;
                        if (!bRoundsUsed && !bTooOld) break;
                        ++m_sStats.nIncomplete;
                        OrLog::Print(LogLevel_Debug, "frame %u incomplete (%u of %u packets): dropped", f.nId, f.nGot, f.nCount);
                        DropFrame(f);
                    } else if (bComplete && f.bGrab) {
                        m_mapGrabs[f.nId].assign(f.p, f.p + f.nBytes);
                        while (m_mapGrabs.size() > 4) m_mapGrabs.erase(m_mapGrabs.begin());
                        m_cvFrame.notify_all();
                    } else if (bComplete) {
                        ++m_sStats.nComplete;
                        if (m_nWaiters > 0) {
                            m_vecWaitFrame.assign(f.p, f.p + f.nBytes);
                            m_nWaitFrameId = f.nId;
                            ++m_nWaitSeq;
                            m_cvFrame.notify_all();
                        }
                        m_tLastFrame = tNow;
                        if (m_bStallTold) {
                            m_bStallTold = false;
                            bResumed = true;
                            nSource = m_nStreamSource;
                        }
                        auto b = m_mapBuffers.find(f.nBufferId);
                        if (b != m_mapBuffers.end()) {
                            b->second->bBusy = false;
                            b->second->bOut = true;
                            vecOut.push_back({f.nBufferId, f.p, f.nBytes});
                        }
                    }
                    m_bAnyDone = true;
                    m_nLastDone = f.nId;
                    m_setPending.erase(f.nId);
                    m_mapFrames.erase(it);
                }
            }
            if (bResumed) {
                bResumed = false;
                OrLog::Print(LogLevel_Info, "camera %s: stream resumes", OrNet::FormatIPv4(nSource).c_str());
                RaiseEvent(c_nOrEyeEventResume, 0, nullptr, 0, 0);
            }
            for (const SDelivery& d : vecOut) {
                // Event 3: the buffer is the application's until ReleaseFrameBuffer. With no
                // callback it goes straight back.
                // After the object was deleted (from a callback) nothing more is handed on.
                if (m_bQuit.load() || !RaiseEvent(c_nOrEyeEventFrame, 0, d.p, d.nBytes, d.nBufferId))
                    ReleaseFrameBuffer(d.nBufferId);
            }
        }
        // A stream that stopped while the session lives: told once, not on every pass.
        int64_t nStalledMs = 0;
        {
            std::lock_guard<std::mutex> lock(m_mtxStream);
            const unsigned int nRate = m_nFrameRate.load();
            const int64_t nLimitUs = std::max<int64_t>(c_nStallMs * 1000, nRate ? 5000000 / nRate : 0);
            if (m_bStreamOn && !m_bStallTold && !m_bOffline && tNow - m_tLastFrame > nLimitUs) {
                m_bStallTold = true;
                nStalledMs = (tNow - m_tLastFrame) / 1000;
                nSource = m_nStreamSource;
            }
        }
        if (nStalledMs > 0) {
            OrLog::Print(LogLevel_Warning, "camera %s: no frame for %lld ms while the stream is on",
                         OrNet::FormatIPv4(nSource).c_str(), static_cast<long long>(nStalledMs));
            RaiseEvent(c_nOrEyeEventStreamEvent, c_nOrEyeTimeout, nullptr, 0, 0);
        }
        // Caught up: the stream comes a frame or two at a time. Letting a little gather
        // before the next call (as a card moderates its interrupts) costs each frame at most
        // this much delay and saves most of the wake-ups and system calls per frame.
        if (n > 0 && n < c_nBatch && !m_bQuit.load()) std::this_thread::sleep_for(std::chrono::microseconds(c_nGatherUs));
    }
}

int COrEthLink::WaitStreamFrame(unsigned char* apDest[3], unsigned int* pnLength, unsigned int* pnFrameId,
                                unsigned int nTimeoutMs) {
    if (apDest == nullptr || apDest[2] == nullptr) return c_nOrEyeBadArgument;
    std::unique_lock<std::mutex> lock(m_mtxStream);
    if (!m_bStreamOn) return m_bOffline ? c_nOrEyeOffline : c_nOrEyeNotSupported;
    const uint64_t nSeen = m_nWaitSeq;
    ++m_nWaiters;
    m_cvFrame.wait_for(lock, std::chrono::milliseconds(nTimeoutMs),
                       [&] { return m_nWaitSeq != nSeen || !m_bStreamOn || m_bQuit.load(); });
    --m_nWaiters;
    if (m_bOffline) return c_nOrEyeOffline;
    if (m_nWaitSeq == nSeen) return c_nOrEyeTimeout;
    const uint32_t nBytes = static_cast<uint32_t>(m_vecWaitFrame.size());
    if (nBytes < c_nOrEyeLaserBytes) return c_nOrEyeIoError;
    const uint32_t nImage = (nBytes - c_nOrEyeLaserBytes) / 2;
    if (nImage) {
        if (apDest[0]) memcpy(apDest[0], m_vecWaitFrame.data(), nImage);
        if (apDest[1]) memcpy(apDest[1], m_vecWaitFrame.data() + nImage, nImage);
    }
    memcpy(apDest[2], m_vecWaitFrame.data() + 2 * nImage, c_nOrEyeLaserBytes);
    if (pnLength) *pnLength = nBytes;
    if (pnFrameId) *pnFrameId = m_nWaitFrameId;
    return c_nOrEyeOK;
}

int COrEthLink::GrabFrame(unsigned char* apDest[3], unsigned int* pnLength, unsigned int* pnFrameId,
                          unsigned int nTimeoutMs) {
    if (apDest == nullptr || apDest[2] == nullptr) return c_nOrEyeBadArgument;
    {
        // Its packets are taken from now on, into a buffer of the configured frame size.
        std::lock_guard<std::mutex> lock(m_mtxStream);
        DropGrabFrames();
        m_vecGrab.resize(m_nPoolBytes);
        m_bGrabAwaited = true;
        m_nGrabId = 0;
    }
    SReply rep;
    const int nRet = Call(Op_GrabFrame, {static_cast<int32_t>(std::min(nTimeoutMs, 600000u))}, nullptr, 0, &rep);
    const uint32_t nWireId = static_cast<uint32_t>(rep.anValue[0]);
    std::unique_lock<std::mutex> lock(m_mtxStream);
    // The frame left before the answer: it is usually here already, else it is on its way.
    const bool bGot = nRet == c_nOrEyeOK &&
                      m_cvFrame.wait_for(lock, std::chrono::milliseconds(c_nFrameRetentionMs + 2 * c_nReplyTimeoutMs),
                                         [&] { return m_mapGrabs.count(nWireId) != 0 || m_bQuit.load(); });
    m_bGrabAwaited = false;
    m_nGrabId = 0;
    DropGrabFrames();
    if (nRet != c_nOrEyeOK) return nRet;
    if (!bGot || m_mapGrabs.count(nWireId) == 0) return c_nOrEyeTimeout;
    std::vector<uint8_t> vec = std::move(m_mapGrabs[nWireId]);
    m_mapGrabs.erase(nWireId);
    lock.unlock();
    const uint32_t nBytes = static_cast<uint32_t>(vec.size());
    if (nBytes < c_nOrEyeLaserBytes) return c_nOrEyeIoError;
    const uint32_t nImage = (nBytes - c_nOrEyeLaserBytes) / 2;
    if (nImage) {
        if (apDest[0]) memcpy(apDest[0], vec.data(), nImage);
        if (apDest[1]) memcpy(apDest[1], vec.data() + nImage, nImage);
    }
    memcpy(apDest[2], vec.data() + 2 * nImage, c_nOrEyeLaserBytes);
    if (pnLength) *pnLength = nBytes;
    if (pnFrameId) *pnFrameId = static_cast<unsigned int>(rep.anValue[1]);
    return c_nOrEyeOK;
}
