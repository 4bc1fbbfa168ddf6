// Network lab for end-to-end tests: network namespaces joined by veth pairs, created by the test
// and removed when the lab goes out of scope (also when an assertion fails; a lab left behind by
// a crashed run is swept by the next lab). Nothing here touches the machine's own interfaces:
// every interface is created directly inside a namespace of the lab, and only addresses of the
// documentation ranges (192.0.2.0/24, 198.51.100.0/24, 203.0.113.0/24) belong in it.
//
//   KX_REQUIRE_NETLAB();                       // skips the test with the reason when not root
//   kxtest::CNetLab lab;
//   std::string host = lab.AddNamespace("host"), cam = lab.AddNamespace("cam");
//   lab.Link(host, "eth0", "192.0.2.1/24", cam, "eth0", "192.0.2.10/24");
//   lab.Spawn(cam, {EMULATOR_PATH, "--bind", "192.0.2.10"});   // a program inside `cam`
//   { kxtest::CInNetns in(host); /* sockets made on this thread now live in `host` */ }
//
// Programs started with Spawn run through `ip netns exec`, so they also see the namespace's own
// /sys/class/net. A thread moved with CInNetns keeps the process's /sys view: read card details
// from sysfs only in spawned programs.
#pragma once

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace kxtest {

// Runs a shell command line; returns its exit status and, when asked, what it printed.
inline int NetlabShell(const std::string& line, std::string* pOut = nullptr) {
    std::string cmd = line + " 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return -1;
    char buf[512];
    std::string out;
    while (size_t n = fread(buf, 1, sizeof buf, p)) out.append(buf, n);
    int st = pclose(p);
    if (pOut) *pOut = out;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// What a program of the lab has logged so far (its log file), for waits and failure messages.
inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Polls `pred` every 10 ms until it holds or `limit` has passed; a last look decides.
inline bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds limit) {
    const auto tEnd = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < tEnd) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pred();
}

// Why end-to-end network tests cannot run here, or "" when they can.
inline std::string NetlabUnavailable() {
    static const std::string why = [] {
        if (geteuid() != 0) return std::string("network namespaces need root");
        if (NetlabShell("command -v ip >/dev/null") != 0) return std::string("iproute2 (ip) is not installed");
        std::string name = "kxtprobe" + std::to_string(getpid());
        std::string out;
        if (NetlabShell("ip netns add " + name, &out) != 0)
            return "cannot create a network namespace: " + out;
        NetlabShell("ip netns del " + name);
        return std::string();
    }();
    return why;
}

#define KX_REQUIRE_NETLAB()                                                  \
    do {                                                                     \
        std::string kxWhy_ = ::kxtest::NetlabUnavailable();                  \
        if (!kxWhy_.empty()) GTEST_SKIP() << "end-to-end network test: " << kxWhy_; \
    } while (0)

class CNetLab {
public:
    CNetLab() {
        static int s_nLab = 0;
        m_prefix = "kxt" + std::to_string(getpid()) + "x" + std::to_string(++s_nLab) + "-";
        SweepStale();
    }
    ~CNetLab() {
        for (pid_t pid : m_children) Stop(pid);
        for (auto it = m_namespaces.rbegin(); it != m_namespaces.rend(); ++it)
            NetlabShell("ip netns del " + *it);
    }
    CNetLab(const CNetLab&) = delete;
    CNetLab& operator=(const CNetLab&) = delete;

    // A new namespace with its loopback up and reverse-path filtering off (a filter of 1 drops
    // broadcast answers from another subnet). Returns the namespace's full name.
    std::string AddNamespace(const std::string& shortName) {
        std::string ns = m_prefix + shortName;
        Must("ip netns add " + ns);
        m_namespaces.push_back(ns);
        Must("ip -n " + ns + " link set lo up");
        Must("ip netns exec " + ns +
             " sysctl -qw net.ipv4.conf.all.rp_filter=0 net.ipv4.conf.default.rp_filter=0");
        return ns;
    }

    // A veth pair from nsA/ifA to nsB/ifB, both up; a CIDR address ("192.0.2.1/24") on each end
    // unless empty, and a MAC ("02:..") when given.
    void Link(const std::string& nsA, const std::string& ifA, const std::string& cidrA,
              const std::string& nsB, const std::string& ifB, const std::string& cidrB,
              const std::string& macA = "", const std::string& macB = "") {
        Must("ip link add " + ifA + " netns " + nsA + " type veth peer name " + ifB + " netns " + nsB);
        Configure(nsA, ifA, cidrA, macA);
        Configure(nsB, ifB, cidrB, macB);
    }

    // Runs a command inside a namespace; returns its exit status.
    int Exec(const std::string& ns, const std::string& line, std::string* pOut = nullptr) {
        return NetlabShell("ip netns exec " + ns + " " + line, pOut);
    }

    // Starts a program inside a namespace, stdout and stderr to `logPath` when given. It is
    // stopped (SIGTERM, then SIGKILL after 2 s) when the lab ends, or by Stop.
    pid_t Spawn(const std::string& ns, const std::vector<std::string>& argv,
                const std::string& logPath = "") {
        std::vector<std::string> full = {"ip", "netns", "exec", ns};
        full.insert(full.end(), argv.begin(), argv.end());
        pid_t pid = fork();
        if (pid < 0) throw std::runtime_error("fork failed");
        if (pid == 0) {
            setpgid(0, 0);
            if (!logPath.empty()) {
                int fd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                if (fd >= 0) { dup2(fd, 1); dup2(fd, 2); close(fd); }
            }
            std::vector<char*> args;
            for (auto& a : full) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execvp(args[0], args.data());
            _exit(127);
        }
        m_children.push_back(pid);
        return pid;
    }

    // Stops a spawned program and its children; returns its exit status (-1 when killed).
    int Stop(pid_t pid, int sig = SIGTERM) {
        int st = 0;
        if (waitpid(pid, &st, WNOHANG) == 0) {
            kill(-pid, sig);
            kill(pid, sig);
            auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
            while (waitpid(pid, &st, WNOHANG) == 0) {
                if (std::chrono::steady_clock::now() > until) {
                    kill(-pid, SIGKILL);
                    kill(pid, SIGKILL);
                    waitpid(pid, &st, 0);
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        std::erase(m_children, pid);
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }

    const std::vector<std::string>& Namespaces() const { return m_namespaces; }

private:
    static void Must(const std::string& line) {
        std::string out;
        if (NetlabShell(line, &out) != 0) throw std::runtime_error("netlab: " + line + ": " + out);
    }
    static void Configure(const std::string& ns, const std::string& ifName, const std::string& cidr,
                          const std::string& mac) {
        if (!mac.empty()) Must("ip -n " + ns + " link set " + ifName + " address " + mac);
        if (!cidr.empty()) Must("ip -n " + ns + " addr add " + cidr + " dev " + ifName);
        Must("ip -n " + ns + " link set " + ifName + " up");
    }
    // Namespaces of labs whose process is gone (a crashed or killed run).
    static void SweepStale() {
        std::string out;
        if (NetlabShell("ip netns list", &out) != 0) return;
        size_t pos = 0;
        while (pos < out.size()) {
            size_t end = out.find('\n', pos);
            if (end == std::string::npos) end = out.size();
            std::string name = out.substr(pos, out.find(' ', pos) < end ? out.find(' ', pos) - pos : end - pos);
            pos = end + 1;
            if (name.rfind("kxt", 0) != 0) continue;
            long owner = std::strtol(name.c_str() + 3, nullptr, 10);
            if (owner > 0 && owner != getpid() && kill(static_cast<pid_t>(owner), 0) != 0)
                NetlabShell("ip netns del " + name);
        }
    }

    std::string m_prefix;
    std::vector<std::string> m_namespaces;
    std::vector<pid_t> m_children;
};

// Moves the calling thread into a namespace of a lab for its scope; sockets made meanwhile stay
// in that namespace for their whole life.
class CInNetns {
public:
    explicit CInNetns(const std::string& ns) {
        m_home = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        int fd = open(("/var/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
        if (m_home < 0 || fd < 0 || setns(fd, CLONE_NEWNET) != 0) {
            if (fd >= 0) close(fd);
            throw std::runtime_error("netlab: cannot enter namespace " + ns);
        }
        close(fd);
    }
    ~CInNetns() {
        if (m_home >= 0) {
            setns(m_home, CLONE_NEWNET);
            close(m_home);
        }
    }
    CInNetns(const CInNetns&) = delete;
    CInNetns& operator=(const CInNetns&) = delete;

private:
    int m_home = -1;
};

}  // namespace kxtest
