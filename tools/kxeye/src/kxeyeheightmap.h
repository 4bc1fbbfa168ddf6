// Height maps to scale: points in mm resampled onto a square grid (the line coordinate across,
// the travel coordinate down), drawn with a colour scale and a legend bar in mm.
#ifndef KXEYEHEIGHTMAP_H
#define KXEYEHEIGHTMAP_H

#include <cstdint>
#include <string>
#include <vector>

// Cells a grid may hold before it halves its resolution (4 bytes each: 64 MB).
static const uint64_t c_nKxEyeGridMaxCells = uint64_t(16) << 20;
// Coordinates beyond this (mm) are taken for noise and left out of a grid.
static const double c_dKxEyeGridMaxCoordinate = 1e7;

// A growing grid of the nearest Z (smallest, what is seen from above) per cell. Cell (c, r)
// covers [c * cell, (c + 1) * cell) across and [r * cell, (r + 1) * cell) down, so that halving
// the resolution merges whole cells. When the cells it spans would pass the limit, the cell
// size doubles (as often as needed): memory stays bounded whatever the scan length.
class CKxEyeHeightGrid {
public:
    explicit CKxEyeHeightGrid(double dCell, uint64_t nMaxCells = c_nKxEyeGridMaxCells);

    // dAcross: along the laser line; dDown: the travel coordinate. Non-finite values are skipped.
    void Add(double dAcross, double dDown, float fZ);

    // Heights instead of depths (world coordinates, Z up): the highest point of a cell is the
    // one seen from above. Call before the first Add. Cells hold -Z then; the map's labels and
    // figures show Z again.
    void SetHeightsUp(bool bUp) { m_bUp = bUp; }
    bool HeightsUp() const { return m_bUp; }

    double Cell() const { return m_dCell; }
    uint32_t Halvings() const { return m_nHalvings; }
    bool Empty() const { return m_nPoints == 0; }
    uint64_t Points() const { return m_nPoints; }
    uint64_t Skipped() const { return m_nSkipped; }
    // Extent of the cells that hold a point (valid when not Empty).
    int64_t FirstColumn() const { return m_nMinCol; }
    int64_t FirstRow() const { return m_nMinRow; }
    uint32_t Columns() const { return Empty() ? 0 : static_cast<uint32_t>(m_nMaxCol - m_nMinCol + 1); }
    uint32_t Rows() const { return Empty() ? 0 : static_cast<uint32_t>(m_nMaxRow - m_nMinRow + 1); }
    float MinZ() const { return m_fMinZ; }
    float MaxZ() const { return m_fMaxZ; }
    // Z of cell (c, r) in grid indices; NaN when no point fell in it.
    float At(int64_t nColumn, int64_t nRow) const;
    // The occupied extent row by row (Rows() x Columns()). A run of at most nFillRows empty
    // cells between two filled ones down a column (a travel step longer than a cell leaves such
    // gaps between profiles) takes the nearer of the two, the upper one on a tie; other empty
    // cells are NaN.
    std::vector<float> Extract(uint32_t nFillRows) const;

private:
    void Grow(int64_t nCol, int64_t nRow);
    void Halve();
    double m_dCell;
    uint64_t m_nMaxCells;
    uint32_t m_nHalvings = 0;
    // Allocated window.
    int64_t m_nCol0 = 0, m_nRow0 = 0, m_nCols = 0, m_nRows = 0;
    std::vector<float> m_vecCells;
    // Occupied extent.
    int64_t m_nMinCol = 0, m_nMaxCol = -1, m_nMinRow = 0, m_nMaxRow = -1;
    uint64_t m_nPoints = 0, m_nSkipped = 0;
    float m_fMinZ = 0, m_fMaxZ = 0;
    bool m_bUp = false;
};

// Colour of a height on the scale: t = 0 the nearest (red) to 1 the farthest (dark blue).
void KxEyeHeightColour(double t, uint8_t abyRgb[3]);

// Cell size (mm) when none is given: the spacing of the points along the line, but not below a
// quarter of the travel per profile (the gap between rows is filled), rounded to two significant
// digits; 1 mm when neither is known.
double KxEyeAutoCell(double dLineSpacing, double dTravelPerProfile);

struct SKxEyeHeightMapInfo {
    uint32_t nWidth = 0, nHeight = 0;      // PNG size in pixels, legend included
    uint32_t nColumns = 0, nRows = 0;      // grid cells shown
    double dCell = 0;                      // mm
    double dX0 = 0, dY0 = 0;               // mm, corner of the first cell (line coordinate, travel coordinate)
    double dMinZ = 0, dMaxZ = 0;           // mm
};

// Writes the grid as an RGB PNG: one pixel per cell (black where empty), the first row at the
// top, with a panel on the right: the colour bar labelled in mm of Z and a length scale bar.
bool KxEyeWriteHeightMap(const CKxEyeHeightGrid& grid, uint32_t nFillRows, const std::string& strPath,
                         SKxEyeHeightMapInfo& info, std::string& strError);

// Plain RGB (or grey when nChannels is 1) PNG in memory, for the map and the viewer's snapshot.
std::vector<uint8_t> KxEyeEncodePng(const uint8_t* pbyPixels, uint32_t nWidth, uint32_t nHeight, int nChannels);

#endif
