// The cost of one progress report (Update) into a transfer task list of 100 and of 50,000 entries,
// beside the plain list that finds by a linear search and recomputes the percent by walking every
// entry (tests/cache/TaskListModel.h), at the same sizes. Two patterns of reports:
// - running: round robin over 8 transfers spread over the list, as a handful of running tasks
//   report while the rest of the list waits;
// - scattered: each report to an entry drawn at random from the whole list, the worst case for
//   the processor's caches (a large list then pays a few memory misses per report).
// Run: build/bench/bench_tasklist
#include "RateReporter.h"
#include "TaskListModel.h"
#include "cache/QCFileInfoCache.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr quint64 kFileSize = 8 * 1024 * 1024;
constexpr int kRunning = 8;

std::vector<FILE_INFO> Records(int count) {
    std::vector<FILE_INFO> records(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        records[size_t(i)].path = QStringLiteral("/项目资料/Folder %1/Report %2.docx").arg(i % 97).arg(i);
        records[size_t(i)].size = kFileSize;
        records[size_t(i)].is_download = true;
    }
    return records;
}

// The entries that receive the reports, in the order they receive them.
std::vector<size_t> Targets(int count, bool scattered) {
    std::vector<size_t> targets;
    std::mt19937 rng(7);
    for (int i = 0; i < (scattered ? 1 << 16 : kRunning); ++i)
        targets.push_back(scattered ? rng() % unsigned(count) : size_t(i) * size_t(count) / kRunning);
    return targets;
}

struct ListUnderTest {
    QCFileInfoCache list;
    quint32 percent = 0;
    void Add(const FILE_INFO& r) { list.Add(r); }
    void Update(const FILE_INFO& r) {
        list.Update(r);
        percent = list.GetPercent();
    }
};

// Reports progress until the timing loop ends; each report moves one file on by a block.
template <typename List>
void ReportProgress(benchmark::State& state, int count, bool scattered) {
    std::vector<FILE_INFO> records = Records(count);
    const std::vector<size_t> targets = Targets(count, scattered);
    List list;
    for (const FILE_INFO& r : records)
        list.Add(r);
    size_t next = 0;
    for (auto _ : state) {
        FILE_INFO& r = records[targets[next++ % targets.size()]];
        r.done_size = (r.done_size + 524288) % kFileSize;
        r.percent = quint32(r.done_size * 100 / kFileSize);
        list.Update(r);
    }
    benchmark::DoNotOptimize(list.percent);
    state.counters["updates_per_second"] =
        benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

std::string Name(const char* list, const char* pattern, int count) {
    return std::string(list) + "/" + pattern + "/" + std::to_string(count);
}

double NsPerUpdate(const RateReporter& reporter, const std::string& name) {
    const double rate = reporter.Rate(name);
    return rate > 0 ? 1e9 / rate : 0;
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    const int counts[] = {100, 50000};
    const char* patterns[] = {"running", "scattered"};
    // One name per case, as the reporter keeps its rates by function name.
    for (const char* pattern : patterns) {
        const bool scattered = pattern[0] == 's';
        for (int count : counts) {
            benchmark::RegisterBenchmark(Name("TaskList", pattern, count).c_str(),
                                         ReportProgress<ListUnderTest>, count, scattered);
            benchmark::RegisterBenchmark(Name("LinearList", pattern, count).c_str(),
                                         ReportProgress<TaskListModel>, count, scattered);
        }
    }
    RateReporter reporter("updates_per_second");
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    for (const char* pattern : patterns) {
        for (int count : counts) {
            const double list = NsPerUpdate(reporter, Name("TaskList", pattern, count));
            const double linear = NsPerUpdate(reporter, Name("LinearList", pattern, count));
            if (list > 0 && linear > 0)
                std::printf("%s, %d entries: task list %.0f ns per update, linear list %.0f ns (%.0fx)\n",
                            pattern, count, list, linear, linear / list);
        }
        const double small = NsPerUpdate(reporter, Name("TaskList", pattern, counts[0]));
        const double large = NsPerUpdate(reporter, Name("TaskList", pattern, counts[1]));
        if (small > 0 && large > 0)
            std::printf("%s: task list at 50000 against 100 entries: %.2f (target <= 2)\n", pattern,
                        large / small);
    }
    return 0;
}
