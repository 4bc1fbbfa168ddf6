// Camera access library: one IOrEyeCamera per access path. Compiles as C++11.
//
// Every operation answers an int: 0 success, -10014 transient (call again), -10030 offline;
// other codes are the library's own (see docs/virtual-camera.md). Slots never called by the SDK
// are declared as reserved so that every position holds.
#ifndef OREYEAPI_H
#define OREYEAPI_H

#include <cstdint>

#if defined(_WIN32) && defined(OREYEAPI_BUILD)
#define OREYE_API __declspec(dllexport)
#elif defined(_WIN32)
#define OREYE_API __declspec(dllimport)
#elif defined(OREYEAPI_BUILD)
#define OREYE_API __attribute__((visibility("default")))
#else
#define OREYE_API
#endif

enum OREYEAPI_TYPE {
    OREYEAPI_TYPE_SMALL_SMART_EYE = 0,
    OREYEAPI_TYPE_LOCAL = 2,
    OREYEAPI_TYPE_ETHERNET = 3
};

// Codes of the camera access library.
static const int c_nOrEyeOK = 0;
static const int c_nOrEyeRetry = -10014;
static const int c_nOrEyeOffline = -10030;
static const int c_nOrEyeBadArgument = -10001;    // null pointer, bad length, unknown id
static const int c_nOrEyeNotInitialised = -10002; // call before InitDevice
static const int c_nOrEyeOutOfRange = -10003;     // storage address or value outside the map
static const int c_nOrEyeNoDevice = -10004;       // no camera for the connect text / selection
static const int c_nOrEyeTimeout = -10005;        // no frame within the timeout
static const int c_nOrEyeNotSupported = -10006;   // operation not offered by this access path
static const int c_nOrEyeIoError = -10007;        // storage or transport failure
static const int c_nOrEyeAccessDenied = -10008;   // Ethernet: another host controls the camera

// Frame-event events.
static const int c_nOrEyeEventStreamEvent = 0;
static const int c_nOrEyeEventFrame = 3;
static const int c_nOrEyeEventError5 = 5;
static const int c_nOrEyeEventError7 = 7;
static const int c_nOrEyeEventResume = 10;
static const int c_nOrEyeEventSweep = 11;

// Laser part of every frame, behind the optional left and right images.
static const unsigned int c_nOrEyeLaserBytes = 32800;

// Called on the library's own thread. For event 3 the buffer stays the library's until
// ReleaseFrameBuffer(nBufferId).
typedef void (*OrEyeFrameCallback)(int nEvent, int nParam, void* pBuffer, unsigned int nLength,
                                   unsigned int nBufferId, void* pContext);

// Local device table of ListDevices: 308 bytes.
static const unsigned int c_nOrEyeListTableBytes = 308;
static const unsigned int c_nOrEyeListEntryBytes = 76;
static const unsigned int c_nOrEyeListMaxEntries = 4;
// Search result buffer of Search: 484 bytes.
static const unsigned int c_nOrEyeSearchBytes = 484;
static const unsigned int c_nOrEyeSearchEntryBytes = 60;
static const unsigned int c_nOrEyeSearchMaxEntries = 8;

class IOrEyeCamera {
public:
    virtual ~IOrEyeCamera() {}                                                             // 0
    virtual int GetVersionText(char* pszText, int nLength) = 0;                            // 1
    virtual int Reserved2() { return c_nOrEyeNotSupported; }                               // 2
    virtual int ListDevices(unsigned char* pTable308) = 0;                                 // 3
    virtual int InitDevice(int nWidth, int nHeight, int nA, int nMode,
                           const char* pszConnect) = 0;                                    // 4
    virtual int SetFrameCallback(int nEnable, OrEyeFrameCallback pfn, void* pContext) = 0;  // 5
    virtual int EnableStream(int nOn) = 0;                                                 // 6
    virtual int Reserved7() { return c_nOrEyeNotSupported; }                               // 7
    // Destinations: left image, right image (null when images are off), laser data (32800).
    virtual int WaitStreamFrame(unsigned char* apDest[3], unsigned int* pnLength,
                                unsigned int* pnFrameId, unsigned int nTimeoutMs) = 0;     // 8
    virtual int GrabFrame(unsigned char* apDest[3], unsigned int* pnLength,
                          unsigned int* pnFrameId, unsigned int nTimeoutMs) = 0;           // 9
    virtual int SetParam(int nId, const void* pData, int nLength) = 0;                     // 10
    virtual int GetParam(int nId, void* pData, int nLength) = 0;                           // 11
    virtual int WriteRegister(int nTarget, unsigned int nAddress, const void* pData,
                              int nLength) = 0;                                            // 12
    virtual int Reserved13() { return c_nOrEyeNotSupported; }                              // 13
    virtual int GetQMatrix(double* pdQ16) = 0;                                             // 14
    virtual int Reserved15() { return c_nOrEyeNotSupported; }                              // 15
    virtual int Reserved16() { return c_nOrEyeNotSupported; }                              // 16
    virtual int Reserved17() { return c_nOrEyeNotSupported; }                              // 17
    virtual int Reserved18() { return c_nOrEyeNotSupported; }                              // 18
    virtual int WriteProduct(int nItem, const void* pData, int nLength) = 0;               // 19
    virtual int ReadProduct(int nItem, void* pData, int nLength) = 0;                      // 20
    virtual int Reserved21() { return c_nOrEyeNotSupported; }                              // 21
    virtual int Reserved22() { return c_nOrEyeNotSupported; }                              // 22
    virtual int Reserved23() { return c_nOrEyeNotSupported; }                              // 23
    virtual int SetROI(int nLeftX, int nLeftY, int nRightX, int nRightY, int nWidth,
                       int nHeight) = 0;                                                   // 24
    virtual int Reserved25() { return c_nOrEyeNotSupported; }                              // 25
    virtual int SetROIMode(int nOn) = 0;                                                   // 26
    virtual int EnableDevice(int nOn) = 0;                                                 // 27
    virtual int Reserved28() { return c_nOrEyeNotSupported; }                              // 28
    virtual int SetTriggerN(unsigned int nA, unsigned int nB) = 0;                         // 29
    virtual int Reserved30() { return c_nOrEyeNotSupported; }                              // 30
    virtual int Reserved31() { return c_nOrEyeNotSupported; }                              // 31
    virtual int Reserved32() { return c_nOrEyeNotSupported; }                              // 32
    virtual int SetImageTransfer(int nOn, unsigned int nBufferCount,
                                 unsigned int nFrameBytes) = 0;                            // 33
    virtual int WriteStorage(unsigned int nAddress, const void* pData, unsigned int nLength) = 0;  // 34
    virtual int ReadStorage(unsigned int nAddress, void* pData, unsigned int nLength) = 0;  // 35
    // ip: last octet first; result: 484-byte search buffer.
    virtual int Search(const unsigned char* pbyIP4, const unsigned char* pbyMAC6,
                       unsigned char* pResult484) = 0;                                     // 36
    virtual int SelectDevice(const unsigned char* pbyID8) = 0;                             // 37
    virtual int ReleaseFrameBuffer(unsigned int nBufferId) = 0;                            // 38
    // Record: five uint16 words; reply: one uint32.
    virtual int ExecuteCustomCommand(const unsigned short* pRecord5, void* pReply) = 0;     // 39
    virtual int SetLocalIP(const char* pszIP, int nLength) = 0;                            // 40
    virtual int SetOptionEx(int nFlag, int nValue, int nValue2) = 0;                       // 41
    virtual int SetOption(int nFlag, int nValue) = 0;                                      // 42
    virtual int ExtendedCommand(int nA, void* pB, int nC, void* pD, int nE) = 0;           // 43
    virtual int SyncROI(int nLeftX, int nLeftY, int nRightX, int nRightY, int nWidth,
                        int nHeight) = 0;                                                  // 44
    virtual int SetFeature(int nFlag, int nA, int nB) = 0;                                 // 45
};

// Returns a new camera object for the access path, or null. Delete it when done.
extern "C" OREYE_API IOrEyeCamera* CreateOrEyeApi(OREYEAPI_TYPE eType);

// Counters of the stream of an Ethernet camera object (CreateOrEyeApi(3)), kept from its creation
// on; tools read them to tell why frames went missing.
struct SOrEyeStreamCounters {
    uint64_t nFramesComplete;    // frames handed on
    uint64_t nFramesIncomplete;  // frames given up with packets missing after the resend rounds
    uint64_t nFramesDropped;     // frames without a free buffer, larger than a buffer, or with a packet
                                 // that came twice with other bytes
    uint64_t nPackets;           // stream packets taken into a frame
    uint64_t nPacketsResent;     // of them, packets the camera sent again on a resend request
    uint64_t nResendRequests;    // resend requests sent
    uint32_t nHostMtu;           // MTU the host announced when it took control (0: not yet)
    uint32_t nCameraMtu;         // MTU of the camera's card, from its answer (0: not yet)
};
// 0 and the counters for an Ethernet camera object; c_nOrEyeNotSupported for the other access
// paths; c_nOrEyeBadArgument for a null argument.
extern "C" OREYE_API int OrEyeGetStreamCounters(IOrEyeCamera* pCamera, SOrEyeStreamCounters* pCounters);

// Checks the configuration of the local path's virtual cameras (KXEYE_VIRTUAL_CAMERAS, read at
// first use): 0 when it was taken (or is absent), -10001 when it was refused, and then there is
// no camera at all. pszText (may be null) receives the reason, or "" when there is none.
extern "C" OREYE_API int OrEyeCheckVirtualCameras(char* pszText, int nLength);

namespace Orvik {
namespace utilSystem {
enum LogLevel {
    LogLevel_Trace = 0,
    LogLevel_Verbose = 1,
    LogLevel_Debug = 2,
    LogLevel_Info = 3,
    LogLevel_Warning = 4,
    LogLevel_Error = 5,
    LogLevel_Off = 6
};
class OREYE_API Logger {
public:
    // Lines below the level are not written.
    static void setLogLevel(LogLevel eLevel);
    static LogLevel getLogLevel();
};
}  // namespace utilSystem
}  // namespace Orvik

#endif
