// The capture filter.
#include "stream/capture_filter.h"

#include "control/camera_properties.h"
#include "control/settings.h"
#include "platform/kernel/pool.h"
#include "stream/capture_pin.h"

namespace {

const KSFILTER_DISPATCH kFilterDispatch = {FilterCreate, FilterClose, nullptr, nullptr};
const GUID kCategories[] = {KSCATEGORY_VIDEO, KSCATEGORY_CAPTURE};

// The filter's context: only its KSFILTER.
struct FilterContext {
    PKSFILTER Filter;
};

}  // namespace

const KSFILTER_DESCRIPTOR CaptureFilterDescriptor = {
    &kFilterDispatch,
    &CameraAutomationTable,
    KSFILTER_DESCRIPTOR_VERSION,
    0,
    &KSNAME_Filter,
    1,
    sizeof(KSPIN_DESCRIPTOR_EX),
    &CapturePinDescriptor,
    2,
    kCategories,
    0,
    sizeof(KSNODE_DESCRIPTOR),
    nullptr,
    0,
    nullptr,
    nullptr,
};

NTSTATUS FilterCreate(PKSFILTER filter, PIRP) {
    auto* context = static_cast<FilterContext*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(FilterContext), CAMERA_TAG));
    if (context == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    context->Filter = filter;
    NTSTATUS s = KsAddItemToObjectBag(filter->Bag, context, nullptr);
    if (!NT_SUCCESS(s)) {
        ExFreePoolWithTag(context, CAMERA_TAG);
        return s;
    }
    filter->Context = context;
    return STATUS_SUCCESS;
}

NTSTATUS FilterClose(PKSFILTER filter, PIRP) {
    PKSDEVICE device = KsGetDevice(filter);
    if (device != nullptr && device->Context != nullptr)
        SaveSettings(static_cast<CameraDevice*>(device->Context));
    return STATUS_SUCCESS;
}
