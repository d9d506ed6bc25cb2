#pragma once
// One row of the enterprise drop-down of the user information pop-up: the category icon and the
// enterprise name, light green under the pointer. A left press followed by the release of any
// button chooses the row, wherever the pointer is released.

#include <QString>
#include <QWidget>

class QLabel;

class CElementItem : public QWidget {
    Q_OBJECT
public:
    explicit CElementItem(QWidget* parent = nullptr);

    void setElementInfo(QString name, QString iconPath, QString eid);
    QString getEid() const { return m_eid; }
    QString name() const { return m_name; }
    QLabel* iconLabel() const { return m_iconLabel; }

signals:
    void signalClickEnterpriseItem(CElementItem* item);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void enterEvent(QEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    bool m_pressed = false;
    QLabel* m_nameLabel = nullptr;
    QLabel* m_iconLabel = nullptr;
    QString m_name;
    QString m_eid;
    bool m_hover = false;
};
