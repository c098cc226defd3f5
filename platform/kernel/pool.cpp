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

#include <sys/mman.h>
#include <unistd.h>

#include <deque>

#include "platform/kernel/bugcheck.h"
#include "platform/kernel/large_pages.h"
#include "platform/kernel/sync.h"

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
    uint64_t size;  // what the caller asked for
    ULONG tag;
    ULONG sizeClass;  // index into the free lists, kNoClass, or kSpecial
    ULONG reserved[2];
};
static_assert(sizeof(BlockHeader) == 32);

// A special-pool block: its pages, and its header kept apart from them (an
// underrun block starts right at its page).
constexpr ULONG kSpecial = ~1u;
struct SpecialBlock {
    BlockHeader header;
    void* mapping;
    size_t mappingBytes;
};
// Freed special blocks stay inaccessible until this many more are freed.
constexpr size_t kKeepFreedSpecial = 4096;

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

size_t ClassBytes(ULONG c) {
    return size_t{64} << c;
}

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
    kernel::pool::Special special = SpecialFromEnvironment();
    std::deque<std::pair<void*, size_t>> freedSpecial;

    static kernel::pool::Special SpecialFromEnvironment() {
        const char* v = std::getenv("NORVIK_SPECIAL_POOL");
        if (v == nullptr) return kernel::pool::Special::Off;
        const std::string mode = v;
        if (mode == "underrun") return kernel::pool::Special::Underruns;
        if (mode == "overrun" || mode == "1") return kernel::pool::Special::Overruns;
        return kernel::pool::Special::Off;
    }
};

size_t PageBytes() {
    static const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    return page;
}

// Pages for `size` bytes and one guard page; the block is placed against the
// guard page, 16-byte aligned (an overrun block may end up to 15 bytes short
// of the page end: those bytes are guard pattern, checked on free).
void* SpecialAllocate(size_t size, kernel::pool::Special mode, SpecialBlock** record) {
    const size_t page = PageBytes();
    const size_t dataPages = (size + page - 1) / page + (size == 0 ? 1 : 0);
    const size_t bytes = (dataPages + 1) * page;
    void* map = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED) return nullptr;
    auto* base = static_cast<UCHAR*>(map);
    UCHAR* user;
    if (mode == kernel::pool::Special::Underruns) {
        ::mprotect(base, page, PROT_NONE);
        user = base + page;
    } else {
        ::mprotect(base + dataPages * page, page, PROT_NONE);
        const size_t rounded = (size + 15) & ~size_t{15};
        user = base + dataPages * page - rounded;
    }
    auto* r = static_cast<SpecialBlock*>(std::malloc(sizeof(SpecialBlock)));
    if (r == nullptr) {
        ::munmap(map, bytes);
        return nullptr;
    }
    r->mapping = map;
    r->mappingBytes = bytes;
    *record = r;
    return user;
}

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
    if (entry == nullptr)
        kernel::BugCheck(kernel::BAD_POOL_CALLER, "free of an address that is not a pool block");
    if (entry->header == nullptr)
        kernel::BugCheck(kernel::BAD_POOL_CALLER,
                         "block tagged " + kernel::TagName(entry->freedTag) + " freed twice");
    BlockHeader* h = entry->header;
    // The header lies right before an ordinary block: an underrun damages it.
    if (h->magic != kHeaderMagic)
        kernel::BugCheck(kernel::BAD_POOL_CALLER,
                         "the header of a pool block was overwritten (written before its start)");
    if (checkTag && h->tag != tag)
        kernel::BugCheck(kernel::BAD_POOL_CALLER, "block tagged " + kernel::TagName(h->tag) +
                                                      " freed with tag " + kernel::TagName(tag));
    const UCHAR* guardStart = static_cast<UCHAR*>(block) + h->size;
    const size_t guardBytes = h->sizeClass != kSpecial ? kGuardBytes
                              : reinterpret_cast<uintptr_t>(block) % PageBytes() == 0
                                  ? 0  // an underrun block: its end is not against anything
                                  : ((h->size + 15) & ~uint64_t{15}) - h->size;
    for (size_t i = 0; i < guardBytes; ++i) {
        if (guardStart[i] != kGuardByte)
            kernel::BugCheck(kernel::BAD_POOL_CALLER, "block tagged " + kernel::TagName(h->tag) +
                                                          " of " + std::to_string(h->size) +
                                                          " bytes was written past its end");
    }
    auto& u = s.usage[h->tag];
    u.blocks -= 1;
    u.bytes -= h->size;
    entry->header = nullptr;
    entry->freedTag = h->tag;
    h->magic = 0;
    if (h->sizeClass == kSpecial) {
        auto* r = reinterpret_cast<SpecialBlock*>(h);
        ::mprotect(r->mapping, r->mappingBytes, PROT_NONE);
        s.freedSpecial.emplace_back(r->mapping, r->mappingBytes);
        std::free(r);
        if (s.freedSpecial.size() > kKeepFreedSpecial) {
            ::munmap(s.freedSpecial.front().first, s.freedSpecial.front().second);
            s.freedSpecial.pop_front();
        }
        return;
    }
    if (NORVIK_POOL_RECYCLES && h->sizeClass != kNoClass &&
        s.spare[h->sizeClass].size() < kKeepPerClass) {
        // A block read after its free shows this pattern, not the old data.
        std::memset(block, kFreedByte, h->size);
        s.spare[h->sizeClass].push_back(h);
        return;
    }
    std::free(h);
}

}  // namespace

PVOID ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T size, ULONG tag) {
    // The verifier's rules for the caller, before anything else.
    kernel::RequireIrqlAtMost(type == PagedPool ? APC_LEVEL : DISPATCH_LEVEL,
                              type == PagedPool ? "a paged pool allocation" : "a pool allocation");
    if (size == 0) kernel::BugCheck(kernel::BAD_POOL_CALLER, "a zero-byte pool allocation");
    for (int i = 0; i < 4; ++i) {
        const auto c = static_cast<UCHAR>(tag >> (8 * i));
        if (tag == 0 || c < 0x20 || c > 0x7E)
            kernel::BugCheck(kernel::BAD_POOL_CALLER, "pool tag " + std::to_string(tag) +
                                                          " is not four printable characters");
    }
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
    kernel::pool::Special special;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        special = s.special;
    }
    if (special != kernel::pool::Special::Off) {
        SpecialBlock* r = nullptr;
        void* user = SpecialAllocate(size, special, &r);
        if (user == nullptr) return nullptr;
        r->header = {kHeaderMagic, size, tag, kSpecial, {0, 0}};
        std::memset(user, 0xCD, size);
        // Between an overrun block's end and its page's end: guard pattern.
        auto* end = static_cast<UCHAR*>(user) + size;
        const size_t slack =
            special == kernel::pool::Special::Overruns ? ((size + 15) & ~size_t{15}) - size : 0;
        std::memset(end, kGuardByte, slack);
        std::lock_guard<std::mutex> guard(s.lock);
        AddressTable::Entry& entry = s.addresses.Insert(user);
        entry.header = &r->header;
        auto& u = s.usage[tag];
        u.blocks += 1;
        u.bytes += size;
        return user;
    }
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
        h = static_cast<BlockHeader*>(
            std::malloc(sizeClass == kNoClass ? total : ClassBytes(sizeClass)));
        if (h == nullptr) return nullptr;
        // A frame buffer's pages are about to be filled in whole.
        if (sizeClass == kNoClass) kernel::AdviseHugePages(h, total);
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

void ExFreePoolWithTag(PVOID block, ULONG tag) {
    FreeBlock(block, true, tag);
}

void ExFreePool(PVOID block) {
    FreeBlock(block, false, 0);
}

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

void SetSpecialPool(Special mode) {
    PoolState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    s.special = mode;
}

Special SpecialPool() {
    PoolState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.special;
}

uint64_t InjectedFailures() {
    PoolState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.injected;
}

}  // namespace kernel::pool
