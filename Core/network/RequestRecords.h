#pragma once
// Argument bundles of the API requests that the engines fill and hand to the request builders.
// Plain values: a copy shares nothing with its original (several are copied into pool tasks).

#include "common/FileInfo.h"
#include "network/TransferRecords.h"

#include <QString>
#include <QtGlobal>

#include <vector>

// Create a folder.
struct CREATEDIR_REQ {
    QString path;      // "fname", a final "/" added when missing
    QString owner_qid; // sent only when not empty
    quint32 ctime = 0;
    quint32 mtime = 0;
    quint32 attrs = 0;
};

// Move to the recycle bin.
struct DELETE_REQ {
    QString path;        // "fname"
    bool is_dir = false; // a folder's path gets a final "/"
    QString owner_qid;   // sent also when empty
};

// Rename, move or copy.
struct RENAME_REQ {
    QString old_path;    // "src_name"
    QString new_path;    // "new_name": the new name, the target folder of a move, the target of a copy
    bool is_dir = false; // both paths get a final "/"
    QString owner_qid;
    QString new_qid; // copy only
};

// One page of the whole node list.
struct GLOBAL_NODES_REQ {
    QString bgsp;
    QString gsp;
    QString spnid; // sent only when not empty
    int count = 0;
};

// Incremental node changes.
struct INCR_GLOBAL_REQ {
    QString gsp;
    QString spnid; // sent only when not empty
    int count = 0;
    bool from_comet = false;
    int uv = 0;
};

// Download information of a file.
struct DL_INFO_REQ {
    QString path; // "fpath", unchanged
    QString nid;
    QString owner_qid;
};

// Block list of a file.
struct DL_META_REQ {
    QString file_hash; // "fhash"
    QString nid;
    QString dt;
};

// One block of a download.
struct DL_DATA_REQ {
    QString path; // cloud path of the file, for the debug lines
    QString bhash;
    QString dt;
    quint32 block_size = 0; // compression is asked for only from 1025 bytes on
    QString app_id;         // "open_app_id"
    quint64 file_size = 0;
};

// A whole small file in one request.
struct UP_FAST_REQ {
    FILE_INFO file;             // "fname", "fsize", "fhash", "fctime", "fmtime", "fattr"
    QString token;              // "tk"
    const char* data = nullptr; // not owned: the caller keeps the bytes alive until sent
    quint32 data_len = 0;
    bool compressed = false;
};

// Block list of an upload.
struct UP_EX_REQ {
    FILE_INFO file;
    std::vector<BLOCK_INFO> blocks;
    QString token; // "tk"
};

// One block of an upload.
struct UP_BLOCK_REQ {
    QString tid;
    QString bhash;
    quint32 bsize = 0; // size before compression
    quint32 bidx = 0;
    quint64 boffset = 0;
    QString sess_key;           // sent only when not empty
    const char* data = nullptr; // not owned: the caller keeps the bytes alive until sent
    quint32 data_len = 0;       // "compress_size" when compressed
    bool compressed = false;
};

// Finish an upload.
struct UP_COMMIT_REQ {
    QString tid;
};

// Add the uploaded file to the tree.
struct UP_ADD_REQ {
    FILE_INFO file; // "fname" from path
    QString token;  // "tk"
    QString etk;
    QString owner_qid; // sent also when empty
};
