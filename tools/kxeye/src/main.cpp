// kxeye: list, inspect, configure and capture laser line cameras from the command line.
#include <cstdio>
#include <iostream>
#include <map>

#include <CLI/CLI.hpp>

#include "kxeyecamlib.h"
#include "kxeyecommands.h"
#include "kxeyerecord.h"
#include "kxkernel.h"

namespace {

int UsageError(const CLI::App* pApp, const std::string& strMessage) {
    std::cerr << "kxeye: " << strMessage << "\n\n" << pApp->help();
    return c_nKxEyeExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Laser line camera tool: list, inspect, configure and capture.", "kxeye"};
    app.require_subcommand(1, 1);
    app.fallthrough();

    std::string strSource = "local";
    app.add_option("--source", strSource, "where to search: local (default), ethernet or all")
        ->check(CLI::IsMember({"local", "ethernet", "all"}));
    int nLogLevel = -1;
    app.add_option("--log-level", nLogLevel, "SDK log lines on stderr: 0 none, 1 errors ... 4 details")
        ->check(CLI::Range(0, 4));

    bool bJson = false;
    CLI::App* pList = app.add_subcommand("list", "search and list cameras");
    pList->add_flag("--json", bJson, "print the records as JSON");

    std::string strCamera;
    const char* pszCameraHelp = "camera: index in the list, device ID or IP address";
    CLI::App* pInfo = app.add_subcommand("info", "open a camera and show its versions, parameters and motor");
    pInfo->add_option("camera", strCamera, pszCameraHelp)->required();
    pInfo->add_flag("--json", bJson, "print as JSON");

    std::vector<std::string> vecItems;
    CLI::App* pSet = app.add_subcommand("set", "set parameters: exposure, threshold, gain, frame-rate, roi, trigger, "
                                               "denoise, accelerator, dynamic-roi");
    pSet->add_option("camera", strCamera, pszCameraHelp)->required();
    pSet->add_option("settings", vecItems, "NAME=VALUE ... (roi=LEFT,RIGHT,TOP,BOTTOM[:LEFT,RIGHT,TOP,BOTTOM])")
        ->required();

    std::string strOut;
    bool bImages = false;
    CLI::App* pSnapshot = app.add_subcommand("snapshot", "capture one frame with Detect and save it");
    pSnapshot->add_option("camera", strCamera, pszCameraHelp)->required();
    pSnapshot->add_option("--out", strOut, "output folder")->required();
    pSnapshot->add_flag("--images", bImages, "also transfer and save the left and right images");

    SKxEyeScanOptions scan;
    std::vector<std::string> vecFilters;
    std::string strTransform;
    int nStep = 1;
    bool bMirrorY = false;
    CLI::App* pScan = app.add_subcommand("scan", "capture continuously; write a PLY cloud and a PNG height map");
    pScan->add_option("camera", scan.strCamera, pszCameraHelp)->required();
    CLI::Option* pFrames = pScan->add_option("--frames", scan.nFrames, "number of frames")->check(CLI::PositiveNumber);
    CLI::Option* pSeconds =
        pScan->add_option("--seconds", scan.dSeconds, "capture time in seconds")->check(CLI::PositiveNumber);
    pFrames->excludes(pSeconds);
    pScan->add_option("--out", scan.strOut, "output folder")->required();
    pScan->add_option("--format", scan.nFormat, "point format decoded in the callback, 0 to 6 (default 1)")
        ->check(CLI::Range(0, 6));
    pScan->add_option("--step", nStep, "keep every N-th raw point (default 1)")->check(CLI::Range(1, 2048));
    pScan->add_option("--transform", strTransform, "JSON file with the coordinate transform")
        ->check(CLI::ExistingFile);
    pScan->add_option("--filter", vecFilters, "AXIS:MIN:MAX[:keep|drop], AXIS x, y or z; once per axis");
    pScan->add_flag("--mirror-y", bMirrorY, "negate Y of every point");
    pScan->add_option("--travel", scan.strTravel, "travel axis: auto (default), encoder, frame or none")
        ->check(CLI::IsMember({"auto", "encoder", "frame", "none"}));
    pScan->add_option("--travel-scale", scan.dTravelScale, "length of one travel step (default 1)");
    pScan->add_option("--timeout", scan.dTimeout, "give up after this many seconds without a frame (default 5)")
        ->check(CLI::PositiveNumber);

    SKxEyeMotorOptions motor;
    CLI::App* pMotor = app.add_subcommand("motor", "swing motor: status | move ANGLE | range START END | center | run | stop");
    pMotor->add_option("camera", motor.strCamera, pszCameraHelp)->required();
    pMotor->add_option("action", motor.strAction, "status, move, range, center, run or stop")->required();
    pMotor->add_option("values", motor.vecArgs, "ANGLE for move; START END for range (degrees)");
    pMotor->add_option("--timeout", motor.dTimeout, "give up after this many seconds (default 60)")
        ->check(CLI::PositiveNumber);

    SKxEyeRecordOptions record;
    CLI::App* pRecord = KxEyeAddRecordCommand(app, record);

    CLI::App* pCodes = app.add_subcommand("codes", "print every result code with its meaning");

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
    const EKxEyeSource eSource = mapSources.at(strSource);
    std::string strConfigError;
    if (eSource != EKxEyeSource::Ethernet && !pCodes->parsed() && !KxEyeCheckVirtualCameras(strConfigError)) {
        std::cerr << "kxeye: " << strConfigError << "\n";
        return c_nKxEyeExitFailure;
    }

    if (pList->parsed()) return KxEyeList(eSource, bJson);
    if (pInfo->parsed()) return KxEyeInfo(eSource, strCamera, bJson);
    if (pCodes->parsed()) return KxEyeCodes();
    if (pRecord->parsed()) return KxEyeRecord(eSource, record);
    if (pSet->parsed()) {
        std::vector<SKxEyeSetting> vecSettings;
        for (const std::string& strItem : vecItems) {
            SKxEyeSetting s;
            std::string strError;
            if (!KxEyeParseSetting(strItem, s, strError)) return UsageError(pSet, strError);
            vecSettings.push_back(s);
        }
        return KxEyeSet(eSource, strCamera, vecSettings);
    }
    if (pSnapshot->parsed()) return KxEyeSnapshot(eSource, strCamera, strOut, bImages);
    if (pScan->parsed()) {
        if (!*pFrames && !*pSeconds) return UsageError(pScan, "scan needs --frames N or --seconds S");
        scan.sParam.nStep = nStep;
        scan.sParam.nMirrorY = bMirrorY ? 1 : 0;
        std::string strError;
        for (const std::string& strFilter : vecFilters) {
            if (!KxEyeParseFilter(strFilter, scan.sParam, strError)) return UsageError(pScan, strError);
        }
        if (!strTransform.empty() && !KxEyeLoadTransform(strTransform, scan.sParam, strError))
            return UsageError(pScan, strError);
        return KxEyeScan(eSource, scan);
    }
    if (pMotor->parsed()) {
        std::string strError;
        if (!KxEyeMotorCheck(motor, strError)) return UsageError(pMotor, strError);
        return KxEyeMotor(eSource, motor);
    }
    return UsageError(&app, "no command given");
}
