#include "BuildConfig.h"
#include "TestPrograms.h"
#include "core/shell/Logger.h"
#include "core/shell/Paths.h"
#include "support/CreatorProcess.h"
#include "support/QueueFiles.h"
#include "support/SandboxProcess.h"
#include "support/SessionTray.h"
#include "support/TestEnvironment.h"

#include <QtCore/QDateTime>
#include <QtCore/QProcess>
#include <QtCore/QRect>
#include <QtCore/QRegularExpression>
#include <QtCore/QUrl>

using namespace Qt::StringLiterals;
using TestSupport::xdotool;

namespace {

const QString kEmail = u"journey@vorlanta.example"_s;
const QString kPassword = u"journey-pass"_s;

// Where each journey leaves its screenshots for people to look at.
QString shotPath(const QString &name)
{
    QDir().mkpath(QString::fromUtf8(TestPrograms::kJourneyDir));
    return QString::fromUtf8(TestPrograms::kJourneyDir) + u'/' + name + u".png"_s;
}

void screenshot(const QString &name)
{
    QProcess::execute(u"import"_s, {u"-window"_s, u"root"_s, shotPath(name)});
}

// The visible top-level window with exactly this title, and its frame on the screen.
struct Window {
    QString id;
    QRect frame;
};
Window visibleWindow(const QString &title)
{
    const QString id = xdotool({u"search"_s, u"--onlyvisible"_s, u"--name"_s,
                                u'^' + QRegularExpression::escape(title) + u'$'})
                           .section(u'\n', 0, 0);
    if (id.isEmpty()) {
        return {};
    }
    const QString shell = xdotool({u"getwindowgeometry"_s, u"--shell"_s, id});
    QMap<QString, int> values;
    for (const QString &line : shell.split(u'\n')) {
        values.insert(line.section(u'=', 0, 0), line.section(u'=', 1).toInt());
    }
    return {id, QRect(values[u"X"_s], values[u"Y"_s], values[u"WIDTH"_s], values[u"HEIGHT"_s])};
}

void clickIn(const Window &window, int x, int y)
{
    xdotool({u"mousemove"_s, QString::number(window.frame.x() + x),
             QString::number(window.frame.y() + y), u"click"_s, u"1"_s});
}

// The desktop's URL opener as a browser would act on the login page: it signs in with the
// journey's login and hands the page's redirect to the app, as the scheme handler does.
QString writeBrowser(const QString &opened)
{
    const QString dir = TestSupport::root() + u"/browser"_s;
    const QString script =
        u"#!/bin/sh\n"
        "printf '%s\\n' \"$1\" >> '%OPENED%'\n"
        "case \"$1\" in http*) ;; *) exit 1 ;; esac\n"
        "to=$(curl -s -o /dev/null -w '%{redirect_url}' --data-urlencode email='%EMAIL%' "
        "--data-urlencode password='%PASSWORD%' --data back=desktop-app \"${1%%\\?*}\")\n"
        "exec '%CREATOR%' \"$to\" >/dev/null 2>&1\n"_s.replace(u"%OPENED%"_s, opened)
            .replace(u"%EMAIL%"_s, kEmail)
            .replace(u"%PASSWORD%"_s, kPassword)
            .replace(u"%CREATOR%"_s, QString::fromUtf8(TestPrograms::kCreator));
    if (!QueueFiles::writeFile(dir + u"/xdg-open"_s, script.toUtf8()) ||
        !QFile::setPermissions(dir + u"/xdg-open"_s, QFile::ReadOwner | QFile::ExeOwner)) {
        return {};
    }
    return dir;
}

// The Secret Service item the app keeps its sign-in in (QtKeychain stores it base64-encoded).
QString savedAuthState()
{
    QProcess tool;
    tool.start(u"secret-tool"_s, {u"lookup"_s, u"user"_s, u"VorlantaAuthState"_s, u"server"_s,
                                  u"com.vorlanta.creator"_s});
    return tool.waitForFinished()
               ? QString::fromUtf8(QByteArray::fromBase64(tool.readAllStandardOutput().trimmed()))
               : QString();
}

QString dayLog()
{
    return QString::fromUtf8(TestSupport::readFile(
        Paths::logsDir() + u'/' + Logger::dayFileName(QDateTime::currentSecsSinceEpoch())));
}

} // namespace

class TestJourneys : public QObject {
    Q_OBJECT
    std::unique_ptr<TestSupport::SandboxProcess> m_sandbox;

private Q_SLOTS:
    void initTestCase()
    {
        // The built programs reach the service only at the address they were built with.
        const QUrl service(QString::fromUtf8(BuildConfig::kApiBaseUrl));
        if (service.host() != u"127.0.0.1"_s || service.port() <= 0) {
            QSKIP("this build does not name a local service (VORLANTA_TEST_SERVICE_PORT)");
        }
        m_sandbox = std::make_unique<TestSupport::SandboxProcess>(
            QStringList{u"--port"_s, QString::number(service.port()), u"--login"_s,
                        kEmail + u':' + kPassword},
            QProcessEnvironment::systemEnvironment(), true);
        QVERIFY2(m_sandbox->isRunning(), qPrintable(m_sandbox->startError()));
        // The session's keyring is shared with other tests: start signed out.
        QProcess::execute(u"secret-tool"_s, {u"clear"_s, u"user"_s, u"VorlantaAuthState"_s,
                                             u"server"_s, u"com.vorlanta.creator"_s});
    }

    // A first start signed out opens the setup window; the browser path signs in, the page
    // turns into "You're all set!", and the dashboard it offers opens signed in.
    void firstStartSignsInThroughTheBrowser()
    {
        const QString opened = TestSupport::root() + u"/opened-urls"_s;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"PATH"_s, writeBrowser(opened) + u':' + environment.value(u"PATH"_s));
        environment.insert(u"QTWEBENGINE_DISABLE_SANDBOX"_s, u"1"_s);
        TestSupport::CreatorProcess app({}, environment);

        Window setup;
        QTRY_VERIFY_WITH_TIMEOUT(!(setup = visibleWindow(u"Vorlanta Setup"_s)).id.isEmpty(), 20000);
        QCOMPARE(setup.frame.size(), QSize(800, 780));
        screenshot(u"1-setup-signed-out"_s);
        clickIn(setup, 400, 260); // "Auto-Login via Browser"
        QVERIFY2(app.waitForOutput(u"Token is valid. Setting auth status to loggedIn."_s),
                 qPrintable(app.output()));
        QCOMPARE(QString::fromUtf8(TestSupport::readFile(opened)),
                 m_sandbox->baseUrl().toString() + u"login?back=desktop-app\n"_s);
        QTRY_VERIFY(savedAuthState().contains(m_sandbox->token()));

        QTest::qWait(500); // the page's fade-in
        screenshot(u"1-setup-all-set"_s);
        clickIn(setup, 400, 728); // "Or explore the dashboard", only on the welcome page
        Window dashboard;
        QTRY_VERIFY_WITH_TIMEOUT(!(dashboard = visibleWindow(u"Vorlanta Creator"_s)).id.isEmpty(),
                                 20000);
        QCOMPARE(dashboard.frame.size(), QSize(1200, 800));
        QTRY_VERIFY(visibleWindow(u"Vorlanta Setup"_s).id.isEmpty());
        // The dashboard page asks who is signed in with the token the app handed it.
        QTRY_VERIFY_WITH_TIMEOUT(m_sandbox->errorOutput().contains("GET /api/v1/creator/me 200"),
                                 20000);
        QTest::qWait(500);
        screenshot(u"1-dashboard-signed-in"_s);

        QCOMPARE(app.stop(), 0);
        QVERIFY(!app.output().contains(m_sandbox->token()) &&
                !dayLog().contains(m_sandbox->token()));
    }
};

VORLANTA_TEST_MAIN(TestJourneys)
#include "tst_Journeys.moc"
