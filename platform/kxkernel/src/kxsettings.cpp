// Process-wide switches, read once from the environment; tests replace them with SetSetting.
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "kxkernel.h"

namespace {

std::mutex g_mutex;
SKxGlobalSetting g_setting;
bool g_bLoaded = false;

// "1" or any other non-zero integer switches on; unset, empty, "0" or text that is not a number
// leaves it off (with a warning for the last, so that a typo does not go unnoticed).
uint8_t ReadSwitch(const char* pszName) {
    const char* pszValue = getenv(pszName);
    if (pszValue == NULL || pszValue[0] == '\0') return 0;
    char* pEnd = NULL;
    long n = strtol(pszValue, &pEnd, 10);
    if (pEnd == pszValue || *pEnd != '\0') {
        KxLogUtils::PrintLog(c_nKxLogWarning, "Setting %s Ignored: \"%s\" Is Not A Number", pszName,
                             pszValue);
        return 0;
    }
    return n != 0 ? 1 : 0;
}

void LoadLocked() {
    SKxGlobalSetting s;
    memset(&s, 0, sizeof(s));
    s.bySearchPerCard = ReadSwitch("KXEYE_SEARCH_PER_CARD");
    s.byExtendedTrailer = ReadSwitch("KXEYE_EXTENDED_TRAILER");
    s.byCenterROI = ReadSwitch("KXEYE_CENTER_ROI");
    s.byListVirtualCards = ReadSwitch("KXEYE_VIRTUAL_CARDS");
    g_setting = s;
    g_bLoaded = true;
}

}  // namespace

namespace KxGlobalSetting {

const SKxGlobalSetting* GetSetting() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_bLoaded) LoadLocked();
    return &g_setting;
}

void SetSetting(const SKxGlobalSetting& setting) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_setting = setting;
    g_bLoaded = true;
}

void ReloadFromEnvironment() {
    std::lock_guard<std::mutex> lock(g_mutex);
    LoadLocked();
}

}  // namespace KxGlobalSetting
