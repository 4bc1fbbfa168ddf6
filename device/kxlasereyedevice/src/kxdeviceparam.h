// The parameter page read from the camera's storage at open (include/kxlaserinfo.h): the device
// parameter block and the compensation ranges built from its compensation section. Pure
// functions over the page's bytes, which come from the camera and are never trusted.
#pragma once

#include <cstdint>
#include <vector>

#include "kxlasereyeinnerutils.h"  // SKxCompensateEntry

struct SKxDeviceParam {
    int32_t nKind;  // -1 = absent
    uint8_t byReserved[4];
    uint8_t bySection96[96];
    double adCoordOffset[3];
    uint8_t bySection16[16];
};

namespace KxDeviceParamUtils {
// The device parameter block at the start of the page. Stops at the first short read or
// mismatch; what was read until then stays (kind 0 when nothing was).
SKxDeviceParam ParseDeviceParam(const uint8_t* pbyPage, unsigned int nLength);
// The n + 1 compensation ranges of a valid section of n entries; empty when the section is
// missing or invalid.
std::vector<SKxCompensateEntry> BuildCompensateEntries(const uint8_t* pbyPage, unsigned int nLength);
}  // namespace KxDeviceParamUtils
