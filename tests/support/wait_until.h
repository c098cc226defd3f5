// Waiting in tests for a condition, never for a time: the condition is
// polled until it holds or a generous bound has passed, so a loaded machine
// or a sanitizer build, which can be many times slower, still passes.
#pragma once

#include <chrono>
#include <thread>

inline constexpr std::chrono::seconds kGenerousWait{120};

// True once the condition holds; false if it still does not after the bound.
template <class Condition>
bool WaitUntil(Condition&& holds, std::chrono::milliseconds bound = kGenerousWait) {
    const auto until = std::chrono::steady_clock::now() + bound;
    while (!holds()) {
        if (std::chrono::steady_clock::now() > until) return holds();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}
