// tessarine: the scan engine on the command line, for disk images and devices
// the user may read. Needs no root.

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <unistd.h>

#include "common/ByteCount.h"
#include "helper/CommandLine.h"
#include "helper/DiskCarver.h"
#include "helper/ProgressWriter.h"
#include "helper/Session.h"
#include "helper/ThumbnailAdapter.h"
#include "helper/io/Log.h"
#include "platform/DiskQuery.h"
#include "platform/Unmounter.h"

namespace {

vf::DiskCarver* gCarver = nullptr;

void onInterrupt(int) {
    if (gCarver) gCarver->requestStop();
    // A second Ctrl-C ends the program at once.
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
}

std::string duration(double seconds) {
    if (seconds < 0 || seconds > 1e7) return "--";
    const auto s = static_cast<long>(seconds);
    char buf[32];
    if (s >= 3600) std::snprintf(buf, sizeof buf, "%ldh%02ldm", s / 3600, (s / 60) % 60);
    else if (s >= 60) std::snprintf(buf, sizeof buf, "%ldm%02lds", s / 60, s % 60);
    else std::snprintf(buf, sizeof buf, "%lds", s);
    return buf;
}

// The live progress line on a terminal, plain lines elsewhere.
class ProgressDisplay {
public:
    ProgressDisplay() : tty_(::isatty(STDERR_FILENO) == 1), start_(std::chrono::steady_clock::now()) {}

    void update(std::uint64_t bytes, std::uint64_t resume, std::int64_t files, std::uint64_t total,
                const std::string& phase, const std::vector<vf::RecoveredFileInfo>& list) {
        for (std::size_t i = shown_; i < list.size(); ++i)
            line("found " + list[i].fileName + " (" + vf::formatByteCount(list[i].fileSize) + ")");
        shown_ = list.size();
        const auto now = std::chrono::steady_clock::now();
        const double elapsed = std::chrono::duration<double>(now - start_).count();
        const double rate = elapsed > 0.05 ? static_cast<double>(bytes > resume ? bytes - resume : 0) / elapsed : 0;
        std::string text = vf::formatByteCount(bytes);
        if (total) {
            char pct[16];
            std::snprintf(pct, sizeof pct, " (%.0f%%)", 100.0 * static_cast<double>(std::min(bytes, total)) /
                                                      static_cast<double>(total));
            text += " of " + vf::formatByteCount(total) + pct;
        }
        text += "  " + vf::formatByteCount(static_cast<std::uint64_t>(rate)) + "/s  " + std::to_string(files) +
                " files";
        if (total && rate > 0) text += "  " + duration(static_cast<double>(total - std::min(bytes, total)) / rate) + " left";
        text += "  " + phase;
        if (tty_) {
            std::fprintf(stderr, "\r\033[K%s", text.c_str());
            std::fflush(stderr);
            dirty_ = true;
        } else if (std::chrono::duration<double>(now - lastPlain_).count() >= 5.0) {
            lastPlain_ = now;
            std::fprintf(stderr, "%s\n", text.c_str());
        }
    }

    void line(const std::string& text) {
        if (dirty_) std::fprintf(stderr, "\r\033[K");
        dirty_ = false;
        std::fprintf(stderr, "%s\n", text.c_str());
    }

    void finish() {
        if (dirty_) std::fprintf(stderr, "\n");
        dirty_ = false;
    }

private:
    bool tty_;
    bool dirty_ = false;
    std::size_t shown_ = 0;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point lastPlain_{};
};

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    const vf::CliParse parsed = vf::parseCommandLine(args);
    if (!parsed.options) {
        std::fprintf(stderr, "tessarine: %s\n", parsed.error.c_str());
        return 2;
    }
    const vf::CliOptions& o = *parsed.options;
    if (o.help) {
        std::fputs(vf::kCliUsage, stdout);
        return 0;
    }
    if (o.progressFile.has_value() != o.controlFile.has_value()) {
        std::fprintf(stderr, "tessarine: --progress-file and --control-file go together\n");
        return 2;
    }

    // The scanner's log: to a file, to standard error, or nowhere.
    std::unique_ptr<std::ofstream> logFile;
    if (o.logFile) {
        logFile = std::make_unique<std::ofstream>(*o.logFile, std::ios::trunc);
        if (!*logFile) {
            std::fprintf(stderr, "tessarine: cannot write the log %s\n", o.logFile->c_str());
            return 1;
        }
    }
    vf::setLogSink([&](std::string_view line) {
        if (logFile) *logFile << line << '\n';
        if (o.verbose) std::cerr << line << '\n';
    });

    struct stat st {};
    if (::stat(o.source.c_str(), &st) != 0) {
        std::fprintf(stderr, "tessarine: cannot read %s: %s\n", o.source.c_str(), std::strerror(errno));
        return 1;
    }
    if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode) &&
        !(S_ISCHR(st.st_mode) && vf::characterDeviceIsDisk(o.source.c_str()))) {
        std::fprintf(stderr, "tessarine: %s is neither a disk image nor a device\n", o.source.c_str());
        return 1;
    }
    // The scan's own words for a device it may not open are the desktop application's.
    if (const int fd = ::open(o.source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC); fd >= 0) {
        ::close(fd);
    } else {
        const int err = errno;
        if (err == EACCES || err == EPERM)
            std::fprintf(stderr, "tessarine: permission denied: %s\n", o.source.c_str());
        else
            std::fprintf(stderr, "tessarine: cannot read %s: %s\n", o.source.c_str(), std::strerror(err));
        return 1;
    }
    if (o.unmount && S_ISBLK(st.st_mode)) {
        const vf::UnmountResult u = vf::unmountDisk(vf::diskIdentifier(o.source));
        std::fprintf(stderr, "%s\n", u.output.c_str());
        if (!u.ok) return 1;
    }
    std::error_code ec;
    std::filesystem::create_directories(o.output, ec);
    if (ec || !std::filesystem::is_directory(o.output)) {
        std::fprintf(stderr, "tessarine: cannot create the output folder %s: %s\n", o.output.c_str(),
                     ec ? ec.message().c_str() : "not a folder");
        return 1;
    }

    vf::DiskCarver carver;
    carver.enabledFormats = o.formats;
    carver.minimumFileSize = o.minSize;
    carver.diagnosticPath = o.reportFile;
    carver.controlFilePath = o.controlFile;
    if (::geteuid() == 0 && std::getenv("SUDO_UID")) carver.owner = vf::ownerFromEnvironment();

    std::unique_ptr<vf::ThumbnailSink> thumbs;
    if (o.thumbnails) thumbs = vf::makeThumbnailSink(carver.owner);
    carver.thumbnails = thumbs.get();

    std::unique_ptr<vf::ProgressWriter> writer;
    if (o.progressFile) {
        writer = std::make_unique<vf::ProgressWriter>(*o.progressFile);
        vf::attachProgressWriter(carver, *writer);
    }
    ProgressDisplay display;
    auto protocol = carver.progressCallback;
    carver.progressCallback = [&](std::uint64_t bytes, std::int64_t files, std::uint64_t offset, std::uint64_t total,
                                  const std::string& phase, const std::vector<vf::RecoveredFileInfo>& list) {
        if (protocol) protocol(bytes, files, offset, total, phase, list);
        display.update(bytes, o.resume, files, total, phase, list);
    };

    gCarver = &carver;
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
    carver.scan(o.source, o.output, o.resume);
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    gCarver = nullptr;
    display.finish();
    const int status = vf::writeFinalRecord(carver, writer.get());

    if (o.json) {
        nlohmann::json files = nlohmann::json::array();
        for (const auto& f : carver.allRecoveredFiles) files.push_back(nlohmann::json::parse(vf::encodeFileEntry(f)));
        nlohmann::json summary{{"source", o.source},
                               {"output", o.output},
                               {"bytesScanned", carver.bytesScanned},
                               {"totalBytes", carver.totalBytes},
                               {"filesFound", carver.filesFound},
                               {"filesRecovered", carver.allRecoveredFiles.size()},
                               {"stopped", carver.shouldStop.load()},
                               {"files", files}};
        if (carver.errorMessage) summary["error"] = *carver.errorMessage;
        if (carver.errorMessage || carver.shouldStop) summary["resumeOffset"] = carver.currentOffset;
        std::cout << summary.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
    } else {
        // Files already saved are not recovered again from there on.
        if (carver.errorMessage)
            std::fprintf(stderr, "tessarine: %s\n  resume with --resume %llu\n", carver.errorMessage->c_str(),
                         static_cast<unsigned long long>(carver.currentOffset));
        else if (carver.shouldStop)
            std::fprintf(stderr, "tessarine: stopped; resume with --resume %llu\n",
                         static_cast<unsigned long long>(carver.currentOffset));
        std::printf("%s: recovered %zu file(s) into %s (%s scanned)%s\n", carver.shouldStop ? "Stopped" : "Done",
                    carver.allRecoveredFiles.size(), o.output.c_str(), vf::formatByteCount(carver.bytesScanned).c_str(),
                    carver.shouldStop ? "" : "");
        for (const auto& f : carver.allRecoveredFiles)
            std::printf("  %-44s %-5s %10s  at %llu\n", f.fileName.c_str(), f.fileType.c_str(),
                        vf::formatByteCount(f.fileSize).c_str(), static_cast<unsigned long long>(f.offsetOnDisk));
    }
    return status;
}
