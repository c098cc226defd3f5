// The files a capture writes: the -o pattern's names, and the raw file
// beside each PNG.
#pragma once

#include <string>

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

}  // namespace tools::commands
