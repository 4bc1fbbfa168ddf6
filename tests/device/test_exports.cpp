// The shared library's export table holds the SDK's C entry points and nothing else.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>

namespace {

// Exactly the four entry points: none missing, nothing else.
const std::set<std::string> c_setAllowed = {"KxCreateLaserEyeDevice", "KxConfigLaserEyeLogLevel",
                                            "KxCreateLaserEyeDeviceEnumrator",
                                            "KxCreateLaserEyeEthernetEyeConfig"};
const std::set<std::string> c_setRequired = c_setAllowed;

// Symbols every ELF shared object defines for the loader.
bool IsLinkerSymbol(const std::string& name) {
    return name == "_init" || name == "_fini" || name == "_edata" || name == "_end" || name == "__bss_start";
}

TEST(ExportTable, OnlyTheEntryPoints) {
    const std::string cmd = std::string("nm -D --defined-only '") + KX_DEVICE_LIBRARY + "'";
    FILE* pPipe = popen(cmd.c_str(), "r");
    ASSERT_NE(nullptr, pPipe);
    std::set<std::string> setFound;
    std::string unexpected;
    char szLine[1024];
    while (std::fgets(szLine, sizeof(szLine), pPipe)) {
        std::istringstream in(szLine);
        std::string addr, type, name;
        in >> addr >> type >> name;
        if (name.empty()) continue;
        if (IsLinkerSymbol(name)) continue;
        setFound.insert(name);
        if (!c_setAllowed.count(name)) unexpected += "  " + type + " " + name + "\n";
    }
    ASSERT_EQ(0, pclose(pPipe)) << cmd;
    EXPECT_TRUE(unexpected.empty()) << "unexpected exports:\n" << unexpected;
    for (const std::string& name : c_setRequired) EXPECT_TRUE(setFound.count(name)) << name;
}

}  // namespace
