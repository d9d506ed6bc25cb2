#include "ModalHook.h"

#include "main/CFileOptions.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QEvent>
#include <QFileDialog>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

ModalHook::ModalHook() {
    qApp->installEventFilter(this);
}

ModalHook::~ModalHook() {
    qApp->removeEventFilter(this);
}

bool ModalHook::Trigger(QMenu* menu, const QString& text) {
    for (QAction* action : menu->actions()) {
        if (action->text() == text) {
            // As a click does: the menu goes away before the entry acts.
            menu->hide();
            action->trigger();
            return true;
        }
    }
    return false;
}

bool ModalHook::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::Show)
        return false;
    // Each answer runs once the window's own loop runs: queued behind the show.
    if (auto* box = qobject_cast<QMessageBox*>(watched)) {
        messages.append(box->text());
        QTimer::singleShot(0, box, [box] { box->done(QMessageBox::Ok); });
    } else if (auto* menu = qobject_cast<QMenu*>(watched)) {
        QStringList entries;
        for (QAction* action : menu->actions()) {
            if (!action->isSeparator())
                entries.append(action->text());
        }
        menus.append(entries);
        QPointer<QMenu> guard(menu);
        QTimer::singleShot(0, menu, [this, guard] {
            if (onMenu)
                onMenu(guard.data());
            if (guard)
                guard->close();
        });
    } else if (auto* chooser = qobject_cast<QFileDialog*>(watched)) {
        ++folderChoosers;
        const QString answer = folder;
        QTimer::singleShot(0, chooser, [chooser, answer] {
            if (answer.isEmpty()) {
                chooser->reject();
                return;
            }
            chooser->setDirectory(answer);
            static_cast<QDialog*>(chooser)->accept(); // its override, which reads the choice
        });
    } else if (auto* dialog = qobject_cast<CFileOptions*>(watched)) {
        QMap<QString, QString> texts;
        for (QLabel* label : dialog->findChildren<QLabel*>())
            texts.insert(label->objectName(), label->text());
        properties.append(texts);
        QTimer::singleShot(0, dialog, [dialog] {
            if (auto* close = dialog->findChild<QPushButton*>(QStringLiteral("pushButton")))
                close->click();
        });
    }
    return false;
}
