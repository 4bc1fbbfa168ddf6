// Several cameras, one callback per group of frames: CKxFrameGroup captures from two or more
// open devices at once and hands the application one frame of each device per call, paired by
// the shared belt encoder's count (the cameras latch one encoder) or, without an encoder, by the
// frames' host time (IKxLaserEyeResultBlockEx::GetHostTime). Header-only, C++11; docs in
// docs/multi-camera.md ("Scanning together").
//
//     class CMyGroup : public IKxFrameGroupHandler {
//         void OnFrameGroup(IKxLaserEyeResultBlock* const* ppBlocks, uint32_t nCount,
//                           const SKxFrameGroupInfo& info) override { ... }
//     } handler;
//     std::vector<IKxLaserEyeDevice*> devices = {pLeft, pRight};  // open, not capturing
//     CKxFrameGroup group(devices, &handler);
//     group.Start();   // StartCapture on every device
//     ...
//     group.Stop();    // StopCapture on every device; every held frame goes back
#ifndef KXLASEREYEGROUP_H
#define KXLASEREYEGROUP_H

#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "kxlasereyedevice.h"

// What a group's frames have in common.
struct SKxFrameGroupInfo {
    uint64_t nGroup;       // 0, 1, 2, ... in delivery order
    int32_t nPairedBy;     // c_nKxPairByEncoder or c_nKxPairByHostTime
    int64_t nSpread;       // largest key minus smallest key of the group (counts, or ns)
};

static const int32_t c_nKxPairByAuto = 0;       // the encoder when its count moves, else host time
static const int32_t c_nKxPairByEncoder = 1;    // encoder count (29 bits, wraps; shared encoder)
static const int32_t c_nKxPairByHostTime = 2;   // host time of the frame, ns

struct SKxFrameGroupOptions {
    int32_t nPairBy;         // c_nKxPairBy...
    int64_t nMaxSpread;      // a group whose keys lie further apart is not formed (0: no bound)
    uint32_t nMaxPending;    // frames held per device while its partners are awaited (1..1024)
    uint32_t nAutoFrames;    // frames of the first device looked at before auto decides
    SKxFrameGroupOptions() : nPairBy(c_nKxPairByAuto), nMaxSpread(0), nMaxPending(32), nAutoFrames(8) {}
};

// Per device, since Start.
struct SKxFrameGroupStats {
    uint64_t nFrames;     // frames the device delivered
    uint64_t nGrouped;    // of them, handed on in a group
    uint64_t nUnpaired;   // of them, given back without a group (no partner near enough, or
                          // the pending bound or Stop came first)
    uint64_t nLost;       // frames the camera made that never arrived (frame index gaps)
};

// The application's side: called on the group's own thread, one call at a time, in order.
// ppBlocks[i] is device i's frame; the blocks are valid for the call (AddRef to keep one).
// The camera library's threads only queue frames, so a slow handler costs frames of the
// pending bound (counted as unpaired), never a camera thread. Do not call Stop from here.
class IKxFrameGroupHandler {
public:
    virtual ~IKxFrameGroupHandler() {}
    virtual void OnFrameGroup(IKxLaserEyeResultBlock* const* ppBlocks, uint32_t nCount,
                              const SKxFrameGroupInfo& info) = 0;
};

class CKxFrameGroup {
public:
    // The devices must be open and stay alive until Stop has returned; device 0 is the anchor:
    // every group holds one of its frames and the nearest frame of each other device.
    CKxFrameGroup(const std::vector<IKxLaserEyeDevice*>& vecDevices, IKxFrameGroupHandler* pHandler,
                  const SKxFrameGroupOptions& opts = SKxFrameGroupOptions())
        : m_vecDevices(vecDevices), m_pHandler(pHandler), m_opts(opts) {
        if (m_opts.nMaxPending < 1) m_opts.nMaxPending = 1;
        if (m_opts.nMaxPending > 1024) m_opts.nMaxPending = 1024;
        for (size_t i = 0; i < m_vecDevices.size(); ++i) m_vecFeeds.push_back(new CFeed(this, i));
    }
    ~CKxFrameGroup() {
        Stop();
        for (size_t i = 0; i < m_vecFeeds.size(); ++i) delete m_vecFeeds[i];
    }

    // StartCapture on every device; 0, -79000 for no handler, a null device or fewer than two,
    // or the first device's failure (the devices started before it are stopped again).
    int32_t Start() {
        for (size_t i = 0; i < m_vecDevices.size(); ++i)
            if (m_vecDevices[i] == nullptr) return KX_E_NULL_ARGUMENT;
        const int32_t nBegin = StartFed();
        if (nBegin != KX_OK) return nBegin;
        for (size_t i = 0; i < m_vecDevices.size(); ++i) {
            const int32_t nCode = m_vecDevices[i]->StartCapture(0, m_vecFeeds[i], nullptr);
            if (nCode != KX_OK) {
                for (size_t k = 0; k < i; ++k) {
                    m_vecFeeds[k]->m_bStarted = false;
                    m_vecDevices[k]->StopCapture();
                }
                StopThread();
                return nCode;
            }
            m_vecFeeds[i]->m_bStarted = true;
        }
        return KX_OK;
    }

    // Groups without capturing: the application hands each device's frames to Feed itself (from
    // its own data callbacks, or frames it pulled); the devices may then be null. 0 or -79000.
    int32_t StartFed() {
        if (m_pHandler == nullptr || m_vecDevices.size() < 2) return KX_E_NULL_ARGUMENT;
        Stop();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bRun = true;
            m_nGroups = 0;
            m_nPairBy = m_opts.nPairBy;
            for (size_t i = 0; i < m_vecFeeds.size(); ++i) m_vecFeeds[i]->Reset();
            m_bHaveOrigin = false;
        }
        m_thread = std::thread(&CKxFrameGroup::Run, this);
        return KX_OK;
    }

    // One frame of device i (the group takes its own reference); ignored when not running.
    void Feed(size_t i, IKxLaserEyeResultBlock* pBlock) {
        if (i < m_vecFeeds.size()) Arrive(i, pBlock);
    }

    // StopCapture on every device (the first failure is answered; every device is stopped),
    // then the frames still waiting are grouped as they stand and the rest go back, counted as
    // unpaired. Safe to call more than once.
    int32_t Stop() {
        int32_t nResult = KX_OK;
        for (size_t i = 0; i < m_vecFeeds.size(); ++i) {
            if (!m_vecFeeds[i]->m_bStarted) continue;
            m_vecFeeds[i]->m_bStarted = false;
            const int32_t nCode = m_vecDevices[i]->StopCapture();
            if (nResult == KX_OK) nResult = nCode;
        }
        StopThread();
        return nResult;
    }

    // The figures of device i since Start; false for an index out of range.
    bool GetStats(size_t i, SKxFrameGroupStats* pStats) {
        if (pStats == nullptr || i >= m_vecFeeds.size()) return false;
        std::lock_guard<std::mutex> lock(m_mutex);
        *pStats = m_vecFeeds[i]->m_sStats;
        return true;
    }
    uint64_t GetGroupCount() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_nGroups;
    }
    // What the groups are paired by (auto settles after the first frames; 0 until then).
    int32_t GetPairedBy() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_nPairBy;
    }

private:
    struct SPending {
        IKxLaserEyeResultBlock* pBlock;
        uint32_t nCount;    // raw encoder count
        int64_t nHostNs;    // host time
        int64_t nKey;       // what pairs it, once keyed
        bool bKeyed;
    };

    // One device's callback and its frames awaiting partners.
    class CFeed : public IKxLaserDataCallBack {
    public:
        CFeed(CKxFrameGroup* pOwner, size_t nIndex) : m_pOwner(pOwner), m_nIndex(nIndex), m_bStarted(false) { Reset(); }
        void Reset() {
            m_sStats = SKxFrameGroupStats();
            while (!m_queue.empty()) {
                m_queue.front().pBlock->Release();
                m_queue.pop_front();
            }
            m_bHaveIndex = false;
            m_nLastIndex = 0;
            m_bHaveCount = false;
            m_nLastCount = 0;
            m_nTotal = 0;
        }
        void OnLaserResult(IKxLaserEyeResultBlock* pBlock) override { m_pOwner->Arrive(m_nIndex, pBlock); }

        CKxFrameGroup* m_pOwner;
        size_t m_nIndex;
        bool m_bStarted;
        std::deque<SPending> m_queue;
        SKxFrameGroupStats m_sStats;
        bool m_bHaveIndex;
        uint64_t m_nLastIndex;
        bool m_bHaveCount;
        uint32_t m_nLastCount;
        int64_t m_nTotal;  // unwrapped count, on the shared encoder's scale
    };

    static const int64_t c_nCountRange = int64_t(1) << 29;

    // Signed step between two 29-bit counts: a wrap counts on, a small step back counts back.
    static int64_t CountStep(uint32_t nFrom, uint32_t nTo) {
        int64_t n = (static_cast<int64_t>(nTo & 0x1FFFFFFFu) - static_cast<int64_t>(nFrom & 0x1FFFFFFFu)) % c_nCountRange;
        if (n < 0) n += c_nCountRange;
        if (n >= c_nCountRange / 2) n -= c_nCountRange;
        return n;
    }

    // Camera library's thread: keep the frame (one reference) for the group's thread.
    void Arrive(size_t nIndex, IKxLaserEyeResultBlock* pBlock) {
        if (pBlock == nullptr) return;
        SPending p;
        p.pBlock = pBlock;
        p.nCount = pBlock->GetEncoderCount();
        SKxHostTime t;
        t.nHostNs = 0;
        static_cast<IKxLaserEyeResultBlockEx*>(pBlock)->GetHostTime(&t);
        p.nHostNs = t.nHostNs;
        p.nKey = 0;
        p.bKeyed = false;
        const uint64_t nIndexNow = pBlock->GetFrameIndex();
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_bRun) return;
        CFeed& f = *m_vecFeeds[nIndex];
        ++f.m_sStats.nFrames;
        if (f.m_bHaveIndex && nIndexNow > f.m_nLastIndex + 1) f.m_sStats.nLost += nIndexNow - f.m_nLastIndex - 1;
        f.m_bHaveIndex = true;
        f.m_nLastIndex = nIndexNow;
        pBlock->AddRef();
        f.m_queue.push_back(p);
        ++m_nArrivals;
        m_cv.notify_all();
    }

    void StopThread() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bRun = false;
        }
        m_cv.notify_all();
        if (m_thread.joinable()) m_thread.join();
        std::lock_guard<std::mutex> lock(m_mutex);
        for (size_t i = 0; i < m_vecFeeds.size(); ++i) {
            CFeed& f = *m_vecFeeds[i];
            while (!f.m_queue.empty()) {
                f.m_queue.front().pBlock->Release();
                f.m_queue.pop_front();
                ++f.m_sStats.nUnpaired;
            }
        }
    }

    // Auto: the encoder when the first device's count moved over its first frames.
    bool DecidePairBy(bool bFinal) {
        if (m_nPairBy != c_nKxPairByAuto) return true;
        const std::deque<SPending>& q = m_vecFeeds[0]->m_queue;
        if (!bFinal && q.size() < m_opts.nAutoFrames && q.size() < m_opts.nMaxPending) return false;
        bool bMoved = false;
        for (size_t i = 1; i < q.size(); ++i) bMoved = bMoved || q[i].nCount != q[0].nCount;
        m_nPairBy = bMoved ? c_nKxPairByEncoder : c_nKxPairByHostTime;
        return true;
    }

    // Gives every waiting frame its key (the encoder's counts unwrapped on one scale for all
    // devices: the first count seen is the origin of every device).
    void Keys() {
        for (size_t i = 0; i < m_vecFeeds.size(); ++i) {
            CFeed& f = *m_vecFeeds[i];
            for (size_t k = 0; k < f.m_queue.size(); ++k) {
                SPending& p = f.m_queue[k];
                if (p.bKeyed) continue;
                p.bKeyed = true;
                if (m_nPairBy == c_nKxPairByHostTime) {
                    p.nKey = p.nHostNs;
                    continue;
                }
                if (!m_bHaveOrigin) {
                    m_bHaveOrigin = true;
                    m_nOriginCount = p.nCount;
                }
                if (!f.m_bHaveCount) {
                    f.m_bHaveCount = true;
                    f.m_nTotal = CountStep(m_nOriginCount, p.nCount);
                } else {
                    f.m_nTotal += CountStep(f.m_nLastCount, p.nCount);
                }
                f.m_nLastCount = p.nCount;
                p.nKey = f.m_nTotal;
            }
        }
    }

    void DropFront(CFeed& f) {
        f.m_queue.front().pBlock->Release();
        f.m_queue.pop_front();
        ++f.m_sStats.nUnpaired;
    }

    // Forms every group that can be formed now; appends them to vecOut (blocks referenced).
    // A group pairs the anchor's oldest frame with, per device, the frame nearest to it, unless
    // the next anchor frame needs that frame more (so that a device that lost frames does not
    // shift every later pair by one). bFinal: no frame comes any more, so
    // what would be awaited is decided now.
    void Form(std::vector<std::vector<IKxLaserEyeResultBlock*> >& vecOut, std::vector<SKxFrameGroupInfo>& vecInfo,
              bool bFinal) {
        const size_t n = m_vecFeeds.size();
        for (;;) {
            // A device whose partners never come must not hold frames without bound.
            for (size_t i = 0; i < n; ++i)
                while (m_vecFeeds[i]->m_queue.size() > m_opts.nMaxPending) DropFront(*m_vecFeeds[i]);
            CFeed& anchor = *m_vecFeeds[0];
            if (anchor.m_queue.empty()) return;
            const int64_t k = anchor.m_queue.front().nKey;
            const bool bNextAnchor = anchor.m_queue.size() >= 2;
            const int64_t k2 = bNextAnchor ? anchor.m_queue[1].nKey : k;
            bool bWait = false, bAlone = false;
            for (size_t i = 1; i < n && !bWait; ++i) {
                std::deque<SPending>& q = m_vecFeeds[i]->m_queue;
                // A frame is worse than its successor when the successor lies nearer the anchor
                // (on a tie the earlier one stays: a standing belt pairs frame by frame).
                while (q.size() >= 2 && std::llabs(q[1].nKey - k) < std::llabs(q[0].nKey - k)) DropFront(*m_vecFeeds[i]);
                if (q.empty()) {
                    // Nothing to pair with yet; at the end, nothing ever.
                    if (bFinal) bAlone = true;
                    else bWait = true;
                    continue;
                }
                // Settled when a later frame exists or the front already lies at or past the anchor.
                if (q.size() == 1 && q[0].nKey < k && !bFinal) {
                    bWait = true;
                    continue;
                }
                // Should the next anchor frame have this one instead? Only when it lies much
                // nearer to it (by more than half the anchor's step: cameras whose frames fall
                // half a step apart must not trade partners with every jitter) and that one has
                // no frame as near of its own after it. Only a frame past the anchor can lie
                // nearer to a later anchor frame.
                if (q[0].nKey > k) {
                    if (!bNextAnchor) {
                        if (!bFinal) bWait = true;
                    } else if (std::llabs(k2 - q[0].nKey) < std::llabs(k - q[0].nKey) - (k2 - k) / 2) {
                        if (q.size() >= 2) bAlone = bAlone || std::llabs(k2 - q[1].nKey) > std::llabs(k2 - q[0].nKey);
                        else if (bFinal) bAlone = true;
                        else bWait = true;
                    }
                }
            }
            if (bWait) return;
            int64_t nMin = k, nMax = k;
            if (!bAlone) {
                for (size_t i = 1; i < n; ++i) {
                    const int64_t nKey = m_vecFeeds[i]->m_queue.front().nKey;
                    if (nKey < nMin) nMin = nKey;
                    if (nKey > nMax) nMax = nKey;
                }
                if (m_opts.nMaxSpread > 0 && nMax - nMin > m_opts.nMaxSpread) bAlone = true;
            }
            if (bAlone) {
                // The anchor frame goes without a group; partners behind it go too (a later
                // anchor frame lies even further from them), partners ahead may suit the next.
                DropFront(anchor);
                for (size_t i = 1; i < n; ++i) {
                    CFeed& f = *m_vecFeeds[i];
                    if (!f.m_queue.empty() && f.m_queue.front().nKey < k) DropFront(f);
                }
                continue;
            }
            std::vector<IKxLaserEyeResultBlock*> vec(n);
            for (size_t i = 0; i < n; ++i) {
                CFeed& f = *m_vecFeeds[i];
                vec[i] = f.m_queue.front().pBlock;  // the reference moves to the group
                f.m_queue.pop_front();
                ++f.m_sStats.nGrouped;
            }
            SKxFrameGroupInfo info;
            info.nGroup = m_nGroups++;
            info.nPairedBy = m_nPairBy;
            info.nSpread = nMax - nMin;
            vecOut.push_back(vec);
            vecInfo.push_back(info);
        }
    }

    // The group's thread: forms groups and hands them on outside the lock, in order. When told
    // to stop (no frame comes any more), the frames still waiting are grouped as they stand.
    void Run() {
        std::unique_lock<std::mutex> lock(m_mutex);
        uint64_t nSeen = 0;
        for (;;) {
            m_cv.wait(lock, [&] { return !m_bRun || m_nArrivals != nSeen; });
            const bool bFinal = !m_bRun;
            nSeen = m_nArrivals;
            if (!DecidePairBy(bFinal)) continue;
            Keys();
            std::vector<std::vector<IKxLaserEyeResultBlock*> > vecGroups;
            std::vector<SKxFrameGroupInfo> vecInfo;
            Form(vecGroups, vecInfo, bFinal);
            lock.unlock();
            for (size_t g = 0; g < vecGroups.size(); ++g) {
                m_pHandler->OnFrameGroup(&vecGroups[g][0], static_cast<uint32_t>(vecGroups[g].size()), vecInfo[g]);
                for (size_t i = 0; i < vecGroups[g].size(); ++i) vecGroups[g][i]->Release();
            }
            lock.lock();
            if (bFinal) return;
        }
    }

    std::vector<IKxLaserEyeDevice*> m_vecDevices;
    IKxFrameGroupHandler* m_pHandler;
    SKxFrameGroupOptions m_opts;
    std::vector<CFeed*> m_vecFeeds;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::thread m_thread;
    bool m_bRun = false;
    uint64_t m_nGroups = 0;
    uint64_t m_nArrivals = 0;
    int32_t m_nPairBy = c_nKxPairByAuto;
    bool m_bHaveOrigin = false;
    uint32_t m_nOriginCount = 0;

    CKxFrameGroup(const CKxFrameGroup&);
    CKxFrameGroup& operator=(const CKxFrameGroup&);
};

#endif
