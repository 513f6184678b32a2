#include "tests/support/EndToEnd.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <string_view>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace vf::test {

LoopDevice::LoopDevice(const std::filesystem::path& image) {
    const CommandResult r = run("losetup --find --show --read-only " + shellQuoted(image.string()));
    const std::string line = r.output.substr(0, r.output.find('\n'));
    if (r.status == 0 && line.starts_with("/dev/loop")) {
        device_ = line;
        undo_ = "losetup -d " + shellQuoted(line);
    } else {
        why_ = "no loop device here: " + r.output;
    }
}

TmpfsMount::TmpfsMount(const std::filesystem::path& dir, const std::string& size) : dir_(dir) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    const CommandResult r = run("mount -t tmpfs -o size=" + size + " tmpfs " + shellQuoted(dir.string()));
    if (r.status == 0) undo_ = "umount " + shellQuoted(dir.string());
    else why_ = "cannot mount a tmpfs here: " + r.output;
}

bool TmpfsMount::resize(const std::string& size) {
    return ok() && run("mount -o remount,size=" + size + " " + shellQuoted(dir_.string())).status == 0;
}

Spawned spawn(const std::vector<std::string>& argv, const std::string& outputPath,
              const std::vector<std::string>& env) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    // Given entries replace inherited ones of the same name (getenv takes the first), so that a
    // suite run through sudo still hands the scanner the SUDO_UID the test chose.
    std::vector<std::string> envStore(env);
    auto name = [](std::string_view e) { return e.substr(0, e.find('=') + 1); };
    for (char** e = environ; *e; ++e)
        if (std::none_of(env.begin(), env.end(), [&](const std::string& o) { return name(o) == name(*e); }))
            envStore.emplace_back(*e);
    std::vector<char*> envp;
    for (auto& e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    // Never created: where /dev/null has gone missing, no file takes its place.
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    if (outputPath.empty()) posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    else posix_spawn_file_actions_addopen(&fa, 1, outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    Spawned s;
    if (posix_spawn(&s.pid, args[0], &fa, nullptr, args.data(), envp.data()) != 0) s.pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return s;
}

int waitFor(const Spawned& p, int limitSeconds, const std::function<void()>& tick) {
    if (p.pid <= 0) return -1;  // never mistaken for a clean exit
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limitSeconds);
    bool killed = false;
    int st = 0;
    for (;;) {
        if (tick) tick();
        const pid_t w = ::waitpid(p.pid, &st, WNOHANG);
        if (w < 0 && errno != EINTR) return -1;
        if (w == p.pid) break;
        if (!killed && std::chrono::steady_clock::now() > deadline) killed = ::kill(p.pid, SIGKILL) == 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (killed) return -1;
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
