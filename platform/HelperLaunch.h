#pragma once
// Starting the root scanner. The command text is built here from fixed, quoted
// values only; each launcher runs it with the rights it can get.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vf {

// The scanner's positional command line, as the application fills it.
struct HelperInvocation {
    std::string helperPath;
    std::string devicePath;
    std::string outputDirectory;
    std::string progressFile;
    std::string controlFile;
    std::string formatFilter;  // sorted names joined with ","; empty for all formats
    std::uint64_t minFileSize = 0;
    std::uint64_t resumeOffset = 0;
};

// Wraps a value in single quotes; each quote inside becomes '\''.
std::string shellQuote(std::string_view value);

// The eight values in the scanner's order, unquoted.
std::vector<std::string> helperArguments(const HelperInvocation& inv);

// The eight quoted values joined with blanks.
std::string quotedHelperCommand(const HelperInvocation& inv);

// "sudo <command> > <log> 2>&1 &".
std::string sudoShellCommand(const HelperInvocation& inv, std::string_view launchLog);

// The AppleScript source: the sudo command with backslashes and double quotes
// escaped, inside "do shell script \"…\" with administrator privileges".
std::string appleScriptSource(const HelperInvocation& inv, std::string_view launchLog);

struct LaunchOutcome {
    enum class Kind {
        launched,   // the scanner was started in the background
        cancelled,  // the user dismissed or was refused the administrator prompt
        failed,     // the launch command ended with another status
        notStarted  // the launch command itself could not be run
    };
    Kind kind = Kind::notStarted;
    int exitStatus = -1;
    std::string standardError;  // of the launch command, as UTF-8 text
    std::string error;          // why it could not be run (notStarted)
};

// The scanner's early output goes to an open launch log, so no launcher ever
// asks a root shell to open a path that someone else may have planted.
struct LaunchLog {
    int fd = -1;       // open for writing, owned by the caller
    std::string path;  // where it is, for reading it back
};

class HelperLauncher {
public:
    virtual ~HelperLauncher() = default;
    // Blocks until the scanner runs in the background or the launch failed.
    virtual LaunchOutcome launch(const HelperInvocation& inv, const LaunchLog& log) = 0;
    // For the log lines "Launching helper via <name>..." and "<tool> exit: …".
    virtual std::string_view name() const = 0;
    virtual std::string_view tool() const = 0;
};

// "/usr/bin/osascript -e <appleScriptSource>".
std::unique_ptr<HelperLauncher> makeAppleScriptLauncher();
// pkexec running the launch script beside the scanner, which passes on the
// invoking user as SUDO_UID/SUDO_GID and backgrounds the scanner.
std::unique_ptr<HelperLauncher> makePkexecLauncher(std::string pkexec = "/usr/bin/pkexec");
// Already root: the same command without a prompt.
std::unique_ptr<HelperLauncher> makeDirectLauncher();
// Runs `argv` in the background through a shell (fixed, quoted values only),
// with its output on the log, as the calling user; returns once it is started.
LaunchOutcome launchDetached(const std::vector<std::string>& argv, const LaunchLog& log);

// The one that fits this process and platform.
std::unique_ptr<HelperLauncher> makeDefaultLauncher();

// Opens (creating or truncating) the launch log at `path` without following a
// link, refusing anything but a regular, singly linked file of this user; when
// refused, a private file in `fallbackDir` (made 0700) is used instead.
// fd -1 when neither can be opened.
LaunchLog openLaunchLog(const std::string& path, const std::string& fallbackDir);

}  // namespace vf
