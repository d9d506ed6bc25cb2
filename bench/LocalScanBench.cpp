// Files per second of the local scan over a generated tree of 100,000 files, beside a plain
// std::filesystem walk with stat of the same tree. Run: build/bench/bench_localscan
#include "RateReporter.h"
#include "common/LocalScan.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sys/stat.h>

namespace {

constexpr int kFolders = 400;
constexpr int kFilesPerFolder = 250; // 100,000 files in all

QString g_root;

void MakeTree(const QString& root) {
    const std::filesystem::path base = root.toStdString();
    for (int d = 0; d < kFolders; ++d) {
        const std::filesystem::path folder = base / ("Folder" + std::to_string(d));
        std::filesystem::create_directory(folder);
        for (int f = 0; f < kFilesPerFolder; ++f)
            std::ofstream(folder / ("File" + std::to_string(f) + ".txt")) << f;
    }
}

void BM_BuildLocalFileMap(benchmark::State& state) {
    size_t count = 0;
    for (auto _ : state) {
        std::map<QString, FILE_INFO> map;
        BuildLocalFileMap(map, g_root, g_root, false);
        count = map.size();
        benchmark::DoNotOptimize(map);
    }
    state.counters["files_per_second"] =
        benchmark::Counter(double(count), benchmark::Counter::kIsIterationInvariantRate);
}

void BM_FilesystemWalkWithStat(benchmark::State& state) {
    size_t count = 0;
    for (auto _ : state) {
        count = 0;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(g_root.toStdString())) {
            struct stat st {};
            stat(entry.path().c_str(), &st);
            benchmark::DoNotOptimize(st);
            ++count;
        }
    }
    state.counters["files_per_second"] =
        benchmark::Counter(double(count), benchmark::Counter::kIsIterationInvariantRate);
}

BENCHMARK(BM_BuildLocalFileMap)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_FilesystemWalkWithStat)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void PrintRatio(const RateReporter& reporter) {
    const double scan = reporter.Rate("BM_BuildLocalFileMap");
    const double plain = reporter.Rate("BM_FilesystemWalkWithStat");
    if (scan <= 0 || plain <= 0)
        return;
    std::printf("BuildLocalFileMap: %.0f files/s, filesystem walk + stat: %.0f files/s, ratio %.2f\n", scan,
                plain, scan / plain);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    g_root = dir.path();
    MakeTree(g_root);
    RateReporter reporter("files_per_second");
    benchmark::RunSpecifiedBenchmarks(&reporter);
    PrintRatio(reporter);
    benchmark::Shutdown();
    return 0;
}
