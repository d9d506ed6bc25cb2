// The transfer lists and the user information pop-up against a signed-in core and the cloud
// stand-in: rows of real transfers (held back by the stand-in's throttles so that they live long
// enough to be seen, paused and cancelled), the status panels' buttons, the finished list after
// real transfers and the web pages the pop-up asks for.
#include "main/CPopUserInfoWnd.h"
#include "main/CTransferCompleteView.h"
#include "main/CTransmittingView.h"

#include "support/SignedInCore.h"
#include "support/UiWait.h"
#include "common/QCEventBase.h"
#include "sync/VUZeroz.h"
#include "widgets/QButtonCustom.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iostream>
#include <random>
#include <string>

namespace {

const int kMiB = 1 << 20;

std::string Bytes(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes)
        byte = char(random() & 0xff);
    return bytes;
}

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

bool WriteAll(const QString& path, const std::string& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes.data(), qint64(bytes.size())) == qint64(bytes.size());
}

std::shared_ptr<TransferInfo> Running(const QString& path) {
    TASKLIST_NOTIFY list(TASK_LIST_RUNNING);
    VUZeroz::GetInstance()->GetTaskList(list);
    for (const auto& task : list.tasks) {
        if (task && task->path == path)
            return task;
    }
    return nullptr;
}

std::vector<QString> Finished() {
    TASKLIST_NOTIFY list(TASK_LIST_FINISHED);
    VUZeroz::GetInstance()->GetTaskList(list);
    std::vector<QString> paths;
    for (const auto& task : list.tasks) {
        if (task)
            paths.push_back(task->path);
    }
    return paths;
}

// The keys of the rows, top to bottom.
template <typename Row, typename KeyOf>
std::vector<QString> Keys(QListWidget* list, KeyOf keyOf) {
    std::vector<QString> keys;
    for (int i = 0; i < list->count(); ++i) {
        auto* row = qobject_cast<Row*>(list->itemWidget(list->item(i)));
        keys.push_back(row ? keyOf(row) : QStringLiteral("<no widget>"));
    }
    return keys;
}

// Calls `each` after every refresh of the running list's timer (the view's own handler runs first,
// as it was connected first).
QMetaObject::Connection AfterEachTick(CTransmittingView* view, std::function<void()> each) {
    QTimer* timer = view->findChild<QTimer*>();
    EXPECT_NE(timer, nullptr);
    return timer ? QObject::connect(timer, &QTimer::timeout, std::move(each)) : QMetaObject::Connection();
}

QButtonCustom* PanelButton(CTransmittingView* view, TransmitWid_type type, const QString& text) {
    for (QButtonCustom* button : view->panel(type)->findChildren<QButtonCustom*>()) {
        if (button->text() == text)
            return button;
    }
    return nullptr;
}

CTransmittingListItem* RunningRow(CTransmittingView* view, const QString& key) {
    int row = -1;
    return view->findItem(key, row);
}

} // namespace

class TransferListCoreTest : public SignedInCore {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(SignedInCore::SetUp());
        ASSERT_NO_FATAL_FAILURE(SignIn(true));
        running = new CTransmittingView(&runningHost);
        finished = new CTransferCompleteView(&finishedHost);
    }
    void TearDown() override {
        // Nothing of a test's transfers is held back when the core stops.
        pair.api->downloads().clearFaults();
        pair.api->uploads().releaseHeld();
        running->showview(false);
        SignedInCore::TearDown();
    }
    // Puts files into the cloud and waits until the core, asked to look for changes, knows them
    // (as files not downloaded: they are fetched on request).
    void AddCloudFiles(const std::vector<std::pair<const char*, std::string>>& files) {
        for (const auto& file : files)
            ASSERT_FALSE(pair.api->tree().addFileBytes(file.first, file.second).empty()) << file.first;
        VUZeroz::GetInstance()->Request(REQUEST_REFRESH);
        ASSERT_TRUE(UiWaitFor(
            [&] {
                FileInfo info;
                for (const auto& file : files) {
                    if (!VUZeroz::GetInstance()->GetFileInfo(QString::fromUtf8(file.first), info))
                        return false;
                }
                return true;
            },
            60000));
    }
    // Downloads the cloud file `path` into the test's folder outside the mirror.
    void DownloadOut(const QString& path) {
        ASSERT_TRUE(VUZeroz::GetInstance()->DownloadStart(path, outside.path())) << qPrintable(path);
    }
    // Waits until the core lists `path` among its running transfers.
    bool WaitRunning(const QString& path) {
        return UiWaitFor([&] { return Running(path) != nullptr; }, 60000);
    }

    QTemporaryDir outside;
    QWidget runningHost;
    QWidget finishedHost;
    CTransmittingView* running = nullptr;      // owned by its host
    CTransferCompleteView* finished = nullptr; // owned by its host
};

TEST_F(TransferListCoreTest, ARowPausesResumesAndCancelsItsDownload) {
    pair.api->downloads().throttle(256 * 1024);
    ASSERT_NO_FATAL_FAILURE(AddCloudFiles({{"/big.bin", Bytes(20 * kMiB, 1)}}));
    const QString key = QStringLiteral("/big.bin");
    ASSERT_NO_FATAL_FAILURE(DownloadOut(key));
    ASSERT_TRUE(WaitRunning(key));
    EXPECT_TRUE(Running(key)->is_download);

    running->showview(true);
    ASSERT_TRUE(UiWaitFor([&] { return RunningRow(running, key) != nullptr; }, 10000));
    // A row that went away fails the waits below rather than the test binary.
    const QPointer<CTransmittingListItem> row = RunningRow(running, key);
    EXPECT_EQ(row->nameLabel()->text(), QStringLiteral("big.bin"));
    EXPECT_EQ(row->statusLabel()->text(), QStringLiteral("下载中"));
    EXPECT_FALSE(row->pauseButton()->isHidden());
    EXPECT_TRUE(row->playButton()->isHidden());

    QTest::mouseClick(row->pauseButton(), Qt::LeftButton);
    ASSERT_TRUE(UiWaitFor([&] { return !row || row->statusLabel()->text() == QStringLiteral("已暂停"); }, 30000));
    ASSERT_TRUE(row);
    EXPECT_FALSE(row->playButton()->isHidden());
    EXPECT_TRUE(row->pauseButton()->isHidden());

    QTest::mouseClick(row->playButton(), Qt::LeftButton);
    ASSERT_TRUE(UiWaitFor([&] { return !row || row->statusLabel()->text() == QStringLiteral("下载中"); }, 30000));
    ASSERT_TRUE(row);
    EXPECT_TRUE(row->playButton()->isHidden());
    EXPECT_EQ(RunningRow(running, key), row); // updated in place

    bool cameBack = false;
    AfterEachTick(running, [&] { cameBack = cameBack || RunningRow(running, key) != nullptr; });
    QTest::mouseClick(row->cancelButton(), Qt::LeftButton);
    EXPECT_EQ(running->listWidget()->count(), 0);
    ASSERT_TRUE(UiWaitFor([&] { return Running(key) == nullptr; }, 30000));
    // Two more refreshes with the core's task gone.
    int ticks = 0;
    AfterEachTick(running, [&] { ++ticks; });
    ASSERT_TRUE(UiWaitFor([&] { return ticks >= 2; }, 10000));
    EXPECT_FALSE(cameBack);
    EXPECT_EQ(running->listWidget()->count(), 0);
}

TEST_F(TransferListCoreTest, RowsStayInPlaceAndEndedOnesGoTogetherAtTheNextTick) {
    pair.api->downloads().throttle(256 * 1024);
    ASSERT_NO_FATAL_FAILURE(AddCloudFiles({{"/a.bin", Bytes(16 * kMiB, 2)}, {"/b.bin", Bytes(16 * kMiB, 3)}}));
    const QString a = QStringLiteral("/a.bin");
    const QString b = QStringLiteral("/b.bin");
    ASSERT_NO_FATAL_FAILURE(DownloadOut(a));
    ASSERT_NO_FATAL_FAILURE(DownloadOut(b));
    ASSERT_TRUE(UiWaitFor([&] { return Running(a) && Running(b); }, 60000));

    running->showview(true);
    ASSERT_TRUE(UiWaitFor([&] { return running->listWidget()->count() == 2; }, 10000));
    QListWidget* list = running->listWidget();
    const QPointer<CTransmittingListItem> first = qobject_cast<CTransmittingListItem*>(list->itemWidget(list->item(0)));
    const QPointer<CTransmittingListItem> second = qobject_cast<CTransmittingListItem*>(list->itemWidget(list->item(1)));
    ASSERT_TRUE(first && second);
    const QString firstSize = first->sizeLabel()->text();
    const QString secondSize = second->sizeLabel()->text();
    // Refreshes update the rows where they stand while the downloads go on.
    bool moved = false;
    const QMetaObject::Connection watch = AfterEachTick(running, [&] {
        moved = moved || list->count() != 2 || list->itemWidget(list->item(0)) != first ||
                list->itemWidget(list->item(1)) != second;
    });
    ASSERT_TRUE(UiWaitFor(
        [&] {
            return !first || !second || first->sizeLabel()->text() != firstSize ||
                   second->sizeLabel()->text() != secondSize;
        },
        60000));
    QObject::disconnect(watch);
    EXPECT_FALSE(moved);
    ASSERT_TRUE(first && second) << "a download ended before its row showed progress";

    // While the finished list is shown the running rows are not refreshed.
    running->showview(false);
    finished->showview(true);
    pair.api->downloads().clearFaults();
    ASSERT_TRUE(UiWaitFor([&] { return !Running(a) && !Running(b); }, 60000));
    EXPECT_EQ(list->count(), 2);

    int ticks = 0;
    int rowsAfterFirstTick = -1;
    AfterEachTick(running, [&] {
        if (++ticks == 1)
            rowsAfterFirstTick = list->count();
    });
    finished->showview(false);
    running->showview(true);
    ASSERT_TRUE(UiWaitFor([&] { return ticks >= 1; }, 10000));
    EXPECT_EQ(rowsAfterFirstTick, 0);
}

TEST_F(TransferListCoreTest, CancellingAnUploadLeavesTheUsersFileAlone) {
    const std::string bytes = Bytes(8 * kMiB, 4);
    pair.api->uploads().hold("Upload.block", -1);
    ASSERT_TRUE(QDir().mkpath(Mirror() + QStringLiteral("/up")));
    const QString file = Mirror() + QStringLiteral("/up/eight.bin");
    ASSERT_TRUE(WriteAll(file, bytes));
    const QString key = QStringLiteral("/up/eight.bin");
    ASSERT_TRUE(WaitRunning(key));
    EXPECT_FALSE(Running(key)->is_download);

    running->showview(true);
    ASSERT_TRUE(UiWaitFor([&] { return RunningRow(running, key) != nullptr; }, 10000));
    CTransmittingListItem* row = RunningRow(running, key);
    EXPECT_EQ(row->statusLabel()->text(), QStringLiteral("上传中"));
    EXPECT_FALSE(row->IsDownload());

    QTest::mouseClick(row->cancelButton(), Qt::LeftButton);
    EXPECT_EQ(RunningRow(running, key), nullptr);
    // The core may queue the user's file again as a new one: with nothing held any more, whatever
    // upload of it runs comes to an end.
    pair.cloud.clearFaults();
    pair.api->uploads().releaseHeld();
    ASSERT_TRUE(UiWaitFor([&] { return Running(key) == nullptr; }, 60000));
    EXPECT_EQ(ReadAll(file), QByteArray::fromStdString(bytes));
}

TEST_F(TransferListCoreTest, ThePanelsButtonsResumeAndRetryTheSync) {
    VUZeroz::GetInstance()->Request(REQUEST_STOP_SYNC);
    ASSERT_TRUE(WaitStatus(UI_STATUS_STOPPED));
    running->UpdateSpeed(VUZeroz::GetInstance()->Status());
    QButtonCustom* resume = PanelButton(running, TransmitWid_Paused, QStringLiteral("全部恢复"));
    ASSERT_NE(resume, nullptr);
    TakeEvents();
    resume->click();
    const auto working = [](const RecordedEvent& e) {
        return e.info.status == UI_STATUS_CHECK_CLOUD || e.info.status == UI_STATUS_SYNCING ||
               e.info.status == UI_STATUS_SYNCED;
    };
    ASSERT_TRUE(recorder.WaitFor(QCEventBase::StatusChanged, working, 60000));
    ASSERT_TRUE(WaitStatus(UI_STATUS_SYNCED));

    SYNC_INFO failed;
    failed.status = UI_STATUS_ERROR;
    failed.error_type_text = QStringLiteral("同步失败\n磁盘空间不足");
    running->UpdateSpeed(failed);
    QButtonCustom* retry = PanelButton(running, TransmitWid_Failed, QStringLiteral("重试"));
    ASSERT_NE(retry, nullptr);
    TakeEvents();
    retry->click();
    ASSERT_TRUE(recorder.WaitFor(QCEventBase::StatusChanged, working, 60000));
}

TEST_F(TransferListCoreTest, TheFinishedListShowsAndClearsTheHistory) {
    // Earlier tests' transfers leave the core's history empty.
    VUZeroz::GetInstance()->DeleteHistoryTask();
    ASSERT_TRUE(UiWaitFor([] { return Finished().empty(); }, 30000));

    ASSERT_NO_FATAL_FAILURE(AddCloudFiles({{"/one.bin", Bytes(kMiB, 5)}}));
    ASSERT_NO_FATAL_FAILURE(DownloadOut(QStringLiteral("/one.bin")));
    ASSERT_TRUE(WriteAll(Mirror() + QStringLiteral("/mine.txt"), "written here"));
    ASSERT_TRUE(UiWaitFor([] { return Finished().size() == 2; }, 60000));

    finished->showview(true);
    EXPECT_EQ(finished->summaryLabel()->text(), QStringLiteral("共传输完成2个文件"));
    QListWidget* list = finished->listWidget();
    ASSERT_EQ(list->count(), 2);
    int row = -1;
    CTransferCompleteListItem* one = finished->findItem(QStringLiteral("/one.bin"), row);
    ASSERT_NE(one, nullptr);
    EXPECT_EQ(one->sizeLabel()->text(), QStringLiteral("1.0 MB"));
    EXPECT_EQ(one->nameLabel()->text(), QStringLiteral("one.bin"));
    const auto keyOf = [](CTransferCompleteListItem* item) { return item->getKey(); };
    const std::vector<QString> order = Keys<CTransferCompleteListItem>(list, keyOf);
    EXPECT_EQ(order, Finished()); // an empty list is filled in the core's order

    finished->showview(false);
    finished->showview(true);
    EXPECT_EQ(Keys<CTransferCompleteListItem>(list, keyOf), order);

    QButtonCustom* clean = nullptr;
    for (QButtonCustom* button : finishedHost.findChildren<QButtonCustom*>()) {
        if (button->text() == QStringLiteral("清除所有记录"))
            clean = button;
    }
    ASSERT_NE(clean, nullptr);
    QTest::mouseClick(clean, Qt::LeftButton);
    EXPECT_EQ(list->count(), 0);
    EXPECT_EQ(finished->summaryLabel()->text(), QStringLiteral("共传输完成0个文件"));
    ASSERT_TRUE(UiWaitFor([] { return Finished().empty(); }, 30000));
    finished->showview(true);
    EXPECT_EQ(list->count(), 0);
    EXPECT_EQ(finished->summaryLabel()->text(), QStringLiteral("共传输完成0个文件"));
}

TEST_F(TransferListCoreTest, ThePopUpsButtonsAskForTheirPages) {
    CPopUserInfoWnd popup;
    popup.onShow(QRect(0, 0, 270, 500));
    QSignalSpy account(&popup, &CPopUserInfoWnd::onClickedChangeAccount);
    TakeEvents();
    const size_t before = pair.api->calls("User.getJumpUrl").size();
    for (const char* name : {"pushButton_2", "pushButton_3", "pushButton_4"}) {
        auto* button = popup.findChild<QPushButton*>(QString::fromLatin1(name));
        ASSERT_NE(button, nullptr) << name;
        QTest::mouseClick(button, Qt::LeftButton);
    }
    QTest::mouseClick(popup.renewButton(), Qt::LeftButton);
    EXPECT_EQ(account.count(), 0);
    EXPECT_TRUE(popup.isVisible());
    ASSERT_TRUE(recorder.WaitForCount(QCEventBase::GetJumpUrl, [](const RecordedEvent&) { return true; }, 4, 30000));
    const auto calls = pair.api->calls("User.getJumpUrl");
    ASSERT_EQ(calls.size(), before + 4);
    std::vector<std::string> pages;
    for (size_t i = before; i < calls.size(); ++i)
        pages.push_back(calls[i].cookie("dest_addr"));
    // The requests go at the head of the engine's queue and out on the pool: in no set order.
    std::sort(pages.begin(), pages.end());
    EXPECT_EQ(pages, (std::vector<std::string>{"chname", "cpass", "payment", "ucenter"}));
}

TEST_F(TransferListCoreTest, ThePopUpsBoxShowsTheEnterpriseInUse) {
    ENTERPRISE_INFO info;
    for (const auto& [eid, name] : {std::pair<const char*, const char*>{"20002", "Partner Co"}, {"20001", "Alice Co"}}) {
        ENTERPRISE_ITEM item;
        item.eid = QString::fromLatin1(eid);
        item.name = QString::fromLatin1(name);
        info.items.push_back(item);
    }
    CPopUserInfoWnd popup;
    popup.SetEnterprise(info);
    auto* box = popup.findChild<QComboBox*>(QStringLiteral("comboBox"));
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->currentText(), QStringLiteral("Alice Co")); // signed in to 20001, listed second
}

// A pause that comes while the commit is under way would leave a file the service holds paused
// for good: the upload finishes instead. Meanwhile the total counts the row's bytes, all sent.
TEST_F(TransferListCoreTest, AnUploadThatIsCommittingFinishesThoughPaused) {
    const std::string bytes = Bytes(8 * kMiB, 9);
    pair.api->uploads().hold("Upload.commit", 1);
    ASSERT_TRUE(QDir().mkpath(Mirror() + QStringLiteral("/up")));
    ASSERT_TRUE(WriteAll(Mirror() + QStringLiteral("/up/late.bin"), bytes));
    const QString key = QStringLiteral("/up/late.bin");
    ASSERT_TRUE(pair.api->uploads().waitForHeld(1, 60000));
    running->showview(true);
    ASSERT_TRUE(UiWaitFor([&] { return RunningRow(running, key) != nullptr; }, 10000));
    QTest::mouseClick(RunningRow(running, key)->pauseButton(), Qt::LeftButton);
    // The pause waits in the engine's queue ahead of a request put at its tail: once that one is
    // answered, the pause has been dealt with while the commit is still held.
    TakeEvents();
    VUZeroz::GetInstance()->GetEnterpriseList();
    ASSERT_TRUE(recorder.WaitFor(QCEventBase::GetEnterprise, [](const RecordedEvent&) { return true; }, 30000));
    SYNC_INFO syncing;
    syncing.status = UI_STATUS_SYNCING;
    syncing.percent = 61; // the engine's own figure
    running->UpdateSpeed(syncing);
    EXPECT_EQ(running->findProgressBar()->format(), QStringLiteral("当前进度为：100%"));
    pair.api->uploads().releaseHeld();
    ASSERT_TRUE(UiWaitFor([&] { return RunningRow(running, key) == nullptr && !Running(key); }, 60000))
        << (RunningRow(running, key) ? RunningRow(running, key)->statusLabel()->text().toStdString() : std::string());
    const std::vector<QString> done = Finished();
    EXPECT_NE(std::find(done.begin(), done.end(), key), done.end());
}
