// The kernel selection: which set ConvertFrame runs, chosen once from what
// this processor runs and NORVIKCAM_KERNELS, unless a test or benchmark
// selected one.
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "imaging/kernels.h"

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
        for (const KernelSet* k : AvailableKernelSets())
            names += std::string(names.empty() ? "" : ", ") + k->name;
        std::fprintf(stderr, "NORVIKCAM_KERNELS=%s: no such kernel set here (%s); using %s\n",
                     forced, names.c_str(), best->name);
        return best;
    }();
    return *chosen;
}
}  // namespace

const KernelSet& KernelsFor(KernelIsa isa) {
    return isa == KernelIsa::Scalar ? ScalarKernels() : Sse2Kernels();
}

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

void SelectKernels(KernelIsa isa) {
    active.store(&KernelsFor(isa), std::memory_order_release);
}
void SelectKernels(const KernelSet& set) {
    active.store(&set, std::memory_order_release);
}
void UseDefaultKernels() {
    active.store(nullptr, std::memory_order_release);
}
