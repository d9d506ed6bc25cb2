#include "main/CImageListViewMgr.h"

#include "main/CImageListView.h"
#include "main/ViewText.h"

#include "common/CommonDef.h"
#include "common/FileInfo.h"
#include "common/PathUtils.h"
#include "common/SharedTypes.h"
#include "sync/VUZeroz.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

CImageListViewMgr::CImageListViewMgr(QWidget* host) : QObject(host), m_host(host) {
    m_layout = new QVBoxLayout(host);
    m_layout->setContentsMargins(0, 0, 0, 0);
}

void CImageListViewMgr::init(QPushButton* prior, QPushButton* next) {
    m_priorButton = prior;
    m_nextButton = next;
}

void CImageListViewMgr::setBottomUpdate(QLabel* label) {
    m_statusLabel = label;
}

CImageListView* CImageListViewMgr::getImageListView(QString path) {
    if (path.isEmpty())
        return nullptr;
    if (CImageListView* view = m_views.value(path))
        return view;
    auto* view = new CImageListView(m_host, m_layout, path);
    view->setMgr(this);
    m_views.insert(path, view);
    return view;
}

void CImageListViewMgr::SetWorkPath(QString path) {
    m_lastWorkPath = m_workPath;
    if (!path.endsWith(QLatin1Char('/')))
        path.append(QLatin1Char('/'));
    m_workPath = path;
    VUZeroz::GetInstance()->ViewList(path, -1);
}

void CImageListViewMgr::Search(QString keyword, bool current) {
    if (keyword.isEmpty())
        return;
    m_lastWorkPath = m_workPath;
    const QString folder = IsSearchPath(m_workPath) ? GetSearchFolder() : m_workPath;
    m_workPath = QStringLiteral("%1%2%3/")
                     .arg(QStringLiteral("search|"), current ? QStringLiteral("current|") : QStringLiteral("all|"),
                          keyword);
    m_searchFolders.insert(m_workPath, folder);
    m_searchViews.insert(keyword, m_workPath);
    VUZeroz::GetInstance()->ViewSearch(keyword, -1);
    addLinkedList(m_workPath);
}

void CImageListViewMgr::UpdateRootPath() {
    m_rootPath = VUZeroz::GetInstance()->GetUserString(CLOUD_CFG_USER::syncpath, QString());
}

QStringList CImageListViewMgr::getCurSelectList() {
    CImageListView* view = getImageListView(m_workPath);
    return view ? view->getCurSelectList() : QStringList();
}

bool CImageListViewMgr::add(_IMAGELISTITEMINFO_* info) {
    CImageListView* view = getImageListView(info->folderPath);
    if (!view)
        return false;
    if (view->findItem(QStringLiteral("%1%2").arg(info->folderPath, info->name)))
        view->repair(info);
    else
        view->addItem(info);
    return true;
}

bool CImageListViewMgr::del(QString folder, QString key) {
    CImageListView* view = getImageListView(folder);
    if (!view)
        return false;
    return view->delItem(key);
}

void CImageListViewMgr::fill(QString folder, const QList<_IMAGELISTITEMINFO_>& list) {
    if (CImageListView* view = getImageListView(folder))
        view->fill(list);
}

bool CImageListViewMgr::removeall() {
    for (CImageListView* view : qAsConst(m_views)) {
        view->clear();
        // A view may be running a menu or a message of its own right now.
        view->deleteLater();
    }
    m_views.clear();
    return true;
}

int CImageListViewMgr::addLinkedList(QString path) {
    if (!path.isEmpty() && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    if (m_historyIndex != -1) {
        while (m_history.size() > m_historyIndex + 1)
            m_history.removeLast();
    }
    if (!m_history.isEmpty() && m_history.last() == path)
        return 0;
    m_history.append(path);
    m_historyIndex = m_history.size() - 1;
    updateButtons();
    return 1;
}

QString CImageListViewMgr::PreviousStep() {
    if (m_historyIndex == -1)
        m_historyIndex = m_history.size() - 1;
    if (m_historyIndex < 1)
        return QString();
    --m_historyIndex;
    return m_history.at(m_historyIndex);
}

QString CImageListViewMgr::NextStep() {
    if (m_historyIndex >= m_history.size() - 1)
        return QString();
    ++m_historyIndex;
    return m_history.at(m_historyIndex);
}

void CImageListViewMgr::updateButtons() {
    if (m_priorButton)
        m_priorButton->setEnabled(m_historyIndex >= 1);
    if (m_nextButton)
        m_nextButton->setEnabled(m_historyIndex < m_history.size() - 1);
}

void CImageListViewMgr::BeginItemUpdate() {
    if (m_lastWorkPath.isEmpty())
        return;
    if (CImageListView* view = getImageListView(m_lastWorkPath))
        view->showview(false);
}

void CImageListViewMgr::EndItemUpdate() {
    if (m_workPath.isEmpty())
        return;
    CImageListView* shown = getImageListView(m_workPath);
    // Exactly the work path's view is shown, whatever was shown before.
    for (CImageListView* view : qAsConst(m_views)) {
        if (view != shown)
            view->showview(false);
    }
    shown->showview(true);
}

void CImageListViewMgr::ClickHomeBtn() {
    addLinkedList(m_workPath);
    BeginItemUpdate();
    EndItemUpdate();
}

void CImageListViewMgr::showHistoryEntry(const QString& entry) {
    if (!IsSearchPath(entry)) {
        SetWorkPath(entry);
        return;
    }
    // A search view has no folder to list: its search is asked again.
    m_lastWorkPath = m_workPath;
    m_workPath = entry.endsWith(QLatin1Char('/')) ? entry : entry + QLatin1Char('/');
    // The answer belongs to this view now, whichever scope the keyword was searched in last.
    m_searchViews.insert(SearchKeyword(m_workPath), m_workPath);
    VUZeroz::GetInstance()->ViewSearch(SearchKeyword(m_workPath), -1);
}

void CImageListViewMgr::ClickPreviousBtn() {
    const QString entry = PreviousStep();
    if (!entry.isEmpty()) {
        showHistoryEntry(entry);
        BeginItemUpdate();
        EndItemUpdate();
    }
    updateButtons();
}

void CImageListViewMgr::ClickNextBtn() {
    const QString entry = NextStep();
    if (!entry.isEmpty()) {
        showHistoryEntry(entry);
        BeginItemUpdate();
        EndItemUpdate();
    }
    updateButtons();
}

int CImageListViewMgr::callbackFromListView(callback_status kind, CImageListView* view, CImageListItem* item) {
    if (!view)
        return 1;
    switch (kind) {
    case click:
    case doubleClick: {
        if (!item)
            return 1;
        const QString folder = IsSearchPath(view->GetPath()) ? item->getRealPath() : view->GetPath();
        const QString full = MyCombinePath(folder, item->getName());
        FileInfo info;
        if (!VUZeroz::GetInstance()->GetFileInfo(full, info))
            return 1;
        if (kind == click) {
            if (!m_statusLabel)
                return 1;
            const QString name = item->getName();
            if (info.is_dir)
                m_statusLabel->setText(QStringLiteral("%1(文件夹：%2，文件：%3，总大小：%4)")
                                           .arg(name)
                                           .arg(info.dir_count)
                                           .arg(info.file_count)
                                           .arg(FormatBytesSize(qint64(info.size))));
            else
                m_statusLabel->setText(QStringLiteral("%1(大小：%2，修改时间：%3)")
                                           .arg(name, FormatBytesSize(qint64(info.size)), LocalTimeText(info.mtime)));
            return 1;
        }
        if (info.is_dir) {
            SetWorkPath(full);
            addLinkedList(full);
        }
        emit doubleClickItem(full);
        return 1;
    }
    case cut:
    case copy:
        m_clipboardFolder = view->GetPath();
        m_clipboardNames = view->getCurSelectList();
        m_clipboardMode = kind;
        return 1;
    case paste:
        pasteInto(view);
        return 1;
    }
    return 1;
}

void CImageListViewMgr::pasteInto(CImageListView* view) {
    // A search view has no folder to paste into.
    if (IsSearchPath(view->GetPath()))
        return;
    QPointer<CImageListView> guard(view);
    if (m_clipboardFolder.isEmpty()) {
        ShowViewMessage(view, QStringLiteral("没有需要粘贴的文件"));
        return;
    }
    // The clipboard pastes once; it is emptied before any message runs an event loop.
    const QString sourceFolder = m_clipboardFolder;
    const QStringList names = m_clipboardNames;
    const int mode = m_clipboardMode;
    const QString targetFolder = view->GetPath();
    m_clipboardFolder.clear();
    m_clipboardNames.clear();
    VUZeroz* core = VUZeroz::GetInstance();
    QStringList messages;
    for (const QString& name : names) {
        const QString source = QStringLiteral("%1%2").arg(sourceFolder, name);
        if (mode == cut) {
            if (core->Move(source, targetFolder) != 0)
                messages.append(QStringLiteral("\"%1\"移动失败。").arg(name));
            continue;
        }
        FileInfo info;
        if (!core->GetFileInfo(source, info))
            continue;
        if (info.is_dir) {
            messages.append(QStringLiteral("\"%1\"云复制暂不支持文件夹。").arg(name));
            continue;
        }
        // The service's copy would replace an item of that name: the item the user has stays.
        const QString target = MyCombinePath(targetFolder, name);
        FileInfo existing;
        if (source.compare(target, Qt::CaseInsensitive) == 0 || core->GetFileInfo(target, existing)) {
            messages.append(QStringLiteral("\"%1\"已存在。").arg(name));
            continue;
        }
        core->CloudCopyTo(source, target);
    }
    core->Request(REQUEST_REFRESH);
    for (const QString& message : messages) {
        ShowViewMessage(guard.data(), message);
    }
}
