// Module kxlasereye: errors, constants, device records and the camera list; the classes are
// bound in kxpydevice.cpp, kxpyblock.cpp and kxpymotor.cpp.
#include <cstring>
#include <string>
#include <vector>

#include <pybind11/eval.h>

#include "kxeyecodes.h"
#include "kxpy.h"

namespace kxpy {

namespace {

// kxlasereye.KxError, created once at import and kept for the life of the process.
PyObject* g_pKxError = nullptr;

std::string Text(const char* psz, size_t nSize) { return std::string(psz, strnlen(psz, nSize)); }
#define KX_TEXT(field) Text(field, sizeof(field))

}  // namespace

void RaisePython(PyObject* pType, const char* pszMessage) {
    PyErr_SetString(pType, pszMessage);
    throw py::error_already_set();
}

namespace {

void BindInfo(py::module_& m) {
    py::class_<SKxNLEyeDeviceInfoEx>(m, "DeviceInfo",
                                     "One camera found by list_devices(): the SDK's 1084-byte record.")
        .def_property_readonly("name", [](const SKxNLEyeDeviceInfoEx& i) { return KX_TEXT(i.szDeviceName); })
        .def_property_readonly("device_id", [](const SKxNLEyeDeviceInfoEx& i) { return KX_TEXT(i.szDeviceID); })
        .def_property_readonly("ip", [](const SKxNLEyeDeviceInfoEx& i) { return KX_TEXT(i.szIPAddress); })
        .def_property_readonly("mac", [](const SKxNLEyeDeviceInfoEx& i) { return KX_TEXT(i.szMACAddress); })
        .def_property_readonly("product", [](const SKxNLEyeDeviceInfoEx& i) { return KX_TEXT(i.szProductInfo); })
        .def_property_readonly("hw_version_text", [](const SKxNLEyeDeviceInfoEx& i) { return KX_TEXT(i.szHWVersion); })
        .def_property_readonly("connect_text", [](const SKxNLEyeDeviceInfoEx& i) { return KX_TEXT(i.szConnectText); })
        .def_property_readonly("device_type", [](const SKxNLEyeDeviceInfoEx& i) { return i.eDeviceType; })
        .def_property_readonly("flags", [](const SKxNLEyeDeviceInfoEx& i) { return i.nDeviceFlags; })
        .def_property_readonly("valid", [](const SKxNLEyeDeviceInfoEx& i) { return i.bDeviceInfoValid != 0; })
        .def_property_readonly("local", [](const SKxNLEyeDeviceInfoEx& i) { return (i.nDeviceFlags & c_nKxFlagLocal) != 0; })
        .def_property_readonly("version", [](const SKxNLEyeDeviceInfoEx& i) { return i.sVideoRes.nVersion; })
        .def_property_readonly("resolution", [](const SKxNLEyeDeviceInfoEx& i) {
            return py::make_tuple(i.sVideoRes.nFrameWidth, i.sVideoRes.nFrameHeight);
        })
        .def_property_readonly("raw", [](const SKxNLEyeDeviceInfoEx& i) {
            return py::bytes(reinterpret_cast<const char*>(&i), sizeof(i));
        }, "The record's bytes.")
        .def_static("from_raw", [](const py::bytes& raw) {
            const std::string s = raw;
            if (s.size() != sizeof(SKxNLEyeDeviceInfoEx))
                RaisePython(PyExc_ValueError, "a device record is 1084 bytes");
            SKxNLEyeDeviceInfoEx info;
            std::memcpy(&info, s.data(), sizeof(info));
            return info;
        }, py::arg("raw"))
        .def("__repr__", [](const SKxNLEyeDeviceInfoEx& i) {
            return "<kxlasereye.DeviceInfo " + KX_TEXT(i.szDeviceName) + " " + KX_TEXT(i.szDeviceID) +
                   " version " + std::to_string(i.sVideoRes.nVersion) + " " +
                   std::to_string(i.sVideoRes.nFrameWidth) + "x" + std::to_string(i.sVideoRes.nFrameHeight) + ">";
        });
}

std::vector<SKxNLEyeDeviceInfoEx> ListDevices(int32_t nSources) {
    std::vector<SKxNLEyeDeviceInfoEx> vecInfos;
    py::gil_scoped_release release;  // a search waits for answers
    IKxEyeDeviceEnumrator* pRaw = nullptr;
    if (!KxCreateLaserEyeDeviceEnumrator(&pRaw) || pRaw == nullptr) Raise(KX_E_NULL_ARGUMENT);
    Ref<IKxEyeDeviceEnumrator> enumerator(pRaw);
    enumerator->SearchDevice(nSources);
    enumerator->GetDeviceInfoList(vecInfos);
    return vecInfos;
}

}  // namespace

}  // namespace kxpy

PYBIND11_MODULE(kxlasereye, m) {
    using namespace kxpy;
    m.doc() = "Laser eye SDK: find, configure and read laser line 3D cameras (docs/python.md).";
    m.attr("__version__") = KX_PY_VERSION;
    // NumPy's C interface is loaded now, not by the first array of the first capture: loading it
    // takes a fifth of a second, long enough for the camera to drop frames.
    (void)py::dtype::of<float>();

    py::dict scope = m.attr("__dict__");
    py::exec(R"py(
class KxError(RuntimeError):
    """An SDK call answered a result code other than 0. `code` is the code, `text` its meaning."""

    def __init__(self, code, text):
        super().__init__(code, text)
        self.code = code
        self.text = text

    def __str__(self):
        return "%s (%d)" % (self.text, self.code)
)py",
             scope);
    g_pKxError = m.attr("KxError").ptr();
    Py_INCREF(g_pKxError);
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const CodeError& e) {
            py::object error = py::reinterpret_borrow<py::object>(g_pKxError)(e.nCode, KxEyeCodeMeaning(e.nCode));
            PyErr_SetObject(g_pKxError, error.ptr());
        }
    });

    m.def("code_text", [](int32_t nCode) { return std::string(KxEyeCodeMeaning(nCode)); }, py::arg("code"),
          "Meaning of an SDK result code.");

    m.attr("SEARCH_LOCAL") = c_nKxSearchLocal;
    m.attr("SEARCH_ETHERNET") = c_nKxSearchEthernet;
    m.attr("SEARCH_SMALL_SMART_EYE") = c_nKxSearchSmallSmartEye;
    m.attr("FORMAT_INDEXED_DOUBLE") = c_nKxFormatIndexedDouble;
    m.attr("FORMAT_FLOAT") = c_nKxFormatFloat;
    m.attr("FORMAT_FLOAT16") = c_nKxFormatFloat16;
    m.attr("FORMAT_FLOAT16B") = c_nKxFormatFloat16b;
    m.attr("FORMAT_FLOAT16C") = c_nKxFormatFloat16c;
    m.attr("FORMAT_FLOAT32") = c_nKxFormatFloat32;
    m.attr("FORMAT_DOUBLE") = c_nKxFormatDouble;
    m.attr("FILTER_Y_INSIDE") = c_nKxFilterYInside;
    m.attr("FILTER_Y_OUTSIDE") = c_nKxFilterYOutside;
    m.attr("FILTER_Z_INSIDE") = c_nKxFilterZInside;
    m.attr("FILTER_Z_OUTSIDE") = c_nKxFilterZOutside;
    m.attr("FILTER_X_INSIDE") = c_nKxFilterXInside;
    m.attr("FILTER_X_OUTSIDE") = c_nKxFilterXOutside;

    BindInfo(m);
    m.def("list_devices", &ListDevices, py::arg("sources") = c_nKxSearchLocal,
          "Cameras found on the given sources (SEARCH_* flags). The default searches only the "
          "cameras inside this process (local path); SEARCH_ETHERNET sends a search onto the "
          "host's networks.");
    m.def("set_log_level", [](int nLevel) { KxLogUtils::SetLogLevel(nLevel); }, py::arg("level"),
          "Level of the SDK's lines on stderr: 0 silent, 1 errors, 2 warnings (default), 3 state, 4 detail.");
    m.def("set_camera_log_level", [](int nLevel) { KxConfigLaserEyeLogLevel(nLevel); }, py::arg("level"),
          "Level of the camera access library's lines (0 to 4; other values silence it).");

    BindBlock(m);
    BindDevice(m);
    BindMotor(m);
}
