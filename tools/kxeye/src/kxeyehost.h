// What the doctor reads about the host's own network setup beside the SDK's card list: kernel
// settings, counters and the process's rights. Read from the files the kernel publishes under
// /proc and /sys (plain file reads, so the tool needs no system headers for them); on a host
// without those files every answer is "unknown".
#ifndef KXEYEHOST_H
#define KXEYEHOST_H

#include <cstdint>
#include <string>

namespace KxEyeHost {

// A whole number read from a file; -1 when it cannot be read.
int64_t ReadNumber(const std::string& strPath);

// net.ipv4.conf.<card>.rp_filter and net.ipv4.conf.all.rp_filter; -1 when unknown. The kernel
// applies the larger of the two.
int64_t RpFilter(const std::string& strCard);
int64_t RpFilterAll();

// The card's MTU in bytes; -1 when unknown.
int64_t CardMtu(const std::string& strCard);

// The card's link: "up", "down" (switched off: ip link set dev CARD up), "no-carrier" (switched
// on, no link: no cable, or nothing live at the other end), or "" when unknown.
std::string LinkState(const std::string& strCard);

// net.core.rmem_max: the largest receive buffer a socket gets without CAP_NET_ADMIN; -1 unknown.
int64_t ReceiveBufferMax();

// Packets the kernel dropped for failing the reverse-path test (TcpExt IPReversePathFilter);
// -1 when unknown.
int64_t ReversePathDrops();

// Whether the process holds a capability in its effective set: 1 yes, 0 no, -1 unknown.
static const int c_nCapNetAdmin = 12;
static const int c_nCapNetRaw = 13;
int HasCapability(int nCapability);

// Whether net.ipv4.ping_group_range admits the process's group (echo without CAP_NET_RAW):
// 1 yes, 0 no, -1 unknown.
int PingGroupAdmits();

// The real path of the running program (/proc/self/exe), "" when unknown.
std::string ProgramPath();

// The command that grants the program the rights to pin ARP entries and to ping, for this very
// file. The loader ignores $ORIGIN for a program with file capabilities, so the command also
// names the folder of the libraries beside it for the loader when they are not in a system
// folder: without that, the program would no longer start ("error while loading shared
// libraries").
std::string CapabilityFix();

}  // namespace KxEyeHost

#endif
