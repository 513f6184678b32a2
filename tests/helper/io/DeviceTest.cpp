// Views lend the same bytes readAt copies, or nothing.

#include "helper/io/Device.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <fcntl.h>
#include <unistd.h>

namespace vf {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes viewed(Device& d, std::uint64_t offset, std::size_t length) {
    const auto v = d.view(offset, length);
    return v ? Bytes(v->bytes().begin(), v->bytes().end()) : Bytes{};
}

Bytes copied(Device& d, std::uint64_t offset, std::size_t length) {
    Bytes out(length);
    out.resize(d.readAt(offset, out).bytes);
    return out;
}

// An image file opened as the scanner opens a card.
struct ImageFile {
    test::TempDir dir;
    int fd = -1;
    ImageFile(const Bytes& data, std::uint64_t size = 0) {
        test::writeFile(dir / "card.img", data);
        if (size) std::filesystem::resize_file(dir / "card.img", size);
        fd = ::open((dir / "card.img").c_str(), O_RDONLY | O_CLOEXEC);
    }
    ~ImageFile() { ::close(fd); }
};

TEST(DeviceView, FileAndMemoryViewsMatchReadsAtAnyOffsetUpToTheEnd) {
    const Bytes data = test::randomBytes(3 * 4096 + 700, 11);
    ImageFile image(data);
    FdDevice file(image.fd);
    EXPECT_FALSE(file.view(0, 512)) << "no views until the size is known";
    file.enableViews(data.size());
    MemoryDevice memory(data);
    for (Device* d : {static_cast<Device*>(&file), static_cast<Device*>(&memory)}) {
        // Inside a page, across pages, off the page grid, and past the end (short).
        for (const auto& [offset, length] : std::vector<std::pair<std::uint64_t, std::size_t>>{
                 {0, 512}, {512, 8192}, {4095, 4098}, {2 * 4096 + 1000, 10'000}, {data.size() - 1, 64}}) {
            const auto v = viewed(*d, offset, length);
            EXPECT_EQ(v, copied(*d, offset, length)) << offset << "+" << length;
            EXPECT_FALSE(v.empty());
        }
        EXPECT_FALSE(d->view(data.size(), 512)) << "nothing at the end of the data";
    }
    // A view outlives a later one.
    const auto first = file.view(100, 200), second = file.view(5000, 300);
    ASSERT_TRUE(first && second);
    EXPECT_TRUE(std::equal(first->bytes().begin(), first->bytes().end(), data.begin() + 100));
}

TEST(DeviceView, AFileShorterThanItsStatedSizeLendsNoViewOfTheMissingPart) {
    // Mapping past a file's end would fault on access.
    ImageFile image(test::randomBytes(4096, 12));
    FdDevice file(image.fd);
    file.enableViews(64 * 4096);  // the file shrank after its size was taken
    EXPECT_FALSE(file.view(8 * 4096, 4096));
    EXPECT_FALSE(file.view(0, 16 * 4096));
}

TEST(DeviceView, ViewsShareOneMappingWhoseResidentPartStaysWithinItsBudget) {
    // Three budgets' worth of sparse file, viewed piece by piece as a scan does.
    constexpr std::uint64_t kSize = 3 * FdDevice::kResidentBudget;
    constexpr std::size_t kPiece = 4 << 20;
    const Bytes head = test::randomBytes(kPiece, 13);
    ImageFile image(head, kSize);
    FdDevice file(image.fd);
    file.enableViews(kSize);
    const auto kept = file.view(0, kPiece);  // in use throughout
    ASSERT_TRUE(kept);
    for (std::uint64_t at = kPiece / 2; at + kPiece <= kSize; at += kPiece) {
        EXPECT_EQ(viewed(file, at, kPiece), copied(file, at, kPiece)) << at;
        EXPECT_LE(file.residentBytes(), FdDevice::kResidentBudget + 2 * kPiece) << at;
    }
    EXPECT_TRUE(std::equal(head.begin(), head.end(), kept->bytes().begin()));
    // Views in use are never let go, whatever the budget says.
    std::vector<DeviceView> held;
    for (std::uint64_t at = 0; at + kPiece <= kSize; at += kPiece) held.push_back(*file.view(at, kPiece));
    EXPECT_GE(file.residentBytes(), kSize - kPiece);
    held.clear();
    EXPECT_LE(file.residentBytes(), FdDevice::kResidentBudget);
}

}  // namespace
}  // namespace vf
