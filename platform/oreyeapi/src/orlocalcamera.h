// Local access path: after InitDevice, a session on one of the process's virtual cameras.
#ifndef ORLOCALCAMERA_H
#define ORLOCALCAMERA_H

#include <memory>

#include "orbasecamera.h"

class COrVirtualCamera;

class COrLocalCamera : public COrBaseCamera {
public:
    COrLocalCamera();
    ~COrLocalCamera() override;

    int GetVersionText(char* pszText, int nLength) override;
    int ListDevices(unsigned char* pTable308) override;
    int InitDevice(int nWidth, int nHeight, int nA, int nMode, const char* pszConnect) override;
    int SetFrameCallback(int nEnable, OrEyeFrameCallback pfn, void* pContext) override;
    int EnableStream(int nOn) override;
    int WaitStreamFrame(unsigned char* apDest[3], unsigned int* pnLength, unsigned int* pnFrameId,
                        unsigned int nTimeoutMs) override;
    int GrabFrame(unsigned char* apDest[3], unsigned int* pnLength, unsigned int* pnFrameId,
                  unsigned int nTimeoutMs) override;
    int SetParam(int nId, const void* pData, int nLength) override;
    int GetParam(int nId, void* pData, int nLength) override;
    int WriteRegister(int nTarget, unsigned int nAddress, const void* pData, int nLength) override;
    int GetQMatrix(double* pdQ16) override;
    int WriteProduct(int nItem, const void* pData, int nLength) override;
    int ReadProduct(int nItem, void* pData, int nLength) override;
    int SetROI(int nLeftX, int nLeftY, int nRightX, int nRightY, int nWidth, int nHeight) override;
    int SetROIMode(int nOn) override;
    int EnableDevice(int nOn) override;
    int SetTriggerN(unsigned int nA, unsigned int nB) override;
    int SetImageTransfer(int nOn, unsigned int nBufferCount, unsigned int nFrameBytes) override;
    int WriteStorage(unsigned int nAddress, const void* pData, unsigned int nLength) override;
    int ReadStorage(unsigned int nAddress, void* pData, unsigned int nLength) override;
    int Search(const unsigned char* pbyIP4, const unsigned char* pbyMAC6, unsigned char* pResult484) override;
    int SelectDevice(const unsigned char* pbyID8) override;
    int ReleaseFrameBuffer(unsigned int nBufferId) override;
    int ExecuteCustomCommand(const unsigned short* pRecord5, void* pReply) override;
    int SetLocalIP(const char* pszIP, int nLength) override;
    int SetOptionEx(int nFlag, int nValue, int nValue2) override;
    int SetOption(int nFlag, int nValue) override;
    int ExtendedCommand(int nA, void* pB, int nC, void* pD, int nE) override;
    int SyncROI(int nLeftX, int nLeftY, int nRightX, int nRightY, int nWidth, int nHeight) override;
    int SetFeature(int nFlag, int nA, int nB) override;

private:
    std::shared_ptr<COrVirtualCamera> m_pCamera;
};

#endif
