// Recordings: frames seen live by an application, written to a recording and played back by a
// virtual camera, decode to the same points, counters and images; later passes carry on where
// the recording ended; a damaged file gives its reason and no camera.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kxeyerecording.h"
#include "kxkernel.h"
#include "kxlasereyedevice.h"
#include "kxlaserinfo.h"
#include "oreyeapi.h"
#include "oreyeapi_testsupport.h"

namespace fs = std::filesystem;

namespace {

// Point record sizes of the formats 0 to 6, and the bytes of each record that carry values
// (the unused bytes are never written by the decoder): [first, end) twice.
const uint32_t c_anPointBytes[7] = {32, 12, 16, 16, 16, 32, 32};
const uint32_t c_anUsed[7][4] = {{0, 4, 8, 32}, {0, 12, 0, 0}, {0, 12, 0, 0}, {0, 12, 0, 0},
                                 {0, 12, 0, 0}, {0, 12, 0, 0}, {0, 24, 0, 0}};

std::vector<uint8_t> UsedBytes(const uint8_t* p, int32_t nCount, int f) {
    std::vector<uint8_t> v;
    for (int32_t i = 0; p != nullptr && i < nCount; ++i) {
        const uint8_t* r = p + static_cast<size_t>(i) * c_anPointBytes[f];
        v.insert(v.end(), r + c_anUsed[f][0], r + c_anUsed[f][1]);
        v.insert(v.end(), r + c_anUsed[f][2], r + c_anUsed[f][3]);
    }
    return v;
}

struct SSeen {
    std::vector<std::vector<uint8_t>> vecPoints;  // per format, the values GetPointData answered
    std::vector<std::vector<uint8_t>> vecPixels;  // per format, GetPixelData
    uint32_t nRawTs = 0, nRawCnt = 0, nEnc = 0, nRawPoints = 0;
    uint64_t nIndex = 0, nTime = 0;
    std::vector<uint8_t> vecLaser, vecLeft, vecRight;
    uint32_t nImgW = 0, nImgH = 0;
};

std::vector<uint8_t> SurfacePixels(IKxSurface* p, uint32_t* pnW, uint32_t* pnH) {
    SKxNLImageData d{};
    if (p == nullptr || p->GetImageData(&d) != 0 || d.pData == nullptr) return {};
    *pnW = static_cast<uint32_t>(d.nWidth);
    *pnH = static_cast<uint32_t>(d.nHeight);
    const uint8_t* px = static_cast<const uint8_t*>(d.pData);
    return std::vector<uint8_t>(px, px + static_cast<size_t>(d.nWidth) * d.nHeight);
}

// Keeps what an application sees of the first n frames; with a folder, also the laser part as
// SaveToFile writes it (the raw bytes of the frame).
class CCollector : public IKxLaserDataCallBack {
public:
    CCollector(size_t n, std::string strDir) : m_n(n), m_strDir(std::move(strDir)) {}
    void OnLaserResult(IKxLaserEyeResultBlock* b) override {
        std::lock_guard<std::mutex> lock(m_mtx);
        if (vecSeen.size() >= m_n) return;
        SSeen s;
        for (int32_t f = 0; f <= 6; ++f) {
            int32_t nCount = 0;
            const uint8_t* p = static_cast<const uint8_t*>(b->GetPointData(f, &nCount));
            s.vecPoints.push_back(UsedBytes(p, nCount, f));
            int32_t nPixels = 0;
            const uint8_t* q = static_cast<const uint8_t*>(b->GetPixelData(f, &nPixels));
            s.vecPixels.emplace_back(q, q + (q ? nPixels * (f == 0 ? 20 : 16) : 0));
        }
        s.nRawTs = b->GetRawTimeStamp();
        s.nRawCnt = b->GetRawFrameCounter();
        s.nEnc = b->GetEncoderCount();
        s.nRawPoints = b->GetRawPointCount();
        s.nIndex = b->GetFrameIndex();
        s.nTime = b->GetTimeStamp();
        IKxSurface* pL = nullptr;
        IKxSurface* pR = nullptr;
        if (b->GetSurfaces(&pL, &pR)) {
            s.vecLeft = SurfacePixels(pL, &s.nImgW, &s.nImgH);
            s.vecRight = SurfacePixels(pR, &s.nImgW, &s.nImgH);
            if (pL) pL->Release();
            if (pR) pR->Release();
        }
        if (!m_strDir.empty()) {
            const std::string strRaw = m_strDir + "/frame" + std::to_string(vecSeen.size()) + ".raw";
            b->SaveToFile(strRaw.c_str());
            std::ifstream in(strRaw, std::ios::binary);
            s.vecLaser.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        vecSeen.push_back(std::move(s));
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(m_mtx);
        return vecSeen.size();
    }
    std::vector<SSeen> vecSeen;

private:
    std::mutex m_mtx;
    size_t m_n;
    std::string m_strDir;
};

struct SCase {
    const char* pszName;
    const char* pszCamera;  // JSON of the live camera
    bool bImages;
    bool bSmallRoi;         // a window of its own, which the replay must restore
};

class Recording : public ::testing::TestWithParam<SCase> {
protected:
    void SetUp() override {
        char sz[] = "/tmp/kxeye-rec-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(sz));
        m_dir = sz;
        KxKernel::KxCreateMemPool(&m_pMem);
        KxKernel::KxCreateSurfacePool(&m_pSurfaces);
    }
    void TearDown() override {
        m_pSurfaces->Release();
        m_pMem->Release();
        unsetenv("KXEYE_VIRTUAL_CAMERAS");
        OrEyeTest::ReloadVirtualCameras();
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }
    IKxLaserEyeDevice* Open() {
        IKxEyeDeviceEnumrator* pEnum = nullptr;
        EXPECT_TRUE(KxCreateLaserEyeDeviceEnumrator(&pEnum));
        pEnum->SearchDevice(c_nKxSearchLocal);
        std::vector<SKxNLEyeDeviceInfoEx> vecInfos;
        pEnum->GetDeviceInfoList(vecInfos);
        pEnum->Release();
        if (vecInfos.empty()) return nullptr;
        IKxLaserEyeDevice* pDev = nullptr;
        EXPECT_TRUE(KxCreateLaserEyeDevice(&vecInfos[0], m_pSurfaces, m_pMem, &pDev));
        EXPECT_EQ(0, pDev->Open(0));
        return pDev;
    }
    static void Capture(IKxLaserEyeDevice* pDev, CCollector& c, size_t n) {
        ASSERT_EQ(0, pDev->StartCapture(0, &c, nullptr));
        for (int i = 0; i < 1000 && c.Count() < n; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_EQ(0, pDev->StopCapture());
        ASSERT_EQ(n, c.Count());
    }
    fs::path m_dir;
    SKxNLROIRect m_sLeft{}, m_sRight{};
    IKxMemPool* m_pMem = nullptr;
    IKxSurfacePool* m_pSurfaces = nullptr;
};

TEST_P(Recording, ReplaysToTheSamePointsAsTheLiveFrames) {
    const SCase& tc = GetParam();
    const size_t n = 8;
    setenv("KXEYE_VIRTUAL_CAMERAS", tc.pszCamera, 1);
    ASSERT_EQ(1, OrEyeTest::ReloadVirtualCameras());

    // Live: an application's view of n frames, and the recording made of the same frames.
    KxEyeRecording::SHeader h;
    std::memset(&h, 0, sizeof(h));
    CCollector live(n, m_dir.string());
    {
        IKxLaserEyeDevice* pDev = Open();
        ASSERT_NE(nullptr, pDev);
        if (tc.bSmallRoi) {
            const SKxNLROIRect roi{512, 1024, 512, 1536};
            ASSERT_EQ(0, pDev->SetDetectROI(&roi, &roi));
        }
        pDev->SetDebugMode(tc.bImages);
        IOrEyeCamera* pCam = pDev->GetCoreEye();
        h.nHwVersion = pDev->GetHWVersion();
        ASSERT_EQ(0, pDev->GetVideoResolution(&h.nWidth, &h.nHeight));
        ASSERT_EQ(c_nOrEyeOK, pCam->GetParam(54, h.abyInfo, 52));
        ASSERT_EQ(0, pDev->GetQMatrix(h.adQ));
        ASSERT_EQ(c_nOrEyeOK, pCam->ReadStorage(0x3FF000, h.abyParamPage, 4096));
        ASSERT_EQ(0, pDev->GetDetectROI(&m_sLeft, &m_sRight));
        Capture(pDev, live, n);
        pDev->Close();
        pDev->Release();
    }
    const fs::path rec = m_dir / "live.kxr";
    {
        KxEyeRecording::CWriter w;
        std::string strError;
        ASSERT_TRUE(w.Open(rec.string(), h, strError)) << strError;
        for (const SSeen& s : live.vecSeen) {
            ASSERT_EQ(c_nOrEyeLaserBytes, s.vecLaser.size());
            ASSERT_EQ(tc.bImages, !s.vecLeft.empty());
            ASSERT_TRUE(w.Add(0, s.nImgW, s.nImgH, s.vecLeft.data(), s.vecRight.data(), s.vecLaser.data(), strError));
        }
        ASSERT_TRUE(w.Finish(strError)) << strError;
    }

    // Replay, twice round.
    setenv("KXEYE_VIRTUAL_CAMERAS", (R"([{"recording": ")" + rec.string() + R"("}])").c_str(), 1);
    ASSERT_EQ(1, OrEyeTest::ReloadVirtualCameras());
    CCollector replay(2 * n, "");
    {
        IKxLaserEyeDevice* pDev = Open();
        ASSERT_NE(nullptr, pDev);
        EXPECT_EQ(h.nHwVersion, pDev->GetHWVersion());
        double adQ[16];
        ASSERT_EQ(0, pDev->GetQMatrix(adQ));
        EXPECT_EQ(0, std::memcmp(adQ, h.adQ, sizeof(adQ)));
        SKxNLROIRect l{}, r{};
        ASSERT_EQ(0, pDev->GetDetectROI(&l, &r));
        EXPECT_EQ(0, std::memcmp(&l, &m_sLeft, sizeof(l)));
        EXPECT_EQ(0, std::memcmp(&r, &m_sRight, sizeof(r)));
        EXPECT_EQ(tc.bSmallRoi ? 512 : 0, l.left);
        pDev->SetDebugMode(tc.bImages);
        Capture(pDev, replay, 2 * n);
        pDev->Close();
        pDev->Release();
    }
    for (size_t i = 0; i < n; ++i) {
        const SSeen& a = live.vecSeen[i];
        const SSeen& b = replay.vecSeen[i];
        ASSERT_GT(a.nRawPoints, 0u);
        EXPECT_EQ(a.nRawPoints, b.nRawPoints) << i;
        for (int f = 0; f <= 6; ++f) {
            ASSERT_FALSE(a.vecPoints[f].empty()) << "format " << f;
            EXPECT_EQ(a.vecPoints[f], b.vecPoints[f]) << "frame " << i << " format " << f;
            EXPECT_EQ(a.vecPixels[f], b.vecPixels[f]) << "frame " << i << " format " << f;
        }
        EXPECT_EQ(a.nRawTs, b.nRawTs) << i;
        EXPECT_EQ(a.nRawCnt, b.nRawCnt) << i;
        EXPECT_EQ(a.nEnc, b.nEnc) << i;
        EXPECT_EQ(a.nIndex, b.nIndex) << i;
        EXPECT_EQ(a.nTime, b.nTime) << i;
        EXPECT_EQ(a.vecLeft, b.vecLeft) << i;
        EXPECT_EQ(a.vecRight, b.vecRight) << i;
        // The second pass: the same points, the clock and the count going on.
        const SSeen& c = replay.vecSeen[n + i];
        EXPECT_EQ(a.vecPoints[1], c.vecPoints[1]) << i;
        EXPECT_GT(c.nTime, replay.vecSeen[n + i - 1].nTime) << i;
        if (h.nHwVersion >= 3) {  // versions 0 to 2 count no frames
            EXPECT_GT(c.nIndex, replay.vecSeen[n + i - 1].nIndex) << i;
        }
    }
    // Frame n follows frame n - 1 by the recording's last step.
    const uint64_t nStep = live.vecSeen[n - 1].nIndex - live.vecSeen[n - 2].nIndex;
    EXPECT_EQ(live.vecSeen[n - 1].nIndex + nStep, replay.vecSeen[n].nIndex);
    // And the travel goes on: the encoder count too (its low 19 bits; below version 7 the bits
    // above repeat word 5).
    EXPECT_EQ((2 * live.vecSeen[n - 1].nEnc - live.vecSeen[n - 2].nEnc) & 0x7FFFF, replay.vecSeen[n].nEnc & 0x7FFFF);
}

INSTANTIATE_TEST_SUITE_P(
    Cameras, Recording,
    ::testing::Values(
        SCase{"V8CompensationOffsetImages",
              R"([{"version": 8, "swing_motor": false, "compensation": [[300, 0.5], [500, -0.25]],
                   "param_block": {"version": 3, "kind": 1, "offset": [1.5, -2.0, 3.25]}}])",
              true, true},
        SCase{"V4", R"([{"version": 4, "swing_motor": false}])", false, true},
        SCase{"V0", R"([{"version": 0, "swing_motor": false, "width": 1280, "height": 1024}])", false, false}),
    [](const ::testing::TestParamInfo<SCase>& i) { return std::string(i.param.pszName); });

// ---- damaged files ----

class RecordingFile : public Recording {};

std::vector<uint8_t> ValidRecording(uint32_t nFrames) {
    KxEyeRecording::SHeader h;
    std::memset(&h, 0, sizeof(h));
    h.nHwVersion = 8;
    h.nWidth = 1536;
    h.nHeight = 2048;
    KxLaserInfo::SetWord(h.abyInfo, KxLaserInfo::c_nWordLeftRoi + 1, 1536);
    KxLaserInfo::SetWord(h.abyInfo, KxLaserInfo::c_nWordLeftRoi + 3, 1920);
    KxLaserInfo::SetWord(h.abyInfo, KxLaserInfo::c_nWordRightRoi + 1, 1536);
    KxLaserInfo::SetWord(h.abyInfo, KxLaserInfo::c_nWordRightRoi + 3, 1920);
    std::vector<uint8_t> v(KxEyeRecording::c_nHeaderBytes);
    h.nFrameCount = nFrames;
    KxEyeRecording::EncodeHeader(h, v.data());
    std::vector<uint8_t> vecLaser(32800, 0);
    for (uint32_t i = 0; i < nFrames; ++i) {
        uint8_t head[32] = {'K', 'F', 'R', 'M'};
        KxEyeRecording::PutU32(head + 4, 32800);
        KxEyeRecording::PutU32(head + 24, KxEyeRecording::Crc32(vecLaser.data(), 32800));
        v.insert(v.end(), head, head + 32);
        v.insert(v.end(), vecLaser.begin(), vecLaser.end());
    }
    return v;
}

TEST_F(RecordingFile, EveryDamageGivesItsReasonAndNoCamera) {
    const std::vector<uint8_t> good = ValidRecording(2);
    const size_t nFrame1 = KxEyeRecording::c_nHeaderBytes + 32 + 32800;
    struct SDamage {
        const char* pszWhat;
        std::vector<uint8_t> vecFile;
        const char* pszReason;
    };
    auto with = [&](size_t nAt, uint8_t nValue) {
        std::vector<uint8_t> v = good;
        v[nAt] = nValue;
        return v;
    };
    auto cut = [&](size_t n) { return std::vector<uint8_t>(good.begin(), good.begin() + static_cast<long>(n)); };
    std::vector<uint8_t> extra = good;
    extra.push_back(0);
    std::vector<uint8_t> v2 = good;
    KxEyeRecording::PutU32(v2.data() + 8, 2);
    std::vector<uint8_t> bigCount = ValidRecording(3);
    bigCount.resize(good.size());
    const SDamage aDamages[] = {
        {"empty", {}, "too short for a recording header (0 of 4324 bytes)"},
        {"short header", cut(100), "too short for a recording header (100 of 4324 bytes)"},
        {"magic", with(0, 'X'), "not a kxeye recording (no \"KXEYEREC\" at its start)"},
        {"format", v2, "format version 2, this library reads version 1"},
        {"header bit", with(KxEyeRecording::c_nOffWidth + 1, 0x07), "header damaged (size or checksum wrong)"},
        {"cut in a frame head", cut(KxEyeRecording::c_nHeaderBytes + 10),
         "frame 0 of 2 is cut off at byte 4334 (the file is truncated)"},
        {"cut in a payload", cut(nFrame1 + 1000), "frame 1 of 2 is cut off at byte 38156 (the file is truncated)"},
        {"count above the frames", bigCount, "frame 2 of 3 is cut off at byte 69988 (the file is truncated)"},
        {"tag", with(nFrame1, 'x'), "frame 1 of 2 at byte 37156 has no \"KFRM\" tag (the file is damaged)"},
        {"payload size", with(nFrame1 + 4, 0x21), "frame 1 of 2: payload of 32801 bytes, expected 32800"},
        {"image size", with(nFrame1 + 8, 0x10), "frame 1 of 2: images of 16 x 0 do not fit the sensor"},
        {"payload bit", with(nFrame1 + 32 + 500, 1), "frame 1 of 2: checksum mismatch (the file is damaged)"},
        {"trailing byte", extra, "1 bytes after the last of 2 frames (the file is damaged)"},
    };
    const fs::path path = m_dir / "bad.kxr";
    for (const SDamage& d : aDamages) {
        {
            std::ofstream out(path, std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>(d.vecFile.data()), static_cast<std::streamsize>(d.vecFile.size()));
        }
        setenv("KXEYE_VIRTUAL_CAMERAS", (R"([{"recording": ")" + path.string() + R"("}])").c_str(), 1);
        EXPECT_EQ(c_nOrEyeBadArgument, OrEyeTest::ReloadVirtualCameras()) << d.pszWhat;
        char sz[512] = "";
        OrEyeCheckVirtualCameras(sz, sizeof(sz));
        EXPECT_EQ("KXEYE_VIRTUAL_CAMERAS: camera 0.recording: " + path.string() + ": " + d.pszReason, std::string(sz))
            << d.pszWhat;
        EXPECT_EQ(0, OrEyeTest::VirtualCameraCount());
    }
    // The undamaged file is taken; keys the recording fixes are refused beside it.
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(good.data()), static_cast<std::streamsize>(good.size()));
    }
    setenv("KXEYE_VIRTUAL_CAMERAS", (R"([{"recording": ")" + path.string() + R"("}])").c_str(), 1);
    EXPECT_EQ(1, OrEyeTest::ReloadVirtualCameras());
    setenv("KXEYE_VIRTUAL_CAMERAS", (R"([{"version": 7, "recording": ")" + path.string() + R"("}])").c_str(), 1);
    EXPECT_EQ(c_nOrEyeBadArgument, OrEyeTest::ReloadVirtualCameras());
    char sz[512] = "";
    OrEyeCheckVirtualCameras(sz, sizeof(sz));
    EXPECT_STREQ("KXEYE_VIRTUAL_CAMERAS: camera 0.version: not allowed with \"recording\" (the recording fixes it)", sz);
    setenv("KXEYE_VIRTUAL_CAMERAS", R"([{"recording": "/nonexistent.kxr"}])", 1);
    EXPECT_EQ(c_nOrEyeBadArgument, OrEyeTest::ReloadVirtualCameras());
    OrEyeCheckVirtualCameras(sz, sizeof(sz));
    EXPECT_STREQ("KXEYE_VIRTUAL_CAMERAS: camera 0.recording: /nonexistent.kxr: cannot open: No such file or directory", sz);
}

}  // namespace
