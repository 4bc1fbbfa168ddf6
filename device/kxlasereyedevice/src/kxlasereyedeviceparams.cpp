// Detection and imaging parameters of CKxLaserEyeDevice: ROIs, exposure, gain, frame rate, laser
// threshold, trigger mode, toggles, reprojection matrix, version texts, image mode and the
// table frame rate.
#include <atomic>
#include <cstdio>
#include <cstring>

#include "kxkernel.h"
#include "kxlasereyedevice.h"

namespace {
// Camera parameter ids.
const int c_nParamGap = 10;
const int c_nParamDenoise = 37;
const int c_nParamBitMode = 47;
const int c_nParamLaserThres = 48;
const int c_nParamAccelerator = 49;
const int c_nParamDynamicROI = 51;
// Register targets and addresses.
const int c_nRegExpose = 1;
const int c_nRegTrigger = 13;
const int c_nRegGain = 14;
const unsigned int c_nRegGainAddress = 0x3204;
// Identity item that holds the device ID text.
const int c_nProductDeviceID = 2;

const uint16_t c_nGainMin = 44;
const uint16_t c_nGainMax = 480;
const uint16_t c_nFrameRateMax = 2000;
const uint32_t c_nExposeMax = 65535;

// Image transfer: laser part of every frame, and the memory the camera may hold in buffers.
const uint64_t c_nLaserBytes = 32800;
const uint64_t c_nImageBufferBudget = 104857600;

// Frame-rate tables: rows by ROI width, columns by ROI height.
const int c_anWidthSteps[] = {64, 128, 256, 512, 1536};
const int c_anHeightSteps[] = {1024, 1536, 2048};
const uint16_t c_anRateA[5][3] = {{1070, 740, 630}, {780, 490, 390}, {500, 310, 220}, {180, 120, 90}, {60, 40, 30}};
const uint16_t c_anRateAAcc[5][3] = {{1100, 1090, 1000}, {790, 790, 770}, {510, 510, 470}, {290, 240, 180}, {110, 80, 60}};
const uint16_t c_anRateB[5][3] = {{930, 760, 620}, {700, 520, 400}, {420, 300, 220}, {170, 120, 90}, {60, 40, 30}};
const uint16_t c_anRateBAcc[5][3] = {{1000, 1000, 990}, {740, 740, 730}, {490, 480, 440}, {290, 230, 170}, {110, 80, 60}};

// Number of leading steps below the value; a value past the last step keeps the last row or
// column (the slowest rate), which is what a full-frame ROI needs.
template <size_t N>
int StepIndex(const int (&anSteps)[N], int nValue) {
    size_t i = 0;
    while (i < N && anSteps[i] < nValue) ++i;
    return static_cast<int>(i < N ? i : N - 1);
}

typedef std::lock_guard<std::recursive_mutex> DeviceLock;
}  // namespace

// ---- version texts ----

int32_t CKxLaserEyeDevice::GetVersion(SKxEyeVersionInfo* pInfo) {
    const int32_t nValid = CheckValid();
    if (nValid != 0) return nValid;
    if (pInfo == nullptr) return KX_E_NULL_ARGUMENT;
    DeviceLock lock(m_mutex);
    if (!IsOpen()) return KX_E_NOT_OPEN;  // closed on another thread meanwhile
    const int32_t nBusy = CheckBusy(KX_DEVICE_OP("GetVersion"));
    if (nBusy != 0) return nBusy;

    // A longer hardware text is cut to what the field holds, always terminated.
    const size_t nMax = sizeof(pInfo->szHardwareVersion) - 1;
    const void* pEnd = std::memchr(m_sDevInfo.szHWVersion, '\0', nMax);
    const size_t nLen = pEnd ? static_cast<size_t>(static_cast<const char*>(pEnd) - m_sDevInfo.szHWVersion) : nMax;
    std::memcpy(pInfo->szHardwareVersion, m_sDevInfo.szHWVersion, nLen);
    pInfo->szHardwareVersion[nLen] = '\0';
    pInfo->nPresence |= c_nKxVersionHardware;

    const CKxHeldCamera held(*this);  // Close on another thread may drop the device's reference
    IOrEyeCamera* pCamera = held.Camera();
    if (pCamera == nullptr) return KX_E_NOT_OPEN;
    int32_t nResult = KX_OK;
    if ((pInfo->nPresence & c_nKxVersionFirmware) == 0) {
        nResult = Retry([&]() -> int32_t {
            return pCamera->GetVersionText(pInfo->szFirmwareVersion,
                                           static_cast<int>(sizeof(pInfo->szFirmwareVersion)));
        });
        if (nResult == 0) {
            pInfo->szFirmwareVersion[sizeof(pInfo->szFirmwareVersion) - 1] = '\0';
            pInfo->nPresence |= c_nKxVersionFirmware;
        }
    }
    if ((pInfo->nPresence & c_nKxVersionDeviceID) == 0) {
        nResult = Retry([&]() -> int32_t {
            return pCamera->ReadProduct(c_nProductDeviceID, pInfo->szDeviceID,
                                        static_cast<int>(sizeof(pInfo->szDeviceID)));
        });
        if (nResult == 0) pInfo->nPresence |= c_nKxVersionDeviceID;
    }
    return nResult;
}

// ---- denoise ----

int32_t CKxLaserEyeDevice::EnableDenoise(bool bOn) {
    const int32_t nValid = CheckValid();
    if (nValid != 0) return nValid;
    DeviceLock lock(m_mutex);
    if (!IsOpen()) return KX_E_NOT_OPEN;  // closed on another thread meanwhile
    const uint16_t nValue = bOn ? 1 : 0;
    // The camera cannot be asked for its denoise state: only a value this object has sent is
    // known, so a fresh object always sends (another object may have changed it).
    if ((m_nPropertyMask & c_nMaskDenoise) && m_sProperties.nDenoise == nValue) return KX_OK;
    const int32_t nResult = Guarded(KX_DEVICE_OP("EnableDenoise"), [&](IOrEyeCamera* pCamera) {
        return pCamera->SetParam(c_nParamDenoise, &nValue, static_cast<int>(sizeof(nValue)));
    });
    if (nResult == 0) {
        m_sProperties.nDenoise = nValue;
        m_nPropertyMask |= c_nMaskDenoise;
    }
    return Remember(c_eSetDenoise, nResult, [=](CKxLaserEyeDevice& d) { return d.EnableDenoise(bOn); });
}

bool CKxLaserEyeDevice::IsDenoiseEnabled() {
    if (CheckValid() != 0) return false;
    return m_sProperties.nDenoise != 0;
}

// ---- exposure ----

int32_t CKxLaserEyeDevice::SetExpose(int32_t nAuto, uint32_t nValue) {
    const int32_t nValid = CheckValid();
    if (nValid != 0) {
        // A lost camera was logged once, at the loss: not again for every call after it.
        if (nValid != KX_E_OFFLINE) KxLogUtils::PrintLog(c_nKxLogError, "Invalid Device");
        return nValid;
    }
    if (nAuto != 0) {
        KxLogUtils::PrintLog(c_nKxLogError, "No Support Auto Expose");
        return KX_E_NOT_SUPPORTED;
    }
    if (nValue > c_nExposeMax) {
        KxLogUtils::PrintLog(c_nKxLogError, "No Support Expose Value");
        return KX_E_NOT_SUPPORTED;
    }
    DeviceLock lock(m_mutex);
    if (!IsOpen()) return KX_E_NOT_OPEN;  // closed on another thread meanwhile
    if (m_bCapturing.load()) {
        KxLogUtils::PrintLog(c_nKxLogError, "Device Capturing");
        return KX_E_BUSY;
    }
    const CKxHeldCamera held(*this);  // Close on another thread may drop the device's reference
    IOrEyeCamera* pCamera = held.Camera();
    if (pCamera == nullptr) return KX_E_NOT_OPEN;
    const uint16_t nSensorData[2] = {0, static_cast<uint16_t>(nValue)};
    const int32_t nResult = ConfirmedSet(
        [&]() -> int32_t {
            return pCamera->WriteRegister(c_nRegExpose, 0, nSensorData, static_cast<int>(sizeof(nSensorData)));
        },
        "Threshold Setting Failed",  // the same words as the threshold's, on purpose
        [&](const SKxLaserEyeProperties& check) { return check.nExposeValue == nValue; },
        "Set & Get ExposeValue Failed");
    if (nResult != 0) return nResult;
    m_sProperties.nExposeValue = static_cast<uint16_t>(nValue);
    m_nPropertyMask |= c_nMaskExpose;
    return Remember(c_eSetExpose, KX_OK, [=](CKxLaserEyeDevice& d) { return d.SetExpose(nAuto, nValue); });
}

int32_t CKxLaserEyeDevice::GetExpose(int32_t* pnAuto, int32_t* pnValue) {
    const int32_t nValid = CheckValid();
    if (nValid != 0) return nValid;
    if (pnAuto) *pnAuto = 0;
    DeviceLock lock(m_mutex);
    if (!IsOpen()) return KX_E_NOT_OPEN;  // closed on another thread meanwhile
    if (pnValue) *pnValue = m_sProperties.nExposeValue;
    return KX_OK;
}

// ---- detection ROIs ----

int32_t CKxLaserEyeDevice::SetDetectROI(const SKxNLROIRect* pLeft, const SKxNLROIRect* pRight) {
    const int32_t nValid = CheckValid();
    if (nValid != 0) return nValid;
    if (pLeft == nullptr || pRight == nullptr) return KX_E_NULL_ARGUMENT;
    const int nRoi = KxDetectUtils::IsValidDetectROI(*pLeft, *pRight, m_sDevInfo.sVideoRes,
                                                     m_sDevInfo.nDeviceFlags, nullptr);
    if (nRoi != 0) return nRoi;
    DeviceLock lock(m_mutex);
    if (!IsOpen()) return KX_E_NOT_OPEN;  // closed on another thread meanwhile
    const int32_t nBusy = CheckBusy(KX_DEVICE_OP("SetDetectROI"));
    if (nBusy != 0) return nBusy;
    const SKxNLROIRect sLeft = *pLeft, sRight = *pRight;
    return Remember(c_eSetROI, ApplyDetectROI(sLeft, sRight),
                    [=](CKxLaserEyeDevice& d) { return d.SetDetectROI(&sLeft, &sRight); });
}

int32_t CKxLaserEyeDevice::GetDetectROI(SKxNLROIRect* pLeft, SKxNLROIRect* pRight) {
    const int32_t nValid = CheckValid();
    if (nValid != 0) return nValid;
    DeviceLock lock(m_mutex);
    if (!IsOpen()) return KX_E_NOT_OPEN;  // closed on another thread meanwhile
    if (m_nPropertyMask & c_nMaskROI) {
        SKxNLROIRect sLeft, sRight;
        {
            // The frame thread's ROI follow moves them during capture.
            std::lock_guard<std::mutex> frameLock(m_frameStateMutex);
            sLeft = m_sProperties.sLeftROI;
            sRight = m_sProperties.sRightROI;
        }
        if (pLeft) *pLeft = sLeft;
        if (pRight) *pRight = sRight;
    }
    return KX_OK;
}

int32_t CKxLaserEyeDevice::SyncDetectROI() {
    const int32_t nValid = CheckValid();
    if (nValid != 0) return nValid;
    const int32_t nResult = ReadLaserInfo(m_sProperties, m_nPropertyMask);
    if (nResult != 0) return nResult;
    SKxNLROIRect l, r;
    {
        // Copied out under the leaf lock; the camera is called without it.
        std::lock_guard<std::mutex> frameLock(m_frameStateMutex);
        l = m_sProperties.sLeftROI;
        r = m_sProperties.sRightROI;
    }
    pICoreEye->SyncROI(l.left, l.top, r.left, r.top, l.right - l.left, l.bottom - l.top);
    return nResult;
}

// ---- gain, frame rate, reserved slots ----

int32_t CKxLaserEyeDevice::SetCameraGain(int32_t /*nReserved*/, uint16_t nGain) {
    if (nGain < c_nGainMin || nGain > c_nGainMax) {
        KxLogUtils::PrintLog(c_nKxLogError, "Error Gain Range: %d ~ %d", static_cast<int>(c_nGainMin),
                             static_cast<int>(c_nGainMax));
        return KX_E_OUT_OF_RANGE;
    }
    const int32_t nResult = Guarded(KX_DEVICE_OP("SetCameraGain"), [&](IOrEyeCamera* pCamera) {
        return pCamera->WriteRegister(c_nRegGain, c_nRegGainAddress, &nGain, static_cast<int>(sizeof(nGain)));
    });
    return Remember(c_eSetGain, nResult, [=](CKxLaserEyeDevice& d) { return d.SetCameraGain(0, nGain); });
}

int32_t CKxLaserEyeDevice::Reserved28() { return KX_E_NOT_SUPPORTED; }
int32_t CKxLaserEyeDevice::Reserved32() { return KX_E_NOT_SUPPORTED; }
int32_t CKxLaserEyeDevice::Reserved34() { return KX_E_NOT_SUPPORTED; }
int32_t CKxLaserEyeDevice::Reserved40() { return KX_E_NOT_SUPPORTED; }

int32_t CKxLaserEyeDevice::SetFrameRate(uint16_t nRate) {
    const int32_t nValid = CheckValid();
    if (nValid != 0) return nValid;
    if (nRate == 0 || nRate > c_nFrameRateMax) {
        KxLogUtils::PrintLog(c_nKxLogError, "%s Frame Rate Out Of Range", KX_DEVICE_OP("SetFrameRate"));
        return KX_E_NOT_SUPPORTED;
    }
    DeviceLock lock(m_mutex);
    if (!IsOpen()) return KX_E_NOT_OPEN;  // closed on another thread meanwhile
    const int32_t nBusy = CheckBusy(KX_DEVICE_OP("SetFrameRate"));
    if (nBusy != 0) return nBusy;
    const int32_t nResult = ApplyFrameRate(nRate);
    if (nResult == 0) m_nFrameRate = nRate;
    return Remember(c_eSetFrameRate, nResult, [=](CKxLaserEyeDevice& d) { return d.SetFrameRate(nRate); });
}

// ---- reprojection matrix ----

int32_t CKxLaserEyeDevice::GetQMatrix(double* pdMatrix16) {
    const int32_t nValid = CheckValid();
    if (nValid != 0) return nValid;
    if (pdMatrix16 == nullptr) return KX_E_NULL_ARGUMENT;
    DeviceLock lock(m_mutex);
    if (!IsOpen()) return KX_E_NOT_OPEN;  // closed on another thread meanwhile
    if ((m_nPropertyMask & c_nMaskQMatrix) == 0) {
        const int32_t nResult = Guarded(KX_DEVICE_OP("GetQMatrix"), [&](IOrEyeCamera* pCamera) {
            return pCamera->GetQMatrix(m_sProperties.dQMatrix);
        });
        if (nResult != 0) return nResult;
        m_nPropertyMask |= c_nMaskQMatrix;
    }
    std::memcpy(pdMatrix16, m_sProperties.dQMatrix, sizeof(m_sProperties.dQMatrix));
    return KX_OK;
}

// ---- laser threshold ----

int32_t CKxLaserEyeDevice::SetLaserThres(int32_t nValue) {
    const int32_t nValid = CheckValid();
    if (nValid != 0) {
        // A lost camera was logged once, at the loss: not again for every call after it.
        if (nValid != KX_E_OFFLINE) KxLogUtils::PrintLog(c_nKxLogError, "Invalid Device");
        return nValid;
    }
    DeviceLock lock(m_mutex);
    if (!IsOpen()) return KX_E_NOT_OPEN;  // closed on another thread meanwhile
    if (m_bCapturing.load()) {
        KxLogUtils::PrintLog(c_nKxLogError, "Device Capturing");
        return KX_E_BUSY;
    }
    const CKxHeldCamera held(*this);  // Close on another thread may drop the device's reference
    IOrEyeCamera* pCamera = held.Camera();
    if (pCamera == nullptr) return KX_E_NOT_OPEN;
    const uint16_t nSent = static_cast<uint16_t>(nValue);
    const int32_t nResult = ConfirmedSet(
        [&]() -> int32_t {
            return pCamera->SetParam(c_nParamLaserThres, &nSent, static_cast<int>(sizeof(nSent)));
        },
        "Threshold Setting Failed",
        // Compared with the whole argument: a value the 16-bit word cannot hold never matches.
        [&](const SKxLaserEyeProperties& check) { return static_cast<int32_t>(check.nLaserThres) == nValue; },
        "Set & Get LaserThres No Match");
    if (nResult != 0) return nResult;
    m_sProperties.nLaserThres = nSent;
    m_nPropertyMask |= c_nMaskThres;
    return Remember(c_eSetThres, KX_OK, [=](CKxLaserEyeDevice& d) { return d.SetLaserThres(nValue); });
}

int32_t CKxLaserEyeDevice::GetLaserThres(int32_t* pnValue) {
    const int32_t nValid = CheckValid();
    if (nValid != 0) return nValid;
    if ((m_nPropertyMask & c_nMaskThres) == 0) return KX_E_THRES_UNKNOWN;
    if (pnValue) *pnValue = m_sProperties.nLaserThres;
    return KX_OK;
}

// ---- bit mode, accelerator ----

int32_t CKxLaserEyeDevice::ConfigImgBitMode(int32_t nMode) {
    const int32_t nResult = Guarded(KX_DEVICE_OP("ConfigImgBitMode"), [&](IOrEyeCamera* pCamera) {
        return pCamera->SetParam(c_nParamBitMode, &nMode, static_cast<int>(sizeof(nMode)));
    });
    return Remember(c_eSetBitMode, nResult, [=](CKxLaserEyeDevice& d) { return d.ConfigImgBitMode(nMode); });
}

int32_t CKxLaserEyeDevice::EnableAccelerator(bool bOn) {
    const int32_t nValid = CheckValid();
    if (nValid != 0) return nValid;
    DeviceLock lock(m_mutex);
    if (!IsOpen()) return KX_E_NOT_OPEN;  // closed on another thread meanwhile
    const uint16_t nValue = bOn ? 1 : 0;
    if ((m_nPropertyMask & c_nMaskAccelerator) && m_sProperties.nAccelerator == nValue) return KX_OK;
    const int32_t nResult = Guarded(KX_DEVICE_OP("EnableAccelerator"), [&](IOrEyeCamera* pCamera) {
        return pCamera->SetParam(c_nParamAccelerator, &nValue, static_cast<int>(sizeof(nValue)));
    });
    if (nResult == 0) {
        m_sProperties.nAccelerator = nValue;
        m_nPropertyMask |= c_nMaskAccelerator;
    }
    return Remember(c_eSetAccelerator, nResult, [=](CKxLaserEyeDevice& d) { return d.EnableAccelerator(bOn); });
}

// ---- trigger mode ----

int32_t CKxLaserEyeDevice::SetTriggerMode(int32_t nMode) {
    const int32_t nValid = CheckValid();
    if (nValid != 0) return nValid;
    const uint32_t nVersion = m_sDevInfo.sVideoRes.nVersion;
    if (nVersion < 7 && nMode >= 2 && nMode <= 4) return KX_E_NOT_SUPPORTED;
    DeviceLock lock(m_mutex);
    if (!IsOpen()) return KX_E_NOT_OPEN;  // closed on another thread meanwhile
    // The cached mode answers at once, even while capturing.
    if ((m_nPropertyMask & c_nMaskTrigger) && m_sProperties.nTriggerMode == nMode) return KX_OK;
    const uint16_t nValue = static_cast<uint16_t>(nMode);
    int32_t nResult = Guarded(KX_DEVICE_OP("SetTriggerMode"), [&](IOrEyeCamera* pCamera) {
        return pCamera->WriteRegister(c_nRegTrigger, 0, &nValue, static_cast<int>(sizeof(nValue)));
    });
    if (nResult != 0) return nResult;
    m_sProperties.nTriggerMode = nValue;
    m_nPropertyMask |= c_nMaskTrigger;
    if (nVersion < 7) return KX_OK;  // older cameras do not report the mode back
    SKxLaserEyeProperties sCheckProperties{};
    uint32_t sCheckMaskValid = 0;
    nResult = ReadLaserInfoRuns(sCheckProperties, sCheckMaskValid);
    if (nResult != 0) return nResult;
    if ((sCheckMaskValid & c_nMaskTrigger) == 0 || sCheckProperties.nTriggerMode != nMode) {
        KxLogUtils::PrintLog(c_nKxLogError, "Trigger Set & Get No Match");
        return KX_E_READBACK_MISMATCH;
    }
    return Remember(c_eSetTrigger, KX_OK, [=](CKxLaserEyeDevice& d) { return d.SetTriggerMode(nMode); });
}

int32_t CKxLaserEyeDevice::GetTriggerMode(int32_t* pnMode) {
    const int32_t nValid = CheckValid();
    if (nValid != 0) return nValid;
    if (m_sDevInfo.sVideoRes.nVersion < 7) return KX_E_NOT_SUPPORTED;
    DeviceLock lock(m_mutex);
    if (!IsOpen()) return KX_E_NOT_OPEN;  // closed on another thread meanwhile
    if ((m_nPropertyMask & c_nMaskTrigger) == 0) return KX_E_NOT_SUPPORTED;
    if (pnMode) *pnMode = m_sProperties.nTriggerMode;
    return KX_OK;
}

// ---- dynamic ROI ----

int32_t CKxLaserEyeDevice::EnableDynamicROI(bool bOn) {
    if (m_sDevInfo.sVideoRes.nVersion <= 4) return KX_E_NOT_SUPPORTED;
    const int32_t nValid = CheckValid();
    if (nValid != 0) return nValid;
    DeviceLock lock(m_mutex);
    if (!IsOpen()) return KX_E_NOT_OPEN;  // closed on another thread meanwhile
    // Busy before the no-change test: an unchanged value still answers busy while capturing.
    const int32_t nBusy = CheckBusy(KX_DEVICE_OP("EnableDynamicROI"));
    if (nBusy != 0) return nBusy;
    const uint16_t nValue = bOn ? 2 : 0;
    // Known only once learnt: version 8 reports it in the laser-information block at Open,
    // versions 5 to 7 do not report it, so there the first value always goes out.
    if ((m_nPropertyMask & c_nMaskDynamicROI) && m_sProperties.nDynamicROI == nValue) return KX_OK;
    const int32_t nResult = Guarded(KX_DEVICE_OP("EnableDynamicROI"), [&](IOrEyeCamera* pCamera) {
        return pCamera->SetParam(c_nParamDynamicROI, &nValue, static_cast<int>(sizeof(nValue)));
    });
    if (nResult == 0) {
        m_sProperties.nDynamicROI = nValue;
        // The live mask, like the laser-information read: Detect relies on it.
        m_nPropertyMask |= c_nMaskDynamicROI;
    }
    return Remember(c_eSetDynamicROI, nResult, [=](CKxLaserEyeDevice& d) { return d.EnableDynamicROI(bOn); });
}

bool CKxLaserEyeDevice::IsDynamicROIEnabled(int32_t* pnError) {
    int32_t nError = KX_OK;
    bool bEnabled = false;
    if (m_sDevInfo.sVideoRes.nVersion < 8) {
        nError = KX_E_NOT_SUPPORTED;
    } else {
        nError = CheckValid();
        if (nError == 0)
            bEnabled = (m_nPropertyMask & c_nMaskDynamicROI) != 0 && m_sProperties.nDynamicROI != 0;
    }
    if (pnError) *pnError = nError;
    return bEnabled;
}

// ---- gap, trigger divider ----

int32_t CKxLaserEyeDevice::SetGap(int32_t nGap) {
    const uint16_t nValue = static_cast<uint16_t>(nGap);
    return Remember(c_eSetGap, Guarded(KX_DEVICE_OP("SetGap"), [&](IOrEyeCamera* pCamera) {
        return pCamera->SetParam(c_nParamGap, &nValue, static_cast<int>(sizeof(nValue)));
    }), [=](CKxLaserEyeDevice& d) { return d.SetGap(nGap); });
}

int32_t CKxLaserEyeDevice::SetTriggerN(uint32_t nA, uint32_t nB) {
    return Remember(c_eSetTriggerN,
                    Guarded(KX_DEVICE_OP("SetTriggerN"), [&](IOrEyeCamera* pCamera) { return pCamera->SetTriggerN(nA, nB); }),
                    [=](CKxLaserEyeDevice& d) { return d.SetTriggerN(nA, nB); });
}

// ---- encode mode ----

int32_t CKxLaserEyeDevice::SetEncodeMode(int32_t nMode) {
    if (nMode == 2 && m_sDevInfo.sVideoRes.nVersion < 7) {
        KxLogUtils::PrintLog(c_nKxLogError, "Device Hardware No Support Encode Mode");
        return KX_E_NOT_SUPPORTED;
    }
    // The frame thread reads the mode for every frame.
    std::atomic_ref<int32_t>(m_nEncodeMode).store(nMode);
    return KX_OK;
}

int32_t CKxLaserEyeDevice::GetEncodeMode() { return std::atomic_ref<int32_t>(m_nEncodeMode).load(); }

// ---- image mode, table frame rate, snapshot (used by capture) ----

int32_t CKxLaserEyeDevice::SwitchDebug(int32_t nOn) {
    // Also reachable by applications through its slot: never touch a closed camera.
    const int32_t nValid = CheckValid();
    if (nValid != 0) return nValid;
    DeviceLock lock(m_mutex);
    if (!IsOpen()) return KX_E_NOT_OPEN;  // closed on another thread meanwhile
    // The frame thread reads the image mode for every frame without a lock: a switch under a
    // running stream would also change the frame layout under it.
    const int32_t nBusy = CheckBusy(KX_DEVICE_OP("SwitchDebug"));
    if (nBusy != 0) return nBusy;
    const bool bOn = nOn == 1;  // only 1 switches the images on
    if ((m_nPropertyMask & c_nMaskDebug) && m_sProperties.bDebugMode == bOn) return KX_OK;
    const SKxVideoResolution& res = m_sDevInfo.sVideoRes;
    // 64-bit sums: a record with absurd sizes must not wrap into a small frame.
    uint64_t nFrameBytes = c_nLaserBytes;
    if (bOn) nFrameBytes += static_cast<uint64_t>(res.nFrameWidth) * res.nFrameHeight * 2;
    uint64_t nCount = c_nImageBufferBudget / nFrameBytes;
    if (m_nFrameRate != 0 && m_nFrameRate < nCount) nCount = m_nFrameRate;
    if (nCount == 0) nCount = 1;  // a frame larger than the budget still needs one buffer
    if (nFrameBytes > 0xFFFFFFFFull) nFrameBytes = 0xFFFFFFFFull;
    const CKxHeldCamera held(*this);  // Close on another thread may drop the device's reference
    IOrEyeCamera* pCamera = held.Camera();
    if (pCamera == nullptr) return KX_E_NOT_OPEN;
    const int32_t nResult = Retry([&]() -> int32_t {
        return pCamera->SetImageTransfer(bOn ? 1 : 0, static_cast<unsigned int>(nCount),
                                         static_cast<unsigned int>(nFrameBytes));
    });
    if (nResult == 0) {
        m_sProperties.bDebugMode = bOn;
        m_nPropertyMask |= c_nMaskDebug;
    }
    KxLogUtils::PrintLog(c_nKxLogDetail, "Switch Debug Return %d %s", nResult,
                         m_sProperties.bDebugMode ? "true" : "false");
    return Remember(c_eSetImageMode, nResult, [=](CKxLaserEyeDevice& d) { return d.SwitchDebug(nOn); });
}

uint16_t CKxLaserEyeDevice::GetAutoFrameRate() {
    const SKxNLROIRect& roi = m_sProperties.sLeftROI;
    const int nRow = StepIndex(c_anWidthSteps, roi.right - roi.left);
    const int nColumn = StepIndex(c_anHeightSteps, roi.bottom - roi.top);
    const bool bAccelerated = (m_nPropertyMask & c_nMaskAccelerator) && m_sProperties.nAccelerator == 1;
    const uint32_t nFlags = m_sDevInfo.nDeviceFlags;
    uint16_t nTable = 0;
    if (nFlags & c_nKxFlagLocal)
        nTable = bAccelerated ? c_anRateAAcc[nRow][nColumn] : c_anRateA[nRow][nColumn];
    else if (nFlags & c_nKxFlagEthernet)
        nTable = bAccelerated ? c_anRateBAcc[nRow][nColumn] : c_anRateB[nRow][nColumn];
    else
        return 0;
    if (m_nFrameRate != 0 && m_nFrameRate <= nTable) return m_nFrameRate;
    return nTable;
}

void CKxLaserEyeDevice::SaveProperties() {
    m_sSavedProperties = m_sProperties;
    m_nSavedPropertyMask = m_nPropertyMask;
}

int32_t CKxLaserEyeDevice::RestoreTriggerMode() {
    if ((m_nSavedPropertyMask & c_nMaskTrigger) == 0) return KX_OK;
    return SetTriggerMode(m_sSavedProperties.nTriggerMode);
}
