// The merged cloud of a several-camera scan: a binary PLY of float x, y, z and uchar camera.
#ifndef KXEYE_PLY_H
#define KXEYE_PLY_H

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

struct SKxEyePlyVertex {
    float x, y, z;
    uint8_t nCamera;
};

// Parses the file's text; false when it is anything else.
inline bool KxEyeParseCameraPly(const std::string& s, std::vector<SKxEyePlyVertex>& vec) {
    const size_t nEnd = s.find("end_header\n");
    const size_t nAt = s.find("element vertex ");
    if (nEnd == std::string::npos || nAt == std::string::npos ||
        s.find("property float x\nproperty float y\nproperty float z\nproperty uchar camera\nend_header") ==
            std::string::npos)
        return false;
    const long long n = std::stoll(s.substr(nAt + 15));
    if (n < 0 || s.size() - (nEnd + 11) != static_cast<size_t>(n) * 13) return false;
    vec.resize(static_cast<size_t>(n));
    const char* p = s.data() + nEnd + 11;
    for (SKxEyePlyVertex& v : vec) {
        std::memcpy(&v.x, p, 12);
        v.nCamera = static_cast<uint8_t>(p[12]);
        p += 13;
    }
    return true;
}

#endif
