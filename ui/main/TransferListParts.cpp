#include "main/TransferListParts.h"

#include <QLabel>
#include <QListWidget>
#include <QVBoxLayout>

void AddTransferSeparator(QVBoxLayout* layout, QWidget* parent) {
    auto* line = new QLabel(parent);
    line->setFixedHeight(1);
    line->setStyleSheet(QStringLiteral("QLabel{background: rgb(236, 249, 243);}"));
    layout->addWidget(line);
}

QListWidget* AddTransferList(QVBoxLayout* layout, QWidget* host) {
    auto* list = new QListWidget(host);
    list->setResizeMode(QListView::Adjust);
    list->setViewMode(QListView::ListMode);
    list->setMovement(QListView::Static);
    list->setFrameShape(QFrame::NoFrame);
    layout->addWidget(list);
    return list;
}
