#include "helper/CaptureInfo.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vf {
namespace {

std::vector<std::uint8_t> bytesOf(const std::string& s) { return {s.begin(), s.end()}; }

TEST(CaptureDate, FirstPlausibleDateWins) {
    auto b = bytesOf("xx1985:01:01 00:00:00yy2019:07:04 18:00:00zz2020:01:01 00:00:00");
    EXPECT_EQ(findCaptureDate(b, 0, b.size()), "2019:07:04 18:00:00");
    // The window ends before the second date fits.
    EXPECT_FALSE(findCaptureDate(b, 0, 40));
    EXPECT_EQ(findCaptureDate(b, 30, b.size()), "2020:01:01 00:00:00");
    auto edge = bytesOf("2100:12:31 23:59:592101:01:01 00:00:00");
    EXPECT_EQ(findCaptureDate(edge, 0, edge.size()), "2100:12:31 23:59:59");
    EXPECT_FALSE(findCaptureDate(edge, 1, edge.size()));
    auto broken = bytesOf("2019:07:04-18:00:00 2019:0a:04 18:00:00");
    EXPECT_FALSE(findCaptureDate(broken, 0, broken.size()));
    EXPECT_FALSE(findCaptureDate(broken, 100, 5));
    // Near misses that overlap the real date must not hide it.
    auto decoys = bytesOf("::::2019:2019:07:04 18:00:0");
    EXPECT_FALSE(findCaptureDate(decoys, 0, decoys.size()));
    decoys.push_back('0');
    EXPECT_EQ(findCaptureDate(decoys, 0, decoys.size()), "2019:07:04 18:00:00");
    EXPECT_EQ(findCaptureDate(decoys, 9, decoys.size()), "2019:07:04 18:00:00");
    EXPECT_FALSE(findCaptureDate(decoys, 10, decoys.size()));
}

// A little- or big-endian TIFF header with make and model in IFD0.
std::vector<std::uint8_t> tiffWithCamera(const std::string& make, const std::string& model, bool little) {
    std::vector<std::uint8_t> t(8 + 2 + 2 * 12 + 4 + 200, 0);
    auto put16 = [&](std::size_t at, std::uint16_t v) {
        t[at + (little ? 0 : 1)] = static_cast<std::uint8_t>(v);
        t[at + (little ? 1 : 0)] = static_cast<std::uint8_t>(v >> 8);
    };
    auto put32 = [&](std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) t[at + static_cast<std::size_t>(little ? i : 3 - i)] = static_cast<std::uint8_t>(v >> (8 * i));
    };
    t[0] = t[1] = little ? 'I' : 'M';
    put16(2, 42);
    put32(4, 8);
    put16(8, 2);
    const std::size_t data = 8 + 2 + 24 + 4;
    const std::string texts[2] = {make + '\0', model + '\0'};
    std::size_t at = data;
    for (int k = 0; k < 2; ++k) {
        const std::size_t e = 10 + 12 * static_cast<std::size_t>(k);
        put16(e, static_cast<std::uint16_t>(271 + k));
        put16(e + 2, 2);
        put32(e + 4, static_cast<std::uint32_t>(texts[k].size()));
        if (texts[k].size() <= 4) {
            std::copy(texts[k].begin(), texts[k].end(), t.begin() + static_cast<long>(e + 8));
        } else {
            put32(e + 8, static_cast<std::uint32_t>(at));
            std::copy(texts[k].begin(), texts[k].end(), t.begin() + static_cast<long>(at));
            at += texts[k].size();
        }
    }
    return t;
}

TEST(CameraModel, TiffHeadersInBothByteOrders) {
    auto le = tiffWithCamera("NIKON CORPORATION", "NIKON D850", true);
    auto cam = readCameraModel(le, 0, 0, FileFormat::nef);
    EXPECT_EQ(cam.make, "NIKON-CORPORATION");
    EXPECT_EQ(cam.model, "NIKON-D850");
    auto be = tiffWithCamera("Sony", "A/7 (III)\t", false);
    cam = readCameraModel(be, 0, 0, FileFormat::arw);
    EXPECT_EQ(cam.make, "Sony");  // inline text of count <= 4
    EXPECT_EQ(cam.model, "A7-III");
}

TEST(CameraModel, JpegExifSegmentAndBounds) {
    std::vector<std::uint8_t> jpeg = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x04, 0x00, 0x00};  // APP0 of length 4
    auto tiff = tiffWithCamera("Canon", "Canon EOS R6", true);
    const std::uint16_t len = static_cast<std::uint16_t>(2 + 6 + tiff.size());
    std::vector<std::uint8_t> app1 = {0xFF, 0xE1, static_cast<std::uint8_t>(len >> 8), static_cast<std::uint8_t>(len),
                                      'E', 'x', 'i', 'f', 0, 0};
    jpeg.insert(jpeg.end(), app1.begin(), app1.end());
    jpeg.insert(jpeg.end(), tiff.begin(), tiff.end());
    std::vector<std::uint8_t> buffer(100, 0xAB);
    buffer.insert(buffer.end(), jpeg.begin(), jpeg.end());
    auto cam = readCameraModel(buffer, 5000, 5100, FileFormat::jpeg);
    EXPECT_EQ(cam.make, "Canon");
    EXPECT_EQ(cam.model, "Canon-EOS-R6");
    EXPECT_TRUE(readCameraModel(buffer, 5000, 4999, FileFormat::jpeg).make.empty());
    EXPECT_TRUE(readCameraModel(buffer, 5000, 5000 + buffer.size(), FileFormat::jpeg).make.empty());
    // Cut the buffer inside the model text: only what lies inside is used, nothing crashes.
    for (std::size_t cut = 0; cut < buffer.size(); cut += 7) {
        std::vector<std::uint8_t> part(buffer.begin(), buffer.begin() + static_cast<long>(cut));
        (void)readCameraModel(part, 0, 100, FileFormat::jpeg);
    }
}

TEST(CameraModel, CleaningRules) {
    auto clean = [](const std::string& s) {
        return cleanCameraText(std::span(reinterpret_cast<const std::uint8_t*>(s.data()), s.size()));
    };
    EXPECT_EQ(clean("  OLYMPUS IMAGING CORP.  \n"), "OLYMPUS-IMAGING-CORP");
    EXPECT_EQ(clean("../../etc"), "etc");
    EXPECT_EQ(clean(std::string(40, 'x')), std::string(32, 'x'));
    EXPECT_EQ(clean("Canon\0junk"), "Canon");
}

}  // namespace
}  // namespace vf
