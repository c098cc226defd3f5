// Tracked pool. Each block carries a header with its tag and size and a guard
// pattern after its end; the address table catches frees of blocks that are
// not live, and remembers the tag of freed blocks to name it in the message.
//
// Like the platform's pool, freed blocks of the common small sizes are kept
// on free lists and handed out again, so a driver that allocates its request
// blocks per request costs no trip to the process heap, and the table never
// forgets an address it has seen, so it stops growing once the blocks cycle.
// Under the address sanitizer nothing is kept: every block goes back to the
// heap, where the sanitizer sees a use after free.
#include "platform/kernel/pool.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <vector>

#include "platform/kernel/bugcheck.h"

#if defined(__SANITIZE_ADDRESS__)
#define NORVIK_POOL_RECYCLES 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define NORVIK_POOL_RECYCLES 0
#endif
#endif
#ifndef NORVIK_POOL_RECYCLES
#define NORVIK_POOL_RECYCLES 1
#endif

namespace {

constexpr uint64_t kHeaderMagic = 0x4C4F4F50564B524EULL;  // "NRKVPOOL"
constexpr size_t kGuardBytes = 16;
constexpr UCHAR kGuardByte = 0xFD;
constexpr UCHAR kFreedByte = 0xDD;

struct alignas(16) BlockHeader {
    uint64_t magic;
    uint64_t size;      // what the caller asked for
    ULONG tag;
    ULONG sizeClass;    // index into the free lists, or kNoClass
    ULONG reserved[2];
};
static_assert(sizeof(BlockHeader) == 32);

// Blocks whose header, data and guard fit 64 bytes .. 64 KB are recycled,
// in power-of-two classes; a class keeps at most kKeepPerClass spare blocks.
constexpr ULONG kNoClass = ~0u;
constexpr int kClasses = 11;  // 64 << 10 = 64 KB
constexpr size_t kKeepPerClass = 256;

ULONG SizeClass(size_t total) {
    size_t cap = 64;
    for (ULONG c = 0; c < kClasses; ++c, cap <<= 1)
        if (total <= cap) return c;
    return kNoClass;
}

size_t ClassBytes(ULONG c) { return size_t{64} << c; }

// Open addressing, never erased: an address is either live or remembered as
// freed under a tag. Grows by doubling, so only a new address allocates.
class AddressTable {
public:
    struct Entry {
        void* address = nullptr;
        BlockHeader* header = nullptr;  // null once freed
        ULONG freedTag = 0;
    };

    Entry* Find(void* address) {
        if (slots_.empty()) return nullptr;
        for (size_t i = Hash(address);; i = (i + 1) & (slots_.size() - 1)) {
            Entry& e = slots_[i];
            if (e.address == address) return &e;
            if (e.address == nullptr) return nullptr;
        }
    }

    Entry& Insert(void* address) {
        if (Entry* e = Find(address)) return *e;
        if ((used_ + 1) * 4 > slots_.size() * 3) Grow();
        ++used_;
        return Place(address);
    }

private:
    size_t Hash(void* address) const {
        auto v = reinterpret_cast<uintptr_t>(address) >> 4;
        return (v * 0x9E3779B97F4A7C15ULL >> 17) & (slots_.size() - 1);
    }

    Entry& Place(void* address) {
        size_t i = Hash(address);
        while (slots_[i].address != nullptr) i = (i + 1) & (slots_.size() - 1);
        slots_[i].address = address;
        return slots_[i];
    }

    void Grow() {
        std::vector<Entry> old(slots_.empty() ? 1024 : slots_.size() * 2);
        old.swap(slots_);
        for (const Entry& e : old)
            if (e.address != nullptr) Place(e.address) = e;
    }

    std::vector<Entry> slots_;
    size_t used_ = 0;
};

struct PoolState {
    std::mutex lock;
    AddressTable addresses;
    std::vector<BlockHeader*> spare[kClasses];
    std::map<ULONG, kernel::pool::Usage> usage;  // entries stay at zero: no node per cycle
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
    AddressTable::Entry* entry = s.addresses.Find(block);
    if (entry == nullptr) kernel::BugCheck(kernel::BAD_POOL_CALLER, "free of an address that is not a pool block");
    if (entry->header == nullptr)
        kernel::BugCheck(kernel::BAD_POOL_CALLER, "block tagged " + kernel::TagName(entry->freedTag) + " freed twice");
    BlockHeader* h = entry->header;
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
    entry->header = nullptr;
    entry->freedTag = h->tag;
    h->magic = 0;
    if (NORVIK_POOL_RECYCLES && h->sizeClass != kNoClass && s.spare[h->sizeClass].size() < kKeepPerClass) {
        // A block read after its free shows this pattern, not the old data.
        std::memset(block, kFreedByte, h->size);
        s.spare[h->sizeClass].push_back(h);
        return;
    }
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
    const size_t total = sizeof(BlockHeader) + size + kGuardBytes;
    const ULONG sizeClass = SizeClass(total);
    BlockHeader* h = nullptr;
    if (sizeClass != kNoClass) {
        std::lock_guard<std::mutex> guard(s.lock);
        auto& spare = s.spare[sizeClass];
        if (!spare.empty()) {
            h = spare.back();
            spare.pop_back();
        }
    }
    if (h == nullptr) {
        h = static_cast<BlockHeader*>(std::malloc(sizeClass == kNoClass ? total : ClassBytes(sizeClass)));
        if (h == nullptr) return nullptr;
    }
    h->magic = kHeaderMagic;
    h->size = size;
    h->tag = tag;
    h->sizeClass = sizeClass;
    void* user = h + 1;
    // Fresh pool holds garbage, not zeros: callers that forget to clear a block
    // see it in tests.
    std::memset(user, 0xCD, size);
    std::memset(static_cast<UCHAR*>(user) + size, kGuardByte, kGuardBytes);
    std::lock_guard<std::mutex> guard(s.lock);
    AddressTable::Entry& entry = s.addresses.Insert(user);
    entry.header = h;
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
    std::map<ULONG, Usage> live;
    for (auto& [tag, u] : s.usage)
        if (u.blocks != 0) live[tag] = u;
    return live;
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
