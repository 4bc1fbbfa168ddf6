#include "kxeyecodes.h"

#include "kxkernel.h"
#include "kxunknown.h"

const std::vector<SKxEyeCodeInfo>& KxEyeCodeTable() {
    static const std::vector<SKxEyeCodeInfo> s_vecCodes = {
        {KX_OK, "KX_OK", "success"},
        {KX_E_CAMERA_RETRY, "KX_E_CAMERA_RETRY", "camera busy: transient refusal, still refused after 3 calls"},
        {KX_E_CAMERA_OFFLINE, "KX_E_CAMERA_OFFLINE", "camera offline"},
        {KX_E_BAD_GATEWAY, "KX_E_BAD_GATEWAY", "unusable gateway address"},
        {KX_E_BAD_ADDRESS, "KX_E_BAD_ADDRESS", "unusable address (network, broadcast or loopback)"},
        {KX_E_BAD_MASK, "KX_E_BAD_MASK", "unusable subnet mask"},
        {KX_E_ARP_WRITE, "KX_E_ARP_WRITE", "camera took the address but the host ARP entry was not written"},
        {KX_E_MOTOR_FAULT, "KX_E_MOTOR_FAULT", "swing motor fault"},
        {KX_E_MOTOR_PROTECT, "KX_E_MOTOR_PROTECT", "swing motor driver protection"},
        {KX_E_ENCODER_FAULT, "KX_E_ENCODER_FAULT", "swing motor encoder fault"},
        {KX_E_MOTOR_STATUS, "KX_E_MOTOR_STATUS", "swing motor status not valid or driver fault"},
        {KX_E_OUT_OF_RANGE, "KX_E_OUT_OF_RANGE", "value out of range"},
        {KX_E_READBACK_MISMATCH, "KX_E_READBACK_MISMATCH", "camera read-back differs from the value sent"},
        {KX_E_NOT_FOUND, "KX_E_NOT_FOUND", "not found, or the camera could not be read"},
        {KX_E_NOT_CAPTURING, "KX_E_NOT_CAPTURING", "not capturing"},
        {KX_E_BUSY, "KX_E_BUSY", "busy: refused while the device is capturing"},
        {KX_E_BAD_VERSION, "KX_E_BAD_VERSION", "hardware version not supported by the decoder"},
        {KX_E_THRES_UNKNOWN, "KX_E_THRES_UNKNOWN", "laser threshold not yet known"},
        {KX_E_NO_CAMERA, "KX_E_NO_CAMERA", "camera library returned no camera object"},
        {KX_E_NOT_OPEN, "KX_E_NOT_OPEN", "device not open"},
        {KX_E_BAD_LENGTH, "KX_E_BAD_LENGTH", "data length not acceptable for the item"},
        {KX_E_CONFIG_NO_CAMERA, "KX_E_CONFIG_NO_CAMERA", "address configuration: no camera object"},
        {KX_E_OFFLINE, "KX_E_OFFLINE", "device offline"},
        {KX_E_NOT_SUPPORTED, "KX_E_NOT_SUPPORTED", "not supported or not applicable"},
        {KX_E_ENCODER_BAD_ARG, "KX_E_ENCODER_BAD_ARG", "position encoder: bad argument"},
        {KX_E_ENCODER_NO_PULSES, "KX_E_ENCODER_NO_PULSES", "position encoder: no pulses per round set"},
        {KX_E_NULL_ARGUMENT, "KX_E_NULL_ARGUMENT", "a required argument was null"},
        {c_nKxRoiEmpty, "ROI_EMPTY", "ROI width or height not positive"},
        {c_nKxRoiOutside, "ROI_OUTSIDE", "ROI edge outside the frame"},
        {c_nKxRoiAlignLeft, "ROI_ALIGN_LEFT", "ROI left edge not a multiple of 32 columns"},
        {c_nKxRoiAlignWidth, "ROI_ALIGN_WIDTH", "ROI width not a multiple of 4 columns"},
        {c_nKxRoiSizeMismatch, "ROI_SIZE_MISMATCH", "right ROI size differs from the left ROI size"},
        {c_nKxRoiTooSmall, "ROI_TOO_SMALL", "ROI narrower than 64 columns or lower than 8 rows"},
        {c_nKxRoiNullArgument, "ROI_NULL_ARGUMENT", "ROI argument missing"},
        // The camera access library's own codes pass through the SDK unchanged.
        {-10001, "CAMERA_BAD_ARGUMENT", "camera library: bad argument"},
        {-10002, "CAMERA_NOT_INITIALISED", "camera library: camera not initialised"},
        {-10003, "CAMERA_OUT_OF_RANGE", "camera library: address or value outside the camera's map"},
        {-10004, "CAMERA_NO_DEVICE", "camera library: no such camera"},
        {-10005, "CAMERA_TIMEOUT", "camera library: no frame within the timeout"},
        {-10006, "CAMERA_NOT_SUPPORTED", "camera library: operation not offered by this access path"},
        {-10007, "CAMERA_IO_ERROR", "camera library: storage or transport failure"},
        {-10008, "CAMERA_ACCESS_DENIED",
         "camera controlled by another program or host; if one just ended, try again in 3 s (the camera lets go "
         "of a silent host after its heartbeat)"},
    };
    return s_vecCodes;
}

const char* KxEyeCodeMeaning(int32_t nCode) {
    for (const SKxEyeCodeInfo& info : KxEyeCodeTable()) {
        if (info.nCode == nCode) return info.pszMeaning;
    }
    return "unknown code";
}

std::string KxEyeFormatCode(int32_t nCode) {
    return std::to_string(nCode) + " (" + KxEyeCodeMeaning(nCode) + ")";
}
