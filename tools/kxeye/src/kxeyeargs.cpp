#include "kxeyeargs.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

bool KxEyeParseInt(const std::string& str, int64_t nMin, int64_t nMax, int64_t& nOut) {
    if (str.empty() || std::isspace(static_cast<unsigned char>(str[0]))) return false;
    errno = 0;
    char* pEnd = nullptr;
    const long long n = std::strtoll(str.c_str(), &pEnd, 10);
    if (errno != 0 || pEnd != str.c_str() + str.size()) return false;
    if (n < nMin || n > nMax) return false;
    nOut = n;
    return true;
}

bool KxEyeParseDouble(const std::string& str, double& dOut) {
    if (str.empty() || std::isspace(static_cast<unsigned char>(str[0]))) return false;
    errno = 0;
    char* pEnd = nullptr;
    const double d = std::strtod(str.c_str(), &pEnd);
    if (errno != 0 || pEnd != str.c_str() + str.size() || !std::isfinite(d)) return false;
    dOut = d;
    return true;
}

bool KxEyeParseSwitch(const std::string& str, bool& bOut) {
    std::string s;
    for (char c : str) s += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (s == "on" || s == "true" || s == "yes" || s == "1") {
        bOut = true;
        return true;
    }
    if (s == "off" || s == "false" || s == "no" || s == "0") {
        bOut = false;
        return true;
    }
    return false;
}

const std::vector<std::string>& KxEyeParamNames() {
    static const std::vector<std::string> s_vec = {"exposure", "threshold", "gain",        "frame-rate", "roi",
                                                   "trigger",  "denoise",   "accelerator", "dynamic-roi"};
    return s_vec;
}

static std::vector<std::string> Split(const std::string& str, char cSep) {
    std::vector<std::string> vec;
    std::string strPart;
    std::istringstream in(str);
    while (std::getline(in, strPart, cSep)) vec.push_back(strPart);
    if (!str.empty() && str.back() == cSep) vec.emplace_back();
    return vec;
}

static bool ParseRect(const std::string& str, SKxNLROIRect& rect) {
    const std::vector<std::string> vec = Split(str, ',');
    if (vec.size() != 4) return false;
    int64_t an[4];
    for (int i = 0; i < 4; ++i) {
        if (!KxEyeParseInt(vec[static_cast<size_t>(i)], INT32_MIN, INT32_MAX, an[i])) return false;
    }
    rect.left = static_cast<int32_t>(an[0]);
    rect.right = static_cast<int32_t>(an[1]);
    rect.top = static_cast<int32_t>(an[2]);
    rect.bottom = static_cast<int32_t>(an[3]);
    return true;
}

bool KxEyeParseSetting(const std::string& strItem, SKxEyeSetting& sOut, std::string& strError) {
    const size_t nEq = strItem.find('=');
    if (nEq == std::string::npos || nEq == 0) {
        strError = "\"" + strItem + "\": expected NAME=VALUE";
        return false;
    }
    const std::string strName = strItem.substr(0, nEq);
    const std::string strValue = strItem.substr(nEq + 1);
    sOut = SKxEyeSetting{};
    sOut.strText = strItem;
    struct SIntParam {
        const char* pszName;
        EKxEyeParam eParam;
        int64_t nMin, nMax;  // what the device operation's argument type can carry
    };
    static const SIntParam s_aInts[] = {
        {"exposure", EKxEyeParam::Exposure, 0, UINT32_MAX},
        {"threshold", EKxEyeParam::Threshold, INT32_MIN, INT32_MAX},
        {"gain", EKxEyeParam::Gain, 0, UINT16_MAX},
        {"frame-rate", EKxEyeParam::FrameRate, 0, UINT16_MAX},
        {"trigger", EKxEyeParam::Trigger, INT32_MIN, INT32_MAX},
    };
    for (const SIntParam& p : s_aInts) {
        if (strName != p.pszName) continue;
        sOut.eParam = p.eParam;
        if (!KxEyeParseInt(strValue, p.nMin, p.nMax, sOut.nValue)) {
            strError = "\"" + strItem + "\": " + strName + " takes a whole number from " + std::to_string(p.nMin) +
                       " to " + std::to_string(p.nMax);
            return false;
        }
        return true;
    }
    struct SSwitchParam {
        const char* pszName;
        EKxEyeParam eParam;
    };
    static const SSwitchParam s_aSwitches[] = {{"denoise", EKxEyeParam::Denoise},
                                               {"accelerator", EKxEyeParam::Accelerator},
                                               {"dynamic-roi", EKxEyeParam::DynamicRoi}};
    for (const SSwitchParam& p : s_aSwitches) {
        if (strName != p.pszName) continue;
        sOut.eParam = p.eParam;
        bool bOn = false;
        if (!KxEyeParseSwitch(strValue, bOn)) {
            strError = "\"" + strItem + "\": " + strName + " takes on or off";
            return false;
        }
        sOut.nValue = bOn ? 1 : 0;
        return true;
    }
    if (strName == "roi") {
        sOut.eParam = EKxEyeParam::Roi;
        const std::vector<std::string> vecSides = Split(strValue, ':');
        bool bOk = (vecSides.size() == 1 || vecSides.size() == 2) && ParseRect(vecSides[0], sOut.sLeft);
        if (bOk) {
            sOut.sRight = sOut.sLeft;
            if (vecSides.size() == 2) bOk = ParseRect(vecSides[1], sOut.sRight);
        }
        if (!bOk) {
            strError = "\"" + strItem + "\": roi takes LEFT,RIGHT,TOP,BOTTOM or two of them separated by ':'";
            return false;
        }
        return true;
    }
    strError = "\"" + strItem + "\": unknown parameter \"" + strName + "\"";
    return false;
}

bool KxEyeParseFilter(const std::string& strFilter, SKxLaserResultAfterProcParam& param, std::string& strError) {
    const std::vector<std::string> vec = Split(strFilter, ':');
    double dMin = 0, dMax = 0;
    bool bDrop = false;
    bool bOk = (vec.size() == 3 || vec.size() == 4) && KxEyeParseDouble(vec[1], dMin) &&
               KxEyeParseDouble(vec[2], dMax) && dMin <= dMax;
    if (bOk && vec.size() == 4) {
        if (vec[3] == "drop") bDrop = true;
        else if (vec[3] != "keep") bOk = false;
    }
    int32_t nInside = 0, nOutside = 0;
    double* pdMin = nullptr;
    double* pdMax = nullptr;
    if (bOk && vec[0] == "x") {
        nInside = c_nKxFilterXInside, nOutside = c_nKxFilterXOutside, pdMin = &param.dXMin, pdMax = &param.dXMax;
    } else if (bOk && vec[0] == "y") {
        nInside = c_nKxFilterYInside, nOutside = c_nKxFilterYOutside, pdMin = &param.dYMin, pdMax = &param.dYMax;
    } else if (bOk && vec[0] == "z") {
        nInside = c_nKxFilterZInside, nOutside = c_nKxFilterZOutside, pdMin = &param.dZMin, pdMax = &param.dZMax;
    } else {
        bOk = false;
    }
    if (!bOk) {
        strError = "\"" + strFilter + "\": filter takes AXIS:MIN:MAX[:keep|drop] with AXIS x, y or z and MIN <= MAX";
        return false;
    }
    if (param.nFilterFlags & (nInside | nOutside)) {
        strError = "\"" + strFilter + "\": one filter per axis";
        return false;
    }
    param.nFilterFlags |= bDrop ? nOutside : nInside;
    *pdMin = dMin;
    *pdMax = dMax;
    return true;
}

bool KxEyeLoadTransform(const std::string& strPath, SKxLaserResultAfterProcParam& param, std::string& strError) {
    std::ifstream in(strPath);
    if (!in) {
        strError = "cannot read transform file \"" + strPath + "\"";
        return false;
    }
    const nlohmann::json j = nlohmann::json::parse(in, nullptr, false);
    if (j.is_discarded() || !j.is_object()) {
        strError = "transform file \"" + strPath + "\" is not a JSON object";
        return false;
    }
    auto number = [&](const char* pszKey, double& dOut) {
        if (!j.contains(pszKey)) return true;
        if (!j[pszKey].is_number()) {
            strError = std::string("transform file: \"") + pszKey + "\" must be a number";
            return false;
        }
        dOut = j[pszKey].get<double>();
        return std::isfinite(dOut);
    };
    if (!j.contains("rotate") || !j["rotate"].is_array() || j["rotate"].size() != 9) {
        strError = "transform file: \"rotate\" must be an array of 9 numbers (row-major 3x3)";
        return false;
    }
    for (size_t i = 0; i < 9; ++i) {
        if (!j["rotate"][i].is_number()) {
            strError = "transform file: \"rotate\" must be an array of 9 numbers (row-major 3x3)";
            return false;
        }
        param.adRotate[i] = j["rotate"][i].get<double>();
    }
    // Without a window every point passes; without a scale Z keeps its size.
    param.dScaleZ = 1.0;
    param.dRefXRange = 1e30;
    if (!number("refZ", param.dRefZ) || !number("scaleZ", param.dScaleZ) || !number("refX", param.dRefX) ||
        !number("refXRange", param.dRefXRange) || !number("xOffset", param.dXOffset)) {
        if (strError.empty()) strError = "transform file: numbers must be finite";
        return false;
    }
    param.bTransform = true;
    return true;
}
