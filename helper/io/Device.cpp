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
        release();
        bytes_ = std::exchange(o.bytes_, {});
        mapping_ = std::exchange(o.mapping_, nullptr);
        mappingBytes_ = std::exchange(o.mappingBytes_, 0);
        owner_ = std::exchange(o.owner_, nullptr);
        token_ = std::exchange(o.token_, 0);
    }
    return *this;
}

void DeviceView::release() {
    if (mapping_) ::munmap(mapping_, mappingBytes_);
    if (owner_) owner_->released(token_);
    mapping_ = nullptr;
    owner_ = nullptr;
}

Fetched fetch(Device& device, std::uint64_t offset, std::size_t length, std::vector<std::uint8_t>& buffer) {
    Fetched f;
    f.view = device.view(offset, length);
    if (f.view) {
        f.bytes = f.view->bytes();
        f.result.bytes = f.bytes.size();
        return f;
    }
    if (buffer.size() < length) buffer.resize(length);
    f.result = device.readAt(offset, std::span(buffer.data(), length));
    f.bytes = std::span<const std::uint8_t>(buffer.data(), f.result.bytes);
    return f;
}

FdDevice::~FdDevice() {
    if (whole_) ::munmap(whole_, wholeBytes_);
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

    std::uint64_t token = 0;
    {
        const std::lock_guard lock(mutex_);
        if (!triedWhole_) {
            triedWhole_ = true;
            if (*viewBytes_ <= std::numeric_limits<std::size_t>::max()) {
                void* map = ::mmap(nullptr, static_cast<std::size_t>(*viewBytes_), PROT_READ, MAP_SHARED, fd_, 0);
                if (map != MAP_FAILED) {
                    whole_ = static_cast<std::uint8_t*>(map);
                    wholeBytes_ = static_cast<std::size_t>(*viewBytes_);
                }
            }
        }
        if (!whole_) return ownMapping(at, lead, n);
        // Live before it is populated, so that no eviction drops it meanwhile.
        token = nextToken_++;
        const std::uint64_t to = std::min<std::uint64_t>((offset + n + page - 1) / page * page, wholeBytes_);
        resident_.push_back({at, to, token, true});
        residentBytes_ += to - at;
        evictLocked();
    }
    DeviceView v(std::span<const std::uint8_t>(whole_ + offset, n), this, token);
    // Reading every page now turns an unreadable block (or a device that shrank)
    // into an error here rather than a SIGBUS while searching.
    if (::madvise(whole_ + at, lead + n, MADV_POPULATE_READ) != 0) return std::nullopt;
    return v;
}

std::optional<DeviceView> FdDevice::ownMapping(std::uint64_t at, std::size_t lead, std::size_t n) {
    void* map = ::mmap(nullptr, lead + n, PROT_READ, MAP_SHARED, fd_, static_cast<off_t>(at));
    if (map == MAP_FAILED) return std::nullopt;
    DeviceView v(std::span(static_cast<const std::uint8_t*>(map) + lead, n), map, lead + n);
    if (::madvise(map, lead + n, MADV_POPULATE_READ) != 0) return std::nullopt;
    return v;
}

void FdDevice::released(std::uint64_t token) {
    const std::lock_guard lock(mutex_);
    for (Resident& r : resident_)
        if (r.token == token) r.live = false;
    evictLocked();
}

// Lets go of the oldest ranges no view uses, and that overlap none in use,
// until the mapping holds no more than the budget.
void FdDevice::evictLocked() {
    if (residentBytes_ <= kResidentBudget) return;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> live;  // a handful: the views in use
    for (const Resident& r : resident_)
        if (r.live) live.emplace_back(r.from, r.to);
    for (auto it = resident_.begin(); residentBytes_ > kResidentBudget && it != resident_.end();) {
        const bool inUse = it->live || std::any_of(live.begin(), live.end(), [&](const auto& l) {
            return l.first < it->to && it->from < l.second;
        });
        if (inUse) {
            ++it;
            continue;
        }
        // Only the page-table entries go: the pages stay in the cache and come back on the next use.
        ::madvise(whole_ + it->from, static_cast<std::size_t>(it->to - it->from), MADV_DONTNEED);
        residentBytes_ -= it->to - it->from;
        it = resident_.erase(it);
    }
}

std::uint64_t FdDevice::residentBytes() const {
    const std::lock_guard lock(mutex_);
    return residentBytes_;
}

std::optional<DeviceView> MemoryDevice::view(std::uint64_t offset, std::size_t length) {
    if (offset >= data_.size()) return std::nullopt;
    const std::size_t n = std::min<std::uint64_t>(length, data_.size() - offset);
    return DeviceView(std::span<const std::uint8_t>(data_.data() + offset, n));
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
