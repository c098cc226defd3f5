// What the files of a captured frame say about it: the camera's settings,
// the capture time, and the DNG record built from them. Shared by capture
// and the viewer's snapshot.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "client/camera.h"
#include "tools/image_files.h"

namespace tools {

// "2026-12-08T03:04:05.678Z"
std::string IsoTime(std::chrono::system_clock::time_point t);
// DNG's DateTime: local time, to the second.
std::string TiffTime(std::chrono::system_clock::time_point t);
// The window and every setting that shapes the picture, as name=value.
TextFields CaptureSettings(norvik::Camera& cam);
// The DNG record of a frame: maker, model, time, picture number, the flip
// and every field in the description.
DngInfo FrameDngInfo(int64_t picture, std::chrono::system_clock::time_point hostTime,
                     const TextFields& fields);

}  // namespace tools
