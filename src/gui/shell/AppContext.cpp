#include "gui/shell/AppContext.h"

#include "core/shell/Logger.h"
#include "core/shell/PendingServiceActions.h"
#include "gui/setup/SetupWindowManager.h"
#include "gui/shell/NotificationCenter.h"
#include "gui/shell/ServiceProvider.h"
#include "gui/shell/StartupNotification.h"
#include "gui/shell/WorkWindow.h"
#include "gui/windows/MissingFilesView.h"
#include "gui/windows/QuickProjectView.h"

#include <QtCore/QFileInfo>

namespace {

QString count(qsizetype n)
{
    return QString::number(n);
}

} // namespace

AppContext::AppContext(QObject *parent)
    : QObject(parent), m_setupWindowManager(new SetupWindowManager(this))
{}

AppContext::~AppContext()
{
    // The windows are top-level widgets: they go with the context they report to.
    delete m_quickProjectWindow.data();
    delete m_missingFilesWindow.data();
}

void AppContext::setAppState(AuthTokenReceiver *state)
{
    if (m_appState == state) {
        return;
    }
    m_appState = state;
    Q_EMIT appStateChanged();
}

ServiceProvider *AppContext::serviceProvider() const
{
    return m_serviceProvider;
}

void AppContext::setServiceProvider(ServiceProvider *provider)
{
    m_serviceProvider = provider;
    Q_EMIT serviceProviderChanged();
    Logger::info(QStringLiteral("[AppContext] serviceProvider didSet, setting appContext "
                                "reference and processing pending actions"));
    // The provider asks this context for windows from now on.
    if (provider) {
        provider->setAppContext(this);
    }
    processPendingServiceActions();
}

void AppContext::setDropMode(bool on)
{
    if (m_isDropMode == on) {
        return;
    }
    m_isDropMode = on;
    Q_EMIT isDropModeChanged(on);
}

QWidget *AppContext::quickProjectWindow() const
{
    return m_quickProjectWindow;
}

QWidget *AppContext::missingFilesWindow() const
{
    return m_missingFilesWindow;
}

void AppContext::openQuickProjectWindow(const QList<QUrl> &urls)
{
    openWindow({QStringLiteral("openQuickProjectWindow"), QStringLiteral("Quick Project"),
                QString::fromLatin1(NotificationCenter::kAddFilesToQuickProject)},
               urls, m_quickProjectWindow,
               [this](const QList<QUrl> &initial) { return createQuickProjectWindow(initial); });
}

void AppContext::openMissingFilesWindow(const QList<QUrl> &urls)
{
    openWindow({QStringLiteral("openMissingFilesWindow"), QStringLiteral("Missing Files"),
                QString::fromLatin1(NotificationCenter::kAddFilesToMissingFiles)},
               urls, m_missingFilesWindow,
               [this](const QList<QUrl> &initial) { return createMissingFilesWindow(initial); });
}

void AppContext::openWindow(const WindowWords &words, const QList<QUrl> &urls,
                            QPointer<WorkWindow> &window,
                            const std::function<WorkWindow *(const QList<QUrl> &)> &create)
{
    const QString prefix = QStringLiteral("[AppContext] ");
    Logger::info(prefix + words.call + QStringLiteral(" called with ") + count(urls.size()) +
                 QStringLiteral(" file(s)"));
    // Without a provider the windows have no client: the request is dropped.
    if (!m_serviceProvider) {
        Logger::error(prefix + QStringLiteral("Cannot open ") + words.name +
                      QStringLiteral(" window: serviceProvider is nil"));
        return;
    }
    // An open window takes the files itself.
    if (window) {
        Logger::info(prefix + words.name +
                     QStringLiteral(" window exists, focusing and adding files"));
        focus(window);
        if (!urls.isEmpty()) {
            Logger::info(prefix + QStringLiteral("Posting notification to add ") +
                         count(urls.size()) + QStringLiteral(" file(s) to existing window"));
            NotificationCenter::defaultCenter().post(
                words.notification,
                {{QString::fromLatin1(NotificationCenter::kFilesKey), QVariant::fromValue(urls)}});
        }
        return;
    }
    // Otherwise a new window, remembered weakly and brought to the front.
    Logger::info(prefix + QStringLiteral("Creating new ") + words.name +
                 QStringLiteral(" window with ") + count(urls.size()) +
                 QStringLiteral(" initial file(s)"));
    window = create(urls);
    connect(window, &WorkWindow::willClose, this, &AppContext::windowWillClose);
    focus(window);
    Logger::info(prefix + words.name + QStringLiteral(" window created and focused"));
}

WorkWindow *AppContext::createQuickProjectWindow(const QList<QUrl> &urls)
{
    auto *view = new QuickProjectView(urls, [provider = m_serviceProvider] {
        return provider ? provider->getApiClient() : nullptr;
    });
    auto *window = new WorkWindow(view, QStringLiteral("Quick Project"), QSize(600, 800),
                                  [view] { return view->isBusy(); });
    connect(view, &QuickProjectView::idle, window, &WorkWindow::viewBecameIdle);
    connect(view, &QuickProjectView::finishRequested, window, [window] {
        NotificationCenter::defaultCenter().post(
            QString::fromLatin1(NotificationCenter::kOpenDashboardRequested));
        window->close();
    });
    return window;
}

WorkWindow *AppContext::createMissingFilesWindow(const QList<QUrl> &urls)
{
    auto *view = new MissingFilesView(urls, [provider = m_serviceProvider] {
        return provider ? provider->getApiClient() : nullptr;
    });
    auto *window = new WorkWindow(view, QStringLiteral("Send Missing Files"), QSize(600, 720),
                                  [view] { return view->isBusy(); });
    connect(view, &MissingFilesView::idle, window, &WorkWindow::viewBecameIdle);
    return window;
}

void AppContext::focus(QWidget *window)
{
    Logger::info(QStringLiteral("[AppContext] Focusing window: ") + window->windowTitle());
    const StartupActivation activation =
        m_serviceProvider ? m_serviceProvider->takeStartupActivation() : StartupActivation{};
    window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
    StartupNotification::prepare(window, activation);
    window->show();
    window->raise();
    window->activateWindow();
    StartupNotification::complete(window, activation);
}

void AppContext::windowWillClose(QObject *window)
{
    if (window && window == m_quickProjectWindow) {
        m_quickProjectWindow.clear();
    } else if (window && window == m_missingFilesWindow) {
        m_missingFilesWindow.clear();
    }
}

void AppContext::processPendingServiceActions()
{
    Logger::info(QStringLiteral("[AppContext] Processing pending service actions"));
    // Each slot is cleared before the window is asked for, so a failed request is not delivered
    // twice.
    if (const std::optional<QStringList> paths =
            PendingServiceActions::shared().takeQuickProjectPaths()) {
        const QList<QUrl> urls = convertPathsToURLs(*paths);
        Logger::info(QStringLiteral("[AppContext] Processing pending Quick Project with ") +
                     count(urls.size()) + QStringLiteral(" file(s)"));
        openQuickProjectWindow(urls);
    }
    if (const std::optional<QStringList> paths =
            PendingServiceActions::shared().takeMissingFilesPaths()) {
        const QList<QUrl> urls = convertPathsToURLs(*paths);
        Logger::info(QStringLiteral("[AppContext] Processing pending Send Missing Files with ") +
                     count(urls.size()) + QStringLiteral(" file(s)"));
        openMissingFilesWindow(urls);
    }
}

QList<QUrl> AppContext::convertPathsToURLs(const QStringList &paths)
{
    QList<QUrl> urls;
    for (const QString &path : paths) {
        if (QFileInfo::exists(path)) {
            urls.append(QUrl::fromLocalFile(path));
        }
    }
    return urls;
}
