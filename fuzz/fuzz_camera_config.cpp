// libFuzzer target for the virtual camera's JSON configuration (one camera object, as the
// emulator's --config and KXEYE_VIRTUAL_CAMERAS give it) and the address text of a connect
// string. An accepted camera has every value inside its documented range.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ornet.h"
#include "orvirtualcamera.h"

namespace {
void Check(bool b) {
    if (!b) abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* p, size_t n) {
    const std::string strText(reinterpret_cast<const char*>(p), n);
    uint32_t nAddress = 0;
    OrNet::ParseIPv4(strText.c_str(), &nAddress);
    // A recording names a file to read: the target stays away from the file system.
    if (strText.find("recording") != std::string::npos) return 0;
    SOrVirtualConfig cfg;
    std::string strErr;
    if (OrVirtualRegistry::ParseCameraText(strText, 0, &cfg, &strErr)) {
        Check(cfg.nVersion >= 0 && cfg.nVersion <= 8);
        Check(cfg.nWidth >= 64 && cfg.nWidth <= 4095 && cfg.nHeight >= 256 && cfg.nHeight <= 4096);
        Check(cfg.strSerial.size() <= 8 && cfg.strDeviceId.size() <= 16);
        Check(cfg.vecCompensation.size() <= 64);
    } else {
        Check(!strErr.empty());
    }
    return 0;
}
