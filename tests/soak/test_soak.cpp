// Soak: two cameras (kxeye-emulator, 2 % stream loss each) behind two host cards; both devices
// capture at once, in start/stop cycles, while another thread sets and reads parameters and gives
// back kept result blocks. Each cycle moves camera B to another address while A streams, then
// kills A's emulator while B streams and brings it back. All the while a second application
// process captures from camera C behind a third card with reconnecting on, and is stopped past
// C's heartbeat several times (soak_host.h). Runs KX_SOAK_SECONDS (docs/reliability.md).
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstring>
#include <functional>

#include "kxkernel.h"
#include "soak/soak_host.h"
#include "soak/soak_support.h"
#include "support/kxemulab.h"

using namespace std::chrono_literals;
using namespace kxsoak;

namespace {

using kxtest::ReadFile;
using kxtest::WaitFor;

// Bounds of single calls (a dead camera costs four sends 200 ms apart per request).
constexpr auto c_tCall = 6000ms;
constexpr auto c_tOpen = 10000ms;
constexpr auto c_tOffline = 2000ms;  // from the kill to the device's offline event
// Sanitized builds run the cameras slower.
constexpr uint16_t c_nRate = c_bSanitized ? 60 : 200;

template <class T>
void SafeRelease(T*& p) {
    if (p) p->Release();
    p = nullptr;
}

struct SDevice {
    std::string strName;
    SKxNLEyeDeviceInfoEx sRecord{};
    IKxLaserEyeDevice* pDevice = nullptr;
    CSink sink;
    CEvents* pEvents = nullptr;
    std::shared_ptr<SLedger> pLedger = std::make_shared<SLedger>();
    CLedgerCamera* pCamera = nullptr;  // valid while open
    OrEyeTest::EthernetStats sRunStart{};
    std::atomic<bool> bOpen{false};
};

uint64_t Lost(const OrEyeTest::EthernetStats& s) { return s.nFramesIncomplete + s.nFramesUnderrun + s.nFramesTooLarge; }

class Soak : public kxtest::EmulatorTest {
protected:
    void SetUp() override {
        EmulatorTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        m_camB = m_pLab->AddNamespace("camb");
        m_camC = m_pLab->AddNamespace("camc");
        m_pLab->Link(m_host, "eth0", "192.0.2.1/24", m_cam, "eth0", "");
        m_pLab->Link(m_host, "eth1", "198.51.100.1/24", m_camB, "eth0", "");
        m_pLab->Link(m_host, "eth2", "203.0.113.1/24", m_camC, "eth0", "");
        m_watchdog.SetLab(m_pLab.get());
        KxGlobalSetting::SetVirtualCards("*");
        // Refusals while capturing are logged by the thousand: to a file kept with a failed run.
        KxLogUtils::SetLogFile((m_dir + "/sdk.log").c_str());
        m_nLogLevel = KxLogUtils::GetLogLevel();
        KxLogUtils::SetLogLevel(0);
        ASSERT_TRUE(KxKernel::KxCreateMemPool(&m_pMemPool));
        ASSERT_TRUE(KxKernel::KxCreateSurfacePool(&m_pSurfacePool));
    }
    void TearDown() override {
        SafeRelease(m_pMemPool);
        SafeRelease(m_pSurfacePool);
        KxGlobalSetting::SetVirtualCards(nullptr);
        KxLogUtils::SetLogFile(nullptr);
        KxLogUtils::SetLogLevel(m_nLogLevel);
        EmulatorTest::TearDown();
    }

    pid_t StartCamera(bool bA) {
        const std::string strFifo = m_dir + (bA ? "/faults-a" : "/faults-b");
        const char* pszA = R"({"ip": "192.0.2.10/24", "mac": "02:4b:58:00:00:a0", "wire_id": "4b580000000000a0", "unlimited_rate": true})";
        const char* pszB = R"({"ip": "198.51.100.10/24", "mac": "02:4b:58:00:00:b0", "wire_id": "4b580000000000b0", "unlimited_rate": true})";
        const pid_t pid = StartEmulator(std::string("[") + (bA ? pszA : pszB) + "]",
                                        {"--storage-dir", m_dir + (bA ? "/a" : "/b"), "--drop", "0.02", "--fault-fifo", strFifo},
                                        "eth0", bA ? m_cam : m_camB);
        m_watchdog.AddChild(pid);
        if (bA) m_strLogA = m_log;
        return pid;
    }

    // Camera C, the paused host's: no stream loss; a host silent for 1 s loses it.
    void StartCameraC() {
        const pid_t pid = StartEmulator(
            R"([{"ip": "203.0.113.10/24", "mac": "02:4b:58:00:00:c0", "wire_id": "4b580000000000c0", "unlimited_rate": true}])",
            {"--storage-dir", m_dir + "/c", "--heartbeat-ms", "1000"}, "eth0", m_camC);
        m_watchdog.AddChild(pid);
        m_strLogC = m_log;
    }

    // A fault command to camera B's emulator (never blocks: B's emulator always runs).
    void FaultB(const std::string& strLine) {
        const int fd = open((m_dir + "/faults-b").c_str(), O_WRONLY | O_NONBLOCK);
        if (fd < 0) return;
        const std::string s = strLine + "\n";
        (void)!write(fd, s.data(), s.size());
        close(fd);
    }

    int32_t Open(SDevice& d) {
        CLedgerFactory cameras(d.pLedger);
        const int32_t n = Watched(m_watchdog, d.strName + " Open", c_tOpen, [&] { return d.pDevice->Open(0); });
        d.pCamera = cameras.Latest();
        d.bOpen = n == 0;
        return n;
    }
    void Close(SDevice& d) {
        d.bOpen = false;
        Watched(m_watchdog, d.strName + " Close", c_tCall, [&] { d.pDevice->Close(); return 0; });
        d.pCamera = nullptr;
    }
    OrEyeTest::EthernetStats Stats(SDevice& d) {
        OrEyeTest::EthernetStats s{};
        if (d.pCamera) OrEyeTest::GetEthernetStats(d.pCamera->Inner(), &s);
        return s;
    }
    int32_t Start(SDevice& d) {
        const int32_t nRate = Watched(m_watchdog, d.strName + " SetFrameRate", c_tCall, [&] { return d.pDevice->SetFrameRate(c_nRate); });
        EXPECT_EQ(nRate, 0) << d.strName;
        d.sink.NewRun();
        d.sRunStart = Stats(d);
        return Watched(m_watchdog, d.strName + " StartCapture", c_tCall, [&] { return d.pDevice->StartCapture(0, &d.sink, nullptr); });
    }
    // Stops a run and checks it: frames in order, the counter gaps equal to the frames the
    // library dropped (give or take the frames still being mended when the run ended).
    void Stop(SDevice& d, bool bCheckGaps) {
        const OrEyeTest::EthernetStats s = Stats(d);
        const int32_t n = Watched(m_watchdog, d.strName + " StopCapture", c_tCall, [&] { return d.pDevice->StopCapture(); });
        EXPECT_EQ(n, 0) << d.strName << " StopCapture";
        const uint64_t nLost = Lost(s) - Lost(d.sRunStart), nGaps = d.sink.RunGaps();
        m_nLost += nLost;
        m_nGaps += nGaps;
        m_nResent += s.nPacketsResent - d.sRunStart.nPacketsResent;
        m_nUnderrun += s.nFramesUnderrun - d.sRunStart.nFramesUnderrun;
        m_nPackets += s.nPackets - d.sRunStart.nPackets;
        ++m_nRuns;
        if (bCheckGaps) {
            const uint64_t nSlack = c_nRate / 4 + 2;  // frames of one retention window (250 ms)
            EXPECT_LE(nGaps, nLost + nSlack) << d.strName << " run " << m_nRuns;
            EXPECT_LE(nLost, nGaps + nSlack) << d.strName << " run " << m_nRuns;
        }
        d.sink.ReleaseAll();
        const size_t nOut = d.pLedger->Outstanding();
        if (nOut != 0) {
            // Say whether they come back late (given back after StopCapture returned) or never.
            const auto t0 = Clock::now();
            const bool bLate = WaitFor([&] { return d.pLedger->Outstanding() == 0; }, 2000ms);
            ADD_FAILURE() << d.strName << ": " << nOut << " buffer(s) still out after StopCapture and release; "
                          << (bLate ? "back " + std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                                  Clock::now() - t0).count()) + " ms later"
                                    : std::string("not back 2 s later"));
        }
    }
    bool WaitFrames(SDevice& d, uint64_t nFrames, std::chrono::milliseconds limit) {
        return WaitFor([&] { return d.sink.RunFrames() >= nFrames; }, limit);
    }

    // Another application thread: parameter calls on both devices and kept blocks given back,
    // whatever state the devices are in.
    void ParameterThread(std::vector<SDevice*> vecDevices, std::atomic<bool>* pStop) {
        int i = 0;
        while (!pStop->load()) {
            for (SDevice* d : vecDevices) {
                d->sink.ReleaseOne();
                const std::string strName = d->strName;
                int32_t n = -1;
                switch (i++ % 6) {
                    case 0: n = Watched(m_watchdog, strName + " SetExpose", c_tCall, [&] { return d->pDevice->SetExpose(0, 300 + i % 100); }); break;
                    case 1: { int32_t a, v; n = Watched(m_watchdog, strName + " GetExpose", c_tCall, [&] { return d->pDevice->GetExpose(&a, &v); }); break; }
                    case 2: n = Watched(m_watchdog, strName + " SetLaserThres", c_tCall, [&] { return d->pDevice->SetLaserThres(40 + i % 20); }); break;
                    case 3: { SKxNLROIRect l, r; n = Watched(m_watchdog, strName + " GetDetectROI", c_tCall, [&] { return d->pDevice->GetDetectROI(&l, &r); }); break; }
                    case 4: { double q[16]; n = Watched(m_watchdog, strName + " GetQMatrix", c_tCall, [&] { return d->pDevice->GetQMatrix(q); }); break; }
                    case 5: n = Watched(m_watchdog, strName + " CheckOnline", c_tCall, [&] { return d->pDevice->CheckOnline() ? 0 : -1; }); break;
                }
                if (n == 0) ++m_nParamOk;
                else ++m_nParamRefused;
            }
            std::this_thread::sleep_for(5ms);
        }
    }

    CWatchdog m_watchdog;
    int m_nLogLevel = 2;
    std::string m_camB, m_camC, m_strLogA, m_strLogC;
    IKxMemPool* m_pMemPool = nullptr;
    IKxSurfacePool* m_pSurfacePool = nullptr;
    std::atomic<uint64_t> m_nParamOk{0}, m_nParamRefused{0};
    uint64_t m_nUnderrun = 0, m_nLost = 0, m_nGaps = 0, m_nResent = 0, m_nPackets = 0, m_nRuns = 0;
};

TEST_F(Soak, TwoCamerasUnderFaults) {
    const int nSeconds = SoakSeconds(60);
    pid_t pidA = StartCamera(true);
    StartCamera(false);
    const int nThreadsBefore = ThreadCount();
    kxtest::CInNetns in(m_host);

    SDevice a, b;
    a.strName = "A";
    b.strName = "B";
    {
        IKxEyeDeviceEnumrator* pEnum = nullptr;
        ASSERT_TRUE(KxCreateLaserEyeDeviceEnumrator(&pEnum));
        Watched(m_watchdog, "SearchDevice", c_tOpen, [&] { return pEnum->SearchDevice(c_nKxSearchEthernet); });
        std::vector<SKxNLEyeDeviceInfoEx> list;
        pEnum->GetDeviceInfoList(list);
        pEnum->Release();
        for (const auto& r : list) {
            if (strcmp(r.szIPAddress, "192.0.2.10") == 0) a.sRecord = r;
            if (strcmp(r.szIPAddress, "198.51.100.10") == 0) b.sRecord = r;
        }
        ASSERT_EQ(list.size(), 2u);
        ASSERT_STREQ(a.sRecord.szIPAddress, "192.0.2.10");
        ASSERT_STREQ(b.sRecord.szIPAddress, "198.51.100.10");
    }
    IKxEthernetEyeConfig* pConfig = nullptr;
    ASSERT_TRUE(KxCreateLaserEyeEthernetEyeConfig(nullptr, &pConfig));
    for (SDevice* d : {&a, &b}) {
        ASSERT_TRUE(KxCreateLaserEyeDevice(&d->sRecord, m_pSurfacePool, m_pMemPool, &d->pDevice));
        d->pEvents = new CEvents;
        d->pDevice->SetEventHandler(d->pEvents);
        ASSERT_EQ(Open(*d), 0) << d->strName;
    }

    // The paused host: its pauses spread over the run.
    StartCameraC();
    CPausedHost host(*m_pLab, m_watchdog, m_dir);
    host.Start(m_host, "203.0.113.10", c_nRate / 2, m_strLogC, nSeconds, PlannedPauses(nSeconds));

    std::atomic<bool> bStopParams{false};
    std::thread params([&] { ParameterThread({&a, &b}, &bStopParams); });

    const auto tEnd = Clock::now() + std::chrono::seconds(nSeconds);
    int nCycles = 0, nKills = 0, nMoves = 0, nBusy = 0;
    long nRssWarm = -1;
    uint8_t byB[4] = {198, 51, 100, 10};
    std::vector<double> vecOfflineMs;
    while (nCycles < 2 || Clock::now() < tEnd) {
        ++nCycles;
        // Both capture; B in short start/stop runs meanwhile, with busy answers now and then.
        ASSERT_EQ(Start(a), 0);
        for (int k = 0; k < 3; ++k) {
            FaultB("busy 2");
            ++nBusy;
            ASSERT_EQ(Start(b), 0);
            EXPECT_TRUE(WaitFrames(b, 10, 5s)) << "B cycle " << nCycles;
            Stop(b, true);
        }
        ASSERT_TRUE(WaitFrames(a, 20, 5s)) << "A cycle " << nCycles;

        // B moves to another address of its subnet while A streams, and opens again from its record.
        Close(b);
        uint8_t byNew[4] = {198, 51, 100, static_cast<uint8_t>(byB[3] == 10 ? 20 : 10)};
        const int32_t nMove = Watched(m_watchdog, "SetIPAddress", c_tOpen, [&] { return pConfig->SetIPAddress(&b.sRecord, byNew, nullptr, nullptr); });
        ASSERT_EQ(nMove, 0) << "cycle " << nCycles;
        ++nMoves;
        memcpy(byB, byNew, 4);
        snprintf(b.sRecord.szIPAddress, sizeof b.sRecord.szIPAddress, "%d.%d.%d.%d", byB[0], byB[1], byB[2], byB[3]);
        b.pDevice->UpdateIPAddress(byB);
        ASSERT_EQ(Open(b), 0) << "B after the move, cycle " << nCycles;
        ASSERT_EQ(Start(b), 0);
        EXPECT_TRUE(WaitFrames(b, 20, 5s)) << "B after the move, cycle " << nCycles;
        EXPECT_TRUE(WaitFrames(a, a.sink.RunFrames() + 20, 5s)) << "A while B moved, cycle " << nCycles;

        // A's camera dies while both stream: offline event within its bound, B unharmed, A back
        // once its camera is.
        const int nOfflineBefore = a.pEvents->Offline();
        const auto tKill = Clock::now();
        m_pLab->Stop(pidA, SIGKILL);
        ++nKills;
        Clock::time_point tOffline;
        EXPECT_TRUE(WaitFor([&] { return a.pEvents->Offline(&tOffline) > nOfflineBefore; }, c_tOffline + 1000ms))
            << "no offline event, cycle " << nCycles;
        if (a.pEvents->Offline() > nOfflineBefore) {
            EXPECT_LE(tOffline - tKill, c_tOffline) << "cycle " << nCycles;
            vecOfflineMs.push_back(std::chrono::duration<double, std::milli>(tOffline - tKill).count());
        }
        const uint64_t nB = b.sink.RunFrames();
        EXPECT_TRUE(WaitFrames(b, nB + 20, 5s)) << "B while A was dead, cycle " << nCycles;
        Watched(m_watchdog, "A StopCapture (camera dead)", c_tCall, [&] { return a.pDevice->StopCapture(); });
        a.sink.ReleaseAll();
        a.sRunStart = Stats(a);
        Close(a);
        EXPECT_EQ(a.pLedger->Outstanding(), 0u) << "A: buffers out after its camera died, cycle " << nCycles;
        pidA = StartCamera(true);
        ASSERT_EQ(Open(a), 0) << "A after its camera came back, cycle " << nCycles;
        ASSERT_EQ(Start(a), 0) << "cycle " << nCycles;
        EXPECT_TRUE(WaitFrames(a, 20, 5s)) << "A after its camera came back, cycle " << nCycles;

        Stop(a, true);
        Stop(b, true);
        if (nCycles == 2) nRssWarm = ResidentKiB();
    }
    bStopParams = true;
    params.join();
    const long nRssEnd = ResidentKiB();

    // The paused host: every planned pause made, each checked by the host itself (its status).
    std::string strHost;
    const auto tHostEnd = Clock::now();
    const int nHostStatus = host.Finish(&strHost);
    const double dHostEndMs = std::chrono::duration<double, std::milli>(Clock::now() - tHostEnd).count();
    EXPECT_EQ("", host.Failure()) << strHost;
    EXPECT_EQ(0, nHostStatus) << "the paused host failed:\n" << strHost;
    EXPECT_EQ(PlannedPauses(nSeconds), host.Pauses());
    std::string strHostLines;
    for (size_t at = strHost.find("soak host: "); at != std::string::npos; at = strHost.find("soak host: ", at + 1))
        strHostLines += strHost.substr(at, strHost.find('\n', at) - at) + "\n";

    const uint64_t nFrames = a.sink.Frames() + b.sink.Frames();
    for (SDevice* d : {&a, &b}) {
        EXPECT_EQ(d->sink.OutOfOrder(), 0u) << d->strName;
        Close(*d);
        d->sink.ReleaseAll();
        SafeRelease(d->pDevice);
        SafeRelease(d->pEvents);
        std::lock_guard<std::mutex> lock(d->pLedger->mtx);
        EXPECT_TRUE(d->pLedger->mapOut.empty()) << d->strName << ": buffers never given back";
        EXPECT_EQ(d->pLedger->nHandedTwice, 0u) << d->strName;
        EXPECT_EQ(d->pLedger->nHandedByOld, 0u) << d->strName << ": a camera object handed a frame on after its device opened a new one";
        EXPECT_EQ(d->pLedger->nReturnedUnknown, 0u) << d->strName << ": buffers given back twice or never handed out";
        EXPECT_EQ(d->pLedger->nHanded, d->pLedger->nReturned) << d->strName;
    }
    SafeRelease(pConfig);
    EXPECT_GT(m_nParamOk.load(), 0u);

    // No thread of the SDK outlives its objects (the camera objects' threads end with them).
    int nThreadsAfter = -1;
    WaitFor([&] { return (nThreadsAfter = ThreadCount()) <= nThreadsBefore; }, 2000ms);
    EXPECT_EQ(nThreadsAfter, nThreadsBefore);
    // Resident memory flat after the warm-up (sanitizers keep freed memory in quarantine: there
    // the leak check at exit stands for this).
    const long nGrowth = nRssEnd - nRssWarm;
    if (!c_bSanitized) {
        EXPECT_LE(nGrowth, 8 * 1024) << "resident memory grew after the warm-up (KiB)";
    }

    double dOfflineMax = 0;
    for (double d : vecOfflineMs) dOfflineMax = std::max(dOfflineMax, d);
    const uint64_t nHanded = a.pLedger->nHanded + b.pLedger->nHanded;
    printf("soak: %d s, %d cycles, %" PRIu64 " capture runs, %d emulator kills, %d address changes, %d busy faults, "
           "2%% stream loss\n"
           "soak: frames delivered %" PRIu64 ", dropped %" PRIu64 " (%" PRIu64 " for want of a free buffer), counter gaps %" PRIu64 ", packets %" PRIu64
           ", resent %" PRIu64 "\n"
           "soak: buffers handed %" PRIu64 ", outstanding at the end %zu, parameter calls %" PRIu64 " ok %" PRIu64
           " refused, watched calls %" PRIu64 "\n"
           "soak: offline event at most %.0f ms after a kill, threads %d -> %d, resident memory %ld KiB after "
           "warm-up, %+ld KiB at the end\n",
           nSeconds, nCycles, m_nRuns, nKills, nMoves, nBusy, nFrames, m_nLost, m_nUnderrun, m_nGaps, m_nPackets, m_nResent, nHanded,
           a.pLedger->Outstanding() + b.pLedger->Outstanding(), m_nParamOk.load(), m_nParamRefused.load(),
           m_watchdog.Calls(), dOfflineMax, nThreadsBefore, nThreadsAfter, nRssWarm, nGrowth);
    printf("soak: paused host: %d pauses (at most %d ms each), ended %.0f ms after the last cycle\n%s", host.Pauses(),
           host.LongestStopMs(), dHostEndMs, strHostLines.c_str());
    RecordProperty("cycles", nCycles);
    RecordProperty("host_pauses", host.Pauses());
    RecordProperty("frames", static_cast<int>(nFrames));
}

}  // namespace
