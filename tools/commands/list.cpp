// norvikcam list: the cameras this build can open.
#include "tools/commands/commands.h"

#include <cstdio>

#include "tools/json.h"

namespace tools::commands {
namespace {

int List(bool json) {
    auto cameras = norvik::ListCameras();
    if (json) {
        std::printf("[");
        for (size_t i = 0; i < cameras.size(); ++i)
            std::printf(
                "%s{\"device\":%s,\"description\":%s,\"in_use_by\":%s}", i ? "," : "",
                JsonString(cameras[i].device).c_str(), JsonString(cameras[i].description).c_str(),
                cameras[i].inUseBy.empty() ? "null" : JsonString(cameras[i].inUseBy).c_str());
        std::printf("]\n");
    } else {
        for (const auto& cam : cameras)
            std::printf("%-6s %s%s\n", cam.device.c_str(), cam.description.c_str(),
                        cam.inUseBy.empty() ? "" : (", in use by " + cam.inUseBy).c_str());
    }
    return 0;
}

}  // namespace

Command AddList(CLI::App& app, Common& common) {
    auto* s = AddSubcommand(app, "list", "list the cameras that can be opened");
    return {s, [&common] { return List(common.json); }};
}

}  // namespace tools::commands
