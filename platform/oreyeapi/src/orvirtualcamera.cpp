// The virtual camera: parameters, laser-information block, registers, identity, storage,
// swing motor controller, fault injection and the bookkeeping tests read.
#include "orvirtualcamera.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "kxlaserinfo.h"
#include "orlog.h"

using Orvik::utilSystem::LogLevel_Debug;
using Orvik::utilSystem::LogLevel_Warning;

namespace {
uint16_t U16(const void* p) {
    const uint8_t* b = static_cast<const uint8_t*>(p);
    return static_cast<uint16_t>(b[0] | (b[1] << 8));
}
void PutU16(void* p, uint16_t v) {
    uint8_t* b = static_cast<uint8_t*>(p);
    b[0] = static_cast<uint8_t>(v & 0xFF);
    b[1] = static_cast<uint8_t>(v >> 8);
}
void PutU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
const double c_dBaseline = 60.0;  // mm
const double c_dBelt = 400.0;     // mm
const uint32_t c_nMotorPulseCount = 360;  // 10 pulses per unit: speed in tenths per second
const uint32_t c_nMotorVersion = 20;
const uint32_t c_nMotorMaxTenths = 900;
}  // namespace

COrVirtualCamera::COrVirtualCamera(int nIndex, const SOrVirtualConfig& cfg)
    : m_nIndex(nIndex), m_cfg(cfg), m_tCreated(std::chrono::steady_clock::now()) {
    m_vecFail.assign(OrEyeTest::Op_Count, std::make_pair(0, 0u));
    std::lock_guard<std::mutex> lock(m_mtx);
    ResetLocked();
}

COrVirtualCamera::~COrVirtualCamera() {
    std::unique_lock<std::mutex> lock(m_mtx);
    StopStream(lock);
    if (m_cfg.bWorld) OrVirtualWorld::Withdraw(this);
}

void COrVirtualCamera::ResetLocked() {
    memset(m_abyInfo, 0, sizeof(m_abyInfo));
    const int nW = static_cast<int>(m_cfg.nWidth), nH = static_cast<int>(m_cfg.nHeight);
    m_sLeft = SRoi{0, nW, 0, std::max(1, nH - 128)};
    m_sRight = m_sLeft;
    m_nExposure = 1000;
    m_nTriggerMode = 0;
    m_nThreshold = 40;
    m_nGain = 100;
    m_nFrameRate = 20;
    m_nDenoise = 0;
    m_nAccelerator = 0;
    m_nGap = 0;
    m_nDynRoi = 0;
    m_nWorkDistance = 0;
    m_nSwingMode = m_cfg.bSwingMotor ? 0x6 : 0x0;  // fitted, sweep mode 1, swing off
    m_nBitMode = 8;
    m_bImages = false;
    m_nROIMode = 0;
    m_nEnabled = 0;
    m_nTrigA = m_nTrigB = 0;
    m_mapParams.clear();
    m_mapRegisters.clear();
    m_mapOptions.clear();
    m_mapFeatures.clear();
    m_vecParam46.assign(262144, 0);
    m_vecParam53.assign(108, 0);
    m_vecParam56.assign(20, 0);
    m_vecParam60.clear();
    const uint8_t abyMac[6] = {0x02, 0x4B, 0x58, 0x00, 0x00, static_cast<uint8_t>(m_nIndex + 1)};
    memcpy(m_abyMac, abyMac, 6);
    memset(m_abyDestMac, 0, 6);
    const uint8_t abyIp[4] = {static_cast<uint8_t>(10 + m_nIndex), 0, 0, 127};  // last octet first
    memcpy(m_abyIp, abyIp, 4);
    memset(m_abyDestIp, 0, 4);
    memset(m_szDeviceId, 0, sizeof(m_szDeviceId));
    memcpy(m_szDeviceId, m_cfg.strDeviceId.data(), std::min<size_t>(16, m_cfg.strDeviceId.size()));
    memset(m_szSerial, 0, sizeof(m_szSerial));
    memcpy(m_szSerial, m_cfg.strSerial.data(), std::min<size_t>(8, m_cfg.strSerial.size()));
    m_sMotor = SMotor();
    m_sMotor.dPos = m_sMotor.dTarget = (m_sMotor.nRangeStart + m_sMotor.nRangeEnd) / 2.0;
    m_sMotor.tLast = std::chrono::steady_clock::now();
    m_bOffline = m_cfg.bOffline;
    m_bFailStorageRead = m_cfg.bFailStorageRead;
    m_vecTrigger.clear();
    for (auto& f : m_vecFail) f = std::make_pair(0, 0u);
    for (const auto& f : m_cfg.vecFaults)
        if (f.first >= 0 && f.first < OrEyeTest::Op_Count) m_vecFail[f.first] = f.second;
    m_nCounter = m_cfg.nStartCounter;
    m_nProducedCount = 0;
    m_nDropped = m_nDelivered = m_nBufOut = m_nBufBack = m_nBadRelease = 0;
    // Free buffers go; buffers the application still holds stay until they come back.
    for (auto it = m_mapBuffers.begin(); it != m_mapBuffers.end();) {
        if (it->second->bOut) {
            it->second->bRetired = true;
            ++it;
        } else {
            it = m_mapBuffers.erase(it);
        }
    }
    m_nPoolCount = 8;
    m_nPoolBytes = c_nOrEyeLaserBytes;
    BuildStorage();
    if (m_cfg.pRecording) {
        // The camera as it was when recorded: its windows, settings and parameter page.
        using namespace KxLaserInfo;
        const uint8_t* pInfo = m_cfg.pRecording->sHeader.abyInfo;
        m_sLeft = SRoi{GetWord(pInfo, c_nWordLeftRoi), GetWord(pInfo, c_nWordLeftRoi + 1),
                       GetWord(pInfo, c_nWordLeftRoi + 2), GetWord(pInfo, c_nWordLeftRoi + 3)};
        m_sRight = SRoi{GetWord(pInfo, c_nWordRightRoi), GetWord(pInfo, c_nWordRightRoi + 1),
                        GetWord(pInfo, c_nWordRightRoi + 2), GetWord(pInfo, c_nWordRightRoi + 3)};
        m_nExposure = GetWord(pInfo, c_nWordExposure);
        m_nThreshold = GetWord(pInfo, c_nWordThreshold);
        m_nGain = GetWord(pInfo, c_nWordGain);
        if (GetWord(pInfo, c_nWordFrameRate) != 0) m_nFrameRate = GetWord(pInfo, c_nWordFrameRate);
        m_nDenoise = GetWord(pInfo, c_nWordDenoise);
        m_nAccelerator = GetWord(pInfo, c_nWordAccelerator);
        m_nGap = GetWord(pInfo, c_nWordGap);
        memcpy(m_vecStorage.data() + KxEyeRecording::c_nParamPageAddress, m_cfg.pRecording->sHeader.abyParamPage,
               KxEyeRecording::c_nParamPageBytes);
    }
    SyncInfoBlock();
}

void COrVirtualCamera::BuildStorage() {
    m_vecStorage.assign(c_nStorageBytes, 0xFF);  // erased flash reads as 0xFF
    if (!m_cfg.strStorageFile.empty()) {
        std::ifstream in(m_cfg.strStorageFile, std::ios::binary);
        if (in) {
            in.read(reinterpret_cast<char*>(m_vecStorage.data()), c_nStorageBytes);
            OrLog::Print(LogLevel_Debug, "virtual camera %d: storage loaded from %s", m_nIndex,
                         m_cfg.strStorageFile.c_str());
            return;
        }
    }
    uint8_t* pPage = m_vecStorage.data() + KxParamPage::c_nAddress;
    memset(pPage, 0, KxParamPage::c_nBytes);
    if (m_cfg.bParamBlock) {
        uint8_t* p = pPage;
        memcpy(p, KxParamPage::c_szTag, KxParamPage::c_nTagBytes);
        p += KxParamPage::c_nTagBytes;
        *p++ = static_cast<uint8_t>(m_cfg.nParamBlockVersion);
        PutU32(p, static_cast<uint32_t>(m_cfg.nParamBlockKind));
        p += 4;
        if (m_cfg.nParamBlockKind != -1) {
            for (unsigned int i = 0; i < KxParamPage::c_nSection96Bytes; ++i) p[i] = static_cast<uint8_t>(i);
            p += KxParamPage::c_nSection96Bytes;
        }
        if (m_cfg.nParamBlockVersion >= 2) {
            memcpy(p, m_cfg.adOffset, KxParamPage::c_nOffsetBytes);
            p += KxParamPage::c_nOffsetBytes;
        }
        if (m_cfg.nParamBlockVersion >= 3) {
            for (unsigned int i = 0; i < KxParamPage::c_nSection16Bytes; ++i) p[i] = static_cast<uint8_t>(0xA0 + i);
            p += KxParamPage::c_nSection16Bytes;
        }
        memcpy(p, KxParamPage::c_szTag, KxParamPage::c_nTagBytes);
    }
    const size_t n = std::min<size_t>(m_cfg.vecCompensation.size(), KxParamPage::c_nCompMaxEntries);
    if (n > 0) {
        uint8_t* p0 = pPage + KxParamPage::c_nCompOffset;
        uint8_t* p = p0;
        PutU32(p, KxParamPage::c_nCompMagic);
        PutU32(p + 4, static_cast<uint32_t>(n));
        p += 8;
        for (size_t i = 0; i < n; ++i, p += 4) memcpy(p, &m_cfg.vecCompensation[i].first, 4);
        for (size_t i = 0; i < n; ++i, p += 4) memcpy(p, &m_cfg.vecCompensation[i].second, 4);
        uint32_t nSum = 0;
        for (uint8_t* q = p0; q < p; ++q) nSum += *q;
        PutU32(p, nSum);
    }
    if (!m_cfg.strStorageFile.empty()) SaveStorageRange(0, c_nStorageBytes);
}

void COrVirtualCamera::SaveStorageRange(unsigned int nAddress, unsigned int nLength) {
    if (m_cfg.strStorageFile.empty()) return;
    std::fstream f(m_cfg.strStorageFile, std::ios::binary | std::ios::in | std::ios::out);
    if (!f) {
        // First write: make the whole file.
        std::ofstream o(m_cfg.strStorageFile, std::ios::binary | std::ios::trunc);
        o.write(reinterpret_cast<const char*>(m_vecStorage.data()), c_nStorageBytes);
        if (!o) OrLog::Print(LogLevel_Warning, "virtual camera %d: cannot write %s", m_nIndex,
                             m_cfg.strStorageFile.c_str());
        return;
    }
    f.seekp(nAddress);
    f.write(reinterpret_cast<const char*>(m_vecStorage.data() + nAddress), nLength);
}

void COrVirtualCamera::SyncInfoBlock() {
    using namespace KxLaserInfo;
    uint8_t* b = m_abyInfo;
    SetWord(b, c_nWordTriggerDynRoi,
            static_cast<uint16_t>((m_nTriggerMode & 0xFF) | ((m_nDynRoi & 0xFF) << 8)));
    SetWord(b, c_nWordExposure, m_nExposure);
    SetWord(b, c_nWordDeviceType, m_cfg.bSmart ? 3 : 2);
    SetWord(b, c_nWordVersion, static_cast<uint16_t>(m_cfg.nVersion));
    SetWord(b, c_nWordWidth, static_cast<uint16_t>(m_cfg.nWidth));
    SetWord(b, c_nWordHeight, static_cast<uint16_t>(m_cfg.nHeight));
    SetWord(b, c_nWordFlags, static_cast<uint16_t>((m_cfg.bLarge ? c_nFlagLargeEye : 0) |
                                                   (m_cfg.bSwingMotor ? c_nFlagSwingMotor : 0)));
    SetWord(b, c_nWordRevision, 0x0102);
    SetWord(b, c_nWordModel, static_cast<uint16_t>(800 + m_cfg.nVersion));
    const int an[8] = {m_sLeft.nLeft, m_sLeft.nRight, m_sLeft.nTop, m_sLeft.nBottom,
                       m_sRight.nLeft, m_sRight.nRight, m_sRight.nTop, m_sRight.nBottom};
    for (int i = 0; i < 8; ++i) SetWord(b, c_nWordLeftRoi + i, static_cast<uint16_t>(an[i]));
    SetWord(b, c_nWordThreshold, m_nThreshold);
    SetWord(b, c_nWordGain, m_nGain);
    SetWord(b, c_nWordImageMode, m_bImages ? 1 : 0);
    SetWord(b, c_nWordFrameRate, m_nFrameRate);
    SetWord(b, c_nWordDenoise, m_nDenoise);
    SetWord(b, c_nWordAccelerator, m_nAccelerator);
    SetWord(b, c_nWordGap, m_nGap);
    SetWord(b, c_nWordBitMode, static_cast<uint16_t>(m_nBitMode));
    PublishWorldLocked();  // the frame rate, exposure or windows may have changed
}

int COrVirtualCamera::Gate(OrEyeTest::Op eOp) {
    std::lock_guard<std::mutex> lock(m_mtx);
    if (m_bOffline) return c_nOrEyeOffline;
    auto& f = m_vecFail[eOp];
    if (f.second > 0) {
        --f.second;
        return f.first;
    }
    return c_nOrEyeOK;
}

// ---- parameters -----------------------------------------------------------------------------

int COrVirtualCamera::GetParam(int nId, void* pData, int nLength) {
    if (pData == nullptr || nLength <= 0) return c_nOrEyeBadArgument;
    std::lock_guard<std::mutex> lock(m_mtx);
    auto fixed = [&](const void* pSrc, int nSize) {
        if (nLength != nSize) return c_nOrEyeBadArgument;
        memcpy(pData, pSrc, static_cast<size_t>(nSize));
        return c_nOrEyeOK;
    };
    auto u16 = [&](uint16_t v) {
        uint8_t ab[2];
        PutU16(ab, v);
        return fixed(ab, 2);
    };
    switch (nId) {
    case 2: return fixed(m_abyMac, 6);
    case 3: return fixed(m_abyDestMac, 6);
    case 4: return fixed(m_abyIp, 4);
    case 5: return fixed(m_abyDestIp, 4);
    case 10: return u16(m_nGap);
    case 34: return u16(m_nFrameRate);
    case 37: return u16(m_nDenoise);
    case 46: return fixed(m_vecParam46.data(), static_cast<int>(m_vecParam46.size()));
    case 47: {
        uint8_t ab[4];
        PutU32(ab, m_nBitMode);
        return fixed(ab, 4);
    }
    case 48: return u16(m_nThreshold);
    case 49: return u16(m_nAccelerator);
    case 50: {
        const uint16_t v = static_cast<uint16_t>(GetGeometry().nFixedDisparity);
        if (nLength == 8) {  // local path form: big-endian value in bytes 0 and 1
            uint8_t ab[8] = {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v & 0xFF)};
            return fixed(ab, 8);
        }
        return u16(v);
    }
    case 51: return u16(m_nDynRoi);
    case 53: return fixed(m_vecParam53.data(), 108);
    case 54: return fixed(m_abyInfo, 52);
    case 56: return fixed(m_vecParam56.data(), 20);
    case 57: return u16(m_nWorkDistance);
    case 58: return u16(m_nSwingMode);
    case 60:
        if (nLength != static_cast<int>(m_vecParam60.size())) return c_nOrEyeBadArgument;
        if (nLength > 0) memcpy(pData, m_vecParam60.data(), m_vecParam60.size());
        return c_nOrEyeOK;
    default:
        OrLog::Print(LogLevel_Warning, "virtual camera %d: GetParam unknown id %d", m_nIndex, nId);
        return c_nOrEyeBadArgument;
    }
}

int COrVirtualCamera::SetParam(int nId, const void* pData, int nLength) {
    if (pData == nullptr || nLength <= 0) return c_nOrEyeBadArgument;
    std::lock_guard<std::mutex> lock(m_mtx);
    auto need = [&](int n) { return nLength == n; };
    int nResult = c_nOrEyeOK;
    switch (nId) {
    case 2: if (!need(6)) return c_nOrEyeBadArgument; memcpy(m_abyMac, pData, 6); break;
    case 3: if (!need(6)) return c_nOrEyeBadArgument; memcpy(m_abyDestMac, pData, 6); break;
    case 4: if (!need(4)) return c_nOrEyeBadArgument; memcpy(m_abyIp, pData, 4); break;
    case 5: if (!need(4)) return c_nOrEyeBadArgument; memcpy(m_abyDestIp, pData, 4); break;
    case 10: if (!need(2)) return c_nOrEyeBadArgument; m_nGap = U16(pData); break;
    case 34: {
        if (!need(2)) return c_nOrEyeBadArgument;
        const uint16_t v = U16(pData);
        if (v == 0 || v > 2000) return c_nOrEyeOutOfRange;
        m_nFrameRate = v;
        break;
    }
    case 37: {
        if (!need(2)) return c_nOrEyeBadArgument;
        const uint16_t v = U16(pData);
        if (v > 1) return c_nOrEyeOutOfRange;
        m_nDenoise = v;
        break;
    }
    case 46:
        if (nLength > 262144) return c_nOrEyeBadArgument;
        memcpy(m_vecParam46.data(), pData, static_cast<size_t>(nLength));
        break;
    case 47:
        if (!need(4)) return c_nOrEyeBadArgument;
        memcpy(&m_nBitMode, pData, 4);
        break;
    case 48: if (!need(2)) return c_nOrEyeBadArgument; m_nThreshold = U16(pData); break;
    case 49: if (!need(2)) return c_nOrEyeBadArgument; m_nAccelerator = U16(pData); break;
    case 51: {
        if (!need(2)) return c_nOrEyeBadArgument;
        const uint16_t v = U16(pData);
        if (v != 0 && v != 2) return c_nOrEyeOutOfRange;
        if (m_cfg.nVersion <= 4) return c_nOrEyeNotSupported;
        m_nDynRoi = v;
        break;
    }
    case 53: if (!need(108)) return c_nOrEyeBadArgument; memcpy(m_vecParam53.data(), pData, 108); break;
    case 56: if (!need(20)) return c_nOrEyeBadArgument; memcpy(m_vecParam56.data(), pData, 20); break;
    case 57: if (!need(2)) return c_nOrEyeBadArgument; m_nWorkDistance = U16(pData); break;
    case 58: {
        if (!need(2)) return c_nOrEyeBadArgument;
        if (!m_cfg.bSwingMotor) return c_nOrEyeNotSupported;
        // Bit 1 tells whether a motor is fitted: that is the camera's, not the caller's.
        m_nSwingMode = static_cast<uint16_t>((U16(pData) & 0x5) | 0x2);
        break;
    }
    case 60:
        if (nLength > 65536) return c_nOrEyeBadArgument;
        m_vecParam60.assign(static_cast<const uint8_t*>(pData), static_cast<const uint8_t*>(pData) + nLength);
        break;
    case 50:
    case 54:
        return c_nOrEyeNotSupported;  // read-only
    default:
        OrLog::Print(LogLevel_Warning, "virtual camera %d: SetParam unknown id %d", m_nIndex, nId);
        return c_nOrEyeBadArgument;
    }
    if (nId != 46)  // the 256 KiB block is kept once, in m_vecParam46
        m_mapParams[nId].assign(static_cast<const uint8_t*>(pData),
                                static_cast<const uint8_t*>(pData) + nLength);
    else
        m_mapParams[nId].assign(1, 1);
    SyncInfoBlock();
    return nResult;
}

int COrVirtualCamera::WriteRegister(int nTarget, unsigned int nAddress, const void* pData, int nLength) {
    if (pData == nullptr || nLength <= 0) return c_nOrEyeBadArgument;
    std::lock_guard<std::mutex> lock(m_mtx);
    if (nTarget == 1 && nAddress == 0) {
        if (nLength != 4) return c_nOrEyeBadArgument;
        m_nExposure = U16(static_cast<const uint8_t*>(pData) + 2);
    } else if (nTarget == 13 && nAddress == 0) {
        if (nLength != 2) return c_nOrEyeBadArgument;
        m_nTriggerMode = U16(pData);
    } else if (nTarget == 14 && nAddress == 0x3204) {
        if (nLength != 2) return c_nOrEyeBadArgument;
        m_nGain = U16(pData);
    } else {
        OrLog::Print(LogLevel_Warning, "virtual camera %d: WriteRegister unknown target %d address 0x%x",
                     m_nIndex, nTarget, nAddress);
        return c_nOrEyeBadArgument;
    }
    m_mapRegisters[std::make_pair(nTarget, nAddress)].assign(
        static_cast<const uint8_t*>(pData), static_cast<const uint8_t*>(pData) + nLength);
    SyncInfoBlock();
    return c_nOrEyeOK;
}

OrEyeTest::Geometry COrVirtualCamera::GetGeometry() {
    OrEyeTest::Geometry g;
    g.dFocal = 1.25 * m_cfg.nWidth;
    g.dCx = m_cfg.nWidth / 2.0;
    g.dCy = m_cfg.nHeight / 2.0;
    g.dBaseline = c_dBaseline;
    g.dBelt = c_dBelt;
    g.nFixedDisparity = static_cast<int>(std::lround(g.dFocal * c_dBaseline / c_dBelt));
    return g;
}

int COrVirtualCamera::GetQMatrix(double* pdQ16) {
    if (pdQ16 == nullptr) return c_nOrEyeBadArgument;
    if (m_cfg.pRecording) {
        memcpy(pdQ16, m_cfg.pRecording->sHeader.adQ, sizeof(m_cfg.pRecording->sHeader.adQ));
        return c_nOrEyeOK;
    }
    const OrEyeTest::Geometry g = GetGeometry();
    const double adQ[16] = {1, 0, 0, -g.dCx, 0, 1, 0, -g.dCy, 0, 0, 0, g.dFocal,
                            0, 0, -1.0 / g.dBaseline, 0};
    memcpy(pdQ16, adQ, sizeof(adQ));
    return c_nOrEyeOK;
}

int COrVirtualCamera::ReadProduct(int nItem, void* pData, int nLength) {
    if (pData == nullptr) return c_nOrEyeBadArgument;
    std::lock_guard<std::mutex> lock(m_mtx);
    if (nItem == 2 && nLength == 16) {
        memcpy(pData, m_szDeviceId, 16);
        return c_nOrEyeOK;
    }
    if (nItem == 4 && nLength == 8) {
        memcpy(pData, m_szSerial, 8);
        return c_nOrEyeOK;
    }
    return c_nOrEyeBadArgument;
}

int COrVirtualCamera::WriteProduct(int nItem, const void* pData, int nLength) {
    if (pData == nullptr) return c_nOrEyeBadArgument;
    std::lock_guard<std::mutex> lock(m_mtx);
    if (nItem == 2 && nLength == 16) {
        memcpy(m_szDeviceId, pData, 16);
        return c_nOrEyeOK;
    }
    if (nItem == 4 && nLength == 8) {
        memcpy(m_szSerial, pData, 8);
        return c_nOrEyeOK;
    }
    return c_nOrEyeBadArgument;
}

int COrVirtualCamera::SetROI(int nLeftX, int nLeftY, int nRightX, int nRightY, int nWidth, int nHeight) {
    const int nW = static_cast<int>(m_cfg.nWidth), nH = static_cast<int>(m_cfg.nHeight);
    // The camera applies the left width and height to both windows.
    if (nWidth <= 0 || nHeight <= 0 || nLeftX < 0 || nLeftY < 0 || nRightX < 0 || nRightY < 0 ||
        nWidth > nW || nHeight > nH || nLeftX > nW - nWidth || nRightX > nW - nWidth ||
        nLeftY > nH - nHeight || nRightY > nH - nHeight)
        return c_nOrEyeOutOfRange;
    std::lock_guard<std::mutex> lock(m_mtx);
    m_sLeft = SRoi{nLeftX, nLeftX + nWidth, nLeftY, nLeftY + nHeight};
    m_sRight = SRoi{nRightX, nRightX + nWidth, nRightY, nRightY + nHeight};
    SyncInfoBlock();
    return c_nOrEyeOK;
}

int COrVirtualCamera::SetROIMode(int nOn) {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_nROIMode = nOn;
    return c_nOrEyeOK;
}

int COrVirtualCamera::EnableDevice(int nOn) {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_nEnabled = nOn;
    return c_nOrEyeOK;
}

int COrVirtualCamera::SetTriggerN(unsigned int nA, unsigned int nB) {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_nTrigA = nA;
    m_nTrigB = nB;
    PublishWorldLocked();  // the trigger delay moves a world camera's frame grid
    return c_nOrEyeOK;
}

int COrVirtualCamera::SetOptionEx(int nFlag, int nValue, int nValue2) {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_mapOptions[nFlag] = std::make_pair(nValue, nValue2);
    return c_nOrEyeOK;
}

int COrVirtualCamera::SetOption(int nFlag, int nValue) {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_mapOptions[nFlag] = std::make_pair(nValue, 0);
    return c_nOrEyeOK;
}

int COrVirtualCamera::SetFeature(int nFlag, int nA, int nB) {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_mapFeatures[nFlag] = std::make_pair(nA, nB);
    return c_nOrEyeOK;
}

int COrVirtualCamera::ExtendedCommand(int, void*, int, void*, int) {
    // No extended command is defined for the virtual camera.
    return c_nOrEyeNotSupported;
}

int COrVirtualCamera::VersionText(char* pszText, int nLength) {
    if (pszText == nullptr || nLength <= 0) return c_nOrEyeBadArgument;
    snprintf(pszText, static_cast<size_t>(nLength), "OrEyeApi virtual %s eye v%d fw 1.2.%d",
             m_cfg.bSmart ? "smart" : "laser", m_cfg.nVersion, m_nIndex);
    return c_nOrEyeOK;
}

// ---- storage --------------------------------------------------------------------------------

int COrVirtualCamera::WriteStorage(unsigned int nAddress, const void* pData, unsigned int nLength) {
    if (pData == nullptr || nLength == 0) return c_nOrEyeBadArgument;
    if (nAddress >= c_nStorageBytes || nLength > c_nStorageBytes - nAddress) return c_nOrEyeOutOfRange;
    std::lock_guard<std::mutex> lock(m_mtx);
    memcpy(m_vecStorage.data() + nAddress, pData, nLength);
    SaveStorageRange(nAddress, nLength);
    return c_nOrEyeOK;
}

int COrVirtualCamera::ReadStorage(unsigned int nAddress, void* pData, unsigned int nLength) {
    if (pData == nullptr || nLength == 0) return c_nOrEyeBadArgument;
    if (nAddress >= c_nStorageBytes || nLength > c_nStorageBytes - nAddress) return c_nOrEyeOutOfRange;
    std::lock_guard<std::mutex> lock(m_mtx);
    if (m_bFailStorageRead) return c_nOrEyeIoError;
    memcpy(pData, m_vecStorage.data() + nAddress, nLength);
    return c_nOrEyeOK;
}

// ---- swing motor controller -----------------------------------------------------------------

void COrVirtualCamera::AdvanceMotor(std::chrono::steady_clock::time_point tNow) {
    SMotor& m = m_sMotor;
    double dStep = std::chrono::duration<double>(tNow - m.tLast).count() * m.nSpeed;  // tenths
    m.tLast = tNow;
    auto approach = [&](double dTo) {
        if (std::fabs(dTo - m.dPos) <= dStep) {
            dStep -= std::fabs(dTo - m.dPos);
            m.dPos = dTo;
            return true;
        }
        m.dPos += dTo > m.dPos ? dStep : -dStep;
        dStep = 0;
        return false;
    };
    if (m.bMoving && approach(m.dTarget)) m.bMoving = false;
    if (!m.bMoving && m.bArmed && !m.bSweeping && m_bStreamRun && m.dPos == m.nRangeStart &&
        m.nSweepDir == 0) {
        // Armed and waiting at the origin: the sweep runs with the stream.
        m.bSweeping = true;
        m.nSweepDir = 1;
    }
    while (m.bSweeping && dStep > 0) {
        const double dTo = m.nSweepDir > 0 ? m.nRangeEnd : m.nRangeStart;
        if (!approach(dTo)) break;
        if ((m_nSwingMode & 0x4) != 0) {  // sweep mode 1: one pass, then the end mark
            m.bSweeping = false;
            m.bEndMark = true;
            m.nSweepDir = 1;
            break;
        }
        m.nSweepDir = -m.nSweepDir;
    }
}

uint16_t COrVirtualCamera::MotorStatus() {
    const SMotor& m = m_sMotor;
    return static_cast<uint16_t>(0x8000 | ((m.bMoving || m.bSweeping) ? 0x4000 : 0) |
                                 (m.bArmed ? 0x2 : 0) | m.nFault);
}

int COrVirtualCamera::ExecuteCustomCommand(const unsigned short* pRecord5, void* pReply) {
    if (pRecord5 == nullptr || pReply == nullptr) return c_nOrEyeBadArgument;
    std::lock_guard<std::mutex> lock(m_mtx);
    if (!m_cfg.bSwingMotor) return c_nOrEyeNotSupported;
    SMotor& m = m_sMotor;
    AdvanceMotor(std::chrono::steady_clock::now());
    const bool bValue = pRecord5[0] == 1;
    const uint32_t nValue = static_cast<uint32_t>(pRecord5[3]) | (static_cast<uint32_t>(pRecord5[4]) << 16);
    uint32_t nReply = 0;
    auto needValue = [&]() { return bValue; };
    switch (pRecord5[1]) {
    case 1: m.bArmed = true; break;
    case 2: m.bArmed = false; m.bSweeping = false; m.nSweepDir = 1; m.bMoving = false; break;
    case 3:
        if (!needValue() || nValue > 1000) return c_nOrEyeOutOfRange;
        m.nLight = nValue;
        break;
    case 30: nReply = m.nLight; break;
    case 27: nReply = c_nMotorMaxTenths; break;
    case 21:
    case 22:
        if (!needValue() || nValue > c_nMotorMaxTenths) return c_nOrEyeOutOfRange;
        (pRecord5[1] == 21 ? m.nRangeStart : m.nRangeEnd) = nValue;
        break;
    case 28: nReply = m.nRangeStart; break;
    case 29: nReply = m.nRangeEnd; break;
    case 9:
        if (!needValue() || nValue > c_nMotorMaxTenths) return c_nOrEyeOutOfRange;
        m.bSweeping = false;
        m.dTarget = nValue;
        m.bMoving = true;
        m.nSweepDir = 1;
        break;
    case 23:  // home: the range start, where a sweep begins
        m.bSweeping = false;
        m.dTarget = m.nRangeStart;
        m.bMoving = true;
        m.nSweepDir = 0;  // a sweep may start once there
        break;
    case 17: m.bSweeping = false; m.nSweepDir = 1; break;  // end the sweep travel where it is
    case 18: nReply = static_cast<uint32_t>(std::lround(m.dPos * 16384.0 / 7200.0)); break;
    case 8:
        if (!needValue() || nValue == 0 || nValue > 100000) return c_nOrEyeOutOfRange;
        m.nSpeed = nValue;
        break;
    case 31: nReply = m.nSpeed; break;
    case 32: nReply = c_nMotorPulseCount; break;
    case 34: m.nReg18 = nValue; break;
    case 15: nReply = MotorStatus(); break;
    case 10: case 11: case 12: case 26: case 25: break;
    case 36: nReply = c_nMotorVersion; break;
    case 39: m.bSwitch27 = true; break;
    case 40: m.bSwitch27 = false; break;
    default:
        OrLog::Print(LogLevel_Warning, "virtual camera %d: unknown motor register code %u", m_nIndex,
                     static_cast<unsigned>(pRecord5[1]));
        return c_nOrEyeBadArgument;
    }
    memcpy(pReply, &nReply, 4);
    return c_nOrEyeOK;
}

// ---- control of tests -----------------------------------------------------------------------

void COrVirtualCamera::FailNext(OrEyeTest::Op eOp, int nCode, unsigned int n) {
    if (eOp < 0 || eOp >= OrEyeTest::Op_Count) return;
    std::lock_guard<std::mutex> lock(m_mtx);
    m_vecFail[eOp] = std::make_pair(nCode, n);
}

void COrVirtualCamera::FailStorageRead(bool bFail) {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_bFailStorageRead = bFail;
}

void COrVirtualCamera::SetMotorStatusFault(uint16_t nBits) {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_sMotor.nFault = static_cast<uint16_t>(nBits & 0x167C);
}

void COrVirtualCamera::SetTriggerPattern(const std::vector<bool>& vecPattern) {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_vecTrigger = vecPattern;
}

OrEyeTest::Counters COrVirtualCamera::GetCounters() {
    std::lock_guard<std::mutex> lock(m_mtx);
    OrEyeTest::Counters c{};
    c.nFramesProduced = m_nProducedCount;
    c.nFramesDropped = m_nDropped;
    c.nFramesDelivered = m_nDelivered;
    c.nBuffersOut = m_nBufOut;
    c.nBuffersReturned = m_nBufBack;
    c.nBadReleases = m_nBadRelease;
    for (const auto& b : m_mapBuffers) {
        if (b.second->bOut) ++c.nBuffersHeld;
        if (!b.second->bRetired) ++c.nPoolBuffers;
    }
    c.nPoolBuffers = std::max(c.nPoolBuffers, m_nPoolCount);
    return c;
}

bool COrVirtualCamera::GetLastParam(int nId, std::vector<uint8_t>* pValue) {
    std::lock_guard<std::mutex> lock(m_mtx);
    auto it = m_mapParams.find(nId);
    if (it == m_mapParams.end()) return false;
    if (pValue != nullptr) *pValue = nId == 46 ? m_vecParam46 : it->second;
    return true;
}

bool COrVirtualCamera::GetLastRegister(int nTarget, unsigned int nAddress, std::vector<uint8_t>* pValue) {
    std::lock_guard<std::mutex> lock(m_mtx);
    auto it = m_mapRegisters.find(std::make_pair(nTarget, nAddress));
    if (it == m_mapRegisters.end()) return false;
    if (pValue != nullptr) *pValue = it->second;
    return true;
}

bool COrVirtualCamera::GetOption(int nFlag, int* pnValue, int* pnValue2) {
    std::lock_guard<std::mutex> lock(m_mtx);
    auto it = m_mapOptions.find(nFlag);
    if (it == m_mapOptions.end()) return false;
    if (pnValue) *pnValue = it->second.first;
    if (pnValue2) *pnValue2 = it->second.second;
    return true;
}

bool COrVirtualCamera::GetFeature(int nFlag, int* pnA, int* pnB) {
    std::lock_guard<std::mutex> lock(m_mtx);
    auto it = m_mapFeatures.find(nFlag);
    if (it == m_mapFeatures.end()) return false;
    if (pnA) *pnA = it->second.first;
    if (pnB) *pnB = it->second.second;
    return true;
}

void COrVirtualCamera::GetTriggerN(unsigned int* pnA, unsigned int* pnB) {
    std::lock_guard<std::mutex> lock(m_mtx);
    if (pnA) *pnA = m_nTrigA;
    if (pnB) *pnB = m_nTrigB;
}

int COrVirtualCamera::GetROIMode() {
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_nROIMode;
}

int COrVirtualCamera::GetDeviceEnabled() {
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_nEnabled;
}

double COrVirtualCamera::GetMotorPositionTenths() {
    std::lock_guard<std::mutex> lock(m_mtx);
    AdvanceMotor(std::chrono::steady_clock::now());
    return m_sMotor.dPos;
}

bool COrVirtualCamera::IsSweeping() {
    std::lock_guard<std::mutex> lock(m_mtx);
    AdvanceMotor(std::chrono::steady_clock::now());
    return m_sMotor.bSweeping;
}

bool COrVirtualCamera::GetPose(OrEyeTest::Pose* pPose) {
    if (pPose != nullptr) *pPose = OrEyeTest::Pose{m_cfg.sPose.dX, m_cfg.sPose.dY, m_cfg.sPose.dZ, m_cfg.sPose.dRoll};
    return m_cfg.bWorld;
}

// ---- the shared world -----------------------------------------------------------------------

namespace {
std::mutex g_mtxWorld;
// Never destroyed: cameras may withdraw while the process exits.
std::vector<SOrWorldCamera>* g_pWorld = new std::vector<SOrWorldCamera>();
}  // namespace

namespace OrVirtualWorld {
void Publish(const SOrWorldCamera& s) {
    std::lock_guard<std::mutex> lock(g_mtxWorld);
    for (SOrWorldCamera& w : *g_pWorld)
        if (w.pId == s.pId) {
            w = s;
            return;
        }
    g_pWorld->push_back(s);
}

void Withdraw(const void* pId) {
    std::lock_guard<std::mutex> lock(g_mtxWorld);
    for (auto it = g_pWorld->begin(); it != g_pWorld->end(); ++it)
        if (it->pId == pId) {
            g_pWorld->erase(it);
            return;
        }
}

std::vector<SOrWorldCamera> Others(const void* pId) {
    std::lock_guard<std::mutex> lock(g_mtxWorld);
    std::vector<SOrWorldCamera> v;
    for (const SOrWorldCamera& w : *g_pWorld)
        if (w.pId != pId) v.push_back(w);
    return v;
}
}  // namespace OrVirtualWorld

void COrVirtualCamera::Reset() {
    std::unique_lock<std::mutex> lock(m_mtx);
    StopStream(lock);
    m_pfnCallback = nullptr;
    m_pCallbackContext = nullptr;
    m_pCallbackOwner = nullptr;
    ResetLocked();
}
