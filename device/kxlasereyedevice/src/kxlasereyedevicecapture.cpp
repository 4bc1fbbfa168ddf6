// Capture pipeline, application side: StartCapture, StopCapture, StopDevice, the pull road
// (GetLaserResult, Detect, GetImage), CheckOnline and the image (debug) mode operations. The
// camera library's side (the frame-event function) is in kxlasereyedeviceframe.cpp.
#include <atomic>
#include <mutex>

#include "kxeyeswingmotordevice.h"
#include "kxkernel.h"
#include "kxlasereyedevice.h"
#include "kxlasereyedevicecapture.h"
#include "kxlasereyeinnerutils.h"
#include "kxlasereyeresultblock.h"

namespace {

template <class T>
void SafeRelease(T*& p) {
    if (p) {
        p->Release();
        p = nullptr;
    }
}

// Which camera wait the pull road uses.
enum class EPullWait { Stream, Single };

// Columns of the ROI grid that capture start centres the ROIs on.
const uint32_t c_nCentreAlign = 32;

}  // namespace

// ---- continuous capture ----

int32_t CKxLaserEyeDevice::StartCapture(int32_t /*nReserved*/, IKxLaserDataCallBack* pCallBack,
                                        IKxSignal** ppFinishSignal) {
    // Delivery to a null callback must never happen: refuse it before anything changes, so that a
    // running capture keeps its callback and its finish signal.
    if (pCallBack == nullptr) {
        KxLogUtils::PrintLog(c_nKxLogError, "%s Null Data Callback", KX_DEVICE_OP("StartCapture"));
        return KX_E_NULL_ARGUMENT;
    }
    std::atomic_ref<IKxLaserDataCallBack*>(pIDataCallBack).store(pCallBack);

    // Every failure drops the finish signal first.
    auto fail = [&](int32_t nCode) -> int32_t {
        IKxSignal* pOld = nullptr;
        {
            std::lock_guard<std::mutex> lock(m_frameStateMutex);
            pOld = m_pISignalFinish;
            m_pISignalFinish = nullptr;
        }
        SafeRelease(pOld);
        return nCode;
    };

    const int32_t nValid = CheckValid();
    if (nValid != 0) return fail(nValid);

    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (!IsOpen()) return fail(KX_E_NOT_OPEN);  // closed on another thread meanwhile
    if (m_bCapturing.load()) return KX_OK;  // only the callback is replaced

    int32_t nResult = SwitchDebug(m_bDebugRequest ? 1 : 0);
    if (nResult != 0) return fail(nResult);

    if (m_sDevInfo.nDeviceFlags & c_nKxFlagLocal) {
        const uint16_t nRate = GetAutoFrameRate();
        if (nRate != m_nFrameRate) {
            KxLogUtils::PrintLog(c_nKxLogState, "Set FrameRate %d Use FrameRate%d", m_nFrameRate, nRate);
            nResult = ApplyFrameRate(nRate);
            if (nResult != 0) {
                KxLogUtils::PrintLog(c_nKxLogError, "Start Auto Detect Set Frame Rate Failed");
                return fail(nResult);
            }
        }
    }

    {
        std::lock_guard<std::mutex> frameLock(m_frameStateMutex);
        KxCaptureUtils::ResetContinuity(*this);
    }
    m_encoder.ResetCounter();

    if (ppFinishSignal != nullptr && IsSwingActive()) {
        if (m_pSwingDevice->GetSwingMode() == 1) {
            m_pSwingDevice->RunMotor(true);
            IKxSignal* pNew = nullptr;
            if (!KxKernel::KxCreateSignal(&pNew)) pNew = nullptr;
            IKxSignal* pOld = nullptr;
            {
                std::lock_guard<std::mutex> frameLock(m_frameStateMutex);
                pOld = m_pISignalFinish;
                m_pISignalFinish = pNew;
            }
            SafeRelease(pOld);
        }
        if (KxGlobalSetting::GetSetting()->byCenterROI != 0) {
            SKxNLROIRect sLeft, sRight;
            {
                std::lock_guard<std::mutex> frameLock(m_frameStateMutex);
                sLeft = m_sProperties.sLeftROI;
                sRight = m_sProperties.sRightROI;
            }
            const uint32_t nFrameWidth = m_sDevInfo.sVideoRes.nFrameWidth;
            const uint32_t nWidth = static_cast<uint32_t>(sLeft.right - sLeft.left);
            // A ROI wider than the frame has no centred place; it stays where it is.
            if (nWidth <= nFrameWidth) {
                uint32_t x = (nFrameWidth - nWidth) / 2;
                const uint32_t r = x % c_nCentreAlign;
                if (r != 0) x = r < c_nCentreAlign / 2 ? x - r : x + c_nCentreAlign - r;
                const int32_t nX = static_cast<int32_t>(x);
                const int32_t nW = static_cast<int32_t>(nWidth);
                const SKxNLROIRect sNewLeft{nX, nX + nW, sLeft.top, sLeft.bottom};
                const SKxNLROIRect sNewRight{nX, nX + nW, sRight.top, sRight.bottom};
                ApplyDetectROI(sNewLeft, sNewRight);
            }
        }
        if (m_bSwingOnCapture) {
            nResult = m_pSwingDevice->MoveToOrigin(true);
            if (nResult != 0) return fail(nResult);
        }
    }

    std::atomic_ref<bool>(m_bTriggerActive).store(false);

    const CKxHeldCamera held(*this);  // Close on another thread may drop the device's reference
    IOrEyeCamera* pCamera = held.Camera();
    if (pCamera == nullptr) return fail(KX_E_NOT_OPEN);
    if (m_bFrameEventOff) {
        // A failed StopCapture unregistered the frame-event function.
        pCamera->SetFrameCallback(1, &CKxLaserEyeDevice::FrameEventThunk, this);
        m_bFrameEventOff = false;
    }
    nResult = Retry([&]() -> int32_t { return pCamera->EnableStream(1); });
    if (nResult != 0) {
        KxLogUtils::PrintLog(c_nKxLogError, "Start Laser Thread Failed");
        return fail(nResult);
    }

    m_bCapturing.store(true);
    KxLogUtils::PrintLog(c_nKxLogDetail, "Start Capture Status: %s", "True");
    if (ppFinishSignal != nullptr) {
        std::lock_guard<std::mutex> frameLock(m_frameStateMutex);
        *ppFinishSignal = m_pISignalFinish;
        if (m_pISignalFinish) m_pISignalFinish->AddRef();
    }
    return KX_OK;
}

int32_t CKxLaserEyeDevice::StopCapture() {
    // StopCapture always ends the capture, whatever the camera answers; the code it returns says
    // what happened: 0, the camera's refusal of the stream-off, or KX_E_OFFLINE when the camera is
    // lost (then nothing is sent to it).
    // The application stopped: a capture it had is not resumed after a reconnect.
    if (!OnReconnectThread()) m_bResumeWanted = false;
    if (!IsOpen()) return KX_E_NOT_OPEN;
    int32_t nResult = KX_OK;
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        if (!IsOpen()) return KX_E_NOT_OPEN;  // closed on another thread meanwhile
        m_bCapturing.store(false);
        if (m_bOffline.load()) {
            nResult = KX_E_OFFLINE;
        } else {
            const CKxHeldCamera held(*this);  // Close on another thread may drop the device's reference
            IOrEyeCamera* pCamera = held.Camera();
            if (pCamera == nullptr) return KX_E_NOT_OPEN;
            nResult = Retry([&]() -> int32_t { return pCamera->EnableStream(0); });
            if (nResult != 0) {
                KxLogUtils::PrintLog(c_nKxLogError, "Stop Capture Thread Failed");
                // A camera that refused may go on streaming: its frames must not reach an
                // application that stopped (nor log one line each as frames of a stopped capture).
                if (!m_bOffline.load()) {
                    pCamera->SetFrameCallback(0, nullptr, nullptr);
                    m_bFrameEventOff = true;
                }
            }
        }
        // Frames that passed the capturing test before it was cleared finish their result block
        // before the image mode, the ROIs or the signal change under them. Building a block
        // calls no application code, so this wait cannot be held up by the device mutex.
        if (!KxCaptureUtils::WaitFramesDrained(*this, true)) {
            KxLogUtils::PrintLog(c_nKxLogError, "%s Frames Still Building", KX_DEVICE_OP("StopCapture"));
        }

        const bool bOnline = !m_bOffline.load();
        if (m_bRestoreDebug && bOnline) SwitchDebug(m_nRestoreDebug == 1 ? 1 : 0);

        IKxSignal* pSignal = nullptr;
        {
            std::lock_guard<std::mutex> frameLock(m_frameStateMutex);
            pSignal = m_pISignalFinish;
            m_pISignalFinish = nullptr;
        }
        if (pSignal) {
            pSignal->NotifyStop();
            pSignal->Release();
        }

        if (bOnline && IsSwingActive()) {
            m_pSwingDevice->SendCommand13();
            if (m_bSwingOnCapture) m_pSwingDevice->MoveToCenter(true);
            m_pSwingDevice->RunMotor(false);
        }
    }
    // Once StopCapture returns, the data callback is not called again: wait, outside the device
    // mutex (a callback may take it), for deliveries still running on the camera's thread.
    if (!KxCaptureUtils::WaitFramesDrained(*this, false)) {
        KxLogUtils::PrintLog(c_nKxLogError, "%s Frame Callback Still Running", KX_DEVICE_OP("StopCapture"));
    }
    return nResult;
}

int32_t CKxLaserEyeDevice::StopDevice() {
    const int32_t nValid = CheckValid();
    // A lost camera: the capture ends all the same (StopCapture sends nothing then).
    if (nValid == KX_E_OFFLINE && m_bCapturing.load()) StopCapture();
    if (nValid != 0) return nValid;
    const int32_t nResult = pICoreEye->EnableStream(0);
    KxLogUtils::PrintLog(c_nKxLogState, "StopCapture");
    if (nResult == 0 && m_bCapturing.load()) StopCapture();
    return nResult;
}

// ---- pull road ----

namespace {

// One frame pulled by an application thread into buffers of the device's pools.
int32_t PullFrame(CKxLaserEyeDevice& dev, EPullWait eWait, uint32_t nTimeoutMs,
                  CKxLaserEyeResultBlock** ppBlock) {
    *ppBlock = nullptr;
    IOrEyeCamera* pCamera = dev.pICoreEye;
    if (pCamera == nullptr) return KX_E_NOT_OPEN;
    if (dev.m_pIMemPool == nullptr) {
        KxLogUtils::PrintLog(c_nKxLogError, "Laser Device %p: No Memory Pool", static_cast<void*>(&dev));
        return KX_E_NULL_ARGUMENT;
    }

    // GetLaserResult runs on an application thread without the device lock for its wait; the
    // short reads and writes of the property cache around the wait take it, so that they cannot
    // interleave with a StopCapture/StartCapture or a parameter read on another thread.
    bool bImages = false;
    SKxNLROIRect sLeft, sRight;
    {
        std::lock_guard<std::recursive_mutex> devLock(dev.m_mutex);
        std::lock_guard<std::mutex> lock(dev.m_frameStateMutex);
        bImages = dev.m_sProperties.bDebugMode;
        sLeft = dev.m_sProperties.sLeftROI;
        sRight = dev.m_sProperties.sRightROI;
    }
    const int32_t nWidth = sLeft.right - sLeft.left;
    const int32_t nHeight = sLeft.bottom - sLeft.top;

    IKxSurface* pLeft = nullptr;
    IKxSurface* pRight = nullptr;
    uint8_t* apDest[3] = {nullptr, nullptr, nullptr};
    auto dropSurfaces = [&]() {
        if (apDest[0]) pLeft->Unlock();
        if (apDest[1]) pRight->Unlock();
        SafeRelease(pLeft);
        SafeRelease(pRight);
    };

    if (bImages) {
        if (dev.m_pISurfacePool == nullptr || nWidth <= 0 || nHeight <= 0) {
            KxLogUtils::PrintLog(c_nKxLogError, "Laser Device %p: No Image Surfaces", static_cast<void*>(&dev));
            return KX_E_NULL_ARGUMENT;
        }
        if (dev.m_pISurfacePool->AllocSurface(nWidth, nHeight, c_nKxPixelFormatGray8, sLeft.left, sLeft.top,
                                              &pLeft) != 0 ||
            pLeft == nullptr ||
            dev.m_pISurfacePool->AllocSurface(nWidth, nHeight, c_nKxPixelFormatGray8, sRight.left, sRight.top,
                                              &pRight) != 0 ||
            pRight == nullptr) {
            KxLogUtils::PrintLog(c_nKxLogError, "Laser Device %p: No Image Surfaces", static_cast<void*>(&dev));
            dropSurfaces();
            return KX_E_NULL_ARGUMENT;
        }
        uint8_t* pPixels = nullptr;
        if (pLeft->Lock(&pPixels) == 0) apDest[0] = pPixels;
        pPixels = nullptr;
        if (pRight->Lock(&pPixels) == 0) apDest[1] = pPixels;
        if (apDest[0] == nullptr || apDest[1] == nullptr) {
            dropSurfaces();
            return KX_E_NULL_ARGUMENT;
        }
    }

    IKxMemBlock* pMem = nullptr;
    SKxMemData data{};
    if (dev.m_pIMemPool->Allocate(c_nKxLaserFrameBytes, &pMem) != 0 || pMem == nullptr) {
        KxLogUtils::PrintLog(c_nKxLogError, "Laser Device %p: No Memory Block", static_cast<void*>(&dev));
        dropSurfaces();
        return KX_E_NULL_ARGUMENT;
    }
    if (pMem->GetData(&data) != 0 || data.pData == nullptr || data.nLength < c_nKxLaserFrameBytes) {
        if (data.pData) pMem->EndAccess();
        pMem->Release();
        dropSurfaces();
        return KX_E_NULL_ARGUMENT;
    }
    apDest[2] = data.pData;

    unsigned int nLength = 0;
    unsigned int nFrameId = 0;
    const int32_t nResult = dev.Retry([&]() -> int32_t {
        return eWait == EPullWait::Stream ? pCamera->WaitStreamFrame(apDest, &nLength, &nFrameId, nTimeoutMs)
                                          : pCamera->GrabFrame(apDest, &nLength, &nFrameId, nTimeoutMs);
    });

    KxCaptureUtils::SKxFrameWords words{};
    uint64_t nTimeUs = 0, nFrameIndex = 0;
    if (nResult == 0) {
        words = KxCaptureUtils::ReadFrameWords(data.pData, dev.m_sDevInfo.sVideoRes.nVersion);
        std::lock_guard<std::recursive_mutex> devLock(dev.m_mutex);
        std::lock_guard<std::mutex> lock(dev.m_frameStateMutex);
        if (eWait == EPullWait::Stream) {
            KxCaptureUtils::AdvanceContinuity(dev, words, 0, false, &nTimeUs, &nFrameIndex);
        }
        KxCaptureUtils::FollowROI(dev, data.pData);
        sLeft = dev.m_sProperties.sLeftROI;
        sRight = dev.m_sProperties.sRightROI;
    } else if (nResult == KX_E_CAMERA_OFFLINE) {
        dev.SetOffline();  // event 4 and "Device Is Offline", once per loss (the retry loop came first)
    }

    pMem->EndAccess();
    if (pLeft) {
        pLeft->Unlock();
        pLeft->SetOrigin(sLeft.left, sLeft.top);
    }
    if (pRight) {
        pRight->Unlock();
        pRight->SetOrigin(sRight.left, sRight.top);
    }

    if (nResult == 0) {
        const bool bCreated = CreateLaserEyeResultBlock(
            pLeft, pRight, pMem, dev.m_pCompensate ? dev.m_pCompensate->Data() : nullptr,
            dev.m_pCompensate ? dev.m_pCompensate->Count() : 0, words.nTimestamp, words.nCounter, nTimeUs,
            nFrameIndex, 0, 0, static_cast<uint32_t>(sLeft.left), static_cast<uint32_t>(sRight.left),
            dev.m_sDevInfo.sVideoRes.nVersion, static_cast<int32_t>(dev.m_sDevInfo.sVideoRes.nRightOffset),
            dev.m_sDeviceParam.adCoordOffset, dev.m_pIMemPool, ppBlock, dev.m_pCompensate);
        if (!bCreated) *ppBlock = nullptr;
    }
    SafeRelease(pLeft);
    SafeRelease(pRight);
    pMem->Release();
    if (nResult == 0 && *ppBlock == nullptr) return KX_E_NULL_ARGUMENT;
    return nResult;
}

}  // namespace

int32_t CKxLaserEyeDevice::GetLaserResult(IKxLaserEyeResultBlock** ppBlock, uint32_t nTimeoutMs) {
    if (ppBlock == nullptr) return KX_E_NULL_ARGUMENT;
    *ppBlock = nullptr;
    if (!m_bCapturing.load()) return KX_E_NOT_CAPTURING;
    if (m_bOffline.load()) return KX_E_OFFLINE;
    // Close leaves the capturing flag as it was; the camera is gone then.
    if (std::atomic_ref<IOrEyeCamera*>(pICoreEye).load() == nullptr) return KX_E_NOT_OPEN;
    CKxLaserEyeResultBlock* pBlock = nullptr;
    const int32_t nResult = PullFrame(*this, EPullWait::Stream, nTimeoutMs, &pBlock);
    *ppBlock = pBlock;
    return nResult;
}

namespace {

// Detect and GetImage: one frame with the single-shot wait while the frame-event function is
// unregistered, the trigger forced to mode 1 and the dynamic ROI off.
int32_t SingleShot(CKxLaserEyeDevice& dev, const char* pszName, bool bImages, uint32_t nTimeoutMs,
                   CKxLaserEyeResultBlock** ppBlock) {
    *ppBlock = nullptr;
    const int32_t nValid = dev.CheckValid();
    if (nValid != 0) return nValid;
    std::lock_guard<std::recursive_mutex> lock(dev.m_mutex);
    int32_t nResult = dev.CheckBusy(pszName);
    if (nResult != 0) return nResult;

    if (bImages) {
        nResult = dev.SwitchDebug(1);
        if (nResult != 0) return nResult;
    }
    dev.SaveProperties();
    nResult = dev.SetTriggerMode(1);
    if (nResult != 0) {
        dev.RestoreTriggerMode();
        return nResult;
    }

    IOrEyeCamera* pCamera = dev.pICoreEye;
    pCamera->SetFrameCallback(0, nullptr, nullptr);
    bool bDynamicOff = false;
    if (dev.m_sProperties.nDynamicROI != 0 && (dev.m_nPropertyMask & c_nMaskDynamicROI) != 0) {
        bDynamicOff = dev.EnableDynamicROI(false) == 0;
    }

    const int32_t nPull = PullFrame(dev, EPullWait::Single, nTimeoutMs, ppBlock);

    pCamera->SetFrameCallback(1, &CKxLaserEyeDevice::FrameEventThunk, &dev);
    if (bDynamicOff) dev.EnableDynamicROI(true);
    dev.RestoreTriggerMode();
    return nPull;
}

const uint32_t c_nDetectTimeoutMs = 2000;

}  // namespace

int32_t CKxLaserEyeDevice::Detect(IKxLaserEyeResultBlock** ppBlock) {
    if (ppBlock == nullptr) return KX_E_NULL_ARGUMENT;
    *ppBlock = nullptr;
    CKxLaserEyeResultBlock* pBlock = nullptr;
    const int32_t nResult =
        SingleShot(*this, KX_DEVICE_OP("Detect"), m_bDetectDebug, c_nDetectTimeoutMs, &pBlock);
    *ppBlock = pBlock;
    return nResult;
}

int32_t CKxLaserEyeDevice::GetImage(IKxSurface** ppLeft, IKxSurface** ppRight, uint32_t nTimeoutMs) {
    if (ppLeft == nullptr || ppRight == nullptr) return KX_E_NULL_ARGUMENT;
    *ppLeft = nullptr;
    *ppRight = nullptr;
    CKxLaserEyeResultBlock* pBlock = nullptr;
    int32_t nResult = SingleShot(*this, KX_DEVICE_OP("GetImage"), true, nTimeoutMs, &pBlock);
    if (nResult == 0 && pBlock != nullptr) {
        if (!pBlock->GetSurfaces(ppLeft, ppRight)) {
            // The frame came without images although the image mode was switched on.
            *ppLeft = nullptr;
            *ppRight = nullptr;
            nResult = KX_E_NOT_SUPPORTED;
        }
    }
    SafeRelease(pBlock);
    return nResult;
}

bool CKxLaserEyeDevice::CheckOnline() {
    if (!IsOpen()) return false;
    // A lost camera stays lost for this opening (Close and Open take it back): no camera call.
    if (m_bOffline.load()) return false;
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (CheckBusy(KX_DEVICE_OP("CheckOnline")) != 0) return false;
    SKxLaserEyeProperties sScratch{};
    uint32_t nScratchMask = 0;
    return ReadLaserInfo(sScratch, nScratchMask) == 0;
}

// ---- image (debug) mode ----

int32_t CKxLaserEyeDevice::ApplyDebugMode() {
    if (!IsOpen()) return KX_E_NOT_OPEN;
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    // A switch under a running stream would change the frame layout the frame thread reads.
    const int32_t nBusy = CheckBusy(KX_DEVICE_OP("ApplyDebugMode"));
    if (nBusy != 0) return nBusy;
    return SwitchDebug(m_bDebugRequest ? 1 : 0);
}

int32_t CKxLaserEyeDevice::SetDebugMode(bool bOn) {
    const int32_t nValid = CheckValid();
    if (nValid != 0) return nValid;
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_bDebugRequest = bOn;
    return KX_OK;
}

bool CKxLaserEyeDevice::GetDebugMode() { return m_bDebugRequest; }

int32_t CKxLaserEyeDevice::ConfigDebugCapture(bool bRestore, int32_t nMode) {
    if (!IsOpen()) return KX_E_NOT_OPEN;
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_bRestoreDebug = bRestore;
    m_nRestoreDebug = static_cast<uint32_t>(nMode);
    if (!bRestore) return KX_OK;
    const int32_t nBusy = CheckBusy(KX_DEVICE_OP("ConfigDebugCapture"));
    if (nBusy != 0) return nBusy;
    return SwitchDebug(nMode == 1 ? 1 : 0);
}

bool CKxLaserEyeDevice::IsDebugModeOn() { return m_sProperties.bDebugMode; }

void CKxLaserEyeDevice::EnableDetectDebug(bool bOn) { m_bDetectDebug = bOn; }
bool CKxLaserEyeDevice::IsDetectDebugEnabled() { return m_bDetectDebug; }
void CKxLaserEyeDevice::EnableSwingOnCapture(bool bOn) { m_bSwingOnCapture = bOn; }
bool CKxLaserEyeDevice::IsSwingOnCapture() { return m_bSwingOnCapture; }

int32_t CKxLaserEyeDevice::EnableTriggerFilter(bool bOn) {
    std::atomic_ref<bool>(m_bTriggerFilter).store(bOn);
    return KX_OK;
}
