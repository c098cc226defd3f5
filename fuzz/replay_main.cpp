// Runs a fuzz target's entry point over every file in the folders (or the
// files) given: the seed corpus and every input that ever crashed or hung
// a target. Built without libFuzzer, so the plain and sanitizer builds run
// it as part of the test suite.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
// A target that keeps something running between inputs (a camera, a server)
// defines this to stop it before the program exits.
extern "C" __attribute__((weak)) void NorvikFuzzEnd();

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        if (fs::is_directory(argv[i])) {
            for (const auto& e : fs::directory_iterator(argv[i]))
                if (e.is_regular_file()) files.push_back(e.path());
        } else if (fs::is_regular_file(argv[i])) {
            files.emplace_back(argv[i]);
        }
    }
    std::sort(files.begin(), files.end());
    for (const auto& f : files) {
        std::ifstream in(f, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
        std::printf("%s\n", f.c_str());
        std::fflush(stdout);
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    if (NorvikFuzzEnd != nullptr) NorvikFuzzEnd();
    std::printf("replayed %zu inputs\n", files.size());
    return files.empty() ? 1 : 0;  // an empty corpus means the paths are wrong
}
