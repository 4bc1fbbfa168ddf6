// Result codes of the SDK with a short meaning, in one table for every kxeye command.
#ifndef KXEYECODES_H
#define KXEYECODES_H

#include <cstdint>
#include <string>
#include <vector>

struct SKxEyeCodeInfo {
    int32_t nCode;
    const char* pszName;     // symbolic name, e.g. "KX_E_BUSY"
    const char* pszMeaning;  // short meaning for people
};

// Every code the tool can meet: the SDK's own, the kernel's ROI rules and the camera library's.
const std::vector<SKxEyeCodeInfo>& KxEyeCodeTable();

// Short meaning of a code; "unknown code" when it is not in the table.
const char* KxEyeCodeMeaning(int32_t nCode);

// "0 (success)", "-79971 (busy: refused while the device is capturing)".
std::string KxEyeFormatCode(int32_t nCode);

#endif
