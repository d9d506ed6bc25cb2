#pragma once
// The key and initialisation vector of encrypted block downloads, received with each login and
// never stored. One pair behind one lock: a reader gets a whole pair, never half of an old one and
// half of a new one (a re-login may replace it while downloads run). A download task takes its
// copy once, when it starts. Any thread.

#include <QByteArray>

struct AES_KEY_PAIR {
    QByteArray key;
    QByteArray iv;
};

void SetAesKey(const QByteArray& key, const QByteArray& iv);
AES_KEY_PAIR GetAesKey();
