#include "helper/formats/FormatDetector.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <utility>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VF_X86 1
#endif

namespace vf {

// A table row ready for comparison: the bytes that matter are listed once, so the
// 377-byte transport-stream row costs three comparisons, not 377.
struct FormatDetector::Candidate {
    struct Check {
        std::size_t index;
        std::uint8_t value;
        std::uint8_t mask;
    };
    const FormatSignature* sig = nullptr;
    std::int64_t offset = 0;
    std::size_t size = 0;
    bool exact = true;            // every byte must be equal: a plain comparison
    std::size_t lead = 0;         // an exact row's byte compared first, to reject cheaply
    std::vector<Check> checks;    // otherwise, the bytes whose mask is not 0
    bool usable = false;          // a signature with no magic never matches
    bool keyedByFirstByte = false;

    bool matches(const std::uint8_t* data, std::size_t limit, std::size_t p) const {
        std::size_t from = 0;
        if (offset < 0) {
            const auto back = static_cast<std::uint64_t>(-(offset + 1)) + 1;
            if (p < back) return false;
            from = p - static_cast<std::size_t>(back);
        } else {
            const auto ahead = static_cast<std::uint64_t>(offset);
            if (ahead > limit || p > limit - ahead) return false;
            from = p + static_cast<std::size_t>(ahead);
        }
        if (from > limit || size > limit - from) return false;  // no partial match at the end
        const std::uint8_t* at = data + from;
        if (exact) return at[lead] == sig->magic[lead] && std::memcmp(at, sig->magic.data(), size) == 0;
        for (const Check& c : checks)
            if (((c.value ^ at[c.index]) & c.mask) != 0) return false;
        return true;
    }
};

namespace {

// Prefilter: for every row of the signature table, a group here names two bytes at
// fixed distances from the candidate position that the row demands (for rows keyed
// by their first byte, that byte counts as demanded). A position that passes no
// group cannot start a signature, so the vector search tests only positions that
// pass one. No group is satisfied by zero or 0xFF bytes alone, so erased and
// zero-filled card areas pass none. setEnabledFormats checks that the groups cover
// every active row and searches position by position if they do not.
struct Probe {
    std::uint16_t offset;
    std::uint8_t value;
};
// The lead byte and at least one of the others must hold.
struct ProbeGroup {
    Probe lead;
    std::array<Probe, 2> others;
    std::size_t otherCount;
};

constexpr ProbeGroup kPrefilter[] = {
    {{0, 0x49}, {{{1, 0x49}}}, 1},                // "II": crw, cr2, orf, rw2, fff, iiq, little-endian tiff
    {{0, 0x4D}, {{{1, 0x4D}}}, 1},                // "MM": orf, big-endian tiff
    {{0, 0x00}, {{{1, 0x4D}}}, 1},                // mrw
    {{4, 0x66}, {{{5, 0x74}}}, 1},                // "ft" at +4: cr3 (both rows), mp4
    {{4, 0x6D}, {{{5, 0x64}, {5, 0x6F}}}, 2},     // "md", "mo" at +4: mov
    {{0, 0x46}, {{{1, 0x55}, {1, 0x4F}}}, 2},     // raf, x3f
    {{0, 0x42}, {{{1, 0x52}, {1, 0x4D}}}, 2},     // braw, bmp
    {{0, 0x06}, {{{1, 0x0E}}}, 1},                // mxf
    {{0, 0x47}, {{{188, 0x47}, {1, 0x49}}}, 2},   // mts (two of its sync bytes), gif
    {{0, 0x89}, {{{1, 0x50}}}, 1},                // png
    {{0, 0x52}, {{{1, 0x49}}}, 1},                // webp, avi
    {{0, 0xFF}, {{{1, 0xD8}}}, 1},                // jpeg
    {{0, 0x50}, {{{1, 0x36}}}, 1},                // ppm
};
constexpr std::size_t kPrefilterCount = std::size(kPrefilter);

constexpr std::size_t prefilterReach() {
    std::size_t r = 0;
    for (const ProbeGroup& g : kPrefilter) {
        r = std::max<std::size_t>(r, g.lead.offset);
        for (std::size_t i = 0; i < g.otherCount; ++i) r = std::max<std::size_t>(r, g.others[i].offset);
    }
    return r + 1;
}
// Bytes past a block's first position that its probes read.
constexpr std::size_t kPrefilterReach = prefilterReach();

using U8x16 = std::uint8_t __attribute__((vector_size(16)));
using U8x32 = std::uint8_t __attribute__((vector_size(32)));

// Lanes of `acc` become non-zero where group I holds. Vectors stay in the caller
// (passed by reference) so the 32-byte variant compiles only inside AVX2 code.
template <class V>
[[gnu::always_inline]] inline void equal(V& out, const std::uint8_t* p, Probe probe) {
    V a;
    std::memcpy(&a, p + probe.offset, sizeof a);
    out = reinterpret_cast<V>(a == probe.value);
}

template <class V, std::size_t I>
[[gnu::always_inline]] inline void addGroup(V& acc, const std::uint8_t* p) {
    constexpr ProbeGroup g = kPrefilter[I];
    V lead, other, more;
    equal(lead, p, g.lead);
    equal(other, p, g.others[0]);
    if constexpr (g.otherCount > 1) {
        equal(more, p, g.others[1]);
        other |= more;
    }
    acc |= lead & other;
}

template <class V, std::size_t... I>
[[gnu::always_inline]] inline void addGroups(V& acc, const std::uint8_t* p, std::index_sequence<I...>) {
    (addGroup<V, I>(acc, p), ...);
}

template <class V>
std::uint32_t laneBits(const V& acc) {
    std::uint8_t lanes[sizeof(V)];
    std::memcpy(lanes, &acc, sizeof lanes);
    std::uint32_t bits = 0;
    for (std::size_t i = 0; i < sizeof(V); ++i)
        if (lanes[i] != 0) bits |= std::uint32_t{1} << i;
    return bits;
}

struct BlockHit {
    std::size_t position;  // first position of the block
    std::uint32_t lanes;   // positions of the block that pass the prefilter; 0: none up to `last`
};

// Blocks start at p, p + 16, ... while they start at or before `last`.
BlockHit scanBlocks16(const std::uint8_t* data, std::size_t p, std::size_t last) {
    for (; p <= last; p += 16) {
        U8x16 acc = {};
        addGroups(acc, data + p, std::make_index_sequence<kPrefilterCount>{});
#ifdef VF_X86
        __m128i m;
        std::memcpy(&m, &acc, sizeof m);
        if (const int bits = _mm_movemask_epi8(m)) return {p, static_cast<std::uint32_t>(bits)};
#else
        std::uint64_t words[2];
        std::memcpy(words, &acc, sizeof words);
        if ((words[0] | words[1]) != 0) return {p, laneBits(acc)};
#endif
    }
    return {p, 0};
}

#ifdef VF_X86
__attribute__((target("avx2"))) BlockHit scanBlocks32(const std::uint8_t* data, std::size_t p, std::size_t last) {
    for (; p <= last; p += 32) {
        U8x32 acc = {};
        addGroups(acc, data + p, std::make_index_sequence<kPrefilterCount>{});
        __m256i m;
        std::memcpy(&m, &acc, sizeof m);
        if (const int bits = _mm256_movemask_epi8(m)) return {p, static_cast<std::uint32_t>(bits)};
    }
    return {p, 0};
}
#endif

const FormatSet& tiffFamilyFormats() {
    using F = FileFormat;
    static const FormatSet set = FormatSet::of({F::tiff, F::cr2, F::nef, F::nrw, F::arw, F::srf, F::sr2, F::pef,
                                                F::dng, F::rwl, F::orf, F::dcr, F::kdc, F::erf, F::srw, F::_3fr});
    return set;
}

}  // namespace

const std::vector<FormatDetector::Candidate>& FormatDetector::candidates() {
    static const std::vector<Candidate> prepared = [] {
        std::vector<Candidate> out;
        for (const FormatSignature& s : allSignatures()) {
            Candidate c;
            c.sig = &s;
            c.offset = s.offset;
            c.size = s.magic.size();
            c.usable = !s.magic.empty();
            // An empty mask counts as no mask; bytes a short mask does not cover must be equal.
            const bool hasMask = s.mask && !s.mask->empty();
            c.keyedByFirstByte = c.usable && s.offset == 0 && (!hasMask || (*s.mask)[0] != 0);
            if (hasMask) {
                for (std::size_t i = 0; i < c.size; ++i) {
                    const std::uint8_t m = i < s.mask->size() ? (*s.mask)[i] : std::uint8_t{0xFF};
                    if (m != 0xFF) c.exact = false;
                    if (m != 0) c.checks.push_back({i, s.magic[i], m});
                }
            }
            // The first byte of a keyed row is known to match already.
            c.lead = c.keyedByFirstByte && c.size > 1 ? 1 : 0;
            out.push_back(std::move(c));
        }
        return out;
    }();
    return prepared;
}

namespace {

// Whether every position at which `c` matches passes `probe`.
template <class C>
bool implies(const C& c, const Probe& probe) {
    if (probe.offset == 0 && c.keyedByFirstByte && c.sig->magic[0] == probe.value) return true;
    const std::int64_t i = std::int64_t{probe.offset} - c.offset;
    if (i < 0 || static_cast<std::uint64_t>(i) >= c.size) return false;
    const auto index = static_cast<std::size_t>(i);
    if (c.sig->magic[index] != probe.value) return false;
    if (c.exact) return true;
    return std::any_of(c.checks.begin(), c.checks.end(),
                       [&](const auto& k) { return k.index == index && k.mask == 0xFF; });
}

}  // namespace

FormatDetector::FormatDetector() {
    setSearch(searchAvailable(Search::vector32) ? Search::vector32 : Search::vector16);
    setEnabledFormats(FormatSet::all());
}

void FormatDetector::setEnabledFormats(const FormatSet& enabled) {
    for (auto& list : byFirstByte_) list.clear();
    anyFirstByte_.clear();
    anyActive_ = false;
    prefilterCovers_ = true;
    reach_ = 0;
    // A TIFF header is searched for whenever a raw format built on TIFF is wanted,
    // since those files start with one and are told apart only by refinement.
    const bool tiffFamily = enabled.intersects(tiffFamilyFormats());
    for (const Candidate& c : candidates()) {
        const FileFormat f = c.sig->format;
        if (!c.usable || !(enabled.contains(f) || (f == FileFormat::tiff && tiffFamily))) continue;
        if (c.keyedByFirstByte) byFirstByte_[c.sig->magic[0]].push_back(&c);
        else anyFirstByte_.push_back(&c);
        anyActive_ = true;
        if (c.offset < 0) reach_.reset();
        else if (reach_) reach_ = std::max(*reach_, static_cast<std::size_t>(c.offset) + c.size);
        const bool covered = std::any_of(std::begin(kPrefilter), std::end(kPrefilter), [&](const ProbeGroup& g) {
            return implies(c, g.lead) &&
                   std::any_of(g.others.begin(), g.others.begin() + static_cast<std::ptrdiff_t>(g.otherCount),
                               [&](const Probe& o) { return implies(c, o); });
        });
        if (!covered) prefilterCovers_ = false;
    }
}

bool FormatDetector::searchAvailable(Search s) {
    switch (s) {
        case Search::plain:
        case Search::vector16: return true;
        case Search::vector32:
#ifdef VF_X86
            return __builtin_cpu_supports("avx2");
#else
            return false;
#endif
    }
    return false;
}

void FormatDetector::setSearch(Search s) {
    search_ = searchAvailable(s) ? s : Search::vector16;
}

FormatDetector::Search FormatDetector::search() const {
    return prefilterCovers_ ? search_ : Search::plain;
}

std::optional<FileFormat> FormatDetector::formatAt(const std::uint8_t* data, std::size_t limit,
                                                   std::size_t p) const {
    for (const Candidate* c : byFirstByte_[data[p]])
        if (c->matches(data, limit, p)) return c->sig->format;
    for (const Candidate* c : anyFirstByte_)
        if (c->matches(data, limit, p)) return c->sig->format;
    return std::nullopt;
}

Match FormatDetector::matchAt(std::span<const std::uint8_t> buf, std::size_t end, std::size_t position) const {
    const std::size_t limit = std::min(end, buf.size());
    if (position >= limit) return {};
    if (auto f = formatAt(buf.data(), limit, position)) return {f, position};
    return {};
}

Match FormatDetector::findFirstAligned(std::span<const std::uint8_t> buf, std::size_t end, std::size_t start,
                                       std::size_t stop, std::uint64_t base, std::size_t alignment) const {
    if (alignment <= 1) return findFirstMatch(buf, end, start, stop);
    const std::size_t limit = std::min(end, buf.size());
    stop = std::min(stop, limit);
    if (start >= stop || !anyActive_) return {};
    const std::size_t phase = static_cast<std::size_t>((base % alignment + start % alignment) % alignment);
    // Past stop already when the first aligned position lies beyond it; no sum below can wrap.
    if (phase != 0 && alignment - phase >= stop - start) return {};
    for (std::size_t p = start + (phase == 0 ? 0 : alignment - phase); p < stop;) {
        if (auto f = formatAt(buf.data(), limit, p)) return {f, p};
        if (alignment >= stop - p) break;
        p += alignment;
    }
    return {};
}

Match FormatDetector::findFirstMatch(std::span<const std::uint8_t> buf, std::size_t end, std::size_t start) const {
    return findFirstMatch(buf, end, start, end);
}

Match FormatDetector::findFirstMatch(std::span<const std::uint8_t> buf, std::size_t end, std::size_t start,
                                     std::size_t stop) const {
    const std::size_t limit = std::min(end, buf.size());
    stop = std::min(stop, limit);
    if (start >= stop || !anyActive_) return {};
    const std::uint8_t* data = buf.data();
    std::size_t p = start;

    const Search kind = search();
    const std::size_t width = kind == Search::vector32 ? 32 : 16;
    if (kind != Search::plain && limit - p >= kPrefilterReach + width) {
        // Blocks whose probes all stay inside the range; the rest goes position by position.
        const std::size_t last = std::min(limit - kPrefilterReach - width + 1, stop - 1);
        while (p <= last) {
            BlockHit hit;
#ifdef VF_X86
            hit = kind == Search::vector32 ? scanBlocks32(data, p, last) : scanBlocks16(data, p, last);
#else
            hit = scanBlocks16(data, p, last);
#endif
            p = hit.position;
            if (hit.lanes == 0) break;
            for (std::uint32_t lanes = hit.lanes; lanes != 0; lanes &= lanes - 1) {
                const std::size_t q = p + static_cast<std::size_t>(std::countr_zero(lanes));
                if (q >= stop) return {};
                if (auto f = formatAt(data, limit, q)) return {f, q};
            }
            p += width;
        }
    }
    for (; p < stop; ++p)
        if (auto f = formatAt(data, limit, p)) return {f, p};
    return {};
}

}  // namespace vf
