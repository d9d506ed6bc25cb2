// The index of the synchronised tree against a plain std::map<QString, quint32> of the same keys,
// for 100,000 and 1,000,000 entries (or the counts given as arguments): insert time, the roll-up
// of the root, the listing of a folder of 10,000 children, and bytes per entry (the growth of the
// resident set divided by the entries, less the path text of UTF-16 code units). Paths are
// generated: depth 2 to 8, names of 4 to 40 characters, a fifth of them Chinese, folders of up to
// 10,000 children.
#include "cache/QCCache.h"
#include "common/PathUtils.h"

#include <QElapsedTimer>

#include <cstdio>
#include <cstdlib>
#include <malloc.h>
#include <map>
#include <random>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kBigFolderChildren = 10000;
constexpr int kMaxChildren = 10000;
constexpr int kMaxDepth = 8;
constexpr size_t kBatch = 10000; // records and keys are made outside the timed part, this many at a time

// The engine as the index sees it, with nothing listening.
class BenchHost : public QCCacheHost {
public:
    qint32 PassCounter() const override { return 1; }
    int QueryStatus() const override { return 6; }
    QString SyncFolderPath() const override { return m_root; }
    QString GetVirtualPath(QString localPath) const override { return localPath; }
    QString GetDiskPath(const QString& cloudPath) const override { return MyCombinePath(m_root, cloudPath); }
    QString ReadUserProfile(const QString&, const QString& def) const override { return def; }
    bool UIEventSendMsg(const FileInfo&, bool) override { return true; }
    void NotifyUIEvent(const FILE_INFO&, int) override {}
    void AddToFailedTask(const FILE_INFO&) override {}

private:
    QString m_root = QStringLiteral("/sync");
};

struct Tree {
    std::vector<QString> paths; // parents before their children
    std::vector<bool> dirs;
    quint64 textBytes = 0; // UTF-16 code units of all paths, in bytes
};

QString Name(std::mt19937_64& rng) {
    const int length = 4 + int(rng() % 37);
    QString name;
    name.reserve(length);
    const bool chinese = rng() % 5 == 0;
    static const char kLatin[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 _-.";
    for (int i = 0; i < length; ++i)
        name += chinese ? QChar(ushort(0x4E00 + rng() % 0x51A6))
                        : QChar::fromLatin1(kLatin[rng() % (sizeof kLatin - 1)]);
    return name;
}

Tree MakeTree(int count) {
    std::mt19937_64 rng(20240611);
    Tree tree;
    struct Folder {
        int entry;
        int depth;
        int children;
    };
    std::vector<Folder> open; // folders that may take more children
    auto add = [&](const QString& path, bool dir, int depth) {
        tree.paths.push_back(path);
        tree.dirs.push_back(dir);
        tree.textBytes += quint64(path.size()) * 2;
        if (dir && depth < kMaxDepth)
            open.push_back(Folder{int(tree.paths.size()) - 1, depth, 0});
    };
    add(QStringLiteral("/big"), true, kMaxDepth); // takes no random children
    for (int i = 0; i < kBigFolderChildren; ++i)
        add(QStringLiteral("/big/") + Name(rng) + QString::number(i), false, 2);
    for (int i = 0; i < 50; ++i)
        add(QLatin1Char('/') + Name(rng) + QString::number(i), true, 1);
    while (int(tree.paths.size()) < count) {
        const size_t pick = rng() % open.size();
        Folder& parent = open[pick];
        const int depth = parent.depth + 1;
        const QString path = tree.paths[size_t(parent.entry)] + QLatin1Char('/') + Name(rng);
        if (++parent.children >= kMaxChildren) {
            open[pick] = open.back();
            open.pop_back();
        }
        add(path, depth < kMaxDepth && rng() % 10 == 0, depth);
    }
    return tree;
}

FILE_INFO Record(const Tree& tree, size_t i) {
    FILE_INFO f;
    f.path = tree.paths[i];
    f.name = GetOnlyFilename(f.path);
    f.is_dir = tree.dirs[i];
    f.size = f.is_dir ? 0 : quint64(i) * 7919 % 10000000;
    f.mtime = f.ctime = 1700000000u + quint32(i);
    f.attrs = f.is_dir ? FILE_ATTR_DIRECTORY : FILE_ATTR_NORMAL;
    f.version = 3;
    f.nid = QString::number(4000000000ull + i);
    f.qid = QStringLiteral("123456789");
    if (!f.is_dir)
        f.file_hash = QStringLiteral("%1").arg(quint64(i) * 0x9E3779B97F4A7C15ull, 40, 16, QLatin1Char('0'));
    return f;
}

// Resident bytes after giving freed memory back.
double ResidentBytes() {
    malloc_trim(0);
    long pages = 0;
    long resident = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(statm);
    }
    return double(resident) * double(sysconf(_SC_PAGESIZE));
}

// A deep copy: each stored key owns its text, as keys made from the engine's paths do.
QString Own(const QString& text) {
    return QString(text.constData(), text.size());
}

double Seconds(const QElapsedTimer& timer) {
    return double(timer.nsecsElapsed()) / 1e9;
}

void Line(const char* what, double index, double plain, const char* unit) {
    std::printf("  %-26s index %12.3f %-5s map %12.3f %-5s ratio %6.2f\n", what, index, unit, plain, unit,
                plain > 0 ? index / plain : 0.0);
}

void Run(int count) {
    const Tree tree = MakeTree(count);
    const double n = double(tree.paths.size());
    std::printf("%zu entries, path text %.1f bytes per entry\n", tree.paths.size(),
                double(tree.textBytes) / n);

    // The plain map first; both stay alive, so neither grows into memory the other freed.
    std::map<QString, quint32> plain;
    const double plainBefore = ResidentBytes();
    QElapsedTimer timer;
    double plainInsert = 0;
    std::vector<QString> keys; // each batch's keys, copied outside the timed part
    for (size_t from = 0; from < tree.paths.size(); from += kBatch) {
        keys.clear();
        for (size_t i = from; i < std::min(tree.paths.size(), from + kBatch); ++i)
            keys.push_back(Own(tree.paths[i]));
        timer.restart();
        for (size_t i = 0; i < keys.size(); ++i)
            plain.emplace(std::move(keys[i]), quint32(from + i));
        plainInsert += Seconds(timer);
    }
    keys = std::vector<QString>();
    const double plainBytes = ResidentBytes() - plainBefore;

    BenchHost host;
    QCCache cache(host);
    const double indexBefore = ResidentBytes();
    double indexInsert = 0;
    std::vector<FILE_INFO> batch;
    for (size_t from = 0; from < tree.paths.size(); from += kBatch) {
        batch.clear();
        keys.clear();
        for (size_t i = from; i < std::min(tree.paths.size(), from + kBatch); ++i) {
            batch.push_back(Record(tree, i));
            keys.push_back(Own(tree.paths[i]));
        }
        timer.restart();
        for (size_t i = 0; i < batch.size(); ++i)
            cache.Update(keys[i], batch[i], batch[i].is_dir ? FILE_STATUS_SYNCED : FILE_STATUS_NOT_DOWN,
                         false, false, true);
        indexInsert += Seconds(timer);
    }
    batch = std::vector<FILE_INFO>();
    keys = std::vector<QString>(); // the index now holds the only copy of each key
    const double indexBytes = ResidentBytes() - indexBefore;

    timer.restart();
    FileInfo root;
    cache.GetFileInfoProgressByPathKey(QString(), root);
    const double indexRollUp = Seconds(timer);
    timer.restart();
    quint64 sum = 0;
    for (const auto& entry : plain)
        sum += entry.second;
    const double plainRollUp = Seconds(timer);

    timer.restart();
    std::vector<FileInfo> listed;
    cache.Query(QStringLiteral("/big"), listed);
    const double indexQuery = Seconds(timer);
    timer.restart();
    std::vector<QString> children;
    const QString prefix = QStringLiteral("/big/");
    for (auto it = plain.lower_bound(prefix); it != plain.end() && it->first.startsWith(prefix); ++it) {
        if (it->first.indexOf(QLatin1Char('/'), prefix.size()) < 0)
            children.push_back(it->first);
    }
    const double plainQuery = Seconds(timer);

    std::printf(
        "  (stored %zu / %zu keys; root: %u files, %u folders; /big lists %zu / %zu; checksum %llu)\n",
        cache.CountForTests(), plain.size(), root.file_count, root.dir_count, listed.size(), children.size(),
        static_cast<unsigned long long>(sum % 1000));
    Line("insert", indexInsert, plainInsert, "s");
    Line("insert per entry", indexInsert / n * 1e9, plainInsert / n * 1e9, "ns");
    Line("root roll-up", indexRollUp * 1e3, plainRollUp * 1e3, "ms");
    Line("Query of 10,000 children", indexQuery * 1e3, plainQuery * 1e3, "ms");
    const double text = double(tree.textBytes) / n;
    Line("bytes per entry", indexBytes / n - text, plainBytes / n - text, "B");
    std::printf("  %-26s index %12.1f B     map %12.1f B (resident growth per entry, path text included)\n",
                "", indexBytes / n, plainBytes / n);
}

} // namespace

int main(int argc, char** argv) {
    std::vector<int> counts;
    for (int i = 1; i < argc; ++i)
        counts.push_back(std::atoi(argv[i]));
    if (counts.empty())
        counts = {100000, 1000000};
    for (int count : counts)
        Run(count);
    return 0;
}
