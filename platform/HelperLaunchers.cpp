#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/HelperLaunch.h"

extern char** environ;

namespace vf {
namespace {

struct Finished {
    bool started = false;
    int status = -1;
    std::string standardError;
    std::string error;
};

// Runs `argv` with standard output on `stdoutFd` and standard error into a
// pipe, and waits for it. Only descriptors 0 to 2 reach the child.
Finished runAndWait(const std::vector<std::string>& argv, int stdoutFd) {
    Finished out;
    int errPipe[2];
    if (::pipe2(errPipe, O_CLOEXEC) != 0) {
        out.error = std::strerror(errno);
        return out;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, stdoutFd, 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
#ifdef __GLIBC__
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
#endif
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(errPipe[1]);
    if (rc != 0) {
        ::close(errPipe[0]);
        out.error = std::strerror(rc);
        return out;
    }
    out.started = true;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(errPipe[0], buf, sizeof buf);
        if (n > 0) {
            // Enough to explain a failure; a flood is cut.
            if (out.standardError.size() < 65536) out.standardError.append(buf, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    ::close(errPipe[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    out.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return out;
}

LaunchOutcome toOutcome(Finished f) {
    LaunchOutcome o;
    if (!f.started) {
        o.kind = LaunchOutcome::Kind::notStarted;
        o.error = std::move(f.error);
        return o;
    }
    o.exitStatus = f.status;
    o.standardError = std::move(f.standardError);
    o.kind = f.status == 0 ? LaunchOutcome::Kind::launched : LaunchOutcome::Kind::failed;
    return o;
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

class AppleScriptLauncher final : public HelperLauncher {
public:
    LaunchOutcome launch(const HelperInvocation& inv, const LaunchLog& log) override {
        // osascript's own output is nothing we need; the root shell writes the log.
        const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        LaunchOutcome o = toOutcome(runAndWait({"/usr/bin/osascript", "-e", appleScriptSource(inv, log.path)},
                                               devNull >= 0 ? devNull : log.fd));
        if (devNull >= 0) ::close(devNull);
        if (o.kind == LaunchOutcome::Kind::failed && lower(o.standardError).find("cancel") != std::string::npos)
            o.kind = LaunchOutcome::Kind::cancelled;
        return o;
    }
    std::string_view name() const override { return "sudo+osascript"; }
    std::string_view tool() const override { return "osascript"; }
};

class PkexecLauncher final : public HelperLauncher {
public:
    explicit PkexecLauncher(std::string pkexec) : pkexec_(std::move(pkexec)) {}
    LaunchOutcome launch(const HelperInvocation& inv, const LaunchLog& log) override {
        std::vector<std::string> argv = helperArguments(inv);
        argv[0] = (std::filesystem::path(inv.helperPath).parent_path() / "tessarine-launch").string();
        argv.insert(argv.begin(), pkexec_);
        LaunchOutcome o = toOutcome(runAndWait(argv, log.fd));
        // 126: the prompt was dismissed or the user is not allowed.
        const std::string err = lower(o.standardError);
        if (o.kind == LaunchOutcome::Kind::failed &&
            (o.exitStatus == 126 || err.find("dismissed") != std::string::npos ||
             err.find("not authorized") != std::string::npos))
            o.kind = LaunchOutcome::Kind::cancelled;
        return o;
    }
    std::string_view name() const override { return "pkexec"; }
    std::string_view tool() const override { return "pkexec"; }

private:
    std::string pkexec_;
};

class DirectLauncher final : public HelperLauncher {
public:
    LaunchOutcome launch(const HelperInvocation& inv, const LaunchLog& log) override {
        // The application is root itself: its scan is root's, whoever ran sudo to start it,
        // so the scanner works as nobody, the owner of the run's folder.
        std::vector<std::string> argv{"/usr/bin/env", "-u", "SUDO_UID", "-u", "SUDO_GID", "-u", "PKEXEC_UID"};
        for (std::string& a : helperArguments(inv)) argv.push_back(std::move(a));
        return launchDetached(argv, log);
    }
    std::string_view name() const override { return "direct launch"; }
    std::string_view tool() const override { return "sh"; }
};

}  // namespace

LaunchOutcome launchDetached(const std::vector<std::string>& argv, const LaunchLog& log) {
    std::string command;
    for (const std::string& a : argv) command += shellQuote(a) + ' ';
    return toOutcome(runAndWait({"/bin/sh", "-c", command + "2>&1 &"}, log.fd));
}

std::unique_ptr<HelperLauncher> makeAppleScriptLauncher() { return std::make_unique<AppleScriptLauncher>(); }
std::unique_ptr<HelperLauncher> makePkexecLauncher(std::string pkexec) {
    return std::make_unique<PkexecLauncher>(std::move(pkexec));
}
std::unique_ptr<HelperLauncher> makeDirectLauncher() { return std::make_unique<DirectLauncher>(); }

std::unique_ptr<HelperLauncher> makeDefaultLauncher() {
    if (::geteuid() == 0) return makeDirectLauncher();
#ifdef __APPLE__
    return makeAppleScriptLauncher();
#else
    return makePkexecLauncher();
#endif
}

}  // namespace vf
