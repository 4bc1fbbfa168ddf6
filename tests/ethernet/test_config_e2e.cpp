// Search, online check and Ethernet configuration end to end: the SDK (enumerator, Ethernet
// configuration, device) in a host namespace, kxeye-emulator in a camera namespace, joined by
// veth pairs. Root only; skipped elsewhere. Only the public headers and the shared library.
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <algorithm>
#include <map>
#include <set>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kxkernel.h"
#include "kxkernel_testsupport.h"
#include "kxlasereyedevice.h"
#include "oreyeapi.h"
#include "oreyeapi_testsupport.h"
#include "ornet.h"
#include "orwire.h"
#include "support/kxemulab.h"

using namespace std::chrono_literals;

namespace {

using kxtest::ReadFile;
using kxtest::WaitFor;

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
    return n;
}

template <class T>
struct Ref {
    T* p = nullptr;
    ~Ref() {
        if (p) p->Release();
    }
    T* operator->() const { return p; }
};

class CCountFrames : public IKxLaserDataCallBack {
public:
    std::atomic<int> nFrames{0};
    void OnLaserResult(IKxLaserEyeResultBlock*) override { ++nFrames; }
};

// Records the delegate calls.
class RecordingDelegate : public IKxEthernetEyeConfig {
public:
    std::vector<int> ops;
    int32_t SetIPAddress(const SKxNLEyeDeviceInfoEx*, const uint8_t*, void*, void*) override { ops.push_back(4); return 104; }
    int32_t SetDeviceIPAddress(IKxDevice*, const uint8_t*, void*, void*) override { ops.push_back(5); return 105; }
    int32_t ExtendedConfig1(const SKxNLEyeDeviceInfoEx*, void*, void*, void*, void*) override { ops.push_back(6); return 106; }
    int32_t ExtendedConfig2(const SKxNLEyeDeviceInfoEx*, int32_t) override { ops.push_back(7); return 107; }
    int32_t IsDelegateDevice(const SKxNLEyeDeviceInfoEx*) override { ops.push_back(8); return 108; }
    int32_t SetDeviceMACAddress(IKxDevice*, const uint8_t*) override { ops.push_back(9); return 109; }
    int32_t ResetDestAddress(const SKxNLEyeDeviceInfoEx*) override { ops.push_back(10); return 110; }
    int32_t ResetDeviceDestAddress(IKxDevice*) override { ops.push_back(11); return 111; }
    int32_t BindHostAddress(const SKxNLEyeDeviceInfoEx*) override { ops.push_back(12); return 112; }
    int32_t BindDeviceHostAddress(IKxDevice*) override { ops.push_back(13); return 113; }
};

class ConfigE2E : public kxtest::EmulatorTest {
protected:
    void SetUp() override {
        EmulatorTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        // Test cards are veth pairs: list them. No promotion of secondary addresses here: a
        // camera moved inside its subnet relies on the emulator switching it on for its own card.
        KxGlobalSetting::SetVirtualCards("*");
        ASSERT_TRUE(KxKernel::KxCreateMemPool(&m_pMemPool));
        ASSERT_TRUE(KxKernel::KxCreateSurfacePool(&m_pSurfacePool));
    }
    void TearDown() override {
        EmulatorTest::TearDown();
        if (m_pMemPool) m_pMemPool->Release();
        if (m_pSurfacePool) m_pSurfacePool->Release();
        SetPerCard(0);
        KxGlobalSetting::SetVirtualCards(nullptr);
    }

    static void SetPerCard(uint8_t n) {
        SKxGlobalSetting s = *KxGlobalSetting::GetSetting();
        s.bySearchPerCard = n;
        KxGlobalSetting::SetSetting(s);
    }

    std::vector<SKxNLEyeDeviceInfoEx> Search(IKxEyeDeviceEnumrator* pEnum) {
        EXPECT_EQ(0, pEnum->SearchDevice(c_nKxSearchEthernet));
        std::vector<SKxNLEyeDeviceInfoEx> list;
        pEnum->GetDeviceInfoList(list);
        return list;
    }

    IKxLaserEyeDevice* OpenDevice(const SKxNLEyeDeviceInfoEx& info) {
        IKxLaserEyeDevice* pDevice = nullptr;
        EXPECT_TRUE(KxCreateLaserEyeDevice(&info, m_pSurfacePool, m_pMemPool, &pDevice));
        EXPECT_EQ(0, pDevice->Open(0));
        return pDevice;
    }

    // Captures until nFrames arrived (or 10 s); answers the count.
    static int Capture(IKxLaserEyeDevice* pDevice, int nFrames) {
        CCountFrames cb;
        EXPECT_EQ(0, pDevice->StartCapture(0, &cb, nullptr));
        WaitFor([&] { return cb.nFrames >= nFrames; }, 10s);
        EXPECT_EQ(0, pDevice->StopCapture());
        return cb.nFrames.load();
    }

    // The destination pair the camera holds, first octet first.
    static std::string Destination(IKxLaserEyeDevice* pDevice) {
        uint8_t byIP[4] = {}, byMAC[6] = {};
        IOrEyeCamera* pCamera = pDevice->GetCoreEye();
        if (pCamera == nullptr || pCamera->GetParam(5, byIP, 4) != 0 || pCamera->GetParam(3, byMAC, 6) != 0) return "?";
        char sz[64];
        snprintf(sz, sizeof sz, "%d.%d.%d.%d %02x:%02x:%02x:%02x:%02x:%02x", byIP[3], byIP[2], byIP[1], byIP[0], byMAC[0],
                 byMAC[1], byMAC[2], byMAC[3], byMAC[4], byMAC[5]);
        return sz;
    }

    std::string CardMAC(const std::string& ns, const std::string& ifName) {
        std::string out;
        m_pLab->Exec(ns, "cat /sys/class/net/" + ifName + "/address", &out);
        while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
        return out;
    }

    IKxMemPool* m_pMemPool = nullptr;
    IKxSurfacePool* m_pSurfacePool = nullptr;
};

const char* const c_pszForeignCamera =
    R"([{"ip": "203.0.113.50/24", "mac": "02:4b:58:00:00:40", "wire_id": "4b58000000000040", "unlimited_rate": true}])";
const char* const c_pszLocalCamera =
    R"([{"ip": "192.0.2.10/24", "mac": "02:4b:58:00:00:10", "wire_id": "4b58000000000010", "unlimited_rate": true}])";

// A new camera on a foreign subnet: listed with its card, moved onto the card's subnet, pinned in
// the host's neighbour table, the list updated, opened from the updated record, 100 frames; online
// while the emulator runs, not for another MAC or identifier, not after it stopped.
TEST_F(ConfigE2E, NewCameraIsFoundMovedPinnedOpenedAndCaptures) {
    m_pLab->Link(m_host, "eth0", "192.0.2.1/24", m_cam, "eth0", "");
    const pid_t pid = StartEmulator(c_pszForeignCamera);
    kxtest::CInNetns in(m_host);
    Ref<IKxEyeDeviceEnumrator> e;
    ASSERT_TRUE(KxCreateLaserEyeDeviceEnumrator(&e.p));
    auto list = Search(e.p);
    ASSERT_EQ(1u, list.size());
    SKxNLEyeDeviceInfoEx rec = list[0];
    EXPECT_STREQ("203.0.113.50", rec.szIPAddress);
    EXPECT_STREQ("02:4b:58:00:00:40", rec.szMACAddress);
    EXPECT_STREQ("eth0", rec.sNetCardInfo.szDescription);
    EXPECT_EQ(192, rec.sNetCardInfo.byIP[0]);
    EXPECT_EQ(1, rec.sNetCardInfo.byIP[3]);
    EXPECT_EQ(1, rec.bDeviceInfoValid);
    EXPECT_STREQ("OrvikEye-Laser-Eth", rec.szDeviceName);
    EXPECT_EQ(0x1122u, rec.nDeviceFlags);
    EXPECT_EQ(8u, rec.sVideoRes.nVersion);

    Ref<IKxEthernetEyeConfig> config;
    ASSERT_TRUE(KxCreateLaserEyeEthernetEyeConfig(nullptr, &config.p));
    const uint8_t byNew[4] = {192, 0, 2, 20};
    EXPECT_EQ(0, config->SetIPAddress(&rec, byNew, nullptr, nullptr));
    std::string neigh;
    m_pLab->Exec(m_host, "ip neigh show 192.0.2.20 dev eth0", &neigh);
    EXPECT_NE(std::string::npos, neigh.find("lladdr 02:4b:58:00:00:40 PERMANENT")) << neigh;

    EXPECT_EQ(0, e->UpdateDeviceIP(rec.szDeviceID, byNew));
    ASSERT_EQ(0, e->GetDeviceInfoByID(rec.szDeviceID, &rec));
    EXPECT_STREQ("192.0.2.20", rec.szIPAddress);
    EXPECT_STREQ("192.0.2.20", rec.szEyeIP);

    IKxLaserEyeDevice* pDevice = OpenDevice(rec);
    EXPECT_GE(Capture(pDevice, 100), 100);
    pDevice->Close();
    pDevice->Release();

    EXPECT_TRUE(e->IsDeviceOnline(&rec));
    SKxNLEyeDeviceInfoEx otherMAC = rec, otherID = rec;
    std::strcpy(otherMAC.szEyeMAC, "02:4b:58:00:00:41");
    otherID.byDeviceID[7] ^= 1;
    EXPECT_FALSE(e->IsDeviceOnline(&otherMAC));
    EXPECT_FALSE(e->IsDeviceOnline(&otherID));
    m_pLab->Stop(pid);
    EXPECT_FALSE(e->IsDeviceOnline(&rec));
}

// One camera behind a bridge that both host cards reach: listed once per card with different
// IDs, kept by a second search, new in a new enumerator; the per-card search lists the same.
TEST_F(ConfigE2E, CameraThroughTwoCardsIsListedTwice) {
    // Two cards on one segment: each answers ARP for its own address only (as a host with two
    // cards on one segment is set up), so that an answer to a card arrives through that card.
    ASSERT_EQ(0, m_pLab->Exec(m_host, "sysctl -qw net.ipv4.conf.all.arp_ignore=1 net.ipv4.conf.default.arp_ignore=1 "
                                      "net.ipv4.conf.all.arp_announce=2 net.ipv4.conf.default.arp_announce=2"));
    m_pLab->Link(m_host, "eth0", "192.0.2.1/24", m_cam, "h0", "");
    m_pLab->Link(m_host, "eth1", "198.51.100.1/24", m_cam, "h1", "");
    ASSERT_EQ(0, m_pLab->Exec(m_cam, "sh -c 'ip link add br0 type bridge && ip link set h0 master br0 && "
                                     "ip link set h1 master br0 && ip link set br0 up'"));
    StartEmulator(c_pszLocalCamera, {}, "br0");
    kxtest::CInNetns in(m_host);
    Ref<IKxEyeDeviceEnumrator> e;
    ASSERT_TRUE(KxCreateLaserEyeDeviceEnumrator(&e.p));
    auto byCard = [](const std::vector<SKxNLEyeDeviceInfoEx>& list) {
        std::map<std::string, SKxNLEyeDeviceInfoEx> m;
        for (const auto& r : list) m[r.sNetCardInfo.szDescription] = r;
        return m;
    };
    const auto first = byCard(Search(e.p));
    ASSERT_EQ(2u, first.size());
    ASSERT_TRUE(first.count("eth0") && first.count("eth1"));
    for (const auto& [card, r] : first) {
        EXPECT_STREQ("02:4b:58:00:00:10", r.szEyeMAC) << card;
        EXPECT_EQ(1, r.bDeviceInfoValid) << card;
    }
    EXPECT_STRNE(first.at("eth0").szDeviceID, first.at("eth1").szDeviceID);

    const auto second = byCard(Search(e.p));
    ASSERT_EQ(2u, second.size());
    for (const auto& [card, r] : first) EXPECT_STREQ(r.szDeviceID, second.at(card).szDeviceID) << card;

    Ref<IKxEyeDeviceEnumrator> e2;
    ASSERT_TRUE(KxCreateLaserEyeDeviceEnumrator(&e2.p));
    const auto fresh = byCard(Search(e2.p));
    ASSERT_EQ(2u, fresh.size());
    for (const auto& [card, r] : first) EXPECT_STRNE(r.szDeviceID, fresh.at(card).szDeviceID) << card;

    SetPerCard(1);
    KxLogCapture log;
    const auto perCard = byCard(Search(e.p));
    ASSERT_EQ(2u, perCard.size()) << ReadFile(m_log);
    for (const auto& [card, r] : first) {
        EXPECT_STREQ(r.szEyeMAC, perCard.at(card).szEyeMAC) << card;
        EXPECT_STREQ(r.szEyeIP, perCard.at(card).szEyeIP) << card;
    }
    EXPECT_TRUE(log.HasLine(c_nKxLogState, "192.0.2.1 SearchRet = 0"));
    EXPECT_TRUE(log.HasLine(c_nKxLogState, "198.51.100.1 SearchRet = 0"));
}

// The destination pair, record and opened-device forms: the camera holds what was sent and the
// stream reaches the host either way.
TEST_F(ConfigE2E, BindHostAndResetDestinationChangeWhereTheCameraStreams) {
    m_pLab->Link(m_host, "eth0", "192.0.2.1/24", m_cam, "eth0", "");
    StartEmulator(c_pszLocalCamera);
    kxtest::CInNetns in(m_host);
    const std::string host = "192.0.2.1 " + CardMAC(m_host, "eth0");
    const std::string broadcast = "255.255.255.255 ff:ff:ff:ff:ff:ff";
    Ref<IKxEyeDeviceEnumrator> e;
    ASSERT_TRUE(KxCreateLaserEyeDeviceEnumrator(&e.p));
    const auto list = Search(e.p);
    ASSERT_EQ(1u, list.size());
    const SKxNLEyeDeviceInfoEx rec = list[0];
    Ref<IKxEthernetEyeConfig> config;
    ASSERT_TRUE(KxCreateLaserEyeEthernetEyeConfig(nullptr, &config.p));

    EXPECT_EQ(0, config->BindHostAddress(&rec));
    IKxLaserEyeDevice* pDevice = OpenDevice(rec);
    EXPECT_EQ(host, Destination(pDevice));
    EXPECT_GE(Capture(pDevice, 30), 30);
    EXPECT_EQ(0, config->ResetDeviceDestAddress(pDevice));
    EXPECT_EQ(broadcast, Destination(pDevice));
    EXPECT_GE(Capture(pDevice, 30), 30);
    EXPECT_EQ(0, config->BindDeviceHostAddress(pDevice));
    EXPECT_EQ(host, Destination(pDevice));
    EXPECT_GE(Capture(pDevice, 30), 30);

    // The current address or MAC: 0, nothing sent, the device left unlocked.
    const uint8_t byCurrentIP[4] = {192, 0, 2, 10};
    const uint8_t byCurrentMAC[6] = {0x02, 0x4b, 0x58, 0x00, 0x00, 0x10};
    const std::string before = ReadFile(m_log);
    EXPECT_EQ(0, config->SetDeviceIPAddress(pDevice, byCurrentIP, nullptr, nullptr));
    EXPECT_EQ(0, config->SetDeviceMACAddress(pDevice, byCurrentMAC));
    auto other = std::async(std::launch::async, [pDevice] {
        pDevice->Lock();
        pDevice->Unlock();
        return true;
    });
    EXPECT_EQ(std::future_status::ready, other.wait_for(2s)) << "the device stayed locked";
    pDevice->Close();
    pDevice->Release();
    EXPECT_EQ(0, config->SetIPAddress(&rec, byCurrentIP, nullptr, nullptr));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(Count(before, "takes control"), Count(ReadFile(m_log), "takes control"));  // no camera object made

    EXPECT_EQ(0, config->ResetDestAddress(&rec));
    pDevice = OpenDevice(rec);
    EXPECT_EQ(broadcast, Destination(pDevice));
    EXPECT_GE(Capture(pDevice, 30), 30);
    pDevice->Close();
    pDevice->Release();
}

// The destination pair with the camera answering busy: once, the pair goes twice and succeeds;
// the address busy in both attempts answers -10014.
TEST_F(ConfigE2E, DestinationAgainAfterBusy) {
    m_pLab->Link(m_host, "eth0", "192.0.2.1/24", m_cam, "eth0", "");
    const std::string fifo = m_dir + "/faults";
    StartEmulator(c_pszLocalCamera, {"--fault-fifo", fifo});
    kxtest::CInNetns in(m_host);
    Ref<IKxEyeDeviceEnumrator> e;
    ASSERT_TRUE(KxCreateLaserEyeDeviceEnumrator(&e.p));
    const auto list = Search(e.p);
    ASSERT_EQ(1u, list.size());
    Ref<IKxEthernetEyeConfig> config;
    ASSERT_TRUE(KxCreateLaserEyeEthernetEyeConfig(nullptr, &config.p));
    auto fault = [&](const std::string& s) {
        {
            std::ofstream f(fifo);
            f << s << "\n";
        }
        ASSERT_TRUE(WaitFor([&] { return ReadFile(m_log).find("fault: " + s) != std::string::npos; }, 2000ms));
    };
    struct Case {
        const char* pszFault;
        int nExpect;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"busy 1", 0, {"DestIPRet: -10014", "DestMACRet: 0", "DestIPRet: 0", "DestMACRet: 0"}},
        {"busy 3", -10014, {"DestIPRet: -10014", "DestMACRet: -10014", "DestIPRet: -10014", "DestMACRet: 0"}},
    };
    for (const Case& c : cases) {
        fault(c.pszFault);
        KxLogCapture log(c_nKxLogDetail);
        EXPECT_EQ(c.nExpect, config->BindHostAddress(&list[0])) << c.pszFault;
        EXPECT_EQ(c.lines, log.Lines(c_nKxLogDetail)) << c.pszFault;
        fault("clear");
    }
}

// Without CAP_NET_ADMIN (a child process that dropped it): the camera takes the new address but
// the ARP entry cannot be written (-69997); a new MAC answers 0 and logs "ARP Bind Failed".
TEST_F(ConfigE2E, ArpRefusedWithoutNetAdmin) {
    m_pLab->Link(m_host, "eth0", "192.0.2.1/24", m_cam, "eth0", "");
    StartEmulator(c_pszLocalCamera);
    SKxNLEyeDeviceInfoEx rec;
    {
        kxtest::CInNetns in(m_host);
        Ref<IKxEyeDeviceEnumrator> e;
        ASSERT_TRUE(KxCreateLaserEyeDeviceEnumrator(&e.p));
        const auto list = Search(e.p);
        ASSERT_EQ(1u, list.size());
        rec = list[0];
    }
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(fds[0]);
        int nIP = 1, nMAC = 1, nLogged = 0;
        try {
            kxtest::CInNetns in(m_host);
            __user_cap_header_struct hdr{_LINUX_CAPABILITY_VERSION_3, 0};
            __user_cap_data_struct data[2] = {};
            syscall(SYS_capget, &hdr, data);
            data[CAP_NET_ADMIN / 32].effective &= ~(1u << (CAP_NET_ADMIN % 32));
            data[CAP_NET_ADMIN / 32].permitted &= ~(1u << (CAP_NET_ADMIN % 32));
            if (syscall(SYS_capset, &hdr, data) != 0) _exit(2);
            IKxEthernetEyeConfig* pConfig = nullptr;
            KxCreateLaserEyeEthernetEyeConfig(nullptr, &pConfig);
            const uint8_t byNew[4] = {192, 0, 2, 30};
            nIP = pConfig->SetIPAddress(&rec, byNew, nullptr, nullptr);
            SKxNLEyeDeviceInfoEx moved = rec;
            snprintf(moved.szIPAddress, sizeof moved.szIPAddress, "192.0.2.30");
            snprintf(moved.szEyeIP, sizeof moved.szEyeIP, "192.0.2.30");
            IKxLaserEyeDevice* pDevice = nullptr;
            KxCreateLaserEyeDevice(&moved, nullptr, nullptr, &pDevice);
            pDevice->Open(0);
            KxLogCapture log;
            const uint8_t byMAC[6] = {0x02, 0x4b, 0x58, 0x00, 0x00, 0x77};
            nMAC = pDevice->IsOpen() ? pConfig->SetDeviceMACAddress(pDevice, byMAC) : 99;
            nLogged = log.HasLine(c_nKxLogError, "ARP Bind Failed") ? 1 : 0;
            pDevice->Close();
            pDevice->Release();
            pConfig->Release();
        } catch (...) {
            _exit(3);
        }
        char sz[64];
        const int n = snprintf(sz, sizeof sz, "%d %d %d", nIP, nMAC, nLogged);
        if (write(fds[1], sz, static_cast<size_t>(n)) != n) _exit(4);
        _exit(0);
    }
    close(fds[1]);
    int status = 0;
    const auto tEnd = std::chrono::steady_clock::now() + 30s;
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > tEnd) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            FAIL() << "the child did not finish";
        }
        std::this_thread::sleep_for(20ms);
    }
    char sz[64] = {};
    const ssize_t n = read(fds[0], sz, sizeof sz - 1);
    close(fds[0]);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << ReadFile(m_log);
    ASSERT_GT(n, 0);
    EXPECT_STREQ("-69997 0 1", sz) << ReadFile(m_log);
    std::string neigh;
    m_pLab->Exec(m_host, "ip neigh show 192.0.2.30 dev eth0", &neigh);
    EXPECT_EQ(std::string::npos, neigh.find("PERMANENT")) << neigh;
    EXPECT_NE(std::string::npos, ReadFile(m_log).find("address 192.0.2.10 -> 192.0.2.30"));
}

// Records of the other device family (flags 0x3000) go to the delegate for operations 4, 6, 7,
// 10 and 12; operation 8 answers 0 for them. Nothing reaches a camera.
TEST_F(ConfigE2E, OtherFamilyGoesToTheDelegate) {
    m_pLab->Link(m_host, "eth0", "192.0.2.1/24", m_cam, "eth0", "");
    StartEmulator(c_pszLocalCamera);
    kxtest::CInNetns in(m_host);
    Ref<IKxEyeDeviceEnumrator> e;
    ASSERT_TRUE(KxCreateLaserEyeDeviceEnumrator(&e.p));
    const auto list = Search(e.p);
    ASSERT_EQ(1u, list.size());
    SKxNLEyeDeviceInfoEx rec = list[0];
    rec.nDeviceFlags |= 0x3000;
    auto* pDelegate = new RecordingDelegate();
    Ref<IKxEthernetEyeConfig> config;
    ASSERT_TRUE(KxCreateLaserEyeEthernetEyeConfig(pDelegate, &config.p));
    const uint8_t byNew[4] = {192, 0, 2, 40};
    const std::string before = ReadFile(m_log);
    EXPECT_EQ(104, config->SetIPAddress(&rec, byNew, nullptr, nullptr));
    EXPECT_EQ(106, config->ExtendedConfig1(&rec, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(107, config->ExtendedConfig2(&rec, 1));
    EXPECT_EQ(0, config->IsDelegateDevice(&rec));
    EXPECT_EQ(110, config->ResetDestAddress(&rec));
    EXPECT_EQ(112, config->BindHostAddress(&rec));
    EXPECT_EQ((std::vector<int>{4, 6, 7, 10, 12}), pDelegate->ops);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(Count(before, "takes control"), Count(ReadFile(m_log), "takes control"));
    pDelegate->Release();
}

}  // namespace

namespace {
// Records of the Ethernet search open as devices through the Ethernet path, each with the
// connection mode its flags choose (0x1000 standard: mode 7, 0x2000 large: mode 5), and capture.
TEST_F(ConfigE2E, StandardAndLargeEyesOpenFromTheirRecordsAndCapture) {
    m_pLab->Link(m_host, "eth0", "192.0.2.1/24", m_cam, "eth0", "");
    StartEmulator(R"([{"ip": "192.0.2.10/24", "mac": "02:4b:58:00:00:10", "unlimited_rate": true},
                      {"ip": "192.0.2.11/24", "mac": "02:4b:58:00:00:11", "large": true, "unlimited_rate": true}])");
    kxtest::CInNetns in(m_host);
    Ref<IKxEyeDeviceEnumrator> e;
    ASSERT_TRUE(KxCreateLaserEyeDeviceEnumrator(&e.p));
    const auto list = Search(e.p);
    ASSERT_EQ(2u, list.size());
    std::map<std::string, SKxNLEyeDeviceInfoEx> byIP;
    for (const auto& r : list) byIP[r.szEyeIP] = r;
    ASSERT_TRUE(byIP.count("192.0.2.10") && byIP.count("192.0.2.11"));
    EXPECT_EQ(0x1122u, byIP["192.0.2.10"].nDeviceFlags);
    EXPECT_EQ(0x2122u, byIP["192.0.2.11"].nDeviceFlags);
    for (const auto& [ip, rec] : byIP) {
        IKxLaserEyeDevice* pDevice = OpenDevice(rec);
        ASSERT_TRUE(pDevice->IsOpen()) << ip;
        EXPECT_GE(Capture(pDevice, 30), 30) << ip;
        pDevice->Close();
        pDevice->Release();
    }
    EXPECT_EQ(2u, Count(ReadFile(m_log), "stream on"));
}
}  // namespace

namespace {

struct CameraDeleter {
    void operator()(IOrEyeCamera* p) const { delete p; }
};
typedef std::unique_ptr<IOrEyeCamera, CameraDeleter> CameraPtr;

std::string MACOf(const uint8_t* p) {
    char sz[18];
    snprintf(sz, sizeof sz, "%02x:%02x:%02x:%02x:%02x:%02x", p[0], p[1], p[2], p[3], p[4], p[5]);
    return sz;
}

}  // namespace

// Two new cameras with the same factory address and no identifier behind one switch: listed once
// each (by MAC), opening "the camera" without a choice refuses to guess, and each record moves its
// own camera onto a distinct address, one after the other.
TEST_F(ConfigE2E, TwoNewCamerasWithOneAddressAndNoIdentifierAreMovedOneByOne) {
    const std::string cam2 = m_pLab->AddNamespace("cam2");
    m_pLab->Link(m_host, "eth0", "192.0.2.1/24", m_cam, "h0", "");
    m_pLab->Link(m_cam, "c2", "", cam2, "eth0", "");
    ASSERT_EQ(0, m_pLab->Exec(m_cam, "sh -c 'ip link add br0 type bridge && ip link set h0 master br0 && "
                                     "ip link set c2 master br0 && ip link set br0 up'"));
    const char* const c_pszNew1 =
        R"([{"ip": "203.0.113.50/24", "mac": "02:4b:58:00:00:41", "wire_id": "ffffffffffffffff", "unlimited_rate": true}])";
    const char* const c_pszNew2 =
        R"([{"ip": "203.0.113.50/24", "mac": "02:4b:58:00:00:42", "wire_id": "ffffffffffffffff", "unlimited_rate": true}])";
    StartEmulator(c_pszNew1, {}, "br0");
    const std::string log1 = m_log;
    StartEmulator(c_pszNew2, {}, "eth0", cam2);
    kxtest::CInNetns in(m_host);

    {
        // Nothing selected, two cameras answer: no guess.
        CameraPtr pCamera(CreateOrEyeApi(OREYEAPI_TYPE_ETHERNET));
        ASSERT_TRUE(pCamera);
        EXPECT_EQ(c_nOrEyeNoDevice, pCamera->InitDevice(1536, 2048, 0, 5, nullptr));
    }

    Ref<IKxEyeDeviceEnumrator> e;
    ASSERT_TRUE(KxCreateLaserEyeDeviceEnumrator(&e.p));
    const auto list = Search(e.p);
    ASSERT_EQ(2u, list.size()) << ReadFile(log1) << ReadFile(m_log);
    EXPECT_STREQ("02:4b:58:00:00:41", list[0].szEyeMAC);
    EXPECT_STREQ("02:4b:58:00:00:42", list[1].szEyeMAC);
    EXPECT_STRNE(list[0].szDeviceID, list[1].szDeviceID);
    for (const auto& r : list) {
        EXPECT_STREQ("203.0.113.50", r.szEyeIP);
        EXPECT_STREQ("203.0.113.50", r.szConnectText);
        // Not read (either camera could have answered the read): what the answer tells.
        EXPECT_EQ(0, r.bDeviceInfoValid) << r.szEyeMAC;
        EXPECT_EQ(c_nKxFlagEthernet, r.nDeviceFlags) << r.szEyeMAC;
        EXPECT_EQ(8u, r.sVideoRes.nVersion) << r.szEyeMAC;
    }

    Ref<IKxEthernetEyeConfig> config;
    ASSERT_TRUE(KxCreateLaserEyeEthernetEyeConfig(nullptr, &config.p));
    const std::map<std::string, std::string> target = {{"02:4b:58:00:00:41", "192.0.2.20"},
                                                       {"02:4b:58:00:00:42", "192.0.2.21"}};
    for (const auto& r : list) {
        uint8_t byNew[4] = {192, 0, 2, 0};
        byNew[3] = r.szEyeMAC[16] == '1' ? 20 : 21;
        EXPECT_EQ(0, config->SetIPAddress(&r, byNew, nullptr, nullptr)) << r.szEyeMAC;
    }
    const auto moved = Search(e.p);
    ASSERT_EQ(2u, moved.size());
    for (const auto& r : moved) {
        EXPECT_EQ(target.at(r.szEyeMAC), std::string(r.szEyeIP)) << r.szEyeMAC;
        EXPECT_EQ(1, r.bDeviceInfoValid) << r.szEyeMAC;
        // The same record IDs: one ID per MAC and card.
        for (const auto& before : list) {
            if (std::strcmp(before.szEyeMAC, r.szEyeMAC) == 0) {
                EXPECT_STREQ(before.szDeviceID, r.szDeviceID);
            }
        }
    }
    // Each camera is reachable at its own address: the destination pair goes to it alone.
    for (const auto& r : moved) EXPECT_EQ(0, config->BindHostAddress(&r)) << r.szEyeMAC;
}

// Anyone on the LAN can answer a search. An answer whose sender is not the camera it describes is
// ignored and counted; a second, different answer for one camera is listed apart, counted, and
// opening that camera by its identifier then refuses to choose.
TEST_F(ConfigE2E, SearchAnswersAreTakenOnlyFromTheCameraTheyDescribe) {
    m_pLab->Link(m_host, "eth0", "192.0.2.1/24", m_cam, "eth0", "192.0.2.10/24");
    std::atomic<bool> bAnswered{false}, bReady{false};
    std::thread forger([&] {
        kxtest::CInNetns inCam(m_cam);
        const int fd = socket(AF_INET, SOCK_DGRAM, 0);
        if (fd < 0) return;
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(OrWire::c_nControlPort);
        const int nOn = 1;
        setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &nOn, sizeof nOn);
        timeval tv{5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
            close(fd);
            bReady = true;
            return;
        }
        bReady = true;
        std::vector<uint8_t> buf(2048);
        sockaddr_in from{};
        socklen_t nFrom = sizeof from;
        const ssize_t n = recvfrom(fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &nFrom);
        OrWire::SHeader h;
        if (n <= 0 || OrWire::DecodeHeader(buf.data(), static_cast<size_t>(n), &h) != OrWire::Ok) {
            close(fd);
            return;
        }
        OrWire::SSearchInfo real;
        const uint8_t byIP[4] = {192, 0, 2, 10}, byMAC[6] = {0x02, 0x4b, 0x58, 0, 0, 0x10},
                      byID[8] = {0x4b, 0x58, 0, 0, 0, 0, 0, 0x10}, byMask[4] = {255, 255, 255, 0};
        std::memcpy(real.abyIp, byIP, 4);
        std::memcpy(real.abyMac, byMAC, 6);
        std::memcpy(real.abyDeviceId, byID, 8);
        std::memcpy(real.abyNetmask, byMask, 4);
        std::memcpy(real.abyInfo2, "SERIAL-A", 8);
        OrWire::SSearchInfo forged = real;  // a camera at another address, sent from this one
        forged.abyIp[3] = 99;
        forged.abyMac[5] = 0x99;
        forged.abyDeviceId[7] = 0x99;
        OrWire::SSearchInfo second = real;  // the same camera, other contents
        std::memcpy(second.abyInfo2, "SERIAL-B", 8);
        std::vector<uint8_t> msg;
        for (const OrWire::SSearchInfo* p : {&forged, &real, &real, &second}) {
            OrWire::EncodeSearchReply(msg, h.nRequestId, *p);
            sendto(fd, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr*>(&from), nFrom);
        }
        OrWire::EncodeSearchReply(msg, h.nRequestId + 1, real);  // an answer to another request
        sendto(fd, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr*>(&from), nFrom);
        close(fd);
        bAnswered = true;
    });
    WaitFor([&] { return bReady.load(); }, 5s);
    kxtest::CInNetns in(m_host);
    CameraPtr pCamera(CreateOrEyeApi(OREYEAPI_TYPE_ETHERNET));
    ASSERT_TRUE(pCamera);
    std::vector<uint8_t> result(c_nOrEyeSearchBytes);
    const uint8_t byAll[4] = {255, 255, 255, 255}, byAllMAC[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(0, pCamera->Search(byAll, byAllMAC, result.data()));
    forger.join();
    ASSERT_TRUE(bAnswered);
    int32_t nCount = 0;
    std::memcpy(&nCount, result.data(), 4);
    ASSERT_EQ(2, nCount);
    std::set<std::string> setSerials;
    for (int i = 0; i < nCount; ++i) {
        const uint8_t* pEntry = result.data() + 4 + 60 * i;
        EXPECT_EQ("02:4b:58:00:00:10", MACOf(pEntry + 8));
        EXPECT_EQ(10, pEntry[0]);  // 192.0.2.10, lowest byte the last octet
        setSerials.insert(std::string(reinterpret_cast<const char*>(pEntry + 28), 8));
    }
    EXPECT_EQ((std::set<std::string>{"SERIAL-A", "SERIAL-B"}), setSerials);
    OrEyeTest::EthernetStats s{};
    ASSERT_TRUE(OrEyeTest::GetEthernetStats(pCamera.get(), &s));
    EXPECT_EQ(2u, s.nSearchIgnored);  // the forged sender and the other request
    EXPECT_EQ(1u, s.nSearchConflicts);

    const uint8_t byID[8] = {0x4b, 0x58, 0, 0, 0, 0, 0, 0x10};
    EXPECT_EQ(0, pCamera->SelectDevice(byID));
    EXPECT_EQ(c_nOrEyeNoDevice, pCamera->InitDevice(1536, 2048, 0, 5, nullptr));
}

namespace {

// A camera that only answers searches, in the camera namespace at 192.0.2.10 on br0: it gathers
// the requests of one search (one per card) and answers them in the order the test asks, the
// second 110 ms after the first, so that one card's answer comes late.
class CSearchOnlyCamera {
public:
    explicit CSearchOnlyCamera(const std::string& ns) : m_thread([this, ns] { Run(ns); }) {
        WaitFor([&] { return m_bReady.load(); }, 5s);
    }
    ~CSearchOnlyCamera() {
        m_bQuit = true;
        m_thread.join();
    }
    // Which requester is answered first: true for the one from 192.0.2.0/24 (eth0).
    std::atomic<bool> m_bEth0First{true};
    std::atomic<int> m_nSearches{0};

private:
    void Run(const std::string& ns) {
        kxtest::CInNetns in(ns);
        const int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(OrWire::c_nControlPort);
        timeval tv{0, 50000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        const bool bBound = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
        m_bReady = true;
        if (!bBound) return;
        OrWire::SSearchInfo me;
        const uint8_t byIP[4] = {192, 0, 2, 10}, byMAC[6] = {0x02, 0x4b, 0x58, 0, 0, 0x10},
                      byID[8] = {0x4b, 0x58, 0, 0, 0, 0, 0, 0x10}, byMask[4] = {255, 255, 255, 0};
        std::memcpy(me.abyIp, byIP, 4);
        std::memcpy(me.abyMac, byMAC, 6);
        std::memcpy(me.abyDeviceId, byID, 8);
        std::memcpy(me.abyNetmask, byMask, 4);
        std::vector<uint8_t> buf(2048), msg;
        while (!m_bQuit) {
            // One search: its requests, through each card, within 50 ms of each other.
            std::vector<std::pair<sockaddr_in, uint32_t>> vecRequests;
            for (;;) {
                sockaddr_in from{};
                socklen_t nFrom = sizeof from;
                const ssize_t n = recvfrom(fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &nFrom);
                if (n <= 0) break;
                OrWire::SHeader h;
                if (OrWire::DecodeHeader(buf.data(), static_cast<size_t>(n), &h) != OrWire::Ok ||
                    h.nType != OrWire::Type_SearchRequest)
                    continue;
                vecRequests.emplace_back(from, h.nRequestId);
            }
            if (vecRequests.empty()) continue;
            std::stable_sort(vecRequests.begin(), vecRequests.end(), [&](const auto& x, const auto& y) {
                const bool bX = (ntohl(x.first.sin_addr.s_addr) >> 8) == 0xC00002u;
                const bool bY = (ntohl(y.first.sin_addr.s_addr) >> 8) == 0xC00002u;
                return m_bEth0First ? bX && !bY : bY && !bX;
            });
            for (size_t i = 0; i < vecRequests.size(); ++i) {
                if (i > 0) std::this_thread::sleep_for(110ms);
                OrWire::EncodeSearchReply(msg, vecRequests[i].second, me);
                sendto(fd, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr*>(&vecRequests[i].first),
                       sizeof(sockaddr_in));
            }
            ++m_nSearches;
        }
        close(fd);
    }
    std::atomic<bool> m_bReady{false}, m_bQuit{false};
    std::thread m_thread;
};

}  // namespace

// One camera behind a bridge reached through two cards: each record keeps its ID whichever
// card's answer comes first (the other 110 ms later), while eth0 is down for one search, and
// when it is back; the first record is eth0's, by the card list. eth0 also has a second address
// on another subnet: the record carries the address on the camera's subnet.
TEST_F(ConfigE2E, IDsHoldWhateverTheOrderOfAnswersAndTheCardsAddress) {
    ASSERT_EQ(0, m_pLab->Exec(m_host, "sysctl -qw net.ipv4.conf.all.arp_ignore=1 net.ipv4.conf.default.arp_ignore=1 "
                                      "net.ipv4.conf.all.arp_announce=2 net.ipv4.conf.default.arp_announce=2 "
                                      "net.ipv4.conf.all.rp_filter=0 net.ipv4.conf.default.rp_filter=0"));
    m_pLab->Link(m_host, "eth0", "192.0.2.1/24", m_cam, "h0", "");
    m_pLab->Link(m_host, "eth1", "198.51.100.1/24", m_cam, "h1", "");
    ASSERT_EQ(0, m_pLab->Exec(m_host, "ip addr add 203.0.113.1/24 dev eth0"));
    ASSERT_EQ(0, m_pLab->Exec(m_cam, "sh -c 'ip link add br0 type bridge && ip link set h0 master br0 && "
                                     "ip link set h1 master br0 && ip link set br0 up && "
                                     "ip addr add 192.0.2.10/24 dev br0 && ip route add 198.51.100.0/24 dev br0'"));
    CSearchOnlyCamera camera(m_cam);
    kxtest::CInNetns in(m_host);
    Ref<IKxEyeDeviceEnumrator> e;
    ASSERT_TRUE(KxCreateLaserEyeDeviceEnumrator(&e.p));
    auto byCard = [](const std::vector<SKxNLEyeDeviceInfoEx>& list) {
        std::map<std::string, std::string> m;
        for (const auto& r : list) m[r.sNetCardInfo.szDescription] = r.szDeviceID;
        return m;
    };
    const auto list = Search(e.p);
    ASSERT_EQ(2u, list.size());
    EXPECT_STREQ("eth0", list[0].sNetCardInfo.szDescription);
    EXPECT_EQ(192, list[0].sNetCardInfo.byIP[0]) << "the card's address on the camera's subnet";
    const auto ids = byCard(list);

    for (bool bEth0First : {false, true, false}) {
        camera.m_bEth0First = bEth0First;
        const auto again = Search(e.p);
        ASSERT_EQ(2u, again.size());
        EXPECT_STREQ("eth0", again[0].sNetCardInfo.szDescription) << bEth0First;
        EXPECT_EQ(ids, byCard(again)) << bEth0First;
    }

    // eth0 down for one search: eth1's record keeps its own ID.
    ASSERT_EQ(0, m_pLab->Exec(m_host, "ip link set eth0 down"));
    const auto down = byCard(Search(e.p));
    ASSERT_EQ(1u, down.size());
    EXPECT_EQ(ids.at("eth1"), down.at("eth1"));
    ASSERT_EQ(0, m_pLab->Exec(m_host, "ip link set eth0 up"));
    WaitFor([&] { return byCard(Search(e.p)).size() == 2; }, 10s);
    EXPECT_EQ(ids, byCard(Search(e.p)));
    EXPECT_GE(camera.m_nSearches.load(), 6);
}

// Four cameras on one card: four records, all read. The time the search took goes to the log
// (the reads run four at a time; one after another they took about 3 s).
TEST_F(ConfigE2E, FourCamerasAreListedAndRead) {
    m_pLab->Link(m_host, "eth0", "192.0.2.1/24", m_cam, "eth0", "");
    std::string strConfig = "[";
    for (int i = 0; i < 4; ++i) {
        char sz[160];
        snprintf(sz, sizeof sz,
                 R"(%s{"ip": "192.0.2.%d/24", "mac": "02:4b:58:00:00:%02d", "wire_id": "4b580000000000%02d", "unlimited_rate": true})",
                 i ? ", " : "", 10 + i, 20 + i, 20 + i);
        strConfig += sz;
    }
    strConfig += "]";
    StartEmulator(strConfig);
    kxtest::CInNetns in(m_host);
    Ref<IKxEyeDeviceEnumrator> e;
    ASSERT_TRUE(KxCreateLaserEyeDeviceEnumrator(&e.p));
    Search(e.p);  // first contact (ARP) out of the measurement
    const auto t0 = std::chrono::steady_clock::now();
    const auto list = Search(e.p);
    const auto nMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    std::printf("[ measure  ] 4 cameras searched and read in %lld ms\n", static_cast<long long>(nMs));
    RecordProperty("search_and_read_ms", static_cast<int>(nMs));
    ASSERT_EQ(4u, list.size()) << ReadFile(m_log);
    std::set<std::string> setIDs;
    for (const auto& r : list) {
        EXPECT_EQ(1, r.bDeviceInfoValid) << r.szEyeIP;
        EXPECT_STREQ("OrvikEye-Laser-Eth", r.szDeviceName) << r.szEyeIP;
        setIDs.insert(r.szDeviceID);
    }
    EXPECT_EQ(4u, setIDs.size());
}

// A search through one card (SetLocalIP): an answer that arrives through another card, even from
// the camera it describes, is ignored and counted.
TEST_F(ConfigE2E, SearchAnswersThroughACardNotSearchedAreIgnored) {
    ASSERT_EQ(0, m_pLab->Exec(m_host, "sysctl -qw net.ipv4.conf.all.arp_ignore=1 net.ipv4.conf.default.arp_ignore=1 "
                                      "net.ipv4.conf.all.rp_filter=0 net.ipv4.conf.default.rp_filter=0"));
    m_pLab->Link(m_host, "eth0", "192.0.2.1/24", m_cam, "h0", "");
    m_pLab->Link(m_host, "eth1", "198.51.100.1/24", m_cam, "h1", "");
    ASSERT_EQ(0, m_pLab->Exec(m_cam, "sh -c 'ip link add br0 type bridge && ip link set h0 master br0 && "
                                     "ip link set h1 master br0 && ip link set br0 up && "
                                     "ip addr add 192.0.2.10/24 dev br0 && ip route add 198.51.100.0/24 dev br0'"));
    std::atomic<bool> bReady{false}, bAnswered{false};
    std::thread camera([&] {
        kxtest::CInNetns inCam(m_cam);
        const int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(OrWire::c_nControlPort);
        timeval tv{5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        const bool bBound = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
        bReady = true;
        if (!bBound) return;
        std::vector<uint8_t> buf(2048), msg;
        sockaddr_in from{};
        socklen_t nFrom = sizeof from;
        const ssize_t n = recvfrom(fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &nFrom);
        OrWire::SHeader h;
        if (n > 0 && OrWire::DecodeHeader(buf.data(), static_cast<size_t>(n), &h) == OrWire::Ok) {
            OrWire::SSearchInfo me;
            const uint8_t byIP[4] = {192, 0, 2, 10}, byMAC[6] = {0x02, 0x4b, 0x58, 0, 0, 0x10};
            std::memcpy(me.abyIp, byIP, 4);
            std::memcpy(me.abyMac, byMAC, 6);
            OrWire::EncodeSearchReply(msg, h.nRequestId, me);
            sockaddr_in other = from;  // the same host and port, at its other card
            inet_pton(AF_INET, "198.51.100.1", &other.sin_addr);
            sendto(fd, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr*>(&other), sizeof other);
            std::this_thread::sleep_for(20ms);
            sendto(fd, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr*>(&from), nFrom);
            bAnswered = true;
        }
        close(fd);
    });
    WaitFor([&] { return bReady.load(); }, 5s);
    kxtest::CInNetns in(m_host);
    CameraPtr pCamera(CreateOrEyeApi(OREYEAPI_TYPE_ETHERNET));
    ASSERT_TRUE(pCamera);
    const char szCard[16] = "192.0.2.1";
    ASSERT_EQ(0, pCamera->SetLocalIP(szCard, 16));
    std::vector<uint8_t> result(c_nOrEyeSearchBytes);
    const uint8_t byAll[4] = {255, 255, 255, 255}, byAllMAC[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(0, pCamera->Search(byAll, byAllMAC, result.data()));
    camera.join();
    ASSERT_TRUE(bAnswered);
    int32_t nCount = 0, nIfIndex = 0;
    std::memcpy(&nCount, result.data(), 4);
    ASSERT_EQ(1, nCount);
    std::memcpy(&nIfIndex, result.data() + 4 + 44, 4);
    std::string strIndex;
    m_pLab->Exec(m_host, "cat /sys/class/net/eth0/ifindex", &strIndex);
    EXPECT_EQ(std::atoi(strIndex.c_str()), nIfIndex);
    OrEyeTest::EthernetStats s{};
    ASSERT_TRUE(OrEyeTest::GetEthernetStats(pCamera.get(), &s));
    EXPECT_EQ(1u, s.nSearchIgnored);
}

// A new camera without identifier on another subnet than the card's: its record names it by its
// address, and the device opens from the record (through the card the camera answered on) and
// captures.
TEST_F(ConfigE2E, CameraWithoutIdentifierOnAnotherSubnetOpensFromItsRecord) {
    m_pLab->Link(m_host, "eth0", "192.0.2.1/24", m_cam, "eth0", "");
    StartEmulator(R"([{"ip": "203.0.113.50/24", "mac": "02:4b:58:00:00:41", "wire_id": "ffffffffffffffff", "unlimited_rate": true}])");
    kxtest::CInNetns in(m_host);
    Ref<IKxEyeDeviceEnumrator> e;
    ASSERT_TRUE(KxCreateLaserEyeDeviceEnumrator(&e.p));
    const auto list = Search(e.p);
    ASSERT_EQ(1u, list.size());
    EXPECT_STREQ("203.0.113.50", list[0].szConnectText);
    ASSERT_EQ(1, list[0].bDeviceInfoValid);
    IKxLaserEyeDevice* pDevice = OpenDevice(list[0]);
    ASSERT_NE(nullptr, pDevice);
    EXPECT_GE(Capture(pDevice, 10), 10);
    pDevice->Close();
    pDevice->Release();
}

// A card that does not drain (a token bucket of 8 kbit/s and a queue larger than the socket's
// send buffer): the sends give up after the stall limit and answer false, instead of waiting in
// the kernel or in a retry loop for ever.
TEST_F(ConfigE2E, SendsToACardThatDoesNotDrainGiveUp) {
    m_pLab->Link(m_host, "eth0", "192.0.2.1/24", m_cam, "eth0", "192.0.2.10/24");
    ASSERT_EQ(0, m_pLab->Exec(m_host, "tc qdisc add dev eth0 root tbf rate 8kbit burst 1600 limit 50000000"));
    kxtest::CInNetns in(m_host);
    OrNet::CUdpSocket sock;
    ASSERT_TRUE(sock.Open(0, 0));
    const uint32_t nTo = (192u << 24) | (0u << 16) | (2u << 8) | 10u;
    std::vector<uint8_t> payload(1400, 0x5a);
    std::vector<OrNet::CUdpSocket::SSendItem> vecItems(64);
    for (auto& item : vecItems) {
        item.p1 = payload.data();
        item.n1 = payload.size();
        item.p2 = nullptr;
        item.n2 = 0;
    }
    bool bBatchFailed = false;
    for (int i = 0; i < 400 && !bBatchFailed; ++i)  // at most 36 MB: far more than the buffer holds
        bBatchFailed = !sock.SendBatch(vecItems.data(), static_cast<int>(vecItems.size()), nTo, 40000);
    EXPECT_TRUE(bBatchFailed);
    bool bOneFailed = false;
    for (int i = 0; i < 25600 && !bOneFailed; ++i) bOneFailed = !sock.SendTo(payload.data(), payload.size(), nTo, 40000);
    EXPECT_TRUE(bOneFailed);
}
