// The retry loop and the guarded-command rule, written once for every device operation.
#pragma once

#include "kxkernel.h"
#include "kxretryloop.h"

template <class Op>
int32_t CKxLaserEyeDevice::Retry(Op op) {
    return KxRetryCameraCall(this, op);
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
