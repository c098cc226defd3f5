// Tracked pool. Each block carries a header with its tag and size and a guard
// pattern after its end; the live-block table catches frees of blocks that are
// not live, and remembers the tag of freed blocks to name it in the message.
#include "platform/kernel/pool.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <unordered_map>

#include "platform/kernel/bugcheck.h"

namespace {

constexpr uint64_t kHeaderMagic = 0x4C4F4F50564B524EULL;  // "NRKVPOOL"
constexpr size_t kGuardBytes = 16;
constexpr UCHAR kGuardByte = 0xFD;

struct alignas(16) BlockHeader {
    uint64_t magic;
    uint64_t size;
    ULONG tag;
    ULONG reserved[3];
};
static_assert(sizeof(BlockHeader) == 32);

struct PoolState {
    std::mutex lock;
    std::unordered_map<void*, BlockHeader*> live;
    std::unordered_map<void*, ULONG> freed;  // user address -> tag it was freed under
    std::map<ULONG, kernel::pool::Usage> usage;
    uint64_t allocations = 0;
    std::map<ULONG, uint64_t> allocationsByTag;
    uint64_t failNth = 0;  // absolute allocation number to fail, 0 = none
    bool failTagOn = false;
    ULONG failTag = 0;
    uint64_t failTagSkip = 0;
    bool failRandomOn = false;
    double failProbability = 0;
    std::mt19937 rng;
    uint64_t injected = 0;
};

PoolState& State() {
    static PoolState* state = new PoolState;  // never destroyed: threads may free late
    return *state;
}

bool ShouldFail(PoolState& s, ULONG tag) {
    if (s.failNth != 0 && s.allocations == s.failNth) return true;
    if (s.failTagOn && tag == s.failTag) {
        if (s.failTagSkip == 0) return true;
        --s.failTagSkip;
    }
    if (s.failRandomOn) {
        std::uniform_real_distribution<double> d(0.0, 1.0);
        if (d(s.rng) < s.failProbability) return true;
    }
    return false;
}

void FreeBlock(PVOID block, bool checkTag, ULONG tag) {
    if (block == nullptr) kernel::BugCheck(kernel::BAD_POOL_CALLER, "free of a null pointer");
    PoolState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    auto it = s.live.find(block);
    if (it == s.live.end()) {
        auto f = s.freed.find(block);
        if (f != s.freed.end())
            kernel::BugCheck(kernel::BAD_POOL_CALLER, "block tagged " + kernel::TagName(f->second) +
                                                          " freed twice");
        kernel::BugCheck(kernel::BAD_POOL_CALLER, "free of an address that is not a pool block");
    }
    BlockHeader* h = it->second;
    if (checkTag && h->tag != tag)
        kernel::BugCheck(kernel::BAD_POOL_CALLER, "block tagged " + kernel::TagName(h->tag) +
                                                      " freed with tag " + kernel::TagName(tag));
    const UCHAR* guardStart = static_cast<UCHAR*>(block) + h->size;
    for (size_t i = 0; i < kGuardBytes; ++i) {
        if (guardStart[i] != kGuardByte)
            kernel::BugCheck(kernel::BAD_POOL_CALLER,
                             "block tagged " + kernel::TagName(h->tag) + " of " +
                                 std::to_string(h->size) + " bytes was written past its end");
    }
    auto& u = s.usage[h->tag];
    u.blocks -= 1;
    u.bytes -= h->size;
    if (u.blocks == 0) s.usage.erase(h->tag);
    s.live.erase(it);
    s.freed[block] = h->tag;
    h->magic = 0;
    std::free(h);
}

}  // namespace

PVOID ExAllocatePoolWithTag(POOL_TYPE, SIZE_T size, ULONG tag) {
    PoolState& s = State();
    {
        std::lock_guard<std::mutex> guard(s.lock);
        ++s.allocations;
        ++s.allocationsByTag[tag];
        if (ShouldFail(s, tag)) {
            ++s.injected;
            return nullptr;
        }
    }
    if (size > (SIZE_T{1} << 40)) return nullptr;
    auto* h = static_cast<BlockHeader*>(std::malloc(sizeof(BlockHeader) + size + kGuardBytes));
    if (h == nullptr) return nullptr;
    h->magic = kHeaderMagic;
    h->size = size;
    h->tag = tag;
    void* user = h + 1;
    // Fresh pool holds garbage, not zeros: callers that forget to clear a block
    // see it in tests.
    std::memset(user, 0xCD, size);
    std::memset(static_cast<UCHAR*>(user) + size, kGuardByte, kGuardBytes);
    std::lock_guard<std::mutex> guard(s.lock);
    s.live[user] = h;
    s.freed.erase(user);
    auto& u = s.usage[tag];
    u.blocks += 1;
    u.bytes += size;
    return user;
}

void ExFreePoolWithTag(PVOID block, ULONG tag) { FreeBlock(block, true, tag); }

void ExFreePool(PVOID block) { FreeBlock(block, false, 0); }

namespace kernel::pool {

Usage TagUsage(ULONG tag) {
    PoolState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    auto it = s.usage.find(tag);
    return it == s.usage.end() ? Usage{} : it->second;
}

Usage TotalUsage() {
    PoolState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    Usage total;
    for (auto& [tag, u] : s.usage) {
        total.blocks += u.blocks;
        total.bytes += u.bytes;
    }
    return total;
}

std::map<ULONG, Usage> UsageByTag() {
    PoolState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.usage;
}

std::string DescribeLive() {
    std::string out;
    for (auto& [tag, u] : UsageByTag()) {
        if (!out.empty()) out += "; ";
        out += TagName(tag) + " " + std::to_string(u.blocks) + " block(s) " +
               std::to_string(u.bytes) + " bytes";
    }
    return out;
}

uint64_t AllocationCount() {
    PoolState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.allocations;
}

uint64_t AllocationCount(ULONG tag) {
    PoolState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    auto it = s.allocationsByTag.find(tag);
    return it == s.allocationsByTag.end() ? 0 : it->second;
}

void FailNth(uint64_t n) {
    PoolState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    s.failNth = n == 0 ? 0 : s.allocations + n;
}

void FailTag(ULONG tag, uint64_t skip) {
    PoolState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    s.failTagOn = true;
    s.failTag = tag;
    s.failTagSkip = skip;
}

void FailRandom(uint32_t seed, double probability) {
    PoolState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    s.failRandomOn = true;
    s.failProbability = probability;
    s.rng.seed(seed);
}

void ClearFaults() {
    PoolState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    s.failNth = 0;
    s.failTagOn = false;
    s.failRandomOn = false;
}

uint64_t InjectedFailures() {
    PoolState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.injected;
}

}  // namespace kernel::pool
