#pragma once

#include "core/api/AuthStore.h"
#include "core/api/VorlantaApiClient.h"
#include "core/shell/AuthTokenReceiver.h"

#include <QCoro/QCoroTask>
#include <QtCore/QElapsedTimer>
#include <QtCore/QList>
#include <QtCore/QObject>
#include <QtCore/QPointer>
#include <QtCore/QString>
#include <QtCore/QUuid>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

// One row of the recent-uploads list.
struct UploadStatus {
    enum class UploadStatusEnum { uploading, failed, completed };
    QUuid id;
    QString fileName;
    double progress = 0;
    UploadStatusEnum status = UploadStatusEnum::uploading;
    bool operator==(const UploadStatus &other) const = default;
};

// Whether the user is signed in, and the signed-in user's client. Published fields change on the
// main thread only.
class AppState : public QObject, public AuthTokenReceiver {
    Q_OBJECT
    Q_PROPERTY(AuthStatus authStatus READ authStatus NOTIFY authStatusChanged)
    Q_PROPERTY(QString errorMessage READ errorMessageText NOTIFY errorMessageChanged)
public:
    enum class AuthStatus { loggedOut, loggedIn, requiresSetup };
    Q_ENUM(AuthStatus)

    // Pauses of start-up; shorter in tests.
    struct Timing {
        // How long a Secret Service that does not answer is waited for.
        std::chrono::milliseconds keyringWait{30000};
        std::chrono::milliseconds keyringRetry{1000};
        // Revalidation of a saved token while the service cannot be reached: doubling.
        std::chrono::milliseconds firstRevalidation{5000};
        std::chrono::milliseconds maxRevalidation{300000};
    };
    static void setTiming(const Timing &timing);

    // The asynchronous constructor: returns once the saved token has been checked, or at once
    // (signed out) while the Secret Service does not answer yet; the token is then read and
    // checked in the background when the service appears. prepare runs before any check (the web
    // layer installs its hooks there).
    static QCoro::Task<AppState *> create(const QString &baseURL, QObject *parent = nullptr,
                                          const std::function<void(AppState &)> &prepare = {});
    ~AppState() override;

    const QString &baseURL() const { return m_baseURL; }
    AuthStatus authStatus() const { return m_authStatus; }
    std::shared_ptr<VorlantaApiClient> apiClient() const { return m_apiClient; }
    const QList<UploadStatus> &uploadStatuses() const { return m_uploadStatuses; }
    const std::optional<QString> &errorMessage() const { return m_errorMessage; }
    QString errorMessageText() const { return m_errorMessage.value_or(QString()); }
    void setErrorMessage(const std::optional<QString> &message);

    // Recent uploads of this run, newest first, at most kMaxUploadStatuses rows: each file a
    // workflow sends gets one (UploadActivity reports them). Logout leaves them. A row keeps the
    // id it is given, a new one when none; progress and finishing change uploading rows only.
    static constexpr qsizetype kMaxUploadStatuses = 50;
    QUuid addUploadStatus(const QString &fileName, const QUuid &id = QUuid::createUuid());
    void updateUploadStatus(const QUuid &id, double progress);
    void finishUploadStatus(const QUuid &id, bool succeeded);

    QCoro::Task<> login(const QString &token);
    void logout();
    // The URL of the login page in the default browser; the token comes back through the
    // custom URL scheme.
    void startExternalAutoLoginFlow();
    // The in-app web login; needs webLogin.
    QCoro::Task<> performAutoLogin();
    void clearWebKitCache();

    // Filled by the web layer: the in-app login window (a token, nothing when the user closed it;
    // throws on a page that failed), seeding the dashboard's web storage with a token, and
    // removing all web data.
    std::function<QCoro::Task<std::optional<QString>>(const QUrl &loginPage)> webLogin;
    std::function<void(const QString &token)> startDashboardSession;
    std::function<void()> clearWebData;
    // Any web page can open a sign-in link. While signed in, one that the app did not ask for
    // (by opening the browser sign-in within kBrowserSignInWindow) switches to the account it
    // names only when this answers true; unset, such links are refused.
    std::function<QCoro::Task<bool>(const QString &account)> confirmAccountSwitch;
    static constexpr std::chrono::minutes kBrowserSignInWindow{10};
    // Who a token names, for the user to read: its JWT payload's "name", "email" or "sub".
    static QString accountNameOf(const QString &token);

    // AuthTokenReceiver
    void loginWithToken(const QString &token) override;

    // The login page of the web application, with an optional query.
    static QUrl loginPageUrl(const QString &query = QString());

Q_SIGNALS:
    void authStatusChanged(AppState::AuthStatus status);
    void errorMessageChanged();
    void uploadStatusesChanged();
    void apiClientChanged();
    // Revalidation of a saved token that could not be checked at start has ended.
    void revalidationFinished(AppState::AuthStatus status);

private:
    // What the check of a saved token found. Only a 401 rejects the token; what may pass by
    // itself (no answer, 5xx, 429) is asked again later; any other answer is final for this run.
    enum class TokenVerdict { accepted, rejected, unreachable, refused };
    struct TokenCheck {
        TokenVerdict verdict = TokenVerdict::unreachable;
        QString reason; // what failed, for the log
    };
    static QCoro::Task<TokenCheck>
    checkSavedToken(const std::shared_ptr<VorlantaApiClient> &client);

    explicit AppState(QString baseURL, QObject *parent);
    QCoro::Task<> restoreSavedState();
    QCoro::Task<> waitForKeyring(quint64 generation);
    QCoro::Task<> validateSavedState(const std::optional<AuthState> &savedState);
    QCoro::Task<> revalidateLater(const AuthState &savedState, quint64 generation);
    // Applies a decided check; false when the service could not be asked.
    bool settle(const TokenCheck &check, const std::shared_ptr<VorlantaApiClient> &client,
                const QString &token);
    void setAuthStatus(AuthStatus status);
    void setApiClient(std::shared_ptr<VorlantaApiClient> client);
    void signedIn(std::shared_ptr<VorlantaApiClient> client, const QString &token);
    QCoro::Task<> confirmThenLogin(QString token);

    QString m_baseURL;
    std::shared_ptr<VorlantaApiClient> m_apiClient;
    AuthStatus m_authStatus = AuthStatus::requiresSetup;
    QList<UploadStatus> m_uploadStatuses;
    std::optional<QString> m_errorMessage;
    bool m_webLoginRunning = false;
    // Since the app last opened the browser sign-in.
    QElapsedTimer m_browserSignInStarted;
    // Bumped by every login and logout: a revalidation still waiting then has nothing to do.
    quint64 m_sessionGeneration = 0;
};
