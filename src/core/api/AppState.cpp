#include "core/api/AppState.h"

#include "BuildConfig.h"
#include "core/shell/Console.h"
#include "core/shell/Logger.h"
#include "core/upload/UploadActivity.h"

#include <QCoro/QCoroTimer>
#include <QtCore/QJsonDocument>
#include <QtCore/QJsonObject>
#include <QtCore/QProcess>

#include <algorithm>
#include <cmath>
#include <mutex>

namespace {

AppState::Timing &timing()
{
    static AppState::Timing value;
    return value;
}

QString seconds(std::chrono::milliseconds duration)
{
    return QString::number(double(duration.count()) / 1000.0);
}

// A refused unlock is an answer: signed out, and the keyring is not asked again meanwhile.
void noteRefusal(AuthStore::Availability availability)
{
    if (availability == AuthStore::Availability::denied) {
        Logger::warn(QStringLiteral("[AppState] Access to the Secret Service was refused; not "
                                    "asking again before the next sign-in"));
    }
}

} // namespace

void AppState::setTiming(const Timing &value)
{
    timing() = value;
}

AppState::AppState(QString baseURL, QObject *parent)
    : QObject(parent), m_baseURL(std::move(baseURL))
{
    // The workflows report each file they send; the rows outlive a logout.
    const UploadActivity *activity = &UploadActivity::instance();
    connect(activity, &UploadActivity::started, this,
            [this](const QUuid &id, const QString &fileName) { addUploadStatus(fileName, id); });
    connect(activity, &UploadActivity::progressed, this, &AppState::updateUploadStatus);
    connect(activity, &UploadActivity::finished, this, &AppState::finishUploadStatus);
}

AppState::~AppState() = default;

QCoro::Task<AppState *> AppState::create(const QString &baseURL, QObject *parent,
                                         const std::function<void(AppState &)> &prepare)
{
    // Parameters are only used before the first suspension (see VorlantaApiClient.h).
    // 1.
    QPointer<AppState> state = new AppState(baseURL, parent);
    if (prepare) {
        prepare(*state);
    }
    Console::printLine(QStringLiteral("[AppState] Initializing AppState with baseURL: ") + baseURL);
    co_await state->restoreSavedState();
    co_return state.data();
}

QCoro::Task<> AppState::restoreSavedState()
{
    // 2. The saved credentials. A Secret Service that does not answer yet (it may start after
    // this application at login) is waited for in the background, signed out meanwhile: nothing
    // else waits for it.
    auto availability = AuthStore::Availability::available;
    const std::optional<AuthState> saved = AuthStore::load(&availability);
    if (availability == AuthStore::Availability::unavailable) {
        Logger::warn(QStringLiteral("[AppState] Secret Service not available; waiting up to ") +
                     seconds(timing().keyringWait) + QStringLiteral(" s for it"));
        setAuthStatus(AuthStatus::requiresSetup);
        waitForKeyring(m_sessionGeneration); // runs on by itself
        co_return;
    }
    noteRefusal(availability);
    co_await validateSavedState(saved);
}

QCoro::Task<> AppState::waitForKeyring(quint64 generation)
{
    QPointer<AppState> self = this;
    auto availability = AuthStore::Availability::unavailable;
    std::optional<AuthState> saved;
    const auto deadline = std::chrono::steady_clock::now() + timing().keyringWait;
    while (availability == AuthStore::Availability::unavailable &&
           std::chrono::steady_clock::now() < deadline) {
        co_await QCoro::sleepFor(timing().keyringRetry);
        // A sign-in or sign-out meanwhile decided the matter.
        if (!self || m_sessionGeneration != generation) {
            co_return;
        }
        saved = AuthStore::load(&availability);
    }
    if (availability == AuthStore::Availability::unavailable) {
        Logger::warn(QStringLiteral("[AppState] Secret Service still not available; "
                                    "continuing signed out"));
    }
    noteRefusal(availability);
    co_await validateSavedState(saved);
}

QCoro::Task<> AppState::validateSavedState(const std::optional<AuthState> &savedState)
{
    const std::optional<AuthState> saved = savedState; // kept across suspensions
    QPointer<AppState> self = this;
    if (!saved) {
        Console::printLine(
            QStringLiteral("[AppState] No saved auth state found, setting to requiresSetup"));
        setAuthStatus(AuthStatus::requiresSetup);
        co_return;
    }

    // 3. Check the saved token.
    Console::printLine(QStringLiteral("[AppState] Found saved auth state, validating token"));
    const quint64 generation = m_sessionGeneration;
    std::shared_ptr<VorlantaApiClient> client = VorlantaApiClient::make(m_baseURL, *saved);
    const TokenCheck check = co_await checkSavedToken(client);
    if (!self || m_sessionGeneration != generation) {
        co_return;
    }
    if (!settle(check, client, saved->accessToken)) {
        // Offline is not signed out: keep the token and ask again later.
        Logger::warn(QStringLiteral("[AppState] Cannot validate the saved token now (") +
                     check.reason + QStringLiteral("); keeping it and retrying in ") +
                     seconds(timing().firstRevalidation) + QStringLiteral(" s"));
        setAuthStatus(AuthStatus::requiresSetup);
        revalidateLater(*saved, m_sessionGeneration);
    }
}

QCoro::Task<AppState::TokenCheck>
AppState::checkSavedToken(const std::shared_ptr<VorlantaApiClient> &clientArgument)
{
    const std::shared_ptr<VorlantaApiClient> client = clientArgument; // kept across suspensions
    const VorlantaApiClient::TokenCheckResult result = co_await client->checkToken();
    using Outcome = VorlantaApiClient::TokenCheck;
    TokenCheck check;
    check.verdict = result.outcome == Outcome::accepted   ? TokenVerdict::accepted
                    : result.outcome == Outcome::rejected ? TokenVerdict::rejected
                    : result.outcome == Outcome::refused  ? TokenVerdict::refused
                                                          : TokenVerdict::unreachable;
    check.reason = result.reason;
    co_return check;
}

bool AppState::settle(const TokenCheck &check, const std::shared_ptr<VorlantaApiClient> &client,
                      const QString &token)
{
    switch (check.verdict) {
    case TokenVerdict::accepted:
        // 5.
        setApiClient(client);
        if (startDashboardSession) {
            startDashboardSession(token);
        }
        Console::printLine(
            QStringLiteral("[AppState] Token valid, setting authStatus to loggedIn"));
        setAuthStatus(AuthStatus::loggedIn);
        return true;
    case TokenVerdict::rejected:
        // 4. Only a token the service refuses is deleted.
        Console::printLine(QStringLiteral(
            "[AppState] Token invalid, deleting saved auth and setting to requiresSetup"));
        AuthStore::deleteAuthState();
        setAuthStatus(AuthStatus::requiresSetup);
        return true;
    case TokenVerdict::refused:
        // Asking again would get the same answer; the next sign-in or start asks anew.
        Logger::error(QStringLiteral("[AppState] The service refused to validate the saved "
                                     "token (") +
                      check.reason + QStringLiteral("); keeping it without retrying"));
        setAuthStatus(AuthStatus::requiresSetup);
        return true;
    case TokenVerdict::unreachable:
        break;
    }
    return false;
}

QCoro::Task<> AppState::revalidateLater(const AuthState &savedState, quint64 generation)
{
    const AuthState saved = savedState; // kept across suspensions
    QPointer<AppState> self = this;
    std::chrono::milliseconds pause = timing().firstRevalidation;
    for (;;) {
        co_await QCoro::sleepFor(pause);
        // A login or logout meanwhile decided the matter.
        if (!self || m_sessionGeneration != generation) {
            co_return;
        }
        std::shared_ptr<VorlantaApiClient> client = VorlantaApiClient::make(m_baseURL, saved);
        const TokenCheck check = co_await checkSavedToken(client);
        if (!self || m_sessionGeneration != generation) {
            co_return;
        }
        if (check.verdict == TokenVerdict::accepted) {
            Logger::info(QStringLiteral("[AppState] Saved token accepted on a later check"));
        }
        if (settle(check, client, saved.accessToken)) {
            Q_EMIT revalidationFinished(m_authStatus);
            co_return;
        }
        pause = std::min(pause * 2, timing().maxRevalidation);
        Logger::warn(QStringLiteral("[AppState] Still cannot validate the saved token (") +
                     check.reason + QStringLiteral("); retrying in ") + seconds(pause) +
                     QStringLiteral(" s"));
    }
}

QCoro::Task<> AppState::login(const QString &tokenArgument)
{
    const QString token = tokenArgument; // kept across suspensions
    QPointer<AppState> self = this;
    // 1.-2.
    Console::printLine(QStringLiteral("[AppState] Login initiated with token"));
    const AuthState state{token, std::nullopt};
    std::shared_ptr<VorlantaApiClient> client = VorlantaApiClient::make(m_baseURL, state);
    Console::printLine(QStringLiteral("[AppState] Attempting to log in with token..."));
    const bool valid = co_await client->validateToken();
    Console::printLine(QStringLiteral("[AppState] Token validation result: ") +
                       (valid ? QStringLiteral("true") : QStringLiteral("false")));
    if (!self) {
        co_return;
    }
    if (valid) {
        // 3.
        Console::printLine(
            QStringLiteral("[AppState] Token is valid. Setting auth status to loggedIn."));
        ++m_sessionGeneration;
        setApiClient(client);
        AuthStore::save(state);
        if (startDashboardSession) {
            startDashboardSession(token);
        }
        setAuthStatus(AuthStatus::loggedIn);
    } else {
        // 4. The earlier client and any saved item stay.
        Console::printLine(
            QStringLiteral("[AppState] Token is invalid. Setting auth status to requiresSetup."));
        setAuthStatus(AuthStatus::requiresSetup);
    }
}

void AppState::loginWithToken(const QString &token)
{
    // Signed out, or the answer to the browser sign-in the app opened: taken as it comes.
    const bool asked =
        m_browserSignInStarted.isValid() &&
        m_browserSignInStarted.elapsed() < std::chrono::milliseconds(kBrowserSignInWindow).count();
    if (m_authStatus != AuthStatus::loggedIn || asked) {
        login(token); // runs on; its result is published through the fields
        return;
    }
    confirmThenLogin(token);
}

QCoro::Task<> AppState::confirmThenLogin(QString token)
{
    QPointer<AppState> self = this;
    Console::printLine(QStringLiteral("[AppState] Sign-in link received while signed in"));
    // Only a token the service accepts is worth a question; a bad one leaves the session as is.
    std::shared_ptr<VorlantaApiClient> client =
        VorlantaApiClient::make(m_baseURL, AuthState{token, std::nullopt});
    const bool valid = co_await client->validateToken();
    if (!self) {
        co_return;
    }
    if (!valid) {
        Console::printLine(QStringLiteral("[AppState] Sign-in link refused: the token is invalid"));
        co_return;
    }
    const QString account = accountNameOf(token);
    bool agreed = false;
    if (confirmAccountSwitch) {
        agreed = co_await confirmAccountSwitch(account);
    }
    if (!self) {
        co_return;
    }
    if (!agreed) {
        Console::printLine(QStringLiteral("[AppState] Account switch declined; staying signed in"));
        co_return;
    }
    co_await login(token);
}

QString AppState::accountNameOf(const QString &token)
{
    const QStringList parts = token.split(u'.');
    if (parts.size() == 3) {
        const QByteArray payload = QByteArray::fromBase64(
            parts[1].toLatin1(), QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
        const QJsonObject claims = QJsonDocument::fromJson(payload).object();
        for (const char *claim : {"name", "email", "sub"}) {
            const QString value = claims.value(QLatin1String(claim)).toString().trimmed();
            if (!value.isEmpty()) {
                return value.left(80);
            }
        }
    }
    return QStringLiteral("an unnamed account");
}

void AppState::logout()
{
    Console::printLine(QStringLiteral("[AppState] Logout initiated"));
    ++m_sessionGeneration;
    AuthStore::deleteAuthState();
    setAuthStatus(AuthStatus::requiresSetup);
    setApiClient(nullptr);
    Console::printLine(QStringLiteral("[AppState] Auth status set to requiresSetup"));
    clearWebKitCache();
}

void AppState::clearWebKitCache()
{
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (clearWebData) {
                clearWebData();
            }
        },
        Qt::QueuedConnection);
}

QUrl AppState::loginPageUrl(const QString &query)
{
    QUrl url =
        QUrl(QString::fromUtf8(BuildConfig::kWebAppRoot)).resolved(QUrl(QStringLiteral("login")));
    if (!query.isEmpty()) {
        url.setQuery(query);
    }
    return url;
}

void AppState::startExternalAutoLoginFlow()
{
    m_browserSignInStarted.start();
    const QUrl url = loginPageUrl(QStringLiteral("back=desktop-app"));
    // The user's default browser; the token returns through the custom URL scheme.
    if (!QProcess::startDetached(QStringLiteral("xdg-open"), {url.toString(QUrl::FullyEncoded)})) {
        Logger::error(QStringLiteral("[AppState] Cannot open the browser for ") + url.toString());
    }
}

QCoro::Task<> AppState::performAutoLogin()
{
    QPointer<AppState> self = this;
    Console::printLine(QStringLiteral("[AppState] Performing auto-login"));
    if (!webLogin) {
        Logger::error(QStringLiteral("[AppState] In-app login is not available in this build"));
        co_return;
    }
    m_webLoginRunning = true;
    std::optional<QString> token;
    std::optional<std::pair<QString, QString>> failure; // what the user reads, what the log says
    try {
        const QUrl page = loginPageUrl();
        token = co_await webLogin(page);
    } catch (const APIError &error) {
        failure = std::pair(error.description(), error.debugDescription());
    } catch (const std::exception &error) {
        failure = std::pair(describeError(error), describeError(error));
    }
    if (!self) {
        co_return;
    }
    if (failure) {
        setErrorMessage(QStringLiteral("Authentication failed: ") + failure->first);
        Console::printLine(QStringLiteral("[AppState] Authentication error: ") + failure->second);
    } else if (token) {
        Console::printLine(QStringLiteral("[AppState] Token received from authentication"));
        co_await login(*token);
    } else {
        Console::printLine(QStringLiteral("[AppState] No token received from authentication"));
    }
    if (self) {
        m_webLoginRunning = false;
    }
}

void AppState::setErrorMessage(const std::optional<QString> &message)
{
    if (m_errorMessage == message) {
        return;
    }
    m_errorMessage = message;
    Q_EMIT errorMessageChanged();
}

void AppState::setAuthStatus(AuthStatus status)
{
    // Observers are told on every assignment, as a published field does.
    m_authStatus = status;
    Q_EMIT authStatusChanged(status);
}

void AppState::setApiClient(std::shared_ptr<VorlantaApiClient> client)
{
    m_apiClient = std::move(client);
    Q_EMIT apiClientChanged();
}

QUuid AppState::addUploadStatus(const QString &fileName, const QUuid &id)
{
    m_uploadStatuses.prepend({id, fileName, 0, UploadStatus::UploadStatusEnum::uploading});
    if (m_uploadStatuses.size() > kMaxUploadStatuses) {
        m_uploadStatuses.resize(kMaxUploadStatuses);
    }
    Q_EMIT uploadStatusesChanged();
    return id;
}

void AppState::updateUploadStatus(const QUuid &id, double progress)
{
    if (std::isnan(progress)) {
        return;
    }
    progress = std::clamp(progress, 0.0, 1.0);
    for (UploadStatus &row : m_uploadStatuses) {
        if (row.id == id && row.status == UploadStatus::UploadStatusEnum::uploading) {
            if (row.progress != progress) {
                row.progress = progress;
                Q_EMIT uploadStatusesChanged();
            }
            return;
        }
    }
}

void AppState::finishUploadStatus(const QUuid &id, bool succeeded)
{
    for (UploadStatus &row : m_uploadStatuses) {
        if (row.id == id && row.status == UploadStatus::UploadStatusEnum::uploading) {
            row.status = succeeded ? UploadStatus::UploadStatusEnum::completed
                                   : UploadStatus::UploadStatusEnum::failed;
            if (succeeded) {
                row.progress = 1.0;
            }
            Q_EMIT uploadStatusesChanged();
            return;
        }
    }
}
