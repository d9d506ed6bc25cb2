#include "network/CurlGlobal.h"

#include "common/CoreLog.h"
#include "common/WorkPools.h"

#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <random>
#include <set>
#include <vector>

// The share that every handle of the process carries, with the locks libcurl asks for: one
// non-recursive mutex per kind of shared data, so that libcurl may hold the lock of one kind (the
// share's own bookkeeping, say) while it takes another's.
//
// Connections are not in the share: libcurl documents sharing the connection cache between
// concurrently running threads as unsafe. They are reused through the pool of multi handles below,
// each of which keeps the connections of its last transfers.
struct curl_dns_lock {
    static std::mutex s_locks[CURL_LOCK_DATA_LAST];
    static CURLSH* s_share; // made once by CurlGlobal::Init, freed at exit

    static std::mutex& _mutex(curl_lock_data data) {
        return s_locks[data > CURL_LOCK_DATA_NONE && data < CURL_LOCK_DATA_LAST ? data : CURL_LOCK_DATA_NONE];
    }
    static void _lock(CURL*, curl_lock_data data, curl_lock_access, void*) noexcept { _mutex(data).lock(); }
    static void _unlock(CURL*, curl_lock_data data, void*) noexcept { _mutex(data).unlock(); }
    static void _create_share() {
        s_share = curl_share_init();
        if (!s_share)
            return;
        curl_share_setopt(s_share, CURLSHOPT_LOCKFUNC, &curl_dns_lock::_lock);
        curl_share_setopt(s_share, CURLSHOPT_UNLOCKFUNC, &curl_dns_lock::_unlock);
        curl_share_setopt(s_share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
        curl_share_setopt(s_share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    }
    static void _set_share_handle(CURL* handle) {
        if (!s_share)
            return;
        curl_easy_setopt(handle, CURLOPT_SHARE, s_share);
        curl_easy_setopt(handle, CURLOPT_DNS_CACHE_TIMEOUT, 300L);
    }
};

std::mutex curl_dns_lock::s_locks[CURL_LOCK_DATA_LAST];
CURLSH* curl_dns_lock::s_share = nullptr;

namespace {

// Idle multi handles kept for reuse: one for every thread that may run an exchange at once, so
// that a burst of small files never closes the connections the next requests would reuse.
constexpr size_t kPoolSize = size_t(WorkPools::kMaxTransferThreads + WorkPools::kControlThreads);

std::once_flag g_init;
std::atomic<quint64> g_generation{0};
std::atomic<CurlGlobal::ConnectGuard> g_connectGuard{nullptr};
std::atomic<long> g_backoffFirstMs{500};
std::atomic<long> g_backoffCeilingMs{30000};

std::mutex g_multiLock;
std::set<CURLM*> g_busyMulti;    // guarded by g_multiLock: taken, not yet returned
std::vector<CURLM*> g_idleMulti; // guarded by g_multiLock: the pool, most recently returned last

void CleanUpAtExit() {
    std::lock_guard<std::mutex> lock(g_multiLock);
    // A client that outlives main (held by a static object) still uses libcurl: leave it be, the
    // process is ending anyway.
    if (!g_busyMulti.empty())
        return;
    for (CURLM* multi : g_idleMulti)
        curl_multi_cleanup(multi);
    g_idleMulti.clear();
    // An easy handle still alive (a pool thread between two exchanges at exit) keeps the share in
    // use: libcurl then frees nothing, so the share stays where it is, reachable, until the
    // process is gone (forgetting it would turn it into a leak).
    if (curl_dns_lock::s_share && curl_share_cleanup(curl_dns_lock::s_share) != CURLSHE_OK)
        return;
    curl_dns_lock::s_share = nullptr;
    curl_global_cleanup();
}

} // namespace

void CurlGlobal::Init() {
    std::call_once(g_init, [] {
        curl_global_init(CURL_GLOBAL_ALL);
        curl_dns_lock::_create_share();
        atexit(&CleanUpAtExit);
        CoreDebug("curl_global_init");
    });
}

void CurlGlobal::AttachShare(CURL* handle) {
    curl_dns_lock::_set_share_handle(handle);
}

CURLM* CurlGlobal::TakeMulti() {
    std::lock_guard<std::mutex> lock(g_multiLock);
    CURLM* multi = nullptr;
    if (!g_idleMulti.empty()) {
        multi = g_idleMulti.back();
        g_idleMulti.pop_back();
    } else {
        multi = curl_multi_init();
    }
    if (multi)
        g_busyMulti.insert(multi);
    return multi;
}

void CurlGlobal::ReturnMulti(CURLM* multi) {
    if (!multi)
        return;
    {
        std::lock_guard<std::mutex> lock(g_multiLock);
        g_busyMulti.erase(multi);
        if (g_idleMulti.size() < kPoolSize) {
            g_idleMulti.push_back(multi);
            return;
        }
    }
    curl_multi_cleanup(multi);
}

quint64 CurlGlobal::Generation() {
    return g_generation.load();
}

void CurlGlobal::StopAll() {
    g_generation.fetch_add(1);
    std::lock_guard<std::mutex> lock(g_multiLock);
    for (CURLM* multi : g_busyMulti)
        curl_multi_wakeup(multi);
}

long CurlGlobal::BackoffMs(int failures) {
    const long first = std::max(1L, g_backoffFirstMs.load());
    const long ceiling = std::max(first, g_backoffCeilingMs.load());
    long wait = first;
    for (int i = 1; i < failures && wait < ceiling; ++i)
        wait *= 2;
    wait = std::min(wait, ceiling);
    // Jitter, so that the clients that failed together do not all come back together.
    thread_local std::minstd_rand random(std::random_device{}());
    return wait / 2 + std::uniform_int_distribution<long>(0, wait - wait / 2)(random);
}

void CurlGlobal::SetBackoff(long firstMs, long ceilingMs) {
    g_backoffFirstMs.store(firstMs);
    g_backoffCeilingMs.store(ceilingMs);
}

void CurlGlobal::SetConnectGuard(ConnectGuard guard) {
    g_connectGuard.store(guard);
}

curl_socket_t CurlGlobal::OpenSocket(void*, curlsocktype purpose, curl_sockaddr* address) {
    // Nothing may unwind through libcurl: a guard that throws refuses the address.
    try {
        const ConnectGuard guard = g_connectGuard.load();
        if (guard && purpose == CURLSOCKTYPE_IPCXN && !guard(&address->addr))
            return CURL_SOCKET_BAD;
    } catch (...) {
        return CURL_SOCKET_BAD;
    }
    return socket(address->family, address->socktype, address->protocol);
}
