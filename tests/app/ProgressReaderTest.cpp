#include "app/ProgressReader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/app/AppTest.h"

namespace vf {
namespace {

namespace fs = std::filesystem;

ProgressInfo withFiles(std::size_t count, std::uint64_t bytes = 1 << 20) {
    ProgressInfo p;
    p.bytesScanned = p.currentOffset = bytes;
    p.totalBytes = 1ull << 34;
    p.phase = "Found " + std::to_string(count) + " file(s)";
    p.filesFound = static_cast<std::int64_t>(count);
    if (count) p.newFiles.emplace();
    for (std::size_t i = 0; i < count; ++i) {
        // Names with the characters a card may hold and JSON must escape.
        auto f = test::listed("IMG_" + std::to_string(i) + (i % 7 == 3 ? " \"q\" \\ ]},[{.jpg" : ".jpg"), 1000 + i);
        f.offsetOnDisk = 4096 * i;
        if (i % 2) f.dateTaken = "2023:05:01 12:30:45";
        p.newFiles->push_back(f);
    }
    return p;
}

// As the scanner writes a record: its list last, each entry encoded once.
std::string written(const ProgressInfo& p) {
    std::vector<std::string> entries;
    for (const auto& f : p.newFiles.value_or(std::vector<RecoveredFileInfo>{})) entries.push_back(encodeFileEntry(f));
    return encodeProgress(p, entries);
}

std::vector<std::string> names(const std::optional<ProgressInfo>& p) {
    std::vector<std::string> out;
    if (p && p->newFiles)
        for (const auto& f : *p->newFiles) out.push_back(f.fileName);
    return out;
}

TEST(ProgressReader, AgreesWithTheRecordDecoderAndRefusesEveryPartialRecord) {
    const std::string shuffled =  // members in another order, spaces between tokens
        R"( { "newFiles" : [ {"id":"a","fileName":"a","fileType":"PNG","fileSize":1,"offsetOnDisk":2} ] ,)"
        R"( "phase":"x", "isComplete":false, "totalBytes":0, "currentOffset":5, "filesFound":1, "bytesScanned":5 } )";
    EXPECT_EQ(ProgressReader().decode(shuffled), decodeProgress(shuffled));
    // In the scanner's layout, and with members after the list.
    for (const std::string& text : {written(withFiles(9)), encodeProgress(withFiles(9))}) {
        EXPECT_EQ(ProgressReader().decode(text), decodeProgress(text));
        for (std::size_t cut = 0; cut < text.size(); ++cut)
            ASSERT_FALSE(ProgressReader().decode(text.substr(0, cut))) << cut;
        // Read on from an earlier record, too.
        ProgressReader r;
        ASSERT_TRUE(r.decode(encodeProgress(withFiles(3))));
        for (std::size_t cut = 0; cut < text.size(); ++cut) ASSERT_FALSE(r.decode(text.substr(0, cut))) << cut;
        EXPECT_EQ(names(r.decode(text)).size(), 6u);  // the failures moved nothing
    }
}

TEST(ProgressReader, LargeFilesAreReadByHeadAndTail) {
    test::TempDir dir;
    const fs::path path = dir / "p.json";
    auto write = [&](const ProgressInfo& p) {
        std::ofstream(path.string() + ".new", std::ios::binary) << written(p);
        fs::rename(path.string() + ".new", path);
    };
    ProgressReader r;
    EXPECT_FALSE(r.read(path.string()));  // not there yet
    write(withFiles(5000));
    ASSERT_GT(fs::file_size(path), 256u * 1024);
    EXPECT_EQ(names(r.read(path.string())).size(), 5000u);
    write(withFiles(5002, 1ull << 33));
    const auto next = r.read(path.string());
    ASSERT_TRUE(next);
    EXPECT_EQ(names(next), (std::vector<std::string>{"IMG_5000.jpg", "IMG_5001 \"q\" \\ ]},[{.jpg"}));
    EXPECT_EQ(next->bytesScanned, 1ull << 33);
    // A half-written file is nothing; the next whole one is read as usual.
    const std::string text = written(withFiles(5004));
    std::ofstream(path, std::ios::binary) << text.substr(0, text.size() - 2);
    EXPECT_FALSE(r.read(path.string()));
    write(withFiles(5004));
    EXPECT_EQ(names(r.read(path.string())), (std::vector<std::string>{"IMG_5002.jpg", "IMG_5003.jpg"}));
    // Records without a list (the session's own) keep the place; a list that is not
    // the one read before is read whole.
    ProgressInfo done;
    done.isComplete = true;
    write(done);
    ASSERT_TRUE(r.read(path.string()));
    write(withFiles(5005));
    EXPECT_EQ(names(r.read(path.string())), std::vector<std::string>{"IMG_5004.jpg"});
    ProgressInfo other = withFiles(5006);
    (*other.newFiles)[5004].fileName = (*other.newFiles)[5004].id = "IMG_5004.JPG";  // as long as before
    write(other);
    EXPECT_EQ(names(r.read(path.string())).size(), 5006u);
}

}  // namespace
}  // namespace vf
