#pragma once
// One long-lived thread that runs posted jobs in order.
//
// The scan hands each chunk's search to threads many times a second. A thread
// made for each job starts on the creator's processor and often waits there
// until the creator yields, even with the other one idle; a thread that lives
// on is woken where it last ran, so the halves of a search really overlap.

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace vf {

class Worker {
public:
    Worker() = default;
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;
    ~Worker() {
        {
            std::lock_guard lock(mutex_);
            closing_ = true;
        }
        wake_.notify_one();
        if (thread_.joinable()) thread_.join();
    }

    // Runs job on the worker; when no thread can be started, right here.
    template <typename Job>
    auto post(Job job) -> std::future<decltype(job())> {
        using Result = decltype(job());
        auto task = std::make_shared<std::packaged_task<Result()>>(std::move(job));
        std::future<Result> result = task->get_future();
        if (!started()) {
            (*task)();
            return result;
        }
        {
            std::lock_guard lock(mutex_);
            jobs_.emplace_back([task] { (*task)(); });
        }
        wake_.notify_one();
        return result;
    }

private:
    bool started() {
        if (thread_.joinable()) return true;
        try {
            thread_ = std::thread([this] { run(); });
        } catch (const std::system_error&) {
            return false;
        }
        return true;
    }

    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return closing_ || !jobs_.empty(); });
            if (jobs_.empty()) return;  // closing, with nothing left to do
            std::function<void()> job = std::move(jobs_.front());
            jobs_.pop_front();
            lock.unlock();
            job();
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    bool closing_ = false;
    std::thread thread_;
};

}  // namespace vf
