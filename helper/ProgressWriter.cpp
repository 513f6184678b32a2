#include "helper/ProgressWriter.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Privileges.h"

namespace vf {

bool writeFileAtomically(const std::string& path, const std::string& text, unsigned mode) {
    static std::atomic<unsigned> counter{0};
    const std::string tmp = path + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    ::fchmod(fd, static_cast<mode_t>(mode));  // whatever the umask says
    std::size_t done = 0;
    bool ok = true;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0) ok = false;
    if (ok && ::rename(tmp.c_str(), path.c_str()) != 0) ok = false;
    if (!ok) {
        const int err = errno;
        ::unlink(tmp.c_str());
        errno = err;
    }
    return ok;
}

bool ProgressWriter::write(const ProgressInfo& info) {
    ProgressInfo bare = info;
    bare.newFiles.reset();
    return writeText(encodeProgress(bare));
}

bool ProgressWriter::write(const ProgressInfo& info, const std::vector<RecoveredFileInfo>& files) {
    if (files.size() < encoded_.size()) encoded_.clear();  // a new run's list
    for (std::size_t i = encoded_.size(); i < files.size(); ++i) encoded_.push_back(encodeFileEntry(files[i]));
    return writeText(encodeProgress(info, encoded_));
}

bool ProgressWriter::writeText(const std::string& text) {
    if (path_.empty()) {
        error_ = ENOENT;
        return false;
    }
    bool ok = false;
    if (actAs_) {
        ActingAs as(actAs_->first, actAs_->second);
        ok = as.ok() && writeFileAtomically(path_, text);
        if (!ok) error_ = errno;
    } else {
        ok = writeFileAtomically(path_, text);
        if (!ok) error_ = errno;
    }
    if (ok) bytesWritten_ += text.size();
    return ok;
}

}  // namespace vf
