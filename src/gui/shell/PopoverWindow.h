#pragma once

#include <QtCore/QPointer>
#include <QtWidgets/QWidget>

class QVBoxLayout;

// The window that hosts the tray popover's content. Under X11 a frameless tool window that is
// placed at the tray icon; under Wayland, where an application can neither place its windows nor
// learn where its tray icon is, a small decorated window that the compositor places and the user
// can move.
class PopoverWindow : public QWidget {
    Q_OBJECT
public:
    static constexpr QSize kContentSize{300, 400};

    explicit PopoverWindow(bool decorated);

    // True on a Wayland session, native or through XWayland.
    static bool isWaylandSession();

    bool isDecorated() const { return m_decorated; }
    QWidget *content() const { return m_content; }
    // Deletes the previous content.
    void setContent(QWidget *content);

    // Shows the window below the anchor (above it when the anchor sits in the lower half of its
    // screen), or at the cursor when there is no anchor; always inside the screen's available
    // area. A decorated window is left to the compositor.
    void showAt(const QRect &anchor);
    static QPoint placement(const QRect &anchor, const QPoint &cursor, const QRect &available,
                            const QSize &size);

    // True when window is this one or one that it opened (its menus, alerts, dialogs).
    bool isOwnWindow(const QWidget *window) const;

Q_SIGNALS:
    // The window was hidden, however that came about.
    void closed();

protected:
    void hideEvent(QHideEvent *event) override;

private:
    bool m_decorated;
    QVBoxLayout *m_layout;
    QPointer<QWidget> m_content;
};
