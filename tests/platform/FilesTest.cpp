#include "platform/Files.h"

#include <algorithm>
#include <fstream>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/support/TestSupport.h"

namespace vf {
namespace {

namespace fs = std::filesystem;

// A scratch folder that a decoder may have filled with links and folders: the
// links go, nothing outside is touched, and a folder inside keeps it standing.
TEST(Files, FlatFolderRemovalNeverLeavesIt) {
    const test::TempDir dir;
    std::ofstream(dir / "outside") << "keep";
    const struct {
        const char* name;
        bool withSubfolder;
    } rows[] = {{"files and a link", false}, {"and a folder", true}};
    for (const auto& row : rows) {
        const fs::path scratch = dir / "scratch";
        fs::create_directory(scratch);
        std::ofstream(scratch / "part") << "x";
        fs::create_symlink(dir / "outside", scratch / "link");
        fs::create_directory_symlink(dir.path(), scratch / "up");
        if (row.withSubfolder) fs::create_directory(scratch / "sub");
        const int parent = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
        // The caller's descriptor keeps its place: a second walk sees the same names.
        auto names = folderEntries(parent);
        EXPECT_EQ(folderEntries(parent), names) << row.name;
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, (std::vector<std::string>{"outside", "scratch"})) << row.name;
        removeFlatFolder(parent, "scratch");
        ::close(parent);
        EXPECT_EQ(test::readText(dir / "outside"), "keep") << row.name;
        EXPECT_EQ(fs::exists(scratch), row.withSubfolder) << row.name;
        if (row.withSubfolder) {
            EXPECT_FALSE(fs::exists(fs::symlink_status(scratch / "link"))) << row.name;
            fs::remove_all(scratch);
        }
    }
}

}  // namespace
}  // namespace vf
