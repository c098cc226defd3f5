// Working buffer geometry, borders and the per-frame dispatch.
#include <gtest/gtest.h>

#include <array>

#include <atomic>
#include <thread>

#include "tests/imaging/imaging_fixture.h"

namespace {

using Fixed = std::array<std::array<LONG, 4>, 4>;

const UCHAR& Work(const ImageProcessor* p, int row, int col) {
    return p->workOrigin[row * p->workStride + col];
}

TEST(WorkingBuffer, GeometryOfTheFullSensorAndOfAnOddHeight) {
    ImageProcessor* p = CreateImageProcessor();
    SetGeometry(p, 2560, 1920);
    EXPECT_EQ(p->rowStride, 2587u);
    EXPECT_EQ(p->workBufferSize, 1924u * 2587u);
    SetGeometry(p, 2560, 1921);
    EXPECT_EQ(p->workBufferSize, 1926u * 2587u);
    SetGeometry(p, 100, 50);
    EXPECT_EQ(p->rowStride, 96u + 27u);
    AllocateWorkingBuffer(p);
    EXPECT_EQ(p->workOrigin, p->workBuffer + 2 * 123 + 5);
    EXPECT_EQ(p->workWidth, 100);
    EXPECT_EQ(p->workHeight, 50);
    EXPECT_EQ(kernel::pool::TagUsage(WORK_BUFFER_TAG).bytes, 54u * 123u);
    AllocateWorkingBuffer(p);  // a second start replaces, never leaks
    EXPECT_EQ(kernel::pool::TagUsage(WORK_BUFFER_TAG).blocks, 1u);
    FreeImageProcessor(p);
}

TEST(WorkingBuffer, ImpossibleGeometryGetsNoBuffer) {
    ImageProcessor* p = CreateImageProcessor();
    SetGeometry(p, 0xFFFFFF00u, 0xFFFFFF00u);
    EXPECT_EQ(p->workBufferSize, 0u);
    AllocateWorkingBuffer(p);
    EXPECT_EQ(p->workBuffer, nullptr);
    FreeImageProcessor(p);
}

TEST(WorkingBuffer, FailedAllocationLeavesConversionOff) {
    Pipeline pipe(16, 16);
    kernel::pool::FailNth(1);
    AllocateWorkingBuffer(pipe.get());
    kernel::pool::ClearFaults();
    EXPECT_EQ(pipe->workBuffer, nullptr);
    EXPECT_EQ(pipe->workWidth, 16);
    std::memset(pipe->outputBuffer, 0x11, 16 * 16 * 4);
    pipe.Convert(std::vector<UCHAR>(256, 50), 16);
    EXPECT_EQ(pipe.Pixel(0, 0)[0], 0x11);
}

TEST(LoadRawFrameTest, WindowAtOffsetWithMirroredAndRepeatedBorders) {
    const ULONG w = 10, h = 9, pitch = 40;
    Pipeline pipe(w, h);
    std::vector<UCHAR> raw(pitch * 30);
    for (size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<UCHAR>(i * 7 + 3);
    const ULONG offset = 4 * pitch + 6;
    LoadRawFrame(pipe.get(), raw.data(), offset, pitch);
    ImageProcessor* p = pipe.get();
    for (int r = 0; r < static_cast<int>(h); ++r)
        for (int c = 0; c < static_cast<int>(w); ++c)
            ASSERT_EQ(Work(p, r, c), raw[offset + r * pitch + c]);
    for (int c = 0; c < static_cast<int>(w); ++c) {
        EXPECT_EQ(Work(p, -2, c), Work(p, 2, c));
        EXPECT_EQ(Work(p, -1, c), Work(p, 1, c));
        EXPECT_EQ(Work(p, h, c), Work(p, h - 4, c));  // period 4, not a mirror
        EXPECT_EQ(Work(p, h + 1, c), Work(p, h - 3, c));
    }
    for (int r = -2; r <= static_cast<int>(h) + 1; ++r) {
        EXPECT_EQ(Work(p, r, -1), Work(p, r, 1));
        EXPECT_EQ(Work(p, r, -2), Work(p, r, 2));
        EXPECT_EQ(Work(p, r, w), Work(p, r, w - 2));
        EXPECT_EQ(Work(p, r, w + 1), Work(p, r, w - 3));
    }
}

TEST(LoadRawFrameTest, WindowsUnderEightTakeEveryBorderFromTheirOwnPixels) {
    // Stale bytes around the window must never reach a border, whatever its size.
    for (auto [w, h] : std::vector<std::pair<ULONG, ULONG>>{
             {8, 8}, {7, 8}, {8, 7}, {64, 4}, {3, 3}, {2, 5}, {1, 1}}) {
        Pipeline pipe(w, h);
        std::memset(pipe->workBuffer, 0xEE, pipe->workBufferSize);
        std::vector<UCHAR> raw(w * h, 9);
        LoadRawFrame(pipe.get(), raw.data(), 0, w);
        for (int r = -2; r <= static_cast<int>(h) + 1; ++r)
            for (int c = -2; c <= static_cast<int>(w) + 1; ++c)
                ASSERT_EQ(Work(pipe.get(), r, c), 9) << w << "x" << h << " at " << r << "," << c;
    }
}

TEST(LoadRawFrameTest, SmallWindowBordersKeepTheBayerColours) {
    // A mosaic of three flat colours stays three flat colours in every
    // border pixel of windows two or more pixels on a side.
    auto site = [](int r, int c) {
        return static_cast<UCHAR>((r & 1) == 0 ? ((c & 1) == 0 ? 200 : 100)
                                               : ((c & 1) == 0 ? 100 : 40));
    };
    for (auto [w, h] :
         std::vector<std::pair<ULONG, ULONG>>{{64, 4}, {2, 2}, {3, 7}, {6, 3}, {5, 5}}) {
        Pipeline pipe(w, h);
        std::vector<UCHAR> raw(w * h);
        for (ULONG r = 0; r < h; ++r)
            for (ULONG c = 0; c < w; ++c)
                raw[r * w + c] = site(static_cast<int>(r), static_cast<int>(c));
        LoadRawFrame(pipe.get(), raw.data(), 0, w);
        for (int r = -2; r <= static_cast<int>(h) + 1; ++r)
            for (int c = -2; c <= static_cast<int>(w) + 1; ++c)
                ASSERT_EQ(Work(pipe.get(), r, c), site(r, c))
                    << w << "x" << h << " at " << r << "," << c;
    }
}

TEST(ConvertFrameTest, AFlatGreyWindowFourRowsHighComesOutFlatGrey) {
    // Measured before: a 64 x 4 window of a flat frame came out in four colours.
    for (const KernelSet* isa : AvailableKernelSets()) {
        KernelChoice choice(isa);
        Pipeline pipe(64, 4);
        std::memset(pipe->workBuffer, 0xEE, pipe->workBufferSize);
        SetColorCorrection(pipe.get(), 0);
        pipe.Convert(std::vector<UCHAR>(64 * 4, 90), 64);
        for (ULONG y = 0; y < 4; ++y)
            for (ULONG x = 0; x < 64; ++x)
                ASSERT_EQ((std::array<int, 3>{pipe.Pixel(x, y)[0], pipe.Pixel(x, y)[1],
                                              pipe.Pixel(x, y)[2]}),
                          (std::array<int, 3>{90, 90, 90}))
                    << x << "," << y << " " << isa->name;
    }
}

TEST(ConvertFrameTest, ANewWorkingBufferHoldsNoStaleBytes) {
    Pipeline pipe(40, 10);
    for (ULONG i = 0; i < pipe->workBufferSize; ++i) ASSERT_EQ(pipe->workBuffer[i], 0) << i;
}

TEST(ConvertFrameTest, ReportsWhetherAFrameWasConverted) {
    Pipeline pipe(16, 8);
    std::vector<UCHAR> raw(128, 1);
    EXPECT_TRUE(ConvertFrame(pipe.get(), raw.data(), 0, 16));
    EXPECT_FALSE(ConvertFrame(pipe.get(), nullptr, 0, 16));
}

TEST(ConvertFrameTest, NullInputsDoNothing) {
    Pipeline pipe(16, 8);
    std::memset(pipe->outputBuffer, 0x22, 16 * 8 * 4);
    ConvertFrame(pipe.get(), nullptr, 0, 16);
    EXPECT_EQ(pipe.Pixel(0, 0)[0], 0x22);
    PUCHAR out = pipe->outputBuffer;
    pipe->outputBuffer = nullptr;
    std::vector<UCHAR> raw(128, 1);
    ConvertFrame(pipe.get(), raw.data(), 0, 16);
    pipe->outputBuffer = out;
    EXPECT_EQ(pipe.Pixel(0, 0)[0], 0x22);
}

TEST(ConvertFrameTest, PhaseSelectsThePatternAndOthersMeanGbrg) {
    auto raw = RandomRaw(32 * 16, 99);
    std::vector<UCHAR> out[4];
    for (LONG phase : {3, 7, -1, 2}) {
        Pipeline pipe(32, 16);
        SetBayerPhase(pipe.get(), phase);
        pipe.Convert(raw, 32);
        out[phase == 3 ? 0 : phase == 7 ? 1 : phase == -1 ? 2 : 3] = pipe.Output();
    }
    EXPECT_EQ(out[0], out[1]);
    EXPECT_EQ(out[0], out[2]);
    EXPECT_NE(out[0], out[3]);
}

TEST(ConvertFrameTest, WhiteBalanceStoresTheFramesEstimate) {
    Pipeline pipe(32, 16);
    SetBayerPhase(pipe.get(), 2);
    SetWhiteBalance(pipe.get(), 1);
    SetGreenGain(pipe.get(), 300);
    // Red sites 50, green 100, blue 25: gains of about 256 and 512.
    std::vector<UCHAR> raw(32 * 16);
    for (int r = 0; r < 16; ++r)
        for (int c = 0; c < 32; ++c)
            raw[r * 32 + c] = (r & 1) == 0 ? ((c & 1) == 0 ? 50 : 100) : ((c & 1) == 0 ? 100 : 25);
    pipe.Convert(raw, 32);
    EXPECT_EQ(pipe->greenGain, 128);
    EXPECT_NEAR(pipe->redGain, 256, 8);
    EXPECT_NEAR(pipe->blueGain, 512, 16);
    EXPECT_EQ(pipe->frameRedGain, pipe->redGain);
    // A black frame has nothing to estimate from: the gains stay.
    LONG red = pipe->redGain;
    pipe.Convert(std::vector<UCHAR>(32 * 16, 0), 32);
    EXPECT_EQ(pipe->redGain, red);
}

TEST(ConvertFrameTest, RowsAreInImageOrderAndEachIsExactlyTheWidth) {
    // Rows of distinct levels; interpolation of a row-constant image along a
    // row keeps the level at a site of its own colour.
    const ULONG w = 19, h = 12;
    Pipeline pipe(w, h);
    SetColorEnable(pipe.get(), 0);
    std::vector<UCHAR> raw(w * h);
    for (ULONG r = 0; r < h; ++r)
        for (ULONG c = 0; c < w; ++c) raw[r * w + c] = static_cast<UCHAR>(r * 20);
    pipe.Convert(raw, w);
    EXPECT_LT(pipe.Pixel(0, 0)[0], pipe.Pixel(0, h - 1)[0]);
    EXPECT_EQ(pipe.Pixel(w - 1, h - 1)[3], 255);
    // The output buffer is exactly w x h x 4: the pool verifier checks at
    // free that nothing was written beyond it.
}

TEST(ConvertFrameTest, SettingsChangedFromTwoThreadsWhileFramesConvert) {
    Pipeline pipe(128, 64);
    auto raw = RandomRaw(128 * 64, 5);
    std::atomic<bool> stop{false};
    auto changer = [&](int seed) {
        std::mt19937 rng(seed);
        while (!stop.load()) {
            SetBrightness(pipe.get(), static_cast<LONG>(rng() % 511));
            SetHue(pipe.get(), static_cast<LONG>(rng() % 360));
            SetContrast(pipe.get(), static_cast<LONG>(rng() % 21));
            SetSaturation(pipe.get(), static_cast<LONG>(rng() % 21));
            SetColorCorrection(pipe.get(), static_cast<LONG>(rng() & 1));
            SetRedGain(pipe.get(), static_cast<LONG>(rng() % 512));
            SetColorEnable(pipe.get(), static_cast<LONG>(rng() % 4 != 0));
            SetWhiteBalance(pipe.get(), static_cast<LONG>(rng() % 3 == 0));
        }
    };
    std::thread a(changer, 1), b(changer, 2);
    for (int i = 0; i < 60; ++i) pipe.Convert(raw, 128);
    stop = true;
    a.join();
    b.join();
    // Once the threads are done, a rebuild from the final settings gives the
    // matrix the processor holds: no rebuild was lost or torn.
    Fixed before{};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) before[i][j] = pipe->fixedMatrix[i][j];
    ExAcquireFastMutex(&pipe->rebuildLock);
    RebuildCombinedMatrix(pipe.get());
    ExReleaseFastMutex(&pipe->rebuildLock);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) EXPECT_EQ(before[i][j], pipe->fixedMatrix[i][j]);
}

}  // namespace
