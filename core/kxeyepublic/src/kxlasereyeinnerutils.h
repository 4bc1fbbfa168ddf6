// Laser inner utilities: the raw frame layout, point decoding with after-processing, the
// extended trailer, export of a frame, and the per-version counter and time-stamp tables.
// Pure computation over memory; nothing here talks to a camera.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>

#include "kxkernelinterfaces.h"
#include "kxlasereyerecords.h"

class IKxLaserEyeResultBlock;

// One entry of the depth compensation table: a point whose Z lies in [fFrom, fTo) gets fAdd
// added. The device builds the table at open; result blocks share it without copying.
struct SKxCompensateEntry {
    float fFrom;
    float fTo;
    float fAdd;
};
static_assert(sizeof(SKxCompensateEntry) == 12, "compensation entry is 12 bytes");

// Per-version time base: counter wrap, time-stamp wrap and the length of one time-stamp tick.
// A raw value smaller than its predecessor has wrapped; the step is then
// wrap + current - previous.
struct SKxLaserEyeTimeBase {
    int32_t nFrameCounterRange;  // counter wrap (2^n; 0: the counter does not wrap by a range)
    int32_t nTimeStampRange;     // time-stamp wrap (largest raw value of the field)
    double dTickSeconds;         // seconds per time-stamp tick
};

// Number of entries of KxLaserEyeTimeBase: hardware versions 0 to 8.
static const int c_nKxLaserEyeTimeBaseCount = 9;

// Indexed by hardware version 0 to 8.
extern const SKxLaserEyeTimeBase KxLaserEyeTimeBase[c_nKxLaserEyeTimeBaseCount];

// Counter wrap of the version; 0 for a version outside 0 to 8 (a caller error, logged).
int32_t GetFrameCounterRange(int nVersion);
// Time-stamp wrap of the version; 0 for a version outside 0 to 8 (a caller error, logged).
int32_t GetTimeStampRange(int nVersion);
// Seconds per time-stamp tick of the version; 0.0 for a version outside 0 to 8.
double GetTimeStampTick(int nVersion);

// ---------------------------------------------------------------------------------------------
// Raw laser frame: 2048 point records of 16 bytes followed by eight little-endian trailer words.

static const uint32_t c_nKxLaserPointRecords = 2048;
static const uint32_t c_nKxLaserRecordBytes = 16;
static const uint32_t c_nKxLaserTrailerOffset = c_nKxLaserPointRecords * c_nKxLaserRecordBytes;  // 32768
static const uint32_t c_nKxLaserTrailerWords = 8;
static const uint32_t c_nKxLaserFrameBytes = c_nKxLaserTrailerOffset + 4 * c_nKxLaserTrailerWords;  // 32800
// Records at the end of the point area that carry the extended trailer when it is switched on.
static const uint32_t c_nKxExtendedTrailerRecords = 9;

// Little-endian 32-bit word at p, whatever the host's byte order and p's alignment.
inline uint32_t KxReadLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Trailer accessors. pFrame must hold a whole laser part (c_nKxLaserFrameBytes); nWord is 0-7.
inline uint32_t KxTrailerWord(const uint8_t* pFrame, uint32_t nWord) {
    return KxReadLe32(pFrame + c_nKxLaserTrailerOffset + 4 * nWord);
}
// Column origin, row origin and focal length, in 1/1024 pixel (words 0 to 2).
inline uint32_t KxTrailerColumnOrigin(const uint8_t* pFrame) { return KxTrailerWord(pFrame, 0) & 0x3FFFFFu; }
inline uint32_t KxTrailerRowOrigin(const uint8_t* pFrame) { return KxTrailerWord(pFrame, 1) & 0x3FFFFFu; }
inline uint32_t KxTrailerFocalLength(const uint8_t* pFrame) { return KxTrailerWord(pFrame, 2) & 0x1FFFFFFu; }
// Raw point count: bits 20-31 of word 3 for versions 7 and 8, all of word 4 below.
inline uint32_t KxTrailerPointCount(const uint8_t* pFrame, uint32_t nVersion) {
    return nVersion >= 7 ? (KxTrailerWord(pFrame, 3) >> 20) & 0xFFFu : KxTrailerWord(pFrame, 4);
}
// The two 12-bit frame numbers of words 5 and 6 (bits 19-30) that must agree (versions below 7).
inline uint32_t KxTrailerFrameNumberA(const uint8_t* pFrame) { return (KxTrailerWord(pFrame, 5) >> 19) & 0xFFFu; }
inline uint32_t KxTrailerFrameNumberB(const uint8_t* pFrame) { return (KxTrailerWord(pFrame, 6) >> 19) & 0xFFFu; }
// New left edges of the left and right detection ROIs (word 7, versions 5 and above).
inline uint32_t KxTrailerLeftROIX(const uint8_t* pFrame) { return KxTrailerWord(pFrame, 7) & 0xFFFu; }
// The raw time stamp of a laser part, per hardware version: versions 0 to 2 the whole word 5;
// 3 word 5 bits 0-22; 4 to 6 word 5 bits 0-18; 7 and 8 word 5 bits 0-18, word 7 bits 24-31 as
// bits 19-26 and word 4 bits 29-30 as bits 27-28.
inline uint32_t KxTrailerTimeStamp(const uint8_t* pFrame, uint32_t nVersion) {
    const uint32_t t5 = KxTrailerWord(pFrame, 5);
    if (nVersion <= 2) return t5;
    if (nVersion == 3) return t5 & 0x7FFFFFu;
    if (nVersion <= 6) return t5 & 0x7FFFFu;
    return (((KxTrailerWord(pFrame, 4) >> 29) & 0x3u) << 27) | (((KxTrailerWord(pFrame, 7) >> 24) & 0xFFu) << 19) |
           (t5 & 0x7FFFFu);
}
inline uint32_t KxTrailerRightROIX(const uint8_t* pFrame) { return (KxTrailerWord(pFrame, 7) >> 12) & 0xFFFu; }

// Sign-magnitude word: bit 31 is the sign, bits 0-30 the magnitude.
inline int32_t KxSignMagnitude(uint32_t nWord) {
    const int32_t nMag = static_cast<int32_t>(nWord & 0x7FFFFFFFu);
    return (nWord & 0x80000000u) ? -nMag : nMag;
}

// Truncation toward zero into int32. Values outside the int32 range and NaN (a point at Z = 0,
// a record with h = 0) give INT32_MIN, as the x86 conversion instruction does, instead of the
// undefined behaviour of a plain cast.
inline int32_t KxTruncToInt32(double d) {
    return (d > -2147483649.0 && d < 2147483648.0) ? static_cast<int32_t>(d) : INT32_MIN;
}

// ---------------------------------------------------------------------------------------------
// Point decoding.

// Coordinate conversion of the raw words, chosen by hardware version.
enum EKxCoordConversion : int32_t {
    KX_CONV_DISPARITY = 0,   // version 0: signed raw / h / -2.0
    KX_CONV_THOUSANDTHS = 1  // versions 1 to 8: signed raw / 1000.0
};

// Conversion of a hardware version; false for a version above 8.
bool KxConversionOfVersion(uint32_t nVersion, EKxCoordConversion* peConv);

// Bytes of one record of the first (point) and the second (pixel) array of a format; 0 for a
// format outside 0 to 6.
uint32_t KxPointRecordSize(int nFormat);
uint32_t KxPixelRecordSize(int nFormat);
// Output block size of a format: 2048 times the sum of both record sizes; 0 for a bad format.
uint32_t KxOutputBlockSize(int nFormat);

// Decodes nPointCount raw records (16 bytes each) into the two output arrays of nFormat and
// returns the number of records written (at most nPointCount). Steps, in order: conversion,
// image positions, coordinate offset, drop below Z = 0, depth compensation, transform, X offset,
// filters, Y mirroring. The point array must have room for nPointCount records of the format, the
// pixel array as well. A format outside 0 to 6, a count outside 1 to 2048 or a null pointer
// writes nothing and returns 0. A sampling step of 0 or below counts as 1. pdCoordOffset may be
// null (no offset); pComp may be null (no compensation).
int DecodeLaserPoints(int nFormat, const uint8_t* pRecords, int nPointCount,
                      const SKxCompensateEntry* pComp, uint32_t nCompCount,
                      const SKxLaserResultAfterProcParam& param, EKxCoordConversion eConv,
                      int32_t nRightColumnOffset, const double* pdCoordOffset,
                      uint32_t nColumnOrigin, uint32_t nRowOrigin, uint32_t nFocalLength,
                      void* pPointOut, void* pPixelOut);

// Instruction-set level of the decoders (0: baseline x86-64 or another processor, 1: AVX2, 2:
// AVX-512F). The widest level the processor supports is used by default; results are the same
// at every level. For tests and benchmarks: limits the level to nLevel (below 0: no limit) and
// returns the level now used. Not meant to be called while another thread decodes.
int KxDecodeLevelLimit(int nLevel);

// ---------------------------------------------------------------------------------------------
// Extended trailer: the nine records behind the reduced point count.

// Single-precision constants of the extended trailer, given by their bit patterns.
static const uint32_t c_nKxInputScaleBits = 0x57E502B6u;  // 503599612297216.0f
static const uint32_t c_nKxPiBits = 0x40490FDAu;          // 3.1415925f
float KxFloatFromBits(uint32_t nBits);

// pRecords9 points at the first of the nine records (144 bytes).
void DecodeExtendedTrailer(const uint8_t* pRecords9, SKxInputInfo aInputInfo[5], float afTiltAngles[3]);

// ---------------------------------------------------------------------------------------------
// Export of a frame.

// Longest composed export path, terminator excluded.
static const size_t c_nKxExportPathMax = 255;

// Composes "%s/%s%s" (directory, name, suffix) into pszOut of nSize bytes. False, with pszOut
// empty, when the result would not fit: a cut name could overwrite an unrelated file.
bool KxComposeExportPath(const char* pszDir, const char* pszName, const char* pszSuffix,
                         char* pszOut, size_t nSize);

// The 3D text: three header lines, then "{x,y,z}" per record in the stream's default notation.
void KxWrite3DText(std::ostream& os, uint32_t nLeftROIX, uint32_t nRightROIX, uint32_t nAngle,
                   const SKxLaserPoint3D0* pPoints, int nCount);

// Writes the raw frame bytes to pszFile, the 3D text (format 0 of pBlock) to "<dir>/<name>_3D.txt"
// and the images to "<dir>/<name>_L.png" and "_R.png". Each part is written when it can be; a
// part whose path does not fit is skipped with an error line.
void KxSaveLaserResult(const char* pszFile, IKxLaserEyeResultBlock* pBlock, IKxMemBlock* pFrame,
                       IKxSurface* pLeft, IKxSurface* pRight, uint32_t nLeftROIX,
                       uint32_t nRightROIX, uint32_t nAngle);
