// Records that cross the library boundary. Sizes and offsets are fixed: applications copy these
// records as raw bytes. Compiles as C++11.
#ifndef KXLASEREYERECORDS_H
#define KXLASEREYERECORDS_H

#include <cstddef>
#include <cstdint>
#include <cstring>

enum EKxDeviceType : int32_t {
    KX_DEVICE_TYPE_UNKNOWN = 0,
    KX_DEVICE_TYPE_LASER_EYE = 2,
    KX_DEVICE_TYPE_SMART_EYE = 3
};

// Highest hardware version number a device may carry.
static const uint32_t c_nLaserEyeHwVersion = 8;

// nDeviceFlags bits.
static const uint32_t c_nKxFlagLocal = 0x1;      // reached through the local access path
static const uint32_t c_nKxFlagEthernet = 0x2;   // reached through Ethernet (or the small smart eye)
static const uint32_t c_nKxFlagSmart = 0x10;     // with 0x200: smart eye
static const uint32_t c_nKxFlagLaser = 0x20;     // with 0x100: laser eye
static const uint32_t c_nKxFlagLaser2 = 0x100;
static const uint32_t c_nKxFlagSmart2 = 0x200;
static const uint32_t c_nKxFlagStandard = 0x1000;
static const uint32_t c_nKxFlagLarge = 0x2000;

#pragma pack(push, 1)

struct SKxVideoResolution {
    uint32_t nFrameWidth;
    uint32_t nFrameHeight;
    uint32_t nRightOffset;        // fixed disparity, written by the device at open
    uint32_t nReserved;
    uint32_t nFrameCounterRange;  // counter wrap of this hardware version
    uint32_t nTimeStampRange;     // timestamp wrap of this hardware version
    uint32_t nVersion;            // hardware version number, 0 to 8
};

struct SKxNetCardInfo {
    uint32_t nIndex;              // interface index
    char szDescription[256];
    uint8_t byIP[4];              // first octet first
    uint8_t byMAC[6];
    uint8_t byMask[4];
    uint8_t byGateway[4];
    uint8_t byReserved[2];
    uint32_t nSpeed;              // Mbit/s, 0 when unknown
};

struct SKxNLEyeDeviceInfoEx {
    uint32_t nReserved;
    int32_t eDeviceType;          // EKxDeviceType
    char szDeviceName[64];
    char szIPAddress[16];
    char szMACAddress[18];
    char szDeviceID[64];          // GUID text
    char szProductInfo[64];
    char szModuleTag[256];        // "KxNLDsec"
    uint8_t bDeviceInfoValid;
    uint8_t byReserved1;
    uint32_t nDeviceFlags;
    SKxVideoResolution sVideoRes;
    char szConnectText[64];
    char szHWVersion[64];
    uint32_t nNetInfoValid;
    char szEyeIP[16];
    char szEyeMAC[18];
    char szDestIP[16];
    char szDestMAC[18];
    uint8_t byEyeInfo1[8];
    uint8_t byEyeInfo2[8];
    uint8_t byDeviceID[8];        // all 0xFF: none set
    uint8_t byReserved2[52];
    SKxNetCardInfo sNetCardInfo;
};

// One Ethernet search hit with the card it came through.
struct SKxNLEthernetEyeConfigInfo {
    uint32_t nValid;
    uint8_t byEyeIP[4];
    uint8_t byEyeMAC[6];
    uint8_t byDestIP[4];
    uint8_t byDestMAC[6];
    uint8_t byEyeInfo1[8];
    uint8_t byEyeInfo2[8];
    uint8_t byDeviceID[8];
    uint8_t byReserved[4];
    SKxNetCardInfo sNetCardInfo;
};

#pragma pack(pop)

static_assert(sizeof(SKxVideoResolution) == 28, "SKxVideoResolution is 28 bytes");
static_assert(sizeof(SKxNetCardInfo) == 284, "SKxNetCardInfo is 284 bytes");
static_assert(offsetof(SKxNetCardInfo, byIP) == 260, "card IP offset");
static_assert(offsetof(SKxNetCardInfo, byMAC) == 264, "card MAC offset");
static_assert(offsetof(SKxNetCardInfo, byMask) == 270, "card mask offset");
static_assert(offsetof(SKxNetCardInfo, byGateway) == 274, "card gateway offset");
static_assert(offsetof(SKxNetCardInfo, nSpeed) == 280, "card speed offset");
static_assert(sizeof(SKxNLEyeDeviceInfoEx) == 1084, "SKxNLEyeDeviceInfoEx is 1084 bytes");
static_assert(offsetof(SKxNLEyeDeviceInfoEx, eDeviceType) == 4, "eDeviceType offset");
static_assert(offsetof(SKxNLEyeDeviceInfoEx, szIPAddress) == 72, "szIPAddress offset");
static_assert(offsetof(SKxNLEyeDeviceInfoEx, szDeviceID) == 106, "szDeviceID offset");
static_assert(offsetof(SKxNLEyeDeviceInfoEx, szModuleTag) == 234, "szModuleTag offset");
static_assert(offsetof(SKxNLEyeDeviceInfoEx, bDeviceInfoValid) == 490, "bDeviceInfoValid offset");
static_assert(offsetof(SKxNLEyeDeviceInfoEx, nDeviceFlags) == 492, "nDeviceFlags offset");
static_assert(offsetof(SKxNLEyeDeviceInfoEx, sVideoRes) == 496, "sVideoRes offset");
static_assert(offsetof(SKxNLEyeDeviceInfoEx, szConnectText) == 524, "szConnectText offset");
static_assert(offsetof(SKxNLEyeDeviceInfoEx, szHWVersion) == 588, "szHWVersion offset");
static_assert(offsetof(SKxNLEyeDeviceInfoEx, nNetInfoValid) == 652, "nNetInfoValid offset");
static_assert(offsetof(SKxNLEyeDeviceInfoEx, szEyeIP) == 656, "szEyeIP offset");
static_assert(offsetof(SKxNLEyeDeviceInfoEx, szEyeMAC) == 672, "szEyeMAC offset");
static_assert(offsetof(SKxNLEyeDeviceInfoEx, szDestIP) == 690, "szDestIP offset");
static_assert(offsetof(SKxNLEyeDeviceInfoEx, szDestMAC) == 706, "szDestMAC offset");
static_assert(offsetof(SKxNLEyeDeviceInfoEx, byEyeInfo1) == 724, "byEyeInfo1 offset");
static_assert(offsetof(SKxNLEyeDeviceInfoEx, byDeviceID) == 740, "byDeviceID offset");
static_assert(offsetof(SKxNLEyeDeviceInfoEx, sNetCardInfo) == 800, "sNetCardInfo offset");
static_assert(sizeof(SKxNLEthernetEyeConfigInfo) == 336, "SKxNLEthernetEyeConfigInfo is 336 bytes");
static_assert(offsetof(SKxNLEthernetEyeConfigInfo, byEyeIP) == 4, "hit address offset");
static_assert(offsetof(SKxNLEthernetEyeConfigInfo, byEyeMAC) == 8, "hit MAC offset");
static_assert(offsetof(SKxNLEthernetEyeConfigInfo, byDestIP) == 14, "hit destination offset");
static_assert(offsetof(SKxNLEthernetEyeConfigInfo, byDestMAC) == 18, "hit destination MAC offset");
static_assert(offsetof(SKxNLEthernetEyeConfigInfo, byEyeInfo1) == 24, "hit info 1 offset");
static_assert(offsetof(SKxNLEthernetEyeConfigInfo, byDeviceID) == 40, "hit identifier offset");
static_assert(offsetof(SKxNLEthernetEyeConfigInfo, sNetCardInfo) == 52, "hit card offset");

// Detection ROI in pixels: width = right - left, height = bottom - top.
struct SKxNLROIRect {
    int32_t left;
    int32_t right;
    int32_t top;
    int32_t bottom;
};
static_assert(sizeof(SKxNLROIRect) == 16, "SKxNLROIRect is 16 bytes");

// Version record of GetVersion: presence bits first, texts at fixed offsets.
struct SKxEyeVersionInfo {
    uint32_t nPresence;
    uint8_t byOther0[128];
    char szFirmwareVersion[64];   // presence bit 0x4
    uint8_t byOther1[128];
    char szDeviceID[16];          // presence bit 0x20
    uint8_t byOther2[176];
    char szHardwareVersion[64];   // presence bit 0x100
};
static const uint32_t c_nKxVersionFirmware = 0x4;
static const uint32_t c_nKxVersionDeviceID = 0x20;
static const uint32_t c_nKxVersionHardware = 0x100;
static_assert(offsetof(SKxEyeVersionInfo, szFirmwareVersion) == 132, "firmware text offset");
static_assert(offsetof(SKxEyeVersionInfo, szDeviceID) == 324, "device ID text offset");
static_assert(offsetof(SKxEyeVersionInfo, szHardwareVersion) == 516, "hardware text offset");

// Motor facts of IKxSwingMotorDevice::GetMotorInfo (36 bytes).
struct SKxMotorInfo {
    int32_t nReserved0;
    int32_t nMaxAngle;     // degrees
    int32_t nMinSpeed;
    int32_t nMaxSpeed;
    int32_t nRangeStart;   // degrees
    int32_t nRangeEnd;     // degrees
    int32_t nSpeed;        // cached speed, 0 = unknown
    int32_t nReserved7;
    int32_t nReserved8;
};
static_assert(sizeof(SKxMotorInfo) == 36, "SKxMotorInfo is 36 bytes");

// Calibration record of ConfigCalibrateParam: six doubles, the first unused.
struct SKxSwingCalibrateParam {
    double adValue[6];
};

struct SKxReserved16 {
    uint8_t byData[16];
};

// Extended trailer records (result block GetExtendedInfo).
struct SKxInputInfo {
    float fInputValue;
    int32_t nInputLevel;
    bool bInputEdge;
};
static_assert(sizeof(SKxInputInfo) == 12, "SKxInputInfo is 12 bytes");

// Point record formats of GetPointData (first array) and GetPixelData (second array).
// Format 0.
struct SKxLaserPoint3D0 {
    int32_t nIndex;
    uint8_t byUnused[4];
    double dX, dY, dZ;
};
struct SKxLaserPixel0 {
    int32_t nIndex;
    int32_t nLeftCol, nLeftRow, nRightCol, nRightRow;
};
// Format 1.
struct SKxLaserPoint3F {
    float fX, fY, fZ;
};
// Formats 1 to 6 share this second record.
struct SKxLaserPixel {
    int32_t nLeftCol, nLeftRow, nRightCol, nRightRow;
};
// Formats 2, 3, 4.
struct SKxLaserPoint3F4 {
    float fX, fY, fZ;
    uint8_t byUnused[4];
};
// Format 5.
struct SKxLaserPoint3F8 {
    float fX, fY, fZ;
    uint8_t byUnused[20];
};
// Format 6.
struct SKxLaserPoint3D {
    double dX, dY, dZ;
    uint8_t byUnused[8];
};
static_assert(sizeof(SKxLaserPoint3D0) == 32, "format 0 point is 32 bytes");
static_assert(offsetof(SKxLaserPoint3D0, dX) == 8, "format 0 x offset");
static_assert(sizeof(SKxLaserPixel0) == 20, "format 0 pixel is 20 bytes");
static_assert(sizeof(SKxLaserPoint3F) == 12, "format 1 point is 12 bytes");
static_assert(sizeof(SKxLaserPixel) == 16, "pixel record is 16 bytes");
static_assert(sizeof(SKxLaserPoint3F4) == 16, "formats 2-4 point is 16 bytes");
static_assert(sizeof(SKxLaserPoint3F8) == 32, "format 5 point is 32 bytes");
static_assert(sizeof(SKxLaserPoint3D) == 32, "format 6 point is 32 bytes");

// Range-filter switches of nFilterFlags.
static const int32_t c_nKxFilterYInside = 0x1;   // keep only dYMin < Y < dYMax
static const int32_t c_nKxFilterYOutside = 0x2;  // drop dYMin <= Y <= dYMax (wins over 0x1)
static const int32_t c_nKxFilterZInside = 0x10;
static const int32_t c_nKxFilterZOutside = 0x20;
static const int32_t c_nKxFilterXInside = 0x100;
static const int32_t c_nKxFilterXOutside = 0x200;

// After-processing parameters of a result block: transform, filters, sampling, mirroring.
struct SKxLaserResultAfterProcParam {
    bool bTransform;
    double adRotate[9];   // 3x3, row-major
    double dRefX;
    double dRefZ;
    double dScaleZ;
    double dRefXRange;
    int32_t nFilterFlags;
    double dZMin, dZMax;
    double dYMin, dYMax;
    double dXMin, dXMax;
    double dAuxOffset;
    double dXOffset;
    int32_t nMirrorY;
    int32_t nStep;
    bool bReserved1;
    int32_t nReserved2;
    int32_t nReserved3;
    bool bReserved4;

    SKxLaserResultAfterProcParam()
        : bTransform(false), dRefX(0), dRefZ(0), dScaleZ(0), dRefXRange(0), nFilterFlags(0),
          dZMin(0), dZMax(0), dYMin(0), dYMax(0), dXMin(0), dXMax(0), dAuxOffset(0),
          dXOffset(0), nMirrorY(0), nStep(1), bReserved1(false), nReserved2(0), nReserved3(0),
          bReserved4(true) {
        for (int i = 0; i < 9; ++i) adRotate[i] = 0.0;
    }
    virtual ~SKxLaserResultAfterProcParam() {}

    // Equal when every compared field matches, doubles within 1e-8; bReserved4 is not compared.
    virtual bool IsEqual(const SKxLaserResultAfterProcParam& o) const {
        if (bTransform != o.bTransform) return false;
        if (std::memcmp(adRotate, o.adRotate, sizeof(adRotate)) != 0) return false;
        if (!Close(dRefX, o.dRefX) || !Close(dRefZ, o.dRefZ) || !Close(dScaleZ, o.dScaleZ) ||
            !Close(dRefXRange, o.dRefXRange))
            return false;
        if (nFilterFlags != o.nFilterFlags) return false;
        // The bounds of every filtered axis count: comparing only the first one would keep a
        // decode made with stale bounds of another filtered axis.
        if (nFilterFlags & (c_nKxFilterYInside | c_nKxFilterYOutside)) {
            if (!Close(dYMin, o.dYMin) || !Close(dYMax, o.dYMax)) return false;
        }
        if (nFilterFlags & (c_nKxFilterZInside | c_nKxFilterZOutside)) {
            if (!Close(dZMin, o.dZMin) || !Close(dZMax, o.dZMax)) return false;
        }
        if (nFilterFlags & (c_nKxFilterXInside | c_nKxFilterXOutside)) {
            if (!Close(dXMin, o.dXMin) || !Close(dXMax, o.dXMax)) return false;
        }
        if (!Close(dAuxOffset, o.dAuxOffset) || !Close(dXOffset, o.dXOffset)) return false;
        return nMirrorY == o.nMirrorY && nStep == o.nStep && bReserved1 == o.bReserved1 &&
               nReserved2 == o.nReserved2 && nReserved3 == o.nReserved3;
    }

private:
    static bool Close(double a, double b) {
        const double d = a - b;
        return (d < 0 ? -d : d) <= 1e-8;
    }
};

#endif
