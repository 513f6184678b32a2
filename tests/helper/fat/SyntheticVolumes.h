#pragma once
// Small FAT32 and exFAT volumes laid out byte by byte in memory, for what the
// real tools cannot make: loops, cycles, deep trees, hostile fields, reused
// directory slots. Everything else is tested on cards the real tools make.

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "helper/fat/FatNames.h"

namespace vf::test {

inline void putLE(std::vector<std::uint8_t>& b, std::size_t at, std::uint64_t v, int width) {
    for (int i = 0; i < width; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}

// FAT32: 512-byte sectors, 32 reserved sectors, one FAT, root in cluster 2.
struct Fat32Volume {
    std::uint32_t clusters, fatSectors;
    std::vector<std::uint8_t> bytes;

    explicit Fat32Volume(std::uint32_t clusterCount = 64, std::uint8_t sectorsPerCluster = 1)
        : clusters(clusterCount), fatSectors((clusterCount + 2) * 4 / 512 + 1) {
        const std::uint64_t total = 32 + fatSectors + std::uint64_t{clusters} * sectorsPerCluster;
        bytes.assign(total * 512, 0);
        bytes[0] = 0xEB;
        putLE(bytes, 11, 512, 2);
        bytes[13] = sectorsPerCluster;
        putLE(bytes, 14, 32, 2);
        bytes[16] = 1;
        putLE(bytes, 32, total, 4);
        putLE(bytes, 36, fatSectors, 4);
        putLE(bytes, 44, 2, 4);
        std::copy_n("FAT32   ", 8, bytes.begin() + 82);
        bytes[510] = 0x55;
        bytes[511] = 0xAA;
        chain({2});
    }
    std::uint64_t bytesPerCluster() const { return 512ull * bytes[13]; }
    std::uint64_t dataStart() const { return (32ull + fatSectors) * 512; }
    std::uint64_t clusterPos(std::uint32_t c) const { return dataStart() + (c - 2ull) * bytesPerCluster(); }
    void setFat(std::uint32_t c, std::uint32_t v) { putLE(bytes, 32 * 512 + 4ull * c, v, 4); }
    void chain(const std::vector<std::uint32_t>& cs) {
        for (std::size_t i = 0; i < cs.size(); ++i) setFat(cs[i], i + 1 < cs.size() ? cs[i + 1] : 0x0FFFFFFF);
    }
    // A 32-byte entry at slot `index` of the directory starting in `dirCluster`.
    void entry(std::uint32_t dirCluster, std::size_t index, const std::string& name11, std::uint8_t attr,
               std::uint32_t first, std::uint32_t size) {
        const std::size_t at = clusterPos(dirCluster) + 32 * index;
        std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), 32, 0);
        std::copy_n(name11.begin(), std::min<std::size_t>(11, name11.size()), bytes.begin() + static_cast<std::ptrdiff_t>(at));
        bytes[at + 11] = attr;
        putLE(bytes, at + 20, first >> 16, 2);
        putLE(bytes, at + 26, first & 0xFFFF, 2);
        putLE(bytes, at + 28, size, 4);
    }
    // A long-name set and its short entry from `slot` on; returns the next slot.
    std::size_t longNamed(std::uint32_t dir, std::size_t slot, std::u16string_view name, const std::string& name11,
                          std::uint32_t first, std::uint32_t size, bool deleted = false) {
        constexpr std::size_t at[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
        const std::uint8_t sum = shortNameChecksum(std::vector<std::uint8_t>(name11.begin(), name11.begin() + 11));
        std::vector<std::uint16_t> u(name.begin(), name.end());
        if (u.size() % 13) u.push_back(0);
        while (u.size() % 13) u.push_back(0xFFFF);
        const std::size_t n = u.size() / 13;
        for (std::size_t k = n; k >= 1; --k, ++slot) {
            const std::size_t e = clusterPos(dir) + 32 * slot;
            bytes[e] = deleted ? 0xE5 : static_cast<std::uint8_t>(k | (k == n ? 0x40 : 0));
            bytes[e + 11] = 0x0F;
            bytes[e + 13] = sum;
            for (std::size_t i = 0; i < 13; ++i) putLE(bytes, e + at[i], u[(k - 1) * 13 + i], 2);
        }
        entry(dir, slot, deleted ? "\xE5" + name11.substr(1) : name11, 0x20, first, size);
        return slot + 1;
    }
};

// exFAT: 512-byte sectors, clusters of 2^clusterShift sectors, root in cluster 2.
struct ExFatVolume {
    std::vector<std::uint8_t> bytes;
    unsigned clusterShift;

    explicit ExFatVolume(std::uint32_t clusters = 128, unsigned shift = 0)
        : bytes(64 * 512 + (std::uint64_t{clusters} << (9 + shift)), 0), clusterShift(shift) {
        for (std::size_t at : {0, 12 * 512}) {  // the main boot sector and its backup
            bytes[at] = 0xEB;
            std::copy_n("EXFAT   ", 8, bytes.begin() + static_cast<std::ptrdiff_t>(at) + 3);
            putLE(bytes, at + 80, 24, 4);  // FAT at sector 24
            putLE(bytes, at + 84, 8, 4);
            putLE(bytes, at + 88, 64, 4);  // heap at sector 64
            putLE(bytes, at + 92, clusters, 4);
            putLE(bytes, at + 96, 2, 4);
            bytes[at + 108] = 9;
            bytes[at + 109] = static_cast<std::uint8_t>(shift);
            bytes[at + 510] = 0x55;
            bytes[at + 511] = 0xAA;
        }
        chain({2});
        bytes[clusterPos(2)] = 0x81;  // every root holds the allocation bitmap entry
    }
    std::uint64_t bytesPerCluster() const { return 512ull << clusterShift; }
    std::uint64_t dataStart() const { return 64 * 512; }
    std::uint64_t clusterPos(std::uint32_t c) const { return dataStart() + (c - 2ull) * bytesPerCluster(); }
    void setFat(std::uint32_t c, std::uint32_t v) { putLE(bytes, 24 * 512 + 4ull * c, v, 4); }
    void chain(const std::vector<std::uint32_t>& cs) {
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
        putLE(bytes, o + 52, s.first, 4);
        putLE(bytes, o + 56, s.length, 8);
        for (std::size_t i = 0; i < s.name.size(); ++i) {
            const std::size_t e = o + 64 + 32 * (i / 15);
            bytes[e] = 0x41 | live;
            putLE(bytes, e + 2 + 2 * (i % 15), static_cast<std::uint8_t>(s.name[i]), 2);
        }
        return at + 32 * (2 + nameEntries);
    }
};

}  // namespace vf::test
