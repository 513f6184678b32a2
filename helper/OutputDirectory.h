#pragma once
// The output folder of a run. Every file is created through the folder's own
// descriptor, exclusively and never through a link, under a hidden temporary
// name; it receives its final name only once it is complete, and a final name
// never replaces an existing file.

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "helper/io/ByteSink.h"

namespace vf {

struct Owner {
    std::uint32_t uid = 501;
    std::uint32_t gid = 20;
};

// SUDO_UID / SUDO_GID, each independently, else 501 and 20.
Owner ownerFromEnvironment();
// Decimal digits with an optional "+" (a "-" only for zero), within 32 bits.
std::optional<std::uint32_t> parseId(const char* text);

// A file being written; a ByteSink for the copy.
class PendingFile final : public ByteSink {
public:
    ~PendingFile() override;
    bool write(std::span<const std::uint8_t> bytes) override;
    std::uint64_t size() const;  // as the file system reports it
    int lastError() const { return error_; }

private:
    friend class OutputDirectory;
    PendingFile(int dirFd, int fd, std::string tempName) : dirFd_(dirFd), fd_(fd), tempName_(std::move(tempName)) {}
    int dirFd_;
    int fd_;
    std::string tempName_;
    int error_ = 0;
    bool committed_ = false;
};

class OutputDirectory {
public:
    // Opens an existing folder (not a link). Nothing when it cannot be opened.
    static std::unique_ptr<OutputDirectory> open(const std::filesystem::path& dir, std::optional<Owner> owner);
    ~OutputDirectory();

    const std::filesystem::path& path() const { return path_; }
    int fd() const { return fd_; }

    // Recovered files in the folder: every entry but thumbnails and our temporaries.
    std::int64_t countFiles() const;
    // Removes temporaries that a killed run left behind: its files' and its
    // thumbnails' (".NAME.thumb.jpg.PID.part" and the tool's scratch folders).
    void removeStaleTemporaries();

    bool exists(const std::string& name) const;
    // Bytes the folder's file system still takes; nothing when it cannot tell.
    std::optional<std::uint64_t> freeBytes() const;

    // A new empty temporary file owned by the user, mode 0644.
    std::unique_ptr<PendingFile> create(int* error = nullptr);
    // Gives a complete file its name: base.ext, else base_1.ext, base_2.ext, …
    // The file is entered in the folder's manifest under its device offset
    // before it takes the name, so that a run killed at any moment can be
    // resumed without recovering it twice. Returns the name taken.
    std::optional<std::string> commit(PendingFile& file, const std::string& base, const std::string& ext,
                                      std::uint64_t deviceOffset, bool carved);

    // Notes in the manifest the thumbnail a file's entry at deviceOffset was given.
    void recordThumbnail(std::uint64_t deviceOffset, const std::string& thumbName);

    struct ManifestEntry {
        std::string name;
        bool carved = false;
        std::optional<std::string> thumb;  // its thumbnail's name, once one was given
    };
    // Device offsets of the files that earlier runs recovered into this folder
    // and that are still there whole.
    std::map<std::uint64_t, ManifestEntry> loadManifest() const;
    // Deletes an uncommitted file.
    void discard(std::unique_ptr<PendingFile> file);

    bool remove(const std::string& name);

    static bool isTemporaryName(const std::string& name);
    // Names ending in ".thumb.jpg" are thumbnails'; no recovered file takes one.
    static bool isThumbnailName(const std::string& name);
    static constexpr const char* kManifestName = ".vf-recovered";

private:
    OutputDirectory(std::filesystem::path path, int fd, std::optional<Owner> owner)
        : path_(std::move(path)), fd_(fd), owner_(owner) {}
    std::filesystem::path path_;
    int fd_;
    bool openManifest();
    std::optional<Owner> owner_;
    int manifestFd_ = -1;
};

// A card-supplied base name made safe for the folder and for the drives it is
// exported to: "/", the characters FAT, exFAT and NTFS refuse (\ ? * : < > | ")
// and control characters become "_", a leading "." becomes "_", invalid UTF-8
// is replaced, and the name is cut to 200 bytes at a character boundary.
std::string sanitizeCardName(const std::string& name);

}  // namespace vf
