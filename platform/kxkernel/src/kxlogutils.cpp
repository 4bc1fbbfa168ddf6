// Logging: one formatted line fanned out to the stderr, file and application sinks.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "kxkernel.h"

namespace {

const unsigned int c_nLineBytes = 1024;

struct SLogState {
    // Recursive so that an application callback may log again from inside the callback.
    std::recursive_mutex mutex;
    int nStderrLevel;
    FILE* pFile;
    KxLogCallback pfnCallback;
    void* pCallbackContext;
    int nCallbackLevel;
    bool bEnvRead;

    SLogState()
        : nStderrLevel(c_nKxLogWarning), pFile(NULL), pfnCallback(NULL), pCallbackContext(NULL),
          nCallbackLevel(0), bEnvRead(false) {}
    ~SLogState() {
        if (pFile != NULL) fclose(pFile);
    }
};

// Constructed on first use so that logging from other libraries' static initialisers works.
SLogState& State() {
    static SLogState* s_pState = new SLogState();  // never destroyed: late loggers stay safe
    return *s_pState;
}

const char* LevelTag(int nLevel) {
    switch (nLevel) {
    case c_nKxLogError: return "[kx E] ";
    case c_nKxLogWarning: return "[kx W] ";
    case c_nKxLogState: return "[kx S] ";
    case c_nKxLogDetail: return "[kx D] ";
    default: return "[kx ?] ";
    }
}

bool OpenFileLocked(SLogState& st, const char* pszPath) {
    if (st.pFile != NULL) {
        fclose(st.pFile);
        st.pFile = NULL;
    }
    if (pszPath == NULL || pszPath[0] == '\0') return true;
    st.pFile = fopen(pszPath, "a");
    return st.pFile != NULL;
}

// The environment is read once, under the lock, before the first use of any sink.
void ReadEnvLocked(SLogState& st) {
    if (st.bEnvRead) return;
    st.bEnvRead = true;
    const char* pszLevel = getenv("KXEYE_LOG_LEVEL");
    if (pszLevel != NULL && pszLevel[0] != '\0') {
        char* pEnd = NULL;
        long n = strtol(pszLevel, &pEnd, 10);
        if (pEnd != pszLevel && *pEnd == '\0' && n >= 0 && n <= c_nKxLogDetail)
            st.nStderrLevel = static_cast<int>(n);
    }
    const char* pszFile = getenv("KXEYE_LOG_FILE");
    if (pszFile != NULL && pszFile[0] != '\0') OpenFileLocked(st, pszFile);
}

int ClampLevel(int nLevel) {
    if (nLevel < 0) return 0;
    if (nLevel > c_nKxLogDetail) return c_nKxLogDetail;
    return nLevel;
}

}  // namespace

namespace KxLogUtils {

void VPrintLog(int nLevel, const char* pszFormat, va_list args) {
    if (pszFormat == NULL) return;
    char szLine[c_nLineBytes];
    int n = vsnprintf(szLine, sizeof(szLine), pszFormat, args);
    if (n < 0) {
        snprintf(szLine, sizeof(szLine), "(unformattable log line: %s)", pszFormat);
        n = static_cast<int>(strlen(szLine));
    }
    size_t nLen = strlen(szLine);
    if (static_cast<unsigned int>(n) >= sizeof(szLine) && nLen >= 3) {
        // Cut lines are marked so that nobody mistakes them for the whole message.
        memcpy(szLine + nLen - 3, "...", 3);
    }
    // Sinks add their own line end; a caller's trailing newline would double it.
    while (nLen > 0 && (szLine[nLen - 1] == '\n' || szLine[nLen - 1] == '\r')) szLine[--nLen] = '\0';

    SLogState& st = State();
    std::lock_guard<std::recursive_mutex> lock(st.mutex);
    ReadEnvLocked(st);
    // An application that sets a callback takes the lines into its own logger: stderr stays
    // quiet meanwhile and speaks again once the callback is removed.
    if (st.pfnCallback == NULL && nLevel <= st.nStderrLevel) {
        fprintf(stderr, "%s%s\n", LevelTag(nLevel), szLine);
    }
    if (st.pFile != NULL) {
        fprintf(st.pFile, "%s%s\n", LevelTag(nLevel), szLine);
        fflush(st.pFile);
    }
    if (st.pfnCallback != NULL && nLevel <= st.nCallbackLevel) {
        st.pfnCallback(nLevel, szLine, st.pCallbackContext);
    }
}

void PrintLog(int nLevel, const char* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    VPrintLog(nLevel, pszFormat, args);
    va_end(args);
}

void SetLogLevel(int nLevel) {
    SLogState& st = State();
    std::lock_guard<std::recursive_mutex> lock(st.mutex);
    ReadEnvLocked(st);
    st.nStderrLevel = ClampLevel(nLevel);
}

int GetLogLevel() {
    SLogState& st = State();
    std::lock_guard<std::recursive_mutex> lock(st.mutex);
    ReadEnvLocked(st);
    return st.nStderrLevel;
}

bool SetLogFile(const char* pszPath) {
    SLogState& st = State();
    std::lock_guard<std::recursive_mutex> lock(st.mutex);
    ReadEnvLocked(st);
    return OpenFileLocked(st, pszPath);
}

void SetLogCallback(KxLogCallback pfn, void* pContext, int nLevel) {
    // Taking the lock means no call to the old callback is still running once this returns.
    SLogState& st = State();
    std::lock_guard<std::recursive_mutex> lock(st.mutex);
    ReadEnvLocked(st);
    st.pfnCallback = pfn;
    st.pCallbackContext = pfn != NULL ? pContext : NULL;
    st.nCallbackLevel = pfn != NULL ? ClampLevel(nLevel) : 0;
}

void ReloadFromEnvironment() {
    SLogState& st = State();
    std::lock_guard<std::recursive_mutex> lock(st.mutex);
    // Back to the defaults first, so that an unset variable really means the default.
    st.bEnvRead = false;
    st.nStderrLevel = c_nKxLogWarning;
    OpenFileLocked(st, NULL);
    ReadEnvLocked(st);
}

}  // namespace KxLogUtils
