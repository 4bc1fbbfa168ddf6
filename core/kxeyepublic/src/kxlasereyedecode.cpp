// Point decoding of the raw laser frame into the seven output formats.
//
// Decoding is the hot path of every frame, so it is laid out for the vectoriser: the sampled
// records are processed in chunks; per chunk one arithmetic pass reads each raw record exactly
// once into small column arrays, optional passes (compensation, transform, filters) run only
// when switched on, and a final pass compacts the kept points into the output records. Every
// (format, conversion) pair is its own instantiation, so nothing in a point loop depends on the
// format. Divisions stay divisions: a reciprocal would change the results. Only the divisions
// by powers of two (1024, 256, -2) become multiplications by their exact reciprocals, which give
// the same bits and spare the divider, the bottleneck of this loop.
#include <cmath>
#include <cstring>

#include "kxlasereyeinnerutils.h"

// Run-time choice of the widest instruction set on x86-64 ELF builds with GCC. Results do not
// depend on it: contraction is off and every operation used is correctly rounded.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__ELF__) && \
    !defined(KX_NO_TARGET_CLONES)
#define KX_DECODE_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define KX_DECODE_CLONES
#endif

#if defined(__GNUC__)
#define KX_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define KX_ALWAYS_INLINE inline
#endif

namespace {

const int c_nChunk = 256;

// Exact reciprocals of powers of two: multiplying by them equals dividing, bit for bit.
const double c_dInv1024 = 1.0 / 1024.0;
const double c_dInv256 = 1.0 / 256.0;

// Column arrays of one chunk. R is the coordinate type of the format.
template <typename R>
struct SChunk {
    R x[c_nChunk];
    R y[c_nChunk];
    R z[c_nChunk];
    int32_t row[c_nChunk];
    int32_t lcol[c_nChunk];
    int32_t rcol[c_nChunk];
    int32_t keep[c_nChunk];
};

// The decode inputs after validation; coordinate parameters already in the format's precision.
template <typename R>
struct SDecodeArgs {
    const uint8_t* pRecords;
    int nSampled;  // records taken after sampling
    int nStep;
    const SKxCompensateEntry* pComp;
    uint32_t nCompCount;
    int32_t nRightColumnOffset;
    R offX, offY, offZ;
    double dColumnOrigin, dRowOrigin, dFocal;
    bool bTransform;
    R r[9];
    R refZ, scaleZ, xOffset;
    R refX, refXRange;  // rounded to single precision first, then widened for double formats
    int32_t nFilterFlags;
    double dYMin, dYMax, dZMin, dZMax, dXMin, dXMax;
    bool bMirrorY;
};

struct ConvDisparity {
    static KX_ALWAYS_INLINE double Apply(int32_t nSigned, int32_t h) {
        return static_cast<double>(nSigned) / static_cast<double>(h) * -0.5;  // exact: / -2.0
    }
};
struct ConvThousandths {
    static KX_ALWAYS_INLINE double Apply(int32_t nSigned, int32_t) {
        return static_cast<double>(nSigned) / 1000.0;
    }
};

// Output writers, one per record layout.
struct WriterF0 {
    typedef double Real;
    static KX_ALWAYS_INLINE void Write(void* pPoints, void* pPixels, int n, double x, double y,
                                       double z, int32_t row, int32_t lcol, int32_t rcol) {
        SKxLaserPoint3D0* p = static_cast<SKxLaserPoint3D0*>(pPoints) + n;
        SKxLaserPixel0* q = static_cast<SKxLaserPixel0*>(pPixels) + n;
        p->nIndex = n;
        p->dX = x;
        p->dY = y;
        p->dZ = z;
        q->nIndex = n;
        q->nLeftCol = lcol;
        q->nLeftRow = row;
        q->nRightCol = rcol;
        q->nRightRow = row;
    }
};
template <typename P>
struct WriterFloat {
    typedef float Real;
    static KX_ALWAYS_INLINE void Write(void* pPoints, void* pPixels, int n, float x, float y,
                                       float z, int32_t row, int32_t lcol, int32_t rcol) {
        P* p = static_cast<P*>(pPoints) + n;
        SKxLaserPixel* q = static_cast<SKxLaserPixel*>(pPixels) + n;
        p->fX = x;
        p->fY = y;
        p->fZ = z;
        q->nLeftCol = lcol;
        q->nLeftRow = row;
        q->nRightCol = rcol;
        q->nRightRow = row;
    }
};
struct WriterF6 {
    typedef double Real;
    static KX_ALWAYS_INLINE void Write(void* pPoints, void* pPixels, int n, double x, double y,
                                       double z, int32_t row, int32_t lcol, int32_t rcol) {
        SKxLaserPoint3D* p = static_cast<SKxLaserPoint3D*>(pPoints) + n;
        SKxLaserPixel* q = static_cast<SKxLaserPixel*>(pPixels) + n;
        p->dX = x;
        p->dY = y;
        p->dZ = z;
        q->nLeftCol = lcol;
        q->nLeftRow = row;
        q->nRightCol = rcol;
        q->nRightRow = row;
    }
};

// Pass 1: conversion, image positions, coordinate offset, the Z >= 0 rule. Reads each sampled
// raw record once.
template <typename R, typename Conv>
KX_ALWAYS_INLINE void ConvertChunk(const SDecodeArgs<R>& a, int nFirst, int nLen, SChunk<R>& c) {
    const uint8_t* pRec = a.pRecords + static_cast<size_t>(nFirst) * a.nStep * c_nKxLaserRecordBytes;
    const size_t nStride = static_cast<size_t>(a.nStep) * c_nKxLaserRecordBytes;
    for (int i = 0; i < nLen; ++i, pRec += nStride) {
        const int32_t h = static_cast<int32_t>(KxReadLe32(pRec));
        const R z = static_cast<R>(Conv::Apply(KxSignMagnitude(KxReadLe32(pRec + 4)), h));
        const R y = static_cast<R>(Conv::Apply(KxSignMagnitude(KxReadLe32(pRec + 8)), h));
        const R x = static_cast<R>(Conv::Apply(KxSignMagnitude(KxReadLe32(pRec + 12)), h));
        const double dz = z;
        c.row[i] = KxTruncToInt32((a.dRowOrigin + (static_cast<double>(y) / dz * a.dFocal + 512.0)) * c_dInv1024);
        const int32_t nLeft =
            KxTruncToInt32((a.dColumnOrigin + (static_cast<double>(x) / dz * a.dFocal + 512.0)) * c_dInv1024);
        c.lcol[i] = nLeft;
        // Wrapping arithmetic: an out-of-range column must not overflow a signed int.
        c.rcol[i] = static_cast<int32_t>(static_cast<uint32_t>(nLeft) -
                                         static_cast<uint32_t>(KxTruncToInt32(h * c_dInv256)) +
                                         static_cast<uint32_t>(a.nRightColumnOffset));
        const R zo = z + a.offZ;
        c.x[i] = x + a.offX;
        c.y[i] = y + a.offY;
        c.z[i] = zo;
        c.keep[i] = !(zo < R(0));
    }
}

// Pass 2 (only with a table): the first entry with fFrom <= Z < fTo adds its fAdd.
template <typename R>
KX_ALWAYS_INLINE void CompensateChunk(const SDecodeArgs<R>& a, int nLen, SChunk<R>& c) {
    for (int i = 0; i < nLen; ++i) {
        R z = c.z[i];
        for (uint32_t j = 0; j < a.nCompCount; ++j) {
            const SKxCompensateEntry& e = a.pComp[j];
            if (static_cast<R>(e.fFrom) <= z && z < static_cast<R>(e.fTo)) {
                z = z + static_cast<R>(e.fAdd);
                break;
            }
        }
        c.z[i] = z;
    }
}

// Pass 3 (only with bTransform): rotation and the Z reference, in the format's precision.
template <typename R>
KX_ALWAYS_INLINE void TransformChunk(const SDecodeArgs<R>& a, int nLen, SChunk<R>& c) {
    const R* r = a.r;
    for (int i = 0; i < nLen; ++i) {
        const R x = c.x[i], y = c.y[i], z = c.z[i];
        c.x[i] = r[0] * x + r[1] * y + r[2] * z;
        c.y[i] = r[3] * x + r[4] * y + r[5] * z;
        c.z[i] = (a.refZ - (r[6] * x + r[7] * y + r[8] * z)) * a.scaleZ;
    }
}

// One axis of the range filters: with the outside bit drop [min, max], else with the inside bit
// drop everything outside (min, max).
KX_ALWAYS_INLINE int32_t AxisDrop(double v, double dMin, double dMax, bool bOutside, bool bInside) {
    if (bOutside) return (dMin <= v) & (v <= dMax);
    if (bInside) return (v >= dMax) | (v <= dMin);
    return 0;
}

// Pass 4: X offset, then the reference-X window and the range filters.
template <typename R>
KX_ALWAYS_INLINE void FilterChunk(const SDecodeArgs<R>& a, int nLen, SChunk<R>& c) {
    for (int i = 0; i < nLen; ++i) c.x[i] = c.x[i] + a.xOffset;
    if (a.bTransform) {
        for (int i = 0; i < nLen; ++i) {
            const R d = c.x[i] - a.refX;
            c.keep[i] &= !((d < R(0) ? -d : d) > a.refXRange);
        }
    }
    const int32_t f = a.nFilterFlags;
    if (f == 0) return;
    const bool bYOut = (f & c_nKxFilterYOutside) != 0, bYIn = (f & c_nKxFilterYInside) != 0;
    const bool bZOut = (f & c_nKxFilterZOutside) != 0, bZIn = (f & c_nKxFilterZInside) != 0;
    const bool bXOut = (f & c_nKxFilterXOutside) != 0, bXIn = (f & c_nKxFilterXInside) != 0;
    for (int i = 0; i < nLen; ++i) {
        const int32_t nDrop = AxisDrop(c.y[i], a.dYMin, a.dYMax, bYOut, bYIn) |
                              AxisDrop(c.z[i], a.dZMin, a.dZMax, bZOut, bZIn) |
                              AxisDrop(c.x[i], a.dXMin, a.dXMax, bXOut, bXIn);
        c.keep[i] &= !nDrop;
    }
}

// Pass 5: mirroring and compaction. Every record is written at the next output position and the
// position advances only for kept points, so the loop has no branch on the data; a dropped
// point's record is overwritten by the next one (or lies past the count).
template <typename W>
KX_ALWAYS_INLINE int CompactChunk(const SDecodeArgs<typename W::Real>& a, int nLen,
                                  const SChunk<typename W::Real>& c, void* pPoints, void* pPixels,
                                  int n) {
    typedef typename W::Real R;
    // The common chunk keeps every point: then each record's place is known in advance, and
    // the loop carries no dependency on the running count.
    int32_t nKept = 0;
    for (int i = 0; i < nLen; ++i) nKept += c.keep[i];
    if (nKept == nLen) {
        for (int i = 0; i < nLen; ++i) {
            const R y = a.bMirrorY ? -c.y[i] : c.y[i];
            W::Write(pPoints, pPixels, n + i, c.x[i], y, c.z[i], c.row[i], c.lcol[i], c.rcol[i]);
        }
        return n + nLen;
    }
    for (int i = 0; i < nLen; ++i) {
        const R y = a.bMirrorY ? -c.y[i] : c.y[i];
        W::Write(pPoints, pPixels, n, c.x[i], y, c.z[i], c.row[i], c.lcol[i], c.rcol[i]);
        n += c.keep[i];
    }
    return n;
}

template <typename W, typename Conv>
KX_ALWAYS_INLINE int DecodeBody(const SDecodeArgs<typename W::Real>& a, void* pPoints, void* pPixels) {
    typedef typename W::Real R;
    SChunk<R> c;
    int n = 0;
    for (int nFirst = 0; nFirst < a.nSampled; nFirst += c_nChunk) {
        const int nLen = a.nSampled - nFirst < c_nChunk ? a.nSampled - nFirst : c_nChunk;
        ConvertChunk<R, Conv>(a, nFirst, nLen, c);
        if (a.pComp != nullptr && a.nCompCount != 0) CompensateChunk<R>(a, nLen, c);
        if (a.bTransform) TransformChunk<R>(a, nLen, c);
        FilterChunk<R>(a, nLen, c);
        n = CompactChunk<W>(a, nLen, c, pPoints, pPixels, n);
    }
    return n;
}

// One entry point per (layout, conversion); each is cloned per instruction set where supported.
typedef int (*PfnDecodeDouble)(const SDecodeArgs<double>&, void*, void*);
typedef int (*PfnDecodeFloat)(const SDecodeArgs<float>&, void*, void*);

#define KX_DEFINE_DECODER(NAME, WRITER, CONV, REAL)                                        \
    KX_DECODE_CLONES int NAME(const SDecodeArgs<REAL>& a, void* pPoints, void* pPixels) { \
        return DecodeBody<WRITER, CONV>(a, pPoints, pPixels);                              \
    }

KX_DEFINE_DECODER(DecodeF0Disparity, WriterF0, ConvDisparity, double)
KX_DEFINE_DECODER(DecodeF0Thousandths, WriterF0, ConvThousandths, double)
KX_DEFINE_DECODER(DecodeF1Disparity, WriterFloat<SKxLaserPoint3F>, ConvDisparity, float)
KX_DEFINE_DECODER(DecodeF1Thousandths, WriterFloat<SKxLaserPoint3F>, ConvThousandths, float)
KX_DEFINE_DECODER(DecodeF2Disparity, WriterFloat<SKxLaserPoint3F4>, ConvDisparity, float)
KX_DEFINE_DECODER(DecodeF2Thousandths, WriterFloat<SKxLaserPoint3F4>, ConvThousandths, float)
KX_DEFINE_DECODER(DecodeF5Disparity, WriterFloat<SKxLaserPoint3F8>, ConvDisparity, float)
KX_DEFINE_DECODER(DecodeF5Thousandths, WriterFloat<SKxLaserPoint3F8>, ConvThousandths, float)
KX_DEFINE_DECODER(DecodeF6Disparity, WriterF6, ConvDisparity, double)
KX_DEFINE_DECODER(DecodeF6Thousandths, WriterF6, ConvThousandths, double)

#undef KX_DEFINE_DECODER

template <typename R>
void FillArgs(SDecodeArgs<R>& a, const uint8_t* pRecords, int nPointCount,
              const SKxCompensateEntry* pComp, uint32_t nCompCount,
              const SKxLaserResultAfterProcParam& p, int32_t nRightColumnOffset,
              const double* pdCoordOffset, uint32_t nColumnOrigin, uint32_t nRowOrigin,
              uint32_t nFocalLength) {
    a.pRecords = pRecords;
    // A step of 0 or below would never advance; it counts as 1.
    a.nStep = p.nStep > 0 ? p.nStep : 1;
    a.nSampled = (nPointCount - 1) / a.nStep + 1;
    a.pComp = pComp;
    a.nCompCount = pComp != nullptr ? nCompCount : 0;
    a.nRightColumnOffset = nRightColumnOffset;
    a.offX = static_cast<R>(pdCoordOffset != nullptr ? pdCoordOffset[0] : 0.0);
    a.offY = static_cast<R>(pdCoordOffset != nullptr ? pdCoordOffset[1] : 0.0);
    a.offZ = static_cast<R>(pdCoordOffset != nullptr ? pdCoordOffset[2] : 0.0);
    a.dColumnOrigin = static_cast<double>(nColumnOrigin);
    a.dRowOrigin = static_cast<double>(nRowOrigin);
    a.dFocal = static_cast<double>(nFocalLength);
    a.bTransform = p.bTransform;
    for (int i = 0; i < 9; ++i) a.r[i] = static_cast<R>(p.adRotate[i]);
    a.refZ = static_cast<R>(p.dRefZ);
    a.scaleZ = static_cast<R>(p.dScaleZ);
    a.xOffset = static_cast<R>(p.dXOffset);
    a.refX = static_cast<R>(static_cast<float>(p.dRefX));
    a.refXRange = static_cast<R>(static_cast<float>(p.dRefXRange));
    a.nFilterFlags = p.nFilterFlags;
    a.dYMin = p.dYMin;
    a.dYMax = p.dYMax;
    a.dZMin = p.dZMin;
    a.dZMax = p.dZMax;
    a.dXMin = p.dXMin;
    a.dXMax = p.dXMax;
    a.bMirrorY = p.nMirrorY == 1;
}

}  // namespace

bool KxConversionOfVersion(uint32_t nVersion, EKxCoordConversion* peConv) {
    if (nVersion > c_nLaserEyeHwVersion) return false;
    if (peConv != nullptr) *peConv = nVersion == 0 ? KX_CONV_DISPARITY : KX_CONV_THOUSANDTHS;
    return true;
}

uint32_t KxPointRecordSize(int nFormat) {
    switch (nFormat) {
        case 0: return sizeof(SKxLaserPoint3D0);
        case 1: return sizeof(SKxLaserPoint3F);
        case 2:
        case 3:
        case 4: return sizeof(SKxLaserPoint3F4);
        case 5: return sizeof(SKxLaserPoint3F8);
        case 6: return sizeof(SKxLaserPoint3D);
        default: return 0;
    }
}

uint32_t KxPixelRecordSize(int nFormat) {
    if (nFormat == 0) return sizeof(SKxLaserPixel0);
    if (nFormat >= 1 && nFormat <= 6) return sizeof(SKxLaserPixel);
    return 0;
}

uint32_t KxOutputBlockSize(int nFormat) {
    return c_nKxLaserPointRecords * (KxPointRecordSize(nFormat) + KxPixelRecordSize(nFormat));
}

int DecodeLaserPoints(int nFormat, const uint8_t* pRecords, int nPointCount,
                      const SKxCompensateEntry* pComp, uint32_t nCompCount,
                      const SKxLaserResultAfterProcParam& param, EKxCoordConversion eConv,
                      int32_t nRightColumnOffset, const double* pdCoordOffset,
                      uint32_t nColumnOrigin, uint32_t nRowOrigin, uint32_t nFocalLength,
                      void* pPointOut, void* pPixelOut) {
    if (pRecords == nullptr || pPointOut == nullptr || pPixelOut == nullptr) return 0;
    if (nPointCount <= 0 || nPointCount > static_cast<int>(c_nKxLaserPointRecords)) return 0;
    if (eConv != KX_CONV_DISPARITY && eConv != KX_CONV_THOUSANDTHS) return 0;
    const bool bDisp = eConv == KX_CONV_DISPARITY;

    if (nFormat == 0 || nFormat == 6) {
        static const PfnDecodeDouble s_apfn[2][2] = {{DecodeF0Thousandths, DecodeF0Disparity},
                                                     {DecodeF6Thousandths, DecodeF6Disparity}};
        SDecodeArgs<double> a;
        FillArgs(a, pRecords, nPointCount, pComp, nCompCount, param, nRightColumnOffset,
                 pdCoordOffset, nColumnOrigin, nRowOrigin, nFocalLength);
        return s_apfn[nFormat == 6][bDisp](a, pPointOut, pPixelOut);
    }
    if (nFormat >= 1 && nFormat <= 5) {
        static const PfnDecodeFloat s_apfn[3][2] = {{DecodeF1Thousandths, DecodeF1Disparity},
                                                    {DecodeF2Thousandths, DecodeF2Disparity},
                                                    {DecodeF5Thousandths, DecodeF5Disparity}};
        const int nLayout = nFormat == 1 ? 0 : (nFormat == 5 ? 2 : 1);
        SDecodeArgs<float> a;
        FillArgs(a, pRecords, nPointCount, pComp, nCompCount, param, nRightColumnOffset,
                 pdCoordOffset, nColumnOrigin, nRowOrigin, nFocalLength);
        return s_apfn[nLayout][bDisp](a, pPointOut, pPixelOut);
    }
    return 0;
}
