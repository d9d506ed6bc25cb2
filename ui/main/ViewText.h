#pragma once
// Small helpers shared by the folder views, their manager and the properties dialog. User
// interface thread only.

#include <QString>
#include <QtGlobal>

class QWidget;

// A view path names a search when it begins with this text (case-sensitive).
bool IsSearchPath(const QString& path);
// The keyword of a search view's path ("search|all|abc/" gives abc); empty for a folder path.
QString SearchKeyword(const QString& path);
// Unix seconds as local time in the short date and time form of the window's (Chinese) locale.
QString LocalTimeText(quint64 unixSeconds);
// A short message of the views: an information box titled "提示" with one OK button, run modally.
void ShowViewMessage(QWidget* parent, const QString& text);
