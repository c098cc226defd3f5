// The element inside an application: registered in this program, driven
// through appsink, against the simulated camera.
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <string>
#include <vector>

#include "client/camera.h"
#include "gst/norvikcamsrc.h"
#include "tests/support/turned_picture.h"

namespace {

// The text of the first error or warning (`kind`) a pipeline posts within
// `seconds`, or empty: also when a message of type `ends` came first.
std::string MessageWithin(GstElement* pipeline, GstMessageType kind, double seconds,
                          GstMessageType ends = GST_MESSAGE_UNKNOWN) {
    GstBus* bus = gst_element_get_bus(pipeline);
    GstMessage* m = gst_bus_timed_pop_filtered(bus, static_cast<GstClockTime>(seconds * GST_SECOND),
                                               static_cast<GstMessageType>(kind | ends));
    gst_object_unref(bus);
    std::string text;
    if (m && GST_MESSAGE_TYPE(m) == kind) {
        GError* e = nullptr;
        if (kind == GST_MESSAGE_ERROR)
            gst_message_parse_error(m, &e, nullptr);
        else
            gst_message_parse_warning(m, &e, nullptr);
        text = e->message;
        g_error_free(e);
    }
    if (m) gst_message_unref(m);
    return text;
}

class Element : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        gst_init(nullptr, nullptr);
        gst_plugin_register_static(GST_VERSION_MAJOR, GST_VERSION_MINOR, "norvikcam",
                                   "test registration", gst_norvikcam_src_register, "0", "unknown",
                                   "norvikcam", "norvikcam", "norvikcam");
    }
    void SetUp() override {
        dir = std::filesystem::path(testing::TempDir()) / ("gst-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir / "run");
        setenv("XDG_RUNTIME_DIR", (dir / "run").c_str(), 1);  // its own camera locks
        settings = (dir / "settings.reg").string();
    }
    void TearDown() override {
        if (pipeline) {
            gst_element_set_state(pipeline, GST_STATE_NULL);
            gst_object_unref(pipeline);
        }
        std::filesystem::remove_all(dir);
    }
    GstElement* Launch(const std::string& description) {
        GError* error = nullptr;
        pipeline = gst_parse_launch(description.c_str(), &error);
        EXPECT_EQ(error, nullptr) << (error ? error->message : "");
        if (error) g_error_free(error);
        return pipeline;
    }
    GstElement* ByName(const char* name) {
        GstElement* e = gst_bin_get_by_name(GST_BIN(pipeline), name);
        gst_object_unref(e);  // the pipeline keeps it
        return e;
    }
    // The next sample within 5 s, or none.
    GstSample* Pull() {
        return gst_app_sink_try_pull_sample(GST_APP_SINK(ByName("sink")), 5 * GST_SECOND);
    }
    // The error the pipeline posted within `seconds`, or empty.
    std::string ErrorWithin(double seconds) {
        return MessageWithin(pipeline, GST_MESSAGE_ERROR, seconds, GST_MESSAGE_EOS);
    }
    // The camera as the next program opens it, on this test's settings file.
    std::unique_ptr<norvik::Camera> OpenCamera() {
        norvik::OpenOptions o;
        o.settingsPath = settings;
        o.simulatedFps = 0;
        return norvik::Camera::Open(o);
    }
    std::string SettingsFile() const {
        std::ifstream in(settings, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), {});
    }
    // The first warning the pipeline posted within `seconds`, or empty.
    std::string WarningWithin(double seconds) {
        return MessageWithin(pipeline, GST_MESSAGE_WARNING, seconds);
    }
    std::filesystem::path dir;
    std::string settings;
    GstElement* pipeline = nullptr;
};

// A pipeline of its own beside the fixture's, set to NULL and freed at the end.
struct Other {
    explicit Other(const std::string& description) {
        pipeline = gst_parse_launch(description.c_str(), nullptr);
    }
    ~Other() {
        if (pipeline) {
            gst_element_set_state(pipeline, GST_STATE_NULL);
            gst_object_unref(pipeline);
        }
    }
    std::string Error(double seconds) {
        return MessageWithin(pipeline, GST_MESSAGE_ERROR, seconds);
    }
    GstElement* pipeline = nullptr;
};

// The size of the caps a pad has negotiated.
std::pair<int, int> PadSize(GstElement* element, const char* pad) {
    GstPad* p = gst_element_get_static_pad(element, pad);
    GstCaps* caps = p ? gst_pad_get_current_caps(p) : nullptr;
    int w = 0, h = 0;
    if (caps) {
        gst_structure_get_int(gst_caps_get_structure(caps, 0), "width", &w);
        gst_structure_get_int(gst_caps_get_structure(caps, 0), "height", &h);
        gst_caps_unref(caps);
    }
    if (p) gst_object_unref(p);
    return {w, h};
}

std::pair<int, int> SampleSize(GstSample* sample) {
    int w = 0, h = 0;
    GstStructure* caps = gst_caps_get_structure(gst_sample_get_caps(sample), 0);
    gst_structure_get_int(caps, "width", &w);
    gst_structure_get_int(caps, "height", &h);
    return {w, h};
}

void ExpectWindow(const norvik::Window& w, int x, int y, int width, int height) {
    EXPECT_EQ(w.x, x);
    EXPECT_EQ(w.y, y);
    EXPECT_EQ(w.width, width);
    EXPECT_EQ(w.height, height);
}

double MeanOf(GstSample* sample) {
    GstMapInfo map;
    GstBuffer* b = gst_sample_get_buffer(sample);
    gst_buffer_map(b, &map, GST_MAP_READ);
    double sum = 0;
    for (size_t i = 0; i < map.size; i += 4) sum += map.data[i] + map.data[i + 1] + map.data[i + 2];
    gst_buffer_unmap(b, &map);
    return sum / static_cast<double>(map.size / 4) / 3;
}

TEST_F(Element, BuffersCarryPictureNumbersTimesAndTheNegotiatedSize) {
    Launch("norvikcamsrc name=src settings=" + settings +
           " ! video/x-raw,width=320,height=240 ! appsink name=sink sync=false max-buffers=50");
    ASSERT_EQ(gst_element_set_state(pipeline, GST_STATE_PLAYING), GST_STATE_CHANGE_ASYNC);
    guint64 lastOffset = 0, firstOffset = 0;
    GstClockTime lastPts = 0, firstPts = 0;
    for (int i = 0; i < 12; ++i) {
        GstSample* s = Pull();
        ASSERT_NE(s, nullptr) << i;
        GstStructure* caps = gst_caps_get_structure(gst_sample_get_caps(s), 0);
        int w = 0, h = 0;
        gst_structure_get_int(caps, "width", &w);
        gst_structure_get_int(caps, "height", &h);
        EXPECT_EQ(w, 320);
        EXPECT_EQ(h, 240);
        EXPECT_STREQ(gst_structure_get_string(caps, "format"), "BGRA");
        GstBuffer* b = gst_sample_get_buffer(s);
        EXPECT_EQ(gst_buffer_get_size(b), 320u * 240 * 4);
        EXPECT_EQ(GST_BUFFER_DURATION(b), GST_SECOND / 30);
        EXPECT_EQ(GST_BUFFER_OFFSET_END(b), GST_BUFFER_OFFSET(b) + 1);
        if (i > 0) {
            EXPECT_GT(GST_BUFFER_OFFSET(b), lastOffset);
            EXPECT_GT(GST_BUFFER_PTS(b), lastPts) << i;
        } else {
            firstOffset = GST_BUFFER_OFFSET(b);
            firstPts = GST_BUFFER_PTS(b);
        }
        lastOffset = GST_BUFFER_OFFSET(b);
        lastPts = GST_BUFFER_PTS(b);
        gst_sample_unref(s);
    }
    // Timestamps follow the driver's clock, which stamps a frame when it is
    // filled: over the run, a frame time apart for each picture number
    // between them (the camera runs at 30/s). One frame's delivery may be
    // late on a busy machine; the camera's pace holds across the run.
    const double frames = static_cast<double>(lastOffset - firstOffset);
    const double seconds = static_cast<double>(lastPts - firstPts) / GST_SECOND;
    EXPECT_NEAR(seconds / frames, 1.0 / 30, 0.25 / 30);
    GstStructure* stats = nullptr;
    g_object_get(ByName("src"), "stats", &stats, nullptr);
    ASSERT_NE(stats, nullptr);
    guint64 delivered = 0;
    gst_structure_get_uint64(stats, "delivered", &delivered);
    EXPECT_GE(delivered, 12u);
    gst_structure_free(stats);
}

double Seconds(GstClockTime t) {
    return static_cast<double>(t) / GST_SECOND;
}

// The running time of the pipeline now, by its own clock.
GstClockTime RunningTime(GstElement* pipeline) {
    GstClock* clock = gst_element_get_clock(pipeline);
    EXPECT_NE(clock, nullptr);
    if (clock == nullptr) return 0;
    const GstClockTime now = gst_clock_get_time(clock);
    gst_object_unref(clock);
    return now - gst_element_get_base_time(pipeline);
}

// Pulls `count` samples; each buffer's PTS must be the running time at
// which its frame was made: no later than the running time when the sample
// is taken, and not long before it (a frame takes a few milliseconds from
// the camera to the sink; a second covers a loaded machine). Returns the
// last PTS.
GstClockTime ExpectPtsAtRunningTime(GstElement* pipeline, GstAppSink* sink, int count) {
    GstClockTime last = 0;
    for (int i = 0; i < count; ++i) {
        GstSample* s = gst_app_sink_try_pull_sample(sink, 5 * GST_SECOND);
        EXPECT_NE(s, nullptr) << i;
        if (s == nullptr) return last;
        const GstClockTime running = RunningTime(pipeline);
        const GstClockTime pts = GST_BUFFER_PTS(gst_sample_get_buffer(s));
        gst_sample_unref(s);
        EXPECT_TRUE(GST_CLOCK_TIME_IS_VALID(pts)) << i;
        EXPECT_LE(pts, running + GST_SECOND / 10)
            << i << ": PTS " << Seconds(pts) << " s, running time " << Seconds(running) << " s";
        EXPECT_GE(pts + GST_SECOND, running)
            << i << ": PTS " << Seconds(pts) << " s, running time " << Seconds(running) << " s";
        last = pts;
    }
    return last;
}

// Timestamps are running time, whenever the element starts: in a pipeline
// whose clock has run for a while (its base time set in the past, as for a
// pipeline kept in step with others), and again after a pause, when the
// running time goes on from where the pause held it.
TEST_F(Element, BuffersAreStampedWithTheRunningTimeOfAClockThatRanBefore) {
    Launch("norvikcamsrc settings=" + settings +
           " ! video/x-raw,width=320,height=240 ! appsink name=sink sync=false max-buffers=2 "
           "drop=true");
    GstClock* clock = gst_system_clock_obtain();
    gst_pipeline_use_clock(GST_PIPELINE(pipeline), clock);
    gst_element_set_start_time(pipeline, GST_CLOCK_TIME_NONE);
    gst_element_set_base_time(pipeline, gst_clock_get_time(clock) - 5 * GST_SECOND);
    gst_object_unref(clock);
    ASSERT_NE(gst_element_set_state(pipeline, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    const GstClockTime last = ExpectPtsAtRunningTime(pipeline, GST_APP_SINK(ByName("sink")), 6);
    EXPECT_GE(last, 5 * GST_SECOND);
}

TEST_F(Element, BuffersAfterAPauseAreStampedWithTheRunningTime) {
    Launch("norvikcamsrc settings=" + settings +
           " ! video/x-raw,width=320,height=240 ! appsink name=sink sync=false max-buffers=2 "
           "drop=true");
    ASSERT_NE(gst_element_set_state(pipeline, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    auto* sink = GST_APP_SINK(ByName("sink"));
    // Until the running time has passed two seconds, by the frames' own count.
    GstClockTime before = 0;
    for (int i = 0; i < 600 && before < 2 * GST_SECOND; ++i)
        before = ExpectPtsAtRunningTime(pipeline, sink, 1);
    ASSERT_GE(before, 2 * GST_SECOND);
    ASSERT_NE(gst_element_set_state(pipeline, GST_STATE_PAUSED), GST_STATE_CHANGE_FAILURE);
    ASSERT_EQ(gst_element_get_state(pipeline, nullptr, nullptr, 10 * GST_SECOND),
              GST_STATE_CHANGE_NO_PREROLL);
    ASSERT_NE(gst_element_set_state(pipeline, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    const GstClockTime after = ExpectPtsAtRunningTime(pipeline, sink, 6);
    EXPECT_GT(after, before);
}

TEST_F(Element, APropertyChangedWhilePlayingChangesThePicture) {
    Launch("norvikcamsrc name=src simulated-fps=0 settings=" + settings +
           " ! video/x-raw,width=320,height=240 ! appsink name=sink sync=false max-buffers=2 "
           "drop=true");
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    GstSample* before = Pull();
    ASSERT_NE(before, nullptr);
    const double dark = MeanOf(before);
    gst_sample_unref(before);
    g_object_set(ByName("src"), "brightness", 510, nullptr);
    int value = 0;
    g_object_get(ByName("src"), "brightness", &value, nullptr);
    EXPECT_EQ(value, 510);  // read back from the camera
    double bright = dark;
    for (int i = 0; i < 20 && bright < dark + 20;
         ++i) {  // a frame or two converted before the change
        GstSample* s = Pull();
        ASSERT_NE(s, nullptr);
        bright = MeanOf(s);
        gst_sample_unref(s);
    }
    EXPECT_GT(bright, dark + 20) << dark;
}

std::vector<uint8_t> Pixels(GstSample* sample) {
    GstMapInfo map;
    GstBuffer* b = gst_sample_get_buffer(sample);
    gst_buffer_map(b, &map, GST_MAP_READ);
    std::vector<uint8_t> out(map.data, map.data + map.size);
    gst_buffer_unmap(b, &map);
    gst_sample_unref(sample);
    return out;
}

// Downstream buffers are top-down pictures: flip-v set while playing turns
// the next frames upside down, and with flip-h through 180 degrees.
TEST_F(Element, FlipsChangedWhilePlayingTurnTheNextFrames) {
    Launch("norvikcamsrc name=src simulated-fps=0 settings=" + settings +
           " ! video/x-raw,format=BGRA,width=320,height=240 ! appsink name=sink sync=false "
           "max-buffers=2 drop=true");
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    GstSample* first = Pull();
    ASSERT_NE(first, nullptr) << ErrorWithin(0.1);
    const auto upright = Pixels(first);  // the window's corner: colour patches, nothing moves there
    ASSERT_EQ(upright.size(), 320u * 240 * 4);
    ASSERT_NE(TurnedPicture(upright, 320, 240, false, true), upright);
    for (auto [h, v] : {std::pair{0, 1}, std::pair{1, 1}}) {
        g_object_set(ByName("src"), "flip-h", h, "flip-v", v, nullptr);
        const auto want = TurnedPicture(upright, 320, 240, h != 0, v != 0);
        bool turned = false;  // a frame or two converted before the change come first
        for (int i = 0; i < 20 && !turned; ++i) {
            GstSample* s = Pull();
            ASSERT_NE(s, nullptr);
            turned = Pixels(s) == want;
        }
        EXPECT_TRUE(turned) << "flip-h=" << h << " flip-v=" << v;
    }
}

TEST_F(Element, RawCapsGiveTheWindowsMosaic) {
    Launch("norvikcamsrc simulated-fps=0 settings=" + settings +
           " ! video/x-bayer,format=rggb,width=1001,height=333 ! appsink name=sink sync=false");
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    GstSample* s = Pull();
    ASSERT_NE(s, nullptr) << ErrorWithin(0.1);
    EXPECT_EQ(gst_buffer_get_size(gst_sample_get_buffer(s)), 1001u * 333);
    gst_sample_unref(s);
}

TEST_F(Element, AWidthTheCameraCannotMakeIsRefused) {
    // Written in the pipeline, the size cannot even be linked: GStreamer
    // says so as it parses.
    GError* parse = nullptr;
    GstElement* unlinked = gst_parse_launch(
        ("norvikcamsrc settings=" + settings + " ! video/x-raw,format=BGRA,width=321 ! fakesink")
            .c_str(),
        &parse);
    ASSERT_NE(parse, nullptr);
    EXPECT_NE(std::string(parse->message).find("width=(int)321"), std::string::npos)
        << parse->message;
    g_error_free(parse);
    if (unlinked) gst_object_unref(unlinked);
    // Given to a linked caps filter, the element says why at negotiation.
    Launch("norvikcamsrc simulated-fps=0 settings=" + settings +
           " ! capsfilter name=size ! appsink name=sink sync=false");
    GstCaps* caps = gst_caps_from_string("video/x-raw,format=BGRA,width=321,height=240");
    g_object_set(ByName("size"), "caps", caps, nullptr);
    gst_caps_unref(caps);
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    const std::string error = ErrorWithin(5);
    EXPECT_NE(error.find("a width of 321"), std::string::npos) << error;
    EXPECT_NE(error.find("multiple of 8"), std::string::npos) << error;
}

// Picture widths come in steps of 8, so a range downstream settles on one
// the camera makes; raw frames take any width.
TEST_F(Element, ARangeOfWidthsSettlesOnAMultipleOf8) {
    Launch("norvikcamsrc simulated-fps=0 settings=" + settings +
           " ! video/x-raw,format=BGRA,width=[100,105],height=100 ! appsink name=sink "
           "sync=false");
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    GstSample* s = Pull();
    ASSERT_NE(s, nullptr) << ErrorWithin(0.1);
    EXPECT_EQ(SampleSize(s), (std::pair<int, int>{104, 100}));
    EXPECT_EQ(gst_buffer_get_size(gst_sample_get_buffer(s)), 104u * 100 * 4);
    gst_sample_unref(s);
}

TEST_F(Element, UnpluggingEndsThePipelineWithAnError) {
    Launch("norvikcamsrc simulated-fps=0 simulated-unplug-after=5 settings=" + settings +
           " ! video/x-raw,width=320,height=240 ! fakesink sync=false");
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    const std::string error = ErrorWithin(10);
    EXPECT_NE(error.find("unplugged"), std::string::npos) << error;
}

// Two sources of one program on one camera: the second says the first has
// it (not the program itself, as another program would be named), and how
// the element, not the tool, waits for it.
TEST_F(Element, ACameraInUseFailsToOpenAndSaysWhy) {
    Launch("norvikcamsrc name=first settings=" + settings + " ! fakesink");
    ASSERT_EQ(gst_element_set_state(pipeline, GST_STATE_READY), GST_STATE_CHANGE_SUCCESS);
    {
        Other second("norvikcamsrc name=second settings=" + settings + " ! fakesink");
        EXPECT_EQ(gst_element_set_state(second.pipeline, GST_STATE_READY),
                  GST_STATE_CHANGE_FAILURE);
        const std::string error = second.Error(5);
        EXPECT_NE(error.find("already open in this program by element 'first'"), std::string::npos)
            << error;
        EXPECT_NE(error.find("wait=SECONDS"), std::string::npos) << error;
        EXPECT_EQ(error.find("--wait"), std::string::npos) << error;
        EXPECT_EQ(error.find("(pid"), std::string::npos) << error;
    }
    {  // a wait that runs out says so
        Other second("norvikcamsrc name=second wait=0.2 settings=" + settings + " ! fakesink");
        EXPECT_EQ(gst_element_set_state(second.pipeline, GST_STATE_READY),
                  GST_STATE_CHANGE_FAILURE);
        const std::string error = second.Error(5);
        EXPECT_NE(error.find("(waited 0.2 s)"), std::string::npos) << error;
    }
}

// With wait, the second source takes the camera once the first lets go.
TEST_F(Element, ASourceWithWaitTakesTheCameraWhenTheOtherLetsItGo) {
    Launch("norvikcamsrc name=first settings=" + settings + " ! fakesink");
    ASSERT_EQ(gst_element_set_state(pipeline, GST_STATE_READY), GST_STATE_CHANGE_SUCCESS);
    Other second("norvikcamsrc name=second wait=60 settings=" + settings + " ! fakesink");
    std::promise<void> started;
    auto opened = std::async(std::launch::async, [&] {
        started.set_value();
        return gst_element_set_state(second.pipeline, GST_STATE_READY);
    });
    started.get_future().wait();
    // Still waiting while the first has it.
    EXPECT_EQ(opened.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    ASSERT_EQ(opened.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(opened.get(), GST_STATE_CHANGE_SUCCESS) << second.Error(0);
}

// A size downstream asks for is a crop for this pipeline only: the camera
// closes with the window it opened with, so the settings file, and every
// program after, keep the saved window.
TEST_F(Element, ACapsFilterCropsForThisPipelineOnly) {
    {
        auto cam = OpenCamera();
        cam->SetWindow(256, 128, 1280, 960);
        cam->Close();
    }
    const std::string before = SettingsFile();
    ASSERT_FALSE(before.empty());
    Launch("norvikcamsrc settings=" + settings +
           " ! video/x-raw,width=640,height=480 ! appsink name=sink sync=false max-buffers=2 "
           "drop=true");
    ASSERT_NE(gst_element_set_state(pipeline, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    GstSample* s = Pull();
    ASSERT_NE(s, nullptr) << ErrorWithin(0.1);
    EXPECT_EQ(SampleSize(s), (std::pair<int, int>{640, 480}));
    gst_sample_unref(s);
    ASSERT_EQ(gst_element_set_state(pipeline, GST_STATE_NULL), GST_STATE_CHANGE_SUCCESS);
    EXPECT_EQ(SettingsFile(), before);
    auto cam = OpenCamera();
    ExpectWindow(cam->GetWindow(), 256, 128, 1280, 960);
}

// A scaler downstream scales the whole window rather than have it cropped:
// the source's own caps are the saved window's size.
TEST_F(Element, AScalerDownstreamGetsTheWholeWindow) {
    {
        auto cam = OpenCamera();
        cam->SetWindow(256, 128, 1280, 960);
        cam->Close();
    }
    Launch("norvikcamsrc name=src settings=" + settings +
           " ! videoscale ! video/x-raw,width=640,height=480 ! appsink name=sink sync=false "
           "max-buffers=2 drop=true");
    ASSERT_NE(gst_element_set_state(pipeline, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    GstSample* s = Pull();
    ASSERT_NE(s, nullptr) << ErrorWithin(0.1);
    EXPECT_EQ(SampleSize(s), (std::pair<int, int>{640, 480}));
    gst_sample_unref(s);
    EXPECT_EQ(PadSize(ByName("src"), "src"), (std::pair<int, int>{1280, 960}));
    ASSERT_EQ(gst_element_set_state(pipeline, GST_STATE_NULL), GST_STATE_CHANGE_SUCCESS);
    auto cam = OpenCamera();
    ExpectWindow(cam->GetWindow(), 256, 128, 1280, 960);
}

// The crop properties give the readout window for this element: its
// frames are that part of the sensor (the picture the camera makes of the
// same window, picture number for picture number), the camera then closes
// with its saved window, and a caps filter of another size is refused in
// words.
TEST_F(Element, TheCropPropertiesChooseThePartOfTheSensorForThisPipeline) {
    Launch(
        "norvikcamsrc crop-x=1000 crop-y=600 crop-width=320 crop-height=240 simulated-fps=0 "
        "settings=" +
        settings + " ! appsink name=sink sync=false max-buffers=1");
    ASSERT_NE(gst_element_set_state(pipeline, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    GstSample* s = Pull();
    ASSERT_NE(s, nullptr) << ErrorWithin(0.1);
    EXPECT_EQ(SampleSize(s), (std::pair<int, int>{320, 240}));
    const guint64 picture = GST_BUFFER_OFFSET(gst_sample_get_buffer(s));
    const auto pixels = Pixels(s);
    ASSERT_EQ(gst_element_set_state(pipeline, GST_STATE_NULL), GST_STATE_CHANGE_SUCCESS);
    {
        auto cam = OpenCamera();
        ExpectWindow(cam->GetWindow(), 0, 0, 2560, 1920);
        cam->SetWindow(1000, 600, 320, 240);
        // The camera runs flat out, so a run may drop that very picture: each
        // run numbers its pictures from 1 again, so another run gets it.
        std::optional<norvik::Frame> f;
        for (int run = 0; run < 20 && !(f && f->pictureNumber == static_cast<int64_t>(picture));
             ++run) {
            f.reset();
            cam->StartStreaming();
            for (int i = 0; i < 100 && (!f || f->pictureNumber < static_cast<int64_t>(picture));
                 ++i)
                f = cam->NextFrame(std::chrono::seconds(30));
            if (!(f && f->pictureNumber == static_cast<int64_t>(picture))) cam->StopStreaming();
        }
        ASSERT_TRUE(f && f->pictureNumber == static_cast<int64_t>(picture))
            << "picture " << picture << " was dropped in 20 runs";
        ASSERT_EQ(f->width, 320);
        std::vector<uint8_t> same;
        for (int y = 0; y < f->height; ++y) same.insert(same.end(), f->Row(y), f->Row(y) + 320 * 4);
        EXPECT_TRUE(same == pixels) << "picture " << picture;
        f.reset();
        cam->StopStreaming();
        cam->SetWindow(0, 0, 2560, 1920);
        cam->Close();
    }
    gst_object_unref(pipeline);
    Launch("norvikcamsrc crop-width=320 crop-height=240 settings=" + settings +
           " ! video/x-raw,width=640,height=480 ! appsink name=sink sync=false");
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    const std::string error = ErrorWithin(5);
    EXPECT_NE(error.find("the crop makes 320x240"), std::string::npos) << error;
}

// Offsets go on across a pause, as the picture numbers of one run do.
TEST_F(Element, OffsetsKeepIncreasingAcrossPauses) {
    Launch("norvikcamsrc settings=" + settings +
           " ! video/x-raw,width=320,height=240 ! appsink name=sink sync=false max-buffers=2 "
           "drop=true");
    guint64 last = 0;
    for (int cycle = 0; cycle < 3; ++cycle) {
        ASSERT_NE(gst_element_set_state(pipeline, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
        for (int i = 0; i < 5; ++i) {
            GstSample* s = Pull();
            ASSERT_NE(s, nullptr) << ErrorWithin(0.1);
            const guint64 offset = GST_BUFFER_OFFSET(gst_sample_get_buffer(s));
            gst_sample_unref(s);
            EXPECT_GT(offset, last) << "cycle " << cycle << ", buffer " << i;
            last = offset;
        }
        ASSERT_NE(gst_element_set_state(pipeline, GST_STATE_PAUSED), GST_STATE_CHANGE_FAILURE);
        ASSERT_EQ(gst_element_get_state(pipeline, nullptr, nullptr, 10 * GST_SECOND),
                  GST_STATE_CHANGE_NO_PREROLL);
    }
}

// Before the camera opens, a control reads what the camera will have: the
// saved value, or the one the application set; reading it leaves the
// settings file as it was.
TEST_F(Element, ControlsReadTheirSavedValuesBeforeTheCameraOpens) {
    {
        auto cam = OpenCamera();
        cam->Set("brightness", 400);
        cam->Set("flip_h", 1);
        cam->Close();
    }
    const std::string before = SettingsFile();
    GstElement* src = gst_element_factory_make("norvikcamsrc", nullptr);
    ASSERT_NE(src, nullptr);
    g_object_set(src, "settings", settings.c_str(), nullptr);
    int brightness = 0, exposure = 0;
    gboolean flip = FALSE;
    g_object_get(src, "brightness", &brightness, "flip-h", &flip, nullptr);
    EXPECT_EQ(brightness, 400);
    EXPECT_TRUE(flip);
    g_object_set(src, "brightness", 100, "exposure", 50, nullptr);
    g_object_get(src, "brightness", &brightness, "exposure", &exposure, nullptr);
    EXPECT_EQ(brightness, 100);
    EXPECT_EQ(exposure, 50);
    EXPECT_EQ(SettingsFile(), before);
    gst_object_unref(src);
}

// What the camera was opened with stays while it is open: a change is
// refused with a warning, and the values in use read back.
TEST_F(Element, DeviceAndSettingsStayWhileTheCameraIsOpen) {
    Launch("norvikcamsrc name=src settings=" + settings +
           " ! video/x-raw,width=320,height=240 ! appsink name=sink sync=false max-buffers=2 "
           "drop=true");
    ASSERT_NE(gst_element_set_state(pipeline, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    GstSample* s = Pull();
    ASSERT_NE(s, nullptr) << ErrorWithin(0.1);
    gst_sample_unref(s);
    const std::string elsewhere = (dir / "other.reg").string();
    g_object_set(ByName("src"), "device", "sim:1", "settings", elsewhere.c_str(), nullptr);
    const std::string warning = WarningWithin(5);
    EXPECT_NE(warning.find("'device' cannot change while the camera is open"), std::string::npos)
        << warning;
    gchar *device = nullptr, *file = nullptr;
    g_object_get(ByName("src"), "device", &device, "settings", &file, nullptr);
    EXPECT_STREQ(device, "sim");
    EXPECT_EQ(file, settings);
    g_free(device);
    g_free(file);
    ASSERT_EQ(gst_element_set_state(pipeline, GST_STATE_NULL), GST_STATE_CHANGE_SUCCESS);
    EXPECT_FALSE(std::filesystem::exists(elsewhere));
    g_object_set(ByName("src"), "settings", elsewhere.c_str(), nullptr);  // in NULL it may
    g_object_get(ByName("src"), "settings", &file, nullptr);
    EXPECT_EQ(file, elsewhere);
    g_free(file);
}

}  // namespace
