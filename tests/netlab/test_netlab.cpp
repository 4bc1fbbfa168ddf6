// The lab's own guarantees: traffic crosses a veth pair between two namespaces of the lab, and
// nothing of a lab is left once it is gone, also when its process died without cleaning up.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include "support/kxnetlab.h"

namespace {

bool NamespaceExists(const std::string& ns) {
    std::string out;
    kxtest::NetlabShell("ip netns list", &out);
    return out.find(ns + "\n") != std::string::npos || out.find(ns + " ") != std::string::npos;
}

int UdpSocketBound(const char* ip, int port) {
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, ip, &a.sin_addr);
    timeval tv{2, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) { close(s); return -1; }
    return s;
}

TEST(NetLab, DatagramCrossesTheLinkAndTheLabLeavesNothing) {
    KX_REQUIRE_NETLAB();
    std::string host, cam;
    {
        kxtest::CNetLab lab;
        host = lab.AddNamespace("host");
        cam = lab.AddNamespace("cam");
        lab.Link(host, "eth0", "192.0.2.1/24", cam, "eth0", "192.0.2.10/24");

        int rx;
        {
            kxtest::CInNetns in(cam);
            rx = UdpSocketBound("192.0.2.10", 40000);
        }
        ASSERT_GE(rx, 0);
        int tx;
        {
            kxtest::CInNetns in(host);
            tx = UdpSocketBound("192.0.2.1", 0);
        }
        ASSERT_GE(tx, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(40000);
        inet_pton(AF_INET, "192.0.2.10", &to.sin_addr);
        ASSERT_EQ(sendto(tx, "kx", 2, 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 2);
        char buf[8] = {};
        sockaddr_in from{};
        socklen_t len = sizeof from;
        EXPECT_EQ(recvfrom(rx, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len), 2);
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
        EXPECT_STREQ(text, "192.0.2.1");
        close(rx);
        close(tx);

        // A program in a namespace sees that namespace's cards only.
        std::string out;
        EXPECT_EQ(lab.Exec(cam, "ip -brief addr show dev eth0", &out), 0);
        EXPECT_NE(out.find("192.0.2.10"), std::string::npos);
        EXPECT_TRUE(NamespaceExists(host));
    }
    EXPECT_FALSE(NamespaceExists(host));
    EXPECT_FALSE(NamespaceExists(cam));
}

TEST(NetLab, SpawnedProgramsStopWithTheLab) {
    KX_REQUIRE_NETLAB();
    pid_t pid;
    {
        kxtest::CNetLab lab;
        std::string ns = lab.AddNamespace("solo");
        pid = lab.Spawn(ns, {"sleep", "30"});
        ASSERT_GT(pid, 0);
    }
    EXPECT_NE(kill(pid, 0), 0) << "the program outlived its lab";
}

TEST(NetLab, NamespacesOfADeadRunAreSwept) {
    KX_REQUIRE_NETLAB();
    // A process that made a namespace of the lab's pattern and died without removing it.
    pid_t child = fork();
    if (child == 0) _exit(0);
    waitpid(child, nullptr, 0);
    std::string stale = "kxt" + std::to_string(child) + "x1-stale";
    ASSERT_EQ(kxtest::NetlabShell("ip netns add " + stale), 0);
    { kxtest::CNetLab lab; }
    EXPECT_FALSE(NamespaceExists(stale));
    kxtest::NetlabShell("ip netns del " + stale);
}

}  // namespace
