// memcpy and memmove of this test program, counted by the thread that calls
// them: every library is linked in statically, so their copies come here
// before going on to the C library's. Only large copies are counted (frame
// data moves in rows of at least 1 KB). Built without the sanitizers, whose
// runtimes own these two functions.
#include <dlfcn.h>
#include <sys/prctl.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "tests/copies/counting_copies.h"

namespace {

using CopyFn = void* (*)(void*, const void*, size_t);
std::atomic<CopyFn> realMemcpy{nullptr}, realMemmove{nullptr};
std::atomic<uint64_t> bytes[kThreadKinds];
std::atomic<bool> counting{false};

// Before the C library's functions are found (dlsym itself may copy).
void* ByteCopy(void* d, const void* s, size_t n) {
    auto* to = static_cast<volatile unsigned char*>(d);
    const auto* from = static_cast<const volatile unsigned char*>(s);
    if (to < from)
        for (size_t i = 0; i < n; ++i) to[i] = from[i];
    else
        for (size_t i = n; i > 0; --i) to[i - 1] = from[i - 1];
    return d;
}

bool Starts(const char* name, const char* prefix) {
    for (; *prefix != 0; ++name, ++prefix)
        if (*name != *prefix) return false;
    return true;
}

ThreadKind KindOfThisThread() {
    char name[17] = {};
    ::prctl(PR_GET_NAME, name, 0, 0, 0);
    if (Starts(name, "nv-camera")) return ThreadKind::Camera;
    if (Starts(name, "nv-usb")) return ThreadKind::Usb;
    if (Starts(name, "nv-system")) return ThreadKind::Capture;
    if (Starts(name, "nv-process") || Starts(name, "nv-convert")) return ThreadKind::Process;
    return ThreadKind::Application;
}

void Count(size_t n) {
    if (n < 1024 || !counting.load(std::memory_order_relaxed)) return;
    bytes[static_cast<int>(KindOfThisThread())].fetch_add(n, std::memory_order_relaxed);
}

CopyFn Real(std::atomic<CopyFn>& slot, const char* name) {
    CopyFn f = slot.load(std::memory_order_acquire);
    if (f == nullptr) {
        f = reinterpret_cast<CopyFn>(::dlsym(RTLD_NEXT, name));
        if (f != nullptr) slot.store(f, std::memory_order_release);
    }
    return f;
}

}  // namespace

extern "C" void* memcpy(void* d, const void* s, size_t n) noexcept {
    Count(n);
    CopyFn f = Real(realMemcpy, "memcpy");
    return f != nullptr ? f(d, s, n) : ByteCopy(d, s, n);
}

extern "C" void* memmove(void* d, const void* s, size_t n) noexcept {
    Count(n);
    CopyFn f = Real(realMemmove, "memmove");
    return f != nullptr ? f(d, s, n) : ByteCopy(d, s, n);
}

void StartCountingCopies() {
    for (auto& b : bytes) b.store(0);
    counting.store(true);
}

CopiedBytes StopCountingCopies() {
    counting.store(false);
    CopiedBytes c{};
    for (int i = 0; i < kThreadKinds; ++i) c.bytes[i] = bytes[i].load();
    return c;
}
