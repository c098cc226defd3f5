// The files a capture writes: the -o pattern's names, and the raw file
// beside each PNG.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace tools::commands {

// The -o pattern: a file name with at most one placeholder, %d or %0Nd
// (N up to 9), in the file name part. Nothing else is read as a format.
class OutputPattern {
  public:
    // Throws for a pattern that is no file name, or with a placeholder
    // that is not one.
    explicit OutputPattern(const std::string& pattern);

    // A single frame without a placeholder is written under the name given.
    std::string Name(int n, int count) const;

  private:
    std::string pattern_, dir_, prefix_, suffix_;
    bool placeholder_ = false;
    int width_ = 0;
};

// The raw image's file beside a frame's PNG: the same name with `extension`.
std::string SiblingName(const std::string& png, const std::string& extension);

// The extension of a file name, lower case and without the dot; empty when
// the file name has none.
std::string Extension(const std::string& path);

// The format a file is written in: `given` (the --format option) when set,
// else the name's extension, else `fallback`. Throws when the extension is
// not one of `accepted` or disagrees with `given`, listing what is accepted.
std::string FormatOf(const std::string& path, const std::string& given,
                     const std::vector<std::string>& accepted, const std::string& fallback);

// Throws unless `path` can be written: a file name (not ".", "..", "-" or a
// folder) in a folder that exists.
void CheckWritable(const std::string& path, const std::string& what);

// Throws when two of `paths` name the same file, or one of them names the
// same file as `input` (also through a link); `what` names each path's option.
void CheckDistinct(const std::vector<std::pair<std::string, std::string>>& paths);

}  // namespace tools::commands
