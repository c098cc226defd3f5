// Tracked non-paged pool: tagged blocks with a verifier (tag mismatch, double
// free, overrun, a damaged header, zero-byte requests, tags that are not
// four printable characters), per-tag usage, allocation-failure injection
// and a special pool that puts every block against a guard page.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "platform/kernel/nt_types.h"

enum POOL_TYPE { NonPagedPool = 0, PagedPool = 1, NonPagedPoolNx = 512 };

PVOID ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T size, ULONG tag);
void ExFreePoolWithTag(PVOID block, ULONG tag);
void ExFreePool(PVOID block);

namespace kernel::pool {

struct Usage {
    uint64_t blocks = 0;
    uint64_t bytes = 0;
};

// Live blocks and bytes under one tag, and for all tags together.
Usage TagUsage(ULONG tag);
Usage TotalUsage();
std::map<ULONG, Usage> UsageByTag();
// "'KCNw' 1 block 5324800 bytes; ..." for failure messages; empty when none.
std::string DescribeLive();

// Number of allocation calls since start (failed ones included); a test can
// read it, then fail each of the next N allocations in turn.
uint64_t AllocationCount();
// The same, for one tag.
uint64_t AllocationCount(ULONG tag);

// Failure injection. Each setting stays until ClearFaults.
void FailNth(uint64_t n);                    // the n-th allocation from now (1 = the next one)
void FailTag(ULONG tag, uint64_t skip = 0);  // every allocation with tag, after skipping `skip`
void FailRandom(uint32_t seed, double probability);
void ClearFaults();
uint64_t InjectedFailures();

// The special pool: every block gets pages of its own, with an inaccessible
// page right after it (Overruns: a read or write past the end faults on the
// access itself) or right before it (Underruns); a freed block's pages stay
// inaccessible for a while, so a use after free faults too. Off by default;
// NORVIK_SPECIAL_POOL=overrun|underrun in the environment turns it on for a
// whole run. Blocks allocated before a change keep the kind they were made as.
enum class Special { Off, Overruns, Underruns };
void SetSpecialPool(Special mode);
Special SpecialPool();

}  // namespace kernel::pool
