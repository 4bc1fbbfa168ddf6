// CKxLaserEyeDevice: the object, open and close, the validity check, the laser-information read,
// the confirmed ROI and frame-rate steps, getters and simple operations.
#include "kxlasereyedevice.h"

#include <cstring>
#include <memory>

#include "kxeyeswingmotordevice.h"
#include "kxkernel.h"
#include "kxlaserinfo.h"

namespace {
// Device storage page that holds the parameter block and the compensation data.
const unsigned int c_nStorageAddress = KxParamPage::c_nAddress;
const unsigned int c_nStorageBytes = KxParamPage::c_nBytes;
// Camera parameters read at open.
const int c_nParamLaserInfo = 54;
const int c_nParamDisparity = 50;
const int c_nParamFrameRate = 34;
// Frame rate sent with the default ROIs when the camera's own ROIs do not fit.
const uint16_t c_nDefaultFrameRate = 20;
// Rows kept clear at the bottom of the default ROI.
const uint32_t c_nDefaultRoiBottomMargin = 128;
}  // namespace

CKxLaserEyeDevice::CKxLaserEyeDevice(const SKxNLEyeDeviceInfoEx& info, IKxSurfacePool* pSurfacePool,
                                     IKxMemPool* pMemPool)
    : m_sDevInfo(info), m_pISurfacePool(pSurfacePool), m_pIMemPool(pMemPool) {
    if (m_pISurfacePool) m_pISurfacePool->AddRef();
    if (m_pIMemPool) m_pIMemPool->AddRef();
    m_sDeviceParam.nKind = -1;
    m_encoder.SetErrorBase(-82000);
    // The frames of older cameras carry a 19-bit count: it wraps there.
    if (m_sDevInfo.sVideoRes.nVersion < 7) m_encoder.SetCountField(c_nKxEncoderCountBitsV6);
    m_encoder.ResetCounter();
}

CKxLaserEyeDevice::~CKxLaserEyeDevice() {
    StopReconnectThread();
    Close();
    if (m_pISurfacePool) m_pISurfacePool->Release();
    if (m_pIMemPool) m_pIMemPool->Release();
    if (m_pIEventHandler) m_pIEventHandler->Release();
    // Result blocks still kept by the application hold their own reference.
    if (m_pCompensate) m_pCompensate->Release();
    m_pISurfacePool = nullptr;
    m_pIMemPool = nullptr;
    m_pIEventHandler = nullptr;
    m_pCompensate = nullptr;
}

// ---- validity, busy test, laser information ----

int32_t CKxLaserEyeDevice::CheckValid() const {
    // Close on another thread may be clearing the pointer right now.
    if (std::atomic_ref<IOrEyeCamera*>(const_cast<IOrEyeCamera*&>(pICoreEye)).load() == nullptr)
        return KX_E_NOT_OPEN;
    if (m_bOffline.load()) return KX_E_OFFLINE;
    // While the device takes a lost camera back, only its reconnect thread reaches the camera.
    if (m_bReconnecting.load() && !OnReconnectThread()) return KX_E_OFFLINE;
    return KX_OK;
}

CKxCameraHolder* CKxLaserEyeDevice::AcquireCameraHolder() {
    // Close clears the pointer under the same leaf lock before it drops its reference, so the
    // holder seen here is still alive when the reference is added.
    std::lock_guard<std::mutex> lock(m_frameStateMutex);
    CKxCameraHolder* pHolder = std::atomic_ref<CKxCameraHolder*>(m_pCameraHolder).load();
    if (pHolder) pHolder->AddRef();
    return pHolder;
}

int32_t CKxLaserEyeDevice::CheckBusy(const char* pszName) {
    // Called under the device mutex; a Close on another thread may have come first.
    if (std::atomic_ref<IOrEyeCamera*>(pICoreEye).load() == nullptr) return KX_E_NOT_OPEN;
    if (m_bCapturing.load()) {
        KxLogUtils::PrintLog(c_nKxLogError, "%s Capturing", pszName);
        return KX_E_BUSY;
    }
    return KX_OK;
}

int32_t CKxLaserEyeDevice::ReadLaserInfo(SKxLaserEyeProperties& props, uint32_t& nMask) {
    uint8_t byData[KxLaserInfo::c_nBytes] = {};
    const CKxHeldCamera held(*this);  // Close on another thread may drop the device's reference
    IOrEyeCamera* pCamera = held.Camera();
    if (pCamera == nullptr) return KX_E_NOT_OPEN;
    const int32_t nResult = Retry([&]() -> int32_t {
        return pCamera->GetParam(c_nParamLaserInfo, byData, static_cast<int>(sizeof(byData)));
    });
    if (nResult != 0) {
        KxLogUtils::PrintLog(c_nKxLogError, "Get Laser Info Failed");
        return nResult;
    }
    using KxLaserInfo::GetWord;
    const uint32_t nVersion = m_sDevInfo.sVideoRes.nVersion;
    // The frame thread reads the image mode and the dynamic ROI flag of the live cache without a
    // lock. Neither changes under a running stream (their switches refuse while capturing), so a
    // refresh during capture (SyncDetectROI) leaves an equal value alone instead of storing it.
    auto store = [](auto& field, auto value) {
        if (field != value) field = value;
    };
    const uint16_t nWord0 = GetWord(byData, KxLaserInfo::c_nWordTriggerDynRoi);
    if (nVersion >= 7) {
        props.nTriggerMode = static_cast<uint16_t>(nWord0 & 0xFF);
        nMask |= c_nMaskTrigger;
    }
    if (nVersion >= 8) {
        store(props.nDynamicROI, static_cast<uint16_t>(nWord0 >> 8));
        nMask |= c_nMaskDynamicROI;
    }
    props.nExposeValue = GetWord(byData, KxLaserInfo::c_nWordExposure);
    const unsigned int nL = KxLaserInfo::c_nWordLeftRoi;
    const unsigned int nR = KxLaserInfo::c_nWordRightRoi;
    SKxNLROIRect sLeft, sRight;
    sLeft.left = GetWord(byData, nL + 0);
    sLeft.right = GetWord(byData, nL + 1);
    sLeft.top = GetWord(byData, nL + 2);
    sLeft.bottom = GetWord(byData, nL + 3);
    sRight.left = GetWord(byData, nR + 0);
    sRight.right = GetWord(byData, nR + 1);
    sRight.top = GetWord(byData, nR + 2);
    sRight.bottom = GetWord(byData, nR + 3);
    {
        // The live cache's ROIs are moved by the frame thread's ROI follow during capture.
        std::lock_guard<std::mutex> lock(m_frameStateMutex);
        props.sLeftROI = sLeft;
        props.sRightROI = sRight;
    }
    props.nLaserThres = GetWord(byData, KxLaserInfo::c_nWordThreshold);
    store(props.bDebugMode, GetWord(byData, KxLaserInfo::c_nWordImageMode) != 0);
    KxDeviceUtils::GetHardwareVersion(byData, m_sDevInfo.szHWVersion, sizeof(m_sDevInfo.szHWVersion));
    m_sDevInfo.szHWVersion[sizeof(m_sDevInfo.szHWVersion) - 1] = '\0';
    nMask |= c_nMaskExpose | c_nMaskROI | c_nMaskThres | c_nMaskDebug;
    return KX_OK;
}

int32_t CKxLaserEyeDevice::ReadLaserInfoRuns(SKxLaserEyeProperties& props, uint32_t& nMask) {
    int32_t nResult = 0;
    int nRuns = 0;
    do {
        nResult = ReadLaserInfo(props, nMask);
        ++nRuns;
    } while (nResult == KX_E_CAMERA_RETRY && nRuns < 3);
    return nResult;
}

int32_t CKxLaserEyeDevice::ApplyDetectROI(const SKxNLROIRect& left, const SKxNLROIRect& right) {
    const CKxHeldCamera held(*this);  // Close on another thread may drop the device's reference
    IOrEyeCamera* pCamera = held.Camera();
    if (pCamera == nullptr) return KX_E_NOT_OPEN;
    if (pCamera == nullptr) return KX_E_NOT_OPEN;
    // Only the left ROI's size is sent: both ROIs share it.
    const int32_t nResult = ConfirmedSet(
        [&]() -> int32_t {
            return pCamera->SetROI(left.left, left.top, right.left, right.top, left.right - left.left,
                                   left.bottom - left.top);
        },
        "Set Detect ROI Failed",
        [&](const SKxLaserEyeProperties& check) {
            const SKxNLROIRect& l = check.sLeftROI;
            const SKxNLROIRect& r = check.sRightROI;
            return l.left == left.left && l.right == left.right && l.top == left.top &&
                   l.bottom == left.bottom && r.left == right.left && r.right == right.right &&
                   r.top == right.top && r.bottom == right.bottom;
        },
        "Set & Get ROI Data No Match");
    if (nResult != 0) return nResult;
    {
        std::lock_guard<std::mutex> lock(m_frameStateMutex);
        m_sProperties.sLeftROI = left;
        m_sProperties.sRightROI = right;
    }
    return KX_OK;
}

int32_t CKxLaserEyeDevice::ApplyFrameRate(uint16_t nRate) {
    const CKxHeldCamera held(*this);  // Close on another thread may drop the device's reference
    IOrEyeCamera* pCamera = held.Camera();
    if (pCamera == nullptr) return KX_E_NOT_OPEN;
    if (pCamera == nullptr) return KX_E_NOT_OPEN;
    const int32_t nResult = Retry([&]() -> int32_t {
        return pCamera->SetParam(c_nParamFrameRate, &nRate, static_cast<int>(sizeof(nRate)));
    });
    if (nResult == 0) {
        const SKxNLROIRect& roi = m_sProperties.sLeftROI;
        KxLogUtils::PrintLog(c_nKxLogDetail, "ROI %d %d Set FrameRate %d", roi.right - roi.left,
                             roi.bottom - roi.top, static_cast<int>(nRate));
    }
    return nResult;
}

// ---- open and close ----

void CKxLaserEyeDevice::ParseDeviceParam(const uint8_t* pbyPage, unsigned int nLength) {
    m_sDeviceParam = KxDeviceParamUtils::ParseDeviceParam(pbyPage, nLength);
}

void CKxLaserEyeDevice::BuildCompensateTable(const uint8_t* pbyPage, unsigned int nLength) {
    // Result blocks of an earlier opening keep pointing into the table, so it is built once per
    // object and never grown or moved afterwards.
    if (m_pCompensate != nullptr) return;
    std::vector<SKxCompensateEntry> table = KxDeviceParamUtils::BuildCompensateEntries(pbyPage, nLength);
    if (table.empty()) return;
    m_pCompensate = new CKxCompensateTable(std::move(table));
}

int32_t CKxLaserEyeDevice::Open(int32_t /*nReserved*/) {
    // The device counts as open from the moment its camera object exists: an operation on another
    // thread must not read or fill the property cache while Open is still reading it.
    std::lock_guard<std::recursive_mutex> deviceLock(m_mutex);
    if (IsOpen()) return KX_OK;

    const uint32_t nFlags = m_sDevInfo.nDeviceFlags;
    OREYEAPI_TYPE eType = OREYEAPI_TYPE_SMALL_SMART_EYE;
    int nMode = 3;
    if (nFlags & c_nKxFlagLocal) {
        eType = OREYEAPI_TYPE_LOCAL;
    } else if (nFlags & c_nKxFlagEthernet) {
        eType = OREYEAPI_TYPE_ETHERNET;
        if (nFlags & c_nKxFlagStandard)
            nMode = 7;
        else if (nFlags & c_nKxFlagLarge)
            nMode = 5;
    }

    IOrEyeCamera* pCamera = CreateOrEyeApi(eType);
    if (pCamera == nullptr) return KX_E_NO_CAMERA;
    // A new camera object streams nothing. Close keeps the capture flag, and a StopCapture that
    // failed on a vanished camera left it set: kept, it would make the next StartCapture only swap
    // the callback and answer success with the stream off.
    m_bCapturing.store(false);
    // A new camera object: a loss of the previous one (offline) is over with it. Close and Open
    // are how an application takes a lost camera back.
    m_bOffline.store(false);
    m_bFrameEventOff = false;
    m_bOpenComplete = false;
    std::atomic_ref<CKxCameraHolder*>(m_pCameraHolder).store(new CKxCameraHolder(pCamera));
    std::atomic_ref<IOrEyeCamera*>(pICoreEye).store(pCamera);

    static const uint8_t c_byNoID[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    if (std::memcmp(m_sDevInfo.byDeviceID, c_byNoID, sizeof(c_byNoID)) != 0)
        pCamera->SelectDevice(m_sDevInfo.byDeviceID);

    // The record comes from the caller: never trust its text to be terminated.
    char szConnect[sizeof(m_sDevInfo.szConnectText) + 1] = {};
    std::memcpy(szConnect, m_sDevInfo.szConnectText, sizeof(m_sDevInfo.szConnectText));
    const char* pszConnect = (nMode == 5 && szConnect[0] == '\0') ? nullptr : szConnect;
    int32_t nResult = pCamera->InitDevice(static_cast<int>(m_sDevInfo.sVideoRes.nFrameWidth),
                                          static_cast<int>(m_sDevInfo.sVideoRes.nFrameHeight), 0,
                                          nMode, pszConnect);
    if (nResult != 0) return nResult;

    nResult = Retry([&]() -> int32_t { return pCamera->EnableDevice(1); });
    if (nResult != 0) return nResult;

    nResult = ReadLaserInfoRuns(m_sProperties, m_nPropertyMask);
    if (nResult != 0) return nResult;

    SKxVideoResolution& res = m_sDevInfo.sVideoRes;
    if (res.nVersion > c_nLaserEyeHwVersion) {
        KxLogUtils::PrintLog(c_nKxLogError, "Device Hardware Version Not Enough");
        return KX_E_NOT_SUPPORTED;
    }

    if (res.nVersion >= 6) {
        if (nFlags & c_nKxFlagLocal) {
            uint8_t byDisparity[8] = {};
            nResult = Retry([&]() -> int32_t {
                return pCamera->GetParam(c_nParamDisparity, byDisparity, static_cast<int>(sizeof(byDisparity)));
            });
            if (nResult != 0) return nResult;
            res.nRightOffset = static_cast<uint32_t>(byDisparity[0]) * 256u + byDisparity[1];
        } else {
            uint16_t nDisparity = 0;
            nResult = Retry([&]() -> int32_t {
                return pCamera->GetParam(c_nParamDisparity, &nDisparity, static_cast<int>(sizeof(nDisparity)));
            });
            res.nRightOffset = nResult == 0 ? nDisparity : 0;
        }
    }

    if (KxDetectUtils::IsValidDetectROI(m_sProperties.sLeftROI, m_sProperties.sRightROI, res, nFlags,
                                        nullptr) != 0) {
        nResult = ApplyFrameRate(c_nDefaultFrameRate);
        if (nResult != 0) return nResult;
        SKxNLROIRect roi;
        roi.left = 0;
        roi.right = static_cast<int32_t>(res.nFrameWidth);
        roi.top = 0;
        roi.bottom = static_cast<int32_t>(res.nFrameHeight) - static_cast<int32_t>(c_nDefaultRoiBottomMargin);
        nResult = ApplyDetectROI(roi, roi);
        if (nResult != 0) {
            KxLogUtils::PrintLog(c_nKxLogError, "Set Detect ROI Failed");
            return nResult;
        }
    }

    nResult = Retry([&]() -> int32_t { return pCamera->SetROIMode(1); });
    if (nResult != 0) {
        KxLogUtils::PrintLog(c_nKxLogError, "Set ROI Mode Failed");
        return nResult;
    }

    if (res.nVersion >= 8) {
        // Version 8 cameras may carry a swing motor; without one the device works as usual.
        const int32_t nSwingResult = CKxEyeSwingMotorDevice::Create(this, &m_pSwingDevice);
        KxLogUtils::PrintLog(c_nKxLogState, "Open Swing Device %s", nSwingResult == 0 ? "Success" : "Failed");
    }

    std::unique_ptr<uint8_t[]> pbyPage(new uint8_t[c_nStorageBytes]());
    const int32_t nStorageResult = Retry([&]() -> int32_t {
        return pCamera->ReadStorage(c_nStorageAddress, pbyPage.get(), c_nStorageBytes);
    });
    ParseDeviceParam(pbyPage.get(), c_nStorageBytes);
    BuildCompensateTable(pbyPage.get(), c_nStorageBytes);

    pCamera->SetFrameCallback(1, &CKxLaserEyeDevice::FrameEventThunk, this);
    pCamera->SetOption(0, 5000);
    pCamera->SetOptionEx(0, 5000, 2);
    m_bOpenComplete = true;
    return nStorageResult;
}

void CKxLaserEyeDevice::Close() {
    if (m_bReconnecting.load() && !OnReconnectThread()) {
        // The application closes a device that is being taken back: the trying ends, and the
        // attempt under way (it holds the device mutex) finishes before this Close goes on.
        CancelReconnect();
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        m_bReconnecting = false;
        m_bOffline = true;
        CloseCamera();
        return;
    }
    CloseCamera();
}

void CKxLaserEyeDevice::CloseCamera() {
    if (!IsOpen()) return;
    IOrEyeCamera* pCamera = pICoreEye;
    // A lost camera is not asked anything: on the Ethernet path each call would wait for the
    // camera's silence again.
    const bool bOffline = m_bOffline.load();
    bool bStreamOff = false;
    // Close always ends the capture, whatever the camera answers: IsCapturing is false after it.
    if (m_bCapturing.exchange(false)) {
        if (!bOffline) pCamera->EnableStream(0);
        bStreamOff = true;
        KxLogUtils::PrintLog(c_nKxLogState, "Close Device");
        IKxSignal* pSignal = nullptr;
        {
            std::lock_guard<std::mutex> lock(m_frameStateMutex);
            pSignal = m_pISignalFinish;
            m_pISignalFinish = nullptr;
        }
        if (pSignal) {
            pSignal->NotifyStop();  // a thread waiting for the sweep's end must not wait for ever
            pSignal->Release();
        }
    }
    if (m_pSwingDevice) {
        // An application may still hold the motor: cut it off from this device first.
        m_pSwingDevice->Detach();
        m_pSwingDevice->Release();
        m_pSwingDevice = nullptr;
    }
    CKxCameraHolder* pHolder = m_pCameraHolder;
    if (pHolder->GetRefCount() > 1) {
        // Blocks kept by the application keep the camera object alive past this Close: it must
        // never call into this device again, nor go on filling buffers.
        pCamera->SetFrameCallback(0, nullptr, nullptr);
        if (!bStreamOff && !bOffline) pCamera->EnableStream(0);
    }
    {
        // Under the leaf lock: a transfer adding its reference (AcquireCameraHolder) either
        // sees the holder before this reference goes, or sees null.
        std::lock_guard<std::mutex> lock(m_frameStateMutex);
        std::atomic_ref<IOrEyeCamera*>(pICoreEye).store(nullptr);
        std::atomic_ref<CKxCameraHolder*>(m_pCameraHolder).store(nullptr);
    }
    pHolder->Release();
}

bool CKxLaserEyeDevice::IsOpen() {
    // Close on another thread may be clearing the pointer right now.
    return std::atomic_ref<IOrEyeCamera*>(pICoreEye).load() != nullptr;
}

// ---- getters and simple operations ----

const SKxNLEyeDeviceInfoEx* CKxLaserEyeDevice::GetDeviceInfo() { return &m_sDevInfo; }

int32_t CKxLaserEyeDevice::Reserved8() { return KX_OK; }
int32_t CKxLaserEyeDevice::Reserved10() { return KX_OK; }
int32_t CKxLaserEyeDevice::Reserved11() { return 1; }
int32_t CKxLaserEyeDevice::Reserved49() { return KX_OK; }
int32_t CKxLaserEyeDevice::Reserved52() {
    const int32_t nValid = CheckValid();
    return nValid != 0 ? nValid : KX_E_NOT_SUPPORTED;
}
int32_t CKxLaserEyeDevice::Reserved53() { return KX_E_NOT_SUPPORTED; }
bool CKxLaserEyeDevice::Reserved67() { return false; }
bool CKxLaserEyeDevice::Reserved68() { return false; }

int32_t CKxLaserEyeDevice::SetEventHandler(IKxDeviceEventHandler* pHandler) {
    // Reference the new handler first: the same handler may be set again.
    if (pHandler) pHandler->AddRef();
    IKxDeviceEventHandler* pOld = nullptr;
    {
        // The camera thread may be reading the pointer to raise an event right now.
        std::lock_guard<std::mutex> lock(m_frameStateMutex);
        pOld = m_pIEventHandler;
        m_pIEventHandler = pHandler;
    }
    // Outside the leaf lock: the last Release runs the application's destructor.
    if (pOld) pOld->Release();
    return KX_OK;
}

int32_t CKxLaserEyeDevice::GetVideoResolution(uint32_t* pnWidth, uint32_t* pnHeight) {
    const int32_t nValid = CheckValid();
    if (nValid != 0) return nValid;
    if (pnWidth) *pnWidth = m_sDevInfo.sVideoRes.nFrameWidth;
    if (pnHeight) *pnHeight = m_sDevInfo.sVideoRes.nFrameHeight;
    return KX_OK;
}

void CKxLaserEyeDevice::Lock() { m_mutex.lock(); }
void CKxLaserEyeDevice::Unlock() { m_mutex.unlock(); }

IOrEyeCamera* CKxLaserEyeDevice::GetCoreEye() { return pICoreEye; }
uint32_t CKxLaserEyeDevice::GetHWVersion() { return m_sDevInfo.sVideoRes.nVersion; }
bool CKxLaserEyeDevice::IsCapturing() { return m_bCapturing.load(); }

void CKxLaserEyeDevice::SetReservedFlag(bool bFlag) { m_bReservedFlag = bFlag; }
bool CKxLaserEyeDevice::GetReservedFlag() { return m_bReservedFlag; }
bool CKxLaserEyeDevice::GetReservedState() { return m_bReservedState; }

bool CKxLaserEyeDevice::GetSwingMotorDevice(IKxSwingMotorDevice** ppMotor) {
    IKxSwingMotorDevice* pMotor = m_pSwingDevice;
    if (ppMotor) {
        if (pMotor) pMotor->AddRef();
        *ppMotor = pMotor;
    }
    return pMotor != nullptr;
}

IKxDeviceEventHandler* CKxLaserEyeDevice::AcquireEventHandler() {
    std::lock_guard<std::mutex> lock(m_frameStateMutex);
    IKxDeviceEventHandler* pHandler = m_pIEventHandler;
    if (pHandler) pHandler->AddRef();
    return pHandler;
}

void CKxLaserEyeDevice::RaiseEvent(int32_t nEvent) {
    // Called with no lock held: the handler may call back into the device.
    IKxDeviceEventHandler* pHandler = AcquireEventHandler();
    if (pHandler == nullptr) return;
    pHandler->OnDeviceEvent(this, nEvent);
    pHandler->Release();
}

void CKxLaserEyeDevice::SetOffline() {
    // An attempt of the reconnect thread that failed: the loss was told already.
    if (m_bReconnecting.load()) {
        m_bOffline.store(true);
        return;
    }
    if (m_bOffline.exchange(true)) return;
    KxLogUtils::PrintLog(c_nKxLogError, "Device Is Offline");
    {
        std::lock_guard<std::mutex> lock(m_mtxReconnect);
        if (m_bReconnectOn && IsOpen()) {
            m_bResumeWanted = m_bCapturing.load();
            m_bReconnecting = true;
            m_bLossPending = true;
            m_cvReconnect.notify_all();
        }
    }
    RaiseEvent(c_nKxEventOffline);
}

void CKxLaserEyeDevice::NotifyEvent() { RaiseEvent(c_nKxEventNotify); }

// ---- position encoder manager ----

int32_t CKxLaserEyeDevice::SetWheelRadius(double dRadius) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_encoder.SetWheelRadius(dRadius);
}

double CKxLaserEyeDevice::GetWheelRadius() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    double dRadius = 0.0;
    m_encoder.GetWheelRadius(&dRadius);
    return dRadius;
}

int32_t CKxLaserEyeDevice::SetPulsePerRound(uint32_t nPulses) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_encoder.SetPulsePerRound(nPulses);
}
