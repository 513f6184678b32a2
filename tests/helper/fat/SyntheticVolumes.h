#pragma once
// Small FAT32 and exFAT volumes laid out byte by byte in memory, for what the
// real tools cannot make: loops, cycles, deep trees, hostile fields, reused
// directory slots. Everything else is tested on cards the real tools make.

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "helper/fat/FatNames.h"
#include "tests/support/MediaSynthetic.h"

namespace vf::test {

// What both kinds share: a FAT of 32-bit entries at `fat`, clusters from 2 on at `data`.
struct Volume : ByteWriter {
    Volume(std::uint64_t fatAt, std::uint64_t dataAt, std::uint64_t clusterSize, std::uint32_t endMarker,
           std::uint32_t clusters)
        : ByteWriter(true, dataAt + clusters * clusterSize), fat(fatAt), data(dataAt), clusterBytes(clusterSize),
          end(endMarker) {}
    std::uint64_t fat, data, clusterBytes;
    std::uint32_t end;  // the end-of-chain marker

    std::uint64_t dataStart() const { return data; }
    std::uint64_t bytesPerCluster() const { return clusterBytes; }
    std::uint64_t clusterPos(std::uint32_t c) const { return data + (c - 2ull) * clusterBytes; }
    void setFat(std::uint32_t c, std::uint32_t v) { u32(fat + 4ull * c, v); }
    void chain(const std::vector<std::uint32_t>& cs) {
        for (std::size_t i = 0; i < cs.size(); ++i) setFat(cs[i], i + 1 < cs.size() ? cs[i + 1] : end);
    }
};

// FAT32: 512-byte sectors, 32 reserved sectors, one FAT, root in cluster 2.
struct Fat32Volume : Volume {
    explicit Fat32Volume(std::uint32_t clusters = 64, std::uint8_t sectorsPerCluster = 1)
        : Volume(32 * 512, (33 + (clusters + 2) * 4 / 512) * 512ull, 512ull * sectorsPerCluster, 0x0FFFFFFF, clusters) {
        text(82, "FAT32   ");
        put({{0, 1, 0xEB}, {11, 2, 512}, {13, 1, sectorsPerCluster}, {14, 2, 32}, {16, 1, 1}, {32, 4, bytes.size() / 512},
             {36, 4, data / 512 - 32}, {44, 4, 2}, {510, 2, 0xAA55}});
        chain({2});
    }
    // A 32-byte entry at slot `index` of the directory starting in `dirCluster`.
    void entry(std::uint32_t dirCluster, std::size_t index, const std::string& name11, std::uint8_t attr,
               std::uint32_t first, std::uint32_t size) {
        const std::size_t at = clusterPos(dirCluster) + 32 * index;
        raw(at, std::vector<std::uint8_t>(32, 0));
        text(at, name11.substr(0, 11));
        put({{at + 11, 1, attr}, {at + 20, 2, first >> 16}, {at + 26, 2, first & 0xFFFF}, {at + 28, 4, size}});
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
            put({{e, 1, deleted ? 0xE5 : k | (k == n ? 0x40 : 0)}, {e + 11, 1, 0x0F}, {e + 13, 1, sum}});
            for (std::size_t i = 0; i < 13; ++i) u16(e + at[i], u[(k - 1) * 13 + i]);
        }
        entry(dir, slot, deleted ? "\xE5" + name11.substr(1) : name11, 0x20, first, size);
        return slot + 1;
    }
};

// exFAT: 512-byte sectors, clusters of 2^shift sectors, FAT at sector 24, heap
// at 64, root in cluster 2.
struct ExFatVolume : Volume {
    explicit ExFatVolume(std::uint32_t clusters = 128, unsigned shift = 0)
        : Volume(24 * 512, 64 * 512, 512ull << shift, 0xFFFFFFFF, clusters) {
        for (std::size_t at : {0, 12 * 512}) {  // the main boot sector and its backup
            text(at, {"\xEB\0\0EXFAT   ", 11});
            put({{at + 80, 4, 24}, {at + 84, 4, 8}, {at + 88, 4, 64}, {at + 92, 4, clusters}, {at + 96, 4, 2},
                 {at + 108, 1, 9}, {at + 109, 1, shift}, {at + 510, 2, 0xAA55}});
        }
        chain({2});
        u8(clusterPos(2), 0x81);  // every root holds the allocation bitmap entry
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
        const std::size_t nameEntries = (s.name.size() + 14) / 15, o = clusterPos(dirCluster) + at;
        const unsigned live = s.inUse ? 0x80 : 0x00;
        put({{o, 1, 0x05 | live}, {o + 1, 1, 1 + nameEntries}, {o + 4, 1, s.directory ? 0x10u : 0x20u}, {o + 32, 1, 0x40 | live},
             {o + 33, 1, s.noFatChain ? 0x03u : 0x01u}, {o + 35, 1, s.name.size()}, {o + 52, 4, s.first}, {o + 56, 8, s.length}});
        for (std::size_t i = 0; i < s.name.size(); ++i) {
            const std::size_t e = o + 64 + 32 * (i / 15);
            put({{e, 1, 0x41 | live}, {e + 2 + 2 * (i % 15), 2, static_cast<std::uint8_t>(s.name[i])}});
        }
        return at + 32 * (2 + nameEntries);
    }
};

}  // namespace vf::test
