// Device and Stream: opening, parameters, single shots and continuous capture.
//
// Every device call runs with the interpreter lock released: the library waits for the camera
// (frames, retries, the motor) and its camera thread may need the lock to call a Python
// callback. Continuous capture has two roads, both on the device's data callback:
//   - Stream: the callback queues the blocks (a reference each, no Python work on the camera
//     thread); iterating waits for the next block with a timeout.
//   - start_capture(callback): the callback runs the Python callable on the camera thread.
// A capturing device is held by the module (it cannot be collected under a running capture)
// and every capture still running when the interpreter exits is stopped first.
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "kxpy.h"

namespace kxpy {

namespace {

bool Finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

class CaptureSink;
// The sink whose Python callable this thread is running, if any.
thread_local const CaptureSink* t_pInCallback = nullptr;

class CaptureSink : public IKxLaserDataCallBack {
public:
    explicit CaptureSink(size_t nMaxQueued) : m_nMaxQueued(nMaxQueued < 1 ? 1 : nMaxQueued) {}
    explicit CaptureSink(py::object callable) : m_pCallable(new py::object(std::move(callable))) {}
    // Destroyed with the interpreter lock held (it may hold Python objects).
    ~CaptureSink() override {
        Close();
        delete m_pCallable;
    }

    void OnLaserResult(IKxLaserEyeResultBlock* pBlock) override {
        if (pBlock == nullptr) return;
        if (m_pCallable == nullptr) {
            Push(pBlock);
        } else {
            Call(pBlock);
        }
    }

    // Next queued block (the caller takes its reference), or null after the timeout or once closed.
    IKxLaserEyeResultBlock* Pop(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait_for(lock, timeout, [&] { return !m_queue.empty() || m_bClosed; });
        if (m_queue.empty()) return nullptr;
        IKxLaserEyeResultBlock* p = m_queue.front();
        m_queue.pop_front();
        return p;
    }

    // No more blocks are taken; the queued ones are released.
    void Close() {
        std::deque<IKxLaserEyeResultBlock*> queue;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bClosed = true;
            queue.swap(m_queue);
        }
        m_cv.notify_all();
        for (IKxLaserEyeResultBlock* p : queue) p->Release();
    }

    bool Closed() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_bClosed;
    }
    uint64_t Dropped() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_nDropped;
    }
    uint64_t Received() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_nReceived;
    }
    // The first exception the callable raised (interpreter lock held).
    py::object TakeError() { return std::move(m_error); }

private:
    void Push(IKxLaserEyeResultBlock* pBlock) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_bClosed) return;
            ++m_nReceived;
            // A full queue drops the new block, as the camera drops a frame with no free buffer:
            // blocks hold camera buffers, so an unbounded queue would starve the camera.
            if (m_queue.size() >= m_nMaxQueued) {
                ++m_nDropped;
                return;
            }
            pBlock->AddRef();
            m_queue.push_back(pBlock);
        }
        m_cv.notify_one();
    }

    void Call(IKxLaserEyeResultBlock* pBlock) {
        if (Finalizing()) return;
        py::gil_scoped_acquire gil;
        // The camera thread keeps its interpreter thread state from its first call on: making and
        // dropping one per frame costs more than the rest of the call.
        static thread_local bool t_bStateKept = false;
        if (!t_bStateKept) {
            gil.inc_ref();
            t_bStateKept = true;
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_bClosed) return;
            ++m_nReceived;
        }
        t_pInCallback = this;
        try {
            pBlock->AddRef();
            py::object block = WrapBlock(pBlock);
            (*m_pCallable)(block);
        } catch (py::error_already_set& e) {
            // Raised again by stop_capture; nothing may unwind into the camera library's thread.
            if (!m_error) m_error = e.value();
        } catch (...) {
        }
        t_pInCallback = nullptr;
    }

    const size_t m_nMaxQueued = 1;
    py::object* m_pCallable = nullptr;
    py::object m_error;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<IKxLaserEyeResultBlock*> m_queue;
    bool m_bClosed = false;
    uint64_t m_nDropped = 0;
    uint64_t m_nReceived = 0;
};

class PyDevice;
// Devices capturing through this module, each with a strong reference (interpreter lock held).
std::set<PyDevice*>& Capturing() {
    static std::set<PyDevice*>* s_pSet = new std::set<PyDevice*>;
    return *s_pSet;
}

int DecRefLater(void* p) {
    Py_DECREF(static_cast<PyObject*>(p));
    return 0;
}

class PyDevice {
public:
    explicit PyDevice(const SKxNLEyeDeviceInfoEx& info) {
        IKxMemPool* pMem = nullptr;
        IKxSurfacePool* pSurface = nullptr;
        KxKernel::KxCreateMemPool(&pMem);
        m_memPool = Ref<IKxMemPool>(pMem);
        KxKernel::KxCreateSurfacePool(&pSurface);
        m_surfacePool = Ref<IKxSurfacePool>(pSurface);
        IKxLaserEyeDevice* pDevice = nullptr;
        if (!KxCreateLaserEyeDevice(&info, pSurface, pMem, &pDevice) || pDevice == nullptr)
            RaisePython(PyExc_RuntimeError, "KxCreateLaserEyeDevice created no device");
        m_device = Ref<IKxLaserEyeDevice>(pDevice);
    }

    ~PyDevice() {
        // A device still capturing here is one the interpreter tears down: stop it before the
        // callback object goes.
        if (m_sink) {
            py::gil_scoped_release release;
            m_device->StopCapture();
        }
        if (m_sink) m_sink->Close();
        {
            py::gil_scoped_release release;
            m_device->Close();
            m_device.Reset();
        }
    }

    IKxLaserEyeDevice* Dev() const { return m_device.Get(); }
    const std::shared_ptr<CaptureSink>& Sink() const { return m_sink; }

    void Start(const py::object& self, std::shared_ptr<CaptureSink> sink) {
        if (m_sink) RaisePython(PyExc_RuntimeError, "a capture is running on this device; stop it first");
        int32_t nResult = 0;
        {
            py::gil_scoped_release release;
            nResult = m_device->StartCapture(0, sink.get(), nullptr);
        }
        Check(nResult);
        m_sink = std::move(sink);
        m_pSelf = self.inc_ref().ptr();
        Capturing().insert(this);
    }

    // Stops a capture started here. After it returns the callable is never called again.
    void Stop() {
        if (!m_sink) return;
        int32_t nResult = 0;
        {
            py::gil_scoped_release release;
            nResult = m_device->StopCapture();
        }
        if (nResult != 0 && m_device->IsCapturing()) Raise(nResult);  // still delivering: keep the sink
        std::shared_ptr<CaptureSink> sink = std::move(m_sink);
        sink->Close();
        Capturing().erase(this);
        PyObject* pSelf = std::exchange(m_pSelf, nullptr);
        if (t_pInCallback == sink.get()) {
            // Stopped from its own callable: the sink is still running it, and the device may not
            // go on this thread. Both wait: the sink in the device, the reference for the main
            // thread.
            m_vecRetired.push_back(std::move(sink));
            if (Py_AddPendingCall(&DecRefLater, pSelf) != 0) m_vecLeaked.push_back(pSelf);
            Check(nResult);
            return;
        }
        py::object error = sink->TakeError();
        sink.reset();
        // Last touch of this object: the reference dropped may be the last one.
        Py_XDECREF(pSelf);
        if (error) {
            PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
            throw py::error_already_set();
        }
        Check(nResult);
    }

private:
    Ref<IKxMemPool> m_memPool;
    Ref<IKxSurfacePool> m_surfacePool;
    Ref<IKxLaserEyeDevice> m_device;
    std::shared_ptr<CaptureSink> m_sink;
    std::vector<std::shared_ptr<CaptureSink>> m_vecRetired;
    std::vector<PyObject*> m_vecLeaked;
    PyObject* m_pSelf = nullptr;
};

// Runs at interpreter exit: no camera thread may call into Python once it is going away.
void StopAll() {
    std::set<PyDevice*> devices = Capturing();
    for (PyDevice* p : devices) {
        try {
            p->Stop();
        } catch (...) {
            PyErr_Clear();
        }
    }
}

class PyStream {
public:
    PyStream(py::object device, double dTimeout, size_t nMaxQueued) : m_dTimeout(dTimeout), m_device(std::move(device)) {
        PyDevice& dev = m_device.cast<PyDevice&>();
        m_sink = std::make_shared<CaptureSink>(nMaxQueued);
        dev.Start(m_device, m_sink);
    }
    ~PyStream() {
        try {
            Close();
        } catch (...) {
            PyErr_Clear();
        }
    }

    // The next block; None (or TimeoutError) when none came in time, StopIteration once stopped.
    py::object Next(double dTimeout, bool bRaiseTimeout) {
        using namespace std::chrono;
        const auto tEnd = steady_clock::now() + duration_cast<steady_clock::duration>(duration<double>(dTimeout));
        // A block already queued is taken without letting the interpreter lock go.
        if (IKxLaserEyeResultBlock* pReady = m_sink->Pop(milliseconds(0))) return WrapBlock(pReady);
        for (;;) {
            IKxLaserEyeResultBlock* pBlock = nullptr;
            const auto tNow = steady_clock::now();
            // Waits in slices so that Ctrl-C reaches the program.
            auto slice = std::min<steady_clock::duration>(tEnd > tNow ? tEnd - tNow : steady_clock::duration(0),
                                                          milliseconds(100));
            {
                py::gil_scoped_release release;
                pBlock = m_sink->Pop(duration_cast<milliseconds>(slice));
            }
            if (pBlock) return WrapBlock(pBlock);
            if (m_sink->Closed()) throw py::stop_iteration();
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
            if (steady_clock::now() >= tEnd) {
                if (bRaiseTimeout) RaisePython(PyExc_TimeoutError, "no frame within the stream's timeout");
                return py::none();
            }
        }
    }

    void Close() {
        PyDevice& dev = m_device.cast<PyDevice&>();
        if (dev.Sink() == m_sink) dev.Stop();
        m_sink->Close();
    }

    double m_dTimeout;
    std::shared_ptr<CaptureSink> m_sink;

private:
    py::object m_device;
};

using Roi4 = std::tuple<int32_t, int32_t, int32_t, int32_t>;

template <class F>
int32_t Unlocked(F f) {
    py::gil_scoped_release release;
    return f();
}

}  // namespace

void BindDevice(py::module_& m) {
    py::class_<PyStream>(m, "Stream",
                         "Continuous capture into a bounded queue. Iterating yields ResultBlocks and "
                         "raises TimeoutError when none arrives within `timeout` seconds; stop() ends it.")
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__", [](PyStream& s) { return s.Next(s.m_dTimeout, true); })
        .def("get", [](PyStream& s, py::object timeout) {
            return s.Next(timeout.is_none() ? s.m_dTimeout : timeout.cast<double>(), false);
        }, py::arg("timeout") = py::none(), "Next block, or None when none arrives within the timeout (seconds).")
        .def("stop", &PyStream::Close, "Stops the capture; queued blocks are released.")
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](PyStream& s, py::object excType, py::object, py::object) {
            // Leaving the block because of an error: that error is the one the caller sees, never
            // one of the stop on top of it (a lost camera).
            if (excType.is_none()) {
                s.Close();
                return;
            }
            try {
                s.Close();
            } catch (py::error_already_set&) {
            } catch (const std::exception&) {
            }
        })
        .def_readwrite("timeout", &PyStream::m_dTimeout)
        .def_property_readonly("received", [](PyStream& s) { return s.m_sink->Received(); },
                               "Blocks the device delivered to this stream.")
        .def_property_readonly("dropped", [](PyStream& s) { return s.m_sink->Dropped(); },
                               "Blocks dropped because the queue was full.");

    py::class_<PyDevice>(m, "Device", "One laser eye camera (IKxLaserEyeDevice).")
        .def(py::init<const SKxNLEyeDeviceInfoEx&>(), py::arg("info"))
        .def("open", [](PyDevice& d) { Check(Unlocked([&] { return d.Dev()->Open(0); })); })
        .def("close", [](PyDevice& d) {
            d.Stop();
            py::gil_scoped_release release;
            d.Dev()->Close();
        }, "Stops a running capture and closes the device.")
        .def("__enter__", [](py::object self) {
            PyDevice& d = self.cast<PyDevice&>();
            if (!d.Dev()->IsOpen()) Check(Unlocked([&] { return d.Dev()->Open(0); }));
            return self;
        })
        .def("__exit__", [](PyDevice& d, py::object excType, py::object, py::object) {
            // As for a stream: an error leaving the block is never hidden behind one of the stop.
            try {
                d.Stop();
            } catch (py::error_already_set&) {
                if (excType.is_none()) {
                    py::gil_scoped_release release;
                    d.Dev()->Close();
                    throw;
                }
            } catch (const std::exception&) {
                if (excType.is_none()) {
                    py::gil_scoped_release release;
                    d.Dev()->Close();
                    throw;
                }
            }
            py::gil_scoped_release release;
            d.Dev()->Close();
        })
        .def("enable_reconnect", [](PyDevice& d, bool bOn, double dInterval, double dGiveUp) {
            IKxLaserEyeDeviceReconnect* pRe = static_cast<IKxLaserEyeDeviceReconnect*>(d.Dev());
            Check(Unlocked([&] {
                return pRe->EnableReconnect(bOn, static_cast<uint32_t>(dInterval * 1000.0),
                                            static_cast<uint32_t>(dGiveUp * 1000.0));
            }));
        }, py::arg("on") = true, py::arg("interval") = 0.5, py::arg("give_up") = 0.0,
           "Lets the device take a lost camera back by itself: it tries every `interval` seconds (for at most "
           "`give_up` seconds, 0 for ever), writes back the settings made, resumes the capture. Off by default.")
        .def_property_readonly("reconnect_enabled", [](PyDevice& d) {
            return static_cast<IKxLaserEyeDeviceReconnect*>(d.Dev())->IsReconnectEnabled();
        })
        .def_property_readonly("reconnect_state", [](PyDevice& d) {
            SKxReconnectState st{};
            Check(static_cast<IKxLaserEyeDeviceReconnect*>(d.Dev())->GetReconnectState(&st));
            py::dict r;
            r["state"] = st.nState == 0 ? "online" : st.nState == 1 ? "trying" : "gave up";
            r["losses"] = st.nLosses;
            r["reconnects"] = st.nReconnects;
            r["attempts"] = st.nAttempts;
            r["last_error"] = st.nLastError;
            r["outage_ms"] = st.nOutageMs;
            r["frames_missed"] = st.nFramesMissed;
            r["frames_missed_all"] = st.nFramesMissedAll;
            return r;
        }, "Losses, reconnects and frames missed (dict).")
        .def_property_readonly("is_open", [](PyDevice& d) { return d.Dev()->IsOpen(); })
        .def_property_readonly("online", [](PyDevice& d) {
            py::gil_scoped_release release;
            return d.Dev()->CheckOnline();
        })
        .def_property_readonly("info", [](PyDevice& d) {
            const SKxNLEyeDeviceInfoEx* p = d.Dev()->GetDeviceInfo();
            return p ? py::cast(*p) : py::object(py::none());
        })
        .def_property_readonly("hw_version", [](PyDevice& d) { return d.Dev()->GetHWVersion(); })
        .def_property_readonly("resolution", [](PyDevice& d) {
            uint32_t w = 0, h = 0;
            Check(Unlocked([&] { return d.Dev()->GetVideoResolution(&w, &h); }));
            return py::make_tuple(w, h);
        })
        .def("version", [](PyDevice& d) {
            SKxEyeVersionInfo v{};
            Check(Unlocked([&] { return d.Dev()->GetVersion(&v); }));
            py::dict r;
            r["firmware"] = std::string(v.szFirmwareVersion, strnlen(v.szFirmwareVersion, sizeof(v.szFirmwareVersion)));
            r["device_id"] = std::string(v.szDeviceID, strnlen(v.szDeviceID, sizeof(v.szDeviceID)));
            r["hardware"] = std::string(v.szHardwareVersion, strnlen(v.szHardwareVersion, sizeof(v.szHardwareVersion)));
            return r;
        }, "Firmware, device identifier and hardware texts.")
        .def("q_matrix", [](PyDevice& d) {
            py::array_t<double> q({4, 4});
            double* p = q.mutable_data();
            Check(Unlocked([&] { return d.Dev()->GetQMatrix(p); }));
            return q;
        }, "The 4 x 4 reprojection matrix.")
        .def_property("exposure",
                      [](PyDevice& d) {
                          int32_t nAuto = 0, nValue = 0;
                          Check(Unlocked([&] { return d.Dev()->GetExpose(&nAuto, &nValue); }));
                          return nValue;
                      },
                      [](PyDevice& d, uint32_t nValue) { Check(Unlocked([&] { return d.Dev()->SetExpose(0, nValue); })); },
                      "Manual exposure value (0 to 65535).")
        .def_property("laser_threshold",
                      [](PyDevice& d) {
                          int32_t n = 0;
                          Check(Unlocked([&] { return d.Dev()->GetLaserThres(&n); }));
                          return n;
                      },
                      [](PyDevice& d, int32_t n) { Check(Unlocked([&] { return d.Dev()->SetLaserThres(n); })); })
        .def_property("trigger_mode",
                      [](PyDevice& d) {
                          int32_t n = 0;
                          Check(Unlocked([&] { return d.Dev()->GetTriggerMode(&n); }));
                          return n;
                      },
                      [](PyDevice& d, int32_t n) { Check(Unlocked([&] { return d.Dev()->SetTriggerMode(n); })); })
        .def_property("denoise", [](PyDevice& d) { return Unlocked([&] { return int32_t(d.Dev()->IsDenoiseEnabled()); }) != 0; },
                      [](PyDevice& d, bool b) { Check(Unlocked([&] { return d.Dev()->EnableDenoise(b); })); })
        .def_property("dynamic_roi",
                      [](PyDevice& d) {
                          int32_t nError = 0;
                          bool bOn = false;
                          Unlocked([&] {
                              bOn = d.Dev()->IsDynamicROIEnabled(&nError);
                              return 0;
                          });
                          Check(nError);
                          return bOn;
                      },
                      [](PyDevice& d, bool b) { Check(Unlocked([&] { return d.Dev()->EnableDynamicROI(b); })); })
        .def_property("image_mode", [](PyDevice& d) { return d.Dev()->GetDebugMode(); },
                      [](PyDevice& d, bool b) { Check(Unlocked([&] { return d.Dev()->SetDebugMode(b); })); },
                      "Frames carry both images (applied at the next start of a capture).")
        .def_property("roi",
                      [](PyDevice& d) {
                          SKxNLROIRect l{}, r{};
                          Check(Unlocked([&] { return d.Dev()->GetDetectROI(&l, &r); }));
                          return py::make_tuple(Roi4(l.left, l.right, l.top, l.bottom), Roi4(r.left, r.right, r.top, r.bottom));
                      },
                      [](PyDevice& d, std::pair<Roi4, Roi4> roi) {
                          SKxNLROIRect l{std::get<0>(roi.first), std::get<1>(roi.first), std::get<2>(roi.first), std::get<3>(roi.first)};
                          SKxNLROIRect r{std::get<0>(roi.second), std::get<1>(roi.second), std::get<2>(roi.second), std::get<3>(roi.second)};
                          Check(Unlocked([&] { return d.Dev()->SetDetectROI(&l, &r); }));
                      },
                      "Detection ROIs ((left, right, top, bottom) of the left image, the same of the right).")
        .def("set_gain", [](PyDevice& d, uint16_t n) { Check(Unlocked([&] { return d.Dev()->SetCameraGain(0, n); })); },
             py::arg("gain"), "Camera gain, 44 to 480.")
        .def("set_frame_rate", [](PyDevice& d, uint16_t n) { Check(Unlocked([&] { return d.Dev()->SetFrameRate(n); })); },
             py::arg("rate"), "Frames per second, 1 to 2000.")
        .def_property_readonly("is_capturing", [](PyDevice& d) { return d.Dev()->IsCapturing(); })
        .def("stream", [](py::object self, double dTimeout, size_t nMaxQueued) {
            return new PyStream(self, dTimeout, nMaxQueued);
        }, py::arg("timeout") = 1.0, py::arg("max_queued") = 8,
           "Starts continuous capture into a queue of at most max_queued blocks and returns the Stream.")
        .def("start_capture", [](py::object self, py::object callback) {
            if (!PyCallable_Check(callback.ptr())) RaisePython(PyExc_TypeError, "callback must be callable");
            self.cast<PyDevice&>().Start(self, std::make_shared<CaptureSink>(std::move(callback)));
        }, py::arg("callback"),
           "Starts continuous capture; callback(block) runs on the camera library's thread for every frame.")
        .def("stop_capture", &PyDevice::Stop,
             "Stops the capture. Once it has returned the callback is not called again; an exception "
             "the callback raised is raised here.")
        .def("detect", [](PyDevice& d) {
            IKxLaserEyeResultBlock* pBlock = nullptr;
            const int32_t nResult = Unlocked([&] { return d.Dev()->Detect(&pBlock); });
            if (nResult != 0) {
                if (pBlock) pBlock->Release();
                Raise(nResult);
            }
            if (pBlock == nullptr) Raise(KX_E_NULL_ARGUMENT);
            return WrapBlock(pBlock);
        }, "One frame while not capturing (single shot).")
        .def("get_image", [](PyDevice& d, uint32_t nTimeoutMs) {
            IKxSurface* pLeft = nullptr;
            IKxSurface* pRight = nullptr;
            const int32_t nResult = Unlocked([&] { return d.Dev()->GetImage(&pLeft, &pRight, nTimeoutMs); });
            if (nResult != 0 || pLeft == nullptr || pRight == nullptr) {
                if (pLeft) pLeft->Release();
                if (pRight) pRight->Release();
                Raise(nResult != 0 ? nResult : KX_E_NULL_ARGUMENT);
            }
            py::array left = SurfaceArray(pLeft);
            py::array right = SurfaceArray(pRight);
            return py::make_tuple(left, right);
        }, py::arg("timeout_ms") = 2000, "Both images of one frame while not capturing, as 2-D uint8 arrays.");

    py::module_::import("atexit").attr("register")(py::cpp_function(&StopAll));
}

// The motor binder needs the device's interface and keeps its Python object alive.
IKxLaserEyeDevice* DeviceOf(const py::object& device) { return device.cast<PyDevice&>().Dev(); }

}  // namespace kxpy
