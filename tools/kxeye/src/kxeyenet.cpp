// probe, set-ip, set-mac, bind-host, reset-dest, online and doctor: the Ethernet side of kxeye.
#include "kxeyenet.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "kxeyecodes.h"
#include "kxeyecommands.h"
#include "kxeyehost.h"
#include "kxnetbackend.h"
#include "kxnetworkutils.h"
#include "oreyeapi.h"

namespace {

// What the stream socket asks for at least (docs/protocol.md): 64 MiB.
const int64_t c_nStreamReceiveBuffer = 64 * 1024 * 1024;
// IPv4 and UDP headers and the stream header in front of every stream payload.
const int64_t c_nStreamOverhead = 28 + 32;
// At or below this MTU the camera falls back to 512-byte payloads, which do not fit.
const int64_t c_nSmallestStreamMtu = c_nStreamOverhead + 64 + 1;

struct SHit {
    uint8_t abyIP[4] = {};
    uint8_t abyDestIP[4] = {};
    uint8_t abyMAC[6] = {};
    uint8_t abyDestMAC[6] = {};
    uint8_t abyInfo1[8] = {};
    uint8_t abyInfo2[8] = {};
    uint8_t abyID[8] = {};
    int32_t nIfIndex = 0;
};

std::string IPText(const uint8_t* pbyIP) {
    char sz[16] = "";
    KxNetworkUtils::IPToString(pbyIP, sz);
    return sz;
}

std::string MACText(const uint8_t* pbyMAC) {
    char sz[18] = "";
    KxNetworkUtils::MACToString(pbyMAC, sz);
    return sz;
}

std::string HexText(const uint8_t* p, size_t n) {
    std::string s;
    char sz[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(sz, sizeof(sz), "%02x", p[i]);
        s += sz;
    }
    return s;
}

int PrefixLength(const uint8_t* pbyMask) {
    int n = 0;
    for (int i = 0; i < 4; ++i)
        for (int b = 7; b >= 0; --b) n += (pbyMask[i] >> b) & 1;
    return n;
}

bool SameSubnet(const uint8_t* a, const uint8_t* b, const uint8_t* pbyMask) {
    for (int i = 0; i < 4; ++i)
        if ((a[i] & pbyMask[i]) != (b[i] & pbyMask[i])) return false;
    return true;
}

uint32_t ToNumber(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

void FromNumber(uint32_t n, uint8_t* p) {
    p[0] = uint8_t(n >> 24);
    p[1] = uint8_t(n >> 16);
    p[2] = uint8_t(n >> 8);
    p[3] = uint8_t(n);
}

std::string CardText(const SKxNetCardInfo& card) {
    return KxEyeFieldText(card.szDescription) + " (" + IPText(card.byIP) + "/" + std::to_string(PrefixLength(card.byMask)) +
           ")";
}

// Interface index -> name, over every card of the host (virtual ones too).
std::map<uint32_t, std::string> CardNames() {
    std::map<uint32_t, std::string> map;
    std::vector<SKxNetCardRow> vecCards;
    if (KxPlatformNetBackend()->ListCards(vecCards)) {
        for (const SKxNetCardRow& c : vecCards) map[c.nIndex] = c.strName;
    }
    return map;
}

std::vector<SHit> ParseHits(const uint8_t* pBuffer) {
    int32_t nCount = 0;
    std::memcpy(&nCount, pBuffer, 4);
    if (nCount < 0) nCount = 0;
    if (nCount > 8) nCount = 8;
    std::vector<SHit> vec;
    for (int32_t i = 0; i < nCount; ++i) {
        const uint8_t* e = pBuffer + 4 + 60 * i;
        SHit h;
        // Addresses arrive as 32-bit values whose lowest byte is the last octet.
        for (int k = 0; k < 4; ++k) {
            h.abyIP[k] = e[3 - k];
            h.abyDestIP[k] = e[7 - k];
        }
        std::memcpy(h.abyMAC, e + 8, 6);
        std::memcpy(h.abyDestMAC, e + 14, 6);
        std::memcpy(h.abyInfo1, e + 20, 8);
        std::memcpy(h.abyInfo2, e + 28, 8);
        std::memcpy(h.abyID, e + 36, 8);
        std::memcpy(&h.nIfIndex, e + 44, 4);
        vec.push_back(h);
    }
    return vec;
}

// The unicast search of one address, through the card with address strCardIP when given.
// Answers the camera library's code.
int Probe(const uint8_t* pbyIP, const std::string& strCardIP, std::vector<SHit>& vecHits) {
    vecHits.clear();
    std::unique_ptr<IOrEyeCamera> pCamera(CreateOrEyeApi(OREYEAPI_TYPE_ETHERNET));
    if (!pCamera) return KX_E_NOT_SUPPORTED;
    if (!strCardIP.empty()) {
        char szCard[16] = {};
        std::snprintf(szCard, sizeof(szCard), "%s", strCardIP.c_str());
        pCamera->SetLocalIP(szCard, static_cast<int>(sizeof(szCard)));
    }
    const uint8_t abyReversed[4] = {pbyIP[3], pbyIP[2], pbyIP[1], pbyIP[0]};
    std::vector<uint8_t> vecBuffer(c_nOrEyeSearchBytes, 0);
    const int nCode = pCamera->Search(abyReversed, nullptr, vecBuffer.data());
    if (nCode == c_nOrEyeOK) {
        // Only the camera at that address: a probe is not a search of the subnet.
        for (const SHit& h : ParseHits(vecBuffer.data()))
            if (std::memcmp(h.abyIP, pbyIP, 4) == 0) vecHits.push_back(h);
    }
    return nCode;
}

ordered_json HitJson(const SHit& h, const std::map<uint32_t, std::string>& mapNames) {
    uint32_t nVersion = 0;
    uint16_t nWidth = 0, nHeight = 0;
    std::memcpy(&nVersion, h.abyInfo1, 4);
    std::memcpy(&nWidth, h.abyInfo1 + 4, 2);
    std::memcpy(&nHeight, h.abyInfo1 + 6, 2);
    ordered_json j;
    j["ip"] = IPText(h.abyIP);
    j["mac"] = MACText(h.abyMAC);
    j["destIp"] = IPText(h.abyDestIP);
    j["destMac"] = MACText(h.abyDestMAC);
    j["hardwareVersion"] = nVersion;
    j["width"] = nWidth;
    j["height"] = nHeight;
    j["serial"] = KxEyeFieldText(reinterpret_cast<const char*>(h.abyInfo2), 8);
    j["wireId"] = HexText(h.abyID, 8);
    const auto it = mapNames.find(static_cast<uint32_t>(h.nIfIndex));
    j["card"] = it != mapNames.end() ? ordered_json(it->second) : ordered_json(nullptr);
    return j;
}

void PrintHit(const ordered_json& j) {
    std::printf("%s  mac %s  destination %s %s  version %u  %ux%u  serial %s  card %s\n",
                j["ip"].get<std::string>().c_str(), j["mac"].get<std::string>().c_str(),
                j["destIp"].get<std::string>().c_str(), j["destMac"].get<std::string>().c_str(),
                j["hardwareVersion"].get<unsigned>(), j["width"].get<unsigned>(), j["height"].get<unsigned>(),
                j["serial"].get<std::string>().c_str(),
                j["card"].is_null() ? "-" : j["card"].get<std::string>().c_str());
}

// Addresses no camera can take.
bool SpecialAddress(const uint8_t* p) {
    return ToNumber(p) == 0 || ToNumber(p) == 0xFFFFFFFFu || p[0] == 127 || p[0] >= 224;
}

bool IsOwnAddress(const uint8_t* pbyIP) {
    std::vector<SKxNetCardRow> vecCards;
    if (!KxPlatformNetBackend()->ListCards(vecCards)) return false;
    for (const SKxNetCardRow& c : vecCards)
        for (const SKxNetCardAddress& a : c.vecAddresses)
            if (std::memcmp(a.byIP, pbyIP, 4) == 0) return true;
    return false;
}

// The host's neighbour entry for an address on a card, as text ("" when there is none).
std::string ArpEntry(uint32_t nIndex, const uint8_t* pbyIP, bool* pbStatic, std::string* pstrMAC) {
    std::vector<SKxArpRow> vecRows;
    if (KxPlatformNetBackend()->ReadArpTable(vecRows) != 0) return std::string();
    for (const SKxArpRow& r : vecRows) {
        if (r.nIndex != nIndex || std::memcmp(r.byIP, pbyIP, 4) != 0 || r.nMACLength != 6) continue;
        const bool bStatic = r.nType == c_nKxArpStatic;
        if (pbStatic) *pbStatic = bStatic;
        if (pstrMAC) *pstrMAC = MACText(r.byMAC);
        return IPText(pbyIP) + " lladdr " + MACText(r.byMAC) + (bStatic ? " permanent" : " learnt");
    }
    return std::string();
}

const char* const c_pszCapabilityFix = "run kxeye as root, or once: sudo setcap cap_net_admin,cap_net_raw+ep "
                                       "\"$(command -v kxeye)\"";

// Reports the host's ARP entry for the camera after a change: pinned or why not.
ordered_json ReportArp(const SKxNetCardInfo& card, const uint8_t* pbyIP, const std::string& strWantedMAC, bool bJson) {
    bool bStatic = false;
    std::string strMAC;
    const std::string strEntry = ArpEntry(card.nIndex, pbyIP, &bStatic, &strMAC);
    const bool bPinned = bStatic && strMAC == strWantedMAC;
    const std::string strCard = KxEyeFieldText(card.szDescription);
    ordered_json j;
    j["pinned"] = bPinned;
    j["entry"] = strEntry.empty() ? ordered_json(nullptr) : ordered_json(strEntry + " on " + strCard);
    const int nAdmin = KxEyeHost::HasCapability(KxEyeHost::c_nCapNetAdmin);
    j["needs"] = !bPinned && nAdmin != 1 ? ordered_json("CAP_NET_ADMIN") : ordered_json(nullptr);
    if (bPinned) {
        if (!bJson) std::printf("host ARP entry: %s on %s (pinned)\n", strEntry.c_str(), strCard.c_str());
    } else {
        if (!bJson)
            std::printf("host ARP entry: %s\n", strEntry.empty() ? "none" : (strEntry + " on " + strCard).c_str());
        if (nAdmin != 1)
            std::fprintf(stderr,
                         "kxeye: warning: the ARP entry %s -> %s was not pinned: writing the host's ARP table needs "
                         "CAP_NET_ADMIN (%s); until then the host finds the camera by ARP as usual\n",
                         IPText(pbyIP).c_str(), strWantedMAC.c_str(), c_pszCapabilityFix);
        else
            std::fprintf(stderr, "kxeye: warning: the ARP entry %s -> %s was not pinned\n", IPText(pbyIP).c_str(),
                         strWantedMAC.c_str());
    }
    return j;
}

ordered_json RecordBrief(int nIndex, const SKxNLEyeDeviceInfoEx& info) {
    ordered_json j;
    j["index"] = nIndex;
    j["name"] = KxEyeFieldText(info.szDeviceName);
    j["ip"] = KxEyeFieldText(info.szIPAddress);
    j["mac"] = KxEyeFieldText(info.szMACAddress);
    j["card"] = KxEyeFieldText(info.sNetCardInfo.szDescription);
    return j;
}

// An Ethernet camera of the search, chosen like every CAMERA argument; -1 with a message.
int FindEthernetCamera(EKxEyeSource eSource, const std::string& strCamera, std::vector<SKxNLEyeDeviceInfoEx>& vecInfos) {
    if (!KxEyeSearch(eSource, vecInfos)) return -1;
    int nIndex = KxEyeSelect(vecInfos, strCamera);
    if (nIndex < 0) nIndex = KxEyeSelectByIdentity(vecInfos, strCamera, nullptr);
    if (nIndex < 0) {
        std::cerr << "kxeye: no camera \"" << strCamera << "\" among " << vecInfos.size()
                  << " found (give an index, a device ID, a MAC or an IP address; see kxeye list, and kxeye doctor "
                     "when a camera is missing)\n";
        return -1;
    }
    if ((vecInfos[static_cast<size_t>(nIndex)].nDeviceFlags & 0x2) == 0) {
        std::cerr << "kxeye: camera " << nIndex << " is not an Ethernet camera\n";
        return -1;
    }
    return nIndex;
}

std::string ReadableMeaning(int32_t nCode) { return KxEyeFormatCode(nCode); }

}  // namespace

bool KxEyeParseIPv4(const std::string& strText, uint8_t abyIP[4]) {
    uint8_t aby[4] = {};
    size_t nPos = 0;
    for (int i = 0; i < 4; ++i) {
        size_t nDigits = 0;
        unsigned nValue = 0;
        while (nPos < strText.size() && strText[nPos] >= '0' && strText[nPos] <= '9' && nDigits < 4) {
            nValue = nValue * 10 + static_cast<unsigned>(strText[nPos] - '0');
            ++nPos;
            ++nDigits;
        }
        if (nDigits == 0 || nDigits > 3 || nValue > 255) return false;
        aby[i] = static_cast<uint8_t>(nValue);
        if (i < 3) {
            if (nPos >= strText.size() || strText[nPos] != '.') return false;
            ++nPos;
        }
    }
    if (nPos != strText.size()) return false;
    std::memcpy(abyIP, aby, 4);
    return true;
}

std::string KxEyeLiveLine(IOrEyeCamera* pCamera, uint64_t nFrames, uint64_t nFrameBytes, uint64_t nLost, double dElapsed) {
    SOrEyeStreamCounters s{};
    const bool bCounters = pCamera != nullptr && OrEyeGetStreamCounters(pCamera, &s) == c_nOrEyeOK;
    const double dRate = dElapsed > 0 ? nFrames / dElapsed : 0.0;
    char sz[160];
    std::snprintf(sz, sizeof(sz), "frames %llu  rate %.1f/s  %.2f MiB/s  lost %llu  resent %s",
                  static_cast<unsigned long long>(nFrames), dRate, dRate * static_cast<double>(nFrameBytes) / 1048576.0,
                  static_cast<unsigned long long>(nLost),
                  bCounters ? std::to_string(s.nPacketsResent).c_str() : "-");
    return sz;
}

int KxEyeProbe(const std::string& strAddress, bool bJson) {
    uint8_t abyIP[4];
    if (!KxEyeParseIPv4(strAddress, abyIP)) {
        std::cerr << "kxeye: probe: \"" << strAddress << "\" is not an IPv4 address\n";
        return c_nKxEyeExitUsage;
    }
    // These would turn the probe into a broadcast search.
    if (SpecialAddress(abyIP) || IsOwnAddress(abyIP)) {
        std::cerr << "kxeye: probe: " << strAddress
                  << " is not a camera's address (a broadcast, special or own address); use kxeye --source ethernet "
                     "list to search\n";
        return c_nKxEyeExitUsage;
    }
    std::vector<SHit> vecHits;
    const int nCode = Probe(abyIP, std::string(), vecHits);
    const std::map<uint32_t, std::string> mapNames = CardNames();
    if (bJson) {
        ordered_json j = ordered_json::array();
        for (const SHit& h : vecHits) j.push_back(HitJson(h, mapNames));
        KxEyePrintJson(j);
    } else {
        for (const SHit& h : vecHits) PrintHit(HitJson(h, mapNames));
    }
    if (nCode != c_nOrEyeOK) {
        std::cerr << "kxeye: probe of " << strAddress << " failed: " << ReadableMeaning(nCode) << "\n";
        return c_nKxEyeExitFailure;
    }
    if (vecHits.empty()) {
        std::cerr << "kxeye: no camera answered at " << strAddress
                  << " (is there a route to it? see kxeye doctor)\n";
        return c_nKxEyeExitFailure;
    }
    return c_nKxEyeExitOk;
}

int KxEyeNetConfig(EKxEyeSource eSource, const SKxEyeNetOptions& opts) {
    const std::string& strOp = opts.strOperation;
    uint8_t abyIP[4] = {};
    uint8_t abyMAC[6] = {};
    if (strOp == "set-ip") {
        if (!KxEyeParseIPv4(opts.strValue, abyIP)) {
            std::cerr << "kxeye: set-ip: \"" << opts.strValue << "\" is not an IPv4 address\n";
            return c_nKxEyeExitUsage;
        }
        if (SpecialAddress(abyIP)) {
            std::cerr << "kxeye: set-ip: " << opts.strValue
                      << " cannot be a camera's address (0.0.0.0, broadcast, loopback or multicast)\n";
            return c_nKxEyeExitUsage;
        }
    } else if (strOp == "set-mac") {
        // Two hex digits per byte, ':' between; a group MAC (lowest bit of the first byte) or
        // all zeros would make the camera unreachable.
        if (!KxNetworkUtils::StringToMAC(opts.strValue.c_str(), abyMAC)) {
            std::cerr << "kxeye: set-mac: \"" << opts.strValue << "\" is not a MAC like 02:4b:58:00:00:10\n";
            return c_nKxEyeExitUsage;
        }
        static const uint8_t c_abyZero[6] = {};
        if ((abyMAC[0] & 1) || std::memcmp(abyMAC, c_abyZero, 6) == 0) {
            std::cerr << "kxeye: set-mac: " << opts.strValue
                      << " cannot be a camera's MAC (a group MAC or all zeros)\n";
            return c_nKxEyeExitUsage;
        }
    }

    std::vector<SKxNLEyeDeviceInfoEx> vecInfos;
    const int nIndex = FindEthernetCamera(eSource, opts.strCamera, vecInfos);
    if (nIndex < 0) return c_nKxEyeExitFailure;
    const SKxNLEyeDeviceInfoEx info = vecInfos[static_cast<size_t>(nIndex)];
    const SKxNetCardInfo& card = info.sNetCardInfo;
    const std::string strCardIP = IPText(card.byIP);
    uint8_t abyOld[4] = {};
    KxEyeParseIPv4(KxEyeFieldText(info.szIPAddress), abyOld);
    const std::string strOldIP = KxEyeFieldText(info.szIPAddress);
    const std::string strOldMAC = KxEyeFieldText(info.szMACAddress);

    ordered_json j;
    j["camera"] = RecordBrief(nIndex, info);
    j["operation"] = strOp;
    auto finish = [&](int32_t nCode, int nExit) {
        j["code"] = nCode;
        j["meaning"] = KxEyeCodeMeaning(nCode);
        if (opts.bJson) KxEyePrintJson(j);
        return nExit;
    };

    if (strOp == "online") {
        CKxEyeRef<IKxEyeDeviceEnumrator> pEnum;
        if (!KxCreateLaserEyeDeviceEnumrator(pEnum.Out()) || !pEnum) {
            std::cerr << "kxeye: could not create a device enumerator\n";
            return c_nKxEyeExitFailure;
        }
        const bool bOnline = pEnum->IsDeviceOnline(&info);
        j["online"] = bOnline;
        if (!opts.bJson)
            std::printf("camera %d (%s, %s) is %s through %s\n", nIndex, strOldIP.c_str(), strOldMAC.c_str(),
                        bOnline ? "online" : "offline", CardText(card).c_str());
        return finish(KX_OK, bOnline ? c_nKxEyeExitOk : c_nKxEyeExitFailure);
    }

    CKxEyeRef<IKxEthernetEyeConfig> pConfig;
    if (!KxCreateLaserEyeEthernetEyeConfig(nullptr, pConfig.Out()) || !pConfig) {
        std::cerr << "kxeye: could not create the Ethernet configuration\n";
        return c_nKxEyeExitFailure;
    }

    if (strOp == "set-ip") {
        const std::string strNew = IPText(abyIP);
        j["before"] = strOldIP;
        j["after"] = strNew;
        if (std::memcmp(abyIP, abyOld, 4) == 0) {
            if (!opts.bJson) std::printf("camera %d is at %s already: nothing changed\n", nIndex, strNew.c_str());
            return finish(KX_OK, c_nKxEyeExitOk);
        }
        if (!SameSubnet(abyIP, card.byIP, card.byMask) || ToNumber(abyIP) == ToNumber(card.byIP) ||
            (ToNumber(abyIP) & ~ToNumber(card.byMask)) == (~ToNumber(card.byMask)) ||
            (ToNumber(abyIP) & ~ToNumber(card.byMask)) == 0) {
            // Not fatal: a routed network may want it; the host's card will not reach it directly.
            std::fprintf(stderr, "kxeye: warning: %s is not a free host address of the subnet of card %s\n",
                         strNew.c_str(), CardText(card).c_str());
        }
        // Two devices on one address cut both off: look before moving.
        if (!opts.bForce) {
            std::vector<SHit> vecHits;
            Probe(abyIP, strCardIP, vecHits);
            const bool bCanPing = KxEyeHost::HasCapability(KxEyeHost::c_nCapNetRaw) == 1 || KxEyeHost::PingGroupAdmits() == 1;
            const bool bPing = vecHits.empty() && bCanPing && KxNetworkUtils::PingHost(abyIP, 1);
            if (!vecHits.empty() || bPing || IsOwnAddress(abyIP)) {
                const char* pszWhy = !vecHits.empty() ? "a camera answers there"
                                     : bPing           ? "it answers a ping"
                                                       : "it is this host's own address";
                std::fprintf(stderr, "kxeye: %s is in use (%s); nothing changed. Give --force to move the camera "
                                     "anyway\n",
                             strNew.c_str(), pszWhy);
                j["refused"] = std::string("in use: ") + pszWhy;
                return finish(KX_OK, c_nKxEyeExitFailure);
            }
        }
        const int32_t nRet = pConfig->SetIPAddress(&info, abyIP, nullptr, nullptr);
        if (nRet != KX_OK && nRet != KX_E_ARP_WRITE) {
            std::fprintf(stderr, "kxeye: set-ip failed: %s\n", ReadableMeaning(nRet).c_str());
            return finish(nRet, c_nKxEyeExitFailure);
        }
        if (!opts.bJson)
            std::printf("camera %d (%s): address %s -> %s, through card %s\n", nIndex, strOldMAC.c_str(),
                        strOldIP.c_str(), strNew.c_str(), CardText(card).c_str());
        j["arp"] = ReportArp(card, abyIP, strOldMAC, opts.bJson);
        // A camera may take a moment to answer at its new address: a few tries.
        std::vector<SHit> vecHits;
        for (int nTry = 0; nTry < 8 && vecHits.empty(); ++nTry) {
            if (nTry > 0) std::this_thread::sleep_for(std::chrono::milliseconds(250));
            Probe(abyIP, strCardIP, vecHits);
        }
        j["answers"] = !vecHits.empty();
        if (!opts.bJson) {
            if (!vecHits.empty()) std::printf("camera answers at %s\n", strNew.c_str());
            else std::fprintf(stderr, "kxeye: warning: no answer from %s yet\n", strNew.c_str());
        }
        return finish(nRet, c_nKxEyeExitOk);
    }

    if (strOp == "bind-host" || strOp == "reset-dest") {
        const bool bBind = strOp == "bind-host";
        j["before"] = ordered_json{{"ip", KxEyeFieldText(info.szDestIP)}, {"mac", KxEyeFieldText(info.szDestMAC)}};
        const int32_t nRet = bBind ? pConfig->BindHostAddress(&info) : pConfig->ResetDestAddress(&info);
        if (nRet != KX_OK) {
            std::fprintf(stderr, "kxeye: %s failed: %s\n", strOp.c_str(), ReadableMeaning(nRet).c_str());
            return finish(nRet, c_nKxEyeExitFailure);
        }
        // What the camera holds now, from its own answer.
        std::vector<SHit> vecHits;
        Probe(abyOld, strCardIP, vecHits);
        const std::string strIP = vecHits.empty() ? std::string("?") : IPText(vecHits[0].abyDestIP);
        const std::string strMAC = vecHits.empty() ? std::string("?") : MACText(vecHits[0].abyDestMAC);
        j["after"] = ordered_json{{"ip", strIP}, {"mac", strMAC}};
        if (!opts.bJson)
            std::printf("camera %d (%s): destination %s %s -> %s %s (%s)\n", nIndex, strOldIP.c_str(),
                        KxEyeFieldText(info.szDestIP).c_str(), KxEyeFieldText(info.szDestMAC).c_str(), strIP.c_str(),
                        strMAC.c_str(), bBind ? ("card " + CardText(card)).c_str() : "broadcast");
        return finish(nRet, c_nKxEyeExitOk);
    }

    // set-mac: an operation of the opened device.
    const std::string strNewMAC = MACText(abyMAC);
    j["before"] = strOldMAC;
    j["after"] = strNewMAC;
    CKxEyeSession session;
    if (!session.Open(eSource, opts.strCamera)) return finish(KX_E_NOT_OPEN, c_nKxEyeExitFailure);
    const int32_t nRet = pConfig->SetDeviceMACAddress(session.Device(), abyMAC);
    session.Close();
    if (nRet != KX_OK) {
        std::fprintf(stderr, "kxeye: set-mac failed: %s\n", ReadableMeaning(nRet).c_str());
        return finish(nRet, c_nKxEyeExitFailure);
    }
    if (!opts.bJson)
        std::printf("camera %d (%s): MAC %s -> %s\n", nIndex, strOldIP.c_str(), strOldMAC.c_str(), strNewMAC.c_str());
    j["arp"] = ReportArp(card, abyOld, strNewMAC, opts.bJson);
    return finish(nRet, c_nKxEyeExitOk);
}

// ---------------------------------------------------------------------------------------------
// doctor

namespace {

struct SCheck {
    std::string strName;
    std::string strVerdict;  // ok, warn, fail, skip
    std::string strDetail;
    std::string strFix;      // the exact command, or ""
};

class CDoctor {
public:
    void Add(const std::string& strName, const std::string& strVerdict, const std::string& strDetail,
             const std::string& strFix = std::string()) {
        m_vecChecks.push_back(SCheck{strName, strVerdict, strDetail, strFix});
    }
    int Failures() const { return Count("fail"); }
    int Warnings() const { return Count("warn"); }
    void Print(bool bJson) const {
        if (bJson) {
            ordered_json j;
            ordered_json a = ordered_json::array();
            for (const SCheck& c : m_vecChecks) {
                a.push_back(ordered_json{{"check", c.strName},
                                         {"verdict", c.strVerdict},
                                         {"detail", c.strDetail},
                                         {"fix", c.strFix.empty() ? ordered_json(nullptr) : ordered_json(c.strFix)}});
            }
            j["checks"] = a;
            j["failures"] = Failures();
            j["warnings"] = Warnings();
            KxEyePrintJson(j);
            return;
        }
        for (const SCheck& c : m_vecChecks) {
            std::printf("[%s]%*s %s: %s\n", c.strVerdict.c_str(), static_cast<int>(5 - c.strVerdict.size()), "",
                        c.strName.c_str(), c.strDetail.c_str());
            if (!c.strFix.empty()) std::printf("       fix: %s\n", c.strFix.c_str());
        }
        if (Failures() == 0 && Warnings() == 0) std::printf("nothing wrong found\n");
        else std::printf("%d problem(s), %d warning(s)\n", Failures(), Warnings());
    }

private:
    int Count(const char* psz) const {
        int n = 0;
        for (const SCheck& c : m_vecChecks) n += c.strVerdict == psz;
        return n;
    }
    std::vector<SCheck> m_vecChecks;
};

// A host address of the card's subnet that nothing known uses: no card, camera or ARP entry.
std::string FreeAddress(const SKxNetCardInfo& card, const std::set<uint32_t>& setUsed) {
    const uint32_t nMask = ToNumber(card.byMask);
    const uint32_t nNet = ToNumber(card.byIP) & nMask;
    const uint32_t nHosts = ~nMask;
    if (nHosts < 2) return std::string();
    std::set<uint32_t> setTaken = setUsed;
    std::vector<SKxArpRow> vecRows;
    if (KxPlatformNetBackend()->ReadArpTable(vecRows) == 0)
        for (const SKxArpRow& r : vecRows) setTaken.insert(ToNumber(r.byIP));
    const uint32_t nOwn = ToNumber(card.byIP) - nNet;
    // From above the card's own address upwards, round the subnet, at most 4096 tries.
    for (uint32_t k = 1; k < nHosts && k <= 4096; ++k) {
        const uint32_t nHost = (nOwn + k) % (nHosts + 1);
        if (nHost == 0 || nHost == nHosts) continue;
        if (setTaken.count(nNet + nHost)) continue;
        uint8_t aby[4];
        FromNumber(nNet + nHost, aby);
        return IPText(aby);
    }
    return std::string();
}

class CFrameCounter : public IKxLaserDataCallBack {
public:
    std::atomic<uint64_t> nFrames{0};
    void OnLaserResult(IKxLaserEyeResultBlock* pBlock) override {
        if (pBlock) ++nFrames;
    }
};

std::string CamName(const SKxNLEyeDeviceInfoEx& info) {
    return KxEyeFieldText(info.szIPAddress) + " (" + KxEyeFieldText(info.szMACAddress) + ")";
}

}  // namespace

int KxEyeDoctor(EKxEyeSource eSource, const SKxEyeDoctorOptions& opts) {
    CDoctor doc;

    // Cards: the ones the search goes through, and the virtual ones it leaves out.
    std::list<SKxNetCardInfo> lstCards;
    KxNetworkUtils::GetNetCardInfo(lstCards);
    std::set<std::string> setListed;
    std::set<uint32_t> setUsed;
    for (const SKxNetCardInfo& c : lstCards) {
        setListed.insert(KxEyeFieldText(c.szDescription));
        setUsed.insert(ToNumber(c.byIP));
    }
    std::vector<SKxNetCardRow> vecRows;
    KxPlatformNetBackend()->ListCards(vecRows);
    std::vector<std::string> vecLeftOut;
    for (const SKxNetCardRow& r : vecRows) {
        if (r.bLoopback || setListed.count(r.strName) || r.vecAddresses.empty()) continue;
        if (KxPlatformNetBackend()->IsVirtualCard(r.strName.c_str())) {
            const SKxNetCardAddress& a = r.vecAddresses.front();
            vecLeftOut.push_back(r.strName + " (" + IPText(a.byIP) + "/" + std::to_string(PrefixLength(a.byMask)) + ")");
        }
    }
    {
        std::string strListed;
        for (const SKxNetCardInfo& c : lstCards) strListed += (strListed.empty() ? "" : ", ") + CardText(c);
        if (lstCards.empty())
            doc.Add("cards", vecLeftOut.empty() ? "fail" : "warn", "no card is searched through",
                    vecLeftOut.empty() ? "give the host a card with an IPv4 address on the cameras' network" : "");
        else
            doc.Add("cards", "ok", "searched through " + strListed);
    }

    // Search, watching the reverse-path filter's drop counter meanwhile.
    const int64_t nDropsBefore = KxEyeHost::ReversePathDrops();
    std::vector<SKxNLEyeDeviceInfoEx> vecInfos;
    KxEyeSearch(eSource, vecInfos);
    const int64_t nDropsAfter = KxEyeHost::ReversePathDrops();
    const int64_t nDrops = nDropsBefore >= 0 && nDropsAfter >= nDropsBefore ? nDropsAfter - nDropsBefore : 0;
    std::vector<size_t> vecEth;
    for (size_t i = 0; i < vecInfos.size(); ++i) {
        if (vecInfos[i].nDeviceFlags & 0x2) vecEth.push_back(i);
        uint8_t aby[4];
        if (KxEyeParseIPv4(KxEyeFieldText(vecInfos[i].szIPAddress), aby)) setUsed.insert(ToNumber(aby));
    }

    if (!vecLeftOut.empty()) {
        std::string strNames, strList;
        for (const std::string& s : vecLeftOut) {
            strList += (strList.empty() ? "" : ", ") + s;
            strNames += (strNames.empty() ? "" : ",") + s.substr(0, s.find(' '));
        }
        doc.Add("virtual cards", vecEth.empty() ? "fail" : "warn",
                "left out of the search as virtual: " + strList + "; cameras behind them are not found",
                "export KXEYE_VIRTUAL_CARDS=" + strNames + "   (or '*' for every virtual card)");
    } else {
        doc.Add("virtual cards", "ok", "none left out");
    }

    // Each card's address and mask; two cards on one subnet make answers take either.
    {
        std::map<std::string, std::string> mapNets;
        for (const SKxNetCardInfo& c : lstCards) {
            const int nPrefix = PrefixLength(c.byMask);
            uint8_t abyNet[4];
            for (int k = 0; k < 4; ++k) abyNet[k] = c.byIP[k] & c.byMask[k];
            const std::string strNet = IPText(abyNet) + "/" + std::to_string(nPrefix);
            const std::string strName = KxEyeFieldText(c.szDescription);
            if (nPrefix == 32 || nPrefix == 0) {
                doc.Add("card " + strName, "warn", IPText(c.byIP) + "/" + std::to_string(nPrefix) + ": no subnet to share with a camera",
                        "ip addr add ADDRESS/24 dev " + strName);
            } else if (mapNets.count(strNet) && mapNets[strNet] != strName) {
                doc.Add("card " + strName, "warn", CardText(c) + " shares subnet " + strNet + " with " + mapNets[strNet] +
                        ": answers and streams may come through either card");
            } else {
                doc.Add("card " + strName, "ok", CardText(c) + ", subnet " + strNet);
            }
            mapNets.emplace(strNet, strName);
        }
    }

    // Cameras: each one on its card's subnet.
    if (vecEth.empty()) {
        doc.Add("cameras", lstCards.empty() || !vecLeftOut.empty() || nDrops > 0 ? "fail" : "warn",
                "no Ethernet camera answered the search",
                "kxeye probe ADDRESS   (when broadcasts are filtered on the way, and the camera's address is known)");
    } else {
        doc.Add("cameras", "ok", std::to_string(vecEth.size()) + " found");
    }
    for (size_t i : vecEth) {
        const SKxNLEyeDeviceInfoEx& info = vecInfos[i];
        const SKxNetCardInfo& card = info.sNetCardInfo;
        uint8_t abyIP[4] = {};
        KxEyeParseIPv4(KxEyeFieldText(info.szIPAddress), abyIP);
        if (SameSubnet(abyIP, card.byIP, card.byMask)) {
            doc.Add("subnet of " + CamName(info), "ok", "on the subnet of card " + CardText(card));
        } else {
            const std::string strFree = FreeAddress(card, setUsed);
            doc.Add("subnet of " + CamName(info), "fail",
                    "not on the subnet of card " + CardText(card) + ": the host cannot reach it to open it",
                    "kxeye set-ip " + KxEyeFieldText(info.szMACAddress) + " " + (strFree.empty() ? "ADDRESS" : strFree));
        }
    }

    // Reverse-path filter of each listed card.
    const int64_t nAll = KxEyeHost::RpFilterAll();
    for (const SKxNetCardInfo& c : lstCards) {
        const std::string strName = KxEyeFieldText(c.szDescription);
        const int64_t nCard = KxEyeHost::RpFilter(strName);
        if (nCard < 0 && nAll < 0) continue;
        const int64_t nEffective = std::max(nAll, nCard);
        const std::string strSetting = "rp_filter " + std::to_string(nEffective) + " (all " + std::to_string(nAll) + ", " +
                                       strName + " " + std::to_string(nCard) + ")";
        if (nEffective == 1) {
            std::string strFix = "sysctl -w net.ipv4.conf." + strName + ".rp_filter=0";
            if (nAll != 0) strFix = "sysctl -w net.ipv4.conf.all.rp_filter=0 net.ipv4.conf." + strName + ".rp_filter=0";
            doc.Add("reverse-path filter " + strName, nDrops > 0 ? "fail" : "warn",
                    strSetting + ": strict, drops the answers of cameras outside the card's subnet" +
                        (nDrops > 0 ? "; it dropped " + std::to_string(nDrops) + " packet(s) during the search" : ""),
                    strFix);
        } else {
            doc.Add("reverse-path filter " + strName, "ok", strSetting);
        }
    }

    // MTU of each listed card against the stream's packets.
    for (const SKxNetCardInfo& c : lstCards) {
        const std::string strName = KxEyeFieldText(c.szDescription);
        const int64_t nMtu = KxEyeHost::CardMtu(strName);
        if (nMtu < 0) continue;
        if (nMtu < c_nSmallestStreamMtu)
            doc.Add("MTU " + strName, "fail",
                    "MTU " + std::to_string(nMtu) + ": stream packets of at least " + std::to_string(512 + c_nStreamOverhead) +
                        " bytes do not fit",
                    "ip link set dev " + strName + " mtu 1500");
        else
            doc.Add("MTU " + strName, "ok",
                    "MTU " + std::to_string(nMtu) + ": stream packets up to " + std::to_string(nMtu) + " bytes (" +
                        std::to_string(nMtu - c_nStreamOverhead) + " bytes of frame each)");
    }

    // Receive buffer: the stream socket asks for 64 MiB; above net.core.rmem_max only with CAP_NET_ADMIN.
    const int nAdmin = KxEyeHost::HasCapability(KxEyeHost::c_nCapNetAdmin);
    const int64_t nRmem = KxEyeHost::ReceiveBufferMax();
    if (nRmem >= 0) {
        const std::string strDetail = "net.core.rmem_max " + std::to_string(nRmem) + " bytes, streaming wants " +
                                      std::to_string(c_nStreamReceiveBuffer);
        if (nRmem >= c_nStreamReceiveBuffer)
            doc.Add("receive buffer", "ok", strDetail);
        else if (nAdmin == 1)
            doc.Add("receive buffer", "ok", strDetail + " (granted anyway: CAP_NET_ADMIN lifts the cap)");
        else
            doc.Add("receive buffer", "warn", strDetail + ": a burst of frames overflows it and frames are lost",
                    "sysctl -w net.core.rmem_max=" + std::to_string(c_nStreamReceiveBuffer));
    }

    // Rights: pinning ARP entries and host routes, echo requests.
    if (nAdmin == 1)
        doc.Add("privilege for ARP pinning", "ok", "CAP_NET_ADMIN held");
    else
        doc.Add("privilege for ARP pinning", "warn",
                nAdmin == 0 ? "CAP_NET_ADMIN missing: set-ip and set-mac move the camera but cannot pin its address "
                              "in the host's ARP table"
                            : "unknown whether CAP_NET_ADMIN is held",
                c_pszCapabilityFix);
    const int nRaw = KxEyeHost::HasCapability(KxEyeHost::c_nCapNetRaw);
    const int nGroup = KxEyeHost::PingGroupAdmits();
    const bool bCanPing = nRaw == 1 || nGroup == 1;
    if (bCanPing)
        doc.Add("privilege for ping", "ok", nRaw == 1 ? "CAP_NET_RAW held" : "net.ipv4.ping_group_range admits this group");
    else
        doc.Add("privilege for ping", "warn", "neither CAP_NET_RAW nor net.ipv4.ping_group_range: no ping of cameras",
                "sysctl -w net.ipv4.ping_group_range=\"0 2147483647\"");

    // The chosen camera, or every camera found: ping and unicast probe.
    int nChosen = -1;
    if (!opts.strCamera.empty()) {
        nChosen = KxEyeSelect(vecInfos, opts.strCamera);
        if (nChosen < 0) {
            uint8_t aby[4];
            // An address that the search did not find: still probe it.
            if (KxEyeParseIPv4(opts.strCamera, aby)) {
                std::vector<SHit> vecHits;
                const int nCode = Probe(aby, std::string(), vecHits);
                doc.Add("probe " + opts.strCamera, vecHits.empty() ? "fail" : "warn",
                        vecHits.empty() ? "no answer to a unicast probe (" + KxEyeFormatCode(nCode) + ")"
                                        : "answers a unicast probe but not the search: broadcasts are filtered on the "
                                          "way, or its card is left out",
                        vecHits.empty() ? "" : "kxeye probe " + opts.strCamera);
            } else {
                doc.Add("camera " + opts.strCamera, "fail", "not among the " + std::to_string(vecInfos.size()) +
                                                               " camera(s) found");
            }
        }
    }
    for (size_t i : vecEth) {
        if (nChosen >= 0 && static_cast<size_t>(nChosen) != i) continue;
        const SKxNLEyeDeviceInfoEx& info = vecInfos[i];
        uint8_t abyIP[4] = {};
        KxEyeParseIPv4(KxEyeFieldText(info.szIPAddress), abyIP);
        if (!SameSubnet(abyIP, info.sNetCardInfo.byIP, info.sNetCardInfo.byMask)) continue;  // said above
        std::vector<SHit> vecHits;
        Probe(abyIP, IPText(info.sNetCardInfo.byIP), vecHits);
        const bool bPing = bCanPing && KxNetworkUtils::PingHost(abyIP, 1);
        std::string strVerdict = "ok", strDetail;
        if (vecHits.empty()) {
            strVerdict = "fail";
            strDetail = "no answer to a unicast probe";
        } else if (!bCanPing) {
            strDetail = "answers a unicast probe (ping not tried: no right to)";
        } else if (!bPing) {
            strVerdict = "warn";
            strDetail = "answers a unicast probe but not a ping: ICMP is filtered on the way";
        } else {
            strDetail = "answers a ping and a unicast probe";
        }
        doc.Add("reach " + CamName(info), strVerdict, strDetail,
                vecHits.empty() ? "kxeye probe " + KxEyeFieldText(info.szIPAddress) : "");
    }

    // A short stream of the chosen camera: frames and packets lost or resent.
    if (nChosen >= 0 && (vecInfos[static_cast<size_t>(nChosen)].nDeviceFlags & 0x2)) {
        const SKxNLEyeDeviceInfoEx& info = vecInfos[static_cast<size_t>(nChosen)];
        CKxEyeSession session;
        std::string strName = "stream of " + CamName(info);
        if (!session.Open(eSource, opts.strCamera)) {
            doc.Add(strName, "fail", "the camera could not be opened");
        } else {
            CFrameCounter counter;
            const int32_t nStart = session.Device()->StartCapture(0, &counter, nullptr);
            if (nStart != KX_OK) {
                doc.Add(strName, "fail", "capture did not start: " + KxEyeFormatCode(nStart));
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int64_t>(opts.dSeconds * 1000)));
                // Frames still on the way when the capture stops make the SDK log an error line of
                // its own ("Stream Mode Is Close??"), which would read as a fault in a healthy
                // report: below the state-change level it is held back until the camera is closed.
                const int nLogLevel = KxLogUtils::GetLogLevel();
                if (nLogLevel < c_nKxLogState) KxLogUtils::SetLogLevel(0);
                const int32_t nStop = session.Device()->StopCapture();
                SOrEyeStreamCounters s{};
                const int nCode = session.Device()->GetCoreEye()
                                      ? OrEyeGetStreamCounters(session.Device()->GetCoreEye(), &s)
                                      : c_nOrEyeNotSupported;
                session.Close();
                KxLogUtils::SetLogLevel(nLogLevel);
                if (nStop != KX_OK) doc.Add(strName + " stop", "warn", "StopCapture answered " + KxEyeFormatCode(nStop));
                const std::string strCard = KxEyeFieldText(info.sNetCardInfo.szDescription);
                const int64_t nCardMtu = KxEyeHost::CardMtu(strCard);
                const uint32_t nPacketMtu = s.nCameraMtu && s.nHostMtu ? std::min(s.nCameraMtu, s.nHostMtu) : 0;
                char sz[512];
                std::snprintf(sz, sizeof(sz),
                              "%llu frame(s) in %.1f s; frames incomplete %llu, dropped %llu; packets %llu, resent %llu",
                              static_cast<unsigned long long>(counter.nFrames.load()), opts.dSeconds,
                              static_cast<unsigned long long>(s.nFramesIncomplete),
                              static_cast<unsigned long long>(s.nFramesDropped),
                              static_cast<unsigned long long>(s.nPackets),
                              static_cast<unsigned long long>(s.nPacketsResent));
                std::string strDetail = sz;
                if (nCode != c_nOrEyeOK) {
                    doc.Add(strName, counter.nFrames ? "ok" : "fail", strDetail + " (no stream counters)");
                } else if (counter.nFrames == 0 && s.nPackets == 0 && nPacketMtu > 1500) {
                    // Both ends take jumbo packets, yet none came through: something between does not.
                    doc.Add(strName, "fail",
                            strDetail + ": no stream packet of " + std::to_string(nPacketMtu) +
                                " bytes came through, though card " + strCard + " (MTU " + std::to_string(nCardMtu) +
                                ") and the camera (MTU " + std::to_string(s.nCameraMtu) +
                                ") take them: a switch or card between takes smaller packets",
                            "ip link set dev " + strCard + " mtu 1500   (or allow jumbo frames on the way)");
                } else if (nCardMtu > 0 && nPacketMtu > nCardMtu) {
                    doc.Add(strName, "fail",
                            strDetail + ": packets of " + std::to_string(nPacketMtu) + " bytes do not fit card " + strCard +
                                " (MTU " + std::to_string(nCardMtu) + ")",
                            "ip link set dev " + strCard + " mtu " + std::to_string(nPacketMtu));
                } else if (counter.nFrames == 0) {
                    doc.Add(strName, "fail", strDetail + ": no frame arrived",
                            "kxeye --log-level 3 snapshot " + KxEyeFieldText(info.szIPAddress) + " --out /tmp/kxeye-check");
                } else if (s.nFramesIncomplete + s.nFramesDropped > 0) {
                    doc.Add(strName, "warn", strDetail + ": frames were lost",
                            nRmem >= 0 && nRmem < c_nStreamReceiveBuffer && nAdmin != 1
                                ? "sysctl -w net.core.rmem_max=" + std::to_string(c_nStreamReceiveBuffer)
                                : "");
                } else {
                    doc.Add(strName, "ok", strDetail + (nPacketMtu ? ", packets of " + std::to_string(nPacketMtu) + " bytes" : ""));
                }
            }
        }
    } else {
        doc.Add("stream", "skip", "give a camera (kxeye doctor CAMERA) to measure a short stream");
    }

    doc.Print(opts.bJson);
    return doc.Failures() > 0 ? c_nKxEyeExitFailure : c_nKxEyeExitOk;
}
