#pragma once
// The API method name of each command number.

#include <QString>

// The method name a request carries as "method"; "unknown" for a number without one.
QString GetCmdString(int command);
