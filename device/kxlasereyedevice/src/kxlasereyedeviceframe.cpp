// The push road of continuous capture: the frame-event function that the camera library calls on
// its own thread, and the per-frame arithmetic shared with the pull road.
//
// Threads. The frame-event function runs without the device mutex. What it shares with
// application threads is kept small:
// - m_bCapturing is atomic; a frame counts itself in m_nFramesBuilding before it tests it, so
//   that StopCapture, which clears the flag first, can wait for frames already past the test;
// - the ROI follow, the per-capture sums and the finish signal pointer live under
//   m_frameStateMutex, a leaf lock held only for a few loads and stores;
// - the callback pointer and the trigger-filter flags are read and written atomically;
// - the application's callback and event handler are called with no lock held.
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "kxeyeswingmotordevice.h"
#include "kxkernel.h"
#include "kxlasereyedevice.h"
#include "kxlasereyedevicecapture.h"
#include "kxlasereyeinnerutils.h"
#include "kxlasereyeresultblock.h"

namespace {

// Frame-event depth of the calling thread.
thread_local int t_nFrameDepth = 0;

// Upper bound of a wait for frames in flight. A frame is built in microseconds; only an
// application callback that never returns reaches the bound.
const std::chrono::seconds c_tDrainBound(10);

// Counts a frame in flight for its whole handling, and marks the thread as inside the
// frame-event function.
class CFrameScope {
public:
    explicit CFrameScope(CKxLaserEyeDevice& dev) : m_dev(dev) {
        ++t_nFrameDepth;
        m_dev.m_nFramesInFlight.fetch_add(1, std::memory_order_seq_cst);
    }
    ~CFrameScope() {
        m_dev.m_nFramesInFlight.fetch_sub(1, std::memory_order_seq_cst);
        --t_nFrameDepth;
    }

private:
    CKxLaserEyeDevice& m_dev;
};

// Counts a frame while its result block is built (the part StopCapture waits for under the
// device mutex; it never calls application code).
class CBuildScope {
public:
    explicit CBuildScope(CKxLaserEyeDevice& dev) : m_dev(dev) {
        m_dev.m_nFramesBuilding.fetch_add(1, std::memory_order_seq_cst);
    }
    ~CBuildScope() { Done(); }
    void Done() {
        if (m_bActive) {
            m_bActive = false;
            m_dev.m_nFramesBuilding.fetch_sub(1, std::memory_order_seq_cst);
        }
    }

private:
    CKxLaserEyeDevice& m_dev;
    bool m_bActive = true;
};

template <class T>
void SafeRelease(T*& p) {
    if (p) {
        p->Release();
        p = nullptr;
    }
}

}  // namespace

// ---- per-frame arithmetic ----

namespace KxCaptureUtils {

SKxFrameWords ReadFrameWords(const uint8_t* pLaser, uint32_t nVersion) {
    const uint32_t t0 = KxTrailerWord(pLaser, 0);
    const uint32_t t4 = KxTrailerWord(pLaser, 4);
    const uint32_t t5 = KxTrailerWord(pLaser, 5);
    const uint32_t t6 = KxTrailerWord(pLaser, 6);
    SKxFrameWords w{};
    w.nTimestamp = KxTrailerTimeStamp(pLaser, nVersion);
    if (nVersion <= 2) w.nCounter = 0;
    else if (nVersion == 3) w.nCounter = (t5 >> 23) & 0xFFu;
    else w.nCounter = (t5 >> 19) & 0xFFFu;
    w.nEncoderTimer = t4 & 0x1FFFFFFFu;
    // Below version 7 bits 19 to 30 of word 6 repeat the frame number for the consistency
    // check: the encoder count is bits 0 to 18 there.
    w.nWord6Value = t6 & (nVersion < 7 ? c_nKxEncoderCountMaskV6 : c_nKxEncoderCountMaskV7);
    w.bTriggerOn = nVersion > 8 || (t0 & 0x80000000u) == 0;
    return w;
}

void FollowROI(CKxLaserEyeDevice& dev, const uint8_t* pLaser) {
    if (dev.m_sDevInfo.sVideoRes.nVersion < 5) return;
    SKxNLROIRect& left = dev.m_sProperties.sLeftROI;
    SKxNLROIRect& right = dev.m_sProperties.sRightROI;
    const int32_t nWidth = left.right - left.left;
    left.left = static_cast<int32_t>(KxTrailerLeftROIX(pLaser));
    left.right = left.left + nWidth;
    right.left = static_cast<int32_t>(KxTrailerRightROIX(pLaser));
    right.right = right.left + nWidth;
}

namespace {
// Step between two raw values of a field that wraps at nWrap. A value below its predecessor
// has wrapped. Should a camera report a value above the wrap (the 32-bit timestamps of versions
// 0 to 2 have their wrap at 2^31 - 1), the step is taken modulo 2^32 instead of going negative.
uint64_t WrappedStep(uint32_t nPrev, uint32_t nCur, int32_t nWrap) {
    if (nCur >= nPrev) return nCur - nPrev;
    const int64_t nStep = static_cast<int64_t>(nWrap) + nCur - static_cast<int64_t>(nPrev);
    if (nStep >= 0) return static_cast<uint64_t>(nStep);
    return static_cast<uint32_t>(nCur - nPrev);
}
}  // namespace

uint64_t TicksToMicroseconds(uint64_t nTicks, uint32_t nVersion) {
    const double dTick = GetTimeStampTick(static_cast<int>(nVersion));
    const double dUs = std::round(static_cast<double>(nTicks) * dTick * 1000000.0);
    return dUs > 0.0 ? static_cast<uint64_t>(dUs) : 0;
}

void ResetContinuity(CKxLaserEyeDevice& dev) {
    dev.m_nPreDelta = 0;
    dev.m_nPrevTimestamp = 0xFFFFFFFFu;
    dev.m_nPrevCounter = 0xFFFFFFFFu;
    dev.m_nTimeTicks = 0;
    dev.m_nFrameCount = 0;
    dev.m_clock.Reset();
    dev.m_nLastSwingValue = 0;
    dev.m_bSwingEventRaised = false;
    dev.m_nFramesArrived = 0;
}

void AdvanceContinuity(CKxLaserEyeDevice& dev, const SKxFrameWords& words, uint32_t nEncoderTimer,
                       bool bPush, uint64_t* pnTimeUs, uint64_t* pnFrameIndex) {
    const uint32_t nVersion = dev.m_sDevInfo.sVideoRes.nVersion;
    if (dev.m_nPrevTimestamp == 0xFFFFFFFFu) {
        // First frame of the capture: time counts from the encoder timer's moment.
        if (bPush) {
            dev.m_nTimeTicks =
                words.nTimestamp >= nEncoderTimer ? words.nTimestamp - nEncoderTimer : 0;
        }
    } else {
        const uint64_t nStep =
            WrappedStep(dev.m_nPrevTimestamp, words.nTimestamp, GetTimeStampRange(static_cast<int>(nVersion)));
        dev.m_nTimeTicks += nStep;
        if (bPush) {
            const int64_t nDelta = static_cast<int64_t>(nStep);
            const int64_t nPre = dev.m_nPreDelta;
            if (nPre == 0) {
                dev.m_nPreDelta = static_cast<int32_t>(nStep);
            } else if (std::llabs(nDelta - nPre) > nPre) {
                KxLogUtils::PrintLog(c_nKxLogWarning,
                                     "Laser Device %p: ErrorTimeStamp %u OriTimeStamp %u PreDelta %u",
                                     static_cast<void*>(&dev), dev.m_nPrevTimestamp, words.nTimestamp,
                                     static_cast<uint32_t>(dev.m_nPreDelta));
                dev.m_nPreDelta = static_cast<int32_t>(nStep);
            }
        }
        dev.m_nFrameCount += WrappedStep(dev.m_nPrevCounter, words.nCounter,
                                         GetFrameCounterRange(static_cast<int>(nVersion)));
    }
    dev.m_nPrevTimestamp = words.nTimestamp;
    dev.m_nPrevCounter = words.nCounter;
    *pnTimeUs = TicksToMicroseconds(dev.m_nTimeTicks, nVersion);
    *pnFrameIndex = dev.m_nFrameCount;
}

bool IsInFrameEvent() { return t_nFrameDepth > 0; }

bool WaitFramesDrained(CKxLaserEyeDevice& dev, bool bBuildingOnly) {
    std::atomic<int32_t>& counter = bBuildingOnly ? dev.m_nFramesBuilding : dev.m_nFramesInFlight;
    // A frame-event function that stops the capture from inside counts itself.
    const int32_t nOwn = bBuildingOnly ? 0 : (IsInFrameEvent() ? t_nFrameDepth : 0);
    const auto tEnd = std::chrono::steady_clock::now() + c_tDrainBound;
    int nSpins = 0;
    while (counter.load(std::memory_order_seq_cst) > nOwn) {
        if (std::chrono::steady_clock::now() > tEnd) return false;
        if (++nSpins < 64) {
            std::this_thread::yield();
        } else {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
    return true;
}

}  // namespace KxCaptureUtils

// ---- frame-event function ----

void CKxLaserEyeDevice::FrameEventThunk(int nEvent, int nParam, void* pBuffer, unsigned int nLength,
                                        unsigned int nBufferId, void* pContext) {
    if (pContext == nullptr) return;
    static_cast<CKxLaserEyeDevice*>(pContext)->OnFrameEvent(nEvent, nParam, pBuffer, nLength, nBufferId);
}

bool CKxLaserEyeDevice::IsSwingActive() {
    return m_sProperties.nDynamicROI != 0 && m_pSwingDevice != nullptr && m_pSwingDevice->IsOpen();
}

void CKxLaserEyeDevice::OnFrameEvent(int nEvent, int /*nParam*/, void* pBuffer, unsigned int nLength,
                                     unsigned int nBufferId) {
    using namespace KxCaptureUtils;
    // Taken first: the clock estimate rests on how soon after its time stamp a frame came.
    const int64_t nArrivalNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count();

    if (nEvent != c_nOrEyeEventFrame) {
        // The camera is lost: the device answers KX_E_OFFLINE from now on, with a handler or
        // without one (event 4 goes to the handler, once per loss).
        if (nEvent == c_nOrEyeEventError5 || nEvent == c_nOrEyeEventError7) {
            SetOffline();
            return;
        }
        // Only a device with a handler reacts to notifications (the pointer is read under the
        // leaf lock: SetEventHandler may swap it on another thread).
        IKxDeviceEventHandler* pHandler = AcquireEventHandler();
        if (pHandler == nullptr) return;
        pHandler->Release();
        switch (nEvent) {
            case c_nOrEyeEventStreamEvent:
                RaiseEvent(c_nKxEventStreamEvent);
                break;
            case c_nOrEyeEventResume:
                KxLogUtils::PrintLog(c_nKxLogState, "Stream Resume");
                RaiseEvent(c_nKxEventStreamResume);
                break;
            case c_nOrEyeEventSweep:
                // The motor refuses every exchange while the device captures; asking it from this
                // thread then would only wait for the device mutex that StopCapture may hold
                // while the camera waits for this very call to end.
                if (IsSwingActive() && !m_bCapturing.load()) m_pSwingDevice->MoveToOrigin(true);
                break;
            default:
                break;
        }
        return;
    }

    CFrameScope frameScope(*this);
    CBuildScope buildScope(*this);
    IOrEyeCamera* pCamera = std::atomic_ref<IOrEyeCamera*>(pICoreEye).load();
    // Close waits for the stream to stop before it drops the device's reference, so the holder
    // is alive for the whole frame whenever the camera pointer was.
    CKxCameraHolder* pCameraHolder =
        pCamera != nullptr ? std::atomic_ref<CKxCameraHolder*>(m_pCameraHolder).load() : nullptr;

    // Hands the buffer back when the frame goes no further than here.
    auto giveBack = [&]() {
        if (pCamera) pCamera->ReleaseFrameBuffer(nBufferId);
    };

    if (!m_bCapturing.load(std::memory_order_seq_cst)) {
        KxLogUtils::PrintLog(c_nKxLogError, "Stream Mode Is Close??");
        giveBack();
        return;
    }
    if (pBuffer == nullptr) {
        giveBack();
        return;
    }
    if (pCamera == nullptr) return;  // closed under a running stream: nothing to return to

    uint8_t* pbyFrame = static_cast<uint8_t*>(pBuffer);
    const uint32_t nVersion = m_sDevInfo.sVideoRes.nVersion;
    const bool bImages = m_sProperties.bDebugMode;
    const bool bSwing = IsSwingActive();

    SKxNLROIRect sLeft{}, sRight{};
    uint8_t* pbyLaser = pbyFrame;
    unsigned int nLaserLength = nLength;
    uint32_t nImageBytes = 0;
    int32_t nWidth = 0, nHeight = 0;
    SKxFrameWords words{};
    uint64_t nTimeUs = 0, nFrameIndex = 0;
    uint32_t nEncoderCount = 0, nSwingAngle = 0;
    bool bRaiseSwingEvent = false;
    bool bResumed = false;
    uint64_t nResumeMissed = 0;
    SKxHostTime sHostTime{};
    {
        std::lock_guard<std::mutex> lock(m_frameStateMutex);
        // Reconnecting: a frame the lost camera object still hands over after the loss (it was
        // under way) goes back unseen. The sums the resumed capture goes on from are taken under
        // this lock after the loss was marked, so a frame counted after them would be handed on
        // and counted missed as well.
        if (m_bOffline.load() && m_bReconnecting.load()) {
            giveBack();
            return;
        }
        nWidth = m_sProperties.sLeftROI.right - m_sProperties.sLeftROI.left;
        nHeight = m_sProperties.sLeftROI.bottom - m_sProperties.sLeftROI.top;
        if (bImages) {
            // The laser part sits behind the two images; a frame that cannot hold them is not
            // read past its end.
            const uint64_t nImages = (nWidth > 0 && nHeight > 0)
                                         ? 2ull * static_cast<uint64_t>(nWidth) * static_cast<uint64_t>(nHeight)
                                         : 0;
            if (nImages == 0 || nImages + c_nKxLaserFrameBytes > nLength) {
                KxLogUtils::PrintLog(c_nKxLogError, "Laser Device %p: Frame Length %u Does Not Hold Images %d x %d",
                                     static_cast<void*>(this), nLength, nWidth, nHeight);
                giveBack();
                return;
            }
            nImageBytes = static_cast<uint32_t>(nImages / 2);
            pbyLaser = pbyFrame + nImages;
            nLaserLength = nLength - static_cast<unsigned int>(nImages);
        } else if (nLength < c_nKxLaserFrameBytes) {
            KxLogUtils::PrintLog(c_nKxLogError, "Laser Device %p: Frame Length %u Too Short",
                                 static_cast<void*>(this), nLength);
            giveBack();
            return;
        }

        FollowROI(*this, pbyLaser);
        sLeft = m_sProperties.sLeftROI;
        sRight = m_sProperties.sRightROI;

        words = ReadFrameWords(pbyLaser, nVersion);
        uint32_t nEncoderTimer = 0;
        if (bSwing) {
            nSwingAngle = words.nWord6Value;
            if (m_nLastSwingValue != 0 && m_nLastSwingValue != nSwingAngle && !m_bSwingEventRaised) {
                m_bSwingEventRaised = true;
                bRaiseSwingEvent = true;
            }
            m_nLastSwingValue = nSwingAngle;
        } else {
            nEncoderTimer = words.nEncoderTimer;
            nEncoderCount = words.nWord6Value;
        }
        if (m_bResumePending && m_nPrevTimestamp == 0xFFFFFFFFu) {
            // First frame of a capture resumed after a reconnect: the sums go on over the outage.
            nResumeMissed = ResumeContinuity(words.nTimestamp, words.nCounter, &nTimeUs, &nFrameIndex);
            bResumed = true;
            // The time over the outage is reckoned, not seen: the clock starts again.
            m_clock.Reset();
        } else {
            AdvanceContinuity(*this, words, nEncoderTimer, true, &nTimeUs, &nFrameIndex);
        }
        // Versions 0 to 2 count no frames but their time stamps run all the same.
        const double dCameraNs =
            static_cast<double>(m_nTimeTicks) * GetTimeStampTick(static_cast<int>(nVersion)) * 1e9;
        m_clock.Add(static_cast<int64_t>(dCameraNs), nArrivalNs, &sHostTime);
        NoteFrameArrival();
    }
    if (bResumed) ReportResumed(nResumeMissed);

    // Wrap the laser bytes without copying; the camera buffer goes back when the memory block's
    // last reference goes.
    CKxLaserEyeMemBlock* pMem = nullptr;
    if (!CreateLaserEyeMemBlock(pCamera, pbyLaser, nLaserLength, static_cast<int>(nBufferId), &pMem,
                                pCameraHolder) ||
        pMem == nullptr) {
        giveBack();
        return;
    }
    // A block whose inner wrapper could not be made must not be handed out.
    SKxMemData data{};
    if (pMem->GetData(&data) != 0 || data.pData == nullptr) {
        KxLogUtils::PrintLog(c_nKxLogError, "Laser Device %p: Frame Not Wrapped", static_cast<void*>(this));
        pMem->Release();  // gives the buffer back
        return;
    }
    pMem->EndAccess();

    // Wrap the images without copying. Each surface holds the memory block that owns the camera
    // buffer, so a surface the application keeps after its result block keeps the pixels too.
    IKxSurface* pLeft = nullptr;
    IKxSurface* pRight = nullptr;
    if (bImages) {
        SKxNLImageData image{};
        image.nSize = nImageBytes;
        image.nWidth = nWidth;
        image.nHeight = nHeight;
        image.nPixelFormat = c_nKxPixelFormatGray8;
        image.nBits = 8;
        image.nChannels = 1;
        image.pData = pbyFrame;
        image.nX = sLeft.left;
        image.nY = sLeft.top;
        if (!KxCreateCustomSurfaceEx(image, pMem, &pLeft)) pLeft = nullptr;
        image.pData = pbyFrame + nImageBytes;
        image.nX = sRight.left;
        image.nY = sRight.top;
        if (!KxCreateCustomSurfaceEx(image, pMem, &pRight)) pRight = nullptr;
    }

    CKxLaserEyeResultBlock* pBlock = nullptr;
    const bool bCreated = CreateLaserEyeResultBlock(
        pLeft, pRight, pMem, m_pCompensate ? m_pCompensate->Data() : nullptr,
        m_pCompensate ? m_pCompensate->Count() : 0, words.nTimestamp, words.nCounter, nTimeUs,
        nFrameIndex, nEncoderCount, nSwingAngle, static_cast<uint32_t>(sLeft.left),
        static_cast<uint32_t>(sRight.left), nVersion, static_cast<int32_t>(m_sDevInfo.sVideoRes.nRightOffset),
        m_sDeviceParam.adCoordOffset, m_pIMemPool, &pBlock, m_pCompensate);
    SafeRelease(pLeft);
    SafeRelease(pRight);
    pMem->Release();  // the block holds its own reference; without a block this returns the buffer
    buildScope.Done();
    if (!bCreated || pBlock == nullptr) return;
    pBlock->SetHostTime(sHostTime);

    if (bRaiseSwingEvent) RaiseEvent(c_nKxEventSwingMoving);

    bool bDeliver = true;

    // Sweep mode 1: the frame that carries the sweep's end mark sets the finish signal; frames
    // after it belong to no sweep and are dropped.
    IKxSignal* pSignal = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_frameStateMutex);
        pSignal = m_pISignalFinish;
        if (pSignal) pSignal->AddRef();
    }
    if (pSignal) {
        if (bSwing && m_pSwingDevice->GetSwingMode() == 1) {
            if (pSignal->Wait(0) != c_nKxSignalTimeout) {
                bDeliver = false;
            } else if (pBlock->IsSweepEnd()) {
                pSignal->Set();
            }
        }
        pSignal->Release();
    }

    if (bDeliver && std::atomic_ref<bool>(m_bTriggerFilter).load()) {
        std::atomic_ref<bool> active(m_bTriggerActive);
        if (words.bTriggerOn) {
            if (!active.load()) {
                active.store(true);
                RaiseEvent(c_nKxEventTriggerOn);
            }
        } else {
            if (active.load()) {
                active.store(false);
                RaiseEvent(c_nKxEventTriggerOff);
            }
            bDeliver = false;
        }
    }

    if (bDeliver && std::atomic_ref<int32_t>(m_nEncodeMode).load() != 2) {
        IKxLaserDataCallBack* pCallBack = std::atomic_ref<IKxLaserDataCallBack*>(pIDataCallBack).load();
        if (pCallBack) pCallBack->OnLaserResult(pBlock);
    }
    pBlock->Release();
}
