// One-shot signal: once set it stays set; a stop notification also stays until the end.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

#include "kxkernel.h"

namespace {

// Wait without limit for this timeout.
const uint32_t c_nInfinite = 0xFFFFFFFFu;

class CKxSignal : public IKxSignal {
public:
    CKxSignal() : m_bSet(false), m_bStopped(false) {}
    int32_t Set() override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bSet = true;
        }
        m_cv.notify_all();
        return KX_OK;
    }
    int32_t NotifyStop() override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bStopped = true;
        }
        m_cv.notify_all();
        return KX_OK;
    }
    int32_t Wait(uint32_t nTimeoutMs) override {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (nTimeoutMs == c_nInfinite) {
            m_cv.wait(lock, [this] { return m_bSet || m_bStopped; });
        } else {
            m_cv.wait_for(lock, std::chrono::milliseconds(nTimeoutMs), [this] { return m_bSet || m_bStopped; });
        }
        // Set wins over stop: the event that was waited for did happen.
        if (m_bSet) return c_nKxSignalSet;
        if (m_bStopped) return c_nKxSignalStopped;
        return c_nKxSignalTimeout;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_bSet;
    bool m_bStopped;
};

}  // namespace

namespace KxKernel {

bool KxCreateSignal(IKxSignal** ppSignal) {
    if (ppSignal == NULL) return false;
    *ppSignal = new (std::nothrow) CKxSignal();
    return *ppSignal != NULL;
}

}  // namespace KxKernel
