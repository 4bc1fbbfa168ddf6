// GoogleMock camera for tests where the exact call sequence matters. Every operation answers 0
// unless a test says otherwise; storage calls go to an in-memory 4 MiB storage so that what was
// written can be read back.
#pragma once

#include <gmock/gmock.h>

#include <cstring>
#include <functional>
#include <vector>

#include "oreyeapi.h"
#include "support/mock_oreye_camera.h"

class KxMockCamera : public MockOrEyeCamera {
public:
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
