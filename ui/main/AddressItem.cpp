#include "main/AddressItem.h"

#include "common/CoreLog.h"
#include "common/FileInfo.h"
#include "sync/VUZeroz.h"
#include "widgets/MenuWidget.h"

#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QWidgetAction>

#include <algorithm>
#include <list>

namespace {
constexpr int kHeight = 32;
constexpr int kArrowWidth = 17;
} // namespace

AddressItem::AddressItem(const QString& name, const QString& path, const QString& realPath, bool backFlag,
                         QWidget* parent)
    : QPushButton(parent), m_backFlag(backFlag), m_path(path), m_name(name), m_realPath(realPath) {
    m_font = parent ? parent->font() : font();
    if (!name.isEmpty())
        m_nameWidth = QFontMetrics(m_font).horizontalAdvance(name) + 8;
    setFixedSize(m_nameWidth + kArrowWidth, kHeight);
    setCursor(Qt::ArrowCursor);
    m_arrow = QPixmap(QStringLiteral(":/skin/main/addbar/arrow_right.png"));
    m_openArrow = QPixmap(QStringLiteral(":/skin/main/addbar/arrow_down.png"));

    m_menu = new QMenu(this);
    m_menu->setWindowFlags(Qt::ToolTip);
    connect(m_menu, &QMenu::aboutToHide, this, &AddressItem::menuAboutToHide);

    std::list<FileInfo> entries;
    if (!VUZeroz::GetInstance()->GetPathInfo(m_realPath, false, entries))
        return;
    if (std::none_of(entries.begin(), entries.end(), [](const FileInfo& e) { return e.is_dir; })) {
        m_noSubFolders = true;
        return;
    }
    auto* action = new QWidgetAction(this);
    m_list = new MenuWidget(m_backFlag, this);
    m_list->updateDirModel(m_realPath);
    action->setDefaultWidget(m_list);
    m_menu->addAction(action);
    m_menu->setStyleSheet(QStringLiteral(
        "QMenu {background-color:rgb(242,242,242); border: 1px solid rgb(100,100,100);}"
        "                     QMenu::item {font-size: 9pt; color: rgb(0,0,0); padding:4px 20px 4px 20px;margin:1px 2px;}"
        "                     QMenu::item:selected { background-color:rgb(196,222,244);}"));
    setMouseTracking(true);
    setCheckable(true);
    connect(this, &QAbstractButton::toggled, this, &AddressItem::onCheckChanged);
    connect(m_list, &MenuWidget::SClickPath, this, &AddressItem::SClickPath);
    connect(m_list, &MenuWidget::leaveWidget, this, &AddressItem::leaveMenu);
}

AddressItem::~AddressItem() {
    // The menu goes while this segment is whole: hiding it reports back to menuAboutToHide.
    delete m_menu;
}

void AddressItem::setBackIcon(bool back) {
    m_arrow = QPixmap(back ? QStringLiteral(":/skin/main/addbar/arrow_back.png")
                           : QStringLiteral(":/skin/main/addbar/arrow_right.png"));
}

QRect AddressItem::nameRect() const {
    return QRect(0, 0, m_nameWidth, kHeight);
}

QRect AddressItem::arrowRect() const {
    return QRect(m_nameWidth, 0, kArrowWidth, kHeight);
}

void AddressItem::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setFont(m_font);
    painter.setPen(QColor(0, 0, 0));
    const int flags = Qt::AlignHCenter | Qt::AlignVCenter;
    if (m_noSubFolders) {
        painter.drawText(nameRect(), flags, m_name);
        return;
    }
    const QRect whole(0, 0, m_nameWidth + kArrowWidth, kHeight);
    if (m_hover) {
        painter.fillRect(whole, QColor(229, 243, 254));
        painter.setPen(QColor(205, 232, 254));
        painter.drawRect(nameRect());
        painter.drawRect(arrowRect());
    }
    if (m_pressed || isChecked()) {
        painter.fillRect(whole, QColor(204, 232, 255));
        painter.setPen(QColor(153, 209, 255));
        painter.drawRect(nameRect());
        painter.drawRect(arrowRect());
        painter.setPen(QColor(0, 0, 0));
        painter.drawText(nameRect().translated(1, 1), flags, m_name);
        painter.drawPixmap(arrowRect(), m_openArrow);
    } else {
        painter.setPen(QColor(0, 0, 0));
        painter.drawText(nameRect(), flags, m_name);
        painter.drawPixmap(arrowRect(), m_arrow);
    }
}

void AddressItem::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !rect().contains(event->pos()))
        return;
    m_pressed = true;
    if (nameRect().contains(event->pos())) {
        m_namePressed = true;
        update();
    } else if (arrowRect().contains(event->pos())) {
        update();
        QPushButton::mousePressEvent(event);
    } else {
        update();
    }
}

void AddressItem::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return;
    if (m_namePressed) {
        CoreDebug("[UI] clicked item\n");
        // A listener may rebuild the bar; this segment is then only deleted later, but stay safe.
        QPointer<AddressItem> self(this);
        emit SClickPath(m_realPath);
        if (!self)
            return;
    }
    m_namePressed = false;
    m_pressed = false;
    update();
    QPushButton::mouseReleaseEvent(event);
}

void AddressItem::enterEvent(QEvent* event) {
    m_hover = true;
    update();
    QPushButton::enterEvent(event);
}

void AddressItem::leaveEvent(QEvent* event) {
    m_hover = false;
    update();
    QPushButton::leaveEvent(event);
}

void AddressItem::menuAboutToHide() {
    m_hover = false;
    m_pressed = false;
}

void AddressItem::onCheckChanged(bool checked) {
    update();
    if (!checked) {
        m_menu->close();
    } else if (!m_menu->isVisible()) {
        m_menu->move(mapToGlobal(QPoint(0, 0)) + QPoint(0, kHeight));
        m_menu->show();
    }
}
