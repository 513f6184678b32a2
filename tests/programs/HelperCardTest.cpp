// The root scanner on read-only loop devices of whole cards, run as the
// application runs it (with SUDO_UID and SUDO_GID set) and watched through its
// progress file while it scans.

#include "common/Records.h"
#include "tests/support/DngBuilder.h"
#include "tests/support/EndToEnd.h"
#include "tests/support/MediaSynthetic.h"
#include "tests/support/Synthetic.h"
#include "tests/support/TestSupport.h"
#include "tests/support/VolumeImage.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace vf {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kUid = 4321, kGid = 1234;
const std::vector<std::string> kSudo = {"SUDO_UID=4321", "SUDO_GID=1234"};
const fs::path kDiag = "/tmp/tessarine_diag.txt";

// Where a phase may come in a run; a phase out of order, or one that is none
// of these, is a fault.
int phaseRank(const std::string& phase) {
    static const std::regex directory(R"(Recovered \d+ file\(s\) from directory)");
    static const std::regex scanning(R"(Found \d+ file\(s\)|Scanning at \d+\.\d MB/s)");
    static const std::regex done(R"(Complete — Found \d+ file\(s\))");
    if (phase == "Unmounting disk…") return 0;
    if (std::regex_match(phase, directory)) return 1;
    if (phase == "Starting scan") return 2;
    if (std::regex_match(phase, scanning)) return 3;
    if (phase == "Scan complete") return 4;
    if (std::regex_match(phase, done)) return 5;
    if (phase == "Complete") return 6;
    return -1;
}

// What a reader polling the progress file saw: every record decodes, phases
// come in order, counts never fall and the file list only grows.
void expectOrderlyRecords(const std::vector<std::string>& records, std::int64_t finalFiles) {
    ASSERT_GE(records.size(), 3u);
    int rank = 0;
    std::int64_t files = 0;
    std::uint64_t bytes = 0;
    std::vector<std::string> list;
    for (const std::string& text : records) {
        const auto rec = decodeProgress(text);
        ASSERT_TRUE(rec) << "undecodable record: " << text;
        const int r = phaseRank(rec->phase);
        EXPECT_GE(r, rank) << "phase '" << rec->phase << "' out of order in " << text;
        rank = std::max(rank, r);
        EXPECT_GE(rec->filesFound, files) << text;
        EXPECT_GE(rec->bytesScanned, bytes) << text;
        files = rec->filesFound;
        bytes = rec->bytesScanned;
        EXPECT_EQ(rec->isComplete, rec->phase == "Complete") << text;
        EXPECT_FALSE(rec->errorMessage) << text;
        if (!rec->newFiles) continue;
        ASSERT_GE(rec->newFiles->size(), list.size()) << "the file list shrank: " << text;
        for (std::size_t i = 0; i < list.size(); ++i) EXPECT_EQ((*rec->newFiles)[i].fileName, list[i]) << text;
        for (std::size_t i = list.size(); i < rec->newFiles->size(); ++i) list.push_back((*rec->newFiles)[i].fileName);
        EXPECT_EQ(static_cast<std::int64_t>(list.size()), rec->filesFound) << text;
    }
    const auto last = decodeProgress(records.back());
    EXPECT_EQ(last->phase, "Complete");
    EXPECT_EQ(last->filesFound, finalFiles);
    EXPECT_EQ(static_cast<std::int64_t>(list.size()), finalFiles);
}

// Every file, thumbnail and the manifest in the folder belongs to the user, mode 0644.
void expectOwnedByUser(const fs::path& dir) {
    struct stat st {};
    ASSERT_EQ(::lstat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kUid);
    EXPECT_EQ(st.st_gid, kGid);
    for (const auto& e : fs::directory_iterator(dir)) {
        ASSERT_EQ(::lstat(e.path().c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode)) << e.path();
        EXPECT_EQ(st.st_uid, kUid) << e.path();
        EXPECT_EQ(st.st_gid, kGid) << e.path();
        EXPECT_EQ(st.st_mode & 07777, 0644u) << e.path();
    }
}

bool isJpeg(const fs::path& p) {
    const auto b = test::readFile(p);
    return b.size() > 4 && b[0] == 0xFF && b[1] == 0xD8;
}

// Each recovered file's thumbnail as the last record listing files names it;
// no two files may share one.
std::map<std::string, std::string> thumbnailsOf(const std::vector<std::string>& records) {
    std::map<std::string, std::string> out;
    for (auto it = records.rbegin(); it != records.rend() && out.empty(); ++it) {
        const auto rec = decodeProgress(*it);
        if (!rec || !rec->newFiles) continue;
        std::set<std::string> taken;
        for (const auto& f : *rec->newFiles) {
            EXPECT_TRUE(f.thumbName) << f.fileName << " has no thumbName";
            if (!f.thumbName) continue;
            EXPECT_TRUE(taken.insert(*f.thumbName).second) << *f.thumbName << " is shared";
            out[f.fileName] = *f.thumbName;
        }
    }
    return out;
}

class HelperCard : public ::testing::Test {
protected:
    void SetUp() override {
        if (::getuid() != 0) GTEST_SKIP() << "needs root for loop devices";
        ::chmod(dir.path().c_str(), 0777);
        // A report left by another user's run would not be replaced (rightly); start clean.
        fs::remove(kDiag);
    }
    void TearDown() override { fs::remove(kDiag); }

    test::HelperRun scan(const std::string& device) {
        return test::runHelper({device, out.string(), progress.string(), (dir / "control").string()},
                               progress.string(), kSudo);
    }

    test::TempDir dir;
    fs::path out = dir / "out", progress = dir / "progress.json";
};

TEST_F(HelperCard, DemoCardComesBackWholeAndOwnedByTheUser) {
    if (!test::haveTool("mcopy") || !test::haveTool("ffmpeg") || !test::haveTool("exiftool"))
        GTEST_SKIP() << "mtools, ffmpeg or exiftool missing";
    std::string why;
    ASSERT_TRUE(test::testMedia("demo", dir.path(), &why)) << why;  // card.img and its media/
    const std::string imageHash = test::sha256(dir / "card.img");
    test::LoopDevice loop(dir / "card.img");
    if (!loop.ok()) GTEST_SKIP() << loop.why();

    const test::HelperRun r = scan(loop.device());
    ASSERT_EQ(r.status, 0) << r.log;
    EXPECT_EQ(test::sha256(dir / "card.img"), imageHash) << "the card must never change";

    // Each source medium and the name it must come back under: live and deleted
    // directory entries keep theirs (a deleted short entry has lost its first
    // letter), the quick-formatted-over shoot is named by date and camera, and
    // a clip without a date by the counter.
    const std::map<std::string, std::string> expected = {
        {"a1.jpg", "2019-07-04_18-00-00_Canon_Canon-EOS-R6.jpeg"},
        {"a2.jpg", "2019-07-04_18-05-12_Canon_Canon-EOS-R6.jpeg"},
        {"a3.jpg", "2019-07-05_09-30-00_NIKON-CORPORATION_NIKON-Z-6.jpeg"},
        {"a4.mp4", R"(file_\d{4}\.mp4)"},
        {"b1.jpg", "DSC01001.jpg"},
        {"b2.jpg", "_SC01002.jpg"},  // "?" cannot be copied onto FAT, exFAT or NTFS drives
        {"b3.jpg", "DSC01003.jpg"},
        {"b4.png", "Screenshot.png"},
        {"b5.mov", R"(_0005\.mov)"},
    };
    const auto recovered = test::recoveredHashes(out);
    EXPECT_EQ(recovered.size(), expected.size());
    std::vector<std::string> carved;
    for (const auto& [source, pattern] : expected) {
        const std::string want = test::sha256(dir / "media" / source);
        std::vector<std::string> names;
        for (const auto& [name, h] : recovered)
            if (h == want) names.push_back(name);
        ASSERT_EQ(names.size(), 1u) << source << " must come back whole exactly once";
        EXPECT_TRUE(std::regex_match(names[0], std::regex(pattern))) << source << " came back as " << names[0];
        if (source[0] == 'a') carved.push_back(names[0]);
    }
    // Directory-recovered files have thumbnails too, each its own, as the records name them.
    const auto thumbs = thumbnailsOf(r.records);
    EXPECT_EQ(thumbs.size(), expected.size());
    for (const auto& [name, thumb] : thumbs) {
        EXPECT_EQ(thumb, fs::path(name).stem().string() + ".thumb.jpg") << "the usual name, where no other file has it";
        EXPECT_TRUE(isJpeg(out / thumb)) << "no thumbnail for " << name;
    }
    expectOwnedByUser(out);

    // The report: one FOUND row for each carved file (directory files get none), and the count.
    const std::string report = test::readText(kDiag);
    struct stat st {};
    ASSERT_EQ(::stat(kDiag.c_str(), &st), 0) << "no report written";
    EXPECT_EQ(st.st_uid, kUid);
    EXPECT_NE(report.find("Disk : " + loop.device() + "  (268.4 MB)\n"), std::string::npos) << report;
    EXPECT_NE(report.find("FAT  : 5 hints\n"), std::string::npos) << report;
    std::size_t foundRows = 0;
    for (std::size_t p = 0; (p = report.find("  FOUND → ", p)) != std::string::npos; p += 1) ++foundRows;
    EXPECT_EQ(foundRows, carved.size()) << report;
    for (const std::string& name : carved) {
        const std::regex row("\\n0x[0-9A-F]{9}  (JPEG |MP4  )  [0-9.]+ [KM]B +  FOUND → " + std::regex_replace(name, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)") + "\\n");
        EXPECT_TRUE(std::regex_search(report, row)) << name << " has no FOUND row in\n" << report;
    }
    EXPECT_NE(report.find("--- Summary ---\nExported : 9 files\nScanned  : 268.4 MB"), std::string::npos) << report;

    expectOrderlyRecords(r.records, 9);
}

// An exFAT card with live photos, one fragmented by first-fit allocation into
// a deleted photo's hole, and a deleted photo whose clusters are still free.
TEST_F(HelperCard, ExFatCardWithFragmentedAndDeletedPhotos) {
    struct Photo {
        std::string path;
        std::vector<std::uint8_t> data;
    };
    std::vector<Photo> live = {
        {"/DCIM/100MSDCF/DSC00001.JPG", test::makeJpeg(150'000, 1, "2024:02:03 10:00:00", "SONY", "ILCE-7M4")},
        {"/DCIM/100MSDCF/B.JPG", test::makeJpeg(120'000, 2)},
        {"/DCIM/100MSDCF/DSC00003.JPG", test::makeJpeg(150'000, 3)},
        {"/DCIM/101MSDCF/Holiday photo.JPG", test::makeJpeg(300'000, 4)},
    };
    const Photo fragmented{"/DCIM/100MSDCF/DSC_FRAGMENTED_0004.JPG", test::makeJpeg(200'000, 5)};
    const Photo deleted{"/DCIM/100MSDCF/DSC_DELETED_00005.JPG", test::makeJpeg(130'000, 6)};
    // Real pictures, each a different one: a RAW+JPEG pair, the extensions
    // cameras write for HEIF and multi-picture JPEGs, and a name that looks
    // like a thumbnail's.
    if (!test::haveTool("heif-enc") || !test::haveTool("convert")) GTEST_SKIP() << "heif-enc or ImageMagick missing";
    auto picture = [&](const std::string& name, const std::string& colour, int w, int h) {
        const fs::path p = dir / name;
        const auto r = test::run("convert -size " + std::to_string(w) + "x" + std::to_string(h) + " xc:" + colour +
                                 " +noise Random -quality 95 '" + p.string() + "'");
        EXPECT_EQ(r.status, 0) << r.output;
        return p;
    };
    const auto heif = test::run("heif-enc -q 90 '" + picture("h.png", "green", 1200, 900).string() + "' -o '" +
                                (dir / "h.heic").string() + "'");
    ASSERT_EQ(heif.status, 0) << heif.output;
    const std::vector<Photo> named = {
        {"/DCIM/100CANON/IMG_0007.JPG", test::readFile(picture("p.jpg", "red", 900, 600))},
        {"/DCIM/100CANON/IMG_0007.DNG",
         test::makeDng(test::readFile(picture("q.jpg", "blue", 600, 450)), 600, 450, 1600, 1400)},
        {"/DCIM/100_FUJI/DSCF0008.HIF", test::readFile(dir / "h.heic")},
        {"/DCIM/100_FUJI/DSCF0009.MPO", test::mpfJpeg(test::readFile(picture("m.jpg", "yellow", 800, 600)),
                                                      test::readFile(picture("n.jpg", "white", 160, 120)))},
        {"/DCIM/100_FUJI/DSCF0010.JPE", test::readFile(picture("e.jpg", "cyan", 700, 700))},
        {"/DCIM/file_0001.thumb.jpg", test::readFile(picture("t.jpg", "magenta", 640, 480))},
    };

    test::VolumeImage card(test::VolumeImage::Kind::exfat, dir / "card.img");
    card.sizeMiB(32).mbr().mkdir("/DCIM/100MSDCF").mkdir("/DCIM/101MSDCF").mkdir("/DCIM/100CANON").mkdir("/DCIM/100_FUJI");
    int k = 0;
    auto put = [&](const Photo& p) {
        const fs::path src = dir / ("src" + std::to_string(k++));
        test::writeFile(src, p.data);
        card.put(src, p.path);
    };
    for (const Photo& p : live) put(p);
    for (const Photo& p : named) put(p);
    // B's hole is too small for the next photo, which takes it and what follows: a FAT chain.
    card.del("/DCIM/100MSDCF/B.JPG");
    put(fragmented);
    put(deleted);
    card.del(deleted.path);
    const auto built = card.build();
    if (built.skipped()) GTEST_SKIP() << "cannot build an exFAT card here: " << built.output;
    ASSERT_TRUE(built.ok()) << built.output;
    const std::string imageHash = test::sha256(dir / "card.img");
    test::LoopDevice loop(dir / "card.img");
    if (!loop.ok()) GTEST_SKIP() << loop.why();

    const test::HelperRun r = scan(loop.device());
    ASSERT_EQ(r.status, 0) << r.log;
    EXPECT_EQ(test::sha256(dir / "card.img"), imageHash);

    const std::map<std::string, const std::vector<std::uint8_t>*> expected = {
        {"DSC00001.jpg", &live[0].data},           {"DSC00003.jpg", &live[2].data},
        {"Holiday photo.jpg", &live[3].data},      {"DSC_FRAGMENTED_0004.jpg", &fragmented.data},
        {"DSC_DELETED_00005.jpg", &deleted.data},  {"IMG_0007.jpg", &named[0].data},
        {"IMG_0007.dng", &named[1].data},          {"DSCF0008.hif", &named[2].data},
        {"DSCF0009.mpo", &named[3].data},          {"DSCF0010.jpe", &named[4].data},
        {"file_0001.thumb_1.jpg", &named[5].data},
    };
    const auto recovered = test::recoveredHashes(out);
    std::map<std::string, std::string> want;
    for (const auto& [name, data] : expected) want[name] = test::sha256(*data);
    EXPECT_EQ(recovered, want) << "every photo by its own name, whole, and nothing else (B was overwritten)";
    expectOwnedByUser(out);
    // Every file has a thumbnail of its own, made from its own picture; the
    // pair's second file keeps its extension in its thumbnail's name.
    const auto thumbs = thumbnailsOf(r.records);
    EXPECT_EQ(thumbs.size(), expected.size());
    EXPECT_EQ(thumbs.at("IMG_0007.jpg"), "IMG_0007.thumb.jpg");
    EXPECT_EQ(thumbs.at("IMG_0007.dng"), "IMG_0007.dng.thumb.jpg");
    EXPECT_EQ(thumbs.at("file_0001.thumb_1.jpg"), "file_0001.thumb_1.thumb.jpg");
    std::set<std::string> pictures;
    for (const std::string name : {"IMG_0007.jpg", "IMG_0007.dng", "DSCF0008.hif", "DSCF0009.mpo", "DSCF0010.jpe",
                                   "file_0001.thumb_1.jpg"}) {
        const fs::path thumb = out / thumbs.at(name);
        EXPECT_TRUE(isJpeg(thumb)) << "no thumbnail for " << name;
        if (fs::exists(thumb)) pictures.insert(test::sha256(thumb));
    }
    EXPECT_EQ(pictures.size(), 6u) << "a file shows another file's picture";

    const std::string report = test::readText(kDiag);
    EXPECT_NE(report.find("FAT  : 11 hints\n"), std::string::npos) << report;
    EXPECT_EQ(report.find("  FOUND → "), std::string::npos) << "nothing was carved:\n" << report;
    EXPECT_NE(report.find("Exported : 11 files\n"), std::string::npos) << report;
    expectOrderlyRecords(r.records, 11);
}

}  // namespace
}  // namespace vf
