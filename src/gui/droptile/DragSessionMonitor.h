#pragma once

#include "gui/droptile/DropZoneTilePanel.h"

#include <QtCore/QElapsedTimer>
#include <QtCore/QObject>
#include <QtCore/QPointer>
#include <QtCore/QRect>
#include <QtCore/QTimer>

#include <cstdint>
#include <functional>
#include <memory>

class AppContext;
class DragEventSource;

// Watches drags of files in other applications while the user is signed in, shows the drop
// tile under the tray icon, and turns it into the popover in drop mode when the drag rests on
// it. Main thread only.
class DragSessionMonitor : public QObject {
    Q_OBJECT
public:
    // The X11 source; null-safe: without X11 (Wayland) the monitor stays off.
    static DragSessionMonitor &shared();
    explicit DragSessionMonitor(std::unique_ptr<DragEventSource> source);
    ~DragSessionMonitor() override;

    void setAppContext(AppContext *context);
    // The tray icon's place on the screen, empty when the tray does not tell it.
    void setStatusItemGeometry(std::function<QRect()> geometry)
    {
        m_statusItemGeometry = std::move(geometry);
    }
    void setShowPopover(std::function<void()> show) { m_showPopover = std::move(show); }
    void setClosePopover(std::function<void()> close) { m_closePopover = std::move(close); }

    // Idempotent: start-up reaches it more than once.
    void startMonitoring();
    void stopMonitoring();
    void popoverDidClose();

    bool isMonitoring() const { return m_monitoring; }
    bool isShowingTile() const { return m_isShowingTile; }
    bool isExpanded() const { return m_isExpanded; }
    DropZoneTilePanel *tilePanel() const { return m_tilePanel; }
    // Where the tile goes for an icon at iconGeometry (empty: unknown) on a screen whose
    // available area is screen.
    static QRect tileGeometry(const QRect &iconGeometry, const QRect &screen);

private:
    void handleGlobalDrag();
    void handleEscape();
    void showTile();
    void tileLeft();
    void expandToPopover();
    void endDragSession(bool force);
    void hideAll();
    void checkForStaleTile();
    bool isSignedIn() const;
    // Every way a session ends: the current content is old from now on.
    void markContentStale();
    void dropTilePanel();

    std::unique_ptr<DragEventSource> m_source;
    QPointer<AppContext> m_appContext;
    std::function<QRect()> m_statusItemGeometry;
    std::function<void()> m_showPopover;
    std::function<void()> m_closePopover;
    QPointer<DropZoneTilePanel> m_tilePanel;
    bool m_isShowingTile = false;
    bool m_isExpanded = false;
    bool m_monitoring = false;
    QTimer m_cleanupTimer;
    uint64_t m_staleChangeCount = 0;
    uint64_t m_lastSeenChangeCount = 0;
    bool m_dragSessionActive = false;
    bool m_pendingDragCheck = false;
    // Started at the last drag event; invalid before the first.
    QElapsedTimer m_lastDragEvent;
};
