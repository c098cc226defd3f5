// The bordered working buffer and the per-frame conversion: window copy,
// borders, a snapshot of gains and matrix, the optional estimate, one kernel.
#include <cstring>
#include <limits>

#include "imaging/band_workers.h"
#include "imaging/bayer.h"
#include "imaging/image_processor.h"
#include "imaging/kernels.h"
#include "platform/kernel/pool.h"

void SetGeometry(ImageProcessor* p, ULONG width, ULONG height) {
    p->imageWidth = width;
    p->imageHeight = height;
    p->rowStride = ((width + 16) & ~15u) + 11;
    // A geometry whose buffer would not fit 32 bits gets no buffer at all
    // (size 0 is refused below) rather than a wrapped, too small one.
    uint64_t rows = static_cast<uint64_t>(height) + (height & 1) + 4;
    uint64_t size = rows * p->rowStride;
    p->workBufferSize = size > std::numeric_limits<ULONG>::max() ? 0 : static_cast<ULONG>(size);
}

void AllocateWorkingBuffer(ImageProcessor* p) {
    if (p->workBuffer != nullptr) {
        ExFreePoolWithTag(p->workBuffer, WORK_BUFFER_TAG);
        p->workBuffer = nullptr;
    }
    if (p->workBufferSize != 0)
        p->workBuffer = static_cast<PUCHAR>(
            ExAllocatePoolWithTag(NonPagedPool, p->workBufferSize, WORK_BUFFER_TAG));
    // Defined contents: nothing a kernel reads may depend on what the pool
    // held before (the margin right of the image is read, never shown).
    if (p->workBuffer != nullptr) std::memset(p->workBuffer, 0, p->workBufferSize);
    p->workStride = static_cast<LONG>(p->rowStride);
    p->workOrigin = p->workBuffer != nullptr ? p->workBuffer + 2 * p->rowStride + 5 : nullptr;
    p->workWidth = static_cast<LONG>(p->imageWidth);
    p->workHeight = static_cast<LONG>(p->imageHeight);
}

namespace {

// For a window under 8 rows or columns: the line that border line `i` of `n`
// copies. The same choice as the full-size rule where that line exists (rows
// and columns mirror about line 0; the bottom rows repeat with period 4, the
// right columns mirror about the last), else the nearest line of the same
// Bayer colour, else, in a window one line wide, line 0.
ptrdiff_t SmallBorderSource(ptrdiff_t i, ptrdiff_t n, bool rows) {
    const ptrdiff_t preferred = i < 0 ? -i : rows ? i - 4 : 2 * (n - 1) - i;
    if (preferred >= 0 && preferred < n) return preferred;
    for (ptrdiff_t d = 2; d <= n + 2; d += 2) {
        const ptrdiff_t candidate = i < 0 ? i + d : i - d;
        if (candidate >= 0 && candidate < n) return candidate;
    }
    return 0;
}

// Borders of a window too small for the fixed rule, which would copy from
// lines that are not there: every border pixel still comes from a pixel of
// the window, of the same colour where the window has one.
void FillSmallBorders(ImageProcessor* p) {
    const auto w = static_cast<ptrdiff_t>(p->imageWidth),
               h = static_cast<ptrdiff_t>(p->imageHeight);
    const ptrdiff_t s = p->rowStride;
    auto row = [&](ptrdiff_t r) { return p->workOrigin + r * s; };
    for (ptrdiff_t r : {ptrdiff_t{-2}, ptrdiff_t{-1}, h, h + 1})
        std::memcpy(row(r), row(SmallBorderSource(r, h, true)), static_cast<size_t>(w));
    for (ptrdiff_t r = -2; r <= h + 1; ++r) {
        UCHAR* line = row(r);
        for (ptrdiff_t c : {ptrdiff_t{-2}, ptrdiff_t{-1}, w, w + 1})
            line[c] = line[SmallBorderSource(c, w, false)];
    }
}

}  // namespace

namespace {

void CopyRawRows(ImageProcessor* p, const UCHAR* source, ULONG offset, ULONG pitch, ULONG first,
                 ULONG end) {
    const UCHAR* src = source + offset;
    for (ULONG r = first; r < end; ++r)
        std::memcpy(p->workOrigin + static_cast<ptrdiff_t>(r) * p->rowStride,
                    src + static_cast<size_t>(r) * pitch, p->imageWidth);
}

void FillBorders(ImageProcessor* p) {
    const ULONG w = p->imageWidth, h = p->imageHeight;
    const ptrdiff_t s = p->rowStride;
    auto row = [&](ptrdiff_t r) { return p->workOrigin + r * s; };
    if (w == 0 || h == 0) return;
    if (w < 8 || h < 8) {
        FillSmallBorders(p);
        return;
    }
    // Every border pixel copies a pixel of the same Bayer colour: the top
    // mirrors about row 0, the bottom repeats with period 4.
    std::memcpy(row(-2), row(2), w);
    std::memcpy(row(-1), row(1), w);
    std::memcpy(row(h), row(static_cast<ptrdiff_t>(h) - 4), w);
    std::memcpy(row(h + 1), row(static_cast<ptrdiff_t>(h) - 3), w);
    for (ptrdiff_t r = -2; r <= static_cast<ptrdiff_t>(h) + 1; ++r) {
        UCHAR* line = row(r);
        line[-1] = line[1];
        line[-2] = line[2];
        line[w] = line[w - 2];
        line[w + 1] = line[w - 3];
    }
}

}  // namespace

void LoadRawFrame(ImageProcessor* p, const UCHAR* source, ULONG offset, ULONG pitch) {
    CopyRawRows(p, source, offset, pitch, 0, p->imageHeight);
    FillBorders(p);
}

void SetConversionThreads(ImageProcessor* p, LONG threads) {
    InterlockedExchange(&p->conversionThreads, threads < 0 ? 0 : threads > 64 ? 64 : threads);
}

namespace {

// How many bands a frame of this height is worth on `threads` threads: a
// band of fewer than 16 rows costs more to hand over than it saves.
int BandCount(const ImageProcessor* p, int threads) {
    const int most = p->workHeight / 16;
    return threads < 1 ? 1 : threads < most ? threads : most < 1 ? 1 : most;
}

struct BandJob {
    KernelFunction kernel;
    ImageProcessor* views;
};

void ConvertBand(void* context, int band) {
    auto* job = static_cast<BandJob*>(context);
    job->kernel(&job->views[band]);
}

struct RawCopyJob {
    ImageProcessor* p;
    const UCHAR* source;
    ULONG offset, pitch;
    int count;
};

void CopyBand(void* context, int band) {
    auto* job = static_cast<RawCopyJob*>(context);
    const ULONG h = job->p->imageHeight;
    const auto n = static_cast<ULONG>(job->count), b = static_cast<ULONG>(band);
    CopyRawRows(job->p, job->source, job->offset, job->pitch, h * b / n, h * (b + 1) / n);
}

// Runs a kernel over the frame's rows; the sums of an estimate end up in
// p->frameSums. With more than one band, each band is converted from its
// own copy of the processor's view; bands start on even rows, so each keeps
// the Bayer phase of the whole.
void RunKernel(ImageProcessor* p, KernelFunction kernel, int count) {
    if (count <= 1) {
        kernel(p);
        return;
    }
    ImageProcessor* views = p->bandWorkers->Views();
    const int h = p->workHeight;
    int row = 0;
    for (int i = 0; i < count; ++i) {
        const int next = i + 1 == count ? h : h * (i + 1) / count / 2 * 2;
        ImageProcessor& v = views[i];
        std::memcpy(&v, p, sizeof v);
        v.workOrigin = p->workOrigin + static_cast<ptrdiff_t>(row) * p->workStride;
        v.workHeight = next - row;
        v.outputCursor =
            p->outputCursor + static_cast<size_t>(row) * static_cast<size_t>(p->workWidth) * 4;
        row = next;
    }
    BandJob job{kernel, views};
    p->bandWorkers->Run(count, ConvertBand, &job);
    for (int c = 0; c < 3; ++c) {
        p->frameSums[c] = 0;
        for (int i = 0; i < count; ++i) p->frameSums[c] += views[i].frameSums[c];
    }
}

}  // namespace

BOOLEAN ConvertFrame(ImageProcessor* p, const UCHAR* source, ULONG offset, ULONG pitch) {
    if (p->outputBuffer == nullptr || source == nullptr || p->workBuffer == nullptr) return FALSE;
    p->outputCursor = p->outputBuffer;
    p->frameRedGain = ReadAcquire(&p->redGain);
    p->frameGreenGain = ReadAcquire(&p->greenGain);
    p->frameBlueGain = ReadAcquire(&p->blueGain);
    const BayerPattern pattern = PatternForPhase(ReadAcquire(&p->bayerPhase));
    const KernelSet& kernels = ActiveKernels();
    // The helpers are made at the first frame that wants them, and again
    // only when the number asked for changes.
    const LONG asked = ReadAcquire(&p->conversionThreads);
    const int threads = asked > 0 ? asked : DefaultConversionThreads();
    const int count = BandCount(p, threads);
    if (count > 1 && (p->bandWorkers == nullptr || p->bandWorkers->Helpers() != threads - 1)) {
        delete p->bandWorkers;
        p->bandWorkers = new BandWorkers(threads - 1);
    }
    // The window's rows are copied in bands too; the borders, which read
    // rows of other bands, once all are in.
    if (count > 1) {
        RawCopyJob copy{p, source, offset, pitch, count};
        p->bandWorkers->Run(count, CopyBand, &copy);
        FillBorders(p);
    } else {
        LoadRawFrame(p, source, offset, pitch);
    }
    if (ReadAcquire(&p->whiteBalance) != 0) {
        RunKernel(p, kernels.estimateWhiteBalance[pattern], count);
        WhiteBalanceFromSums(p->frameSums[0], p->frameSums[1], p->frameSums[2], &p->frameRedGain,
                             &p->frameGreenGain, &p->frameBlueGain);
        InterlockedExchange(&p->redGain, p->frameRedGain);
        InterlockedExchange(&p->greenGain, p->frameGreenGain);
        InterlockedExchange(&p->blueGain, p->frameBlueGain);
    }
    KeEnterCriticalRegion();
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&p->matrixLock);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            p->framePositive[i][j] = p->fixedMatrix[i][j] > 0 ? 1 : 0;
            p->frameMatrix[i][j] = p->fixedMatrix[i][j];
        }
    KeReleaseSpinLock(&p->matrixLock, irql);
    KeLeaveCriticalRegion();
    RunKernel(p,
              ReadAcquire(&p->colorEnable) != 0 ? kernels.convertColor[pattern]
                                                : kernels.convertGrey[pattern],
              count);
    return TRUE;
}
