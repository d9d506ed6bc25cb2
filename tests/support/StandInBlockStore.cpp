#include "support/StandInBlockStore.h"

#include "support/StandInTypes.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <sys/stat.h>

namespace {

bool WriteWhole(const std::string& path, const std::string& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

std::shared_ptr<const std::string> ReadWhole(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return nullptr;
    auto bytes = std::make_shared<std::string>();
    char buffer[65536];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        bytes->append(buffer, got);
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed)
        return nullptr;
    return bytes;
}

} // namespace

bool StandInBlockStore::setFolder(const std::string& folder) {
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat info {};
    if (stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return false;
    std::lock_guard<std::mutex> lock(m_lock);
    m_folder = folder;
    return true;
}

std::string StandInBlockStore::BlockFile(const std::string& hash) const {
    return m_folder + "/" + hash;
}

bool StandInBlockStore::putBlock(const std::string& hash, std::shared_ptr<const std::string> bytes) {
    bool toFile = false;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_blocks.count(hash) > 0)
            return true;
        toFile = bytes && !m_folder.empty();
        if (!toFile) {
            m_blocks.emplace(hash, std::move(bytes));
            return true;
        }
    }
    // A private temporary name per write: two uploads of one block may store it at once, and the
    // rename makes whichever comes last the (same) block.
    static std::atomic<unsigned long long> writes{0};
    const std::string file = BlockFile(hash);
    const std::string temporary = file + ".part" + std::to_string(++writes);
    if (!WriteWhole(temporary, *bytes) || std::rename(temporary.c_str(), file.c_str()) != 0) {
        std::remove(temporary.c_str());
        return false;
    }
    std::lock_guard<std::mutex> lock(m_lock);
    m_blocks.emplace(hash, nullptr);
    return true;
}

std::string StandInBlockStore::putBlock(const std::string& bytes) {
    std::string hash = StandInSha1Hex(bytes.data(), bytes.size());
    return putBlock(hash, std::make_shared<const std::string>(bytes)) ? hash : std::string();
}

bool StandInBlockStore::hasBlock(const std::string& hash) const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_blocks.count(hash) > 0;
}

std::shared_ptr<const std::string> StandInBlockStore::block(const std::string& hash) const {
    std::string file;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        const auto found = m_blocks.find(hash);
        if (found == m_blocks.end())
            return nullptr;
        if (found->second || m_folder.empty())
            return found->second;
        file = BlockFile(hash);
    }
    return ReadWhole(file);
}

size_t StandInBlockStore::blockCount() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_blocks.size();
}

std::vector<std::string> StandInBlockStore::blockList() const {
    std::lock_guard<std::mutex> lock(m_lock);
    std::vector<std::string> hashes;
    for (const auto& entry : m_blocks)
        hashes.push_back(entry.first);
    return hashes;
}

std::string StandInBlockStore::putContent(const std::string& bytes) {
    Content content;
    content.size = bytes.size();
    std::string digests;
    for (size_t offset = 0; offset < bytes.size(); offset += kBlockSize) {
        const std::string hash = putBlock(bytes.substr(offset, kBlockSize));
        if (hash.empty())
            return std::string();
        digests += hash;
        content.blocks.push_back(hash);
    }
    std::string hash = StandInSha1Hex(digests.data(), digests.size());
    addContent(hash, std::move(content));
    return hash;
}

void StandInBlockStore::addContent(const std::string& hash, Content content) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_contents.emplace(hash, std::move(content));
}

std::optional<StandInBlockStore::Content> StandInBlockStore::content(const std::string& hash) const {
    std::lock_guard<std::mutex> lock(m_lock);
    const auto found = m_contents.find(hash);
    if (found == m_contents.end())
        return std::nullopt;
    return found->second;
}

std::optional<std::string> StandInBlockStore::contentBytes(const std::string& hash) const {
    const std::optional<Content> known = content(hash);
    if (!known)
        return std::nullopt;
    std::string bytes;
    bytes.reserve(size_t(known->size));
    for (const std::string& blockHash : known->blocks) {
        const std::shared_ptr<const std::string> data = block(blockHash);
        if (!data)
            return std::nullopt;
        bytes += *data;
    }
    return bytes;
}
