// Dispatcher objects and waits, spin locks and IRQL, fast mutexes, relative
// delays, critical regions and the interlocked operations.
#pragma once

#include <atomic>
#include <functional>

#include "platform/kernel/nt_types.h"

enum EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 };

enum KWAIT_REASON { Executive = 0, Suspended = 5, UserRequest = 6 };

// Types of dispatcher object a wait can name.
enum : UCHAR { EventNotificationObject = 0, EventSynchronizationObject = 1, ThreadObject = 6 };

struct DISPATCHER_HEADER {
    UCHAR Type;
    UCHAR Reserved[3];
    LONG SignalState;
};

struct KEVENT {
    DISPATCHER_HEADER Header;
};
using PKEVENT = KEVENT*;

void KeInitializeEvent(PKEVENT event, EVENT_TYPE type, BOOLEAN state);
LONG KeSetEvent(PKEVENT event, KPRIORITY increment, BOOLEAN wait);
LONG KeResetEvent(PKEVENT event);
LONG KeReadStateEvent(PKEVENT event);

// Waits on an event or a thread object. A null time-out waits for ever; a
// negative one is relative, in 100 ns units, and gives STATUS_TIMEOUT.
NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON reason, KPROCESSOR_MODE mode,
                               BOOLEAN alertable, PLARGE_INTEGER timeout);

// Relative delays only (negative intervals in 100 ns units).
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE mode, BOOLEAN alertable, PLARGE_INTEGER interval);

// 100 ns units since an arbitrary start; it only ever grows.
ULONGLONG KeQueryInterruptTime();

using KSPIN_LOCK = ULONG_PTR;
using PKSPIN_LOCK = KSPIN_LOCK*;
void KeInitializeSpinLock(PKSPIN_LOCK lock);
KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK lock);
void KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql);
KIRQL KeGetCurrentIrql();
// Raising takes the thread to a level at or above where it is; lowering
// goes back to where it was (never above where it is).
void KeRaiseIrql(KIRQL newIrql, KIRQL* oldIrql);
void KeLowerIrql(KIRQL newIrql);

// Acquiring raises the thread to APC_LEVEL, as the platform's does; the
// level it came from is kept in the mutex and restored on release.
struct FAST_MUTEX {
    LONG Count;  // 1 free, 0 owned, as on the platform
    LONG OldIrql;
    PVOID Owner;
};
using PFAST_MUTEX = FAST_MUTEX*;
void ExInitializeFastMutex(PFAST_MUTEX mutex);
void ExAcquireFastMutex(PFAST_MUTEX mutex);
void ExReleaseFastMutex(PFAST_MUTEX mutex);

void KeEnterCriticalRegion();
void KeLeaveCriticalRegion();

LONG InterlockedIncrement(LONG volatile* target);
LONG InterlockedDecrement(LONG volatile* target);
LONG InterlockedExchange(LONG volatile* target, LONG value);
LONG InterlockedCompareExchange(LONG volatile* target, LONG exchange, LONG comparand);
LONG InterlockedExchangeAdd(LONG volatile* target, LONG value);
// An atomic read with acquire ordering, for the fields the system reads
// "atomically" without changing them.
LONG ReadAcquire(const LONG volatile* source);
// The same for pointers a reader takes while another thread may swap them.
PVOID InterlockedExchangePointer(PVOID volatile* target, PVOID value);
PVOID ReadPointerAcquire(PVOID const volatile* source);

namespace kernel {

// Observes every KeDelayExecutionThread (the interval as given), so the
// simulated camera can record the pauses between blocks. Null to remove.
void SetDelayObserver(std::function<void(LONGLONG interval)> observer);

// Converts a relative 100 ns interval to microseconds, saturating instead of
// overflowing for any 64-bit value.
LONGLONG RelativeIntervalToMicroseconds(LONGLONG interval);

// Internal: the one lock and condition that every dispatcher wait uses.
void SignalDispatcherObject(DISPATCHER_HEADER* header, LONG state);

// The verifier's IRQL rule for a call: stops the process when the calling
// thread runs above `highest` (or holds a spin lock while `highest` is
// below DISPATCH_LEVEL).
void RequireIrqlAtMost(KIRQL highest, const char* what);

// What the calling thread holds: a system thread must end with none of it.
struct ThreadHoldings {
    int spinLocks = 0;
    int fastMutexes = 0;
    int criticalRegions = 0;
    KIRQL irql = PASSIVE_LEVEL;
};
ThreadHoldings CurrentThreadHoldings();

// The event of a threaded request (IoBuildDeviceIoControlRequest) this
// thread sent, until the request completes: such a completion is delivered
// to the sending thread, which cannot take it while it runs at APC_LEVEL
// (for example inside a fast mutex), so a wait for the event there would
// never end.
void NoteThreadedRequest(PKEVENT event, bool outstanding);

}  // namespace kernel
