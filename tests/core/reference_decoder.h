// Plain scalar reading of the point decoding, one raw point at a time, steps in their written
// order, writing into the output records as it goes. It shares no code with the library's
// decoder: the tests compare both byte for byte, and the benchmark measures against it.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

#include "kxlasereyerecords.h"

namespace KxReference {

struct SCompEntry {
    float fFrom, fTo, fAdd;
};

inline uint32_t Word(const uint8_t* p, int n) {
    uint32_t w;
    std::memcpy(&w, p + 4 * n, 4);  // test hosts are little-endian
    return w;
}

inline int32_t Signed(uint32_t w) {
    int32_t v = static_cast<int32_t>(w & 0x7FFFFFFF);
    if (w & 0x80000000u) v = -v;
    return v;
}

inline double Convert(bool bDisparity, uint32_t w, int32_t h) {
    if (bDisparity) return static_cast<double>(Signed(w)) / h / -2.0;
    return Signed(w) / 1000.0;
}

// Truncation as the x86 conversion instruction does it: out of range and NaN give INT32_MIN.
inline int32_t Trunc(double d) {
    if (std::isnan(d) || d >= 2147483648.0 || d <= -2147483649.0) return INT32_MIN;
    return static_cast<int32_t>(d);
}

inline int32_t RightColumn(int32_t nLeft, int32_t h, int32_t nOffset) {
    int64_t v = static_cast<int64_t>(nLeft) - Trunc(h / 256.0) + nOffset;
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(v)));
}

// Filtering as written: true drops. Coordinates after the X offset.
inline bool Filtered(const SKxLaserResultAfterProcParam& p, double x, double y, double z, bool bFloat) {
    if (p.bTransform) {
        if (bFloat) {
            float fx = static_cast<float>(x);
            if (std::fabs(fx - static_cast<float>(p.dRefX)) > static_cast<float>(p.dRefXRange)) return true;
        } else {
            double rx = static_cast<float>(p.dRefX), rr = static_cast<float>(p.dRefXRange);
            if (std::fabs(x - rx) > rr) return true;
        }
    }
    const int f = p.nFilterFlags;
    if (f == 0) return false;
    if (f & 0x2) {
        if (p.dYMin <= y && y <= p.dYMax) return true;
    } else if (f & 0x1) {
        if (y >= p.dYMax || y <= p.dYMin) return true;
    }
    if (f & 0x20) {
        if (p.dZMin <= z && z <= p.dZMax) return true;
    } else if (f & 0x10) {
        if (z >= p.dZMax || z <= p.dZMin) return true;
    }
    if (f & 0x200) {
        if (p.dXMin <= x && x <= p.dXMax) return true;
    } else if (f & 0x100) {
        if (x >= p.dXMax || x <= p.dXMin) return true;
    }
    return false;
}

// Decodes like the library's DecodeLaserPoints; returns the records written.
inline int Decode(int nFormat, const uint8_t* pRecords, int nCount, const SCompEntry* pComp,
                  unsigned nComp, const SKxLaserResultAfterProcParam& p, bool bDisparity,
                  int32_t nRightOffset, const double* pdOffset, uint32_t nColOrigin,
                  uint32_t nRowOrigin, uint32_t nFocal, void* pPointOut, void* pPixelOut) {
    if (nFormat < 0 || nFormat > 6 || nCount <= 0 || nCount > 2048) return 0;
    const bool bFloat = nFormat >= 1 && nFormat <= 5;
    int nPointSize = 32;
    if (nFormat == 1) nPointSize = 12;
    if (nFormat >= 2 && nFormat <= 4) nPointSize = 16;
    const int nPixelSize = nFormat == 0 ? 20 : 16;
    uint8_t* pPoint = static_cast<uint8_t*>(pPointOut);
    uint8_t* pPixel = static_cast<uint8_t*>(pPixelOut);
    const int nStep = p.nStep > 0 ? p.nStep : 1;
    const double ox = pdOffset ? pdOffset[0] : 0.0, oy = pdOffset ? pdOffset[1] : 0.0,
                 oz = pdOffset ? pdOffset[2] : 0.0;
    int n = 0;
    for (int g = 0; g < nCount; g += nStep) {
        const uint8_t* rec = pRecords + 16 * g;
        SKxLaserPoint3D0* p0 = reinterpret_cast<SKxLaserPoint3D0*>(pPoint + n * nPointSize);
        SKxLaserPixel0* q0 = reinterpret_cast<SKxLaserPixel0*>(pPixel + n * nPixelSize);
        SKxLaserPixel* q = reinterpret_cast<SKxLaserPixel*>(pPixel + n * nPixelSize);
        float* pf = reinterpret_cast<float*>(pPoint + n * nPointSize);
        double* pd = reinterpret_cast<double*>(pPoint + n * nPointSize);
        // step 1
        if (nFormat == 0) {
            p0->nIndex = n;
            q0->nIndex = n;
        }
        const int32_t h = static_cast<int32_t>(Word(rec, 0));
        if (bFloat) {
            // steps 2-12 in single precision where the algorithm rounds
            float Z = static_cast<float>(Convert(bDisparity, Word(rec, 1), h));
            float Y = static_cast<float>(Convert(bDisparity, Word(rec, 2), h));
            int32_t row = Trunc((nRowOrigin + ((double)Y / (double)Z * nFocal + 512.0)) / 1024.0);
            q->nLeftRow = row;
            q->nRightRow = row;
            float X = static_cast<float>(Convert(bDisparity, Word(rec, 3), h));
            int32_t lc = Trunc((nColOrigin + ((double)X / (double)Z * nFocal + 512.0)) / 1024.0);
            q->nLeftCol = lc;
            q->nRightCol = RightColumn(lc, h, nRightOffset);
            X += static_cast<float>(ox);
            Y += static_cast<float>(oy);
            Z += static_cast<float>(oz);
            if (Z < 0) continue;
            for (unsigned j = 0; pComp && j < nComp; ++j) {
                if (pComp[j].fFrom <= Z && Z < pComp[j].fTo) {
                    Z += pComp[j].fAdd;
                    break;
                }
            }
            if (p.bTransform) {
                float r[9];
                for (int i = 0; i < 9; ++i) r[i] = static_cast<float>(p.adRotate[i]);
                float X2 = r[0] * X + r[1] * Y + r[2] * Z;
                float Y2 = r[3] * X + r[4] * Y + r[5] * Z;
                float Z2 = (static_cast<float>(p.dRefZ) - (r[6] * X + r[7] * Y + r[8] * Z)) *
                           static_cast<float>(p.dScaleZ);
                X = X2;
                Y = Y2;
                Z = Z2;
            }
            X += static_cast<float>(p.dXOffset);
            if (Filtered(p, X, Y, Z, true)) continue;
            if (p.nMirrorY == 1) Y = -Y;
            pf[0] = X;
            pf[1] = Y;
            pf[2] = Z;
        } else {
            double Z = Convert(bDisparity, Word(rec, 1), h);
            double Y = Convert(bDisparity, Word(rec, 2), h);
            int32_t row = Trunc((nRowOrigin + (Y / Z * nFocal + 512.0)) / 1024.0);
            double X = Convert(bDisparity, Word(rec, 3), h);
            int32_t lc = Trunc((nColOrigin + (X / Z * nFocal + 512.0)) / 1024.0);
            int32_t rc = RightColumn(lc, h, nRightOffset);
            if (nFormat == 0) {
                q0->nLeftRow = row;
                q0->nRightRow = row;
                q0->nLeftCol = lc;
                q0->nRightCol = rc;
            } else {
                q->nLeftRow = row;
                q->nRightRow = row;
                q->nLeftCol = lc;
                q->nRightCol = rc;
            }
            X += ox;
            Y += oy;
            Z += oz;
            if (Z < 0) continue;
            for (unsigned j = 0; pComp && j < nComp; ++j) {
                if (pComp[j].fFrom <= Z && Z < pComp[j].fTo) {
                    Z += pComp[j].fAdd;
                    break;
                }
            }
            if (p.bTransform) {
                const double* r = p.adRotate;
                double X2 = r[0] * X + r[1] * Y + r[2] * Z;
                double Y2 = r[3] * X + r[4] * Y + r[5] * Z;
                double Z2 = (p.dRefZ - (r[6] * X + r[7] * Y + r[8] * Z)) * p.dScaleZ;
                X = X2;
                Y = Y2;
                Z = Z2;
            }
            X += p.dXOffset;
            if (Filtered(p, X, Y, Z, false)) continue;
            if (p.nMirrorY == 1) Y = -Y;
            if (nFormat == 0) {
                p0->dX = X;
                p0->dY = Y;
                p0->dZ = Z;
            } else {
                pd[0] = X;
                pd[1] = Y;
                pd[2] = Z;
            }
        }
        ++n;
    }
    return n;
}

}  // namespace KxReference
