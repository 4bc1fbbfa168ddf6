// The kxeye subcommands. Each answers the process exit status: 0 success, 1 failure.
#ifndef KXEYECOMMANDS_H
#define KXEYECOMMANDS_H

#include <string>
#include <vector>

#include "kxeyeargs.h"
#include "kxeyesession.h"
#include "kxlasereyerecords.h"

static const int c_nKxEyeExitOk = 0;
static const int c_nKxEyeExitFailure = 1;
static const int c_nKxEyeExitUsage = 2;

int KxEyeList(EKxEyeSource eSource, bool bJson);
int KxEyeInfo(EKxEyeSource eSource, const std::string& strCamera, bool bJson);
int KxEyeSet(EKxEyeSource eSource, const std::string& strCamera, const std::vector<SKxEyeSetting>& vecSettings);
int KxEyeSnapshot(EKxEyeSource eSource, const std::string& strCamera, const std::string& strOut, bool bImages);
int KxEyeCodes();

struct SKxEyeScanOptions {
    std::string strCamera;
    std::string strOut;
    int64_t nFrames = 0;      // 0: run for dSeconds
    double dSeconds = 0;
    int32_t nFormat = c_nKxFormatFloat;
    double dTimeout = 5.0;    // seconds without a frame before giving up
    std::string strTravel = "auto";  // auto, encoder, frame, none
    double dTravelScale = 1.0;
    SKxLaserResultAfterProcParam sParam;
};
int KxEyeScan(EKxEyeSource eSource, const SKxEyeScanOptions& opts);

struct SKxEyeMotorOptions {
    std::string strCamera;
    std::string strAction;              // status, move, range, center, run, stop
    std::vector<std::string> vecArgs;   // ANGLE, or START END
    double dTimeout = 60.0;
};
// Checks the action's arguments; false with a message when they do not fit.
bool KxEyeMotorCheck(const SKxEyeMotorOptions& opts, std::string& strError);
int KxEyeMotor(EKxEyeSource eSource, const SKxEyeMotorOptions& opts);

#endif
