#include "network/AesKey.h"

#include <mutex>

namespace {

std::mutex g_lock;
AES_KEY_PAIR g_pair; // guarded by g_lock

} // namespace

void SetAesKey(const QByteArray& key, const QByteArray& iv) {
    AES_KEY_PAIR pair{key, iv};
    std::lock_guard<std::mutex> lock(g_lock);
    g_pair.key.swap(pair.key);
    g_pair.iv.swap(pair.iv);
    // The old pair dies with `pair`, outside the lock.
}

AES_KEY_PAIR GetAesKey() {
    std::lock_guard<std::mutex> lock(g_lock);
    return g_pair;
}
