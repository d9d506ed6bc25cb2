#pragma once
// libcurl's process-wide state as the HTTP clients share it: the global set-up (once, by the first
// client) and clean-up (once, at process exit), the DNS cache shared by every handle, the
// generation that a class-wide stop bumps, the multi handles of the living clients (so that a
// stop can wake their waiting transfers), and the check of every address a client connects to.
// Any thread.

#include <QtGlobal>

#include <curl/curl.h>

struct sockaddr;

namespace CurlGlobal {

using ConnectGuard = bool (*)(const struct sockaddr* address);

// curl_global_init and the shared DNS cache, the first time only.
void Init();
// Attaches the shared DNS cache (entries kept 300 seconds) to a handle.
void AttachDnsCache(CURL* handle);

// The current generation; a client made in an older one is stopped.
quint64 Generation();
// Starts a new generation and wakes every registered multi handle.
void StopAll();
void Register(CURLM* multi);
void Unregister(CURLM* multi);

void SetConnectGuard(ConnectGuard guard);
// CURLOPT_OPENSOCKETFUNCTION: opens the socket unless the guard refuses the address.
curl_socket_t OpenSocket(void* data, curlsocktype purpose, curl_sockaddr* address);

} // namespace CurlGlobal
