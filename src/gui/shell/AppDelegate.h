#pragma once

#include "core/shell/ArgumentRouter.h"
#include "core/shell/SingleInstanceManager.h"

#include <QCoro/QCoroTask>
#include <QtCore/QObject>
#include <QtCore/QPointer>
#include <QtCore/QStringList>
#include <QtCore/QUrl>

#include <memory>

class AppContext;
class AppState;
class MissingFilesWatcher;
class QueueCollector;
class AuthTokenReceiver;
class ServiceProvider;
class StatusItem;

// Receives the application's life-cycle events, owns the long-lived workers and starts them in
// a fixed order. Everything here runs on the main thread.
class AppDelegate : public QObject {
    Q_OBJECT
public:
    // arguments: the command line without the program path, routed once launching finished.
    // launchUrls: custom-scheme URLs this process was started with. A running instance gets them
    // forwarded; the first instance handles them itself once it has finished launching.
    explicit AppDelegate(const QStringList &arguments = {}, const QStringList &launchUrls = {},
                         QObject *parent = nullptr);
    ~AppDelegate() override;

    AppContext *appContext() const;
    // Made by the bridge of the application object; runs applyAppContextIfReady() on change.
    void setAppContext(AppContext *context);

    SingleInstanceManager &singleInstanceManager() { return m_singleInstanceManager; }
    MissingFilesWatcher &missingFilesWatcher() { return *m_missingFilesWatcher; }
    QueueCollector &queueCollector() { return *m_queueCollector; }

    // The authentication state kept here until the context takes it. Not owned.
    AuthTokenReceiver *pendingAppState() const { return m_pendingAppState; }
    void setPendingAppState(AuthTokenReceiver *state) { m_pendingAppState = state; }
    // The authentication state made by the launch task (owned by this delegate), if any yet.
    AppState *appState() const;

    // The desktop services provider, created with the delegate; the context takes it.
    ServiceProvider &servicesProvider() { return *m_servicesProvider; }

    // Platform events.
    void applicationDidFinishLaunching();
    void applicationWillTerminate();
    void applicationOpenUrls(const QList<QUrl> &urls);
    bool applicationShouldHandleReopen(bool hasVisibleWindows);
    void applicationDidBecomeActive();

    static bool anyWindowVisible();

    void applyAppContextIfReady();
    void processPendingAuthToken();
    void openDashboardWindow();

    // The tray entry, its menu and popover; made once by the first instance when launching
    // finished.
    void setupStatusItem();
    // Null until setupStatusItem() has run. showPopoverIfHidden() opens the popover under the
    // icon, iconGeometry() tells where the icon is.
    StatusItem *statusItem() const { return m_statusItem.get(); }

    // Asks, then removes the application for this user and quits (About → "Uninstall...").
    void showUninstallConfirmation();

Q_SIGNALS:
    // The launch task has run to its end.
    void launchTaskFinished();
    // A queued job failed as a whole; delivered on the main thread.
    void jobErrorReported(const QString &message);

private:
    // Anchors the drag-session monitor to the tray icon and popover, then starts it.
    void configureDragSessionMonitor();
    void registerServicesProviderImmediately();
    void handleServiceRequest(const QString &message, const ServicePasteboard &pasteboard,
                              const QString &startupId, const QString &activationToken);
    QCoro::Task<> runLaunchTask();
    void handleAuthCallback(const QUrl &url);
    void terminate();
    // Parks an open option's paths for the work window; false for any other route.
    static bool parkOpenRequest(const ArgumentRouter::RouteResult &routed);
    // A second instance: writes its job or hands its open option over, then ends.
    void finishAsSecondInstance();

    QPointer<AppContext> m_appContext;
    std::unique_ptr<MissingFilesWatcher> m_missingFilesWatcher;
    std::unique_ptr<QueueCollector> m_queueCollector;
    SingleInstanceManager m_singleInstanceManager;
    AuthTokenReceiver *m_pendingAppState = nullptr;
    QPointer<AppState> m_appState;
    std::unique_ptr<ServiceProvider> m_servicesProvider;
    ServiceProvider *m_pendingProvider = nullptr;
    QStringList m_arguments;
    QStringList m_launchUrls;
    std::unique_ptr<StatusItem> m_statusItem;
};
