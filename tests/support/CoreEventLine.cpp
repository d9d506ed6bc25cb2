#include "support/CoreEventLine.h"

#include "common/EventRecords.h"
#include "common/QCEvents.h"

void AddSyncInfo(JsonLine& line, const SYNC_INFO& info) {
    line.add("status", int(info.status))
        .add("synced_last_pass", info.synced_last_pass)
        .add("down_count", info.down_count)
        .add("down_speed", info.down_speed)
        .add("up_count", info.up_count)
        .add("up_speed", info.up_speed)
        .add("left_seconds", info.left_seconds)
        .add("percent", info.percent)
        .add("total_size", info.total_size)
        .add("free_size", info.free_size)
        .add("used_size", info.used_size)
        .add("used_percent", double(info.used_percent))
        .add("ent_total_size", info.ent_total_size)
        .add("ent_used_size", info.ent_used_size)
        .add("error_type", info.error_type)
        .add("error_type_text", info.error_type_text)
        .add("error_code", info.error_code)
        .add("error_item", info.error_item)
        .add("count_node", info.count_node)
        .add("fetched_node", info.fetched_node)
        .add("left_size", info.left_size)
        .add("paused_down", info.paused_down)
        .add("paused_up", info.paused_up)
        .add("detail_counter1", info.detail_counter1)
        .add("detail_counter2", info.detail_counter2)
        .add("flags", info.flags)
        .add("down_average_size", info.down_average_size)
        .add("up_average_size", info.up_average_size);
}

JsonLine CoreEventLine(QEvent* event) {
    JsonLine line;
    const int type = event->type();
    line.add("event", type);
    switch (type) {
    case QCEventBase::StatusChanged:
        AddSyncInfo(line, static_cast<QCStatusChangedEvent*>(event)->data);
        break;
    case QCEventBase::SpeedUpdate:
        AddSyncInfo(line, static_cast<QCSpeedUpdateEvent*>(event)->data);
        break;
    case QCEventBase::GlobalError: {
        const auto* error = static_cast<QCGlobalErrorEvent*>(event);
        line.add("kind", error->error_type).add("code", error->error_code).add("message", error->message);
        break;
    }
    case QCEventBase::FileUpdate:
    case QCEventBase::FileDelete:
    case QCEventBase::FileDownload: {
        // The three classes carry the same record at the same place.
        const FILE_UPDATE_NOTIFY& data = static_cast<QCFileUpdateEvent*>(event)->data;
        line.add("path", data.path)
            .add("total", data.total)
            .add("files", quint64(data.files.size()))
            .add("search", data.search);
        break;
    }
    case QCEventBase::CacheClean: {
        const CACHE_CLEAN_NOTIFY& data = static_cast<QCCacheCleanEvent*>(event)->data;
        line.add("cleaned_bytes", data.cleaned_bytes)
            .add("cleaned_files", data.cleaned_files)
            .add("kept_bytes", data.kept_bytes)
            .add("kept_files", data.kept_files);
        break;
    }
    case QCEventBase::DefaultEntLogin:
        line.add("eid", static_cast<QCDefaultEntLoginEvent*>(event)->eid);
        break;
    case QCEventBase::FileUsing:
        line.add("path", static_cast<QCFileUsingEvent*>(event)->path);
        break;
    case QCEventBase::FileIsIllegal:
        line.add("path", static_cast<QCFileIsIllegalEvent*>(event)->path);
        break;
    case QCEventBase::GetEnterprise:
        line.add("items", quint64(static_cast<QCGetEnterpriseEvent*>(event)->data.items.size()));
        break;
    case QCEventBase::GetJumpUrl: {
        const GET_TICKET_RESULT& data = static_cast<QCGetJumpUrlEvent*>(event)->data;
        line.add("result", data.result).add("message", data.message).add("url", data.url);
        break;
    }
    case QCEventBase::FileCloudCopy:
    case QCEventBase::FileCloudMove: {
        // Two classes with the same payload: each cast to its own.
        const CLOUD_COPY_TO& data = type == QCEventBase::FileCloudCopy
                                        ? static_cast<QCFileCloudCopyEvent*>(event)->data
                                        : static_cast<QCFileCloudMoveEvent*>(event)->data;
        line.add("error_type", data.error_type)
            .add("error_code", data.error_code)
            .add("message", data.message)
            .add("source", data.source)
            .add("destination", data.destination);
        break;
    }
    default:
        break;
    }
    return line;
}
