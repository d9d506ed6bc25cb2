#pragma once
// libcurl's process-wide state as the HTTP clients share it: the global set-up (once, by the first
// client) and clean-up (once, at process exit); the share that every easy handle carries (DNS
// cache and TLS sessions); the pool of idle multi handles, which keeps their live connections for
// the next client; the generation that a class-wide stop bumps, with the multi handles in use (so
// that a stop can wake their waits); the retry back-off; and the check of every address a client
// connects to. Any thread.

#include <QtGlobal>

#include <curl/curl.h>

struct sockaddr;

namespace CurlGlobal {

using ConnectGuard = bool (*)(const struct sockaddr* address);

// curl_global_init and the share, the first time only.
void Init();
// Attaches the share to a handle: DNS entries (kept 300 seconds) and TLS sessions.
void AttachShare(CURL* handle);

// A multi handle for one verb: the most recently returned idle one (it may hold a live connection
// to the same host), else a new one; null when libcurl cannot make one. Until it is returned, a
// stop wakes it.
CURLM* TakeMulti();
// Gives a multi handle back after its verb, with no easy handle in it. It is kept for the next
// verb while the pool has room, else cleaned up (which closes its connections).
void ReturnMulti(CURLM* multi);

// The current generation; a client made in an older one is stopped.
quint64 Generation();
// Starts a new generation and wakes every multi handle in use.
void StopAll();

// The wait before retry `failures` (1 after the first failed attempt): the first wait doubled at
// each failure up to the ceiling, of which a random half or more is used.
long BackoffMs(int failures);
// Sets the first wait and the ceiling of the back-off for the whole process (500 ms and 30 s
// unless set); tests shorten them.
void SetBackoff(long firstMs, long ceilingMs);

void SetConnectGuard(ConnectGuard guard);
// CURLOPT_OPENSOCKETFUNCTION: opens the socket unless the guard refuses the address.
curl_socket_t OpenSocket(void* data, curlsocktype purpose, curl_sockaddr* address);

} // namespace CurlGlobal
