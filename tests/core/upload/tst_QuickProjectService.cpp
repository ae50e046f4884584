#include "core/shell/Logger.h"
#include "core/upload/QuickProjectService.h"
#include "support/Await.h"
#include "support/SandboxProcess.h"
#include "support/TestEnvironment.h"

#include <QtCore/QCryptographicHash>
#include <QtCore/QDir>
#include <QtCore/QDirIterator>
#include <QtCore/QFile>
#include <QtCore/QRandomGenerator>
#include <QtCore/QTemporaryDir>
#include <QtCore/QTimer>
#include <QtNetwork/QTcpServer>
#include <QtNetwork/QTcpSocket>
#include <QtTest/QSignalSpy>

#include <algorithm>
#include <cstdlib>

namespace {

constexpr qint64 kMiB = 1024 * 1024;

// Streaming keeps the peak near one 2 MiB buffer; holding the 256 MiB file would exceed either
// bound. AddressSanitizer's quarantine keeps every freed part buffer, hence its looser bound.
#if defined(__SANITIZE_ADDRESS__)
constexpr qint64 kPeakGrowthLimitKiB = 160 * 1024;
#else
constexpr qint64 kPeakGrowthLimitKiB = 64 * 1024;
#endif

// Everything logged since the object was made.
class LogWatch {
public:
    LogWatch() : m_start(Logger::joinedMemoryBuffer().size()) {}
    QString text() const { return Logger::joinedMemoryBuffer().mid(m_start); }
    int count(const QString &fragment) const { return int(text().count(fragment)); }

private:
    qsizetype m_start;
};

qint64 peakRssKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) {
        return -1;
    }
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:")) {
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
        }
    }
    return -1;
}

QByteArray randomBytes(qint64 size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(quint32(size) ^ 0x5eedu);
    for (qint64 i = 0; i < size; ++i) {
        bytes[i] = char(generator.generate() & 0xff);
    }
    return bytes;
}

QString writeFile(const QString &dir, const QString &name, const QByteArray &bytes)
{
    const QString path = dir + QLatin1Char('/') + name;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
        qFatal("could not write a test file");
    }
    return path;
}

// Where the sandbox stored a completed file (DATA_DIR/files/<id>/<name>); empty when none.
QString storedFile(const QString &dataDir, const QString &name)
{
    QDirIterator it(dataDir + QStringLiteral("/files"), {name}, QDir::Files,
                    QDirIterator::Subdirectories);
    return it.hasNext() ? it.next() : QString();
}

std::shared_ptr<VorlantaApiClient> clientFor(const TestSupport::SandboxProcess &sandbox,
                                             const QString &token)
{
    AuthState auth;
    auth.accessToken = token;
    return VorlantaApiClient::make(sandbox.baseUrl().toString(), auth);
}

// A running sandbox with its own data directory, a client for it and a project to upload to.
struct Fixture {
    QTemporaryDir dataDir;
    std::unique_ptr<TestSupport::SandboxProcess> sandbox;
    std::shared_ptr<VorlantaApiClient> client;
    qint64 projectId = 0;

    explicit Fixture(const QStringList &faults = {}, const QStringList &extraArguments = {})
    {
        QStringList arguments{QStringLiteral("--data-dir"), dataDir.path()};
        for (const QString &fault : faults) {
            arguments << QStringLiteral("--fault") << fault;
        }
        arguments << extraArguments;
        sandbox = std::make_unique<TestSupport::SandboxProcess>(arguments);
        if (!sandbox->isRunning()) {
            return;
        }
        client = clientFor(*sandbox, sandbox->token());
        QuickProjectDraft draft;
        draft.title = QStringLiteral("Upload target");
        draft.channelId = 1;
        draft.dueDate = QStringLiteral("01/01/2030");
        draft.includeLongForm = true;
        projectId = TestSupport::await(client->createProject(draft));
    }
};

// A loopback peer that records one raw request and answers it with a fixed response: shows the
// exact header lines of a part PUT, which the sandbox does not report.
class RecordingPeer : public QObject {
public:
    explicit RecordingPeer(QByteArray response) : m_response(std::move(response))
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }
    QString url() const
    {
        return QStringLiteral("http://127.0.0.1:%1/part?sig=x").arg(m_server.serverPort());
    }
    quint16 port() const { return m_server.serverPort(); }
    QByteArray request() const { return m_request; }

private:
    void read(QTcpSocket *socket)
    {
        m_request += socket->readAll();
        const qsizetype end = m_request.indexOf("\r\n\r\n");
        if (end < 0) {
            return;
        }
        qsizetype length = 0;
        for (const QByteArray &line : m_request.left(end).split('\n')) {
            if (line.toLower().startsWith("content-length:")) {
                length = line.mid(15).trimmed().toLongLong();
            }
        }
        if (m_request.size() >= end + 4 + length) {
            socket->write(m_response);
            socket->flush();
        }
    }

    QTcpServer m_server;
    QByteArray m_response;
    QByteArray m_request;
};

template <typename Error, typename Body> Error expectThrow(Body body)
{
    try {
        body();
    } catch (const Error &error) {
        return error;
    }
    QTest::qFail("the expected error was not thrown", __FILE__, __LINE__);
    throw std::logic_error("no error");
}

} // namespace

class TestQuickProjectService : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void partRanges_data();
    void partRanges();
    void uploadsStoreTheExactBytes_data();
    void uploadsStoreTheExactBytes();
    void etagQuotesAreStripped();
    void serverErrorRetriesTheFileThreeTimesOnAStagedCopy();
    void droppedPartIsRetriedOnce();
    void missingEtagFailsWithCodeMinus2();
    void progressAfterFirstOfTwoFiles();
    void bytesAreReportedWhileAPartIsSent();
    void vanishedFileFailsWithoutRetries();
    void fileGrowingDuringUploadFails();
    void unparsableUrlFailsWithEngineError();
    void partRequestCarriesOnlyLengthAndType();
    void createProjectWithoutFiles();
    void createProjectWithRejectedToken();
    void addFilesWithEmptyListChangesNothing();
    void largeFileIsStreamedNotBuffered();

private:
    QTemporaryDir m_files;
    QString m_tempDir;
};

void TestQuickProjectService::initTestCase()
{
    QVERIFY(m_files.isValid());
    // A private temporary directory, so that leftover staged copies can be seen.
    m_tempDir = TestSupport::root() + QStringLiteral("/tmp");
    QVERIFY(QDir().mkpath(m_tempDir));
    qputenv("TMPDIR", QFile::encodeName(m_tempDir));
    QCOMPARE(QDir::tempPath(), m_tempDir);
    QuickProjectService::setRetryPauseScale(0.01);
}

void TestQuickProjectService::partRanges_data()
{
    using Ranges = QList<QuickProjectService::PartRange>;
    QTest::addColumn<qint64>("size");
    QTest::addColumn<int>("urls");
    QTest::addColumn<Ranges>("expected");
    QTest::newRow("10 bytes, 3 URLs") << qint64(10) << 3 << Ranges{{0, 4}, {4, 4}, {8, 2}};
    QTest::newRow("9 bytes, 4 URLs: fourth unused")
        << qint64(9) << 4 << Ranges{{0, 3}, {3, 3}, {6, 3}};
    QTest::newRow("empty") << qint64(0) << 2 << Ranges{};
    QTest::newRow("no URLs") << qint64(5) << 0 << Ranges{};
    QTest::newRow("12 MiB + 1, 2 URLs")
        << 12 * kMiB + 1 << 2 << Ranges{{0, 6 * kMiB + 1}, {6 * kMiB + 1, 6 * kMiB}};
}

void TestQuickProjectService::partRanges()
{
    QFETCH(qint64, size);
    QFETCH(int, urls);
    QFETCH(QList<QuickProjectService::PartRange>, expected);
    QCOMPARE(QuickProjectService::partRanges(size, urls), expected);
}

void TestQuickProjectService::uploadsStoreTheExactBytes_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<int>("parts");
    QTest::newRow("empty: no PUT") << qint64(0) << 0;
    QTest::newRow("5 MiB: one part") << 5 * kMiB << 1;
    QTest::newRow("12 MiB + 1: two parts") << 12 * kMiB + 1 << 2;
}

void TestQuickProjectService::uploadsStoreTheExactBytes()
{
    QFETCH(qint64, size);
    QFETCH(int, parts);
    Fixture fixture;
    QVERIFY2(fixture.sandbox->isRunning(), qPrintable(fixture.sandbox->startError()));
    const QByteArray bytes = randomBytes(size);
    const QString name = QStringLiteral("exact-%1.bin").arg(size);
    const QString path = writeFile(m_files.path(), name, bytes);
    QuickProjectService service(fixture.client);
    const LogWatch log;
    TestSupport::await(service.performUploads(fixture.projectId, {path}));
    const QString stored = storedFile(fixture.dataDir.path(), name);
    QVERIFY2(!stored.isEmpty(), "the sandbox did not complete the file");
    QVERIFY(TestSupport::readFile(stored) == bytes);
    QCOMPARE(log.count(QStringLiteral("] INFO [QuickProjectService] Uploading part ")), parts);
    QCOMPARE(log.count(QStringLiteral("Uploaded %1 parts for ").arg(parts) + name), 1);
    QVERIFY(log.text().contains(QStringLiteral("Read %1 bytes from ").arg(size) + name));
    QCOMPARE(log.count(QStringLiteral("Upload succeeded on attempt 1 for ") + name), 1);
    QCOMPARE(service.uploadProgress(), 1.0);
}

void TestQuickProjectService::etagQuotesAreStripped()
{
    Fixture fixture;
    QVERIFY2(fixture.sandbox->isRunning(), qPrintable(fixture.sandbox->startError()));
    const QByteArray bytes = randomBytes(1000);
    const QString path = writeFile(m_files.path(), QStringLiteral("etag.bin"), bytes);
    QuickProjectService service(fixture.client);
    const LogWatch log;
    TestSupport::await(service.performUploads(fixture.projectId, {path}));
    const QString md5 =
        QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
    QVERIFY2(log.text().contains(QStringLiteral("Part 1 uploaded successfully, ETag: ") + md5 +
                                 QLatin1Char('\n')),
             qPrintable(log.text()));
    QVERIFY(!storedFile(fixture.dataDir.path(), QStringLiteral("etag.bin")).isEmpty());
}

void TestQuickProjectService::serverErrorRetriesTheFileThreeTimesOnAStagedCopy()
{
    Fixture fixture({QStringLiteral("part-500=1")});
    QVERIFY2(fixture.sandbox->isRunning(), qPrintable(fixture.sandbox->startError()));
    const QString name = QStringLiteral("fails.bin");
    const QString path = writeFile(m_files.path(), name, randomBytes(300));
    QuickProjectService service(fixture.client);
    const LogWatch log;
    const auto error = expectThrow<QuickProjectServiceError>(
        [&] { TestSupport::await(service.performUploads(fixture.projectId, {path})); });
    QCOMPARE(error.code(), 500);
    QCOMPARE(error.description(), QStringLiteral("Upload failed with status 500"));
    QCOMPARE(service.statusText(),
             QStringLiteral("Upload failed for fails.bin: Upload failed with status 500"));
    const QString text = log.text();
    // Three attempts, each with its own init call; no part-level retry for an HTTP status.
    QCOMPARE(log.count(QStringLiteral("Got 1 presigned URLs for fails.bin")), 3);
    QCOMPARE(log.count(QStringLiteral("] INFO [QuickProjectService] Part 1 upload response: 500")),
             3);
    QCOMPARE(log.count(QStringLiteral("Retrying in ")), 0);
    QCOMPARE(log.count(QStringLiteral("] ERROR [QuickProjectService] Part 1 upload failed "
                                      "permanently: Upload failed with status 500")),
             3);
    for (int attempt = 1; attempt <= 3; ++attempt) {
        QCOMPARE(log.count(QStringLiteral("] WARN [QuickProjectService] Attempt %1 failed for "
                                          "fails.bin: Upload failed with status 500")
                               .arg(attempt)),
                 1);
        QCOMPARE(log.count(QStringLiteral("Upload attempt %1/3 for fails.bin").arg(attempt)), 1);
    }
    QCOMPARE(log.count(QStringLiteral("Waiting 2s before retry...")), 1);
    QCOMPARE(log.count(QStringLiteral("Waiting 4s before retry...")), 1);
    QCOMPARE(log.count(QStringLiteral("Attempt 3: Staging fails.bin to temp directory")), 1);
    const qsizetype at = text.indexOf(QStringLiteral("Staged to: "));
    QVERIFY(at >= 0);
    const QString staged = text.mid(at + 11, text.indexOf(QLatin1Char('\n'), at) - at - 11);
    QVERIFY2(staged.startsWith(m_tempDir + QLatin1Char('/')) &&
                 staged.endsWith(QStringLiteral("_fails.bin")),
             qPrintable(staged));
    // The third attempt read the copy, and the copy is gone afterwards.
    QVERIFY(text.contains(QStringLiteral("Staged file from ") + path + QStringLiteral(" to ") +
                          staged));
    QVERIFY(!QFile::exists(staged));
    QCOMPARE(QDir(m_tempDir).entryList(QDir::Files), QStringList());
    QCOMPARE(log.count(QStringLiteral("Cleaned up temp file")), 1);
    QVERIFY(text.indexOf(QStringLiteral("Staged to: ")) <
            text.lastIndexOf(QStringLiteral("Read 300 bytes from fails.bin")));
}

void TestQuickProjectService::droppedPartIsRetriedOnce()
{
    // With this seed the first PUT is dropped and the second is answered.
    Fixture fixture({QStringLiteral("part-drop=0.5")},
                    {QStringLiteral("--seed"), QStringLiteral("23")});
    QVERIFY2(fixture.sandbox->isRunning(), qPrintable(fixture.sandbox->startError()));
    const QString name = QStringLiteral("dropped.bin");
    const QByteArray bytes = randomBytes(64 * 1024);
    const QString path = writeFile(m_files.path(), name, bytes);
    QuickProjectService service(fixture.client);
    const LogWatch log;
    TestSupport::await(service.performUploads(fixture.projectId, {path}));
    QVERIFY2(log.text().contains(QStringLiteral(
                 "] WARN [QuickProjectService] Part 1 upload failed (attempt 1/2): ")),
             qPrintable(log.text()));
    QCOMPARE(log.count(QStringLiteral("] INFO [QuickProjectService] Retrying in 2 seconds...")), 1);
    QCOMPARE(log.count(QStringLiteral("Got 1 presigned URLs for dropped.bin")), 1);
    QCOMPARE(log.count(QStringLiteral("Upload succeeded on attempt 1 for dropped.bin")), 1);
    QVERIFY(TestSupport::readFile(storedFile(fixture.dataDir.path(), name)) == bytes);
}

void TestQuickProjectService::missingEtagFailsWithCodeMinus2()
{
    Fixture fixture({QStringLiteral("missing-etag=1")});
    QVERIFY2(fixture.sandbox->isRunning(), qPrintable(fixture.sandbox->startError()));
    const QString path = writeFile(m_files.path(), QStringLiteral("noetag.bin"), randomBytes(50));
    QuickProjectService service(fixture.client);
    const LogWatch log;
    const auto error = expectThrow<QuickProjectServiceError>(
        [&] { TestSupport::await(service.performUploads(fixture.projectId, {path})); });
    QCOMPARE(error.code(), -2);
    QCOMPARE(error.description(), QStringLiteral("No ETag in response"));
    QCOMPARE(QuickProjectServiceError::domain(), QStringLiteral("QuickProjectService"));
    QCOMPARE(service.statusText(),
             QStringLiteral("Upload failed for noetag.bin: No ETag in response"));
    QCOMPARE(log.count(QStringLiteral("Got 1 presigned URLs for noetag.bin")), 3);
    QVERIFY(storedFile(fixture.dataDir.path(), QStringLiteral("noetag.bin")).isEmpty());
}

void TestQuickProjectService::progressAfterFirstOfTwoFiles()
{
    Fixture fixture;
    QVERIFY2(fixture.sandbox->isRunning(), qPrintable(fixture.sandbox->startError()));
    const QString first = writeFile(m_files.path(), QStringLiteral("p100.bin"), randomBytes(100));
    const QString second = writeFile(m_files.path(), QStringLiteral("p300.bin"), randomBytes(300));
    QuickProjectService service(fixture.client);
    QSignalSpy status(&service, &QuickProjectService::statusTextChanged);
    QSignalSpy progress(&service, &QuickProjectService::uploadProgressChanged);
    QSignalSpy uploading(&service, &QuickProjectService::isUploadingChanged);
    TestSupport::await(service.addFiles(fixture.projectId, {first, second}));
    QStringList texts;
    for (const QList<QVariant> &emitted : status) {
        texts << emitted.at(0).toString();
    }
    QCOMPARE(texts, (QStringList{QStringLiteral("Uploading files..."),
                                 QStringLiteral("Uploading... 25.0%"),
                                 QStringLiteral("Uploading... 100.0%"),
                                 QStringLiteral("Files uploaded successfully!")}));
    QVERIFY(progress.size() >= 2);
    QCOMPARE(progress.at(0).at(0).toDouble(), 0.25);
    QCOMPARE(service.uploadProgress(), 1.0);
    QCOMPARE(uploading.size(), 2);
    QCOMPARE(uploading.at(0).at(0).toBool(), true);
    QCOMPARE(service.isUploading(), false);
}

void TestQuickProjectService::bytesAreReportedWhileAPartIsSent()
{
    Fixture fixture;
    QVERIFY2(fixture.sandbox->isRunning(), qPrintable(fixture.sandbox->startError()));
    const qint64 size = 12 * kMiB + 1; // two parts: 6 MiB + 1, then 6 MiB
    const qint64 firstPart = 6 * kMiB + 1;
    const QString path = writeFile(m_files.path(), QStringLiteral("bytes.bin"), randomBytes(size));
    QuickProjectService service(fixture.client);
    QSignalSpy bytes(&service, &QuickProjectService::uploadBytesSent);
    QSignalSpy parts(&service, &QuickProjectService::partUploaded);
    TestSupport::await(service.addFiles(fixture.projectId, {path}));
    QTest::qWait(100); // reports still on their way from the transfer thread

    QCOMPARE(parts.size(), 2);
    QCOMPARE(parts.at(1).at(0).toLongLong(), size);
    bool insideFirst = false;
    bool insideSecond = false;
    qint64 previous = 0;
    for (const QList<QVariant> &report : bytes) {
        const qint64 sent = report.at(0).toLongLong();
        QCOMPARE(report.at(1).toLongLong(), size);
        QVERIFY2(sent >= previous, "reports go forward without retries");
        QVERIFY(sent <= size);
        insideFirst = insideFirst || (sent > 0 && sent < firstPart);
        insideSecond = insideSecond || (sent > firstPart && sent < size);
        previous = sent;
    }
    // Reported inside each part, counted from the start of the file.
    QVERIFY(insideFirst);
    QVERIFY(insideSecond);
}

void TestQuickProjectService::vanishedFileFailsWithoutRetries()
{
    Fixture fixture;
    QVERIFY2(fixture.sandbox->isRunning(), qPrintable(fixture.sandbox->startError()));
    const QString kept = writeFile(m_files.path(), QStringLiteral("kept.bin"), randomBytes(10));
    const QString gone = m_files.path() + QStringLiteral("/gone.bin");
    QuickProjectService service(fixture.client);
    const LogWatch log;
    const auto error = expectThrow<QuickProjectServiceError>([&] {
        TestSupport::await(service.performUploads(fixture.projectId, {gone, kept}));
    });
    QCOMPARE(error.code(), -1);
    QCOMPARE(error.description(), QStringLiteral("Could not get file size for gone.bin"));
    QCOMPARE(log.count(QStringLiteral("Upload attempt")), 0);
    QCOMPARE(log.count(QStringLiteral("Processing file: kept.bin")), 0);
    QVERIFY(storedFile(fixture.dataDir.path(), QStringLiteral("kept.bin")).isEmpty());
}

void TestQuickProjectService::fileGrowingDuringUploadFails()
{
    // Each request waits, so the file grows after it was measured and opened.
    Fixture fixture({QStringLiteral("delay-ms=400")});
    QVERIFY2(fixture.sandbox->isRunning(), qPrintable(fixture.sandbox->startError()));
    const QString path = writeFile(m_files.path(), QStringLiteral("growing.bin"), randomBytes(100));
    QuickProjectService service(fixture.client);
    QTimer::singleShot(150, this, [path] {
        QFile file(path);
        QVERIFY(file.open(QIODevice::Append));
        file.write(QByteArray(20, 'x'));
    });
    const auto error = expectThrow<QuickProjectServiceError>(
        [&] { TestSupport::await(service.performUploads(fixture.projectId, {path})); });
    QCOMPARE(error.code(), -3);
    QCOMPARE(error.description(), QStringLiteral("File changed during upload: growing.bin"));
    QCOMPARE(
        service.statusText(),
        QStringLiteral("Upload failed for growing.bin: File changed during upload: growing.bin"));
    QVERIFY(storedFile(fixture.dataDir.path(), QStringLiteral("growing.bin")).isEmpty());
}

void TestQuickProjectService::unparsableUrlFailsWithEngineError()
{
    const QString path = writeFile(m_files.path(), QStringLiteral("badurl.bin"), randomBytes(10));
    QuickProjectService service(nullptr);
    const auto error = expectThrow<QuickProjectServiceError>([&] {
        TestSupport::await(service.uploadFileParts(path, 10, {QStringLiteral("http://[::1")}));
    });
    QCOMPARE(error.code(), -4);
    QCOMPARE(error.description(), QStringLiteral("Invalid upload URL"));
}

void TestQuickProjectService::partRequestCarriesOnlyLengthAndType()
{
    RecordingPeer peer("HTTP/1.1 200 OK\r\nETag: \"abc\"\r\nContent-Length: 0\r\n\r\n");
    const QByteArray bytes = randomBytes(10);
    const QString path = writeFile(m_files.path(), QStringLiteral("wire.bin"), bytes);
    QuickProjectService service(nullptr);
    const QStringList etags = TestSupport::await(service.uploadFileParts(path, 10, {peer.url()}));
    QCOMPARE(etags, QStringList{QStringLiteral("abc")});
    const QByteArray request = peer.request();
    const qsizetype end = request.indexOf("\r\n\r\n");
    QVERIFY(end > 0);
    QList<QByteArray> lines = request.left(end).split('\n');
    for (QByteArray &line : lines) {
        line = line.trimmed();
    }
    QCOMPARE(lines.value(0), QByteArray("PUT /part?sig=x HTTP/1.1"));
    lines.removeFirst();
    std::sort(lines.begin(), lines.end());
    QCOMPARE(lines,
             (QList<QByteArray>{"Content-Length: 10", "Content-Type: application/octet-stream",
                                "Host: 127.0.0.1:" + QByteArray::number(peer.port())}));
    QCOMPARE(request.mid(end + 4), bytes);
}

void TestQuickProjectService::createProjectWithoutFiles()
{
    Fixture fixture;
    QVERIFY2(fixture.sandbox->isRunning(), qPrintable(fixture.sandbox->startError()));
    QuickProjectService service(fixture.client);
    QSignalSpy uploading(&service, &QuickProjectService::isUploadingChanged);
    const QString title = QStringLiteral("No files %1").arg(QRandomGenerator::global()->generate());
    const qint64 id = TestSupport::await(service.createProject(
        title, QStringLiteral("notes"), 1, QStringLiteral("02/03/2030"), true, true, false, {}));
    QVERIFY(id > 0);
    QVERIFY(id != fixture.projectId);
    QCOMPARE(service.statusText(), QStringLiteral("Project created successfully!"));
    QCOMPARE(service.uploadProgress(), 0.0);
    QCOMPARE(service.isUploading(), false);
    QCOMPARE(uploading.size(), 2);
    const QByteArray projects =
        TestSupport::await(fixture.client->getRaw(QStringLiteral("api/v1/creator/projects/")));
    QVERIFY(projects.contains(title.toUtf8()));
}

void TestQuickProjectService::createProjectWithRejectedToken()
{
    Fixture fixture;
    QVERIFY2(fixture.sandbox->isRunning(), qPrintable(fixture.sandbox->startError()));
    QuickProjectService service(clientFor(*fixture.sandbox, QStringLiteral("wrong-token")));
    QSignalSpy uploading(&service, &QuickProjectService::isUploadingChanged);
    const QString path = writeFile(m_files.path(), QStringLiteral("never.bin"), randomBytes(10));
    bool threw = false;
    try {
        TestSupport::await(service.createProject(QStringLiteral("Rejected"), std::nullopt, 1,
                                                 std::nullopt, false, true, false, {path}));
    } catch (const std::exception &) {
        threw = true;
    }
    QVERIFY(threw);
    QVERIFY2(service.statusText().startsWith(QStringLiteral("Error creating project: ")),
             qPrintable(service.statusText()));
    QCOMPARE(service.isUploading(), false);
    QCOMPARE(uploading.size(), 2);
    QVERIFY(storedFile(fixture.dataDir.path(), QStringLiteral("never.bin")).isEmpty());
}

void TestQuickProjectService::addFilesWithEmptyListChangesNothing()
{
    QuickProjectService service(nullptr);
    QSignalSpy status(&service, &QuickProjectService::statusTextChanged);
    QSignalSpy progress(&service, &QuickProjectService::uploadProgressChanged);
    QSignalSpy uploading(&service, &QuickProjectService::isUploadingChanged);
    TestSupport::await(service.addFiles(42, {}));
    QCOMPARE(service.statusText(), QStringLiteral("Ready"));
    QCOMPARE(service.uploadProgress(), 0.0);
    QCOMPARE(service.isUploading(), false);
    QCOMPARE(status.size() + progress.size() + uploading.size(), 0);
}

void TestQuickProjectService::largeFileIsStreamedNotBuffered()
{
    Fixture fixture;
    QVERIFY2(fixture.sandbox->isRunning(), qPrintable(fixture.sandbox->startError()));
    const qint64 size = 256 * kMiB;
    const QString path = m_files.path() + QStringLiteral("/large.bin");
    {
        // Sparse, so that writing it does not raise this process's peak memory.
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize(size));
        QVERIFY(file.seek(size - 4));
        file.write("tail");
    }
    QuickProjectService service(fixture.client);
    const qint64 before = peakRssKiB();
    QVERIFY(before > 0);
    TestSupport::await(service.performUploads(fixture.projectId, {path}));
    const qint64 after = peakRssKiB();
    const QString stored = storedFile(fixture.dataDir.path(), QStringLiteral("large.bin"));
    QVERIFY(!stored.isEmpty());
    QCOMPARE(QFileInfo(stored).size(), size);
    QVERIFY2(after - before < kPeakGrowthLimitKiB,
             qPrintable(QStringLiteral("peak RSS grew by %1 KiB").arg(after - before)));
}

VORLANTA_TEST_MAIN(TestQuickProjectService)
#include "tst_QuickProjectService.moc"
