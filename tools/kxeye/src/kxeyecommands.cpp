// list, info, set, snapshot, motor and codes.
#include "kxeyecommands.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include <nlohmann/json.hpp>

#include "kxeyecodes.h"
#include "kxeyefile.h"
#include "kxeyeoutput.h"
#include "kxlaserinfo.h"
#include "oreyeapi.h"

#ifndef KXEYE_VERSION
#define KXEYE_VERSION "unknown"
#endif

void KxEyePrintJson(const ordered_json& j) {
    // Record texts come from cameras: replace bytes that are not UTF-8 rather than throw.
    std::cout << j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
}
static void PrintJson(const ordered_json& j) { KxEyePrintJson(j); }

static ordered_json TextOrNull(const std::string& s) { return s.empty() ? ordered_json(nullptr) : ordered_json(s); }

ordered_json KxEyeCameraJson(const CKxEyeSession& session) {
    ordered_json j;
    j["index"] = session.Index();
    j["name"] = KxEyeFieldText(session.Info().szDeviceName);
    j["serial"] = TextOrNull(session.Identity().strSerial);
    j["storedDeviceId"] = TextOrNull(session.Identity().strStoredID);
    return j;
}

int KxEyeOpenFailed(const CKxEyeSession& session, bool bJson) {
    if (bJson) {
        ordered_json j;
        j["camera"] = nullptr;
        j["error"] = session.FailureText();
        j["code"] = session.FailureCode();
        j["meaning"] = KxEyeCodeMeaning(session.FailureCode());
        KxEyePrintJson(j);
    }
    return c_nKxEyeExitFailure;
}

static std::string ResolutionText(const SKxVideoResolution& res) {
    return std::to_string(res.nFrameWidth) + "x" + std::to_string(res.nFrameHeight);
}

static ordered_json RecordJson(size_t nIndex, const SKxNLEyeDeviceInfoEx& info) {
    ordered_json j;
    j["index"] = nIndex;
    j["name"] = KxEyeFieldText(info.szDeviceName);
    j["deviceId"] = KxEyeFieldText(info.szDeviceID);
    j["ip"] = KxEyeFieldText(info.szIPAddress);
    j["mac"] = KxEyeFieldText(info.szMACAddress);
    j["hardwareVersion"] = info.sVideoRes.nVersion;
    j["hardwareVersionText"] = KxEyeFieldText(info.szHWVersion);
    j["width"] = info.sVideoRes.nFrameWidth;
    j["height"] = info.sVideoRes.nFrameHeight;
    j["valid"] = info.bDeviceInfoValid != 0;
    j["deviceType"] = info.eDeviceType;
    j["flags"] = info.nDeviceFlags;
    j["productInfo"] = KxEyeFieldText(info.szProductInfo);
    j["connectText"] = KxEyeFieldText(info.szConnectText);
    // The Ethernet side: where the camera streams to and the host card it answered through. A
    // camera that answered but could not be read has no flags; its network facts still say
    // where it is.
    const bool bEthernet = KxEyeIsEthernet(info);
    j["source"] = bEthernet ? "ethernet" : "local";
    j["virtual"] = KxEyeIsVirtual(info);
    j["destIp"] = TextOrNull(bEthernet ? KxEyeFieldText(info.szDestIP) : std::string());
    j["destMac"] = TextOrNull(bEthernet ? KxEyeFieldText(info.szDestMAC) : std::string());
    if (bEthernet) {
        const SKxNetCardInfo& c = info.sNetCardInfo;
        char szIP[16], szMask[16];
        std::snprintf(szIP, sizeof(szIP), "%u.%u.%u.%u", c.byIP[0], c.byIP[1], c.byIP[2], c.byIP[3]);
        std::snprintf(szMask, sizeof(szMask), "%u.%u.%u.%u", c.byMask[0], c.byMask[1], c.byMask[2], c.byMask[3]);
        j["card"] = ordered_json{{"name", KxEyeFieldText(c.szDescription)}, {"index", c.nIndex}, {"ip", szIP}, {"mask", szMask}};
        j["wireId"] = KxEyeWireID(info);
    } else {
        j["card"] = nullptr;
        j["wireId"] = nullptr;
    }
    return j;
}

int KxEyeList(EKxEyeSource eSource, bool bJson) {
    std::vector<SKxNLEyeDeviceInfoEx> vecInfos;
    if (!KxEyeSearch(eSource, vecInfos)) return c_nKxEyeExitFailure;
    // Each camera is opened briefly for its serial number and stored device ID: the names that
    // stay the same from run to run. A test copy shows its original's.
    // Up to 4 cameras at a time (each open waits on one camera's answers); the records of one
    // Ethernet camera (one MAC through several cards) one after another, as a camera takes one
    // host connection at a time, and the other sources' records one after another too.
    std::vector<SKxEyeIdentity> vecIds(vecInfos.size());
    std::vector<std::vector<size_t>> vecGroups;
    {
        std::map<std::string, size_t> mapGroup;
        for (size_t i = 0; i < vecInfos.size(); ++i) {
            if (KxEyeTestCopyOf(vecInfos, i) >= 0) continue;
            const bool bEthernet = (vecInfos[i].nDeviceFlags & c_nKxFlagEthernet) != 0 &&
                                   (vecInfos[i].nDeviceFlags & c_nKxFlagLocal) == 0;
            const std::string strKey = bEthernet ? "mac " + KxEyeFieldText(vecInfos[i].szEyeMAC) : std::string("other");
            const auto it = mapGroup.emplace(strKey, vecGroups.size()).first;
            if (it->second == vecGroups.size()) vecGroups.emplace_back();
            vecGroups[it->second].push_back(i);
        }
    }
    std::atomic<size_t> nNext{0};
    auto reader = [&]() {
        for (size_t g = nNext++; g < vecGroups.size(); g = nNext++)
            for (size_t i : vecGroups[g]) vecIds[i] = KxEyeReadIdentity(vecInfos[i]);
    };
    std::vector<std::thread> vecThreads;
    for (size_t t = 1; t < std::min<size_t>(vecGroups.size(), 4); ++t) {
        try {
            vecThreads.emplace_back(reader);
        } catch (const std::system_error&) {
            break;  // fewer threads: every camera is still read
        }
    }
    reader();
    for (std::thread& th : vecThreads) th.join();
    for (size_t i = 0; i < vecInfos.size(); ++i) {
        const int nOf = KxEyeTestCopyOf(vecInfos, i);
        if (nOf >= 0) vecIds[i] = vecIds[static_cast<size_t>(nOf)];
    }
    if (bJson) {
        ordered_json j = ordered_json::array();
        for (size_t i = 0; i < vecInfos.size(); ++i) {
            ordered_json r = RecordJson(i, vecInfos[i]);
            r["serial"] = TextOrNull(vecIds[i].strSerial);
            r["storedDeviceId"] = TextOrNull(vecIds[i].strStoredID);
            r["connect"] = KxEyeFieldText(vecInfos[i].szConnectText);
            const int nOf = KxEyeTestCopyOf(vecInfos, i);
            r["testCopyOf"] = nOf >= 0 ? ordered_json(nOf) : ordered_json(nullptr);
            j.push_back(r);
        }
        PrintJson(j);
        return c_nKxEyeExitOk;
    }
    std::printf("%-5s %-28s %-9s %-38s %-15s %-17s %-15s %-10s %-3s %-10s %-5s %s\n", "INDEX", "NAME", "SERIAL",
                "DEVICE ID", "IP", "MAC", "DESTINATION", "CARD", "HW", "RESOLUTION", "VALID", "NOTE");
    for (size_t i = 0; i < vecInfos.size(); ++i) {
        const SKxNLEyeDeviceInfoEx& info = vecInfos[i];
        auto orDash = [](const std::string& s) { return s.empty() ? std::string("-") : s; };
        const int nOf = KxEyeTestCopyOf(vecInfos, i);
        const bool bEthernet = KxEyeIsEthernet(info);
        std::string strNote = bEthernet ? "" : "virtual (in this process, no hardware)";
        if (nOf >= 0) strNote = "virtual, test copy of " + std::to_string(nOf);
        if (bEthernet && !info.bDeviceInfoValid) strNote = "answered, not read: see kxeye doctor";
        std::printf("%-5zu %-28s %-9s %-38s %-15s %-17s %-15s %-10s %-3u %-10s %-5s %s\n", i,
                    orDash(KxEyeFieldText(info.szDeviceName)).c_str(), orDash(vecIds[i].strSerial).c_str(),
                    orDash(KxEyeFieldText(info.szDeviceID)).c_str(), orDash(KxEyeFieldText(info.szIPAddress)).c_str(),
                    orDash(KxEyeFieldText(info.szMACAddress)).c_str(),
                    orDash(bEthernet ? KxEyeFieldText(info.szDestIP) : std::string()).c_str(),
                    orDash(bEthernet ? KxEyeFieldText(info.sNetCardInfo.szDescription) : std::string()).c_str(),
                    info.sVideoRes.nVersion, ResolutionText(info.sVideoRes).c_str(),
                    info.bDeviceInfoValid ? "yes" : "no", strNote.c_str());
    }
    std::printf("%zu camera(s)\n", vecInfos.size());
    return c_nKxEyeExitOk;
}

// Frame rate that capture start applies for a ROI of this size (non-accelerated table).
static uint32_t TableFrameRate(const SKxNLROIRect& roi, uint32_t nFlags) {
    static const uint32_t s_anA[5][3] = {{1070, 740, 630}, {780, 490, 390}, {500, 310, 220}, {180, 120, 90}, {60, 40, 30}};
    static const uint32_t s_anB[5][3] = {{930, 760, 620}, {700, 520, 400}, {420, 300, 220}, {170, 120, 90}, {60, 40, 30}};
    static const int64_t s_anRows[] = {64, 128, 256, 512, 1536};
    static const int64_t s_anCols[] = {1024, 1536, 2048};
    const int64_t w = static_cast<int64_t>(roi.right) - roi.left;
    const int64_t h = static_cast<int64_t>(roi.bottom) - roi.top;
    size_t i = 0, j = 0;
    while (i < 5 && s_anRows[i] < w) ++i;
    while (j < 3 && s_anCols[j] < h) ++j;
    if (i > 4 || j > 2) return 0;
    if (nFlags & 0x1) return s_anA[i][j];
    if (nFlags & 0x2) return s_anB[i][j];
    return 0;
}

static ordered_json CodeJson(int32_t nCode) {
    ordered_json j;
    j["code"] = nCode;
    j["meaning"] = KxEyeCodeMeaning(nCode);
    return j;
}

static ordered_json RectJson(const SKxNLROIRect& r) {
    return ordered_json{{"left", r.left}, {"right", r.right}, {"top", r.top}, {"bottom", r.bottom}};
}

static ordered_json MotorJson(IKxSwingMotorDevice* pMotor) {
    ordered_json j;
    SKxMotorInfo sInfo{};
    const int32_t nInfo = pMotor->GetMotorInfo(&sInfo);
    if (nInfo == KX_OK) {
        j["maxAngle"] = sInfo.nMaxAngle;
        j["minSpeed"] = sInfo.nMinSpeed;
        j["maxSpeed"] = sInfo.nMaxSpeed;
    } else {
        j["motorInfo"] = CodeJson(nInfo);
    }
    int32_t nStart = 0, nEnd = 0;
    const int32_t nRange = pMotor->GetSwingRange(&nStart, &nEnd);
    if (nRange == KX_OK) j["range"] = ordered_json{nStart, nEnd};
    else j["range"] = CodeJson(nRange);
    int32_t nSpeed = 0;
    const int32_t nSpeedCode = pMotor->GetSpeed(&nSpeed);
    if (nSpeedCode >= 0) j["speed"] = nSpeed;
    else j["speed"] = CodeJson(nSpeedCode);
    j["center"] = pMotor->GetCenter();
    int32_t nError = 0;
    const float fPosition = pMotor->GetPosition(&nError);
    if (nError == KX_OK) j["position"] = fPosition;
    else j["position"] = CodeJson(nError);
    nError = 0;
    const bool bRunning = pMotor->IsMotorRunning(&nError);
    if (nError == KX_OK) j["running"] = bRunning;
    else j["running"] = CodeJson(nError);
    nError = 0;
    const bool bIdle = pMotor->IsMotorIdle(&nError);
    if (nError == KX_OK) j["idle"] = bIdle;
    else j["status"] = CodeJson(nError);
    j["swingEnabled"] = pMotor->IsSwingEnabled();
    j["swingMode"] = pMotor->GetSwingMode();
    j["motorVersion"] = pMotor->GetMotorVersion();
    return j;
}

static std::string ValueText(const ordered_json& j) {
    if (j.is_object() && j.contains("code") && j.contains("meaning"))
        return "n/a: " + KxEyeFormatCode(j["code"].get<int32_t>());
    if (j.is_string()) return j.get<std::string>();
    if (j.is_object() && j.contains("left"))
        return "left " + j["left"].dump() + ", right " + j["right"].dump() + ", top " + j["top"].dump() +
               ", bottom " + j["bottom"].dump();
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

static void PrintSection(const ordered_json& j, const std::string& strIndent) {
    for (auto it = j.begin(); it != j.end(); ++it) {
        const ordered_json& v = it.value();
        if (it.key() == "qMatrix" && v.is_array()) {
            std::printf("%s%s:\n", strIndent.c_str(), it.key().c_str());
            for (size_t r = 0; r < 4; ++r)
                std::printf("%s  %14.6g %14.6g %14.6g %14.6g\n", strIndent.c_str(), v[r * 4].get<double>(),
                            v[r * 4 + 1].get<double>(), v[r * 4 + 2].get<double>(), v[r * 4 + 3].get<double>());
        } else if (v.is_object() && !v.contains("code") && !v.contains("left")) {
            std::printf("%s%s:\n", strIndent.c_str(), it.key().c_str());
            PrintSection(v, strIndent + "  ");
        } else {
            std::printf("%s%s: %s\n", strIndent.c_str(), it.key().c_str(), ValueText(v).c_str());
        }
    }
}

int KxEyeInfo(EKxEyeSource eSource, const std::string& strCamera, bool bJson) {
    CKxEyeSession session;
    if (!session.Open(eSource, strCamera)) return KxEyeOpenFailed(session, bJson);
    IKxLaserEyeDevice* pDev = session.Device();
    const SKxNLEyeDeviceInfoEx& info = session.Info();
    ordered_json j;
    j["index"] = session.Index();
    j["name"] = KxEyeFieldText(info.szDeviceName);
    j["deviceId"] = KxEyeFieldText(info.szDeviceID);
    j["serial"] = TextOrNull(session.Identity().strSerial);
    j["hardwareVersion"] = pDev->GetHWVersion();

    SKxEyeVersionInfo sVersion;
    std::memset(&sVersion, 0, sizeof(sVersion));
    const int32_t nVersion = pDev->GetVersion(&sVersion);
    j["hardwareVersionText"] = (sVersion.nPresence & c_nKxVersionHardware)
                                   ? ordered_json(KxEyeFieldText(sVersion.szHardwareVersion))
                                   : CodeJson(nVersion);
    j["firmwareVersionText"] = (sVersion.nPresence & c_nKxVersionFirmware)
                                   ? ordered_json(KxEyeFieldText(sVersion.szFirmwareVersion))
                                   : CodeJson(nVersion);
    if (sVersion.nPresence & c_nKxVersionDeviceID) j["storedDeviceId"] = KxEyeFieldText(sVersion.szDeviceID);

    uint32_t nWidth = 0, nHeight = 0;
    const int32_t nRes = pDev->GetVideoResolution(&nWidth, &nHeight);
    if (nRes == KX_OK) j["resolution"] = ordered_json{{"width", nWidth}, {"height", nHeight}};
    else j["resolution"] = CodeJson(nRes);

    SKxNLROIRect sLeft{}, sRight{};
    const int32_t nRoi = pDev->GetDetectROI(&sLeft, &sRight);
    if (nRoi == KX_OK) {
        j["leftRoi"] = RectJson(sLeft);
        j["rightRoi"] = RectJson(sRight);
    } else {
        j["leftRoi"] = CodeJson(nRoi);
    }
    int32_t nAuto = 0, nExpose = 0;
    const int32_t nExposeCode = pDev->GetExpose(&nAuto, &nExpose);
    if (nExposeCode == KX_OK) j["exposure"] = nExpose;
    else j["exposure"] = CodeJson(nExposeCode);
    int32_t nThres = 0;
    const int32_t nThresCode = pDev->GetLaserThres(&nThres);
    if (nThresCode == KX_OK) j["laserThreshold"] = nThres;
    else j["laserThreshold"] = CodeJson(nThresCode);
    int32_t nTrigger = 0;
    const int32_t nTriggerCode = pDev->GetTriggerMode(&nTrigger);
    if (nTriggerCode == KX_OK) j["triggerMode"] = nTrigger;
    else j["triggerMode"] = CodeJson(nTriggerCode);
    if (nRoi == KX_OK) j["frameRateForRoi"] = TableFrameRate(sLeft, info.nDeviceFlags);
    // The rate the camera runs at now (its information block), and the one a capture runs at:
    // capture start puts a local camera on its table's rate for the ROI, and leaves an Ethernet
    // camera's own rate alone (it keeps the last rate set, from any run).
    uint8_t abyInfo[52] = {};
    const int nInfo = pDev->GetCoreEye() ? pDev->GetCoreEye()->GetParam(54, abyInfo, sizeof(abyInfo))
                                         : static_cast<int>(KX_E_NOT_SUPPORTED);
    const int nCameraRate = KxLaserInfo::GetWord(abyInfo, KxLaserInfo::c_nWordFrameRate);
    if (nInfo == 0) j["frameRate"] = nCameraRate;
    else j["frameRate"] = CodeJson(nInfo);
    const bool bLocal = (info.nDeviceFlags & 0x1) != 0;
    if (bLocal && nRoi == KX_OK) j["frameRateAtCapture"] = TableFrameRate(sLeft, info.nDeviceFlags);
    else if (!bLocal && nInfo == 0) j["frameRateAtCapture"] = nCameraRate;
    else j["frameRateAtCapture"] = nullptr;
    j["denoise"] = pDev->IsDenoiseEnabled();
    int32_t nDynError = 0;
    const bool bDynamic = pDev->IsDynamicROIEnabled(&nDynError);
    if (nDynError == KX_OK) j["dynamicRoi"] = bDynamic;
    else j["dynamicRoi"] = CodeJson(nDynError);
    double adQ[16] = {};
    const int32_t nQ = pDev->GetQMatrix(adQ);
    if (nQ == KX_OK) {
        ordered_json q = ordered_json::array();
        for (double d : adQ) q.push_back(d);
        j["qMatrix"] = q;
    } else {
        j["qMatrix"] = CodeJson(nQ);
    }
    IKxSwingMotorDevice* pMotorRaw = nullptr;
    if (pDev->GetSwingMotorDevice(&pMotorRaw) && pMotorRaw) {
        CKxEyeRef<IKxSwingMotorDevice> pMotor(pMotorRaw);
        j["swingMotor"] = MotorJson(pMotor.Get());
    } else {
        j["swingMotor"] = "not fitted";
    }
    if (bJson) PrintJson(j);
    else PrintSection(j, "");
    return c_nKxEyeExitOk;
}

static int32_t ApplySetting(IKxLaserEyeDevice* pDev, const SKxEyeSetting& s) {
    switch (s.eParam) {
        case EKxEyeParam::Exposure: return pDev->SetExpose(0, static_cast<uint32_t>(s.nValue));
        case EKxEyeParam::Threshold: return pDev->SetLaserThres(static_cast<int32_t>(s.nValue));
        case EKxEyeParam::Gain: return pDev->SetCameraGain(0, static_cast<uint16_t>(s.nValue));
        case EKxEyeParam::FrameRate: return pDev->SetFrameRate(static_cast<uint16_t>(s.nValue));
        case EKxEyeParam::Roi: return pDev->SetDetectROI(&s.sLeft, &s.sRight);
        case EKxEyeParam::Trigger: return pDev->SetTriggerMode(static_cast<int32_t>(s.nValue));
        case EKxEyeParam::Denoise: return pDev->EnableDenoise(s.nValue != 0);
        case EKxEyeParam::Accelerator: return pDev->EnableAccelerator(s.nValue != 0);
        case EKxEyeParam::DynamicRoi: return pDev->EnableDynamicROI(s.nValue != 0);
    }
    return KX_E_NOT_SUPPORTED;
}

static ordered_json ResultJson(const std::string& strItem, int32_t nCode) {
    return ordered_json{{"item", strItem}, {"code", nCode}, {"meaning", KxEyeCodeMeaning(nCode)}};
}

bool KxEyeApplyRunSettings(IKxLaserEyeDevice* pDev, const SKxEyeRunSettings& run, ordered_json& j, bool bPrint) {
    ordered_json& results = j["settings"];
    results = ordered_json::array();
    bool bOk = true;
    auto report = [&](const std::string& strItem, int32_t nCode) {
        if (bPrint) std::printf("%s: %s\n", strItem.c_str(), KxEyeFormatCode(nCode).c_str());
        results.push_back(ResultJson(strItem, nCode));
        if (nCode != KX_OK) bOk = false;
    };
    // Every item is tried, so that one refusal does not hide the outcome of the others.
    for (const SKxEyeSetting& s : run.vecSettings) report(s.strText, ApplySetting(pDev, s));
    const bool bMotorWork = !run.strSwing.empty() || run.nSweepStart >= 0 || run.nSweepSpeed >= 0 || run.nSweepMode >= 0;
    if (!bMotorWork) return bOk;
    IKxSwingMotorDevice* pMotorRaw = nullptr;
    if (!pDev->GetSwingMotorDevice(&pMotorRaw) || !pMotorRaw) {
        report("swing motor", KX_E_NOT_SUPPORTED);
        return false;
    }
    CKxEyeRef<IKxSwingMotorDevice> pMotor(pMotorRaw);
    // Mode before the switch: the switch word carries the mode.
    if (run.nSweepMode >= 0)
        report("sweep-mode=" + std::to_string(run.nSweepMode), pMotor->SetSwingMode(static_cast<int32_t>(run.nSweepMode)));
    if (run.nSweepStart >= 0)
        report("sweep-range=" + std::to_string(run.nSweepStart) + ":" + std::to_string(run.nSweepEnd),
               pMotor->SetSwingRange(static_cast<int32_t>(run.nSweepStart), static_cast<int32_t>(run.nSweepEnd)));
    if (run.nSweepSpeed >= 0)
        report("sweep-speed=" + std::to_string(run.nSweepSpeed), pMotor->SetSpeed(static_cast<int32_t>(run.nSweepSpeed)));
    if (!run.strSwing.empty()) {
        const bool bOn = run.strSwing == "on";
        report("swing=" + run.strSwing, pMotor->EnableSwing(bOn, true));
        pDev->EnableSwingOnCapture(bOn);
    }
    return bOk;
}

int KxEyeSet(EKxEyeSource eSource, const std::string& strCamera, const std::vector<SKxEyeSetting>& vecSettings,
             bool bJson) {
    CKxEyeSession session;
    if (!session.Open(eSource, strCamera)) return KxEyeOpenFailed(session, bJson);
    ordered_json j;
    j["camera"] = KxEyeCameraJson(session);
    SKxEyeRunSettings run;
    run.vecSettings = vecSettings;
    const bool bOk = KxEyeApplyRunSettings(session.Device(), run, j, !bJson);
    if (bJson) PrintJson(j);
    return bOk ? c_nKxEyeExitOk : c_nKxEyeExitFailure;
}

// The SDK composes export names into 256-byte buffers; refuse paths that would not fit.
static bool CheckExportPath(const std::string& strPath) {
    if (strPath.size() + std::strlen("_3D.txt") < 250) return true;
    std::cerr << "kxeye: output path too long: " << strPath << "\n";
    return false;
}

static uint64_t CountLines(const std::string& strPath, bool& bEndsWithNewline) {
    uint64_t n = 0;
    bEndsWithNewline = false;
    FILE* p = std::fopen(strPath.c_str(), "rb");
    if (!p) return 0;
    char buf[1 << 16];
    size_t nRead;
    char cLast = 0;
    while ((nRead = std::fread(buf, 1, sizeof(buf), p)) > 0) {
        for (size_t i = 0; i < nRead; ++i) n += buf[i] == '\n';
        cLast = buf[nRead - 1];
    }
    std::fclose(p);
    bEndsWithNewline = cLast == '\n';
    return n;
}

static bool EndsWithPngEnd(const std::string& strPath) {
    static const unsigned char s_abyEnd[8] = {0, 0, 0, 0, 'I', 'E', 'N', 'D'};
    FILE* p = std::fopen(strPath.c_str(), "rb");
    if (!p) return false;
    unsigned char aby[12] = {};
    const bool bOk = std::fseek(p, -12, SEEK_END) == 0 && std::fread(aby, 1, 12, p) == 12;
    std::fclose(p);
    return bOk && std::memcmp(aby, s_abyEnd, 8) == 0;
}

int KxEyeSnapshot(EKxEyeSource eSource, const std::string& strCamera, const std::string& strOut, bool bImages,
                  const SKxEyeRunSettings& run, bool bJson) {
    namespace fs = std::filesystem;
    std::string strError;
    const std::string strBase = (fs::path(strOut) / "snapshot").string();
    // SaveToFile writes into a private folder first (its name is 28 characters longer).
    if (!CheckExportPath(strBase + std::string(28, 'x'))) return c_nKxEyeExitFailure;
    if (!KxEyeCheckOutputDir(strOut, strError)) {
        std::cerr << "kxeye: " << strError << "\n";
        return c_nKxEyeExitFailure;
    }
    CKxEyeSession session;
    if (!session.Open(eSource, strCamera)) return KxEyeOpenFailed(session, bJson);
    IKxLaserEyeDevice* pDev = session.Device();
    ordered_json j;
    j["camera"] = KxEyeCameraJson(session);
    if (!KxEyeApplyRunSettings(pDev, run, j, !bJson)) {
        if (bJson) PrintJson(j);
        return c_nKxEyeExitFailure;
    }
    pDev->EnableDetectDebug(bImages);
    CKxEyeRef<IKxLaserEyeResultBlock> pBlock;
    const int32_t nDetect = pDev->Detect(pBlock.Out());
    if (nDetect != KX_OK || !pBlock) {
        const int32_t nCode = nDetect != KX_OK ? nDetect : KX_E_NOT_FOUND;
        std::cerr << "kxeye: Detect failed: " << KxEyeFormatCode(nCode) << "\n";
        if (bJson) {
            j["error"] = "Detect failed";
            j["code"] = nCode;
            j["meaning"] = KxEyeCodeMeaning(nCode);
            PrintJson(j);
        }
        return c_nKxEyeExitFailure;
    }
    CKxEyeOutputDir outDir(strOut);
    if (!outDir.Create(strError)) {
        std::cerr << "kxeye: " << strError << "\n";
        return c_nKxEyeExitFailure;
    }
    // SaveToFile does not say whether its writes succeeded: it writes into a private folder, each
    // file is checked there, then copied to its place with checked writes.
    std::string strTemplate = (fs::path(strOut) / ".snapshot.kxeye-XXXXXX").string();
    std::vector<char> vecTemp(strTemplate.begin(), strTemplate.end());
    vecTemp.push_back('\0');
    if (!::mkdtemp(vecTemp.data())) {
        std::cerr << "kxeye: cannot create a scratch folder in " << strOut << ": " << std::strerror(errno) << "\n";
        return c_nKxEyeExitFailure;
    }
    const fs::path tempDir(vecTemp.data());
    struct STempDir {
        fs::path path;
        ~STempDir() {
            std::error_code ec;
            fs::remove_all(path, ec);
        }
    } tempGuard{tempDir};
    const std::string strTempBase = (tempDir / "snapshot").string();
    pBlock->SaveToFile((strTempBase + ".raw").c_str());
    j["frameIndex"] = pBlock->GetFrameIndex();
    j["rawPoints"] = pBlock->GetRawPointCount();
    if (!bJson)
        std::printf("frame: index %llu, raw points %u\n", static_cast<unsigned long long>(pBlock->GetFrameIndex()),
                    pBlock->GetRawPointCount());
    int32_t nTextPoints = 0;
    pBlock->GetPointData(c_nKxFormatIndexedDouble, &nTextPoints);

    int nExit = c_nKxEyeExitOk;
    ordered_json& files = j["files"];
    files = ordered_json::object();
    bool bAnyWritten = false;
    // Checks the file SaveToFile left in the private folder, then copies it into place.
    auto place = [&](const char* pszKey, const char* pszWhat, const std::string& strSuffix, bool bValid) {
        const std::string strFrom = strTempBase + strSuffix;
        const std::string strTo = strBase + strSuffix;
        std::string strWhy;
        if (!bValid) {
            strWhy = "cannot write " + strTo + ": the SDK's export is missing or incomplete";
        } else if (KxEyeCopyToOutput(strFrom, strTo, strWhy)) {
            files[pszKey] = strTo;
            bAnyWritten = true;
            if (!bJson) std::printf("%s: %s\n", pszWhat, strTo.c_str());
            return;
        }
        files[pszKey] = nullptr;
        std::fprintf(stderr, "kxeye: %s was not written: %s\n", pszWhat, strWhy.c_str());
        nExit = c_nKxEyeExitFailure;
    };
    std::error_code ec;
    const std::string strRawTemp = strTempBase + ".raw";
    place("raw", "raw frame", ".raw", fs::exists(strRawTemp, ec) && fs::file_size(strRawTemp, ec) >= 32800);
    bool bNewline = false;
    const uint64_t nLines = CountLines(strTempBase + "_3D.txt", bNewline);
    place("text", "3D text", "_3D.txt", bNewline && nLines == 3 + static_cast<uint64_t>(std::max(nTextPoints, 0)));
    if (bImages) {
        IKxSurface* pLeft = nullptr;
        IKxSurface* pRight = nullptr;
        if (pBlock->GetSurfaces(&pLeft, &pRight)) {
            CKxEyeRef<IKxSurface> left(pLeft), right(pRight);
            place("leftImage", "left image", "_L.png", EndsWithPngEnd(strTempBase + "_L.png"));
            place("rightImage", "right image", "_R.png", EndsWithPngEnd(strTempBase + "_R.png"));
        } else {
            std::fprintf(stderr, "kxeye: the frame carries no images\n");
            nExit = c_nKxEyeExitFailure;
        }
    }
    std::vector<SKxEyePoint> vecPoints;
    KxEyeReadBlock(pBlock.Get(), c_nKxFormatFloat, vecPoints);
    const std::string strPly = strBase + ".ply";
    CKxEyePlyWriter ply;
    if (ply.Open(strPly) && ply.Begin({"units mm", "travel none: camera coordinates"}) && ply.Add(vecPoints) &&
        ply.Finish()) {
        bAnyWritten = true;
        files["pointCloud"] = strPly;
        j["points"] = vecPoints.size();
        if (!bJson) std::printf("point cloud: %s (%zu points, mm)\n", strPly.c_str(), vecPoints.size());
    } else {
        ply.Abort();
        files["pointCloud"] = nullptr;
        std::fprintf(stderr, "kxeye: point cloud was not written: %s\n", ply.Error().c_str());
        nExit = c_nKxEyeExitFailure;
    }
    if (bAnyWritten) outDir.Keep();
    if (bJson) PrintJson(j);
    return nExit;
}

int KxEyeCodes(bool bJson) {
    if (bJson) {
        ordered_json j = ordered_json::array();
        for (const SKxEyeCodeInfo& info : KxEyeCodeTable())
            j.push_back({{"code", info.nCode}, {"name", info.pszName}, {"meaning", info.pszMeaning}});
        PrintJson(j);
        return c_nKxEyeExitOk;
    }
    for (const SKxEyeCodeInfo& info : KxEyeCodeTable())
        std::printf("%7d  %-24s %s\n", info.nCode, info.pszName, info.pszMeaning);
    return c_nKxEyeExitOk;
}

int KxEyeVersion() {
    // The camera library answers its version text before any camera is chosen; the local path
    // needs no network to do so.
    std::string strCameraLibrary = "unknown";
    if (IOrEyeCamera* pCamera = CreateOrEyeApi(OREYEAPI_TYPE_LOCAL)) {
        char szText[128] = {};
        if (pCamera->GetVersionText(szText, sizeof(szText) - 1) == 0) strCameraLibrary = KxEyeFieldText(szText);
        delete pCamera;
    }
    std::printf("kxeye %s\n", KXEYE_VERSION);
    std::printf("SDK (KxLaserEyeDevice) %s\n", KXEYE_VERSION);
    std::printf("camera library: %s\n", strCameraLibrary.c_str());
    return c_nKxEyeExitOk;
}

bool KxEyeMotorCheck(const SKxEyeMotorOptions& opts, std::string& strError) {
    const std::string& a = opts.strAction;
    size_t nArgs = 0;
    if (a == "move") nArgs = 1;
    else if (a == "range") nArgs = 2;
    else if (a != "status" && a != "center" && a != "run" && a != "stop") {
        strError = "unknown motor action \"" + a + "\" (status, move, range, center, run, stop)";
        return false;
    }
    if (opts.vecArgs.size() != nArgs) {
        strError = "motor " + a + " takes " + std::to_string(nArgs) + " value(s)";
        return false;
    }
    if (a == "move") {
        double dAngle = 0;
        // The motor knows no negative angle; NaN would pass any upper bound check.
        if (!KxEyeParseDouble(opts.vecArgs[0], dAngle) || dAngle < 0 || dAngle > 3600) {
            strError = "motor move takes an angle in degrees from 0";
            return false;
        }
    }
    if (a == "range") {
        int64_t n = 0;
        for (const std::string& s : opts.vecArgs) {
            if (!KxEyeParseInt(s, 0, 3600, n)) {
                strError = "motor range takes two whole angles in degrees from 0";
                return false;
            }
        }
    }
    return true;
}

// Motor commands wait for the motor without a limit of their own; a stuck motor must not
// leave the tool hanging.
class CKxEyeWatchdog {
public:
    explicit CKxEyeWatchdog(double dSeconds) : m_thread([this, dSeconds] { Run(dSeconds); }) {}
    ~CKxEyeWatchdog() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bDone = true;
        }
        m_cv.notify_all();
        m_thread.join();
    }

private:
    void Run(double dSeconds) {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_cv.wait_for(lock, std::chrono::duration<double>(dSeconds), [this] { return m_bDone; })) {
            std::fprintf(stderr, "kxeye: the motor did not finish within %.0f s\n", dSeconds);
            std::fflush(stdout);
            _exit(c_nKxEyeExitFailure);
        }
    }
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_bDone = false;
    std::thread m_thread;
};

int KxEyeMotor(EKxEyeSource eSource, const SKxEyeMotorOptions& opts) {
    CKxEyeSession session;
    if (!session.Open(eSource, opts.strCamera)) return KxEyeOpenFailed(session, opts.bJson);
    IKxSwingMotorDevice* pMotorRaw = nullptr;
    if (!session.Device()->GetSwingMotorDevice(&pMotorRaw) || !pMotorRaw) {
        std::fprintf(stderr, "kxeye: this camera has no swing motor: %s\n", KxEyeFormatCode(KX_E_NOT_SUPPORTED).c_str());
        if (opts.bJson) PrintJson(ResultJson("motor " + opts.strAction, KX_E_NOT_SUPPORTED));
        return c_nKxEyeExitFailure;
    }
    CKxEyeRef<IKxSwingMotorDevice> pMotor(pMotorRaw);
    CKxEyeWatchdog watchdog(opts.dTimeout);
    const std::string& a = opts.strAction;
    if (a == "status") {
        if (opts.bJson) PrintJson(MotorJson(pMotor.Get()));
        else PrintSection(MotorJson(pMotor.Get()), "");
        return c_nKxEyeExitOk;
    }
    int32_t nCode = KX_OK;
    std::string strWhat = "motor " + a;
    if (a == "move") {
        double dAngle = 0;
        KxEyeParseDouble(opts.vecArgs[0], dAngle);
        nCode = pMotor->MoveTo(static_cast<float>(dAngle), true);
        strWhat += " " + opts.vecArgs[0];
    } else if (a == "range") {
        int64_t nStart = 0, nEnd = 0;
        KxEyeParseInt(opts.vecArgs[0], 0, 3600, nStart);
        KxEyeParseInt(opts.vecArgs[1], 0, 3600, nEnd);
        nCode = pMotor->SetSwingRange(static_cast<int32_t>(nStart), static_cast<int32_t>(nEnd));
        strWhat += " " + opts.vecArgs[0] + " " + opts.vecArgs[1];
    } else if (a == "center") {
        nCode = pMotor->MoveToCenter(true);
    } else if (a == "run") {
        nCode = pMotor->RunMotor(true);
    } else if (a == "stop") {
        nCode = pMotor->RunMotor(false);
    }
    ordered_json j = ResultJson(strWhat, nCode);
    j["position"] = nullptr;
    if (!opts.bJson) std::printf("%s: %s\n", strWhat.c_str(), KxEyeFormatCode(nCode).c_str());
    if (nCode == KX_OK && (a == "move" || a == "center")) {
        int32_t nError = 0;
        const float fPosition = pMotor->GetPosition(&nError);
        if (nError == KX_OK) {
            j["position"] = fPosition;
            if (!opts.bJson) std::printf("position: %.1f\n", fPosition);
        }
    }
    if (opts.bJson) PrintJson(j);
    return nCode == KX_OK ? c_nKxEyeExitOk : c_nKxEyeExitFailure;
}
