#include "orlocalcamera.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "kxlaserinfo.h"
#include "orlog.h"
#include "orvirtualcamera.h"

using OrEyeTest::Op;

// Every operation of a session: not before InitDevice, then the camera's fault gate, then the
// camera itself.
#define OR_SESSION_CALL(op, call)                      \
    do {                                               \
        if (!m_pCamera) return c_nOrEyeNotInitialised; \
        const int nGate = m_pCamera->Gate(op);         \
        if (nGate != c_nOrEyeOK) return nGate;         \
        return m_pCamera->call;                        \
    } while (0)

COrLocalCamera::COrLocalCamera() {}

COrLocalCamera::~COrLocalCamera() {
    if (m_pCamera) m_pCamera->DetachSession(this);
}

int COrLocalCamera::GetVersionText(char* pszText, int nLength) {
    if (pszText == nullptr || nLength <= 0) return c_nOrEyeBadArgument;
    if (!m_pCamera) {
        snprintf(pszText, static_cast<size_t>(nLength), "OrEyeApi local 1.0");
        return c_nOrEyeOK;
    }
    OR_SESSION_CALL(OrEyeTest::Op_GetVersionText, VersionText(pszText, nLength));
}

int COrLocalCamera::ListDevices(unsigned char* pTable308) {
    if (pTable308 == nullptr) return c_nOrEyeBadArgument;
    memset(pTable308, 0, c_nOrEyeListTableBytes);
    // A refused configuration has no camera to list; the answer says so.
    if (!OrVirtualRegistry::ConfigError().empty()) return c_nOrEyeBadArgument;
    const int nCount = std::min<int>(OrVirtualRegistry::Count(), c_nOrEyeListMaxEntries);
    int nListed = 0;
    for (int i = 0; i < nCount; ++i) {
        std::shared_ptr<COrVirtualCamera> p = OrVirtualRegistry::Get(i);
        if (!p) continue;
        // An offline camera does not answer the listing.
        if (p->Gate(OrEyeTest::Op_ListDevices) != c_nOrEyeOK) continue;
        const SOrVirtualConfig& c = p->Config();
        unsigned char* e = pTable308 + 4 + c_nOrEyeListEntryBytes * nListed;
        const uint32_t nVersion = static_cast<uint32_t>(c.nVersion) & 0xFFF;
        memcpy(e, &nVersion, 4);
        e[4] = static_cast<unsigned char>(i);
        snprintf(reinterpret_cast<char*>(e + 5), 32, "virtual:%d", i);
        const int32_t nKind = c.bSmart ? 4 : 3;
        memcpy(e + 40, &nKind, 4);
        const uint32_t nW = c.nWidth, nH = c.nHeight;
        memcpy(e + 44, &nW, 4);
        memcpy(e + 48, &nH, 4);
        ++nListed;
    }
    pTable308[0] = static_cast<unsigned char>(nListed);
    return c_nOrEyeOK;
}

int COrLocalCamera::InitDevice(int nWidth, int nHeight, int nA, int nMode, const char* pszConnect) {
    std::shared_ptr<COrVirtualCamera> p = OrVirtualRegistry::Find(pszConnect);
    if (!p) {
        OrLog::Print(Orvik::utilSystem::LogLevel_Warning, "InitDevice: no virtual camera for \"%s\"",
                     pszConnect ? pszConnect : "");
        return c_nOrEyeNoDevice;
    }
    const int nGate = p->Gate(OrEyeTest::Op_InitDevice);
    if (nGate != c_nOrEyeOK) return nGate;
    if (m_pCamera && m_pCamera != p) m_pCamera->DetachSession(this);
    m_pCamera = p;
    OrLog::Print(Orvik::utilSystem::LogLevel_Debug, "InitDevice(%d, %d, %d, %d) on virtual:%d", nWidth,
                 nHeight, nA, nMode, p->Index());
    return c_nOrEyeOK;
}

int COrLocalCamera::SetFrameCallback(int nEnable, OrEyeFrameCallback pfn, void* pContext) {
    OR_SESSION_CALL(OrEyeTest::Op_SetFrameCallback, SetFrameCallback(this, nEnable, pfn, pContext));
}
int COrLocalCamera::EnableStream(int nOn) {
    OR_SESSION_CALL(OrEyeTest::Op_EnableStream, EnableStream(this, nOn));
}
int COrLocalCamera::WaitStreamFrame(unsigned char* apDest[3], unsigned int* pnLength,
                                    unsigned int* pnFrameId, unsigned int nTimeoutMs) {
    OR_SESSION_CALL(OrEyeTest::Op_WaitStreamFrame, WaitStreamFrame(apDest, pnLength, pnFrameId, nTimeoutMs));
}
int COrLocalCamera::GrabFrame(unsigned char* apDest[3], unsigned int* pnLength, unsigned int* pnFrameId,
                              unsigned int nTimeoutMs) {
    OR_SESSION_CALL(OrEyeTest::Op_GrabFrame, GrabFrame(apDest, pnLength, pnFrameId, nTimeoutMs));
}
int COrLocalCamera::SetParam(int nId, const void* pData, int nLength) {
    OR_SESSION_CALL(OrEyeTest::Op_SetParam, SetParam(nId, pData, nLength));
}
int COrLocalCamera::GetParam(int nId, void* pData, int nLength) {
    OR_SESSION_CALL(OrEyeTest::Op_GetParam, GetParam(nId, pData, nLength));
}
int COrLocalCamera::WriteRegister(int nTarget, unsigned int nAddress, const void* pData, int nLength) {
    OR_SESSION_CALL(OrEyeTest::Op_WriteRegister, WriteRegister(nTarget, nAddress, pData, nLength));
}
int COrLocalCamera::GetQMatrix(double* pdQ16) {
    OR_SESSION_CALL(OrEyeTest::Op_GetQMatrix, GetQMatrix(pdQ16));
}
int COrLocalCamera::WriteProduct(int nItem, const void* pData, int nLength) {
    OR_SESSION_CALL(OrEyeTest::Op_WriteProduct, WriteProduct(nItem, pData, nLength));
}
int COrLocalCamera::ReadProduct(int nItem, void* pData, int nLength) {
    OR_SESSION_CALL(OrEyeTest::Op_ReadProduct, ReadProduct(nItem, pData, nLength));
}
int COrLocalCamera::SetROI(int nLeftX, int nLeftY, int nRightX, int nRightY, int nWidth, int nHeight) {
    OR_SESSION_CALL(OrEyeTest::Op_SetROI, SetROI(nLeftX, nLeftY, nRightX, nRightY, nWidth, nHeight));
}
int COrLocalCamera::SetROIMode(int nOn) { OR_SESSION_CALL(OrEyeTest::Op_SetROIMode, SetROIMode(nOn)); }
int COrLocalCamera::EnableDevice(int nOn) { OR_SESSION_CALL(OrEyeTest::Op_EnableDevice, EnableDevice(nOn)); }
int COrLocalCamera::SetTriggerN(unsigned int nA, unsigned int nB) {
    OR_SESSION_CALL(OrEyeTest::Op_SetTriggerN, SetTriggerN(nA, nB));
}
int COrLocalCamera::SetImageTransfer(int nOn, unsigned int nBufferCount, unsigned int nFrameBytes) {
    OR_SESSION_CALL(OrEyeTest::Op_SetImageTransfer, SetImageTransfer(nOn, nBufferCount, nFrameBytes));
}
int COrLocalCamera::WriteStorage(unsigned int nAddress, const void* pData, unsigned int nLength) {
    OR_SESSION_CALL(OrEyeTest::Op_WriteStorage, WriteStorage(nAddress, pData, nLength));
}
int COrLocalCamera::ReadStorage(unsigned int nAddress, void* pData, unsigned int nLength) {
    OR_SESSION_CALL(OrEyeTest::Op_ReadStorage, ReadStorage(nAddress, pData, nLength));
}
int COrLocalCamera::Search(const unsigned char*, const unsigned char*, unsigned char*) {
    // Searching is the Ethernet path's; the local path lists instead.
    return c_nOrEyeNotSupported;
}
int COrLocalCamera::SelectDevice(const unsigned char* pbyID8) {
    // The connect text of InitDevice chooses the camera on this path; the id is accepted.
    return pbyID8 == nullptr ? c_nOrEyeBadArgument : c_nOrEyeOK;
}
int COrLocalCamera::ReleaseFrameBuffer(unsigned int nBufferId) {
    if (!m_pCamera) return c_nOrEyeNotInitialised;
    // No fault gate here: a buffer must always be able to go home, also after the camera
    // went offline, or it would be lost to the pool.
    return m_pCamera->ReleaseFrameBuffer(nBufferId);
}
int COrLocalCamera::ExecuteCustomCommand(const unsigned short* pRecord5, void* pReply) {
    OR_SESSION_CALL(OrEyeTest::Op_ExecuteCustomCommand, ExecuteCustomCommand(pRecord5, pReply));
}
int COrLocalCamera::SetLocalIP(const char*, int) { return c_nOrEyeNotSupported; }
int COrLocalCamera::SetOptionEx(int nFlag, int nValue, int nValue2) {
    OR_SESSION_CALL(OrEyeTest::Op_SetOptionEx, SetOptionEx(nFlag, nValue, nValue2));
}
int COrLocalCamera::SetOption(int nFlag, int nValue) {
    OR_SESSION_CALL(OrEyeTest::Op_SetOption, SetOption(nFlag, nValue));
}
int COrLocalCamera::ExtendedCommand(int nA, void* pB, int nC, void* pD, int nE) {
    OR_SESSION_CALL(OrEyeTest::Op_ExtendedCommand, ExtendedCommand(nA, pB, nC, pD, nE));
}
int COrLocalCamera::SyncROI(int nLeftX, int nLeftY, int nRightX, int nRightY, int nWidth, int nHeight) {
    OR_SESSION_CALL(OrEyeTest::Op_SyncROI, SetROI(nLeftX, nLeftY, nRightX, nRightY, nWidth, nHeight));
}
int COrLocalCamera::SetFeature(int nFlag, int nA, int nB) {
    OR_SESSION_CALL(OrEyeTest::Op_SetFeature, SetFeature(nFlag, nA, nB));
}
