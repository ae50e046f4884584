#include "gui/shell/AppDelegate.h"

#include "BuildConfig.h"
#include "core/api/AppState.h"
#include "core/queue/JobWorker.h"
#include "core/queue/MissingFilesWatcher.h"
#include "core/queue/QueueCollector.h"
#include "core/shell/ArgumentRouter.h"
#include "core/shell/AuthTokenReceiver.h"
#include "core/shell/Console.h"
#include "core/shell/LaunchAgent.h"
#include "core/shell/Logger.h"
#include "core/shell/PendingAuthToken.h"
#include "core/shell/PendingServiceActions.h"
#include "core/upload/StagingArea.h"
#include "gui/droptile/DragSessionMonitor.h"
#include "gui/setup/SetupWindowManager.h"
#include "gui/shell/AccountSwitchPrompt.h"
#include "gui/shell/AppContext.h"
#include "gui/shell/NautilusScripts.h"
#include "gui/shell/NotificationCenter.h"
#include "gui/shell/ServiceProvider.h"
#include "gui/shell/StatusItem.h"
#include "gui/updater/Updater.h"
#include "gui/web/WebSession.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QFileInfo>
#include <QtCore/QTimer>
#include <QtCore/QUrlQuery>
#include <QtGui/QGuiApplication>
#include <QtGui/QWindow>
#include <QtWidgets/QApplication>
#include <QtWidgets/QWidget>

#include <cstdio>

namespace {

QString orNil(const char *value)
{
    return (value && *value) ? QString::fromUtf8(value) : QStringLiteral("nil");
}

bool isPanel(Qt::WindowType type)
{
    return type == Qt::Tool || type == Qt::Popup || type == Qt::ToolTip || type == Qt::SplashScreen;
}

} // namespace

AppDelegate::AppDelegate(const QStringList &arguments, const QStringList &launchUrls,
                         QObject *parent)
    : QObject(parent), m_arguments(arguments), m_launchUrls(launchUrls)
{
    // 1. No app context until the bridge is made.
    // 2. The missing-files watcher, not yet watching.
    m_missingFilesWatcher = std::make_unique<MissingFilesWatcher>();
    // 3. The queue collector, not yet monitoring.
    m_queueCollector = std::make_unique<QueueCollector>();
    // 4. Single-instance check; a second process forwards its URLs and asks to be ended.
    connect(&m_singleInstanceManager, &SingleInstanceManager::terminationRequested, this,
            &AppDelegate::terminate);
    connect(&m_singleInstanceManager, &SingleInstanceManager::activationRequested, this,
            [this] { applicationShouldHandleReopen(anyWindowVisible()); });
    connect(&m_singleInstanceManager, &SingleInstanceManager::urlsReceived, this,
            [this](const QStringList &urls) {
                QList<QUrl> parsed;
                for (const QString &url : urls) {
                    parsed.append(QUrl(url));
                }
                applicationOpenUrls(parsed);
            });
    connect(
        &m_singleInstanceManager, &SingleInstanceManager::openOptionReceived, this,
        [this](const QStringList &forwarded) {
            // Parked as if this instance had been started with it; a context that has taken
            // its parked requests already would never look again, so it is handed this one.
            if (parkOpenRequest(ArgumentRouter::route(forwarded)) && m_appContext &&
                m_appContext->serviceProvider()) {
                m_appContext->processPendingServiceActions();
            }
        },
        // Out of the socket's read: opening a window runs the event loop.
        Qt::QueuedConnection);
    connect(&m_singleInstanceManager, &SingleInstanceManager::serviceRequested, this,
            &AppDelegate::handleServiceRequest);
    m_singleInstanceManager.checkSingleInstance(m_launchUrls);
    // 5. Optional fields stay empty.
    // 6-7. The provider reloads the saved credentials whenever a window asks it for a client,
    // so it starts without them: reading them here would hold the launch up while the Secret
    // Service is slow to answer.
    m_servicesProvider = std::make_unique<ServiceProvider>(AuthState{});
    // 8. Kept for the context, which takes it when it exists.
    m_pendingProvider = m_servicesProvider.get();
    // 9. Requests are accepted from now on, parked until the context is ready.
    registerServicesProviderImmediately();
}

void AppDelegate::registerServicesProviderImmediately()
{
    // 1-2. Both entry points exist by construction.
    Logger::info(QStringLiteral("[AppDelegate] ServiceProvider responds quick? true, missing? "
                                "true"));
    // 3. The local socket of the single-instance guard is the one port; it goes by the
    // application's identifier and name.
    QStringList ports;
    for (const char *name : {BuildConfig::kBundleIdentifier, BuildConfig::kBundleName}) {
        if (name && *name) {
            ports.append(QString::fromUtf8(name));
        }
    }
    for (const QString &port : std::as_const(ports)) {
        Logger::info(QStringLiteral("[AppDelegate] Registered services provider for port: ") +
                     port);
    }
    Logger::info(QStringLiteral("[AppDelegate] Services provider registered immediately during "
                                "init"));
    // 4. Finds no context yet during start-up.
    applyAppContextIfReady();
}

void AppDelegate::handleServiceRequest(const QString &message, const ServicePasteboard &pasteboard,
                                       const QString &startupId, const QString &activationToken)
{
    m_servicesProvider->setStartupActivation({startupId, activationToken});
    if (message == QLatin1String("quickProject")) {
        m_servicesProvider->quickProject(pasteboard);
    } else {
        m_servicesProvider->sendMissingFiles(pasteboard);
    }
}

AppDelegate::~AppDelegate()
{
    // The job worker may call back into this object until its loop has ended.
    JobWorker::setErrorCallback(nullptr);
}

AppContext *AppDelegate::appContext() const
{
    return m_appContext;
}

AppState *AppDelegate::appState() const
{
    return m_appState;
}

void AppDelegate::setAppContext(AppContext *context)
{
    m_appContext = context;
    if (m_statusItem) {
        m_statusItem->setAppContext(context);
    }
    applyAppContextIfReady();
}

void AppDelegate::setupStatusItem()
{
    if (!m_statusItem) {
        m_statusItem = std::make_unique<StatusItem>(m_appContext);
        m_statusItem->setupStatusItem();
        // Queued: the About dialog has closed before the confirmation opens.
        connect(m_statusItem.get(), &StatusItem::uninstallRequested, this,
                &AppDelegate::showUninstallConfirmation, Qt::QueuedConnection);
        // However the popover closed, a drag that opened it is over.
        connect(m_statusItem.get(), &StatusItem::popoverClosed, this,
                [] { DragSessionMonitor::shared().popoverDidClose(); });
    }
}

void AppDelegate::applicationDidFinishLaunching()
{
    // 1. Identify the bundle.
    Console::printLine(QStringLiteral("[AppDelegate] bundleIdentifier=") +
                       orNil(BuildConfig::kBundleIdentifier) + QStringLiteral(" CFBundleName=") +
                       orNil(BuildConfig::kBundleName));
    // 3. The dashboard opens on request from any window.
    connect(&NotificationCenter::defaultCenter(), &NotificationCenter::posted, this,
            [this](const QString &name) {
                if (name == QLatin1String(NotificationCenter::kOpenDashboardRequested)) {
                    openDashboardWindow();
                }
            });

    // 4. A second instance has asked the first to activate; it ends here, once its options are
    // routed: a job file needs no window, and the running instance opens the requested one.
    if (!m_singleInstanceManager.isSingleInstance()) {
        finishAsSecondInstance();
        return;
    }

    // 5. Command-line options: a job command writes its job and ends the process; an open
    // command parks its paths for the work window.
    if (!m_arguments.isEmpty()) {
        const ArgumentRouter::RouteResult routed = ArgumentRouter::route(m_arguments);
        if (routed.kind == ArgumentRouter::RouteResult::Kind::handled) {
            terminate();
            return;
        }
        parkOpenRequest(routed);
    }

    // 2. The tray entry, made only by an instance that stays: a second instance or a job
    // command ends above.
    setupStatusItem();

    // 6. The launch task, on the main thread, holding the delegate weakly.
    QTimer::singleShot(0, this, [self = QPointer<AppDelegate>(this)] {
        if (self) {
            self->runLaunchTask();
        }
    });

    // 7. The update check runs detached, without waiting for the launch task.
    Updater::shared().checkForUpdatesOnLaunch();

    // URLs this process was started with arrive like the desktop's URL events, after launch.
    if (!m_launchUrls.isEmpty()) {
        QList<QUrl> urls;
        for (const QString &url : std::as_const(m_launchUrls)) {
            urls.append(QUrl(url));
        }
        QTimer::singleShot(0, this, [this, urls] { applicationOpenUrls(urls); });
    }
}

bool AppDelegate::parkOpenRequest(const ArgumentRouter::RouteResult &routed)
{
    switch (routed.kind) {
    case ArgumentRouter::RouteResult::Kind::openQuickProject:
        Logger::info(
            QStringLiteral("[AppDelegate] Processing CLI argument: openQuickProject with ") +
            QString::number(routed.paths.size()) + QStringLiteral(" paths"));
        PendingServiceActions::shared().setQuickProjectPaths(routed.paths);
        return true;
    case ArgumentRouter::RouteResult::Kind::openMissingFiles:
        Logger::info(
            QStringLiteral("[AppDelegate] Processing CLI argument: openMissingFiles with ") +
            QString::number(routed.paths.size()) + QStringLiteral(" paths"));
        PendingServiceActions::shared().setMissingFilesPaths(routed.paths);
        return true;
    case ArgumentRouter::RouteResult::Kind::none:
    case ArgumentRouter::RouteResult::Kind::handled:
        break;
    }
    return false;
}

void AppDelegate::finishAsSecondInstance()
{
    using Kind = ArgumentRouter::RouteResult::Kind;
    const ArgumentRouter::RouteResult routed =
        m_arguments.isEmpty() ? ArgumentRouter::RouteResult{} : ArgumentRouter::route(m_arguments);
    QString failure;
    if (routed.kind == Kind::handled && !routed.jobWritten) {
        failure = QStringLiteral("no job was written for: ") + m_arguments.join(QLatin1Char(' '));
    } else if (routed.kind == Kind::openQuickProject || routed.kind == Kind::openMissingFiles) {
        // The running instance has another working directory.
        QStringList paths;
        for (const QString &path : routed.paths) {
            paths.append(QFileInfo(path).absoluteFilePath());
        }
        if (!m_singleInstanceManager.forwardOpenOption(ArgumentRouter::openOption(routed.kind),
                                                       paths)) {
            failure = QStringLiteral("the running instance did not take the request: ") +
                      m_arguments.join(QLatin1Char(' '));
        }
    }
    if (failure.isEmpty()) {
        terminate();
        return;
    }
    std::fprintf(stderr, "vorlanta-creator: %s\n", qPrintable(failure));
    std::fflush(stderr);
    QCoreApplication::exit(1);
}

QCoro::Task<> AppDelegate::runLaunchTask()
{
    QPointer<AppDelegate> self = this;
    // 1. The authentication state checks the saved token before it is handed on.
    const QString baseURL = QString::fromUtf8(BuildConfig::kApiBaseUrl);
    AppState *state = co_await AppState::create(baseURL, this);
    if (!self) {
        co_return;
    }
    m_appState = state;
    m_pendingAppState = state;
    WebSession::attach(state);
    state->confirmAccountSwitch = &AccountSwitchPrompt::ask;
    // 2. Hand what exists to the context.
    applyAppContextIfReady();
    // 3.
    Console::printLine(QStringLiteral("[AppDelegate] App state/provider ready"));
    // 4. Start at login; Nautilus reads scripts only from the user's home. Copies that a killed
    // upload left in the temporary directory go.
    LaunchAgent::installLaunchAgentIfNeeded();
    NautilusScripts::installIfMissing();
    if (const int removed = StagingArea::removeLeftovers(); removed > 0) {
        Logger::info(QStringLiteral("[AppDelegate] Removed the staged copies of ") +
                     QString::number(removed) + QStringLiteral(" ended upload process(es)"));
    }
    // 5. The inbox watcher, then the collector.
    m_missingFilesWatcher->startWatching();
    m_queueCollector->startMonitoring();
    // 6. Whole-job failures become the state's error message, on the main thread.
    JobWorker::setErrorCallback([self](const QString &message) {
        QMetaObject::invokeMethod(
            self,
            [self, message] {
                if (!self) {
                    return;
                }
                if (self->m_appState) {
                    self->m_appState->setErrorMessage(message);
                }
                Q_EMIT self->jobErrorReported(message);
            },
            Qt::QueuedConnection);
    });
    // 7.
    JobWorker::start();
    // 8. Deliver a token that arrived through the custom URL scheme.
    processPendingAuthToken();
    Q_EMIT launchTaskFinished();
}

void AppDelegate::applicationWillTerminate()
{
    // In the order they were started: the watcher, the collector, the job worker.
    m_missingFilesWatcher->stopWatching();
    m_queueCollector->stopMonitoring();
    JobWorker::stop();
    // A copy under way is abandoned; its job stays queued for the next start.
    JobWorker::shutdown();
    DragSessionMonitor::shared().stopMonitoring();
    // The popover's click monitors.
    if (m_statusItem) {
        m_statusItem->removePopoverClickMonitor();
    }
    Logger::flush();
}

void AppDelegate::applicationOpenUrls(const QList<QUrl> &urls)
{
    for (const QUrl &url : urls) {
        // 1. Only our scheme; anything else is ignored silently.
        if (url.scheme().toLower() != QLatin1String("vorlanta-creator")) {
            continue;
        }
        // 2. Hosts are compared lowercased.
        const QString host = url.host().toLower();
        if (host.isEmpty()) {
            continue;
        }
        if (host != QLatin1String("auth")) {
            Logger::warn(QStringLiteral("[AppDelegate] Unknown host for custom URL scheme: ") +
                         host);
            continue;
        }
        // 3. The auth callback.
        handleAuthCallback(url);
    }
}

void AppDelegate::handleAuthCallback(const QUrl &url)
{
    std::optional<QString> token;
    if (url.isValid() && url.hasQuery()) {
        const QUrlQuery query(url);
        // The first item named exactly "token"; names are case-sensitive.
        for (const auto &item : query.queryItems(QUrl::FullyDecoded)) {
            if (item.first == QLatin1String("token")) {
                token = item.second;
                break;
            }
        }
    }
    if (!token || token->isEmpty()) {
        Logger::warn(QStringLiteral("[AppDelegate] Auth callback missing token"));
        return;
    }
    Logger::info(QStringLiteral("[AppDelegate] Received auth token via custom URL"));
    PendingAuthToken::shared().store(*token);
    processPendingAuthToken();
}

void AppDelegate::processPendingAuthToken()
{
    // 1. The context's state if it has one, else the pending one; with neither, the token waits.
    AuthTokenReceiver *state =
        (m_appContext && m_appContext->appState()) ? m_appContext->appState() : m_pendingAppState;
    if (!state) {
        return;
    }
    // 2. Take the token out exactly once, then sign in from the event loop.
    const std::optional<QString> token = PendingAuthToken::shared().consume();
    if (!token) {
        return;
    }
    QTimer::singleShot(0, this, [this, state, value = *token] {
        // The state may have been replaced meanwhile: sign in only one still known here, else
        // park the token again for whichever state comes next.
        if (state == m_pendingAppState || (m_appContext && m_appContext->appState() == state)) {
            state->loginWithToken(value);
            return;
        }
        PendingAuthToken::shared().restore(value);
        processPendingAuthToken();
    });
}

void AppDelegate::applyAppContextIfReady()
{
    // 1.
    if (!m_appContext) {
        Logger::info(
            QStringLiteral("[AppDelegate] applyAppContextIfReady: appContext is nil, skipping"));
        return;
    }
    // 2.
    Logger::info(QStringLiteral(
        "[AppDelegate] applyAppContextIfReady: appContext available, applying state and provider"));
    // 3. Hand over the authentication state; the setup window follows its status.
    if (m_pendingAppState) {
        m_appContext->setAppState(m_pendingAppState);
        m_appContext->setupWindowManager()->bind(dynamic_cast<AppState *>(m_pendingAppState));
    }
    // 4. The context links the provider back and delivers what it finds parked.
    if (m_pendingProvider) {
        m_appContext->setServiceProvider(m_pendingProvider);
    }
    // 5. Requests parked by the command line or by early service requests.
    m_appContext->processPendingServiceActions();
    Logger::info(QStringLiteral("[AppDelegate] applyAppContextIfReady: pending actions processed"));
    // 6. Deliver a parked token.
    processPendingAuthToken();
    // 7. The drag-session monitor, anchored to the tray icon (which may come later).
    configureDragSessionMonitor();
}

void AppDelegate::configureDragSessionMonitor()
{
    DragSessionMonitor &monitor = DragSessionMonitor::shared();
    monitor.setAppContext(m_appContext);
    monitor.setStatusItemGeometry([self = QPointer(this)] {
        return self && self->m_statusItem ? self->m_statusItem->iconGeometry() : QRect();
    });
    monitor.setShowPopover([self = QPointer(this)] {
        if (self && self->m_statusItem) {
            self->m_statusItem->showPopoverIfHidden();
        }
    });
    monitor.setClosePopover([self = QPointer(this)] {
        if (self && self->m_statusItem) {
            self->m_statusItem->closePopover();
        }
    });
    monitor.startMonitoring();
}

void AppDelegate::openDashboardWindow()
{
    // 1. The one dashboard window, found by its identifier.
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (widget->objectName() == QLatin1String("dashboard")) {
            widget->show();
            widget->raise();
            widget->activateWindow();
            return;
        }
    }
    // 2. Nothing to show without a signed-in state.
    if (!m_appContext || !m_appContext->appState()) {
        return;
    }
    // 3. A new one, from the web module.
    WebSession::openDashboard();
}

bool AppDelegate::applicationShouldHandleReopen(bool hasVisibleWindows)
{
    // 1. With no window to show, a tray application's way to come forward is its popover; that
    // is also how the user reaches it when there is no tray at all.
    if (!hasVisibleWindows) {
        if (m_statusItem) {
            m_statusItem->showPopoverIfHidden();
        }
        return false;
    }
    // 2. With visible windows, bring them forward as on activation; activating the application
    // itself is the window manager's business on Linux.
    applicationDidBecomeActive();
    return false;
}

void AppDelegate::applicationDidBecomeActive()
{
    // Widget windows are judged by their widget (title, object name as the identifier); plain
    // windows by themselves.
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        // The popover comes and goes with its own clicks; panels (the drop tile) and menus are
        // left alone.
        if ((m_statusItem && m_statusItem->ownsWindow(widget)) || isPanel(widget->windowType())) {
            continue;
        }
        if (widget->windowTitle().isEmpty() && widget->objectName().isEmpty()) {
            continue;
        }
        if (widget->isVisible()) {
            widget->raise();
        } else {
            widget->show();
            widget->raise();
            widget->activateWindow();
        }
    }
    for (QWindow *window : QGuiApplication::topLevelWindows()) {
        if (window->inherits("QWidgetWindow") || isPanel(window->type())) {
            continue;
        }
        if (window->title().isEmpty() && window->objectName().isEmpty()) {
            continue;
        }
        if (window->isVisible()) {
            window->raise();
        } else {
            window->show();
            window->raise();
            window->requestActivate();
        }
    }
}

bool AppDelegate::anyWindowVisible()
{
    for (const QWindow *window : QGuiApplication::topLevelWindows()) {
        if (window->isVisible()) {
            return true;
        }
    }
    return false;
}

void AppDelegate::terminate()
{
    if (QCoreApplication::instance()) {
        QCoreApplication::quit();
    }
}
