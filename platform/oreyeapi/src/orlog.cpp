#include "orlog.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {
// Warnings and errors by default: a camera library should not chatter on stderr.
std::atomic<int> g_nLevel{Orvik::utilSystem::LogLevel_Warning};
std::mutex g_mtxOut;

const char* LevelName(Orvik::utilSystem::LogLevel e) {
    switch (e) {
    case Orvik::utilSystem::LogLevel_Trace: return "trace";
    case Orvik::utilSystem::LogLevel_Verbose: return "verbose";
    case Orvik::utilSystem::LogLevel_Debug: return "debug";
    case Orvik::utilSystem::LogLevel_Info: return "info";
    case Orvik::utilSystem::LogLevel_Warning: return "warning";
    case Orvik::utilSystem::LogLevel_Error: return "error";
    default: return "?";
    }
}
}  // namespace

namespace Orvik {
namespace utilSystem {
void Logger::setLogLevel(LogLevel eLevel) {
    int n = static_cast<int>(eLevel);
    if (n < LogLevel_Trace) n = LogLevel_Trace;
    if (n > LogLevel_Off) n = LogLevel_Off;
    g_nLevel.store(n);
}
LogLevel Logger::getLogLevel() { return static_cast<LogLevel>(g_nLevel.load()); }
}  // namespace utilSystem
}  // namespace Orvik

namespace OrLog {
void Print(Orvik::utilSystem::LogLevel eLevel, const char* pszFormat, ...) {
    if (static_cast<int>(eLevel) < g_nLevel.load() || eLevel >= Orvik::utilSystem::LogLevel_Off)
        return;
    char szLine[512];
    va_list ap;
    va_start(ap, pszFormat);
    vsnprintf(szLine, sizeof(szLine), pszFormat, ap);
    va_end(ap);
    std::lock_guard<std::mutex> lock(g_mtxOut);
    fprintf(stderr, "[OrEyeApi %s] %s\n", LevelName(eLevel), szLine);
}
}  // namespace OrLog
