// The frame path's priority across cameras in one process, as the kernel
// shows it in /proc/self/task.
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "client/camera.h"

namespace {

// A field of stat (41: the scheduling policy, 40: the real-time priority)
// of every thread named `name`, or of the thread `tid`.
std::vector<int> StatFields(int field, const std::string& name, long tid) {
    std::vector<int> policies;
    for (const auto& t : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(t.path() / "comm"), stat(t.path() / "stat");
        std::string n, s;
        std::getline(comm, n);
        std::getline(stat, s);
        if (tid != 0 ? t.path().filename() != std::to_string(tid) : n != name) continue;
        std::istringstream in(s.substr(s.rfind(')') + 2));
        std::vector<std::string> f;
        for (std::string w; in >> w;) f.push_back(w);
        if (f.size() >= 39) policies.push_back(std::stoi(f[static_cast<size_t>(field) - 3]));
    }
    return policies;
}
std::vector<int> Policies(const std::string& name, long tid = 0) {
    return StatFields(41, name, tid);
}
std::vector<int> RealTimePriorities(const std::string& name, long tid = 0) {
    return StatFields(40, name, tid);
}

bool HasCapability(int capability) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("CapEff:", 0) == 0)
            return (std::stoull(line.substr(7), nullptr, 16) >> capability & 1) != 0;
    return false;
}

bool MayRaise() {
    return HasCapability(CAP_SYS_NICE);
}

norvik::OpenOptions Sim(const std::string& device, double fps) {
    norvik::OpenOptions o;
    o.device = device;
    o.simulatedFps = fps;
    o.lockDirectory = testing::TempDir() + "/priority-locks-" + std::to_string(::getpid());
    return o;
}

TEST(FramePriority, ACameraThatRunsFlatOutHoldsTheProcessDownAndClosingLowersIt) {
    if (!MayRaise()) GTEST_SKIP() << "needs CAP_SYS_NICE (run as root)";
    const char* was = std::getenv("NORVIKCAM_PRIORITY");
    const std::string saved = was != nullptr ? was : "";
    ::unsetenv("NORVIKCAM_PRIORITY");
    const long self = ::syscall(SYS_gettid);
    {
        auto paced = norvik::Camera::Open(Sim("sim", 30));
        const norvik::FrameReaderPriority reader;  // this thread takes frames
        ASSERT_EQ(paced->Priority().kind, norvik::FramePriority::Kind::RealTime);
        EXPECT_EQ(Policies("nv-camera"), std::vector<int>{1});
        EXPECT_EQ(Policies("", self), std::vector<int>{1});
        // The camera's stand-in keeps the camera's clock: it runs a step
        // above the threads that take its frames.
        const std::vector<int> taker = RealTimePriorities("", self);
        ASSERT_EQ(taker.size(), 1u);
        EXPECT_GT(taker[0], 0);
        EXPECT_EQ(RealTimePriorities("nv-camera"), std::vector<int>{taker[0] + 1});
        {
            // Flat out, real-time threads would never sleep: nothing is raised.
            auto flatOut = norvik::Camera::Open(Sim("sim:1", 0));
            EXPECT_EQ(paced->Priority().kind, norvik::FramePriority::Kind::Normal);
            EXPECT_NE(paced->Priority().description.find("flat out"), std::string::npos)
                << paced->Priority().description;
            EXPECT_EQ(Policies("nv-camera"), (std::vector<int>{0, 0}));
            EXPECT_EQ(Policies("", self), std::vector<int>{0});
        }
        EXPECT_EQ(paced->Priority().kind, norvik::FramePriority::Kind::RealTime);
        EXPECT_EQ(Policies("nv-camera"), std::vector<int>{1});
        paced->Close();
        // Closed, the camera that raised the path lowers it again.
        EXPECT_EQ(Policies("", self), std::vector<int>{0});
    }
    if (was != nullptr) ::setenv("NORVIKCAM_PRIORITY", saved.c_str(), 1);
}

// The calling thread as the kernel has it: policy, real-time priority, nice.
struct Sched {
    int policy, priority, nice;
    bool operator==(const Sched&) const = default;
};
Sched Self() {
    sched_param p{};
    ::sched_getparam(0, &p);
    const int tid = static_cast<int>(::syscall(SYS_gettid));
    return {::sched_getscheduler(0) & ~SCHED_RESET_ON_FORK, p.sched_priority,
            ::getpriority(PRIO_PROCESS, static_cast<id_t>(tid))};
}
std::ostream& operator<<(std::ostream& o, const Sched& s) {
    return o << "policy " << s.policy << " priority " << s.priority << " nice " << s.nice;
}

// A program's thread that reads frames goes back to what it was, and one it
// already runs higher than the frame path is never lowered.
TEST(FramePriority, AReaderGoesBackToThePriorityItHadAndOneRunHigherKeepsIt) {
    if (!MayRaise()) GTEST_SKIP() << "needs CAP_SYS_NICE (run as root)";
    const char* was = std::getenv("NORVIKCAM_PRIORITY");
    const std::string saved = was != nullptr ? was : "";
    ::unsetenv("NORVIKCAM_PRIORITY");
    auto paced = norvik::Camera::Open(Sim("sim", 30));
    ASSERT_EQ(paced->Priority().kind, norvik::FramePriority::Kind::RealTime);
    const int path = paced->Priority().value;

    std::thread([path] {  // a background thread at nice 5
        const int tid = static_cast<int>(::syscall(SYS_gettid));
        ASSERT_EQ(::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), 5), 0);
        const Sched before = Self();
        {
            const norvik::FrameReaderPriority outer;
            EXPECT_EQ(Self().policy, SCHED_FIFO);
            EXPECT_EQ(Self().priority, path);
            {
                const norvik::FrameReaderPriority inner;  // a second camera's reader
            }
            EXPECT_EQ(Self().policy, SCHED_FIFO) << "left the path while still reading";
        }
        EXPECT_EQ(Self(), before);
    })
        .join();

    std::thread([path] {  // a thread the program runs above the path
        sched_param p{};
        p.sched_priority = path + 20;
        ASSERT_EQ(::sched_setscheduler(0, SCHED_RR, &p), 0);
        const Sched before = Self();
        {
            const norvik::FrameReaderPriority reader;
            EXPECT_EQ(Self(), before) << "lowered to the frame path";
        }
        EXPECT_EQ(Self(), before);
    })
        .join();
    paced->Close();
    if (was != nullptr) ::setenv("NORVIKCAM_PRIORITY", saved.c_str(), 1);
}

// The nice value of every thread whose name starts with `prefix`.
std::vector<int> Nices(const std::string& prefix) {
    std::vector<int> nices;
    for (const auto& t : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(t.path() / "comm");
        std::string n;
        std::getline(comm, n);
        if (n.rfind(prefix, 0) != 0) continue;
        errno = 0;
        const int nice =
            ::getpriority(PRIO_PROCESS, static_cast<id_t>(std::stol(t.path().filename())));
        if (errno == 0) nices.push_back(nice);
    }
    return nices;
}

// The scenario, in a process of its own (its limits and capabilities must
// not reach other tests): 0 when it holds, else the step that failed.
int NiceScenario() {
    ::unsetenv("NORVIKCAM_PRIORITY");
    const rlimit noRealTime{0, 0}, niceTen{30, 30};  // nice down to 20 - 30
    __user_cap_header_struct head{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct caps[2]{};
    if (::setrlimit(RLIMIT_RTPRIO, &noRealTime) != 0 || ::setrlimit(RLIMIT_NICE, &niceTen) != 0)
        return 2;
    if (::syscall(SYS_capget, &head, caps) != 0) return 3;
    caps[0].effective &= ~(1u << CAP_SYS_NICE);  // for this thread and those it starts
    if (::syscall(SYS_capset, &head, caps) != 0) {
        std::perror("capset");
        return 3;
    }
    auto paced = norvik::Camera::Open(Sim("sim", 30));
    if (paced->Priority().kind != norvik::FramePriority::Kind::Nice) {
        std::fprintf(stderr, "not nice: %s\n", paced->Priority().description.c_str());
        return 4;
    }
    paced->StartStreaming(false, 3, 2);  // two conversion threads: one helper
    for (int i = 0; i < 3; ++i)
        if (!paced->NextFrame(std::chrono::seconds(60))) return 5;
    const std::vector<int> raised = Nices("nv-convert");
    if (raised.empty() || raised != std::vector<int>(raised.size(), -10)) return 6;
    {
        auto flatOut = norvik::Camera::Open(Sim("sim:1", 0));  // holds the path down
        const std::vector<int> held = Nices("nv-convert");
        for (int n : held)
            if (n != 0) {
                std::fprintf(stderr, "a conversion helper kept nice %d\n", n);
                return 7;
            }
    }
    paced->StopStreaming();
    paced->Close();
    return 0;
}

// Where real time is not allowed but a lower nice value is (RLIMIT_NICE,
// no CAP_SYS_NICE), the path runs at nice -10. The conversion's helpers,
// started by a thread already at -10, must begin at 0 like any thread and
// go back there when the path is held down; before, they inherited -10,
// took it for their own and kept it.
TEST(FramePriority, UnderANiceValueThreadsStartedOnThePathGoBackToNormal) {
    rlimit nice{};
    ::getrlimit(RLIMIT_NICE, &nice);
    if (nice.rlim_max < 30 && !HasCapability(CAP_SYS_RESOURCE))
        GTEST_SKIP() << "needs RLIMIT_NICE of 30, or CAP_SYS_RESOURCE to raise it";
    EXPECT_EXIT(std::_Exit(NiceScenario()), testing::ExitedWithCode(0), "");
}

}  // namespace
