#pragma once
// The properties dialog of one cloud file or folder: its name, type (the name's extension),
// location, size and times as the core's index holds them. It only reads; its two close controls
// close it.

#include "widgets/NoneBorderWndBase.h"

#include <QString>

namespace Ui {
class CFileOptions;
}

class CFileOptions : public NoneBorderWndBase {
    Q_OBJECT
public:
    explicit CFileOptions(QWidget* parent = nullptr);
    ~CFileOptions() override;

    // Fills the dialog for the item at `path` (a mirror or cloud path). The title and the name
    // come from the path; the values stay empty when the index does not hold it.
    void updateInfo(QString path);

public slots:
    void Closed();
    void on_pushButton_clicked();

private:
    Ui::CFileOptions* ui;
};
