#pragma once
// Thumbnails made by the separate tool `tessarine-thumb`, one process per
// file, so that a decoder that hangs, crashes or is exploited by a hostile
// file costs one thumbnail: each run has a CPU, memory and wall-clock limit,
// sees /dev/null on its standard streams and no other open descriptor, runs
// below the scanner's priority, and never runs as root.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vf {

struct ThumbnailJob {
    std::filesystem::path source, output;
    int longestSide = 200;
    int quality = 60;
};

struct ThumbnailOptions {
    std::string toolPath;  // defaultThumbnailToolPath() when empty
    // The user the tool runs as when we are root. Absent, or 0, means
    // 65534 ("nobody"/"nogroup"): a decoder never runs as root.
    std::optional<std::uint32_t> uid, gid;
    double cpuSeconds = 10;                  // 0 or less for no limit
    std::uint64_t memoryBytes = 1ull << 30;  // address space; 0 for no limit
    double wallSeconds = 20;                 // then the tool is killed; 0 or less for no limit
    // For ThumbnailQueue: each worker keeps one tool process (and one for
    // clips) serving file after file, so the libraries load once; each file
    // keeps its CPU and wall-clock limit, and a process that fails a file is
    // replaced. Off: a process per file.
    bool reuseProcesses = false;
};

// How one run ended, for callers that want to say why a thumbnail is missing.
struct ThumbnailRunInfo {
    bool started = false;
    bool timedOut = false;   // killed by the wall-clock limit
    int exitStatus = -1;     // when it exited
    int signal = 0;          // when a signal ended it
};

// tessarine-thumb beside the running executable; empty when that cannot be found.
std::string defaultThumbnailToolPath();

// Where a thumbnail is written before it is renamed onto `output`: a hidden
// name in the same folder that carries the tool's process id, so that whoever
// kills the tool can remove what it left.
std::filesystem::path thumbnailTempPath(const std::filesystem::path& output, long pid);

// Runs the tool once for the job and waits. True when it exited with status 0
// and the output is a regular file.
bool runThumbnailTool(const ThumbnailJob& job, const ThumbnailOptions& options, ThumbnailRunInfo* info = nullptr);

// A fixed pool of worker threads running thumbnail jobs in submission order.
// Jobs wait as a queue of paths, so memory grows only with what is queued.
class ThumbnailQueue {
public:
    using Done = std::function<void(const ThumbnailJob&, bool ok)>;

    explicit ThumbnailQueue(ThumbnailOptions options, unsigned workers = 2);
    ~ThumbnailQueue();  // waits for every submitted job
    ThumbnailQueue(const ThumbnailQueue&) = delete;
    ThumbnailQueue& operator=(const ThumbnailQueue&) = delete;

    // `done` runs on a worker thread once the job has ended.
    void submit(ThumbnailJob job, Done done = {});
    // Returns when every job submitted so far has ended.
    void wait();
    // Jobs submitted and not yet ended (queued or running).
    std::size_t pending() const;
    // Forgets the jobs not yet started; their `done` runs with false. Those running go on.
    void dropQueued();

private:
    struct Entry {
        ThumbnailJob job;
        Done done;
    };
    void work(std::stop_token stop);

    const ThumbnailOptions options_;
    mutable std::mutex mutex_;
    std::condition_variable_any jobReady_;
    std::condition_variable allDone_;
    std::deque<Entry> queue_;
    std::size_t pending_ = 0;
    std::vector<std::jthread> workers_;  // last: stopped and joined before the rest goes
};

}  // namespace vf
