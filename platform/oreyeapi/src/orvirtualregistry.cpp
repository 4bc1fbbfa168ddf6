// The process's virtual cameras, made from KXEYE_VIRTUAL_CAMERAS (JSON text, or the path of a
// JSON file) or, without it, one representative laser eye.
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

#include "kxlaserinfo.h"
#include "orlog.h"
#include "orvirtualcamera.h"

using Orvik::utilSystem::LogLevel_Error;

namespace {
std::mutex g_mtxRegistry;
// Never destroyed: a stream thread may still run while the process exits.
std::vector<std::shared_ptr<COrVirtualCamera>>* g_pCameras = nullptr;

const char* const c_apszOps[OrEyeTest::Op_Count] = {
    "GetVersionText", "ListDevices", "InitDevice", "SetFrameCallback", "EnableStream",
    "WaitStreamFrame", "GrabFrame", "SetParam", "GetParam", "WriteRegister", "GetQMatrix",
    "WriteProduct", "ReadProduct", "SetROI", "SetROIMode", "EnableDevice", "SetTriggerN",
    "SetImageTransfer", "WriteStorage", "ReadStorage", "SelectDevice", "ReleaseFrameBuffer",
    "ExecuteCustomCommand", "SetOptionEx", "SetOption", "ExtendedCommand", "SyncROI", "SetFeature"};

// The configuration is strict: an unknown key or a value of the wrong type or range is an
// error that names the key, never a silent default, so that a misspelt setting cannot give a
// different camera than the one asked for.
class CConfigError : public std::runtime_error {
public:
    explicit CConfigError(const std::string& s) : std::runtime_error(s) {}
};

std::string Shown(const nlohmann::json& j) {
    std::string s = j.dump();
    if (s.size() > 40) s = s.substr(0, 37) + "...";
    return s;
}

[[noreturn]] void Fail(const std::string& strPath, const std::string& strWhat) {
    throw CConfigError(strPath + ": " + strWhat);
}

int64_t Integer(const nlohmann::json& j, const std::string& strPath, int64_t nMin, int64_t nMax) {
    const std::string strRange = " " + std::to_string(nMin) + " to " + std::to_string(nMax);
    if (!j.is_number_integer()) Fail(strPath, "must be an integer" + strRange + " (got " + Shown(j) + ")");
    int64_t n = 0;
    if (j.is_number_unsigned()) {
        const uint64_t u = j.get<uint64_t>();
        if (u > static_cast<uint64_t>(nMax)) Fail(strPath, "must be" + strRange + " (got " + Shown(j) + ")");
        n = static_cast<int64_t>(u);
    } else {
        n = j.get<int64_t>();
    }
    if (n < nMin || n > nMax) Fail(strPath, "must be" + strRange + " (got " + Shown(j) + ")");
    return n;
}

bool Boolean(const nlohmann::json& j, const std::string& strPath) {
    if (!j.is_boolean()) Fail(strPath, "must be true or false (got " + Shown(j) + ")");
    return j.get<bool>();
}

std::string Text(const nlohmann::json& j, const std::string& strPath, size_t nMin, size_t nMax) {
    if (!j.is_string()) Fail(strPath, "must be a text (got " + Shown(j) + ")");
    const std::string s = j.get<std::string>();
    if (s.size() < nMin) Fail(strPath, "must not be empty");
    if (s.size() > nMax)
        Fail(strPath, "has at most " + std::to_string(nMax) + " characters (got " + std::to_string(s.size()) + ")");
    return s;
}

double Number(const nlohmann::json& j, const std::string& strPath) {
    if (!j.is_number()) Fail(strPath, "must be a number (got " + Shown(j) + ")");
    const double d = j.get<double>();
    if (!std::isfinite(d)) Fail(strPath, "must be finite");
    return d;
}

void OnlyKeys(const nlohmann::json& j, const std::string& strPath, std::initializer_list<const char*> keys) {
    for (auto it = j.begin(); it != j.end(); ++it) {
        bool bKnown = false;
        for (const char* k : keys) bKnown = bKnown || it.key() == k;
        if (!bKnown) Fail(strPath, "unknown key \"" + it.key() + "\"");
    }
}

const std::initializer_list<const char*> c_listCameraKeys = {
    "kind", "version", "width", "height", "large", "swing_motor", "serial", "device_id",
    "compensation", "param_block", "unlimited_rate", "start_timestamp", "start_counter", "clock_ppm", "pose",
    "storage_file", "offline", "fail_storage_read", "faults", "recording"};

// Keys a recording fixes: it is played back on the camera it was made with.
const std::initializer_list<const char*> c_listRecordingFixes = {
    "kind", "version", "width", "height", "large", "swing_motor", "param_block", "compensation", "storage_file",
    "pose"};

void LoadRecordingInto(const nlohmann::json& jValue, const std::string& strPath, const std::string& strCamera,
                       const nlohmann::json& jCamera, SOrVirtualConfig& c) {
    const std::string strFile = Text(jValue, strPath, 1, 4096);
    for (const char* k : c_listRecordingFixes)
        if (jCamera.contains(k)) Fail(strCamera + "." + k, "not allowed with \"recording\" (the recording fixes it)");
    auto pRec = std::make_shared<SOrRecording>();
    pRec->strPath = strFile;
    std::string strError;
    if (!KxEyeRecording::ReadFile(strFile, pRec->sHeader, pRec->vecFrames, strError)) Fail(strPath, strError);
    using namespace KxLaserInfo;
    const KxEyeRecording::SHeader& h = pRec->sHeader;
    const uint8_t* pInfo = h.abyInfo;
    // The windows the camera starts with must lie inside the sensor and be the same size.
    int an[8];
    for (int i = 0; i < 8; ++i) an[i] = GetWord(pInfo, c_nWordLeftRoi + static_cast<unsigned int>(i));
    const bool bWindows = an[0] < an[1] && an[2] < an[3] && an[4] < an[5] && an[6] < an[7] &&
                          an[1] <= static_cast<int>(h.nWidth) && an[5] <= static_cast<int>(h.nWidth) &&
                          an[3] <= static_cast<int>(h.nHeight) && an[7] <= static_cast<int>(h.nHeight) &&
                          an[1] - an[0] == an[5] - an[4] && an[3] - an[2] == an[7] - an[6];
    if (!bWindows) Fail(strPath, strFile + ": the recorded detection windows do not fit the sensor");
    c.nVersion = static_cast<int>(h.nHwVersion);
    c.nWidth = h.nWidth;
    c.nHeight = h.nHeight;
    c.bSmart = GetWord(pInfo, c_nWordDeviceType) == 3;
    c.bLarge = (GetWord(pInfo, c_nWordFlags) & c_nFlagLargeEye) != 0;
    c.bSwingMotor = (GetWord(pInfo, c_nWordFlags) & c_nFlagSwingMotor) != 0;
    c.pRecording = pRec;
}

// Reads one camera object into c (which holds the defaults); throws CConfigError.
void ParseCamera(const nlohmann::json& j, const std::string& strPath, SOrVirtualConfig& c) {
    if (!j.is_object()) Fail(strPath, "must be an object (got " + Shown(j) + ")");
    OnlyKeys(j, strPath, c_listCameraKeys);
    const auto key = [&](const char* k) { return strPath + "." + k; };
    if (j.contains("kind")) {
        const std::string s = Text(j.at("kind"), key("kind"), 0, 16);
        if (s != "laser" && s != "smart") Fail(key("kind"), "must be \"laser\" or \"smart\" (got \"" + s + "\")");
        c.bSmart = s == "smart";
    }
    if (j.contains("version")) c.nVersion = static_cast<int>(Integer(j.at("version"), key("version"), 0, 8));
    if (j.contains("width")) c.nWidth = static_cast<unsigned int>(Integer(j.at("width"), key("width"), 64, 4095));
    if (j.contains("height"))
        c.nHeight = static_cast<unsigned int>(Integer(j.at("height"), key("height"), 256, 4096));
    if (j.contains("large")) c.bLarge = Boolean(j.at("large"), key("large"));
    if (j.contains("swing_motor")) c.bSwingMotor = Boolean(j.at("swing_motor"), key("swing_motor"));
    if (j.contains("serial")) c.strSerial = Text(j.at("serial"), key("serial"), 0, 8);
    if (j.contains("device_id")) c.strDeviceId = Text(j.at("device_id"), key("device_id"), 0, 16);
    if (j.contains("unlimited_rate")) c.bUnlimitedRate = Boolean(j.at("unlimited_rate"), key("unlimited_rate"));
    if (j.contains("start_timestamp"))
        c.nStartTimestamp = static_cast<uint32_t>(Integer(j.at("start_timestamp"), key("start_timestamp"), 0, 4294967295ll));
    if (j.contains("start_counter"))
        c.nStartCounter = static_cast<uint32_t>(Integer(j.at("start_counter"), key("start_counter"), 0, 4294967295ll));
    if (j.contains("clock_ppm")) {
        const double d = Number(j.at("clock_ppm"), key("clock_ppm"));
        if (d < -1000.0 || d > 1000.0) Fail(key("clock_ppm"), "must be -1000 to 1000 (got " + Shown(j.at("clock_ppm")) + ")");
        c.dClockPpm = d;
    }
    if (j.contains("pose")) {
        const nlohmann::json& p = j.at("pose");
        const std::string strPose = key("pose");
        if (!p.is_object()) Fail(strPose, "must be an object {\"x\", \"y\", \"z\", \"roll\"} (got " + Shown(p) + ")");
        OnlyKeys(p, strPose, {"x", "y", "z", "roll"});
        const auto ranged = [&](const char* k, double dMin, double dMax, double* pd) {
            if (!p.contains(k)) return;
            const std::string strK = strPose + "." + k;
            const double d = Number(p.at(k), strK);
            char sz[64];
            snprintf(sz, sizeof(sz), "must be %g to %g", dMin, dMax);
            if (d < dMin || d > dMax) Fail(strK, std::string(sz) + " (got " + Shown(p.at(k)) + ")");
            *pd = d;
        };
        ranged("x", -10000.0, 10000.0, &c.sPose.dX);
        ranged("y", -10000.0, 10000.0, &c.sPose.dY);
        ranged("z", 100.0, 2000.0, &c.sPose.dZ);
        ranged("roll", -80.0, 80.0, &c.sPose.dRoll);
        c.bWorld = true;
    }
    if (j.contains("storage_file")) c.strStorageFile = Text(j.at("storage_file"), key("storage_file"), 1, 4096);
    if (j.contains("offline")) c.bOffline = Boolean(j.at("offline"), key("offline"));
    if (j.contains("fail_storage_read")) c.bFailStorageRead = Boolean(j.at("fail_storage_read"), key("fail_storage_read"));
    if (j.contains("compensation")) {
        const nlohmann::json& comp = j.at("compensation");
        const std::string strComp = key("compensation");
        if (!comp.is_array()) Fail(strComp, "must be a list of [A, B] pairs (got " + Shown(comp) + ")");
        if (comp.size() > KxParamPage::c_nCompMaxEntries)
            Fail(strComp, "has at most " + std::to_string(KxParamPage::c_nCompMaxEntries) + " pairs (got " +
                              std::to_string(comp.size()) + ")");
        c.vecCompensation.clear();
        for (size_t i = 0; i < comp.size(); ++i) {
            const std::string strE = strComp + "[" + std::to_string(i) + "]";
            const nlohmann::json& e = comp[i];
            if (!e.is_array() || e.size() != 2) Fail(strE, "must be an [A, B] pair (got " + Shown(e) + ")");
            c.vecCompensation.emplace_back(static_cast<float>(Number(e[0], strE + "[0]")),
                                           static_cast<float>(Number(e[1], strE + "[1]")));
        }
    }
    if (j.contains("param_block")) {
        const nlohmann::json& pb = j.at("param_block");
        const std::string strPb = key("param_block");
        if (pb.is_boolean()) {
            c.bParamBlock = pb.get<bool>();
        } else if (pb.is_object()) {
            OnlyKeys(pb, strPb, {"version", "kind", "offset"});
            c.bParamBlock = true;
            if (pb.contains("version"))
                c.nParamBlockVersion = static_cast<int>(Integer(pb.at("version"), strPb + ".version", 1, 3));
            if (pb.contains("kind"))
                c.nParamBlockKind = static_cast<int>(Integer(pb.at("kind"), strPb + ".kind", INT32_MIN, INT32_MAX));
            if (pb.contains("offset")) {
                const nlohmann::json& o = pb.at("offset");
                if (!o.is_array() || o.size() != 3)
                    Fail(strPb + ".offset", "must be [x, y, z] (got " + Shown(o) + ")");
                for (size_t i = 0; i < 3; ++i)
                    c.adOffset[i] = Number(o[i], strPb + ".offset[" + std::to_string(i) + "]");
            }
        } else {
            Fail(strPb, "must be false, true or an object (got " + Shown(pb) + ")");
        }
    }
    if (j.contains("recording")) LoadRecordingInto(j.at("recording"), key("recording"), strPath, j, c);
    if (j.contains("faults")) {
        const nlohmann::json& faults = j.at("faults");
        if (!faults.is_array()) Fail(key("faults"), "must be a list (got " + Shown(faults) + ")");
        c.vecFaults.clear();
        for (size_t i = 0; i < faults.size(); ++i) {
            const std::string strF = key("faults") + "[" + std::to_string(i) + "]";
            const nlohmann::json& f = faults[i];
            if (!f.is_object()) Fail(strF, "must be an object (got " + Shown(f) + ")");
            OnlyKeys(f, strF, {"op", "code", "count"});
            if (!f.contains("op")) Fail(strF, "needs \"op\"");
            const std::string strOp = Text(f.at("op"), strF + ".op", 1, 64);
            int nOp = -1;
            for (int k = 0; k < OrEyeTest::Op_Count; ++k)
                if (strOp == c_apszOps[k]) nOp = k;
            if (nOp < 0) Fail(strF + ".op", "unknown operation \"" + strOp + "\"");
            const int nCode = f.contains("code")
                                  ? static_cast<int>(Integer(f.at("code"), strF + ".code", INT32_MIN, -1))
                                  : c_nOrEyeRetry;
            const unsigned int nCount =
                f.contains("count") ? static_cast<unsigned int>(Integer(f.at("count"), strF + ".count", 1, UINT32_MAX))
                                    : 1u;
            c.vecFaults.push_back(std::make_pair(nOp, std::make_pair(nCode, nCount)));
        }
    }
}

// Reads the whole configuration; throws CConfigError or a JSON parse error.
std::vector<SOrVirtualConfig> ParseConfiguration(const std::string& strText) {
    const nlohmann::json j = nlohmann::json::parse(strText);
    nlohmann::json list = nlohmann::json::array();
    nlohmann::json defaults = nlohmann::json::object();
    int64_t nCount = -1;
    if (j.is_object()) {
        OnlyKeys(j, "configuration", {"count", "defaults", "cameras"});
        if (j.contains("cameras")) {
            list = j.at("cameras");
            if (!list.is_array()) Fail("cameras", "must be a list (got " + Shown(list) + ")");
        }
        if (j.contains("defaults")) {
            defaults = j.at("defaults");
            SOrVirtualConfig check;
            ParseCamera(defaults, "defaults", check);  // its own errors name it
        }
        if (j.contains("count")) nCount = Integer(j.at("count"), "count", 0, c_nOrEyeListMaxEntries);
    } else if (j.is_array()) {
        list = j;
    } else {
        Fail("configuration", "must be a list of cameras or an object (got " + Shown(j) + ")");
    }
    if (list.size() > c_nOrEyeListMaxEntries)
        Fail("cameras", "at most " + std::to_string(c_nOrEyeListMaxEntries) + " cameras (got " +
                            std::to_string(list.size()) + ")");
    if (nCount < 0) nCount = static_cast<int64_t>(list.size());
    if (nCount < static_cast<int64_t>(list.size()))
        Fail("count", std::to_string(nCount) + " is less than the " + std::to_string(list.size()) +
                          " entries of \"cameras\"");
    std::vector<SOrVirtualConfig> vecCfg;
    for (int64_t i = 0; i < nCount; ++i) {
        const std::string strPath = "camera " + std::to_string(i);
        nlohmann::json e = defaults;
        if (i < static_cast<int64_t>(list.size())) {
            const nlohmann::json& entry = list[static_cast<size_t>(i)];
            if (!entry.is_object()) Fail(strPath, "must be an object (got " + Shown(entry) + ")");
            e.update(entry);
        }
        SOrVirtualConfig c;
        c.strSerial = "VC00000" + std::to_string(i + 1);
        c.strDeviceId = "KXVIRTUALCAM000" + std::to_string(i + 1);
        ParseCamera(e, strPath, c);
        vecCfg.push_back(c);
    }
    return vecCfg;
}

std::string g_strConfigError;  // why the configuration was refused; empty when it was taken

// Returns 0, or c_nOrEyeBadArgument when the configuration is invalid: then there is no camera.
int LoadLocked() {
    std::vector<SOrVirtualConfig> vecCfg;
    std::string strErr;
    const char* pszEnv = getenv("KXEYE_VIRTUAL_CAMERAS");
    if (pszEnv != nullptr && *pszEnv != '\0') {
        std::string strText = pszEnv;
        const size_t nFirst = strText.find_first_not_of(" \t\r\n");
        if (nFirst != std::string::npos && strText[nFirst] != '{' && strText[nFirst] != '[') {
            std::ifstream in(strText);
            std::stringstream ss;
            ss << in.rdbuf();
            if (!in) strErr = std::string("cannot read file ") + pszEnv;
            strText = ss.str();
        }
        if (strErr.empty()) {
            try {
                vecCfg = ParseConfiguration(strText);
            } catch (const nlohmann::json::parse_error& e) {
                strErr = std::string("not valid JSON: ") + e.what();
            } catch (const std::exception& e) {
                strErr = e.what();
            }
        }
    } else {
        vecCfg.push_back(SOrVirtualConfig());  // one laser eye, version 8, 1536 x 2048, swing motor
    }
    g_strConfigError.clear();
    if (!strErr.empty()) {
        g_strConfigError = "KXEYE_VIRTUAL_CAMERAS: " + strErr;
        OrLog::Print(LogLevel_Error, "%s", g_strConfigError.c_str());
        vecCfg.clear();
    }
    if (g_pCameras == nullptr) g_pCameras = new std::vector<std::shared_ptr<COrVirtualCamera>>();
    g_pCameras->clear();
    for (size_t i = 0; i < vecCfg.size(); ++i)
        g_pCameras->push_back(std::make_shared<COrVirtualCamera>(static_cast<int>(i), vecCfg[i]));
    return strErr.empty() ? 0 : c_nOrEyeBadArgument;
}

void EnsureLoadedLocked() {
    if (g_pCameras == nullptr) LoadLocked();
}
}  // namespace

namespace OrVirtualRegistry {
bool ParseCameraText(const std::string& strJson, int nIndex, SOrVirtualConfig* pCfg, std::string* pErr) {
    SOrVirtualConfig c;
    c.strSerial = "VC00000" + std::to_string(nIndex + 1);
    c.strDeviceId = "KXVIRTUALCAM000" + std::to_string(nIndex + 1);
    try {
        ParseCamera(nlohmann::json::parse(strJson), "camera " + std::to_string(nIndex), c);
    } catch (const std::exception& e) {
        *pErr = e.what();
        return false;
    }
    *pCfg = c;
    return true;
}

std::shared_ptr<COrVirtualCamera> Get(int nIndex) {
    std::lock_guard<std::mutex> lock(g_mtxRegistry);
    EnsureLoadedLocked();
    if (nIndex < 0 || nIndex >= static_cast<int>(g_pCameras->size())) return nullptr;
    return (*g_pCameras)[static_cast<size_t>(nIndex)];
}

int Count() {
    std::lock_guard<std::mutex> lock(g_mtxRegistry);
    EnsureLoadedLocked();
    return static_cast<int>(g_pCameras->size());
}

std::string ConfigError() {
    std::lock_guard<std::mutex> lock(g_mtxRegistry);
    EnsureLoadedLocked();
    return g_strConfigError;
}

std::shared_ptr<COrVirtualCamera> Find(const char* pszConnect) {
    if (pszConnect == nullptr || *pszConnect == '\0') return Get(0);
    static const char c_szPrefix[] = "virtual:";
    if (strncmp(pszConnect, c_szPrefix, sizeof(c_szPrefix) - 1) != 0) return nullptr;
    const char* p = pszConnect + sizeof(c_szPrefix) - 1;
    char* pEnd = nullptr;
    const long n = strtol(p, &pEnd, 10);
    if (pEnd == p || *pEnd != '\0' || n < 0 || n > 1000) return nullptr;
    return Get(static_cast<int>(n));
}
}  // namespace OrVirtualRegistry

extern "C" OREYE_API int OrEyeCheckVirtualCameras(char* pszText, int nLength) {
    const std::string strError = OrVirtualRegistry::ConfigError();
    if (pszText != nullptr && nLength > 0) snprintf(pszText, static_cast<size_t>(nLength), "%s", strError.c_str());
    return strError.empty() ? c_nOrEyeOK : c_nOrEyeBadArgument;
}

namespace OrEyeTest {
OREYE_API int VirtualCameraCount() { return OrVirtualRegistry::Count(); }

OREYE_API IVirtualCameraControl* VirtualCamera(int nIndex) {
    return OrVirtualRegistry::Get(nIndex).get();  // the registry keeps it alive
}

OREYE_API int ReloadVirtualCameras() {
    std::lock_guard<std::mutex> lock(g_mtxRegistry);
    const int nResult = LoadLocked();
    return nResult != 0 ? nResult : static_cast<int>(g_pCameras->size());
}
}  // namespace OrEyeTest
