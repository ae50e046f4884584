#pragma once

#include "core/api/AuthStore.h"
#include "core/shell/ServicePasteboard.h"

#include <QtCore/QObject>
#include <QtCore/QPointer>
#include <QtCore/QStringList>

#include <memory>

class AppContext;
class VorlantaApiClient;

// What lets a window opened for a request come up in front of the file manager that sent it:
// the X11 startup id or the Wayland activation token the launcher gave the sender.
struct StartupActivation {
    QString startupId;
    QString activationToken;
    bool isEmpty() const { return startupId.isEmpty() && activationToken.isEmpty(); }
};

// Receives the file manager's two service requests, reads their files and asks the app context
// for the matching window, parking the request while there is no context. Also carries the saved
// credentials for the work windows and builds their API client.
class ServiceProvider : public QObject {
    Q_OBJECT
public:
    explicit ServiceProvider(const AuthState &authState, QObject *parent = nullptr);

    const AuthState &authState() const { return m_authState; }
    void setAuthState(const AuthState &state);

    AppContext *appContext() const;
    void setAppContext(AppContext *context);

    // Reloads the saved credentials first, so a window opened after sign-in uses the new token.
    std::shared_ptr<VorlantaApiClient> getApiClient();

    // The service entry points, on the main thread. The window is asked for from the event loop.
    void quickProject(const ServicePasteboard &pasteboard, const QString &userData = {});
    void sendMissingFiles(const ServicePasteboard &pasteboard, const QString &userData = {});

    // The file URLs of a pasteboard: file URLs, else the legacy name list, else the items.
    static QList<QUrl> readFileURLs(const ServicePasteboard &pasteboard);

    // Kept until the next window is focused; a newer request's activation replaces it.
    void setStartupActivation(const StartupActivation &activation) { m_activation = activation; }
    StartupActivation takeStartupActivation() { return std::exchange(m_activation, {}); }

Q_SIGNALS:
    void authStateChanged();

private:
    enum class Service { quickProject, sendMissingFiles };
    void invoke(Service service, const ServicePasteboard &pasteboard);
    void handlePaths(Service service, const QStringList &paths);

    AuthState m_authState;
    QPointer<AppContext> m_appContext;
    StartupActivation m_activation;
};
