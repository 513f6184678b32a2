#include "helper/ControlFile.h"
#include "helper/DiagnosticReport.h"
#include "helper/OutputDirectory.h"
#include "helper/ProgressWriter.h"
#include "helper/Session.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>

namespace vf {
namespace {

namespace fs = std::filesystem;

TEST(ControlFile, WordsAndTrimming) {
    EXPECT_EQ(parseControlWord(" stop\n"), ControlWord::stop);
    EXPECT_EQ(parseControlWord("\tpause\r\n"), ControlWord::pause);
    EXPECT_EQ(parseControlWord("resume"), ControlWord::resume);
    EXPECT_EQ(parseControlWord("STOP"), ControlWord::none);
    EXPECT_EQ(parseControlWord("stop now"), ControlWord::none);
    EXPECT_EQ(parseControlWord(""), ControlWord::none);
}

TEST(ControlFile, OddFilesSayNothing) {
    test::TempDir dir;
    const std::uint32_t me = ::geteuid();
    EXPECT_EQ(readControlFile((dir / "missing").string(), me), ControlWord::none);
    EXPECT_EQ(readControlFile(dir.path().string(), me), ControlWord::none);  // a directory
    std::ofstream(dir / "c") << "stop\n";
    EXPECT_EQ(readControlFile((dir / "c").string(), me), ControlWord::stop);
    std::ofstream(dir / "huge") << std::string(1 << 20, ' ') << "stop";
    EXPECT_EQ(readControlFile((dir / "huge").string(), me), ControlWord::none);
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(readControlFile((dir / "fifo").string(), me), ControlWord::none);  // must not block
}

TEST(ControlFile, OnlyTheUsersOrRootsFileIsObeyed) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the file away";
    test::TempDir dir;
    std::ofstream(dir / "c") << "pause";
    const struct {
        std::uint32_t fileOwner, user;
        ControlWord word;
        bool foreign;
    } rows[] = {{4321, 4321, ControlWord::pause, false}, {0, 4321, ControlWord::pause, false},
                {4322, 4321, ControlWord::none, true}};
    for (const auto& row : rows) {
        SCOPED_TRACE("file of " + std::to_string(row.fileOwner) + ", user " + std::to_string(row.user));
        ASSERT_EQ(::chown((dir / "c").c_str(), row.fileOwner, row.fileOwner), 0);
        bool foreign = false;
        EXPECT_EQ(readControlFile((dir / "c").string(), row.user, &foreign), row.word);
        EXPECT_EQ(foreign, row.foreign);
    }
}

TEST(ProgressWriter, ReplacesWholeFileAndReusesEntries) {
    test::TempDir dir;
    ProgressWriter w((dir / "progress.json").string());
    ProgressInfo p;
    p.phase = "Found 1 file(s)";
    std::vector<RecoveredFileInfo> files(1);
    files[0].id = files[0].fileName = "a.jpeg";
    files[0].fileType = "JPEG";
    ASSERT_TRUE(w.write(p, files));
    files.push_back(files[0]);
    files[1].id = files[1].fileName = "b.jpeg";
    ASSERT_TRUE(w.write(p, files));
    auto back = decodeProgress(test::readText(dir / "progress.json"));
    ASSERT_TRUE(back && back->newFiles);
    ASSERT_EQ(back->newFiles->size(), 2u);
    EXPECT_EQ((*back->newFiles)[1].id, "b.jpeg");
    // No temporaries are left beside it.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator{}), 1);
    // A folder that vanished costs the record, nothing else.
    ProgressWriter gone((dir / "no/such/progress.json").string());
    EXPECT_FALSE(gone.write(p));
}

TEST(OutputDirectory, NamesNeverReplaceAndTemporariesStayUncounted) {
    test::TempDir dir;
    auto out = OutputDirectory::open(dir.path(), std::nullopt);
    ASSERT_TRUE(out);
    auto a = out->create();
    ASSERT_TRUE(a);
    std::vector<std::uint8_t> bytes{1, 2, 3};
    ASSERT_TRUE(a->write(bytes));
    EXPECT_EQ(out->countFiles(), 0);  // still a temporary
    EXPECT_EQ(out->commit(*a, "file_0001", "jpeg", 0, true), "file_0001.jpeg");
    auto b = out->create();
    ASSERT_TRUE(b);
    EXPECT_EQ(out->commit(*b, "file_0001", "jpeg", 4096, true), "file_0001_1.jpeg");
    std::ofstream(dir / "file_0001.thumb.jpg") << "t";
    EXPECT_EQ(out->countFiles(), 2);
    EXPECT_EQ(test::readFile(dir / "file_0001.jpeg"), bytes);

    // A link planted under a predicted name is left alone; the file gets the next name.
    test::TempDir elsewhere;
    std::ofstream(elsewhere / "victim") << "keep";
    fs::create_symlink(elsewhere / "victim", dir / "file_0002.jpeg");
    auto c = out->create();
    ASSERT_TRUE(c);
    ASSERT_TRUE(c->write(bytes));
    EXPECT_EQ(out->commit(*c, "file_0002", "jpeg", 8192, true), "file_0002_1.jpeg");
    EXPECT_EQ(test::readFile(elsewhere / "victim"), (std::vector<std::uint8_t>{'k', 'e', 'e', 'p'}));

    // The manifest lists what is still there whole, and is not itself counted.
    auto manifest = out->loadManifest();
    ASSERT_EQ(manifest.size(), 3u);
    EXPECT_EQ(manifest[4096].name, "file_0001_1.jpeg");
    EXPECT_TRUE(manifest[4096].carved);
    EXPECT_EQ(out->countFiles(), 4);  // the planted link is an entry like any other
    ASSERT_TRUE(out->remove("file_0001_1.jpeg"));
    std::ofstream(dir / "file_0001.jpeg", std::ios::app) << "grown";
    manifest = out->loadManifest();
    EXPECT_EQ(manifest.size(), 1u);
    EXPECT_EQ(manifest.count(8192), 1u);

    // An abandoned temporary (a killed run) is removed at the next start.
    auto d = out->create();
    ASSERT_TRUE(d);
    std::ofstream(dir / ".vf-partial-999-1") << "half";
    out->removeStaleTemporaries();
    EXPECT_FALSE(fs::exists(dir / ".vf-partial-999-1"));
}

TEST(OutputDirectory, CardNamesAreMadeHarmless) {
    EXPECT_EQ(sanitizeCardName("DSC/01"), "DSC_01");
    EXPECT_EQ(sanitizeCardName("?MG_0001"), "_MG_0001");  // a deleted short entry
    EXPECT_EQ(sanitizeCardName("a\\b*c:d<e>f|g\"h"), "a_b_c_d_e_f_g_h");
    EXPECT_EQ(sanitizeCardName("../../etc/passwd"), "_._.._etc_passwd");
    EXPECT_EQ(sanitizeCardName(".hidden"), "_hidden");
    EXPECT_EQ(sanitizeCardName(std::string("a\0b\x01\x7f", 5)), "a_b__");
    EXPECT_EQ(sanitizeCardName("caf\xc3\xa9"), "caf\xc3\xa9");
    EXPECT_EQ(sanitizeCardName("bad\xff\xc3"), "bad__");
    EXPECT_EQ(sanitizeCardName("\xed\xa0\x80"), "___");  // an encoded surrogate
    const std::string longName(300, 'x');
    EXPECT_EQ(sanitizeCardName(longName).size(), 200u);
    std::string accents;
    for (int i = 0; i < 150; ++i) accents += "\xc3\xa9";
    const std::string cut = sanitizeCardName(accents);
    EXPECT_LE(cut.size(), 200u);
    EXPECT_EQ(cut.size() % 2, 0u);  // never half a character
    // Cut at 200 bytes, back to the start of the character that byte 200 is in.
    const struct {
        std::string prefix, character;
        std::size_t bytes;
    } cuts[] = {
        {"x", "\xc3\xa9", 199},             // é: byte 200 is its second
        {"", "\xe2\x82\xac", 198},         // €: byte 200 is its third
        {"x", "\xe2\x82\xac", 199},        // its second
        {"x", "\xf0\x9f\x93\xb7", 197},    // 📷: its fourth
    };
    for (const auto& c : cuts) {
        std::string name = c.prefix;
        while (name.size() < 300) name += c.character;
        EXPECT_EQ(sanitizeCardName(name), name.substr(0, c.bytes)) << c.character << " after " << c.prefix.size();
    }
}

TEST(DiagnosticReport, ColumnsAndSummary) {
    DiagnosticReport r;
    r.start("/dev/sdb", 64'000'000'000ULL, 512, 8'388'608, 3, FormatSet::of({FileFormat::png, FileFormat::jpeg}));
    r.found(8192, FileFormat::jpeg, 2'100'000, "file_0001.jpeg");
    r.skip(0x140000000ULL, FileFormat::png, 100);
    r.skip(4096, FileFormat::jpeg, 0);
    r.fatStubSkip(4096, FileFormat::mp4, 10, "a.mp4");
    const std::string text = r.finish(1, 1'000'000);
    const auto& l = r.lines();
    EXPECT_EQ(l[0], "=== Tessarine Diagnostic ===");
    EXPECT_EQ(l[1], "Disk : /dev/sdb  (64 GB)");
    EXPECT_EQ(l[2], "Block: 512 B  |  Chunk: 8.4 MB");
    EXPECT_EQ(l[3], "FAT  : 3 hints");
    EXPECT_EQ(l[5], "FORMATS (2): JPEG,PNG");
    EXPECT_EQ(l[7], "offset       fmt    size        result");
    EXPECT_EQ(l[8], "0x000002000  JPEG   2.1 MB      FOUND → file_0001.jpeg");
    EXPECT_EQ(l[9], "0x140000000  PNG    100 bytes   SKIP (min=4 KB)");
    EXPECT_EQ(l[10], "0x000001000  JPEG   no-EOI      SKIP (min=102 KB)");
    EXPECT_EQ(l[11], "0x000001000  MP4    10 bytes    FAT-STUB-SKIP → a.mp4");
    EXPECT_NE(text.find("\n--- Summary ---\nExported : 1 files\nScanned  : 1 MB"), std::string::npos);
}

TEST(Session, ResumeOffsetAndDiskIdentifier) {
    EXPECT_EQ(parseResumeOffset("+4096"), 4096u);
    EXPECT_EQ(parseResumeOffset("-0"), 0u);
    EXPECT_EQ(parseResumeOffset("-5"), 0u);
    EXPECT_EQ(parseResumeOffset("12abc"), 0u);
    EXPECT_EQ(parseResumeOffset(""), 0u);
    EXPECT_EQ(parseResumeOffset("18446744073709551615"), UINT64_MAX);
    EXPECT_EQ(parseResumeOffset("18446744073709551616"), 0u);
    EXPECT_EQ(diskIdentifier("/dev/rdisk4s1"), "disk4s1");
    EXPECT_EQ(diskIdentifier("/dev/disk4"), "disk4");
    EXPECT_EQ(diskIdentifier("/dev/mmcblk0"), "mmcblk0");
    EXPECT_EQ(parseId("501"), 501u);
    EXPECT_FALSE(parseId("4294967296"));
    EXPECT_FALSE(parseId(nullptr));
}

}  // namespace
}  // namespace vf
