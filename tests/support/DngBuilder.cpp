#include "tests/support/DngBuilder.h"

#include <algorithm>
#include <string>

#include "tests/support/TestSupport.h"

namespace vf::test {
namespace {

struct TiffEntry {
    std::uint16_t tag, type;
    std::uint32_t count;
    std::vector<std::uint8_t> data;
};

void put(std::vector<std::uint8_t>& out, std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void put16(std::vector<std::uint8_t>& out, std::uint32_t v) { put(out, v, 2); }
void put32(std::vector<std::uint8_t>& out, std::uint32_t v) { put(out, v, 4); }
TiffEntry numbers(std::uint16_t tag, std::uint16_t type, std::initializer_list<std::uint32_t> v) {
    TiffEntry e{tag, type, static_cast<std::uint32_t>(v.size()), {}};
    for (auto x : v) put(e.data, x, type == 3 ? 2 : 4);
    return e;
}
TiffEntry shorts(std::uint16_t tag, std::initializer_list<std::uint32_t> v) { return numbers(tag, 3, v); }
TiffEntry longs(std::uint16_t tag, std::initializer_list<std::uint32_t> v) { return numbers(tag, 4, v); }
TiffEntry text(std::uint16_t tag, const std::string& s) {
    TiffEntry e{tag, 2, static_cast<std::uint32_t>(s.size() + 1), {s.begin(), s.end()}};
    e.data.push_back(0);
    return e;
}

// Appends one directory at the end of `file`, its long values after it.
std::uint32_t appendIfd(std::vector<std::uint8_t>& file, std::vector<TiffEntry> entries) {
    std::sort(entries.begin(), entries.end(), [](auto& a, auto& b) { return a.tag < b.tag; });
    const auto start = static_cast<std::uint32_t>(file.size());
    std::uint32_t extra = start + 2 + 12 * static_cast<std::uint32_t>(entries.size()) + 4;
    std::vector<std::uint8_t> values;
    put16(file, static_cast<std::uint32_t>(entries.size()));
    for (const TiffEntry& e : entries) {
        put16(file, e.tag);
        put16(file, e.type);
        put32(file, e.count);
        if (e.data.size() <= 4) {
            for (std::size_t i = 0; i < 4; ++i) file.push_back(i < e.data.size() ? e.data[i] : 0);
        } else {
            put32(file, extra + static_cast<std::uint32_t>(values.size()));
            values.insert(values.end(), e.data.begin(), e.data.end());
            if (values.size() % 2) values.push_back(0);
        }
    }
    put32(file, 0);
    file.insert(file.end(), values.begin(), values.end());
    return start;
}

}  // namespace

std::vector<std::uint8_t> makeDng(const std::vector<std::uint8_t>& preview, int previewWidth, int previewHeight,
                                  int rawWidth, int rawHeight) {
    std::vector<std::uint8_t> file{'I', 'I', 42, 0, 0, 0, 0, 0};
    const auto previewAt = static_cast<std::uint32_t>(file.size());
    file.insert(file.end(), preview.begin(), preview.end());
    if (file.size() % 2) file.push_back(0);
    const auto rawAt = static_cast<std::uint32_t>(file.size());
    const auto rawBytes = static_cast<std::uint32_t>(rawWidth * rawHeight * 2);
    const std::vector<std::uint8_t> cfa = randomBytes(rawBytes, 7);
    file.insert(file.end(), cfa.begin(), cfa.end());

    const auto w = static_cast<std::uint32_t>(rawWidth), h = static_cast<std::uint32_t>(rawHeight);
    const std::uint32_t rawIfd = appendIfd(
        file, {longs(254, {0}), longs(256, {w}), longs(257, {h}), shorts(258, {16}), shorts(259, {1}),
               shorts(262, {32803}), longs(273, {rawAt}), shorts(277, {1}), longs(278, {h}), longs(279, {rawBytes}),
               shorts(33421, {2, 2}), TiffEntry{33422, 1, 4, {0, 1, 1, 2}}, longs(50717, {65535})});
    TiffEntry colorMatrix{50721, 10, 9, {}};
    for (int i = 0; i < 9; ++i) {
        put32(colorMatrix.data, i % 4 == 0 ? 10000 : 0);
        put32(colorMatrix.data, 10000);
    }
    const auto pw = static_cast<std::uint32_t>(previewWidth), ph = static_cast<std::uint32_t>(previewHeight);
    const std::uint32_t ifd0 = appendIfd(
        file, {longs(254, {1}), longs(256, {pw}), longs(257, {ph}), shorts(258, {8, 8, 8}), shorts(259, {7}),
               shorts(262, {6}), text(271, "Velliform"), text(272, "Test"), longs(273, {previewAt}),
               shorts(274, {1}), shorts(277, {3}), longs(278, {ph}),
               longs(279, {static_cast<std::uint32_t>(preview.size())}), longs(330, {rawIfd}),
               TiffEntry{50706, 1, 4, {1, 4, 0, 0}}, text(50708, "Velliform Test"), colorMatrix,
               shorts(50778, {21})});
    for (int i = 0; i < 4; ++i) file[4 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(ifd0 >> (8 * i));
    return file;
}

}  // namespace vf::test
