#pragma once
// Reply records of the node lists (one page of the full listing, one page of changes) and of a
// folder creation. Plain copyable values.

#include "common/FileInfo.h"

#include <QString>
#include <QtGlobal>

#include <map>

// Nodes of one page, by node id; ids are compared as texts, so "10" comes before "9".
using NodeMap = std::map<QString, FILE_INFO>;

// One page of "Incr.getGlobalNodes".
struct GLOBAL_NODES_ACK {
    quint32 ver = 0;    // tree version of the listing
    quint32 retnum = 0; // nodes in the page as the service counts them
    quint32 total = 0;
    QString gsp; // continuation cursors, carried back by the next page's request
    QString spnid;
    NodeMap nodes;
    // Nodes of the page left out because the service sent no usable id or a name that cannot be
    // a file name; non-zero marks the page as bad data.
    quint32 bad_nodes = 0;

    // Empties the page; the cursors stay.
    void Clear() {
        ver = 0;
        retnum = 0;
        total = 0;
        nodes.clear();
        bad_nodes = 0;
    }
};

// One page of "Incr.getIncrGlobal".
struct INCR_GLOBAL_ACK {
    quint32 ver = 0;
    quint32 retnum = 0;
    quint32 total = 0;
    QString gsp;
    QString spnid;
    quint32 page_count = 0; // pages requested; counted by the sync engine, not the parser
    quint32 ret_total = 0;  // sum of the pages' retnum; likewise the sync engine's
    NodeMap nodes;
    quint32 bad_nodes = 0; // as in GLOBAL_NODES_ACK

    // Empties the page and both counters; the cursors stay.
    void Clear() {
        ver = 0;
        retnum = 0;
        total = 0;
        page_count = 0;
        ret_total = 0;
        nodes.clear();
        bad_nodes = 0;
    }
};

// Answer to "File.createDir".
struct NODE_CHANGE_ACK {
    quint32 ver = 0; // the new folder's version
    QString nid;
    quint64 nv = 0;
    QString root_nid;
    QString share_name;
};
