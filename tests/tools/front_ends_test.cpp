// The same value, given to every front end: the library's Set, the tool's
// `set`, the viewer's POST /control and the element's properties. A value a
// control does not take is refused by each, and the camera keeps what it had
// (read back by the tool from the settings file, and the simulated camera's
// record for what reached the sensor); one it takes is stored the same
// whichever front end gave it.
// Before GLib's headers: they define TRUE and FALSE as macros, which the
// driver's platform types declare as constants.
#include "sim/simulated_camera.h"

#include <gst/gst.h>
#include <httplib.h>

#include <atomic>
#include <future>

#include "client/camera.h"
#include "client/camera_internal.h"
#include "gst/norvikcamsrc.h"
#include "tests/tools/cli_fixture.h"
#include "tools/viewer.h"

namespace {

using namespace std::chrono_literals;

struct Value {
    const char* name;
    int32_t value;
};

// Values outside what each control takes, with what the library says.
const std::pair<Value, const char*> kRefused[] = {
    {{"exposure", -1}, "exposure=-1 is not allowed: the range is 0..1014"},
    {{"exposure", 99999}, "exposure=99999 is not allowed: the range is 0..1014"},
    {{"global_gain", -5}, "global_gain=-5 is not allowed: the range is 0..1023"},
    {{"flip_h", 2}, "flip_h=2 is not allowed: the range is 0..1"},
    {{"timeout", 100}, "timeout=100 is not allowed: the range is 501..9999 ms"},
    {{"hue", 360}, "hue=360 is not allowed: the range is 0..359 degrees"},
    {{"hue", -1}, "hue=-1 is not allowed: the range is 0..359 degrees"},
    {{"red_gain", 0}, "red_gain=0 is not allowed: the range is 1..512"},
};
const Value kTaken[] = {{"exposure", 300}, {"flip_h", 1}, {"timeout", 4000}, {"hue", 123}};

// What a front end answered: empty when it took the value.
using Answer = std::string;

class FrontEnds : public Cli {
  public:
    static void SetUpTestSuite() {
        gst_init(nullptr, nullptr);
        gst_plugin_register_static(GST_VERSION_MAJOR, GST_VERSION_MINOR, "norvikcam",
                                   "test registration", gst_norvikcam_src_register, "0", "unknown",
                                   "norvikcam", "norvikcam", "norvikcam");
    }
    void SetUp() override {
        Cli::SetUp();
        // This process's cameras lock where the tool's do, and keep their
        // settings where it reads them.
        setenv("XDG_RUNTIME_DIR", (dir / "run").c_str(), 1);
        settings = (dir / "cfg" / "norvikcam" / "settings.reg").string();
    }

    // What the tool reads back from the settings file.
    std::string Stored() {
        EXPECT_EQ(Run("get exposure global_gain flip_h timeout hue red_gain"), 0) << err;
        return out;
    }

    std::unique_ptr<norvik::Camera> Open() {
        norvik::OpenOptions o;
        o.settingsPath = settings;
        return norvik::Camera::Open(o);
    }

    // --- the four front ends, each given a list of values in one session ---

    // Watched at the simulated camera: sentToCamera counts the command
    // blocks that reached it.
    std::vector<Answer> Library(const std::vector<Value>& values) {
        auto cam = Open();
        sim::SimulatedCamera& sim = *norvik::CameraAccess::Simulated(*cam);
        sim.SetRecording(true);
        sim.ClearRecord();
        std::vector<Answer> answers;
        for (const Value& v : values) {
            try {
                cam->Set(v.name, v.value);
                answers.emplace_back();
            } catch (const norvik::Error& e) {
                EXPECT_EQ(e.Kind(), norvik::ErrorKind::InvalidArgument) << e.what();
                answers.emplace_back(e.what());
            }
        }
        sentToCamera = sim.CommandBlocks().size();
        cam->Close();
        return answers;
    }

    std::vector<Answer> Tool(const std::vector<Value>& values) {
        std::vector<Answer> answers;
        for (const Value& v : values) {
            const int status = Run(std::string("set ") + v.name + "=" + std::to_string(v.value));
            const std::string prefix = "norvikcam: ";
            if (status == 0) {
                answers.emplace_back();
                continue;
            }
            EXPECT_EQ(status, 2) << err;  // a value refused is a bad command line
            EXPECT_EQ(err.rfind(prefix, 0), 0u) << err;
            answers.push_back(
                err.substr(prefix.size(), err.size() - prefix.size() - 1));  // one line
        }
        return answers;
    }

    std::vector<Answer> Viewer(const std::vector<Value>& values) {
        auto cam = Open();
        std::atomic<bool> stop{false};
        std::promise<std::string> url;
        auto ready = url.get_future();
        tools::ViewerOptions o;
        o.port = 0;
        o.snapshotDirectory = (dir / "snaps").string();
        auto run = std::async(std::launch::async, [&] {
            tools::RunViewer(
                *cam, o, [&] { return stop.load(); },
                [&](const std::string& u) { url.set_value(u); });
        });
        std::vector<Answer> answers;
        if (ready.wait_for(20s) == std::future_status::ready) {
            const std::string u = ready.get();
            httplib::Client client("127.0.0.1", std::stoi(u.substr(u.rfind(':') + 1)));
            client.set_read_timeout(10, 0);
            auto page = client.Get("/");
            const std::string mark = "const token = \"";
            const size_t at = page ? page->body.find(mark) : std::string::npos;
            EXPECT_NE(at, std::string::npos);
            const httplib::Headers token = {
                {"X-Norvik-Token", page->body.substr(at + mark.size(), 32)}};
            for (const Value& v : values) {
                auto r =
                    client.Post("/control", token,
                                std::string("name=") + v.name + "&value=" + std::to_string(v.value),
                                "application/x-www-form-urlencoded");
                EXPECT_TRUE(r);
                if (!r) break;
                if (r->status == 200) {
                    EXPECT_EQ(r->body, "{\"value\":" + std::to_string(v.value) + "}");
                    answers.emplace_back();
                } else {
                    EXPECT_EQ(r->status, 400) << r->body;
                    answers.push_back(r->body.substr(0, r->body.size() - 1));  // one line
                }
            }
        } else {
            ADD_FAILURE() << "the viewer did not start";
        }
        stop = true;
        run.get();
        cam->Close();
        return answers;
    }

    // As gst-launch-1.0 sets a property, from its text (a switch takes 1 or
    // 0 there too): once before the camera opens, and once more while it is
    // open; GLib's complaint, or the parser's, is the answer.
    std::vector<Answer> Element(const std::vector<Value>& values) {
        std::vector<Answer> answers;
        for (const Value& v : values) {
            std::string name = v.name;
            for (char& c : name)
                if (c == '_') c = '-';
            const std::string text = std::to_string(v.value);
            std::vector<std::string> complaints;
            const guint handler = g_log_set_handler(
                "GLib-GObject",
                static_cast<GLogLevelFlags>(G_LOG_LEVEL_WARNING | G_LOG_LEVEL_CRITICAL),
                [](const gchar*, GLogLevelFlags, const gchar* message, gpointer to) {
                    static_cast<std::vector<std::string>*>(to)->push_back(message);
                },
                &complaints);
            // One element: the parser hands back the element itself, or
            // nothing when the text is no value of the property's type.
            GError* error = nullptr;
            GstElement* src = gst_parse_launch(
                ("norvikcamsrc settings=" + settings + " " + name + "=" + text).c_str(), &error);
            if (error != nullptr) {
                complaints.push_back(error->message);
                g_error_free(error);
            }
            if (src == nullptr)
                src = gst_parse_launch(("norvikcamsrc settings=" + settings).c_str(), nullptr);
            EXPECT_TRUE(src != nullptr && GST_IS_NORVIKCAM_SRC(src)) << name << "=" << text;
            if (src == nullptr) break;
            EXPECT_EQ(gst_element_set_state(src, GST_STATE_READY), GST_STATE_CHANGE_SUCCESS);
            const size_t before = complaints.size();
            gst_util_set_object_arg(G_OBJECT(src), name.c_str(), text.c_str());
            // gst_util_set_object_arg drops a text that is no value of the
            // type without a word; what the property holds then tells.
            GValue now = G_VALUE_INIT;
            g_object_get_property(G_OBJECT(src), name.c_str(), &now);
            const bool holds = G_VALUE_HOLDS_BOOLEAN(&now)
                                   ? (g_value_get_boolean(&now) ? 1 : 0) == v.value
                                   : g_value_get_int(&now) == v.value;
            g_value_unset(&now);
            const bool refusedOpen = complaints.size() > before || !holds;
            EXPECT_EQ(gst_element_set_state(src, GST_STATE_NULL), GST_STATE_CHANGE_SUCCESS);
            gst_object_unref(src);
            g_log_remove_handler("GLib-GObject", handler);
            EXPECT_EQ(refusedOpen, !complaints.empty())
                << name << "=" << text << ": the open camera answers otherwise";
            answers.push_back(complaints.empty() ? "" : complaints.front());
        }
        return answers;
    }

  protected:
    std::string settings;
    size_t sentToCamera = 0;
};

TEST_F(FrontEnds, AValueAControlDoesNotTakeIsRefusedByEachAndChangesNothing) {
    ASSERT_EQ(Run("set exposure=200 global_gain=300 flip_h=0 timeout=4500 hue=40 red_gain=100"), 0)
        << err;
    const std::string stored = Stored();
    ASSERT_EQ(stored,
              "exposure=200\nglobal_gain=300\nflip_h=0\ntimeout=4500\nhue=40\nred_gain=100\n");
    std::vector<Value> values;
    for (const auto& [v, says] : kRefused) values.push_back(v);

    const std::vector<Answer> library = Library(values);
    EXPECT_EQ(sentToCamera, 0u) << "command blocks reached the camera";
    EXPECT_EQ(Stored(), stored);
    const std::vector<Answer> tool = Tool(values);
    EXPECT_EQ(Stored(), stored);
    const std::vector<Answer> viewer = Viewer(values);
    EXPECT_EQ(Stored(), stored);
    const std::vector<Answer> element = Element(values);
    EXPECT_EQ(Stored(), stored);

    ASSERT_EQ(library.size(), values.size());
    for (size_t i = 0; i < values.size(); ++i) {
        const std::string what =
            std::string(values[i].name) + "=" + std::to_string(values[i].value);
        EXPECT_EQ(library[i], kRefused[i].second) << what;
        // The tool and the viewer say what the library says, word for word.
        EXPECT_EQ(i < tool.size() ? tool[i] : "(no answer)", library[i]) << what;
        EXPECT_EQ(i < viewer.size() ? viewer[i] : "(no answer)", library[i]) << what;
        // The element refuses through GLib, which says it in its own words.
        ASSERT_LT(i, element.size());
        EXPECT_FALSE(element[i].empty()) << what << " was taken by the element";
        std::printf("%-18s library, tool, viewer: %s\n%-18s element: %s\n", what.c_str(),
                    library[i].c_str(), "", element[i].c_str());
    }
}

TEST_F(FrontEnds, AValueAControlTakesIsStoredTheSameByEach) {
    std::vector<Value> values(std::begin(kTaken), std::end(kTaken));
    const std::string want = "exposure=300\nflip_h=1\ntimeout=4000\nhue=123\n";
    using Front = std::vector<Answer> (FrontEnds::*)(const std::vector<Value>&);
    const std::pair<const char*, Front> fronts[] = {{"library", &FrontEnds::Library},
                                                    {"tool", &FrontEnds::Tool},
                                                    {"viewer", &FrontEnds::Viewer},
                                                    {"element", &FrontEnds::Element}};
    for (const auto& [front, set] : fronts) {
        // From the defaults each time, so each front end's values are its own.
        fs::remove(settings);
        ASSERT_EQ(Run("get exposure flip_h timeout hue"), 0) << err;
        ASSERT_EQ(out, "exposure=0\nflip_h=0\ntimeout=3000\nhue=0\n") << front;
        const std::vector<Answer> answers = (this->*set)(values);
        EXPECT_EQ(answers, std::vector<Answer>(values.size())) << front;
        // The exposure reached the sensor: the library's count of what
        // reached the camera counts.
        if (std::string(front) == "library") {
            EXPECT_GT(sentToCamera, 0u);
        }
        ASSERT_EQ(Run("get exposure flip_h timeout hue"), 0) << err;
        EXPECT_EQ(out, want) << front;
    }
}

}  // namespace
