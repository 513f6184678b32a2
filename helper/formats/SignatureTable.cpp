#include <string_view>

#include "helper/formats/FormatDetector.h"

namespace vf {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes ascii(std::string_view s) { return Bytes(s.begin(), s.end()); }

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

FormatSignature plain(FileFormat f, Bytes magic, std::int64_t offset = 0) {
    return FormatSignature{f, offset, std::move(magic), std::nullopt};
}

FormatSignature masked(FileFormat f, Bytes magic, Bytes mask) {
    return FormatSignature{f, 0, std::move(magic), std::move(mask)};
}

// Three transport-stream sync bytes one 188-byte packet apart; everything between is free.
FormatSignature transportStream() {
    constexpr std::size_t kPacket = 188;
    Bytes magic(2 * kPacket + 1, 0x00);
    Bytes mask(2 * kPacket + 1, 0x00);
    for (std::size_t i = 0; i < magic.size(); i += kPacket) {
        magic[i] = 0x47;
        mask[i] = 0xFF;
    }
    return masked(FileFormat::mts, std::move(magic), std::move(mask));
}

std::vector<FormatSignature> buildTable() {
    using F = FileFormat;
    const Bytes riffMask{0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF};
    const Bytes riffSize{0x00, 0x00, 0x00, 0x00};
    // Order matters: at one position the first row that matches decides, so the
    // longer, more specific headers precede the short ones they share bytes with
    // (rw2 before fff, cr2 and the raw TIFF variants before plain TIFF).
    return {
        plain(F::crw, {0x49, 0x49, 0x1A, 0x00, 0x00, 0x00, 0x48, 0x45, 0x41, 0x50, 0x43, 0x43, 0x44, 0x52}),
        masked(F::cr2, {0x49, 0x49, 0x2A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x43, 0x52},
               {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF}),
        plain(F::orf, ascii("IIRO")),
        plain(F::orf, ascii("IIRS")),
        plain(F::orf, ascii("MMOR")),
        plain(F::mrw, {0x00, 0x4D, 0x52, 0x4D}),
        plain(F::cr3, concat({0x00, 0x00, 0x00, 0x18}, ascii("ftypcrx "))),
        plain(F::cr3, ascii("ftypcrx "), 4),
        plain(F::raf, ascii("FUJIFILMCCD-RAW")),
        plain(F::x3f, ascii("FOVb")),
        plain(F::rw2, {0x49, 0x49, 0x55, 0x00, 0x18, 0x00, 0x00, 0x00}),
        plain(F::fff, {0x49, 0x49, 0x55, 0x00}),
        plain(F::iiq, ascii("IIII")),
        plain(F::braw, ascii("BRAW")),
        plain(F::mxf, {0x06, 0x0E, 0x2B, 0x34, 0x02, 0x05, 0x01, 0x01, 0x0D, 0x01, 0x02, 0x01, 0x01, 0x02}),
        transportStream(),
        plain(F::png, {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A}),
        plain(F::gif, ascii("GIF87a")),
        plain(F::gif, ascii("GIF89a")),
        plain(F::bmp, ascii("BM")),
        masked(F::webp, concat(concat(ascii("RIFF"), riffSize), ascii("WEBP")), riffMask),
        masked(F::avi, concat(concat(ascii("RIFF"), riffSize), ascii("AVI ")), riffMask),
        plain(F::mp4, ascii("ftyp"), 4),
        plain(F::mov, ascii("mdat"), 4),
        plain(F::mov, ascii("moov"), 4),
        plain(F::jpeg, {0xFF, 0xD8, 0xFF}),
        plain(F::ppm, {0x50, 0x36, 0x0A}),
        plain(F::ppm, {0x50, 0x36, 0x0D, 0x0A}),
        plain(F::tiff, {0x49, 0x49, 0x2A, 0x00}),
        plain(F::tiff, {0x4D, 0x4D, 0x00, 0x2A}),
    };
}

}  // namespace

const std::vector<FormatSignature>& allSignatures() {
    static const std::vector<FormatSignature> table = buildTable();  // thread-safe first use
    return table;
}

}  // namespace vf
