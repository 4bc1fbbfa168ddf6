// Exported entry points of the device: creation and the camera library's log level.
#include <new>

#include "kxlasereyedevice.h"
#include "oreyeapi.h"

extern "C" KXLE_API bool KxCreateLaserEyeDevice(const SKxNLEyeDeviceInfoEx* pInfo,
                                                IKxSurfacePool* pSurfacePool, IKxMemPool* pMemPool,
                                                IKxLaserEyeDevice** ppDevice) {
    if (ppDevice == nullptr) return false;
    *ppDevice = nullptr;
    // Without a record there is nothing to open: refuse rather than read through null.
    if (pInfo == nullptr) return false;
    CKxLaserEyeDevice* pDevice = new (std::nothrow) CKxLaserEyeDevice(*pInfo, pSurfacePool, pMemPool);
    if (pDevice == nullptr) return false;
    *ppDevice = pDevice;
    return true;
}

extern "C" KXLE_API void KxConfigLaserEyeLogLevel(int nLevel) {
    // Levels 3 and 4 cross over: 3 maps to the camera library's 5, 4 to its 4.
    Orvik::utilSystem::LogLevel eLevel;
    switch (nLevel) {
        case 0: eLevel = Orvik::utilSystem::LogLevel_Trace; break;
        case 1: eLevel = Orvik::utilSystem::LogLevel_Debug; break;
        case 2: eLevel = Orvik::utilSystem::LogLevel_Info; break;
        case 3: eLevel = Orvik::utilSystem::LogLevel_Error; break;
        case 4: eLevel = Orvik::utilSystem::LogLevel_Warning; break;
        default: eLevel = Orvik::utilSystem::LogLevel_Off; break;
    }
    Orvik::utilSystem::Logger::setLogLevel(eLevel);
}
