// The scan's long-lived worker: jobs run in order, off the caller's thread,
// and a worker that goes away first finishes what it was given.
#include "helper/Worker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <vector>

namespace vf {
namespace {

TEST(Worker, RunsJobsInOrderOnItsOwnThreadAndFinishesThemBeforeItGoes) {
    std::vector<int> order;
    std::atomic<bool> lastDone{false};
    std::future<std::thread::id> where;
    {
        Worker w;
        where = w.post([] { return std::this_thread::get_id(); });
        std::vector<std::future<int>> results;
        for (int i = 0; i < 50; ++i) results.push_back(w.post([&order, i] {
            order.push_back(i);
            return i * i;
        }));
        for (int i = 0; i < 50; ++i) EXPECT_EQ(results[i].get(), i * i);
        w.post([&lastDone] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            lastDone = true;
        });
    }  // the future of the last job is dropped: the worker still runs it before it is gone
    EXPECT_TRUE(lastDone);
    EXPECT_NE(where.get(), std::this_thread::get_id());
    ASSERT_EQ(order.size(), 50u);
    for (int i = 0; i < 50; ++i) EXPECT_EQ(order[i], i);
}

}  // namespace
}  // namespace vf
