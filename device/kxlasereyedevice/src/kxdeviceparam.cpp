// The parameter page read at open: device parameter block and compensation ranges.
#include "kxdeviceparam.h"

#include <cstring>
#include <memory>

#include "kxkernel.h"
#include "kxlaserinfo.h"

namespace {
// Upper bound of the last compensation range.
const float c_fCompensateEnd = 100000000.0f;
}  // namespace

namespace KxDeviceParamUtils {

SKxDeviceParam ParseDeviceParam(const uint8_t* pbyPage, unsigned int nLength) {
    SKxDeviceParam param{};  // kind 0 until the block says otherwise
    CKxMemFile file(pbyPage, nLength);
    if (pbyPage == nullptr || !file.Open()) return param;
    // Each step stops the parse at the first short read or mismatch; what was read stays.
    auto readExact = [&file](void* pOut, unsigned int nBytes) {
        unsigned int nRead = nBytes;
        return file.Read(pOut, nRead) && nRead == nBytes;
    };
    auto readTag = [&]() {
        char szTag[KxParamPage::c_nTagBytes];
        return readExact(szTag, sizeof(szTag)) &&
               std::memcmp(szTag, KxParamPage::c_szTag, KxParamPage::c_nTagBytes) == 0;
    };
    do {
        if (!readTag()) break;
        uint8_t nVersion = 0;
        if (!readExact(&nVersion, 1) || nVersion < 1 || nVersion > 3) break;
        int32_t nKind = 0;
        if (!readExact(&nKind, sizeof(nKind))) break;
        param.nKind = nKind;
        if (nKind != -1 && !readExact(param.bySection96, sizeof(param.bySection96))) break;
        if (nVersion >= 2 && !readExact(param.adCoordOffset, sizeof(param.adCoordOffset))) break;
        if (nVersion == 3 && !readExact(param.bySection16, sizeof(param.bySection16))) break;
        readTag();  // the closing tag only ends the block; nothing depends on it
    } while (false);
    file.Close();
    return param;
}

std::vector<SKxCompensateEntry> BuildCompensateEntries(const uint8_t* pbyPage, unsigned int nLength) {
    std::vector<SKxCompensateEntry> table;
    unsigned int nCount = 0;
    KxDeviceUtils::ParseCompensateData(pbyPage, nLength, nullptr, nullptr, &nCount);
    if (nCount == 0 || nCount > KxParamPage::c_nCompMaxEntries) return table;
    std::unique_ptr<float[]> pfA(new float[nCount]());
    std::unique_ptr<float[]> pfB(new float[nCount]());
    unsigned int nFilled = nCount;
    if (!KxDeviceUtils::ParseCompensateData(pbyPage, nLength, pfA.get(), pfB.get(), &nFilled) || nFilled != nCount)
        return table;
    table.reserve(nCount + 1);
    for (unsigned int i = 0; i < nCount; ++i) {
        SKxCompensateEntry entry;
        entry.fFrom = i == 0 ? 0.0f : pfA[i - 1];
        entry.fTo = pfA[i];
        entry.fAdd = (pfB[i] + pfB[i == 0 ? 0 : i - 1]) / 2.0f;
        table.push_back(entry);
    }
    table.push_back(SKxCompensateEntry{pfA[nCount - 1], c_fCompensateEnd, pfB[nCount - 1]});
    return table;
}

}  // namespace KxDeviceParamUtils
