// Large buffers as the kernel maps them: /proc/self/smaps says where each
// mapping starts and ends and whether huge pages were asked for it.
#include "platform/kernel/large_pages.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr size_t kMB = size_t{1} << 20;

struct Mapping {
    uintptr_t start = 0, end = 0;
    bool hugePagesAsked = false;  // "hg" among its VmFlags (MADV_HUGEPAGE)
};

// Every mapping of this process.
std::vector<Mapping> Mappings() {
    std::ifstream smaps("/proc/self/smaps");
    std::vector<Mapping> all;
    for (std::string line; std::getline(smaps, line);) {
        unsigned long start = 0, end = 0;
        // A mapping's first line: "start-end perms ..."; its fields are "Name: value".
        if (std::sscanf(line.c_str(), "%lx-%lx ", &start, &end) == 2 &&
            line.find(':') > line.find(' ')) {
            all.push_back(Mapping{start, end, false});
        } else if (!all.empty() && line.rfind("VmFlags:", 0) == 0) {
            std::istringstream flags(line.substr(8));
            for (std::string f; flags >> f;) all.back().hugePagesAsked |= f == "hg";
        }
    }
    return all;
}

// The mapping that holds `address`, or none (start 0).
Mapping MappingAt(const void* address) {
    const auto at = reinterpret_cast<uintptr_t>(address);
    for (const Mapping& m : Mappings())
        if (at >= m.start && at < m.end) return m;
    return {};
}

bool HugePagesOffered() {
    std::ifstream enabled("/sys/kernel/mm/transparent_hugepage/enabled");
    std::string modes;
    std::getline(enabled, modes);
    return modes.find("[never]") == std::string::npos && !modes.empty();
}

// From 4 MB on a buffer starts on a 2 MB boundary and asks for huge pages;
// below that it takes ordinary pages and asks for none.
TEST(LargeBuffers, FromFourMegabytesOnTheyStartOnAHugePageAndAskForHugePages) {
    if (!HugePagesOffered()) GTEST_SKIP() << "the system offers no transparent huge pages";
    for (const size_t size : {4 * kMB, 4 * kMB + 1, 19 * kMB + 12345}) {
        void* p = kernel::MapLargeBuffer(size);
        ASSERT_NE(p, nullptr) << size;
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % (2 * kMB), 0u) << size;
        const Mapping m = MappingAt(p);
        ASSERT_NE(m.start, 0u) << size;
        EXPECT_TRUE(m.hugePagesAsked) << size;
        kernel::UnmapLargeBuffer(p, size);
    }
    for (const size_t size : {size_t{100}, 4 * kMB - 1}) {
        void* p = kernel::MapLargeBuffer(size);
        ASSERT_NE(p, nullptr) << size;
        EXPECT_FALSE(MappingAt(p).hugePagesAsked) << size;
        kernel::UnmapLargeBuffer(p, size);
    }
}

// Given back, nothing of a buffer stays mapped: not the rest of its last
// huge page (or page) beyond its size either.
TEST(LargeBuffers, GivenBackNothingOfThemStaysMapped) {
    for (const auto& [size, extent] :
         {std::pair{5 * kMB + 7, 6 * kMB}, std::pair{3 * kMB + 5, 3 * kMB + 4096}}) {
        auto* p = static_cast<char*>(kernel::MapLargeBuffer(size));
        ASSERT_NE(p, nullptr) << size;
        p[size - 1] = 1;  // all of it is there to write
        kernel::UnmapLargeBuffer(p, size);
        const auto start = reinterpret_cast<uintptr_t>(p);
        for (const Mapping& m : Mappings())
            EXPECT_FALSE(m.start < start + extent && m.end > start)
                << size << ": " << std::hex << m.start - start << ".." << m.end - start
                << " of it is still mapped";
    }
}

}  // namespace
