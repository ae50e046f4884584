#include "DashboardSessionBridge.h"

#include "ScriptText.h"
#include "WebViewStore.h"

#include <QtCore/QPointer>
#include <QtWebEngineCore/QWebEnginePage>

DashboardSessionBridge::DashboardSessionBridge(QString token, std::function<void()> completion)
    : m_token(std::move(token)), m_completion(std::move(completion))
{
    // 1. A page of the shared profile, never shown.
    m_page = std::make_unique<QWebEnginePage>(WebViewStore::shared());
    connect(m_page.get(), &QWebEnginePage::loadFinished, this, [this](bool ok) {
        // 3. Finished: write the token. 4. Failed: done.
        if (ok) {
            injectToken();
        } else {
            complete();
        }
    });
    m_timeout.setSingleShot(true);
    m_timeout.setInterval(kLoadTimeoutMs);
    connect(&m_timeout, &QTimer::timeout, this, &DashboardSessionBridge::complete);
}

DashboardSessionBridge::~DashboardSessionBridge() = default;

void DashboardSessionBridge::start(const QUrl &webRoot)
{
    // 2. The root page, or nothing to do.
    const QUrl root = webRoot.resolved(QUrl(QStringLiteral("/")));
    if (!root.isValid() || root.scheme().isEmpty()) {
        complete();
        return;
    }
    m_timeout.start();
    m_page->load(root);
}

void DashboardSessionBridge::injectToken()
{
    m_page->runJavaScript(ScriptText::storageWrite(m_token),
                          [self = QPointer<DashboardSessionBridge>(this)](const QVariant &) {
                              if (self) {
                                  self->complete();
                              }
                          });
}

void DashboardSessionBridge::complete()
{
    m_timeout.stop();
    m_page->disconnect(this);
    if (auto completion = std::exchange(m_completion, nullptr)) {
        completion();
    }
}
