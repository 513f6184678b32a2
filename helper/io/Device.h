#pragma once
// The one way the scanner reads a card: positioned reads through a Device.
// Contract (as ddrescue states its own): readAt fills as much of `out` as the
// device holds at `offset`; a count below out.size() with error 0 means the end
// of the data was reached; error != 0 is an errno value and means the read failed
// (the bytes counted before the failure are valid).

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vf {

struct ReadResult {
    std::size_t bytes = 0;
    int error = 0;
    bool failed() const { return error != 0; }
};

class Device {
public:
    virtual ~Device() = default;
    virtual ReadResult readAt(std::uint64_t offset, std::span<std::uint8_t> out) = 0;

    // Reads exactly out.size() bytes; false on a failure or a short read.
    bool readExact(std::uint64_t offset, std::span<std::uint8_t> out) {
        const ReadResult r = readAt(offset, out);
        return !r.failed() && r.bytes == out.size();
    }
};

// Reads an open file descriptor with pread. The descriptor is borrowed.
class FdDevice final : public Device {
public:
    explicit FdDevice(int fd) : fd_(fd) {}
    ReadResult readAt(std::uint64_t offset, std::span<std::uint8_t> out) override;
    int fd() const { return fd_; }

private:
    int fd_;
};

// A device held in memory (tests, fuzzers, small images).
class MemoryDevice final : public Device {
public:
    explicit MemoryDevice(std::vector<std::uint8_t> data) : data_(std::move(data)) {}
    ReadResult readAt(std::uint64_t offset, std::span<std::uint8_t> out) override;
    std::vector<std::uint8_t>& data() { return data_; }
    std::size_t readCount() const { return reads_; }

private:
    std::vector<std::uint8_t> data_;
    std::size_t reads_ = 0;
};

}  // namespace vf
