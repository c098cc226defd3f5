// norvikcam window: the readout window.
#include "tools/commands/commands.h"

#include <cstdio>
#include <string>
#include <vector>

#include "tools/convert.h"

namespace tools::commands {
namespace {

int SetWindow(const Common& c, const std::vector<std::string>& args) {
    int32_t v[4];
    for (int i = 0; i < 4; ++i) v[i] = ParseNumber(args[static_cast<size_t>(i)], "window");
    auto cam = OpenCamera(c);
    const auto before = cam->GetWindow();
    cam->SetWindow(v[0], v[1], v[2], v[3]);
    auto w = cam->GetWindow();
    if (w.outputWidth <= 0 || w.outputHeight <= 0) {
        cam->SetWindow(before.x, before.y, before.width, before.height);
        cam->Close();
        throw Error("window " + args[0] + " " + args[1] + " " + args[2] + " " + args[3] +
                    " gives no frames: it is " + std::to_string(w.width) +
                    " pixels wide after fitting the sensor, and frames are the window's width "
                    "rounded down to a multiple of 8; give a width of 8 or more");
    }
    cam->Close();
    std::printf("window: x=%d y=%d width=%d height=%d, frames %dx%d\n", w.x, w.y, w.width, w.height,
                w.outputWidth, w.outputHeight);
    return 0;
}

}  // namespace

Command AddWindow(CLI::App& app, Common& common) {
    auto args = std::make_shared<std::vector<std::string>>();
    auto* s = AddSubcommand(app, "window", "set the readout window");
    s->add_option("X Y W H", *args,
                  "left, top, width, height (0 width or height: as large as fits)")
        ->expected(4)
        ->required();
    return {s, [&common, args] { return SetWindow(common, *args); }};
}

}  // namespace tools::commands
