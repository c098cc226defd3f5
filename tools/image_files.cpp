// PNG and PGM writers.
#include "tools/image_files.h"

#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

namespace tools {
namespace {

// An output file written under a temporary name of its own in the same
// folder and renamed to its name only when complete: a failed or
// interrupted write never leaves a torn file under the final name, and on
// failure only the temporary file this process made is removed.
struct File {
    FILE* f = nullptr;
    std::string path, temp;
    explicit File(const std::string& p) : path(p) {
        const auto slash = p.rfind('/');
        const std::string dir = slash == std::string::npos ? "" : p.substr(0, slash + 1);
        const std::string name = slash == std::string::npos ? p : p.substr(slash + 1);
        if (name.empty()) throw std::runtime_error("cannot write " + p + ": no file name");
        temp = dir + "." + name + ".XXXXXX";
        int fd = ::mkstemp(temp.data());
        if (fd < 0) throw std::runtime_error("cannot write " + p + ": " + std::strerror(errno));
        const mode_t mask = ::umask(0);
        ::umask(mask);
        ::fchmod(fd, 0666 & ~mask);
        f = ::fdopen(fd, "wb");
        if (f == nullptr) {
            const int e = errno;
            ::close(fd);
            ::unlink(temp.c_str());
            throw std::runtime_error("cannot write " + p + ": " + std::strerror(e));
        }
    }
    ~File() {
        if (f != nullptr) std::fclose(f);
        if (!temp.empty()) ::unlink(temp.c_str());
    }
    void Close() {
        bool ok = std::fflush(f) == 0 && !std::ferror(f);
        const int writeErrno = errno;
        ok = std::fclose(f) == 0 && ok;
        f = nullptr;
        if (!ok) throw std::runtime_error("cannot write " + path + ": " + std::strerror(writeErrno != 0 ? writeErrno : EIO));
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
            throw std::runtime_error("cannot write " + path + ": it exists and is not a regular file");
        if (std::rename(temp.c_str(), path.c_str()) != 0)
            throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
        temp.clear();
    }
};

void PngError(png_structp png, png_const_charp message) {
    auto* what = static_cast<std::string*>(png_get_error_ptr(png));
    *what = message;
    png_longjmp(png, 1);
}

}  // namespace

void WritePngBgra(const std::string& path, const uint8_t* bgra, int width, int height, ptrdiff_t stride) {
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
        const uint8_t* src = bgra + static_cast<ptrdiff_t>(y) * stride;
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

void WriteBytes(const std::string& path, const uint8_t* data, size_t rowBytes, size_t rows, size_t stride) {
    File file(path);
    for (size_t y = 0; y < rows; ++y) std::fwrite(data + y * stride, 1, rowBytes, file.f);
    file.Close();
}

}  // namespace tools
