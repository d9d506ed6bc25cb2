#pragma once
// The user information pop-up that the main window shows under its user button: the nick name
// beside a drop-down of the account's enterprises, the quota bar and text, the renew button and
// four buttons (account details, change password, change nick name, change account). It keeps no
// data of its own: the main window fills it before every showing. It hides as soon as it stops
// being the active window.

#include "common/SharedTypes.h"
#include "widgets/NoneBorderWndBase.h"

#include <QRect>
#include <QString>

class CElementItem;
class CProgressBar;
class QButtonCustom;
class QListWidget;

namespace Ui {
class CPopUserInfoWnd;
}

class CPopUserInfoWnd : public NoneBorderWndBase {
    Q_OBJECT
public:
    explicit CPopUserInfoWnd(QWidget* parent = nullptr);
    ~CPopUserInfoWnd() override;

    void SetNickName(QString name);
    void SetMemoryText(QString text);
    // Percent, clamped to 0..100 by the bar.
    void SetProgressBarPos(int percent);
    void CleanListItem();
    // One row per enterprise, in the list's order, the one in use (the user setting "eid") shown;
    // an empty list hides the drop-down.
    void SetEnterprise(const ENTERPRISE_INFO& info);
    void onShow(const QRect& rect);

    // The parts made here rather than in the form.
    CProgressBar* quotaBar() const { return m_quotaBar; }
    QListWidget* enterpriseList() const { return m_enterprises; }
    QButtonCustom* renewButton() const { return m_renew; }

signals:
    void onClickedChangeEnterprise(const QString& eid);
    void onClickedChangeAccount();

public slots:
    void animationFinished();
    void Renew();
    void on_pushButton_2_clicked();
    void on_pushButton_3_clicked();
    void on_pushButton_4_clicked();
    void on_pushButton_clicked();
    void Slot_ClickEnterpriseItem(CElementItem* item);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void initControls();

    Ui::CPopUserInfoWnd* ui;
    CProgressBar* m_quotaBar = nullptr;
    QListWidget* m_enterprises = nullptr;
    QButtonCustom* m_renew = nullptr;
};
