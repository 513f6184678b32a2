// Whole cards on read-only loop devices, scanned by the root scanner as the
// application runs it (with SUDO_UID and SUDO_GID set, watched through its progress
// file) and by the command line on the image itself; both must bring back the same.

#include "common/ByteReader.h"
#include "common/Records.h"
#include "tests/support/EndToEnd.h"
#include "tests/support/MediaSynthetic.h"
#include "tests/support/Synthetic.h"
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
using namespace std::string_literals;

// exFAT's entry-set checksum: every byte of the set but the checksum field itself.
std::uint16_t entrySetChecksum(std::span<const std::uint8_t> set) {
    std::uint16_t sum = 0;
    for (std::size_t i = 0; i < set.size(); ++i)
        if (i != 2 && i != 3) sum = static_cast<std::uint16_t>(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + set[i]);
    return sum;
}

// Gives every entry set named "P", a letter and padding the name of the same length that
// `names` holds at the letter's place, keeping the set's checksum valid. Returns how many.
int renameEntries(test::ByteWriter& card, const std::vector<std::pair<std::u16string, std::string>>& names) {
    const std::vector<std::uint8_t>& image = card.bytes;
    int done = 0;
    for (std::size_t i = 0; i + 96 <= image.size(); i += 32) {
        const std::size_t size = 32 * (image[i + 1] + 1), n = image[i + 68] - std::size_t{'A'};
        // Photo data may look like an entry by chance; a real set carries its checksum.
        if (image[i] != 0x85 || image[i + 64] != 0xC1 || image[i + 66] != 'P' || n >= names.size() ||
            i + size > image.size() || entrySetChecksum({image.data() + i, size}) != *ByteReader(image).le16(i + 2))
            continue;
        for (std::size_t u = 0; u < names[n].first.size(); ++u)
            card.u16(i + 66 + 32 * (u / 15) + 2 * (u % 15), names[n].first[u]);
        card.u16(i + 2, entrySetChecksum({image.data() + i, size}));
        ++done;
    }
    return done;
}

// Every path under `root`, and those outside it that a hostile name leads to, so that
// anything a scan made outside its folder shows.
std::set<std::string> tree(const fs::path& root) {
    std::set<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(root)) out.insert(fs::relative(e.path(), root).string());
    for (const char* p : {"/etc/x.jpg", "/abs.jpg", "/c.jpg", "/tmp/c.jpg", "/tmp/x.jpg"})
        if (fs::exists(p)) out.insert(p);
    return out;
}

std::string quoted(const std::string& name) {
    return std::regex_replace(name, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
}

constexpr std::uint32_t kUid = 4321, kGid = 1234;
const fs::path kDiag = "/tmp/tessarine_diag.txt";

// What a reader polling the progress file saw: every record decodes, phases come
// in order (a phase that is none of these is a fault), counts never fall and the
// file list only grows. `thumbs`: each file's thumbnail as the last list names it.
void expectOrderlyRecords(const std::vector<std::string>& records, std::int64_t finalFiles,
                          std::map<std::string, std::string>& thumbs) {
    static const std::regex phases[] = {
        std::regex("Unmounting disk…"), std::regex(R"(Recovered \d+ file\(s\) from directory)"),
        std::regex("Starting scan"),    std::regex(R"(Found \d+ file\(s\)|Scanning at \d+\.\d MB/s)"),
        std::regex("Scan complete"),    std::regex(R"(Complete — Found \d+ file\(s\))"),
        std::regex("Complete")};
    ASSERT_GE(records.size(), 3u);
    std::size_t rank = 0;
    ProgressInfo last;
    std::vector<std::string> list;
    for (const std::string& text : records) {
        const auto rec = decodeProgress(text);
        ASSERT_TRUE(rec) << "undecodable record: " << text;
        std::size_t r = 0;
        while (r < std::size(phases) && !std::regex_match(rec->phase, phases[r])) ++r;
        EXPECT_TRUE(r < std::size(phases) && r >= rank) << "phase '" << rec->phase << "' out of order in " << text;
        rank = std::max(rank, r);
        EXPECT_TRUE(rec->filesFound >= last.filesFound && rec->bytesScanned >= last.bytesScanned) << text;
        EXPECT_TRUE(rec->isComplete == (rec->phase == "Complete") && !rec->errorMessage) << text;
        last = *rec;
        if (!rec->newFiles) continue;
        ASSERT_GE(rec->newFiles->size(), list.size()) << "the file list shrank: " << text;
        for (std::size_t i = 0; i < list.size(); ++i) EXPECT_EQ((*rec->newFiles)[i].fileName, list[i]) << text;
        for (std::size_t i = list.size(); i < rec->newFiles->size(); ++i) list.push_back((*rec->newFiles)[i].fileName);
        EXPECT_EQ(static_cast<std::int64_t>(list.size()), rec->filesFound) << text;
        thumbs.clear();
        for (const auto& f : *rec->newFiles) thumbs[f.fileName] = f.thumbName.value_or("");
    }
    EXPECT_EQ(last.phase, "Complete");
    EXPECT_EQ(last.filesFound, finalFiles);
    EXPECT_EQ(static_cast<std::int64_t>(list.size()), finalFiles);
}

// A file a card must give back: its name (a pattern) and bytes, and whether carving finds it.
struct Want {
    std::string name, hash;
    bool carved = false;
};

// Scans card.img in `dir` with both programs, each output folder two levels down (so that
// "../../" would land in the test's own folder), and checks what every card must
// give: the wanted files whole, once, and nothing else, under safe names owned
// by the user, each with a thumbnail of its own, the report, the records, and
// nothing written outside the folders. The thumbnails of `pictures` must each show
// their own picture; with none named, every file's must be a picture.
void scanBoth(const fs::path& dir, const std::vector<Want>& want, const std::set<std::string>& pictures, int hints,
              const std::string& megabytes) {
    // A report left by another user's run would not be replaced (rightly); start clean.
    fs::remove(kDiag);
    ::chmod(dir.c_str(), 0777);
    const std::string image = dir / "card.img", imageHash = test::sha256(image);
    test::LoopDevice loop(image);
    if (!loop.ok()) GTEST_SKIP() << loop.why();
    for (const char* folder : {"a/b", "c/d"}) fs::create_directories(dir / folder);
    EXPECT_EQ(::chown((dir / "a" / "b").c_str(), kUid, kGid), 0);  // the scanner makes it as the user
    const std::set<std::string> before = tree(dir);

    const fs::path out = dir / "a" / "b" / "helper", cli = dir / "c" / "d" / "cli", progress = dir / "progress.json";
    const test::HelperRun r = test::runHelper({loop.device(), out, progress, dir / "control"}, progress,
                                              {"SUDO_UID=4321", "SUDO_GID=1234"});
    EXPECT_EQ(r.status, 0) << r.log;
    const auto c = test::run(test::binPath("tessarine") + " scan " + test::shellQuoted(image) + " --output " +
                             test::shellQuoted(cli) + " --no-thumbnails --report " +
                             test::shellQuoted(dir / "diag.txt"));
    EXPECT_EQ(c.status, 0) << c.output;
    EXPECT_EQ(test::sha256(image), imageHash) << "the card must never change";
    const std::regex allowed("(a/b/helper|c/d/cli)(/.*)?|diag\\.txt|progress\\.json");
    for (const std::string& p : tree(dir))
        EXPECT_TRUE(before.count(p) || std::regex_match(p, allowed)) << "made outside the output folder: " << p;

    // The names wanted are exact; the hidden ones they leave out may be the folder's manifest alone.
    auto owner = [](const fs::path& p) {
        struct stat st {};
        if (::lstat(p.c_str(), &st) != 0) return std::tuple(0u, 0u, 0u);
        return std::tuple(st.st_uid, st.st_gid, st.st_mode & 07777);
    };
    EXPECT_EQ(owner(out), std::tuple(kUid, kGid, 0755u));
    for (const fs::path& folder : {out, cli})
        for (const auto& e : fs::directory_iterator(folder)) {
            const std::string name = e.path().filename();
            EXPECT_TRUE(e.is_regular_file() && !e.is_symlink() && (name[0] != '.' || name == ".vf-recovered")) << name;
            EXPECT_TRUE(folder == cli || owner(e.path()) == std::tuple(kUid, kGid, 0644u)) << name << " not the user's";
        }
    const auto recovered = test::recoveredHashes(out);
    EXPECT_EQ(test::recoveredHashes(cli), recovered);
    EXPECT_EQ(recovered.size(), want.size());
    for (const Want& w : want) {
        const auto named = [&](const auto& f) {
            return f.second == w.hash && std::regex_match(f.first, std::regex(w.name));
        };
        EXPECT_EQ(std::count_if(recovered.begin(), recovered.end(), named), 1) << w.name << " not back whole, once";
    }

    // A thumbnail of its own for every file, under its stem's name where no other file has that stem
    // (the second of a RAW+JPEG pair keeps its extension).
    std::map<std::string, std::string> thumbs;
    expectOrderlyRecords(r.records, static_cast<std::int64_t>(want.size()), thumbs);
    EXPECT_EQ(thumbs.size(), want.size());
    std::set<std::string> taken, looks;
    std::multiset<std::string> stems;
    for (const auto& [name, thumb] : thumbs) stems.insert(fs::path(name).stem());
    for (const auto& [name, thumb] : thumbs) {
        const std::string stem = fs::path(name).stem();
        EXPECT_TRUE(taken.insert(thumb).second) << thumb << " is shared";
        EXPECT_TRUE(thumb == stem + ".thumb.jpg" || (stems.count(stem) > 1 && thumb == name + ".thumb.jpg")) << thumb;
        if (!pictures.empty() && !pictures.count(name)) continue;
        const auto bytes = test::readFile(out / thumb);
        EXPECT_TRUE(bytes.size() > 4 && bytes[0] == 0xFF && bytes[1] == 0xD8) << "no thumbnail for " << name;
        EXPECT_TRUE(pictures.empty() || looks.insert(test::sha256(bytes)).second) << name << " shows another's picture";
    }

    // The report: one FOUND row for each carved file (directory files get none), and the counts.
    const std::string report = test::readText(kDiag);
    EXPECT_EQ(std::get<0>(owner(kDiag)), kUid) << "no report of the user's";
    for (const std::string& line :
         {"Disk : " + loop.device() + "  (" + megabytes + ")\n", "FAT  : " + std::to_string(hints) + " hints\n",
          "--- Summary ---\nExported : " + std::to_string(want.size()) + " files\nScanned  : " + megabytes})
        EXPECT_NE(report.find(line), std::string::npos) << line << " not in\n" << report;
    auto rows = [&](const std::string& pattern) {
        const std::regex row(pattern);
        return std::distance(std::sregex_iterator(report.begin(), report.end(), row), {});
    };
    for (const Want& w : want)
        EXPECT_EQ(rows("\\n0x[0-9A-F]{9}  (JPEG |MP4  )  [0-9.]+ [KM]B +  FOUND → " + w.name + "\\n"), w.carved)
            << w.name << " in\n" << report;
    EXPECT_EQ(rows("  FOUND → "), std::count_if(want.begin(), want.end(), [](const Want& w) { return w.carved; }));
    fs::remove(kDiag);
}


TEST(HelperCard, DemoCardComesBackWholeAndOwnedByTheUser) {
    const test::TempDir dir;
    std::string why;
    ASSERT_TRUE(test::testMedia("demo", dir.path(), &why)) << why;  // card.img and its media/
    auto media = [&](const char* name) { return test::sha256(dir / "media" / name); };
    // Live and deleted directory entries keep their names (a deleted short entry has lost
    // its first letter), the quick-formatted-over shoot is named by date and camera, and a
    // clip without a date by the counter.
    const std::vector<Want> want = {
        {"2019-07-04_18-00-00_Canon_Canon-EOS-R6\\.jpeg", media("a1.jpg"), true},
        {"2019-07-04_18-05-12_Canon_Canon-EOS-R6\\.jpeg", media("a2.jpg"), true},
        {"2019-07-05_09-30-00_NIKON-CORPORATION_NIKON-Z-6\\.jpeg", media("a3.jpg"), true},
        {R"(file_\d{4}\.mp4)", media("a4.mp4"), true},
        {"DSC01001\\.jpg", media("b1.jpg")},
        {"_SC01002\\.jpg", media("b2.jpg")},  // "?" cannot be copied onto FAT, exFAT or NTFS drives
        {"DSC01003\\.jpg", media("b3.jpg")},
        {"Screenshot\\.png", media("b4.png")},
        {R"(_0005\.mov)", media("b5.mov")},
    };
    scanBoth(dir.path(), want, {}, 5, "268.4 MB");
}

// An exFAT card with live photos, one fragmented by first-fit allocation into a
// deleted photo's hole, a deleted photo whose clusters are still free, real
// pictures of the kinds cameras write, and names that try to leave the output
// folder, hide, or carry control characters. The tools make harmless names of
// the same lengths, whose entries are then rewritten in place.
TEST(HelperCard, ExFatCardOfPicturesAndHostileNames) {
    const test::TempDir dir;
    if (!test::haveTool("convert")) GTEST_SKIP() << "ImageMagick missing";
    auto picture = [&](const std::string& name, const std::string& colour, const std::string& size) {
        const auto r = test::run("convert -size " + size + " xc:" + colour + " +noise Random -quality 95 " +
                                 test::shellQuoted(dir / name));
        EXPECT_EQ(r.status, 0) << r.output;
        return test::readFile(dir / name);
    };
    // By the name each must come back under and where it is put. B is deleted and
    // overwritten; a RAW+JPEG pair, and a name that looks like a thumbnail's.
    const std::vector<std::tuple<std::string, std::string, std::vector<std::uint8_t>>> named = {
        {"DSC00001.jpg", "/DCIM/100MSDCF/DSC00001.JPG", test::makeJpeg(150'000, 1, "2024:02:03 10:00:00", "SONY", "ILCE-7M4")},
        {"B.jpg", "/DCIM/100MSDCF/B.JPG", test::makeJpeg(120'000, 2)},
        {"DSC00003.jpg", "/DCIM/100MSDCF/DSC00003.JPG", test::makeJpeg(150'000, 3)},
        {"Holiday photo.jpg", "/DCIM/101MSDCF/Holiday photo.JPG", test::makeJpeg(300'000, 4)},
        {"IMG_0007.jpg", "/DCIM/100CANON/IMG_0007.JPG", picture("p.jpg", "red", "900x600")},
        {"IMG_0007.dng", "/DCIM/100CANON/IMG_0007.DNG", test::makeDng(picture("q.jpg", "blue", "600x450"), 600, 450, 1600, 1400)},
        {"DSCF0008.hif", "/DCIM/100_FUJI/DSCF0008.HIF", picture("h.heic", "green", "400x300")},
        {"DSCF0009.mpo", "/DCIM/100_FUJI/DSCF0009.MPO",
         test::mpfJpeg(picture("m.jpg", "yellow", "800x600"), picture("n.jpg", "white", "160x120"))},
        {"DSCF0010.jpe", "/DCIM/100_FUJI/DSCF0010.JPE", picture("e.jpg", "cyan", "700x700")},
        {"file_0001.thumb_1.jpg", "/DCIM/file_0001.thumb.jpg", picture("t.jpg", "magenta", "640x480")},
        {"DSC_FRAGMENTED_0004.jpg", "/DCIM/100MSDCF/DSC_FRAGMENTED_0004.JPG", test::makeJpeg(200'000, 5)},
        {"DSC_DELETED_00005.jpg", "/DCIM/100MSDCF/DSC_DELETED_00005.JPG", test::makeJpeg(130'000, 6)},
    };
    std::string longName;  // 251 "é" cut to 200 bytes at a character boundary
    for (int i = 0; i < 100; ++i) longName += "\xC3\xA9";
    const std::vector<std::pair<std::u16string, std::string>> hostile = {  // the name and what it must become
        {u"../../etc/x.jpg", "_._.._etc_x.jpg"},
        {u"/abs.jpg", "_abs.jpg"},
        {u"a/b/../../../../c.jpg", "a_b_.._.._.._.._c.jpg"},
        {u"nul\0evil.jpg"s, "nul_evil.jpg"},
        {u"ctl\x01\n\x1B[31m\x7F.jpg", "ctl___[31m_.jpg"},
        {u".hidden.jpg", "_hidden.jpg"},
        {u"..jpg", "_.jpg"},
        {u".jpg", ""},  // nothing is left of it but its extension: numbered
        {u"bad\xD800.jpg", "bad\xEF\xBF\xBD.jpg"},
        {std::u16string(251, u'\u00E9') + u".jpg", longName + ".jpg"},
    };

    test::VolumeImage card(test::VolumeImage::Kind::exfat, dir / "card.img");
    card.sizeMiB(32).mbr().mkdir("/DCIM/100MSDCF").mkdir("/DCIM/101MSDCF").mkdir("/DCIM/100CANON").mkdir("/DCIM/100_FUJI");
    int k = 0;
    auto put = [&](const std::vector<std::uint8_t>& data, const std::string& path) {
        const fs::path src = dir / ("src" + std::to_string(k++));
        test::writeFile(src, data);
        card.put(src, path);
    };
    std::vector<Want> want;
    std::set<std::string> pictures;
    for (std::size_t n = 0; n < named.size(); ++n) {
        const auto& [name, path, data] = named[n];
        if (n != 1) want.push_back({quoted(name), test::sha256(data)});
        if (n >= 4 && n <= 9) pictures.insert(name);
        if (n < 10) put(data, path);
    }
    for (std::size_t n = 0; n < hostile.size(); ++n) {
        std::string harmless = std::string("P") + static_cast<char>('A' + n);
        harmless.resize(hostile[n].first.size(), 'x');
        const auto jpeg = test::makeJpeg(110'000 + 1000 * n, static_cast<std::uint32_t>(70 + n));
        const std::string& name = hostile[n].second;
        want.push_back({name.empty() ? R"(recovered_\d+\.jpg)" : quoted(name), test::sha256(jpeg)});
        put(jpeg, "/DCIM/" + harmless);
    }
    // B's hole is too small for the next photo, which takes it and what follows: a FAT
    // chain. The last photo is deleted with its clusters left free.
    card.del(std::get<1>(named[1]));
    for (std::size_t n : {10, 11}) put(std::get<2>(named[n]), std::get<1>(named[n]));
    card.del(std::get<1>(named[11]));
    const auto built = card.build();
    if (built.skipped()) GTEST_SKIP() << "cannot build an exFAT card here: " << built.output;
    ASSERT_TRUE(built.ok()) << built.output;
    test::ByteWriter image;
    image.bytes = test::readFile(dir / "card.img");
    ASSERT_EQ(renameEntries(image, hostile), static_cast<int>(hostile.size()));
    test::writeFile(dir / "card.img", image.bytes);
    scanBoth(dir.path(), want, pictures, 21, "33.6 MB");
}

}  // namespace
}  // namespace vf
