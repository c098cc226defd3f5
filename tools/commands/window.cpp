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
    // The camera refuses a window that gives no frames, and keeps the old one.
    cam->SetWindow(v[0], v[1], v[2], v[3]);
    const auto w = cam->GetWindow();
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
