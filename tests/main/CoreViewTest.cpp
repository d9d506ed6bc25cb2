// The folder views against the real core signed in to the cloud stand-in, whose tree holds
// "/docs/" with a.txt, b.txt, plan.txt, a.文档资料 and sub/ (holding c.txt): the status line of a
// click, a folder opened by a double-click, renames, cut, copy and paste, the earlier versions
// page, a refused download, a search asked again from the history, and the properties dialog.
#include "ModalHook.h"
#include "ViewFixture.h"

#include "main/CFileOptions.h"
#include "main/CImageListView.h"
#include "main/CImageListViewMgr.h"

#include "support/SignedInCore.h"
#include "support/UiWait.h"

#include "common/FileInfo.h"
#include "common/PathUtils.h"
#include "common/QCEventBase.h"
#include "common/SharedTypes.h"
#include "sync/VUZeroz.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>
#include <list>
#include <string>

namespace {

class DocsTest : public SignedInCore, public ViewPage {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(SignedInCore::SetUp());
        StandInTree& tree = pair.api->tree();
        tree.addFolder("/docs");
        tree.addFileBytes("/docs/a.txt", "alpha");
        tree.addFileBytes("/docs/b.txt", "beta");
        tree.addFileBytes("/docs/plan.txt", "the plan");
        tree.addFileBytes("/docs/a.文档资料", "notes");
        tree.addFolder("/docs/sub");
        tree.addFileBytes("/docs/sub/c.txt", "gamma");
        ASSERT_NO_FATAL_FAILURE(SignIn(true));
        docs = Mirror() + QStringLiteral("/docs/");
        OpenPage();
        mgr->setBottomUpdate(&status);
        List(docs);
        Show(docs);
        TakeEvents();
    }
    void TearDown() override {
        ClosePage();
        SignedInCore::TearDown();
    }

    // The tiles of `folder` as the main window makes them from the core's entries.
    void List(const QString& folder) {
        std::list<FileInfo> entries;
        ASSERT_TRUE(VUZeroz::GetInstance()->GetPathInfo(folder, false, entries)) << folder.toStdString();
        QList<_IMAGELISTITEMINFO_> records;
        for (const FileInfo& entry : entries)
            records.append(Record(folder, GetOnlyFilename(entry.path), entry.is_dir));
        mgr->fill(folder, records);
    }
    CImageListView* Docs() { return mgr->getImageListView(docs); }
    // Selects the tile and runs the entry `text` of its menu.
    void MenuEntry(const char* name, const char* text) {
        Click(Tile(docs, name));
        const int before = hook.menus.size();
        const QString entry = QString::fromUtf8(text);
        hook.onMenu = [entry](QMenu* menu) { EXPECT_TRUE(ModalHook::Trigger(menu, entry)) << entry.toStdString(); };
        RightClick(Tile(docs, name));
        ASSERT_TRUE(UiWaitFor([&] { return hook.menus.size() > before; }, 10000));
        hook.onMenu = nullptr;
    }
    void Paste(const QString& folder) {
        mgr->callbackFromListView(CImageListViewMgr::paste, mgr->getImageListView(folder), nullptr);
    }
    void StopSync() {
        VUZeroz::GetInstance()->Request(REQUEST_STOP_SYNC);
        ASSERT_TRUE(WaitStatus(7));
    }
    bool InTree(const char* path) { return pair.api->tree().node(path, false).has_value(); }
    size_t Calls(const char* method) { return pair.api->calls(method).size(); }

    QString docs; // "<mirror>/docs/"
    QLabel status;
    ModalHook hook;
};

TEST_F(DocsTest, AClickShowsTheItemsDetailsInTheStatusLine) {
    Click(Tile(docs, "plan.txt"));
    EXPECT_TRUE(status.text().startsWith(QStringLiteral("plan.txt(大小："))) << status.text().toStdString();
    Click(Tile(docs, "sub"));
    EXPECT_TRUE(status.text().startsWith(QStringLiteral("sub(文件夹：0，文件：1，总大小："))) << status.text().toStdString();
}

TEST_F(DocsTest, ADoubleClickOpensAFolderAsAHistoryStep) {
    QStringList opened;
    QObject::connect(mgr, &CImageListViewMgr::doubleClickItem, [&](const QString& path) { opened.append(path); });
    const int steps = mgr->history().size();
    DoubleClick(Tile(docs, "sub"));
    EXPECT_EQ(mgr->GetWorkPath(), docs + QStringLiteral("sub/"));
    EXPECT_EQ(mgr->history().size(), steps + 1);
    EXPECT_EQ(mgr->history().last(), docs + QStringLiteral("sub"));
    EXPECT_EQ(opened, QStringList({docs + QStringLiteral("sub")}));
}

TEST_F(DocsTest, ARenameTheMirrorCannotTakeGivesTheTileItsNameBack) {
    struct Refusal {
        const char* text;
        const char* message;
    };
    const Refusal refusals[] = {
        {"x/y", "\"x/y\"不是有效的文件名。"},
        {"..", "\"..\"不是有效的文件名。"},
        {"b.txt", "\"b.txt\"已存在。"},
        {"", "\"a.txt\"重命名不能为空。"},
    };
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.text);
        hook.messages.clear();
        CImageListItem* tile = Tile(docs, "a.txt");
        ASSERT_NE(tile, nullptr);
        ASSERT_NO_FATAL_FAILURE(StartRename(hook, tile));
        tile->editor()->setText(QString::fromUtf8(r.text));
        LoseFocus(tile->editor());
        ASSERT_TRUE(UiWaitFor([&] { return !hook.messages.isEmpty(); }, 10000));
        EXPECT_EQ(hook.messages, L({r.message}));
        EXPECT_EQ(tile->getName(), QStringLiteral("a.txt"));
        EXPECT_EQ(Docs()->findItem(docs + QStringLiteral("a.txt")), tile);
    }
    EXPECT_EQ(Calls("File.rename"), 0u);
    EXPECT_TRUE(InTree("/docs/a.txt"));

    hook.messages.clear();
    CImageListItem* tile = Tile(docs, "a.txt");
    ASSERT_NO_FATAL_FAILURE(StartRename(hook, tile));
    tile->editor()->setText(QStringLiteral("a2.txt"));
    LoseFocus(tile->editor());
    ASSERT_TRUE(UiWaitFor([&] { return Docs()->findItem(docs + QStringLiteral("a2.txt")) == tile; }, 10000));
    EXPECT_EQ(tile->getName(), QStringLiteral("a2.txt"));
    EXPECT_TRUE(UiWaitFor([&] { return InTree("/docs/a2.txt") && !InTree("/docs/a.txt"); }, 60000));
    EXPECT_TRUE(hook.messages.isEmpty()) << hook.messages.join(QLatin1Char('|')).toStdString();
}

TEST_F(DocsTest, ACutPastedIntoAFolderMovesTheItem) {
    ASSERT_NO_FATAL_FAILURE(MenuEntry("b.txt", "剪切"));
    List(docs + QStringLiteral("sub/"));
    Paste(docs + QStringLiteral("sub/"));
    EXPECT_TRUE(hook.messages.isEmpty()) << hook.messages.join(QLatin1Char('|')).toStdString();
    EXPECT_TRUE(UiWaitFor([&] { return InTree("/docs/sub/b.txt") && !InTree("/docs/b.txt"); }, 60000));
    // The clipboard pastes once.
    Paste(docs);
    EXPECT_EQ(hook.messages, L({"没有需要粘贴的文件"}));
}

TEST_F(DocsTest, AMoveTheStoppedEngineRefusesIsReported) {
    ASSERT_NO_FATAL_FAILURE(StopSync());
    ASSERT_NO_FATAL_FAILURE(MenuEntry("b.txt", "剪切"));
    Paste(docs + QStringLiteral("sub/"));
    EXPECT_EQ(hook.messages, L({"\"b.txt\"移动失败。"}));
    EXPECT_TRUE(InTree("/docs/b.txt"));
    EXPECT_FALSE(InTree("/docs/sub/b.txt"));
    EXPECT_EQ(Calls("File.move"), 0u);
}

TEST_F(DocsTest, ACopyNeverReplacesAnExistingItem) {
    // Cloud files are fetched on request: the mirror holds plan.txt once it is asked for.
    ASSERT_TRUE(VUZeroz::GetInstance()->DownloadStart(docs + QStringLiteral("plan.txt"), QString()));
    ASSERT_TRUE(UiWaitFor([&] { return QFile::exists(docs + QStringLiteral("plan.txt")); }, 60000));
    const StandInNode before = *pair.api->tree().node("/docs/plan.txt", true);
    ASSERT_NO_FATAL_FAILURE(MenuEntry("plan.txt", "复制"));
    Paste(docs);
    EXPECT_EQ(hook.messages, L({"\"plan.txt\"已存在。"}));
    EXPECT_EQ(Calls("File.copyFile"), 0u);
    const StandInNode after = *pair.api->tree().node("/docs/plan.txt", true);
    EXPECT_EQ(after.nid, before.nid);
    EXPECT_EQ(after.version, before.version);
    EXPECT_EQ(after.bytes, before.bytes);
    QFile local(docs + QStringLiteral("plan.txt"));
    ASSERT_TRUE(local.open(QIODevice::ReadOnly));
    EXPECT_EQ(local.readAll(), QByteArray("the plan"));
}

TEST_F(DocsTest, ACopyPastedIntoAnotherFolderIsAskedOfTheService) {
    ASSERT_NO_FATAL_FAILURE(MenuEntry("plan.txt", "复制"));
    List(docs + QStringLiteral("sub/"));
    Paste(docs + QStringLiteral("sub/"));
    EXPECT_TRUE(hook.messages.isEmpty()) << hook.messages.join(QLatin1Char('|')).toStdString();
    EXPECT_TRUE(UiWaitFor([&] { return Calls("File.copyFile") == 1; }, 60000));
    EXPECT_TRUE(UiWaitFor([&] { return InTree("/docs/sub/plan.txt"); }, 60000));
    EXPECT_TRUE(InTree("/docs/plan.txt"));

    // Once the index holds the copy, the same paste is refused: the copy there stays.
    FileInfo copied;
    ASSERT_TRUE(UiWaitFor([&] { return VUZeroz::GetInstance()->GetFileInfo(docs + QStringLiteral("sub/plan.txt"), copied); },
                          60000));
    ASSERT_NO_FATAL_FAILURE(MenuEntry("plan.txt", "复制"));
    Paste(docs + QStringLiteral("sub/"));
    EXPECT_EQ(hook.messages, L({"\"plan.txt\"已存在。"}));
    EXPECT_EQ(Calls("File.copyFile"), 1u);
}

TEST_F(DocsTest, AFolderIsNotCopiedAndAnEmptyClipboardPastesNothing) {
    Paste(docs);
    EXPECT_EQ(hook.messages, L({"没有需要粘贴的文件"}));
    hook.messages.clear();
    Click(Tile(docs, "sub"));
    mgr->callbackFromListView(CImageListViewMgr::copy, Docs(), nullptr);
    List(docs + QStringLiteral("sub/"));
    Paste(docs + QStringLiteral("sub/"));
    EXPECT_EQ(hook.messages, L({"\"sub\"云复制暂不支持文件夹。"}));
    EXPECT_EQ(Calls("File.copyFile"), 0u);
}

TEST_F(DocsTest, TheEarlierVersionsEntryAsksForTheFilesHistoryPage) {
    ASSERT_NO_FATAL_FAILURE(MenuEntry("plan.txt", "历史版本"));
    ASSERT_TRUE(UiWaitFor([&] { return Calls("User.getJumpUrl") >= 1; }, 30000));
    bool asked = false;
    for (const RecordedRequest& call : pair.api->calls("User.getJumpUrl"))
        asked = asked || call.cookie("dest_addr") == "file_history";
    EXPECT_TRUE(asked);
}

TEST_F(DocsTest, ADownloadTheStoppedEngineRefusesIsReported) {
    QTemporaryDir target;
    ASSERT_TRUE(target.isValid());
    hook.folder = target.path();
    ASSERT_NO_FATAL_FAILURE(StopSync());
    ASSERT_NO_FATAL_FAILURE(MenuEntry("plan.txt", "下载"));
    EXPECT_EQ(hook.folderChoosers, 1);
    EXPECT_EQ(hook.messages, L({"下载未开始。"}));
}

TEST_F(DocsTest, ADownloadWithoutAFolderChosenAsksNothing) {
    ASSERT_NO_FATAL_FAILURE(MenuEntry("plan.txt", "下载"));
    EXPECT_EQ(hook.folderChoosers, 1);
    EXPECT_TRUE(hook.messages.isEmpty());
}

TEST_F(DocsTest, TheHistoryListsAFolderAgainAndAsksASearchAgain) {
    // The core answers its requests in order: a listing asked afterwards marks the end of what an
    // earlier step asked.
    auto searchOf = [](const char* keyword) {
        return [keyword](const RecordedEvent& e) {
            return e.update.search && e.update.path == QString::fromUtf8(keyword);
        };
    };
    auto listingOf = [](const QString& folder) {
        return [folder](const RecordedEvent& e) {
            return !e.update.search && QDir::cleanPath(e.update.path) == QDir::cleanPath(folder);
        };
    };
    const QString sub = docs + QStringLiteral("sub/");
    auto answers = [](const std::vector<RecordedEvent>& events, const std::function<bool(const RecordedEvent&)>& match) {
        int n = 0;
        for (const RecordedEvent& e : events)
            n += e.type == QCEventBase::FileUpdate && match(e) ? 1 : 0;
        return n;
    };

    mgr->SetWorkPath(docs);
    mgr->addLinkedList(docs);
    mgr->Search(QStringLiteral("abc"), true);
    ASSERT_TRUE(recorder.WaitFor(QCEventBase::FileUpdate, searchOf("abc"), 30000));

    mgr->ClickPreviousBtn();
    EXPECT_EQ(mgr->GetWorkPath(), docs);
    // Prior at the first entry asks for nothing.
    mgr->ClickPreviousBtn();
    EXPECT_EQ(mgr->GetWorkPath(), docs);
    VUZeroz::GetInstance()->ViewList(sub, -1);
    ASSERT_TRUE(recorder.WaitFor(QCEventBase::FileUpdate, listingOf(sub), 30000));
    std::vector<RecordedEvent> events = TakeEvents();
    EXPECT_GE(answers(events, listingOf(docs)), 1);
    EXPECT_EQ(answers(events, searchOf("abc")), 1) << "no search asked by a folder step";

    mgr->ClickNextBtn();
    EXPECT_EQ(mgr->GetWorkPath(), QStringLiteral("search|current|abc/"));
    ASSERT_TRUE(recorder.WaitFor(QCEventBase::FileUpdate, searchOf("abc"), 30000));
    VUZeroz::GetInstance()->ViewList(sub, -1);
    ASSERT_TRUE(recorder.WaitFor(QCEventBase::FileUpdate, listingOf(sub), 30000));
    events = TakeEvents();
    // The search step is never listed as a folder.
    for (const RecordedEvent& e : events)
        EXPECT_FALSE(e.type == QCEventBase::FileUpdate && e.update.path.contains(QStringLiteral("search|")))
            << e.update.path.toStdString();
}

TEST_F(DocsTest, ThePropertiesShowWhatTheIndexHolds) {
    ASSERT_NO_FATAL_FAILURE(MenuEntry("plan.txt", "属性"));
    ASSERT_EQ(hook.properties.size(), 1);
    FileInfo plan;
    ASSERT_TRUE(VUZeroz::GetInstance()->GetFileInfo(docs + QStringLiteral("plan.txt"), plan));
    const QMap<QString, QString>& shown = hook.properties[0];
    EXPECT_EQ(shown.value(QStringLiteral("label_wndtitle")), QStringLiteral("plan.txt属性"));
    EXPECT_EQ(shown.value(QStringLiteral("label_filename")), QStringLiteral("plan.txt"));
    EXPECT_EQ(shown.value(QStringLiteral("lable_filetype")), QStringLiteral("txt"));
    EXPECT_EQ(shown.value(QStringLiteral("label_filedesc")), QString());
    EXPECT_EQ(shown.value(QStringLiteral("label_filepath")), docs + QStringLiteral("plan.txt"));
    EXPECT_EQ(shown.value(QStringLiteral("label_filesize")), FormatBytesSize(qint64(plan.size)));
    EXPECT_FALSE(shown.value(QStringLiteral("label_createtime")).isEmpty());
    EXPECT_FALSE(shown.value(QStringLiteral("label_modifytime")).isEmpty());

    struct Row {
        const char* name;
        const char* title;
        const char* type; // null: the item is unknown and every value stays empty
    };
    const Row rows[] = {
        {"a.文档资料", "a.文档资料属性", "文档"}, // the cut falls inside 资: the whole character goes
        {"sub", "sub属性", ""},
        {"x.txt", "x.txt属性", nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CFileOptions dialog;
        const QString path = docs + QString::fromUtf8(row.name);
        dialog.updateInfo(path);
        auto text = [&](const char* label) {
            auto* widget = dialog.findChild<QLabel*>(QString::fromLatin1(label));
            return widget ? widget->text() : QStringLiteral("?");
        };
        EXPECT_EQ(text("label_wndtitle"), QString::fromUtf8(row.title));
        EXPECT_EQ(text("label_filename"), QString::fromUtf8(row.name));
        if (!row.type) {
            for (const char* value : {"lable_filetype", "label_filedesc", "label_filepath", "label_filesize",
                                      "label_createtime", "label_modifytime"})
                EXPECT_EQ(text(value), QString()) << value;
            continue;
        }
        EXPECT_EQ(text("lable_filetype"), QString::fromUtf8(row.type));
        EXPECT_EQ(text("label_filepath"), path);
        FileInfo record;
        ASSERT_TRUE(VUZeroz::GetInstance()->GetFileInfo(path, record));
        EXPECT_EQ(text("label_filesize"), FormatBytesSize(qint64(record.size)));
    }
}

} // namespace
