#include "WebViewContainer.h"

#include "ScriptText.h"
#include "WebViewModel.h"
#include "WebViewStore.h"

#include <QtWebEngineCore/QWebEngineLoadingInfo>
#include <QtWebEngineCore/QWebEngineNewWindowRequest>
#include <QtWebEngineCore/QWebEnginePage>
#include <QtWebEngineCore/QWebEngineScript>
#include <QtWebEngineCore/QWebEngineScriptCollection>

WebViewContainer::WebViewContainer(WebViewModel *webViewModel,
                                   const std::optional<QString> &authToken,
                                   std::function<void(const QString &)> printLine, QWidget *parent)
    : QWebEngineView(parent), m_webViewModel(webViewModel)
{
    // 1. A page of the shared profile.
    auto *page = new QWebEnginePage(WebViewStore::shared(), this);
    // 2. The token, written before the page's own scripts run, in the main frame only.
    if (authToken) {
        QWebEngineScript script;
        script.setName(QStringLiteral("token"));
        script.setInjectionPoint(QWebEngineScript::DocumentCreation);
        script.setRunsOnSubFrames(false);
        script.setWorldId(QWebEngineScript::MainWorld);
        script.setSourceCode(ScriptText::storageWrite(
            *authToken, QStringLiteral("console.error('Failed to set token:', e);")));
        page->scripts().insert(script);
    }
    // 3. Failures are printed; new windows open here instead.
    connect(page, &QWebEnginePage::loadingChanged, this,
            [printLine](const QWebEngineLoadingInfo &info) {
                if (info.status() == QWebEngineLoadingInfo::LoadFailedStatus && printLine) {
                    printLine(QStringLiteral("WebView navigation failed: ") + info.errorString());
                }
            });
    connect(page, &QWebEnginePage::newWindowRequested, this,
            [this](QWebEngineNewWindowRequest &request) {
                if (request.requestedUrl().isValid()) {
                    load(request.requestedUrl());
                }
            });
    setPage(page);
    connect(m_webViewModel, &WebViewModel::changed, this, &WebViewContainer::update);
}

void WebViewContainer::update()
{
    // 1. A URL to load.
    if (const std::optional<QUrl> url = std::exchange(m_webViewModel->urlToLoad, std::nullopt)) {
        load(*url);
    }
    // 2. A reload.
    if (std::exchange(m_webViewModel->shouldRefresh, false)) {
        reload();
    }
}
