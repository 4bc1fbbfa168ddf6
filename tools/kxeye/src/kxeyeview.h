// kxeye view: a live viewer in the browser, served by the tool itself (docs/viewer.md).
#ifndef KXEYEVIEW_H
#define KXEYEVIEW_H

#include <cstdint>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "kxeyesession.h"

struct SKxEyeViewOptions {
    std::string strCamera;                // opened at start when given
    std::string strListen = "127.0.0.1";  // address the page is served on
    int64_t nPort = 8642;                 // 0: any free port (the printed URL tells which)
    std::string strOut = "kxeye-view";    // folder for snapshots and recordings
    double dSeconds = 0;                  // 0: until interrupted
    std::string strStatusFile;            // counters written here once a second, when given
};

// Adds the "view" subcommand; its arguments land in opts.
CLI::App* KxEyeAddViewCommand(CLI::App& app, SKxEyeViewOptions& opts);
int KxEyeView(EKxEyeSource eSource, const SKxEyeViewOptions& opts);

// The page's files, built into the tool (kxeyeviewassets.cpp, generated from tools/kxeye/web).
struct SKxEyeViewAsset {
    const char* pszPath;  // "/viewer.js"
    const char* pszType;  // MIME type
    const unsigned char* pbyData;
    size_t nSize;
};
const std::vector<SKxEyeViewAsset>& KxEyeViewAssets();

// The binary live message (little-endian), also read by the page (web/viewer.js):
//   0  u32 magic "KXF1"        4  u32 point count N     8  f64 frame index
//  16  f64 delivered (ms)    24  f32 frames/s         28  u32 frames lost
//  32  u32 packets resent     36  f32 decode time (us) 40  f64 travel (mm)
//  48  u32 flags (1: the line runs along Y)            52  u32 reserved
//  56  N x (f32 across, f32 z) in mm, then N x (i16 image column, i16 image row)
// "delivered" is the tool's wall clock (ms since 1970) when the library handed it the frame.
static const uint32_t c_nKxEyeViewMagic = 0x3146584B;
static const size_t c_nKxEyeViewHeader = 56;
// Points per live message at most; a denser profile is thinned evenly.
static const size_t c_nKxEyeViewMaxPoints = 2048;

#endif
