// The skin: every picture the windows ask for is in the resources with its size, the generator's
// output does not change between runs, and the fonts the windows ask for by name can show Chinese.
#include "ColorPrint.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFontMetrics>
#include <QImage>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

struct SkinPicture {
    const char* path;
    int width;
    int height;
    int frames; // 4 a button sprite, 2 a bar, 1 a plain picture
};

const SkinPicture kSkin[] = {
    {"main/btn_close.png", 80, 20, 4},
    {"main/btn_min.png", 80, 20, 4},
    {"main/btn_max.png", 80, 20, 4},
    {"main/btn_menu.png", 80, 20, 4},
    {"login/btn_min.png", 80, 20, 4},
    {"login/btn_close.png", 80, 20, 4},
    {"main/button1.png", 320, 30, 4},
    {"main/button2.png", 320, 30, 4},
    {"main/buy.png", 280, 20, 4},
    {"main/btn_home.png", 176, 32, 4},
    {"main/btn_back.png", 176, 32, 4},
    {"main/btn_next.png", 176, 32, 4},
    {"main/btn_refresh.png", 152, 28, 4},
    {"main/edit_screening.png", 128, 32, 4},
    {"main/edit_common_searchicon.png", 56, 14, 4},
    {"main/trans_play.png", 56, 16, 4},
    {"main/trans_pause.png", 56, 16, 4},
    {"main/trans_cancel.png", 56, 16, 4},
    {"main/btn_ic_upload.png", 128, 24, 4},
    {"main/btn_icon_download.png", 128, 24, 4},
    {"main/btn_delete.png", 128, 24, 4},
    {"main/prg_volume_info.png", 240, 5, 2},
    {"main/progressbar.png", 400, 4, 2},
    {"about/bg_messagebox_frame.png", 474, 304, 1},
    {"login/logo.png", 207, 30, 1},
    {"login/arrow.png", 12, 8, 1},
    {"login/deleteAccount.png", 16, 16, 1},
    {"login/icon_account.png", 16, 16, 1},
    {"login/icon_password.png", 16, 16, 1},
    {"main/logo.png", 160, 50, 1},
    {"main/account_detail.png", 14, 14, 1},
    {"main/change_password.png", 14, 14, 1},
    {"main/change_nickname.png", 14, 14, 1},
    {"main/change_account.png", 14, 14, 1},
    {"main/clock.png", 14, 14, 1},
    {"main/default_icon/dir.png", 96, 96, 1},
    {"main/default_icon/file.png", 96, 96, 1},
    {"main/icon_enterprise_admin.png", 16, 16, 1},
    {"main/icon_enterprise_member.png", 16, 16, 1},
    {"main/icon_more.png", 16, 16, 1},
    {"main/icon_more_copy.png", 16, 16, 1},
    {"main/icon_myzone.png", 48, 48, 1},
    {"main/icon_transfer.png", 16, 16, 1},
    {"main/transfer_failed.png", 26, 26, 1},
    {"main/transfer_finish.png", 26, 26, 1},
    {"main/transfer_paused.png", 26, 26, 1},
    {"main/transfer_syncing.png", 48, 48, 1},
    {"main/addbar/arrow_back.png", 17, 32, 1},
    {"main/addbar/arrow_down.png", 17, 32, 1},
    {"main/addbar/arrow_right.png", 17, 32, 1},
    {"main/addbar/dir.png", 17, 32, 1},
    {"pubilc/checkbox_unclick_normal.png", 15, 15, 1},
    {"pubilc/checkbox_unclick_hover.png", 15, 15, 1},
    {"pubilc/checkbox_unclick_push.png", 15, 15, 1},
    {"pubilc/checkbox_click_normal.png", 15, 15, 1},
};

QString Resource(const char* path) {
    return QStringLiteral(":/skin/") + QLatin1String(path);
}

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

TEST(SkinTest, HoldsExactlyThePicturesTheWindowsName) {
    QSet<QString> expected;
    for (const SkinPicture& picture : kSkin)
        expected.insert(Resource(picture.path));
    ASSERT_EQ(expected.size(), 55);
    QSet<QString> found;
    QDirIterator it(QStringLiteral(":/skin"), QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        found.insert(it.next());
    EXPECT_EQ(found, expected);
}

TEST(SkinTest, EveryPictureLoadsWithItsSizeAndFrames) {
    for (const SkinPicture& picture : kSkin) {
        SCOPED_TRACE(picture.path);
        const QImage image(Resource(picture.path));
        ASSERT_FALSE(image.isNull());
        EXPECT_EQ(image.size(), QSize(picture.width, picture.height));
        ASSERT_EQ(image.width() % picture.frames, 0);
        // Each state of a sprite looks different.
        const int frameWidth = image.width() / picture.frames;
        for (int i = 1; i < picture.frames; ++i) {
            for (int j = 0; j < i; ++j) {
                EXPECT_NE(image.copy(i * frameWidth, 0, frameWidth, image.height()),
                          image.copy(j * frameWidth, 0, frameWidth, image.height()))
                    << "frames " << j << " and " << i;
            }
        }
    }
}

TEST(SkinTest, DefaultIconsAreToldApartByTheirBodies) {
    EXPECT_EQ(QColor(QImage(QStringLiteral(":/skin/main/default_icon/dir.png")).pixel(48, 48)), QColor(250, 190, 60));
    EXPECT_EQ(QColor(QImage(QStringLiteral(":/skin/main/default_icon/file.png")).pixel(48, 48)),
              QColor(100, 160, 230));
}

TEST(SkinTest, GeneratorWritesTheSameBytesOnEveryRun) {
    QTemporaryDir first;
    QTemporaryDir second;
    const QString generator = QStringLiteral(NIMBO_SKIN_GEN);
    ASSERT_EQ(QProcess::execute(generator, {first.path()}), 0);
    ASSERT_EQ(QProcess::execute(generator, {second.path()}), 0);
    QStringList files = {QStringLiteral("skin.qrc"), QStringLiteral("contact-sheet.png")};
    for (const SkinPicture& picture : kSkin)
        files << QLatin1String(picture.path);
    for (const QString& file : files) {
        SCOPED_TRACE(file.toStdString());
        const QByteArray bytes = ReadAll(QDir(first.path()).filePath(file));
        ASSERT_FALSE(bytes.isEmpty());
        EXPECT_EQ(bytes, ReadAll(QDir(second.path()).filePath(file)));
        // The program's pictures are the generator's, byte for byte.
        if (file.endsWith(QLatin1String(".png")) && file != QLatin1String("contact-sheet.png")) {
            EXPECT_EQ(bytes, ReadAll(QStringLiteral(":/skin/") + file));
        }
    }
}

TEST(SkinTest, RequestedFamiliesShowChineseText) {
    const QString text = QStringLiteral("全部文件") + QStringLiteral("正在登录，请稍后...");
    for (const QString& family : {QStringLiteral("思源黑体 CN"), QStringLiteral("微软雅黑")}) {
        const QFontMetrics metrics{QFont(family)};
        for (const uint c : text.toUcs4())
            EXPECT_TRUE(metrics.inFontUcs4(c)) << family.toStdString() << " lacks U+" << std::hex << c;
    }
}

} // namespace
