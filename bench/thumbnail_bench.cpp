// Time to make one thumbnail through the sandboxed tool: as the scanner does
// (served: a long-lived tool) and one process per file (thumbnail: process
// start included); decode, shrink, encode and write included in both.
//   build/bin/thumbnail_bench

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "platform/Thumbnailer.h"
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
        // A camera clip as carving finds it: 720p H.264 with the next file's bytes after it. The
        // same picture as a camcorder's MPEG-TS: a key frame each half second, no size stated. A
        // compact camera's photo with the usual EXIF and no preview.
        const std::string clip = "ffmpeg -v error -f lavfi -i testsrc=size=1280x720:rate=25 -t 4 "
                                 "-vf noise=alls=20:allf=t -c:v libx264 -b:v 8M -pix_fmt yuv420p ";
        ok = vf::test::run(clip + "'" + d + "clip.mp4'").status == 0 &&
             vf::test::run(clip + "-g 12 -f mpegts '" + d + "clip.mts'").status == 0 &&
             vf::test::run("convert -size 2400x1600 xc:gray +noise Random -blur 0x1 -quality 88 '" + d +
                           "small.jpeg' && exiftool -q -overwrite_original -DateTimeOriginal='2023:05:01 10:11:12' "
                           "-Make=Maker -Model=Model '" + d + "small.jpeg'").status == 0 &&
             vf::test::run("convert -size 64x48 xc:gray '" + d + "tiny.jpeg'").status == 0;
        if (!ok) return;
        auto carved = vf::test::readFile(dir / "clip.mp4");
        const auto tail = vf::test::randomBytes(2u << 20, 7);
        carved.insert(carved.end(), tail.begin(), tail.end());
        vf::test::writeFile(dir / "clip.mp4", carved);
        for (const char* f : {"big.jpeg", "camera.jpeg", "photo.dng", "clip.mp4", "clip.mts", "small.jpeg", "tiny.jpeg"})
            fs::permissions(dir / f, fs::perms(0644));
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
        state.SkipWithError("ffmpeg, convert or exiftool could not make the test media");
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
BENCHMARK_CAPTURE(served, jpeg4mp_exif_200px, "small.jpeg", 200)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(served, mp4_720p_h264_200px, "clip.mp4", 200)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(served, mts_720p_h264_200px, "clip.mts", 200)->Unit(benchmark::kMillisecond)->UseRealTime();
// What every file costs whatever its size: the round trip, opening, encoding, writing.
BENCHMARK_CAPTURE(served, jpeg_tiny, "tiny.jpeg", 200)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(thumbnail, jpeg24mp_200px, "big.jpeg", 200)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(thumbnail, jpeg24mp_mpf_preview_200px, "camera.jpeg", 200)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(thumbnail, raw24mp_preview_200px, "photo.dng", 200)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(thumbnail, jpeg24mp_800px, "big.jpeg", 800)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
