// The element inside an application: registered in this program, driven
// through appsink, against the simulated camera.
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "gst/norvikcamsrc.h"
#include "tests/support/turned_picture.h"

namespace {

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
        GstBus* bus = gst_element_get_bus(pipeline);
        GstMessage* m = gst_bus_timed_pop_filtered(
            bus, static_cast<GstClockTime>(seconds * GST_SECOND),
            static_cast<GstMessageType>(GST_MESSAGE_ERROR | GST_MESSAGE_EOS));
        gst_object_unref(bus);
        std::string text;
        if (m && GST_MESSAGE_TYPE(m) == GST_MESSAGE_ERROR) {
            GError* e = nullptr;
            gst_message_parse_error(m, &e, nullptr);
            text = e->message;
            g_error_free(e);
        }
        if (m) gst_message_unref(m);
        return text;
    }
    std::filesystem::path dir;
    std::string settings;
    GstElement* pipeline = nullptr;
};

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
    Launch("norvikcamsrc simulated-fps=0 settings=" + settings +
           " ! video/x-raw,format=BGRA,width=321,height=240 ! appsink name=sink sync=false");
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    EXPECT_NE(ErrorWithin(5).find("multiple of 8"), std::string::npos);
}

TEST_F(Element, UnpluggingEndsThePipelineWithAnError) {
    Launch("norvikcamsrc simulated-fps=0 simulated-unplug-after=5 settings=" + settings +
           " ! video/x-raw,width=320,height=240 ! fakesink sync=false");
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    const std::string error = ErrorWithin(10);
    EXPECT_NE(error.find("unplugged"), std::string::npos) << error;
}

TEST_F(Element, ACameraInUseFailsToOpenAndSaysWhy) {
    Launch("norvikcamsrc settings=" + settings + " ! fakesink norvikcamsrc settings=" + settings +
           " ! fakesink");
    EXPECT_EQ(gst_element_set_state(pipeline, GST_STATE_READY), GST_STATE_CHANGE_FAILURE);
    EXPECT_NE(ErrorWithin(1).find("camera in use"), std::string::npos);
}

}  // namespace
