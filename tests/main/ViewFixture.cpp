#include "ViewFixture.h"

#include "main/CImageListView.h"
#include "main/CListWidget.h"
#include "ModalHook.h"

#include "support/UiWait.h"

#include <QApplication>
#include <QFocusEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>

namespace {
void SendMouse(QWidget* target, QEvent::Type type, QPoint at, Qt::MouseButton button, Qt::MouseButtons held) {
    QMouseEvent event(type, at, target->mapToGlobal(at), button, held, Qt::NoModifier);
    QApplication::sendEvent(target, &event);
}
} // namespace

QStringList L(std::initializer_list<const char*> texts) {
    QStringList list;
    for (const char* text : texts)
        list.append(QString::fromUtf8(text));
    return list;
}

void ViewPage::OpenPage() {
    host = std::make_unique<QWidget>();
    host->resize(640, 480);
    mgr = new CImageListViewMgr(host.get());
    host->show();
}

void ViewPage::ClosePage() {
    host.reset();
    // Menus and tiles released later go now.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

_IMAGELISTITEMINFO_ ViewPage::Record(const QString& folder, const QString& name, bool isDir) {
    _IMAGELISTITEMINFO_ info;
    info.folderPath = folder;
    info.name = name;
    info.isDir = isDir;
    info.icon = isDir ? QStringLiteral(":/skin/main/default_icon/dir.png")
                      : QStringLiteral(":/skin/main/default_icon/file.png");
    return info;
}

void ViewPage::Add(const QString& folder, const QString& name, bool isDir) {
    _IMAGELISTITEMINFO_ info = Record(folder, name, isDir);
    EXPECT_TRUE(mgr->add(&info));
}

void ViewPage::Show(const QString& path) {
    mgr->SetWorkPath(path);
    mgr->BeginItemUpdate();
    mgr->EndItemUpdate();
    CImageListView* view = mgr->getImageListView(mgr->GetWorkPath());
    view->items(); // the tiles held back reach the grid
    view->grid()->doItemsLayout();
    QCoreApplication::processEvents();
}

CImageListItem* ViewPage::Tile(const QString& folder, const char* name) {
    CImageListItem* tile = mgr->getImageListView(folder)->findItem(folder + QString::fromUtf8(name));
    EXPECT_NE(tile, nullptr) << name;
    return tile;
}

QStringList ViewPage::Names(CImageListView* view) {
    QStringList names;
    for (CImageListItem* item : view->items())
        names.append(item->getName());
    return names;
}

namespace {
// A press and release of `button` on the tile, as the window system delivers them to its grid.
void ClickTile(CImageListItem* tile, Qt::MouseButton button) {
    QWidget* viewport = tile->view()->grid()->viewport();
    const QPoint at = tile->view()->tileRect(tile).center();
    SendMouse(viewport, QEvent::MouseButtonPress, at, button, button);
    SendMouse(viewport, QEvent::MouseButtonRelease, at, button, Qt::NoButton);
}
} // namespace

void ViewPage::Click(CImageListItem* tile) {
    ClickTile(tile, Qt::LeftButton);
}

void ViewPage::DoubleClick(CImageListItem* tile) {
    QWidget* viewport = tile->view()->grid()->viewport();
    const QPoint at = tile->view()->tileRect(tile).center();
    Click(tile);
    SendMouse(viewport, QEvent::MouseButtonDblClick, at, Qt::LeftButton, Qt::LeftButton);
    SendMouse(viewport, QEvent::MouseButtonRelease, at, Qt::LeftButton, Qt::NoButton);
}

void ViewPage::RightClick(CImageListItem* tile) {
    ClickTile(tile, Qt::RightButton);
}

void ViewPage::RightClickSpace(CListWidget* grid) {
    QWidget* viewport = grid->viewport();
    const QPoint at(viewport->width() - 2, viewport->height() - 2);
    SendMouse(viewport, QEvent::MouseButtonPress, at, Qt::RightButton, Qt::RightButton);
    SendMouse(viewport, QEvent::MouseButtonRelease, at, Qt::RightButton, Qt::NoButton);
}

void ViewPage::Drag(CListWidget* grid, QPoint begin, QPoint end) {
    QWidget* viewport = grid->viewport();
    SendMouse(viewport, QEvent::MouseButtonPress, begin, Qt::LeftButton, Qt::LeftButton);
    SendMouse(viewport, QEvent::MouseMove, (begin + end) / 2, Qt::NoButton, Qt::LeftButton);
    SendMouse(viewport, QEvent::MouseMove, end, Qt::NoButton, Qt::LeftButton);
    SendMouse(viewport, QEvent::MouseButtonRelease, end, Qt::LeftButton, Qt::NoButton);
}

void ViewPage::StartRename(ModalHook& hook, CImageListItem* tile) {
    Click(tile);
    const int before = hook.menus.size();
    bool started = false;
    hook.onMenu = [&](QMenu* menu) {
        ModalHook::Trigger(menu, QStringLiteral("重命名"));
        QLineEdit* editor = tile->editor();
        started = editor && !editor->isHidden() && editor->selectedText() == tile->getName();
    };
    RightClick(tile);
    ASSERT_TRUE(UiWaitFor([&] { return hook.menus.size() > before; }, 10000));
    hook.onMenu = nullptr;
    ASSERT_TRUE(started) << "the menu's entry opens the editor";
    // The offscreen platform makes each menu an active window of its own; the page's window is
    // made active again (which ends an edit as a focus change does), and the edit starts afresh.
    QCoreApplication::processEvents();
    QApplication::setActiveWindow(tile->view()->grid()->window());
    QCoreApplication::processEvents();
    tile->Rename();
    ASSERT_NE(tile->editor(), nullptr);
}

void ViewPage::LoseFocus(QWidget* editor) {
    QFocusEvent out(QEvent::FocusOut, Qt::OtherFocusReason);
    QApplication::sendEvent(editor, &out);
}
