// A camera that forwards every call to a real camera object (the virtual camera) and lets a
// test see or replace single operations: storage writes and custom commands.
#pragma once

#include <functional>

#include "oreyeapi.h"

class KxSpyCamera : public IOrEyeCamera {
public:
    typedef std::function<int(IOrEyeCamera&, unsigned int, const void*, unsigned int)> WriteHook;
    typedef std::function<void(const unsigned short*)> CommandHook;

    explicit KxSpyCamera(IOrEyeCamera* pInner) : m_pInner(pInner) {}
    ~KxSpyCamera() override { delete m_pInner; }

    WriteHook m_writeHook;      // replaces WriteStorage while set
    CommandHook m_commandHook;  // sees every custom-command record

    int GetVersionText(char* a, int b) override { return m_pInner->GetVersionText(a, b); }
    int ListDevices(unsigned char* a) override { return m_pInner->ListDevices(a); }
    int InitDevice(int a, int b, int c, int d, const char* e) override { return m_pInner->InitDevice(a, b, c, d, e); }
    int SetFrameCallback(int a, OrEyeFrameCallback b, void* c) override { return m_pInner->SetFrameCallback(a, b, c); }
    int EnableStream(int a) override { return m_pInner->EnableStream(a); }
    int WaitStreamFrame(unsigned char* a[3], unsigned int* b, unsigned int* c, unsigned int d) override {
        return m_pInner->WaitStreamFrame(a, b, c, d);
    }
    int GrabFrame(unsigned char* a[3], unsigned int* b, unsigned int* c, unsigned int d) override {
        return m_pInner->GrabFrame(a, b, c, d);
    }
    int SetParam(int a, const void* b, int c) override { return m_pInner->SetParam(a, b, c); }
    int GetParam(int a, void* b, int c) override { return m_pInner->GetParam(a, b, c); }
    int WriteRegister(int a, unsigned int b, const void* c, int d) override { return m_pInner->WriteRegister(a, b, c, d); }
    int GetQMatrix(double* a) override { return m_pInner->GetQMatrix(a); }
    int WriteProduct(int a, const void* b, int c) override { return m_pInner->WriteProduct(a, b, c); }
    int ReadProduct(int a, void* b, int c) override { return m_pInner->ReadProduct(a, b, c); }
    int SetROI(int a, int b, int c, int d, int e, int f) override { return m_pInner->SetROI(a, b, c, d, e, f); }
    int SetROIMode(int a) override { return m_pInner->SetROIMode(a); }
    int EnableDevice(int a) override { return m_pInner->EnableDevice(a); }
    int SetTriggerN(unsigned int a, unsigned int b) override { return m_pInner->SetTriggerN(a, b); }
    int SetImageTransfer(int a, unsigned int b, unsigned int c) override { return m_pInner->SetImageTransfer(a, b, c); }
    int WriteStorage(unsigned int a, const void* b, unsigned int c) override {
        return m_writeHook ? m_writeHook(*m_pInner, a, b, c) : m_pInner->WriteStorage(a, b, c);
    }
    int ReadStorage(unsigned int a, void* b, unsigned int c) override { return m_pInner->ReadStorage(a, b, c); }
    int Search(const unsigned char* a, const unsigned char* b, unsigned char* c) override { return m_pInner->Search(a, b, c); }
    int SelectDevice(const unsigned char* a) override { return m_pInner->SelectDevice(a); }
    int ReleaseFrameBuffer(unsigned int a) override { return m_pInner->ReleaseFrameBuffer(a); }
    int ExecuteCustomCommand(const unsigned short* a, void* b) override {
        if (m_commandHook) m_commandHook(a);
        return m_pInner->ExecuteCustomCommand(a, b);
    }
    int SetLocalIP(const char* a, int b) override { return m_pInner->SetLocalIP(a, b); }
    int SetOptionEx(int a, int b, int c) override { return m_pInner->SetOptionEx(a, b, c); }
    int SetOption(int a, int b) override { return m_pInner->SetOption(a, b); }
    int ExtendedCommand(int a, void* b, int c, void* d, int e) override { return m_pInner->ExtendedCommand(a, b, c, d, e); }
    int SyncROI(int a, int b, int c, int d, int e, int f) override { return m_pInner->SyncROI(a, b, c, d, e, f); }
    int SetFeature(int a, int b, int c) override { return m_pInner->SetFeature(a, b, c); }

private:
    IOrEyeCamera* m_pInner;
};
