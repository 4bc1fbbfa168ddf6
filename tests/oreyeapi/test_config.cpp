// The virtual camera configuration is strict: every bad configuration is refused with a message
// that names the key and what is wrong, and leaves no camera rather than a different one.
#include <fstream>

#include <gmock/gmock.h>

#include "vcam_fixture.h"

namespace {

std::string Refusal(const std::string& strJson) {
    setenv("KXEYE_VIRTUAL_CAMERAS", strJson.c_str(), 1);
    const int nReload = OrEyeTest::ReloadVirtualCameras();
    char sz[512];
    memset(sz, 'x', sizeof(sz));
    const int nCheck = OrEyeCheckVirtualCameras(sz, sizeof(sz));
    if (nCheck == c_nOrEyeOK) {
        EXPECT_GE(nReload, 0) << strJson;
        return std::string("taken: ") + std::to_string(nReload);
    }
    EXPECT_EQ(nReload, nCheck) << strJson;
    EXPECT_EQ(c_nOrEyeBadArgument, nCheck);
    EXPECT_EQ(0, OrEyeTest::VirtualCameraCount()) << strJson;
    EXPECT_EQ(nullptr, OrEyeTest::VirtualCamera(0));
    return sz;
}

class Config : public ::testing::Test {
protected:
    void TearDown() override {
        unsetenv("KXEYE_VIRTUAL_CAMERAS");
        OrEyeTest::ReloadVirtualCameras();
    }
};

struct SCase {
    const char* pszJson;
    const char* pszMessage;
};

TEST_F(Config, EveryBadConfigurationNamesItsKey) {
    const SCase aCases[] = {
        {R"([{"verison": 7}])", "camera 0: unknown key \"verison\""},
        {R"([{"version": 9}])", "camera 0.version: must be 0 to 8 (got 9)"},
        {R"([{"version": "8"}])", "camera 0.version: must be an integer 0 to 8 (got \"8\")"},
        {R"([{"version": 7.5}])", "camera 0.version: must be an integer 0 to 8 (got 7.5)"},
        {R"([{}, {"width": 10}])", "camera 1.width: must be 64 to 4095 (got 10)"},
        {R"([{"height": 5000}])", "camera 0.height: must be 256 to 4096 (got 5000)"},
        {R"([{"kind": "robot"}])", "camera 0.kind: must be \"laser\" or \"smart\" (got \"robot\")"},
        {R"([{"swing_motor": 1}])", "camera 0.swing_motor: must be true or false (got 1)"},
        {R"([{"serial": "VC123456789"}])", "camera 0.serial: has at most 8 characters (got 11)"},
        {R"([{"device_id": 12}])", "camera 0.device_id: must be a text (got 12)"},
        {R"([{"start_counter": -1}])", "camera 0.start_counter: must be 0 to 4294967295 (got -1)"},
        {R"([{"start_timestamp": 4294967296}])",
         "camera 0.start_timestamp: must be 0 to 4294967295 (got 4294967296)"},
        {R"([{"compensation": [[1, 2], [3]]}])", "camera 0.compensation[1]: must be an [A, B] pair (got [3])"},
        {R"([{"compensation": [[1, "a"]]}])", "camera 0.compensation[0][1]: must be a number (got \"a\")"},
        {R"([{"param_block": {"version": 4}}])", "camera 0.param_block.version: must be 1 to 3 (got 4)"},
        {R"([{"param_block": {"offset": [1, 2]}}])", "camera 0.param_block.offset: must be [x, y, z] (got [1,2])"},
        {R"([{"param_block": {"ofset": [1, 2, 3]}}])", "camera 0.param_block: unknown key \"ofset\""},
        {R"([{"param_block": 1}])", "camera 0.param_block: must be false, true or an object (got 1)"},
        {R"([{"faults": [{"op": "GetParm"}]}])", "camera 0.faults[0].op: unknown operation \"GetParm\""},
        {R"([{"faults": [{"op": "GetParam", "cnt": 2}]}])", "camera 0.faults[0]: unknown key \"cnt\""},
        {R"([{"faults": [{"op": "GetParam", "code": 5}]}])",
         "camera 0.faults[0].code: must be -2147483648 to -1 (got 5)"},
        {R"([{"faults": [{"code": -10014}]}])", "camera 0.faults[0]: needs \"op\""},
        {R"([{"storage_file": ""}])", "camera 0.storage_file: must not be empty"},
        {R"([7])", "camera 0: must be an object (got 7)"},
        {R"({"count": 5})", "count: must be 0 to 4 (got 5)"},
        {R"({"count": 1, "cameras": [{}, {}]})", "count: 1 is less than the 2 entries of \"cameras\""},
        {R"({"cameras": {"version": 8}})", "cameras: must be a list (got {\"version\":8})"},
        {R"({"camera": []})", "configuration: unknown key \"camera\""},
        {R"({"defaults": {"widht": 640}, "count": 1})", "defaults: unknown key \"widht\""},
        {R"([{}, {}, {}, {}, {}])", "cameras: at most 4 cameras (got 5)"},
    };
    for (const SCase& c : aCases)
        EXPECT_EQ(std::string("KXEYE_VIRTUAL_CAMERAS: ") + c.pszMessage, Refusal(c.pszJson)) << c.pszJson;
}

TEST_F(Config, TextThatIsNotJsonOrAnUnreadableFileIsRefused) {
    EXPECT_THAT(Refusal(R"([{"version": 8)"), ::testing::StartsWith("KXEYE_VIRTUAL_CAMERAS: not valid JSON: "));
    EXPECT_EQ("KXEYE_VIRTUAL_CAMERAS: cannot read file /nonexistent/cameras.json",
              Refusal("/nonexistent/cameras.json"));
}

TEST_F(Config, CountAloneGivesThatManyDefaultCameras) {
    EXPECT_EQ("taken: 2", Refusal(R"({"count": 2})"));
    std::unique_ptr<IOrEyeCamera> p(CreateOrEyeApi(OREYEAPI_TYPE_LOCAL));
    ASSERT_EQ(c_nOrEyeOK, p->InitDevice(0, 0, 0, 3, "virtual:1"));
    char szSerial[8];
    ASSERT_EQ(c_nOrEyeOK, p->ReadProduct(4, szSerial, 8));
    EXPECT_EQ("VC000002", std::string(szSerial, 8));
    EXPECT_EQ("taken: 0", Refusal(R"({"count": 0})"));
    // Defaults reach every camera; an entry overrides them.
    EXPECT_EQ("taken: 3", Refusal(R"({"count": 3, "defaults": {"version": 5}, "cameras": [{"version": 6}]})"));
    p.reset(CreateOrEyeApi(OREYEAPI_TYPE_LOCAL));
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(c_nOrEyeOK, p->InitDevice(0, 0, 0, 3, ("virtual:" + std::to_string(i)).c_str()));
        uint8_t b[52];
        ASSERT_EQ(c_nOrEyeOK, p->GetParam(54, b, 52));
        EXPECT_EQ(i == 0 ? 6 : 5, KxLaserInfo::GetWord(b, KxLaserInfo::c_nWordVersion));
    }
}

TEST_F(Config, ARefusedConfigurationLeavesNoCameraToOpen) {
    Refusal(R"([{"verison": 7}])");
    std::unique_ptr<IOrEyeCamera> p(CreateOrEyeApi(OREYEAPI_TYPE_LOCAL));
    EXPECT_EQ(c_nOrEyeNoDevice, p->InitDevice(0, 0, 0, 3, nullptr));
    unsigned char t[308];
    EXPECT_EQ(c_nOrEyeBadArgument, p->ListDevices(t));
    EXPECT_EQ(0, t[0]);
    // Without the variable the default camera is back and nothing is refused.
    unsetenv("KXEYE_VIRTUAL_CAMERAS");
    EXPECT_EQ(1, OrEyeTest::ReloadVirtualCameras());
    char sz[8] = "x";
    EXPECT_EQ(c_nOrEyeOK, OrEyeCheckVirtualCameras(sz, sizeof(sz)));
    EXPECT_STREQ("", sz);
}

}  // namespace
