// CKxLaserEyeResultBlock: one frame handed to the application, decoded on demand.
// CKxLaserEyeMemBlock: the raw laser bytes of one camera frame buffer, given back to the camera
// when the last reference goes.
#pragma once

#include <cstdint>

#include "kxkernelinterfaces.h"
// The public header shares its name with the device class header beside this file.
#include "../../../include/kxlasereyedevice.h"
#include "kxlasereyeinnerutils.h"
#include "kxlasereyerecords.h"

class IOrEyeCamera;

class CKxLaserEyeMemBlock : public IKxMemBlock {
public:
    CKxLaserEyeMemBlock();
    ~CKxLaserEyeMemBlock() override;

    int32_t GetData(SKxMemData* pData) override;  // 3
    int32_t EndAccess() override;                 // 4
    uint64_t GetTime() override;                  // 5
    void Reset() override;                        // 6

private:
    friend bool CreateLaserEyeMemBlock(IOrEyeCamera* pCamera, unsigned char* pData,
                                       unsigned int nLength, int nBufferIndex,
                                       CKxLaserEyeMemBlock** ppBlock, IKxUnknown* pIKeepAlive);

    int32_t m_nBufferIndex;
    IKxMemBlock* m_pIInnerBlock;
    IOrEyeCamera* m_pICamera;  // kept alive by m_pIKeepAlive when one was given
    IKxUnknown* m_pIKeepAlive;  // owner of the camera object, referenced until Reset
};

// Wraps a camera frame buffer (no copy). The buffer goes back to the camera with
// ReleaseFrameBuffer(nBufferIndex) exactly once, at Reset or when the last reference goes.
// pIKeepAlive, when given, is the owner of the camera object: the block holds a reference on
// it until Reset, so the camera object outlives the block's use of it. Without it the camera
// must outlive the block's Reset. False only for a null out-pointer.
bool CreateLaserEyeMemBlock(IOrEyeCamera* pCamera, unsigned char* pData, unsigned int nLength,
                            int nBufferIndex, CKxLaserEyeMemBlock** ppBlock,
                            IKxUnknown* pIKeepAlive = nullptr);

class CKxLaserEyeResultBlock : public IKxLaserEyeResultBlockEx {
public:
    CKxLaserEyeResultBlock();
    ~CKxLaserEyeResultBlock() override;

    // IKxBaseDataBlock
    bool GetSurfaces(IKxSurface** ppILeftSurface, IKxSurface** ppIRightSurface) override;  // 3
    void ReservedSlot4(void* pArg) override;                                              // 4
    uint64_t GetFrameIndex() override;                                                    // 5
    uint64_t GetTimeStamp() override;                                                     // 6

    // IKxLaserEyeResultBlock
    void SetAfterProcParam(const SKxLaserResultAfterProcParam& param) override;  // 7
    uint32_t GetRawTimeStamp() override;                                         // 8
    uint32_t GetRawFrameCounter() override;                                      // 9
    uint32_t GetEncoderCount() override;                                         // 10
    float GetAngle(bool* pbValid) override;                                      // 11
    void SetUserFlag(bool bFlag) override;                                       // 12
    bool GetUserFlag() override;                                                 // 13
    bool IsSweepEnd() override;                                                  // 14
    int32_t GetOffsets(double* pdXOffset, double* pdAuxOffset) override;         // 15
    const void* GetPointData(int32_t nFormat, int32_t* pnCount) override;        // 16
    const void* GetPixelData(int32_t nFormat, int32_t* pnCount) override;        // 17
    int32_t ReservedSlot18(int32_t nArg, void* p1, void* p2) override;           // 18
    bool IsFrameConsistent() override;                                           // 19
    int32_t ReservedSlot20() override;                                           // 20
    void SaveToFile(const char* pszFile) override;                               // 21
    uint32_t GetRawPointCount() override;                                        // 22
    void GetExtendedInfo(void* pInputInfo, void* pTiltAngles) override;          // 23
    int32_t ReservedSlot24() override;                                           // 24
    bool ReservedSlot25() override;                                              // 25

    // IKxLaserEyeResultBlockEx
    int32_t GetHostTime(SKxHostTime* pTime) override;                            // 29

    // Set by the capture before the block is handed on.
    void SetHostTime(const SKxHostTime& t) { m_sHostTime = t; }

    // Runs the decode of a format if the cache does not hold it; 0, or -79976 for a hardware
    // version above 8 (nothing changed then).
    int32_t Decode(int32_t nFormat);

private:
    friend bool CreateLaserEyeResultBlock(IKxSurface*, IKxSurface*, IKxMemBlock*,
                                          const SKxCompensateEntry*, uint32_t, uint32_t, uint32_t,
                                          uint64_t, uint64_t, uint32_t, uint32_t, uint32_t,
                                          uint32_t, uint32_t, int32_t, const double*, IKxMemPool*,
                                          CKxLaserEyeResultBlock**, IKxUnknown*);

    // Output block of at least nSize bytes with access begun; null when none can be had.
    uint8_t* AcquireOutput(uint32_t nSize);

    IKxMemBlock* m_pIFrameData;
    bool m_bDirty;
    void* m_pPointData;
    void* m_pPixelData;
    int32_t m_nPointCount;
    int32_t m_nCachedFormat;
    IKxSurface* m_pILeftSurface;
    IKxSurface* m_pIRightSurface;
    SKxLaserResultAfterProcParam m_sAfterProcParam;
    uint64_t m_ullTimeStamp;
    uint64_t m_ullFrameIndex;
    uint32_t m_nRawTimeStamp;
    uint32_t m_nRawFrameCounter;
    uint32_t m_nEncoderCount;
    uint32_t m_nAngle;
    uint32_t m_nVersion;
    int32_t m_nRightColumnOffset;
    uint32_t m_nLeftROIX;
    uint32_t m_nRightROIX;
    SKxInputInfo m_sInputInfo[5];
    float m_afTiltAngles[3];
    double m_adCoordOffset[3];
    IKxMemBlock* m_pIOutputBlock;
    IKxMemPool* m_pIMemPool;
    const SKxCompensateEntry* m_pCompTable;  // the device's; not copied
    IKxUnknown* m_pICompKeepAlive;            // owner of m_pCompTable, referenced while the block lives
    uint32_t m_nCompCount;
    uint32_t m_nRawPointCount;
    bool m_bUserFlag;
    SKxHostTime m_sHostTime;
};

// Creates the result block of one frame. Every interface given is held with one added
// reference. The compensation table must stay alive and unchanged while the block exists:
// pICompKeepAlive, when given, is its owner and is referenced for the block's life.
// False, with nothing created, without a frame block or an out-pointer.
bool CreateLaserEyeResultBlock(IKxSurface* pILeftSurface, IKxSurface* pIRightSurface,
                               IKxMemBlock* pIFrameData, const SKxCompensateEntry* pCompTable,
                               uint32_t nCompCount, uint32_t nRawTimeStamp,
                               uint32_t nRawFrameCounter, uint64_t ullTimeStamp,
                               uint64_t ullFrameIndex, uint32_t nEncoderCount, uint32_t nAngle,
                               uint32_t nLeftROIX, uint32_t nRightROIX, uint32_t nVersion,
                               int32_t nRightColumnOffset, const double* pdCoordOffset,
                               IKxMemPool* pIMemPool, CKxLaserEyeResultBlock** ppBlock,
                               IKxUnknown* pICompKeepAlive = nullptr);
