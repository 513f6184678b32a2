#pragma once
// The copy of carved files into the output folder, on two writer threads
// beside the scan: a dense card's bytes are mostly written out again, and the
// copy costs more than the rest of the scan. Files are seen through (named,
// recorded) in the order found, whatever order their copies end in.

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "helper/OutputDirectory.h"
#include "helper/Worker.h"
#include "helper/formats/FileFormat.h"
#include "helper/io/ByteSink.h"
#include "helper/io/Device.h"

namespace vf {

// A carved file between its discovery and its records.
struct CarvedFile {
    std::uint64_t off = 0, length = 0;
    FileFormat format{};
    std::optional<std::string> date;
    std::string camera;  // "_make_model" as the name carries it
    std::unique_ptr<PendingFile> file;
    int createError = 0;
};

struct CopyOutcome {
    bool ok = false;
    std::optional<std::uint64_t> unreadableAt;  // the device failed there
};

// Copies [offset, offset + length) of the device to out through scratch. On a
// failed read, unreadableAt tells where the device failed.
bool copyFromDevice(Device& device, std::uint64_t offset, std::uint64_t length, std::uint64_t blockSize,
                    ByteSink& out, std::vector<std::uint8_t>& scratch, std::optional<std::uint64_t>& unreadableAt);

// What the chunk in hand holds of the file at off (chunk[index]): written from
// it, so that only the rest is read again. Nothing when the chunk is not the card's bytes as read.
std::span<const std::uint8_t> heldPart(std::span<const std::uint8_t> chunk, bool chunkAsRead, std::uint64_t start,
                                       std::size_t index, std::uint64_t off, std::uint64_t length);

// A carved file's copy: what the chunk in hand holds of it (held), then the rest from the device.
bool copyCarved(Device& device, std::span<const std::uint8_t> held, std::uint64_t off, std::uint64_t length,
                std::uint64_t blockSize, ByteSink& out, std::vector<std::uint8_t>& scratch,
                std::optional<std::uint64_t>& unreadableAt);

class WritePipeline {
public:
    // Sees one file through once its copy is over; foundAt: the bytes scanned when it was found.
    using Settle = std::function<void(CarvedFile& file, const CopyOutcome& copy, std::uint64_t foundAt)>;

    explicit WritePipeline(Settle settle) : settle_(std::move(settle)) {}

    // Makes room for a file of this length: fewer than the most files in
    // flight, and none beside it where the folder may not hold them all.
    void makeRoom(std::uint64_t length, const OutputDirectory& output);
    // Copies the file's bytes (held from the chunk at chunkStart, the rest from
    // the device) on a writer; held must stay as it is until the file is settled.
    void submit(CarvedFile file, Device& device, std::span<const std::uint8_t> held, std::uint64_t blockSize,
                std::uint64_t chunkStart, std::uint64_t foundAt);
    // A file whose temporary file could not be made: settled at once, after those before it.
    void submitFailed(CarvedFile file, std::uint64_t chunkStart, std::uint64_t foundAt);

    // Sees files through in the order found, until at most `keep` are left.
    void settle(std::size_t keep = 0);
    // Sees through those at the front that are written, without waiting.
    void settleReady();

    // The lowest offset of a file still being copied, or `upTo` when lower.
    std::uint64_t earliestOffset(std::uint64_t upTo) const;
    // Files still copied from chunks that start after `chunkStart`.
    std::size_t countAfter(std::uint64_t chunkStart) const;
    // Whether a file still being copied comes from the chunk at chunkStart or an earlier one.
    bool holdsChunk(std::uint64_t chunkStart) const;

private:
    struct Write {
        CarvedFile carved;
        std::future<CopyOutcome> outcome;
        std::uint64_t chunkStart = 0;
        std::uint64_t foundAt = 0;
    };
    Settle settle_;
    // Declared before the writers, so that these outlive any job still running.
    std::deque<Write> writing_;
    static constexpr std::size_t kWriters = 2;
    std::array<std::vector<std::uint8_t>, kWriters> scratch_;  // one copy buffer for each writer
    std::array<Worker, kWriters> writers_;
    std::size_t nextWriter_ = 0;
};

}  // namespace vf
