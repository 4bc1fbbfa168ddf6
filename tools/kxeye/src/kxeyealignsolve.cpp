// Finding the box in one camera's cloud and solving the camera's pose in W.
//
// 1. The belt: the largest flat surface (RANSAC, then least squares), its normal turned towards
//    the camera: "up".
// 2. What stands above it, in connected pieces on a grid over the belt; the box is the piece
//    with a flat top at the box's height whose outline (the smallest rectangle round the top's
//    points) has the box's length along the travel and its width across.
// 3. A first pose from that outline; then each point near the box is given to the face it lies
//    on (top, the two faces along the travel, the two across it), and the pose is solved by
//    least squares over the points' distances to their faces (Gauss-Newton), the faces given
//    again with a tighter tolerance each round.
// 4. The free fit (six degrees of freedom) tells how far the camera's X leans from W's Y; within
//    the tolerance, the pose is solved once more as a camera on the belt has it (a roll about the
//    travel and a shift), so that the travel added on W's Y agrees with the cloud.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "kxeyealign.h"

namespace {

using V = KxEyeVec3;

V Add(const V& a, const V& b) { return {a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }
V Sub(const V& a, const V& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
V Mul(const V& a, double s) { return {a[0] * s, a[1] * s, a[2] * s}; }
double Dot(const V& a, const V& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
V Cross(const V& a, const V& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
double Norm(const V& a) { return std::sqrt(Dot(a, a)); }
V Unit(const V& a) {
    const double d = Norm(a);
    return d > 0 ? Mul(a, 1.0 / d) : V{0, 0, 0};
}
V Apply(const double* r, const V& p) {
    return {r[0] * p[0] + r[1] * p[1] + r[2] * p[2], r[3] * p[0] + r[4] * p[1] + r[5] * p[2],
            r[6] * p[0] + r[7] * p[1] + r[8] * p[2]};
}

// Eigen decomposition of a symmetric n x n matrix (Jacobi); eigenvalues ascending, vectors in
// the columns of vecV.
void SymEigen(std::vector<double> a, int n, std::vector<double>& vecW, std::vector<double>& vecV) {
    vecV.assign(static_cast<size_t>(n * n), 0.0);
    for (int i = 0; i < n; ++i) vecV[static_cast<size_t>(i * n + i)] = 1.0;
    auto A = [&](int i, int k) -> double& { return a[static_cast<size_t>(i * n + k)]; };
    auto Vv = [&](int i, int k) -> double& { return vecV[static_cast<size_t>(i * n + k)]; };
    for (int sweep = 0; sweep < 60; ++sweep) {
        double dOff = 0;
        for (int i = 0; i < n; ++i)
            for (int k = i + 1; k < n; ++k) dOff += A(i, k) * A(i, k);
        if (dOff < 1e-30) break;
        for (int p = 0; p < n; ++p)
            for (int q = p + 1; q < n; ++q) {
                if (std::fabs(A(p, q)) < 1e-300) continue;
                const double theta = (A(q, q) - A(p, p)) / (2 * A(p, q));
                const double t = (theta >= 0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1));
                const double c = 1 / std::sqrt(t * t + 1), s = t * c;
                for (int k = 0; k < n; ++k) {
                    const double akp = A(k, p), akq = A(k, q);
                    A(k, p) = c * akp - s * akq;
                    A(k, q) = s * akp + c * akq;
                }
                for (int k = 0; k < n; ++k) {
                    const double apk = A(p, k), aqk = A(q, k);
                    A(p, k) = c * apk - s * aqk;
                    A(q, k) = s * apk + c * aqk;
                }
                for (int k = 0; k < n; ++k) {
                    const double vkp = Vv(k, p), vkq = Vv(k, q);
                    Vv(k, p) = c * vkp - s * vkq;
                    Vv(k, q) = s * vkp + c * vkq;
                }
            }
    }
    std::vector<int> vecOrder(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) vecOrder[static_cast<size_t>(i)] = i;
    std::sort(vecOrder.begin(), vecOrder.end(), [&](int x, int y) { return A(x, x) < A(y, y); });
    vecW.resize(static_cast<size_t>(n));
    std::vector<double> vecSorted(static_cast<size_t>(n * n));
    for (int j = 0; j < n; ++j) {
        vecW[static_cast<size_t>(j)] = A(vecOrder[static_cast<size_t>(j)], vecOrder[static_cast<size_t>(j)]);
        for (int i = 0; i < n; ++i) vecSorted[static_cast<size_t>(i * n + j)] = Vv(i, vecOrder[static_cast<size_t>(j)]);
    }
    vecV = vecSorted;
}

// Solves the normal equations (n x n, symmetric) through their eigen decomposition; false when
// some direction is not fixed by the points (its eigenvalue vanishes against the largest).
bool SolveNormal(const std::vector<double>& vecA, const std::vector<double>& vecB, int n, std::vector<double>& vecX) {
    std::vector<double> vecW, vecV;
    SymEigen(vecA, n, vecW, vecV);
    if (!(vecW.back() > 0) || vecW.front() < 1e-9 * vecW.back()) return false;
    vecX.assign(static_cast<size_t>(n), 0.0);
    for (int j = 0; j < n; ++j) {
        double d = 0;
        for (int i = 0; i < n; ++i) d += vecV[static_cast<size_t>(i * n + j)] * vecB[static_cast<size_t>(i)];
        d /= vecW[static_cast<size_t>(j)];
        for (int i = 0; i < n; ++i) vecX[static_cast<size_t>(i)] += d * vecV[static_cast<size_t>(i * n + j)];
    }
    return true;
}

struct SPlane {
    V n{0, 0, 1};
    double d = 0;  // n·p = d
};

// Least-squares plane through the points (the smallest axis of their spread).
bool FitPlane(const std::vector<V>& pts, const std::vector<size_t>& vecIdx, SPlane& out) {
    if (vecIdx.size() < 3) return false;
    V c{0, 0, 0};
    for (size_t i : vecIdx) c = Add(c, pts[i]);
    c = Mul(c, 1.0 / static_cast<double>(vecIdx.size()));
    std::vector<double> a(9, 0.0);
    for (size_t i : vecIdx) {
        const V q = Sub(pts[i], c);
        for (int r = 0; r < 3; ++r)
            for (int k = 0; k < 3; ++k) a[static_cast<size_t>(r * 3 + k)] += q[static_cast<size_t>(r)] * q[static_cast<size_t>(k)];
    }
    std::vector<double> w, v;
    SymEigen(a, 3, w, v);
    out.n = Unit(V{v[0], v[3], v[6]});
    out.d = Dot(out.n, c);
    return Norm(out.n) > 0.5;
}

// Smallest rectangle round 2D points (rotating the hull's edges): centre, unit axis of side 1,
// the two side lengths.
struct SRect {
    double cx = 0, cy = 0;
    double ex = 1, ey = 0;  // side 1's direction; side 2 is (-ey, ex)
    double s1 = 0, s2 = 0;
};
SRect MinRect(std::vector<std::array<double, 2>> p) {
    SRect best;
    std::sort(p.begin(), p.end());
    p.erase(std::unique(p.begin(), p.end()), p.end());
    if (p.size() < 3) return best;
    auto cross = [](const std::array<double, 2>& o, const std::array<double, 2>& a, const std::array<double, 2>& b) {
        return (a[0] - o[0]) * (b[1] - o[1]) - (a[1] - o[1]) * (b[0] - o[0]);
    };
    std::vector<std::array<double, 2>> h(2 * p.size());
    size_t k = 0;
    for (size_t i = 0; i < p.size(); ++i) {
        while (k >= 2 && cross(h[k - 2], h[k - 1], p[i]) <= 0) --k;
        h[k++] = p[i];
    }
    for (size_t i = p.size() - 1, t = k + 1; i > 0; --i) {
        while (k >= t && cross(h[k - 2], h[k - 1], p[i - 1]) <= 0) --k;
        h[k++] = p[i - 1];
    }
    h.resize(k - 1);
    double dBest = INFINITY;
    for (size_t i = 0; i < h.size(); ++i) {
        const auto& a = h[i];
        const auto& b = h[(i + 1) % h.size()];
        double ex = b[0] - a[0], ey = b[1] - a[1];
        const double l = std::hypot(ex, ey);
        if (l <= 0) continue;
        ex /= l;
        ey /= l;
        double lo1 = INFINITY, hi1 = -INFINITY, lo2 = INFINITY, hi2 = -INFINITY;
        for (const auto& q : h) {
            const double u = q[0] * ex + q[1] * ey, v = -q[0] * ey + q[1] * ex;
            lo1 = std::min(lo1, u);
            hi1 = std::max(hi1, u);
            lo2 = std::min(lo2, v);
            hi2 = std::max(hi2, v);
        }
        const double dArea = (hi1 - lo1) * (hi2 - lo2);
        if (dArea < dBest) {
            dBest = dArea;
            const double mu = (lo1 + hi1) / 2, mv = (lo2 + hi2) / 2;
            best.cx = mu * ex - mv * ey;
            best.cy = mu * ey + mv * ex;
            best.ex = ex;
            best.ey = ey;
            best.s1 = hi1 - lo1;
            best.s2 = hi2 - lo2;
        }
    }
    return best;
}

std::string Mm(double d) {
    char sz[32];
    std::snprintf(sz, sizeof(sz), "%.1f", d);
    return sz;
}

// Faces of the box in W: top, -X, +X, -Y, +Y.
enum EFace { FaceTop = 0, FaceMinusX, FacePlusX, FaceMinusY, FacePlusY, FaceCount };

struct SConstraint {
    size_t nPoint;  // into the centred points
    V n;            // face normal in W
    double d;       // n·w = d on the face
};

class CSolver {
public:
    // pts: the box's piece, then (from nBelt on) belt points around it.
    CSolver(const std::vector<V>& pts, size_t nBelt, const SKxEyeAlignTarget& t) : m_pts(pts), m_nBelt(nBelt), m_t(t) {}

    // Gives each point to the face it lies on (within dTol) under the current pose; the top's
    // long edges stand in for an X face when none was seen.
    void Assign(double dTol) {
        m_vecCons.clear();
        std::fill(std::begin(m_anFace), std::end(m_anFace), 0);
        const double hx = m_t.dWidth / 2, hy = m_t.dLength / 2, H = m_t.dHeight;
        const double dLow = std::min(3.0, H / 4);
        std::vector<std::pair<double, size_t>> vecTop;  // y, point
        m_nBeltUsed = 0;
        for (size_t i = 0; i < m_pts.size(); ++i) {
            const V w = Add(Apply(m_r, m_pts[i]), V{m_tr[0], m_tr[1], m_tr[2]});
            const V q{w[0] - m_t.dOriginX, w[1] - m_t.dOriginY, w[2]};
            if (i >= m_nBelt) {
                // The belt is the box's bottom plane, Z = 0: around the box, clear of its foot.
                if (std::fabs(q[2]) < dTol && (std::fabs(q[0]) > hx + 2.0 || std::fabs(q[1]) > hy + 2.0)) {
                    m_vecCons.push_back({i, V{0, 0, 1}, 0.0});
                    ++m_nBeltUsed;
                }
                continue;
            }
            // The nearest face within the tolerance; a point as near to a second face (by an
            // edge) is left out: it lies on both planes, and the noise would decide. The top's
            // edge points still count for the top's outline below.
            double dBest = dTol, dSecond = INFINITY;
            int nFace = -1, nSecond = -1;
            auto consider = [&](int f, double dDist, bool bInside) {
                if (!bInside) return;
                const double d = std::fabs(dDist);
                if (d < dBest) {
                    dSecond = dBest;
                    nSecond = nFace;
                    dBest = d;
                    nFace = f;
                } else if (d < dSecond) {
                    dSecond = d;
                    nSecond = f;
                }
            };
            const bool bInX = std::fabs(q[0]) < hx + dTol, bInY = std::fabs(q[1]) < hy + dTol;
            const bool bSideZ = q[2] > dLow && q[2] < H + dTol;
            consider(FaceTop, q[2] - H, bInX && bInY);
            consider(FaceMinusX, q[0] + hx, bInY && bSideZ);
            consider(FacePlusX, q[0] - hx, bInY && bSideZ);
            consider(FaceMinusY, q[1] + hy, bInX && bSideZ);
            consider(FacePlusY, q[1] - hy, bInX && bSideZ);
            if (nFace < 0) continue;
            if (nSecond >= 0 && dSecond < std::min(dTol, c_dEdgeMargin)) {
                if (nFace == FaceTop || nSecond == FaceTop) vecTop.push_back({q[1], i});
                continue;
            }
            ++m_anFace[nFace];
            m_vecCons.push_back({i, FaceNormal(nFace), FaceOffset(nFace)});
            if (nFace == FaceTop) vecTop.push_back({q[1], i});
        }
        m_bEdges = false;
        if (m_anFace[FaceMinusX] + m_anFace[FacePlusX] >= c_nMinFacePoints) return;
        // No face along the travel: the top's outermost points across, one pair per slice of
        // the travel, lie on the long edges, which lie in those faces' planes.
        std::map<long, std::pair<size_t, size_t>> mapSlices;  // slice -> (min x point, max x point)
        auto qx = [&](size_t i) { return Apply(m_r, m_pts[i])[0] + m_tr[0] - m_t.dOriginX; };
        for (const auto& [y, i] : vecTop) {
            if (std::fabs(y) > hy - 2.0) continue;
            const long nSlice = std::lround(std::floor(y / c_dEdgeSlice));
            auto it = mapSlices.find(nSlice);
            if (it == mapSlices.end()) {
                mapSlices[nSlice] = {i, i};
                continue;
            }
            if (qx(i) < qx(it->second.first)) it->second.first = i;
            if (qx(i) > qx(it->second.second)) it->second.second = i;
        }
        uint64_t anEdge[2] = {};
        std::vector<SConstraint> vecEdge;
        for (const auto& s : mapSlices) {
            const size_t aI[2] = {s.second.first, s.second.second};
            for (int e = 0; e < 2; ++e) {
                const double x = qx(aI[e]);
                const int nFace = e == 0 ? FaceMinusX : FacePlusX;
                if (std::fabs(std::fabs(x) - hx) >= dTol || (e == 0) != (x < 0)) continue;
                vecEdge.push_back({aI[e], FaceNormal(nFace), FaceOffset(nFace)});
                ++anEdge[e];
            }
        }
        if (anEdge[0] + anEdge[1] < c_nMinFacePoints) return;
        m_bEdges = true;
        m_anFace[FaceMinusX] = anEdge[0];
        m_anFace[FacePlusX] = anEdge[1];
        m_vecCons.insert(m_vecCons.end(), vecEdge.begin(), vecEdge.end());
    }

    // Why the points given to the faces cannot fix the pose; empty when they can.
    std::string Undetermined() const {
        std::string s;
        if (m_anFace[FaceTop] < c_nMinTopPoints) s = "its top";
        if (m_anFace[FaceMinusX] + m_anFace[FacePlusX] < c_nMinFacePoints)
            s += std::string(s.empty() ? "" : ", ") + "a side along the travel (nor the top's long edges)";
        if (m_anFace[FaceMinusY] + m_anFace[FacePlusY] < c_nMinFacePoints)
            s += std::string(s.empty() ? "" : ", ") + "a face across the travel";
        return s;
    }

    // Gauss-Newton over the point-to-face distances. bFree: six degrees of freedom; else a
    // camera on the belt: R = [[0,c,s],[1,0,0],[0,s,-c]] and a shift.
    bool Solve(bool bFree) {
        if (!bFree) m_dRoll = std::atan2(m_r[7], m_r[1]);
        for (int it = 0; it < 30; ++it) {
            if (!bFree) SetRoll();
            const int n = bFree ? 6 : 4;
            std::vector<double> a(static_cast<size_t>(n * n), 0.0), b(static_cast<size_t>(n), 0.0);
            for (const SConstraint& c : m_vecCons) {
                const V& p = m_pts[c.nPoint];
                const V q = Apply(m_r, p);
                const double r = Dot(c.n, Add(q, V{m_tr[0], m_tr[1], m_tr[2]})) - c.d;
                double j[6];
                if (bFree) {
                    const V jw = Cross(q, c.n);
                    j[0] = jw[0], j[1] = jw[1], j[2] = jw[2], j[3] = c.n[0], j[4] = c.n[1], j[5] = c.n[2];
                } else {
                    const double cs = std::cos(m_dRoll), sn = std::sin(m_dRoll);
                    const V dq{-sn * p[1] + cs * p[2], 0.0, cs * p[1] + sn * p[2]};
                    j[0] = Dot(c.n, dq), j[1] = c.n[0], j[2] = c.n[1], j[3] = c.n[2];
                }
                for (int r1 = 0; r1 < n; ++r1) {
                    b[static_cast<size_t>(r1)] -= j[r1] * r;
                    for (int r2 = 0; r2 < n; ++r2) a[static_cast<size_t>(r1 * n + r2)] += j[r1] * j[r2];
                }
            }
            std::vector<double> x;
            if (!SolveNormal(a, b, n, x)) return false;
            double dStep = 0;
            if (bFree) {
                const V w{x[0], x[1], x[2]};
                const double dAngle = Norm(w);
                double dr[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
                if (dAngle > 0) {
                    const V k = Mul(w, 1 / dAngle);
                    const double c = std::cos(dAngle), s = std::sin(dAngle), v = 1 - c;
                    const double m[9] = {c + k[0] * k[0] * v,        k[0] * k[1] * v - k[2] * s, k[0] * k[2] * v + k[1] * s,
                                         k[1] * k[0] * v + k[2] * s, c + k[1] * k[1] * v,        k[1] * k[2] * v - k[0] * s,
                                         k[2] * k[0] * v - k[1] * s, k[2] * k[1] * v + k[0] * s, c + k[2] * k[2] * v};
                    std::copy(m, m + 9, dr);
                }
                double nr[9];
                for (int i = 0; i < 3; ++i)
                    for (int k2 = 0; k2 < 3; ++k2)
                        nr[3 * i + k2] = dr[3 * i] * m_r[k2] + dr[3 * i + 1] * m_r[3 + k2] + dr[3 * i + 2] * m_r[6 + k2];
                std::copy(nr, nr + 9, m_r);
                for (int i = 0; i < 3; ++i) m_tr[i] += x[static_cast<size_t>(3 + i)];
                dStep = dAngle * 1000 + std::fabs(x[3]) + std::fabs(x[4]) + std::fabs(x[5]);
            } else {
                m_dRoll += x[0];
                for (int i = 0; i < 3; ++i) m_tr[i] += x[static_cast<size_t>(1 + i)];
                dStep = std::fabs(x[0]) * 1000 + std::fabs(x[1]) + std::fabs(x[2]) + std::fabs(x[3]);
            }
            if (dStep < 1e-10) break;
        }
        if (!bFree) SetRoll();
        return true;
    }

    // Over the box's own points: the belt helps to fix the pose, but the residual is the box's.
    double Rms() const {
        if (m_vecCons.size() <= m_nBeltUsed) return 0;
        double dSum = 0;
        for (const SConstraint& c : m_vecCons) {
            if (c.nPoint >= m_nBelt) continue;
            const double r = Dot(c.n, Add(Apply(m_r, m_pts[c.nPoint]), V{m_tr[0], m_tr[1], m_tr[2]})) - c.d;
            dSum += r * r;
        }
        return std::sqrt(dSum / static_cast<double>(m_vecCons.size() - m_nBeltUsed));
    }
    uint64_t BoxPoints() const { return m_vecCons.size() - m_nBeltUsed; }

    double m_r[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    double m_tr[3] = {0, 0, 0};
    uint64_t m_anFace[FaceCount] = {};
    bool m_bEdges = false;
    size_t m_nBeltUsed = 0;
    std::vector<SConstraint> m_vecCons;

private:
    static constexpr uint64_t c_nMinTopPoints = 50;
    static constexpr uint64_t c_nMinFacePoints = 20;
    static constexpr double c_dEdgeSlice = 2.0;  // mm of travel per pair of edge points
    static constexpr double c_dEdgeMargin = 1.0; // mm: a point nearer than this to two faces is left out

    V FaceNormal(int f) const {
        static const V a[FaceCount] = {{0, 0, 1}, {-1, 0, 0}, {1, 0, 0}, {0, -1, 0}, {0, 1, 0}};
        return a[f];
    }
    double FaceOffset(int f) const {
        const double hx = m_t.dWidth / 2, hy = m_t.dLength / 2;
        switch (f) {
            case FaceTop: return m_t.dHeight;
            case FaceMinusX: return -(m_t.dOriginX - hx);
            case FacePlusX: return m_t.dOriginX + hx;
            case FaceMinusY: return -(m_t.dOriginY - hy);
            default: return m_t.dOriginY + hy;
        }
    }
    void SetRoll() {
        const double c = std::cos(m_dRoll), s = std::sin(m_dRoll);
        const double r[9] = {0, c, s, 1, 0, 0, 0, s, -c};
        std::copy(r, r + 9, m_r);
    }

    const std::vector<V>& m_pts;
    const size_t m_nBelt;
    const SKxEyeAlignTarget& m_t;
    double m_dRoll = 0;
};

}  // namespace

SKxEyeAlignResult KxEyeSolveAlignment(const std::vector<KxEyeVec3>& cloud, const SKxEyeAlignTarget& target) {
    SKxEyeAlignResult res;
    const double H = target.dHeight, L = target.dLength, Wd = target.dWidth;
    char szBox[96];
    std::snprintf(szBox, sizeof(szBox), "%s x %s x %s mm", Mm(L).c_str(), Mm(Wd).c_str(), Mm(H).c_str());
    std::vector<V> pts;
    pts.reserve(cloud.size());
    for (const V& p : cloud)
        if (std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2])) pts.push_back(p);
    if (pts.size() < 200) {
        res.strReason = "too few points in the cloud (" + std::to_string(pts.size()) + ")";
        return res;
    }

    // 1. The belt.
    std::mt19937_64 rng(20261211);
    std::uniform_int_distribution<size_t> pick(0, pts.size() - 1);
    std::vector<size_t> vecScore;
    for (size_t i = 0; i < std::min<size_t>(20000, pts.size()); ++i) vecScore.push_back(pts.size() <= 20000 ? i : pick(rng));
    SPlane belt;
    size_t nBest = 0;
    for (int it = 0; it < 400; ++it) {
        const V& a = pts[pick(rng)];
        const V& b = pts[pick(rng)];
        const V& c = pts[pick(rng)];
        const V n = Cross(Sub(b, a), Sub(c, a));
        if (Norm(n) < 1e-6) continue;
        SPlane pl{Unit(n), 0};
        pl.d = Dot(pl.n, a);
        size_t nIn = 0;
        for (size_t i : vecScore) nIn += std::fabs(Dot(pl.n, pts[i]) - pl.d) < 1.0;
        if (nIn > nBest) {
            nBest = nIn;
            belt = pl;
        }
    }
    if (nBest < vecScore.size() / 10) {
        res.strReason = "no belt: no flat surface under the target";
        return res;
    }
    for (double dTol : {1.0, 0.5}) {
        std::vector<size_t> vecIn;
        for (size_t i = 0; i < pts.size(); ++i)
            if (std::fabs(Dot(belt.n, pts[i]) - belt.d) < dTol) vecIn.push_back(i);
        SPlane pl;
        if (FitPlane(pts, vecIn, pl)) {
            if (Dot(pl.n, belt.n) < 0) pl = SPlane{Mul(pl.n, -1), -pl.d};
            belt = pl;
        }
    }
    {
        // "Up" points from the belt towards the camera, which lies on its own X axis.
        V g{0, 0, 0};
        size_t nIn = 0;
        for (size_t i : vecScore)
            if (std::fabs(Dot(belt.n, pts[i]) - belt.d) < 1.0) g = Add(g, pts[i]), ++nIn;
        g = Mul(g, 1.0 / static_cast<double>(std::max<size_t>(nIn, 1)));
        if (Dot(belt.n, Sub(V{g[0], 0, 0}, g)) < 0) belt = SPlane{Mul(belt.n, -1), -belt.d};
    }
    auto height = [&](const V& p) { return Dot(belt.n, p) - belt.d; };

    // 2. What stands on the belt, in connected pieces.
    V u = Sub(V{1, 0, 0}, Mul(belt.n, belt.n[0]));
    if (Norm(u) < 0.1) u = Sub(V{0, 1, 0}, Mul(belt.n, belt.n[1]));
    u = Unit(u);
    const V v = Cross(belt.n, u);
    const double dLow = std::min(3.0, H / 4);
    const double dCell = std::max(2.0, std::min(L, Wd) / 20);
    std::map<std::pair<long, long>, std::vector<size_t>> mapCells;
    for (size_t i = 0; i < pts.size(); ++i) {
        const double h = height(pts[i]);
        if (h <= dLow || h > 10 * H + 100) continue;
        mapCells[{std::lround(std::floor(Dot(pts[i], u) / dCell)), std::lround(std::floor(Dot(pts[i], v) / dCell))}]
            .push_back(i);
    }
    if (mapCells.empty()) {
        res.strReason = "no box " + std::string(szBox) + " in view: nothing stands on the belt";
        return res;
    }
    std::map<std::pair<long, long>, int> mapPiece;
    std::vector<std::vector<size_t>> vecPieces;
    for (const auto& cell : mapCells) {
        if (mapPiece.count(cell.first)) continue;
        const int nPiece = static_cast<int>(vecPieces.size());
        vecPieces.emplace_back();
        std::vector<std::pair<long, long>> stack = {cell.first};
        mapPiece[cell.first] = nPiece;
        while (!stack.empty()) {
            const auto c = stack.back();
            stack.pop_back();
            const std::vector<size_t>& vecIn = mapCells[c];
            vecPieces.back().insert(vecPieces.back().end(), vecIn.begin(), vecIn.end());
            for (long du = -1; du <= 1; ++du)
                for (long dv = -1; dv <= 1; ++dv) {
                    const std::pair<long, long> nb{c.first + du, c.second + dv};
                    if (mapCells.count(nb) && !mapPiece.count(nb)) {
                        mapPiece[nb] = nPiece;
                        stack.push_back(nb);
                    }
                }
        }
    }

    // 3. The piece that is the box.
    const double dTolH = std::max(2.0, 0.05 * H);
    const double dTolL = std::max(5.0, 0.08 * L), dTolW = std::max(5.0, 0.08 * Wd);
    std::vector<std::string> vecSeen;
    int nBox = -1;
    SRect boxRect;
    SPlane boxTop;
    bool bBoxCut = false;
    double dBoxAcross = 0;
    for (size_t k = 0; k < vecPieces.size(); ++k) {
        const std::vector<size_t>& piece = vecPieces[k];
        if (piece.size() < 50) continue;
        std::vector<double> vecH;
        for (size_t i : piece) vecH.push_back(height(pts[i]));
        std::sort(vecH.begin(), vecH.end());
        const double dTop = vecH[vecH.size() * 99 / 100];
        std::vector<size_t> vecTop;
        for (size_t i : piece)
            if (std::fabs(height(pts[i]) - H) <= dTolH) vecTop.push_back(i);
        if (dTop > H + dTolH || vecTop.size() < 50) {
            vecSeen.push_back("an object " + Mm(dTop) + " mm tall");
            continue;
        }
        SPlane top;
        if (!FitPlane(pts, vecTop, top)) continue;
        if (Dot(top.n, belt.n) < 0) top = SPlane{Mul(top.n, -1), -top.d};
        std::vector<std::array<double, 2>> vec2;
        for (size_t i : vecTop) vec2.push_back({Dot(pts[i], u), Dot(pts[i], v)});
        const SRect rc = MinRect(vec2);
        // The side nearer to the travel is the length.
        const bool bSide1Along = std::fabs(rc.ex) >= std::fabs(rc.ey);
        const double dAlong = bSide1Along ? rc.s1 : rc.s2, dAcross = bSide1Along ? rc.s2 : rc.s1;
        // A top narrower than the box across may be cut by the edge of the camera's view (cameras
        // side by side over a wide belt); a side face then tells where the box really ends.
        const bool bFull = std::fabs(dAcross - Wd) <= dTolW;
        const bool bCut = !bFull && dAcross < Wd && dAcross >= std::min(Wd, 20.0);
        if (std::acos(std::min(1.0, Dot(top.n, belt.n))) > 5.0 * M_PI / 180 || std::fabs(dAlong - L) > dTolL ||
            (!bFull && !bCut)) {
            vecSeen.push_back("a top " + Mm(dAlong) + " mm along the travel and " + Mm(dAcross) + " mm across at " +
                              Mm(H) + " mm");
            continue;
        }
        // A whole top wins over a cut one, then the bigger piece.
        const bool bBetter = nBox < 0 || (bFull && bBoxCut) ||
                             (bFull == !bBoxCut && piece.size() > vecPieces[static_cast<size_t>(nBox)].size());
        if (bBetter) {
            nBox = static_cast<int>(k);
            boxRect = rc;
            boxTop = top;
            bBoxCut = !bFull;
            dBoxAcross = dAcross;
        }
    }
    if (nBox < 0) {
        res.strReason = "no box " + std::string(szBox) + " in view";
        if (!vecSeen.empty()) {
            res.strReason += ": found ";
            for (size_t i = 0; i < vecSeen.size() && i < 3; ++i) res.strReason += (i ? "; " : "") + vecSeen[i];
            if (vecSeen.size() > 3) res.strReason += "; ...";
            res.strReason += " (a box cut off at the scan's start or end is not taken: scan longer)";
        }
        return res;
    }

    // 4. A first pose from the outline, in coordinates centred on the box.
    const V zUp = boxTop.n;
    V yAlong = std::fabs(boxRect.ex) >= std::fabs(boxRect.ey) ? Add(Mul(u, boxRect.ex), Mul(v, boxRect.ey))
                                                               : Add(Mul(u, -boxRect.ey), Mul(v, boxRect.ex));
    yAlong = Unit(Sub(yAlong, Mul(zUp, Dot(yAlong, zUp))));
    if (yAlong[0] < 0) yAlong = Mul(yAlong, -1);
    const V xAcross = Cross(yAlong, zUp);
    V centre2 = Add(Mul(u, boxRect.cx), Mul(v, boxRect.cy));
    if (bBoxCut) {
        // The real long edge is the one with a side face under it.
        const double hA = dBoxAcross / 2;
        size_t anSide[2] = {};
        for (size_t i : vecPieces[static_cast<size_t>(nBox)]) {
            const double h = height(pts[i]);
            if (h <= dLow || h >= H - 2.0) continue;
            // Clear of the ends, whose faces reach both long edges.
            if (std::fabs(Dot(Sub(pts[i], centre2), yAlong)) > L / 2 - 5.0) continue;
            const double sAcross = Dot(Sub(pts[i], centre2), xAcross);
            if (std::fabs(sAcross + hA) < 3.0) ++anSide[0];
            if (std::fabs(sAcross - hA) < 3.0) ++anSide[1];
        }
        if (std::max(anSide[0], anSide[1]) < 20) {
            res.strReason = "sees too little of the box " + std::string(szBox) + ": its top only " + Mm(dBoxAcross) +
                            " mm across, and no side along the travel to tell where the box ends";
            return res;
        }
        const double dSign = anSide[1] > anSide[0] ? 1.0 : -1.0;
        centre2 = Add(centre2, Mul(xAcross, dSign * (hA - Wd / 2)));
    }
    // The outline's centre on the belt: its foot point along "up".
    const V bottom = Sub(centre2, Mul(belt.n, Dot(belt.n, centre2) - belt.d));
    std::vector<V> vecNear;
    vecNear.reserve(vecPieces[static_cast<size_t>(nBox)].size());
    for (size_t i : vecPieces[static_cast<size_t>(nBox)]) vecNear.push_back(Sub(pts[i], bottom));
    // The belt around the box (within its larger size of the box's foot), at most as many points
    // as the box has, evenly taken.
    const size_t nBeltFrom = vecNear.size();
    {
        std::vector<size_t> vecBelt;
        const double dReach = std::max(L, Wd) + std::max(L, Wd) / 2;
        for (size_t i = 0; i < pts.size(); ++i) {
            if (std::fabs(height(pts[i])) >= 1.0) continue;
            const V d = Sub(pts[i], bottom);
            if (std::fabs(Dot(d, xAcross)) < dReach && std::fabs(Dot(d, yAlong)) < dReach) vecBelt.push_back(i);
        }
        const size_t nStride = std::max<size_t>(1, vecBelt.size() / std::max<size_t>(nBeltFrom, 1));
        for (size_t k = 0; k < vecBelt.size(); k += nStride) vecNear.push_back(Sub(pts[vecBelt[k]], bottom));
    }
    CSolver solver(vecNear, nBeltFrom, target);
    const double r0[9] = {xAcross[0], xAcross[1], xAcross[2], yAlong[0], yAlong[1], yAlong[2], zUp[0], zUp[1], zUp[2]};
    std::copy(r0, r0 + 9, solver.m_r);
    solver.m_tr[0] = target.dOriginX;
    solver.m_tr[1] = target.dOriginY;
    solver.m_tr[2] = 0;

    // 5. Faces and the free fit, tighter each round.
    for (double dTol : {4.0, 2.0, 1.0}) {
        solver.Assign(dTol);
        const std::string strMissing = solver.Undetermined();
        if (!strMissing.empty()) {
            res.strReason = "sees too little of the box " + std::string(szBox) + ": not " + strMissing +
                            " (so its place is not fixed)";
            return res;
        }
        if (!solver.Solve(true)) {
            res.strReason = "the box's points do not fix the pose";
            return res;
        }
    }
    res.dAxisLeanDeg = std::acos(std::clamp(solver.m_r[3], -1.0, 1.0)) * 180 / M_PI;
    if (res.dAxisLeanDeg > c_dKxEyeAlignAxisToleranceDeg) {
        char sz[256];
        std::snprintf(sz, sizeof(sz),
                      "the camera's X (the travel) lies %.2f degrees from the box's long side (at most %g): turn the box "
                      "square to the belt, or the camera",
                      res.dAxisLeanDeg, c_dKxEyeAlignAxisToleranceDeg);
        res.strReason = sz;
        return res;
    }

    // 6. As a camera on the belt: a roll and a shift; outliers beyond four times the spread left out.
    double dTol = 1.0;
    for (int round = 0; round < 3; ++round) {
        if (!solver.Solve(false)) {
            res.strReason = "the box's points do not fix the pose";
            return res;
        }
        dTol = std::max(0.5, 4 * solver.Rms());
        solver.Assign(dTol);
        const std::string strMissing = solver.Undetermined();
        if (!strMissing.empty()) {
            res.strReason = "sees too little of the box " + std::string(szBox) + ": not " + strMissing;
            return res;
        }
    }
    if (!solver.Solve(false)) {
        res.strReason = "the box's points do not fix the pose";
        return res;
    }

    // Back from the centred coordinates: w = R (p - bottom) + t.
    std::copy(solver.m_r, solver.m_r + 9, res.r);
    const V rb = Apply(res.r, bottom);
    for (int i = 0; i < 3; ++i) res.t[i] = solver.m_tr[i] - rb[static_cast<size_t>(i)];
    res.dResidual = solver.Rms();
    res.nPointsUsed = solver.BoxPoints();
    std::copy(solver.m_anFace, solver.m_anFace + FaceCount, res.anFacePoints);
    res.bTopEdges = solver.m_bEdges;
    res.bOk = true;
    return res;
}
