// Full-frame conversion: every kernel set this processor runs against the
// scalar reference of the same arithmetic, with a memcpy of the output as
// the physical floor.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "imaging/image_processor.h"
#include "imaging/kernels.h"
#include "platform/kernel/pool.h"

namespace {

constexpr ULONG kWidth = 2560, kHeight = 1920;
constexpr ULONG kOutTag = PoolTag("Bout");

struct Frame {
    std::vector<UCHAR> raw;
    ImageProcessor* p;
    Frame() : raw(static_cast<size_t>(kWidth) * 2080) {
        std::mt19937 rng(1);
        for (auto& b : raw) b = static_cast<UCHAR>(rng());
        p = CreateImageProcessor();
        SetBayerPhase(p, 2);
        SetGeometry(p, kWidth, kHeight);
        AllocateWorkingBuffer(p);
        p->outputBuffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, kWidth * kHeight * 4, kOutTag));
    }
    ~Frame() {
        ExFreePoolWithTag(p->outputBuffer, kOutTag);
        p->outputBuffer = nullptr;
        FreeImageProcessor(p);
    }
};

void Report(benchmark::State& state) {
    // Printed with an SI prefix: "12.3m" is 12.3 ms per frame.
    state.counters["seconds_per_frame"] = benchmark::Counter(
        static_cast<double>(state.iterations()), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["Mpixel_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()) * kWidth * kHeight / 1e6,
                                                        benchmark::Counter::kIsRate);
}

void Convert(benchmark::State& state, const KernelSet* set, bool color, bool estimate) {
    Frame f;
    SelectKernels(*set);
    SetColorEnable(f.p, color ? 1 : 0);
    SetWhiteBalance(f.p, estimate ? 1 : 0);
    uint64_t allocationsBefore = kernel::pool::AllocationCount();
    for (auto _ : state) {
        ConvertFrame(f.p, f.raw.data(), 0, kWidth);
        benchmark::DoNotOptimize(f.p->outputBuffer[0]);
        benchmark::ClobberMemory();
    }
    state.counters["allocations_per_frame"] =
        static_cast<double>(kernel::pool::AllocationCount() - allocationsBefore) / static_cast<double>(state.iterations());
    UseDefaultKernels();
    Report(state);
}

void BM_MemcpyOutputFloor(benchmark::State& state) {
    std::vector<UCHAR> a(static_cast<size_t>(kWidth) * kHeight * 4, 1), b(a.size());
    for (auto _ : state) {
        std::memcpy(b.data(), a.data(), a.size());
        benchmark::DoNotOptimize(b.data());
        benchmark::ClobberMemory();
    }
    Report(state);
}

BENCHMARK(BM_MemcpyOutputFloor)->Unit(benchmark::kMillisecond);

// One row per kernel set this processor runs (NORVIKCAM_KERNELS does not
// apply here: every set is measured).
void RegisterConversions() {
    struct Kind {
        const char* name;
        bool color, estimate;
    };
    for (const Kind& kind : {Kind{"Color", true, false}, Kind{"Grey", false, false}, Kind{"ColorEstimate", true, true}})
        for (const KernelSet* set : AvailableKernelSets())
            benchmark::RegisterBenchmark((std::string("BM_Convert") + kind.name + "/" + set->name).c_str(),
                                         [set, kind](benchmark::State& st) { Convert(st, set, kind.color, kind.estimate); })
                ->Unit(benchmark::kMillisecond);
}

}  // namespace

int main(int argc, char** argv) {
    RegisterConversions();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
