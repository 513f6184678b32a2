// The scan engine over devices in memory and over cards made by real tools
// (clips from ffmpeg, FAT32 cards from mkfs.vfat and mtools, patched where a
// card is broken in ways no tool makes): what is recovered, where reads go,
// what the progress records say, and how failures end.

#include "helper/DiskCarver.h"
#include "common/ByteReader.h"
#include "helper/ProgressWriter.h"
#include "helper/Session.h"
#include "helper/io/Log.h"
#include "tests/support/MediaSynthetic.h"
#include "tests/support/MediaTools.h"
#include "tests/support/Synthetic.h"
#include "tests/support/TestSupport.h"
#include "tests/support/VolumeImage.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <sstream>
#include <unistd.h>

namespace vf {
namespace {

namespace fs = std::filesystem;
using test::makeJpeg;
using test::place;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint64_t MiB = 1 << 20;

// Thumbnail jobs (file, thumbnail) as the scan hands them over; none is run.
struct RecordingSink final : ThumbnailSink {
    void submit(const fs::path& file, const fs::path& thumb) override { jobs.emplace_back(file.filename(), thumb.filename()); }
    void wait() override {}
    void dropQueued() override { dropped = true; }
    std::vector<std::pair<std::string, std::string>> jobs;
    bool dropped = false;
};

class CarverTest : public ::testing::Test {
protected:
    void SetUp() override {
        oldSink = setLogSink([this](std::string_view l) { log += std::string(l) + "\n"; });
        fresh();
    }
    void TearDown() override { setLogSink(oldSink); }

    // A carver that reports into `phases`, unless `asScanner` every found file at
    // once, no rates, thumbnails into `sink` and words from `control`; every file a
    // record lists must be in the folder under its name.
    std::unique_ptr<DiskCarver> make(bool asScanner = false) {
        auto c = std::make_unique<DiskCarver>();
        c->diagnosticPath = (dir / "diag.txt").string();
        if (!asScanner) {
            c->progressUpdateInterval = 3600, c->foundRecordInterval = 0;
            c->thumbnails = &sink;
            c->controlFilePath = control().string();
        }
        c->progressCallback = [this](std::uint64_t, std::int64_t, std::uint64_t, std::uint64_t, const std::string& phase,
                                     const std::vector<RecoveredFileInfo>& listed) {
            phases.push_back(phase);
            if (onPhase) onPhase(phase);
            for (const auto& f : listed) EXPECT_TRUE(fs::exists(out() / f.fileName)) << f.fileName << " listed at " << phase;
        };
        return c;
    }
    fs::path out() const { return dir / "out"; }
    fs::path control() const { return dir / "control"; }
    // An empty output folder and a new carver, as for a new card.
    void fresh() {
        fs::remove_all(out());
        fs::create_directory(out());
        phases.clear();
        carver = make();
    }
    void scan(Device& device, std::uint64_t size, std::uint64_t resume = 0) {
        carver->scanDevice(device, "/dev/test", 512, size, out(), resume);
    }
    // On an image file, as the scanner scans a device; false when the scan failed.
    bool scanImage(const fs::path& image, std::uint64_t resume = 0) {
        const int fd = ::open(image.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return false;
        FdDevice device(fd);
        carver = make(true);
        scan(device, fs::file_size(image), resume);
        ::close(fd);
        return !carver->errorMessage;
    }
    const std::vector<RecoveredFileInfo>& files() const { return carver->allRecoveredFiles; }
    // What the folder holds by name, thumbnails and hidden files left out.
    std::map<std::string, Bytes> saved() const {
        std::map<std::string, Bytes> found;
        for (const auto& e : fs::directory_iterator(out()))
            if (const auto name = e.path().filename().string(); name[0] != '.' && !name.ends_with(".thumb.jpg"))
                found[name] = test::readFile(e.path());
        return found;
    }
    bool has(const Bytes& data) const {
        const auto all = saved();
        return std::any_of(all.begin(), all.end(), [&](const auto& f) { return f.second == data; });
    }
    fs::path write(const std::string& name, const Bytes& data) const {
        test::writeFile(dir / name, data);
        return dir / name;
    }
    Bytes recovered(const std::string& name) const { return test::readFile(out() / name); }
    std::string report() const { return test::readText(dir / "diag.txt"); }

    test::TempDir dir;
    std::string log;
    std::vector<std::string> phases;
    std::function<void(const std::string&)> onPhase;
    RecordingSink sink;
    std::unique_ptr<DiskCarver> carver;
    LogSink oldSink;
};

// Random data with a zero-filled stretch, and photos at 4096-aligned offsets.
// Its size is no block multiple (ddrescue stops anywhere), and a header in its
// last, partial block steps a whole block: no byte past the end may be counted.
struct Card {
    Bytes image = test::randomBytes(12 * MiB + 100, 7);
    Bytes dated = makeJpeg(300'000, 1, "2019:07:04 18:00:00", "Canon", "Canon EOS R6");
    Bytes plain = makeJpeg(250'000, 2), last = makeJpeg(180'000, 4);
    Card() {
        std::fill(image.begin() + 3 * MiB, image.begin() + 4 * MiB, 0);
        place(image, 1 * MiB, dated);
        place(image, 4608, makeJpeg(200'000, 3));  // off the 4096 grid: passed over without a volume
        place(image, 5 * MiB + 4096, plain);
        place(image, 6 * MiB + 512 * 1024, last);
        place(image, 12 * MiB, {0xFF, 0xD8, 0xFF});
    }
};

TEST_F(CarverTest, CarvesAlignedFilesByteForByteNamesThemNeverTwiceAndObeysTheControlFile) {
    Card card;
    test::FaultyDevice device(card.image);
    // A name carried in from a card: the undated photo's usual thumbnail name is taken.
    test::writeFile(out() / "file_0001.thumb.jpg", card.plain);
    scan(device, card.image.size());
    ASSERT_EQ(files().size(), 3u) << log;
    const std::vector<std::pair<std::string, std::string>> thumbs = {
        {"2019-07-04_18-00-00_Canon_Canon-EOS-R6.jpeg", "2019-07-04_18-00-00_Canon_Canon-EOS-R6.thumb.jpg"},
        {"file_0001.jpeg", "file_0001.jpeg.thumb.jpg"}, {"file_0002.jpeg", "file_0002.thumb.jpg"}};
    const Bytes* bytes[] = {&card.dated, &card.plain, &card.last};
    for (std::size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(std::pair(files()[k].fileName, files()[k].thumbName.value_or("")), thumbs[k]);
        EXPECT_TRUE(recovered(thumbs[k].first) == *bytes[k]) << thumbs[k].first;
    }
    EXPECT_EQ(sink.jobs, thumbs);
    EXPECT_EQ(test::readFile(out() / "file_0001.thumb.jpg"), card.plain);
    EXPECT_EQ(files()[0].dateTaken, "2019:07:04 18:00:00");
    EXPECT_EQ(carver->bytesScanned, card.image.size());
    EXPECT_EQ(phases, (std::vector<std::string>{"Starting scan", "Found 1 file(s)", "Found 2 file(s)", "Found 3 file(s)",
                                                "Scan complete", "Complete — Found 3 file(s)"}));
    EXPECT_NE(report().find("0x000100000  JPEG   300 KB      FOUND → " + files()[0].fileName), std::string::npos);
    EXPECT_NE(report().find("Exported : 3 files"), std::string::npos) << report();

    // A second run into the same folder, after a kill before the thumbnails were
    // made that left the thumbnail tool's temporaries: it counts what is there,
    // recovers nothing twice, removes the temporaries and queues the same names again.
    test::writeFile(out() / ".file_0001.jpeg.thumb.jpg.4242.part", {});
    fs::create_directory(out() / ".vf-partial-thumb-Ab12Cd");
    test::writeFile(out() / ".vf-partial-thumb-Ab12Cd" / "x.thumb.jpg", {1});
    sink.jobs.clear();
    carver = make();
    scan(device, card.image.size());
    EXPECT_EQ(carver->filesFound, 3);
    EXPECT_TRUE(files().empty());
    std::sort(sink.jobs.begin(), sink.jobs.end());
    EXPECT_EQ(sink.jobs, thumbs);
    for (const auto& e : fs::directory_iterator(out()))
        EXPECT_TRUE(e.path().filename() == ".vf-recovered" || e.path().filename().string()[0] != '.') << e.path();

    // The application's minimum size passes smaller files over, and the log says why;
    // found records wait for their interval. Paused from the start, the scan goes
    // on once three pause records are out, however slowly it starts.
    fresh();
    carver->minimumFileSize = 280'000;
    carver->foundRecordInterval = 3600;
    carver->pauseInterval = 0.02;
    std::ofstream(control()) << "pause\n";
    int paused = 0;
    onPhase = [&](const std::string& phase) {
        if (phase == "Paused" && ++paused == 3) std::ofstream(control()) << "resume";
    };
    scan(device, card.image.size());
    ASSERT_EQ(files().size(), 1u);
    EXPECT_EQ(files()[0].offsetOnDisk, 1 * MiB);
    EXPECT_NE(log.find("⚠️ Too small / not found (250000 < 280000), skipping"), std::string::npos) << log;
    for (const auto& phase : phases) EXPECT_NE(phase.rfind("Found", 0), 0u) << "a found record not batched";
    EXPECT_EQ(paused, 3);
    EXPECT_EQ(phases.back(), "Complete — Found 1 file(s)");
    EXPECT_FALSE(sink.dropped);

    // A stopped scan ends with its record, and drops the thumbnails still queued.
    std::ofstream(control()) << " stop\n";
    carver = make();
    scan(device, card.image.size());
    EXPECT_EQ(phases.back(), "Stopped — Found 1 file(s)");
    EXPECT_FALSE(carver->errorMessage);
    EXPECT_TRUE(sink.dropped);
}

// Devices read from several threads, or that lend views searched ahead on a
// second thread, must end as copied reads on one thread: the same names, in
// the order found, the same bytes, records and report rows.
TEST_F(CarverTest, EveryKindOfDeviceEndsAsTheSequentialCopy) {
    auto image = test::randomBytes(48 * MiB, 31);
    // A chunk (8 MiB) with a chance "BM" every 64 bytes, off the 4096 grid: more
    // matches than are listed ahead, so the scan searches the rest itself.
    for (std::size_t p = 8 * MiB + 17; p < 16 * MiB; p += 64) image[p] = 'B', image[p + 1] = 'M';
    const std::string may1 = "2021:05:01 09:00:00";
    place(image, 1 * MiB, makeJpeg(300'000, 32, may1, "Nikon", "Z 6"));
    place(image, 8 * MiB - 4096, makeJpeg(200'000, 33));  // across the first chunk boundary
    place(image, 12 * MiB, makeJpeg(150'000, 41));       // the first position of a chunk's upper half
    place(image, 14 * MiB, makeJpeg(250'000, 34));       // past the listed matches
    place(image, 20 * MiB + 4096, makeJpeg(150'000, 35, may1));
    std::fill(image.begin() + 22 * MiB, image.begin() + 23 * MiB, 0);
    place(image, 24 * MiB, makeJpeg(150'000, 42, may1));  // the same name: a suffix
    place(image, 25 * MiB, makeJpeg(60'000, 43));         // too short
    // Files that end close before the next one take the bytes up to it; the next
    // one is looked for in the lists of this chunk and the one after, past a chance
    // header that does not hold up.
    place(image, 5 * MiB, makeJpeg(120'000, 36, "2021:06:01 10:00:00"));
    image[5 * MiB + 512 * 1024] = 'B', image[5 * MiB + 512 * 1024 + 1] = 'M';
    place(image, 6 * MiB, makeJpeg(130'000, 37, "2021:06:02 10:00:00"));
    place(image, 7 * MiB + 4096, makeJpeg(110'000, 38, "2021:06:03 10:00:00"));  // looks ahead across chunks
    place(image, 17 * MiB - 4096, makeJpeg(110'000, 39, "2021:06:04 10:00:00"));
    place(image, 18 * MiB + 4096, makeJpeg(110'000, 40, "2021:06:05 10:00:00"));
    // A file without its own end runs on to the next well-formed header (these
    // photos carry an EXIF block) when that is close behind: within 2 MB, at a
    // position of the look-ahead's grid, right at whose edge the answer must be a full search's.
    const std::uint64_t length = 200'000, close = 2 * MiB, at = 32 * MiB;
    const std::uint64_t near = (length + close) / 32768 * 32768;     // the last start within reach, on the 32 KiB grid
    const std::uint64_t far = ((length + close) / 4096 + 1) * 4096;  // the first past it, on the 4 KiB grid
    const std::pair<std::uint64_t, std::size_t> edges[] = {
        {at + MiB, 300'000}, {at + MiB + 128 * 1024, 150'000} /* over the first's end */, {at + 2 * MiB, 200'000},
        {at + 2 * MiB + 512 * 1024, 180'000}, {at + 6 * MiB, length}, {at + 6 * MiB + near, 150'000},
        {at + 11 * MiB + 4096, length}, {at + 11 * MiB + 4096 + far, 150'000}};
    for (std::uint32_t k = 0; k < std::size(edges); ++k)
        place(image, edges[k].first, makeJpeg(edges[k].second, 22 + k, "2020:01:01 10:00:" + std::to_string(10 + k)));
    const int fd = ::open(write("card.img", image).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);

    // What the user meets, as text to compare: the files in the order found, the
    // folder's bytes, the records, the report's rows (its summary holds times).
    auto run = [&](Device& device) {
        fresh();
        scan(device, image.size());
        std::string r = test::readText(out() / ".vf-recovered");
        for (const auto& f : files()) r += f.fileName + " " + std::to_string(f.offsetOnDisk) + "\n";
        for (const auto& [name, data] : saved()) r += name + " " + test::sha256(data) + "\n";
        for (const auto& phase : phases) r += phase + "\n";
        std::istringstream text(report());
        for (std::string line; std::getline(text, line);)
            if (line.starts_with("0x")) r += line + "\n";
        return r + std::to_string(carver->bytesScanned);
    };
    test::FaultyDevice copiedDevice(image), threaded(image);
    threaded.concurrent = true;
    MemoryDevice memory(image);
    FdDevice file(fd);
    file.enableViews(image.size());
    const std::string copied = run(copiedDevice);
    std::vector<std::uint64_t> sizes;
    for (const auto& f : files()) sizes.push_back(f.fileSize);
    EXPECT_EQ(sizes, (std::vector<std::uint64_t>{300'000, MiB, 130'000, 110'000, 200'000, 150'000, 250'000, MiB + 8192, 2 * MiB,
                                                 150'000, 150'000, 128 * 1024, 896 * 1024, 512 * 1024, 180'000, near,
                                                 150'000, length, 150'000}));
    EXPECT_EQ(files()[5].offsetOnDisk, 12 * MiB);
    for (const char* row : {"SKIP", "FOUND → 2021-05-01_09-00-00_1.jpeg"})  // the report names what the folder holds
        EXPECT_NE(copied.find(row), std::string::npos) << copied;
    for (auto [device, name] : {std::pair<Device*, const char*>{&threaded, "threads"}, {&memory, "memory"}, {&file, "mapped"}})
        EXPECT_EQ(run(*device), copied) << name;
    ::close(fd);
}

// Unreadable blocks are skipped and never saved into a file; a file holding one
// is not saved, and the next takes its name. A chunk
// read in two halves on two threads, or lent as a view, is read block by block
// where it fails, as a chunk read in one piece is.
TEST_F(CarverTest, UnreadableBlocksEndNoFileAndShiftNoName) {
    const std::uint64_t bad = 5 * MiB + 4096 + 100'352;  // a block inside the second photo
    const struct { const char* name; bool threads, views, gapToo; } rows[] = {
        {"one thread", false, false, true}, {"two halves", true, false, false}, {"views", true, true, false}};
    const Card card;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        test::FaultyDevice device(card.image);
        device.concurrent = row.threads;
        device.lendViews = row.views;
        if (row.gapToo) device.failRange(2 * MiB, 2 * MiB + 1024);
        device.failRange(bad, bad + 512);
        fresh();
        scan(device, card.image.size());
        ASSERT_FALSE(carver->errorMessage);
        ASSERT_EQ(files().size(), 2u) << log;
        EXPECT_EQ(files()[1].fileName, "file_0001.jpeg");
        EXPECT_TRUE(saved() == (std::map<std::string, Bytes>{{files()[0].fileName, card.dated}, {"file_0001.jpeg", card.last}}));
        EXPECT_EQ(std::distance(fs::directory_iterator(out()), {}), 3) << "a temporary left beside the manifest";
        ASSERT_EQ(carver->unreadableRanges().size(), row.gapToo ? 2u : 1u);
        EXPECT_EQ(carver->unreadableRanges().back(), std::make_pair(bad, bad + 512));
        EXPECT_NE(report().find("UNREADABLE → file_0001.jpeg"), std::string::npos) << report();
        EXPECT_NE(report().find(row.gapToo ? "--- Unreadable ranges (1536 bytes) ---" : "(512 bytes)"), std::string::npos);
        EXPECT_EQ(phases.back(), "Complete — Found 2 file(s)");
        // On a failing card every read of a bad block can take seconds: before the
        // photo's own reads, the volume search's read of the card's start and the
        // chunk's read whole, then by blocks.
        const auto readsOfBad = std::count_if(device.reads.begin(), device.reads.end(), [&](const auto& r) {
            return r.first < bad - 100'352 && r.first <= bad && bad < r.first + r.second;
        });
        EXPECT_TRUE(!row.views || readsOfBad == 2) << readsOfBad;
    }
}

// The records are the scanner's: the application offers the resume from the last one.
TEST_F(CarverTest, ACardPulledOutEndsWithAnErrorThatCanBeResumed) {
    Card card;
    test::FaultyDevice device(card.image);
    device.goneFrom(9 * MiB + 12345);
    ProgressWriter writer((dir / "progress.json").string());
    attachProgressWriter(*carver, writer);
    scan(device, card.image.size());
    EXPECT_EQ(writeFinalRecord(*carver, &writer), 1);
    auto last = decodeProgress(test::readText(dir / "progress.json"));
    ASSERT_TRUE(last && last->errorMessage);
    EXPECT_NE(last->errorMessage->find("stopped responding at byte 9449472"), std::string::npos) << *last->errorMessage;
    EXPECT_EQ(last->phase, "Error");
    EXPECT_EQ(last->currentOffset, 9 * MiB + 12288);  // the first block that failed
    EXPECT_EQ(files().size(), 3u) << log;
    EXPECT_EQ(log.find("Progress: Complete"), std::string::npos) << "an interrupted scan reported complete";

    // Resuming where it stopped, on a card that reads again, finishes the card; an
    // offset off the block grid starts at the block below and counts from itself.
    test::FaultyDevice healthy(card.image);
    const std::uint64_t resume = carver->currentOffset + 300;
    carver = make();
    attachProgressWriter(*carver, writer);
    scan(healthy, card.image.size(), resume);
    EXPECT_EQ(writeFinalRecord(*carver, &writer), 0);
    last = decodeProgress(test::readText(dir / "progress.json"));
    ASSERT_TRUE(last);
    EXPECT_EQ(last->phase, "Complete");
    EXPECT_EQ(last->filesFound, 3);
    EXPECT_TRUE(files().empty());
    std::uint64_t first = UINT64_MAX;  // of the carving, past the volume search's reads
    for (const auto& [offset, length] : healthy.reads) first = offset > MiB ? std::min(first, offset) : first;
    EXPECT_EQ(first, resume - 300);
    EXPECT_EQ(carver->bytesScanned, resume + card.image.size() - (resume - 300));
}

// Clips on a card without a file system, each followed by a photo: every one
// comes back whole and once. A transport stream has a packet start on every
// 4 KiB boundary that is a multiple of 188: none is a file of its own or ends
// the clip; nor does a chance "BM" inside a clip.
TEST_F(CarverTest, ClipsWithoutAFileSystemComeBackWholeAndOnce) {
    if (!test::haveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg missing";
    // Index last: one long mdat box, with chance "BM"s inside it.
    const auto made = test::run("ffmpeg -nostdin -loglevel error -f lavfi -i testsrc2=size=640x480:rate=25 -t 5 -c:v libx264 "
                                "-preset ultrafast -qp 0 -pix_fmt yuv420p " + test::shellQuoted((dir / "clip.mp4").string()));
    ASSERT_EQ(made.status, 0) << made.output;
    auto clip = test::readFile(dir / "clip.mp4");
    ASSERT_GT(clip.size(), 2 * MiB);
    const std::size_t late = alignDown(clip.size() - 100'000, 4096);  // still inside mdat
    clip[MiB] = clip[late] = 'B', clip[MiB + 1] = clip[late + 1] = 'M';
    std::string why;
    const auto part = test::makeMedia(dir, test::MediaKind::ts, &why), bmp = test::makeMedia(dir, test::MediaKind::bmp3, &why);
    ASSERT_TRUE(part && bmp) << why;
    // Across two chunks, whose searches must not stop the run of packets.
    Bytes stream;
    while (stream.size() < 16 * MiB) stream.insert(stream.end(), part->begin(), part->end());

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
    const fs::path card = write("card.img", image);
    image = {};

    ASSERT_TRUE(scanImage(card)) << log;
    EXPECT_EQ(saved().size(), files.size()) << report();
    for (std::size_t k = 0; k < files.size(); ++k) EXPECT_TRUE(has(files[k])) << "file " << k << "\n" << report();
}

// What the directory knows bounds what is carved, and nothing is saved twice:
// a live AVI cut short by a flat battery, whose header claims 117 MB, hides none
// of the photos behind it, nor do a damaged header no entry lists or chance
// signatures in free space (their made-up lengths, 16 MiB for a raw without a
// valid header or gigabytes from four random bytes, would be saved as junk and
// carry the cursor over the photos); a deleted MJPEG clip rebuilt in one run
// yields no frames as photos; a deleted photo fragmented around live files is
// cut where the first of them begins, and says so. Entries patched in, twenty
// cross-linked into a live photo's chain and three claiming 4 GiB, add nothing:
// a cluster is recovered once, for the entry that owns it. The card is never
// written to, and a resumed scan does not read the folders again: a file the
// user moved out of the output folder stays out.
TEST_F(CarverTest, DamagedDeletedAndCrossLinkedFilesOnAFat32CardHideAndRepeatNothing) {
    for (const char* tool : {"mcopy", "mkfs.vfat", "sfdisk", "ffmpeg"})
        if (!test::haveTool(tool)) GTEST_SKIP() << tool << " missing";
    const auto made = test::run("ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc2=size=640x480:rate=25 -t 2 "
                                "-c:v mjpeg -q:v 3 -f avi '" + (dir / "clip.avi").string() + "'");
    ASSERT_EQ(made.status, 0) << made.output;
    const auto clip = test::readFile(dir / "clip.avi");
    ASSERT_GT(clip.size(), 600'000u);
    Bytes trunc(clip.begin(), clip.begin() + 1672);
    trunc[4] = 0x40, trunc[5] = 0x42, trunc[6] = 0xF9, trunc[7] = 0x06;  // RIFF size 117,000,000
    const std::uint64_t piece = 120 * 1024;  // 120 clusters
    const auto big = test::makeJpeg(300'000, 61), photo = test::makeJpeg(2'000'000, 81, "2024:06:01 12:00:00");

    test::VolumeImage card(test::VolumeImage::Kind::fat32, dir / "card.img");
    card.sizeMiB(96).mbr().mkdir("/DCIM/100X").put(write("trunc", trunc), "/DCIM/TRUNC.AVI").put(dir / "clip.avi", "/DCIM/CLIP.AVI");
    card.put(write("empty", {}), "/DCIM/EMPTY.JPG");  // a camera that lost power before writing
    // Live files with an extension of no format, and holes between them.
    for (int i = 1; i <= 6; ++i)
        card.put(write("f" + std::to_string(i), test::randomBytes(piece, 70 + i)), "/DCIM/F" + std::to_string(i) + ".DAT");
    for (int i : {1, 3, 5}) card.del("/DCIM/F" + std::to_string(i) + ".DAT");
    card.put(write("photo", photo), "/DCIM/100X/PHOTO.JPG");
    card.firstFit().put(write("big", big), "/DCIM/BIG.JPG").del("/DCIM/BIG.JPG").del("/DCIM/CLIP.AVI");
    const auto built = card.build();
    ASSERT_TRUE(built.ok()) << built.output;

    // In free space far behind: random data with chance signatures at odd offsets,
    // a damaged header no entry lists, and photos a little behind them.
    const std::uint64_t far = card.volumeOffset() + 56 * MiB;
    auto junk = test::randomBytes(24 * MiB, 5);
    auto plant = [&](std::size_t at, const Bytes& b) { place(junk, at, b); };
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
    test::ByteWriter w;
    w.bytes = test::readFile(card.image());
    w.raw(far, junk);
    // The copies of the photo's entry behind it, in its folder's cluster.
    const std::size_t entry = std::string(w.bytes.begin(), w.bytes.end()).find("PHOTO   JPG");
    ASSERT_NE(entry, std::string::npos);
    const ByteReader r(w.bytes);
    const std::uint32_t first = r.le16(entry + 26).value_or(0) | std::uint32_t{r.le16(entry + 20).value_or(0)} << 16;
    const Bytes original(w.bytes.begin() + entry, w.bytes.begin() + entry + 32);
    for (std::uint32_t k = 1; k <= 23; ++k) {
        const std::size_t at = entry + 32 * k;
        const std::uint32_t c = k <= 20 ? first + 90 * k : first + 3000 + k;
        w.raw(at, original);
        w.text(at, "X" + std::to_string(1000000 + k));
        w.u16(at + 26, c), w.u16(at + 20, c >> 16), w.u32(at + 28, k <= 20 ? photo.size() : 0xFFFFFFFF);
    }
    test::writeFile(card.image(), w.bytes);
    const std::string hash = test::sha256(card.image());

    ASSERT_TRUE(scanImage(card.image())) << log;
    EXPECT_EQ(test::sha256(card.image()), hash);
    const auto got = saved();
    std::size_t jpegs = 0;
    for (const auto& [name, data] : got) {
        jpegs += name.ends_with(".jpeg") || name.ends_with(".jpg");
        EXPECT_FALSE(data.size() >= trunc.size() && std::equal(trunc.begin(), trunc.end(), data.begin()))
            << name << " carved from the live AVI's header\n" << report();
    }
    for (const auto& p : photos) EXPECT_TRUE(has(p)) << "a photo behind junk was not found\n" << report();
    EXPECT_EQ(got.at("PHOTO.jpg"), photo);
    auto named = [&](const std::string& tail) {  // deleted entries have lost their first letter
        return std::find_if(got.begin(), got.end(), [&](const auto& f) { return f.first.ends_with(tail); });
    };
    ASSERT_NE(named("LIP.avi"), got.end()) << report();
    EXPECT_EQ(named("LIP.avi")->second, clip);
    // The fragmented photo: its first fragment, up to the live file after it.
    const auto cut = named("IG.jpg");
    ASSERT_NE(cut, got.end()) << report();
    EXPECT_EQ(cut->second, Bytes(big.begin(), big.begin() + piece));
    EXPECT_NE(report().find("CUT → " + cut->first), std::string::npos) << report();
    EXPECT_EQ(jpegs, photos.size() + 2) << "junk, frames of the deleted clip or cross-linked entries carved as photos\n" << report();

    fs::remove(out() / named("LIP.avi")->first);
    ASSERT_TRUE(scanImage(card.image(), fs::file_size(card.image()) - MiB)) << log;
    EXPECT_TRUE(files().empty());
    EXPECT_EQ(saved().size(), got.size() - 1) << "the folders were read again on resume";
}

}  // namespace
}  // namespace vf
