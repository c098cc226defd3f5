// norvikcam get, set and reset: controls by name, read, changed, or back to
// their defaults.
#include "tools/commands/commands.h"

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "tools/convert.h"
#include "tools/json.h"

namespace tools::commands {
namespace {

// Without names, every control a user interface offers.
int Get(const Common& c, const std::vector<std::string>& typed) {
    std::vector<std::string> names;
    for (const auto& n : typed) names.push_back(norvik::Camera::Control(ControlName(n)).name);
    if (typed.empty())
        for (const auto& ctl : norvik::Camera::Controls())
            if (ctl.shown) names.push_back(ctl.name);
    // (a bad name failed above, before the camera opens)
    auto cam = OpenCamera(c);
    std::vector<int32_t> values;
    for (const auto& n : names) values.push_back(cam->Get(n));
    CloseUnchanged(*cam, c);
    if (c.json) {
        std::printf("{");
        for (size_t i = 0; i < names.size(); ++i)
            std::printf("%s%s:%d", i ? "," : "", JsonString(names[i]).c_str(), values[i]);
        std::printf("}\n");
    } else {
        for (size_t i = 0; i < names.size(); ++i)
            std::printf("%s=%d\n", names[i].c_str(), values[i]);
    }
    return 0;
}

// Sets controls and reports what each became; the lines are printed only
// once the settings are saved, so a failed save prints no success.
int Set(const Common& c, const std::vector<std::pair<std::string, int32_t>>& assignments) {
    // Every value is checked before the camera opens: one refused changes nothing.
    for (const auto& [name, value] : assignments) norvik::Camera::Check(name, value);
    // (names are already the table's: see AddSet)
    auto cam = OpenCamera(c);
    std::vector<std::string> lines;
    for (const auto& [name, value] : assignments) {
        if (norvik::Camera::Control(name).inert) {
            lines.push_back(name + ": has no effect on this camera; not set");
            continue;
        }
        // Set refuses what the control does not take, so the value set is
        // the value given; reading it back would not do for a control
        // whose reading is something else (register_select reads the
        // register it selects).
        cam->Set(name, value);
        lines.push_back(name + "=" + std::to_string(value));
    }
    cam->Close();
    for (const auto& l : lines) std::printf("%s\n", l.c_str());
    return 0;
}

int Reset(const Common& c) {
    auto cam = OpenCamera(c);
    std::vector<std::string> lines;
    for (const auto& ctl : norvik::Camera::Controls()) {
        if (!ctl.shown) continue;
        cam->Set(ctl.name, ctl.defaultValue);
        lines.push_back(ctl.name + "=" + std::to_string(cam->Get(ctl.name)));
    }
    cam->Close();
    for (const auto& l : lines) std::printf("%s\n", l.c_str());
    return 0;
}

}  // namespace

Command AddGet(CLI::App& app, Common& common) {
    auto names = std::make_shared<std::vector<std::string>>();
    auto* s = AddSubcommand(app, "get", "print controls");
    s->add_option("NAME", *names, "control names, e.g. exposure hue (none: every control)");
    return {s, [&common, names] { return Get(common, *names); }};
}

Command AddSet(CLI::App& app, Common& common) {
    auto assignments = std::make_shared<std::vector<std::string>>();
    auto* s = AddSubcommand(
        app, "set",
        "change controls (a value outside a control's range is refused, and nothing is changed)");
    s->add_option("NAME=VALUE", *assignments, "e.g. exposure=64 flip_h=1")->required();
    return {s, [&common, assignments] {
                std::vector<std::pair<std::string, int32_t>> parsed;
                for (const auto& a : *assignments) {
                    auto [name, value] = ParseAssignment(a);
                    parsed.emplace_back(ControlName(name), value);
                }
                return Set(common, parsed);
            }};
}

Command AddReset(CLI::App& app, Common& common) {
    auto* s = AddSubcommand(app, "reset", "set every control to its default");
    return {s, [&common] { return Reset(common); }};
}

}  // namespace tools::commands
