#include "platform/DiskOfPath.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/support/EndToEnd.h"
#include "tests/support/TestSupport.h"

namespace vf {
namespace {

using test::TempDir;

// A card image whose first partition holds a file system, attached read-only
// and mounted read-only: the card a user might pick as the export folder.
class MountedCard {
public:
    MountedCard(const TempDir& dir, const std::string& mkfs, const std::string& mount) : loop_(image(dir, mkfs)) {
        if (!loop_.ok()) {
            why_ = loop_.why();
            return;
        }
        test::run("partx -a " + loop_.device());
        mountPoint_ = dir / "card";
        std::filesystem::create_directory(mountPoint_);
        const auto r = test::run(mount + " " + loop_.device() + "p1 " + mountPoint_.string());
        mounted_ = r.status == 0;
        if (!mounted_) why_ = "cannot mount: " + r.output;
    }
    ~MountedCard() {
        if (mounted_) test::run("umount " + mountPoint_.string());
    }
    bool ok() const { return mounted_; }
    const std::string& why() const { return why_; }
    const std::string& device() const { return loop_.device(); }
    const std::filesystem::path& mountPoint() const { return mountPoint_; }

private:
    static std::filesystem::path image(const TempDir& dir, const std::string& mkfs) {
        const auto img = dir / "card.img", part = dir / "part.img";
        test::run("truncate -s 40M " + img.string() + " && echo 'start=2048, type=7' | sfdisk -q " + img.string() +
                  " && truncate -s 30M " + part.string() + " && " + mkfs + " " + part.string() +
                  " >/dev/null 2>&1 && dd if=" + part.string() + " of=" + img.string() +
                  " bs=512 seek=2048 conv=notrunc status=none");
        return img;
    }
    test::LoopDevice loop_;
    std::filesystem::path mountPoint_;
    bool mounted_ = false;
    std::string why_;
};

TEST(DiskOfPath, FoldersOnTheCardAreKnown) {
    if (::geteuid() != 0) GTEST_SKIP() << "loop devices need root";
    const struct {
        const char* kind;
        const char* mkfs;
        const char* mount;
    } rows[] = {
        {"kernel file system", "mkfs.ext4 -q -F", "mount -o ro,noload"},
        {"exFAT in user space", "mkfs.exfat", "mount.exfat-fuse -o ro"},
    };
    for (const auto& row : rows) {
        const TempDir dir;
        const MountedCard card(dir, row.mkfs, row.mount);
        if (!card.ok()) {
            std::cout << "skipped " << row.kind << ": " << card.why() << "\n";
            continue;
        }
        EXPECT_EQ(pathIsOnDisk(card.mountPoint(), card.device()), true) << row.kind;
        EXPECT_EQ(pathIsOnDisk(card.mountPoint(), card.device() + "p1"), true) << row.kind;
        EXPECT_EQ(pathIsOnDisk(dir.path(), card.device()), false) << row.kind;
        const test::TmpfsMount memory(dir / "memory", "1M");
        if (memory.ok()) {
            EXPECT_EQ(pathIsOnDisk(dir / "memory", card.device()), false) << row.kind;
        }
        EXPECT_EQ(pathIsOnDisk(card.mountPoint(), "/dev/null"), std::nullopt) << row.kind;
    }
}

}  // namespace
}  // namespace vf
