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

std::atomic<DebugCapture*> g_capture{nullptr};

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

DebugCapture::DebugCapture() {
    g_capture.store(this);
    m_previous = qInstallMessageHandler(&DebugCapture::Handler);
    CoreLog::SetEnabled(true);
}

DebugCapture::~DebugCapture() {
    CoreLog::SetEnabled(false);
    qInstallMessageHandler(m_previous);
    g_capture.store(nullptr);
}

void DebugCapture::Handler(QtMsgType, const QMessageLogContext&, const QString& message) {
    if (DebugCapture* capture = g_capture.load())
        capture->add(message);
}

void DebugCapture::add(const QString& line) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_lines.append(line);
    m_added.notify_all();
}

QStringList DebugCapture::lines(const QString& prefix) const {
    std::lock_guard<std::mutex> guard(m_lock);
    QStringList result;
    for (const QString& line : m_lines) {
        if (line.startsWith(prefix))
            result.append(line);
    }
    return result;
}

bool DebugCapture::waitFor(const QString& prefix, int timeoutMs) const {
    std::unique_lock<std::mutex> guard(m_lock);
    return m_added.wait_for(guard, std::chrono::milliseconds(timeoutMs), [this, &prefix] {
        for (const QString& line : m_lines) {
            if (line.startsWith(prefix))
                return true;
        }
        return false;
    });
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
