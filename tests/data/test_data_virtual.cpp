// Device data and identity against the virtual camera: what is written is really stored, and
// reading it back returns the same bytes.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <string>
#include <vector>

#include "../../device/kxlasereyedevice/src/kxlasereyedevice.h"  // the device class (same name as the public header)
#include "kxkernel_testsupport.h"
#include "kxspycamera.h"
#include "oreyeapi_testsupport.h"

namespace {

const unsigned int c_nKernelBytes = 262144;
const unsigned int c_nPage = 4096;

// Camera 0 and 1: version 8 (0 with swing motor); 2: version 7; 3: version 5.
const char c_szCameras[] =
    "[{\"version\": 8}, {\"version\": 8, \"swing_motor\": false},"
    " {\"version\": 7, \"swing_motor\": false}, {\"version\": 5, \"swing_motor\": false}]";

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 13 + (i >> 12));
    return v;
}

SKxNLEyeDeviceInfoEx LocalRecord(int nCamera, uint32_t nVersion) {
    SKxNLEyeDeviceInfoEx info;
    std::memset(&info, 0, sizeof(info));
    std::memset(info.byDeviceID, 0xFF, sizeof(info.byDeviceID));
    info.eDeviceType = KX_DEVICE_TYPE_LASER_EYE;
    info.nDeviceFlags = 0x2121;
    info.sVideoRes.nFrameWidth = 1536;
    info.sVideoRes.nFrameHeight = 2048;
    info.sVideoRes.nVersion = nVersion;
    std::snprintf(info.szConnectText, sizeof(info.szConnectText), "virtual:%d", nCamera);
    return info;
}

class VirtualData : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        setenv("KXEYE_VIRTUAL_CAMERAS", c_szCameras, 1);
        ASSERT_EQ(4, OrEyeTest::ReloadVirtualCameras());
    }
    void SetUp() override {
        for (int i = 0; i < OrEyeTest::VirtualCameraCount(); ++i) OrEyeTest::VirtualCamera(i)->Reset();
    }
    void TearDown() override {
        for (CKxLaserEyeDevice* p : m_devices) p->Release();
        OrEyeTest::SetFactory(OrEyeTest::Factory());
    }

    // Opens virtual camera nCamera as a device; with pSpy, through a spy camera.
    CKxLaserEyeDevice* Open(int nCamera, uint32_t nVersion, KxSpyCamera** ppSpy = nullptr) {
        IKxLaserEyeDevice* pI = nullptr;
        const SKxNLEyeDeviceInfoEx info = LocalRecord(nCamera, nVersion);
        EXPECT_TRUE(KxCreateLaserEyeDevice(&info, nullptr, nullptr, &pI));
        CKxLaserEyeDevice* p = static_cast<CKxLaserEyeDevice*>(pI);
        m_devices.push_back(p);
        if (ppSpy != nullptr) {
            KxSpyCamera* pSpy = new KxSpyCamera(CreateOrEyeApi(OREYEAPI_TYPE_LOCAL));
            *ppSpy = pSpy;
            OrEyeTest::SetFactory([pSpy](OREYEAPI_TYPE) -> IOrEyeCamera* { return pSpy; });
        }
        EXPECT_EQ(0, p->Open(0));
        OrEyeTest::SetFactory(OrEyeTest::Factory());
        return p;
    }

    static std::vector<uint8_t> KernelArea(CKxLaserEyeDevice* p) {
        std::vector<uint8_t> area(c_nKernelBytes);
        uint32_t n = 0;
        EXPECT_EQ(0, p->ReadData(3, area.data(), c_nKernelBytes, &n));
        EXPECT_EQ(c_nKernelBytes, n);
        return area;
    }

    std::vector<CKxLaserEyeDevice*> m_devices;
};

}  // namespace

TEST_F(VirtualData, RequiredLengthsAndRefusals) {
    CKxLaserEyeDevice* p8 = Open(0, 8);
    CKxLaserEyeDevice* p5 = Open(3, 5);
    uint32_t n = 0;
    EXPECT_EQ(0, p8->ReadData(1, nullptr, 0, &n));
    EXPECT_EQ(108u, n);
    EXPECT_EQ(0, p8->ReadData(2, nullptr, 0, &n));
    EXPECT_EQ(262144u, n);
    n = 0;
    EXPECT_EQ(0, p8->ReadData(3, nullptr, 0, &n));
    EXPECT_EQ(262144u, n);
    n = 0;
    EXPECT_EQ(-80000, p5->ReadData(3, nullptr, 0, &n));
    EXPECT_EQ(0u, n);
    EXPECT_EQ(0, p5->ReadData(1, nullptr, 0, &n));  // parameters still work on version 5
    EXPECT_EQ(108u, n);

    std::vector<uint8_t> line = Pattern(108, 1);
    EXPECT_EQ(-79993, p8->ReadData(1, line.data(), 107, nullptr));
    EXPECT_EQ(-79993, p8->WriteData(1, line.data(), 107));
    EXPECT_FALSE(OrEyeTest::VirtualCamera(0)->GetLastParam(53, nullptr));
}

TEST_F(VirtualData, TypedItemsRoundTrip) {
    CKxLaserEyeDevice* p = Open(0, 8);
    std::vector<uint8_t> line = Pattern(108, 5), block = Pattern(c_nKernelBytes, 6);
    EXPECT_EQ(0, p->WriteData(1, line.data(), 108));
    EXPECT_EQ(0, p->WriteData(2, block.data(), c_nKernelBytes));
    std::vector<uint8_t> lineBack(108), blockBack(c_nKernelBytes);
    EXPECT_EQ(0, p->ReadData(1, lineBack.data(), 108, nullptr));
    EXPECT_EQ(0, p->ReadData(2, blockBack.data(), c_nKernelBytes, nullptr));
    EXPECT_EQ(line, lineBack);
    EXPECT_EQ(block, blockBack);
    std::vector<uint8_t> param60 = Pattern(40, 7), stored;
    EXPECT_EQ(0, p->WriteParam60(param60.data(), 40));
    ASSERT_TRUE(OrEyeTest::VirtualCamera(0)->GetLastParam(60, &stored));
    EXPECT_EQ(param60, stored);
}

TEST_F(VirtualData, KernelWriteOfWholePagesTouchesOnlyThosePages) {
    KxSpyCamera* pSpy = nullptr;
    CKxLaserEyeDevice* p = Open(0, 8, &pSpy);
    std::vector<unsigned int> addresses;
    pSpy->m_writeHook = [&](IOrEyeCamera& real, unsigned int a, const void* d, unsigned int n) {
        addresses.push_back(a);
        EXPECT_EQ(c_nPage, n);
        return real.WriteStorage(a, d, n);
    };
    std::vector<uint8_t> data = Pattern(2 * c_nPage, 9);
    EXPECT_EQ(0, p->WriteData(3, data.data(), 2 * c_nPage));
    EXPECT_EQ((std::vector<unsigned int>{0x1000, 0x2000}), addresses);

    const std::vector<uint8_t> area = KernelArea(p);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), area.begin()));
    EXPECT_EQ(std::vector<uint8_t>(c_nKernelBytes - 2 * c_nPage, 0xFF), std::vector<uint8_t>(area.begin() + 2 * c_nPage, area.end()));
    // The page below the area is untouched.
    std::vector<uint8_t> below(c_nPage, 0);
    EXPECT_EQ(0, p->ReadCustomData(0, below.data(), c_nPage));
    EXPECT_EQ(std::vector<uint8_t>(c_nPage, 0xFF), below);
}

TEST_F(VirtualData, PartialKernelWriteKeepsTheRestOfTheArea) {
    CKxLaserEyeDevice* p = Open(0, 8);
    const std::vector<uint8_t> whole = Pattern(c_nKernelBytes, 21);
    ASSERT_EQ(0, p->WriteData(3, whole.data(), c_nKernelBytes));
    const std::vector<uint8_t> part = Pattern(100, 99);
    KxLogCapture log;
    EXPECT_EQ(0, p->WriteData(3, part.data(), 100));
    EXPECT_TRUE(log.HasLine(c_nKxLogState, "Alloc Write Times 63/64"));
    std::vector<uint8_t> expected = whole;
    std::copy(part.begin(), part.end(), expected.begin());
    EXPECT_EQ(expected, KernelArea(p));
}

TEST_F(VirtualData, PartialKernelWriteWritesNothingWhenTheAreaCannotBeRead) {
    CKxLaserEyeDevice* p = Open(0, 8);
    const std::vector<uint8_t> part = Pattern(100, 3);
    OrEyeTest::VirtualCamera(0)->FailStorageRead(true);
    EXPECT_EQ(c_nOrEyeIoError, p->WriteData(3, part.data(), 100));
    OrEyeTest::VirtualCamera(0)->FailStorageRead(false);
    EXPECT_EQ(std::vector<uint8_t>(c_nKernelBytes, 0xFF), KernelArea(p));
}

TEST_F(VirtualData, FailingPageEndsTheWriteWithEarlierPagesWritten) {
    KxSpyCamera* pSpy = nullptr;
    CKxLaserEyeDevice* p = Open(0, 8, &pSpy);
    pSpy->m_writeHook = [](IOrEyeCamera& real, unsigned int a, const void* d, unsigned int n) {
        return a == 0x3000 ? c_nOrEyeIoError : real.WriteStorage(a, d, n);
    };
    const std::vector<uint8_t> data = Pattern(4 * c_nPage, 17);
    EXPECT_EQ(c_nOrEyeIoError, p->WriteData(3, data.data(), 4 * c_nPage));
    pSpy->m_writeHook = nullptr;
    const std::vector<uint8_t> area = KernelArea(p);
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + 2 * c_nPage, area.begin()));
    EXPECT_EQ(std::vector<uint8_t>(c_nKernelBytes - 2 * c_nPage, 0xFF), std::vector<uint8_t>(area.begin() + 2 * c_nPage, area.end()));
}

TEST_F(VirtualData, TransientRefusalsAreRetried) {
    CKxLaserEyeDevice* p = Open(0, 8);
    const std::vector<uint8_t> data = Pattern(c_nPage, 44);
    OrEyeTest::VirtualCamera(0)->FailNext(OrEyeTest::Op_WriteStorage, c_nOrEyeRetry, 2);
    KxLogCapture log;
    EXPECT_EQ(0, p->WriteData(3, data.data(), c_nPage));
    char szLine[64];
    std::snprintf(szLine, sizeof(szLine), "Device %p: Failed Times %d", static_cast<void*>(p), 2);
    EXPECT_TRUE(log.HasLine(c_nKxLogWarning, szLine));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), KernelArea(p).begin()));
}

TEST_F(VirtualData, CustomDataPagesRoundTrip) {
    CKxLaserEyeDevice* p = Open(0, 8);
    std::vector<uint8_t> buffer(c_nPage, 0x11);
    EXPECT_EQ(0, p->ReadCustomData(0x41000, buffer.data(), c_nPage - 1));  // nothing read
    EXPECT_EQ(std::vector<uint8_t>(c_nPage, 0x11), buffer);

    const std::vector<uint8_t> data = Pattern(3 * c_nPage, 55);
    EXPECT_EQ(0, p->WriteCustomData(0x41000, data.data(), 3 * c_nPage));
    std::vector<uint8_t> back(3 * c_nPage + 10, 0x22);
    EXPECT_EQ(0, p->ReadCustomData(0x41000, back.data(), 3 * c_nPage + 10));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin()));
    EXPECT_EQ(0x22, back[3 * c_nPage]);  // the remainder is not read
    // The last page of storage is reachable, one byte more is not.
    EXPECT_EQ(0, p->ReadCustomData(0x3FF000, back.data(), c_nPage));
    EXPECT_EQ(-79993, p->ReadCustomData(0x3FF001, back.data(), c_nPage));
}

TEST_F(VirtualData, CustomCommandRecordReachesTheController) {
    KxSpyCamera* pSpy = nullptr;
    CKxLaserEyeDevice* p = Open(0, 8, &pSpy);
    std::vector<unsigned short> record;
    pSpy->m_commandHook = [&](const unsigned short* w) { record.assign(w, w + 5); };
    // Code 15 is the controller's status word: read it with no value.
    EXPECT_EQ(0, p->SetCustomCommand(0, 15, -1));
    EXPECT_EQ((std::vector<unsigned short>{0, 15, 0, 0, 0}), record);
    uint32_t nStatus = 0;
    EXPECT_EQ(0, p->ReadCustomCommand(0, 15, &nStatus));
    EXPECT_EQ((std::vector<unsigned short>{0, 15, 0, 0, 0}), record);
    EXPECT_NE(0u, nStatus & 0x8000);  // status valid
    pSpy->m_commandHook = nullptr;
}

TEST_F(VirtualData, IdentityItemsAreStored) {
    CKxLaserEyeDevice* p7 = Open(2, 7);
    CKxLaserEyeDevice* p8 = Open(0, 8);
    KxLogCapture log;
    EXPECT_EQ(-80000, p7->WriteSerialNum("SN000042"));
    EXPECT_EQ(-80000, p8->WriteSerialNum("SN000042"));  // a local eye, not an Ethernet eye
    EXPECT_EQ((std::vector<std::string>{"Hardware Version Not Enough ", "No Ethernet Eye"}), log.Lines(c_nKxLogError));

    char szSerial[9] = {};
    ASSERT_EQ(0, p8->GetCoreEye()->ReadProduct(4, szSerial, 8));
    EXPECT_STREQ("VC000001", szSerial);  // unchanged

    // The serial number is written for Ethernet eyes only; mark this one as such.
    p8->m_sDevInfo.nDeviceFlags |= c_nKxFlagEthernet;
    EXPECT_EQ(0, p8->WriteSerialNum("SN000042"));
    ASSERT_EQ(0, p8->GetCoreEye()->ReadProduct(4, szSerial, 8));
    EXPECT_STREQ("SN000042", szSerial);

    EXPECT_EQ(0, p8->WriteDeviceID("KXDEVICE12345678"));
    char szID[17] = {};
    ASSERT_EQ(0, p8->GetCoreEye()->ReadProduct(2, szID, 16));
    EXPECT_STREQ("KXDEVICE12345678", szID);

    // The camera's own MAC changes; the destination MAC stays as it was.
    uint8_t byDestBefore[6] = {}, byDestAfter[6] = {}, byOwn[6] = {};
    ASSERT_EQ(0, p8->GetCoreEye()->GetParam(3, byDestBefore, 6));
    const uint8_t byMAC[6] = {0x02, 0x00, 0x5E, 0x10, 0x20, 0x30};
    EXPECT_EQ(0, p8->WriteMACAddress(byMAC));
    ASSERT_EQ(0, p8->GetCoreEye()->GetParam(2, byOwn, 6));
    EXPECT_EQ(0, std::memcmp(byMAC, byOwn, 6));
    ASSERT_EQ(0, p8->GetCoreEye()->GetParam(3, byDestAfter, 6));
    EXPECT_EQ(0, std::memcmp(byDestBefore, byDestAfter, 6));
}

TEST_F(VirtualData, PassThroughReachesTheCamera) {
    CKxLaserEyeDevice* p = Open(0, 8);
    EXPECT_EQ(0, p->ConfigCameraOption(true, true, 123, 0));
    int nValue = 0, nValue2 = 0;
    ASSERT_TRUE(OrEyeTest::VirtualCamera(0)->GetOption(1, &nValue, &nValue2));
    EXPECT_EQ(123, nValue);
    EXPECT_EQ(0, p->CameraOp45(true, 9));
    int nA = 0, nB = 0;
    ASSERT_TRUE(OrEyeTest::VirtualCamera(0)->GetFeature(1, &nA, &nB));
    EXPECT_EQ(9, nA);
    EXPECT_EQ(c_nOrEyeNotSupported, p->CameraOp43(1, nullptr, 2, nullptr, 3));  // not on the local path
}

// Data transfers on two devices and parameter calls at once: no deadlock, and each camera ends
// up holding exactly what its device wrote last.
TEST_F(VirtualData, TransfersAndParameterCallsOnTwoDevicesTogether) {
    CKxLaserEyeDevice* pA = Open(0, 8);
    CKxLaserEyeDevice* pB = Open(1, 8);
    auto transfers = [](CKxLaserEyeDevice* p, uint8_t seed) {
        const std::vector<uint8_t> whole = Pattern(c_nKernelBytes, seed), part = Pattern(100, seed + 1);
        std::vector<uint8_t> back(c_nKernelBytes);
        for (int i = 0; i < 4; ++i) {
            if (p->WriteData(3, whole.data(), c_nKernelBytes) != 0) return false;
            if (p->WriteData(3, part.data(), 100) != 0) return false;
            if (p->ReadData(3, back.data(), c_nKernelBytes, nullptr) != 0) return false;
            if (p->WriteCustomData(0x41000, whole.data(), 2 * c_nPage) != 0) return false;
            if (p->ReadCustomData(0x41000, back.data(), 2 * c_nPage) != 0) return false;
        }
        return true;
    };
    auto parameters = [](CKxLaserEyeDevice* p) {
        double q[16];
        for (int i = 0; i < 30; ++i) {
            if (p->SetLaserThres(20 + i) != 0) return false;
            if (p->GetQMatrix(q) != 0) return false;
            const std::vector<uint8_t> line = Pattern(108, static_cast<uint8_t>(i));
            if (p->WriteData(1, line.data(), 108) != 0) return false;
        }
        return true;
    };
    std::vector<std::future<bool>> jobs;
    jobs.push_back(std::async(std::launch::async, transfers, pA, 1));
    jobs.push_back(std::async(std::launch::async, transfers, pB, 2));
    jobs.push_back(std::async(std::launch::async, parameters, pA));
    jobs.push_back(std::async(std::launch::async, parameters, pB));
    for (auto& job : jobs) {
        ASSERT_EQ(std::future_status::ready, job.wait_for(std::chrono::seconds(120))) << "deadlock";
        EXPECT_TRUE(job.get());
    }
    for (auto pair : {std::make_pair(pA, uint8_t(1)), std::make_pair(pB, uint8_t(2))}) {
        std::vector<uint8_t> expected = Pattern(c_nKernelBytes, pair.second);
        const std::vector<uint8_t> part = Pattern(100, pair.second + 1);
        std::copy(part.begin(), part.end(), expected.begin());
        EXPECT_EQ(expected, KernelArea(pair.first));
    }
}
