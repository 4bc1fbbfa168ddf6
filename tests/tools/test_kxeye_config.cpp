// kxeye over a refused or unusual virtual camera configuration, and its --log-level reaching the
// camera library's lines.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "kxeye_run.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class KxEyeConfig : public KxEyeRunTest {};

TEST_F(KxEyeConfig, ARefusedConfigurationFailsEveryLocalCommandWithItsReason) {
    struct SCase {
        const char* pszCameras;
        const char* pszReason;
    };
    const SCase aCases[] = {
        {R"([{"verison": 7}])", "camera 0: unknown key \"verison\""},
        {R"([{"version": 9}])", "camera 0.version: must be 0 to 8 (got 9)"},
        {R"({"count": 2, "cameras": [{}, {"swing_motor": "no"}]})", "camera 1.swing_motor: must be true or false"},
        {R"([{"version": 8})", "not valid JSON"},
        {"/nonexistent/cameras.json", "cannot read file /nonexistent/cameras.json"},
    };
    for (const SCase& c : aCases) {
        for (const std::vector<std::string>& vecArgs :
             {std::vector<std::string>{"list"}, std::vector<std::string>{"info", "0"},
              std::vector<std::string>{"--log-level", "0", "list", "--json"}}) {
            const SKxEyeRun run = Kxeye(vecArgs, c.pszCameras);
            EXPECT_EQ(1, run.nExit) << c.pszCameras << "\n" << run.strOut << run.strErr;
            EXPECT_THAT(run.strErr, HasSubstr(std::string("kxeye: KXEYE_VIRTUAL_CAMERAS: ") + c.pszReason))
                << c.pszCameras;
            EXPECT_EQ("", run.strOut) << c.pszCameras;
        }
    }
    // The codes table needs no camera.
    EXPECT_EQ(0, Kxeye({"codes"}, R"([{"verison": 7}])").nExit);
}

TEST_F(KxEyeConfig, CountAloneListsThatManyCameras) {
    const SKxEyeRun run = Kxeye({"list"}, R"({"count": 2})");
    ASSERT_EQ(0, run.nExit) << run.strErr;
    EXPECT_THAT(run.strOut, HasSubstr("OrvikEye-Laser-0"));
    EXPECT_THAT(run.strOut, HasSubstr("OrvikEye-Laser-1"));
}

TEST_F(KxEyeConfig, LogLevelCoversTheCameraLibrary) {
    // A refused configuration is said once, by kxeye, whatever the level: the camera library's
    // own error line about it would only repeat it.
    const char* const pszBad = R"([{"verison": 7}])";
    for (const char* pszLevel : {"0", "1", "2", "4"}) {
        const std::string strErr = Kxeye({"--log-level", pszLevel, "list"}, pszBad).strErr;
        size_t nTimes = 0;
        for (size_t n = strErr.find("unknown key"); n != std::string::npos; n = strErr.find("unknown key", n + 1)) ++nTimes;
        EXPECT_EQ(1u, nTimes) << "level " << pszLevel << ":\n" << strErr;
        EXPECT_THAT(strErr, Not(HasSubstr("[OrEyeApi error]"))) << "level " << pszLevel;
    }
    EXPECT_THAT(Kxeye({"list"}, pszBad).strErr, HasSubstr("kxeye: KXEYE_VIRTUAL_CAMERAS: camera 0: unknown key"));
    // Details of the camera library show at level 4 only.
    EXPECT_THAT(Kxeye({"--log-level", "4", "info", "0"}).strErr, HasSubstr("[OrEyeApi debug]"));
    EXPECT_THAT(Kxeye({"--log-level", "3", "info", "0"}).strErr, Not(HasSubstr("[OrEyeApi debug]")));
    const SKxEyeRun quiet = Kxeye({"--log-level", "0", "info", "0"});
    EXPECT_EQ(0, quiet.nExit);
    EXPECT_EQ("", quiet.strErr);
}

}  // namespace
