// kxeye align: every camera scans the known target at once; each camera's pose in one world
// frame goes into the alignment file (kxeyealign.h, docs/multi-camera.md).
#ifndef KXEYEALIGNCOMMAND_H
#define KXEYEALIGNCOMMAND_H

#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "kxeyesession.h"

struct SKxEyeAlignOptions {
    std::vector<std::string> vecCameras;
    std::string strTarget;            // target file; empty: the virtual scene's box
    std::string strOut = "align.json";
    std::string strCloud;             // PLY of every camera's cloud in W; empty: none
    double dTravel = 800;             // mm of belt travel to scan
    double dMmPerCount = 0.1;         // the virtual camera's 10 counts per mm
    double dTimeout = 5.0;            // seconds without a frame, or without travel, before a camera fails
    uint32_t nStaggerUs = 0;          // exposure of camera i delayed by i x this (SetTriggerN); 0: left alone
    bool bJson = false;
};

// Adds the "align" subcommand; its arguments land in opts.
CLI::App* KxEyeAddAlignCommand(CLI::App& app, SKxEyeAlignOptions& opts);
int KxEyeAlign(EKxEyeSource eSource, const SKxEyeAlignOptions& opts);

#endif
