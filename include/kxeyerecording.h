// Recordings: raw camera frames with what decoding them needs, in one file, written by
// `kxeye record` and played back by a virtual camera as its scene. docs/recording.md describes
// the same layout. Header-only so that the writer (the tool), the reader (the camera library)
// and the tests share one definition. Compiles as C++11.
#ifndef KXEYERECORDING_H
#define KXEYERECORDING_H

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace KxEyeRecording {

// ---- layout (all integers little-endian) ----

static const char c_achMagic[8] = {'K', 'X', 'E', 'Y', 'E', 'R', 'E', 'C'};
static const uint32_t c_nFormatVersion = 1;

// File header.
static const uint32_t c_nOffMagic = 0;          // 8 bytes "KXEYEREC"
static const uint32_t c_nOffFormat = 8;         // u32 format version (1)
static const uint32_t c_nOffHeaderBytes = 12;   // u32 size of this header (c_nHeaderBytes)
static const uint32_t c_nOffHwVersion = 16;     // u32 hardware version 0..8
static const uint32_t c_nOffWidth = 20;         // u32 sensor width
static const uint32_t c_nOffHeight = 24;        // u32 sensor height
static const uint32_t c_nOffFlags = 28;         // u32 bit 0: images were asked for
static const uint32_t c_nOffFrameCount = 32;    // u32 number of frame records
static const uint32_t c_nOffInfo = 40;          // 52-byte laser-information block (parameter 54)
static const uint32_t c_nOffQ = 96;             // 16 IEEE doubles, the camera's Q matrix
static const uint32_t c_nOffParamPage = 224;    // 4096 bytes of storage from 0x3FF000
static const uint32_t c_nOffHeaderCrc = 4320;   // u32 CRC-32 of bytes 0..4319
static const uint32_t c_nHeaderBytes = 4324;
static const uint32_t c_nInfoBytes = 52;
static const uint32_t c_nParamPageBytes = 4096;
static const uint32_t c_nParamPageAddress = 0x3FF000;
static const uint32_t c_nFlagImages = 0x1;

// Frame record: a 32-byte head, then the payload: left image, right image (w x h bytes each,
// absent when w and h are 0) and the 32800-byte laser part as the camera sent it.
static const char c_achFrameTag[4] = {'K', 'F', 'R', 'M'};
static const uint32_t c_nFrameOffTag = 0;        // 4 bytes "KFRM"
static const uint32_t c_nFrameOffPayload = 4;    // u32 payload bytes = 2 w h + 32800
static const uint32_t c_nFrameOffWidth = 8;      // u32 image width w (0: no images)
static const uint32_t c_nFrameOffHeight = 12;    // u32 image height h
static const uint32_t c_nFrameOffHostTime = 16;  // u64 microseconds since the first frame (host clock)
static const uint32_t c_nFrameOffCrc = 24;       // u32 CRC-32 of the payload
static const uint32_t c_nFrameOffClock = 28;     // i32 the frame's camera time on the host clock, minus its arrival, us
static const uint32_t c_nFrameHeadBytes = 32;
static const uint32_t c_nLaserBytes = 32800;

// Reader's limits: a recording is loaded whole.
static const uint64_t c_nMaxFileBytes = 1ull << 30;
static const uint32_t c_nMaxFrames = 1000000;

struct SHeader {
    uint32_t nHwVersion;
    uint32_t nWidth;
    uint32_t nHeight;
    uint32_t nFlags;
    uint32_t nFrameCount;
    uint8_t abyInfo[52];
    double adQ[16];
    uint8_t abyParamPage[4096];
};

struct SFrame {
    uint64_t nHostTimeUs;
    // The frame's camera time mapped onto the host clock (the running estimate of the camera
    // clock's offset and drift), minus its arrival, in microseconds: never positive. 0 when the
    // recording was made without the estimate. nHostTimeUs + nClockUs is the mapped time.
    int32_t nClockUs;
    uint32_t nImageWidth;   // 0 when the frame carries no images
    uint32_t nImageHeight;
    std::vector<uint8_t> vecLeft, vecRight;  // w x h each
    std::vector<uint8_t> vecLaser;           // 32800
};

// ---- helpers ----

// CRC-32 (IEEE 802.3, reflected, as zlib's crc32), continued from nCrc.
inline uint32_t Crc32(const uint8_t* p, size_t n, uint32_t nCrc = 0) {
    nCrc = ~nCrc;
    for (size_t i = 0; i < n; ++i) {
        nCrc ^= p[i];
        for (int k = 0; k < 8; ++k) nCrc = (nCrc >> 1) ^ (0xEDB88320u & (0u - (nCrc & 1u)));
    }
    return ~nCrc;
}

inline void PutU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void PutU64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint32_t GetU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t GetU64(const uint8_t* p) {
    return static_cast<uint64_t>(GetU32(p)) | (static_cast<uint64_t>(GetU32(p + 4)) << 32);
}

inline void EncodeHeader(const SHeader& h, uint8_t* p /* c_nHeaderBytes */) {
    memset(p, 0, c_nHeaderBytes);
    memcpy(p + c_nOffMagic, c_achMagic, 8);
    PutU32(p + c_nOffFormat, c_nFormatVersion);
    PutU32(p + c_nOffHeaderBytes, c_nHeaderBytes);
    PutU32(p + c_nOffHwVersion, h.nHwVersion);
    PutU32(p + c_nOffWidth, h.nWidth);
    PutU32(p + c_nOffHeight, h.nHeight);
    PutU32(p + c_nOffFlags, h.nFlags);
    PutU32(p + c_nOffFrameCount, h.nFrameCount);
    memcpy(p + c_nOffInfo, h.abyInfo, c_nInfoBytes);
    for (int i = 0; i < 16; ++i) {
        uint64_t nBits;
        memcpy(&nBits, &h.adQ[i], 8);
        PutU64(p + c_nOffQ + 8 * i, nBits);
    }
    memcpy(p + c_nOffParamPage, h.abyParamPage, c_nParamPageBytes);
    PutU32(p + c_nOffHeaderCrc, Crc32(p, c_nOffHeaderCrc));
}

// Checks and decodes a header; false with the reason.
inline bool DecodeHeader(const uint8_t* p, size_t n, SHeader& h, std::string& strError) {
    if (n < c_nHeaderBytes) {
        strError = "too short for a recording header (" + std::to_string(n) + " of " +
                   std::to_string(c_nHeaderBytes) + " bytes)";
        return false;
    }
    if (memcmp(p + c_nOffMagic, c_achMagic, 8) != 0) {
        strError = "not a kxeye recording (no \"KXEYEREC\" at its start)";
        return false;
    }
    const uint32_t nFormat = GetU32(p + c_nOffFormat);
    if (nFormat != c_nFormatVersion) {
        strError = "format version " + std::to_string(nFormat) + ", this library reads version " +
                   std::to_string(c_nFormatVersion);
        return false;
    }
    if (GetU32(p + c_nOffHeaderBytes) != c_nHeaderBytes || GetU32(p + c_nOffHeaderCrc) != Crc32(p, c_nOffHeaderCrc)) {
        strError = "header damaged (size or checksum wrong)";
        return false;
    }
    h.nHwVersion = GetU32(p + c_nOffHwVersion);
    h.nWidth = GetU32(p + c_nOffWidth);
    h.nHeight = GetU32(p + c_nOffHeight);
    h.nFlags = GetU32(p + c_nOffFlags);
    h.nFrameCount = GetU32(p + c_nOffFrameCount);
    memcpy(h.abyInfo, p + c_nOffInfo, c_nInfoBytes);
    for (int i = 0; i < 16; ++i) {
        const uint64_t nBits = GetU64(p + c_nOffQ + 8 * i);
        memcpy(&h.adQ[i], &nBits, 8);
    }
    memcpy(h.abyParamPage, p + c_nOffParamPage, c_nParamPageBytes);
    if (h.nHwVersion > 8) {
        strError = "hardware version " + std::to_string(h.nHwVersion) + " is not 0 to 8";
        return false;
    }
    if (h.nWidth < 64 || h.nWidth > 4095 || h.nHeight < 256 || h.nHeight > 4096) {
        strError = "sensor " + std::to_string(h.nWidth) + " x " + std::to_string(h.nHeight) +
                   " is outside 64..4095 x 256..4096";
        return false;
    }
    if (h.nFrameCount == 0 || h.nFrameCount > c_nMaxFrames) {
        strError = h.nFrameCount == 0 ? std::string("holds no frame (an unfinished recording?)")
                                      : "frame count " + std::to_string(h.nFrameCount) + " above " +
                                            std::to_string(c_nMaxFrames);
        return false;
    }
    return true;
}

// Reads a whole recording; false with the reason (prefixed by the path), never a partial result.
inline bool ReadFile(const std::string& strPath, SHeader& h, std::vector<SFrame>& vecFrames, std::string& strError) {
    vecFrames.clear();
    struct SCloser {
        FILE* f;
        ~SCloser() {
            if (f) fclose(f);
        }
    } file = {fopen(strPath.c_str(), "rb")};
    const std::string strWhere = strPath + ": ";
    if (file.f == nullptr) {
        strError = strWhere + "cannot open: " + strerror(errno);
        return false;
    }
    if (fseek(file.f, 0, SEEK_END) != 0) {
        strError = strWhere + "cannot seek: " + strerror(errno);
        return false;
    }
    const long nEnd = ftell(file.f);
    if (nEnd < 0 || static_cast<uint64_t>(nEnd) > c_nMaxFileBytes) {
        strError = strWhere + (nEnd < 0 ? std::string("size unknown") : std::string("larger than 1 GiB"));
        return false;
    }
    rewind(file.f);
    const uint64_t nSize = static_cast<uint64_t>(nEnd);
    std::vector<uint8_t> vecHead(c_nHeaderBytes);
    const size_t nHead = fread(vecHead.data(), 1, c_nHeaderBytes, file.f);
    if (!DecodeHeader(vecHead.data(), nHead, h, strError)) {
        strError = strWhere + strError;
        return false;
    }
    uint64_t nPos = c_nHeaderBytes;
    for (uint32_t i = 0; i < h.nFrameCount; ++i) {
        const std::string strFrame = strWhere + "frame " + std::to_string(i) + " of " + std::to_string(h.nFrameCount);
        uint8_t aby[c_nFrameHeadBytes];
        if (nSize - nPos < c_nFrameHeadBytes || fread(aby, 1, c_nFrameHeadBytes, file.f) != c_nFrameHeadBytes) {
            strError = strFrame + " is cut off at byte " + std::to_string(nSize) + " (the file is truncated)";
            return false;
        }
        if (memcmp(aby + c_nFrameOffTag, c_achFrameTag, 4) != 0) {
            strError = strFrame + " at byte " + std::to_string(nPos) + " has no \"KFRM\" tag (the file is damaged)";
            return false;
        }
        SFrame f;
        f.nImageWidth = GetU32(aby + c_nFrameOffWidth);
        f.nImageHeight = GetU32(aby + c_nFrameOffHeight);
        f.nHostTimeUs = GetU64(aby + c_nFrameOffHostTime);
        f.nClockUs = static_cast<int32_t>(GetU32(aby + c_nFrameOffClock));
        const uint32_t nPayload = GetU32(aby + c_nFrameOffPayload);
        const bool bNoImages = f.nImageWidth == 0 && f.nImageHeight == 0;
        if (!bNoImages && (f.nImageWidth == 0 || f.nImageHeight == 0 || f.nImageWidth > h.nWidth ||
                           f.nImageHeight > h.nHeight)) {
            strError = strFrame + ": images of " + std::to_string(f.nImageWidth) + " x " +
                       std::to_string(f.nImageHeight) + " do not fit the sensor";
            return false;
        }
        const uint64_t nImage = static_cast<uint64_t>(f.nImageWidth) * f.nImageHeight;
        if (nPayload != 2 * nImage + c_nLaserBytes) {
            strError = strFrame + ": payload of " + std::to_string(nPayload) + " bytes, expected " +
                       std::to_string(2 * nImage + c_nLaserBytes);
            return false;
        }
        nPos += c_nFrameHeadBytes;
        if (nSize - nPos < nPayload) {
            strError = strFrame + " is cut off at byte " + std::to_string(nSize) + " (the file is truncated)";
            return false;
        }
        std::vector<uint8_t> vecPayload(nPayload);
        if (fread(vecPayload.data(), 1, nPayload, file.f) != nPayload) {
            strError = strFrame + ": read failed";
            return false;
        }
        if (Crc32(vecPayload.data(), nPayload) != GetU32(aby + c_nFrameOffCrc)) {
            strError = strFrame + ": checksum mismatch (the file is damaged)";
            return false;
        }
        const size_t nImg = static_cast<size_t>(nImage);
        f.vecLeft.assign(vecPayload.begin(), vecPayload.begin() + nImg);
        f.vecRight.assign(vecPayload.begin() + nImg, vecPayload.begin() + 2 * nImg);
        f.vecLaser.assign(vecPayload.begin() + 2 * nImg, vecPayload.end());
        nPos += nPayload;
        vecFrames.push_back(f);
    }
    if (nPos != nSize) {
        strError = strWhere + std::to_string(nSize - nPos) + " bytes after the last of " +
                   std::to_string(h.nFrameCount) + " frames (the file is damaged)";
        vecFrames.clear();
        return false;
    }
    return true;
}

// Writes a recording: Open, Add per frame, Finish. Every write is checked; on any failure the
// caller removes the file.
class CWriter {
public:
    CWriter() : m_pFile(nullptr), m_nFrames(0) {}
    ~CWriter() {
        if (m_pFile) fclose(m_pFile);
    }

    bool Open(const std::string& strPath, const SHeader& h, std::string& strError) {
        if (m_pFile) fclose(m_pFile);
        m_sHeader = h;
        m_sHeader.nFrameCount = 0;
        m_nFrames = 0;
        m_pFile = fopen(strPath.c_str(), "wb");
        if (m_pFile == nullptr) return Failed("cannot create " + strPath, strError);
        uint8_t aby[c_nHeaderBytes];
        EncodeHeader(m_sHeader, aby);
        if (fwrite(aby, 1, c_nHeaderBytes, m_pFile) != c_nHeaderBytes) return Failed("write failed", strError);
        return true;
    }

    // pLeft and pRight may be null when nWidth and nHeight are 0.
    bool Add(uint64_t nHostTimeUs, uint32_t nWidth, uint32_t nHeight, const uint8_t* pLeft, const uint8_t* pRight,
             const uint8_t* pLaser, std::string& strError, int32_t nClockUs = 0) {
        const size_t nImage = static_cast<size_t>(nWidth) * nHeight;
        const uint64_t nPayload = 2ull * nImage + c_nLaserBytes;
        if (m_pFile == nullptr || pLaser == nullptr || (nImage != 0 && (pLeft == nullptr || pRight == nullptr)) ||
            nPayload > 0xFFFFFFFFull)
            return Failed("bad frame", strError);
        if (m_nFrames >= c_nMaxFrames) return Failed("more than " + std::to_string(c_nMaxFrames) + " frames", strError);
        uint32_t nCrc = Crc32(pLeft, nImage);
        nCrc = Crc32(pRight, nImage, nCrc);
        nCrc = Crc32(pLaser, c_nLaserBytes, nCrc);
        uint8_t aby[c_nFrameHeadBytes];
        memset(aby, 0, sizeof(aby));
        memcpy(aby + c_nFrameOffTag, c_achFrameTag, 4);
        PutU32(aby + c_nFrameOffPayload, static_cast<uint32_t>(nPayload));
        PutU32(aby + c_nFrameOffWidth, nWidth);
        PutU32(aby + c_nFrameOffHeight, nHeight);
        PutU64(aby + c_nFrameOffHostTime, nHostTimeUs);
        PutU32(aby + c_nFrameOffCrc, nCrc);
        PutU32(aby + c_nFrameOffClock, static_cast<uint32_t>(nClockUs));
        if (fwrite(aby, 1, c_nFrameHeadBytes, m_pFile) != c_nFrameHeadBytes ||
            (nImage != 0 && (fwrite(pLeft, 1, nImage, m_pFile) != nImage || fwrite(pRight, 1, nImage, m_pFile) != nImage)) ||
            fwrite(pLaser, 1, c_nLaserBytes, m_pFile) != c_nLaserBytes)
            return Failed("write failed", strError);
        ++m_nFrames;
        return true;
    }

    // Writes the frame count into the header and closes the file.
    bool Finish(std::string& strError) {
        if (m_pFile == nullptr) return Failed("not open", strError);
        m_sHeader.nFrameCount = m_nFrames;
        uint8_t aby[c_nHeaderBytes];
        EncodeHeader(m_sHeader, aby);
        const bool bOk = fflush(m_pFile) == 0 && fseek(m_pFile, 0, SEEK_SET) == 0 &&
                         fwrite(aby, 1, c_nHeaderBytes, m_pFile) == c_nHeaderBytes && fflush(m_pFile) == 0;
        const int nErr = errno;
        const bool bClosed = fclose(m_pFile) == 0;
        m_pFile = nullptr;
        if (!bOk || !bClosed) {
            errno = bOk ? errno : nErr;
            return Failed("write failed", strError);
        }
        return true;
    }

    uint32_t Frames() const { return m_nFrames; }

private:
    CWriter(const CWriter&);
    CWriter& operator=(const CWriter&);
    bool Failed(const std::string& strWhat, std::string& strError) {
        strError = strWhat + (errno != 0 ? std::string(": ") + strerror(errno) : std::string());
        return false;
    }

    FILE* m_pFile;
    uint32_t m_nFrames;
    SHeader m_sHeader;
};

}  // namespace KxEyeRecording

#endif
