// Getting a lost camera back (IKxLaserEyeDeviceReconnect): off by default. When it is on, a loss
// wakes the device's reconnect thread, which re-opens the camera every interval until it
// answers, writes back the settings the application made, resumes the capture that ran and
// tells the application. The only thread the device ever starts, and only while this is on.
#include <algorithm>
#include <chrono>
#include <cmath>

#include "kxkernel.h"
#include "kxlasereyedevice.h"
#include "kxlasereyeinnerutils.h"

namespace {
using Clock = std::chrono::steady_clock;

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}
}  // namespace

bool CKxLaserEyeDevice::OnReconnectThread() const {
    return m_idReconnect.load() == std::this_thread::get_id();
}

void CKxLaserEyeDevice::RememberSetting(EKxSetting eKey, std::function<int32_t(CKxLaserEyeDevice&)> fn) {
    std::lock_guard<std::mutex> lock(m_mtxReconnect);
    m_mapSettings[eKey] = std::move(fn);
}

int32_t CKxLaserEyeDevice::EnableReconnect(bool bOn, uint32_t nIntervalMs, uint32_t nGiveUpMs) {
    if (!bOn) {
        StopReconnectThread();
        return KX_OK;
    }
    std::unique_lock<std::mutex> lock(m_mtxReconnect);
    m_nReconnectIntervalMs = nIntervalMs ? nIntervalMs : 500;
    m_nReconnectGiveUpMs = nGiveUpMs;
    if (m_bReconnectOn) return KX_OK;
    if (m_thReconnect.joinable() && !OnReconnectThread()) {
        // A thread told to end from its own event handler: gone by now or soon.
        std::thread th(std::move(m_thReconnect));
        lock.unlock();
        th.join();
        lock.lock();
    }
    m_bReconnectOn = true;
    m_bReconnectQuit = false;
    m_bLossPending = false;
    m_sReconnect = SKxReconnectState{};
    m_thReconnect = std::thread(&CKxLaserEyeDevice::ReconnectThread, this);
    m_idReconnect = m_thReconnect.get_id();
    // Already lost when switched on: work on that loss.
    if (m_bOffline.load() && IsOpen()) {
        m_bLossPending = true;
        m_bReconnecting = true;
        m_bResumeWanted = m_bCapturing.load();
    }
    m_cvReconnect.notify_all();
    return KX_OK;
}

void CKxLaserEyeDevice::StopReconnectThread() {
    std::unique_lock<std::mutex> lock(m_mtxReconnect);
    m_bReconnectOn = false;
    m_bReconnectQuit = true;
    m_cvReconnect.notify_all();
    if (!m_thReconnect.joinable()) return;
    if (OnReconnectThread()) return;  // from its own event handler: it ends after the call
    std::thread th(std::move(m_thReconnect));
    lock.unlock();
    th.join();
}

bool CKxLaserEyeDevice::IsReconnectEnabled() {
    std::lock_guard<std::mutex> lock(m_mtxReconnect);
    return m_bReconnectOn;
}

int32_t CKxLaserEyeDevice::GetReconnectState(SKxReconnectState* pState) {
    if (pState == nullptr) return KX_E_NULL_ARGUMENT;
    std::lock_guard<std::mutex> lock(m_mtxReconnect);
    *pState = m_sReconnect;
    return KX_OK;
}

int32_t CKxLaserEyeDevice::CancelReconnect() {
    std::lock_guard<std::mutex> lock(m_mtxReconnect);
    m_bCancelTry = true;
    m_cvReconnect.notify_all();
    return KX_OK;
}

void CKxLaserEyeDevice::ReconnectThread() {
    std::unique_lock<std::mutex> lock(m_mtxReconnect);
    for (;;) {
        m_cvReconnect.wait(lock, [&] { return m_bReconnectQuit || m_bLossPending; });
        if (m_bReconnectQuit) break;
        m_bLossPending = false;
        m_bCancelTry = false;
        m_tLoss = Clock::now();
        m_sReconnect.nState = 1;
        ++m_sReconnect.nLosses;
        m_sReconnect.nAttempts = 0;
        m_sReconnect.nLastError = 0;
        m_pResumeCallBack = std::atomic_ref<IKxLaserDataCallBack*>(pIDataCallBack).load();
        {
            // The sums of the capture as the loss left them, for the resumed capture to go on from.
            std::lock_guard<std::mutex> frameLock(m_frameStateMutex);
            m_nResumeFrameCount = m_nFrameCount;
            m_nResumeTicks = m_nTimeTicks;
            m_nResumePreDelta = m_nPreDelta;
            m_nResumeCounter = m_nPrevCounter;
            m_nResumeLastNs = m_nLastFrameNs;
            m_dResumePeriodNs = m_nFramesArrived >= 2
                                    ? static_cast<double>(m_nLastFrameNs - m_nFirstFrameNs) / (m_nFramesArrived - 1)
                                    : (m_nFrameRate ? 1e9 / m_nFrameRate : 0.0);
        }
        KxLogUtils::PrintLog(c_nKxLogState, "Device %p: Reconnecting every %u ms", static_cast<void*>(this),
                             m_nReconnectIntervalMs);
        bool bGaveUp = false, bDone = false;
        while (!bDone) {
            const bool bWoken = m_cvReconnect.wait_for(lock, std::chrono::milliseconds(m_nReconnectIntervalMs),
                                                       [&] { return m_bReconnectQuit || m_bCancelTry; });
            if (bWoken) break;
            const auto tElapsed = Clock::now() - m_tLoss;
            if (m_nReconnectGiveUpMs != 0 && tElapsed >= std::chrono::milliseconds(m_nReconnectGiveUpMs)) {
                bGaveUp = true;
                break;
            }
            ++m_sReconnect.nAttempts;
            lock.unlock();
            const int32_t nResult = ReconnectAttempt();
            lock.lock();
            if (nResult != KX_OK) {
                m_sReconnect.nLastError = nResult;
            } else if (!m_bCancelTry && !m_bReconnectQuit) {
                bDone = true;
            } else {
                break;  // back, but the application closed the device or switched this off meanwhile
            }
        }
        if (bDone) {
            ++m_sReconnect.nReconnects;
            m_sReconnect.nState = 0;
            m_sReconnect.nOutageMs = static_cast<uint32_t>(
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m_tLoss).count());
            KxLogUtils::PrintLog(c_nKxLogState, "Device %p: Reconnected after %u ms (%u attempts)",
                                 static_cast<void*>(this), m_sReconnect.nOutageMs, m_sReconnect.nAttempts);
            bool bResumed = false;
            {
                std::lock_guard<std::mutex> frameLock(m_frameStateMutex);
                bResumed = m_bResumePending;
            }
            if (!bResumed) {
                // No capture to resume: the application is told now (the resumed capture's
                // first frame tells it otherwise, with the frames missed).
                m_sReconnect.nFramesMissed = 0;
                lock.unlock();
                RaiseEvent(c_nKxEventReconnected);
                lock.lock();
            }
        } else {
            // Given up, cancelled or switched off: the device stays offline (every failed
            // attempt left the flag set).
            m_bReconnecting = false;
            m_sReconnect.nState = bGaveUp ? 2 : 0;
            if (bGaveUp) {
                KxLogUtils::PrintLog(c_nKxLogError, "Device %p: Reconnect Given Up after %u attempts",
                                     static_cast<void*>(this), m_sReconnect.nAttempts);
                lock.unlock();
                RaiseEvent(c_nKxEventReconnectFailed);
                lock.lock();
            }
            if (m_bReconnectQuit) break;
        }
    }
}

// One attempt, on the reconnect thread: a new camera object (Close and Open, as an application
// would), the settings written back, the capture resumed. 0 when the camera is back.
int32_t CKxLaserEyeDevice::ReconnectAttempt() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    {
        std::lock_guard<std::mutex> rl(m_mtxReconnect);
        if (m_bCancelTry || m_bReconnectQuit) return KX_E_OFFLINE;
    }
    Close();
    int32_t nResult = Open(0);
    // Open answers a failed read of the stored parameter block although the camera works.
    if (nResult != KX_OK && m_bOpenComplete && IsOpen() && !m_bOffline.load()) {
        SKxLaserEyeProperties sScratch{};
        uint32_t nMask = 0;
        if (ReadLaserInfo(sScratch, nMask) == KX_OK) nResult = KX_OK;
    }
    if (nResult == KX_OK && m_bOffline.load()) nResult = KX_E_OFFLINE;
    if (nResult != KX_OK) {
        m_bOffline = true;  // other threads keep getting KX_E_OFFLINE until the next attempt
        return nResult;
    }
    std::map<int, std::function<int32_t(CKxLaserEyeDevice&)>> mapSettings;
    {
        std::lock_guard<std::mutex> rl(m_mtxReconnect);
        mapSettings = m_mapSettings;
    }
    for (auto& setting : mapSettings) {
        const int32_t nSet = setting.second(*this);
        if (nSet == KX_E_CAMERA_OFFLINE || m_bOffline.load()) {
            m_bOffline = true;
            return KX_E_OFFLINE;
        }
        if (nSet != KX_OK)
            KxLogUtils::PrintLog(c_nKxLogWarning, "Device %p: Setting %d Not Written Back: %d", static_cast<void*>(this),
                                 setting.first, nSet);
    }
    if (m_bResumeWanted.load() && m_pResumeCallBack != nullptr) {
        {
            std::lock_guard<std::mutex> frameLock(m_frameStateMutex);
            m_bResumePending = true;
        }
        nResult = StartCapture(0, m_pResumeCallBack, nullptr);
        if (nResult != KX_OK) {
            std::lock_guard<std::mutex> frameLock(m_frameStateMutex);
            m_bResumePending = false;
            m_bOffline = true;
            return nResult;
        }
    }
    // Back: from here on every thread reaches the camera again.
    m_bReconnecting = false;
    return KX_OK;
}

void CKxLaserEyeDevice::NoteFrameArrival() {
    const int64_t nNow = NowNs();
    if (m_nFramesArrived == 0) m_nFirstFrameNs = nNow;
    m_nLastFrameNs = nNow;
    ++m_nFramesArrived;
}

uint64_t CKxLaserEyeDevice::ResumeContinuity(uint32_t nTimestamp, uint32_t nCounter, uint64_t* pnTimeUs,
                                             uint64_t* pnFrameIndex) {
    m_bResumePending = false;
    const uint32_t nVersion = m_sDevInfo.sVideoRes.nVersion;
    // Frames the camera made between the last frame before the loss and this one: from the
    // capture's own frame period, and exactly from the camera's counter when it kept counting
    // (a counter close to the estimate; a camera that restarted counts from 0 again).
    const int64_t nGapNs = NowNs() - m_nResumeLastNs;
    double dEstimate = 0;
    if (m_dResumePeriodNs > 0 && m_nResumeLastNs != 0)
        dEstimate = std::max(0.0, std::round(static_cast<double>(nGapNs) / m_dResumePeriodNs) - 1.0);
    uint64_t nMissed = static_cast<uint64_t>(dEstimate);
    const int32_t nRange = GetFrameCounterRange(static_cast<int>(nVersion));
    if (nVersion >= 3 && nRange > 0 && m_nResumeCounter != 0xFFFFFFFFu) {
        const uint64_t nStep = nCounter >= m_nResumeCounter
                                   ? nCounter - m_nResumeCounter
                                   : static_cast<uint64_t>(nRange) + nCounter - m_nResumeCounter;
        const double dCounted = nStep > 0 ? static_cast<double>(nStep - 1) : -1.0;
        if (dCounted >= 0 && std::fabs(dCounted - dEstimate) <= std::max(2.0, dEstimate / 5.0))
            nMissed = static_cast<uint64_t>(dCounted);
    }
    m_nFrameCount = m_nResumeFrameCount + nMissed + 1;
    const uint64_t nPreDelta = m_nResumePreDelta > 0 ? static_cast<uint64_t>(m_nResumePreDelta) : 0;
    m_nTimeTicks = m_nResumeTicks + (nMissed + 1) * nPreDelta;
    m_nPreDelta = m_nResumePreDelta;
    m_nPrevTimestamp = nTimestamp;
    m_nPrevCounter = nCounter;
    const double dTick = GetTimeStampTick(static_cast<int>(nVersion));
    const double dUs = std::round(static_cast<double>(m_nTimeTicks) * dTick * 1000000.0);
    *pnTimeUs = dUs > 0 ? static_cast<uint64_t>(dUs) : 0;
    *pnFrameIndex = m_nFrameCount;
    return nMissed;
}

void CKxLaserEyeDevice::ReportResumed(uint64_t nMissed) {
    {
        std::lock_guard<std::mutex> lock(m_mtxReconnect);
        m_sReconnect.nFramesMissed = nMissed;
        m_sReconnect.nFramesMissedAll += nMissed;
        m_sReconnect.nOutageMs = static_cast<uint32_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m_tLoss).count());
    }
    KxLogUtils::PrintLog(c_nKxLogState, "Device %p: Capture Resumed, %llu frames missed", static_cast<void*>(this),
                         static_cast<unsigned long long>(nMissed));
    RaiseEvent(c_nKxEventReconnected);
}
