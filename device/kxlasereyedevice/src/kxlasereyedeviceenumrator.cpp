// Device enumerator: local listing, small smart eye probe and the record list.
#include "kxlasereyedeviceenumrator.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <list>
#include <memory>
#include <new>
#include <set>

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

// Appends the hits of one search result buffer. The buffer has room for 8 entries: a count
// outside 0..8 cannot be true, so only what fits is read.
void CollectHits(const uint8_t* pResult, const SKxNetCardInfo* pCard, const std::list<SKxNetCardInfo>& lstCards,
                 std::vector<SKxNLEthernetEyeConfigInfo>& vecHits) {
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
        if (pCard != nullptr) {
            hit.sNetCardInfo = *pCard;
        } else {
            // Broadcast form: the card the answer came through, the last listed one of that
            // index; none listed leaves the card zeroed.
            const uint32_t nIfIndex = ReadU32(pEntry + c_nHitIfIndex);
            for (const SKxNetCardInfo& card : lstCards)
                if (card.nIndex == nIfIndex) hit.sNetCardInfo = card;
        }
        vecHits.push_back(hit);
    }
}

void NewRecord(SKxNLEyeDeviceInfoEx& info) {
    std::memset(&info, 0, sizeof(info));
    KxStringUtils::CreateGUID(info.szDeviceID);
    SetText(info.szModuleTag, c_szModuleTag);
}

}  // namespace

int32_t CKxEyeDeviceEnumrator::SearchDevice(int32_t nSearchFlags) {
    m_vecDeviceInfo.clear();
    if (nSearchFlags & c_nKxSearchLocal) SearchLocal();
    if (nSearchFlags & c_nKxSearchEthernet) SearchEthernet();
    if (nSearchFlags & c_nKxSearchSmallSmartEye) SearchSmallSmartEye();
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
    {
        CameraPtr pCamera(CreateOrEyeApi(OREYEAPI_TYPE_ETHERNET));
        if (!pCamera) return;

        char szVersion[129];
        std::memset(szVersion, 0, sizeof(szVersion));
        pCamera->GetVersionText(szVersion, 128);  // the last byte stays the terminator
        KxLogUtils::PrintLog(c_nKxLogState, "Version %s", szVersion);

        std::list<SKxNetCardInfo> lstCards;
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
                if (nRet == 0) CollectHits(byResult, &card, lstCards, vecHits);
            }
        } else {
            static const uint8_t c_byAll[4] = {255, 255, 255, 255};
            static const uint8_t c_byAllMAC[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
            std::memset(byResult, 0, sizeof(byResult));
            const int nRet = pCamera->Search(c_byAll, c_byAllMAC, byResult);
            KxLogUtils::PrintLog(c_nKxLogState, "nSearchRet = %d", nRet);
            if (nRet == 0) CollectHits(byResult, nullptr, lstCards, vecHits);
        }
    }

    std::set<std::string> setListedMAC;
    for (const SKxNLEthernetEyeConfigInfo& hit : vecHits) AddEthernetRecord(hit, setListedMAC);
}

const std::string& CKxEyeDeviceEnumrator::DeviceIDFor(const std::string& strMAC, const SKxNetCardInfo& card,
                                                      bool bFirstAnswer) {
    // The first answer of a camera in a search keeps the ID of its MAC. A further answer of the
    // same camera through another card gets an ID of its own, which it keeps too (by MAC and
    // card), so that every record of a search keeps its ID in the next search.
    std::string strKey = strMAC;
    if (!bFirstAnswer) {
        char szCard[40];
        std::snprintf(szCard, sizeof(szCard), "@%u/%d.%d.%d.%d", card.nIndex, card.byIP[0], card.byIP[1],
                      card.byIP[2], card.byIP[3]);
        strKey += szCard;
    }
    std::map<std::string, std::string>& map = bFirstAnswer ? m_mapDeviceID : m_mapCardDeviceID;
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
                                              std::set<std::string>& setListedMAC) {
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

    const std::string strMAC = FieldText(info.szEyeMAC);
    const bool bFirstAnswer = setListedMAC.insert(strMAC).second;
    SetText(info.szDeviceID, DeviceIDFor(strMAC, info.sNetCardInfo, bFirstAnswer).c_str());
    SetText(info.szDeviceName, "Unknown Device");

    // Read the camera's product information; a camera that answered the search but cannot be
    // read is listed all the same, so that it can be reconfigured.
    int32_t nResult = KX_E_NOT_FOUND;
    CameraPtr pCamera(CreateOrEyeApi(OREYEAPI_TYPE_ETHERNET));
    if (pCamera) nResult = ReadEthernetCamera(pCamera.get(), info);
    info.bDeviceInfoValid = nResult == KX_OK ? 1 : 0;
    pCamera.reset();
    m_vecDeviceInfo.push_back(info);
}

int32_t CKxEyeDeviceEnumrator::ReadEthernetCamera(IOrEyeCamera* pCamera, SKxNLEyeDeviceInfoEx& info) {
    if (HasDeviceID(info.byDeviceID)) pCamera->SelectDevice(info.byDeviceID);
    const int nInit = pCamera->InitDevice(1536, 2048, 0, 5, info.szConnectText[0] != '\0' ? info.szConnectText : nullptr);
    if (nInit != 0) {
        KxLogUtils::PrintLog(c_nKxLogState, "Init Device Return %d", nInit);
        return KX_E_NOT_FOUND;
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

    // Always through the record's own card, whatever the search setting.
    const SKxNetCardInfo& card = pInfo->sNetCardInfo;
    char szCardIP[16];
    KxNetworkUtils::IPToString(card.byIP, szCardIP);
    pCamera->SetLocalIP(szCardIP, static_cast<int>(sizeof(szCardIP)));
    const uint8_t byReversed[4] = {card.byIP[3], card.byIP[2], card.byIP[1], card.byIP[0]};
    uint8_t byResult[c_nOrEyeSearchBytes];
    std::memset(byResult, 0, sizeof(byResult));
    if (pCamera->Search(byReversed, card.byMAC, byResult) != 0) return false;

    std::vector<SKxNLEthernetEyeConfigInfo> vecHits;
    CollectHits(byResult, &card, std::list<SKxNetCardInfo>(), vecHits);
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
