#include "main/QtAddressBar.h"

#include "common/CoreLog.h"
#include "common/FileInfo.h"
#include "common/PathUtils.h"
#include "main/AddressItem.h"
#include "sync/VUZeroz.h"

#include <QButtonGroup>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QResizeEvent>

#include <list>

namespace {
// The folder icon and the back segment, 17 pixels each.
constexpr int kFixedWidth = 34;
} // namespace

QtAddressBar::QtAddressBar(QWidget* parent) : QLineEdit(parent) {
    m_layout = new QHBoxLayout(this);
    m_layout->setContentsMargins(1, 0, 0, 1);
    m_layout->setSpacing(0);
    m_group = new QButtonGroup(this);
    m_group->setExclusive(true);
    connect(m_group, QOverload<QAbstractButton*>::of(&QButtonGroup::buttonClicked), this,
            &QtAddressBar::onGroupBtnClicked);
    clearFocus();
    setMouseTracking(true);
}

void QtAddressBar::AddPathKey(const QString& display, const QString& realPrefix, bool isRoot) {
    m_keys.insert(display, realPrefix);
    if (isRoot)
        m_rootPath = realPrefix;
}

// Only the leading prefix is replaced: a folder may carry a display text or the mirror's name
// further down, and that name must survive both ways.
bool QtAddressBar::getVirtualPath(QString& path) {
    for (auto it = m_keys.cbegin(); it != m_keys.cend(); ++it) {
        if (!it.value().isEmpty() && path.startsWith(it.value())) {
            path = it.key() + path.mid(it.value().size());
            return true;
        }
    }
    return false;
}

QString QtAddressBar::toRealPath(const QString& path) {
    for (auto it = m_keys.cbegin(); it != m_keys.cend(); ++it) {
        if (!it.key().isEmpty() && path.startsWith(it.key()))
            return it.value() + path.mid(it.key().size());
    }
    return path;
}

void QtAddressBar::UpdateCurrentPath(const QString& path) {
    m_updating = true;
    clearFocus();
    m_updating = false;
    clearAddressItem();
    QString real = path;
    real.replace(QLatin1Char('\\'), QLatin1Char('/'));
    QString display = real;
    if (!getVirtualPath(display))
        return;
    m_currentPath = display;
    m_realPath = real;
    setText(QString());

    int budget = width();
    int used = 0;
    const QStringList levels = m_currentPath.split(QLatin1Char('/'), Qt::SkipEmptyParts);

    auto* icon = new QLabel(this);
    icon->setFixedSize(17, 32);
    icon->setStyleSheet(QStringLiteral("QLabel{background-image: url(:/skin/main/addbar/dir.png);border:0px;}"));
    m_layout->addWidget(icon);
    icon->show();
    auto* back = new AddressItem(QString(), QString(), QString(), true, this);
    m_layout->addWidget(back);
    m_group->addButton(back);
    back->show();
    budget -= kFixedWidth;

    for (int i = levels.size() - 1; i >= 0; --i) {
        QString segmentPath;
        for (int j = 0; j <= i; ++j)
            segmentPath += levels[j] + QLatin1Char('/');
        auto* item = new AddressItem(levels[i], segmentPath, toRealPath(segmentPath), false, this);
        used += item->width();
        m_layout->insertWidget(2, item);
        connect(item, &AddressItem::SClickPath, this, &QtAddressBar::SCurrentPathChanged);
        connect(item, &AddressItem::leaveMenu, this, &QtAddressBar::closeMenu);
        if (used < budget) {
            item->show();
            m_group->addButton(item);
        } else {
            item->hide();
        }
    }
    if (used > budget && !m_currentPath.contains(QStringLiteral("search|")))
        back->setBackIcon(true);
    m_layout->addStretch();
}

void QtAddressBar::clearAddressItem() {
    // An open drop-down closes with its segment, not when the segment is finally deleted.
    if (QAbstractButton* checked = m_group->checkedButton())
        uncheck(checked);
    const QList<QAbstractButton*> buttons = m_group->buttons();
    for (QAbstractButton* button : buttons)
        m_group->removeButton(button);
    m_open = nullptr;
    // Deleted later: the segment whose click led here is still on the stack.
    while (QLayoutItem* item = m_layout->takeAt(0)) {
        if (QWidget* widget = item->widget()) {
            widget->hide();
            widget->deleteLater();
        }
        delete item;
    }
}

void QtAddressBar::uncheck(QAbstractButton* button) {
    m_group->setExclusive(false);
    button->setChecked(false);
    m_group->setExclusive(true);
}

void QtAddressBar::closeMenu() {
    if (m_open) {
        uncheck(m_open);
        m_open = nullptr;
    }
}

void QtAddressBar::onGroupBtnClicked(QAbstractButton* button) {
    if (button == m_open) {
        uncheck(button);
        m_open = nullptr;
    } else {
        m_open = button;
    }
}

void QtAddressBar::mouseMoveEvent(QMouseEvent* event) {
    if (QAbstractButton* checked = m_group->checkedButton()) {
        const QList<QAbstractButton*> buttons = m_group->buttons();
        for (QAbstractButton* button : buttons) {
            // A segment without a drop-down cannot take the open one's place: the open one
            // would stay open with nothing left to close it.
            if (button != checked && button->isCheckable() && button->geometry().contains(event->pos())) {
                button->setChecked(true);
                m_open = button;
            }
        }
    }
    QLineEdit::mouseMoveEvent(event);
}

void QtAddressBar::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton)
        m_whiteSpacePress = true;
    QLineEdit::mousePressEvent(event);
}

void QtAddressBar::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && m_whiteSpacePress) {
        CoreDebug("[UI] click white space\n");
        m_whiteSpacePress = false;
        clearAddressItem();
        setText(m_currentPath);
        if (m_selected) {
            deselect();
            m_selected = false;
        } else {
            selectAll();
            m_selected = true;
        }
    }
    QLineEdit::mouseReleaseEvent(event);
}

bool QtAddressBar::inMirror(const QString& path, QString& folder) const {
    QString root = m_rootPath;
    while (root.size() > 1 && root.endsWith(QLatin1Char('/')))
        root.chop(1);
    if (root.isEmpty() || !QDir::isAbsolutePath(path))
        return false;
    // ".." may not climb out of the mirror.
    const QString cleaned = QDir::cleanPath(path);
    if (cleaned != root && !cleaned.startsWith(root + QLatin1Char('/')))
        return false;
    // Level by level: a cloud folder needs no copy on the disk, so the core's index says what is
    // a folder, and spells its name as the views know it (the index ignores case, the views'
    // paths do not). No level that exists on the disk may be a link leading out of the mirror.
    QString known = root;
    bool onDisk = true;
    for (const QString& name : cleaned.mid(root.size()).split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (onDisk) {
            const QFileInfo level(known + QLatin1Char('/') + name);
            if (level.isSymLink())
                return false;
            onDisk = level.exists();
        }
        std::list<FileInfo> entries;
        if (!VUZeroz::GetInstance()->GetPathInfo(known + QLatin1Char('/'), false, entries))
            return false;
        QString spelt;
        for (const FileInfo& entry : entries) {
            const QString entryName = GetOnlyFilename(entry.path);
            if (entry.is_dir && entryName.compare(name, Qt::CaseInsensitive) == 0 &&
                (spelt.isEmpty() || entryName == name))
                spelt = entryName;
        }
        if (spelt.isEmpty())
            return false;
        known += QLatin1Char('/') + spelt;
    }
    folder = known + QLatin1Char('/');
    return true;
}

bool QtAddressBar::typedTarget(const QString& text, QString& real) const {
    if (text.isEmpty())
        return false;
    for (auto it = m_keys.cbegin(); it != m_keys.cend(); ++it) {
        if (it.key().isEmpty() || !text.startsWith(it.key()))
            continue;
        const QString target = it.value() + text.mid(it.key().size());
        if (it.value() == m_rootPath)
            return inMirror(target, real);
        // A search view's path: its keyword is no folder.
        real = target.endsWith(QLatin1Char('/')) ? target : target + QLatin1Char('/');
        return true;
    }
    return inMirror(text, real);
}

void QtAddressBar::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        QString typed = text();
        typed.replace(QLatin1Char('\\'), QLatin1Char('/'));
        QString real;
        if (typedTarget(typed, real)) {
            UpdateCurrentPath(real);
            emit SCurrentPathChanged(real);
        } else {
            CoreDebug("[UI] not dir\n");
            UpdateCurrentPath(m_realPath);
        }
    }
    QLineEdit::keyPressEvent(event);
}

void QtAddressBar::focusOutEvent(QFocusEvent* event) {
    // In the text form the segments come back; the typed text goes nowhere. With the segments
    // on show there is nothing to restore (and rebuilding them could pull a pressed segment away).
    // The window losing activation (also while it closes or is destroyed) or a pop-up such as the
    // text's context menu take the focus only for a while: the text stays for when it returns.
    const Qt::FocusReason reason = event->reason();
    if (!m_updating && m_layout->count() == 0 && !m_realPath.isEmpty() && reason != Qt::ActiveWindowFocusReason &&
        reason != Qt::PopupFocusReason)
        UpdateCurrentPath(m_realPath);
    QLineEdit::focusOutEvent(event);
}

void QtAddressBar::resizeEvent(QResizeEvent* event) {
    if (m_layout->count() <= 1) {
        clearFocus();
        QLineEdit::resizeEvent(event);
        return;
    }
    // The segments are shown again from scratch, so no drop-down may stay open on one.
    if (QAbstractButton* checked = m_group->checkedButton())
        uncheck(checked);
    const int budget = event->size().width() - kFixedWidth;
    int used = 0;
    const QList<QAbstractButton*> buttons = m_group->buttons();
    for (QAbstractButton* button : buttons)
        m_group->removeButton(button);
    m_open = nullptr;
    for (int i = m_layout->count() - 2; i >= 2; --i) {
        auto* item = qobject_cast<AddressItem*>(m_layout->itemAt(i)->widget());
        if (!item)
            continue;
        item->hide();
        used += item->width();
        if (used < budget) {
            item->show();
            m_group->addButton(item);
        }
    }
    if (auto* back = qobject_cast<AddressItem*>(m_layout->itemAt(1)->widget())) {
        back->setBackIcon(used > budget);
        back->update();
    }
    clearFocus();
    QLineEdit::resizeEvent(event);
}
