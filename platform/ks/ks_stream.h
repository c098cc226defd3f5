// AVStream filters and pins: descriptors, the filter factory, pin creation
// from a client's format, state changes, the frame queue with its stream
// pointers, processing requests, the reference clock and property sets.
#pragma once

#include "platform/ks/ks_device.h"

struct KSFILTER;
struct KSPIN;
using PKSFILTER = KSFILTER*;
using PKSPIN = KSPIN*;
using PKSFILTERFACTORY = PVOID;

enum KSSTATE { KSSTATE_STOP = 0, KSSTATE_ACQUIRE = 1, KSSTATE_PAUSE = 2, KSSTATE_RUN = 3 };
enum KSPIN_DATAFLOW { KSPIN_DATAFLOW_IN = 1, KSPIN_DATAFLOW_OUT = 2 };
enum KSPIN_COMMUNICATION {
    KSPIN_COMMUNICATION_NONE = 0,
    KSPIN_COMMUNICATION_SINK = 1,
    KSPIN_COMMUNICATION_SOURCE = 2,
    KSPIN_COMMUNICATION_BOTH = 3
};
enum KSSTREAM_POINTER_STATE {
    KSSTREAM_POINTER_STATE_UNLOCKED = 0,
    KSSTREAM_POINTER_STATE_LOCKED = 1
};

constexpr ULONG KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING = 0x10;
constexpr ULONG KSPIN_FLAG_FRAMES_NOT_REQUIRED_FOR_PROCESSING = 0x40;
constexpr ULONG KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY = 0x10000;
constexpr ULONG KSFILTER_DESCRIPTOR_VERSION = 0xFFFFFFFF;
constexpr ULONG KSCREATE_ITEM_FREEONSTOP = 0x00000008;
constexpr ULONG KSSTREAM_HEADER_OPTIONSF_TIMEVALID = 0x10;
constexpr ULONG KSSTREAM_HEADER_OPTIONSF_DURATIONVALID = 0x100;
constexpr ULONG KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY = 0x2;
constexpr ULONG KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY = 0x80000000;

struct KSTIME {
    LONGLONG Time;
    ULONG Numerator;
    ULONG Denominator;
};

struct KSSTREAM_HEADER {
    ULONG Size;
    ULONG TypeSpecificFlags;
    KSTIME PresentationTime;
    LONGLONG Duration;
    ULONG FrameExtent;
    ULONG DataUsed;
    PVOID Data;
    ULONG OptionsFlags;
    ULONG Reserved;
};
using PKSSTREAM_HEADER = KSSTREAM_HEADER*;
static_assert(sizeof(KSSTREAM_HEADER) == 56);

struct KS_FRAME_INFO {
    ULONG ExtendedHeaderSize;
    DWORD dwFrameFlags;
    LONGLONG PictureNumber;
    LONGLONG DropCount;
    HANDLE hDirectDraw;
    HANDLE hSurfaceHandle;
    RECT DirectDrawRect;
    LONG lSurfacePitch;
    ULONG Reserved2;
    ULONG Reserved3;
    ULONG Reserved4;
};
static_assert(sizeof(KS_FRAME_INFO) == 72);

struct KSSTREAM_POINTER {
    PVOID Context;
    PKSPIN Pin;
    PKSSTREAM_HEADER StreamHeader;
};
using PKSSTREAM_POINTER = KSSTREAM_POINTER*;

struct KS_COMPRESSION {
    ULONG RatioNumerator;
    ULONG RatioDenominator;
    ULONG RatioConstantMargin;
};
struct KS_FRAMING_RANGE {
    ULONG MinFrameSize;
    ULONG MaxFrameSize;
    ULONG Stepping;
};
struct KS_FRAMING_RANGE_WEIGHTED {
    KS_FRAMING_RANGE Range;
    ULONG InPlaceWeight;
    ULONG NotInPlaceWeight;
};
struct KS_FRAMING_ITEM {
    GUID MemoryType;
    GUID BusType;
    ULONG MemoryFlags;
    ULONG BusFlags;
    ULONG Flags;
    ULONG Frames;
    ULONG FileAlignment;
    ULONG MemoryTypeWeight;
    KS_FRAMING_RANGE PhysicalRange;
    KS_FRAMING_RANGE_WEIGHTED FramingRange;
};
struct KSALLOCATOR_FRAMING_EX {
    ULONG CountItems;
    ULONG PinFlags;
    KS_COMPRESSION OutputCompression;
    ULONG PinWeight;
    KS_FRAMING_ITEM FramingItem[1];
};
static_assert(sizeof(KSALLOCATOR_FRAMING_EX) == 112);

// Properties.
struct KSPROPERTY {
    GUID Set;
    ULONG Id;
    ULONG Flags;
};
static_assert(sizeof(KSPROPERTY) == 24);
constexpr ULONG KSPROPERTY_TYPE_GET = 0x1;
constexpr ULONG KSPROPERTY_TYPE_SET = 0x2;

using PFNKSHANDLER = NTSTATUS (*)(PIRP irp, KSPROPERTY* property, PVOID data);
struct KSPROPERTY_ITEM {
    ULONG PropertyId;
    PFNKSHANDLER GetPropertyHandler;
    ULONG MinProperty;
    ULONG MinData;
    PFNKSHANDLER SetPropertyHandler;
    const void* Values;
    ULONG RelationsCount;
    const void* Relations;
    PFNKSHANDLER SupportHandler;
    ULONG SerializedSize;
};
struct KSPROPERTY_SET {
    const GUID* Set;
    ULONG PropertiesCount;
    const KSPROPERTY_ITEM* PropertyItem;
    ULONG FastIoCount;
    const void* FastIoTable;
};
struct KSAUTOMATION_TABLE {
    ULONG PropertySetsCount;
    ULONG PropertyItemSize;
    const KSPROPERTY_SET* PropertySets;
    ULONG MethodSetsCount;
    ULONG MethodItemSize;
    const void* MethodSets;
    ULONG EventSetsCount;
    ULONG EventItemSize;
    const void* EventSets;
};

struct KSP_PIN {
    KSPROPERTY Property;
    ULONG PinId;
    ULONG Reserved;
};

using PFNKSINTERSECTHANDLEREX = NTSTATUS (*)(PVOID context, PIRP irp, KSP_PIN* pin,
                                             PKSDATARANGE dataRange, PKSDATARANGE matchingDataRange,
                                             ULONG dataBufferSize, PVOID data, PULONG dataSize);

struct KSPIN_DISPATCH {
    NTSTATUS (*Create)(PKSPIN pin, PIRP irp);
    NTSTATUS (*Close)(PKSPIN pin, PIRP irp);
    NTSTATUS (*Process)(PKSPIN pin);
    void (*Reset)(PKSPIN pin);
    // clang-format 14 wraps a long function-pointer member differently on each run.
    // clang-format off
    NTSTATUS (*SetDataFormat)(PKSPIN pin, PKSDATAFORMAT oldFormat, PVOID oldAttributeList,
                              const KSDATARANGE* dataRange, const void* attributeRange);
    // clang-format on
    NTSTATUS (*SetDeviceState)(PKSPIN pin, KSSTATE to, KSSTATE from);
    PVOID Connect;
    PVOID Disconnect;
    PVOID Clock;
    PVOID Allocator;
};

struct KSPIN_DESCRIPTOR {
    ULONG InterfacesCount;
    const void* Interfaces;
    ULONG MediumsCount;
    const void* Mediums;
    ULONG DataRangesCount;
    const PKSDATARANGE* DataRanges;
    KSPIN_DATAFLOW DataFlow;
    KSPIN_COMMUNICATION Communication;
    const GUID* Category;
    const GUID* Name;
    union {
        LONGLONG Reserved;
        struct {
            ULONG ConstrainedDataRangesCount;
            PKSDATARANGE* ConstrainedDataRanges;
        };
    };
};
static_assert(sizeof(KSPIN_DESCRIPTOR) == 88);

struct KSPIN_DESCRIPTOR_EX {
    const KSPIN_DISPATCH* Dispatch;
    const KSAUTOMATION_TABLE* AutomationTable;
    KSPIN_DESCRIPTOR PinDescriptor;
    ULONG Flags;
    ULONG InstancesPossible;
    ULONG InstancesNecessary;
    const KSALLOCATOR_FRAMING_EX* AllocatorFraming;
    PFNKSINTERSECTHANDLEREX IntersectHandler;
};
static_assert(sizeof(KSPIN_DESCRIPTOR_EX) == 136);

struct KSNODE_DESCRIPTOR {
    const KSAUTOMATION_TABLE* AutomationTable;
    const GUID* Type;
    const GUID* Name;
};
static_assert(sizeof(KSNODE_DESCRIPTOR) == 24);

struct KSFILTER_DISPATCH {
    NTSTATUS (*Create)(PKSFILTER filter, PIRP irp);
    NTSTATUS (*Close)(PKSFILTER filter, PIRP irp);
    NTSTATUS (*Process)(PKSFILTER filter, PVOID index);
    NTSTATUS (*Reset)(PKSFILTER filter);
};

struct KSFILTER_DESCRIPTOR {
    const KSFILTER_DISPATCH* Dispatch;
    const KSAUTOMATION_TABLE* AutomationTable;
    ULONG Version;
    ULONG Flags;
    const GUID* ReferenceGuid;
    ULONG PinDescriptorsCount;
    ULONG PinDescriptorSize;
    const KSPIN_DESCRIPTOR_EX* PinDescriptors;
    ULONG CategoriesCount;
    const GUID* Categories;
    ULONG NodeDescriptorsCount;
    ULONG NodeDescriptorSize;
    const KSNODE_DESCRIPTOR* NodeDescriptors;
    ULONG ConnectionsCount;
    const void* Connections;
    const void* ComponentId;
};

struct KSFILTER {
    const KSFILTER_DESCRIPTOR* Descriptor;
    KSOBJECT_BAG Bag;
    PVOID Context;
};

struct KSPIN {
    const KSPIN_DESCRIPTOR_EX* Descriptor;
    KSOBJECT_BAG Bag;
    PVOID Context;
    ULONG Id;
    KSPIN_COMMUNICATION Communication;
    PKSDATAFORMAT ConnectionFormat;
    ULONG StreamHeaderSize;
    KSPIN_DATAFLOW DataFlow;
    KSSTATE DeviceState;
    KSSTATE ClientState;
};

// The reference clock a pin may be given.
class IKsReferenceClock {
  public:
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;
    // The clock's time in 100 ns units; the system time with it.
    virtual LONGLONG GetCorrelatedTime(LONGLONG* systemTime) = 0;

  protected:
    virtual ~IKsReferenceClock() = default;
};
using PIKSREFERENCECLOCK = IKsReferenceClock*;

NTSTATUS KsCreateFilterFactory(PDEVICE_OBJECT deviceObject, const KSFILTER_DESCRIPTOR* descriptor,
                               PCWSTR refString, PVOID securityDescriptor, ULONG createItemFlags,
                               PVOID sleepCallback, PVOID wakeCallback, PKSFILTERFACTORY* factory);
PKSDEVICE KsGetDevice(PVOID object);
PKSFILTER KsGetFilterFromIrp(PIRP irp);
PKSFILTER KsPinGetParentFilter(PKSPIN pin);
NTSTATUS _KsEdit(KSOBJECT_BAG bag, PVOID* pointerToPointer, ULONG newSize, ULONG oldSize,
                 ULONG tag);
PKSSTREAM_POINTER KsPinGetLeadingEdgeStreamPointer(PKSPIN pin, KSSTREAM_POINTER_STATE state);
NTSTATUS KsStreamPointerUnlock(PKSSTREAM_POINTER pointer, BOOLEAN eject);
// Locks a pointer taken unlocked; STATUS_DEVICE_NOT_READY when its frame is
// no longer queued.
NTSTATUS KsStreamPointerLock(PKSSTREAM_POINTER pointer);
// The filter control mutex of a filter or of a pin's filter.
void KsAcquireControl(PVOID object);
void KsReleaseControl(PVOID object);
void KsPinAttemptProcessing(PKSPIN pin, BOOLEAN asynchronous);
NTSTATUS KsPinGetReferenceClockInterface(PKSPIN pin, PIKSREFERENCECLOCK* clock);
