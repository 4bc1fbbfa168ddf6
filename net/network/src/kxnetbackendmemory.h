// In-memory host tables for tests of the rules in kxnetworkutils.cpp: cards, ARP rows and routes
// held in vectors, every change recorded in order, and any operation made to fail on demand.
// Header-only; not part of the library.
#ifndef KXNETBACKENDMEMORY_H
#define KXNETBACKENDMEMORY_H

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "kxnetbackend.h"

class CKxMemoryNetBackend : public IKxNetBackend {
public:
    enum EOp { eArpCreate, eArpUpdate, eArpDelete, eRouteCreate, eRouteDelete };
    struct SChange {
        EOp eOp;
        SKxArpRow arp;
        SKxRouteRow route;
    };

    std::vector<SKxNetCardRow> vecCards;
    std::set<std::string> setVirtual;  // names of virtual cards
    std::vector<SKxArpRow> vecArp;
    std::vector<SKxRouteRow> vecRoutes;
    std::vector<SChange> vecChanges;
    std::set<uint32_t> setAlive;       // addresses (first octet in the lowest byte) that answer an echo

    // Results to give instead of success (0 = behave normally).
    int nReadArpResult = 0, nWriteArpResult = 0, nReadRouteResult = 0, nWriteRouteResult = 0;
    int nBestResult = 0, nMetricResult = 0;
    uint32_t nBestIndex = 0;
    uint32_t nMetric = 0;
    int nLastEchoTimeoutMs = -1;

    bool ListCards(std::vector<SKxNetCardRow>& out) override {
        out = vecCards;
        return true;
    }
    bool IsVirtualCard(const char* pszName) override { return setVirtual.count(pszName) != 0; }

    int ReadArpTable(std::vector<SKxArpRow>& out) override {
        if (nReadArpResult != 0) return nReadArpResult;
        out = vecArp;
        return 0;
    }
    int CreateArpRow(const SKxArpRow& row) override {
        vecChanges.push_back({eArpCreate, row, {}});
        if (nWriteArpResult != 0) return nWriteArpResult;
        vecArp.push_back(row);
        return 0;
    }
    int UpdateArpRow(const SKxArpRow& row) override {
        vecChanges.push_back({eArpUpdate, row, {}});
        if (nWriteArpResult != 0) return nWriteArpResult;
        for (SKxArpRow& r : vecArp)
            if (r.nIndex == row.nIndex && memcmp(r.byIP, row.byIP, 4) == 0) {
                r = row;
                return 0;
            }
        vecArp.push_back(row);
        return 0;
    }
    int DeleteArpRow(const SKxArpRow& row) override {
        vecChanges.push_back({eArpDelete, row, {}});
        if (nWriteArpResult != 0) return nWriteArpResult;
        for (size_t i = 0; i < vecArp.size(); ++i)
            if (vecArp[i].nIndex == row.nIndex && memcmp(vecArp[i].byIP, row.byIP, 4) == 0) {
                vecArp.erase(vecArp.begin() + static_cast<long>(i));
                return 0;
            }
        return 1168;  // not found
    }

    int ReadRouteTable(std::vector<SKxRouteRow>& out) override {
        if (nReadRouteResult != 0) return nReadRouteResult;
        out = vecRoutes;
        return 0;
    }
    int CreateRoute(const SKxRouteRow& row) override {
        vecChanges.push_back({eRouteCreate, {}, row});
        if (nWriteRouteResult != 0) return nWriteRouteResult;
        vecRoutes.push_back(row);
        return 0;
    }
    int DeleteRoute(const SKxRouteRow& row) override {
        vecChanges.push_back({eRouteDelete, {}, row});
        if (nWriteRouteResult != 0) return nWriteRouteResult;
        for (size_t i = 0; i < vecRoutes.size(); ++i)
            if (memcmp(&vecRoutes[i], &row, sizeof row) == 0) {
                vecRoutes.erase(vecRoutes.begin() + static_cast<long>(i));
                return 0;
            }
        return 1168;
    }
    int GetBestInterface(const uint8_t*, uint32_t* pnIndex) override {
        if (nBestResult != 0) return nBestResult;
        *pnIndex = nBestIndex;
        return 0;
    }
    int GetInterfaceMetric(uint32_t, uint32_t* pnMetric) override {
        if (nMetricResult != 0) return nMetricResult;
        *pnMetric = nMetric;
        return 0;
    }
    bool Echo(const uint8_t* pbyIP, uint16_t, int nTimeoutMs) override {
        nLastEchoTimeoutMs = nTimeoutMs;
        uint32_t n;
        memcpy(&n, pbyIP, 4);
        return setAlive.count(n) != 0;
    }
};

#endif
