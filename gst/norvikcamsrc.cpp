// norvikcamsrc: the camera as a GStreamer live source. It opens the camera
// when it goes to READY, streams while PLAYING, and hands out the frames the
// driver filled: pictures as BGRA, or the readout window's raw mosaic as
// video/x-bayer. Every control the camera offers users is a property under its tool name.
#include "gst/norvikcamsrc.h"

#include <gst/base/gstpushsrc.h>
#include <gst/video/video.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
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

// Everything the element keeps; the GObject holds a pointer to it.
struct State {
    std::mutex lock;  // the camera and the settings; held only briefly while streaming
    std::string device = "sim";
    std::string settings;  // empty: the tool's settings file
    double simulatedFps = kRate;
    guint unplugAfter = 0;
    std::vector<Control> controls;
    std::unique_ptr<norvik::Camera> cam;
    bool streaming = false;
    bool bayer = false;
    int width = 0, height = 0;
    std::atomic<bool> flushing{false};
    // Presentation times map onto the running time from the first frame on.
    int64_t firstPresentation = -1;
    GstClockTime firstRunning = 0;
    int64_t lastPicture = -1;
    guint64 delivered = 0, dropped = 0;
};

enum {
    PROP_0,
    PROP_DEVICE,
    PROP_SETTINGS,
    PROP_SIMULATED_FPS,
    PROP_SIMULATED_UNPLUG_AFTER,
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
        "video/x-raw, format=(string)BGRA, width=(int)[ 8, 2560 ], height=(int)[ 1, 1920 ], "
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
    GST_ELEMENT_ERROR(src, RESOURCE, FAILED, ("%s", message.c_str()), (nullptr));
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

void SetProperty(GObject* object, guint id, const GValue* value, GParamSpec* param) {
    State& s = S(object);
    std::lock_guard<std::mutex> g(s.lock);
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
    } catch (const std::exception& e) {
        GST_ELEMENT_WARNING(GST_NORVIKCAM_SRC(object), RESOURCE, SETTINGS, ("%s", e.what()),
                            (nullptr));
    }
}

void GetProperty(GObject* object, guint id, GValue* value, GParamSpec* param) {
    State& s = S(object);
    std::lock_guard<std::mutex> g(s.lock);
    switch (id) {
        case PROP_DEVICE:
            g_value_set_string(value, s.device.c_str());
            return;
        case PROP_SETTINGS:
            g_value_set_string(value, s.settings.empty() ? norvik::DefaultSettingsPath().c_str()
                                                         : s.settings.c_str());
            return;
        case PROP_SIMULATED_FPS:
            g_value_set_double(value, s.simulatedFps);
            return;
        case PROP_SIMULATED_UNPLUG_AFTER:
            g_value_set_uint(value, s.unplugAfter);
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
    }
    if (G_VALUE_HOLDS_BOOLEAN(value))
        g_value_set_boolean(value, v != 0);
    else
        g_value_set_int(value, v);
}

// --- the camera's life ---

bool OpenCamera(GstNorvikcamSrc* src) {
    State& s = *src->state;
    std::lock_guard<std::mutex> g(s.lock);
    try {
        norvik::OpenOptions o;
        o.device = s.device;
        o.settingsPath = s.settings.empty() ? norvik::DefaultSettingsPath() : s.settings;
        o.simulatedFps = s.simulatedFps;
        const auto folder = std::filesystem::path(o.settingsPath).parent_path();
        std::error_code ec;
        if (!folder.empty()) std::filesystem::create_directories(folder, ec);
        norvik::SimulatedKnobs knobs;
        knobs.unplugAfter = s.unplugAfter;
        s.cam = norvik::CameraAccess::Open(o, knobs);
        for (const Control& c : s.controls)
            if (c.set) s.cam->Set(c.name, c.value);
    } catch (const std::exception& e) {
        s.cam.reset();
        GST_ELEMENT_ERROR(src, RESOURCE, OPEN_READ,
                          ("cannot open camera '%s': %s", s.device.c_str(), e.what()), (nullptr));
        return false;
    }
    return true;
}

void StopStreaming(State& s) {
    if (!s.streaming) return;
    s.cam->StopStreaming();
    s.streaming = false;
    s.firstPresentation = -1;
    s.lastPicture = -1;
}

void CloseCamera(GstNorvikcamSrc* src) {
    State& s = *src->state;
    std::lock_guard<std::mutex> g(s.lock);
    if (!s.cam) return;
    try {
        StopStreaming(s);
        s.cam->Close();  // saves the settings
    } catch (const std::exception& e) {
        GST_ELEMENT_WARNING(src, RESOURCE, CLOSE, ("%s", e.what()), (nullptr));
    }
    s.cam.reset();
}

GstStateChangeReturn ChangeState(GstElement* element, GstStateChange transition) {
    auto* src = GST_NORVIKCAM_SRC(element);
    if (transition == GST_STATE_CHANGE_NULL_TO_READY && !OpenCamera(src))
        return GST_STATE_CHANGE_FAILURE;
    GstStateChangeReturn r =
        GST_ELEMENT_CLASS(gst_norvikcam_src_parent_class)->change_state(element, transition);
    if (r == GST_STATE_CHANGE_FAILURE) return r;
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

// The current window's frame size comes first: without a caps filter the
// picture is what the camera is set to.
GstCaps* Fixate(GstBaseSrc* base, GstCaps* caps) {
    State& s = S(base);
    int width = 2560, height = 1920, rawWidth = 2560;
    {
        std::lock_guard<std::mutex> g(s.lock);
        if (s.cam) {
            const auto w = s.cam->GetWindow();
            width = w.outputWidth, height = w.outputHeight, rawWidth = w.width;
        }
    }
    caps = gst_caps_make_writable(caps);
    caps = gst_caps_truncate(caps);
    GstStructure* st = gst_caps_get_structure(caps, 0);
    const bool bayer = gst_structure_has_name(st, "video/x-bayer");
    gst_structure_fixate_field_nearest_int(st, "width", bayer ? rawWidth : width);
    gst_structure_fixate_field_nearest_int(st, "height", height);
    gst_structure_fixate_field_nearest_fraction(st, "framerate", kRate, 1);
    return GST_BASE_SRC_CLASS(gst_norvikcam_src_parent_class)->fixate(base, caps);
}

// Sets the readout window to what was negotiated, keeping its corner where
// the frame still fits.
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
    if (!s.cam) return FALSE;
    try {
        StopStreaming(s);
        if (!bayer && width % 8 != 0) {
            Fail(src, "a width of " + std::to_string(width) +
                          " is not a frame this camera makes: BGRA frames are a multiple of 8 "
                          "pixels wide");
            return FALSE;
        }
        auto w = s.cam->GetWindow();
        const bool fits =
            bayer ? (w.width == width && w.height == height)
                  : (w.outputWidth == width && w.outputHeight == height && w.width == width);
        if (!fits) {
            const int x = std::min(w.x, (2560 - width) & ~1),
                      y = std::min(w.y, (1920 - height) & ~1);
            s.cam->SetWindow(x, y, width, height);
            w = s.cam->GetWindow();
            if ((bayer ? w.width : w.outputWidth) != width ||
                (bayer ? w.height : w.outputHeight) != height) {
                Fail(src, "the camera cannot make " + std::to_string(width) + "x" +
                              std::to_string(height) + " frames");
                return FALSE;
            }
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
            if (frame) break;
        }
    } catch (const std::exception& e) {
        Fail(src, e.what());
        return GST_FLOW_ERROR;
    }
    const int64_t picture = frame->pictureNumber;
    const int64_t presentation = frame->presentationTime;
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
    // Timestamps: the driver's presentation times, from the running time
    // at which the first frame arrived.
    if (s.firstPresentation < 0) {
        s.firstPresentation = presentation;
        GstClock* clock = gst_element_get_clock(GST_ELEMENT(src));
        if (clock != nullptr) {
            const GstClockTime now = gst_clock_get_time(clock);
            const GstClockTime baseTime = gst_element_get_base_time(GST_ELEMENT(src));
            s.firstRunning = now > baseTime ? now - baseTime : 0;
            gst_object_unref(clock);
        }
    }
    const GstClockTime duration = gst_util_uint64_scale_int(GST_SECOND, 1, kRate);
    GST_BUFFER_PTS(buffer) =
        s.firstRunning +
        static_cast<GstClockTime>(std::max<int64_t>(0, presentation - s.firstPresentation)) * 100;
    GST_BUFFER_DTS(buffer) = GST_CLOCK_TIME_NONE;
    GST_BUFFER_DURATION(buffer) = duration;
    GST_BUFFER_OFFSET(buffer) = static_cast<guint64>(picture);
    GST_BUFFER_OFFSET_END(buffer) = static_cast<guint64>(picture + 1);
    guint64 lost = 0;
    if (s.lastPicture >= 0 && picture > s.lastPicture + 1)
        lost = static_cast<guint64>(picture - s.lastPicture - 1);
    {
        std::lock_guard<std::mutex> g(s.lock);
        s.dropped += lost;
        ++s.delivered;
    }
    if (lost > 0) {
        // Frames the driver had no buffer for: a gap in the offsets, a
        // discontinuity, and a QoS message with the count, as live sources do.
        GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DISCONT);
        GstMessage* qos =
            gst_message_new_qos(GST_OBJECT(src), TRUE, GST_CLOCK_TIME_NONE, GST_CLOCK_TIME_NONE,
                                GST_BUFFER_PTS(buffer), duration);
        gst_message_set_qos_stats(qos, GST_FORMAT_BUFFERS, s.delivered, s.dropped);
        gst_element_post_message(GST_ELEMENT(src), qos);
    }
    s.lastPicture = picture;
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
        g_param_spec_string("device", "Device", "the camera to open, as 'norvikcam list' names it",
                            "sim", flags));
    g_object_class_install_property(
        object, PROP_SETTINGS,
        g_param_spec_string("settings", "Settings",
                            "the settings file (.reg), shared with the norvikcam tool", nullptr,
                            flags));
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
    const auto controlFlags =
        static_cast<GParamFlags>(G_PARAM_READWRITE | GST_PARAM_MUTABLE_PLAYING);
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
