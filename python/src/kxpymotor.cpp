// SwingMotor: the swing motor of version 8 cameras (IKxSwingMotorDevice). Moves and waits run
// with the interpreter lock released; a motor object keeps its Device object alive.
#include "kxpy.h"

namespace kxpy {

namespace {

class PyMotor {
public:
    PyMotor(IKxSwingMotorDevice* p, py::object device) : m_motor(p), m_device(std::move(device)) {}
    IKxSwingMotorDevice* operator->() const { return m_motor.Get(); }

private:
    Ref<IKxSwingMotorDevice> m_motor;
    py::object m_device;
};

// Runs f with the interpreter lock released and raises its code.
template <class F>
void Call(F f) {
    int32_t nResult = 0;
    {
        py::gil_scoped_release release;
        nResult = f();
    }
    Check(nResult);
}

// A getter that answers its value and writes a code through pnError.
template <class T, class F>
T Get(F f) {
    int32_t nError = 0;
    T value{};
    {
        py::gil_scoped_release release;
        value = f(&nError);
    }
    Check(nError);
    return value;
}

// A getter whose negative answer is a code.
template <class F>
int32_t GetValue(F f) {
    int32_t n = 0;
    {
        py::gil_scoped_release release;
        n = f();
    }
    if (n < 0) Raise(n);
    return n;
}

}  // namespace

void BindMotor(py::module_& m) {
    py::class_<PyMotor>(m, "SwingMotor", "Swing motor of a version 8 camera; angles in degrees.")
        .def("enable", [](PyMotor& p, bool bOn, bool bDynamicRoi) { Call([&] { return p->EnableSwing(bOn, bDynamicRoi); }); },
             py::arg("on") = true, py::arg("with_dynamic_roi") = false)
        .def_property_readonly("enabled", [](PyMotor& p) { return p->IsSwingEnabled(); })
        .def("run", [](PyMotor& p, bool bRun) { Call([&] { return p->RunMotor(bRun); }); }, py::arg("run") = true)
        .def_property_readonly("running", [](PyMotor& p) { return Get<bool>([&](int32_t* e) { return p->IsMotorRunning(e); }); })
        .def_property_readonly("idle", [](PyMotor& p) { return Get<bool>([&](int32_t* e) { return p->IsMotorIdle(e); }); })
        .def_property("light", [](PyMotor& p) { return Get<int32_t>([&](int32_t* e) { return p->GetLight(e); }); },
                      [](PyMotor& p, uint32_t n) { Call([&] { return p->SetLight(n); }); }, "Light value, 0 to 1000.")
        .def_property("speed",
                      [](PyMotor& p) {
                          int32_t n = 0;
                          Call([&] { return p->GetSpeed(&n); });
                          return n;
                      },
                      [](PyMotor& p, int32_t n) { Call([&] { return p->SetSpeed(n); }); })
        .def_property_readonly("speed_range", [](PyMotor& p) {
            int32_t a = 0, b = 0;
            Call([&] { return p->GetSpeedRange(&a, &b); });
            return py::make_tuple(a, b);
        })
        .def_property_readonly("max_angle", [](PyMotor& p) {
            int32_t n = 0;
            Call([&] { return p->GetMaxAngle(&n); });
            return n;
        })
        .def_property("range",
                      [](PyMotor& p) {
                          int32_t a = 0, b = 0;
                          Call([&] { return p->GetSwingRange(&a, &b); });
                          return py::make_tuple(a, b);
                      },
                      [](PyMotor& p, std::pair<int32_t, int32_t> r) { Call([&] { return p->SetSwingRange(r.first, r.second); }); },
                      "Swing range (start, end) in whole degrees.")
        .def("set_range_start_here", [](PyMotor& p) { Call([&] { return p->SetRangeStartHere(); }); })
        .def("set_range_end_here", [](PyMotor& p) { Call([&] { return p->SetRangeEndHere(); }); })
        .def("move_to", [](PyMotor& p, float f, bool bWait) { Call([&] { return p->MoveTo(f, bWait); }); },
             py::arg("angle"), py::arg("wait") = true)
        .def("move_to_center", [](PyMotor& p, bool bWait) { Call([&] { return p->MoveToCenter(bWait); }); }, py::arg("wait") = true)
        .def("move_to_origin", [](PyMotor& p, bool bWait) { Call([&] { return p->MoveToOrigin(bWait); }); }, py::arg("wait") = true)
        .def("wait_idle", [](PyMotor& p) { Call([&] { return p->WaitIdle(); }); })
        .def_property_readonly("position", [](PyMotor& p) { return Get<float>([&](int32_t* e) { return p->GetPosition(e); }); },
                               "Current angle in degrees.")
        .def_property("mode", [](PyMotor& p) { return GetValue([&] { return p->GetSwingMode(); }); },
                      [](PyMotor& p, int32_t n) { Call([&] { return p->SetSwingMode(n); }); }, "Swing mode, 1 or 2.")
        .def_property("center", [](PyMotor& p) { return GetValue([&] { return p->GetCenter(); }); },
                      [](PyMotor& p, int32_t n) { Call([&] { return p->SetCenter(n); }); })
        .def_property_readonly("version", [](PyMotor& p) { return GetValue([&] { return p->GetMotorVersion(); }); })
        .def("info", [](PyMotor& p) {
            SKxMotorInfo i{};
            Call([&] { return p->GetMotorInfo(&i); });
            py::dict r;
            r["max_angle"] = i.nMaxAngle;
            r["min_speed"] = i.nMinSpeed;
            r["max_speed"] = i.nMaxSpeed;
            r["range_start"] = i.nRangeStart;
            r["range_end"] = i.nRangeEnd;
            r["speed"] = i.nSpeed;
            return r;
        });

    py::object device = m.attr("Device");
    device.attr("swing_motor") = py::cpp_function(
        [](py::object self) -> py::object {
            IKxSwingMotorDevice* pMotor = nullptr;
            if (!DeviceOf(self)->GetSwingMotorDevice(&pMotor) || pMotor == nullptr) return py::none();
            return py::cast(new PyMotor(pMotor, self), py::return_value_policy::take_ownership);
        },
        py::name("swing_motor"), py::is_method(device), py::sibling(py::getattr(device, "swing_motor", py::none())),
        "The swing motor, None when the camera has none (or the device is not open).");
}

}  // namespace kxpy
