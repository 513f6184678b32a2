#pragma once
// Works out the length of a file from its own structure, given its format and
// its first byte's device offset. 0 means no length could be determined.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "helper/formats/FileFormat.h"
#include "helper/io/Device.h"

namespace vf {

class FileSizeCalculator {
public:
    // blockSize > 0; every device read starts at a multiple of it.
    explicit FileSizeCalculator(std::uint64_t blockSize);

    std::uint64_t calculateSize(FileFormat format, Device& device, std::uint64_t offset);

    // Bytes of [offset, offset + length): `bytes` holds them from `start` on. At the
    // end of the device fewer bytes may come back (bytes.size() - start < length);
    // nothing when no byte exists at offset, or when the read failed. With
    // `Unreadable::cut` a failed read gives the blocks before the first one that
    // cannot be read, and `cut` says so: for windows that a rule searches for an
    // end that may well lie before the bad block.
    enum class Unreadable { fail, cut };
    struct Chunk {
        std::vector<std::uint8_t> storage;
        std::span<const std::uint8_t> bytes;  // view into storage or into the hint buffer
        std::size_t start = 0;
        bool cut = false;
        std::size_t available() const { return bytes.size() - start; }
    };
    std::optional<Chunk> readChunk(std::uint64_t offset, std::uint64_t length, Device& device,
                                   Unreadable unreadable = Unreadable::fail);

    // Whether the header at offset passes the checks this format's length rule
    // makes, so that a match there is a plausible start of a real file.
    bool plausibleStart(FileFormat format, Device& device, std::uint64_t offset);

    // Whether the file of this format at fileStart has one of its own elements
    // at `at` (an ISO media box, a transport-stream packet), so that a match
    // there is part of that file rather than a file of its own.
    bool accountsFor(FileFormat format, Device& device, std::uint64_t fileStart, std::uint64_t at);

    void setHint(std::span<const std::uint8_t> buf, std::uint64_t base) {
        hintBuf = buf;
        hintBase = base;
        hintValid = true;
    }
    void clearHint() { hintValid = false; hintBuf = {}; }

    std::uint64_t blockSize;
    std::span<const std::uint8_t> hintBuf;
    std::uint64_t hintBase = 0;
    bool hintValid = false;
};

}  // namespace vf
