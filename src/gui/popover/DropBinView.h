#pragma once

#include <QtCore/QList>
#include <QtCore/QUrl>
#include <QtGui/QColor>
#include <QtWidgets/QFrame>

class QLabel;

// One drop bin: a symbol, a title and a subtitle in a rounded frame that lights up while a drag
// with URLs hovers over it. A drop hands over the URLs as they came.
class DropBinView : public QFrame {
    Q_OBJECT
    Q_PROPERTY(bool isHighlighted READ isHighlighted NOTIFY highlightedChanged)
public:
    DropBinView(const QString &title, const QString &subtitle, const QString &icon,
                const QColor &iconColor, QWidget *parent = nullptr);

    bool isHighlighted() const { return m_isHighlighted; }

Q_SIGNALS:
    void highlightedChanged(bool highlighted);
    void dropped(const QList<QUrl> &urls);

protected:
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragLeaveEvent(QDragLeaveEvent *event) override;
    void dropEvent(QDropEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void setHighlighted(bool highlighted);
    void showSymbol();

    QString m_icon;
    QColor m_iconColor;
    bool m_isHighlighted = false;
    QLabel *m_symbol;
};
