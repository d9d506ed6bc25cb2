#include "SkinPictures.h"

#include "SkinGlyphs.h"

#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>

namespace skin {

namespace {

const QColor kGrey(150, 150, 150);
const QColor kLightGreen(224, 247, 238);

QPen Line(const QColor& colour, double width) {
    return QPen(colour, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

// Title-bar buttons: an opaque frame in the title strip's green, a white glyph.

void TitleClose(QPainter& p, const QRectF& r, int i) {
    p.fillRect(r, Tint(kGreen, i));
    Cross(p, r.center(), 8, 1.6, Qt::white);
}

void TitleMin(QPainter& p, const QRectF& r, int i) {
    p.fillRect(r, Tint(kGreen, i));
    Bars(p, r.center() + QPointF(0, 3), 10, 1.6, Qt::white, 1);
}

void TitleMax(QPainter& p, const QRectF& r, int i) {
    p.fillRect(r, Tint(kGreen, i));
    p.setPen(Line(Qt::white, 1.5));
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRectF(r.center() - QPointF(4.5, 4.5), QSizeF(9, 9)));
}

void TitleMenu(QPainter& p, const QRectF& r, int i) {
    p.fillRect(r, Tint(kGreen, i));
    Bars(p, r.center(), 10, 1.5, Qt::white, 3);
}

// Text buttons: the text is drawn over them by the button.

void Button1(QPainter& p, const QRectF& r, int i) {
    p.setPen(Qt::NoPen);
    p.setBrush(Tint(kGreen, i));
    p.drawRoundedRect(r, 3, 3);
}

void Button2(QPainter& p, const QRectF& r, int i) {
    // Outlined; filled green on hover, where its text turns white.
    const QColor fills[] = {Qt::white, Tint(kGreen, 1), QColor(191, 239, 222), Qt::white};
    p.setPen(QPen(Tint(kGreen, i), 1));
    p.setBrush(fills[i]);
    p.drawRoundedRect(r.adjusted(0.5, 0.5, -0.5, -0.5), 3, 3);
}

void Buy(QPainter& p, const QRectF& r, int i) {
    p.setPen(Qt::NoPen);
    p.setBrush(Tint(QColor(255, 140, 40), i));
    p.drawRoundedRect(r.adjusted(1, 1, -1, -1), r.height() / 2 - 1, r.height() / 2 - 1);
}

// Toolbar and list buttons: a glyph on a transparent frame.

void Home(QPainter& p, const QRectF& r, int i) {
    const QPointF c = r.center();
    p.setPen(Line(Tint(kGreen, i), 1.8));
    p.setBrush(Qt::NoBrush);
    p.drawPolyline(QPolygonF({{c.x() - 8, c.y()}, {c.x(), c.y() - 7.5}, {c.x() + 8, c.y()}}));
    p.drawPolyline(QPolygonF({{c.x() - 5.5, c.y() - 2},
                              {c.x() - 5.5, c.y() + 7},
                              {c.x() + 5.5, c.y() + 7},
                              {c.x() + 5.5, c.y() - 2}}));
    p.drawLine(QPointF(c.x(), c.y() + 7), QPointF(c.x(), c.y() + 3));
}

void Back(QPainter& p, const QRectF& r, int i) {
    Arrow(p, r.center(), 14, 1.8, Tint(kGreen, i), Direction::Left);
}

void Next(QPainter& p, const QRectF& r, int i) {
    Arrow(p, r.center(), 14, 1.8, Tint(kGreen, i), Direction::Right);
}

void Refresh(QPainter& p, const QRectF& r, int i) {
    const QColor colour = Tint(kGreen, i);
    const QPointF c = r.center();
    const double radius = 6.5;
    p.setPen(Line(colour, 1.8));
    p.setBrush(Qt::NoBrush);
    // Three quarters of a circle, open at the top right, with a head at its open end.
    p.drawArc(QRectF(c - QPointF(radius, radius), QSizeF(2 * radius, 2 * radius)), 60 * 16, 270 * 16);
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    const QPointF end(c.x() + radius * 0.5, c.y() - radius * 0.87);
    p.drawPolygon(QPolygonF({end + QPointF(-1, -3.5), end + QPointF(4, 0.5), end + QPointF(-1.5, 3)}));
}

void Screening(QPainter& p, const QRectF& r, int i) {
    const QPointF c = r.center();
    p.setPen(Line(Tint(kGreen, i), 1.6));
    p.setBrush(Qt::NoBrush);
    p.drawPolygon(QPolygonF({{c.x() - 7, c.y() - 6},
                             {c.x() + 7, c.y() - 6},
                             {c.x() + 1.5, c.y() + 1},
                             {c.x() + 1.5, c.y() + 6},
                             {c.x() - 1.5, c.y() + 7.5},
                             {c.x() - 1.5, c.y() + 1}}));
}

void SearchIcon(QPainter& p, const QRectF& r, int i) {
    p.setPen(Line(Tint(kGreen, i), 1.5));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QRectF(r.left() + 1.5, r.top() + 1.5, 8, 8));
    p.drawLine(QPointF(r.left() + 8.5, r.top() + 8.5), QPointF(r.left() + 12.5, r.top() + 12.5));
}

void TransPlay(QPainter& p, const QRectF& r, int i) {
    Play(p, r.center(), 9, Tint(kGreen, i));
}

void TransPause(QPainter& p, const QRectF& r, int i) {
    Pause(p, r.center(), 9, Tint(kGreen, i));
}

void TransCancel(QPainter& p, const QRectF& r, int i) {
    Cross(p, r.center(), 7, 1.5, Tint(QColor(120, 120, 120), i));
}

// The icons of the icon-and-text buttons (32 x 24 frames).

void Tray(QPainter& p, const QRectF& r, const QColor& colour) {
    const QPointF c = r.center();
    p.setPen(Line(colour, 1.8));
    p.setBrush(Qt::NoBrush);
    p.drawPolyline(QPolygonF({{c.x() - 7, c.y() + 3}, {c.x() - 7, c.y() + 7}, {c.x() + 7, c.y() + 7}, {c.x() + 7, c.y() + 3}}));
}

void Upload(QPainter& p, const QRectF& r, int i) {
    Tray(p, r, Tint(kGreen, i));
    Arrow(p, r.center() + QPointF(0, -2), 12, 1.8, Tint(kGreen, i), Direction::Up);
}

void Download(QPainter& p, const QRectF& r, int i) {
    Tray(p, r, Tint(kGreen, i));
    Arrow(p, r.center() + QPointF(0, -2), 12, 1.8, Tint(kGreen, i), Direction::Down);
}

void Delete(QPainter& p, const QRectF& r, int i) {
    const QPointF c = r.center();
    p.setPen(Line(Tint(kGreen, i), 1.6));
    p.setBrush(Qt::NoBrush);
    p.drawLine(QPointF(c.x() - 7, c.y() - 5), QPointF(c.x() + 7, c.y() - 5));
    p.drawPolyline(QPolygonF({{c.x() - 2, c.y() - 5}, {c.x() - 2, c.y() - 7.5}, {c.x() + 2, c.y() - 7.5}, {c.x() + 2, c.y() - 5}}));
    p.drawPolygon(QPolygonF({{c.x() - 5.5, c.y() - 3}, {c.x() - 4.5, c.y() + 7.5}, {c.x() + 4.5, c.y() + 7.5}, {c.x() + 5.5, c.y() - 3}}));
    p.drawLine(QPointF(c.x() - 1.5, c.y() - 0.5), QPointF(c.x() - 1.5, c.y() + 4.5));
    p.drawLine(QPointF(c.x() + 1.5, c.y() - 0.5), QPointF(c.x() + 1.5, c.y() + 4.5));
}

// Bars: the track in the left half, the fill in the right half.

void TwoPartBar(QPainter& p, const QRectF& r, int i) {
    p.fillRect(r, i == 0 ? kTrack : kGreen);
}

// Plain pictures.

void MessageBoxBack(QPainter& p, const QRectF& r, int) {
    p.fillRect(r, Qt::white);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(245, 252, 249));
    p.drawEllipse(QRectF(r.right() - 220, r.bottom() - 110, 320, 220));
    p.setBrush(QColor(236, 249, 243));
    p.drawEllipse(QRectF(r.right() - 120, r.bottom() - 70, 200, 150));
}

// The logos: a cloud beside two bars of a word mark.
void Logo(QPainter& p, const QRectF& cloud, double barHeight, const QColor& colour) {
    Cloud(p, cloud, colour);
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    const double left = cloud.right() + 8;
    const double top = cloud.center().y() - barHeight * 1.5;
    p.drawRoundedRect(QRectF(left, top, cloud.width() * 1.5, barHeight), barHeight / 2, barHeight / 2);
    p.drawRoundedRect(QRectF(left, top + barHeight * 2, cloud.width() * 2.4, barHeight), barHeight / 2, barHeight / 2);
}

void LoginLogo(QPainter& p, const QRectF&, int) {
    Logo(p, QRectF(2, 3, 40, 25), 6, kGreen);
}

void MainLogo(QPainter& p, const QRectF&, int) {
    Logo(p, QRectF(6, 11, 42, 28), 6, Qt::white);
}

void DropArrow(QPainter& p, const QRectF& r, int) {
    Chevron(p, r.center(), 9, 1.6, kGrey, Direction::Down);
}

void DeleteAccount(QPainter& p, const QRectF& r, int) {
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(190, 190, 190));
    p.drawEllipse(r.adjusted(1, 1, -1, -1));
    Cross(p, r.center(), 5, 1.5, Qt::white);
}

void AccountIcon(QPainter& p, const QRectF& r, int) {
    Person(p, r.adjusted(2, 1, -2, -1), kGrey);
}

void PasswordIcon(QPainter& p, const QRectF& r, int) {
    Padlock(p, r.adjusted(2, 1, -2, -1), kGrey);
}

void AccountDetail(QPainter& p, const QRectF& r, int) {
    p.setPen(Line(kGreen, 1.2));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(r.adjusted(1, 2, -1, -2), 1.5, 1.5);
    p.drawLine(QPointF(4, 6), QPointF(10, 6));
    p.drawLine(QPointF(4, 8.5), QPointF(8, 8.5));
}

void ChangePassword(QPainter& p, const QRectF& r, int) {
    Padlock(p, r.adjusted(1.5, 0.5, -1.5, -0.5), kGreen);
}

void ChangeNickname(QPainter& p, const QRectF&, int) {
    p.setPen(QPen(kGreen, 2.6, Qt::SolidLine, Qt::FlatCap));
    p.drawLine(QPointF(4.5, 9.5), QPointF(11.5, 2.5));
    p.setPen(Qt::NoPen);
    p.setBrush(kGreen);
    p.drawPolygon(QPolygonF({{3.2, 8.2}, {5.8, 10.8}, {2, 12}}));
}

void ChangeAccount(QPainter& p, const QRectF& r, int) {
    Arrow(p, QPointF(r.center().x(), 4.5), 10, 1.4, kGreen, Direction::Right);
    Arrow(p, QPointF(r.center().x(), 9.5), 10, 1.4, kGreen, Direction::Left);
}

void ClockIcon(QPainter& p, const QRectF& r, int) {
    Clock(p, r.adjusted(0.5, 0.5, -0.5, -0.5), kGreen);
}

// The default icons' bodies are solid, so that a probe at the centre finds their colour.
void DefaultDir(QPainter& p, const QRectF&, int) {
    Folder(p, QRectF(6, 14, 84, 70), kFolderBody);
}

void DefaultFile(QPainter& p, const QRectF&, int) {
    Page(p, QRectF(16, 6, 64, 84), kFileBody);
}

void EnterpriseAdmin(QPainter& p, const QRectF&, int) {
    Building(p, QRectF(0, 1, 13, 15), kGreen);
    p.setPen(QPen(Qt::white, 1));
    p.setBrush(QColor(250, 190, 60));
    p.drawEllipse(QRectF(9.5, 9.5, 6, 6));
}

void EnterpriseMember(QPainter& p, const QRectF&, int) {
    Building(p, QRectF(1, 1, 14, 15), kFileBody);
}

void MoreNarrow(QPainter& p, const QRectF& r, int) {
    DoubleChevron(p, r.center(), 10, 1.6, kGrey, Direction::Left);
}

void MoreWide(QPainter& p, const QRectF& r, int) {
    DoubleChevron(p, r.center(), 10, 1.6, kGrey, Direction::Right);
}

void MyZone(QPainter& p, const QRectF&, int) {
    Cloud(p, QRectF(3, 10, 42, 28), kGreen);
    Arrow(p, QPointF(24, 27), 12, 2.2, Qt::white, Direction::Up);
}

void Transfer(QPainter& p, const QRectF&, int) {
    Arrow(p, QPointF(5, 8), 12, 1.6, kGreen, Direction::Up);
    Arrow(p, QPointF(11, 8), 12, 1.6, kGreen, Direction::Down);
}

void Disc(QPainter& p, const QRectF& r, const QColor& colour) {
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawEllipse(r.adjusted(0.5, 0.5, -0.5, -0.5));
}

void TransferFailed(QPainter& p, const QRectF& r, int) {
    Disc(p, r, QColor(235, 87, 87));
    p.setPen(Line(Qt::white, 2.6));
    p.drawLine(QPointF(13, 6.5), QPointF(13, 14.5));
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(13, 19.5), 1.6, 1.6);
}

void TransferFinish(QPainter& p, const QRectF& r, int) {
    Disc(p, r, kGreen);
    Check(p, r.center(), 12, 2.4, Qt::white);
}

void TransferPaused(QPainter& p, const QRectF& r, int) {
    Disc(p, r, QColor(250, 170, 50));
    Pause(p, r.center(), 11, Qt::white);
}

void TransferSyncing(QPainter& p, const QRectF& r, int) {
    Disc(p, r, kGreen);
    Arrow(p, QPointF(24, 18), 22, 3, Qt::white, Direction::Right);
    Arrow(p, QPointF(24, 30), 22, 3, Qt::white, Direction::Left);
}

void AddbarBack(QPainter& p, const QRectF& r, int) {
    DoubleChevron(p, r.center(), 8, 1.4, QColor(130, 130, 130), Direction::Left);
}

void AddbarRight(QPainter& p, const QRectF& r, int) {
    Chevron(p, r.center(), 8, 1.4, QColor(130, 130, 130), Direction::Right);
}

void AddbarDown(QPainter& p, const QRectF& r, int) {
    Chevron(p, r.center(), 8, 1.4, QColor(130, 130, 130), Direction::Down);
}

void AddbarDir(QPainter& p, const QRectF&, int) {
    Folder(p, QRectF(1, 10, 15, 12), kFolderBody);
}

void CheckBox(QPainter& p, const QColor& border, const QColor& fill) {
    p.setPen(QPen(border, 1));
    p.setBrush(fill);
    p.drawRect(QRectF(0.5, 0.5, 14, 14));
}

void CheckBoxNormal(QPainter& p, const QRectF&, int) {
    CheckBox(p, QColor(191, 191, 191), Qt::white);
}

void CheckBoxHover(QPainter& p, const QRectF&, int) {
    CheckBox(p, kGreen, Qt::white);
}

void CheckBoxPush(QPainter& p, const QRectF&, int) {
    CheckBox(p, kGreen, kLightGreen);
}

void CheckBoxChecked(QPainter& p, const QRectF& r, int) {
    CheckBox(p, kGreen, kGreen);
    Check(p, r.center(), 8, 1.8, Qt::white);
}

} // namespace

const std::vector<Picture>& Pictures() {
    static const std::vector<Picture> pictures = {
        // Sprites: four frames side by side.
        {"main/btn_close.png", 80, 20, 4, TitleClose},
        {"main/btn_min.png", 80, 20, 4, TitleMin},
        {"main/btn_max.png", 80, 20, 4, TitleMax},
        {"main/btn_menu.png", 80, 20, 4, TitleMenu},
        {"login/btn_min.png", 80, 20, 4, TitleMin},
        {"login/btn_close.png", 80, 20, 4, TitleClose},
        {"main/button1.png", 320, 30, 4, Button1},
        {"main/button2.png", 320, 30, 4, Button2},
        {"main/buy.png", 280, 20, 4, Buy},
        {"main/btn_home.png", 176, 32, 4, Home},
        {"main/btn_back.png", 176, 32, 4, Back},
        {"main/btn_next.png", 176, 32, 4, Next},
        {"main/btn_refresh.png", 152, 28, 4, Refresh},
        {"main/edit_screening.png", 128, 32, 4, Screening},
        {"main/edit_common_searchicon.png", 56, 14, 4, SearchIcon},
        {"main/trans_play.png", 56, 16, 4, TransPlay},
        {"main/trans_pause.png", 56, 16, 4, TransPause},
        {"main/trans_cancel.png", 56, 16, 4, TransCancel},
        {"main/btn_ic_upload.png", 128, 24, 4, Upload},
        {"main/btn_icon_download.png", 128, 24, 4, Download},
        {"main/btn_delete.png", 128, 24, 4, Delete},
        // Bars: track and fill side by side.
        {"main/prg_volume_info.png", 240, 5, 2, TwoPartBar},
        {"main/progressbar.png", 400, 4, 2, TwoPartBar},
        // Plain pictures.
        {"about/bg_messagebox_frame.png", 474, 304, 1, MessageBoxBack},
        {"login/logo.png", 207, 30, 1, LoginLogo},
        {"login/arrow.png", 12, 8, 1, DropArrow},
        {"login/deleteAccount.png", 16, 16, 1, DeleteAccount},
        {"login/icon_account.png", 16, 16, 1, AccountIcon},
        {"login/icon_password.png", 16, 16, 1, PasswordIcon},
        {"main/logo.png", 160, 50, 1, MainLogo},
        {"main/account_detail.png", 14, 14, 1, AccountDetail},
        {"main/change_password.png", 14, 14, 1, ChangePassword},
        {"main/change_nickname.png", 14, 14, 1, ChangeNickname},
        {"main/change_account.png", 14, 14, 1, ChangeAccount},
        {"main/clock.png", 14, 14, 1, ClockIcon},
        {"main/default_icon/dir.png", 96, 96, 1, DefaultDir},
        {"main/default_icon/file.png", 96, 96, 1, DefaultFile},
        {"main/icon_enterprise_admin.png", 16, 16, 1, EnterpriseAdmin},
        {"main/icon_enterprise_member.png", 16, 16, 1, EnterpriseMember},
        {"main/icon_more.png", 16, 16, 1, MoreNarrow},
        {"main/icon_more_copy.png", 16, 16, 1, MoreWide},
        {"main/icon_myzone.png", 48, 48, 1, MyZone},
        {"main/icon_transfer.png", 16, 16, 1, Transfer},
        {"main/transfer_failed.png", 26, 26, 1, TransferFailed},
        {"main/transfer_finish.png", 26, 26, 1, TransferFinish},
        {"main/transfer_paused.png", 26, 26, 1, TransferPaused},
        {"main/transfer_syncing.png", 48, 48, 1, TransferSyncing},
        {"main/addbar/arrow_back.png", 17, 32, 1, AddbarBack},
        {"main/addbar/arrow_down.png", 17, 32, 1, AddbarDown},
        {"main/addbar/arrow_right.png", 17, 32, 1, AddbarRight},
        {"main/addbar/dir.png", 17, 32, 1, AddbarDir},
        {"pubilc/checkbox_unclick_normal.png", 15, 15, 1, CheckBoxNormal},
        {"pubilc/checkbox_unclick_hover.png", 15, 15, 1, CheckBoxHover},
        {"pubilc/checkbox_unclick_push.png", 15, 15, 1, CheckBoxPush},
        {"pubilc/checkbox_click_normal.png", 15, 15, 1, CheckBoxChecked},
    };
    return pictures;
}

QImage Draw(const Picture& picture) {
    QImage image(picture.width, picture.height, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    // A fixed resolution: the default one depends on the screen, if there is one.
    image.setDotsPerMeterX(3780);
    image.setDotsPerMeterY(3780);
    const int frameWidth = picture.width / picture.frames;
    QPainter p(&image);
    for (int i = 0; i < picture.frames; ++i) {
        const QRect frame(i * frameWidth, 0, frameWidth, picture.height);
        p.save();
        p.setClipRect(frame);
        p.translate(frame.topLeft());
        p.setRenderHint(QPainter::Antialiasing);
        picture.draw(p, QRectF(0, 0, frameWidth, picture.height), i);
        p.restore();
    }
    p.end();
    return image.convertToFormat(QImage::Format_ARGB32);
}

} // namespace skin
