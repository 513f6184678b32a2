// The detector and refineFormat over arbitrary bytes.
#include <cstdint>
#include <span>
#include <vector>

#include "helper/formats/FormatDetector.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    static vf::FormatDetector all;
    static vf::FormatDetector some = [] {
        vf::FormatDetector d;
        d.setEnabledFormats(vf::FormatSet::of({vf::FileFormat::nef, vf::FileFormat::mp4, vf::FileFormat::mts}));
        return d;
    }();
    const std::span<const std::uint8_t> bytes(data + 1, size - 1);
    vf::MemoryDevice device(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
    for (vf::FormatDetector* d : {&all, &some}) {
        std::size_t i = 0;
        while (i < bytes.size()) {
            const vf::Match m = d->findFirstMatch(bytes, bytes.size(), i);
            if (!m.format) break;
            const vf::Match at = d->matchAt(bytes, bytes.size(), m.index);
            if (at.format != m.format) __builtin_trap();  // the search and the single test must agree
            if (data[0] & 1) d->setHint(bytes, 0);
            else d->clearHint();
            (void)d->refineFormat(*m.format, device, m.index, 512);
            i = m.index + 1;
        }
        d->clearHint();
    }
    return 0;
}
