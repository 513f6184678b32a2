// Time to make one thumbnail through the sandboxed tool: as the scanner does
// (served: a long-lived tool) and one process per file (thumbnail: process
// start included); decode, shrink, encode and write included in both.
//   build/bin/thumbnail_bench

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "platform/Thumbnailer.h"
#include "tests/support/DngBuilder.h"
#include "tests/support/MediaSynthetic.h"
#include "tests/support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

struct Media {
    vf::test::TempDir dir;
    bool ok = false;
    Media() {
        fs::permissions(dir.path(), fs::perms(0777));
        const std::string d = dir.path().string() + "/";
        // 24 megapixels, noisy enough to be as dense as a camera's JPEG.
        ok = vf::test::run("ffmpeg -v error -f lavfi -i 'testsrc2=s=6000x4000,noise=alls=12:allf=t,format=yuvj420p' "
                           "-frames:v 1 -q:v 3 '" + d + "big.jpeg'").status == 0 &&
             vf::test::run("ffmpeg -v error -f lavfi -i 'testsrc2=s=1616x1080,format=yuvj420p' -frames:v 1 -q:v 3 '" +
                           d + "preview.jpeg'").status == 0;
        if (!ok) return;
        // A 24-megapixel raw file with a camera-sized embedded preview.
        vf::test::writeFile(dir / "photo.dng",
                            vf::test::makeDng(vf::test::readFile(dir / "preview.jpeg"), 1616, 1080, 6000, 4000));
        // The same photo as a camera writes it, with its preview in an MPF index.
        vf::test::writeFile(dir / "camera.jpeg", vf::test::mpfJpeg(vf::test::readFile(dir / "big.jpeg"),
                                                                  vf::test::readFile(dir / "preview.jpeg")));
        for (const char* f : {"big.jpeg", "camera.jpeg", "photo.dng"}) fs::permissions(dir / f, fs::perms(0644));
    }
};

Media& media() {
    static Media m;
    return m;
}

// `served`: the scanner's way, one long-lived tool (started before timing)
// for file after file; otherwise a process per file.
void run(benchmark::State& state, const char* source, int side, bool served) {
    Media& m = media();
    if (!m.ok) {
        state.SkipWithError("ffmpeg could not make the test media");
        return;
    }
    vf::ThumbnailOptions options;
    options.toolPath = vf::test::binPath("tessarine-thumb");
    options.reuseProcesses = served;
    vf::ThumbnailQueue queue(options, 1);
    const vf::ThumbnailJob job{m.dir / source, m.dir / "out.jpg", side, side > 200 ? 85 : 60};
    bool ok = true;
    auto once = [&] {
        queue.submit(job, [&](const vf::ThumbnailJob&, bool good) { ok = ok && good; });
        queue.wait();
    };
    if (served) once();
    for (auto _ : state) once();
    if (!ok) state.SkipWithError("the tool failed");
}

void served(benchmark::State& state, const char* source, int side) { run(state, source, side, true); }
void thumbnail(benchmark::State& state, const char* source, int side) { run(state, source, side, false); }

BENCHMARK_CAPTURE(served, jpeg24mp_200px, "big.jpeg", 200)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(served, jpeg24mp_mpf_preview_200px, "camera.jpeg", 200)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(served, raw24mp_preview_200px, "photo.dng", 200)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(thumbnail, jpeg24mp_200px, "big.jpeg", 200)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(thumbnail, jpeg24mp_mpf_preview_200px, "camera.jpeg", 200)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(thumbnail, raw24mp_preview_200px, "photo.dng", 200)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(thumbnail, jpeg24mp_800px, "big.jpeg", 800)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
