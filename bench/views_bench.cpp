// The recovered-file list at 100,000 files, on the main thread as the window
// runs it: opening the list, scrolling it end to end a screen at a time with
// every screen painted, and a poll that appends files meanwhile. Each must
// stay under a frame (16 ms); the counters give the slowest step.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QPixmap>
#include <QScrollBar>

#include <chrono>
#include <cstdlib>

#include "app/views/RecoveredFilesPanel.h"
#include "app/views/Theme.h"

namespace {

using Clock = std::chrono::steady_clock;

std::vector<vf::RecoveredFileInfo> files(std::size_t n) {
    std::vector<vf::RecoveredFileInfo> out(n);
    static const char* types[] = {"JPEG", "ARW", "MP4", "CR3"};
    for (std::size_t i = 0; i < n; ++i) {
        auto& f = out[i];
        f.id = f.fileName = "2023-05-01_12-30-45_SONY_ILCE-7M3_" + std::to_string(i) + ".jpg";
        f.fileType = types[i % 4];
        f.fileSize = 24'000'000 + i;
        f.dateTaken = "2023:05:01 12:30:45";
        f.offsetOnDisk = 4096ull * 6000 * i;
        f.thumbName = f.fileName.substr(0, f.fileName.size() - 4) + ".thumb.jpg";
    }
    return out;
}

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Thumbnails answer at once with a small picture, as a warm cache would.
vf::ThumbnailLoader::ReadImage instantRead() {
    return [](const QString&, std::function<void(QImage)> done) {
        static const QImage img = [] {
            QImage i(200, 150, QImage::Format_RGB32);
            i.fill(QColor(90, 120, 160));
            return i;
        }();
        done(img);
    };
}

struct Window {
    vf::RecoveredFilesPanel panel{instantRead()};
    explicit Window(vf::RecoveredFileRow::Layout layout) {
        panel.resize(680, 420);
        panel.setRowLayout(layout);
        panel.setOutputDirectory(QStringLiteral("/nonexistent"));
        panel.show();
        QApplication::processEvents();
    }
    void paint() {
        QPixmap pm(panel.view()->viewport()->size());
        panel.view()->viewport()->render(&pm);
    }
};

vf::RecoveredFileRow::Layout layoutOf(const benchmark::State& state) {
    return state.range(0) ? vf::RecoveredFileRow::Layout::grid : vf::RecoveredFileRow::Layout::rows;
}

void BM_OpenList(benchmark::State& state) {
    const auto list = files(100'000);
    double worst = 0;
    for (auto _ : state) {
        state.PauseTiming();
        Window w(layoutOf(state));
        state.ResumeTiming();
        const auto t0 = Clock::now();
        w.panel.setFiles(&list);
        QApplication::processEvents();
        w.paint();
        worst = std::max(worst, ms(Clock::now() - t0));
    }
    state.counters["worst_ms"] = worst;
}
BENCHMARK(BM_OpenList)->Arg(0)->Arg(1)->ArgName("grid")->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_ScrollEndToEnd(benchmark::State& state) {
    const auto list = files(100'000);
    Window w(layoutOf(state));
    w.panel.setFiles(&list);
    QApplication::processEvents();
    QScrollBar* bar = w.panel.view()->verticalScrollBar();
    double worst = 0;
    std::int64_t steps = 0;
    for (auto _ : state) {
        bar->setValue(0);
        for (int v = 0; v <= bar->maximum(); v += std::max(1, bar->maximum() / 200)) {
            const auto t0 = Clock::now();
            bar->setValue(v);
            w.panel.view()->publishVisible();
            QApplication::processEvents();
            w.paint();
            worst = std::max(worst, ms(Clock::now() - t0));
            ++steps;
        }
    }
    state.counters["worst_step_ms"] = worst;
    state.counters["steps"] = static_cast<double>(steps);
}
BENCHMARK(BM_ScrollEndToEnd)->Arg(0)->Arg(1)->ArgName("grid")->Unit(benchmark::kMillisecond)->Iterations(2);

// A poll that brings 50 more files to a list of 100,000, while scrolled midway.
void BM_PollAppend(benchmark::State& state) {
    auto list = files(100'000);
    const auto more = files(200'000);
    Window w(layoutOf(state));
    w.panel.setFiles(&list);
    QApplication::processEvents();
    w.panel.view()->verticalScrollBar()->setValue(w.panel.view()->verticalScrollBar()->maximum() / 2);
    double worst = 0;
    for (auto _ : state) {
        const std::size_t first = list.size();
        if (first + 50 > more.size()) break;
        list.insert(list.end(), more.begin() + static_cast<long>(first), more.begin() + static_cast<long>(first) + 50);
        const auto t0 = Clock::now();
        w.panel.filesAppended(static_cast<qsizetype>(first), 50);
        QApplication::processEvents();
        w.paint();
        worst = std::max(worst, ms(Clock::now() - t0));
    }
    state.counters["worst_ms"] = worst;
}
BENCHMARK(BM_PollAppend)->Arg(0)->Arg(1)->ArgName("grid")->Unit(benchmark::kMillisecond)->Iterations(50);

}  // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    vf::theme::apply(app);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
