// The scan's long-lived worker: jobs run in order, off the caller's thread, and
// a worker that goes away first finishes what it was given (the scans always
// wait for their jobs, so only this test sees that).
#include "helper/Worker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

namespace vf {
namespace {

TEST(Worker, RunsJobsInOrderOnItsOwnThreadAndFinishesThemBeforeItGoes) {
    std::vector<int> order;
    std::future<std::thread::id> where;
    {
        Worker w;
        where = w.post([] {  // busy while the others are queued and the worker is told to go
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            return std::this_thread::get_id();
        });
        for (int i = 0; i < 50; ++i) w.post([&order, i] { order.push_back(i); });
    }  // their futures dropped: the worker still runs them before it is gone
    EXPECT_NE(where.get(), std::this_thread::get_id());
    ASSERT_EQ(order.size(), 50u);
    for (int i = 0; i < 50; ++i) EXPECT_EQ(order[i], i);
}

}  // namespace
}  // namespace vf
