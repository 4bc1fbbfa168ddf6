// The network commands: probe, set-ip, set-mac, bind-host, reset-dest, online and doctor.
// Each answers the process exit status.
#ifndef KXEYENET_H
#define KXEYENET_H

#include <cstdint>
#include <mutex>
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

// The live line on a terminal (stderr), kept up to date by Update. While it is shown, the SDK's
// log lines are taken through the kernel's log callback (at the stderr sink's level) and printed
// above it, each on a line of its own, with the live line drawn again below. Off a terminal it
// shows nothing and leaves the log lines alone.
class CKxEyeLiveLine {
public:
    explicit CKxEyeLiveLine(bool bTerminal);
    ~CKxEyeLiveLine();  // ends the line and gives the log lines back to stderr
    CKxEyeLiveLine(const CKxEyeLiveLine&) = delete;
    CKxEyeLiveLine& operator=(const CKxEyeLiveLine&) = delete;
    void Update(const std::string& strText);
    // A line of the tool's own above the live line (plainly when stderr is not a terminal).
    void Print(const std::string& strLine);
    void End();

private:
    static void OnLog(int nLevel, const char* pszLine, void* pContext);
    std::mutex m_mtx;
    std::string m_strText;
    bool m_bTerminal;
    bool m_bShown = false;
    bool m_bHooked = false;
};

// The packets a camera's stream had resent so far; -1 for a camera without stream counters (the
// local path's).
int64_t KxEyePacketsResent(IOrEyeCamera* pCamera);

// Strict IPv4 text: four decimal octets 0 to 255.
bool KxEyeParseIPv4(const std::string& strText, uint8_t abyIP[4]);

#endif
