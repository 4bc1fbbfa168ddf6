// Device-information rules over the laser-information block, and the compensation section of
// the parameter page. Layouts: include/kxlaserinfo.h, docs/laser-info-block.md.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "kxkernel.h"
#include "kxlaserinfo.h"

using KxLaserInfo::GetWord;

namespace {

const char* FamilyTag(uint16_t nType) {
    switch (nType) {
    case 2: return "KXLE";  // laser eye
    case 3: return "KXSE";  // smart eye
    default: return "KXEY";
    }
}

uint32_t ReadU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

float ReadF32(const uint8_t* p) {
    uint32_t n = ReadU32(p);
    float f;
    memcpy(&f, &n, sizeof(f));
    return f;
}

// Validates the section; answers its count (0 when missing, corrupt or truncated).
unsigned int CheckCompensation(const uint8_t* pData, unsigned int nLength) {
    const unsigned int nOff = KxParamPage::c_nCompOffset;
    if (pData == NULL || nLength < nOff || nLength - nOff < 8) return 0;
    const uint8_t* p = pData + nOff;
    const unsigned int nAvail = nLength - nOff;
    if (ReadU32(p) != KxParamPage::c_nCompMagic) return 0;
    const uint32_t n = ReadU32(p + 4);
    if (n == 0 || n > KxParamPage::c_nCompMaxEntries) return 0;
    // Bounded by the maximum count above, so this cannot overflow.
    const unsigned int nBody = 8 + 8 * n;
    if (nAvail < nBody + 4) return 0;
    uint32_t nSum = 0;
    for (unsigned int i = 0; i < nBody; ++i) nSum += p[i];
    if (nSum != ReadU32(p + nBody)) return 0;
    float fPrev = 0.0f;
    for (unsigned int i = 0; i < n; ++i) {
        const float fA = ReadF32(p + 8 + 4 * i);
        const float fB = ReadF32(p + 8 + 4 * n + 4 * i);
        if (!std::isfinite(fA) || !std::isfinite(fB)) return 0;
        if (i > 0 && !(fA > fPrev)) return 0;
        fPrev = fA;
    }
    return n;
}

}  // namespace

namespace KxDeviceUtils {

int GetDeviceType(const uint8_t* pbyInfo52) {
    if (pbyInfo52 == NULL) return 0;
    return GetWord(pbyInfo52, KxLaserInfo::c_nWordDeviceType);
}

uint16_t GetDeviceVersion(const uint8_t* pbyInfo52) {
    if (pbyInfo52 == NULL) return 0;
    return GetWord(pbyInfo52, KxLaserInfo::c_nWordVersion);
}

bool GetResolution(const uint8_t* pbyInfo52, SKxVideoResolution* pRes) {
    if (pbyInfo52 == NULL || pRes == NULL) return false;
    pRes->nFrameWidth = GetWord(pbyInfo52, KxLaserInfo::c_nWordWidth);
    pRes->nFrameHeight = GetWord(pbyInfo52, KxLaserInfo::c_nWordHeight);
    // A camera that reports no frame size has not told us anything usable.
    return pRes->nFrameWidth != 0 && pRes->nFrameHeight != 0;
}

bool GetHardwareVersion(const uint8_t* pbyInfo52, char* pszText, unsigned int nSize) {
    if (pszText == NULL || nSize == 0) return false;
    pszText[0] = '\0';
    if (pbyInfo52 == NULL) return false;
    const uint16_t nType = GetWord(pbyInfo52, KxLaserInfo::c_nWordDeviceType);
    const uint16_t nVersion = GetWord(pbyInfo52, KxLaserInfo::c_nWordVersion);
    const uint16_t nRevision = GetWord(pbyInfo52, KxLaserInfo::c_nWordRevision);
    const uint16_t nModel = GetWord(pbyInfo52, KxLaserInfo::c_nWordModel);
    char szText[64];
    if (nModel != 0) {
        snprintf(szText, sizeof(szText), "%s-V%u-R%u.%u-M%u", FamilyTag(nType), nVersion,
                 static_cast<unsigned>(nRevision >> 8), static_cast<unsigned>(nRevision & 0xFF),
                 nModel);
    } else {
        snprintf(szText, sizeof(szText), "%s-V%u-R%u.%u", FamilyTag(nType), nVersion,
                 static_cast<unsigned>(nRevision >> 8), static_cast<unsigned>(nRevision & 0xFF));
    }
    const size_t nLen = strlen(szText);
    const size_t nCopy = nLen < nSize - 1 ? nLen : nSize - 1;
    memcpy(pszText, szText, nCopy);
    pszText[nCopy] = '\0';
    return nCopy == nLen;  // false when the caller's buffer cut the text
}

bool IsLargeEye(const uint8_t* pbyInfo52) {
    if (pbyInfo52 == NULL) return false;
    return (GetWord(pbyInfo52, KxLaserInfo::c_nWordFlags) & KxLaserInfo::c_nFlagLargeEye) != 0;
}

bool ParseCompensateData(const uint8_t* pData, unsigned int nLength, float* pfA, float* pfB,
                         unsigned int* pnCount) {
    if (pnCount == NULL) return false;
    const unsigned int nCapacity = *pnCount;
    const unsigned int n = CheckCompensation(pData, nLength);
    if (n == 0) {
        *pnCount = 0;
        return false;
    }
    if (pfA == NULL && pfB == NULL) {
        *pnCount = n;
        return true;
    }
    if (pfA == NULL || pfB == NULL) {
        *pnCount = 0;
        return false;
    }
    if (nCapacity < n) {
        // Arrays too short: nothing written, the caller learns the count it needs.
        *pnCount = n;
        return false;
    }
    const uint8_t* p = pData + KxParamPage::c_nCompOffset;
    for (unsigned int i = 0; i < n; ++i) {
        pfA[i] = ReadF32(p + 8 + 4 * i);
        pfB[i] = ReadF32(p + 8 + 4 * n + 4 * i);
    }
    *pnCount = n;
    return true;
}

}  // namespace KxDeviceUtils
