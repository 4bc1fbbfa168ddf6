// The host's network tables as plain rows, and the small interface a platform implements to
// read and change them. The rules over these rows (which ARP rows go, when a write is an
// update, which routes stay) live once in kxnetworkutils.cpp.
#ifndef KXNETBACKEND_H
#define KXNETBACKEND_H

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// Results of the change operations: 0 done, c_nKxNetAccessDenied when the host needs
// administrator rights, any other value is the host's own failure code (on Linux libnl's error
// number, negative).
const int c_nKxNetOk = 0;
const int c_nKxNetAccessDenied = 5;

// ARP entry types (the IP Helper's numbers).
const uint32_t c_nKxArpOther = 1;
const uint32_t c_nKxArpInvalid = 2;
const uint32_t c_nKxArpDynamic = 3;
const uint32_t c_nKxArpStatic = 4;

// Route protocol of a route set by management (SetRouteInfo).
const uint32_t c_nKxRouteProtoNetMgmt = 3;

struct SKxNetCardAddress {
    uint8_t byIP[4];
    uint8_t byMask[4];
};

struct SKxNetCardRow {
    std::string strName;         // interface name, the key of IsVirtual and of the setting
    uint32_t nIndex = 0;
    std::string strDescription;
    uint8_t byMAC[8] = {};
    uint32_t nMACLength = 0;
    bool bLoopback = false;
    std::vector<SKxNetCardAddress> vecAddresses;  // in the host's order
    std::vector<std::array<uint8_t, 4>> vecGateways;  // default gateways through the card
    uint32_t nSpeedMbps = 0;                     // 0 when unknown
};

struct SKxArpRow {
    uint32_t nIndex = 0;
    uint8_t byIP[4] = {};
    uint8_t byMAC[8] = {};
    uint32_t nMACLength = 0;
    uint32_t nType = c_nKxArpDynamic;
};

struct SKxRouteRow {
    uint32_t nIfIndex = 0;
    uint8_t byDest[4] = {};
    uint8_t byMask[4] = {};
    uint8_t byNextHop[4] = {};   // for a route on the link: the card's own address
    uint32_t nMetric = 0;
    uint32_t nProto = 0;
};

class IKxNetBackend {
public:
    virtual ~IKxNetBackend() {}
    // Every card of the host with its IPv4 addresses, in the host's order.
    virtual bool ListCards(std::vector<SKxNetCardRow>& vecCards) = 0;
    // Whether the card is virtual; unknown names answer false.
    virtual bool IsVirtualCard(const char* pszName) = 0;
    virtual int ReadArpTable(std::vector<SKxArpRow>& vecRows) = 0;
    virtual int CreateArpRow(const SKxArpRow& row) = 0;
    virtual int UpdateArpRow(const SKxArpRow& row) = 0;
    virtual int DeleteArpRow(const SKxArpRow& row) = 0;
    virtual int ReadRouteTable(std::vector<SKxRouteRow>& vecRows) = 0;
    virtual int CreateRoute(const SKxRouteRow& row) = 0;
    virtual int DeleteRoute(const SKxRouteRow& row) = 0;
    // The card the host would send to pbyIP through.
    virtual int GetBestInterface(const uint8_t* pbyIP, uint32_t* pnIndex) = 0;
    // The card's interface metric.
    virtual int GetInterfaceMetric(uint32_t nIndex, uint32_t* pnMetric) = 0;
    // One ICMP echo request to pbyIP with this identifier; true when the matching reply came
    // back within nTimeoutMs.
    virtual bool Echo(const uint8_t* pbyIP, uint16_t nIdentifier, int nTimeoutMs) = 0;
};

// The backend of the platform the library is built for (one source per platform defines it);
// it lives as long as the process.
IKxNetBackend* KxPlatformNetBackend();

#endif
