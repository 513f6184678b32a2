#include "helper/ControlFile.h"
#include "helper/OutputDirectory.h"
#include "helper/Session.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <tuple>

namespace vf {
namespace {

namespace fs = std::filesystem;

// Folders, FIFOs and huge files in its place are the scanner's tests' (test_programs).
TEST(ControlFile, WordsOfTheUsersOwnFileOnly) {
    const std::pair<std::string, ControlWord> words[] = {
        {" stop\n", ControlWord::stop}, {"\tpause\r\n", ControlWord::pause}, {"resume", ControlWord::resume},
        {"STOP", ControlWord::none},    {"stop now", ControlWord::none},     {"", ControlWord::none}};
    for (const auto& [text, word] : words) EXPECT_EQ(parseControlWord(text), word) << text;

    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the file away";
    test::TempDir dir;
    std::ofstream(dir / "c") << "stop\n";
    // The user's file or root's is obeyed; another user's is not, and is told apart.
    const std::tuple<std::uint32_t, ControlWord, bool> owners[] = {
        {4321, ControlWord::stop, false}, {0, ControlWord::stop, false}, {4322, ControlWord::none, true}};
    for (const auto& [fileOwner, word, foreign] : owners) {
        ASSERT_EQ(::chown((dir / "c").c_str(), fileOwner, fileOwner), 0);
        bool other = false;
        EXPECT_EQ(readControlFile((dir / "c").string(), 4321, &other), word) << fileOwner;
        EXPECT_EQ(other, foreign) << fileOwner;
    }
}

TEST(OutputDirectory, NamesNeverReplaceAndTemporariesStayUncounted) {
    test::TempDir dir;
    auto out = OutputDirectory::open(dir.path(), std::nullopt);
    ASSERT_TRUE(out);
    const std::vector<std::uint8_t> bytes{1, 2, 3};
    auto commit = [&](const std::string& base, std::uint64_t offset) {
        auto f = out->create();
        EXPECT_TRUE(f && f->write(bytes));
        EXPECT_TRUE(offset != 0 || out->countFiles() == 0) << "a temporary is counted";
        return f ? out->commit(*f, base, "jpeg", offset, true) : std::string();
    };
    EXPECT_EQ(commit("file_0001", 0), "file_0001.jpeg");
    EXPECT_EQ(commit("file_0001", 4096), "file_0001_1.jpeg");
    EXPECT_EQ(test::readFile(dir / "file_0001.jpeg"), bytes);
    EXPECT_EQ(fs::status(dir / "file_0001.jpeg").permissions(), fs::perms(0644)) << "readable by the user's group";
    // A link planted under a predicted name is left alone; the file gets the next name.
    test::TempDir elsewhere;
    std::ofstream(elsewhere / "victim") << "keep";
    fs::create_symlink(elsewhere / "victim", dir / "file_0002.jpeg");
    EXPECT_EQ(commit("file_0002", 8192), "file_0002_1.jpeg");
    EXPECT_EQ(test::readText(elsewhere / "victim"), "keep");
    std::ofstream(dir / "file_0001.thumb.jpg") << "t";
    EXPECT_EQ(out->countFiles(), 4);  // thumbnails are not counted; the planted link is

    // The manifest lists what is still there whole.
    auto manifest = out->loadManifest();
    ASSERT_EQ(manifest.size(), 3u);
    EXPECT_TRUE(manifest[4096].name == "file_0001_1.jpeg" && manifest[4096].carved);
    ASSERT_TRUE(out->remove("file_0001_1.jpeg"));
    std::ofstream(dir / "file_0001.jpeg", std::ios::app) << "grown";
    manifest = out->loadManifest();
    EXPECT_EQ(manifest.size(), 1u);
    EXPECT_EQ(manifest.count(8192), 1u);
}

TEST(OutputDirectory, CardNamesAreMadeHarmless) {
    // Cut at 200 bytes, back to the start of the character that byte 200 is in.
    auto cut = [](std::string name, const std::string& character, std::size_t bytes) {
        while (name.size() < 300) name += character;
        return std::pair{name, name.substr(0, bytes)};
    };
    const std::pair<std::string, std::string> rows[] = {
        {"DSC/01", "DSC_01"}, {"?MG_0001", "_MG_0001"} /* a deleted short entry */, {"a\\b*c:d<e>f|g\"h", "a_b_c_d_e_f_g_h"},
        {"../../etc/passwd", "_._.._etc_passwd"}, {".hidden", "_hidden"}, {std::string("a\0b\x01\x7f", 5), "a_b__"},
        {"caf\xc3\xa9", "caf\xc3\xa9"}, {"bad\xff\xc3", "bad__"}, {"\xed\xa0\x80", "___"} /* an encoded surrogate */,
        {std::string(300, 'x'), std::string(200, 'x')},
        cut("x", "\xc3\xa9", 199),           // é: byte 200 is its second
        cut("", "\xe2\x82\xac", 198),        // €: its third
        cut("x", "\xe2\x82\xac", 199),       // its second
        cut("x", "\xf0\x9f\x93\xb7", 197),  // 📷: its fourth
    };
    for (const auto& [name, safe] : rows) EXPECT_EQ(sanitizeCardName(name), safe) << name;
}

TEST(Session, ResumeOffsetsDiskNamesAndIds) {
    const std::pair<const char*, std::uint64_t> offsets[] = {{"+4096", 4096}, {"-0", 0}, {"-5", 0}, {"12abc", 0}, {"", 0},
        {"18446744073709551615", UINT64_MAX}, {"18446744073709551616", 0}};
    for (const auto& [text, offset] : offsets) EXPECT_EQ(parseResumeOffset(text), offset) << text;
    const std::pair<const char*, const char*> disks[] = {{"/dev/rdisk4s1", "disk4s1"}, {"/dev/disk4", "disk4"}, {"/dev/mmcblk0", "mmcblk0"}};
    for (const auto& [path, id] : disks) EXPECT_EQ(diskIdentifier(path), id) << path;
    EXPECT_EQ(parseId("501"), 501u);
    EXPECT_FALSE(parseId("4294967296"));
    EXPECT_FALSE(parseId(nullptr));
}

}  // namespace
}  // namespace vf
