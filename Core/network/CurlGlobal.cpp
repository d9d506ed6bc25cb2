#include "network/CurlGlobal.h"

#include "common/CoreLog.h"

#include <sys/socket.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <set>

// The DNS cache that every handle of the process shares, with the lock libcurl asks for: one
// non-recursive mutex, whatever data kind or access mode libcurl names.
struct curl_dns_lock {
    static std::mutex s_dns_lock;
    static CURLSH* s_share; // made once by CurlGlobal::Init, freed at exit

    static void _lock(CURL*, curl_lock_data, curl_lock_access, void*) { s_dns_lock.lock(); }
    static void _unlock(CURL*, curl_lock_data, void*) { s_dns_lock.unlock(); }
    static void _create_share() {
        s_share = curl_share_init();
        if (!s_share)
            return;
        curl_share_setopt(s_share, CURLSHOPT_LOCKFUNC, &curl_dns_lock::_lock);
        curl_share_setopt(s_share, CURLSHOPT_UNLOCKFUNC, &curl_dns_lock::_unlock);
        curl_share_setopt(s_share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    }
    static void _set_share_handle(CURL* handle) {
        if (!s_share)
            return;
        curl_easy_setopt(handle, CURLOPT_SHARE, s_share);
        curl_easy_setopt(handle, CURLOPT_DNS_CACHE_TIMEOUT, 300L);
    }
};

std::mutex curl_dns_lock::s_dns_lock;
CURLSH* curl_dns_lock::s_share = nullptr;

namespace {

std::once_flag g_init;
std::atomic<quint64> g_generation{0};
std::atomic<CurlGlobal::ConnectGuard> g_connectGuard{nullptr};
std::mutex g_liveLock;
std::set<CURLM*> g_liveMulti; // guarded by g_liveLock

void CleanUpAtExit() {
    std::lock_guard<std::mutex> lock(g_liveLock);
    // A client that outlives main (held by a static object) still uses libcurl: leave it be, the
    // process is ending anyway.
    if (!g_liveMulti.empty())
        return;
    if (curl_dns_lock::s_share)
        curl_share_cleanup(curl_dns_lock::s_share);
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

void CurlGlobal::AttachDnsCache(CURL* handle) {
    curl_dns_lock::_set_share_handle(handle);
}

quint64 CurlGlobal::Generation() {
    return g_generation.load();
}

void CurlGlobal::StopAll() {
    g_generation.fetch_add(1);
    std::lock_guard<std::mutex> lock(g_liveLock);
    for (CURLM* multi : g_liveMulti)
        curl_multi_wakeup(multi);
}

void CurlGlobal::Register(CURLM* multi) {
    std::lock_guard<std::mutex> lock(g_liveLock);
    g_liveMulti.insert(multi);
}

void CurlGlobal::Unregister(CURLM* multi) {
    std::lock_guard<std::mutex> lock(g_liveLock);
    g_liveMulti.erase(multi);
}

void CurlGlobal::SetConnectGuard(ConnectGuard guard) {
    g_connectGuard.store(guard);
}

curl_socket_t CurlGlobal::OpenSocket(void*, curlsocktype purpose, curl_sockaddr* address) {
    const ConnectGuard guard = g_connectGuard.load();
    if (guard && purpose == CURLSOCKTYPE_IPCXN && !guard(&address->addr))
        return CURL_SOCKET_BAD;
    return socket(address->family, address->socktype, address->protocol);
}
