// The transfer task base: weight, progress, the end report, pause weights and block bookkeeping.
#include "support/TransferDoubles.h"

#include "common/CommonDef.h"
#include "common/QCClock.h"

#include <QJsonDocument>

#include <gtest/gtest.h>

namespace {

constexpr quint64 kMiB = 1024 * 1024;

BLOCK_INFO Block(quint32 index, const char* hash, quint32 size) {
    BLOCK_INFO block;
    block.bidx = index;
    block.bhash = QString::fromLatin1(hash);
    block.bsize = size;
    return block;
}

class SyncFileTest : public ::testing::Test {
protected:
    void SetUp() override { QCClock::UseManualForTests(); }
    void TearDown() override { QCClock::UseSystemForTests(); }
    std::shared_ptr<TaskDouble> Make(quint64 size, bool download = true) {
        return std::make_shared<TaskDouble>(host, TaskRecord(QStringLiteral("/a/f.bin"), size), download);
    }
    FakeTransferHost host;
};

struct WeightRow {
    const char* name;
    quint64 size;
    double weight;
};

class TaskWeightTest : public ::testing::TestWithParam<WeightRow> {};

TEST_P(TaskWeightTest, IsClampedBetweenATenthAndOne) {
    EXPECT_DOUBLE_EQ(TaskWeight(GetParam().size), GetParam().weight);
}

INSTANTIATE_TEST_SUITE_P(Sizes, TaskWeightTest,
                         ::testing::Values(WeightRow{"Empty", 0, 0.1}, WeightRow{"OneMiB", kMiB, 0.5},
                                           WeightRow{"TwoMiB", 2 * kMiB, 1.0},
                                           WeightRow{"ThreeMiB", 3 * kMiB, 1.0}),
                         [](const auto& info) { return std::string(info.param.name); });

struct EndRow {
    const char* name;
    int type;
    unsigned code;
    int reported;
};

class CompleteMeTest : public SyncFileTest, public ::testing::WithParamInterface<EndRow> {};

TEST_P(CompleteMeTest, MapsTheReportedTypeAndKeepsTheStoredOne) {
    auto task = Make(10);
    task->CompleteMe(GetParam().type, GetParam().code, QStringLiteral("m"));
    task->CompleteMe(0, 0, QString()); // a late second end changes nothing
    const auto results = host.TakeResults();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].task, task);
    EXPECT_EQ(results[0].type, GetParam().reported);
    EXPECT_EQ(results[0].code, GetParam().code);
    EXPECT_EQ(task->ErrorType(), GetParam().type);
}

INSTANTIATE_TEST_SUITE_P(Codes, CompleteMeTest,
                         ::testing::Values(EndRow{"Success", 0, 0, 0},
                                           EndRow{"CloudFull", 10, 2007, SYNC_ERROR::CloudFull},
                                           EndRow{"NoPerm81001", 10, 81001, SYNC_ERROR::NoPerm},
                                           EndRow{"NoPerm81003", 10, 81003, SYNC_ERROR::NoPerm},
                                           EndRow{"NoPerm81004", 10, 81004, SYNC_ERROR::NoPerm},
                                           EndRow{"Other", 10, 81005, 10}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SyncFileTest, ProgressAtTheStartAndForOneByte) {
    auto task = Make(4 * kMiB);
    task->SetBlocks({Block(1, "h1", 1), Block(2, "h2", 4 * kMiB - 1)});
    task->SetBlockTask(QStringLiteral("h1"), 1, 77, 0);
    ASSERT_TRUE(task->CompleteBlockTask(77));
    task->UpdateSpeed(false); // at elapsed 0 ms
    FILE_INFO info = task->GetFileInfo();
    EXPECT_EQ(info.done_size, 1u);
    EXPECT_EQ(info.percent, 1u); // one byte of a large file is not 0 %
    EXPECT_EQ(info.speed, 512u);
    QCClock::AdvanceForTests(1000);
    task->SetServerHave(1);
    task->UpdateSpeed(false);
    EXPECT_EQ(task->GetFileInfo().speed, 0u); // bytes the service had do not count
    task->SetServerCommitted(true);
    task->UpdateSpeed(false);
    info = task->GetFileInfo();
    EXPECT_EQ(info.percent, 100u);
    EXPECT_EQ(info.speed, 0u);
    ASSERT_FALSE(host.Events().empty());
    EXPECT_EQ(host.Events().back().second, 2); // download progress
}

TEST_F(SyncFileTest, BlockBookkeeping) {
    auto task = Make(3 * kMiB);
    task->SetBlocks({Block(1, "aa", 100), Block(2, "bb", 100), Block(3, "aa", 100)});
    EXPECT_FALSE(task->CompleteBlockTask(5)); // no block task carries it
    EXPECT_FALSE(task->IsAllComplete());
    task->SetBlockTask(QStringLiteral("aa"), 1, 5, 0);
    EXPECT_EQ(task->GetBlockToProc()->bhash, QStringLiteral("bb"));
    EXPECT_EQ(task->GetProcessingBlocks(), 1);
    QString hash;
    ASSERT_TRUE(task->TaskIDtoBlockID(5, hash));
    EXPECT_EQ(hash, QStringLiteral("aa"));
    task->SetBlockTransfered(5, 1000); // clamped to the block
    EXPECT_EQ(task->GetFileInfo().done_size, 100u);
    ASSERT_TRUE(task->CompleteBlockTask(5));
    EXPECT_TRUE(task->SetBlockExist(QStringLiteral("aa"), true));  // the second "aa"
    EXPECT_FALSE(task->SetBlockExist(QStringLiteral("AA"), true)); // with case
    EXPECT_FALSE(task->IsAllComplete());
    EXPECT_TRUE(task->SetBlockExist(QStringLiteral("bb"), true));
    EXPECT_TRUE(task->IsAllComplete());
    EXPECT_FALSE(task->GetBlockToProc());
}

TEST_F(SyncFileTest, PauseWeightsAreCountedOnceAndReleasedByTheEnd) {
    auto task = Make(3 * kMiB);
    task->AddRequestId(9);
    task->Pause();
    task->Pause();
    EXPECT_DOUBLE_EQ(host.Paused(true), 1.0);
    EXPECT_FALSE(task->IfMyTask(9)); // its requests were cancelled
    task->Resume();
    task->Resume();
    EXPECT_DOUBLE_EQ(host.Paused(true), 0.0);

    auto small = Make(0, false);
    small->Pause();
    EXPECT_DOUBLE_EQ(host.Paused(false), 0.1);
    small->End();
    small->End();
    EXPECT_DOUBLE_EQ(host.Paused(false), 0.0);
    const auto events = host.Events();
    EXPECT_EQ(std::count_if(events.begin(), events.end(), [](const auto& e) { return e.second == 4; }), 1);
}

TEST_F(SyncFileTest, APausedTaskKeepsTheBytesItHasDone) {
    auto task = Make(3 * kMiB);
    task->SetBlocks({Block(1, "aa", 100), Block(2, "bb", 100)});
    task->SetBlockExist(QStringLiteral("aa"), true);
    task->UpdateSpeed(false);
    ASSERT_EQ(task->GetFileInfo().done_size, 100u);
    task->Pause();
    // A block that was in flight ends after the pause, as a download's write does.
    task->SetBlockExist(QStringLiteral("bb"), true);
    task->UpdateSpeed(false);
    EXPECT_EQ(task->GetFileInfo().done_size, 100u);
    EXPECT_EQ(host.Events().back().first.done_size, 100u);
}

TEST_F(SyncFileTest, TheEndCancelsWhatIsInFlightUnlessTheTaskSucceeded) {
    auto failed = Make(10);
    failed->AddRequestId(1);
    failed->CompleteMe(SYNC_ERROR::Logic, 1, QString());
    failed->End();
    EXPECT_FALSE(failed->IfMyTask(1));
    auto done = Make(10);
    done->AddRequestId(2);
    done->CompleteMe(0, 0, QString());
    done->End();
    EXPECT_TRUE(done->IfMyTask(2));
}

QJsonObject Json(const char* text) {
    return QJsonDocument::fromJson(QByteArray(text)).object();
}

TEST(SyncFileReplyTest, ErrorAndData) {
    QString msg;
    EXPECT_EQ(QCSyncFile::ParseErr(Json(R"({"errno":3001,"errmsg":"gone"})"), msg), 3001);
    EXPECT_EQ(msg, QStringLiteral("gone"));
    EXPECT_EQ(QCSyncFile::ParseErr(Json(R"({"errno":"0","errmsg":"x"})"), msg), 0);
    EXPECT_TRUE(QCSyncFile::JsonData(Json(R"({"data":5})")).isEmpty());
    EXPECT_EQ(QCSyncFile::JsonData(Json(R"({"data":{"a":1}})")).value(QStringLiteral("a")).toInt(), 1);
}

} // namespace
