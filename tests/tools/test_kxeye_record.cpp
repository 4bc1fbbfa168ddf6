// kxeye record: the file it writes, a replay of it recorded again, and its failures.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>

#include "kxeye_run.h"
#include "kxeyerecording.h"

namespace {

using ::testing::HasSubstr;

class KxEyeRecord : public KxEyeRunTest {};

TEST_F(KxEyeRecord, ARecordingReplaysAndRecordsAgainToTheSameFrames) {
    const std::string strLive = (m_dir / "live.kxr").string();
    const char* const pszCamera = R"([{"version": 7, "swing_motor": false, "param_block": {"offset": [1, 2, 3]}}])";
    const SKxEyeRun rec = Kxeye({"record", "0", "--frames", "6", "--images", "--out", strLive}, pszCamera);
    ASSERT_EQ(0, rec.nExit) << rec.strErr;
    EXPECT_THAT(rec.strOut, HasSubstr("recording: " + strLive + " (6 frames, "));

    KxEyeRecording::SHeader h;
    std::vector<KxEyeRecording::SFrame> vecLive;
    std::string strError;
    ASSERT_TRUE(KxEyeRecording::ReadFile(strLive, h, vecLive, strError)) << strError;
    EXPECT_EQ(7u, h.nHwVersion);
    EXPECT_EQ(1536u, h.nWidth);
    EXPECT_EQ(KxEyeRecording::c_nFlagImages, h.nFlags);
    ASSERT_EQ(6u, vecLive.size());
    EXPECT_EQ(1536u, vecLive[0].nImageWidth);
    EXPECT_EQ(1920u, vecLive[0].nImageHeight);
    EXPECT_EQ(0u, vecLive[0].nHostTimeUs);
    EXPECT_GT(vecLive[5].nHostTimeUs, vecLive[0].nHostTimeUs);
    // Each frame's camera time on the host clock: never after its arrival, and stepping with the
    // camera's own time stamps (version 7: 10 us ticks in words 5, 7 and 4).
    for (size_t i = 0; i < vecLive.size(); ++i) {
        EXPECT_LE(vecLive[i].nClockUs, 0) << "frame " << i;
        if (i == 0) continue;
        auto stamp = [](const KxEyeRecording::SFrame& f) {
            const uint8_t* p = f.vecLaser.data() + 32768;
            const uint32_t w4 = KxEyeRecording::GetU32(p + 16), w5 = KxEyeRecording::GetU32(p + 20),
                           w7 = KxEyeRecording::GetU32(p + 28);
            return static_cast<int64_t>((((w4 >> 29) & 3u) << 27) | (((w7 >> 24) & 0xFFu) << 19) | (w5 & 0x7FFFFu)) * 10;
        };
        const int64_t nMapped = static_cast<int64_t>(vecLive[i].nHostTimeUs) + vecLive[i].nClockUs -
                                (static_cast<int64_t>(vecLive[i - 1].nHostTimeUs) + vecLive[i - 1].nClockUs);
        // Offset only in the first second: the line lies under the fastest frame so far, so a
        // step is the camera's own or shorter (the line moved down), never longer.
        EXPECT_LE(nMapped, stamp(vecLive[i]) - stamp(vecLive[i - 1]) + 2) << "frame " << i;
        EXPECT_GT(nMapped, 0) << "frame " << i;
    }
    // The parameter page with its offset travelled along.
    double adOffset[3];
    std::memcpy(adOffset, h.abyParamPage + 39 + 1 + 4 + 96, sizeof(adOffset));
    EXPECT_EQ(2.0, adOffset[1]);

    // Played back and recorded again: the same bytes, frame for frame.
    const std::string strAgain = (m_dir / "again.kxr").string();
    const std::string strReplay = R"([{"recording": ")" + strLive + R"("}])";
    const SKxEyeRun again = Kxeye({"record", "0", "--frames", "6", "--images", "--out", strAgain}, strReplay);
    ASSERT_EQ(0, again.nExit) << again.strErr;
    KxEyeRecording::SHeader h2;
    std::vector<KxEyeRecording::SFrame> vecAgain;
    ASSERT_TRUE(KxEyeRecording::ReadFile(strAgain, h2, vecAgain, strError)) << strError;
    EXPECT_EQ(0, std::memcmp(h.abyParamPage, h2.abyParamPage, sizeof(h.abyParamPage)));
    EXPECT_EQ(0, std::memcmp(h.adQ, h2.adQ, sizeof(h.adQ)));
    ASSERT_EQ(6u, vecAgain.size());
    // Every replayed frame is one of the recorded ones, in their order (round again after the last).
    size_t nAt = 0;
    while (nAt < 6 && vecAgain[0].vecLaser != vecLive[nAt].vecLaser) ++nAt;
    ASSERT_LT(nAt, 6u) << "the first replayed frame is none of the recorded ones";
    for (size_t i = 0; i < 6; ++i, nAt = (nAt + 1) % 6) {
        EXPECT_EQ(vecLive[nAt].vecLaser, vecAgain[i].vecLaser) << i;
        EXPECT_EQ(vecLive[nAt].vecLeft, vecAgain[i].vecLeft) << i;
        EXPECT_EQ(vecLive[nAt].vecRight, vecAgain[i].vecRight) << i;
    }

    // scan and snapshot reprocess the recording.
    const SKxEyeRun scan = Kxeye({"scan", "0", "--frames", "10", "--out", (m_dir / "scan").string()}, strReplay);
    EXPECT_EQ(0, scan.nExit) << scan.strErr;
    EXPECT_THAT(scan.strOut, HasSubstr("frames: 10"));
    const SKxEyeRun snap = Kxeye({"snapshot", "0", "--out", (m_dir / "snap").string()}, strReplay);
    EXPECT_EQ(0, snap.nExit) << snap.strErr;
}

TEST_F(KxEyeRecord, AFailedRecordingLeavesNothingBehind) {
    // A folder that does not exist: found before any capture.
    const std::string strMissing = (m_dir / "no" / "such" / "rec.kxr").string();
    SKxEyeRun run = Kxeye({"record", "0", "--frames", "2", "--out", strMissing});
    EXPECT_EQ(1, run.nExit);
    EXPECT_THAT(run.strErr, HasSubstr("cannot create"));
    // A camera that does not exist.
    const std::string strOut = (m_dir / "rec.kxr").string();
    run = Kxeye({"record", "7", "--frames", "2", "--out", strOut});
    EXPECT_EQ(1, run.nExit);
    // Neither --frames nor --seconds.
    run = Kxeye({"record", "0", "--out", strOut});
    EXPECT_EQ(2, run.nExit);
    EXPECT_THAT(run.strErr, HasSubstr("record needs --frames N or --seconds S"));
    size_t nFiles = 0;
    for (const auto& e : std::filesystem::directory_iterator(m_dir)) nFiles += e.path().filename() != "stderr.txt";
    EXPECT_EQ(0u, nFiles);
}

}  // namespace
