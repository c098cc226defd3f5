// The frame path's threads and their priority.
#include "platform/kernel/frame_path.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <mutex>
#include <thread>

namespace kernel {
namespace {

constexpr int kRealTimePriority = 10;  // above a desktop's default, below the audio servers'
constexpr int kLowestNice = -10;

int ThreadId() {
    return static_cast<int>(::syscall(SYS_gettid));
}

// A thread on the path: how far above the others it goes, and where it was
// when it joined, which is where it goes back to.
struct Member {
    int above = 0;
    int policy = SCHED_OTHER;  // with SCHED_RESET_ON_FORK where it was set
    sched_param param{};
    int nice = 0;
    int joins = 0;  // a thread may join more than once (a reader of two cameras)
};

Member Joining(int tid, int above) {
    Member m;
    m.above = above;
    if (const int policy = ::sched_getscheduler(tid); policy >= 0) m.policy = policy;
    if (::sched_getparam(tid, &m.param) != 0) m.param = sched_param{};
    errno = 0;
    if (const int nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(tid)); errno == 0)
        m.nice = nice;
    return m;
}

bool RealTimePolicy(int policy) {
    policy &= ~SCHED_RESET_ON_FORK;
    return policy == SCHED_FIFO || policy == SCHED_RR;
}

struct Path {
    std::mutex lock;
    std::map<int, Member> members;  // by thread id
    int raisers = 0;
    int holds = 0;  // cameras that run flat out: nothing is raised while one is open
    bool probed = false;
    FramePriority obtained;
};

Path& ThePath() {
    static auto* p = new Path;
    return *p;
}

// Puts one thread where the obtained priority says; false if it could not.
// A thread meant to be `above` the others gets as much of that as the
// system allows, and the others' priority where it allows no more. A thread
// the program already runs at least as high keeps its place.
bool Apply(int tid, const Member& m, const FramePriority& p) {
    switch (p.kind) {
        case FramePriority::Kind::RealTime: {
            if (RealTimePolicy(m.policy) && m.param.sched_priority >= p.value + m.above)
                return true;
            sched_param sp{};
            for (int step = m.above; step >= 0; --step) {
                sp.sched_priority = std::min(p.value + step, sched_get_priority_max(SCHED_FIFO));
                // Children of a frame thread (a program it starts) start normal.
                if (::sched_setscheduler(tid, SCHED_FIFO | SCHED_RESET_ON_FORK, &sp) == 0)
                    return true;
            }
            return false;
        }
        case FramePriority::Kind::Nice: {
            if (RealTimePolicy(m.policy) || m.nice <= p.value) return true;
            if (::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), p.value) != 0) return false;
            // Threads it starts (the conversion's helpers) begin at nice 0,
            // as they begin normal under real time: each joins by itself.
            ::sched_setscheduler(tid, m.policy | SCHED_RESET_ON_FORK, &m.param);
            return true;
        }
        case FramePriority::Kind::Normal:
            return true;
    }
    return false;
}

// Back to where the thread was when it joined. Where the reset-on-fork flag
// cannot be cleared again (without CAP_SYS_NICE the kernel refuses), it
// stays; where the old real-time priority cannot be had again, the thread
// is at least no longer above it.
void Unapply(int tid, const Member& m, const FramePriority& p) {
    if (p.kind == FramePriority::Kind::RealTime) {
        if (::sched_setscheduler(tid, m.policy, &m.param) == 0 ||
            ::sched_setscheduler(tid, m.policy | SCHED_RESET_ON_FORK, &m.param) == 0)
            return;
        sched_param normal{};
        if (::sched_setscheduler(tid, SCHED_OTHER | SCHED_RESET_ON_FORK, &normal) != 0)
            ::sched_setscheduler(tid, SCHED_OTHER, &normal);
    } else if (p.kind == FramePriority::Kind::Nice) {
        ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), m.nice);
        ::sched_setscheduler(tid, m.policy, &m.param);  // the flag, where it may be cleared
    }
}

// What this process may have, tried on a thread of its own so that no
// thread of the caller's changes.
FramePriority Probe() {
    FramePriority got;
    got.asked = true;
    std::thread([&got] {
        const int tid = ThreadId();
        rlimit rt{}, nice{};
        ::getrlimit(RLIMIT_RTPRIO, &rt);
        ::getrlimit(RLIMIT_NICE, &nice);
        FramePriority want;
        want.kind = FramePriority::Kind::RealTime;
        // Without CAP_SYS_NICE, RLIMIT_RTPRIO is the ceiling.
        for (int prio : {kRealTimePriority,
                         static_cast<int>(std::min<rlim_t>(rt.rlim_cur, kRealTimePriority))}) {
            if (prio < 1) continue;
            want.value = prio;
            if (Apply(tid, Member{}, want)) {
                got.kind = want.kind;
                got.value = prio;
                got.description = "real-time (SCHED_FIFO " + std::to_string(prio) + ")";
                return;
            }
        }
        const std::string noRealTime =
            "real-time scheduling is not allowed: RLIMIT_RTPRIO is " +
            std::to_string(rt.rlim_cur == RLIM_INFINITY ? 99 : static_cast<long>(rt.rlim_cur)) +
            " and there is no CAP_SYS_NICE";
        // RLIMIT_NICE n allows nice values down to 20 - n.
        want.kind = FramePriority::Kind::Nice;
        for (int n = kLowestNice; n < 0; ++n) {
            want.value = n;
            if (Apply(tid, Member{}, want)) {
                got.kind = want.kind;
                got.value = n;
                got.description = "nice " + std::to_string(n) + " (" + noRealTime + ")";
                return;
            }
        }
        got.description =
            "normal (" + noRealTime + ", and RLIMIT_NICE allows no nice value below 0)";
    }).join();
    return got;
}

}  // namespace

void NameThread(const char* name) {
    char n[16] = {};
    for (size_t i = 0; i < 15 && name[i] != 0; ++i) n[i] = name[i];
    ::pthread_setname_np(::pthread_self(), n);
}

static bool Raised(const Path& p) {
    return p.raisers > 0 && p.holds == 0;
}

static void ApplyAll(const Path& p) {
    for (const auto& [tid, m] : p.members) Apply(tid, m, p.obtained);
}

static void UnapplyAll(const Path& p) {
    for (const auto& [tid, m] : p.members) Unapply(tid, m, p.obtained);
}

FramePathThread::FramePathThread(const char* name, int above) : tid_(ThreadId()) {
    if (name != nullptr) NameThread(name);
    Path& p = ThePath();
    std::lock_guard<std::mutex> g(p.lock);
    auto [it, first] = p.members.try_emplace(tid_);
    Member& m = it->second;
    if (first) m = Joining(tid_, above);
    ++m.joins;
    if (first && Raised(p)) Apply(tid_, m, p.obtained);
}

FramePathThread::~FramePathThread() {
    Path& p = ThePath();
    std::lock_guard<std::mutex> g(p.lock);
    const auto it = p.members.find(tid_);
    if (it == p.members.end() || --it->second.joins > 0) return;
    if (Raised(p)) Unapply(tid_, it->second, p.obtained);
    p.members.erase(it);
}

FramePriority RaiseFramePath() {
    Path& p = ThePath();
    std::lock_guard<std::mutex> g(p.lock);
    // What the process may have is learnt once: its limits do not change.
    if (!p.probed) {
        p.obtained = Probe();
        p.probed = true;
    }
    const bool was = Raised(p);
    ++p.raisers;
    if (!was && Raised(p)) ApplyAll(p);
    return p.obtained;
}

void LowerFramePath() {
    Path& p = ThePath();
    std::lock_guard<std::mutex> g(p.lock);
    if (p.raisers == 0) return;
    const bool was = Raised(p);
    --p.raisers;
    if (was && !Raised(p)) UnapplyAll(p);
}

void HoldFramePathDown() {
    Path& p = ThePath();
    std::lock_guard<std::mutex> g(p.lock);
    const bool was = Raised(p);
    ++p.holds;
    if (was) UnapplyAll(p);
}

void ReleaseFramePathHold() {
    Path& p = ThePath();
    std::lock_guard<std::mutex> g(p.lock);
    if (p.holds == 0) return;
    --p.holds;
    if (Raised(p)) ApplyAll(p);
}

FramePriority CurrentFramePriority(const std::string& whyNotAsked) {
    Path& p = ThePath();
    std::lock_guard<std::mutex> g(p.lock);
    if (Raised(p)) return p.obtained;
    FramePriority normal;
    if (!whyNotAsked.empty())
        normal.description = "normal (" + whyNotAsked + ")";
    else
        normal.description =
            "normal (a simulated camera open in this process runs flat out, and real-time "
            "threads would starve the machine)";
    return normal;
}

}  // namespace kernel
