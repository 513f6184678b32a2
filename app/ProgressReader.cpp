#include "app/ProgressReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace vf {
namespace {

constexpr int kMaxDepth = 64;
constexpr std::uint64_t kMaxFileBytes = 1ull << 30;
// Records up to this size are read whole; larger ones head and tail only.
constexpr std::uint64_t kWholeReadBytes = 256 * 1024;
constexpr std::uint64_t kHeadBytes = 64 * 1024;

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::size_t skipSpace(std::string_view s, std::size_t i) {
    while (i < s.size() && isSpace(s[i])) ++i;
    return i;
}

// Past the closing quote of the string that starts at s[i].
std::optional<std::size_t> skipString(std::string_view s, std::size_t i) {
    if (i >= s.size() || s[i] != '"') return std::nullopt;
    for (++i; i < s.size(); ++i) {
        if (s[i] == '\\')
            ++i;
        else if (s[i] == '"')
            return i + 1;
    }
    return std::nullopt;
}

// Past the value that starts at s[i]. Only its extent is found here; the
// decoder checks what it holds.
std::optional<std::size_t> skipValue(std::string_view s, std::size_t i, int depth) {
    if (i >= s.size() || depth > kMaxDepth) return std::nullopt;
    const char c = s[i];
    if (c == '"') return skipString(s, i);
    if (c == '{' || c == '[') {
        const char close = c == '{' ? '}' : ']';
        i = skipSpace(s, i + 1);
        if (i < s.size() && s[i] == close) return i + 1;
        for (;;) {
            if (c == '{') {
                auto k = skipString(s, i);
                if (!k) return std::nullopt;
                i = skipSpace(s, *k);
                if (i >= s.size() || s[i] != ':') return std::nullopt;
                i = skipSpace(s, i + 1);
            }
            auto v = skipValue(s, i, depth + 1);
            if (!v) return std::nullopt;
            i = skipSpace(s, *v);
            if (i >= s.size()) return std::nullopt;
            if (s[i] == close) return i + 1;
            if (s[i] != ',') return std::nullopt;
            i = skipSpace(s, i + 1);
        }
    }
    const std::size_t start = i;
    while (i < s.size() && !isSpace(s[i]) && s[i] != ',' && s[i] != '}' && s[i] != ']') ++i;
    if (i == start) return std::nullopt;
    return i;
}

}  // namespace

struct ProgressReader::Parsed {
    std::string header = "{";  // every member but the list
    bool hasList = false;
    std::uint64_t listStart = 0;  // file offset of the list's "["
    std::vector<std::string_view> entries;
    std::uint64_t count = 0;  // entries of the list, those skipped included
    std::uint64_t endOfLast = 0;
    std::string_view lastEntry;

    void addMember(std::string_view member) {
        if (header.size() > 1) header += ',';
        header += member;
    }
};

namespace {

// Reads members from s[i] (just after "{" or a ","), adding all but the list to
// the header. Stops at the list's value (returns its index) or past the
// closing "}" (returns npos through `closedAt`).
std::optional<std::size_t> readMembers(std::string_view s, std::size_t i, bool first, std::string* header,
                                       std::size_t& closedAt, bool& foundList) {
    foundList = false;
    for (;;) {
        i = skipSpace(s, i);
        if (i >= s.size()) return std::nullopt;
        if (s[i] == '}' && first) {
            closedAt = i + 1;
            return i + 1;
        }
        auto keyEnd = skipString(s, i);
        if (!keyEnd) return std::nullopt;
        const std::string_view key = s.substr(i, *keyEnd - i);
        std::size_t j = skipSpace(s, *keyEnd);
        if (j >= s.size() || s[j] != ':') return std::nullopt;
        j = skipSpace(s, j + 1);
        if (key == "\"newFiles\"" && j < s.size() && s[j] == '[' && !foundList) {
            foundList = true;
            return j;
        }
        auto valueEnd = skipValue(s, j, 1);
        if (!valueEnd) return std::nullopt;
        if (header) {
            if (header->size() > 1) *header += ',';
            header->append(s.substr(i, *valueEnd - i));
        }
        i = skipSpace(s, *valueEnd);
        if (i >= s.size()) return std::nullopt;
        if (s[i] == '}') {
            closedAt = i + 1;
            return i + 1;
        }
        if (s[i] != ',') return std::nullopt;
        ++i;
        first = false;
    }
}

bool onlySpaceFrom(std::string_view s, std::size_t i) { return skipSpace(s, i) == s.size(); }

// The head: from the record's start to its list (or its end).
bool parseHead(std::string_view head, std::string& header, bool& hasList,
               std::uint64_t& listStart, bool& closed) {
    std::size_t i = skipSpace(head, 0);
    if (i >= head.size() || head[i] != '{') return false;
    std::size_t closedAt = std::string_view::npos;
    bool foundList = false;
    auto r = readMembers(head, i + 1, true, &header, closedAt, foundList);
    if (!r) return false;
    hasList = foundList;
    closed = !foundList;
    if (closed) {
        if (!onlySpaceFrom(head, closedAt)) return false;
    } else {
        listStart = *r;
    }
    return true;
}

// The list and what follows it, from `tail` (which starts at file offset
// `tailOffset`); with `resume`, from just past the last entry read before.
bool parseList(std::string_view tail, std::uint64_t tailOffset, std::uint64_t listStart, bool resume,
               std::uint64_t resumeAt, std::string_view lastEntry, std::uint64_t consumed, std::string& header, std::vector<std::string_view>& entries,
                      std::uint64_t& count, std::uint64_t& endOfLast, std::string_view& last) {
    std::size_t j;
    bool first;
    if (resume) {
        if (resumeAt < tailOffset || resumeAt - tailOffset > tail.size()) return false;
        j = static_cast<std::size_t>(resumeAt - tailOffset);
        if (tail.substr(j, lastEntry.size()) != lastEntry) return false;
        last = tail.substr(j, lastEntry.size());
        j += lastEntry.size();
        endOfLast = tailOffset + j;
        count = consumed;
        first = false;
    } else {
        if (listStart < tailOffset || listStart - tailOffset >= tail.size()) return false;
        j = static_cast<std::size_t>(listStart - tailOffset) + 1;
        count = 0;
        first = true;
    }
    for (;;) {
        j = skipSpace(tail, j);
        if (j >= tail.size()) return false;
        if (tail[j] == ']') {
            ++j;
            break;
        }
        if (!first) {
            if (tail[j] != ',') return false;
            j = skipSpace(tail, j + 1);
        }
        auto end = skipValue(tail, j, 1);
        if (!end) return false;
        last = tail.substr(j, *end - j);
        entries.push_back(last);
        endOfLast = tailOffset + *end;
        ++count;
        j = *end;
        first = false;
    }
    j = skipSpace(tail, j);
    if (j >= tail.size()) return false;
    if (tail[j] == '}') return onlySpaceFrom(tail, j + 1);
    if (tail[j] != ',') return false;
    std::size_t closedAt = std::string_view::npos;
    bool foundList = false;
    auto r = readMembers(tail, j + 1, false, &header, closedAt, foundList);
    if (!r || foundList) return false;
    return onlySpaceFrom(tail, closedAt);
}

}  // namespace

std::optional<ProgressInfo> ProgressReader::finish(Parsed& p) {
    p.header += '}';
    std::optional<ProgressInfo> info = decodeProgress(p.header);
    if (!info) return std::nullopt;
    std::vector<RecoveredFileInfo> fresh;
    fresh.reserve(p.entries.size());
    for (std::string_view e : p.entries) {
        auto f = decodeFileEntry(e);
        if (!f) return std::nullopt;
        fresh.push_back(std::move(*f));
    }
    // The header never holds a list (a "newFiles" that is not one decodes as none).
    if (!fresh.empty()) info->newFiles = std::move(fresh);
    if (p.hasList && p.count > 0) {
        consumed_ = p.count;
        prefixBytes_ = p.endOfLast - p.listStart;
        lastEntry_.assign(p.lastEntry);
    }
    return info;
}

std::optional<ProgressInfo> ProgressReader::decode(std::string_view text) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        const bool resume = attempt == 0 && consumed_ > 0;
        if (attempt == 0 && !resume) continue;
        Parsed p;
        bool closed = false;
        if (!parseHead(text, p.header, p.hasList, p.listStart, closed)) return std::nullopt;
        if (closed) return finish(p);
        const std::uint64_t resumeAt = p.listStart + prefixBytes_ - lastEntry_.size();
        if (parseList(text, 0, p.listStart, resume, resumeAt, lastEntry_, consumed_, p.header, p.entries,
                      p.count, p.endOfLast, p.lastEntry))
            return finish(p);
    }
    return std::nullopt;
}

namespace {

bool preadAll(int fd, std::string& out, std::uint64_t offset, std::uint64_t length) {
    out.resize(static_cast<std::size_t>(length));
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = ::pread(fd, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

std::optional<ProgressInfo> ProgressReader::read(const std::string& path) {
    // Non-blocking and no link: whatever was planted at the path is refused.
    Fd f{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC)};
    if (f.fd < 0) return std::nullopt;
    struct stat st {};
    if (::fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) return std::nullopt;
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (size > kMaxFileBytes) return std::nullopt;
    std::string text;
    if (size <= kWholeReadBytes || consumed_ == 0) {
        if (!preadAll(f.fd, text, 0, size)) return std::nullopt;
        return decode(text);
    }
    // The file is replaced by rename, so head and tail read through one
    // descriptor belong to one record.
    std::string head;
    if (!preadAll(f.fd, head, 0, kHeadBytes)) return std::nullopt;
    Parsed p;
    bool closed = false;
    if (parseHead(head, p.header, p.hasList, p.listStart, closed)) {
        if (closed) return finish(p);
        const std::uint64_t resumeAt = p.listStart + prefixBytes_ - lastEntry_.size();
        std::string tail;
        if (resumeAt < size && preadAll(f.fd, tail, resumeAt, size - resumeAt) &&
            parseList(tail, resumeAt, p.listStart, true, resumeAt, lastEntry_, consumed_, p.header,
                      p.entries, p.count, p.endOfLast, p.lastEntry)) {
            // The views point into `tail`; decode them before it goes.
            return finish(p);
        }
    }
    if (!preadAll(f.fd, text, 0, size)) return std::nullopt;
    return decode(text);
}

}  // namespace vf
