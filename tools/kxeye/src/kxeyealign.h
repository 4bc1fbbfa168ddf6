// Alignment of several cameras on one belt into one world frame W (docs/multi-camera.md).
//
// W, in mm: X across the belt, Y along the travel (the way the belt moves), Z up from the belt
// surface; right-handed. A camera's cloud is (camera X + encoder travel, camera Y, camera Z); its
// pose maps that cloud into W: w = R * c + t, R a proper rotation that maps the camera's X (the
// travel) to W's Y, since cameras on one belt differ only by position and a roll about the travel.
//
// This file holds the alignment file (reader and writer), the after-processing record of a pose,
// the known target and the solver that finds the target in a cloud. None of it touches a camera.
#ifndef KXEYEALIGN_H
#define KXEYEALIGN_H

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "kxlasereyerecords.h"

// One camera's place in W as stored in the alignment file.
struct SKxEyeCameraPose {
    std::string camera;       // the CAMERA text given to kxeye align
    std::string serial;       // the camera's identity serial (may be empty when unread)
    double r[9] = {};         // R, row-major
    double t[3] = {};         // mm
    double residual = 0;      // RMS distance of the target's points to its faces, mm
    uint64_t pointsUsed = 0;  // target points the pose was solved from
};

// How far R's image of the camera's X may lean from W's Y, in degrees. Beyond it the camera (or
// the target) is not square to the belt, and the travel would smear the cloud.
static const double c_dKxEyeAlignAxisToleranceDeg = 1.0;
// R·Rᵀ may differ from the identity by this much per element (a hand-written file's rounding).
static const double c_dKxEyeAlignOrthoTolerance = 1e-4;

// Reads an alignment file. False and a reason naming the fault (a missing or unreadable file,
// bad JSON, a wrong format or version, an unknown or missing key, a matrix that is not a rotation
// or does not map the camera's X to W's Y, a camera listed twice).
bool LoadAlignFile(const std::string& path, std::vector<SKxEyeCameraPose>* out, std::string* reason);

// Fills the transform fields of the after-processing record: bTransform, adRotate = R,
// dXOffset = t.x, dScaleZ = -1, dRefZ = -t.z (so Z' = r2·p + t.z), dRefX = 0 and a reference-X
// window (dRefXRange) wide enough to cut nothing. Every other field (filters, step, mirror) is
// left as it was. *pdTravelOffset (when not null) = t.y, the mm to add to the encoder travel on
// W's Y.
void PoseToAfterProc(const SKxEyeCameraPose& p, SKxLaserResultAfterProcParam* out, double* pdTravelOffset);

// The pose of a camera: by serial first (case ignored; an empty serial matches nothing), then by
// the CAMERA text; null when neither matches.
const SKxEyeCameraPose* FindPose(const std::vector<SKxEyeCameraPose>& all, const std::string& camera,
                                 const std::string& serial);

// The known target: a box standing on the belt, its long side along the travel.
struct SKxEyeAlignTarget {
    std::string name = "box";
    double dLength = 0;   // along the travel (W's Y), mm
    double dWidth = 0;    // across the belt (W's X), mm
    double dHeight = 0;   // mm
    // Where the box's bottom centre (its top-face centre dropped onto the belt) lies in W.
    double dOriginX = 0, dOriginY = 0;
    // A scene that repeats along the travel every dPeriod mm (0: it does not): any of its boxes
    // will do, so the travel offsets t.y are shifted by whole periods (KxEyeFoldTravel).
    double dPeriod = 0;
};

// The virtual camera's scene box: 140 mm along the travel, 100 mm across, 30 mm tall, its centre
// at belt y -70 and belt x 110, the scene repeating every 600 mm. So a camera at the default pose
// comes out with R = [[0,1,0],[1,0,0],[0,0,-1]], t = (0, 0, 400) when its travel is the encoder
// count / 10 from count 0.
SKxEyeAlignTarget KxEyeSceneTarget();
// Reads a target file: {"shape": "box", "length": L, "width": W, "height": H} with optional
// "name", "origin": [x, y] and "period". False with the reason on any fault.
bool LoadAlignTarget(const std::string& path, SKxEyeAlignTarget* out, std::string* reason);
// The same from JSON text (the path is only named in reasons).
bool ParseAlignTarget(const std::string& text, const std::string& where, SKxEyeAlignTarget* out, std::string* reason);

// For a repeating scene: shifts each pose's t.y by whole periods, the first pose's to the value
// nearest to 0, every other one's to the value nearest to the first's (each camera may have found
// another of the boxes; cameras less than half a period apart along the travel keep their offsets).
void KxEyeFoldTravel(std::vector<SKxEyeCameraPose>& poses, double dPeriod);

// The alignment file's text: format, version, units, world, the target and every camera.
std::string KxEyeAlignFileText(const SKxEyeAlignTarget& target, const std::vector<SKxEyeCameraPose>& poses);

// ---- the solver -------------------------------------------------------------------------

using KxEyeVec3 = std::array<double, 3>;

struct SKxEyeAlignResult {
    bool bOk = false;
    std::string strReason;    // why the camera could not be aligned (empty when bOk)
    double r[9] = {};         // cloud -> W, row-major
    double t[3] = {};
    double dResidual = 0;     // RMS of the used points' distances to the box's faces in W, mm
    uint64_t nPointsUsed = 0;
    // Points per face: top, -X, +X, -Y, +Y (the top's long edges stand in for an unseen X face).
    uint64_t anFacePoints[5] = {};
    bool bTopEdges = false;   // the top's long edges fixed W's X (no side face along the travel seen)
    double dAxisLeanDeg = 0;  // how far the free fit leaned the camera's X from W's Y
};

// Finds the target in a cloud (camera X + travel, camera Y, camera Z; mm) and solves the pose.
// The box must stand on the belt, the largest flat surface in view; the camera must see its top,
// a face across the travel and a face along the travel (or else both long edges of the top).
SKxEyeAlignResult KxEyeSolveAlignment(const std::vector<KxEyeVec3>& cloud, const SKxEyeAlignTarget& target);

#endif
