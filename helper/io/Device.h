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
#include <deque>
#include <mutex>
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

// Told when a view it lent goes away.
class ViewOwner {
public:
    virtual void released(std::uint64_t token) = 0;

protected:
    ~ViewOwner() = default;
};

// Bytes of a device seen in place. A view either has a mapping of its own,
// released when it goes, or lies in one its owner keeps and is told about.
class DeviceView {
public:
    DeviceView() = default;
    explicit DeviceView(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}  // borrowed, nothing to release
    DeviceView(std::span<const std::uint8_t> bytes, void* mapping, std::size_t mappingBytes)
        : bytes_(bytes), mapping_(mapping), mappingBytes_(mappingBytes) {}
    DeviceView(std::span<const std::uint8_t> bytes, ViewOwner* owner, std::uint64_t token)
        : bytes_(bytes), owner_(owner), token_(token) {}
    DeviceView(DeviceView&& o) noexcept { *this = std::move(o); }
    DeviceView& operator=(DeviceView&& o) noexcept;
    DeviceView(const DeviceView&) = delete;
    DeviceView& operator=(const DeviceView&) = delete;
    ~DeviceView() { release(); }
    std::span<const std::uint8_t> bytes() const { return bytes_; }

private:
    void release();
    std::span<const std::uint8_t> bytes_;
    void* mapping_ = nullptr;
    std::size_t mappingBytes_ = 0;
    ViewOwner* owner_ = nullptr;
    std::uint64_t token_ = 0;
};

class Device {
public:
    virtual ~Device() = default;
    virtual ReadResult readAt(std::uint64_t offset, std::span<std::uint8_t> out) = 0;

    // The bytes a successful readAt(offset, length) would return, without a copy;
    // nothing when the device lends no views or any of those bytes cannot be read
    // (then readAt says what went wrong). Safe to call from another thread.
    virtual std::optional<DeviceView> view(std::uint64_t /*offset*/, std::size_t /*length*/) { return std::nullopt; }
    // Whether view can lend bytes at all; a view that then fails met an unreadable block.
    virtual bool lendsViews() const { return false; }

    // Whether readAt may be called from several threads at once.
    virtual bool concurrentReads() const { return false; }

    // Reads exactly out.size() bytes; false on a failure or a short read.
    bool readExact(std::uint64_t offset, std::span<std::uint8_t> out) {
        const ReadResult r = readAt(offset, out);
        return !r.failed() && r.bytes == out.size();
    }
};

// Bytes at offset as readAt returns them: lent by the device when it can, else
// read into buffer (grown as needed). bytes stays valid while view and buffer do.
struct Fetched {
    std::optional<DeviceView> view;
    ReadResult result;
    std::span<const std::uint8_t> bytes;
};
Fetched fetch(Device& device, std::uint64_t offset, std::size_t length, std::vector<std::uint8_t>& buffer);

// Reads an open file descriptor with pread. The descriptor is borrowed.
class FdDevice final : public Device, private ViewOwner {
public:
    explicit FdDevice(int fd) : fd_(fd) {}
    ~FdDevice();  // every view it lent must be gone
    FdDevice(const FdDevice&) = delete;
    FdDevice& operator=(const FdDevice&) = delete;
    ReadResult readAt(std::uint64_t offset, std::span<std::uint8_t> out) override;
    bool concurrentReads() const override { return true; }  // pread keeps no position
    int fd() const { return fd_; }

    // Views map the descriptor read-only; only a device of known size (a regular
    // file or a block device) can be mapped, as a mapping past its end faults.
    // The whole device is mapped once and views lie in that mapping, so a page
    // that several views cover is entered once (entering a page costs more than
    // reading it on some machines); pages no view has used for a while are
    // let go again, which keeps the resident size flat.
    void enableViews(std::uint64_t deviceBytes) { viewBytes_ = deviceBytes; }
    std::optional<DeviceView> view(std::uint64_t offset, std::size_t length) override;
    bool lendsViews() const override { return viewBytes_.has_value(); }

    // Bytes of the whole mapping entered in page tables, at most; views in use
    // may hold more.
    static constexpr std::uint64_t kResidentBudget = 48ull << 20;
    std::uint64_t residentBytes() const;

private:
    void released(std::uint64_t token) override;
    std::optional<DeviceView> ownMapping(std::uint64_t at, std::size_t lead, std::size_t n);
    void evictLocked();

    struct Resident {
        std::uint64_t from = 0, to = 0;  // page-aligned range of the device
        std::uint64_t token = 0;
        bool live = true;
    };
    int fd_;
    std::optional<std::uint64_t> viewBytes_;
    mutable std::mutex mutex_;
    bool triedWhole_ = false;
    std::uint8_t* whole_ = nullptr;
    std::size_t wholeBytes_ = 0;
    std::deque<Resident> resident_;  // oldest first
    std::uint64_t residentBytes_ = 0;
    std::uint64_t nextToken_ = 1;
};

// A device held in memory (tests, fuzzers, small images).
class MemoryDevice final : public Device {
public:
    explicit MemoryDevice(std::vector<std::uint8_t> data) : data_(std::move(data)) {}
    ReadResult readAt(std::uint64_t offset, std::span<std::uint8_t> out) override;
    std::optional<DeviceView> view(std::uint64_t offset, std::size_t length) override;
    bool lendsViews() const override { return true; }
    std::vector<std::uint8_t>& data() { return data_; }
    std::size_t readCount() const { return reads_; }

private:
    std::vector<std::uint8_t> data_;
    std::size_t reads_ = 0;
};

}  // namespace vf
