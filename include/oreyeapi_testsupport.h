// Test support of the camera access library: replace the factory behind CreateOrEyeApi, and
// reach the virtual cameras of this process (bookkeeping, fault injection). Not for
// applications. docs/virtual-camera.md describes the virtual camera.
#ifndef OREYEAPI_TESTSUPPORT_H
#define OREYEAPI_TESTSUPPORT_H

#include <cmath>
#include <cstdint>
#include <functional>
#include <vector>

#include "oreyeapi.h"

namespace OrEyeTest {
// While set, CreateOrEyeApi answers factory(type) instead of its own objects. An empty
// function restores the library's own factory.
typedef std::function<IOrEyeCamera*(OREYEAPI_TYPE)> Factory;
OREYE_API void SetFactory(const Factory& factory);

// Camera operations that fault injection can script.
enum Op {
    Op_GetVersionText = 0,
    Op_ListDevices,
    Op_InitDevice,
    Op_SetFrameCallback,
    Op_EnableStream,
    Op_WaitStreamFrame,
    Op_GrabFrame,
    Op_SetParam,
    Op_GetParam,
    Op_WriteRegister,
    Op_GetQMatrix,
    Op_WriteProduct,
    Op_ReadProduct,
    Op_SetROI,
    Op_SetROIMode,
    Op_EnableDevice,
    Op_SetTriggerN,
    Op_SetImageTransfer,
    Op_WriteStorage,
    Op_ReadStorage,
    Op_SelectDevice,
    Op_ReleaseFrameBuffer,
    Op_ExecuteCustomCommand,
    Op_SetOptionEx,
    Op_SetOption,
    Op_ExtendedCommand,
    Op_SyncROI,
    Op_SetFeature,
    Op_Count
};

struct Counters {
    uint64_t nFramesProduced;   // every frame the camera made (streamed or grabbed)
    uint64_t nFramesDropped;    // streamed frames that found no free buffer
    uint64_t nFramesDelivered;  // frames handed to the frame callback
    uint64_t nBuffersOut;       // buffers handed out, in all
    uint64_t nBuffersReturned;  // buffers handed back with ReleaseFrameBuffer, in all
    uint64_t nBadReleases;      // ReleaseFrameBuffer with an id not handed out (or returned twice)
    uint32_t nBuffersHeld;      // buffers out right now
    uint32_t nPoolBuffers;      // buffers in the current pool
};

// Fixed geometry of one virtual camera, for tests that check where points lie.
struct Geometry {
    double dFocal;        // pixels
    double dCx, dCy;      // principal point, pixels (sensor coordinates)
    double dBaseline;     // mm
    double dBelt;         // distance of the conveyor surface, mm
    int nFixedDisparity;  // parameter 50
};

// The true relation of a virtual camera's raw timestamp to the host's steady clock
// (std::chrono::steady_clock: CLOCK_MONOTONIC on Linux, the same in every process and network
// namespace of the host). At host instant t (steady-clock nanoseconds since its epoch) the
// camera's tick count is
//   nStartTimestamp + floor((t - nHostNsAtStart) x 1e-9 x (1 + dPpm x 1e-6) / dTick)
// and a frame made at t carries that count modulo nTimestampWrap as its raw timestamp. A
// streaming camera with a pose makes its frames at instants of the frame-rate grid
// (docs/virtual-camera.md); TicksAt / HostNsAt convert either way.
struct ClockTruth {
    int64_t nHostNsAtStart;    // host instant at which the count was nStartTimestamp (camera made)
    uint32_t nStartTimestamp;  // configuration key "start_timestamp"
    double dPpm;               // configuration key "clock_ppm": the oscillator runs that much fast
    double dTick;              // nominal seconds per tick of the hardware version
    uint32_t nTimestampWrap;   // the raw timestamp counts modulo this
    bool bRecording;           // a recording's frames carry their recorded timestamps instead
};
// Unwrapped tick count (before the floor) at a host steady-clock instant in nanoseconds.
inline double TicksAt(const ClockTruth& c, int64_t nHostNs) {
    return c.nStartTimestamp + static_cast<double>(nHostNs - c.nHostNsAtStart) * 1e-9 * (1.0 + c.dPpm * 1e-6) / c.dTick;
}
// Host steady-clock instant in nanoseconds at which the unwrapped count reaches dTicks.
inline double HostNsAt(const ClockTruth& c, double dTicks) {
    return static_cast<double>(c.nHostNsAtStart) + (dTicks - c.nStartTimestamp) * c.dTick * 1e9 / (1.0 + c.dPpm * 1e-6);
}

// Pose of a virtual camera in the world frame (configuration key "pose", docs/virtual-camera.md):
// x across the belt, y along the travel, z height of the camera centre above the belt (mm), roll
// about the travel axis (degrees; positive turns the view toward -x).
struct Pose {
    double dX, dY, dZ, dRoll;
};
// The camera's true transform into the world frame: w = R c + t, R row-major, for a camera cloud
// c = (camera X + encoder travel in mm, camera Y, camera Z), the encoder travel being
// count / 10 from count 0 of the shared belt encoder. The default pose gives
// R = [[0,1,0],[1,0,0],[0,0,-1]], t = (0, 0, 400).
inline void PoseTransform(const Pose& p, double adR[9], double adT[3]) {
    const double a = p.dRoll * 3.14159265358979323846 / 180.0, c = std::cos(a), s = std::sin(a);
    const double r[9] = {0, c, -s, 1, 0, 0, 0, -s, -c};
    for (int i = 0; i < 9; ++i) adR[i] = r[i];
    adT[0] = p.dX;
    adT[1] = p.dY;
    adT[2] = p.dZ;
}
// The shared belt of cameras with a pose: it moves 100 mm per second of the host's steady clock
// from the clock's epoch, and its encoder counts 10 per mm: the count at a host instant (in
// nanoseconds) is floor(10 x WorldTravelMm) = one count per millisecond, modulo 2^32 before the
// frame's field width.
inline double WorldTravelMm(int64_t nHostNs) { return static_cast<double>(nHostNs) * 1e-7; }
inline uint32_t WorldEncoderCount(int64_t nHostNs) {
    return static_cast<uint32_t>(static_cast<uint64_t>(nHostNs) / 1000000u);
}

// Control of one process-wide virtual camera. Owned by the library; valid until
// ReloadVirtualCameras.
class IVirtualCameraControl {
public:
    // The next n calls of op answer code (before doing anything).
    virtual void FailNext(Op eOp, int nCode, unsigned int n) = 0;
    // Offline: every call answers -10030 and a running stream stops (event 7 first).
    virtual void SetOffline(bool bOffline) = 0;
    // Every storage read answers c_nOrEyeIoError while set.
    virtual void FailStorageRead(bool bFail) = 0;
    // Fault bits or-ed into the motor status word (bits 2, 3, 0x670, 0x1000).
    virtual void SetMotorStatusFault(uint16_t nBits) = 0;
    // Trigger status of frame k is pattern[k % size] (true = on); empty = always on.
    virtual void SetTriggerPattern(const std::vector<bool>& vecPattern) = 0;
    // Calls the frame callback with a notification event (0, 5, 7, 10, 11).
    virtual void RaiseEvent(int nEvent, int nParam) = 0;
    virtual Counters GetCounters() = 0;
    virtual Geometry GetGeometry() = 0;
    // Last value written with SetParam (false when never written).
    virtual bool GetLastParam(int nId, std::vector<uint8_t>* pValue) = 0;
    // Last value written with WriteRegister (false when never written).
    virtual bool GetLastRegister(int nTarget, unsigned int nAddress, std::vector<uint8_t>* pValue) = 0;
    // Last values of SetOption/SetOptionEx/SetFeature/SetTriggerN/SetROIMode/EnableDevice.
    virtual bool GetOption(int nFlag, int* pnValue, int* pnValue2) = 0;
    virtual bool GetFeature(int nFlag, int* pnA, int* pnB) = 0;
    virtual void GetTriggerN(unsigned int* pnA, unsigned int* pnB) = 0;
    virtual int GetROIMode() = 0;
    virtual int GetDeviceEnabled() = 0;
    virtual bool IsStreaming() = 0;
    // Swing motor: position in tenths of a degree, sweep running.
    virtual double GetMotorPositionTenths() = 0;
    virtual bool IsSweeping() = 0;
    // Back to the configured state: parameters, storage, motor, counters, faults.
    virtual void Reset() = 0;
    // The camera's clock against the host's steady clock (above).
    virtual ClockTruth GetClockTruth() = 0;
    // The configured pose; false (and the default pose) for a camera without one.
    virtual bool GetPose(Pose* pPose) = 0;

protected:
    virtual ~IVirtualCameraControl() {}
};

// Counters of an Ethernet camera object's stream (CreateOrEyeApi(3)); false for other objects.
struct EthernetStats {
    uint64_t nFramesComplete;     // handed on whole
    uint64_t nFramesIncomplete;   // given up with packets missing (never handed on)
    uint64_t nFramesUnderrun;     // no free buffer when the frame began
    uint64_t nFramesTooLarge;     // larger than a buffer of the pool
    uint64_t nPackets;            // payload packets placed
    uint64_t nPacketsResent;      // of them, sent again on request
    uint64_t nPacketsDuplicate;   // copies and late resends thrown away
    uint64_t nPacketsIgnored;     // malformed, foreign or contradicting
    uint64_t nResendRequests;
    uint64_t nStaleReplies;       // control replies with another request id
    // What the gates refused: stream packets from another address, port or card; without the
    // session's stream key; of another stride or a frame larger than configured; outside the
    // frame window; single grabs nobody waits for; frames dropped for a packet that came twice
    // with other bytes; control replies from elsewhere or not for the request.
    uint64_t nRefusedSource, nRefusedKey, nRefusedShape, nRefusedWindow, nRefusedGrab, nConflicts;
    uint64_t nRefusedReplies;
    uint64_t nSearchIgnored;      // search answers left out: sender not the camera described, card not searched
    uint64_t nSearchConflicts;    // second, different answers for one camera (both listed)
};
OREYE_API bool GetEthernetStats(IOrEyeCamera* pCamera, EthernetStats* pStats);

// Number of virtual cameras of this process (from KXEYE_VIRTUAL_CAMERAS or the default).
OREYE_API int VirtualCameraCount();
// Control of virtual camera i, or null.
OREYE_API IVirtualCameraControl* VirtualCamera(int nIndex);
// Reads the configuration again and replaces the cameras. No camera object may be in use.
// Returns the number of cameras, or a negative code when the configuration is invalid (the
// cameras are then the default one).
OREYE_API int ReloadVirtualCameras();
}  // namespace OrEyeTest

#endif
