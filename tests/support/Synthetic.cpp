#include "tests/support/Synthetic.h"

#include "tests/support/TestSupport.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <random>

namespace vf::test {

std::vector<std::uint8_t> makeJpeg(std::size_t size, std::uint32_t seed, const std::string& date,
                                   const std::string& make, const std::string& model) {
    std::vector<std::uint8_t> j = {0xFF, 0xD8};
    if (!date.empty() || !make.empty()) {
        // TIFF: II*, IFD0 with make (271) and model (272) as ASCII, then the date text.
        const std::string text = make + '\0' + model + '\0' + date + '\0';
        const std::size_t len = 2 + 6 + 38 + text.size();
        j.insert(j.end(), {0xFF, 0xE1, static_cast<std::uint8_t>(len >> 8), static_cast<std::uint8_t>(len), 'E', 'x',
                           'i', 'f', 0, 0, 'I', 'I', 42, 0, 8, 0, 0, 0, 2, 0});
        const auto mk = static_cast<std::uint32_t>(make.size() + 1), md = static_cast<std::uint32_t>(model.size() + 1);
        for (const auto [tag, n, at] : {std::array{271u, mk, 38u}, std::array{272u, md, 38u + mk}})
            for (const std::uint32_t v : {tag | 2u << 16, n, at})  // tag and type (ASCII), count, offset
                for (int i = 0; i < 4; ++i) j.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        j.insert(j.end(), 4, 0);  // no next directory
        j.insert(j.end(), text.begin(), text.end());
    }
    // Start of scan with a minimal header.
    j.insert(j.end(), {0xFF, 0xDA, 0x00, 0x08, 0x01, 0x01, 0x00, 0x00, 0x3F, 0x00});
    std::mt19937 rng(seed);
    // Entropy bytes without a marker among them (FF becomes FE), then EOI.
    while (j.size() + 2 < size)
        j.push_back(std::min<std::uint8_t>(static_cast<std::uint8_t>(rng()), 0xFE));
    j.insert(j.end(), {0xFF, 0xD9});
    return j;
}

std::vector<std::vector<std::uint8_t>> writeCarvingCard(const std::string& image, std::size_t mib, int photos,
                                                        std::size_t size, std::uint32_t seed, bool noise) {
    std::vector<std::uint8_t> card = noise ? randomBytes(mib << 20, seed) : std::vector<std::uint8_t>(mib << 20);
    std::vector<std::vector<std::uint8_t>> placed;
    for (int k = 0; k < photos; ++k) {
        placed.push_back(makeJpeg(size + 10'000 * static_cast<std::size_t>(k % 5), seed + 1 + static_cast<std::uint32_t>(k)));
        place(card, ((mib << 20) / static_cast<std::size_t>(photos) * static_cast<std::size_t>(k) + 8192) / 4096 * 4096,
              placed.back());
    }
    writeFile(image, card);
    return placed;
}

void place(std::vector<std::uint8_t>& image, std::uint64_t offset, const std::vector<std::uint8_t>& file) {
    if (image.size() < offset + file.size()) image.resize(offset + file.size());
    std::copy(file.begin(), file.end(), image.begin() + static_cast<long>(offset));
}

ReadResult FaultyDevice::readAt(std::uint64_t offset, std::span<std::uint8_t> out) {
    {
        const std::lock_guard lock(readsMutex_);
        reads.emplace_back(offset, out.size());
    }
    ReadResult r;
    if (offset >= data_.size()) return r;
    // Up to the first failing byte, with the error of the range that starts there.
    std::uint64_t stop = std::min<std::uint64_t>(offset + out.size(), data_.size());
    for (const Bad& b : bad_)
        if (b.to > offset && std::max(b.from, offset) < stop) {
            stop = std::max(b.from, offset);
            r.error = b.error;
        }
    r.bytes = static_cast<std::size_t>(stop - offset);
    std::memcpy(out.data(), data_.data() + offset, r.bytes);
    return r;
}

std::optional<DeviceView> FaultyDevice::view(std::uint64_t offset, std::size_t length) {
    if (!lendViews || offset >= data_.size()) return std::nullopt;
    const std::uint64_t end = std::min<std::uint64_t>(offset + length, data_.size());
    for (const Bad& b : bad_)
        if (b.from < end && b.to > offset) return std::nullopt;
    return DeviceView(std::span<const std::uint8_t>(data_.data() + offset, static_cast<std::size_t>(end - offset)));
}

}  // namespace vf::test
