// Height maps to scale (kxeyeheightmap.h).
#include "kxeyeheightmap.h"

#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "kxeyefile.h"

namespace {

const float c_fNaN = std::numeric_limits<float>::quiet_NaN();

int64_t FloorHalf(int64_t n) { return n >= 0 ? n / 2 : -((-n + 1) / 2); }

// 5 x 7 glyphs of the few characters the legend writes; each row's low 5 bits, left bit first.
struct SGlyph {
    char ch;
    uint8_t abyRows[7];
};
const SGlyph c_aGlyphs[] = {
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}}, {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}}, {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}}, {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
    {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}}, {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}}, {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
    {'.', {0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x0C}}, {'-', {0x00, 0x00, 0x00, 0x1F, 0x00, 0x00, 0x00}},
    {'m', {0x00, 0x00, 0x1A, 0x15, 0x15, 0x11, 0x11}}, {'Z', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x10, 0x1F}},
    {'e', {0x00, 0x00, 0x0E, 0x11, 0x1F, 0x10, 0x0E}}, {'l', {0x0C, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'c', {0x00, 0x00, 0x0E, 0x10, 0x10, 0x11, 0x0E}}, {' ', {0, 0, 0, 0, 0, 0, 0}},
};

class CCanvas {
public:
    CCanvas(uint32_t nWidth, uint32_t nHeight, uint8_t byGrey)
        : m_nWidth(nWidth), m_nHeight(nHeight), m_vecPixels(static_cast<size_t>(nWidth) * nHeight * 3, byGrey) {}
    void Set(int64_t x, int64_t y, const uint8_t abyRgb[3]) {
        if (x < 0 || y < 0 || x >= m_nWidth || y >= m_nHeight) return;
        std::memcpy(&m_vecPixels[(static_cast<size_t>(y) * m_nWidth + static_cast<size_t>(x)) * 3], abyRgb, 3);
    }
    void Fill(int64_t x, int64_t y, int64_t w, int64_t h, const uint8_t abyRgb[3]) {
        for (int64_t j = 0; j < h; ++j)
            for (int64_t i = 0; i < w; ++i) Set(x + i, y + j, abyRgb);
    }
    // Text at (x, y), top left, each glyph pixel nScale x nScale.
    void Text(int64_t x, int64_t y, const std::string& str, int nScale, const uint8_t abyRgb[3]) {
        for (char ch : str) {
            for (const SGlyph& g : c_aGlyphs) {
                if (g.ch != ch) continue;
                for (int r = 0; r < 7; ++r)
                    for (int c = 0; c < 5; ++c)
                        if (g.abyRows[r] & (0x10 >> c)) Fill(x + c * nScale, y + r * nScale, nScale, nScale, abyRgb);
            }
            x += 6 * nScale;
        }
    }
    const uint8_t* Data() const { return m_vecPixels.data(); }

private:
    int64_t m_nWidth, m_nHeight;
    std::vector<uint8_t> m_vecPixels;
};

void PutBE32(std::vector<uint8_t>& vec, uint32_t n) {
    for (int i = 3; i >= 0; --i) vec.push_back(static_cast<uint8_t>(n >> (8 * i)));
}

void Chunk(std::vector<uint8_t>& vecOut, const char* pszType, const uint8_t* pData, size_t nSize) {
    PutBE32(vecOut, static_cast<uint32_t>(nSize));
    const size_t nStart = vecOut.size();
    vecOut.insert(vecOut.end(), pszType, pszType + 4);
    if (nSize) vecOut.insert(vecOut.end(), pData, pData + nSize);
    const uLong nCrc = crc32(0, vecOut.data() + nStart, static_cast<uInt>(nSize + 4));
    PutBE32(vecOut, static_cast<uint32_t>(nCrc));
}

std::string Millimetres(double d, double dSpan) {
    char sz[32];
    std::snprintf(sz, sizeof(sz), dSpan >= 100 ? "%.0f" : dSpan >= 10 ? "%.1f" : "%.2f", d);
    return sz;
}

}  // namespace

CKxEyeHeightGrid::CKxEyeHeightGrid(double dCell, uint64_t nMaxCells)
    : m_dCell(std::isfinite(dCell) && dCell > 0 ? dCell : 1.0), m_nMaxCells(std::max<uint64_t>(nMaxCells, 16)) {}

void CKxEyeHeightGrid::Add(double dAcross, double dDown, float fZ) {
    if (m_bUp) fZ = -fZ;
    if (!std::isfinite(dAcross) || !std::isfinite(dDown) || !std::isfinite(fZ) ||
        std::fabs(dAcross) > c_dKxEyeGridMaxCoordinate || std::fabs(dDown) > c_dKxEyeGridMaxCoordinate) {
        ++m_nSkipped;
        return;
    }
    int64_t nCol = static_cast<int64_t>(std::floor(dAcross / m_dCell));
    int64_t nRow = static_cast<int64_t>(std::floor(dDown / m_dCell));
    while (m_nCols == 0 || nCol < m_nCol0 || nCol >= m_nCol0 + m_nCols || nRow < m_nRow0 || nRow >= m_nRow0 + m_nRows) {
        Grow(nCol, nRow);
        nCol = static_cast<int64_t>(std::floor(dAcross / m_dCell));
        nRow = static_cast<int64_t>(std::floor(dDown / m_dCell));
    }
    float& f = m_vecCells[static_cast<size_t>((nRow - m_nRow0) * m_nCols + (nCol - m_nCol0))];
    if (std::isnan(f) || fZ < f) f = fZ;
    if (m_nPoints == 0) {
        m_nMinCol = m_nMaxCol = nCol;
        m_nMinRow = m_nMaxRow = nRow;
        m_fMinZ = m_fMaxZ = fZ;
    } else {
        m_nMinCol = std::min(m_nMinCol, nCol);
        m_nMaxCol = std::max(m_nMaxCol, nCol);
        m_nMinRow = std::min(m_nMinRow, nRow);
        m_nMaxRow = std::max(m_nMaxRow, nRow);
        m_fMinZ = std::min(m_fMinZ, fZ);
        m_fMaxZ = std::max(m_fMaxZ, fZ);
    }
    ++m_nPoints;
}

// Makes the window hold (nCol, nRow): with room to spare when that fits the limit, else just
// enough, else at half the resolution (the caller then places the point again).
void CKxEyeHeightGrid::Grow(int64_t nCol, int64_t nRow) {
    int64_t c0 = nCol, c1 = nCol, r0 = nRow, r1 = nRow;
    if (m_nCols > 0) {
        c0 = std::min(c0, m_nCol0);
        c1 = std::max(c1, m_nCol0 + m_nCols - 1);
        r0 = std::min(r0, m_nRow0);
        r1 = std::max(r1, m_nRow0 + m_nRows - 1);
    }
    // Room in the direction it grew: half the extent again, at least 16 cells.
    const int64_t nSlackC = std::max<int64_t>(16, (c1 - c0 + 1) / 2);
    const int64_t nSlackR = std::max<int64_t>(16, (r1 - r0 + 1) / 2);
    const bool bEmpty = m_nCols == 0;
    int64_t a0 = c0 - ((bEmpty || nCol < m_nCol0) ? nSlackC : 0);
    int64_t a1 = c1 + ((bEmpty || nCol >= m_nCol0 + m_nCols) ? nSlackC : 0);
    int64_t b0 = r0 - ((bEmpty || nRow < m_nRow0) ? nSlackR : 0);
    int64_t b1 = r1 + ((bEmpty || nRow >= m_nRow0 + m_nRows) ? nSlackR : 0);
    auto cells = [](int64_t x0, int64_t x1, int64_t y0, int64_t y1) {
        return static_cast<double>(x1 - x0 + 1) * static_cast<double>(y1 - y0 + 1);
    };
    if (cells(a0, a1, b0, b1) > static_cast<double>(m_nMaxCells)) {
        a0 = c0, a1 = c1, b0 = r0, b1 = r1;
        if (cells(a0, a1, b0, b1) > static_cast<double>(m_nMaxCells)) {
            if (bEmpty) {
                m_dCell *= 2;
                ++m_nHalvings;
            } else {
                Halve();
            }
            return;
        }
    }
    std::vector<float> vecNew(static_cast<size_t>((a1 - a0 + 1) * (b1 - b0 + 1)), c_fNaN);
    for (int64_t r = 0; r < m_nRows; ++r)
        std::copy_n(&m_vecCells[static_cast<size_t>(r * m_nCols)], m_nCols,
                    &vecNew[static_cast<size_t>((m_nRow0 + r - b0) * (a1 - a0 + 1) + (m_nCol0 - a0))]);
    m_vecCells.swap(vecNew);
    m_nCol0 = a0;
    m_nRow0 = b0;
    m_nCols = a1 - a0 + 1;
    m_nRows = b1 - b0 + 1;
}

void CKxEyeHeightGrid::Halve() {
    const int64_t c0 = FloorHalf(m_nCol0), c1 = FloorHalf(m_nCol0 + m_nCols - 1);
    const int64_t r0 = FloorHalf(m_nRow0), r1 = FloorHalf(m_nRow0 + m_nRows - 1);
    const int64_t nCols = c1 - c0 + 1, nRows = r1 - r0 + 1;
    std::vector<float> vecNew(static_cast<size_t>(nCols * nRows), c_fNaN);
    for (int64_t r = 0; r < m_nRows; ++r) {
        for (int64_t c = 0; c < m_nCols; ++c) {
            const float f = m_vecCells[static_cast<size_t>(r * m_nCols + c)];
            if (std::isnan(f)) continue;
            float& g = vecNew[static_cast<size_t>((FloorHalf(m_nRow0 + r) - r0) * nCols + (FloorHalf(m_nCol0 + c) - c0))];
            if (std::isnan(g) || f < g) g = f;
        }
    }
    m_vecCells.swap(vecNew);
    m_nCol0 = c0;
    m_nRow0 = r0;
    m_nCols = nCols;
    m_nRows = nRows;
    m_nMinCol = FloorHalf(m_nMinCol);
    m_nMaxCol = FloorHalf(m_nMaxCol);
    m_nMinRow = FloorHalf(m_nMinRow);
    m_nMaxRow = FloorHalf(m_nMaxRow);
    m_dCell *= 2;
    ++m_nHalvings;
}

float CKxEyeHeightGrid::At(int64_t nColumn, int64_t nRow) const {
    if (m_nCols == 0 || nColumn < m_nCol0 || nColumn >= m_nCol0 + m_nCols || nRow < m_nRow0 ||
        nRow >= m_nRow0 + m_nRows)
        return c_fNaN;
    return m_vecCells[static_cast<size_t>((nRow - m_nRow0) * m_nCols + (nColumn - m_nCol0))];
}

std::vector<float> CKxEyeHeightGrid::Extract(uint32_t nFillRows) const {
    const uint32_t nCols = Columns(), nRows = Rows();
    std::vector<float> vec(static_cast<size_t>(nCols) * nRows, c_fNaN);
    for (uint32_t c = 0; c < nCols; ++c) {
        int64_t nPrev = -1;  // last filled row
        for (uint32_t r = 0; r < nRows; ++r) {
            const float f = At(m_nMinCol + c, m_nMinRow + r);
            if (std::isnan(f)) continue;
            vec[static_cast<size_t>(r) * nCols + c] = f;
            // A gap between two filled cells of at most nFillRows: its upper half takes the
            // cell above, its lower half the cell below, so an edge moves by half a step at most.
            const int64_t nGap = static_cast<int64_t>(r) - nPrev - 1;
            if (nPrev >= 0 && nGap > 0 && nGap <= static_cast<int64_t>(nFillRows)) {
                const float fAbove = vec[static_cast<size_t>(nPrev) * nCols + c];
                for (int64_t k = 1; k <= nGap; ++k)
                    vec[static_cast<size_t>(nPrev + k) * nCols + c] = 2 * k <= nGap ? fAbove : f;
            }
            nPrev = r;
        }
    }
    return vec;
}

void KxEyeHeightColour(double t, uint8_t abyRgb[3]) {
    // A rainbow from red (near) to dark blue (far), even in lightness steps (polynomial "turbo").
    const double x = 1.0 - std::clamp(std::isfinite(t) ? t : 0.0, 0.0, 1.0);
    const double r = 0.13572138 + x * (4.61539260 + x * (-42.66032258 + x * (132.13108234 + x * (-152.94239396 + x * 59.28637943))));
    const double g = 0.09140261 + x * (2.19418839 + x * (4.84296658 + x * (-14.18503333 + x * (4.27729857 + x * 2.82956604))));
    const double b = 0.10667330 + x * (12.64194608 + x * (-60.58204836 + x * (110.36276771 + x * (-89.90310912 + x * 27.34824973))));
    abyRgb[0] = static_cast<uint8_t>(std::lround(255 * std::clamp(r, 0.0, 1.0)));
    abyRgb[1] = static_cast<uint8_t>(std::lround(255 * std::clamp(g, 0.0, 1.0)));
    abyRgb[2] = static_cast<uint8_t>(std::lround(255 * std::clamp(b, 0.0, 1.0)));
}

double KxEyeAutoCell(double dLineSpacing, double dTravelPerProfile) {
    double d = 0;
    if (std::isfinite(dLineSpacing) && dLineSpacing > 0) d = dLineSpacing;
    if (std::isfinite(dTravelPerProfile) && dTravelPerProfile > 0) d = std::max(d, dTravelPerProfile / 4);
    if (d <= 0) return 1.0;
    const double dScale = std::pow(10.0, std::floor(std::log10(d)) - 1);
    return std::ceil(d / dScale - 1e-9) * dScale;
}

std::vector<uint8_t> KxEyeEncodePng(const uint8_t* pbyPixels, uint32_t nWidth, uint32_t nHeight, int nChannels) {
    std::vector<uint8_t> vecOut = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<uint8_t> vecHeader;
    PutBE32(vecHeader, nWidth);
    PutBE32(vecHeader, nHeight);
    vecHeader.insert(vecHeader.end(), {8, static_cast<uint8_t>(nChannels == 1 ? 0 : 2), 0, 0, 0});
    Chunk(vecOut, "IHDR", vecHeader.data(), vecHeader.size());
    const size_t nStride = static_cast<size_t>(nWidth) * nChannels;
    std::vector<uint8_t> vecRaw;
    vecRaw.reserve((nStride + 1) * nHeight);
    for (uint32_t y = 0; y < nHeight; ++y) {
        vecRaw.push_back(0);  // no filter
        vecRaw.insert(vecRaw.end(), pbyPixels + y * nStride, pbyPixels + (y + 1) * nStride);
    }
    uLongf nPacked = compressBound(static_cast<uLong>(vecRaw.size()));
    std::vector<uint8_t> vecPacked(nPacked);
    if (compress2(vecPacked.data(), &nPacked, vecRaw.data(), static_cast<uLong>(vecRaw.size()), 6) != Z_OK) return {};
    Chunk(vecOut, "IDAT", vecPacked.data(), nPacked);
    Chunk(vecOut, "IEND", nullptr, 0);
    return vecOut;
}

bool KxEyeWriteHeightMap(const CKxEyeHeightGrid& grid, uint32_t nFillRows, const std::string& strPath,
                         SKxEyeHeightMapInfo& info, std::string& strError) {
    if (grid.Empty()) {
        strError = "no point for the height map";
        return false;
    }
    const uint32_t nCols = grid.Columns(), nRows = grid.Rows();
    const uint32_t nPanel = 130;  // legend
    const uint32_t nHeight = std::max<uint32_t>(nRows, 240);
    const uint32_t nWidth = nCols + nPanel;
    CCanvas canvas(nWidth, nHeight, 40);
    const uint8_t abyBlack[3] = {0, 0, 0}, abyWhite[3] = {235, 235, 235};
    canvas.Fill(0, 0, nCols, nRows, abyBlack);
    const double dMin = grid.MinZ(), dMax = grid.MaxZ(), dSpan = dMax - dMin;
    const std::vector<float> vecCells = grid.Extract(nFillRows);
    for (uint32_t r = 0; r < nRows; ++r) {
        for (uint32_t c = 0; c < nCols; ++c) {
            const float f = vecCells[static_cast<size_t>(r) * nCols + c];
            if (std::isnan(f)) continue;
            uint8_t aby[3];
            KxEyeHeightColour(dSpan > 0 ? (f - dMin) / dSpan : 0.0, aby);
            canvas.Set(c, r, aby);
        }
    }
    // Legend: "Z mm", the bar from the nearest (top) to the farthest, five labelled ticks, and a
    // length scale bar at the bottom.
    const int64_t x = nCols + 8;
    canvas.Text(x, 6, "Z mm", 2, abyWhite);
    const int64_t nBarTop = 30, nBarBottom = static_cast<int64_t>(nHeight) - 56;
    for (int64_t y = nBarTop; y <= nBarBottom; ++y) {
        uint8_t aby[3];
        KxEyeHeightColour(static_cast<double>(y - nBarTop) / static_cast<double>(nBarBottom - nBarTop), aby);
        canvas.Fill(x, y, 18, 1, aby);
    }
    for (int k = 0; k <= 4; ++k) {
        const int64_t y = nBarTop + (nBarBottom - nBarTop) * k / 4;
        canvas.Fill(x + 18, y, 6, 1, abyWhite);
        const double dValue = dMin + dSpan * k / 4;
        canvas.Text(x + 30, y - 7, Millimetres(grid.HeightsUp() ? -dValue : dValue, dSpan), 2, abyWhite);
    }
    const double dCell = grid.Cell();
    double dLength = 0;
    for (double dDecade = 1e-3; dDecade <= 1e7 && dLength == 0; dDecade *= 10) {
        for (double dStep : {5.0, 2.0, 1.0}) {
            const double d = dStep * dDecade * 10;
            if (d / dCell <= nPanel - 20 && d / dCell >= 8) {
                dLength = d;
                break;
            }
        }
    }
    if (dLength > 0) {
        const int64_t nLength = std::lround(dLength / dCell);
        canvas.Fill(x, nHeight - 40, nLength, 3, abyWhite);
        canvas.Fill(x, nHeight - 45, 1, 13, abyWhite);
        canvas.Fill(x + nLength - 1, nHeight - 45, 1, 13, abyWhite);
        char sz[32];
        std::snprintf(sz, sizeof(sz), "%g mm", dLength);
        canvas.Text(x, nHeight - 26, sz, 2, abyWhite);
    }
    const std::vector<uint8_t> vecPng = KxEyeEncodePng(canvas.Data(), nWidth, nHeight, 3);
    CKxEyeOutFile file;
    if (vecPng.empty() || !file.Open(strPath) || !file.Write(vecPng.data(), vecPng.size()) || !file.Commit()) {
        strError = file.Error().empty() ? "cannot write " + strPath : file.Error();
        return false;
    }
    info.nWidth = nWidth;
    info.nHeight = nHeight;
    info.nColumns = nCols;
    info.nRows = nRows;
    info.dCell = dCell;
    info.dX0 = static_cast<double>(grid.FirstColumn()) * dCell;
    info.dY0 = static_cast<double>(grid.FirstRow()) * dCell;
    info.dMinZ = grid.HeightsUp() ? -dMax : dMin;
    info.dMaxZ = grid.HeightsUp() ? -dMin : dMax;
    return true;
}
