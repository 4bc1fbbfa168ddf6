// The device after a lost camera, on the mock camera: StopCapture and Close end the capture
// whatever the camera answers (the code says what happened), a camera call answering -10030
// makes the device offline at once (one event 4, one "Device Is Offline", then no camera call and
// no log line per operation), and Open takes a lost camera back.
#include <gtest/gtest.h>

#include <mutex>

#include "device_test_support.h"
#include "kxkernel_testsupport.h"

using namespace devtest;
using ::testing::_;
using ::testing::Return;

namespace {

class EventLog : public IKxDeviceEventHandler {
public:
    void OnDeviceEvent(IKxDevice*, int32_t nEvent) override {
        std::lock_guard<std::mutex> lock(m);
        codes.push_back(nEvent);
    }
    std::vector<int32_t> Codes() {
        std::lock_guard<std::mutex> lock(m);
        return codes;
    }

private:
    std::mutex m;
    std::vector<int32_t> codes;
};

class NoFrames : public IKxLaserDataCallBack {
public:
    void OnLaserResult(IKxLaserEyeResultBlock*) override {}
};

class LossTest : public MockDeviceTest {
protected:
    void SetUp() override {
        MockDeviceTest::SetUp();
        m_pEvents = new EventLog;
    }
    void TearDown() override {
        MockDeviceTest::TearDown();
        m_pEvents->Release();
    }
    EventLog* m_pEvents = nullptr;
    NoFrames m_cb;
};

// A live camera that refuses the stream-off: the capture ends all the same, the refusal is the
// answer, and the frame-event function is unregistered so that frames of the still running
// stream reach no one; the next StartCapture registers it again.
TEST_F(LossTest, StopCaptureRefusedByALiveCameraStillEndsTheCapture) {
    CreateOpen();
    ASSERT_EQ(0, m_pDevice->StartCapture(0, &m_cb, nullptr));
    EXPECT_CALL(*m_pCamera, EnableStream(0)).WillOnce(Return(c_nOrEyeIoError));
    EXPECT_CALL(*m_pCamera, SetFrameCallback(0, nullptr, nullptr)).Times(1);
    KxLogCapture log;
    EXPECT_EQ(c_nOrEyeIoError, m_pDevice->StopCapture());
    EXPECT_FALSE(m_pDevice->IsCapturing());
    EXPECT_TRUE(log.HasLine(c_nKxLogError, "Stop Capture Thread Failed"));
    ::testing::Mock::VerifyAndClearExpectations(m_pCamera);
    EXPECT_CALL(*m_pCamera, SetFrameCallback(1, &CKxLaserEyeDevice::FrameEventThunk, m_pDevice)).Times(1);
    EXPECT_CALL(*m_pCamera, EnableStream(1)).WillOnce(Return(0));
    EXPECT_EQ(0, m_pDevice->StartCapture(0, &m_cb, nullptr));
    EXPECT_TRUE(m_pDevice->IsCapturing());
    ::testing::Mock::VerifyAndClearExpectations(m_pCamera);
}

// A camera call that answers -10030 (the camera stopped answering): the device is offline from
// then on. Every further operation answers KX_E_OFFLINE without a camera call or a log line;
// StopCapture ends the capture with that code; Close ends it too; Open takes the camera back.
TEST_F(LossTest, OfflineAnswerMakesEveryOperationAnswerOfflineQuietly) {
    CreateOpen();
    m_pDevice->SetEventHandler(m_pEvents);
    ASSERT_EQ(0, m_pDevice->StartCapture(0, &m_cb, nullptr));
    ASSERT_EQ(0, m_pDevice->StopCapture());
    EXPECT_CALL(*m_pCamera, SetTriggerN(1, 2)).WillOnce(Return(c_nOrEyeOffline));
    EXPECT_EQ(c_nOrEyeOffline, m_pDevice->SetTriggerN(1, 2));
    EXPECT_EQ(std::vector<int32_t>{c_nKxEventOffline}, m_pEvents->Codes());
    KxLogCapture log(c_nKxLogWarning);  // errors and warnings
    EXPECT_CALL(*m_pCamera, SetParam(_, _, _)).Times(0);
    EXPECT_CALL(*m_pCamera, GetParam(_, _, _)).Times(0);
    EXPECT_CALL(*m_pCamera, WriteRegister(_, _, _, _)).Times(0);
    EXPECT_CALL(*m_pCamera, EnableStream(_)).Times(0);
    EXPECT_CALL(*m_pCamera, SetTriggerN(_, _)).Times(0);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(KX_E_OFFLINE, m_pDevice->SetTriggerN(1, 2));
        EXPECT_EQ(KX_E_OFFLINE, m_pDevice->SetExpose(0, 100));
        EXPECT_EQ(KX_E_OFFLINE, m_pDevice->SetFrameRate(30));
        EXPECT_EQ(KX_E_OFFLINE, m_pDevice->StartCapture(0, &m_cb, nullptr));
        EXPECT_EQ(KX_E_OFFLINE, m_pDevice->StopCapture());
        EXPECT_EQ(KX_E_OFFLINE, m_pDevice->StopDevice());
        EXPECT_FALSE(m_pDevice->CheckOnline());
    }
    EXPECT_TRUE(log.Lines().empty()) << log.Lines().front().second;
    EXPECT_EQ(std::vector<int32_t>{c_nKxEventOffline}, m_pEvents->Codes());
    m_pDevice->Close();
    EXPECT_FALSE(m_pDevice->IsCapturing());
}

// The camera library's offline events (5 and 7) make the device offline too, with no handler
// set as with one; a capture that was running ends with StopCapture's offline answer and with
// Close, and a new Open starts online and idle.
TEST_F(LossTest, OfflineEventEndsInACleanStateAndOpenTakesTheCameraBack) {
    for (int nEvent : {c_nOrEyeEventError5, c_nOrEyeEventError7}) {
        SCOPED_TRACE(nEvent);
        if (m_pDevice == nullptr) CreateOpen();
        ASSERT_EQ(0, m_pDevice->StartCapture(0, &m_cb, nullptr));
        EXPECT_CALL(*m_pCamera, EnableStream(_)).Times(0);
        CKxLaserEyeDevice::FrameEventThunk(nEvent, c_nOrEyeOffline, nullptr, 0, 0, m_pDevice);
        EXPECT_EQ(KX_E_OFFLINE, m_pDevice->SetGap(1));
        EXPECT_TRUE(m_pDevice->IsCapturing());
        if (nEvent == c_nOrEyeEventError5) {
            EXPECT_EQ(KX_E_OFFLINE, m_pDevice->StopCapture());
        } else {
            m_pDevice->Close();
            EXPECT_FALSE(m_pDevice->IsOpen());
        }
        EXPECT_FALSE(m_pDevice->IsCapturing());
        ::testing::Mock::VerifyAndClearExpectations(m_pCamera);
        if (nEvent == c_nOrEyeEventError5) m_pDevice->Close();
        // Open takes a new camera object: the loss is over with the old one.
        m_pCamera = new ::testing::NiceMock<MockCamera>();
        m_pCamera->block = DefaultBlock();
        m_pCamera->BehaveLikeCamera();
        m_pCamera->block.Set(KxLaserInfo::c_nWordVersion, 8);
        m_pPending = m_pCamera;
        ASSERT_EQ(0, m_pDevice->Open(0));
        EXPECT_EQ(0, m_pDevice->SetGap(1));
        EXPECT_FALSE(m_pDevice->IsCapturing());
    }
}

}  // namespace
