// System threads.
#pragma once

#include "platform/kernel/object.h"
#include "platform/kernel/sync.h"

using PKSTART_ROUTINE = void (*)(PVOID context);
struct CLIENT_ID {
    HANDLE UniqueProcess;
    HANDLE UniqueThread;
};
using PCLIENT_ID = CLIENT_ID*;

NTSTATUS PsCreateSystemThread(PHANDLE threadHandle, ULONG desiredAccess,
                              POBJECT_ATTRIBUTES objectAttributes, HANDLE processHandle,
                              PCLIENT_ID clientId, PKSTART_ROUTINE startRoutine, PVOID context);
// Ends the calling system thread; it does not return.
[[noreturn]] NTSTATUS PsTerminateSystemThread(NTSTATUS exitStatus);

namespace kernel {
// System threads still running or whose objects are still referenced.
size_t LiveThreads();
// Fails the next n thread creations with STATUS_INSUFFICIENT_RESOURCES.
void FailThreadCreation(int n);
}  // namespace kernel
