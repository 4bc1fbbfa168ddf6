// Streaming through the Ethernet path: kxeye-emulator in replay mode in one network namespace,
// the library in another, joined by a veth pair; the consumer gives each frame back at once.
// Needs root (namespaces); each case runs a fixed 3 s. Reports frames and bytes per second,
// incomplete frames, datagrams the host's socket had no room for, and CPU seconds per GiB for
// the library (this process) and the emulator. The emulator sends as fast as it can, or paced
// at a frame rate as a camera streams.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "oreyeapi.h"
#include "oreyeapi_testsupport.h"
#include "support/kxnetlab.h"

namespace {
struct SCount {
    IOrEyeCamera* pCamera = nullptr;
    std::atomic<uint64_t> nFrames{0}, nBytes{0};
    static void Callback(int nEvent, int, void*, unsigned int nLength, unsigned int nBufferId, void* pContext) {
        SCount* p = static_cast<SCount*>(pContext);
        if (nEvent != c_nOrEyeEventFrame) return;
        ++p->nFrames;
        p->nBytes += nLength;
        p->pCamera->ReleaseFrameBuffer(nBufferId);
    }
};

double ProcessCpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

double ChildCpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string s;
    std::getline(in, s);
    const size_t nClose = s.rfind(')');
    if (nClose == std::string::npos) return 0.0;
    std::istringstream ss(s.substr(nClose + 2));
    std::string field;
    double ut = 0, st = 0;
    for (int i = 3; i <= 15 && ss >> field; ++i) {
        if (i == 14) ut = std::stod(field);
        if (i == 15) st = std::stod(field);
    }
    return (ut + st) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// UDP receive errors of the calling thread's network namespace (datagrams a full socket buffer
// turned away).
uint64_t UdpReceiveBufferErrors(const std::string& strSnmp = "/proc/thread-self/net/snmp") {
    std::ifstream in(strSnmp);
    std::string strNames, strValues, s;
    while (std::getline(in, s)) {
        if (s.rfind("Udp: ", 0) != 0) continue;
        if (strNames.empty()) {
            strNames = s;
        } else {
            strValues = s;
            break;
        }
    }
    std::istringstream n(strNames), v(strValues);
    std::string name, value;
    while (n >> name && v >> value)
        if (name == "RcvbufErrors") return std::stoull(value);
    return 0;
}

// args: MTU, images (0/1), drop ratio in tenths of a percent, replay rate (frames/s, 0: unpaced).
void BM_Stream(benchmark::State& state) {
    if (!kxtest::NetlabUnavailable().empty()) {
        state.SkipWithError(("needs network namespaces: " + kxtest::NetlabUnavailable()).c_str());
        return;
    }
    const int nMtu = static_cast<int>(state.range(0));
    const bool bImages = state.range(1) != 0;
    const double dDrop = static_cast<double>(state.range(2)) / 1000.0;
    kxtest::CNetLab lab;
    const std::string host = lab.AddNamespace("bhost"), cam = lab.AddNamespace("bcam");
    lab.Link(host, "eth0", "192.0.2.1/24", cam, "eth0", "");
    lab.Exec(host, "ip link set eth0 mtu " + std::to_string(nMtu));
    lab.Exec(cam, "ip link set eth0 mtu " + std::to_string(nMtu));
    const std::string strLog = "/tmp/kxbench-stream-" + std::to_string(getpid()) + ".log";
    std::vector<std::string> argv = {KXEYE_EMULATOR_PATH, "--interface", "eth0", "--replay", "16", "--config",
                                     R"([{"ip": "192.0.2.10/24", "unlimited_rate": true}])"};
    if (dDrop > 0) {
        argv.push_back("--drop");
        argv.push_back(std::to_string(dDrop));
    }
    if (state.range(3) > 0) {
        argv.push_back("--replay-rate");
        argv.push_back(std::to_string(state.range(3)));
    }
    const pid_t pid = lab.Spawn(cam, argv, strLog);
    for (int i = 0; i < 500; ++i) {
        std::ifstream in(strLog);
        std::stringstream ss;
        ss << in.rdbuf();
        if (ss.str().find("serving") != std::string::npos) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kxtest::CInNetns in(host);
    std::unique_ptr<IOrEyeCamera> p(CreateOrEyeApi(OREYEAPI_TYPE_ETHERNET));
    if (p->InitDevice(1536, 2048, 0, 5, "192.0.2.10") != c_nOrEyeOK) {
        state.SkipWithError("cannot reach the emulator");
        return;
    }
    const unsigned int nFrameBytes = bImages ? 2u * 1536u * 2048u + c_nOrEyeLaserBytes : c_nOrEyeLaserBytes;
    // The pool covers the wait for resends: at 15,000 laser frames/s, 1024 buffers (33 MB) are
    // 68 ms of frames behind one that waits for its missing packets.
    p->SetImageTransfer(bImages ? 1 : 0, bImages ? 32 : 1024, nFrameBytes);
    SCount count;
    count.pCamera = p.get();
    p->SetFrameCallback(1, &SCount::Callback, &count);
    p->EnableStream(1);
    // The replayed frames are rendered first (seconds for image frames on a busy machine).
    for (int i = 0; i < 3000; ++i) {
        std::ifstream in(strLog);
        std::stringstream ss;
        ss << in.rdbuf();
        if (ss.str().find("replaying") != std::string::npos) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));  // the stream settles (the pool fills)
    for (auto _ : state) {
        OrEyeTest::EthernetStats s0{}, s1{};
        OrEyeTest::GetEthernetStats(p.get(), &s0);
        const uint64_t nFrames0 = count.nFrames, nBytes0 = count.nBytes;
        const double dCpu0 = ProcessCpuSeconds(), dEmu0 = ChildCpuSeconds(pid);
        const uint64_t nSockDrops0 = UdpReceiveBufferErrors();
        const std::string strEmuSnmp = "/proc/" + std::to_string(pid) + "/net/snmp";  // the camera's namespace
        const uint64_t nEmuDrops0 = UdpReceiveBufferErrors(strEmuSnmp);
        const auto t0 = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(3));
        const double dSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        const double dCpu = ProcessCpuSeconds() - dCpu0, dEmu = ChildCpuSeconds(pid) - dEmu0;
        OrEyeTest::GetEthernetStats(p.get(), &s1);
        const uint64_t nSockDrops = UdpReceiveBufferErrors() - nSockDrops0;
        const uint64_t nEmuDrops = UdpReceiveBufferErrors(strEmuSnmp) - nEmuDrops0;
        const double dFrames = static_cast<double>(count.nFrames - nFrames0);
        const double dGiB = static_cast<double>(count.nBytes - nBytes0) / (1024.0 * 1024.0 * 1024.0);
        state.SetIterationTime(dSeconds);
        state.counters["frames_per_s"] = dFrames / dSeconds;
        state.counters["GiB_per_s"] = dGiB / dSeconds;
        state.counters["complete"] = static_cast<double>(s1.nFramesComplete - s0.nFramesComplete);
        state.counters["incomplete"] = static_cast<double>(s1.nFramesIncomplete - s0.nFramesIncomplete);
        state.counters["underrun"] = static_cast<double>(s1.nFramesUnderrun - s0.nFramesUnderrun);
        state.counters["resent_packets"] = static_cast<double>(s1.nPacketsResent - s0.nPacketsResent);
        state.counters["socket_drops"] = static_cast<double>(nSockDrops);
        state.counters["emu_socket_drops"] = static_cast<double>(nEmuDrops);
        state.counters["resend_requests"] = static_cast<double>(s1.nResendRequests - s0.nResendRequests);
        const double dAll = static_cast<double>((s1.nFramesComplete - s0.nFramesComplete) +
                                                (s1.nFramesIncomplete - s0.nFramesIncomplete) +
                                                (s1.nFramesUnderrun - s0.nFramesUnderrun));
        state.counters["complete_pct"] =
            dAll > 0 ? 100.0 * static_cast<double>(s1.nFramesComplete - s0.nFramesComplete) / dAll : 0.0;
        state.counters["lib_cpu_s_per_GiB"] = dGiB > 0 ? dCpu / dGiB : 0.0;
        state.counters["emu_cpu_s_per_GiB"] = dGiB > 0 ? dEmu / dGiB : 0.0;
    }
    p->EnableStream(0);
    p->SetFrameCallback(0, nullptr, nullptr);
    p.reset();
    unlink(strLog.c_str());
}
}  // namespace

BENCHMARK(BM_Stream)
    ->ArgNames({"mtu", "images", "drop_permille", "rate"})
    ->Args({9000, 1, 0, 0})
    ->Args({9000, 1, 0, 200})
    ->Args({1500, 1, 0, 0})
    ->Args({1500, 1, 0, 200})
    ->Args({1500, 0, 0, 0})
    ->Args({1500, 0, 0, 16000})
    ->Args({1500, 0, 10, 0})
    ->Args({1500, 0, 10, 15000})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
