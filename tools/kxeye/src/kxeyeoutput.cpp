#include "kxeyeoutput.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "kxeyesession.h"
#include "kxkernel.h"

uint32_t KxEyePointRecordSize(int32_t nFormat) {
    switch (nFormat) {
        case c_nKxFormatIndexedDouble: return sizeof(SKxLaserPoint3D0);
        case c_nKxFormatFloat: return sizeof(SKxLaserPoint3F);
        case c_nKxFormatFloat16:
        case c_nKxFormatFloat16b:
        case c_nKxFormatFloat16c: return sizeof(SKxLaserPoint3F4);
        case c_nKxFormatFloat32: return sizeof(SKxLaserPoint3F8);
        case c_nKxFormatDouble: return sizeof(SKxLaserPoint3D);
        default: return 0;
    }
}

uint32_t KxEyePixelRecordSize(int32_t nFormat) {
    if (nFormat == c_nKxFormatIndexedDouble) return sizeof(SKxLaserPixel0);
    return KxEyePointRecordSize(nFormat) ? sizeof(SKxLaserPixel) : 0;
}

void KxEyeConvertPoints(int32_t nFormat, const void* pPoints, const void* pPixels, int32_t nCount,
                        std::vector<SKxEyePoint>& vecOut) {
    const uint32_t nPointSize = KxEyePointRecordSize(nFormat);
    const uint32_t nPixelSize = KxEyePixelRecordSize(nFormat);
    if (!pPoints || nCount <= 0 || nPointSize == 0) return;
    const auto* pbyPoints = static_cast<const uint8_t*>(pPoints);
    const auto* pbyPixels = static_cast<const uint8_t*>(pPixels);
    vecOut.reserve(vecOut.size() + static_cast<size_t>(nCount));
    for (int32_t i = 0; i < nCount; ++i) {
        const uint8_t* pRecord = pbyPoints + static_cast<size_t>(i) * nPointSize;
        SKxEyePoint pt{};
        // Records are packed by format, not aligned for the element type: copy, never cast.
        if (nFormat == c_nKxFormatIndexedDouble || nFormat == c_nKxFormatDouble) {
            double ad[3];
            std::memcpy(ad, pRecord + (nFormat == c_nKxFormatIndexedDouble ? offsetof(SKxLaserPoint3D0, dX) : 0),
                        sizeof(ad));
            pt.fX = static_cast<float>(ad[0]);
            pt.fY = static_cast<float>(ad[1]);
            pt.fZ = static_cast<float>(ad[2]);
        } else {
            float af[3];
            std::memcpy(af, pRecord, sizeof(af));
            pt.fX = af[0];
            pt.fY = af[1];
            pt.fZ = af[2];
        }
        pt.nColumn = -1;
        pt.nRow = -1;
        if (pbyPixels) {
            const uint8_t* pPixel = pbyPixels + static_cast<size_t>(i) * nPixelSize;
            const size_t nOffset = nFormat == c_nKxFormatIndexedDouble ? offsetof(SKxLaserPixel0, nLeftCol)
                                                                       : offsetof(SKxLaserPixel, nLeftCol);
            std::memcpy(&pt.nColumn, pPixel + nOffset, sizeof(int32_t));
            std::memcpy(&pt.nRow, pPixel + nOffset + sizeof(int32_t), sizeof(int32_t));
        }
        vecOut.push_back(pt);
    }
}

int32_t KxEyeReadBlock(IKxLaserEyeResultBlock* pBlock, int32_t nFormat, std::vector<SKxEyePoint>& vecOut) {
    int32_t nCount = 0;
    const void* pPoints = pBlock->GetPointData(nFormat, &nCount);
    if (!pPoints || nCount <= 0) return 0;
    int32_t nPixelCount = 0;
    const void* pPixels = pBlock->GetPixelData(nFormat, &nPixelCount);
    if (nPixelCount != nCount) pPixels = nullptr;
    KxEyeConvertPoints(nFormat, pPoints, pPixels, nCount, vecOut);
    return nCount;
}

bool KxEyeLineAlongColumns(const std::vector<std::vector<SKxEyePoint>>& vecProfiles) {
    int64_t nColumnSpread = 0, nRowSpread = 0;
    for (const auto& vecProfile : vecProfiles) {
        int32_t nMinC = INT32_MAX, nMaxC = INT32_MIN, nMinR = INT32_MAX, nMaxR = INT32_MIN;
        for (const SKxEyePoint& pt : vecProfile) {
            nMinC = std::min(nMinC, pt.nColumn), nMaxC = std::max(nMaxC, pt.nColumn);
            nMinR = std::min(nMinR, pt.nRow), nMaxR = std::max(nMaxR, pt.nRow);
        }
        if (vecProfile.size() < 2) continue;
        nColumnSpread += static_cast<int64_t>(nMaxC) - nMinC;
        nRowSpread += static_cast<int64_t>(nMaxR) - nMinR;
    }
    return nColumnSpread >= nRowSpread;
}
