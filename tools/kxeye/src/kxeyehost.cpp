#include "kxeyehost.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

namespace KxEyeHost {

namespace {
bool ReadText(const std::string& strPath, std::string& strText) {
    std::ifstream in(strPath);
    if (!in) return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    strText = ss.str();
    return true;
}

// Card names come from the SDK's list; one with a path separator is no card of /proc or /sys.
bool SafeName(const std::string& strCard) {
    return !strCard.empty() && strCard.find('/') == std::string::npos && strCard != "." && strCard != "..";
}

// The value of "Key:" in a status-like text.
std::string Field(const std::string& strText, const std::string& strKey) {
    std::istringstream in(strText);
    std::string strLine;
    while (std::getline(in, strLine)) {
        if (strLine.compare(0, strKey.size(), strKey) == 0) return strLine.substr(strKey.size());
    }
    return std::string();
}
}  // namespace

int64_t ReadNumber(const std::string& strPath) {
    std::string strText;
    if (!ReadText(strPath, strText)) return -1;
    std::istringstream in(strText);
    int64_t n = -1;
    if (!(in >> n)) return -1;
    return n;
}

int64_t RpFilter(const std::string& strCard) {
    if (!SafeName(strCard)) return -1;
    return ReadNumber("/proc/sys/net/ipv4/conf/" + strCard + "/rp_filter");
}

int64_t RpFilterAll() { return ReadNumber("/proc/sys/net/ipv4/conf/all/rp_filter"); }

int64_t CardMtu(const std::string& strCard) {
    if (!SafeName(strCard)) return -1;
    return ReadNumber("/sys/class/net/" + strCard + "/mtu");
}

int64_t ReceiveBufferMax() { return ReadNumber("/proc/sys/net/core/rmem_max"); }

int64_t ReversePathDrops() {
    // Two lines per group: the names, then the values.
    std::string strText;
    if (!ReadText("/proc/net/netstat", strText)) return -1;
    std::istringstream in(strText);
    std::string strNames, strValues;
    while (std::getline(in, strNames) && std::getline(in, strValues)) {
        if (strNames.compare(0, 7, "TcpExt:") != 0) continue;
        std::istringstream names(strNames), values(strValues);
        std::string strName, strValue;
        while (names >> strName && values >> strValue) {
            if (strName == "IPReversePathFilter") {
                char* pEnd = nullptr;
                const long long n = std::strtoll(strValue.c_str(), &pEnd, 10);
                return pEnd != strValue.c_str() && n >= 0 ? n : -1;
            }
        }
    }
    return -1;
}

int HasCapability(int nCapability) {
    std::string strText;
    if (!ReadText("/proc/self/status", strText)) return -1;
    const std::string strHex = Field(strText, "CapEff:");
    if (strHex.empty()) return -1;
    uint64_t nMask = 0;
    std::istringstream in(strHex);
    if (!(in >> std::hex >> nMask)) return -1;
    return (nMask >> nCapability) & 1 ? 1 : 0;
}

int PingGroupAdmits() {
    std::string strRange, strStatus;
    if (!ReadText("/proc/sys/net/ipv4/ping_group_range", strRange) || !ReadText("/proc/self/status", strStatus))
        return -1;
    int64_t nLow = 0, nHigh = -1;
    std::istringstream range(strRange);
    if (!(range >> nLow >> nHigh)) return -1;
    // Real, effective, saved and file-system group, then the supplementary groups.
    std::vector<int64_t> vecGroups;
    std::istringstream gid(Field(strStatus, "Gid:")), groups(Field(strStatus, "Groups:"));
    int64_t n = 0;
    if (gid >> n) vecGroups.push_back(n);
    while (groups >> n) vecGroups.push_back(n);
    for (int64_t g : vecGroups) {
        if (g >= nLow && g <= nHigh) return 1;
    }
    return 0;
}

}  // namespace KxEyeHost
