#pragma once
// The base of every command into the core (2100-2121) and notification out of it (2200-2219).
// Commands travel as std::shared_ptr<QCEventBase> on the engine's queue; notifications are made
// with new and posted through QCGlobalConfig::CallOuter, after which Qt owns them. A receiver of
// notifications calls TsanAcquireEvent(e) first thing in its event() (see common/TsanAnnotations.h).

#include "common/TsanAnnotations.h"

#include <QEvent>

class QCEventBase : public QEvent {
public:
    enum QCEventType {
        // Commands into the core.
        CoreProc = 2100,
        CoreTimer = 2101,
        FastTransfer = 2104,
        CoreUser = 2108,
        SpeedTest = 2110,
        PauseTask = 2111,
        ResumeTask = 2112,
        CancelAllTask = 2113,
        DeleteHistory = 2114,
        GetEnterpriseList = 2115,
        GetJumpUrlTicket = 2116,
        AsyncErrorMsg = 2117,
        CopyTo = 2118,
        ProcResponse = 2121,
        // Notifications out of the core.
        VUZeroz = 2200,
        FileUpdate = 2201,
        FileDelete = 2202,
        FileDownload = 2203,
        FlushView = 2204,
        StatusChanged = 2205,
        SpeedUpdate = 2206,
        CacheClean = 2207,
        TaskHistoryClean = 2208,
        DefaultEntLogin = 2209,
        SyncFinish = 2210,
        AutoCommit = 2211,
        FileUsing = 2212,
        GetEnterprise = 2213,
        GetJumpUrl = 2214,
        FileCloudCopy = 2215,
        FileCloudMove = 2216,
        InvalidQT = 2217,
        FileIsIllegal = 2218,
        GlobalError = 2219,
    };

    explicit QCEventBase(QCEventType type) : QEvent(QEvent::Type(type)) {}
    ~QCEventBase() override = default;
};
