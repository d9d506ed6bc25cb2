#pragma once
// Answers the modal windows of the views in place of a user: an application-wide event filter that
// sees each message box, menu, folder chooser and properties dialog as it is shown, records what it
// offers and ends it from inside its own event loop (never by a wait or a timer of real time).

#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class QMenu;

class ModalHook : public QObject {
public:
    ModalHook();
    ~ModalHook() override;

    // The texts of the message boxes shown, each closed with OK.
    QStringList messages;
    // The entries of each menu shown (separators left out), in order; then `onMenu` runs inside the
    // menu's loop (it may trigger an entry) and the menu is closed.
    QList<QStringList> menus;
    std::function<void(QMenu*)> onMenu;
    // The folder chooser: answered with `folder`, cancelled when it is empty.
    QString folder;
    int folderChoosers = 0;
    // The properties dialogs: the texts of their labels by object name, then closed by "关闭".
    QList<QMap<QString, QString>> properties;

    // Triggers the entry `text` of `menu`; false when it has none.
    static bool Trigger(QMenu* menu, const QString& text);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};
