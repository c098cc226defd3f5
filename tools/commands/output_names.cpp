#include "tools/commands/output_names.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "client/camera.h"

namespace tools::commands {

using norvik::Error;

OutputPattern::OutputPattern(const std::string& pattern) : pattern_(pattern) {
    const auto slash = pattern.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : pattern.substr(0, slash + 1);
    const std::string file = slash == std::string::npos ? pattern : pattern.substr(slash + 1);
    if (file.empty())
        throw Error("-o '" + pattern + "' names a folder: give a file name, e.g. shot-%03d.png");
    if (dir.find('%') != std::string::npos)
        throw Error("-o '" + pattern +
                    "': the frame number (%d) belongs in the file name, not the folder");
    dir_ = dir;
    for (size_t i = 0; i < file.size(); ++i) {
        if (file[i] != '%') continue;
        size_t j = i + 1;
        bool zero = j < file.size() && file[j] == '0';
        if (zero) ++j;
        size_t digits = j;
        while (j < file.size() && std::isdigit(static_cast<unsigned char>(file[j]))) ++j;
        if (j >= file.size() || file[j] != 'd' || (j - digits) > 1 || (zero && j == digits))
            throw Error("-o '" + pattern + "': '" +
                        file.substr(i, std::min<size_t>(j + 1, file.size()) - i) +
                        "' is not a frame-number placeholder; write %d, or %03d for 000, 001, ...");
        if (placeholder_) throw Error("-o '" + pattern + "': only one %d placeholder is allowed");
        placeholder_ = true;
        width_ = j > digits ? file[digits] - '0' : 0;
        prefix_ = file.substr(0, i);
        suffix_ = file.substr(j + 1);
        i = j;
    }
    if (!placeholder_) {
        // Without a placeholder the number goes before the extension of
        // the file name (never a dot in the folder).
        const auto dot = file.rfind('.');
        const bool ext = dot != std::string::npos && dot > 0;
        prefix_ = (ext ? file.substr(0, dot) : file) + "-";
        suffix_ = ext ? file.substr(dot) : "";
        width_ = 4;
    }
}

std::string OutputPattern::Name(int n, int count) const {
    if (!placeholder_ && count == 1) return pattern_;
    char number[32];
    std::snprintf(number, sizeof number, "%0*d", width_, n);
    return dir_ + prefix_ + number + suffix_;
}

std::string SiblingName(const std::string& png, const std::string& extension) {
    auto dot = png.rfind('.');
    auto slash = png.rfind('/');
    bool hasExt = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
    return (hasExt ? png.substr(0, dot) : png) + extension;
}

}  // namespace tools::commands
