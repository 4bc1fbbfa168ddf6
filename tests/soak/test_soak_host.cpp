// The soak's paused host (soak_host.h): an application process that captures from its camera with
// reconnecting switched on while the soak stops it past the camera's heartbeat, again and again.
// Before each pause it writes new settings and starts a capture; after each it checks that the
// device raised the loss once and then c_nKxEventReconnected, that the capture went on into the
// same data callback with the settings back on the camera, that the frames missed are counted
// (SKxReconnectState) and are exactly the index step at the resumed capture's first frame, and
// that no camera object of an earlier session handed a frame on. At the end every frame buffer
// must have come back exactly once, and every frame handed on must have been whole. Another
// thread reads parameters and gives kept blocks back all the while. What it measures goes to its
// output as "soak host: ..." lines. Runs only when the soak starts it (DISABLED_ keeps it out of
// a plain run; started by hand it skips).
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstring>
#include <functional>
#include <sstream>

#include "kxkernel.h"
#include "soak/soak_host.h"
#include "soak/soak_support.h"

using namespace std::chrono_literals;
using namespace kxsoak;

namespace {

using kxtest::ReadFile;
using kxtest::WaitFor;

// Call bounds as in the soak, plus the longest a pause can hold a call up (the watchdog's thread
// is stopped with the rest of the process).
constexpr auto c_tCall = 6000ms + CPausedHost::c_tDrop + 1000ms;
constexpr auto c_tOpen = 10000ms + CPausedHost::c_tDrop + 1000ms;

double Ms(int64_t nNs) { return static_cast<double>(nNs) / 1e6; }

struct SSettings {
    uint32_t nExpose = 0;
    int32_t nThreshold = 0, nGap = 0;
    uint16_t nRate = 0;
    bool operator==(const SSettings&) const = default;
};
std::ostream& operator<<(std::ostream& os, const SSettings& s) {
    return os << "exposure " << s.nExpose << ", threshold " << s.nThreshold << ", gap " << s.nGap << ", rate " << s.nRate;
}

// Settings of round k: new ones every round, so that what comes back is the newest.
SSettings SettingsOf(int k, uint16_t nRate) {
    SSettings s;
    s.nExpose = 250 + 13 * static_cast<uint32_t>(k % 1000);
    s.nThreshold = 40 + k % 40;
    s.nGap = 1 + k % 3;
    s.nRate = nRate;
    return s;
}

// The settings as the camera has them now: exposure and threshold from its information block,
// frame rate and gap from their parameters.
bool CameraSettings(IKxLaserEyeDevice* pDevice, SSettings* pSettings) {
    IOrEyeCamera* pCamera = pDevice->GetCoreEye();
    uint8_t abInfo[52] = {}, abRate[2] = {}, abGap[2] = {};
    if (pCamera == nullptr || pCamera->GetParam(54, abInfo, 52) != 0 || pCamera->GetParam(34, abRate, 2) != 0 ||
        pCamera->GetParam(10, abGap, 2) != 0)
        return false;
    pSettings->nExpose = abInfo[2] | abInfo[3] << 8;
    pSettings->nThreshold = abInfo[36] | abInfo[37] << 8;
    pSettings->nRate = static_cast<uint16_t>(abRate[0] | abRate[1] << 8);
    pSettings->nGap = abGap[0] | abGap[1] << 8;
    return true;
}

struct SPause {
    int64_t nStop = 0, nDrop = 0, nCont = 0;
    int nDropped = 0;
};

TEST(SoakHost, DISABLED_CapturesAcrossHostPauses) {
    const char* pszDir = getenv(c_pszHostDirEnv);
    const char* pszCamera = getenv(c_pszHostCameraEnv);
    const char* pszRate = getenv(c_pszHostRateEnv);
    if (!pszDir || !pszCamera || !pszRate) GTEST_SKIP() << "started by Soak.TwoCamerasUnderFaults only";
    const std::string strDir = pszDir;
    const uint16_t nRate = static_cast<uint16_t>(atoi(pszRate));
    // The soak's run and a margin: the longest the host waits for the soak's next word.
    const auto tWord = std::chrono::seconds(SoakSeconds(60) + 60);

    CWatchdog watchdog;
    KxLogUtils::SetLogFile(HostFile(strDir, "sdk.log").c_str());
    KxLogUtils::SetLogLevel(0);  // the lines go to the file alone
    IKxMemPool* pMemPool = nullptr;
    IKxSurfacePool* pSurfacePool = nullptr;
    ASSERT_TRUE(KxKernel::KxCreateMemPool(&pMemPool));
    ASSERT_TRUE(KxKernel::KxCreateSurfacePool(&pSurfacePool));
    const int nThreadsBefore = ThreadCount();

    auto pLedger = std::make_shared<SLedger>();
    CSink sink;
    CEvents* pEvents = new CEvents(&sink);
    IKxLaserEyeDevice* pDevice = nullptr;
    {
        const SKxNLEyeDeviceInfoEx info = EthernetRecord(pszCamera);
        ASSERT_TRUE(KxCreateLaserEyeDevice(&info, pSurfacePool, pMemPool, &pDevice));
    }
    IKxLaserEyeDeviceReconnect* pRe = static_cast<IKxLaserEyeDeviceReconnect*>(pDevice);
    pDevice->SetEventHandler(pEvents);
    // Every camera object the device makes, also on its reconnect thread, is booked.
    CLedgerFactory cameras(pLedger);
    std::atomic<bool> bStop{false};
    std::thread app;
    // A failed assertion leaves nothing running behind it.
    struct SCleanup {
        std::function<void()> f;
        ~SCleanup() { f(); }
    } cleanup{[&] {
        bStop = true;
        if (app.joinable()) app.join();
        if (pDevice) {
            pDevice->Close();
            sink.ReleaseAll();
            pDevice->Release();
            pEvents->Release();
        }
        pSurfacePool->Release();
        pMemPool->Release();
        KxLogUtils::SetLogFile(nullptr);
    }};
    ASSERT_EQ(0, Watched(watchdog, "Open", c_tOpen, [&] { return pDevice->Open(0); }));
    ASSERT_EQ(0, pRe->EnableReconnect(true, 200, 30000));

    // Another application thread: reads and kept blocks given back, whatever state the device is in.
    std::atomic<uint64_t> nCallsOk{0}, nCallsRefused{0};
    app = std::thread([&] {
        for (int i = 0; !bStop; ++i) {
            sink.ReleaseOne();
            int32_t n = -1;
            switch (i % 4) {
                case 0: { int32_t a, v; n = Watched(watchdog, "GetExpose", c_tCall, [&] { return pDevice->GetExpose(&a, &v); }); break; }
                case 1: { SKxNLROIRect l, r; n = Watched(watchdog, "GetDetectROI", c_tCall, [&] { return pDevice->GetDetectROI(&l, &r); }); break; }
                case 2: { double q[16]; n = Watched(watchdog, "GetQMatrix", c_tCall, [&] { return pDevice->GetQMatrix(q); }); break; }
                case 3: n = Watched(watchdog, "CheckOnline", c_tCall, [&] { return pDevice->CheckOnline() ? 0 : -1; }); break;
            }
            ++(n == 0 ? nCallsOk : nCallsRefused);
            std::this_thread::sleep_for(5ms);
        }
    });

    int nPauses = 0;
    std::vector<double> vecLossMs, vecResumeMs;
    for (int k = 1;; ++k) {
        // New settings and a new capture for this round.
        if (pDevice->IsCapturing()) {
            ASSERT_EQ(0, Watched(watchdog, "StopCapture", c_tCall, [&] { return pDevice->StopCapture(); })) << "round " << k;
        }
        const SSettings want = SettingsOf(k, nRate);
        ASSERT_EQ(0, Watched(watchdog, "SetExpose", c_tCall, [&] { return pDevice->SetExpose(0, want.nExpose); }));
        ASSERT_EQ(0, Watched(watchdog, "SetLaserThres", c_tCall, [&] { return pDevice->SetLaserThres(want.nThreshold); }));
        ASSERT_EQ(0, Watched(watchdog, "SetGap", c_tCall, [&] { return pDevice->SetGap(want.nGap); }));
        ASSERT_EQ(0, Watched(watchdog, "SetFrameRate", c_tCall, [&] { return pDevice->SetFrameRate(want.nRate); }));
        sink.NewRun();
        ASSERT_EQ(0, Watched(watchdog, "StartCapture", c_tCall, [&] { return pDevice->StartCapture(0, &sink, nullptr); }));
        ASSERT_TRUE(WaitFor([&] { return sink.RunFrames() >= 20; }, 10s)) << "round " << k;

        // Ready for pause k: what the pause must change is noted first.
        const int nLosses0 = pEvents->Count(c_nKxEventOffline), nBack0 = pEvents->Count(c_nKxEventReconnected);
        SKxReconnectState st0{};
        ASSERT_EQ(0, pRe->GetReconnectState(&st0));
        const size_t nSteps0 = sink.ResumeSteps().size();
        const uint64_t nAfterLoss0 = sink.FramesAfterLoss();
        ASSERT_TRUE(WriteWhole(HostFile(strDir, "ready"), std::to_string(k) + "\n"));
        const std::string strPause = HostFile(strDir, "pause-" + std::to_string(k)), strEnd = HostFile(strDir, "end");
        std::string strWord;
        ASSERT_TRUE(WaitFor([&] { return !(strWord = ReadFile(strPause)).empty() || !ReadFile(strEnd).empty(); }, tWord))
            << "no word from the soak for pause " << k;
        if (strWord.empty()) break;  // the end
        SPause p;
        std::istringstream(strWord) >> p.nStop >> p.nDrop >> p.nCont >> p.nDropped;
        ASSERT_EQ(1, p.nDropped) << "pause " << k << ": the camera kept the session";
        SCOPED_TRACE("pause " + std::to_string(k));

        // The loss, then the camera back with the capture resumed.
        Clock::time_point tLoss, tBack;
        ASSERT_TRUE(WaitFor([&] { return pEvents->Count(c_nKxEventOffline, &tLoss) > nLosses0; }, 10s)) << "no loss event";
        ASSERT_TRUE(WaitFor([&] { return pEvents->Count(c_nKxEventReconnected, &tBack) > nBack0; }, 20s))
            << "not reconnected; the device's log:\n" << ReadFile(HostFile(strDir, "sdk.log"));
        const uint64_t nAtBack = sink.Frames();
        ASSERT_TRUE(WaitFor([&] { return sink.Frames() >= nAtBack + 10; }, 10s)) << "the capture did not go on";
        ++nPauses;

        EXPECT_EQ(nLosses0 + 1, pEvents->Count(c_nKxEventOffline));
        EXPECT_EQ(nBack0 + 1, pEvents->Count(c_nKxEventReconnected));
        EXPECT_EQ(0, pEvents->Count(c_nKxEventReconnectFailed));
        EXPECT_TRUE(pDevice->IsCapturing());
        SKxReconnectState st{};
        ASSERT_EQ(0, pRe->GetReconnectState(&st));
        EXPECT_EQ(0u, st.nState);
        EXPECT_EQ(static_cast<uint32_t>(k), st.nLosses);
        EXPECT_EQ(static_cast<uint32_t>(k), st.nReconnects);
        EXPECT_GT(st.nFramesMissed, 0u);
        EXPECT_EQ(st0.nFramesMissedAll + st.nFramesMissed, st.nFramesMissedAll);
        // The resumed capture's first frame came into the same callback, its index on from the
        // lost one by exactly the frames missed: no frame of the old session in between.
        const std::vector<uint64_t> vecSteps = sink.ResumeSteps();
        ASSERT_EQ(nSteps0 + 1, vecSteps.size());
        EXPECT_EQ(st.nFramesMissed + 1, vecSteps.back());
        EXPECT_EQ(0u, sink.OutOfOrder());
        {
            std::lock_guard<std::mutex> lock(pLedger->mtx);
            EXPECT_EQ(0u, pLedger->nHandedByOld) << "a camera object of an earlier session handed a frame on";
        }
        SSettings have;
        ASSERT_TRUE(CameraSettings(pDevice, &have));
        EXPECT_EQ(want, have) << "the settings on the camera after the reconnect";

        const int64_t nLossNs = std::chrono::duration_cast<std::chrono::nanoseconds>(tLoss.time_since_epoch()).count();
        const int64_t nBackNs = std::chrono::duration_cast<std::chrono::nanoseconds>(tBack.time_since_epoch()).count();
        vecLossMs.push_back(Ms(nLossNs - p.nCont));
        vecResumeMs.push_back(Ms(nBackNs - p.nCont));
        printf("soak host: pause %d: host stopped %.0f ms, the camera dropped its session %.0f ms into it; loss reported "
               "%.1f ms after the host ran again, capture resumed %.1f ms after it (the camera answers at once; %u "
               "attempts, outage %u ms); %" PRIu64 " frames missed, %" PRIu64 " handed on between loss and resume\n",
               k, Ms(p.nCont - p.nStop), Ms(p.nDrop - p.nStop), vecLossMs.back(), vecResumeMs.back(), st.nAttempts,
               st.nOutageMs, st.nFramesMissed, sink.FramesAfterLoss() - nAfterLoss0);
        fflush(stdout);
    }
    bStop = true;
    app.join();

    if (pDevice->IsCapturing()) {
        EXPECT_EQ(0, Watched(watchdog, "StopCapture", c_tCall, [&] { return pDevice->StopCapture(); }));
    }
    sink.ReleaseAll();
    Watched(watchdog, "Close", c_tCall, [&] { pDevice->Close(); return 0; });
    EXPECT_FALSE(pDevice->IsCapturing());
    SKxReconnectState st{};
    pRe->GetReconnectState(&st);
    pDevice->Release();
    pDevice = nullptr;
    pEvents->Release();

    // The books, with every camera object gone: each buffer back exactly once, each frame
    // handed on whole (counted complete by its camera object).
    {
        std::lock_guard<std::mutex> lock(pLedger->mtx);
        EXPECT_TRUE(pLedger->mapOut.empty()) << "buffers never given back";
        EXPECT_EQ(0u, pLedger->nHandedTwice);
        EXPECT_EQ(0u, pLedger->nReturnedUnknown) << "buffers given back twice or never handed out";
        EXPECT_EQ(pLedger->nHanded, pLedger->nReturned);
        EXPECT_EQ(0u, pLedger->nHandedByOld);
        EXPECT_LE(pLedger->nHanded, pLedger->nCompleteGone) << "frames handed on that their camera object did not count whole";
    }
    EXPECT_EQ(0u, sink.OutOfOrder());
    // No thread of the SDK outlives its objects.
    int nThreadsAfter = -1;
    WaitFor([&] { return (nThreadsAfter = ThreadCount()) <= nThreadsBefore; }, 2000ms);
    EXPECT_LE(nThreadsAfter, nThreadsBefore);

    auto range = [](const std::vector<double>& v) {
        if (v.empty()) return std::string("-");
        char sz[64];
        snprintf(sz, sizeof sz, "%.1f to %.1f ms", *std::min_element(v.begin(), v.end()), *std::max_element(v.begin(), v.end()));
        return std::string(sz);
    };
    std::lock_guard<std::mutex> lock(pLedger->mtx);
    printf("soak host: %d pauses, %u losses, %u reconnects, %" PRIu64 " frames missed in all; loss reported %s after "
           "the host ran again, capture resumed %s after it; %" PRIu64 " frames delivered, %u camera objects, buffers "
           "handed %" PRIu64 " / given back %" PRIu64 ", %" PRIu64 " frames given up by the camera objects; parameter "
           "reads %" PRIu64 " ok, %" PRIu64 " refused\n",
           nPauses, st.nLosses, st.nReconnects, st.nFramesMissedAll, range(vecLossMs).c_str(), range(vecResumeMs).c_str(),
           sink.Frames(), pLedger->nCameras, pLedger->nHanded, pLedger->nReturned, pLedger->nLostGone, nCallsOk.load(),
           nCallsRefused.load());
    fflush(stdout);
}

}  // namespace
