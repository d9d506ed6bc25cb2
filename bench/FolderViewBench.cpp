// The folder view of the main window at scale, offscreen, beside a plain QListView in icon mode
// over a QStringListModel of the same names, measured in the same run. For 10,000 and 100,000
// entries (or the counts given as arguments):
// - show: from the core's listing event (one 2201 with every entry) posted to the main window
//   until its grid holds every tile and has painted; the plain view from setting its string list
//   until it has painted;
// - memory: the heap the window keeps per entry once the folder shows (the listing event freed);
//   the plain view's heap per entry, with strings of its own in its model;
// - input: how long an event posted once the folder shows waits to be delivered;
// - scroll: wheel steps from the top to the bottom of the grid, each painted at once.
// Then 1,000 arrivals into a shown folder of 10,000: one 2201 per file, as the view thread posts
// them, until the grid holds every tile and has painted, with the longest stretch in which the
// event loop did not turn; the plain view takes 1,000 single row inserts the same way.
// Last the core's side: 10,000 files of a folder settling (uploading, then synced) on four worker
// threads, with the folder shown by the view thread and with no folder shown.
//
// Run it by hand: build/bench/bench_folder_view [entries...]
#include "main/CImageListView.h"
#include "main/CImageListViewMgr.h"
#include "main/CMainWnd.h"

#include "support/FakeViewHost.h"

#include "cache/QCViewInterface.h"
#include "common/FileInfo.h"
#include "common/QCEvents.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QListView>
#include <QScrollBar>
#include <QStandardPaths>
#include <QStringListModel>
#include <QTimer>
#include <QWheelEvent>

#include <cstdio>
#include <functional>
#include <malloc.h>
#include <memory>
#include <thread>
#include <vector>

namespace {

constexpr int kArrivals = 1000;
constexpr int kArrivalFolder = 10000;
constexpr int kCoreFiles = 10000;
constexpr int kWorkers = 4;
constexpr qint64 kGiveUpMs = 120000;

const QString kFolder = QStringLiteral("/home/user/.local/share/Nimbo/Cache/10001/20002/big/");

size_t HeapInUse() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

// Names as users make them: Latin, Chinese and mixed, short and long.
QString NameOf(int i) {
    switch (i % 4) {
    case 0:
        return QStringLiteral("文件%1.txt").arg(i, 6, 10, QLatin1Char('0'));
    case 1:
        return QStringLiteral("report-%1-final.docx").arg(i);
    case 2:
        return QStringLiteral("数据ABCDEFGHIJ%1.xlsx").arg(i);
    default:
        return QStringLiteral("关于二〇二四年度预算调整的补充说明%1.pdf").arg(i);
    }
}

QStringList Names(int first, int count) {
    QStringList names;
    names.reserve(count);
    for (int i = first; i < first + count; ++i)
        names.append(NameOf(i));
    return names;
}

QCFileUpdateEvent* Listing(const QStringList& names) {
    auto* event = new QCFileUpdateEvent();
    event->data.path = kFolder;
    event->data.total = qint32(names.size());
    event->data.files.reserve(size_t(names.size()));
    for (const QString& name : names) {
        FileInfo entry;
        entry.path = kFolder + name;
        entry.status = 2;
        entry.percent = 100;
        event->data.files.push_back(std::move(entry));
    }
    return event;
}

// Runs the event loop until `done` holds, turning it once per timer tick; the time taken and the
// longest stretch between two turns.
struct Run {
    qint64 totalMs = -1;
    qint64 longestStretchMs = 0;
};
Run RunUntil(const std::function<bool()>& done) {
    Run run;
    QElapsedTimer clock;
    clock.start();
    qint64 lastTurn = 0;
    QEventLoop loop;
    QTimer beat;
    beat.setInterval(0);
    QObject::connect(&beat, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        run.longestStretchMs = std::max(run.longestStretchMs, now - lastTurn);
        lastTurn = now;
        if (done() || now > kGiveUpMs) {
            run.totalMs = done() ? now : -1;
            loop.quit();
        }
    });
    beat.start();
    loop.exec();
    return run;
}

// How long an event posted now waits for its delivery.
qint64 InputWaitMs(QObject* target) {
    QElapsedTimer clock;
    clock.start();
    qint64 delivered = -1;
    QTimer::singleShot(0, target, [&] { delivered = clock.elapsed(); });
    RunUntil([&] { return delivered >= 0; });
    return delivered;
}

// Wheel steps down from the top until the grid's end, each painted at once: steps and ms.
std::pair<int, qint64> FullScroll(QAbstractItemView* view) {
    QScrollBar* bar = view->verticalScrollBar();
    bar->setValue(0);
    view->viewport()->repaint();
    QElapsedTimer clock;
    clock.start();
    int steps = 0;
    const QPointF at(view->viewport()->width() / 2.0, view->viewport()->height() / 2.0);
    while (bar->value() < bar->maximum() && clock.elapsed() < kGiveUpMs) {
        QWheelEvent wheel(at, view->viewport()->mapToGlobal(at.toPoint()), QPoint(), QPoint(0, -120),
                          Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(view->viewport(), &wheel);
        view->viewport()->repaint();
        ++steps;
    }
    return {steps, clock.elapsed()};
}

// The window with its folder view of kFolder shown, empty.
struct Window {
    Window() {
        window = new CMainWnd(nullptr);
        window->resize(1050, 680);
        window->show();
        mgr = window->findChild<CImageListViewMgr*>();
        mgr->SetWorkPath(kFolder);
        mgr->BeginItemUpdate();
        mgr->EndItemUpdate();
        QApplication::processEvents();
    }
    ~Window() {
        delete window;
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    CImageListView* view() { return mgr->getImageListView(kFolder); }
    int rows() { return view()->grid()->model()->rowCount(); }
    // Posts the listing and waits until every tile is in the grid and the grid has painted; ms.
    qint64 Show(const QStringList& names, int expected) {
        QElapsedTimer clock;
        clock.start();
        QCoreApplication::postEvent(window, Listing(names));
        RunUntil([&] { return rows() == expected; });
        view()->grid()->viewport()->repaint();
        return clock.elapsed();
    }

    CMainWnd* window = nullptr;
    CImageListViewMgr* mgr = nullptr;
};

// The plain baseline: a list view of the grid's size in icon mode with the grid's settings.
struct Plain {
    explicit Plain(QSize size) {
        view.setViewMode(QListView::IconMode);
        view.setResizeMode(QListView::Adjust);
        view.setMovement(QListView::Static);
        view.setSpacing(8);
        view.setIconSize(QSize(48, 48));
        view.setModel(&model);
        view.resize(size);
        view.show();
        QApplication::processEvents();
    }
    qint64 Show(const QStringList& names) {
        QElapsedTimer clock;
        clock.start();
        model.setStringList(names);
        view.doItemsLayout();
        view.viewport()->repaint();
        return clock.elapsed();
    }
    QStringListModel model;
    QListView view;
};

double Ratio(qint64 ours, qint64 plain) {
    return double(ours) / double(std::max<qint64>(plain, 1));
}

void BenchSize(int entries) {
    const QStringList names = Names(0, entries);
    std::printf("\n%d entries\n", entries);

    auto window = std::make_unique<Window>();
    malloc_trim(0);
    const size_t heapBefore = HeapInUse();
    const qint64 shown = window->Show(names, entries);
    QApplication::processEvents();
    malloc_trim(0);
    const double oursPerEntry = double(HeapInUse() - heapBefore) / entries;
    const qint64 input = InputWaitMs(window->window);
    const QSize gridSize = window->view()->grid()->size();
    const auto scroll = FullScroll(window->view()->grid());
    window.reset();

    auto plain = std::make_unique<Plain>(gridSize);
    malloc_trim(0);
    const size_t plainBefore = HeapInUse();
    // Names of its own, as the window makes its own from the listing.
    QStringList own;
    own.reserve(names.size());
    for (const QString& name : names)
        own.append(QString(name.constData(), name.size()));
    const qint64 plainShown = plain->Show(own);
    own.clear();
    malloc_trim(0);
    const double plainPerEntry = double(HeapInUse() - plainBefore) / entries;
    const qint64 plainInput = InputWaitMs(&plain->view);
    const auto plainScroll = FullScroll(&plain->view);
    plain.reset();

    std::printf("  show:          %6lld ms   plain %6lld ms   ratio %.2f (goal: at most %s)\n",
                static_cast<long long>(shown), static_cast<long long>(plainShown), Ratio(shown, plainShown),
                entries <= 10000 ? "3" : "5");
    std::printf(
        "  memory:        %8.0f B/entry   plain %8.0f B/entry   beyond plain %.0f B (goal: at most 1024)\n",
        oursPerEntry, plainPerEntry, oursPerEntry - plainPerEntry);
    std::printf("  input waits:   %6lld ms   plain %6lld ms   (goal: at most 200 once the tiles show)\n",
                static_cast<long long>(input), static_cast<long long>(plainInput));
    std::printf("  full scroll:   %6lld ms in %d steps   plain %6lld ms in %d steps   ratio %.2f\n",
                static_cast<long long>(scroll.second), scroll.first,
                static_cast<long long>(plainScroll.second), plainScroll.first,
                Ratio(scroll.second, plainScroll.second));
}

void BenchArrivals() {
    const QStringList names = Names(0, kArrivalFolder);
    const QStringList arrivals = Names(kArrivalFolder, kArrivals);
    std::printf("\n%d arrivals into a shown folder of %d\n", kArrivals, kArrivalFolder);

    Window window;
    window.Show(names, kArrivalFolder);
    for (const QString& name : arrivals)
        QCoreApplication::postEvent(window.window, Listing(QStringList{name}));
    const Run ours = RunUntil([&] { return window.rows() == kArrivalFolder + kArrivals; });
    window.view()->grid()->viewport()->repaint();
    const QSize gridSize = window.view()->grid()->size();

    Plain plain(gridSize);
    plain.Show(names);
    QObject inserter;
    for (const QString& name : arrivals) {
        QTimer::singleShot(0, &inserter, [&plain, name] {
            const int row = plain.model.rowCount();
            plain.model.insertRows(row, 1);
            plain.model.setData(plain.model.index(row), name);
        });
    }
    const Run base = RunUntil([&] { return plain.model.rowCount() == kArrivalFolder + kArrivals; });
    plain.view.viewport()->repaint();

    std::printf("  all shown:     %6lld ms   plain %6lld ms   (goal: within 2000)\n",
                static_cast<long long>(ours.totalMs), static_cast<long long>(base.totalMs));
    std::printf("  longest stall: %6lld ms   plain %6lld ms   (goal: at most 100)\n",
                static_cast<long long>(ours.longestStretchMs), static_cast<long long>(base.longestStretchMs));
}

// --- The core: files of a folder settling while the view thread shows it, or shows nothing ---

qint64 SettleFiles(bool shown) {
    FakeViewHost host;
    QCCache cache(host);
    QCViewInterface view(cache, host, host);
    host.uiStatus = 6;
    FILE_INFO folder;
    folder.path = QStringLiteral("/big");
    folder.name = QStringLiteral("big");
    folder.is_dir = true;
    cache.Update(folder.path, folder, FILE_STATUS_SYNCED, false, false, true);
    std::vector<FILE_INFO> files(kCoreFiles);
    for (int i = 0; i < kCoreFiles; ++i) {
        files[size_t(i)].path = QStringLiteral("/big/f%1.txt").arg(i, 5, 10, QLatin1Char('0'));
        files[size_t(i)].name = QStringLiteral("f%1.txt").arg(i, 5, 10, QLatin1Char('0'));
        files[size_t(i)].size = 1024;
        cache.Update(files[size_t(i)].path, files[size_t(i)], FILE_STATUS_WAIT_UP, false, false, true);
    }
    host.view = &view;
    view.Start();
    if (shown)
        view.RefreshList(QStringLiteral("/sync/big"), 100);
    QElapsedTimer clock;
    clock.start();
    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; ++w) {
        workers.emplace_back([&, w] {
            for (int i = w; i < kCoreFiles; i += kWorkers) {
                cache.Update(files[size_t(i)].path, files[size_t(i)], FILE_STATUS_UPING, true, false, true);
                cache.Update(files[size_t(i)].path, files[size_t(i)], FILE_STATUS_SYNCED, true, false, true);
            }
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    view.SettleForTests(int(kGiveUpMs));
    const qint64 ms = clock.elapsed();
    view.stop();
    view.Wait(-1);
    return ms;
}

void BenchCore() {
    std::printf("\n%d files settling in a folder, %d workers\n", kCoreFiles, kWorkers);
    const qint64 none = SettleFiles(false);
    const qint64 shown = SettleFiles(true);
    std::printf("  folder shown:  %6lld ms   none shown %6lld ms   ratio %.2f (goal: at most 1.5)\n",
                static_cast<long long>(shown), static_cast<long long>(none), Ratio(shown, none));
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Nothing of the user's settings is read or written.
    QStandardPaths::setTestModeEnabled(true);
    QApplication app(argc, argv);
    std::vector<int> sizes;
    for (int i = 1; i < argc; ++i)
        sizes.push_back(std::atoi(argv[i]));
    if (sizes.empty())
        sizes = {10000, 100000};
    for (int entries : sizes)
        BenchSize(entries);
    BenchArrivals();
    BenchCore();
    return 0;
}
