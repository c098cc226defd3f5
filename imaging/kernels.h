// The conversion kernels: three families (colour, grey, white-balance
// estimate), each one implementation with the Bayer pattern as a parameter,
// in a plain scalar reference and in SSE2. ConvertFrame calls the selected
// instruction set; tests and benchmarks can force either.
#pragma once

#include "imaging/image_processor.h"

using KernelFunction = void (*)(ImageProcessor* p);

struct KernelSet {
    const char* name;
    // Indexed by BayerPattern (0 GRBG, 1 BGGR, 2 RGGB, 3 GBRG).
    KernelFunction convertColor[4];
    KernelFunction convertGrey[4];
    KernelFunction estimateWhiteBalance[4];
};

enum class KernelIsa { Scalar, Sse2 };

const KernelSet& ScalarKernels();
const KernelSet& Sse2Kernels();
const KernelSet& KernelsFor(KernelIsa isa);
// The set ConvertFrame uses: the fastest this processor runs, unless forced.
const KernelSet& ActiveKernels();
void SelectKernels(KernelIsa isa);
