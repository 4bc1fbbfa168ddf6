// Kernel interfaces an application implements or receives: surfaces, memory blocks, pools,
// signals. Compiles as C++11.
#ifndef KXKERNELINTERFACES_H
#define KXKERNELINTERFACES_H

#include <cstddef>
#include <cstdint>

#include "kxunknown.h"

// Pixel format of 8-bit grey images.
static const int32_t c_nKxPixelFormatGray8 = 7;

// Description of an image in memory (the pixels are not owned).
struct SKxNLImageData {
    uint8_t* pData;        // first pixel
    uint32_t nSize;        // bytes
    int32_t nX;            // origin column in the sensor frame
    int32_t nY;            // origin row in the sensor frame
    int32_t nWidth;
    int32_t nHeight;
    int32_t nPixelFormat;  // 7 = 8-bit grey
    uint8_t nBits;         // 8
    uint8_t nChannels;     // 1
};

// An image surface. Lock gives the pixel pointer; Unlock ends the access.
class IKxSurface : public IKxUnknown {
public:
    // Begins pixel access: *ppPixels gets the first pixel (rows follow each other, width bytes each); 0.
    virtual int32_t Lock(uint8_t** ppPixels) = 0;                 // 3
    // Ends the access of Lock.
    virtual int32_t Unlock() = 0;                                 // 4
    // Sets where the image lies in the sensor (column, row of its first pixel).
    virtual int32_t SetOrigin(int32_t nX, int32_t nY) = 0;        // 5
    // Describes the image: size, origin, pixel format and the pixel pointer.
    virtual int32_t GetImageData(SKxNLImageData* pImage) const = 0;  // 6: description (pixels included)
};

// Hands out surfaces for a description; each comes with one reference for the caller.
class IKxSurfacePool : public IKxUnknown {
public:
    // A surface of nWidth x nHeight pixels of nPixelFormat at origin (nX, nY), with one reference.
    virtual int32_t AllocSurface(int32_t nWidth, int32_t nHeight, int32_t nPixelFormat, int32_t nX,
                                 int32_t nY, IKxSurface** ppSurface) = 0;  // 3
    // Takes a surface back for reuse; any thread.
    virtual int32_t Recycle(IKxSurface* pSurface) = 0;                     // 4
};

// Memory handed out by a block: pointer and length.
struct SKxMemData {
    uint8_t* pData;
    uint32_t nLength;
};

class IKxMemBlock;

// Memory pool: Allocate hands out a block of at least nSize bytes with one reference for the
// caller; Recycle takes back a pooled block whose only remaining reference is the pool's own.
// Recycle may be called from any thread.
class IKxMemPool : public IKxUnknown {
public:
    // Takes back a block whose last reference besides the pool's is going; any thread.
    virtual int32_t Recycle(IKxMemBlock* pBlock) = 0;                      // 3
    virtual int32_t Reserved4() { return 0; }                              // 4
    virtual int32_t Reserved5() { return 0; }                              // 5
    // A block of at least nSize bytes with one reference for the caller; 0 or a negative code.
    virtual int32_t Allocate(unsigned int nSize, IKxMemBlock** ppBlock) = 0;  // 6
};

// A block of memory. m_pIPool, when set, is the pool that keeps its own reference to the block:
// Release hands the block back to it when only that reference remains.
class IKxMemBlock : public IKxUnknown {
public:
    IKxMemBlock() : m_pIPool(NULL) {}
    virtual int32_t Release() {
        const int32_t nBefore = m_nRefCount.fetch_sub(1, std::memory_order_seq_cst);
        if (nBefore == 2 && m_pIPool != NULL) {
            m_pIPool->Recycle(this);
        } else if (nBefore == 1) {
            delete this;
        }
        return nBefore - 1;
    }
    virtual int32_t GetData(SKxMemData* pData) = 0;  // 3: pointer and length; begins access
    virtual int32_t EndAccess() = 0;                 // 4: ends the access of GetData
    virtual uint64_t GetTime() = 0;                  // 5: monotonic time of the call, ns
    virtual void Reset() = 0;                        // 6: lets go of the memory it wraps

    IKxMemPool* m_pIPool;
};

// Wait answers of IKxSignal.
static const int32_t c_nKxSignalSet = 0;
static const int32_t c_nKxSignalStopped = 1;
static const int32_t c_nKxSignalTimeout = 3;

// A one-shot signal: Set wakes every waiter; Wait answers 3 while not set when the timeout passes.
class IKxSignal : public IKxUnknown {
public:
    // Sets the signal and wakes every waiter.
    virtual int32_t Set() = 0;                      // 3
    // Wakes every waiter with c_nKxSignalStopped (the capture ended).
    virtual int32_t NotifyStop() = 0;              // 4: wakes waiters with c_nKxSignalStopped
    // Waits up to nTimeoutMs: c_nKxSignalSet, c_nKxSignalStopped or c_nKxSignalTimeout.
    virtual int32_t Wait(uint32_t nTimeoutMs) = 0;  // 5
};

#endif
