#include "gui/updater/Updater.h"
#include "support/SandboxProcess.h"
#include "support/UpdateTestHelpers.h"

#include <QtCore/QEventLoop>
#include <QtCore/QPointer>
#include <QtCore/QTemporaryDir>
#include <QtCore/QTimer>
#include <QtTest/QSignalSpy>
#include <QtWidgets/QAbstractButton>
#include <QtWidgets/QMessageBox>
#include <QtWidgets/QPushButton>

using namespace UpdateTest;

namespace {

// Answers this process's message boxes as they appear, pressing the button of this text (or
// the default one), and keeps "title|text|buttons" of each.
struct AlertAnswerer : QTimer {
    explicit AlertAnswerer(const QString &answer)
    {
        connect(this, &QTimer::timeout, this, [this, answer] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (box && box != last) {
                last = box;
                QAbstractButton *press = box->defaultButton();
                QStringList texts;
                for (QAbstractButton *button : box->buttons()) {
                    texts << button->text();
                    press = button->text() == answer ? button : press;
                }
                seen << box->windowTitle() + u'|' + box->informativeText() + u'|' +
                            texts.join(u',');
                QTimer::singleShot(0, press, &QAbstractButton::click);
            }
        });
        start(20);
    }
    QStringList seen;
    QPointer<QMessageBox> last;
};

// Runs one detached check to its end; false on time-out.
bool runCheck(bool manual)
{
    QSignalSpy ended(&Updater::shared(), &Updater::checkEnded);
    manual ? Updater::shared().checkForUpdatesManually()
           : Updater::shared().checkForUpdatesOnLaunch();
    return ended.wait(60000);
}

const QString kOffer =
    QStringLiteral("Update Available|Version 1.1 is available. Download and install now? The app "
                   "will restart when installation finishes.|Install,Later");

} // namespace

class TestUpdater : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    std::unique_ptr<SandboxProcess> m_sandbox;
    QString m_installed;

    // A signed release 1.1 on the sandbox and an installed bundle of the given version.
    Updater::Configuration site(const QString &installed, const QString &fault = {},
                                const QString &folder = "Apps"_q)
    {
        QDir(m_dir.path()).removeRecursively();
        const QString source = makeBundle(m_dir.filePath("source"_q), "1.1"_q, "#!/bin/sh\n");
        QStringList arguments{"--release"_q, packRelease(source, "1.1"_q, m_dir.filePath("out"_q)),
                              "--release-version"_q, "1.1"_q};
        m_sandbox = std::make_unique<SandboxProcess>(
            fault.isEmpty() ? arguments : arguments << "--fault"_q << fault);
        m_installed = makeBundle(QDir::isAbsolutePath(folder) ? folder : m_dir.filePath(folder),
                                 installed, "#!/bin/sh\n");
        QDir().mkpath(m_dir.filePath("tmp"_q));
        return {.manifestURL = m_sandbox->baseUrl().resolved(QUrl("version-linux"_q)),
                .downloadSiteHost = "download.vorlanta.example"_q,
                .downloadSite = "https://download.vorlanta.example/"_q,
                .bundlePath = folder.isEmpty() ? QString() : m_installed,
                .publicKey = testPublicKey(),
                .temporaryDirectory = m_dir.filePath("tmp"_q)};
    }

private slots:
    // What the user sees and what is logged, per kind of check and outcome.
    void alertsByKindOfCheck_data()
    {
        // folder of the installation: empty, a development build; "Pinned": even root cannot write
        // it. alerts: "title|text|buttons", or its start.
        columns<QString, QString, bool, QStringList, QString, QString>(
            "installed", "fault", "manual", "alerts", "logLine", "folder");
        const auto add = [](const char *name, const char *installed, const char *fault, bool manual,
                            const QStringList &alerts, const QString &logLine,
                            const QString &folder = "Apps"_q) {
            row(name, installed, fault, manual, alerts, logLine, folder);
        };
        const QString failed = "ERROR [Updater] Update failed: "_q;
        const QString manualFailed = "ERROR [Updater] Manual update check failed: "_q;
        const QString checkFailed = "Update Check Failed|Could not check for updates: "_q;
        const QString moved = "WARN [Updater] App is running from translocated location"_q;
        const QStringList moveIt{
            "Cannot Auto-Update|This app is running from a temporary location. Please move it to "_q
            "the folder you install apps in (such as ~/Applications) first, then relaunch to "_q
            "enable automatic updates.|OK"_q};
        add("same version, manual", "1.1.0", "", true,
            {"You're Up to Date|Vorlanta Creator 1.1.0 is the latest version.|OK"_q},
            "INFO [Updater] App is up to date"_q);
        add("newer, Later", "1.0", "", true, {kOffer}, "INFO [Updater] User deferred update"_q);
        add("manifest-404", "1.0", "manifest-404=1", false, {}, failed + "badStatus(404)"_q);
        add("manifest-404, manual", "1.0", "manifest-404=1", true,
            {checkFailed + "The operation couldn\u2019t be completed. "_q
                           "(Vorlanta_Creator.UpdaterError error 0.)|OK"_q},
            manualFailed + "badStatus(404)"_q);
        add("download-206, manual", "1.0", "download-206=1", true, {kOffer, checkFailed},
            manualFailed + "badStatus(206)"_q);
        add("wrong-digest", "1.0", "wrong-digest=1", false, {kOffer},
            failed + "integrityMismatch"_q);
        add("bad-signature, manual", "1.0", "bad-signature=1", true,
            {kOffer, "Update Failed|The downloaded update has an invalid code signature and "_q
                     "cannot be installed.\n\nReason: "_q},
            "ERROR [Updater] Code signature verification failed: "_q);
        // Refused only once download, digest and signature were checked.
        add("install folder not writable, manual", "1.0", "", true,
            {kOffer, "Cannot Update|The install location is not writable. Try moving the app to "_q
                     "a folder you can write to (such as ~/Applications).|OK"_q},
            "INFO [Updater] Code signature verified successfully"_q, "Pinned"_q);
        add("translocated, manual", "1.0", "", true, moveIt, moved, "AppTranslocation/ABC/d"_q);
        // An AppImage runs from a FUSE mount directly in the temporary directory.
        add("AppImage mount", "1.0", "", false, moveIt, moved,
            QDir::tempPath() + "/.mount_VorlantaT"_q +
                QString::number(QCoreApplication::applicationPid()));
        // A development or package-manager build cannot replace itself; a manual check says so.
        const QString notBundle = "Not running from an installed bundle"_q;
        add("development build", "1.0", "", false, {}, notBundle, {});
        add("development build, manual", "1.0", "", true,
            {"Cannot Update|This copy of Vorlanta Creator cannot update itself. If your system's "_q
             "package manager installed it, update it there.|OK"_q},
            notBundle, {});
    }
    void alertsByKindOfCheck()
    {
        const auto [installed, fault, manual, alerts, logLine, folder] =
            fetch<QString, QString, bool, QStringList, QString, QString>(
                "installed", "fault", "manual", "alerts", "logLine", "folder");
        const auto restore = qScopeGuard([&] { // an AppImage mount is outside m_dir
            folder == "Pinned"_q && setImmutable(m_dir.filePath(folder), false);
            QDir(QDir::isAbsolutePath(folder) ? folder : m_dir.path()).removeRecursively();
        });
        Updater::shared().setConfiguration(site(installed, fault, folder));
        QVERIFY(folder != "Pinned"_q || setImmutable(m_dir.filePath(folder), true));
        AlertAnswerer answerer(logLine.contains("deferred"_q) ? "Later"_q : "Install"_q);
        const qsizetype mark = loggedText().size();
        QVERIFY(runCheck(manual));
        const QString log = loggedText().mid(mark);
        QVERIFY2(log.contains(logLine), qPrintable(log));
        QCOMPARE(answerer.seen.size(), alerts.size());
        for (qsizetype i = 0; i < alerts.size(); ++i) {
            QVERIFY2(answerer.seen[i].startsWith(alerts[i]), qPrintable(answerer.seen[i]));
        }
        if (alerts.value(1).startsWith("Update Failed"_q)) {
            QVERIFY(answerer.seen[1].endsWith(
                "\n\nPlease download the latest version from download.vorlanta.example|OK"_q));
        }
        QVERIFY(!logLine.contains("translocated"_q) ||
                !log.contains("Latest manifest version"_q)); // fetched nothing
        // The installation stayed as it was, and nothing is left in the temporary directory.
        QVERIFY(readFile(m_installed + "/Info.json"_q).contains(installed.toUtf8()));
        QVERIFY(!QFile::exists(m_installed + ".update"_q));
        QCOMPARE(entriesOf(m_dir.filePath("tmp"_q)), QStringList());
    }

    // The offer runs no loop of its own: a loop the main thread is in when it opens (a keyring
    // read at launch waits in one) ends while the offer still waits for its answer.
    void offerHoldsUpNoOtherLoop()
    {
        Updater::shared().setConfiguration(site("1.0"_q));
        QSignalSpy ended(&Updater::shared(), &Updater::checkEnded);
        const qsizetype mark = loggedText().size();
        QEventLoop loop;
        QPointer<QMessageBox> offer;
        QTimer poll;
        connect(&poll, &QTimer::timeout, &loop, [&] {
            offer = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            offer ? loop.quit() : void();
        });
        poll.start(20);
        QTimer::singleShot(10000, &loop, [&] { // a nested offer would keep the loop till answered
            offer ? offer->reject() : void();
            loop.quit();
        });
        Updater::shared().checkForUpdatesOnLaunch();
        loop.exec();
        poll.stop();
        QVERIFY(offer && offer->isVisible());
        AlertAnswerer answerer("Later"_q);
        QVERIFY(ended.wait(60000));
        QVERIFY(loggedText().mid(mark).contains("[Updater] User deferred update"_q));
    }

    // Two checks at once could start two installers racing for the same bundle.
    void overlappingCheckIsRefused()
    {
        Updater::shared().setConfiguration(site("1.1"_q, "delay-ms=800"_q));
        AlertAnswerer answerer({});
        const qsizetype mark = loggedText().size();
        QSignalSpy ended(&Updater::shared(), &Updater::checkEnded);
        Updater::shared().checkForUpdatesOnLaunch();
        Updater::shared().checkForUpdatesManually();
        QVERIFY(ended.wait(60000));
        QTest::qWait(300);
        QCOMPARE(ended.size(), 1);
        const QString log = loggedText().mid(mark);
        QCOMPARE(log.count("[Updater] Checking for updates"_q), 1);
        QVERIFY(log.contains(
            "[Updater] An update check is already running (manual: true); this one is skipped"_q));
        QCOMPARE(answerer.seen,
                 QStringList{"Update Check in Progress|Vorlanta Creator is already "_q
                             "checking for updates. Try again when that check has "_q
                             "finished.|OK"_q});
        QVERIFY(runCheck(true)); // once it ended, the next check runs
        QVERIFY(answerer.seen.value(1).startsWith("You're Up to Date|"_q));
    }
};

VORLANTA_TEST_MAIN(TestUpdater)
#include "tst_Updater.moc"
