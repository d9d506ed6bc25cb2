// The registration of the engine with the API client: without one every call is dropped with a
// debug line, and registering or unregistering while replies are dispatched is safe.
#include "NetworkTestSupport.h"

#include "common/CommonDef.h"
#include "network/QCRequestCommon.h"
#include "network/QCResponseHandler.h"
#include "support/RecordingResponseHandler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

const QByteArray kBgspReply("{\"errno\":0,\"data\":{\"bgsp\":\"b1\"}}");

TEST(ResponseHandlerTest, WithoutAnEngineEveryCallIsDroppedWithADebugLine) {
    ASSERT_EQ(GetResponseHandler(), nullptr);
    DebugCapture capture;
    QCRequestCommon::DispatchReply(CMD::GetBgsp, 1, kBgspReply, 0, 0, 0);
    EXPECT_EQ(capture.lines(QStringLiteral("[resp] no engine: AckGetBgsp dropped")).size(), 1);
    // Nobody waits for a transfer either: its broken reply is dropped without a report.
    EXPECT_TRUE(ResponseHandlerOrDrop().IsOrphanTask(3));
    QCRequestCommon::DispatchReply(CMD::UploadMeta, 3, "<html>", 0, 0, 0);
    EXPECT_TRUE(capture.lines(QStringLiteral("[resp] no engine: OnError")).isEmpty());

    RecordingResponseHandler engine;
    SetResponseHandler(&engine);
    EXPECT_EQ(GetResponseHandler(), &engine);
    QCRequestCommon::DispatchReply(CMD::GetBgsp, 1, kBgspReply, 0, 0, 0);
    SetResponseHandler(nullptr);
    QCRequestCommon::DispatchReply(CMD::GetBgsp, 1, kBgspReply, 0, 0, 0);
    EXPECT_EQ(engine.TakeCalls().size(), 1u);
    EXPECT_EQ(capture.lines(QStringLiteral("[resp] no engine: AckGetBgsp dropped")).size(), 2);
}

// Each reply reaches exactly one of the engine and the dropping handler, whichever was registered.
TEST(ResponseHandlerTest, RegistrationMayChangeWhileRepliesAreDispatched) {
    constexpr int kReplies = 400;
    RecordingResponseHandler engine;
    DebugCapture capture;
    std::atomic<bool> done{false};
    std::thread dispatcher([&done] {
        for (int i = 0; i < kReplies; ++i)
            QCRequestCommon::DispatchReply(CMD::GetBgsp, 1, kBgspReply, 0, 0, 0);
        done = true;
    });
    for (bool on = true; !done; on = !on)
        SetResponseHandler(on ? &engine : nullptr);
    dispatcher.join();
    SetResponseHandler(nullptr);
    const auto dropped = capture.lines(QStringLiteral("[resp] no engine: AckGetBgsp dropped")).size();
    EXPECT_EQ(engine.TakeCalls().size() + size_t(dropped), size_t(kReplies));
}

} // namespace
