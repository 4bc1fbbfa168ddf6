// The one header an application includes: interfaces, records, result codes and the four
// exported functions of KxLaserEyeDevice. Compiles as C++11.
//
// Operation order inside each interface is part of the binary interface: every interface
// appends to its base, and reserved slots are declared so that every position holds.
#ifndef KXLASEREYEDEVICE_H
#define KXLASEREYEDEVICE_H

#include <cstdint>
#include <vector>

#include "kxkernelinterfaces.h"
#include "kxlasereyerecords.h"
#include "kxunknown.h"

#if defined(KXLASEREYEDEVICE_BUILD)
#define KXLE_API KX_EXPORT
#else
#define KXLE_API KX_IMPORT
#endif

class IOrEyeCamera;
class IKxLaserEyeResultBlock;
class IKxSwingMotorDevice;
class IKxDevice;

// Event codes raised through IKxDeviceEventHandler::OnDeviceEvent.
static const int32_t c_nKxEventStreamEvent = 1;
static const int32_t c_nKxEventOffline = 4;
static const int32_t c_nKxEventNotify = 10;
static const int32_t c_nKxEventTriggerOn = 15;
static const int32_t c_nKxEventTriggerOff = 16;
static const int32_t c_nKxEventStreamResume = 17;
static const int32_t c_nKxEventSwingMoving = 22;

// Application interface: device events, called on the camera library's thread.
class IKxDeviceEventHandler : public IKxUnknown {
public:
    virtual void OnDeviceEvent(IKxDevice* pDevice, int32_t nEvent) = 0;  // 3
};

// Application interface: result blocks of continuous capture, called on the camera library's
// thread. The device takes no reference on it and calls only OnLaserResult. The block is valid
// for the duration of the call; keep it with AddRef.
class IKxLaserDataCallBack {
public:
    virtual ~IKxLaserDataCallBack() {}
    virtual void Reserved1() {}
    virtual void OnLaserResult(IKxLaserEyeResultBlock* pBlock) = 0;
};

class IKxDevice : public IKxUnknown {
public:
    virtual int32_t GetDeviceKind() = 0;                                            // 3
    virtual const SKxNLEyeDeviceInfoEx* GetDeviceInfo() = 0;                        // 4
    virtual int32_t Open(int32_t nReserved) = 0;                                    // 5
    virtual void Close() = 0;                                                       // 6
    virtual bool IsOpen() = 0;                                                      // 7
    virtual int32_t Reserved8() = 0;                                                // 8
    virtual int32_t SetEventHandler(IKxDeviceEventHandler* pHandler) = 0;           // 9
    virtual int32_t Reserved10() = 0;                                               // 10
    virtual int32_t Reserved11() = 0;                                               // 11
    virtual int32_t GetVideoResolution(uint32_t* pnWidth, uint32_t* pnHeight) = 0;  // 12
    virtual void Lock() = 0;                                                        // 13
    virtual void Unlock() = 0;                                                      // 14
    virtual int32_t ReadData(uint32_t eType, void* pBuffer, uint32_t nLength,
                             uint32_t* pnRequired) = 0;                             // 15
    virtual int32_t WriteData(uint32_t eType, const void* pData, uint32_t nLength) = 0;  // 16
    virtual int32_t ReadCustomData(uint32_t nAddress, uint8_t* pBuffer, uint32_t nLength) = 0;  // 17
    virtual int32_t WriteCustomData(uint32_t nAddress, const uint8_t* pData,
                                    uint32_t nLength) = 0;                          // 18
    virtual int32_t GetDataRange(int32_t* pnFirst, int32_t* pnSecond) = 0;          // 19
};

class IKxEyeDevice : public IKxDevice {
public:
    virtual int32_t GetVersion(SKxEyeVersionInfo* pInfo) = 0;                       // 20
    virtual int32_t EnableDenoise(bool bOn) = 0;                                    // 21
    virtual bool IsDenoiseEnabled() = 0;                                            // 22
    virtual int32_t SetExpose(int32_t nAuto, uint32_t nValue) = 0;                  // 23
    virtual int32_t GetExpose(int32_t* pnAuto, int32_t* pnValue) = 0;               // 24
    virtual int32_t SetDetectROI(const SKxNLROIRect* pLeft, const SKxNLROIRect* pRight) = 0;  // 25
    virtual int32_t GetDetectROI(SKxNLROIRect* pLeft, SKxNLROIRect* pRight) = 0;    // 26
    virtual int32_t SetCameraGain(int32_t nReserved, uint16_t nGain) = 0;           // 27
    virtual int32_t Reserved28() = 0;                                               // 28
    virtual int32_t GetImage(IKxSurface** ppLeft, IKxSurface** ppRight,
                             uint32_t nTimeoutMs) = 0;                              // 29
    virtual IOrEyeCamera* GetCoreEye() = 0;                                         // 30
    virtual int32_t SetFrameRate(uint16_t nRate) = 0;                               // 31
    virtual int32_t Reserved32() = 0;                                               // 32
    virtual int32_t GetQMatrix(double* pdMatrix16) = 0;                             // 33
    virtual int32_t Reserved34() = 0;                                               // 34
    virtual void UpdateIPAddress(const uint8_t* pbyIP4) = 0;                        // 35
    virtual int32_t WriteSerialNum(const char* pszSerial) = 0;                      // 36
    virtual int32_t WriteDeviceID(const char* pszID) = 0;                           // 37
    virtual int32_t WriteMACAddress(const uint8_t* pbyMAC6) = 0;                    // 38
    virtual bool CheckOnline() = 0;                                                 // 39
    virtual int32_t Reserved40() = 0;                                               // 40
};

class IKxEyeDetectDevice : public IKxEyeDevice {};

class IKxLaserEyeDevice : public IKxEyeDetectDevice {
public:
    virtual int32_t GetDeviceKind() { return 2; }                                   // 3
    virtual uint32_t GetHWVersion() = 0;                                            // 41
    virtual int32_t SetLaserThres(int32_t nValue) = 0;                              // 42
    virtual int32_t GetLaserThres(int32_t* pnValue) = 0;                            // 43
    virtual int32_t Detect(IKxLaserEyeResultBlock** ppBlock) = 0;                   // 44
    virtual int32_t ApplyDebugMode() = 0;                                           // 45
    virtual int32_t StartCapture(int32_t nReserved, IKxLaserDataCallBack* pCallBack,
                                 IKxSignal** ppFinishSignal) = 0;                   // 46
    virtual int32_t GetLaserResult(IKxLaserEyeResultBlock** ppBlock,
                                   uint32_t nTimeoutMs) = 0;                        // 47
    virtual int32_t StopCapture() = 0;                                              // 48
    virtual int32_t Reserved49() = 0;                                               // 49
    virtual bool IsCapturing() = 0;                                                 // 50
    virtual int32_t ConfigDebugCapture(bool bRestore, int32_t nMode) = 0;           // 51
    virtual int32_t Reserved52() = 0;                                               // 52
    virtual int32_t Reserved53() = 0;                                               // 53
    virtual int32_t ConfigImgBitMode(int32_t nMode) = 0;                            // 54
    virtual int32_t SetDebugMode(bool bOn) = 0;                                     // 55
    virtual bool GetDebugMode() = 0;                                                // 56
    virtual int32_t EnableAccelerator(bool bOn) = 0;                                // 57
    virtual int32_t SetTriggerMode(int32_t nMode) = 0;                              // 58
    virtual int32_t GetTriggerMode(int32_t* pnMode) = 0;                            // 59
    virtual int32_t EnableDynamicROI(bool bOn) = 0;                                 // 60
    virtual bool IsDynamicROIEnabled(int32_t* pnError) = 0;                         // 61
    virtual int32_t SetGap(int32_t nGap) = 0;                                       // 62
    virtual int32_t SetTriggerN(uint32_t nA, uint32_t nB) = 0;                      // 63
    virtual void SetReservedFlag(bool bFlag) = 0;                                   // 64
    virtual bool GetReservedFlag() = 0;                                             // 65
    virtual bool GetSwingMotorDevice(IKxSwingMotorDevice** ppMotor) = 0;            // 66
    virtual bool Reserved67() = 0;                                                  // 67
    virtual bool Reserved68() = 0;                                                  // 68
    virtual int32_t SetCustomCommand(int32_t nA, int32_t nB, int32_t nValue) = 0;   // 69
    virtual int32_t ReadCustomCommand(int32_t nA, int32_t nB, void* pReply) = 0;    // 70
    virtual int32_t ConfigCameraOption(bool bWhich, bool bOn, int32_t nValue,
                                       int32_t nValue2) = 0;                        // 71
    virtual int32_t WriteParam60(const void* pData, uint32_t nLength) = 0;          // 72
    virtual int32_t CameraOp43(int32_t nA, void* pB, int32_t nC, void* pD, int32_t nE) = 0;  // 73
    virtual int32_t SyncDetectROI() = 0;                                            // 74
    virtual int32_t EnableTriggerFilter(bool bOn) = 0;                              // 75
    virtual int32_t CameraOp45(bool bOn, int32_t nValue) = 0;                       // 76
    virtual int32_t SwitchDebug(int32_t nOn) = 0;                                   // 77
    virtual bool IsDebugModeOn() = 0;                                               // 78
    virtual void EnableDetectDebug(bool bOn) = 0;                                   // 79
    virtual bool IsDetectDebugEnabled() = 0;                                        // 80
    virtual void EnableSwingOnCapture(bool bOn) = 0;                                // 81
    virtual bool IsSwingOnCapture() = 0;                                            // 82
    virtual void NotifyEvent() = 0;                                                 // 83
    virtual bool GetReservedState() = 0;                                            // 84
};

// The laser eye device's own operations after IKxLaserEyeDevice, slots 85 to 90. Every device
// that KxCreateLaserEyeDevice creates is an IKxLaserEyeDeviceEx, so an application reaches them
// with a static_cast of the pointer it got (no query, no RTTI needed across the library):
//     IKxLaserEyeDeviceEx* pEx = static_cast<IKxLaserEyeDeviceEx*>(pDevice);
class IKxLaserEyeDeviceEx : public IKxLaserEyeDevice {
public:
    // Stream off; when that worked and a capture runs, StopCapture too.
    virtual int32_t StopDevice() = 0;                                               // 85
    // Measuring wheel of the position encoder (length unit of the caller).
    virtual int32_t SetWheelRadius(double dRadius) = 0;                             // 86
    virtual double GetWheelRadius() = 0;                                            // 87
    // 1 deliver every frame (default); 2 deliver nothing (hardware version 7 and above).
    virtual int32_t SetEncodeMode(int32_t nMode) = 0;                               // 88
    virtual int32_t GetEncodeMode() = 0;                                            // 89
    virtual int32_t SetPulsePerRound(uint32_t nPulses) = 0;                         // 90
};

// Swing motor of version 8 cameras.
class IKxSwingMotorDevice : public IKxUnknown {
public:
    virtual int32_t EnableSwing(bool bOn, bool bWithDynamicROI) = 0;        // 3
    virtual bool IsSwingEnabled() = 0;                                      // 4
    virtual int32_t RunMotor(bool bRun) = 0;                                // 5
    virtual bool IsMotorRunning(int32_t* pnError) = 0;                      // 6
    virtual int32_t SetLight(uint32_t nValue) = 0;                          // 7
    virtual int32_t GetLight(int32_t* pnError) = 0;                         // 8
    virtual int32_t SetSpeed(int32_t nSpeed) = 0;                           // 9
    virtual int32_t GetSpeed(int32_t* pnSpeed) = 0;                         // 10
    virtual int32_t Reserved11() = 0;                                       // 11
    virtual int32_t Reserved12() = 0;                                       // 12
    virtual int32_t Reserved13() = 0;                                       // 13
    virtual int32_t GetSpeedRange(int32_t* pnMin, int32_t* pnMax) = 0;      // 14
    virtual int32_t Reserved15() = 0;                                       // 15
    virtual bool Reserved16() = 0;                                          // 16
    virtual int32_t GetMaxAngle(int32_t* pnMax) = 0;                        // 17
    virtual int32_t SetSwingRange(int32_t nStart, int32_t nEnd) = 0;        // 18
    virtual int32_t GetSwingRange(int32_t* pnStart, int32_t* pnEnd) = 0;    // 19
    virtual int32_t SetRangeStartHere() = 0;                                // 20
    virtual int32_t SetRangeEndHere() = 0;                                  // 21
    virtual int32_t MoveTo(float fAngle, bool bWait) = 0;                   // 22
    virtual int32_t MoveToCenter(bool bWait) = 0;                           // 23
    virtual int32_t MoveToOrigin(bool bWait) = 0;                           // 24
    virtual int32_t SetSwingMode(int32_t nMode) = 0;                        // 25
    virtual int32_t GetSwingMode() = 0;                                     // 26
    virtual int32_t SetRegister18(uint32_t nValue) = 0;                     // 27
    virtual int32_t GetPositionTenths(int32_t* pnError) = 0;                // 28
    virtual float GetPosition(int32_t* pnError) = 0;                        // 29
    virtual int32_t GetMotorInfo(SKxMotorInfo* pInfo) = 0;                  // 30
    virtual int32_t SendCommand20() = 0;                                    // 31
    virtual int32_t SendCommand20And21() = 0;                               // 32
    virtual int32_t SendCommand22() = 0;                                    // 33
    virtual int32_t SendCommand23() = 0;                                    // 34
    virtual int32_t SendCommand24() = 0;                                    // 35
    virtual bool IsMotorIdle(int32_t* pnError) = 0;                         // 36
    virtual int32_t WaitIdle() = 0;                                         // 37
    virtual int32_t ReadStatus(int32_t* pnError) = 0;                       // 38
    virtual int32_t Reserved39() = 0;                                       // 39
    virtual int32_t Reserved40() = 0;                                       // 40
    virtual int32_t SetUserAngle(float fAngle) = 0;                         // 41
    virtual float GetUserAngle() = 0;                                       // 42
    virtual int32_t SetCenter(int32_t nAngle) = 0;                          // 43
    virtual int32_t GetCenter() = 0;                                        // 44
    virtual int32_t GetMotorVersion() = 0;                                  // 45
    virtual int32_t SendCommand13() = 0;                                    // 46
    virtual int32_t SetReturnToEnd(int32_t nOn) = 0;                        // 47
    virtual int32_t GetReturnToEnd() = 0;                                   // 48
    virtual int32_t SetWorkDistanceRange(double dNear, double dFar) = 0;    // 49
    virtual int32_t Reserved50() = 0;                                       // 50
    virtual int32_t Reserved51() = 0;                                       // 51
    virtual int32_t ConfigCalibrateParam(const SKxSwingCalibrateParam* pParam) = 0;  // 52
    virtual int32_t Reserved53() = 0;                                       // 53
    virtual int32_t Reserved54() = 0;                                       // 54
    virtual int32_t SwitchRegister27(bool bOn) = 0;                         // 55
    virtual int32_t Reserved56() = 0;                                       // 56
    virtual SKxReserved16 Reserved57() = 0;                                 // 57
};

// Search sources of IKxEyeDeviceEnumrator::SearchDevice.
static const int32_t c_nKxSearchLocal = 0x2;
static const int32_t c_nKxSearchEthernet = 0x4;
static const int32_t c_nKxSearchSmallSmartEye = 0x8;

class IKxEyeDeviceEnumrator : public IKxUnknown {
public:
    virtual int32_t SearchDevice(int32_t nSearchFlags) = 0;                                   // 3
    virtual int32_t GetDeviceInfo(SKxNLEyeDeviceInfoEx* pInfos, int32_t nCount) = 0;         // 4
    virtual void GetDeviceInfoList(std::vector<SKxNLEyeDeviceInfoEx>& vecInfos) = 0;          // 5
    virtual int32_t GetDeviceInfoByID(const char* pszDeviceID, SKxNLEyeDeviceInfoEx* pInfo) = 0;  // 6
    virtual int32_t UpdateDeviceIP(const char* pszDeviceID, const uint8_t* pbyIP4) = 0;       // 7
    virtual bool IsDeviceOnline(const SKxNLEyeDeviceInfoEx* pInfo) = 0;                      // 8
    virtual bool Reserved9() = 0;                                                            // 9
};

class IKxEthernetEyeConfig : public IKxUnknown {
public:
    virtual int32_t SetIPAddress(const SKxNLEyeDeviceInfoEx* pInfo, const uint8_t* pbyIP,
                                 void* pReserved1, void* pReserved2) = 0;               // 3
    virtual int32_t SetDeviceIPAddress(IKxDevice* pDevice, const uint8_t* pbyIP,
                                       void* pReserved1, void* pReserved2) = 0;         // 4
    virtual int32_t ExtendedConfig1(const SKxNLEyeDeviceInfoEx* pInfo, void* p1, void* p2,
                                    void* p3, void* p4) = 0;                            // 5
    virtual int32_t ExtendedConfig2(const SKxNLEyeDeviceInfoEx* pInfo, int32_t nValue) = 0;  // 6
    virtual int32_t IsDelegateDevice(const SKxNLEyeDeviceInfoEx* pInfo) = 0;            // 7
    virtual int32_t SetDeviceMACAddress(IKxDevice* pDevice, const uint8_t* pbyMAC) = 0; // 8
    virtual int32_t ResetDestAddress(const SKxNLEyeDeviceInfoEx* pInfo) = 0;            // 9
    virtual int32_t ResetDeviceDestAddress(IKxDevice* pDevice) = 0;                     // 10
    virtual int32_t BindHostAddress(const SKxNLEyeDeviceInfoEx* pInfo) = 0;             // 11
    virtual int32_t BindDeviceHostAddress(IKxDevice* pDevice) = 0;                      // 12
};

// Interfaces of other device families, present only as cast targets.
class IKxDeviceEthConfig {
public:
    virtual ~IKxDeviceEthConfig() {}
    virtual int32_t SetIPAddress(const uint8_t* pbyIP, void* pReserved1, void* pReserved2) = 0;
    virtual int32_t Reserved2() = 0;
    virtual int32_t SetMACAddress(const uint8_t* pbyMAC) = 0;
};
class IKxLaserRobotEyeDevice {
public:
    virtual ~IKxLaserRobotEyeDevice() {}
};

class IKxDataBlock : public IKxUnknown {};

class IKxBaseDataBlock : public IKxDataBlock {
public:
    virtual bool GetSurfaces(IKxSurface** ppLeft, IKxSurface** ppRight) = 0;  // 3
    virtual void ReservedSlot4(void* pArg) = 0;                               // 4
    virtual uint64_t GetFrameIndex() = 0;                                     // 5
    virtual uint64_t GetTimeStamp() = 0;                                      // 6
};

// Output formats of GetPointData / GetPixelData.
static const int32_t c_nKxFormatIndexedDouble = 0;
static const int32_t c_nKxFormatFloat = 1;
static const int32_t c_nKxFormatFloat16 = 2;
static const int32_t c_nKxFormatFloat16b = 3;
static const int32_t c_nKxFormatFloat16c = 4;
static const int32_t c_nKxFormatFloat32 = 5;
static const int32_t c_nKxFormatDouble = 6;

// Swing angle marks of GetAngle / IsSweepEnd (tenths of a degree).
static const uint32_t c_nKxAngleNone = 65535;
static const uint32_t c_nKxAngleSweepEnd = 14400;

// One frame: raw laser points decoded on demand, images, counters and timestamps.
class IKxLaserEyeResultBlock : public IKxBaseDataBlock {
public:
    virtual void SetAfterProcParam(const SKxLaserResultAfterProcParam& param) = 0;  // 7
    virtual uint32_t GetRawTimeStamp() = 0;                                         // 8
    virtual uint32_t GetRawFrameCounter() = 0;                                      // 9
    virtual uint32_t GetEncoderCount() = 0;                                         // 10
    virtual float GetAngle(bool* pbValid) = 0;                                      // 11
    virtual void SetUserFlag(bool bFlag) = 0;                                       // 12
    virtual bool GetUserFlag() = 0;                                                 // 13
    virtual bool IsSweepEnd() = 0;                                                  // 14
    virtual int32_t GetOffsets(double* pdXOffset, double* pdAuxOffset) = 0;         // 15
    virtual const void* GetPointData(int32_t nFormat, int32_t* pnCount) = 0;        // 16
    virtual const void* GetPixelData(int32_t nFormat, int32_t* pnCount) = 0;        // 17
    virtual int32_t ReservedSlot18(int32_t nArg, void* p1, void* p2) = 0;           // 18
    virtual bool IsFrameConsistent() = 0;                                           // 19
    virtual int32_t ReservedSlot20() = 0;                                           // 20
    virtual void SaveToFile(const char* pszFile) = 0;                               // 21
    virtual uint32_t GetRawPointCount() = 0;                                        // 22
    virtual void GetExtendedInfo(void* pInputInfo, void* pTiltAngles) = 0;          // 23
    virtual int32_t ReservedSlot24() = 0;                                           // 24
    virtual bool ReservedSlot25() = 0;                                              // 25
    virtual void ReservedSlot26(void*) {}                                           // 26
    virtual bool ReservedSlot27(void*) { return false; }                            // 27
    virtual void ReservedSlot28(void*) {}                                           // 28
};

extern "C" {
// Creates a device enumerator. False (nothing created) for a null out-pointer.
KXLE_API bool KxCreateLaserEyeDeviceEnumrator(IKxEyeDeviceEnumrator** ppEnumrator);
// Creates an Ethernet configuration; pIDelegate (may be null) serves the other device family.
KXLE_API bool KxCreateLaserEyeEthernetEyeConfig(IKxEthernetEyeConfig* pIDelegate,
                                                IKxEthernetEyeConfig** ppConfig);
// Creates a device from one device-information record and the application's pools (null pools
// are allowed). The device is not opened.
KXLE_API bool KxCreateLaserEyeDevice(const SKxNLEyeDeviceInfoEx* pInfo, IKxSurfacePool* pSurfacePool,
                                     IKxMemPool* pMemPool, IKxLaserEyeDevice** ppDevice);
// Sets the camera access library's log level (0 to 4; other values silence it).
KXLE_API void KxConfigLaserEyeLogLevel(int nLevel);
}

#endif
