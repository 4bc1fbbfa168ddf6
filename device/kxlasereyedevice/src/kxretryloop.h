// The camera retry loop, written once: at most 3 calls while the camera answers -10014, then
// "Device %p: Execute Failed: %d" on failure or "Device %p: Failed Times %d" after retries,
// both naming the laser eye device the call was made for.
#pragma once

#include <cstdint>

#include "kxkernel.h"

template <class Op>
int32_t KxRetryCameraCall(const void* pDevice, Op op) {
    int32_t nResult = 0;
    int nCalls = 0;
    do {
        nResult = op();
        ++nCalls;
    } while (nResult == KX_E_CAMERA_RETRY && nCalls < 3);
    if (nResult != 0) {
        KxLogUtils::PrintLog(c_nKxLogError, "Device %p: Execute Failed: %d", pDevice, nResult);
    } else if (nCalls > 1) {
        KxLogUtils::PrintLog(c_nKxLogWarning, "Device %p: Failed Times %d", pDevice, nCalls - 1);
    }
    return nResult;
}
