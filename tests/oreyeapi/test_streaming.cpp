// Streaming of the virtual camera: frames through the callback, the bounded buffer pool with
// drops, buffers coming back, events, offline, and deleting a streaming camera object.
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "vcam_fixture.h"

namespace {

struct Sink {
    std::mutex mtx;
    std::vector<unsigned int> vecHeld;  // buffer ids not yet returned
    std::vector<uint32_t> vecCounters;
    std::vector<int> vecEvents;
    std::atomic<int> nFrames{0};
    bool bHold = false;
    IOrEyeCamera* pCam = nullptr;
    static void Callback(int nEvent, int nParam, void* pBuffer, unsigned int nLength, unsigned int nId, void* pCtx) {
        Sink* s = static_cast<Sink*>(pCtx);
        (void)nParam;
        std::lock_guard<std::mutex> lock(s->mtx);
        if (nEvent != c_nOrEyeEventFrame) {
            s->vecEvents.push_back(nEvent);
            return;
        }
        ASSERT_NE(nullptr, pBuffer);
        ASSERT_EQ(32800u, nLength);
        uint32_t t5;
        memcpy(&t5, static_cast<uint8_t*>(pBuffer) + 32768 + 20, 4);
        s->vecCounters.push_back((t5 >> 19) & 0xFFF);
        ++s->nFrames;
        if (s->bHold)
            s->vecHeld.push_back(nId);
        else
            EXPECT_EQ(c_nOrEyeOK, s->pCam->ReleaseFrameBuffer(nId));
    }
};

class Streaming : public VirtualCameraTest {
protected:
    std::string Config() override { return R"([{"version": 8, "swing_motor": false}])"; }
    void SetUp() override {
        VirtualCameraTest::SetUp();
        m_sink.pCam = m_pCam.get();
        ASSERT_EQ(c_nOrEyeOK, m_pCam->SetROI(0, 512, 0, 512, 1536, 512));
        ASSERT_EQ(c_nOrEyeOK, m_pCam->SetFrameCallback(1, &Sink::Callback, &m_sink));
    }
    void WaitFrames(int n) {
        for (int i = 0; i < 500 && m_sink.nFrames < n; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Sink m_sink;
};

TEST_F(Streaming, DeliversAtTheSetRateAndReturnsEveryBuffer) {
    const uint16_t nRate = 50;
    ASSERT_EQ(c_nOrEyeOK, m_pCam->SetParam(34, &nRate, 2));
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(c_nOrEyeOK, m_pCam->EnableStream(1));
    WaitFrames(25);
    const double dSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ASSERT_EQ(c_nOrEyeOK, m_pCam->EnableStream(0));
    ASSERT_GE(m_sink.nFrames, 25);
    // Loosely: not far faster than the set rate (a slow machine may be slower).
    EXPECT_GT(dSeconds, 25 / (2.0 * nRate));
    const OrEyeTest::Counters c = m_pControl->GetCounters();
    EXPECT_EQ(0u, c.nFramesDropped);
    EXPECT_EQ(c.nBuffersOut, c.nBuffersReturned);
    EXPECT_EQ(0u, c.nBuffersHeld);
    EXPECT_EQ(0u, c.nBadReleases);
    for (size_t i = 1; i < m_sink.vecCounters.size(); ++i)
        EXPECT_EQ((m_sink.vecCounters[i - 1] + 1) % 4096, m_sink.vecCounters[i]);
}

TEST_F(Streaming, DropsWhenTheApplicationHoldsEveryBuffer) {
    const uint16_t nRate = 200;
    ASSERT_EQ(c_nOrEyeOK, m_pCam->SetParam(34, &nRate, 2));
    ASSERT_EQ(c_nOrEyeOK, m_pCam->SetImageTransfer(0, 3, 32800));
    m_sink.bHold = true;
    ASSERT_EQ(c_nOrEyeOK, m_pCam->EnableStream(1));
    WaitFrames(3);
    for (int i = 0; i < 100 && m_pControl->GetCounters().nFramesDropped < 3; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    {
        std::lock_guard<std::mutex> lock(m_sink.mtx);
        EXPECT_EQ(3u, m_sink.vecHeld.size());
        EXPECT_GE(m_pControl->GetCounters().nFramesDropped, 3u);
        // Handing one back lets the next frame through; its counter shows the gap.
        m_sink.bHold = false;
        EXPECT_EQ(c_nOrEyeOK, m_pCam->ReleaseFrameBuffer(m_sink.vecHeld[0]));
        m_sink.vecHeld.erase(m_sink.vecHeld.begin());
    }
    WaitFrames(5);
    ASSERT_EQ(c_nOrEyeOK, m_pCam->EnableStream(0));
    {
        std::lock_guard<std::mutex> lock(m_sink.mtx);
        ASSERT_GE(m_sink.vecCounters.size(), 4u);
        EXPECT_GT((m_sink.vecCounters[3] - m_sink.vecCounters[2]) & 0xFFF, 1u);
        for (unsigned int nId : m_sink.vecHeld) EXPECT_EQ(c_nOrEyeOK, m_pCam->ReleaseFrameBuffer(nId));
        // Each buffer exactly once.
        EXPECT_EQ(c_nOrEyeBadArgument, m_pCam->ReleaseFrameBuffer(m_sink.vecHeld[0]));
    }
    const OrEyeTest::Counters c = m_pControl->GetCounters();
    EXPECT_EQ(c.nFramesProduced, c.nFramesDelivered + c.nFramesDropped);
    EXPECT_EQ(c.nBuffersOut, c.nBuffersReturned);
    EXPECT_EQ(0u, c.nBuffersHeld);
    EXPECT_EQ(1u, c.nBadReleases);
}

TEST_F(Streaming, WaitStreamFrameCopiesTheNextFrame) {
    ASSERT_EQ(c_nOrEyeOK, m_pCam->EnableStream(1));
    std::vector<uint8_t> laser(32800);
    unsigned char* apDest[3] = {nullptr, nullptr, laser.data()};
    unsigned int nLength = 0, nId = 0;
    ASSERT_EQ(c_nOrEyeOK, m_pCam->WaitStreamFrame(apDest, &nLength, &nId, 2000));
    EXPECT_EQ(32800u, nLength);
    EXPECT_GT(DecodeTrailer(laser.data(), 8).nPoints, 0u);
    m_pControl->FailNext(OrEyeTest::Op_WaitStreamFrame, c_nOrEyeRetry, 1);
    EXPECT_EQ(c_nOrEyeRetry, m_pCam->WaitStreamFrame(apDest, &nLength, &nId, 2000));
    // Offline: the waiting caller hears it, the stream stops after event 7.
    m_pControl->SetOffline(true);
    EXPECT_EQ(c_nOrEyeOffline, m_pCam->WaitStreamFrame(apDest, &nLength, &nId, 2000));
    for (int i = 0; i < 200 && m_pControl->IsStreaming(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_FALSE(m_pControl->IsStreaming());
    {
        std::lock_guard<std::mutex> lock(m_sink.mtx);
        EXPECT_EQ(std::vector<int>({c_nOrEyeEventError7}), m_sink.vecEvents);
    }
    m_pControl->SetOffline(false);
}

TEST_F(Streaming, RaisesNotificationEvents) {
    for (int e : {0, 5, 7, 10, 11}) m_pControl->RaiseEvent(e, 0);
    std::lock_guard<std::mutex> lock(m_sink.mtx);
    EXPECT_EQ(std::vector<int>({0, 5, 7, 10, 11}), m_sink.vecEvents);
}

TEST_F(Streaming, DeletingAStreamingCameraStopsCleanlyAndKeepsHeldBuffers) {
    m_sink.bHold = true;
    ASSERT_EQ(c_nOrEyeOK, m_pCam->EnableStream(1));
    WaitFrames(2);
    m_pCam.reset();  // stops the stream and waits for its thread
    EXPECT_FALSE(m_pControl->IsStreaming());
    const int nFrames = m_sink.nFrames;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(nFrames, m_sink.nFrames);  // no callback after deletion
    // Buffers the application held stay valid and go back through another session.
    std::unique_ptr<IOrEyeCamera> p(CreateOrEyeApi(OREYEAPI_TYPE_LOCAL));
    ASSERT_EQ(c_nOrEyeOK, p->InitDevice(0, 0, 0, 3, "virtual:0"));
    std::lock_guard<std::mutex> lock(m_sink.mtx);
    for (unsigned int nId : m_sink.vecHeld) EXPECT_EQ(c_nOrEyeOK, p->ReleaseFrameBuffer(nId));
    EXPECT_EQ(0u, m_pControl->GetCounters().nBuffersHeld);
}

}  // namespace
