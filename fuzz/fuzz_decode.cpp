// libFuzzer target: arbitrary frame bytes and parameters through the decoder and through a
// result block, under ASan and UBSan.
//
// Input layout: the first 160 bytes choose the parameters (format, version, switches, bounds,
// offsets, compensation table); the rest are frame bytes, placed at the start of a frame buffer
// whose length is also taken from the input, so that short frames are covered.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "kxkernel.h"
#include "kxlasereyeinnerutils.h"
#include "kxlasereyeresultblock.h"

namespace {

class Reader {
public:
    Reader(const uint8_t* p, size_t n) : m_p(p), m_n(n) {}
    template <typename T>
    T Get() {
        T v{};
        const size_t k = m_n < sizeof(T) ? m_n : sizeof(T);
        std::memcpy(&v, m_p, k);
        m_p += k;
        m_n -= k;
        return v;
    }
    const uint8_t* Rest() const { return m_p; }
    size_t RestSize() const { return m_n; }

private:
    const uint8_t* m_p;
    size_t m_n;
};

// A block over fuzzer-owned bytes, like the custom blocks of the kernel.
class BytesBlock : public IKxMemBlock {
public:
    explicit BytesBlock(std::vector<uint8_t>& b) : m_b(b) {}
    int32_t GetData(SKxMemData* p) override {
        p->pData = m_b.data();
        p->nLength = static_cast<uint32_t>(m_b.size());
        return 0;
    }
    int32_t EndAccess() override { return 0; }
    uint64_t GetTime() override { return 0; }
    void Reset() override {}

private:
    std::vector<uint8_t>& m_b;
};

double Finite(double d, double dLimit) { return (d == d && d < dLimit && d > -dLimit) ? d : 0.0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader r(data, size);
    const int nFormat = static_cast<int>(r.Get<uint8_t>() % 9) - 1;  // -1 to 7
    const uint32_t nVersion = r.Get<uint8_t>() % 11;                  // up to 10
    const uint8_t bySwitches = r.Get<uint8_t>();
    const uint16_t nFrameLength = r.Get<uint16_t>();

    SKxLaserResultAfterProcParam p;
    p.bTransform = (bySwitches & 1) != 0;
    for (double& d : p.adRotate) d = r.Get<float>();
    p.dRefX = r.Get<float>();
    p.dRefZ = r.Get<float>();
    p.dScaleZ = r.Get<float>();
    p.dRefXRange = r.Get<float>();
    p.nFilterFlags = r.Get<int32_t>();
    p.dZMin = r.Get<float>();
    p.dZMax = r.Get<float>();
    p.dYMin = r.Get<float>();
    p.dYMax = r.Get<float>();
    p.dXMin = r.Get<float>();
    p.dXMax = r.Get<float>();
    p.dXOffset = r.Get<float>();
    p.nMirrorY = r.Get<int8_t>();
    p.nStep = r.Get<int16_t>();
    double adOffset[3];
    for (double& d : adOffset) d = Finite(r.Get<double>(), 1e300);
    SKxCompensateEntry comp[7];
    for (SKxCompensateEntry& e : comp) {
        e.fFrom = r.Get<float>();
        e.fTo = r.Get<float>();
        e.fAdd = r.Get<float>();
    }
    const uint32_t nComp = (bySwitches >> 1) & 7;
    const int32_t nRightOffset = r.Get<int32_t>();
    const int nCount = r.Get<int16_t>();

    // The frame: input bytes first, the rest zero; its length from the input (short ones too).
    std::vector<uint8_t> frame(c_nKxLaserFrameBytes, 0);
    std::memcpy(frame.data(), r.Rest(), r.RestSize() < frame.size() ? r.RestSize() : frame.size());
    if (r.RestSize() > 4 * c_nKxLaserTrailerWords) {
        // Let short inputs still reach the trailer: their last 32 bytes become the trailer words.
        std::memcpy(frame.data() + c_nKxLaserTrailerOffset, r.Rest() + r.RestSize() - 32, 32);
    }

    // 1. The decoder itself, with outputs sized for the count it is given.
    {
        const int nSafe = nCount > 0 && nCount <= 2048 ? nCount : 1;
        std::vector<uint64_t> points((KxPointRecordSize(nFormat < 0 ? 0 : nFormat) * nSafe + 7) / 8 + 1);
        std::vector<uint64_t> pixels((KxPixelRecordSize(nFormat < 0 ? 0 : nFormat) * nSafe + 7) / 8 + 1);
        const EKxCoordConversion eConv = (bySwitches & 0x10) ? KX_CONV_DISPARITY : KX_CONV_THOUSANDTHS;
        const int n = DecodeLaserPoints(nFormat, frame.data(), nCount, comp, nComp, p, eConv, nRightOffset,
                                        adOffset, KxTrailerColumnOrigin(frame.data()),
                                        KxTrailerRowOrigin(frame.data()), KxTrailerFocalLength(frame.data()),
                                        points.data(), pixels.data());
        if (n < 0 || n > nSafe) __builtin_trap();
    }

    // 2. A result block over a frame block of the input's length.
    {
        SKxGlobalSetting s = *KxGlobalSetting::GetSetting();
        s.byExtendedTrailer = (bySwitches & 0x20) ? 1 : 0;
        KxGlobalSetting::SetSetting(s);

        std::vector<uint8_t> block(frame.begin(), frame.begin() + (nFrameLength % 4 == 0 ? c_nKxLaserFrameBytes
                                                                       : nFrameLength % (c_nKxLaserFrameBytes + 1)));
        BytesBlock* pFrame = new BytesBlock(block);
        IKxMemPool* pPool = nullptr;
        if (bySwitches & 0x40) KxKernel::KxCreateMemPool(&pPool);
        CKxLaserEyeResultBlock* pBlock = nullptr;
        if (CreateLaserEyeResultBlock(nullptr, nullptr, pFrame, comp, nComp, 0, 0, 0, 0, 0, 0, 0, 0, nVersion,
                                      nRightOffset, adOffset, pPool, &pBlock)) {
            pBlock->SetAfterProcParam(p);
            int32_t n = 0;
            pBlock->GetPointData(nFormat, &n);
            if (n < 0 || n > 2048) __builtin_trap();
            pBlock->GetPixelData(nFormat, &n);
            pBlock->GetPointData((nFormat + 1) % 7, &n);
            pBlock->IsFrameConsistent();
            SKxInputInfo info[5];
            float afTilt[3];
            pBlock->GetExtendedInfo(info, afTilt);
            pBlock->Release();
        }
        pFrame->Release();
        if (pPool != nullptr) pPool->Release();
    }
    return 0;
}
