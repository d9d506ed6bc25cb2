#include "main/CImageListItem.h"

#include "main/CImageListView.h"

#include <QKeyEvent>

void CLineEdit::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Enter:
    case Qt::Key_Return:
    case Qt::Key_Escape:
        event->accept();
        return;
    default:
        QLineEdit::keyPressEvent(event);
    }
}

CImageListItem::CImageListItem(CImageListView* view) : m_view(view) {}

void CImageListItem::setFileInfo(const _IMAGELISTITEMINFO_* info) {
    m_realFolder = info->realFolder;
    m_icon = info->icon;
    m_name = info->name;
    m_isDir = info->isDir;
    m_view->tileChanged(this);
}

void CImageListItem::setName(const QString& name) {
    m_name = name;
    m_view->tileChanged(this);
}

void CImageListItem::select(bool selected) {
    if (m_selected == selected)
        return;
    m_selected = selected;
    m_view->repaintTile(this);
}

void CImageListItem::Rename() {
    m_view->startRename(this);
}

bool CImageListItem::finishRename(const QString& text) {
    if (text == m_name)
        return false;
    m_oldName = m_name;
    m_renamed = true;
    setName(text);
    return true;
}

bool CImageListItem::takeRename() {
    const bool renamed = m_renamed;
    m_renamed = false;
    return renamed;
}

CLineEdit* CImageListItem::editor() const {
    return m_view->editorOf(this);
}
