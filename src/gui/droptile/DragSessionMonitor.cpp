#include "gui/droptile/DragSessionMonitor.h"

#include "core/api/AppState.h"
#include "core/shell/Logger.h"
#include "gui/droptile/DropZoneTilePanel.h"
#include "gui/droptile/X11DragEventSource.h"
#include "gui/shell/AppContext.h"

#include <QtGui/QGuiApplication>
#include <QtGui/QScreen>

namespace {

constexpr int kTileSize = DropZoneTilePanel::kSize;
constexpr auto kCleanupInterval = std::chrono::milliseconds(250);
constexpr auto kTileLeftDelay = std::chrono::milliseconds(100);
constexpr auto kCloseAfterDrop = std::chrono::milliseconds(300);
constexpr qint64 kStaleAfterMs = 2000;

} // namespace

DragSessionMonitor &DragSessionMonitor::shared()
{
    static DragSessionMonitor *monitor =
        new DragSessionMonitor(std::make_unique<X11DragEventSource>());
    return *monitor;
}

DragSessionMonitor::DragSessionMonitor(std::unique_ptr<DragEventSource> source)
    : m_source(std::move(source))
{
    // Whatever a drag left behind before this point never counts as a new drag.
    m_staleChangeCount = m_source->changeCount();
    m_cleanupTimer.setInterval(kCleanupInterval);
    connect(&m_cleanupTimer, &QTimer::timeout, this, &DragSessionMonitor::checkForStaleTile);
    connect(m_source.get(), &DragEventSource::dragged, this, &DragSessionMonitor::handleGlobalDrag);
    connect(m_source.get(), &DragEventSource::leftMouseUp, this, [this] { endDragSession(false); });
    connect(m_source.get(), &DragEventSource::escapePressed, this,
            &DragSessionMonitor::handleEscape);
}

DragSessionMonitor::~DragSessionMonitor()
{
    dropTilePanel();
}

void DragSessionMonitor::setAppContext(AppContext *context)
{
    m_appContext = context;
}

void DragSessionMonitor::startMonitoring()
{
    if (m_monitoring) {
        return;
    }
    if (!m_source->isAvailable()) {
        static bool said = false;
        if (!std::exchange(said, true)) {
            Logger::info(QStringLiteral("[DragSessionMonitor] Drags of other applications cannot "
                                        "be observed in this session; the drop tile stays off"));
        }
        return;
    }
    // 1-4. Global drag, left-up and Escape notifications; inside the application the X11 raw
    // events arrive as well, so no separate local monitor is needed.
    m_monitoring = true;
    m_source->startWatching();
    // 5. The stale-tile check runs only while the tile shows (showTile starts it), so an idle
    // application is never woken by it.
}

void DragSessionMonitor::stopMonitoring()
{
    if (m_monitoring) {
        m_source->stopWatching();
        m_monitoring = false;
    }
    m_cleanupTimer.stop();
    markContentStale();
    hideAll();
}

void DragSessionMonitor::popoverDidClose()
{
    markContentStale();
    m_isExpanded = false;
}

bool DragSessionMonitor::isSignedIn() const
{
    const auto *state = m_appContext ? dynamic_cast<AppState *>(m_appContext->appState()) : nullptr;
    return state && state->authStatus() == AppState::AuthStatus::loggedIn;
}

void DragSessionMonitor::markContentStale()
{
    m_staleChangeCount = m_source->changeCount();
    m_dragSessionActive = false;
    m_pendingDragCheck = false;
    m_source->endPendingDrag();
}

void DragSessionMonitor::handleGlobalDrag()
{
    // 1. The tile is only ever shown to a signed-in user.
    if (!isSignedIn()) {
        return;
    }
    // 2.
    m_lastDragEvent.start();
    // 3-4. A new drag: its types are still to be examined unless its content is old.
    const uint64_t changeCount = m_source->changeCount();
    if (changeCount != m_lastSeenChangeCount) {
        m_lastSeenChangeCount = changeCount;
        m_dragSessionActive = false;
        m_pendingDragCheck = changeCount > m_staleChangeCount;
    }
    // 5. Types not known yet are looked at again on the next drag event.
    if (m_pendingDragCheck) {
        const std::optional<QStringList> types = m_source->types();
        if (types && !types->isEmpty()) {
            m_pendingDragCheck = false;
            m_dragSessionActive = types->contains(QLatin1String(DragEventSource::kFileUrlType));
        }
    }
    // 6.
    if (m_dragSessionActive && !m_isShowingTile && !m_isExpanded) {
        showTile();
    }
}

void DragSessionMonitor::handleEscape()
{
    markContentStale();
    hideAll();
}

QRect DragSessionMonitor::tileGeometry(const QRect &iconGeometry, const QRect &screen)
{
    // Top centre of the screen when the tray does not say where its icon is.
    if (iconGeometry.isEmpty()) {
        return {screen.x() + (screen.width() - kTileSize) / 2, screen.y() + 8, kTileSize,
                kTileSize};
    }
    // Centred under the icon with a 4-pixel gap; above it when the panel is at the bottom.
    const bool panelAtBottom = iconGeometry.center().y() > screen.center().y();
    QRect tile(0, 0, kTileSize, kTileSize);
    tile.moveLeft(iconGeometry.x() + iconGeometry.width() / 2 - kTileSize / 2);
    tile.moveTop(panelAtBottom ? iconGeometry.y() - kTileSize - 4
                               : iconGeometry.y() + iconGeometry.height() + 4);
    // Kept on the screen for an icon at its very edge.
    tile.moveLeft(qBound(screen.left(), tile.left(), screen.right() + 1 - kTileSize));
    return tile;
}

void DragSessionMonitor::showTile()
{
    // 1.
    if (!m_appContext || m_isShowingTile) {
        return;
    }
    // 2. The callbacks hold the monitor weakly.
    m_isShowingTile = true;
    auto *panel = new DropZoneTilePanel;
    panel->setOnExpand([self = QPointer(this)] {
        if (self) {
            self->expandToPopover();
        }
    });
    panel->setOnDragEnded([self = QPointer(this)] {
        if (self) {
            self->tileLeft();
        }
    });
    // 3. Under the icon; the top centre of the primary screen without one.
    const QRect icon = m_statusItemGeometry ? m_statusItemGeometry() : QRect();
    const QScreen *screen = icon.isEmpty() ? QGuiApplication::primaryScreen()
                                           : QGuiApplication::screenAt(icon.center());
    if (!screen) {
        screen = QGuiApplication::primaryScreen();
    }
    if (screen) {
        panel->setGeometry(tileGeometry(icon, screen->availableGeometry()));
    }
    // 4. In front, without taking focus from the application the drag comes from.
    panel->show();
    m_tilePanel = panel;
    m_cleanupTimer.start();
}

void DragSessionMonitor::tileLeft()
{
    QTimer::singleShot(kTileLeftDelay, this, [this] {
        if (m_isExpanded) {
            return;
        }
        if (!m_source->isLeftButtonPressed()) {
            endDragSession(false);
            return;
        }
        // The drag goes on elsewhere: the next drag event shows the tile again.
        dropTilePanel();
        m_isShowingTile = false;
    });
}

void DragSessionMonitor::expandToPopover()
{
    // 1.
    if (!m_appContext || m_isExpanded) {
        return;
    }
    // 2.
    m_isExpanded = true;
    dropTilePanel();
    m_isShowingTile = false;
    m_cleanupTimer.stop();
    // 3.
    m_appContext->setDropMode(true);
    // 4.
    if (m_showPopover) {
        m_showPopover();
    }
}

void DragSessionMonitor::endDragSession(bool force)
{
    // 1. A drop into the popover closes it shortly after the button is released.
    if (m_isExpanded && !force) {
        if (m_source->isLeftButtonPressed()) {
            return;
        }
        QTimer::singleShot(kCloseAfterDrop, this, [this] {
            if (m_isExpanded) {
                markContentStale();
                hideAll();
            }
        });
        return;
    }
    // 2.
    markContentStale();
    hideAll();
}

void DragSessionMonitor::hideAll()
{
    // 1.
    dropTilePanel();
    m_cleanupTimer.stop();
    // 2.
    const bool wasExpanded = std::exchange(m_isExpanded, false);
    m_isShowingTile = false;
    m_pendingDragCheck = false;
    // 3.
    if (m_appContext) {
        m_appContext->setDropMode(false);
    }
    // 4.
    if (wasExpanded && m_closePopover) {
        m_closePopover();
    }
}

void DragSessionMonitor::checkForStaleTile()
{
    if (!m_isShowingTile || m_isExpanded) {
        return;
    }
    // 1-2. Released somewhere this application did not hear of, or gone quiet for 2 s.
    if (!m_source->isLeftButtonPressed() ||
        (m_lastDragEvent.isValid() && m_lastDragEvent.elapsed() > kStaleAfterMs)) {
        endDragSession(false);
    }
}

void DragSessionMonitor::dropTilePanel()
{
    if (m_tilePanel) {
        m_tilePanel->hide();
        m_tilePanel->deleteLater();
    }
    m_tilePanel.clear();
}
