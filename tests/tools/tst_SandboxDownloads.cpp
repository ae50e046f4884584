#include "TestPrograms.h"
#include "support/NetworkReplies.h"
#include "support/SandboxProcess.h"
#include "support/TestEnvironment.h"

#include <QtCore/QCryptographicHash>
#include <QtCore/QDateTime>
#include <QtCore/QDirIterator>
#include <QtCore/QEventLoop>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtCore/QMap>
#include <QtCore/QProcess>
#include <QtCore/QRandomGenerator>
#include <QtCore/QRegularExpression>
#include <QtCore/QTemporaryDir>
#include <QtCore/QTimer>
#include <QtNetwork/QNetworkAccessManager>
#include <QtNetwork/QNetworkReply>
#include <QtNetwork/QNetworkRequest>

#include <nlohmann/json.hpp>

using TestSupport::patternBytes;
using TestSupport::Reply;
using TestSupport::SandboxProcess;
using Json = nlohmann::ordered_json;

namespace {

constexpr qint64 kMiB = 1024 * 1024;
constexpr int kReplyTimeoutMs = 120000;
constexpr int kToolTimeoutMs = 120000;

const QString kBundle = QStringLiteral("Vorlanta Creator.app");
const QString kSignature = QStringLiteral("Vorlanta Creator.app/signature/manifest.sig");
const QString kVersion = QStringLiteral("2.4.1-beta.3");
// Seconds that differ from minutes and hours, so a swapped or local-time field shows.
const QDateTime kArchiveTime = QDateTime(QDate(2026, 3, 7), QTime(5, 4, 9), Qt::UTC);
const QString kArchiveTimeText = QStringLiteral("2026-03-07T05:04:09Z");

// A blocking GET over QNetworkAccessManager.
class Client {
public:
    explicit Client(const SandboxProcess &sandbox) : m_sandbox(sandbox) {}

    Reply get(const QString &path, const QByteArray &range = {})
    {
        return get(m_sandbox.baseUrl().resolved(QUrl(path)), range);
    }
    Reply get(const QUrl &url, const QByteArray &range = {})
    {
        QNetworkRequest request(url);
        if (!range.isEmpty()) {
            request.setRawHeader("Range", range);
        }
        return TestSupport::awaitReply(m_manager.get(request), kReplyTimeoutMs);
    }
    // The manifest; an empty object (and a warning) when it is not a 200 JSON object.
    Json manifest(const QString &path = QStringLiteral("version-linux"))
    {
        const Reply reply = get(path);
        const Json json = reply.json();
        if (reply.status != 200 || !json.is_object()) {
            qWarning("manifest: %s", qPrintable(reply.describe()));
            return Json::object();
        }
        return json;
    }

private:
    const SandboxProcess &m_sandbox;
    QNetworkAccessManager m_manager;
};

QByteArray sha256Hex(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}

QString text(const Json &json, const char *key)
{
    return json.contains(key) && json[key].is_string() ? QString::fromStdString(json[key])
                                                       : QString();
}

bool writeFile(const QString &path, const QByteArray &data, QFileDevice::Permissions permissions)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(data) == data.size() && file.setPermissions(permissions);
}

// Runs tar; the error text on failure, empty on success.
QString runTar(const QStringList &arguments)
{
    QProcess tar;
    tar.start(QStringLiteral("tar"), arguments);
    if (!tar.waitForFinished(kToolTimeoutMs) || tar.exitStatus() != QProcess::NormalExit ||
        tar.exitCode() != 0) {
        return QStringLiteral("tar %1: %2")
            .arg(arguments.join(QLatin1Char(' ')),
                 QString::fromUtf8(tar.readAllStandardError()) + tar.errorString());
    }
    return {};
}

constexpr auto kReadable = QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                           QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ReadGroup |
                           QFileDevice::ReadOther;
constexpr auto kExecutable = kReadable | QFileDevice::ExeOwner | QFileDevice::ExeUser |
                             QFileDevice::ExeGroup | QFileDevice::ExeOther;

// A release as the build makes it: the bundle folder packed as one .tar.gz, with a fixed mtime.
class Release {
public:
    Release(const QString &fileName, bool withSignature, qint64 binarySize = 200 * 1024)
        : m_path(m_dir.path() + QLatin1Char('/') + fileName)
    {
        const QString app = tree() + QLatin1Char('/') + kBundle;
        if (!QDir().mkpath(app + QStringLiteral("/bin")) ||
            !QDir().mkpath(app + QStringLiteral("/signature"))) {
            m_error = QStringLiteral("cannot make the bundle folders");
            return;
        }
        bool written =
            writeFile(app + QStringLiteral("/bin/vorlanta-creator"), patternBytes(binarySize, 1),
                      kExecutable) &&
            writeFile(app + QStringLiteral("/Info.json"),
                      QByteArrayLiteral("{\"version\": \"2.4.1\"}\n"), kReadable) &&
            writeFile(app + QStringLiteral("/signature/manifest.txt"),
                      QByteArrayLiteral("bin/vorlanta-creator sha256 0123\n"), kReadable);
        if (withSignature) {
            written = written && writeFile(tree() + QLatin1Char('/') + kSignature,
                                           patternBytes(64, 2), kReadable);
        }
        if (!written) {
            m_error = QStringLiteral("cannot write the bundle files");
            return;
        }
        m_error = runTar({QStringLiteral("-czf"), m_path, QStringLiteral("-C"), tree(), kBundle});
        QFile archive(m_path);
        if (m_error.isEmpty() &&
            (!archive.open(QIODevice::ReadWrite) ||
             !archive.setFileTime(kArchiveTime, QFileDevice::FileModificationTime))) {
            m_error = QStringLiteral("cannot set the archive's time");
        }
    }

    // Why making it failed; empty when it worked.
    QString error() const { return m_error; }
    QString path() const { return m_path; }
    QString fileName() const { return QFileInfo(m_path).fileName(); }
    QString tree() const { return m_dir.path() + QStringLiteral("/tree"); }
    QByteArray bytes() const { return TestSupport::readFile(m_path); }
    QString folder() const { return m_dir.path(); }

private:
    QTemporaryDir m_dir;
    QString m_path;
    QString m_error;
};

struct FileCopy {
    QByteArray content;
    QFileDevice::Permissions permissions;
};

// Every file below dir by relative path.
QMap<QString, FileCopy> filesUnder(const QString &dir)
{
    QMap<QString, FileCopy> files;
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files.insert(QDir(dir).relativeFilePath(path),
                     FileCopy{TestSupport::readFile(path), QFileInfo(path).permissions()});
    }
    return files;
}

QStringList releaseArguments(const Release &release, const QStringList &more = {})
{
    return QStringList{QStringLiteral("--release"), release.path(),
                       QStringLiteral("--release-version"), kVersion} +
           more;
}

QStringList fault(const char *assignment)
{
    return {QStringLiteral("--fault"), QString::fromLatin1(assignment)};
}

QString releaseUrl(const SandboxProcess &sandbox, const QString &folder, const QString &name)
{
    return sandbox.baseUrl().toString() + folder +
           QString::fromLatin1(QUrl::toPercentEncoding(name));
}

qint64 peakRssKiB(qint64 pid)
{
    const QByteArray status = TestSupport::readFile(QStringLiteral("/proc/%1/status").arg(pid));
    const QRegularExpressionMatch match = QRegularExpression(QStringLiteral("VmHWM:\\s+(\\d+) kB"))
                                              .match(QString::fromLatin1(status));
    return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}

} // namespace

class TestSandboxDownloads : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void manifestDescribesTheArchive_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("fileName");
        for (const QString &path :
             {QStringLiteral("version-linux"), QStringLiteral("version-mac")}) {
            QTest::addRow("%s plain name", qPrintable(path))
                << path << QStringLiteral("vorlanta-creator-2.4.1-linux.tar.gz");
            // Space and plus must survive the URL both ways.
            QTest::addRow("%s name with space and plus", qPrintable(path))
                << path << QStringLiteral("Vorlanta Creator 2.4.1+build 7.tar.gz");
        }
    }
    void manifestDescribesTheArchive()
    {
        QFETCH(QString, path);
        QFETCH(QString, fileName);
        const Release release(fileName, true);
        QVERIFY2(release.error().isEmpty(), qPrintable(release.error()));
        const QByteArray archive = release.bytes();
        // Away from UTC, so a local time in last_modified shows.
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("TZ"), QStringLiteral("IST-5:30"));
        SandboxProcess sandbox(releaseArguments(release), environment);
        QVERIFY2(sandbox.isRunning(), qPrintable(sandbox.startError()));
        Client client(sandbox);

        const Reply reply = client.get(path);
        QCOMPARE(reply.status, 200);
        QVERIFY(reply.header("Content-Type").startsWith("application/json"));
        const Json manifest = reply.json();
        QVERIFY2(manifest.is_object(), qPrintable(reply.describe()));
        QStringList keys;
        for (const auto &item : manifest.items()) {
            keys.append(QString::fromStdString(item.key()));
        }
        QCOMPARE(keys.join(QLatin1Char(' ')),
                 QStringLiteral("version download_url sha256 size filename last_modified etag"));
        for (const char *key :
             {"version", "download_url", "sha256", "filename", "last_modified", "etag"}) {
            QVERIFY2(manifest[key].is_string(), key);
        }
        QVERIFY(manifest["size"].is_number_unsigned());

        QCOMPARE(text(manifest, "version"), kVersion);
        QCOMPARE(text(manifest, "sha256").toLatin1(), sha256Hex(archive));
        QCOMPARE(manifest["size"].get<qint64>(), qint64(archive.size()));
        QCOMPARE(text(manifest, "filename"), fileName);
        QCOMPARE(text(manifest, "last_modified"), kArchiveTimeText);
        QCOMPARE(text(manifest, "etag").toLatin1(),
                 QByteArray('"' + sha256Hex(archive).left(32) + '"'));
        QCOMPARE(text(manifest, "download_url"),
                 releaseUrl(sandbox, QStringLiteral("releases/"), fileName));

        const Reply download = client.get(QUrl(text(manifest, "download_url")));
        QCOMPARE(download.status, 200);
        QCOMPARE(download.header("Content-Type"), QByteArrayLiteral("application/gzip"));
        QCOMPARE(download.header("Content-Length").toLongLong(), qint64(archive.size()));
        QVERIFY(download.body == archive);
        QCOMPARE(sandbox.stop(), 0);
    }

    void withoutReleaseNothingIsOffered_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("linux manifest") << QStringLiteral("version-linux");
        QTest::newRow("mac manifest") << QStringLiteral("version-mac");
        QTest::newRow("archive") << QStringLiteral("releases/vorlanta-creator.tar.gz");
        QTest::newRow("variant") << QStringLiteral("releases/bad/vorlanta-creator.tar.gz");
    }
    void withoutReleaseNothingIsOffered()
    {
        QFETCH(QString, path);
        SandboxProcess sandbox;
        QVERIFY2(sandbox.isRunning(), qPrintable(sandbox.startError()));
        Client client(sandbox);
        const Reply reply = client.get(path);
        QCOMPARE(reply.status, 404);
        QVERIFY(reply.header("Content-Type").startsWith("application/json"));
        QVERIFY2(reply.json()["detail"].is_string(), qPrintable(reply.describe()));
        QCOMPARE(sandbox.stop(), 0);
    }

    void unknownReleaseNamesAreNotFound_data()
    {
        QTest::addColumn<QString>("path"); // %1: the archive's file name
        QTest::newRow("other name") << QStringLiteral("releases/other.tar.gz");
        QTest::newRow("other name, variant") << QStringLiteral("releases/bad/other.tar.gz");
        QTest::newRow("name plus a letter") << QStringLiteral("releases/%1x");
        QTest::newRow("name in capitals") << QStringLiteral("releases/VORLANTA-CREATOR.TAR.GZ");
        QTest::newRow("name one folder deeper") << QStringLiteral("releases/x/%1");
        QTest::newRow("variant folder only") << QStringLiteral("releases/bad/");
        QTest::newRow("releases folder") << QStringLiteral("releases/");
    }
    void unknownReleaseNamesAreNotFound()
    {
        QFETCH(QString, path);
        const Release release(QStringLiteral("vorlanta-creator.tar.gz"), true);
        QVERIFY2(release.error().isEmpty(), qPrintable(release.error()));
        SandboxProcess sandbox(releaseArguments(release));
        QVERIFY2(sandbox.isRunning(), qPrintable(sandbox.startError()));
        Client client(sandbox);
        const Reply reply =
            client.get(path.contains(QStringLiteral("%1")) ? path.arg(release.fileName()) : path);
        QCOMPARE(reply.status, 404);
        QVERIFY2(reply.json()["detail"].is_string(), qPrintable(reply.describe()));
        // The real name is still served.
        QVERIFY(client.get(QStringLiteral("releases/") + release.fileName()).body ==
                release.bytes());
        QCOMPARE(sandbox.stop(), 0);
    }

    void faultsAtCertainty_data()
    {
        QTest::addColumn<QStringList>("faults");
        QTest::addColumn<int>("manifestStatus");
        QTest::addColumn<bool>("digestIsTheArchives");
        QTest::addColumn<int>("downloadStatus");
        QTest::addColumn<bool>("halfServed");
        QTest::newRow("no fault") << QStringList() << 200 << true << 200 << false;
        QTest::newRow("manifest-404") << fault("manifest-404=1") << 404 << true << 200 << false;
        QTest::newRow("download-206") << fault("download-206=1") << 200 << true << 206 << true;
        QTest::newRow("wrong-digest") << fault("wrong-digest=1") << 200 << false << 200 << false;
        QTest::newRow("probability 0 never")
            << fault("manifest-404=0") + fault("download-206=0") + fault("wrong-digest=0") << 200
            << true << 200 << false;
    }
    void faultsAtCertainty()
    {
        QFETCH(QStringList, faults);
        QFETCH(int, manifestStatus);
        QFETCH(bool, digestIsTheArchives);
        QFETCH(int, downloadStatus);
        QFETCH(bool, halfServed);
        const Release release(QStringLiteral("vorlanta-creator-2.4.1.tar.gz"), true);
        QVERIFY2(release.error().isEmpty(), qPrintable(release.error()));
        const QByteArray archive = release.bytes();
        SandboxProcess sandbox(releaseArguments(release, faults));
        QVERIFY2(sandbox.isRunning(), qPrintable(sandbox.startError()));
        Client client(sandbox);

        for (const QString &path :
             {QStringLiteral("version-linux"), QStringLiteral("version-mac")}) {
            const Reply reply = client.get(path);
            QCOMPARE(reply.status, manifestStatus);
            if (manifestStatus != 200) {
                QVERIFY2(reply.json()["detail"].is_string(), qPrintable(reply.describe()));
                continue;
            }
            const Json manifest = reply.json();
            const QByteArray sha = text(manifest, "sha256").toLatin1();
            QVERIFY2(QRegularExpression(QStringLiteral("^[0-9a-f]{64}$"))
                         .match(QString::fromLatin1(sha))
                         .hasMatch(),
                     sha.constData());
            QCOMPARE(sha == sha256Hex(archive), digestIsTheArchives);
            // The rest still describes the archive; the etag goes with the digest announced.
            QCOMPARE(manifest["size"].get<qint64>(), qint64(archive.size()));
            QCOMPARE(text(manifest, "download_url"),
                     releaseUrl(sandbox, QStringLiteral("releases/"), release.fileName()));
            QCOMPARE(text(manifest, "etag").toLatin1(), QByteArray('"' + sha.left(32) + '"'));
        }

        const Reply download = client.get(QStringLiteral("releases/") + release.fileName());
        QCOMPARE(download.status, downloadStatus);
        const qint64 half = archive.size() / 2;
        if (halfServed) {
            QCOMPARE(download.header("Content-Range"),
                     QStringLiteral("bytes 0-%1/%2").arg(half - 1).arg(archive.size()).toLatin1());
            QCOMPARE(download.header("Content-Length").toLongLong(), half);
            QVERIFY(download.body == archive.left(half));
        } else {
            QVERIFY(!download.headers.contains("content-range"));
            QVERIFY(download.body == archive);
        }
        QCOMPARE(sandbox.stop(), 0);
    }

    void badSignatureOffersTheSpoiltCopy_data()
    {
        QTest::addColumn<bool>("withSignature");
        QTest::addColumn<QString>("changedFile");
        QTest::newRow("signature flipped") << true << kSignature;
        // Without a signature the first file in name order is spoilt instead.
        QTest::newRow("no signature: first file")
            << false << QStringLiteral("Vorlanta Creator.app/Info.json");
    }
    void badSignatureOffersTheSpoiltCopy()
    {
        QFETCH(bool, withSignature);
        QFETCH(QString, changedFile);
        const Release release(QStringLiteral("Vorlanta Creator 2.4.1.tar.gz"), withSignature);
        QVERIFY2(release.error().isEmpty(), qPrintable(release.error()));
        const QByteArray archive = release.bytes();
        SandboxProcess sandbox(releaseArguments(release, fault("bad-signature=1")));
        QVERIFY2(sandbox.isRunning(), qPrintable(sandbox.startError()));
        Client client(sandbox);

        const Json manifest = client.manifest(QStringLiteral("version-mac"));
        QCOMPARE(text(manifest, "download_url"),
                 releaseUrl(sandbox, QStringLiteral("releases/bad/"), release.fileName()));
        QCOMPARE(text(manifest, "filename"), release.fileName());
        QCOMPARE(text(manifest, "version"), kVersion);
        QCOMPARE(text(manifest, "last_modified"), kArchiveTimeText);
        const Reply download = client.get(QUrl(text(manifest, "download_url")));
        QCOMPARE(download.status, 200);
        const QByteArray variant = download.body;
        // Download and digest check pass: the manifest describes exactly what its URL serves.
        QCOMPARE(text(manifest, "sha256").toLatin1(), sha256Hex(variant));
        QCOMPARE(manifest["size"].get<qint64>(), qint64(variant.size()));
        QCOMPARE(text(manifest, "etag").toLatin1(),
                 QByteArray('"' + sha256Hex(variant).left(32) + '"'));
        QVERIFY(variant != archive);
        // The release itself is served unchanged beside it.
        QVERIFY(client.get(QStringLiteral("releases/") + release.fileName()).body == archive);

        QTemporaryDir unpacked;
        const QString variantPath = unpacked.path() + QStringLiteral("/variant.tar.gz");
        QVERIFY(writeFile(variantPath, variant, kReadable));
        QDir().mkpath(unpacked.path() + QStringLiteral("/tree"));
        const QString untar = runTar({QStringLiteral("-xzpf"), variantPath, QStringLiteral("-C"),
                                      unpacked.path() + QStringLiteral("/tree")});
        QVERIFY2(untar.isEmpty(), qPrintable(untar));

        const QMap<QString, FileCopy> original = filesUnder(release.tree());
        const QMap<QString, FileCopy> spoilt =
            filesUnder(unpacked.path() + QStringLiteral("/tree"));
        QCOMPARE(spoilt.keys(), original.keys());
        QVERIFY(original.contains(changedFile));
        for (auto it = original.cbegin(); it != original.cend(); ++it) {
            const FileCopy &copy = spoilt[it.key()];
            QVERIFY2(copy.permissions == it->permissions, qPrintable(it.key()));
            if (it.key() != changedFile) {
                QVERIFY2(copy.content == it->content, qPrintable(it.key()));
                continue;
            }
            QCOMPARE(copy.content.size(), it->content.size());
            int differing = 0;
            for (qsizetype i = 0; i < copy.content.size(); ++i) {
                differing += copy.content[i] != it->content[i] ? 1 : 0;
            }
            QCOMPARE(differing, 1);
        }
        QCOMPARE(sandbox.stop(), 0);
    }

    // Each manifest decides on its own and follows the seed, like the other faults.
    void badSignatureIsDecidedPerManifest()
    {
        const Release release(QStringLiteral("vorlanta-creator.tar.gz"), true);
        QVERIFY2(release.error().isEmpty(), qPrintable(release.error()));
        const auto urls = [&release] {
            SandboxProcess sandbox(releaseArguments(
                release, fault("bad-signature=0.5") +
                             QStringList{QStringLiteral("--seed"), QStringLiteral("11")}));
            Client client(sandbox);
            QStringList seen;
            for (int i = 0; i < 24; ++i) {
                const Json manifest = client.manifest();
                const QString url = text(manifest, "download_url");
                seen.append(url.section(QLatin1Char('/'), 3));
                // Whichever copy is announced, the announcement matches it.
                const QByteArray bytes = client.get(QUrl(url)).body;
                if (sha256Hex(bytes) != text(manifest, "sha256").toLatin1()) {
                    seen.append(QStringLiteral("digest mismatch"));
                }
            }
            return seen;
        };
        const QStringList first = urls();
        QCOMPARE(urls(), first);
        QVERIFY(first.contains(QStringLiteral("releases/vorlanta-creator.tar.gz")));
        QVERIFY(first.contains(QStringLiteral("releases/bad/vorlanta-creator.tar.gz")));
        QVERIFY(!first.contains(QStringLiteral("digest mismatch")));
        QCOMPARE(first.size(), 24);
    }

    void rangesAreServed_data()
    {
        QTest::addColumn<QStringList>("faults");
        QTest::addColumn<QString>("range"); // %1: the archive's size
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("offset"); // from the end when negative
        QTest::addColumn<int>("length"); // -1: to the end
        QTest::newRow("middle") << QStringList() << QStringLiteral("bytes=10-19") << 206 << 10
                                << 10;
        QTest::newRow("open end") << QStringList() << QStringLiteral("bytes=100-") << 206 << 100
                                  << -1;
        QTest::newRow("suffix") << QStringList() << QStringLiteral("bytes=-7") << 206 << -7 << 7;
        QTest::newRow("starts after the end")
            << QStringList() << QStringLiteral("bytes=%1-") << 416 << 0 << 0;
        QTest::newRow("past the end")
            << QStringList() << QStringLiteral("bytes=0-%1") << 416 << 0 << 0;
        QTest::newRow("asked range wins over download-206")
            << fault("download-206=1") << QStringLiteral("bytes=10-19") << 206 << 10 << 10;
    }
    void rangesAreServed()
    {
        QFETCH(QStringList, faults);
        QFETCH(QString, range);
        QFETCH(int, status);
        QFETCH(int, offset);
        QFETCH(int, length);
        const Release release(QStringLiteral("vorlanta-creator.tar.gz"), true);
        QVERIFY2(release.error().isEmpty(), qPrintable(release.error()));
        const QByteArray archive = release.bytes();
        SandboxProcess sandbox(releaseArguments(release, faults));
        QVERIFY2(sandbox.isRunning(), qPrintable(sandbox.startError()));
        Client client(sandbox);
        const Reply reply = client.get(
            QStringLiteral("releases/") + release.fileName(),
            (range.contains(QStringLiteral("%1")) ? range.arg(archive.size()) : range).toLatin1());
        QCOMPARE(reply.status, status);
        if (status == 416) {
            QCOMPARE(reply.header("Content-Range"),
                     QStringLiteral("bytes */%1").arg(archive.size()).toLatin1());
            QVERIFY(reply.body.isEmpty());
        } else {
            const qint64 first = offset < 0 ? archive.size() + offset : offset;
            const qint64 size = length < 0 ? archive.size() - first : length;
            QCOMPARE(reply.header("Content-Range"), QStringLiteral("bytes %1-%2/%3")
                                                        .arg(first)
                                                        .arg(first + size - 1)
                                                        .arg(archive.size())
                                                        .toLatin1());
            QVERIFY(reply.body == archive.mid(first, size));
        }
        // Nothing is lost: the whole archive still comes after a refused range.
        if (faults.isEmpty()) {
            QVERIFY(client.get(QStringLiteral("releases/") + release.fileName()).body == archive);
        }
        QCOMPARE(sandbox.stop(), 0);
    }

    void badOptionsAreRefused_data()
    {
        QTest::addColumn<QStringList>("arguments"); // %1: a valid archive, %2: a folder
        QTest::addColumn<QString>("mentions");
        const QString release = QStringLiteral("--release");
        const QString version = QStringLiteral("--release-version");
        QTest::newRow("release without version")
            << QStringList{release, QStringLiteral("%1")} << version;
        QTest::newRow("version without release")
            << QStringList{version, QStringLiteral("1.0")} << release;
        QTest::newRow("empty version")
            << QStringList{release, QStringLiteral("%1"), version, QString()} << version;
        QTest::newRow("missing archive")
            << QStringList{release, QStringLiteral("%2/missing.tar.gz"), version,
                           QStringLiteral("1.0")}
            << QStringLiteral("missing.tar.gz");
        QTest::newRow("folder as archive")
            << QStringList{release, QStringLiteral("%2"), version, QStringLiteral("1.0")}
            << QStringLiteral("not a regular file");
        QTest::newRow("not a tar.gz") << QStringList{release, QStringLiteral("%2/notes.tar.gz"),
                                                     version, QStringLiteral("1.0")}
                                      << QStringLiteral("notes.tar.gz");
        QTest::newRow("bad fault probability") << QStringList{release,
                                                              QStringLiteral("%1"),
                                                              version,
                                                              QStringLiteral("1.0"),
                                                              QStringLiteral("--fault"),
                                                              QStringLiteral("bad-signature=2")}
                                               << QStringLiteral("bad-signature");
    }
    void badOptionsAreRefused()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, mentions);
        const Release release(QStringLiteral("vorlanta-creator.tar.gz"), true);
        QVERIFY2(release.error().isEmpty(), qPrintable(release.error()));
        QVERIFY(writeFile(release.folder() + QStringLiteral("/notes.tar.gz"),
                          QByteArrayLiteral("just some notes\n"), kReadable));
        for (QString &argument : arguments) {
            argument.replace(QStringLiteral("%1"), release.path());
            argument.replace(QStringLiteral("%2"), release.folder());
        }
        // A refused start leaves no temporary folder behind.
        QTemporaryDir tmp;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("TMPDIR"), tmp.path());
        QProcess process;
        process.setProcessEnvironment(environment);
        process.start(QString::fromUtf8(TestPrograms::kSandbox),
                      QStringList{QStringLiteral("--port"), QStringLiteral("0")} + arguments);
        QVERIFY(process.waitForFinished(kToolTimeoutMs));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 2);
        const QString err = QString::fromUtf8(process.readAllStandardError());
        QVERIFY2(err.startsWith(QStringLiteral("vorlanta-sandbox: ")) && err.contains(mentions),
                 qPrintable(err));
        QVERIFY(process.readAllStandardOutput().isEmpty());
        QCOMPARE(QDir(tmp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList());
    }

    // The spoilt copy is the only thing kept while running (no unpacked folder) and goes at exit.
    void variantLivesWhileTheSandboxRuns()
    {
        const Release release(QStringLiteral("vorlanta-creator.tar.gz"), true);
        QVERIFY2(release.error().isEmpty(), qPrintable(release.error()));
        QTemporaryDir tmp;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("TMPDIR"), tmp.path());
        SandboxProcess sandbox(releaseArguments(release), environment);
        QVERIFY2(sandbox.isRunning(), qPrintable(sandbox.startError()));
        Client client(sandbox);
        const QMap<QString, FileCopy> kept = filesUnder(tmp.path());
        QCOMPARE(kept.size(), 1);
        QCOMPARE(QFileInfo(kept.firstKey()).fileName(), release.fileName());
        QVERIFY(kept.first().content ==
                client.get(QStringLiteral("releases/bad/") + release.fileName()).body);
        QCOMPARE(sandbox.stop(), 0);
        QCOMPARE(QDir(tmp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList());
    }

    void downloadsAreStreamedFromDisk()
    {
        // Incompressible, so the archive itself is large.
        const Release release(QStringLiteral("vorlanta-creator.tar.gz"), true, 64 * kMiB);
        QVERIFY2(release.error().isEmpty(), qPrintable(release.error()));
        const QByteArray archive = release.bytes();
        QVERIFY(archive.size() > 60 * kMiB);
        SandboxProcess sandbox(releaseArguments(release));
        QVERIFY2(sandbox.isRunning(), qPrintable(sandbox.startError()));
        Client client(sandbox);
        // Warm up a worker first, so the peak below is what the download adds; not with the
        // archive, whose whole copy in memory would already count then.
        QCOMPARE(client.manifest()["size"].get<qint64>(), qint64(archive.size()));
        const qint64 before = peakRssKiB(sandbox.processId());
        QVERIFY(before > 0);
        const Reply reply = client.get(QStringLiteral("releases/") + release.fileName());
        QCOMPARE(reply.status, 200);
        QVERIFY(reply.body == archive);
        const qint64 growth = peakRssKiB(sandbox.processId()) - before;
        QVERIFY2(growth < 16 * 1024,
                 qPrintable(QStringLiteral("peak RSS grew by %1 KiB").arg(growth)));
        QCOMPARE(sandbox.stop(), 0);
    }
};

VORLANTA_TEST_MAIN(TestSandboxDownloads)
#include "tst_SandboxDownloads.moc"
