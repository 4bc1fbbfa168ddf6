// GoogleMock camera with every operation of the camera access interface, for tests where the
// exact call sequence is the point. Test areas derive from it to add their default answers.
#pragma once

#include <gmock/gmock.h>

#include "oreyeapi.h"

class MockOrEyeCamera : public IOrEyeCamera {
public:
    MOCK_METHOD(int, GetVersionText, (char*, int), (override));
    MOCK_METHOD(int, ListDevices, (unsigned char*), (override));
    MOCK_METHOD(int, InitDevice, (int, int, int, int, const char*), (override));
    MOCK_METHOD(int, SetFrameCallback, (int, OrEyeFrameCallback, void*), (override));
    MOCK_METHOD(int, EnableStream, (int), (override));
    MOCK_METHOD(int, WaitStreamFrame, (unsigned char**, unsigned int*, unsigned int*, unsigned int), (override));
    MOCK_METHOD(int, GrabFrame, (unsigned char**, unsigned int*, unsigned int*, unsigned int), (override));
    MOCK_METHOD(int, SetParam, (int, const void*, int), (override));
    MOCK_METHOD(int, GetParam, (int, void*, int), (override));
    MOCK_METHOD(int, WriteRegister, (int, unsigned int, const void*, int), (override));
    MOCK_METHOD(int, GetQMatrix, (double*), (override));
    MOCK_METHOD(int, WriteProduct, (int, const void*, int), (override));
    MOCK_METHOD(int, ReadProduct, (int, void*, int), (override));
    MOCK_METHOD(int, SetROI, (int, int, int, int, int, int), (override));
    MOCK_METHOD(int, SetROIMode, (int), (override));
    MOCK_METHOD(int, EnableDevice, (int), (override));
    MOCK_METHOD(int, SetTriggerN, (unsigned int, unsigned int), (override));
    MOCK_METHOD(int, SetImageTransfer, (int, unsigned int, unsigned int), (override));
    MOCK_METHOD(int, WriteStorage, (unsigned int, const void*, unsigned int), (override));
    MOCK_METHOD(int, ReadStorage, (unsigned int, void*, unsigned int), (override));
    MOCK_METHOD(int, Search, (const unsigned char*, const unsigned char*, unsigned char*), (override));
    MOCK_METHOD(int, SelectDevice, (const unsigned char*), (override));
    MOCK_METHOD(int, ReleaseFrameBuffer, (unsigned int), (override));
    MOCK_METHOD(int, ExecuteCustomCommand, (const unsigned short*, void*), (override));
    MOCK_METHOD(int, SetLocalIP, (const char*, int), (override));
    MOCK_METHOD(int, SetOptionEx, (int, int, int), (override));
    MOCK_METHOD(int, SetOption, (int, int), (override));
    MOCK_METHOD(int, ExtendedCommand, (int, void*, int, void*, int), (override));
    MOCK_METHOD(int, SyncROI, (int, int, int, int, int, int), (override));
    MOCK_METHOD(int, SetFeature, (int, int, int), (override));
};
