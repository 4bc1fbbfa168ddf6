// kxeye's network commands end to end: kxeye runs inside the lab's host namespace, kxeye-emulator
// inside the camera namespace, joined by veth pairs. Root only; skipped elsewhere. Every search,
// probe and ping of these tests stays inside the lab.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/kxemulab.h"

using ::testing::HasSubstr;

namespace {

const char* const c_pszForeignCamera =
    R"([{"ip": "203.0.113.50/24", "mac": "02:4b:58:00:00:40", "unlimited_rate": true}])";
const char* const c_pszLocalCamera =
    R"([{"ip": "192.0.2.10/24", "mac": "02:4b:58:00:00:10", "unlimited_rate": true}])";

struct SRun {
    int nExit = -1;
    std::string strOut;
    std::string strErr;
};

class KxEyeNetE2E : public kxtest::EmulatorTest {
protected:
    // Runs kxeye in the host namespace; strPrefix goes before the program (env settings, setpriv).
    SRun Kxeye(const std::vector<std::string>& vecArgs, const std::string& strPrefix = "env KXEYE_VIRTUAL_CARDS='*'") {
        const std::string strErrPath = m_dir + "/kxeye.err";
        std::string strCmd = "sh -c \"" + strPrefix + " " + KXEYE_PATH;
        for (const std::string& a : vecArgs) strCmd += " '" + a + "'";
        strCmd += " 2>" + strErrPath + " </dev/null\"";
        SRun run;
        run.nExit = m_pLab->Exec(m_host, "timeout 120 " + strCmd, &run.strOut);
        run.strErr = kxtest::ReadFile(strErrPath);
        return run;
    }
    nlohmann::json Json(const SRun& run) {
        nlohmann::json j = nlohmann::json::parse(run.strOut, nullptr, false);
        EXPECT_FALSE(j.is_discarded()) << run.strOut << run.strErr;
        return j;
    }
    // The doctor's checks whose name starts with strName.
    static std::vector<nlohmann::json> Checks(const nlohmann::json& doctor, const std::string& strName) {
        std::vector<nlohmann::json> vec;
        if (!doctor.contains("checks")) return vec;
        for (const nlohmann::json& c : doctor["checks"])
            if (c["check"].get<std::string>().rfind(strName, 0) == 0) vec.push_back(c);
        return vec;
    }
};

// A camera on a foreign subnet: listed with its card (JSON checked), moved onto the card's subnet
// by MAC, pinned, and listed again at the new address. An address in use is refused.
TEST_F(KxEyeNetE2E, ListFindsTheCameraAndSetIpMovesItFromAnotherSubnet) {
    m_pLab->Link(m_host, "eth0", "192.0.2.1/24", m_cam, "eth0", "");
    StartEmulator(c_pszForeignCamera);

    const SRun list = Kxeye({"--source", "ethernet", "list", "--json"});
    ASSERT_EQ(list.nExit, 0) << list.strErr;
    nlohmann::json j = Json(list);
    ASSERT_TRUE(j.is_array());
    ASSERT_EQ(j.size(), 1u) << j.dump();
    EXPECT_EQ(j[0]["index"], 0);
    EXPECT_EQ(j[0]["ip"], "203.0.113.50");
    EXPECT_EQ(j[0]["mac"], "02:4b:58:00:00:40");
    EXPECT_EQ(j[0]["source"], "ethernet");
    EXPECT_EQ(j[0]["valid"], true);
    EXPECT_EQ(j[0]["serial"], "VC000001");
    EXPECT_EQ(j[0]["hardwareVersion"], 8);
    EXPECT_EQ(j[0]["width"], 1536);
    EXPECT_TRUE(j[0]["destIp"].is_string());
    EXPECT_TRUE(j[0]["destMac"].is_string());
    EXPECT_EQ(j[0]["card"]["name"], "eth0");
    EXPECT_EQ(j[0]["card"]["ip"], "192.0.2.1");
    EXPECT_EQ(j[0]["card"]["mask"], "255.255.255.0");

    // The host's own address answers: nothing is sent to the camera.
    const SRun taken = Kxeye({"set-ip", "02:4b:58:00:00:40", "192.0.2.1"});
    EXPECT_EQ(taken.nExit, 1) << taken.strOut;
    EXPECT_THAT(taken.strErr, HasSubstr("192.0.2.1 is in use"));

    const SRun move = Kxeye({"set-ip", "02:4b:58:00:00:40", "192.0.2.20"});
    ASSERT_EQ(move.nExit, 0) << move.strOut << move.strErr;
    EXPECT_THAT(move.strOut, HasSubstr("address 203.0.113.50 -> 192.0.2.20"));
    EXPECT_THAT(move.strOut, HasSubstr("host ARP entry: 192.0.2.20 lladdr 02:4b:58:00:00:40 permanent on eth0 (pinned)"));
    EXPECT_THAT(move.strOut, HasSubstr("camera answers at 192.0.2.20"));
    std::string strNeigh;
    m_pLab->Exec(m_host, "ip neigh show 192.0.2.20 dev eth0", &strNeigh);
    EXPECT_THAT(strNeigh, HasSubstr("lladdr 02:4b:58:00:00:40 PERMANENT"));

    j = Json(Kxeye({"--source", "ethernet", "list", "--json"}));
    ASSERT_EQ(j.size(), 1u) << j.dump();
    EXPECT_EQ(j[0]["ip"], "192.0.2.20");

    // The other configuration commands on the moved camera, by its new address.
    const SRun bind = Kxeye({"bind-host", "192.0.2.20"});
    EXPECT_EQ(bind.nExit, 0) << bind.strErr;
    EXPECT_THAT(bind.strOut, HasSubstr("-> 192.0.2.1 "));
    const SRun reset = Kxeye({"reset-dest", "192.0.2.20", "--json"});
    EXPECT_EQ(reset.nExit, 0) << reset.strErr;
    EXPECT_EQ(Json(reset)["after"]["ip"], "255.255.255.255");
    EXPECT_EQ(j[0]["wireId"], "4b58024b58000040") << "KX followed by the first MAC";
    const SRun online = Kxeye({"online", j[0]["wireId"].get<std::string>()});
    EXPECT_EQ(online.nExit, 0) << online.strErr;
    EXPECT_THAT(online.strOut, HasSubstr("is online"));

    // A new MAC: the host's entry for the address follows it.
    const SRun mac = Kxeye({"set-mac", "192.0.2.20", "02:4b:58:00:00:41"});
    ASSERT_EQ(mac.nExit, 0) << mac.strOut << mac.strErr;
    EXPECT_THAT(mac.strOut, HasSubstr("MAC 02:4b:58:00:00:40 -> 02:4b:58:00:00:41"));
    EXPECT_THAT(mac.strOut, HasSubstr("192.0.2.20 lladdr 02:4b:58:00:00:41 permanent on eth0 (pinned)"));
    EXPECT_EQ(Kxeye({"set-mac", "0", "03:00:00:00:00:01"}).nExit, 2) << "a group MAC is refused";

    // Without CAP_NET_ADMIN the camera still moves; the tool names the missing privilege.
    const SRun unpinned = Kxeye({"set-ip", "0", "192.0.2.21", "--json"},
                                "env KXEYE_VIRTUAL_CARDS='*' setpriv --inh-caps=-all --bounding-set=-net_admin");
    EXPECT_EQ(unpinned.nExit, 0) << unpinned.strErr;
    const nlohmann::json u = Json(unpinned);
    EXPECT_EQ(u["code"], -69997);
    EXPECT_EQ(u["after"], "192.0.2.21");
    EXPECT_EQ(u["arp"]["pinned"], false);
    EXPECT_EQ(u["arp"]["needs"], "CAP_NET_ADMIN");
    EXPECT_EQ(u["answers"], true);
    EXPECT_THAT(unpinned.strErr, HasSubstr("needs CAP_NET_ADMIN"));
}

// Broadcasts from the host reach nobody (its card's link broadcast address leads nowhere, as on
// a network that filters them): the search finds nothing, the unicast probe finds the camera.
TEST_F(KxEyeNetE2E, ProbeFindsTheCameraWhenBroadcastsAreDropped) {
    m_pLab->Link(m_host, "eth0", "192.0.2.1/24", m_cam, "eth0", "");
    StartEmulator(c_pszLocalCamera);
    std::string strHostMAC;
    m_pLab->Exec(m_host, "cat /sys/class/net/eth0/address", &strHostMAC);
    strHostMAC = strHostMAC.substr(0, 17);
    ASSERT_EQ(0, m_pLab->Exec(m_host, "ip link set dev eth0 broadcast 02:00:00:00:00:ff"));
    // Neighbours known both ways, since ARP requests are broadcasts too.
    ASSERT_EQ(0, m_pLab->Exec(m_host, "ip neigh replace 192.0.2.10 lladdr 02:4b:58:00:00:10 nud permanent dev eth0"));
    ASSERT_EQ(0, m_pLab->Exec(m_cam, "ip neigh replace 192.0.2.1 lladdr " + strHostMAC + " nud permanent dev eth0"));

    const nlohmann::json list = Json(Kxeye({"--source", "ethernet", "list", "--json"}));
    EXPECT_TRUE(list.is_array() && list.empty()) << list.dump();

    const SRun probe = Kxeye({"probe", "192.0.2.10", "--json"});
    ASSERT_EQ(probe.nExit, 0) << probe.strErr;
    const nlohmann::json j = Json(probe);
    ASSERT_EQ(j.size(), 1u) << j.dump();
    EXPECT_EQ(j[0]["ip"], "192.0.2.10");
    EXPECT_EQ(j[0]["mac"], "02:4b:58:00:00:10");
    EXPECT_EQ(j[0]["serial"], "VC000001");
    EXPECT_EQ(j[0]["hardwareVersion"], 8);
    EXPECT_EQ(j[0]["card"], "eth0");

    const SRun nobody = Kxeye({"probe", "192.0.2.11"});
    EXPECT_EQ(nobody.nExit, 1);
    EXPECT_THAT(nobody.strErr, HasSubstr("no camera answered at 192.0.2.11"));
    // Addresses that would make the probe a broadcast are refused.
    EXPECT_EQ(Kxeye({"probe", "255.255.255.255"}).nExit, 2);
    EXPECT_EQ(Kxeye({"probe", "192.0.2.1"}).nExit, 2);
}

// snapshot and scan take an Ethernet camera like any other; on a terminal the scan's live line
// shows MiB/s and the packets resent.
TEST_F(KxEyeNetE2E, SnapshotAndScanWorkOnAnEthernetCamera) {
    m_pLab->Link(m_host, "eth0", "192.0.2.1/24", m_cam, "eth0", "");
    StartEmulator(c_pszLocalCamera);
    const SRun snap = Kxeye({"--source", "ethernet", "snapshot", "192.0.2.10", "--out", m_dir + "/snap", "--json"});
    ASSERT_EQ(snap.nExit, 0) << snap.strOut << snap.strErr;
    const nlohmann::json j = Json(snap);
    EXPECT_TRUE(j["files"]["raw"].is_string()) << j.dump();
    EXPECT_GT(j["points"].get<int>(), 0);

    // script(1) gives kxeye a terminal, so that it keeps its live line.
    std::string strOut;
    const int nExit = m_pLab->Exec(m_host, "env KXEYE_VIRTUAL_CARDS='*' timeout 120 script -qec \"" + std::string(KXEYE_PATH) +
                                               " --source ethernet scan 192.0.2.10 --frames 20 --out " + m_dir +
                                               "/scan\" /dev/null",
                                   &strOut);
    EXPECT_EQ(nExit, 0) << strOut;
    EXPECT_THAT(strOut, HasSubstr("frames: 20"));
    EXPECT_THAT(strOut, ::testing::ContainsRegex("MiB/s  lost [0-9]+  resent [0-9]+"));
}

// The doctor on a healthy lab: every check passes, the test stream included.
TEST_F(KxEyeNetE2E, DoctorFindsNothingWrongOnAHealthySetup) {
    m_pLab->Link(m_host, "eth0", "192.0.2.1/24", m_cam, "eth0", "");
    StartEmulator(c_pszLocalCamera);
    const SRun run = Kxeye({"doctor", "192.0.2.10", "--json"});
    EXPECT_EQ(run.nExit, 0) << run.strOut << run.strErr;
    const nlohmann::json j = Json(run);
    EXPECT_EQ(j["failures"], 0) << j.dump(1);
    EXPECT_EQ(j["warnings"], 0) << j.dump(1);
    EXPECT_THAT(run.strErr, ::testing::Not(HasSubstr("[kx E]"))) << "no error line on a healthy setup";
    const std::vector<nlohmann::json> stream = Checks(j, "stream of 192.0.2.10");
    ASSERT_EQ(stream.size(), 1u) << j.dump(1);
    EXPECT_EQ(stream[0]["verdict"], "ok");
    EXPECT_EQ(Checks(j, "reach 192.0.2.10")[0]["detail"], "answers a ping and a unicast probe");

    const SRun text = Kxeye({"doctor"});
    EXPECT_EQ(text.nExit, 0);
    EXPECT_THAT(text.strOut, HasSubstr("nothing wrong found"));
}

// One fault per scenario; the doctor names it with its verdict and the command that fixes it.
using LabStep = std::function<void(kxtest::CNetLab&, const std::string& host, const std::string& cam)>;
struct SDoctorCase {
    const char* pszName;
    const char* pszCamera;
    LabStep layout;
    std::string strPrefix;       // before kxeye
    std::vector<std::string> vecArgs;
    const char* pszCheck;        // the check that names the fault
    const char* pszVerdict;
    const char* pszDetail;       // in its detail
    const char* pszFix;          // in its fix
    LabStep after = nullptr;     // run once the emulator serves
};

TEST_F(KxEyeNetE2E, DoctorNamesEachFault) {
    const auto plain = [](kxtest::CNetLab& lab, const std::string& host, const std::string& cam) {
        lab.Link(host, "eth0", "192.0.2.1/24", cam, "eth0", "");
    };
    const std::vector<SDoctorCase> vecCases = {
        // The camera library reaches a camera off the card's subnet by broadcast, so it works; a
        // warning, with the move that puts it where ping and routes reach it too.
        {"wrong subnet", c_pszForeignCamera, plain, "env KXEYE_VIRTUAL_CARDS='*'", {"doctor", "--json"},
         "subnet of 203.0.113.50", "warn", "not on the subnet of card eth0", "kxeye set-ip 02:4b:58:00:00:40 192.0.2.2"},
        {"virtual card left out", c_pszLocalCamera, plain, "env -u KXEYE_VIRTUAL_CARDS", {"doctor", "--json"},
         "virtual cards", "fail", "eth0 (192.0.2.1/24)", "export KXEYE_VIRTUAL_CARDS=eth0"},
        {"reverse-path filter", c_pszForeignCamera,
         [](kxtest::CNetLab& lab, const std::string& host, const std::string& cam) {
             lab.Link(host, "eth0", "192.0.2.1/24", cam, "eth0", "");
             lab.Exec(host, "sysctl -qw net.ipv4.conf.eth0.rp_filter=1");
         },
         "env KXEYE_VIRTUAL_CARDS='*'", {"doctor", "--json"}, "reverse-path filter eth0", "fail",
         "packet(s) during the search", "sysctl -w net.ipv4.conf.eth0.rp_filter=0"},
        {"MTU too small for the packets", c_pszLocalCamera,
         // Jumbo frames on both cards, but the switch between takes 1500 bytes.
         [](kxtest::CNetLab& lab, const std::string& host, const std::string& cam) {
             const std::string sw = lab.AddNamespace("sw");
             lab.Link(host, "eth0", "", sw, "p0", "");
             lab.Link(cam, "eth0", "", sw, "p1", "");
             lab.Exec(sw, "ip link add br0 type bridge");
             lab.Exec(sw, "ip link set p0 master br0");
             lab.Exec(sw, "ip link set p1 master br0");
             lab.Exec(sw, "ip link set br0 up");
             lab.Exec(host, "ip link set eth0 mtu 9000");
             lab.Exec(cam, "ip link set eth0 mtu 9000");
             // A real card cuts the camera's joined sends into 9000-byte frames that the switch
             // drops; a veth pair would carry them joined past the small ports.
             lab.Exec(cam, "ethtool -K eth0 tx-udp-segmentation off");
             lab.Exec(host, "ip addr add 192.0.2.1/24 dev eth0");
         },
         "env KXEYE_VIRTUAL_CARDS='*'", {"doctor", "192.0.2.10", "--seconds", "1", "--json"}, "stream of 192.0.2.10",
         // The open's answers larger than 1500 bytes are lost as the stream's would be.
         "fail", "a switch or card between takes smaller packets", "ip link set dev eth0 mtu 1500"},
        {"missing privilege", c_pszLocalCamera, plain,
         "env KXEYE_VIRTUAL_CARDS='*' setpriv --inh-caps=-all --bounding-set=-net_admin", {"doctor", "--json"},
         "privilege for ARP pinning", "warn", "CAP_NET_ADMIN missing", "setcap cap_net_admin"},
        // Another program streams from the camera: it answers the search but refuses a second host.
        {"held by another program", c_pszLocalCamera, plain, "env KXEYE_VIRTUAL_CARDS='*'", {"doctor", "--json"},
         "open 192.0.2.10", "fail", "held by another program", "end the program that uses the camera",
         [this](kxtest::CNetLab& lab, const std::string& host, const std::string&) {
             lab.Spawn(host, {"env", "KXEYE_VIRTUAL_CARDS=*", KXEYE_PATH, "scan", "192.0.2.10", "--seconds", "60",
                              "--out", m_dir + "/holder"},
                       m_dir + "/holder.log");
             EXPECT_TRUE(kxtest::WaitFor(
                 [&] { return kxtest::ReadFile(m_log).find("takes control") != std::string::npos; },
                 std::chrono::milliseconds(10000)))
                 << kxtest::ReadFile(m_log);
         }},
        // A camera replaced by another at the same address after set-ip pinned the old one.
        {"stale pinned ARP entry", c_pszLocalCamera,
         [](kxtest::CNetLab& lab, const std::string& host, const std::string& cam) {
             lab.Link(host, "eth0", "192.0.2.1/24", cam, "eth0", "");
             lab.Exec(host, "ip neigh replace 192.0.2.10 lladdr 02:4b:58:00:00:99 nud permanent dev eth0");
         },
         "env KXEYE_VIRTUAL_CARDS='*'", {"doctor", "--json"}, "ARP entry of 192.0.2.10", "fail",
         "to 02:4b:58:00:00:99, but the camera that answers there is 02:4b:58:00:00:10", "ip neigh del 192.0.2.10 dev eth0"},
        // The cable out: the card keeps its address, nothing answers.
        {"no carrier", c_pszLocalCamera, plain, "env KXEYE_VIRTUAL_CARDS='*'", {"doctor", "--json"}, "link eth0", "fail",
         "NO-CARRIER", "plug the cable into eth0",
         [](kxtest::CNetLab& lab, const std::string&, const std::string& cam) { lab.Exec(cam, "ip link set eth0 down"); }},
        // The host's card takes smaller packets than the camera's: its larger answers are lost.
        {"host MTU below the camera's", c_pszLocalCamera,
         [](kxtest::CNetLab& lab, const std::string& host, const std::string& cam) {
             lab.Link(host, "eth0", "192.0.2.1/24", cam, "eth0", "");
             lab.Exec(host, "ip link set eth0 mtu 1400");
         },
         "env KXEYE_VIRTUAL_CARDS='*'", {"doctor", "--json"}, "MTU eth0", "fail", "below the camera's",
         "ip link set dev eth0 mtu 1500"},
        // Two new cameras on one factory address: the second gets a move of its own.
        {"duplicate factory address",
         R"([{"ip": "192.0.2.10/24", "mac": "02:4b:58:00:00:10"}, {"ip": "192.0.2.10/24", "mac": "02:4b:58:00:00:11"}])",
         plain, "env KXEYE_VIRTUAL_CARDS='*'", {"doctor", "--json"}, "duplicate address", "fail",
         "2 cameras answer at 192.0.2.10", "kxeye set-ip 02:4b:58:00:00:11 192.0.2.2"},
    };
    for (const SDoctorCase& c : vecCases) {
        SCOPED_TRACE(c.pszName);
        // A fresh lab per scenario.
        m_pLab = std::make_unique<kxtest::CNetLab>();
        m_host = m_pLab->AddNamespace("host");
        m_cam = m_pLab->AddNamespace("cam");
        c.layout(*m_pLab, m_host, m_cam);
        StartEmulator(c.pszCamera);
        if (c.after) c.after(*m_pLab, m_host, m_cam);
        const SRun run = Kxeye(c.vecArgs, c.strPrefix);
        const nlohmann::json j = Json(run);
        const std::vector<nlohmann::json> vecChecks = Checks(j, c.pszCheck);
        ASSERT_EQ(vecChecks.size(), 1u) << j.dump(1) << run.strErr;
        const nlohmann::json& check = vecChecks[0];
        EXPECT_EQ(check["verdict"], c.pszVerdict) << check.dump();
        EXPECT_THAT(check["detail"].get<std::string>(), HasSubstr(c.pszDetail));
        ASSERT_TRUE(check["fix"].is_string()) << check.dump();
        EXPECT_THAT(check["fix"].get<std::string>(), HasSubstr(c.pszFix));
        EXPECT_EQ(run.nExit, std::string(c.pszVerdict) == "fail" ? 1 : 0);
        EXPECT_GE(j["failures"].get<int>() + j["warnings"].get<int>(), 1);
    }
}

// Cameras on one foreign factory address: each gets its own move, to two different addresses,
// so that following both fixes does not make the second refused.
TEST_F(KxEyeNetE2E, DoctorGivesDuplicateCamerasDistinctMoves) {
    m_pLab->Link(m_host, "eth0", "192.0.2.1/24", m_cam, "eth0", "");
    StartEmulator(R"([{"ip": "203.0.113.50/24", "mac": "02:4b:58:00:00:40"},
                      {"ip": "203.0.113.50/24", "mac": "02:4b:58:00:00:41"}])");
    const SRun run = Kxeye({"doctor", "--json"});
    EXPECT_EQ(run.nExit, 1) << run.strErr;
    const nlohmann::json j = Json(run);
    std::vector<std::string> vecFixes;
    for (const nlohmann::json& c : j["checks"])
        if (c["fix"].is_string() && c["fix"].get<std::string>().rfind("kxeye set-ip", 0) == 0)
            vecFixes.push_back(c["fix"]);
    ASSERT_EQ(vecFixes.size(), 2u) << j.dump(1);
    EXPECT_NE(vecFixes[0].substr(vecFixes[0].rfind(' ')), vecFixes[1].substr(vecFixes[1].rfind(' '))) << j.dump(1);
    EXPECT_EQ(Checks(j, "duplicate address").size(), 1u) << j.dump(1);
}

// A camera held by another program: listed as the Ethernet camera it is (read or not), and set-ip
// hands it to the SDK, whose code is reported with the reason, instead of calling it no Ethernet
// camera.
TEST_F(KxEyeNetE2E, AHeldCameraIsStillAnEthernetCamera) {
    m_pLab->Link(m_host, "eth0", "192.0.2.1/24", m_cam, "eth0", "");
    StartEmulator(c_pszLocalCamera);
    m_pLab->Spawn(m_host, {"env", "KXEYE_VIRTUAL_CARDS=*", KXEYE_PATH, "scan", "192.0.2.10", "--seconds", "60", "--out",
                           m_dir + "/holder"},
                  m_dir + "/holder.log");
    ASSERT_TRUE(kxtest::WaitFor([&] { return kxtest::ReadFile(m_log).find("takes control") != std::string::npos; },
                                std::chrono::milliseconds(10000)))
        << kxtest::ReadFile(m_log);
    const nlohmann::json list = Json(Kxeye({"--source", "ethernet", "list", "--json"}));
    ASSERT_EQ(list.size(), 1u) << list.dump(1);
    EXPECT_EQ(list[0]["valid"], false);
    EXPECT_EQ(list[0]["source"], "ethernet");
    EXPECT_EQ(list[0]["virtual"], false);
    EXPECT_EQ(list[0]["card"]["name"], "eth0");
    EXPECT_EQ(list[0]["wireId"], "4b58024b58000010");

    const SRun move = Kxeye({"set-ip", "02:4b:58:00:00:10", "192.0.2.20", "--json"});
    EXPECT_EQ(move.nExit, 1);
    EXPECT_THAT(move.strErr, ::testing::Not(HasSubstr("not an Ethernet camera")));
    const nlohmann::json j = Json(move);
    EXPECT_EQ(j["camera"]["mac"], "02:4b:58:00:00:10") << j.dump(1);
    // The camera answers the SDK's request with the code of a host that holds no session; the tool
    // asks the camera why and names the holder.
    EXPECT_EQ(j["code"], -10002) << j.dump(1);
    EXPECT_THAT(j["error"].get<std::string>(), HasSubstr("held by another program")) << j.dump(1);

    // info by address searches Ethernet by itself, and says why it cannot open the camera.
    const SRun info = Kxeye({"info", "192.0.2.10", "--json"});
    EXPECT_EQ(info.nExit, 1);
    const nlohmann::json i = Json(info);
    EXPECT_TRUE(i["camera"].is_null());
    EXPECT_EQ(i["code"], -79964);
    EXPECT_THAT(i["error"].get<std::string>(), HasSubstr("could not be read during the search"));
}

// Address refusals and the JSON of what really happened: a subnet's broadcast or network address
// is a usage error for set-ip and probe (nothing is sent), an address in use is refused with no
// SDK code, a camera not found still gets its JSON, and an address finds the camera by itself.
TEST_F(KxEyeNetE2E, AddressRefusalsAndJsonOutcomes) {
    m_pLab->Link(m_host, "eth0", "192.0.2.1/24", m_cam, "eth0", "");
    StartEmulator(c_pszLocalCamera);
    struct SCase {
        std::vector<std::string> vecArgs;
        int nExit;
    };
    for (const SCase& c : std::vector<SCase>{{{"set-ip", "0", "192.0.2.255"}, 2},
                                             {{"set-ip", "0", "192.0.2.0"}, 2},
                                             {{"probe", "192.0.2.255"}, 2},
                                             {{"probe", "192.0.2.0"}, 2},
                                             {{"probe", "0.0.0.7"}, 2}}) {
        const SRun run = Kxeye(c.vecArgs);
        EXPECT_EQ(run.nExit, c.nExit) << c.vecArgs[0] << " " << c.vecArgs.back() << run.strErr;
        EXPECT_THAT(run.strErr, HasSubstr("a camera's address ("));
    }
    const SRun edge = Kxeye({"set-ip", "0", "192.0.2.255", "--json"});
    EXPECT_EQ(edge.nExit, 2);
    const nlohmann::json e = Json(edge);
    EXPECT_EQ(e["code"], -69991) << e.dump(1);
    EXPECT_THAT(e["refused"].get<std::string>(), HasSubstr("the broadcast address of 192.0.2.0/24 on eth0"));
    EXPECT_EQ(Json(Kxeye({"--source", "ethernet", "list", "--json"}))[0]["ip"], "192.0.2.10") << "nothing moved";

    const SRun taken = Kxeye({"set-ip", "0", "192.0.2.1", "--json", "--force"});
    EXPECT_EQ(taken.nExit, 1) << "the host's own address, even with --force";
    const nlohmann::json t = Json(taken);
    EXPECT_TRUE(t["code"].is_null()) << t.dump(1);
    EXPECT_THAT(t["refused"].get<std::string>(), HasSubstr("this host's own address"));
    EXPECT_THAT(t["meaning"].get<std::string>(), HasSubstr("refused by kxeye"));

    const SRun gone = Kxeye({"online", "02:4b:58:00:00:77", "--json"});
    EXPECT_EQ(gone.nExit, 1);
    const nlohmann::json g = Json(gone);
    EXPECT_EQ(g["online"], false) << g.dump(1);
    EXPECT_EQ(g["code"], -79964);

    const SRun info = Kxeye({"info", "192.0.2.10", "--json"});
    EXPECT_EQ(info.nExit, 0) << info.strErr;
    const nlohmann::json i = Json(info);
    EXPECT_EQ(i["serial"], "VC000001");
    // An Ethernet camera captures at its own rate, which a set frame-rate changes for later runs.
    EXPECT_EQ(i["frameRateAtCapture"], i["frameRate"]) << i.dump(1);
    EXPECT_EQ(Kxeye({"set", "192.0.2.10", "frame-rate=25"}).nExit, 0);
    const nlohmann::json later = Json(Kxeye({"info", "192.0.2.10", "--json"}));
    EXPECT_EQ(later["frameRate"], 25) << later.dump(1);
    EXPECT_EQ(later["frameRateAtCapture"], 25);
    EXPECT_EQ(Kxeye({"info", "02:4b:58:00:00:10"}).nExit, 0);
}

// On a terminal the SDK's log lines (here the timestamp warnings of frames lost on a lossy link)
// go above the live line, never glued to its end, and the summary counts the packets resent.
TEST_F(KxEyeNetE2E, LogLinesGoAboveTheLiveLine) {
    m_pLab->Link(m_host, "eth0", "192.0.2.1/24", m_cam, "eth0", "");
    StartEmulator(c_pszLocalCamera, {"--drop", "0.3"});
    std::string strOut;
    const int nExit = m_pLab->Exec(m_host, "env KXEYE_VIRTUAL_CARDS='*' timeout 120 script -qec \"" +
                                               std::string(KXEYE_PATH) + " scan 192.0.2.10 --frames 60 --out " + m_dir +
                                               "/scan\" /dev/null",
                                   &strOut);
    EXPECT_EQ(nExit, 0) << strOut;
    EXPECT_THAT(strOut, HasSubstr("[kx W]")) << "the lossy link makes the SDK warn";
    EXPECT_FALSE(std::regex_search(strOut, std::regex("resent [0-9-]+ *\\[kx"))) << strOut;
    EXPECT_TRUE(std::regex_search(strOut, std::regex("\r\x1b\\[K\\[kx W\\]"))) << strOut;
    EXPECT_TRUE(std::regex_search(strOut, std::regex("packets resent: [1-9][0-9]*"))) << strOut;
}

}  // namespace
