// The transfer lists as the main window hands them data: the rows' texts, buttons and bar from a
// task record, and the running list's status panels from status snapshots. Nothing here needs a
// core: the lists' refreshes against a signed-in core are tested elsewhere.
#include "main/CTransferCompleteView.h"
#include "main/CTransmittingView.h"
#include "main/ViewText.h"

#include "widgets/CProgressBar.h"
#include "widgets/QButtonCustom.h"

#include <QLayout>
#include <QDateTime>
#include <QEvent>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

TransferInfo Task(const char* path, quint64 size, quint64 done, quint32 percent, FILE_STATUS status, bool download) {
    FileInfo file;
    file.path = QString::fromUtf8(path);
    file.size = size;
    file.done_size = done;
    file.percent = percent;
    file.status = quint32(status);
    TransferInfo task(file);
    task.local_path = QStringLiteral("/home/u/Downloads");
    task.is_download = download;
    return task;
}

// ---- a running row from a task record ----

struct SizeCase {
    const char* name;
    quint64 size;
    quint64 done;
    quint32 percent;
    const char* text;
    int bar;
};

class RunningRowSizeTest : public ::testing::TestWithParam<SizeCase> {};

TEST_P(RunningRowSizeTest, ShowsDoneOfSizeAndTheProgress) {
    const SizeCase& c = GetParam();
    _TRANSMITTING_ITEM_INFO info =
        TransmittingItemInfo(Task("/docs/report.pdf", c.size, c.done, c.percent, FILE_STATUS_DOWNING, true));
    CTransmittingListItem row;
    row.setItemInfo(&info);
    EXPECT_EQ(row.sizeLabel()->text(), QString::fromUtf8(c.text));
    EXPECT_EQ(row.progressBar()->Pos(), c.bar);
    EXPECT_EQ(row.nameLabel()->text(), QStringLiteral("report.pdf"));
    EXPECT_EQ(row.getSvrPath(), QStringLiteral("/docs/report.pdf"));
    EXPECT_EQ(row.getLocalPath(), QStringLiteral("/home/u/Downloads"));
    EXPECT_TRUE(row.IsDownload());
}

INSTANTIATE_TEST_SUITE_P(Sizes, RunningRowSizeTest,
                         ::testing::Values(SizeCase{"Empty", 0, 0, 0, "0 KB/0 KB", 0},
                                           SizeCase{"ThirdOf1500Bytes", 1500, 500, 33, "1 KB/1.5 KB", 33},
                                           SizeCase{"HalfOf20MiB", 20 << 20, 10 << 20, 50, "10.0 MB/20.0 MB", 50},
                                           SizeCase{"PercentAboveAHundred", 100, 100, 250, "1 KB/1 KB", 100}),
                         [](const auto& info) { return std::string(info.param.name); });

struct StatusCase {
    const char* name;
    FILE_STATUS status;
    const char* text;
    bool play;
    bool pause;
};

class RunningRowStatusTest : public ::testing::TestWithParam<StatusCase> {};

TEST_P(RunningRowStatusTest, OffersPlayOrPause) {
    const StatusCase& c = GetParam();
    CTransmittingListItem row;
    row.setStatus(c.status);
    EXPECT_EQ(row.statusLabel()->text(), QString::fromUtf8(c.text));
    EXPECT_EQ(!row.playButton()->isHidden(), c.play);
    EXPECT_EQ(!row.pauseButton()->isHidden(), c.pause);
    EXPECT_FALSE(row.cancelButton()->isHidden());
}

INSTANTIATE_TEST_SUITE_P(Statuses, RunningRowStatusTest,
                         ::testing::Values(StatusCase{"Uploading", FILE_STATUS_UPING, "上传中", false, true},
                                           StatusCase{"WaitingUp", FILE_STATUS_WAIT_UP, "上传中", false, true},
                                           StatusCase{"Downloading", FILE_STATUS_DOWNING, "下载中", false, true},
                                           StatusCase{"WaitingDown", FILE_STATUS_WAIT_DOWN, "下载中", false, true},
                                           StatusCase{"Error", FILE_STATUS_ERR, "错误", true, false},
                                           StatusCase{"Paused", FILE_STATUS_PAUSE, "已暂停", true, false},
                                           StatusCase{"Checking", FILE_STATUS_CHECKING, "校验中", true, false},
                                           // Both hidden, as a new row starts.
                                           StatusCase{"Unknown", FILE_STATUS_UNKNOW, "", false, false},
                                           StatusCase{"NotDown", FILE_STATUS_NOT_DOWN, "", false, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RunningRowTest, AStatusWithoutTextKeepsTheButtons) {
    CTransmittingListItem row;
    row.setStatus(FILE_STATUS_PAUSE);
    row.setStatus(FILE_STATUS_IGNORE);
    EXPECT_EQ(row.statusLabel()->text(), QString());
    EXPECT_FALSE(row.playButton()->isHidden());
    EXPECT_TRUE(row.pauseButton()->isHidden());
}

TEST(RunningRowTest, ButtonsRaiseTheRowsSignals) {
    CTransmittingListItem row;
    std::vector<std::string> raised;
    QObject::connect(&row, &CTransmittingListItem::itemPlay, [&](CTransmittingListItem* item) {
        raised.push_back(item == &row ? "play" : "play?");
    });
    QObject::connect(&row, &CTransmittingListItem::itemPause, [&](CTransmittingListItem* item) {
        raised.push_back(item == &row ? "pause" : "pause?");
    });
    QObject::connect(&row, &CTransmittingListItem::itemCancel, [&](CTransmittingListItem* item, bool complete) {
        raised.push_back(item == &row && !complete ? "cancel" : "cancel?");
    });
    row.playButton()->click();
    row.pauseButton()->click();
    row.cancelButton()->click();
    EXPECT_EQ(raised, (std::vector<std::string>{"play", "pause", "cancel"}));
}

// ---- the running list's status panels ----

// Counts the show and hide events of the widgets it watches.
class ShowHideCounter : public QObject {
public:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show || event->type() == QEvent::Hide)
            ++counts[watched];
        return false;
    }
    int Total() const {
        int total = 0;
        for (const auto& each : counts)
            total += each.second;
        return total;
    }
    std::map<QObject*, int> counts;
};

SYNC_INFO Snapshot(UI_STATUS status, quint32 percent, const QString& error = QString()) {
    SYNC_INFO info;
    info.status = status;
    info.percent = percent;
    if (!error.isEmpty()) {
        info.error_type = 1;
        info.error_type_text = error;
    }
    return info;
}

class StatusPanelTest : public ::testing::Test {
protected:
    void SetUp() override {
        host.resize(700, 400);
        view = new CTransmittingView(&host);
        host.show();
        for (int type = 0; type < TransmitWid_Count; ++type)
            view->panel(TransmitWid_type(type))->installEventFilter(&counter);
    }

    TransmitWid_type Shown() const {
        int shown = -1;
        for (int type = 0; type < TransmitWid_Count; ++type) {
            if (view->panel(TransmitWid_type(type))->isVisible()) {
                EXPECT_EQ(shown, -1) << "two panels shown";
                shown = type;
            }
        }
        return TransmitWid_type(shown);
    }

    QWidget host;
    CTransmittingView* view = nullptr; // owned by the host
    ShowHideCounter counter;
};

TEST_F(StatusPanelTest, StartsIdleWithItsTexts) {
    EXPECT_EQ(Shown(), TransmitWid_Idle);
    EXPECT_FALSE(view->refreshing());
    ASSERT_NE(view->findCurlayoutText(TransmitWid_Idle), nullptr);
    EXPECT_EQ(view->findCurlayoutText(TransmitWid_Idle)->text(), QStringLiteral("没有正在传输的任务"));
    EXPECT_EQ(view->findCurlayoutText(TransmitWid_Progress)->objectName(), QStringLiteral("text_status"));
    EXPECT_EQ(view->findCurlayoutText(TransmitWid_Progress)->text(), QStringLiteral("下载总进度"));
    EXPECT_EQ(view->findCurlayoutText(TransmitWid_Paused)->text(), QStringLiteral("传输已暂停"));
    EXPECT_EQ(view->findCurlayoutText(TransmitWid_Failed)->text(), QStringLiteral("同步失败"));
    // The view itself lies over nothing.
    EXPECT_FALSE(view->isVisible());
}

struct PanelStep {
    SYNC_INFO info;
    TransmitWid_type panel;
    int bar;
    QString format;
};

TEST_F(StatusPanelTest, FollowsTheSnapshotsStatus) {
    const QString diskFull = QStringLiteral("同步失败\n磁盘空间不足");
    const std::vector<PanelStep> steps = {
        {Snapshot(UI_STATUS_SYNCING, 37), TransmitWid_Progress, 37, QStringLiteral("当前进度为：37%")},
        {Snapshot(UI_STATUS_CHECK_CLOUD, 80), TransmitWid_Progress, 80, QStringLiteral("当前进度为：80%")},
        {Snapshot(UI_STATUS_STOPPED, 0), TransmitWid_Paused, 0, QStringLiteral("传输已暂停")},
        {Snapshot(UI_STATUS_ERROR, 0, diskFull), TransmitWid_Failed, 0, diskFull},
        {Snapshot(UI_STATUS_SYNCED, 0), TransmitWid_Idle, 0, QStringLiteral("同步完成")},
        {Snapshot(UI_STATUS_LOGINING, 0), TransmitWid_Idle, 0, QString()},
    };
    for (const PanelStep& step : steps) {
        SCOPED_TRACE(step.info.status);
        view->UpdateSpeed(step.info);
        EXPECT_EQ(Shown(), step.panel);
        QProgressBar* bar = view->findProgressBar();
        ASSERT_NE(bar, nullptr);
        EXPECT_EQ(bar->value(), step.bar);
        EXPECT_EQ(bar->format(), step.format);
    }
    EXPECT_EQ(view->findCurlayoutText(TransmitWid_Failed)->text(), diskFull);
    EXPECT_EQ(view->findProgressBar()->text(), QString());
}

TEST_F(StatusPanelTest, ProgressTextShowsThePercent) {
    view->UpdateSpeed(Snapshot(UI_STATUS_SYNCING, 37));
    EXPECT_EQ(view->findProgressBar()->text(), QStringLiteral("当前进度为：37%"));
}

TEST_F(StatusPanelTest, ARepeatedStatusNeitherHidesNorShows) {
    view->UpdateSpeed(Snapshot(UI_STATUS_SYNCING, 10));
    const int afterFirst = counter.Total();
    EXPECT_EQ(afterFirst, 2); // the idle panel hidden, the progress panel shown
    view->UpdateSpeed(Snapshot(UI_STATUS_SYNCING, 20));
    view->UpdateSpeed(Snapshot(UI_STATUS_CHECK_CLOUD, 30));
    EXPECT_EQ(counter.Total(), afterFirst);
    EXPECT_EQ(view->findProgressBar()->value(), 30);
    view->UpdateSpeed(Snapshot(UI_STATUS_STOPPED, 0));
    view->UpdateSpeed(Snapshot(UI_STATUS_STOPPED, 0));
    EXPECT_EQ(counter.Total(), afterFirst + 2);
    // Status 6 and the login statuses share the idle panel.
    view->UpdateSpeed(Snapshot(UI_STATUS_SYNCED, 0));
    view->UpdateSpeed(Snapshot(UI_STATUS_LOGIN_OK, 0));
    EXPECT_EQ(counter.Total(), afterFirst + 4);
}

TEST_F(StatusPanelTest, AnErrorWithoutTextKeepsTheCaption) {
    view->UpdateSpeed(Snapshot(UI_STATUS_ERROR, 0, QStringLiteral("网络错误")));
    view->UpdateSpeed(Snapshot(UI_STATUS_ERROR, 0));
    EXPECT_EQ(Shown(), TransmitWid_Failed);
    ASSERT_NE(view->findCurlayoutText(TransmitWid_Failed), nullptr);
    EXPECT_EQ(view->findCurlayoutText(TransmitWid_Failed)->text(), QStringLiteral("同步失败"));
}

TEST_F(StatusPanelTest, RowsAreFoundByTheirExactKey) {
    _TRANSMITTING_ITEM_INFO a = TransmittingItemInfo(Task("/a.bin", 10, 1, 10, FILE_STATUS_DOWNING, true));
    _TRANSMITTING_ITEM_INFO b = TransmittingItemInfo(Task("/b.bin", 10, 1, 10, FILE_STATUS_UPING, false));
    ASSERT_TRUE(view->addItem(&a));
    ASSERT_TRUE(view->addItem(&b));
    int row = -1;
    ASSERT_NE(view->findItem(QStringLiteral("/b.bin"), row), nullptr);
    EXPECT_EQ(row, 1);
    EXPECT_EQ(view->findItem(QStringLiteral("/B.bin"), row), nullptr);
    // An update keeps the row where it is.
    b = TransmittingItemInfo(Task("/b.bin", 10, 5, 50, FILE_STATUS_PAUSE, false));
    view->updateItem(QStringLiteral("/b.bin"), &b);
    CTransmittingListItem* updated = view->findItem(QStringLiteral("/b.bin"), row);
    ASSERT_NE(updated, nullptr);
    EXPECT_EQ(row, 1);
    EXPECT_EQ(updated->statusLabel()->text(), QStringLiteral("已暂停"));
    EXPECT_EQ(view->listWidget()->item(1)->sizeHint().height(), 70);
    EXPECT_TRUE(view->delItem(QStringLiteral("/a.bin")));
    EXPECT_FALSE(view->delItem(QStringLiteral("/a.bin")));
    ASSERT_NE(view->findItem(QStringLiteral("/b.bin"), row), nullptr);
    EXPECT_EQ(row, 0);
}

// ---- a finished row ----

TEST(FinishedRowTest, ShowsNameSizeTimeAndPlace) {
    TransferInfo task = Task("/one.bin", 1048576, 1048576, 100, FILE_STATUS_SYNCED, true);
    task.finish_time = 1700000000;
    _TRANSFERCOMPLETE_ITEM_INFO info = TransferCompleteItemInfo(task);
    CTransferCompleteListItem row;
    row.setItemInfo(&info);
    EXPECT_EQ(row.getKey(), QStringLiteral("/one.bin"));
    EXPECT_EQ(row.nameLabel()->text(), QStringLiteral("one.bin"));
    EXPECT_EQ(row.sizeLabel()->text(), QStringLiteral("1.0 MB"));
    EXPECT_EQ(row.timeLabel()->text(), LocalTimeText(1700000000)); // the window's Chinese form
    EXPECT_EQ(row.localPathLabel()->text(), QStringLiteral("/home/u/Downloads"));
    EXPECT_EQ(row.height(), 80);

    // A longer time is shown whole: the label grows past its 140 pixels.
    info.timeText = QStringLiteral("2026年12月11日星期五 01:59:20");
    row.setItemInfo(&info);
    row.resize(700, 80);
    row.layout()->activate();
    EXPECT_GE(row.timeLabel()->width(), row.timeLabel()->fontMetrics().horizontalAdvance(info.timeText));
}

TEST(FinishedViewTest, AddsOnTopOrAtTheEnd) {
    QWidget host;
    auto* view = new CTransferCompleteView(&host);
    EXPECT_EQ(view->summaryLabel()->text(), QStringLiteral("共传输完成xx个文件"));
    _TRANSFERCOMPLETE_ITEM_INFO a = TransferCompleteItemInfo(Task("/a", 1, 1, 100, FILE_STATUS_SYNCED, true));
    _TRANSFERCOMPLETE_ITEM_INFO b = TransferCompleteItemInfo(Task("/b", 1, 1, 100, FILE_STATUS_SYNCED, true));
    _TRANSFERCOMPLETE_ITEM_INFO c = TransferCompleteItemInfo(Task("/c", 1, 1, 100, FILE_STATUS_SYNCED, true));
    view->addItem(&a, false);
    view->addItem(&b, false);
    view->addItem(&c, true);
    int row = -1;
    ASSERT_NE(view->findItem(QStringLiteral("/c"), row), nullptr);
    EXPECT_EQ(row, 0);
    ASSERT_NE(view->findItem(QStringLiteral("/b"), row), nullptr);
    EXPECT_EQ(row, 2);
    EXPECT_EQ(view->listWidget()->item(0)->sizeHint().height(), 80);
}

} // namespace
