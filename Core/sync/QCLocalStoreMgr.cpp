#include "sync/QCLocalStoreMgr.h"

#include "common/QCEvents.h"

#include <utility>

QCLocalStoreMgr g_LocalStoreMgr;

namespace {

QCLocalStoreMgr::RecordedCall Call(const char* name, QJsonValue data = QJsonValue()) {
    QCLocalStoreMgr::RecordedCall call;
    call.name = QLatin1String(name);
    call.data = std::move(data);
    return call;
}

QCLocalStoreMgr::RecordedCall CallWithFlag(const char* name, const QJsonValue& data, bool flag,
                                           unsigned int count = 0) {
    QCLocalStoreMgr::RecordedCall call = Call(name, data);
    call.flag = flag;
    call.count = count;
    return call;
}

QCLocalStoreMgr::RecordedCall CallWithTask(const char* name, int command, unsigned int id,
                                           const QJsonValue& data) {
    QCLocalStoreMgr::RecordedCall call = Call(name, data);
    call.command = command;
    call.id = id;
    return call;
}

} // namespace

void QCLocalStoreMgr::SendCoreProcEvent(int command, unsigned int id) {
    m_events.Add(std::make_shared<QCProcResponseEvent>(command, id));
}

bool QCLocalStoreMgr::IsOrphanTask(unsigned int id) {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_ownedTasks.count(id) == 0;
}

void QCLocalStoreMgr::OnError(int kind, int serviceErrno, QString text, CMD_STAT_DEBUG* stat) {
    RecordedCall call = Call("OnError");
    call.kind = kind;
    call.serviceErrno = serviceErrno;
    call.text = std::move(text);
    call.hasStat = stat != nullptr;
    Record(std::move(call));
}

void QCLocalStoreMgr::ReLogin() {
    Record(Call("ReLogin"));
}

void QCLocalStoreMgr::OnRequestFailed(int command, unsigned int id, int kind, int code) {
    RecordedCall call = CallWithTask("OnRequestFailed", command, id, QJsonValue());
    call.kind = kind;
    call.serviceErrno = code;
    Record(std::move(call));
}

void QCLocalStoreMgr::AckGetConfig(QJsonValue& data) {
    Record(Call("AckGetConfig", data));
}

void QCLocalStoreMgr::AckLogin(QJsonValue& data, bool noEnterpriseYet) {
    Record(CallWithFlag("AckLogin", data, noEnterpriseYet));
}

void QCLocalStoreMgr::AckGetUserDetail(QJsonValue& data, bool typeWasOne) {
    Record(CallWithFlag("AckGetUserDetail", data, typeWasOne));
}

void QCLocalStoreMgr::AckGetUserSpace(QJsonValue& data) {
    Record(Call("AckGetUserSpace", data));
}

void QCLocalStoreMgr::AckGetVersion(QJsonValue& data, bool typeWasOne) {
    Record(CallWithFlag("AckGetVersion", data, typeWasOne));
}

void QCLocalStoreMgr::AckGetBgsp(QJsonValue& data) {
    Record(Call("AckGetBgsp", data));
}

void QCLocalStoreMgr::AckGetGlobalNodes(QJsonValue& data, unsigned int count, bool fromComet) {
    Record(CallWithFlag("AckGetGlobalNodes", data, fromComet, count));
}

void QCLocalStoreMgr::AckGetIncrGlobal(QJsonValue& data, unsigned int count, bool fromComet) {
    Record(CallWithFlag("AckGetIncrGlobal", data, fromComet, count));
}

void QCLocalStoreMgr::AckGetEnterpriseList(QJsonValue& data) {
    Record(Call("AckGetEnterpriseList", data));
}

void QCLocalStoreMgr::AckGetJumpUrl(QJsonObject& reply) {
    Record(Call("AckGetJumpUrl", reply));
}

void QCLocalStoreMgr::ProcServerFileOperate(int command, unsigned int id, QJsonValue& data, int kind,
                                            int serviceErrno, QString errmsg) {
    RecordedCall call = CallWithTask("ProcServerFileOperate", command, id, data);
    call.kind = kind;
    call.serviceErrno = serviceErrno;
    call.text = std::move(errmsg);
    Record(std::move(call));
}

void QCLocalStoreMgr::ProcDownloadFile(int command, unsigned int id, QJsonObject& reply) {
    Record(CallWithTask("ProcDownloadFile", command, id, reply));
}

void QCLocalStoreMgr::ProcUploadFile(int command, unsigned int id, QJsonObject& reply) {
    Record(CallWithTask("ProcUploadFile", command, id, reply));
}

std::vector<QCLocalStoreMgr::RecordedCall> QCLocalStoreMgr::TakeCalls() {
    std::lock_guard<std::mutex> lock(m_lock);
    std::vector<RecordedCall> calls;
    calls.swap(m_calls);
    return calls;
}

void QCLocalStoreMgr::SetTaskOwned(unsigned int id, bool owned) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (owned)
        m_ownedTasks.insert(id);
    else
        m_ownedTasks.erase(id);
}

void QCLocalStoreMgr::Record(RecordedCall call) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_calls.push_back(std::move(call));
}
