// Host network utilities: the host's physical cards, its ARP and IPv4 route tables, address
// texts, subnet arithmetic and an ICMP echo probe. Stateless; any thread. docs/network.md says
// what each function reads and changes on the host and what needs administrator rights.
#ifndef KXNETWORKUTILS_H
#define KXNETWORKUTILS_H

#include <list>

#include "kxlasereyerecords.h"

class IKxNetBackend;

// Codes of CheckIPConfig.
const int c_nKxNetBadMask = -69992;     // first octet of the mask is 0
const int c_nKxNetBadAddress = -69991;  // address is the network, the broadcast, 255.255.255.255 or 127.0.0.1
const int c_nKxNetBadGateway = -69990;  // gateway is 255.255.255.255, the network, the broadcast or 127.0.0.1

namespace KxNetworkUtils {

// Appends one record per IPv4 address of every listed card; whether the list is non-empty after.
bool GetNetCardInfo(std::list<SKxNetCardInfo>& lstNetCardInfo);

// "%d.%d.%d.%d" (16 bytes) and "%02x:%02x:%02x:%02x:%02x:%02x" (18 bytes). A null argument
// writes nothing.
void IPToString(const unsigned char* pbyIP, char* szText);
void MACToString(const unsigned char* pbyMAC, char* szText);
// Parse; nothing is stored on failure.
bool StringToIP(const char* szText, unsigned char* pbyIP);
bool StringToMAC(const char* szText, unsigned char* pbyMAC);

// A static ARP entry of pbyIP -> pbyMAC on the card.
bool BindArp(const SKxNetCardInfo* pCard, const unsigned char* pbyIP, const unsigned char* pbyMAC);
bool SetArpInfo(const SKxNetCardInfo* pCard, const unsigned char* pbyIP, const unsigned char* pbyMAC,
                bool bStatic);
bool DeleteArpInfo(const SKxNetCardInfo* pCard, const unsigned char* pbyIP, const unsigned char* pbyMAC);
// A host route (/32) to the camera through the card.
bool SetRouteInfo(const SKxNetCardInfo* pCard, const unsigned char* pbyDevIP);

// Whether the card is virtual (not on a PCI or USB bus). Unknown names answer false.
bool IsVirtualNetCard(const char* szAdapterName);

bool CheckIPConfig(const unsigned char* pbyIP, const unsigned char* pbyMask, const unsigned char* pbyGateway,
                   int* pnError);
bool GetBroadcastAddress(const char* szIP, const char* szMask, char* szOut);
bool GetNetworkAddress(const char* szIP, const char* szMask, char* szOut);

// One ICMP echo; true when the host answered within nTimeoutSec seconds.
bool PingHost(const unsigned char* pbyIP, int nTimeoutSec);
// RFC 1071 Internet checksum.
unsigned short CalcChecksum(const unsigned char* pData, int nLength);

// Tests: replaces the host backend (null restores the platform's); answers the previous one.
IKxNetBackend* SetBackend(IKxNetBackend* pBackend);

}  // namespace KxNetworkUtils

#endif
