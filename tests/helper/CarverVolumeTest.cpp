// The engine over real files made by real tools: clips from ffmpeg on a card
// without a file system, and FAT32 cards from mtools: one whose deleted
// photos' clusters hold new photos, one whose free space holds chance
// signatures in front of photos that no directory lists.

#include "helper/DiskCarver.h"
#include "common/ByteReader.h"
#include "helper/io/Log.h"
#include "tests/support/MediaTools.h"
#include "tests/support/Synthetic.h"
#include "tests/support/TestSupport.h"
#include "tests/support/VolumeImage.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <map>
#include <unistd.h>

namespace vf {
namespace {

namespace fs = std::filesystem;
constexpr std::uint64_t MiB = 1 << 20;

struct Scan {
    test::TempDir dir;
    std::string log;
    LogSink old;
    std::uint64_t scanned = 0;
    Scan() {
        old = setLogSink([this](std::string_view l) { log += std::string(l) + "\n"; });
        fs::create_directory(dir / "out");
    }
    ~Scan() { setLogSink(old); }

    // Runs the engine on an image file, as the scanner does on a device.
    bool run(const fs::path& image) {
        const int fd = ::open(image.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return false;
        FdDevice device(fd);
        DiskCarver carver;
        carver.diagnosticPath = (dir / "diag.txt").string();
        carver.scanDevice(device, image.string(), 512, fs::file_size(image), dir / "out", 0);
        scanned = carver.bytesScanned;
        ::close(fd);
        return !carver.errorMessage;
    }
    // Recovered files by name, thumbnails and hidden files left out.
    std::map<std::string, std::vector<std::uint8_t>> files() const {
        std::map<std::string, std::vector<std::uint8_t>> out;
        for (const auto& e : fs::directory_iterator(dir / "out")) {
            const std::string name = e.path().filename().string();
            if (name[0] != '.' && !name.ends_with(".thumb.jpg")) out[name] = test::readFile(e.path());
        }
        return out;
    }
};

// Clips on a card without a file system, each followed by a photo: every one
// comes back whole and once. A transport stream has a packet start on every
// 4 KiB boundary that is a multiple of 188 (192,512 bytes apart), and an MP4
// may have its mdat box on one; neither is a file of its own nor ends the
// clip. A chance "BM" inside a clip neither cuts it nor becomes a file.
TEST(CarverOnRealFiles, ClipsWithoutAFileSystemComeBackWholeAndOnce) {
    if (!test::haveTool("ffmpeg") || !test::haveTool("convert")) GTEST_SKIP() << "ffmpeg or ImageMagick missing";
    Scan s;
    auto make = [&](const std::string& name, const std::string& args) {
        const auto made = test::run("ffmpeg -nostdin -loglevel error -y -f lavfi -i " + args + " '" +
                                    (s.dir / name).string() + "'");
        EXPECT_EQ(made.status, 0) << made.output;
        return test::readFile(s.dir / name);
    };
    // Index last: one long mdat box, with chance "BM"s inside it.
    auto clip = make("clip.mp4", "testsrc2=size=640x480:rate=25 -t 5 -c:v libx264 -preset ultrafast -qp 0 -pix_fmt yuv420p");
    ASSERT_GT(clip.size(), 2 * MiB);
    clip[MiB] = 'B', clip[MiB + 1] = 'M';
    const std::size_t late = alignDown(clip.size() - 100'000, 4096);  // still inside mdat
    clip[late] = 'B', clip[late + 1] = 'M';
    // The same clip with its mdat on a 4 KiB boundary: the free box after ftyp grown to fit.
    const std::size_t ftyp = ByteReader(clip).be32(0).value_or(0);
    ASSERT_TRUE(ByteReader(clip).matches(ftyp + 4, "free"));
    std::vector<std::uint8_t> aligned(clip.begin(), clip.begin() + static_cast<std::ptrdiff_t>(ftyp));
    const std::uint32_t pad = static_cast<std::uint32_t>(4096 - ftyp);
    aligned.insert(aligned.end(), {std::uint8_t(pad >> 24), std::uint8_t(pad >> 16), std::uint8_t(pad >> 8),
                                   std::uint8_t(pad), 'f', 'r', 'e', 'e'});
    aligned.resize(4096);
    aligned.insert(aligned.end(), clip.begin() + static_cast<std::ptrdiff_t>(ftyp + 8), clip.end());
    aligned[4096 + MiB] = 'x';  // not byte for byte the other clip
    const auto stream = make("clip.ts", "testsrc2=size=640x480:rate=25 -t 8 -c:v mpeg2video -q:v 1 -f mpegts");
    ASSERT_GT(stream.size(), 4 * MiB);
    // Past 94 MB, where a cap on packets would have split it in two.
    std::vector<std::uint8_t> longStream;
    while (longStream.size() < 100 * MiB) longStream.insert(longStream.end(), stream.begin(), stream.end());
    std::string why;
    const auto bmp = test::makeMedia(s.dir, test::MediaKind::bmp3, &why);
    ASSERT_TRUE(bmp) << why;

    std::vector<std::vector<std::uint8_t>> files;
    auto image = test::randomBytes(MiB, 9);
    std::uint64_t at = MiB;
    using Bytes = std::vector<std::uint8_t>;
    for (const Bytes* f : std::initializer_list<const Bytes*>{&clip, &*bmp, &aligned, &stream, &longStream}) {
        // Zeros end a stream's run; a next file more than 2 MiB on leaves a length as it is.
        test::place(image, at, *f);
        files.push_back(*f);
        files.push_back(test::makeJpeg(200'000, 5 + static_cast<std::uint32_t>(files.size())));
        const std::uint64_t photoAt = alignUp(at + f->size(), 4096) + 3 * MiB;
        test::place(image, photoAt, files.back());
        at = alignUp(photoAt + files.back().size(), 4096) + 3 * MiB;
    }
    test::place(image, at, test::randomBytes(MiB, 10));
    test::writeFile(s.dir / "card.img", image);
    image = {};

    ASSERT_TRUE(s.run(s.dir / "card.img")) << s.log;
    const auto got = s.files();
    std::vector<std::vector<std::uint8_t>> contents;
    for (const auto& [name, data] : got) contents.push_back(data);
    EXPECT_EQ(got.size(), files.size()) << test::readText(s.dir / "diag.txt");
    for (std::size_t k = 0; k < files.size(); ++k)
        EXPECT_NE(std::find(contents.begin(), contents.end(), files[k]), contents.end()) << "file " << k << "\n"
                                                                                          << test::readText(s.dir / "diag.txt");
}

TEST(CarverOnRealFiles, LivePhotosInDeletedPhotosClustersKeepTheirNamesAndData) {
    if (!test::haveTool("mcopy") || !test::haveTool("mkfs.vfat") || !test::haveTool("sfdisk"))
        GTEST_SKIP() << "mtools, mkfs.vfat or sfdisk missing";
    Scan s;
    test::VolumeImage card(test::VolumeImage::Kind::fat32, s.dir / "card.img");
    card.mbr().mkdir("/DCIM/100CANON");
    // Empty placeholders take the first directory slots, so that the new
    // photos' entries come before the deleted photos' entries.
    test::writeFile(s.dir / "empty", {});
    for (int i = 1; i <= 3; ++i) card.put(s.dir / "empty", "/DCIM/100CANON/TMP_000" + std::to_string(i) + ".JPG");
    std::vector<std::vector<std::uint8_t>> fresh, kept;
    for (int i = 1; i <= 3; ++i) {
        const auto old = s.dir / ("old" + std::to_string(i));
        test::writeFile(old, test::makeJpeg(160'000 + 1000 * i, 30 + i));
        card.put(old, "/DCIM/100CANON/OLD_000" + std::to_string(i) + ".JPG");
    }
    for (int i = 1; i <= 3; ++i)
        card.del("/DCIM/100CANON/TMP_000" + std::to_string(i) + ".JPG")
            .del("/DCIM/100CANON/OLD_000" + std::to_string(i) + ".JPG");
    card.firstFit();
    for (int i = 1; i <= 3; ++i) {
        fresh.push_back(test::makeJpeg(158'000 + 500 * i, 40 + i, "2024:01:0" + std::to_string(i) + " 10:00:00"));
        const auto src = s.dir / ("new" + std::to_string(i));
        test::writeFile(src, fresh.back());
        card.put(src, "/DCIM/100CANON/NEW_000" + std::to_string(i) + ".JPG");
    }
    // A deleted photo whose clusters nobody took comes back under its name.
    kept.push_back(test::makeJpeg(190'000, 50));
    test::writeFile(s.dir / "kept", kept.back());
    card.put(s.dir / "kept", "/DCIM/100CANON/KEPT.JPG").del("/DCIM/100CANON/KEPT.JPG");
    const auto built = card.build();
    ASSERT_TRUE(built.ok()) << built.output;
    const std::string before = test::sha256(card.image());

    ASSERT_TRUE(s.run(card.image())) << s.log;
    EXPECT_EQ(test::sha256(card.image()), before);
    const auto got = s.files();
    for (int i = 1; i <= 3; ++i) {
        const std::string name = "NEW_000" + std::to_string(i) + ".jpg";
        ASSERT_TRUE(got.count(name)) << name << "\n" << s.log;
        EXPECT_EQ(got.at(name), fresh[i - 1]) << name;
    }
    // No name carries another photo's data, and nothing is written twice.
    for (const auto& [name, data] : got) {
        EXPECT_EQ(name.find("LD_000"), std::string::npos) << name;
        EXPECT_TRUE(std::find(fresh.begin(), fresh.end(), data) != fresh.end() || data == kept[0]) << name;
    }
    EXPECT_EQ(got.size(), 4u) << s.log;
}

// Every byte of a volume is searched, so free space full of old compressed
// data holds chance signatures. Taken for files, their made-up lengths (16 MiB
// for a raw without a valid header, gigabytes from four random bytes) would be
// saved as junk and carry the cursor over the photos behind them.
TEST(CarverOnRealFiles, ChanceSignaturesInFreeClustersNeitherBecomeFilesNorHidePhotos) {
    if (!test::haveTool("mcopy") || !test::haveTool("mkfs.vfat") || !test::haveTool("sfdisk"))
        GTEST_SKIP() << "mtools, mkfs.vfat or sfdisk missing";
    Scan s;
    test::VolumeImage card(test::VolumeImage::Kind::fat32, s.dir / "card.img");
    card.sizeMiB(96).mbr().mkdir("/DCIM");
    const auto live = test::makeJpeg(150'000, 7, "2024:05:01 09:00:00");
    test::writeFile(s.dir / "live", live);
    card.put(s.dir / "live", "/DCIM/LIVE.JPG");
    const auto built = card.build();
    ASSERT_TRUE(built.ok()) << built.output;

    // Random data from 24 MiB into the volume on, with signatures at odd
    // offsets, and two photos without entries a little behind them.
    const std::uint64_t base = card.volumeOffset() + 24 * MiB;
    auto junk = test::randomBytes(40 * MiB, 5);
    auto plant = [&](std::size_t at, std::vector<std::uint8_t> magic) {
        std::copy(magic.begin(), magic.end(), junk.begin() + static_cast<std::ptrdiff_t>(at));
    };
    plant(1001, {0x00, 'M', 'R', 'M', 0x7F, 0x12, 0x34, 0x56});  // outer block far beyond 4 MiB
    plant(5003, {'I', 'I', 'I', 'I', 1, 2, 3, 4, 0x00, 0x00, 0x00, 0x60});  // "length" 1.5 GiB
    plant(9005, {0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x10});
    plant(13'007, {'B', 'R', 'A', 'W', 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0});
    const std::vector<std::vector<std::uint8_t>> photos = {
        test::makeJpeg(210'000, 8, "2024:05:02 10:00:00"), test::makeJpeg(230'000, 9, "2024:05:03 11:00:00")};
    std::size_t at = 2 * MiB;
    for (const auto& photo : photos) {
        std::copy(photo.begin(), photo.end(), junk.begin() + static_cast<std::ptrdiff_t>(at));
        at += 8 * MiB;
    }
    {
        const int fd = ::open(card.image().c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, junk.data(), junk.size(), static_cast<off_t>(base)),
                  static_cast<ssize_t>(junk.size()));
        ::close(fd);
    }

    ASSERT_TRUE(s.run(card.image())) << s.log;
    const auto got = s.files();
    ASSERT_TRUE(got.count("LIVE.jpg")) << s.log;
    EXPECT_EQ(got.at("LIVE.jpg"), live);
    std::vector<std::vector<std::uint8_t>> carved;
    for (const auto& [name, data] : got)
        if (name != "LIVE.jpg") carved.push_back(data);
    ASSERT_EQ(carved.size(), photos.size()) << s.log;
    for (const auto& photo : photos)
        EXPECT_TRUE(std::find(carved.begin(), carved.end(), photo) != carved.end()) << s.log;
}

// A clip cut by the card's end, or a card whose size is no block multiple: the
// scan counts no byte the card does not have.
TEST(CarverOnRealFiles, AFileCutByTheCardsEndCountsNoBytesPastIt) {
    if (!test::haveTool("mcopy") || !test::haveTool("mkfs.vfat") || !test::haveTool("sfdisk"))
        GTEST_SKIP() << "mtools, mkfs.vfat or sfdisk missing";
    Scan s;
    test::VolumeImage card(test::VolumeImage::Kind::fat32, s.dir / "card.img");
    card.mbr().mkdir("/DCIM");
    const auto built = card.build();
    ASSERT_TRUE(built.ok()) << built.output;
    const std::uint64_t size = fs::file_size(card.image());
    // "ftyp", then an "mdat" of 8 MiB that starts 64 KiB before the end.
    std::vector<std::uint8_t> head(64 * 1024, 0);
    const std::uint8_t boxes[] = {0, 0, 0, 24, 'f', 't', 'y', 'p', 'i', 's', 'o', 'm', 0, 0, 2, 0,
                                  'i', 's', 'o', 'm', 'm', 'p', '4', '1', 0, 0x80, 0, 0, 'm', 'd', 'a', 't'};
    std::copy(std::begin(boxes), std::end(boxes), head.begin());
    {
        const int fd = ::open(card.image().c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, head.data(), head.size(), static_cast<off_t>(size - head.size())),
                  static_cast<ssize_t>(head.size()));
        ::close(fd);
    }
    ASSERT_TRUE(s.run(card.image())) << s.log;
    EXPECT_EQ(s.scanned, size) << s.log;

    // An image whose size is no block multiple (ddrescue stops anywhere): a start in
    // its last, partial block steps a whole block, past the end.
    const fs::path raw = s.dir / "cut.img";
    auto bytes = test::randomBytes(2 * 4096 + 100, 5);
    bytes[2 * 4096] = 0xFF, bytes[2 * 4096 + 1] = 0xD8, bytes[2 * 4096 + 2] = 0xFF;
    test::writeFile(raw, bytes);
    ASSERT_TRUE(s.run(raw)) << s.log;
    EXPECT_EQ(s.scanned, bytes.size()) << s.log;
}

// What the directory knows bounds what is carved and rebuilt, and nothing is
// saved twice: a live AVI cut short by a flat battery, whose header claims
// 117 MB, hides none of the photos behind it, nor does a damaged header that no
// entry lists; a deleted MJPEG clip rebuilt in one run yields no frames as
// photos; a deleted photo fragmented around live files is cut where the first
// of them begins, and says so.
TEST(CarverOnRealFiles, DamagedAndDeletedFilesOnAFat32CardHideAndRepeatNothing) {
    if (!test::haveTool("mcopy") || !test::haveTool("mkfs.vfat") || !test::haveTool("sfdisk") ||
        !test::haveTool("ffmpeg"))
        GTEST_SKIP() << "mtools, mkfs.vfat, sfdisk or ffmpeg missing";
    Scan s;
    const auto made = test::run("ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc2=size=640x480:rate=25 -t 2 "
                                "-c:v mjpeg -q:v 3 -f avi '" + (s.dir / "clip.avi").string() + "'");
    ASSERT_EQ(made.status, 0) << made.output;
    const auto clip = test::readFile(s.dir / "clip.avi");
    ASSERT_GT(clip.size(), 600'000u);
    std::vector<std::uint8_t> trunc(clip.begin(), clip.begin() + 1672);
    trunc[4] = 0x40, trunc[5] = 0x42, trunc[6] = 0xF9, trunc[7] = 0x06;  // RIFF size 117,000,000
    test::writeFile(s.dir / "trunc", trunc);
    const std::uint64_t piece = 120 * 1024;  // 120 clusters
    const auto big = test::makeJpeg(300'000, 61);
    test::writeFile(s.dir / "big", big);

    test::VolumeImage card(test::VolumeImage::Kind::fat32, s.dir / "card.img");
    card.sizeMiB(96).mbr().mkdir("/DCIM").put(s.dir / "trunc", "/DCIM/TRUNC.AVI").put(s.dir / "clip.avi", "/DCIM/CLIP.AVI");
    // Live files with an extension of no format, and holes between them.
    for (int i = 1; i <= 6; ++i) {
        test::writeFile(s.dir / ("f" + std::to_string(i)), test::randomBytes(piece, 70 + i));
        card.put(s.dir / ("f" + std::to_string(i)), "/DCIM/F" + std::to_string(i) + ".DAT");
    }
    for (int i : {1, 3, 5}) card.del("/DCIM/F" + std::to_string(i) + ".DAT");
    card.firstFit().put(s.dir / "big", "/DCIM/BIG.JPG").del("/DCIM/BIG.JPG").del("/DCIM/CLIP.AVI");
    const auto built = card.build();
    ASSERT_TRUE(built.ok()) << built.output;

    // In free space far behind: a damaged header no entry lists, then photos at cluster starts.
    std::uint64_t dataStart = 0;
    {
        const int fd = ::open(card.image().c_str(), O_RDONLY | O_CLOEXEC);
        FdDevice device(fd);
        const auto parser = FATParser::detect(device);
        ::close(fd);
        ASSERT_TRUE(parser);
        dataStart = parser->geo().dataStartByte;
    }
    auto unlisted = trunc;
    unlisted[100] ^= 1;
    const std::uint64_t far = dataStart + 60 * MiB;
    const std::vector<std::vector<std::uint8_t>> photos = {test::makeJpeg(210'000, 62, "2024:05:02 10:00:00"),
                                                             test::makeJpeg(230'000, 63, "2024:05:03 11:00:00")};
    {
        const int fd = ::open(card.image().c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        auto put = [&](std::uint64_t at, const std::vector<std::uint8_t>& b) {
            ASSERT_EQ(::pwrite(fd, b.data(), b.size(), static_cast<off_t>(at)), static_cast<ssize_t>(b.size()));
        };
        put(far, unlisted);
        put(far + 64 * 1024, photos[0]);
        put(far + 3 * MiB, photos[1]);
        ::close(fd);
    }

    ASSERT_TRUE(s.run(card.image())) << s.log;
    const auto got = s.files();
    const std::string report = test::readText(s.dir / "diag.txt");
    std::size_t jpegs = 0;
    for (const auto& [name, data] : got) {
        jpegs += name.ends_with(".jpeg") || name.ends_with(".jpg");
        EXPECT_FALSE(data.size() >= trunc.size() && std::equal(trunc.begin(), trunc.end(), data.begin()))
            << name << " carved from the live AVI's header\n" << report;
    }
    for (const auto& photo : photos) {
        bool found = false;
        for (const auto& [name, data] : got) found = found || data == photo;
        EXPECT_TRUE(found) << "a photo behind a damaged header was not found\n" << report << s.log;
    }
    auto named = [&](const std::string& tail) {  // deleted entries have lost their first letter
        return std::find_if(got.begin(), got.end(), [&](const auto& f) { return f.first.ends_with(tail); });
    };
    ASSERT_NE(named("LIP.avi"), got.end()) << report;
    EXPECT_EQ(named("LIP.avi")->second, clip);
    // The fragmented photo: its first fragment, up to the live file after it.
    const auto cut = named("IG.jpg");
    ASSERT_NE(cut, got.end()) << report;
    EXPECT_EQ(cut->second, std::vector<std::uint8_t>(big.begin(), big.begin() + piece));
    EXPECT_NE(report.find("CUT → " + cut->first), std::string::npos) << report;
    EXPECT_EQ(jpegs, photos.size() + 1) << "frames of the deleted clip carved as photos\n" << report;
}

// Entries patched into a tool-made card: twenty cross-linked into a live
// photo's chain, three claiming 4 GiB. A cluster is recovered once, for the
// entry that owns it, and nothing is copied beyond what the volume holds.
TEST(CarverOnRealFiles, CrossLinkedAndOversizedEntriesAddNothing) {
    if (!test::haveTool("mcopy") || !test::haveTool("mkfs.vfat") || !test::haveTool("sfdisk"))
        GTEST_SKIP() << "mtools, mkfs.vfat or sfdisk missing";
    Scan s;
    const auto photo = test::makeJpeg(2'000'000, 81, "2024:06:01 12:00:00");
    test::writeFile(s.dir / "photo", photo);
    test::VolumeImage card(test::VolumeImage::Kind::fat32, s.dir / "card.img");
    card.sizeMiB(72).mkdir("/DCIM").put(s.dir / "photo", "/DCIM/PHOTO.JPG");
    const auto built = card.build();
    ASSERT_TRUE(built.ok()) << built.output;
    auto image = test::readFile(card.image());
    const std::string raw(image.begin(), image.end());
    const std::size_t entry = raw.find("PHOTO   JPG");
    ASSERT_NE(entry, std::string::npos);
    const std::uint32_t first = ByteReader(image).le16(entry + 26).value_or(0) |
                                std::uint32_t{ByteReader(image).le16(entry + 20).value_or(0)} << 16;
    for (std::uint32_t k = 1; k <= 23; ++k) {
        const std::size_t at = entry + 32 * k;
        std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(entry), 32, image.begin() + static_cast<std::ptrdiff_t>(at));
        const std::string name = "X" + std::to_string(1000000 + k);
        std::copy(name.begin(), name.end(), image.begin() + static_cast<std::ptrdiff_t>(at));
        const std::uint32_t c = k <= 20 ? first + 90 * k : first + 3000 + k;
        const std::uint32_t size = k <= 20 ? static_cast<std::uint32_t>(photo.size()) : 0xFFFFFFFF;
        for (int b = 0; b < 2; ++b) image[at + 26 + b] = static_cast<std::uint8_t>(c >> (8 * b));
        for (int b = 0; b < 2; ++b) image[at + 20 + b] = static_cast<std::uint8_t>(c >> (16 + 8 * b));
        for (int b = 0; b < 4; ++b) image[at + 28 + b] = static_cast<std::uint8_t>(size >> (8 * b));
    }
    test::writeFile(card.image(), image);

    ASSERT_TRUE(s.run(card.image())) << s.log;
    const auto got = s.files();
    ASSERT_EQ(got.size(), 1u) << test::readText(s.dir / "diag.txt") << s.log;
    EXPECT_EQ(got.at("PHOTO.jpg"), photo);
}

}  // namespace
}  // namespace vf
