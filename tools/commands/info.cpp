// norvikcam info: the format, the window and every control, with its value
// and what the table of controls says of it.
#include "tools/commands/commands.h"

#include <cstdio>
#include <vector>

#include "tools/json.h"

namespace tools::commands {
namespace {

const char* TypeName(const norvik::ControlInfo& c) {
    return c.type == norvik::ControlType::Switch ? "switch" : "int";
}

int Info(const Common& c) {
    auto cam = OpenCamera(c);
    auto w = cam->GetWindow();
    const auto& controls = norvik::Camera::Controls();
    std::vector<int32_t> values;
    for (const auto& ctl : controls) values.push_back(cam->Get(ctl.name));
    const std::string identity = cam->Identity();
    const norvik::FramePriority priority = cam->Priority();
    CloseUnchanged(*cam, c);
    if (c.json) {
        std::printf(
            "{\"camera\":%s,\"identity\":%s,"
            "\"format\":{\"pixel\":\"BGRA\",\"width\":%d,\"height\":%d,\"bytes\":%d,\"fps\":30},"
            "\"window\":{\"x\":%d,\"y\":%d,\"width\":%d,\"height\":%d},"
            "\"frame_path_priority\":%s,\"controls\":[",
            JsonString(c.device).c_str(), JsonString(identity).c_str(), w.outputWidth,
            w.outputHeight, w.outputWidth * w.outputHeight * 4, w.x, w.y, w.width, w.height,
            JsonString(priority.description).c_str());
        for (size_t i = 0; i < controls.size(); ++i) {
            const auto& ctl = controls[i];
            std::printf("%s{\"name\":%s,\"value\":%d,\"writable\":%s,\"inert\":%s,\"type\":\"%s\"",
                        i ? "," : "", JsonString(ctl.name).c_str(), values[i],
                        ctl.writable ? "true" : "false", ctl.inert ? "true" : "false",
                        TypeName(ctl));
            if (ctl.hasRange)
                std::printf(",\"min\":%d,\"max\":%d,\"step\":%d,\"default\":%d", ctl.minimum,
                            ctl.maximum, ctl.step, ctl.defaultValue);
            std::printf(",\"unit\":%s,\"description\":%s}", JsonString(ctl.unit).c_str(),
                        JsonString(ctl.description).c_str());
        }
        std::printf("]}\n");
        return 0;
    }
    std::printf("camera: %s (settings kept as %s)\n", c.device.c_str(), identity.c_str());
    std::printf("format: RGB32 (BGRA) %dx%d, %d bytes a frame, 30 frames/s\n", w.outputWidth,
                w.outputHeight, w.outputWidth * w.outputHeight * 4);
    std::printf("window: x=%d y=%d width=%d height=%d (sensor 2560x1920); frames are %dx%d\n", w.x,
                w.y, w.width, w.height, w.outputWidth, w.outputHeight);
    std::printf("frame path priority: %s\n", priority.description.c_str());
    std::printf("controls:\n");
    for (size_t i = 0; i < controls.size(); ++i) {
        const auto& ctl = controls[i];
        std::printf("  %-18s (%s) : value=%d", ctl.name.c_str(), TypeName(ctl), values[i]);
        if (ctl.inert) {
            std::printf(" flags=inert (kept, no effect on this camera)\n");
            continue;
        }
        if (ctl.hasRange)
            std::printf(" min=%d max=%d step=%d default=%d", ctl.minimum, ctl.maximum, ctl.step,
                        ctl.defaultValue);
        if (!ctl.unit.empty()) std::printf(" %s", ctl.unit.c_str());
        if (!ctl.writable) std::printf(" flags=read-only");
        std::printf("  %s\n", ctl.description.c_str());
    }
    return 0;
}

}  // namespace

Command AddInfo(CLI::App& app, Common& common) {
    auto* s = AddSubcommand(app, "info", "show the format, the window and every control");
    return {s, [&common] { return Info(common); }};
}

}  // namespace tools::commands
