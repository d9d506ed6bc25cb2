#include "ConfigTestEnv.h"

#include "Database/QCGlobalConfig.h"
#include "common/CommonDef.h"
#include "common/CoreLog.h"
#include "common/QCEventBase.h"

#include <QDir>
#include <QFile>
#include <QSemaphore>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <ostream>
#include <thread>

namespace {

class GlobalConfigTest : public ConfigTest {};

void ExpectTuningDefaults(const QCGlobalConfig& c) {
    EXPECT_EQ(c.use_dns, 3);
    EXPECT_EQ(c.change_execute_delay, 2000);
    EXPECT_EQ(c.change_execute_delay_min, 300);
    EXPECT_EQ(c.change_execute_delay_mincount, 3);
    EXPECT_EQ(c.check_ver_interva, 30);
    EXPECT_EQ(c.comet_incr_interva, 2);
    EXPECT_EQ(c.calc_space_interva, 60);
    EXPECT_EQ(c.fast_up_filesize, 524288);
    EXPECT_EQ(c.max_file_mb, 5120);
    EXPECT_EQ(c.max_upload_io_mb, 2048);
    EXPECT_EQ(c.max_upload_req, 10);
    EXPECT_EQ(c.max_download_req, 5);
    EXPECT_EQ(c.min_upload_block_queue, 5);
    EXPECT_EQ(c.min_download_block_queue, 2);
    EXPECT_EQ(c.disk_busy_speed_mb, 15);
    EXPECT_EQ(c.disk_busy_big_file_mb, 64);
    EXPECT_EQ(c.auto_save_db, 300);
    EXPECT_EQ(c.http_keep_alive, 1);
    EXPECT_EQ(c.http_gzip, 1);
    EXPECT_EQ(c.trans_encrypt, 1);
    EXPECT_EQ(c.temp_list, QStringLiteral(".td|.td.cfg|.dl|.dl.cfg|.se!|.crdownload|.pgf|"));
    EXPECT_EQ(c.zip_lv, 6);
    EXPECT_TRUE(c.zip_blacklist.startsWith(QStringLiteral("|.asf|.wm|.wmv|")))
        << c.zip_blacklist.toStdString();
    EXPECT_TRUE(c.zip_blacklist.endsWith(QStringLiteral("|.7z|.cab|.xz|"))) << c.zip_blacklist.toStdString();
    EXPECT_EQ(c.zip_blacklist.count(QLatin1Char('|')), 55);
    EXPECT_EQ(c.zip_minrate, 85);
    EXPECT_EQ(c.zip_minsize, 512);
    EXPECT_EQ(c.getallnodes_page, 2000);
    EXPECT_TRUE(c.offline_delete);
    std::shared_lock<std::shared_mutex> host(c.hostLock);
    EXPECT_EQ(c.api_host.host, DEFAULT_API_HOST);
    EXPECT_TRUE(c.api_host.host2.isEmpty());
}

TEST_F(GlobalConfigTest, WithoutTuningFileEveryKeyHasItsDefault) {
    QCGlobalConfig config;
    config.Init(CLOUD_DEV_TYPE::Linux, nullptr);
    ExpectTuningDefaults(config);

    EXPECT_FALSE(config.IsDebug());
    EXPECT_TRUE(config.UseDns());
    EXPECT_FALSE(config.SslFlag());
    EXPECT_TRUE(config.UserNotSet());
    EXPECT_EQ(config.pid, QStringLiteral("home"));
    EXPECT_EQ(config.devtype, QStringLiteral("ecs_linux"));
    EXPECT_EQ(config.v, CLIENT_VERSION);
    EXPECT_EQ(config.transfer_https_mode, 0);
    EXPECT_EQ(config.finish_task_last_uspeed.load(), 200u);
    EXPECT_EQ(config.finish_task_count.load(), 0u);
    EXPECT_EQ(config.test_mod, 0);
    EXPECT_TRUE(config.offline_delete_ok);
    EXPECT_EQ(config.autologin, 1);
    EXPECT_EQ(config.appdata_path, ExpectedAppData());
    EXPECT_EQ(config.machine_config_file, ExpectedAppData() + QStringLiteral("config.ini"));
    EXPECT_EQ(config.tuning_file, WorkPath(QStringLiteral("sync.ini")));
    EXPECT_EQ(ModeOf(config.appdata_path), QStringLiteral("700"));
}

TEST_F(GlobalConfigTest, TuningFileValuesAndClamps) {
    WriteFile(WorkPath(QStringLiteral("sync.ini")), "[server]\nlogin=api.test.invalid\n"
                                                    "[sync]\ngetallnodes_page=0\nfast_up_filesize=900000\n"
                                                    "temp_list=.a|.b\nzip_lv=abc\nzip_blacklist=|.x|\n"
                                                    "max_file_mb=7\nauto_save_db=0\noffline_delete=0\n"
                                                    "use_dns=1\n[test]\ntest_mod=2\n");
    QCGlobalConfig config;
    config.Init(CLOUD_DEV_TYPE::Linux, nullptr);
    EXPECT_EQ(config.getallnodes_page, 2000);
    EXPECT_EQ(config.fast_up_filesize, 524288);
    EXPECT_EQ(config.temp_list, QStringLiteral(".a|.b|"));
    EXPECT_EQ(config.zip_lv, 0);
    EXPECT_EQ(config.zip_blacklist, QStringLiteral("|.x|"));
    EXPECT_EQ(config.max_file_mb, 7);
    EXPECT_EQ(config.auto_save_db, 0);
    EXPECT_FALSE(config.offline_delete);
    EXPECT_EQ(config.use_dns, 1);
    EXPECT_TRUE(config.UseDns()) << "the use-DNS flag does not follow use_dns";
    EXPECT_EQ(config.test_mod, 2);
    EXPECT_EQ(config.api_host.host, QStringLiteral("api.test.invalid"));
    EXPECT_EQ(config.zip_minsize, 512) << "keys absent from the file keep their defaults";
}

struct ClampRow {
    const char* label;
    const char* key;
    QByteArray stored;
    qint64 expected;
    std::function<qint64(const QCGlobalConfig&)> field;
};

void PrintTo(const ClampRow& row, std::ostream* os) {
    *os << row.label;
}

class TuningClampTest : public ConfigTest, public ::testing::WithParamInterface<ClampRow> {};

TEST_P(TuningClampTest, StoredValueGivesField) {
    WriteFile(WorkPath(QStringLiteral("sync.ini")),
              "[sync]\n" + QByteArray(GetParam().key) + "=" + GetParam().stored + "\n");
    QCGlobalConfig config;
    config.Init(CLOUD_DEV_TYPE::Linux, nullptr);
    EXPECT_EQ(GetParam().field(config), GetParam().expected);
}

const auto kFastUp = [](const QCGlobalConfig& c) -> qint64 { return c.fast_up_filesize; };
const auto kPage = [](const QCGlobalConfig& c) -> qint64 { return c.getallnodes_page; };
const auto kTempListLength = [](const QCGlobalConfig& c) -> qint64 { return c.temp_list.size(); };

INSTANTIATE_TEST_SUITE_P(
    Rows, TuningClampTest,
    ::testing::Values(ClampRow{"fast_up_at_block", "fast_up_filesize", "524288", 524288, kFastUp},
                      ClampRow{"fast_up_below_block", "fast_up_filesize", "524287", 524287, kFastUp},
                      ClampRow{"fast_up_negative", "fast_up_filesize", "-1", -1, kFastUp},
                      ClampRow{"fast_up_malformed", "fast_up_filesize", "x", 0, kFastUp},
                      ClampRow{"page_zero", "getallnodes_page", "0", 2000, kPage},
                      ClampRow{"page_negative", "getallnodes_page", "-3", 2000, kPage},
                      ClampRow{"page_malformed", "getallnodes_page", "many", 2000, kPage},
                      ClampRow{"page_one", "getallnodes_page", "1", 1, kPage},
                      ClampRow{"temp_list_empty_stays_empty", "temp_list", "", 0, kTempListLength},
                      ClampRow{"temp_list_closed_kept", "temp_list", ".a|", 3, kTempListLength}),
    [](const ::testing::TestParamInfo<ClampRow>& info) { return info.param.label; });

TEST_F(GlobalConfigTest, UncreatableDataFolderStillSetsEveryTuningValue) {
    // HOME below a plain file: no data folder can be made there.
    const QString blocker = m_home.filePath(QStringLiteral("file"));
    WriteFile(blocker, "x");
    qputenv("HOME", QFile::encodeName(blocker));
    WriteFile(WorkPath(QStringLiteral("sync.ini")), "[sync]\nzip_lv=4\n");

    QCGlobalConfig config;
    config.Init(CLOUD_DEV_TYPE::Linux, nullptr);
    EXPECT_TRUE(config.appdata_path.isEmpty());
    EXPECT_TRUE(config.machine_config_file.isEmpty());
    EXPECT_EQ(config.zip_lv, 4) << "the tuning file does not depend on the data folder";
    EXPECT_EQ(config.max_upload_req, 10);
    EXPECT_EQ(config.getallnodes_page, 2000);
    EXPECT_EQ(config.finish_task_last_uspeed.load(), 200u);

    // Without a data folder no user file has a place, and nothing lands elsewhere.
    config.ChangeUser(QStringLiteral("u1"), 1, QStringLiteral("e1"));
    EXPECT_FALSE(config.UserNotSet());
    EXPECT_TRUE(config.GetUserDataPath(QStringLiteral("u1"), 1, QStringLiteral("e1")).isEmpty());
    EXPECT_FALSE(config.SaveConfig());
    EXPECT_FALSE(config.SaveUserProfile(QStringLiteral("k"), QStringLiteral("v")));
    EXPECT_EQ(QDir(m_work.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
              QStringList{QStringLiteral("sync.ini")});
}

TEST_F(GlobalConfigTest, RepeatedInitKeepsTuningAndReloadsTheLastLogin) {
    WriteFile(WorkPath(QStringLiteral("sync.ini")), "[sync]\nzip_lv=3\n");
    QCGlobalConfig config;
    config.Init(CLOUD_DEV_TYPE::Linux, nullptr);
    config.ChangeUser(QStringLiteral("u1"), 1, QStringLiteral("e1"));
    ASSERT_TRUE(config.SaveConfig());
    config.finish_task_count = 9;

    WriteFile(WorkPath(QStringLiteral("sync.ini")), "[sync]\nzip_lv=8\n[test]\ntest_mod=1\n");
    config.Init(CLOUD_DEV_TYPE::Linux, nullptr);
    EXPECT_EQ(config.zip_lv, 3) << "tuning values are read once per process";
    EXPECT_EQ(config.test_mod, 1);
    EXPECT_TRUE(config.UserNotSet());
    EXPECT_EQ(config.finish_task_count.load(), 0u);
    QString qid, credential;
    int type = 0;
    ASSERT_TRUE(config.GetLastUser(qid, credential, type));
    EXPECT_EQ(qid, QStringLiteral("u1"));
    EXPECT_EQ(type, 1);
}

TEST_F(GlobalConfigTest, DebugSwitchFollowsTheEnvironmentAtInit) {
    const bool before = CoreLog::Enabled();
    QCGlobalConfig config;
    qputenv("NIMBO_DEBUG", "1");
    config.Init(CLOUD_DEV_TYPE::Linux, nullptr);
    EXPECT_TRUE(config.IsDebug());
    EXPECT_TRUE(CoreLog::Enabled()) << "one switch for the whole core";
    qputenv("NIMBO_DEBUG", "0");
    config.Init(CLOUD_DEV_TYPE::Linux, nullptr);
    EXPECT_FALSE(config.IsDebug());
    qunsetenv("NIMBO_DEBUG");
    config.Init(CLOUD_DEV_TYPE::Linux, nullptr);
    EXPECT_FALSE(config.IsDebug());
    CoreLog::SetEnabled(before);
}

GET_CONFIG_ACK MakeAck(const QString& host, quint32 https) {
    GET_CONFIG_ACK ack;
    ack.api.http = host;
    ack.api.addr_1.address = host + QStringLiteral("-1");
    ack.api.backup = host + QStringLiteral(",backup");
    ack.is_https = https;
    return ack;
}

TEST(ConfigAckTest, ReadersSeeOnlyWholeReplies) {
    QCGlobalConfig config;
    EXPECT_TRUE(config.GetConfigAck().api.http.isEmpty());
    const GET_CONFIG_ACK a = MakeAck(QStringLiteral("a.example"), 0);
    const GET_CONFIG_ACK b = MakeAck(QStringLiteral("b.example"), 1);
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; ++i) {
        readers.emplace_back([&] {
            while (!done) {
                const GET_CONFIG_ACK seen = config.GetConfigAck();
                if (seen.api.http.isEmpty())
                    continue;
                const bool isA = seen.api.http == a.api.http &&
                                 seen.api.addr_1.address == a.api.addr_1.address &&
                                 seen.api.backup == a.api.backup && seen.is_https == a.is_https;
                const bool isB = seen.api.http == b.api.http &&
                                 seen.api.addr_1.address == b.api.addr_1.address &&
                                 seen.api.backup == b.api.backup && seen.is_https == b.is_https;
                if (!isA && !isB)
                    ++torn;
            }
        });
    }
    for (int i = 0; i < 20000; ++i)
        config.SetConfigAck(i % 2 ? a : b);
    done = true;
    for (std::thread& reader : readers)
        reader.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(config.GetConfigAck().api.http, QStringLiteral("a.example"));
}

// An event that counts its destructions, and a receiver that reports where it got one.
class CountedEvent : public QCEventBase {
public:
    explicit CountedEvent(std::atomic<int>* deleted)
        : QCEventBase(QCEventBase::FlushView), m_deleted(deleted) {}
    ~CountedEvent() override { ++*m_deleted; }

private:
    std::atomic<int>* m_deleted;
};

class Receiver : public QObject {
public:
    bool event(QEvent* e) override {
        TsanAcquireEvent(e);
        if (e->type() != QEvent::Type(QCEventBase::FlushView))
            return QObject::event(e);
        where = QThread::currentThread();
        arrived.release();
        return true;
    }
    std::atomic<QThread*> where{nullptr};
    QSemaphore arrived;
};

TEST_F(GlobalConfigTest, CallOuterWithoutReceiverRefusesAndReleasesTheEvent) {
    std::atomic<int> deleted{0};
    QCGlobalConfig config;
    EXPECT_FALSE(config.CallOuter(new CountedEvent(&deleted))) << "before Init";
    EXPECT_EQ(deleted.load(), 1);
    config.Init(CLOUD_DEV_TYPE::Linux, nullptr);
    EXPECT_FALSE(config.CallOuter(new CountedEvent(&deleted)));
    EXPECT_EQ(deleted.load(), 2);
    EXPECT_FALSE(config.CallOuter(nullptr));

    EXPECT_FALSE(g_Config.CallOuter(new CountedEvent(&deleted)))
        << "the global object starts without receiver";
    EXPECT_EQ(deleted.load(), 3);
    EXPECT_FALSE(g_Config.IsDebug());
    EXPECT_TRUE(g_Config.UserNotSet());
}

TEST_F(GlobalConfigTest, CallOuterDeliversOnTheReceiversThread) {
    QThread uiThread;
    Receiver receiver;
    receiver.moveToThread(&uiThread);
    uiThread.start();

    std::atomic<int> deleted{0};
    QCGlobalConfig config;
    config.Init(CLOUD_DEV_TYPE::Linux, &receiver);
    // Posted from a thread of its own, as the engine does.
    bool posted = false;
    std::thread engine([&] { posted = config.CallOuter(new CountedEvent(&deleted)); });
    engine.join();
    EXPECT_TRUE(posted);
    ASSERT_TRUE(receiver.arrived.tryAcquire(1, 10000)) << "the event never arrived";
    EXPECT_EQ(receiver.where.load(), &uiThread);
    uiThread.quit();
    ASSERT_TRUE(uiThread.wait(10000));
    EXPECT_EQ(deleted.load(), 1) << "Qt releases a delivered event";
    config.Uninit();
}

} // namespace
