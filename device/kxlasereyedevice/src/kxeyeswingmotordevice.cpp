// The swing motor device: register exchanges over the owner's custom-command channel, the
// motor's status rules and the operations of IKxSwingMotorDevice.
#include "kxeyeswingmotordevice.h"
#include "kxretryloop.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>
#include <new>
#include <thread>

#include "kxkernel.h"
#include "oreyeapi.h"

const SKxSwingRegisterRow c_sKxSwingRegisterTable[KX_SWING_REG_COUNT] = {
    {0, 1, 0},    // 0 start the motor
    {0, 2, 0},    // 1 stop the motor
    {1, 3, 20},   // 2 write light value
    {0, 30, 0},   // 3 read light value
    {0, 27, 0},   // 4 read maximum angle x 10
    {1, 21, 40},  // 5 write range start x 10
    {1, 22, 44},  // 6 write range end x 10
    {0, 28, 0},   // 7 read range start x 10
    {0, 29, 0},   // 8 read range end x 10
    {1, 9, 36},   // 9 move to angle x 10
    {1, 23, 0},   // 10 move to the controller's home
    {0, 0, 0},    // 11 not used here
    {0, 0, 0},    // 12 not used here
    {0, 17, 0},   // 13 command 13
    {0, 18, 0},   // 14 read position (encoder counts)
    {1, 8, 32},   // 15 write speed (pulse units)
    {0, 31, 0},   // 16 read speed (pulse units)
    {0, 32, 0},   // 17 read pulse count
    {0, 34, 0},   // 18 write register 18
    {0, 15, 0},   // 19 read status word
    {0, 10, 0},   // 20 command 20
    {0, 11, 0},   // 21 command 21
    {0, 12, 0},   // 22 command 22
    {0, 26, 0},   // 23 command 23
    {0, 25, 0},   // 24 command 24
    {0, 36, 0},   // 25 read motor version
    {0, 0, 0},    // 26 not used here
    {0, 39, 0},   // 27 switch 27 on
    {0, 40, 0},   // 28 switch 27 off
};

std::atomic<uint32_t> CKxEyeSwingMotorDevice::s_nWaitIdleTimeoutMs{30000};

namespace {

// Limits of the controller's speed register, in pulse units.
const int32_t c_nPulseSpeedMinOld = 167;  // motor firmware below 18
const int32_t c_nPulseSpeedMinNew = 14;   // motor firmware 18 and later
const int32_t c_nPulseSpeedMax = 1333;
const uint32_t c_nMaxAngleTenthsCap = 750;
const uint32_t c_nLightMax = 1000;
const uint32_t c_nRegister18Min = 500;
const int32_t c_nMinRangeSpan = 10;

// Float to int without undefined behaviour: NaN gives 0, values beyond int32 saturate.
int32_t SaturateToInt(double d) {
    if (std::isnan(d)) return 0;
    if (d >= static_cast<double>(INT32_MAX)) return INT32_MAX;
    if (d <= static_cast<double>(INT32_MIN)) return INT32_MIN;
    return static_cast<int32_t>(d);
}

void SleepMs(unsigned int nMs) { std::this_thread::sleep_for(std::chrono::milliseconds(nMs)); }

// Holds the owner's recursive mutex for a scope.
class CDeviceLock {
public:
    explicit CDeviceLock(IKxLaserEyeDevice* pDevice) : m_pDevice(pDevice) { m_pDevice->Lock(); }
    ~CDeviceLock() { m_pDevice->Unlock(); }
    CDeviceLock(const CDeviceLock&) = delete;
    CDeviceLock& operator=(const CDeviceLock&) = delete;

private:
    IKxLaserEyeDevice* m_pDevice;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Creation and life

int32_t CKxEyeSwingMotorDevice::Create(IKxLaserEyeDevice* pDevice, CKxEyeSwingMotorDevice** ppMotor) {
    if (ppMotor == nullptr) {
        KxLogUtils::PrintLog(c_nKxLogError, "nullptr != ppIMotorDevice");
        return KX_E_NULL_ARGUMENT;
    }
    *ppMotor = nullptr;
    if (pDevice == nullptr) return KX_E_NULL_ARGUMENT;

    CKxEyeSwingMotorDevice* pMotor = new (std::nothrow) CKxEyeSwingMotorDevice();
    if (pMotor == nullptr) return KX_E_NOT_SUPPORTED;
    pMotor->pIEyeDevice = pDevice;

    int32_t nResult;
    {
        // Creation holds the device across all its reads so no other command interleaves.
        CDeviceLock lock(pDevice);
        nResult = pMotor->InitFromController();
    }
    if (nResult != 0) {
        pMotor->pIEyeDevice = nullptr;
        pMotor->Release();
        return nResult;
    }
    pMotor->m_bOpen = true;
    *ppMotor = pMotor;
    return 0;
}

int32_t CKxEyeSwingMotorDevice::InitFromController() {
    IOrEyeCamera* pCamera = pIEyeDevice->GetCoreEye();
    if (pCamera == nullptr) return KX_E_NOT_OPEN;

    uint16_t nWord = 0;
    int32_t nResult = RetryCamera([&]() { return pCamera->GetParam(c_nKxSwingParamMode, &nWord, 2); });
    if (nResult != 0) {
        KxLogUtils::PrintLog(c_nKxLogError, "Read Swing Mode Failed");
        return nResult;
    }
    shSwingMode = nWord;
    if ((nWord & c_nKxSwingModeFitted) == 0) return KX_E_NOT_SUPPORTED;
    bSwingEnabled = (nWord & c_nKxSwingModeOn) != 0;
    nSwingMode = (nWord & c_nKxSwingModeOne) ? 1 : 2;

    int32_t nError = 0;
    uint32_t nMaxTenths = ReadRegister(KX_SWING_REG_READ_MAX_ANGLE, &nError);
    if (nError == 0) sMotorInfo.nMaxAngle = static_cast<int32_t>(std::min(nMaxTenths, c_nMaxAngleTenthsCap) / 10);

    const uint32_t nVersion = ReadRegister(KX_SWING_REG_READ_VERSION, &nError);
    if (nError != 0) return nError;
    nMotorVersion = static_cast<int32_t>(nVersion);
    KxLogUtils::PrintLog(c_nKxLogDetail, "SwingMotor Version:%d", nMotorVersion);

    const uint32_t nPulses = ReadRegister(KX_SWING_REG_READ_PULSE_COUNT, &nError);
    if (nError != 0) return nError;
    if (nPulses == 0) {
        // Every speed conversion divides by the pulse count: a controller reporting none is unusable.
        KxLogUtils::PrintLog(c_nKxLogError, "Swing Motor Pulse Count Invalid");
        return KX_E_MOTOR_STATUS;
    }
    nPulseCount = nPulses;
    fPulsePerUnit = static_cast<float>(nPulseCount) / 36.0f;
    sMotorInfo.nMinSpeed = SaturateToInt(ToUnits(static_cast<float>(nMotorVersion < 18 ? c_nPulseSpeedMinOld : c_nPulseSpeedMinNew)));
    sMotorInfo.nMaxSpeed = SaturateToInt(ToUnits(static_cast<float>(c_nPulseSpeedMax)));

    int32_t nSpeed = 0;
    GetSpeed(&nSpeed);
    int32_t nStart = 0, nEnd = 0;
    GetSwingRange(&nStart, &nEnd);
    nCenterAngle = (nEnd < nStart) ? nStart : nStart + (nEnd - nStart) / 2;
    MoveToCenter(true);
    return 0;
}

CKxEyeSwingMotorDevice::~CKxEyeSwingMotorDevice() {}

bool CKxEyeSwingMotorDevice::IsOpen() { return m_bOpen && pIEyeDevice != nullptr; }

void CKxEyeSwingMotorDevice::Detach() {
    m_bOpen = false;
    pIEyeDevice = nullptr;
}

void CKxEyeSwingMotorDevice::SetWaitIdleTimeout(uint32_t nMilliseconds) { s_nWaitIdleTimeoutMs = nMilliseconds; }

uint32_t CKxEyeSwingMotorDevice::GetWaitIdleTimeout() { return s_nWaitIdleTimeoutMs; }

// ---------------------------------------------------------------------------------------------
// Register exchanges

template <class Op>
int32_t CKxEyeSwingMotorDevice::RetryCamera(Op op) {
    return KxRetryCameraCall(pIEyeDevice, op);
}

// One exchange with the camera under the laser device's lock: refused while it captures,
// optionally after the controller's 10 ms settling pause, then the retry loop.
template <class Op>
int32_t CKxEyeSwingMotorDevice::CameraCall(bool bSettle, Op op) {
    IKxLaserEyeDevice* pDevice = pIEyeDevice;
    if (pDevice == nullptr) return KX_E_NOT_OPEN;
    // A lost camera is not asked: the device's validity code (not open, offline) at once.
    const int32_t nValid = pDevice->GetVideoResolution(nullptr, nullptr);
    if (nValid != 0) return nValid;
    CDeviceLock lock(pDevice);
    if (pDevice->IsCapturing()) {
        KxLogUtils::PrintLog(c_nKxLogError, "Capturing");
        return KX_E_BUSY;
    }
    IOrEyeCamera* pCamera = pDevice->GetCoreEye();
    if (pCamera == nullptr) return KX_E_NOT_OPEN;
    if (bSettle) SleepMs(10);
    return RetryCamera([&]() { return op(pCamera); });
}

int32_t CKxEyeSwingMotorDevice::Exchange(int nIndex, bool bHasValue, uint32_t nValue, bool bSettle,
                                         uint32_t* pnReply) {
    if (nIndex < 0 || nIndex >= KX_SWING_REG_COUNT || c_sKxSwingRegisterTable[nIndex].nCode == 0)
        return KX_E_OUT_OF_RANGE;
    const SKxSwingRegisterRow& row = c_sKxSwingRegisterTable[nIndex];
    unsigned short shSendCmd[5] = {row.nTakesValue, row.nCode, row.nWord2, 0, 0};
    if (bHasValue) {
        shSendCmd[3] = static_cast<unsigned short>(nValue & 0xFFFFu);
        shSendCmd[4] = static_cast<unsigned short>(nValue >> 16);
    }

    uint32_t nGetResult = 0;
    const int32_t nResult = CameraCall(bSettle, [&](IOrEyeCamera* pCamera) {
        return pCamera->ExecuteCustomCommand(shSendCmd, &nGetResult);
    });
    if (pnReply != nullptr) *pnReply = nGetResult;
    return nResult;
}

int32_t CKxEyeSwingMotorDevice::WriteRegister(int nIndex) { return Exchange(nIndex, false, 0, true, nullptr); }

int32_t CKxEyeSwingMotorDevice::WriteRegister(int nIndex, uint32_t nValue) {
    return Exchange(nIndex, true, nValue, true, nullptr);
}

uint32_t CKxEyeSwingMotorDevice::ReadRegister(int nIndex, int32_t* pnError) {
    uint32_t nReply = 0;
    const int32_t nResult = Exchange(nIndex, false, 0, false, &nReply);
    if (pnError != nullptr) *pnError = nResult;
    return nResult == 0 ? nReply : 0;
}

int32_t CKxEyeSwingMotorDevice::SetCameraParam(int nId, const void* pData, int nLength) {
    return CameraCall(false, [&](IOrEyeCamera* pCamera) { return pCamera->SetParam(nId, pData, nLength); });
}

// ---------------------------------------------------------------------------------------------
// Status and the idle rules

int32_t CKxEyeSwingMotorDevice::DecodeStatus(int32_t* peStatus) {
    int32_t nError = 0;
    const uint32_t nStatus = ReadRegister(KX_SWING_REG_READ_STATUS, &nError);
    if (nError != 0) return nError;
    if ((nStatus & c_nKxSwingStatusValid) == 0) {
        KxLogUtils::PrintLog(c_nKxLogState, "Motor Driver Other Err %x", nStatus);
        return KX_E_MOTOR_STATUS;
    }
    if (peStatus != nullptr) *peStatus = (nStatus & c_nKxSwingStatusMoving) ? c_nKxSwingMoving : c_nKxSwingIdle;
    if (nStatus & c_nKxSwingStatusEncoder) {
        KxLogUtils::PrintLog(c_nKxLogState, "Encoder Error %x", nStatus);
        return KX_E_ENCODER_FAULT;
    }
    if (nStatus & c_nKxSwingStatusProtect) {
        KxLogUtils::PrintLog(c_nKxLogState, "Motor Driver Protect Err %x", nStatus);
        return KX_E_MOTOR_PROTECT;
    }
    if (nStatus & c_nKxSwingStatusFaults) {
        KxLogUtils::PrintLog(c_nKxLogState, "Swing Motor Error %x", nStatus);
        return KX_E_MOTOR_FAULT;
    }
    if (nStatus & c_nKxSwingStatusOther) {
        KxLogUtils::PrintLog(c_nKxLogState, "Swing Motor Error %x", nStatus);
        return KX_E_MOTOR_STATUS;
    }
    return 0;
}

int32_t CKxEyeSwingMotorDevice::WaitIdle() {
    const auto tStart = std::chrono::steady_clock::now();
    const uint32_t nTimeoutMs = s_nWaitIdleTimeoutMs;
    for (;;) {
        int32_t eStatus = 0;
        const int32_t nResult = DecodeStatus(&eStatus);
        if (nResult != 0) return nResult;
        if (eStatus == c_nKxSwingIdle) return 0;
        const auto nElapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now() - tStart).count();
        if (nElapsed >= static_cast<long long>(nTimeoutMs)) {
            KxLogUtils::PrintLog(c_nKxLogError, "Swing Motor Wait Idle Timeout %u ms", nTimeoutMs);
            return KX_E_MOTOR_STATUS;
        }
        SleepMs(static_cast<unsigned int>(std::min<long long>(100, nTimeoutMs - nElapsed)));
    }
}

int32_t CKxEyeSwingMotorDevice::EnsureIdle(int32_t nArgCheck) {
    const int32_t nStatus = DecodeStatus(nullptr);
    // Arguments are checked even for a faulted motor: a bad value must never reach the controller.
    if (nArgCheck != 0) return nArgCheck;
    // A faulted motor never becomes idle; the command goes to it directly.
    if (nStatus == KX_E_MOTOR_FAULT) return 0;
    return WaitIdle();
}

int32_t CKxEyeSwingMotorDevice::EnsureIdleOrFaulted() {
    if (DecodeStatus(nullptr) == KX_E_MOTOR_FAULT) return 0;
    return WaitIdle();
}

int32_t CKxEyeSwingMotorDevice::SendIdleCommand(int nIndex) {
    const int32_t nResult = EnsureIdle(0);
    if (nResult != 0) return nResult;
    return WriteRegister(nIndex);
}

// ---------------------------------------------------------------------------------------------
// Units

float CKxEyeSwingMotorDevice::ToUnits(float fPulses) const {
    if (!(fPulsePerUnit > 0.0f)) return 0.0f;
    const float fUnits = fPulses / fPulsePerUnit;
    return nMotorVersion <= 16 ? std::round(fUnits) : fUnits;
}

int32_t CKxEyeSwingMotorDevice::ToPulses(float fUnits) const {
    return SaturateToInt(std::round(static_cast<double>(fUnits * fPulsePerUnit)));
}

// ---------------------------------------------------------------------------------------------
// Swing switches

int32_t CKxEyeSwingMotorDevice::EnableSwing(bool bOn, bool bWithDynamicROI) {
    IKxLaserEyeDevice* pDevice = pIEyeDevice;
    if (pDevice == nullptr) return KX_E_NOT_OPEN;
    // A lost camera is not asked: the device's validity code (not open, offline) at once.
    const int32_t nValid = pDevice->GetVideoResolution(nullptr, nullptr);
    if (nValid != 0) return nValid;
    CDeviceLock lock(pDevice);
    if (pDevice->IsCapturing()) {
        KxLogUtils::PrintLog(c_nKxLogError, "Capturing");
        return KX_E_BUSY;
    }
    uint16_t nWord = bOn ? 3 : 2;
    if (nSwingMode == 1) nWord |= c_nKxSwingModeOne;
    if (bWithDynamicROI) {
        const int32_t nResult = pDevice->EnableDynamicROI(bOn);
        if (nResult != 0) {
            KxLogUtils::PrintLog(c_nKxLogError, "Set Dynamic ROI Failed %d", nResult);
            return nResult;
        }
    }
    int32_t nResult = 0;
    if (nWord != shSwingMode) {
        nResult = SetCameraParam(c_nKxSwingParamMode, &nWord, 2);
        if (nResult == 0) {
            bSwingEnabled = bOn;
            shSwingMode = nWord;
        }
    }
    return nResult;
}

bool CKxEyeSwingMotorDevice::IsSwingEnabled() { return bSwingEnabled; }

int32_t CKxEyeSwingMotorDevice::SetSwingMode(int32_t nMode) {
    if (nMode != 1 && nMode != 2) return KX_E_OUT_OF_RANGE;
    if (nMode == nSwingMode) return 0;
    IKxLaserEyeDevice* pDevice = pIEyeDevice;
    if (pDevice == nullptr) return KX_E_NOT_OPEN;
    CDeviceLock lock(pDevice);
    uint16_t nWord = bSwingEnabled ? 3 : 2;
    if (nMode == 1) nWord |= c_nKxSwingModeOne;
    if (nWord != shSwingMode) {
        const int32_t nResult = SetCameraParam(c_nKxSwingParamMode, &nWord, 2);
        if (nResult != 0) return nResult;
    }
    nSwingMode = nMode;
    shSwingMode = nWord;
    return 0;
}

int32_t CKxEyeSwingMotorDevice::GetSwingMode() { return nSwingMode; }

// ---------------------------------------------------------------------------------------------
// Motor run state

int32_t CKxEyeSwingMotorDevice::RunMotor(bool bRun) {
    int32_t nResult = EnsureIdle(0);
    if (nResult != 0) return nResult;
    nResult = WriteRegister(bRun ? KX_SWING_REG_START : KX_SWING_REG_STOP);
    if (nResult != 0) return nResult;
    // The controller answers the command at once but takes a moment to change state.
    const auto tStart = std::chrono::steady_clock::now();
    for (;;) {
        int32_t nError = 0;
        const uint32_t nStatus = ReadRegister(KX_SWING_REG_READ_STATUS, &nError);
        if (nError != 0) return nError;
        if (((nStatus & c_nKxSwingStatusSwinging) != 0) == bRun) return 0;
        if (std::chrono::steady_clock::now() - tStart >= std::chrono::milliseconds(1000)) return 0;
        SleepMs(1);
    }
}

bool CKxEyeSwingMotorDevice::IsMotorRunning(int32_t* pnError) {
    int32_t nError = 0;
    const uint32_t nStatus = ReadRegister(KX_SWING_REG_READ_STATUS, &nError);
    if (nError != 0) {
        if (pnError != nullptr) *pnError = nError;
        return false;
    }
    if (pnError != nullptr) *pnError = (nStatus & c_nKxSwingStatusValid) ? 0 : KX_E_MOTOR_STATUS;
    return (nStatus & c_nKxSwingStatusSwinging) != 0;
}

bool CKxEyeSwingMotorDevice::IsMotorIdle(int32_t* pnError) {
    int32_t eStatus = 0;
    const int32_t nResult = DecodeStatus(&eStatus);
    if (pnError != nullptr) *pnError = nResult;
    return eStatus == c_nKxSwingIdle;
}

int32_t CKxEyeSwingMotorDevice::ReadStatus(int32_t* pnError) {
    return static_cast<int32_t>(ReadRegister(KX_SWING_REG_READ_STATUS, pnError));
}

// ---------------------------------------------------------------------------------------------
// Light and speed

int32_t CKxEyeSwingMotorDevice::SetLight(uint32_t nValue) {
    if (nValue > c_nLightMax) {
        KxLogUtils::PrintLog(c_nKxLogError, "Light Out of Range");
        return KX_E_OUT_OF_RANGE;
    }
    const int32_t nResult = EnsureIdleOrFaulted();
    if (nResult != 0) return nResult;
    return WriteRegister(KX_SWING_REG_WRITE_LIGHT, nValue);
}

int32_t CKxEyeSwingMotorDevice::GetLight(int32_t* pnError) {
    return static_cast<int32_t>(ReadRegister(KX_SWING_REG_READ_LIGHT, pnError));
}

int32_t CKxEyeSwingMotorDevice::SetSpeed(int32_t nSpeed) {
    if (nSpeed < sMotorInfo.nMinSpeed || nSpeed > sMotorInfo.nMaxSpeed) {
        KxLogUtils::PrintLog(c_nKxLogError, "Light Out of Range");
        return KX_E_OUT_OF_RANGE;
    }
    if (nSpeed == sMotorInfo.nSpeed) return 0;
    int32_t nResult = WaitIdle();
    if (nResult != 0) return nResult;
    const int32_t nLow = nMotorVersion < 18 ? c_nPulseSpeedMinOld : c_nPulseSpeedMinNew;
    const int32_t nPulses = std::min(std::max(ToPulses(static_cast<float>(nSpeed)), nLow), c_nPulseSpeedMax);
    nResult = WriteRegister(KX_SWING_REG_WRITE_SPEED, static_cast<uint32_t>(nPulses));
    if (nResult == 0) sMotorInfo.nSpeed = nSpeed;
    return nResult;
}

int32_t CKxEyeSwingMotorDevice::GetSpeed(int32_t* pnSpeed) {
    if (sMotorInfo.nSpeed != 0) {
        if (pnSpeed != nullptr) *pnSpeed = sMotorInfo.nSpeed;
        return 0;
    }
    int32_t nError = 0;
    const uint32_t nPulses = ReadRegister(KX_SWING_REG_READ_SPEED, &nError);
    const int32_t nSpeed = SaturateToInt(std::round(ToUnits(static_cast<float>(nPulses))));
    if (pnSpeed != nullptr) *pnSpeed = nSpeed;
    if (nError == 0) sMotorInfo.nSpeed = nSpeed;
    return nError;
}

int32_t CKxEyeSwingMotorDevice::GetSpeedRange(int32_t* pnMin, int32_t* pnMax) {
    if (pnMin == nullptr || pnMax == nullptr) return KX_E_NULL_ARGUMENT;
    *pnMin = sMotorInfo.nMinSpeed;
    *pnMax = sMotorInfo.nMaxSpeed;
    return 0;
}

int32_t CKxEyeSwingMotorDevice::GetMaxAngle(int32_t* pnMax) {
    if (pnMax == nullptr) return KX_E_NULL_ARGUMENT;
    *pnMax = sMotorInfo.nMaxAngle;
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Range and position

int32_t CKxEyeSwingMotorDevice::SetSwingRange(int32_t nStart, int32_t nEnd) {
    if (bRangeKnown && nStart == sMotorInfo.nRangeStart && nEnd == sMotorInfo.nRangeEnd) return 0;
    const bool bValid = nStart >= 0 && nStart <= sMotorInfo.nMaxAngle && nEnd <= sMotorInfo.nMaxAngle &&
                        static_cast<int64_t>(nEnd) - nStart >= c_nMinRangeSpan;
    int32_t nResult = EnsureIdle(bValid ? 0 : KX_E_OUT_OF_RANGE);
    if (nResult != 0) return nResult;
    nResult = WriteRegister(KX_SWING_REG_WRITE_RANGE_START, static_cast<uint32_t>(nStart * 10));
    if (nResult != 0) return nResult;
    nResult = WriteRegister(KX_SWING_REG_WRITE_RANGE_END, static_cast<uint32_t>(nEnd * 10));
    if (nResult != 0) {
        // The start already changed on the controller: read the pair again next time.
        bRangeKnown = false;
        return nResult;
    }
    if (!bCenterSet) nCenterAngle = nStart + (nEnd - nStart) / 2;
    sMotorInfo.nRangeStart = nStart;
    sMotorInfo.nRangeEnd = nEnd;
    bRangeKnown = true;
    return 0;
}

int32_t CKxEyeSwingMotorDevice::GetSwingRange(int32_t* pnStart, int32_t* pnEnd) {
    int32_t nResult = 0;
    if (!bRangeKnown) {
        const uint32_t nStart = ReadRegister(KX_SWING_REG_READ_RANGE_START, &nResult);
        uint32_t nEnd = 0;
        if (nResult == 0) nEnd = ReadRegister(KX_SWING_REG_READ_RANGE_END, &nResult);
        if (nResult == 0) {
            sMotorInfo.nRangeStart = static_cast<int32_t>(nStart / 10);
            sMotorInfo.nRangeEnd = static_cast<int32_t>(nEnd / 10);
            bRangeKnown = true;
        }
    }
    if (pnStart != nullptr) *pnStart = sMotorInfo.nRangeStart;
    if (pnEnd != nullptr) *pnEnd = sMotorInfo.nRangeEnd;
    return nResult;
}

int32_t CKxEyeSwingMotorDevice::SetRangeStartHere() { return SetRangeEdgeHere(true); }

int32_t CKxEyeSwingMotorDevice::SetRangeEndHere() { return SetRangeEdgeHere(false); }

// Makes the motor's current position the start (or end) of the range; the range must stay
// non-empty.
int32_t CKxEyeSwingMotorDevice::SetRangeEdgeHere(bool bStart) {
    int32_t nResult = WaitIdle();
    if (nResult != 0) return nResult;
    if (!bRangeKnown) GetSwingRange(nullptr, nullptr);
    const int32_t nTenths = GetPositionTenths(&nResult);
    if (nResult != 0) return nResult;
    const int32_t nDegrees = nTenths / 10;
    if (bStart ? nDegrees >= sMotorInfo.nRangeEnd : sMotorInfo.nRangeStart >= nDegrees)
        return KX_E_OUT_OF_RANGE;
    nResult = WriteRegister(bStart ? KX_SWING_REG_WRITE_RANGE_START : KX_SWING_REG_WRITE_RANGE_END,
                            static_cast<uint32_t>(nTenths));
    if (nResult == 0) (bStart ? sMotorInfo.nRangeStart : sMotorInfo.nRangeEnd) = nDegrees;
    return nResult;
}

int32_t CKxEyeSwingMotorDevice::GetPositionTenths(int32_t* pnError) {
    int32_t nError = 0;
    const uint32_t nCounts = ReadRegister(KX_SWING_REG_READ_POSITION, &nError);
    if (pnError != nullptr) *pnError = nError;
    if (nError != 0) return 0;
    return SaturateToInt(std::round(static_cast<double>(nCounts) * 360.0 / 16384.0 * 20.0));
}

float CKxEyeSwingMotorDevice::GetPosition(int32_t* pnError) {
    return static_cast<float>(GetPositionTenths(pnError)) / 10.0f;
}

int32_t CKxEyeSwingMotorDevice::MoveTo(float fAngle, bool bWait) {
    // Negative and NaN angles would reach the controller as huge unsigned targets.
    if (!(fAngle >= 0.0f && fAngle <= static_cast<float>(sMotorInfo.nMaxAngle))) return KX_E_OUT_OF_RANGE;
    int32_t nResult = WaitIdle();
    if (nResult != 0) return nResult;
    nResult = WriteRegister(KX_SWING_REG_MOVE_TO, static_cast<uint32_t>(SaturateToInt(fAngle * 10.0f)));
    if (nResult != 0) return nResult;
    return bWait ? WaitIdle() : 0;
}

int32_t CKxEyeSwingMotorDevice::MoveToCenter(bool bWait) {
    int32_t nOldSpeed = 0;
    const bool bHaveOld = GetSpeed(&nOldSpeed) == 0;
    SetSpeed(c_nKxSwingPositionSpeed);
    const int32_t nResult = MoveTo(static_cast<float>(nCenterAngle), bWait);
    if (bHaveOld) SetSpeed(nOldSpeed);
    return nResult;
}

int32_t CKxEyeSwingMotorDevice::MoveToOrigin(bool bWait) {
    int32_t nResult = WaitIdle();
    if (nResult != 0) return nResult;
    int32_t nOldSpeed = 0;
    const bool bHaveOld = GetSpeed(&nOldSpeed) == 0;
    SetSpeed(c_nKxSwingPositionSpeed);
    if (nReturnToEnd)
        nResult = WriteRegister(KX_SWING_REG_MOVE_TO, static_cast<uint32_t>(sMotorInfo.nRangeEnd * 10));
    else
        nResult = WriteRegister(KX_SWING_REG_MOVE_HOME);
    if (nResult == 0 && bWait) nResult = WaitIdle();
    // The caller's speed comes back on every road, a failed move included.
    if (bHaveOld) SetSpeed(nOldSpeed);
    return nResult;
}

int32_t CKxEyeSwingMotorDevice::SetCenter(int32_t nAngle) {
    if (nAngle < 0 || nAngle > sMotorInfo.nMaxAngle) return KX_E_OUT_OF_RANGE;
    nCenterAngle = nAngle;
    bCenterSet = true;
    return 0;
}

int32_t CKxEyeSwingMotorDevice::GetCenter() { return nCenterAngle; }

int32_t CKxEyeSwingMotorDevice::SetUserAngle(float fAngle) {
    if (!(fAngle >= 0.0f && fAngle <= static_cast<float>(sMotorInfo.nMaxAngle))) return KX_E_OUT_OF_RANGE;
    if (std::fabs(fAngle - fUserAngle) >= 1e-6f) fUserAngle = fAngle;
    return 0;
}

float CKxEyeSwingMotorDevice::GetUserAngle() { return fUserAngle; }

int32_t CKxEyeSwingMotorDevice::SetReturnToEnd(int32_t nOn) {
    nReturnToEnd = nOn;
    return 0;
}

int32_t CKxEyeSwingMotorDevice::GetReturnToEnd() { return nReturnToEnd; }

int32_t CKxEyeSwingMotorDevice::GetMotorInfo(SKxMotorInfo* pInfo) {
    if (pInfo == nullptr) return KX_E_NULL_ARGUMENT;
    std::memcpy(pInfo, &sMotorInfo, sizeof(SKxMotorInfo));
    return 0;
}

int32_t CKxEyeSwingMotorDevice::GetMotorVersion() {
    int32_t nError = 0;
    const uint32_t nVersion = ReadRegister(KX_SWING_REG_READ_VERSION, &nError);
    return nError == 0 ? static_cast<int32_t>(nVersion) : 0;
}

// ---------------------------------------------------------------------------------------------
// Commands

int32_t CKxEyeSwingMotorDevice::SetRegister18(uint32_t nValue) {
    if (nValue < c_nRegister18Min) return KX_E_OUT_OF_RANGE;
    const int32_t nResult = WaitIdle();
    if (nResult != 0) return nResult;
    return WriteRegister(KX_SWING_REG_WRITE_18, nValue);
}

int32_t CKxEyeSwingMotorDevice::SendCommand13() {
    const int32_t nResult = WriteRegister(KX_SWING_REG_COMMAND13);
    if (nResult != 0) return nResult;
    return WaitIdle();
}

int32_t CKxEyeSwingMotorDevice::SendCommand20() { return SendIdleCommand(KX_SWING_REG_COMMAND20); }

int32_t CKxEyeSwingMotorDevice::SendCommand20And21() {
    const int32_t nResult = SendIdleCommand(KX_SWING_REG_COMMAND20);
    if (nResult != 0) return nResult;
    return SendIdleCommand(KX_SWING_REG_COMMAND21);
}

int32_t CKxEyeSwingMotorDevice::SendCommand22() {
    const int32_t nResult = EnsureIdleOrFaulted();
    if (nResult != 0) return nResult;
    return WriteRegister(KX_SWING_REG_COMMAND22);
}

int32_t CKxEyeSwingMotorDevice::SendCommand23() { return WriteRegister(KX_SWING_REG_COMMAND23); }

int32_t CKxEyeSwingMotorDevice::SendCommand24() { return WriteRegister(KX_SWING_REG_COMMAND24); }

int32_t CKxEyeSwingMotorDevice::SwitchRegister27(bool bOn) {
    return WriteRegister(bOn ? KX_SWING_REG_SWITCH27_ON : KX_SWING_REG_SWITCH27_OFF);
}

// ---------------------------------------------------------------------------------------------
// Work distance and calibration

int32_t CKxEyeSwingMotorDevice::ComputeMinROIWidth(const double* pdQ16, double dNear, double dFar,
                                                   int32_t* pnWidth) {
    if (pdQ16 == nullptr || pnWidth == nullptr) return KX_E_NULL_ARGUMENT;
    // A zero distance or a matrix without a baseline term gives no disparity at all.
    if (!std::isfinite(dNear) || !std::isfinite(dFar) || dNear == 0.0 || dFar == 0.0 || pdQ16[14] == 0.0)
        return KX_E_OUT_OF_RANGE;
    const double dNearDisparity = std::fabs(pdQ16[11] * (1.0 / pdQ16[14]) / dNear);
    const double dFarDisparity = std::fabs(pdQ16[11] * (1.0 / pdQ16[14]) / dFar);
    if (!(dNearDisparity < 1e9) || !(dFarDisparity < 1e9)) return KX_E_OUT_OF_RANGE;
    const int64_t nOverlap = std::llabs(static_cast<int64_t>(dNearDisparity) - static_cast<int64_t>(dFarDisparity));
    int64_t nWidth = nOverlap + 128;
    const int64_t nRemainder = nWidth % 32;
    nWidth = nRemainder < 17 ? nWidth - nRemainder : nWidth + (32 - nRemainder);
    *pnWidth = static_cast<int32_t>(std::max<int64_t>(nWidth, 64));
    return 0;
}

int32_t CKxEyeSwingMotorDevice::SetWorkDistanceRange(double dNear, double dFar) {
    IKxLaserEyeDevice* pDevice = pIEyeDevice;
    if (pDevice == nullptr) return KX_E_NOT_OPEN;
    // Held across the ROI and the distance so that a capture cannot start between them.
    // A lost camera is not asked: the device's validity code (not open, offline) at once.
    const int32_t nValid = pDevice->GetVideoResolution(nullptr, nullptr);
    if (nValid != 0) return nValid;
    CDeviceLock lock(pDevice);
    if (pDevice->IsCapturing()) {
        KxLogUtils::PrintLog(c_nKxLogError, "%s Capturing", "CKxEyeSwingMotorDevice::SetWorkDistanceRange");
        return KX_E_BUSY;
    }
    double dQ[16] = {};
    int32_t nResult = pDevice->GetQMatrix(dQ);
    if (nResult != 0) return nResult;
    int32_t nWidth = 0;
    nResult = ComputeMinROIWidth(dQ, dNear, dFar, &nWidth);
    const double dMiddle = (dNear + dFar) / 2.0;
    if (nResult == 0 && !(dMiddle >= INT16_MIN && dMiddle <= INT16_MAX)) nResult = KX_E_OUT_OF_RANGE;
    if (nResult != 0) {
        KxLogUtils::PrintLog(c_nKxLogError, "Work Distance Out of Range %f %f", dNear, dFar);
        return nResult;
    }
    const SKxNLEyeDeviceInfoEx* pInfo = pDevice->GetDeviceInfo();
    if (pInfo == nullptr) return KX_E_NOT_OPEN;
    const int32_t nFrameWidth = static_cast<int32_t>(pInfo->sVideoRes.nFrameWidth);
    if (nWidth > nFrameWidth) {
        KxLogUtils::PrintLog(c_nKxLogError, "Work Distance Out of Range %f %f", dNear, dFar);
        return KX_E_OUT_OF_RANGE;
    }

    SKxNLROIRect sLeftROI{}, sRightROI{};
    nResult = pDevice->GetDetectROI(&sLeftROI, &sRightROI);
    if (nResult != 0) return nResult;
    sLeftROI.right = sLeftROI.left + nWidth;
    sRightROI.left = sRightROI.right - nWidth;
    if (sLeftROI.right > nFrameWidth) {
        const int32_t nShift = sLeftROI.right - nFrameWidth;
        sLeftROI.left -= nShift;
        sLeftROI.right -= nShift;
    }
    if (sRightROI.left < 0) {
        const int32_t nShift = -sRightROI.left;
        sRightROI.left += nShift;
        sRightROI.right += nShift;
    }
    SKxVideoResolution sVideoRes = pInfo->sVideoRes;
    KxDetectUtils::FormatDetectROI(sVideoRes, sLeftROI, sRightROI, 1, pInfo->nDeviceFlags, 0, nullptr);
    nResult = pDevice->SetDetectROI(&sLeftROI, &sRightROI);
    if (nResult != 0) return nResult;

    const int16_t nWorkDistance = static_cast<int16_t>(dMiddle);
    return SetCameraParam(c_nKxSwingParamWorkDistance, &nWorkDistance, 2);
}

bool CKxEyeSwingMotorDevice::BuildCalibrateParam(const SKxSwingCalibrateParam& param, uint32_t anOut[5]) {
    static const int c_anSource[5] = {3, 4, 5, 1, 2};
    static const double c_adScale[5] = {1048576.0, 16384.0, 128.0, 1024.0, 1024.0};
    for (int i = 0; i < 5; ++i) {
        const double dValue = param.adValue[c_anSource[i]];
        const double dMagnitude = std::trunc(std::fabs(dValue * c_adScale[i]));
        // Bit 31 is the sign: a magnitude that needs it (or is not a number) cannot be sent.
        if (!(dMagnitude <= 2147483647.0)) return false;
        anOut[i] = static_cast<uint32_t>(dMagnitude) | (dValue < 0.0 ? 0x80000000u : 0u);
    }
    return true;
}

int32_t CKxEyeSwingMotorDevice::ConfigCalibrateParam(const SKxSwingCalibrateParam* pParam) {
    if (pParam == nullptr) return KX_E_NULL_ARGUMENT;
    IKxLaserEyeDevice* pDevice = pIEyeDevice;
    if (pDevice == nullptr) return KX_E_NOT_OPEN;
    if (pDevice->IsCapturing()) {
        KxLogUtils::PrintLog(c_nKxLogError, "%s Capturing", "CKxEyeSwingMotorDevice::ConfigCalibrateParam");
        return KX_E_BUSY;
    }
    uint32_t nSwingMotorParam[5] = {};
    if (!BuildCalibrateParam(*pParam, nSwingMotorParam)) {
        KxLogUtils::PrintLog(c_nKxLogError, "Swing Param Out of Range");
        return KX_E_OUT_OF_RANGE;
    }
    const int32_t nResult = SetCameraParam(c_nKxSwingParamCalibrate, nSwingMotorParam, sizeof(nSwingMotorParam));
    if (nResult != 0) KxLogUtils::PrintLog(c_nKxLogError, "Read Swing Param Failed");
    return nResult;
}

// ---------------------------------------------------------------------------------------------
// Reserved slots

int32_t CKxEyeSwingMotorDevice::Reserved11() { return 0; }
int32_t CKxEyeSwingMotorDevice::Reserved12() { return 0; }
int32_t CKxEyeSwingMotorDevice::Reserved13() { return 0; }
int32_t CKxEyeSwingMotorDevice::Reserved15() { return 0; }
bool CKxEyeSwingMotorDevice::Reserved16() { return true; }
int32_t CKxEyeSwingMotorDevice::Reserved39() { return 0; }
int32_t CKxEyeSwingMotorDevice::Reserved40() { return 0; }
int32_t CKxEyeSwingMotorDevice::Reserved50() { return KX_E_NOT_SUPPORTED; }
int32_t CKxEyeSwingMotorDevice::Reserved51() { return KX_E_NOT_SUPPORTED; }
int32_t CKxEyeSwingMotorDevice::Reserved53() { return KX_E_NOT_SUPPORTED; }
int32_t CKxEyeSwingMotorDevice::Reserved54() { return KX_E_NOT_SUPPORTED; }
int32_t CKxEyeSwingMotorDevice::Reserved56() { return 0; }

SKxReserved16 CKxEyeSwingMotorDevice::Reserved57() {
    SKxReserved16 sRecord;
    std::memset(&sRecord, 0, sizeof(sRecord));
    return sRecord;
}
