// The solver on synthetic clouds: a box on a belt, seen from known poses with noise added, must
// give the pose back; a cloud without the box, or with too little of it, is refused with why.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "kxeyealign.h"

namespace {

using ::testing::ContainsRegex;
using ::testing::HasSubstr;

struct SPose {
    double dRollDeg = 0;
    double dYawDeg = 0;  // about W's Z: a camera not square to the belt
    double t[3] = {0, 0, 400};
};

// R = Rz(yaw) * [[0,c,s],[1,0,0],[0,s,-c]]
void Rotation(const SPose& p, double* r) {
    const double c = std::cos(p.dRollDeg * M_PI / 180), s = std::sin(p.dRollDeg * M_PI / 180);
    const double b[9] = {0, c, s, 1, 0, 0, 0, s, -c};
    const double cy = std::cos(p.dYawDeg * M_PI / 180), sy = std::sin(p.dYawDeg * M_PI / 180);
    const double z[9] = {cy, -sy, 0, sy, cy, 0, 0, 0, 1};
    for (int i = 0; i < 3; ++i)
        for (int k = 0; k < 3; ++k) r[3 * i + k] = z[3 * i] * b[k] + z[3 * i + 1] * b[3 + k] + z[3 * i + 2] * b[6 + k];
}

enum EFaces : unsigned { Top = 1, MinusX = 2, PlusX = 4, MinusY = 8, PlusY = 16 };

struct SScene {
    double dLength = 140, dWidth = 100, dHeight = 30;  // the box
    double dOx = -70, dOy = 110;                       // its bottom centre in W
    unsigned nFaces = Top | PlusX | MinusY;            // the faces the camera sees
    double dTravelFrom = -250, dTravelTo = 250;         // the scan, along W's Y from the box centre
    bool bBox = true;
    double dViewFrom = -1e9, dViewTo = 1e9;            // what the camera sees across (W's X)
};

// Points in W: the belt (profiles every 3 mm of travel, 2 mm apart across) with the box on it,
// then into the camera's cloud: c = Rᵀ (w - t), with Gaussian noise.
std::vector<KxEyeVec3> Cloud(const SScene& s, const SPose& pose, double dNoise, unsigned nSeed = 7) {
    std::vector<KxEyeVec3> vecW;
    const double hx = s.dWidth / 2, hy = s.dLength / 2;
    auto onBox = [&](double x, double y) {
        return s.bBox && std::fabs(x - s.dOx) <= hx && std::fabs(y - s.dOy) <= hy;
    };
    for (double y = s.dOy + s.dTravelFrom + 0.37; y <= s.dOy + s.dTravelTo; y += 3.0) {
        for (double x = -300; x <= 300; x += 2.0)
            if (!onBox(x, y)) vecW.push_back({x, y, 0});
        if (!s.bBox || std::fabs(y - s.dOy) > hy) continue;
        if (s.nFaces & Top)
            for (double x = s.dOx - hx; x <= s.dOx + hx + 1e-9; x += 0.5) vecW.push_back({x, y, s.dHeight});
        for (double z = 0.25; z < s.dHeight; z += 0.5) {
            if (s.nFaces & MinusX) vecW.push_back({s.dOx - hx, y, z});
            if (s.nFaces & PlusX) vecW.push_back({s.dOx + hx, y, z});
        }
    }
    // A face across the travel: a few profiles climb it.
    for (double x = s.dOx - hx + 0.3; x < s.dOx + hx; x += 0.5)
        for (double z = 0.4; z < s.dHeight; z += 2.0) {
            if (s.bBox && (s.nFaces & MinusY) && s.dTravelFrom < -hy) vecW.push_back({x, s.dOy - hy, z});
            if (s.bBox && (s.nFaces & PlusY) && s.dTravelTo > hy) vecW.push_back({x, s.dOy + hy, z});
        }
    std::vector<KxEyeVec3> vecSeen;
    for (const KxEyeVec3& w : vecW)
        if (w[0] >= s.dViewFrom && w[0] <= s.dViewTo) vecSeen.push_back(w);
    vecW.swap(vecSeen);
    double r[9];
    Rotation(pose, r);
    std::mt19937 rng(nSeed);
    std::normal_distribution<double> noise(0.0, dNoise);
    std::vector<KxEyeVec3> vecC;
    for (const KxEyeVec3& w : vecW) {
        const double d[3] = {w[0] - pose.t[0], w[1] - pose.t[1], w[2] - pose.t[2]};
        KxEyeVec3 c{};
        for (int k = 0; k < 3; ++k) c[k] = r[k] * d[0] + r[3 + k] * d[1] + r[6 + k] * d[2];
        if (dNoise > 0)
            for (double& v : c) v += noise(rng);
        vecC.push_back(c);
    }
    return vecC;
}

SKxEyeAlignTarget Target(const SScene& s) {
    SKxEyeAlignTarget t;
    t.dLength = s.dLength;
    t.dWidth = s.dWidth;
    t.dHeight = s.dHeight;
    t.dOriginX = s.dOx;
    t.dOriginY = s.dOy;
    return t;
}

TEST(AlignSolve, KnownPosesAreRecoveredFromNoisyClouds) {
    struct SCase {
        const char* pszName;
        double dRoll, tx, ty, tz;
        unsigned nFaces;
        bool bEdges;  // no side along the travel seen: the top's long edges fix X
        double dViewFrom = -1e9, dViewTo = 1e9;
    };
    const SCase aCases[] = {
        {"default", 0, 0, 0, 400, Top | PlusX | MinusY, false},
        {"rolled +30, shifted across", 30, 150, 0, 390, Top | MinusX | MinusY, false},
        {"rolled -30, shifted across", -30, -230, 0, 410, Top | PlusX | MinusY, false},
        {"rolled +45, raised", 45, 220, 0, 520, Top | MinusX | PlusY, false},
        {"rolled -45, shifted along", -45, -260, 37.5, 400, Top | PlusX | MinusY, false},
        {"shifted across and along", 0, 85.5, -120.25, 400, Top | MinusX | PlusY, false},
        {"above the box: top edges", 0, -70, 12, 400, Top | MinusY, true},
        // Side by side: each camera sees part of the top across, and the side facing it.
        {"the top cut across, its +X side seen", 0, 90, 0, 400, Top | PlusX | MinusY, false, -100, 290},
        {"the top cut across, its -X side seen", 0, -230, 0, 400, Top | MinusX | MinusY, false, -430, -40},
    };
    for (const SCase& c : aCases) {
        SScene s;
        s.nFaces = c.nFaces;
        s.dViewFrom = c.dViewFrom;
        s.dViewTo = c.dViewTo;
        SPose p;
        p.dRollDeg = c.dRoll;
        p.t[0] = c.tx, p.t[1] = c.ty, p.t[2] = c.tz;
        const SKxEyeAlignResult res = KxEyeSolveAlignment(Cloud(s, p, 0.05), Target(s));
        ASSERT_TRUE(res.bOk) << c.pszName << ": " << res.strReason;
        double r[9];
        Rotation(p, r);
        for (int k = 0; k < 9; ++k) EXPECT_NEAR(r[k], res.r[k], 5e-5) << c.pszName << " r" << k;
        for (int k = 0; k < 3; ++k) EXPECT_NEAR(p.t[k], res.t[k], 0.02) << c.pszName << " t" << k;
        EXPECT_GT(res.dResidual, 0.03) << c.pszName;
        EXPECT_LT(res.dResidual, 0.08) << c.pszName;
        EXPECT_EQ(c.bEdges, res.bTopEdges) << c.pszName;
        EXPECT_GT(res.anFacePoints[0], 1000u) << c.pszName;
        EXPECT_GT(res.nPointsUsed, 2000u) << c.pszName;
        EXPECT_LT(res.dAxisLeanDeg, 0.01) << c.pszName;
    }
}

TEST(AlignSolve, WithoutNoiseTheResidualVanishes) {
    SScene s;
    SPose p;
    p.dRollDeg = 20;
    p.t[0] = 40;
    const SKxEyeAlignResult res = KxEyeSolveAlignment(Cloud(s, p, 0.0), Target(s));
    ASSERT_TRUE(res.bOk) << res.strReason;
    EXPECT_LT(res.dResidual, 1e-6);
}

TEST(AlignSolve, ThePeriodOfARepeatingSceneFoldsEveryCameraAlike) {
    // Two cameras 10 mm apart along the travel, seeing boxes three and two periods later.
    SScene s;
    std::vector<SKxEyeCameraPose> vecPoses;
    for (double dY : {600.0 * 3 + 295, 600.0 * 2 + 305}) {
        SPose p;
        p.t[1] = dY;
        const SKxEyeAlignResult res = KxEyeSolveAlignment(Cloud(s, p, 0.05), Target(s));
        ASSERT_TRUE(res.bOk) << res.strReason;
        SKxEyeCameraPose pose;
        std::copy(res.t, res.t + 3, pose.t);
        vecPoses.push_back(pose);
    }
    KxEyeFoldTravel(vecPoses, 600);
    EXPECT_NEAR(295, vecPoses[0].t[1], 0.02);
    EXPECT_NEAR(305, vecPoses[1].t[1], 0.02);
    std::vector<SKxEyeCameraPose> vecOne(1);
    vecOne[0].t[1] = -1790;
    KxEyeFoldTravel(vecOne, 600);
    EXPECT_DOUBLE_EQ(10, vecOne[0].t[1]);
}

TEST(AlignSolve, ACloudThatDoesNotShowTheBoxIsRefusedWithWhy) {
    struct SCase {
        const char* pszName;
        SScene s;
        SPose p;
        const char* pszReason;
    };
    std::vector<SCase> vecCases;
    {
        SCase c{"no box", {}, {}, "no box 140\\.0 x 100\\.0 x 30\\.0 mm in view: nothing stands on the belt"};
        c.s.bBox = false;
        vecCases.push_back(c);
    }
    {
        SCase c{"a smaller box", {}, {}, "no box 140.0 x 100.0 x 30.0 mm in view: found a top (59|60)\\.[0-9] mm along the travel and (59|60)\\.[0-9] mm across"};
        c.s.dLength = 60;
        c.s.dWidth = 60;
        vecCases.push_back(c);
    }
    {
        SCase c{"a taller box", {}, {}, "found an object 45\\.[0-9] mm tall"};
        c.s.dHeight = 45;
        vecCases.push_back(c);
    }
    {
        SCase c{"cut off by the end of the scan", {}, {}, "found a top (68|69|70)\\.[0-9] mm along the travel and 100\\.[0-9] mm across"};
        c.s.dTravelTo = 0;
        vecCases.push_back(c);
    }
    {
        SCase c{"only the top", {}, {}, "sees too little of the box 140\\.0 x 100\\.0 x 30\\.0 mm: not a face across the travel"};
        c.s.nFaces = Top;
        vecCases.push_back(c);
    }
    {
        SCase c{"top and the faces across only, above the box but the top's edges cut",
                {}, {}, "not a side along the travel \\(nor the top's long edges\\)"};
        c.s.nFaces = Top | MinusY;
        c.s.dWidth = 100;
        vecCases.push_back(c);
    }
    {
        SCase c{"the top cut across, no side", {}, {}, "its top only (79|80)\\.[0-9] mm across, and no side along the travel"};
        c.s.nFaces = Top | MinusY;
        c.s.dViewFrom = -100;
        vecCases.push_back(c);
    }
    {
        SCase c{"yawed 3 degrees", {}, {}, "the camera's X \\(the travel\\) lies 3\\.00 degrees from the box's long side"};
        c.p.dYawDeg = 3;
        vecCases.push_back(c);
    }
    for (SCase& c : vecCases) {
        SKxEyeAlignTarget t = Target(SScene{});
        std::vector<KxEyeVec3> vecCloud = Cloud(c.s, c.p, 0.05);
        if (std::string(c.pszName).find("edges cut") != std::string::npos) {
            // Drop the top's outer 3 mm on both sides: its long edges are not seen either.
            std::vector<KxEyeVec3> vecKept;
            for (const KxEyeVec3& q : vecCloud)
                if (!(q[2] < 375 && std::fabs(q[1] + 70) > 47)) vecKept.push_back(q);
            vecCloud = vecKept;
            t.dWidth = 100;
        }
        const SKxEyeAlignResult res = KxEyeSolveAlignment(vecCloud, t);
        EXPECT_FALSE(res.bOk) << c.pszName;
        EXPECT_THAT(res.strReason, ContainsRegex(c.pszReason)) << c.pszName;
    }
    EXPECT_THAT(KxEyeSolveAlignment({}, Target(SScene{})).strReason, HasSubstr("too few points in the cloud (0)"));
}

}  // namespace
