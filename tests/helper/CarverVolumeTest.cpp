// The engine over real files made by real tools: clips from ffmpeg on a card
// without a file system, and FAT32 cards from mkfs.vfat and mtools, patched
// where a card is broken in ways no tool makes.

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
using Bytes = std::vector<std::uint8_t>;
constexpr std::uint64_t MiB = 1 << 20;

#define NEED_FAT_TOOLS()                                                                        \
    if (!test::haveTool("mcopy") || !test::haveTool("mkfs.vfat") || !test::haveTool("sfdisk")) \
    GTEST_SKIP() << "mtools, mkfs.vfat or sfdisk missing"

struct Scan {
    test::TempDir dir;
    std::string log;
    LogSink old = setLogSink([this](std::string_view l) { log += std::string(l) + "\n"; });
    std::size_t recovered = 0;
    Scan() { fs::create_directory(dir / "out"); }
    ~Scan() { setLogSink(old); }

    // Runs the engine on an image file, as the scanner does on a device.
    bool run(const fs::path& image, std::uint64_t resume = 0) {
        const int fd = ::open(image.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return false;
        FdDevice device(fd);
        DiskCarver carver;
        carver.diagnosticPath = (dir / "diag.txt").string();
        carver.scanDevice(device, image.string(), 512, fs::file_size(image), dir / "out", resume);
        recovered = carver.allRecoveredFiles.size();
        ::close(fd);
        return !carver.errorMessage;
    }
    // Recovered files by name, thumbnails and hidden files left out.
    std::map<std::string, Bytes> files() const {
        std::map<std::string, Bytes> out;
        for (const auto& e : fs::directory_iterator(dir / "out")) {
            const std::string name = e.path().filename().string();
            if (name[0] != '.' && !name.ends_with(".thumb.jpg")) out[name] = test::readFile(e.path());
        }
        return out;
    }
    bool has(const Bytes& data) const {
        for (const auto& [name, bytes] : files())
            if (bytes == data) return true;
        return false;
    }
    std::string report() const { return test::readText(dir / "diag.txt"); }
    fs::path write(const std::string& name, const Bytes& data) const {
        test::writeFile(dir / name, data);
        return dir / name;
    }
};

void writeAt(const fs::path& image, std::uint64_t offset, const Bytes& data) {
    const int fd = ::open(image.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, data.data(), data.size(), static_cast<off_t>(offset)), static_cast<ssize_t>(data.size()));
    ::close(fd);
}

// Clips on a card without a file system, each followed by a photo: every one
// comes back whole and once. A transport stream has a packet start on every
// 4 KiB boundary that is a multiple of 188: none is a file of its own or ends
// the clip; nor does a chance "BM" inside a clip.
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
    const std::size_t late = alignDown(clip.size() - 100'000, 4096);  // still inside mdat
    clip[MiB] = clip[late] = 'B', clip[MiB + 1] = clip[late + 1] = 'M';
    // Across two chunks, whose searches must not stop the run of packets.
    const auto part = make("clip.ts", "testsrc2=size=640x480:rate=25 -t 8 -c:v mpeg2video -q:v 1 -f mpegts");
    Bytes stream;
    while (stream.size() < 16 * MiB) stream.insert(stream.end(), part.begin(), part.end());
    std::string why;
    const auto bmp = test::makeMedia(s.dir, test::MediaKind::bmp3, &why);
    ASSERT_TRUE(bmp) << why;

    std::vector<Bytes> files;
    auto image = test::randomBytes(MiB, 9);
    std::uint64_t at = MiB;
    for (const Bytes* f : std::initializer_list<const Bytes*>{&clip, &*bmp, &stream}) {
        // A next file more than 2 MiB on leaves a length as it is.
        files.push_back(*f);
        files.push_back(test::makeJpeg(200'000, 5 + static_cast<std::uint32_t>(files.size())));
        test::place(image, at, *f);
        const std::uint64_t photoAt = alignUp(at + f->size(), 4096) + 3 * MiB;
        test::place(image, photoAt, files.back());
        at = alignUp(photoAt + files.back().size(), 4096) + 3 * MiB;
    }
    test::place(image, at, test::randomBytes(MiB, 10));
    const fs::path card = s.write("card.img", image);
    image = {};

    ASSERT_TRUE(s.run(card)) << s.log;
    EXPECT_EQ(s.files().size(), files.size()) << s.report();
    for (std::size_t k = 0; k < files.size(); ++k) EXPECT_TRUE(s.has(files[k])) << "file " << k << "\n" << s.report();
}

// What the directory knows bounds what is carved, and nothing is saved twice:
// a live AVI cut short by a flat battery, whose header claims 117 MB, hides none
// of the photos behind it, nor do a damaged header no entry lists or chance
// signatures in free space (their made-up lengths, 16 MiB for a raw without a
// valid header or gigabytes from four random bytes, would be saved as junk and
// carry the cursor over the photos); a deleted MJPEG clip rebuilt in one run
// yields no frames as photos; a deleted photo fragmented around live files is
// cut where the first of them begins, and says so. The card is never written
// to, and a resumed scan does not read the folders again: a file the user moved
// out of the output folder stays out.
TEST(CarverOnRealFiles, DamagedAndDeletedFilesOnAFat32CardHideAndRepeatNothing) {
    NEED_FAT_TOOLS();
    if (!test::haveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg missing";
    Scan s;
    const auto made = test::run("ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc2=size=640x480:rate=25 -t 2 "
                                "-c:v mjpeg -q:v 3 -f avi '" + (s.dir / "clip.avi").string() + "'");
    ASSERT_EQ(made.status, 0) << made.output;
    const auto clip = test::readFile(s.dir / "clip.avi");
    ASSERT_GT(clip.size(), 600'000u);
    Bytes trunc(clip.begin(), clip.begin() + 1672);
    trunc[4] = 0x40, trunc[5] = 0x42, trunc[6] = 0xF9, trunc[7] = 0x06;  // RIFF size 117,000,000
    const std::uint64_t piece = 120 * 1024;  // 120 clusters
    const auto big = test::makeJpeg(300'000, 61);

    test::VolumeImage card(test::VolumeImage::Kind::fat32, s.dir / "card.img");
    card.sizeMiB(96).mbr().mkdir("/DCIM").put(s.write("trunc", trunc), "/DCIM/TRUNC.AVI").put(s.dir / "clip.avi", "/DCIM/CLIP.AVI");
    // Live files with an extension of no format, and holes between them.
    for (int i = 1; i <= 6; ++i)
        card.put(s.write("f" + std::to_string(i), test::randomBytes(piece, 70 + i)), "/DCIM/F" + std::to_string(i) + ".DAT");
    for (int i : {1, 3, 5}) card.del("/DCIM/F" + std::to_string(i) + ".DAT");
    card.firstFit().put(s.write("big", big), "/DCIM/BIG.JPG").del("/DCIM/BIG.JPG").del("/DCIM/CLIP.AVI");
    const auto built = card.build();
    ASSERT_TRUE(built.ok()) << built.output;

    // In free space far behind: random data with chance signatures at odd offsets,
    // a damaged header no entry lists, and photos a little behind them.
    const std::uint64_t far = card.volumeOffset() + 56 * MiB;
    auto junk = test::randomBytes(24 * MiB, 5);
    auto plant = [&](std::size_t at, const Bytes& b) { std::copy(b.begin(), b.end(), junk.begin() + static_cast<std::ptrdiff_t>(at)); };
    plant(1001, {0x00, 'M', 'R', 'M', 0x7F, 0x12, 0x34, 0x56});  // outer block far beyond 4 MiB
    plant(5003, {'I', 'I', 'I', 'I', 1, 2, 3, 4, 0x00, 0x00, 0x00, 0x60});  // "length" 1.5 GiB
    plant(9005, {0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x10});
    plant(13'007, {'B', 'R', 'A', 'W', 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0});
    auto unlisted = trunc;
    unlisted[100] ^= 1;
    plant(8 * MiB, unlisted);
    const std::vector<Bytes> photos = {test::makeJpeg(210'000, 62, "2024:05:02 10:00:00"), test::makeJpeg(230'000, 63, "2024:05:03 11:00:00"),
                                       test::makeJpeg(220'000, 64, "2024:05:04 12:00:00")};
    plant(2 * MiB, photos[0]);
    plant(8 * MiB + 64 * 1024, photos[1]);
    plant(11 * MiB, photos[2]);
    writeAt(card.image(), far, junk);
    const std::string hash = test::sha256(card.image());

    ASSERT_TRUE(s.run(card.image())) << s.log;
    EXPECT_EQ(test::sha256(card.image()), hash);
    const auto got = s.files();
    std::size_t jpegs = 0;
    for (const auto& [name, data] : got) {
        jpegs += name.ends_with(".jpeg") || name.ends_with(".jpg");
        EXPECT_FALSE(data.size() >= trunc.size() && std::equal(trunc.begin(), trunc.end(), data.begin()))
            << name << " carved from the live AVI's header\n" << s.report();
    }
    for (const auto& photo : photos) EXPECT_TRUE(s.has(photo)) << "a photo behind junk was not found\n" << s.report();
    auto named = [&](const std::string& tail) {  // deleted entries have lost their first letter
        return std::find_if(got.begin(), got.end(), [&](const auto& f) { return f.first.ends_with(tail); });
    };
    ASSERT_NE(named("LIP.avi"), got.end()) << s.report();
    EXPECT_EQ(named("LIP.avi")->second, clip);
    // The fragmented photo: its first fragment, up to the live file after it.
    const auto cut = named("IG.jpg");
    ASSERT_NE(cut, got.end()) << s.report();
    EXPECT_EQ(cut->second, Bytes(big.begin(), big.begin() + piece));
    EXPECT_NE(s.report().find("CUT → " + cut->first), std::string::npos) << s.report();
    EXPECT_EQ(jpegs, photos.size() + 1) << "junk or frames of the deleted clip carved as photos\n" << s.report();

    fs::remove(s.dir / "out" / named("LIP.avi")->first);
    ASSERT_TRUE(s.run(card.image(), fs::file_size(card.image()) - MiB)) << s.log;
    EXPECT_EQ(s.recovered, 0u);
    EXPECT_EQ(s.files().size(), got.size() - 1) << "the folders were read again on resume";
}

// Entries patched into a tool-made card: twenty cross-linked into a live
// photo's chain, three claiming 4 GiB. A cluster is recovered once, for the
// entry that owns it, and nothing is copied beyond what the volume holds.
TEST(CarverOnRealFiles, CrossLinkedAndOversizedEntriesAddNothing) {
    NEED_FAT_TOOLS();
    Scan s;
    const auto photo = test::makeJpeg(2'000'000, 81, "2024:06:01 12:00:00");
    test::VolumeImage card(test::VolumeImage::Kind::fat32, s.dir / "card.img");
    const auto built = card.sizeMiB(72).mkdir("/DCIM").put(s.write("photo", photo), "/DCIM/PHOTO.JPG").build();
    ASSERT_TRUE(built.ok()) << built.output;
    auto image = test::readFile(card.image());
    const std::size_t entry = std::string(image.begin(), image.end()).find("PHOTO   JPG");
    ASSERT_NE(entry, std::string::npos);
    const ByteReader r(image);
    const std::uint32_t first = r.le16(entry + 26).value_or(0) | std::uint32_t{r.le16(entry + 20).value_or(0)} << 16;
    auto put = [&](std::size_t at, std::uint32_t v, int bytes) {
        for (int b = 0; b < bytes; ++b) image[at + static_cast<std::size_t>(b)] = static_cast<std::uint8_t>(v >> (8 * b));
    };
    for (std::uint32_t k = 1; k <= 23; ++k) {
        const std::size_t at = entry + 32 * k;
        std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(entry), 32, image.begin() + static_cast<std::ptrdiff_t>(at));
        const std::string name = "X" + std::to_string(1000000 + k);
        std::copy(name.begin(), name.end(), image.begin() + static_cast<std::ptrdiff_t>(at));
        const std::uint32_t c = k <= 20 ? first + 90 * k : first + 3000 + k;
        put(at + 26, c, 2), put(at + 20, c >> 16, 2), put(at + 28, k <= 20 ? static_cast<std::uint32_t>(photo.size()) : 0xFFFFFFFF, 4);
    }
    test::writeFile(card.image(), image);

    ASSERT_TRUE(s.run(card.image())) << s.log;
    const auto got = s.files();
    ASSERT_EQ(got.size(), 1u) << s.report() << s.log;
    EXPECT_EQ(got.at("PHOTO.jpg"), photo);
}

}  // namespace
}  // namespace vf
