// Stored data and identity: typed data items, the kernel data area, the custom storage area,
// custom commands, identity items and a few camera pass-through operations.
//
// Lock order: the process-wide data lock is always taken before the device mutex, so that data
// transfers of several devices never deadlock against each other or against parameter calls.
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "kxkernel.h"
#include "kxlasereyedevice.h"

namespace {

// Serialises storage and data transfers across all devices of the process. Plain (not
// recursive): no data operation calls another one while holding it.
std::mutex s_dataLock;

const uint32_t c_nTypeReferenceLine = 1;
const uint32_t c_nTypeDataBlock = 2;
const uint32_t c_nTypeKernelData = 3;
const uint32_t c_nTypeUnsupported = 4;

const int c_nParamReferenceLine = 53;
const int c_nParamDataBlock = 46;
const int c_nParamMAC = 2;  // the camera's own MAC (3 is the destination MAC)
const int c_nParam60 = 60;

const uint32_t c_nReferenceLineBytes = 108;
const uint32_t c_nDataBlockBytes = 262144;

const uint32_t c_nPageBytes = 4096;
const uint32_t c_nKernelAddress = 0x1000;
const uint32_t c_nKernelBytes = 0x40000;
const uint32_t c_nKernelPages = c_nKernelBytes / c_nPageBytes;
// End of the camera's storage map (the parameter page at 0x3FF000 is its last page).
const uint64_t c_nStorageEnd = 0x400000;

const int c_nProductDeviceID = 2;
const int c_nProductSerial = 4;
const uint32_t c_nDeviceIDBytes = 16;
const uint32_t c_nSerialBytes = 8;

// Storage and the kernel data area exist from hardware version 6 on.
bool HasStorage(const SKxNLEyeDeviceInfoEx& info) { return info.sVideoRes.nVersion > 5; }

// A storage range must lie inside the storage map; also rejects address wrap-around.
bool StorageRangeOK(uint32_t nAddress, uint32_t nLength) {
    return static_cast<uint64_t>(nAddress) + nLength <= c_nStorageEnd;
}

// Identity texts are sent as fixed-width fields: copy at most nWidth bytes up to the
// terminator and zero the rest, so a short text never makes us read past its end.
void CopyText(char* pDest, const char* pszSrc, size_t nWidth) {
    std::memset(pDest, 0, nWidth);
    std::memcpy(pDest, pszSrc, strnlen(pszSrc, nWidth));
}

// The camera object held for a whole transfer: a Close on another thread then only drops the
// device's reference, and the camera object goes when the transfer lets go of it.
using CHeldCamera = CKxHeldCamera;

}  // namespace

// Kernel data write (type 3); the caller holds the data lock and has run the validity check.
static int32_t WriteKernelData(CKxLaserEyeDevice& device, const uint8_t* pData, uint32_t nLength) {
    if (!HasStorage(device.m_sDevInfo)) return KX_E_NOT_SUPPORTED;
    if (pData == nullptr || nLength == 0 || nLength > c_nKernelBytes) return KX_E_BAD_LENGTH;

    // The device mutex is held across all pages so that no capture starts between them.
    std::lock_guard<std::recursive_mutex> deviceLock(device.m_mutex);
    if (device.CheckBusy(KX_DEVICE_OP("_SetKernelData")) != 0) return KX_E_BUSY;
    const CHeldCamera held(device);
    IOrEyeCamera* pCamera = held.Camera();
    if (pCamera == nullptr) return KX_E_NOT_OPEN;

    auto writePage = [&](const uint8_t* pPage, uint32_t nPage) {
        return device.Retry([&]() -> int32_t {
            return pCamera->WriteStorage(c_nKernelAddress + nPage * c_nPageBytes, pPage, c_nPageBytes);
        });
    };

    if (nLength % c_nPageBytes == 0) {
        const uint32_t nPages = nLength / c_nPageBytes;
        for (uint32_t k = 0; k < nPages; ++k) {
            KxLogUtils::PrintLog(c_nKxLogState, "Write Times %d/%d", static_cast<int>(k), static_cast<int>(nPages));
            const int32_t nResult = writePage(pData + k * c_nPageBytes, k);
            if (nResult != 0) return nResult;
        }
        return KX_OK;
    }

    // A partial area is written as the whole area. Read what is stored first and lay the
    // caller's bytes over it, so that nothing beyond the caller's data changes; when that read
    // fails nothing is written.
    std::vector<uint8_t> vecArea(c_nKernelBytes);
    const int32_t nRead = device.Retry([&]() -> int32_t {
        return pCamera->ReadStorage(c_nKernelAddress, vecArea.data(), c_nKernelBytes);
    });
    if (nRead != 0) return nRead;
    std::memcpy(vecArea.data(), pData, nLength);
    for (uint32_t k = 0; k < c_nKernelPages; ++k) {
        KxLogUtils::PrintLog(c_nKxLogState, "Alloc Write Times %d/%d", static_cast<int>(k), static_cast<int>(c_nKernelPages));
        const int32_t nResult = writePage(vecArea.data() + k * c_nPageBytes, k);
        if (nResult != 0) return nResult;
    }
    return KX_OK;
}

int32_t CKxLaserEyeDevice::ReadData(uint32_t eType, void* pBuffer, uint32_t nLength, uint32_t* pnRequired) {
    const int32_t nValid = CheckValid();
    if (nValid != 0) return nValid;
    KxLogUtils::PrintLog(c_nKxLogState, "Read eType: %d", static_cast<int>(eType));

    std::lock_guard<std::mutex> dataLock(s_dataLock);
    std::lock_guard<std::recursive_mutex> deviceLock(m_mutex);
    if (!IsOpen()) return KX_E_NOT_OPEN;  // closed on another thread meanwhile

    if (eType == c_nTypeKernelData) {
        // Kernel data read.
        if (!HasStorage(m_sDevInfo)) return KX_E_NOT_SUPPORTED;
        if (pBuffer == nullptr || nLength == 0) {
            if (pnRequired != nullptr) *pnRequired = c_nKernelBytes;
            return KX_OK;
        }
        if (nLength < c_nKernelBytes) return KX_E_BAD_LENGTH;
        const CHeldCamera held(*this);
        IOrEyeCamera* pHeld = held.Camera();
        if (pHeld == nullptr) return KX_E_NOT_OPEN;
        const int32_t nResult = Guarded(KX_DEVICE_OP("_GetKernelData"), [&](IOrEyeCamera*) {
            return pHeld->ReadStorage(c_nKernelAddress, pBuffer, c_nKernelBytes);
        });
        if (nResult == 0 && pnRequired != nullptr) *pnRequired = c_nKernelBytes;
        return nResult;
    }
    if (eType != c_nTypeReferenceLine && eType != c_nTypeDataBlock) return KX_E_NOT_SUPPORTED;

    const uint32_t nRequired = eType == c_nTypeReferenceLine ? c_nReferenceLineBytes : c_nDataBlockBytes;
    const int nParam = eType == c_nTypeReferenceLine ? c_nParamReferenceLine : c_nParamDataBlock;
    if (pBuffer == nullptr || nLength == 0) {
        if (pnRequired != nullptr) *pnRequired = nRequired;
        return KX_OK;
    }
    if (nLength < nRequired) return KX_E_BAD_LENGTH;
    return Guarded(KX_DEVICE_OP("ReadData"), [&](IOrEyeCamera* pCamera) {
        return pCamera->GetParam(nParam, pBuffer, static_cast<int>(nRequired));
    });
}

int32_t CKxLaserEyeDevice::WriteData(uint32_t eType, const void* pData, uint32_t nLength) {
    std::lock_guard<std::mutex> dataLock(s_dataLock);
    KxLogUtils::PrintLog(c_nKxLogState, "Write eType: %d", static_cast<int>(eType));
    const int32_t nValid = CheckValid();
    if (nValid != 0) return nValid;

    if (eType == c_nTypeKernelData) return WriteKernelData(*this, static_cast<const uint8_t*>(pData), nLength);
    if (eType != c_nTypeReferenceLine && eType != c_nTypeDataBlock) return KX_E_NOT_SUPPORTED;

    // The reference line is exactly 108 bytes; the data block at most its 256 KiB.
    if (pData == nullptr || nLength == 0) return KX_E_BAD_LENGTH;
    if (eType == c_nTypeReferenceLine && nLength != c_nReferenceLineBytes) return KX_E_BAD_LENGTH;
    if (eType == c_nTypeDataBlock && nLength > c_nDataBlockBytes) return KX_E_BAD_LENGTH;

    const int nParam = eType == c_nTypeReferenceLine ? c_nParamReferenceLine : c_nParamDataBlock;
    return Guarded(KX_DEVICE_OP("WriteData"), [&](IOrEyeCamera* pCamera) {
        return pCamera->SetParam(nParam, pData, static_cast<int>(nLength));
    });
}

int32_t CKxLaserEyeDevice::ReadCustomData(uint32_t nAddress, uint8_t* pBuffer, uint32_t nLength) {
    const int32_t nValid = CheckValid();
    if (nValid != 0) return nValid;
    if (!HasStorage(m_sDevInfo)) return KX_E_NOT_SUPPORTED;
    if ((pBuffer == nullptr && nLength != 0) || !StorageRangeOK(nAddress, nLength)) return KX_E_BAD_LENGTH;

    std::lock_guard<std::mutex> dataLock(s_dataLock);
    if (CheckBusy(KX_DEVICE_OP("ReadCustomData")) != 0) return KX_E_BUSY;
    const CHeldCamera held(*this);
    IOrEyeCamera* pCamera = held.Camera();
    if (pCamera == nullptr) return KX_E_NOT_OPEN;

    // Whole pages only; every page is tried and the last page's code is the answer.
    int32_t nResult = KX_OK;
    const uint32_t nPages = nLength / c_nPageBytes;
    for (uint32_t k = 0; k < nPages; ++k) {
        nResult = Retry([&]() -> int32_t {
            return pCamera->ReadStorage(nAddress + k * c_nPageBytes, pBuffer + k * c_nPageBytes, c_nPageBytes);
        });
    }
    return nResult;
}

int32_t CKxLaserEyeDevice::WriteCustomData(uint32_t nAddress, const uint8_t* pData, uint32_t nLength) {
    const int32_t nValid = CheckValid();
    if (nValid != 0) return nValid;
    if (!HasStorage(m_sDevInfo)) return KX_E_NOT_SUPPORTED;
    if ((pData == nullptr && nLength != 0) || !StorageRangeOK(nAddress, nLength)) return KX_E_BAD_LENGTH;

    std::lock_guard<std::mutex> dataLock(s_dataLock);
    if (CheckBusy(KX_DEVICE_OP("WriteCustomData")) != 0) return KX_E_BUSY;
    const CHeldCamera held(*this);
    IOrEyeCamera* pCamera = held.Camera();
    if (pCamera == nullptr) return KX_E_NOT_OPEN;
    return Retry([&]() -> int32_t { return pCamera->WriteStorage(nAddress, pData, nLength); });
}

int32_t CKxLaserEyeDevice::GetDataRange(int32_t* pnFirst, int32_t* pnSecond) {
    if (pnFirst != nullptr) *pnFirst = 65;
    if (pnSecond != nullptr) *pnSecond = 1024;
    return KX_OK;
}

void CKxLaserEyeDevice::UpdateIPAddress(const uint8_t* pbyIP4) {
    if (pbyIP4 == nullptr) return;
    char szIP[16];
    std::snprintf(szIP, sizeof(szIP), "%d.%d.%d.%d", pbyIP4[0], pbyIP4[1], pbyIP4[2], pbyIP4[3]);
    static_assert(sizeof(m_sDevInfo.szIPAddress) == sizeof(szIP), "IP text is 16 bytes");
    static_assert(sizeof(m_sDevInfo.szEyeIP) == sizeof(szIP), "IP text is 16 bytes");
    std::memcpy(m_sDevInfo.szIPAddress, szIP, sizeof(szIP));
    std::memcpy(m_sDevInfo.szEyeIP, szIP, sizeof(szIP));
}

int32_t CKxLaserEyeDevice::WriteSerialNum(const char* pszSerial) {
    const int32_t nValid = CheckValid();
    if (nValid != 0) return nValid;
    std::lock_guard<std::recursive_mutex> deviceLock(m_mutex);
    if (CheckBusy(KX_DEVICE_OP("WriteSerialNum")) != 0) return KX_E_BUSY;
    if (m_sDevInfo.sVideoRes.nVersion <= 7) {
        KxLogUtils::PrintLog(c_nKxLogError, "Hardware Version Not Enough ");
        return KX_E_NOT_SUPPORTED;
    }
    if ((m_sDevInfo.nDeviceFlags & c_nKxFlagEthernet) == 0) {
        KxLogUtils::PrintLog(c_nKxLogError, "No Ethernet Eye");
        return KX_E_NOT_SUPPORTED;
    }
    if (pszSerial == nullptr) return KX_E_BAD_LENGTH;
    char bySerial[c_nSerialBytes];
    CopyText(bySerial, pszSerial, sizeof(bySerial));
    const CKxHeldCamera held(*this);  // Close on another thread may drop the device's reference
    IOrEyeCamera* pCamera = held.Camera();
    if (pCamera == nullptr) return KX_E_NOT_OPEN;
    return Retry([&]() -> int32_t { return pCamera->WriteProduct(c_nProductSerial, bySerial, c_nSerialBytes); });
}

int32_t CKxLaserEyeDevice::WriteDeviceID(const char* pszID) {
    if (pszID == nullptr) {
        const int32_t nValid = CheckValid();
        return nValid != 0 ? nValid : KX_E_BAD_LENGTH;
    }
    char byID[c_nDeviceIDBytes];
    CopyText(byID, pszID, sizeof(byID));
    return Guarded(KX_DEVICE_OP("WriteDeviceID"), [&](IOrEyeCamera* pCamera) {
        return pCamera->WriteProduct(c_nProductDeviceID, byID, c_nDeviceIDBytes);
    });
}

int32_t CKxLaserEyeDevice::WriteMACAddress(const uint8_t* pbyMAC6) {
    if (pbyMAC6 == nullptr) {
        const int32_t nValid = CheckValid();
        return nValid != 0 ? nValid : KX_E_BAD_LENGTH;
    }
    return Guarded(KX_DEVICE_OP("WriteMACAddress"), [&](IOrEyeCamera* pCamera) {
        return pCamera->SetParam(c_nParamMAC, pbyMAC6, 6);
    });
}

int32_t CKxLaserEyeDevice::SetCustomCommand(int32_t nA, int32_t nB, int32_t nValue) {
    unsigned short shSendCmd[5] = {0, 0, 0, 0, 0};
    if (nValue != -1) {
        shSendCmd[0] = 1;
        shSendCmd[3] = static_cast<unsigned short>(static_cast<uint32_t>(nValue) & 0xFFFF);
        shSendCmd[4] = static_cast<unsigned short>(static_cast<uint32_t>(nValue) >> 16);
    }
    shSendCmd[1] = static_cast<unsigned short>(nB & 0xFFFF);
    shSendCmd[2] = static_cast<unsigned short>(nA & 0xFFFF);
    uint32_t nReadData = 0;  // the reply of a set is not used
    return Guarded(KX_DEVICE_OP("SetCustomCommand"), [&](IOrEyeCamera* pCamera) {
        return pCamera->ExecuteCustomCommand(shSendCmd, &nReadData);
    });
}

int32_t CKxLaserEyeDevice::ReadCustomCommand(int32_t nA, int32_t nB, void* pReply) {
    if (pReply == nullptr) {
        const int32_t nValid = CheckValid();
        return nValid != 0 ? nValid : KX_E_BAD_LENGTH;
    }
    unsigned short shSendCmd[5] = {0, 0, 0, 0, 0};
    shSendCmd[1] = static_cast<unsigned short>(nB & 0xFFFF);
    shSendCmd[2] = static_cast<unsigned short>(nA & 0xFFFF);
    return Guarded(KX_DEVICE_OP("ReadCustomCommand"), [&](IOrEyeCamera* pCamera) {
        return pCamera->ExecuteCustomCommand(shSendCmd, pReply);
    });
}

int32_t CKxLaserEyeDevice::ConfigCameraOption(bool bWhich, bool bOn, int32_t nValue, int32_t nValue2) {
    const int32_t nValid = CheckValid();
    if (nValid != 0) return nValid;
    if (bWhich) return pICoreEye->SetOption(bOn ? 1 : 0, nValue);
    return pICoreEye->SetOptionEx(bOn ? 1 : 0, nValue, nValue2);
}

int32_t CKxLaserEyeDevice::CameraOp45(bool bOn, int32_t nValue) {
    const int32_t nValid = CheckValid();
    if (nValid != 0) return nValid;
    return pICoreEye->SetFeature(bOn ? 1 : 0, nValue, 0);
}

int32_t CKxLaserEyeDevice::WriteParam60(const void* pData, uint32_t nLength) {
    const int32_t nValid = CheckValid();
    if (nValid != 0) return nValid;
    if ((pData == nullptr && nLength != 0) || nLength > 0x7FFFFFFFu) return KX_E_BAD_LENGTH;
    const CKxHeldCamera held(*this);  // Close on another thread may drop the device's reference
    IOrEyeCamera* pCamera = held.Camera();
    if (pCamera == nullptr) return KX_E_NOT_OPEN;
    return Retry([&]() -> int32_t { return pCamera->SetParam(c_nParam60, pData, static_cast<int>(nLength)); });
}

int32_t CKxLaserEyeDevice::CameraOp43(int32_t nA, void* pB, int32_t nC, void* pD, int32_t nE) {
    const int32_t nValid = CheckValid();
    if (nValid != 0) return nValid;
    const CKxHeldCamera held(*this);  // Close on another thread may drop the device's reference
    IOrEyeCamera* pCamera = held.Camera();
    if (pCamera == nullptr) return KX_E_NOT_OPEN;
    return Retry([&]() -> int32_t { return pCamera->ExtendedCommand(nA, pB, nC, pD, nE); });
}
