// Registry keys bound to settings files.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/kernel/registry.h"

namespace {

namespace reg = kernel::registry;

std::string TempPath(const char* name) {
    const char* dir = std::getenv("NORVIK_TEST_ARTIFACTS");
    std::string base = dir ? dir : "/tmp";
    std::filesystem::create_directories(base);
    return base + "/" + name + "-" + std::to_string(::getpid()) + ".reg";
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

// A binding covers its key and the keys below it, not a sibling whose name
// merely starts with the same letters: camera NV100's file never takes the
// settings of camera NV1001, and forgetting NV100 keeps NV1001's keys.
TEST(RegistryBinding, AKeysFileLeavesASiblingWithTheSameLeadingLetters) {
    const std::string path = TempPath("sibling");
    std::filesystem::remove(path);
    const std::string mine = reg::CameraKeyPathFor("NV100");
    const std::string sibling = reg::CameraKeyPathFor("NV1001");
    reg::Bind(mine, path);
    reg::SetValue(mine + "\\Settings", "Hue", reg::Value{REG_DWORD, {5, 0, 0, 0}});
    reg::SetValue(sibling + "\\Settings", "Hue", reg::Value{REG_DWORD, {9, 0, 0, 0}});
    reg::SaveKey(mine);
    const std::string text = ReadAll(path);
    EXPECT_NE(text.find("[" + mine + "\\Settings]\r\n\"Hue\"=dword:00000005"), std::string::npos)
        << text;
    EXPECT_EQ(text.find("NV1001"), std::string::npos) << text;
    reg::Unbind(mine);
    EXPECT_FALSE(reg::KeyExists(mine + "\\Settings"));
    EXPECT_TRUE(reg::KeyExists(sibling + "\\Settings"));
    EXPECT_EQ(reg::Values(sibling + "\\Settings")["Hue"].data, (std::vector<uint8_t>{9, 0, 0, 0}));
    std::filesystem::remove(path);
}

}  // namespace
