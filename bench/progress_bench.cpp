// What progress records cost at card scale: writing a record that lists every
// file found so far, and decoding it again as the application does.

#include <benchmark/benchmark.h>

#include <filesystem>
#include <unistd.h>

#include "common/Records.h"
#include "helper/ProgressWriter.h"

namespace {

std::vector<vf::RecoveredFileInfo> files(std::size_t n) {
    std::vector<vf::RecoveredFileInfo> out(n);
    for (std::size_t i = 0; i < n; ++i) {
        auto& f = out[i];
        f.id = f.fileName = "2023-05-01_12-30-45_SONY_ILCE-7M3_" + std::to_string(i) + ".arw";
        f.fileType = "ARW";
        f.fileSize = 24'000'000 + i;
        f.dateTaken = "2023:05:01 12:30:45";
        f.offsetOnDisk = 4096ull * 6000 * i;
    }
    return out;
}

// One record with n files, as written once the list has that many (entries encoded before).
void BM_WriteRecord(benchmark::State& state) {
    const auto list = files(static_cast<std::size_t>(state.range(0)));
    const std::string path = "/tmp/vf-progress-bench-" + std::to_string(::getpid()) + ".json";
    vf::ProgressWriter writer(path);
    vf::ProgressInfo info;
    info.phase = "Found 1 file(s)";
    writer.write(info, list);  // encodes the entries once
    const auto before = writer.bytesWritten();
    for (auto _ : state) writer.write(info, list);
    state.SetBytesProcessed(static_cast<std::int64_t>(writer.bytesWritten() - before));
    std::filesystem::remove(path);
}
BENCHMARK(BM_WriteRecord)->Arg(1'000)->Arg(10'000)->Arg(100'000)->Unit(benchmark::kMillisecond);

void BM_DecodeRecord(benchmark::State& state) {
    vf::ProgressInfo info;
    info.phase = "Found 1 file(s)";
    info.newFiles = files(static_cast<std::size_t>(state.range(0)));
    const std::string text = vf::encodeProgress(info);
    for (auto _ : state) benchmark::DoNotOptimize(vf::decodeProgress(text));
    state.SetBytesProcessed(static_cast<std::int64_t>(text.size() * state.iterations()));
    state.counters["record_MB"] = static_cast<double>(text.size()) / 1e6;
}
BENCHMARK(BM_DecodeRecord)->Arg(1'000)->Arg(10'000)->Arg(100'000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
