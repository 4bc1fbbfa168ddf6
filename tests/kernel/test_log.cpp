// Log sinks: level filter, callback with the bare line, file with level tags, env variables.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "kxkernel_testsupport.h"

namespace {

// The tests provoke error lines on purpose; keep stderr for the test runner's own output.
class QuietStderr : public ::testing::Environment {
public:
    void SetUp() override { KxLogUtils::SetLogLevel(0); }
};
::testing::Environment* const g_pQuiet = ::testing::AddGlobalTestEnvironment(new QuietStderr);

std::string ReadAll(const std::string& path) {
    std::ifstream f(path.c_str());
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

class LogTest : public ::testing::Test {
protected:
    void SetUp() override { m_nSavedLevel = KxLogUtils::GetLogLevel(); }
    void TearDown() override {
        unsetenv("KXEYE_LOG_LEVEL");
        unsetenv("KXEYE_LOG_FILE");
        KxLogUtils::SetLogFile(NULL);
        KxLogUtils::SetLogLevel(m_nSavedLevel);
    }
    int m_nSavedLevel;
};

TEST_F(LogTest, CaptureGetsExactFormattedLinesWithoutTrailingNewline) {
    KxLogCapture capture;
    KxLogUtils::PrintLog(c_nKxLogError, "%s Capturing", "CKxLaserEyeDevice::SetFrameRate");
    KxLogUtils::PrintLog(c_nKxLogDetail, "ROI %d %d Set FrameRate %d\n", 600, 1000, 20);
    EXPECT_TRUE(capture.HasLine(c_nKxLogError, "CKxLaserEyeDevice::SetFrameRate Capturing"));
    EXPECT_TRUE(capture.HasLine(c_nKxLogDetail, "ROI 600 1000 Set FrameRate 20"));
    EXPECT_FALSE(capture.HasLine(c_nKxLogError, "ROI 600 1000 Set FrameRate 20"));
    EXPECT_TRUE(capture.Contains(c_nKxLogDetail, "FrameRate"));
}

TEST_F(LogTest, CallbackLevelFiltersAndRemovalStopsDelivery) {
    {
        KxLogCapture capture(c_nKxLogWarning);
        KxLogUtils::PrintLog(c_nKxLogError, "e");
        KxLogUtils::PrintLog(c_nKxLogWarning, "w");
        KxLogUtils::PrintLog(c_nKxLogState, "s");
        KxLogUtils::PrintLog(c_nKxLogDetail, "d");
        std::vector<KxLogCapture::Entry> lines = capture.Lines();
        ASSERT_EQ(2u, lines.size());
        EXPECT_EQ(KxLogCapture::Entry(c_nKxLogError, "e"), lines[0]);
        EXPECT_EQ(KxLogCapture::Entry(c_nKxLogWarning, "w"), lines[1]);
    }
    // The capture above is gone; a new one must not see lines logged before it existed.
    KxLogCapture later;
    EXPECT_EQ(0u, later.Count());
}

TEST_F(LogTest, LongLineIsCutSafelyAndMarked) {
    KxLogCapture capture;
    std::string big(5000, 'x');
    KxLogUtils::PrintLog(c_nKxLogError, "%s", big.c_str());
    std::vector<std::string> lines = capture.Lines(c_nKxLogError);
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(1023u, lines[0].size());
    EXPECT_EQ("...", lines[0].substr(lines[0].size() - 3));
}

// What stderr receives while fn runs, through a temporary file in place of descriptor 2.
std::string StderrOf(void (*fn)()) {
    char szPath[] = "/tmp/kxlog-stderr-XXXXXX";
    const int fd = mkstemp(szPath);
    if (fd < 0) return "(no temporary file)";
    fflush(stderr);
    const int nSaved = dup(2);
    dup2(fd, 2);
    fn();
    fflush(stderr);
    dup2(nSaved, 2);
    close(nSaved);
    close(fd);
    const std::string str = ReadAll(szPath);
    unlink(szPath);
    return str;
}

// A callback routes the lines: stderr stays quiet while it is set, and speaks again after.
TEST_F(LogTest, CallbackRoutesLinesAwayFromStderr) {
    const std::string strWith = StderrOf([] {
        KxLogUtils::SetLogLevel(c_nKxLogWarning);
        KxLogCapture capture(c_nKxLogWarning);
        KxLogUtils::PrintLog(c_nKxLogWarning, "routed warning");
        EXPECT_TRUE(capture.HasLine(c_nKxLogWarning, "routed warning"));
    });
    EXPECT_EQ(strWith, "");
    const std::string strAfter = StderrOf([] {
        KxLogUtils::SetLogLevel(c_nKxLogWarning);
        KxLogUtils::PrintLog(c_nKxLogWarning, "plain warning");
    });
    EXPECT_EQ(strAfter, "[kx W] plain warning\n");
}

TEST_F(LogTest, CallbackMayLogAgainWithoutDeadlock) {
    struct Ctx {
        int n;
    } ctx = {0};
    KxLogUtils::SetLogCallback(
        [](int, const char*, void* p) {
            Ctx* c = static_cast<Ctx*>(p);
            if (c->n++ == 0) KxLogUtils::PrintLog(c_nKxLogDetail, "nested");
        },
        &ctx, c_nKxLogDetail);
    KxLogUtils::PrintLog(c_nKxLogError, "outer");
    KxLogUtils::SetLogCallback(NULL, NULL, 0);
    EXPECT_EQ(2, ctx.n);
}

TEST_F(LogTest, ManyThreadsLoseNoLine) {
    KxLogCapture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.push_back(std::thread([t] {
            for (int i = 0; i < 200; ++i) KxLogUtils::PrintLog(c_nKxLogDetail, "t%d i%d", t, i);
        }));
    for (size_t i = 0; i < threads.size(); ++i) threads[i].join();
    EXPECT_EQ(800u, capture.Count());
    EXPECT_TRUE(capture.HasLine(c_nKxLogDetail, "t3 i199"));
}

TEST_F(LogTest, StderrShowsTaggedLinesUpToItsLevel) {
    KxLogUtils::SetLogLevel(c_nKxLogWarning);
    ::testing::internal::CaptureStderr();
    KxLogUtils::PrintLog(c_nKxLogError, "bad %d", 1);
    KxLogUtils::PrintLog(c_nKxLogWarning, "careful");
    KxLogUtils::PrintLog(c_nKxLogState, "hidden state");
    std::string out = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ("[kx E] bad 1\n[kx W] careful\n", out);

    KxLogUtils::SetLogLevel(0);
    ::testing::internal::CaptureStderr();
    KxLogUtils::PrintLog(c_nKxLogError, "silenced");
    EXPECT_EQ("", ::testing::internal::GetCapturedStderr());
}

TEST_F(LogTest, EnvironmentSetsLevelAndFile) {
    const std::string path = ::testing::TempDir() + "kx_log_env_" + std::to_string(getpid()) + ".txt";
    std::remove(path.c_str());
    setenv("KXEYE_LOG_LEVEL", "4", 1);
    setenv("KXEYE_LOG_FILE", path.c_str(), 1);
    KxLogUtils::ReloadFromEnvironment();
    EXPECT_EQ(c_nKxLogDetail, KxLogUtils::GetLogLevel());
    ::testing::internal::CaptureStderr();
    KxLogUtils::PrintLog(c_nKxLogDetail, "detail %s", "line");
    KxLogUtils::PrintLog(c_nKxLogError, "error line");
    ::testing::internal::GetCapturedStderr();
    KxLogUtils::SetLogFile(NULL);
    EXPECT_EQ("[kx D] detail line\n[kx E] error line\n", ReadAll(path));

    // Out of range or not a number: the default stays.
    setenv("KXEYE_LOG_LEVEL", "9", 1);
    unsetenv("KXEYE_LOG_FILE");
    KxLogUtils::ReloadFromEnvironment();
    EXPECT_EQ(c_nKxLogWarning, KxLogUtils::GetLogLevel());
    setenv("KXEYE_LOG_LEVEL", "abc", 1);
    KxLogUtils::ReloadFromEnvironment();
    EXPECT_EQ(c_nKxLogWarning, KxLogUtils::GetLogLevel());
    std::remove(path.c_str());
}

TEST_F(LogTest, BadArgumentsAreHarmless) {
    KxLogCapture capture;
    KxLogUtils::PrintLog(c_nKxLogError, NULL);
    EXPECT_EQ(0u, capture.Count());
    EXPECT_FALSE(KxLogUtils::SetLogFile("/nonexistent-dir/x/log.txt"));
    EXPECT_TRUE(KxLogUtils::SetLogFile(""));
}

}  // namespace
