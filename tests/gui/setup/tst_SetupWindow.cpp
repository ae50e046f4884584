#include "core/api/AppState.h"
#include "core/api/AuthStore.h"
#include "gui/setup/SetupPromptView.h"
#include "gui/setup/SetupWindowManager.h"
#include "gui/shell/AppContext.h"
#include "gui/shell/NotificationCenter.h"
#include "support/Await.h"
#include "support/DataRows.h"
#include "support/SandboxProcess.h"
#include "support/TestEnvironment.h"

#include <QtTest/QSignalSpy>
#include <QtWidgets/QLabel>
#include <QtWidgets/QPushButton>

using namespace Qt::StringLiterals;
using namespace TestSupport;

// The setup window against a real signed-in state on the sandbox.
class TestSetupWindow : public QObject {
    Q_OBJECT
    SandboxProcess m_sandbox;

    std::unique_ptr<AppState> startState(bool signedIn)
    {
        if (signedIn) {
            AuthStore::save(AuthState{m_sandbox.token(), std::nullopt});
        } else {
            AuthStore::deleteAuthState();
        }
        return std::unique_ptr<AppState>(await(AppState::create(m_sandbox.baseUrl().toString())));
    }
    template <class T = QWidget> static T *find(QWidget *in, const QString &name)
    {
        return in ? in->findChild<T *>(name) : nullptr;
    }

private Q_SLOTS:
    void cleanup()
    {
        for (QWidget *window : QApplication::topLevelWidgets()) {
            delete window;
        }
    }

    // Signed out: the window opens by itself and turns into the welcome page in place on
    // sign-in; signed in: nothing opens. Binding twice changes nothing.
    void followsTheStatus_data()
    {
        columns<bool>("signedIn");
        row("signed out at start", false);
        row("signed in at start", true);
    }
    void followsTheStatus()
    {
        const auto [signedIn] = fetch<bool>("signedIn");
        const std::unique_ptr<AppState> state = startState(signedIn);
        AppContext context;
        context.setAppState(state.get());
        SetupWindowManager &manager = *context.setupWindowManager();
        manager.bind(state.get());
        manager.bind(state.get());
        QTest::qWait(100);
        QCOMPARE(bool(manager.window()), !signedIn);
        if (signedIn) {
            return;
        }
        const QPointer<QWidget> window = manager.window();
        QVERIFY(window->isVisible());
        QCOMPARE(window->windowTitle(), u"Vorlanta Setup"_s);
        QCOMPARE(window->size(), QSize(800, 780));
        QVERIFY(find(window, u"setupPage"_s) && find(window, u"autoLogin"_s));
        await(state->login(m_sandbox.token()));
        QTRY_VERIFY(find(window, u"setupWelcome"_s));
        QCOMPARE(manager.window(), window.data());
        QTRY_VERIFY(!find(window, u"setupPage"_s));
        QCOMPARE(find<QLabel>(window, u"allSet"_s)->text(), u"You're all set!"_s);
        // "Or explore the dashboard" asks for it and closes the window.
        QSignalSpy posted(&NotificationCenter::defaultCenter(), &NotificationCenter::posted);
        find<QPushButton>(window, u"exploreDashboard"_s)->click();
        QCOMPARE(posted.size(), 1);
        QCOMPARE(posted[0][0].toString(), u"OpenDashboardRequested"_s);
        QVERIFY(!manager.window());
        QTRY_VERIFY(!window);
    }

    // Closed with its close button, the window comes back through the popover's prompt.
    void closedThenOpenSetupMakesANewWindow()
    {
        const std::unique_ptr<AppState> state = startState(false);
        AppContext context;
        context.setAppState(state.get());
        context.setupWindowManager()->bind(state.get());
        QTRY_VERIFY(context.setupWindowManager()->window());
        const QPointer<QWidget> first = context.setupWindowManager()->window();
        first->close();
        QVERIFY(!context.setupWindowManager()->window());
        QTRY_VERIFY(!first);
        SetupPromptView prompt(state.get(), &context);
        find<QPushButton>(&prompt, u"openSetup"_s)->click();
        QVERIFY(context.setupWindowManager()->window());
        QVERIFY(context.setupWindowManager()->window()->isVisible());
    }
};

VORLANTA_TEST_MAIN(TestSetupWindow)
#include "tst_SetupWindow.moc"
