#include "AuthHandler.h"
#include "DashboardSessionBridge.h"
#include "DashboardView.h"
#include "WebViewStore.h"
#include "gui/web/WebLayer.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QLoggingCategory>
#include <QtGui/QOpenGLContext>

#include <memory>
#include <unistd.h>

// Exported by Qt's GUI library, declared only in its private headers.
QT_BEGIN_NAMESPACE
void qt_gl_set_global_share_context(QOpenGLContext *context);
QT_END_NAMESPACE

namespace {

// The engine draws with a graphics context shared with Qt's own. The application does not ask
// Qt for one at start (Qt::AA_ShareOpenGLContexts), as it maps ~50 MiB of graphics drivers that
// a tray app without a web view never needs: it is made here, as Qt would have made it.
void shareGraphicsContexts()
{
    if (QOpenGLContext::globalShareContext()) {
        return;
    }
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    auto *context = new QOpenGLContext(QCoreApplication::instance());
    context->create();
    qt_gl_set_global_share_context(context);
}

class VorlantaWebLayer : public WebLayer {
public:
    explicit VorlantaWebLayer(const Setup &setup) : m_printLine(setup.printLine)
    {
        if (!m_printLine) {
            m_printLine = [](const QString &) {};
        }
        WebViewStore::configure(setup.storagePath, setup.cachePath);
    }

    QWidget *createDashboardWindow(const QUrl &webRoot,
                                   const std::optional<QString> &token) override
    {
        return new DashboardView(webRoot, token, m_printLine);
    }

    void seedSession(const QUrl &webRoot, const QString &token, std::function<void()> done) override
    {
        // One bridge at a time; a later sign-in replaces it. Dropped from the event loop, as its
        // completion runs inside its own callbacks.
        auto made = std::make_shared<DashboardSessionBridge *>(nullptr);
        m_bridge =
            std::make_unique<DashboardSessionBridge>(token, [this, made, done = std::move(done)] {
                if (m_bridge.get() == *made) {
                    m_bridge.release()->deleteLater();
                }
                if (done) {
                    done();
                }
            });
        *made = m_bridge.get();
        m_bridge->start(webRoot);
    }

    void clearAll(const QUrl &webRoot, std::function<void()> done) override
    {
        WebViewStore::clear(webRoot, std::move(done));
    }

    void startWebAuthSession(const QUrl &loginPage, const QString &webDomain,
                             std::function<void(const LoginOutcome &)> done) override
    {
        // One login at a time; the handler goes once it has answered.
        auto *handler = new AuthHandler(webDomain, m_printLine);
        handler->startWebAuthSession(
            loginPage, [handler, done = std::move(done)](const LoginOutcome &outcome) {
                handler->deleteLater();
                if (done) {
                    done(outcome);
                }
            });
    }

private:
    std::function<void(const QString &)> m_printLine;
    std::unique_ptr<DashboardSessionBridge> m_bridge;
};

} // namespace

extern "C" __attribute__((visibility("default"))) WebLayer *
vorlanta_create_web_layer(const WebLayer::Setup *setup)
{
    // Chromium's sandbox refuses to run as root (containers, CI); everyone else keeps it.
    if (::geteuid() == 0 && !qEnvironmentVariableIsSet("QTWEBENGINE_DISABLE_SANDBOX")) {
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    }
    shareGraphicsContexts();
    // The engine reports its graphics set-up at every start on standard output, which ends up in
    // the user's journal; QT_LOGGING_RULES can still ask for it.
    QLoggingCategory::setFilterRules(QStringLiteral("qt.webenginecontext.info=false"));
    // Never destroyed: its pages would outlive the application object at exit.
    static auto *layer = new VorlantaWebLayer(*setup);
    return layer;
}
