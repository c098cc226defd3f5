// A processor with geometry, working buffer and an output buffer of exactly
// the image's size (so the pool verifier catches a write past it).
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "imaging/image_processor.h"
#include "imaging/kernels.h"
#include "platform/kernel/pool.h"

constexpr ULONG kOutputTag = PoolTag("Tout");

class Pipeline {
  public:
    Pipeline(ULONG width, ULONG height) : width_(width), height_(height) {
        p_ = CreateImageProcessor();
        SetGeometry(p_, width, height);
        AllocateWorkingBuffer(p_);
        size_t bytes = static_cast<size_t>(width) * height * 4;
        p_->outputBuffer = static_cast<PUCHAR>(
            ExAllocatePoolWithTag(NonPagedPool, bytes == 0 ? 1 : bytes, kOutputTag));
    }
    ~Pipeline() {
        ExFreePoolWithTag(p_->outputBuffer, kOutputTag);
        p_->outputBuffer = nullptr;
        FreeImageProcessor(p_);
    }
    Pipeline(const Pipeline&) = delete;
    Pipeline& operator=(const Pipeline&) = delete;

    ImageProcessor* operator->() { return p_; }
    ImageProcessor* get() { return p_; }
    const UCHAR* Pixel(ULONG x, ULONG y) const {
        return p_->outputBuffer + (static_cast<size_t>(y) * width_ + x) * 4;
    }
    std::vector<UCHAR> Output() const {
        return std::vector<UCHAR>(p_->outputBuffer,
                                  p_->outputBuffer + static_cast<size_t>(width_) * height_ * 4);
    }
    void Convert(const std::vector<UCHAR>& raw, ULONG pitch, ULONG offset = 0) {
        ConvertFrame(p_, raw.data(), offset, pitch);
    }

  private:
    ULONG width_, height_;
    ImageProcessor* p_;
};

inline std::vector<UCHAR> RandomRaw(size_t bytes, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<UCHAR> v(bytes);
    for (auto& b : v) b = static_cast<UCHAR>(rng());
    return v;
}

// Forces a kernel set for the test's duration.
class KernelChoice {
  public:
    explicit KernelChoice(KernelIsa isa) { SelectKernels(isa); }
    explicit KernelChoice(const KernelSet* set) { SelectKernels(*set); }
    ~KernelChoice() { UseDefaultKernels(); }
};
