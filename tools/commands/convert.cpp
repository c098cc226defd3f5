// norvikcam convert: a stored raw frame to PNG or BGRA, offline.
#include "tools/commands/commands.h"

#include <cstdio>
#include <string>
#include <vector>

#include "tools/commands/output_names.h"
#include "tools/convert.h"
#include "tools/image_files.h"

namespace tools::commands {
namespace {

int Convert(const std::string& in, const std::string& out, const std::string& layout,
            const std::vector<std::string>& sets, const std::vector<int32_t>& window) {
    // Checked before any work: the output must not be the frame it replaces.
    CheckDistinct({{"IN", in}, {"OUT", out}});
    const std::string format = FormatOf(out, "", {"png", "bgra"}, "png");
    CheckWritable(out, "OUT");
    const RawInput input = ReadRawInput(in, layout);
    const Picture picture = ConvertRawInput(input, sets, window);
    if (format == "bgra")
        WriteBytes(out, picture.bgra.data(), static_cast<size_t>(picture.width) * 4,
                   static_cast<size_t>(picture.height), picture.stride);
    else
        WritePngBgra(out, picture.bgra.data(), picture.width, picture.height,
                     static_cast<ptrdiff_t>(picture.stride));
    std::fprintf(stderr, "converted %s (%dx%d) to %s\n", in.c_str(), picture.width, picture.height,
                 out.c_str());
    return 0;
}

}  // namespace

Command AddConvert(CLI::App& app, Common&) {
    struct Options {
        std::string in, out, layout = "wire";
        std::vector<std::string> sets;
        std::vector<int32_t> window;
    };
    auto o = std::make_shared<Options>();
    auto* s = AddSubcommand(app, "convert", "convert a stored raw frame to PNG or BGRA");
    s->add_option(
         "IN", o->in,
         "raw frame: camera layout (5324800 bytes), image layout, PGM, or a DNG from capture")
        ->required();
    s->add_option("OUT", o->out,
                  "output .png, or .bgra for raw pixels (a name without an extension is a PNG)")
        ->required();
    s->add_option("--layout", o->layout, "wire (the camera's) or image")
        ->check(CLI::IsMember({"wire", "image"}))
        ->capture_default_str();
    s->add_option("--set", o->sets, "processing control NAME=VALUE");
    s->add_option("--window", o->window, "X Y W H")->expected(4);
    return {s, [o] { return Convert(o->in, o->out, o->layout, o->sets, o->window); }};
}

}  // namespace tools::commands
