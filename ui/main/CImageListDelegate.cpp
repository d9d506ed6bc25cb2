#include "main/CImageListDelegate.h"

#include "main/CImageListItem.h"
#include "main/CImageListModel.h"

#include "widgets/UICommonMethod.h"

#include <QAbstractItemView>
#include <QFontMetrics>
#include <QPainter>
#include <QPixmapCache>
#include <QTextLayout>

#include <algorithm>

namespace {
constexpr int kIconTop = 8;
constexpr int kNameGap = 6;    // between the picture and the name
constexpr int kNameMargin = 4; // left, right and below the name
} // namespace

CImageListDelegate::CImageListDelegate(CImageListModel* model, QObject* parent)
    : QStyledItemDelegate(parent), m_model(model) {}

QRect CImageListDelegate::IconRect(const QRect& tile) {
    return QRect(tile.left() + (kTileWidth - kIconSide) / 2, tile.top() + kIconTop, kIconSide, kIconSide);
}

QRect CImageListDelegate::NameRect(const QRect& tile) {
    const int top = kIconTop + kIconSide + kNameGap;
    return QRect(tile.left() + kNameMargin, tile.top() + top, kTileWidth - 2 * kNameMargin,
                 kTileHeight - top - kNameMargin);
}

QFont CImageListDelegate::NameFont() {
    // What the style sheet "font: 5 9pt '思源黑体 CN';" of a name label gave.
    QFont font(QStringLiteral("思源黑体 CN"));
    font.setPointSize(9);
    font.setWeight(1);
    return font;
}

QStringList CImageListDelegate::NameLines(const QString& name, const QFont& font, int width, int maxLines) {
    QStringList lines;
    QTextLayout layout(name, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        if (lines.size() + 1 >= std::max(1, maxLines)) {
            lines.append(QFontMetrics(font).elidedText(name.mid(line.textStart()), Qt::ElideRight, width));
            break;
        }
        line.setLineWidth(width);
        lines.append(name.mid(line.textStart(), line.textLength()));
    }
    layout.endLayout();
    return lines;
}

QString CImageListDelegate::ToolTip(const QString& name) {
    return UICommonMethod::StringBreak(QFontMetrics(NameFont()), 150, name);
}

QPixmap CImageListDelegate::Picture(const QString& resource) {
    const QString key = QStringLiteral("CImageListDelegate|") + resource;
    QPixmap picture;
    if (!QPixmapCache::find(key, &picture)) {
        picture =
            QPixmap(resource).scaled(kIconSide, kIconSide, Qt::IgnoreAspectRatio, Qt::FastTransformation);
        QPixmapCache::insert(key, picture);
    }
    return picture;
}

void CImageListDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                               const QModelIndex& index) const {
    const CImageListItem* item = m_model->itemAt(index);
    if (!item)
        return;
    const QRect tile = option.rect;
    painter->save();
    const bool hovered = option.state.testFlag(QStyle::State_MouseOver);
    if (item->isSelected() || hovered) {
        painter->fillRect(tile, item->isSelected() ? QColor(120, 247, 238, 50) : QColor(224, 247, 238, 50));
        painter->setPen(QColor(42, 195, 138));
        painter->setBrush(Qt::NoBrush);
        painter->drawRect(tile.adjusted(0, 0, -1, -1));
    }
    painter->drawPixmap(IconRect(tile), Picture(item->icon()));
    // While a rename runs, its editor stands where the name was.
    const auto* view = qobject_cast<const QAbstractItemView*>(option.widget);
    if (!view || !view->indexWidget(index)) {
        const QFont font = NameFont();
        const QFontMetrics metrics(font);
        const QRect area = NameRect(tile);
        const QStringList lines =
            NameLines(item->getName(), font, area.width(), area.height() / metrics.lineSpacing());
        painter->setFont(font);
        painter->setPen(option.palette.color(QPalette::Text));
        int top = area.top();
        for (const QString& line : lines) {
            painter->drawText(QRect(area.left(), top, area.width(), metrics.lineSpacing()),
                              Qt::AlignHCenter | Qt::AlignTop | Qt::TextSingleLine, line);
            top += metrics.lineSpacing();
        }
    }
    painter->restore();
}

QSize CImageListDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const {
    return QSize(kTileWidth, kTileHeight);
}

QWidget* CImageListDelegate::createEditor(QWidget* parent, const QStyleOptionViewItem&,
                                          const QModelIndex&) const {
    auto* editor = new CLineEdit(parent);
    // A rename ends when the editor loses the focus, once.
    connect(editor, &QLineEdit::editingFinished, this, [this, editor] {
        disconnect(editor, &QLineEdit::editingFinished, this, nullptr);
        auto* self = const_cast<CImageListDelegate*>(this);
        emit self->commitData(editor);
        emit self->closeEditor(editor, QAbstractItemDelegate::NoHint);
    });
    return editor;
}

void CImageListDelegate::setEditorData(QWidget* editor, const QModelIndex& index) const {
    auto* line = static_cast<CLineEdit*>(editor);
    line->setText(index.data(Qt::EditRole).toString());
    line->selectAll();
}

void CImageListDelegate::setModelData(QWidget* editor, QAbstractItemModel* model,
                                      const QModelIndex& index) const {
    model->setData(index, static_cast<CLineEdit*>(editor)->text(), Qt::EditRole);
}

void CImageListDelegate::updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                                              const QModelIndex&) const {
    editor->setGeometry(NameRect(option.rect));
}

bool CImageListDelegate::eventFilter(QObject*, QEvent*) {
    return false;
}
