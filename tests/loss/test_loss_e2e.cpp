// A lost camera end to end: the library captures in the host namespace from kxeye-emulator in a
// camera namespace; the emulator is killed (and started again) or muted (and unmuted) mid-capture.
// Reconnect off: a clean state (offline codes at once, StopCapture and Close end the capture, one
// event 4). Reconnect on: the device takes the camera back, writes the settings back, resumes the
// capture into the same callback and counts the frames missed. Times go to the test's properties.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kxkernel.h"
#include "kxlasereyedevice.h"
#include "oreyeapi.h"
#include "support/kxemulab.h"

using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;
using kxtest::ReadFile;
using kxtest::WaitFor;

const char* const c_pszCamera =
    R"([{"ip": "192.0.2.10/24", "mac": "02:4b:58:00:00:10", "wire_id": "4b58000000000010"}])";

int Ms(Clock::duration d) { return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count()); }

class CFrames : public IKxLaserDataCallBack {
public:
    void OnLaserResult(IKxLaserEyeResultBlock* pBlock) override {
        std::lock_guard<std::mutex> lock(m);
        vecIndex.push_back(pBlock->GetFrameIndex());
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(m);
        return vecIndex.size();
    }
    std::vector<uint64_t> Indexes() {
        std::lock_guard<std::mutex> lock(m);
        return vecIndex;
    }
    std::mutex m;
    std::vector<uint64_t> vecIndex;
};

class CEvents : public IKxDeviceEventHandler {
public:
    void OnDeviceEvent(IKxDevice*, int32_t nEvent) override {
        std::lock_guard<std::mutex> lock(m);
        vec.emplace_back(nEvent, Clock::now());
    }
    // Time of the nth event `nCode`, or false.
    bool Seen(int32_t nCode, Clock::time_point* pt = nullptr, size_t nth = 1) {
        std::lock_guard<std::mutex> lock(m);
        size_t n = 0;
        for (auto& e : vec)
            if (e.first == nCode && ++n == nth) {
                if (pt) *pt = e.second;
                return true;
            }
        return false;
    }
    size_t Count(int32_t nCode) {
        std::lock_guard<std::mutex> lock(m);
        size_t n = 0;
        for (auto& e : vec) n += e.first == nCode;
        return n;
    }
    std::mutex m;
    std::vector<std::pair<int32_t, Clock::time_point>> vec;
};

class LossE2E : public kxtest::EmulatorTest {
protected:
    void SetUp() override {
        EmulatorTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        m_pLab->Link(m_host, "eth0", "192.0.2.1/24", m_cam, "eth0", "");
        m_strFifo = m_dir + "/faults";
        ASSERT_TRUE(KxKernel::KxCreateMemPool(&m_pMemPool));
        ASSERT_TRUE(KxKernel::KxCreateSurfacePool(&m_pSurfacePool));
        m_pEvents = new CEvents;
    }
    void TearDown() override {
        if (m_pDevice) {
            m_pDevice->Close();
            m_pDevice->Release();
        }
        if (m_pEvents) m_pEvents->Release();
        if (m_pSurfacePool) m_pSurfacePool->Release();
        if (m_pMemPool) m_pMemPool->Release();
        EmulatorTest::TearDown();
    }
    pid_t Start(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args = {"--storage-dir", m_dir, "--fault-fifo", m_strFifo, "--heartbeat-ms", "1000"};
        args.insert(args.end(), extra.begin(), extra.end());
        return StartEmulator(c_pszCamera, args);
    }
    void Fault(const std::string& strLine) {
        // The emulator opens its FIFO on a thread of its own, just after it starts serving.
        int fd = -1;
        WaitFor([&] { return (fd = open(m_strFifo.c_str(), O_WRONLY | O_NONBLOCK)) >= 0; }, std::chrono::milliseconds(3000));
        ASSERT_GE(fd, 0);
        const std::string s = strLine + "\n";
        EXPECT_EQ(write(fd, s.data(), s.size()), static_cast<ssize_t>(s.size()));
        close(fd);
    }
    // Opens the camera through the SDK and streams at 100 frames/s into m_frames.
    void OpenAndCapture() {
        SKxNLEyeDeviceInfoEx info;
        memset(&info, 0, sizeof info);
        info.eDeviceType = 2;
        info.nDeviceFlags = 0x1122;
        info.sVideoRes.nFrameWidth = 1536;
        info.sVideoRes.nFrameHeight = 2048;
        info.sVideoRes.nVersion = 8;
        snprintf(info.szConnectText, sizeof info.szConnectText, "192.0.2.10");
        memset(info.byDeviceID, 0xFF, 8);
        ASSERT_TRUE(KxCreateLaserEyeDevice(&info, m_pSurfacePool, m_pMemPool, &m_pDevice));
        ASSERT_EQ(0, m_pDevice->Open(0));
        m_pDevice->SetEventHandler(m_pEvents);
        ASSERT_EQ(0, m_pDevice->SetFrameRate(100));
        ASSERT_EQ(0, m_pDevice->SetExpose(0, 321));
        ASSERT_EQ(0, m_pDevice->SetLaserThres(77));
    }
    IKxLaserEyeDeviceReconnect* Re() { return static_cast<IKxLaserEyeDeviceReconnect*>(m_pDevice); }
    // Exposure and threshold as the camera has them now (its information block).
    std::pair<int, int> CameraSettings() {
        uint8_t ab[52] = {};
        if (m_pDevice->GetCoreEye()->GetParam(54, ab, 52) != 0) return {-1, -1};
        return {ab[2] | ab[3] << 8, ab[36] | ab[37] << 8};
    }

    std::string m_strFifo;
    IKxMemPool* m_pMemPool = nullptr;
    IKxSurfacePool* m_pSurfacePool = nullptr;
    IKxLaserEyeDevice* m_pDevice = nullptr;
    CEvents* m_pEvents = nullptr;
    CFrames m_frames;
};

// Reconnect off (the default): the emulator killed mid-capture gives one event 4; every operation
// then answers KX_E_OFFLINE at once; StopCapture ends the capture with that code; Close leaves
// IsCapturing false; a new Open after the camera is back captures again.
TEST_F(LossE2E, KillWithReconnectOffLeavesACleanState) {
    const pid_t pid = Start();
    kxtest::CInNetns in(m_host);
    ASSERT_NO_FATAL_FAILURE(OpenAndCapture());
    EXPECT_FALSE(Re()->IsReconnectEnabled());
    ASSERT_EQ(0, m_pDevice->StartCapture(0, &m_frames, nullptr));
    ASSERT_TRUE(WaitFor([&] { return m_frames.Count() >= 20; }, 10s));
    const auto tKill = Clock::now();
    m_pLab->Stop(pid, SIGKILL);
    Clock::time_point tLost;
    ASSERT_TRUE(WaitFor([&] { return m_pEvents->Seen(c_nKxEventOffline, &tLost); }, 5s));
    RecordProperty("loss_reported_ms", Ms(tLost - tKill));
    const auto t0 = Clock::now();
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(KX_E_OFFLINE, m_pDevice->SetExpose(0, 100));
        EXPECT_EQ(KX_E_OFFLINE, m_pDevice->SetFrameRate(50));
    }
    RecordProperty("twenty_offline_answers_ms", Ms(Clock::now() - t0));
    EXPECT_TRUE(m_pDevice->IsCapturing());
    EXPECT_EQ(KX_E_OFFLINE, m_pDevice->StopCapture());
    EXPECT_FALSE(m_pDevice->IsCapturing());
    m_pDevice->Close();
    EXPECT_FALSE(m_pDevice->IsCapturing());
    EXPECT_EQ(1u, m_pEvents->Count(c_nKxEventOffline));
    EXPECT_EQ(0u, m_pEvents->Count(c_nKxEventReconnected));
    Start();
    ASSERT_EQ(0, m_pDevice->Open(0));
    const size_t nBefore = m_frames.Count();
    ASSERT_EQ(0, m_pDevice->StartCapture(0, &m_frames, nullptr));
    EXPECT_TRUE(WaitFor([&] { return m_frames.Count() >= nBefore + 10; }, 10s));
    EXPECT_EQ(0, m_pDevice->StopCapture());
}

// Reconnect on: the emulator killed mid-capture and started again. The device raises event 4,
// takes the camera back, writes the exposure and threshold back, resumes the capture into the
// same callback, raises c_nKxEventReconnected and counts the frames missed; the frame index
// goes on across the outage with that gap.
TEST_F(LossE2E, KillAndRestartWithReconnectOnResumesTheCapture) {
    const pid_t pid = Start();
    kxtest::CInNetns in(m_host);
    ASSERT_NO_FATAL_FAILURE(OpenAndCapture());
    ASSERT_EQ(0, Re()->EnableReconnect(true, 200, 30000));
    ASSERT_EQ(0, m_pDevice->StartCapture(0, &m_frames, nullptr));
    ASSERT_TRUE(WaitFor([&] { return m_frames.Count() >= 20; }, 10s));
    m_pLab->Stop(pid, SIGKILL);
    ASSERT_TRUE(WaitFor([&] { return m_pEvents->Seen(c_nKxEventOffline); }, 5s));
    const size_t nAtLoss = m_frames.Count();
    EXPECT_EQ(KX_E_OFFLINE, m_pDevice->SetGap(1));
    std::this_thread::sleep_for(500ms);
    const auto tBack = Clock::now();
    Start();
    Clock::time_point tResumed;
    ASSERT_TRUE(WaitFor([&] { return m_pEvents->Seen(c_nKxEventReconnected, &tResumed); }, 15s));
    RecordProperty("resumed_after_camera_back_ms", Ms(tResumed - tBack));
    ASSERT_TRUE(WaitFor([&] { return m_frames.Count() >= nAtLoss + 10; }, 10s));
    EXPECT_TRUE(m_pDevice->IsCapturing());
    SKxReconnectState st{};
    ASSERT_EQ(0, Re()->GetReconnectState(&st));
    EXPECT_EQ(0u, st.nState);
    EXPECT_EQ(1u, st.nLosses);
    EXPECT_EQ(1u, st.nReconnects);
    EXPECT_GT(st.nFramesMissed, 0u);
    RecordProperty("frames_missed", static_cast<int>(st.nFramesMissed));
    RecordProperty("outage_ms", static_cast<int>(st.nOutageMs));
    const std::vector<uint64_t> idx = m_frames.Indexes();
    EXPECT_EQ(idx[nAtLoss] - idx[nAtLoss - 1], st.nFramesMissed + 1);
    for (size_t i = 1; i < idx.size(); ++i) ASSERT_GT(idx[i], idx[i - 1]) << i;
    EXPECT_EQ(0, m_pDevice->StopCapture());
    EXPECT_EQ(std::make_pair(321, 77), CameraSettings());
    EXPECT_EQ(1u, m_pEvents->Count(c_nKxEventOffline));
}

// Reconnect on: the camera muted for 2 s mid-capture (its session to this host ends after its
// 1 s heartbeat), then unmuted: the device takes it back and the capture goes on.
TEST_F(LossE2E, MuteWithReconnectOnResumesTheCapture) {
    Start();
    kxtest::CInNetns in(m_host);
    ASSERT_NO_FATAL_FAILURE(OpenAndCapture());
    ASSERT_EQ(0, Re()->EnableReconnect(true, 200, 30000));
    ASSERT_EQ(0, m_pDevice->StartCapture(0, &m_frames, nullptr));
    ASSERT_TRUE(WaitFor([&] { return m_frames.Count() >= 20; }, 10s));
    ASSERT_NO_FATAL_FAILURE(Fault("mute on"));
    ASSERT_TRUE(WaitFor([&] { return m_pEvents->Seen(c_nKxEventOffline); }, 5s));
    const size_t nAtLoss = m_frames.Count();
    std::this_thread::sleep_for(1s);
    const auto tBack = Clock::now();
    ASSERT_NO_FATAL_FAILURE(Fault("mute off"));
    Clock::time_point tResumed;
    ASSERT_TRUE(WaitFor([&] { return m_pEvents->Seen(c_nKxEventReconnected, &tResumed); }, 15s)) << ReadFile(m_log);
    RecordProperty("resumed_after_camera_back_ms", Ms(tResumed - tBack));
    ASSERT_TRUE(WaitFor([&] { return m_frames.Count() >= nAtLoss + 10; }, 10s));
    SKxReconnectState st{};
    ASSERT_EQ(0, Re()->GetReconnectState(&st));
    EXPECT_EQ(1u, st.nReconnects);
    RecordProperty("frames_missed", static_cast<int>(st.nFramesMissed));
    EXPECT_EQ(0, m_pDevice->StopCapture());
    EXPECT_EQ(std::make_pair(321, 77), CameraSettings());
}

// The camera's link set down mid-capture and up again 1.5 s later. Reconnect off: a clean state
// and one event 4. Reconnect on: the capture resumes with the settings back.
TEST_F(LossE2E, LinkDownAndUpWithReconnectOffAndOn) {
    Start();
    kxtest::CInNetns in(m_host);
    ASSERT_NO_FATAL_FAILURE(OpenAndCapture());
    for (bool bReconnect : {false, true}) {
        SCOPED_TRACE(bReconnect ? "reconnect on" : "reconnect off");
        ASSERT_EQ(0, Re()->EnableReconnect(bReconnect, 200, 30000));
        ASSERT_EQ(0, m_pDevice->StartCapture(0, &m_frames, nullptr));
        const size_t nStart = m_frames.Count();
        ASSERT_TRUE(WaitFor([&] { return m_frames.Count() >= nStart + 20; }, 10s));
        const size_t nLossesBefore = m_pEvents->Count(c_nKxEventOffline);
        ASSERT_EQ(0, m_pLab->Exec(m_cam, "ip link set eth0 down"));
        ASSERT_TRUE(WaitFor([&] { return m_pEvents->Count(c_nKxEventOffline) > nLossesBefore; }, 5s));
        std::this_thread::sleep_for(1500ms);
        ASSERT_EQ(0, m_pLab->Exec(m_cam, "ip link set eth0 up"));
        if (!bReconnect) {
            EXPECT_EQ(KX_E_OFFLINE, m_pDevice->SetGap(1));
            EXPECT_EQ(KX_E_OFFLINE, m_pDevice->StopCapture());
            EXPECT_FALSE(m_pDevice->IsCapturing());
            m_pDevice->Close();
            // The camera lets go of the old session after its heartbeat (1 s): until then -10008.
            ASSERT_TRUE(WaitFor([&] {
                if (m_pDevice->Open(0) == 0) return true;
                m_pDevice->Close();
                return false;
            }, 10s));
            ASSERT_EQ(0, m_pDevice->SetFrameRate(100));
            continue;
        }
        ASSERT_TRUE(WaitFor([&] { return m_pEvents->Seen(c_nKxEventReconnected); }, 15s)) << ReadFile(m_log);
        const size_t nBack = m_frames.Count();
        ASSERT_TRUE(WaitFor([&] { return m_frames.Count() >= nBack + 10; }, 10s));
        EXPECT_EQ(0, m_pDevice->StopCapture());
        EXPECT_EQ(std::make_pair(321, 77), CameraSettings());
    }
}

// Reconnect off: a muted camera gives one event 4 and the offline answers; after the mute the
// device stays offline until Close and Open.
TEST_F(LossE2E, MuteWithReconnectOffStaysOfflineUntilReopened) {
    Start();
    kxtest::CInNetns in(m_host);
    ASSERT_NO_FATAL_FAILURE(OpenAndCapture());
    ASSERT_EQ(0, m_pDevice->StartCapture(0, &m_frames, nullptr));
    ASSERT_TRUE(WaitFor([&] { return m_frames.Count() >= 20; }, 10s));
    ASSERT_NO_FATAL_FAILURE(Fault("mute on"));
    ASSERT_TRUE(WaitFor([&] { return m_pEvents->Seen(c_nKxEventOffline); }, 5s));
    ASSERT_NO_FATAL_FAILURE(Fault("mute off"));
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(KX_E_OFFLINE, m_pDevice->SetExpose(0, 100));
    EXPECT_FALSE(m_pDevice->CheckOnline());
    EXPECT_EQ(KX_E_OFFLINE, m_pDevice->StopCapture());
    m_pDevice->Close();
    EXPECT_FALSE(m_pDevice->IsCapturing());
    ASSERT_TRUE(WaitFor([&] {
        if (m_pDevice->Open(0) == 0) return true;
        m_pDevice->Close();
        return false;
    }, 10s));
    EXPECT_EQ(0, m_pDevice->SetExpose(0, 100));
    EXPECT_EQ(1u, m_pEvents->Count(c_nKxEventOffline));
}

// Reconnect on, but the camera never comes back: after the bound the device gives up with
// c_nKxEventReconnectFailed and stays offline; StopCapture and Close still end the capture.
TEST_F(LossE2E, ReconnectGivesUpAfterItsBound) {
    const pid_t pid = Start();
    kxtest::CInNetns in(m_host);
    ASSERT_NO_FATAL_FAILURE(OpenAndCapture());
    ASSERT_EQ(0, Re()->EnableReconnect(true, 200, 2000));
    ASSERT_EQ(0, m_pDevice->StartCapture(0, &m_frames, nullptr));
    ASSERT_TRUE(WaitFor([&] { return m_frames.Count() >= 5; }, 10s));
    m_pLab->Stop(pid, SIGKILL);
    ASSERT_TRUE(WaitFor([&] { return m_pEvents->Seen(c_nKxEventReconnectFailed); }, 15s));
    SKxReconnectState st{};
    ASSERT_EQ(0, Re()->GetReconnectState(&st));
    EXPECT_EQ(2u, st.nState);
    EXPECT_GT(st.nAttempts, 0u);
    EXPECT_EQ(KX_E_OFFLINE, m_pDevice->SetGap(1));
    EXPECT_EQ(KX_E_OFFLINE, m_pDevice->StopCapture());
    EXPECT_FALSE(m_pDevice->IsCapturing());
}

}  // namespace

namespace {

// kxeye scan in the host namespace; the emulator killed after some frames. Without --reconnect:
// one clear line at the loss, the frames written, exit status 4. With --reconnect and the
// emulator started again: the scan waits, goes on into the same files and ends normally.
class ScanLossE2E : public LossE2E {
protected:
    // Starts the scan in the background; its output goes to m_dir/<name>.out, its status to .rc.
    // Answers the process group it runs in.
    pid_t StartScan(const std::string& strName, const std::string& strArgs) {
        const std::string strOut = m_dir + "/" + strName;
        return m_pLab->Spawn(m_host, {"sh", "-c", "env KXEYE_VIRTUAL_CARDS='*' " + std::string(KXEYE_PATH) +
                                               " --source ethernet scan 192.0.2.10 --out " + strOut + " " + strArgs +
                                               " --json > " + strOut + ".out 2>&1; echo $? > " + strOut + ".rc"});
    }
    std::string Output(const std::string& strName) { return ReadFile(m_dir + "/" + strName + ".out"); }
    int Status(const std::string& strName) {
        const std::string s = ReadFile(m_dir + "/" + strName + ".rc");
        return s.empty() ? -1 : std::stoi(s);
    }
    bool WaitStatus(const std::string& strName, std::chrono::milliseconds limit) {
        return WaitFor([&] { return !ReadFile(m_dir + "/" + strName + ".rc").empty(); }, limit);
    }
    size_t Frames(const std::string& strLog) {
        size_t n = 0;
        for (size_t at = strLog.find("stream on"); at != std::string::npos; at = strLog.find("stream on", at + 1)) ++n;
        return n;
    }
};

TEST_F(ScanLossE2E, LostCameraEndsTheScanWithOneClearLineAndStatus4) {
    const pid_t pid = Start();
    kxtest::NetlabShell("mkdir -p " + m_dir + "/lost");
    StartScan("lost", "--seconds 60 --set frame-rate=50");
    ASSERT_TRUE(WaitFor([&] { return Frames(ReadFile(m_log)) >= 1; }, 15s)) << ReadFile(m_log);
    std::this_thread::sleep_for(1500ms);
    m_pLab->Stop(pid, SIGKILL);
    ASSERT_TRUE(WaitStatus("lost", 20s)) << Output("lost");
    const std::string strOut = Output("lost");
    EXPECT_EQ(4, Status("lost")) << strOut;
    const size_t nAt = strOut.find("kxeye: camera 192.0.2.10 went offline");
    if (nAt != std::string::npos) RecordProperty("loss_line", strOut.substr(nAt, strOut.find('\n', nAt) - nAt));
    EXPECT_NE(strOut.find("kxeye: camera 192.0.2.10 went offline at frame "), std::string::npos) << strOut;
    EXPECT_NE(strOut.find("; check cable and power, then kxeye doctor 192.0.2.10"), std::string::npos) << strOut;
    EXPECT_NE(strOut.find("\"lost\": true"), std::string::npos) << strOut;
    EXPECT_EQ(strOut.find("\"framesLost\": 0,"), std::string::npos) << strOut;
    EXPECT_EQ(strOut.find("StopCapture failed"), std::string::npos) << strOut;
}

TEST_F(ScanLossE2E, ReconnectWaitsForTheCameraAndGoesOn) {
    const pid_t pid = Start();
    kxtest::NetlabShell("mkdir -p " + m_dir + "/back");
    StartScan("back", "--seconds 12 --set frame-rate=50 --reconnect");
    ASSERT_TRUE(WaitFor([&] { return Frames(ReadFile(m_log)) >= 1; }, 15s)) << ReadFile(m_log);
    std::this_thread::sleep_for(1500ms);
    m_pLab->Stop(pid, SIGKILL);
    ASSERT_TRUE(WaitFor([&] { return Output("back").find("waiting for the camera") != std::string::npos; }, 10s))
        << Output("back");
    Start();
    ASSERT_TRUE(WaitStatus("back", 40s)) << Output("back");
    const std::string strOut = Output("back");
    EXPECT_EQ(0, Status("back")) << strOut;
    const size_t nAt = strOut.find("kxeye: camera 192.0.2.10 is back");
    if (nAt != std::string::npos) RecordProperty("back_line", strOut.substr(nAt, strOut.find('\n', nAt) - nAt));
    EXPECT_NE(strOut.find("kxeye: camera 192.0.2.10 is back after "), std::string::npos) << strOut;
    EXPECT_NE(strOut.find("\"reconnects\": 1"), std::string::npos) << strOut;
    EXPECT_NE(strOut.find("\"lost\": false"), std::string::npos) << strOut;
}

// The host process stopped past the camera's heartbeat (a debugger, a swapped-out machine): the
// camera drops its session. The library does not take control again behind the scan's back: the
// loss is told (status 4 without --reconnect); with --reconnect the device opens the camera again
// and the scan goes on.
TEST_F(ScanLossE2E, HostPausedPastTheHeartbeatIsALossNotASilentReconnect) {
    Start();
    for (const bool bReconnect : {false, true}) {
        SCOPED_TRACE(bReconnect ? "reconnect on" : "reconnect off");
        const std::string strName = bReconnect ? "paused-on" : "paused-off";
        kxtest::NetlabShell("mkdir -p " + m_dir + "/" + strName);
        const size_t nMissed0 = ReadFile(m_log).find("heartbeat missed") == std::string::npos ? 0 : 1;
        const pid_t pid = StartScan(strName, std::string("--seconds 8 --set frame-rate=50") + (bReconnect ? " --reconnect" : ""));
        ASSERT_TRUE(WaitFor([&] { return Frames(ReadFile(m_log)) >= (bReconnect ? 2u : 1u); }, 15s)) << ReadFile(m_log);
        std::this_thread::sleep_for(1500ms);
        kill(-pid, SIGSTOP);
        const bool bDropped = WaitFor(
            [&] {
                const std::string strLog = ReadFile(m_log);
                size_t n = 0;
                for (size_t at = strLog.find("heartbeat missed"); at != std::string::npos; at = strLog.find("heartbeat missed", at + 1)) ++n;
                return n > nMissed0;
            },
            5s);
        std::this_thread::sleep_for(200ms);
        kill(-pid, SIGCONT);
        ASSERT_TRUE(bDropped) << ReadFile(m_log);
        ASSERT_TRUE(WaitStatus(strName, 40s)) << Output(strName);
        const std::string strOut = Output(strName);
        if (bReconnect) {
            EXPECT_EQ(0, Status(strName)) << strOut;
            EXPECT_NE(strOut.find("kxeye: camera 192.0.2.10 is back after "), std::string::npos) << strOut;
            EXPECT_NE(strOut.find("\"reconnects\": 1"), std::string::npos) << strOut;
        } else {
            EXPECT_EQ(4, Status(strName)) << strOut;
            EXPECT_NE(strOut.find("kxeye: camera 192.0.2.10 went offline"), std::string::npos) << strOut;
            EXPECT_NE(strOut.find("dropped this host's session"), std::string::npos) << strOut;
        }
    }
}

}  // namespace

namespace {
// The camera's refusal while another host holds it is explained by `kxeye codes` (no network).
TEST(KxeyeCodes, AccessDeniedIsExplained) {
    std::string strOut;
    ASSERT_EQ(0, kxtest::NetlabShell(std::string(KXEYE_PATH) + " codes", &strOut));
    EXPECT_NE(strOut.find("-10008"), std::string::npos) << strOut;
    EXPECT_NE(strOut.find("controlled by another program or host; if one just ended, try again in 3 s"),
              std::string::npos)
        << strOut;
}
}  // namespace
