// PNG and PGM writers.
#include "tools/image_files.h"

#include <png.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

namespace tools {
namespace {

struct File {
    FILE* f;
    std::string path;
    bool keep = false;
    File(const std::string& p) : f(std::fopen(p.c_str(), "wb")), path(p) {
        if (f == nullptr) throw std::runtime_error("cannot write " + p + ": " + std::strerror(errno));
    }
    ~File() {
        if (f != nullptr) std::fclose(f);
        if (!keep) std::remove(path.c_str());
    }
    void Close() {
        bool ok = std::fflush(f) == 0 && !std::ferror(f);
        ok = std::fclose(f) == 0 && ok;
        f = nullptr;
        if (!ok) throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
        keep = true;
    }
};

void PngError(png_structp png, png_const_charp message) {
    auto* what = static_cast<std::string*>(png_get_error_ptr(png));
    *what = message;
    png_longjmp(png, 1);
}

}  // namespace

void WritePngBgra(const std::string& path, const uint8_t* bgra, int width, int height, size_t stride) {
    File file(path);
    std::string error;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &error, PngError, nullptr);
    if (png == nullptr) throw std::runtime_error("libpng could not start");
    png_infop info = png_create_info_struct(png);
    std::vector<uint8_t> rgb(static_cast<size_t>(width) * 3);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        throw std::runtime_error("cannot write " + path + ": " + error);
    }
    png_init_io(png, file.f);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_compression_level(png, 3);
    png_write_info(png, info);
    for (int y = 0; y < height; ++y) {
        const uint8_t* src = bgra + static_cast<size_t>(y) * stride;
        for (int x = 0; x < width; ++x) {
            rgb[3 * x] = src[4 * x + 2];
            rgb[3 * x + 1] = src[4 * x + 1];
            rgb[3 * x + 2] = src[4 * x];
        }
        png_write_row(png, rgb.data());
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    file.Close();
}

void WritePgm(const std::string& path, const uint8_t* grey, int width, int height, size_t stride) {
    File file(path);
    std::fprintf(file.f, "P5\n%d %d\n255\n", width, height);
    for (int y = 0; y < height; ++y) std::fwrite(grey + static_cast<size_t>(y) * stride, 1, static_cast<size_t>(width), file.f);
    file.Close();
}

}  // namespace tools
