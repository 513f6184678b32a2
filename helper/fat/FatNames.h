#pragma once
// File names as FAT32 and exFAT directories store them: UTF-16 code units,
// 8.3 short names and the VFAT long-name entries that precede a short entry.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vf {

// UTF-8 text of UTF-16 code units; unpaired surrogates become U+FFFD.
std::string decodeUtf16(std::span<const std::uint16_t> units);

struct SplitName {
    std::string base;       // the name without its last full stop and what follows
    std::string extension;  // after the last full stop; empty when there is none
};
SplitName splitFileName(std::string_view name);

// The checksum a long-name entry carries of the 11-byte short name it belongs to.
std::uint8_t shortNameChecksum(std::span<const std::uint8_t> name11);

// Gathers the long-name entries (attribute 0x0F) met in a directory and, when
// the short entry that follows arrives, yields the long name if it belongs to
// it. A live set must be complete and in order (ordinals N|0x40 … 1) with the
// short entry's checksum. A deleted set has lost its ordinals and the short
// name's first byte: it is taken as the run of deleted long-name entries right
// before the short entry, all with one checksum, which must match the short
// name completed with the long name's first letter; and the long name's
// extension must agree with the short one, so a run cut short by a reused
// slot is not taken for the whole name.
class LongNameCollector {
public:
    void add(std::span<const std::uint8_t> entry);
    void reset() { pending_.clear(); }
    // Resolves against a 32-byte short entry and forgets what was gathered.
    std::optional<std::string> takeFor(std::span<const std::uint8_t> shortEntry);

private:
    struct Part {
        std::uint8_t ordinal = 0;
        bool deleted = false;
        std::uint8_t checksum = 0;
        std::array<std::uint16_t, 13> units{};
    };
    // 255 characters at 13 per entry.
    static constexpr std::size_t kMaxParts = 20;

    std::optional<std::vector<std::uint16_t>> liveUnits(std::span<const std::uint8_t> shortEntry) const;
    std::optional<std::vector<std::uint16_t>> deletedUnits(std::span<const std::uint8_t> shortEntry) const;

    std::vector<Part> pending_;
};

}  // namespace vf
