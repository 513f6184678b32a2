#include "helper/io/Device.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <unistd.h>

namespace vf {

ReadResult FdDevice::readAt(std::uint64_t offset, std::span<std::uint8_t> out) {
    ReadResult r;
    while (r.bytes < out.size()) {
        const std::uint64_t pos = offset + r.bytes;
        if (pos < offset || pos > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
            r.error = EINVAL;
            return r;
        }
        const ssize_t n = ::pread(fd_, out.data() + r.bytes, out.size() - r.bytes, static_cast<off_t>(pos));
        if (n < 0) {
            if (errno == EINTR) continue;
            r.error = errno;
            return r;
        }
        if (n == 0) break;  // end of data
        r.bytes += static_cast<std::size_t>(n);
    }
    return r;
}

ReadResult MemoryDevice::readAt(std::uint64_t offset, std::span<std::uint8_t> out) {
    ++reads_;
    ReadResult r;
    if (offset >= data_.size()) return r;
    const std::size_t n = std::min<std::uint64_t>(out.size(), data_.size() - offset);
    std::memcpy(out.data(), data_.data() + offset, n);
    r.bytes = n;
    return r;
}

}  // namespace vf
