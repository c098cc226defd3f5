// norvikcamsrc: the camera as a GStreamer live source. It opens the camera
// when it goes to READY, streams while PLAYING, and hands out the frames the
// driver filled: pictures as BGRA, or the readout window's raw mosaic as
// video/x-bayer. Every control the camera offers users is a property under its tool name.
#include "gst/norvikcamsrc.h"

#include <gst/base/gstpushsrc.h>
#include <gst/video/video.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "client/camera.h"
#include "client/camera_internal.h"

GST_DEBUG_CATEGORY_STATIC(norvikcamsrc_debug);
#define GST_CAT_DEFAULT norvikcamsrc_debug

namespace {

constexpr int kRate = 30;
constexpr int kClientBuffers = 6;  // frames downstream may hold while the driver fills the others
constexpr int kSensorWidth = 2560, kSensorHeight = 1920;

std::string PropertyName(std::string name) {
    for (char& ch : name)
        if (ch == '_') ch = '-';
    return name;
}

struct Control {
    std::string name;  // the tool's name
    int32_t value = 0;
    bool set = false;  // given by the application: applied when the camera opens
};

// The saved values of a camera's controls, read before the element opens it,
// and the settings file as it was when they were read.
struct SavedControls {
    std::string device, path;
    std::filesystem::file_time_type written;
    std::uintmax_t size = 0;
    std::vector<int32_t> values;  // in the order of the element's controls
};

// Everything the element keeps; the GObject holds a pointer to it.
struct State {
    std::mutex lock;  // the camera and the settings; held only briefly while streaming
    // What the camera is opened with; fixed from NULL -> READY until it is
    // closed again.
    std::string device = "sim";
    std::string settings;  // empty: the tool's settings file
    double simulatedFps = kRate;
    guint unplugAfter = 0;
    double waitSeconds = 0;
    int cropX = 0, cropY = 0, cropWidth = 0, cropHeight = 0;
    bool claimed = false;  // from the start of NULL -> READY until READY -> NULL ended
    std::vector<Control> controls;
    std::optional<SavedControls> saved;
    std::unique_ptr<norvik::Camera> cam;
    // The window the camera opened with, put back before it closes (which
    // saves the settings): a pipeline's sizes and crop are its own.
    std::optional<norvik::Window> openedWindow;
    // The window negotiation starts from: the crop, or the one it opened with.
    std::optional<norvik::Window> baseWindow;
    bool cropping = false;
    bool streaming = false;
    bool bayer = false;
    int width = 0, height = 0;
    std::atomic<bool> flushing{false};
    std::atomic<bool> errorPosted{false};
    // Presentation times map onto the running time from the first frame on.
    int64_t firstPresentation = -1;
    GstClockTime firstRunning = 0;
    int64_t lastPicture = -1;
    // Picture numbers start at 1 with every run of the pin (a pause ends
    // one); offsets go on from the last run's.
    guint64 offsetBase = 0;
    guint64 delivered = 0, dropped = 0;
};

// Which element of this program has which camera open, to say so when
// another asks for it.
std::mutex openLock;
std::map<std::string, std::string>& OpenCameras() {
    static std::map<std::string, std::string> open;
    return open;
}

enum {
    PROP_0,
    PROP_DEVICE,
    PROP_SETTINGS,
    PROP_SIMULATED_FPS,
    PROP_SIMULATED_UNPLUG_AFTER,
    PROP_WAIT,
    PROP_CROP_X,
    PROP_CROP_Y,
    PROP_CROP_WIDTH,
    PROP_CROP_HEIGHT,
    PROP_STATS,
    PROP_CONTROL_FIRST,  // one property a control from here on
};

const std::vector<const norvik::ControlInfo*>& PropertyControls() {
    static const std::vector<const norvik::ControlInfo*> list = [] {
        std::vector<const norvik::ControlInfo*> out;
        for (const auto& c : norvik::Camera::Controls())
            if (c.shown) out.push_back(&c);
        return out;
    }();
    return list;
}

GstStaticPadTemplate kSrcTemplate = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS,
    GST_STATIC_CAPS(
        "video/x-raw, format=(string)BGRA, width=(int)[ 8, 2560, 8 ], height=(int)[ 1, 1920 ], "
        "framerate=(fraction)30/1, pixel-aspect-ratio=(fraction)1/1; "
        "video/x-bayer, format=(string)rggb, width=(int)[ 8, 2560 ], height=(int)[ 1, 1920 ], "
        "framerate=(fraction)30/1, pixel-aspect-ratio=(fraction)1/1"));

}  // namespace

struct _GstNorvikcamSrc {
    GstPushSrc parent;
    State* state;
};

G_DEFINE_TYPE(GstNorvikcamSrc, gst_norvikcam_src, GST_TYPE_PUSH_SRC)

namespace {

State& S(gpointer object) {
    return *GST_NORVIKCAM_SRC(object)->state;
}

void Fail(GstNorvikcamSrc* src, const std::string& message) {
    src->state->errorPosted = true;
    GST_ELEMENT_ERROR(src, RESOURCE, FAILED, ("%s", message.c_str()), (nullptr));
}

std::string ElementName(gpointer object) {
    gchar* name = gst_object_get_name(GST_OBJECT(object));
    std::string out = name ? name : "?";
    g_free(name);
    return out;
}

std::string SettingsPath(const State& s) {
    return s.settings.empty() ? norvik::DefaultSettingsPath() : s.settings;
}

// --- the saved controls, before the camera is open ---

// The values the camera's controls are saved with in the settings file, as
// the camera takes them when it opens. Settings are kept per camera (a real
// one's key is named after its serial number), so only the camera can say
// which are its own: it is opened on a copy of the file, which its close
// saves into instead of the user's, and the copy is removed. Nothing when
// the file does not exist (the camera starts from its defaults) or the
// camera cannot be opened (another program has it, or it is not attached).
std::optional<std::vector<int32_t>> ReadSavedControls(const State& s) {
    const std::string path = SettingsPath(s);
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return std::nullopt;
    static std::atomic<unsigned> copies{0};
    const auto copy =
        std::filesystem::temp_directory_path(ec) /
        ("norvikcamsrc-" + std::to_string(::getpid()) + "-" + std::to_string(copies++) + ".reg");
    if (ec || !std::filesystem::copy_file(path, copy, ec)) return std::nullopt;
    std::optional<std::vector<int32_t>> values;
    try {
        norvik::OpenOptions o;
        o.device = s.device;
        o.settingsPath = copy.string();
        o.simulatedFps = s.simulatedFps;
        o.raisePriority = false;
        auto cam = norvik::Camera::Open(o);
        std::vector<int32_t> read;
        for (const Control& c : s.controls) read.push_back(cam->Get(c.name));
        cam->Close();
        values = std::move(read);
    } catch (const std::exception& e) {
        GST_INFO("the saved controls of '%s' cannot be read: %s", s.device.c_str(), e.what());
    }
    std::filesystem::remove(copy, ec);
    return values;
}

// The value a control will have when the camera opens: the one the
// application set, else the saved one.
int32_t ValueBeforeOpen(State& s, size_t index) {
    const Control& c = s.controls[index];
    if (c.set) return c.value;
    const std::string path = SettingsPath(s);
    std::error_code ec;
    const auto written = std::filesystem::last_write_time(path, ec);
    const auto size = ec ? 0 : std::filesystem::file_size(path, ec);
    if (ec) return c.value;  // no file: the camera's defaults
    if (!s.saved || s.saved->device != s.device || s.saved->path != path ||
        s.saved->written != written || s.saved->size != size) {
        s.saved.reset();
        if (auto values = ReadSavedControls(s))
            s.saved = SavedControls{s.device, path, written, size, std::move(*values)};
    }
    return s.saved ? s.saved->values[index] : c.value;
}

// --- properties ---

// The control a property id names, or null (with GObject's warning) when it
// names none.
Control* ControlProperty(GObject* object, State& s, guint id, GParamSpec* param) {
    if (id < PROP_CONTROL_FIRST || id - PROP_CONTROL_FIRST >= s.controls.size()) {
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, param);
        return nullptr;
    }
    return &s.controls[id - PROP_CONTROL_FIRST];
}

// What the camera is opened with is kept while it is open: a change then
// would read back a value not in use.
bool FixedWhileOpen(guint id) {
    return id == PROP_DEVICE || id == PROP_SETTINGS || id == PROP_SIMULATED_FPS ||
           id == PROP_SIMULATED_UNPLUG_AFTER || id == PROP_WAIT || id == PROP_CROP_X ||
           id == PROP_CROP_Y || id == PROP_CROP_WIDTH || id == PROP_CROP_HEIGHT;
}

void SetProperty(GObject* object, guint id, const GValue* value, GParamSpec* param) {
    State& s = S(object);
    std::string warning;
    {
        std::lock_guard<std::mutex> g(s.lock);
        if (FixedWhileOpen(id) && s.claimed) {
            warning = std::string("'") + param->name +
                      "' cannot change while the camera is open; it keeps its value until the "
                      "element is back in NULL";
        } else {
            switch (id) {
                case PROP_DEVICE:
                    s.device = g_value_get_string(value) ? g_value_get_string(value) : "sim";
                    return;
                case PROP_SETTINGS:
                    s.settings = g_value_get_string(value) ? g_value_get_string(value) : "";
                    return;
                case PROP_SIMULATED_FPS:
                    s.simulatedFps = g_value_get_double(value);
                    return;
                case PROP_SIMULATED_UNPLUG_AFTER:
                    s.unplugAfter = g_value_get_uint(value);
                    return;
                case PROP_WAIT:
                    s.waitSeconds = g_value_get_double(value);
                    return;
                case PROP_CROP_X:
                    s.cropX = g_value_get_int(value);
                    return;
                case PROP_CROP_Y:
                    s.cropY = g_value_get_int(value);
                    return;
                case PROP_CROP_WIDTH:
                    s.cropWidth = g_value_get_int(value);
                    return;
                case PROP_CROP_HEIGHT:
                    s.cropHeight = g_value_get_int(value);
                    return;
                default:
                    break;
            }
            Control* control = ControlProperty(object, s, id, param);
            if (control == nullptr) return;
            Control& c = *control;
            c.value = G_VALUE_HOLDS_BOOLEAN(value) ? (g_value_get_boolean(value) ? 1 : 0)
                                                   : g_value_get_int(value);
            c.set = true;
            if (!s.cam) return;  // applied when the camera opens
            try {
                s.cam->Set(c.name, c.value);
                return;
            } catch (const std::exception& e) {
                warning = e.what();
            }
        }
    }
    GST_ELEMENT_WARNING(GST_NORVIKCAM_SRC(object), RESOURCE, SETTINGS, ("%s", warning.c_str()),
                        (nullptr));
}

void GetProperty(GObject* object, guint id, GValue* value, GParamSpec* param) {
    State& s = S(object);
    std::lock_guard<std::mutex> g(s.lock);
    switch (id) {
        case PROP_DEVICE:
            g_value_set_string(value, s.device.c_str());
            return;
        case PROP_SETTINGS:
            g_value_set_string(value, SettingsPath(s).c_str());
            return;
        case PROP_SIMULATED_FPS:
            g_value_set_double(value, s.simulatedFps);
            return;
        case PROP_SIMULATED_UNPLUG_AFTER:
            g_value_set_uint(value, s.unplugAfter);
            return;
        case PROP_WAIT:
            g_value_set_double(value, s.waitSeconds);
            return;
        case PROP_CROP_X:
            g_value_set_int(value, s.cropX);
            return;
        case PROP_CROP_Y:
            g_value_set_int(value, s.cropY);
            return;
        case PROP_CROP_WIDTH:
            g_value_set_int(value, s.cropWidth);
            return;
        case PROP_CROP_HEIGHT:
            g_value_set_int(value, s.cropHeight);
            return;
        case PROP_STATS:
            g_value_take_boxed(value, gst_structure_new("norvikcamsrc-stats", "delivered",
                                                        G_TYPE_UINT64, s.delivered, "dropped",
                                                        G_TYPE_UINT64, s.dropped, nullptr));
            return;
        default:
            break;
    }
    Control* control = ControlProperty(object, s, id, param);
    if (control == nullptr) return;
    Control& c = *control;
    int32_t v = c.value;
    if (s.cam) {
        try {
            v = s.cam->Get(c.name);
        } catch (const std::exception&) {
        }
    } else if (!s.claimed) {
        v = ValueBeforeOpen(s, static_cast<size_t>(&c - s.controls.data()));
    }
    if (G_VALUE_HOLDS_BOOLEAN(value))
        g_value_set_boolean(value, v != 0);
    else
        g_value_set_int(value, v);
}

// --- the camera's life ---

// The client's Busy message names the owner for the tool's user ("camera in
// use by NAME (pid N)...; wait for it with --wait SECONDS"); the element has
// a property for that instead, and an owner that is this very program is
// another element of it.
std::string BusyMessage(const std::string& device, const std::string& what, double waitSeconds) {
    std::string owner;
    const std::string head = "camera in use by ";
    if (what.rfind(head, 0) == 0) {
        owner = what.substr(head.size());
        for (const char* end : {" (waited", "; "}) {
            const size_t at = owner.find(end);
            if (at != std::string::npos) owner.erase(at);
        }
    }
    char waited[48] = "";
    if (waitSeconds > 0) std::snprintf(waited, sizeof waited, " (waited %g s)", waitSeconds);
    if (owner.find("(pid " + std::to_string(::getpid()) + ")") != std::string::npos) {
        std::string other;
        {
            std::lock_guard<std::mutex> g(openLock);
            auto it = OpenCameras().find(device);
            if (it != OpenCameras().end()) other = " by element '" + it->second + "'";
        }
        return "camera '" + device + "' is already open in this program" + other + waited +
               ": a camera serves one element at a time; set the other to NULL first, or give "
               "this one wait=SECONDS to take the camera when the other lets it go";
    }
    return "camera '" + device + "' is in use by " + (owner.empty() ? "another program" : owner) +
           waited + "; give the element wait=SECONDS to wait for it";
}

bool OpenCamera(GstNorvikcamSrc* src) {
    State& s = *src->state;
    norvik::OpenOptions o;
    norvik::SimulatedKnobs knobs;
    int cropX, cropY, cropWidth, cropHeight;
    {
        std::lock_guard<std::mutex> g(s.lock);
        s.claimed = true;
        o.device = s.device;
        o.settingsPath = SettingsPath(s);
        o.simulatedFps = s.simulatedFps;
        o.waitSeconds = s.waitSeconds;
        knobs.unplugAfter = s.unplugAfter;
        cropX = s.cropX, cropY = s.cropY, cropWidth = s.cropWidth, cropHeight = s.cropHeight;
    }
    const bool cropping = cropX != 0 || cropY != 0 || cropWidth != 0 || cropHeight != 0;
    if (cropping) {
        // 0: to the sensor's edge
        if (cropWidth == 0) cropWidth = kSensorWidth - cropX;
        if (cropHeight == 0) cropHeight = kSensorHeight - cropY;
        if (cropX + cropWidth > kSensorWidth || cropY + cropHeight > kSensorHeight ||
            cropWidth <= 0 || cropHeight <= 0) {
            {
                std::lock_guard<std::mutex> g(s.lock);
                s.claimed = false;
            }
            GST_ELEMENT_ERROR(src, RESOURCE, SETTINGS,
                              ("the crop %dx%d at %d,%d does not fit the sensor's %dx%d pixels",
                               cropWidth, cropHeight, cropX, cropY, kSensorWidth, kSensorHeight),
                              (nullptr));
            return false;
        }
    }
    // Opening may wait for another owner: the properties stay readable meanwhile.
    std::unique_ptr<norvik::Camera> cam;
    std::string error;
    bool busy = false;
    try {
        const auto folder = std::filesystem::path(o.settingsPath).parent_path();
        std::error_code ec;
        if (!folder.empty()) std::filesystem::create_directories(folder, ec);
        cam = norvik::CameraAccess::Open(o, knobs);
    } catch (const norvik::Error& e) {
        busy = e.Kind() == norvik::ErrorKind::Busy;
        error = busy ? BusyMessage(o.device, e.what(), o.waitSeconds)
                     : "cannot open camera '" + o.device + "': " + e.what();
    } catch (const std::exception& e) {
        error = "cannot open camera '" + o.device + "': " + e.what();
    }
    std::lock_guard<std::mutex> g(s.lock);
    if (cam) {
        try {
            s.openedWindow = cam->GetWindow();
            s.baseWindow = s.openedWindow;
            s.cropping = cropping;
            if (cropping) {
                cam->SetWindow(cropX, cropY, cropWidth, cropHeight);
                s.baseWindow = cam->GetWindow();
            }
            for (const Control& c : s.controls)
                if (c.set) cam->Set(c.name, c.value);
            s.cam = std::move(cam);
            s.offsetBase = 0;
            std::lock_guard<std::mutex> registry(openLock);
            OpenCameras()[o.device] = ElementName(src);
        } catch (const std::exception& e) {
            error = e.what();
        }
    }
    if (!s.cam) {
        s.claimed = false;
        s.openedWindow.reset();
        s.baseWindow.reset();
        if (busy)
            GST_ELEMENT_ERROR(src, RESOURCE, BUSY, ("%s", error.c_str()), (nullptr));
        else
            GST_ELEMENT_ERROR(src, RESOURCE, OPEN_READ, ("%s", error.c_str()), (nullptr));
        return false;
    }
    return true;
}

void StopStreaming(State& s) {
    if (!s.streaming) return;
    s.cam->StopStreaming();
    s.streaming = false;
    s.firstPresentation = -1;
    if (s.lastPicture > 0) s.offsetBase += static_cast<guint64>(s.lastPicture);
    s.lastPicture = -1;
}

void CloseCamera(GstNorvikcamSrc* src) {
    State& s = *src->state;
    std::lock_guard<std::mutex> g(s.lock);
    if (!s.cam) return;
    try {
        StopStreaming(s);
        // The window the camera opened with goes back before the close
        // saves the settings: what this pipeline negotiated or cropped to
        // is not what the next program finds.
        const norvik::Window w = s.cam->GetWindow(), &o = *s.openedWindow;
        if (w.x != o.x || w.y != o.y || w.width != o.width || w.height != o.height)
            s.cam->SetWindow(o.x, o.y, o.width, o.height);
        s.cam->Close();  // saves the settings
    } catch (const std::exception& e) {
        GST_ELEMENT_WARNING(src, RESOURCE, CLOSE, ("%s", e.what()), (nullptr));
    }
    s.cam.reset();
    s.openedWindow.reset();
    s.baseWindow.reset();
    {
        std::lock_guard<std::mutex> registry(openLock);
        auto it = OpenCameras().find(s.device);
        if (it != OpenCameras().end() && it->second == ElementName(src)) OpenCameras().erase(it);
    }
    s.claimed = false;
}

GstStateChangeReturn ChangeState(GstElement* element, GstStateChange transition) {
    auto* src = GST_NORVIKCAM_SRC(element);
    if (transition == GST_STATE_CHANGE_NULL_TO_READY && !OpenCamera(src))
        return GST_STATE_CHANGE_FAILURE;
    if (transition == GST_STATE_CHANGE_READY_TO_PAUSED) {
        State& s = *src->state;
        std::lock_guard<std::mutex> g(s.lock);
        s.offsetBase = 0;  // a new stream
    }
    GstStateChangeReturn r =
        GST_ELEMENT_CLASS(gst_norvikcam_src_parent_class)->change_state(element, transition);
    if (r == GST_STATE_CHANGE_FAILURE) {
        if (transition == GST_STATE_CHANGE_NULL_TO_READY) CloseCamera(src);
        return r;
    }
    if (transition == GST_STATE_CHANGE_PLAYING_TO_PAUSED) {
        // The pin stops with the pipeline; PLAYING runs it again.
        State& s = *src->state;
        std::lock_guard<std::mutex> g(s.lock);
        try {
            if (s.cam) StopStreaming(s);
        } catch (const std::exception& e) {
            GST_ELEMENT_WARNING(src, RESOURCE, FAILED, ("%s", e.what()), (nullptr));
        }
    }
    if (transition == GST_STATE_CHANGE_READY_TO_NULL) CloseCamera(src);
    return r;
}

// --- caps ---

// The frame size a window gives in caps named `name`.
void FrameSize(const norvik::Window& w, bool bayer, int* width, int* height) {
    *width = bayer ? w.width : w.outputWidth;
    *height = bayer ? w.height : w.outputHeight;
}

// With a crop, the only size is the crop's; without, any the camera makes.
GstCaps* GetCaps(GstBaseSrc* base, GstCaps* filter) {
    State& s = S(base);
    GstCaps* caps = gst_pad_get_pad_template_caps(GST_BASE_SRC_PAD(base));
    {
        std::lock_guard<std::mutex> g(s.lock);
        if (s.cropping && s.baseWindow) {
            caps = gst_caps_make_writable(caps);
            for (guint i = 0; i < gst_caps_get_size(caps); ++i) {
                GstStructure* st = gst_caps_get_structure(caps, i);
                int width = 0, height = 0;
                FrameSize(*s.baseWindow, gst_structure_has_name(st, "video/x-bayer"), &width,
                          &height);
                gst_structure_set(st, "width", G_TYPE_INT, width, "height", G_TYPE_INT, height,
                                  nullptr);
            }
        }
    }
    if (filter != nullptr) {
        GstCaps* both = gst_caps_intersect_full(filter, caps, GST_CAPS_INTERSECT_FIRST);
        gst_caps_unref(caps);
        caps = both;
    }
    return caps;
}

// The window the camera opened with (or the crop) comes first: without a
// caps filter, or with a scaler downstream, the picture is the whole of it.
// Only when downstream takes no frame of that size is it cropped.
GstCaps* Fixate(GstBaseSrc* base, GstCaps* caps) {
    State& s = S(base);
    norvik::Window w{0, 0, kSensorWidth, kSensorHeight, kSensorWidth, kSensorHeight};
    {
        std::lock_guard<std::mutex> g(s.lock);
        if (s.baseWindow) w = *s.baseWindow;
    }
    // The first of the caps' structures of the preferred format that takes
    // the window's size: downstream often lists the size it would rather
    // have (a scaler's own output size) before the ranges it can scale from.
    const GstStructure* first = gst_caps_get_structure(caps, 0);
    guint chosen = 0;
    for (guint i = 0; i < gst_caps_get_size(caps); ++i) {
        const GstStructure* st = gst_caps_get_structure(caps, i);
        if (!gst_structure_has_name(st, gst_structure_get_name(first))) continue;
        int width = 0, height = 0;
        FrameSize(w, gst_structure_has_name(st, "video/x-bayer"), &width, &height);
        GstStructure* size = gst_structure_new(gst_structure_get_name(st), "width", G_TYPE_INT,
                                               width, "height", G_TYPE_INT, height, nullptr);
        const bool takes = gst_structure_can_intersect(st, size);
        gst_structure_free(size);
        if (takes) {
            chosen = i;
            break;
        }
    }
    GstCaps* one = gst_caps_copy_nth(caps, chosen);
    gst_caps_unref(caps);
    GstStructure* st = gst_caps_get_structure(one, 0);
    int width = 0, height = 0;
    FrameSize(w, gst_structure_has_name(st, "video/x-bayer"), &width, &height);
    gst_structure_fixate_field_nearest_int(st, "width", width);
    gst_structure_fixate_field_nearest_int(st, "height", height);
    gst_structure_fixate_field_nearest_fraction(st, "framerate", kRate, 1);
    return GST_BASE_SRC_CLASS(gst_norvikcam_src_parent_class)->fixate(base, one);
}

// When downstream takes none of the frames the camera makes, basesrc says
// only "not-negotiated": say which frames and why.
gboolean Negotiate(GstBaseSrc* base) {
    auto* src = GST_NORVIKCAM_SRC(base);
    State& s = *src->state;
    s.errorPosted = false;
    if (GST_BASE_SRC_CLASS(gst_norvikcam_src_parent_class)->negotiate(base)) return TRUE;
    if (s.errorPosted) return FALSE;  // set_caps said why
    GstCaps* peer = gst_pad_peer_query_caps(GST_BASE_SRC_PAD(base), nullptr);
    std::string why;
    for (guint i = 0; peer != nullptr && i < gst_caps_get_size(peer) && why.empty(); ++i) {
        const GstStructure* st = gst_caps_get_structure(peer, i);
        int width = 0;
        if (gst_structure_has_name(st, "video/x-raw") &&
            gst_structure_get_int(st, "width", &width) && width % 8 != 0)
            why = "a width of " + std::to_string(width) +
                  " is not a frame this camera makes: BGRA frames are a multiple of 8 pixels "
                  "wide";
    }
    if (why.empty()) {
        gchar* text = peer ? gst_caps_to_string(peer) : g_strdup("nothing");
        why =
            std::string("downstream takes none of the frames this camera makes; it takes ") + text;
        g_free(text);
        std::lock_guard<std::mutex> g(s.lock);
        if (s.cropping && s.baseWindow) {
            int width = 0, height = 0;
            FrameSize(*s.baseWindow, false, &width, &height);
            why += " (the crop makes " + std::to_string(width) + "x" + std::to_string(height) +
                   " pictures, " + std::to_string(s.baseWindow->width) + "x" +
                   std::to_string(s.baseWindow->height) +
                   " raw: put videoscale after the element for other sizes)";
        }
    }
    if (peer != nullptr) gst_caps_unref(peer);
    s.errorPosted = true;
    GST_ELEMENT_ERROR(src, STREAM, FORMAT, ("%s", why.c_str()), (nullptr));
    return FALSE;
}

// Sets the readout window for what was negotiated: the window the camera
// opened with (or the crop) when its frames are that size, else a window of
// that size keeping its corner where the frame still fits. For this
// pipeline only: the camera closes with the window it opened with.
gboolean SetCaps(GstBaseSrc* base, GstCaps* caps) {
    auto* src = GST_NORVIKCAM_SRC(base);
    State& s = *src->state;
    const GstStructure* st = gst_caps_get_structure(caps, 0);
    int width = 0, height = 0;
    if (!gst_structure_get_int(st, "width", &width) ||
        !gst_structure_get_int(st, "height", &height))
        return FALSE;
    const bool bayer = gst_structure_has_name(st, "video/x-bayer");
    std::lock_guard<std::mutex> g(s.lock);
    if (!s.cam || !s.baseWindow) return FALSE;
    try {
        StopStreaming(s);
        if (!bayer && width % 8 != 0) {
            Fail(src, "a width of " + std::to_string(width) +
                          " is not a frame this camera makes: BGRA frames are a multiple of 8 "
                          "pixels wide");
            return FALSE;
        }
        norvik::Window want = *s.baseWindow;
        int baseWidth = 0, baseHeight = 0;
        FrameSize(want, bayer, &baseWidth, &baseHeight);
        if (baseWidth != width || baseHeight != height) {
            want.x = std::min(want.x, (kSensorWidth - width) & ~1);
            want.y = std::min(want.y, (kSensorHeight - height) & ~1);
            want.width = width;
            want.height = height;
        }
        auto w = s.cam->GetWindow();
        if (w.x != want.x || w.y != want.y || w.width != want.width || w.height != want.height) {
            s.cam->SetWindow(want.x, want.y, want.width, want.height);
            w = s.cam->GetWindow();
        }
        int made = 0, madeHeight = 0;
        FrameSize(w, bayer, &made, &madeHeight);
        if (made != width || madeHeight != height) {
            Fail(src, "the camera cannot make " + std::to_string(width) + "x" +
                          std::to_string(height) + " frames");
            return FALSE;
        }
    } catch (const std::exception& e) {
        Fail(src, e.what());
        return FALSE;
    }
    s.bayer = bayer;
    s.width = width;
    s.height = height;
    const guint size = static_cast<guint>(width) * static_cast<guint>(height) * (bayer ? 1 : 4);
    gst_base_src_set_blocksize(base, size);
    return TRUE;
}

// --- frames ---

gboolean Unlock(GstBaseSrc* base) {
    S(base).flushing = true;
    return TRUE;
}

gboolean UnlockStop(GstBaseSrc* base) {
    S(base).flushing = false;
    return TRUE;
}

gboolean Query(GstBaseSrc* base, GstQuery* query) {
    if (GST_QUERY_TYPE(query) == GST_QUERY_LATENCY) {
        // A frame is out one frame time after its exposure began; the
        // driver's queue can hold the rest of its buffers.
        const GstClockTime frame = gst_util_uint64_scale_int(GST_SECOND, 1, kRate);
        gst_query_set_latency(query, TRUE, frame, frame * kClientBuffers);
        return TRUE;
    }
    return GST_BASE_SRC_CLASS(gst_norvikcam_src_parent_class)->query(base, query);
}

// A pool of our own, of packed rows the negotiated size: a pool from
// downstream may pad its rows.
gboolean DecideAllocation(GstBaseSrc* base, GstQuery* query) {
    State& s = S(base);
    GstCaps* caps = nullptr;
    gst_query_parse_allocation(query, &caps, nullptr);
    const guint size =
        static_cast<guint>(s.width) * static_cast<guint>(s.height) * (s.bayer ? 1u : 4u);
    GstBufferPool* pool = gst_buffer_pool_new();
    GstStructure* config = gst_buffer_pool_get_config(pool);
    gst_buffer_pool_config_set_params(config, caps, size, 0, 0);
    if (!gst_buffer_pool_set_config(pool, config)) {
        gst_object_unref(pool);
        return FALSE;
    }
    if (gst_query_get_n_allocation_pools(query) > 0)
        gst_query_set_nth_allocation_pool(query, 0, pool, size, 0, 0);
    else
        gst_query_add_allocation_pool(query, pool, size, 0, 0);
    gst_object_unref(pool);
    return TRUE;
}

void ReleaseFrame(gpointer frame) {
    delete static_cast<norvik::Frame*>(frame);
}

GstFlowReturn Create(GstPushSrc* push, GstBuffer** out) {
    auto* src = GST_NORVIKCAM_SRC(push);
    auto* base = GST_BASE_SRC(push);
    State& s = *src->state;
    std::optional<norvik::Frame> frame;
    // The run's bookkeeping, done under the lock the frame was taken with:
    // a stop between the two would count this frame in the next run.
    guint64 offset = 0, lost = 0;
    GstClockTime pts = 0;
    try {
        for (;;) {
            if (s.flushing) return GST_FLOW_FLUSHING;
            std::lock_guard<std::mutex> g(s.lock);
            if (!s.cam) return GST_FLOW_FLUSHING;
            if (!s.streaming) {
                s.cam->StartStreaming(s.bayer, kClientBuffers);
                s.streaming = true;
            }
            // Short waits, so a property change or a stop gets the lock.
            frame = s.cam->NextFrame(std::chrono::milliseconds(100));
            if (!frame) continue;
            const int64_t picture = frame->pictureNumber;
            const int64_t presentation = frame->presentationTime;
            // Timestamps: the driver's presentation times, from the running
            // time at which the run's first frame arrived.
            if (s.firstPresentation < 0) {
                s.firstPresentation = presentation;
                s.firstRunning = 0;
                GstClock* clock = gst_element_get_clock(GST_ELEMENT(src));
                if (clock != nullptr) {
                    const GstClockTime now = gst_clock_get_time(clock);
                    const GstClockTime baseTime = gst_element_get_base_time(GST_ELEMENT(src));
                    s.firstRunning = now > baseTime ? now - baseTime : 0;
                    gst_object_unref(clock);
                }
            }
            pts = s.firstRunning + static_cast<GstClockTime>(
                                       std::max<int64_t>(0, presentation - s.firstPresentation)) *
                                       100;
            offset = s.offsetBase + static_cast<guint64>(picture);
            if (s.lastPicture >= 0 && picture > s.lastPicture + 1)
                lost = static_cast<guint64>(picture - s.lastPicture - 1);
            s.lastPicture = picture;
            s.dropped += lost;
            ++s.delivered;
            break;
        }
    } catch (const std::exception& e) {
        Fail(src, e.what());
        return GST_FLOW_ERROR;
    }
    GstBuffer* buffer = nullptr;
    const size_t rowBytes = static_cast<size_t>(s.width) * (s.bayer ? 1 : 4);
    const size_t size = rowBytes * static_cast<size_t>(s.height);
    const uint8_t* top = s.bayer ? frame->raw : frame->top;
    const ptrdiff_t stride = s.bayer ? frame->rawWidth : frame->stride;
    if (top == nullptr ||
        (s.bayer ? frame->rawWidth * frame->rawHeight : frame->width * frame->height * 4) !=
            static_cast<ptrdiff_t>(size)) {
        Fail(src, "a frame came in a size other than the one negotiated");
        return GST_FLOW_ERROR;
    }
    if (stride == static_cast<ptrdiff_t>(rowBytes)) {
        // Rows top first and packed (the raw window): the client's buffer
        // itself goes downstream, and back to the driver when the last user
        // lets go.
        auto* held = new norvik::Frame(std::move(*frame));
        buffer = gst_buffer_new_wrapped_full(GST_MEMORY_FLAG_READONLY, const_cast<uint8_t*>(top),
                                             size, 0, size, held, ReleaseFrame);
    } else {
        // A picture: the driver fills a bottom-up bitmap (with the flips
        // already in it), turned over here into a top-down buffer from the
        // pool.
        GstFlowReturn r = GST_BASE_SRC_CLASS(gst_norvikcam_src_parent_class)
                              ->alloc(base, 0, static_cast<guint>(size), &buffer);
        if (r != GST_FLOW_OK) return r;
        GstMapInfo map;
        if (!gst_buffer_map(buffer, &map, GST_MAP_WRITE)) {
            gst_buffer_unref(buffer);
            Fail(src, "cannot write into a buffer from the pool");
            return GST_FLOW_ERROR;
        }
        for (int y = 0; y < s.height; ++y)
            std::memcpy(map.data + y * rowBytes, top + y * stride, rowBytes);
        gst_buffer_unmap(buffer, &map);
        frame.reset();
    }
    const GstClockTime duration = gst_util_uint64_scale_int(GST_SECOND, 1, kRate);
    GST_BUFFER_PTS(buffer) = pts;
    GST_BUFFER_DTS(buffer) = GST_CLOCK_TIME_NONE;
    GST_BUFFER_DURATION(buffer) = duration;
    GST_BUFFER_OFFSET(buffer) = offset;
    GST_BUFFER_OFFSET_END(buffer) = offset + 1;
    if (lost > 0) {
        // Frames the driver had no buffer for: a gap in the offsets, a
        // discontinuity, and a QoS message with the count, as live sources do.
        GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DISCONT);
        GstMessage* qos =
            gst_message_new_qos(GST_OBJECT(src), TRUE, GST_CLOCK_TIME_NONE, GST_CLOCK_TIME_NONE,
                                GST_BUFFER_PTS(buffer), duration);
        guint64 delivered, dropped;
        {
            std::lock_guard<std::mutex> g(s.lock);
            delivered = s.delivered, dropped = s.dropped;
        }
        gst_message_set_qos_stats(qos, GST_FORMAT_BUFFERS, delivered, dropped);
        gst_element_post_message(GST_ELEMENT(src), qos);
    }
    *out = buffer;
    return GST_FLOW_OK;
}

// --- the type ---

void Finalize(GObject* object) {
    CloseCamera(GST_NORVIKCAM_SRC(object));
    delete GST_NORVIKCAM_SRC(object)->state;
    G_OBJECT_CLASS(gst_norvikcam_src_parent_class)->finalize(object);
}

}  // namespace

static void gst_norvikcam_src_class_init(GstNorvikcamSrcClass* klass) {
    GST_DEBUG_CATEGORY_INIT(norvikcamsrc_debug, "norvikcamsrc", 0, "Norvik camera source");
    auto* object = G_OBJECT_CLASS(klass);
    object->set_property = SetProperty;
    object->get_property = GetProperty;
    object->finalize = Finalize;
    const auto flags = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS);
    g_object_class_install_property(
        object, PROP_DEVICE,
        g_param_spec_string("device", "Device",
                            "the camera to open, as 'norvikcam list' names it (set in NULL: it "
                            "stays while the camera is open)",
                            "sim", flags));
    g_object_class_install_property(
        object, PROP_SETTINGS,
        g_param_spec_string("settings", "Settings",
                            "the settings file (.reg), shared with the norvikcam tool (set in "
                            "NULL: it stays while the camera is open)",
                            nullptr, flags));
    g_object_class_install_property(
        object, PROP_WAIT,
        g_param_spec_double("wait", "Wait",
                            "seconds to wait, on the way to READY, for a camera another program "
                            "or element has open (0: fail at once)",
                            0, 86400, 0, flags));
    struct Crop {
        guint id;
        const char* name;
        const char* nick;
        const char* blurb;
        int maximum;
    };
    for (const Crop& c : {
             Crop{PROP_CROP_X, "crop-x", "Crop left", "the crop's left column (even)",
                  kSensorWidth - 1},
             Crop{PROP_CROP_Y, "crop-y", "Crop top", "the crop's top row (even)",
                  kSensorHeight - 1},
             Crop{PROP_CROP_WIDTH, "crop-width", "Crop width",
                  "the crop's width in sensor pixels (0: to the sensor's right edge)",
                  kSensorWidth},
             Crop{PROP_CROP_HEIGHT, "crop-height", "Crop height",
                  "the crop's height in sensor rows (0: to the sensor's bottom edge)",
                  kSensorHeight},
         }) {
        const std::string blurb =
            std::string(c.blurb) +
            "; the readout window while this element has the camera, instead of the saved one "
            "(all four 0: no crop)";
        g_object_class_install_property(
            object, c.id,
            g_param_spec_int(c.name, c.nick, blurb.c_str(), 0, c.maximum, 0,
                             static_cast<GParamFlags>(G_PARAM_READWRITE)));
    }
    g_object_class_install_property(
        object, PROP_SIMULATED_FPS,
        g_param_spec_double("simulated-fps", "Simulated frame rate",
                            "the simulated camera's pace in frames/s (0: as fast as it can)", 0,
                            1000, kRate, flags));
    g_object_class_install_property(
        object, PROP_SIMULATED_UNPLUG_AFTER,
        g_param_spec_uint("simulated-unplug-after", "Simulated unplug",
                          "the simulated camera is unplugged after this many frames (0: never), to "
                          "test applications",
                          0, G_MAXUINT, 0, flags));
    g_object_class_install_property(
        object, PROP_STATS,
        g_param_spec_boxed("stats", "Statistics",
                           "frames delivered and frames dropped before the element",
                           GST_TYPE_STRUCTURE,
                           static_cast<GParamFlags>(G_PARAM_READABLE | G_PARAM_STATIC_STRINGS)));
    // The range GLib checks is the table's: a value outside it is refused
    // with GLib's warning before it reaches the element.
    guint id = PROP_CONTROL_FIRST;
    // Before the camera opens, a control reads the value it will have (the
    // application's, else the saved one), which takes opening the camera: so
    // gst-inspect shows the table's defaults instead of reading them.
    const auto controlFlags = static_cast<GParamFlags>(
        G_PARAM_READWRITE | GST_PARAM_MUTABLE_PLAYING | GST_PARAM_DOC_SHOW_DEFAULT);
    for (const auto* c : PropertyControls()) {
        const char* name = g_intern_string(PropertyName(c->name).c_str());
        const std::string blurb = c->description + (c->unit.empty() ? "" : ", in " + c->unit) +
                                  " (as 'norvikcam set'); settable while playing";
        GParamSpec* property = c->type == norvik::ControlType::Switch
                                   ? g_param_spec_boolean(name, name, blurb.c_str(),
                                                          c->defaultValue != 0, controlFlags)
                                   : g_param_spec_int(name, name, blurb.c_str(), c->minimum,
                                                      c->maximum, c->defaultValue, controlFlags);
        g_object_class_install_property(object, id++, property);
    }
    auto* element = GST_ELEMENT_CLASS(klass);
    gst_element_class_set_static_metadata(
        element, "Norvik camera source", "Source/Video",
        "Frames from the Norvik 2560x1920 raw-Bayer USB camera, as pictures or raw", "norvikcam");
    gst_element_class_add_static_pad_template(element, &kSrcTemplate);
    element->change_state = ChangeState;
    auto* base = GST_BASE_SRC_CLASS(klass);
    base->get_caps = GetCaps;
    base->negotiate = Negotiate;
    base->fixate = Fixate;
    base->set_caps = SetCaps;
    base->unlock = Unlock;
    base->unlock_stop = UnlockStop;
    base->query = Query;
    base->decide_allocation = DecideAllocation;
    GST_PUSH_SRC_CLASS(klass)->create = Create;
}

static void gst_norvikcam_src_init(GstNorvikcamSrc* src) {
    src->state = new State;
    for (const auto* c : PropertyControls())
        src->state->controls.push_back({c->name, c->defaultValue, false});
    gst_base_src_set_live(GST_BASE_SRC(src), TRUE);
    gst_base_src_set_format(GST_BASE_SRC(src), GST_FORMAT_TIME);
    gst_base_src_set_do_timestamp(GST_BASE_SRC(src), FALSE);
}

gboolean gst_norvikcam_src_register(GstPlugin* plugin) {
    return gst_element_register(plugin, "norvikcamsrc", GST_RANK_NONE, GST_TYPE_NORVIKCAM_SRC);
}
