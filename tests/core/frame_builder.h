// Builds raw laser frames for tests: point records and trailer words.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace KxTestFrame {

inline uint32_t SignMag(int64_t v) {
    return v < 0 ? (0x80000000u | static_cast<uint32_t>(-v)) : static_cast<uint32_t>(v);
}

struct SFrame {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(32800, 0);

    void SetRecord(int i, int32_t h, uint32_t wz, uint32_t wy, uint32_t wx) {
        uint32_t w[4] = {static_cast<uint32_t>(h), wz, wy, wx};
        std::memcpy(bytes.data() + 16 * i, w, 16);
    }
    // Signed values, stored sign-magnitude.
    void SetPoint(int i, int32_t h, int64_t z, int64_t y, int64_t x) {
        SetRecord(i, h, SignMag(z), SignMag(y), SignMag(x));
    }
    void SetWord(int nWord, uint32_t v) { std::memcpy(bytes.data() + 32768 + 4 * nWord, &v, 4); }
    uint32_t Word(int nWord) const {
        uint32_t v;
        std::memcpy(&v, bytes.data() + 32768 + 4 * nWord, 4);
        return v;
    }
    // Point count in the trailer field of the version.
    void SetCount(uint32_t nCount, uint32_t nVersion) {
        if (nVersion >= 7) {
            SetWord(3, (Word(3) & 0xFFFFFu) | (nCount << 20));
        } else {
            SetWord(4, nCount);
        }
    }
};

}  // namespace KxTestFrame
