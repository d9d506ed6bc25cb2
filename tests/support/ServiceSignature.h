#pragma once
// The service's side of request signing, written apart from the client's so that a test compares
// two independent computations: the signature is the MD5 (lower-case hex) of the "name=value"
// pairs sorted by lower-case name (stable), values raw, followed by the shared key.

#include "support/StandInTypes.h"

#include <string>

// The key the service shares with the client.
extern const char kServiceSignKey[];

std::string ServiceSign(const NameValueList& params);
// PHP's urldecode: "+" is a blank, "%XX" a byte; a broken escape stays as it is.
std::string PhpUrlDecode(const std::string& text);
