// Card-supplied names that try to leave the output folder, hide, or carry
// control characters: an exFAT card is made with harmless names of the same
// lengths, whose directory entries are then rewritten in place with valid
// entry-set checksums and name hashes, and scanned by both programs.

#include "common/Records.h"
#include "common/ByteReader.h"
#include "tests/support/EndToEnd.h"
#include "tests/support/Process.h"
#include "tests/support/Synthetic.h"
#include "tests/support/TestSupport.h"
#include "tests/support/VolumeImage.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace vf {
namespace {

namespace fs = std::filesystem;
using Units = std::vector<std::uint16_t>;

Units ascii(std::string_view s) { return Units(s.begin(), s.end()); }
Units operator+(Units a, const Units& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// exFAT's entry-set checksum: every byte of the set but the checksum field itself.
std::uint16_t entrySetChecksum(std::span<const std::uint8_t> set) {
    std::uint16_t sum = 0;
    for (std::size_t i = 0; i < set.size(); ++i) {
        if (i == 2 || i == 3) continue;
        sum = static_cast<std::uint16_t>(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + set[i]);
    }
    return sum;
}

// The name hash over the up-cased name; the up-case table of mkfs maps a-z and
// the Latin-1 small letters, which is all these names use.
std::uint16_t nameHash(const Units& name) {
    std::uint16_t hash = 0;
    for (std::uint16_t u : name) {
        if ((u >= 'a' && u <= 'z') || (u >= 0xE0 && u <= 0xFE && u != 0xF7)) u = static_cast<std::uint16_t>(u - 0x20);
        for (std::uint8_t b : {static_cast<std::uint8_t>(u), static_cast<std::uint8_t>(u >> 8)})
            hash = static_cast<std::uint16_t>(((hash & 1) ? 0x8000 : 0) + (hash >> 1) + b);
    }
    return hash;
}

void putLe16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

// Rewrites the name of every entry set whose name is a key of `renames`, which
// must keep its length in code units. Returns how many were rewritten (none
// when the checksum rule above were not exFAT's); checks the hash rule on each set.
int renameEntries(std::vector<std::uint8_t>& image, const std::map<Units, Units>& renames) {
    int done = 0;
    for (std::size_t i = 0; i + 96 <= image.size(); i += 32) {
        const ByteReader r(image);
        const std::size_t secondaries = image[i + 1];
        if (image[i] != 0x85 || secondaries < 2 || image[i + 32] != 0xC0 || !r.has(i, 32 * (secondaries + 1))) continue;
        const std::size_t nameLength = image[i + 32 + 3];
        Units name;
        for (std::size_t k = 2; k <= secondaries; ++k) {
            const std::size_t e = i + 32 * k;
            if (image[e] != 0xC1) break;
            for (std::size_t u = 0; u < 15 && name.size() < nameLength; ++u) name.push_back(*r.le16(e + 2 + 2 * u));
        }
        const std::span<const std::uint8_t> set(image.data() + i, 32 * (secondaries + 1));
        // Photo data may look like an entry by chance; a real set carries its checksum.
        if (entrySetChecksum(set) != *r.le16(i + 2)) continue;
        EXPECT_EQ(nameHash(name), *r.le16(i + 32 + 4)) << "name hash rule differs from the card's";
        const auto it = renames.find(name);
        if (it == renames.end()) continue;
        const Units& to = it->second;
        EXPECT_EQ(to.size(), name.size());
        for (std::size_t n = 0; n < to.size(); ++n) putLe16(image, i + 64 + 32 * (n / 15) + 2 + 2 * (n % 15), to[n]);
        putLe16(image, i + 32 + 4, nameHash(to));
        putLe16(image, i + 2, entrySetChecksum(set));
        ++done;
    }
    return done;
}

bool validUtf8(const std::string& s) {
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        const std::size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (len == 0 || i + len > s.size()) return false;
        for (std::size_t k = 1; k < len; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += len;
    }
    return true;
}

// Every path under `root`, so that anything a scan made outside its folder shows.
std::set<std::string> tree(const fs::path& root) {
    std::set<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(root)) out.insert(fs::relative(e.path(), root).string());
    return out;
}

TEST(HostileNames, ExFatNamesNeverLeaveOrHideInTheOutputFolder) {
    test::TempDir dir;
    const Units e251(251, 0x00E9);  // "é": 502 bytes of UTF-8 before the extension
    const std::vector<Units> hostile = {
        ascii("../../etc/x.jpg"),
        ascii("/abs.jpg"),
        ascii("a/b/../../../../c.jpg"),
        ascii("nul") + Units{0} + ascii("evil.jpg"),
        ascii("ctl") + Units{0x01, 0x0A, 0x1B, '[', '3', '1', 'm', 0x7F} + ascii(".jpg"),
        ascii(".hidden.jpg"),
        ascii("..jpg"),
        ascii(".jpg"),
        ascii("bad") + Units{0xD800} + ascii(".jpg"),
        e251 + ascii(".jpg"),
    };
    // Harmless names of the same lengths for the tools to create.
    std::map<Units, Units> renames;
    std::vector<std::vector<std::uint8_t>> photos;
    test::VolumeImage card(test::VolumeImage::Kind::exfat, dir / "card.img");
    card.sizeMiB(16).mkdir("/DCIM");
    for (std::size_t k = 0; k < hostile.size(); ++k) {
        std::string name = "P" + std::string(1, static_cast<char>('A' + k));
        name.resize(hostile[k].size(), 'x');
        renames[ascii(name)] = hostile[k];
        photos.push_back(test::makeJpeg(110'000 + 1000 * k, static_cast<std::uint32_t>(70 + k)));
        test::writeFile(dir / ("src" + std::to_string(k)), photos.back());
        card.put(dir / ("src" + std::to_string(k)), "/DCIM/" + name);
    }
    const auto built = card.build();
    if (built.skipped()) GTEST_SKIP() << "cannot build an exFAT card here: " << built.output;
    ASSERT_TRUE(built.ok()) << built.output;
    auto image = test::readFile(dir / "card.img");
    ASSERT_EQ(renameEntries(image, renames), static_cast<int>(hostile.size()));
    test::writeFile(dir / "card.img", image);
    for (std::size_t k = 0; k < hostile.size(); ++k) fs::remove(dir / ("src" + std::to_string(k)));

    std::multiset<std::string> sources;
    for (const auto& p : photos) sources.insert(test::sha256(p));
    const std::vector<fs::path> outside = {"/etc/x.jpg", "/abs.jpg", "/c.jpg", "/tmp/c.jpg", "/tmp/x.jpg"};
    std::vector<bool> existed;
    for (const auto& p : outside) existed.push_back(fs::exists(p));

    // Each folder two levels down, so that "../../" would land in the test's own folder.
    std::vector<fs::path> outputs = {dir / "a" / "b" / "cli"};
    fs::create_directories(dir / "a" / "b");
    const std::set<std::string> before = tree(dir.path());
    auto cli = test::run(test::binPath("tessarine") + " scan '" + (dir / "card.img").string() + "' --output '" +
                         outputs[0].string() + "' --no-thumbnails --report '" + (dir / "diag.txt").string() + "'");
    ASSERT_EQ(cli.status, 0) << cli.output;
    std::set<std::string> allowed = {"a/b/cli", "diag.txt"};

    // The root scanner too, when a loop device can be had.
    std::optional<test::LoopDevice> loop;
    if (::getuid() == 0) loop.emplace(dir / "card.img");
    if (loop && loop->ok()) {
        ::chmod(dir.path().c_str(), 0777);
        fs::create_directories(dir / "c" / "d");
        // The scanner makes the output folder as the user, in a folder of the user's.
        ASSERT_EQ(::chown((dir / "c" / "d").c_str(), 4321, 1234), 0);
        outputs.push_back(dir / "c" / "d" / "helper");
        auto r = test::runHelper({loop->device(), outputs[1].string(), (dir / "progress.json").string(),
                                  (dir / "control").string()},
                                 (dir / "progress.json").string(), {"SUDO_UID=4321", "SUDO_GID=1234"});
        EXPECT_EQ(r.status, 0) << r.log;
        auto last = decodeProgress(test::readText(dir / "progress.json"));
        ASSERT_TRUE(last);
        EXPECT_EQ(last->phase, "Complete");
        test::removeReportOf(4321);
        // The report goes beside the folder when another user's stands at its fixed path.
        allowed.insert({"c", "c/d", "c/d/helper", "c/d/tessarine_diag.txt", "progress.json"});
    } else {
        std::cout << "[ INFO     ] root scanner part skipped: " << (loop ? loop->why() : "not root") << "\n";
    }

    for (const std::string& p : tree(dir.path())) {
        if (before.count(p) || allowed.count(p)) continue;
        bool inside = false;
        for (const auto& out : outputs)
            inside = inside || p.rfind(fs::relative(out, dir.path()).string() + "/", 0) == 0;
        EXPECT_TRUE(inside) << "made outside the output folder: " << p;
    }
    for (std::size_t k = 0; k < outside.size(); ++k) EXPECT_EQ(fs::exists(outside[k]), existed[k]) << outside[k];

    const std::string longName = [] {
        std::string s;
        for (int i = 0; i < 100; ++i) s += "\xC3\xA9";  // cut to 200 bytes at a character boundary
        return s + ".jpg";
    }();
    for (const auto& out : outputs) {
        SCOPED_TRACE(out.string());
        for (const auto& e : fs::directory_iterator(out)) {
            const std::string name = e.path().filename().string();
            EXPECT_TRUE(e.is_regular_file() && !e.is_symlink()) << name;
            if (name == ".vf-recovered") continue;  // the folder's own manifest
            EXPECT_NE(name[0], '.') << "hidden: " << name;
            EXPECT_TRUE(validUtf8(name)) << name;
            EXPECT_LE(name.size(), 255u) << name;
            for (unsigned char c : name) EXPECT_FALSE(c < 0x20 || c == 0x7F) << "control character in " << name;
            EXPECT_TRUE(name.ends_with(".jpg")) << "taken as a directory file: " << name;
        }
        const auto recovered = test::recoveredHashes(out);
        EXPECT_EQ(test::hashValues(recovered), sources) << "every photo comes back whole, once";
        for (const std::string& want : {std::string("_._.._etc_x.jpg"), std::string("_abs.jpg"),
                                        std::string("a_b_.._.._.._.._c.jpg"), std::string("nul_evil.jpg"),
                                        std::string("ctl___[31m_.jpg"), std::string("_hidden.jpg"),
                                        std::string("_.jpg"), std::string("bad\xEF\xBF\xBD.jpg"), longName})
            EXPECT_TRUE(recovered.count(want)) << "missing " << want;
        std::size_t numbered = 0;
        for (const auto& [name, h] : recovered) numbered += name.rfind("recovered_", 0) == 0;
        EXPECT_EQ(numbered, 1u) << "the nameless one is numbered";
    }
}

}  // namespace
}  // namespace vf
