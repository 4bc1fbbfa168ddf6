// kxeye-emulator: serves virtual laser eyes on a network card through the Ethernet protocol.
// Run it only inside a network namespace made for it (docs/emulator.md).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>

#include <CLI/CLI.hpp>

#include "kxeyeemulator.h"

namespace {
std::atomic<bool> g_bStop{false};

void OnSignal(int) { g_bStop.store(true); }

bool ParseMac(const std::string& s, uint8_t* p) {
    unsigned int a[6];
    if (sscanf(s.c_str(), "%x:%x:%x:%x:%x:%x", &a[0], &a[1], &a[2], &a[3], &a[4], &a[5]) != 6) return false;
    for (int i = 0; i < 6; ++i) {
        if (a[i] > 255) return false;
        p[i] = static_cast<uint8_t>(a[i]);
    }
    return true;
}

bool ParseCameras(const std::string& strConfig, const std::string& strStorageDir,
                  std::vector<SEmuCameraConfig>* pvec, std::string* pErr) {
    std::string strText = strConfig;
    const size_t nFirst = strText.find_first_not_of(" \t\r\n");
    if (nFirst != std::string::npos && strText[nFirst] != '[' && strText[nFirst] != '{') {
        std::ifstream in(strConfig);
        if (!in) {
            *pErr = "cannot read " + strConfig;
            return false;
        }
        std::stringstream ss;
        ss << in.rdbuf();
        strText = ss.str();
    }
    nlohmann::json j;
    try {
        j = nlohmann::json::parse(strText);
    } catch (const std::exception& e) {
        *pErr = e.what();
        return false;
    }
    if (j.is_object()) j = nlohmann::json::array({j});
    if (!j.is_array() || j.empty()) {
        *pErr = "the configuration names no camera";
        return false;
    }
    for (size_t i = 0; i < j.size(); ++i) {
        const nlohmann::json& e = j[i];
        SEmuCameraConfig c;
        // The emulator's own keys; the rest is a virtual camera's configuration, read strictly.
        nlohmann::json v = e;
        if (v.is_object())
            for (const char* pszKey : {"ip", "mac", "wire_id"}) v.erase(pszKey);
        if (!strStorageDir.empty() && !v.contains("storage_file"))
            v["storage_file"] = strStorageDir + "/camera" + std::to_string(i) + ".bin";
        if (!OrVirtualRegistry::ParseCameraText(v.dump(), static_cast<int>(i), &c.sVirtual, pErr)) return false;
        const std::string strIp = e.value("ip", "");
        const size_t nSlash = strIp.find('/');
        const int nPrefix = nSlash == std::string::npos ? 24 : atoi(strIp.c_str() + nSlash + 1);
        if (!OrNet::ParseIPv4(strIp.substr(0, nSlash).c_str(), &c.nIp) || nPrefix < 1 || nPrefix > 30) {
            *pErr = "camera " + std::to_string(i) + ": \"ip\" must be an address with a prefix, like 192.0.2.10/24";
            return false;
        }
        c.nNetmask = 0xFFFFFFFFu << (32 - nPrefix);
        const std::string strMac = e.value("mac", "02:4b:58:00:00:0" + std::to_string(i + 1));
        if (!ParseMac(strMac, c.abyMac)) {
            *pErr = "camera " + std::to_string(i) + ": bad \"mac\" " + strMac;
            return false;
        }
        // The identifier the search reports and broadcast commands address: "wire_id" (16 hex
        // digits) or "KX" and the first MAC.
        const std::string strId = e.value("wire_id", "");
        if (!strId.empty()) {
            if (strId.size() != 16) {
                *pErr = "\"wire_id\" has 16 hex digits";
                return false;
            }
            for (int k = 0; k < 8; ++k) c.abyDeviceId[k] = static_cast<uint8_t>(std::stoul(strId.substr(2 * k, 2), nullptr, 16));
        } else {
            c.abyDeviceId[0] = 'K';
            c.abyDeviceId[1] = 'X';
            memcpy(c.abyDeviceId + 2, c.abyMac, 6);
        }
        pvec->push_back(c);
    }
    return true;
}

// Run-time faults: one command per line written to the FIFO.
void FaultReader(const std::string& strFifo, CKxEyeEmulator* pEmu) {
    const int fd = open(strFifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);  // RDWR: no EOF between writers
    if (fd < 0) {
        CKxEyeEmulator::Log("cannot open fault fifo %s", strFifo.c_str());
        return;
    }
    std::string strPending;
    char buf[256];
    while (!g_bStop.load()) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, 100) <= 0) continue;
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) continue;
        strPending.append(buf, static_cast<size_t>(n));
        size_t nl;
        while ((nl = strPending.find('\n')) != std::string::npos) {
            const std::string strLine = strPending.substr(0, nl);
            strPending.erase(0, nl + 1);
            if (!strLine.empty() && !pEmu->ApplyFaultCommand(strLine))
                CKxEyeEmulator::Log("unknown fault command: %s", strLine.c_str());
        }
    }
    close(fd);
}
}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Network laser eye emulator: virtual cameras behind the Ethernet protocol. "
                 "Run it only inside a network namespace made for it.",
                 "kxeye-emulator"};
    std::string strInterface, strConfig, strStorageDir, strFifo, strDelay;
    int nHeartbeatMs = 3000;
    SEmuFaults faults;
    app.add_option("--interface", strInterface, "card to serve on")->required();
    app.add_option("--config", strConfig,
                   "cameras: JSON text or file, a list of virtual-camera objects with \"ip\" (address/prefix) "
                   "and \"mac\"")
        ->required();
    app.add_option("--storage-dir", strStorageDir, "keep each camera's storage in DIR/camera<i>.bin");
    app.add_option("--heartbeat-ms", nHeartbeatMs, "a controlling host silent this long loses control")
        ->check(CLI::Range(100, 600000));
    app.add_option("--drop", faults.dDrop, "ratio of stream packets dropped")->check(CLI::Range(0.0, 1.0));
    app.add_option("--duplicate", faults.dDuplicate, "ratio of stream packets sent twice")->check(CLI::Range(0.0, 1.0));
    app.add_option("--reorder", faults.dReorder, "ratio of stream packets held behind the next")->check(CLI::Range(0.0, 1.0));
    app.add_option("--delay", strDelay, "RATIO:MS, ratio of stream packets sent MS late");
    app.add_option("--busy", faults.nBusy, "answer busy (-10014) to the next N commands");
    app.add_flag("--mute", faults.bMute, "answer nothing");
    app.add_option("--die-after-frames", faults.nDieAfterFrames, "exit at once after N frames were sent");
    int nReplay = 0;
    app.add_option("--replay", nReplay, "on stream on, render N frames once and send them round and round as fast "
                                        "as the link takes them (benchmarks)")
        ->check(CLI::Range(0, 64));
    double dReplayRate = 0.0;
    app.add_option("--replay-rate", dReplayRate, "with --replay: frames per second, each frame's packets spread over "
                                                 "its period (0: as fast as the link takes them)")
        ->check(CLI::Range(0.0, 1e6));
    app.add_option("--fault-fifo", strFifo, "FIFO to read run-time fault commands from (made if missing)");
    CLI11_PARSE(app, argc, argv);
    if (!strDelay.empty() && sscanf(strDelay.c_str(), "%lf:%d", &faults.dDelay, &faults.nDelayMs) != 2) {
        std::cerr << "kxeye-emulator: --delay takes RATIO:MS\n";
        return 2;
    }

    std::vector<SEmuCameraConfig> vecCameras;
    std::string strErr;
    if (!ParseCameras(strConfig, strStorageDir, &vecCameras, &strErr)) {
        std::cerr << "kxeye-emulator: " << strErr << "\n";
        return 2;
    }
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    CKxEyeEmulator emu(strInterface, nHeartbeatMs, faults, nReplay, dReplayRate);
    if (!emu.Start(vecCameras, &strErr)) {
        std::cerr << "kxeye-emulator: " << strErr << "\n";
        return 1;
    }
    std::thread thFaults;
    if (!strFifo.empty()) {
        mkfifo(strFifo.c_str(), 0600);
        thFaults = std::thread(FaultReader, strFifo, &emu);
    }
    // A stop request ends the process within a second whatever its threads are doing: a stream
    // thread stuck in a send or a long packet delay must not keep a test or a service manager
    // waiting for the kill.
    std::thread([] {
        while (!g_bStop.load()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::this_thread::sleep_for(std::chrono::milliseconds(800));
        CKxEyeEmulator::Log("stopped (threads still busy after 800 ms left behind)");
        _exit(0);
    }).detach();
    CKxEyeEmulator::Log("serving %zu camera(s) on %s", vecCameras.size(), strInterface.c_str());
    emu.Run(&g_bStop);
    if (thFaults.joinable()) thFaults.join();
    CKxEyeEmulator::Log("stopped");
    return 0;
}
