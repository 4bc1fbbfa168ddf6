// Local access path: a session on one of the process's virtual cameras.
#ifndef ORLOCALCAMERA_H
#define ORLOCALCAMERA_H

#include "orbasecamera.h"

class COrLocalCamera : public COrBaseCamera {
public:
};

#endif
