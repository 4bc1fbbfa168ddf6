// CKxEyeSwingMotorDevice: the swing motor of version 8 cameras, driven through the owning laser
// eye device's custom-command channel (motor registers) and camera parameters 56, 57 and 58.
//
// The motor has no connection of its own: every register exchange borrows the laser device's
// camera interface under the device mutex, and is refused while the device captures. Only the
// public IKxLaserEyeDevice operations of the owner are used, so the motor can be driven by any
// implementation of that interface.
#pragma once

#include <atomic>
#include <cstdint>

// The public header has the same name as the device class header beside this file: by path.
#include "../../../include/kxlasereyedevice.h"

// Register table rows used by the motor (index into the table of command records).
enum EKxSwingRegister : int {
    KX_SWING_REG_START = 0,
    KX_SWING_REG_STOP = 1,
    KX_SWING_REG_WRITE_LIGHT = 2,
    KX_SWING_REG_READ_LIGHT = 3,
    KX_SWING_REG_READ_MAX_ANGLE = 4,
    KX_SWING_REG_WRITE_RANGE_START = 5,
    KX_SWING_REG_WRITE_RANGE_END = 6,
    KX_SWING_REG_READ_RANGE_START = 7,
    KX_SWING_REG_READ_RANGE_END = 8,
    KX_SWING_REG_MOVE_TO = 9,
    KX_SWING_REG_MOVE_HOME = 10,
    KX_SWING_REG_COMMAND13 = 13,
    KX_SWING_REG_READ_POSITION = 14,
    KX_SWING_REG_WRITE_SPEED = 15,
    KX_SWING_REG_READ_SPEED = 16,
    KX_SWING_REG_READ_PULSE_COUNT = 17,
    KX_SWING_REG_WRITE_18 = 18,
    KX_SWING_REG_READ_STATUS = 19,
    KX_SWING_REG_COMMAND20 = 20,
    KX_SWING_REG_COMMAND21 = 21,
    KX_SWING_REG_COMMAND22 = 22,
    KX_SWING_REG_COMMAND23 = 23,
    KX_SWING_REG_COMMAND24 = 24,
    KX_SWING_REG_READ_VERSION = 25,
    KX_SWING_REG_SWITCH27_ON = 27,
    KX_SWING_REG_SWITCH27_OFF = 28,
    KX_SWING_REG_COUNT = 29
};

// One row of the register table: the first three words of the command record.
struct SKxSwingRegisterRow {
    uint16_t nTakesValue;  // word 0: 1 when the register takes a value
    uint16_t nCode;        // word 1: register code of the motor controller
    uint16_t nWord2;       // word 2
};

// The table, indexed by EKxSwingRegister; rows this module does not use are all zero.
extern const SKxSwingRegisterRow c_sKxSwingRegisterTable[KX_SWING_REG_COUNT];

// Camera parameters of the swing.
static const int c_nKxSwingParamCalibrate = 56;  // 20-byte calibration block
static const int c_nKxSwingParamWorkDistance = 57;  // 2-byte work distance
static const int c_nKxSwingParamMode = 58;  // 2-byte swing mode word

// Swing mode word bits.
static const uint16_t c_nKxSwingModeOn = 0x1;
static const uint16_t c_nKxSwingModeFitted = 0x2;
static const uint16_t c_nKxSwingModeOne = 0x4;

// Status word bits (register 19).
static const uint32_t c_nKxSwingStatusValid = 0x8000;
static const uint32_t c_nKxSwingStatusMoving = 0x4000;
static const uint32_t c_nKxSwingStatusOther = 0x1000;
static const uint32_t c_nKxSwingStatusFaults = 0x670;
static const uint32_t c_nKxSwingStatusProtect = 0x8;
static const uint32_t c_nKxSwingStatusEncoder = 0x4;
static const uint32_t c_nKxSwingStatusSwinging = 0x2;

// eStatus of DecodeStatus.
static const int32_t c_nKxSwingMoving = 1;
static const int32_t c_nKxSwingIdle = 2;

// Speed used for the moves to the centre and to the origin.
static const int32_t c_nKxSwingPositionSpeed = 96;

class CKxEyeSwingMotorDevice : public IKxSwingMotorDevice {
public:
    // Creates the motor device for pDevice: 0 and *ppMotor with one reference on success; on
    // failure the code and *ppMotor null (-80000 when the camera has no motor fitted).
    static int32_t Create(IKxLaserEyeDevice* pDevice, CKxEyeSwingMotorDevice** ppMotor);

    // WaitIdle gives up after this many milliseconds (default 30000) with -79943, so that a motor
    // that never settles cannot hang its caller. Process-wide; tests shorten it.
    static void SetWaitIdleTimeout(uint32_t nMilliseconds);
    static uint32_t GetWaitIdleTimeout();

    ~CKxEyeSwingMotorDevice() override;

    // IKxSwingMotorDevice, slots 3 to 57.
    int32_t EnableSwing(bool bOn, bool bWithDynamicROI) override;
    bool IsSwingEnabled() override;
    int32_t RunMotor(bool bRun) override;
    bool IsMotorRunning(int32_t* pnError) override;
    int32_t SetLight(uint32_t nValue) override;
    int32_t GetLight(int32_t* pnError) override;
    int32_t SetSpeed(int32_t nSpeed) override;
    int32_t GetSpeed(int32_t* pnSpeed) override;
    int32_t Reserved11() override;
    int32_t Reserved12() override;
    int32_t Reserved13() override;
    int32_t GetSpeedRange(int32_t* pnMin, int32_t* pnMax) override;
    int32_t Reserved15() override;
    bool Reserved16() override;
    int32_t GetMaxAngle(int32_t* pnMax) override;
    int32_t SetSwingRange(int32_t nStart, int32_t nEnd) override;
    int32_t GetSwingRange(int32_t* pnStart, int32_t* pnEnd) override;
    int32_t SetRangeStartHere() override;
    int32_t SetRangeEndHere() override;
    int32_t MoveTo(float fAngle, bool bWait) override;
    int32_t MoveToCenter(bool bWait) override;
    int32_t MoveToOrigin(bool bWait) override;
    int32_t SetSwingMode(int32_t nMode) override;
    int32_t GetSwingMode() override;
    int32_t SetRegister18(uint32_t nValue) override;
    int32_t GetPositionTenths(int32_t* pnError) override;
    float GetPosition(int32_t* pnError) override;
    int32_t GetMotorInfo(SKxMotorInfo* pInfo) override;
    int32_t SendCommand20() override;
    int32_t SendCommand20And21() override;
    int32_t SendCommand22() override;
    int32_t SendCommand23() override;
    int32_t SendCommand24() override;
    bool IsMotorIdle(int32_t* pnError) override;
    int32_t WaitIdle() override;
    int32_t ReadStatus(int32_t* pnError) override;
    int32_t Reserved39() override;
    int32_t Reserved40() override;
    int32_t SetUserAngle(float fAngle) override;
    float GetUserAngle() override;
    int32_t SetCenter(int32_t nAngle) override;
    int32_t GetCenter() override;
    int32_t GetMotorVersion() override;
    int32_t SendCommand13() override;
    int32_t SetReturnToEnd(int32_t nOn) override;
    int32_t GetReturnToEnd() override;
    int32_t SetWorkDistanceRange(double dNear, double dFar) override;
    int32_t Reserved50() override;
    int32_t Reserved51() override;
    int32_t ConfigCalibrateParam(const SKxSwingCalibrateParam* pParam) override;
    int32_t Reserved53() override;
    int32_t Reserved54() override;
    int32_t SwitchRegister27(bool bOn) override;
    int32_t Reserved56() override;
    SKxReserved16 Reserved57() override;

    // ---- used by the laser eye device ----
    // True once creation succeeded and the owner has not detached.
    bool IsOpen();
    // The owner calls this when it closes: later operations answer -79988 instead of reaching
    // a device that may be gone (an application may still hold the motor).
    void Detach();

    // ---- internal operations (public for the tests) ----
    // Register write: 10 ms settle time, then the command record; value in words 3 and 4.
    int32_t WriteRegister(int nIndex);
    int32_t WriteRegister(int nIndex, uint32_t nValue);
    // Register read: the reply word; the exchange's code goes to *pnError (when not null).
    uint32_t ReadRegister(int nIndex, int32_t* pnError);
    // Reads and decodes the status word: 0, a motor fault code, or the read's failure.
    int32_t DecodeStatus(int32_t* peStatus);
    // Encoder pulses to speed units and back.
    float ToUnits(float fPulses) const;
    int32_t ToPulses(float fUnits) const;
    // Builds the five calibration words of parameter 56; false when a value does not fit.
    static bool BuildCalibrateParam(const SKxSwingCalibrateParam& param, uint32_t anOut[5]);
    // Minimum ROI width for a work distance range on a reprojection matrix; -79945 when the
    // matrix or the distances give no finite disparity.
    static int32_t ComputeMinROIWidth(const double* pdQ16, double dNear, double dFar,
                                      int32_t* pnWidth);

    // ---- members (in the order of the object's description) ----
    bool bSwingEnabled = false;
    IKxLaserEyeDevice* pIEyeDevice = nullptr;  // the owner; no reference taken
    uint32_t nPulseCount = 0;
    float fPulsePerUnit = 0.0f;
    SKxMotorInfo sMotorInfo{};
    int32_t nSwingMode = 2;
    bool bCenterSet = false;
    int32_t nCenterAngle = 0;
    float fUserAngle = 5.0f;
    bool bRangeKnown = false;
    uint16_t shSwingMode = 0xFFFF;
    int32_t nReturnToEnd = 0;
    uint8_t byCalibrate[64] = {};
    int32_t nMotorVersion = 0;
    bool m_bOpen = false;

private:
    CKxEyeSwingMotorDevice() = default;
    // The guarded rule's retry loop for one camera call, with its log lines.
    template <class Op>
    int32_t RetryCamera(Op op);
    int32_t SetRangeEdgeHere(bool bStart);
    template <class Op>
    int32_t CameraCall(bool bSettle, Op op);
    // One register exchange under the owner's mutex.
    int32_t Exchange(int nIndex, bool bHasValue, uint32_t nValue, bool bSettle, uint32_t* pnReply);
    // Camera parameter write under the owner's mutex with the busy refusal and retries.
    int32_t SetCameraParam(int nId, const void* pData, int nLength);
    // The idle rule of RunMotor, SetSwingRange and the command operations; nArgCheck is the
    // argument check's result (0 = arguments fine).
    int32_t EnsureIdle(int32_t nArgCheck);
    // The idle rule of SetLight and SendCommand22: a faulted motor is commanded directly.
    int32_t EnsureIdleOrFaulted();
    int32_t InitFromController();
    int32_t SendIdleCommand(int nIndex);

    static std::atomic<uint32_t> s_nWaitIdleTimeoutMs;
};
