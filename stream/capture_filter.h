// The capture filter: its descriptor, and create and close (which saves the
// device's settings).
#pragma once

#include "platform/ks/ks_stream.h"

extern const KSFILTER_DESCRIPTOR CaptureFilterDescriptor;

NTSTATUS FilterCreate(PKSFILTER filter, PIRP irp);
NTSTATUS FilterClose(PKSFILTER filter, PIRP irp);
