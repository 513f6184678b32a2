// An output folder on a disk too small for what the card holds: the scan must
// end with an error the application can show, keep only whole files, and a
// resumed run on a grown disk must end as an uninterrupted one.

#include "helper/DiskCarver.h"
#include "tests/support/EndToEnd.h"
#include "tests/support/LogCapture.h"
#include "tests/support/Synthetic.h"
#include "tests/support/VolumeImage.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <unistd.h>

namespace vf {
namespace {

namespace fs = std::filesystem;

// In-process, copied on the scan thread and then on the writer threads: whatever
// is saved is whole and named as in an uninterrupted run, the resume point is the
// first photo not saved (not the last, or those between would never be
// recovered), and the resume ends as the uninterrupted run.
TEST(FullDisk, ScansInProcessStopAtTheFirstPhotoNotSaved) {
    if (::getuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
    test::TempDir dir;
    constexpr std::uint64_t MiB = 1 << 20;
    const struct {
        const char* name;
        std::vector<std::uint8_t> image;
        const char* disk;
        double namesEvery;  // seconds between the records that give names
        std::size_t saved;  // at least this many saved before the disk is full
    } rows[] = {
        // 100 KiB each, the least a JPEG may be, all to be named at the end: four fill the disk
        // to the byte and every commit fails at once.
        {"commits failing together",
         [] {
             auto image = test::randomBytes(12 * MiB, 31);
             for (std::uint32_t k = 0; k < 4; ++k) test::place(image, (1 + 3 * k) * MiB, test::makeJpeg(102'400, 400 + k));
             return image;
         }(),
         "400k", 3600, 0},
        // Thirty dated photos, each named as soon as it is written, several still being copied.
        {"writes failing on the writers",
         [] {
             auto image = test::randomBytes(16 * MiB, 51);
             for (std::uint32_t k = 0; k < 30; ++k)
                 test::place(image, k * 512 * 1024,
                             test::makeJpeg(300'000 + 1000 * k, 600 + k, "2022:02:" + std::to_string(10 + k) + " 08:00:00"));
             return image;
         }(),
         "2m", 0, 2},
        // Filling up while files are restored from the card's directory: the resume
        // restores the rest by name too, not leaving them to carving.
        {"the card's directory restored",
         [&] {
             test::VolumeImage card(test::VolumeImage::Kind::fat32, dir / "card.img");
             card.mbr().mkdir("/DCIM");
             for (std::uint32_t k = 0; k < 6; ++k) {
                 const fs::path photo = dir / ("photo" + std::to_string(k));  // each read when the card is built
                 test::writeFile(photo, test::makeJpeg(150'000, 500 + k, "2021:0" + std::to_string(k + 1) + ":01 10:00:00"));
                 card.put(photo, "/DCIM/IMG_000" + std::to_string(k) + ".jpg");
             }
             return card.build().ok() ? test::readFile(card.image()) : std::vector<std::uint8_t>{};
         }(),
         "400k", 0, 2},
    };
    const test::LogCapture quiet;
    for (const auto& row : rows) {
        if (row.image.empty()) GTEST_SKIP() << "cannot build a FAT32 card here (mkfs.vfat, mtools)";
        const bool directory = row.name == std::string("the card's directory restored");
        auto scan = [&](DiskCarver& carver, bool concurrent, const fs::path& out, std::uint64_t resume) {
            test::FaultyDevice device(row.image);
            device.concurrent = concurrent;
            carver.diagnosticPath = (dir / "diag.txt").string();
            carver.progressUpdateInterval = std::max(carver.progressUpdateInterval, row.namesEvery);
            carver.foundRecordInterval = row.namesEvery;
            carver.scanDevice(device, "/dev/test", 512, row.image.size(), out, resume);
        };
        const fs::path cleanDir = dir / (std::string(row.name) + " clean");
        fs::create_directory(cleanDir);
        DiskCarver clean;
        scan(clean, false, cleanDir, 0);
        const auto cleanHashes = test::recoveredHashes(cleanDir);
        std::map<bool, std::pair<std::uint64_t, std::uint64_t>> stoppedAt;  // offset, bytes scanned
        for (const bool concurrent : {false, true}) {
            SCOPED_TRACE(std::string(row.name) + (concurrent ? ", writers" : ", sequential"));
            const fs::path out = dir / (std::string(row.name) + (concurrent ? " writers" : " sequential"));
            test::TmpfsMount disk(out, row.disk);
            if (!disk.ok()) GTEST_SKIP() << disk.why();
            DiskCarver carver;
            scan(carver, concurrent, out, 0);
            const std::string error = carver.errorMessage.value_or("none");
            EXPECT_EQ(error.rfind("Could not save recovered files: No space left on device", 0), 0u) << error;
            const auto saved = test::recoveredHashes(out);
            EXPECT_GE(saved.size(), row.saved);
            for (const auto& [name, h] : saved) EXPECT_EQ(cleanHashes.count(name) ? cleanHashes.at(name) : "", h) << name;
            for (const auto& e : fs::directory_iterator(out))
                EXPECT_NE(e.path().filename().string().rfind(".vf-partial-", 0), 0u) << e.path();
            const auto firstNotSaved = std::find_if(clean.allRecoveredFiles.begin(), clean.allRecoveredFiles.end(),
                                                    [&](const RecoveredFileInfo& f) { return !saved.count(f.fileName); });
            ASSERT_NE(firstNotSaved, clean.allRecoveredFiles.end());
            // The directory is read again from its start.
            EXPECT_EQ(carver.currentOffset, directory ? 0 : firstNotSaved->offsetOnDisk);
            stoppedAt[concurrent] = {carver.currentOffset, carver.bytesScanned};

            ASSERT_TRUE(disk.resize("64m"));
            DiskCarver resumed;
            scan(resumed, concurrent, out, carver.currentOffset);
            EXPECT_FALSE(resumed.errorMessage);
            EXPECT_EQ(test::recoveredHashes(out), cleanHashes);
            EXPECT_TRUE(!directory || cleanHashes.count("IMG_0005.jpg")) << "named by the directory";
        }
        EXPECT_EQ(stoppedAt[true], stoppedAt[false]) << row.name << ": the writers end where a sequential copy ends";
    }
}

}  // namespace
}  // namespace vf
