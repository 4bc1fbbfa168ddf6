// Shared pieces of the device tests: a GoogleMock camera whose default answers behave like a
// small camera (it keeps a laser-information block that its setters change), records, the
// parameter page builder and a fixture that hands the mock to the device through the factory.
#pragma once

#include <gmock/gmock.h>

#include "support/mock_oreye_camera.h"
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <functional>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kxkernel_testsupport.h"
#include "kxlasereyedevice.h"  // the device class (src/ is searched first)
#include "kxlaserinfo.h"
#include "oreyeapi_testsupport.h"

namespace devtest {

using ::testing::_;
using ::testing::NiceMock;

// 52-byte laser-information block as a camera reports it.
struct LaserBlock {
    std::array<uint8_t, 52> by{};
    void Set(unsigned int nWord, uint16_t nValue) { KxLaserInfo::SetWord(by.data(), nWord, nValue); }
    uint16_t Get(unsigned int nWord) const { return KxLaserInfo::GetWord(by.data(), nWord); }
    void SetRoi(unsigned int nFirstWord, const SKxNLROIRect& r) {
        Set(nFirstWord + 0, static_cast<uint16_t>(r.left));
        Set(nFirstWord + 1, static_cast<uint16_t>(r.right));
        Set(nFirstWord + 2, static_cast<uint16_t>(r.top));
        Set(nFirstWord + 3, static_cast<uint16_t>(r.bottom));
    }
};

inline SKxNLROIRect Roi(int32_t l, int32_t r, int32_t t, int32_t b) {
    SKxNLROIRect roi;
    roi.left = l;
    roi.right = r;
    roi.top = t;
    roi.bottom = b;
    return roi;
}

inline bool SameRoi(const SKxNLROIRect& a, const SKxNLROIRect& b) {
    return a.left == b.left && a.right == b.right && a.top == b.top && a.bottom == b.bottom;
}

// The 4096-byte page at 0x3FF000: parameter block and compensation section.
struct ParamPage {
    std::vector<uint8_t> by = std::vector<uint8_t>(KxParamPage::c_nBytes, 0);

    // Writes a parameter block; answers its length.
    size_t WriteBlock(uint8_t nVersion, int32_t nKind, const double adOffset[3], bool bGoodTag = true) {
        size_t pos = 0;
        auto put = [&](const void* p, size_t n) {
            std::memcpy(by.data() + pos, p, n);
            pos += n;
        };
        char szTag[KxParamPage::c_nTagBytes];
        std::memcpy(szTag, KxParamPage::c_szTag, sizeof(szTag));
        if (!bGoodTag) szTag[5] ^= 0x20;
        put(szTag, sizeof(szTag));
        put(&nVersion, 1);
        put(&nKind, 4);
        if (nKind != -1) {
            uint8_t bySection[96];
            for (int i = 0; i < 96; ++i) bySection[i] = static_cast<uint8_t>(i + 1);
            put(bySection, sizeof(bySection));
        }
        if (nVersion >= 2) put(adOffset, 24);
        if (nVersion == 3) {
            uint8_t bySection[16];
            for (int i = 0; i < 16; ++i) bySection[i] = static_cast<uint8_t>(0xA0 + i);
            put(bySection, sizeof(bySection));
        }
        put(KxParamPage::c_szTag, KxParamPage::c_nTagBytes);
        return pos;
    }

    void WriteCompensation(const std::vector<float>& a, const std::vector<float>& b) {
        uint8_t* p = by.data() + KxParamPage::c_nCompOffset;
        const uint32_t n = static_cast<uint32_t>(a.size());
        std::memcpy(p, &KxParamPage::c_nCompMagic, 4);
        std::memcpy(p + 4, &n, 4);
        std::memcpy(p + 8, a.data(), 4 * n);
        std::memcpy(p + 8 + 4 * n, b.data(), 4 * n);
        uint32_t nSum = 0;
        for (size_t i = 0; i < 8 + 8 * n; ++i) nSum += p[i];
        std::memcpy(p + 8 + 8 * n, &nSum, 4);
    }
};

class MockCamera : public MockOrEyeCamera {
public:
    MOCK_METHOD(void, Destroyed, ());
    ~MockCamera() override { Destroyed(); }

    // State the default answers read and change.
    LaserBlock block;
    ParamPage page;
    uint8_t byDisparity[8] = {0x01, 0x2C, 0, 0, 0, 0, 0, 0};  // 300
    double adQ[16] = {};

    // Default answers: a camera that keeps what it is told in its laser-information block.
    void BehaveLikeCamera() {
        using ::testing::Invoke;
        using ::testing::Return;
        ON_CALL(*this, InitDevice(_, _, _, _, _)).WillByDefault(Return(0));
        ON_CALL(*this, EnableDevice(_)).WillByDefault(Return(0));
        ON_CALL(*this, SetROIMode(_)).WillByDefault(Return(0));
        ON_CALL(*this, SetFrameCallback(_, _, _)).WillByDefault(Return(0));
        ON_CALL(*this, SetOption(_, _)).WillByDefault(Return(0));
        ON_CALL(*this, SetOptionEx(_, _, _)).WillByDefault(Return(0));
        ON_CALL(*this, EnableStream(_)).WillByDefault(Return(0));
        ON_CALL(*this, SetImageTransfer(_, _, _)).WillByDefault(Return(0));
        ON_CALL(*this, SetTriggerN(_, _)).WillByDefault(Return(0));
        ON_CALL(*this, SyncROI(_, _, _, _, _, _)).WillByDefault(Return(0));
        ON_CALL(*this, GetParam(_, _, _)).WillByDefault(Invoke([this](int nId, void* p, int nLen) {
            if (nId == 54 && nLen == 52) {
                std::memcpy(p, block.by.data(), 52);
                return 0;
            }
            if (nId == 50) {
                std::memcpy(p, byDisparity, std::min<size_t>(static_cast<size_t>(nLen), sizeof(byDisparity)));
                return 0;
            }
            return c_nOrEyeBadArgument;
        }));
        ON_CALL(*this, SetParam(_, _, _)).WillByDefault(Invoke([this](int nId, const void* p, int nLen) {
            uint16_t v = 0;
            std::memcpy(&v, p, std::min<size_t>(2, static_cast<size_t>(nLen)));
            if (nId == 48) block.Set(KxLaserInfo::c_nWordThreshold, v);
            if (nId == 51) block.Set(0, static_cast<uint16_t>((block.Get(0) & 0xFF) | (v << 8)));
            return 0;
        }));
        ON_CALL(*this, WriteRegister(_, _, _, _)).WillByDefault(Invoke([this](int nTarget, unsigned int, const void* p, int) {
            const uint16_t* pw = static_cast<const uint16_t*>(p);
            if (nTarget == 1) block.Set(KxLaserInfo::c_nWordExposure, pw[1]);
            if (nTarget == 13) block.Set(0, static_cast<uint16_t>((block.Get(0) & 0xFF00) | (pw[0] & 0xFF)));
            return 0;
        }));
        ON_CALL(*this, SetROI(_, _, _, _, _, _)).WillByDefault(Invoke([this](int lx, int ly, int rx, int ry, int w, int h) {
            block.SetRoi(KxLaserInfo::c_nWordLeftRoi, Roi(lx, lx + w, ly, ly + h));
            block.SetRoi(KxLaserInfo::c_nWordRightRoi, Roi(rx, rx + w, ry, ry + h));
            return 0;
        }));
        ON_CALL(*this, ReadStorage(_, _, _)).WillByDefault(Invoke([this](unsigned int nAddr, void* p, unsigned int nLen) {
            if (nAddr != KxParamPage::c_nAddress || nLen > page.by.size()) return c_nOrEyeOutOfRange;
            std::memcpy(p, page.by.data(), nLen);
            return 0;
        }));
        ON_CALL(*this, GetQMatrix(_)).WillByDefault(Invoke([this](double* p) {
            std::memcpy(p, adQ, sizeof(adQ));
            return 0;
        }));
        ON_CALL(*this, GetVersionText(_, _)).WillByDefault(Invoke([](char* p, int n) {
            std::snprintf(p, static_cast<size_t>(n), "FW-1.2.3");
            return 0;
        }));
        ON_CALL(*this, ReadProduct(_, _, _)).WillByDefault(Invoke([](int, void* p, int n) {
            std::memset(p, 0, static_cast<size_t>(n));
            std::memcpy(p, "ID-0042", 7);
            return 0;
        }));
    }
};

// A version 8 laser eye, 1536 x 2048, with valid ROIs.
inline LaserBlock DefaultBlock(uint16_t nVersion = 8) {
    LaserBlock b;
    b.Set(KxLaserInfo::c_nWordDeviceType, 2);
    b.Set(KxLaserInfo::c_nWordVersion, nVersion);
    b.Set(KxLaserInfo::c_nWordWidth, 1536);
    b.Set(KxLaserInfo::c_nWordHeight, 2048);
    b.Set(KxLaserInfo::c_nWordRevision, 0x0102);
    b.Set(0, 0x0201);  // trigger mode 1, dynamic ROI 2
    b.Set(KxLaserInfo::c_nWordExposure, 500);
    b.SetRoi(KxLaserInfo::c_nWordLeftRoi, Roi(0, 1024, 100, 1100));
    b.SetRoi(KxLaserInfo::c_nWordRightRoi, Roi(64, 1088, 100, 1100));
    b.Set(KxLaserInfo::c_nWordThreshold, 30);
    b.Set(KxLaserInfo::c_nWordImageMode, 0);
    return b;
}

inline SKxNLEyeDeviceInfoEx MakeInfo(uint32_t nVersion = 8, uint32_t nFlags = c_nKxFlagLocal) {
    SKxNLEyeDeviceInfoEx info;
    std::memset(&info, 0, sizeof(info));
    info.eDeviceType = KX_DEVICE_TYPE_LASER_EYE;
    info.nDeviceFlags = nFlags;
    info.sVideoRes.nFrameWidth = 1536;
    info.sVideoRes.nFrameHeight = 2048;
    info.sVideoRes.nVersion = nVersion;
    std::memset(info.byDeviceID, 0xFF, sizeof(info.byDeviceID));
    std::snprintf(info.szConnectText, sizeof(info.szConnectText), "mock:0");
    return info;
}

// Hands one mock camera to the next CreateOrEyeApi and remembers the type asked for.
class MockDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_pCamera = new NiceMock<MockCamera>();
        m_pCamera->block = DefaultBlock();
        m_pCamera->BehaveLikeCamera();
        m_pPending = m_pCamera;
        OrEyeTest::SetFactory([this](OREYEAPI_TYPE eType) -> IOrEyeCamera* {
            m_nCreated++;
            m_eType = eType;
            IOrEyeCamera* p = m_pPending;
            m_pPending = nullptr;
            return p;
        });
    }
    void TearDown() override {
        if (m_pDevice) m_pDevice->Release();
        m_pDevice = nullptr;
        delete m_pPending;  // a camera the device never took
        OrEyeTest::SetFactory(OrEyeTest::Factory());
    }
    CKxLaserEyeDevice* Create(const SKxNLEyeDeviceInfoEx& info) {
        m_pDevice = new CKxLaserEyeDevice(info, nullptr, nullptr);
        return m_pDevice;
    }
    // Creates a version nVersion device on the mock and opens it.
    CKxLaserEyeDevice* CreateOpen(uint32_t nVersion = 8, uint32_t nFlags = c_nKxFlagLocal) {
        m_pCamera->block.Set(KxLaserInfo::c_nWordVersion, static_cast<uint16_t>(nVersion));
        Create(MakeInfo(nVersion, nFlags));
        EXPECT_EQ(0, m_pDevice->Open(0));
        return m_pDevice;
    }
    std::string DeviceLine(const char* pszFormat, int nValue) const {
        char sz[128];
        std::snprintf(sz, sizeof(sz), pszFormat, static_cast<void*>(m_pDevice), nValue);
        return sz;
    }

    NiceMock<MockCamera>* m_pCamera = nullptr;  // owned by the device once opened
    IOrEyeCamera* m_pPending = nullptr;
    CKxLaserEyeDevice* m_pDevice = nullptr;
    int m_nCreated = 0;
    OREYEAPI_TYPE m_eType = OREYEAPI_TYPE_SMALL_SMART_EYE;
};

}  // namespace devtest
