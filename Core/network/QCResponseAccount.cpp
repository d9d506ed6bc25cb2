// The account reply parsers of QCResponseCommon: login, user detail, version and the start of a
// full node listing.
#include "network/QCResponseCommon.h"
#include "network/ReplyFields.h"

#include "common/CoreLog.h"

using namespace ReplyFields;

std::shared_ptr<LOGIN_ACK> QCResponseCommon::parseLogin(QJsonObject& data) {
    auto ack = std::make_shared<LOGIN_ACK>();
    if (data.isEmpty())
        return ack;
    ack->qid = Text(data, "qid");
    // Taken as sent: enterprise ids run to 19 digits and must not pass through a number.
    ack->eid = Text(data, "eid");
    ack->token = Text(data, "token");
    ack->key = Text(data, "key");
    ack->iv = Text(data, "iv");
    return ack;
}

std::shared_ptr<USER_DETAIL_ACK> QCResponseCommon::parseUserDetail(QJsonObject& data) {
    auto ack = std::make_shared<USER_DETAIL_ACK>();
    if (data.isEmpty())
        return ack;
    // Every key is read, present or not: an absent one overwrites the constructor's value.
    ack->eid = Text(data, "eid");
    ack->uid = Text(data, "uid");
    ack->qid = Text(data, "qid");
    ack->name = Text(data, "name");
    ack->phone = Text(data, "phone");
    ack->email = Text(data, "email");
    ack->active_time = Low32(data, "active_time");
    ack->active_ip = Low32(data, "active_ip");
    ack->last_login_time = Low32(data, "last_login_time");
    ack->last_login_ip = Low32(data, "last_login_ip");
    ack->login_count = Low32(data, "login_count");
    ack->max_file_size = JsonULongLong(Value(data, "max_file_size"));
    ack->max_del_count = Low32(data, "max_del_count");
    ack->used_size = JsonULongLong(Value(data, "used_size"));
    ack->total_size = JsonULongLong(Value(data, "total_size"));
    ack->e_used_size = JsonULongLong(Value(data, "e_used_size"));
    ack->e_total_size = JsonULongLong(Value(data, "e_total_size"));
    ack->version = Low32(data, "version");
    ack->count_node = Low32(data, "count_node");
    ack->is_admin = JsonBool(Value(data, "is_admin"));
    ack->headimage = Text(data, "headimage");
    ack->has_dravel = Low32(data, "has_dravel");
    ack->file_extentions = Text(data, "file_extentions");
    ack->edit_status = Low32(data, "edit_status");
    ack->online_service = Text(data, "online_service");
    ack->public_notice = Text(data, "public_notice");
    ack->public_popup_window = Text(data, "public_popup_window");
    ack->public_resident_bar = Text(data, "public_resident_bar");
    ack->is_person = JsonBool(Value(data, "is_person"));
    ack->is_switch = JsonBool(Value(data, "is_switch"));
    ack->is_person_with_member = JsonBool(Value(data, "is_person_with_member"));
    ack->hide_module = Text(data, "hide_module");
    return ack;
}

std::shared_ptr<VERSION_ACK> QCResponseCommon::parseVersion(QJsonObject& data) {
    auto ack = std::make_shared<VERSION_ACK>();
    if (data.isEmpty())
        return ack;
    ack->ver = Low32(data, "ver");
    CoreDebug("[resp] GetVersion ver:%d\n", int(ack->ver));
    return ack;
}

std::shared_ptr<BGSP_ACK> QCResponseCommon::parseBgsp(QJsonObject& data) {
    auto ack = std::make_shared<BGSP_ACK>();
    if (data.isEmpty())
        return ack;
    ack->bgsp = Text(data, "bgsp");
    ack->ver = Low32(data, "ver");
    ack->total = Low32(data, "total");
    CoreDebug("[resp] GetBgsp bgsp:%s, ver:%d\n", qUtf8Printable(ack->bgsp), int(ack->ver));
    return ack;
}
