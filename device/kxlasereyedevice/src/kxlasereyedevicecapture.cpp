// Capture pipeline (not yet built: answers -80000).
#include "kxlasereyedevice.h"

int32_t CKxLaserEyeDevice::GetImage(IKxSurface**, IKxSurface**, uint32_t) { return KX_E_NOT_SUPPORTED; }
bool CKxLaserEyeDevice::CheckOnline() { return false; }
int32_t CKxLaserEyeDevice::Detect(IKxLaserEyeResultBlock**) { return KX_E_NOT_SUPPORTED; }
int32_t CKxLaserEyeDevice::ApplyDebugMode() { return KX_E_NOT_SUPPORTED; }
int32_t CKxLaserEyeDevice::StartCapture(int32_t, IKxLaserDataCallBack*, IKxSignal**) { return KX_E_NOT_SUPPORTED; }
int32_t CKxLaserEyeDevice::GetLaserResult(IKxLaserEyeResultBlock**, uint32_t) { return KX_E_NOT_SUPPORTED; }
int32_t CKxLaserEyeDevice::StopCapture() { return KX_E_NOT_SUPPORTED; }
int32_t CKxLaserEyeDevice::ConfigDebugCapture(bool, int32_t) { return KX_E_NOT_SUPPORTED; }
int32_t CKxLaserEyeDevice::SetDebugMode(bool) { return KX_E_NOT_SUPPORTED; }
bool CKxLaserEyeDevice::GetDebugMode() { return false; }
int32_t CKxLaserEyeDevice::EnableTriggerFilter(bool) { return KX_E_NOT_SUPPORTED; }
bool CKxLaserEyeDevice::IsDebugModeOn() { return false; }
void CKxLaserEyeDevice::EnableDetectDebug(bool) {  }
bool CKxLaserEyeDevice::IsDetectDebugEnabled() { return false; }
void CKxLaserEyeDevice::EnableSwingOnCapture(bool) {  }
bool CKxLaserEyeDevice::IsSwingOnCapture() { return false; }
int32_t CKxLaserEyeDevice::StopDevice() { return KX_E_NOT_SUPPORTED; }
bool CKxLaserEyeDevice::IsSwingActive() { return false; }
void CKxLaserEyeDevice::FrameEventThunk(int, int, void*, unsigned int, unsigned int, void*) {}
void CKxLaserEyeDevice::OnFrameEvent(int, int, void*, unsigned int, unsigned int) {}
