#include "gui/web/WebSession.h"

#include "BuildConfig.h"
#include "core/api/AppState.h"
#include "core/api/AuthStore.h"
#include "core/shell/Console.h"
#include "core/shell/Logger.h"
#include "core/shell/Paths.h"

#include <QtCore/QDir>
#include <QtWidgets/QWidget>

namespace WebSession {

namespace {

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
