// Common base of the camera objects: every operation refuses until an access path offers it.
#ifndef ORBASECAMERA_H
#define ORBASECAMERA_H

#include "oreyeapi.h"

class COrBaseCamera : public IOrEyeCamera {
public:
    int GetVersionText(char*, int) override { return c_nOrEyeNotSupported; }
    int ListDevices(unsigned char*) override { return c_nOrEyeNotSupported; }
    int InitDevice(int, int, int, int, const char*) override { return c_nOrEyeNotSupported; }
    int SetFrameCallback(int, OrEyeFrameCallback, void*) override { return c_nOrEyeNotSupported; }
    int EnableStream(int) override { return c_nOrEyeNotSupported; }
    int WaitStreamFrame(unsigned char*[3], unsigned int*, unsigned int*, unsigned int) override {
        return c_nOrEyeNotSupported;
    }
    int GrabFrame(unsigned char*[3], unsigned int*, unsigned int*, unsigned int) override {
        return c_nOrEyeNotSupported;
    }
    int SetParam(int, const void*, int) override { return c_nOrEyeNotSupported; }
    int GetParam(int, void*, int) override { return c_nOrEyeNotSupported; }
    int WriteRegister(int, unsigned int, const void*, int) override { return c_nOrEyeNotSupported; }
    int GetQMatrix(double*) override { return c_nOrEyeNotSupported; }
    int WriteProduct(int, const void*, int) override { return c_nOrEyeNotSupported; }
    int ReadProduct(int, void*, int) override { return c_nOrEyeNotSupported; }
    int SetROI(int, int, int, int, int, int) override { return c_nOrEyeNotSupported; }
    int SetROIMode(int) override { return c_nOrEyeNotSupported; }
    int EnableDevice(int) override { return c_nOrEyeNotSupported; }
    int SetTriggerN(unsigned int, unsigned int) override { return c_nOrEyeNotSupported; }
    int SetImageTransfer(int, unsigned int, unsigned int) override { return c_nOrEyeNotSupported; }
    int WriteStorage(unsigned int, const void*, unsigned int) override { return c_nOrEyeNotSupported; }
    int ReadStorage(unsigned int, void*, unsigned int) override { return c_nOrEyeNotSupported; }
    int Search(const unsigned char*, const unsigned char*, unsigned char*) override {
        return c_nOrEyeNotSupported;
    }
    int SelectDevice(const unsigned char*) override { return c_nOrEyeNotSupported; }
    int ReleaseFrameBuffer(unsigned int) override { return c_nOrEyeNotSupported; }
    int ExecuteCustomCommand(const unsigned short*, void*) override { return c_nOrEyeNotSupported; }
    int SetLocalIP(const char*, int) override { return c_nOrEyeNotSupported; }
    int SetOptionEx(int, int, int) override { return c_nOrEyeNotSupported; }
    int SetOption(int, int) override { return c_nOrEyeNotSupported; }
    int ExtendedCommand(int, void*, int, void*, int) override { return c_nOrEyeNotSupported; }
    int SyncROI(int, int, int, int, int, int) override { return c_nOrEyeNotSupported; }
    int SetFeature(int, int, int) override { return c_nOrEyeNotSupported; }
};

#endif
