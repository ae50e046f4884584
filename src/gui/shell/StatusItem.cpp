#include "gui/shell/StatusItem.h"

#include "BuildConfig.h"
#include "core/shell/Logger.h"
#include "gui/popover/StatusItemPopoverView.h"
#include "gui/shell/AppContext.h"
#include "gui/shell/LocalClickMonitor.h"
#include "gui/shell/PopoverWindow.h"
#include "gui/shell/TrayHostWatcher.h"
#include "gui/shell/X11RawInputMonitor.h"
#include "gui/updater/Updater.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QFileInfo>
#include <QtGui/QCursor>
#include <QtGui/QGuiApplication>
#include <QtGui/QPainter>
#include <QtGui/QPalette>
#include <QtWidgets/QApplication>
#include <QtWidgets/QMenu>
#include <QtWidgets/QMessageBox>
#include <QtWidgets/QPushButton>

namespace {

// An activation this soon after a click closed the popover belongs to that click.
constexpr qint64 kClickActivationMs = 300;

// The glyph in opaque pixels on a transparent square: the image, or the product's first letter.
QPixmap glyph(const QString &iconResource, int side)
{
    if (QFileInfo::exists(iconResource)) {
        const QPixmap image = QIcon(iconResource).pixmap(side, side);
        if (!image.isNull()) {
            return image;
        }
    }
    QPixmap letter(side, side);
    letter.fill(Qt::transparent);
    QPainter painter(&letter);
    QFont font = QGuiApplication::font();
    font.setBold(true);
    font.setPixelSize(side * 4 / 5);
    painter.setFont(font);
    painter.setPen(Qt::black);
    painter.drawText(letter.rect(), Qt::AlignCenter,
                     QString::fromUtf8(BuildConfig::kBundleName).left(1));
    return letter;
}

QPixmap tinted(QPixmap shape, const QColor &color)
{
    QPainter painter(&shape);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(shape.rect(), color);
    return shape;
}

} // namespace

StatusItem::StatusItem(AppContext *context, const QString &iconResource, QObject *parent)
    : QObject(parent), m_appContext(context), m_iconResource(iconResource)
{}

StatusItem::~StatusItem()
{
    removePopoverClickMonitor();
    if (m_popover) {
        m_popover->disconnect(this);
    }
}

void StatusItem::setAppContext(AppContext *context)
{
    m_appContext = context;
}

void StatusItem::setupStatusItem()
{
    if (m_popover) {
        return;
    }
    // 1. The menu, kept apart from the icon: GNOME's AppIndicator extension opens an attached
    // menu on a primary click too.
    buildMenu();
    // 2. The popover's window; every way of hiding it ends in popoverDidClose.
    m_popover = std::make_unique<PopoverWindow>(PopoverWindow::isWaylandSession());
    connect(m_popover.get(), &PopoverWindow::closed, this, &StatusItem::popoverDidClose);
    connect(qApp, &QGuiApplication::focusWindowChanged, this, &StatusItem::focusChanged);
    // 3. The tray entry, once the desktop has a tray: Qt picks its kind at the first icon. A
    // host that restarts later is Qt's business; the icon docks again by itself.
    if (TrayHostWatcher::isHostPresent()) {
        createTrayIcon();
        return;
    }
    Logger::warn(QStringLiteral("[AppDelegate] No system tray available; the tray icon "
                                "appears when one starts, until then starting the app "
                                "again opens the popover"));
    m_trayHostWatcher = std::make_unique<TrayHostWatcher>();
    connect(m_trayHostWatcher.get(), &TrayHostWatcher::appeared, this, [this] {
        m_trayHostWatcher.release()->deleteLater();
        createTrayIcon();
    });
    m_trayHostWatcher->waitForHost();
}

void StatusItem::createTrayIcon()
{
    // Its image, or the product's first letter; primary and secondary clicks come here.
    m_statusItem = new QSystemTrayIcon(this);
    m_statusItem->setIcon(menuBarIcon(m_iconResource));
    m_statusItem->setToolTip(QString::fromUtf8(BuildConfig::kBundleName));
    connect(m_statusItem, &QSystemTrayIcon::activated, this, &StatusItem::statusItemClicked);
    m_statusItem->show();
}

void StatusItem::buildMenu()
{
    m_statusItemMenu = std::make_unique<QMenu>();
    m_statusItemMenu->addAction(QStringLiteral("About Vorlanta Creator"), this,
                                &StatusItem::showAbout);
    m_statusItemMenu->addAction(QStringLiteral("Check for Updates..."), this,
                                &StatusItem::checkForUpdates);
    m_statusItemMenu->addSeparator();
    QAction *quit = m_statusItemMenu->addAction(QStringLiteral("Quit Vorlanta Creator"), this,
                                                &StatusItem::quitApp);
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
}

QIcon StatusItem::menuBarIcon(const QString &iconResource)
{
    const QPalette palette = QGuiApplication::palette();
    QIcon icon;
    for (const int side : {16, 22, 24, 32, 48}) {
        const QPixmap shape = glyph(iconResource, side);
        QPixmap drawn(side, side);
        drawn.fill(Qt::transparent);
        QPainter painter(&drawn);
        const QPixmap outline = tinted(shape, palette.color(QPalette::Window));
        for (const QPoint offset : {QPoint(-1, 0), QPoint(1, 0), QPoint(0, -1), QPoint(0, 1)}) {
            painter.drawPixmap(offset, outline);
        }
        painter.drawPixmap(0, 0, tinted(shape, palette.color(QPalette::WindowText)));
        painter.end();
        icon.addPixmap(drawn);
    }
    return icon;
}

bool StatusItem::isPopoverShown() const
{
    return m_popover && m_popover->isVisible();
}

QRect StatusItem::iconGeometry() const
{
    if (!m_statusItem || !QSystemTrayIcon::isSystemTrayAvailable()) {
        return {};
    }
    const QRect geometry = m_statusItem->geometry();
    return geometry.isValid() ? geometry : QRect();
}

bool StatusItem::ownsWindow(const QWidget *window) const
{
    return m_popover && m_popover->isOwnWindow(window);
}

void StatusItem::showPopoverIfHidden()
{
    if (m_popover && !isPopoverShown()) {
        showPopover();
    }
}

void StatusItem::statusItemClicked(QSystemTrayIcon::ActivationReason reason)
{
    switch (reason) {
    case QSystemTrayIcon::Context:
        // The secondary click: the menu at the pointer, never left attached to the icon.
        m_statusItemMenu->popup(QCursor::pos());
        return;
    case QSystemTrayIcon::Trigger:
    case QSystemTrayIcon::DoubleClick:
        // Without the icon's place, a click on it first counts as a click outside the popover;
        // its activation must not open the popover that click has just closed.
        if (m_closedByClickWithoutIcon.isValid() &&
            m_closedByClickWithoutIcon.elapsed() < kClickActivationMs) {
            m_closedByClickWithoutIcon.invalidate();
            return;
        }
        togglePopover();
        return;
    case QSystemTrayIcon::MiddleClick:
    case QSystemTrayIcon::Unknown:
        return;
    }
}

void StatusItem::togglePopover()
{
    if (!m_popover) {
        return;
    }
    if (isPopoverShown()) {
        closePopover();
    } else {
        showPopover();
    }
}

void StatusItem::showPopover()
{
    // 1. An open popover is closed first.
    if (isPopoverShown()) {
        closePopover();
    }
    // 2. Fresh content.
    updatePopoverContent();
    // 3. Nothing to show before the status item exists.
    if (!m_popover) {
        return;
    }
    // 4. Below the icon; at the pointer when the tray does not say where the icon is.
    m_popoverHadFocus = false;
    m_popover->showAt(iconGeometry());
    // 5. Watch for clicks elsewhere.
    removePopoverClickMonitor();
    addPopoverClickMonitor();
}

void StatusItem::closePopover()
{
    if (isPopoverShown()) {
        m_popover->hide();
    }
}

void StatusItem::updatePopoverContent()
{
    if (!m_appContext || !m_popover) {
        return;
    }
    QPointer<StatusItem> self = this;
    m_popover->setContent(new StatusItemPopoverView(
        m_appContext,
        [self] {
            if (self) {
                self->closePopover();
            }
        },
        m_popover.get()));
}

void StatusItem::addPopoverClickMonitor()
{
    QPointer<StatusItem> self = this;
    // Presses in other applications' windows; the windows of this application are the local
    // monitor's. Raw events carry no position: the pointer is where the press was.
    X11RawInputMonitor &rawInput = X11RawInputMonitor::shared();
    if (!m_popover->isDecorated() && rawInput.isAvailable() && !m_popoverGlobalClickMonitor) {
        rawInput.subscribe(X11RawInputMonitor::kRawButtonPress);
        m_popoverGlobalClickMonitor = connect(
            &rawInput, &X11RawInputMonitor::rawEvent, this, [self](uint16_t type, uint32_t button) {
                const QPoint position = QCursor::pos();
                if (type != X11RawInputMonitor::kRawButtonPress || (button != 1 && button != 3) ||
                    QGuiApplication::topLevelAt(position)) {
                    return;
                }
                QMetaObject::invokeMethod(
                    self,
                    [self, position] {
                        if (self) {
                            self->handleClickOutsidePopover(position, nullptr);
                        }
                    },
                    Qt::QueuedConnection);
            });
    }
    if (!m_popoverLocalClickMonitor) {
        m_popoverLocalClickMonitor =
            std::make_unique<LocalClickMonitor>([self](const QPoint &position, QWidget *window) {
                if (self) {
                    self->handleClickOutsidePopover(position, window);
                }
            });
    }
}

void StatusItem::removePopoverClickMonitor()
{
    if (m_popoverGlobalClickMonitor) {
        disconnect(m_popoverGlobalClickMonitor);
        m_popoverGlobalClickMonitor = {};
        X11RawInputMonitor::shared().unsubscribe(X11RawInputMonitor::kRawButtonPress);
    }
    m_popoverLocalClickMonitor.reset();
}

void StatusItem::handleClickOutsidePopover(const QPoint &position, QWidget *window)
{
    // 1. Only while the popover is shown.
    if (!isPopoverShown()) {
        return;
    }
    // 2. A popover without content has nothing to keep open.
    if (!m_popover->content()) {
        closePopover();
        return;
    }
    // 3. Both monitors report screen positions.
    // 4. A click in the popover, or in a menu or alert that it opened, keeps it.
    if (m_popover->frameGeometry().contains(position) || ownsWindow(window)) {
        return;
    }
    // 5. A click on the icon is left to the icon's own activation, which toggles the popover.
    const QRect icon = iconGeometry();
    if (icon.contains(position)) {
        return;
    }
    // 6. Anywhere else closes it.
    if (icon.isEmpty()) {
        m_closedByClickWithoutIcon.start();
    }
    closePopover();
}

void StatusItem::focusChanged()
{
    if (!isPopoverShown()) {
        return;
    }
    // The popover only counts as left once it has had focus: it gets it a moment after it shows.
    if (ownsWindow(QApplication::activeWindow())) {
        m_popoverHadFocus = true;
    } else if (m_popoverHadFocus) {
        closePopover();
    }
}

void StatusItem::popoverDidClose()
{
    // Run at once rather than from the event loop: a popover shown again right away must keep
    // the drop mode and the monitors of its new showing.
    if (m_appContext) {
        m_appContext->setDropMode(false);
    }
    Q_EMIT popoverClosed();
    removePopoverClickMonitor();
}

void StatusItem::showAbout()
{
    // 1. The version and build of this build.
    const auto orUnknown = [](const char *value) {
        return *value ? QString::fromUtf8(value) : QStringLiteral("Unknown");
    };
    const QString version = orUnknown(BuildConfig::kShortVersion);
    const QString build = orUnknown(BuildConfig::kBuildNumber);
    // 2. A modal alert with "OK" first.
    QMessageBox box(QMessageBox::Information, QStringLiteral("About Vorlanta Creator"),
                    QStringLiteral("Vorlanta Creator"));
    box.setInformativeText(QStringLiteral("Version ") + version + QStringLiteral(" (") + build +
                           QStringLiteral(")\n\nA Linux tray app for content creators to manage "
                                          "video editing projects with Vorlanta."));
    QPushButton *ok = box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
    QPushButton *uninstall = box.addButton(QStringLiteral("Uninstall..."), QMessageBox::ResetRole);
    box.setDefaultButton(ok);
    // Escape and the window's close button mean OK; without this the dialog ignores both.
    box.setEscapeButton(ok);
    box.exec();
    // 3. The uninstall flow asks for itself.
    if (box.clickedButton() == uninstall) {
        Q_EMIT uninstallRequested();
    }
}

void StatusItem::checkForUpdates()
{
    // Runs detached; the menu returns at once.
    Updater::shared().checkForUpdatesManually();
}

void StatusItem::quitApp()
{
    // 1. The popover.
    closePopover();
    // 2. The two work windows.
    if (m_appContext) {
        for (QWidget *window :
             {m_appContext->quickProjectWindow(), m_appContext->missingFilesWindow()}) {
            if (window) {
                window->close();
            }
        }
    }
    // 3. Every other window; closing one may delete another.
    QList<QPointer<QWidget>> windows;
    for (QWidget *window : QApplication::topLevelWidgets()) {
        windows.append(window);
    }
    for (const QPointer<QWidget> &window : std::as_const(windows)) {
        if (window && window->isVisible()) {
            window->close();
        }
    }
    // 4. The usual termination, which runs applicationWillTerminate.
    QCoreApplication::quit();
}
