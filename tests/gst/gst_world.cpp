// The GStreamer world of every test in this program, and of the gst-launch,
// gst-inspect and OpenCV runs it starts: a registry of its own, and as the
// system plugins only those whose elements the tests use (the build links
// them into one folder). What else the machine has installed changes
// nothing. That goes beyond tidiness: loading the registry interns the
// strings of every plugin in it (names, descriptions, pad template caps) as
// GLib quarks, and once a process holds more than 2048 quarks GLib moves to a
// larger table and leaves the first one unreferenced on purpose, which the
// address-sanitizer build's leak check reports at exit.
#include <gtest/gtest.h>

#include <cstdlib>

namespace {

class GstWorld : public testing::Environment {
    void SetUp() override {
        setenv("GST_REGISTRY", NORVIK_GST_REGISTRY, 1);
        setenv("GST_PLUGIN_SYSTEM_PATH", NORVIK_GST_SYSTEM_PLUGINS, 1);
        // The plugin path stays for the tests that put a plugin folder on it;
        // nothing comes from the caller's. The _1_0 names would win over all three.
        unsetenv("GST_PLUGIN_PATH");
        unsetenv("GST_REGISTRY_1_0");
        unsetenv("GST_PLUGIN_SYSTEM_PATH_1_0");
        unsetenv("GST_PLUGIN_PATH_1_0");
    }
};

[[maybe_unused]] testing::Environment* const world =
    testing::AddGlobalTestEnvironment(new GstWorld);

}  // namespace
