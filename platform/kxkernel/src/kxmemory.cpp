// Memory blocks: wrappers over caller memory, and pooled blocks reused by size.
#include <chrono>
#include <cstdlib>
#include <map>
#include <mutex>
#include <new>
#include <set>

#include "kxkernel.h"

namespace {

uint64_t NowNs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

// Wraps caller memory; never frees it.
class CKxCustomMemBlock : public IKxMemBlock {
public:
    CKxCustomMemBlock(unsigned char* pData, unsigned int nLength) : m_pData(pData), m_nLength(nLength) {}
    int32_t GetData(SKxMemData* pData) override {
        if (pData == NULL) return KX_E_NULL_ARGUMENT;
        pData->pData = m_pData;
        pData->nLength = m_nLength;
        return KX_OK;
    }
    int32_t EndAccess() override { return KX_OK; }
    uint64_t GetTime() override { return NowNs(); }
    void Reset() override {}

private:
    unsigned char* m_pData;
    unsigned int m_nLength;
};

class CKxMemPool;

// Owns its bytes. GetData reports the size asked for at Allocate (at most the capacity).
class CKxPoolMemBlock : public IKxMemBlock {
public:
    CKxPoolMemBlock(uint8_t* pBytes, unsigned int nCapacity)
        : m_pBytes(pBytes), m_nCapacity(nCapacity), m_nSize(0), m_bInUse(false) {}
    ~CKxPoolMemBlock() override { free(m_pBytes); }
    int32_t GetData(SKxMemData* pData) override {
        if (pData == NULL) return KX_E_NULL_ARGUMENT;
        pData->pData = m_pBytes;
        pData->nLength = m_nSize;
        return KX_OK;
    }
    int32_t EndAccess() override { return KX_OK; }
    uint64_t GetTime() override { return NowNs(); }
    void Reset() override {}

    uint8_t* m_pBytes;
    unsigned int m_nCapacity;
    unsigned int m_nSize;
    bool m_bInUse;  // guarded by the pool's mutex
};

// Every block handed out holds one reference on the pool, so the pool outlives the last block
// the application holds: the pool-aware release can always reach it, from any thread.
class CKxMemPool : public IKxMemPool {
public:
    ~CKxMemPool() override {
        // Only free blocks are left here: each held block keeps the pool alive.
        for (std::set<IKxMemBlock*>::iterator it = m_setAll.begin(); it != m_setAll.end(); ++it) {
            (*it)->m_pIPool = NULL;
            (*it)->Release();
        }
    }

    int32_t Allocate(unsigned int nSize, IKxMemBlock** ppBlock) override {
        if (ppBlock == NULL) return KX_E_NULL_ARGUMENT;
        *ppBlock = NULL;
        CKxPoolMemBlock* pBlock = NULL;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            // Smallest free block that is large enough.
            std::multimap<unsigned int, CKxPoolMemBlock*>::iterator it = m_mapFree.lower_bound(nSize);
            if (it != m_mapFree.end()) {
                pBlock = it->second;
                m_mapFree.erase(it);
            } else {
                uint8_t* pBytes = static_cast<uint8_t*>(malloc(nSize > 0 ? nSize : 1));
                if (pBytes == NULL) {
                    KxLogUtils::PrintLog(c_nKxLogError, "Memory Pool Allocate %u Bytes Failed", nSize);
                    return KX_E_BAD_LENGTH;
                }
                pBlock = new (std::nothrow) CKxPoolMemBlock(pBytes, nSize);
                if (pBlock == NULL) {
                    free(pBytes);
                    return KX_E_BAD_LENGTH;
                }
                pBlock->m_pIPool = this;  // the count of 1 is the pool's own reference
                m_setAll.insert(pBlock);
            }
            pBlock->m_nSize = nSize;
            pBlock->m_bInUse = true;
        }
        AddRef();
        pBlock->AddRef();  // the caller's reference
        *ppBlock = pBlock;
        return KX_OK;
    }

    int32_t Recycle(IKxMemBlock* pIBlock) override {
        if (pIBlock == NULL) return KX_E_NULL_ARGUMENT;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            // Compare addresses before any cast: foreign blocks are refused.
            std::set<IKxMemBlock*>::iterator it = m_setAll.find(pIBlock);
            if (it == m_setAll.end()) return KX_E_NOT_FOUND;
            CKxPoolMemBlock* pBlock = static_cast<CKxPoolMemBlock*>(pIBlock);
            if (!pBlock->m_bInUse || pBlock->GetRefCount() != 1) return KX_E_BUSY;
            pBlock->m_bInUse = false;
            m_mapFree.insert(std::make_pair(pBlock->m_nCapacity, pBlock));
        }
        Release();  // the block's hold on the pool; may end the pool
        return KX_OK;
    }

private:
    std::mutex m_mutex;
    std::multimap<unsigned int, CKxPoolMemBlock*> m_mapFree;
    std::set<IKxMemBlock*> m_setAll;
};

}  // namespace

bool KxCreateCustomMemBlock(unsigned char* pData, unsigned int nLength, IKxMemBlock** ppBlock) {
    if (ppBlock == NULL) return false;
    *ppBlock = NULL;
    if (pData == NULL && nLength > 0) return false;
    *ppBlock = new (std::nothrow) CKxCustomMemBlock(pData, nLength);
    return *ppBlock != NULL;
}

namespace KxKernel {

bool KxCreateMemPool(IKxMemPool** ppPool) {
    if (ppPool == NULL) return false;
    *ppPool = new (std::nothrow) CKxMemPool();
    return *ppPool != NULL;
}

}  // namespace KxKernel
