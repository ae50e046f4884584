#pragma once

#include <QtCore/QElapsedTimer>
#include <QtCore/QMetaObject>
#include <QtCore/QObject>
#include <QtCore/QPointer>
#include <QtWidgets/QSystemTrayIcon>

#include <memory>

class AppContext;
class LocalClickMonitor;
class PopoverWindow;
class TrayHostWatcher;
class QMenu;

// The tray entry: its icon, the popover a primary click toggles, the menu of a secondary click,
// the About dialog and Quit. Main thread only.
class StatusItem : public QObject {
    Q_OBJECT
public:
    static constexpr char kIconResource[] = ":/icons/MenuBarIcon.svg";

    // iconResource: the icon's image; when it is missing the icon is the first letter of the
    // product name.
    explicit StatusItem(AppContext *context,
                        const QString &iconResource = QString::fromLatin1(kIconResource),
                        QObject *parent = nullptr);
    ~StatusItem() override;

    // Held weakly; the popover's content observes it.
    void setAppContext(AppContext *context);

    // Creates the menu, the popover window and the tray icon, the icon once a tray host exists.
    // Called once.
    void setupStatusItem();

    // The tray icon drawn from the image, or the letter when the image is missing, in the
    // palette's text colour with a thin outline in its window colour, so that it reads on light
    // and dark panels.
    static QIcon menuBarIcon(const QString &iconResource);

    QSystemTrayIcon *trayIcon() const { return m_statusItem; }
    QMenu *statusItemMenu() const { return m_statusItemMenu.get(); }
    PopoverWindow *popover() const { return m_popover.get(); }
    bool isPopoverShown() const;
    // The icon's place on the screen; empty when the tray does not tell it (StatusNotifierItem).
    QRect iconGeometry() const;
    // The popover's window or one that it opened (menus, alerts).
    bool ownsWindow(const QWidget *window) const;

    // Shows the popover under the icon unless it is shown already: what the drag-session monitor
    // and a second start of the application ask for.
    void showPopoverIfHidden();

    void statusItemClicked(QSystemTrayIcon::ActivationReason reason);
    void togglePopover();
    void showPopover();
    void closePopover();
    void updatePopoverContent();
    void addPopoverClickMonitor();
    void removePopoverClickMonitor();
    // window: the top-level widget of this application that was clicked; null for another
    // application's window.
    void handleClickOutsidePopover(const QPoint &position, QWidget *window);
    void popoverDidClose();
    void showAbout();
    void checkForUpdates();
    void quitApp();

Q_SIGNALS:
    // The popover has closed, however that came about; the drag-session monitor resets its
    // drag state here.
    void popoverClosed();
    // The About dialog's "Uninstall..." was chosen.
    void uninstallRequested();

private:
    void buildMenu();
    void createTrayIcon();
    // Closes the popover when keyboard focus leaves it and the windows it opened.
    void focusChanged();

    QPointer<AppContext> m_appContext;
    QString m_iconResource;
    QSystemTrayIcon *m_statusItem = nullptr; // null until a tray host exists
    std::unique_ptr<TrayHostWatcher> m_trayHostWatcher;
    std::unique_ptr<QMenu> m_statusItemMenu;
    std::unique_ptr<PopoverWindow> m_popover;
    QMetaObject::Connection m_popoverGlobalClickMonitor;
    std::unique_ptr<LocalClickMonitor> m_popoverLocalClickMonitor;
    // Set when the popover held focus since it was last shown.
    bool m_popoverHadFocus = false;
    // When a click closed the popover while the tray did not tell where its icon is: that click
    // may have been on the icon, whose activation follows.
    QElapsedTimer m_closedByClickWithoutIcon;
};
