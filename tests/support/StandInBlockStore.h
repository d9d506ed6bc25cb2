#pragma once
// The stand-in's store of file contents, shared by the cloud tree, the uploads and the downloads:
// every 512 KiB block once, by its SHA-1, and every content (the bytes of a file version) by the
// client's content hash (StandInTree::ContentHash) as its size and block list. A block that an
// upload stores is the block a download serves, so no byte is held twice.
//
// Blocks are held in memory unless a folder is set: then each block is a file named by its hash
// in that folder, and memory holds only the hashes and the block lists, so a long try of the demo
// service with gigabytes of files keeps its memory small. Without bytes kept (a benchmark's) a
// block is known by its hash alone: instant uploads find it, downloads do not.
//
// Threads: any; the maps are guarded by m_lock, which is never held while a block is hashed, read
// or written to its file.

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

class StandInBlockStore {
public:
    static constexpr unsigned long long kBlockSize = 524288;

    struct Content {
        unsigned long long size = 0;
        std::vector<std::string> blocks; // SHA-1 of each block, in file order
    };

    // Blocks stored from now on go to files in `folder` (made when missing); false when it cannot
    // be made. Set before the store is used.
    bool setFolder(const std::string& folder);
    // Stores a block whose SHA-1 the caller checked; a block held already is kept as it is. Null
    // `bytes`: the block is known by its hash alone. False when its file could not be written.
    bool putBlock(const std::string& hash, std::shared_ptr<const std::string> bytes);
    // Stores `bytes` as one block; its SHA-1, or "" when it could not be stored.
    std::string putBlock(const std::string& bytes);
    bool hasBlock(const std::string& hash) const;
    // The block's bytes; null when it is not held, or held without its bytes.
    std::shared_ptr<const std::string> block(const std::string& hash) const;
    // Distinct blocks held, and their hashes.
    size_t blockCount() const;
    std::vector<std::string> blockList() const;

    // Stores the blocks of `bytes` and the content; its content hash, or "" when a block could
    // not be stored.
    std::string putContent(const std::string& bytes);
    // Enters a content whose blocks are stored (or are to be); its hash is the caller's.
    void addContent(const std::string& hash, Content content);
    std::optional<Content> content(const std::string& hash) const;
    // The bytes of a content, joined; nothing when the content or a block's bytes are not held.
    std::optional<std::string> contentBytes(const std::string& hash) const;

private:
    std::string BlockFile(const std::string& hash) const;

    mutable std::mutex m_lock;
    std::string m_folder; // set once before use: "" keeps blocks in memory
    // The bytes in memory, or null when they are in the folder or not kept.
    std::unordered_map<std::string, std::shared_ptr<const std::string>> m_blocks;
    std::map<std::string, Content> m_contents;
};
