#include "common/ByteCount.h"
#include "common/Records.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace vf {
namespace {

RecoveredFileInfo sampleFile(const std::string& name) {
    RecoveredFileInfo f;
    f.id = f.fileName = name;
    f.fileType = "JPEG";
    f.fileSize = 2'100'000;
    f.offsetOnDisk = 8192;
    return f;
}

TEST(Records, AbsentOptionalsLeaveTheirKeysOut) {
    ProgressInfo p;
    p.phase = "Complete";
    p.isComplete = true;
    const std::string text = encodeProgress(p);
    EXPECT_EQ(text.find("newFiles"), std::string::npos);
    EXPECT_EQ(text.find("errorMessage"), std::string::npos);
    EXPECT_EQ(text.find("null"), std::string::npos);
    EXPECT_EQ(text.find('\n'), std::string::npos);
    const auto back = decodeProgress(text);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, p);

    // An empty list means no new files, as an absent one does, and survives re-encoding.
    std::string withEmpty = text;
    withEmpty.insert(withEmpty.size() - 1, ",\"newFiles\":[]");
    const auto empty = decodeProgress(withEmpty);
    ASSERT_TRUE(empty);
    EXPECT_EQ(*empty, p);
    EXPECT_EQ(decodeProgress(encodeProgress(*empty)), empty);
}

TEST(Records, RoundTripWithFilesAndPreEncodedEntries) {
    ProgressInfo p;
    p.bytesScanned = 5'000'000'000ULL;
    p.filesFound = 3;
    p.currentOffset = 4096;
    p.totalBytes = 64'000'000'000ULL;
    p.phase = "Found 3 file(s)";
    p.errorMessage = "x";
    std::vector<RecoveredFileInfo> files{sampleFile("a.jpeg"), sampleFile("b.jpeg"), sampleFile("c.jpeg")};
    files[1].dateTaken = "2023:05:01 12:30:45";
    p.newFiles = files;
    const auto back = decodeProgress(encodeProgress(p));
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, p);

    std::vector<std::string> entries;
    for (const auto& f : files) entries.push_back(encodeFileEntry(f));
    EXPECT_EQ(nlohmann::json::parse(encodeProgress(p, entries)), nlohmann::json::parse(encodeProgress(p)));
    ProgressInfo none = p;
    none.newFiles.reset();
    EXPECT_EQ(encodeProgress(p, {}), encodeProgress(none));
}

TEST(Records, DecodingRejectsMissingRequiredKeysAndGarbage) {
    EXPECT_FALSE(decodeProgress(""));
    EXPECT_FALSE(decodeProgress("{\"bytesScanned\":1,"));  // half-written
    EXPECT_FALSE(decodeProgress("[]"));
    EXPECT_FALSE(decodeProgress(
        R"({"bytesScanned":1,"filesFound":0,"currentOffset":0,"totalBytes":0,"isComplete":false})"));
    EXPECT_FALSE(decodeProgress(
        R"({"bytesScanned":-1,"filesFound":0,"currentOffset":0,"totalBytes":0,"phase":"x","isComplete":false})"));
    EXPECT_FALSE(decodeProgress(
        R"({"bytesScanned":1,"filesFound":0,"currentOffset":0,"totalBytes":0,"phase":"x","isComplete":false,"newFiles":[{"id":"a"}]})"));
    EXPECT_TRUE(decodeProgress(
        R"({"bytesScanned":1,"filesFound":0,"currentOffset":0,"totalBytes":0,"phase":"x","isComplete":false,"extra":7})"));
}

TEST(Records, NonUtf8NamesStillEncode) {
    ProgressInfo p;
    p.phase = "x";
    p.newFiles = std::vector{sampleFile(std::string("bad\xff.jpg"))};
    EXPECT_TRUE(decodeProgress(encodeProgress(p)));
}

TEST(ByteCount, DecimalFileStyle) {
    EXPECT_EQ(formatByteCount(0), "Zero KB");
    EXPECT_EQ(formatByteCount(1), "1 byte");
    EXPECT_EQ(formatByteCount(512), "512 bytes");
    EXPECT_EQ(formatByteCount(1000), "1 KB");
    EXPECT_EQ(formatByteCount(8192), "8 KB");
    EXPECT_EQ(formatByteCount(999'999), "1 MB");
    EXPECT_EQ(formatByteCount(2'100'000), "2.1 MB");
    EXPECT_EQ(formatByteCount(8'388'608), "8.4 MB");
    EXPECT_EQ(formatByteCount(12'345'678), "12.3 MB");
    EXPECT_EQ(formatByteCount(1'000'000), "1 MB");
    EXPECT_EQ(formatByteCount(1'234'567'890), "1.23 GB");
    EXPECT_EQ(formatByteCount(64'000'000'000ULL), "64 GB");
}

}  // namespace
}  // namespace vf
