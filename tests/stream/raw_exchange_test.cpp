// The raw-buffer exchange between the capture thread and the process
// dispatch, driven into each of its cases directly rather than by waiting
// for a stream to stumble into them.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "camera/camera_controls.h"
#include "imaging/image_processor.h"
#include "platform/kernel/pool.h"
#include "stream/capture_thread.h"
#include "tests/support/streaming_rig.h"

namespace {

using namespace std::chrono_literals;

TEST(RawExchange, TheCaptureThreadFillsAFreeBufferFirstAndNeverTheOneBeingConverted) {
    CaptureThreadState s{};
    struct Case {
        LONG a, b;
        char picks;
    };
    const Case cases[] = {
        {RawFree, RawFree, 'A'},       {RawFree, RawFull, 'A'},          {RawFull, RawFree, 'B'},
        {RawConverting, RawFree, 'B'}, {RawFull, RawFull, 'A'},          // both full: A is overwritten
        {RawConverting, RawFull, 'B'},  // A being converted: B is overwritten, A never
        {RawFull, RawConverting, 'A'},
    };
    for (const Case& c : cases) {
        s.StateA = c.a;
        s.StateB = c.b;
        EXPECT_EQ(PickBufferToFill(&s) == &s.StateA ? 'A' : 'B', c.picks) << c.a << "," << c.b;
    }
}

// A configured camera with one run's buffers set up by hand, and two raw
// frames of different scenes.
class Exchange : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(rig.Configure(), STATUS_SUCCESS);
        camera().SensorInitCount = 2;
        camera().PrepareCapture();
        s = AllocateCaptureThreadState(&camera());
        ASSERT_NE(s, nullptr);
        const ULONG w = 256, h = 64;
        camera().SetReadoutWindow(0, 0, static_cast<LONG>(w), static_cast<LONG>(h), 0);
        processor = CreateImageProcessor();
        SetBayerPhase(processor, 2);
        SetGeometry(processor, w, h);
        AllocateWorkingBuffer(processor);
        image.assign(static_cast<size_t>(w) * h * 4, 0);
        processor->outputBuffer = image.data();
        s->Processor = processor;
        s->ImageBuffer = image.data();
        for (int k = 0; k < 2; ++k) {
            raw[k] = rig.Sim().ExpectedImage(static_cast<uint32_t>(k * 7));
            raw[k].resize(RAW_FRAME_SIZE);
        }
        s->RawA = raw[0].data();
        s->RawB = raw[1].data();
        s->Run = TRUE;
        s->State = CaptureRunning;
    }
    void TearDown() override {
        processor->outputBuffer = nullptr;
        FreeImageProcessor(processor);
        ExFreePoolWithTag(s, CAMERA_TAG);
        camera().SetReadoutWindow(0, 0, 0, 0, 0);
    }
    CameraDevice& camera() { return rig.Camera(); }
    std::vector<UCHAR> Expected(int k) { return ReferenceImage(raw[k], 256, 64, 0, 0); }

    CameraRig rig;
    CaptureThreadState* s = nullptr;
    ImageProcessor* processor = nullptr;
    std::vector<UCHAR> image;
    std::vector<uint8_t> raw[2];
};

TEST_F(Exchange, BothFullConvertsAFirstWithItsOwnNumberThenB) {
    s->StateA = s->StateB = RawFull;
    s->NumberA = 5;
    s->NumberB = 6;
    ASSERT_TRUE(ConvertReadyFrame(s));
    EXPECT_EQ(s->StateA, RawFree);
    EXPECT_EQ(s->StateB, RawFull);
    EXPECT_EQ(s->ImageNumber, 5u);
    EXPECT_EQ(image, Expected(0));
    EXPECT_EQ(s->Converting, 1);  // until the process call ends
    ASSERT_TRUE(ConvertReadyFrame(s));
    EXPECT_EQ(s->StateB, RawFree);
    EXPECT_EQ(s->ImageNumber, 6u);
    EXPECT_EQ(image, Expected(1));
    EXPECT_FALSE(ConvertReadyFrame(s));  // nothing full: nothing converted
    EXPECT_EQ(s->ImageNumber, 6u);
}

TEST_F(Exchange, ABufferBeingFilledOrConvertedIsNeverTaken) {
    s->StateA = RawFilling;
    s->StateB = RawConverting;
    EXPECT_FALSE(ConvertReadyFrame(s));
    EXPECT_EQ(s->StateA, RawFilling);
    EXPECT_EQ(s->StateB, RawConverting);
}

TEST_F(Exchange, AfterTheStopNothingIsTaken) {
    s->StateA = RawFull;
    s->Run = FALSE;
    EXPECT_FALSE(ConvertReadyFrame(s));
    EXPECT_EQ(s->StateA, RawFull);
    EXPECT_EQ(s->Converting, 0);
}

TEST_F(Exchange, WithoutAWorkingBufferTheBufferGoesBackFreeAndNothingIsReported) {
    s->StateA = RawFull;
    ExFreePoolWithTag(processor->workBuffer, WORK_BUFFER_TAG);
    processor->workBuffer = nullptr;
    EXPECT_FALSE(ConvertReadyFrame(s));
    EXPECT_EQ(s->StateA, RawFree);
}

TEST_F(Exchange, TheStopWaitsForAProcessCallInProgress) {
    // A process call has begun converting: the stop must not return (and
    // let the buffers go) before that call signals it is done.
    InterlockedExchange(&s->Converting, 1);
    std::atomic<bool> returned{false};
    auto stop = std::async(std::launch::async, [&] {
        StopCaptureThread(s);
        returned = true;
    });
    EXPECT_EQ(stop.wait_for(300ms), std::future_status::timeout);
    EXPECT_FALSE(returned);
    InterlockedExchange(&s->Converting, 0);
    KeSetEvent(&s->BufferDone, 1, FALSE);
    EXPECT_EQ(stop.wait_for(10s), std::future_status::ready);
    EXPECT_FALSE(s->Run);
}

TEST(RawExchangeStreaming, FramesConvertedWithNoClientFrameAreCountedAsDropped) {
    StreamingRig s;
    auto pin = s.RunningPin();
    // No client frame yet: every conversion is lost, and counted.
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (ReadAcquire(&s.Camera().Capture->DropCount) < 3 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    const LONG dropped = ReadAcquire(&s.Camera().Capture->DropCount);
    ASSERT_GE(dropped, 3);
    ClientFrame f(2560 * 1920 * 4);
    pin->Submit(f.Header());
    ASSERT_NE(pin->WaitCompleted(5000ms), nullptr);
    EXPECT_GE(static_cast<LONG>(f.Info()->DropCount), dropped);
    // Each drop and the delivery are frames of their own.
    EXPECT_LE(f.Info()->DropCount + 1, std::atomic_ref<ULONG>(s.Camera().FrameNumber).load());
}

}  // namespace
