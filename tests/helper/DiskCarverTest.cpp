// The scan engine over devices in memory: what is recovered, where reads go,
// what the progress records say, and how failures end.

#include "helper/DiskCarver.h"
#include "helper/io/Log.h"
#include "tests/support/Synthetic.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace vf {
namespace {

namespace fs = std::filesystem;
using test::makeJpeg;
using test::place;

constexpr std::uint64_t MiB = 1 << 20;

// Thumbnail jobs as the scan hands them over; none is run.
struct RecordingSink final : ThumbnailSink {
    void submit(const fs::path& source, const fs::path& thumbnail) override {
        jobs.emplace_back(source.filename().string(), thumbnail.filename().string());
    }
    void wait() override {}
    void dropQueued() override { dropped = true; }
    std::vector<std::pair<std::string, std::string>> jobs;  // file, thumbnail
    bool dropped = false;
};

class CarverTest : public ::testing::Test {
protected:
    void SetUp() override {
        oldSink = setLogSink([this](std::string_view l) { log += std::string(l) + "\n"; });
        carver.diagnosticPath = (dir / "diag.txt").string();
        carver.progressUpdateInterval = 3600;  // no rate records
        carver.foundRecordInterval = 0;        // a record for every file
        carver.progressCallback = [this](std::uint64_t b, std::int64_t f, std::uint64_t o, std::uint64_t t,
                                         const std::string& phase, const std::vector<RecoveredFileInfo>& files) {
            phases.push_back(phase);
            lastFiles = files;
            lastBytes = b;
            (void)f, (void)o, (void)t;
        };
        fs::create_directory(out());
    }
    void TearDown() override { setLogSink(oldSink); }

    fs::path out() const { return dir / "out"; }
    void scan(Device& device, std::uint64_t size, std::uint64_t resume = 0) {
        carver.scanDevice(device, "/dev/test", 512, size, out(), resume);
    }
    std::vector<std::uint8_t> recovered(const std::string& name) const { return test::readFile(out() / name); }

    test::TempDir dir;
    DiskCarver carver;
    std::string log;
    std::vector<std::string> phases;
    std::vector<RecoveredFileInfo> lastFiles;
    std::uint64_t lastBytes = 0;
    LogSink oldSink;
};

// Random data with zero-filled stretches, and photos at 4096-aligned offsets.
struct Card {
    std::vector<std::uint8_t> image;
    std::vector<std::uint8_t> dated, plain, unaligned;
};

Card makeCard() {
    Card c;
    c.image = test::randomBytes(12 * MiB, 7);
    std::fill(c.image.begin() + 3 * MiB, c.image.begin() + 4 * MiB, 0);
    c.dated = makeJpeg(300'000, 1, "2019:07:04 18:00:00", "Canon", "Canon EOS R6");
    c.plain = makeJpeg(250'000, 2);
    c.unaligned = makeJpeg(200'000, 3);
    place(c.image, 1 * MiB, c.dated);
    place(c.image, 4608, c.unaligned);  // not on a 4096 boundary: passed over without a volume
    place(c.image, 5 * MiB + 4096, c.plain);
    return c;
}

TEST_F(CarverTest, CarvesAlignedFilesByteForByteAndNamesThem) {
    Card card = makeCard();
    test::FaultyDevice device(card.image);
    scan(device, card.image.size());
    ASSERT_FALSE(carver.errorMessage) << *carver.errorMessage;
    ASSERT_EQ(carver.allRecoveredFiles.size(), 2u) << log;
    const auto& a = carver.allRecoveredFiles[0];
    EXPECT_EQ(a.fileName, "2019-07-04_18-00-00_Canon_Canon-EOS-R6.jpeg");
    EXPECT_EQ(a.dateTaken, "2019:07:04 18:00:00");
    EXPECT_EQ(a.offsetOnDisk, 1 * MiB);
    EXPECT_EQ(recovered(a.fileName), card.dated);
    const auto& b = carver.allRecoveredFiles[1];
    EXPECT_EQ(b.fileName, "file_0001.jpeg");
    EXPECT_EQ(recovered(b.fileName), card.plain);
    EXPECT_EQ(carver.filesFound, 2);
    EXPECT_EQ(carver.bytesScanned, card.image.size());

    EXPECT_EQ(phases.front(), "Starting scan");
    EXPECT_EQ(phases.back(), "Complete — Found 2 file(s)");
    EXPECT_NE(std::find(phases.begin(), phases.end(), "Found 1 file(s)"), phases.end());
    EXPECT_NE(std::find(phases.begin(), phases.end(), "Scan complete"), phases.end());

    const std::string report = test::readText(dir / "diag.txt");
    EXPECT_NE(report.find("0x000100000  JPEG   300 KB      FOUND → " + a.fileName), std::string::npos) << report;
    EXPECT_NE(report.find("Exported : 2 files"), std::string::npos);

    // A second run into the same folder counts what is there and recovers nothing twice.
    DiskCarver again;
    again.diagnosticPath = carver.diagnosticPath;
    again.scanDevice(device, "/dev/test", 512, card.image.size(), out(), 0);
    EXPECT_EQ(again.filesFound, 2);
    EXPECT_TRUE(again.allRecoveredFiles.empty());
}

TEST_F(CarverTest, EveryFileHasAThumbnailNameOfItsOwnAcrossRuns) {
    Card card = makeCard();
    test::FaultyDevice device(card.image);
    // A name carried in from a card: the undated photo's usual thumbnail name is taken.
    test::writeFile(out() / "file_0001.thumb.jpg", card.plain);
    RecordingSink sink;
    carver.thumbnails = &sink;
    scan(device, card.image.size());
    ASSERT_EQ(carver.allRecoveredFiles.size(), 2u) << log;
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"2019-07-04_18-00-00_Canon_Canon-EOS-R6.jpeg", "2019-07-04_18-00-00_Canon_Canon-EOS-R6.thumb.jpg"},
        {"file_0001.jpeg", "file_0001.jpeg.thumb.jpg"},
    };
    EXPECT_EQ(sink.jobs, expected);
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(carver.allRecoveredFiles[i].thumbName, expected[i].second) << "the record names the thumbnail";
    EXPECT_EQ(test::readFile(out() / "file_0001.thumb.jpg"), card.plain);
    EXPECT_FALSE(sink.dropped);

    // Killed before the thumbnails were made, with the thumbnail tool's
    // temporaries left: the resumed run removes those and queues the same names again.
    test::writeFile(out() / ".file_0001.jpeg.thumb.jpg.4242.part", {});
    fs::create_directory(out() / ".vf-partial-thumb-Ab12Cd");
    test::writeFile(out() / ".vf-partial-thumb-Ab12Cd" / "x.thumb.jpg", {1});
    DiskCarver again;
    RecordingSink resumed;
    again.thumbnails = &resumed;
    again.diagnosticPath = carver.diagnosticPath;
    again.scanDevice(device, "/dev/test", 512, card.image.size(), out(), 2 * MiB);
    EXPECT_TRUE(again.allRecoveredFiles.empty());
    auto requeued = resumed.jobs;
    std::sort(requeued.begin(), requeued.end());
    EXPECT_EQ(requeued, expected);
    for (const auto& e : fs::directory_iterator(out()))
        EXPECT_TRUE(e.path().filename() == ".vf-recovered" || e.path().filename().string()[0] != '.') << e.path();

    // A stopped scan drops what is still queued.
    std::ofstream(dir / "control") << "stop";
    again.controlFilePath = (dir / "control").string();
    again.scanDevice(device, "/dev/test", 512, card.image.size(), out(), 0);
    EXPECT_TRUE(resumed.dropped);
}

TEST_F(CarverTest, NextFileBoundsTheOneBeforeIt) {
    auto image = test::randomBytes(4 * MiB, 21);
    // Only a well-formed header bounds a file: the later photos carry an EXIF block.
    const auto cut = makeJpeg(300'000, 22), over = makeJpeg(150'000, 23, "2020:01:01 10:00:00");
    const auto padded = makeJpeg(200'000, 24, "2020:01:03 10:00:00"), next = makeJpeg(180'000, 25, "2020:01:02 10:00:00");
    // A photo partly overwritten by a later one: its own end marker is gone,
    // so it would run on to the later photo's end.
    place(image, 1 * MiB, cut);
    place(image, 1 * MiB + 128 * 1024, over);
    place(image, 2 * MiB, padded);
    place(image, 2 * MiB + 512 * 1024, next);
    test::FaultyDevice device(image);
    scan(device, image.size());
    ASSERT_EQ(carver.allRecoveredFiles.size(), 4u) << log;
    const auto& files = carver.allRecoveredFiles;
    EXPECT_EQ(recovered(files[0].fileName),
              std::vector<std::uint8_t>(image.begin() + MiB, image.begin() + MiB + 128 * 1024));
    // A next file close behind the end (within 2 MB) takes the bytes up to it.
    EXPECT_EQ(recovered(files[1].fileName),
              std::vector<std::uint8_t>(image.begin() + MiB + 128 * 1024, image.begin() + 2 * MiB));
    EXPECT_EQ(recovered(files[2].fileName),
              std::vector<std::uint8_t>(image.begin() + 2 * MiB, image.begin() + 2 * MiB + 512 * 1024));
    EXPECT_EQ(recovered(files[3].fileName), next);  // nothing follows within reach
}

// The look-ahead stops soon after the farthest start that could change a
// length; right at that edge the answer must be the one of a full search.
TEST_F(CarverTest, ANextFileTakesTheGapUpToTwoMegabytesAndNoFurther) {
    auto image = test::randomBytes(12 * MiB, 26);
    const std::size_t length = 200'000, close = 2 * MiB;
    // On the 32 KiB grid of a file that starts there: the last start within reach of the rule.
    const std::size_t near = (length + close) / 32768 * 32768;
    place(image, 1 * MiB, makeJpeg(length, 27));
    place(image, 1 * MiB + near, makeJpeg(150'000, 28, "2020:02:01 10:00:00"));
    // On the 4 KiB grid: the first start past it.
    const std::size_t far = ((length + close) / 4096 + 1) * 4096;
    place(image, 6 * MiB + 4096, makeJpeg(length, 29));
    place(image, 6 * MiB + 4096 + far, makeJpeg(150'000, 30, "2020:02:02 10:00:00"));
    test::FaultyDevice device(image);
    scan(device, image.size());
    ASSERT_EQ(carver.allRecoveredFiles.size(), 4u) << log;
    const auto& files = carver.allRecoveredFiles;
    EXPECT_EQ(files[0].fileSize, near);
    EXPECT_EQ(files[2].fileSize, length);
}

// Devices that lend views are searched ahead on a second thread; what is
// recovered, named and reported must be what reads by copy give.
TEST_F(CarverTest, DevicesThatLendViewsRecoverWhatCopiedReadsRecover) {
    auto image = test::randomBytes(26 * MiB, 31);
    // A chunk (8 MiB) with a chance "BM" every 64 bytes, off the 4096 grid: more
    // matches than are listed ahead, so the scan searches the rest itself.
    for (std::size_t p = 8 * MiB + 17; p < 16 * MiB; p += 64) image[p] = 'B', image[p + 1] = 'M';
    place(image, 1 * MiB, makeJpeg(300'000, 32, "2021:05:01 09:00:00", "Nikon", "Z 6"));
    place(image, 8 * MiB - 4096, makeJpeg(200'000, 33));  // across the first chunk boundary
    place(image, 12 * MiB, makeJpeg(150'000, 41));       // the first position of a chunk's upper half
    place(image, 14 * MiB, makeJpeg(250'000, 34));       // past the listed matches
    place(image, 20 * MiB + 4096, makeJpeg(150'000, 35, "2021:05:02 09:00:00"));
    std::fill(image.begin() + 22 * MiB, image.begin() + 23 * MiB, 0);
    // Files that end close before the next one take the bytes up to it; the next
    // one is looked for in the lists of this chunk and the one after, past a chance
    // header that does not hold up.
    place(image, 5 * MiB, makeJpeg(120'000, 36, "2021:06:01 10:00:00"));
    image[5 * MiB + 512 * 1024] = 'B', image[5 * MiB + 512 * 1024 + 1] = 'M';
    place(image, 6 * MiB, makeJpeg(130'000, 37, "2021:06:02 10:00:00"));
    place(image, 7 * MiB + 4096, makeJpeg(110'000, 38, "2021:06:03 10:00:00"));  // looks ahead across chunks
    place(image, 17 * MiB - 4096, makeJpeg(110'000, 39, "2021:06:04 10:00:00"));
    place(image, 18 * MiB + 4096, makeJpeg(110'000, 40, "2021:06:05 10:00:00"));
    test::writeFile(dir / "card.img", image);
    const int fd = ::open((dir / "card.img").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);

    struct Outcome {
        std::vector<std::tuple<std::string, std::uint64_t, std::uint64_t>> files;
        std::vector<std::vector<std::uint8_t>> bytes;
        std::string report;
        std::uint64_t scanned = 0;
    };
    auto run = [&](Device& device, const std::string& name) {
        fs::create_directory(dir / name);
        DiskCarver c;
        c.diagnosticPath = (dir / (name + ".txt")).string();
        c.scanDevice(device, "/dev/test", 512, image.size(), dir / name, 0);
        Outcome o;
        for (const auto& f : c.allRecoveredFiles) {
            o.files.emplace_back(f.fileName, f.offsetOnDisk, f.fileSize);
            o.bytes.push_back(test::readFile(dir / name / f.fileName));
        }
        o.report = test::readText(dir / (name + ".txt"));
        o.report = o.report.substr(0, o.report.find("--- Summary"));
        o.scanned = c.bytesScanned;
        return o;
    };
    test::FaultyDevice copiedDevice(image);
    MemoryDevice memory(image);
    FdDevice file(fd);
    file.enableViews(image.size());
    const Outcome copied = run(copiedDevice, "copied");
    std::vector<std::uint64_t> sizes;
    for (const auto& f : copied.files) sizes.push_back(std::get<2>(f));
    // Up to the next file whose header holds up, where that is close behind: past
    // the chance header, and only at positions of the look-ahead's own grid.
    EXPECT_EQ(sizes, (std::vector<std::uint64_t>{300'000, MiB, 130'000, 110'000, 200'000, 150'000, 250'000,
                                                 MiB + 8192, 2 * MiB, 150'000}));
    EXPECT_EQ(std::get<1>(copied.files[5]), 12 * MiB);
    EXPECT_EQ(std::get<1>(copied.files[6]), 14 * MiB);
    for (auto [device, name] : {std::pair<Device*, std::string>{&memory, "memory"}, {&file, "mapped"}}) {
        const Outcome o = run(*device, name);
        EXPECT_EQ(o.files, copied.files) << name;
        EXPECT_TRUE(o.bytes == copied.bytes) << name;
        EXPECT_EQ(o.report, copied.report) << name;
        EXPECT_EQ(o.scanned, copied.scanned) << name;
    }
    ::close(fd);
}

TEST_F(CarverTest, FoundRecordsAreBatchedAndListOnlyFilesThatExist) {
    Card card = makeCard();
    test::FaultyDevice device(card.image);
    carver.foundRecordInterval = 3600;
    std::size_t checked = 0;
    carver.progressCallback = [&](std::uint64_t, std::int64_t, std::uint64_t, std::uint64_t, const std::string& phase,
                                  const std::vector<RecoveredFileInfo>& files) {
        phases.push_back(phase);
        // Every file a record lists is in the folder under its name, and no file is there unlisted.
        for (const auto& f : files) EXPECT_TRUE(fs::exists(out() / f.fileName)) << f.fileName;
        std::size_t onDisk = 0;
        for (const auto& e : fs::directory_iterator(out()))
            if (e.path().filename().string()[0] != '.') ++onDisk;
        EXPECT_EQ(onDisk, files.size());
        ++checked;
    };
    scan(device, card.image.size());
    EXPECT_EQ(std::count_if(phases.begin(), phases.end(), [](const std::string& p) { return p.rfind("Found", 0) == 0; }),
              0);
    EXPECT_EQ(phases.back(), "Complete — Found 2 file(s)");
    EXPECT_GE(checked, 2u);
}

TEST_F(CarverTest, ResumeStartsAtTheBlockBelowAndCountsFromTheOffset) {
    Card card = makeCard();
    test::FaultyDevice device(card.image);
    scan(device, card.image.size(), 1000);
    std::vector<std::uint64_t> chunkReads;
    for (const auto& [offset, len] : device.reads)
        if (len == carver.chunkSize) chunkReads.push_back(offset);
    ASSERT_FALSE(chunkReads.empty());
    EXPECT_EQ(chunkReads.front(), 512u);
    EXPECT_EQ(carver.bytesScanned, 1000 + card.image.size() - 512);
}

TEST_F(CarverTest, MinimumSizeFromTheApplicationSkipsSmallFiles) {
    Card card = makeCard();
    test::FaultyDevice device(card.image);
    carver.minimumFileSize = 280'000;
    scan(device, card.image.size());
    ASSERT_EQ(carver.allRecoveredFiles.size(), 1u);
    EXPECT_EQ(carver.allRecoveredFiles[0].offsetOnDisk, 1 * MiB);
    EXPECT_NE(log.find("⚠️ Too small / not found (250000 < 280000), skipping"), std::string::npos) << log;
}

TEST_F(CarverTest, PauseAndResumeThroughTheControlFile) {
    Card card = makeCard();
    test::FaultyDevice device(card.image);
    const auto control = dir / "control";
    std::ofstream(control) << "pause\n";
    carver.controlFilePath = control.string();
    carver.pauseInterval = 0.02;
    // Resumed once three pause records are out, however slowly the scan starts.
    std::atomic<int> pausedRecords{0};
    auto record = carver.progressCallback;
    carver.progressCallback = [&, record](std::uint64_t b, std::int64_t f, std::uint64_t o, std::uint64_t t,
                                          const std::string& phase, const std::vector<RecoveredFileInfo>& files) {
        if (phase == "Paused") ++pausedRecords;
        record(b, f, o, t, phase, files);
    };
    std::jthread resumer([&](std::stop_token stop) {
        while (pausedRecords < 3 && !stop.stop_requested()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::ofstream(control) << "resume";
    });
    scan(device, card.image.size());
    const auto paused = std::count(phases.begin(), phases.end(), "Paused");
    EXPECT_GE(paused, 3);
    EXPECT_EQ(phases.back(), "Complete — Found 2 file(s)");
}

TEST_F(CarverTest, StopEndsWithStoppedRecordAndReport) {
    Card card = makeCard();
    test::FaultyDevice device(card.image);
    const auto control = dir / "control";
    std::ofstream(control) << " stop\n";
    carver.controlFilePath = control.string();
    scan(device, card.image.size());
    EXPECT_EQ(phases.back(), "Stopped — Found 0 file(s)");
    EXPECT_TRUE(fs::exists(dir / "diag.txt"));
    EXPECT_FALSE(carver.errorMessage);
}

TEST_F(CarverTest, UnreadableBlocksAreSkippedAndNeverSavedIntoAFile) {
    Card card = makeCard();
    test::FaultyDevice device(card.image);
    device.failRange(2 * MiB, 2 * MiB + 1024);                    // in a gap
    device.failRange(5 * MiB + 4096 + 100'000, 5 * MiB + 4096 + 100'512);  // inside the second photo
    scan(device, card.image.size());
    ASSERT_FALSE(carver.errorMessage);
    ASSERT_EQ(carver.allRecoveredFiles.size(), 1u) << log;
    EXPECT_EQ(recovered(carver.allRecoveredFiles[0].fileName), card.dated);
    ASSERT_EQ(carver.unreadableRanges().size(), 2u);
    EXPECT_EQ(carver.unreadableRanges()[0], std::make_pair(2 * MiB, 2 * MiB + 1024));
    const std::string report = test::readText(dir / "diag.txt");
    EXPECT_NE(report.find("UNREADABLE → file_0001.jpeg"), std::string::npos) << report;
    EXPECT_NE(report.find("--- Unreadable ranges (2048 bytes) ---"), std::string::npos) << report;
    EXPECT_EQ(phases.back(), "Complete — Found 1 file(s)");
    // Nothing half-written is left behind.
    for (const auto& e : fs::directory_iterator(out()))
        EXPECT_FALSE(e.path().filename().string().rfind(".vf-partial", 0) == 0) << e.path();
}

// A chunk read in two halves on two threads is read block by block where
// either half fails, as a chunk read in one piece is.
TEST_F(CarverTest, AFailedHalfOfAChunkIsReadBlockByBlock) {
    Card card = makeCard();
    test::FaultyDevice device(card.image);
    device.concurrent = true;
    device.failRange(5 * MiB + 4096 + 100'000, 5 * MiB + 4096 + 100'512);  // in the upper half of the first chunk
    scan(device, card.image.size());
    ASSERT_FALSE(carver.errorMessage);
    ASSERT_EQ(carver.allRecoveredFiles.size(), 1u) << log;
    EXPECT_EQ(recovered(carver.allRecoveredFiles[0].fileName), card.dated);
    ASSERT_EQ(carver.unreadableRanges().size(), 1u);
    EXPECT_NE(test::readText(dir / "diag.txt").find("UNREADABLE → file_0001.jpeg"), std::string::npos);
}

// Files copied on writer threads (a device read from several threads) end as
// the sequential copy leaves them: the same names, counted in the order found
// even where a file before them is not saved, the same records and report rows.
TEST_F(CarverTest, WritersEndAsTheSequentialCopy) {
    auto image = test::randomBytes(26 * MiB, 41);
    std::uint64_t at = 4096;
    for (std::uint32_t k = 0; at + 700'000 < image.size(); ++k) {
        // Mostly undated; alike dates take _1; one cut too short by the next (dated) one; one across 8 MiB.
        const std::string date = k % 5 == 2 ? "2021:05:0" + std::to_string(k % 2 + 1) + " 09:00:00" : "";
        const std::size_t size = k == 6 ? 60'000 : 120'000 + 37'000 * (k % 13);
        place(image, at, makeJpeg(size, 500 + k, date));
        at = k == 9 ? 8 * MiB - 50 * 4096 : (at + size + 4096 + 8192 * (k % 3)) / 4096 * 4096;
    }
    struct Run {
        std::vector<RecoveredFileInfo> files;
        std::vector<std::string> phases;
        std::string report;
        std::map<std::string, std::string> hashes;
        std::uint64_t bytesScanned = 0;
    };
    auto run = [&](bool concurrent, const fs::path& folder) {
        test::FaultyDevice device(image);
        device.concurrent = concurrent;
        device.failRange(1 * MiB + 10'000, 1 * MiB + 10'512);  // inside a file: not saved, yet counted
        DiskCarver c;
        c.diagnosticPath = (dir / "diag.txt").string();
        c.progressUpdateInterval = 3600;
        c.foundRecordInterval = 0;
        Run r;
        c.progressCallback = [&r](std::uint64_t, std::int64_t, std::uint64_t, std::uint64_t, const std::string& phase,
                                  const std::vector<RecoveredFileInfo>&) { r.phases.push_back(phase); };
        fs::create_directory(folder);
        c.scanDevice(device, "/dev/test", 512, image.size(), folder, 0);
        EXPECT_FALSE(c.errorMessage);
        r.files = c.allRecoveredFiles;
        r.bytesScanned = c.bytesScanned;
        std::istringstream text(test::readText(dir / "diag.txt"));
        for (std::string line; std::getline(text, line);)
            if (line.find("0x") == 0) r.report += line + "\n";  // the rows; the summary holds times
        for (const auto& e : fs::directory_iterator(folder))
            r.hashes[e.path().filename().string()] = test::sha256(e.path());
        return r;
    };
    const Run sequential = run(false, dir / "sequential");
    const Run writers = run(true, dir / "writers");
    ASSERT_GE(sequential.files.size(), 30u) << log;
    EXPECT_NE(sequential.report.find("UNREADABLE"), std::string::npos) << sequential.report;
    EXPECT_NE(sequential.report.find("_1.jpeg"), std::string::npos) << sequential.report;
    EXPECT_NE(sequential.report.find("SKIP"), std::string::npos) << sequential.report;
    ASSERT_EQ(writers.files.size(), sequential.files.size());
    for (std::size_t k = 0; k < sequential.files.size(); ++k) {
        EXPECT_EQ(writers.files[k].fileName, sequential.files[k].fileName) << k;
        EXPECT_EQ(writers.files[k].offsetOnDisk, sequential.files[k].offsetOnDisk) << k;
        EXPECT_EQ(writers.files[k].fileSize, sequential.files[k].fileSize) << k;
    }
    EXPECT_EQ(writers.report, sequential.report);
    EXPECT_EQ(writers.phases, sequential.phases);
    EXPECT_EQ(writers.hashes, sequential.hashes);
    EXPECT_EQ(writers.bytesScanned, sequential.bytesScanned);
}

// A chunk whose view fails goes straight to blocks: on a failing card every
// read of a bad block can take seconds, so the search meets it no more often than it must.
TEST_F(CarverTest, AFailedViewIsReadBlockByBlockAtOnce) {
    Card card = makeCard();
    test::FaultyDevice device(card.image);
    device.concurrent = device.lendViews = true;
    const std::uint64_t bad = 5 * MiB + 4096 + 100'352;  // a block inside the second photo
    device.failRange(bad, bad + 512);
    scan(device, card.image.size());
    ASSERT_FALSE(carver.errorMessage);
    ASSERT_EQ(carver.allRecoveredFiles.size(), 1u) << log;
    EXPECT_EQ(recovered(carver.allRecoveredFiles[0].fileName), card.dated);
    EXPECT_NE(test::readText(dir / "diag.txt").find("UNREADABLE → file_0001.jpeg"), std::string::npos);
    // Before the photo's own reads (its length, its copy): the volume search's one
    // read of the card's start, and the chunk's read whole, then by blocks.
    const std::uint64_t photo = 5 * MiB + 4096;
    const auto searchReadsOfBad = std::count_if(device.reads.begin(), device.reads.end(), [&](const auto& r) {
        return r.first < photo && r.first <= bad && bad < r.first + r.second;
    });
    EXPECT_EQ(searchReadsOfBad, 2) << log;
}

TEST_F(CarverTest, ACardPulledOutEndsWithAnErrorThatCanBeResumed) {
    Card card = makeCard();
    test::FaultyDevice device(card.image);
    device.goneFrom(9 * MiB + 12345);
    scan(device, card.image.size());
    ASSERT_TRUE(carver.errorMessage);
    EXPECT_NE(carver.errorMessage->find("stopped responding at byte 9449472"), std::string::npos)
        << *carver.errorMessage;
    EXPECT_EQ(carver.currentOffset, 9 * MiB + 12288);  // the first block that failed
    EXPECT_EQ(carver.allRecoveredFiles.size(), 2u);
    EXPECT_NE(phases.back().rfind("Complete", 0), 0u) << "an interrupted scan is not reported complete";

    // Resuming where it stopped, on a card that reads again, finishes the card.
    test::FaultyDevice healthy(card.image);
    DiskCarver resumed;
    resumed.diagnosticPath = carver.diagnosticPath;
    resumed.scanDevice(healthy, "/dev/test", 512, card.image.size(), out(), carver.currentOffset);
    EXPECT_FALSE(resumed.errorMessage);
    EXPECT_EQ(resumed.filesFound, 2);
    EXPECT_TRUE(resumed.allRecoveredFiles.empty());
}

}  // namespace
}  // namespace vf
