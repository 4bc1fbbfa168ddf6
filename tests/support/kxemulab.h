// Fixture for end-to-end tests against kxeye-emulator: a network lab with a host and a camera
// namespace (not yet linked: each test lays out its own cards), a scratch folder for logs and
// storage, and emulator runs inside the lab. At the end the emulators are stopped and their logs
// checked for sanitizer reports; the scratch folder is kept when the test failed.
//
//   class MyE2E : public kxtest::EmulatorTest {
//       void SetUp() override {
//           EmulatorTest::SetUp();
//           if (IsSkipped() || HasFatalFailure()) return;
//           m_pLab->Link(m_host, "eth0", "192.0.2.1/24", m_cam, "eth0", "");
//       }
//   };
//   StartEmulator(R"([{"ip": "192.0.2.10/24", "mac": "02:4b:58:00:00:10"}])");
//
// The target defines KXEYE_EMULATOR_PATH (the emulator program).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "support/kxnetlab.h"

namespace kxtest {

class EmulatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        KX_REQUIRE_NETLAB();
        m_pLab = std::make_unique<CNetLab>();
        m_host = m_pLab->AddNamespace("host");
        m_cam = m_pLab->AddNamespace("cam");
        m_dir = "/tmp/kxemu-" + std::to_string(getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name();
        NetlabShell("rm -rf " + m_dir + " && mkdir -p " + m_dir);
    }
    void TearDown() override {
        m_pLab.reset();  // the emulators stop here and write what their sanitizers found
        if (m_dir.empty()) return;
        std::string strLogs;
        NetlabShell("cat " + m_dir + "/*.log", &strLogs);
        for (const char* pszReport : {"Sanitizer", "runtime error"})
            EXPECT_EQ(strLogs.find(pszReport), std::string::npos) << "the emulator reported:\n" << strLogs;
        if (!HasFailure()) NetlabShell("rm -rf " + m_dir);
    }

    // Starts kxeye-emulator with the camera configuration `config` on `iface` of namespace `ns`
    // (the camera namespace by default) and waits until it serves; its log is m_log.
    pid_t StartEmulator(const std::string& config, const std::vector<std::string>& extra = {},
                        const std::string& iface = "eth0", const std::string& ns = "") {
        std::vector<std::string> argv = {KXEYE_EMULATOR_PATH, "--interface", iface, "--config", config};
        argv.insert(argv.end(), extra.begin(), extra.end());
        m_log = m_dir + "/emulator" + std::to_string(++m_nRuns) + ".log";
        const pid_t pid = m_pLab->Spawn(ns.empty() ? m_cam : ns, argv, m_log);
        EXPECT_TRUE(WaitFor([&] { return ReadFile(m_log).find("serving") != std::string::npos; },
                            std::chrono::milliseconds(5000)))
            << ReadFile(m_log);
        return pid;
    }

    std::unique_ptr<CNetLab> m_pLab;
    std::string m_host, m_cam, m_dir, m_log;
    int m_nRuns = 0;
};

}  // namespace kxtest
