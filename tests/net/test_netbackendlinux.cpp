// The Linux backend's card rule and link speed over a sysfs tree of our own.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "kxnetbackendlinux.h"

namespace {

class FakeSysfs : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kxsysfsXXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        m_root = tmpl;
        Dir("/bus/pci");
        Dir("/bus/usb");
        Dir("/bus/virtio");
        Dir("/bus/platform");
        Dir("/class/net");
        // A PCI card, a virtio card on PCI, a USB adapter, a card on a platform bus, a veth.
        Device("/devices/pci0000:00/0000:00:1f.6", "pci");
        Card("eno1", "/devices/pci0000:00/0000:00:1f.6", "1000");
        Device("/devices/pci0000:00/0000:00:03.0", "pci");
        Device("/devices/pci0000:00/0000:00:03.0/virtio0", "virtio");
        Card("ens3", "/devices/pci0000:00/0000:00:03.0/virtio0", "-1");
        Device("/devices/pci0000:00/0000:00:14.0", "pci");
        Device("/devices/pci0000:00/0000:00:14.0/usb1", "usb");
        Device("/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0", "usb");
        Card("enx0011", "/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0", "100");
        Device("/devices/platform/soc/eth", "platform");
        Card("end0", "/devices/platform/soc/eth", "");
        Card("veth0", "", "10000");
    }
    void TearDown() override { std::filesystem::remove_all(m_root); }

    void Dir(const std::string& rel) { std::filesystem::create_directories(m_root + rel); }
    void Device(const std::string& rel, const char* bus) {
        Dir(rel);
        ASSERT_EQ(0, symlink((m_root + "/bus/" + bus).c_str(), (m_root + rel + "/subsystem").c_str()));
    }
    void Card(const char* name, const std::string& device, const char* speed) {
        std::string dir = m_root + "/devices/virtual/net/" + name;
        if (!device.empty()) dir = m_root + device + "/net/" + name;
        Dir(dir.substr(m_root.size()));
        if (!device.empty()) {
            ASSERT_EQ(0, symlink((m_root + device).c_str(), (dir + "/device").c_str()));
        }
        std::ofstream(dir + "/speed") << speed << "\n";
        ASSERT_EQ(0, symlink(dir.c_str(), (m_root + "/class/net/" + name).c_str()));
    }

    std::string m_root;
};

TEST_F(FakeSysfs, PhysicalWhenTheDeviceSitsOnPciOrUsb) {
    CKxLinuxNetBackend backend(m_root);
    EXPECT_FALSE(backend.IsVirtualCard("eno1"));
    EXPECT_FALSE(backend.IsVirtualCard("ens3"));     // virtio below a PCI function
    EXPECT_FALSE(backend.IsVirtualCard("enx0011"));  // USB adapter
    EXPECT_TRUE(backend.IsVirtualCard("end0"));      // neither bus
    EXPECT_TRUE(backend.IsVirtualCard("veth0"));     // no device at all
    EXPECT_FALSE(backend.IsVirtualCard("nosuch"));   // unknown: nothing to say
    EXPECT_FALSE(backend.IsVirtualCard("../../bus"));
    EXPECT_FALSE(backend.IsVirtualCard(""));
}

TEST_F(FakeSysfs, SpeedInMbitAndZeroWhenUnknown) {
    CKxLinuxNetBackend backend(m_root);
    EXPECT_EQ(1000u, backend.ReadSpeed("eno1"));
    EXPECT_EQ(0u, backend.ReadSpeed("ens3"));  // -1: link down
    EXPECT_EQ(100u, backend.ReadSpeed("enx0011"));
    EXPECT_EQ(0u, backend.ReadSpeed("end0"));  // empty
    EXPECT_EQ(0u, backend.ReadSpeed("nosuch"));
    EXPECT_EQ(0u, backend.ReadSpeed("../x"));
}

TEST(NetLinuxBackend, LoopbackOfThisMachineIsVirtual) {
    // Reads /sys only; sends nothing.
    CKxLinuxNetBackend backend;
    EXPECT_TRUE(backend.IsVirtualCard("lo"));
}

}  // namespace
