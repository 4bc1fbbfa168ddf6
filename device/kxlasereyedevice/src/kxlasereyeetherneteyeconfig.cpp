// Ethernet eye IP configuration: camera address, MAC and destination pair, for listed cameras
// and opened devices, with the host's ARP entry pinned after an address or MAC change.
#include "kxlasereyeetherneteyeconfig.h"

#include <cassert>
#include <cstring>
#include <list>
#include <memory>
#include <new>

#include "kxkernel.h"
#include "kxnetworkutils.h"
#include "oreyeapi.h"

namespace {

// Camera parameters of the network identity.
const int c_nParamEyeMAC = 2;
const int c_nParamDestMAC = 3;
const int c_nParamEyeIP = 4;    // last octet first
const int c_nParamDestIP = 5;   // last octet first

const uint32_t c_nFamilyMask = c_nKxFlagStandard | c_nKxFlagLarge;

const uint8_t c_byBroadcastIP[4] = {255, 255, 255, 255};
const uint8_t c_byBroadcastMAC[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

bool IsOtherFamily(const SKxNLEyeDeviceInfoEx& info) { return (info.nDeviceFlags & c_nFamilyMask) == c_nFamilyMask; }
bool IsEthernet(const SKxNLEyeDeviceInfoEx& info) { return (info.nDeviceFlags & c_nKxFlagEthernet) != 0; }

// Parses a record's text field (not trusted to be terminated within its width) into zeroed
// bytes; answers whether it parsed.
template <size_t N>
bool ParseIP(const char (&szField)[N], uint8_t* pbyIP) {
    char szText[N + 1];
    std::memcpy(szText, szField, N);
    szText[N] = '\0';
    std::memset(pbyIP, 0, 4);
    return KxNetworkUtils::StringToIP(szText, pbyIP);
}
template <size_t N>
bool ParseMAC(const char (&szField)[N], uint8_t* pbyMAC) {
    char szText[N + 1];
    std::memcpy(szText, szField, N);
    szText[N] = '\0';
    std::memset(pbyMAC, 0, 6);
    return KxNetworkUtils::StringToMAC(szText, pbyMAC);
}

struct CameraDeleter {
    void operator()(IOrEyeCamera* pCamera) const { delete pCamera; }
};
typedef std::unique_ptr<IOrEyeCamera, CameraDeleter> CameraPtr;

const uint8_t c_byNoID[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// Whether the record carries the card it was found through (a search fills it; a record made by
// hand or from another source may not). Without it nothing can be sent the right way, nor an
// ARP entry written: such records are refused with -80000 before anything is sent.
bool HasCard(const SKxNLEyeDeviceInfoEx& info) {
    static const uint8_t c_byZero[4] = {0, 0, 0, 0};
    return info.sNetCardInfo.nIndex != 0 && std::memcmp(info.sNetCardInfo.byIP, c_byZero, 4) != 0;
}

// A camera object for a listed camera, connected as the enumerator read it: through the record's
// card, by identifier when it has one, else by its address, which the host's ARP table is first
// pinned to the record's MAC for, so that of several cameras with one address (new cameras all
// come with the same) only this one gets the commands. The InitDevice result is not used: a
// camera that cannot be reached fails the parameter call that follows.
CameraPtr OpenForRecord(const SKxNLEyeDeviceInfoEx& info) {
    CameraPtr pCamera(CreateOrEyeApi(OREYEAPI_TYPE_ETHERNET));
    if (!pCamera) return pCamera;
    char szCardIP[16];
    KxNetworkUtils::IPToString(info.sNetCardInfo.byIP, szCardIP);
    pCamera->SetLocalIP(szCardIP, static_cast<int>(sizeof(szCardIP)));
    if (std::memcmp(info.byDeviceID, c_byNoID, sizeof(c_byNoID)) != 0) {
        pCamera->SelectDevice(info.byDeviceID);
        pCamera->InitDevice(1536, 2048, 0, 5, nullptr);
        return pCamera;
    }
    uint8_t byIP[4], byMAC[6];
    if (ParseIP(info.szEyeIP, byIP) && ParseMAC(info.szEyeMAC, byMAC) &&
        !KxNetworkUtils::BindArp(&info.sNetCardInfo, byIP, byMAC))
        KxLogUtils::PrintLog(c_nKxLogState, "ARP pin of the camera %s before the command failed", info.szEyeIP);
    char szConnect[sizeof(info.szEyeIP) + 1];
    std::memcpy(szConnect, info.szEyeIP, sizeof(info.szEyeIP));
    szConnect[sizeof(info.szEyeIP)] = '\0';
    pCamera->InitDevice(1536, 2048, 0, 5, szConnect);
    return pCamera;
}

bool InSubnet(const uint8_t* a, const uint8_t* b, const uint8_t* pbyMask) {
    for (int i = 0; i < 4; ++i)
        if ((a[i] & pbyMask[i]) != (b[i] & pbyMask[i])) return false;
    return true;
}

// Checks a new camera address before anything is sent (docs/ethernet-config.md has the table):
// 0, or -69991 for 0.0.0.0, loopback, multicast and reserved addresses, the card's network and
// broadcast addresses and an address of the host itself; -69990 for the card's gateway; -69992
// for a card mask whose first octet is 0.
int32_t CheckCameraAddress(const uint8_t* pbyIP, const SKxNetCardInfo& card) {
    static const uint8_t c_byZero[4] = {0, 0, 0, 0};
    if (std::memcmp(pbyIP, c_byZero, 4) == 0 || pbyIP[0] == 127 || pbyIP[0] >= 224) return KX_E_BAD_ADDRESS;
    if (std::memcmp(card.byMask, c_byZero, 4) != 0) {
        if (card.byMask[0] == 0) return KX_E_BAD_MASK;
        if (InSubnet(pbyIP, card.byIP, card.byMask)) {
            bool bNetwork = true, bBroadcast = true;
            for (int i = 0; i < 4; ++i) {
                bNetwork = bNetwork && (pbyIP[i] & static_cast<uint8_t>(~card.byMask[i])) == 0;
                bBroadcast = bBroadcast && (pbyIP[i] | card.byMask[i]) == 0xFF;
            }
            if (bNetwork || bBroadcast) return KX_E_BAD_ADDRESS;
        }
    }
    if (std::memcmp(card.byGateway, c_byZero, 4) != 0 && std::memcmp(pbyIP, card.byGateway, 4) == 0)
        return KX_E_BAD_GATEWAY;
    if (std::memcmp(pbyIP, card.byIP, 4) == 0) return KX_E_BAD_ADDRESS;
    std::list<SKxNetCardInfo> lstCards;
    KxNetworkUtils::GetNetCardInfo(lstCards);
    for (const SKxNetCardInfo& other : lstCards)
        if (std::memcmp(pbyIP, other.byIP, 4) == 0) return KX_E_BAD_ADDRESS;
    return KX_OK;
}

// A new camera MAC: not all zero, not a group (multicast or broadcast) address.
int32_t CheckCameraMAC(const uint8_t* pbyMAC) {
    static const uint8_t c_byZero[6] = {0, 0, 0, 0, 0, 0};
    if (std::memcmp(pbyMAC, c_byZero, 6) == 0 || (pbyMAC[0] & 0x01) != 0) return KX_E_BAD_ADDRESS;
    return KX_OK;
}

int32_t RefuseAddress(int32_t nCode, const uint8_t* pbyIP) {
    KxLogUtils::PrintLog(c_nKxLogError, "Refused camera address %d.%d.%d.%d: %d", pbyIP[0], pbyIP[1], pbyIP[2],
                         pbyIP[3], nCode);
    return nCode;
}

// Holds an opened device's lock for one operation and unlocks it on every path.
class CDeviceGuard {
public:
    explicit CDeviceGuard(IKxDevice* pDevice) : m_pDevice(pDevice) { m_pDevice->Lock(); }
    ~CDeviceGuard() { m_pDevice->Unlock(); }
    CDeviceGuard(const CDeviceGuard&) = delete;
    CDeviceGuard& operator=(const CDeviceGuard&) = delete;

private:
    IKxDevice* m_pDevice;
};

// The eye device behind an opened device and its record; null when the device is not an eye.
const SKxNLEyeDeviceInfoEx* EyeRecord(IKxDevice* pDevice, IKxEyeDevice** ppEyeDevice) {
    *ppEyeDevice = dynamic_cast<IKxEyeDevice*>(pDevice);
    return *ppEyeDevice == nullptr ? nullptr : (*ppEyeDevice)->GetDeviceInfo();
}

// The camera of an opened device; null (a caller's fault, caught in debug builds) when the
// device is not open.
IOrEyeCamera* OpenCamera(IKxEyeDevice* pEyeDevice) {
    IOrEyeCamera* pCamera = pEyeDevice->GetCoreEye();
    assert(pCamera != nullptr && "configuration of a device that is not open");
    return pCamera;
}

}  // namespace

CKxEthernetEyeConfig::CKxEthernetEyeConfig(IKxEthernetEyeConfig* pIDelegate) : m_pIDelegate(pIDelegate) {
    if (m_pIDelegate != nullptr) m_pIDelegate->AddRef();
}

CKxEthernetEyeConfig::~CKxEthernetEyeConfig() {
    if (m_pIDelegate != nullptr) m_pIDelegate->Release();
}

int32_t CKxEthernetEyeConfig::NotSupported() { return KX_E_NOT_SUPPORTED; }

// ---- listed cameras ---------------------------------------------------------------------------

int32_t CKxEthernetEyeConfig::SetIPAddress(const SKxNLEyeDeviceInfoEx* pInfo, const uint8_t* pbyIP,
                                           void* pReserved1, void* pReserved2) {
    if (pInfo == nullptr) return KX_E_NULL_ARGUMENT;
    if (IsOtherFamily(*pInfo)) {
        if (m_pIDelegate == nullptr) return KX_E_NOT_SUPPORTED;
        return m_pIDelegate->SetIPAddress(pInfo, pbyIP, pReserved1, pReserved2);
    }
    if (pbyIP == nullptr) return KX_E_NULL_ARGUMENT;
    uint8_t byCurrent[4];
    ParseIP(pInfo->szEyeIP, byCurrent);
    if (std::memcmp(byCurrent, pbyIP, 4) == 0) return KX_OK;
    if (!HasCard(*pInfo)) return KX_E_NOT_SUPPORTED;
    if (const int32_t nCheck = CheckCameraAddress(pbyIP, pInfo->sNetCardInfo)) return RefuseAddress(nCheck, pbyIP);
    CameraPtr pCamera = OpenForRecord(*pInfo);
    if (!pCamera) return KX_E_CONFIG_NO_CAMERA;
    return SetSourceIP(pCamera.get(), pbyIP, pInfo);
}

int32_t CKxEthernetEyeConfig::ExtendedConfig1(const SKxNLEyeDeviceInfoEx* pInfo, void* p1, void* p2, void* p3,
                                              void* p4) {
    if (pInfo == nullptr || !IsOtherFamily(*pInfo) || m_pIDelegate == nullptr) return KX_E_NOT_SUPPORTED;
    return m_pIDelegate->ExtendedConfig1(pInfo, p1, p2, p3, p4);
}

int32_t CKxEthernetEyeConfig::ExtendedConfig2(const SKxNLEyeDeviceInfoEx* pInfo, int32_t nValue) {
    if (pInfo == nullptr || !IsOtherFamily(*pInfo) || m_pIDelegate == nullptr) return KX_E_NOT_SUPPORTED;
    return m_pIDelegate->ExtendedConfig2(pInfo, nValue);
}

int32_t CKxEthernetEyeConfig::IsDelegateDevice(const SKxNLEyeDeviceInfoEx* pInfo) {
    return pInfo != nullptr && IsOtherFamily(*pInfo) ? KX_OK : KX_E_NOT_SUPPORTED;
}

int32_t CKxEthernetEyeConfig::ResetDestAddress(const SKxNLEyeDeviceInfoEx* pInfo) {
    if (pInfo == nullptr) return KX_E_NULL_ARGUMENT;
    if (IsOtherFamily(*pInfo)) {
        if (m_pIDelegate == nullptr) return KX_E_NOT_SUPPORTED;
        return m_pIDelegate->ResetDestAddress(pInfo);
    }
    if (!HasCard(*pInfo)) return KX_E_NOT_SUPPORTED;
    CameraPtr pCamera = OpenForRecord(*pInfo);
    if (!pCamera) return KX_E_CONFIG_NO_CAMERA;
    return SetDestAddress(pCamera.get(), c_byBroadcastIP, c_byBroadcastMAC);
}

int32_t CKxEthernetEyeConfig::BindHostAddress(const SKxNLEyeDeviceInfoEx* pInfo) {
    if (pInfo == nullptr) return KX_E_NULL_ARGUMENT;
    if (IsOtherFamily(*pInfo)) {
        if (m_pIDelegate == nullptr) return KX_E_NOT_SUPPORTED;
        return m_pIDelegate->BindHostAddress(pInfo);
    }
    if (!HasCard(*pInfo)) return KX_E_NOT_SUPPORTED;
    CameraPtr pCamera = OpenForRecord(*pInfo);
    if (!pCamera) return KX_E_CONFIG_NO_CAMERA;
    return SetDestAddress(pCamera.get(), pInfo->sNetCardInfo.byIP, pInfo->sNetCardInfo.byMAC);
}

// ---- opened devices ---------------------------------------------------------------------------
// Each holds the device's lock for its whole run; the starting result is -80000.

int32_t CKxEthernetEyeConfig::SetDeviceIPAddress(IKxDevice* pDevice, const uint8_t* pbyIP, void* pReserved1,
                                                 void* pReserved2) {
    if (pDevice == nullptr) return KX_E_NULL_ARGUMENT;
    CDeviceGuard guard(pDevice);
    IKxEyeDevice* pEyeDevice;
    const SKxNLEyeDeviceInfoEx* pInfo = EyeRecord(pDevice, &pEyeDevice);
    if (pInfo == nullptr || !IsEthernet(*pInfo)) return KX_E_NOT_SUPPORTED;
    if (IsOtherFamily(*pInfo)) {
        IKxDeviceEthConfig* pEthConfig = dynamic_cast<IKxDeviceEthConfig*>(pEyeDevice);
        if (pEthConfig == nullptr) return KX_E_NOT_SUPPORTED;
        return pEthConfig->SetIPAddress(pbyIP, pReserved1, pReserved2);
    }
    IOrEyeCamera* pCamera = OpenCamera(pEyeDevice);
    if (pCamera == nullptr) return KX_E_NOT_SUPPORTED;
    if (pbyIP == nullptr) return KX_E_NULL_ARGUMENT;
    uint8_t byCurrent[4];
    ParseIP(pInfo->szEyeIP, byCurrent);
    if (std::memcmp(byCurrent, pbyIP, 4) == 0) return KX_OK;
    if (!HasCard(*pInfo)) return KX_E_NOT_SUPPORTED;
    if (const int32_t nCheck = CheckCameraAddress(pbyIP, pInfo->sNetCardInfo)) return RefuseAddress(nCheck, pbyIP);
    return SetSourceIP(pCamera, pbyIP, pInfo);
}

int32_t CKxEthernetEyeConfig::SetDeviceMACAddress(IKxDevice* pDevice, const uint8_t* pbyMAC) {
    if (pDevice == nullptr) return KX_E_NULL_ARGUMENT;
    CDeviceGuard guard(pDevice);
    IKxEyeDevice* pEyeDevice;
    const SKxNLEyeDeviceInfoEx* pInfo = EyeRecord(pDevice, &pEyeDevice);
    if (pInfo == nullptr) return KX_E_NOT_SUPPORTED;
    if (!IsEthernet(*pInfo)) {
        if (m_pIDelegate == nullptr) return KX_E_NOT_SUPPORTED;
        return m_pIDelegate->SetDeviceMACAddress(pDevice, pbyMAC);
    }
    if (IsOtherFamily(*pInfo)) {
        IKxDeviceEthConfig* pEthConfig = dynamic_cast<IKxDeviceEthConfig*>(pEyeDevice);
        if (pEthConfig == nullptr) return KX_E_NOT_SUPPORTED;
        return pEthConfig->SetMACAddress(pbyMAC);
    }
    IOrEyeCamera* pCamera = OpenCamera(pEyeDevice);
    if (pCamera == nullptr) return KX_E_NOT_SUPPORTED;
    if (pbyMAC == nullptr) return KX_E_NULL_ARGUMENT;
    uint8_t byCurrent[6];
    ParseMAC(pInfo->szEyeMAC, byCurrent);
    if (std::memcmp(byCurrent, pbyMAC, 6) == 0) return KX_OK;
    if (!HasCard(*pInfo)) return KX_E_NOT_SUPPORTED;
    if (const int32_t nCheck = CheckCameraMAC(pbyMAC)) {
        KxLogUtils::PrintLog(c_nKxLogError, "Refused camera MAC: %d", nCheck);
        return nCheck;
    }
    return SetSourceMAC(pCamera, pbyMAC, pInfo);
}

int32_t CKxEthernetEyeConfig::ResetDeviceDestAddress(IKxDevice* pDevice) {
    if (pDevice == nullptr) return KX_E_NULL_ARGUMENT;
    CDeviceGuard guard(pDevice);
    IKxEyeDevice* pEyeDevice;
    const SKxNLEyeDeviceInfoEx* pInfo = EyeRecord(pDevice, &pEyeDevice);
    if (pInfo == nullptr || !IsEthernet(*pInfo)) return KX_E_NOT_SUPPORTED;
    if (IsOtherFamily(*pInfo)) {
        if (m_pIDelegate == nullptr) return KX_E_NOT_SUPPORTED;
        return m_pIDelegate->ResetDeviceDestAddress(pDevice);
    }
    IOrEyeCamera* pCamera = OpenCamera(pEyeDevice);
    if (pCamera == nullptr) return KX_E_NOT_SUPPORTED;
    return SetDestAddress(pCamera, c_byBroadcastIP, c_byBroadcastMAC);
}

int32_t CKxEthernetEyeConfig::BindDeviceHostAddress(IKxDevice* pDevice) {
    if (pDevice == nullptr) return KX_E_NULL_ARGUMENT;
    CDeviceGuard guard(pDevice);
    IKxEyeDevice* pEyeDevice;
    const SKxNLEyeDeviceInfoEx* pInfo = EyeRecord(pDevice, &pEyeDevice);
    if (pInfo == nullptr || !IsEthernet(*pInfo)) return KX_E_NOT_SUPPORTED;
    if (IsOtherFamily(*pInfo)) return KX_OK;  // the other family binds its host itself
    IOrEyeCamera* pCamera = OpenCamera(pEyeDevice);
    if (pCamera == nullptr) return KX_E_NOT_SUPPORTED;
    if (!HasCard(*pInfo)) return KX_E_NOT_SUPPORTED;  // never 0.0.0.0 / 00:00:00:00:00:00
    return SetDestAddress(pCamera, pInfo->sNetCardInfo.byIP, pInfo->sNetCardInfo.byMAC);
}

// ---- camera parameters ------------------------------------------------------------------------

int32_t CKxEthernetEyeConfig::SetSourceIP(IOrEyeCamera* pICoreEye, const uint8_t* pbyIP,
                                          const SKxNLEyeDeviceInfoEx* pInfo) {
    if (pICoreEye == nullptr || pbyIP == nullptr || pInfo == nullptr) return KX_E_NULL_ARGUMENT;
    const uint8_t byReversed[4] = {pbyIP[3], pbyIP[2], pbyIP[1], pbyIP[0]};
    int32_t nResult = pICoreEye->SetParam(c_nParamEyeIP, byReversed, 4);
    KxLogUtils::PrintLog(c_nKxLogDetail, "Set Source IP: %d", nResult);
    if (nResult == 0) {
        // A record without a readable MAC would pin the new address to 00:00:00:00:00:00 and
        // cut the host off the camera: no entry is written, and the caller learns it.
        uint8_t byMAC[6];
        if (!ParseMAC(pInfo->szEyeMAC, byMAC) || !KxNetworkUtils::BindArp(&pInfo->sNetCardInfo, pbyIP, byMAC))
            nResult = KX_E_ARP_WRITE;
    }
    return nResult;
}

int32_t CKxEthernetEyeConfig::SetSourceMAC(IOrEyeCamera* pICoreEye, const uint8_t* pbyMAC,
                                           const SKxNLEyeDeviceInfoEx* pInfo) {
    if (pICoreEye == nullptr || pbyMAC == nullptr || pInfo == nullptr) return KX_E_NULL_ARGUMENT;
    const int32_t nResult = pICoreEye->SetParam(c_nParamEyeMAC, pbyMAC, 6);
    KxLogUtils::PrintLog(c_nKxLogDetail, "Set Source MAC: %d", nResult);
    if (nResult == 0) {
        // Without a readable address there is nothing to pin (not 0.0.0.0).
        uint8_t byIP[4];
        if (!ParseIP(pInfo->szEyeIP, byIP) || !KxNetworkUtils::BindArp(&pInfo->sNetCardInfo, byIP, pbyMAC))
            KxLogUtils::PrintLog(c_nKxLogError, "ARP Bind Failed");
    }
    return nResult;
}

int32_t CKxEthernetEyeConfig::SetDestAddress(IOrEyeCamera* pICoreEye, const uint8_t* pbyIP, const uint8_t* pbyMAC) {
    if (pICoreEye == nullptr || pbyIP == nullptr || pbyMAC == nullptr) return KX_E_NULL_ARGUMENT;
    const uint8_t byReversed[4] = {pbyIP[3], pbyIP[2], pbyIP[1], pbyIP[0]};
    int32_t nResult = 0;
    for (int nAttempt = 0; nAttempt < 2; ++nAttempt) {
        nResult = 0;
        const int32_t nIPResult = pICoreEye->SetParam(c_nParamDestIP, byReversed, 4);
        KxLogUtils::PrintLog(c_nKxLogDetail, "DestIPRet: %d", nIPResult);
        const int32_t nMACResult = pICoreEye->SetParam(c_nParamDestMAC, pbyMAC, 6);
        KxLogUtils::PrintLog(c_nKxLogDetail, "DestMACRet: %d", nMACResult);
        if (nMACResult != 0) nResult = nMACResult;
        if (nIPResult != 0) nResult = nIPResult;  // the address result wins
        if (nResult != KX_E_CAMERA_RETRY) break;
    }
    return nResult;
}

extern "C" KXLE_API bool KxCreateLaserEyeEthernetEyeConfig(IKxEthernetEyeConfig* pIDelegate,
                                                           IKxEthernetEyeConfig** ppConfig) {
    if (ppConfig == nullptr) return false;
    *ppConfig = new (std::nothrow) CKxEthernetEyeConfig(pIDelegate);
    return *ppConfig != nullptr;
}
