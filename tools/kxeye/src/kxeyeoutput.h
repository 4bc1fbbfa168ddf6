// Points out of a result block, in every point format. The files are written by kxeyefile.
#ifndef KXEYEOUTPUT_H
#define KXEYEOUTPUT_H

#include <cstdint>
#include <string>
#include <vector>

#include "kxlasereyedevice.h"

struct SKxEyePoint {
    float fX, fY, fZ;
    int32_t nColumn;  // left image column, -1 when unknown
    int32_t nRow;     // image row, -1 when unknown
};

// Size in bytes of one record of the first (points) and second (pixels) array of a format;
// 0 for a format outside 0 to 6.
uint32_t KxEyePointRecordSize(int32_t nFormat);
uint32_t KxEyePixelRecordSize(int32_t nFormat);

// Converts nCount records of any format into points; pPixels may be null (columns become -1).
void KxEyeConvertPoints(int32_t nFormat, const void* pPoints, const void* pPixels, int32_t nCount,
                        std::vector<SKxEyePoint>& vecOut);

// Decodes a block in the given format with its after-processing already set.
// Answers the number of points (0 when the block has none).
int32_t KxEyeReadBlock(IKxLaserEyeResultBlock* pBlock, int32_t nFormat, std::vector<SKxEyePoint>& vecOut);

// True when the laser line spreads more across image columns than across rows.
bool KxEyeLineAlongColumns(const std::vector<std::vector<SKxEyePoint>>& vecProfiles);


#endif
