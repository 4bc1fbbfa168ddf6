// kxeye record: raw camera frames with what decoding them needs, into one recording file that a
// virtual camera plays back as its scene (docs/recording.md).
#ifndef KXEYERECORD_H
#define KXEYERECORD_H

#include <cstdint>
#include <string>

#include <CLI/CLI.hpp>

#include "kxeyesession.h"

struct SKxEyeRecordOptions {
    std::string strCamera;
    std::string strOut;        // the recording file
    int64_t nFrames = 0;       // 0: run for dSeconds
    double dSeconds = 0;
    bool bImages = false;      // also record the left and right images
    double dTimeout = 5.0;     // seconds without a frame before giving up
    bool bJson = false;        // the outcome as one JSON object instead of the text
};

// Adds the "record" subcommand; its arguments land in opts.
CLI::App* KxEyeAddRecordCommand(CLI::App& app, SKxEyeRecordOptions& opts);
int KxEyeRecord(EKxEyeSource eSource, const SKxEyeRecordOptions& opts);

#endif
