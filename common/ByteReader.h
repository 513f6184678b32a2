#pragma once
// Bounds-checked reads of little- and big-endian fields from a byte span.
// Every accessor returns nothing when the field does not lie wholly inside
// the span, so card data can never make a read leave its buffer.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace vf {

enum class Endian { little, big };

class ByteReader {
public:
    ByteReader() = default;
    explicit ByteReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    std::size_t size() const { return bytes_.size(); }
    std::span<const std::uint8_t> bytes() const { return bytes_; }

    // True when [pos, pos + len) lies inside the span; written so it cannot overflow.
    bool has(std::size_t pos, std::size_t len) const {
        return pos <= bytes_.size() && len <= bytes_.size() - pos;
    }

    std::optional<std::uint8_t> u8(std::size_t pos) const {
        if (!has(pos, 1)) return std::nullopt;
        return bytes_[pos];
    }
    std::optional<std::uint16_t> le16(std::size_t pos) const { return read<std::uint16_t>(pos, Endian::little); }
    std::optional<std::uint32_t> le32(std::size_t pos) const { return read<std::uint32_t>(pos, Endian::little); }
    std::optional<std::uint64_t> le64(std::size_t pos) const { return read<std::uint64_t>(pos, Endian::little); }
    std::optional<std::uint16_t> be16(std::size_t pos) const { return read<std::uint16_t>(pos, Endian::big); }
    std::optional<std::uint32_t> be32(std::size_t pos) const { return read<std::uint32_t>(pos, Endian::big); }
    std::optional<std::uint64_t> be64(std::size_t pos) const { return read<std::uint64_t>(pos, Endian::big); }
    std::optional<std::uint16_t> u16(std::size_t pos, Endian e) const { return read<std::uint16_t>(pos, e); }
    std::optional<std::uint32_t> u32(std::size_t pos, Endian e) const { return read<std::uint32_t>(pos, e); }

    // Big-endian unsigned value of 1 to 8 bytes (BER lengths and the like).
    std::optional<std::uint64_t> beN(std::size_t pos, std::size_t width) const {
        if (width == 0 || width > 8 || !has(pos, width)) return std::nullopt;
        std::uint64_t v = 0;
        for (std::size_t i = 0; i < width; ++i) v = (v << 8) | bytes_[pos + i];
        return v;
    }

    // True when the bytes at pos equal text exactly.
    bool matches(std::size_t pos, std::string_view text) const {
        if (!has(pos, text.size())) return false;
        for (std::size_t i = 0; i < text.size(); ++i)
            if (bytes_[pos + i] != static_cast<std::uint8_t>(text[i])) return false;
        return true;
    }

    std::span<const std::uint8_t> sub(std::size_t pos, std::size_t len) const {
        if (!has(pos, len)) return {};
        return bytes_.subspan(pos, len);
    }

private:
    template <typename T>
    std::optional<T> read(std::size_t pos, Endian e) const {
        if (!has(pos, sizeof(T))) return std::nullopt;
        T v = 0;
        if (e == Endian::little) {
            for (std::size_t i = sizeof(T); i-- > 0;) v = static_cast<T>((v << 8) | bytes_[pos + i]);
        } else {
            for (std::size_t i = 0; i < sizeof(T); ++i) v = static_cast<T>((v << 8) | bytes_[pos + i]);
        }
        return v;
    }

    std::span<const std::uint8_t> bytes_;
};

// Overflow-checked arithmetic for sums of card-supplied values.
inline std::optional<std::uint64_t> checkedAdd(std::uint64_t a, std::uint64_t b) {
    if (b > UINT64_MAX - a) return std::nullopt;
    return a + b;
}
inline std::optional<std::uint64_t> checkedMul(std::uint64_t a, std::uint64_t b) {
    if (a != 0 && b > UINT64_MAX / a) return std::nullopt;
    return a * b;
}
inline std::uint64_t alignDown(std::uint64_t v, std::uint64_t a) { return v - v % a; }
// Rounds up; saturates at the largest multiple of a that fits.
inline std::uint64_t alignUp(std::uint64_t v, std::uint64_t a) {
    const std::uint64_t r = v % a;
    if (r == 0) return v;
    if (v > UINT64_MAX - (a - r)) return alignDown(UINT64_MAX, a);
    return v + (a - r);
}

}  // namespace vf
