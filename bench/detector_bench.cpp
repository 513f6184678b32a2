// Throughput of the signature search over 64 MiB buffers, single thread, every
// format enabled: random bytes, zeros, 0xFF (erased flash reads as either), and
// random data with a JPEG header every 3 MiB. Each buffer is searched the way the
// scan loop does it, restarting after every match. "naive" is the position-by-
// position loop over matchAt that the fast search must agree with.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "helper/formats/FormatDetector.h"

namespace {

constexpr std::size_t kSize = 64u << 20;

enum Kind { randomBytes, zeros, ones, mixed };

const std::vector<std::uint8_t>& buffer(Kind kind) {
    static std::vector<std::uint8_t> cache[4];
    std::vector<std::uint8_t>& b = cache[kind];
    if (!b.empty()) return b;
    b.assign(kSize, kind == ones ? 0xFF : 0x00);
    if (kind == randomBytes || kind == mixed) {
        std::mt19937_64 rng(kind);
        for (std::size_t i = 0; i + 8 <= kSize; i += 8) {
            const std::uint64_t v = rng();
            for (std::size_t k = 0; k < 8; ++k) b[i + k] = static_cast<std::uint8_t>(v >> (8 * k));
        }
    }
    if (kind == mixed) {
        const std::uint8_t header[] = {0xFF, 0xD8, 0xFF, 0xE1, 0x12, 0x34, 'E', 'x', 'i', 'f', 0x00, 0x00};
        for (std::size_t at = 4096; at + sizeof header <= kSize; at += 3u << 20)
            std::copy(std::begin(header), std::end(header), b.begin() + static_cast<std::ptrdiff_t>(at));
    }
    return b;
}

template <class Find>
void run(benchmark::State& state, Kind kind, Find find) {
    const std::vector<std::uint8_t>& b = buffer(kind);
    const std::span<const std::uint8_t> s(b);
    std::size_t matches = 0;
    for (auto _ : state) {
        std::size_t i = 0;
        while (i < s.size()) {
            const vf::Match m = find(s, i);
            if (!m.format) break;
            ++matches;
            i = m.index + 1;
        }
        benchmark::DoNotOptimize(i);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * s.size()));
    state.counters["matches"] =
        benchmark::Counter(static_cast<double>(matches) / static_cast<double>(state.iterations()));
}

void search(benchmark::State& state, Kind kind, vf::FormatDetector::Search how) {
    if (!vf::FormatDetector::searchAvailable(how)) {
        state.SkipWithError("not available on this processor");
        return;
    }
    vf::FormatDetector d;
    d.setSearch(how);
    run(state, kind, [&](std::span<const std::uint8_t> s, std::size_t i) { return d.findFirstMatch(s, s.size(), i); });
}

void naive(benchmark::State& state, Kind kind) {
    const vf::FormatDetector d;
    run(state, kind, [&](std::span<const std::uint8_t> s, std::size_t i) {
        for (; i < s.size(); ++i)
            if (const vf::Match m = d.matchAt(s, s.size(), i); m.format) return m;
        return vf::Match{};
    });
}

using S = vf::FormatDetector::Search;

#define VF_DETECTOR_BENCH(kind)                                                                    \
    BENCHMARK_CAPTURE(search, kind##_vector32, kind, S::vector32)->Unit(benchmark::kMillisecond); \
    BENCHMARK_CAPTURE(search, kind##_vector16, kind, S::vector16)->Unit(benchmark::kMillisecond); \
    BENCHMARK_CAPTURE(search, kind##_plain, kind, S::plain)->Unit(benchmark::kMillisecond);       \
    BENCHMARK_CAPTURE(naive, kind, kind)->Unit(benchmark::kMillisecond);

VF_DETECTOR_BENCH(randomBytes)
VF_DETECTOR_BENCH(zeros)
VF_DETECTOR_BENCH(ones)
VF_DETECTOR_BENCH(mixed)

}  // namespace

BENCHMARK_MAIN();
