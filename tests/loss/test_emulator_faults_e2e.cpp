// The emulator's run-time fault commands and its stop: a command never waits for the stream
// thread, and SIGTERM ends the emulator whatever its threads are doing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "oreyeapi.h"
#include "support/kxemulab.h"

using namespace std::chrono_literals;

namespace {

using kxtest::ReadFile;
using kxtest::WaitFor;

const char* const c_pszCamera =
    R"([{"ip": "192.0.2.10/24", "mac": "02:4b:58:00:00:10", "wire_id": "4b58000000000010", "unlimited_rate": true}])";

// Frames of the camera object's stream, each buffer given back at once.
struct SFrames {
    IOrEyeCamera* pCamera = nullptr;
    std::atomic<uint64_t> nFrames{0};
    static void Callback(int nEvent, int, void*, unsigned int, unsigned int nBufferId, void* pContext) {
        SFrames* p = static_cast<SFrames*>(pContext);
        if (nEvent != c_nOrEyeEventFrame) return;
        p->pCamera->ReleaseFrameBuffer(nBufferId);
        ++p->nFrames;
    }
};

size_t Count(const std::string& strText, const std::string& strWhat) {
    size_t n = 0;
    for (size_t at = strText.find(strWhat); at != std::string::npos; at = strText.find(strWhat, at + 1)) ++n;
    return n;
}

class EmulatorFaultsE2E : public kxtest::EmulatorTest {
protected:
    void SetUp() override {
        EmulatorTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        m_pLab->Link(m_host, "eth0", "192.0.2.1/24", m_cam, "eth0", "");
        m_strFifo = m_dir + "/faults";
    }
    pid_t Start(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args = {"--storage-dir", m_dir, "--fault-fifo", m_strFifo};
        args.insert(args.end(), extra.begin(), extra.end());
        return StartEmulator(c_pszCamera, args);
    }
    // Writes one fault command; never blocks, even when the emulator is gone.
    void Fault(const std::string& strLine) {
        // The emulator opens its FIFO on a thread of its own, just after it starts serving.
        int fd = -1;
        WaitFor([&] { return (fd = open(m_strFifo.c_str(), O_WRONLY | O_NONBLOCK)) >= 0; }, std::chrono::milliseconds(3000));
        ASSERT_GE(fd, 0) << "no reader on " << m_strFifo;
        const std::string s = strLine + "\n";
        EXPECT_EQ(write(fd, s.data(), s.size()), static_cast<ssize_t>(s.size()));
        close(fd);
    }
    // Waits until the emulator has taken the nth command `strLine`.
    bool Taken(const std::string& strLine, size_t n) {
        return WaitFor([&] { return Count(ReadFile(m_log), "fault: " + strLine + "\n") >= n; }, 3000ms);
    }
    std::string m_strFifo;
};

// Mute and unmute while frames stream, 50 times: every command is taken at once (a mute that
// joined the stream thread under the fault lock hung here within a few rounds), the camera
// streams again after each unmute, and SIGTERM ends the emulator by itself.
TEST_F(EmulatorFaultsE2E, MuteAndUnmute50TimesDuringAStreamNeverHang) {
    const pid_t pid = Start();
    kxtest::CInNetns in(m_host);
    std::unique_ptr<IOrEyeCamera> p(CreateOrEyeApi(OREYEAPI_TYPE_ETHERNET));
    ASSERT_EQ(p->InitDevice(1536, 2048, 0, 5, "192.0.2.10"), c_nOrEyeOK);
    SFrames frames;
    frames.pCamera = p.get();
    const uint16_t nRate = 500;
    ASSERT_EQ(p->SetParam(34, &nRate, 2), c_nOrEyeOK);
    ASSERT_EQ(p->SetFrameCallback(1, &SFrames::Callback, &frames), c_nOrEyeOK);
    for (size_t i = 1; i <= 50; ++i) {
        // A short mute costs the host no request: its resend 200 ms later is answered.
        ASSERT_EQ(p->EnableStream(1), c_nOrEyeOK) << "round " << i;
        const uint64_t nBefore = frames.nFrames.load();
        ASSERT_TRUE(WaitFor([&] { return frames.nFrames.load() >= nBefore + 3; }, 3000ms)) << "round " << i;
        ASSERT_NO_FATAL_FAILURE(Fault("mute on"));
        ASSERT_TRUE(Taken("mute on", i)) << "round " << i << "\n" << ReadFile(m_log);
        ASSERT_NO_FATAL_FAILURE(Fault("mute off"));
        ASSERT_TRUE(Taken("mute off", i)) << "round " << i << ": the emulator hangs in \"mute on\"\n" << ReadFile(m_log);
    }
    EXPECT_EQ(p->EnableStream(0), c_nOrEyeOK);
    p.reset();
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(m_pLab->Stop(pid), 0) << "SIGTERM did not end the emulator (killed after 2 s)\n" << ReadFile(m_log);
    RecordProperty("stop_ms", static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now() - t0).count()));
}

// A stream thread held up for seconds (every packet sent 5 s late) does not hold up the stop:
// SIGTERM ends the emulator by itself, not the kill that follows 2 s later.
TEST_F(EmulatorFaultsE2E, SigtermEndsTheEmulatorWhileItsStreamIsHeldUp) {
    const pid_t pid = Start();
    kxtest::CInNetns in(m_host);
    std::unique_ptr<IOrEyeCamera> p(CreateOrEyeApi(OREYEAPI_TYPE_ETHERNET));
    ASSERT_EQ(p->InitDevice(1536, 2048, 0, 5, "192.0.2.10"), c_nOrEyeOK);
    ASSERT_NO_FATAL_FAILURE(Fault("delay 1 5000"));
    ASSERT_TRUE(Taken("delay 1 5000", 1));
    ASSERT_EQ(p->EnableStream(1), c_nOrEyeOK);
    std::this_thread::sleep_for(200ms);  // the first frame's packets are being held
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(m_pLab->Stop(pid), 0) << "SIGTERM did not end the emulator (killed after 2 s)\n" << ReadFile(m_log);
    RecordProperty("stop_ms", static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now() - t0).count()));
}

}  // namespace
