// Root of the object model: reference counting, export macros and result codes.
// Compiles as C++11; includes nothing of ours.
#ifndef KXUNKNOWN_H
#define KXUNKNOWN_H

#include <atomic>
#include <cstdint>

#if defined(_WIN32)
#define KX_EXPORT __declspec(dllexport)
#define KX_IMPORT __declspec(dllimport)
#else
#define KX_EXPORT __attribute__((visibility("default")))
#define KX_IMPORT
#endif

// Result codes. 0 is success, negative is failure; camera codes pass through.
enum EKxResult : int32_t {
    KX_OK = 0,
    KX_E_CAMERA_RETRY = -10014,       // camera library: transient refusal, call again (3 calls at most)
    KX_E_CAMERA_OFFLINE = -10030,     // camera library: device offline
    KX_E_BAD_GATEWAY = -69990,        // address check: unusable gateway
    KX_E_BAD_ADDRESS = -69991,        // address check: network/broadcast/loopback address
    KX_E_BAD_MASK = -69992,           // address check: mask whose first octet is 0
    KX_E_ARP_WRITE = -69997,          // camera took the address, host ARP entry not written
    KX_E_MOTOR_FAULT = -79936,        // swing motor fault
    KX_E_MOTOR_PROTECT = -79940,      // swing motor driver protection
    KX_E_ENCODER_FAULT = -79941,      // swing motor encoder fault
    KX_E_MOTOR_STATUS = -79943,       // swing motor status not valid / other driver fault
    KX_E_OUT_OF_RANGE = -79945,       // value out of range (gain, angle, speed, light, ...)
    KX_E_READBACK_MISMATCH = -79951,  // camera read-back differs from the value sent
    KX_E_NOT_FOUND = -79964,          // enumerator: no record with that identifier / camera not read
    KX_E_NOT_CAPTURING = -79970,      // pull while not capturing
    KX_E_BUSY = -79971,               // refused while the device is capturing
    KX_E_BAD_VERSION = -79976,        // result block of a hardware version above 8
    KX_E_THRES_UNKNOWN = -79982,      // laser threshold not yet known
    KX_E_NO_CAMERA = -79983,          // camera library returned no camera object
    KX_E_NOT_OPEN = -79988,           // device not open
    KX_E_BAD_LENGTH = -79993,         // data length not acceptable for the item
    KX_E_CONFIG_NO_CAMERA = -79995,   // Ethernet configuration: no camera object
    KX_E_OFFLINE = -79996,            // device offline
    KX_E_NOT_SUPPORTED = -80000,      // not supported / not applicable
    KX_E_ENCODER_BAD_ARG = -81999,    // position encoder manager: bad argument
    KX_E_ENCODER_NO_PULSES = -81998,  // position encoder manager: no pulses per round
    KX_E_NULL_ARGUMENT = -79000       // ours: a required pointer argument was null
};

// Root interface. The count starts at 1 (the creator's reference). AddRef answers the count
// before the addition, Release the count after the subtraction; the object is destroyed through
// the virtual destructor when the last reference goes. Every class uses this one implementation;
// IKxMemBlock refines Release for pooled blocks.
class IKxUnknown {
public:
    IKxUnknown() : m_nRefCount(1) {}
    virtual ~IKxUnknown() {}
    virtual int32_t AddRef() { return m_nRefCount.fetch_add(1, std::memory_order_seq_cst); }
    virtual int32_t Release() {
        const int32_t nBefore = m_nRefCount.fetch_sub(1, std::memory_order_seq_cst);
        if (nBefore == 1) delete this;
        return nBefore - 1;
    }
    // Current count, for diagnostics and tests only (racy by nature).
    int32_t GetRefCount() const { return m_nRefCount.load(std::memory_order_seq_cst); }

protected:
    std::atomic<int32_t> m_nRefCount;

private:
    IKxUnknown(const IKxUnknown&);
    IKxUnknown& operator=(const IKxUnknown&);
};

#endif
