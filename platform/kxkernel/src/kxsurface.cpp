// Surfaces: wrappers over caller memory, and pooled surfaces that own their pixels.
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <utility>

#include "kxkernel.h"

namespace {

// Only 8-bit grey is produced by the cameras.
bool IsSupportedFormat(int32_t nFormat) { return nFormat == c_nKxPixelFormatGray8; }

class CKxSurfaceBase : public IKxSurface {
public:
    CKxSurfaceBase() { memset(&m_sImage, 0, sizeof(m_sImage)); }
    int32_t Lock(uint8_t** ppPixels) override {
        if (ppPixels == NULL) return KX_E_NULL_ARGUMENT;
        *ppPixels = m_sImage.pData;
        return KX_OK;
    }
    int32_t Unlock() override { return KX_OK; }
    int32_t SetOrigin(int32_t nX, int32_t nY) override {
        m_sImage.nX = nX;
        m_sImage.nY = nY;
        return KX_OK;
    }
    int32_t GetImageData(SKxNLImageData* pImage) const override {
        if (pImage == NULL) return KX_E_NULL_ARGUMENT;
        *pImage = m_sImage;
        return KX_OK;
    }

protected:
    SKxNLImageData m_sImage;
};

class CKxCustomSurface : public CKxSurfaceBase {
public:
    CKxCustomSurface(const SKxNLImageData& image, IKxUnknown* pKeepAlive) : m_pKeepAlive(pKeepAlive) {
        m_sImage = image;
        if (m_pKeepAlive != NULL) m_pKeepAlive->AddRef();
    }
    ~CKxCustomSurface() override {
        if (m_pKeepAlive != NULL) m_pKeepAlive->Release();
    }

private:
    IKxUnknown* m_pKeepAlive;  // owner of the wrapped pixels, held while the surface lives
};

class CKxSurfacePool;

class CKxPoolSurface : public CKxSurfaceBase {
public:
    CKxPoolSurface(CKxSurfacePool* pPool, uint8_t* pPixels, int32_t nWidth, int32_t nHeight,
                   int32_t nFormat)
        : m_pPool(pPool) {
        m_sImage.pData = pPixels;
        m_sImage.nSize = static_cast<uint32_t>(nWidth) * static_cast<uint32_t>(nHeight);
        m_sImage.nWidth = nWidth;
        m_sImage.nHeight = nHeight;
        m_sImage.nPixelFormat = nFormat;
        m_sImage.nBits = 8;
        m_sImage.nChannels = 1;
    }
    ~CKxPoolSurface() override { free(m_sImage.pData); }

    // The last reference hands the surface back to its pool instead of destroying it.
    int32_t Release() override;

    void Revive(int32_t nX, int32_t nY) {
        m_nRefCount.store(1);
        m_sImage.nX = nX;
        m_sImage.nY = nY;
    }
    std::pair<int32_t, int32_t> Size() const { return std::make_pair(m_sImage.nWidth, m_sImage.nHeight); }

    CKxSurfacePool* m_pPool;
};

// Each surface handed out holds one reference on the pool (as the memory pool does), so a
// surface released after the application dropped the pool still finds it.
class CKxSurfacePool : public IKxSurfacePool {
public:
    typedef std::pair<int32_t, int32_t> Key;

    ~CKxSurfacePool() override {
        for (std::multimap<Key, CKxPoolSurface*>::iterator it = m_mapFree.begin(); it != m_mapFree.end(); ++it)
            delete it->second;
    }

    int32_t AllocSurface(int32_t nWidth, int32_t nHeight, int32_t nPixelFormat, int32_t nX, int32_t nY,
                         IKxSurface** ppSurface) override {
        if (ppSurface == NULL) return KX_E_NULL_ARGUMENT;
        *ppSurface = NULL;
        if (!IsSupportedFormat(nPixelFormat)) return KX_E_NOT_SUPPORTED;
        // Bounded so that width x height fits the 32-bit byte size of the description.
        if (nWidth <= 0 || nHeight <= 0 || nWidth > 65535 || nHeight > 65535) return KX_E_OUT_OF_RANGE;
        CKxPoolSurface* pSurface = NULL;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            std::multimap<Key, CKxPoolSurface*>::iterator it = m_mapFree.find(Key(nWidth, nHeight));
            if (it != m_mapFree.end()) {
                pSurface = it->second;
                m_mapFree.erase(it);
            } else {
                const size_t nBytes = static_cast<size_t>(nWidth) * static_cast<size_t>(nHeight);
                uint8_t* pPixels = static_cast<uint8_t*>(calloc(nBytes, 1));
                if (pPixels == NULL) {
                    KxLogUtils::PrintLog(c_nKxLogError, "Surface Pool Allocate %d x %d Failed", nWidth, nHeight);
                    return KX_E_BAD_LENGTH;
                }
                pSurface = new (std::nothrow) CKxPoolSurface(this, pPixels, nWidth, nHeight, nPixelFormat);
                if (pSurface == NULL) {
                    free(pPixels);
                    return KX_E_BAD_LENGTH;
                }
            }
            m_setOut.insert(pSurface);
        }
        AddRef();
        pSurface->Revive(nX, nY);
        *ppSurface = pSurface;
        return KX_OK;
    }

    int32_t Recycle(IKxSurface* pISurface) override {
        if (pISurface == NULL) return KX_E_NULL_ARGUMENT;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            // Only surfaces of this pool whose last reference is gone come back.
            std::set<IKxSurface*>::iterator it = m_setOut.find(pISurface);
            if (it == m_setOut.end()) return KX_E_NOT_FOUND;
            CKxPoolSurface* pSurface = static_cast<CKxPoolSurface*>(pISurface);
            if (pSurface->GetRefCount() != 0) return KX_E_BUSY;
            m_setOut.erase(it);
            m_mapFree.insert(std::make_pair(pSurface->Size(), pSurface));
        }
        Release();  // the surface's hold on the pool; may end the pool
        return KX_OK;
    }

private:
    std::mutex m_mutex;
    std::multimap<Key, CKxPoolSurface*> m_mapFree;
    std::set<IKxSurface*> m_setOut;
};

int32_t CKxPoolSurface::Release() {
    const int32_t nBefore = m_nRefCount.fetch_sub(1, std::memory_order_seq_cst);
    if (nBefore == 1) {
        if (m_pPool == NULL || m_pPool->Recycle(this) != KX_OK) delete this;
    }
    return nBefore - 1;
}

}  // namespace

bool KxCreateCustomSurface(const SKxNLImageData& image, IKxSurface** ppSurface) {
    return KxCreateCustomSurfaceEx(image, NULL, ppSurface);
}

bool KxCreateCustomSurfaceEx(const SKxNLImageData& image, IKxUnknown* pKeepAlive, IKxSurface** ppSurface) {
    if (ppSurface == NULL) return false;
    *ppSurface = NULL;
    if (image.pData == NULL || image.nWidth <= 0 || image.nHeight <= 0) return false;
    // The description must cover the pixels it claims, or a reader would run past them.
    const uint64_t nBytesPerPixel =
        (static_cast<uint64_t>(image.nBits ? image.nBits : 8) * (image.nChannels ? image.nChannels : 1) + 7) / 8;
    const uint64_t nNeed = static_cast<uint64_t>(image.nWidth) * static_cast<uint64_t>(image.nHeight) * nBytesPerPixel;
    if (image.nSize < nNeed) {
        KxLogUtils::PrintLog(c_nKxLogError, "Create Custom Surface Failed: %u Bytes For %d x %d",
                             image.nSize, image.nWidth, image.nHeight);
        return false;
    }
    *ppSurface = new (std::nothrow) CKxCustomSurface(image, pKeepAlive);
    return *ppSurface != NULL;
}

namespace KxKernel {

bool KxCreateSurfacePool(IKxSurfacePool** ppPool) {
    if (ppPool == NULL) return false;
    *ppPool = new (std::nothrow) CKxSurfacePool();
    return *ppPool != NULL;
}

}  // namespace KxKernel
