// The raw-buffer exchange between the capture thread and the process
// dispatch, driven into each of its cases directly rather than by waiting
// for a stream to stumble into them.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

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
        {RawFree, RawFree, 'A'},       {RawFree, RawFull, 'A'}, {RawFull, RawFree, 'B'},
        {RawConverting, RawFree, 'B'}, {RawFull, RawFull, 'A'},  // both full: A is overwritten
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
    while (ReadAcquire(&s.Camera().Capture->DropCount) < 3 &&
           std::chrono::steady_clock::now() < deadline)
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

namespace {

// The format rules of pin creation, a later format change, the acquire and
// the intersection: each refusal with its status, one change of the good
// format a row.
using Header = KS_DATAFORMAT_VIDEOINFOHEADER;

struct FormatRow {
    const char* what;
    void (*change)(Header&);
    NTSTATUS atCreate;   // pin creation with the changed format
    NTSTATUS atAcquire;  // stop -> acquire of a pin created with it (when created)
};

const FormatRow kFormatRows[] = {
    {"the good format", [](Header&) {}, STATUS_SUCCESS, STATUS_SUCCESS},
    {"another specifier", [](Header& f) { f.DataFormat.Specifier = KSDATAFORMAT_TYPE_VIDEO; },
     STATUS_NO_MATCH, 0},
    {"a narrower image", [](Header& f) { f.VideoInfoHeader.bmiHeader.biWidth -= 8; },
     STATUS_NO_MATCH, 0},
    {"another height", [](Header& f) { f.VideoInfoHeader.bmiHeader.biHeight += 2; },
     STATUS_NO_MATCH, 0},
    {"top-down",
     [](Header& f) {
         f.VideoInfoHeader.bmiHeader.biHeight = -f.VideoInfoHeader.bmiHeader.biHeight;
     },
     STATUS_SUCCESS, STATUS_SUCCESS},
    {"compressed", [](Header& f) { f.VideoInfoHeader.bmiHeader.biCompression = 3; },
     STATUS_NO_MATCH, 0},
    {"an image one byte short", [](Header& f) { f.VideoInfoHeader.bmiHeader.biSizeImage -= 1; },
     STATUS_INVALID_PARAMETER, 0},
    {"a bitmap header past the format",
     [](Header& f) { f.VideoInfoHeader.bmiHeader.biSize = 1000; }, STATUS_INVALID_PARAMETER, 0},
    {"24 bits a pixel", [](Header& f) { f.VideoInfoHeader.bmiHeader.biBitCount = 24; },
     STATUS_SUCCESS, STATUS_INVALID_PARAMETER},
};

TEST(FormatRules, CreationAndAcquireRefuseEachBrokenRuleWithItsStatus) {
    StreamingRig s;
    for (const FormatRow& row : kFormatRows) {
        SCOPED_TRACE(row.what);
        auto format = s.Format();
        row.change(*reinterpret_cast<Header*>(format.data()));
        NTSTATUS status = 0;
        auto pin = s.OpenPin(format, &status);
        EXPECT_EQ(status, row.atCreate);
        EXPECT_EQ(pin != nullptr, NT_SUCCESS(row.atCreate));
        EXPECT_EQ(s.Camera().PinOpen, pin ? 1 : 0);  // a refused creation leaves the window free
        if (pin) {
            EXPECT_EQ(pin->SetState(KSSTATE_ACQUIRE), row.atAcquire);
            EXPECT_EQ(s.Camera().ProcessingBusy, NT_SUCCESS(row.atAcquire) ? 1 : 0);
        }
    }
}

TEST(FormatRules, AChangeIsRefusedOutsideStopAndEachBrokenRuleWithItsStatus) {
    StreamingRig s;
    auto good = s.Format();
    auto pin = s.OpenPin(good);
    ASSERT_NE(pin, nullptr);
    for (const FormatRow& row : kFormatRows) {
        SCOPED_TRACE(row.what);
        auto format = good;
        row.change(*reinterpret_cast<Header*>(format.data()));
        EXPECT_EQ(pin->SetFormat(format.data(), static_cast<ULONG>(format.size())), row.atCreate);
    }
    ASSERT_EQ(pin->SetFormat(good.data(), static_cast<ULONG>(good.size())), STATUS_SUCCESS);
    ASSERT_EQ(pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(pin->SetFormat(good.data(), static_cast<ULONG>(good.size())),
              STATUS_INVALID_DEVICE_STATE);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(pin->SetFormat(good.data(), static_cast<ULONG>(good.size())),
              STATUS_INVALID_DEVICE_STATE);
}

TEST(FormatRules, TheIntersectionRefusesEachBrokenRuleWithItsStatus) {
    StreamingRig s;
    struct Row {
        const char* what;
        void (*change)(KS_DATARANGE_VIDEO&);
        ULONG buffer;
        NTSTATUS status;
    };
    const Row rows[] = {
        {"the offered range", [](KS_DATARANGE_VIDEO&) {}, 152, STATUS_SUCCESS},
        {"a size query", [](KS_DATARANGE_VIDEO&) {}, 0, STATUS_BUFFER_OVERFLOW},
        {"a buffer one byte short", [](KS_DATARANGE_VIDEO&) {}, 151, STATUS_BUFFER_TOO_SMALL},
        {"another specifier",
         [](KS_DATARANGE_VIDEO& r) { r.DataRange.Specifier = KSDATAFORMAT_TYPE_VIDEO; }, 152,
         STATUS_NO_MATCH},
        {"a short range", [](KS_DATARANGE_VIDEO& r) { r.DataRange.FormatSize = 295; }, 152,
         STATUS_NO_MATCH},
        {"fixed-size samples differ", [](KS_DATARANGE_VIDEO& r) { r.bFixedSizeSamples = 0; }, 152,
         STATUS_NO_MATCH},
        {"temporal compression differs", [](KS_DATARANGE_VIDEO& r) { r.bTemporalCompression = 0; },
         152, STATUS_NO_MATCH},
        {"stream flags differ", [](KS_DATARANGE_VIDEO& r) { r.StreamDescriptionFlags = 1; }, 152,
         STATUS_NO_MATCH},
        {"allocation flags differ", [](KS_DATARANGE_VIDEO& r) { r.MemoryAllocationFlags = 1; }, 152,
         STATUS_NO_MATCH},
        {"one capability byte", [](KS_DATARANGE_VIDEO& r) { r.ConfigCaps.OutputGranularityX += 1; },
         152, STATUS_NO_MATCH},
        {"a bitmap header that wraps",
         [](KS_DATARANGE_VIDEO& r) { r.VideoInfoHeader.bmiHeader.biSize = 0xFFFFFFF0; }, 152,
         STATUS_INVALID_PARAMETER},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        KS_DATARANGE_VIDEO range = OfferedDataRange;
        row.change(range);
        std::vector<UCHAR> out(row.buffer == 0 ? 1 : row.buffer);
        ULONG written = 0;
        EXPECT_EQ(s.filter->Intersect(0, &range, sizeof range,
                                      row.buffer == 0 ? nullptr : out.data(), row.buffer, &written),
                  row.status);
        if (row.status == STATUS_BUFFER_OVERFLOW || row.status == STATUS_SUCCESS) {
            EXPECT_EQ(written, 152u);
        }
    }
}

}  // namespace
