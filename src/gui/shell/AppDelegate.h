#pragma once

#include "core/shell/SingleInstanceManager.h"

#include <QtCore/QObject>
#include <QtCore/QPointer>
#include <QtCore/QStringList>
#include <QtCore/QUrl>

class AppContext;
class AuthTokenReceiver;

// Receives the application's life-cycle events, owns the long-lived workers and starts them in
// a fixed order. Everything here runs on the main thread.
class AppDelegate : public QObject {
    Q_OBJECT
public:
    // launchUrls: custom-scheme URLs this process was started with. A running instance gets them
    // forwarded; the first instance handles them itself once it has finished launching.
    explicit AppDelegate(const QStringList &launchUrls = {}, QObject *parent = nullptr);
    ~AppDelegate() override;

    AppContext *appContext() const;
    // Made by the bridge of the application object; runs applyAppContextIfReady() on change.
    void setAppContext(AppContext *context);

    SingleInstanceManager &singleInstanceManager() { return m_singleInstanceManager; }

    // The authentication state kept here until the context takes it. Not owned.
    AuthTokenReceiver *pendingAppState() const { return m_pendingAppState; }
    void setPendingAppState(AuthTokenReceiver *state) { m_pendingAppState = state; }

    // Platform events.
    void applicationDidFinishLaunching();
    void applicationWillTerminate();
    void applicationOpenUrls(const QList<QUrl> &urls);
    bool applicationShouldHandleReopen(bool hasVisibleWindows);
    void applicationDidBecomeActive();

    static bool anyWindowVisible();

    void applyAppContextIfReady();
    void processPendingAuthToken();

Q_SIGNALS:
    // The launch task has run to its end.
    void launchTaskFinished();

private:
    void runLaunchTask();
    void handleAuthCallback(const QUrl &url);
    void terminate();

    QPointer<AppContext> m_appContext;
    SingleInstanceManager m_singleInstanceManager;
    AuthTokenReceiver *m_pendingAppState = nullptr;
    QStringList m_launchUrls;
};
