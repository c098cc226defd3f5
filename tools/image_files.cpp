// PNG, DNG and PGM writers; the DNG reader.
#include "tools/image_files.h"

#include <png.h>
#include <sys/stat.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <vector>

#include "tools/gathered_write.h"

namespace tools {
namespace {

// Why writing `path` failed: a full disk is named as such, with the folder
// whose device is full; anything else is `why`.
std::string CannotWrite(const std::string& path, const std::string& why, int error) {
    if (error == ENOSPC) {
        const auto folder = std::filesystem::absolute(path).parent_path();
        return "cannot write " + path + ": no space left on " + folder.string();
    }
    return "cannot write " + path + ": " + why;
}

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
        if (!ok) {
            const int e = writeErrno != 0 ? writeErrno : EIO;
            throw std::runtime_error(CannotWrite(path, std::strerror(e), e));
        }
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
            throw std::runtime_error("cannot write " + path +
                                     ": it exists and is not a regular file");
        if (std::rename(temp.c_str(), path.c_str()) != 0)
            throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
        temp.clear();
    }
};

// Chosen for speed at a sensible size: zlib level 1 with the Up filter
// alone writes a full frame of the simulated scene in about 36 ms against
// 163 ms for libpng's defaults (level 6, every filter tried), for a file
// about 1.5 times as large (0.34 MB against 0.22 MB).
constexpr int kPngLevel = 1;
constexpr int kPngFilters = PNG_FILTER_UP;

// What libpng gave up on, and the system's error at that moment (a write
// that failed leaves it set).
struct PngFailure {
    std::string message;
    int error = 0;
};

void PngError(png_structp png, png_const_charp message) {
    auto* what = static_cast<PngFailure*>(png_get_error_ptr(png));
    what->error = errno;
    what->message = message;
    png_longjmp(png, 1);
}

}  // namespace

void BgraToRgb(const uint8_t* bgra, uint8_t* rgb, int pixels) {
    for (int x = 0; x < pixels; ++x) {
        rgb[3 * x] = bgra[4 * x + 2];
        rgb[3 * x + 1] = bgra[4 * x + 1];
        rgb[3 * x + 2] = bgra[4 * x];
    }
}

namespace {

// The libpng calls, with nothing in this frame that a longjmp could leave
// half-made; false with `error` set when libpng gave up.
bool EncodePng(FILE* out, const uint8_t* bgra, int width, int height, ptrdiff_t stride,
               png_text* chunks, int chunkCount, uint8_t* rgb, PngFailure* error) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, error, PngError, nullptr);
    if (png == nullptr) {
        error->message = "libpng could not start";
        return false;
    }
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, out);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_set_compression_level(png, kPngLevel);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, kPngFilters);
    if (chunkCount > 0) png_set_text(png, info, chunks, chunkCount);
    png_write_info(png, info);
    for (int y = 0; y < height; ++y) {
        BgraToRgb(bgra + static_cast<ptrdiff_t>(y) * stride, rgb, width);
        png_write_row(png, rgb);
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

void WritePngBgra(const std::string& path, const uint8_t* bgra, int width, int height,
                  ptrdiff_t stride, const TextFields& text) {
    File file(path);
    std::vector<uint8_t> rgb(static_cast<size_t>(width) * 3);
    std::vector<png_text> chunks(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        chunks[i].compression = PNG_TEXT_COMPRESSION_NONE;
        chunks[i].key = const_cast<char*>(text[i].first.c_str());
        chunks[i].text = const_cast<char*>(text[i].second.c_str());
        chunks[i].text_length = text[i].second.size();
    }
    PngFailure error;
    errno = 0;
    if (!EncodePng(file.f, bgra, width, height, stride, chunks.data(),
                   static_cast<int>(chunks.size()), rgb.data(), &error))
        throw std::runtime_error(CannotWrite(path, error.message, error.error));
    file.Close();
}

namespace {

// TIFF/EP's frame number tag, which libtiff does not know by itself.
constexpr ttag_t kImageNumberTag = 37393;
const TIFFFieldInfo kImageNumberField = {kImageNumberTag, 1, 1, TIFF_LONG,
                                         FIELD_CUSTOM,    1, 0, const_cast<char*>("ImageNumber")};

// libtiff reports through handlers; the message of the last error is kept
// for the exception. Warnings (an unknown tag in a file from elsewhere) are
// not errors.
thread_local std::string tiffError;
thread_local int tiffErrno = 0;  // the system's error when libtiff gave up
void TiffError(const char*, const char* format, va_list args) {
    tiffErrno = errno;
    char b[512];
    std::vsnprintf(b, sizeof b, format, args);
    tiffError = b;
}
void TiffWarning(const char*, const char*, va_list) {}

void QuietTiff() {
    static const bool once = [] {
        TIFFSetErrorHandler(TiffError);
        TIFFSetWarningHandler(TiffWarning);
        return true;
    }();
    (void)once;
}

// The colour-filter pattern of each of the converter's pattern numbers,
// as DNG writes it (0 red, 1 green, 2 blue, row by row).
constexpr uint8_t kPatterns[4][4] = {{1, 0, 2, 1}, {2, 1, 1, 0}, {0, 1, 1, 2}, {1, 2, 0, 1}};

std::string Description(const TextFields& fields) {
    std::string d = "norvikcam";
    for (const auto& [name, value] : fields) d += " " + name + "=" + value;
    return d;
}

}  // namespace

namespace {

// The samples are the sensor's window as it was read; the orientation tells a
// raw developer how the delivered picture was flipped from them, so it shows
// the same picture as the PNG.
uint16_t Orientation(const DngInfo& info) {
    if (info.upsideDown) return info.mirrored ? ORIENTATION_BOTRIGHT : ORIENTATION_BOTLEFT;
    return info.mirrored ? ORIENTATION_TOPRIGHT : ORIENTATION_TOPLEFT;
}

}  // namespace

void WriteDng(const std::string& path, const uint8_t* samples, int width, int height, size_t stride,
              const DngInfo& info) {
    QuietTiff();
    File file(path);  // makes the temporary file libtiff then writes by name
    tiffError.clear();
    tiffErrno = errno = 0;
    TIFF* tif = TIFFOpen(file.temp.c_str(), "w");
    if (tif == nullptr) throw std::runtime_error("cannot write " + path + ": " + tiffError);
    TIFFMergeFieldInfo(tif, &kImageNumberField, 1);
    const uint8_t dngVersion[4] = {1, 4, 0, 0}, backVersion[4] = {1, 1, 0, 0};
    const uint16_t patternDim[2] = {2, 2};
    // The sensor's colour response is not characterised: its filters are
    // taken as the sRGB primaries under D65, which is what the driver's own
    // conversion assumes too.
    const float xyzToCamera[9] = {3.2406f, -1.5372f, -0.4986f, -0.9689f, 1.8758f,
                                  0.0415f, 0.0557f,  -0.2040f, 1.0570f};
    const float neutral[3] = {static_cast<float>(info.neutral[0]),
                              static_cast<float>(info.neutral[1]),
                              static_cast<float>(info.neutral[2])};
    const float black[1] = {0};
    const uint32_t white[1] = {255};
    const std::string description = Description(info.fields);
    bool ok =
        TIFFSetField(tif, TIFFTAG_SUBFILETYPE, 0) && TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width) &&
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height) &&
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8) &&
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1) &&
        TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_NONE) &&
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_CFA) &&
        TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, std::max(1, 65536 / std::max(1, width))) &&
        TIFFSetField(tif, TIFFTAG_ORIENTATION, Orientation(info)) &&
        TIFFSetField(tif, TIFFTAG_MAKE, info.make.c_str()) &&
        TIFFSetField(tif, TIFFTAG_MODEL, info.model.c_str()) &&
        TIFFSetField(tif, TIFFTAG_UNIQUECAMERAMODEL, (info.make + " " + info.model).c_str()) &&
        TIFFSetField(tif, TIFFTAG_SOFTWARE, "norvikcam") &&
        TIFFSetField(tif, TIFFTAG_IMAGEDESCRIPTION, description.c_str()) &&
        TIFFSetField(tif, kImageNumberTag, static_cast<uint32_t>(info.pictureNumber)) &&
        TIFFSetField(tif, TIFFTAG_DNGVERSION, dngVersion) &&
        TIFFSetField(tif, TIFFTAG_DNGBACKWARDVERSION, backVersion) &&
        TIFFSetField(tif, TIFFTAG_CFAREPEATPATTERNDIM, patternDim) &&
        TIFFSetField(tif, TIFFTAG_CFAPATTERN, 4, kPatterns[2]) &&
        TIFFSetField(tif, TIFFTAG_COLORMATRIX1, 9, xyzToCamera) &&
        TIFFSetField(tif, TIFFTAG_CALIBRATIONILLUMINANT1, 21) &&  // D65
        TIFFSetField(tif, TIFFTAG_ASSHOTNEUTRAL, 3, neutral) &&
        TIFFSetField(tif, TIFFTAG_BLACKLEVEL, 1, black) &&
        TIFFSetField(tif, TIFFTAG_WHITELEVEL, 1, white);
    if (ok && !info.dateTime.empty())
        ok = TIFFSetField(tif, TIFFTAG_DATETIME, info.dateTime.c_str());
    for (int y = 0; ok && y < height; ++y)
        ok = TIFFWriteScanline(tif, const_cast<uint8_t*>(samples + static_cast<size_t>(y) * stride),
                               static_cast<uint32_t>(y), 0) == 1;
    ok = ok && TIFFFlush(tif) == 1;
    TIFFClose(tif);
    if (!ok)
        throw std::runtime_error(
            CannotWrite(path, tiffError.empty() ? "libtiff failed" : tiffError, tiffErrno));
    file.Close();
}

namespace {

// libtiff reads a directory whose values lie past the end of the file as
// if those tags were absent, and says so only in a warning: every value of
// the first directory, and the directory itself, must lie within the file.
void CheckDirectoryComplete(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
    std::vector<uint8_t> b;
    uint8_t chunk[65536];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;)
        b.insert(b.end(), chunk, chunk + n);
    std::fclose(f);
    const bool little = b.size() >= 2 && b[0] == 'I';
    auto u16 = [&](size_t at) {
        return static_cast<uint32_t>(little ? b[at] | b[at + 1] << 8 : b[at] << 8 | b[at + 1]);
    };
    auto u32 = [&](size_t at) {
        return little ? u16(at) | u16(at + 2) << 16 : u16(at) << 16 | u16(at + 2);
    };
    auto cut = [&](const std::string& what) {
        return std::runtime_error(path + ": the file is cut short (" + what +
                                  " lies past its end at " + std::to_string(b.size()) + " bytes)");
    };
    if (b.size() < 8) throw cut("the header");
    const uint64_t ifd = u32(4);
    if (ifd + 2 > b.size()) throw cut("the directory");
    const uint32_t entries = u16(static_cast<size_t>(ifd));
    if (ifd + 2 + 12ull * entries + 4 > b.size()) throw cut("the directory");
    // Bytes a value of each TIFF type takes.
    static constexpr uint8_t kTypeBytes[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};
    for (uint32_t i = 0; i < entries; ++i) {
        const size_t at = static_cast<size_t>(ifd) + 2 + 12 * i;
        const uint32_t tag = u16(at), type = u16(at + 2), count = u32(at + 4);
        const uint64_t bytes = type < sizeof kTypeBytes ? uint64_t{kTypeBytes[type]} * count : 0;
        if (bytes > 4 && u32(at + 8) + bytes > b.size())
            throw cut("the value of tag " + std::to_string(tag));
    }
}

}  // namespace

DngImage ReadDng(const std::string& path, int maxWidth, int maxHeight) {
    QuietTiff();
    CheckDirectoryComplete(path);
    tiffError.clear();
    TIFF* tif = TIFFOpen(path.c_str(), "r");
    if (tif == nullptr)
        throw std::runtime_error(path + ": not a TIFF or DNG file (" + tiffError + ")");
    std::unique_ptr<TIFF, void (*)(TIFF*)> close(tif, TIFFClose);
    auto fail = [&](const std::string& why) { return std::runtime_error(path + ": " + why); };
    uint32_t width = 0, height = 0;
    uint16_t bits = 0, samples = 0, photometric = 0, compression = 0, planar = PLANARCONFIG_CONTIG;
    uint16_t orientation = ORIENTATION_TOPLEFT;
    if (!TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width) ||
        !TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height))
        throw fail("no image size");
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_ORIENTATION, &orientation);
    if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric) || photometric != PHOTOMETRIC_CFA)
        throw fail("not a colour-filter (raw) image");
    if (bits != 8 || samples != 1 || planar != PLANARCONFIG_CONTIG)
        throw fail("only 8-bit samples in one plane are a frame of this camera");
    if (compression != COMPRESSION_NONE)
        throw fail("compressed raw data is not a frame of this camera");
    if (width < 1 || height < 1 || width > static_cast<uint32_t>(maxWidth) ||
        height > static_cast<uint32_t>(maxHeight))
        throw fail("a " + std::to_string(width) + "x" + std::to_string(height) +
                   " image is not a window of the " + std::to_string(maxWidth) + "x" +
                   std::to_string(maxHeight) + " sensor");
    if (orientation != ORIENTATION_TOPLEFT && orientation != ORIENTATION_TOPRIGHT &&
        orientation != ORIENTATION_BOTLEFT && orientation != ORIENTATION_BOTRIGHT)
        throw fail("orientation " + std::to_string(orientation) + " is not one this camera writes");
    uint16_t* dim = nullptr;
    uint16_t count = 0;
    uint8_t* pattern = nullptr;
    if (!TIFFGetField(tif, TIFFTAG_CFAREPEATPATTERNDIM, &dim) || dim == nullptr || dim[0] != 2 ||
        dim[1] != 2 || !TIFFGetField(tif, TIFFTAG_CFAPATTERN, &count, &pattern) || count != 4 ||
        pattern == nullptr)
        throw fail("no 2 x 2 colour-filter pattern");
    DngImage image;
    image.bayerPhase = -1;
    for (int k = 0; k < 4; ++k)
        if (std::equal(pattern, pattern + 4, kPatterns[k])) image.bayerPhase = k;
    if (image.bayerPhase < 0)
        throw fail("the colour-filter pattern is not a red-green-green-blue mosaic");
    image.width = static_cast<int>(width);
    image.height = static_cast<int>(height);
    image.info.mirrored =
        orientation == ORIENTATION_TOPRIGHT || orientation == ORIENTATION_BOTRIGHT;
    image.info.upsideDown =
        orientation == ORIENTATION_BOTLEFT || orientation == ORIENTATION_BOTRIGHT;
    if (TIFFScanlineSize(tif) != static_cast<tmsize_t>(width))
        throw fail("rows of an unexpected size");
    image.samples.resize(static_cast<size_t>(width) * height);
    for (uint32_t y = 0; y < height; ++y)
        if (TIFFReadScanline(tif, image.samples.data() + static_cast<size_t>(y) * width, y, 0) != 1)
            throw fail("the samples are cut short or unreadable (" + tiffError + ")");
    char* text = nullptr;
    if (TIFFGetField(tif, TIFFTAG_MAKE, &text) && text) image.info.make = text;
    if (TIFFGetField(tif, TIFFTAG_MODEL, &text) && text) image.info.model = text;
    if (TIFFGetField(tif, TIFFTAG_DATETIME, &text) && text) image.info.dateTime = text;
    // The settings this tool wrote, "name=value" words after "norvikcam".
    if (TIFFGetField(tif, TIFFTAG_IMAGEDESCRIPTION, &text) && text &&
        std::strncmp(text, "norvikcam ", 10) == 0) {
        std::string d(text + 10);
        size_t at = 0;
        while (at < d.size()) {
            size_t end = d.find(' ', at);
            if (end == std::string::npos) end = d.size();
            const std::string word = d.substr(at, end - at);
            const size_t eq = word.find('=');
            if (eq != std::string::npos && eq > 0)
                image.info.fields.emplace_back(word.substr(0, eq), word.substr(eq + 1));
            at = end + 1;
        }
    }
    return image;
}

namespace {

// A file's whole contents in gathered writes on the file's descriptor.
void WriteFile(const std::string& path, const std::string& head, const Rows& rows) {
    File file(path);
    if (int e = WriteGathered(::fileno(file.f), head.data(), head.size(), rows))
        throw std::runtime_error(CannotWrite(path, std::strerror(e), e));
    file.Close();
}

}  // namespace

void WritePgm(const std::string& path, const uint8_t* grey, int width, int height, size_t stride) {
    WriteFile(path, "P5\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n",
              {grey, static_cast<ptrdiff_t>(stride), static_cast<size_t>(width),
               static_cast<size_t>(height)});
}

void WriteBytes(const std::string& path, const uint8_t* data, size_t rowBytes, size_t rows,
                size_t stride) {
    WriteFile(path, {}, {data, static_cast<ptrdiff_t>(stride), rowBytes, rows});
}

}  // namespace tools
