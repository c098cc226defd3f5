// A program as a user writes it against the installed library: it opens the
// simulated camera, takes one frame and catches one of the library's errors.
#include <norvikcam/camera.h>

#include <chrono>
#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    norvik::OpenOptions options;
    options.settingsPath = std::string(argv[1]) + "/settings.reg";
    options.lockDirectory = argv[1];
    auto cam = norvik::Camera::Open(options);
    cam->SetWindow(0, 0, 640, 480);
    cam->StartStreaming();
    auto frame = cam->NextFrame(std::chrono::seconds(30));
    if (!frame) return 3;
    std::printf("frame %dx%d\n", frame->width, frame->height);
    try {
        cam->Set("hue", 100000);
    } catch (const norvik::Error& e) {
        std::printf("refused: %s\n",
                    e.Kind() == norvik::ErrorKind::InvalidArgument ? "invalid" : "other");
    }
    frame.reset();
    cam->Close();
    return 0;
}
