// What kxeye sets and asks of the camera access library beside the SDK: its log level and
// whether it took the virtual camera configuration.
#ifndef KXEYECAMLIB_H
#define KXEYECAMLIB_H

#include <string>

// Log level of kxeye's scale (0 none, 1 errors, 2 warnings, 3 state changes, 4 details) for the
// SDK's lines and for the camera library's lines alike.
void KxEyeSetLogLevel(int nLevel);

// False, with the reason, when the camera library refused KXEYE_VIRTUAL_CAMERAS: then the local
// path has no camera, and a command must fail rather than go on with none or another.
bool KxEyeCheckVirtualCameras(std::string& strError);

#endif
