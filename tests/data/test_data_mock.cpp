// Device data and identity against a GoogleMock camera: exact calls, pages, records, codes and
// log lines.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "kxkernel_testsupport.h"
#include "kxlaserinfo.h"
#include "../../device/kxlasereyedevice/src/kxlasereyedevice.h"  // the device class (same name as the public header)
#include "kxmockcamera.h"
#include "oreyeapi_testsupport.h"

using ::testing::_;
using ::testing::AnyNumber;
using ::testing::ElementsAreArray;
using ::testing::InSequence;
using ::testing::NiceMock;
using ::testing::Return;

namespace {

const unsigned int c_nKernelAddress = 0x1000;
const unsigned int c_nKernelBytes = 262144;

SKxNLEyeDeviceInfoEx MakeInfo(uint32_t nVersion, uint32_t nFlags) {
    SKxNLEyeDeviceInfoEx info;
    std::memset(&info, 0, sizeof(info));
    std::memset(info.byDeviceID, 0xFF, sizeof(info.byDeviceID));
    info.nDeviceFlags = nFlags;
    info.eDeviceType = KX_DEVICE_TYPE_LASER_EYE;
    info.sVideoRes.nFrameWidth = 1536;
    info.sVideoRes.nFrameHeight = 2048;
    info.sVideoRes.nVersion = nVersion;
    return info;
}

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 12));
    return v;
}

// A device opened on a mock camera handed out by the factory hook. The camera's answers during
// Open do not matter here: every failure after the camera was created keeps the device open.
class MockDevice {
public:
    explicit MockDevice(uint32_t nVersion = 7, uint32_t nFlags = 0x2121) {
        m_pCamera = new NiceMock<KxMockCamera>();
        KxMockCamera* pCamera = m_pCamera;
        // Laser information with ROIs that fit the sensor, so that Open runs through quietly.
        ON_CALL(*m_pCamera, GetParam(54, _, 52)).WillByDefault([](int, void* p, int) {
            uint8_t* by = static_cast<uint8_t*>(p);
            std::memset(by, 0, 52);
            const uint16_t roi[8] = {0, 1536, 0, 1920, 0, 1536, 0, 1920};
            for (int i = 0; i < 8; ++i) KxLaserInfo::SetWord(by, 10 + i, roi[i]);
            return 0;
        });
        OrEyeTest::SetFactory([pCamera](OREYEAPI_TYPE) -> IOrEyeCamera* { return pCamera; });
        m_pDevice = new CKxLaserEyeDevice(MakeInfo(nVersion, nFlags), nullptr, nullptr);
        m_pDevice->Open(0);
        OrEyeTest::SetFactory(OrEyeTest::Factory());
        EXPECT_TRUE(m_pDevice->IsOpen());
    }
    ~MockDevice() { m_pDevice->Release(); }
    CKxLaserEyeDevice* operator->() { return m_pDevice; }
    CKxLaserEyeDevice* get() { return m_pDevice; }
    KxMockCamera& cam() { return *m_pCamera; }

private:
    NiceMock<KxMockCamera>* m_pCamera;
    CKxLaserEyeDevice* m_pDevice;
};

// No camera data call at all.
void ExpectNoDataCalls(KxMockCamera& cam) {
    EXPECT_CALL(cam, GetParam(_, _, _)).Times(0);
    EXPECT_CALL(cam, SetParam(_, _, _)).Times(0);
    EXPECT_CALL(cam, ReadStorage(_, _, _)).Times(0);
    EXPECT_CALL(cam, WriteStorage(_, _, _)).Times(0);
}

}  // namespace

// ---- required lengths and refused arguments ----

struct RequiredCase {
    uint32_t nType;
    uint32_t nVersion;
    int32_t nCode;
    uint32_t nRequired;  // 0xDEAD: untouched
};

class RequiredLength : public ::testing::TestWithParam<RequiredCase> {};

TEST_P(RequiredLength, AnswersWithoutCameraCall) {
    const RequiredCase& c = GetParam();
    MockDevice dev(c.nVersion);
    ExpectNoDataCalls(dev.cam());
    uint32_t nRequired = 0xDEAD;
    EXPECT_EQ(c.nCode, dev->ReadData(c.nType, nullptr, 0, &nRequired));
    EXPECT_EQ(c.nRequired, nRequired);
    // A buffer with length 0 asks the same question.
    uint8_t by[4];
    nRequired = 0xDEAD;
    EXPECT_EQ(c.nCode, dev->ReadData(c.nType, by, 0, &nRequired));
    EXPECT_EQ(c.nRequired, nRequired);
    // A null answer pointer is allowed.
    EXPECT_EQ(c.nCode, dev->ReadData(c.nType, nullptr, 0, nullptr));
}

INSTANTIATE_TEST_SUITE_P(Types, RequiredLength,
                         ::testing::Values(RequiredCase{1, 7, 0, 108}, RequiredCase{2, 7, 0, 262144},
                                           RequiredCase{3, 6, 0, 262144}, RequiredCase{3, 5, -80000, 0xDEAD},
                                           RequiredCase{4, 7, -80000, 0xDEAD}, RequiredCase{0, 7, -80000, 0xDEAD},
                                           RequiredCase{5, 7, -80000, 0xDEAD},
                                           RequiredCase{0xFFFFFFFFu, 7, -80000, 0xDEAD}));

struct RefusedCase {
    const char* pszName;
    bool bWrite;
    uint32_t nType;
    bool bNullData;
    uint32_t nLength;
    int32_t nCode;
};

class RefusedTransfer : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedTransfer, BeforeAnyCameraCall) {
    const RefusedCase& c = GetParam();
    MockDevice dev(7);
    ExpectNoDataCalls(dev.cam());
    std::vector<uint8_t> buffer(c_nKernelBytes + 8, 0x5A);
    void* p = c.bNullData ? nullptr : buffer.data();
    uint32_t nRequired = 0xDEAD;
    const int32_t nCode = c.bWrite ? dev->WriteData(c.nType, p, c.nLength) : dev->ReadData(c.nType, p, c.nLength, &nRequired);
    EXPECT_EQ(c.nCode, nCode);
    EXPECT_EQ(0xDEADu, nRequired);
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, RefusedTransfer,
    ::testing::Values(RefusedCase{"ReadLine107", false, 1, false, 107, -79993},
                      RefusedCase{"ReadBlockShort", false, 2, false, 262143, -79993},
                      RefusedCase{"ReadKernelShort", false, 3, false, 262143, -79993},
                      RefusedCase{"WriteLine107", true, 1, false, 107, -79993},
                      RefusedCase{"WriteLine109", true, 1, false, 109, -79993},
                      RefusedCase{"WriteLineNull", true, 1, true, 108, -79993},
                      RefusedCase{"WriteBlockEmpty", true, 2, false, 0, -79993},
                      RefusedCase{"WriteBlockNull", true, 2, true, 4096, -79993},
                      RefusedCase{"WriteBlockTooLong", true, 2, false, 262145, -79993},
                      RefusedCase{"WriteKernelNull", true, 3, true, 100, -79993},
                      RefusedCase{"WriteKernelEmpty", true, 3, false, 0, -79993},
                      RefusedCase{"WriteKernelTooLong", true, 3, false, 262145, -79993},
                      RefusedCase{"WriteType4", true, 4, false, 108, -80000},
                      RefusedCase{"WriteType0", true, 0, false, 108, -80000},
                      RefusedCase{"WriteType9", true, 9, false, 108, -80000},
                      RefusedCase{"ReadType9", false, 9, false, 108, -80000}),
    [](const ::testing::TestParamInfo<RefusedCase>& info) { return std::string(info.param.pszName); });

TEST(DataVersion, StorageNeedsVersionSix) {
    MockDevice dev(5);
    ExpectNoDataCalls(dev.cam());
    std::vector<uint8_t> buffer(c_nKernelBytes);
    uint32_t nRequired = 0;
    EXPECT_EQ(-80000, dev->ReadData(3, buffer.data(), c_nKernelBytes, &nRequired));
    EXPECT_EQ(-80000, dev->WriteData(3, buffer.data(), 8192));
    EXPECT_EQ(-80000, dev->ReadCustomData(0x41000, buffer.data(), 4096));
    EXPECT_EQ(-80000, dev->WriteCustomData(0x41000, buffer.data(), 4096));
}

// ---- typed items through parameters ----

TEST(DataItems, ReferenceLineAndBlockUseTheirParameters) {
    MockDevice dev(7);
    std::vector<uint8_t> line = Pattern(108, 3);
    std::vector<uint8_t> block = Pattern(c_nKernelBytes, 9);
    {
        InSequence seq;
        EXPECT_CALL(dev.cam(), SetParam(53, _, 108)).WillOnce([&](int, const void* p, int n) {
            EXPECT_EQ(0, std::memcmp(p, line.data(), static_cast<size_t>(n)));
            return 0;
        });
        // A longer buffer still reads exactly the item.
        EXPECT_CALL(dev.cam(), GetParam(53, _, 108)).WillOnce([&](int, void* p, int n) {
            std::memcpy(p, line.data(), static_cast<size_t>(n));
            return 0;
        });
        EXPECT_CALL(dev.cam(), SetParam(46, _, 5000)).WillOnce(Return(0));
        EXPECT_CALL(dev.cam(), GetParam(46, _, 262144)).WillOnce([&](int, void* p, int n) {
            std::memcpy(p, block.data(), static_cast<size_t>(n));
            return 0;
        });
    }
    EXPECT_EQ(0, dev->WriteData(1, line.data(), 108));
    std::vector<uint8_t> back(200, 0xEE);
    uint32_t nRequired = 0xDEAD;
    EXPECT_EQ(0, dev->ReadData(1, back.data(), 200, &nRequired));
    EXPECT_EQ(0, std::memcmp(back.data(), line.data(), 108));
    EXPECT_EQ(0xEE, back[108]);
    EXPECT_EQ(0xDEADu, nRequired);  // not written on this road

    EXPECT_EQ(0, dev->WriteData(2, block.data(), 5000));
    std::vector<uint8_t> blockBack(c_nKernelBytes);
    EXPECT_EQ(0, dev->ReadData(2, blockBack.data(), c_nKernelBytes, nullptr));
    EXPECT_EQ(block, blockBack);
}

// ---- kernel data area ----

TEST(KernelData, WholePagesWriteExactlyThosePages) {
    MockDevice dev(6);
    std::vector<uint8_t> data = Pattern(8192, 1);
    KxLogCapture log;
    {
        InSequence seq;
        EXPECT_CALL(dev.cam(), WriteStorage(0x1000, _, 4096));
        EXPECT_CALL(dev.cam(), WriteStorage(0x2000, _, 4096));
    }
    EXPECT_CALL(dev.cam(), ReadStorage(_, _, _)).Times(0);
    EXPECT_EQ(0, dev->WriteData(3, data.data(), 8192));
    EXPECT_EQ(0, std::memcmp(&dev.cam().m_vecStorage[0x1000], data.data(), 8192));
    EXPECT_EQ((std::vector<std::string>{"Write eType: 3", "Write Times 0/2", "Write Times 1/2"}), log.Lines(c_nKxLogState));
}

TEST(KernelData, PartialWriteKeepsTheRestOfTheArea) {
    MockDevice dev(6);
    std::vector<uint8_t> before = Pattern(c_nKernelBytes, 77);
    std::memcpy(&dev.cam().m_vecStorage[c_nKernelAddress], before.data(), c_nKernelBytes);
    const uint8_t byOutside = dev.cam().m_vecStorage[c_nKernelAddress + c_nKernelBytes];
    std::vector<uint8_t> data = Pattern(100, 200);
    KxLogCapture log;
    EXPECT_CALL(dev.cam(), ReadStorage(0x1000, _, c_nKernelBytes));
    EXPECT_CALL(dev.cam(), WriteStorage(_, _, 4096)).Times(64);
    EXPECT_EQ(0, dev->WriteData(3, data.data(), 100));

    std::vector<uint8_t> expected = before;
    std::memcpy(expected.data(), data.data(), 100);
    std::vector<uint8_t> after(dev.cam().m_vecStorage.begin() + c_nKernelAddress,
                               dev.cam().m_vecStorage.begin() + c_nKernelAddress + c_nKernelBytes);
    EXPECT_EQ(expected, after);
    EXPECT_EQ(byOutside, dev.cam().m_vecStorage[c_nKernelAddress + c_nKernelBytes]);
    EXPECT_TRUE(log.HasLine(c_nKxLogState, "Alloc Write Times 0/64"));
    EXPECT_TRUE(log.HasLine(c_nKxLogState, "Alloc Write Times 63/64"));
    EXPECT_EQ(65u, log.Lines(c_nKxLogState).size());  // "Write eType: 3" and 64 pages
}

TEST(KernelData, PartialWriteWritesNothingWhenTheAreaCannotBeRead) {
    MockDevice dev(6);
    std::vector<uint8_t> data = Pattern(100, 5);
    EXPECT_CALL(dev.cam(), ReadStorage(0x1000, _, c_nKernelBytes)).WillOnce(Return(-10007));
    EXPECT_CALL(dev.cam(), WriteStorage(_, _, _)).Times(0);
    EXPECT_EQ(-10007, dev->WriteData(3, data.data(), 100));
}

TEST(KernelData, FailingPageEndsTheWriteWithEarlierPagesWritten) {
    MockDevice dev(6);
    std::vector<uint8_t> data = Pattern(4 * 4096, 11);
    KxLogCapture log;
    {
        InSequence seq;
        EXPECT_CALL(dev.cam(), WriteStorage(0x1000, _, 4096));
        // The second page stays refused through all three attempts.
        EXPECT_CALL(dev.cam(), WriteStorage(0x2000, _, 4096)).Times(3).WillRepeatedly(Return(-10014));
    }
    EXPECT_EQ(-10014, dev->WriteData(3, data.data(), 4 * 4096));
    EXPECT_EQ(0, std::memcmp(&dev.cam().m_vecStorage[0x1000], data.data(), 4096));
    EXPECT_EQ(0, dev.cam().m_vecStorage[0x2000]);
    EXPECT_EQ(0, dev.cam().m_vecStorage[0x3000]);
    char szLine[64];
    std::snprintf(szLine, sizeof(szLine), "Device %p: Execute Failed: %d", static_cast<void*>(dev.get()), -10014);
    EXPECT_TRUE(log.HasLine(c_nKxLogError, szLine));
}

TEST(KernelData, ReadsTheWholeAreaAndTellsItsLength) {
    MockDevice dev(6);
    std::vector<uint8_t> stored = Pattern(c_nKernelBytes, 42);
    std::memcpy(&dev.cam().m_vecStorage[c_nKernelAddress], stored.data(), c_nKernelBytes);
    EXPECT_CALL(dev.cam(), ReadStorage(0x1000, _, c_nKernelBytes));
    std::vector<uint8_t> back(c_nKernelBytes + 16, 0);
    uint32_t nRequired = 0;
    EXPECT_EQ(0, dev->ReadData(3, back.data(), static_cast<uint32_t>(back.size()), &nRequired));
    EXPECT_EQ(c_nKernelBytes, nRequired);
    EXPECT_EQ(0, std::memcmp(back.data(), stored.data(), c_nKernelBytes));
}

// ---- custom data area ----

TEST(CustomData, ReadsWholePagesOnly) {
    MockDevice dev(6);
    std::vector<uint8_t> buffer(3 * 4096, 0);
    EXPECT_CALL(dev.cam(), ReadStorage(_, _, _)).Times(0);
    EXPECT_EQ(0, dev->ReadCustomData(0x41000, buffer.data(), 4095));
    ::testing::Mock::VerifyAndClearExpectations(&dev.cam());

    // 3 pages and a remainder: three page reads, a failing middle page does not stop the loop,
    // and the last page's code is the answer.
    {
        InSequence seq;
        EXPECT_CALL(dev.cam(), ReadStorage(0x41000, buffer.data(), 4096)).WillOnce(Return(0));
        EXPECT_CALL(dev.cam(), ReadStorage(0x42000, buffer.data() + 4096, 4096)).WillOnce(Return(-10007));
        EXPECT_CALL(dev.cam(), ReadStorage(0x43000, buffer.data() + 8192, 4096)).WillOnce(Return(0));
    }
    EXPECT_EQ(0, dev->ReadCustomData(0x41000, buffer.data(), 3 * 4096 + 100));
    ::testing::Mock::VerifyAndClearExpectations(&dev.cam());

    EXPECT_CALL(dev.cam(), ReadStorage(_, _, 4096)).WillOnce(Return(0)).WillOnce(Return(-10007));
    EXPECT_EQ(-10007, dev->ReadCustomData(0x41000, buffer.data(), 2 * 4096));
}

TEST(CustomData, WriteThenReadBack) {
    MockDevice dev(6);
    std::vector<uint8_t> data = Pattern(2 * 4096, 99);
    EXPECT_CALL(dev.cam(), WriteStorage(0x50000, _, 2 * 4096));
    EXPECT_EQ(0, dev->WriteCustomData(0x50000, data.data(), 2 * 4096));
    std::vector<uint8_t> back(2 * 4096, 0);
    EXPECT_EQ(0, dev->ReadCustomData(0x50000, back.data(), 2 * 4096));
    EXPECT_EQ(data, back);
}

TEST(CustomData, RefusesRangesOutsideStorageAndNullBuffers) {
    MockDevice dev(6);
    ExpectNoDataCalls(dev.cam());
    std::vector<uint8_t> buffer(8192);
    EXPECT_EQ(-79993, dev->ReadCustomData(0x41000, nullptr, 4096));
    EXPECT_EQ(-79993, dev->WriteCustomData(0x41000, nullptr, 16));
    EXPECT_EQ(-79993, dev->ReadCustomData(0x3FF000, buffer.data(), 8192));  // past the end
    EXPECT_EQ(-79993, dev->WriteCustomData(0xFFFFF000u, buffer.data(), 8192));  // wraps around
}

// ---- custom commands ----

struct CommandCase {
    bool bRead;
    int32_t nA, nB, nValue;
    std::array<unsigned short, 5> words;
};

class CustomCommand : public ::testing::TestWithParam<CommandCase> {};

TEST_P(CustomCommand, SendsTheRecord) {
    const CommandCase& c = GetParam();
    MockDevice dev(7);
    uint32_t nReply = 0;
    std::array<unsigned short, 5> sent{};
    void* pReplySeen = nullptr;
    EXPECT_CALL(dev.cam(), ExecuteCustomCommand(_, _)).WillOnce([&](const unsigned short* p, void* pReply) {
        std::copy(p, p + 5, sent.begin());
        pReplySeen = pReply;
        *static_cast<uint32_t*>(pReply) = 0xCAFE;
        return 0;
    });
    if (c.bRead) {
        EXPECT_EQ(0, dev->ReadCustomCommand(c.nA, c.nB, &nReply));
        EXPECT_EQ(&nReply, pReplySeen);
        EXPECT_EQ(0xCAFEu, nReply);
    } else {
        EXPECT_EQ(0, dev->SetCustomCommand(c.nA, c.nB, c.nValue));
        EXPECT_NE(nullptr, pReplySeen);
    }
    EXPECT_EQ(c.words, sent);
}

INSTANTIATE_TEST_SUITE_P(
    Records, CustomCommand,
    ::testing::Values(CommandCase{false, 0x11, 0x22, -1, {0, 0x22, 0x11, 0, 0}},
                      CommandCase{false, 0x11, 0x22, 0x12345678, {1, 0x22, 0x11, 0x5678, 0x1234}},
                      CommandCase{false, 0x10011, 0x30022, -2, {1, 0x22, 0x11, 0xFFFE, 0xFFFF}},
                      CommandCase{false, 7, 8, 0, {1, 8, 7, 0, 0}},
                      CommandCase{true, 0x11, 0x22, 0, {0, 0x22, 0x11, 0, 0}}));

// ---- identity ----

TEST(Identity, SerialNumberNeedsVersionEightAndEthernet) {
    {
        MockDevice dev(7, 0x1122);
        KxLogCapture log;
        EXPECT_CALL(dev.cam(), WriteProduct(_, _, _)).Times(0);
        EXPECT_EQ(-80000, dev->WriteSerialNum("SN123456"));
        EXPECT_EQ(std::vector<std::string>{"Hardware Version Not Enough "}, log.Lines(c_nKxLogError));
    }
    {
        MockDevice dev(7, 0x2121);
        dev->m_sDevInfo.sVideoRes.nVersion = 8;
        KxLogCapture log;
        EXPECT_CALL(dev.cam(), WriteProduct(_, _, _)).Times(0);
        EXPECT_EQ(-80000, dev->WriteSerialNum("SN123456"));
        EXPECT_EQ(std::vector<std::string>{"No Ethernet Eye"}, log.Lines(c_nKxLogError));
    }
    {
        MockDevice dev(7, 0x1122);
        dev->m_sDevInfo.sVideoRes.nVersion = 8;
        std::string sent;
        EXPECT_CALL(dev.cam(), WriteProduct(4, _, 8)).WillOnce([&](int, const void* p, int n) {
            sent.assign(static_cast<const char*>(p), static_cast<size_t>(n));
            return 0;
        });
        EXPECT_EQ(0, dev->WriteSerialNum("SN123456789"));
        EXPECT_EQ(std::string("SN123456"), sent);
        // A short text is padded with zeros, never read past its end.
        EXPECT_CALL(dev.cam(), WriteProduct(4, _, 8)).WillOnce([&](int, const void* p, int n) {
            sent.assign(static_cast<const char*>(p), static_cast<size_t>(n));
            return 0;
        });
        EXPECT_EQ(0, dev->WriteSerialNum("AB"));
        EXPECT_EQ(std::string("AB\0\0\0\0\0\0", 8), sent);
    }
}

TEST(Identity, DeviceIdAndMacLeaveTheRecordAlone) {
    MockDevice dev(7);
    const SKxNLEyeDeviceInfoEx before = *dev->GetDeviceInfo();
    const uint8_t byMAC[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
    std::string sentID;
    EXPECT_CALL(dev.cam(), WriteProduct(2, _, 16)).WillOnce([&](int, const void* p, int n) {
        sentID.assign(static_cast<const char*>(p), static_cast<size_t>(n));
        return 0;
    });
    EXPECT_CALL(dev.cam(), SetParam(3, _, _)).Times(0);  // the destination MAC
    EXPECT_CALL(dev.cam(), SetParam(2, _, 6)).WillOnce([&](int, const void* p, int) {
        EXPECT_EQ(0, std::memcmp(p, byMAC, 6));
        return -10030;
    });
    EXPECT_EQ(0, dev->WriteDeviceID("0123456789ABCDEF-too-long"));
    EXPECT_EQ(std::string("0123456789ABCDEF"), sentID);
    EXPECT_EQ(-10030, dev->WriteMACAddress(byMAC));
    EXPECT_EQ(0, std::memcmp(&before, dev->GetDeviceInfo(), sizeof(before)));
}

TEST(Identity, UpdateIPAddressRewritesBothTexts) {
    MockDevice dev(7);
    const uint8_t byIP[4] = {192, 168, 200, 255};
    dev->UpdateIPAddress(byIP);
    EXPECT_STREQ("192.168.200.255", dev->GetDeviceInfo()->szIPAddress);
    EXPECT_STREQ("192.168.200.255", dev->GetDeviceInfo()->szEyeIP);
    int32_t a = 0, b = 0;
    EXPECT_EQ(0, dev->GetDataRange(&a, &b));
    EXPECT_EQ(65, a);
    EXPECT_EQ(1024, b);
}

// ---- guarded rule: closed, busy, pass-through ----

TEST(DataRule, ClosedDeviceAnswersNotOpen) {
    CKxLaserEyeDevice* pDevice = new CKxLaserEyeDevice(MakeInfo(8, 0x1122), nullptr, nullptr);
    uint8_t by[4096] = {};
    uint32_t n = 0;
    EXPECT_EQ(-79988, pDevice->ReadData(1, nullptr, 0, &n));
    EXPECT_EQ(-79988, pDevice->WriteData(3, by, 4096));
    EXPECT_EQ(-79988, pDevice->ReadCustomData(0x41000, by, 4096));
    EXPECT_EQ(-79988, pDevice->WriteCustomData(0x41000, by, 4096));
    EXPECT_EQ(-79988, pDevice->WriteSerialNum("12345678"));
    EXPECT_EQ(-79988, pDevice->WriteDeviceID("x"));
    EXPECT_EQ(-79988, pDevice->WriteMACAddress(by));
    EXPECT_EQ(-79988, pDevice->SetCustomCommand(1, 2, 3));
    EXPECT_EQ(-79988, pDevice->ReadCustomCommand(1, 2, by));
    EXPECT_EQ(-79988, pDevice->ConfigCameraOption(true, true, 1, 2));
    EXPECT_EQ(-79988, pDevice->CameraOp45(true, 1));
    EXPECT_EQ(-79988, pDevice->WriteParam60(by, 4));
    EXPECT_EQ(-79988, pDevice->CameraOp43(1, by, 2, by, 3));
    EXPECT_EQ(0, n);
    pDevice->Release();
}

TEST(DataRule, RefusedWhileCapturingWithTheOperationName) {
    MockDevice dev(8 - 1, 0x1122);
    dev->m_sDevInfo.sVideoRes.nVersion = 8;
    ExpectNoDataCalls(dev.cam());
    EXPECT_CALL(dev.cam(), ExecuteCustomCommand(_, _)).Times(0);
    EXPECT_CALL(dev.cam(), WriteProduct(_, _, _)).Times(0);
    dev->m_bCapturing = true;
    std::vector<uint8_t> by(c_nKernelBytes);
    uint32_t nReply = 0;
    KxLogCapture log;
    EXPECT_EQ(-79971, dev->ReadData(1, by.data(), 108, nullptr));
    EXPECT_EQ(-79971, dev->ReadData(3, by.data(), c_nKernelBytes, nullptr));
    EXPECT_EQ(-79971, dev->WriteData(2, by.data(), 100));
    EXPECT_EQ(-79971, dev->WriteData(3, by.data(), 4096));
    EXPECT_EQ(-79971, dev->ReadCustomData(0x41000, by.data(), 4096));
    EXPECT_EQ(-79971, dev->WriteCustomData(0x41000, by.data(), 4096));
    EXPECT_EQ(-79971, dev->SetCustomCommand(1, 2, 3));
    EXPECT_EQ(-79971, dev->ReadCustomCommand(1, 2, &nReply));
    EXPECT_EQ(-79971, dev->WriteSerialNum("12345678"));
    EXPECT_EQ(-79971, dev->WriteDeviceID("id"));
    EXPECT_EQ(-79971, dev->WriteMACAddress(by.data()));
    const std::vector<std::string> expected = {
        "CKxLaserEyeDevice::ReadData Capturing",         "CKxLaserEyeDevice::_GetKernelData Capturing",
        "CKxLaserEyeDevice::WriteData Capturing",        "CKxLaserEyeDevice::_SetKernelData Capturing",
        "CKxLaserEyeDevice::ReadCustomData Capturing",   "CKxLaserEyeDevice::WriteCustomData Capturing",
        "CKxLaserEyeDevice::SetCustomCommand Capturing", "CKxLaserEyeDevice::ReadCustomCommand Capturing",
        "CKxLaserEyeDevice::WriteSerialNum Capturing",   "CKxLaserEyeDevice::WriteDeviceID Capturing",
        "CKxLaserEyeDevice::WriteMACAddress Capturing"};
    EXPECT_EQ(expected, log.Lines(c_nKxLogError));
    dev->m_bCapturing = false;
}

TEST(DataRule, PassThroughOperations) {
    MockDevice dev(7);
    dev->m_bCapturing = true;  // pass-through operations have no busy test
    uint8_t byParam[12] = {1, 2, 3};
    int nB = 0, nD = 0;
    {
        InSequence seq;
        EXPECT_CALL(dev.cam(), SetOption(1, 5)).WillOnce(Return(-10014));  // one attempt only
        EXPECT_CALL(dev.cam(), SetOptionEx(0, 5000, 2)).WillOnce(Return(0));
        EXPECT_CALL(dev.cam(), SetFeature(1, 77, _)).WillOnce(Return(-10014));
        EXPECT_CALL(dev.cam(), SetParam(60, byParam, 12)).WillOnce(Return(-10014)).WillOnce(Return(0));
        EXPECT_CALL(dev.cam(), ExtendedCommand(4, &nB, 5, &nD, 6)).Times(3).WillRepeatedly(Return(-10014));
    }
    KxLogCapture log;
    EXPECT_EQ(-10014, dev->ConfigCameraOption(true, true, 5, 6));
    EXPECT_EQ(0, dev->ConfigCameraOption(false, false, 5000, 2));
    EXPECT_EQ(-10014, dev->CameraOp45(true, 77));
    EXPECT_EQ(0, dev->WriteParam60(byParam, 12));
    EXPECT_EQ(-10014, dev->CameraOp43(4, &nB, 5, &nD, 6));
    char szLine[64];
    std::snprintf(szLine, sizeof(szLine), "Device %p: Failed Times %d", static_cast<void*>(dev.get()), 1);
    EXPECT_TRUE(log.HasLine(c_nKxLogWarning, szLine));
    dev->m_bCapturing = false;
}

// ---- lock order ----

// Data transfers of two devices and parameter calls run at once: no deadlock, and the
// process-wide data lock lets only one storage transfer run at a time across both devices.
TEST(DataLock, TransfersOfTwoDevicesAndParameterCallsTogether) {
    MockDevice devA(6), devB(6);
    std::atomic<int> nInFlight{0}, nMaxInFlight{0};
    auto track = [&](KxMockCamera& cam) {
        KxMockCamera* pCam = &cam;
        auto enter = [&]() {
            const int n = ++nInFlight;
            int m = nMaxInFlight.load();
            while (n > m && !nMaxInFlight.compare_exchange_weak(m, n)) {
            }
            std::this_thread::yield();
        };
        ON_CALL(cam, WriteStorage(_, _, _)).WillByDefault([=, &nInFlight](unsigned int a, const void* p, unsigned int n) {
            enter();
            const int r = pCam->StoreWrite(a, p, n);
            --nInFlight;
            return r;
        });
        ON_CALL(cam, ReadStorage(_, _, _)).WillByDefault([=, &nInFlight](unsigned int a, void* p, unsigned int n) {
            enter();
            const int r = pCam->StoreRead(a, p, n);
            --nInFlight;
            return r;
        });
    };
    track(devA.cam());
    track(devB.cam());

    auto transfers = [](CKxLaserEyeDevice* pDevice, uint8_t seed) {
        std::vector<uint8_t> data = Pattern(c_nKernelBytes, seed), back(c_nKernelBytes);
        for (int i = 0; i < 6; ++i) {
            if (pDevice->WriteData(3, data.data(), (i % 2) ? 100 : 8192) != 0) return false;
            if (pDevice->ReadData(3, back.data(), c_nKernelBytes, nullptr) != 0) return false;
            if (pDevice->WriteCustomData(0x41000, data.data(), 4096) != 0) return false;
            if (pDevice->ReadCustomData(0x41000, back.data(), 8192) != 0) return false;
        }
        return true;
    };
    auto parameters = [](CKxLaserEyeDevice* pDevice) {
        uint32_t nReply = 0;
        for (int i = 0; i < 200; ++i) {
            pDevice->Lock();
            const int32_t r = pDevice->SetCustomCommand(1, 2, i) | pDevice->ReadCustomCommand(1, 2, &nReply);
            pDevice->Unlock();
            if (r != 0) return false;
        }
        return true;
    };
    std::vector<std::future<bool>> jobs;
    jobs.push_back(std::async(std::launch::async, transfers, devA.get(), 1));
    jobs.push_back(std::async(std::launch::async, transfers, devB.get(), 2));
    jobs.push_back(std::async(std::launch::async, parameters, devA.get()));
    jobs.push_back(std::async(std::launch::async, parameters, devB.get()));
    for (auto& job : jobs) {
        // A deadlock shows as a job that never ends; the bound is far above any normal run.
        ASSERT_EQ(std::future_status::ready, job.wait_for(std::chrono::seconds(60))) << "deadlock";
        EXPECT_TRUE(job.get());
    }
    EXPECT_EQ(1, nMaxInFlight.load());
}
