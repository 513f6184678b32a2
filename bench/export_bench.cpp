// Export speed: 2 GB of recovered files (400 photos of 5 MB) copied into a
// fresh folder on the same disk, beside `cp` on the same files. Our copy
// flushes every file (a batch at a time) before naming it; `cp` does not, so it
// is measured both alone and followed by `sync`, which makes its copies as durable.
// The folders go to VF_EXPORT_BENCH_DIR (default /var/tmp: a disk, not memory).

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <unistd.h>

#include "app/FileExporter.h"

namespace {

namespace fs = std::filesystem;

constexpr int kFiles = 400;
constexpr std::size_t kFileBytes = 5'000'000;

fs::path benchRoot() {
    const char* dir = std::getenv("VF_EXPORT_BENCH_DIR");
    return fs::path(dir ? dir : "/var/tmp") / ("vf-export-bench-" + std::to_string(::getpid()));
}

// The cache folder of a run, made once; incompressible bytes as in real photos.
struct Cache {
    fs::path root = benchRoot();
    fs::path dir = root / "cache";
    std::vector<vf::RecoveredFileInfo> files;
    Cache() {
        fs::create_directories(dir);
        std::mt19937_64 rng(1);
        std::vector<std::uint64_t> block(kFileBytes / 8);
        for (int i = 0; i < kFiles; ++i) {
            for (auto& w : block) w = rng();
            vf::RecoveredFileInfo f;
            f.id = f.fileName = "DSC" + std::to_string(10000 + i) + ".JPG";
            f.fileSize = kFileBytes;
            std::ofstream(dir / f.fileName, std::ios::binary)
                .write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(kFileBytes));
            files.push_back(f);
        }
        ::sync();
    }
    ~Cache() { fs::remove_all(root); }
};

Cache& cache() {
    static Cache c;
    return c;
}

template <typename Copy>
void measure(benchmark::State& state, Copy copy) {
    Cache& c = cache();
    int round = 0;
    for (auto _ : state) {
        const fs::path dest = c.root / ("out" + std::to_string(round++));
        state.PauseTiming();
        fs::create_directories(dest);
        ::sync();
        state.ResumeTiming();
        copy(c, dest);
        state.PauseTiming();
        fs::remove_all(dest);
        ::sync();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kFiles * kFileBytes);
}

void BM_Export(benchmark::State& state) {
    measure(state, [](Cache& c, const fs::path& dest) {
        std::string why;
        auto exporter = vf::FileExporter::open(c.dir, dest, &why);
        const auto counts = vf::exportAll(*exporter, c.files, nullptr);
        if (counts.copied != kFiles) std::abort();
    });
}

void copyWithCp(Cache& c, const fs::path& dest, bool sync) {
    const std::string cmd = "cp -p " + (c.dir / "*").string() + " " + dest.string() + (sync ? " && sync" : "");
    if (std::system(cmd.c_str()) != 0) std::abort();
}
void BM_Cp(benchmark::State& state) { measure(state, [](Cache& c, const fs::path& d) { copyWithCp(c, d, false); }); }
void BM_CpSync(benchmark::State& state) { measure(state, [](Cache& c, const fs::path& d) { copyWithCp(c, d, true); }); }

BENCHMARK(BM_Export)->Iterations(1)->Repetitions(3)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_Cp)->Iterations(1)->Repetitions(3)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_CpSync)->Iterations(1)->Repetitions(3)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
