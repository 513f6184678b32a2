#include "helper/fat/FatNames.h"

#include <algorithm>

#include "common/ByteReader.h"

namespace vf {
namespace {

void appendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

bool isHighSurrogate(std::uint16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool isLowSurrogate(std::uint16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// Code-unit positions of the 13 name characters inside a long-name entry.
constexpr std::array<std::size_t, 13> kLongNameUnitOffsets = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};

// The byte a short name would start with for a long name starting with `unit`,
// as the usual short-name generators write it.
std::uint8_t shortNameLead(std::uint16_t unit) {
    if (unit >= 'a' && unit <= 'z') return static_cast<std::uint8_t>(unit - 'a' + 'A');
    if (unit >= 0x80) return '_';  // the OEM code page is unknown; generators fall back to '_'
    static constexpr std::string_view kInvalid = "\"*+,./:;<=>?[\\]|";
    if (unit < 0x20 || kInvalid.find(static_cast<char>(unit)) != std::string_view::npos) return '_';
    return static_cast<std::uint8_t>(unit);
}

std::vector<std::uint16_t> untilTerminator(std::vector<std::uint16_t> units) {
    const auto nul = std::find(units.begin(), units.end(), std::uint16_t{0});
    units.erase(nul, units.end());
    return units;
}

// The long name's extension must begin with the short one (upper-cased,
// '_' standing for any character a short name cannot hold).
bool extensionsAgree(std::span<const std::uint16_t> longName, std::span<const std::uint8_t> shortEntry) {
    std::string shortExt;
    for (std::size_t i = 8; i < 11; ++i)
        if (shortEntry[i] != ' ') shortExt += static_cast<char>(shortEntry[i]);
    if (shortExt.empty()) return true;
    const auto dot = std::find(longName.rbegin(), longName.rend(), std::uint16_t{'.'});
    if (dot == longName.rend()) return false;
    const auto extStart = dot.base();  // just after the full stop
    const std::size_t extLen = static_cast<std::size_t>(longName.end() - extStart);
    if (extLen < shortExt.size()) return false;
    for (std::size_t i = 0; i < shortExt.size(); ++i) {
        const std::uint16_t u = *(extStart + static_cast<std::ptrdiff_t>(i));
        const std::uint8_t s = static_cast<std::uint8_t>(shortExt[i]);
        if (s == '_') continue;
        const std::uint16_t upper = (u >= 'a' && u <= 'z') ? static_cast<std::uint16_t>(u - 'a' + 'A') : u;
        if (upper != s) return false;
    }
    return true;
}

}  // namespace

std::string decodeUtf16(std::span<const std::uint16_t> units) {
    std::string out;
    out.reserve(units.size());
    for (std::size_t i = 0; i < units.size(); ++i) {
        const std::uint16_t u = units[i];
        if (isHighSurrogate(u) && i + 1 < units.size() && isLowSurrogate(units[i + 1])) {
            const std::uint32_t cp = 0x10000 + ((static_cast<std::uint32_t>(u) - 0xD800) << 10) +
                                     (static_cast<std::uint32_t>(units[i + 1]) - 0xDC00);
            appendUtf8(out, cp);
            ++i;
        } else if (isHighSurrogate(u) || isLowSurrogate(u)) {
            appendUtf8(out, 0xFFFD);
        } else {
            appendUtf8(out, u);
        }
    }
    return out;
}

SplitName splitFileName(std::string_view name) {
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos) return {std::string(name), {}};
    return {std::string(name.substr(0, dot)), std::string(name.substr(dot + 1))};
}

std::uint8_t shortNameChecksum(std::span<const std::uint8_t> name11) {
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < 11 && i < name11.size(); ++i)
        sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + name11[i]);
    return sum;
}

void LongNameCollector::add(std::span<const std::uint8_t> entry) {
    const ByteReader r(entry);
    // A long-name entry has type 0 and no cluster; anything else breaks the set.
    if (r.u8(12).value_or(1) != 0 || r.le16(26).value_or(1) != 0 || !r.has(0, 32)) {
        reset();
        return;
    }
    Part p;
    p.ordinal = entry[0];
    p.deleted = entry[0] == 0xE5;
    p.checksum = entry[13];
    for (std::size_t i = 0; i < p.units.size(); ++i) p.units[i] = r.le16(kLongNameUnitOffsets[i]).value_or(0);
    if (pending_.size() == kMaxParts) pending_.erase(pending_.begin());
    pending_.push_back(p);
}

std::optional<std::vector<std::uint16_t>> LongNameCollector::liveUnits(std::span<const std::uint8_t> shortEntry) const {
    const std::uint8_t sum = shortNameChecksum(shortEntry.first(11));
    std::vector<std::uint16_t> units;
    std::uint8_t expected = 1;
    for (auto it = pending_.rbegin(); it != pending_.rend(); ++it, ++expected) {
        if (it->deleted || it->checksum != sum || (it->ordinal & 0x3F) != expected) return std::nullopt;
        units.insert(units.end(), it->units.begin(), it->units.end());
        if (it->ordinal & 0x40) return units;
    }
    return std::nullopt;  // the first entry of the set is missing
}

std::optional<std::vector<std::uint16_t>> LongNameCollector::deletedUnits(std::span<const std::uint8_t> shortEntry) const {
    if (pending_.empty()) return std::nullopt;
    const std::uint8_t sum = pending_.back().checksum;
    std::vector<std::uint16_t> units;
    for (auto it = pending_.rbegin(); it != pending_.rend() && it->deleted && it->checksum == sum; ++it)
        units.insert(units.end(), it->units.begin(), it->units.end());
    units = untilTerminator(std::move(units));

    auto first = std::find_if(units.begin(), units.end(), [](std::uint16_t u) { return u != '.' && u != ' '; });
    if (first == units.end()) return std::nullopt;
    std::array<std::uint8_t, 11> name{};
    std::copy_n(shortEntry.begin(), 11, name.begin());
    name[0] = shortNameLead(*first);
    if (shortNameChecksum(name) != sum) return std::nullopt;
    if (!extensionsAgree(units, shortEntry)) return std::nullopt;
    return units;
}

std::optional<std::string> LongNameCollector::takeFor(std::span<const std::uint8_t> shortEntry) {
    std::optional<std::vector<std::uint16_t>> units;
    if (shortEntry.size() >= 32 && !pending_.empty())
        units = shortEntry[0] == 0xE5 ? deletedUnits(shortEntry) : liveUnits(shortEntry);
    reset();
    if (!units) return std::nullopt;
    const std::vector<std::uint16_t> name = untilTerminator(std::move(*units));
    if (name.empty()) return std::nullopt;
    return decodeUtf16(name);
}

}  // namespace vf
