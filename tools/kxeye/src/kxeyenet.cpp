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
// The parameter page: every camera has it, and reading it changes nothing.
const unsigned c_nKxEyeDoctorReadAddress = 0x3FF000;
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

// Addresses no camera can take: "this network" (0.x.x.x), loopback, multicast and reserved
// (224 and above, the broadcast 255.255.255.255 among them).
bool SpecialAddress(const uint8_t* p) { return p[0] == 0 || p[0] == 127 || p[0] >= 224; }

// The network or broadcast address of a subnet of one of the host's cards (prefixes up to /30,
// which have both), as "the broadcast address of 192.0.2.0/24 on eth0"; "" when it is none.
std::string SubnetEdge(const uint8_t* pbyIP) {
    std::vector<SKxNetCardRow> vecCards;
    if (!KxPlatformNetBackend()->ListCards(vecCards)) return std::string();
    const uint32_t n = ToNumber(pbyIP);
    for (const SKxNetCardRow& c : vecCards) {
        for (const SKxNetCardAddress& a : c.vecAddresses) {
            const uint32_t nMask = ToNumber(a.byMask);
            if (PrefixLength(a.byMask) > 30 || nMask == 0) continue;
            const uint32_t nNet = ToNumber(a.byIP) & nMask;
            if ((n & nMask) != nNet) continue;
            if (n != nNet && n != (nNet | ~nMask)) continue;
            uint8_t abyNet[4];
            FromNumber(nNet, abyNet);
            return std::string(n == nNet ? "the network address" : "the broadcast address") + " of " + IPText(abyNet) +
                   "/" + std::to_string(PrefixLength(a.byMask)) + " on " + c.strName;
        }
    }
    return std::string();
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
                         IPText(pbyIP).c_str(), strWantedMAC.c_str(), KxEyeHost::CapabilityFix().c_str());
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

// An Ethernet camera of the search, chosen like every CAMERA argument; -1 with a message, the
// message in strError and its code in nCode. A camera that answered the search but could not
// be read is an Ethernet camera all the same: its record keeps its addresses and card.
int FindEthernetCamera(EKxEyeSource eSource, const std::string& strCamera, std::vector<SKxNLEyeDeviceInfoEx>& vecInfos,
                       std::string& strError, int32_t& nCode) {
    if (!KxEyeSearch(eSource, vecInfos)) {
        strError = "could not create a device enumerator";
        nCode = KX_E_NO_CAMERA;
        return -1;
    }
    int nIndex = KxEyeSelect(vecInfos, strCamera);
    if (nIndex < 0) nIndex = KxEyeSelectByIdentity(vecInfos, strCamera, nullptr);
    if (nIndex < 0) {
        strError = "no camera \"" + strCamera + "\" among " + std::to_string(vecInfos.size()) +
                   " found (give an index, a device ID, a MAC or an IP address; see kxeye list, and kxeye doctor "
                   "when a camera is missing)";
        nCode = KX_E_NOT_FOUND;
        std::cerr << "kxeye: " << strError << "\n";
        return -1;
    }
    if (!KxEyeIsEthernet(vecInfos[static_cast<size_t>(nIndex)])) {
        strError = "camera " + std::to_string(nIndex) + " is a virtual camera of this process, not an Ethernet camera";
        nCode = KX_E_NOT_SUPPORTED;
        std::cerr << "kxeye: " << strError << "\n";
        return -1;
    }
    return nIndex;
}

std::string ReadableMeaning(int32_t nCode) { return KxEyeFormatCode(nCode); }

struct SCameraFacts {
    int nOpen = c_nOrEyeNotSupported;  // InitDevice's answer
    uint32_t nCameraMtu = 0;           // of the camera's card, from its answer to the open; 0 unknown
    int nLargeRead = c_nOrEyeNotSupported;  // a read whose answer is larger than the smallest MTU
};

// Opens the camera through its own card, by its address, as a camera object of the library, and
// reads its product text and then a block large enough to need full-size packets.
SCameraFacts AskCamera(const SKxNLEyeDeviceInfoEx& info) {
    SCameraFacts f;
    std::unique_ptr<IOrEyeCamera> pCamera(CreateOrEyeApi(OREYEAPI_TYPE_ETHERNET));
    if (!pCamera) return f;
    char szCard[16] = {};
    std::snprintf(szCard, sizeof(szCard), "%s", IPText(info.sNetCardInfo.byIP).c_str());
    pCamera->SetLocalIP(szCard, static_cast<int>(sizeof(szCard)));
    static const uint8_t c_abyNone[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    if (std::memcmp(info.byDeviceID, c_abyNone, 8) != 0) pCamera->SelectDevice(info.byDeviceID);
    char szConnect[64] = {};
    std::snprintf(szConnect, sizeof(szConnect), "%s", KxEyeFieldText(info.szIPAddress).c_str());
    f.nOpen = pCamera->InitDevice(1536, 2048, 0, 5, szConnect);
    if (f.nOpen != c_nOrEyeOK) return f;
    SOrEyeStreamCounters s{};
    if (OrEyeGetStreamCounters(pCamera.get(), &s) == c_nOrEyeOK) f.nCameraMtu = s.nCameraMtu;
    // 4 KiB in one answer: IPv4 cuts it into fragments as large as the camera's card takes.
    std::vector<uint8_t> vecBlock(4096);
    f.nLargeRead = pCamera->ReadStorage(c_nKxEyeDoctorReadAddress, vecBlock.data(), static_cast<unsigned>(vecBlock.size()));
    if (f.nLargeRead != c_nOrEyeOK) {
        // A camera object that saw no answer takes the camera for gone and would not let go of it
        // when deleted, leaving it held for its heartbeat timeout: one small request first brings
        // the session back, so that the camera is free for the next open.
        char szProduct[17] = {};
        pCamera->ReadProduct(2, szProduct, 16);
    }
    return f;
}

// Why an operation on a camera failed, when the camera says more on its own: held by another
// program; "" when it does not.
std::string HeldReason(const SKxNLEyeDeviceInfoEx& info) {
    CKxEyeQuietCameraLibrary quiet;
    const SCameraFacts f = AskCamera(info);
    if (f.nOpen == c_nOrEyeAccessDenied)
        return "the camera is held by another program, on this host or another (it refuses control with " +
               KxEyeFormatCode(c_nOrEyeAccessDenied) +
               "); end that program, or wait 3 s when it ended without letting go";
    return std::string();
}

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

CKxEyeLiveLine::CKxEyeLiveLine(bool bTerminal) : m_bTerminal(bTerminal) {
    const int nLevel = KxLogUtils::GetLogLevel();
    if (m_bTerminal && nLevel > 0) {
        KxLogUtils::SetLogCallback(&CKxEyeLiveLine::OnLog, this, nLevel);
        m_bHooked = true;
    }
}

CKxEyeLiveLine::~CKxEyeLiveLine() { End(); }

void CKxEyeLiveLine::End() {
    // Unhooked first: once SetLogCallback returns, no call of OnLog is still running.
    if (m_bHooked) KxLogUtils::SetLogCallback(nullptr, nullptr, 0);
    m_bHooked = false;
    std::lock_guard<std::mutex> lock(m_mtx);
    if (m_bShown) std::fprintf(stderr, "\n");
    m_bShown = false;
}

void CKxEyeLiveLine::Update(const std::string& strText) {
    if (!m_bTerminal) return;
    std::lock_guard<std::mutex> lock(m_mtx);
    m_strText = strText;
    m_bShown = true;
    std::fprintf(stderr, "\r\033[K%s", m_strText.c_str());
    std::fflush(stderr);
}

void CKxEyeLiveLine::Print(const std::string& strLine) {
    std::lock_guard<std::mutex> lock(m_mtx);
    // The line takes the live line's place, and the live line comes back below it.
    std::fprintf(stderr, "%s%s\n", m_bShown ? "\r\033[K" : "", strLine.c_str());
    if (m_bShown) std::fprintf(stderr, "%s", m_strText.c_str());
    std::fflush(stderr);
}

void CKxEyeLiveLine::OnLog(int nLevel, const char* pszLine, void* pContext) {
    CKxEyeLiveLine* p = static_cast<CKxEyeLiveLine*>(pContext);
    static const char* const c_apszTags[] = {"[kx ?] ", "[kx E] ", "[kx W] ", "[kx S] ", "[kx D] "};
    const char* pszTag = nLevel >= 1 && nLevel <= 4 ? c_apszTags[nLevel] : c_apszTags[0];
    p->Print(std::string(pszTag) + pszLine);
}

int64_t KxEyePacketsResent(IOrEyeCamera* pCamera) {
    SOrEyeStreamCounters s{};
    if (pCamera == nullptr || OrEyeGetStreamCounters(pCamera, &s) != c_nOrEyeOK) return -1;
    return static_cast<int64_t>(s.nPacketsResent);
}

int KxEyeProbe(const std::string& strAddress, bool bJson) {
    uint8_t abyIP[4];
    if (!KxEyeParseIPv4(strAddress, abyIP)) {
        std::cerr << "kxeye: probe: \"" << strAddress << "\" is not an IPv4 address\n";
        return c_nKxEyeExitUsage;
    }
    // These would turn the probe into a broadcast search, or ask the host itself.
    std::string strWhy;
    if (SpecialAddress(abyIP)) strWhy = "a broadcast, loopback, multicast or reserved address";
    else if (IsOwnAddress(abyIP)) strWhy = "this host's own address";
    else strWhy = SubnetEdge(abyIP);
    if (!strWhy.empty()) {
        std::cerr << "kxeye: probe: " << strAddress << " is not a camera's address (" << strWhy
                  << "); use kxeye --source ethernet list to search\n";
        if (bJson) KxEyePrintJson(ordered_json::array());
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
        // A typo of .255 for .25 would put the camera where nothing reaches it.
        std::string strWhy;
        if (SpecialAddress(abyIP)) strWhy = "0.x.x.x, loopback, multicast, reserved or the broadcast 255.255.255.255";
        else if (!opts.bForce) strWhy = SubnetEdge(abyIP);
        if (!strWhy.empty()) {
            const std::string strText = opts.strValue + " cannot be a camera's address (" + strWhy + ")";
            std::cerr << "kxeye: set-ip: " << strText
                      << (SpecialAddress(abyIP) ? "" : "; give --force if the camera's own subnet is another") << "\n";
            if (opts.bJson)
                KxEyePrintJson(ordered_json{{"camera", nullptr}, {"operation", strOp}, {"after", opts.strValue},
                                            {"refused", strText}, {"code", KX_E_BAD_ADDRESS},
                                            {"meaning", KxEyeCodeMeaning(KX_E_BAD_ADDRESS)}});
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
    std::string strFindError;
    int32_t nFindCode = KX_OK;
    const int nIndex = FindEthernetCamera(eSource, opts.strCamera, vecInfos, strFindError, nFindCode);
    if (nIndex < 0) {
        if (opts.bJson) {
            ordered_json j{{"camera", nullptr}, {"operation", strOp}, {"error", strFindError}};
            if (strOp == "online") j["online"] = false;
            j["code"] = nFindCode;
            j["meaning"] = KxEyeCodeMeaning(nFindCode);
            KxEyePrintJson(j);
        }
        return c_nKxEyeExitFailure;
    }
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
    // kxeye itself refused: no SDK call was made, so there is no code; the meaning says why.
    auto refuse = [&](const std::string& strWhy, int nExit) {
        j["refused"] = strWhy;
        j["code"] = nullptr;
        j["meaning"] = "refused by kxeye, nothing sent: " + strWhy;
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
        // The host's own address is never a camera's, --force or not.
        if (IsOwnAddress(abyIP)) {
            std::fprintf(stderr, "kxeye: %s is in use (it is this host's own address); nothing changed\n", strNew.c_str());
            return refuse("in use: it is this host's own address", c_nKxEyeExitFailure);
        }
        // Two devices on one address cut both off: look before moving.
        if (!opts.bForce) {
            std::vector<SHit> vecHits;
            Probe(abyIP, strCardIP, vecHits);
            const bool bCanPing = KxEyeHost::HasCapability(KxEyeHost::c_nCapNetRaw) == 1 || KxEyeHost::PingGroupAdmits() == 1;
            const bool bPing = vecHits.empty() && bCanPing && KxNetworkUtils::PingHost(abyIP, 1);
            if (!vecHits.empty() || bPing) {
                const char* pszWhy = !vecHits.empty() ? "a camera answers there" : "it answers a ping";
                std::fprintf(stderr, "kxeye: %s is in use (%s); nothing changed. Give --force to move the camera "
                                     "anyway\n",
                             strNew.c_str(), pszWhy);
                return refuse(std::string("in use: ") + pszWhy, c_nKxEyeExitFailure);
            }
        }
        const int32_t nRet = pConfig->SetIPAddress(&info, abyIP, nullptr, nullptr);
        if (nRet != KX_OK && nRet != KX_E_ARP_WRITE) {
            const std::string strHeld = HeldReason(info);
            std::fprintf(stderr, "kxeye: set-ip failed: %s%s\n", ReadableMeaning(nRet).c_str(),
                         strHeld.empty() ? "" : (": " + strHeld).c_str());
            if (!strHeld.empty()) j["error"] = strHeld;
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
            const std::string strHeld = HeldReason(info);
            std::fprintf(stderr, "kxeye: %s failed: %s%s\n", strOp.c_str(), ReadableMeaning(nRet).c_str(),
                         strHeld.empty() ? "" : (": " + strHeld).c_str());
            if (!strHeld.empty()) j["error"] = strHeld;
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
    // A camera that could not be read cannot be opened either: the session says why.
    CKxEyeSession session;
    if (!session.Open(eSource, opts.strCamera)) {
        j["error"] = session.FailureText();
        return finish(session.FailureCode(), c_nKxEyeExitFailure);
    }
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
    // The doctor says what went wrong itself; the camera library's warnings would repeat it.
    CKxEyeQuietCameraLibrary quiet;

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
        // No card searched: no camera can be found, whatever else is right.
        if (lstCards.empty())
            doc.Add("cards", "fail", "no card is searched through",
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
    // Every camera that answered, read or not: a record without flags still carries its address,
    // MAC and card.
    std::vector<size_t> vecEth;
    for (size_t i = 0; i < vecInfos.size(); ++i) {
        if (KxEyeIsEthernet(vecInfos[i])) vecEth.push_back(i);
        uint8_t aby[4];
        if (KxEyeParseIPv4(KxEyeFieldText(vecInfos[i].szIPAddress), aby)) setUsed.insert(ToNumber(aby));
    }

    // The camera asked about: found by the search, else probed at its address. A camera that is
    // not there is said once; the other cameras are then left alone, since they were not asked about.
    int nChosen = -1;
    bool bChosenMissing = false;
    if (!opts.strCamera.empty()) {
        nChosen = KxEyeSelect(vecInfos, opts.strCamera);
        if (nChosen >= 0 && !KxEyeIsEthernet(vecInfos[static_cast<size_t>(nChosen)])) nChosen = -1;
        bChosenMissing = nChosen < 0;
    }
    auto asked = [&](size_t i) { return opts.strCamera.empty() || static_cast<int>(i) == nChosen; };

    // What each camera says when asked on its own, through its card: opened (or why not), the MTU
    // of its card, whether a large answer comes through.
    std::map<size_t, SCameraFacts> mapFacts;
    for (size_t i : vecEth)
        if (asked(i)) mapFacts[i] = AskCamera(vecInfos[i]);

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

    // Each card's link: an address stays on a card without a cable, and nothing answers.
    for (const SKxNetCardInfo& c : lstCards) {
        const std::string strName = KxEyeFieldText(c.szDescription);
        const std::string strLink = KxEyeHost::LinkState(strName);
        if (strLink == "down")
            doc.Add("link " + strName, "fail", "the card is switched off (state DOWN): nothing goes through it",
                    "ip link set dev " + strName + " up");
        else if (strLink == "no-carrier")
            doc.Add("link " + strName, "fail",
                    "no link (NO-CARRIER): no cable in the card, or the camera or switch at the other end is off",
                    "plug the cable into " + strName + " and power the camera; ethtool " + strName +
                        " says \"Link detected: yes\" once the link is up");
        else if (strLink == "up")
            doc.Add("link " + strName, "ok", "link up");
    }

    // Cameras: how many answered, then each on its own.
    size_t nUnread = 0;
    for (size_t i : vecEth) nUnread += vecInfos[i].bDeviceInfoValid ? 0 : 1;
    if (vecEth.empty()) {
        doc.Add("cameras", lstCards.empty() || !vecLeftOut.empty() || nDrops > 0 ? "fail" : "warn",
                "no Ethernet camera answered the search",
                "kxeye probe ADDRESS   (when broadcasts are filtered on the way, and the camera's address is known)");
    } else {
        doc.Add("cameras", "ok",
                std::to_string(vecEth.size()) + " found" +
                    (nUnread ? ", " + std::to_string(nUnread) + " of them could not be read (below)" : std::string()));
    }
    if (bChosenMissing) {
        uint8_t aby[4];
        if (KxEyeParseIPv4(opts.strCamera, aby)) {
            // An address that the search did not find: still probe it.
            std::vector<SHit> vecHits;
            const int nCode = Probe(aby, std::string(), vecHits);
            std::string strDetail = "answers a unicast probe but not the search: broadcasts are filtered on the way, "
                                    "or its card is left out";
            if (vecHits.empty())
                strDetail = "not found by the search, and no answer to a unicast probe" +
                            (nCode != c_nOrEyeOK ? " (" + KxEyeFormatCode(nCode) + ")" : std::string()) +
                            ": no camera is there, or it is off or unplugged";
            doc.Add("probe " + opts.strCamera, vecHits.empty() ? "fail" : "warn", strDetail,
                    vecHits.empty() ? "kxeye --source ethernet list   (what answers at all)" : "kxeye probe " + opts.strCamera);
        } else {
            doc.Add("camera " + opts.strCamera, "fail",
                    "not among the " + std::to_string(vecEth.size()) + " Ethernet camera(s) found",
                    "kxeye --source ethernet list");
        }
    }

    // Two cameras on one address (a factory address, twice): the host reaches one of them. Every
    // one but the first gets a move of its own, each to another free address.
    std::map<std::string, std::vector<size_t>> mapByIP;
    for (size_t i : vecEth) {
        std::vector<size_t>& vec = mapByIP[KxEyeFieldText(vecInfos[i].szIPAddress)];
        bool bSameCamera = false;  // the same camera through a second card
        for (size_t k : vec)
            bSameCamera = bSameCamera || KxEyeFieldText(vecInfos[k].szMACAddress) == KxEyeFieldText(vecInfos[i].szMACAddress);
        if (!bSameCamera) vec.push_back(i);
    }
    std::set<size_t> setMoved;  // cameras already given a set-ip fix
    for (const auto& entry : mapByIP) {
        if (entry.second.size() < 2) continue;
        std::string strMACs;
        for (size_t i : entry.second) strMACs += (strMACs.empty() ? "" : ", ") + KxEyeFieldText(vecInfos[i].szMACAddress);
        for (size_t k = 1; k < entry.second.size(); ++k) {
            const SKxNLEyeDeviceInfoEx& info = vecInfos[entry.second[k]];
            const std::string strFree = FreeAddress(info.sNetCardInfo, setUsed);
            if (!strFree.empty()) {
                uint8_t aby[4];
                KxEyeParseIPv4(strFree, aby);
                setUsed.insert(ToNumber(aby));
            }
            setMoved.insert(entry.second[k]);
            doc.Add("duplicate address " + CamName(info), "fail",
                    std::to_string(entry.second.size()) + " cameras answer at " + entry.first + " (" + strMACs +
                        "): the host reaches only one of them",
                    "kxeye set-ip " + KxEyeFieldText(info.szMACAddress) + " " + (strFree.empty() ? "ADDRESS" : strFree));
        }
    }

    // Each camera on its card's subnet. Off it, the library still speaks to it by broadcast, so a
    // camera that was read works; one that was not cannot be opened that way either.
    for (size_t i : vecEth) {
        const SKxNLEyeDeviceInfoEx& info = vecInfos[i];
        const SKxNetCardInfo& card = info.sNetCardInfo;
        uint8_t abyIP[4] = {};
        KxEyeParseIPv4(KxEyeFieldText(info.szIPAddress), abyIP);
        if (SameSubnet(abyIP, card.byIP, card.byMask)) {
            doc.Add("subnet of " + CamName(info), "ok", "on the subnet of card " + CardText(card));
            continue;
        }
        std::string strFix;
        if (!setMoved.count(i)) {
            const std::string strFree = FreeAddress(card, setUsed);
            if (!strFree.empty()) {
                uint8_t aby[4];
                KxEyeParseIPv4(strFree, aby);
                setUsed.insert(ToNumber(aby));
            }
            strFix = "kxeye set-ip " + KxEyeFieldText(info.szMACAddress) + " " + (strFree.empty() ? "ADDRESS" : strFree);
            setMoved.insert(i);
        }
        if (info.bDeviceInfoValid)
            doc.Add("subnet of " + CamName(info), "warn",
                    "not on the subnet of card " + CardText(card) +
                        ": the camera library reaches it by broadcast through the card, but ping, routes and a strict "
                        "reverse-path filter do not",
                    strFix);
        else
            doc.Add("subnet of " + CamName(info), "fail",
                    "not on the subnet of card " + CardText(card) + ": the host cannot reach it to open it", strFix);
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

    // MTU of each listed card against the stream's packets and against the cameras behind it: a
    // camera's answers are as large as its own card takes, and the host's card drops what is larger.
    for (const SKxNetCardInfo& c : lstCards) {
        const std::string strName = KxEyeFieldText(c.szDescription);
        const int64_t nMtu = KxEyeHost::CardMtu(strName);
        if (nMtu < 0) continue;
        std::string strLarger;
        uint32_t nLargest = 0;
        for (const auto& f : mapFacts) {
            const SKxNLEyeDeviceInfoEx& info = vecInfos[f.first];
            if (info.sNetCardInfo.nIndex != c.nIndex || f.second.nCameraMtu <= nMtu) continue;
            strLarger += (strLarger.empty() ? "" : ", ") + CamName(info) + " MTU " + std::to_string(f.second.nCameraMtu);
            nLargest = std::max(nLargest, f.second.nCameraMtu);
        }
        if (nMtu < c_nSmallestStreamMtu)
            doc.Add("MTU " + strName, "fail",
                    "MTU " + std::to_string(nMtu) + ": stream packets of at least " + std::to_string(512 + c_nStreamOverhead) +
                        " bytes do not fit",
                    "ip link set dev " + strName + " mtu 1500");
        else if (!strLarger.empty())
            doc.Add("MTU " + strName, "fail",
                    "MTU " + std::to_string(nMtu) + ", below the camera's (" + strLarger +
                        "): its answers larger than " + std::to_string(nMtu) +
                        " bytes are dropped, so reads fail with -10030 (camera offline)",
                    "ip link set dev " + strName + " mtu " + std::to_string(nLargest));
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
                KxEyeHost::CapabilityFix());
    const int nRaw = KxEyeHost::HasCapability(KxEyeHost::c_nCapNetRaw);
    const int nGroup = KxEyeHost::PingGroupAdmits();
    const bool bCanPing = nRaw == 1 || nGroup == 1;
    if (bCanPing)
        doc.Add("privilege for ping", "ok", nRaw == 1 ? "CAP_NET_RAW held" : "net.ipv4.ping_group_range admits this group");
    else
        doc.Add("privilege for ping", "warn", "neither CAP_NET_RAW nor net.ipv4.ping_group_range: no ping of cameras",
                "sysctl -w net.ipv4.ping_group_range=\"0 2147483647\"");

    // Each camera asked about: the host's ARP entry for it, whether it answers a ping and a unicast
    // probe, and whether it lets itself be opened.
    for (size_t i : vecEth) {
        if (!asked(i)) continue;
        const SKxNLEyeDeviceInfoEx& info = vecInfos[i];
        const SKxNetCardInfo& card = info.sNetCardInfo;
        const std::string strIP = KxEyeFieldText(info.szIPAddress);
        const std::string strMAC = KxEyeFieldText(info.szMACAddress);
        const std::string strCard = KxEyeFieldText(card.szDescription);
        uint8_t abyIP[4] = {};
        KxEyeParseIPv4(strIP, abyIP);
        const bool bOnSubnet = SameSubnet(abyIP, card.byIP, card.byMask);
        const bool bDuplicate = mapByIP[strIP].size() > 1;
        // An entry that sends the host's packets for the address to another MAC: a camera replaced
        // by another at the same address, after set-ip pinned the old one.
        bool bStaleArp = false;
        if (bOnSubnet && !bDuplicate) {
            bool bStatic = false;
            std::string strEntryMAC;
            const std::string strEntry = ArpEntry(card.nIndex, abyIP, &bStatic, &strEntryMAC);
            if (!strEntry.empty() && strEntryMAC != strMAC) {
                bStaleArp = bStatic;
                doc.Add("ARP entry of " + CamName(info), bStatic ? "fail" : "warn",
                        "the host's ARP entry " + strEntry + " on " + strCard + " sends its packets for " + strIP +
                            " to " + strEntryMAC + ", but the camera that answers there is " + strMAC +
                            (bStatic ? ": pinned, it never changes by itself (a camera replaced after set-ip pinned "
                                       "the old one)"
                                     : ": the host learns the new MAC again soon"),
                        "ip neigh del " + strIP + " dev " + strCard);
            } else if (!strEntry.empty()) {
                doc.Add("ARP entry of " + CamName(info), "ok", strEntry + " on " + strCard);
            }
        }
        if (bOnSubnet) {
            std::vector<SHit> vecHits;
            Probe(abyIP, IPText(card.byIP), vecHits);
            const bool bPing = bCanPing && KxNetworkUtils::PingHost(abyIP, 1);
            std::string strVerdict = "ok", strDetail;
            if (vecHits.empty()) {
                strVerdict = "fail";
                strDetail = bStaleArp ? "no answer to a unicast probe: the host sends it to the MAC of the pinned entry"
                                      : "no answer to a unicast probe";
            } else if (!bCanPing) {
                strDetail = "answers a unicast probe (ping not tried: no right to)";
            } else if (!bPing) {
                strVerdict = "warn";
                strDetail = "answers a unicast probe but not a ping: ICMP is filtered on the way";
            } else {
                strDetail = "answers a ping and a unicast probe";
            }
            doc.Add("reach " + CamName(info), strVerdict, strDetail,
                    vecHits.empty() ? (bStaleArp ? "ip neigh del " + strIP + " dev " + strCard : "kxeye probe " + strIP)
                                    : "");
        }
        // Opened on its own, as the search and every command open it.
        const SCameraFacts& facts = mapFacts[i];
        const std::string strName = "open " + CamName(info);
        if (facts.nOpen == c_nOrEyeOK && facts.nLargeRead == c_nOrEyeOK) {
            doc.Add(strName, "ok",
                    std::string(info.bDeviceInfoValid ? "read by the search; " : "not read by the search, but now; ") +
                        "opens and answers" +
                        (facts.nCameraMtu ? " (camera MTU " + std::to_string(facts.nCameraMtu) + ")" : std::string()));
        } else if (facts.nOpen == c_nOrEyeAccessDenied) {
            doc.Add(strName, "fail",
                    "held by another program, on this host or another: the camera refuses control to a second one "
                    "(-10008, access denied); it lets go when that program closes it, or 3 s after that program "
                    "stopped answering (a crashed run)",
                    "end the program that uses the camera, then kxeye doctor " + strMAC);
        } else if (facts.nOpen != c_nOrEyeOK) {
            std::string strWhy = "it does not answer requests sent to it";
            std::string strFix = "kxeye probe " + strIP;
            if (bStaleArp) {
                strWhy = "the host sends its requests to the MAC of the pinned ARP entry";
                strFix = "ip neigh del " + strIP + " dev " + strCard;
            } else if (!bOnSubnet) {
                strWhy = "it is not on the subnet of card " + strCard;
                strFix = "";  // the subnet check above names the move
            } else if (bDuplicate) {
                strWhy = "another camera answers at the same address";
                strFix = "";
            }
            doc.Add(strName, "fail",
                    std::string(info.bDeviceInfoValid ? "read by the search, " : "could not be read by the search, ") +
                        "and opening it fails with " + KxEyeFormatCode(facts.nOpen) + ": " + strWhy,
                    strFix);
        } else {
            doc.Add(strName, "fail",
                    "opens, but a larger answer does not come through (" + KxEyeFormatCode(facts.nLargeRead) +
                        "): packets are lost on the way, or a card between takes smaller ones",
                    "ip link set dev " + strCard + " mtu 1500");
        }
    }

    // A short stream of the chosen camera: frames and packets lost or resent.
    if (nChosen >= 0) {
        const SKxNLEyeDeviceInfoEx& info = vecInfos[static_cast<size_t>(nChosen)];
        CKxEyeSession session;
        std::string strName = "stream of " + CamName(info);
        const std::string strCard = KxEyeFieldText(info.sNetCardInfo.szDescription);
        const int64_t nCardMtu = KxEyeHost::CardMtu(strCard);
        if (!session.Open(eSource, opts.strCamera)) {
            if ((session.FailureCode() == KX_E_OFFLINE || session.FailureCode() == c_nOrEyeOffline) && nCardMtu > 1500) {
                // It answers a search (small packets) but not the open's larger answers, though
                // the card takes jumbo packets: something between does not.
                doc.Add(strName, "fail",
                        "the camera could not be opened: " + session.FailureText() + ": its answers larger than 1500 bytes "
                            "did not come through, though card " + strCard + " (MTU " + std::to_string(nCardMtu) +
                            ") takes them: a switch or card between takes smaller packets",
                        "ip link set dev " + strCard + " mtu 1500   (or allow jumbo frames on the way)");
            } else {
                doc.Add(strName, "fail", "the camera could not be opened: " + session.FailureText());
            }
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
    } else if (!bChosenMissing) {
        doc.Add("stream", "skip", "give a camera (kxeye doctor CAMERA) to measure a short stream");
    }

    doc.Print(opts.bJson);
    return doc.Failures() > 0 ? c_nKxEyeExitFailure : c_nKxEyeExitOk;
}
