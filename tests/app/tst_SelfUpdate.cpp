#include "BuildConfig.h"
#include "TestPrograms.h"
#include "core/shell/Logger.h"
#include "core/shell/Paths.h"
#include "core/updater/BundleSignature.h"
#include "support/SandboxProcess.h"
#include "support/TestEnvironment.h"
#include "support/UpdateTestHelpers.h"

#include <QtCore/QDateTime>
#include <QtCore/QDeadlineTimer>
#include <QtCore/QDirIterator>
#include <QtCore/QProcess>
#include <QtCore/QStandardPaths>
#include <QtCore/QTemporaryDir>

#include <csignal>

using TestSupport::SandboxProcess;
using namespace UpdateTest;

namespace {

QString allLogs()
{
    QString text;
    QDirIterator files(Paths::logsDir(), QDir::Files);
    while (files.hasNext()) {
        text += QString::fromUtf8(TestSupport::readFile(files.next()));
    }
    return text;
}

// Processes running the given executable, found through /proc.
QList<qint64> processesOf(const QString &executable)
{
    QList<qint64> found;
    const QString wanted = QFileInfo(executable).canonicalFilePath();
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool number = false;
        const qint64 pid = entry.toLongLong(&number);
        if (!number) {
            continue;
        }
        const QString exe = QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget();
        if (!wanted.isEmpty() && exe == wanted) {
            found.append(pid);
        }
    }
    return found;
}

// Presses the default button of a window of this title, through the X server as a user would.
bool pressReturnIn(const QString &title)
{
    QProcess search;
    search.start(QStringLiteral("xdotool"),
                 {QStringLiteral("search"), QStringLiteral("--sync"),
                  QStringLiteral("--onlyvisible"), QStringLiteral("--name"),
                  QLatin1Char('^') + title + QLatin1Char('$')});
    if (!search.waitForFinished(60000) || search.exitCode() != 0) {
        return false;
    }
    const QString window =
        QString::fromUtf8(search.readAllStandardOutput()).split(QLatin1Char('\n')).value(0);
    if (window.isEmpty()) {
        return false;
    }
    QProcess::execute(QStringLiteral("xdotool"),
                      {QStringLiteral("windowfocus"), QStringLiteral("--sync"), window});
    return QProcess::execute(QStringLiteral("xdotool"),
                             {QStringLiteral("key"), QStringLiteral("--clearmodifiers"),
                              QStringLiteral("Return")}) == 0;
}

bool waitFor(const std::function<bool()> &condition, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QTest::qWait(100);
    }
    return true;
}

} // namespace

class TestSelfUpdate : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // An installed build offered a signed newer release installs it into its own bundle folder
    // and comes back as the new version.
    void installedBuildUpdatesItselfAndRestarts()
    {
        const QUrl site(QString::fromUtf8(BuildConfig::kDownloadSite));
        if (site.host() != QLatin1String("127.0.0.1") || site.port() <= 0) {
            QSKIP("this build's download site is not a local sandbox");
        }
        if (QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty()) {
            QSKIP("xdotool is needed to answer the application's question");
        }
        QTemporaryDir root;
        const QString temporary = root.filePath(QStringLiteral("tmp"));
        QDir().mkpath(temporary);
        const QByteArray program = TestSupport::readFile(QString::fromUtf8(TestPrograms::kCreator));
        QVERIFY(!program.isEmpty());
        const QString installed = makeBundle(root.filePath(QStringLiteral("Applications")),
                                             QStringLiteral("0.1.0"), program);
        const QString source =
            makeBundle(root.filePath(QStringLiteral("source")), QStringLiteral("0.1.0"), program);
        const QString archive =
            packRelease(source, QStringLiteral("0.1.1"), root.filePath(QStringLiteral("out")));
        QVERIFY(!archive.isEmpty());
        SandboxProcess sandbox({QStringLiteral("--port"), QString::number(site.port()),
                                QStringLiteral("--release"), archive,
                                QStringLiteral("--release-version"), QStringLiteral("0.1.1")});
        QVERIFY2(sandbox.isRunning(), qPrintable(sandbox.startError()));

        const QString executable = installed + QStringLiteral("/bin/vorlanta-creator");
        QProcess first;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("TMPDIR"), temporary);
        first.setProcessEnvironment(environment);
        first.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        first.start(executable, {});
        QVERIFY(first.waitForStarted());
        const auto stopAll = qScopeGuard([&] {
            for (const qint64 pid : processesOf(executable)) {
                ::kill(pid_t(pid), SIGTERM);
            }
            first.kill();
            first.waitForFinished(5000);
        });

        QVERIFY2(pressReturnIn(QStringLiteral("Update Available")),
                 "no \"Update Available\" window");
        // The first process ends by itself once the installer runs.
        QVERIFY(first.waitForFinished(60000));
        const QString installerLog =
            QDir(temporary).filePath(QStringLiteral("vorlanta-updater.log"));
        QVERIFY2(
            waitFor([&] { return TestSupport::readFile(installerLog).contains("Update complete"); },
                    60000),
            TestSupport::readFile(installerLog).constData());
        // The new build runs from the same place and finds itself current.
        QVERIFY2(
            waitFor(
                [&] { return allLogs().contains(QStringLiteral("[Updater] App is up to date")); },
                60000),
            qPrintable(allLogs().right(3000)));
        QVERIFY(TestSupport::readFile(installed + QStringLiteral("/Info.json")).contains("0.1.1"));
        QCOMPARE(BundleSignature::verify(installed, testPublicKey()), QString());
        QVERIFY(!QFileInfo::exists(installed + QStringLiteral(".update")));
        QCOMPARE(processesOf(executable).size(), 1);

        const QString logs = allLogs();
        for (const char *line :
             {"[Updater] Latest manifest version: 0.1.1", "[Updater] Downloading update",
              "[Updater] Code signature verified successfully",
              "[Updater] Launching installer script and terminating current app"}) {
            QVERIFY2(logs.contains(QString::fromUtf8(line)), line);
        }
        QCOMPARE(logs.count(QStringLiteral("[Updater] Checking for updates (manual: false)")), 2);
        // The transcript, for whoever reads the test's output.
        for (const QString &line : logs.split(QLatin1Char('\n'))) {
            if (line.contains(QStringLiteral("[Updater]"))) {
                qInfo().noquote() << line;
            }
        }
        qInfo().noquote() << TestSupport::readFile(installerLog).trimmed();
        // Nothing is left in the temporary directory but the installer's log.
        QCOMPARE(QDir(temporary).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{QStringLiteral("vorlanta-updater.log")});
    }
};

VORLANTA_TEST_MAIN(TestSelfUpdate)
#include "tst_SelfUpdate.moc"
