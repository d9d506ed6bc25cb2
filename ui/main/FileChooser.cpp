#include "main/FileChooser.h"

#include <QDir>
#include <QFileDialog>

QStringList FileChooser::openFiles(QWidget* parent, const QString& caption) {
    return QFileDialog::getOpenFileNames(parent, caption, QDir::currentPath(), QString());
}

QString FileChooser::existingFolder(QWidget* parent, const QString& caption) {
    return QDir::toNativeSeparators(
        QFileDialog::getExistingDirectory(parent, caption, QDir::currentPath(), QFileDialog::ShowDirsOnly));
}
