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

bool KxEyeWritePly(const std::string& strPath, const std::vector<SKxEyePoint>& vecPoints) {
    FILE* pFile = std::fopen(strPath.c_str(), "wb");
    if (!pFile) return false;
    std::fprintf(pFile,
                 "ply\nformat binary_little_endian 1.0\ncomment written by kxeye\n"
                 "element vertex %zu\nproperty float x\nproperty float y\nproperty float z\nend_header\n",
                 vecPoints.size());
    std::vector<uint8_t> vecBuffer;
    vecBuffer.reserve(vecPoints.size() * 12);
    for (const SKxEyePoint& pt : vecPoints) {
        float af[3] = {pt.fX, pt.fY, pt.fZ};
        uint8_t aby[12];
        std::memcpy(aby, af, sizeof(aby));
        if constexpr (std::endian::native == std::endian::big) {
            for (int k = 0; k < 3; ++k) std::reverse(aby + 4 * k, aby + 4 * k + 4);
        }
        vecBuffer.insert(vecBuffer.end(), aby, aby + 12);
    }
    const bool bWritten = std::fwrite(vecBuffer.data(), 1, vecBuffer.size(), pFile) == vecBuffer.size();
    const bool bClosed = std::fclose(pFile) == 0;
    return bWritten && bClosed;
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

std::vector<uint8_t> KxEyeHeightMap(const std::vector<std::vector<SKxEyePoint>>& vecProfiles, int32_t nWidth,
                                    bool bByRow) {
    std::vector<uint8_t> vecPixels(static_cast<size_t>(std::max(nWidth, 0)) * vecProfiles.size(), 0);
    auto place = [&](const SKxEyePoint& pt) { return bByRow ? pt.nRow : pt.nColumn; };
    float fMin = std::numeric_limits<float>::max();
    float fMax = std::numeric_limits<float>::lowest();
    for (const auto& vecProfile : vecProfiles) {
        for (const SKxEyePoint& pt : vecProfile) {
            if (place(pt) < 0 || place(pt) >= nWidth || !std::isfinite(pt.fZ)) continue;
            fMin = std::min(fMin, pt.fZ);
            fMax = std::max(fMax, pt.fZ);
        }
    }
    const double dSpan = fMax > fMin ? static_cast<double>(fMax) - fMin : 0.0;
    for (size_t nRow = 0; nRow < vecProfiles.size(); ++nRow) {
        for (const SKxEyePoint& pt : vecProfiles[nRow]) {
            if (place(pt) < 0 || place(pt) >= nWidth || !std::isfinite(pt.fZ)) continue;
            // Z is the distance from the camera: nearer, so taller, is brighter. Black (0) marks
            // "no point", so the farthest point stays a visible dark grey; a flat scene is white.
            const double dLevel = dSpan > 0 ? 48.0 + 207.0 * (fMax - pt.fZ) / dSpan : 255.0;
            uint8_t& byPixel = vecPixels[nRow * static_cast<size_t>(nWidth) + static_cast<size_t>(place(pt))];
            byPixel = std::max(byPixel, static_cast<uint8_t>(std::lround(dLevel)));
        }
    }
    return vecPixels;
}

bool KxEyeWriteGreyPng(const std::string& strPath, std::vector<uint8_t>& vecPixels, int32_t nWidth,
                       int32_t nHeight) {
    if (nWidth <= 0 || nHeight <= 0 ||
        vecPixels.size() != static_cast<size_t>(nWidth) * static_cast<size_t>(nHeight) ||
        vecPixels.size() > std::numeric_limits<uint32_t>::max())
        return false;
    SKxNLImageData sImage{};
    sImage.pData = vecPixels.data();
    sImage.nSize = static_cast<uint32_t>(vecPixels.size());
    sImage.nX = 0;
    sImage.nY = 0;
    sImage.nWidth = nWidth;
    sImage.nHeight = nHeight;
    sImage.nPixelFormat = c_nKxPixelFormatGray8;
    sImage.nBits = 8;
    sImage.nChannels = 1;
    CKxEyeRef<IKxSurface> pSurface;
    if (!KxCreateCustomSurface(sImage, pSurface.Out()) || !pSurface) return false;
    return KxImageUtils::SaveImage(strPath.c_str(), pSurface.Get());
}
