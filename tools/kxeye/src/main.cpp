// kxeye: list, inspect, configure and capture laser line cameras from the command line.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>

#include <CLI/CLI.hpp>

#include "kxeyecommands.h"
#include "kxkernel.h"

namespace {

int UsageError(const CLI::App* pApp, const std::string& strMessage) {
    std::cerr << "kxeye: " << strMessage << "\n\n" << pApp->help();
    return c_nKxEyeExitUsage;
}

std::string Number(double d) {
    char sz[32];
    std::snprintf(sz, sizeof(sz), "%g", d);
    return sz;
}

// Validators whose messages name the accepted range in plain numbers.
CLI::Validator WholeNumber(int64_t nMin, int64_t nMax) {
    const std::string strRange = "a whole number from " + std::to_string(nMin) + " to " + std::to_string(nMax);
    return CLI::Validator(
        [=](std::string& s) -> std::string {
            int64_t n = 0;
            return KxEyeParseInt(s, nMin, nMax, n) ? std::string() : "\"" + s + "\" is not " + strRange;
        },
        "INT " + std::to_string(nMin) + ".." + std::to_string(nMax));
}

CLI::Validator Positive(double dMax, const char* pszWhat) {
    const std::string strRange = std::string(pszWhat) + " above 0 and at most " + Number(dMax);
    return CLI::Validator(
        [=](std::string& s) -> std::string {
            double d = 0;
            return KxEyeParseDouble(s, d) && d > 0 && d <= dMax ? std::string() : "\"" + s + "\" is not " + strRange;
        },
        "NUMBER");
}

CLI::Validator Length() {
    const std::string strRange =
        "a length in mm from " + Number(c_dKxEyeMinLength) + " to " + Number(c_dKxEyeMaxLength);
    return CLI::Validator(
        [=](std::string& s) -> std::string {
            double d = 0;
            return KxEyeParseDouble(s, d) && d >= c_dKxEyeMinLength && d <= c_dKxEyeMaxLength
                       ? std::string()
                       : "\"" + s + "\" is not " + strRange;
        },
        "MM");
}

// The command word of the command line, skipping the global options and their values; empty
// when there is none. "--version" before the command is noted.
std::string CommandWord(int argc, char** argv, bool& bVersion) {
    bVersion = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--source" || a == "--log-level") {
            ++i;
            continue;
        }
        if (a == "--version") {
            bVersion = true;
            continue;
        }
        if (!a.empty() && a[0] == '-') continue;
        return a;
    }
    return std::string();
}

// Everything printed goes through stdout's buffer: a full disk or a closed pipe shows here.
int CheckStdout(int nExit) {
    // stdout first: std::cout writes through it, and its flush keeps the reason in errno.
    errno = 0;
    const bool bFlushFailed = std::fflush(stdout) != 0;
    const int nErr = errno;
    std::cout.flush();
    const bool bFailed = bFlushFailed || std::ferror(stdout) || std::cout.fail();
    if (!bFailed) return nExit;
    std::fprintf(stderr, "kxeye: cannot write the output: %s\n", nErr ? std::strerror(nErr) : "write failed");
    return c_nKxEyeExitFailure;
}

int Run(int argc, char** argv) {
    CLI::App app{"Laser line camera tool: list, inspect, configure and capture.", "kxeye"};
    app.require_subcommand(1, 1);
    app.fallthrough();
    app.footer("Exit status: 0 done, 1 failed, 2 wrong arguments, 3 scan interrupted (its files written).\n"
               "See docs/kxeye.md.");

    std::string strSource = "local";
    app.add_option("--source", strSource, "where to search: local (default), ethernet or all")
        ->check(CLI::IsMember({"local", "ethernet", "all"}));
    int nLogLevel = -1;
    app.add_option("--log-level", nLogLevel, "SDK log lines on stderr: 0 none, 1 errors ... 4 details")
        ->check(WholeNumber(0, 4));
    bool bVersionFlag = false;
    app.add_flag("--version", bVersionFlag, "print the versions of kxeye, the SDK and the camera library");

    bool bJson = false;
    const char* pszJson = "print the result as JSON (one schema per command, see docs/kxeye.md)";
    CLI::App* pList = app.add_subcommand("list", "search and list cameras");
    pList->add_flag("--json", bJson, pszJson);

    std::string strCamera;
    const char* pszCameraHelp = "camera: index in the list, serial number, device ID, connect text or IP address";
    CLI::App* pInfo = app.add_subcommand("info", "open a camera and show its versions, parameters and motor");
    pInfo->add_option("camera", strCamera, pszCameraHelp)->required();
    pInfo->add_flag("--json", bJson, pszJson);

    std::vector<std::string> vecItems;
    CLI::App* pSet = app.add_subcommand("set", "set parameters: exposure, threshold, gain, frame-rate, roi, trigger, "
                                               "denoise, accelerator, dynamic-roi");
    pSet->add_option("camera", strCamera, pszCameraHelp)->required();
    pSet->add_option("settings", vecItems, "NAME=VALUE ... (roi=LEFT,RIGHT,TOP,BOTTOM[:LEFT,RIGHT,TOP,BOTTOM])")
        ->required();
    pSet->add_flag("--json", bJson, pszJson);

    // Settings of "set" and the motor's sweep, for the run of a capture command.
    SKxEyeRunSettings run;
    std::vector<std::string> vecRunItems;
    std::string strSweepRange;
    auto addRunOptions = [&](CLI::App* pCommand, bool bSweep) {
        pCommand->add_option("--set", vecRunItems, "NAME=VALUE as for the set command, for this run (repeatable)");
        if (!bSweep) return;
        pCommand->add_option("--swing", run.strSwing, "swing the laser line with the motor: on or off")
            ->check(CLI::IsMember({"on", "off"}));
        pCommand->add_option("--sweep-range", strSweepRange, "START:END, sweep range in whole degrees");
        pCommand->add_option("--sweep-speed", run.nSweepSpeed, "motor speed, within the speed range motor status shows")
            ->check(WholeNumber(0, 100000));
        pCommand->add_option("--sweep-mode", run.nSweepMode, "1: sweep once, 2: back and forth")
            ->check(WholeNumber(0, 2));
    };

    std::string strOut;
    bool bImages = false;
    CLI::App* pSnapshot = app.add_subcommand("snapshot", "capture one frame with Detect and save it");
    pSnapshot->add_option("camera", strCamera, pszCameraHelp)->required();
    pSnapshot->add_option("--out", strOut, "output folder")->required();
    pSnapshot->add_flag("--images", bImages, "also transfer and save the left and right images");
    pSnapshot->add_flag("--json", bJson, pszJson);
    addRunOptions(pSnapshot, false);

    SKxEyeScanOptions scan;
    std::vector<std::string> vecFilters;
    std::string strTransform;
    int nStep = 1;
    bool bMirrorY = false;
    CLI::App* pScan = app.add_subcommand("scan", "capture continuously; write a PLY cloud (mm) and a PNG height map");
    pScan->add_option("camera", scan.strCamera, pszCameraHelp)->required();
    CLI::Option* pFrames =
        pScan->add_option("--frames", scan.nFrames, "number of frames")->check(WholeNumber(1, 1000000000000LL));
    CLI::Option* pSeconds =
        pScan->add_option("--seconds", scan.dSeconds, "capture time in seconds")->check(Positive(1e7, "a time in seconds"));
    pFrames->excludes(pSeconds);
    pScan->add_option("--out", scan.strOut, "output folder")->required();
    pScan->add_option("--format", scan.nFormat, "point format decoded in the callback, 0 to 6 (default 1)")
        ->check(WholeNumber(0, 6));
    pScan->add_option("--step", nStep, "keep every N-th raw point (default 1)")->check(WholeNumber(1, 2048));
    pScan->add_option("--transform", strTransform, "JSON file with the coordinate transform")
        ->check(CLI::ExistingFile);
    pScan->add_option("--filter", vecFilters, "AXIS:MIN:MAX[:keep|drop], AXIS x, y or z; once per axis");
    pScan->add_flag("--mirror-y", bMirrorY, "negate Y of every point");
    pScan->add_option("--travel", scan.strTravel, "travel axis: auto (default), encoder, frame or none")
        ->check(CLI::IsMember({"auto", "encoder", "frame", "none"}));
    pScan->add_option("--wheel-radius", scan.dWheelRadius, "encoder wheel radius in mm (default 31.831: 200 mm a round)")
        ->check(Length());
    pScan->add_option("--pulses-per-round", scan.nPulsesPerRound, "encoder counts per wheel round (default 2000)")
        ->check(WholeNumber(1, 1000000000));
    pScan->add_option("--frame-step", scan.dFrameStep, "travel per frame in mm when there is no encoder (default 1)")
        ->check(Length());
    pScan->add_option("--travel-scale", scan.dTravelScale,
                      "mm per travel step (encoder count or frame); overrides the wheel and the frame step")
        ->check(Length());
    pScan->add_option("--timeout", scan.dTimeout, "give up after this many seconds without a frame (default 5)")
        ->check(Positive(1e6, "a time in seconds"));
    pScan->add_flag("--json", scan.bJson, pszJson);
    addRunOptions(pScan, true);

    SKxEyeMotorOptions motor;
    CLI::App* pMotor = app.add_subcommand("motor", "swing motor: status | move ANGLE | range START END | center | run | stop");
    pMotor->add_option("camera", motor.strCamera, pszCameraHelp)->required();
    pMotor->add_option("action", motor.strAction, "status, move, range, center, run or stop")->required();
    pMotor->add_option("values", motor.vecArgs, "ANGLE for move; START END for range (degrees)");
    pMotor->add_option("--timeout", motor.dTimeout, "give up after this many seconds (default 60)")
        ->check(Positive(1e6, "a time in seconds"));
    pMotor->add_flag("--json", motor.bJson, pszJson);

    CLI::App* pCodes = app.add_subcommand("codes", "print every result code with its meaning");
    pCodes->add_flag("--json", bJson, pszJson);

    // Name what was mistyped instead of CLI11's "a subcommand is required".
    bool bVersion = false;
    const std::string strWord = CommandWord(argc, argv, bVersion);
    if (bVersion) return KxEyeVersion();
    if (!strWord.empty()) {
        std::string strNames;
        bool bKnown = false;
        for (const CLI::App* pSub : app.get_subcommands([](CLI::App*) { return true; })) {
            strNames += (strNames.empty() ? "" : ", ") + pSub->get_name();
            bKnown = bKnown || pSub->get_name() == strWord;
        }
        if (!bKnown) return UsageError(&app, "unknown command \"" + strWord + "\" (commands: " + strNames + ")");
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) return app.exit(e);
        const std::vector<CLI::App*> vecParsed = app.get_subcommands();
        return UsageError(vecParsed.empty() ? &app : vecParsed.front(), e.what());
    }

    if (nLogLevel >= 0) KxLogUtils::SetLogLevel(nLogLevel);
    const std::map<std::string, EKxEyeSource> mapSources = {
        {"local", EKxEyeSource::Local}, {"ethernet", EKxEyeSource::Ethernet}, {"all", EKxEyeSource::All}};
    const EKxEyeSource eSource = mapSources.at(strSource);

    auto parseRun = [&](CLI::App* pCommand) -> bool {
        for (const std::string& strItem : vecRunItems) {
            SKxEyeSetting s;
            std::string strError;
            if (!KxEyeParseSetting(strItem, s, strError)) {
                UsageError(pCommand, "--set " + strError);
                return false;
            }
            run.vecSettings.push_back(s);
        }
        if (!strSweepRange.empty()) {
            const size_t nColon = strSweepRange.find(':');
            if (nColon == std::string::npos ||
                !KxEyeParseInt(strSweepRange.substr(0, nColon), 0, 3600, run.nSweepStart) ||
                !KxEyeParseInt(strSweepRange.substr(nColon + 1), 0, 3600, run.nSweepEnd)) {
                UsageError(pCommand, "--sweep-range: \"" + strSweepRange +
                                         "\" is not START:END in whole degrees from 0 to 3600");
                return false;
            }
        }
        return true;
    };

    if (pList->parsed()) return KxEyeList(eSource, bJson);
    if (pInfo->parsed()) return KxEyeInfo(eSource, strCamera, bJson);
    if (pCodes->parsed()) return KxEyeCodes(bJson);
    if (pSet->parsed()) {
        std::vector<SKxEyeSetting> vecSettings;
        for (const std::string& strItem : vecItems) {
            SKxEyeSetting s;
            std::string strError;
            if (!KxEyeParseSetting(strItem, s, strError)) return UsageError(pSet, strError);
            vecSettings.push_back(s);
        }
        return KxEyeSet(eSource, strCamera, vecSettings, bJson);
    }
    if (pSnapshot->parsed()) {
        if (!parseRun(pSnapshot)) return c_nKxEyeExitUsage;
        return KxEyeSnapshot(eSource, strCamera, strOut, bImages, run, bJson);
    }
    if (pScan->parsed()) {
        if (!*pFrames && !*pSeconds) return UsageError(pScan, "scan needs --frames N or --seconds S");
        if (!parseRun(pScan)) return c_nKxEyeExitUsage;
        scan.sRun = run;
        scan.sParam.nStep = nStep;
        scan.sParam.nMirrorY = bMirrorY ? 1 : 0;
        std::string strError;
        for (const std::string& strFilter : vecFilters) {
            if (!KxEyeParseFilter(strFilter, scan.sParam, strError)) return UsageError(pScan, strError);
        }
        if (!strTransform.empty() && !KxEyeLoadTransform(strTransform, scan.sParam, strError))
            return UsageError(pScan, strError);
        // A travel step of more than the largest length is no measurement either.
        if (scan.dTravelScale <= 0 && KxEyeMmPerCount(scan.dWheelRadius, scan.nPulsesPerRound) > c_dKxEyeMaxLength)
            return UsageError(pScan, "--wheel-radius and --pulses-per-round give more than " +
                                         Number(c_dKxEyeMaxLength) + " mm per count");
        return KxEyeScan(eSource, scan);
    }
    if (pMotor->parsed()) {
        std::string strError;
        if (!KxEyeMotorCheck(motor, strError)) return UsageError(pMotor, strError);
        return KxEyeMotor(eSource, motor);
    }
    return UsageError(&app, "no command given");
}

}  // namespace

int main(int argc, char** argv) {
    // Into a file or a pipe, what a command prints stays in one buffer until the end, so that a
    // failure to write it is seen, with its reason, when the buffer is flushed.
    static char s_achBuffer[1 << 20];
    if (!isatty(STDOUT_FILENO)) std::setvbuf(stdout, s_achBuffer, _IOFBF, sizeof(s_achBuffer));
    return CheckStdout(Run(argc, argv));
}
