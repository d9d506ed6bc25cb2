#include "NetworkTestSupport.h"

#include "common/CoreLog.h"
#include "network/NetworkClient.h"
#include "support/Loopback.h"

#include <atomic>
#include <chrono>

namespace {

std::atomic<int> g_refusedOutside{0};

bool LoopbackOrCount(const struct sockaddr* address) {
    if (IsLoopbackAddress(address))
        return true;
    g_refusedOutside.fetch_add(1);
    return false;
}

// No network test may reach anything but this machine: every connection of the HTTP client goes
// through this check from the start of the run, and the run fails if anything tried to leave it.
// Retry walks wait the short test back-off unless a test asks for the real one.
class LoopbackOnly : public ::testing::Environment {
public:
    void SetUp() override {
        InstallLoopbackGuard();
        NetworkClient::SetRetryBackoff(kTestBackoffFirstMs, kTestBackoffCeilingMs);
    }
    void TearDown() override {
        EXPECT_EQ(g_refusedOutside.load(), 0)
            << "a connection to an address outside 127.0.0.0/8 was attempted";
    }
};
[[maybe_unused]] const ::testing::Environment* const g_loopbackOnly =
    ::testing::AddGlobalTestEnvironment(new LoopbackOnly);

} // namespace

void InstallLoopbackGuard() {
    NetworkClient::SetConnectGuard(&LoopbackOrCount);
}

StandInReply StandInTest::Reply(const std::string& body, const std::string& contentType) {
    StandInReply reply;
    reply.body = body;
    reply.contentType = contentType;
    return reply;
}

QByteArray PatternBytes(int size, unsigned seed) {
    QByteArray bytes(size, '\0');
    unsigned state = seed * 2654435761u + 1;
    for (int i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        bytes[i] = char((state >> 16) & 0xff);
    }
    return bytes;
}
