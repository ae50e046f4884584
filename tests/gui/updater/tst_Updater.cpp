#include "core/updater/BundleLocation.h"
#include "core/updater/UpdaterError.h"
#include "gui/updater/Updater.h"
#include "support/SandboxProcess.h"
#include "support/TestEnvironment.h"
#include "support/UpdateTestHelpers.h"

#include <QtCore/QDeadlineTimer>
#include <QtCore/QTemporaryDir>
#include <QtTest/QSignalSpy>

#include <unistd.h>

using TestSupport::SandboxProcess;
using namespace UpdateTest;

namespace {

// A signed release, its sandbox, and an installed bundle of another version.
struct Site {
    QTemporaryDir dir;
    QString archive;
    QString installed;
    std::unique_ptr<SandboxProcess> sandbox;

    Site(const QString &releaseVersion, const QString &installedVersion,
         const QStringList &faults = {},
         const QString &installFolder = QStringLiteral("Applications"))
    {
        const QString source = makeBundle(dir.filePath(QStringLiteral("source")), releaseVersion,
                                          "#!/bin/sh\nexit 0\n");
        archive = packRelease(source, releaseVersion, dir.filePath(QStringLiteral("out")));
        const QString folder =
            QDir::isAbsolutePath(installFolder) ? installFolder : dir.filePath(installFolder);
        installed = makeBundle(folder, installedVersion, "#!/bin/sh\nexit 0\n");
        QStringList arguments{QStringLiteral("--release"), archive,
                              QStringLiteral("--release-version"), releaseVersion};
        for (const QString &fault : faults) {
            arguments << QStringLiteral("--fault") << fault;
        }
        sandbox = std::make_unique<SandboxProcess>(arguments);
    }

    Updater::Configuration configuration() const
    {
        Updater::Configuration configuration;
        configuration.manifestURL =
            sandbox->baseUrl().resolved(QUrl(QStringLiteral("version-linux")));
        configuration.downloadSiteHost = QStringLiteral("download.vorlanta.example");
        configuration.downloadSite = QStringLiteral("https://download.vorlanta.example/");
        configuration.bundlePath = installed;
        configuration.publicKey = testPublicKey();
        const QString temporary = dir.filePath(QStringLiteral("tmp"));
        QDir().mkpath(temporary);
        configuration.temporaryDirectory = temporary;
        return configuration;
    }
};

// Runs one detached check to its end; false on time-out.
bool runCheck(bool manual)
{
    QSignalSpy ended(&Updater::shared(), &Updater::checkEnded);
    if (manual) {
        Updater::shared().checkForUpdatesManually();
    } else {
        Updater::shared().checkForUpdatesOnLaunch();
    }
    return ended.wait(60000);
}

// The log lines written since the mark, without their timestamps.
QString loggedSince(qsizetype mark)
{
    return loggedText().mid(mark);
}

} // namespace

class TestUpdater : public QObject {
    Q_OBJECT
private slots:
    void upToDate_data()
    {
        QTest::addColumn<QString>("release");
        QTest::addColumn<QString>("installed");
        QTest::addColumn<bool>("manual");
        QTest::newRow("same version, manual") << "1.2"
                                              << "1.2" << true;
        QTest::newRow("1.2.0 against 1.2, manual") << "1.2.0"
                                                   << "1.2" << true;
        QTest::newRow("older release, automatic") << "1.9"
                                                  << "1.10" << false;
    }
    void upToDate()
    {
        QFETCH(QString, release);
        QFETCH(QString, installed);
        QFETCH(bool, manual);
        Site site(release, installed);
        QVERIFY2(site.sandbox->isRunning(), qPrintable(site.sandbox->startError()));
        Updater::shared().setConfiguration(site.configuration());
        AlertAnswerer answerer;
        const qsizetype mark = loggedText().size();
        QVERIFY(runCheck(manual));

        const QString log = loggedSince(mark);
        QVERIFY(log.contains(QStringLiteral("INFO [Updater] Checking for updates (manual: ") +
                             (manual ? QStringLiteral("true)") : QStringLiteral("false)"))));
        QVERIFY(log.contains(QStringLiteral("INFO [Updater] Latest manifest version: ") + release));
        QVERIFY(log.contains(QStringLiteral("INFO [Updater] App is up to date")));
        if (!manual) {
            QCOMPARE(answerer.seen().size(), 0);
            return;
        }
        QCOMPARE(answerer.seen().size(), 1);
        QCOMPARE(answerer.seen().first().title, QStringLiteral("You're Up to Date"));
        QCOMPARE(answerer.seen().first().text, QStringLiteral("Vorlanta Creator ") + installed +
                                                   QStringLiteral(" is the latest version."));
        QCOMPARE(answerer.seen().first().icon, QStringLiteral("information"));
    }

    void laterIsNotRemembered()
    {
        Site site(QStringLiteral("2.0"), QStringLiteral("1.10.5"));
        QVERIFY2(site.sandbox->isRunning(), qPrintable(site.sandbox->startError()));
        Updater::shared().setConfiguration(site.configuration());
        AlertAnswerer answerer(QStringLiteral("Later"));
        const qsizetype mark = loggedText().size();
        QVERIFY(runCheck(true));
        QVERIFY(runCheck(false));

        QCOMPARE(answerer.titles(), QStringList({QStringLiteral("Update Available"),
                                                 QStringLiteral("Update Available")}));
        QCOMPARE(answerer.seen().first().text,
                 QStringLiteral("Version 2.0 is available. Download and install now? The app will "
                                "restart when installation finishes."));
        QCOMPARE(answerer.seen().first().buttons,
                 QStringList({QStringLiteral("Install"), QStringLiteral("Later")}));
        const QString log = loggedSince(mark);
        QCOMPARE(log.count(QStringLiteral("INFO [Updater] User deferred update")), 2);
        QVERIFY(!log.contains(QStringLiteral("Downloading update")));
        QCOMPARE(entriesOf(site.configuration().temporaryDirectory), QStringList());
    }

    void unknownRunningVersionIsOfferedEveryRelease()
    {
        Site site(QStringLiteral("0.0.1"), QString()); // the bundle has no Info.json
        QVERIFY2(site.sandbox->isRunning(), qPrintable(site.sandbox->startError()));
        Updater::shared().setConfiguration(site.configuration());
        AlertAnswerer answerer(QStringLiteral("Later"));
        QVERIFY(runCheck(false));
        QCOMPARE(answerer.titles(), QStringList{QStringLiteral("Update Available")});
    }

    void translocatedBundleFetchesNothing_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<bool>("manual");
        QTest::newRow("AppTranslocation, automatic") << "AppTranslocation/ABC/d" << false;
        QTest::newRow("AppTranslocation, manual") << "AppTranslocation/ABC/d" << true;
        // An AppImage runs from a FUSE mount directly in the temporary directory.
        QTest::newRow("AppImage mount, automatic")
            << QDir::tempPath() +
                   QStringLiteral("/.mount_VorlantaTest%1").arg(QCoreApplication::applicationPid())
            << false;
    }
    void translocatedBundleFetchesNothing()
    {
        QFETCH(QString, folder);
        QFETCH(bool, manual);
        const auto removeMount = qScopeGuard([&] {
            if (QDir::isAbsolutePath(folder)) {
                QDir(folder).removeRecursively();
            }
        });
        // Announce a newer release: fetching the manifest would show a question.
        Site site(QStringLiteral("9.0"), QStringLiteral("1.0"), {}, folder);
        QVERIFY2(site.sandbox->isRunning(), qPrintable(site.sandbox->startError()));
        Updater::shared().setConfiguration(site.configuration());
        AlertAnswerer answerer;
        const qsizetype mark = loggedText().size();
        QVERIFY(runCheck(manual));
        QCOMPARE(answerer.titles(), QStringList{QStringLiteral("Cannot Auto-Update")});
        QCOMPARE(answerer.seen().first().text,
                 QStringLiteral("This app is running from a temporary location. Please move it to "
                                "your Applications folder first, then relaunch to enable automatic "
                                "updates."));
        QCOMPARE(answerer.seen().first().buttons, QStringList{QStringLiteral("OK")});
        const QString log = loggedSince(mark);
        QVERIFY(log.contains(
            QStringLiteral("WARN [Updater] App is running from translocated location")));
        QVERIFY(!log.contains(QStringLiteral("Latest manifest version")));
    }

    void appImageMountCountsAsTranslocated()
    {
        QVERIFY(BundleLocation::isTranslocated(
            QStringLiteral("/tmp/.mount_VorlanXYZ/Vorlanta Creator.app")));
        QVERIFY(!BundleLocation::isTranslocated(
            QStringLiteral("/home/u/Applications/Vorlanta Creator.app")));
        QVERIFY(
            !BundleLocation::isTranslocated(QStringLiteral("/tmp/mount_x/Vorlanta Creator.app")));
    }

    void failuresByKindOfCheck_data()
    {
        QTest::addColumn<QStringList>("faults");
        QTest::addColumn<bool>("manual");
        QTest::addColumn<QString>("logLine");    // expected in the log
        QTest::addColumn<QString>("alertTitle"); // empty: no alert
        QTest::addColumn<QString>("alertText");  // a part of the alert's text
        const QString failed = QStringLiteral("ERROR [Updater] Update failed: ");
        const QString manualFailed = QStringLiteral("ERROR [Updater] Manual update check failed: ");
        QTest::newRow("manifest 404, automatic")
            << QStringList{QStringLiteral("manifest-404=1")} << false
            << failed + QStringLiteral("badStatus(404)") << QString() << QString();
        QTest::newRow("manifest 404, manual")
            << QStringList{QStringLiteral("manifest-404=1")} << true
            << manualFailed + QStringLiteral("badStatus(404)") << "Update Check Failed"
            << "Could not check for updates: The operation couldn\u2019t be completed. "
               "(Vorlanta_Creator.UpdaterError error 0.)";
        QTest::newRow("download 206, manual")
            << QStringList{QStringLiteral("download-206=1")} << true
            << manualFailed + QStringLiteral("badStatus(206)") << "Update Check Failed"
            << "Could not check for updates: ";
        QTest::newRow("wrong digest, automatic")
            << QStringList{QStringLiteral("wrong-digest=1")} << false
            << failed + QStringLiteral("integrityMismatch") << QString() << QString();
        QTest::newRow("bad signature, automatic")
            << QStringList{QStringLiteral("bad-signature=1")} << false
            << failed + QStringLiteral("codeSignatureInvalid(") << QString() << QString();
        QTest::newRow("bad signature, manual")
            << QStringList{QStringLiteral("bad-signature=1")} << true
            << "ERROR [Updater] Code signature verification failed: "
            << "Update Failed"
            << "The downloaded update has an invalid code signature and cannot be installed.\n\n"
               "Reason: ";
    }
    void failuresByKindOfCheck()
    {
        QFETCH(QStringList, faults);
        QFETCH(bool, manual);
        QFETCH(QString, logLine);
        QFETCH(QString, alertTitle);
        QFETCH(QString, alertText);
        Site site(QStringLiteral("1.1"), QStringLiteral("1.0"), faults);
        QVERIFY2(site.sandbox->isRunning(), qPrintable(site.sandbox->startError()));
        Updater::shared().setConfiguration(site.configuration());
        AlertAnswerer answerer(QStringLiteral("Install"));
        const qsizetype mark = loggedText().size();
        QVERIFY(runCheck(manual));

        const QString log = loggedSince(mark);
        QVERIFY2(log.contains(logLine), qPrintable(log));
        QStringList expectedTitles;
        const bool offered = !faults.contains(QStringLiteral("manifest-404=1"));
        if (offered) {
            expectedTitles.append(QStringLiteral("Update Available"));
        }
        if (!alertTitle.isEmpty()) {
            expectedTitles.append(alertTitle);
        }
        QCOMPARE(answerer.titles(), expectedTitles);
        if (!alertTitle.isEmpty()) {
            const QString text = answerer.seen().last().text;
            QVERIFY2(text.contains(alertText), qPrintable(text));
            if (alertTitle == QStringLiteral("Update Failed")) {
                QVERIFY(text.endsWith(QStringLiteral(
                    "\n\nPlease download the latest version from download.vorlanta.example")));
                QCOMPARE(answerer.seen().last().icon, QStringLiteral("critical"));
                // The dedicated alert carries no log line of the check's own.
                QVERIFY(!log.contains(QStringLiteral("Manual update check failed")));
            }
        }
        // The installation stayed as it was, and nothing is left in the temporary directory.
        QVERIFY(
            TestSupport::readFile(site.installed + QStringLiteral("/Info.json")).contains("1.0"));
        QVERIFY(!QFile::exists(site.installed + QStringLiteral(".update")));
        QCOMPARE(entriesOf(site.configuration().temporaryDirectory), QStringList());
    }

    void unwritableLocation_data()
    {
        QTest::addColumn<bool>("manual");
        QTest::newRow("automatic") << false;
        QTest::newRow("manual") << true;
    }
    void unwritableLocation()
    {
        QFETCH(bool, manual);
        Site site(QStringLiteral("1.1"), QStringLiteral("1.0"));
        QVERIFY2(site.sandbox->isRunning(), qPrintable(site.sandbox->startError()));
        const QString folder = QFileInfo(site.installed).absolutePath();
        const bool root = ::geteuid() == 0;
        if (root && !setImmutable(folder, true)) {
            QSKIP("running as root on a file system without immutable files");
        }
        if (!root) {
            QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        }
        Updater::shared().setConfiguration(site.configuration());
        AlertAnswerer answerer(QStringLiteral("Install"));
        const qsizetype mark = loggedText().size();
        const bool ended = runCheck(manual);
        if (root) {
            setImmutable(folder, false);
        } else {
            QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                              QFileDevice::ExeOwner);
        }
        QVERIFY(ended);
        const QString log = loggedSince(mark);
        // Refused only after download, digest and signature were checked.
        QVERIFY(log.contains(QStringLiteral("[Updater] Code signature verified successfully")));
        if (manual) {
            QCOMPARE(answerer.titles(), QStringList({QStringLiteral("Update Available"),
                                                     QStringLiteral("Cannot Update")}));
            QCOMPARE(answerer.seen().last().text,
                     QStringLiteral("The install location is not writable. Try moving the app to "
                                    "your Applications folder."));
        } else {
            QVERIFY(log.contains(QStringLiteral(
                "WARN [Updater] Install location is not writable. Skipping auto-update.")));
        }
    }

    void overlappingCheckIsRefused()
    {
        Site site(QStringLiteral("1.0"), QStringLiteral("1.0"), {QStringLiteral("delay-ms=800")});
        QVERIFY2(site.sandbox->isRunning(), qPrintable(site.sandbox->startError()));
        Updater::shared().setConfiguration(site.configuration());
        AlertAnswerer answerer;
        const qsizetype mark = loggedText().size();
        QSignalSpy ended(&Updater::shared(), &Updater::checkEnded);
        Updater::shared().checkForUpdatesOnLaunch();
        Updater::shared().checkForUpdatesManually();
        QVERIFY(ended.wait(60000));
        QTest::qWait(300);
        QCOMPARE(ended.size(), 1);
        const QString log = loggedSince(mark);
        QCOMPARE(log.count(QStringLiteral("[Updater] Checking for updates")), 1);
        QVERIFY(log.contains(QStringLiteral("[Updater] An update check is already running")));
        // Once it ended, the next check runs.
        QVERIFY(runCheck(true));
        QCOMPARE(answerer.titles(), QStringList{QStringLiteral("You're Up to Date")});
    }

    void developmentBuildHasNothingToReplace()
    {
        Updater::Configuration configuration;
        configuration.manifestURL = QUrl(QStringLiteral("http://127.0.0.1:9/version-linux"));
        Updater::shared().setConfiguration(configuration);
        AlertAnswerer answerer;
        const qsizetype mark = loggedText().size();
        QVERIFY(runCheck(true));
        QVERIFY(loggedSince(mark).contains(
            QStringLiteral("[Updater] Not running from an installed bundle")));
        QCOMPARE(answerer.seen().size(), 0);
    }

private:
    static QStringList entriesOf(const QString &dir)
    {
        return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    }
};

VORLANTA_TEST_MAIN(TestUpdater)
#include "tst_Updater.moc"
