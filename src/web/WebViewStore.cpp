#include "WebViewStore.h"

#include <QtCore/QCoreApplication>
#include <QtWebEngineCore/QWebEngineCookieStore>
#include <QtWebEngineCore/QWebEnginePage>
#include <QtWebEngineCore/QWebEngineProfile>

namespace {

QString g_storagePath;
QString g_cachePath;

} // namespace

void WebViewStore::configure(const QString &storagePath, const QString &cachePath)
{
    g_storagePath = storagePath;
    g_cachePath = cachePath;
}

QWebEngineProfile *WebViewStore::shared()
{
    // Named, hence on disk: Qt's default profile keeps nothing.
    static QWebEngineProfile *profile = [] {
        auto *made =
            new QWebEngineProfile(QStringLiteral("VorlantaCreator"), QCoreApplication::instance());
        if (!g_storagePath.isEmpty()) {
            made->setPersistentStoragePath(g_storagePath);
        }
        if (!g_cachePath.isEmpty()) {
            made->setCachePath(g_cachePath);
        }
        made->setPersistentCookiesPolicy(QWebEngineProfile::ForcePersistentCookies);
        return made;
    }();
    return profile;
}

void WebViewStore::clear(const QUrl &webRoot, std::function<void()> done)
{
    QWebEngineProfile *profile = shared();
    profile->cookieStore()->deleteAllCookies();
    profile->clearHttpCache();
    profile->clearAllVisitedLinks();
    // Qt has no call that clears web storage: a blank document of the web application's origin,
    // made without the network, clears it from inside.
    auto *page = new QWebEnginePage(profile);
    QObject::connect(
        page, &QWebEnginePage::loadFinished, page,
        [page, done](bool) {
            page->runJavaScript(
                QStringLiteral(
                    "try { localStorage.clear(); sessionStorage.clear(); } catch (e) {}"),
                [page, done](const QVariant &) {
                    page->deleteLater();
                    if (done) {
                        done();
                    }
                });
        },
        Qt::SingleShotConnection);
    page->setHtml(QStringLiteral("<!DOCTYPE html><title>clear</title>"), webRoot);
}
