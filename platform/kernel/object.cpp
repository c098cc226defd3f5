// Handle table and reference counts.
#include "platform/kernel/object.h"

#include <mutex>
#include <unordered_map>

#include "platform/kernel/bugcheck.h"

namespace {

struct Table {
    std::mutex lock;
    std::unordered_map<HANDLE, kernel::ObjectBase*> handles;
    std::unordered_map<PVOID, std::pair<kernel::ObjectBase*, LONG>> objects;  // body -> refs
    ULONG_PTR nextHandle = 0x100;
};

Table& T() {
    static Table* t = new Table;
    return *t;
}

void Release(kernel::ObjectBase* object) {
    Table& t = T();
    kernel::ObjectBase* dead = nullptr;
    {
        std::lock_guard<std::mutex> guard(t.lock);
        auto it = t.objects.find(object->Body());
        if (it == t.objects.end())
            kernel::BugCheck(kernel::DRIVER_VERIFIER_DETECTED_VIOLATION,
                             "dereference of an object with no references");
        if (--it->second.second == 0) {
            dead = it->second.first;
            t.objects.erase(it);
        }
    }
    delete dead;
}

}  // namespace

namespace kernel {

void RegisterObject(ObjectBase* object) {
    Table& t = T();
    std::lock_guard<std::mutex> guard(t.lock);
    t.objects[object->Body()] = {object, 1};
}

HANDLE CreateHandle(ObjectBase* object) {
    RegisterObject(object);
    Table& t = T();
    std::lock_guard<std::mutex> guard(t.lock);
    auto handle = reinterpret_cast<HANDLE>(t.nextHandle);
    t.nextHandle += 4;
    t.handles[handle] = object;
    return handle;
}

ObjectBase* LookupHandle(HANDLE handle) {
    Table& t = T();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.handles.find(handle);
    return it == t.handles.end() ? nullptr : it->second;
}

size_t LiveObjects() {
    Table& t = T();
    std::lock_guard<std::mutex> guard(t.lock);
    return t.objects.size();
}

size_t OpenHandles() {
    Table& t = T();
    std::lock_guard<std::mutex> guard(t.lock);
    return t.handles.size();
}

}  // namespace kernel

NTSTATUS ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK, POBJECT_TYPE, KPROCESSOR_MODE,
                                   PVOID* object, POBJECT_HANDLE_INFORMATION) {
    Table& t = T();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.handles.find(handle);
    if (it == t.handles.end()) return STATUS_INVALID_PARAMETER;  // STATUS_INVALID_HANDLE's role
    PVOID body = it->second->Body();
    t.objects[body].second += 1;
    *object = body;
    return STATUS_SUCCESS;
}

void ObReferenceObject(PVOID object) {
    Table& t = T();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.objects.find(object);
    if (it == t.objects.end())
        kernel::BugCheck(kernel::DRIVER_VERIFIER_DETECTED_VIOLATION,
                         "reference to an object that does not exist");
    it->second.second += 1;
}

void ObDereferenceObject(PVOID object) {
    kernel::ObjectBase* base;
    {
        Table& t = T();
        std::lock_guard<std::mutex> guard(t.lock);
        auto it = t.objects.find(object);
        if (it == t.objects.end())
            kernel::BugCheck(kernel::DRIVER_VERIFIER_DETECTED_VIOLATION,
                             "dereference of an object that does not exist");
        base = it->second.first;
    }
    Release(base);
}

NTSTATUS ZwClose(HANDLE handle) {
    kernel::ObjectBase* base;
    {
        Table& t = T();
        std::lock_guard<std::mutex> guard(t.lock);
        auto it = t.handles.find(handle);
        if (it == t.handles.end()) return STATUS_INVALID_PARAMETER;
        base = it->second;
        t.handles.erase(it);
    }
    Release(base);
    return STATUS_SUCCESS;
}
