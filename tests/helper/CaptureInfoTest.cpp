#include "helper/CaptureInfo.h"
#include "tests/support/MediaSynthetic.h"
#include "tests/support/Synthetic.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace vf {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(CaptureDate, FirstPlausibleDateInsideTheWindow) {
    const std::string three = "xx1985:01:01 00:00:00yy2019:07:04 18:00:00zz2020:01:01 00:00:00";
    const std::string edge = "2100:12:31 23:59:592101:01:01 00:00:00", broken = "2019:07:04-18:00:00 2019:0a:04 18:00:00";
    const std::string decoys = "::::2019:2019:07:04 18:00:00";  // near misses overlapping the date must not hide it
    const std::tuple<std::string, std::size_t, std::size_t, std::string> rows[] = {
        {three, 0, three.size(), "2019:07:04 18:00:00"},  // 1985 is too early
        {three, 0, 40, ""},                              // the window ends inside the date
        {three, 30, three.size(), "2020:01:01 00:00:00"},
        {edge, 0, edge.size(), "2100:12:31 23:59:59"},   {edge, 1, edge.size(), ""},
        {broken, 0, broken.size(), ""},                   {broken, 100, 5, ""},
        {decoys, 0, decoys.size() - 1, ""},               {decoys, 0, decoys.size(), "2019:07:04 18:00:00"},
        {decoys, 9, decoys.size(), "2019:07:04 18:00:00"}, {decoys, 10, decoys.size(), ""},
    };
    for (const auto& [text, from, to, date] : rows)
        EXPECT_EQ(findCaptureDate(Bytes(text.begin(), text.end()), from, to).value_or(""), date)
            << text << " [" << from << ", " << to << ")";
}

// A TIFF header whose first directory, at `ifd`, claims `count` entries and
// holds make and model; texts of more than four bytes lie behind the header.
Bytes tiff(const std::string& make, const std::string& model, bool little, std::uint32_t ifd = 64,
           std::uint16_t count = 2) {
    const std::string texts[] = {make + '\0', model + '\0'};
    const auto size = [&](std::uint32_t k) { return static_cast<std::uint32_t>(texts[k].size()); };
    test::ByteWriter w(little);
    test::writeTiffHeader(w, 42, ifd);
    test::writeIfd(w, ifd, {{271, 2, size(0), 8}, {272, 2, size(1), 8 + size(0)}}, 0);
    w.u16(ifd, count);
    for (std::uint32_t k = 0; k < 2; ++k) w.text(size(k) > 4 ? 8 + k * size(0) : ifd + 10 + 12 * k, texts[k]);
    return w.bytes;
}

TEST(CameraModel, MakeAndModelFromTheFirstDirectoryWithinBounds) {
    // A JPEG 100 bytes into a buffer that starts at 5000: APP0, then the EXIF segment.
    Bytes inCard(100, 0xAB);
    const Bytes exif = tiff("Canon", "Canon EOS R6", true);
    const auto len = static_cast<std::uint16_t>(8 + exif.size());
    inCard.insert(inCard.end(), {0xFF, 0xD8, 0xFF, 0xE0, 0, 4, 0, 0, 0xFF, 0xE1, std::uint8_t(len >> 8), std::uint8_t(len),
                                 'E', 'x', 'i', 'f', 0, 0});
    inCard.insert(inCard.end(), exif.begin(), exif.end());
    // Directories at the end of the 64 KiB window, which the buffer outlasts: the
    // last entry ends right at it, or a third (a second make) runs across it.
    Bytes atWindowEnd = tiff("Pentax", "K-3", true, 65536 - 26), acrossIt = tiff("Pentax", "K-3", true, 65536 - 34, 3);
    test::place(acrossIt, 65536 - 8, {0x0F, 0x01, 2, 0, 4, 0, 0, 0});
    atWindowEnd.resize(70'000), acrossIt.resize(70'000);
    const std::tuple<const char*, Bytes, std::uint64_t, std::uint64_t, FileFormat, std::string, std::string> rows[] = {
        {"little-endian", tiff("NIKON CORPORATION", "NIKON D850", true), 0, 0, FileFormat::nef, "NIKON-CORPORATION", "NIKON-D850"},
        {"big-endian", tiff("Sony", "A/7 (III)\t", false), 0, 0, FileFormat::arw, "Sony", "A7-III"},
        {"JPEG", inCard, 5000, 5100, FileFormat::jpeg, "Canon", "Canon-EOS-R6"},
        {"before the buffer", inCard, 5000, 4999, FileFormat::jpeg, "", ""},
        {"past the buffer", inCard, 5000, 5000 + inCard.size(), FileFormat::jpeg, "", ""},
        {"at the window's end, a text inside its entry", atWindowEnd, 0, 0, FileFormat::pef, "Pentax", "K-3"},
        {"an entry across the window's end", acrossIt, 0, 0, FileFormat::pef, "Pentax", "K-3"},
        {"more than 500 entries: no directory", tiff("Canon", "EOS", true, 64, 501), 0, 0, FileFormat::cr2, "", ""},
        {"trimmed, no path", tiff("  OLYMPUS IMAGING CORP.  \n", "../../etc", true), 0, 0, FileFormat::orf, "OLYMPUS-IMAGING-CORP", "etc"},
        {"Latin-1, at most 32", tiff("Caf\xe9", std::string(40, 'x'), true), 0, 0, FileFormat::orf, "Caf\xc3\xa9", std::string(32, 'x')},
        {"up to a NUL", tiff(std::string("Canon\0junk", 10), "EOS", true), 0, 0, FileFormat::cr2, "Canon", "EOS"},
    };
    for (const auto& [name, bytes, start, off, format, make, model] : rows) {
        const CameraModel cam = readCameraModel(bytes, start, off, format);
        EXPECT_EQ(cam.make + "/" + cam.model, make + "/" + model) << name;
    }
    // Cut anywhere, even inside the model's text: only what lies inside is read.
    for (std::size_t cut = 0; cut < inCard.size(); cut += 7)
        (void)readCameraModel(std::span(inCard).first(cut), 0, 100, FileFormat::jpeg);
}

}  // namespace
}  // namespace vf
