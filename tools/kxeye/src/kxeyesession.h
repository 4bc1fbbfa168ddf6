// Finding and opening a camera the way an application does: enumerator, pools, device.
#ifndef KXEYESESSION_H
#define KXEYESESSION_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "kxkernel.h"
#include "kxlasereyedevice.h"

// Holds one reference and drops it on destruction.
template <class T>
class CKxEyeRef {
public:
    CKxEyeRef() : m_p(nullptr) {}
    explicit CKxEyeRef(T* p) : m_p(p) {}
    ~CKxEyeRef() { Reset(); }
    CKxEyeRef(const CKxEyeRef&) = delete;
    CKxEyeRef& operator=(const CKxEyeRef&) = delete;
    CKxEyeRef(CKxEyeRef&& o) noexcept : m_p(o.m_p) { o.m_p = nullptr; }
    CKxEyeRef& operator=(CKxEyeRef&& o) noexcept {
        if (this != &o) {
            Reset();
            m_p = o.m_p;
            o.m_p = nullptr;
        }
        return *this;
    }
    void Reset() {
        if (m_p) m_p->Release();
        m_p = nullptr;
    }
    T** Out() {
        Reset();
        return &m_p;
    }
    T* Get() const { return m_p; }
    T* operator->() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }

private:
    T* m_p;
};

// Text of a fixed-size record field that may lack its terminator.
std::string KxEyeFieldText(const char* pszField, size_t nSize);
template <size_t N>
std::string KxEyeFieldText(const char (&szField)[N]) {
    return KxEyeFieldText(szField, N);
}

// Search sources chosen on the command line.
enum class EKxEyeSource { Local, Ethernet, All };
int32_t KxEyeSearchFlags(EKxEyeSource eSource);

// An Ethernet camera by its network facts: the Ethernet flag, or the address, MAC and card that
// every Ethernet search answer carries (a camera that answered but could not be read has no flags
// at all, yet it is the same camera on the same card).
bool KxEyeIsEthernet(const SKxNLEyeDeviceInfoEx& info);
// A camera of the local access path: a virtual camera inside this process, no hardware.
bool KxEyeIsVirtual(const SKxNLEyeDeviceInfoEx& info);
// Whether a CAMERA text can only name an Ethernet camera: an IPv4 address or a MAC.
bool KxEyeNamesNetworkCamera(const std::string& strCamera);

// While it lives, the camera library's warnings stay off stderr (its errors still show), unless a
// more talkative level was asked for. For the brief opens a command makes besides its own (the
// search reads each camera, list reads each identity) and for the doctor, which reports what
// went wrong itself: each open would repeat the same warning, such as the receive buffer's.
class CKxEyeQuietCameraLibrary {
public:
    CKxEyeQuietCameraLibrary();
    ~CKxEyeQuietCameraLibrary();
    CKxEyeQuietCameraLibrary(const CKxEyeQuietCameraLibrary&) = delete;
    CKxEyeQuietCameraLibrary& operator=(const CKxEyeQuietCameraLibrary&) = delete;

private:
    int m_nSaved;
    bool m_bChanged = false;
};

// Runs one search; false (with a message on stderr) when no enumerator could be created.
bool KxEyeSearch(EKxEyeSource eSource, std::vector<SKxNLEyeDeviceInfoEx>& vecInfos);

// The "[Test]" copy the SDK adds for the first local laser camera: same camera, fixed device ID.
bool KxEyeIsTestCopy(const SKxNLEyeDeviceInfoEx& info);
// Index of the record a test copy repeats (same connect text), or -1.
int KxEyeTestCopyOf(const std::vector<SKxNLEyeDeviceInfoEx>& vecInfos, size_t nIndex);

// What the camera itself stores about who it is; unlike the record's device ID (a fresh GUID
// at every search), these stay the same from run to run.
struct SKxEyeIdentity {
    bool bRead = false;
    std::string strSerial;    // identity item 4
    std::string strStoredID;  // identity item 2
};
// Opens the record's camera briefly and reads its identity; bRead false when it cannot.
SKxEyeIdentity KxEyeReadIdentity(const SKxNLEyeDeviceInfoEx& info);

// The 8-byte identifier of an Ethernet camera's search answer as 16 lower-case hex digits.
std::string KxEyeWireID(const SKxNLEyeDeviceInfoEx& info);

// Picks a record by index ("0"), record device ID (braces and case ignored), IP address, MAC
// (case ignored, ':' or '-'), wire identifier (16 hex digits) or connect text ("virtual:1").
// Answers the index in the list, or -1.
int KxEyeSelect(const std::vector<SKxNLEyeDeviceInfoEx>& vecInfos, const std::string& strCamera);
// Then by serial number or stored device ID (case ignored), opening each camera to read them;
// a test copy is taken only when nothing else matches.
int KxEyeSelectByIdentity(const std::vector<SKxNLEyeDeviceInfoEx>& vecInfos, const std::string& strCamera,
                          SKxEyeIdentity* pIdentity);

// An opened camera with the pools it was created with. Closes and releases in the right order.
class CKxEyeSession {
public:
    CKxEyeSession() = default;
    ~CKxEyeSession();
    CKxEyeSession(const CKxEyeSession&) = delete;
    CKxEyeSession& operator=(const CKxEyeSession&) = delete;

    // Searches, selects and opens; prints what went wrong on stderr and answers false.
    bool Open(EKxEyeSource eSource, const std::string& strCamera);
    void Close();

    IKxLaserEyeDevice* Device() const { return m_pDevice.Get(); }
    const SKxNLEyeDeviceInfoEx& Info() const { return m_sInfo; }
    int Index() const { return m_nIndex; }
    const SKxEyeIdentity& Identity() const { return m_sIdentity; }
    // Why Open answered false: the code (KX_E_NOT_FOUND when no camera matched or the camera
    // could not be read during the search) and the message printed.
    int32_t FailureCode() const { return m_nFailureCode; }
    const std::string& FailureText() const { return m_strFailure; }

private:
    bool Fail(int32_t nCode, const std::string& strText);

    CKxEyeRef<IKxMemPool> m_pMemPool;
    CKxEyeRef<IKxSurfacePool> m_pSurfacePool;
    CKxEyeRef<IKxLaserEyeDevice> m_pDevice;
    SKxNLEyeDeviceInfoEx m_sInfo{};
    int m_nIndex = -1;
    SKxEyeIdentity m_sIdentity;
    int32_t m_nFailureCode = KX_OK;
    std::string m_strFailure;
};

#endif
