// The sandbox around each thumbnail run and the worker pool, with small
// shell scripts standing in for the tool: one that hangs, one that spins,
// one that reports what it was given.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <stdexcept>
#include <sys/resource.h>
#include <unistd.h>

#include "platform/Thumbnailer.h"
#include "tests/support/TestSupport.h"

namespace vf {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

using test::readText;

class ThumbnailSandbox : public ::testing::Test {
protected:
    void SetUp() override {
        fs::permissions(work_, fs::perms(01777));  // the scripts run as nobody under root
        test::writeFile(source_, {1, 2, 3});
        fs::permissions(source_, fs::perms(0644));
    }

    // A stand-in tool: $1 source, $2 output, $3 side, $4 quality.
    std::string script(const std::string& name, const std::string& body, const char* interpreter = "/bin/sh") {
        const fs::path p = work_ / name;
        std::ofstream(p) << "#!" << interpreter << "\n" << body << "\n";
        fs::permissions(p, fs::perms(0755));
        return p.string();
    }

    std::string temporaries() const {
        return test::run("ls -A " + test::shellQuoted(work_) + " | grep '\\.part$'").output;
    }

    ThumbnailJob job(const std::string& output) const { return {source_, work_ / output, 200, 60}; }

    const test::TempDir dir_;
    const fs::path work_ = dir_.path(), source_ = work_ / "source.jpeg";
};

// How a run ended, as the rows below expect it.
std::string ending(const ThumbnailRunInfo& info) {
    if (info.timedOut) return "timed out, signal " + std::to_string(info.signal);
    if (info.signal == SIGXCPU || info.signal == SIGKILL) return "CPU limit";  // SIGKILL a second after SIGXCPU
    return info.signal ? "signal " + std::to_string(info.signal) : "exit " + std::to_string(info.exitStatus);
}

TEST_F(ThumbnailSandbox, ARunSucceedsOnlyWithStatusZeroAndARegularOutputWithinItsLimits) {
    const std::string hog = "python3 -c 'b = bytearray(1 << 29); open(\"'\"$2\"'\", \"w\").write(\"x\")'";
    const struct {
        const char* name;
        std::string body;  // "": no tool there
        double cpuSeconds, wallSeconds;
        std::uint64_t memoryBytes;
        bool ok;
        std::string ending;
    } rows[] = {
        // Leaves a temporary where the real tool would, and a grandchild.
        {"hangs", "echo partial > \"$(dirname \"$2\")/.$(basename \"$2\").$$.part\"\n"
                  "sleep 30 & echo $! > \"$(dirname \"$2\")/child\"\nwait",
         10, 1, 1ull << 30, false, "timed out, signal 9"},
        // Without a wall-clock limit, which a loaded machine would reach first at the tool's low priority.
        {"spins", "while :; do :; done", 1, 0, 1ull << 30, false, "CPU limit"},
#if !defined(__SANITIZE_ADDRESS__)
        // Without the memory limit the same script passes.
        {"fills half a gigabyte", hog, 30, 0, 256ull << 20, false, "exit 1"},
        {"fills half a gigabyte, unlimited", hog, 30, 0, 0, true, "exit 0"},
#endif
        {"writes nothing", "exit 0", 10, 20, 1ull << 30, false, "exit 0"},
        {"makes a folder", "mkdir \"$2\"", 10, 20, 1ull << 30, false, "exit 0"},
        {"is missing", "", 10, 20, 1ull << 30, false, "exit 127"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ThumbnailOptions o;
        o.toolPath = row.body.empty() ? (work_ / "no-such-tool").string() : script(row.name, row.body);
        o.cpuSeconds = row.cpuSeconds, o.wallSeconds = row.wallSeconds, o.memoryBytes = row.memoryBytes;
        ThumbnailRunInfo info;
        const auto start = Clock::now();
        EXPECT_EQ(runThumbnailTool(job(std::string(row.name) + ".jpg"), o, &info), row.ok);
        EXPECT_EQ(ending(info), row.ending);
        if (info.timedOut) {
            EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(900));
            EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
        }
        EXPECT_EQ(fs::is_regular_file(work_ / (std::string(row.name) + ".jpg")), row.ok);
    }
    // The hanging tool's grandchild went with it (dead, if not yet reaped), and so did every temporary.
    const std::string stat = "/proc/" + std::to_string(std::stoi(readText(work_ / "child"))) + "/stat";
    const auto gone =
        test::run("for i in $(seq 100); do grep -qsv ') Z' " + stat + " || exit 0; sleep 0.02; done; exit 1");
    EXPECT_EQ(gone.status, 0);
    EXPECT_EQ(temporaries(), "");
}

TEST_F(ThumbnailSandbox, QueueRunsJobsSideBySideWaitsAndDrops) {
    ThumbnailOptions o;
    o.toolPath = script("slow", "sleep 0.25; echo done > \"$2\"");
    std::atomic<int> good{0}, failed{0};
    auto count = [&](const ThumbnailJob&, bool ok) { ++(ok ? good : failed); };
    {
        ThumbnailQueue queue(o, 2);
        // A callback that throws costs its worker nothing.
        queue.submit(job("t.jpg"), [](const ThumbnailJob&, bool) { throw std::runtime_error("caller bug"); });
        for (int i = 0; i < 8; ++i) queue.submit(job("j" + std::to_string(i) + ".jpg"), count);
        EXPECT_GT(queue.pending(), 0u);
        queue.wait();
        EXPECT_EQ(queue.pending(), 0u);
        EXPECT_EQ(good.load(), 8);
        // Dropped jobs end at once, as failures; the ones running finish.
        for (int i = 0; i < 8; ++i) queue.submit(job("d" + std::to_string(i) + ".jpg"), count);
        queue.dropQueued();
        EXPECT_LE(queue.pending(), 2u);
        queue.submit(job("late.jpg"));  // the destructor waits for it
    }
    EXPECT_GE(failed.load(), 6);
    EXPECT_EQ(good + failed, 16);
    EXPECT_FALSE(fs::exists(work_ / "d7.jpg"));
    EXPECT_TRUE(fs::exists(work_ / "t.jpg") && fs::exists(work_ / "late.jpg"));
}

// A stand-in for `tessarine-thumb --serve`, acting on the first word of each
// source: "hang" never answers, "crash" ends the process, "empty" claims
// success without writing, "report" writes what the process sees; anything
// else is thumbnailed as "ok PID".
constexpr const char* kServer = R"(import os, socket, sys
s = socket.socket(fileno=0)
while True:
    msg, fds, flags, addr = socket.recv_fds(s, 256, 2)
    if not msg:
        break
    src, out = fds
    what = os.read(src, 64).split(b" ")[0].strip()
    if what == b"hang":
        os.system("sleep 30")
    if what == b"crash":
        os._exit(9)
    if what == b"report":
        fd = sorted(int(f) for f in os.listdir("/proc/self/fd"))
        text = "fds %s\nstreams %s %s\nargs %s\nrequest %s\ncwd %s\nnice %d\nenv %s\nids %d %d %s\n" % (
            fd, os.readlink("/proc/self/fd/1"), os.readlink("/proc/self/fd/2"), " ".join(sys.argv[1:]), msg.decode(),
            os.getcwd(), os.nice(0), [k for k in os.environ if k.startswith("VF_")], os.getuid(), os.getgid(),
            os.getgroups())
        os.write(out, text.encode())
    elif what != b"empty":
        os.write(out, b"ok %d" % os.getpid())
    os.close(src)
    os.close(out)
    s.send(b"0 10")
)";

TEST_F(ThumbnailSandbox, ServedToolIsReplacedWhenItFailsAFile) {
    const int leaked = ::open("/dev/null", O_RDONLY);  // no CLOEXEC: would survive exec
    ::setenv("VF_TEST_SECRET", "1", 1);
    ThumbnailOptions o;
    o.toolPath = script("server", kServer, "/usr/bin/python3");
    o.reuseProcesses = true;
    // A fresh process's first file also waits for its start, which a loaded machine can stretch past a second.
    o.wallSeconds = 3;
    const std::vector<std::string> files{"fine", "fine", "report", "hang", "fine", "crash", "fine", "empty", "fine"};
    auto output = [&](std::size_t i) { return work_ / ("f" + std::to_string(i) + ".jpg"); };
    std::vector<int> ok(files.size(), -1);
    const auto start = Clock::now();
    {
        ThumbnailQueue queue(o, 1);
        for (std::size_t i = 0; i < files.size(); ++i) {
            const fs::path source = work_ / ("f" + std::to_string(i) + ".jpeg");
            std::ofstream(source) << files[i];
            fs::permissions(source, fs::perms(0644));
            queue.submit({source, output(i), 200, 60}, [&ok, i](const ThumbnailJob&, bool good) { ok[i] = good; });
        }
    }
    ::close(leaked);
    ::unsetenv("VF_TEST_SECRET");
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(15));
    EXPECT_EQ(ok, (std::vector<int>{1, 1, 1, 0, 1, 0, 1, 0, 1}));
    for (std::size_t i = 0; i < files.size(); ++i) EXPECT_EQ(fs::exists(output(i)), ok[i] == 1) << i;
    // One process until a file fails, then a fresh one; an empty answer fails the file, not the process.
    const std::string first = readText(output(0)), second = readText(output(4)), third = readText(output(6));
    EXPECT_EQ(std::vector({readText(output(1)), readText(output(8))}), std::vector({first, third}));
    EXPECT_TRUE(first.starts_with("ok ") && first != second && second != third) << first << second << third;
    EXPECT_EQ(temporaries(), "");

    // The process sees its socket, null streams, the two files it was given (and the
    // listing's own) and nothing else, below the scanner's own priority, as nobody.
    const std::string report = readText(output(2)),
                      seen = "fds [0, 1, 2, 3, 4, 5]\nstreams /dev/null /dev/null\nargs --serve 10\nrequest 200 60 "
                             ".jpeg\ncwd /\nnice " + std::to_string(std::min(19, ::getpriority(PRIO_PROCESS, 0) + 10)) +
                             "\nenv []\n";
    EXPECT_EQ(report.substr(0, seen.size()), seen);
    if (::geteuid() == 0) {
        EXPECT_EQ(report.substr(seen.size()), "ids 65534 65534 []\n");
    }
}

}  // namespace
}  // namespace vf
