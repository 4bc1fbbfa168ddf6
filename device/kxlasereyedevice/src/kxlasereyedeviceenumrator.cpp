// Device enumerator: local listing, small smart eye probe and the record list.
#include "kxlasereyedeviceenumrator.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "kxkernel.h"
#include "kxlasereyeinnerutils.h"
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
    // The Ethernet search arrives with the network work; until then it lists nothing.
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

bool CKxEyeDeviceEnumrator::IsDeviceOnline(const SKxNLEyeDeviceInfoEx*) {
    // Answered by the Ethernet search, which is not there yet.
    return false;
}

bool CKxEyeDeviceEnumrator::Reserved9() { return false; }

extern "C" KXLE_API bool KxCreateLaserEyeDeviceEnumrator(IKxEyeDeviceEnumrator** ppEnumrator) {
    if (ppEnumrator == nullptr) return false;
    *ppEnumrator = new (std::nothrow) CKxEyeDeviceEnumrator();
    return *ppEnumrator != nullptr;
}
