#include "BuildConfig.h"
#include "TestPrograms.h"
#include "core/api/AuthStore.h"
#include "core/shell/Logger.h"
#include "core/shell/Paths.h"
#include "core/updater/BundleSignature.h"
#include "gui/droptile/DragSessionMonitor.h"
#include "support/CreatorProcess.h"
#include "support/QueueFiles.h"
#include "support/SandboxProcess.h"
#include "support/SessionTray.h"
#include "support/TestEnvironment.h"

#include <QtCore/QCryptographicHash>
#include <QtCore/QDateTime>
#include <QtCore/QDeadlineTimer>
#include <QtCore/QDirIterator>
#include <QtCore/QJsonArray>
#include <QtCore/QJsonDocument>
#include <QtCore/QJsonObject>
#include <QtCore/QProcess>
#include <QtCore/QRandomGenerator>
#include <QtCore/QRect>
#include <QtCore/QRegularExpression>
#include <QtCore/QStandardPaths>
#include <QtCore/QTemporaryDir>
#include <QtCore/QUrl>
#include <QtCore/QVersionNumber>
#include <QtGui/QGuiApplication>
#include <QtGui/QScreen>

#include <csignal>

using namespace Qt::StringLiterals;
using TestSupport::movePointerTo;
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
// The visible windows with exactly this title, or (by: "--class") of this window class.
QList<Window> visibleWindows(const QString &title, const QString &by = u"--name"_s)
{
    QList<Window> windows;
    const QStringList ids = xdotool({u"search"_s, u"--onlyvisible"_s, by,
                                     u'^' + QRegularExpression::escape(title) + u'$'})
                                .split(u'\n', Qt::SkipEmptyParts);
    for (const QString &id : ids) {
        QMap<QString, int> values;
        for (const QString &line :
             xdotool({u"getwindowgeometry"_s, u"--shell"_s, id}).split(u'\n')) {
            values.insert(line.section(u'=', 0, 0), line.section(u'=', 1).toInt());
        }
        windows.append(
            {id, QRect(values[u"X"_s], values[u"Y"_s], values[u"WIDTH"_s], values[u"HEIGHT"_s])});
    }
    return windows;
}

// The app's window of this size (the tray icon and the popover have no title of their own), or
// none.
Window windowSized(const std::function<bool(const QSize &)> &fits)
{
    for (const Window &window : visibleWindows(u"Vorlanta Creator"_s, u"--class"_s)) {
        if (fits(window.frame.size())) {
            return window;
        }
    }
    return {};
}

Window visibleWindow(const QString &title)
{
    const QList<Window> windows = visibleWindows(title);
    return windows.isEmpty() ? Window{} : windows.first();
}

// Waits, in real time, for the visible window with this title.
Window waitForWindow(const QString &title, int timeoutMs = 20000)
{
    const QDeadlineTimer deadline(timeoutMs);
    Window window;
    while ((window = visibleWindow(title)).id.isEmpty() && !deadline.hasExpired()) {
        QTest::qWait(100);
    }
    return window;
}

void clickIn(const Window &window, int x, int y)
{
    xdotool({u"mousemove"_s, QString::number(window.frame.x() + x),
             QString::number(window.frame.y() + y), u"click"_s, u"1"_s});
}

// Types the title into the quick-project window and presses "Upload & Submit".
void submitQuickProject(const Window &quick, const QString &title)
{
    clickIn(quick, quick.frame.width() / 2, 26);        // the title field
    xdotool({u"windowfocus"_s, u"--sync"_s, quick.id}); // no window manager gives it focus
    xdotool({u"type"_s, u"--delay"_s, u"5"_s, title});
    clickIn(quick, quick.frame.width() / 2, quick.frame.height() - 35); // "Upload & Submit"
}

// The desktop's URL opener as a browser would act on the login page: it signs in with the
// journey's login and hands the page's redirect to the app, as the scheme handler does.
QString writeBrowser(const QString &opened)
{
    const QString dir = TestSupport::root() + u"/journey/browser"_s;
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

QByteArray digest(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    return file.open(QIODevice::ReadOnly) && hash.addData(&file) ? hash.result().toHex()
                                                                 : QByteArray();
}

// Two short real videos (thumbnails) and a 12 MiB one of random bytes (several upload parts),
// named after the folder they are written to, so that each journey's files are its own on the
// service.
QStringList writeSampleVideos(const QString &dir)
{
    QDir().mkpath(dir);
    const QString tag = QFileInfo(dir).fileName() + u' ';
    const QStringList names{tag + u"Intro.mp4"_s, tag + u"B-roll.mp4"_s,
                            tag + u"Interview take 3.mov"_s};
    for (const QString &name : names.first(2)) {
        if (QProcess::execute(u"ffmpeg"_s,
                              {u"-loglevel"_s, u"error"_s, u"-y"_s, u"-f"_s, u"lavfi"_s, u"-i"_s,
                               u"testsrc=duration=1:size=320x180:rate=10"_s, dir + u'/' + name}) !=
            0) {
            return {};
        }
    }
    QByteArray bytes(12 << 20, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(bytes.data()),
                                          bytes.size() / 4);
    return QueueFiles::writeFile(dir + u'/' + names.last(), bytes) ? names : QStringList();
}

QString dayLog()
{
    return QString::fromUtf8(TestSupport::readFile(
        Paths::logsDir() + u'/' + Logger::dayFileName(QDateTime::currentSecsSinceEpoch())));
}

} // namespace

class TestJourneys : public QObject {
    Q_OBJECT
    QTemporaryDir m_serviceData; // what the sandbox stores
    QStringList m_before;        // the test's root before any app ran
    std::unique_ptr<TestSupport::SandboxProcess> m_sandbox;

    QByteArray serviceGet(const QString &path) const
    {
        QProcess curl;
        curl.start(u"curl"_s, {u"-sf"_s, u"-H"_s, u"Authorization: Bearer "_s + m_sandbox->token(),
                               m_sandbox->baseUrl().resolved(QUrl(path)).toString()});
        return curl.waitForFinished(10000) ? curl.readAllStandardOutput() : QByteArray();
    }
    // The service on the port the build names, with the journey's login and these faults.
    void startService(const QStringList &faults = {})
    {
        m_sandbox.reset();
        const QUrl service(QString::fromUtf8(BuildConfig::kApiBaseUrl));
        m_sandbox = std::make_unique<TestSupport::SandboxProcess>(
            QStringList{u"--port"_s, QString::number(service.port()), u"--login"_s,
                        kEmail + u':' + kPassword, u"--data-dir"_s, m_serviceData.path()} +
                faults,
            QProcessEnvironment::systemEnvironment(), true);
    }
    // The app started with a saved sign-in, as on any later start.
    std::unique_ptr<TestSupport::CreatorProcess> startSignedIn(const QString &program = {}) const
    {
        AuthStore::save(AuthState{m_sandbox->token(), std::nullopt});
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"QTWEBENGINE_DISABLE_SANDBOX"_s, u"1"_s);
        return std::make_unique<TestSupport::CreatorProcess>(QStringList{}, environment, program);
    }
    // The app's icon in the tray, once it is signed in and docked.
    static Window trayIcon(TestSupport::CreatorProcess &app)
    {
        return app.waitForOutput(u"Token valid, setting authStatus to loggedIn"_s) ? dockedIcon()
                                                                                   : Window{};
    }
    static Window dockedIcon()
    {
        const QDeadlineTimer deadline(20000);
        Window icon;
        while ((icon = windowSized([](const QSize &size) {
                    return size.width() <= 64 && size.height() <= 64 && size.width() > 1;
                })).id.isEmpty() &&
               !deadline.hasExpired()) {
            QTest::qWait(100);
        }
        return icon;
    }
    // Where the service stored a completed upload (files/<id>/<name>); empty when none.
    QString storedFile(const QString &name) const
    {
        QDirIterator it(m_serviceData.filePath(u"files"_s), {name}, QDir::Files,
                        QDirIterator::Subdirectories);
        return it.hasNext() ? it.next() : QString();
    }

private Q_SLOTS:
    void cleanup()
    {
        if (QTest::currentTestFailed() && m_sandbox) {
            QTest::qWait(200); // the request log is read as the event loop runs
            // Beside the app's output (see CreatorProcess).
            QFile file(QString::fromUtf8(TestPrograms::kJourneyDir) + u"/failed-"_s +
                       QString::fromUtf8(QTest::currentTestFunction()) + u"-service.log"_s);
            file.open(QIODevice::WriteOnly) && file.write(m_sandbox->errorOutput());
        }
    }
    void initTestCase()
    {
        // The built programs reach the service only at the address they were built with.
        const QUrl service(QString::fromUtf8(BuildConfig::kApiBaseUrl));
        if (service.host() != u"127.0.0.1"_s || service.port() <= 0) {
            QSKIP("this build does not name a local service (VORLANTA_TEST_SERVICE_PORT)");
        }
        startService();
        QVERIFY2(m_sandbox->isRunning(), qPrintable(m_sandbox->startError()));
        m_before = QueueFiles::snapshot(TestSupport::root(), false);
        // The session's keyring is shared with other tests: start signed out.
        QProcess::execute(u"secret-tool"_s, {u"clear"_s, u"user"_s, u"VorlantaAuthState"_s,
                                             u"server"_s, u"com.vorlanta.creator"_s});
    }

    // A first start signed out opens the setup window; the browser path signs in and the page
    // turns into "You're all set!"; the file manager's action sends three videos as a quick
    // project, whose "100% Done!" opens the dashboard signed in; the service holds the files.
    void firstStartSignInThenQuickProjectFromTheFileManager()
    {
        const QString opened = TestSupport::root() + u"/journey/opened-urls"_s;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"PATH"_s,
                           writeBrowser(opened) + u':' +
                               QFileInfo(QString::fromUtf8(TestPrograms::kService)).absolutePath() +
                               u':' + environment.value(u"PATH"_s));
        environment.insert(u"QTWEBENGINE_DISABLE_SANDBOX"_s, u"1"_s);
        TestSupport::CreatorProcess app({}, environment);

        // 1. Signed out: the setup window; its browser path signs in.
        const Window setup = waitForWindow(u"Vorlanta Setup"_s);
        QVERIFY2(!setup.id.isEmpty(), qPrintable(app.output()));
        QCOMPARE(setup.frame.size(), QSize(800, 780));
        screenshot(u"1-setup-signed-out"_s);
        clickIn(setup, 400, 260); // "Auto-Login via Browser"
        QVERIFY2(app.waitForOutput(u"Token is valid. Setting auth status to loggedIn."_s),
                 qPrintable(app.output()));
        QCOMPARE(QString::fromUtf8(TestSupport::readFile(opened)),
                 m_sandbox->baseUrl().toString() + u"login?back=desktop-app\n"_s);
        QTRY_VERIFY_WITH_TIMEOUT(savedAuthState().contains(m_sandbox->token()), 20000);
        QTest::qWait(500); // the page's fade-in
        screenshot(u"1-setup-all-set"_s);

        // 2. The Nautilus script the app wrote, run as Nautilus runs it: in the folder of the
        // selected files, with their names.
        const QString media = TestSupport::root() + u"/journey/Videos"_s;
        const QStringList names = writeSampleVideos(media);
        QVERIFY(!names.isEmpty());
        QProcess action;
        action.setProcessEnvironment(environment);
        action.setWorkingDirectory(media);
        action.start(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                         u"/nautilus/scripts/Quick Project in Vorlanta Creator"_s,
                     names);
        QVERIFY(action.waitForFinished(10000) && action.exitCode() == 0);
        const Window quick = waitForWindow(u"Quick Project"_s);
        QVERIFY2(!quick.id.isEmpty(), qPrintable(app.output()));
        QTest::qWait(1000); // thumbnails
        screenshot(u"1-quick-project"_s);
        submitQuickProject(quick, u"Journey one"_s);

        // 3. "100% Done!" opens the dashboard, which asks the service who is signed in.
        QVERIFY2(app.waitForOutput(u"Project created successfully with ID: "_s, 60000),
                 qPrintable(app.output()));
        QTest::qWait(300);
        screenshot(u"1-quick-project-done"_s);
        clickIn(quick, quick.frame.width() / 2, quick.frame.height() - 35); // "100% Done!"
        // The dashboard is the app's 1200 x 800 window.
        QTRY_VERIFY2_WITH_TIMEOUT(
            !windowSized([](const QSize &size) { return size == QSize(1200, 800); }).id.isEmpty(),
            qPrintable(app.output()), 30000);
        QTRY_VERIFY_WITH_TIMEOUT(m_sandbox->errorOutput().contains("GET /api/v1/creator/me 200"),
                                 20000);
        QTest::qWait(500);
        screenshot(u"1-dashboard-signed-in"_s);

        // 4. The service holds the project with the three files, byte for byte.
        const QJsonArray projects =
            QJsonDocument::fromJson(serviceGet(u"api/v1/creator/projects/"_s))[u"data"_s].toArray();
        QVERIFY(std::any_of(projects.begin(), projects.end(), [](const QJsonValue &project) {
            return project[u"title"_s].toString() == u"Journey one"_s;
        }));
        for (const QString &name : names) {
            QCOMPARE(digest(storedFile(name)), digest(media + u'/' + name));
            QVERIFY(!digest(media + u'/' + name).isEmpty());
        }

        QCOMPARE(app.stop(), 0);
        QVERIFY(!app.output().contains(m_sandbox->token()) &&
                !dayLog().contains(m_sandbox->token()));
    }

    // Missing files for an existing project, from the popover's gear menu: the picker's search
    // finds it, files dragged in from another application are sent while the service drops a
    // fifth of the part connections (parts retry a lost connection), and arrive whole.
    void missingFilesFromTheGearMenuThroughDroppedConnections()
    {
        startService(
            {u"--fault"_s, u"part-drop=0.2"_s, u"--seed"_s, u"7"_s, u"--part-mib"_s, u"5"_s});
        QVERIFY2(m_sandbox->isRunning(), qPrintable(m_sandbox->startError()));
        const auto running = startSignedIn();
        TestSupport::CreatorProcess &app = *running;
        const Window icon = trayIcon(app);
        QVERIFY2(!icon.id.isEmpty(), qPrintable(app.output()));
        const QString media = TestSupport::root() + u"/journey/Missing"_s;
        QStringList names = writeSampleVideos(media);
        // And a long take: eight parts, for the faults to meet.
        QByteArray take(40 << 20, Qt::Uninitialized);
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(take.data()),
                                              take.size() / 4);
        QVERIFY(QueueFiles::writeFile(media + u"/Missing Long take.mov"_s, take));
        names << u"Missing Long take.mov"_s;

        // The popover, its gear menu, "Send Missing Files" (the second entry).
        clickIn(icon, icon.frame.width() / 2, icon.frame.height() / 2);
        Window popover;
        QTRY_VERIFY_WITH_TIMEOUT(!(popover = windowSized([](const QSize &size) {
                                       return size == QSize(300, 400);
                                   })).id.isEmpty(),
                                 20000);
        QTest::qWait(300);
        clickIn(popover, 273, 24);
        QTest::qWait(400);
        xdotool({u"key"_s, u"Down"_s, u"Down"_s, u"Return"_s});
        const Window window = waitForWindow(u"Send Missing Files"_s);
        QVERIFY2(!window.id.isEmpty(), qPrintable(app.output()));

        // The picker's search narrows the list to the project, which is chosen.
        QTest::qWait(1000); // the project list
        clickIn(window, 300, 72);
        xdotool({u"windowfocus"_s, u"--sync"_s, window.id});
        xdotool({u"type"_s, u"--delay"_s, u"5"_s, u"studio t"_s});
        QTest::qWait(500);
        screenshot(u"2-picker-search"_s);
        clickIn(window, 300, 125); // the one card left
        QVERIFY2(app.waitForOutput(u"Studio Tour"_s), qPrintable(app.output()));

        // Three files dragged in from another application, dropped on the form.
        xdotool({u"mousemove"_s, u"200"_s, u"600"_s, u"mousedown"_s, u"1"_s});
        QProcess source;
        QStringList arguments{u"--file"_s};
        for (const QString &name : names) {
            arguments << media + u'/' + name;
        }
        source.start(QString::fromUtf8(TestPrograms::kXdndSource), arguments);
        QVERIFY(source.waitForReadyRead(5000) && source.readLine() == "claimed\n");
        movePointerTo(window.frame.topLeft() + QPoint(300, 175));
        QTest::qWait(300);
        xdotool({u"mouseup"_s, u"1"_s});
        QVERIFY(source.waitForFinished(5000) && source.readAll() == "dropped\n");
        QVERIFY2(app.waitForOutput(u"total count now: 4"_s), qPrintable(app.output()));
        screenshot(u"2-missing-files-detail"_s);

        clickIn(window, 300, 697); // "Upload & Submit"
        QVERIFY2(app.waitForOutput(u"Files uploaded successfully"_s, 120000),
                 qPrintable(app.output()));
        // The faults did happen (the request log is read as the event loop runs).
        QTRY_VERIFY(m_sandbox->errorOutput().contains(" dropped "));
        for (const QString &name : names) {
            QCOMPARE(digest(storedFile(name)), digest(media + u'/' + name));
        }
        QCOMPARE(app.stop(), 0);
    }

    // A file dragged from another application onto the tile under the tray icon opens the
    // popover in drop mode; dropped on "Quick Project" it starts a project that is submitted.
    void fileDraggedOntoTheTileBecomesAProject()
    {
        const auto running = startSignedIn();
        TestSupport::CreatorProcess &app = *running;
        const Window icon = trayIcon(app);
        QVERIFY2(!icon.id.isEmpty(), qPrintable(app.output()));
        const QString media = TestSupport::root() + u"/journey/Dragged"_s;
        const QStringList names = writeSampleVideos(media);
        const QString clip = media + u'/' + names.first();

        xdotool({u"mousemove"_s, u"300"_s, u"500"_s, u"mousedown"_s, u"1"_s});
        QProcess source;
        source.start(QString::fromUtf8(TestPrograms::kXdndSource), {u"--file"_s, clip});
        QVERIFY(source.waitForReadyRead(5000) && source.readLine() == "claimed\n");
        movePointerTo({340, 520});
        const QRect tile = DragSessionMonitor::tileGeometry(
            icon.frame, QGuiApplication::primaryScreen()->availableGeometry());
        QTest::qWait(300);
        screenshot(u"3-drop-tile"_s);
        movePointerTo(tile.center());
        Window popover;
        QTRY_VERIFY2_WITH_TIMEOUT(!(popover = windowSized([](const QSize &size) {
                                        return size == QSize(300, 400);
                                    })).id.isEmpty(),
                                  qPrintable(app.output()), 20000);
        QTest::qWait(300);
        screenshot(u"3-popover-drop-mode"_s);
        movePointerTo(popover.frame.topLeft() + QPoint(79, 204)); // the "Quick Project" bin
        QTest::qWait(200);
        xdotool({u"mouseup"_s, u"1"_s});
        QVERIFY(source.waitForFinished(5000) && source.readAll() == "dropped\n");

        const Window quick = waitForWindow(u"Quick Project"_s);
        QVERIFY2(!quick.id.isEmpty(), qPrintable(app.output()));
        submitQuickProject(quick, u"Journey three"_s);
        QVERIFY2(app.waitForOutput(u"Project created successfully with ID: "_s, 60000),
                 qPrintable(app.output()));
        QCOMPARE(digest(storedFile(names.first())), digest(clip));
        QCOMPARE(app.stop(), 0);
    }

    // The bundle the build installs, in the user's Applications folder, is offered a signed
    // release one version newer: the user accepts, the app replaces its own folder and comes back
    // as the new version, still signed in.
    void updateOfferedFromTheBundleComesBackSignedIn()
    {
        const QString applications = TestSupport::root() + u"/journey/Applications"_s;
        const QString bundle = applications + u"/Vorlanta Creator.app"_s;
        const auto removeBundle = qScopeGuard([&] { QDir(applications).removeRecursively(); });
        QDir().mkpath(applications);
        QCOMPARE(QProcess::execute(
                     u"cp"_s, {u"-a"_s, QString::fromUtf8(TestPrograms::kBundle), applications}),
                 0);
        const QVersionNumber installed = QVersionNumber::fromString(
            QJsonDocument::fromJson(TestSupport::readFile(bundle + u"/Info.json"_s))[u"version"_s]
                .toString());
        QVERIFY(!installed.isNull());
        const QString newer = QVersionNumber(installed.majorVersion(), installed.minorVersion(),
                                             installed.microVersion() + 1)
                                  .toString();
        const QString dist = TestSupport::root() + u"/journey/dist"_s;
        const auto removeDist = qScopeGuard([&] { QDir(dist).removeRecursively(); });
        QCOMPARE(QProcess::execute(QString::fromUtf8(TestPrograms::kRelease),
                                   {u"--bundle"_s, QString::fromUtf8(TestPrograms::kBundle),
                                    u"--version"_s, newer, u"--key"_s,
                                    QString::fromUtf8(TestPrograms::kTestDataDir) +
                                        u"/update-signing/test-key.pem"_s,
                                    u"--out"_s, dist, u"--base-url"_s, u"http://127.0.0.1/r/"_s}),
                 0);
        const QString archive = QDir(dist).entryInfoList({u"*.tar.gz"_s}).value(0).filePath();
        startService({u"--release"_s, archive, u"--release-version"_s, newer});
        QVERIFY2(m_sandbox->isRunning(), qPrintable(m_sandbox->startError()));

        const QString executable =
            QFileInfo(bundle + u"/bin/vorlanta-creator"_s).canonicalFilePath();
        // The app, its installer and the new version keep their temporary files here.
        const QString temporary = TestSupport::root() + u"/journey/tmp"_s;
        QDir().mkpath(temporary);
        const QByteArray sessionTemporary = qgetenv("TMPDIR");
        qputenv("TMPDIR", QFile::encodeName(temporary));
        const auto restoreTemporary = qScopeGuard([&] {
            qputenv("TMPDIR", sessionTemporary);
            QDir(temporary).removeRecursively();
        });
        const auto first = startSignedIn(executable);
        const auto stopAll = qScopeGuard([&] {
            for (const qint64 pid : TestSupport::processesOf(executable)) {
                ::kill(pid_t(pid), SIGTERM);
            }
            // The next journey's app must not find this one still running.
            const QDeadlineTimer deadline(10000);
            while (!TestSupport::processesOf(executable).isEmpty() && !deadline.hasExpired()) {
                QTest::qWait(100);
            }
        });
        QVERIFY2(!trayIcon(*first).id.isEmpty(), qPrintable(first->output()));
        const Window offer = waitForWindow(u"Update Available"_s, 60000);
        QVERIFY2(!offer.id.isEmpty(), qPrintable(first->output()));
        QTest::qWait(300);
        screenshot(u"4-update-available"_s);
        xdotool({u"windowfocus"_s, u"--sync"_s, offer.id});
        xdotool({u"key"_s, u"Return"_s}); // "Install", the default button
        QVERIFY2(first->waitForFinished(60000), qPrintable(first->output()));
        QTest::qWait(100); // the sandbox's log so far
        const qsizetype validations =
            m_sandbox->errorOutput().count("GET /api/v1/creator/channels/ 200");

        // The new version, started by the installer from the same folder, checks the saved
        // sign-in with the service and docks its icon; signed out it would open the setup window.
        const QString installerLog = temporary + u"/vorlanta-updater.log"_s;
        QTRY_VERIFY2_WITH_TIMEOUT(
            m_sandbox->errorOutput().count("GET /api/v1/creator/channels/ 200") > validations,
            TestSupport::readFile(installerLog).constData(), 60000);
        QVERIFY(TestSupport::readFile(installerLog).contains("Update complete"));
        const Window icon = dockedIcon();
        QVERIFY(!icon.id.isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(dayLog().contains(u"[Updater] App is up to date"_s), 30000);
        QVERIFY(visibleWindow(u"Vorlanta Setup"_s).id.isEmpty());
        clickIn(icon, icon.frame.width() / 2, icon.frame.height() / 2);
        QTRY_VERIFY_WITH_TIMEOUT(
            !windowSized([](const QSize &size) { return size == QSize(300, 400); }).id.isEmpty(),
            20000);
        QTest::qWait(500);
        screenshot(u"4-updated-signed-in"_s);

        QCOMPARE(
            QJsonDocument::fromJson(TestSupport::readFile(bundle + u"/Info.json"_s))[u"version"_s]
                .toString(),
            newer);
        QCOMPARE(
            QDir(applications).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
            QStringList{u"Vorlanta Creator.app"_s});
        QCOMPARE(TestSupport::processesOf(executable).size(), 1);
        QCOMPARE(BundleSignature::verify(bundle, BundleSignature::publicKeyFromHex(
                                                     QByteArray(BuildConfig::kUpdatePublicKeyHex))),
                 QString());
        // Of the download and the unpacked release nothing is left but the installer's log.
        QCOMPARE(QDir(temporary).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{u"vorlanta-updater.log"_s});
        QVERIFY(savedAuthState().contains(m_sandbox->token()));
    }

    // About, "Uninstall...", "Uninstall": nothing of the app is left in the home but what went
    // to the trash, the saved sign-in is gone, and the app ends.
    void uninstallLeavesOnlyTheTrash()
    {
        const auto running = startSignedIn();
        TestSupport::CreatorProcess &app = *running;
        const Window icon = trayIcon(app);
        QVERIFY2(!icon.id.isEmpty(), qPrintable(app.output()));
        QVERIFY(QFileInfo::exists(Paths::baseDir()));

        clickIn(icon, icon.frame.width() / 2, icon.frame.height() / 2);
        xdotool({u"click"_s, u"3"_s}); // the menu; "About Vorlanta Creator" comes first
        QTest::qWait(500);
        xdotool({u"key"_s, u"Down"_s, u"Return"_s});
        const Window about = waitForWindow(u"About Vorlanta Creator"_s);
        QVERIFY2(!about.id.isEmpty(), qPrintable(app.output()));
        clickIn(about, 50, about.frame.height() - 31); // "Uninstall..."
        const Window confirm = waitForWindow(u"Uninstall Vorlanta Creator"_s);
        QVERIFY2(!confirm.id.isEmpty(), qPrintable(app.output()));
        screenshot(u"5-uninstall-confirmation"_s);
        clickIn(confirm, confirm.frame.width() - 138, confirm.frame.height() - 24); // "Uninstall"
        // "Uninstall Complete", titled as the app (so is its tray icon, but that is small).
        const auto completeAlert = [] {
            for (const Window &window : visibleWindows(u"Vorlanta Creator"_s)) {
                if (window.frame.height() > 100) {
                    return window;
                }
            }
            return Window{};
        };
        Window complete;
        QTRY_VERIFY2_WITH_TIMEOUT(!(complete = completeAlert()).id.isEmpty(),
                                  qPrintable(app.output()), 30000);
        QTest::qWait(300);
        screenshot(u"5-uninstall-complete"_s);
        clickIn(complete, complete.frame.width() - 52, complete.frame.height() - 24); // "Quit"
        QVERIFY(app.waitForFinished(20000) && app.exitCode() == 0);

        // No file the apps of these journeys wrote into the home and its data, configuration
        // and cache folders is left, but in the trash (folders shared with others may stay).
        // (The shader caches of the graphics driver and of Qt are shared by every program.)
        static const QRegularExpression mine(
            u"^(data/Trash|journey/|cache/mesa_shader_cache|cache/qtshadercache-)"_s);
        QStringList left;
        for (const QString &path : QueueFiles::snapshot(TestSupport::root(), false)) {
            if (!m_before.contains(path) && !path.endsWith(u'/') && !mine.match(path).hasMatch()) {
                left << path;
            }
        }
        QVERIFY2(left.isEmpty(), qPrintable(left.join(u'\n')));
        QVERIFY(!QFileInfo::exists(Paths::baseDir()) && savedAuthState().isEmpty());
    }

    // Killed (-9) while the last attempt of an upload sends its staged copy: the service holds
    // no file for it, and the next start removes the copy, which nothing else would.
    void killDuringUploadLeavesNoCopyAndNoFile()
    {
        // Every part is held 2 s and refused: attempts 1 and 2 fail, the third stages a copy.
        startService({u"--fault"_s, u"part-500=1"_s, u"--fault"_s, u"part-delay-ms=2000"_s});
        QVERIFY2(m_sandbox->isRunning(), qPrintable(m_sandbox->startError()));
        const QString clip = TestSupport::root() + u"/journey/Killed/Long take.mov"_s;
        QVERIFY(QueueFiles::writeFile(clip, QByteArray(3 << 20, 'x')));
        auto running = startSignedIn();
        QVERIFY2(!trayIcon(*running).id.isEmpty(), qPrintable(running->output()));
        QCOMPARE(
            QProcess::execute(QString::fromUtf8(TestPrograms::kService), {u"quickProject"_s, clip}),
            0);
        const Window quick = waitForWindow(u"Quick Project"_s);
        QVERIFY2(!quick.id.isEmpty(), qPrintable(running->output()));
        submitQuickProject(quick, u"Journey six"_s);
        QVERIFY2(running->waitForOutput(u"[QuickProjectService] Staged to: "_s, 30000),
                 qPrintable(running->output()));
        const QString staged = running->output()
                                   .section(u"[QuickProjectService] Staged to: "_s, 1)
                                   .section(u'\n', 0, 0);
        QVERIFY2(QFileInfo(staged).isFile(), qPrintable(staged));
        QCOMPARE(running->stop(SIGKILL), -1);
        QVERIFY(QFileInfo(staged).isFile()); // left behind by the kill

        startService();
        running = startSignedIn();
        QVERIFY2(running->waitForOutput(u"Removed the staged copies of 1 ended upload"_s),
                 qPrintable(running->output()));
        QVERIFY(!QFileInfo::exists(QFileInfo(staged).absolutePath()));
        QVERIFY(storedFile(u"Long take.mov"_s).isEmpty());
        QCOMPARE(running->stop(), 0);
    }
};

VORLANTA_TEST_MAIN(TestJourneys)
#include "tst_Journeys.moc"
