// Arithmetic shared by every instruction set, and the kernel selection.
#include <atomic>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "imaging/bayer.h"
#include "imaging/kernels.h"

void WhiteBalanceFromSums(ULONG sumR, ULONG sumG, ULONG sumB, LONG* red, LONG* green, LONG* blue) {
    if (sumR == 0 || sumG == 0 || sumB == 0) return;
    double s = static_cast<double>(sumG) + sumR + sumB;
    double e = s / sumG / 3.0;
    double r = s / sumR / 3.0 * 128.0 / e;
    double b = s / sumB / 3.0 * 128.0 / e;
    // A nearly empty channel asks for a huge gain. The kernels take the low
    // 16 bits of a gain, so 65536 would turn the channel black, and the
    // gains are copied back into the settings, whose range is 1..512: an
    // estimate is held to that range like a gain set by hand.
    auto limit = [](double g) { return g >= 512.0 ? LONG{512} : g < 1.0 ? LONG{1} : static_cast<LONG>(g); };
    *red = limit(r);
    *blue = limit(b);
    *green = 128;
}

bool ColorSumsFit16Bits(const ImageProcessor* ip) {
    auto mag = [ip](int i, int j) {
        LONG m = ip->frameMatrix[i][j];
        return static_cast<uint32_t>(m < 0 ? -static_cast<int64_t>(m) : m) & 0xFFFF;
    };
    for (int j = 0; j < 3; ++j)
        if (255 * (mag(0, j) + mag(1, j) + mag(2, j)) + mag(3, j) > 65535) return false;
    return true;
}

namespace {
std::atomic<const KernelSet*> active{nullptr};

// The best set, or the one NORVIKCAM_KERNELS names; a name no set has is
// reported once and the best set used.
const KernelSet& DefaultKernels() {
    static const KernelSet* chosen = [] {
        const auto& wide = WideKernelSets();
        // x86-64 always has SSE2.
        const KernelSet* best = wide.empty() ? &Sse2Kernels() : wide.front();
        const char* forced = std::getenv("NORVIKCAM_KERNELS");
        if (forced == nullptr || *forced == 0) return best;
        if (const KernelSet* named = KernelSetNamed(forced)) return named;
        std::string names;
        for (const KernelSet* k : AvailableKernelSets()) names += std::string(names.empty() ? "" : ", ") + k->name;
        std::fprintf(stderr, "NORVIKCAM_KERNELS=%s: no such kernel set here (%s); using %s\n", forced, names.c_str(),
                     best->name);
        return best;
    }();
    return *chosen;
}
}  // namespace

const KernelSet& KernelsFor(KernelIsa isa) { return isa == KernelIsa::Scalar ? ScalarKernels() : Sse2Kernels(); }

std::vector<const KernelSet*> AvailableKernelSets() {
    std::vector<const KernelSet*> sets = WideKernelSets();
    sets.push_back(&Sse2Kernels());
    sets.push_back(&ScalarKernels());
    return sets;
}

const KernelSet* KernelSetNamed(const std::string& name) {
    auto lower = [](std::string s) {
        for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return s;
    };
    for (const KernelSet* k : AvailableKernelSets())
        if (lower(k->name) == lower(name)) return k;
    return nullptr;
}

const KernelSet& ActiveKernels() {
    const KernelSet* k = active.load(std::memory_order_acquire);
    return k != nullptr ? *k : DefaultKernels();
}

void SelectKernels(KernelIsa isa) { active.store(&KernelsFor(isa), std::memory_order_release); }
void SelectKernels(const KernelSet& set) { active.store(&set, std::memory_order_release); }
void UseDefaultKernels() { active.store(nullptr, std::memory_order_release); }
