// The frame path's priority as the kernel shows it: the tool's threads read
// from /proc while it streams, and what it says where the system allows no
// real-time scheduling.
#include <signal.h>

#include <map>
#include <sstream>

#include "tests/support/wait_until.h"
#include "tests/tools/cli_fixture.h"

namespace {

std::string Slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

struct ThreadSched {
    int policy = -1, rtPriority = -1, nice = 0;
};

// /proc/PID/task/TID/stat: after the name in parentheses come fields 3 on;
// nice is field 19, rt_priority 40, policy 41.
std::map<std::string, ThreadSched> Threads(const std::string& pid) {
    std::map<std::string, ThreadSched> threads;
    std::error_code ec;
    for (const auto& t : fs::directory_iterator("/proc/" + pid + "/task", ec)) {
        const std::string stat = Slurp(t.path() / "stat");
        std::string name = Slurp(t.path() / "comm");
        const auto close = stat.rfind(')');
        if (stat.empty() || name.empty() || close == std::string::npos) continue;
        name.pop_back();  // the newline
        std::istringstream in(stat.substr(close + 2));
        std::vector<std::string> f(1, "");  // f[k] is field k + 2
        for (std::string w; in >> w;) f.push_back(w);
        if (f.size() < 40) continue;
        ThreadSched s{std::stoi(f[39]), std::stoi(f[38]), std::stoi(f[17])};
        // One of each name is enough, but the process's main thread wins its
        // name: a runtime's own threads (a sanitizer's background thread)
        // inherit the program's name.
        if (t.path().filename() == pid)
            threads[name] = s;
        else
            threads.emplace(name, s);
    }
    return threads;
}

bool MayRaise() {
    // CAP_SYS_NICE is capability 23.
    const std::string status = Slurp("/proc/self/status");
    const auto at = status.find("CapEff:");
    return at != std::string::npos &&
           (std::stoull(status.substr(at + 7), nullptr, 16) >> 23 & 1) != 0;
}

TEST_F(Cli, TheFramePathRunsRealTimeWhereAllowedAndSaysSoWhereNot) {
    if (!MayRaise()) GTEST_SKIP() << "needs CAP_SYS_NICE (run as root) to see real-time threads";
    // Capturing at the camera's rate: the threads that carry frames run
    // SCHED_FIFO, the camera's stand-in a step above, and so does the
    // tool's thread that takes the frames and hands them on; the writers,
    // which encode the PNG files, do not.
    ASSERT_EQ(Shell("unset NORVIKCAM_PRIORITY; tool capture -n 100000 --memory 200 -o f-%06d.png "
                    "> /dev/null 2> err.txt & echo $! > pid.txt"),
              0);
    std::string pid = Read(dir / "pid.txt");
    while (!pid.empty() && pid.back() == '\n') pid.pop_back();
    ASSERT_FALSE(pid.empty());
    std::map<std::string, ThreadSched> t;
    const std::vector<std::string> path = {"nv-camera", "nv-usb", "nv-system", "nv-process",
                                           "norvikcam"};
    WaitUntil([&] {
        t = Threads(pid);
        bool all = true;
        for (const auto& n : path) all = all && t.count(n) > 0 && t[n].policy == 1;
        return all && t.count("nv-writer") > 0;
    });
    ::kill(std::stoi(pid), SIGINT);
    for (const auto& n : path) {
        ASSERT_EQ(t.count(n), 1u) << n << " is not among the tool's threads";
        EXPECT_EQ(t[n].policy, 1) << n << " is not SCHED_FIFO";
        EXPECT_EQ(t[n].rtPriority, n == "nv-camera" ? 11 : 10) << n;
    }
    ASSERT_EQ(t.count("nv-writer"), 1u);
    EXPECT_EQ(t["nv-writer"].policy, 0) << "a PNG writer was raised too";
    for (const auto& [name, s] : t)
        if (name.rfind("nv-convert", 0) == 0) {
            EXPECT_EQ(s.policy, 1) << name;
        }
    EXPECT_TRUE(WaitUntil([&] { return !fs::exists("/proc/" + pid + "/task"); }));

    EXPECT_EQ(Shell("unset NORVIKCAM_PRIORITY; tool info"), 0);
    EXPECT_NE(out.find("frame path priority: real-time (SCHED_FIFO 10)"), std::string::npos) << out;
    // Turned off, or flat out: said, and not raised.
    EXPECT_EQ(Shell("unset NORVIKCAM_PRIORITY; tool info --normal-priority"), 0);
    EXPECT_NE(out.find("frame path priority: normal (not asked)"), std::string::npos) << out;
    EXPECT_EQ(Shell("NORVIKCAM_PRIORITY=normal tool info"), 0);
    EXPECT_NE(out.find("frame path priority: normal (NORVIKCAM_PRIORITY=normal)"),
              std::string::npos)
        << out;
    EXPECT_EQ(Shell("unset NORVIKCAM_PRIORITY; tool info --fps 0"), 0);
    EXPECT_NE(out.find("normal (the simulated camera runs unpaced"), std::string::npos) << out;

    // Where neither real time nor a lower nice value is allowed, the capture
    // still works and its summary says what the frame path has.
    if (std::system("command -v prlimit > /dev/null && command -v setpriv > /dev/null") != 0)
        GTEST_SKIP() << "prlimit and setpriv (util-linux) are needed for the rest";
    ASSERT_EQ(
        Shell("unset NORVIKCAM_PRIORITY; prlimit --rtprio=0 --nice=0 setpriv "
              "--bounding-set=-sys_nice --inh-caps=-sys_nice tool capture -n 2 -o f-%02d.png"),
        0)
        << err;
    EXPECT_TRUE(fs::exists(dir / "f-01.png"));
    EXPECT_NE(err.find("frame path priority: normal (real-time scheduling is not allowed: "
                       "RLIMIT_RTPRIO is 0 and there is no CAP_SYS_NICE"),
              std::string::npos)
        << err;
    // A capture that got what it asked for says nothing of it.
    ASSERT_EQ(Shell("unset NORVIKCAM_PRIORITY; tool capture -n 1 -o g.png"), 0) << err;
    EXPECT_EQ(err.find("frame path priority"), std::string::npos) << err;
}

}  // namespace
