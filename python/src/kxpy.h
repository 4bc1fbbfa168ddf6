// Shared pieces of the Python module kxlasereye: result codes as exceptions, references on the
// SDK's interfaces, and the binders of each class. The module sees only the public headers.
#ifndef KXPY_H
#define KXPY_H

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <utility>

#include "kxkernel.h"
#include "kxlasereyedevice.h"

namespace py = pybind11;

namespace kxpy {

// A result code other than 0; the module turns it into kxlasereye.KxError(code, text).
struct CodeError {
    int32_t nCode;
};
[[noreturn]] inline void Raise(int32_t nCode) { throw CodeError{nCode}; }
inline void Check(int32_t nCode) {
    if (nCode != 0) Raise(nCode);
}

// Raises the built-in exception type with a message (TimeoutError, ...).
[[noreturn]] void RaisePython(PyObject* pType, const char* pszMessage);

// Owns one reference on an SDK object.
template <class T>
class Ref {
public:
    Ref() = default;
    explicit Ref(T* p) : m_p(p) {}  // takes the caller's reference
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : m_p(std::exchange(o.m_p, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            Reset();
            m_p = std::exchange(o.m_p, nullptr);
        }
        return *this;
    }
    ~Ref() { Reset(); }
    void Reset() {
        if (m_p) std::exchange(m_p, nullptr)->Release();
    }
    T* Get() const { return m_p; }
    T* operator->() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }

private:
    T* m_p = nullptr;
};

// Wraps a result block for Python; takes the caller's reference.
py::object WrapBlock(IKxLaserEyeResultBlock* pBlock);
// A 2-D uint8 array over a surface's pixels that holds the surface; takes the caller's reference.
py::array SurfaceArray(IKxSurface* pSurface);

// The device interface of a kxlasereye.Device object.
IKxLaserEyeDevice* DeviceOf(const py::object& device);

void BindBlock(py::module_& m);
void BindDevice(py::module_& m);
void BindMotor(py::module_& m);

}  // namespace kxpy

#endif
