#pragma once
// The one way the scanner reads a card: positioned reads through a Device.
// Contract (as ddrescue states its own): readAt fills as much of `out` as the
// device holds at `offset`; a count below out.size() with error 0 means the end
// of the data was reached; error != 0 is an errno value and means the read failed
// (the bytes counted before the failure are valid).
//
// A device may also lend its bytes in place (view): no copy, same bytes as readAt.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace vf {

struct ReadResult {
    std::size_t bytes = 0;
    int error = 0;
    bool failed() const { return error != 0; }
};

// Bytes of a device seen in place; a mapping is released when the view goes.
class DeviceView {
public:
    DeviceView() = default;
    DeviceView(std::span<const std::uint8_t> bytes, void* mapping, std::size_t mappingBytes)
        : bytes_(bytes), mapping_(mapping), mappingBytes_(mappingBytes) {}
    DeviceView(DeviceView&& o) noexcept { *this = std::move(o); }
    DeviceView& operator=(DeviceView&& o) noexcept;
    DeviceView(const DeviceView&) = delete;
    DeviceView& operator=(const DeviceView&) = delete;
    ~DeviceView();
    std::span<const std::uint8_t> bytes() const { return bytes_; }

private:
    std::span<const std::uint8_t> bytes_;
    void* mapping_ = nullptr;
    std::size_t mappingBytes_ = 0;
};

class Device {
public:
    virtual ~Device() = default;
    virtual ReadResult readAt(std::uint64_t offset, std::span<std::uint8_t> out) = 0;

    // The bytes a successful readAt(offset, length) would return, without a copy;
    // nothing when the device lends no views or any of those bytes cannot be read
    // (then readAt says what went wrong). Safe to call from another thread.
    virtual std::optional<DeviceView> view(std::uint64_t /*offset*/, std::size_t /*length*/) { return std::nullopt; }

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

    // Views map the descriptor read-only; only a device of known size (a regular
    // file or a block device) can be mapped, as a mapping past its end faults.
    void enableViews(std::uint64_t deviceBytes) { viewBytes_ = deviceBytes; }
    std::optional<DeviceView> view(std::uint64_t offset, std::size_t length) override;

private:
    int fd_;
    std::optional<std::uint64_t> viewBytes_;
};

// A device held in memory (tests, fuzzers, small images).
class MemoryDevice final : public Device {
public:
    explicit MemoryDevice(std::vector<std::uint8_t> data) : data_(std::move(data)) {}
    ReadResult readAt(std::uint64_t offset, std::span<std::uint8_t> out) override;
    std::optional<DeviceView> view(std::uint64_t offset, std::size_t length) override;
    std::vector<std::uint8_t>& data() { return data_; }
    std::size_t readCount() const { return reads_; }

private:
    std::vector<std::uint8_t> data_;
    std::size_t reads_ = 0;
};

}  // namespace vf
