#include "helper/formats/FileSizeCalculator.h"

#include <algorithm>
#include <array>

#include "helper/formats/LengthRules.h"
#include "common/ByteReader.h"

namespace vf {

namespace {

using namespace lengthrules;

// No rule asks for more at once (the largest are the JPEG entropy chunks and
// the TIFF value lists); anything bigger comes from a corrupt field.
constexpr std::uint64_t kMaxChunk = 64ull << 20;

using SizeRule = std::uint64_t (*)(FileSizeCalculator&, Device&, std::uint64_t);
using StartCheck = bool (*)(FileSizeCalculator&, Device&, std::uint64_t);

struct RuleEntry {
    FileFormat format;
    SizeRule size;
    StartCheck plausible;
};

std::uint64_t movieLength(FileSizeCalculator& c, Device& d, std::uint64_t o) { return isoMediaLength(c, d, o, false); }
std::uint64_t stillLength(FileSizeCalculator& c, Device& d, std::uint64_t o) { return isoMediaLength(c, d, o, true); }

// One row per format, in catalogue order (checked below), so that a format
// finds its rule by its index.
constexpr std::array<RuleEntry, kFormatCount> kRules{{
    {FileFormat::jpeg, jpegLength, jpegPlausible},
    {FileFormat::png, pngLength, pngPlausible},
    {FileFormat::gif, gifLength, gifPlausible},
    {FileFormat::bmp, bmpLength, bmpPlausible},
    {FileFormat::webp, riffLength, riffPlausible},
    {FileFormat::heic, stillLength, isoMediaPlausible},
    {FileFormat::avif, stillLength, isoMediaPlausible},
    {FileFormat::tiff, tiffLength, tiffPlausible},
    {FileFormat::ppm, ppmLength, ppmPlausible},
    {FileFormat::raw, tiffLength, tiffPlausible},
    {FileFormat::mdc, tiffLength, tiffPlausible},
    {FileFormat::crw, crwLength, crwPlausible},
    {FileFormat::cr2, tiffLength, tiffPlausible},
    {FileFormat::cr3, movieLength, isoMediaPlausible},
    {FileFormat::nef, tiffLength, tiffPlausible},
    {FileFormat::nrw, tiffLength, tiffPlausible},
    {FileFormat::arw, tiffLength, tiffPlausible},
    {FileFormat::srf, tiffLength, tiffPlausible},
    {FileFormat::sr2, tiffLength, tiffPlausible},
    {FileFormat::mrw, mrwLength, mrwPlausible},
    {FileFormat::erf, tiffLength, tiffPlausible},
    {FileFormat::srw, tiffLength, tiffPlausible},
    {FileFormat::_3fr, tiffLength, tiffPlausible},
    {FileFormat::raf, rafLength, rafPlausible},
    {FileFormat::orf, tiffLength, tiffPlausible},
    {FileFormat::rw2, rw2Length, rw2Plausible},
    {FileFormat::pef, tiffLength, tiffPlausible},
    {FileFormat::dng, tiffLength, tiffPlausible},
    {FileFormat::rwl, tiffLength, tiffPlausible},
    {FileFormat::fff, tiffLength, tiffPlausible},
    {FileFormat::iiq, iiqLength, iiqPlausible},
    {FileFormat::x3f, x3fLength, x3fPlausible},
    {FileFormat::dcr, tiffLength, tiffPlausible},
    {FileFormat::kdc, tiffLength, tiffPlausible},
    {FileFormat::mp4, movieLength, isoMediaPlausible},
    {FileFormat::mov, movieLength, isoMediaPlausible},
    {FileFormat::avi, riffLength, riffPlausible},
    {FileFormat::mts, transportStreamLength, transportStreamPlausible},
    {FileFormat::m2ts, transportStreamLength, transportStreamPlausible},
    {FileFormat::mxf, mxfLength, mxfPlausible},
    {FileFormat::braw, brawLength, brawPlausible},
}};

constexpr bool rulesInCatalogueOrder() {
    for (std::size_t i = 0; i < kRules.size(); ++i)
        if (static_cast<std::size_t>(kRules[i].format) != i) return false;
    return true;
}
static_assert(rulesInCatalogueOrder(), "kRules must list the formats in catalogue order");

const RuleEntry& ruleFor(FileFormat format) { return kRules[static_cast<std::size_t>(format)]; }

}  // namespace

FileSizeCalculator::FileSizeCalculator(std::uint64_t blockSize) : blockSize(blockSize > 0 ? blockSize : 512) {}

std::uint64_t FileSizeCalculator::calculateSize(FileFormat format, Device& device, std::uint64_t offset) {
    if (static_cast<std::size_t>(format) >= kRules.size()) return 0;
    return ruleFor(format).size(*this, device, offset);
}

bool FileSizeCalculator::plausibleStart(FileFormat format, Device& device, std::uint64_t offset) {
    if (static_cast<std::size_t>(format) >= kRules.size()) return false;
    return ruleFor(format).plausible(*this, device, offset);
}

bool FileSizeCalculator::accountsFor(FileFormat format, Device& device, std::uint64_t fileStart, std::uint64_t at) {
    if (at <= fileStart) return false;
    switch (format) {
        case FileFormat::heic: case FileFormat::avif: case FileFormat::cr3: case FileFormat::mp4: case FileFormat::mov:
            return isoBoxStartsAt(*this, device, fileStart, at);
        case FileFormat::mts: case FileFormat::m2ts:
            return (at - fileStart) % 188 == 0;
        default:
            return false;
    }
}

namespace {

// How many bytes from `at` on read before the first block that does not: pieces
// of 64 KiB, then the failing piece block by block, so at most two failed reads.
std::size_t readableBytes(Device& device, std::uint64_t at, std::span<std::uint8_t> out, std::uint64_t blockSize) {
    std::uint64_t step = std::max<std::uint64_t>(blockSize, 65'536 / blockSize * blockSize);
    std::size_t done = 0;
    while (done < out.size()) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(step, out.size() - done));
        const ReadResult got = device.readAt(at + done, out.subspan(done, n));
        if (got.failed()) {
            if (step == blockSize) break;
            step = blockSize;
            continue;
        }
        done += got.bytes;
        if (got.bytes < n) break;  // the device's end
    }
    return done;
}

}  // namespace

std::optional<FileSizeCalculator::Chunk> FileSizeCalculator::readChunk(std::uint64_t offset, std::uint64_t length,
                                                                       Device& device, Unreadable unreadable) {
    if (length == 0 || length > kMaxChunk) return std::nullopt;
    Chunk chunk;
    if (hintValid && offset >= hintBase && offset - hintBase <= hintBuf.size() &&
        length <= hintBuf.size() - (offset - hintBase)) {
        chunk.bytes = hintBuf.subspan(static_cast<std::size_t>(offset - hintBase), static_cast<std::size_t>(length));
        return chunk;
    }
    const std::uint64_t aligned = alignDown(offset, blockSize);
    const std::uint64_t r = offset - aligned;
    const std::uint64_t want = r + length;  // r < blockSize, length <= kMaxChunk
    const std::uint64_t total = alignUp(want, blockSize);
    if (want < r || total < want || total > 2 * kMaxChunk) return std::nullopt;
    chunk.storage.assign(static_cast<std::size_t>(total), 0);
    ReadResult got = device.readAt(aligned, chunk.storage);
    // A failed read is a failure even when it delivered something (unless the
    // caller takes the blocks before the bad one); a short count without an
    // error is the end of the device and its bytes count.
    if (got.failed()) {
        if (unreadable == Unreadable::fail) return std::nullopt;
        got.bytes = readableBytes(device, aligned, chunk.storage, blockSize);
        chunk.cut = true;
    }
    if (got.bytes <= r) return std::nullopt;
    chunk.storage.resize(static_cast<std::size_t>(std::min<std::uint64_t>(got.bytes, want)));
    chunk.bytes = chunk.storage;
    chunk.start = static_cast<std::size_t>(r);
    return chunk;
}

}  // namespace vf
