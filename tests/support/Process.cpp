#include "tests/support/Process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace vf::test {

Spawned spawn(const std::vector<std::string>& argv, const std::string& outputPath,
              const std::vector<std::string>& env) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> envStore;
    for (char** e = environ; *e; ++e) envStore.emplace_back(*e);
    for (const auto& e : env) envStore.push_back(e);
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

int waitFor(const Spawned& p) {
    if (p.pid <= 0) return -1;
    int st = 0;
    while (::waitpid(p.pid, &st, 0) < 0)
        if (errno != EINTR) return -1;
    if (WIFEXITED(st)) return WEXITSTATUS(st);
    if (WIFSIGNALED(st)) return 128 + WTERMSIG(st);
    return -1;
}

std::vector<std::string> pollFileUntilExit(const Spawned& p, const std::string& path, int* status,
                                           int limitSeconds) {
    std::vector<std::string> seen;
    auto sample = [&] {
        std::ifstream in(path, std::ios::binary);
        if (!in) return;
        std::stringstream ss;
        ss << in.rdbuf();
        if (seen.empty() || seen.back() != ss.str()) seen.push_back(ss.str());
    };
    int st = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limitSeconds);
    bool killed = false;
    for (;;) {
        sample();
        const pid_t r = ::waitpid(p.pid, &st, WNOHANG);
        if (r == p.pid) break;
        if (r < 0 && errno != EINTR) break;
        if (!killed && std::chrono::steady_clock::now() > deadline) killed = ::kill(p.pid, SIGKILL) == 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    sample();
    if (status) *status = killed ? -1 : WIFEXITED(st) ? WEXITSTATUS(st) : (WIFSIGNALED(st) ? 128 + WTERMSIG(st) : -1);
    return seen;
}

}  // namespace vf::test
