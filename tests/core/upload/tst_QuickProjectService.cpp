#include "core/shell/Logger.h"
#include "core/upload/QuickProjectService.h"
#include "core/upload/StagingArea.h"
#include "core/upload/UploadActivity.h"
#include "support/NetworkUploadTestHelpers.h"
#include "support/SandboxProcess.h"
#include "support/TestEnvironment.h"

#include <QtCore/QDir>
#include <QtCore/QDirIterator>
#include <QtCore/QElapsedTimer>
#include <QtCore/QRegularExpression>
#include <QtCore/QTemporaryDir>
#include <QtCore/QTimer>
#include <QtTest/QSignalSpy>

#include <unistd.h>

using namespace TestSupport;
using namespace Qt::StringLiterals;

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
struct LogWatch {
    qsizetype start = Logger::joinedMemoryBuffer().size();
    QString text() const { return Logger::joinedMemoryBuffer().mid(start); }
    int count(const QString &fragment) const { return int(text().count(fragment)); }
};

qint64 peakRssKiB()
{
    for (const QByteArray &line : readFile(u"/proc/self/status"_s).split('\n')) {
        if (line.startsWith("VmHWM:")) {
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
        }
    }
    return -1;
}

// A running sandbox with its own data directory, a client for it and a project to upload to.
struct Fixture {
    QTemporaryDir dataDir;
    std::unique_ptr<SandboxProcess> sandbox;
    std::shared_ptr<VorlantaApiClient> client;
    qint64 projectId = 0;

    explicit Fixture(const QStringList &arguments = {})
        : sandbox(std::make_unique<SandboxProcess>(arguments +
                                                   QStringList{u"--data-dir"_s, dataDir.path()}))
    {
        if (sandbox->isRunning()) {
            client = VorlantaApiClient::make(sandbox->baseUrl().toString(),
                                             AuthState{sandbox->token(), std::nullopt});
            projectId = await(
                client->createProject({u"Upload target"_s, {}, {}, 1, false, false, false, {}}));
        }
    }
    // Where the sandbox stored a completed file (DATA_DIR/files/<id>/<name>); empty when none.
    QString stored(const QString &name) const
    {
        QDirIterator it(dataDir.filePath(u"files"_s), {name}, QDir::Files,
                        QDirIterator::Subdirectories);
        return it.hasNext() ? it.next() : QString();
    }
};

} // namespace

class TestQuickProjectService : public QObject {
    Q_OBJECT
private:
    QTemporaryDir m_files;
    QString m_tempDir;
    QString m_notADirectory; // a regular file, for TMPDIR

    QString writeFile(const QString &name, const QByteArray &bytes)
    {
        QFile file(m_files.filePath(name));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
            qFatal("could not write a test file");
        }
        return file.fileName();
    }

private slots:
    void initTestCase()
    {
        // A private temporary directory, so that leftover staged copies can be seen.
        m_tempDir = root() + u"/tmp"_s;
        QVERIFY(QDir().mkpath(m_tempDir));
        qputenv("TMPDIR", QFile::encodeName(m_tempDir));
        m_notADirectory = writeFile(u"not-a-directory"_s, {});
        QuickProjectService::setRetryPauseScale(0.01);
    }

    // The missing-files workflow: every file stored byte for byte, progress by bytes of files
    // done, and bytes reported while a part is on its way, counted from the file's start.
    void uploadsStoreTheExactBytes_data()
    {
        columns<QList<qint64>, int, QString>("sizes", "parts", "firstProgress");
        QTest::newRow("empty: no PUT") << QList<qint64>{0} << 0 << u"0.0"_s;
        QTest::newRow("two files") << QList<qint64>{100, 300} << 2 << u"25.0"_s;
        QTest::newRow("12 MiB + 1: two parts") << QList<qint64>{12 * kMiB + 1} << 2 << u"100.0"_s;
    }
    void uploadsStoreTheExactBytes()
    {
        const auto [sizes, parts, firstProgress] =
            fetch<QList<qint64>, int, QString>("sizes", "parts", "firstProgress");
        Fixture fixture;
        QVERIFY2(fixture.sandbox->isRunning(), qPrintable(fixture.sandbox->startError()));
        QStringList paths;
        for (const qint64 size : sizes) {
            paths << writeFile(u"exact-%1.bin"_s.arg(size), randomBytes(size));
        }
        QuickProjectService service(fixture.client);
        QSignalSpy status(&service, &QuickProjectService::statusTextChanged);
        QSignalSpy uploading(&service, &QuickProjectService::isUploadingChanged);
        QSignalSpy bytes(&service, &QuickProjectService::uploadBytesSent);
        const LogWatch log;
        await(service.addFiles(fixture.projectId, paths));
        QTest::qWait(100); // byte reports still on their way from the transfer thread
        for (const QString &path : std::as_const(paths)) {
            const QString stored = fixture.stored(QFileInfo(path).fileName());
            QVERIFY2(!stored.isEmpty(), "the sandbox did not complete the file");
            QVERIFY(readFile(stored) == readFile(path));
        }
        QCOMPARE(log.count(u"] INFO [QuickProjectService] Uploading part "_s), parts);
        QCOMPARE(log.count(u"Upload succeeded on attempt 1 for "_s), int(sizes.size()));
        QCOMPARE(status.value(1).value(0).toString(), u"Uploading... %1%"_s.arg(firstProgress));
        QCOMPARE(status.last().at(0).toString(), u"Files uploaded successfully!"_s);
        QCOMPARE(service.uploadProgress(), 1.0);
        QCOMPARE(uploading.size(), 2);
        QVERIFY(!service.isUploading());
        if (sizes.size() == 1 && parts == 2) {
            // Reports go forward, arrive inside each part and count from the file's start.
            QList<qint64> sent;
            for (const QList<QVariant> &report : bytes) {
                QCOMPARE(report.at(1).toLongLong(), sizes[0]);
                sent << report.at(0).toLongLong();
            }
            QVERIFY(std::ranges::is_sorted(sent) && sent.last() <= sizes[0]);
            QVERIFY(std::ranges::any_of(sent, [](qint64 n) { return n > 0 && n <= 6 * kMiB; }));
            QVERIFY(std::ranges::any_of(
                sent, [&](qint64 n) { return n > 6 * kMiB + 1 && n < sizes[0]; }));
        }
    }

    // Statuses and answers without an ETag fail the part at once, and so does a file that grows;
    // the file gets three attempts, the third on a temporary copy that is removed afterwards. A
    // part whose connection drops is sent again, read from the file once more, also once a
    // service that went away listens again. A cancel aborts the part on its way.
    void partFailures_data()
    {
        // during: "grow" the file, "cancel", "no temp" (TMPDIR names a regular file), "away": the
        // service is gone for 2 s (libcurl may resend on its own, without a part-level retry)
        // code: 0: uploaded; inits: init calls, one per attempt that got that far
        columns<QStringList, QString, int, QString, int>("fault", "during", "code", "description",
                                                         "inits");
        row("500", QStringList{u"part-500=1"_s}, "", 500, "Upload failed with status 500", 3);
        row("no ETag", QStringList{u"missing-etag=1"_s}, "", -2, "No ETag in response", 3);
        // Each request waits, so the file grows after it was measured and opened.
        row("file grows", QStringList{u"delay-ms=400"_s}, "grow", -3,
            "File changed during upload: part.bin", 1);
        row("staging fails", QStringList{u"part-500=1"_s}, "no temp",
            QuickProjectService::kStagingFailed,
            u"Could not copy part.bin to the temporary directory %1/vorlanta-creator-%2/"
            "staging-%3: Not a directory"_s.arg(
                m_notADirectory, QString::number(::getuid()),
                QString::number(QCoreApplication::applicationPid())),
            2);
        // With this seed the first PUT is dropped and the second is answered.
        row("dropped part", QStringList{u"part-drop=0.5"_s, u"--seed"_s, u"23"_s}, "", 0, "", 1);
        row("service away mid-part", QStringList{u"outage-ms=2000"_s}, "away", 0, "", 1);
        row("cancelled mid-part", QStringList{u"part-delay-ms=3000"_s}, "cancel",
            QuickProjectService::kCancelled, "Upload cancelled. Files not uploaded: part.bin", 1);
    }
    void partFailures()
    {
        const auto [fault, during, code, description, inits] =
            fetch<QStringList, QString, int, QString, int>("fault", "during", "code", "description",
                                                           "inits");
        Fixture fixture(QStringList{u"--fault"_s} + fault);
        QVERIFY2(fixture.sandbox->isRunning(), qPrintable(fixture.sandbox->startError()));
        const QByteArray bytes = randomBytes(64 * 1024);
        const QString path = writeFile(u"part.bin"_s, bytes);
        QuickProjectService service(fixture.client);
        service.cancel(); // nothing runs yet: no effect
        QElapsedTimer clock;
        qint64 cancelledAt = 0;
        if (during == u"grow") {
            QTimer::singleShot(150, this, [path] {
                QFile file(path);
                QVERIFY(file.open(QIODevice::Append) && file.write("grown") == 5);
            });
        } else if (during == u"cancel") {
            QTimer::singleShot(300, this, [&] { service.cancel(), cancelledAt = clock.elapsed(); });
        } else if (during == u"no temp") {
            qputenv("TMPDIR", QFile::encodeName(m_notADirectory));
        }
        const auto restore =
            qScopeGuard([this] { qputenv("TMPDIR", QFile::encodeName(m_tempDir)); });
        const LogWatch log;
        QSignalSpy finished(&UploadActivity::instance(), &UploadActivity::finished);
        clock.start();
        const auto error =
            failureOf<QuickProjectServiceError>(service.performUploads(fixture.projectId, {path}));
        // The file's recent-upload row ends once, failed whatever stopped it.
        QCOMPARE(finished.size(), 1);
        QCOMPARE(finished[0][1].toBool(), code == 0);
        const QString text = log.text();
        QCOMPARE(log.count(u"Got 1 presigned URLs for part.bin"_s), inits);
        if (during != u"away") {
            QCOMPARE(log.count(u"Retrying in "_s), int(code == 0)); // parts retry a lost link only
        }
        QCOMPARE(error ? error->code() : 0, code);
        if (code == 0) {
            QVERIFY(readFile(fixture.stored(u"part.bin"_s)) == bytes);
            return;
        }
        QCOMPARE(error->description(), description);
        QVERIFY(fixture.stored(u"part.bin"_s).isEmpty()); // never completed
        if (code == QuickProjectService::kCancelled) {
            QCOMPARE(service.statusText(), description);
            // Aborted within a fraction of a second, while the service holds the part for three.
            QVERIFY2(clock.elapsed() - cancelledAt < 500, qPrintable(text));
            return;
        }
        QCOMPARE(service.statusText(), u"Upload failed for part.bin: "_s + description);
        QCOMPARE(log.count(u"Attempt 3 failed for part.bin: "_s + description), 1);
        // The log gives each part's failure with its domain and code.
        QCOMPARE(log.count(u"Part 1 upload failed permanently: QuickProjectService error "_s),
                 code == -3 ? 0 : inits);
        const QString staged = QRegularExpression(u"Staged to: (.+)"_s).match(text).captured(1);
        QVERIFY2(staged.isEmpty() == (code == QuickProjectService::kStagingFailed) &&
                     (staged.isEmpty() ||
                      (staged.startsWith(m_tempDir + u'/') && staged.endsWith(u"_part.bin"))),
                 qPrintable(text));
        // The third attempt read the copy, and the copy is gone afterwards.
        QVERIFY(inits < 3 ||
                text.indexOf(u"Staged to: ") < text.lastIndexOf(u"Read 65536 bytes from part.bin"));
        QVERIFY(!QFile::exists(staged));
        QCOMPARE(QDir(m_tempDir).entryList(QDir::Files), QStringList());
    }

    // A refused project creation: the status gives the error's description, the log its details.
    void projectCreationFailure()
    {
        SandboxProcess sandbox({u"--fault"_s, u"status-201=1"_s});
        QVERIFY2(sandbox.isRunning(), qPrintable(sandbox.startError()));
        QuickProjectService service(
            VorlantaApiClient::make(sandbox.baseUrl().toString(), {sandbox.token(), {}}));
        const LogWatch log;
        const auto error = failureOf<APIError>(
            service.createProject(u"T"_s, {}, 1, {}, true, false, false, {u"/nonexistent"_s}));
        QCOMPARE(error.value().statusCode(), 201);
        QCOMPARE(service.statusText(), u"Error creating project: "_s + error->description());
        QCOMPARE(log.count(u"Error creating project: "_s + error->debugDescription()), 1);
        QVERIFY(!service.isUploading());
    }

    // Without a client: a part PUT carries the window's bytes with only its length and type and
    // the ETag comes back without its quotes; engine errors end the upload before anything is sent.
    void partsWithoutAService()
    {
        LoopbackPeer peer(200, {}, {{"ETag", "\"abc\""}});
        const QByteArray bytes = randomBytes(10);
        const QString path = writeFile(u"wire.bin"_s, bytes);
        QuickProjectService service(nullptr);
        const QString url = peer.url("/part?sig=x").toString();
        QCOMPARE(await(service.uploadFileParts(path, 10, {url})), QStringList{u"abc"_s});
        const QList<SeenRequest> seen = peer.requests();
        QCOMPARE(seen.size(), 1);
        QCOMPARE(seen[0].line(), "PUT /part?sig=x");
        QCOMPARE(seen[0].sortedHeaders(), (Headers{{"content-length", "10"},
                                                   {"content-type", "application/octet-stream"},
                                                   {"host", peer.url().authority().toLatin1()}}));
        QCOMPARE(seen[0].body, bytes);
        auto error = failureOf<QuickProjectServiceError>(
            service.uploadFileParts(path, 10, {u"http://[::1"_s}));
        QCOMPARE(error.value().code(), -4);
        QCOMPARE(error->description(), u"Invalid upload URL"_s);
        // A file gone before its turn fails the whole list without an attempt.
        const LogWatch log;
        error = failureOf<QuickProjectServiceError>(
            service.performUploads(1, {m_files.filePath(u"gone.bin"_s), path}));
        QCOMPARE(error.value().code(), -1);
        QCOMPARE(error->description(), u"Could not get file size for gone.bin"_s);
        QCOMPARE(log.count(u"Upload attempt"_s), 0);
    }

    void largeFileIsStreamedNotBuffered()
    {
        Fixture fixture;
        QVERIFY2(fixture.sandbox->isRunning(), qPrintable(fixture.sandbox->startError()));
        const qint64 size = 256 * kMiB;
        const QString path = m_files.filePath(u"large.bin"_s);
        // Sparse, so that writing it does not raise this process's peak memory.
        QVERIFY(QFile(path).open(QIODevice::WriteOnly) && QFile::resize(path, size));
        QuickProjectService service(fixture.client);
        const qint64 before = peakRssKiB();
        QVERIFY(before > 0);
        await(service.performUploads(fixture.projectId, {path}));
        const qint64 after = peakRssKiB();
        const QString stored = fixture.stored(u"large.bin"_s);
        QCOMPARE(QFileInfo(stored).size(), size);
        QVERIFY2(after - before < kPeakGrowthLimitKiB,
                 qPrintable(u"peak RSS grew by %1 KiB"_s.arg(after - before)));
    }

    // Only the staging folders of processes that have ended go: the command line may be
    // sending a staged copy while the app starts; a link is never followed.
    void stagingLeftoversOfEndedProcessesOnly()
    {
        QProcess ended;
        ended.start(u"true"_s);
        QVERIFY(ended.waitForStarted());
        const qint64 endedPid = ended.processId(); // forgotten once it has finished
        QVERIFY(ended.waitForFinished());
        const QString user = StagingArea::userDirectory();
        const QString mine = StagingArea::processDirectory();
        const QString gone = user + u"/staging-"_s + QString::number(endedPid);
        const QString elsewhere = m_files.filePath(u"elsewhere"_s);
        QVERIFY(QDir().mkpath(gone) && QDir().mkpath(elsewhere) &&
                QFile(gone + u"/copy.mov"_s).open(QIODevice::WriteOnly) &&
                QFile(mine + u"/copy.mov"_s).open(QIODevice::WriteOnly) &&
                QFile(elsewhere + u"/own.mov"_s).open(QIODevice::WriteOnly) &&
                QFile::link(elsewhere, user + u"/staging-999999999"_s));
        QCOMPARE(StagingArea::removeLeftovers(), 1);
        QVERIFY(!QFileInfo::exists(gone) && QFileInfo::exists(mine + u"/copy.mov"_s) &&
                QFileInfo::exists(elsewhere + u"/own.mov"_s));
    }
};

VORLANTA_TEST_MAIN(TestQuickProjectService)
#include "tst_QuickProjectService.moc"
