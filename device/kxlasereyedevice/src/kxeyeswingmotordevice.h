// CKxEyeSwingMotorDevice: the swing motor of version 8 cameras, driven through the owning laser
// eye device's custom-command channel.
#pragma once

#include <cstdint>

#include "kxlasereyedevice.h"

class CKxLaserEyeDevice;

class CKxEyeSwingMotorDevice : public IKxSwingMotorDevice {
public:
    // Creates the motor device for pDevice; 0 and *ppMotor with one reference on success.
    static int32_t Create(CKxLaserEyeDevice* pDevice, CKxEyeSwingMotorDevice** ppMotor);
};
