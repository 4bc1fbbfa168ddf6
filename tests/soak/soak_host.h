// The soak's paused host: a second application process, this very program started again with one
// test of its own (test_soak_host.cpp), in the soak's host namespace. It captures from its own
// camera with reconnecting switched on; the soak stops it with SIGSTOP until its camera has
// dropped the session (the camera's heartbeat, 1 s), then lets it run again, several times over
// the run. While the host is stopped and the camera free, another program (a hand-made wire
// client: a service tool on the line while the line PC hung) takes the camera and leaves other
// settings on it, so that the host's reconnect must write its own back. The host checks each
// pause and prints what it measured ("soak host: ..." lines, which the soak copies into its own
// output).
//
// The two processes talk through small files in the soak's scratch folder, each written whole
// (renamed into place):
//   host-ready    host -> soak: the number of the pause it is ready for (capturing, settings set)
//   host-pause-K  soak -> host: pause K is over: "<stop> <drop> <cont> <dropped>", the steady
//                 clock's nanoseconds (one clock for both processes) of the SIGSTOP, of seeing the
//                 camera drop the session, of the SIGCONT; dropped 1 or 0
//   host-end      soak -> host: no more pauses; stop, close and check the books
#pragma once

#include <arpa/inet.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "soak/soak_support.h"
#include "support/kxwireclient.h"

namespace kxsoak {

constexpr const char* c_pszHostTest = "SoakHost.DISABLED_CapturesAcrossHostPauses";
constexpr const char* c_pszHostDirEnv = "KX_SOAK_HOST_DIR";        // the scratch folder
constexpr const char* c_pszHostCameraEnv = "KX_SOAK_HOST_CAMERA";  // the camera's address
constexpr const char* c_pszHostRateEnv = "KX_SOAK_HOST_RATE";      // frames/s

inline std::string HostFile(const std::string& strDir, const std::string& strName) {
    return strDir + "/host-" + strName;
}

inline int64_t SteadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// Writes a file whole: the other process reads all of it or nothing.
inline bool WriteWhole(const std::string& strPath, const std::string& strText) {
    const std::string strTmp = strPath + ".tmp";
    FILE* f = fopen(strTmp.c_str(), "w");
    if (!f) return false;
    const bool bOk = fwrite(strText.data(), 1, strText.size(), f) == strText.size();
    if (fclose(f) != 0 || !bOk) return false;
    return rename(strTmp.c_str(), strPath.c_str()) == 0;
}

// What the other program leaves on the camera during a pause: never a setting of the host's.
struct SStrangerSettings {
    static constexpr uint16_t nExpose = 4321, nThreshold = 99, nRate = 17, nGap = 9;
};

// Pauses over a soak of nSeconds: about one every 7 s, at least 3, at most 1000.
inline int PlannedPauses(int nSeconds) { return std::clamp(nSeconds / 7, 3, 1000); }

inline size_t CountOf(const std::string& strText, const std::string& strWhat) {
    size_t n = 0;
    for (size_t at = strText.find(strWhat); at != std::string::npos; at = strText.find(strWhat, at + 1)) ++n;
    return n;
}

// The soak's side: starts the host process, pauses it on a thread of its own, ends it.
class CPausedHost {
public:
    // Bounds: the host ready for a pause (open, capture, settings), the camera dropping the
    // session once the host is stopped (heartbeat 1 s), the host's end (final checks, close).
    static constexpr auto c_tReady = std::chrono::seconds(60);
    static constexpr auto c_tDrop = std::chrono::milliseconds(3000);
    static constexpr auto c_tEnd = std::chrono::seconds(60);

    CPausedHost(kxtest::CNetLab& lab, CWatchdog& watchdog, std::string strDir) : m_lab(lab), m_watchdog(watchdog), m_strDir(std::move(strDir)) {}
    ~CPausedHost() {
        m_bAbort = true;
        if (m_thread.joinable()) m_thread.join();
    }
    CPausedHost(const CPausedHost&) = delete;
    CPausedHost& operator=(const CPausedHost&) = delete;

    // Starts the host in namespace `ns` against the camera at `strCamera` (whose emulator logs to
    // strCameraLog), and the pauses: nPauses spread over nSeconds.
    void Start(const std::string& ns, const std::string& strCamera, uint16_t nRate, const std::string& strCameraLog,
               int nSeconds, int nPauses) {
        m_strNs = ns;
        m_strCameraLog = strCameraLog;
        in_addr addr{};
        inet_pton(AF_INET, strCamera.c_str(), &addr);
        m_nCamera = ntohl(addr.s_addr);
        char szExe[4096] = {};
        const ssize_t n = readlink("/proc/self/exe", szExe, sizeof szExe - 1);
        if (n <= 0) {
            m_strFailure = "cannot read /proc/self/exe";
            return;
        }
        m_pid = m_lab.Spawn(ns,
                            {"env", std::string(c_pszHostDirEnv) + "=" + m_strDir,
                             std::string(c_pszHostCameraEnv) + "=" + strCamera,
                             std::string(c_pszHostRateEnv) + "=" + std::to_string(nRate), std::string(szExe, n),
                             "--gtest_also_run_disabled_tests", std::string("--gtest_filter=") + c_pszHostTest},
                            HostFile(m_strDir, "output.log"));
        m_watchdog.AddChild(m_pid);
        m_thread = std::thread([=, this] { Pauses(nSeconds, nPauses); });
    }

    // Waits for the planned pauses, tells the host to end and waits for it (bounded); answers its
    // exit status (-1: killed or never started) and, in *pOutput, what it printed.
    int Finish(std::string* pOutput) {
        if (m_thread.joinable()) m_thread.join();
        WriteWhole(HostFile(m_strDir, "end"), "end\n");
        int nStatus = -1;
        if (m_pid > 0) {
            if (!kxtest::WaitFor([&] { return Exited(); }, c_tEnd)) {
                Fail("the host did not end within " + std::to_string(c_tEnd.count()) + " s");
                m_lab.Stop(m_pid, SIGKILL);
            }
            std::lock_guard<std::mutex> lock(m_mtx);
            if (m_bExited && WIFEXITED(m_nWaitStatus)) nStatus = WEXITSTATUS(m_nWaitStatus);
        }
        if (pOutput) *pOutput = kxtest::ReadFile(HostFile(m_strDir, "output.log"));
        return nStatus;
    }

    int Pauses() const { return m_nPauses.load(); }
    // Why the pauses ended early; empty when they did not.
    std::string Failure() {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_strFailure;
    }
    // Longest time the host was stopped, ms.
    int LongestStopMs() const { return m_nLongestStopMs.load(); }

private:
    bool Exited() {
        std::lock_guard<std::mutex> lock(m_mtx);
        if (!m_bExited && m_pid > 0 && waitpid(m_pid, &m_nWaitStatus, WNOHANG) == m_pid) m_bExited = true;
        return m_bExited;
    }
    void Fail(const std::string& strWhy) {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_strFailure += (m_strFailure.empty() ? "" : "; ") + strWhy;
    }
    // Sleeps until t, or less when the soak ends early.
    void SleepUntil(Clock::time_point t) {
        while (!m_bAbort && Clock::now() < t) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    // Another program takes the free camera, writes its own settings and lets go; "" or what failed.
    std::string Stranger() {
        kxtest::CInNetns in(m_strNs);
        kxtest::CWireClient c(m_nCamera);
        auto u16 = [](uint16_t v) { return std::vector<uint8_t>{static_cast<uint8_t>(v & 0xFF), static_cast<uint8_t>(v >> 8)}; };
        std::vector<uint8_t> vecExpose = u16(0);
        const std::vector<uint8_t> v = u16(SStrangerSettings::nExpose);
        vecExpose.insert(vecExpose.end(), v.begin(), v.end());
        int n = 0;
        if ((n = c.Connect()) != 0) return "connect: " + std::to_string(n);
        if ((n = c.Request(OrWire::Op_WriteRegister, {1, 0}, vecExpose)) != 0) return "exposure: " + std::to_string(n);
        if ((n = c.Request(OrWire::Op_SetParam, {48}, u16(SStrangerSettings::nThreshold))) != 0) return "threshold: " + std::to_string(n);
        if ((n = c.Request(OrWire::Op_SetParam, {34}, u16(SStrangerSettings::nRate))) != 0) return "frame rate: " + std::to_string(n);
        if ((n = c.Request(OrWire::Op_SetParam, {10}, u16(SStrangerSettings::nGap))) != 0) return "gap: " + std::to_string(n);
        if ((n = c.Request(OrWire::Op_Disconnect, {})) != 0) return "disconnect: " + std::to_string(n);
        return "";
    }

    void Pauses(int nSeconds, int nPauses) {
        const auto tStart = Clock::now();
        const auto tEvery = std::chrono::milliseconds(nSeconds * 1000LL / nPauses);
        const std::string strReady = HostFile(m_strDir, "ready");
        for (int k = 1; k <= nPauses && !m_bAbort; ++k) {
            const bool bReady = kxtest::WaitFor(
                [&] { return m_bAbort || Exited() || kxtest::ReadFile(strReady) == std::to_string(k) + "\n"; }, c_tReady);
            if (m_bAbort) return;
            if (!bReady || Exited()) {
                Fail("the host was not ready for pause " + std::to_string(k) + (Exited() ? " (it ended)" : ""));
                return;
            }
            SleepUntil(tStart + (k - 1) * tEvery);
            if (m_bAbort) return;
            // Stopped until the camera says it let the host go, and a little longer.
            const size_t nDropped = CountOf(kxtest::ReadFile(m_strCameraLog), "heartbeat missed");
            const int64_t nStop = SteadyNs();
            kill(-m_pid, SIGSTOP);
            const bool bDropped = kxtest::WaitFor(
                [&] { return CountOf(kxtest::ReadFile(m_strCameraLog), "heartbeat missed") > nDropped; }, c_tDrop);
            const int64_t nDrop = SteadyNs();
            const std::string strStranger = bDropped ? Stranger() : "";
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            const int64_t nCont = SteadyNs();
            kill(-m_pid, SIGCONT);
            m_nLongestStopMs = std::max<int>(m_nLongestStopMs.load(), static_cast<int>((nCont - nStop) / 1000000));
            WriteWhole(HostFile(m_strDir, "pause-" + std::to_string(k)),
                       std::to_string(nStop) + " " + std::to_string(nDrop) + " " + std::to_string(nCont) + " " +
                           (bDropped ? "1" : "0") + "\n");
            if (!bDropped) {
                Fail("pause " + std::to_string(k) + ": the camera kept the host's session for " +
                     std::to_string(c_tDrop.count()) + " ms");
                return;
            }
            if (!strStranger.empty()) {
                Fail("pause " + std::to_string(k) + ": the other program could not set the camera (" + strStranger + ")");
                return;
            }
            ++m_nPauses;
        }
    }

    kxtest::CNetLab& m_lab;
    CWatchdog& m_watchdog;
    std::string m_strDir, m_strNs, m_strCameraLog;
    uint32_t m_nCamera = 0;
    pid_t m_pid = -1;
    std::thread m_thread;
    std::atomic<bool> m_bAbort{false};
    std::atomic<int> m_nPauses{0}, m_nLongestStopMs{0};
    std::mutex m_mtx;
    bool m_bExited = false;
    int m_nWaitStatus = 0;
    std::string m_strFailure;
};

}  // namespace kxsoak
