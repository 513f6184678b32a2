// What one progress poll costs the application's main thread while the scanner
// lists 100,000 recovered files and adds one between polls.

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <filesystem>
#include <fstream>

#include "app/HelperToolManager.h"
#include "platform/HelperLaunch.h"
#include "platform/PowerActivity.h"

namespace {

namespace fs = std::filesystem;

class NoLaunch final : public vf::HelperLauncher {
public:
    vf::LaunchOutcome launch(const vf::HelperInvocation&, const vf::LaunchLog&) override {
        return {vf::LaunchOutcome::Kind::launched, 0, "", ""};
    }
    std::string_view name() const override { return "bench"; }
    std::string_view tool() const override { return "bench"; }
};

class NoPower final : public vf::PowerActivity {
public:
    std::unique_ptr<vf::PowerHold> begin(const std::string&, std::string& error) override {
        error = "not asked in the benchmark";
        return nullptr;
    }
};

vf::RecoveredFileInfo entry(std::size_t i) {
    vf::RecoveredFileInfo f;
    f.id = f.fileName = "2023-05-01_12-30-45_Canon_EOS_R5_" + std::to_string(i) + ".jpeg";
    f.fileType = "JPEG";
    f.fileSize = 4'000'000 + i;
    f.dateTaken = "2023:05:01 12:30:45";
    f.offsetOnDisk = 4096ull * 1000 * i;
    return f;
}

void BM_PollAt100kFiles(benchmark::State& state) {
    const auto files = static_cast<std::size_t>(state.range(0));
    QTemporaryDir dir;
    const QString root = dir.path();
    QDir().mkpath(root + "/tmp");
    { std::ofstream((root + "/TessarineHelper").toStdString()) << "#!/bin/sh\n"; }
    fs::permissions((root + "/TessarineHelper").toStdString(), fs::perms::owner_all);
    vf::HelperToolManager::Services s;
    s.launcher = std::make_shared<NoLaunch>();
    s.power = std::make_shared<NoPower>();
    s.helperPath = root + "/TessarineHelper";
    s.cacheBase = root + "/cache";
    s.tempDir = root + "/tmp";
    s.launchLogPath = root + "/tmp/launch.log";
    s.pollTimer = false;
    vf::HelperToolManager m(s);
    m.startScan("/dev/null");
    QElapsedTimer t;
    t.start();
    while (m.statusMessage() != "Scanning…" && t.elapsed() < 5000) QCoreApplication::processEvents();

    // The scanner encodes each entry once and rewrites the file by rename.
    std::vector<std::string> encoded;
    for (std::size_t i = 0; i < files; ++i) encoded.push_back(vf::encodeFileEntry(entry(i)));
    const std::string path = m.progressFilePath().toStdString();
    vf::ProgressInfo p;
    p.totalBytes = 128ull << 30;
    auto writeRecord = [&] {
        p.bytesScanned = p.currentOffset = encoded.size() << 20;
        p.filesFound = static_cast<std::int64_t>(encoded.size());
        p.phase = "Found " + std::to_string(encoded.size()) + " file(s)";
        { std::ofstream(path + ".new", std::ios::binary) << vf::encodeProgress(p, encoded); }
        fs::rename(path + ".new", path);
    };
    writeRecord();
    QElapsedTimer first;
    first.start();
    m.pollProgress();  // the first poll of a run reads the list whole
    state.counters["firstPollMs"] = static_cast<double>(first.nsecsElapsed()) / 1e6;
    if (m.recoveredFiles().size() != files) state.SkipWithError("first poll did not take every file");
    for (auto _ : state) {
        state.PauseTiming();
        encoded.push_back(vf::encodeFileEntry(entry(encoded.size())));
        writeRecord();
        state.ResumeTiming();
        m.pollProgress();
    }
    if (m.recoveredFiles().size() != encoded.size()) state.SkipWithError("a poll missed a file");
    state.counters["files"] = static_cast<double>(m.recoveredFiles().size());
    state.counters["fileMB"] = static_cast<double>(fs::file_size(path)) / 1e6;
    m.stopScan();
}
BENCHMARK(BM_PollAt100kFiles)->Arg(100'000)->Iterations(200)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
