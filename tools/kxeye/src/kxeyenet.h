// The network commands: probe, set-ip, set-mac, bind-host, reset-dest, online and doctor.
// Each answers the process exit status.
#ifndef KXEYENET_H
#define KXEYENET_H

#include <string>

#include "kxeyesession.h"
#include "oreyeapi.h"

int KxEyeProbe(const std::string& strAddress, bool bJson);

// set-ip, set-mac, bind-host, reset-dest and online; strValue is the address or MAC where the
// operation takes one.
struct SKxEyeNetOptions {
    std::string strOperation;  // "set-ip", "set-mac", "bind-host", "reset-dest", "online"
    std::string strCamera;
    std::string strValue;
    bool bForce = false;       // set-ip: move even onto an address that answers
    bool bJson = false;
};
int KxEyeNetConfig(EKxEyeSource eSource, const SKxEyeNetOptions& opts);

struct SKxEyeDoctorOptions {
    std::string strCamera;     // empty: every camera found, and no test stream
    double dSeconds = 2.0;     // length of the test stream
    bool bJson = false;
};
int KxEyeDoctor(EKxEyeSource eSource, const SKxEyeDoctorOptions& opts);

// The live line of a capture: frames, rate, MiB/s of frame data (nFrameBytes each), frames lost
// and, for an Ethernet camera, the packets its stream had resent ("-" for other cameras).
std::string KxEyeLiveLine(IOrEyeCamera* pCamera, uint64_t nFrames, uint64_t nFrameBytes, uint64_t nLost, double dElapsed);

// Strict IPv4 text: four decimal octets 0 to 255.
bool KxEyeParseIPv4(const std::string& strText, uint8_t abyIP[4]);

#endif
