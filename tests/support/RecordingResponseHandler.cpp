#include "support/RecordingResponseHandler.h"

#include <QJsonObject>

namespace {

using RecordedCall = RecordingResponseHandler::RecordedCall;

RecordedCall Call(const char* name, QJsonValue data = QJsonValue()) {
    RecordedCall call;
    call.name = QLatin1String(name);
    call.data = std::move(data);
    return call;
}

RecordedCall CallWithFlag(const char* name, const QJsonValue& data, bool flag, unsigned int count = 0) {
    RecordedCall call = Call(name, data);
    call.flag = flag;
    call.count = count;
    return call;
}

RecordedCall CallWithTask(const char* name, int command, unsigned int id, const QJsonValue& data) {
    RecordedCall call = Call(name, data);
    call.command = command;
    call.id = id;
    return call;
}

} // namespace

std::vector<RecordedCall> RecordingResponseHandler::TakeCalls() {
    std::lock_guard<std::mutex> lock(m_lock);
    std::vector<RecordedCall> calls;
    calls.swap(m_calls);
    return calls;
}

std::vector<std::pair<int, unsigned int>> RecordingResponseHandler::TakeProcEvents() {
    std::lock_guard<std::mutex> lock(m_lock);
    std::vector<std::pair<int, unsigned int>> events;
    events.swap(m_procEvents);
    return events;
}

void RecordingResponseHandler::SetTaskOwned(unsigned int id, bool owned) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (owned)
        m_ownedTasks.insert(id);
    else
        m_ownedTasks.erase(id);
}

void RecordingResponseHandler::SendCoreProcEvent(int command, unsigned int id) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_procEvents.emplace_back(command, id);
}

bool RecordingResponseHandler::IsOrphanTask(unsigned int id) {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_ownedTasks.count(id) == 0;
}

void RecordingResponseHandler::OnError(int kind, int serviceErrno, QString text, CMD_STAT_DEBUG* stat) {
    RecordedCall call = Call("OnError");
    call.kind = kind;
    call.serviceErrno = serviceErrno;
    call.text = std::move(text);
    call.hasStat = stat != nullptr;
    Record(std::move(call));
}

void RecordingResponseHandler::ReLogin() {
    Record(Call("ReLogin"));
}

void RecordingResponseHandler::OnRequestFailed(int command, unsigned int id, int kind, int code) {
    RecordedCall call = CallWithTask("OnRequestFailed", command, id, QJsonValue());
    call.kind = kind;
    call.serviceErrno = code;
    Record(std::move(call));
}

void RecordingResponseHandler::AckGetConfig(QJsonValue& data) {
    Record(Call("AckGetConfig", data));
}

void RecordingResponseHandler::AckLogin(QJsonValue& data, bool noEnterpriseYet) {
    Record(CallWithFlag("AckLogin", data, noEnterpriseYet));
}

void RecordingResponseHandler::AckGetUserDetail(QJsonValue& data, bool typeWasOne) {
    Record(CallWithFlag("AckGetUserDetail", data, typeWasOne));
}

void RecordingResponseHandler::AckGetUserSpace(QJsonValue& data) {
    Record(Call("AckGetUserSpace", data));
}

void RecordingResponseHandler::AckGetVersion(QJsonValue& data, bool typeWasOne) {
    Record(CallWithFlag("AckGetVersion", data, typeWasOne));
}

void RecordingResponseHandler::AckGetBgsp(QJsonValue& data) {
    Record(Call("AckGetBgsp", data));
}

void RecordingResponseHandler::AckGetGlobalNodes(QJsonValue& data, unsigned int count, bool fromComet) {
    Record(CallWithFlag("AckGetGlobalNodes", data, fromComet, count));
}

void RecordingResponseHandler::AckGetIncrGlobal(QJsonValue& data, unsigned int count, bool fromComet) {
    Record(CallWithFlag("AckGetIncrGlobal", data, fromComet, count));
}

void RecordingResponseHandler::AckGetEnterpriseList(QJsonValue& data) {
    Record(Call("AckGetEnterpriseList", data));
}

void RecordingResponseHandler::AckGetJumpUrl(QJsonObject& reply) {
    Record(Call("AckGetJumpUrl", reply));
}

void RecordingResponseHandler::ProcServerFileOperate(int command, unsigned int id, QJsonValue& data, int kind,
                                                     int serviceErrno, QString errmsg) {
    RecordedCall call = CallWithTask("ProcServerFileOperate", command, id, data);
    call.kind = kind;
    call.serviceErrno = serviceErrno;
    call.text = std::move(errmsg);
    Record(std::move(call));
}

void RecordingResponseHandler::ProcDownloadFile(int command, unsigned int id, QJsonObject& reply) {
    Record(CallWithTask("ProcDownloadFile", command, id, reply));
}

void RecordingResponseHandler::ProcUploadFile(int command, unsigned int id, QJsonObject& reply) {
    Record(CallWithTask("ProcUploadFile", command, id, reply));
}

void RecordingResponseHandler::Record(RecordedCall call) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_calls.push_back(std::move(call));
}
