// Result block and memory block of one frame.
#include "kxlasereyeresultblock.h"

#include <chrono>
#include <cstring>

#include "kxkernel.h"
#include "oreyeapi.h"

// ---------------------------------------------------------------------------------------------
// CKxLaserEyeMemBlock

CKxLaserEyeMemBlock::CKxLaserEyeMemBlock()
    : m_nBufferIndex(-1), m_pIInnerBlock(nullptr), m_pICamera(nullptr), m_pIKeepAlive(nullptr) {}

CKxLaserEyeMemBlock::~CKxLaserEyeMemBlock() { Reset(); }

int32_t CKxLaserEyeMemBlock::GetData(SKxMemData* pData) {
    if (pData == nullptr) return KX_E_NULL_ARGUMENT;
    if (m_pIInnerBlock == nullptr) {
        pData->pData = nullptr;
        pData->nLength = 0;
        return KX_E_NOT_SUPPORTED;
    }
    return m_pIInnerBlock->GetData(pData);
}

int32_t CKxLaserEyeMemBlock::EndAccess() {
    return m_pIInnerBlock != nullptr ? m_pIInnerBlock->EndAccess() : KX_E_NOT_SUPPORTED;
}

uint64_t CKxLaserEyeMemBlock::GetTime() {
    // Time of the call on the monotonic clock, in nanoseconds.
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

void CKxLaserEyeMemBlock::Reset() {
    if (m_nBufferIndex != -1 && m_pICamera != nullptr) {
        m_pICamera->ReleaseFrameBuffer(static_cast<unsigned int>(m_nBufferIndex));
    }
    if (m_pIInnerBlock != nullptr) {
        m_pIInnerBlock->Release();
        m_pIInnerBlock = nullptr;
    }
    m_pICamera = nullptr;
    m_nBufferIndex = -1;
    // Last: this may delete the camera object (the device closed while the block was kept).
    if (m_pIKeepAlive != nullptr) {
        IKxUnknown* pKeepAlive = m_pIKeepAlive;
        m_pIKeepAlive = nullptr;
        pKeepAlive->Release();
    }
}

bool CreateLaserEyeMemBlock(IOrEyeCamera* pCamera, unsigned char* pData, unsigned int nLength,
                            int nBufferIndex, CKxLaserEyeMemBlock** ppBlock, IKxUnknown* pIKeepAlive) {
    if (ppBlock == nullptr) {
        KxLogUtils::PrintLog(c_nKxLogError, "CreateLaserEyeMemBlock: null out-pointer");
        return false;
    }
    CKxLaserEyeMemBlock* pBlock = new CKxLaserEyeMemBlock();
    pBlock->m_pICamera = pCamera;
    pBlock->m_nBufferIndex = nBufferIndex;
    if (pIKeepAlive != nullptr) pIKeepAlive->AddRef();
    pBlock->m_pIKeepAlive = pIKeepAlive;
    if (!KxCreateCustomMemBlock(pData, nLength, &pBlock->m_pIInnerBlock)) {
        pBlock->m_pIInnerBlock = nullptr;
        KxLogUtils::PrintLog(c_nKxLogWarning, "CreateLaserEyeMemBlock: cannot wrap %u bytes", nLength);
    }
    *ppBlock = pBlock;
    return true;
}

// ---------------------------------------------------------------------------------------------
// CKxLaserEyeResultBlock

namespace {
bool ExtendedTrailerOn() { return KxGlobalSetting::GetSetting()->byExtendedTrailer != 0; }

template <typename T>
void ReleaseAndClear(T*& p) {
    if (p != nullptr) {
        p->Release();
        p = nullptr;
    }
}
}  // namespace

CKxLaserEyeResultBlock::CKxLaserEyeResultBlock()
    : m_pIFrameData(nullptr),
      m_bDirty(true),
      m_pPointData(nullptr),
      m_pPixelData(nullptr),
      m_nPointCount(0),
      m_nCachedFormat(-1),
      m_pILeftSurface(nullptr),
      m_pIRightSurface(nullptr),
      m_ullTimeStamp(0),
      m_ullFrameIndex(0),
      m_nRawTimeStamp(0),
      m_nRawFrameCounter(0),
      m_nEncoderCount(0),
      m_nAngle(0),
      m_nVersion(0),
      m_nRightColumnOffset(0),
      m_nLeftROIX(0),
      m_nRightROIX(0),
      m_pIOutputBlock(nullptr),
      m_pIMemPool(nullptr),
      m_pCompTable(nullptr),
      m_pICompKeepAlive(nullptr),
      m_nCompCount(0),
      m_nRawPointCount(0),
      m_bUserFlag(true),
      m_sHostTime{} {
    // Until the capture sets the estimate: the time the block was made, no estimate.
    m_sHostTime.nArrivalNs = static_cast<int64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                      std::chrono::steady_clock::now().time_since_epoch())
                                                      .count());
    m_sHostTime.nHostNs = m_sHostTime.nArrivalNs;
    m_sHostTime.nSystemUs = std::chrono::duration_cast<std::chrono::microseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count();
    std::memset(m_sInputInfo, 0, sizeof m_sInputInfo);
    std::memset(m_afTiltAngles, 0, sizeof m_afTiltAngles);
    std::memset(m_adCoordOffset, 0, sizeof m_adCoordOffset);
}

CKxLaserEyeResultBlock::~CKxLaserEyeResultBlock() {
    ReleaseAndClear(m_pIFrameData);
    ReleaseAndClear(m_pILeftSurface);
    ReleaseAndClear(m_pIRightSurface);
    // The output block may go back to the pool on release: release it while the pool is held.
    ReleaseAndClear(m_pIOutputBlock);
    ReleaseAndClear(m_pIMemPool);
    ReleaseAndClear(m_pICompKeepAlive);
}

bool CKxLaserEyeResultBlock::GetSurfaces(IKxSurface** ppILeftSurface, IKxSurface** ppIRightSurface) {
    if (ppILeftSurface == nullptr || ppIRightSurface == nullptr) return false;
    if (m_pILeftSurface == nullptr || m_pIRightSurface == nullptr) return false;
    m_pILeftSurface->AddRef();
    m_pIRightSurface->AddRef();
    *ppILeftSurface = m_pILeftSurface;
    *ppIRightSurface = m_pIRightSurface;
    return true;
}

void CKxLaserEyeResultBlock::ReservedSlot4(void*) {}
uint64_t CKxLaserEyeResultBlock::GetFrameIndex() { return m_ullFrameIndex; }
uint64_t CKxLaserEyeResultBlock::GetTimeStamp() { return m_ullTimeStamp; }

void CKxLaserEyeResultBlock::SetAfterProcParam(const SKxLaserResultAfterProcParam& param) {
    if (m_sAfterProcParam.IsEqual(param)) return;
    m_sAfterProcParam = param;
    m_bDirty = true;
}

uint32_t CKxLaserEyeResultBlock::GetRawTimeStamp() { return m_nRawTimeStamp; }
uint32_t CKxLaserEyeResultBlock::GetRawFrameCounter() { return m_nRawFrameCounter; }
uint32_t CKxLaserEyeResultBlock::GetEncoderCount() { return m_nEncoderCount; }

float CKxLaserEyeResultBlock::GetAngle(bool* pbValid) {
    const bool bValid = m_nAngle != c_nKxAngleNone && m_nAngle != c_nKxAngleSweepEnd;
    if (pbValid != nullptr) *pbValid = bValid;
    return bValid ? static_cast<float>(m_nAngle / 10.0) : 0.0f;
}

void CKxLaserEyeResultBlock::SetUserFlag(bool bFlag) { m_bUserFlag = bFlag; }
bool CKxLaserEyeResultBlock::GetUserFlag() { return m_bUserFlag; }
bool CKxLaserEyeResultBlock::IsSweepEnd() { return m_nAngle == c_nKxAngleSweepEnd; }

int32_t CKxLaserEyeResultBlock::GetOffsets(double* pdXOffset, double* pdAuxOffset) {
    if (pdXOffset != nullptr) *pdXOffset = m_sAfterProcParam.dXOffset;
    if (pdAuxOffset != nullptr) *pdAuxOffset = m_sAfterProcParam.dAuxOffset;
    return KX_OK;
}

uint8_t* CKxLaserEyeResultBlock::AcquireOutput(uint32_t nSize) {
    SKxMemData data = {nullptr, 0};
    if (m_pIOutputBlock != nullptr) {
        m_pIOutputBlock->GetData(&data);
        if (data.pData != nullptr && data.nLength >= nSize) return data.pData;
        m_pIOutputBlock->EndAccess();
        ReleaseAndClear(m_pIOutputBlock);
    }
    if (m_pIMemPool == nullptr) {
        KxLogUtils::PrintLog(c_nKxLogError, "CKxLaserEyeResultBlock::Decode No Memory Pool");
        return nullptr;
    }
    IKxMemBlock* pBlock = nullptr;
    m_pIMemPool->Allocate(nSize, &pBlock);
    if (pBlock == nullptr) {
        KxLogUtils::PrintLog(c_nKxLogError, "CKxLaserEyeResultBlock::Decode Allocate %u Failed", nSize);
        return nullptr;
    }
    m_pIOutputBlock = pBlock;
    data.pData = nullptr;
    data.nLength = 0;
    m_pIOutputBlock->GetData(&data);
    // The records hold doubles: a short or misaligned block is not used.
    if (data.pData == nullptr || data.nLength < nSize ||
        reinterpret_cast<uintptr_t>(data.pData) % alignof(double) != 0) {
        KxLogUtils::PrintLog(c_nKxLogError, "CKxLaserEyeResultBlock::Decode Unusable Block of %u Bytes",
                             data.nLength);
        m_pIOutputBlock->EndAccess();
        ReleaseAndClear(m_pIOutputBlock);
        return nullptr;
    }
    return data.pData;
}

int32_t CKxLaserEyeResultBlock::Decode(int32_t nFormat) {
    if ((nFormat == m_nCachedFormat && !m_bDirty) || m_pIFrameData == nullptr) return KX_OK;
    EKxCoordConversion eConv = KX_CONV_THOUSANDTHS;
    if (!KxConversionOfVersion(m_nVersion, &eConv)) {
        KxLogUtils::PrintLog(c_nKxLogError, "CKxLaserEyeResultBlock::Decode Invalid Version %u", m_nVersion);
        return KX_E_BAD_VERSION;
    }

    m_nPointCount = 0;
    SKxMemData frame = {nullptr, 0};
    m_pIFrameData->GetData(&frame);
    do {
        // A block shorter than the laser part cannot be read safely.
        if (frame.pData == nullptr || frame.nLength < c_nKxLaserFrameBytes) {
            KxLogUtils::PrintLog(c_nKxLogError, "CKxLaserEyeResultBlock::Decode Frame of %u Bytes", frame.nLength);
            break;
        }
        uint32_t nCount = KxTrailerPointCount(frame.pData, m_nVersion);
        if (nCount == 0 || nCount >= c_nKxLaserPointRecords) break;
        const bool bExtended = ExtendedTrailerOn();
        if (bExtended) {
            // Fewer records than the trailer needs: nothing in the frame can be trusted.
            if (nCount < c_nKxExtendedTrailerRecords) break;
            nCount -= c_nKxExtendedTrailerRecords;
        }
        const uint32_t nSize = KxOutputBlockSize(nFormat);
        if (nSize == 0) break;
        if (nCount > 0) {
            uint8_t* pOut = AcquireOutput(nSize);
            if (pOut != nullptr) {
                m_pPointData = pOut;
                m_pPixelData = pOut + nCount * KxPointRecordSize(nFormat);
                m_nPointCount = DecodeLaserPoints(
                    nFormat, frame.pData, static_cast<int>(nCount), m_pCompTable, m_nCompCount,
                    m_sAfterProcParam, eConv, m_nRightColumnOffset, m_adCoordOffset,
                    KxTrailerColumnOrigin(frame.pData), KxTrailerRowOrigin(frame.pData),
                    KxTrailerFocalLength(frame.pData), m_pPointData, m_pPixelData);
                m_pIOutputBlock->EndAccess();
            }
        }
        if (bExtended) {
            DecodeExtendedTrailer(frame.pData + static_cast<size_t>(nCount) * c_nKxLaserRecordBytes,
                                  m_sInputInfo, m_afTiltAngles);
        }
    } while (false);
    m_pIFrameData->EndAccess();
    m_nCachedFormat = nFormat;
    m_bDirty = false;
    return KX_OK;
}

const void* CKxLaserEyeResultBlock::GetPointData(int32_t nFormat, int32_t* pnCount) {
    Decode(nFormat);
    if (pnCount != nullptr) *pnCount = m_nPointCount;
    return m_nPointCount > 0 ? m_pPointData : nullptr;
}

const void* CKxLaserEyeResultBlock::GetPixelData(int32_t nFormat, int32_t* pnCount) {
    Decode(nFormat);
    if (pnCount != nullptr) *pnCount = m_nPointCount;
    return m_nPointCount > 0 ? m_pPixelData : nullptr;
}

int32_t CKxLaserEyeResultBlock::ReservedSlot18(int32_t, void*, void*) { return -1; }

bool CKxLaserEyeResultBlock::IsFrameConsistent() {
    if (m_nVersion >= 7 || m_pIFrameData == nullptr) return true;
    SKxMemData frame = {nullptr, 0};
    m_pIFrameData->GetData(&frame);
    bool bConsistent = false;
    if (frame.pData != nullptr && frame.nLength >= c_nKxLaserFrameBytes) {
        bConsistent = KxTrailerFrameNumberA(frame.pData) == KxTrailerFrameNumberB(frame.pData);
    }
    m_pIFrameData->EndAccess();
    return bConsistent;
}

int32_t CKxLaserEyeResultBlock::ReservedSlot20() { return 0; }

void CKxLaserEyeResultBlock::SaveToFile(const char* pszFile) {
    KxSaveLaserResult(pszFile, this, m_pIFrameData, m_pILeftSurface, m_pIRightSurface, m_nLeftROIX,
                      m_nRightROIX, m_nAngle);
}

uint32_t CKxLaserEyeResultBlock::GetRawPointCount() { return m_nRawPointCount; }

void CKxLaserEyeResultBlock::GetExtendedInfo(void* pInputInfo, void* pTiltAngles) {
    if (pInputInfo != nullptr) std::memcpy(pInputInfo, m_sInputInfo, sizeof m_sInputInfo);
    if (pTiltAngles != nullptr) std::memcpy(pTiltAngles, m_afTiltAngles, sizeof m_afTiltAngles);
}

int32_t CKxLaserEyeResultBlock::ReservedSlot24() { return 0; }
bool CKxLaserEyeResultBlock::ReservedSlot25() { return false; }

int32_t CKxLaserEyeResultBlock::GetHostTime(SKxHostTime* pTime) {
    if (pTime == nullptr) return KX_E_NULL_ARGUMENT;
    *pTime = m_sHostTime;
    return KX_OK;
}

bool CreateLaserEyeResultBlock(IKxSurface* pILeftSurface, IKxSurface* pIRightSurface,
                               IKxMemBlock* pIFrameData, const SKxCompensateEntry* pCompTable,
                               uint32_t nCompCount, uint32_t nRawTimeStamp,
                               uint32_t nRawFrameCounter, uint64_t ullTimeStamp,
                               uint64_t ullFrameIndex, uint32_t nEncoderCount, uint32_t nAngle,
                               uint32_t nLeftROIX, uint32_t nRightROIX, uint32_t nVersion,
                               int32_t nRightColumnOffset, const double* pdCoordOffset,
                               IKxMemPool* pIMemPool, CKxLaserEyeResultBlock** ppBlock,
                               IKxUnknown* pICompKeepAlive) {
    if (pIFrameData == nullptr || ppBlock == nullptr) {
        KxLogUtils::PrintLog(c_nKxLogError, "CreateLaserEyeResultBlock: %s",
                             pIFrameData == nullptr ? "no frame data" : "null out-pointer");
        return false;
    }
    CKxLaserEyeResultBlock* p = new CKxLaserEyeResultBlock();
    if (pILeftSurface != nullptr) pILeftSurface->AddRef();
    if (pIRightSurface != nullptr) pIRightSurface->AddRef();
    pIFrameData->AddRef();
    if (pIMemPool != nullptr) pIMemPool->AddRef();
    p->m_pILeftSurface = pILeftSurface;
    p->m_pIRightSurface = pIRightSurface;
    p->m_pIFrameData = pIFrameData;
    p->m_pIMemPool = pIMemPool;
    p->m_pCompTable = pCompTable;
    if (pICompKeepAlive != nullptr) pICompKeepAlive->AddRef();
    p->m_pICompKeepAlive = pICompKeepAlive;
    p->m_nCompCount = pCompTable != nullptr ? nCompCount : 0;
    p->m_nRawTimeStamp = nRawTimeStamp;
    p->m_nRawFrameCounter = nRawFrameCounter;
    p->m_ullTimeStamp = ullTimeStamp;
    p->m_ullFrameIndex = ullFrameIndex;
    p->m_nEncoderCount = nEncoderCount;
    p->m_nAngle = nAngle;
    p->m_nLeftROIX = nLeftROIX;
    p->m_nRightROIX = nRightROIX;
    p->m_nVersion = nVersion;
    p->m_nRightColumnOffset = nRightColumnOffset;
    if (pdCoordOffset != nullptr) std::memcpy(p->m_adCoordOffset, pdCoordOffset, sizeof p->m_adCoordOffset);

    SKxMemData frame = {nullptr, 0};
    pIFrameData->GetData(&frame);
    if (frame.pData != nullptr && frame.nLength >= c_nKxLaserFrameBytes) {
        p->m_nRawPointCount = KxTrailerPointCount(frame.pData, nVersion);
    }
    pIFrameData->EndAccess();

    *ppBlock = p;
    return true;
}
