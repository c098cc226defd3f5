#include "tools/commands/output_names.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <map>

#include "tools/commands/common.h"

namespace tools::commands {

OutputPattern::OutputPattern(const std::string& pattern) : pattern_(pattern) {
    const auto slash = pattern.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : pattern.substr(0, slash + 1);
    const std::string file = slash == std::string::npos ? pattern : pattern.substr(slash + 1);
    if (file.empty())
        throw UsageError("-o '" + pattern +
                         "' names a folder: give a file name, e.g. shot-%03d.png");
    if (dir.find('%') != std::string::npos)
        throw UsageError("-o '" + pattern +
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
            throw UsageError(
                "-o '" + pattern + "': '" +
                file.substr(i, std::min<size_t>(j + 1, file.size()) - i) +
                "' is not a frame-number placeholder; write %d, or %03d for 000, 001, ...");
        if (placeholder_)
            throw UsageError("-o '" + pattern + "': only one %d placeholder is allowed");
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

std::string Extension(const std::string& path) {
    const std::string file = std::filesystem::path(path).filename().string();
    const auto dot = file.rfind('.');
    if (dot == std::string::npos || dot == 0) return "";
    std::string e = file.substr(dot + 1);
    for (char& ch : e) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return e;
}

std::string FormatOf(const std::string& path, const std::string& given,
                     const std::vector<std::string>& accepted, const std::string& fallback) {
    std::string list;
    for (const auto& a : accepted) list += (list.empty() ? "." : ", .") + a;
    const std::string e = Extension(path);
    const bool known = std::find(accepted.begin(), accepted.end(), e) != accepted.end();
    if (!e.empty() && !known)
        throw UsageError(path + ": no writer makes ." + e + " files; the names accepted end in " +
                         list);
    if (!given.empty() && !e.empty() && e != given)
        throw UsageError(path + ": the name ends in ." + e + " but the format is " + given +
                         "; name the file ." + given + " or leave --format out");
    return !given.empty() ? given : !e.empty() ? e : fallback;
}

void CheckWritable(const std::string& path, const std::string& what) {
    const std::filesystem::path p(path);
    const std::string file = p.filename().string();
    if (path == "-")
        throw UsageError(what + " '-': standard output is not written here; give a file name");
    if (file.empty() || file == "." || file == "..")
        throw UsageError(what + " '" + path + "' names a folder: give a file name");
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        throw Error(what + " '" + path + "' is a folder: give a file name");
    const std::string dir = p.parent_path().empty() ? "." : p.parent_path().string();
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        throw Error(what + " '" + path + "': there is no folder " + dir);
    if (::access(dir.c_str(), W_OK) != 0)
        throw Error(what + " '" + path + "': the folder " + dir + " cannot be written");
}

void CheckDistinct(const std::vector<std::pair<std::string, std::string>>& paths) {
    // An existing file is known by its inode, so a link to it is the same
    // file; a name still to be made by its folder, links resolved, and name.
    std::map<std::string, std::string> folders;  // as given -> resolved
    std::map<std::string, size_t> seen;
    for (size_t i = 0; i < paths.size(); ++i) {
        const std::string& path = paths[i].second;
        std::string key;
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0) {
            key = "inode " + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
        } else {
            const std::filesystem::path p(path);
            const std::string dir = p.parent_path().string();
            auto at = folders.find(dir);
            if (at == folders.end()) {
                std::error_code ec;
                auto resolved = std::filesystem::weakly_canonical(dir.empty() ? "." : dir, ec);
                at = folders.emplace(dir, ec ? dir : resolved.string()).first;
            }
            key = at->second + "/" + p.filename().string();
        }
        auto [before, fresh] = seen.emplace(key, i);
        if (!fresh) {
            const auto& [whatA, pathA] = paths[before->second];
            const auto& [whatB, pathB] = paths[i];
            throw UsageError(whatA + " " + pathA + " and " + whatB + " " + pathB +
                             " are the same file: one would replace the other");
        }
    }
}

}  // namespace tools::commands
