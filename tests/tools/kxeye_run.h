// Runs the built kxeye with a chosen virtual camera configuration in a temporary folder.
#ifndef KXEYE_RUN_H
#define KXEYE_RUN_H

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

struct SKxEyeRun {
    int nExit = -1;
    std::string strOut;
    std::string strErr;
};

inline std::string KxEyeReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class KxEyeRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        char szTemplate[] = "/tmp/kxeye-test-XXXXXX";
        ASSERT_NE(mkdtemp(szTemplate), nullptr);
        m_dir = szTemplate;
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }
    static std::string Quote(const std::string& s) {
        std::string q = "'";
        for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return q + "'";
    }
    // Runs a program with the default virtual camera (empty strCameras: the variable unset) or
    // with the given camera configuration; stdout and stderr kept apart, stdout into a file
    // instead when strStdout names one.
    SKxEyeRun RunProgram(const std::string& strProgram, const std::vector<std::string>& vecArgs,
                         const std::string& strCameras = "", const std::string& strStdout = "") {
        std::string strCmd = "env -u KXEYE_LOG_LEVEL ";
        if (strCameras.empty()) {
            strCmd += "-u KXEYE_VIRTUAL_CAMERAS ";
        } else {
            strCmd += "KXEYE_VIRTUAL_CAMERAS=";
            strCmd += Quote(strCameras);
            strCmd += ' ';
        }
        strCmd += Quote(strProgram);
        for (const std::string& a : vecArgs) {
            strCmd += ' ';
            strCmd += Quote(a);
        }
        const std::filesystem::path errPath = m_dir / "stderr.txt";
        strCmd += " 2>";
        strCmd += Quote(errPath.string());
        strCmd += " </dev/null";
        if (!strStdout.empty()) strCmd += " >" + Quote(strStdout);
        SKxEyeRun run;
        FILE* pPipe = popen(strCmd.c_str(), "r");
        if (!pPipe) return run;
        char szBuffer[4096];
        size_t n;
        while ((n = fread(szBuffer, 1, sizeof(szBuffer), pPipe)) > 0) run.strOut.append(szBuffer, n);
        const int nStatus = pclose(pPipe);
        run.nExit = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
        run.strErr = KxEyeReadFile(errPath);
        return run;
    }
    SKxEyeRun Kxeye(const std::vector<std::string>& vecArgs, const std::string& strCameras = "") {
        return RunProgram(KXEYE_PATH, vecArgs, strCameras);
    }

    std::filesystem::path m_dir;
};

#endif
