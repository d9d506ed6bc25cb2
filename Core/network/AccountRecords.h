#pragma once
// Reply records of the account commands: login, user detail (also the user-space answer), version
// check and the start of a full node listing. Plain copyable values.

#include <QString>
#include <QtGlobal>

// Answer to "User.login".
struct LOGIN_ACK {
    QString qid;
    QString eid; // the enterprise id, exactly the digits the service sent
    QString token;
    QString key; // content key of transferred blocks
    QString iv;  // initialisation vector belonging to `key`
};

// Answer to "User.getUserDetail" and to the user-space request. The field names are the reply
// keys, spelling included ("has_dravel", "file_extentions").
struct USER_DETAIL_ACK {
    USER_DETAIL_ACK() { Init(); }

    // Resets every number and flag except `edit_status`; `has_dravel` becomes 1. Texts stay.
    void Init() {
        active_time = 0;
        active_ip = 0;
        last_login_time = 0;
        last_login_ip = 0;
        login_count = 0;
        max_file_size = 0;
        max_del_count = 0;
        used_size = 0;
        total_size = 0;
        e_used_size = 0;
        e_total_size = 0;
        version = 0;
        count_node = 0;
        is_admin = 0;
        has_dravel = 1;
        is_person = false;
        is_switch = false;
        is_person_with_member = false;
    }

    QString eid;
    QString uid;
    QString qid;
    QString name;
    QString phone;
    QString email;
    quint32 active_time;
    quint32 active_ip; // an IPv4 address as a number
    quint32 last_login_time;
    quint32 last_login_ip;
    quint32 login_count;
    quint64 max_file_size; // bytes
    quint32 max_del_count;
    quint64 used_size;    // bytes, the user's own use
    quint64 total_size;   // bytes, the user's quota
    quint64 e_used_size;  // bytes, the enterprise's use
    quint64 e_total_size; // bytes, the enterprise's quota
    quint32 version;
    quint32 count_node;
    quint32 is_admin; // 0 or 1
    QString headimage;
    quint32 has_dravel;
    QString file_extentions;
    quint32 edit_status = 0;
    QString online_service;
    QString public_notice;
    QString public_popup_window;
    QString public_resident_bar;
    bool is_person;
    bool is_switch;
    bool is_person_with_member;
    QString hide_module;
};

// Answer to "User.getVersion".
struct VERSION_ACK {
    quint32 ver = 0;
    quint32 server_time = 0; // no reply key fills it
};

// Answer to "Incr.getBgsp".
struct BGSP_ACK {
    quint32 ver = 0;
    quint32 total = 0;
    QString bgsp; // cursor of the first page of a full listing
};
