#pragma once
// How the main window asks the user for files to upload and for a folder to download into. The
// default asks through QFileDialog; tests put their own answers in its place.

#include <QString>
#include <QStringList>

class QWidget;

class FileChooser {
public:
    virtual ~FileChooser() = default;

    // The files to upload, in the order chosen; empty when the user chose none.
    virtual QStringList openFiles(QWidget* parent, const QString& caption);
    // The folder to download into, with native separators; empty when the user cancelled.
    virtual QString existingFolder(QWidget* parent, const QString& caption);
};
