#include "tests/support/EndToEnd.h"

#include "tests/support/Process.h"
#include "tests/support/TestSupport.h"


namespace vf::test {
namespace {

std::string firstLine(const std::string& s) { return s.substr(0, s.find('\n')); }

}  // namespace

LoopDevice::LoopDevice(const std::filesystem::path& image) {
    const CommandResult r = run("losetup --find --show --read-only " + shellQuoted(image.string()));
    if (r.status == 0 && firstLine(r.output).rfind("/dev/loop", 0) == 0) device_ = firstLine(r.output);
    else why_ = "no loop device here: " + r.output;
}

LoopDevice::~LoopDevice() {
    if (!device_.empty()) run("losetup -d " + shellQuoted(device_));
}

TmpfsMount::TmpfsMount(const std::filesystem::path& dir, const std::string& size) : dir_(dir) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    const CommandResult r = run("mount -t tmpfs -o size=" + size + " tmpfs " + shellQuoted(dir.string()));
    mounted_ = r.status == 0;
    if (!mounted_) why_ = "cannot mount a tmpfs here: " + r.output;
}

TmpfsMount::~TmpfsMount() {
    if (mounted_) run("umount " + shellQuoted(dir_.string()));
}

bool TmpfsMount::resize(const std::string& size) {
    return mounted_ && run("mount -o remount,size=" + size + " " + shellQuoted(dir_.string())).status == 0;
}

HelperRun runHelper(const std::vector<std::string>& args, const std::string& progressPath,
                    const std::vector<std::string>& env, const std::vector<std::string>& prefix, int limitSeconds) {
    std::vector<std::string> argv = prefix;
    argv.push_back(binPath("TessarineHelper"));
    argv.insert(argv.end(), args.begin(), args.end());
    const TempDir outputDir;
    const std::string output = (outputDir / "output.txt").string();
    HelperRun r;
    r.records = pollFileUntilExit(spawn(argv, output, env), progressPath, &r.status, limitSeconds);
    r.log = readText(output);
    // Never opened when it is anything else: a planted FIFO would block the reader.
    if (std::filesystem::is_regular_file("/tmp/tessarine_debug.log")) r.log += readText("/tmp/tessarine_debug.log");
    return r;
}

std::map<std::string, std::string> recoveredHashes(const std::filesystem::path& dir) {
    std::map<std::string, std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        const std::string name = e.path().filename().string();
        if (name[0] == '.' || name.ends_with(".thumb.jpg") || e.is_symlink()) continue;
        out[name] = sha256(e.path());
    }
    return out;
}

std::multiset<std::string> hashValues(const std::map<std::string, std::string>& byName) {
    std::multiset<std::string> s;
    for (const auto& [name, h] : byName) s.insert(h);
    return s;
}


}  // namespace vf::test
