// Support of the soak programs: a watchdog over every SDK call, a camera wrapper that keeps a
// ledger of the frame buffers handed out and given back (and a factory that wraps every camera
// object a device makes), an application data sink that keeps blocks for a while and gives them
// back from other threads, device events, and process figures (resident memory, threads).
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#include <sanitizer/common_interface_defs.h>
#endif

#include "kxlasereyedevice.h"
#include "oreyeapi.h"
#include "oreyeapi_testsupport.h"
#include "support/kxforwardcamera.h"
#include "support/kxnetlab.h"

namespace kxsoak {

using Clock = std::chrono::steady_clock;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool c_bSanitized = true;
#else
constexpr bool c_bSanitized = false;
#endif

// Seconds the soak runs: KX_SOAK_SECONDS, else the given default.
inline int SoakSeconds(int nDefault) {
    const char* psz = getenv("KX_SOAK_SECONDS");
    const int n = psz ? atoi(psz) : 0;
    return n > 0 ? n : nDefault;
}

inline long ResidentKiB() {
    long nPages = 0, nResident = 0;
    FILE* f = fopen("/proc/self/statm", "r");
    if (!f) return -1;
    if (fscanf(f, "%ld %ld", &nPages, &nResident) != 2) nResident = -1;
    fclose(f);
    return nResident < 0 ? -1 : nResident * (sysconf(_SC_PAGESIZE) / 1024);
}

inline int ThreadCount() {
    DIR* d = opendir("/proc/self/task");
    if (!d) return -1;
    int n = 0;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n;
}

// The record of an Ethernet camera known by its address alone, as an application keeps it from
// an earlier search: the emulator's default camera (version 8, 1536 x 2048), any identifier.
inline SKxNLEyeDeviceInfoEx EthernetRecord(const std::string& strIp) {
    SKxNLEyeDeviceInfoEx info;
    memset(&info, 0, sizeof info);
    info.eDeviceType = KX_DEVICE_TYPE_LASER_EYE;
    info.nDeviceFlags = c_nKxFlagEthernet | c_nKxFlagLaser | c_nKxFlagLaser2 | c_nKxFlagStandard;
    info.sVideoRes.nFrameWidth = 1536;
    info.sVideoRes.nFrameHeight = 2048;
    info.sVideoRes.nVersion = 8;
    snprintf(info.szConnectText, sizeof info.szConnectText, "%s", strIp.c_str());
    memset(info.byDeviceID, 0xFF, sizeof info.byDeviceID);
    return info;
}

// Fails the whole run when a watched call has not returned within its bound: it names the call
// on stderr (no stack: a stuck thread cannot be unwound from here), kills the lab's programs,
// removes its namespaces and ends the process, since the stuck call can never be joined.
class CWatchdog {
public:
    CWatchdog() : m_thread([this] { Loop(); }) {
        // A crash must not leave the emulators running: kill them (kill() is safe in a signal
        // handler), then die of the same signal. Their namespaces go with the next lab's sweep.
        s_pInstance = this;
        for (int nSig : {SIGSEGV, SIGBUS, SIGABRT, SIGFPE, SIGILL}) {
            struct sigaction sa {};
            sa.sa_handler = &CWatchdog::OnFatal;
            sa.sa_flags = SA_RESETHAND | SA_NODEFER;
            sigaction(nSig, &sa, nullptr);
        }
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        // A sanitizer that halts on a report ends the process without a signal.
        __sanitizer_set_death_callback(&CWatchdog::KillChildren);
#endif
    }
    ~CWatchdog() {
        m_bStop = true;
        m_thread.join();
        s_pInstance = nullptr;
    }
    // What to clean up before a failing exit.
    void SetLab(kxtest::CNetLab* pLab) {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_pLab = pLab;
    }
    void AddChild(pid_t pid) {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_vecChildren.push_back(pid);
        const int n = m_nFatalChildren.load();
        if (n < c_nMaxFatalChildren && pid > 0) {
            m_anFatalChildren[n] = pid;  // written before it is counted: the handler reads only counted ones
            m_nFatalChildren.store(n + 1);
        }
    }
    uint64_t Begin(const std::string& strCall, std::chrono::milliseconds bound) {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_mapCalls[++m_nNext] = SCall{strCall, Clock::now(), bound};
        ++m_nCalls;
        return m_nNext;
    }
    void End(uint64_t nId) {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_mapCalls.erase(nId);
    }
    uint64_t Calls() const { return m_nCalls.load(); }

private:
    static void KillChildren() {
        if (CWatchdog* p = s_pInstance)
            for (int i = 0; i < p->m_nFatalChildren.load(); ++i) {
                const pid_t pid = p->m_anFatalChildren[i];
                if (pid <= 0) continue;
                kill(-pid, SIGKILL);
                kill(pid, SIGKILL);
            }
    }
    static void OnFatal(int nSig) {
        KillChildren();
        raise(nSig);
    }
    static constexpr int c_nMaxFatalChildren = 4096;
    static inline CWatchdog* s_pInstance = nullptr;
    pid_t m_anFatalChildren[c_nMaxFatalChildren] = {};
    std::atomic<int> m_nFatalChildren{0};
    struct SCall {
        std::string strName;
        Clock::time_point tStart;
        std::chrono::milliseconds bound;
    };
    void Loop() {
        while (!m_bStop) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            std::lock_guard<std::mutex> lock(m_mtx);
            const auto tNow = Clock::now();
            for (const auto& [id, c] : m_mapCalls) {
                if (tNow - c.tStart <= c.bound) continue;
                const long nMs = static_cast<long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(tNow - c.tStart).count());
                fprintf(stderr, "soak watchdog: %s has not returned after %ld ms (bound %ld ms)\n",
                        c.strName.c_str(), nMs, static_cast<long>(c.bound.count()));
                fflush(stderr);
                for (pid_t pid : m_vecChildren) {
                    kill(-pid, SIGKILL);
                    kill(pid, SIGKILL);
                }
                if (m_pLab)
                    for (const std::string& ns : m_pLab->Namespaces()) kxtest::NetlabShell("ip netns del " + ns);
                std::_Exit(3);
            }
        }
    }
    std::mutex m_mtx;
    std::map<uint64_t, SCall> m_mapCalls;
    uint64_t m_nNext = 0;
    std::atomic<uint64_t> m_nCalls{0};
    kxtest::CNetLab* m_pLab = nullptr;
    std::vector<pid_t> m_vecChildren;
    std::atomic<bool> m_bStop{false};
    std::thread m_thread;
};

// Runs f() under the watchdog: "name" must return within `bound`.
template <class F>
auto Watched(CWatchdog& wd, const std::string& strName, std::chrono::milliseconds bound, F&& f) {
    struct SEnd {
        CWatchdog& wd;
        uint64_t nId;
        ~SEnd() { wd.End(nId); }
    } end{wd, wd.Begin(strName, bound)};
    return f();
}

// Frame buffers of the camera objects of one device: handed to the frame callback, given back
// with ReleaseFrameBuffer. Shared with the wrappers, which the device deletes at will; a device
// that reconnects by itself makes a new camera object for each attempt, so a buffer is booked by
// camera object (its number in the ledger) and id.
struct SLedger {
    std::mutex mtx;
    std::map<uint64_t, int> mapOut;  // camera object << 32 | buffer id -> times out (never above 1)
    uint64_t nHanded = 0, nReturned = 0;
    uint64_t nHandedTwice = 0, nReturnedUnknown = 0;
    uint32_t nCameras = 0;      // camera objects made
    uint64_t nHandedByOld = 0;  // frames a camera object handed on after a newer one was made
    // What the camera objects counted when they were deleted (EthernetStats): frames handed on
    // whole, and frames given up (packets missing, no free buffer, too large).
    uint64_t nCompleteGone = 0, nLostGone = 0;
    size_t Outstanding() {
        std::lock_guard<std::mutex> lock(mtx);
        return mapOut.size();
    }
};

// Forwards every call to a real camera object and books the frame buffers in a ledger.
class CLedgerCamera : public kxtest::CForwardCamera {
public:
    CLedgerCamera(IOrEyeCamera* pInner, std::shared_ptr<SLedger> pLedger)
        : CForwardCamera(pInner), m_pLedger(std::move(pLedger)) {
        std::lock_guard<std::mutex> lock(m_pLedger->mtx);
        m_nCamera = ++m_pLedger->nCameras;
    }
    ~CLedgerCamera() override {
        OrEyeTest::EthernetStats s{};
        const bool bStats = OrEyeTest::GetEthernetStats(Inner(), &s);
        // The inner object's threads may be in the frame callback until it is gone: it goes
        // while this object's members are still there.
        DeleteInner();
        if (!bStats) return;
        std::lock_guard<std::mutex> lock(m_pLedger->mtx);
        m_pLedger->nCompleteGone += s.nFramesComplete;
        m_pLedger->nLostGone += s.nFramesIncomplete + s.nFramesUnderrun + s.nFramesTooLarge;
    }

    int SetFrameCallback(int a, OrEyeFrameCallback b, void* c) override {
        {
            std::lock_guard<std::mutex> lock(m_mtxCallback);
            m_pfnCallback = b;
            m_pContext = c;
        }
        return CForwardCamera::SetFrameCallback(a, b ? &CLedgerCamera::Thunk : nullptr, b ? this : nullptr);
    }
    int ReleaseFrameBuffer(unsigned int a) override {
        {
            std::lock_guard<std::mutex> lock(m_pLedger->mtx);
            auto it = m_pLedger->mapOut.find(Key(a));
            if (it == m_pLedger->mapOut.end()) {
                ++m_pLedger->nReturnedUnknown;
            } else {
                m_pLedger->mapOut.erase(it);
                ++m_pLedger->nReturned;
            }
        }
        return CForwardCamera::ReleaseFrameBuffer(a);
    }

private:
    uint64_t Key(unsigned int nBufferId) const { return static_cast<uint64_t>(m_nCamera) << 32 | nBufferId; }
    static void Thunk(int nEvent, int nParam, void* pBuffer, unsigned int nLength, unsigned int nBufferId, void* pContext) {
        CLedgerCamera* p = static_cast<CLedgerCamera*>(pContext);
        if (nEvent == c_nOrEyeEventFrame) {
            std::lock_guard<std::mutex> lock(p->m_pLedger->mtx);
            if (p->m_pLedger->mapOut[p->Key(nBufferId)]++ > 0) ++p->m_pLedger->nHandedTwice;
            ++p->m_pLedger->nHanded;
            if (p->m_nCamera < p->m_pLedger->nCameras) ++p->m_pLedger->nHandedByOld;
        }
        OrEyeFrameCallback pfn;
        void* pCtx;
        {
            std::lock_guard<std::mutex> lock(p->m_mtxCallback);
            pfn = p->m_pfnCallback;
            pCtx = p->m_pContext;
        }
        if (pfn) pfn(nEvent, nParam, pBuffer, nLength, nBufferId, pCtx);
    }

    std::shared_ptr<SLedger> m_pLedger;
    uint32_t m_nCamera = 0;
    std::mutex m_mtxCallback;
    OrEyeFrameCallback m_pfnCallback = nullptr;
    void* m_pContext = nullptr;
};

// While it lives, every camera object the library makes (CreateOrEyeApi: a device's Open, also
// on its reconnect thread) is the library's own wrapped in a ledger camera. The soak makes camera
// objects on one thread at a time: the factory is set aside for the moment the library's own
// object is made.
class CLedgerFactory {
public:
    explicit CLedgerFactory(std::shared_ptr<SLedger> pLedger) : m_pLedger(std::move(pLedger)) {
        m_factory = [this](OREYEAPI_TYPE eType) { return Make(eType); };
        OrEyeTest::SetFactory(m_factory);
    }
    ~CLedgerFactory() { OrEyeTest::SetFactory(OrEyeTest::Factory()); }
    CLedgerFactory(const CLedgerFactory&) = delete;
    CLedgerFactory& operator=(const CLedgerFactory&) = delete;

    // The newest camera object made; the device deletes it at will.
    CLedgerCamera* Latest() {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_pLatest;
    }

private:
    IOrEyeCamera* Make(OREYEAPI_TYPE eType) {
        std::lock_guard<std::mutex> lock(m_mtx);
        OrEyeTest::SetFactory(OrEyeTest::Factory());
        IOrEyeCamera* pInner = CreateOrEyeApi(eType);
        OrEyeTest::SetFactory(m_factory);
        if (pInner == nullptr) return nullptr;
        m_pLatest = new CLedgerCamera(pInner, m_pLedger);
        return m_pLatest;
    }

    std::shared_ptr<SLedger> m_pLedger;
    OrEyeTest::Factory m_factory;
    std::mutex m_mtx;
    CLedgerCamera* m_pLatest = nullptr;
};

// The application's data callback: checks the frame order of each capture run, decodes every
// fourth frame, keeps the last four blocks (half the pool of eight) and lets other threads give them back.
class CSink : public IKxLaserDataCallBack {
public:
    ~CSink() { ReleaseAll(); }
    void OnLaserResult(IKxLaserEyeResultBlock* pBlock) override {
        const uint64_t nIndex = pBlock->GetFrameIndex();
        if (m_nFrames.fetch_add(1) % 4 == 0) {
            int32_t nCount = 0;
            pBlock->GetPointData(c_nKxFormatFloat, &nCount);
            if (nCount > 0) ++m_nWithPoints;
        }
        pBlock->AddRef();
        IKxLaserEyeResultBlock* pOld = nullptr;
        {
            std::lock_guard<std::mutex> lock(m_mtx);
            if (m_bHaveLast) {
                if (nIndex <= m_nLast) ++m_nOutOfOrder;
                else m_nGaps += nIndex - m_nLast - 1;
            }
            if (m_bResumeMarked) {
                m_bResumeMarked = m_bLossMarked = false;
                m_vecResumeSteps.push_back(m_bHaveLast ? nIndex - m_nLast : 0);
            } else if (m_bLossMarked) {
                ++m_nAfterLoss;
            }
            m_bHaveLast = true;
            m_nLast = nIndex;
            ++m_nRunFrames;
            m_deqHeld.push_back(pBlock);
            if (m_deqHeld.size() > 4) {
                pOld = m_deqHeld.front();
                m_deqHeld.pop_front();
                ++m_nReleasing;
            }
        }
        if (pOld) {
            pOld->Release();
            --m_nReleasing;
        }
    }
    // A new capture run: order and gaps are counted from its first frame.
    void NewRun() {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_bHaveLast = false;
        m_nGaps = 0;
        m_nRunFrames = 0;
    }
    // Gives back the oldest kept block (from any thread); false when none is kept.
    bool ReleaseOne() {
        IKxLaserEyeResultBlock* p = nullptr;
        {
            std::lock_guard<std::mutex> lock(m_mtx);
            if (m_deqHeld.empty()) return false;
            p = m_deqHeld.front();
            m_deqHeld.pop_front();
            ++m_nReleasing;
        }
        p->Release();
        --m_nReleasing;
        return true;
    }
    // Gives back every kept block, and returns once a block another thread took out meanwhile
    // is given back too: then every buffer of this sink is back.
    void ReleaseAll() {
        while (ReleaseOne()) {
        }
        while (m_nReleasing.load() != 0) std::this_thread::yield();
    }
    uint64_t RunFrames() {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_nRunFrames;
    }
    uint64_t RunGaps() {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_nGaps;
    }
    uint64_t OutOfOrder() {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_nOutOfOrder;
    }
    uint64_t Frames() const { return m_nFrames.load(); }
    uint64_t WithPoints() const { return m_nWithPoints.load(); }

    // A device that reconnects by itself: its loss event (4) and its reconnected event (30), told
    // from the event handler. The device raises event 30 on the frame thread just before it
    // hands on the resumed capture's first frame, whose index step is kept; frames between the
    // two events are counted.
    void MarkLoss() {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_bLossMarked = true;
    }
    void MarkResume() {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_bResumeMarked = true;
    }
    // Index steps at the first frame of each resumed capture (1 + the frames missed).
    std::vector<uint64_t> ResumeSteps() {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_vecResumeSteps;
    }
    uint64_t FramesAfterLoss() {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_nAfterLoss;
    }

private:
    std::mutex m_mtx;
    std::deque<IKxLaserEyeResultBlock*> m_deqHeld;
    bool m_bHaveLast = false;
    uint64_t m_nLast = 0, m_nGaps = 0, m_nRunFrames = 0, m_nOutOfOrder = 0;
    std::atomic<int> m_nReleasing{0};  // blocks taken out of the deque, not yet given back
    bool m_bLossMarked = false, m_bResumeMarked = false;
    uint64_t m_nAfterLoss = 0;
    std::vector<uint64_t> m_vecResumeSteps;
    std::atomic<uint64_t> m_nFrames{0}, m_nWithPoints{0};
};

// Device events: how many of each code came, and when the last one did; the sink, when given,
// hears of losses and reconnects (CSink::MarkLoss, MarkResume).
class CEvents : public IKxDeviceEventHandler {
public:
    explicit CEvents(CSink* pSink = nullptr) : m_pSink(pSink) {}
    void OnDeviceEvent(IKxDevice*, int32_t nEvent) override {
        if (m_pSink && nEvent == c_nKxEventOffline) m_pSink->MarkLoss();
        if (m_pSink && nEvent == c_nKxEventReconnected) m_pSink->MarkResume();
        std::lock_guard<std::mutex> lock(m_mtx);
        SSeen& s = m_mapSeen[nEvent];
        ++s.n;
        s.tLast = Clock::now();
    }
    int Count(int32_t nEvent, Clock::time_point* ptLast = nullptr) {
        std::lock_guard<std::mutex> lock(m_mtx);
        const SSeen& s = m_mapSeen[nEvent];
        if (ptLast) *ptLast = s.tLast;
        return s.n;
    }
    int Offline(Clock::time_point* pt = nullptr) { return Count(c_nKxEventOffline, pt); }

private:
    struct SSeen {
        int n = 0;
        Clock::time_point tLast{};
    };
    CSink* m_pSink;
    std::mutex m_mtx;
    std::map<int32_t, SSeen> m_mapSeen;
};

}  // namespace kxsoak
