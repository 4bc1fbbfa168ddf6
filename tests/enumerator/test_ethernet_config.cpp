// Ethernet configuration against GoogleMock cameras, fake opened devices and in-memory host
// tables: parameters and byte order, the ARP pin, the two destination attempts, the delegate,
// the family rules and the device lock released on every road.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "../data/kxmockcamera.h"
#include "kxkernel_testsupport.h"
#include "kxlasereyeetherneteyeconfig.h"
#include "kxnetbackendmemory.h"
#include "kxnetworkutils.h"
#include "oreyeapi_testsupport.h"

using ::testing::_;
using ::testing::ElementsAre;
using ::testing::IsNull;
using ::testing::NiceMock;
using ::testing::Return;

namespace {

const uint8_t c_byCamMAC[6] = {0x02, 0x4b, 0x58, 0x00, 0x00, 0x40};
const uint8_t c_byCardMAC[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x51};

SKxNLEyeDeviceInfoEx Record(uint32_t nFlags = 0x1122) {
    SKxNLEyeDeviceInfoEx info;
    std::memset(&info, 0, sizeof(info));
    info.nDeviceFlags = nFlags;
    std::strcpy(info.szEyeIP, "203.0.113.50");
    std::strcpy(info.szIPAddress, "203.0.113.50");
    std::strcpy(info.szEyeMAC, "02:4b:58:00:00:40");
    std::strcpy(info.szMACAddress, "02:4b:58:00:00:40");
    const uint8_t byID[8] = {'K', 'X', 2, 0x4b, 0x58, 0, 0, 0x40};
    std::memcpy(info.byDeviceID, byID, 8);
    info.sNetCardInfo.nIndex = 5;
    const uint8_t byCard[4] = {192, 0, 2, 1};
    std::memcpy(info.sNetCardInfo.byIP, byCard, 4);
    std::memcpy(info.sNetCardInfo.byMAC, c_byCardMAC, 6);
    return info;
}

// Every SetParam a camera got: id and bytes.
struct Sent {
    int nId;
    std::vector<uint8_t> by;
    bool operator==(const Sent& o) const { return nId == o.nId && by == o.by; }
};
std::ostream& operator<<(std::ostream& os, const Sent& s) {
    os << "param " << s.nId << ":";
    for (uint8_t b : s.by) os << " " << int(b);
    return os;
}

// Camera objects of access type 3 with scripted SetParam answers (per call, 0 when run out).
class ConfigCameras {
public:
    ConfigCameras() {
        OrEyeTest::SetFactory([this](OREYEAPI_TYPE eType) -> IOrEyeCamera* {
            if (eType != OREYEAPI_TYPE_ETHERNET || !m_bAvailable) return nullptr;
            ++m_nCreated;
            auto* pCam = new NiceMock<KxMockCamera>();
            pCam->m_onDestroyed = [this]() { ++m_nDestroyed; };
            ON_CALL(*pCam, SelectDevice(_)).WillByDefault([this](const unsigned char* p) {
                m_vecSelected.assign(p, p + 8);
                return 0;
            });
            if (m_strConnect.empty())
                EXPECT_CALL(*pCam, InitDevice(1536, 2048, 0, 5, IsNull())).WillOnce(Return(m_nInit));
            else
                EXPECT_CALL(*pCam, InitDevice(1536, 2048, 0, 5, ::testing::StrEq(m_strConnect))).WillOnce(Return(m_nInit));
            ON_CALL(*pCam, SetLocalIP(_, _)).WillByDefault([this](const char* psz, int) {
                m_strLocal = psz;
                return 0;
            });
            ON_CALL(*pCam, SetParam(_, _, _)).WillByDefault([this](int nId, const void* p, int n) {
                if (m_onSend) m_onSend();
                const uint8_t* pb = static_cast<const uint8_t*>(p);
                m_vecSent.push_back(Sent{nId, std::vector<uint8_t>(pb, pb + n)});
                if (m_answers.empty()) return 0;
                const int r = m_answers.front();
                m_answers.pop_front();
                return r;
            });
            return pCam;
        });
    }
    ~ConfigCameras() { OrEyeTest::SetFactory(OrEyeTest::Factory()); }

    bool m_bAvailable = true;
    int m_nInit = 0;
    std::string m_strConnect;      // the connect text InitDevice must get ("": none)
    std::string m_strLocal;        // the card address given to SetLocalIP
    std::function<void()> m_onSend;  // runs before each SetParam
    std::deque<int> m_answers;
    std::vector<Sent> m_vecSent;
    std::vector<uint8_t> m_vecSelected;
    int m_nCreated = 0, m_nDestroyed = 0;
};

// In-memory host tables for the ARP pin.
class HostTables {
public:
    HostTables() { m_pOld = KxNetworkUtils::SetBackend(&m_backend); }
    ~HostTables() { KxNetworkUtils::SetBackend(m_pOld); }
    CKxMemoryNetBackend m_backend;

private:
    IKxNetBackend* m_pOld;
};

// Records every call a delegate gets.
class RecordingDelegate : public IKxEthernetEyeConfig {
public:
    std::vector<std::string> calls;
    int32_t SetIPAddress(const SKxNLEyeDeviceInfoEx*, const uint8_t*, void* p1, void* p2) override {
        calls.push_back(p1 == &calls && p2 == this ? "SetIPAddress(reserved)" : "SetIPAddress");
        return 11;
    }
    int32_t SetDeviceIPAddress(IKxDevice*, const uint8_t*, void*, void*) override { calls.push_back("SetDeviceIPAddress"); return 12; }
    int32_t ExtendedConfig1(const SKxNLEyeDeviceInfoEx*, void*, void*, void*, void*) override { calls.push_back("ExtendedConfig1"); return 13; }
    int32_t ExtendedConfig2(const SKxNLEyeDeviceInfoEx*, int32_t n) override { calls.push_back("ExtendedConfig2 " + std::to_string(n)); return 14; }
    int32_t IsDelegateDevice(const SKxNLEyeDeviceInfoEx*) override { calls.push_back("IsDelegateDevice"); return 15; }
    int32_t SetDeviceMACAddress(IKxDevice*, const uint8_t*) override { calls.push_back("SetDeviceMACAddress"); return 16; }
    int32_t ResetDestAddress(const SKxNLEyeDeviceInfoEx*) override { calls.push_back("ResetDestAddress"); return 17; }
    int32_t ResetDeviceDestAddress(IKxDevice*) override { calls.push_back("ResetDeviceDestAddress"); return 18; }
    int32_t BindHostAddress(const SKxNLEyeDeviceInfoEx*) override { calls.push_back("BindHostAddress"); return 19; }
    int32_t BindDeviceHostAddress(IKxDevice*) override { calls.push_back("BindDeviceHostAddress"); return 20; }
};

// The operations of IKxDevice that the configuration may call, with the lock counted.
#define KX_FAKE_DEVICE_OPS                                                                          \
    int nLocks = 0, nUnlocks = 0;                                                                   \
    SKxNLEyeDeviceInfoEx info{};                                                                    \
    int32_t GetDeviceKind() override { return 2; }                                                  \
    const SKxNLEyeDeviceInfoEx* GetDeviceInfo() override { return &info; }                          \
    int32_t Open(int32_t) override { return 0; }                                                    \
    void Close() override {}                                                                        \
    bool IsOpen() override { return true; }                                                         \
    int32_t Reserved8() override { return 0; }                                                      \
    int32_t SetEventHandler(IKxDeviceEventHandler*) override { return 0; }                          \
    int32_t Reserved10() override { return 0; }                                                     \
    int32_t Reserved11() override { return 1; }                                                     \
    int32_t GetVideoResolution(uint32_t*, uint32_t*) override { return 0; }                         \
    void Lock() override { ++nLocks; }                                                              \
    void Unlock() override { ++nUnlocks; }                                                          \
    int32_t ReadData(uint32_t, void*, uint32_t, uint32_t*) override { return 0; }                   \
    int32_t WriteData(uint32_t, const void*, uint32_t) override { return 0; }                       \
    int32_t ReadCustomData(uint32_t, uint8_t*, uint32_t) override { return 0; }                     \
    int32_t WriteCustomData(uint32_t, const uint8_t*, uint32_t) override { return 0; }              \
    int32_t GetDataRange(int32_t*, int32_t*) override { return 0; }

// A device that is not an eye device.
class FakeDevice : public IKxDevice {
public:
    KX_FAKE_DEVICE_OPS
};

class FakeEyeDevice : public IKxEyeDevice {
public:
    KX_FAKE_DEVICE_OPS
    IOrEyeCamera* pCamera = nullptr;
    int32_t GetVersion(SKxEyeVersionInfo*) override { return 0; }
    int32_t EnableDenoise(bool) override { return 0; }
    bool IsDenoiseEnabled() override { return false; }
    int32_t SetExpose(int32_t, uint32_t) override { return 0; }
    int32_t GetExpose(int32_t*, int32_t*) override { return 0; }
    int32_t SetDetectROI(const SKxNLROIRect*, const SKxNLROIRect*) override { return 0; }
    int32_t GetDetectROI(SKxNLROIRect*, SKxNLROIRect*) override { return 0; }
    int32_t SetCameraGain(int32_t, uint16_t) override { return 0; }
    int32_t Reserved28() override { return 0; }
    int32_t GetImage(IKxSurface**, IKxSurface**, uint32_t) override { return 0; }
    IOrEyeCamera* GetCoreEye() override { return pCamera; }
    int32_t SetFrameRate(uint16_t) override { return 0; }
    int32_t Reserved32() override { return 0; }
    int32_t GetQMatrix(double*) override { return 0; }
    int32_t Reserved34() override { return 0; }
    void UpdateIPAddress(const uint8_t*) override {}
    int32_t WriteSerialNum(const char*) override { return 0; }
    int32_t WriteDeviceID(const char*) override { return 0; }
    int32_t WriteMACAddress(const uint8_t*) override { return 0; }
    bool CheckOnline() override { return true; }
    int32_t Reserved40() override { return 0; }
};

// An eye device of the other family that carries its own address configuration.
class FakeOtherFamilyDevice : public FakeEyeDevice, public IKxDeviceEthConfig {
public:
    std::vector<std::string> calls;
    int32_t SetIPAddress(const uint8_t*, void*, void*) override { calls.push_back("SetIPAddress"); return 31; }
    int32_t Reserved2() override { return 0; }
    int32_t SetMACAddress(const uint8_t*) override { calls.push_back("SetMACAddress"); return 32; }
};

}  // namespace

TEST(EthernetConfigExport, CreatesWithOneReferenceAndHoldsTheDelegate) {
    EXPECT_FALSE(KxCreateLaserEyeEthernetEyeConfig(nullptr, nullptr));
    IKxEthernetEyeConfig* p = nullptr;
    ASSERT_TRUE(KxCreateLaserEyeEthernetEyeConfig(nullptr, &p));
    EXPECT_NE(nullptr, dynamic_cast<CKxEthernetEyeConfig*>(p));
    EXPECT_EQ(0, p->Release());

    auto* pDelegate = new RecordingDelegate();
    ASSERT_TRUE(KxCreateLaserEyeEthernetEyeConfig(pDelegate, &p));
    EXPECT_EQ(2, pDelegate->GetRefCount());
    EXPECT_EQ(1, p->AddRef());
    EXPECT_EQ(1, p->Release());
    EXPECT_EQ(0, p->Release());
    EXPECT_EQ(1, pDelegate->GetRefCount());  // dropped with the configuration
    EXPECT_EQ(0, pDelegate->Release());
}

TEST(EthernetConfig, SetIPAddressSendsTheAddressLastOctetFirstAndPinsArp) {
    HostTables host;
    ConfigCameras cams;
    KxLogCapture log;
    CKxEthernetEyeConfig config(nullptr);
    const SKxNLEyeDeviceInfoEx info = Record();
    const uint8_t byNew[4] = {192, 0, 2, 20};
    EXPECT_EQ(0, config.SetIPAddress(&info, byNew, nullptr, nullptr));
    EXPECT_THAT(cams.m_vecSent, ElementsAre(Sent{4, {20, 2, 0, 192}}));
    EXPECT_EQ(std::vector<uint8_t>(info.byDeviceID, info.byDeviceID + 8), cams.m_vecSelected);
    ASSERT_EQ(1u, host.m_backend.vecArp.size());
    const SKxArpRow& row = host.m_backend.vecArp[0];
    EXPECT_EQ(5u, row.nIndex);
    EXPECT_EQ(0, std::memcmp(row.byIP, byNew, 4));
    EXPECT_EQ(0, std::memcmp(row.byMAC, c_byCamMAC, 6));
    EXPECT_EQ(c_nKxArpStatic, row.nType);
    EXPECT_TRUE(log.HasLine(c_nKxLogDetail, "Set Source IP: 0"));
    EXPECT_EQ(1, cams.m_nCreated);
    EXPECT_EQ(1, cams.m_nDestroyed);  // the camera object lives for the one operation

    // The current address: nothing sent, no camera object.
    const uint8_t byCurrent[4] = {203, 0, 113, 50};
    EXPECT_EQ(0, config.SetIPAddress(&info, byCurrent, nullptr, nullptr));
    EXPECT_EQ(1, cams.m_nCreated);
}

struct SourceIPCase {
    const char* pszName;
    int nCamera;          // SetParam answer
    int nArpWrite;        // host answer to the ARP write
    const char* pszMAC;   // the record's MAC text
    int nExpect;
    size_t nArpRows;
};

class SetSourceIPCases : public ::testing::TestWithParam<SourceIPCase> {};

TEST_P(SetSourceIPCases, CameraAndArpResults) {
    const SourceIPCase& c = GetParam();
    HostTables host;
    host.m_backend.nWriteArpResult = c.nArpWrite;
    ConfigCameras cams;
    cams.m_answers = {c.nCamera};
    CKxEthernetEyeConfig config(nullptr);
    SKxNLEyeDeviceInfoEx info = Record();
    std::strcpy(info.szEyeMAC, c.pszMAC);
    const uint8_t byNew[4] = {192, 0, 2, 20};
    EXPECT_EQ(c.nExpect, config.SetIPAddress(&info, byNew, nullptr, nullptr)) << c.pszName;
    EXPECT_EQ(c.nArpRows, host.m_backend.vecArp.size()) << c.pszName;
}

INSTANTIATE_TEST_SUITE_P(
    Roads, SetSourceIPCases,
    ::testing::Values(SourceIPCase{"taken and pinned", 0, 0, "02:4b:58:00:00:40", 0, 1},
                      SourceIPCase{"ARP refused", 0, 5, "02:4b:58:00:00:40", -69997, 0},
                      SourceIPCase{"ARP failed", 0, -3, "02:4b:58:00:00:40", -69997, 0},
                      // No MAC to pin: never an entry to 00:00:00:00:00:00.
                      SourceIPCase{"record without MAC", 0, 0, "", -69997, 0},
                      SourceIPCase{"camera refused", -10030, 0, "02:4b:58:00:00:40", -10030, 0}));

TEST(EthernetConfig, NoCameraObjectAnswers79995) {
    HostTables host;
    ConfigCameras cams;
    cams.m_bAvailable = false;
    CKxEthernetEyeConfig config(nullptr);
    const SKxNLEyeDeviceInfoEx info = Record();
    const uint8_t byNew[4] = {192, 0, 2, 20};
    EXPECT_EQ(-79995, config.SetIPAddress(&info, byNew, nullptr, nullptr));
    EXPECT_EQ(-79995, config.ResetDestAddress(&info));
    EXPECT_EQ(-79995, config.BindHostAddress(&info));
}

struct DestCase {
    const char* pszName;
    std::deque<int> answers;  // IP, MAC, IP, MAC
    int nExpect;
    size_t nSent;
};

class SetDestAddressCases : public ::testing::TestWithParam<DestCase> {};

TEST_P(SetDestAddressCases, TwoAttemptsAndTheAddressResultWins) {
    const DestCase& c = GetParam();
    HostTables host;
    ConfigCameras cams;
    cams.m_answers = c.answers;
    KxLogCapture log;
    CKxEthernetEyeConfig config(nullptr);
    const SKxNLEyeDeviceInfoEx info = Record();
    EXPECT_EQ(c.nExpect, config.BindHostAddress(&info)) << c.pszName;
    ASSERT_EQ(c.nSent, cams.m_vecSent.size()) << c.pszName;
    for (size_t i = 0; i < c.nSent; i += 2) {
        EXPECT_EQ((Sent{5, {1, 2, 0, 192}}), cams.m_vecSent[i]);
        EXPECT_EQ((Sent{3, std::vector<uint8_t>(c_byCardMAC, c_byCardMAC + 6)}), cams.m_vecSent[i + 1]);
    }
    EXPECT_EQ(c.nSent / 2, log.Lines(c_nKxLogDetail).size() / 2);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, SetDestAddressCases,
    ::testing::Values(DestCase{"both fine", {0, 0}, 0, 2},
                      DestCase{"address busy once", {-10014, 0, 0, 0}, 0, 4},
                      DestCase{"MAC busy once", {0, -10014, 0, 0}, 0, 4},
                      DestCase{"address busy twice", {-10014, 0, -10014, 0}, -10014, 4},
                      DestCase{"both failed: the address wins", {-10030, -10001}, -10030, 2},
                      DestCase{"MAC failed", {0, -10001}, -10001, 2},
                      DestCase{"busy, then another failure", {-10014, -10014, 0, -10003}, -10003, 4}));

TEST(EthernetConfig, ResetDestAddressSendsBroadcast) {
    HostTables host;
    ConfigCameras cams;
    CKxEthernetEyeConfig config(nullptr);
    const SKxNLEyeDeviceInfoEx info = Record();
    EXPECT_EQ(0, config.ResetDestAddress(&info));
    EXPECT_THAT(cams.m_vecSent, ElementsAre(Sent{5, {255, 255, 255, 255}}, Sent{3, {255, 255, 255, 255, 255, 255}}));
}

TEST(EthernetConfig, OtherFamilyRecordsGoToTheDelegate) {
    ConfigCameras cams;
    auto* pDelegate = new RecordingDelegate();
    CKxEthernetEyeConfig config(pDelegate);
    pDelegate->Release();  // the configuration holds it now
    const SKxNLEyeDeviceInfoEx other = Record(0x3122);
    const uint8_t byIP[4] = {192, 0, 2, 20};
    EXPECT_EQ(11, config.SetIPAddress(&other, byIP, &pDelegate->calls, pDelegate));
    EXPECT_EQ(13, config.ExtendedConfig1(&other, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(14, config.ExtendedConfig2(&other, 7));
    EXPECT_EQ(17, config.ResetDestAddress(&other));
    EXPECT_EQ(19, config.BindHostAddress(&other));
    EXPECT_EQ(0, config.IsDelegateDevice(&other));
    EXPECT_THAT(pDelegate->calls, ElementsAre("SetIPAddress(reserved)", "ExtendedConfig1", "ExtendedConfig2 7",
                                              "ResetDestAddress", "BindHostAddress"));
    EXPECT_EQ(0, cams.m_nCreated);

    // Own family: operations 6, 7 and 8 are not applicable; 14 never is.
    const SKxNLEyeDeviceInfoEx own = Record(0x1122);
    EXPECT_EQ(-80000, config.ExtendedConfig1(&own, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(-80000, config.ExtendedConfig2(&own, 7));
    EXPECT_EQ(-80000, config.IsDelegateDevice(&own));
    EXPECT_EQ(-80000, config.NotSupported());

    // Without a delegate the other family is not supported.
    CKxEthernetEyeConfig alone(nullptr);
    EXPECT_EQ(-80000, alone.SetIPAddress(&other, byIP, nullptr, nullptr));
    EXPECT_EQ(-80000, alone.ExtendedConfig1(&other, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(-80000, alone.ExtendedConfig2(&other, 7));
    EXPECT_EQ(-80000, alone.ResetDestAddress(&other));
    EXPECT_EQ(-80000, alone.BindHostAddress(&other));
    EXPECT_EQ(0, alone.IsDelegateDevice(&other));
    EXPECT_EQ(0, cams.m_nCreated);
}

// Every road of the opened-device operations: its answer, and the lock taken once and given back
// once.
TEST(EthernetConfigDevice, GuardUnlocksOnEveryRoad) {
    HostTables host;
    auto* pDelegate = new RecordingDelegate();
    CKxEthernetEyeConfig config(pDelegate);
    pDelegate->Release();
    CKxEthernetEyeConfig alone(nullptr);
    const uint8_t byIP[4] = {192, 0, 2, 20};
    const uint8_t byCurrentIP[4] = {203, 0, 113, 50};
    const uint8_t byMAC[6] = {0x02, 0x4b, 0x58, 0, 0, 0x77};

    NiceMock<KxMockCamera> camera;
    ON_CALL(camera, SetParam(_, _, _)).WillByDefault(Return(0));

    struct Road {
        const char* pszName;
        std::function<IKxDevice*()> device;
        std::function<int32_t(IKxDevice*)> op;
        int32_t nExpect;
    };
    FakeDevice plain;
    FakeEyeDevice notEthernet, noCamera, ethernet;
    notEthernet.info = Record(0x1121);
    noCamera.info = Record(0x1122);
    ethernet.info = Record(0x1122);
    ethernet.pCamera = &camera;
    FakeEyeDevice otherPlain;
    otherPlain.info = Record(0x3122);
    otherPlain.pCamera = &camera;
    FakeOtherFamilyDevice other;
    other.info = Record(0x3122);
    other.pCamera = &camera;

    const std::vector<Road> roads = {
        {"IP: not an eye device", [&] { return &plain; }, [&](IKxDevice* d) { return config.SetDeviceIPAddress(d, byIP, nullptr, nullptr); }, -80000},
        {"IP: not Ethernet", [&] { return &notEthernet; }, [&](IKxDevice* d) { return config.SetDeviceIPAddress(d, byIP, nullptr, nullptr); }, -80000},
        {"IP: other family", [&] { return &other; }, [&](IKxDevice* d) { return config.SetDeviceIPAddress(d, byIP, nullptr, nullptr); }, 31},
        {"IP: other family without its configuration", [&] { return &otherPlain; }, [&](IKxDevice* d) { return config.SetDeviceIPAddress(d, byIP, nullptr, nullptr); }, -80000},
        {"IP: no camera", [&] { return &noCamera; }, [&](IKxDevice* d) { return config.SetDeviceIPAddress(d, byIP, nullptr, nullptr); }, -80000},
        {"IP: current address", [&] { return &ethernet; }, [&](IKxDevice* d) { return config.SetDeviceIPAddress(d, byCurrentIP, nullptr, nullptr); }, 0},
        {"IP: new address", [&] { return &ethernet; }, [&](IKxDevice* d) { return config.SetDeviceIPAddress(d, byIP, nullptr, nullptr); }, 0},
        {"MAC: not an eye device", [&] { return &plain; }, [&](IKxDevice* d) { return config.SetDeviceMACAddress(d, byMAC); }, -80000},
        {"MAC: not Ethernet, delegate", [&] { return &notEthernet; }, [&](IKxDevice* d) { return config.SetDeviceMACAddress(d, byMAC); }, 16},
        {"MAC: not Ethernet, no delegate", [&] { return &notEthernet; }, [&](IKxDevice* d) { return alone.SetDeviceMACAddress(d, byMAC); }, -80000},
        {"MAC: other family", [&] { return &other; }, [&](IKxDevice* d) { return config.SetDeviceMACAddress(d, byMAC); }, 32},
        {"MAC: no camera", [&] { return &noCamera; }, [&](IKxDevice* d) { return config.SetDeviceMACAddress(d, byMAC); }, -80000},
        {"MAC: current MAC", [&] { return &ethernet; }, [&](IKxDevice* d) { return config.SetDeviceMACAddress(d, c_byCamMAC); }, 0},
        {"MAC: new MAC", [&] { return &ethernet; }, [&](IKxDevice* d) { return config.SetDeviceMACAddress(d, byMAC); }, 0},
        {"reset: not Ethernet", [&] { return &notEthernet; }, [&](IKxDevice* d) { return config.ResetDeviceDestAddress(d); }, -80000},
        {"reset: other family", [&] { return &other; }, [&](IKxDevice* d) { return config.ResetDeviceDestAddress(d); }, 18},
        {"reset: other family, no delegate", [&] { return &other; }, [&](IKxDevice* d) { return alone.ResetDeviceDestAddress(d); }, -80000},
        {"reset: no camera", [&] { return &noCamera; }, [&](IKxDevice* d) { return config.ResetDeviceDestAddress(d); }, -80000},
        {"reset", [&] { return &ethernet; }, [&](IKxDevice* d) { return config.ResetDeviceDestAddress(d); }, 0},
        {"bind: not Ethernet", [&] { return &notEthernet; }, [&](IKxDevice* d) { return config.BindDeviceHostAddress(d); }, -80000},
        {"bind: other family sends nothing", [&] { return &other; }, [&](IKxDevice* d) { return config.BindDeviceHostAddress(d); }, 0},
        {"bind: no camera", [&] { return &noCamera; }, [&](IKxDevice* d) { return config.BindDeviceHostAddress(d); }, -80000},
        {"bind", [&] { return &ethernet; }, [&](IKxDevice* d) { return config.BindDeviceHostAddress(d); }, 0},
    };
    for (const Road& r : roads) {
        IKxDevice* pDevice = r.device();
#ifndef NDEBUG
        // An open device without camera is a caller's fault: asserted in development builds
        // (EthernetConfigDevice.NoCameraIsAssertedInDevelopmentBuilds).
        if (pDevice == &noCamera) continue;
#endif
        // Every fake's counters live in the common macro members.
        auto counts = [&]() -> std::pair<int, int> {
            if (pDevice == &plain) return {plain.nLocks, plain.nUnlocks};
            FakeEyeDevice* p = static_cast<FakeEyeDevice*>(static_cast<IKxEyeDevice*>(pDevice));
            return {p->nLocks, p->nUnlocks};
        };
        const auto before = counts();
        EXPECT_EQ(r.nExpect, r.op(pDevice)) << r.pszName;
        const auto after = counts();
        EXPECT_EQ(before.first + 1, after.first) << r.pszName;
        EXPECT_EQ(before.second + 1, after.second) << r.pszName;
    }
    EXPECT_THAT(other.calls, ElementsAre("SetIPAddress", "SetMACAddress"));
    EXPECT_EQ(-79000, config.SetDeviceIPAddress(nullptr, byIP, nullptr, nullptr));
}

TEST(EthernetConfigDevice, SetSourceMACPinsTheAddressOrLogsArpBindFailed) {
    HostTables host;
    NiceMock<KxMockCamera> camera;
    std::vector<Sent> sent;
    ON_CALL(camera, SetParam(_, _, _)).WillByDefault([&](int nId, const void* p, int n) {
        const uint8_t* pb = static_cast<const uint8_t*>(p);
        sent.push_back(Sent{nId, std::vector<uint8_t>(pb, pb + n)});
        return 0;
    });
    FakeEyeDevice device;
    device.info = Record(0x1122);
    device.pCamera = &camera;
    CKxEthernetEyeConfig config(nullptr);
    const uint8_t byMAC[6] = {0x02, 0x4b, 0x58, 0, 0, 0x77};
    {
        KxLogCapture log;
        EXPECT_EQ(0, config.SetDeviceMACAddress(&device, byMAC));
        EXPECT_THAT(sent, ElementsAre(Sent{2, std::vector<uint8_t>(byMAC, byMAC + 6)}));
        ASSERT_EQ(1u, host.m_backend.vecArp.size());
        const uint8_t byIP[4] = {203, 0, 113, 50};
        EXPECT_EQ(0, std::memcmp(host.m_backend.vecArp[0].byIP, byIP, 4));
        EXPECT_EQ(0, std::memcmp(host.m_backend.vecArp[0].byMAC, byMAC, 6));
        EXPECT_TRUE(log.HasLine(c_nKxLogDetail, "Set Source MAC: 0"));
        EXPECT_FALSE(log.HasLine(c_nKxLogError, "ARP Bind Failed"));
    }
    host.m_backend.vecArp.clear();
    host.m_backend.nWriteArpResult = 5;
    const uint8_t byMAC2[6] = {0x02, 0x4b, 0x58, 0, 0, 0x78};
    KxLogCapture log;
    EXPECT_EQ(0, config.SetDeviceMACAddress(&device, byMAC2));
    EXPECT_TRUE(log.HasLine(c_nKxLogError, "ARP Bind Failed"));
    EXPECT_EQ(device.nLocks, device.nUnlocks);
}

TEST(EthernetConfigDevice, NoCameraIsAssertedInDevelopmentBuilds) {
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    CKxEthernetEyeConfig config(nullptr);
    FakeEyeDevice noCamera;
    noCamera.info = Record(0x1122);
    const uint8_t byIP[4] = {192, 0, 2, 20};
    const uint8_t byMAC[6] = {0x02, 0x4b, 0x58, 0, 0, 0x77};
    int32_t n = 0;
    EXPECT_DEBUG_DEATH(n = config.SetDeviceIPAddress(&noCamera, byIP, nullptr, nullptr), "not open");
    EXPECT_DEBUG_DEATH(n += config.SetDeviceMACAddress(&noCamera, byMAC), "not open");
    EXPECT_DEBUG_DEATH(n += config.ResetDeviceDestAddress(&noCamera), "not open");
    EXPECT_DEBUG_DEATH(n += config.BindDeviceHostAddress(&noCamera), "not open");
#ifdef NDEBUG
    EXPECT_EQ(4 * -80000, n);  // every build answers -80000
    EXPECT_EQ(noCamera.nLocks, noCamera.nUnlocks);
#endif
}

// A record without its card (not from a search) gets -80000 from every operation that would need
// it, and nothing is sent: no command by an unknown road, no destination 0.0.0.0, no ARP entry.
TEST(EthernetConfig, RecordWithoutCardIsRefusedBeforeAnythingIsSent) {
    HostTables host;
    ConfigCameras cams;
    CKxEthernetEyeConfig config(nullptr);
    SKxNLEyeDeviceInfoEx info = Record();
    std::memset(&info.sNetCardInfo, 0, sizeof(info.sNetCardInfo));
    const uint8_t byNew[4] = {192, 0, 2, 20};
    EXPECT_EQ(-80000, config.SetIPAddress(&info, byNew, nullptr, nullptr));
    EXPECT_EQ(-80000, config.ResetDestAddress(&info));
    EXPECT_EQ(-80000, config.BindHostAddress(&info));
    EXPECT_EQ(0, cams.m_nCreated);

    NiceMock<KxMockCamera> camera;
    EXPECT_CALL(camera, SetParam(_, _, _)).Times(0);
    FakeEyeDevice device;
    device.info = info;
    device.pCamera = &camera;
    const uint8_t byMAC[6] = {0x02, 0x4b, 0x58, 0, 0, 0x77};
    EXPECT_EQ(-80000, config.SetDeviceIPAddress(&device, byNew, nullptr, nullptr));
    EXPECT_EQ(-80000, config.SetDeviceMACAddress(&device, byMAC));
    EXPECT_EQ(-80000, config.BindDeviceHostAddress(&device));
    EXPECT_TRUE(host.m_backend.vecArp.empty());
    EXPECT_EQ(device.nLocks, device.nUnlocks);
}

struct AddressCase {
    const char* pszName;
    std::array<uint8_t, 4> ip;
    int nExpect;
};

void PrintTo(const AddressCase& c, std::ostream* os) { *os << c.pszName; }

class UnusableAddresses : public ::testing::TestWithParam<AddressCase> {};

// Checked before anything is sent, for listed cameras and opened devices alike.
TEST_P(UnusableAddresses, AreRefusedWithTheHeadersCodes) {
    const AddressCase& c = GetParam();
    HostTables host;
    SKxNetCardRow other;  // a second card of the host
    other.strName = "eth1";
    other.nIndex = 7;
    other.nMACLength = 6;
    SKxNetCardAddress a{{198, 51, 100, 1}, {255, 255, 255, 0}};
    other.vecAddresses.push_back(a);
    host.m_backend.vecCards.push_back(other);
    ConfigCameras cams;
    CKxEthernetEyeConfig config(nullptr);
    SKxNLEyeDeviceInfoEx info = Record();
    const uint8_t byMask[4] = {255, 255, 255, 0}, byGateway[4] = {192, 0, 2, 254};
    std::memcpy(info.sNetCardInfo.byMask, byMask, 4);
    std::memcpy(info.sNetCardInfo.byGateway, byGateway, 4);
    if (c.nExpect == -69992) info.sNetCardInfo.byMask[0] = 0;
    EXPECT_EQ(c.nExpect, config.SetIPAddress(&info, c.ip.data(), nullptr, nullptr)) << c.pszName;
    EXPECT_EQ(c.nExpect == 0 ? 1 : 0, cams.m_nCreated) << c.pszName;

    NiceMock<KxMockCamera> camera;
    FakeEyeDevice device;
    device.info = info;
    device.pCamera = &camera;
    if (c.nExpect != 0) EXPECT_CALL(camera, SetParam(_, _, _)).Times(0);
    EXPECT_EQ(c.nExpect, config.SetDeviceIPAddress(&device, c.ip.data(), nullptr, nullptr)) << c.pszName;
}

INSTANTIATE_TEST_SUITE_P(
    Table, UnusableAddresses,
    ::testing::Values(AddressCase{"usable", {192, 0, 2, 20}, 0}, AddressCase{"another subnet", {198, 18, 0, 9}, 0},
                      AddressCase{"0.0.0.0", {0, 0, 0, 0}, -69991}, AddressCase{"loopback", {127, 0, 0, 1}, -69991},
                      AddressCase{"loopback net", {127, 1, 2, 3}, -69991},
                      AddressCase{"multicast", {224, 0, 0, 251}, -69991},
                      AddressCase{"reserved", {240, 0, 0, 1}, -69991},
                      AddressCase{"limited broadcast", {255, 255, 255, 255}, -69991},
                      AddressCase{"subnet's network", {192, 0, 2, 0}, -69991},
                      AddressCase{"subnet's broadcast", {192, 0, 2, 255}, -69991},
                      AddressCase{"the card's own", {192, 0, 2, 1}, -69991},
                      AddressCase{"another card of the host", {198, 51, 100, 1}, -69991},
                      AddressCase{"the gateway", {192, 0, 2, 254}, -69990},
                      AddressCase{"card mask unusable", {192, 0, 2, 20}, -69992}));

TEST(EthernetConfigDevice, UnusableMACsAreRefused) {
    HostTables host;
    CKxEthernetEyeConfig config(nullptr);
    NiceMock<KxMockCamera> camera;
    EXPECT_CALL(camera, SetParam(_, _, _)).Times(0);
    FakeEyeDevice device;
    device.info = Record();
    device.pCamera = &camera;
    const uint8_t byZero[6] = {0, 0, 0, 0, 0, 0}, byAll[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
                  byMulticast[6] = {0x01, 0x00, 0x5e, 0, 0, 1};
    for (const uint8_t* p : {byZero, byAll, byMulticast}) EXPECT_EQ(-69991, config.SetDeviceMACAddress(&device, p));
}

// A camera without identifier is told apart from others at its address by its MAC only: the
// host's ARP entry for the address is pinned to the record's MAC before the command, which goes
// by the address through the record's card; the bytes sent move that camera.
TEST(EthernetConfig, CameraWithoutIdentifierIsReachedByItsPinnedAddress) {
    HostTables host;
    ConfigCameras cams;
    cams.m_strConnect = "203.0.113.50";
    std::vector<SKxArpRow> vecAtSend;
    cams.m_onSend = [&] { vecAtSend = host.m_backend.vecArp; };
    CKxEthernetEyeConfig config(nullptr);
    SKxNLEyeDeviceInfoEx info = Record();
    std::memset(info.byDeviceID, 0xFF, 8);
    const uint8_t byNew[4] = {192, 0, 2, 20};
    EXPECT_EQ(0, config.SetIPAddress(&info, byNew, nullptr, nullptr));
    EXPECT_TRUE(cams.m_vecSelected.empty());
    EXPECT_EQ("192.0.2.1", cams.m_strLocal);
    EXPECT_THAT(cams.m_vecSent, ElementsAre(Sent{4, {20, 2, 0, 192}}));
    ASSERT_EQ(1u, vecAtSend.size());
    const uint8_t byOld[4] = {203, 0, 113, 50};
    EXPECT_EQ(0, std::memcmp(vecAtSend[0].byIP, byOld, 4));
    EXPECT_EQ(0, std::memcmp(vecAtSend[0].byMAC, c_byCamMAC, 6));
    EXPECT_EQ(5u, vecAtSend[0].nIndex);
    // After: the new address pinned to the same MAC, the old pin gone.
    ASSERT_EQ(1u, host.m_backend.vecArp.size());
    EXPECT_EQ(0, std::memcmp(host.m_backend.vecArp[0].byIP, byNew, 4));

    // The destination pair: the record's card address and MAC, to the same camera.
    cams.m_vecSent.clear();
    EXPECT_EQ(0, config.BindHostAddress(&info));
    EXPECT_THAT(cams.m_vecSent, ElementsAre(Sent{5, {1, 2, 0, 192}}, Sent{3, std::vector<uint8_t>(c_byCardMAC, c_byCardMAC + 6)}));
}
