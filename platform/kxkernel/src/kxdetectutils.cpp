// Detection ROI rules of the sensor (docs/roi-rules.md).
#include "kxkernel.h"

namespace {

const int c_nAlignLeft = 32;
const int c_nAlignWidth = 4;
const int c_nMinWidth = 64;
const int c_nMinHeight = 8;

// 64-bit arithmetic: edges come from the camera or the application and may be anything.
int CheckOne(const SKxNLROIRect& r, int64_t nW, int64_t nH) {
    const int64_t w = static_cast<int64_t>(r.right) - r.left;
    const int64_t h = static_cast<int64_t>(r.bottom) - r.top;
    if (w <= 0 || h <= 0) return c_nKxRoiEmpty;
    if (r.left < 0 || r.top < 0 || r.right > nW || r.bottom > nH) return c_nKxRoiOutside;
    if (r.left % c_nAlignLeft != 0) return c_nKxRoiAlignLeft;
    if (w % c_nAlignWidth != 0) return c_nKxRoiAlignWidth;
    if (w < c_nMinWidth || h < c_nMinHeight) return c_nKxRoiTooSmall;
    return 0;
}

// Remainder below 17 rounds down, otherwise up.
int64_t RoundTo32(int64_t x) {
    int64_t r = x % c_nAlignLeft;
    if (r < 0) r += c_nAlignLeft;
    return r < 17 ? x - r : x + (c_nAlignLeft - r);
}

// Places a rectangle of the given size nearest to where it was, inside the frame.
void Place(SKxNLROIRect& r, int64_t w, int64_t h, int64_t nW, int64_t nH) {
    int64_t x = RoundTo32(r.left);
    const int64_t xMax = ((nW - w) / c_nAlignLeft) * c_nAlignLeft;
    if (x > xMax) x = xMax;
    if (x < 0) x = 0;
    int64_t y = r.top;
    if (y > nH - h) y = nH - h;
    if (y < 0) y = 0;
    r.left = static_cast<int32_t>(x);
    r.right = static_cast<int32_t>(x + w);
    r.top = static_cast<int32_t>(y);
    r.bottom = static_cast<int32_t>(y + h);
}

}  // namespace

namespace KxDetectUtils {

int IsValidDetectROI(const SKxNLROIRect& left, const SKxNLROIRect& right,
                     const SKxVideoResolution& res, uint32_t /*nFlags*/, void* /*pOut*/) {
    const int64_t nW = res.nFrameWidth;
    const int64_t nH = res.nFrameHeight;
    int nCode = CheckOne(left, nW, nH);
    if (nCode != 0) return nCode;
    nCode = CheckOne(right, nW, nH);
    if (nCode != 0) return nCode;
    // The camera applies the left size to both images.
    if (static_cast<int64_t>(right.right) - right.left != static_cast<int64_t>(left.right) - left.left ||
        static_cast<int64_t>(right.bottom) - right.top != static_cast<int64_t>(left.bottom) - left.top)
        return c_nKxRoiSizeMismatch;
    return 0;
}

int FormatDetectROI(const SKxVideoResolution& res, SKxNLROIRect& left, SKxNLROIRect& right,
                    int /*nMode*/, uint32_t nFlags, int /*nReserved*/, void* /*pRobot*/) {
    const int64_t nW = res.nFrameWidth;
    const int64_t nH = res.nFrameHeight;
    // A frame narrower than one minimal aligned ROI has no valid pair at all.
    if (nW < c_nMinWidth || nH < c_nMinHeight) {
        KxLogUtils::PrintLog(c_nKxLogError, "Format Detect ROI Failed: Frame %u x %u Too Small",
                             res.nFrameWidth, res.nFrameHeight);
        return c_nKxRoiTooSmall;
    }
    int64_t x0 = left.left, x1 = left.right, y0 = left.top, y1 = left.bottom;
    if (x1 < x0) { int64_t t = x0; x0 = x1; x1 = t; }
    if (y1 < y0) { int64_t t = y0; y0 = y1; y1 = t; }
    left.left = static_cast<int32_t>(x0);
    left.top = static_cast<int32_t>(y0);
    if (right.right < right.left) { int32_t t = right.left; right.left = right.right; right.right = t; }
    if (right.bottom < right.top) { int32_t t = right.top; right.top = right.bottom; right.bottom = t; }

    // Size of the left ROI: nearest multiple of 4, within the minimum and the frame.
    int64_t w = ((x1 - x0 + c_nAlignWidth / 2) / c_nAlignWidth) * c_nAlignWidth;
    const int64_t wMax = (nW / c_nAlignWidth) * c_nAlignWidth;
    if (w > wMax) w = wMax;
    if (w < c_nMinWidth) w = c_nMinWidth;
    int64_t h = y1 - y0;
    if (h > nH) h = nH;
    if (h < c_nMinHeight) h = c_nMinHeight;

    Place(left, w, h, nW, nH);
    Place(right, w, h, nW, nH);
    return IsValidDetectROI(left, right, res, nFlags, NULL);
}

}  // namespace KxDetectUtils
