// CKxLaserEyeDevice: one laser eye camera. The operations are split over several sources along
// their concerns: kxlasereyedevice.cpp (object, open/close, guarded rule, getters),
// kxlasereyedeviceparams.cpp (detection and imaging parameters), kxlasereyedevicecapture.cpp
// (capture pipeline, image mode, single-shot and pull roads), kxlasereyedevicedata.cpp (stored
// data and identity).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

// The public header has the same name; reach it by path so this file never includes itself.
#include "../../../include/kxlasereyedevice.h"
#include "kxclockestimate.h"
#include "kxdeviceparam.h"
#include "kxlasereyeinnerutils.h"  // SKxCompensateEntry
#include "kxpositionencodermanager.h"
#include "oreyeapi.h"

class CKxEyeSwingMotorDevice;

// Owns the camera object made at Open. The device holds one reference from Open to Close and
// every memory block over one of the camera's frame buffers holds one until its Reset, so a
// buffer kept by the application can always go back to a live camera object.
class CKxCameraHolder : public IKxUnknown {
public:
    explicit CKxCameraHolder(IOrEyeCamera* pCamera) : m_pCamera(pCamera) {}
    ~CKxCameraHolder() override { delete m_pCamera; }
    IOrEyeCamera* Camera() const { return m_pCamera; }

private:
    IOrEyeCamera* const m_pCamera;
};

// The compensation table, built once per device object and never changed afterwards. Result
// blocks point into it and hold a reference, so they can decode after the device is gone.
class CKxCompensateTable : public IKxUnknown {
public:
    explicit CKxCompensateTable(std::vector<SKxCompensateEntry>&& vecEntries)
        : m_vecEntries(std::move(vecEntries)) {}
    const SKxCompensateEntry* Data() const { return m_vecEntries.empty() ? nullptr : m_vecEntries.data(); }
    uint32_t Count() const { return static_cast<uint32_t>(m_vecEntries.size()); }
    const std::vector<SKxCompensateEntry>& Entries() const { return m_vecEntries; }

private:
    const std::vector<SKxCompensateEntry> m_vecEntries;
};

// Property cache mask bits.
static const uint32_t c_nMaskROI = 0x1;
static const uint32_t c_nMaskExpose = 0x2;
static const uint32_t c_nMaskThres = 0x4;
static const uint32_t c_nMaskDebug = 0x8;
static const uint32_t c_nMaskDenoise = 0x10;
static const uint32_t c_nMaskQMatrix = 0x20;
static const uint32_t c_nMaskAccelerator = 0x40;
static const uint32_t c_nMaskTrigger = 0x80;
static const uint32_t c_nMaskDynamicROI = 0x100;

// Encoder count field of trailer word 6: bits 0 to 28 from hardware version 7 on; below it
// bits 19 to 30 repeat the frame number (consistency check) and the count is bits 0 to 18.
static const unsigned int c_nKxEncoderCountBitsV6 = 19;
static const uint32_t c_nKxEncoderCountMaskV6 = 0x7FFFFu;
static const uint32_t c_nKxEncoderCountMaskV7 = 0x1FFFFFFFu;

struct SKxLaserEyeProperties {
    SKxNLROIRect sLeftROI;
    SKxNLROIRect sRightROI;
    uint16_t nExposeValue;
    uint16_t nLaserThres;
    bool bDebugMode;
    uint16_t nDenoise;
    uint16_t nAccelerator;
    uint16_t nTriggerMode;
    uint16_t nDynamicROI;
    double dQMatrix[16];
};


// Settings the application made, written back after a reconnect in this order.
enum EKxSetting {
    c_eSetROI = 1,
    c_eSetFrameRate,
    c_eSetExpose,
    c_eSetGain,
    c_eSetThres,
    c_eSetTrigger,
    c_eSetTriggerN,
    c_eSetGap,
    c_eSetDenoise,
    c_eSetAccelerator,
    c_eSetDynamicROI,
    c_eSetBitMode,
    c_eSetImageMode
};

class CKxLaserEyeDevice : public IKxLaserEyeDeviceReconnect {
public:
    CKxLaserEyeDevice(const SKxNLEyeDeviceInfoEx& info, IKxSurfacePool* pSurfacePool,
                      IKxMemPool* pMemPool);
    ~CKxLaserEyeDevice() override;

    // IKxDevice
    const SKxNLEyeDeviceInfoEx* GetDeviceInfo() override;
    int32_t Open(int32_t nReserved) override;
    void Close() override;
    bool IsOpen() override;
    int32_t Reserved8() override;
    int32_t SetEventHandler(IKxDeviceEventHandler* pHandler) override;
    int32_t Reserved10() override;
    int32_t Reserved11() override;
    int32_t GetVideoResolution(uint32_t* pnWidth, uint32_t* pnHeight) override;
    void Lock() override;
    void Unlock() override;
    int32_t ReadData(uint32_t eType, void* pBuffer, uint32_t nLength, uint32_t* pnRequired) override;
    int32_t WriteData(uint32_t eType, const void* pData, uint32_t nLength) override;
    int32_t ReadCustomData(uint32_t nAddress, uint8_t* pBuffer, uint32_t nLength) override;
    int32_t WriteCustomData(uint32_t nAddress, const uint8_t* pData, uint32_t nLength) override;
    int32_t GetDataRange(int32_t* pnFirst, int32_t* pnSecond) override;

    // IKxEyeDevice
    int32_t GetVersion(SKxEyeVersionInfo* pInfo) override;
    int32_t EnableDenoise(bool bOn) override;
    bool IsDenoiseEnabled() override;
    int32_t SetExpose(int32_t nAuto, uint32_t nValue) override;
    int32_t GetExpose(int32_t* pnAuto, int32_t* pnValue) override;
    int32_t SetDetectROI(const SKxNLROIRect* pLeft, const SKxNLROIRect* pRight) override;
    int32_t GetDetectROI(SKxNLROIRect* pLeft, SKxNLROIRect* pRight) override;
    int32_t SetCameraGain(int32_t nReserved, uint16_t nGain) override;
    int32_t Reserved28() override;
    int32_t GetImage(IKxSurface** ppLeft, IKxSurface** ppRight, uint32_t nTimeoutMs) override;
    IOrEyeCamera* GetCoreEye() override;
    int32_t SetFrameRate(uint16_t nRate) override;
    int32_t Reserved32() override;
    int32_t GetQMatrix(double* pdMatrix16) override;
    int32_t Reserved34() override;
    void UpdateIPAddress(const uint8_t* pbyIP4) override;
    int32_t WriteSerialNum(const char* pszSerial) override;
    int32_t WriteDeviceID(const char* pszID) override;
    int32_t WriteMACAddress(const uint8_t* pbyMAC6) override;
    bool CheckOnline() override;
    int32_t Reserved40() override;

    // IKxLaserEyeDevice
    uint32_t GetHWVersion() override;
    int32_t SetLaserThres(int32_t nValue) override;
    int32_t GetLaserThres(int32_t* pnValue) override;
    int32_t Detect(IKxLaserEyeResultBlock** ppBlock) override;
    int32_t ApplyDebugMode() override;
    int32_t StartCapture(int32_t nReserved, IKxLaserDataCallBack* pCallBack,
                         IKxSignal** ppFinishSignal) override;
    int32_t GetLaserResult(IKxLaserEyeResultBlock** ppBlock, uint32_t nTimeoutMs) override;
    int32_t StopCapture() override;
    int32_t Reserved49() override;
    bool IsCapturing() override;
    int32_t ConfigDebugCapture(bool bRestore, int32_t nMode) override;
    int32_t Reserved52() override;
    int32_t Reserved53() override;
    int32_t ConfigImgBitMode(int32_t nMode) override;
    int32_t SetDebugMode(bool bOn) override;
    bool GetDebugMode() override;
    int32_t EnableAccelerator(bool bOn) override;
    int32_t SetTriggerMode(int32_t nMode) override;
    int32_t GetTriggerMode(int32_t* pnMode) override;
    int32_t EnableDynamicROI(bool bOn) override;
    bool IsDynamicROIEnabled(int32_t* pnError) override;
    int32_t SetGap(int32_t nGap) override;
    int32_t SetTriggerN(uint32_t nA, uint32_t nB) override;
    void SetReservedFlag(bool bFlag) override;
    bool GetReservedFlag() override;
    bool GetSwingMotorDevice(IKxSwingMotorDevice** ppMotor) override;
    bool Reserved67() override;
    bool Reserved68() override;
    int32_t SetCustomCommand(int32_t nA, int32_t nB, int32_t nValue) override;
    int32_t ReadCustomCommand(int32_t nA, int32_t nB, void* pReply) override;
    int32_t ConfigCameraOption(bool bWhich, bool bOn, int32_t nValue, int32_t nValue2) override;
    int32_t WriteParam60(const void* pData, uint32_t nLength) override;
    int32_t CameraOp43(int32_t nA, void* pB, int32_t nC, void* pD, int32_t nE) override;
    int32_t SyncDetectROI() override;
    int32_t EnableTriggerFilter(bool bOn) override;
    int32_t CameraOp45(bool bOn, int32_t nValue) override;
    int32_t SwitchDebug(int32_t nOn) override;
    bool IsDebugModeOn() override;
    void EnableDetectDebug(bool bOn) override;
    bool IsDetectDebugEnabled() override;
    void EnableSwingOnCapture(bool bOn) override;
    bool IsSwingOnCapture() override;
    void NotifyEvent() override;
    bool GetReservedState() override;

    // IKxLaserEyeDeviceEx (85 to 90)
    int32_t StopDevice() override;
    int32_t SetWheelRadius(double dRadius) override;
    double GetWheelRadius() override;
    int32_t SetEncodeMode(int32_t nMode) override;
    int32_t GetEncodeMode() override;
    int32_t SetPulsePerRound(uint32_t nPulses) override;

    // IKxLaserEyeDeviceReconnect (91 to 94), kxlasereyedevicereconnect.cpp
    int32_t EnableReconnect(bool bOn, uint32_t nIntervalMs, uint32_t nGiveUpMs) override;
    bool IsReconnectEnabled() override;
    int32_t GetReconnectState(SKxReconnectState* pState) override;
    int32_t CancelReconnect() override;

    // ---- internal operations shared by the sources ----
    // Keeps a setting the application made (the last one per key), to be written back after a
    // reconnect; answers nResult unchanged and keeps nothing when it is not 0.
    template <class Fn>
    int32_t Remember(EKxSetting eKey, int32_t nResult, Fn fn) {
        if (nResult == 0) RememberSetting(eKey, std::function<int32_t(CKxLaserEyeDevice&)>(fn));
        return nResult;
    }
    void RememberSetting(EKxSetting eKey, std::function<int32_t(CKxLaserEyeDevice&)> fn);
    // True on the device's reconnect thread (its attempts pass the validity check).
    bool OnReconnectThread() const;
    void ReconnectThread();
    int32_t ReconnectAttempt();
    void StopReconnectThread();
    // Frame thread, first frame of a resumed capture: continues the sums over the outage and
    // answers the frames missed. The caller holds m_frameStateMutex.
    uint64_t ResumeContinuity(uint32_t nTimestamp, uint32_t nCounter, uint64_t* pnTimeUs, uint64_t* pnFrameIndex);
    // Frame thread: one more frame arrived now (host clock). The caller holds m_frameStateMutex.
    void NoteFrameArrival();
    // Frame thread: the resumed capture's first frame came; tells the application.
    void ReportResumed(uint64_t nMissed);
    // Validity check: -79988 not open, -79996 offline, else 0.
    int32_t CheckValid() const;
    // The camera holder with a reference added for the caller, or null when closed. A transfer
    // that holds it keeps the camera object alive through a Close on another thread.
    CKxCameraHolder* AcquireCameraHolder();
    // Retry loop: calls op() up to 3 times while it answers -10014, logs the rule's lines.
    template <class Op>
    int32_t Retry(Op op);
    // The guarded-command rule: validity check, device mutex, busy refusal "%s Capturing" with
    // pszName, then op(pICoreEye) under the retry loop.
    template <class Op>
    int32_t Guarded(const char* pszName, Op op);
    // The confirmed-set rule: send(), with the retry loop; on failure log pszSendFailed. Then read
    // the information block back ("Update Data Failed" when it cannot be read) and answer -79951
    // with pszMismatch unless matches(read-back) holds. The caller stores the value on 0.
    template <class Send, class Matches>
    int32_t ConfirmedSet(Send send, const char* pszSendFailed, Matches matches, const char* pszMismatch);
    // Busy test of the rule: while capturing logs "%s Capturing" with pszName and answers
    // -79971; else 0. The caller holds the device mutex.
    int32_t CheckBusy(const char* pszName);
    int32_t ReadLaserInfo(SKxLaserEyeProperties& props, uint32_t& nMask);
    // ReadLaserInfo run again while it answers -10014, at most 3 runs.
    int32_t ReadLaserInfoRuns(SKxLaserEyeProperties& props, uint32_t& nMask);
    int32_t ApplyDetectROI(const SKxNLROIRect& left, const SKxNLROIRect& right);
    int32_t ApplyFrameRate(uint16_t nRate);
    uint16_t GetAutoFrameRate();
    void SaveProperties();
    int32_t RestoreTriggerMode();
    // The device lost its camera (an offline event of the camera library, or a camera call that
    // answered -10030): from now on every operation answers KX_E_OFFLINE at once, without a
    // camera call or a log line, until Close and Open. The first call per loss logs "Device Is
    // Offline" and raises event 4; later ones do nothing.
    void SetOffline();
    // Close's work (Close itself first ends a reconnect under way).
    void CloseCamera();
    // Raises an event through the handler, if any. The handler is referenced for the call, so
    // SetEventHandler on another thread cannot delete it under the call.
    void RaiseEvent(int32_t nEvent);
    // The current handler with a reference added, or null.
    IKxDeviceEventHandler* AcquireEventHandler();
    // Frame-event function registered with the camera.
    static void FrameEventThunk(int nEvent, int nParam, void* pBuffer, unsigned int nLength,
                                unsigned int nBufferId, void* pContext);
    void OnFrameEvent(int nEvent, int nParam, void* pBuffer, unsigned int nLength,
                      unsigned int nBufferId);
    bool IsSwingActive();
    // Open's steps over the 4096-byte parameter page.
    void ParseDeviceParam(const uint8_t* pbyPage, unsigned int nLength);
    void BuildCompensateTable(const uint8_t* pbyPage, unsigned int nLength);
    std::recursive_mutex& Mutex() { return m_mutex; }

    // ---- members (declaration order follows the object's description) ----
    IOrEyeCamera* pICoreEye = nullptr;  // the holder's camera while open
    CKxCameraHolder* m_pCameraHolder = nullptr;
    SKxNLEyeDeviceInfoEx m_sDevInfo;
    IKxDeviceEventHandler* m_pIEventHandler = nullptr;
    IKxSurfacePool* m_pISurfacePool = nullptr;
    std::atomic<bool> m_bCapturing{false};
    bool m_bDebugRequest = false;
    SKxLaserEyeProperties m_sProperties{};
    uint32_t m_nPropertyMask = 0;
    std::recursive_mutex m_mutex;
    IKxMemPool* m_pIMemPool = nullptr;
    std::atomic<bool> m_bOffline{false};
    uint16_t m_nFrameRate = 0;
    // Per-capture continuity state (reset by StartCapture).
    int32_t m_nPreDelta = 0;
    uint32_t m_nPrevTimestamp = 0xFFFFFFFFu;
    uint32_t m_nPrevCounter = 0xFFFFFFFFu;
    uint64_t m_nTimeTicks = 0;
    uint64_t m_nFrameCount = 0;
    CKxClockEstimate m_clock;  // camera time to host time, from the frames of this capture
    uint32_t m_nLastSwingValue = 0;
    bool m_bSwingEventRaised = false;
    IKxLaserDataCallBack* pIDataCallBack = nullptr;  // not referenced
    bool m_bReservedFlag = true;
    KxPositionEncoderManager m_encoder;
    int32_t m_nEncodeMode = 1;  // read by the frame thread: accessed through std::atomic_ref
    SKxLaserEyeProperties m_sSavedProperties{};
    uint32_t m_nSavedPropertyMask = 0;
    bool m_bRestoreDebug = false;
    uint32_t m_nRestoreDebug = 0;
    CKxEyeSwingMotorDevice* m_pSwingDevice = nullptr;
    IKxSignal* m_pISignalFinish = nullptr;
    bool m_bTriggerActive = false;
    bool m_bTriggerFilter = false;
    bool m_bDetectDebug = true;
    bool m_bSwingOnCapture = true;
    CKxCompensateTable* m_pCompensate = nullptr;  // null until built; built once per object
    SKxDeviceParam m_sDeviceParam{};
    bool m_bReservedState = false;

    // Capture pipeline state shared with the camera library's thread (kxlasereyedeviceframe.cpp):
    // a leaf lock over the ROI follow and the cached ROIs it moves, the per-capture sums, the
    // finish signal pointer and the event handler pointer, and
    // the count of frames being built and being handled, which StopCapture waits to drain.
    std::mutex m_frameStateMutex;
    std::atomic<int32_t> m_nFramesBuilding{0};
    std::atomic<int32_t> m_nFramesInFlight{0};
    // StopCapture could not switch the stream of a live camera off: the frame-event function was
    // unregistered so that no frame reaches a stopped application; StartCapture registers it again.
    bool m_bFrameEventOff = false;
    // Open went through to its last step (only the stored block's read may have failed).
    bool m_bOpenComplete = false;

    // Reconnecting (off by default). m_bReconnecting: a loss is being worked on; every thread
    // but the reconnect thread then gets KX_E_OFFLINE from the validity check.
    std::mutex m_mtxReconnect;
    std::condition_variable m_cvReconnect;
    std::thread m_thReconnect;
    std::atomic<std::thread::id> m_idReconnect{};
    std::atomic<bool> m_bReconnecting{false};
    std::atomic<bool> m_bResumeWanted{false};  // a capture ran at the loss and was not stopped since
    bool m_bReconnectOn = false;
    bool m_bReconnectQuit = false;
    bool m_bLossPending = false;
    bool m_bCancelTry = false;
    uint32_t m_nReconnectIntervalMs = 500;
    uint32_t m_nReconnectGiveUpMs = 0;
    SKxReconnectState m_sReconnect{};
    std::chrono::steady_clock::time_point m_tLoss{};
    std::map<int, std::function<int32_t(CKxLaserEyeDevice&)>> m_mapSettings;
    IKxLaserDataCallBack* m_pResumeCallBack = nullptr;
    // Continuity across a resumed capture (under m_frameStateMutex).
    bool m_bResumePending = false;
    uint64_t m_nResumeFrameCount = 0, m_nResumeTicks = 0;
    int32_t m_nResumePreDelta = 0;
    uint32_t m_nResumeCounter = 0xFFFFFFFFu;
    int64_t m_nFirstFrameNs = 0, m_nLastFrameNs = 0, m_nResumeLastNs = 0;
    uint64_t m_nFramesArrived = 0;
    double m_dResumePeriodNs = 0;
};

// Full operation names used in the "%s Capturing" refusal line.
#define KX_DEVICE_OP(name) "CKxLaserEyeDevice::" name

// A reference on the device's camera holder for the length of one operation: a Close on another
// thread then cannot delete the camera object under it. Camera() is null when the device was
// closed already.
class CKxHeldCamera {
public:
    explicit CKxHeldCamera(CKxLaserEyeDevice& device) : m_pHolder(device.AcquireCameraHolder()) {}
    ~CKxHeldCamera() {
        if (m_pHolder) m_pHolder->Release();
    }
    CKxHeldCamera(const CKxHeldCamera&) = delete;
    CKxHeldCamera& operator=(const CKxHeldCamera&) = delete;
    IOrEyeCamera* Camera() const { return m_pHolder ? m_pHolder->Camera() : nullptr; }

private:
    CKxCameraHolder* const m_pHolder;
};

#include "kxlasereyedeviceretry.inl"

