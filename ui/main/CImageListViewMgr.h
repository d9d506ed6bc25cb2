#pragma once
// The folder views of the page of cloud files: one view per folder or search path, kept for the
// manager's lifetime; the work path whose view is shown; the back and forward history with the
// enabled state of its two buttons; the internal clipboard of cut or copied items; and the views'
// callbacks turned into calls of the core facade. The main window feeds it the entries of the
// core's folder notifications (add, del, fill between BeginItemUpdate and EndItemUpdate) and reads
// GetWorkPath after each navigation.
//
// Paths are the core index's form (inside the mirror folder, "/" separators); a work path ends
// with "/". A search view's path is "search|", "all|" or "current|", the keyword and "/".

#include "main/CImageListItem.h"
#include "main/FileChooser.h"

#include <QList>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

class CImageListView;
class QLabel;
class QPushButton;
class QVBoxLayout;
class QWidget;

class CImageListViewMgr : public QObject {
    Q_OBJECT
public:
    // The kinds of a view's callback.
    enum callback_status { click = 0, doubleClick = 1, cut = 2, copy = 3, paste = 4 };

    explicit CImageListViewMgr(QWidget* host);

    void init(QPushButton* prior, QPushButton* next);
    void setBottomUpdate(QLabel* label);
    // The chooser through which the views ask for a download folder; null: the plain one, which
    // asks through QFileDialog. Not owned; it must outlive its use here.
    void setFileChooser(FileChooser* chooser) { m_chooser = chooser; }
    FileChooser* fileChooser() { return m_chooser ? m_chooser : &m_plainChooser; }
    // The view of `path`, made on first use; null for an empty path.
    CImageListView* getImageListView(QString path);

    // Makes `path` the work path ("/" appended when missing) and asks the core to list it.
    void SetWorkPath(QString path);
    // Makes the search view of `keyword` the work path, asks the core to search and records the
    // step in the history. Nothing for an empty keyword.
    void Search(QString keyword, bool current);
    QString GetWorkPath() const { return m_workPath; }
    QString GetLastWorkPath() const { return m_lastWorkPath; }
    QString GetRootPath() const { return m_rootPath; }
    // The folder from which the search shown now was started (for its current-folder filter);
    // empty when the work path is no search.
    QString GetSearchFolder() const { return m_searchFolders.value(m_workPath); }
    // The search view that the last search for `keyword` made the work path (the view its
    // results belong to); empty when no search for it was asked.
    QString SearchViewOf(const QString& keyword) const { return m_searchViews.value(keyword); }
    // The folder from which the search of the view `searchPath` was started.
    QString SearchFolderOf(const QString& searchPath) const { return m_searchFolders.value(searchPath); }
    void UpdateRootPath();
    QStringList getCurSelectList();

    bool add(_IMAGELISTITEMINFO_* info);
    bool del(QString folder, QString key);
    void fill(QString folder, const QList<_IMAGELISTITEMINFO_>& list);
    bool removeall();
    void repair(QString) {}
    void find(QString) {}
    void moveto(QString, QString) {}

    // History: 0 when `path` equals the last entry, else 1.
    int addLinkedList(QString path);
    QString PreviousStep();
    QString NextStep();
    int GetCurLinkedList() const { return m_historyIndex; }
    QStringList history() const { return m_history; }

    void BeginItemUpdate();
    void EndItemUpdate();
    void ClickHomeBtn();
    void ClickPreviousBtn();
    void ClickNextBtn();

    // A view's click, double-click, cut, copy or paste; `item` is the tile of a click or a
    // double-click. 1.
    int callbackFromListView(callback_status kind, CImageListView* view, CImageListItem* item);

signals:
    void doubleClickItem(QString path);

private:
    // A history entry shown again: a folder is listed, a search is asked again.
    void showHistoryEntry(const QString& entry);
    void updateButtons();
    void pasteInto(CImageListView* view);

    QVBoxLayout* m_layout = nullptr;
    QWidget* m_host = nullptr;
    QMap<QString, CImageListView*> m_views;
    QString m_workPath;
    QString m_lastWorkPath;
    QList<QString> m_history;
    int m_historyIndex = -1;
    QPointer<QPushButton> m_priorButton;
    QPointer<QPushButton> m_nextButton;
    QString m_clipboardFolder;
    QStringList m_clipboardNames;
    int m_clipboardMode = -1;
    QString m_rootPath;
    QPointer<QLabel> m_statusLabel;
    FileChooser* m_chooser = nullptr;
    FileChooser m_plainChooser;
    QMap<QString, QString> m_searchFolders; // search view path -> folder the search started in
    QMap<QString, QString> m_searchViews;   // keyword -> view path of its last search
};
