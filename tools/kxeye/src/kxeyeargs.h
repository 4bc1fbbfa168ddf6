// Parsing of kxeye's value arguments: parameter assignments, ROIs, filters, transforms.
// Every parser answers false with a message instead of guessing or truncating.
#ifndef KXEYEARGS_H
#define KXEYEARGS_H

#include <cstdint>
#include <string>
#include <vector>

#include "kxlasereyerecords.h"

// Whole decimal integer within [nMin, nMax]; no trailing text, no silent truncation.
bool KxEyeParseInt(const std::string& str, int64_t nMin, int64_t nMax, int64_t& nOut);
// Finite decimal number.
bool KxEyeParseDouble(const std::string& str, double& dOut);
// on/off, true/false, yes/no, 1/0.
bool KxEyeParseSwitch(const std::string& str, bool& bOut);

enum class EKxEyeParam { Exposure, Threshold, Gain, FrameRate, Roi, Trigger, Denoise, Accelerator, DynamicRoi };

struct SKxEyeSetting {
    EKxEyeParam eParam;
    std::string strText;    // "NAME=VALUE" as given
    int64_t nValue = 0;     // integer parameters and switches (0/1)
    SKxNLROIRect sLeft{};   // roi
    SKxNLROIRect sRight{};
};

// Names accepted by "set", in the order documented.
const std::vector<std::string>& KxEyeParamNames();

// "exposure=300", "roi=0,1536,0,1920" (both sides), "roi=0,1536,0,1920:32,1568,0,1920".
bool KxEyeParseSetting(const std::string& strItem, SKxEyeSetting& sOut, std::string& strError);

// "--filter AXIS:MIN:MAX[:keep|drop]" into the after-processing record; keep (the default)
// keeps points strictly inside, drop removes points inside (bounds included).
bool KxEyeParseFilter(const std::string& strFilter, SKxLaserResultAfterProcParam& param, std::string& strError);

// Transform file (JSON): {"rotate": [9 numbers, row-major], "refZ": n, "scaleZ": n, "refX": n,
// "refXRange": n, "xOffset": n}. Absent keys are 0, except scaleZ (1) and refXRange (no window).
bool KxEyeLoadTransform(const std::string& strPath, SKxLaserResultAfterProcParam& param, std::string& strError);

#endif
