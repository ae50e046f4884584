#include "core/api/HttpTransport.h"
#include "core/updater/ReleaseManifest.h"
#include "core/updater/UpdateInstaller.h"
#include "core/updater/UpdaterError.h"
#include "support/SandboxProcess.h"
#include "support/UpdateTestHelpers.h"

#include <QtCore/QRegularExpression>
#include <QtCore/QTemporaryDir>
#include <QtNetwork/QTcpServer>
#include <QtNetwork/QTcpSocket>

#include <future>
#include <nlohmann/json.hpp>
#include <thread>
#include <utime.h>

using namespace UpdateTest;

namespace {

// Space and plus must survive the download URL both ways.
const QString kName = "Vorlanta Creator 1.1+b.tar.gz"_q;

// Answers one request with 304 Not Modified, on a free port; the URL to ask.
QUrl notModifiedServer(std::jthread &server)
{
    std::promise<quint16> port;
    std::future<quint16> bound = port.get_future();
    server = std::jthread([port = std::move(port)]() mutable {
        QTcpServer listener;
        port.set_value(listener.listen(QHostAddress::LocalHost) ? listener.serverPort() : 0);
        QTcpSocket *client = // the listener's child
            listener.waitForNewConnection(60000) ? listener.nextPendingConnection() : nullptr;
        if (client && client->waitForReadyRead(60000)) {
            client->write("HTTP/1.1 304 Not Modified\r\nConnection: close\r\n\r\n");
            client->waitForBytesWritten(60000);
        }
    });
    return QUrl("http://127.0.0.1:%1/r.tar.gz"_q.arg(bound.get()));
}

// Release 1.1 packed by the release tool, and the installation of 1.0 it replaces.
struct Release {
    QTemporaryDir dir;
    QString marker = dir.filePath("marker.txt"_q), archive, installed;
    // Started, the executable appends its bundle's Info.json to the marker.
    QByteArray app = "#!/bin/sh\ncat \"${0%/*}/../Info.json\" >> '" + marker.toUtf8() + "'\n";
    Release()
    {
        const QString source = makeBundle(dir.filePath("source"_q), "1.1"_q, app);
        writeFile(source + "/share/read-only.txt"_q, "r", 0444);
        archive = packRelease(source, "1.1"_q, dir.filePath("out"_q), kName);
        installed = makeBundle(dir.filePath("Apps"_q), "1.0"_q, app);
    }
    QString folder(const QString &n) const { return QDir(dir.path()).mkpath(n), dir.filePath(n); }
    // The archive unpacked, changed by "put:path", "rm:path" or "mv:new bundle name", repacked.
    bool tamper(const QString &command) const
    {
        const QString tree = folder("tree"_q);
        const QString inside = tree + u'/' + kBundleName + u'/' + command.section(u':', 1);
        const bool unpacked = QProcess::execute("tar"_q, {"-xzf"_q, archive, "-C"_q, tree}) == 0;
        QFile::remove(inside);
        const bool done = command.startsWith("put:"_q) ? writeFile(inside, "x", 0755)
                          : command.startsWith("rm:"_q)
                              ? QDir(inside).removeRecursively()
                              : QDir(tree).rename(kBundleName, command.mid(3));
        return unpacked && done &&
               QProcess::execute("tar"_q, QStringList{"-czf"_q, archive, "-C"_q, tree} +
                                              entriesOf(tree)) == 0;
    }
    std::unique_ptr<SandboxProcess> sandbox;
    ReleaseManifest manifest;
    // Serves the archive, with the sandbox fault "name=value" if given, and fetches its manifest.
    bool serve(const QString &fault = {})
    {
        QStringList arguments{"--release"_q, archive, "--release-version"_q, "1.1"_q};
        sandbox = std::make_unique<SandboxProcess>(
            fault.contains(u'=') ? arguments << "--fault"_q << fault : arguments);
        HttpRequest request;
        request.url = sandbox->baseUrl().resolved(QUrl("version-linux"_q));
        manifest = ReleaseManifest::decode(HttpTransport::sendBlocking(request).body);
        return sandbox->isRunning() || (qWarning() << sandbox->startError(), false);
    }
};

// What ended a step, as the updater logs it; empty when it went through.
QString failureOf(const std::function<void()> &step)
{
    try {
        step();
    } catch (const std::exception &error) {
        return errorTextualForm(error);
    }
    return {};
}

} // namespace

class TestUpdateRoundTrip : public QObject {
    Q_OBJECT
private slots:
    void releaseToolPacksASignedRelease()
    {
        QTemporaryDir dir;
        const QString bundle = makeBundle(dir.filePath("source"_q), "0.9"_q, "#!/bin/sh\n");
        const QString out = dir.filePath("out"_q), tmp = dir.filePath("tmp"_q);
        QStringList arguments = "--version|2.0-b.1+b7|--base-url|http://127.0.0.1:8765/dl|"
                                "--filename|Vorlanta 2.tar.gz|--last-modified|"
                                "2025-03-04T05:06:07.890+02:00"_q.split(u'|');
        arguments << "--bundle"_q << bundle << "--key"_q << kKey;
        const Run packed = releaseTool(arguments + QStringList{"--out"_q, out}, tmp);
        QVERIFY2(packed.exitCode == 0 && packed.err.isEmpty(), packed.err.constData());
        // Only the archive and the manifest; staging is gone and the source unchanged.
        QCOMPARE(entriesOf(out), QStringList({"Vorlanta 2.tar.gz"_q, "version-linux"_q}));
        QCOMPARE(entriesOf(tmp), QStringList());
        QVERIFY(readFile(bundle + "/Info.json"_q).contains("\"0.9\""));
        QCOMPARE(readFile(out + "/version-linux"_q), packed.out);
        const QByteArray archive = readFile(out + "/Vorlanta 2.tar.gz"_q);
        const QString sha = QString::fromLatin1(sha256Hex(archive));
        const auto manifest = nlohmann::ordered_json::parse(packed.out.toStdString()).dump();
        QCOMPARE(QString::fromStdString(manifest).replace(u'"', u'\''), // ' reads better in here
                 "{'version':'2.0-b.1+b7','download_url':'http://127.0.0.1:8765/dl/Vorlanta%202."
                 "tar.gz','sha256':'%1','size':%2,'filename':'Vorlanta 2.tar.gz','last_modified':"
                 "'2025-03-04T03:06:07Z','etag':'\\'%3\\''}"_q.arg(
                     sha, QString::number(archive.size()), sha.left(32)));
        // Equal input packs to an equal archive: file times and owners do not leak in.
        const utimbuf old{1000000000, 1000000000};
        QCOMPARE(::utime(native(bundle + "/share/resources/readme.txt"_q).constData(), &old), 0);
        arguments << "--out"_q << out + "2"_q;
        QCOMPARE(releaseTool(arguments, tmp).exitCode, 0);
        QCOMPARE(sha256Hex(readFile(out + "2/Vorlanta 2.tar.gz"_q)), sha.toLatin1());
    }

    // Refused before anything is written; a failure while packing removes what it began.
    void releaseToolRefusesBadInput_data()
    {
        columns<QString, QString, QString>("version", "setup", "message");
        row("version with a slash", "1/2", "", "--version may only");
        row("archive exists", "1.2", "archive", "already exists");
        row("no tar while packing", "1.2", "no-tools", "tar");
    }
    void releaseToolRefusesBadInput()
    {
        const auto [version, setup, message] =
            fetch<QString, QString, QString>("version", "setup", "message");
        QTemporaryDir dir;
        const QString bundle = makeBundle(dir.filePath("source"_q), "0.9"_q, "#!/bin/sh\n");
        const QString out = dir.filePath("out"_q), tmp = dir.filePath("tmp"_q);
        const QString archive = out + "/Vorlanta-Creator-1.2.tar.gz"_q;
        QVERIFY(setup != "archive"_q || writeFile(archive, "earlier"));
        const Run refused = releaseTool({"--bundle"_q, bundle, "--version"_q, version, "--key"_q,
                                         kKey, "--out"_q, out, "--base-url"_q, "https://d/"_q},
                                        tmp, setup == "no-tools"_q ? tmp : QString());
        QCOMPARE(refused.exitCode, setup == "no-tools"_q ? 1 : 2);
        QVERIFY2(refused.err.contains(message.toUtf8()), refused.err.constData());
        QCOMPARE(refused.out, QByteArray());
        QCOMPARE(entriesOf(tmp), QStringList());
        QCOMPARE(entriesOf(out).size(), setup == "archive"_q ? 1 : 0);
        QCOMPARE(readFile(archive), setup == "archive"_q ? "earlier" : QByteArray());
    }

    // Only the last component of the manifest's name is used, inside the temporary directory.
    void downloadKeepsTheFileInTheTemporaryDirectory_data()
    {
        columns<QString, QString>("fileName", "expected"); // name after the UUID; empty: refused
        for (const QString &pair :
             QStringList{"../../escape.tar.gz|escape.tar.gz"_q, "/etc/cron.d/job|job"_q,
                         "a/b/c.tar.gz|c.tar.gz"_q, "|"_q, ".|"_q, "..|"_q, "a/..|"_q, "a/|"_q,
                         kName + u'|' + kName}) {
            const QString name = pair.section(u'|', 0, 0);
            QTest::addRow("'%s'", qPrintable(name)) << name << pair.section(u'|', 1);
        }
    }
    void downloadKeepsTheFileInTheTemporaryDirectory()
    {
        const auto [fileName, expected] = fetch<QString, QString>("fileName", "expected");
        Release release;
        QVERIFY(release.serve());
        release.manifest.filename = fileName;
        const QString temporary = release.folder("tmp/inner"_q);
        UpdateInstaller installer({temporary, QString(), testPublicKey(), QString(), 0});
        QString path;
        const QString failure = failureOf([&] { path = installer.downloadDMG(release.manifest); });
        QCOMPARE(failure.startsWith("unsafeFileName("_q), expected.isEmpty());
        QCOMPARE(entriesOf(temporary).size(), expected.isEmpty() ? 0 : 1);
        QCOMPARE(entriesOf(release.folder("tmp"_q)), QStringList{"inner"_q});
        if (!expected.isEmpty()) {
            QCOMPARE(QFileInfo(path).absolutePath(), temporary);
            static const QRegularExpression uuid("^[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}-"_q);
            QCOMPARE(QFileInfo(path).fileName().remove(uuid), expected);
            QVERIFY(readFile(path) == readFile(release.archive));
        }
    }

    // Each fault of the download site and each kind of bad archive ends the install before the
    // installation is touched, leaving nothing behind.
    void installRefusesABadRelease_data()
    {
        // change: sandbox "fault=1", archive "put:/rm:/mv:", or other
        columns<QString, QString>("change", "failure");
        row("download-206", "download-206=1", "badStatus(206)");
        row("download-304", "304", "badStatus(304)"); // a cache answer is not the archive either
        row("wrong-digest", "wrong-digest=1", "integrityMismatch");
        row("bad-signature", "bad-signature=1", "codeSignatureInvalid(");
        row("executable changed", "put:bin/vorlanta-creator", "file changed: bin/vorlanta-creator");
        row("file added", "put:share/extra", "unexpected file: share/extra");
        row("unsigned", "rm:signature", "codeSignatureInvalid(\"the bundle is not signed");
        // The first bundle in name order is taken, here an unsigned one.
        row("two bundles", "put:../Alpha.app/bin/x", "the bundle is not signed");
        row("no .app bundle", "mv:Vorlanta Creator.APP", "unexpectedArchiveContents");
        row("not gzip", "junk", "dmgMountFailed(");
    }
    void installRefusesABadRelease()
    {
        const auto [change, failure] = fetch<QString, QString>("change", "failure");
        Release release;
        QVERIFY(!change.contains(u':') || release.tamper(change));
        QVERIFY(release.serve(change));
        std::jthread server;
        if (change == "304"_q) {
            release.manifest.downloadURL = notModifiedServer(server);
        } else if (change == "junk"_q) { // once the sandbox has its size; it cannot unpack junk
            const QByteArray junk(release.manifest.size, 'j');
            QVERIFY(writeFile(release.archive, junk));
            release.manifest.sha256 = QString::fromLatin1(sha256Hex(junk));
        }
        const QString temporary = release.folder("tmp"_q);
        UpdateInstaller installer({temporary, release.installed, testPublicKey(), QString(), 0});
        bool terminated = false;
        const QString got =
            failureOf([&] { installer.install(release.manifest, [&] { terminated = true; }); });
        QVERIFY2(got.contains(failure) && !terminated, qPrintable(got));
        QCOMPARE(entriesOf(temporary), QStringList()); // nothing, not even a failed unpack's
        QVERIFY(readFile(release.installed + "/Info.json"_q).contains("1.0"));
        QVERIFY(!QFileInfo::exists(release.installed + ".update"_q));
    }

    // Served, downloaded, verified, staged, swapped and relaunched; every value in the script is
    // quoted, so a hostile temporary directory injects nothing. A swap stopped half-way leaves a
    // whole bundle in place, the old or the new one; when it fails the script opens the download
    // site and removes itself.
    void installSwapsAndRelaunches_data()
    {
        // pinned: even root cannot move or remove it; error: what the script fails with
        columns<QString, QString, QString>("temporaryName", "pinned", "error");
        row("plain", "tmp", "", "");
        row("quotes, $, backtick", "we\"ird $(touch PWNED) `touch PWNED2` \\b 'q'", "", "");
        row("old bundle cannot be moved", "tmp", "/.", "Failed to remove old app");
        row("old bundle's removal stops half-way", "tmp", "/share/resources/readme.txt", "");
        row("move-in fails", "tmp", ".update", "Failed to install new app");
    }
    void installSwapsAndRelaunches()
    {
        const auto [temporaryName, pinned, error] =
            fetch<QString, QString, QString>("temporaryName", "pinned", "error");
        Release release;
        QVERIFY(release.serve());
        const QString opened = release.dir.filePath("opened.txt"_q),
                      pin = release.installed + pinned;
        QVERIFY(writeFile(release.dir.filePath("bin/xdg-open"_q),
                          "#!/bin/sh\necho \"$@\" >> '" + opened.toUtf8() + "'\n", 0755));
        qputenv("PATH", native(release.dir.filePath("bin"_q)) + ':' + qgetenv("PATH"));
        for (const QString &earlier : {".update/left-over"_q, ".old/left-over"_q}) {
            QVERIFY(writeFile(release.installed + earlier, "")); // from an earlier run
        }
        const QString temporary = release.folder(temporaryName);
        const auto restore = qScopeGuard([&, workDir = QDir::currentPath()] {
            for (const QString &path : {pin, QString(release.installed + ".old"_q + pinned)}) {
                if (QFileInfo::exists(path)) {
                    setImmutable(path, false);
                }
            }
            QDir::setCurrent(workDir);
        });
        QDir::setCurrent(release.dir.path()); // where an injected "touch PWNED"_q would land
        QProcess app;                         // stands in for the application the script waits for
        app.start("sleep"_q, {"60"_q});
        QVERIFY(app.waitForStarted());
        UpdateInstaller installer({temporary, release.installed, testPublicKey(),
                                   "https://download.vorlanta.example/"_q, app.processId()});
        release.manifest.sha256 = release.manifest.sha256.toUpper();
        UpdateMetadata::store(std::nullopt);
        bool pinnedNow = false; // once staged, while the script waits for the application
        installer.install(release.manifest, [&] {
            pinnedNow = pinned.isEmpty() || setImmutable(pin, true);
            app.kill();
        });
        QVERIFY(app.waitForFinished());
        const auto log = [&] { return QString::fromUtf8(readFile(installer.logFilePath())); };
        QTRY_VERIFY_WITH_TIMEOUT(log().contains("ERROR: "_q) || log().contains("Update complete"_q),
                                 30000);
        QTest::qWait(500); // after its error the script still restores, opens the site, ends
        const QString messages = log();
        QVERIFY(pinnedNow);
        if (!error.isEmpty()) {
            QVERIFY2(messages.contains("ERROR: "_q + error), qPrintable(messages));
            QVERIFY(!messages.contains("Update complete"_q));
            // The old bundle whole, the staged build kept.
            QVERIFY(readFile(release.installed + "/Info.json"_q).contains("1.0"));
            QVERIFY(QFileInfo(release.installed + "/bin/vorlanta-creator"_q).isExecutable());
            QVERIFY(QFileInfo(release.installed + ".update"_q).isDir());
            QTRY_COMPARE(readFile(opened), QByteArray("https://download.vorlanta.example/\n"));
            QVERIFY(!entriesOf(temporary).join(u' ').contains(".sh"_q));
            return;
        }
        QVERIFY2(messages.trimmed().endsWith("Update complete"_q), qPrintable(messages));
        QCOMPARE(BundleSignature::verify(release.installed, testPublicKey()), QString());
        QVERIFY(readFile(release.installed + "/Info.json"_q).contains("1.1"));
        QVERIFY(QFileInfo(release.installed + "/share/read-only.txt"_q).permissions() &
                QFile::WriteOwner);
        QVERIFY(!QFileInfo::exists(release.installed + ".update"_q));
        QCOMPARE(QFileInfo::exists(release.installed + ".old"_q), !pinned.isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(readFile(release.marker),
                                  readFile(release.installed + "/Info.json"_q), 10000);
        QCOMPARE(entriesOf(temporary), QStringList{"vorlanta-updater.log"_q});
        QVERIFY(entriesOf(release.dir.path()).filter(QRegularExpression("^PWNED"_q)).isEmpty());
        QVERIFY(UpdateMetadata::stored().value_or(UpdateMetadata()).version == "1.1"_q);
    }
};

VORLANTA_TEST_MAIN(TestUpdateRoundTrip)
#include "tst_UpdateRoundTrip.moc"
