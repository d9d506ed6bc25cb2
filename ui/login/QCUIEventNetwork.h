#pragma once
// The reply events of the login manager's account-service exchanges (2301-2305). A request task
// on Qt's global pool owns its NetworkClient; when the exchange ends it hands the client back to
// the manager in one of these events, posted to the manager's thread. The event owns the client
// until the manager's handler takes it (the handler deletes it on every path; an event that is
// never handled deletes it with itself).
//
// `generation` is the request's number in its slot: a reply whose slot has since seen a newer
// request or a cancel is stale. `failed` marks an exchange that ended without a reply (the client
// is gone then); an event made without a client and without `failed` carries nothing.

#include "common/QCEventBase.h"

#include "network/NetworkClient.h"

#include <QtGlobal>

#include <memory>
#include <utility>

class QCUIEventNetwork : public QCEventBase {
public:
    enum Type {
        LoginAck = 2301,
        AutoLoginAck = 2302,
        HeadImgAck = 2303,
        CaptchaAck = 2304,
        RDAck = 2305,
    };

    QCUIEventNetwork(Type type, std::unique_ptr<NetworkClient> reply)
        : QCEventBase(QCEventBase::QCEventType(type)), client(std::move(reply)) {}
    ~QCUIEventNetwork() override = default;

    std::unique_ptr<NetworkClient> client;
    quint64 generation = 0;
    bool failed = false;
};

class QCUIEventLoginAck : public QCUIEventNetwork {
public:
    explicit QCUIEventLoginAck(std::unique_ptr<NetworkClient> reply) : QCUIEventNetwork(LoginAck, std::move(reply)) {}
};

class QCUIEventAutoLoginAck : public QCUIEventNetwork {
public:
    explicit QCUIEventAutoLoginAck(std::unique_ptr<NetworkClient> reply)
        : QCUIEventNetwork(AutoLoginAck, std::move(reply)) {}
};

class QCUIEventHeadImgAck : public QCUIEventNetwork {
public:
    explicit QCUIEventHeadImgAck(std::unique_ptr<NetworkClient> reply)
        : QCUIEventNetwork(HeadImgAck, std::move(reply)) {}
};

class QCUIEventCaptchaAck : public QCUIEventNetwork {
public:
    explicit QCUIEventCaptchaAck(std::unique_ptr<NetworkClient> reply)
        : QCUIEventNetwork(CaptchaAck, std::move(reply)) {}
};

class QCUIEventRDAck : public QCUIEventNetwork {
public:
    explicit QCUIEventRDAck(std::unique_ptr<NetworkClient> reply) : QCUIEventNetwork(RDAck, std::move(reply)) {}
};
