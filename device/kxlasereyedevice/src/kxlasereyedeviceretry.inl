// The retry loop and the guarded-command rule, written once for every device operation.
#pragma once

#include "kxkernel.h"
#include "kxretryloop.h"

template <class Op>
int32_t CKxLaserEyeDevice::Retry(Op op) {
    const int32_t nResult = KxRetryCameraCall(this, op);
    // A camera that stopped answering is lost for this opening: the next calls must not wait for
    // it again one by one.
    if (nResult == KX_E_CAMERA_OFFLINE) SetOffline();
    return nResult;
}

template <class Op>
int32_t CKxLaserEyeDevice::Guarded(const char* pszName, Op op) {
    const int32_t nValid = CheckValid();
    if (nValid != 0) return nValid;
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    const int32_t nBusy = CheckBusy(pszName);  // also: not closed meanwhile
    if (nBusy != 0) return nBusy;
    const CKxHeldCamera held(*this);  // Close on another thread may drop the device's reference
    IOrEyeCamera* pCamera = held.Camera();
    if (pCamera == nullptr) return KX_E_NOT_OPEN;
    return Retry([&]() -> int32_t { return op(pCamera); });
}

template <class Send, class Matches>
int32_t CKxLaserEyeDevice::ConfirmedSet(Send send, const char* pszSendFailed, Matches matches,
                                        const char* pszMismatch) {
    int32_t nResult = Retry(send);
    if (nResult != 0) {
        KxLogUtils::PrintLog(c_nKxLogError, "%s", pszSendFailed);
        return nResult;
    }
    SKxLaserEyeProperties sCheckProperties{};
    uint32_t sCheckMaskValid = 0;
    nResult = ReadLaserInfoRuns(sCheckProperties, sCheckMaskValid);
    if (nResult != 0) {
        KxLogUtils::PrintLog(c_nKxLogError, "Update Data Failed");
        return nResult;
    }
    if (!matches(sCheckProperties)) {
        KxLogUtils::PrintLog(c_nKxLogError, "%s", pszMismatch);
        return KX_E_READBACK_MISMATCH;
    }
    return KX_OK;
}
