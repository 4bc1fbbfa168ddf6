// Extended trailer: five input records and three tilt directions behind the points.
#include <cmath>
#include <cstring>

#include "kxlasereyeinnerutils.h"

float KxFloatFromBits(uint32_t nBits) {
    float f;
    std::memcpy(&f, &nBits, sizeof f);
    return f;
}

void DecodeExtendedTrailer(const uint8_t* pRecords9, SKxInputInfo aInputInfo[5], float afTiltAngles[3]) {
    if (pRecords9 == nullptr) return;
    if (aInputInfo != nullptr) {
        const float fScale = KxFloatFromBits(c_nKxInputScaleBits);
        for (int i = 0; i < 5; ++i) {
            const uint8_t* pRec = pRecords9 + i * c_nKxLaserRecordBytes;
            const uint32_t w0 = KxReadLe32(pRec), w1 = KxReadLe32(pRec + 4);
            const uint32_t w2 = KxReadLe32(pRec + 8), w3 = KxReadLe32(pRec + 12);
            // Arithmetic shift of the signed 64-bit value w2:w3 (well defined since C++20).
            const int64_t v = static_cast<int64_t>((static_cast<uint64_t>(w2) << 32) | w3) >> 12;
            const float f = static_cast<float>(w3 & 0xFFFu) / 4096.0f;
            SKxInputInfo& info = aInputInfo[i];
            info.nInputLevel = static_cast<int32_t>(w0 & 1u);
            info.bInputEdge = (w0 & 2u) != 0;
            info.fInputValue = static_cast<float>(w1) * fScale + static_cast<float>(v) + f;
        }
    }
    if (afTiltAngles != nullptr) {
        // Words 3, 6 and 9 counted from the start of record 5.
        const uint8_t* pDir = pRecords9 + 5 * c_nKxLaserRecordBytes;
        const float fPi = KxFloatFromBits(c_nKxPiBits);
        static const int s_anWord[3] = {3, 6, 9};
        for (int k = 0; k < 3; ++k) {
            const uint32_t d = KxReadLe32(pDir + 4 * s_anWord[k]);
            const float fRad = static_cast<float>(std::acos(static_cast<double>(d) / 2147483648.0));
            afTiltAngles[k] = fRad * 180.0f / fPi;
        }
    }
}
