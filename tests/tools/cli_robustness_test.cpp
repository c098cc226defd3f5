// norvikcam against hostile input, full disks, signals and a second
// process: nothing crashes, no file or setting is lost, every failure is
// reported.
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "imaging/image_processor.h"
#include "platform/kernel/pool.h"
#include "tests/tools/cli_fixture.h"
#include "tools/convert.h"

namespace {

using namespace std::chrono_literals;

class CliRobustness : public Cli {
  protected:
    fs::path Settings() const { return dir / "cfg" / "norvikcam" / "settings.reg"; }

    // Starts the tool in the background, in a process group of its own,
    // through a shell that then becomes the tool (so a signal sent to the
    // pid reaches the tool, and its exit status is the tool's).
    pid_t Spawn(const std::string& line) {
        pid_t pid = ::fork();
        if (pid == 0) {
            ::setpgid(0, 0);
            ::execl("/bin/sh", "sh", "-c", (Env() + "exec " + line).c_str(),
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::setpgid(pid, pid);
        return pid;
    }
    static int Wait(pid_t pid) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    // Waits until a file the tool writes says something, rather than for a time.
    bool WaitFor(const std::string& file, const std::string& text) const {
        for (int i = 0; i < 3000; ++i) {
            if (Read(dir / file).find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }
    // Files left in the folder whose names a writer uses for its temporary files.
    std::vector<std::string> Temporaries() const {
        std::vector<std::string> found;
        for (const auto& e : fs::directory_iterator(dir))
            if (e.path().filename().string().find(".XXXXXX") != std::string::npos ||
                (e.path().filename().string()[0] == '.' && e.path().filename().string().size() > 7))
                found.push_back(e.path().filename().string());
        return found;
    }
};

TEST_F(CliRobustness, OutputPatternsAcceptOnlyTheFrameNumberPlaceholder) {
    for (const char* bad : {"x-%n.png", "x-%s.png", "x-%d-%d.png", "x-%%.png", "x-%5x.png",
                            "x-%.png", "%d/x.png", "out/"}) {
        EXPECT_EQ(Run(std::string("capture -n 2 --fps 0 -o '") + bad + "'"), 2) << bad;
        EXPECT_NE(err.find("-o '"), std::string::npos) << bad << ": " << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    }
    ASSERT_EQ(Run("capture -n 2 --fps 0 -o shot-%03d.png"), 0) << err;
    EXPECT_TRUE(fs::exists(dir / "shot-000.png"));
    EXPECT_TRUE(fs::exists(dir / "shot-001.png"));
}

// One frame is still a frame of the sequence: its number fills the
// placeholder, counted from 0 as for more frames, and no file keeps the
// placeholder in its name.
TEST_F(CliRobustness, OneFrameStillFillsThePlaceholder) {
    ASSERT_EQ(Run("capture -n 1 --fps 0 -o f-%02d.png"), 0) << err;
    EXPECT_EQ(PngSize(dir / "f-00.png"), (std::pair<uint32_t, uint32_t>{2560, 1920}));
    ASSERT_EQ(Run("capture -n 1 --fps 0 -o one-%d.png --raw --raw-format pgm"), 0) << err;
    EXPECT_EQ(PngSize(dir / "one-0.png"), (std::pair<uint32_t, uint32_t>{2560, 1920}));
    EXPECT_TRUE(fs::exists(dir / "one-0.pgm"));
    std::vector<std::string> files;
    for (const auto& e : fs::directory_iterator(dir)) files.push_back(e.path().filename());
    std::sort(files.begin(), files.end());
    EXPECT_EQ(std::count_if(files.begin(), files.end(),
                            [](const std::string& f) { return f.find('%') != std::string::npos; }),
              0)
        << testing::PrintToString(files);
}

TEST_F(CliRobustness, NamesWithoutAPlaceholder) {
    // The README's own sequence, exactly as written there.
    ASSERT_EQ(Run("capture -n 1 -o shot.png --raw --raw-format pgm --fps 0"), 0) << err;
    ASSERT_EQ(Run("convert shot.pgm again.png"), 0) << err;
    EXPECT_EQ(PngSize(dir / "again.png"), (std::pair<uint32_t, uint32_t>{2560, 1920}));
    // More frames: the number before the file name's extension, never a
    // dot of the folder.
    fs::create_directories(dir / "a.b");
    ASSERT_EQ(Run("capture -n 2 -o ./a.b/shot --fps 0"), 0) << err;
    EXPECT_TRUE(fs::exists(dir / "a.b" / "shot-0000"));
    EXPECT_TRUE(fs::exists(dir / "a.b" / "shot-0001"));
    EXPECT_EQ(Temporaries(), std::vector<std::string>{});
}

TEST_F(CliRobustness, InputsThatCannotBeFramesAreRefusedBeforeReading) {
    // A sparse 4 GB file: refused from its size, at once.
    { std::ofstream big(dir / "big.raw"); }
    fs::resize_file(dir / "big.raw", 4ull << 30);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Run("convert big.raw out.png"), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);  // the 4 GB were never read
    EXPECT_NE(err.find("too large for a raw frame"), std::string::npos) << err;
    EXPECT_EQ(Run("convert /dev/zero out.png"), 1);
    EXPECT_NE(err.find("not a regular file"), std::string::npos) << err;
    fs::create_directories(dir / "folder");
    EXPECT_EQ(Run("convert folder out.png"), 1);
    EXPECT_NE(err.find("is a folder"), std::string::npos) << err;
    // A PGM whose header asks for more than a camera frame.
    std::ofstream(dir / "huge.pgm") << "P5\n99999999 99999999\n255\n";
    EXPECT_EQ(Run("convert huge.pgm out.png"), 1);
    EXPECT_NE(err.find("PGM header"), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(dir / "out.png"));
}

TEST_F(CliRobustness, APgmWithCommentsConverts) {
    ASSERT_EQ(Run("capture -n 1 -o shot.png --raw --raw-format pgm --fps 0"), 0) << err;
    std::string pgm = Read(dir / "shot.pgm");
    std::string commented = "P5\n# written by hand\n2560 # width\n1920\n# depth next\n255\n" +
                            pgm.substr(pgm.find("255\n") + 4);
    std::ofstream(dir / "commented.pgm", std::ios::binary) << commented;
    ASSERT_EQ(Run("convert commented.pgm a.png"), 0) << err;
    ASSERT_EQ(Run("convert shot.pgm b.png"), 0) << err;
    uint32_t w = 0;
    EXPECT_EQ(PngPixels(dir / "a.png", &w), PngPixels(dir / "b.png", &w));
}

// Out of memory for the converter or its working buffer: an error, no
// picture (before, the first crashed and the second gave a black picture as
// a success), and nothing left behind in the pool.
TEST(Convert, AConversionThatCannotGetItsMemoryFailsAndLeavesNothing) {
    tools::RawInput input;
    input.width = 64;
    input.height = 32;
    input.image.assign(64 * 32, 200);
    const uint64_t live = kernel::pool::TotalUsage().blocks;
    for (const ULONG tag : {IMAGE_PROCESSOR_TAG, WORK_BUFFER_TAG}) {
        kernel::pool::FailTag(tag);
        EXPECT_THROW(tools::ConvertRawInput(input, {}, {}), std::runtime_error) << tag;
        kernel::pool::ClearFaults();
        EXPECT_EQ(kernel::pool::TotalUsage().blocks, live) << kernel::pool::DescribeLive();
    }
    const tools::Picture p = tools::ConvertRawInput(input, {}, {});
    EXPECT_EQ(p.width, 64);
    EXPECT_NE(std::count(p.bgra.begin(), p.bgra.end(), 0), static_cast<ptrdiff_t>(p.bgra.size()));
    EXPECT_EQ(kernel::pool::TotalUsage().blocks, live) << kernel::pool::DescribeLive();
}

TEST_F(CliRobustness, AFailedWriteTouchesNothingButItsOwnTemporaryFile) {
    // Whatever stands at the output path that is not a file stays.
    ASSERT_EQ(::mkfifo((dir / "x.png").c_str(), 0600), 0);
    EXPECT_EQ(Run("capture -n 1 -o x.png --fps 0"), 1);
    EXPECT_NE(err.find("cannot write x.png"), std::string::npos) << err;
    struct stat st {};
    ASSERT_EQ(::stat((dir / "x.png").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    // A file-size limit cuts the write short: no torn file under the name,
    // no temporary file left, and an existing file of that name intact.
    std::ofstream(dir / "old.png") << "the earlier picture";
    ASSERT_EQ(Run("capture -n 1 -o old.png --fps 0 --settings s.reg"), 0) << err;
    EXPECT_EQ(Shell("ulimit -f 64; tool capture -n 1 -o old.png --fps 0 --settings s.reg"), 1);
    EXPECT_NE(err.find("cannot write old.png"), std::string::npos) << err;
    EXPECT_NE(Read(dir / "old.png"),
              "the earlier picture");  // the first, unlimited capture replaced it whole
    EXPECT_EQ(PngSize(dir / "old.png"), (std::pair<uint32_t, uint32_t>{2560, 1920}));
    EXPECT_EQ(Temporaries(), std::vector<std::string>{});
}

TEST_F(CliRobustness, SettingsThatCannotBeReadAreNeverReplaced) {
    // A folder where the file should be, and a file too large to be one.
    fs::create_directories(Settings());
    EXPECT_EQ(Run("set hue=5"), 1);
    EXPECT_NE(err.find("is a directory"), std::string::npos) << err;
    EXPECT_TRUE(fs::is_directory(Settings()));
    fs::remove(Settings());
    { std::ofstream big(Settings()); }
    fs::resize_file(Settings(), 3 << 20);
    EXPECT_EQ(Run("set hue=5"), 1);
    EXPECT_NE(err.find("too large for a settings file"), std::string::npos) << err;
    EXPECT_EQ(fs::file_size(Settings()), 3u << 20);
}

TEST_F(CliRobustness, SavingKeepsTheFileWhatItWas) {
    fs::create_directories(Settings().parent_path());
    // A symbolic link to the real file, comments, a key of another program,
    // permission bits of the user's choosing.
    std::ofstream(dir / "real.reg")
        << "Windows Registry Editor Version 5.00\r\n\r\n"
           "; my camera settings\r\n"
           "[HKEY_CURRENT_USER\\Software\\Other]\r\n\"Keep\"=dword:00000007\r\n\r\n"
           "; end of file\r\n";
    fs::permissions(dir / "real.reg", fs::perms::owner_read | fs::perms::owner_write);
    fs::create_symlink(dir / "real.reg", Settings());
    ASSERT_EQ(Run("set hue=12"), 0) << err;
    EXPECT_TRUE(fs::is_symlink(Settings()));
    const std::string text = Read(dir / "real.reg");
    EXPECT_NE(text.find("; my camera settings"), std::string::npos) << text;
    EXPECT_NE(text.find("; end of file"), std::string::npos) << text;
    EXPECT_NE(text.find("\"Keep\"=dword:00000007"), std::string::npos) << text;
    EXPECT_NE(text.find("\"Hue\"=dword:0000000c"), std::string::npos) << text;
    EXPECT_EQ(fs::status(dir / "real.reg").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(CliRobustness, AUtf16ExportFromTheRegistryEditorIsReadAndKeptUtf16) {
    fs::create_directories(Settings().parent_path());
    const std::string text =
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
        "{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\sim\\Settings]\r\n\"Hue\"=dword:00000007\r\n";
    std::string utf16 = "\xFF\xFE";
    for (char c : text) utf16 += std::string{c, '\0'};
    std::ofstream(Settings(), std::ios::binary) << utf16;
    ASSERT_EQ(Run("get hue"), 0) << err;
    EXPECT_EQ(out, "hue=7\n");
    ASSERT_EQ(Run("set hue=9"), 0) << err;
    const std::string saved = Read(Settings());
    ASSERT_GE(saved.size(), 2u);
    EXPECT_EQ(saved.substr(0, 2), "\xFF\xFE");
    ASSERT_EQ(Run("get hue"), 0) << err;
    EXPECT_EQ(out, "hue=9\n");
}

TEST_F(CliRobustness, TwoProcessesNeverLoseAnUpdate) {
    // Two sets at once, 100 rounds: each is applied or refused with the
    // owner named, and the file always parses.
    int refused = 0;
    for (int round = 0; round < 100; ++round) {
        pid_t a = Spawn(std::string(NORVIKCAM_BINARY) + " set hue=" + std::to_string(round) +
                        " > a.txt 2> a.err");
        pid_t b = Spawn(std::string(NORVIKCAM_BINARY) +
                        " set saturation=" + std::to_string(round % 21) + " > b.txt 2> b.err");
        const int ra = Wait(a), rb = Wait(b);
        ASSERT_EQ(Run("get hue saturation"), 0) << round << ": " << err;
        for (auto [rc, file, value, name] :
             {std::tuple{ra, "a.err", round, "hue="}, {rb, "b.err", round % 21, "saturation="}}) {
            if (rc == 0) {
                EXPECT_NE(out.find(name + std::to_string(value) + "\n"), std::string::npos)
                    << round << " lost: " << out;
            } else {
                ++refused;
                EXPECT_EQ(rc, 1);
                EXPECT_NE(Read(dir / file).find("camera in use by norvikcam (pid "),
                          std::string::npos)
                    << Read(dir / file);
            }
        }
    }
    RecordProperty("refused", refused);
    // With --wait the second waits its turn instead, and both take.
    pid_t a = Spawn(std::string(NORVIKCAM_BINARY) + " set hue=100 --wait 30 > a.txt 2> a.err");
    pid_t b = Spawn(std::string(NORVIKCAM_BINARY) + " set saturation=3 --wait 30 > b.txt 2> b.err");
    EXPECT_EQ(Wait(a), 0) << Read(dir / "a.err");
    EXPECT_EQ(Wait(b), 0) << Read(dir / "b.err");
    ASSERT_EQ(Run("get hue saturation"), 0);
    EXPECT_EQ(out, "hue=100\nsaturation=3\n");
}

TEST_F(CliRobustness, ASetDuringAStreamIsRefusedNotUndone) {
    ASSERT_EQ(Run("window 0 0 64 32"), 0) << err;
    pid_t stream =
        Spawn(std::string(NORVIKCAM_BINARY) + " stream -n 0 --fps 20 > /dev/null 2> s.err");
    ASSERT_TRUE(WaitFor("s.err", "streaming"));
    EXPECT_EQ(Run("set hue=33"), 1);
    EXPECT_NE(err.find("camera in use by norvikcam"), std::string::npos) << err;
    pid_t waiting = Spawn(std::string(NORVIKCAM_BINARY) + " set hue=33 --wait 30 > w.txt 2> w.err");
    std::this_thread::sleep_for(300ms);
    ::kill(stream, SIGINT);
    EXPECT_EQ(Wait(stream), 130) << Read(dir / "s.err");
    EXPECT_EQ(Wait(waiting), 0) << Read(dir / "w.err");
    ASSERT_EQ(Run("get hue"), 0);
    EXPECT_EQ(out, "hue=33\n");
}

TEST_F(CliRobustness, AFailedSaveIsAFailure) {
    // A file-size limit of one 512-byte block makes the write of the settings
    // (about 900 bytes) fail. (Zero would do, but the thread sanitizer's
    // runtime cannot start under it.)
    EXPECT_EQ(Run("--settings s.reg set hue=1"), 0) << err;
    // The limit holds only for the tool: what it prints goes through a pipe.
    Shell("((ulimit -f 1; exec tool --settings s.reg set hue=5); echo $? > rc.txt) 2>&1 | cat");
    EXPECT_EQ(Read(dir / "rc.txt"), "1\n");
    EXPECT_NE(out.find("the settings were not saved"), std::string::npos) << out;
    EXPECT_EQ(out.find("hue=5"), std::string::npos) << out;  // no "hue=5" as if it took
    ASSERT_EQ(Run("--settings s.reg get hue"), 0);
    EXPECT_EQ(out, "hue=1\n");
}

TEST_F(CliRobustness, WriteErrorsAreFailures) {
    ASSERT_EQ(Run("window 0 0 64 32"), 0) << err;
    EXPECT_EQ(Shell("tool stream -n 3 --fps 0 > /dev/full"), 1);
    EXPECT_NE(err.find("no space left on standard output (/dev/full)"), std::string::npos) << err;
    EXPECT_NE(err.find("streamed 0 frames"), std::string::npos) << err;  // the summary too
    EXPECT_EQ(Run("info --trace /dev/full"), 1);
    EXPECT_NE(err.find("cannot write trace /dev/full"), std::string::npos) << err;
}

TEST_F(CliRobustness, SignalsEndCapturesAndStreamsCleanly) {
    ASSERT_EQ(Run("window 0 0 640 480"), 0) << err;
    ASSERT_EQ(Run("set hue=21"), 0) << err;
    // Ctrl-C in a long capture: the files written are whole, the summary is
    // printed, and the exit status says how it ended.
    pid_t capture =
        Spawn(std::string(NORVIKCAM_BINARY) + " capture -n 100000 -o c-%d.png --fps 10 2> c.err");
    for (int i = 0; i < 3000 && !fs::exists(dir / "c-1.png"); ++i)
        std::this_thread::sleep_for(10ms);  // two frames written
    ::kill(capture, SIGINT);
    EXPECT_EQ(Wait(capture), 130);
    const std::string summary = Read(dir / "c.err");
    EXPECT_NE(summary.find("interrupted"), std::string::npos) << summary;
    int whole = 0;
    for (int i = 0; fs::exists(dir / ("c-" + std::to_string(i) + ".png")); ++i) {
        EXPECT_EQ(PngSize(dir / ("c-" + std::to_string(i) + ".png")),
                  (std::pair<uint32_t, uint32_t>{640, 480}));
        ++whole;
    }
    EXPECT_GT(whole, 0);
    EXPECT_EQ(Temporaries(), std::vector<std::string>{});
    // SIGTERM in a stream.
    pid_t stream = Spawn(std::string(NORVIKCAM_BINARY) + " stream --fps 10 > /dev/null 2> s.err");
    ASSERT_TRUE(WaitFor("s.err", "streaming"));
    ::kill(stream, SIGTERM);
    EXPECT_EQ(Wait(stream), 143) << Read(dir / "s.err");
    EXPECT_NE(Read(dir / "s.err").find("streamed "), std::string::npos);
    // A reader that closes the pipe after what it wanted: success.
    Shell("(tool stream --fps 0 2> p.err; echo $? > rc.txt) | head -c 5000 > /dev/null");
    EXPECT_EQ(Read(dir / "rc.txt"), "0\n") << Read(dir / "p.err");
    EXPECT_NE(Read(dir / "p.err").find("the reader closed the pipe"), std::string::npos)
        << Read(dir / "p.err");
    // The settings came through every ending.
    ASSERT_EQ(Run("get hue"), 0);
    EXPECT_EQ(out, "hue=21\n");
}

TEST_F(CliRobustness, OnlyTimeOutsInARowEndACapture) {
    // A frame every 1.1 s against a 1 s time-out: a time-out before every
    // frame, never three in a row.
    ASSERT_EQ(Run("window 0 0 64 32"), 0) << err;
    ASSERT_EQ(Run("capture -n 3 -o t-%d.png --fps 0.9 --timeout 1"), 0) << err;
    EXPECT_NE(err.find("captured 3 frames"), std::string::npos) << err;
    // A camera that stopped: three in a row.
    EXPECT_EQ(Run("capture -n 3 -o u-%d.png --fps 0.1 --timeout 0.3"), 1);
    EXPECT_NE(err.find("3 time-outs in a row"), std::string::npos) << err;
}

TEST_F(CliRobustness, NumbersOutsideTheirRangeAreRefusedWithTheRange) {
    const std::pair<const char*, const char*> cases[] = {
        {"capture -n 0", "-n must be at least 1"},
        {"capture -n -3", "-n must be at least 1"},
        {"stream -n -1", "-n must be at least 0"},
        {"capture --timeout 0", "--timeout must be at least 0.1"},
        {"capture --timeout inf", "--timeout must be at least 0.1"},
        {"capture --timeout 1e-9", "--timeout must be at least 0.1"},
        {"info --fps 1e-9", "--fps must be 0 (as fast as it can) or from 0.1 to 1000"},
        {"capture --memory 1e-9", "--memory must be 0 (the default) or from 1 to 1048576 MB"},
        {"capture --memory 2000000", "--memory must be at least 0 and at most 1048576"},
        {"info --fps nan", "--fps must be at least 0"},
        {"info --fps -1", "--fps must be at least 0"},
        {"set exposure=-1", "exposure=-1 is not allowed: the range is 0..1014"},
        {"set timeout=100", "timeout=100 is not allowed: the range is 501..9999 ms"},
        {"set flip_h=2", "flip_h=2 is not allowed: the range is 0..1"},
        {"set sensor_width=8", "control 'sensor_width' is read-only"},
        {"set frobnicate=1", "unknown control 'frobnicate'"},
    };
    // A value out of its range is a bad command line, as one that does not parse.
    for (auto [args, says] : cases) {
        EXPECT_EQ(Run(args), 2) << args;
        EXPECT_NE(err.find(says), std::string::npos) << args << ": " << err;
    }
    EXPECT_EQ(Run("capture -n inf"), 2);                // not a whole number: a usage error
    EXPECT_EQ(err.rfind("norvikcam: ", 0), 0u) << err;  // in the tool's voice
    // Decimal only: a leading zero is no octal.
    ASSERT_EQ(Run("set hue=010"), 0) << err;
    ASSERT_EQ(Run("get hue"), 0) << err;
    EXPECT_EQ(out, "hue=10\n");
    ASSERT_EQ(Run("set hue=0"), 0) << err;
    // One value refused: none of the others is set either.
    EXPECT_EQ(Run("set hue=20 exposure=5000"), 2);
    EXPECT_EQ(err, "norvikcam: exposure=5000 is not allowed: the range is 0..1014\n");
    ASSERT_EQ(Run("get hue exposure"), 0) << err;
    EXPECT_EQ(out, "hue=0\nexposure=0\n");
}

// A command line that does not parse is told with the option as typed and
// the command's own help; that help lists the options every command takes.
TEST_F(CliRobustness, ABadCommandLineIsToldInTheUsersWords) {
    const std::pair<const char*, const char*> cases[] = {
        {"capture -n =2",
         "norvikcam: -n: '=2' is not a whole number\n"
         "run 'norvikcam capture --help' for the options\n"},
        {"capture --count x", "norvikcam: --count: 'x' is not a whole number\n"},
        {"--device sim stream -n many",
         "norvikcam: -n: 'many' is not a whole number\n"
         "run 'norvikcam stream --help' for the options\n"},
        {"capture --timeout=abc", "norvikcam: --timeout: 'abc' is not a number\n"},
        {"info --fps fast",
         "norvikcam: --fps: 'fast' is not a number\n"
         "run 'norvikcam info --help' for the options\n"},
    };
    for (auto [args, says] : cases) {
        EXPECT_EQ(Run(args), 2) << args;
        EXPECT_EQ(err.rfind(says, 0), 0u) << args << ": " << err;
    }
    ASSERT_EQ(Run("capture --help"), 0) << err;
    const size_t shared = out.find("Options every command takes:");
    ASSERT_NE(shared, std::string::npos) << out;
    EXPECT_GT(out.find("--count"), 0u);
    for (const char* option : {"--device", "--settings", "--wait", "--json", "--buffers"})
        EXPECT_NE(out.find(option, shared), std::string::npos) << option << " in\n" << out;
    EXPECT_NE(out.find("Exit codes:", shared), std::string::npos) << out;
}

TEST_F(CliRobustness, AWindowThatGivesNoFramesIsRefusedAndNotSaved) {
    ASSERT_EQ(Run("window 100 50 640 480"), 0) << err;
    EXPECT_EQ(Run("window 3 3 7 7"), 2);
    EXPECT_NE(err.find("multiple of 8"), std::string::npos) << err;
    ASSERT_EQ(Run("info"), 0);
    EXPECT_NE(out.find("window: x=100 y=50 width=640 height=480"), std::string::npos) << out;
    EXPECT_NE(out.find("frames are 640x480"), std::string::npos) << out;
}

// The window command says the window the camera kept, not the numbers
// typed: a size of 0 runs to the sensor's 2560 x 1920 edge, and BGRA frames
// are the width rounded down to a multiple of 8.
TEST_F(CliRobustness, TheWindowCommandSaysTheWindowTheCameraKept) {
    ASSERT_EQ(Run("window 2000 1000 0 0"), 0) << err;
    EXPECT_EQ(out, "window: x=2000 y=1000 width=560 height=920, frames 560x920\n");
    ASSERT_EQ(Run("window 300 200 1003 501"), 0) << err;
    EXPECT_EQ(out, "window: x=300 y=200 width=1003 height=501, frames 1000x501\n");
    ASSERT_EQ(Run("info"), 0);
    EXPECT_NE(out.find("window: x=300 y=200 width=1003 height=501"), std::string::npos) << out;
}

TEST_F(CliRobustness, ASetEchoesTheValueSet) {
    // Reading register_select back gives the register it selects, not 5.
    ASSERT_EQ(Run("set register_select=5 hue=7"), 0) << err;
    EXPECT_EQ(out, "register_select=5\nhue=7\n");
}

TEST_F(CliRobustness, CommandLineConveniences) {
    // Options before or after the command, a relative settings file.
    ASSERT_EQ(Run("--settings day.reg set hue=4"), 0) << err;
    ASSERT_EQ(Run("get hue --settings day.reg"), 0) << err;
    EXPECT_EQ(out, "hue=4\n");
    EXPECT_TRUE(fs::exists(dir / "day.reg"));
    ASSERT_EQ(Run("--version"), 0);
    EXPECT_NE(out.find("norvikcam "), std::string::npos);
    EXPECT_EQ(Run("frobnicate"), 2);
    // Reset: every setting back to its advertised default, and nothing
    // else (the inert controls, and register_select, the diagnostic, are no
    // settings and keep what they hold).
    ASSERT_EQ(Run("set exposure=3 global_gain=7 brightness=9 flip_h=1"), 0) << err;
    ASSERT_EQ(Run("reset"), 0) << err;
    EXPECT_EQ(out,
              "timeout=3000\nexposure=64\nglobal_gain=512\nflip_h=0\nflip_v=0\ncolor_enable=1\n"
              "white_balance=0\nred_gain=128\ngreen_gain=128\nblue_gain=128\nbrightness=255\n"
              "contrast=10\nsaturation=10\nhue=0\ncolor_correction=1\n");
    ASSERT_EQ(Run("get exposure global_gain brightness flip_h contrast"), 0);
    EXPECT_EQ(out, "exposure=64\nglobal_gain=512\nbrightness=255\nflip_h=0\ncontrast=10\n");
    // Machine-readable output.
    ASSERT_EQ(Run("--json get exposure hue"), 0);
    EXPECT_EQ(out, "{\"exposure\":64,\"hue\":0}\n");
    ASSERT_EQ(Run("list --json"), 0);
    EXPECT_EQ(out.rfind("[{\"device\":\"sim\"", 0), 0u) << out;
    ASSERT_EQ(Run("info --json"), 0);
    EXPECT_NE(out.find("\"name\":\"clock\",\"value\":0,\"writable\":true,\"inert\":true"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("\"name\":\"exposure\",\"value\":64,\"writable\":true,\"inert\":false,"
                       "\"type\":\"int\",\"min\":0,\"max\":1014,\"step\":1,\"default\":64"),
              std::string::npos)
        << out;
    ASSERT_EQ(Run("capture -n 1 -o j.png --fps 0 --json"), 0);
    EXPECT_EQ(out.rfind("{\"frames\":1,", 0), 0u) << out;
    // Inert controls say so instead of pretending to take; every other one
    // lists its type, range, step and default, as video tools list theirs.
    ASSERT_EQ(Run("info"), 0);
    EXPECT_NE(out.find("exposure           (int) : value=64 min=0 max=1014 step=1 default=64"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("flip_h             (switch) : value=0 min=0 max=1 step=1 default=0"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("clock"), std::string::npos);
    EXPECT_NE(out.find("inert"), std::string::npos);
    ASSERT_EQ(Run("set agc=1"), 0);
    EXPECT_EQ(out, "agc: has no effect on this camera; not set\n");
}

TEST_F(CliRobustness, EachCameraKeepsItsOwnSettings) {
    // The simulated camera's settings live under a key of its own; another
    // camera's key in the same file is never touched.
    fs::create_directories(Settings().parent_path());
    const std::string usbKey =
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
        "{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\serial-A1\\Settings]\r\n\"Hue\"=dword:"
        "00000063\r\n";
    std::ofstream(Settings(), std::ios::binary) << "Windows Registry Editor Version 5.00\r\n\r\n"
                                                << usbKey;
    ASSERT_EQ(Run("set hue=5"), 0) << err;
    const std::string text = Read(Settings());
    EXPECT_NE(text.find(usbKey), std::string::npos) << text;
    EXPECT_NE(text.find("\\sim\\Settings]"), std::string::npos) << text;
    ASSERT_EQ(Run("info"), 0);
    EXPECT_NE(out.find("settings kept as sim"), std::string::npos) << out;
}

// The conversion's threads and the client's buffers: any count in range
// gives the same picture, one out of range is refused before the camera is
// opened.
TEST_F(CliRobustness, ThreadsAndBuffersChangeNothingButHowFramesAreMade) {
    ASSERT_EQ(Run("capture -n 1 --fps 0 -o one.png --raw --raw-format pgm"), 0) << err;
    ASSERT_EQ(Run("convert one.pgm reference.png"), 0) << err;
    for (const char* options :
         {"--threads 1 --buffers 1", "--threads 3 --buffers 5", "--threads 64 --buffers 64"}) {
        ASSERT_EQ(
            Run(std::string("capture -n 1 --fps 0 -o t.png --raw --raw-format pgm ") + options), 0)
            << options << ": " << err;
        ASSERT_EQ(Run("convert t.pgm t-again.png"), 0) << err;
        uint32_t w1 = 0, w2 = 0;
        // The captured PNG carries the frame's text chunks; the pixels are what must agree.
        const auto captured = PngPixels(dir / "t.png", &w1);
        EXPECT_FALSE(captured.empty());
        EXPECT_TRUE(captured == PngPixels(dir / "t-again.png", &w2)) << options;
    }
    for (const char* bad : {"--threads 65", "--threads -1", "--buffers 0", "--buffers 65"}) {
        EXPECT_EQ(Run(std::string("capture -n 1 --fps 0 -o x.png ") + bad), 2) << bad;
        EXPECT_NE(err.find(std::string(bad).substr(0, std::string(bad).find(' '))),
                  std::string::npos)
            << err;
    }
}

}  // namespace

namespace {

// The first bytes of a file: what it is, whatever its name says.
std::string Magic(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::string s(4, '\0');
    in.read(s.data(), 4);
    return in ? s : "";
}
const std::string kTiff("II*\0", 4), kPng = "\x89PNG";

}  // namespace

TEST_F(CliRobustness, ConvertNeverWritesOverItsInput) {
    ASSERT_EQ(Run("capture -n 1 --fps 0 -o keep.dng"), 0) << err;
    const std::string raw = Read(dir / "keep.dng");
    ASSERT_EQ(raw.substr(0, 4), kTiff);
    fs::create_symlink("keep.dng", dir / "link.dng");
    fs::create_hard_link(dir / "keep.dng", dir / "hard.png");
    for (const char* target : {"keep.dng", "./keep.dng", "link.dng", "hard.png"}) {
        EXPECT_EQ(Run(std::string("convert keep.dng ") + target), 2) << target;
        EXPECT_NE(err.find("are the same file"), std::string::npos) << target << ": " << err;
        EXPECT_EQ(Read(dir / "keep.dng"), raw) << target;
    }
    EXPECT_TRUE(fs::is_symlink(dir / "link.dng"));
}

TEST_F(CliRobustness, NamesThatCollideAreRefusedBeforeTheFirstFrame) {
    EXPECT_EQ(Run("capture -n 3 --fps 0 -o c-%d.png --metadata c-0.png"), 2);
    EXPECT_NE(err.find("--metadata c-0.png and frame c-0.png are the same file"), std::string::npos)
        << err;
    EXPECT_EQ(Run("capture -n 3 --fps 0 -o c-%d.png --metadata ./sub/../c-2.png"), 1)
        << err;  // no folder sub
    fs::create_directories(dir / "sub");
    EXPECT_EQ(Run("capture -n 3 --fps 0 -o c-%d.png --metadata ./sub/../c-2.png"), 2);
    // A DNG capture is the raw frame: --raw would write it twice under one name.
    EXPECT_EQ(Run("capture -n 1 --fps 0 -o shot.dng --raw"), 2);
    EXPECT_NE(err.find("leave --raw out"), std::string::npos) << err;
    for (const auto& e : fs::directory_iterator(dir))
        EXPECT_FALSE(e.is_regular_file() && e.path().extension() != ".txt") << e.path();
}

TEST_F(CliRobustness, TheFormatIsTheExtensionsAndAMismatchIsRefused) {
    ASSERT_EQ(Run("capture -n 1 --fps 0 -o x.dng"), 0) << err;
    EXPECT_EQ(Magic(dir / "x.dng"), kTiff);
    ASSERT_EQ(Run("capture -n 1 --fps 0 -o x.PNG"), 0) << err;
    EXPECT_EQ(Magic(dir / "x.PNG"), kPng);
    ASSERT_EQ(Run("capture -n 1 --fps 0 -o noext"), 0) << err;
    EXPECT_EQ(Magic(dir / "noext"), kPng);
    EXPECT_EQ(Run("capture -n 1 --fps 0 --format dng -o y.png"), 2);
    EXPECT_NE(err.find("the name ends in .png but the format is dng"), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(dir / "y.png"));
    EXPECT_EQ(Run("capture -n 1 --fps 0 -o y.jpg"), 2);
    EXPECT_NE(err.find("the names accepted end in .png, .dng"), std::string::npos) << err;
    EXPECT_EQ(Run("convert x.dng z.jpg"), 2);
    EXPECT_NE(err.find("the names accepted end in .png, .bgra"), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(dir / "z.jpg"));
    ASSERT_EQ(Run("convert x.dng z.bgra"), 0) << err;
    EXPECT_EQ(fs::file_size(dir / "z.bgra"), 2560u * 1920u * 4u);
    // A converted picture without an extension is a PNG too.
    ASSERT_EQ(Run("convert x.dng z"), 0) << err;
    EXPECT_EQ(Magic(dir / "z"), kPng);
}

TEST_F(CliRobustness, ADanglingSettingsLinkIsKeptAndExplained) {
    fs::create_symlink("missing/target.reg", dir / "s.reg");
    EXPECT_EQ(Run("--settings s.reg set hue=5"), 1);
    EXPECT_NE(err.find("s.reg is a link to missing/target.reg, which does not exist"),
              std::string::npos)
        << err;
    EXPECT_TRUE(fs::is_symlink(dir / "s.reg"));
    EXPECT_FALSE(fs::exists(dir / "missing"));
}

TEST_F(CliRobustness, AClosedStandardOutputTakesNoFrameAndNoFileTakesItsPlace) {
    EXPECT_EQ(Shell("tool stream -n 5 --fps 0 >&-"), 1);
    EXPECT_NE(err.find("standard output is closed"), std::string::npos) << err;
    // A camera command opens its lock first: with descriptor 1 free it
    // would have been the lock.
    EXPECT_EQ(Shell("tool capture -n 1 --fps 0 -o one.png >&-"), 0) << err;
    EXPECT_EQ(Magic(dir / "one.png"), kPng);
    for (const auto& e : fs::recursive_directory_iterator(dir / "run"))
        if (e.is_regular_file()) {
            EXPECT_LT(e.file_size(), 4096u) << e.path();
        }
}

TEST_F(CliRobustness, ADngCutShortIsRefused) {
    ASSERT_EQ(Run("capture -n 1 --fps 0 -o whole.dng"), 0) << err;
    const std::string whole = Read(dir / "whole.dng");
    for (size_t cut : {1u, 200u, 300u, 400u, 100000u}) {
        std::ofstream(dir / "cut.dng", std::ios::binary) << whole.substr(0, whole.size() - cut);
        EXPECT_EQ(Run("convert cut.dng cut.png"), 1) << cut;
        EXPECT_NE(err.find("cut short"), std::string::npos) << cut << ": " << err;
        EXPECT_FALSE(fs::exists(dir / "cut.png")) << cut;
    }
    ASSERT_EQ(Run("convert whole.dng whole.png"), 0) << err;
}

TEST_F(CliRobustness, ASignalEndsAWaitForTheCameraAtOnce) {
    const pid_t holder =
        Spawn(std::string(NORVIKCAM_BINARY) + " stream -n 0 --fps 5 > /dev/null 2> hold.txt");
    ASSERT_TRUE(WaitFor("hold.txt", "streaming"));
    for (int signal : {SIGINT, SIGTERM}) {
        const auto start = std::chrono::steady_clock::now();
        const pid_t waiter =
            Spawn(std::string(NORVIKCAM_BINARY) + " --wait 60 get hue 2> wait.txt");
        // Waiting: it holds the lock file open, trying for it.
        bool waiting = false;
        for (int i = 0; i < 3000 && !waiting; ++i) {
            std::error_code ec;
            for (const auto& fd :
                 fs::directory_iterator("/proc/" + std::to_string(waiter) + "/fd", ec))
                waiting =
                    waiting ||
                    fs::read_symlink(fd.path(), ec).string().find((dir / "run").string()) == 0;
            if (!waiting) std::this_thread::sleep_for(10ms);
        }
        ASSERT_TRUE(waiting);
        ::kill(waiter, signal);
        EXPECT_EQ(Wait(waiter), 128 + signal);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
    }
    ::kill(holder, SIGTERM);
    EXPECT_EQ(Wait(holder), 143);
}

// `list` says who has a camera open, as the refusal to open it does.
TEST_F(CliRobustness, ListSaysWhichProgramHasACameraOpen) {
    ASSERT_EQ(Run("list --json"), 0) << err;
    EXPECT_NE(out.find("\"device\":\"sim\",\"description\":"), std::string::npos) << out;
    EXPECT_NE(out.find("\"in_use_by\":null"), std::string::npos) << out;
    const pid_t holder =
        Spawn(std::string(NORVIKCAM_BINARY) + " stream -n 0 --fps 5 > /dev/null 2> hold.txt");
    ASSERT_TRUE(WaitFor("hold.txt", "streaming"));
    const std::string owner = "in use by norvikcam (pid " + std::to_string(holder) + ")";
    ASSERT_EQ(Run("list"), 0) << err;
    EXPECT_NE(out.find("(built in), " + owner), std::string::npos) << out;
    EXPECT_EQ(Run("get hue"), 1);
    EXPECT_NE(err.find("camera " + owner), std::string::npos) << err;
    ::kill(holder, SIGTERM);
    EXPECT_EQ(Wait(holder), 143);
    ASSERT_EQ(Run("list"), 0) << err;
    EXPECT_EQ(out.find("in use"), std::string::npos) << out;
}

TEST_F(CliRobustness, AStreamHeldUpByItsReaderEndsOnTheFirstSignalWithItsSummary) {
    ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
    for (const char* format : {"y4m", "bgra"}) {
        // A reader that never reads: the first frame fills the pipe.
        const pid_t reader = Spawn("sleep 600 < pipe");
        const pid_t tool = Spawn(std::string(NORVIKCAM_BINARY) + " stream --fps 0 --format " +
                                 format + " > pipe 2> stream.txt");
        bool blocked = false;
        for (int i = 0; i < 3000 && !blocked; ++i) {
            blocked = Read("/proc/" + std::to_string(tool) + "/wchan").find("pipe_write") !=
                      std::string::npos;
            if (!blocked) std::this_thread::sleep_for(10ms);
        }
        ASSERT_TRUE(blocked) << format;
        ::kill(tool, SIGINT);
        EXPECT_EQ(Wait(tool), 130) << format;
        const std::string said = Read(dir / "stream.txt");
        EXPECT_NE(said.find("streamed 0 frames, dropped 0 by the camera path, interrupted"),
                  std::string::npos)
            << format << ": " << said;
        EXPECT_EQ(said.find("norvikcam:"), std::string::npos) << format << ": " << said;
        ::kill(reader, SIGKILL);
        Wait(reader);
    }
}

namespace {

// A settings file as a user writes it: the camera's key, then `values`.
std::string SettingsFile(const std::string& header, const std::string& values) {
    return header +
           "\r\n\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
           "{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\sim\\Settings]\r\n" +
           values;
}

}  // namespace

TEST_F(CliRobustness, HandEditsAndOlderExportsOfTheSettingsLoad) {
    fs::create_directories(Settings().parent_path());
    std::ofstream(Settings(), std::ios::binary) << SettingsFile(
        "REGEDIT4", "\"Hue\"=DWORD:00000010  \t\r\n\"Exposure\"=dword:00000020 \r\n");
    ASSERT_EQ(Run("get hue exposure"), 0) << err;
    EXPECT_EQ(out, "hue=16\nexposure=32\n");
}

TEST_F(CliRobustness, ASettingsWindowThatGivesNoFramesIsRefusedAtOpen) {
    fs::create_directories(Settings().parent_path());
    std::ofstream(Settings(), std::ios::binary)
        << SettingsFile("Windows Registry Editor Version 5.00", "\"RoiW\"=dword:00000004\r\n");
    for (const char* command : {"info", "capture -n 1 --fps 0 -o never.png"}) {
        EXPECT_EQ(Run(command), 1) << command;
        EXPECT_NE(err.find(Settings().string()), std::string::npos) << command << ": " << err;
        EXPECT_NE(err.find("RoiW"), std::string::npos) << command << ": " << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    }
    EXPECT_FALSE(fs::exists(dir / "never.png"));
}

TEST_F(CliRobustness, ACommandThatChangesNothingSucceedsWhereSettingsCannotBeSaved) {
    EXPECT_EQ(Run("--settings s.reg set hue=1"), 0) << err;
    for (const char* command : {"get hue", "info"}) {
        // The limit holds only for the tool: what it prints goes through a pipe.
        Shell(std::string("((ulimit -f 1; exec tool --settings s.reg ") + command +
              "); echo $? > rc.txt) | cat");
        EXPECT_EQ(Read(dir / "rc.txt"), "0\n") << command << ": " << err;
    }
    EXPECT_NE(out.find("hue"), std::string::npos) << out;
}

TEST_F(CliRobustness, GetListsEveryControlAndNamesTakeAnyCase) {
    ASSERT_EQ(Run("set Hue=5 EXPOSURE=64"), 0) << err;
    EXPECT_EQ(out, "hue=5\nexposure=64\n");
    ASSERT_EQ(Run("get"), 0) << err;
    EXPECT_NE(out.find("\nhue=5\n"), std::string::npos) << out;
    EXPECT_NE(out.find("exposure=64\n"), std::string::npos) << out;
    EXPECT_NE(out.find("flip_v=0\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("sensor_width"), std::string::npos) << out;  // not a setting
    ASSERT_EQ(Run("capture -n 1 --fps 0 -o one.png"), 0) << err;
    EXPECT_NE(err.find("captured 1 frame in"), std::string::npos) << err;
}

TEST_F(CliRobustness, EnvironmentSettingsThatCannotBeUsedAreSaid) {
    // Four captures in a row: each waits for its frame as long as a loaded
    // machine under a sanitizer may need, not the default few seconds.
    for (const char* threads : {"-1", "65", "abc"}) {
        ASSERT_EQ(Shell(std::string("NORVIKCAM_THREADS=") + threads +
                        " tool capture -n 1 --fps 0 --timeout 60 -o t.png"),
                  0)
            << err;
        EXPECT_NE(
            err.find(std::string("NORVIKCAM_THREADS=") + threads + ": not a thread count 1..64"),
            std::string::npos)
            << err;
    }
    ASSERT_EQ(Shell("NORVIKCAM_KERNELS=bogus tool capture -n 1 --fps 0 --timeout 60 -o k.png"), 0)
        << err;
    EXPECT_NE(err.find("NORVIKCAM_KERNELS=bogus: no such kernel set here"), std::string::npos)
        << err;
    // Options that say nothing in the capture asked for are refused, not dropped.
    EXPECT_EQ(Run("capture -n 1 --fps 0 --format dng --raw-format pgm"), 2);
    EXPECT_NE(err.find("--raw-format says what --raw writes"), std::string::npos) << err;
}

TEST_F(CliRobustness, AFailedCaptureStillSaysWhatItWrote) {
    // Past the file-size limit every write fails: the first frame's PNG.
    Shell("(ulimit -f 16; exec tool capture -n 3 --fps 0 -o f-%d.png); echo $? > rc.txt");
    EXPECT_EQ(Read(dir / "rc.txt"), "1\n") << err;
    EXPECT_NE(err.find("captured "), std::string::npos) << err;
    EXPECT_NE(err.find(", wrote 0,"), std::string::npos) << err;
    // The writers run side by side: whichever frame's write failed first
    // is the one named.
    EXPECT_NE(err.find("norvikcam: cannot write f-"), std::string::npos) << err;
    EXPECT_LT(err.find("captured "), err.find("norvikcam: cannot write"))
        << err;  // the failure last
}

// A full disk is named as one, for PNG and DNG alike, after the summary of
// what was written. The full disk is a 1 MB memory file system, which only
// root may mount.
TEST_F(CliRobustness, AFullDiskIsSaidAsOneAfterWhatWasWritten) {
    fs::create_directories(dir / "full");
    if (Shell("mount -t tmpfs -o size=1m tmpfs full") != 0)
        GTEST_SKIP() << "cannot mount a small file system here (needs root): " << err;
    struct Unmount {
        fs::path at;
        ~Unmount() { std::system(("umount " + at.string()).c_str()); }
    } unmount{dir / "full"};
    const std::string full = "no space left on " + (dir / "full").string();
    EXPECT_EQ(Run("capture -n 3 --format dng -o full/b-%d.dng"), 1);
    EXPECT_NE(err.find(", wrote 0,"), std::string::npos) << err;
    // The writers run side by side: whichever frame's write failed first is
    // the one named.
    const size_t named = err.find("norvikcam: cannot write full/b-");
    ASSERT_NE(named, std::string::npos) << err;
    const size_t number = named + std::string("norvikcam: cannot write full/b-").size();
    EXPECT_NE(std::string("012").find(err[number]), std::string::npos) << err;
    EXPECT_EQ(err.substr(number + 1), ".dng: " + full + "\n") << err;
    // PNGs of the scene are about a third of a megabyte: a few fit.
    EXPECT_EQ(Run("capture -n 20 -o full/a-%d.png"), 1);
    size_t written = 0;
    for (const auto& f : fs::directory_iterator(dir / "full"))
        written += f.path().filename().string().rfind("a-", 0) == 0;
    ASSERT_GT(written, 0u);
    EXPECT_NE(err.find(", wrote " + std::to_string(written) + ","), std::string::npos) << err;
    EXPECT_NE(err.find(full + " (" + std::to_string(written) + " frames were written before)"),
              std::string::npos)
        << err;
    EXPECT_LT(err.find("captured "), err.find("norvikcam: cannot write")) << err;
    // Standard output on a full device says so too.
    EXPECT_EQ(Shell("tool stream -n 2 --format y4m > /dev/full"), 1);
    EXPECT_NE(err.find("no space left on standard output (/dev/full)"), std::string::npos) << err;
}

TEST_F(CliRobustness, TemporaryFilesAKilledCaptureLeftAreSaid) {
    std::ofstream(dir / ".c-0001.png.Ab12Cd") << "torn";
    std::ofstream(dir / ".other.png.Ab12Cd") << "not ours";
    ASSERT_EQ(Run("capture -n 2 --fps 0 -o c-%04d.png"), 0) << err;
    EXPECT_NE(
        err.find(
            "1 temporary file of an earlier capture that did not end (.c-0001.png.Ab12Cd) is in ."),
        std::string::npos)
        << err;
    EXPECT_EQ(err.find(".other.png"), std::string::npos) << err;
    EXPECT_TRUE(fs::exists(dir / ".c-0001.png.Ab12Cd"));  // another capture may be writing it
}
