// The core's thread pools at process exit.
#include "common/WorkPools.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include <unistd.h>

namespace {

std::atomic<bool> g_threadEnded{false};

struct EndMark {
    ~EndMark() { g_threadEnded = true; }
};

// OpenSSL's clean-up must come after the pool has ended: a thread still alive then loses its
// random generator and error queue to it (LeakSanitizer reports them).
void CheckAtOpenSslCleanUp() {
    if (!g_threadEnded) {
        std::fputs("OpenSSL was cleaned up while a pool thread still held its state\n", stderr);
        _exit(3);
    }
}

// In a process of its own, the pool is made before anything else has used OpenSSL (the state in
// which a pool made early at start-up ended after OpenSSL's clean-up), and its thread takes
// OpenSSL's per-thread state.
void UseAFreshTransferPoolAndExit() {
    std::mutex lock;
    std::condition_variable ran;
    bool done = false;
    WorkPools::Start(WorkPools::Transfers(), [&] {
        thread_local EndMark mark;
        unsigned char bytes[16];
        RAND_bytes(bytes, sizeof bytes);
        std::lock_guard<std::mutex> guard(lock);
        done = true;
        ran.notify_all();
    });
    {
        std::unique_lock<std::mutex> guard(lock);
        ran.wait(guard, [&] { return done; });
    }
    OPENSSL_atexit(&CheckAtOpenSslCleanUp);
    std::exit(0);
}

TEST(WorkPoolsExitTest, APoolMadeBeforeOpenSslIsUsedEndsBeforeOpenSslsCleanUp) {
    GTEST_FLAG_SET(death_test_style, "threadsafe"); // a fresh process: OpenSSL not yet used
    EXPECT_EXIT(UseAFreshTransferPoolAndExit(), ::testing::ExitedWithCode(0), "");
}

} // namespace
