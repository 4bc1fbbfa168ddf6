// KxPositionEncoderManager: turns the words of a rotary position encoder (a measuring wheel) into
// a travelled distance and linear and angular speeds. Plain arithmetic over its own state: no
// hardware, no lock; callers serialise.
#pragma once

#include <cstdint>

// One reading of the encoder and the times at which positions are wanted.
struct SKxEncoderPosition {
    uint64_t ullTime;   // microseconds, same clock as the sample times
    double dPosition;   // written by the manager
};

struct SKxEncoderSample {
    uint32_t nWord0;    // encoder word at the start
    uint32_t nWord1;    // encoder word at the end (pair operation only)
    uint64_t ullTime0;  // microseconds
    uint64_t ullTime1;  // microseconds
    uint32_t nEntryCount;
    SKxEncoderPosition* pEntries;
};

class KxPositionEncoderManager {
public:
    // Local codes; ConvertCode adds the error base to the non-zero ones.
    static const int c_nCodeOk = 0;
    static const int c_nCodeBadArgument = 1;
    static const int c_nCodeNoPulses = 2;
    // The circumference uses this constant, not 2 pi to full precision.
    static constexpr double c_dTwoPi = 6.2831852;

    KxPositionEncoderManager() = default;
    virtual ~KxPositionEncoderManager() = default;
    virtual int32_t ConvertCode(int nCode);

    int32_t SetErrorBase(int nBase);
    int32_t ResetCounter();
    int32_t SetPulsePerRound(unsigned int nPulses);
    int32_t GetPulsePerRound(int* pnPulses);
    int32_t SetWheelRadius(double dRadius);
    int32_t GetWheelRadius(double* pdRadius);
    int32_t SetCounterBits(unsigned int nBits);
    // The count field of an encoder word: bits 0 to nBits - 1 hold the count, which wraps at
    // 1 << nBits. Sets the counter width, its range and the count mask together (1 to 31; the
    // direction stays in bit 31). Cameras below hardware version 7 count in 19 bits.
    int32_t SetCountField(unsigned int nBits);
    uint32_t GetCountMask() const { return m_nCountMask; }
    int32_t GetCounterBits(int* pnBits);
    int32_t SetReverse(bool bReverse);
    bool IsReverse() const { return m_bReverse; }
    int32_t GetSpeeds(double* pdLinear, double* pdAngular);
    int32_t ProcessSample(SKxEncoderSample* pSample);
    int32_t ProcessSamplePair(SKxEncoderSample* pSample);

    // Read-only views for diagnostics and tests.
    double GetCircumference() const { return m_dCircumference; }
    int64_t GetTotalPulses() const { return m_llTotalPulses; }
    uint32_t GetLastCount() const { return m_nLastCount; }
    uint32_t GetLastDir() const { return m_nLastDir; }
    uint64_t GetCounterRange() const { return m_ullCounterRange; }

private:
    // Counts one encoder word into the running total; answers the position and the signed
    // pulse change of this step.
    double Count(uint32_t nWord, int64_t* pllDelta);

    int32_t m_nErrorBase = 0;
    bool m_bReverse = false;
    uint32_t m_nPulsePerRound = 2000;
    double m_dWheelRadius = 0.0;
    double m_dCircumference = 0.0;
    double m_dLinearSpeed = 0.0;
    double m_dAngularSpeed = 0.0;
    int32_t m_nCounterBits = 29;
    uint64_t m_ullCounterRange = 0x20000000ull;
    uint32_t m_nCountMask = 0x1FFFFFFFu;
    uint32_t m_nDirMask = 0x80000000u;
    int32_t m_nDirShift = 31;
    uint32_t m_nLastDir = 0;
    uint32_t m_nLastCount = 0;
    int64_t m_llTotalPulses = 0;
};
