#include "tests/support/TestSupport.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <openssl/evp.h>
#include <pwd.h>
#include <random>
#include <stdexcept>
#include <sys/wait.h>

namespace vf::test {

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "vftest-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::vector<std::uint8_t> randomBytes(std::size_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> out(n);
    for (std::size_t i = 0; i < n; i += 4)  // four bytes a draw, low byte first
        for (std::uint32_t v = rng(), k = 0; k < 4 && i + k < n; ++k)
            out[i + k] = static_cast<std::uint8_t>(v >> (8 * k));
    return out;
}

std::vector<std::uint8_t> readFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::string readText(const std::filesystem::path& p) {
    const auto b = readFile(p);
    return std::string(b.begin(), b.end());
}

void writeFile(const std::filesystem::path& p, const std::vector<std::uint8_t>& data) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

std::string shellQuoted(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

CommandResult run(const std::string& commandLine) {
    CommandResult r;
    // A group, so that the errors of every command of a list are captured.
    FILE* pipe = ::popen(("{ " + commandLine + "\n} 2>&1").c_str(), "r");
    if (!pipe) return r;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) r.output.append(buf, n);
    const int st = ::pclose(pipe);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

bool haveTool(const std::string& tool) { return run("command -v " + tool + " >/dev/null").status == 0; }

std::string binPath(const std::string& program) { return std::string(VF_BIN_DIR) + "/" + program; }
std::string sourcePath(const std::string& relative) { return std::string(VF_SOURCE_DIR) + "/" + relative; }

bool testMedia(const std::string& set, const std::filesystem::path& dir, std::string* why) {
    namespace fs = std::filesystem;
    const char* shared = std::getenv("VF_TEST_MEDIA");
    const TempDir made;
    fs::path source = shared ? fs::path(shared) / set : fs::path();
    CommandResult r;
    if (!shared || !fs::exists(source / ".complete")) {
        source = made / set;
        r = run(shellQuoted(sourcePath("tools/make-test-media")) + " " + set + " " + shellQuoted(source));
    }
    // A set the tool could not make (a tool missing) has no mark, and the tool says why.
    const bool complete = fs::exists(source / ".complete");
    // Sparse: the demo card is mostly holes.
    if (complete) r = run("cp -R --sparse=always " + shellQuoted(source / ".") + " " + shellQuoted(dir));
    if ((!complete || r.status != 0) && why) *why = r.output;
    return complete && r.status == 0;
}

// The file on standard input: a name never appears in (or escapes) the output.
std::string sha256(const std::filesystem::path& p) {
    const CommandResult r = run("sha256sum < " + shellQuoted(p.string()));
    return r.status == 0 ? r.output.substr(0, 64) : "";
}

std::string sha256(std::span<const std::uint8_t> bytes) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    std::string out;
    if (EVP_Digest(bytes.data(), bytes.size(), md, &len, EVP_sha256(), nullptr) != 1) return "";
    for (unsigned int i = 0; i < len; ++i) out += {"0123456789abcdef"[md[i] >> 4], "0123456789abcdef"[md[i] & 0x0F]};
    return out;
}

// Without root, useradd's own words say why.
TestUser::TestUser(const std::string& name) {
    run("userdel " + name + " >/dev/null 2>&1");  // left by a run that was killed
    const CommandResult r = run("useradd --system --no-create-home --shell /usr/sbin/nologin --user-group " + name);
    if (r.status == 0) undo_ = "userdel " + name;
    const passwd* pw = ::getpwnam(name.c_str());
    if (r.status != 0 || !pw) why_ = "cannot add a user: " + r.output;
    uid_ = pw ? pw->pw_uid : 0;
    gid_ = pw ? pw->pw_gid : 0;
}

std::vector<std::string> TestUser::sudoEnvironment() const {
    return {"SUDO_UID=" + std::to_string(uid_), "SUDO_GID=" + std::to_string(gid_)};
}

}  // namespace vf::test
