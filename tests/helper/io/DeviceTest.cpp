// Views lend the same bytes readAt copies, or nothing.

#include "helper/io/Device.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

namespace vf {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(DeviceView, FileAndMemoryViewsMatchReadsAtAnyOffsetUpToTheEnd) {
    const Bytes data = test::randomBytes(3 * 4096 + 700, 11);
    test::TempDir dir;
    test::writeFile(dir / "card.img", data);
    const int fd = ::open((dir / "card.img").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    FdDevice file(fd);
    EXPECT_FALSE(file.view(0, 512)) << "no views until the size is known";
    file.enableViews(data.size());
    MemoryDevice memory(data);
    for (Device* d : {static_cast<Device*>(&file), static_cast<Device*>(&memory)}) {
        // Inside a page, across pages, off the page grid, and past the end (short).
        for (const auto& [offset, length] : std::vector<std::pair<std::uint64_t, std::size_t>>{
                 {0, 512}, {512, 8192}, {4095, 4098}, {2 * 4096 + 1000, 10'000}, {data.size() - 1, 64}}) {
            const auto v = d->view(offset, length);
            Bytes copy(length);
            copy.resize(d->readAt(offset, copy).bytes);
            ASSERT_TRUE(v) << offset << "+" << length;
            EXPECT_TRUE(std::equal(v->bytes().begin(), v->bytes().end(), copy.begin(), copy.end())) << offset << "+" << length;
        }
        EXPECT_FALSE(d->view(data.size(), 512)) << "nothing at the end of the data";
    }
    // A view outlives a later one.
    const auto first = file.view(100, 200), second = file.view(5000, 300);
    ASSERT_TRUE(first && second);
    EXPECT_TRUE(std::equal(first->bytes().begin(), first->bytes().end(), data.begin() + 100));

    // A file that shrank after its size was taken lends no view of the missing
    // part: mapping past a file's end would fault on access.
    FdDevice shrunk(fd);
    shrunk.enableViews(64 * 4096);
    EXPECT_FALSE(shrunk.view(8 * 4096, 4096));
    EXPECT_FALSE(shrunk.view(0, 16 * 4096));
    ::close(fd);
}

}  // namespace
}  // namespace vf
