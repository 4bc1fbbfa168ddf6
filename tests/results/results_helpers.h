// Test doubles of the results tests: a counting memory pool, a frame block over test bytes and
// a camera that records returned frame buffers.
#pragma once

#include <gmock/gmock.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "kxkernel.h"
#include "kxkernelinterfaces.h"
#include "oreyeapi.h"

namespace KxResultsTest {

// A gray 8-bit surface over the caller's pixels (w by h).
inline IKxSurface* GraySurface(std::vector<uint8_t>& pixels, int w, int h) {
    SKxNLImageData img{};
    img.pData = pixels.data();
    img.nSize = static_cast<uint32_t>(pixels.size());
    img.nWidth = w;
    img.nHeight = h;
    img.nPixelFormat = c_nKxPixelFormatGray8;
    img.nBits = 8;
    img.nChannels = 1;
    IKxSurface* p = nullptr;
    EXPECT_TRUE(KxCreateCustomSurface(img, &p));
    return p;
}

class CountingPool;

// Pooled block: the pool keeps one reference, the caller gets a second.
class PoolBlock : public IKxMemBlock {
public:
    explicit PoolBlock(unsigned int nSize) : m_storage((nSize + 7) / 8, 0xA5A5A5A5A5A5A5A5ull), m_nSize(nSize) {}
    int32_t GetData(SKxMemData* p) override {
        ++m_nOpen;
        p->pData = reinterpret_cast<uint8_t*>(m_storage.data());
        p->nLength = m_nSize;
        return 0;
    }
    int32_t EndAccess() override {
        --m_nOpen;
        return 0;
    }
    uint64_t GetTime() override { return 0; }
    void Reset() override {}
    int m_nOpen = 0;  // accesses begun and not ended

private:
    std::vector<uint64_t> m_storage;
    unsigned int m_nSize;
};

class CountingPool : public IKxMemPool {
public:
    ~CountingPool() override {
        for (PoolBlock* p : m_blocks) {
            p->m_pIPool = nullptr;
            p->Release();
        }
    }
    int32_t Recycle(IKxMemBlock* pBlock) override {
        m_recycled.push_back(pBlock);
        return 0;
    }
    int32_t Allocate(unsigned int nSize, IKxMemBlock** ppBlock) override {
        m_sizes.push_back(nSize);
        if (m_bFail) {
            *ppBlock = nullptr;
            return -1;
        }
        PoolBlock* p = new PoolBlock(nSize + m_nExtra);
        p->m_pIPool = this;
        p->AddRef();  // the caller's reference; the first stays with the pool
        m_blocks.push_back(p);
        *ppBlock = p;
        return 0;
    }
    std::vector<unsigned int> m_sizes;
    std::vector<IKxMemBlock*> m_recycled;
    std::vector<PoolBlock*> m_blocks;
    bool m_bFail = false;
    unsigned int m_nExtra = 0;
};

// The frame bytes as a block; counts accesses so that tests can see every decode.
class FrameBlock : public IKxMemBlock {
public:
    explicit FrameBlock(std::vector<uint8_t> bytes) : m_bytes(std::move(bytes)) {}
    int32_t GetData(SKxMemData* p) override {
        ++m_nGetData;
        ++m_nOpen;
        p->pData = m_bytes.data();
        p->nLength = static_cast<uint32_t>(m_bytes.size());
        return 0;
    }
    int32_t EndAccess() override {
        --m_nOpen;
        return 0;
    }
    uint64_t GetTime() override { return 0; }
    void Reset() override {}
    std::vector<uint8_t> m_bytes;
    int m_nGetData = 0;
    int m_nOpen = 0;
};

class MockCamera : public IOrEyeCamera {
public:
    MOCK_METHOD(int, ReleaseFrameBuffer, (unsigned int), (override));

    int GetVersionText(char*, int) override { return 0; }
    int ListDevices(unsigned char*) override { return 0; }
    int InitDevice(int, int, int, int, const char*) override { return 0; }
    int SetFrameCallback(int, OrEyeFrameCallback, void*) override { return 0; }
    int EnableStream(int) override { return 0; }
    int WaitStreamFrame(unsigned char*[3], unsigned int*, unsigned int*, unsigned int) override { return 0; }
    int GrabFrame(unsigned char*[3], unsigned int*, unsigned int*, unsigned int) override { return 0; }
    int SetParam(int, const void*, int) override { return 0; }
    int GetParam(int, void*, int) override { return 0; }
    int WriteRegister(int, unsigned int, const void*, int) override { return 0; }
    int GetQMatrix(double*) override { return 0; }
    int WriteProduct(int, const void*, int) override { return 0; }
    int ReadProduct(int, void*, int) override { return 0; }
    int SetROI(int, int, int, int, int, int) override { return 0; }
    int SetROIMode(int) override { return 0; }
    int EnableDevice(int) override { return 0; }
    int SetTriggerN(unsigned int, unsigned int) override { return 0; }
    int SetImageTransfer(int, unsigned int, unsigned int) override { return 0; }
    int WriteStorage(unsigned int, const void*, unsigned int) override { return 0; }
    int ReadStorage(unsigned int, void*, unsigned int) override { return 0; }
    int Search(const unsigned char*, const unsigned char*, unsigned char*) override { return 0; }
    int SelectDevice(const unsigned char*) override { return 0; }
    int ExecuteCustomCommand(const unsigned short*, void*) override { return 0; }
    int SetLocalIP(const char*, int) override { return 0; }
    int SetOptionEx(int, int, int) override { return 0; }
    int SetOption(int, int) override { return 0; }
    int ExtendedCommand(int, void*, int, void*, int) override { return 0; }
    int SyncROI(int, int, int, int, int, int) override { return 0; }
    int SetFeature(int, int, int) override { return 0; }
};

}  // namespace KxResultsTest
