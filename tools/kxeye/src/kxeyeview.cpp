// kxeye view: an HTTP and WebSocket server (libwebsockets) for the page in tools/kxeye/web.
//
// Three threads: the camera library's callback thread keeps counters and, at most 30 times a
// second, decodes the newest frame into one binary message; the worker runs the page's commands
// against the camera, one at a time; the service thread (libwebsockets) serves the files and
// the sockets. Each browser gets the newest message when its socket can take one, never a
// queue of frames: a slow or stalled browser costs one message, and capture never waits for it.
#include "kxeyeview.h"

#include <csignal>
#include <cstdio>
#include <iostream>

#include "kxeyecommands.h"

#ifndef KXEYE_HAVE_VIEW

CLI::App* KxEyeAddViewCommand(CLI::App& app, SKxEyeViewOptions& opts) {
    CLI::App* p = app.add_subcommand("view", "serve a live viewer page (not in this build)");
    p->add_option("camera", opts.strCamera, "camera to open");
    p->allow_extras();
    return p;
}

int KxEyeView(EKxEyeSource, const SKxEyeViewOptions&) {
    std::cerr << "kxeye: view is not in this build (it needs libwebsockets, see docs/viewer.md)\n";
    return c_nKxEyeExitFailure;
}

#else

#include <libwebsockets.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <thread>

#include <time.h>
#ifdef __linux__
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include "kxeyeargs.h"
#include "kxeyecodes.h"
#include "kxeyefile.h"
#include "kxeyeheightmap.h"
#include "kxeyeoutput.h"
#include "kxeyerecord.h"
#include "oreyeapi.h"

namespace {

using Clock = std::chrono::steady_clock;
using json = nlohmann::ordered_json;

// The page updates 30 times a second; frames between are counted, not decoded.
const auto c_tPublishEvery = std::chrono::microseconds(33333);
// A page's messages: size, burst and steady rate; past them the socket is closed.
const size_t c_nMaxMessage = 16 * 1024;
const double c_dMessageBurst = 100;
const double c_dMessagesPerSecond = 50;
// Commands of one page waiting for the worker; more are answered "busy".
const size_t c_nMaxPendingCommands = 16;
// Text answers waiting for a page that does not read; past this it is closed.
const size_t c_nMaxOutbox = 256;
// Send delays kept between two writes of the status file.
const size_t c_nMaxSendDelays = 4096;
// Profiles kept for a snapshot.
const size_t c_nHistory = 600;

std::atomic<bool> g_bStop{false};
extern "C" void OnViewInterrupt(int) { g_bStop = true; }

// The wall clock in ms since 1970: the page compares it with its own (performance.timeOrigin +
// performance.now()) to see how long after its delivery a frame was drawn.
double WallMs() {
    return std::chrono::duration<double, std::milli>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// CPU time of the calling thread, for the cost of the live messages (docs/viewer.md).
uint64_t ThreadCpuNs() {
    timespec ts{};
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts) != 0) return 0;
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

// The system's id of the calling thread (/proc/PID/task/ID), so that a measurement can tell the
// view's threads from the camera library's; 0 where there is none.
int64_t ThreadId() {
#ifdef __linux__
    return static_cast<int64_t>(syscall(SYS_gettid));
#else
    return 0;
#endif
}

std::string RandomToken() {
    std::random_device rd;
    std::string s;
    static const char* c_pszHex = "0123456789abcdef";
    for (int i = 0; i < 32; ++i) s += c_pszHex[rd() & 15];
    return s;
}

// Shared between the service thread and the worker.
struct SClient {
    std::deque<std::string> outbox;
    size_t nPending = 0;
    bool bOverflow = false;
};

// Service thread only.
struct SSocket {
    lws* wsi = nullptr;
    std::string strRx;
    double dTokens = c_dMessageBurst;
    Clock::time_point tLast = Clock::now();
    uint64_t nSentSeq = 0;
};

// Per-connection memory libwebsockets allocates (zeroed, plain data only).
struct SPss {
    uint64_t nId;                   // WebSocket client, 0 for plain HTTP
    const SKxEyeViewAsset* pAsset;  // file being sent
    size_t nSent;
};

struct SHistory {
    uint64_t nFrame = 0;
    double dTravel = 0;
    bool bAlongY = false;
    std::vector<SKxEyePoint> vecPoints;
};

class CView;

class CLiveCallback : public IKxLaserDataCallBack {
public:
    explicit CLiveCallback(CView& view) : m_view(view) {}
    void OnLaserResult(IKxLaserEyeResultBlock* pBlock) override;
    void SetParam(const SKxLaserResultAfterProcParam& param) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_sParam = param;
    }
    void Reset() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_nFrames = 0;
        m_nLost = 0;
        m_bFirst = true;
        m_tNextPublish = {};
    }
    void Counts(uint64_t& nFrames, uint64_t& nLost) {
        std::lock_guard<std::mutex> lock(m_mutex);
        nFrames = m_nFrames;
        nLost = m_nLost;
    }
    std::atomic<uint64_t> m_nResent{0};
    std::atomic<float> m_fFps{0};
    // CPU time this thread spent making live messages (decoding, thinning, packing).
    std::atomic<uint64_t> m_nPublishCpuNs{0};
    std::atomic<uint64_t> m_nPublished{0};

private:
    CView& m_view;
    std::mutex m_mutex;
    SKxLaserResultAfterProcParam m_sParam{};
    uint64_t m_nFrames = 0, m_nLost = 0, m_nLastIndex = 0;
    bool m_bFirst = true;
    uint32_t m_nFirstEncoder = 0;
    bool m_bEncoderMoved = false;
    uint64_t m_nFirstIndex = 0;
    Clock::time_point m_tNextPublish{};
    std::vector<SKxEyePoint> m_vecPoints;
};

class CView {
public:
    CView(EKxEyeSource eSource, const SKxEyeViewOptions& opts)
        : m_eSource(eSource), m_opts(opts), m_strToken(RandomToken()), m_callback(*this) {}

    int Run();

    // Capture thread: the newest live message and the profile behind it.
    void Publish(std::shared_ptr<std::vector<uint8_t>> pMessage, SHistory&& history) {
        {
            std::lock_guard<std::mutex> lock(m_mFrame);
            m_pFrame = std::move(pMessage);
            ++m_nFrameSeq;
            m_history.push_back(std::make_shared<const SHistory>(std::move(history)));
            if (m_history.size() > c_nHistory) m_history.pop_front();
        }
        Wake();
    }

private:
    static int Callback(lws* wsi, lws_callback_reasons reason, void* user, void* in, size_t len);
    int OnCallback(lws* wsi, lws_callback_reasons reason, SPss* pss, void* in, size_t len);
    int ServeHttp(lws* wsi, SPss* pss, const char* pszPath);
    bool Admit(lws* wsi);
    int OnReceive(lws* wsi, SPss* pss, const void* in, size_t len);
    int OnWriteable(lws* wsi, SPss* pss);
    void Wake() {
        if (m_pContext) lws_cancel_service(m_pContext);
    }
    void Post(uint64_t nId, const json& j);
    void Broadcast(const json& j);

    // Worker.
    void Worker();
    void Handle(uint64_t nId, const json& cmd);
    json CameraList();
    json Open(const std::string& strCamera);
    void Close();
    bool StartLive();
    void StopLive();
    json Parameters();
    json Set(const std::string& strItem);
    json AfterProc(const json& cmd);
    json Snapshot();
    json Record(const json& cmd);
    json Image();
    json Motor(const json& cmd);
    json Status();
    void WriteStatusFile(const json& j);

    const EKxEyeSource m_eSource;
    const SKxEyeViewOptions& m_opts;
    const std::string m_strToken;
    lws_context* m_pContext = nullptr;
    std::string m_strHostPort;  // what the page's Origin must name

    std::mutex m_mClients;
    std::map<uint64_t, std::shared_ptr<SClient>> m_mapClients;
    uint64_t m_nNextId = 1;
    std::map<uint64_t, SSocket> m_mapSockets;  // service thread only

    std::mutex m_mFrame;
    std::shared_ptr<std::vector<uint8_t>> m_pFrame;
    uint64_t m_nFrameSeq = 0;
    std::deque<std::shared_ptr<const SHistory>> m_history;  // shared: a snapshot copies pointers only

    std::mutex m_mJobs;
    std::condition_variable m_cvJobs;
    std::deque<std::pair<uint64_t, json>> m_jobs;
    bool m_bQuit = false;

    // Worker only.
    CLiveCallback m_callback;
    std::unique_ptr<CKxEyeSession> m_pSession;
    bool m_bLive = false;
    json m_jCamera;  // what "open" answered; null when none is open
    uint64_t m_nSnapshots = 0;
    uint64_t m_nRecordings = 0;
    uint64_t m_nLastFrames = 0;
    double m_dFps = 0;
    Clock::time_point m_tLastStatus = Clock::now();
    Clock::time_point m_tLastBroadcast = Clock::now();
    bool m_bStatusFileFailed = false;
    std::atomic<int64_t> m_nServiceTid{0}, m_nWorkerTid{0}, m_nTickerTid{0};
    // With a status file: delivery to socket of each live message sent since the last write.
    std::mutex m_mSendDelays;
    std::vector<float> m_vecSendDelays;
};

void CLiveCallback::OnLaserResult(IKxLaserEyeResultBlock* pBlock) {
    if (!pBlock) return;
    const uint64_t nIndex = pBlock->GetFrameIndex();
    const Clock::time_point tNow = Clock::now();
    SKxLaserResultAfterProcParam param;
    uint64_t nLost;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_bFirst && nIndex > m_nLastIndex) m_nLost += nIndex - m_nLastIndex - 1;
        if (m_bFirst) {
            m_nFirstEncoder = pBlock->GetEncoderCount();
            m_nFirstIndex = nIndex;
            m_bEncoderMoved = false;
        }
        m_bFirst = false;
        m_nLastIndex = nIndex;
        ++m_nFrames;
        if (tNow < m_tNextPublish) return;
        // A steady cadence: a message made late (this thread was not run in time, or frames came
        // in a burst) does not push the next ones back, but two are never closer than half a
        // period, and after a pause the cadence starts anew.
        m_tNextPublish = std::max(m_tNextPublish + c_tPublishEvery, tNow + c_tPublishEvery / 2);
        param = m_sParam;
        nLost = m_nLost;
    }
    const uint64_t nCpu0 = ThreadCpuNs();
    // When the frame was delivered, on the wall clock (taken here, not for every frame).
    const double dDeliveredMs = WallMs() - std::chrono::duration<double, std::milli>(Clock::now() - tNow).count();
    // Only this thread decodes: m_vecPoints is its scratch.
    pBlock->SetAfterProcParam(param);
    const Clock::time_point t0 = Clock::now();
    m_vecPoints.clear();  // the reader appends
    KxEyeReadBlock(pBlock, c_nKxFormatFloat, m_vecPoints);
    const float fDecodeUs = std::chrono::duration<float, std::micro>(Clock::now() - t0).count();

    // Travel: the encoder (0.1 mm a count, the default wheel) once it moved, else 1 mm a frame.
    const uint32_t nEncoder = pBlock->GetEncoderCount();
    if (nEncoder != m_nFirstEncoder) m_bEncoderMoved = true;
    double dTravel;
    if (m_bEncoderMoved) {
        int64_t n = (static_cast<int64_t>(nEncoder) - m_nFirstEncoder) % (int64_t(1) << 29);
        if (n >= (int64_t(1) << 28)) n -= int64_t(1) << 29;
        if (n < -(int64_t(1) << 28)) n += int64_t(1) << 29;
        dTravel = static_cast<double>(n) * KxEyeMmPerCount(c_dKxEyeDefaultWheelRadius, c_nKxEyeDefaultPulsesPerRound);
    } else {
        dTravel = static_cast<double>(nIndex - m_nFirstIndex) * c_dKxEyeDefaultFrameStep;
    }

    // The line runs along the coordinate its points spread over most.
    float fMinX = INFINITY, fMaxX = -INFINITY, fMinY = INFINITY, fMaxY = -INFINITY;
    for (const SKxEyePoint& p : m_vecPoints) {
        fMinX = std::min(fMinX, p.fX), fMaxX = std::max(fMaxX, p.fX);
        fMinY = std::min(fMinY, p.fY), fMaxY = std::max(fMaxY, p.fY);
    }
    const bool bAlongY = !m_vecPoints.empty() && (fMaxY - fMinY) > (fMaxX - fMinX);
    const size_t nAll = m_vecPoints.size();
    const size_t nStride = (nAll + c_nKxEyeViewMaxPoints - 1) / c_nKxEyeViewMaxPoints;
    const size_t nCount = nStride ? (nAll + nStride - 1) / nStride : 0;

    auto pMessage = std::make_shared<std::vector<uint8_t>>(LWS_PRE + c_nKxEyeViewHeader + nCount * 12);
    uint8_t* pb = pMessage->data() + LWS_PRE;
    auto put = [&](size_t nOffset, const auto& v) { std::memcpy(pb + nOffset, &v, sizeof(v)); };
    put(0, c_nKxEyeViewMagic);
    put(4, static_cast<uint32_t>(nCount));
    put(8, static_cast<double>(nIndex));
    put(16, dDeliveredMs);
    put(24, m_fFps.load());
    put(28, static_cast<uint32_t>(std::min<uint64_t>(nLost, UINT32_MAX)));
    put(32, static_cast<uint32_t>(std::min<uint64_t>(m_nResent.load(), UINT32_MAX)));
    put(36, fDecodeUs);
    put(40, dTravel);
    put(48, static_cast<uint32_t>(bAlongY ? 1 : 0));
    put(52, uint32_t(0));
    SHistory history;
    history.nFrame = nIndex;
    history.dTravel = dTravel;
    history.bAlongY = bAlongY;
    history.vecPoints.reserve(nCount);
    for (size_t i = 0, k = 0; i < nAll && k < nCount; i += nStride, ++k) {
        const SKxEyePoint& p = m_vecPoints[i];
        put(c_nKxEyeViewHeader + k * 8, bAlongY ? p.fY : p.fX);
        put(c_nKxEyeViewHeader + k * 8 + 4, p.fZ);
        const int16_t nCol = static_cast<int16_t>(std::clamp(p.nColumn, -1, 32767));
        const int16_t nRow = static_cast<int16_t>(std::clamp(p.nRow, -1, 32767));
        put(c_nKxEyeViewHeader + nCount * 8 + k * 4, nCol);
        put(c_nKxEyeViewHeader + nCount * 8 + k * 4 + 2, nRow);
        history.vecPoints.push_back(p);
    }
    m_view.Publish(std::move(pMessage), std::move(history));
    m_nPublishCpuNs += ThreadCpuNs() - nCpu0;
    ++m_nPublished;
}

int CView::Callback(lws* wsi, lws_callback_reasons reason, void* user, void* in, size_t len) {
    lws_context* pContext = lws_get_context(wsi);
    CView* pView = pContext ? static_cast<CView*>(lws_context_user(pContext)) : nullptr;
    if (!pView) return lws_callback_http_dummy(wsi, reason, user, in, len);
    return pView->OnCallback(wsi, reason, static_cast<SPss*>(user), in, len);
}

// The token, from the query string, compared in full and in constant time.
bool TokenMatches(lws* wsi, const std::string& strToken) {
    char sz[128];
    const char* p = lws_get_urlarg_by_name(wsi, "token=", sz, sizeof(sz));
    if (!p || std::strlen(p) != strToken.size()) return false;
    unsigned char byDiff = 0;
    for (size_t i = 0; i < strToken.size(); ++i) byDiff |= static_cast<unsigned char>(p[i] ^ strToken[i]);
    return byDiff == 0;
}

int CView::OnCallback(lws* wsi, lws_callback_reasons reason, SPss* pss, void* in, size_t len) {
    switch (reason) {
        case LWS_CALLBACK_HTTP:
            return ServeHttp(wsi, pss, static_cast<const char*>(in));
        case LWS_CALLBACK_HTTP_WRITEABLE: {
            if (!pss || !pss->pAsset) return -1;
            const size_t nChunk = std::min<size_t>(16384, pss->pAsset->nSize - pss->nSent);
            std::vector<uint8_t> vec(LWS_PRE + nChunk);
            std::memcpy(vec.data() + LWS_PRE, pss->pAsset->pbyData + pss->nSent, nChunk);
            const bool bLast = pss->nSent + nChunk >= pss->pAsset->nSize;
            if (lws_write(wsi, vec.data() + LWS_PRE, nChunk, bLast ? LWS_WRITE_HTTP_FINAL : LWS_WRITE_HTTP) !=
                static_cast<int>(nChunk))
                return -1;
            pss->nSent += nChunk;
            if (!bLast) {
                lws_callback_on_writable(wsi);
                return 0;
            }
            pss->pAsset = nullptr;
            return lws_http_transaction_completed(wsi) ? -1 : 0;
        }
        case LWS_CALLBACK_FILTER_PROTOCOL_CONNECTION:
            return Admit(wsi) ? 0 : 1;
        case LWS_CALLBACK_ESTABLISHED: {
            std::lock_guard<std::mutex> lock(m_mClients);
            pss->nId = m_nNextId++;
            m_mapClients[pss->nId] = std::make_shared<SClient>();
            m_mapSockets[pss->nId].wsi = wsi;
            // The worker greets it with the camera and the counters as they are.
            std::lock_guard<std::mutex> lockJobs(m_mJobs);
            m_jobs.emplace_back(pss->nId, json{{"op", "hello"}});
            m_cvJobs.notify_one();
            break;
        }
        case LWS_CALLBACK_CLOSED: {
            std::lock_guard<std::mutex> lock(m_mClients);
            if (pss && pss->nId) {
                m_mapClients.erase(pss->nId);
                m_mapSockets.erase(pss->nId);
            }
            break;
        }
        case LWS_CALLBACK_RECEIVE:
            return OnReceive(wsi, pss, in, len);
        case LWS_CALLBACK_SERVER_WRITEABLE:
            return OnWriteable(wsi, pss);
        case LWS_CALLBACK_EVENT_WAIT_CANCELLED: {
            // Someone has something to send: ask for the sockets that can take it.
            uint64_t nSeq;
            {
                std::lock_guard<std::mutex> lock(m_mFrame);
                nSeq = m_nFrameSeq;
            }
            std::lock_guard<std::mutex> lock(m_mClients);
            for (auto& [nId, socket] : m_mapSockets) {
                auto it = m_mapClients.find(nId);
                const bool bText = it != m_mapClients.end() && (!it->second->outbox.empty() || it->second->bOverflow);
                if (bText || socket.nSentSeq != nSeq) lws_callback_on_writable(socket.wsi);
            }
            break;
        }
        default:
            break;
    }
    return lws_callback_http_dummy(wsi, reason, pss, in, len);
}

int CView::ServeHttp(lws* wsi, SPss* pss, const char* pszPath) {
    // Only GET; the URI is matched whole against the files built in, never used as a path.
    if (lws_hdr_total_length(wsi, WSI_TOKEN_GET_URI) <= 0) {
        if (lws_return_http_status(wsi, HTTP_STATUS_METHOD_NOT_ALLOWED, nullptr)) return -1;
        return lws_http_transaction_completed(wsi) ? -1 : 0;
    }
    std::string strPath = pszPath ? pszPath : "";
    if (strPath.empty() || strPath == "/") strPath = "/index.html";
    const SKxEyeViewAsset* pAsset = nullptr;
    for (const SKxEyeViewAsset& a : KxEyeViewAssets())
        if (strPath == a.pszPath) pAsset = &a;
    if (!pAsset) {
        if (lws_return_http_status(wsi, HTTP_STATUS_NOT_FOUND, nullptr)) return -1;
        return lws_http_transaction_completed(wsi) ? -1 : 0;
    }
    // The page itself only with the token; its scripts and styles hold nothing to protect.
    if (strPath == "/index.html" && !TokenMatches(wsi, m_strToken)) {
        if (lws_return_http_status(wsi, HTTP_STATUS_FORBIDDEN, "access token missing or wrong")) return -1;
        return lws_http_transaction_completed(wsi) ? -1 : 0;
    }
    uint8_t abyHeaders[LWS_PRE + 1024];
    uint8_t* pStart = abyHeaders + LWS_PRE;
    uint8_t* p = pStart;
    uint8_t* pEnd = abyHeaders + sizeof(abyHeaders) - 1;
    static const char c_szPolicy[] =
        "default-src 'self'; connect-src 'self' ws: wss:; img-src 'self' data: blob:; frame-ancestors 'none'";
    if (lws_add_http_common_headers(wsi, HTTP_STATUS_OK, pAsset->pszType, pAsset->nSize, &p, pEnd) ||
        lws_add_http_header_by_name(wsi, reinterpret_cast<const unsigned char*>("cache-control:"),
                                    reinterpret_cast<const unsigned char*>("no-store"), 8, &p, pEnd) ||
        lws_add_http_header_by_name(wsi, reinterpret_cast<const unsigned char*>("x-content-type-options:"),
                                    reinterpret_cast<const unsigned char*>("nosniff"), 7, &p, pEnd) ||
        lws_add_http_header_by_name(wsi, reinterpret_cast<const unsigned char*>("content-security-policy:"),
                                    reinterpret_cast<const unsigned char*>(c_szPolicy),
                                    static_cast<int>(sizeof(c_szPolicy) - 1), &p, pEnd) ||
        lws_finalize_write_http_header(wsi, pStart, &p, pEnd))
        return 1;
    pss->pAsset = pAsset;
    pss->nSent = 0;
    lws_callback_on_writable(wsi);
    return 0;
}

// A WebSocket only on /ws, with the token, from a page of this server (a page elsewhere could
// otherwise drive the camera through the user's browser).
bool CView::Admit(lws* wsi) {
    char szUri[256] = "", szOrigin[256] = "", szHost[256] = "";
    if (lws_hdr_copy(wsi, szUri, sizeof(szUri), WSI_TOKEN_GET_URI) <= 0 || std::strcmp(szUri, "/ws") != 0) return false;
    if (!TokenMatches(wsi, m_strToken)) return false;
    if (lws_hdr_copy(wsi, szHost, sizeof(szHost), WSI_TOKEN_HOST) <= 0) return false;
    // No Origin: not a browser (a browser always sends one); such a client has the token.
    if (lws_hdr_copy(wsi, szOrigin, sizeof(szOrigin), WSI_TOKEN_ORIGIN) <= 0) return true;
    return std::string(szOrigin) == std::string("http://") + szHost;
}

int CView::OnReceive(lws* wsi, SPss* pss, const void* in, size_t len) {
    auto it = m_mapSockets.find(pss->nId);
    if (it == m_mapSockets.end()) return -1;
    SSocket& socket = it->second;
    if (lws_frame_is_binary(wsi)) {
        lws_close_reason(wsi, LWS_CLOSE_STATUS_UNACCEPTABLE_OPCODE, reinterpret_cast<unsigned char*>(const_cast<char*>("text only")), 9);
        return -1;
    }
    if (socket.strRx.size() + len > c_nMaxMessage) {
        lws_close_reason(wsi, LWS_CLOSE_STATUS_MESSAGE_TOO_LARGE, reinterpret_cast<unsigned char*>(const_cast<char*>("too large")), 9);
        return -1;
    }
    socket.strRx.append(static_cast<const char*>(in), len);
    if (!lws_is_final_fragment(wsi)) return 0;
    const std::string strMessage = std::move(socket.strRx);
    socket.strRx.clear();
    // Token bucket: a burst, then a steady rate; a flood closes the socket.
    const Clock::time_point tNow = Clock::now();
    socket.dTokens = std::min(c_dMessageBurst, socket.dTokens + c_dMessagesPerSecond *
                                                                    std::chrono::duration<double>(tNow - socket.tLast).count());
    socket.tLast = tNow;
    if (socket.dTokens < 1) {
        lws_close_reason(wsi, LWS_CLOSE_STATUS_POLICY_VIOLATION, reinterpret_cast<unsigned char*>(const_cast<char*>("message flood")), 13);
        return -1;
    }
    socket.dTokens -= 1;
    json cmd = json::parse(strMessage, nullptr, false);
    if (cmd.is_discarded() || !cmd.is_object() || !cmd.contains("op") || !cmd["op"].is_string()) {
        Post(pss->nId, json{{"op", "error"}, {"error", "not a command: a JSON object with \"op\" is expected"}});
        return 0;
    }
    {
        std::lock_guard<std::mutex> lock(m_mClients);
        auto itClient = m_mapClients.find(pss->nId);
        if (itClient == m_mapClients.end()) return -1;
        if (itClient->second->nPending >= c_nMaxPendingCommands) {
            itClient->second->outbox.push_back(
                json{{"op", cmd["op"]}, {"id", cmd.value("id", json())}, {"error", "busy: too many commands waiting"}}.dump());
            lws_callback_on_writable(wsi);
            return 0;
        }
        ++itClient->second->nPending;
    }
    {
        std::lock_guard<std::mutex> lock(m_mJobs);
        m_jobs.emplace_back(pss->nId, std::move(cmd));
    }
    m_cvJobs.notify_one();
    return 0;
}

int CView::OnWriteable(lws* wsi, SPss* pss) {
    auto itSocket = m_mapSockets.find(pss->nId);
    if (itSocket == m_mapSockets.end()) return -1;
    SSocket& socket = itSocket->second;
    std::string strText;
    bool bMore = false;
    {
        std::lock_guard<std::mutex> lock(m_mClients);
        auto it = m_mapClients.find(pss->nId);
        if (it == m_mapClients.end()) return -1;
        if (it->second->bOverflow) {
            lws_close_reason(wsi, LWS_CLOSE_STATUS_POLICY_VIOLATION, reinterpret_cast<unsigned char*>(const_cast<char*>("not reading")), 11);
            return -1;
        }
        if (!it->second->outbox.empty()) {
            strText = std::move(it->second->outbox.front());
            it->second->outbox.pop_front();
            bMore = !it->second->outbox.empty();
        }
    }
    if (!strText.empty()) {
        std::vector<uint8_t> vec(LWS_PRE + strText.size());
        std::memcpy(vec.data() + LWS_PRE, strText.data(), strText.size());
        if (lws_write(wsi, vec.data() + LWS_PRE, strText.size(), LWS_WRITE_TEXT) < static_cast<int>(strText.size()))
            return -1;
        lws_callback_on_writable(wsi);  // the frame, or more text, next time
        return 0;
    }
    std::shared_ptr<std::vector<uint8_t>> pFrame;
    uint64_t nSeq;
    {
        std::lock_guard<std::mutex> lock(m_mFrame);
        pFrame = m_pFrame;
        nSeq = m_nFrameSeq;
    }
    if (pFrame && nSeq != socket.nSentSeq) {
        socket.nSentSeq = nSeq;
        // libwebsockets writes the frame header into the LWS_PRE bytes before the payload: the
        // same bytes for every socket, and only this thread writes them.
        const size_t nSize = pFrame->size() - LWS_PRE;
        if (lws_write(wsi, pFrame->data() + LWS_PRE, nSize, LWS_WRITE_BINARY) < static_cast<int>(nSize)) return -1;
        if (!m_opts.strStatusFile.empty()) {
            // For the status file: how long after its delivery the message went to the socket.
            double dDelivered = 0;
            std::memcpy(&dDelivered, pFrame->data() + LWS_PRE + 16, sizeof(dDelivered));
            std::lock_guard<std::mutex> lock(m_mSendDelays);
            if (m_vecSendDelays.size() < c_nMaxSendDelays) m_vecSendDelays.push_back(static_cast<float>(WallMs() - dDelivered));
        }
    }
    if (bMore) lws_callback_on_writable(wsi);
    return 0;
}

void CView::Post(uint64_t nId, const json& j) {
    {
        std::lock_guard<std::mutex> lock(m_mClients);
        auto it = m_mapClients.find(nId);
        if (it == m_mapClients.end()) return;  // gone: costs nothing
        if (it->second->outbox.size() >= c_nMaxOutbox) it->second->bOverflow = true;
        else it->second->outbox.push_back(j.dump(-1, ' ', false, json::error_handler_t::replace));
    }
    Wake();
}

void CView::Broadcast(const json& j) {
    const std::string s = j.dump(-1, ' ', false, json::error_handler_t::replace);
    {
        std::lock_guard<std::mutex> lock(m_mClients);
        for (auto& [nId, pClient] : m_mapClients) {
            if (pClient->outbox.size() >= c_nMaxOutbox) pClient->bOverflow = true;
            else pClient->outbox.push_back(s);
        }
    }
    Wake();
}

// The counters for scripts and benchmarks: replaced whole (a reader never sees half a file).
void CView::WriteStatusFile(const json& j) {
    const std::string strTemp = m_opts.strStatusFile + ".tmp";
    bool bOk = false;
    if (FILE* pFile = std::fopen(strTemp.c_str(), "w")) {
        json jFile = j;
        jFile["threads"] = {{"service", m_nServiceTid.load()}, {"worker", m_nWorkerTid.load()}, {"ticker", m_nTickerTid.load()}};
        {
            std::lock_guard<std::mutex> lock(m_mSendDelays);
            jFile["sendDelaysMs"] = m_vecSendDelays;
            m_vecSendDelays.clear();
        }
        const std::string s = jFile.dump() + "\n";
        bOk = std::fwrite(s.data(), 1, s.size(), pFile) == s.size();
        bOk = std::fclose(pFile) == 0 && bOk;
        bOk = bOk && std::rename(strTemp.c_str(), m_opts.strStatusFile.c_str()) == 0;
    }
    if (!bOk && !m_bStatusFileFailed) {
        m_bStatusFileFailed = true;
        std::cerr << "kxeye: cannot write the status file " << m_opts.strStatusFile << "\n";
    }
}

void CView::Worker() {
    m_nWorkerTid = ThreadId();
    for (;;) {
        std::pair<uint64_t, json> job;
        {
            std::unique_lock<std::mutex> lock(m_mJobs);
            m_cvJobs.wait_for(lock, std::chrono::milliseconds(250), [&] { return m_bQuit || !m_jobs.empty(); });
            if (m_bQuit) return;
            if (!m_jobs.empty()) {
                job = std::move(m_jobs.front());
                m_jobs.pop_front();
            }
        }
        if (!job.second.is_null()) {
            {
                std::lock_guard<std::mutex> lock(m_mClients);
                auto it = m_mapClients.find(job.first);
                if (it != m_mapClients.end() && it->second->nPending) --it->second->nPending;
            }
            Handle(job.first, job.second);
        }
        if (Clock::now() - m_tLastBroadcast >= std::chrono::seconds(1)) {
            m_tLastBroadcast = Clock::now();
            const json jStatus = Status();
            Broadcast(jStatus);
            if (!m_opts.strStatusFile.empty()) WriteStatusFile(jStatus);
        }
    }
}

json CView::Status() {
    uint64_t nFrames = 0, nLost = 0;
    m_callback.Counts(nFrames, nLost);
    const Clock::time_point tNow = Clock::now();
    const double dSeconds = std::chrono::duration<double>(tNow - m_tLastStatus).count();
    // The rate over the last second or more; a restarted capture counts from 0 again.
    if (dSeconds >= 1 || nFrames < m_nLastFrames) {
        m_dFps = dSeconds > 0 && nFrames >= m_nLastFrames ? (nFrames - m_nLastFrames) / dSeconds : 0.0;
        m_nLastFrames = nFrames;
        m_tLastStatus = tNow;
        m_callback.m_fFps = static_cast<float>(m_dFps);
    }
    const double dFps = m_dFps;
    json j{{"op", "status"}, {"open", m_pSession != nullptr}, {"live", m_bLive}, {"frames", nFrames},
           {"framesLost", nLost}, {"fps", std::round(dFps * 10) / 10}, {"serverMs", WallMs()},
           {"liveMessages", m_callback.m_nPublished.load()},
           {"liveMessageCpuMs", static_cast<double>(m_callback.m_nPublishCpuNs.load()) / 1e6}};
    if (m_pSession) {
        SOrEyeStreamCounters s{};
        if (OrEyeGetStreamCounters(m_pSession->Device()->GetCoreEye(), &s) == c_nOrEyeOK) {
            m_callback.m_nResent = s.nPacketsResent;
            j["packetsResent"] = s.nPacketsResent;
            j["framesComplete"] = s.nFramesComplete;
            j["framesIncomplete"] = s.nFramesIncomplete;
            j["framesDropped"] = s.nFramesDropped;
        } else {
            j["packetsResent"] = nullptr;
        }
    }
    {
        std::lock_guard<std::mutex> lock(m_mClients);
        j["browsers"] = m_mapClients.size();
    }
    return j;
}

json CView::CameraList() {
    std::vector<SKxNLEyeDeviceInfoEx> vecInfos;
    json list = json::array();
    if (!KxEyeSearch(m_eSource, vecInfos)) return list;
    for (size_t i = 0; i < vecInfos.size(); ++i) {
        const SKxNLEyeDeviceInfoEx& info = vecInfos[i];
        const std::string strConnect = KxEyeFieldText(info.szConnectText);
        list.push_back({{"index", i},
                        {"name", KxEyeFieldText(info.szDeviceName)},
                        {"connect", strConnect},
                        {"ip", KxEyeFieldText(info.szIPAddress)},
                        {"virtual", strConnect.rfind("virtual", 0) == 0},
                        {"testCopy", KxEyeIsTestCopy(info)}});
    }
    return list;
}

json CView::Parameters() {
    json j;
    IKxLaserEyeDevice* pDev = m_pSession->Device();
    int32_t nAuto = 0, nExposure = 0, nThreshold = 0, nTrigger = 0;
    j["exposure"] = pDev->GetExpose(&nAuto, &nExposure) == KX_OK ? json(nExposure) : json();
    j["threshold"] = pDev->GetLaserThres(&nThreshold) == KX_OK ? json(nThreshold) : json();
    j["trigger"] = pDev->GetTriggerMode(&nTrigger) == KX_OK ? json(nTrigger) : json();
    SKxNLROIRect sLeft{}, sRight{};
    if (pDev->GetDetectROI(&sLeft, &sRight) == KX_OK)
        j["roi"] = {sLeft.left, sLeft.right, sLeft.top, sLeft.bottom};
    j["denoise"] = pDev->IsDenoiseEnabled();
    return j;
}

json CView::Open(const std::string& strCamera) {
    Close();
    auto pSession = std::make_unique<CKxEyeSession>();
    if (!pSession->Open(m_eSource, strCamera))
        return json{{"error", "cannot open camera \"" + strCamera + "\" (the tool's log says why)"}};
    m_pSession = std::move(pSession);
    const SKxNLEyeDeviceInfoEx& info = m_pSession->Info();
    IKxLaserEyeDevice* pDev = m_pSession->Device();
    uint32_t nWidth = 0, nHeight = 0;
    pDev->GetVideoResolution(&nWidth, &nHeight);
    const std::string strConnect = KxEyeFieldText(info.szConnectText);
    json j{{"index", m_pSession->Index()},
           {"name", KxEyeFieldText(info.szDeviceName)},
           {"serial", m_pSession->Identity().strSerial},
           {"connect", strConnect},
           {"virtual", strConnect.rfind("virtual", 0) == 0},
           {"resolution", {nWidth, nHeight}},
           {"parameters", Parameters()}};
    IKxSwingMotorDevice* pMotorRaw = nullptr;
    j["motor"] = pDev->GetSwingMotorDevice(&pMotorRaw) && pMotorRaw;
    if (pMotorRaw) pMotorRaw->Release();
    if (info.nNetInfoValid) {
        j["network"] = {{"cameraIp", KxEyeFieldText(info.szEyeIP)},
                        {"cameraMac", KxEyeFieldText(info.szEyeMAC)},
                        {"destinationIp", KxEyeFieldText(info.szDestIP)},
                        {"destinationMac", KxEyeFieldText(info.szDestMAC)},
                        {"wireId", KxEyeWireID(info)}};
    }
    j["live"] = StartLive();
    return j;
}

void CView::Close() {
    StopLive();
    m_pSession.reset();
}

bool CView::StartLive() {
    if (!m_pSession || m_bLive) return m_bLive;
    m_callback.Reset();
    m_bLive = m_pSession->Device()->StartCapture(0, &m_callback, nullptr) == KX_OK;
    return m_bLive;
}

void CView::StopLive() {
    if (!m_pSession || !m_bLive) return;
    m_pSession->Device()->StopCapture();
    m_bLive = false;
}

json CView::Set(const std::string& strItem) {
    SKxEyeSetting s;
    std::string strError;
    if (!KxEyeParseSetting(strItem, s, strError)) return json{{"item", strItem}, {"error", strError}};
    // The camera takes parameters between captures: the live view pauses around the change.
    const bool bWasLive = m_bLive;
    StopLive();
    SKxEyeRunSettings run;
    run.vecSettings.push_back(s);
    json j;
    KxEyeApplyRunSettings(m_pSession->Device(), run, j, false);
    json r = j["settings"].empty() ? json{{"item", strItem}, {"error", "not applied"}} : json(j["settings"][0]);
    r["parameters"] = Parameters();
    if (bWasLive) r["live"] = StartLive();
    return r;
}

json CView::AfterProc(const json& cmd) {
    SKxLaserResultAfterProcParam param{};
    std::string strError;
    const int64_t nStep = cmd.value("step", 1);
    if (nStep < 1 || nStep > 2048) return json{{"error", "step: a whole number from 1 to 2048"}};
    param.nStep = static_cast<int32_t>(nStep);
    if (cmd.contains("filters") && cmd["filters"].is_array()) {
        for (const json& f : cmd["filters"]) {
            if (!f.is_string() || !KxEyeParseFilter(f.get<std::string>(), param, strError)) {
                return json{{"error", strError.empty() ? std::string("filters: texts AXIS:MIN:MAX[:keep|drop]") : strError}};
            }
        }
    }
    m_callback.SetParam(param);
    return json{{"code", 0}, {"meaning", KxEyeCodeMeaning(0)}};
}

json CView::Snapshot() {
    std::deque<std::shared_ptr<const SHistory>> history;
    {
        std::lock_guard<std::mutex> lock(m_mFrame);
        history = m_history;
    }
    if (history.empty()) return json{{"error", "no profile yet"}};
    std::string strError;
    if (!KxEyeCheckOutputDir(m_opts.strOut, strError)) return json{{"error", strError}};
    std::error_code ec;
    std::filesystem::create_directories(m_opts.strOut, ec);
    const std::string strBase =
        (std::filesystem::path(m_opts.strOut) / ("snapshot-" + std::to_string(++m_nSnapshots))).string();
    CKxEyePlyWriter ply;
    // The travel goes onto the coordinate across the line, as scan writes it.
    const bool bAlongY = history.back()->bAlongY;
    double dSpacing = 0;
    std::vector<double> vecSteps;
    for (size_t i = 1; i < history.size(); ++i) vecSteps.push_back(std::fabs(history[i]->dTravel - history[i - 1]->dTravel));
    std::sort(vecSteps.begin(), vecSteps.end());
    const double dStep = vecSteps.empty() ? 0 : vecSteps[vecSteps.size() / 2];
    const SHistory& last = *history.back();
    if (last.vecPoints.size() >= 2) {
        float fMin = INFINITY, fMax = -INFINITY;
        for (const SKxEyePoint& p : last.vecPoints) {
            fMin = std::min(fMin, bAlongY ? p.fY : p.fX);
            fMax = std::max(fMax, bAlongY ? p.fY : p.fX);
        }
        dSpacing = (fMax - fMin) / static_cast<double>(last.vecPoints.size() - 1);
    }
    CKxEyeHeightGrid grid(KxEyeAutoCell(dSpacing, dStep));
    if (!ply.Open(strBase + ".ply") || !ply.Begin({"units mm", "snapshot of kxeye view: the last profiles shown"}))
        return json{{"error", ply.Error()}};
    uint64_t nPoints = 0;
    std::vector<SKxEyePoint> vecPoints;
    for (const auto& pHistory : history) {
        vecPoints = pHistory->vecPoints;
        for (SKxEyePoint& p : vecPoints) {
            (bAlongY ? p.fX : p.fY) += static_cast<float>(pHistory->dTravel);
            grid.Add(bAlongY ? p.fY : p.fX, bAlongY ? p.fX : p.fY, p.fZ);
        }
        nPoints += vecPoints.size();
        if (!ply.Add(vecPoints)) return json{{"error", ply.Error()}};
    }
    if (!ply.Finish()) return json{{"error", ply.Error()}};
    json j{{"pointCloud", strBase + ".ply"}, {"points", nPoints}, {"profiles", history.size()}};
    SKxEyeHeightMapInfo map;
    const uint32_t nFill = dStep > 0 ? static_cast<uint32_t>(std::min(256.0, std::ceil(dStep / grid.Cell()))) : 0;
    if (!grid.Empty() && KxEyeWriteHeightMap(grid, nFill, strBase + ".png", map, strError)) {
        j["heightMap"] = strBase + ".png";
        j["cellSize"] = map.dCell;
    } else if (!grid.Empty()) {
        j["heightMapError"] = strError;
    }
    return j;
}

std::string Base64(const std::vector<uint8_t>& vec) {
    static const char* c_psz = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string s;
    s.reserve((vec.size() + 2) / 3 * 4);
    for (size_t i = 0; i < vec.size(); i += 3) {
        const uint32_t n = (uint32_t(vec[i]) << 16) | (i + 1 < vec.size() ? uint32_t(vec[i + 1]) << 8 : 0) |
                           (i + 2 < vec.size() ? uint32_t(vec[i + 2]) : 0);
        s += c_psz[(n >> 18) & 63];
        s += c_psz[(n >> 12) & 63];
        s += i + 1 < vec.size() ? c_psz[(n >> 6) & 63] : '=';
        s += i + 2 < vec.size() ? c_psz[n & 63] : '=';
    }
    return s;
}

// One frame with the camera's images (Detect in debug mode): the left image, scaled down to at
// most 1024 pixels on its long side, as a PNG data URL, with where it lies in the sensor.
json CView::Image() {
    const bool bWasLive = m_bLive;
    StopLive();
    IKxLaserEyeDevice* pDev = m_pSession->Device();
    const bool bDebugWas = pDev->IsDetectDebugEnabled();
    pDev->EnableDetectDebug(true);
    CKxEyeRef<IKxLaserEyeResultBlock> pBlock;
    const int32_t nDetect = pDev->Detect(pBlock.Out());
    pDev->EnableDetectDebug(bDebugWas);
    json r;
    IKxSurface* pLeft = nullptr;
    IKxSurface* pRight = nullptr;
    if (nDetect != KX_OK || !pBlock) {
        r = json{{"code", nDetect}, {"meaning", KxEyeCodeMeaning(nDetect)}, {"error", "Detect failed: " + KxEyeFormatCode(nDetect)}};
    } else if (!pBlock->GetSurfaces(&pLeft, &pRight) || !pLeft) {
        r = json{{"error", "the frame carries no image (the camera sends none in debug mode)"}};
    } else {
        CKxEyeRef<IKxSurface> left(pLeft), right(pRight);
        SKxNLImageData d{};
        if (pLeft->GetImageData(&d) != KX_OK || !d.pData || d.nWidth <= 0 || d.nHeight <= 0 ||
            static_cast<uint64_t>(d.nWidth) * static_cast<uint64_t>(d.nHeight) > d.nSize) {
            r = json{{"error", "the image's description does not fit its pixels"}};
        } else {
            const int nScale = std::max(1, (std::max(d.nWidth, d.nHeight) + 1023) / 1024);
            const uint32_t nW = static_cast<uint32_t>(d.nWidth / nScale), nH = static_cast<uint32_t>(d.nHeight / nScale);
            std::vector<uint8_t> vec(static_cast<size_t>(nW) * nH);
            for (uint32_t y = 0; y < nH; ++y)
                for (uint32_t x = 0; x < nW; ++x)
                    vec[static_cast<size_t>(y) * nW + x] =
                        d.pData[static_cast<size_t>(y) * nScale * static_cast<size_t>(d.nWidth) + static_cast<size_t>(x) * nScale];
            r = json{{"image", "data:image/png;base64," + Base64(KxEyeEncodePng(vec.data(), nW, nH, 1))},
                     {"origin", {d.nX, d.nY}},
                     {"size", {d.nWidth, d.nHeight}},
                     {"scale", nScale},
                     {"parameters", Parameters()}};
        }
    }
    if (bWasLive) r["live"] = StartLive();
    return r;
}

// A recording as "kxeye record" writes it: the live view hands the camera to the recorder for
// the given number of frames and takes it back afterwards.
json CView::Record(const json& cmd) {
    const json jFrames = cmd.contains("frames") ? cmd["frames"] : json(300);
    if (!jFrames.is_number_integer() || jFrames.get<int64_t>() < 1 || jFrames.get<int64_t>() > 1000000)
        return json{{"error", "record: \"frames\", a whole number from 1 to 1000000"}};
    std::string strError;
    if (!KxEyeCheckOutputDir(m_opts.strOut, strError)) return json{{"error", strError}};
    std::error_code ec;
    std::filesystem::create_directories(m_opts.strOut, ec);
    const std::string strCamera = m_jCamera.value("connect", std::string());
    if (strCamera.empty()) return json{{"error", "record: the open camera has no connect text to reopen it by"}};
    SKxEyeRecordOptions rec;
    rec.strCamera = strCamera;
    rec.strOut = (std::filesystem::path(m_opts.strOut) / ("recording-" + std::to_string(++m_nRecordings) + ".kxr")).string();
    rec.nFrames = jFrames.get<int64_t>();
    Close();
    const int nExit = KxEyeRecord(m_eSource, rec);
    std::fflush(stdout);
    json r{{"path", rec.strOut}, {"frames", rec.nFrames}, {"exit", nExit}};
    if (nExit != c_nKxEyeExitOk) r["error"] = "recording failed with status " + std::to_string(nExit) + " (the tool's log says why)";
    json reopened = Open(strCamera);
    if (reopened.contains("error")) {
        m_jCamera = nullptr;
        r["reopen"] = reopened["error"];
    } else {
        m_jCamera = reopened;
    }
    Broadcast(json{{"op", "camera"}, {"camera", m_jCamera}});
    return r;
}

json CView::Motor(const json& cmd) {
    IKxSwingMotorDevice* pRaw = nullptr;
    if (!m_pSession->Device()->GetSwingMotorDevice(&pRaw) || !pRaw)
        return json{{"code", KX_E_NOT_SUPPORTED}, {"meaning", KxEyeCodeMeaning(KX_E_NOT_SUPPORTED)}};
    CKxEyeRef<IKxSwingMotorDevice> pMotor(pRaw);
    const std::string strAction = cmd.contains("action") && cmd["action"].is_string() ? cmd["action"].get<std::string>() : "";
    const bool bMove = strAction == "move" && cmd.contains("angle") && cmd["angle"].is_number();
    if (!bMove && strAction != "status" && strAction != "center" && strAction != "run" && strAction != "stop")
        return json{{"error", "motor: action status, move (with angle), center, run or stop"}};
    // The motor takes commands between captures, as the parameters do.
    const bool bWasLive = m_bLive;
    if (strAction != "status") StopLive();
    int32_t nCode = KX_OK;
    if (bMove) nCode = pMotor->MoveTo(cmd["angle"].get<float>(), false);
    else if (strAction == "center") nCode = pMotor->MoveToCenter(false);
    else if (strAction == "run") nCode = pMotor->RunMotor(true);
    else if (strAction == "stop") nCode = pMotor->RunMotor(false);
    json j{{"action", strAction}, {"code", nCode}, {"meaning", KxEyeCodeMeaning(nCode)}};
    int32_t nMax = 0, nMin = 0, nSpeedMax = 0, nError = KX_OK;
    const float fPosition = pMotor->GetPosition(&nError);
    if (nError == KX_OK) j["position"] = fPosition;
    int32_t nRunError = KX_OK;
    const bool bRunning = pMotor->IsMotorRunning(&nRunError);
    if (nRunError == KX_OK) j["running"] = bRunning;
    if (pMotor->GetMaxAngle(&nMax) == KX_OK) j["maxAngle"] = nMax;
    if (pMotor->GetSpeedRange(&nMin, &nSpeedMax) == KX_OK) j["speedRange"] = {nMin, nSpeedMax};
    if (bWasLive && !m_bLive) j["live"] = StartLive();
    return j;
}

void CView::Handle(uint64_t nId, const json& cmd) {
    const std::string strOp = cmd["op"];
    json r;
    const bool bNeedsCamera = strOp == "set" || strOp == "start" || strOp == "stop" || strOp == "afterproc" ||
                              strOp == "motor" || strOp == "parameters" || strOp == "record" ||
                              strOp == "image";
    if (bNeedsCamera && !m_pSession) {
        r = json{{"error", "no camera open"}};
    } else if (strOp == "hello") {
        Post(nId, json{{"op", "camera"}, {"camera", m_jCamera}});
        Post(nId, Status());
        return;
    } else if (strOp == "list") {
        r["cameras"] = CameraList();
    } else if (strOp == "open") {
        const std::string strCamera = cmd.contains("camera") && cmd["camera"].is_string() ? cmd["camera"].get<std::string>()
                                                                                            : std::string();
        if (strCamera.empty()) r = json{{"error", "open: which camera (\"camera\": index, serial, IP ...)"}};
        else r = Open(strCamera);
        if (!r.contains("error")) {
            m_jCamera = r;
            Broadcast(json{{"op", "camera"}, {"camera", r}});
        }
    } else if (strOp == "close") {
        Close();
        m_jCamera = nullptr;
        Broadcast(json{{"op", "camera"}, {"camera", nullptr}});
    } else if (strOp == "set") {
        if (!cmd.contains("item") || !cmd["item"].is_string()) r = json{{"error", "set: \"item\": \"NAME=VALUE\""}};
        else r = Set(cmd["item"].get<std::string>());
    } else if (strOp == "parameters") {
        r["parameters"] = Parameters();
    } else if (strOp == "start") {
        r["live"] = StartLive();
    } else if (strOp == "stop") {
        StopLive();
        r["live"] = false;
    } else if (strOp == "afterproc") {
        r = AfterProc(cmd);
    } else if (strOp == "snapshot") {
        r = Snapshot();
    } else if (strOp == "image") {
        r = Image();
    } else if (strOp == "record") {
        r = Record(cmd);
    } else if (strOp == "motor") {
        r = Motor(cmd);
    } else if (strOp == "codes") {
        json list = json::array();
        for (const SKxEyeCodeInfo& c : KxEyeCodeTable())
            list.push_back({{"code", c.nCode}, {"name", c.pszName}, {"meaning", c.pszMeaning}});
        r["codes"] = list;
    } else if (strOp == "status") {
        r = Status();
    } else {
        r = json{{"error", "unknown op \"" + strOp + "\""}};
    }
    r["op"] = strOp;
    if (cmd.contains("id")) r["id"] = cmd["id"];
    Post(nId, r);
}

int CView::Run() {
    lws_set_log_level(LLL_ERR, nullptr);
    static const lws_protocols c_aProtocols[] = {{"kxeye", &CView::Callback, sizeof(SPss), c_nMaxMessage, 0, nullptr, 0},
                                                 {nullptr, nullptr, 0, 0, 0, nullptr, 0}};
    // A page that stops answering pings is dropped after 30 s.
    static const lws_retry_bo_t c_retry = {nullptr, 0, 0, 10, 30, 0};
    lws_context_creation_info info;
    std::memset(&info, 0, sizeof(info));
    info.port = static_cast<int>(m_opts.nPort);
    info.iface = m_opts.strListen.c_str();
    info.protocols = c_aProtocols;
    info.user = this;
    info.retry_and_idle_policy = &c_retry;
    info.gid = -1;
    info.uid = -1;
    if (m_opts.strListen.find(':') == std::string::npos) info.options |= LWS_SERVER_OPTION_DISABLE_IPV6;
    m_pContext = lws_create_context(&info);
    lws_vhost* pVhost = m_pContext ? lws_get_vhost_by_name(m_pContext, "default") : nullptr;
    const int nPort = pVhost ? lws_get_vhost_listen_port(pVhost) : -1;
    if (!m_pContext || nPort <= 0) {
        std::cerr << "kxeye: cannot serve on " << m_opts.strListen << " port " << m_opts.nPort
                  << " (in use, or not an address of this host)\n";
        if (m_pContext) lws_context_destroy(m_pContext);
        return c_nKxEyeExitFailure;
    }
    const bool bV6 = m_opts.strListen.find(':') != std::string::npos;
    const std::string strHost = (bV6 ? "[" + m_opts.strListen + "]" : m_opts.strListen) + ":" + std::to_string(nPort);
    std::printf("kxeye view: http://%s/?token=%s\n", strHost.c_str(), m_strToken.c_str());
    std::printf("Open the address in a browser; Ctrl-C ends.\n");
    std::fflush(stdout);

    struct sigaction sa {}, saOldInt {}, saOldTerm {};
    sa.sa_handler = OnViewInterrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, &saOldInt);
    sigaction(SIGTERM, &sa, &saOldTerm);
    std::signal(SIGPIPE, SIG_IGN);

    m_nServiceTid = ThreadId();
    std::thread worker([this] { Worker(); });
    if (!m_opts.strCamera.empty()) {
        std::lock_guard<std::mutex> lock(m_mJobs);
        m_jobs.emplace_back(0, json{{"op", "open"}, {"camera", m_opts.strCamera}});
        m_cvJobs.notify_one();
    }
    // The worker wakes the loop at least every 250 ms (status), so the stop is seen.
    std::thread ticker([this] {
        m_nTickerTid = ThreadId();
        while (!g_bStop) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            Wake();
        }
        Wake();
    });
    const Clock::time_point tEnd =
        m_opts.dSeconds > 0 ? Clock::now() + std::chrono::milliseconds(static_cast<int64_t>(m_opts.dSeconds * 1000))
                            : Clock::time_point::max();
    while (!g_bStop && Clock::now() < tEnd) {
        if (lws_service(m_pContext, 0) < 0) break;
    }
    g_bStop = true;
    ticker.join();
    {
        std::lock_guard<std::mutex> lock(m_mJobs);
        m_bQuit = true;
    }
    m_cvJobs.notify_all();
    worker.join();
    Close();
    lws_context_destroy(m_pContext);
    m_pContext = nullptr;
    sigaction(SIGINT, &saOldInt, nullptr);
    sigaction(SIGTERM, &saOldTerm, nullptr);
    std::printf("kxeye view: stopped\n");
    return c_nKxEyeExitOk;
}

}  // namespace

CLI::App* KxEyeAddViewCommand(CLI::App& app, SKxEyeViewOptions& opts) {
    CLI::App* p = app.add_subcommand("view", "serve a live viewer page: profile, height map, parameters (Ctrl-C ends)");
    p->add_option("camera", opts.strCamera, "camera to open at once (index, serial, IP address ...)");
    p->add_option("--port", opts.nPort, "TCP port (default 8642; 0: any free port)")->check(CLI::Range(0, 65535));
    p->add_option("--listen", opts.strListen,
                  "address to serve on (default 127.0.0.1); another address lets other hosts in, with the URL's token");
    p->add_option("--out", opts.strOut, "folder for snapshots (default kxeye-view)");
    p->add_option("--seconds", opts.dSeconds, "stop after this many seconds (default: at Ctrl-C)")
        ->check(CLI::Range(0.0, 1e7));
    p->add_option("--status-file", opts.strStatusFile,
                  "write the counters (JSON, as the page's status) to this file once a second, for scripts");
    return p;
}

int KxEyeView(EKxEyeSource eSource, const SKxEyeViewOptions& opts) {
    g_bStop = false;
    CView view(eSource, opts);
    return view.Run();
}

#endif
