// Position encoder arithmetic: wrap-aware pulse counting, positions and speeds.
#include "kxpositionencodermanager.h"

#include <cstdio>

namespace {
// The counter wraps silently; an end time not after the start divides by the largest span.
const double c_dNoSpan = 4294967295.0;

// Low 32 bits of a time difference, read as a signed value.
int32_t LowSigned(uint64_t ullTime, uint64_t ullStart) {
    return static_cast<int32_t>(static_cast<uint32_t>(ullTime - ullStart));
}
}  // namespace

int32_t KxPositionEncoderManager::ConvertCode(int nCode) {
    return nCode == 0 ? 0 : nCode + m_nErrorBase;
}

int32_t KxPositionEncoderManager::SetErrorBase(int nBase) {
    m_nErrorBase = nBase;
    return ConvertCode(c_nCodeOk);
}

int32_t KxPositionEncoderManager::ResetCounter() {
    // The direction of the last pair is kept: only the count starts anew.
    m_nLastCount = 0;
    m_llTotalPulses = 0;
    m_dLinearSpeed = 0.0;
    m_dAngularSpeed = 0.0;
    return ConvertCode(c_nCodeOk);
}

int32_t KxPositionEncoderManager::SetPulsePerRound(unsigned int nPulses) {
    // 0 is stored as given; the sample operations refuse to divide by it.
    m_nPulsePerRound = nPulses;
    return ConvertCode(c_nCodeOk);
}

int32_t KxPositionEncoderManager::GetPulsePerRound(int* pnPulses) {
    if (pnPulses) *pnPulses = static_cast<int>(m_nPulsePerRound);
    return ConvertCode(c_nCodeOk);
}

int32_t KxPositionEncoderManager::SetWheelRadius(double dRadius) {
    m_dWheelRadius = dRadius;
    m_dCircumference = c_dTwoPi * dRadius;
    return ConvertCode(c_nCodeOk);
}

int32_t KxPositionEncoderManager::GetWheelRadius(double* pdRadius) {
    if (pdRadius) *pdRadius = m_dWheelRadius;
    return ConvertCode(c_nCodeOk);
}

int32_t KxPositionEncoderManager::SetCounterBits(unsigned int nBits) {
    if (nBits == 0 || nBits >= 63) return ConvertCode(c_nCodeBadArgument);
    m_nCounterBits = static_cast<int32_t>(nBits);
    m_ullCounterRange = 1ull << nBits;
    return ConvertCode(c_nCodeOk);
}

int32_t KxPositionEncoderManager::SetCountField(unsigned int nBits) {
    if (nBits == 0 || nBits >= 32) return ConvertCode(c_nCodeBadArgument);
    m_nCounterBits = static_cast<int32_t>(nBits);
    m_ullCounterRange = 1ull << nBits;
    m_nCountMask = static_cast<uint32_t>(m_ullCounterRange - 1);
    return ConvertCode(c_nCodeOk);
}

int32_t KxPositionEncoderManager::GetCounterBits(int* pnBits) {
    if (pnBits) *pnBits = m_nCounterBits;
    return ConvertCode(c_nCodeOk);
}

int32_t KxPositionEncoderManager::SetReverse(bool bReverse) {
    m_bReverse = bReverse;
    return 0;
}

int32_t KxPositionEncoderManager::GetSpeeds(double* pdLinear, double* pdAngular) {
    if (pdLinear) *pdLinear = m_dLinearSpeed;
    if (pdAngular) *pdAngular = m_dAngularSpeed;
    return ConvertCode(c_nCodeOk);
}

double KxPositionEncoderManager::Count(uint32_t nWord, int64_t* pllDelta) {
    const uint32_t nCount = nWord & m_nCountMask;
    const uint32_t nDir = (nWord & m_nDirMask) >> m_nDirShift;
    int64_t llDelta;
    if (m_nLastCount <= nCount) {
        llDelta = static_cast<int64_t>(nCount) - static_cast<int64_t>(m_nLastCount);
    } else {
        // The hardware counter wrapped between the two words.
        llDelta = static_cast<int64_t>(m_ullCounterRange - m_nLastCount + nCount);
    }
    m_nLastCount = nCount;
    if (nDir != 0) llDelta = -llDelta;
    m_llTotalPulses += llDelta;
    if (pllDelta) *pllDelta = llDelta;
    // Reverse negates the position, not the accumulated pulses.
    const double dPosition = static_cast<double>(m_llTotalPulses) /
                             static_cast<double>(m_nPulsePerRound) * m_dCircumference;
    return m_bReverse ? -dPosition : dPosition;
}

int32_t KxPositionEncoderManager::ProcessSample(SKxEncoderSample* pSample) {
    if (!pSample) return ConvertCode(c_nCodeOk);
    if (m_nPulsePerRound == 0) {
        std::printf("PulsePerRound Is 0!!!\n");
        std::fflush(stdout);
        return ConvertCode(c_nCodeNoPulses);
    }
    const double dPosition = Count(pSample->nWord0, nullptr);
    if (pSample->pEntries) {
        for (uint32_t i = 0; i < pSample->nEntryCount; ++i) {
            SKxEncoderPosition& entry = pSample->pEntries[i];
            const int32_t nDt = LowSigned(entry.ullTime, pSample->ullTime0);
            entry.dPosition = dPosition + nDt * m_dLinearSpeed / 1000000.0;
        }
    }
    return ConvertCode(c_nCodeOk);
}

int32_t KxPositionEncoderManager::ProcessSamplePair(SKxEncoderSample* pSample) {
    if (!pSample) return ConvertCode(c_nCodeOk);
    if (m_nPulsePerRound == 0) return ConvertCode(c_nCodeNoPulses);
    m_nLastDir = (pSample->nWord1 & m_nDirMask) >> m_nDirShift;
    const double dPos0 = Count(pSample->nWord0, nullptr);
    int64_t llDelta1 = 0;
    const double dPos1 = Count(pSample->nWord1, &llDelta1);
    double dDt = c_dNoSpan;
    if (pSample->ullTime1 > pSample->ullTime0) {
        const uint32_t nLow = static_cast<uint32_t>(pSample->ullTime1 - pSample->ullTime0);
        // A span of a multiple of 2^32 µs has zero low bits: treat it as the largest span.
        if (nLow != 0) dDt = static_cast<double>(nLow);
    }
    m_dLinearSpeed = (dPos1 - dPos0) * 1000000.0 / dDt;
    // Pulses per round times the span overflows 32 bits after about two seconds at 2000
    // pulses per round, so the product is formed in double precision.
    m_dAngularSpeed = static_cast<double>(llDelta1) * 360.0 * 1000000.0 /
                      (static_cast<double>(m_nPulsePerRound) * dDt);
    if (pSample->pEntries) {
        for (uint32_t i = 0; i < pSample->nEntryCount; ++i) {
            SKxEncoderPosition& entry = pSample->pEntries[i];
            const int32_t nDt = LowSigned(entry.ullTime, pSample->ullTime0);
            entry.dPosition = nDt != 0 ? dPos0 + nDt * (dPos1 - dPos0) / dDt : dPos0;
        }
    }
    return ConvertCode(c_nCodeOk);
}
