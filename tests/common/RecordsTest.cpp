#include "common/ByteCount.h"
#include "common/Records.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace vf {
namespace {

using namespace std::string_literals;

TEST(Records, RoundTripWithAndWithoutOptionalsAndPreEncodedEntries) {
    const ProgressInfo bare{0, 0, 0, 0, "Complete", true, {}, {}};
    const std::string text = encodeProgress(bare);
    // One line, no nulls: absent optionals leave their keys out; an empty list reads as no list.
    for (const char* absent : {"newFiles", "errorMessage", "null", "\n"})
        EXPECT_EQ(text.find(absent), std::string::npos) << absent;
    EXPECT_EQ(decodeProgress(text), bare);
    EXPECT_EQ(decodeProgress(text.substr(0, text.size() - 1) + ",\"newFiles\":[]}"), bare);

    ProgressInfo p{5'000'000'000ULL, 3, 4096, 64'000'000'000ULL, "Found 3 file(s)", false, "x", {}};
    std::vector<RecoveredFileInfo> files;
    for (std::uint64_t k = 0; k < 3; ++k)
        files.push_back({"abc"s.substr(k, 1) + ".jpeg", "abc"s.substr(k, 1) + ".jpeg", "JPEG", 2'100'000 + k, {}, 8192 * k, {}});
    files[1].dateTaken = "2023:05:01 12:30:45";
    p.newFiles = files;
    EXPECT_EQ(decodeProgress(encodeProgress(p)), p);
    std::vector<std::string> entries;
    for (const auto& f : files) entries.push_back(encodeFileEntry(f));
    EXPECT_EQ(nlohmann::json::parse(encodeProgress(p, entries)), nlohmann::json::parse(encodeProgress(p)));
    ProgressInfo none = p;
    none.newFiles.reset();
    EXPECT_EQ(encodeProgress(p, {}), encodeProgress(none));
    (*p.newFiles)[2].fileName = "bad\xff.jpg";  // names from a card need not be UTF-8
    EXPECT_TRUE(decodeProgress(encodeProgress(p)));
}

TEST(Records, DecodingRejectsMissingKeysWrongTypesAndGarbage) {
    const std::string tail = R"("filesFound":0,"currentOffset":0,"totalBytes":0,"isComplete":false})";
    const std::string bad[] = {
        "", R"({"bytesScanned":1,)", "[]",                                   // half-written, not an object
        R"({"bytesScanned":1,)" + tail,                                        // no phase
        R"({"bytesScanned":-1,"phase":"x",)" + tail,                           // a count below zero
        R"({"bytesScanned":1,"phase":"x","newFiles":[{"id":"a"}],)" + tail,  // a file without its keys
    };
    for (const auto& text : bad) EXPECT_FALSE(decodeProgress(text)) << text;
    EXPECT_TRUE(decodeProgress(R"({"bytesScanned":1,"phase":"x","extra":7,)" + tail));  // unknown keys are fine
}

TEST(ByteCount, DecimalUnitsRoundedAsFileSizesAreShown) {
    const std::pair<std::uint64_t, const char*> rows[] = {
        {0, "Zero KB"}, {1, "1 byte"},          {512, "512 bytes"},         {1000, "1 KB"},
        {999'999, "1 MB"}, {2'100'000, "2.1 MB"}, {1'234'567'890, "1.23 GB"}, {64'000'000'000ULL, "64 GB"}};
    for (const auto& [bytes, text] : rows) EXPECT_EQ(formatByteCount(bytes), text) << bytes;
}

}  // namespace
}  // namespace vf
