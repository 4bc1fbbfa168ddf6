// kxeye: list, inspect, configure and capture laser line cameras from the command line.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>

#include <CLI/CLI.hpp>

#include "kxeyealigncommand.h"
#include "kxeyecamlib.h"
#include "kxeyecommands.h"
#include "kxeyenet.h"
#include "kxeyerecord.h"
#include "kxeyeview.h"
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
    app.footer("Exit status: 0 done, 1 failed, 2 wrong arguments, 3 scan or record interrupted (its files written),\n"
               "4 scan ended by a lost camera (its files written).\n"
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
    const char* pszCameraHelp = "camera: index in the list, serial number, device ID, connect text, IP address or MAC "
                                "(an address or MAC searches Ethernet)";
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
        // One value per --set, so that the camera argument after it is not taken for a setting.
        pCommand->add_option("--set", vecRunItems, "NAME=VALUE as for the set command, for this run (repeatable)")
            ->allow_extra_args(false);
        if (!bSweep) return;
        pCommand->add_option("--swing", run.strSwing, "swing the laser line with the motor: on or off")
            ->check(CLI::IsMember({"on", "off"}));
        pCommand->add_option("--sweep-range", strSweepRange, "START:END, sweep range in whole degrees");
        pCommand->add_option("--sweep-speed", run.nSweepSpeed, "motor speed, within the speed range motor status shows")
            ->check(WholeNumber(0, 100000));
        pCommand->add_option("--sweep-mode", run.nSweepMode, "1: sweep once, 2: back and forth")
            ->check(WholeNumber(1, 2));
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
    pScan->add_option("camera", scan.vecCameras,
                      "the camera (index, address, MAC, serial, ...); several: all scanned at once into one cloud")
        ->required();
    pScan->add_option("--align", scan.strAlign, "alignment file of kxeye align: every camera's points in one world frame")
        ->check(CLI::ExistingFile);
    pScan->add_option("--stagger", scan.nStaggerUs,
                      "several cameras: camera i exposes i x US microseconds after the shared frame instant, so that "
                      "cameras facing each other take turns")
        ->check(WholeNumber(0, 1000000));
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
    pScan->add_option("--filter", vecFilters, "AXIS:MIN:MAX[:keep|drop], AXIS x, y or z; once per axis")
        ->allow_extra_args(false);
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
    pScan->add_option("--height-map", scan.strHeightMap,
                      "scale (default): a grid in mm with a colour scale and legend; columns: grey, one image column per pixel")
        ->check(CLI::IsMember({"scale", "columns"}));
    pScan->add_option("--cell", scan.dCell, "height map cell size in mm (default: the points' spacing along the line)")
        ->check(Length());
    pScan->add_flag("--json", scan.bJson, pszJson);
    pScan->add_flag("--reconnect", scan.bReconnect,
                    "when the camera is lost, wait for it, take it back and go on into the same files");
    pScan->add_option("--reconnect-wait", scan.dReconnectWait,
                      "with --reconnect: seconds to wait for a lost camera before the scan ends as lost (default 60; 0 no end)")
        ->check(CLI::Range(0.0, 1e6));
    addRunOptions(pScan, true);

    SKxEyeMotorOptions motor;
    CLI::App* pMotor = app.add_subcommand("motor", "swing motor: status | move ANGLE | range START END | center | run | stop");
    pMotor->add_option("camera", motor.strCamera, pszCameraHelp)->required();
    pMotor->add_option("action", motor.strAction, "status, move, range, center, run or stop")->required();
    pMotor->add_option("values", motor.vecArgs, "ANGLE for move; START END for range (degrees)");
    pMotor->add_option("--timeout", motor.dTimeout, "give up after this many seconds (default 60)")
        ->check(Positive(1e6, "a time in seconds"));
    pMotor->add_flag("--json", motor.bJson, pszJson);

    SKxEyeRecordOptions record;
    CLI::App* pRecord = KxEyeAddRecordCommand(app, record);
    SKxEyeViewOptions view;
    CLI::App* pView = KxEyeAddViewCommand(app, view);
    SKxEyeAlignOptions align;
    CLI::App* pAlign = KxEyeAddAlignCommand(app, align);

    CLI::App* pCodes = app.add_subcommand("codes", "print every result code with its meaning");
    pCodes->add_flag("--json", bJson, pszJson);

    // The network commands search Ethernet unless --source says otherwise.
    const char* pszNetCamera = "camera: index in the list, MAC, IP address or device ID";
    SKxEyeNetOptions net;
    auto addNetCommand = [&](const char* pszName, const char* pszHelp, const char* pszValue, const char* pszValueHelp) {
        CLI::App* pCommand = app.add_subcommand(pszName, pszHelp);
        pCommand->add_option("camera", net.strCamera, pszNetCamera)->required();
        if (pszValue) pCommand->add_option(pszValue, net.strValue, pszValueHelp)->required();
        pCommand->add_flag("--json", net.bJson, pszJson);
        return pCommand;
    };
    CLI::App* pSetIp = addNetCommand("set-ip", "give an Ethernet camera a new IP address and pin it in the host's ARP table",
                                     "address", "the new IPv4 address");
    pSetIp->add_flag("--force", net.bForce, "move even when something answers at the new address");
    CLI::App* pSetMac = addNetCommand("set-mac", "give an Ethernet camera a new MAC address", "mac",
                                      "the new MAC, like 02:4b:58:00:00:20");
    CLI::App* pBindHost = addNetCommand("bind-host", "make an Ethernet camera stream to the card it was found through",
                                        nullptr, nullptr);
    CLI::App* pResetDest = addNetCommand("reset-dest", "make an Ethernet camera stream to its subnet's broadcast again",
                                         nullptr, nullptr);
    CLI::App* pOnline = addNetCommand("online", "tell whether an Ethernet camera answers through its card (exit 0 yes, 1 no)",
                                      nullptr, nullptr);
    std::string strProbe;
    CLI::App* pProbe = app.add_subcommand("probe", "ask one address for a camera (a unicast search, for networks that "
                                                   "filter broadcasts)");
    pProbe->add_option("address", strProbe, "the camera's IPv4 address")->required();
    pProbe->add_flag("--json", bJson, pszJson);
    SKxEyeDoctorOptions doctor;
    CLI::App* pDoctor = app.add_subcommand("doctor", "check the host's network setup for Ethernet cameras; each finding "
                                                     "with the command that fixes it");
    pDoctor->add_option("camera", doctor.strCamera, "camera to probe and stream from briefly (index, MAC, IP address)");
    pDoctor->add_option("--seconds", doctor.dSeconds, "length of the test stream (default 2)")
        ->check(Positive(60, "a time in seconds"));
    pDoctor->add_flag("--json", doctor.bJson, pszJson);

    // One example per command in its --help.
    const std::map<CLI::App*, const char*> mapExamples = {
        {pList, "kxeye --source all list --json"},
        {pInfo, "kxeye info VC000001"},
        {pSet, "kxeye set 0 exposure=2000 roi=0,512,0,2048"},
        {pSnapshot, "kxeye --source ethernet snapshot 192.0.2.10 --out snap --images"},
        {pScan, "kxeye --source ethernet scan 192.0.2.10 --seconds 10 --out scan1"},
        {pMotor, "kxeye motor 0 move 12.5"},
        {pRecord, "kxeye record 0 --out belt.kxrec --frames 300"},
        {pView, "kxeye view 0"},
        {pCodes, "kxeye codes --json"},
        {pSetIp, "kxeye set-ip 02:4b:58:00:00:40 192.0.2.20"},
        {pSetMac, "kxeye set-mac 192.0.2.20 02:4b:58:00:00:41"},
        {pBindHost, "kxeye bind-host 192.0.2.20"},
        {pResetDest, "kxeye reset-dest 192.0.2.20"},
        {pOnline, "kxeye online 02:4b:58:00:00:40"},
        {pProbe, "kxeye probe 198.51.100.7"},
        {pDoctor, "kxeye doctor 192.0.2.20"}};
    for (const auto& example : mapExamples) example.first->footer(std::string("Example: ") + example.second);

    // Name what was mistyped instead of CLI11's "a subcommand is required".
    bool bVersion = false;
    const std::string strWord = CommandWord(argc, argv, bVersion);
    if (bVersion) return KxEyeVersion();
    std::string strNames;
    for (const CLI::App* pSub : app.get_subcommands([](CLI::App*) { return true; }))
        strNames += (strNames.empty() ? "" : ", ") + pSub->get_name();
    bool bHelp = false;
    for (int i = 1; i < argc; ++i) bHelp = bHelp || std::string(argv[i]) == "-h" || std::string(argv[i]) == "--help";
    if (strWord.empty() && !bHelp) return UsageError(&app, "no command given (commands: " + strNames + ")");
    if (!strWord.empty()) {
        bool bKnown = false;
        for (const CLI::App* pSub : app.get_subcommands([](CLI::App*) { return true; }))
            bKnown = bKnown || pSub->get_name() == strWord;
        if (!bKnown) return UsageError(&app, "unknown command \"" + strWord + "\" (commands: " + strNames + ")");
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) return app.exit(e);
        const std::vector<CLI::App*> vecParsed = app.get_subcommands();
        return UsageError(vecParsed.empty() ? &app : vecParsed.front(), e.what());
    }

    if (nLogLevel >= 0) KxEyeSetLogLevel(nLogLevel);
    const std::map<std::string, EKxEyeSource> mapSources = {
        {"local", EKxEyeSource::Local}, {"ethernet", EKxEyeSource::Ethernet}, {"all", EKxEyeSource::All}};
    const bool bNetCommand = pSetIp->parsed() || pSetMac->parsed() || pBindHost->parsed() || pResetDest->parsed() ||
                             pOnline->parsed() || pDoctor->parsed();
    // Only what is asked for goes on the network: the network commands search Ethernet unless
    // --source says otherwise; every other command searches the local path unless told.
    const bool bSourceGiven = app.get_option("--source")->count() > 0;
    // A camera named by its IPv4 address or MAC can only be an Ethernet camera: the search goes
    // there by itself (the local path's virtual cameras have neither).
    std::string strNamed;
    if (pInfo->parsed() || pSet->parsed() || pSnapshot->parsed()) strNamed = strCamera;
    else if (pScan->parsed() && !scan.vecCameras.empty()) strNamed = scan.vecCameras.front();
    else if (pMotor->parsed()) strNamed = motor.strCamera;
    else if (pRecord->parsed()) strNamed = record.strCamera;
    const bool bNetworkCamera = !strNamed.empty() && KxEyeNamesNetworkCamera(strNamed);
    EKxEyeSource eSource = (bNetCommand || bNetworkCamera) && !bSourceGiven ? EKxEyeSource::Ethernet
                                                                             : mapSources.at(strSource);
    // A scan of several cameras that names Ethernet and local ones searches both.
    if (pScan->parsed() && !bSourceGiven) {
        const size_t nNet = static_cast<size_t>(std::count_if(scan.vecCameras.begin(), scan.vecCameras.end(),
                                                              [](const std::string& s) { return KxEyeNamesNetworkCamera(s); }));
        if (nNet > 0 && nNet < scan.vecCameras.size()) eSource = EKxEyeSource::All;
    }
    std::string strConfigError;
    if (eSource != EKxEyeSource::Ethernet && !pCodes->parsed() && !pProbe->parsed() &&
        !KxEyeCheckVirtualCameras(strConfigError)) {
        std::cerr << "kxeye: " << strConfigError << "\n";
        return c_nKxEyeExitFailure;
    }

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
    if (pProbe->parsed()) return KxEyeProbe(strProbe, bJson);
    if (pDoctor->parsed()) return KxEyeDoctor(eSource, doctor);
    for (CLI::App* pCommand : {pSetIp, pSetMac, pBindHost, pResetDest, pOnline}) {
        if (!pCommand->parsed()) continue;
        net.strOperation = pCommand->get_name();
        return KxEyeNetConfig(eSource, net);
    }
    if (pRecord->parsed()) return KxEyeRecord(eSource, record);
    if (pView->parsed()) return KxEyeView(eSource, view);
    if (pAlign->parsed()) return KxEyeAlign(eSource, align);
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
        scan.strCamera = scan.vecCameras.front();
        if (scan.vecCameras.size() > 1 || !scan.strAlign.empty()) {
            if (!strTransform.empty())
                return UsageError(pScan, "--transform and --align both place the points; give one of them");
            if (scan.bReconnect) return UsageError(pScan, "--reconnect works with one camera only");
            if (scan.nStaggerUs > 0 && scan.vecCameras.size() < 2)
                return UsageError(pScan, "--stagger takes two cameras or more");
            if (scan.strHeightMap == "columns") return UsageError(pScan, "--height-map columns works with one camera only");
            return KxEyeScanGroup(eSource, scan);
        }
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
