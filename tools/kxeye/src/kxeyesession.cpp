#include "kxeyesession.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "kxeyecodes.h"
#include "oreyeapi.h"

namespace {
const char* const c_pszTestCopyID = "{33799CCD-4B94-4344-A347-D8B0BEE3FE1C}";

std::string Upper(const std::string& str) {
    std::string strOut;
    for (char c : str) strOut += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return strOut;
}
}  // namespace

std::string KxEyeFieldText(const char* pszField, size_t nSize) {
    // Records cross a library boundary: never trust a terminator to be there.
    const void* pEnd = std::memchr(pszField, 0, nSize);
    const size_t nLength = pEnd ? static_cast<size_t>(static_cast<const char*>(pEnd) - pszField) : nSize;
    return std::string(pszField, nLength);
}

int32_t KxEyeSearchFlags(EKxEyeSource eSource) {
    switch (eSource) {
        case EKxEyeSource::Local: return c_nKxSearchLocal;
        case EKxEyeSource::Ethernet: return c_nKxSearchEthernet;
        case EKxEyeSource::All: return c_nKxSearchLocal | c_nKxSearchEthernet;
    }
    return c_nKxSearchLocal;
}

bool KxEyeIsEthernet(const SKxNLEyeDeviceInfoEx& info) {
    return (info.nDeviceFlags & 0x2) != 0 || (info.nNetInfoValid != 0 && !KxEyeFieldText(info.szMACAddress).empty());
}

bool KxEyeIsVirtual(const SKxNLEyeDeviceInfoEx& info) { return !KxEyeIsEthernet(info); }

bool KxEyeNamesNetworkCamera(const std::string& strCamera) {
    // Four dotted numbers, or six pairs of hex digits with ':' or '-' between.
    int nDots = 0;
    bool bDigits = !strCamera.empty();
    for (char c : strCamera) {
        if (c == '.') ++nDots;
        else if (!std::isdigit(static_cast<unsigned char>(c))) bDigits = false;
    }
    if (bDigits && nDots == 3) return true;
    if (strCamera.size() != 17) return false;
    for (size_t i = 0; i < strCamera.size(); ++i) {
        const char c = strCamera[i];
        if (i % 3 == 2 ? (c != ':' && c != '-') : !std::isxdigit(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

CKxEyeQuietCameraLibrary::CKxEyeQuietCameraLibrary()
    : m_nSaved(static_cast<int>(Orvik::utilSystem::Logger::getLogLevel())) {
    if (m_nSaved == Orvik::utilSystem::LogLevel_Warning) {
        Orvik::utilSystem::Logger::setLogLevel(Orvik::utilSystem::LogLevel_Error);
        m_bChanged = true;
    }
}

CKxEyeQuietCameraLibrary::~CKxEyeQuietCameraLibrary() {
    if (m_bChanged) Orvik::utilSystem::Logger::setLogLevel(static_cast<Orvik::utilSystem::LogLevel>(m_nSaved));
}

bool KxEyeSearch(EKxEyeSource eSource, std::vector<SKxNLEyeDeviceInfoEx>& vecInfos) {
    vecInfos.clear();
    CKxEyeQuietCameraLibrary quiet;
    CKxEyeRef<IKxEyeDeviceEnumrator> pEnum;
    if (!KxCreateLaserEyeDeviceEnumrator(pEnum.Out()) || !pEnum) {
        std::cerr << "kxeye: could not create a device enumerator\n";
        return false;
    }
    pEnum->SearchDevice(KxEyeSearchFlags(eSource));
    pEnum->GetDeviceInfoList(vecInfos);
    return true;
}

static std::string NormalisedID(const std::string& str) {
    std::string strOut;
    for (char c : str) {
        if (c == '{' || c == '}') continue;
        strOut += c;
    }
    return Upper(strOut);
}

std::string KxEyeWireID(const SKxNLEyeDeviceInfoEx& info) {
    std::string str;
    char sz[3];
    for (uint8_t by : info.byDeviceID) {
        std::snprintf(sz, sizeof(sz), "%02x", by);
        str += sz;
    }
    return str;
}

bool KxEyeIsTestCopy(const SKxNLEyeDeviceInfoEx& info) { return KxEyeFieldText(info.szDeviceID) == c_pszTestCopyID; }

int KxEyeTestCopyOf(const std::vector<SKxNLEyeDeviceInfoEx>& vecInfos, size_t nIndex) {
    if (nIndex >= vecInfos.size() || !KxEyeIsTestCopy(vecInfos[nIndex])) return -1;
    const std::string strConnect = KxEyeFieldText(vecInfos[nIndex].szConnectText);
    for (size_t i = 0; i < vecInfos.size(); ++i) {
        if (i != nIndex && !KxEyeIsTestCopy(vecInfos[i]) && KxEyeFieldText(vecInfos[i].szConnectText) == strConnect)
            return static_cast<int>(i);
    }
    return -1;
}

SKxEyeIdentity KxEyeReadIdentity(const SKxNLEyeDeviceInfoEx& info) {
    SKxEyeIdentity id;
    if (!info.bDeviceInfoValid || info.eDeviceType != KX_DEVICE_TYPE_LASER_EYE) return id;
    CKxEyeQuietCameraLibrary quiet;
    CKxEyeRef<IKxLaserEyeDevice> pDevice;
    if (!KxCreateLaserEyeDevice(&info, nullptr, nullptr, pDevice.Out()) || !pDevice) return id;
    pDevice->Open(0);  // a failed read of the stored parameter block still leaves it usable
    if (pDevice->IsOpen() && pDevice->GetCoreEye()) {
        char szSerial[9] = {};
        char szID[17] = {};
        IOrEyeCamera* pCamera = pDevice->GetCoreEye();
        const bool bSerial = pCamera->ReadProduct(4, szSerial, 8) == 0;
        const bool bID = pCamera->ReadProduct(2, szID, 16) == 0;
        if (bSerial) id.strSerial = KxEyeFieldText(szSerial, 8);
        if (bID) id.strStoredID = KxEyeFieldText(szID, 16);
        id.bRead = bSerial || bID;
    }
    pDevice->Close();
    return id;
}

int KxEyeSelectByIdentity(const std::vector<SKxNLEyeDeviceInfoEx>& vecInfos, const std::string& strCamera,
                          SKxEyeIdentity* pIdentity) {
    const std::string strWanted = Upper(strCamera);
    int nCopy = -1;
    for (size_t i = 0; i < vecInfos.size(); ++i) {
        if (KxEyeIsTestCopy(vecInfos[i]) && KxEyeTestCopyOf(vecInfos, i) >= 0) {
            if (nCopy < 0) nCopy = static_cast<int>(i);
            continue;  // the same camera as its original: read once, below
        }
        const SKxEyeIdentity id = KxEyeReadIdentity(vecInfos[i]);
        if (!id.bRead) continue;
        if ((!id.strSerial.empty() && Upper(id.strSerial) == strWanted) ||
            (!id.strStoredID.empty() && Upper(id.strStoredID) == strWanted)) {
            if (pIdentity) *pIdentity = id;
            return static_cast<int>(i);
        }
    }
    if (nCopy >= 0) {
        const SKxEyeIdentity id = KxEyeReadIdentity(vecInfos[static_cast<size_t>(nCopy)]);
        if (id.bRead && (Upper(id.strSerial) == strWanted || Upper(id.strStoredID) == strWanted)) {
            if (pIdentity) *pIdentity = id;
            return nCopy;
        }
    }
    return -1;
}

int KxEyeSelect(const std::vector<SKxNLEyeDeviceInfoEx>& vecInfos, const std::string& strCamera) {
    if (strCamera.empty()) return -1;
    const bool bDigits = std::all_of(strCamera.begin(), strCamera.end(),
                                     [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
    if (bDigits && strCamera.size() <= 6) {
        const size_t nIndex = std::stoul(strCamera);
        return nIndex < vecInfos.size() ? static_cast<int>(nIndex) : -1;
    }
    const std::string strID = NormalisedID(strCamera);
    for (size_t i = 0; i < vecInfos.size(); ++i) {
        const std::string strRecordID = KxEyeFieldText(vecInfos[i].szDeviceID);
        if (!strRecordID.empty() && NormalisedID(strRecordID) == strID) return static_cast<int>(i);
    }
    for (size_t i = 0; i < vecInfos.size(); ++i) {
        const std::string strIP = KxEyeFieldText(vecInfos[i].szIPAddress);
        if (!strIP.empty() && strIP == strCamera) return static_cast<int>(i);
    }
    // The MAC stays with an Ethernet camera from run to run (either case, ':' or '-').
    std::string strMAC;
    for (char c : strCamera) strMAC += c == '-' ? ':' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (size_t i = 0; i < vecInfos.size(); ++i) {
        const std::string strRecordMAC = KxEyeFieldText(vecInfos[i].szMACAddress);
        if (strMAC.size() == 17 && strRecordMAC == strMAC) return static_cast<int>(i);
    }
    // The identifier an Ethernet camera answers the search with, as 16 hex digits (probe's wireId).
    if (strCamera.size() == 16) {
        for (size_t i = 0; i < vecInfos.size(); ++i) {
            if (!KxEyeIsEthernet(vecInfos[i])) continue;
            if (Upper(KxEyeWireID(vecInfos[i])) == Upper(strCamera)) return static_cast<int>(i);
        }
    }
    // The connect text names a local camera the same way in every run ("virtual:1").
    for (size_t i = 0; i < vecInfos.size(); ++i) {
        const std::string strConnect = KxEyeFieldText(vecInfos[i].szConnectText);
        if (!strConnect.empty() && strConnect == strCamera && !KxEyeIsTestCopy(vecInfos[i])) return static_cast<int>(i);
    }
    return -1;
}

CKxEyeSession::~CKxEyeSession() { Close(); }

void CKxEyeSession::Close() {
    if (m_pDevice) {
        if (m_pDevice->IsCapturing()) m_pDevice->StopCapture();
        m_pDevice->Close();
    }
    // The device holds references on the pools: release it first.
    m_pDevice.Reset();
    m_pSurfacePool.Reset();
    m_pMemPool.Reset();
}

bool CKxEyeSession::Fail(int32_t nCode, const std::string& strText) {
    m_nFailureCode = nCode;
    m_strFailure = strText;
    std::cerr << "kxeye: " << strText << "\n";
    return false;
}

bool CKxEyeSession::Open(EKxEyeSource eSource, const std::string& strCamera) {
    std::vector<SKxNLEyeDeviceInfoEx> vecInfos;
    if (!KxEyeSearch(eSource, vecInfos)) return Fail(KX_E_NO_CAMERA, "could not create a device enumerator");
    int nIndex = KxEyeSelect(vecInfos, strCamera);
    if (nIndex < 0) nIndex = KxEyeSelectByIdentity(vecInfos, strCamera, &m_sIdentity);
    if (nIndex < 0) {
        // Only what was searched was looked at: say so when that left Ethernet out.
        const std::string strWhere = eSource == EKxEyeSource::Local
                                         ? " on the local path, which holds the virtual cameras only (--source "
                                           "ethernet or all searches the network)"
                                         : "";
        return Fail(KX_E_NOT_FOUND, "no camera \"" + strCamera + "\" among " + std::to_string(vecInfos.size()) +
                                        " found" + strWhere +
                                        "; give an index, a serial number, a device ID, a connect text, an IP address "
                                        "or a MAC (see kxeye list)");
    }
    m_nIndex = nIndex;
    m_sInfo = vecInfos[static_cast<size_t>(nIndex)];
    if (!m_sInfo.bDeviceInfoValid) {
        std::string strText = "camera " + std::to_string(nIndex) + " could not be read during the search";
        if (KxEyeIsEthernet(m_sInfo))
            strText += ": " + KxEyeFieldText(m_sInfo.szIPAddress) + " (" + KxEyeFieldText(m_sInfo.szMACAddress) +
                       ") answered but did not let itself be opened (another program holds it, a run that ended "
                       "just now still does, or the host cannot reach it on its card's subnet); kxeye doctor " +
                       KxEyeFieldText(m_sInfo.szMACAddress) +
                       " tells which; set-ip, bind-host, reset-dest, online and probe still take it";
        return Fail(KX_E_NOT_FOUND, strText);
    }
    if (!KxKernel::KxCreateMemPool(m_pMemPool.Out()) ||
        !KxKernel::KxCreateSurfacePool(m_pSurfacePool.Out()))
        return Fail(KX_E_NO_CAMERA, "could not create the memory pools");
    if (!KxCreateLaserEyeDevice(&m_sInfo, m_pSurfacePool.Get(), m_pMemPool.Get(), m_pDevice.Out()) ||
        !m_pDevice)
        return Fail(KX_E_NO_CAMERA, "could not create the device");
    const int32_t nOpen = m_pDevice->Open(0);
    if (nOpen != KX_OK) {
        // Open reports a failed read of the device's stored parameter block although the camera
        // works; go on when the camera answered its laser information, else give up.
        int32_t nThres = 0;
        const bool bCameraCode = nOpen <= -10000 && nOpen > -11000;
        const bool bUsable = bCameraCode && m_pDevice->IsOpen() && m_pDevice->GetLaserThres(&nThres) == KX_OK;
        if (!bUsable) {
            Close();
            return Fail(nOpen, "open failed: " + KxEyeFormatCode(nOpen));
        }
        std::cerr << "kxeye: warning: open answered " << KxEyeFormatCode(nOpen)
                  << "; the camera answers, going on\n";
    }
    if (!m_sIdentity.bRead && m_pDevice->GetCoreEye()) {
        char szSerial[9] = {};
        char szID[17] = {};
        IOrEyeCamera* pCamera = m_pDevice->GetCoreEye();
        if (pCamera->ReadProduct(4, szSerial, 8) == 0) m_sIdentity.strSerial = KxEyeFieldText(szSerial, 8);
        if (pCamera->ReadProduct(2, szID, 16) == 0) m_sIdentity.strStoredID = KxEyeFieldText(szID, 16);
        m_sIdentity.bRead = true;
    }
    return true;
}
