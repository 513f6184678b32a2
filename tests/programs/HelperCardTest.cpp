// The root scanner on read-only loop devices of whole cards, run as the
// application runs it (with SUDO_UID and SUDO_GID set) and watched through its
// progress file while it scans.

#include "common/ByteReader.h"
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
using Units = std::vector<std::uint16_t>;

Units ascii(std::string_view s) { return Units(s.begin(), s.end()); }
Units operator+(Units a, const Units& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// exFAT's entry-set checksum: every byte of the set but the checksum field itself.
std::uint16_t entrySetChecksum(std::span<const std::uint8_t> set) {
    std::uint16_t sum = 0;
    for (std::size_t i = 0; i < set.size(); ++i) {
        if (i == 2 || i == 3) continue;
        sum = static_cast<std::uint16_t>(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + set[i]);
    }
    return sum;
}

// The name hash over the up-cased name; the up-case table of mkfs maps a-z and
// the Latin-1 small letters, which is all these names use.
std::uint16_t nameHash(const Units& name) {
    std::uint16_t hash = 0;
    for (std::uint16_t u : name) {
        if ((u >= 'a' && u <= 'z') || (u >= 0xE0 && u <= 0xFE && u != 0xF7)) u = static_cast<std::uint16_t>(u - 0x20);
        for (std::uint8_t b : {static_cast<std::uint8_t>(u), static_cast<std::uint8_t>(u >> 8)})
            hash = static_cast<std::uint16_t>(((hash & 1) ? 0x8000 : 0) + (hash >> 1) + b);
    }
    return hash;
}

void putLe16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

// Rewrites the name of every entry set whose name is a key of `renames`, which
// must keep its length in code units. Returns how many were rewritten (none
// when the checksum rule above were not exFAT's); checks the hash rule on each set.
int renameEntries(std::vector<std::uint8_t>& image, const std::map<Units, Units>& renames) {
    int done = 0;
    for (std::size_t i = 0; i + 96 <= image.size(); i += 32) {
        const ByteReader r(image);
        const std::size_t secondaries = image[i + 1];
        if (image[i] != 0x85 || secondaries < 2 || image[i + 32] != 0xC0 || !r.has(i, 32 * (secondaries + 1))) continue;
        const std::size_t nameLength = image[i + 32 + 3];
        Units name;
        for (std::size_t k = 2; k <= secondaries; ++k) {
            const std::size_t e = i + 32 * k;
            if (image[e] != 0xC1) break;
            for (std::size_t u = 0; u < 15 && name.size() < nameLength; ++u) name.push_back(*r.le16(e + 2 + 2 * u));
        }
        const std::span<const std::uint8_t> set(image.data() + i, 32 * (secondaries + 1));
        // Photo data may look like an entry by chance; a real set carries its checksum.
        if (entrySetChecksum(set) != *r.le16(i + 2)) continue;
        EXPECT_EQ(nameHash(name), *r.le16(i + 32 + 4)) << "name hash rule differs from the card's";
        const auto it = renames.find(name);
        if (it == renames.end()) continue;
        const Units& to = it->second;
        EXPECT_EQ(to.size(), name.size());
        for (std::size_t n = 0; n < to.size(); ++n) putLe16(image, i + 64 + 32 * (n / 15) + 2 + 2 * (n % 15), to[n]);
        putLe16(image, i + 32 + 4, nameHash(to));
        putLe16(image, i + 2, entrySetChecksum(set));
        ++done;
    }
    return done;
}

bool validUtf8(const std::string& s) {
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        const std::size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (len == 0 || i + len > s.size()) return false;
        for (std::size_t k = 1; k < len; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += len;
    }
    return true;
}

// Every path under `root`, so that anything a scan made outside its folder shows.
std::set<std::string> tree(const fs::path& root) {
    std::set<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(root)) out.insert(fs::relative(e.path(), root).string());
    return out;
}


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
    // The command line on the image itself must bring back the same.
    const auto cli = test::run(test::binPath("tessarine") + " scan " + test::shellQuoted(dir / "card.img") + " --output " +
                               test::shellQuoted(dir / "cli") + " --report " + test::shellQuoted(dir / "diag.txt"));
    ASSERT_EQ(cli.status, 0) << cli.output;
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
    EXPECT_EQ(test::recoveredHashes(dir / "cli"), test::recoveredHashes(out));
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

// An exFAT card with live photos, one fragmented by first-fit allocation into a
// deleted photo's hole, a deleted photo whose clusters are still free, real
// pictures of the kinds cameras write, and names that try to leave the output
// folder, hide, or carry control characters. The tools make harmless names of
// the same lengths, whose entries are then rewritten in place with valid
// entry-set checksums and name hashes. Scanned by both programs.
TEST_F(HelperCard, ExFatCardOfPicturesAndHostileNames) {
    if (!test::haveTool("heif-enc") || !test::haveTool("convert")) GTEST_SKIP() << "heif-enc or ImageMagick missing";
    struct Photo {
        std::string path;
        std::vector<std::uint8_t> data;
    };
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
    // By the name each must come back under. B is deleted and overwritten; a RAW+JPEG
    // pair, and a name that looks like a thumbnail's.
    const std::vector<std::pair<std::string, Photo>> named = {
        {"DSC00001.jpg", {"/DCIM/100MSDCF/DSC00001.JPG", test::makeJpeg(150'000, 1, "2024:02:03 10:00:00", "SONY", "ILCE-7M4")}},
        {"B.jpg", {"/DCIM/100MSDCF/B.JPG", test::makeJpeg(120'000, 2)}},
        {"DSC00003.jpg", {"/DCIM/100MSDCF/DSC00003.JPG", test::makeJpeg(150'000, 3)}},
        {"Holiday photo.jpg", {"/DCIM/101MSDCF/Holiday photo.JPG", test::makeJpeg(300'000, 4)}},
        {"IMG_0007.jpg", {"/DCIM/100CANON/IMG_0007.JPG", test::readFile(picture("p.jpg", "red", 900, 600))}},
        {"IMG_0007.dng", {"/DCIM/100CANON/IMG_0007.DNG",
                          test::makeDng(test::readFile(picture("q.jpg", "blue", 600, 450)), 600, 450, 1600, 1400)}},
        {"DSCF0008.hif", {"/DCIM/100_FUJI/DSCF0008.HIF", test::readFile(dir / "h.heic")}},
        {"DSCF0009.mpo", {"/DCIM/100_FUJI/DSCF0009.MPO", test::mpfJpeg(test::readFile(picture("m.jpg", "yellow", 800, 600)),
                                                                       test::readFile(picture("n.jpg", "white", 160, 120)))}},
        {"DSCF0010.jpe", {"/DCIM/100_FUJI/DSCF0010.JPE", test::readFile(picture("e.jpg", "cyan", 700, 700))}},
        {"file_0001.thumb_1.jpg", {"/DCIM/file_0001.thumb.jpg", test::readFile(picture("t.jpg", "magenta", 640, 480))}},
        {"DSC_FRAGMENTED_0004.jpg", {"/DCIM/100MSDCF/DSC_FRAGMENTED_0004.JPG", test::makeJpeg(200'000, 5)}},
        {"DSC_DELETED_00005.jpg", {"/DCIM/100MSDCF/DSC_DELETED_00005.JPG", test::makeJpeg(130'000, 6)}},
    };
    std::string longName;  // 251 "é" cut to 200 bytes at a character boundary
    for (int i = 0; i < 100; ++i) longName += "\xC3\xA9";
    const std::vector<std::pair<Units, std::string>> hostile = {  // the name and what it must become
        {ascii("../../etc/x.jpg"), "_._.._etc_x.jpg"},
        {ascii("/abs.jpg"), "_abs.jpg"},
        {ascii("a/b/../../../../c.jpg"), "a_b_.._.._.._.._c.jpg"},
        {ascii("nul") + Units{0} + ascii("evil.jpg"), "nul_evil.jpg"},
        {ascii("ctl") + Units{0x01, 0x0A, 0x1B, '[', '3', '1', 'm', 0x7F} + ascii(".jpg"), "ctl___[31m_.jpg"},
        {ascii(".hidden.jpg"), "_hidden.jpg"},
        {ascii("..jpg"), "_.jpg"},
        {ascii(".jpg"), ""},  // nothing is left of it but its extension: numbered
        {ascii("bad") + Units{0xD800} + ascii(".jpg"), "bad\xEF\xBF\xBD.jpg"},
        {Units(251, 0x00E9) + ascii(".jpg"), longName + ".jpg"},
    };

    test::VolumeImage card(test::VolumeImage::Kind::exfat, dir / "card.img");
    card.sizeMiB(32).mbr().mkdir("/DCIM/100MSDCF").mkdir("/DCIM/101MSDCF").mkdir("/DCIM/100CANON").mkdir("/DCIM/100_FUJI");
    int k = 0;
    auto put = [&](const std::vector<std::uint8_t>& data, const std::string& path) {
        const fs::path src = dir / ("src" + std::to_string(k++));
        test::writeFile(src, data);
        card.put(src, path);
    };
    std::multiset<std::string> sources;
    for (std::size_t n = 0; n < named.size(); ++n) {
        if (n != 1) sources.insert(test::sha256(named[n].second.data));
        if (n < 10) put(named[n].second.data, named[n].second.path);
    }
    std::map<Units, Units> renames;
    for (std::size_t n = 0; n < hostile.size(); ++n) {
        std::string harmless = "P" + std::string(1, static_cast<char>('A' + n));
        harmless.resize(hostile[n].first.size(), 'x');
        renames[ascii(harmless)] = hostile[n].first;
        const auto jpeg = test::makeJpeg(110'000 + 1000 * n, static_cast<std::uint32_t>(70 + n));
        sources.insert(test::sha256(jpeg));
        put(jpeg, "/DCIM/" + harmless);
    }
    // B's hole is too small for the next photo, which takes it and what follows: a FAT
    // chain. The last photo is deleted with its clusters left free.
    card.del(named[1].second.path);
    for (std::size_t n : {10, 11}) put(named[n].second.data, named[n].second.path);
    card.del(named[11].second.path);
    const auto built = card.build();
    if (built.skipped()) GTEST_SKIP() << "cannot build an exFAT card here: " << built.output;
    ASSERT_TRUE(built.ok()) << built.output;
    auto image = test::readFile(dir / "card.img");
    ASSERT_EQ(renameEntries(image, renames), static_cast<int>(hostile.size()));
    test::writeFile(dir / "card.img", image);
    for (int n = 0; n < k; ++n) fs::remove(dir / ("src" + std::to_string(n)));
    const std::string imageHash = test::sha256(dir / "card.img");
    test::LoopDevice loop(dir / "card.img");
    if (!loop.ok()) GTEST_SKIP() << loop.why();

    // Each output folder two levels down, so that "../../" would land in the test's own folder.
    const std::vector<fs::path> outputs = {dir / "a" / "b" / "helper", dir / "c" / "d" / "cli"};
    fs::create_directories(dir / "a" / "b");
    fs::create_directories(dir / "c" / "d");
    ASSERT_EQ(::chown((dir / "a" / "b").c_str(), kUid, kGid), 0);  // the scanner makes it as the user
    const std::vector<fs::path> outside = {"/etc/x.jpg", "/abs.jpg", "/c.jpg", "/tmp/c.jpg", "/tmp/x.jpg"};
    std::vector<bool> existed;
    for (const auto& p : outside) existed.push_back(fs::exists(p));
    const std::set<std::string> before = tree(dir.path());

    out = outputs[0];
    const test::HelperRun r = scan(loop.device());
    ASSERT_EQ(r.status, 0) << r.log;
    const auto cli = test::run(test::binPath("tessarine") + " scan '" + (dir / "card.img").string() + "' --output '" +
                               outputs[1].string() + "' --no-thumbnails --report '" + (dir / "diag.txt").string() + "'");
    ASSERT_EQ(cli.status, 0) << cli.output;
    EXPECT_EQ(test::sha256(dir / "card.img"), imageHash);

    const std::set<std::string> allowed = {"a/b/helper", "c/d/cli", "diag.txt", "progress.json"};
    for (const std::string& p : tree(dir.path()))
        EXPECT_TRUE(before.count(p) || allowed.count(p) || p.rfind("a/b/helper/", 0) == 0 || p.rfind("c/d/cli/", 0) == 0)
            << "made outside the output folder: " << p;
    for (std::size_t n = 0; n < outside.size(); ++n) EXPECT_EQ(fs::exists(outside[n]), existed[n]) << outside[n];
    for (const auto& folder : outputs) {
        SCOPED_TRACE(folder.filename().string());
        for (const auto& e : fs::directory_iterator(folder)) {
            const std::string name = e.path().filename().string();
            EXPECT_TRUE(e.is_regular_file() && !e.is_symlink()) << name;
            if (name == ".vf-recovered") continue;  // the folder's own manifest
            EXPECT_NE(name[0], '.') << "hidden: " << name;
            EXPECT_TRUE(validUtf8(name)) << name;
            EXPECT_LE(name.size(), 255u) << name;
            for (unsigned char c : name) EXPECT_FALSE(c < 0x20 || c == 0x7F) << "control character in " << name;
        }
        const auto recovered = test::recoveredHashes(folder);
        EXPECT_EQ(test::hashValues(recovered), sources) << "every photo whole, once, and nothing else";
        for (const auto& [name, p] : named)
            EXPECT_EQ(recovered.count(name) ? recovered.at(name) : "", name == "B.jpg" ? "" : test::sha256(p.data)) << name;
        for (const auto& [units, name] : hostile) EXPECT_TRUE(name.empty() || recovered.count(name)) << "missing " << name;
        std::size_t numbered = 0;
        for (const auto& [name, h] : recovered) numbered += name.rfind("recovered_", 0) == 0;
        EXPECT_EQ(numbered, 1u) << "the nameless one is numbered";
    }
    expectOwnedByUser(out);
    // Every file has a thumbnail of its own, made from its own picture; the
    // pair's second file keeps its extension in its thumbnail's name.
    const auto thumbs = thumbnailsOf(r.records);
    EXPECT_EQ(thumbs.size(), sources.size());
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
    EXPECT_NE(report.find("FAT  : 21 hints\n"), std::string::npos) << report;
    EXPECT_EQ(report.find("  FOUND → "), std::string::npos) << "nothing was carved:\n" << report;
    EXPECT_NE(report.find("Exported : 21 files\n"), std::string::npos) << report;
    expectOrderlyRecords(r.records, 21);
}

}  // namespace
}  // namespace vf
