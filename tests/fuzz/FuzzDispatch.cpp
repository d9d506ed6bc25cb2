// Arbitrary reply bodies through the reply dispatch, for every command.
#include "common/CommonDef.h"
#include "network/QCRequestCommon.h"
#include "support/RecordingResponseHandler.h"

#include <QtGlobal>

#include <cstddef>
#include <cstdint>

namespace {

const int kCommands[] = {CMD::GetConfig,
                         CMD::Login,
                         CMD::GetUserDetail,
                         CMD::GetVersion,
                         CMD::GetUserSpace,
                         CMD::GetBgsp,
                         CMD::GetGlobalNodes,
                         CMD::GetIncrGlobal,
                         CMD::CreateDir,
                         CMD::DeleteNode,
                         CMD::Rename,
                         CMD::Move,
                         CMD::Copy,
                         CMD::DownloadInfo,
                         CMD::DownloadMeta,
                         CMD::DownloadBlock,
                         CMD::UploadInfo,
                         CMD::UploadMeta,
                         CMD::UploadBlock,
                         CMD::UploadCommit,
                         CMD::UploadAdd,
                         CMD::UploadFast,
                         CMD::GetEnterpriseList,
                         CMD::GetJumpUrl,
                         CMD::Unknown};

RecordingResponseHandler g_engine;

bool Quiet() {
    // Mapped errors write a critical line each; the fuzzer's output stays readable without them.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    SetResponseHandler(&g_engine);
    g_engine.SetTaskOwned(2, true);
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = Quiet();
    (void)quiet;
    const QByteArray body(reinterpret_cast<const char*>(data), int(size));
    for (int command : kCommands) {
        // Task 2 is owned by a transfer task, task 1 is an orphan.
        QCRequestCommon::DispatchReply(command, 1, body, 1, 100, 1);
        QCRequestCommon::DispatchReply(command, 2, body, 0, 0, 0);
        g_engine.TakeCalls();
    }
    QCRequestCommon::QuoteNumericEid(body);
    return 0;
}
