#pragma once
// Reply records of the transfer commands (download info and block list, upload address, block
// answers, commit, add) and BLOCK_INFO, one 512 KiB block of a file. Plain copyable values.

#include "Database/ConfigRecords.h"
#include "common/FileInfo.h"

#include <QString>
#include <QtGlobal>

#include <vector>

struct BLOCK_INFO {
    quint32 bidx = 0; // block number, from 1 in file order
    QString bhash;    // hash of the block as the service names it
    quint32 bsize = 0;
    quint64 boffset = 0;
    QString hash;       // the block's own hash
    bool found = false; // download list: always; upload answer: the service holds it already
    QString dt;         // per-block token of the download service
};

// Answer to "Sync.getDownloadInfo".
struct DL_INFO_ACK {
    FILE_INFO file; // path, name, size, ctime, mtime, version, file_hash
    QString http;   // host of the download service
    IP_INFO addr_1;
    IP_INFO addr_2;
    QString backup;
    QString dt;
    QString nid;
    quint32 compress = 0;
    quint32 is_https = 0;
    bool bad_size = false; // "fsize" was negative: no file has that size (`file.size` holds 0)
};

// Answer to "Download.getMetaInfo".
struct DL_META_ACK {
    quint64 fsize = 0;
    std::vector<BLOCK_INFO> block_info; // tiles [0, fsize) exactly, in offset order
};

// Answer to "Sync.getAddr".
struct UP_INFO_ACK {
    QString tk;   // token of the upload
    QString http; // host of the upload service
    IP_INFO addr_1;
    IP_INFO addr_2;
    QString backup;
    quint32 compress = 0;
    quint32 ver = 0;
    quint32 autoCommit = 0;
    quint32 is_https = 0;
    QString nv;
    QString root_nid;
};

// Answer to "Upload.request".
struct UP_EX_ACK {
    QString tid;                        // the upload transaction id
    std::vector<BLOCK_INFO> block_info; // entry i describes block i + 1
};

// Answer to "Upload.commit".
struct UP_COMMIT_ACK {
    quint32 ver = 0;
    QString tk;
    QString etk;
    quint32 autoCommit = 0;
};

// Answer to "Sync.addFile".
struct UP_ADD_ACK {
    quint32 ver = 0;
};
