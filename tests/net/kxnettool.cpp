// Runs one host network utility inside whatever namespace and with whatever rights it was
// started with, for the end-to-end tests: what needs the namespace's own /sys or fewer
// capabilities than the test process runs here. Prints results on stdout; log lines go to
// stderr (KXEYE_LOG_LEVEL).
//   kxnettool cards
//   kxnettool bindarp IFNAME IP MAC
//   kxnettool ping IP TIMEOUT_SEC
#include <net/if.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <string>

#include "kxnetworkutils.h"

using namespace KxNetworkUtils;

int main(int argc, char** argv) {
    std::string cmd = argc > 1 ? argv[1] : "";
    if (cmd == "cards") {
        std::list<SKxNetCardInfo> lst;
        bool b = GetNetCardInfo(lst);
        for (const SKxNetCardInfo& c : lst) {
            char ip[16], mask[16], gw[16], mac[18];
            IPToString(c.byIP, ip);
            IPToString(c.byMask, mask);
            IPToString(c.byGateway, gw);
            MACToString(c.byMAC, mac);
            printf("%u|%s|%s|%s|%s|%s|%u\n", c.nIndex, c.szDescription, ip, mask, gw, mac, c.nSpeed);
        }
        return b ? 0 : 1;
    }
    if (cmd == "bindarp" && argc == 5) {
        SKxNetCardInfo card;
        memset(&card, 0, sizeof card);
        card.nIndex = if_nametoindex(argv[2]);
        uint8_t ip[4], mac[6];
        if (!StringToIP(argv[3], ip) || !StringToMAC(argv[4], mac)) return 2;
        printf("result=%d\n", BindArp(&card, ip, mac) ? 1 : 0);
        return 0;
    }
    if (cmd == "ping" && argc == 4) {
        uint8_t ip[4];
        if (!StringToIP(argv[2], ip)) return 2;
        printf("result=%d\n", PingHost(ip, atoi(argv[3])) ? 1 : 0);
        return 0;
    }
    fprintf(stderr, "usage: kxnettool cards | bindarp IFNAME IP MAC | ping IP TIMEOUT_SEC\n");
    return 2;
}
