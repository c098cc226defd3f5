// The settings store's text: any bytes as a settings file. A file that
// loads must save, and what was saved must load back to the same store.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/kernel/registry.h"

namespace reg = kernel::registry;

namespace {
std::string Scratch(const char* name) {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/norvikcam-fuzz-" +
           std::to_string(::getpid()) + "-" + name;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string input = Scratch("in.reg"), copy = Scratch("copy.reg");
    std::ofstream(input, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    std::remove(copy.c_str());
    try {
        reg::Load(input);
    } catch (const reg::ParseError&) {
        return 0;  // refused with a line number: what a bad file should get
    } catch (const reg::FileError&) {
        return 0;
    }
    const std::string loaded = reg::ExportText();
    reg::Reset();
    std::ofstream(copy, std::ios::binary | std::ios::trunc) << loaded;
    reg::Load(copy);  // what a save writes must load: an exception here is a fault found
    if (reg::ExportText() != loaded) {
        std::fprintf(stderr, "the saved text does not load back to the same store\n");
        std::abort();
    }
    reg::Save();
    reg::Load(copy);
    if (reg::ExportText() != loaded) {
        std::fprintf(stderr, "a save changed the store\n");
        std::abort();
    }
    reg::Reset();
    return 0;
}
