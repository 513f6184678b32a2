// Tag search over the directories of a TIFF stream on the device.

#include <unordered_set>

#include "helper/formats/FormatDetector.h"
#include "common/ByteReader.h"

namespace vf::TiffParser {
namespace {

constexpr std::size_t kMaxDirectories = 64;
constexpr std::uint32_t kMaxEntries = 1999;
constexpr std::uint16_t kSubIfdsTag = 330;
constexpr std::uint16_t kTypeLong = 4;
constexpr std::uint32_t kMaxSubIfds = 127;
constexpr std::size_t kEntrySize = 12;

}  // namespace

bool containsTag(Device& device, std::uint64_t base, std::uint16_t tag) {
    std::uint8_t head[8];
    if (!device.readExact(base, head)) return false;
    Endian e;
    if (head[0] == 'M' && head[1] == 'M') e = Endian::big;
    else if (head[0] == 'I' && head[1] == 'I') e = Endian::little;
    else return false;

    // Directories still to visit, the next one last. The walk is depth first and
    // ends after 64 directories, so only the top (64 - visited) distinct, non-zero,
    // unvisited offsets can ever be reached: the stack keeps just those, which bounds
    // it however many SubIFD offsets a directory lists, and leaves the walk as it was.
    std::vector<std::uint32_t> pending;
    std::unordered_set<std::uint32_t> visited;

    // A directory's pushes are taken newest first into `merged`, then the older
    // pending offsets; `finish` makes that the new stack.
    std::unordered_set<std::uint32_t> kept;
    std::vector<std::uint32_t> merged;
    auto room = [&] { return kMaxDirectories - visited.size(); };
    auto take = [&](std::uint32_t v) {
        if (v != 0 && merged.size() < room() && visited.count(v) == 0 && kept.insert(v).second) merged.push_back(v);
    };
    auto full = [&] { return merged.size() >= room(); };
    auto begin = [&] { merged.clear(); kept.clear(); };
    auto finish = [&] {
        for (auto it = pending.rbegin(); it != pending.rend() && !full(); ++it) take(*it);
        pending.assign(merged.rbegin(), merged.rend());
    };

    begin();
    take(*ByteReader(head).u32(4, e));
    finish();

    std::vector<std::uint8_t> entries;
    std::vector<std::uint8_t> subIfds;
    while (!pending.empty()) {
        const std::uint32_t o = pending.back();
        pending.pop_back();
        visited.insert(o);

        const std::optional<std::uint64_t> at = checkedAdd(base, o);
        std::uint8_t countBytes[2];
        if (!at || *at > UINT64_MAX - 2 || !device.readExact(*at, countBytes)) continue;
        const std::uint16_t c = *ByteReader(countBytes).u16(0, e);
        if (c == 0 || c > kMaxEntries) continue;
        entries.resize(kEntrySize * c + 4);
        if (!device.readExact(*at + 2, entries)) continue;
        const ByteReader in(entries);

        for (std::size_t i = 0; i < c; ++i)
            if (*in.u16(kEntrySize * i, e) == tag) return true;

        // Push order is entry order, then the next directory; take them newest first.
        begin();
        take(*in.u32(kEntrySize * c, e));
        for (std::size_t i = c; i-- > 0 && !full();) {
            const std::size_t entry = kEntrySize * i;
            if (*in.u16(entry, e) != kSubIfdsTag) continue;
            const std::uint16_t type = *in.u16(entry + 2, e);
            const std::uint32_t count = *in.u32(entry + 4, e);
            const std::uint32_t value = *in.u32(entry + 8, e);
            if (count == 1) {
                take(value);
            } else if (type == kTypeLong && count > 0 && count <= kMaxSubIfds) {
                const std::optional<std::uint64_t> list = checkedAdd(base, value);
                subIfds.resize(4 * std::size_t{count});
                if (!list || !device.readExact(*list, subIfds)) continue;
                const ByteReader values(subIfds);
                for (std::size_t j = count; j-- > 0;) take(*values.u32(4 * j, e));
            }
        }
        finish();
    }
    return false;
}

}  // namespace vf::TiffParser
