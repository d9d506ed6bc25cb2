#pragma once
// One stored error of the engine: its kind (a SYNC_ERROR value, 0 for none), the number that came
// with it, the message shown to the user and the item it concerns. A plain value; the engine keeps
// two (the error shown to the user and the last network failure) and guards them itself.

#include <QString>
#include <QtGlobal>

class CSyncError {
public:
    CSyncError() { Clear(); }

    void Clear() {
        m_type = 0;
        m_code = 0;
        m_message.clear();
        m_item.clear();
    }
    quint32 GetType() const { return m_type; }
    quint32 GetCode() const { return m_code; }
    QString GetTypeStr() const { return m_message; }
    QString GetItemStr() const { return m_item; }

    // Stores kind and number and, where given, the new message and item (an empty one leaves the
    // text empty). True when the kind or the number changed.
    bool SetErr(quint32 type, quint32 code, const QString& message, const QString& item) {
        const bool changed = type != m_type || code != m_code;
        m_type = type;
        m_code = code;
        m_message = message;
        m_item = item;
        return changed;
    }

private:
    quint32 m_type;
    quint32 m_code;
    QString m_message;
    QString m_item;
};
