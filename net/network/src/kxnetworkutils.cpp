// Host network utilities: the rules over the host's card list, ARP and route tables, written
// once over the rows of kxnetbackend.h; the platform backend reads and changes the real tables.
#include "kxnetworkutils.h"

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <random>

#include "kxkernel.h"
#include "kxnetbackend.h"

namespace {

std::atomic<IKxNetBackend*> g_pTestBackend{nullptr};

IKxNetBackend* Backend() {
    IKxNetBackend* p = g_pTestBackend.load(std::memory_order_acquire);
    return p != nullptr ? p : KxPlatformNetBackend();
}

const uint8_t c_byBroadcastMAC[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
const uint8_t c_byAllOnes[4] = {255, 255, 255, 255};
const uint8_t c_byLoopback[4] = {127, 0, 0, 1};

bool SameIP(const uint8_t* a, const uint8_t* b) { return memcmp(a, b, 4) == 0; }

bool RowHasMAC(const SKxArpRow& row, const uint8_t* pbyMAC) {
    return row.nMACLength == 6 && memcmp(row.byMAC, pbyMAC, 6) == 0;
}

bool InSubnet(const uint8_t* pbyIP, const SKxNetCardAddress& addr) {
    for (int i = 0; i < 4; ++i)
        if ((pbyIP[i] & addr.byMask[i]) != (addr.byIP[i] & addr.byMask[i])) return false;
    return true;
}

// Logs a refused or failed ARP write and answers whether it was done.
bool ReportArpWrite(int nResult) {
    if (nResult == c_nKxNetOk) return true;
    if (nResult == c_nKxNetAccessDenied)
        KxLogUtils::PrintLog(c_nKxLogState, "ERROR ACCESS DENIED");
    else
        KxLogUtils::PrintLog(c_nKxLogError, "Set Arp Info Failed %d", nResult);
    return false;
}

bool ParseTwo(const char* szIP, const char* szMask, uint8_t* pbyIP, uint8_t* pbyMask) {
    return KxNetworkUtils::StringToIP(szIP, pbyIP) && KxNetworkUtils::StringToIP(szMask, pbyMask);
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

namespace KxNetworkUtils {

IKxNetBackend* SetBackend(IKxNetBackend* pBackend) {
    return g_pTestBackend.exchange(pBackend, std::memory_order_acq_rel);
}

bool GetNetCardInfo(std::list<SKxNetCardInfo>& lstNetCardInfo) {
    IKxNetBackend* pBackend = Backend();
    std::vector<SKxNetCardRow> vecCards;
    if (pBackend->ListCards(vecCards)) {
        for (const SKxNetCardRow& card : vecCards) {
            // Loopback only when named in the setting; other virtual cards also through "*".
            bool bListed;
            if (card.bLoopback)
                bListed = KxGlobalSetting::IsVirtualCardNamed(card.strName.c_str());
            else
                bListed = !pBackend->IsVirtualCard(card.strName.c_str()) ||
                          KxGlobalSetting::IsVirtualCardListed(card.strName.c_str());
            if (!bListed) continue;
            size_t nStep = 0;  // gateways pair with addresses in step, 0.0.0.0 addresses aside
            for (const SKxNetCardAddress& addr : card.vecAddresses) {
                static const uint8_t c_byZero[4] = {0, 0, 0, 0};
                if (SameIP(addr.byIP, c_byZero)) continue;
                size_t nThis = nStep++;
                if (card.nMACLength != 6) continue;
                SKxNetCardInfo info;
                memset(&info, 0, sizeof(info));
                info.nIndex = card.nIndex;
                // The gateway of this address's subnet; else the one in step with the address.
                const uint8_t* pbyGateway = nullptr;
                for (const auto& gw : card.vecGateways)
                    if (InSubnet(gw.data(), addr)) { pbyGateway = gw.data(); break; }
                if (pbyGateway == nullptr && nThis < card.vecGateways.size())
                    pbyGateway = card.vecGateways[nThis].data();
                if (pbyGateway != nullptr) memcpy(info.byGateway, pbyGateway, 4);
                memcpy(info.byIP, addr.byIP, 4);
                memcpy(info.byMask, addr.byMask, 4);
                snprintf(info.szDescription, sizeof(info.szDescription), "%s", card.strDescription.c_str());
                memcpy(info.byMAC, card.byMAC, 6);
                info.nSpeed = card.nSpeedMbps;
                lstNetCardInfo.push_back(info);
            }
        }
    }
    return !lstNetCardInfo.empty();
}

void IPToString(const unsigned char* pbyIP, char* szText) {
    if (pbyIP == nullptr || szText == nullptr) return;
    snprintf(szText, 16, "%d.%d.%d.%d", pbyIP[0], pbyIP[1], pbyIP[2], pbyIP[3]);
}

void MACToString(const unsigned char* pbyMAC, char* szText) {
    if (pbyMAC == nullptr || szText == nullptr) return;
    snprintf(szText, 18, "%02x:%02x:%02x:%02x:%02x:%02x", pbyMAC[0], pbyMAC[1], pbyMAC[2], pbyMAC[3],
             pbyMAC[4], pbyMAC[5]);
}

bool StringToIP(const char* szText, unsigned char* pbyIP) {
    if (szText == nullptr || pbyIP == nullptr) return false;
    uint8_t by[4] = {0, 0, 0, 0};
    int nOctet = 0;
    for (const char* p = szText; *p != '\0'; ++p) {
        if (*p == '.') {
            if (++nOctet > 3) return false;
        } else if (*p >= '0' && *p <= '9') {
            by[nOctet] = static_cast<uint8_t>(by[nOctet] * 10 + (*p - '0'));
        } else {
            return false;
        }
    }
    memcpy(pbyIP, by, 4);
    return true;
}

bool StringToMAC(const char* szText, unsigned char* pbyMAC) {
    if (szText == nullptr || pbyMAC == nullptr) return false;
    if (strlen(szText) != 17) return false;
    // Two hex digits per byte: signs, blanks and "0x" that a %x reading would let through are
    // refused.
    uint8_t by[6];
    for (int i = 0; i < 6; ++i) {
        const char* p = szText + i * 3;
        if (i < 5 && p[2] != ':') return false;
        int hi = HexValue(p[0]), lo = HexValue(p[1]);
        if (hi < 0 || lo < 0) return false;
        by[i] = static_cast<uint8_t>(hi * 16 + lo);
    }
    memcpy(pbyMAC, by, 6);
    return true;
}

bool BindArp(const SKxNetCardInfo* pCard, const unsigned char* pbyIP, const unsigned char* pbyMAC) {
    return SetArpInfo(pCard, pbyIP, pbyMAC, true);
}

bool SetArpInfo(const SKxNetCardInfo* pCard, const unsigned char* pbyIP, const unsigned char* pbyMAC,
                bool bStatic) {
    if (pCard == nullptr || pbyIP == nullptr || pbyMAC == nullptr) return false;
    IKxNetBackend* pBackend = Backend();
    const uint32_t nType = bStatic ? c_nKxArpStatic : c_nKxArpDynamic;
    std::vector<SKxArpRow> vecRows;
    if (pBackend->ReadArpTable(vecRows) != c_nKxNetOk) return false;

    bool bExists = false, bUpdate = false;
    for (const SKxArpRow& row : vecRows) {
        bool bSameAddress = SameIP(row.byIP, pbyIP);
        bool bSameEntry = bSameAddress && row.nType == nType && row.nIndex == pCard->nIndex;
        if (bSameEntry) bUpdate = true;
        if (RowHasMAC(row, pbyMAC)) {
            if (bSameEntry)
                bExists = true;
            else if (memcmp(row.byMAC, c_byBroadcastMAC, 6) != 0)
                pBackend->DeleteArpRow(row);
        } else if (bSameAddress && !bSameEntry) {
            pBackend->DeleteArpRow(row);
        }
    }
    if (bExists) return true;

    SKxArpRow want;
    want.nIndex = pCard->nIndex;
    memcpy(want.byIP, pbyIP, 4);
    memcpy(want.byMAC, pbyMAC, 6);
    want.nMACLength = 6;
    want.nType = nType;
    return ReportArpWrite(bUpdate ? pBackend->UpdateArpRow(want) : pBackend->CreateArpRow(want));
}

bool DeleteArpInfo(const SKxNetCardInfo* pCard, const unsigned char* pbyIP, const unsigned char* pbyMAC) {
    if (pCard == nullptr || pbyIP == nullptr || pbyMAC == nullptr) return false;
    IKxNetBackend* pBackend = Backend();
    std::vector<SKxArpRow> vecRows;
    if (pBackend->ReadArpTable(vecRows) != c_nKxNetOk) return false;
    // A delete the host refuses is a failure, not a success: the entry is still there.
    bool bAll = true;
    for (const SKxArpRow& row : vecRows) {
        if (row.nIndex != pCard->nIndex || !RowHasMAC(row, pbyMAC) || !SameIP(row.byIP, pbyIP)) continue;
        int nResult = pBackend->DeleteArpRow(row);
        if (nResult == c_nKxNetOk) continue;
        bAll = false;
        if (nResult == c_nKxNetAccessDenied)
            KxLogUtils::PrintLog(c_nKxLogState, "ERROR ACCESS DENIED");
        else
            KxLogUtils::PrintLog(c_nKxLogError, "Delete Arp Info Failed %d", nResult);
    }
    return bAll;
}

bool SetRouteInfo(const SKxNetCardInfo* pCard, const unsigned char* pbyDevIP) {
    if (pCard == nullptr || pbyDevIP == nullptr) return false;
    IKxNetBackend* pBackend = Backend();
    SKxRouteRow want;
    want.nIfIndex = pCard->nIndex;
    memcpy(want.byDest, pbyDevIP, 4);
    memcpy(want.byMask, c_byAllOnes, 4);
    memcpy(want.byNextHop, pCard->byIP, 4);

    std::vector<SKxRouteRow> vecRows;
    if (pBackend->ReadRouteTable(vecRows) != c_nKxNetOk) return false;
    bool bExists = false;
    for (const SKxRouteRow& row : vecRows) {
        if (!SameIP(row.byDest, pbyDevIP)) continue;
        if (row.nMetric != 0xFFFFFFFFu && row.nIfIndex == want.nIfIndex && SameIP(row.byNextHop, want.byNextHop))
            bExists = true;
        else
            pBackend->DeleteRoute(row);
    }
    if (bExists) return true;

    uint32_t nBest = 0, nMetric = 0;
    int nResult = pBackend->GetBestInterface(pbyDevIP, &nBest);
    if (nResult == c_nKxNetOk) nResult = pBackend->GetInterfaceMetric(nBest, &nMetric);
    if (nResult != c_nKxNetOk) {
        KxLogUtils::PrintLog(c_nKxLogError, "Get Route Info Failed %d", nResult);
        return false;
    }
    want.nMetric = nMetric + 1;
    want.nProto = c_nKxRouteProtoNetMgmt;
    nResult = pBackend->CreateRoute(want);
    if (nResult == c_nKxNetOk) return true;
    if (nResult == c_nKxNetAccessDenied) KxLogUtils::PrintLog(c_nKxLogState, "NetWork ACCESS DENIED");
    return false;
}

bool IsVirtualNetCard(const char* szAdapterName) {
    if (szAdapterName == nullptr || szAdapterName[0] == '\0') return false;
    return Backend()->IsVirtualCard(szAdapterName);
}

bool CheckIPConfig(const unsigned char* pbyIP, const unsigned char* pbyMask, const unsigned char* pbyGateway,
                   int* pnError) {
    int nCode = 0;
    if (pbyMask == nullptr || pbyMask[0] == 0) {
        nCode = c_nKxNetBadMask;
    } else if (pbyIP == nullptr) {
        nCode = c_nKxNetBadAddress;
    } else {
        uint8_t byNet[4], byBroadcast[4];
        for (int i = 0; i < 4; ++i) {
            byNet[i] = static_cast<uint8_t>(pbyIP[i] & pbyMask[i]);
            byBroadcast[i] = static_cast<uint8_t>(byNet[i] | static_cast<uint8_t>(~pbyMask[i]));
        }
        if (SameIP(pbyIP, byNet) || SameIP(pbyIP, byBroadcast) || SameIP(pbyIP, c_byAllOnes) ||
            SameIP(pbyIP, c_byLoopback))
            nCode = c_nKxNetBadAddress;
        else if (pbyGateway == nullptr || SameIP(pbyGateway, c_byAllOnes) || SameIP(pbyGateway, byNet) ||
                 SameIP(pbyGateway, byBroadcast) || SameIP(pbyGateway, c_byLoopback))
            nCode = c_nKxNetBadGateway;
    }
    if (pnError != nullptr) *pnError = nCode;
    return nCode == 0;
}

bool GetBroadcastAddress(const char* szIP, const char* szMask, char* szOut) {
    uint8_t byIP[4], byMask[4];
    if (szOut == nullptr || !ParseTwo(szIP, szMask, byIP, byMask)) return false;
    uint8_t byOut[4];
    for (int i = 0; i < 4; ++i) byOut[i] = static_cast<uint8_t>((byIP[i] & byMask[i]) | static_cast<uint8_t>(~byMask[i]));
    IPToString(byOut, szOut);
    return true;
}

bool GetNetworkAddress(const char* szIP, const char* szMask, char* szOut) {
    uint8_t byIP[4], byMask[4];
    if (szOut == nullptr || !ParseTwo(szIP, szMask, byIP, byMask)) return false;
    uint8_t byOut[4];
    for (int i = 0; i < 4; ++i) byOut[i] = static_cast<uint8_t>(byIP[i] & byMask[i]);
    IPToString(byOut, szOut);
    return true;
}

bool PingHost(const unsigned char* pbyIP, int nTimeoutSec) {
    if (pbyIP == nullptr) return false;
    // Own generator per thread: rand() shares state across threads.
    thread_local std::mt19937 s_gen{std::random_device{}()};
    uint16_t nIdentifier = static_cast<uint16_t>(s_gen() % 65535u);
    int nTimeoutMs = nTimeoutSec <= 0 ? 0 : (nTimeoutSec >= INT_MAX / 1000 ? INT_MAX : nTimeoutSec * 1000);
    return Backend()->Echo(pbyIP, nIdentifier, nTimeoutMs);
}

unsigned short CalcChecksum(const unsigned char* pData, int nLength) {
    uint64_t nSum = 0;  // wide enough for any int length without folding inside the loop
    if (pData != nullptr) {
        int i = 0;
        for (; i + 1 < nLength; i += 2) {
            uint16_t nWord;
            memcpy(&nWord, pData + i, 2);  // memory order: the sum lands in memory the same way
            nSum += nWord;
        }
        if (i < nLength) {
            uint16_t nWord = 0;
            memcpy(&nWord, pData + i, 1);  // the odd byte, as the first byte of a zero-padded word
            nSum += nWord;
        }
        while (nSum >> 16) nSum = (nSum >> 16) + (nSum & 0xFFFF);
    }
    return static_cast<unsigned short>(~nSum & 0xFFFF);
}

}  // namespace KxNetworkUtils
