// The command-line tool as a user runs it: spawned as a process in a
// folder of its own, with its own config and lock folders.
#pragma once

#include <gtest/gtest.h>
#include <png.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

class Cli : public testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("norvikcam-cli-" + std::to_string(::getpid()) + "-" +
               testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        fs::create_directories(dir / "run");
    }
    void TearDown() override { fs::remove_all(dir); }

    // The environment every run gets: its own config folder, and its own
    // folder of camera locks, so a tool a developer runs meanwhile is not
    // taken for a second owner.
    std::string Env() const {
        return "cd " + dir.string() + " && export XDG_CONFIG_HOME=" + (dir / "cfg").string() +
               " XDG_RUNTIME_DIR=" + (dir / "run").string() + "; ";
    }
    // Runs the tool; returns its exit status, with stdout and stderr kept.
    int Run(const std::string& args) {
        std::string cmd = Env() + NORVIKCAM_BINARY + " " + args + " > out.txt 2> err.txt";
        int status = std::system(cmd.c_str());
        out = Read(dir / "out.txt");
        err = Read(dir / "err.txt");
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // Runs a shell line in the same environment; `tool` in it stands for the
    // tool's path. Its standard output and error go to out and err.
    int Shell(std::string line) {
        for (size_t at; (at = line.find("tool ")) != std::string::npos;)
            line.replace(at, 4, NORVIKCAM_BINARY);
        std::string cmd = Env() + "{ " + line + "; } > out.txt 2> err.txt";
        int status = std::system(cmd.c_str());
        out = Read(dir / "out.txt");
        err = Read(dir / "err.txt");
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    static std::string Read(const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), {});
    }
    // Width and height from a PNG's header; 0, 0 when it is not one.
    static std::pair<uint32_t, uint32_t> PngSize(const fs::path& p) {
        std::string s = Read(p);
        if (s.size() < 24 || s.compare(1, 3, "PNG") != 0) return {0, 0};
        auto be = [&](size_t at) {
            return static_cast<uint32_t>(
                static_cast<uint8_t>(s[at]) << 24 | static_cast<uint8_t>(s[at + 1]) << 16 |
                static_cast<uint8_t>(s[at + 2]) << 8 | static_cast<uint8_t>(s[at + 3]));
        };
        return {be(16), be(20)};
    }
    // A PNG's pixels as blue-green-red-alpha, top row first; empty when it
    // does not decode.
    static std::vector<uint8_t> PngPixels(const fs::path& p, uint32_t* width) {
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        if (!png_image_begin_read_from_file(&image, p.c_str())) return {};
        image.format = PNG_FORMAT_BGRA;
        std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image));
        if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) return {};
        *width = image.width;
        return pixels;
    }
    fs::path dir;
    std::string out, err;
};
