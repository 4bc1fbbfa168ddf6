// GoogleMock camera for tests where the exact call sequence matters. Every operation answers 0
// unless a test says otherwise; storage calls go to an in-memory 4 MiB storage so that what was
// written can be read back.
#pragma once

#include <gmock/gmock.h>

#include <cstring>
#include <functional>
#include <vector>

#include "oreyeapi.h"

class KxMockCamera : public IOrEyeCamera {
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

    KxMockCamera() : m_vecStorage(c_nStorageBytes, 0) {
        using ::testing::_;
        using ::testing::Return;
        ON_CALL(*this, WriteStorage(_, _, _)).WillByDefault([this](unsigned int a, const void* p, unsigned int n) {
            return StoreWrite(a, p, n);
        });
        ON_CALL(*this, ReadStorage(_, _, _)).WillByDefault([this](unsigned int a, void* p, unsigned int n) {
            return StoreRead(a, p, n);
        });
    }
    ~KxMockCamera() override {
        if (m_onDestroyed) m_onDestroyed();
    }

    int StoreWrite(unsigned int nAddress, const void* pData, unsigned int nLength) {
        if (static_cast<unsigned long long>(nAddress) + nLength > m_vecStorage.size()) return c_nOrEyeOutOfRange;
        if (nLength) std::memcpy(m_vecStorage.data() + nAddress, pData, nLength);
        return 0;
    }
    int StoreRead(unsigned int nAddress, void* pData, unsigned int nLength) {
        if (static_cast<unsigned long long>(nAddress) + nLength > m_vecStorage.size()) return c_nOrEyeOutOfRange;
        if (nLength) std::memcpy(pData, m_vecStorage.data() + nAddress, nLength);
        return 0;
    }

    static const unsigned int c_nStorageBytes = 0x400000;
    std::vector<unsigned char> m_vecStorage;
    std::function<void()> m_onDestroyed;  // called when the owner deletes the camera
};
