// Kernel support library KxKernel: logging, settings, device-information and ROI rules,
// surfaces, memory blocks, pools, signals, files, PNG export, GUIDs. Compiles as C++11.
#ifndef KXKERNEL_H
#define KXKERNEL_H

#include <cstdarg>
#include <cstdint>

#include "kxkernelinterfaces.h"
#include "kxlasereyerecords.h"

#if defined(KXKERNEL_BUILD)
#define KXKERNEL_API KX_EXPORT
#else
#define KXKERNEL_API KX_IMPORT
#endif

// Log levels.
static const int c_nKxLogError = 1;
static const int c_nKxLogWarning = 2;
static const int c_nKxLogState = 3;
static const int c_nKxLogDetail = 4;

// Receives every formatted line at or below the sink's level.
typedef void (*KxLogCallback)(int nLevel, const char* pszLine, void* pContext);

namespace KxLogUtils {
// printf-style; the line goes to every sink whose level admits it.
KXKERNEL_API void PrintLog(int nLevel, const char* pszFormat, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
KXKERNEL_API void VPrintLog(int nLevel, const char* pszFormat, va_list args);
// stderr sink: lines with level <= nLevel are written (default 2: errors and warnings;
// 0 silences it). Also set by KXEYE_LOG_LEVEL.
KXKERNEL_API void SetLogLevel(int nLevel);
KXKERNEL_API int GetLogLevel();
// File sink (appends); null or empty closes it. Also set by KXEYE_LOG_FILE.
KXKERNEL_API bool SetLogFile(const char* pszPath);
// Application sink: every line with level <= nLevel; null removes it. While it is set, the
// stderr sink writes nothing (the lines are the application's to show); the file sink goes on.
KXKERNEL_API void SetLogCallback(KxLogCallback pfn, void* pContext, int nLevel);
// Reads KXEYE_LOG_LEVEL and KXEYE_LOG_FILE again (they are read once, at the first line).
KXKERNEL_API void ReloadFromEnvironment();
}  // namespace KxLogUtils

// Process-wide switches, read once from the environment (docs/configuration.md).
#pragma pack(push, 1)
struct SKxGlobalSetting {
    uint8_t byReserved0[5];
    uint8_t bySearchPerCard;     // byte 5: 1 = Ethernet search card by card (KXEYE_SEARCH_PER_CARD)
    uint8_t byExtendedTrailer;   // byte 6: frames carry the extended trailer (KXEYE_EXTENDED_TRAILER)
    uint8_t byReserved7;
    uint8_t byCenterROI;         // byte 8: capture start centres the ROIs (KXEYE_CENTER_ROI)
    uint8_t byListVirtualCards;  // byte 9: network card list includes virtual cards (KXEYE_VIRTUAL_CARDS)
    uint8_t byReserved10[6];
};
#pragma pack(pop)
static_assert(sizeof(SKxGlobalSetting) == 16, "SKxGlobalSetting is 16 bytes");

namespace KxGlobalSetting {
// Never null.
KXKERNEL_API const SKxGlobalSetting* GetSetting();
// Replaces the record (tests and applications that configure in code).
KXKERNEL_API void SetSetting(const SKxGlobalSetting& setting);
// Reads the environment again.
KXKERNEL_API void ReloadFromEnvironment();
// Virtual network cards listed anyway (KXEYE_VIRTUAL_CARDS): comma-separated interface names,
// "*" for every card; null or "" for none. Sets byListVirtualCards to match.
KXKERNEL_API void SetVirtualCards(const char* pszNames);
// Whether the card of this name is to be listed although it is virtual: byListVirtualCards is
// on and the card is named, or "*" was given, or the switch was set without names.
KXKERNEL_API bool IsVirtualCardListed(const char* pszName);
// Whether the card is named in the list itself (not only covered by "*").
KXKERNEL_API bool IsVirtualCardNamed(const char* pszName);
}  // namespace KxGlobalSetting

// Rules over the 52-byte laser-information block (layout in kxlaserinfo.h).
namespace KxDeviceUtils {
KXKERNEL_API int GetDeviceType(const uint8_t* pbyInfo52);
KXKERNEL_API uint16_t GetDeviceVersion(const uint8_t* pbyInfo52);
// Writes width and height only; false when either is 0.
KXKERNEL_API bool GetResolution(const uint8_t* pbyInfo52, SKxVideoResolution* pRes);
// Writes the hardware version text, e.g. "KXLE-V8-R2.1" (at most nSize bytes with the
// terminator; false when that cut it).
KXKERNEL_API bool GetHardwareVersion(const uint8_t* pbyInfo52, char* pszText, unsigned int nSize = 64);
KXKERNEL_API bool IsLargeEye(const uint8_t* pbyInfo52);
// Compensation data inside the 4096-byte parameter page (kxlaserinfo.h). With null arrays
// *pnCount receives the count; with arrays of *pnCount entries they are filled. Answers false and
// a count of 0 for missing, corrupt or truncated data; arrays shorter than the count are not
// written (false, *pnCount = the count needed).
KXKERNEL_API bool ParseCompensateData(const uint8_t* pData, unsigned int nLength, float* pfA,
                                      float* pfB, unsigned int* pnCount);
}  // namespace KxDeviceUtils

// ROI rules of the sensor (docs/roi-rules.md). Codes are non-zero and distinct.
static const int c_nKxRoiEmpty = -78001;        // width or height not positive
static const int c_nKxRoiOutside = -78002;      // an edge outside the frame
static const int c_nKxRoiAlignLeft = -78003;    // left edge not a multiple of 32 columns
static const int c_nKxRoiAlignWidth = -78004;   // width not a multiple of 4 columns
static const int c_nKxRoiSizeMismatch = -78005; // right ROI size differs from the left ROI size
static const int c_nKxRoiTooSmall = -78006;     // narrower than 64 columns or lower than 8 rows
static const int c_nKxRoiNullArgument = -78007;

namespace KxDetectUtils {
// 0 when the pair fits the sensor; otherwise one of the codes above.
KXKERNEL_API int IsValidDetectROI(const SKxNLROIRect& left, const SKxNLROIRect& right,
                                  const SKxVideoResolution& res, uint32_t nFlags, void* pOut);
// Moves a ROI pair in place onto the nearest pair that IsValidDetectROI accepts.
KXKERNEL_API int FormatDetectROI(const SKxVideoResolution& res, SKxNLROIRect& left,
                                 SKxNLROIRect& right, int nMode, uint32_t nFlags, int nReserved,
                                 void* pRobot);
}  // namespace KxDetectUtils

namespace KxKernel {
KXKERNEL_API bool KxCreateSignal(IKxSignal** ppSignal);
// Thread-safe pools for applications: blocks and surfaces are reused by size.
KXKERNEL_API bool KxCreateMemPool(IKxMemPool** ppPool);
KXKERNEL_API bool KxCreateSurfacePool(IKxSurfacePool** ppPool);
}  // namespace KxKernel

// Wraps caller memory without copying.
KXKERNEL_API bool KxCreateCustomSurface(const SKxNLImageData& image, IKxSurface** ppSurface);
// The same, holding a reference on pKeepAlive (the owner of the pixels, may be null) for the
// surface's life, so that the pixels cannot go away while the surface is kept.
KXKERNEL_API bool KxCreateCustomSurfaceEx(const SKxNLImageData& image, IKxUnknown* pKeepAlive,
                                          IKxSurface** ppSurface);
KXKERNEL_API bool KxCreateCustomMemBlock(unsigned char* pData, unsigned int nLength,
                                         IKxMemBlock** ppBlock);

// A reader over memory.
class KXKERNEL_API CKxMemFile {
public:
    CKxMemFile(const void* pBuffer, unsigned int nLength);
    bool Open();
    // Copies nLength bytes; false (nothing consumed) when fewer remain. nLength gets what was read.
    bool Read(void* pBuffer, unsigned int& nLength);
    void Close();
    unsigned int Position() const { return m_nPos; }

private:
    const uint8_t* m_pBuffer;
    unsigned int m_nLength;
    unsigned int m_nPos;
    bool m_bOpen;
};

namespace KxFilesUtils {
// Directory part of a path (no trailing separator); "." when there is none.
KXKERNEL_API bool GetPurePath(const char* pszPath, char* pszOut, unsigned int nSize);
// File name without directory and extension.
KXKERNEL_API bool GetPureName(const char* pszPath, char* pszOut, unsigned int nSize);
KXKERNEL_API bool WriteFile(const char* pszPath, const void* pData, unsigned int nLength, bool bAppend);
}  // namespace KxFilesUtils

namespace KxImageUtils {
// 8-bit grey PNG of the surface; false when the file cannot be written.
KXKERNEL_API bool SaveImage(const char* pszPath, IKxSurface* pSurface, const SKxVideoResolution* pRes = 0);
}  // namespace KxImageUtils

namespace KxStringUtils {
// Writes "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (39 bytes with the terminator).
KXKERNEL_API bool CreateGUID(char* pszText);
}  // namespace KxStringUtils

#endif
