#pragma once
// The user's quota as the user button and the user information pop-up show it: "used/total" in
// short units ("1.5G/10.0G") and the used share for the quota bar.

#include <QString>
#include <QtGlobal>

struct UserQuota {
    QString text;
    int barPos = 0; // percent, truncated; 1 for any use below 1 %, 0 without a total
};

UserQuota QuotaOf(quint64 usedBytes, quint64 totalBytes);
