#pragma once
// Paints the tiles of a folder view's grid and makes the name editor of a rename. A tile is 74 x
// 121: its picture (48 x 48, one scaled copy per picture for the whole program) centred at the
// top, its name below, wrapped at any character within the name's width, in as many lines as fit,
// the last one elided when the name does not fit. A selected tile, and a tile under the mouse, are
// filled in a light tint and framed. Only the tiles on screen are painted.
//
// User interface thread only.

#include <QFont>
#include <QPixmap>
#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QStyledItemDelegate>

class CImageListModel;

class CImageListDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    // `model` holds the tiles painted and outlives the delegate's use.
    CImageListDelegate(CImageListModel* model, QObject* parent);

    static constexpr int kTileWidth = 74;
    static constexpr int kTileHeight = 121;
    static constexpr int kIconSide = 48;

    // The parts of a tile at `tile`.
    static QRect IconRect(const QRect& tile);
    static QRect NameRect(const QRect& tile);
    // The font of the names.
    static QFont NameFont();
    // The lines that show `name` in `width` pixels of `font`: broken at any character where a line
    // is full, at most `maxLines` of them (at least one), the last one elided at the right when
    // the rest does not fit.
    static QStringList NameLines(const QString& name, const QFont& font, int width, int maxLines);
    // The tile's tool tip: the whole name, in lines of about 150 pixels.
    static QString ToolTip(const QString& name);
    // The picture of `resource` at the tile's icon size, shared by every tile that shows it.
    static QPixmap Picture(const QString& resource);

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const override;
    void setEditorData(QWidget* editor, const QModelIndex& index) const override;
    void setModelData(QWidget* editor, QAbstractItemModel* model, const QModelIndex& index) const override;
    void updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const override;

protected:
    // The editor's keys and focus are its own (CLineEdit): the delegate's default handling would
    // end a rename on Enter or Escape.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    CImageListModel* m_model;
};
