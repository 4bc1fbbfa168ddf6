// libFuzzer target for the parameter page the device reads from the camera's storage at open:
// the device parameter block and the compensation ranges. Besides never crashing, a table that
// is built has n + 1 finite ranges that join without a hole, rising between the first and the
// last (those two may be empty: a first bound at or below 0, a last one at or above 1e8).
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kxdeviceparam.h"
#include "kxlaserinfo.h"

namespace {
void Check(bool b) {
    if (!b) abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* p, size_t n) {
    // The device always reads a whole page; shorter inputs are the front of one (zeros after),
    // and the bytes are copied so that a read past the page is caught.
    std::vector<uint8_t> page(KxParamPage::c_nBytes, 0);
    memcpy(page.data(), p, n < page.size() ? n : page.size());
    // The same parsers over exactly the input's length (shorter pages than the device's).
    std::vector<uint8_t> exact(p, p + n);
    for (auto* v : {&page, &exact}) {
        const SKxDeviceParam param = KxDeviceParamUtils::ParseDeviceParam(v->data(), static_cast<unsigned int>(v->size()));
        (void)param;
        const std::vector<SKxCompensateEntry> table =
            KxDeviceParamUtils::BuildCompensateEntries(v->data(), static_cast<unsigned int>(v->size()));
        if (table.empty()) continue;
        Check(table.size() >= 2 && table.size() <= KxParamPage::c_nCompMaxEntries + 1);
        for (size_t i = 0; i < table.size(); ++i) {
            Check(std::isfinite(table[i].fFrom) && std::isfinite(table[i].fTo));
            if (i > 0 && i + 1 < table.size()) Check(table[i].fFrom < table[i].fTo);
            if (i > 0) Check(table[i].fFrom == table[i - 1].fTo);
        }
    }
    return 0;
}
