#include "BuildConfig.h"
#include "core/shell/Paths.h"
#include "support/SandboxProcess.h"
#include "support/UpdateTestHelpers.h"

#include <QtCore/QDeadlineTimer>
#include <QtCore/QDirIterator>
#include <QtCore/QStandardPaths>
#include <QtCore/QTemporaryDir>

#include <csignal>

using namespace UpdateTest;

namespace {

QString allLogs()
{
    QString text;
    for (QDirIterator files(Paths::logsDir(), QDir::Files); files.hasNext();) {
        text += QString::fromUtf8(readFile(files.next()));
    }
    return text;
}

// Processes running this executable, found through /proc.
QList<qint64> processesOf(const QString &executable)
{
    QList<qint64> found;
    for (const QString &pid : QDir("/proc"_q).entryList(QDir::Dirs)) {
        if (QFile::symLinkTarget("/proc/"_q + pid + "/exe"_q) == executable) {
            found << pid.toLongLong();
        }
    }
    return found;
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
        if (site.host() != "127.0.0.1"_q || site.port() <= 0 ||
            QStandardPaths::findExecutable("xdotool"_q).isEmpty()) {
            QSKIP("needs a local sandbox as this build's download site, and xdotool");
        }
        QTemporaryDir root;
        const QString temporary = root.filePath("tmp"_q);
        QDir().mkpath(temporary);
        const QByteArray program = readFile(QString::fromUtf8(TestPrograms::kCreator));
        const QString installed = makeBundle(root.filePath("Applications"_q), "0.1.0"_q, program);
        const QString archive = packRelease(installed, "0.1.1"_q, root.filePath("out"_q));
        SandboxProcess sandbox({"--port"_q, QString::number(site.port()), "--release"_q, archive,
                                "--release-version"_q, "0.1.1"_q});
        QVERIFY2(sandbox.isRunning(), qPrintable(sandbox.startError()));

        const QString executable =
            QFileInfo(installed + "/bin/vorlanta-creator"_q).canonicalFilePath();
        qputenv("TMPDIR", native(temporary));
        QProcess first;
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
        // Presses the default button of the offer through the X server, as a user would.
        QCOMPARE(QProcess::execute("timeout"_q, "60|xdotool|search|--sync|--onlyvisible|--name|"
                                                "^Update Available$|windowfocus"_q.split(u'|')),
                 0);
        QCOMPARE(QProcess::execute("xdotool"_q, {"key"_q, "--clearmodifiers"_q, "Return"_q}), 0);
        // The first process ends by itself once the installer runs.
        QVERIFY(first.waitForFinished(60000));
        const QString installerLog = temporary + "/vorlanta-updater.log"_q;
        QTRY_VERIFY2_WITH_TIMEOUT(readFile(installerLog).contains("Update complete"),
                                  readFile(installerLog).constData(), 60000);
        // The new build runs from the same place and finds itself current.
        QTRY_VERIFY2_WITH_TIMEOUT(allLogs().contains("[Updater] App is up to date"_q),
                                  qPrintable(allLogs().right(3000)), 60000);
        QVERIFY(readFile(installed + "/Info.json"_q).contains("0.1.1"));
        QCOMPARE(BundleSignature::verify(installed, testPublicKey()), QString());
        QVERIFY(!QFileInfo::exists(installed + ".update"_q));
        QCOMPARE(processesOf(executable).size(), 1);
        // Nothing is left in the temporary directory but the installer's log.
        QCOMPARE(entriesOf(temporary), QStringList{"vorlanta-updater.log"_q});
    }
};

VORLANTA_TEST_MAIN(TestSelfUpdate)
#include "tst_SelfUpdate.moc"
