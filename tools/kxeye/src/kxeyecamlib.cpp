#include "kxeyecamlib.h"

#include "kxkernel.h"
#include "kxlasereyedevice.h"
#include "oreyeapi.h"

void KxEyeSetLogLevel(int nLevel) {
    KxLogUtils::SetLogLevel(nLevel);
    // The camera library's scale through the SDK's KxConfigLaserEyeLogLevel runs the other way:
    // its 3 shows errors only, 4 warnings too, 2 state changes, 1 details; anything else silences.
    static const int c_anCameraLevel[5] = {-1, 3, 4, 2, 1};
    KxConfigLaserEyeLogLevel(nLevel >= 0 && nLevel <= 4 ? c_anCameraLevel[nLevel] : -1);
}

bool KxEyeCheckVirtualCameras(std::string& strError) {
    char szReason[512] = "";
    if (OrEyeCheckVirtualCameras(szReason, sizeof(szReason)) == c_nOrEyeOK) return true;
    strError = szReason;
    return false;
}
