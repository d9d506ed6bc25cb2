#pragma once
// The settings dialog: a column of tabs ("常规", "网络", "安全", "其他") with one page each, and
// "确定" and "取消" below. Only the general tab is offered. The dialog keeps no settings: it reads
// none when it opens and writes none when it closes; "确定" accepts and "取消" rejects.

#include "widgets/NoneBorderWndBase.h"

namespace Ui {
class CSet;
}

class CSet : public NoneBorderWndBase {
    Q_OBJECT
public:
    explicit CSet(QWidget* parent = nullptr);
    ~CSet() override;

public slots:
    void Closed();
    void OnOK();
    void OnCancel();
    // The tab buttons: each shows its page and hides the three others.
    void on_pushButton_clicked();
    void on_pushButton_2_clicked();
    void on_pushButton_3_clicked();
    void on_pushButton_4_clicked();

private:
    void showPage(QWidget* page);

    Ui::CSet* ui;
};
