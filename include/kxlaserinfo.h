// Byte layouts that are ours to choose, shared by the kernel's rules, the device and the virtual
// camera: the 52-byte laser-information block, the 4096-byte parameter page at 0x3FF000 and the
// compensation section inside it. docs/laser-info-block.md describes the same layout.
#ifndef KXLASERINFO_H
#define KXLASERINFO_H

#include <cstdint>

// Laser-information block: 26 little-endian uint16 words (camera parameter 54).
namespace KxLaserInfo {
static const unsigned int c_nBytes = 52;
static const unsigned int c_nWords = 26;
// Words the device reads.
static const unsigned int c_nWordTriggerDynRoi = 0;  // low byte trigger mode, high byte dynamic ROI
static const unsigned int c_nWordExposure = 1;
static const unsigned int c_nWordLeftRoi = 10;       // 10..13 left, right, top, bottom
static const unsigned int c_nWordRightRoi = 14;      // 14..17
static const unsigned int c_nWordThreshold = 18;
static const unsigned int c_nWordImageMode = 20;
// Words the kernel's device-information rules read.
static const unsigned int c_nWordDeviceType = 2;     // 2 laser eye, 3 smart eye
static const unsigned int c_nWordVersion = 3;        // hardware version number
static const unsigned int c_nWordWidth = 4;          // frame width
static const unsigned int c_nWordHeight = 5;         // frame height
static const unsigned int c_nWordFlags = 6;          // bit 0 large eye, bit 1 swing motor fitted
static const unsigned int c_nWordRevision = 7;       // hardware revision: high byte major, low minor
static const unsigned int c_nWordModel = 8;          // model number shown in the version text
// Words the virtual camera keeps for itself (not read by the SDK).
static const unsigned int c_nWordGain = 19;
static const unsigned int c_nWordFrameRate = 21;
static const unsigned int c_nWordDenoise = 22;
static const unsigned int c_nWordAccelerator = 23;
static const unsigned int c_nWordGap = 24;
static const unsigned int c_nWordBitMode = 25;

static const uint16_t c_nFlagLargeEye = 0x1;
static const uint16_t c_nFlagSwingMotor = 0x2;

inline uint16_t GetWord(const uint8_t* p, unsigned int nWord) {
    return static_cast<uint16_t>(p[2 * nWord] | (p[2 * nWord + 1] << 8));
}
inline void SetWord(uint8_t* p, unsigned int nWord, uint16_t nValue) {
    p[2 * nWord] = static_cast<uint8_t>(nValue & 0xFF);
    p[2 * nWord + 1] = static_cast<uint8_t>(nValue >> 8);
}
}  // namespace KxLaserInfo

// The 4096-byte parameter page read at open from storage address 0x3FF000.
namespace KxParamPage {
static const unsigned int c_nAddress = 0x3FF000;
static const unsigned int c_nBytes = 4096;
// Device parameter block at offset 0: tag, version (1..3), i32 kind, sections, closing tag.
static const char c_szTag[] = "{96FEAE2B-C468-4B76-92FF-B81A0833D31D}";  // 38 chars + NUL = 39
static const unsigned int c_nTagBytes = 39;
static const unsigned int c_nSection96Bytes = 96;
static const unsigned int c_nOffsetBytes = 24;
static const unsigned int c_nSection16Bytes = 16;
// Largest block: 39 + 1 + 4 + 96 + 24 + 16 + 39 = 219 bytes.
static const unsigned int c_nParamBlockMaxBytes = 219;

// Compensation section, at offset 2048 of the page (clear of the parameter block):
//   u32 magic 'KXCP' (0x5043584B little-endian "KXCP"), u32 count n (1..c_nCompMaxEntries),
//   n floats A (z bounds, rising), n floats B (deltas), u32 checksum = sum of the bytes from the
//   magic up to the last B, modulo 2^32.
static const unsigned int c_nCompOffset = 2048;
static const uint32_t c_nCompMagic = 0x5043584B;
static const unsigned int c_nCompMaxEntries = 64;
}  // namespace KxParamPage

#endif
