// Support of the soak programs: a watchdog over every SDK call, a camera wrapper that keeps a
// ledger of the frame buffers handed out and given back, an application data sink that keeps
// blocks for a while and gives them back from other threads, and process figures (resident
// memory, threads).
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
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

// Frame buffers of one camera object: handed to the frame callback, given back with
// ReleaseFrameBuffer. Shared with the wrapper, which the device deletes at will.
struct SLedger {
    std::mutex mtx;
    std::map<unsigned int, int> mapOut;  // buffer id -> times out (never above 1)
    uint64_t nHanded = 0, nReturned = 0;
    uint64_t nHandedTwice = 0, nReturnedUnknown = 0;
    size_t Outstanding() {
        std::lock_guard<std::mutex> lock(mtx);
        return mapOut.size();
    }
};

// Forwards every call to a real camera object and books the frame buffers in a ledger.
class CLedgerCamera : public IOrEyeCamera {
public:
    CLedgerCamera(IOrEyeCamera* pInner, std::shared_ptr<SLedger> pLedger)
        : m_pInner(pInner), m_pLedger(std::move(pLedger)) {}
    ~CLedgerCamera() override { delete m_pInner; }
    IOrEyeCamera* Inner() { return m_pInner; }

    int SetFrameCallback(int a, OrEyeFrameCallback b, void* c) override {
        {
            std::lock_guard<std::mutex> lock(m_mtxCallback);
            m_pfnCallback = b;
            m_pContext = c;
        }
        return m_pInner->SetFrameCallback(a, b ? &CLedgerCamera::Thunk : nullptr, b ? this : nullptr);
    }
    int ReleaseFrameBuffer(unsigned int a) override {
        {
            std::lock_guard<std::mutex> lock(m_pLedger->mtx);
            auto it = m_pLedger->mapOut.find(a);
            if (it == m_pLedger->mapOut.end()) {
                ++m_pLedger->nReturnedUnknown;
            } else {
                m_pLedger->mapOut.erase(it);
                ++m_pLedger->nReturned;
            }
        }
        return m_pInner->ReleaseFrameBuffer(a);
    }

    int GetVersionText(char* a, int b) override { return m_pInner->GetVersionText(a, b); }
    int ListDevices(unsigned char* a) override { return m_pInner->ListDevices(a); }
    int InitDevice(int a, int b, int c, int d, const char* e) override { return m_pInner->InitDevice(a, b, c, d, e); }
    int EnableStream(int a) override { return m_pInner->EnableStream(a); }
    int WaitStreamFrame(unsigned char* a[3], unsigned int* b, unsigned int* c, unsigned int d) override {
        return m_pInner->WaitStreamFrame(a, b, c, d);
    }
    int GrabFrame(unsigned char* a[3], unsigned int* b, unsigned int* c, unsigned int d) override {
        return m_pInner->GrabFrame(a, b, c, d);
    }
    int SetParam(int a, const void* b, int c) override { return m_pInner->SetParam(a, b, c); }
    int GetParam(int a, void* b, int c) override { return m_pInner->GetParam(a, b, c); }
    int WriteRegister(int a, unsigned int b, const void* c, int d) override { return m_pInner->WriteRegister(a, b, c, d); }
    int GetQMatrix(double* a) override { return m_pInner->GetQMatrix(a); }
    int WriteProduct(int a, const void* b, int c) override { return m_pInner->WriteProduct(a, b, c); }
    int ReadProduct(int a, void* b, int c) override { return m_pInner->ReadProduct(a, b, c); }
    int SetROI(int a, int b, int c, int d, int e, int f) override { return m_pInner->SetROI(a, b, c, d, e, f); }
    int SetROIMode(int a) override { return m_pInner->SetROIMode(a); }
    int EnableDevice(int a) override { return m_pInner->EnableDevice(a); }
    int SetTriggerN(unsigned int a, unsigned int b) override { return m_pInner->SetTriggerN(a, b); }
    int SetImageTransfer(int a, unsigned int b, unsigned int c) override { return m_pInner->SetImageTransfer(a, b, c); }
    int WriteStorage(unsigned int a, const void* b, unsigned int c) override { return m_pInner->WriteStorage(a, b, c); }
    int ReadStorage(unsigned int a, void* b, unsigned int c) override { return m_pInner->ReadStorage(a, b, c); }
    int Search(const unsigned char* a, const unsigned char* b, unsigned char* c) override { return m_pInner->Search(a, b, c); }
    int SelectDevice(const unsigned char* a) override { return m_pInner->SelectDevice(a); }
    int ExecuteCustomCommand(const unsigned short* a, void* b) override { return m_pInner->ExecuteCustomCommand(a, b); }
    int SetLocalIP(const char* a, int b) override { return m_pInner->SetLocalIP(a, b); }
    int SetOptionEx(int a, int b, int c) override { return m_pInner->SetOptionEx(a, b, c); }
    int SetOption(int a, int b) override { return m_pInner->SetOption(a, b); }
    int ExtendedCommand(int a, void* b, int c, void* d, int e) override { return m_pInner->ExtendedCommand(a, b, c, d, e); }
    int SyncROI(int a, int b, int c, int d, int e, int f) override { return m_pInner->SyncROI(a, b, c, d, e, f); }
    int SetFeature(int a, int b, int c) override { return m_pInner->SetFeature(a, b, c); }

private:
    static void Thunk(int nEvent, int nParam, void* pBuffer, unsigned int nLength, unsigned int nBufferId, void* pContext) {
        CLedgerCamera* p = static_cast<CLedgerCamera*>(pContext);
        if (nEvent == c_nOrEyeEventFrame) {
            std::lock_guard<std::mutex> lock(p->m_pLedger->mtx);
            if (p->m_pLedger->mapOut[nBufferId]++ > 0) ++p->m_pLedger->nHandedTwice;
            ++p->m_pLedger->nHanded;
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

    IOrEyeCamera* m_pInner;
    std::shared_ptr<SLedger> m_pLedger;
    std::mutex m_mtxCallback;
    OrEyeFrameCallback m_pfnCallback = nullptr;
    void* m_pContext = nullptr;
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
            m_bHaveLast = true;
            m_nLast = nIndex;
            ++m_nRunFrames;
            m_deqHeld.push_back(pBlock);
            if (m_deqHeld.size() > 4) {
                pOld = m_deqHeld.front();
                m_deqHeld.pop_front();
            }
        }
        if (pOld) pOld->Release();
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
        }
        p->Release();
        return true;
    }
    void ReleaseAll() {
        while (ReleaseOne()) {
        }
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

private:
    std::mutex m_mtx;
    std::deque<IKxLaserEyeResultBlock*> m_deqHeld;
    bool m_bHaveLast = false;
    uint64_t m_nLast = 0, m_nGaps = 0, m_nRunFrames = 0, m_nOutOfOrder = 0;
    std::atomic<uint64_t> m_nFrames{0}, m_nWithPoints{0};
};

// Device events: the time of the last offline event (4).
class CEvents : public IKxDeviceEventHandler {
public:
    void OnDeviceEvent(IKxDevice*, int32_t nEvent) override {
        std::lock_guard<std::mutex> lock(m_mtx);
        if (nEvent == c_nKxEventOffline) {
            ++m_nOffline;
            m_tOffline = Clock::now();
        }
    }
    int Offline(Clock::time_point* pt = nullptr) {
        std::lock_guard<std::mutex> lock(m_mtx);
        if (pt) *pt = m_tOffline;
        return m_nOffline;
    }

private:
    std::mutex m_mtx;
    int m_nOffline = 0;
    Clock::time_point m_tOffline{};
};

}  // namespace kxsoak
