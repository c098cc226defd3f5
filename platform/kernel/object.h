// Object manager of the stand-in: reference-counted objects behind handles.
#pragma once

#include "platform/kernel/nt_types.h"

struct OBJECT_ATTRIBUTES;
using POBJECT_ATTRIBUTES = OBJECT_ATTRIBUTES*;
using POBJECT_TYPE = PVOID;
using POBJECT_HANDLE_INFORMATION = PVOID;

NTSTATUS ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK access, POBJECT_TYPE type,
                                   KPROCESSOR_MODE mode, PVOID* object,
                                   POBJECT_HANDLE_INFORMATION info);
void ObReferenceObject(PVOID object);
void ObDereferenceObject(PVOID object);
NTSTATUS ZwClose(HANDLE handle);

namespace kernel {

// Base of every object the stand-in hands out. The body is what callers see
// (a thread's dispatcher header, a key's record); the object lives until its
// last reference, handles included, is gone.
class ObjectBase {
  public:
    virtual ~ObjectBase() = default;
    virtual PVOID Body() = 0;
    virtual const char* KindName() const = 0;
};

// Registers an object with one reference owned by the returned handle.
HANDLE CreateHandle(ObjectBase* object);
// Registers an object with one reference owned by the caller (no handle).
void RegisterObject(ObjectBase* object);
// The object behind a handle, without taking a reference; null if unknown.
ObjectBase* LookupHandle(HANDLE handle);
// Number of objects alive, for leak checks.
size_t LiveObjects();
size_t OpenHandles();

}  // namespace kernel
