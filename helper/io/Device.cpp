#include "helper/io/Device.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <sys/mman.h>
#include <unistd.h>

namespace vf {

DeviceView& DeviceView::operator=(DeviceView&& o) noexcept {
    if (this != &o) {
        if (mapping_) ::munmap(mapping_, mappingBytes_);
        bytes_ = std::exchange(o.bytes_, {});
        mapping_ = std::exchange(o.mapping_, nullptr);
        mappingBytes_ = std::exchange(o.mappingBytes_, 0);
    }
    return *this;
}

DeviceView::~DeviceView() {
    if (mapping_) ::munmap(mapping_, mappingBytes_);
}

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

std::optional<DeviceView> FdDevice::view(std::uint64_t offset, std::size_t length) {
    if (!viewBytes_ || offset >= *viewBytes_) return std::nullopt;
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(length, *viewBytes_ - offset));
    static const auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    const std::uint64_t at = offset / page * page;
    const std::size_t lead = static_cast<std::size_t>(offset - at);
    if (at > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return std::nullopt;
    void* map = ::mmap(nullptr, lead + n, PROT_READ, MAP_SHARED, fd_, static_cast<off_t>(at));
    if (map == MAP_FAILED) return std::nullopt;
    DeviceView v(std::span(static_cast<const std::uint8_t*>(map) + lead, n), map, lead + n);
    // Reading every page now turns an unreadable block (or a device that shrank)
    // into an error here rather than a SIGBUS while searching.
    if (::madvise(map, lead + n, MADV_POPULATE_READ) != 0) return std::nullopt;
    return v;
}

std::optional<DeviceView> MemoryDevice::view(std::uint64_t offset, std::size_t length) {
    if (offset >= data_.size()) return std::nullopt;
    const std::size_t n = std::min<std::uint64_t>(length, data_.size() - offset);
    return DeviceView(std::span<const std::uint8_t>(data_.data() + offset, n), nullptr, 0);
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
