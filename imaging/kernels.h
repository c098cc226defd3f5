// The conversion kernels: three families (colour, grey, white-balance
// estimate), each one implementation with the Bayer pattern as a parameter,
// in a plain scalar reference, in SSE2 and in the wide sets. ConvertFrame
// calls the selected set; tests and benchmarks can force any of them.
#pragma once

#include <string>
#include <vector>

#include "imaging/image_processor.h"

using KernelFunction = void (*)(ImageProcessor* p);

// Each converts the rows of the working view (workOrigin, workHeight) to
// outputCursor; an estimate leaves its channel sums in frameSums.
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
// The wide sets this processor runs (AVX3 for AVX-512BW, AVX2, SSE4, or
// NEON), best first.
const std::vector<const KernelSet*>& WideKernelSets();
// Every set this processor runs, best first, the scalar reference last.
std::vector<const KernelSet*> AvailableKernelSets();
// The set named so (any case), or null.
const KernelSet* KernelSetNamed(const std::string& name);
// The set ConvertFrame uses: the best this processor runs, or the one
// NORVIKCAM_KERNELS names, unless one was selected.
const KernelSet& ActiveKernels();
void SelectKernels(KernelIsa isa);
void SelectKernels(const KernelSet& set);
// Back to the default choice.
void UseDefaultKernels();
