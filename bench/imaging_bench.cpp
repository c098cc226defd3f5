// Full-frame conversion: every kernel set this processor runs against the
// scalar reference of the same arithmetic, with a memcpy of the output as
// the physical floor.
#include <benchmark/benchmark.h>

#ifdef NORVIK_HAVE_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "imaging/band_workers.h"
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
        p->outputBuffer =
            static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, kWidth * kHeight * 4, kOutTag));
    }
    ~Frame() {
        ExFreePoolWithTag(p->outputBuffer, kOutTag);
        p->outputBuffer = nullptr;
        FreeImageProcessor(p);
    }
};

void Report(benchmark::State& state) {
    // Printed with an SI prefix: "12.3m" is 12.3 ms per frame.
    state.counters["seconds_per_frame"] =
        benchmark::Counter(static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["Mpixel_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kWidth * kHeight / 1e6,
                           benchmark::Counter::kIsRate);
}

void Convert(benchmark::State& state, const KernelSet* set, int threads, bool color,
             bool estimate) {
    Frame f;
    SelectKernels(*set);
    SetConversionThreads(f.p, threads);
    ConvertFrame(f.p, f.raw.data(), 0, kWidth);  // the helper threads start outside the timing
    SetColorEnable(f.p, color ? 1 : 0);
    SetWhiteBalance(f.p, estimate ? 1 : 0);
    uint64_t allocationsBefore = kernel::pool::AllocationCount();
    for (auto _ : state) {
        ConvertFrame(f.p, f.raw.data(), 0, kWidth);
        benchmark::DoNotOptimize(f.p->outputBuffer[0]);
        benchmark::ClobberMemory();
    }
    state.counters["allocations_per_frame"] =
        static_cast<double>(kernel::pool::AllocationCount() - allocationsBefore) /
        static_cast<double>(state.iterations());
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

#ifdef NORVIK_HAVE_OPENCV
// What a user might pick instead: OpenCV's bilinear demosaic, a 3 x 4 colour
// transform and BGR to BGRA, on the same frame, on one thread and on all.
void BM_OpenCvPipeline(benchmark::State& state) {
    cv::setNumThreads(static_cast<int>(state.range(0)));
    Frame f;
    cv::Mat raw(static_cast<int>(kHeight), static_cast<int>(kWidth), CV_8UC1, f.raw.data());
    cv::Mat bgr, mixed, bgra;
    const cv::Matx34f m(1.2f, -0.1f, -0.1f, 2.0f, -0.1f, 1.2f, -0.1f, 2.0f, -0.1f, -0.1f, 1.2f,
                        2.0f);
    for (auto _ : state) {
        cv::cvtColor(raw, bgr, cv::COLOR_BayerRG2BGR);
        cv::transform(bgr, mixed, m);
        cv::cvtColor(mixed, bgra, cv::COLOR_BGR2BGRA);
        benchmark::DoNotOptimize(bgra.data);
        benchmark::ClobberMemory();
    }
    Report(state);
}
BENCHMARK(BM_OpenCvPipeline)
    ->Arg(1)
    ->Arg(DefaultConversionThreads())
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
#endif

// One row per kernel set this processor runs (NORVIKCAM_KERNELS does not
// apply here: every set is measured).
void RegisterConversions() {
    struct Kind {
        const char* name;
        bool color, estimate;
    };
    const int cores = DefaultConversionThreads();
    for (const Kind& kind : {Kind{"Color", true, false}, Kind{"Grey", false, false},
                             Kind{"ColorEstimate", true, true}})
        for (const KernelSet* set : AvailableKernelSets())
            for (int threads = 1; threads <= cores; ++threads) {
                // The reference on one thread only: it is there for the ratio.
                if (set == &ScalarKernels() && threads > 1) continue;
                const std::string name = std::string("BM_Convert") + kind.name + "/" + set->name +
                                         "/threads:" + std::to_string(threads);
                benchmark::RegisterBenchmark(name.c_str(),
                                             [set, kind, threads](benchmark::State& st) {
                                                 Convert(st, set, threads, kind.color,
                                                         kind.estimate);
                                             })
                    ->Unit(benchmark::kMillisecond)
                    ->UseRealTime();
            }
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
