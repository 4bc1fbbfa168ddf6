// Slots 85 to 94 of the device and slot 29 of the result block from an application's side: this program sees only the public headers and
// links the shared library, as an application does. The calls reach the library's device
// through IKxLaserEyeDeviceEx, so a slot out of order would land in another operation.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "kxkernel.h"
#include "kxlasereyedevice.h"

namespace {

class PublicDevice : public ::testing::Test {
protected:
    void SetUp() override {
        IKxEyeDeviceEnumrator* pEnum = nullptr;
        ASSERT_TRUE(KxCreateLaserEyeDeviceEnumrator(&pEnum));
        pEnum->SearchDevice(c_nKxSearchLocal);  // the embedded virtual camera, version 8
        std::vector<SKxNLEyeDeviceInfoEx> vecInfos;
        pEnum->GetDeviceInfoList(vecInfos);
        pEnum->Release();
        ASSERT_FALSE(vecInfos.empty());
        ASSERT_TRUE(KxCreateLaserEyeDevice(&vecInfos[0], nullptr, nullptr, &m_pDevice));
        ASSERT_EQ(0, m_pDevice->Open(0));
    }
    void TearDown() override {
        if (m_pDevice) m_pDevice->Release();
    }
    IKxLaserEyeDevice* m_pDevice = nullptr;
};

}  // namespace

TEST_F(PublicDevice, ExtendedSlotsReachTheirOperations) {
    IKxLaserEyeDeviceEx* pEx = static_cast<IKxLaserEyeDeviceEx*>(m_pDevice);
    EXPECT_EQ(0, pEx->SetWheelRadius(12.5));
    EXPECT_EQ(12.5, pEx->GetWheelRadius());
    EXPECT_EQ(1, pEx->GetEncodeMode());  // the default
    EXPECT_EQ(0, pEx->SetEncodeMode(2));
    EXPECT_EQ(2, pEx->GetEncodeMode());
    EXPECT_EQ(0, pEx->SetEncodeMode(1));
    EXPECT_EQ(0, pEx->SetPulsePerRound(1024));
    EXPECT_EQ(0, pEx->StopDevice());
    // The base slots still answer through the same pointer.
    EXPECT_TRUE(pEx->IsOpen());
    EXPECT_FALSE(pEx->IsCapturing());
    EXPECT_EQ(8u, pEx->GetHWVersion());
}

TEST_F(PublicDevice, StopDeviceEndsACapture) {
    class CCount : public IKxLaserDataCallBack {
    public:
        void OnLaserResult(IKxLaserEyeResultBlock*) override {}
    } callback;
    IKxLaserEyeDeviceEx* pEx = static_cast<IKxLaserEyeDeviceEx*>(m_pDevice);
    ASSERT_EQ(0, pEx->StartCapture(0, &callback, nullptr));
    EXPECT_TRUE(pEx->IsCapturing());
    EXPECT_EQ(0, pEx->StopDevice());
    EXPECT_FALSE(pEx->IsCapturing());
    pEx->Close();
    EXPECT_EQ(-79988, pEx->StopDevice());  // not open
}

// Slots 91 to 94 (getting a lost camera back), reached the same way; off by default.
TEST_F(PublicDevice, ReconnectSlotsReachTheirOperations) {
    IKxLaserEyeDeviceReconnect* pRe = static_cast<IKxLaserEyeDeviceReconnect*>(m_pDevice);
    EXPECT_FALSE(pRe->IsReconnectEnabled());
    SKxReconnectState st;
    st.nState = 7;
    EXPECT_EQ(0, pRe->GetReconnectState(&st));
    EXPECT_EQ(0u, st.nState);
    EXPECT_EQ(0u, st.nLosses);
    EXPECT_EQ(-79000, pRe->GetReconnectState(nullptr));
    EXPECT_EQ(0, pRe->EnableReconnect(true, 100, 1000));
    EXPECT_TRUE(pRe->IsReconnectEnabled());
    EXPECT_EQ(0, pRe->CancelReconnect());
    EXPECT_EQ(0, pRe->EnableReconnect(false, 0, 0));
    EXPECT_FALSE(pRe->IsReconnectEnabled());
    // The base slots still answer through the same pointer.
    EXPECT_EQ(8u, pRe->GetHWVersion());
    EXPECT_EQ(1, pRe->GetEncodeMode());
}

// Slot 29 of the result block: each captured frame's time on the host's clock, reached with a
// static_cast of the block pointer.
TEST_F(PublicDevice, ResultBlockHostTimeSlotMapsEveryFrame) {
    class CTimes : public IKxLaserDataCallBack {
    public:
        void OnLaserResult(IKxLaserEyeResultBlock* pBlock) override {
            IKxLaserEyeResultBlockEx* pEx = static_cast<IKxLaserEyeResultBlockEx*>(pBlock);
            SKxHostTime t{};
            const int32_t nCode = pEx->GetHostTime(&t);
            std::lock_guard<std::mutex> lock(m);
            if (nCode != 0 || pEx->GetHostTime(nullptr) != -79000) ++nBad;
            vec.push_back({t, pBlock->GetTimeStamp()});
        }
        std::mutex m;
        int nBad = 0;
        std::vector<std::pair<SKxHostTime, uint64_t>> vec;
    } times;
    ASSERT_EQ(0, m_pDevice->StartCapture(0, &times, nullptr));
    // The drift is estimated once the frames span a second of camera time.
    for (int i = 0; i < 100; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::lock_guard<std::mutex> lock(times.m);
        if (!times.vec.empty() && times.vec.back().first.nState == 2) break;
    }
    m_pDevice->StopCapture();
    std::lock_guard<std::mutex> lock(times.m);
    EXPECT_EQ(0, times.nBad);
    ASSERT_GE(times.vec.size(), 3u);
    EXPECT_EQ(2u, times.vec.back().first.nState);
    for (size_t i = 0; i < times.vec.size(); ++i) {
        const SKxHostTime& t = times.vec[i].first;
        EXPECT_GE(t.nState, 1u);
        EXPECT_LE(t.nHostNs, t.nArrivalNs + 1000) << "frame " << i << " mapped after it arrived";
        EXPECT_EQ(i + 1, t.nSamples);
        if (i == 0) continue;
        // Host times step like the camera's own time (drift aside: well under 1 ms here).
        const double dHost = static_cast<double>(t.nHostNs - times.vec[i - 1].first.nHostNs) / 1000.0;
        const double dCam = static_cast<double>(times.vec[i].second - times.vec[i - 1].second);
        EXPECT_NEAR(dCam, dHost, 1000.0) << "frame " << i;
    }
}
