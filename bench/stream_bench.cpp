// End to end: full-resolution frames delivered through the client API to a
// reader that takes every frame, from the simulated camera unpaced and
// repeating a few scene frames, so what is measured is the driver, the
// conversion and the delivery. Reports frames per second, CPU time per
// frame and allocations per frame (the pool's and the heap's).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>

#include "client/camera.h"
#include "client/camera_internal.h"
#include "platform/kernel/pool.h"
#include "tests/support/counting_new.h"

namespace {

// The driver's request blocks: its URBs and slots, the platform's IRPs and MDLs.
constexpr ULONG kRequestTags[] = {PoolTag("Nvrk"), PoolTag("Irp "), PoolTag("Mdl ")};
uint64_t RequestBlocks() {
    uint64_t n = 0;
    for (ULONG tag : kRequestTags) n += kernel::pool::AllocationCount(tag);
    return n;
}

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

void BM_StreamFullResolution(benchmark::State& state) {
    norvik::OpenOptions o;
    o.simulatedFps = 0;
    o.lockDirectory = (std::filesystem::temp_directory_path() / "norvikcam-bench-locks").string();
    auto cam = norvik::CameraAccess::Open(o, {.cycle = 4});
    cam->StartStreaming(false, static_cast<int>(state.range(0)));
    // The first frames start the threads and fill the cycle outside the timing.
    for (int i = 0; i < 8; ++i) cam->NextFrame(std::chrono::seconds(10));
    const uint64_t heapBefore = HeapAllocations();
    const uint64_t readerBefore = ThreadHeapAllocations();
    const uint64_t poolBefore = kernel::pool::AllocationCount();
    const uint64_t requestsBefore = RequestBlocks();
    const double cpuBefore = CpuSeconds();
    uint64_t frames = 0, sum = 0;
    for (auto _ : state) {
        auto f = cam->NextFrame(std::chrono::seconds(10));
        if (!f) {
            state.SkipWithError("no frame within 10 s");
            break;
        }
        sum += f->Row(f->height / 2)[0];  // the reader looks at the frame
        ++frames;
    }
    const double cpu = CpuSeconds() - cpuBefore;
    benchmark::DoNotOptimize(sum);
    const double n = frames == 0 ? 1.0 : static_cast<double>(frames);
    state.counters["frames_per_s"] =
        benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
    state.counters["cpu_ms_per_frame"] = cpu * 1000.0 / n;
    // The driver's request blocks (URBs, slots, IRPs, MDLs) are made per
    // request, as its design has them; every other pool allocation on the frame path,
    // and the client's, should be none. The heap figure is the whole
    // process: the bus and camera stand-ins included.
    const uint64_t requests = RequestBlocks() - requestsBefore;
    state.counters["client_heap_allocations_per_frame"] =
        static_cast<double>(ThreadHeapAllocations() - readerBefore) / n;
    state.counters["pool_other_allocations_per_frame"] =
        static_cast<double>(kernel::pool::AllocationCount() - poolBefore - requests) / n;
    state.counters["pool_request_blocks_per_frame"] = static_cast<double>(requests) / n;
    state.counters["process_heap_allocations_per_frame"] =
        static_cast<double>(HeapAllocations() - heapBefore) / n;
    state.counters["dropped"] = static_cast<double>(cam->Stats().dropped);
    cam->StopStreaming();
    cam->Close();
}

BENCHMARK(BM_StreamFullResolution)
    ->Arg(3)
    ->Arg(6)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(3.0);

}  // namespace

BENCHMARK_MAIN();
