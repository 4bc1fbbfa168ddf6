// Stored data and identity (not yet built: answers -80000).
#include "kxlasereyedevice.h"

int32_t CKxLaserEyeDevice::ReadData(uint32_t, void*, uint32_t, uint32_t*) { return KX_E_NOT_SUPPORTED; }
int32_t CKxLaserEyeDevice::WriteData(uint32_t, const void*, uint32_t) { return KX_E_NOT_SUPPORTED; }
int32_t CKxLaserEyeDevice::ReadCustomData(uint32_t, uint8_t*, uint32_t) { return KX_E_NOT_SUPPORTED; }
int32_t CKxLaserEyeDevice::WriteCustomData(uint32_t, const uint8_t*, uint32_t) { return KX_E_NOT_SUPPORTED; }
int32_t CKxLaserEyeDevice::GetDataRange(int32_t*, int32_t*) { return KX_E_NOT_SUPPORTED; }
void CKxLaserEyeDevice::UpdateIPAddress(const uint8_t*) {  }
int32_t CKxLaserEyeDevice::WriteSerialNum(const char*) { return KX_E_NOT_SUPPORTED; }
int32_t CKxLaserEyeDevice::WriteDeviceID(const char*) { return KX_E_NOT_SUPPORTED; }
int32_t CKxLaserEyeDevice::WriteMACAddress(const uint8_t*) { return KX_E_NOT_SUPPORTED; }
int32_t CKxLaserEyeDevice::SetCustomCommand(int32_t, int32_t, int32_t) { return KX_E_NOT_SUPPORTED; }
int32_t CKxLaserEyeDevice::ReadCustomCommand(int32_t, int32_t, void*) { return KX_E_NOT_SUPPORTED; }
int32_t CKxLaserEyeDevice::ConfigCameraOption(bool, bool, int32_t, int32_t) { return KX_E_NOT_SUPPORTED; }
int32_t CKxLaserEyeDevice::WriteParam60(const void*, uint32_t) { return KX_E_NOT_SUPPORTED; }
int32_t CKxLaserEyeDevice::CameraOp43(int32_t, void*, int32_t, void*, int32_t) { return KX_E_NOT_SUPPORTED; }
int32_t CKxLaserEyeDevice::CameraOp45(bool, int32_t) { return KX_E_NOT_SUPPORTED; }
