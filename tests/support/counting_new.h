// Counting heap allocations: linking tests/support/counting_new.cpp into a
// program replaces its operator new with one that counts every call.
#pragma once

#include <cstdint>

// Every heap allocation of the process so far.
uint64_t HeapAllocations();
// Those made by the calling thread.
uint64_t ThreadHeapAllocations();
