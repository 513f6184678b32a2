#pragma once
// Where a recovered file's bytes go. The output stage creates the file (safely,
// under the name it chose) and hands a sink to whoever copies the data.

#include <cstdint>
#include <span>
#include <vector>

namespace vf {

class ByteSink {
public:
    virtual ~ByteSink() = default;
    // Appends all bytes; false when they could not all be written.
    virtual bool write(std::span<const std::uint8_t> bytes) = 0;
};

// Collects bytes in memory (tests, fuzzers).
class MemorySink final : public ByteSink {
public:
    bool write(std::span<const std::uint8_t> bytes) override {
        data.insert(data.end(), bytes.begin(), bytes.end());
        return true;
    }
    std::vector<std::uint8_t> data;
};

}  // namespace vf
