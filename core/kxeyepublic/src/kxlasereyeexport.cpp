// Export of one frame: raw bytes, 3D text and the two images.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <ostream>

#include "kxkernel.h"
#include "../../../include/kxlasereyedevice.h"  // public interfaces, not the device class
#include "kxlasereyeinnerutils.h"

bool KxComposeExportPath(const char* pszDir, const char* pszName, const char* pszSuffix,
                         char* pszOut, size_t nSize) {
    if (pszOut == nullptr || nSize == 0) return false;
    pszOut[0] = '\0';
    if (pszDir == nullptr || pszName == nullptr || pszSuffix == nullptr) return false;
    const size_t nLimit = nSize - 1 < c_nKxExportPathMax ? nSize - 1 : c_nKxExportPathMax;
    const int n = std::snprintf(pszOut, nSize, "%s/%s%s", pszDir, pszName, pszSuffix);
    if (n < 0 || static_cast<size_t>(n) > nLimit) {
        pszOut[0] = '\0';
        return false;
    }
    return true;
}

void KxWrite3DText(std::ostream& os, uint32_t nLeftROIX, uint32_t nRightROIX, uint32_t nAngle,
                   const SKxLaserPoint3D0* pPoints, int nCount) {
    os << "LeftPicROI_X:" << nLeftROIX << '\n';
    os << "RightPicROI_X:" << nRightROIX << '\n';
    os << "Angle:" << nAngle << '\n';
    if (pPoints == nullptr) return;
    for (int i = 0; i < nCount; ++i) {
        os << '{' << pPoints[i].dX << ',' << pPoints[i].dY << ',' << pPoints[i].dZ << '}' << '\n';
    }
}

namespace {
void SaveSurface(IKxSurface* pSurface, const char* pszDir, const char* pszName, const char* pszSuffix) {
    if (pSurface == nullptr) return;
    char szPath[c_nKxExportPathMax + 1];
    if (!KxComposeExportPath(pszDir, pszName, pszSuffix, szPath, sizeof szPath)) {
        KxLogUtils::PrintLog(c_nKxLogError, "SaveToFile: path of %s%s too long", pszName, pszSuffix);
        return;
    }
    if (!KxImageUtils::SaveImage(szPath, pSurface)) {
        KxLogUtils::PrintLog(c_nKxLogError, "SaveToFile: cannot write %s", szPath);
    }
}
}  // namespace

void KxSaveLaserResult(const char* pszFile, IKxLaserEyeResultBlock* pBlock, IKxMemBlock* pFrame,
                       IKxSurface* pLeft, IKxSurface* pRight, uint32_t nLeftROIX,
                       uint32_t nRightROIX, uint32_t nAngle) {
    if (pszFile == nullptr || pszFile[0] == '\0') {
        KxLogUtils::PrintLog(c_nKxLogError, "SaveToFile: no file name");
        return;
    }
    if (pFrame != nullptr) {
        SKxMemData data = {nullptr, 0};
        pFrame->GetData(&data);
        if (data.pData != nullptr &&
            !KxFilesUtils::WriteFile(pszFile, data.pData, data.nLength, false)) {
            KxLogUtils::PrintLog(c_nKxLogError, "SaveToFile: cannot write %s", pszFile);
        }
        pFrame->EndAccess();
    }

    char szDir[256] = {0};
    char szName[256] = {0};
    if (!KxFilesUtils::GetPurePath(pszFile, szDir, sizeof szDir) ||
        !KxFilesUtils::GetPureName(pszFile, szName, sizeof szName)) {
        KxLogUtils::PrintLog(c_nKxLogError, "SaveToFile: cannot split %s", pszFile);
        return;
    }

    char szText[c_nKxExportPathMax + 1];
    if (!KxComposeExportPath(szDir, szName, "_3D.txt", szText, sizeof szText)) {
        KxLogUtils::PrintLog(c_nKxLogError, "SaveToFile: path of %s_3D.txt too long", szName);
    } else {
        std::ofstream os(szText, std::ios::out | std::ios::trunc);
        if (!os) {
            KxLogUtils::PrintLog(c_nKxLogError, "SaveToFile: cannot open %s", szText);
        } else {
            int32_t nCount = 0;
            const SKxLaserPoint3D0* pPoints = nullptr;
            if (pBlock != nullptr) {
                pPoints = static_cast<const SKxLaserPoint3D0*>(pBlock->GetPointData(0, &nCount));
            }
            KxWrite3DText(os, nLeftROIX, nRightROIX, nAngle, pPoints, nCount);
        }
    }

    SaveSurface(pLeft, szDir, szName, "_L.png");
    SaveSurface(pRight, szDir, szName, "_R.png");
}
