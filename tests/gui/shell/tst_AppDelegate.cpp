#include "core/shell/AuthTokenReceiver.h"
#include "core/shell/Logger.h"
#include "core/shell/PendingAuthToken.h"
#include "gui/shell/AppContext.h"
#include "gui/shell/AppDelegate.h"
#include "gui/shell/Vorlanta_CreatorApp.h"
#include "support/TestEnvironment.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QRegularExpression>
#include <QtCore/QUrl>
#include <QtGui/QWindow>
#include <QtTest/QTest>
#include <QtWidgets/QApplication>
#include <QtWidgets/QWidget>

#include <memory>
#include <optional>

namespace {

// The messages ("LEVEL text") of the logger lines added since `before` was read. Anything that
// is not a well-formed line shows up as a marker, so that comparisons fail visibly.
QStringList logMessagesSince(const QString &before)
{
    const QString now = Logger::joinedMemoryBuffer();
    if (!now.startsWith(before)) {
        return {QStringLiteral("<earlier log lines changed>")};
    }
    static const QRegularExpression line(
        QStringLiteral("\\[\\d{4}-\\d{2}-\\d{2}T\\d{6}Z\\] ([^\\n]*)\\n"));
    QStringList messages;
    qsizetype offset = before.size();
    while (offset < now.size()) {
        const QRegularExpressionMatch match =
            line.match(now, offset, QRegularExpression::NormalMatch,
                       QRegularExpression::AnchorAtOffsetMatchOption);
        if (!match.hasMatch()) {
            messages.append(QStringLiteral("<malformed: ") + now.mid(offset) + QLatin1Char('>'));
            break;
        }
        messages.append(match.captured(1));
        offset = match.capturedEnd(0);
    }
    return messages;
}

QList<QUrl> toUrls(const QStringList &texts)
{
    QList<QUrl> urls;
    for (const QString &text : texts) {
        urls.append(QUrl(text));
    }
    return urls;
}

class RecordingReceiver final : public AuthTokenReceiver {
public:
    void loginWithToken(const QString &token) override { tokens.append(token); }
    QStringList tokens;
};

enum class Holder { PendingState, ContextState, ContextStateOverPending, PendingWithoutContext };

const QString kReceived = QStringLiteral("INFO [AppDelegate] Received auth token via custom URL");
const QString kMissing = QStringLiteral("WARN [AppDelegate] Auth callback missing token");
const QString kUnknownHost =
    QStringLiteral("WARN [AppDelegate] Unknown host for custom URL scheme: ");
const QString kDidSet =
    QStringLiteral("INFO [AppDelegate] appContext didSet, calling applyAppContextIfReady");
const QString kApplyAvailable = QStringLiteral("INFO [AppDelegate] applyAppContextIfReady: "
                                               "appContext available, applying state and provider");
const QString kApplyNil =
    QStringLiteral("INFO [AppDelegate] applyAppContextIfReady: appContext is nil, skipping");
const QByteArray kBridgedLine =
    QByteArrayLiteral("[Vorlanta_CreatorApp] Bridged AppContext to AppDelegate\n");

} // namespace

class TestAppDelegate : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanup();
    void cleanupTestCase();

    void bridgeLogsInOrderThenPrints();
    void bridgeWithSameContextAgainDoesNothing();
    void applyAppContextIfReadyReportsContext_data();
    void applyAppContextIfReadyReportsContext();

    void openUrlsRoutesCustomScheme_data();
    void openUrlsRoutesCustomScheme();
    void tokenWaitsWhileNoReceiverExists_data();
    void tokenWaitsWhileNoReceiverExists();
    void tokenIsDeliveredExactlyOnce_data();
    void tokenIsDeliveredExactlyOnce();
    void tokenFollowsAStateReplacedBeforeDelivery();

    void activationShowsNamedWindows_data();
    void activationShowsNamedWindows();
    void reopenActsOnlyWithVisibleWindows_data();
    void reopenActsOnlyWithVisibleWindows();

private:
    AppDelegate &delegate() { return m_app->appDelegate(); }
    AppContext &context() { return m_app->appContext(); }

    // One application object for the whole class: a second delegate in this process would find
    // the first one running and ask the application to quit.
    std::unique_ptr<Vorlanta_CreatorApp> m_app;
    QStringList m_constructionLog;
    QByteArray m_constructionStdout;
};

void TestAppDelegate::initTestCase()
{
    // Nothing else has logged yet, so these are exactly the lines of the construction.
    const QString before = Logger::joinedMemoryBuffer();
    TestSupport::StdoutCapture capture;
    m_app = std::make_unique<Vorlanta_CreatorApp>();
    m_constructionStdout = capture.finish();
    m_constructionLog = logMessagesSince(before);
    QVERIFY(delegate().singleInstanceManager().isSingleInstance());
    QVERIFY(!PendingAuthToken::shared().consume());
}

void TestAppDelegate::cleanup()
{
    delegate().setPendingAppState(nullptr);
    if (delegate().appContext() != &context()) {
        delegate().setAppContext(&context());
    }
    context().setAppState(nullptr);
    // Deliveries still queued find no receiver now and must not reach a later test's one.
    QCoreApplication::processEvents();
    (void)PendingAuthToken::shared().consume();
}

void TestAppDelegate::cleanupTestCase()
{
    m_app.reset();
}

void TestAppDelegate::bridgeLogsInOrderThenPrints()
{
    QCOMPARE(delegate().appContext(), &context());
    QCOMPARE(m_constructionLog, (QStringList{kDidSet, kApplyAvailable}));

    // The bridge line follows the logger's apply line and is a plain stdout line, not a log one.
    const QByteArray applyThenBridged = kApplyAvailable.toUtf8() + '\n' + kBridgedLine;
    QVERIFY2(m_constructionStdout.endsWith(applyThenBridged), m_constructionStdout.constData());
    QCOMPARE(m_constructionStdout.count(kBridgedLine), qsizetype(1));
    QVERIFY(!Logger::joinedMemoryBuffer().contains(QLatin1String("Bridged AppContext")));
}

void TestAppDelegate::bridgeWithSameContextAgainDoesNothing()
{
    const QString before = Logger::joinedMemoryBuffer();
    TestSupport::StdoutCapture capture;
    m_app->ensureAppContextBridge(context());
    const QByteArray printed = capture.finish();

    QCOMPARE(logMessagesSince(before), QStringList());
    QCOMPARE(printed, QByteArray());
    QCOMPARE(delegate().appContext(), &context());
}

void TestAppDelegate::applyAppContextIfReadyReportsContext_data()
{
    QTest::addColumn<bool>("withContext");
    QTest::addColumn<QString>("expected");

    QTest::newRow("context bridged") << true << kApplyAvailable;
    QTest::newRow("context detached") << false << kApplyNil;
}

void TestAppDelegate::applyAppContextIfReadyReportsContext()
{
    QFETCH(bool, withContext);
    QFETCH(QString, expected);

    if (!withContext) {
        delegate().setAppContext(nullptr);
    }
    const QString before = Logger::joinedMemoryBuffer();
    delegate().applyAppContextIfReady();
    QCOMPARE(logMessagesSince(before), QStringList{expected});
}

void TestAppDelegate::openUrlsRoutesCustomScheme_data()
{
    QTest::addColumn<QStringList>("urls");
    QTest::addColumn<QStringList>("expectedLog");
    // A null string: nothing may be parked.
    QTest::addColumn<QString>("expectedParked");

    const QString none;
    const auto token = [](const char *value) { return QString::fromUtf8(value); };

    QTest::newRow("auth with token")
        << QStringList{QStringLiteral("vorlanta-creator://auth?token=abc")}
        << QStringList{kReceived} << token("abc");
    QTest::newRow("scheme and host in capitals")
        << QStringList{QStringLiteral("VORLANTA-CREATOR://AUTH?token=abc")}
        << QStringList{kReceived} << token("abc");
    QTest::newRow("token after another item")
        << QStringList{QStringLiteral("vorlanta-creator://auth?state=1&token=abc")}
        << QStringList{kReceived} << token("abc");
    QTest::newRow("first of two tokens")
        << QStringList{QStringLiteral("vorlanta-creator://auth?token=first&token=second")}
        << QStringList{kReceived} << token("first");
    QTest::newRow("percent-encoded token")
        << QStringList{QStringLiteral("vorlanta-creator://auth?token=a%2Bb%20c")}
        << QStringList{kReceived} << token("a+b c");
    QTest::newRow("item name is case-sensitive")
        << QStringList{QStringLiteral("vorlanta-creator://auth?Token=abc")} << QStringList{kMissing}
        << none;
    QTest::newRow("empty token") << QStringList{QStringLiteral("vorlanta-creator://auth?token=")}
                                 << QStringList{kMissing} << none;
    QTest::newRow("no query") << QStringList{QStringLiteral("vorlanta-creator://auth")}
                              << QStringList{kMissing} << none;
    QTest::newRow("query without token")
        << QStringList{QStringLiteral("vorlanta-creator://auth?code=abc")} << QStringList{kMissing}
        << none;
    QTest::newRow("unknown host") << QStringList{QStringLiteral("vorlanta-creator://other?token=x")}
                                  << QStringList{kUnknownHost + QStringLiteral("other")} << none;
    QTest::newRow("unknown host in capitals")
        << QStringList{QStringLiteral("vorlanta-creator://OTHER/path")}
        << QStringList{kUnknownHost + QStringLiteral("other")} << none;
    QTest::newRow("other scheme") << QStringList{QStringLiteral("https://auth?token=x")}
                                  << QStringList() << none;
    QTest::newRow("no host") << QStringList{QStringLiteral("vorlanta-creator:auth?token=x")}
                             << QStringList() << none;
    QTest::newRow("empty host") << QStringList{QStringLiteral("vorlanta-creator:///auth?token=x")}
                                << QStringList() << none;
    QTest::newRow("skipped URLs do not stop the rest")
        << QStringList{QStringLiteral("https://auth?token=x"),
                       QStringLiteral("vorlanta-creator:auth?token=y"),
                       QStringLiteral("vorlanta-creator://upload"),
                       QStringLiteral("vorlanta-creator://auth?token=last")}
        << QStringList{kUnknownHost + QStringLiteral("upload"), kReceived} << token("last");
}

void TestAppDelegate::openUrlsRoutesCustomScheme()
{
    QFETCH(QStringList, urls);
    QFETCH(QStringList, expectedLog);
    QFETCH(QString, expectedParked);

    // The context has no state and nothing is pending, so an accepted token stays parked.
    QVERIFY(!context().appState());
    QVERIFY(!delegate().pendingAppState());

    const QString before = Logger::joinedMemoryBuffer();
    delegate().applicationOpenUrls(toUrls(urls));
    QCOMPARE(logMessagesSince(before), expectedLog);
    const std::optional<QString> parked = PendingAuthToken::shared().consume();
    QCOMPARE(parked.has_value(), !expectedParked.isNull());
    if (parked) {
        QCOMPARE(*parked, expectedParked);
    }
}

void TestAppDelegate::tokenWaitsWhileNoReceiverExists_data()
{
    QTest::addColumn<bool>("withContext");

    QTest::newRow("context without state") << true;
    QTest::newRow("no context") << false;
}

void TestAppDelegate::tokenWaitsWhileNoReceiverExists()
{
    QFETCH(bool, withContext);

    if (!withContext) {
        delegate().setAppContext(nullptr);
    }
    delegate().applicationOpenUrls({QUrl(QStringLiteral("vorlanta-creator://auth?token=wait"))});
    delegate().processPendingAuthToken();
    delegate().applyAppContextIfReady();
    QTest::qWait(50);
    const std::optional<QString> parked = PendingAuthToken::shared().consume();
    QVERIFY(parked.has_value());
    QCOMPARE(*parked, QStringLiteral("wait"));
}

void TestAppDelegate::tokenIsDeliveredExactlyOnce_data()
{
    QTest::addColumn<Holder>("holder");
    QTest::addColumn<bool>("tokenFirst");
    // Calls made after the receiver is installed: 'a' applyAppContextIfReady, 'p'
    // processPendingAuthToken.
    QTest::addColumn<QString>("calls");

    QTest::newRow("parked, then pending state handed over by apply")
        << Holder::PendingState << true << QStringLiteral("aap");
    QTest::newRow("parked, then pending state processed repeatedly")
        << Holder::PendingState << true << QStringLiteral("ppp");
    QTest::newRow("parked, then context state")
        << Holder::ContextState << true << QStringLiteral("apap");
    QTest::newRow("context state preferred over pending state")
        << Holder::ContextStateOverPending << true << QStringLiteral("ppp");
    QTest::newRow("parked, then pending state without context")
        << Holder::PendingWithoutContext << true << QStringLiteral("pap");
    QTest::newRow("pending state first, then token")
        << Holder::PendingState << false << QStringLiteral("ap");
    QTest::newRow("context state first, then token")
        << Holder::ContextState << false << QStringLiteral("pa");
}

void TestAppDelegate::tokenIsDeliveredExactlyOnce()
{
    QFETCH(Holder, holder);
    QFETCH(bool, tokenFirst);
    QFETCH(QString, calls);

    RecordingReceiver receiver;
    RecordingReceiver bypassed;
    const QString token = QStringLiteral("once-token");
    const auto openAuthUrl = [&] {
        delegate().applicationOpenUrls(
            {QUrl(QStringLiteral("vorlanta-creator://auth?token=") + token)});
    };
    const auto installReceiver = [&] {
        switch (holder) {
        case Holder::PendingState:
            delegate().setPendingAppState(&receiver);
            break;
        case Holder::ContextState:
            context().setAppState(&receiver);
            break;
        case Holder::ContextStateOverPending:
            context().setAppState(&receiver);
            delegate().setPendingAppState(&bypassed);
            break;
        case Holder::PendingWithoutContext:
            delegate().setAppContext(nullptr);
            delegate().setPendingAppState(&receiver);
            break;
        }
    };
    const auto runCalls = [&] {
        for (const QChar call : calls) {
            if (call == QLatin1Char('a')) {
                delegate().applyAppContextIfReady();
            } else {
                delegate().processPendingAuthToken();
            }
        }
    };

    if (tokenFirst) {
        openAuthUrl();
        installReceiver();
    } else {
        installReceiver();
        openAuthUrl();
    }
    runCalls();
    // Sign-in starts from the event loop, never inside the calls above.
    QCOMPARE(receiver.tokens, QStringList());

    QTRY_COMPARE(receiver.tokens, QStringList{token});
    QVERIFY(!PendingAuthToken::shared().consume());

    // Running everything again, and more turns of the loop, must not deliver a second time.
    runCalls();
    QTest::qWait(100);
    QCOMPARE(receiver.tokens, QStringList{token});
    QCOMPARE(bypassed.tokens, QStringList());
}

void TestAppDelegate::tokenFollowsAStateReplacedBeforeDelivery()
{
    RecordingReceiver replaced;
    RecordingReceiver successor;
    delegate().setPendingAppState(&replaced);
    delegate().applicationOpenUrls({QUrl(QStringLiteral("vorlanta-creator://auth?token=moved"))});
    // Taken out for the first state, which goes away before sign-in starts.
    delegate().setPendingAppState(&successor);
    QTRY_COMPARE(successor.tokens, QStringList{QStringLiteral("moved")});
    QCOMPARE(replaced.tokens, QStringList());

    // With no state at all the token waits again instead of being dropped.
    RecordingReceiver gone;
    delegate().setPendingAppState(&gone);
    delegate().applicationOpenUrls({QUrl(QStringLiteral("vorlanta-creator://auth?token=kept"))});
    delegate().setPendingAppState(nullptr);
    QTest::qWait(50);
    QCOMPARE(gone.tokens, QStringList());
    QCOMPARE(PendingAuthToken::shared().consume(), std::optional<QString>(QStringLiteral("kept")));
}

void TestAppDelegate::activationShowsNamedWindows_data()
{
    QTest::addColumn<bool>("plainWindow");
    QTest::addColumn<Qt::WindowType>("type");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("initiallyVisible");
    QTest::addColumn<bool>("expectVisible");

    const QString title = QStringLiteral("Vorlanta Creator");
    const QString noTitle;
    const QString name = QStringLiteral("settingsWindow");
    const QString noName;

    QTest::newRow("hidden titled widget")
        << false << Qt::Window << title << noName << false << true;
    QTest::newRow("hidden named widget") << false << Qt::Window << noTitle << name << false << true;
    QTest::newRow("hidden titled dialog")
        << false << Qt::Dialog << title << noName << false << true;
    QTest::newRow("hidden anonymous widget")
        << false << Qt::Window << noTitle << noName << false << false;
    QTest::newRow("hidden tool widget") << false << Qt::Tool << title << name << false << false;
    QTest::newRow("hidden popup widget") << false << Qt::Popup << title << name << false << false;
    QTest::newRow("hidden tooltip widget")
        << false << Qt::ToolTip << title << name << false << false;
    QTest::newRow("hidden splash widget")
        << false << Qt::SplashScreen << title << name << false << false;
    QTest::newRow("visible titled widget")
        << false << Qt::Window << title << noName << true << true;
    QTest::newRow("hidden titled window") << true << Qt::Window << title << noName << false << true;
    QTest::newRow("hidden named window") << true << Qt::Window << noTitle << name << false << true;
    QTest::newRow("hidden anonymous window")
        << true << Qt::Window << noTitle << noName << false << false;
    QTest::newRow("hidden tool window") << true << Qt::Tool << title << name << false << false;
    QTest::newRow("hidden splash window")
        << true << Qt::SplashScreen << title << name << false << false;
    QTest::newRow("visible titled window") << true << Qt::Window << title << noName << true << true;
}

void TestAppDelegate::activationShowsNamedWindows()
{
    QFETCH(bool, plainWindow);
    QFETCH(Qt::WindowType, type);
    QFETCH(QString, title);
    QFETCH(QString, name);
    QFETCH(bool, initiallyVisible);
    QFETCH(bool, expectVisible);

    std::unique_ptr<QWidget> widget;
    std::unique_ptr<QWindow> window;
    if (plainWindow) {
        window = std::make_unique<QWindow>();
        window->setFlags(type);
        window->setTitle(title);
        window->setObjectName(name);
        window->resize(240, 160);
        if (initiallyVisible) {
            window->show();
            QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        }
    } else {
        widget = std::make_unique<QWidget>(nullptr, type);
        widget->setWindowTitle(title);
        widget->setObjectName(name);
        widget->resize(240, 160);
        if (initiallyVisible) {
            widget->show();
            QVERIFY(QTest::qWaitForWindowExposed(widget.get()));
        }
    }
    const auto isVisible = [&] { return plainWindow ? window->isVisible() : widget->isVisible(); };

    delegate().applicationDidBecomeActive();
    QCOMPARE(isVisible(), expectVisible);
    if (expectVisible && !initiallyVisible) {
        // A window brought back is also given the focus.
        if (plainWindow) {
            QVERIFY(QTest::qWaitForWindowActive(window.get()));
        } else {
            QVERIFY(QTest::qWaitForWindowActive(widget.get()));
        }
    }
    // Later turns of the loop do not change the outcome either.
    QTest::qWait(20);
    QCOMPARE(isVisible(), expectVisible);
}

void TestAppDelegate::reopenActsOnlyWithVisibleWindows_data()
{
    QTest::addColumn<bool>("hasVisibleWindows");

    QTest::newRow("with visible windows") << true;
    QTest::newRow("without visible windows") << false;
}

void TestAppDelegate::reopenActsOnlyWithVisibleWindows()
{
    QFETCH(bool, hasVisibleWindows);

    QWidget hiddenMain;
    hiddenMain.setWindowTitle(QStringLiteral("Vorlanta Creator"));
    hiddenMain.resize(240, 160);
    QWidget hiddenPanel(nullptr, Qt::Tool);
    hiddenPanel.setWindowTitle(QStringLiteral("Drop"));
    hiddenPanel.resize(120, 120);
    std::unique_ptr<QWidget> shown;
    if (hasVisibleWindows) {
        shown = std::make_unique<QWidget>();
        shown->setObjectName(QStringLiteral("uploadsWindow"));
        shown->resize(240, 160);
        shown->show();
        QVERIFY(QTest::qWaitForWindowExposed(shown.get()));
    }

    QCOMPARE(delegate().applicationShouldHandleReopen(hasVisibleWindows), false);
    QCOMPARE(hiddenMain.isVisible(), hasVisibleWindows);
    QVERIFY(!hiddenPanel.isVisible());
    if (shown) {
        QVERIFY(shown->isVisible());
    }
    QTest::qWait(20);
    QCOMPARE(hiddenMain.isVisible(), hasVisibleWindows);
    QVERIFY(!hiddenPanel.isVisible());
}

VORLANTA_TEST_MAIN(TestAppDelegate)
#include "tst_AppDelegate.moc"
