#include "tests/support/EndToEnd.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace vf::test {

LoopDevice::LoopDevice(const std::filesystem::path& image) {
    const CommandResult r = run("losetup --find --show --read-only " + shellQuoted(image.string()));
    const std::string line = r.output.substr(0, r.output.find('\n'));
    device_ = r.status == 0 && line.starts_with("/dev/loop") ? line : "";
    if (!device_.empty()) undo_ = "losetup -d " + shellQuoted(device_);
    else why_ = "no loop device here: " + r.output;
}

TmpfsMount::TmpfsMount(const std::filesystem::path& dir, const std::string& size) : dir_(dir) {
    const std::string q = shellQuoted(dir.string());
    const CommandResult r = run("mkdir -p " + q + " && mount -t tmpfs -o size=" + size + " tmpfs " + q);
    if (r.status == 0) undo_ = "umount " + q;
    else why_ = "cannot mount a tmpfs here: " + r.output;
}

bool TmpfsMount::resize(const std::string& size) {
    return ok() && run("mount -o remount,size=" + size + " " + shellQuoted(dir_.string())).status == 0;
}

Spawned spawn(const std::vector<std::string>& argv, const std::string& outputPath,
              const std::vector<std::string>& env) {
    // env's assignments replace inherited ones of the same name, so that a suite run through
    // sudo still hands the scanner the SUDO_UID the test chose; it execs the program in its place.
    std::vector<std::string> all = {"/usr/bin/env"};
    all.insert(all.end(), env.begin(), env.end());
    all.insert(all.end(), argv.begin(), argv.end());
    std::vector<char*> args;
    for (auto& a : all) args.push_back(a.data());
    args.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    // Never created: where /dev/null has gone missing, no file takes its place.
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    if (outputPath.empty()) posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    else posix_spawn_file_actions_addopen(&fa, 1, outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    Spawned s;
    if (posix_spawn(&s.pid, args[0], &fa, nullptr, args.data(), environ) != 0) s.pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return s;
}

int waitFor(const Spawned& p, int limitSeconds, const std::function<void()>& tick) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limitSeconds);
    bool killed = false;
    int st = 0;
    pid_t w = 0;
    while (p.pid > 0 && (w = ::waitpid(p.pid, &st, WNOHANG)) == 0) {
        if (tick) tick();
        if (!killed && std::chrono::steady_clock::now() > deadline) killed = ::kill(p.pid, SIGKILL) == 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // Never started, lost or killed: never mistaken for a clean exit.
    if (w != p.pid || killed) return -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : WIFSIGNALED(st) ? 128 + WTERMSIG(st) : -1;
}

HelperRun runHelper(const std::vector<std::string>& args, const std::string& progressPath,
                    const std::vector<std::string>& env, const std::vector<std::string>& prefix, int limitSeconds) {
    std::vector<std::string> argv = prefix;
    argv.push_back(binPath("TessarineHelper"));
    argv.insert(argv.end(), args.begin(), args.end());
    const TempDir outputDir;
    HelperRun r;
    auto sample = [&] {
        // Never opened when it is anything else: a planted FIFO would block the reader.
        if (!std::filesystem::is_regular_file(progressPath)) return;
        if (std::string s = readText(progressPath); r.records.empty() || r.records.back() != s) r.records.push_back(s);
    };
    r.status = waitFor(spawn(argv, (outputDir / "output.txt").string(), env), limitSeconds, sample);
    sample();
    r.log = readText(outputDir / "output.txt");
    if (std::filesystem::is_regular_file("/tmp/tessarine_debug.log")) r.log += readText("/tmp/tessarine_debug.log");
    return r;
}

std::map<std::string, std::string> recoveredHashes(const std::filesystem::path& dir) {
    std::map<std::string, std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        const std::string name = e.path().filename().string();
        if (name[0] == '.' || name.ends_with(".thumb.jpg") || e.is_symlink()) continue;
        out[name] = sha256(e.path());
    }
    return out;
}

std::multiset<std::string> hashValues(const std::map<std::string, std::string>& byName) {
    std::multiset<std::string> s;
    for (const auto& [name, h] : byName) s.insert(h);
    return s;
}

}  // namespace vf::test
