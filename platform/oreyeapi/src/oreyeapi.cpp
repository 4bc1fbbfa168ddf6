// CreateOrEyeApi: one camera object per access path, or the test's factory while one is set.
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "orbasecamera.h"
#include "orethcamera.h"
#include "oreyeapi_testsupport.h"
#include "orlocalcamera.h"
#include "orlog.h"

namespace {
std::mutex g_mtxFactory;
OrEyeTest::Factory g_factory;

// The small smart eye: a minimal device that connects and tells its device ID.
class COrSmartEyeCamera : public COrBaseCamera {
public:
    int InitDevice(int nWidth, int nHeight, int nA, int nMode, const char* pszConnect) override {
        if (nWidth != 960 || nHeight != 1280 || nA != 2 || nMode != 0 || pszConnect != nullptr) {
            OrLog::Print(Orvik::utilSystem::LogLevel_Warning,
                         "small smart eye: InitDevice(%d, %d, %d, %d) refused", nWidth, nHeight,
                         nA, nMode);
            return c_nOrEyeNoDevice;
        }
        m_bInit = true;
        return c_nOrEyeOK;
    }
    int ReadProduct(int nItem, void* pData, int nLength) override {
        if (!m_bInit) return c_nOrEyeNotInitialised;
        if (pData == nullptr || nItem != 2 || nLength <= 0) return c_nOrEyeBadArgument;
        static const char c_szId[16] = {'S', 'M', 'A', 'R', 'T', 'E', 'Y', 'E',
                                        '0', '0', '0', '0', '0', '0', '0', '1'};
        memset(pData, 0, static_cast<size_t>(nLength));
        memcpy(pData, c_szId, nLength < 16 ? static_cast<size_t>(nLength) : 16u);
        return c_nOrEyeOK;
    }
    int GetVersionText(char* pszText, int nLength) override {
        if (pszText == nullptr || nLength <= 0) return c_nOrEyeBadArgument;
        snprintf(pszText, static_cast<size_t>(nLength), "OrEyeApi small smart eye 1.0");
        return c_nOrEyeOK;
    }

private:
    bool m_bInit = false;
};
}  // namespace

extern "C" OREYE_API IOrEyeCamera* CreateOrEyeApi(OREYEAPI_TYPE eType) {
    {
        OrEyeTest::Factory factory;
        {
            std::lock_guard<std::mutex> lock(g_mtxFactory);
            factory = g_factory;
        }
        if (factory) return factory(eType);
    }
    switch (eType) {
    case OREYEAPI_TYPE_SMALL_SMART_EYE:
        return new (std::nothrow) COrSmartEyeCamera();
    case OREYEAPI_TYPE_LOCAL:
        return new (std::nothrow) COrLocalCamera();
    case OREYEAPI_TYPE_ETHERNET:
        return new (std::nothrow) COrEthCamera();
    default:
        OrLog::Print(Orvik::utilSystem::LogLevel_Warning, "CreateOrEyeApi: unknown type %d",
                     static_cast<int>(eType));
        return nullptr;
    }
}

extern "C" OREYE_API int OrEyeGetStreamCounters(IOrEyeCamera* pCamera, SOrEyeStreamCounters* pCounters) {
    if (pCamera == nullptr || pCounters == nullptr) return c_nOrEyeBadArgument;
    COrEthCamera* p = dynamic_cast<COrEthCamera*>(pCamera);
    if (p == nullptr) return c_nOrEyeNotSupported;
    const COrEthLink::SStats s = p->Stats();
    *pCounters = SOrEyeStreamCounters();
    pCounters->nFramesComplete = s.nComplete;
    pCounters->nFramesIncomplete = s.nIncomplete;
    pCounters->nFramesDropped = s.nUnderrun + s.nTooLarge + s.nConflicts;
    pCounters->nPackets = s.nPackets;
    pCounters->nPacketsResent = s.nResent;
    pCounters->nResendRequests = s.nResendRequests;
    pCounters->nHostMtu = p->HostMtu();
    pCounters->nCameraMtu = p->CameraMtu();
    return c_nOrEyeOK;
}

namespace OrEyeTest {
OREYE_API bool GetEthernetStats(IOrEyeCamera* pCamera, EthernetStats* pStats) {
    COrEthCamera* p = dynamic_cast<COrEthCamera*>(pCamera);
    if (p == nullptr || pStats == nullptr) return false;
    const COrEthLink::SStats s = p->Stats();
    pStats->nFramesComplete = s.nComplete;
    pStats->nFramesIncomplete = s.nIncomplete;
    pStats->nFramesUnderrun = s.nUnderrun;
    pStats->nFramesTooLarge = s.nTooLarge;
    pStats->nPackets = s.nPackets;
    pStats->nPacketsResent = s.nResent;
    pStats->nPacketsDuplicate = s.nDuplicates;
    pStats->nPacketsIgnored = s.nIgnored;
    pStats->nResendRequests = s.nResendRequests;
    pStats->nStaleReplies = s.nStaleReplies;
    pStats->nRefusedSource = s.nRefusedSource;
    pStats->nRefusedKey = s.nRefusedKey;
    pStats->nRefusedShape = s.nRefusedShape;
    pStats->nRefusedWindow = s.nRefusedWindow;
    pStats->nRefusedGrab = s.nRefusedGrab;
    pStats->nConflicts = s.nConflicts;
    pStats->nRefusedReplies = s.nRefusedReplies;
    pStats->nSearchIgnored = s.nSearchIgnored;
    pStats->nSearchConflicts = s.nSearchConflicts;
    return true;
}

OREYE_API void SetFactory(const Factory& factory) {
    std::lock_guard<std::mutex> lock(g_mtxFactory);
    g_factory = factory;
}
}  // namespace OrEyeTest
