#include "kxeyehost.h"

#if defined(__linux__)
#include <elf.h>
#endif

#include <cstdlib>
#include <cstring>
#include <filesystem>
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

static int64_t ReadNumberHex(const std::string& strPath) {
    std::string strText;
    if (!ReadText(strPath, strText)) return -1;
    char* pEnd = nullptr;
    const long long n = std::strtoll(strText.c_str(), &pEnd, 16);
    return pEnd != strText.c_str() && n >= 0 ? n : -1;
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

std::string LinkState(const std::string& strCard) {
    if (!SafeName(strCard)) return std::string();
    std::string strOper;
    if (!ReadText("/sys/class/net/" + strCard + "/operstate", strOper)) return std::string();
    while (!strOper.empty() && (strOper.back() == '\n' || strOper.back() == ' ')) strOper.pop_back();
    const int64_t nFlags = ReadNumberHex("/sys/class/net/" + strCard + "/flags");
    // IFF_UP off: switched off. On, with the carrier file reading 0: no link.
    if (nFlags >= 0 && (nFlags & 0x1) == 0) return "down";
    const int64_t nCarrier = ReadNumber("/sys/class/net/" + strCard + "/carrier");
    if (nCarrier == 0 || strOper == "lowerlayerdown") return "no-carrier";
    if (nCarrier == 1 || strOper == "up" || strOper == "unknown") return "up";
    return strOper == "down" ? "no-carrier" : std::string();
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

std::string ProgramPath() {
    std::error_code ec;
    const std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : path.string();
}

namespace {
// A file name as one shell word.
std::string ShellWord(const std::string& str) {
    if (!str.empty() && str.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/._-+") ==
                            std::string::npos)
        return str;
    std::string strOut = "'";
    for (char c : str) strOut += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return strOut + "'";
}

// Where the loader finds a library without any help: the system's default folders.
bool SystemLibraryFolder(const std::filesystem::path& dir) {
    const std::string s = dir.lexically_normal().string();
    for (const char* psz : {"/lib", "/usr/lib", "/lib64", "/usr/lib64", "/lib/x86_64-linux-gnu", "/usr/lib/x86_64-linux-gnu"})
        if (s == psz) return true;
    return false;
}

// Whether the program finds its libraries through a run path with $ORIGIN (an installed kxeye:
// $ORIGIN/../lib), which the loader ignores once the file carries capabilities. Read from the
// program file's dynamic section; false when it has no such path or cannot be read.
bool RunPathUsesOrigin(const std::string& strProgram) {
#if !defined(__linux__)
    (void)strProgram;
    return false;
#else
    std::ifstream in(strProgram, std::ios::binary);
    Elf64_Ehdr eh{};
    if (!in.read(reinterpret_cast<char*>(&eh), sizeof(eh)) || std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 ||
        eh.e_ident[EI_CLASS] != ELFCLASS64 || eh.e_shentsize != sizeof(Elf64_Shdr) || eh.e_shnum > 4096)
        return false;
    std::vector<Elf64_Shdr> vecSections(eh.e_shnum);
    in.seekg(static_cast<std::streamoff>(eh.e_shoff));
    if (!in.read(reinterpret_cast<char*>(vecSections.data()),
                 static_cast<std::streamsize>(vecSections.size() * sizeof(Elf64_Shdr))))
        return false;
    for (const Elf64_Shdr& sh : vecSections) {
        if (sh.sh_type != SHT_DYNAMIC || sh.sh_link >= vecSections.size() || sh.sh_size > (1u << 20)) continue;
        const Elf64_Shdr& strtab = vecSections[sh.sh_link];
        if (strtab.sh_size > (1u << 24)) return false;
        std::vector<Elf64_Dyn> vecDyn(sh.sh_size / sizeof(Elf64_Dyn));
        std::string strStrings(strtab.sh_size, '\0');
        in.seekg(static_cast<std::streamoff>(sh.sh_offset));
        if (!in.read(reinterpret_cast<char*>(vecDyn.data()), static_cast<std::streamsize>(vecDyn.size() * sizeof(Elf64_Dyn))))
            return false;
        in.seekg(static_cast<std::streamoff>(strtab.sh_offset));
        if (!in.read(&strStrings[0], static_cast<std::streamsize>(strStrings.size()))) return false;
        for (const Elf64_Dyn& d : vecDyn) {
            if ((d.d_tag != DT_RUNPATH && d.d_tag != DT_RPATH) || d.d_un.d_val >= strStrings.size()) continue;
            if (std::string(strStrings.c_str() + d.d_un.d_val).find("$ORIGIN") != std::string::npos) return true;
        }
    }
    return false;
#endif
}

// The folder of the SDK library the running program loaded, from the process's own mappings.
std::filesystem::path LoadedLibraryFolder() {
    std::string strMaps;
    if (!ReadText("/proc/self/maps", strMaps)) return std::filesystem::path();
    std::istringstream in(strMaps);
    std::string strLine;
    while (std::getline(in, strLine)) {
        const size_t nSlash = strLine.find('/');
        if (nSlash == std::string::npos) continue;
        const std::filesystem::path path = strLine.substr(nSlash);
        if (path.filename().string().rfind("libKxLaserEyeDevice.so", 0) == 0) return path.parent_path();
    }
    return std::filesystem::path();
}
}  // namespace

std::string CapabilityFix() {
    const std::string strProgram = ProgramPath();
    if (strProgram.empty())
        return "run kxeye as root, or grant it the rights once: sudo setcap cap_net_admin,cap_net_raw+ep PATH-OF-KXEYE";
    std::string strFix = "sudo setcap cap_net_admin,cap_net_raw+ep " + ShellWord(strProgram);
    const std::filesystem::path dir = LoadedLibraryFolder();
    if (!dir.empty() && !SystemLibraryFolder(dir) && RunPathUsesOrigin(strProgram)) {
        // The loader expands no $ORIGIN and reads no LD_LIBRARY_PATH for a program with
        // capabilities: the folder goes into the loader's own list.
        strFix += " && echo " + ShellWord(dir.string()) +
                  " | sudo tee /etc/ld.so.conf.d/kxlasereye.conf && sudo ldconfig";
    }
    return "run kxeye as root, or grant it the rights once: " + strFix;
}

}  // namespace KxEyeHost
