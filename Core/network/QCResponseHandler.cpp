// The registration of the engine with the API client, and the handler that stands in while none
// is registered.
#include "network/QCResponseHandler.h"

#include "common/CoreLog.h"

#include <atomic>

namespace {

std::atomic<QCResponseHandler*> g_handler{nullptr};

void Drop(const char* operation) {
    CoreDebug("[resp] no engine: %s dropped\n", operation);
}

// No engine yet (or none in a test of the API client alone): nobody waits for anything, so every
// task counts as an orphan and every reply or failure goes nowhere.
class DroppingHandler final : public QCResponseHandler {
public:
    void SendCoreProcEvent(int, unsigned int) override { Drop("SendCoreProcEvent"); }
    bool IsOrphanTask(unsigned int) override { return true; }
    void OnError(int, int, QString, CMD_STAT_DEBUG*) override { Drop("OnError"); }
    void ReLogin() override { Drop("ReLogin"); }
    void OnRequestFailed(int, unsigned int, int, int) override { Drop("OnRequestFailed"); }
    void AckGetConfig(QJsonValue&) override { Drop("AckGetConfig"); }
    void AckLogin(QJsonValue&, bool) override { Drop("AckLogin"); }
    void AckGetUserDetail(QJsonValue&, bool) override { Drop("AckGetUserDetail"); }
    void AckGetUserSpace(QJsonValue&) override { Drop("AckGetUserSpace"); }
    void AckGetVersion(QJsonValue&, bool) override { Drop("AckGetVersion"); }
    void AckGetBgsp(QJsonValue&) override { Drop("AckGetBgsp"); }
    void AckGetGlobalNodes(QJsonValue&, unsigned int, bool) override { Drop("AckGetGlobalNodes"); }
    void AckGetIncrGlobal(QJsonValue&, unsigned int, bool) override { Drop("AckGetIncrGlobal"); }
    void AckGetEnterpriseList(QJsonValue&) override { Drop("AckGetEnterpriseList"); }
    void AckGetJumpUrl(QJsonObject&) override { Drop("AckGetJumpUrl"); }
    void ProcServerFileOperate(int, unsigned int, QJsonValue&, int, int, QString) override {
        Drop("ProcServerFileOperate");
    }
    void ProcDownloadFile(int, unsigned int, QJsonObject&) override { Drop("ProcDownloadFile"); }
    void ProcUploadFile(int, unsigned int, QJsonObject&) override { Drop("ProcUploadFile"); }
};

} // namespace

void SetResponseHandler(QCResponseHandler* handler) {
    g_handler.store(handler, std::memory_order_release);
}

QCResponseHandler* GetResponseHandler() {
    return g_handler.load(std::memory_order_acquire);
}

QCResponseHandler& ResponseHandlerOrDrop() {
    // Never destroyed: a pool thread may still end a request while the process exits.
    static QCResponseHandler* const dropping = new DroppingHandler();
    QCResponseHandler* handler = GetResponseHandler();
    return handler ? *handler : *dropping;
}
