#pragma once
// The about box: the product logo, the version, the rights notice and the two agreement links.
// Everything it shows is fixed in its form; it reads nothing from the rest of the system.

#include "widgets/NoneBorderWndBase.h"

namespace Ui {
class CAbout;
}

class CAbout : public NoneBorderWndBase {
    Q_OBJECT
public:
    explicit CAbout(QWidget* parent = nullptr);
    ~CAbout() override;

public slots:
    void Closed();
    // The agreement buttons: there is no agreement text to show yet, so they do nothing.
    void on_pushButton_2_clicked();
    void on_pushButton_clicked();

private:
    Ui::CAbout* ui;
};
