// The kxeye subcommands. Each answers the process exit status (docs/kxeye.md, "Exit status").
#ifndef KXEYECOMMANDS_H
#define KXEYECOMMANDS_H

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "kxeyeargs.h"
#include "kxeyesession.h"
#include "kxlasereyerecords.h"

static const int c_nKxEyeExitOk = 0;
static const int c_nKxEyeExitFailure = 1;
static const int c_nKxEyeExitUsage = 2;
static const int c_nKxEyeExitInterrupted = 3;  // stopped by Ctrl-C (or SIGTERM); its files were written
static const int c_nKxEyeExitLost = 4;         // scan: the camera was lost; the frames so far were written

// Travel defaults: 2000 pulses per round (the encoder manager's own default) on a wheel of
// 200 mm circumference give 0.1 mm per count, the virtual camera's 10 counts per mm.
static const int64_t c_nKxEyeDefaultPulsesPerRound = 2000;
static const double c_dKxEyeDefaultWheelRadius = 31.830988618379067;  // mm, 100 / pi
static const double c_dKxEyeDefaultFrameStep = 1.0;                   // mm per frame
// Lengths (mm) a scale may take; outside, the cloud would be empty noise or overflow floats.
static const double c_dKxEyeMinLength = 1e-6;
static const double c_dKxEyeMaxLength = 10000.0;
double KxEyeMmPerCount(double dWheelRadius, int64_t nPulsesPerRound);

using ordered_json = nlohmann::ordered_json;
// JSON on stdout; record texts that are not UTF-8 are replaced rather than thrown on.
void KxEyePrintJson(const ordered_json& j);
// The opened camera as the commands' JSON shows it: index, name, serial.
ordered_json KxEyeCameraJson(const CKxEyeSession& session);
// With bJson, the JSON of a command whose camera could not be opened: {"camera": null, "error",
// "code", "meaning"}. Answers the exit status (1).
int KxEyeOpenFailed(const CKxEyeSession& session, bool bJson);

// Settings of "set" and the swing motor's sweep options, applied to one run of a capture
// command before it captures.
struct SKxEyeRunSettings {
    std::vector<SKxEyeSetting> vecSettings;
    std::string strSwing;        // "", "on" or "off"
    int64_t nSweepStart = -1;    // degrees; -1 = leave
    int64_t nSweepEnd = -1;
    int64_t nSweepSpeed = -1;
    int64_t nSweepMode = -1;
};
// Applies every item in order and reports each (text lines when bPrint; always into
// j["settings"]); false when any was refused.
bool KxEyeApplyRunSettings(IKxLaserEyeDevice* pDev, const SKxEyeRunSettings& run, ordered_json& j, bool bPrint);

int KxEyeList(EKxEyeSource eSource, bool bJson);
int KxEyeInfo(EKxEyeSource eSource, const std::string& strCamera, bool bJson);
int KxEyeSet(EKxEyeSource eSource, const std::string& strCamera, const std::vector<SKxEyeSetting>& vecSettings,
             bool bJson);
int KxEyeSnapshot(EKxEyeSource eSource, const std::string& strCamera, const std::string& strOut, bool bImages,
                  const SKxEyeRunSettings& run, bool bJson);
int KxEyeCodes(bool bJson);
int KxEyeVersion();

struct SKxEyeScanOptions {
    std::string strCamera;
    std::vector<std::string> vecCameras;  // all CAMERA arguments; two or more: one scan of all
    std::string strAlign;                 // alignment file (kxeye align): one world frame for all
    int64_t nStaggerUs = 0;               // camera i's exposure starts i x this after the frame instant
    std::string strOut;
    int64_t nFrames = 0;      // 0: run for dSeconds
    double dSeconds = 0;
    int32_t nFormat = c_nKxFormatFloat;
    double dTimeout = 5.0;    // seconds without a frame before giving up
    std::string strTravel = "auto";  // auto, encoder, frame, none
    double dWheelRadius = c_dKxEyeDefaultWheelRadius;
    int64_t nPulsesPerRound = c_nKxEyeDefaultPulsesPerRound;
    double dFrameStep = c_dKxEyeDefaultFrameStep;
    double dTravelScale = 0;  // mm per travel step when given; overrides the three above
    SKxLaserResultAfterProcParam sParam;
    SKxEyeRunSettings sRun;
    bool bJson = false;
    bool bReconnect = false;      // wait for a lost camera and go on into the same files
    double dReconnectWait = 60.0; // seconds the device tries before the scan ends as lost (0: no end)
    std::string strHeightMap = "scale";  // scale: resampled in mm (kxeyeheightmap.h); columns: one image column per pixel
    double dCell = 0;                    // height map cell in mm; 0: from the points' spacing
};
int KxEyeScan(EKxEyeSource eSource, const SKxEyeScanOptions& opts);
// Several cameras at once (or one with --align): frames grouped by the shared encoder or host
// time, one cloud with a camera index per point, one height map.
int KxEyeScanGroup(EKxEyeSource eSource, const SKxEyeScanOptions& opts);

struct SKxEyeMotorOptions {
    std::string strCamera;
    std::string strAction;              // status, move, range, center, run, stop
    std::vector<std::string> vecArgs;   // ANGLE, or START END
    double dTimeout = 60.0;
    bool bJson = false;
};
// Checks the action's arguments; false with a message when they do not fit.
bool KxEyeMotorCheck(const SKxEyeMotorOptions& opts, std::string& strError);
int KxEyeMotor(EKxEyeSource eSource, const SKxEyeMotorOptions& opts);

#endif
