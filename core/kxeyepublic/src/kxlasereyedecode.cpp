// Point decoding of the raw laser frame into the seven output formats.
//
// Decoding is the hot path of every frame, so it is laid out for the vectoriser: the sampled
// records are processed in chunks; per chunk one arithmetic pass reads each raw record exactly
// once into small column arrays, optional passes (compensation, transform, filters, mirroring)
// run only when switched on, each a branch-free pass over the columns, and a final pass stores
// the kept points into the output records. Every (format, conversion) pair is its own
// instantiation, so nothing in a point loop depends on the format. Divisions stay divisions: a
// reciprocal would change the results. Only the divisions by powers of two (1024, 256, -2)
// become multiplications by their exact reciprocals, which give the same bits and spare the
// divider, the bottleneck of this loop.
//
// Each decoder exists once per instruction-set level (baseline, AVX2, AVX-512F on x86-64 GCC
// builds); the widest level the processor supports is chosen at the first call. The levels
// differ only in how the records are stored: formats 2 to 6 leave bytes of every record
// untouched, which the vectoriser cannot express, so the wider levels interleave the columns with
// explicit shuffles and store with masks (AVX-512) or blend the untouched bytes back in (AVX2).
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <type_traits>

#include "kxlasereyeinnerutils.h"

// Results do not depend on the level: contraction is off and every operation used is correctly
// rounded. ThreadSanitizer builds and other compilers keep the baseline level only.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__ELF__) && \
    !defined(KX_NO_TARGET_CLONES)
#define KX_DECODE_LEVELS 1
#include <immintrin.h>
#define KX_TARGET_AVX2 __attribute__((target("avx2")))
#define KX_TARGET_AVX512 __attribute__((target("avx512f")))
#else
#define KX_DECODE_LEVELS 0
#endif

#if defined(__GNUC__)
#define KX_ALWAYS_INLINE inline __attribute__((always_inline))
#define KX_NOINLINE __attribute__((noinline))
#else
#define KX_ALWAYS_INLINE inline
#define KX_NOINLINE
#endif

namespace {

const int c_nChunk = 256;

// Instruction-set levels of the decoders.
const int c_nLevelBaseline = 0;
#if KX_DECODE_LEVELS
const int c_nLevelAvx2 = 1;
const int c_nLevelAvx512 = 2;
#endif

// Exact reciprocals of powers of two: multiplying by them equals dividing, bit for bit.
const double c_dInv1024 = 1.0 / 1024.0;
const double c_dInv256 = 1.0 / 256.0;

// Column arrays of one chunk. R is the coordinate type of the format. Aligned for whole-vector
// loads by the store passes.
template <typename R>
struct alignas(64) SChunk {
    R x[c_nChunk];
    R y[c_nChunk];
    R z[c_nChunk];
    int32_t row[c_nChunk];
    int32_t lcol[c_nChunk];
    int32_t rcol[c_nChunk];
    int32_t keep[c_nChunk];
    int32_t done[c_nChunk];  // compensation: entry found (or point dropped)
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

// Output writers, one per record layout: the point record and the pixel record of one point
// (the baseline store, and the tails of the wider ones).
struct WriterF0 {
    typedef double Real;
    static KX_ALWAYS_INLINE void Point(void* pPoints, int n, double x, double y, double z) {
        SKxLaserPoint3D0* p = static_cast<SKxLaserPoint3D0*>(pPoints) + n;
        p->nIndex = n;
        p->dX = x;
        p->dY = y;
        p->dZ = z;
    }
    static KX_ALWAYS_INLINE void Pixel(void* pPixels, int n, int32_t row, int32_t lcol, int32_t rcol) {
        SKxLaserPixel0* q = static_cast<SKxLaserPixel0*>(pPixels) + n;
        q->nIndex = n;
        q->nLeftCol = lcol;
        q->nLeftRow = row;
        q->nRightCol = rcol;
        q->nRightRow = row;
    }
};
KX_ALWAYS_INLINE void WritePixel(void* pPixels, int n, int32_t row, int32_t lcol, int32_t rcol) {
    SKxLaserPixel* q = static_cast<SKxLaserPixel*>(pPixels) + n;
    q->nLeftCol = lcol;
    q->nLeftRow = row;
    q->nRightCol = rcol;
    q->nRightRow = row;
}
template <typename P>
struct WriterFloat {
    typedef float Real;
    static KX_ALWAYS_INLINE void Point(void* pPoints, int n, float x, float y, float z) {
        P* p = static_cast<P*>(pPoints) + n;
        p->fX = x;
        p->fY = y;
        p->fZ = z;
    }
    static KX_ALWAYS_INLINE void Pixel(void* pPixels, int n, int32_t row, int32_t lcol, int32_t rcol) {
        WritePixel(pPixels, n, row, lcol, rcol);
    }
};
struct WriterF6 {
    typedef double Real;
    static KX_ALWAYS_INLINE void Point(void* pPoints, int n, double x, double y, double z) {
        SKxLaserPoint3D* p = static_cast<SKxLaserPoint3D*>(pPoints) + n;
        p->dX = x;
        p->dY = y;
        p->dZ = z;
    }
    static KX_ALWAYS_INLINE void Pixel(void* pPixels, int n, int32_t row, int32_t lcol, int32_t rcol) {
        WritePixel(pPixels, n, row, lcol, rcol);
    }
};
typedef WriterFloat<SKxLaserPoint3F> WriterF1;
typedef WriterFloat<SKxLaserPoint3F4> WriterF2;
typedef WriterFloat<SKxLaserPoint3F8> WriterF5;

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

// Pass 2 (only with a table): the first entry with fFrom <= Z < fTo adds its fAdd. Entry by
// entry over the whole chunk, so that the point loop has no branch: a point takes an entry only
// while it has none, and until then its Z is still the one the entries are compared with. The
// walk through the table ends when every kept point of the chunk has its entry.
template <typename R>
KX_ALWAYS_INLINE void CompensateChunk(const SDecodeArgs<R>& a, int nLen, SChunk<R>& c) {
    typedef typename std::conditional<sizeof(R) == 4, int32_t, int64_t>::type Bits;
    int32_t nOpen = 0;
    for (int i = 0; i < nLen; ++i) {
        c.done[i] = c.keep[i] ^ 1;  // dropped points need no entry
        nOpen += c.keep[i];
    }
    for (uint32_t j = 0; j < a.nCompCount && nOpen > 0; ++j) {
        const SKxCompensateEntry& e = a.pComp[j];
        const R from = static_cast<R>(e.fFrom), to = static_cast<R>(e.fTo);
        const Bits nAdd = std::bit_cast<Bits>(static_cast<R>(e.fAdd)), nNone = std::bit_cast<Bits>(R(-0.0));
        int32_t nTaken = 0;
        for (int i = 0; i < nLen; ++i) {
            const R z = c.z[i];
            const int32_t m = (c.done[i] ^ 1) & static_cast<int32_t>(from <= z) & static_cast<int32_t>(z < to);
            // Every point gets an addition, of -0 where the entry does not apply: z + (-0) is z
            // bit for bit (z is never a signalling NaN). The addend is chosen on its bits; a
            // select of floats would be folded back into a conditional addition, which does not
            // vectorise (it could raise an exception the source would not).
            const Bits mask = -static_cast<Bits>(m);
            c.z[i] = z + std::bit_cast<R>((nAdd & mask) | (nNone & ~mask));
            c.done[i] |= m;
            nTaken += m;
        }
        nOpen -= nTaken;
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

// One axis of the range filters, compared in double precision: with the outside switch drop
// [min, max], else with the inside switch drop everything outside (min, max). Written as the
// drop test negated, so that a NaN coordinate or bound is kept, as by the point-by-point rule.
template <typename R>
KX_ALWAYS_INLINE void AxisFilter(const R* v, int nLen, double dMin, double dMax, int32_t nOutside,
                                 int32_t nInside, int32_t* keep) {
    if (nOutside != 0) {
        for (int i = 0; i < nLen; ++i) {
            const double d = v[i];
            keep[i] &= (static_cast<int32_t>(dMin <= d) & static_cast<int32_t>(d <= dMax)) ^ 1;
        }
    } else if (nInside != 0) {
        for (int i = 0; i < nLen; ++i) {
            const double d = v[i];
            keep[i] &= (static_cast<int32_t>(d >= dMax) | static_cast<int32_t>(d <= dMin)) ^ 1;
        }
    }
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
    AxisFilter(c.y, nLen, a.dYMin, a.dYMax, f & c_nKxFilterYOutside, f & c_nKxFilterYInside, c.keep);
    AxisFilter(c.z, nLen, a.dZMin, a.dZMax, f & c_nKxFilterZOutside, f & c_nKxFilterZInside, c.keep);
    AxisFilter(c.x, nLen, a.dXMin, a.dXMax, f & c_nKxFilterXOutside, f & c_nKxFilterXInside, c.keep);
}

// Pass 5 (only with mirroring): Y changes sign.
template <typename R>
KX_ALWAYS_INLINE void MirrorChunk(int nLen, SChunk<R>& c) {
    for (int i = 0; i < nLen; ++i) c.y[i] = -c.y[i];
}

// Pass 6: the kept points move to the front of the columns, in order; returns their count. The
// common chunk keeps every point and is left as it is.
template <typename R>
KX_ALWAYS_INLINE int PackChunk(int nLen, SChunk<R>& c) {
    int32_t nKept = 0;
    for (int i = 0; i < nLen; ++i) nKept += c.keep[i];
    if (nKept == nLen) return nLen;
    // The write position never passes the read position, so the move can be done in place;
    // every point is copied and the position advances only for kept ones (no branch on data).
    int w = 0;
    for (int i = 0; i < nLen; ++i) {
        c.x[w] = c.x[i];
        c.y[w] = c.y[i];
        c.z[w] = c.z[i];
        c.row[w] = c.row[i];
        c.lcol[w] = c.lcol[i];
        c.rcol[w] = c.rcol[i];
        w += c.keep[i];
    }
    return w;
}

// Pass 7: the first nLen points of the columns become records n to n + nLen - 1.
template <typename W>
KX_ALWAYS_INLINE void StorePointsScalar(const SChunk<typename W::Real>& c, int nFrom, int nLen, void* pPoints, int n) {
    for (int i = nFrom; i < nLen; ++i) W::Point(pPoints, n + i, c.x[i], c.y[i], c.z[i]);
}
template <typename W>
KX_ALWAYS_INLINE void StorePixelsScalar(const SChunk<typename W::Real>& c, int nFrom, int nLen, void* pPixels, int n) {
    for (int i = nFrom; i < nLen; ++i) W::Pixel(pPixels, n + i, c.row[i], c.lcol[i], c.rcol[i]);
}

// Baseline: one record pair per point, as the vectoriser makes of it.
template <typename W, int L>
struct Store {
    static KX_ALWAYS_INLINE void Run(const SChunk<typename W::Real>& c, int nLen, void* pPoints, void* pPixels, int n) {
        for (int i = 0; i < nLen; ++i) {
            W::Point(pPoints, n + i, c.x[i], c.y[i], c.z[i]);
            W::Pixel(pPixels, n + i, c.row[i], c.lcol[i], c.rcol[i]);
        }
    }
};

#if KX_DECODE_LEVELS

// The stores of the wider levels are functions of their own (once per chunk): a function with a
// wider target cannot be inlined into the level-independent decode body.

// AVX-512F. The columns are interleaved by two permutations per output vector; records with
// bytes that stay untouched are stored under a mask. Each function stores whole groups of 16
// points and returns how many it stored; the rest goes point by point. Chunk columns are 64-byte
// aligned and groups start at multiples of 16 points.

// Pixel records {left column, row, right column, row}, 4 per vector.
KX_TARGET_AVX512 KX_ALWAYS_INLINE int StorePixelsAvx512(const int32_t* lcol, const int32_t* row,
                                                        const int32_t* rcol, int nLen, void* pPixels, int n) {
    int32_t* q = reinterpret_cast<int32_t*>(static_cast<SKxLaserPixel*>(pPixels) + n);
    // Lane 4j + m of output vector k: left column, row, right column, row of point 4k + j.
    const __m512i base = _mm512_setr_epi32(0, 16, 0, 16, 1, 17, 1, 17, 2, 18, 2, 18, 3, 19, 3, 19);
    int i = 0;
    for (; i + 16 <= nLen; i += 16) {
        const __m512i l = _mm512_load_si512(lcol + i), w = _mm512_load_si512(row + i),
                      r = _mm512_load_si512(rcol + i);
        for (int k = 0; k < 4; ++k) {
            const __m512i idx = _mm512_add_epi32(base, _mm512_set1_epi32(4 * k));
            const __m512i t = _mm512_permutex2var_epi32(l, idx, w);
            _mm512_storeu_si512(q + 4 * (i + 4 * k), _mm512_mask_permutexvar_epi32(t, 0x4444, idx, r));
        }
    }
    return i;
}

// Single-precision X, Y, Z at the start of records of nFloats floats (4: formats 2 to 4, 8:
// format 5); the other bytes of each record stay untouched.
template <int nFloats>
KX_TARGET_AVX512 KX_ALWAYS_INLINE int StoreFloatPointsAvx512(const SChunk<float>& c, int nLen, void* pPoints, int n) {
    static_assert(nFloats == 4 || nFloats == 8, "16- or 32-byte records");
    const int nPerVector = 16 / nFloats;
    float* out = static_cast<float*>(pPoints) + static_cast<size_t>(n) * nFloats;
    // Lane nFloats * j + m of output vector k: X, Y, Z (m = 0, 1, 2) of point nPerVector * k + j.
    const __m512i base = nFloats == 4
                             ? _mm512_setr_epi32(0, 16, 0, 16, 1, 17, 1, 17, 2, 18, 2, 18, 3, 19, 3, 19)
                             : _mm512_setr_epi32(0, 16, 0, 0, 0, 0, 0, 0, 1, 17, 1, 1, 1, 1, 1, 1);
    const __mmask16 nZLanes = nFloats == 4 ? 0x4444 : 0x0404;
    const __mmask16 nStoreLanes = nFloats == 4 ? 0x7777 : 0x0707;
    int i = 0;
    for (; i + 16 <= nLen; i += 16) {
        const __m512 x = _mm512_load_ps(c.x + i), y = _mm512_load_ps(c.y + i), z = _mm512_load_ps(c.z + i);
        for (int k = 0; k < nFloats; ++k) {
            const __m512i idx = _mm512_add_epi32(base, _mm512_set1_epi32(nPerVector * k));
            const __m512 t = _mm512_permutex2var_ps(x, idx, y);
            _mm512_mask_storeu_ps(out + static_cast<size_t>(i + nPerVector * k) * nFloats, nStoreLanes,
                                  _mm512_mask_permutexvar_ps(t, nZLanes, idx, z));
        }
    }
    return i;
}

// nFloats: floats per point record (3: format 1, left to the vectoriser; 4 or 8).
template <typename W, int nFloats>
struct StoreFloatAvx512 {
    KX_TARGET_AVX512 static KX_NOINLINE void Run(const SChunk<float>& c, int nLen, void* pPoints, void* pPixels, int n) {
        int nDone = 0;
        if constexpr (nFloats != 3) nDone = StoreFloatPointsAvx512<nFloats>(c, nLen, pPoints, n);
        StorePointsScalar<W>(c, nDone, nLen, pPoints, n);
        const int nPixDone = StorePixelsAvx512(c.lcol, c.row, c.rcol, nLen, pPixels, n);
        StorePixelsScalar<W>(c, nPixDone, nLen, pPixels, n);
    }
};

template <>
struct Store<WriterF1, c_nLevelAvx512> : StoreFloatAvx512<WriterF1, 3> {};
template <>
struct Store<WriterF2, c_nLevelAvx512> : StoreFloatAvx512<WriterF2, 4> {};
template <>
struct Store<WriterF5, c_nLevelAvx512> : StoreFloatAvx512<WriterF5, 8> {};

// AVX2. Formats 2 to 5: eight points at a time are transposed into records {X, Y, Z, *}, and
// the fourth word of each record is blended back from memory before a whole-record store (a
// masked store is slow on several AVX2 processors), so that bytes the format leaves untouched
// keep their values. Only records below the count are read and written.
template <int nFloats>
KX_TARGET_AVX2 KX_ALWAYS_INLINE int StoreFloatPointsAvx2(const SChunk<float>& c, int nLen, void* pPoints, int n) {
    static_assert(nFloats == 4 || nFloats == 8, "16- or 32-byte records");
    float* out = static_cast<float*>(pPoints) + static_cast<size_t>(n) * nFloats;
    int i = 0;
    for (; i + 8 <= nLen; i += 8) {
        const __m256 x = _mm256_load_ps(c.x + i), y = _mm256_load_ps(c.y + i), z = _mm256_load_ps(c.z + i);
        const __m256 xy01 = _mm256_unpacklo_ps(x, y);  // x0 y0 x1 y1 | x4 y4 x5 y5
        const __m256 xy23 = _mm256_unpackhi_ps(x, y);  // x2 y2 x3 y3 | x6 y6 x7 y7
        const __m256 zz01 = _mm256_unpacklo_ps(z, z);
        const __m256 zz23 = _mm256_unpackhi_ps(z, z);
        // Record j of these eight in the 128-bit half of one of four vectors.
        const __m256 r04 = _mm256_shuffle_ps(xy01, zz01, _MM_SHUFFLE(1, 0, 1, 0));  // rec 0 | rec 4
        const __m256 r15 = _mm256_shuffle_ps(xy01, zz01, _MM_SHUFFLE(3, 2, 3, 2));  // rec 1 | rec 5
        const __m256 r26 = _mm256_shuffle_ps(xy23, zz23, _MM_SHUFFLE(1, 0, 1, 0));  // rec 2 | rec 6
        const __m256 r37 = _mm256_shuffle_ps(xy23, zz23, _MM_SHUFFLE(3, 2, 3, 2));  // rec 3 | rec 7
        float* o = out + static_cast<size_t>(i) * nFloats;
        if (nFloats == 4) {
            const __m256 a[4] = {_mm256_permute2f128_ps(r04, r15, 0x20), _mm256_permute2f128_ps(r26, r37, 0x20),
                                 _mm256_permute2f128_ps(r04, r15, 0x31), _mm256_permute2f128_ps(r26, r37, 0x31)};
            for (int k = 0; k < 4; ++k)
                _mm256_storeu_ps(o + 8 * k, _mm256_blend_ps(a[k], _mm256_loadu_ps(o + 8 * k), 0x88));
        } else {
            const __m128 a[8] = {_mm256_castps256_ps128(r04), _mm256_castps256_ps128(r15),
                                 _mm256_castps256_ps128(r26), _mm256_castps256_ps128(r37),
                                 _mm256_extractf128_ps(r04, 1), _mm256_extractf128_ps(r15, 1),
                                 _mm256_extractf128_ps(r26, 1), _mm256_extractf128_ps(r37, 1)};
            for (int k = 0; k < 8; ++k)
                _mm_storeu_ps(o + 8 * k, _mm_blend_ps(a[k], _mm_loadu_ps(o + 8 * k), 0x8));
        }
    }
    return i;
}

template <typename W, int nFloats>
struct StoreFloatAvx2 {
    KX_TARGET_AVX2 static KX_NOINLINE void Run(const SChunk<float>& c, int nLen, void* pPoints, void* pPixels, int n) {
        const int nDone = StoreFloatPointsAvx2<nFloats>(c, nLen, pPoints, n);
        StorePointsScalar<W>(c, nDone, nLen, pPoints, n);
        StorePixelsScalar<W>(c, 0, nLen, pPixels, n);
    }
};
template <>
struct Store<WriterF2, c_nLevelAvx2> : StoreFloatAvx2<WriterF2, 4> {};
template <>
struct Store<WriterF5, c_nLevelAvx2> : StoreFloatAvx2<WriterF5, 8> {};

#endif  // KX_DECODE_LEVELS

template <typename W, typename Conv, int L>
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
        if (a.bMirrorY) MirrorChunk<R>(nLen, c);
        const int nKept = PackChunk<R>(nLen, c);
        Store<W, L>::Run(c, nKept, pPoints, pPixels, n);
        n += nKept;
    }
    return n;
}

// One entry point per (layout, conversion) and level.
typedef int (*PfnDecodeDouble)(const SDecodeArgs<double>&, void*, void*);
typedef int (*PfnDecodeFloat)(const SDecodeArgs<float>&, void*, void*);

#define KX_DEFINE_DECODER_AT(NAME, ATTR, WRITER, CONV, REAL, LEVEL) \
    ATTR int NAME(const SDecodeArgs<REAL>& a, void* pPoints, void* pPixels) { \
        return DecodeBody<WRITER, CONV, LEVEL>(a, pPoints, pPixels);       \
    }
#if KX_DECODE_LEVELS
#define KX_DEFINE_DECODER(NAME, WRITER, CONV, REAL)                                     \
    KX_DEFINE_DECODER_AT(NAME##L0, , WRITER, CONV, REAL, c_nLevelBaseline)              \
    KX_DEFINE_DECODER_AT(NAME##L1, KX_TARGET_AVX2, WRITER, CONV, REAL, c_nLevelAvx2)    \
    KX_DEFINE_DECODER_AT(NAME##L2, KX_TARGET_AVX512, WRITER, CONV, REAL, c_nLevelAvx512)
#define KX_L1(NAME) NAME##L1
#define KX_L2(NAME) NAME##L2
#else
#define KX_DEFINE_DECODER(NAME, WRITER, CONV, REAL) \
    KX_DEFINE_DECODER_AT(NAME##L0, , WRITER, CONV, REAL, c_nLevelBaseline)
#define KX_L1(NAME) NAME##L0
#define KX_L2(NAME) NAME##L0
#endif

KX_DEFINE_DECODER(DecodeF0Disparity, WriterF0, ConvDisparity, double)
KX_DEFINE_DECODER(DecodeF0Thousandths, WriterF0, ConvThousandths, double)
KX_DEFINE_DECODER(DecodeF1Disparity, WriterF1, ConvDisparity, float)
KX_DEFINE_DECODER(DecodeF1Thousandths, WriterF1, ConvThousandths, float)
KX_DEFINE_DECODER(DecodeF2Disparity, WriterF2, ConvDisparity, float)
KX_DEFINE_DECODER(DecodeF2Thousandths, WriterF2, ConvThousandths, float)
KX_DEFINE_DECODER(DecodeF5Disparity, WriterF5, ConvDisparity, float)
KX_DEFINE_DECODER(DecodeF5Thousandths, WriterF5, ConvThousandths, float)
KX_DEFINE_DECODER(DecodeF6Disparity, WriterF6, ConvDisparity, double)
KX_DEFINE_DECODER(DecodeF6Thousandths, WriterF6, ConvThousandths, double)

// [level][layout][conversion: thousandths, disparity]
const PfnDecodeDouble c_apfnDouble[3][2][2] = {
    {{DecodeF0ThousandthsL0, DecodeF0DisparityL0}, {DecodeF6ThousandthsL0, DecodeF6DisparityL0}},
    {{KX_L1(DecodeF0Thousandths), KX_L1(DecodeF0Disparity)}, {KX_L1(DecodeF6Thousandths), KX_L1(DecodeF6Disparity)}},
    {{KX_L2(DecodeF0Thousandths), KX_L2(DecodeF0Disparity)}, {KX_L2(DecodeF6Thousandths), KX_L2(DecodeF6Disparity)}}};
const PfnDecodeFloat c_apfnFloat[3][3][2] = {
    {{DecodeF1ThousandthsL0, DecodeF1DisparityL0},
     {DecodeF2ThousandthsL0, DecodeF2DisparityL0},
     {DecodeF5ThousandthsL0, DecodeF5DisparityL0}},
    {{KX_L1(DecodeF1Thousandths), KX_L1(DecodeF1Disparity)},
     {KX_L1(DecodeF2Thousandths), KX_L1(DecodeF2Disparity)},
     {KX_L1(DecodeF5Thousandths), KX_L1(DecodeF5Disparity)}},
    {{KX_L2(DecodeF1Thousandths), KX_L2(DecodeF1Disparity)},
     {KX_L2(DecodeF2Thousandths), KX_L2(DecodeF2Disparity)},
     {KX_L2(DecodeF5Thousandths), KX_L2(DecodeF5Disparity)}}};

#undef KX_DEFINE_DECODER
#undef KX_DEFINE_DECODER_AT
#undef KX_L1
#undef KX_L2

// The widest level this processor and build support.
int HighestLevel() {
#if KX_DECODE_LEVELS
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return c_nLevelAvx512;
    if (__builtin_cpu_supports("avx2")) return c_nLevelAvx2;
#endif
    return c_nLevelBaseline;
}

// -1 until the first decode (or a test's choice) sets it.
std::atomic<int> g_nLevel{-1};

int CurrentLevel() {
    int n = g_nLevel.load(std::memory_order_relaxed);
    if (n < 0) {
        n = HighestLevel();
        g_nLevel.store(n, std::memory_order_relaxed);
    }
    return n;
}

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
        SDecodeArgs<double> a;
        FillArgs(a, pRecords, nPointCount, pComp, nCompCount, param, nRightColumnOffset,
                 pdCoordOffset, nColumnOrigin, nRowOrigin, nFocalLength);
        return c_apfnDouble[CurrentLevel()][nFormat == 6][bDisp](a, pPointOut, pPixelOut);
    }
    if (nFormat >= 1 && nFormat <= 5) {
        const int nLayout = nFormat == 1 ? 0 : (nFormat == 5 ? 2 : 1);
        SDecodeArgs<float> a;
        FillArgs(a, pRecords, nPointCount, pComp, nCompCount, param, nRightColumnOffset,
                 pdCoordOffset, nColumnOrigin, nRowOrigin, nFocalLength);
        return c_apfnFloat[CurrentLevel()][nLayout][bDisp](a, pPointOut, pPixelOut);
    }
    return 0;
}

int KxDecodeLevelLimit(int nLevel) {
    const int nHighest = HighestLevel();
    const int n = nLevel < 0 || nLevel > nHighest ? nHighest : nLevel;
    g_nLevel.store(n, std::memory_order_relaxed);
    return n;
}
