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
    // The library logs a refusal as it reads the configuration; kxeye prints the reason itself,
    // once, so the library is quiet meanwhile.
    const Orvik::utilSystem::LogLevel eLevel = Orvik::utilSystem::Logger::getLogLevel();
    Orvik::utilSystem::Logger::setLogLevel(Orvik::utilSystem::LogLevel_Off);
    const int nCheck = OrEyeCheckVirtualCameras(szReason, sizeof(szReason));
    Orvik::utilSystem::Logger::setLogLevel(eLevel);
    if (nCheck == c_nOrEyeOK) return true;
    strError = szReason;
    return false;
}
