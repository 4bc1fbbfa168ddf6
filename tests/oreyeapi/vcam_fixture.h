// Shared helpers of the camera library tests: a fixture that configures the process's virtual
// cameras and opens a session on camera 0, and a decoder of the raw frame written from the
// frame layout (not from the library's code).
#ifndef VCAM_FIXTURE_H
#define VCAM_FIXTURE_H

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kxlaserinfo.h"
#include "oreyeapi.h"
#include "oreyeapi_testsupport.h"

inline void ConfigureCameras(const std::string& strJson) {
    if (strJson.empty())
        unsetenv("KXEYE_VIRTUAL_CAMERAS");
    else
        setenv("KXEYE_VIRTUAL_CAMERAS", strJson.c_str(), 1);
    ASSERT_GT(OrEyeTest::ReloadVirtualCameras(), 0);
}

class VirtualCameraTest : public ::testing::Test {
protected:
    // JSON of the cameras; empty = the default camera.
    virtual std::string Config() { return std::string(); }
    void SetUp() override {
        ConfigureCameras(Config());
        m_pControl = OrEyeTest::VirtualCamera(0);
        ASSERT_NE(nullptr, m_pControl);
        m_pCam.reset(CreateOrEyeApi(OREYEAPI_TYPE_LOCAL));
        ASSERT_NE(nullptr, m_pCam);
        ASSERT_EQ(c_nOrEyeOK, m_pCam->InitDevice(0, 0, 0, 3, "virtual:0"));
    }
    void TearDown() override {
        m_pCam.reset();
        unsetenv("KXEYE_VIRTUAL_CAMERAS");
    }
    std::vector<uint8_t> Info() {
        std::vector<uint8_t> v(52);
        EXPECT_EQ(c_nOrEyeOK, m_pCam->GetParam(54, v.data(), 52));
        return v;
    }
    uint16_t InfoWord(unsigned int n) { return KxLaserInfo::GetWord(Info().data(), n); }

    std::unique_ptr<IOrEyeCamera> m_pCam;
    OrEyeTest::IVirtualCameraControl* m_pControl = nullptr;
};

inline uint32_t Word(const uint8_t* pLaser, int n) {
    uint32_t v;
    memcpy(&v, pLaser + 32768 + 4 * n, 4);
    return v;
}

struct DecodedTrailer {
    uint32_t nTimestamp, nCounter, nPoints, nLeftEdge, nRightEdge, nEncoderOrAngle;
    bool bTriggerOff, bConsistent;
};

inline DecodedTrailer DecodeTrailer(const uint8_t* p, int nVersion) {
    DecodedTrailer d{};
    const uint32_t t4 = Word(p, 4), t5 = Word(p, 5), t6 = Word(p, 6), t7 = Word(p, 7);
    d.bTriggerOff = (Word(p, 0) >> 31) != 0;
    d.nPoints = nVersion >= 7 ? (Word(p, 3) >> 20) : t4;
    if (nVersion <= 2) {
        d.nTimestamp = t5;
        d.nCounter = 0;
    } else if (nVersion == 3) {
        d.nTimestamp = t5 & 0x7FFFFF;
        d.nCounter = (t5 >> 23) & 0xFF;
    } else if (nVersion <= 6) {
        d.nTimestamp = t5 & 0x7FFFF;
        d.nCounter = (t5 >> 19) & 0xFFF;
    } else {
        d.nTimestamp = (((t4 >> 29) & 3) << 27) | (((t7 >> 24) & 0xFF) << 19) | (t5 & 0x7FFFF);
        d.nCounter = (t5 >> 19) & 0xFFF;
    }
    d.nLeftEdge = t7 & 0xFFF;
    d.nRightEdge = (t7 >> 12) & 0xFFF;
    d.nEncoderOrAngle = t6 & 0x1FFFFFFF;
    d.bConsistent = nVersion >= 7 || ((t5 >> 19) & 0xFFF) == ((t6 >> 19) & 0xFFF);
    return d;
}

struct DecodedPoint {
    double x, y, z;
    int nRow, nLeftCol, nRightCol;
};

inline double SignMag(uint32_t v) { return (v & 0x80000000u) ? -double(v & 0x7FFFFFFF) : double(v); }

// Decoding as the SDK's reader does it (double precision).
inline std::vector<DecodedPoint> DecodePoints(const uint8_t* p, int nVersion, int nRightOffset) {
    std::vector<DecodedPoint> v;
    const uint32_t n = DecodeTrailer(p, nVersion).nPoints;
    const double dCol = Word(p, 0) & 0x3FFFFF, dRow = Word(p, 1) & 0x3FFFFF, dF = Word(p, 2) & 0x1FFFFFF;
    for (uint32_t i = 0; i < n && i < 2048; ++i) {
        int32_t h;
        uint32_t w[3];
        memcpy(&h, p + 16 * i, 4);
        memcpy(w, p + 16 * i + 4, 12);
        auto conv = [&](uint32_t raw) { return nVersion == 0 ? SignMag(raw) / h / -2.0 : SignMag(raw) / 1000.0; };
        DecodedPoint d;
        d.z = conv(w[0]);
        d.y = conv(w[1]);
        d.x = conv(w[2]);
        d.nRow = static_cast<int>(std::trunc((dRow + (d.y / d.z * dF + 512.0)) / 1024.0));
        d.nLeftCol = static_cast<int>(std::trunc((dCol + (d.x / d.z * dF + 512.0)) / 1024.0));
        d.nRightCol = d.nLeftCol - static_cast<int>(std::trunc(h / 256.0)) + nRightOffset;
        v.push_back(d);
    }
    return v;
}

#endif
