// Process-wide switches, read once from the environment; tests replace them with SetSetting.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "kxkernel.h"

namespace {

std::mutex g_mutex;
SKxGlobalSetting g_setting;
bool g_bLoaded = false;
// Virtual network cards to list: every one (bAll) or these names.
bool g_bAllVirtualCards = false;
std::vector<std::string> g_vecVirtualCards;

// Comma-separated names with blanks around them dropped; "*" among them means every card.
void ParseVirtualCards(const char* pszNames) {
    g_bAllVirtualCards = false;
    g_vecVirtualCards.clear();
    if (pszNames == NULL) return;
    std::string text(pszNames);
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find(',', pos);
        if (end == std::string::npos) end = text.size();
        std::string name = text.substr(pos, end - pos);
        size_t first = name.find_first_not_of(" \t");
        size_t last = name.find_last_not_of(" \t");
        name = first == std::string::npos ? std::string() : name.substr(first, last - first + 1);
        if (name == "*") g_bAllVirtualCards = true;
        else if (!name.empty()) g_vecVirtualCards.push_back(name);
        pos = end + 1;
    }
}

// KXEYE_VIRTUAL_CARDS: names or "*"; a number is the older switch form (non-zero: every card).
uint8_t ReadVirtualCards() {
    const char* pszValue = getenv("KXEYE_VIRTUAL_CARDS");
    if (pszValue == NULL || pszValue[0] == '\0') {
        ParseVirtualCards(NULL);
        return 0;
    }
    char* pEnd = NULL;
    long n = strtol(pszValue, &pEnd, 10);
    if (pEnd != pszValue && *pEnd == '\0') {
        ParseVirtualCards(n != 0 ? "*" : NULL);
    } else {
        ParseVirtualCards(pszValue);
    }
    return (g_bAllVirtualCards || !g_vecVirtualCards.empty()) ? 1 : 0;
}

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
    s.byListVirtualCards = ReadVirtualCards();
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

void SetVirtualCards(const char* pszNames) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_bLoaded) LoadLocked();
    ParseVirtualCards(pszNames);
    g_setting.byListVirtualCards = (g_bAllVirtualCards || !g_vecVirtualCards.empty()) ? 1 : 0;
}

bool IsVirtualCardNamed(const char* pszName) {
    if (pszName == NULL || pszName[0] == '\0') return false;
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_bLoaded) LoadLocked();
    if (g_setting.byListVirtualCards == 0) return false;
    for (size_t i = 0; i < g_vecVirtualCards.size(); ++i)
        if (g_vecVirtualCards[i] == pszName) return true;
    return false;
}

bool IsVirtualCardListed(const char* pszName) {
    if (pszName == NULL || pszName[0] == '\0') return false;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (!g_bLoaded) LoadLocked();
        if (g_setting.byListVirtualCards == 0) return false;
        // Switched on without names (SetSetting, or the number form): every card.
        if (g_bAllVirtualCards || g_vecVirtualCards.empty()) return true;
    }
    return IsVirtualCardNamed(pszName);
}

}  // namespace KxGlobalSetting
