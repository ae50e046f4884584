#include "gui/shell/ServiceProvider.h"

#include "BuildConfig.h"
#include "core/api/VorlantaApiClient.h"
#include "core/shell/Logger.h"
#include "core/shell/PendingServiceActions.h"
#include "gui/shell/AppContext.h"

#include <QtCore/QFileInfo>
#include <QtCore/QTimer>

namespace {

// The name a service goes by in its log lines.
QString serviceName(bool quick)
{
    return quick ? QStringLiteral("Quick Project") : QStringLiteral("Send Missing Files");
}

QString pathOf(const QUrl &url)
{
    return url.isLocalFile() ? url.toLocalFile() : url.path();
}

} // namespace

ServiceProvider::ServiceProvider(const AuthState &authState, QObject *parent)
    : QObject(parent), m_authState(authState)
{}

AppContext *ServiceProvider::appContext() const
{
    return m_appContext;
}

void ServiceProvider::setAppContext(AppContext *context)
{
    m_appContext = context;
}

void ServiceProvider::setAuthState(const AuthState &state)
{
    m_authState = state;
    Q_EMIT authStateChanged();
}

std::shared_ptr<VorlantaApiClient> ServiceProvider::getApiClient()
{
    if (const std::optional<AuthState> saved = AuthStore::load()) {
        setAuthState(*saved);
    }
    return VorlantaApiClient::make(QString::fromUtf8(BuildConfig::kApiBaseUrl), m_authState);
}

void ServiceProvider::quickProject(const ServicePasteboard &pasteboard, const QString &)
{
    invoke(Service::quickProject, pasteboard);
}

void ServiceProvider::sendMissingFiles(const ServicePasteboard &pasteboard, const QString &)
{
    invoke(Service::sendMissingFiles, pasteboard);
}

QList<QUrl> ServiceProvider::readFileURLs(const ServicePasteboard &pasteboard)
{
    // The objects readable as URLs, file URLs only.
    QList<QUrl> urls;
    for (const QUrl &url : pasteboard.urls) {
        if (url.isLocalFile()) {
            urls.append(url);
        }
    }
    if (!urls.isEmpty()) {
        return urls;
    }
    // Else the legacy file-name list, when it is a list of strings.
    const QVariantList names = pasteboard.filenames.toList();
    const bool allStrings = pasteboard.filenames.canConvert<QVariantList>() &&
                            std::all_of(names.begin(), names.end(), [](const QVariant &name) {
                                return name.typeId() == QMetaType::QString;
                            });
    if (allStrings) {
        for (const QVariant &name : names) {
            urls.append(QUrl::fromLocalFile(name.toString()));
        }
    }
    if (!urls.isEmpty()) {
        return urls;
    }
    // Else the items' file-URL strings.
    if (!pasteboard.items) {
        Logger::warn(QStringLiteral("[ServiceProvider] Pasteboard has no items"));
        return {};
    }
    for (const std::optional<QString> &item : *pasteboard.items) {
        const QUrl url(item.value_or(QString()), QUrl::StrictMode);
        if (item && url.isValid() && !url.isEmpty()) {
            urls.append(url);
        }
    }
    return urls;
}

void ServiceProvider::invoke(Service service, const ServicePasteboard &pasteboard)
{
    const QString name = serviceName(service == Service::quickProject);
    Logger::info(QStringLiteral("[ServiceProvider] ") + name + QStringLiteral(" service invoked"));
    const QList<QUrl> urls = readFileURLs(pasteboard);
    Logger::info(QStringLiteral("[ServiceProvider] ") + name + QStringLiteral(": captured ") +
                 QString::number(urls.size()) + QStringLiteral(" file(s)"));
    QStringList paths;
    for (qsizetype i = 0; i < urls.size(); ++i) {
        paths.append(pathOf(urls.at(i)));
        Logger::info(QStringLiteral("[ServiceProvider] ") + name + QStringLiteral(" file ") +
                     QString::number(i + 1) + QStringLiteral(": ") + paths.last());
    }
    // The rest runs from the event loop; nothing happens once the provider is gone.
    QTimer::singleShot(0, this, [this, service, paths] { handlePaths(service, paths); });
}

void ServiceProvider::handlePaths(Service service, const QStringList &paths)
{
    const bool quick = service == Service::quickProject;
    const QString prefix = QStringLiteral("[ServiceProvider] ") + serviceName(quick) + u':';
    // Files may have vanished since they were selected.
    QStringList kept;
    for (const QString &path : paths) {
        if (QFileInfo::exists(path)) {
            kept.append(path);
        }
    }
    if (kept.size() < paths.size()) {
        Logger::warn(prefix + u' ' + QString::number(paths.size() - kept.size()) +
                     QStringLiteral(" file(s) no longer exist"));
    }
    Logger::info(prefix + QStringLiteral(" appContext is ") +
                 (m_appContext ? QStringLiteral("available") : QStringLiteral("NOT available")));
    // Parked until the context takes the provider; an empty list is a request too.
    if (!m_appContext) {
        Logger::info(prefix + QStringLiteral(" AppContext not ready, stashing ") +
                     QString::number(kept.size()) + QStringLiteral(" file(s)"));
        if (quick) {
            PendingServiceActions::shared().setQuickProjectPaths(kept);
        } else {
            PendingServiceActions::shared().setMissingFilesPaths(kept);
        }
        return;
    }
    Logger::info(prefix + QStringLiteral(" AppContext ready, opening window with ") +
                 QString::number(kept.size()) + QStringLiteral(" file(s)"));
    QList<QUrl> urls;
    for (const QString &path : std::as_const(kept)) {
        urls.append(QUrl::fromLocalFile(path));
    }
    QTimer::singleShot(0, m_appContext, [context = m_appContext, quick, urls] {
        if (quick) {
            context->openQuickProjectWindow(urls);
        } else {
            context->openMissingFilesWindow(urls);
        }
    });
}
