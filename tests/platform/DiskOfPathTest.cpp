#include "platform/DiskOfPath.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/support/EndToEnd.h"
#include "tests/support/TestSupport.h"

namespace vf {
namespace {

using test::TempDir;

// A card image whose first partition holds a file system, attached read-only and
// mounted read-only: the card a user might pick as the export folder.
TEST(DiskOfPath, FoldersOnTheCardAreKnown) {
    if (::geteuid() != 0) GTEST_SKIP() << "loop devices need root";
    const struct {
        const char *kind, *mkfs, *mount;
    } rows[] = {
        {"kernel file system", "mkfs.ext4 -q -F", "mount -o ro,noload"},
        {"exFAT in user space", "mkfs.exfat", "mount.exfat-fuse -o ro"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.kind);
        const TempDir dir;
        test::run("cd " + test::shellQuoted(dir.path()) + " && truncate -s 40M card.img && echo start=2048,type=7 | " +
                  "sfdisk -q card.img && truncate -s 30M part.img && " + row.mkfs + " part.img >/dev/null 2>&1 && " +
                  "dd if=part.img of=card.img bs=512 seek=2048 conv=notrunc status=none");
        const test::LoopDevice card(dir / "card.img");
        if (!card.ok()) GTEST_SKIP() << card.why();
        test::run("partx -a " + card.device());
        std::filesystem::create_directory(dir / "card");
        const auto mounted = test::run(std::string(row.mount) + " " + card.device() + "p1 " + (dir / "card").string());
        if (mounted.status != 0) {
            std::cout << "skipped " << row.kind << ": cannot mount: " << mounted.output << "\n";
            continue;
        }
        EXPECT_EQ(pathIsOnDisk(dir / "card", card.device()), true);
        EXPECT_EQ(pathIsOnDisk(dir / "card", card.device() + "p1"), true);
        EXPECT_EQ(pathIsOnDisk(dir.path(), card.device()), false);
        const test::TmpfsMount memory(dir / "memory", "1M");
        EXPECT_TRUE(memory.ok()) << memory.why();
        EXPECT_EQ(pathIsOnDisk(dir / "memory", card.device()), false);
        EXPECT_EQ(pathIsOnDisk(dir / "card", "/dev/null"), std::nullopt);
        test::run("umount " + (dir / "card").string());  // before the loop device goes
    }
}

}  // namespace
}  // namespace vf
