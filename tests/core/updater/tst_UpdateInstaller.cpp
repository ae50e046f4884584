#include "core/api/HttpTransport.h"
#include "core/updater/BundleSignature.h"
#include "core/updater/ReleaseManifest.h"
#include "core/updater/UpdateInstaller.h"
#include "core/updater/UpdaterError.h"
#include "support/SandboxProcess.h"
#include "support/TestEnvironment.h"
#include "support/UpdateTestHelpers.h"

#include <QtCore/QCryptographicHash>
#include <QtCore/QDeadlineTimer>
#include <QtCore/QDirIterator>
#include <QtCore/QRegularExpression>
#include <QtCore/QTemporaryDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using TestSupport::SandboxProcess;
using namespace UpdateTest;

namespace {

const QRegularExpression kUuidName(
    QStringLiteral("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}-(.*)$"));

// A release of version 1.1 packed from a bundle whose executable leaves a mark when started.
struct Release {
    QTemporaryDir dir;
    QString marker;
    QString bundle;
    QString archive;

    explicit Release(const QString &version = QStringLiteral("1.1"))
    {
        marker = dir.filePath(QStringLiteral("marker.txt"));
        bundle = makeBundle(dir.filePath(QStringLiteral("source")), version,
                            markerExecutable(marker, version));
        archive = packRelease(bundle, version, dir.filePath(QStringLiteral("out")));
    }
};

// The installation being updated: version 1.0 in its own folder.
struct Installation {
    QTemporaryDir dir;
    QString bundle;
    explicit Installation(const QString &marker)
    {
        bundle = makeBundle(dir.filePath(QStringLiteral("Applications")), QStringLiteral("1.0"),
                            markerExecutable(marker, QStringLiteral("1.0")));
    }
};

ReleaseManifest manifestOf(const SandboxProcess &sandbox)
{
    HttpRequest request;
    request.url = sandbox.baseUrl().resolved(QUrl(QStringLiteral("version-linux")));
    const HttpResponse response = HttpTransport::sendBlocking(request);
    if (response.statusCode != 200) {
        qWarning("manifest answered %d", response.statusCode);
        return {};
    }
    return ReleaseManifest::decode(response.body);
}

UpdateInstaller::Setup setupFor(const QString &temporary, const QString &bundle, qint64 pid,
                                const SandboxProcess &sandbox)
{
    return {temporary, bundle, testPublicKey(), sandbox.baseUrl().toString(), pid};
}

// What is left in a directory, names only.
QStringList entriesOf(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

template <typename Step> std::optional<UpdaterError> updaterErrorOf(Step step)
{
    try {
        step();
    } catch (const UpdaterError &error) {
        return error;
    }
    return std::nullopt;
}

QStringList linesOf(const QString &path)
{
    return QString::fromUtf8(TestSupport::readFile(path))
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// The installer log's messages, without their timestamps.
QStringList messagesOf(const QString &logPath)
{
    static const QRegularExpression stamp(
        QStringLiteral("^\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2} "));
    QStringList messages;
    for (const QString &line : linesOf(logPath)) {
        QString message = line;
        if (!stamp.match(line).hasMatch()) {
            messages.append(QStringLiteral("<unstamped> ") + line);
            continue;
        }
        messages.append(message.remove(stamp));
    }
    return messages;
}

bool waitForScriptEnd(const QString &logPath)
{
    const QDeadlineTimer deadline(30000);
    while (!deadline.hasExpired()) {
        const QString log = QString::fromUtf8(TestSupport::readFile(logPath));
        if (log.contains(QStringLiteral("Update complete")) ||
            log.contains(QStringLiteral("ERROR: "))) {
            QTest::qWait(500); // the failure path still opens the site and removes the script
            return true;
        }
        QTest::qWait(50);
    }
    return false;
}

// A stand-in for the application the script waits for.
struct RunningApp {
    QProcess process;
    RunningApp()
    {
        process.start(QStringLiteral("sleep"), {QStringLiteral("60")});
        process.waitForStarted();
    }
    qint64 pid() const { return process.processId(); }
    void quit()
    {
        process.kill();
        process.waitForFinished();
    }
};

// Records what the installer script hands to xdg-open.
QString installBrowserRecorder(const QString &dir)
{
    const QString record = QDir(dir).filePath(QStringLiteral("opened.txt"));
    writeFile(QDir(dir).filePath(QStringLiteral("bin/xdg-open")),
              "#!/bin/sh\necho \"$@\" >> '" + record.toUtf8() + "'\n",
              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    qputenv("PATH",
            QFile::encodeName(QDir(dir).filePath(QStringLiteral("bin"))) + ':' + qgetenv("PATH"));
    return record;
}

bool canMakeImmutable(const QString &scratch)
{
    QFile probe(QDir(scratch).filePath(QStringLiteral("probe")));
    probe.open(QIODevice::WriteOnly);
    probe.close();
    const bool ok = setImmutable(probe.fileName(), true);
    setImmutable(probe.fileName(), false);
    probe.remove();
    return ok;
}

} // namespace

class TestUpdateInstaller : public QObject {
    Q_OBJECT
private slots:
    void downloadKeepsTheFileInTheTemporaryDirectory_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("expected"); // name after the UUID; empty: refused
        QTest::newRow("plain") << "Vorlanta-Creator-1.1.tar.gz"
                               << "Vorlanta-Creator-1.1.tar.gz";
        QTest::newRow("climbs out") << "../../escape.tar.gz"
                                    << "escape.tar.gz";
        QTest::newRow("absolute") << "/etc/cron.d/job"
                                  << "job";
        QTest::newRow("sub-folders") << "a/b/c.tar.gz"
                                     << "c.tar.gz";
        QTest::newRow("empty") << ""
                               << "";
        QTest::newRow("dot") << "."
                             << "";
        QTest::newRow("dot-dot") << ".."
                                 << "";
        QTest::newRow("ends in dot-dot") << "a/.."
                                         << "";
        QTest::newRow("ends in slash") << "a/"
                                       << "";
    }
    void downloadKeepsTheFileInTheTemporaryDirectory()
    {
        QFETCH(QString, fileName);
        QFETCH(QString, expected);
        Release release;
        QVERIFY(!release.archive.isEmpty());
        SandboxProcess sandbox({QStringLiteral("--release"), release.archive,
                                QStringLiteral("--release-version"), QStringLiteral("1.1")});
        QVERIFY2(sandbox.isRunning(), qPrintable(sandbox.startError()));
        ReleaseManifest manifest = manifestOf(sandbox);
        manifest.filename = fileName;
        QTemporaryDir temporary;
        const QString inner = temporary.filePath(QStringLiteral("tmp"));
        QDir().mkpath(inner);
        UpdateInstaller installer(setupFor(inner, QString(), 0, sandbox));

        if (expected.isEmpty()) {
            const std::optional<UpdaterError> error =
                updaterErrorOf([&] { installer.downloadDMG(manifest); });
            QVERIFY(error);
            QCOMPARE(error->kind(), UpdaterError::Kind::unsafeFileName);
            QCOMPARE(entriesOf(inner), QStringList());
            return;
        }
        const QString path = installer.downloadDMG(manifest);
        QCOMPARE(QFileInfo(path).absolutePath(), QDir(inner).absolutePath());
        const QRegularExpressionMatch match = kUuidName.match(QFileInfo(path).fileName());
        QVERIFY2(match.hasMatch(), qPrintable(path));
        QCOMPARE(match.captured(1), expected);
        QVERIFY(TestSupport::readFile(path) == TestSupport::readFile(release.archive));
        // Only the download, nothing beside or above it.
        QCOMPARE(entriesOf(inner).size(), 1);
        QCOMPARE(entriesOf(temporary.path()), QStringList{QStringLiteral("tmp")});
    }

    void downloadStatuses_data()
    {
        QTest::addColumn<QStringList>("faults");
        QTest::addColumn<QString>("path"); // replaces the download URL's path when set
        QTest::addColumn<int>("status");
        QTest::newRow("206") << QStringList{QStringLiteral("download-206=1")} << QString() << 206;
        QTest::newRow("404") << QStringList() << QStringLiteral("/releases/none.tar.gz") << 404;
    }
    void downloadStatuses()
    {
        QFETCH(QStringList, faults);
        QFETCH(QString, path);
        QFETCH(int, status);
        Release release;
        QStringList arguments{QStringLiteral("--release"), release.archive,
                              QStringLiteral("--release-version"), QStringLiteral("1.1")};
        for (const QString &fault : faults) {
            arguments << QStringLiteral("--fault") << fault;
        }
        SandboxProcess sandbox(arguments);
        QVERIFY2(sandbox.isRunning(), qPrintable(sandbox.startError()));
        ReleaseManifest manifest = manifestOf(sandbox);
        if (!path.isEmpty()) {
            manifest.downloadURL.setPath(path);
        }
        QTemporaryDir temporary;
        UpdateInstaller installer(setupFor(temporary.path(), QString(), 0, sandbox));
        const std::optional<UpdaterError> error =
            updaterErrorOf([&] { installer.downloadDMG(manifest); });
        QVERIFY(error);
        QCOMPARE(error->kind(), UpdaterError::Kind::badStatus);
        QCOMPARE(error->status(), status);
        QCOMPARE(entriesOf(temporary.path()), QStringList());
    }

    // A cache-style answer is not the archive either.
    void notModifiedIsABadStatus()
    {
        const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        QVERIFY(listener >= 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        QCOMPARE(::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        QCOMPARE(::listen(listener, 1), 0);
        socklen_t length = sizeof address;
        ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
        std::thread server([listener] {
            const int client = ::accept(listener, nullptr, nullptr);
            char request[4096];
            [[maybe_unused]] const ssize_t got = ::read(client, request, sizeof request);
            const char answer[] = "HTTP/1.1 304 Not Modified\r\nConnection: close\r\n\r\n";
            [[maybe_unused]] const ssize_t put = ::write(client, answer, sizeof answer - 1);
            ::close(client);
        });
        ReleaseManifest manifest;
        manifest.filename = QStringLiteral("release.tar.gz");
        manifest.downloadURL =
            QUrl(QStringLiteral("http://127.0.0.1:%1/release.tar.gz").arg(ntohs(address.sin_port)));
        QTemporaryDir temporary;
        UpdateInstaller installer({temporary.path(), QString(), {}, QString(), 0});
        const std::optional<UpdaterError> error =
            updaterErrorOf([&] { installer.downloadDMG(manifest); });
        server.join();
        ::close(listener);
        QVERIFY(error);
        QCOMPARE(error->textualForm(), QStringLiteral("badStatus(304)"));
        QCOMPARE(entriesOf(temporary.path()), QStringList());
    }

    void archiveDigest_data()
    {
        QTest::addColumn<QString>("digestForm");
        QTest::addColumn<bool>("passes");
        QTest::newRow("lower case") << "lower" << true;
        QTest::newRow("upper case") << "upper" << true;
        QTest::newRow("one digit changed") << "changed" << false;
        QTest::newRow("empty") << "empty" << false;
    }
    void archiveDigest()
    {
        QFETCH(QString, digestForm);
        QFETCH(bool, passes);
        QTemporaryDir dir;
        const QString image = dir.filePath(QStringLiteral("image.tar.gz"));
        const QByteArray bytes(3 * 1024 * 1024 + 7, 'v');
        QVERIFY(writeFile(image, bytes));
        QString digest = QString::fromLatin1(
            QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
        if (digestForm == QStringLiteral("upper")) {
            digest = digest.toUpper();
        } else if (digestForm == QStringLiteral("changed")) {
            digest[5] = digest[5] == QLatin1Char('0') ? QLatin1Char('1') : QLatin1Char('0');
        } else if (digestForm == QStringLiteral("empty")) {
            digest.clear();
        }
        ReleaseManifest manifest;
        manifest.sha256 = digest;
        UpdateInstaller installer({dir.path(), QString(), {}, QString(), 0});
        const std::optional<UpdaterError> error =
            updaterErrorOf([&] { installer.verifyArchive(image, manifest); });
        QCOMPARE(!error.has_value(), passes);
        if (error) {
            QCOMPARE(error->kind(), UpdaterError::Kind::integrityMismatch);
        }
    }

    void archiveContents_data()
    {
        QTest::addColumn<QStringList>("topLevel"); // folders packed at the top of the archive
        QTest::addColumn<QString>("expected");     // the extracted bundle's name; empty: refused
        QTest::newRow("folder and two bundles")
            << QStringList{QStringLiteral("docs"), QStringLiteral("Zeta.app"),
                           QStringLiteral("Vorlanta Creator.app")}
            << "Vorlanta Creator.app";
        QTest::newRow("only a folder") << QStringList{QStringLiteral("docs")} << "";
        QTest::newRow("extension in another case")
            << QStringList{QStringLiteral("Vorlanta Creator.APP")} << "";
    }
    void archiveContents()
    {
        QFETCH(QStringList, topLevel);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        const QString content = dir.filePath(QStringLiteral("content"));
        for (const QString &folder : topLevel) {
            QVERIFY(writeFile(content + QLatin1Char('/') + folder + QStringLiteral("/bin/tool"),
                              folder.toUtf8()));
        }
        const QString image = dir.filePath(QStringLiteral("release.tar.gz"));
        QCOMPARE(
            QProcess::execute(QStringLiteral("tar"), QStringList{QStringLiteral("-czf"), image,
                                                                 QStringLiteral("-C"), content} +
                                                         topLevel),
            0);
        const QString temporary = dir.filePath(QStringLiteral("tmp"));
        QDir().mkpath(temporary);
        UpdateInstaller installer({temporary, QString(), {}, QString(), 0});

        if (expected.isEmpty()) {
            const std::optional<UpdaterError> error =
                updaterErrorOf([&] { installer.mountAndExtractFromDMG(image); });
            QVERIFY(error);
            QCOMPARE(error->kind(), UpdaterError::Kind::unexpectedArchiveContents);
            // Detached: the unpacked tree is gone again.
            QCOMPARE(entriesOf(temporary), QStringList());
            return;
        }
        const QString extracted = installer.mountAndExtractFromDMG(image);
        QCOMPARE(QFileInfo(extracted).fileName(), expected);
        QCOMPARE(TestSupport::readFile(extracted + QStringLiteral("/bin/tool")), expected.toUtf8());
        // The copy can be replaced later: its owner may write it.
        QVERIFY(QFileInfo(extracted + QStringLiteral("/bin/tool")).permissions() &
                QFileDevice::WriteOwner);
        QVERIFY(loggedText().contains(QStringLiteral("[Updater] Extracted app to: ") + extracted));
        // Only the extraction folder is left; the mount point was removed.
        const QStringList left = entriesOf(temporary);
        QCOMPARE(left.size(), 1);
        QVERIFY2(left.first().startsWith(QStringLiteral("vorlanta-extracted-")),
                 qPrintable(left.first()));
    }

    void brokenArchiveFailsTheMount()
    {
        QTemporaryDir dir;
        const QString image = dir.filePath(QStringLiteral("release.tar.gz"));
        QVERIFY(writeFile(image, "this is not a gzip stream"));
        UpdateInstaller installer({dir.path(), QString(), {}, QString(), 0});
        const std::optional<UpdaterError> error =
            updaterErrorOf([&] { installer.mountAndExtractFromDMG(image); });
        QVERIFY(error);
        QCOMPARE(error->kind(), UpdaterError::Kind::dmgMountFailed);
        QVERIFY(error->status() != 0);
        QVERIFY2(loggedText().contains(QStringLiteral(
                     "ERROR [Updater] Failed to mount DMG: \ngzip: stdin: not in gzip format")),
                 qPrintable(loggedText().right(400)));
    }

    void signatureCheck_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<QString>("reasonContains"); // empty: verified
        QTest::newRow("as released") << "none"
                                     << "";
        QTest::newRow("executable changed") << "executable"
                                            << "bin/vorlanta-creator";
        QTest::newRow("file added") << "added"
                                    << "share/extra.txt";
        QTest::newRow("signature removed") << "unsigned"
                                           << "not signed";
    }
    void signatureCheck()
    {
        QFETCH(QString, change);
        QFETCH(QString, reasonContains);
        Release release;
        QVERIFY(!release.archive.isEmpty());
        const QString temporary = release.dir.filePath(QStringLiteral("tmp"));
        QDir().mkpath(temporary);
        UpdateInstaller installer({temporary, QString(), testPublicKey(), QString(), 0});
        const QString extracted = installer.mountAndExtractFromDMG(release.archive);
        if (change == QStringLiteral("executable")) {
            QVERIFY(writeFile(extracted + QStringLiteral("/bin/vorlanta-creator"),
                              "#!/bin/sh\necho tampered\n"));
        } else if (change == QStringLiteral("added")) {
            QVERIFY(writeFile(extracted + QStringLiteral("/share/extra.txt"), "extra"));
        } else if (change == QStringLiteral("unsigned")) {
            QVERIFY(QDir(extracted + QStringLiteral("/signature")).removeRecursively());
        }
        const std::optional<UpdaterError> error =
            updaterErrorOf([&] { installer.verifyCodeSignature(extracted); });
        if (reasonContains.isEmpty()) {
            QVERIFY2(!error, qPrintable(error ? error->textualForm() : QString()));
            QVERIFY(loggedText().contains(
                QStringLiteral("INFO [Updater] Code signature verified successfully")));
            return;
        }
        QVERIFY(error);
        QCOMPARE(error->kind(), UpdaterError::Kind::codeSignatureInvalid);
        QVERIFY2(error->reason().contains(reasonContains), qPrintable(error->reason()));
        QCOMPARE(error->reason(), error->reason().trimmed());
        QVERIFY(loggedText().contains(
            QStringLiteral("ERROR [Updater] Code signature verification failed: ")));
    }

    // Modes travel with the release; the unpacked tree is read-only, the copies writable.
    void shippedModesSurviveExtraction()
    {
        QTemporaryDir dir;
        const QString bundle = makeBundle(dir.filePath(QStringLiteral("source")),
                                          QStringLiteral("1.1"), "#!/bin/sh\nexit 0\n");
        QVERIFY(
            writeFile(bundle + QStringLiteral("/share/read-only.txt"), "r",
                      QFileDevice::ReadOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther));
        QVERIFY(writeFile(bundle + QStringLiteral("/share/group-writable.txt"), "g",
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                              QFileDevice::ReadGroup | QFileDevice::WriteGroup));
        const QString archive =
            packRelease(bundle, QStringLiteral("1.1"), dir.filePath(QStringLiteral("out")));
        QVERIFY(!archive.isEmpty());
        const QString temporary = dir.filePath(QStringLiteral("tmp"));
        QDir().mkpath(temporary);
        UpdateInstaller installer({temporary, QString(), testPublicKey(), QString(), 0});
        const QString extracted = installer.mountAndExtractFromDMG(archive);
        QCOMPARE(BundleSignature::verify(extracted, testPublicKey()), QString());
        QVERIFY(QFileInfo(extracted + QStringLiteral("/bin/vorlanta-creator")).isExecutable());
        QVERIFY(QFileInfo(extracted + QStringLiteral("/share/read-only.txt")).permissions() &
                QFileDevice::WriteOwner);
    }

    void stagingReplacesAStaleBuild()
    {
        Release release;
        Installation installation(release.marker);
        const QString temporary = release.dir.filePath(QStringLiteral("tmp"));
        QDir().mkpath(temporary);
        UpdateInstaller installer({temporary, installation.bundle, testPublicKey(), QString(), 0});
        const QString extracted = installer.mountAndExtractFromDMG(release.archive);
        const QString stale = installation.bundle + QStringLiteral(".update");
        QVERIFY(writeFile(stale + QStringLiteral("/left-over.txt"), "from an earlier run"));

        const QString staged = installer.stageApp(extracted);
        QCOMPARE(staged, stale);
        QVERIFY(!QFile::exists(stale + QStringLiteral("/left-over.txt")));
        QCOMPARE(BundleSignature::verify(staged, testPublicKey()), QString());
        // The running bundle is untouched until the script swaps it.
        QVERIFY(TestSupport::readFile(installation.bundle + QStringLiteral("/Info.json"))
                    .contains("1.0"));
    }

    void unwritableInstallLocationIsRefused()
    {
        Release release;
        Installation installation(release.marker);
        const QString folder = QFileInfo(installation.bundle).absolutePath();
        const bool root = ::geteuid() == 0;
        if (root && !canMakeImmutable(folder)) {
            QSKIP("running as root on a file system without immutable files");
        }
        const QString temporary = release.dir.filePath(QStringLiteral("tmp"));
        QDir().mkpath(temporary);
        UpdateInstaller installer({temporary, installation.bundle, testPublicKey(), QString(), 0});
        const QString extracted = installer.mountAndExtractFromDMG(release.archive);
        if (root) {
            QVERIFY(setImmutable(folder, true));
        } else {
            QVERIFY(QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        }
        const std::optional<UpdaterError> error =
            updaterErrorOf([&] { installer.stageApp(extracted); });
        if (root) {
            setImmutable(folder, false);
        } else {
            QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                              QFileDevice::ExeOwner);
        }
        QVERIFY(error);
        QCOMPARE(error->kind(), UpdaterError::Kind::installLocationNotWritable);
        QVERIFY(!QFile::exists(installation.bundle + QStringLiteral(".update")));
    }

    // The whole pipeline against the sandbox, then the script swapping a throw-away installation.
    void installSwapsAndRelaunches_data()
    {
        QTest::addColumn<QString>("temporaryName");
        QTest::newRow("plain temporary directory") << "tmp";
        QTest::newRow("quotes, $, backtick, backslash")
            << "we\"ird $(touch PWNED) `touch PWNED2` \\back 'q'";
    }
    void installSwapsAndRelaunches()
    {
        QFETCH(QString, temporaryName);
        Release release;
        QVERIFY(!release.archive.isEmpty());
        Installation installation(release.marker);
        SandboxProcess sandbox({QStringLiteral("--release"), release.archive,
                                QStringLiteral("--release-version"), QStringLiteral("1.1")});
        QVERIFY2(sandbox.isRunning(), qPrintable(sandbox.startError()));
        const QString temporary = release.dir.filePath(temporaryName);
        QVERIFY(QDir().mkpath(temporary));
        const QString workDir = QDir::currentPath();
        QDir::setCurrent(release.dir.path()); // where an injected "touch PWNED" would land
        RunningApp app;
        const qint64 appProcessId = app.pid();
        UpdateInstaller installer(setupFor(temporary, installation.bundle, appProcessId, sandbox));
        const ReleaseManifest manifest = manifestOf(sandbox);
        UpdateMetadata::store(std::nullopt);

        bool terminated = false;
        installer.install(manifest, [&] {
            terminated = true;
            app.quit();
        });
        QVERIFY(terminated);
        const QString log = installer.logFilePath();
        QVERIFY2(waitForScriptEnd(log), qPrintable(QString::fromUtf8(TestSupport::readFile(log))));
        QDir::setCurrent(workDir);

        const QStringList messages = messagesOf(log);
        const QStringList expected = {
            QStringLiteral("Starting update: PID=%1, APP=%2, NEW=%2.update")
                .arg(appProcessId)
                .arg(installation.bundle),
            QStringLiteral("Waiting for app to terminate..."),
            QStringLiteral("App terminated"),
            QStringLiteral("Removing old app..."),
            QStringLiteral("Old app removed"),
            QStringLiteral("Installing new app..."),
            QStringLiteral("New app installed"),
            QStringLiteral("Launching updated app..."),
            QStringLiteral("App launched successfully"),
            QStringLiteral("Update complete"),
        };
        QCOMPARE(messages, expected);
        // The new bundle is in place, verified as released, and was started.
        QVERIFY(TestSupport::readFile(installation.bundle + QStringLiteral("/Info.json"))
                    .contains("1.1"));
        QCOMPARE(BundleSignature::verify(installation.bundle, testPublicKey()), QString());
        QVERIFY(!QFile::exists(installation.bundle + QStringLiteral(".update")));
        const QDeadlineTimer started(10000);
        while (!TestSupport::readFile(release.marker).contains("started 1.1") &&
               !started.hasExpired()) {
            QTest::qWait(50);
        }
        QCOMPARE(TestSupport::readFile(release.marker), QByteArray("started 1.1\n"));
        // Nothing but the installer's log is left in the temporary directory; nothing was injected.
        QCOMPARE(entriesOf(temporary), QStringList{QStringLiteral("vorlanta-updater.log")});
        QVERIFY(!QFile::exists(release.dir.filePath(QStringLiteral("PWNED"))));
        QVERIFY(!QFile::exists(release.dir.filePath(QStringLiteral("PWNED2"))));
        // The record of the release being installed.
        const std::optional<UpdateMetadata> metadata = UpdateMetadata::stored();
        QVERIFY(metadata);
        QCOMPARE(metadata->version, std::optional<QString>(QStringLiteral("1.1")));
        QCOMPARE(metadata->etag, std::optional<QString>(manifest.etag));
        QCOMPARE(metadata->lastModified, std::optional<QDateTime>(manifest.lastModified));
        const QString pipeline = loggedText();
        int at = 0;
        for (const char *line :
             {"[Updater] Verifying DMG integrity", "[Updater] Mounting DMG and extracting app",
              "[Updater] Clearing quarantine attribute",
              "[Updater] Verifying code signature of downloaded app", "[Updater] Staging new build",
              "[Updater] Launching installer script and terminating current app"}) {
            const int found = int(pipeline.indexOf(QString::fromUtf8(line), at));
            QVERIFY2(found >= 0, line);
            at = found;
        }
    }

    void installerScriptFailures_data()
    {
        QTest::addColumn<QString>("blocked");
        QTest::newRow("old bundle cannot be removed") << "old";
        QTest::newRow("move fails after the removal") << "staged";
    }
    void installerScriptFailures()
    {
        QFETCH(QString, blocked);
        Release release;
        Installation installation(release.marker);
        if (!canMakeImmutable(QFileInfo(installation.bundle).absolutePath())) {
            QSKIP("this file system offers no immutable files (chattr)");
        }
        const QString record = installBrowserRecorder(release.dir.path());
        const QString temporary = release.dir.filePath(QStringLiteral("tmp"));
        QDir().mkpath(temporary);
        RunningApp app;
        UpdateInstaller installer({temporary, installation.bundle, testPublicKey(),
                                   QStringLiteral("https://download.vorlanta.example/"),
                                   app.pid()});
        const QString staged =
            installer.stageApp(installer.mountAndExtractFromDMG(release.archive));
        const QString pinned =
            blocked == QStringLiteral("old")
                ? installation.bundle + QStringLiteral("/share/resources/readme.txt")
                : staged;
        QVERIFY(setImmutable(pinned, true));
        installer.launchInstallerScript(staged);
        app.quit();
        const bool ended = waitForScriptEnd(installer.logFilePath());
        setImmutable(pinned, false);
        QVERIFY(ended);

        const QStringList messages = messagesOf(installer.logFilePath());
        if (blocked == QStringLiteral("old")) {
            QVERIFY2(messages.contains(QStringLiteral("ERROR: Failed to remove old app")),
                     qPrintable(messages.join(QLatin1Char('\n'))));
            QVERIFY(!messages.contains(QStringLiteral("Attempting to restore from staged app")));
            QVERIFY(QFileInfo(staged).isDir()); // left where it was
            QVERIFY(QFileInfo::exists(installation.bundle));
        } else {
            QVERIFY(messages.contains(QStringLiteral("Old app removed")));
            QVERIFY2(messages.contains(QStringLiteral("ERROR: Failed to install new app")),
                     qPrintable(messages.join(QLatin1Char('\n'))));
            QVERIFY(messages.contains(QStringLiteral("Attempting to restore from staged app")));
        }
        QVERIFY(!messages.contains(QStringLiteral("Update complete")));
        const QDeadlineTimer opened(5000);
        while (TestSupport::readFile(record).isEmpty() && !opened.hasExpired()) {
            QTest::qWait(50);
        }
        QCOMPARE(TestSupport::readFile(record), QByteArray("https://download.vorlanta.example/\n"));
        // The script removed itself.
        for (const QString &entry : entriesOf(temporary)) {
            QVERIFY2(!entry.endsWith(QStringLiteral(".sh")), qPrintable(entry));
        }
    }
};

VORLANTA_TEST_MAIN(TestUpdateInstaller)
#include "tst_UpdateInstaller.moc"
