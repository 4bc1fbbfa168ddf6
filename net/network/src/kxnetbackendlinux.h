// Linux backend of the host network utilities: cards from getifaddrs and sysfs, ARP rows and
// routes through rtnetlink (libnl-route-3), echo through an ICMP socket. Every call opens its own
// sockets, so a call works in the network namespace of the thread that makes it.
#ifndef KXNETBACKENDLINUX_H
#define KXNETBACKENDLINUX_H

#include <string>

#include "kxnetbackend.h"

class CKxLinuxNetBackend : public IKxNetBackend {
public:
    // strSysfs: where sysfs is mounted ("/sys"; tests pass a tree of their own).
    explicit CKxLinuxNetBackend(const std::string& strSysfs = "/sys") : m_strSysfs(strSysfs) {}

    bool ListCards(std::vector<SKxNetCardRow>& vecCards) override;
    bool IsVirtualCard(const char* pszName) override;
    int ReadArpTable(std::vector<SKxArpRow>& vecRows) override;
    int CreateArpRow(const SKxArpRow& row) override;
    int UpdateArpRow(const SKxArpRow& row) override;
    int DeleteArpRow(const SKxArpRow& row) override;
    int ReadRouteTable(std::vector<SKxRouteRow>& vecRows) override;
    int CreateRoute(const SKxRouteRow& row) override;
    int DeleteRoute(const SKxRouteRow& row) override;
    int GetBestInterface(const uint8_t* pbyIP, uint32_t* pnIndex) override;
    int GetInterfaceMetric(uint32_t nIndex, uint32_t* pnMetric) override;
    bool Echo(const uint8_t* pbyIP, uint16_t nIdentifier, int nTimeoutMs) override;

    // Link speed in Mbit/s from sysfs; 0 when the card does not know it (a link that is down).
    uint32_t ReadSpeed(const std::string& strName) const;

private:
    int WriteNeighbour(const SKxArpRow& row, int nFlags);

    std::string m_strSysfs;
};

#endif
