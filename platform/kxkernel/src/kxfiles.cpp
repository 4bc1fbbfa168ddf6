// Memory reader, path helpers, file writing, PNG export and GUID text.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <vector>

#include "kxkernel.h"

#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#include <stb/stb_image_write.h>

// ---- CKxMemFile ----

CKxMemFile::CKxMemFile(const void* pBuffer, unsigned int nLength)
    : m_pBuffer(static_cast<const uint8_t*>(pBuffer)), m_nLength(pBuffer != NULL ? nLength : 0), m_nPos(0),
      m_bOpen(false) {}

bool CKxMemFile::Open() {
    m_nPos = 0;
    m_bOpen = m_pBuffer != NULL;
    return m_bOpen;
}

bool CKxMemFile::Read(void* pBuffer, unsigned int& nLength) {
    if (!m_bOpen || (pBuffer == NULL && nLength > 0) || nLength > m_nLength - m_nPos) {
        nLength = 0;
        return false;
    }
    if (nLength > 0) memcpy(pBuffer, m_pBuffer + m_nPos, nLength);
    m_nPos += nLength;
    return true;
}

void CKxMemFile::Close() {
    m_bOpen = false;
    m_nPos = 0;
}

// ---- KxFilesUtils ----

namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

bool CopyOut(const char* pszFrom, size_t nLen, char* pszOut, unsigned int nSize) {
    if (nLen + 1 > nSize) {
        pszOut[0] = '\0';
        return false;
    }
    memcpy(pszOut, pszFrom, nLen);
    pszOut[nLen] = '\0';
    return true;
}

}  // namespace

namespace KxFilesUtils {

bool GetPurePath(const char* pszPath, char* pszOut, unsigned int nSize) {
    if (pszOut == NULL || nSize == 0) return false;
    pszOut[0] = '\0';
    if (pszPath == NULL || pszPath[0] == '\0') return false;
    const size_t nLen = strlen(pszPath);
    size_t nSep = nLen;
    for (size_t i = nLen; i > 0; --i) {
        if (IsSeparator(pszPath[i - 1])) {
            nSep = i - 1;
            break;
        }
    }
    if (nSep == nLen) return CopyOut(".", 1, pszOut, nSize);
    // Drop the run of separators before the name, but keep a lone root.
    size_t nEnd = nSep;
    while (nEnd > 0 && IsSeparator(pszPath[nEnd - 1])) --nEnd;
    if (nEnd == 0) return CopyOut(pszPath, 1, pszOut, nSize);
    return CopyOut(pszPath, nEnd, pszOut, nSize);
}

bool GetPureName(const char* pszPath, char* pszOut, unsigned int nSize) {
    if (pszOut == NULL || nSize == 0) return false;
    pszOut[0] = '\0';
    if (pszPath == NULL) return false;
    const char* pszName = pszPath;
    for (const char* p = pszPath; *p != '\0'; ++p)
        if (IsSeparator(*p)) pszName = p + 1;
    size_t nLen = strlen(pszName);
    // The extension starts at the last dot, unless the dot opens the name (".profile").
    const char* pszDot = strrchr(pszName, '.');
    if (pszDot != NULL && pszDot != pszName) nLen = static_cast<size_t>(pszDot - pszName);
    if (nLen == 0) return false;
    return CopyOut(pszName, nLen, pszOut, nSize);
}

bool WriteFile(const char* pszPath, const void* pData, unsigned int nLength, bool bAppend) {
    if (pszPath == NULL || pszPath[0] == '\0' || (pData == NULL && nLength > 0)) return false;
    FILE* pFile = fopen(pszPath, bAppend ? "ab" : "wb");
    if (pFile == NULL) {
        KxLogUtils::PrintLog(c_nKxLogError, "Write File %s Failed: %s", pszPath, strerror(errno));
        return false;
    }
    bool bOk = nLength == 0 || fwrite(pData, 1, nLength, pFile) == nLength;
    if (fclose(pFile) != 0) bOk = false;
    if (!bOk) KxLogUtils::PrintLog(c_nKxLogError, "Write File %s Failed: Short Write", pszPath);
    return bOk;
}

}  // namespace KxFilesUtils

// ---- KxImageUtils ----

namespace KxImageUtils {

bool SaveImage(const char* pszPath, IKxSurface* pSurface, const SKxVideoResolution* pRes) {
    if (pszPath == NULL || pszPath[0] == '\0' || pSurface == NULL) return false;
    SKxNLImageData img;
    memset(&img, 0, sizeof(img));
    if (pSurface->GetImageData(&img) != KX_OK) return false;
    if (img.nPixelFormat != c_nKxPixelFormatGray8 || img.nWidth <= 0 || img.nHeight <= 0) {
        KxLogUtils::PrintLog(c_nKxLogError, "Save Image %s Failed: Not An 8-Bit Grey Image", pszPath);
        return false;
    }
    const uint64_t nNeed = static_cast<uint64_t>(img.nWidth) * static_cast<uint64_t>(img.nHeight);
    uint8_t* pPixels = NULL;
    if (pSurface->Lock(&pPixels) != KX_OK || pPixels == NULL || img.nSize < nNeed) {
        if (pPixels != NULL) pSurface->Unlock();
        KxLogUtils::PrintLog(c_nKxLogError, "Save Image %s Failed: No Pixels", pszPath);
        return false;
    }
    int nOk = 0;
    if (pRes == NULL) {
        nOk = stbi_write_png(pszPath, img.nWidth, img.nHeight, 1, pPixels, img.nWidth);
    } else {
        // The whole sensor frame, with the image at its origin and black around it.
        const int64_t nW = pRes->nFrameWidth, nH = pRes->nFrameHeight;
        if (nW <= 0 || nH <= 0 || nW > 65535 || nH > 65535) {
            pSurface->Unlock();
            KxLogUtils::PrintLog(c_nKxLogError, "Save Image %s Failed: Bad Frame Size", pszPath);
            return false;
        }
        std::vector<uint8_t> frame(static_cast<size_t>(nW * nH), 0);
        for (int64_t y = 0; y < img.nHeight; ++y) {
            const int64_t fy = y + img.nY;
            if (fy < 0 || fy >= nH) continue;
            for (int64_t x = 0; x < img.nWidth; ++x) {
                const int64_t fx = x + img.nX;
                if (fx < 0 || fx >= nW) continue;
                frame[static_cast<size_t>(fy * nW + fx)] = pPixels[y * img.nWidth + x];
            }
        }
        nOk = stbi_write_png(pszPath, static_cast<int>(nW), static_cast<int>(nH), 1, frame.data(),
                             static_cast<int>(nW));
    }
    pSurface->Unlock();
    if (nOk == 0) {
        KxLogUtils::PrintLog(c_nKxLogError, "Save Image %s Failed", pszPath);
        return false;
    }
    return true;
}

}  // namespace KxImageUtils

// ---- KxStringUtils ----

namespace KxStringUtils {

bool CreateGUID(char* pszText) {
    if (pszText == NULL) return false;
    static std::mutex s_mutex;
    static std::mt19937_64* s_pEngine = NULL;
    uint8_t by[16];
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        if (s_pEngine == NULL) {
            std::random_device rd;
            std::seed_seq seq{rd(), rd(), rd(), rd(), rd(), rd(), rd(), rd()};
            s_pEngine = new std::mt19937_64(seq);
        }
        const uint64_t a = (*s_pEngine)(), b = (*s_pEngine)();
        for (int i = 0; i < 8; ++i) {
            by[i] = static_cast<uint8_t>(a >> (8 * i));
            by[8 + i] = static_cast<uint8_t>(b >> (8 * i));
        }
    }
    by[6] = static_cast<uint8_t>((by[6] & 0x0F) | 0x40);  // version 4: random
    by[8] = static_cast<uint8_t>((by[8] & 0x3F) | 0x80);  // RFC 4122 variant
    snprintf(pszText, 39, "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", by[0],
             by[1], by[2], by[3], by[4], by[5], by[6], by[7], by[8], by[9], by[10], by[11], by[12], by[13],
             by[14], by[15]);
    return true;
}

}  // namespace KxStringUtils
