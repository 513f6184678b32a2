// The progress file as the application's poll reads it: two records in a row
// through one reader, the second read with what the first one taught it.
#include <cstdint>
#include <string_view>

#include "app/ProgressReader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view all(reinterpret_cast<const char*>(data), size);
    const std::size_t cut = all.find('\x01');
    const std::string_view first = all.substr(0, cut), second = cut == all.npos ? all : all.substr(cut + 1);
    vf::ProgressReader fresh;
    if (auto mine = fresh.decode(first)) {
        // What the poll accepts is a record the shared decoder accepts too, with the same list.
        const auto theirs = vf::decodeProgress(first);
        if (!theirs || !(*theirs == *mine)) __builtin_trap();
    }
    const std::uint64_t before = fresh.consumed();
    if (auto next = fresh.decode(second)) {
        (void)next;
    } else if (fresh.consumed() != before) {
        __builtin_trap();  // a refused record must not move the reader on
    }
    return 0;
}
