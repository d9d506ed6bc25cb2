#pragma once
// The breadcrumb address bar of the file page: a line edit holding a folder icon, a back segment
// and one segment per folder level of the folder on view. It shows display paths (a registered
// real prefix replaced by its display text, such as the mirror folder by "全部文件") and its
// signal carries real paths. A click on its empty part turns it into text; Return (or the keypad's
// Enter) goes to a typed folder of the mirror that the core's index holds (or a display path),
// anything else brings the segments back.

#include <QLineEdit>
#include <QMap>
#include <QPointer>
#include <QString>

class QAbstractButton;
class QButtonGroup;
class QHBoxLayout;

class QtAddressBar : public QLineEdit {
    Q_OBJECT
public:
    explicit QtAddressBar(QWidget* parent = nullptr);

    // Display text → real prefix; the root key's prefix is the mirror folder, which typed paths
    // must lie in.
    void AddPathKey(const QString& display, const QString& realPrefix, bool isRoot);
    // The display form of a real path, in place; false (path unchanged) when no key matches.
    bool getVirtualPath(QString& path);
    // The real form of a display path; the path itself when no key matches.
    QString toRealPath(const QString& path);
    // Shows the real path `path` as segments; a path no key matches is not shown.
    void UpdateCurrentPath(const QString& path);
    // Closes the open drop-down, if any.
    void closeMenu();

signals:
    void SCurrentPathChanged(const QString& realPath);

public slots:
    void onGroupBtnClicked(QAbstractButton* button);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void clearAddressItem();
    void uncheck(QAbstractButton* button);
    // The real folder path (ending with "/") that typed text names, when the bar may go there.
    bool typedTarget(const QString& text, QString& real) const;
    bool inMirror(const QString& path, QString& folder) const;

    bool m_whiteSpacePress = false;
    bool m_selected = false;
    bool m_updating = false; // inside UpdateCurrentPath: its own focus change restores nothing
    QString m_currentPath; // display form
    QString m_realPath;    // the same folder as the views know it, to show it again
    QButtonGroup* m_group;
    QPointer<QAbstractButton> m_open;
    QHBoxLayout* m_layout;
    QMap<QString, QString> m_keys;
    QString m_rootPath;
};
