#include "core/shell/AuthTokenReceiver.h"
#include "core/shell/Logger.h"
#include "core/shell/PendingAuthToken.h"
#include "gui/shell/AccountSwitchPrompt.h"
#include "gui/shell/AppContext.h"
#include "gui/shell/AppDelegate.h"
#include "gui/shell/UploadFailedModal.h"
#include "gui/shell/Vorlanta_CreatorApp.h"
#include "support/TestEnvironment.h"

#include <QtCore/QTimer>
#include <QtCore/QUrl>
#include <QtGui/QClipboard>
#include <QtGui/QWindow>
#include <QtWidgets/QAbstractButton>
#include <QtWidgets/QMessageBox>

using namespace Qt::StringLiterals;

namespace {

struct RecordingReceiver final : AuthTokenReceiver {
    void loginWithToken(const QString &token) override { tokens.append(token); }
    QStringList tokens;
};

// Skipped: another scheme, no "//", another host; the item name is case-sensitive, the first
// token counts and is decoded ('+' stays).
const QList<QUrl> kTokenUrls = QUrl::fromStringList(
    u"https://auth?token=x vorlanta-creator:auth?token=y vorlanta-creator://other?token=z "
    "VORLANTA-CREATOR://AUTH?Token=t&token=a%2Bb%20c&token=2"_s.split(u' '));

} // namespace

class TestGuiShell : public QObject {
    Q_OBJECT
    AppDelegate &delegate() { return m_app->appDelegate(); }
    AppContext &context() { return m_app->appContext(); }
    // One for the class: a second delegate here would find the first running and quit the app.
    std::unique_ptr<Vorlanta_CreatorApp> m_app;

private Q_SLOTS:
    void initTestCase()
    {
        m_app = std::make_unique<Vorlanta_CreatorApp>();
        QVERIFY(delegate().singleInstanceManager().isSingleInstance());
    }
    void cleanup()
    {
        delegate().setPendingAppState(nullptr);
        context().setAppState(nullptr);
        // Deliveries still queued find no receiver now and must not reach a later test's one.
        QCoreApplication::processEvents();
        (void)PendingAuthToken::shared().consume();
    }
    void cleanupTestCase() { m_app.reset(); }

    void tokenIsDeliveredExactlyOnce_data()
    {
        // 't' the token arrives; the receiver installed as 'P' pending or 'C' context state, 'B'
        // another one as pending state; 'a' applyAppContextIfReady, 'p' processPendingAuthToken.
        QTest::addColumn<QString>("steps");
        QTest::newRow("parked while no state, handed to the pending one by apply") << u"tpaPaap"_s;
        QTest::newRow("context state preferred over pending state") << u"tCBppp"_s;
        QTest::newRow("context state first") << u"Ctpa"_s;
    }
    void tokenIsDeliveredExactlyOnce()
    {
        QFETCH(QString, steps);
        RecordingReceiver receiver, bypassed;
        const QHash<QChar, std::function<void()>> run{
            {u't', [&] { delegate().applicationOpenUrls(kTokenUrls); }},
            {u'P', [&] { delegate().setPendingAppState(&receiver); }},
            {u'C', [&] { context().setAppState(&receiver); }},
            {u'B', [&] { delegate().setPendingAppState(&bypassed); }},
            {u'a', [&] { delegate().applyAppContextIfReady(); }},
            {u'p', [&] { delegate().processPendingAuthToken(); }}};
        for (const QChar step : steps) {
            run[step]();
        }
        // Sign-in starts from the event loop, never inside the calls above.
        QCOMPARE(receiver.tokens, QStringList());
        QTRY_COMPARE(receiver.tokens, QStringList{u"a+b c"_s});
        QVERIFY(!PendingAuthToken::shared().consume());
        for (const QChar step : steps.remove(u't')) { // the calls again, without a new token
            run[step]();
        }
        QTest::qWait(100);
        QCOMPARE(receiver.tokens, QStringList{u"a+b c"_s});
        QCOMPARE(bypassed.tokens, QStringList());
    }

    void tokenFollowsAStateReplacedBeforeDelivery()
    {
        RecordingReceiver replaced, successor, gone;
        delegate().setPendingAppState(&replaced);
        delegate().applicationOpenUrls({QUrl(u"vorlanta-creator://auth?token=moved"_s)});
        // Taken out for the first state, which goes away before sign-in starts.
        delegate().setPendingAppState(&successor);
        QTRY_COMPARE(successor.tokens, QStringList{u"moved"_s});
        QCOMPARE(replaced.tokens, QStringList());

        // With no state at all the token waits again instead of being dropped.
        delegate().setPendingAppState(&gone);
        delegate().applicationOpenUrls({QUrl(u"vorlanta-creator://auth?token=kept"_s)});
        delegate().setPendingAppState(nullptr);
        QTest::qWait(50);
        QCOMPARE(gone.tokens, QStringList());
        QCOMPARE(PendingAuthToken::shared().consume(), std::optional<QString>(u"kept"_s));
    }

    void activationShowsNamedWindowsOnly()
    {
        // Shown: windows with a title or an object name; left alone: anonymous ones and panels.
        QWidget titled, anonymous, tool(nullptr, Qt::Tool);
        QWindow named, splash;
        titled.setWindowTitle(u"Vorlanta Creator"_s);
        tool.setWindowTitle(u"Drop"_s);
        named.setObjectName(u"uploads"_s);
        splash.setFlags(Qt::SplashScreen);
        splash.setTitle(u"Splash"_s);
        const auto visible = [&] {
            return QList<bool>{titled.isVisible(), named.isVisible(), anonymous.isVisible(),
                               tool.isVisible(), splash.isVisible()};
        };
        // Reopening without visible windows leaves everything hidden; with them it activates.
        QCOMPARE(delegate().applicationShouldHandleReopen(false), false);
        QCOMPARE(visible(), QList<bool>(5, false));
        QCOMPARE(delegate().applicationShouldHandleReopen(true), false);
        QCOMPARE(visible(), (QList<bool>{true, true, false, false, false}));
        QTRY_VERIFY(QGuiApplication::focusWindow());
    }

    void uploadFailedAnswerDecidesClipboard()
    {
        for (const Qt::Key key : {Qt::Key_Escape, Qt::Key_Return}) { // cancel, copy (the default)
            QGuiApplication::clipboard()->setText(u"before"_s);
            const QString log = Logger::joinedMemoryBuffer();
            QStringList seen;
            QTimer poll;
            poll.callOnTimeout(this, [&] {
                if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                    seen << box->text();
                    for (QAbstractButton *button : box->buttons()) {
                        seen << button->text();
                    }
                    QTest::keyClick(box->focusWidget() ? box->focusWidget() : box, key);
                    if (box->isVisible()) { // an alert the key did not close fails, not hangs
                        box->reject();
                        seen << u"still open"_s;
                    }
                }
            });
            poll.start(10);
            Logger::showUploadFailedModal(u"Disk full"_s);
            QCOMPARE(seen, (QStringList{u"Upload Failed"_s, u"Copy Error Log"_s, u"Cancel"_s}));
            // The report's log section is this process's log as it stood when the alert was shown.
            const QString clip = QGuiApplication::clipboard()->text();
            QVERIFY2(
                key == Qt::Key_Return
                    ? clip.startsWith(u"=== System Information ===\nApp Version: "_s) &&
                          clip.endsWith(u"\n=== Error ===\nDisk full\n\n=== Full Log ===\n"_s + log)
                    : clip == u"before"_s,
                qPrintable(clip));
        }
    }

    // The question before a sign-in link switches accounts gets its answer back; Escape and
    // closing the window mean staying signed in.
    void accountSwitchAnswerReachesTheCaller_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<bool>("agreed");
        QTest::newRow("Switch Account") << u"Switch Account"_s << true;
        QTest::newRow("Stay Signed In") << u"Stay Signed In"_s << false;
        QTest::newRow("Escape") << u"escape"_s << false;
    }
    void accountSwitchAnswerReachesTheCaller()
    {
        QFETCH(QString, answer);
        QFETCH(bool, agreed);
        std::optional<bool> result;
        auto ask = [&result]() -> QCoro::Task<> {
            result = co_await AccountSwitchPrompt::ask(u"Sam"_s);
        };
        ask();
        const auto prompt = []() -> QMessageBox * {
            for (QWidget *widget : QApplication::topLevelWidgets()) {
                if (widget->objectName() == u"accountSwitchPrompt"_s && widget->isVisible()) {
                    return qobject_cast<QMessageBox *>(widget);
                }
            }
            return nullptr;
        };
        QMessageBox *box = nullptr;
        QTRY_VERIFY((box = prompt()));
        QVERIFY(!result);
        if (answer == u"escape"_s) {
            QTest::keyClick(box, Qt::Key_Escape);
        } else {
            for (QAbstractButton *button : box->buttons()) {
                if (button->text() == answer) {
                    button->click();
                }
            }
        }
        QTRY_COMPARE(result, std::optional(agreed));
    }
};

VORLANTA_TEST_MAIN(TestGuiShell)
#include "tst_GuiShell.moc"
