// Device enumerator: local listing, small smart eye probe and the record list.
#include "kxlasereyedeviceenumrator.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <list>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <system_error>
#include <thread>

#include "kxkernel.h"
#include "kxlasereyeinnerutils.h"
#include "kxnetworkutils.h"
#include "oreyeapi.h"

namespace {

const char c_szModuleTag[] = "KxNLDsec";

// Local device table of ListDevices: count byte, 3 reserved bytes, 4 entries of 76 bytes.
const unsigned int c_nListHeaderBytes = 4;
const unsigned int c_nEntryVersion = 0;      // u32, low 12 bits used
const unsigned int c_nEntryNumber = 4;       // signed byte
const unsigned int c_nEntryConnect = 5;      // 32 bytes
const unsigned int c_nEntryConnectBytes = 32;
const unsigned int c_nEntryKind = 40;        // i32: 3 laser, 4 smart
const unsigned int c_nEntryWidth = 44;       // u32
const unsigned int c_nEntryHeight = 48;      // u32
const int32_t c_nKindLaser = 3;
const int32_t c_nKindSmart = 4;

const uint32_t c_nFlagsLocalLaser = 0x2121;
const uint32_t c_nFlagsLocalSmart = 0x2211;
const uint32_t c_nFlagsSmallSmartEye = 0x1212;

const uint32_t c_nFlagsEthLaser = 0x122;
const uint32_t c_nFlagsEthSmart = 0x212;

// Search result buffer: count, then 8 entries of 60 bytes.
const unsigned int c_nSearchHeaderBytes = 4;
const unsigned int c_nHitEyeIP = 0;       // u32, lowest byte the last octet
const unsigned int c_nHitDestIP = 4;
const unsigned int c_nHitEyeMAC = 8;
const unsigned int c_nHitDestMAC = 14;
const unsigned int c_nHitEyeInfo1 = 20;
const unsigned int c_nHitEyeInfo2 = 28;
const unsigned int c_nHitDeviceID = 36;
const unsigned int c_nHitIfIndex = 44;    // i32

static_assert(c_nSearchHeaderBytes + c_nOrEyeSearchMaxEntries * c_nOrEyeSearchEntryBytes == c_nOrEyeSearchBytes,
              "search buffer layout");
static_assert(c_nListHeaderBytes + c_nOrEyeListMaxEntries * c_nOrEyeListEntryBytes == c_nOrEyeListTableBytes,
              "listing table layout");

struct CameraDeleter {
    void operator()(IOrEyeCamera* pCamera) const { delete pCamera; }
};
typedef std::unique_ptr<IOrEyeCamera, CameraDeleter> CameraPtr;

uint32_t ReadU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Bounded copy of a text into a fixed field, always terminated.
template <size_t N>
void SetText(char (&szField)[N], const char* pszText) {
    std::snprintf(szField, N, "%s", pszText);
}

// Counter and timestamp wraps of the hardware version. The per-version table ends at version 8;
// a higher version gets 0 (unknown) rather than a read past the table.
void SetRanges(SKxNLEyeDeviceInfoEx& info) {
    const uint32_t nVersion = info.sVideoRes.nVersion;
    if (nVersion <= c_nLaserEyeHwVersion) {
        info.sVideoRes.nFrameCounterRange = static_cast<uint32_t>(::GetFrameCounterRange(static_cast<int>(nVersion)));
        info.sVideoRes.nTimeStampRange = static_cast<uint32_t>(::GetTimeStampRange(static_cast<int>(nVersion)));
    } else {
        info.sVideoRes.nFrameCounterRange = 0;
        info.sVideoRes.nTimeStampRange = 0;
    }
}

bool HasDeviceID(const uint8_t* pbyID) {
    static const uint8_t c_byNone[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    return std::memcmp(pbyID, c_byNone, sizeof(c_byNone)) != 0;
}

// Text of a fixed record field that need not be terminated within its width.
template <size_t N>
std::string FieldText(const char (&szField)[N]) {
    return std::string(szField, strnlen(szField, N));
}

bool InCardSubnet(const uint8_t* pbyIP, const SKxNetCardInfo& card) {
    bool bAnyMask = false;
    for (int b = 0; b < 4; ++b) {
        if ((pbyIP[b] & card.byMask[b]) != (card.byIP[b] & card.byMask[b])) return false;
        bAnyMask = bAnyMask || card.byMask[b] != 0;
    }
    return bAnyMask;
}

// The listed entry of a card (one entry per address of the card) that the record of a camera
// at pbyIP gets: the address on the camera's subnet, else the card's first listed address.
// Null when the card is not listed.
const SKxNetCardInfo* CardFor(uint32_t nIfIndex, const uint8_t* pbyIP, const std::list<SKxNetCardInfo>& lstCards) {
    const SKxNetCardInfo* pFirst = nullptr;
    for (const SKxNetCardInfo& card : lstCards) {
        if (card.nIndex != nIfIndex) continue;
        if (InCardSubnet(pbyIP, card)) return &card;
        if (pFirst == nullptr) pFirst = &card;
    }
    return pFirst;
}

// Appends the hits of one search result buffer. The buffer has room for 8 entries: a count
// outside 0..8 cannot be true, so only what fits is read. Answers that came through a card the
// list does not hold (the virtual-card setting leaves it out) are not listed: no record with an
// unknown card; their number is added to *pnUnlisted.
void CollectHits(const uint8_t* pResult, const SKxNetCardInfo* pCard, const std::list<SKxNetCardInfo>& lstCards,
                 std::vector<SKxNLEthernetEyeConfigInfo>& vecHits, int* pnUnlisted) {
    const int32_t nListed = static_cast<int32_t>(ReadU32(pResult));
    const int nCount = std::clamp(nListed, 0, static_cast<int>(c_nOrEyeSearchMaxEntries));
    for (int i = 0; i < nCount; ++i) {
        const uint8_t* pEntry = pResult + c_nSearchHeaderBytes + i * c_nOrEyeSearchEntryBytes;
        SKxNLEthernetEyeConfigInfo hit;
        std::memset(&hit, 0, sizeof(hit));
        hit.nValid = 1;
        for (int b = 0; b < 4; ++b) {
            hit.byEyeIP[b] = pEntry[c_nHitEyeIP + 3 - b];
            hit.byDestIP[b] = pEntry[c_nHitDestIP + 3 - b];
        }
        std::memcpy(hit.byEyeMAC, pEntry + c_nHitEyeMAC, 6);
        std::memcpy(hit.byDestMAC, pEntry + c_nHitDestMAC, 6);
        std::memcpy(hit.byEyeInfo1, pEntry + c_nHitEyeInfo1, 8);
        std::memcpy(hit.byEyeInfo2, pEntry + c_nHitEyeInfo2, 8);
        std::memcpy(hit.byDeviceID, pEntry + c_nHitDeviceID, 8);
        // Per card: the card searched (its address on the camera's subnet when it has several);
        // broadcast form: the card the answer came through.
        const uint32_t nIfIndex = pCard != nullptr ? pCard->nIndex : ReadU32(pEntry + c_nHitIfIndex);
        const SKxNetCardInfo* pFound = CardFor(nIfIndex, hit.byEyeIP, lstCards);
        if (pFound == nullptr && pCard != nullptr && pCard->nIndex == nIfIndex) pFound = pCard;
        if (pFound == nullptr) {
            if (pnUnlisted != nullptr) ++*pnUnlisted;
            continue;
        }
        hit.sNetCardInfo = *pFound;
        vecHits.push_back(hit);
    }
}

// Same answer through the same card (a card with two addresses searched once per address).
bool SameHit(const SKxNLEthernetEyeConfigInfo& a, const SKxNLEthernetEyeConfigInfo& b) {
    return a.sNetCardInfo.nIndex == b.sNetCardInfo.nIndex && std::memcmp(a.byEyeIP, b.byEyeIP, 4) == 0 &&
           std::memcmp(a.byEyeMAC, b.byEyeMAC, 6) == 0 && std::memcmp(a.byDestIP, b.byDestIP, 4) == 0 &&
           std::memcmp(a.byDestMAC, b.byDestMAC, 6) == 0 && std::memcmp(a.byEyeInfo1, b.byEyeInfo1, 8) == 0 &&
           std::memcmp(a.byEyeInfo2, b.byEyeInfo2, 8) == 0 && std::memcmp(a.byDeviceID, b.byDeviceID, 8) == 0;
}

// Place of a card in the card list (its first entry): the order that decides a camera's first
// record, whatever the order its answers arrived in.
size_t CardRank(uint32_t nIfIndex, const std::list<SKxNetCardInfo>& lstCards) {
    size_t n = 0;
    for (const SKxNetCardInfo& card : lstCards) {
        if (card.nIndex == nIfIndex) return n;
        ++n;
    }
    return n;
}

void NewRecord(SKxNLEyeDeviceInfoEx& info) {
    std::memset(&info, 0, sizeof(info));
    KxStringUtils::CreateGUID(info.szDeviceID);
    SetText(info.szModuleTag, c_szModuleTag);
}

}  // namespace

int32_t CKxEyeDeviceEnumrator::SearchDevice(int32_t nSearchFlags) {
    m_vecPrevious.swap(m_vecDeviceInfo);
    m_vecDeviceInfo.clear();
    if (nSearchFlags & c_nKxSearchLocal) SearchLocal();
    if (nSearchFlags & c_nKxSearchEthernet) SearchEthernet();
    if (nSearchFlags & c_nKxSearchSmallSmartEye) SearchSmallSmartEye();
    m_vecPrevious.clear();
    return KX_OK;
}

void CKxEyeDeviceEnumrator::SearchLocal() {
    CameraPtr pCamera(CreateOrEyeApi(OREYEAPI_TYPE_LOCAL));
    if (!pCamera) return;

    uint8_t byTable[c_nOrEyeListTableBytes];
    std::memset(byTable, 0, sizeof(byTable));
    pCamera->ListDevices(byTable);  // the table is the answer; the code is not used
    const int nListed = static_cast<int8_t>(byTable[0]);
    if (nListed < 1) return;
    // The table has room for 4 entries: a larger count cannot be true, so read only what fits.
    const int nCount = std::min(nListed, static_cast<int>(c_nOrEyeListMaxEntries));

    bool bTestCopyAdded = false;
    for (int i = 0; i < nCount; ++i) {
        const uint8_t* pEntry = byTable + c_nListHeaderBytes + i * c_nOrEyeListEntryBytes;
        const int nNumber = static_cast<int8_t>(pEntry[c_nEntryNumber]);
        char szConnect[c_nEntryConnectBytes + 1];
        std::memcpy(szConnect, pEntry + c_nEntryConnect, c_nEntryConnectBytes);
        szConnect[c_nEntryConnectBytes] = '\0';

        SKxNLEyeDeviceInfoEx info;
        NewRecord(info);
        info.sVideoRes.nFrameWidth = ReadU32(pEntry + c_nEntryWidth);
        info.sVideoRes.nFrameHeight = ReadU32(pEntry + c_nEntryHeight);
        SetText(info.szConnectText, szConnect);
        // The product text shows the connect text: it is what names this camera to the camera
        // library and stays the same from one search to the next.
        SetText(info.szProductInfo, szConnect);
        const int32_t nKind = static_cast<int32_t>(ReadU32(pEntry + c_nEntryKind));
        if (nKind == c_nKindLaser) {
            info.nDeviceFlags = c_nFlagsLocalLaser;
            info.eDeviceType = KX_DEVICE_TYPE_LASER_EYE;
            std::snprintf(info.szDeviceName, sizeof(info.szDeviceName), "OrvikEye-Laser-%d", nNumber);
        } else if (nKind == c_nKindSmart) {
            info.nDeviceFlags = c_nFlagsLocalSmart;
            info.eDeviceType = KX_DEVICE_TYPE_SMART_EYE;
            std::snprintf(info.szDeviceName, sizeof(info.szDeviceName), "OrvikEye-Smart-%d", nNumber);
        }
        info.sVideoRes.nVersion = ReadU32(pEntry + c_nEntryVersion) & 0xFFF;
        SetRanges(info);
        info.bDeviceInfoValid = 1;
        m_vecDeviceInfo.push_back(info);

        // The first laser eye of a listing is also offered under a fixed identifier, so that a
        // test setup can address it without a search.
        if (info.eDeviceType == KX_DEVICE_TYPE_LASER_EYE && !bTestCopyAdded) {
            SKxNLEyeDeviceInfoEx copy = info;
            SetText(copy.szDeviceID, c_szTestDeviceID);
            std::snprintf(copy.szDeviceName, sizeof(copy.szDeviceName), "OrvikEye-L[%d][Test]", nNumber);
            m_vecDeviceInfo.push_back(copy);
            bTestCopyAdded = true;
        }
    }
}

void CKxEyeDeviceEnumrator::SearchEthernet() {
    std::vector<SKxNLEthernetEyeConfigInfo> vecHits;
    std::list<SKxNetCardInfo> lstCards;
    int nUnlisted = 0;
    {
        CameraPtr pCamera(CreateOrEyeApi(OREYEAPI_TYPE_ETHERNET));
        if (!pCamera) return;

        char szVersion[129];
        std::memset(szVersion, 0, sizeof(szVersion));
        pCamera->GetVersionText(szVersion, 128);  // the last byte stays the terminator
        KxLogUtils::PrintLog(c_nKxLogState, "Version %s", szVersion);

        if (!KxNetworkUtils::GetNetCardInfo(lstCards)) {
            KxLogUtils::PrintLog(c_nKxLogError, "Not Found Network Card");
            return;
        }

        uint8_t byResult[c_nOrEyeSearchBytes];
        if (KxGlobalSetting::GetSetting()->bySearchPerCard == 1) {
            for (const SKxNetCardInfo& card : lstCards) {
                char szCardIP[16];
                KxNetworkUtils::IPToString(card.byIP, szCardIP);
                pCamera->SetLocalIP(szCardIP, static_cast<int>(sizeof(szCardIP)));
                const uint8_t byReversed[4] = {card.byIP[3], card.byIP[2], card.byIP[1], card.byIP[0]};
                std::memset(byResult, 0, sizeof(byResult));
                const int nRet = pCamera->Search(byReversed, card.byMAC, byResult);
                KxLogUtils::PrintLog(c_nKxLogState, "%d.%d.%d.%d SearchRet = %d", card.byIP[0], card.byIP[1],
                                     card.byIP[2], card.byIP[3], nRet);
                if (nRet == 0) CollectHits(byResult, &card, lstCards, vecHits, &nUnlisted);
            }
        } else {
            static const uint8_t c_byAll[4] = {255, 255, 255, 255};
            static const uint8_t c_byAllMAC[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
            std::memset(byResult, 0, sizeof(byResult));
            const int nRet = pCamera->Search(c_byAll, c_byAllMAC, byResult);
            KxLogUtils::PrintLog(c_nKxLogState, "nSearchRet = %d", nRet);
            if (nRet == 0) CollectHits(byResult, nullptr, lstCards, vecHits, &nUnlisted);
        }
    }
    if (nUnlisted > 0)
        KxLogUtils::PrintLog(c_nKxLogState, "%d answer(s) through cards not listed ignored", nUnlisted);

    // One hit per answer and card (a card with two addresses is searched twice card by card),
    // in card list order, then by MAC: the order of arrival decides nothing.
    std::vector<SKxNLEthernetEyeConfigInfo> vecUnique;
    for (const SKxNLEthernetEyeConfigInfo& hit : vecHits) {
        bool bSeen = false;
        for (const SKxNLEthernetEyeConfigInfo& kept : vecUnique) bSeen = bSeen || SameHit(kept, hit);
        if (!bSeen) vecUnique.push_back(hit);
    }
    std::stable_sort(vecUnique.begin(), vecUnique.end(),
                     [&](const SKxNLEthernetEyeConfigInfo& a, const SKxNLEthernetEyeConfigInfo& b) {
                         const size_t nA = CardRank(a.sNetCardInfo.nIndex, lstCards);
                         const size_t nB = CardRank(b.sNetCardInfo.nIndex, lstCards);
                         if (nA != nB) return nA < nB;
                         return std::memcmp(a.byEyeMAC, b.byEyeMAC, 6) < 0;
                     });

    // Records first (IDs in list order), then the cameras are read, a few at a time: each read
    // waits on one camera's answers, so reading them one after another would add up.
    const size_t nFirst = m_vecDeviceInfo.size();
    std::map<std::string, int> mapPerCard;  // answers of one MAC through one card in this search
    for (const SKxNLEthernetEyeConfigInfo& hit : vecUnique) AddEthernetRecord(hit, mapPerCard);
    const size_t nRecords = m_vecDeviceInfo.size() - nFirst;
    std::vector<CameraPtr> vecCameras;
    for (size_t i = 0; i < nRecords; ++i) vecCameras.emplace_back(CreateOrEyeApi(OREYEAPI_TYPE_ETHERNET));
    std::vector<int32_t> vecResults(nRecords, KX_E_NOT_FOUND);
    std::vector<SKxNLEyeDeviceInfoEx> vecRead(m_vecDeviceInfo.begin() + static_cast<std::ptrdiff_t>(nFirst),
                                              m_vecDeviceInfo.end());
    // The records of one camera (one MAC, through several cards) are read one after another: a
    // camera takes one host connection at a time.
    std::vector<std::vector<size_t>> vecGroups;
    {
        std::map<std::string, size_t> mapGroup;
        for (size_t i = 0; i < nRecords; ++i) {
            const auto it = mapGroup.emplace(FieldText(vecRead[i].szEyeMAC), vecGroups.size()).first;
            if (it->second == vecGroups.size()) vecGroups.emplace_back();
            vecGroups[it->second].push_back(i);
        }
    }
    // A camera without identifier is read by its address: when another camera answered with that
    // address through the same card, either could answer the read, so neither is read (its record
    // keeps what the search answer tells); moving it to an address of its own settles it.
    for (size_t i = 0; i < nRecords; ++i) {
        if (HasDeviceID(vecRead[i].byDeviceID)) continue;
        for (size_t j = 0; j < nRecords; ++j) {
            if (j == i || vecRead[j].sNetCardInfo.nIndex != vecRead[i].sNetCardInfo.nIndex ||
                std::strncmp(vecRead[j].szEyeIP, vecRead[i].szEyeIP, sizeof(vecRead[i].szEyeIP)) != 0 ||
                std::strncmp(vecRead[j].szEyeMAC, vecRead[i].szEyeMAC, sizeof(vecRead[i].szEyeMAC)) == 0)
                continue;
            KxLogUtils::PrintLog(c_nKxLogState, "Camera %s (%s) shares its address with another camera: not read",
                                 FieldText(vecRead[i].szEyeIP).c_str(), FieldText(vecRead[i].szEyeMAC).c_str());
            vecResults[i] = c_nSharedAddress;
            vecCameras[i].reset();
            break;
        }
    }
    std::atomic<size_t> nNext{0};
    auto worker = [&]() {
        for (size_t g = nNext++; g < vecGroups.size(); g = nNext++)
            for (size_t i : vecGroups[g]) {
                if (vecCameras[i]) vecResults[i] = ReadEthernetCamera(vecCameras[i].get(), vecRead[i]);
                vecCameras[i].reset();  // lets go of the camera before its next record is read
            }
    };
    const size_t nThreads = std::min(vecGroups.size(), c_nReadsAtOnce);
    std::vector<std::thread> vecThreads;
    for (size_t t = 1; t < nThreads; ++t) {
        try {
            vecThreads.emplace_back(worker);
        } catch (const std::system_error&) {
            break;  // fewer threads: the reads still all run
        }
    }
    worker();
    for (std::thread& th : vecThreads) th.join();
    vecCameras.clear();  // every camera object goes before the search returns
    for (size_t i = 0; i < nRecords; ++i) FinishEthernetRecord(vecRead[i], vecResults[i], m_vecDeviceInfo[nFirst + i]);
}

const std::string& CKxEyeDeviceEnumrator::DeviceIDFor(const std::string& strMAC, const SKxNetCardInfo& card,
                                                      std::map<std::string, int>& mapPerCard) {
    // A camera's MAC keeps one ID, bound to the card of the camera's first record (the first in
    // card list order of the first search that found it). Its records through other cards, and
    // any further answer for the same MAC through one card, get IDs of their own, kept by MAC,
    // card and rank. So a record keeps its ID whichever card answered first or was down.
    char szCard[32];
    std::snprintf(szCard, sizeof(szCard), "@%u", card.nIndex);
    const std::string strCardKey = strMAC + szCard;
    const int nRank = mapPerCard[strCardKey]++;
    auto itOwner = m_mapIDCard.find(strMAC);
    if (itOwner == m_mapIDCard.end()) itOwner = m_mapIDCard.emplace(strMAC, card.nIndex).first;
    const bool bPrimary = nRank == 0 && itOwner->second == card.nIndex;
    std::string strKey = strMAC;
    if (!bPrimary) {
        strKey = strCardKey;
        if (nRank > 0) {
            char szRank[16];
            std::snprintf(szRank, sizeof(szRank), "#%d", nRank + 1);
            strKey += szRank;
        }
    }
    std::map<std::string, std::string>& map = bPrimary ? m_mapDeviceID : m_mapCardDeviceID;
    auto it = map.find(strKey);
    if (it == map.end()) {
        char szID[64];
        std::memset(szID, 0, sizeof(szID));
        KxStringUtils::CreateGUID(szID);
        it = map.emplace(strKey, std::string(szID, strnlen(szID, sizeof(szID)))).first;
    }
    return it->second;
}

void CKxEyeDeviceEnumrator::AddEthernetRecord(const SKxNLEthernetEyeConfigInfo& hit,
                                              std::map<std::string, int>& mapPerCard) {
    SKxNLEyeDeviceInfoEx info;
    std::memset(&info, 0, sizeof(info));
    KxNetworkUtils::IPToString(hit.byEyeIP, info.szEyeIP);
    std::memcpy(info.szIPAddress, info.szEyeIP, sizeof(info.szIPAddress));
    KxNetworkUtils::MACToString(hit.byEyeMAC, info.szEyeMAC);
    std::memcpy(info.szMACAddress, info.szEyeMAC, sizeof(info.szMACAddress));
    KxNetworkUtils::IPToString(hit.byDestIP, info.szDestIP);
    KxNetworkUtils::MACToString(hit.byDestMAC, info.szDestMAC);
    std::memcpy(info.byEyeInfo1, hit.byEyeInfo1, sizeof(info.byEyeInfo1));
    std::memcpy(info.byEyeInfo2, hit.byEyeInfo2, sizeof(info.byEyeInfo2));
    std::memcpy(info.byDeviceID, hit.byDeviceID, sizeof(info.byDeviceID));
    info.sNetCardInfo = hit.sNetCardInfo;
    info.nNetInfoValid = 1;
    // Without an identifier nothing on the wire tells this camera from another: the record
    // names it by its address.
    if (!HasDeviceID(info.byDeviceID)) std::memcpy(info.szConnectText, info.szEyeIP, sizeof(info.szEyeIP));

    const std::string strMAC = FieldText(info.szEyeMAC);
    SetText(info.szDeviceID, DeviceIDFor(strMAC, info.sNetCardInfo, mapPerCard).c_str());
    SetText(info.szDeviceName, "Unknown Device");
    m_vecDeviceInfo.push_back(info);
}

void CKxEyeDeviceEnumrator::FinishEthernetRecord(const SKxNLEyeDeviceInfoEx& read, int32_t nResult,
                                                 SKxNLEyeDeviceInfoEx& info) {
    if (nResult == KX_OK) {
        info = read;
        info.bDeviceInfoValid = 1;
        return;
    }
    info.bDeviceInfoValid = 0;
    // Listed as "Unknown Device" for reconfiguration.
    if (nResult != c_nHeldElsewhere && nResult != c_nSharedAddress) return;
    // Someone holds the camera (this process, most often): it answered the search, so it is the
    // camera it was; its record stays whole, from the last search's record of the same ID or
    // else from what the search answer tells (version and sensor size), with the Ethernet flag.
    for (const SKxNLEyeDeviceInfoEx& prev : m_vecPrevious) {
        if (std::strncmp(prev.szDeviceID, info.szDeviceID, sizeof(info.szDeviceID)) != 0 ||
            std::strncmp(prev.szEyeMAC, info.szEyeMAC, sizeof(info.szEyeMAC)) != 0 || prev.nDeviceFlags == 0)
            continue;
        info.eDeviceType = prev.eDeviceType;
        info.sVideoRes = prev.sVideoRes;
        info.nDeviceFlags = prev.nDeviceFlags;
        std::memcpy(info.szDeviceName, prev.szDeviceName, sizeof(info.szDeviceName));
        std::memcpy(info.szProductInfo, prev.szProductInfo, sizeof(info.szProductInfo));
        std::memcpy(info.szHWVersion, prev.szHWVersion, sizeof(info.szHWVersion));
        std::memcpy(info.szModuleTag, prev.szModuleTag, sizeof(info.szModuleTag));
        info.bDeviceInfoValid = prev.bDeviceInfoValid;
        return;
    }
    info.sVideoRes.nVersion = ReadU32(info.byEyeInfo1) & 0xFFFF;
    info.sVideoRes.nFrameWidth = static_cast<uint32_t>(info.byEyeInfo1[4] | (info.byEyeInfo1[5] << 8));
    info.sVideoRes.nFrameHeight = static_cast<uint32_t>(info.byEyeInfo1[6] | (info.byEyeInfo1[7] << 8));
    SetRanges(info);
    SetText(info.szModuleTag, c_szModuleTag);
    info.nDeviceFlags = c_nKxFlagEthernet;
}

int32_t CKxEyeDeviceEnumrator::ReadEthernetCamera(IOrEyeCamera* pCamera, SKxNLEyeDeviceInfoEx& info) {
    if (HasDeviceID(info.byDeviceID)) pCamera->SelectDevice(info.byDeviceID);
    // Through the record's own card: a camera seen through two cards is read through each.
    char szCardIP[16];
    KxNetworkUtils::IPToString(info.sNetCardInfo.byIP, szCardIP);
    pCamera->SetLocalIP(szCardIP, static_cast<int>(sizeof(szCardIP)));
    char szConnect[sizeof(info.szConnectText) + 1];
    std::memcpy(szConnect, info.szConnectText, sizeof(info.szConnectText));
    szConnect[sizeof(info.szConnectText)] = '\0';
    const int nInit = pCamera->InitDevice(1536, 2048, 0, 5, szConnect[0] != '\0' ? szConnect : nullptr);
    if (nInit != 0) {
        KxLogUtils::PrintLog(c_nKxLogState, "Init Device Return %d", nInit);
        return nInit == c_nOrEyeAccessDenied ? c_nHeldElsewhere : KX_E_NOT_FOUND;
    }
    // The camera writes 16 bytes that need not be terminated: the rest of the field stays zero.
    const int nRead = pCamera->ReadProduct(2, info.szProductInfo, 16);
    if (nRead != 0) {
        KxLogUtils::PrintLog(c_nKxLogState, "Read Product Return %d", nRead);
        return KX_E_NOT_FOUND;
    }
    uint8_t byLaserInfo[52];
    std::memset(byLaserInfo, 0, sizeof(byLaserInfo));
    if (pCamera->GetParam(54, byLaserInfo, static_cast<int>(sizeof(byLaserInfo))) != 0) {
        KxLogUtils::PrintLog(c_nKxLogError, "Get Laser Info Failed");
        return KX_E_NOT_FOUND;
    }
    info.eDeviceType = KxDeviceUtils::GetDeviceType(byLaserInfo);
    info.sVideoRes.nVersion = KxDeviceUtils::GetDeviceVersion(byLaserInfo);
    KxDeviceUtils::GetResolution(byLaserInfo, &info.sVideoRes);
    SetText(info.szModuleTag, c_szModuleTag);
    info.nDeviceFlags = KxDeviceUtils::IsLargeEye(byLaserInfo) ? c_nKxFlagLarge : c_nKxFlagStandard;
    if (info.eDeviceType == KX_DEVICE_TYPE_LASER_EYE) {
        info.nDeviceFlags |= c_nFlagsEthLaser;
        SetText(info.szDeviceName, "OrvikEye-Laser-Eth");
    } else if (info.eDeviceType == KX_DEVICE_TYPE_SMART_EYE) {
        info.nDeviceFlags |= c_nFlagsEthSmart;
        SetText(info.szDeviceName, "OrvikEye-Smart-Eth");
    }
    KxDeviceUtils::GetHardwareVersion(byLaserInfo, info.szHWVersion, sizeof(info.szHWVersion));
    SetRanges(info);
    return KX_OK;
}

void CKxEyeDeviceEnumrator::SearchSmallSmartEye() {
    CameraPtr pCamera(CreateOrEyeApi(OREYEAPI_TYPE_SMALL_SMART_EYE));
    if (!pCamera) return;
    if (pCamera->InitDevice(960, 1280, 2, 0, nullptr) != 0) return;

    SKxNLEyeDeviceInfoEx info;
    NewRecord(info);
    info.eDeviceType = KX_DEVICE_TYPE_SMART_EYE;
    info.sVideoRes.nVersion = 0;
    info.sVideoRes.nFrameWidth = 960;
    info.sVideoRes.nFrameHeight = 1280;
    info.nDeviceFlags = c_nFlagsSmallSmartEye;
    SetText(info.szDeviceName, "OrvikEye-Small-Smart-Eth");

    // The camera writes 16 bytes that need not be terminated: read into a zeroed field so that
    // no tail of an earlier text is left behind them.
    char szProduct[17];
    std::memset(szProduct, 0, sizeof(szProduct));
    if (pCamera->ReadProduct(2, szProduct, 16) != 0) return;
    SetText(info.szProductInfo, szProduct);
    info.sVideoRes.nFrameCounterRange = 2147483647;
    info.sVideoRes.nTimeStampRange = 2147483647;
    info.bDeviceInfoValid = 1;
    m_vecDeviceInfo.push_back(info);
}

int32_t CKxEyeDeviceEnumrator::GetDeviceInfo(SKxNLEyeDeviceInfoEx* pInfos, int32_t nCount) {
    const int32_t nSize = static_cast<int32_t>(m_vecDeviceInfo.size());
    if (pInfos != nullptr && nCount > 0 && nSize > 0) {
        const int32_t nCopy = std::min(nCount, nSize);
        std::memcpy(pInfos, m_vecDeviceInfo.data(), static_cast<size_t>(nCopy) * sizeof(SKxNLEyeDeviceInfoEx));
    }
    return nSize;
}

void CKxEyeDeviceEnumrator::GetDeviceInfoList(std::vector<SKxNLEyeDeviceInfoEx>& vecInfos) {
    vecInfos = m_vecDeviceInfo;
}

SKxNLEyeDeviceInfoEx* CKxEyeDeviceEnumrator::FindByID(const char* pszDeviceID) {
    if (pszDeviceID == nullptr) return nullptr;
    for (SKxNLEyeDeviceInfoEx& info : m_vecDeviceInfo) {
        // Exact, case-sensitive; the record's field need not be terminated within its width.
        const size_t nLen = strnlen(info.szDeviceID, sizeof(info.szDeviceID));
        if (std::strlen(pszDeviceID) == nLen && std::memcmp(info.szDeviceID, pszDeviceID, nLen) == 0) return &info;
    }
    return nullptr;
}

int32_t CKxEyeDeviceEnumrator::GetDeviceInfoByID(const char* pszDeviceID, SKxNLEyeDeviceInfoEx* pInfo) {
    const SKxNLEyeDeviceInfoEx* pFound = FindByID(pszDeviceID);
    if (pFound == nullptr) return KX_E_NOT_FOUND;
    if (pInfo == nullptr) return KX_E_NULL_ARGUMENT;
    std::memcpy(pInfo, pFound, sizeof(SKxNLEyeDeviceInfoEx));
    return KX_OK;
}

int32_t CKxEyeDeviceEnumrator::UpdateDeviceIP(const char* pszDeviceID, const uint8_t* pbyIP4) {
    SKxNLEyeDeviceInfoEx* pFound = FindByID(pszDeviceID);
    if (pFound == nullptr) return KX_E_NOT_FOUND;
    if (pbyIP4 == nullptr) return KX_E_NULL_ARGUMENT;
    std::snprintf(pFound->szIPAddress, sizeof(pFound->szIPAddress), "%d.%d.%d.%d", pbyIP4[0], pbyIP4[1],
                  pbyIP4[2], pbyIP4[3]);
    std::memcpy(pFound->szEyeIP, pFound->szIPAddress, sizeof(pFound->szEyeIP));
    return KX_OK;
}

bool CKxEyeDeviceEnumrator::IsDeviceOnline(const SKxNLEyeDeviceInfoEx* pInfo) {
    if (pInfo == nullptr) return false;
    CameraPtr pCamera(CreateOrEyeApi(OREYEAPI_TYPE_ETHERNET));
    if (!pCamera) return false;

    // Always through the record's own card, whatever the search setting. A record without a
    // card (not from a search) is not searched for: nothing is sent to 0.0.0.0.
    const SKxNetCardInfo& card = pInfo->sNetCardInfo;
    static const uint8_t c_byZero[4] = {0, 0, 0, 0};
    if (card.nIndex == 0 || std::memcmp(card.byIP, c_byZero, 4) == 0) return false;
    char szCardIP[16];
    KxNetworkUtils::IPToString(card.byIP, szCardIP);
    pCamera->SetLocalIP(szCardIP, static_cast<int>(sizeof(szCardIP)));
    const uint8_t byReversed[4] = {card.byIP[3], card.byIP[2], card.byIP[1], card.byIP[0]};
    uint8_t byResult[c_nOrEyeSearchBytes];
    std::memset(byResult, 0, sizeof(byResult));
    if (pCamera->Search(byReversed, card.byMAC, byResult) != 0) return false;

    std::vector<SKxNLEthernetEyeConfigInfo> vecHits;
    CollectHits(byResult, &card, std::list<SKxNetCardInfo>(), vecHits, nullptr);
    const std::string strIP = FieldText(pInfo->szEyeIP);
    const std::string strMAC = FieldText(pInfo->szEyeMAC);
    for (const SKxNLEthernetEyeConfigInfo& hit : vecHits) {
        char szIP[16], szMAC[18];
        KxNetworkUtils::IPToString(hit.byEyeIP, szIP);
        KxNetworkUtils::MACToString(hit.byEyeMAC, szMAC);
        if (strIP == szIP && strMAC == szMAC && std::memcmp(hit.byDeviceID, pInfo->byDeviceID, 8) == 0) return true;
    }
    return false;
}

bool CKxEyeDeviceEnumrator::Reserved9() { return false; }

extern "C" KXLE_API bool KxCreateLaserEyeDeviceEnumrator(IKxEyeDeviceEnumrator** ppEnumrator) {
    if (ppEnumrator == nullptr) return false;
    *ppEnumrator = new (std::nothrow) CKxEyeDeviceEnumrator();
    return *ppEnumrator != nullptr;
}
