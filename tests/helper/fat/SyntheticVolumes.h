#pragma once
// Small FAT32 and exFAT volumes laid out byte by byte in memory, for what the
// real tools cannot make: loops, cycles, deep trees, hostile fields.

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "helper/fat/FatNames.h"

namespace vf::test {

inline void put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
inline void put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void put64(std::vector<std::uint8_t>& b, std::size_t at, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// FAT32: 512-byte sectors, 32 reserved sectors, one FAT, root in cluster 2.
struct Fat32Volume {
    static constexpr std::uint32_t kReserved = 32;
    std::uint32_t sectorsPerCluster;
    std::uint32_t clusters;
    std::uint32_t fatSectors;
    std::uint64_t base;  // where the volume starts inside the image
    std::vector<std::uint8_t> bytes;

    explicit Fat32Volume(std::uint32_t clusterCount = 512, std::uint32_t spc = 1, std::uint64_t start = 0)
        : sectorsPerCluster(spc), clusters(clusterCount), fatSectors((clusterCount + 2) * 4 / 512 + 1), base(start) {
        const std::uint64_t total = kReserved + fatSectors + std::uint64_t{clusters} * spc;
        bytes.assign(base + total * 512, 0);
        auto& b = bytes;
        const std::size_t o = base;
        b[o] = 0xEB; b[o + 1] = 0x58; b[o + 2] = 0x90;
        put16(b, o + 11, 512);
        b[o + 13] = static_cast<std::uint8_t>(spc);
        put16(b, o + 14, kReserved);
        b[o + 16] = 1;
        put32(b, o + 32, static_cast<std::uint32_t>(total));
        put32(b, o + 36, fatSectors);
        put32(b, o + 44, 2);
        std::copy_n("FAT32   ", 8, b.begin() + static_cast<std::ptrdiff_t>(o + 82));
        b[o + 510] = 0x55; b[o + 511] = 0xAA;
        setFat(0, 0x0FFFFFF8); setFat(1, 0x0FFFFFFF); setFat(2, 0x0FFFFFFF);
    }
    std::uint64_t bytesPerCluster() const { return 512ull * sectorsPerCluster; }
    std::uint64_t fatStart() const { return base + kReserved * 512ull; }
    std::uint64_t dataStart() const { return fatStart() + fatSectors * 512ull; }
    std::uint64_t clusterPos(std::uint32_t c) const { return dataStart() + (c - 2ull) * bytesPerCluster(); }
    void setFat(std::uint32_t c, std::uint32_t v) { put32(bytes, fatStart() + 4ull * c, v); }
    void chain(std::vector<std::uint32_t> cs) {
        for (std::size_t i = 0; i < cs.size(); ++i) setFat(cs[i], i + 1 < cs.size() ? cs[i + 1] : 0x0FFFFFFF);
    }
    // A 32-byte entry at slot `index` of the directory starting in `dirCluster`.
    void entry(std::uint32_t dirCluster, std::size_t index, const std::string& name11, std::uint8_t attr,
               std::uint32_t first, std::uint32_t size) {
        const std::size_t at = clusterPos(dirCluster) + 32 * index;
        std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), 32, 0);
        std::copy_n(name11.begin(), std::min<std::size_t>(11, name11.size()), bytes.begin() + static_cast<std::ptrdiff_t>(at));
        bytes[at + 11] = attr;
        put16(bytes, at + 20, static_cast<std::uint16_t>(first >> 16));
        put16(bytes, at + 26, static_cast<std::uint16_t>(first));
        put32(bytes, at + 28, size);
    }
    // A VFAT long-name set and its short entry from `slot` on; returns the next slot.
    std::size_t longNamed(std::uint32_t dir, std::size_t slot, std::u16string_view name, const std::string& name11,
                          std::uint32_t first, std::uint32_t size, bool deleted = false) {
        constexpr std::size_t at[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
        const std::vector<std::uint8_t> raw(name11.begin(), name11.begin() + 11);
        const std::uint8_t sum = shortNameChecksum(raw);
        std::vector<std::uint16_t> u(name.begin(), name.end());
        if (u.size() % 13) u.push_back(0);
        while (u.size() % 13) u.push_back(0xFFFF);
        const std::size_t n = u.size() / 13;
        for (std::size_t k = n; k >= 1; --k, ++slot) {
            const std::size_t e = clusterPos(dir) + 32 * slot;
            bytes[e] = deleted ? 0xE5 : static_cast<std::uint8_t>(k | (k == n ? 0x40 : 0));
            bytes[e + 11] = 0x0F;
            bytes[e + 13] = sum;
            for (std::size_t i = 0; i < 13; ++i) put16(bytes, e + at[i], u[(k - 1) * 13 + i]);
        }
        std::string shortName = name11;
        if (deleted) shortName[0] = '\xE5';
        entry(dir, slot, shortName, 0x20, first, size);
        return slot + 1;
    }
    void fill(std::uint32_t c, const std::vector<std::uint8_t>& data) {
        std::copy(data.begin(), data.end(), bytes.begin() + static_cast<std::ptrdiff_t>(clusterPos(c)));
    }
};

// exFAT: 512-byte sectors, clusters of 2^clusterShift sectors, root in cluster 2.
struct ExFatVolume {
    static constexpr std::uint32_t kFatOffset = 24;
    static constexpr std::uint32_t kHeapOffset = 64;
    unsigned clusterShift;
    std::uint32_t clusters;
    std::uint64_t base;
    std::vector<std::uint8_t> bytes;

    explicit ExFatVolume(std::uint32_t clusterCount = 256, unsigned shift = 0, std::uint64_t start = 0)
        : clusterShift(shift), clusters(clusterCount), base(start) {
        bytes.assign(base + kHeapOffset * 512ull + std::uint64_t{clusters} * bytesPerCluster(), 0);
        writeBootSector(base);
        writeBootSector(base + 12 * 512);  // the backup region's copy
        setFat(2, 0xFFFFFFFF);
        // The root holds the allocation bitmap entry, as every exFAT root does.
        bytes[clusterPos(2)] = 0x81;
    }
    void writeBootSector(std::uint64_t at) {
        auto& b = bytes;
        b[at] = 0xEB; b[at + 1] = 0x76; b[at + 2] = 0x90;
        std::copy_n("EXFAT   ", 8, b.begin() + static_cast<std::ptrdiff_t>(at + 3));
        put32(b, at + 80, kFatOffset);
        put32(b, at + 84, 8);
        put32(b, at + 88, kHeapOffset);
        put32(b, at + 92, clusters);
        put32(b, at + 96, 2);
        b[at + 108] = 9;
        b[at + 109] = static_cast<std::uint8_t>(clusterShift);
        b[at + 510] = 0x55; b[at + 511] = 0xAA;
    }
    std::uint64_t bytesPerCluster() const { return 512ull << clusterShift; }
    std::uint64_t fatStart() const { return base + kFatOffset * 512ull; }
    std::uint64_t dataStart() const { return base + kHeapOffset * 512ull; }
    std::uint64_t clusterPos(std::uint32_t c) const { return dataStart() + (c - 2ull) * bytesPerCluster(); }
    void setFat(std::uint32_t c, std::uint32_t v) { put32(bytes, fatStart() + 4ull * c, v); }
    void chain(std::vector<std::uint32_t> cs) {
        for (std::size_t i = 0; i < cs.size(); ++i) setFat(cs[i], i + 1 < cs.size() ? cs[i + 1] : 0xFFFFFFFF);
    }
    struct Set {
        std::string name;  // ASCII
        bool directory = false;
        std::uint32_t first = 0;
        std::uint64_t length = 0;
        bool noFatChain = false;
        bool inUse = true;
    };
    // Writes the entry set at byte `at` of the directory in `dirCluster`; returns the byte after it.
    std::size_t set(std::uint32_t dirCluster, std::size_t at, const Set& s) {
        const std::size_t nameEntries = (s.name.size() + 14) / 15;
        const std::size_t o = clusterPos(dirCluster) + at;
        const std::uint8_t live = s.inUse ? 0x80 : 0x00;
        bytes[o] = 0x05 | live;
        bytes[o + 1] = static_cast<std::uint8_t>(1 + nameEntries);
        bytes[o + 4] = s.directory ? 0x10 : 0x20;
        bytes[o + 32] = 0x40 | live;
        bytes[o + 33] = static_cast<std::uint8_t>(0x01 | (s.noFatChain ? 0x02 : 0));
        bytes[o + 35] = static_cast<std::uint8_t>(s.name.size());
        put32(bytes, o + 32 + 20, s.first);
        put64(bytes, o + 32 + 24, s.length);
        for (std::size_t i = 0; i < s.name.size(); ++i) {
            const std::size_t e = o + 64 + 32 * (i / 15);
            bytes[e] = 0x41 | live;
            put16(bytes, e + 2 + 2 * (i % 15), static_cast<std::uint8_t>(s.name[i]));
        }
        return at + 32 * (2 + nameEntries);
    }
    void fill(std::uint32_t c, const std::vector<std::uint8_t>& data) {
        std::copy(data.begin(), data.end(), bytes.begin() + static_cast<std::ptrdiff_t>(clusterPos(c)));
    }
};

}  // namespace vf::test
