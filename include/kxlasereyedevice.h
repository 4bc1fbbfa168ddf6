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
// Raised only with reconnecting switched on (IKxLaserEyeDeviceReconnect): the device took its
// camera back (re-opened, settings written back, capture resumed); GetReconnectState tells the
// frames missed. And: it stopped trying (the bound passed); it stays offline.
static const int32_t c_nKxEventReconnected = 30;
static const int32_t c_nKxEventReconnectFailed = 31;

// Application interface: device events, called on the camera library's thread.
class IKxDeviceEventHandler : public IKxUnknown {
public:
    // Called on the camera library's thread with an event code c_nKxEvent...
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

// Codes common to the device's operations: 0 success; -79988 not open; -79996 offline (for
// good, until Close and Open); -79971 refused while capturing; -79000 a required pointer is
// null; -10014 and -10030 and the camera library's other codes pass through (kxunknown.h names
// them all; `kxeye codes` prints their meanings). The SDK's docs/guide.md shows each step.
class IKxDevice : public IKxUnknown {
public:
    // Kind of device: 2 for a laser eye.
    virtual int32_t GetDeviceKind() = 0;                                            // 3
    // The device-information record the device was created from (owned by the device).
    virtual const SKxNLEyeDeviceInfoEx* GetDeviceInfo() = 0;                        // 4
    // Connects and prepares the camera (pass 0); 0, -79983 no camera object, -80000 version above 8, or a camera code.
    virtual int32_t Open(int32_t nReserved) = 0;                                    // 5
    // Stops any capture, detaches the swing motor and disconnects; safe to call more than once.
    virtual void Close() = 0;                                                       // 6
    // True from a successful connection in Open until Close.
    virtual bool IsOpen() = 0;                                                      // 7
    // Reserved (keeps the slot order); does nothing.
    virtual int32_t Reserved8() = 0;                                                // 8
    // Sets the handler of device events (null: none); the device holds a reference on it. 0.
    virtual int32_t SetEventHandler(IKxDeviceEventHandler* pHandler) = 0;           // 9
    // Reserved; does nothing.
    virtual int32_t Reserved10() = 0;                                               // 10
    // Reserved; answers 1.
    virtual int32_t Reserved11() = 0;                                               // 11
    // Sensor width and height in pixels; -79988 when not open, -79996 offline (nothing written).
    virtual int32_t GetVideoResolution(uint32_t* pnWidth, uint32_t* pnHeight) = 0;  // 12
    // Takes the device's recursive lock, to keep other threads out across several operations.
    virtual void Lock() = 0;                                                        // 13
    // Gives back one Lock.
    virtual void Unlock() = 0;                                                      // 14
    // Reads a data item: type 1 reference laser line (108 bytes), 2 data block (262144), 3 kernel data area (262144); a null buffer or length 0 only tells the length needed in *pnRequired.
    virtual int32_t ReadData(uint32_t eType, void* pBuffer, uint32_t nLength,
                             uint32_t* pnRequired) = 0;                             // 15
    // Writes a data item of ReadData's types (type 1 exactly 108 bytes); -80000 for type 4.
    virtual int32_t WriteData(uint32_t eType, const void* pData, uint32_t nLength) = 0;  // 16
    // Reads bytes of the user data area of the camera's storage from nAddress.
    virtual int32_t ReadCustomData(uint32_t nAddress, uint8_t* pBuffer, uint32_t nLength) = 0;  // 17
    // Writes bytes of the user data area of the camera's storage at nAddress.
    virtual int32_t WriteCustomData(uint32_t nAddress, const uint8_t* pData,
                                    uint32_t nLength) = 0;                          // 18
    // The user data range: 65 and 1024 through the two out-pointers.
    virtual int32_t GetDataRange(int32_t* pnFirst, int32_t* pnSecond) = 0;          // 19
};

class IKxEyeDevice : public IKxDevice {
public:
    // Hardware and firmware version texts and the device ID read from the camera.
    virtual int32_t GetVersion(SKxEyeVersionInfo* pInfo) = 0;                       // 20
    // Switches the camera's denoise filter on or off (no call when unchanged).
    virtual int32_t EnableDenoise(bool bOn) = 0;                                    // 21
    // Denoise state last confirmed.
    virtual bool IsDenoiseEnabled() = 0;                                            // 22
    // Manual exposure (nAuto 0) in the camera's exposure units, 0 to 65535; -80000 for auto or above 65535, -79951 when the camera kept another value.
    virtual int32_t SetExpose(int32_t nAuto, uint32_t nValue) = 0;                  // 23
    // Exposure mode (0 manual) and value last confirmed.
    virtual int32_t GetExpose(int32_t* pnAuto, int32_t* pnValue) = 0;               // 24
    // Sets the left and right detection windows (pixel edges); a -78000-range code when the ROI rules refuse them, -79951 when the camera kept others.
    virtual int32_t SetDetectROI(const SKxNLROIRect* pLeft, const SKxNLROIRect* pRight) = 0;  // 25
    // Left and right detection windows as last confirmed (they follow the dynamic ROI while capturing).
    virtual int32_t GetDetectROI(SKxNLROIRect* pLeft, SKxNLROIRect* pRight) = 0;    // 26
    // Sensor gain, 44 to 480 (else -79945); the first argument is unused.
    virtual int32_t SetCameraGain(int32_t nReserved, uint16_t nGain) = 0;           // 27
    // Reserved; answers -80000.
    virtual int32_t Reserved28() = 0;                                               // 28
    // One left and right image pair while idle (images switched on), each with one reference; -79971 while capturing.
    virtual int32_t GetImage(IKxSurface** ppLeft, IKxSurface** ppRight,
                             uint32_t nTimeoutMs) = 0;                              // 29
    // The camera access object the device uses (no reference taken; valid until Close).
    virtual IOrEyeCamera* GetCoreEye() = 0;                                         // 30
    // Frames per second, 1 to 2000 (else -80000); refused while capturing.
    virtual int32_t SetFrameRate(uint16_t nRate) = 0;                               // 31
    // Reserved; answers -80000.
    virtual int32_t Reserved32() = 0;                                               // 32
    // The camera's 4 x 4 reprojection matrix, row by row (disparity to millimetres); -79000 for a null pointer.
    virtual int32_t GetQMatrix(double* pdMatrix16) = 0;                             // 33
    // Reserved; answers -80000.
    virtual int32_t Reserved34() = 0;                                               // 34
    // Rewrites the IP address texts of the device's record (4 bytes, first octet first).
    virtual void UpdateIPAddress(const uint8_t* pbyIP4) = 0;                        // 35
    // Stores a new serial number in the camera (at most 8 characters).
    virtual int32_t WriteSerialNum(const char* pszSerial) = 0;                      // 36
    // Stores a new device identifier in the camera (at most 16 characters).
    virtual int32_t WriteDeviceID(const char* pszID) = 0;                           // 37
    // Stores a new MAC address (6 bytes) in the camera.
    virtual int32_t WriteMACAddress(const uint8_t* pbyMAC6) = 0;                    // 38
    // True while the camera answers.
    virtual bool CheckOnline() = 0;                                                 // 39
    // Reserved; answers -80000.
    virtual int32_t Reserved40() = 0;                                               // 40
};

class IKxEyeDetectDevice : public IKxEyeDevice {};

class IKxLaserEyeDevice : public IKxEyeDetectDevice {
public:
    // Kind of device: 2 for a laser eye.
    virtual int32_t GetDeviceKind() { return 2; }                                   // 3
    // Hardware version number 0 to 8; it selects the frame layout and the operations offered.
    virtual uint32_t GetHWVersion() = 0;                                            // 41
    // Grey level above which the laser line is detected; -79951 when the camera kept another value.
    virtual int32_t SetLaserThres(int32_t nValue) = 0;                              // 42
    // Laser threshold last confirmed; -79982 while unknown.
    virtual int32_t GetLaserThres(int32_t* pnValue) = 0;                            // 43
    // One frame while idle (waits up to 2 s): a result block with one reference; -79971 while capturing.
    virtual int32_t Detect(IKxLaserEyeResultBlock** ppBlock) = 0;                   // 44
    // Switches the image transfer to the SetDebugMode request now; -79988 not open, -79971 while capturing.
    virtual int32_t ApplyDebugMode() = 0;                                           // 45
    // Starts continuous capture: pCallBack (required, -79000 when null) gets every frame on the camera library's thread; ppFinishSignal (may be null) receives the sweep-finished signal.
    virtual int32_t StartCapture(int32_t nReserved, IKxLaserDataCallBack* pCallBack,
                                 IKxSignal** ppFinishSignal) = 0;                   // 46
    // Pulls the next frame while capturing (waits up to nTimeoutMs); -79970 when not capturing; its block carries encoder count 0 and no swing angle.
    virtual int32_t GetLaserResult(IKxLaserEyeResultBlock** ppBlock,
                                   uint32_t nTimeoutMs) = 0;                        // 47
    // Stops continuous capture; once it returns the callback is not called again.
    virtual int32_t StopCapture() = 0;                                              // 48
    // Reserved; does nothing.
    virtual int32_t Reserved49() = 0;                                               // 49
    // True between StartCapture and StopCapture.
    virtual bool IsCapturing() = 0;                                                 // 50
    // Image mode StopCapture restores (nMode 1 on); with bRestore also switches to it now.
    virtual int32_t ConfigDebugCapture(bool bRestore, int32_t nMode) = 0;           // 51
    // Reserved; answers -80000 on a usable device.
    virtual int32_t Reserved52() = 0;                                               // 52
    // Reserved; answers -80000.
    virtual int32_t Reserved53() = 0;                                               // 53
    // Image bit mode of the camera (passed through).
    virtual int32_t ConfigImgBitMode(int32_t nMode) = 0;                            // 54
    // Asks for the left and right images with every frame from the next StartCapture (or ApplyDebugMode).
    virtual int32_t SetDebugMode(bool bOn) = 0;                                     // 55
    // The image request of SetDebugMode.
    virtual bool GetDebugMode() = 0;                                                // 56
    // Switches the camera's accelerator on or off (no call when unchanged).
    virtual int32_t EnableAccelerator(bool bOn) = 0;                                // 57
    // Trigger mode of the camera, 0 to 4 (2 to 4 need version 7, else -80000); confirmed from version 7 on.
    virtual int32_t SetTriggerMode(int32_t nMode) = 0;                              // 58
    // Trigger mode last confirmed; -80000 when not known.
    virtual int32_t GetTriggerMode(int32_t* pnMode) = 0;                            // 59
    // Lets the detection windows follow the laser line (version 5 and above, else -80000).
    virtual int32_t EnableDynamicROI(bool bOn) = 0;                                 // 60
    // Dynamic ROI state last set (version 8; *pnError gets the code).
    virtual bool IsDynamicROIEnabled(int32_t* pnError) = 0;                         // 61
    // Gap value of the camera (passed through).
    virtual int32_t SetGap(int32_t nGap) = 0;                                       // 62
    // Trigger divider values of the camera (passed through).
    virtual int32_t SetTriggerN(uint32_t nA, uint32_t nB) = 0;                      // 63
    // Stores a flag the device does not use.
    virtual void SetReservedFlag(bool bFlag) = 0;                                   // 64
    // The flag of SetReservedFlag.
    virtual bool GetReservedFlag() = 0;                                             // 65
    // The swing motor (version 8 with a motor fitted) with one reference; false when there is none.
    virtual bool GetSwingMotorDevice(IKxSwingMotorDevice** ppMotor) = 0;            // 66
    // Reserved; answers false.
    virtual bool Reserved67() = 0;                                                  // 67
    // Reserved; answers false.
    virtual bool Reserved68() = 0;                                                  // 68
    // Sends a custom command (register nB, second word nA) with nValue (-1: none) to the camera.
    virtual int32_t SetCustomCommand(int32_t nA, int32_t nB, int32_t nValue) = 0;   // 69
    // Reads the 32-bit reply of a custom command into pReply.
    virtual int32_t ReadCustomCommand(int32_t nA, int32_t nB, void* pReply) = 0;    // 70
    // Passes an option to the camera (bWhich: SetOptionEx, else SetOption).
    virtual int32_t ConfigCameraOption(bool bWhich, bool bOn, int32_t nValue,
                                       int32_t nValue2) = 0;                        // 71
    // Writes camera parameter 60 (a block of up to 65536 bytes).
    virtual int32_t WriteParam60(const void* pData, uint32_t nLength) = 0;          // 72
    // Passes an extended command to the camera.
    virtual int32_t CameraOp43(int32_t nA, void* pB, int32_t nC, void* pD, int32_t nE) = 0;  // 73
    // Reads the windows back from the camera and sends them again.
    virtual int32_t SyncDetectROI() = 0;                                            // 74
    // While capturing, drops frames taken with the trigger off and raises events 15 and 16 when triggering starts and stops.
    virtual int32_t EnableTriggerFilter(bool bOn) = 0;                              // 75
    // Passes a feature switch to the camera.
    virtual int32_t CameraOp45(bool bOn, int32_t nValue) = 0;                       // 76
    // Switches the image transfer now (1 on, else off).
    virtual int32_t SwitchDebug(int32_t nOn) = 0;                                   // 77
    // True when the camera last confirmed image transfer on.
    virtual bool IsDebugModeOn() = 0;                                               // 78
    // Whether Detect switches the images on for its frame (default on).
    virtual void EnableDetectDebug(bool bOn) = 0;                                   // 79
    // The setting of EnableDetectDebug.
    virtual bool IsDetectDebugEnabled() = 0;                                        // 80
    // Whether StartCapture sends the swing motor to its origin first (default on).
    virtual void EnableSwingOnCapture(bool bOn) = 0;                                // 81
    // The setting of EnableSwingOnCapture.
    virtual bool IsSwingOnCapture() = 0;                                            // 82
    // Calls the event handler with event 10.
    virtual void NotifyEvent() = 0;                                                 // 83
    // Reserved; answers false.
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

// State of reconnecting after a loss (IKxLaserEyeDeviceReconnect::GetReconnectState).
struct SKxReconnectState {
    uint32_t nState;           // 0 online (or reconnecting off), 1 lost and trying, 2 gave up
    uint32_t nLosses;          // losses seen since reconnecting was switched on
    uint32_t nReconnects;      // of them, taken back
    uint32_t nAttempts;        // re-open attempts of the current (or last) loss
    int32_t nLastError;        // code of the last failed attempt, 0 if none
    uint32_t nOutageMs;        // last loss: from the loss to the capture resumed (or re-opened)
    uint64_t nFramesMissed;    // last loss: frames the camera made that never arrived
    uint64_t nFramesMissedAll; // all losses
};
static_assert(sizeof(SKxReconnectState) == 40, "SKxReconnectState is 40 bytes");

// Getting a lost camera back by itself, slots 91 to 94; off by default, and nothing changes
// while it is off. Reached like IKxLaserEyeDeviceEx, with a static_cast of the device pointer:
//     IKxLaserEyeDeviceReconnect* pRe = static_cast<IKxLaserEyeDeviceReconnect*>(pDevice);
//     pRe->EnableReconnect(true, 500, 0);
// On a loss the device raises event 4 as always, then tries to open the camera again every
// nIntervalMs on a thread of its own. When the camera answers it re-opens, writes back every
// parameter the application set, resumes the capture it had (same data callback) and raises
// c_nKxEventReconnected. Operations answer KX_E_OFFLINE meanwhile. A StopCapture meanwhile
// ends the capture (it is not resumed) but not the trying; Close, CancelReconnect and
// EnableReconnect(false) end the trying.
class IKxLaserEyeDeviceReconnect : public IKxLaserEyeDeviceEx {
public:
    // nIntervalMs between attempts (0: 500 ms); nGiveUpMs: stop trying after that long and
    // raise c_nKxEventReconnectFailed (0: never). 0, or -79000 never.
    virtual int32_t EnableReconnect(bool bOn, uint32_t nIntervalMs, uint32_t nGiveUpMs) = 0;  // 91
    virtual bool IsReconnectEnabled() = 0;                                                   // 92
    // The state above; -79000 for a null pointer.
    virtual int32_t GetReconnectState(SKxReconnectState* pState) = 0;                         // 93
    // Ends the trying of the current loss at once (the device stays offline). 0.
    virtual int32_t CancelReconnect() = 0;                                                   // 94
};

// Swing motor of version 8 cameras.
class IKxSwingMotorDevice : public IKxUnknown {
public:
    // Switches the swing (the line follows the motor) on or off, optionally with the dynamic ROI.
    virtual int32_t EnableSwing(bool bOn, bool bWithDynamicROI) = 0;        // 3
    // True while the swing is switched on.
    virtual bool IsSwingEnabled() = 0;                                      // 4
    // Starts (true) or stops (false) the sweep between the range edges.
    virtual int32_t RunMotor(bool bRun) = 0;                                // 5
    // True while sweeping; *pnError gets the code.
    virtual bool IsMotorRunning(int32_t* pnError) = 0;                      // 6
    // Laser light level, 0 to 1000 (else -79945).
    virtual int32_t SetLight(uint32_t nValue) = 0;                          // 7
    // Laser light level; *pnError gets the code.
    virtual int32_t GetLight(int32_t* pnError) = 0;                         // 8
    // Sweep speed in degrees per second, within GetSpeedRange (else -79945).
    virtual int32_t SetSpeed(int32_t nSpeed) = 0;                           // 9
    // Sweep speed in degrees per second.
    virtual int32_t GetSpeed(int32_t* pnSpeed) = 0;                         // 10
    // Reserved.
    virtual int32_t Reserved11() = 0;                                       // 11
    // Reserved.
    virtual int32_t Reserved12() = 0;                                       // 12
    // Reserved.
    virtual int32_t Reserved13() = 0;                                       // 13
    // Lowest and highest speed in degrees per second.
    virtual int32_t GetSpeedRange(int32_t* pnMin, int32_t* pnMax) = 0;      // 14
    // Reserved; answers 0.
    virtual int32_t Reserved15() = 0;                                       // 15
    // Reserved; answers true.
    virtual bool Reserved16() = 0;                                          // 16
    // Largest angle of the motor in whole degrees (at most 75).
    virtual int32_t GetMaxAngle(int32_t* pnMax) = 0;                        // 17
    // Sweep range in whole degrees, 0 to the maximum angle, at least 10 apart (else -79945).
    virtual int32_t SetSwingRange(int32_t nStart, int32_t nEnd) = 0;        // 18
    // Sweep range in whole degrees.
    virtual int32_t GetSwingRange(int32_t* pnStart, int32_t* pnEnd) = 0;    // 19
    // Makes the current position the start of the range.
    virtual int32_t SetRangeStartHere() = 0;                                // 20
    // Makes the current position the end of the range.
    virtual int32_t SetRangeEndHere() = 0;                                  // 21
    // Moves to an angle in degrees; with bWait until the motor stands (at most 30 s, then -79943).
    virtual int32_t MoveTo(float fAngle, bool bWait) = 0;                   // 22
    // Moves to the centre of the range (or the centre set with SetCenter).
    virtual int32_t MoveToCenter(bool bWait) = 0;                           // 23
    // Moves to the controller's home (the range start), or the range end with SetReturnToEnd; at speed 96.
    virtual int32_t MoveToOrigin(bool bWait) = 0;                           // 24
    // 1: one sweep per capture, ending with the finish signal; 2: back and forth until stopped.
    virtual int32_t SetSwingMode(int32_t nMode) = 0;                        // 25
    // The swing mode, 1 or 2.
    virtual int32_t GetSwingMode() = 0;                                     // 26
    // Writes the controller's register 18.
    virtual int32_t SetRegister18(uint32_t nValue) = 0;                     // 27
    // Position in tenths of a degree; *pnError gets the code.
    virtual int32_t GetPositionTenths(int32_t* pnError) = 0;                // 28
    // Position in degrees; *pnError gets the code.
    virtual float GetPosition(int32_t* pnError) = 0;                        // 29
    // Maximum angle, speed limits, range (degrees) and speed in one record; 0.
    virtual int32_t GetMotorInfo(SKxMotorInfo* pInfo) = 0;                  // 30
    // Sends controller command 20.
    virtual int32_t SendCommand20() = 0;                                    // 31
    // Sends controller commands 20 and 21.
    virtual int32_t SendCommand20And21() = 0;                               // 32
    // Sends controller command 22.
    virtual int32_t SendCommand22() = 0;                                    // 33
    // Sends controller command 23.
    virtual int32_t SendCommand23() = 0;                                    // 34
    // Sends controller command 24.
    virtual int32_t SendCommand24() = 0;                                    // 35
    // True while the motor stands; *pnError gets the code.
    virtual bool IsMotorIdle(int32_t* pnError) = 0;                         // 36
    // Waits until the motor stands (status every 100 ms, at most 30 s, then -79943).
    virtual int32_t WaitIdle() = 0;                                         // 37
    // The controller's status word; *pnError gets -79936, -79940, -79941 or -79943 for a fault.
    virtual int32_t ReadStatus(int32_t* pnError) = 0;                       // 38
    // Reserved.
    virtual int32_t Reserved39() = 0;                                       // 39
    // Reserved.
    virtual int32_t Reserved40() = 0;                                       // 40
    // Stores an angle of the application's own, 0 to the maximum angle.
    virtual int32_t SetUserAngle(float fAngle) = 0;                         // 41
    // The angle of SetUserAngle.
    virtual float GetUserAngle() = 0;                                       // 42
    // Centre of the range in whole degrees (kept by later SetSwingRange).
    virtual int32_t SetCenter(int32_t nAngle) = 0;                          // 43
    // Centre of the range in whole degrees.
    virtual int32_t GetCenter() = 0;                                        // 44
    // Motor firmware version; 0 when it cannot be read.
    virtual int32_t GetMotorVersion() = 0;                                  // 45
    // Ends the sweep travel where the motor is.
    virtual int32_t SendCommand13() = 0;                                    // 46
    // Non-zero: MoveToOrigin goes to the range end instead of the controller's home.
    virtual int32_t SetReturnToEnd(int32_t nOn) = 0;                        // 47
    // The setting of SetReturnToEnd.
    virtual int32_t GetReturnToEnd() = 0;                                   // 48
    // Sizes the detection windows for a depth range, near and far in millimetres (else -79945).
    virtual int32_t SetWorkDistanceRange(double dNear, double dFar) = 0;    // 49
    // Reserved.
    virtual int32_t Reserved50() = 0;                                       // 50
    // Reserved.
    virtual int32_t Reserved51() = 0;                                       // 51
    // Sends the swing calibration (six doubles, the first unused).
    virtual int32_t ConfigCalibrateParam(const SKxSwingCalibrateParam* pParam) = 0;  // 52
    // Reserved.
    virtual int32_t Reserved53() = 0;                                       // 53
    // Reserved.
    virtual int32_t Reserved54() = 0;                                       // 54
    // Switches the controller's register 27 on or off.
    virtual int32_t SwitchRegister27(bool bOn) = 0;                         // 55
    // Reserved; answers 0.
    virtual int32_t Reserved56() = 0;                                       // 56
    // Reserved; answers a zero record.
    virtual SKxReserved16 Reserved57() = 0;                                 // 57
};

// Search sources of IKxEyeDeviceEnumrator::SearchDevice.
static const int32_t c_nKxSearchLocal = 0x2;
static const int32_t c_nKxSearchEthernet = 0x4;
static const int32_t c_nKxSearchSmallSmartEye = 0x8;

class IKxEyeDeviceEnumrator : public IKxUnknown {
public:
    // Searches the sources of nSearchFlags (c_nKxSearch..., combined) and keeps the records found; always 0.
    virtual int32_t SearchDevice(int32_t nSearchFlags) = 0;                                   // 3
    // Copies up to nCount records of the last search (nCount 0: none); answers how many there are.
    virtual int32_t GetDeviceInfo(SKxNLEyeDeviceInfoEx* pInfos, int32_t nCount) = 0;         // 4
    // The records of the last search.
    virtual void GetDeviceInfoList(std::vector<SKxNLEyeDeviceInfoEx>& vecInfos) = 0;          // 5
    // The record with exactly this device ID (case matters); -79964 when none.
    virtual int32_t GetDeviceInfoByID(const char* pszDeviceID, SKxNLEyeDeviceInfoEx* pInfo) = 0;  // 6
    // Rewrites the IP address texts of the first record with that ID (4 bytes, first octet first); -79964 when none.
    virtual int32_t UpdateDeviceIP(const char* pszDeviceID, const uint8_t* pbyIP4) = 0;       // 7
    // Whether the camera of the record answers (false until the Ethernet search exists).
    virtual bool IsDeviceOnline(const SKxNLEyeDeviceInfoEx* pInfo) = 0;                      // 8
    // Reserved; answers false.
    virtual bool Reserved9() = 0;                                                            // 9
};

class IKxEthernetEyeConfig : public IKxUnknown {
public:
    // Gives the camera of the record a new IP address (4 bytes, first octet first) and pins it in the host's ARP table; -69990..-69997 for unusable addresses.
    virtual int32_t SetIPAddress(const SKxNLEyeDeviceInfoEx* pInfo, const uint8_t* pbyIP,
                                 void* pReserved1, void* pReserved2) = 0;               // 3
    // As SetIPAddress, for an opened device.
    virtual int32_t SetDeviceIPAddress(IKxDevice* pDevice, const uint8_t* pbyIP,
                                       void* pReserved1, void* pReserved2) = 0;         // 4
    // Passed to the delegate of the other device family.
    virtual int32_t ExtendedConfig1(const SKxNLEyeDeviceInfoEx* pInfo, void* p1, void* p2,
                                    void* p3, void* p4) = 0;                            // 5
    // Passed to the delegate of the other device family.
    virtual int32_t ExtendedConfig2(const SKxNLEyeDeviceInfoEx* pInfo, int32_t nValue) = 0;  // 6
    // Whether the record belongs to the other device family.
    virtual int32_t IsDelegateDevice(const SKxNLEyeDeviceInfoEx* pInfo) = 0;            // 7
    // Gives an opened device a new MAC address (6 bytes).
    virtual int32_t SetDeviceMACAddress(IKxDevice* pDevice, const uint8_t* pbyMAC) = 0; // 8
    // Makes the camera of the record send to the broadcast address again.
    virtual int32_t ResetDestAddress(const SKxNLEyeDeviceInfoEx* pInfo) = 0;            // 9
    // As ResetDestAddress, for an opened device.
    virtual int32_t ResetDeviceDestAddress(IKxDevice* pDevice) = 0;                     // 10
    // Makes the camera of the record send its frames to the host card it was found through.
    virtual int32_t BindHostAddress(const SKxNLEyeDeviceInfoEx* pInfo) = 0;             // 11
    // As BindHostAddress, for an opened device.
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
    // The left and right images with a reference each; false when the frame carries none.
    virtual bool GetSurfaces(IKxSurface** ppLeft, IKxSurface** ppRight) = 0;  // 3
    // Reserved; does nothing.
    virtual void ReservedSlot4(void* pArg) = 0;                               // 4
    // Frames since the capture started (counter steps; above 1 means frames were dropped; 0 for versions 0 to 2).
    virtual uint64_t GetFrameIndex() = 0;                                     // 5
    // Microseconds since the capture started, from the camera's clock.
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
    // Transform, range filters, sampling and mirroring applied at the next decode.
    virtual void SetAfterProcParam(const SKxLaserResultAfterProcParam& param) = 0;  // 7
    // The camera's raw timestamp of the frame, in its own ticks.
    virtual uint32_t GetRawTimeStamp() = 0;                                         // 8
    // The camera's raw frame counter of the frame.
    virtual uint32_t GetRawFrameCounter() = 0;                                      // 9
    // Encoder count of the frame (10 per mm on the virtual camera); 0 on blocks of GetLaserResult and Detect.
    virtual uint32_t GetEncoderCount() = 0;                                         // 10
    // Swing angle in degrees; *pbValid false (and 0) when the frame has none or ends a sweep.
    virtual float GetAngle(bool* pbValid) = 0;                                      // 11
    // Stores a flag of the application's own.
    virtual void SetUserFlag(bool bFlag) = 0;                                       // 12
    // The flag of SetUserFlag.
    virtual bool GetUserFlag() = 0;                                                 // 13
    // True on the frame that ends a sweep.
    virtual bool IsSweepEnd() = 0;                                                  // 14
    // The x and auxiliary offsets of the after-processing; 0.
    virtual int32_t GetOffsets(double* pdXOffset, double* pdAuxOffset) = 0;         // 15
    // Decoded points in a format c_nKxFormat... (millimetres); *pnCount the number; null when none. Valid until the format or after-processing changes.
    virtual const void* GetPointData(int32_t nFormat, int32_t* pnCount) = 0;        // 16
    // Image positions (left and right column and row) of the same points.
    virtual const void* GetPixelData(int32_t nFormat, int32_t* pnCount) = 0;        // 17
    // Reserved; answers -1.
    virtual int32_t ReservedSlot18(int32_t nArg, void* p1, void* p2) = 0;           // 18
    // False when the two frame numbers of a version below 7 frame disagree.
    virtual bool IsFrameConsistent() = 0;                                           // 19
    // Reserved; answers 0.
    virtual int32_t ReservedSlot20() = 0;                                           // 20
    // Writes the raw laser bytes to pszFile, the points to <name>_3D.txt and the images to <name>_L.png, <name>_R.png beside it.
    virtual void SaveToFile(const char* pszFile) = 0;                               // 21
    // Number of laser points the camera found in the frame, before any filter.
    virtual uint32_t GetRawPointCount() = 0;                                        // 22
    // Input states (60 bytes) and tilt angles (3 floats) of the extended trailer.
    virtual void GetExtendedInfo(void* pInputInfo, void* pTiltAngles) = 0;          // 23
    // Reserved; answers 0.
    virtual int32_t ReservedSlot24() = 0;                                           // 24
    // Reserved; answers false.
    virtual bool ReservedSlot25() = 0;                                              // 25
    // Reserved.
    virtual void ReservedSlot26(void*) {}                                           // 26
    // Reserved.
    virtual bool ReservedSlot27(void*) { return false; }                            // 27
    // Reserved.
    virtual void ReservedSlot28(void*) {}                                           // 28
};

// A frame's time on the host's clock (IKxLaserEyeResultBlockEx::GetHostTime). The camera's own
// time stamp is mapped with a running estimate of the camera clock's offset and drift against
// the host's steady clock, made from the frames' time stamps against their arrival (the fastest
// frames of each 50 ms, fitted over the last 10 s). The estimate is of "when this frame would
// have arrived with no queueing delay": the camera's own delay from exposure to sending and the
// shortest transfer remain in it (only hardware time sync removes them), so two cameras on one
// host compare to within their uncertainties plus the difference of those fixed delays.
struct SKxHostTime {
    int64_t nHostNs;         // steady clock (CLOCK_MONOTONIC; QueryPerformanceCounter on Windows), ns
    int64_t nSystemUs;       // the same instant on the wall clock: microseconds since 1970 (UTC)
    int64_t nArrivalNs;      // when the frame reached the library, steady clock, ns
    uint32_t nUncertaintyNs; // typical error of nHostNs beyond the fixed delay (0 when unknown)
    int32_t nDriftPpb;       // camera clock against the host's, parts per billion (+ runs slow)
    uint32_t nSamples;       // frames the estimate rests on
    uint32_t nState;         // 0 no estimate (nHostNs is the arrival), 1 offset only, 2 offset and drift
};
static_assert(sizeof(SKxHostTime) == 40, "SKxHostTime is 40 bytes");

// The result block's extension, slot 29. Reached like IKxLaserEyeDeviceEx, with a static_cast of
// the block pointer (every block the SDK hands out implements it):
//     IKxLaserEyeResultBlockEx* pEx = static_cast<IKxLaserEyeResultBlockEx*>(pBlock);
class IKxLaserEyeResultBlockEx : public IKxLaserEyeResultBlock {
public:
    // The frame's host time; -79000 for a null pointer. Blocks of continuous capture carry the
    // estimate as it stood when the frame arrived; blocks of GetLaserResult and Detect carry
    // nState 0.
    virtual int32_t GetHostTime(SKxHostTime* pTime) = 0;                            // 29
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
