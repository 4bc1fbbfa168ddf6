// A camera object that forwards every call to another camera object, which it owns. Tests derive
// from it and replace only the operations they watch (the data tests' spy camera, the soak's
// frame-buffer ledger), so the forwarding list is written once.
#pragma once

#include "oreyeapi.h"

namespace kxtest {

class CForwardCamera : public IOrEyeCamera {
public:
    explicit CForwardCamera(IOrEyeCamera* pInner) : m_pInner(pInner) {}
    ~CForwardCamera() override { delete m_pInner; }
    CForwardCamera(const CForwardCamera&) = delete;
    CForwardCamera& operator=(const CForwardCamera&) = delete;

    IOrEyeCamera* Inner() const { return m_pInner; }

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
    int WriteStorage(unsigned int a, const void* b, unsigned int c) override { return m_pInner->WriteStorage(a, b, c); }
    int ReadStorage(unsigned int a, void* b, unsigned int c) override { return m_pInner->ReadStorage(a, b, c); }
    int Search(const unsigned char* a, const unsigned char* b, unsigned char* c) override { return m_pInner->Search(a, b, c); }
    int SelectDevice(const unsigned char* a) override { return m_pInner->SelectDevice(a); }
    int ReleaseFrameBuffer(unsigned int a) override { return m_pInner->ReleaseFrameBuffer(a); }
    int ExecuteCustomCommand(const unsigned short* a, void* b) override { return m_pInner->ExecuteCustomCommand(a, b); }
    int SetLocalIP(const char* a, int b) override { return m_pInner->SetLocalIP(a, b); }
    int SetOptionEx(int a, int b, int c) override { return m_pInner->SetOptionEx(a, b, c); }
    int SetOption(int a, int b) override { return m_pInner->SetOption(a, b); }
    int ExtendedCommand(int a, void* b, int c, void* d, int e) override { return m_pInner->ExtendedCommand(a, b, c, d, e); }
    int SyncROI(int a, int b, int c, int d, int e, int f) override { return m_pInner->SyncROI(a, b, c, d, e, f); }
    int SetFeature(int a, int b, int c) override { return m_pInner->SetFeature(a, b, c); }

protected:
    // Deletes the inner object now, for a derived class whose own members the inner object's
    // threads still reach while it shuts down (a frame callback in flight): call it first in the
    // derived destructor. No call may come after it.
    void DeleteInner() {
        delete m_pInner;
        m_pInner = nullptr;
    }

private:
    IOrEyeCamera* m_pInner;
};

}  // namespace kxtest
