// Large memcpy and memmove calls of this test program, by kind of thread.
#pragma once

#include <cstdint>

enum class ThreadKind { Camera, Usb, Capture, Process, Application };
constexpr int kThreadKinds = 5;

struct CopiedBytes {
    uint64_t bytes[kThreadKinds];
    uint64_t operator[](ThreadKind k) const { return bytes[static_cast<int>(k)]; }
};

void StartCountingCopies();
CopiedBytes StopCountingCopies();
