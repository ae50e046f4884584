#include "gui/web/WebSession.h"

#include "BuildConfig.h"
#include "core/api/AppState.h"
#include "core/api/AuthStore.h"
#include "core/shell/Console.h"
#include "core/shell/Logger.h"
#include "core/shell/Paths.h"

#include <QCoro/QCoroSignal>
#include <QtCore/QDir>
#include <QtCore/QPointer>
#include <QtWidgets/QWidget>

#include <stdexcept>

namespace WebSession {

namespace {

// Carries a web login's outcome from the layer's callback to the awaiting coroutine.
class LoginWaiter : public QObject {
    Q_OBJECT
public:
    void finish(const WebLayer::LoginOutcome &outcome)
    {
        m_outcome = outcome;
        Q_EMIT finished();
    }
    const WebLayer::LoginOutcome &outcome() const { return m_outcome; }

Q_SIGNALS:
    void finished();

private:
    WebLayer::LoginOutcome m_outcome;
};

QCoro::Task<std::optional<QString>> webLogin(QUrl loginPage)
{
    QString error;
    WebLayer *web = WebLayer::load(setup(), &error);
    if (!web) {
        throw std::runtime_error("The web module cannot be loaded: " + error.toStdString());
    }
    LoginWaiter waiter;
    web->startWebAuthSession(
        loginPage, QString::fromUtf8(BuildConfig::kWebDomain),
        [waiter = QPointer<LoginWaiter>(&waiter)](const WebLayer::LoginOutcome &outcome) {
            if (waiter) {
                waiter->finish(outcome);
            }
        });
    co_await qCoro(&waiter, &LoginWaiter::finished);
    const WebLayer::LoginOutcome outcome = waiter.outcome();
    if (!outcome.error.isEmpty()) {
        throw std::runtime_error(outcome.error.toStdString());
    }
    co_return outcome.token;
}

void printCleared()
{
    Console::printLine(QStringLiteral("[AppState] WebViewStore.shared cleared successfully"));
    Console::printLine(QStringLiteral("[AppState] WebKit default cache cleared successfully"));
}

} // namespace

WebLayer::Setup setup()
{
    return {Paths::baseDir() + QStringLiteral("/WebProfile"),
            Paths::cacheDir() + QStringLiteral("/WebProfile"), &Console::printLine};
}

QUrl webRoot()
{
    return QUrl(QString::fromUtf8(BuildConfig::kWebAppRoot));
}

void attach(AppState *state)
{
    state->startDashboardSession = [](const QString &token) {
        if (WebLayer *web = WebLayer::loaded()) {
            web->seedSession(webRoot(), token, {});
        }
    };
    state->webLogin = &webLogin;
    state->clearWebData = [] {
        if (WebLayer *web = WebLayer::loaded()) {
            web->clearAll(webRoot(), &printCleared);
            return;
        }
        // The engine has not run in this process: nothing holds the profile's files.
        const WebLayer::Setup paths = setup();
        QDir(paths.storagePath).removeRecursively();
        QDir(paths.cachePath).removeRecursively();
        printCleared();
    };
}

QWidget *openDashboard()
{
    QString error;
    WebLayer *web = WebLayer::load(setup(), &error);
    if (!web) {
        Logger::error(QStringLiteral("[AppDelegate] Cannot open the dashboard: ") + error);
        return nullptr;
    }
    std::optional<QString> token;
    if (const std::optional<AuthState> saved = AuthStore::load()) {
        token = saved->accessToken;
    }
    QWidget *window = web->createDashboardWindow(webRoot(), token);
    window->show();
    window->raise();
    window->activateWindow();
    return window;
}

} // namespace WebSession

#include "WebSession.moc"
