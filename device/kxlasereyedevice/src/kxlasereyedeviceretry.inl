// The retry loop and the guarded-command rule, written once for every device operation.
#pragma once

#include "kxkernel.h"

template <class Op>
int32_t CKxLaserEyeDevice::Retry(Op op) {
    int32_t nResult = 0;
    int nCalls = 0;
    do {
        nResult = op();
        ++nCalls;
    } while (nResult == KX_E_CAMERA_RETRY && nCalls < 3);
    if (nResult != 0) {
        KxLogUtils::PrintLog(c_nKxLogError, "Device %p: Execute Failed: %d", static_cast<void*>(this), nResult);
    } else if (nCalls > 1) {
        KxLogUtils::PrintLog(c_nKxLogWarning, "Device %p: Failed Times %d", static_cast<void*>(this), nCalls - 1);
    }
    return nResult;
}

template <class Op>
int32_t CKxLaserEyeDevice::Guarded(const char* pszName, Op op) {
    const int32_t nValid = CheckValid();
    if (nValid != 0) return nValid;
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    const int32_t nBusy = CheckBusy(pszName);
    if (nBusy != 0) return nBusy;
    IOrEyeCamera* pCamera = pICoreEye;
    return Retry([&]() -> int32_t { return op(pCamera); });
}
