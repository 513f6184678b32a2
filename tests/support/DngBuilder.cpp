#include "tests/support/DngBuilder.h"

#include <algorithm>
#include <string_view>

#include "tests/support/MediaSynthetic.h"
#include "tests/support/TestSupport.h"

namespace vf::test {
namespace {

struct Tag {
    std::uint16_t tag, type;  // 1 BYTE, 2 ASCII, 3 SHORT, 4 LONG, 10 SRATIONAL
    std::vector<std::uint32_t> values;
};
Tag ascii(std::uint16_t tag, std::string_view s) {
    Tag t{tag, 2, {s.begin(), s.end()}};
    t.values.push_back(0);
    return t;
}

// Appends one directory at the end of `w`, its values longer than four bytes after it.
std::uint32_t appendIfd(ByteWriter& w, std::vector<Tag> tags) {
    std::sort(tags.begin(), tags.end(), [](auto& a, auto& b) { return a.tag < b.tag; });
    const std::size_t start = w.bytes.size();
    std::size_t extra = start + 2 + 12 * tags.size() + 4;
    w.put({{start, 2, tags.size()}, {extra - 4, 4, 0}});
    for (std::size_t i = 0; i < tags.size(); ++i) {
        const Tag& t = tags[i];
        const int width = t.type == 3 ? 2 : t.type <= 2 ? 1 : 4;
        const std::size_t e = start + 2 + 12 * i, size = t.values.size() * static_cast<std::size_t>(width);
        w.put({{e, 2, t.tag}, {e + 2, 2, t.type}, {e + 4, 4, t.type == 10 ? t.values.size() / 2 : t.values.size()}});
        std::size_t p = e + 8;
        if (size > 4) {
            w.u32(e + 8, static_cast<std::uint32_t>(extra));
            p = extra;
            extra += (size + 1) / 2 * 2;
        }
        for (std::uint32_t v : t.values) {
            w.put(p, width, v);
            p += static_cast<std::size_t>(width);
        }
    }
    w.resize(extra);
    return static_cast<std::uint32_t>(start);
}

}  // namespace

std::vector<std::uint8_t> makeDng(const std::vector<std::uint8_t>& preview, int previewWidth, int previewHeight,
                                  int rawWidth, int rawHeight) {
    ByteWriter file(true);
    writeTiffHeader(file, 42, 0);
    file.raw(8, preview);
    const std::uint32_t rawAt = static_cast<std::uint32_t>(8 + (preview.size() + 1) / 2 * 2);
    const auto w = static_cast<std::uint32_t>(rawWidth), h = static_cast<std::uint32_t>(rawHeight);
    file.raw(rawAt, randomBytes(w * h * 2, 7));
    const std::uint32_t rawIfd = appendIfd(
        file, {{254, 4, {0}}, {256, 4, {w}}, {257, 4, {h}}, {258, 3, {16}}, {259, 3, {1}}, {262, 3, {32803}},
               {273, 4, {rawAt}}, {277, 3, {1}}, {278, 4, {h}}, {279, 4, {w * h * 2}}, {33421, 3, {2, 2}},
               {33422, 1, {0, 1, 1, 2}}, {50717, 4, {65535}}});
    std::vector<std::uint32_t> colorMatrix;
    for (std::uint32_t i = 0; i < 9; ++i) colorMatrix.insert(colorMatrix.end(), {i % 4 == 0 ? 10000u : 0u, 10000u});
    const auto pw = static_cast<std::uint32_t>(previewWidth), ph = static_cast<std::uint32_t>(previewHeight);
    file.u32(4, appendIfd(file, {{254, 4, {1}}, {256, 4, {pw}}, {257, 4, {ph}}, {258, 3, {8, 8, 8}}, {259, 3, {7}},
                                 {262, 3, {6}}, ascii(271, "Velliform"), ascii(272, "Test"), {273, 4, {8}}, {274, 3, {1}},
                                 {277, 3, {3}}, {278, 4, {ph}}, {279, 4, {static_cast<std::uint32_t>(preview.size())}},
                                 {330, 4, {rawIfd}}, {50706, 1, {1, 4, 0, 0}}, ascii(50708, "Velliform Test"),
                                 {50721, 10, colorMatrix}, {50778, 3, {21}}}));
    return file.bytes;
}

}  // namespace vf::test
