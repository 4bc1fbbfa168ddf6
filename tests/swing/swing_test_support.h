// Swing motor tests on a GoogleMock camera: a small motor controller behind the mock's custom
// command channel that records every command record, and a fixture that opens a version 8
// device on it so that the motor is created by Open itself.
#pragma once

#include <array>
#include <cmath>
#include <cstring>
#include <map>
#include <vector>

#include "device_test_support.h"
#include "kxeyeswingmotordevice.h"

namespace swingtest {

using Record = std::array<uint16_t, 5>;

inline Record Rec(uint16_t w0, uint16_t w1, uint16_t w2, uint32_t nValue = 0) {
    return Record{w0, w1, w2, static_cast<uint16_t>(nValue & 0xFFFF), static_cast<uint16_t>(nValue >> 16)};
}

// Encoder counts of a position in tenths of a degree (the inverse of the device's formula).
inline uint32_t CountsOfTenths(double dTenths) {
    return static_cast<uint32_t>(std::lround(dTenths * 16384.0 / 7200.0));
}

// Answers the register codes of the motor; moves finish at once.
struct FakeController {
    uint32_t nStatus = 0x8000;  // valid, idle
    uint32_t nMaxTenths = 900;
    uint32_t nVersion = 16;
    uint32_t nPulses = 360;     // 10 pulses per speed unit
    uint32_t nSpeedPulses = 500;
    uint32_t nStartTenths = 100;
    uint32_t nEndTenths = 500;
    uint32_t nLight = 10;
    uint32_t nCounts = 0;
    int nFailNext = 0;
    int nFailCode = c_nOrEyeRetry;
    std::vector<Record> vecRecords;

    int Execute(const unsigned short* pRec, void* pReply) {
        Record r{pRec[0], pRec[1], pRec[2], pRec[3], pRec[4]};
        vecRecords.push_back(r);
        if (nFailNext > 0) {
            --nFailNext;
            return nFailCode;
        }
        const uint32_t nValue = static_cast<uint32_t>(pRec[3]) | (static_cast<uint32_t>(pRec[4]) << 16);
        uint32_t nOut = 0;
        switch (pRec[1]) {
            case 15: nOut = nStatus; break;
            case 27: nOut = nMaxTenths; break;
            case 36: nOut = nVersion; break;
            case 32: nOut = nPulses; break;
            case 31: nOut = nSpeedPulses; break;
            case 28: nOut = nStartTenths; break;
            case 29: nOut = nEndTenths; break;
            case 30: nOut = nLight; break;
            case 18: nOut = nCounts; break;
            case 3: nLight = nValue; break;
            case 8: nSpeedPulses = nValue; break;
            case 21: nStartTenths = nValue; break;
            case 22: nEndTenths = nValue; break;
            case 9: nCounts = CountsOfTenths(nValue); break;
            case 23: nCounts = 0; break;
            default: break;
        }
        if (pReply) std::memcpy(pReply, &nOut, sizeof(nOut));
        return 0;
    }
    size_t CountCode(uint16_t nCode) const {
        size_t n = 0;
        for (const Record& r : vecRecords) n += r[1] == nCode ? 1 : 0;
        return n;
    }
    bool Has(const Record& rec) const {
        for (const Record& r : vecRecords)
            if (r == rec) return true;
        return false;
    }
};

class SwingMockTest : public devtest::MockDeviceTest {
protected:
    void SetUp() override {
        devtest::MockDeviceTest::SetUp();
        using ::testing::_;
        using ::testing::Invoke;
        ON_CALL(*m_pCamera, ExecuteCustomCommand(_, _))
            .WillByDefault(Invoke([this](const unsigned short* p, void* r) { return m_ctl.Execute(p, r); }));
        ON_CALL(*m_pCamera, GetParam(58, _, _)).WillByDefault(Invoke([this](int, void* p, int nLen) {
            if (nLen != 2) return c_nOrEyeBadArgument;
            std::memcpy(p, &m_nSwingWord, 2);
            return m_nSwingReadResult;
        }));
        for (int nId : {56, 57, 58}) {
            ON_CALL(*m_pCamera, SetParam(nId, _, _)).WillByDefault(Invoke([this](int nParam, const void* p, int nLen) {
                const uint8_t* pb = static_cast<const uint8_t*>(p);
                m_mapParams[nParam] = std::vector<uint8_t>(pb, pb + nLen);
                return 0;
            }));
        }
    }

    // Opens a version 8 device; answers its motor (null when Open did not create one).
    CKxEyeSwingMotorDevice* OpenMotor() {
        CreateOpen(8);
        return m_pDevice->m_pSwingDevice;
    }

    uint16_t m_nSwingWord = 0x3;  // motor fitted, swing on, mode 2
    int m_nSwingReadResult = 0;
    FakeController m_ctl;
    std::map<int, std::vector<uint8_t>> m_mapParams;
};

}  // namespace swingtest
