// The virtual camera: the camera's firmware in software. One object per configured camera,
// process-wide, so that its state outlives the camera objects (sessions) that reach it. The
// network emulator runs the same class behind its protocol.
#ifndef ORVIRTUALCAMERA_H
#define ORVIRTUALCAMERA_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "kxeyerecording.h"
#include "oreyeapi.h"
#include "oreyeapi_testsupport.h"

// A recording played back as the scene (configuration key "recording"); loaded whole and
// checked at configuration time, shared read-only by the camera.
struct SOrRecording {
    std::string strPath;
    KxEyeRecording::SHeader sHeader;
    std::vector<KxEyeRecording::SFrame> vecFrames;
};

// Where a camera stands over the conveyor (configuration key "pose"), in the world frame: x across
// the belt, y along the travel, z the height of the camera centre above the belt, all in mm, and
// the roll about the travel axis in degrees.
struct SOrPose {
    double dX = 0.0, dY = 0.0, dZ = 400.0, dRoll = 0.0;
};

struct SOrVirtualConfig {
    bool bSmart = false;  // listing kind 4 / device type 3
    int nVersion = 8;
    unsigned int nWidth = 1536;
    unsigned int nHeight = 2048;
    bool bLarge = false;
    bool bSwingMotor = true;
    std::string strSerial = "VC000001";
    std::string strDeviceId = "KXVIRTUALCAM0001";
    std::vector<std::pair<float, float>> vecCompensation;  // [A, B] pairs
    bool bParamBlock = true;
    int nParamBlockVersion = 3;
    int nParamBlockKind = 1;
    double adOffset[3] = {0.0, 0.0, 0.0};
    bool bUnlimitedRate = false;
    uint32_t nStartTimestamp = 0;
    uint32_t nStartCounter = 0;
    // The camera's oscillator runs this many parts per million fast (negative: slow).
    double dClockPpm = 0.0;
    std::string strStorageFile;
    // Faults from the configuration.
    bool bOffline = false;
    bool bFailStorageRead = false;
    std::vector<std::pair<int, std::pair<int, unsigned int>>> vecFaults;  // op, code, count
    // With a pose the camera lives in the shared world: the belt's travel and encoder follow the
    // host's steady clock (the same for every camera of the host), streamed frames are made on a
    // grid of instants, and the lasers of other streaming cameras can blind it.
    bool bWorld = false;
    SOrPose sPose;
    // Scene source: the synthetic conveyor, or this recording when set.
    std::shared_ptr<const SOrRecording> pRecording;
};

class COrVirtualCamera : public OrEyeTest::IVirtualCameraControl {
public:
    static constexpr unsigned int c_nStorageBytes = 4u * 1024u * 1024u;
    static constexpr unsigned int c_nMaxRate = 200;  // frames per second without "unlimited_rate"

    COrVirtualCamera(int nIndex, const SOrVirtualConfig& cfg);
    ~COrVirtualCamera() override;

    int Index() const { return m_nIndex; }
    const SOrVirtualConfig& Config() const { return m_cfg; }

    // Fault gate run first by every session operation: offline, then scripted answers.
    int Gate(OrEyeTest::Op eOp);

    // Camera operations (the session has checked its own arguments state).
    int GetParam(int nId, void* pData, int nLength);
    int SetParam(int nId, const void* pData, int nLength);
    int WriteRegister(int nTarget, unsigned int nAddress, const void* pData, int nLength);
    int GetQMatrix(double* pdQ16);
    int ReadProduct(int nItem, void* pData, int nLength);
    int WriteProduct(int nItem, const void* pData, int nLength);
    int SetROI(int nLeftX, int nLeftY, int nRightX, int nRightY, int nWidth, int nHeight);
    int SetROIMode(int nOn);
    int EnableDevice(int nOn);
    int SetTriggerN(unsigned int nA, unsigned int nB);
    int SetImageTransfer(int nOn, unsigned int nBufferCount, unsigned int nFrameBytes);
    int WriteStorage(unsigned int nAddress, const void* pData, unsigned int nLength);
    int ReadStorage(unsigned int nAddress, void* pData, unsigned int nLength);
    int ExecuteCustomCommand(const unsigned short* pRecord5, void* pReply);
    int SetOptionEx(int nFlag, int nValue, int nValue2);
    int SetOption(int nFlag, int nValue);
    int SetFeature(int nFlag, int nA, int nB);
    int ExtendedCommand(int nA, void* pB, int nC, void* pD, int nE);
    int VersionText(char* pszText, int nLength);

    // Streaming; pOwner identifies the session.
    int SetFrameCallback(const void* pOwner, int nEnable, OrEyeFrameCallback pfn, void* pContext);
    int EnableStream(const void* pOwner, int nOn);
    int WaitStreamFrame(unsigned char* apDest[3], unsigned int* pnLength, unsigned int* pnFrameId,
                        unsigned int nTimeoutMs);
    int GrabFrame(unsigned char* apDest[3], unsigned int* pnLength, unsigned int* pnFrameId,
                  unsigned int nTimeoutMs);
    int ReleaseFrameBuffer(unsigned int nBufferId);
    // A session goes: its stream stops and its callback is gone before this returns.
    void DetachSession(const void* pOwner);

    // IVirtualCameraControl
    void FailNext(OrEyeTest::Op eOp, int nCode, unsigned int n) override;
    void SetOffline(bool bOffline) override;
    void FailStorageRead(bool bFail) override;
    void SetMotorStatusFault(uint16_t nBits) override;
    void SetTriggerPattern(const std::vector<bool>& vecPattern) override;
    void RaiseEvent(int nEvent, int nParam) override;
    OrEyeTest::Counters GetCounters() override;
    OrEyeTest::Geometry GetGeometry() override;
    bool GetLastParam(int nId, std::vector<uint8_t>* pValue) override;
    bool GetLastRegister(int nTarget, unsigned int nAddress, std::vector<uint8_t>* pValue) override;
    bool GetOption(int nFlag, int* pnValue, int* pnValue2) override;
    bool GetFeature(int nFlag, int* pnA, int* pnB) override;
    void GetTriggerN(unsigned int* pnA, unsigned int* pnB) override;
    int GetROIMode() override;
    int GetDeviceEnabled() override;
    bool IsStreaming() override;
    double GetMotorPositionTenths() override;
    bool IsSweeping() override;
    void Reset() override;
    OrEyeTest::ClockTruth GetClockTruth() override;
    bool GetPose(OrEyeTest::Pose* pPose) override;

private:
    struct SRoi {
        int nLeft, nRight, nTop, nBottom;
    };
    struct SBuffer {
        std::vector<uint8_t> vecData;
        bool bOut = false;
        bool bRetired = false;  // from an earlier pool; freed when it comes back
    };
    struct SMotor {
        double dPos = 0.0;        // tenths of a degree
        double dTarget = 0.0;
        bool bMoving = false;     // explicit move (angle or home)
        bool bArmed = false;      // sweep switched on (status bit 1)
        bool bSweeping = false;   // sweep travel running
        int nSweepDir = 1;
        bool bEndMark = false;    // next frame carries the end-of-sweep mark
        uint32_t nSpeed = 300;    // pulse units
        uint32_t nRangeStart = 150, nRangeEnd = 600;  // tenths
        uint32_t nLight = 500;
        uint32_t nReg18 = 500;
        uint16_t nFault = 0;
        bool bSwitch27 = false;
        std::chrono::steady_clock::time_point tLast;
    };

    void ResetLocked();
    void BuildStorage();
    void SaveStorageRange(unsigned int nAddress, unsigned int nLength);
    void SyncInfoBlock();
    void AdvanceMotor(std::chrono::steady_clock::time_point tNow);
    uint16_t MotorStatus();
    unsigned int FrameBytes() const;
    // Makes the next frame, seen at instant tFrame, into m_vecFrame (under m_mtx).
    void ProduceFrameLocked(std::chrono::steady_clock::time_point tFrame);
    // Tells the shared world this camera's stream, frame grid, exposure and windows (world cameras).
    void PublishWorldLocked();
    // The frame grid of a world camera: period and phase in nanoseconds of the steady clock.
    void FrameGridLocked(int64_t* pnPeriodNs, int64_t* pnPhaseNs) const;
    // The next frame of the recording, as ProduceFrameLocked.
    void ReplayFrameLocked();
    void StreamThread();
    void StopStream(std::unique_lock<std::mutex>& lock);
    int CopyFrame(unsigned char* apDest[3], unsigned int* pnLength, unsigned int* pnFrameId);

    const int m_nIndex;
    const SOrVirtualConfig m_cfg;
    const std::chrono::steady_clock::time_point m_tCreated;

    std::mutex m_mtx;
    std::condition_variable m_cvFrame;    // a new frame in m_vecFrame
    std::condition_variable m_cvIdle;     // callbacks in flight reached 0 / stream stopped

    // Settings.
    uint8_t m_abyInfo[52];
    SRoi m_sLeft{}, m_sRight{};
    uint16_t m_nExposure = 0, m_nTriggerMode = 0, m_nThreshold = 0, m_nGain = 0;
    uint16_t m_nFrameRate = 0, m_nDenoise = 0, m_nAccelerator = 0, m_nGap = 0, m_nDynRoi = 0;
    uint16_t m_nWorkDistance = 0, m_nSwingMode = 0;
    uint32_t m_nBitMode = 0;
    bool m_bImages = false;
    int m_nROIMode = 0, m_nEnabled = 0;
    unsigned int m_nTrigA = 0, m_nTrigB = 0;
    std::map<int, std::vector<uint8_t>> m_mapParams;  // last SetParam values
    std::map<std::pair<int, unsigned int>, std::vector<uint8_t>> m_mapRegisters;
    std::map<int, std::pair<int, int>> m_mapOptions, m_mapFeatures;
    std::vector<uint8_t> m_vecParam46, m_vecParam53, m_vecParam60, m_vecParam56;
    uint8_t m_abyMac[6], m_abyDestMac[6], m_abyIp[4], m_abyDestIp[4];
    char m_szDeviceId[16];
    char m_szSerial[8];
    std::vector<uint8_t> m_vecStorage;
    SMotor m_sMotor;

    // Faults.
    bool m_bOffline = false;
    bool m_bFailStorageRead = false;
    std::vector<bool> m_vecTrigger;
    std::vector<std::pair<int, unsigned int>> m_vecFail;  // per op: code, remaining

    // Frames.
    std::vector<uint8_t> m_vecFrame;
    unsigned int m_nFrameLength = 0;
    uint64_t m_nFrameSeq = 0;      // frames made, for waiters
    uint32_t m_nCounter = 0;       // raw counter of the last frame (before the wrap)
    uint64_t m_nProducedCount = 0;
    uint64_t m_nDropped = 0, m_nDelivered = 0, m_nBufOut = 0, m_nBufBack = 0, m_nBadRelease = 0;
    std::map<unsigned int, std::unique_ptr<SBuffer>> m_mapBuffers;
    unsigned int m_nNextBufferId = 1;
    unsigned int m_nPoolCount = 8;
    unsigned int m_nPoolBytes = c_nOrEyeLaserBytes;

    // Stream.
    OrEyeFrameCallback m_pfnCallback = nullptr;
    void* m_pCallbackContext = nullptr;
    const void* m_pCallbackOwner = nullptr;
    const void* m_pStreamOwner = nullptr;
    int m_nInFlight = 0;
    bool m_bStreamRun = false;
    std::thread m_thStream;
    std::thread::id m_idStream;
    int64_t m_nLastGridNs = 0;  // instant of the next or last streamed frame of a world camera
    int64_t m_nLastMadeNs = 0;  // instant of the last streamed frame made
    int64_t m_nStreamFromNs = 0;          // the stream of a world camera exposes from this instant
    int64_t m_nStreamUntilNs = INT64_MIN;  // up to this one (its last frame), INT64_MAX while on
};

// The cameras of this process that share the world, as much as one needs to know of another to
// tell whether its laser blinds this one. Published under the camera's own lock; the world's
// lock is always taken after a camera's, never before.
struct SOrWorldCamera {
    const void* pId = nullptr;
    SOrPose sPose;
    // It exposes on its grid from nStreamFromNs to nStreamUntilNs: from when its stream went on
    // to its last frame once it is off, so that whether it blinds a frame does not depend on
    // which thread comes first.
    int64_t nStreamFromNs = 0, nStreamUntilNs = INT64_MIN;
    int64_t nPeriodNs = 0, nPhaseNs = 0, nExposureNs = 0;
    double dFocal = 0, dCx = 0, dCy = 0, dTanA = 0;
    int nTop = 0, nBottom = 0;   // rows of the left window
};
namespace OrVirtualWorld {
void Publish(const SOrWorldCamera& s);
void Withdraw(const void* pId);
std::vector<SOrWorldCamera> Others(const void* pId);
}  // namespace OrVirtualWorld

// Registry of the process's virtual cameras.
namespace OrVirtualRegistry {
// One camera object of the configuration (JSON text) as camera nIndex would get it, for
// programs that make their own cameras (the network emulator). Unknown keys are left alone.
bool ParseCameraText(const std::string& strJson, int nIndex, SOrVirtualConfig* pCfg, std::string* pErr);
std::shared_ptr<COrVirtualCamera> Get(int nIndex);
int Count();
// Why KXEYE_VIRTUAL_CAMERAS was refused (then there is no camera); empty when it was taken.
std::string ConfigError();
// Camera for a connect text ("virtual:<i>", or null/empty for the first).
std::shared_ptr<COrVirtualCamera> Find(const char* pszConnect);
}  // namespace OrVirtualRegistry

#endif
