#include "AuthHandler.h"

#include "ScriptText.h"
#include "WebViewStore.h"

#include <QtCore/QFile>
#include <QtCore/QTimer>
#include <QtGui/QCloseEvent>
#include <QtGui/QGuiApplication>
#include <QtGui/QScreen>
#include <QtWebChannel/QWebChannel>
#include <QtWebEngineCore/QWebEngineLoadingInfo>
#include <QtWebEngineCore/QWebEnginePage>
#include <QtWebEngineCore/QWebEngineScript>
#include <QtWebEngineCore/QWebEngineScriptCollection>
#include <QtWebEngineWidgets/QWebEngineView>
#include <QtWidgets/QVBoxLayout>

namespace {

// The login page's tab: no new windows, and script dialogs answer at once with nothing shown.
class LoginPage : public QWebEnginePage {
public:
    using QWebEnginePage::QWebEnginePage;

protected:
    QWebEnginePage *createWindow(WebWindowType) override { return nullptr; }
    void javaScriptAlert(const QUrl &, const QString &) override {}
    bool javaScriptConfirm(const QUrl &, const QString &) override { return false; }
    bool javaScriptPrompt(const QUrl &, const QString &, const QString &, QString *) override
    {
        return false;
    }
};

// The window; closing it by hand is reported, hiding it is not.
class LoginWindow : public QWidget {
public:
    std::function<void()> onClose;

protected:
    void closeEvent(QCloseEvent *event) override
    {
        QWidget::closeEvent(event);
        if (onClose) {
            onClose();
        }
    }
};

QString scriptFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

QWebEngineScript pageScript(const QString &name, const QString &source)
{
    QWebEngineScript script;
    script.setName(name);
    script.setInjectionPoint(QWebEngineScript::DocumentCreation);
    script.setRunsOnSubFrames(true);
    script.setWorldId(QWebEngineScript::MainWorld);
    script.setSourceCode(source);
    return script;
}

// The page's end of the channel: messages count only while the page is on the web domain.
class TokenFound : public QObject {
    Q_OBJECT
public:
    TokenFound(AuthHandler *handler, QWebEnginePage *page) : m_handler(handler), m_page(page) {}

    Q_INVOKABLE void postMessage(const QVariant &body)
    {
        if (m_handler && m_page && m_handler->isOnWebDomain(m_page->url().host())) {
            m_handler->receive(body);
        }
    }

private:
    QPointer<AuthHandler> m_handler;
    QPointer<QWebEnginePage> m_page;
};

QString preview(const QString &value)
{
    return value.size() >= 17 ? value.left(16) + QStringLiteral("...") : value;
}

} // namespace

AuthHandler::AuthHandler(QString webDomain, std::function<void(const QString &)> printLine)
    : m_webDomain(std::move(webDomain).toLower()), m_printLine(std::move(printLine))
{}

AuthHandler::~AuthHandler()
{
    cleanUp();
}

bool AuthHandler::isOnWebDomain(const QString &host) const
{
    const QString lower = host.toLower();
    const QString subdomains = QStringLiteral(".") + m_webDomain;
    return !m_webDomain.isEmpty() && (lower == m_webDomain || lower.endsWith(subdomains));
}

void AuthHandler::startWebAuthSession(const QUrl &authenticationUrl,
                                      std::function<void(Outcome)> done)
{
    // 1, 2.
    m_didFinish = false;
    m_hasDeliveredToken = false;
    m_continuation = std::move(done);
    // 3. The shared profile, the channel library, then the token bridge, in every frame.
    auto *window = new LoginWindow;
    auto *view = new QWebEngineView(window);
    auto *page = new LoginPage(WebViewStore::shared(), view);
    page->scripts().insert(pageScript(QStringLiteral("qwebchannel"),
                                      scriptFile(QStringLiteral(":/qtwebchannel/qwebchannel.js"))));
    page->scripts().insert(
        pageScript(QStringLiteral("tokenBridge"),
                   scriptFile(QStringLiteral(":/vorlanta-web/TokenBridge.js"))
                       .replace(QStringLiteral("WEB_DOMAIN"), ScriptText::literal(m_webDomain))));
    auto *channel = new QWebChannel(page);
    channel->registerObject(QStringLiteral("tokenFound"), new TokenFound(this, page));
    page->setWebChannel(channel, QWebEngineScript::MainWorld);
    // 4.
    connect(page, &QWebEnginePage::loadingChanged, this, &AuthHandler::loadingChanged);
    view->setPage(page);
    m_page = page;
    // 5. The window, centred, in front.
    window->setWindowTitle(QStringLiteral("Login - Vorlanta Creator"));
    window->setObjectName(QStringLiteral("login"));
    auto *layout = new QVBoxLayout(window);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(view);
    window->resize(800, 600);
    if (QScreen *screen = QGuiApplication::primaryScreen()) {
        window->move(screen->availableGeometry().center() - window->rect().center());
    }
    window->onClose = [self = QPointer<AuthHandler>(this)] {
        if (self) {
            self->finish({});
        }
    };
    m_authWindow = window;
    window->show();
    window->raise();
    window->activateWindow();
    // 6.
    page->load(authenticationUrl);
}

void AuthHandler::receive(const QVariant &body)
{
    // 1.
    if (body.typeId() != QMetaType::QVariantMap) {
        return;
    }
    const QVariantMap message = body.toMap();
    const QVariant value = message.value(QStringLiteral("value"));
    if (value.typeId() != QMetaType::QString) {
        return;
    }
    const QString text = value.toString();
    // 2.
    const QVariant keyValue = message.value(QStringLiteral("key"));
    const QString key =
        keyValue.typeId() == QMetaType::QString ? keyValue.toString() : QStringLiteral("<unknown>");
    const QString length = QString::number(text.size());
    // 3.
    if (key.toLower().contains(QStringLiteral("chat")) || text.size() <= 39) {
        m_printLine(QStringLiteral("AuthHandler: ignoring token candidate for key ") + key +
                    QStringLiteral(" (") + length + QStringLiteral(" chars)"));
        return;
    }
    // 4, 5.
    if (m_hasDeliveredToken) {
        m_printLine(QStringLiteral("AuthHandler: duplicate token candidate ignored for key ") +
                    key);
        return;
    }
    m_hasDeliveredToken = true;
    m_printLine(QStringLiteral("AuthHandler: token candidate for key ") + key +
                QStringLiteral(" received (") + length + QStringLiteral(" chars, preview: ") +
                preview(text) + QStringLiteral(")"));
    finish({text, {}});
}

void AuthHandler::loadingChanged(const QWebEngineLoadingInfo &info)
{
    switch (info.status()) {
    case QWebEngineLoadingInfo::LoadSucceededStatus:
        pageFinished();
        return;
    case QWebEngineLoadingInfo::LoadFailedStatus:
        // A navigation the page itself cancelled (another one took its place, a link of another
        // scheme) is a stop, not a failure.
        if (info.errorDomain() == QWebEngineLoadingInfo::InternalErrorDomain ||
            (info.errorDomain() == QWebEngineLoadingInfo::ConnectionErrorDomain &&
             info.errorCode() == -3)) {
            return;
        }
        finish({std::nullopt, info.errorString().isEmpty()
                                  ? QStringLiteral("The page could not be loaded.")
                                  : info.errorString()});
        return;
    case QWebEngineLoadingInfo::LoadStartedStatus:
    case QWebEngineLoadingInfo::LoadStoppedStatus:
        return;
    }
}

void AuthHandler::pageFinished()
{
    // 1. Pages of the web domain only.
    if (!m_page || !isOnWebDomain(m_page->url().host())) {
        return;
    }
    // 2, 3. What the page keeps under "token", a moment after it loaded.
    QTimer::singleShot(kReadDelayMs, this, [this] {
        if (!m_page || m_didFinish) {
            return;
        }
        m_page->runJavaScript(QStringLiteral("localStorage.getItem('token');"),
                              [self = QPointer<AuthHandler>(this)](const QVariant &result) {
                                  if (self && result.typeId() == QMetaType::QString) {
                                      self->finish({result.toString(), {}});
                                  }
                              });
    });
}

void AuthHandler::finish(const Outcome &outcome)
{
    // 1. The first result only; the token itself never goes to standard output.
    if (std::exchange(m_didFinish, true)) {
        return;
    }
    const QString described =
        !outcome.error.isEmpty() ? QStringLiteral("failure(") + outcome.error + QStringLiteral(")")
        : outcome.token          ? QStringLiteral("success(token of ") +
                              QString::number(outcome.token->size()) + QStringLiteral(" chars)")
                        : QStringLiteral("success(nil)");
    m_printLine(QStringLiteral("AuthHandler: finishing with result ") + described);
    // 2-4. After a short grace, clean up, then resume the caller once.
    QTimer::singleShot(kGraceMs, this, [this, outcome] {
        cleanUp();
        if (auto continuation = std::exchange(m_continuation, nullptr)) {
            continuation(outcome);
        }
    });
}

void AuthHandler::cleanUp()
{
    if (m_page) {
        m_page->triggerAction(QWebEnginePage::Stop);
        m_page->disconnect(this);
    }
    m_page = nullptr;
    // Hidden, not closed: closing would report a second result.
    if (m_authWindow) {
        static_cast<LoginWindow *>(m_authWindow.data())->onClose = nullptr;
        m_authWindow->hide();
        m_authWindow->deleteLater();
    }
    m_authWindow = nullptr;
}

#include "AuthHandler.moc"
