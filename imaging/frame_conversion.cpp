// The bordered working buffer and the per-frame conversion: window copy,
// borders, a snapshot of gains and matrix, the optional estimate, one kernel.
#include <cstring>
#include <limits>

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
        p->workBuffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, p->workBufferSize, WORK_BUFFER_TAG));
    p->workStride = static_cast<LONG>(p->rowStride);
    p->workOrigin = p->workBuffer != nullptr ? p->workBuffer + 2 * p->rowStride + 5 : nullptr;
    p->workWidth = static_cast<LONG>(p->imageWidth);
    p->workHeight = static_cast<LONG>(p->imageHeight);
}

void LoadRawFrame(ImageProcessor* p, const UCHAR* source, ULONG offset, ULONG pitch) {
    const ULONG w = p->imageWidth, h = p->imageHeight;
    const ptrdiff_t s = p->rowStride;
    const UCHAR* src = source + offset;
    auto row = [&](ptrdiff_t r) { return p->workOrigin + r * s; };
    for (ULONG r = 0; r < h; ++r) std::memcpy(row(r), src + static_cast<size_t>(r) * pitch, w);
    if (w < 8 || h < 8) return;
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

void ConvertFrame(ImageProcessor* p, const UCHAR* source, ULONG offset, ULONG pitch) {
    if (p->outputBuffer == nullptr || source == nullptr || p->workBuffer == nullptr) return;
    LoadRawFrame(p, source, offset, pitch);
    p->outputCursor = p->outputBuffer;
    p->frameRedGain = ReadAcquire(&p->redGain);
    p->frameGreenGain = ReadAcquire(&p->greenGain);
    p->frameBlueGain = ReadAcquire(&p->blueGain);
    const BayerPattern pattern = PatternForPhase(ReadAcquire(&p->bayerPhase));
    const KernelSet& kernels = ActiveKernels();
    if (ReadAcquire(&p->whiteBalance) != 0) {
        kernels.estimateWhiteBalance[pattern](p);
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
    if (ReadAcquire(&p->colorEnable) != 0)
        kernels.convertColor[pattern](p);
    else
        kernels.convertGrey[pattern](p);
}
