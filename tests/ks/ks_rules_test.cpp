// The streaming stand-in's own rules, held against a small minidriver of
// the test's making: processing and the pin flags, the device and filter
// control mutexes, stream pointers, property requests and the records it
// counts for the leak check.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "platform/kernel/pool.h"
#include "platform/ks/device_host.h"
#include "platform/ks/ks_client.h"
#include "platform/ks/ks_device.h"
#include "tests/support/wait_until.h"

namespace {

using namespace std::chrono_literals;

constexpr ULONG kItemTag = PoolTag("Tks ");

// What the minidriver does, set by each test.
struct Behaviour {
    std::function<NTSTATUS(PKSPIN)> process;
    std::function<NTSTATUS(PKSPIN, KSSTATE, KSSTATE)> setState;
    std::function<void(PKSPIN)> create;
    std::function<void(PKSFILTER)> filterCreate;
    std::atomic<int> processCalls{0};
};
Behaviour* behaviour = nullptr;

// Ejects the leading frame, if any; STATUS_SUCCESS or STATUS_PENDING as told.
NTSTATUS EjectOne(PKSPIN pin, NTSTATUS result) {
    if (PKSSTREAM_POINTER p =
            KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED)) {
        p->StreamHeader->DataUsed = 1;
        KsStreamPointerUnlock(p, TRUE);
    }
    return result;
}

NTSTATUS PinCreate(PKSPIN pin, PIRP) {
    if (behaviour->create) behaviour->create(pin);
    return STATUS_SUCCESS;
}
NTSTATUS PinProcess(PKSPIN pin) {
    ++behaviour->processCalls;
    return behaviour->process ? behaviour->process(pin) : STATUS_PENDING;
}
NTSTATUS PinSetState(PKSPIN pin, KSSTATE to, KSSTATE from) {
    return behaviour->setState ? behaviour->setState(pin, to, from) : STATUS_SUCCESS;
}
NTSTATUS FilterCreate(PKSFILTER filter, PIRP) {
    if (behaviour->filterCreate) behaviour->filterCreate(filter);
    return STATUS_SUCCESS;
}

constexpr GUID kMajor = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
KSDATARANGE range = [] {
    KSDATARANGE r{};
    r.FormatSize = sizeof(KSDATARANGE);
    r.MajorFormat = kMajor;
    return r;
}();
const PKSDATARANGE ranges[] = {&range};

NTSTATUS GetValue(PIRP, KSPROPERTY*, PVOID data) {
    static_cast<LONG*>(data)[6] = 42;  // just inside a 28-byte item
    return STATUS_SUCCESS;
}
NTSTATUS GetPastTheEnd(PIRP, KSPROPERTY*, PVOID data) {
    static_cast<UCHAR*>(data)[28] = 1;  // one byte past the 28 the item asks for
    return STATUS_SUCCESS;
}
constexpr GUID kSet = {9, 9, 9, {9, 9, 9, 9, 9, 9, 9, 9}};
const KSPROPERTY_ITEM items[] = {
    {0, GetValue, sizeof(KSPROPERTY), 28, GetValue, nullptr, 0, nullptr, nullptr, 0},
    {1, GetPastTheEnd, sizeof(KSPROPERTY), 28, nullptr, nullptr, 0, nullptr, nullptr, 0},
};
const KSPROPERTY_SET sets[] = {{&kSet, 2, items, 0, nullptr}};
const KSAUTOMATION_TABLE automation = {1,      sizeof(KSPROPERTY_ITEM), sets, 0, 0, nullptr, 0, 0,
                                       nullptr};

const KSPIN_DISPATCH pinDispatch = {PinCreate,   nullptr, PinProcess, nullptr, nullptr,
                                    PinSetState, nullptr, nullptr,    nullptr, nullptr};
KSPIN_DESCRIPTOR_EX Pin(ULONG flags) {
    KSPIN_DESCRIPTOR_EX d{};
    d.Dispatch = &pinDispatch;
    d.PinDescriptor.DataRangesCount = 1;
    d.PinDescriptor.DataRanges = ranges;
    d.Flags = flags;
    d.InstancesPossible = 1;
    return d;
}
// Pin 0 waits to be told; pin 1 starts on a frame; pin 2 processes only when running.
const KSPIN_DESCRIPTOR_EX pins[] = {
    Pin(KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING),
    Pin(0),
    Pin(KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING | KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY),
};
const KSFILTER_DISPATCH filterDispatch = {FilterCreate, nullptr, nullptr, nullptr};
const KSFILTER_DESCRIPTOR filterDescriptor = {&filterDispatch,
                                              &automation,
                                              KSFILTER_DESCRIPTOR_VERSION,
                                              0,
                                              nullptr,
                                              3,
                                              sizeof(KSPIN_DESCRIPTOR_EX),
                                              pins,
                                              0,
                                              nullptr,
                                              0,
                                              0,
                                              nullptr,
                                              0,
                                              nullptr,
                                              nullptr};

NTSTATUS Start(PKSDEVICE device, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) {
    KsAcquireDevice(device);
    NTSTATUS s = KsCreateFilterFactory(device->FunctionalDeviceObject, &filterDescriptor, u"F",
                                       nullptr, 0, nullptr, nullptr, nullptr);
    KsReleaseDevice(device);
    return s;
}
const KSDEVICE_DISPATCH deviceDispatch = {nullptr, Start};
const KSDEVICE_DESCRIPTOR deviceDescriptor = {&deviceDispatch, 0, nullptr};
NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
    return KsInitializeDriver(driver, path, &deviceDescriptor);
}

// A second driver, whose start can be made to fail, counts the stops it is sent.
std::atomic<int> stopsSent{0};
bool startFails = false;
NTSTATUS StartOrFail(PKSDEVICE, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) {
    return startFails ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
}
void CountStop(PKSDEVICE, PIRP) {
    ++stopsSent;
}
const KSDEVICE_DISPATCH countingDispatch = {nullptr, StartOrFail, nullptr,
                                            nullptr, nullptr,     CountStop};
const KSDEVICE_DESCRIPTOR countingDescriptor = {&countingDispatch, 0, nullptr};
NTSTATUS CountingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
    return KsInitializeDriver(driver, path, &countingDescriptor);
}

class KsRules : public testing::Test {
  protected:
    void SetUp() override {
        behaviour = &b;
        NTSTATUS s;
        device = host.Add(lower, &s);
        ASSERT_EQ(s, STATUS_SUCCESS);
        ASSERT_EQ(device->Start(), STATUS_SUCCESS);
        filter = ks::Filter::Open(*device, u"F", &s);
        ASSERT_EQ(s, STATUS_SUCCESS);
    }
    void TearDown() override {
        filter.reset();
        device.reset();
        kernel::DeleteDeviceObject(lower);
        kernel::DeleteDriverObject(lowerDriver);
    }
    std::unique_ptr<ks::Pin> OpenPin(ULONG id) {
        NTSTATUS s;
        auto pin = filter->CreatePin(id, &range, sizeof range, &s);
        EXPECT_EQ(s, STATUS_SUCCESS);
        return pin;
    }
    static void WaitFor(const std::function<bool()>& done) {
        for (int i = 0; i < 400 && !done(); ++i) std::this_thread::sleep_for(5ms);
    }

    Behaviour b;
    PDRIVER_OBJECT lowerDriver = kernel::CreateDriverObject("bus");
    PDEVICE_OBJECT lower = kernel::CreateDeviceObject(lowerDriver, 1, nullptr);
    ks::DeviceHost host{Entry};
    std::unique_ptr<ks::HostedDevice> device;
    std::unique_ptr<ks::Filter> filter;
    KSSTREAM_HEADER frames[4]{};
};

TEST_F(KsRules, SuccessGoesOnProcessingPendingWaitsForTheNextRequest) {
    auto pin = OpenPin(0);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    // STATUS_PENDING: one frame a request.
    b.process = [](PKSPIN p) { return EjectOne(p, STATUS_PENDING); };
    for (auto& f : frames) pin->Submit(&f);
    pin->Poke();
    WaitFor([&] { return pin->Queued() == 3; });
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(pin->Queued(), 3u);
    EXPECT_EQ(b.processCalls.load(), 1);
    // STATUS_SUCCESS while frames go back: on until the queue is empty, then
    // once more finds nothing and waits.
    b.process = [](PKSPIN p) {
        PKSSTREAM_POINTER ptr = KsPinGetLeadingEdgeStreamPointer(p, KSSTREAM_POINTER_STATE_LOCKED);
        if (ptr == nullptr) return STATUS_PENDING;
        KsStreamPointerUnlock(ptr, TRUE);
        return STATUS_SUCCESS;
    };
    pin->Poke();
    WaitFor([&] { return pin->Queued() == 0; });
    EXPECT_EQ(pin->Queued(), 0u);
    EXPECT_EQ(b.processCalls.load(), 5);
    pin->SetState(KSSTATE_STOP);
}

TEST_F(KsRules, ADispatchThatKeepsReturningSuccessWithoutProgressIsAnEndlessLoop) {
    EXPECT_DEATH(
        {
            auto pin = OpenPin(0);
            pin->SetState(KSSTATE_RUN);
            b.process = [](PKSPIN) { return STATUS_SUCCESS; };
            pin->Poke();
            std::this_thread::sleep_for(30s);
        },
        "the processing loop never ends");
}

TEST_F(KsRules, FramesStartProcessingOnlyWhenThePinAllowsIt) {
    {
        auto waiting = OpenPin(0);  // KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING
        waiting->SetState(KSSTATE_RUN);
        waiting->Submit(&frames[0]);
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(b.processCalls.load(), 0);
        waiting->SetState(KSSTATE_STOP);
    }
    auto starting = OpenPin(1);
    starting->SetState(KSSTATE_RUN);
    b.process = [](PKSPIN p) { return EjectOne(p, STATUS_PENDING); };
    starting->Submit(&frames[1]);  // into an empty queue: processing starts
    WaitFor([&] { return b.processCalls.load() == 1; });
    EXPECT_EQ(b.processCalls.load(), 1);
    EXPECT_EQ(starting->WaitCompleted(2s), &frames[1]);
    starting->SetState(KSSTATE_STOP);
}

TEST_F(KsRules, ARunOnlyPinProcessesARequestMadeBeforeOrDuringTheTransitionOnceRunning) {
    b.setState = [](PKSPIN pin, KSSTATE to, KSSTATE) {
        if (to == KSSTATE_RUN) KsPinAttemptProcessing(pin, TRUE);  // during the transition
        return STATUS_SUCCESS;
    };
    auto pin = OpenPin(2);
    pin->SetState(KSSTATE_PAUSE);
    pin->Poke();  // before it runs
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(b.processCalls.load(), 0);
    pin->SetState(KSSTATE_RUN);
    WaitFor([&] { return b.processCalls.load() == 1; });
    EXPECT_EQ(b.processCalls.load(), 1);  // both requests, one processing pass
    pin->SetState(KSSTATE_STOP);
}

TEST_F(KsRules, TheFilterControlMutexIsHeldAroundEveryPinDispatchThatNeedsIt) {
    // A pin's bag takes items only under the filter control mutex: in
    // Create and SetDeviceState the stand-in holds it.
    std::atomic<int> added{0};
    auto addToBag = [&](PKSPIN pin) {
        PVOID item = ExAllocatePoolWithTag(NonPagedPool, 8, kItemTag);
        if (NT_SUCCESS(KsAddItemToObjectBag(pin->Bag, item, nullptr))) ++added;
    };
    b.create = addToBag;
    b.setState = [&](PKSPIN pin, KSSTATE, KSSTATE) {
        addToBag(pin);
        return STATUS_SUCCESS;
    };
    auto pin = OpenPin(0);
    pin->SetState(KSSTATE_ACQUIRE);
    EXPECT_EQ(added.load(), 2);
    pin->SetState(KSSTATE_STOP);
    pin.reset();  // the bag frees its items
}

TEST_F(KsRules, ADeviceWhoseStartFailsIsNotStartedAndIsNotSentAStop) {
    ks::DeviceHost counting{CountingEntry};
    NTSTATUS s;
    // A device that started is stopped before it goes; one whose start
    // failed never started, so there is nothing to stop.
    for (const bool fails : {false, true}) {
        SCOPED_TRACE(fails ? "start fails" : "start succeeds");
        startFails = fails;
        stopsSent = 0;
        auto added = counting.Add(lower, &s);
        ASSERT_EQ(s, STATUS_SUCCESS);
        EXPECT_EQ(added->Start(), fails ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS);
        EXPECT_EQ(added->Device()->Started, fails ? FALSE : TRUE);
        added->Remove();
        EXPECT_EQ(stopsSent.load(), fails ? 0 : 1);
    }
}

TEST_F(KsRules, BrokenMutexRulesStop) {
    // Outside a dispatch, a filter's bag is not the caller's to fill.
    EXPECT_DEATH(KsAddItemToObjectBag(filter->Raw()->Bag, nullptr, nullptr),
                 "KsAddItemToObjectBag without the filter control mutex");
    EXPECT_DEATH(KsAddItemToObjectBag(device->Device()->Bag, nullptr, nullptr),
                 "KsAddItemToObjectBag without the device mutex");
    EXPECT_DEATH(KsCreateFilterFactory(device->Device()->FunctionalDeviceObject, &filterDescriptor,
                                       u"G", nullptr, 0, nullptr, nullptr, nullptr),
                 "KsCreateFilterFactory without the device mutex");
    EXPECT_DEATH(
        {
            KsAcquireDevice(device->Device());
            KsAcquireDevice(device->Device());
        },
        "device mutex acquired again by the thread that holds it");
    EXPECT_DEATH(
        {
            KsAcquireControl(filter->Raw());
            KsAcquireDevice(device->Device());
        },
        "KsAcquireDevice by a thread holding a filter control mutex");
    EXPECT_DEATH(
        {
            auto pin = OpenPin(0);
            pin->SetState(KSSTATE_RUN);
            b.process = [](PKSPIN p) {
                KsAcquireControl(p);
                return STATUS_PENDING;
            };
            pin->Poke();
            std::this_thread::sleep_for(30s);
        },
        "KsAcquireControl inside a process dispatch");
    // A filter's Create runs under the device mutex: taking it there would
    // wait for itself.
    b.filterCreate = [this](PKSFILTER) { KsAcquireDevice(device->Device()); };
    EXPECT_DEATH(
        {
            NTSTATUS s;
            ks::Filter::Open(*device, u"F", &s);
        },
        "KsAcquireDevice by a thread holding a filter control mutex|device mutex acquired again");
}

TEST_F(KsRules, StreamPointersAreLockedOnceUnlockedOnceAndNeverStale) {
    auto pin = OpenPin(0);
    pin->Submit(&frames[0]);
    pin->Submit(&frames[1]);
    PKSSTREAM_POINTER p =
        KsPinGetLeadingEdgeStreamPointer(pin->Raw(), KSSTREAM_POINTER_STATE_UNLOCKED);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->StreamHeader, &frames[0]);
    // Unlocked: it must be locked before it can be unlocked.
    EXPECT_DEATH(KsStreamPointerUnlock(p, FALSE), "not locked");
    EXPECT_EQ(KsStreamPointerLock(p), STATUS_SUCCESS);
    EXPECT_DEATH(KsPinGetLeadingEdgeStreamPointer(pin->Raw(), KSSTREAM_POINTER_STATE_LOCKED),
                 "taken again while it is still locked");
    EXPECT_EQ(KsStreamPointerUnlock(p, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(pin->WaitCompleted(1s), &frames[0]);
    EXPECT_DEATH(KsStreamPointerUnlock(p, TRUE), "stale stream pointer");
    // The frame left queued goes back, unfilled, when the pin stops.
    frames[1].DataUsed = 77;
    pin->SetState(KSSTATE_ACQUIRE);
    pin->SetState(KSSTATE_STOP);
    EXPECT_EQ(pin->WaitCompleted(1s), &frames[1]);
    EXPECT_EQ(frames[1].DataUsed, 0u);
    EXPECT_EQ(pin->Queued(), 0u);
}

TEST_F(KsRules, LockingAPointerWhoseFrameWasHandedBackFails) {
    auto pin = OpenPin(0);
    pin->Submit(&frames[0]);
    pin->Submit(&frames[1]);
    PKSSTREAM_POINTER p =
        KsPinGetLeadingEdgeStreamPointer(pin->Raw(), KSSTREAM_POINTER_STATE_LOCKED);
    ASSERT_NE(p, nullptr);
    PKSSTREAM_HEADER kept = p->StreamHeader;  // a copy kept past the hand-back
    ASSERT_EQ(KsStreamPointerUnlock(p, TRUE), STATUS_SUCCESS);
    ASSERT_EQ(pin->WaitCompleted(kGenerousWait), &frames[0]);
    // The leading edge now names the next frame; pointed back at the one
    // already handed back, it names a frame that is gone and cannot be locked.
    p = KsPinGetLeadingEdgeStreamPointer(pin->Raw(), KSSTREAM_POINTER_STATE_UNLOCKED);
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(p->StreamHeader, &frames[1]);
    p->StreamHeader = kept;
    const NTSTATUS s = KsStreamPointerLock(p);
    EXPECT_EQ(s, STATUS_DEVICE_NOT_READY);
    if (s == STATUS_SUCCESS) KsStreamPointerUnlock(p, FALSE);  // so that the pin can stop
    EXPECT_EQ(pin->Queued(), 1u);  // the frame still queued is not touched
    pin->SetState(KSSTATE_ACQUIRE);
    pin->SetState(KSSTATE_STOP);
    EXPECT_EQ(pin->WaitCompleted(kGenerousWait), &frames[1]);
}

TEST_F(KsRules, PropertyRequestsAnswerSizeQueriesRefuseGetAndSetTogetherAndCatchOverruns) {
    KSPROPERTY request{kSet, 0, KSPROPERTY_TYPE_GET};
    ULONG returned = 0;
    EXPECT_EQ(filter->Property(&request, sizeof request, nullptr, 0, &returned),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(returned, 28u);
    LONG data[8] = {};
    EXPECT_EQ(filter->Property(&request, sizeof request, data, 20, &returned),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(returned, 28u);
    EXPECT_EQ(filter->Property(&request, sizeof request, data, 28, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 28u);
    EXPECT_EQ(data[6], 42);
    KSPROPERTY both{kSet, 0, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET};
    EXPECT_EQ(filter->Property(&both, sizeof both, data, 28, &returned), STATUS_INVALID_PARAMETER);
    KSPROPERTY overrun{kSet, 1, KSPROPERTY_TYPE_GET};
    // Even with room in the caller's buffer, the handler gets exactly 28 bytes.
    EXPECT_DEATH(filter->Property(&overrun, sizeof overrun, data, 28), "wrote past the end");
}

TEST_F(KsRules, EveryRecordIsCountedWhileItLives) {
    EXPECT_NE(ks::DescribeLiveRecords().find("1 filter(s)"), std::string::npos);
    auto pin = OpenPin(0);
    const std::string live = ks::DescribeLiveRecords();
    EXPECT_NE(live.find("1 pin(s)"), std::string::npos) << live;
    EXPECT_NE(live.find("1 processing thread(s)"), std::string::npos) << live;
    EXPECT_NE(live.find("3 object bag(s)"), std::string::npos) << live;  // device, filter, pin
    pin.reset();
    filter.reset();
    device.reset();
    EXPECT_EQ(ks::DescribeLiveRecords(), "");
}

}  // namespace
