#pragma once
// The exit confirmation box: asks the user to confirm leaving the application, which stops the
// running tasks. Its texts are fixed in its form. exec() gives 1 for "确定", 0 for "取消" and for
// the close button of the title strip.

#include "widgets/NoneBorderWndBase.h"

namespace Ui {
class CMsgBox;
}

class CMsgBox : public NoneBorderWndBase {
    Q_OBJECT
public:
    explicit CMsgBox(QWidget* parent = nullptr);
    ~CMsgBox() override;

public slots:
    void Closed();
    void on_comfirmbtn_clicked();
    void on_cancelbtn_clicked();

private:
    Ui::CMsgBox* ui;
};
