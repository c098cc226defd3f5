// A first look at what is built: a camera added through the device host with
// its defaults and offered format, and one frame of the test scene through
// the image pipeline, written as PNG files.
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <vector>

#include "camera/readout_window.h"
#include "driver/camera_device.h"
#include "driver/driver_entry.h"
#include "imaging/image_processor.h"
#include "platform/kernel/pool.h"
#include "platform/ks/device_host.h"
#include "sim/test_scene.h"
#include "tools/image_files.h"

namespace {

void ConvertAndWrite(const std::vector<UCHAR>& raw, LONG colorEnable, const std::string& path) {
    ImageProcessor* p = CreateImageProcessor();
    if (p == nullptr) throw std::runtime_error("out of memory");
    SetBayerPhase(p, 2);
    SetColorEnable(p, colorEnable);
    SetGeometry(p, 2560, 1920);
    AllocateWorkingBuffer(p);
    std::vector<UCHAR> out(2560 * 1920 * 4);
    p->outputBuffer = out.data();
    ConvertFrame(p, raw.data(), 0, 2560);
    p->outputBuffer = nullptr;
    FreeImageProcessor(p);
    tools::WritePngBgra(path, out.data(), 2560, 1920, 2560 * 4);
    std::printf("wrote %s (2560 x 1920)\n", path.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    std::string dir = argc > 1 ? argv[1] : "out";
    try {
        std::filesystem::create_directories(dir);
        PDRIVER_OBJECT bus = kernel::CreateDriverObject("bus");
        PDEVICE_OBJECT lower = kernel::CreateDeviceObject(bus, 1, nullptr);
        {
            ks::DeviceHost host(DriverEntry);
            NTSTATUS status = STATUS_UNSUCCESSFUL;
            auto device = host.Add(lower, &status);
            if (!device) throw std::runtime_error("device add failed");
            auto* camera = static_cast<CameraDevice*>(device->Device()->Context);
            std::printf("camera added: window %dx%d at (%d,%d), time-out %u ms, gains %d/%d/%d\n", camera->RoiW,
                        camera->RoiH, camera->RoiX, camera->RoiY, camera->Timeout, camera->RedGain,
                        camera->GreenGain, camera->BlueGain);
            const auto& bmi = OfferedDataRange.VideoInfoHeader.bmiHeader;
            std::printf("offered format: RGB32 %dx%d, %u bytes a frame, 30 frames/s\n", bmi.biWidth, bmi.biHeight,
                        bmi.biSizeImage);
        }
        kernel::DeleteDeviceObject(lower);
        kernel::DeleteDriverObject(bus);

        std::vector<UCHAR> raw(2560 * 1920);
        sim::RenderMosaic(0, 1.0, raw.data(), 2560);
        ConvertAndWrite(raw, 1, dir + "/scene-color.png");
        ConvertAndWrite(raw, 0, dir + "/scene-grey.png");
        if (kernel::pool::TotalUsage().blocks != 0) {
            std::fprintf(stderr, "pool blocks left: %s\n", kernel::pool::DescribeLive().c_str());
            return 1;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "norvikcam-demo: %s\n", e.what());
        return 1;
    }
    return 0;
}
