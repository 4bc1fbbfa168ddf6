// The alignment file, the target file and the after-processing record of a pose.
#include "kxeyealign.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

namespace {

using json = nlohmann::json;
using ordered_json = nlohmann::ordered_json;

const char* const c_pszFormat = "kxeye-align";
const char* const c_pszWorld = "X across the belt, Y along the travel, Z up";
// Lengths and offsets a file may hold, mm: beyond them the numbers are no belt's.
const double c_dMaxMm = 1e6;

bool ReadText(const std::string& path, std::string* text, std::string* reason) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *reason = "cannot read " + path + ": " + std::strerror(errno ? errno : ENOENT);
        return false;
    }
    std::ostringstream ss;
    ss << in.rdbuf();
    if (in.bad()) {
        *reason = "cannot read " + path;
        return false;
    }
    *text = ss.str();
    return true;
}

bool Parse(const std::string& text, const std::string& where, json* out, std::string* reason) {
    try {
        *out = json::parse(text);
    } catch (const json::exception& e) {
        *reason = where + ": not valid JSON: " + e.what();
        return false;
    }
    return true;
}

std::string Shown(const json& v) {
    std::string s = v.dump();
    if (s.size() > 40) s = s.substr(0, 37) + "...";
    return s;
}

// Every key of the object must be one of the known ones.
bool KnownKeys(const json& obj, const std::set<std::string>& setKeys, const std::string& where, std::string* reason) {
    for (auto it = obj.begin(); it != obj.end(); ++it) {
        if (!setKeys.count(it.key())) {
            *reason = where + ": unknown key \"" + it.key() + "\"";
            return false;
        }
    }
    return true;
}

bool Number(const json& obj, const char* key, const std::string& where, double dMin, double dMax, bool bRequired,
            double* out, std::string* reason) {
    if (!obj.contains(key)) {
        if (!bRequired) return true;
        *reason = where + ": missing \"" + key + "\"";
        return false;
    }
    const json& v = obj.at(key);
    if (!v.is_number() || !std::isfinite(v.get<double>()) || v.get<double>() < dMin || v.get<double>() > dMax) {
        char sz[128];
        std::snprintf(sz, sizeof(sz), "must be a number from %g to %g", dMin, dMax);
        *reason = where + "." + key + ": " + sz + " (got " + Shown(v) + ")";
        return false;
    }
    *out = v.get<double>();
    return true;
}

bool NumberArray(const json& obj, const char* key, const std::string& where, size_t nCount, double dLimit, double* out,
                 std::string* reason) {
    if (!obj.contains(key)) {
        *reason = where + ": missing \"" + key + "\"";
        return false;
    }
    const json& v = obj.at(key);
    bool bGood = v.is_array() && v.size() == nCount;
    for (size_t i = 0; bGood && i < nCount; ++i)
        bGood = v[i].is_number() && std::isfinite(v[i].get<double>()) && std::fabs(v[i].get<double>()) <= dLimit;
    if (!bGood) {
        char sz[128];
        std::snprintf(sz, sizeof(sz), "must be %zu numbers of at most %g in size", nCount, dLimit);
        *reason = where + "." + key + ": " + sz + " (got " + Shown(v) + ")";
        return false;
    }
    for (size_t i = 0; i < nCount; ++i) out[i] = v[i].get<double>();
    return true;
}

bool Text(const json& obj, const char* key, const std::string& where, bool bRequired, std::string* out,
          std::string* reason) {
    if (!obj.contains(key)) {
        if (!bRequired) return true;
        *reason = where + ": missing \"" + key + "\"";
        return false;
    }
    if (!obj.at(key).is_string()) {
        *reason = where + "." + key + ": must be a text (got " + Shown(obj.at(key)) + ")";
        return false;
    }
    *out = obj.at(key).get<std::string>();
    return true;
}

bool TargetFromJson(const json& j, const std::string& where, SKxEyeAlignTarget* out, std::string* reason) {
    if (!j.is_object()) {
        *reason = where + ": must be an object";
        return false;
    }
    if (!KnownKeys(j, {"name", "shape", "length", "width", "height", "origin", "period"}, where, reason)) return false;
    SKxEyeAlignTarget t;
    std::string strShape;
    if (!Text(j, "shape", where, true, &strShape, reason) || !Text(j, "name", where, false, &t.name, reason))
        return false;
    if (strShape != "box") {
        *reason = where + ".shape: must be \"box\" (got " + Shown(j.at("shape")) + ")";
        return false;
    }
    if (!Number(j, "length", where, 1, 10000, true, &t.dLength, reason) ||
        !Number(j, "width", where, 1, 10000, true, &t.dWidth, reason) ||
        !Number(j, "height", where, 1, 10000, true, &t.dHeight, reason))
        return false;
    if (j.contains("origin")) {
        double ad[2] = {};
        if (!NumberArray(j, "origin", where, 2, c_dMaxMm, ad, reason)) return false;
        t.dOriginX = ad[0];
        t.dOriginY = ad[1];
    }
    if (!Number(j, "period", where, 0, c_dMaxMm, false, &t.dPeriod, reason)) return false;
    if (t.dPeriod != 0 && t.dPeriod < t.dLength) {
        *reason = where + ".period: must be 0 (none) or at least the length " + Shown(t.dLength) + " (got " +
                  Shown(t.dPeriod) + ")";
        return false;
    }
    *out = t;
    return true;
}

ordered_json TargetJson(const SKxEyeAlignTarget& t) {
    ordered_json j;
    j["name"] = t.name;
    j["shape"] = "box";
    j["length"] = t.dLength;
    j["width"] = t.dWidth;
    j["height"] = t.dHeight;
    j["origin"] = {t.dOriginX, t.dOriginY};
    j["period"] = t.dPeriod;
    return j;
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Why R is not a rotation that maps the camera's X to W's Y; empty when it is.
std::string RotationFault(const double* r) {
    double dWorst = 0;
    for (int i = 0; i < 3; ++i)
        for (int k = 0; k < 3; ++k) {
            double d = 0;
            for (int m = 0; m < 3; ++m) d += r[3 * i + m] * r[3 * k + m];
            dWorst = std::max(dWorst, std::fabs(d - (i == k ? 1.0 : 0.0)));
        }
    char sz[256];
    if (dWorst > c_dKxEyeAlignOrthoTolerance) {
        std::snprintf(sz, sizeof(sz), "not a rotation: its rows are not orthonormal (R*R^T differs from I by %.3g)",
                      dWorst);
        return sz;
    }
    const double dDet = r[0] * (r[4] * r[8] - r[5] * r[7]) - r[1] * (r[3] * r[8] - r[5] * r[6]) +
                        r[2] * (r[3] * r[7] - r[4] * r[6]);
    if (dDet < 0) return "not a rotation: a mirror (determinant -1)";
    // The image of the camera's X is R's first column.
    const double dLean = std::acos(std::clamp(r[3], -1.0, 1.0)) * 180.0 / M_PI;
    if (dLean > c_dKxEyeAlignAxisToleranceDeg) {
        std::snprintf(sz, sizeof(sz),
                      "maps the camera's X (the travel) to (%.4f, %.4f, %.4f), %.2f degrees from W's Y (at most %g): "
                      "a camera on the belt must have its X along the travel",
                      r[0], r[3], r[6], dLean, c_dKxEyeAlignAxisToleranceDeg);
        return sz;
    }
    return std::string();
}

}  // namespace

bool LoadAlignFile(const std::string& path, std::vector<SKxEyeCameraPose>* out, std::string* reason) {
    std::string text;
    json j;
    if (!ReadText(path, &text, reason) || !Parse(text, path, &j, reason)) return false;
    if (!j.is_object()) {
        *reason = path + ": must be a JSON object";
        return false;
    }
    if (!KnownKeys(j, {"format", "version", "units", "world", "target", "cameras"}, path, reason)) return false;
    if (!j.contains("format") || j["format"] != c_pszFormat) {
        *reason = path + ": not an alignment file (\"format\" must be \"" + c_pszFormat + "\"" +
                  (j.contains("format") ? ", got " + Shown(j["format"]) : std::string()) + ")";
        return false;
    }
    if (!j.contains("version") || !j["version"].is_number_integer() || j["version"].get<int64_t>() != 1) {
        *reason = path + ".version: must be 1" + (j.contains("version") ? " (got " + Shown(j["version"]) + ")" : "");
        return false;
    }
    if (j.contains("units") && j["units"] != "mm") {
        *reason = path + ".units: must be \"mm\" (got " + Shown(j["units"]) + ")";
        return false;
    }
    std::string strWorld;
    if (!Text(j, "world", path, false, &strWorld, reason)) return false;
    if (j.contains("target")) {
        SKxEyeAlignTarget t;
        if (!TargetFromJson(j["target"], path + ".target", &t, reason)) return false;
    }
    if (!j.contains("cameras") || !j["cameras"].is_array() || j["cameras"].empty()) {
        *reason = path + ".cameras: must be a list of at least one camera";
        return false;
    }
    std::vector<SKxEyeCameraPose> vec;
    const json& cams = j["cameras"];
    for (size_t i = 0; i < cams.size(); ++i) {
        const std::string where = path + ".cameras[" + std::to_string(i) + "]";
        const json& c = cams[i];
        if (!c.is_object()) {
            *reason = where + ": must be an object";
            return false;
        }
        if (!KnownKeys(c, {"camera", "serial", "rotation", "translation", "residual_mm", "points_used"}, where, reason))
            return false;
        SKxEyeCameraPose p;
        if (!Text(c, "camera", where, true, &p.camera, reason) || !Text(c, "serial", where, true, &p.serial, reason) ||
            !NumberArray(c, "rotation", where, 9, 1.0 + 1e-3, p.r, reason) ||
            !NumberArray(c, "translation", where, 3, c_dMaxMm, p.t, reason) ||
            !Number(c, "residual_mm", where, 0, c_dMaxMm, false, &p.residual, reason))
            return false;
        if (p.camera.empty()) {
            *reason = where + ".camera: must not be empty";
            return false;
        }
        if (c.contains("points_used")) {
            if (!c["points_used"].is_number_unsigned()) {
                *reason = where + ".points_used: must be a whole number of at least 0 (got " + Shown(c["points_used"]) +
                          ")";
                return false;
            }
            p.pointsUsed = c["points_used"].get<uint64_t>();
        }
        const std::string strFault = RotationFault(p.r);
        if (!strFault.empty()) {
            *reason = where + ".rotation: " + strFault;
            return false;
        }
        for (size_t k = 0; k < vec.size(); ++k) {
            const std::string strOther = path + ".cameras[" + std::to_string(k) + "]";
            if (vec[k].camera == p.camera) {
                *reason = where + ": camera \"" + p.camera + "\" is also " + strOther;
                return false;
            }
            if (!p.serial.empty() && Lower(vec[k].serial) == Lower(p.serial)) {
                *reason = where + ": serial \"" + p.serial + "\" is also " + strOther;
                return false;
            }
        }
        vec.push_back(p);
    }
    *out = std::move(vec);
    return true;
}

void PoseToAfterProc(const SKxEyeCameraPose& p, SKxLaserResultAfterProcParam* out, double* pdTravelOffset) {
    out->bTransform = true;
    for (int i = 0; i < 9; ++i) out->adRotate[i] = p.r[i];
    out->dXOffset = p.t[0];
    // Z' = (dRefZ - r2·p) · dScaleZ = r2·p + t.z
    out->dScaleZ = -1.0;
    out->dRefZ = -p.t[2];
    // The reference-X window must not cut anything.
    out->dRefX = 0.0;
    out->dRefXRange = 1e9;
    if (pdTravelOffset) *pdTravelOffset = p.t[1];
}

const SKxEyeCameraPose* FindPose(const std::vector<SKxEyeCameraPose>& all, const std::string& camera,
                                 const std::string& serial) {
    if (!serial.empty()) {
        for (const SKxEyeCameraPose& p : all)
            if (!p.serial.empty() && Lower(p.serial) == Lower(serial)) return &p;
    }
    for (const SKxEyeCameraPose& p : all)
        if (p.camera == camera) return &p;
    return nullptr;
}

SKxEyeAlignTarget KxEyeSceneTarget() {
    SKxEyeAlignTarget t;
    t.name = "scene";
    t.dLength = 140;
    t.dWidth = 100;
    t.dHeight = 30;
    t.dOriginX = -70;
    t.dOriginY = 110;
    t.dPeriod = 600;
    return t;
}

bool ParseAlignTarget(const std::string& text, const std::string& where, SKxEyeAlignTarget* out, std::string* reason) {
    json j;
    if (!Parse(text, where, &j, reason)) return false;
    return TargetFromJson(j, where, out, reason);
}

bool LoadAlignTarget(const std::string& path, SKxEyeAlignTarget* out, std::string* reason) {
    std::string text;
    if (!ReadText(path, &text, reason)) return false;
    return ParseAlignTarget(text, path, out, reason);
}

void KxEyeFoldTravel(std::vector<SKxEyeCameraPose>& poses, double dPeriod) {
    if (!(dPeriod > 0) || poses.empty()) return;
    // The first camera's offset nearest to 0; every other one nearest to the first's: each camera
    // may have found another of the boxes, one or more periods away.
    const double dFirst = poses.front().t[1] - std::round(poses.front().t[1] / dPeriod) * dPeriod;
    for (SKxEyeCameraPose& p : poses) p.t[1] = dFirst + std::remainder(p.t[1] - dFirst, dPeriod);
}

std::string KxEyeAlignFileText(const SKxEyeAlignTarget& target, const std::vector<SKxEyeCameraPose>& poses) {
    ordered_json j;
    j["format"] = c_pszFormat;
    j["version"] = 1;
    j["units"] = "mm";
    j["world"] = c_pszWorld;
    j["target"] = TargetJson(target);
    j["cameras"] = ordered_json::array();
    for (const SKxEyeCameraPose& p : poses) {
        ordered_json c;
        c["camera"] = p.camera;
        c["serial"] = p.serial;
        c["rotation"] = std::vector<double>(p.r, p.r + 9);
        c["translation"] = std::vector<double>(p.t, p.t + 3);
        c["residual_mm"] = p.residual;
        c["points_used"] = p.pointsUsed;
        j["cameras"].push_back(c);
    }
    // Texts that are not UTF-8 (a camera's serial) are replaced rather than thrown on.
    return j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}
