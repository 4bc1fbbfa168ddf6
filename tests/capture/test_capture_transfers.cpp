// Kernel-data and custom-data transfers against a Close on another thread: the transfer holds
// the camera object for its whole length, so the Close only drops the device's reference and
// the camera goes when the transfer lets go. Run under AddressSanitizer (a camera freed under
// the transfer is a use after free) and ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "capture_harness.h"

using namespace CaptureTest;

namespace {

// A scripted camera whose first storage call waits at a gate, then works on its own memory.
class GatedCamera : public FakeCam::Camera {
public:
    GatedCamera(const FakeCam::Config& cfg, std::atomic<bool>& bEntered, std::atomic<bool>& bGo,
                std::atomic<bool>& bDestroyed)
        : FakeCam::Camera(cfg), m_bEntered(bEntered), m_bGo(bGo), m_bDestroyed(bDestroyed) {}
    ~GatedCamera() override { m_bDestroyed = true; }
    int WriteStorage(unsigned int nAddress, const void* p, unsigned int n) override {
        Gate();
        return FakeCam::Camera::WriteStorage(nAddress, p, n);
    }
    int ReadStorage(unsigned int nAddress, void* p, unsigned int n) override {
        Gate();
        return FakeCam::Camera::ReadStorage(nAddress, p, n);
    }
    void Arm() { m_bArmed = true; }

private:
    void Gate() {
        if (m_bArmed.exchange(false)) {
            m_bEntered = true;
            while (!m_bGo) std::this_thread::yield();
        }
        ++m_nStorageCalls;  // the camera's own memory, after the gate
    }
    std::atomic<bool>& m_bEntered;
    std::atomic<bool>& m_bGo;
    std::atomic<bool>& m_bDestroyed;
    std::atomic<bool> m_bArmed{false};
    std::atomic<unsigned int> m_nStorageCalls{0};
};

struct TransferCase {
    const char* pszName;
    std::function<int32_t(IKxLaserEyeDevice*)> run;
};

const uint32_t c_nKernelBytes = 0x40000;
const uint32_t c_nPage = 4096;

class CloseDuringTransfer : public ::testing::TestWithParam<TransferCase> {};

}  // namespace

TEST_P(CloseDuringTransfer, CameraLivesUntilTheTransferEnds) {
    std::atomic<bool> bEntered{false}, bGo{false}, bDestroyed{false};
    Harness h;
    GatedCamera* pCamera = nullptr;
    h.make = [&](const FakeCam::Config& cfg) {
        pCamera = new GatedCamera(cfg, bEntered, bGo, bDestroyed);
        return pCamera;
    };
    ASSERT_EQ(0, h.Open());  // Open's own storage read passes the unarmed gate
    pCamera->Arm();
    std::atomic<int32_t> nResult{1};
    std::thread transfer([&] { nResult = GetParam().run(h.dev); });
    while (!bEntered) std::this_thread::yield();

    h.dev->Close();
    EXPECT_FALSE(h.dev->IsOpen());
    EXPECT_FALSE(bDestroyed) << "Close deleted the camera in the middle of a transfer";
    bGo = true;
    transfer.join();
    EXPECT_EQ(0, nResult.load());
    EXPECT_TRUE(bDestroyed) << "the transfer kept its reference on the camera";
    // Closed now: a new transfer answers "not open" without a camera.
    std::vector<uint8_t> page(c_nPage);
    EXPECT_EQ(KX_E_NOT_OPEN, h.dev->ReadCustomData(0x41000, page.data(), c_nPage));
}

INSTANTIATE_TEST_SUITE_P(
    Transfers, CloseDuringTransfer,
    ::testing::Values(
        TransferCase{"KernelWriteWholePages",
                     [](IKxLaserEyeDevice* d) {
                         std::vector<uint8_t> v(2 * c_nPage, 0x5A);
                         return d->WriteData(3, v.data(), static_cast<uint32_t>(v.size()));
                     }},
        TransferCase{"KernelWritePartial",
                     [](IKxLaserEyeDevice* d) {
                         std::vector<uint8_t> v(100, 0x5A);
                         return d->WriteData(3, v.data(), static_cast<uint32_t>(v.size()));
                     }},
        TransferCase{"KernelRead",
                     [](IKxLaserEyeDevice* d) {
                         std::vector<uint8_t> v(c_nKernelBytes);
                         return d->ReadData(3, v.data(), c_nKernelBytes, nullptr);
                     }},
        TransferCase{"CustomWrite",
                     [](IKxLaserEyeDevice* d) {
                         std::vector<uint8_t> v(2 * c_nPage, 0x5A);
                         return d->WriteCustomData(0x41000, v.data(), static_cast<uint32_t>(v.size()));
                     }},
        TransferCase{"CustomRead",
                     [](IKxLaserEyeDevice* d) {
                         std::vector<uint8_t> v(2 * c_nPage);
                         return d->ReadCustomData(0x41000, v.data(), static_cast<uint32_t>(v.size()));
                     }}),
    [](const ::testing::TestParamInfo<TransferCase>& info) { return std::string(info.param.pszName); });
