#include "app/FileExporter.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/app/AppTest.h"
#include "tests/support/EndToEnd.h"

namespace vf {
namespace {

namespace fs = std::filesystem;
using test::Contents;
using test::contents;
using test::TempDir;

// Copies short of 98 % of their listed size, lost files, links, FIFOs and names
// reaching out of the cache each fail alone; the rest arrive whole, none in the
// place of another file. Exported again, each is found there and nothing is written twice.
TEST(FileExporter, EachFileArrivesWholeOrFailsAloneAndNoneReplacesAnother) {
    const TempDir cache, destination;
    fs::create_symlink("/etc/passwd", cache / "link.jpg");
    ASSERT_EQ(::mkfifo((cache / "fifo.jpg").c_str(), 0600), 0);  // must not be waited on
    const struct {
        std::string name;
        int have;  // bytes in the cache; -1: none written here
        std::uint64_t listed;
        std::string line;   // the first export's; empty: nothing to say
        std::string there;  // the destination's file of that name: "same" bytes, or another one
                            // and the copy's name beside it
    } rows[] = {
        {"a.jpg", 3 << 20, 3 << 20, "", ""},
        {"near.jpg", 980, 1000, "", ""},
        {"short.jpg", 979, 1000, "❌ Refusing truncated export for short.jpg: cache has 979 bytes, scan expected 1000 bytes", ""},
        {"long.jpg", 1100, 1000, "", ""},
        {"empty.jpg", 0, 0, "", ""},
        {"gone.jpg", 0, 1, "❌ Refusing truncated export for gone.jpg: cache has 0 bytes, scan expected 1 bytes", ""},
        {"b.jpg", -1, 10, "❌ Failed to copy b.jpg: No such file or directory", ""},
        {"link.jpg", -1, 1, "❌ Failed to copy link.jpg: Too many levels of symbolic links", ""},
        {"fifo.jpg", -1, 1, "❌ Failed to copy fifo.jpg: Invalid argument", ""},
        {"../c.jpg", -1, 1, "❌ Failed to copy ../c.jpg: Invalid argument", ""},
        {"DSC00001.JPG", 5000, 5000, "📁 DSC00001.JPG saved as DSC00001_1.JPG: another file of that name is already there",
         "DSC00001_1.JPG"},
        {"README", 5000, 5000, "📁 README saved as README_1: another file of that name is already there", "README_1"},
        {"same.jpg", 5000, 5000, "", "same"},
    };
    std::vector<RecoveredFileInfo> files;
    Contents expected;
    for (const auto& row : rows) {
        files.push_back(test::listed(row.name, row.listed));
        if (row.have < 0) continue;
        const auto data = test::randomBytes(static_cast<std::size_t>(row.have), static_cast<std::uint32_t>(row.have));
        test::writeFile(cache / row.name, data);
        if (row.line.starts_with("❌")) continue;
        if (!row.there.empty() && row.there != "same")
            test::writeFile(destination / row.name, expected[row.name] = test::randomBytes(data.size(), 1));
        if (row.there == "same") test::writeFile(destination / row.name, data);
        expected[row.there.empty() || row.there == "same" ? row.name : row.there] = data;
    }
    std::string why;
    const auto exporter = FileExporter::open(cache.path(), destination.path(), &why);
    ASSERT_TRUE(exporter) << why;
    std::vector<std::string> lines;
    const auto log = [&](const ExportFileResult& r, const ExportCounts&) { lines.push_back(r.logLine); };
    EXPECT_EQ(exportAll(*exporter, files, log).copied, 7);
    ASSERT_EQ(lines.size(), std::size(rows));
    for (std::size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i], rows[i].line) << rows[i].name;
    EXPECT_EQ(contents(destination.path()), expected);
    fs::remove(destination / "a.jpg");  // only what is not there any more is copied again
    for (const auto& file : files)
        EXPECT_EQ(exporter->exportFile(file).outcome == ExportFileResult::Outcome::copied, file.fileName == "a.jpg")
            << file.fileName;
    EXPECT_EQ(contents(destination.path()), expected);
}

// Copies are flushed and named a batch at a time. On a disk that fills up, each
// file reported as copied is by then named and whole, in order; the rest fail with
// the disk's error, and a stop leaves no hidden copy behind, nor does a killed export.
TEST(FileExporter, BatchesOnAFillingDiskLeaveOnlyWholeNamedFiles) {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
    const TempDir cache, root;
    const test::TmpfsMount small(root / "disk", "1m");
    if (!small.ok()) GTEST_SKIP() << small.why();
    std::vector<RecoveredFileInfo> files;
    for (int i = 0; i < 70; ++i) {
        files.push_back(test::listed("IMG_" + std::to_string(1000 + i) + ".JPG", 20'000));
        test::writeFile(cache / files.back().fileName, test::randomBytes(20'000, static_cast<std::uint32_t>(i)));
    }
    test::writeFile(root / "disk" / ".vf-export-999999999-0", test::randomBytes(100, 9));
    std::atomic<bool> stop{false};
    std::vector<std::string> reported, failures;
    const auto each = [&](const ExportFileResult& r, const ExportCounts& n) {
        (r.succeeded() ? reported : failures).push_back(r.succeeded() ? r.savedAs : r.logLine);
        EXPECT_TRUE(!r.succeeded() || fs::exists(root / "disk" / r.savedAs)) << r.savedAs << " reported unnamed";
        stop = n.copied + n.failed == 64;
    };
    const auto counts = exportAll(*FileExporter::open(cache.path(), root / "disk", nullptr), files, each, &stop);
    EXPECT_GT(counts.copied, 32);
    EXPECT_EQ(counts.copied + counts.failed, 64);
    ASSERT_FALSE(failures.empty());
    EXPECT_EQ(failures.back().substr(failures.back().find(": ")), ": No space left on device");
    const auto left = contents(root / "disk");
    ASSERT_EQ(left.size(), reported.size());
    for (std::size_t i = 0; i < reported.size(); ++i) {
        EXPECT_EQ(reported[i], files[i].fileName);
        EXPECT_EQ(left.at(reported[i]), test::readFile(cache / files[i].fileName));
    }
}

}  // namespace
}  // namespace vf
