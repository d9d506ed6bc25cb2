#include "ConfigTestEnv.h"

#include "Database/QCGlobalConfig.h"
#include "common/CommonDef.h"

#include <QDir>
#include <QStringList>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

// Four threads read and write profile values, user settings and the configuration reply while
// they switch between two users. Nothing may tear: every value read is one that some thread
// wrote (or empty between users), and the locks must never deadlock. Run it under
// ThreadSanitizer to see data races.
TEST_F(ConfigTest, ProfileReadsWritesAndUserChangesFromFourThreads) {
    QCGlobalConfig config;
    config.Init(CLOUD_DEV_TYPE::Linux, nullptr);
    const QStringList users{QStringLiteral("alpha"), QStringLiteral("beta")};
    for (const QString& user : users) {
        config.ChangeUser(user, 1, QStringLiteral("e"));
        ASSERT_TRUE(config.SetSyncPath(m_home.filePath(user)));
    }

    constexpr int kThreads = 4;
    constexpr int kRounds = 60;
    std::atomic<int> bad{0};
    std::atomic<int> saved{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const QString key = QStringLiteral("counter");
            for (int round = 0; round < kRounds; ++round) {
                if (round % 15 == t)
                    config.ChangeUser(users[(round + t) % 2], 1, QStringLiteral("e"));
                const QString value = QStringLiteral("v%1-%2").arg(t).arg(round);
                if (config.SaveUserProfile(key, value))
                    ++saved;
                const QString seen = config.ReadUserProfile(key, QString());
                if (!seen.isEmpty() && !seen.startsWith(QLatin1Char('v')))
                    ++bad;
                config.SaveUserProfileInt(CLOUD_CFG_USER::tasks_up, round);
                {
                    std::shared_lock<std::shared_mutex> lock(config.settingsLock);
                    if (config.tasks_up < 0 || config.tasks_up > 20)
                        ++bad;
                }
                const QString name = config.GetUserName();
                if (!name.isEmpty() && !users.contains(name))
                    ++bad;
                const QString root = config.GetSyncPath();
                if (!root.isEmpty() && !root.startsWith(m_home.path()))
                    ++bad;
                config.SaveUserProfileInt64(QStringLiteral("total_size"), qint64(round) << 33);
                if (config.ReadUserProfileInt64(QStringLiteral("total_size"), 0) % (qint64(1) << 33) != 0)
                    ++bad;
                GET_CONFIG_ACK ack;
                ack.api.http = value;
                config.SetConfigAck(ack);
                if (!config.GetConfigAck().api.http.startsWith(QLatin1Char('v')))
                    ++bad;
                config.SslFlag();
                config.UseDns();
                if (round % 10 == 0)
                    config.SaveConfig();
                config.finish_task_have_count++;
                config.finish_task_have_size += 10;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();

    EXPECT_EQ(bad.load(), 0);
    EXPECT_GT(saved.load(), 0);
    EXPECT_EQ(config.finish_task_have_count.load(), quint32(kThreads * kRounds));
    EXPECT_EQ(config.finish_task_have_size.load(), qint64(kThreads * kRounds * 10));
    // The object is still whole: one user, its files in place and writable.
    ASSERT_FALSE(config.UserNotSet());
    EXPECT_TRUE(users.contains(config.GetUserName()));
    EXPECT_TRUE(config.SaveConfig());
    ASSERT_TRUE(config.SaveUserProfile(QStringLiteral("counter"), QStringLiteral("final")));
    EXPECT_EQ(config.ReadUserProfile(QStringLiteral("counter"), QString()), QStringLiteral("final"));
}

// Each login runs Init again while request and transfer threads of the last session may still
// read tuning values without a lock: those values must stay as they are.
TEST_F(ConfigTest, RepeatedInitLeavesLockFreeValuesAlone) {
    WriteFile(WorkPath(QStringLiteral("sync.ini")), "[sync]\ntemp_list=.x|\nzip_lv=2\n");
    QCGlobalConfig config;
    config.Init(CLOUD_DEV_TYPE::Linux, nullptr);
    std::atomic<bool> done{false};
    std::atomic<int> changed{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&] {
            while (!done) {
                if (config.temp_list != QStringLiteral(".x|") || config.zip_lv != 2 ||
                    config.devtype != CLOUD_DEV_TYPE::Linux || config.pid != QStringLiteral("home") ||
                    config.getallnodes_page != 2000 || !config.UseDns())
                    ++changed;
                std::shared_lock<std::shared_mutex> lock(config.hostLock);
                if (config.api_host.host != DEFAULT_API_HOST)
                    ++changed;
            }
        });
    }
    for (int i = 0; i < 20; ++i)
        config.Init(CLOUD_DEV_TYPE::Linux, nullptr);
    done = true;
    for (std::thread& reader : readers)
        reader.join();
    EXPECT_EQ(changed.load(), 0);
}

} // namespace
