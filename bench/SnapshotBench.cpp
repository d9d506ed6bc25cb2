// Save and load of a node snapshot of 1,000,000 records (or the count given as the first
// argument), in a temporary folder (or the folder given as the second): seconds, MB/s of the
// stored files, and peak memory. Save and load each run in a child process of their own, so that
// each peak (ru_maxrss) is its own and the load starts from cold data structures.
#include "Database/NodeStorage.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Measure {
    double seconds = 0;
    long peakBeforeKb = 0; // ru_maxrss before the timed step
    long peakAfterKb = 0;  // ru_maxrss after it
    long records = 0;
    bool ok = false;
};

long PeakRssKb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// A record shaped like the cloud's: decimal ids, a mixed-script name, a SHA-1 text.
FILE_INFO Record(int i) {
    FILE_INFO f;
    f.nid = QString::number(4000000000ll + i);
    f.pid = QString::number(4000000000ll + i / 50);
    f.name = QStringLiteral("项目资料 %1 - report.docx").arg(i);
    f.is_dir = i % 50 == 0;
    f.size = quint64(i) * 7919;
    f.ctime = 1600000000u + quint32(i);
    f.mtime = 1600003600u + quint32(i);
    f.attrs = f.is_dir ? 16 : 128;
    f.file_hash = QStringLiteral("%1").arg(quint64(i) * 0x9E3779B97F4A7C15ull, 40, 16, QLatin1Char('0'));
    f.version = 3;
    f.nv = quint64(i) + 100000;
    f.is_sync = true;
    f.qid = QStringLiteral("123456789");
    return f;
}

Measure SaveSnapshot(const QString& path, int count) {
    std::map<QString, FILE_INFO> nodes;
    for (int i = 0; i < count; ++i) {
        FILE_INFO f = Record(i);
        nodes.emplace(f.nid, std::move(f));
    }
    Measure m;
    m.records = long(nodes.size());
    m.peakBeforeKb = PeakRssKb();
    QElapsedTimer timer;
    timer.start();
    m.ok = NodeStorage::Save(QStringLiteral("987654321"), path, nodes, true);
    m.seconds = double(timer.nsecsElapsed()) / 1e9;
    m.peakAfterKb = PeakRssKb();
    return m;
}

Measure LoadSnapshot(const QString& path) {
    Measure m;
    m.peakBeforeKb = PeakRssKb();
    std::map<QString, FILE_INFO> nodes;
    QString version;
    QElapsedTimer timer;
    timer.start();
    m.ok = NodeStorage::Load(version, path, nodes);
    m.seconds = double(timer.nsecsElapsed()) / 1e9;
    m.peakAfterKb = PeakRssKb();
    m.records = long(nodes.size());
    return m;
}

// Runs `step` in a child process and hands its result back through a pipe.
template <typename Step>
bool RunInChild(Step step, Measure& out) {
    int fds[2];
    if (pipe(fds) != 0)
        return false;
    const pid_t child = fork();
    if (child < 0)
        return false;
    if (child == 0) {
        close(fds[0]);
        const Measure m = step();
        const bool written = write(fds[1], &m, sizeof m) == ssize_t(sizeof m);
        _exit(written ? 0 : 1);
    }
    close(fds[1]);
    const bool read_ok = read(fds[0], &out, sizeof out) == ssize_t(sizeof out);
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return read_ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

qint64 StoredBytes(const QString& path, quint32& parts) {
    qint64 bytes = QFileInfo(path).size();
    parts = 0;
    while (QFileInfo::exists(NodeStorage::PartPath(path, parts + 1))) {
        ++parts;
        bytes += QFileInfo(NodeStorage::PartPath(path, parts)).size();
    }
    return bytes;
}

} // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 1000000;
    QTemporaryDir temp;
    const QString folder = argc > 2 ? QString::fromLocal8Bit(argv[2]) : temp.path();
    if (count <= 0 || folder.isEmpty() || !QDir().mkpath(folder)) {
        std::fprintf(stderr, "usage: %s [records] [folder]\n", argv[0]);
        return 2;
    }
    const QString path = QDir(folder).filePath(QStringLiteral("nodes_page.dat"));

    Measure save;
    if (!RunInChild([&] { return SaveSnapshot(path, count); }, save) || !save.ok) {
        std::fprintf(stderr, "the save failed\n");
        return 1;
    }
    quint32 parts = 0;
    const double mb = double(StoredBytes(path, parts)) / (1024.0 * 1024.0);
    Measure load;
    if (!RunInChild([&] { return LoadSnapshot(path); }, load) || !load.ok || load.records != save.records) {
        std::fprintf(stderr, "the load failed or lost records\n");
        return 1;
    }
    NodeStorage::Clean(path);

    std::printf("snapshot of %ld nodes: %.1f MB in %u part files (%s)\n", save.records, mb, parts,
                folder.toUtf8().constData());
    std::printf("save: %.2f s, %.1f MB/s, peak RSS %.1f MB (%.1f MB with the tree built, before the save)\n",
                save.seconds, mb / save.seconds, save.peakAfterKb / 1024.0, save.peakBeforeKb / 1024.0);
    std::printf("load: %.2f s, %.1f MB/s, peak RSS %.1f MB (%.1f MB before the load)\n", load.seconds,
                mb / load.seconds, load.peakAfterKb / 1024.0, load.peakBeforeKb / 1024.0);
    return 0;
}
