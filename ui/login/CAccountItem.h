#pragma once
// One row of the login window's drop-down of remembered accounts: the account name and a delete
// button. A left press followed by a release on the row picks the account; the button removes it.

#include "login/CConfigMgr.h"

#include <QString>
#include <QWidget>

class QLabel;
class QToolButton;

class CAccountItem : public QWidget {
    Q_OBJECT
public:
    explicit CAccountItem(QWidget* parent = nullptr);

    void setAccountInfo(int index, QString account, const _LOGINSTATUS_& status);
    QString getAccountName() const;
    int getItemWidgetIndex() const { return m_index; }

signals:
    void signalShowAccountInfo(int nIndex, QString sAccount, const LOGINSTATUS& stLoginStatus);
    void signalRemoveAccount(int nIndex);

public slots:
    void onRemoveAccount();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    bool m_pressed = false; // a left press on the row waits for its release
    QLabel* m_accountLabel;
    QToolButton* m_deleteButton;
    _LOGINSTATUS_ m_status;
    QString m_account;
    int m_index = 0;
};
