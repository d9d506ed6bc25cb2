#pragma once
// Tests reach nothing but this machine: the check that network tests install as the HTTP
// client's connect guard.

struct sockaddr;

// True for 127.0.0.0/8 and ::1 (also as an IPv4-mapped address).
bool IsLoopbackAddress(const struct sockaddr* address);
