#pragma once
// Small synthetic files and devices for engine tests.

#include <cerrno>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "helper/io/Device.h"

namespace vf::test {

// A baseline JPEG of exactly `size` bytes (at least 64): SOI, an optional EXIF
// APP1 with DateTimeOriginal-like text and make/model, a scan header, entropy
// bytes that never hold FF D9, and EOI.
std::vector<std::uint8_t> makeJpeg(std::size_t size, std::uint32_t seed, const std::string& date = "",
                                   const std::string& make = "", const std::string& model = "");

// A card of `mib` MiB without a file system, of random data (or zeros) with
// `photos` JPEGs from `size` bytes on, spread evenly at 4096-aligned offsets,
// far enough apart that none reaches the next; written to `image`, the photos returned in card order.
std::vector<std::vector<std::uint8_t>> writeCarvingCard(const std::string& image, std::size_t mib, int photos,
                                                        std::size_t size, std::uint32_t seed, bool noise = true);

// Copies `file` into `image` at `offset`, growing the image when needed.
void place(std::vector<std::uint8_t>& image, std::uint64_t offset, const std::vector<std::uint8_t>& file);

// A device in memory whose reads fail over given ranges, or fail everywhere
// from some offset on, as a card that was pulled out.
class FaultyDevice final : public Device {
public:
    explicit FaultyDevice(std::vector<std::uint8_t> data) : data_(std::move(data)) {}
    void failRange(std::uint64_t from, std::uint64_t to, int error = EIO) { bad_.push_back({from, to, error}); }
    void goneFrom(std::uint64_t offset, int error = ENODEV) { failRange(offset, UINT64_MAX, error); }
    ReadResult readAt(std::uint64_t offset, std::span<std::uint8_t> out) override;
    bool concurrentReads() const override { return concurrent; }
    // With lendViews, the bytes of ranges that hold no failing block.
    std::optional<DeviceView> view(std::uint64_t offset, std::size_t length) override;
    bool lendsViews() const override { return lendViews; }
    std::vector<std::pair<std::uint64_t, std::size_t>> reads;  // every read asked for
    bool concurrent = false;  // reads may come from several threads at once
    bool lendViews = false;

private:
    struct Bad { std::uint64_t from, to; int error; };
    std::vector<std::uint8_t> data_;
    std::vector<Bad> bad_;
    std::mutex readsMutex_;
};

}  // namespace vf::test
