// What the files of a captured frame say about it.
#include "tools/frame_metadata.h"

#include <cstdio>
#include <ctime>

namespace tools {

std::string IsoTime(std::chrono::system_clock::time_point t) {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
    const time_t seconds = static_cast<time_t>(ms / 1000);
    tm utc{};
    gmtime_r(&seconds, &utc);
    char b[96];
    std::snprintf(b, sizeof b, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(ms % 1000));
    return b;
}

// DNG's DateTime: local time, to the second.
std::string TiffTime(std::chrono::system_clock::time_point t) {
    const time_t seconds = std::chrono::system_clock::to_time_t(t);
    tm local{};
    localtime_r(&seconds, &local);
    char b[32];
    std::strftime(b, sizeof b, "%Y:%m:%d %H:%M:%S", &local);
    return b;
}

// The settings every file of a capture carries: what the driver used to
// make the pictures, read once (no other process can change them while
// this one holds the camera).
TextFields CaptureSettings(norvik::Camera& cam) {
    TextFields fields;
    const auto w = cam.GetWindow();
    fields.emplace_back("window", std::to_string(w.x) + "," + std::to_string(w.y) + "," +
                                      std::to_string(w.width) + "," + std::to_string(w.height));
    for (const char* name : {"exposure", "global_gain", "flip_h", "flip_v", "color_enable",
                             "white_balance", "red_gain", "green_gain", "blue_gain",
                             "color_correction", "brightness", "contrast", "saturation", "hue"})
        fields.emplace_back(name, std::to_string(cam.Get(name)));
    return fields;
}

DngInfo FrameDngInfo(int64_t picture, std::chrono::system_clock::time_point hostTime,
                     const TextFields& fields) {
    DngInfo info;
    info.make = "Norvik";
    info.model = "2560x1920";
    info.dateTime = TiffTime(hostTime);
    info.pictureNumber = picture;
    info.fields = fields;
    for (const auto& [name, value] : fields)
        if (name == "flip_h")
            info.mirrored = value == "1";
        else if (name == "flip_v")
            info.upsideDown = value == "1";
    return info;
}

}  // namespace tools
