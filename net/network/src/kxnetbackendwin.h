// Windows backend of the host network utilities: cards from the IP Helper's adapter list and
// interface rows, the virtual-card rule from the registry, ARP rows and routes through the IP
// Helper, echo through a raw ICMP socket of Windows Sockets. Host tables are read with the
// two-call pattern into a buffer that belongs to the call.
#ifndef KXNETBACKENDWIN_H
#define KXNETBACKENDWIN_H

#include <string>

#include "kxnetbackend.h"

class CKxWinNetBackend : public IKxNetBackend {
public:
    // Where the network cards' identities live in the registry: a key below HKEY_LOCAL_MACHINE by
    // default; tests pass a key of their own below HKEY_CURRENT_USER (bLocalMachine false).
    static const char* const c_pszNetworkKey;
    explicit CKxWinNetBackend(const std::string& strNetworkKey = c_pszNetworkKey, bool bLocalMachine = true)
        : m_strNetworkKey(strNetworkKey), m_bLocalMachine(bLocalMachine) {}

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

    // The rule over a card's plug-and-play identity: virtual unless it names a PCI or USB bus
    // (case-sensitive, as the system writes it).
    static bool IsVirtualPnPInstanceId(const char* pszId);
    // The card's plug-and-play identity from the registry; false when the key or value is
    // missing.
    bool ReadPnPInstanceId(const char* pszName, std::string& strId) const;

private:
    std::string m_strNetworkKey;
    bool m_bLocalMachine;
};

#endif
