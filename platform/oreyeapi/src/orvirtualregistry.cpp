// The process's virtual cameras, made from KXEYE_VIRTUAL_CAMERAS (JSON text, or the path of a
// JSON file) or, without it, one representative laser eye.
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

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

bool ParseCamera(const nlohmann::json& j, SOrVirtualConfig* pCfg, std::string* pErr) {
    SOrVirtualConfig& c = *pCfg;
    if (!j.is_object()) {
        *pErr = "camera entry is not an object";
        return false;
    }
    if (j.contains("kind")) {
        const std::string s = j.at("kind").get<std::string>();
        if (s != "laser" && s != "smart") {
            *pErr = "kind must be \"laser\" or \"smart\"";
            return false;
        }
        c.bSmart = s == "smart";
    }
    c.nVersion = j.value("version", c.nVersion);
    c.nWidth = j.value("width", c.nWidth);
    c.nHeight = j.value("height", c.nHeight);
    c.bLarge = j.value("large", c.bLarge);
    c.bSwingMotor = j.value("swing_motor", c.bSwingMotor);
    c.strSerial = j.value("serial", c.strSerial);
    c.strDeviceId = j.value("device_id", c.strDeviceId);
    c.bUnlimitedRate = j.value("unlimited_rate", c.bUnlimitedRate);
    c.nStartTimestamp = j.value("start_timestamp", c.nStartTimestamp);
    c.nStartCounter = j.value("start_counter", c.nStartCounter);
    c.strStorageFile = j.value("storage_file", c.strStorageFile);
    c.bOffline = j.value("offline", c.bOffline);
    c.bFailStorageRead = j.value("fail_storage_read", c.bFailStorageRead);
    if (c.nVersion < 0 || c.nVersion > 8) {
        *pErr = "version must be 0 to 8";
        return false;
    }
    if (c.nWidth < 64 || c.nWidth > 4095 || c.nHeight < 256 || c.nHeight > 4096) {
        *pErr = "width must be 64 to 4095 and height 256 to 4096";
        return false;
    }
    if (c.strSerial.size() > 8 || c.strDeviceId.size() > 16) {
        *pErr = "serial has at most 8 characters and device_id at most 16";
        return false;
    }
    if (j.contains("compensation")) {
        for (const auto& e : j.at("compensation")) {
            if (!e.is_array() || e.size() != 2) {
                *pErr = "compensation entries are [A, B] pairs";
                return false;
            }
            c.vecCompensation.emplace_back(e[0].get<float>(), e[1].get<float>());
        }
    }
    if (j.contains("param_block")) {
        const auto& pb = j.at("param_block");
        if (pb.is_boolean()) {
            c.bParamBlock = pb.get<bool>();
        } else {
            c.nParamBlockVersion = pb.value("version", c.nParamBlockVersion);
            c.nParamBlockKind = pb.value("kind", c.nParamBlockKind);
            if (pb.contains("offset")) {
                const auto& o = pb.at("offset");
                for (size_t i = 0; i < 3 && i < o.size(); ++i) c.adOffset[i] = o[i].get<double>();
            }
        }
    }
    if (j.contains("faults")) {
        for (const auto& f : j.at("faults")) {
            const std::string strOp = f.at("op").get<std::string>();
            int nOp = -1;
            for (int i = 0; i < OrEyeTest::Op_Count; ++i)
                if (strOp == c_apszOps[i]) nOp = i;
            if (nOp < 0) {
                *pErr = "unknown operation in faults: " + strOp;
                return false;
            }
            c.vecFaults.push_back(std::make_pair(
                nOp, std::make_pair(f.value("code", c_nOrEyeRetry), f.value("count", 1u))));
        }
    }
    return true;
}

// Returns 0, or c_nOrEyeBadArgument when the configuration is invalid (cameras stay default).
int LoadLocked() {
    std::vector<SOrVirtualConfig> vecCfg;
    int nResult = 0;
    const char* pszEnv = getenv("KXEYE_VIRTUAL_CAMERAS");
    if (pszEnv != nullptr && *pszEnv != '\0') {
        std::string strText = pszEnv;
        size_t nFirst = strText.find_first_not_of(" \t\r\n");
        if (nFirst != std::string::npos && strText[nFirst] != '{' && strText[nFirst] != '[') {
            std::ifstream in(strText);
            std::stringstream ss;
            ss << in.rdbuf();
            if (!in) {
                OrLog::Print(LogLevel_Error, "KXEYE_VIRTUAL_CAMERAS: cannot read file %s", pszEnv);
                nResult = c_nOrEyeBadArgument;
            }
            strText = ss.str();
        }
        if (nResult == 0) {
            std::string strErr;
            try {
                const nlohmann::json j = nlohmann::json::parse(strText);
                const nlohmann::json* pList = &j;
                if (j.is_object()) pList = &j.at("cameras");
                nlohmann::json defaults = j.is_object() ? j.value("defaults", nlohmann::json::object())
                                                        : nlohmann::json::object();
                int nCount = j.is_object() ? j.value("count", static_cast<int>(pList->size()))
                                           : static_cast<int>(pList->size());
                if (nCount < 0 || nCount > static_cast<int>(c_nOrEyeListMaxEntries)) {
                    strErr = "count must be 0 to 4";
                } else {
                    for (int i = 0; i < nCount && strErr.empty(); ++i) {
                        nlohmann::json e = defaults;
                        if (i < static_cast<int>(pList->size())) e.update((*pList)[i]);
                        SOrVirtualConfig c;
                        c.strSerial = "VC00000" + std::to_string(i + 1);
                        c.strDeviceId = "KXVIRTUALCAM000" + std::to_string(i + 1);
                        if (ParseCamera(e, &c, &strErr)) vecCfg.push_back(c);
                    }
                }
            } catch (const std::exception& e) {
                strErr = e.what();
            }
            if (!strErr.empty()) {
                OrLog::Print(LogLevel_Error, "KXEYE_VIRTUAL_CAMERAS: %s", strErr.c_str());
                nResult = c_nOrEyeBadArgument;
                vecCfg.clear();
            }
        }
        if (nResult != 0) vecCfg.push_back(SOrVirtualConfig());
    } else {
        vecCfg.push_back(SOrVirtualConfig());  // one laser eye, version 8, 1536 x 2048, swing motor
    }
    if (g_pCameras == nullptr) g_pCameras = new std::vector<std::shared_ptr<COrVirtualCamera>>();
    g_pCameras->clear();
    for (size_t i = 0; i < vecCfg.size(); ++i)
        g_pCameras->push_back(std::make_shared<COrVirtualCamera>(static_cast<int>(i), vecCfg[i]));
    return nResult;
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
        if (!ParseCamera(nlohmann::json::parse(strJson), &c, pErr)) return false;
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
