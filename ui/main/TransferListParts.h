#pragma once

class QListWidget;
class QVBoxLayout;
class QWidget;

// Parts the running and the finished transfer lists share.

// The one-pixel line under a status panel.
void AddTransferSeparator(QVBoxLayout* layout, QWidget* parent);

// The list of rows below the panels, added to `layout`.
QListWidget* AddTransferList(QVBoxLayout* layout, QWidget* host);
