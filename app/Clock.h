#pragma once
// The time the supervision's watchdogs measure, so tests can move it.

#include <chrono>

namespace vf {

class Clock {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    virtual ~Clock() = default;
    virtual TimePoint now() const = 0;
};

class SteadyClock final : public Clock {
public:
    TimePoint now() const override { return std::chrono::steady_clock::now(); }
};

class ManualClock final : public Clock {
public:
    TimePoint now() const override { return now_; }
    void advance(std::chrono::steady_clock::duration d) { now_ += d; }

private:
    TimePoint now_{std::chrono::hours(1)};
};

}  // namespace vf
