// norvikcam._norvikcam: the client API in Python. A front end like the tool
// and the element: it reaches the camera only through client/camera.h.
//
// Frames are the driver's buffers, handed to Python without a copy: a Frame
// exports its pixels through the buffer protocol (frame.array is a numpy view
// of that export), and it counts the exports, so a release while a view is
// still alive raises BufferError instead of leaving the view on a buffer the
// driver fills again.
//
// The GIL is let go for every call that may wait (opening, streaming,
// controls, closing). The calls the client API allows one thread at a time
// (streaming, the window, closing) take the camera's streaming lock after
// the GIL is let go, so Python threads that share a camera queue there.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <tuple>
#include <utility>

#include "client/camera.h"
#include "client/camera_internal.h"  // the private _testing submodule only

namespace py = pybind11;

namespace {

// The exception classes, one a kind, made when the module is imported.
PyObject* errorBase = nullptr;
PyObject* errorByKind[6] = {};

PyObject* NewError(py::module_& m, const char* name, const char* doc, PyObject* bases) {
    const std::string qualified = std::string("norvikcam.") + name;
    PyObject* type = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, bases, nullptr);
    if (type == nullptr) throw py::error_already_set();
    m.add_object(name, py::reinterpret_borrow<py::object>(type));
    return type;
}

void MakeErrors(py::module_& m) {
    errorBase =
        NewError(m, "Error", "Every failure of the camera; its message says what to do.", nullptr);
    auto with = [](PyObject* other) {
        return py::make_tuple(py::handle(errorBase), py::handle(other));
    };
    using norvik::ErrorKind;
    errorByKind[static_cast<int>(ErrorKind::Unplugged)] =
        NewError(m, "UnpluggedError",
                 "The camera went away (or reset): open it again once it is back.", errorBase);
    errorByKind[static_cast<int>(ErrorKind::Busy)] = NewError(
        m, "BusyError", "Another process has the camera; the message names it.", errorBase);
    errorByKind[static_cast<int>(ErrorKind::TimedOut)] = NewError(
        m, "TimedOutError", "No frame came within the time-out.", with(PyExc_TimeoutError).ptr());
    errorByKind[static_cast<int>(ErrorKind::InvalidArgument)] = NewError(
        m, "InvalidArgumentError", "A name or value the camera does not take; nothing was changed.",
        with(PyExc_ValueError).ptr());
    errorByKind[static_cast<int>(ErrorKind::Io)] =
        NewError(m, "IoError", "A file, the USB link or the camera itself failed.",
                 with(PyExc_OSError).ptr());
    errorByKind[static_cast<int>(ErrorKind::Closed)] =
        NewError(m, "ClosedError", "A call on a camera that was closed.", errorBase);
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const norvik::Error& e) {
            PyErr_SetString(errorByKind[static_cast<int>(e.Kind())], e.what());
        }
    });
}

// What the tool's command line does with a name: any case.
std::string ControlName(std::string name) {
    for (char& ch : name) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return name;
}

py::object& NumpyAsarray() {
    // Kept for the life of the process, as the module is.
    static auto* asarray = new py::object(py::module_::import("numpy").attr("asarray"));
    return *asarray;
}

struct PyCamera {
    std::unique_ptr<norvik::Camera> cam;
    // StartStreaming, NextFrame, StopStreaming, SetWindow and Close: one
    // thread at a time. Taken only with the GIL let go.
    std::mutex streaming;

    ~PyCamera() {
        py::gil_scoped_release g;
        std::lock_guard<std::mutex> l(streaming);
        cam.reset();  // closes it, errors swallowed; close() reports them
    }
    // Runs `call` on the camera with the GIL let go, under the streaming lock.
    template <typename F>
    auto Streaming(F&& call) {
        py::gil_scoped_release g;
        std::lock_guard<std::mutex> l(streaming);
        return call(*cam);
    }
};

// A frame, its buffer still the driver's until it is released.
struct PyFrame {
    norvik::Frame frame;
    bool released = false;
    int exports = 0;  // live views of the pixels (buffer exports); under the GIL
    uint64_t dropped = 0;
    Py_ssize_t shape[3] = {}, strides[3] = {};
    Py_ssize_t rawShape[2] = {}, rawStrides[2] = {};

    PyFrame(norvik::Frame f, uint64_t droppedSoFar) : frame(std::move(f)), dropped(droppedSoFar) {
        shape[0] = frame.height, shape[1] = frame.width, shape[2] = 4;
        strides[0] = frame.stride, strides[1] = 4, strides[2] = 1;
        rawShape[0] = frame.rawHeight, rawShape[1] = frame.rawWidth;
        rawStrides[0] = frame.rawWidth, rawStrides[1] = 1;
    }
    void CheckHeld() const {
        if (released)
            throw py::buffer_error(
                "the frame was released: its buffer is the driver's again (frame.copy() keeps the "
                "pixels)");
    }
    void Release() {
        if (released) return;
        if (exports > 0)
            throw py::buffer_error(
                "the frame cannot be released while " + std::to_string(exports) +
                " view(s) of its pixels (numpy arrays, memoryviews) are alive: delete them first, "
                "or keep the pixels with frame.copy()");
        frame.Release();
        released = true;
    }
};

// The raw Bayer plane of a frame, as a second buffer export counted on it.
struct RawPlane {
    py::object owner;  // the Frame
};

PyFrame& FrameOf(PyObject* self) {
    return py::handle(self).cast<PyFrame&>();
}

int FillView(PyObject* exporter, Py_buffer* view, int flags, PyFrame& f, bool raw) {
    if (f.released) {
        PyErr_SetString(PyExc_BufferError,
                        "the frame was released: its buffer is the driver's again");
        return -1;
    }
    if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
        PyErr_SetString(PyExc_BufferError,
                        "a frame's pixels are read-only: frame.copy() gives pixels of your own");
        return -1;
    }
    if ((flags & PyBUF_STRIDES) != PyBUF_STRIDES) {
        PyErr_SetString(PyExc_BufferError,
                        "a frame's rows lie bottom-up in the buffer: ask for strides (numpy does)");
        return -1;
    }
    view->obj = exporter;
    Py_INCREF(exporter);
    view->readonly = 1;
    view->itemsize = 1;
    view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? const_cast<char*>("B") : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    if (raw) {
        view->buf = const_cast<uint8_t*>(f.frame.raw);
        view->len = f.rawShape[0] * f.rawShape[1];
        view->ndim = 2;
        view->shape = f.rawShape;
        view->strides = f.rawStrides;
    } else {
        view->buf = const_cast<uint8_t*>(f.frame.top);
        view->len = f.shape[0] * f.shape[1] * 4;
        view->ndim = 3;
        view->shape = f.shape;
        view->strides = f.strides;
    }
    ++f.exports;
    return 0;
}

int FrameGetBuffer(PyObject* self, Py_buffer* view, int flags) {
    try {
        return FillView(self, view, flags, FrameOf(self), false);
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_BufferError, e.what());
        view->obj = nullptr;
        return -1;
    }
}

void FrameReleaseBuffer(PyObject* self, Py_buffer*) {
    --FrameOf(self).exports;
}

int RawGetBuffer(PyObject* self, Py_buffer* view, int flags) {
    try {
        auto& plane = py::handle(self).cast<RawPlane&>();
        return FillView(self, view, flags, FrameOf(plane.owner.ptr()), true);
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_BufferError, e.what());
        view->obj = nullptr;
        return -1;
    }
}

void RawReleaseBuffer(PyObject* self, Py_buffer*) {
    --FrameOf(py::handle(self).cast<RawPlane&>().owner.ptr()).exports;
}

// Counted exports in place of pybind11's own buffer slots.
void UseBufferSlots(py::handle type, getbufferproc get, releasebufferproc release) {
    auto* t = reinterpret_cast<PyTypeObject*>(type.ptr());
    t->tp_as_buffer->bf_getbuffer = get;
    t->tp_as_buffer->bf_releasebuffer = release;
}

struct PyStream {
    py::object owner;  // the Camera, kept open while this streams
    PyCamera* camera = nullptr;
    double timeout = 5;
    bool active = false;

    ~PyStream() {
        if (active && camera->cam)
            camera->Streaming([](norvik::Camera& c) {
                c.StopStreaming();
                return 0;
            });
    }

    PyFrame Next(std::optional<double> seconds) {
        if (!active) throw norvik::Error(norvik::ErrorKind::InvalidArgument, "not streaming");
        const double wait = seconds.value_or(timeout);
        if (!(wait >= 0))
            throw norvik::Error(norvik::ErrorKind::InvalidArgument,
                                "a time-out is 0 seconds or more, not " + std::to_string(wait));
        const auto deadline = std::chrono::steady_clock::now() +
                              std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                  std::chrono::duration<double>(std::min(wait, 86400.0 * 365)));
        for (;;) {
            // Waits of at most 200 ms, so Ctrl-C reaches Python between them.
            auto [frame, dropped] = camera->Streaming([&](norvik::Camera& c) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now());
                std::optional<norvik::Frame> f = c.NextFrame(
                    std::clamp(left, std::chrono::milliseconds(0), std::chrono::milliseconds(200)));
                const uint64_t droppedSoFar = f ? c.Stats().dropped : 0;
                return std::make_pair(std::move(f), droppedSoFar);
            });
            if (frame) return PyFrame(std::move(*frame), dropped);
            if (std::chrono::steady_clock::now() >= deadline)
                throw norvik::Error(norvik::ErrorKind::TimedOut, "no frames from the camera");
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        }
    }

    void Close() {
        if (!active) return;
        active = false;
        camera->Streaming([](norvik::Camera& c) {
            c.StopStreaming();
            return 0;
        });
    }
};

std::unique_ptr<PyCamera> OpenCamera(const std::string& device,
                                     const std::optional<std::string>& settings, double wait,
                                     double fps, const std::optional<std::string>& trace,
                                     const norvik::SimulatedKnobs& knobs,
                                     bool raisePriority = true) {
    norvik::OpenOptions o;
    o.device = device;
    o.settingsPath = settings ? *settings : norvik::DefaultSettingsPath();
    o.tracePath = trace.value_or("");
    o.simulatedFps = fps;
    o.waitSeconds = wait;
    o.raisePriority = raisePriority;
    // As the tool and the element do: the settings' folder is made on first use.
    const auto folder = std::filesystem::path(o.settingsPath).parent_path();
    std::error_code ec;
    if (!folder.empty()) std::filesystem::create_directories(folder, ec);
    auto camera = std::make_unique<PyCamera>();
    {
        py::gil_scoped_release g;
        camera->cam = norvik::CameraAccess::Open(o, knobs);
    }
    return camera;
}

const char* kOpenDoc =
    "Opens a camera: 'sim' (the simulated camera), 'usb' or 'usb:VID:PID', as list_cameras()\n"
    "names them. settings: the .reg file the camera's settings are kept in (None: the file the\n"
    "tool uses, '': in memory only); closing the camera saves them. wait: seconds to wait for\n"
    "another process to close the camera (0: BusyError at once). fps: the simulated camera's\n"
    "pace (0: as fast as it can). trace: a usbmon pcap file of the USB traffic. raise_priority:\n"
    "run the threads that carry frames real-time where the system allows it while the camera\n"
    "is open (False, or NORVIKCAM_PRIORITY=normal: normal priority); Camera.priority says what\n"
    "they have.";

}  // namespace

PYBIND11_MODULE(_norvikcam, m) {
    m.doc() = "The norvikcam client API; import norvikcam rather than this.";
    MakeErrors(m);

    py::class_<norvik::CameraInfo>(m, "CameraInfo")
        .def_readonly("device", &norvik::CameraInfo::device)
        .def_readonly("description", &norvik::CameraInfo::description)
        .def("__repr__", [](const norvik::CameraInfo& c) {
            return "CameraInfo(device='" + c.device + "', description='" + c.description + "')";
        });

    py::class_<norvik::ControlInfo>(m, "Control", "One row of the camera's table of controls.")
        .def_readonly("name", &norvik::ControlInfo::name)
        .def_readonly("id", &norvik::ControlInfo::id)
        .def_readonly("writable", &norvik::ControlInfo::writable)
        .def_property_readonly("range",
                               [](const norvik::ControlInfo& c) -> std::optional<py::tuple> {
                                   if (!c.hasRange) return std::nullopt;
                                   return py::make_tuple(c.minimum, c.maximum);
                               })
        .def_readonly("default", &norvik::ControlInfo::defaultValue)
        .def_readonly("step", &norvik::ControlInfo::step)
        .def_readonly("signed", &norvik::ControlInfo::isSigned)
        .def_readonly("inert", &norvik::ControlInfo::inert)
        .def_readonly("shown", &norvik::ControlInfo::shown)
        .def_property_readonly(
            "switch",
            [](const norvik::ControlInfo& c) { return c.type == norvik::ControlType::Switch; })
        .def_readonly("unit", &norvik::ControlInfo::unit)
        .def_readonly("description", &norvik::ControlInfo::description)
        .def("__repr__", [](const norvik::ControlInfo& c) {
            std::string r = "Control(name='" + c.name + "'";
            if (c.hasRange)
                r += ", range=(" + std::to_string(c.minimum) + ", " + std::to_string(c.maximum) +
                     ")";
            return r + ", default=" + std::to_string(c.defaultValue) +
                   ", writable=" + (c.writable ? "True" : "False") + ")";
        });

    py::class_<norvik::Window>(m, "Window", "The readout window and the size of its frames.")
        .def_readonly("x", &norvik::Window::x)
        .def_readonly("y", &norvik::Window::y)
        .def_readonly("width", &norvik::Window::width)
        .def_readonly("height", &norvik::Window::height)
        .def_readonly("output_width", &norvik::Window::outputWidth)
        .def_readonly("output_height", &norvik::Window::outputHeight)
        .def("__repr__", [](const norvik::Window& w) {
            return "Window(x=" + std::to_string(w.x) + ", y=" + std::to_string(w.y) +
                   ", width=" + std::to_string(w.width) + ", height=" + std::to_string(w.height) +
                   ", output_width=" + std::to_string(w.outputWidth) +
                   ", output_height=" + std::to_string(w.outputHeight) + ")";
        });

    py::class_<norvik::Statistics>(m, "Statistics", "This run's counts so far.")
        .def_readonly("frames", &norvik::Statistics::frames)
        .def_readonly("dropped", &norvik::Statistics::dropped)
        .def_readonly("timeouts", &norvik::Statistics::timeouts);

    auto frame = py::class_<PyFrame>(m, "Frame", py::buffer_protocol(),
                                     "A frame in the driver's buffer; release it (or use it as a "
                                     "context manager) to hand the buffer back.");
    UseBufferSlots(frame, FrameGetBuffer, FrameReleaseBuffer);
    frame
        .def_property_readonly("array",
                               [](py::object self) {
                                   self.cast<PyFrame&>().CheckHeld();
                                   return NumpyAsarray()(self);
                               })
        .def_property_readonly("raw",
                               [](py::object self) -> py::object {
                                   auto& f = self.cast<PyFrame&>();
                                   f.CheckHeld();
                                   if (f.frame.raw == nullptr) return py::none();
                                   return NumpyAsarray()(py::cast(RawPlane{self}));
                               })
        .def("copy",
             [](py::object self) {
                 self.cast<PyFrame&>().CheckHeld();
                 return py::module_::import("numpy").attr("array")(NumpyAsarray()(self),
                                                                   py::arg("order") = "C");
             })
        .def("release", &PyFrame::Release)
        .def_property_readonly("released", [](const PyFrame& f) { return f.released; })
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](PyFrame& f, py::args) { f.Release(); })
        .def_property_readonly("width", [](const PyFrame& f) { return f.frame.width; })
        .def_property_readonly("height", [](const PyFrame& f) { return f.frame.height; })
        .def_property_readonly("picture_number",
                               [](const PyFrame& f) { return f.frame.pictureNumber; })
        .def_property_readonly("presentation_time",
                               [](const PyFrame& f) { return f.frame.presentationTime; })
        .def_property_readonly("dropped", [](const PyFrame& f) { return f.dropped; })
        .def_property_readonly("flip_h", [](const PyFrame& f) { return f.frame.flipH; })
        .def_property_readonly("flip_v", [](const PyFrame& f) { return f.frame.flipV; })
        .def("__repr__", [](const PyFrame& f) {
            return "<norvikcam.Frame picture " + std::to_string(f.frame.pictureNumber) + ", " +
                   std::to_string(f.frame.width) + "x" + std::to_string(f.frame.height) +
                   (f.released ? ", released>" : ">");
        });

    auto rawPlane = py::class_<RawPlane>(m, "_RawPlane", py::buffer_protocol());
    UseBufferSlots(rawPlane, RawGetBuffer, RawReleaseBuffer);

    py::class_<PyStream>(m, "Stream", "A run of frames; a context manager that stops it.")
        .def("next", &PyStream::Next, py::arg("timeout") = py::none(),
             "The next frame; TimedOutError when none comes within timeout seconds (None: the "
             "stream's). The GIL is let go while it waits.")
        .def("close", &PyStream::Close)
        .def_property_readonly("closed", [](const PyStream& s) { return !s.active; })
        .def_readonly("timeout", &PyStream::timeout)
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](PyStream& s, py::args) { s.Close(); })
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__", [](PyStream& s) {
            if (!s.active) throw py::stop_iteration();
            return s.Next(std::nullopt);
        });

    py::class_<PyCamera>(m, "Camera", "An open camera; a context manager that closes it.")
        .def_property_readonly("identity", [](PyCamera& c) { return c.cam->Identity(); })
        .def_property_readonly(
            "priority", [](PyCamera& c) { return c.cam->Priority().description; },
            "What the threads that carry frames have: 'real-time (SCHED_FIFO 10)', a nice value "
            "or 'normal (why)', as norvikcam info says it.")
        .def_property_readonly_static("controls",
                                      [](py::object) {
                                          py::dict d;
                                          for (const auto& c : norvik::Camera::Controls())
                                              d[py::str(c.name)] = c;
                                          return d;
                                      })
        .def("__getitem__",
             [](PyCamera& c, const std::string& name) {
                 py::gil_scoped_release g;
                 return c.cam->Get(ControlName(name));
             })
        .def("__setitem__",
             [](PyCamera& c, const std::string& name, py::int_ value) {
                 // The tool's words for a number no control takes.
                 int overflow = 0;
                 const long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
                 if (overflow != 0 || v < INT32_MIN || v > INT32_MAX)
                     throw norvik::Error(
                         norvik::ErrorKind::InvalidArgument,
                         name + ": " + std::string(py::str(value)) + " is out of range");
                 py::gil_scoped_release g;
                 c.cam->Set(ControlName(name), static_cast<int32_t>(v));
             })
        .def_property(
            "window", [](PyCamera& c) { return c.cam->GetWindow(); },
            [](PyCamera& c, std::tuple<int32_t, int32_t, int32_t, int32_t> w) {
                c.Streaming([&](norvik::Camera& cam) {
                    cam.SetWindow(std::get<0>(w), std::get<1>(w), std::get<2>(w), std::get<3>(w));
                    return 0;
                });
            })
        .def_property_readonly("stats", [](PyCamera& c) { return c.cam->Stats(); })
        .def(
            "stream",
            [](py::object self, int buffers, int threads, bool raw, double timeout) {
                auto& c = self.cast<PyCamera&>();
                c.Streaming([&](norvik::Camera& cam) {
                    cam.StartStreaming(raw, buffers, threads);
                    return 0;
                });
                auto s = std::make_unique<PyStream>();
                s->owner = self;
                s->camera = &c;
                s->timeout = timeout;
                s->active = true;
                return s;
            },
            py::arg("buffers") = 3, py::arg("threads") = 0, py::arg("raw") = false,
            py::arg("timeout") = 5.0,
            "Starts streaming: `buffers` client buffers (1 to 64) take turns, a frame's "
            "conversion runs on `threads` threads (0: one a core), raw=True keeps each frame's "
            "Bayer samples; timeout: the seconds next() and iteration wait by default.")
        .def("close",
             [](PyCamera& c) {
                 c.Streaming([](norvik::Camera& cam) {
                     cam.Close();
                     return 0;
                 });
             })
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](PyCamera& c, py::args) {
            c.Streaming([](norvik::Camera& cam) {
                cam.Close();
                return 0;
            });
        });

    m.def("list_cameras", &norvik::ListCameras, "The cameras this build can open.");
    m.def("default_settings_path", &norvik::DefaultSettingsPath,
          "Where the tool and every application keep the settings.");
    m.def(
        "open",
        [](const std::string& device, const std::optional<std::string>& settings, double wait,
           double fps, const std::optional<std::string>& trace, bool raisePriority) {
            return OpenCamera(device, settings, wait, fps, trace, {}, raisePriority);
        },
        py::arg("device") = "sim", py::arg("settings") = py::none(), py::arg("wait") = 0.0,
        py::arg("fps") = 30.0, py::arg("trace") = py::none(), py::arg("raise_priority") = true,
        kOpenDoc);

    // What this project's own tests and benchmarks reach beneath the API: the
    // simulated camera's knobs. Not part of norvikcam's interface.
    auto testing = m.def_submodule("_testing", "The simulated camera's test knobs; tests only.");
    testing.def(
        "open",
        [](const std::string& device, const std::optional<std::string>& settings, double wait,
           double fps, uint32_t cycle, uint32_t unplugAfter) {
            norvik::SimulatedKnobs knobs;
            knobs.cycle = cycle;
            knobs.unplugAfter = unplugAfter;
            return OpenCamera(device, settings, wait, fps, std::nullopt, knobs);
        },
        py::arg("device") = "sim", py::arg("settings") = py::none(), py::arg("wait") = 0.0,
        py::arg("fps") = 30.0, py::arg("cycle") = 0, py::arg("unplug_after") = 0);
}
